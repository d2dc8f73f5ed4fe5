// Do: the numbered command dispatcher. (Placeholder until map export lands;
// the preview commands already reach the preview.)
#include "plugin/dispatcher.h"

#include "maps/preview.h"
#include "plugin/entry_points.h"

namespace kelvra {

constinit float gExportScale = 1.0f;
constinit char gExportPath[kExportPathChars + 1] = {};
constinit char gStoredText[kExportPathChars + 1] = {};

OptionCode DecodeOptionCode(const char*) { return {}; }

int32_t RunDo(const char* text, double value, char*, host::HostContext context) {
  if (context == nullptr) return -1;
  if (value == 20.0) return PreviewSample(context);
  if (value == 21.0) return PreviewRender(text);
  return 0;
}

}  // namespace kelvra
