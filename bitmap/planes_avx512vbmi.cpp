// One byte of every 32-bit pixel with AVX-512's byte permutes (this file is
// compiled with -mavx512f -mavx512bw -mavx512vbmi; it runs only where
// ChosenPlaneCopy found VBMI beside AVX-512). Same bytes as
// CopyByteOfPixels: four cache lines of pixels become one line of samples in
// two two-source byte permutes and a blend, where the narrowing form takes
// four shifts, four narrowing moves and three inserts. That leaves the loop
// waiting on memory alone, close to the speed of a bare read.
#include <immintrin.h>

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
  // Pointers, not 64-bit counts, as in the other forms.
  const uint8_t* p = pixels;
  uint8_t* out = dst;
  uint8_t* const end = dst + static_cast<size_t>(count);
  // Loads that straddle two cache lines cost two: pixels on 4-byte
  // boundaries are taken one by one up to a line's start first.
  if ((reinterpret_cast<uintptr_t>(p) & 3) == 0) {
    for (; out != end && (reinterpret_cast<uintptr_t>(p) & 63) != 0; ++out, p += 4) {
      *out = p[byteOffset];
    }
  }
  // Whole pixels are loaded, so no load passes the last pixel.
  for (; end - out >= 64; out += 64, p += 256) {
    const __m512i low =
        _mm512_permutex2var_epi8(_mm512_loadu_si512(p), first, _mm512_loadu_si512(p + 64));
    const __m512i high = _mm512_permutex2var_epi8(_mm512_loadu_si512(p + 128), second,
                                                  _mm512_loadu_si512(p + 192));
    _mm512_storeu_si512(out, _mm512_mask_blend_epi64(0xF0, low, high));
  }
  for (; out != end; ++out, p += 4) *out = p[byteOffset];
}

}  // namespace kelvra
