#include "plugin/state.h"

#include "services/services.h"

namespace kelvra {

constinit MapSettings gMapSettings = {};
constinit char gFilename[kFilenameChars + 1] = {};
constinit char gEditLinkPath[kEditLinkPathChars + 1] = {};
constinit host::HostMapObject* gCurrentMap = nullptr;

bool BooleanRule(double value) { return !(value == 0.0); }

int32_t IntegerRule(double value) {
  if (value != value) return 0;
  if (value >= 2147483647.0) return INT32_MAX;
  if (value <= -2147483648.0) return INT32_MIN;
  return static_cast<int32_t>(value);
}

void SetTextSetting(char* setting, int32_t chars, const char* text) {
  if (text == nullptr) {
    setting[0] = 0;
    return;
  }
  StrCopyBounded(text, setting, chars);
}

int32_t MakeMap(host::HostContext context) {
  // A null table is treated like a missing map source, not dereferenced.
  if (context == nullptr) return -1;
  host::HostMapSource* source = host::ContextMapSource(context);
  if (source == nullptr) return -1;
  if (gCurrentMap != nullptr) {
    host::MapObjectDestroy(gCurrentMap);
    gCurrentMap = nullptr;
  }
  const MapSettings& s = gMapSettings;
  host::MakeMapArgs args = {s.rayTraceMode ? 1 : 0, s.smoothUV ? 1 : 0,
                            s.imageWidth,           s.imageHeight,
                            s.smooth ? 1 : 0,       s.accuracy,
                            s.borderSize,           s.optTileIndex};
  gCurrentMap = host::MapSourceMakeMap(source, args);
  return gCurrentMap != nullptr ? 0 : -1;
}

void DeleteMap() {
  if (gCurrentMap != nullptr) host::MapObjectDestroy(gCurrentMap);
  gCurrentMap = nullptr;
}

void ResetPluginStateForTesting() {
  gMapSettings = {};
  gFilename[0] = 0;
  gEditLinkPath[0] = 0;
  gCurrentMap = nullptr;
}

}  // namespace kelvra
