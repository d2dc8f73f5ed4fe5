// One byte of every 32-bit pixel with AVX-512's byte permutes (this file is
// compiled with -mavx512f -mavx512bw -mavx512vbmi; it runs only where
// ChosenPlaneCopy found VBMI beside AVX-512). Same bytes as
// CopyByteOfPixels: four cache lines of pixels become one line of samples in
// two two-source byte permutes and a blend, where the narrowing form takes
// four shifts, four narrowing moves and three inserts. That leaves the loop
// waiting on memory alone, close to the speed of a bare read.
#include <immintrin.h>

#include "bitmap/plane_copy_steps.h"
#include "bitmap/planes.h"

namespace kelvra {

void CopyByteOfPixelsAvx512Vbmi(const uint8_t* pixels, int32_t byteOffset, uint64_t count,
                                uint8_t* dst) {
  // Byte k of the result is byte 4k + offset of the two sources (a 128-byte
  // table): samples 0..31 from the first two lines, and with the index of
  // the second permute shifted by 32 samples, 32..63 from the last two,
  // landing in the upper half, which the blend takes.
  alignas(64) uint8_t firstIndex[64], secondIndex[64];
  for (int32_t k = 0; k < 64; ++k) {
    firstIndex[k] = static_cast<uint8_t>((4 * k + byteOffset) & 127);
    secondIndex[k] = static_cast<uint8_t>((4 * (k - 32) + byteOffset) & 127);
  }
  const __m512i first = _mm512_load_si512(firstIndex);
  const __m512i second = _mm512_load_si512(secondIndex);
  PlaneCursor c(pixels, byteOffset, count, dst);
  c.AlignTo(64);
  // Whole pixels are loaded, so no load passes the last pixel.
  for (; c.left() >= 64; c.out += 64, c.p += 256) {
    const __m512i low =
        _mm512_permutex2var_epi8(_mm512_loadu_si512(c.p), first, _mm512_loadu_si512(c.p + 64));
    const __m512i high = _mm512_permutex2var_epi8(_mm512_loadu_si512(c.p + 128), second,
                                                  _mm512_loadu_si512(c.p + 192));
    _mm512_storeu_si512(c.out, _mm512_mask_blend_epi64(0xF0, low, high));
  }
  c.Rest();
}

}  // namespace kelvra
