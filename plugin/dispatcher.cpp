// Do: the numbered command dispatcher. The host sets the export scale and
// path with it, asks for map exports of the slot-5 height image (command 3)
// or of the current map object (command 4), drives the preview (20, 21), and
// passes text through the clipboard (100, 101).
#include "plugin/dispatcher.h"

#include <emmintrin.h>

#include "maps/preview.h"
#include "maps/render_map.h"
#include "plugin/entry_points.h"
#include "plugin/state.h"
#include "services/services.h"

namespace kelvra {

constinit float gExportScale = 1.0f;
constinit char gExportPath[kExportPathChars + 1] = {};
constinit char gStoredText[kExportPathChars + 1] = {};

namespace {

constexpr int32_t kOptionCodeChars = 14;
constexpr int32_t kMinPathChars = 5;

// Option-code characters are read as signed 8-bit codes.
int32_t CodeAt(const char* text, int i) {
  return static_cast<signed char>(text[i]);
}

// (L - 'A') >> 2: 0 for 'A'..'D', 1 for 'E'..'H', 2 and up (and negative
// below 'A') for the rest.
int32_t FormatGroup(int32_t formatLetter) { return (formatLetter - 'A') >> 2; }

// Rounds to single precision as the SSE conversion does: defined for every
// double, values beyond the float range becoming infinities.
float ToFloat(double value) {
  return _mm_cvtss_f32(_mm_cvtsd_ss(_mm_setzero_ps(), _mm_set_sd(value)));
}

// Commands 3 and 4: the source's fields, the decoded option code, and the
// scale chosen by the command.
int32_t Export(const host::HostImage* source, const char* text, float scale) {
  char outputPath[kExportPathChars + 1];
  StrCopyBounded(gExportPath, outputPath, kExportPathChars);
  const OptionCode o = DecodeOptionCode(text);
  // The bit depth is not consulted here: the samples are taken as unsigned
  // 16-bit heights, rows half the byte stride apart.
  const auto* heights = static_cast<const uint16_t*>(host::ImagePixels(source));
  return RenderMap(outputPath, heights, host::ImageWidth(source), host::ImageHeight(source),
                   host::ImageRowStride(source) >> 1, o.flipVertical, 0.5f, o.scaleMode,
                   scale, o.channelCount, o.bitsPerSample, o.codes[0], o.codes[1],
                   o.codes[2], o.smoothing, o.wrapEdges, o.strength, nullptr, 1.0f);
}

bool ExportArgumentsPresent(const char* text) {
  return text != nullptr && gExportPath[0] != 0 && StrLength(text) >= kOptionCodeChars;
}

int32_t ExportHostImage(const char* text, host::HostContext context) {
  const host::HostImage* image = host::ContextHeightImage(context);
  if (image == nullptr || !ExportArgumentsPresent(text)) return -1;
  // Only a 16-bit image with pixels is a height field.
  if (host::ImagePixels(image) == nullptr || host::ImageBitsPerPixel(image) != 16) return -1;
  return Export(image, text, gExportScale);
}

int32_t ExportCurrentMap(const char* text) {
  if (gCurrentMap == nullptr || !ExportArgumentsPresent(text)) return -1;
  const host::HostImage* map = host::MapAsImage(gCurrentMap);
  if (host::ImagePixels(map) == nullptr) return -1;
  // Float formats take the map's own 16.16 scale; the integer ones 1.0.
  const float scale =
      FormatGroup(CodeAt(text, 3)) <= 1
          ? 1.0f
          : static_cast<float>(host::MapScaleFixed(gCurrentMap) * (1.0 / 65536));
  return Export(map, text, scale);
}

}  // namespace

OptionCode DecodeOptionCode(const char* text) {
  OptionCode o{};
  o.formatLetter = CodeAt(text, 3);
  const int32_t group = FormatGroup(o.formatLetter);
  o.bitsPerSample = group == 0 ? 8 : (group == 1 ? 16 : 32);
  o.channelCount = ((o.formatLetter - 1) & 2) != 0 ? 3 : 1;
  o.scaleMode = CodeAt(text, 4) - 'A';
  // The flags letters 'A'..'H' and the digits '1'..'8' share their low bits.
  const int32_t flags = CodeAt(text, 5) - 1;
  o.smoothing = (flags & 1) != 0;
  o.wrapEdges = (flags & 2) != 0;
  o.flipVertical = (flags & 4) != 0;
  o.strength = CodeAt(text, 6) - 'K';
  for (int c = 0; c < 3; ++c) {
    o.codes[c] = (CodeAt(text, 8 + 2 * c) - 'A') * 10 + (CodeAt(text, 9 + 2 * c) - 'A');
  }
  return o;
}

int32_t RunDo(const char* text, double value, char* buf2, host::HostContext context) {
  // Without the host's table no command runs, not even the scale commands.
  if (context == nullptr) return -1;
  if (value < 0.0) {
    const float scale = -ToFloat(value);
    gExportScale = scale == 0.0f ? 1.0f : scale;
    return 0;
  }
  // Truncated toward zero; NaN and numbers past the 32-bit range select no
  // command.
  if (!(value < 2147483648.0)) return 0;
  switch (static_cast<int32_t>(value)) {
    case 0:
      gExportScale = 1.0f;
      return 0;
    case 2:
      if (text == nullptr || StrLength(text) < kMinPathChars) return -1;
      StrCopyBounded(text, gExportPath, kExportPathChars);
      return 0;
    case 3:
      return ExportHostImage(text, context);
    case 4:
      return ExportCurrentMap(text);
    case 10:
      if (text == nullptr) {
        gStoredText[0] = 0;
      } else {
        StrCopyBounded(text, gStoredText, kExportPathChars);
      }
      return 0;
    case 20:
      return PreviewSample(context);
    case 21:
      return PreviewRender(text);
    case 100:
      if (text == nullptr) return -1;
      return ClipboardSetText(text, static_cast<uint32_t>(StrLength(text)) + 1) == 1 ? 0 : -1;
    case 101:
      if (buf2 == nullptr) return -1;
      return ClipboardGetText(buf2) == 1 ? 0 : -1;
    default:
      return 0;
  }
}

}  // namespace kelvra
