// RenderMap: a 16-bit height field to a displacement or normal map, written
// as an uncompressed TIFF file or into a raster of 32-bit B, G, R, A pixels.
#pragma once

#include <cstdint>

namespace kelvra {

// Returns 0 on success, 1 on failure. With `targetPixels` the map goes into
// that raster (width x height pixels, rows without gaps) and `outputPath` is
// not used.
int32_t RenderMap(const char* outputPath, const uint16_t* heights,
                  int32_t width, int32_t height, int32_t rowLength,
                  bool flipVertical, float midLevel, int32_t scaleMode,
                  float scale, int32_t channelCount, int32_t bitsPerSample,
                  int32_t code0, int32_t code1, int32_t code2, bool smoothing,
                  bool wrapEdges, int32_t strength, uint8_t* targetPixels,
                  float resolutionRatio);

// The 128 x 128 box reduction (corner sample counted twice), with 16.16
// steps; source rows are `rowLength` samples apart. Shared with the preview.
// Corner positions past the last of `columns` x `rows` whole samples are held
// at the last one: a size with a fraction (19.99 pixels wide) puts the last
// corners beyond the pixels the source holds. Their boxes are empty then.
void BoxReduce128(const uint16_t* source, int32_t rowLength, int32_t xStep,
                  int32_t yStep, uint16_t* out, int32_t columns = INT32_MAX,
                  int32_t rows = INT32_MAX);

}  // namespace kelvra
