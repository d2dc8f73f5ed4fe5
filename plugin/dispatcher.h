// Do's settings and the option code, shared with the preview.
#pragma once

#include <cstdint>

namespace kelvra {

inline constexpr int32_t kExportPathChars = 1000;

extern constinit float gExportScale;                    // 1.0 at load
extern constinit char gExportPath[kExportPathChars + 1];
extern constinit char gStoredText[kExportPathChars + 1];

// The 14-character option code, decoded (characters 0, 1, 2 and 7 unread).
struct OptionCode {
  int32_t formatLetter;   // character 3, signed
  int32_t bitsPerSample;  // 8, 16 or 32
  int32_t channelCount;   // 1 or 3
  int32_t scaleMode;      // unclamped; RenderMap clamps
  bool smoothing;
  bool wrapEdges;
  bool flipVertical;
  int32_t strength;
  int32_t codes[3];       // unclamped
};
// `text` must hold at least 14 characters.
OptionCode DecodeOptionCode(const char* text);

}  // namespace kelvra
