// Do: the numbered command dispatcher. (Placeholder until map export lands.)
#include "plugin/entry_points.h"

namespace kelvra {

int32_t RunDo(const char*, double, char*, host::HostContext) { return 0; }

}  // namespace kelvra
