// One byte of every 32-bit pixel in AVX2 (this file is compiled with -mavx2;
// it runs only where ChosenVectorSet found AVX2 with its register state
// enabled). Same bytes as CopyByteOfPixels, 32 pixels a step.
#include <immintrin.h>

#include "bitmap/planes.h"

namespace kelvra {

void CopyByteOfPixelsAvx2(const uint8_t* pixels, int32_t byteOffset, uint64_t count,
                          uint8_t* dst) {
  const __m128i shift = _mm_cvtsi32_si128(8 * byteOffset);
  const __m256i low = _mm256_set1_epi32(0xFF);
  // The packs work within each 128-bit half: the result holds groups of four
  // bytes in the order a0 b0 c0 d0 a1 b1 c1 d1 (a0: the first four pixels of
  // a, a1: its last four), put back in pixel order by one dword permute.
  const __m256i order = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
  uint64_t i = 0;
  // Whole pixels are loaded, so no load passes the last pixel.
  for (; i + 32 <= count; i += 32) {
    const __m256i* p = reinterpret_cast<const __m256i*>(pixels + 4 * i);
    const __m256i a = _mm256_and_si256(_mm256_srl_epi32(_mm256_loadu_si256(p), shift), low);
    const __m256i b = _mm256_and_si256(_mm256_srl_epi32(_mm256_loadu_si256(p + 1), shift), low);
    const __m256i c = _mm256_and_si256(_mm256_srl_epi32(_mm256_loadu_si256(p + 2), shift), low);
    const __m256i d = _mm256_and_si256(_mm256_srl_epi32(_mm256_loadu_si256(p + 3), shift), low);
    const __m256i bytes =
        _mm256_packus_epi16(_mm256_packs_epi32(a, b), _mm256_packs_epi32(c, d));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + i),
                        _mm256_permutevar8x32_epi32(bytes, order));
  }
  for (; i < count; ++i) dst[i] = pixels[4 * i + byteOffset];
}

}  // namespace kelvra
