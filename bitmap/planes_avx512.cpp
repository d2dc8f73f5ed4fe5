// One byte of every 32-bit pixel in AVX-512 (this file is compiled with
// -mavx512f -mavx512bw; it runs only where ChosenVectorSet found both with
// their register state enabled). Same bytes as CopyByteOfPixels: a vector
// holds 16 pixels (one cache line), the wanted byte is shifted to the bottom
// of each lane and the lanes are narrowed to bytes; four of them make one
// 64-byte store.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"  // GCC 12's AVX-512 headers
#endif

#include <immintrin.h>

#include "bitmap/planes.h"

namespace kelvra {

namespace {

inline __m128i Bytes16(const uint8_t* p, __m128i shift) {
  return _mm512_cvtepi32_epi8(_mm512_srl_epi32(_mm512_loadu_si512(p), shift));
}

}  // namespace

void CopyByteOfPixelsAvx512(const uint8_t* pixels, int32_t byteOffset, uint64_t count,
                            uint8_t* dst) {
  const __m128i shift = _mm_cvtsi32_si128(8 * byteOffset);
  // Pointers, not 64-bit counts: a 32-bit build has too few registers for
  // 64-bit counters beside the vectors' addresses. `count` bytes of dst
  // exist, so the count fits in a size_t.
  const uint8_t* p = pixels;
  uint8_t* out = dst;
  uint8_t* const end = dst + static_cast<size_t>(count);
  // A load that straddles two cache lines costs two: pixels on 4-byte
  // boundaries are taken one by one up to a line's start first.
  if ((reinterpret_cast<uintptr_t>(p) & 3) == 0) {
    for (; out != end && (reinterpret_cast<uintptr_t>(p) & 63) != 0; ++out, p += 4) {
      *out = p[byteOffset];
    }
  }
  // Whole pixels are loaded, so no load passes the last pixel.
  for (; end - out >= 64; out += 64, p += 256) {
    const __m256i low = _mm256_inserti128_si256(_mm256_castsi128_si256(Bytes16(p, shift)),
                                                Bytes16(p + 64, shift), 1);
    const __m256i high = _mm256_inserti128_si256(_mm256_castsi128_si256(Bytes16(p + 128, shift)),
                                                 Bytes16(p + 192, shift), 1);
    _mm512_storeu_si512(out, _mm512_inserti64x4(_mm512_castsi256_si512(low), high, 1));
  }
  for (; end - out >= 16; out += 16, p += 64) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), Bytes16(p, shift));
  }
  for (; out != end; ++out, p += 4) *out = p[byteOffset];
}

}  // namespace kelvra
