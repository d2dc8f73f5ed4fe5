// ABitMap: the library's raster. Width, height, bits per pixel and a pointer
// to rows that follow each other top-down without gaps. A 32-bit pixel is
// stored blue, green, red, alpha, so its colour is its low 24 bits.
//
// A raster either owns a tracked buffer (after Allocate or a load; give it
// back with Release) or borrows a host image's pixels (after BindHostImage;
// never Release, Allocate or load such a raster). Destroying a raster frees
// nothing. Status results are 0 for success and -1 for failure.
#pragma once

#include <cstdint>

#include "host/host.h"

namespace kelvra {

struct PsdRefusal;

class ABitMap {
 public:
  int32_t width = 0;
  int32_t height = 0;
  int32_t bitsPerPixel = 32;
  uint8_t* pixels = nullptr;

  constexpr ABitMap() = default;

  // width x height, or 0 when either is 0 or negative.
  uint64_t PixelCount() const {
    return width > 0 && height > 0
               ? static_cast<uint64_t>(width) * static_cast<uint64_t>(height)
               : 0;
  }

  void Release();
  uint8_t* Allocate(int32_t w, int32_t h, int32_t bits);
  int32_t BindHostImage(const host::HostImage* image);
  // Bytes of one plane; with a null destination only the size.
  uint32_t ExtractPlane(uint8_t* dst, int32_t sampleBits, int32_t byteOffset) const;

  int32_t SaveToFile(const char* path, bool withAlpha);
  // With `bytes`, parses those `length` bytes instead of reading `path`.
  // `why`, when given, receives the reason of a failure.
  int32_t LoadFromFile(const char* path, bool withAlpha, const uint8_t* bytes = nullptr,
                       uint32_t length = 0, PsdRefusal* why = nullptr);
  int32_t LoadLayeredFromFile(const char* path, bool withAlpha, PsdRefusal* why = nullptr);
  int32_t SaveBMapPlanes(const char* path, int32_t planeCount,
                         int32_t sampleBits, const ABitMap* const* rasters,
                         const int32_t* byteOffsets);
  static int32_t SaveMultiLayers(const char* path, const ABitMap* const* layers,
                                 int32_t layerCount, const ABitMap* merged,
                                 const ABitMap* mask, int32_t threshold);
};

}  // namespace kelvra
