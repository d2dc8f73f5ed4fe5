// LaunchEditor and ReleaseMemory. (Placeholders until the editor link lands.)
#include "plugin/entry_points.h"

namespace kelvra {

int32_t RunLaunchEditor(const char*, double, host::HostContext) { return 0; }
int32_t RunReleaseMemory() { return 0; }

}  // namespace kelvra
