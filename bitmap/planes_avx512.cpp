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

#include "bitmap/plane_copy_steps.h"
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
  PlaneCursor c(pixels, byteOffset, count, dst);
  c.AlignTo(64);
  // Whole pixels are loaded, so no load passes the last pixel.
  for (; c.left() >= 64; c.out += 64, c.p += 256) {
    const __m256i low = _mm256_inserti128_si256(_mm256_castsi128_si256(Bytes16(c.p, shift)),
                                                Bytes16(c.p + 64, shift), 1);
    const __m256i high = _mm256_inserti128_si256(_mm256_castsi128_si256(Bytes16(c.p + 128, shift)),
                                                 Bytes16(c.p + 192, shift), 1);
    _mm512_storeu_si512(c.out, _mm512_inserti64x4(_mm512_castsi256_si512(low), high, 1));
  }
  for (; c.left() >= 16; c.out += 16, c.p += 64) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(c.out), Bytes16(c.p, shift));
  }
  c.Rest();
}

}  // namespace kelvra
