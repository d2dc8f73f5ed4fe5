#include "bitmap/packbits.h"

#include <cstring>

namespace kelvra {

namespace {

// Writes `n` samples at `d`, `kStride` bytes apart: one run value, or
// literal samples from `s`.
template <uint32_t kStride>
inline void PutRun(uint8_t* d, uint8_t v, uint32_t n) {
  if constexpr (kStride == 1) {
    std::memset(d, v, n);
  } else {
    for (uint32_t k = 0; k < n; ++k) d[kStride * k] = v;
  }
}
template <uint32_t kStride>
inline void PutLiteral(uint8_t* d, const uint8_t* s, uint32_t n) {
  if constexpr (kStride == 1) {
    std::memcpy(d, s, n);
  } else {
    for (uint32_t k = 0; k < n; ++k) d[kStride * k] = s[k];
  }
}

template <uint32_t kStride>
bool Unpack(const uint8_t* src, uint32_t srcLength, uint32_t rowSamples, uint32_t first,
            uint32_t count, uint8_t* dst) {
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
    uint8_t* d = dst + kStride * static_cast<uintptr_t>(lo - first);
    if (h > 0) {
      const uint32_t left = static_cast<uint32_t>(end - in);
      if (left < length) return false;
      if (lo < hi) PutLiteral<kStride>(d, in + (lo - at), hi - lo);
      in += static_cast<uint32_t>(h) + 1 <= left ? static_cast<uint32_t>(h) + 1 : left;
    } else {
      if (in == end) return false;
      const uint8_t v = *in++;
      if (lo < hi) PutRun<kStride>(d, v, hi - lo);
    }
    at += length;
  }
  return true;
}

}  // namespace

bool UnpackBitsRow(const uint8_t* src, uint32_t srcLength, uint32_t rowSamples,
                   uint32_t first, uint32_t count, uint8_t* dst) {
  return Unpack<4>(src, srcLength, rowSamples, first, count, dst);
}

bool UnpackBitsRowPlain(const uint8_t* src, uint32_t srcLength, uint32_t rowSamples,
                        uint32_t first, uint32_t count, uint8_t* dst) {
  return Unpack<1>(src, srcLength, rowSamples, first, count, dst);
}

}  // namespace kelvra
