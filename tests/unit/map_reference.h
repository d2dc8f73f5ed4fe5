// A plain, literal map renderer for the tests: one pixel at a time, the row
// window moved by a block move, no vector code. The library's renderer must
// give exactly its bytes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kelvra::testing {

struct MapRequest {
  int32_t width = 1, height = 1, rowLength = 1;
  bool flipVertical = false;
  float midLevel = 0.5f;
  int32_t scaleMode = 0;
  float scale = 1.0f;
  int32_t channelCount = 1, bitsPerSample = 16;
  int32_t codes[3] = {40, 0, 0};
  bool smoothing = false, wrapEdges = false;
  int32_t strength = 0;
  float resolutionRatio = 1.0f;
};

// The whole file (header and rows), or with `raster` the width x height
// 4-byte pixels starting from `rasterBefore` (untouched bytes keep it).
std::vector<uint8_t> ReferenceMap(const MapRequest& r,
                                  const std::vector<uint16_t>& heights,
                                  bool raster = false, uint8_t rasterBefore = 0xA5);

// The library's renderer on the same request: the file's bytes, or the
// raster. Returns RenderMap's result in *status.
std::vector<uint8_t> LibraryMap(const MapRequest& r,
                                const std::vector<uint16_t>& heights,
                                const std::string& path, bool raster = false,
                                uint8_t rasterBefore = 0xA5, int32_t* status = nullptr);

}  // namespace kelvra::testing
