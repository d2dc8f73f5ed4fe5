// The header of a map file: a little-endian, uncompressed, single-strip TIFF
// with interleaved samples. File header, one directory of 16 entries and the
// out-of-line values, followed at once by the pixel rows.
#pragma once

#include <cstdint>

namespace kelvra {

inline constexpr uint32_t kTiffHeaderBlockBytes = 300;
inline constexpr uint32_t kTiffHeaderOneChannel = 229;
inline constexpr uint32_t kTiffHeaderThreeChannels = 241;

// Fills `block` (at least kTiffHeaderBlockBytes) and returns the header
// length, which is also the offset of the pixel data. `channelCount` other
// than 1 means 3; `bitsPerSample` is 8, 16 or 32 (32: IEEE float samples).
uint32_t BuildTiffHeader(int32_t width, int32_t height, int32_t channelCount,
                         int32_t bitsPerSample, uint8_t* block);

}  // namespace kelvra
