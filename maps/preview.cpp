// Preview tile. (Placeholder until the document writers land.)
#include "maps/preview.h"

namespace kelvra {

int32_t PreviewSample(host::HostContext) { return 0; }
int32_t PreviewRender(const char*) { return 0; }

}  // namespace kelvra
