// One byte of every 32-bit pixel in AVX2 (this file is compiled with -mavx2;
// it runs only where ChosenVectorSet found AVX2 with its register state
// enabled). Same bytes as CopyByteOfPixels, 32 pixels a step: four byte
// shuffles, three ors and a permute.
#include <immintrin.h>

#include "bitmap/plane_copy_steps.h"
#include "bitmap/planes.h"

namespace kelvra {

void CopyByteOfPixelsAvx2(const uint8_t* pixels, int32_t byteOffset, uint64_t count,
                          uint8_t* dst) {
  // Vector j of four (8 pixels each) has its wanted bytes gathered by a byte
  // shuffle into dword j of each 128-bit half, zeros elsewhere; or-ing the
  // four gives the groups a0 b0 c0 d0 | a1 b1 c1 d1 (a0: the first four
  // pixels of a, a1: its last four), put in pixel order by one dword permute.
  alignas(32) int8_t gather[4][32];
  for (int32_t j = 0; j < 4; ++j) {
    for (int32_t k = 0; k < 32; ++k) {
      const int32_t at = k % 16;
      gather[j][k] = at / 4 == j ? static_cast<int8_t>(4 * (at % 4) + byteOffset) : -128;
    }
  }
  const __m256i g0 = _mm256_load_si256(reinterpret_cast<const __m256i*>(gather[0]));
  const __m256i g1 = _mm256_load_si256(reinterpret_cast<const __m256i*>(gather[1]));
  const __m256i g2 = _mm256_load_si256(reinterpret_cast<const __m256i*>(gather[2]));
  const __m256i g3 = _mm256_load_si256(reinterpret_cast<const __m256i*>(gather[3]));
  const __m256i order = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
  PlaneCursor c(pixels, byteOffset, count, dst);
  c.AlignTo(32);
  // Whole pixels are loaded, so no load passes the last pixel.
  for (; c.left() >= 32; c.out += 32, c.p += 128) {
    const __m256i* v = reinterpret_cast<const __m256i*>(c.p);
    const __m256i ab = _mm256_or_si256(_mm256_shuffle_epi8(_mm256_loadu_si256(v), g0),
                                       _mm256_shuffle_epi8(_mm256_loadu_si256(v + 1), g1));
    const __m256i cd = _mm256_or_si256(_mm256_shuffle_epi8(_mm256_loadu_si256(v + 2), g2),
                                       _mm256_shuffle_epi8(_mm256_loadu_si256(v + 3), g3));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(c.out),
                        _mm256_permutevar8x32_epi32(_mm256_or_si256(ab, cd), order));
  }
  c.Rest();
}

}  // namespace kelvra
