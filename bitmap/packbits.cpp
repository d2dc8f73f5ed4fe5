#include "bitmap/packbits.h"

namespace kelvra {

bool UnpackBitsRow(const uint8_t* src, uint32_t srcLength, uint32_t rowSamples,
                   uint32_t first, uint32_t count, uint8_t* dst) {
  const uint8_t* in = src;
  const uint8_t* const end = src + srcLength;
  const uint32_t stop = first + count;  // one past the last sample written
  uint32_t at = 0;                      // samples of the row decoded so far
  while (at < rowSamples) {
    if (in == end) return false;
    const int32_t h = static_cast<int8_t>(*in++);
    uint32_t length = h > 0 ? static_cast<uint32_t>(h) + 1 : static_cast<uint32_t>(1 - h);
    // A packet past the row's end is consumed, its extra samples dropped.
    if (length > rowSamples - at) length = rowSamples - at;
    // The part of [at, at + length) that lands in the written window.
    const uint32_t lo = at > first ? at : first;
    const uint32_t hi = at + length < stop ? at + length : stop;
    if (h > 0) {
      if (static_cast<uint32_t>(end - in) < length) return false;
      if (lo < hi) {
        const uint8_t* s = in + (lo - at);
        uint8_t* d = dst + 4 * static_cast<uintptr_t>(lo - first);
        for (uint32_t k = 0; k < hi - lo; ++k) d[4 * k] = s[k];
      }
      in += static_cast<uint32_t>(h) + 1 <= static_cast<uint32_t>(end - in)
                ? static_cast<uint32_t>(h) + 1
                : static_cast<uint32_t>(end - in);
    } else {
      if (in == end) return false;
      const uint8_t v = *in++;
      if (lo < hi) {
        uint8_t* d = dst + 4 * static_cast<uintptr_t>(lo - first);
        for (uint32_t k = 0; k < hi - lo; ++k) d[4 * k] = v;
      }
    }
    at += length;
  }
  return true;
}

}  // namespace kelvra
