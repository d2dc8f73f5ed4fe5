// PackBits decoding of one row of 8-bit samples into one byte of consecutive
// 32-bit pixels.
//
// A header byte h (signed) is followed by h + 1 literal samples when h > 0,
// or by one sample repeated 1 - h times when h <= 0: h = 0 is a run of one,
// h = -128 a run of 129 (it is no no-operation here).
#pragma once

#include <cstdint>

namespace kelvra {

// Decodes the row of `rowSamples` samples from exactly the `srcLength` bytes
// its byte count gives. Samples first .. first + count - 1 are written to
// dst[0], dst[4], dst[8], ...; the others are decoded and dropped (a layer
// reaching past the document's edge, or a packet past the row's end). Bytes
// left after the row is complete are ignored. Returns false when the bytes
// end before the row is complete.
bool UnpackBitsRow(const uint8_t* src, uint32_t srcLength, uint32_t rowSamples,
                   uint32_t first, uint32_t count, uint8_t* dst);

// The same, the window's samples written to consecutive bytes.
bool UnpackBitsRowPlain(const uint8_t* src, uint32_t srcLength, uint32_t rowSamples,
                        uint32_t first, uint32_t count, uint8_t* dst);

// The least number of bytes that can hold a row of `samples` samples (two
// bytes give at most 129): shorter byte counts cannot decode.
constexpr uint64_t MinPackedRowBytes(uint64_t samples) {
  return 2 * ((samples + 128) / 129);
}

}  // namespace kelvra
