// SetUI: interface item placement. (Placeholder until the editor link lands.)
#include "plugin/entry_points.h"

namespace kelvra {

int32_t RunSetUI(host::HostContext) { return 0; }

}  // namespace kelvra
