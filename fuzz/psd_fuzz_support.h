// What every read of a document must leave behind, shared by the document
// reader targets: a read succeeds with a raster of the document's size, or
// fails leaving the receiver either exactly as it was or without pixels,
// never with some of its pixels decoded.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

#include "bitmap/abitmap.h"

namespace kelvra::fuzz {

// A receiver that already owns pixels, so that a refusal that touched it shows.
struct Receiver {
  ABitMap raster;
  std::vector<uint8_t> before;

  Receiver() {
    raster.Allocate(3, 2, 32);
    for (int i = 0; i < 24; ++i) raster.pixels[i] = static_cast<uint8_t>(0xC0 + i);
    before.assign(raster.pixels, raster.pixels + 24);
  }
  ~Receiver() { raster.Release(); }
  Receiver(const Receiver&) = delete;
  Receiver& operator=(const Receiver&) = delete;

  bool Unchanged() const {
    return raster.pixels != nullptr && raster.width == 3 && raster.height == 2 &&
           raster.bitsPerPixel == 32 && std::memcmp(raster.pixels, before.data(), 24) == 0;
  }
};

inline uint32_t BE32At(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
         static_cast<uint32_t>(p[2]) << 8 | p[3];
}

// Checks one read's outcome; `status` is the reader's 0 or -1. After a
// success the raster has the document's size, and the bytes of channels the
// document cannot have filled are 0.
inline void CheckRead(int32_t status, const Receiver& r, const uint8_t* doc, size_t size,
                      bool withAlpha) {
  if (status != 0 && status != -1) __builtin_trap();
  if (status == -1) {
    // Refused before the pixels were replaced, or failed after: no pixels.
    if (!r.Unchanged() && r.raster.pixels != nullptr) __builtin_trap();
    return;
  }
  if (size < 26) __builtin_trap();  // no header, yet a success
  const int32_t rows = static_cast<int32_t>(BE32At(doc + 14));
  const int32_t columns = static_cast<int32_t>(BE32At(doc + 18));
  if (r.raster.width != columns || r.raster.height != rows || r.raster.bitsPerPixel != 32) {
    __builtin_trap();
  }
  if (r.raster.pixels == nullptr) __builtin_trap();
  // Channels the document does not carry, or that were not asked for, stay 0.
  const int32_t channels = static_cast<int16_t>(doc[12] << 8 | doc[13]);
  const uint64_t count = static_cast<uint64_t>(rows) * static_cast<uint64_t>(columns);
  for (uint64_t i = 0; i < count; ++i) {
    const uint8_t* p = r.raster.pixels + 4 * i;
    if (!withAlpha && p[3] != 0) __builtin_trap();
    if (channels == 1 && (p[0] != 0 || p[1] != 0)) __builtin_trap();
    if (channels == 2 && p[0] != 0) __builtin_trap();
  }
}

}  // namespace kelvra::fuzz
