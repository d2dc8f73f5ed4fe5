// Plug-in state kept between export calls: the map settings, the two text
// settings and the host's current map object. All of it is constant-initialised
// (loading the library runs none of our code) and never released.
#pragma once

#include <cstdint>

#include "host/host.h"

namespace kelvra {

struct MapSettings {
  bool rayTraceMode;
  bool smoothUV;
  bool smooth;
  int32_t imageWidth;
  int32_t imageHeight;
  int32_t accuracy;
  int32_t borderSize;
  int32_t optTileIndex;
};

inline constexpr int32_t kFilenameChars = 1000;
inline constexpr int32_t kEditLinkPathChars = 1024;

extern constinit MapSettings gMapSettings;
extern constinit char gFilename[kFilenameChars + 1];
extern constinit char gEditLinkPath[kEditLinkPathChars + 1];
// Owned by the host; the library ends it only through its destroy operation.
extern constinit host::HostMapObject* gCurrentMap;

// The setters' conversions of the export's `value`.
// False exactly when value compares equal to 0.0 (so -0.0 is false, NaN true).
bool BooleanRule(double value);
// Truncation toward zero; NaN gives 0 and values beyond the 32-bit range
// saturate (a plain cast would be undefined there).
int32_t IntegerRule(double value);

// Stores `text` in a text setting of `chars` characters; null empties it.
void SetTextSetting(char* setting, int32_t chars, const char* text);

// ExportDisp32_MakeMap and ExportDisp32_DeleteMap: 0 or -1.
int32_t MakeMap(host::HostContext context);
void DeleteMap();

// Back to the load-time state (native tests only; the DLL never resets).
void ResetPluginStateForTesting();

}  // namespace kelvra
