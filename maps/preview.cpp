// The 128 x 128 preview. Command 20 reduces the slot-5 height image to the
// tile of heights; command 21 renders the tile into the preview raster,
// plainly as grey heights or with the full option code, and saves the raster
// as a flat document at the export path. The tile and the raster's pixels are
// made on first use and kept for the life of the library.
#include "maps/preview.h"

#include "bitmap/abitmap.h"
#include "maps/render_map.h"
#include "plugin/dispatcher.h"
#include "services/services.h"

namespace kelvra {

namespace {

constexpr int32_t kTileSide = 128;
constexpr uint32_t kTileBytes = kTileSide * kTileSide * sizeof(uint16_t);
// The simple preview reads the format letter only; the option preview reads
// the whole option code.
constexpr int32_t kFormatLetterChars = 4;
constexpr int32_t kOptionCodeChars = 14;

constinit uint16_t* gPreviewHeights = nullptr;
// Reciprocal of the mean reduction step of the last sampling.
constinit float gPreviewRatio = 1.0f;
constinit ABitMap gPreviewRaster;

}  // namespace

int32_t PreviewSample(host::HostContext context) {
  const host::HostImage* image = host::ContextHeightImage(context);
  if (image == nullptr || host::ImagePixels(image) == nullptr ||
      host::ImageBitsPerPixel(image) != 16) {
    return 0;
  }
  // Sampling stays within the whole pixels the image holds: a size with a
  // fraction (19.99 pixels) would otherwise put the last samples one pixel
  // past its rows. A side of less than one pixel (0.5) is sampled at its
  // first pixel. Negative sizes, and rows closer together than a row's
  // samples, are no height field.
  const int32_t widthPixels = host::ImageWidth(image);
  const int32_t heightPixels = host::ImageHeight(image);
  if (widthPixels < 0 || heightPixels < 0) return 0;
  const int32_t columns = widthPixels > 0 ? widthPixels : 1;
  const int32_t rows = heightPixels > 0 ? heightPixels : 1;
  if ((host::ImageRowStride(image) >> 1) < columns) return 0;
  // Distance between preview samples in source pixels, 16.16: width / 128.
  const int32_t xStep = host::ImageWidthFixed(image) >> 7;
  const int32_t yStep = host::ImageHeightFixed(image) >> 7;
  const int32_t meanStep = (xStep + yStep) >> 1;
  // A mean step of 0 has no reciprocal: the previous tile stays.
  if (meanStep == 0 || xStep < 0 || yStep < 0) return 0;
  if (gPreviewHeights == nullptr) {
    gPreviewHeights = static_cast<uint16_t*>(PlainAlloc(kTileBytes));
    if (gPreviewHeights == nullptr) return 0;
  }
  gPreviewRatio = static_cast<float>(1.0 / static_cast<double>(static_cast<float>(
                                               meanStep * (1.0 / 65536.0))));
  BoxReduce128(static_cast<const uint16_t*>(host::ImagePixels(image)),
               host::ImageRowStride(image) >> 1, xStep, yStep, gPreviewHeights, columns, rows);
  return 0;
}

int32_t PreviewRender(const char* text) {
  if (gPreviewHeights == nullptr) return 0;
  // The option code is read only as far as it is there.
  const int32_t textChars = text == nullptr ? 0 : StrLength(text);
  if (textChars < kFormatLetterChars) return -1;
  const int32_t formatLetter = static_cast<signed char>(text[3]);
  const bool simple = (formatLetter & 1) != 0;  // 'A', 'C', 'E', ...
  if (!simple && textChars < kOptionCodeChars) return -1;

  char path[kExportPathChars + 1];
  StrCopyBounded(gExportPath, path, kExportPathChars);
  if (gPreviewRaster.pixels == nullptr &&
      gPreviewRaster.Allocate(kTileSide, kTileSide, 32) == nullptr) {
    return 1;  // a render that could not be made
  }
  int32_t result;
  if (simple) {
    // Grey heights: every colour byte is the height shifted right by 8.
    result = RenderMap(nullptr, gPreviewHeights, kTileSide, kTileSide, kTileSide, false, 0.5f,
                       0, 1.0f, 1, 8, 40, 0, 0, false, false, 0, gPreviewRaster.pixels,
                       gPreviewRatio);
  } else {
    const OptionCode o = DecodeOptionCode(text);
    result = RenderMap(nullptr, gPreviewHeights, kTileSide, kTileSide, kTileSide,
                       o.flipVertical, 0.5f, o.scaleMode, gExportScale, o.channelCount,
                       o.bitsPerSample, o.codes[0], o.codes[1], o.codes[2], o.smoothing,
                       o.wrapEdges, o.strength, gPreviewRaster.pixels, gPreviewRatio);
  }
  // The save reports its own failures; the preview's result is the render's.
  gPreviewRaster.SaveToFile(path, false);
  return result;
}

int32_t PreviewKeptPlainBlocks() { return gPreviewHeights != nullptr ? 1 : 0; }
int32_t PreviewKeptTrackedBlocks() { return gPreviewRaster.pixels != nullptr ? 1 : 0; }

float PreviewRatioForTesting() { return gPreviewRatio; }
const uint16_t* PreviewTileForTesting() { return gPreviewHeights; }
const ABitMap& PreviewRasterForTesting() { return gPreviewRaster; }

void ReleasePreviewForTesting() {
  PlainFree(gPreviewHeights);
  gPreviewHeights = nullptr;
  gPreviewRatio = 1.0f;
  gPreviewRaster.Release();
  gPreviewRaster = ABitMap();
}

}  // namespace kelvra
