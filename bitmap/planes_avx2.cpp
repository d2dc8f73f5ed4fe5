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
  // Pointers, not 64-bit counts: a 32-bit build has too few registers for
  // 64-bit counters beside the vectors' addresses. `count` bytes of dst
  // exist, so the count fits in a size_t.
  const uint8_t* p = pixels;
  uint8_t* out = dst;
  uint8_t* const end = dst + static_cast<size_t>(count);
  // A load that straddles two cache lines costs two: pixels on 4-byte
  // boundaries are taken one by one up to a 32-byte boundary first.
  if ((reinterpret_cast<uintptr_t>(p) & 3) == 0) {
    for (; out != end && (reinterpret_cast<uintptr_t>(p) & 31) != 0; ++out, p += 4) {
      *out = p[byteOffset];
    }
  }
  // Whole pixels are loaded, so no load passes the last pixel.
  for (; end - out >= 32; out += 32, p += 128) {
    const __m256i* v = reinterpret_cast<const __m256i*>(p);
    const __m256i a = _mm256_and_si256(_mm256_srl_epi32(_mm256_loadu_si256(v), shift), low);
    const __m256i b = _mm256_and_si256(_mm256_srl_epi32(_mm256_loadu_si256(v + 1), shift), low);
    const __m256i c = _mm256_and_si256(_mm256_srl_epi32(_mm256_loadu_si256(v + 2), shift), low);
    const __m256i d = _mm256_and_si256(_mm256_srl_epi32(_mm256_loadu_si256(v + 3), shift), low);
    const __m256i bytes =
        _mm256_packus_epi16(_mm256_packs_epi32(a, b), _mm256_packs_epi32(c, d));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out),
                        _mm256_permutevar8x32_epi32(bytes, order));
  }
  for (; out != end; ++out, p += 4) *out = p[byteOffset];
}

}  // namespace kelvra
