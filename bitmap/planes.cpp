// Plane loops. Both builds target SSE2 (-msse2), so the wide paths handle 16
// pixels a step and a scalar tail the rest.
#include "bitmap/planes.h"

#include <emmintrin.h>

#include <cstring>

#include "services/vector_sets.h"

namespace kelvra {

namespace {

// Set only by tests and the benchmark; the library itself never changes it.
constinit PlaneCopy gWidestPlaneCopy = PlaneCopy::kAvx512Vbmi;

inline uint32_t LoadWord(const uint8_t* p) {
  uint32_t w;
  std::memcpy(&w, p, 4);
  return w;
}

inline __m128i Load16(const uint8_t* p) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

// The low byte of each 32-bit lane of four vectors, as 16 bytes in order.
inline __m128i PackLowBytes(__m128i a, __m128i b, __m128i c, __m128i d) {
  const __m128i low = _mm_set1_epi32(0xFF);
  __m128i ab = _mm_packs_epi32(_mm_and_si128(a, low), _mm_and_si128(b, low));
  __m128i cd = _mm_packs_epi32(_mm_and_si128(c, low), _mm_and_si128(d, low));
  return _mm_packus_epi16(ab, cd);
}

}  // namespace

void CopyByteOfPixels(const uint8_t* src, uint64_t count, uint8_t* dst) {
  uint64_t i = 0;
  // Loading from the wanted byte puts it at the bottom of each 32-bit lane.
  // A vector reaches 3 bytes past the wanted byte of its last pixel, beyond
  // the buffer for the last pixel, so the wide loop leaves that one out.
  for (; i + 17 <= count; i += 16) {
    const uint8_t* p = src + 4 * i;
    __m128i a = Load16(p);
    __m128i b = Load16(p + 16);
    __m128i c = Load16(p + 32);
    __m128i d = Load16(p + 48);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i), PackLowBytes(a, b, c, d));
  }
  for (; i < count; ++i) dst[i] = src[4 * i];
}

PlaneCopy ChosenPlaneCopy() {
  PlaneCopy found = PlaneCopy::kSse2;
  switch (ChosenVectorSet()) {
    case VectorSet::kAvx512:
      found = ProcessorHasAvx512Vbmi() ? PlaneCopy::kAvx512Vbmi : PlaneCopy::kAvx512;
      break;
    case VectorSet::kAvx2:
      found = PlaneCopy::kAvx2;
      break;
    case VectorSet::kSse2:
      break;
  }
  return static_cast<int32_t>(found) < static_cast<int32_t>(gWidestPlaneCopy) ? found
                                                                               : gWidestPlaneCopy;
}

void LimitPlaneCopy(PlaneCopy widest) { gWidestPlaneCopy = widest; }

void CopyByteOfPixelsIn(PlaneCopy form, const uint8_t* pixels, int32_t byteOffset,
                        uint64_t count, uint8_t* dst) {
  switch (form) {
    case PlaneCopy::kAvx512Vbmi:
      CopyByteOfPixelsAvx512Vbmi(pixels, byteOffset, count, dst);
      return;
    case PlaneCopy::kAvx512:
      CopyByteOfPixelsAvx512(pixels, byteOffset, count, dst);
      return;
    case PlaneCopy::kAvx2:
      CopyByteOfPixelsAvx2(pixels, byteOffset, count, dst);
      return;
    case PlaneCopy::kSse2:
      break;
  }
  CopyByteOfPixels(pixels + byteOffset, count, dst);
}

void SplitColourPlanes(const uint8_t* pixels, uint64_t count, uint8_t* red,
                       uint8_t* green, uint8_t* blue) {
  uint64_t i = 0;
  for (; i + 16 <= count; i += 16) {
    const uint8_t* p = pixels + 4 * i;
    __m128i a = Load16(p), b = Load16(p + 16), c = Load16(p + 32), d = Load16(p + 48);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(blue + i), PackLowBytes(a, b, c, d));
    a = _mm_srli_epi32(a, 8), b = _mm_srli_epi32(b, 8);
    c = _mm_srli_epi32(c, 8), d = _mm_srli_epi32(d, 8);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(green + i), PackLowBytes(a, b, c, d));
    a = _mm_srli_epi32(a, 8), b = _mm_srli_epi32(b, 8);
    c = _mm_srli_epi32(c, 8), d = _mm_srli_epi32(d, 8);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(red + i), PackLowBytes(a, b, c, d));
  }
  for (; i < count; ++i) {
    uint32_t w = LoadWord(pixels + 4 * i);
    blue[i] = static_cast<uint8_t>(w);
    green[i] = static_cast<uint8_t>(w >> 8);
    red[i] = static_cast<uint8_t>(w >> 16);
  }
}

void StoreByteOfPixels(const uint8_t* src, uint64_t count, uint8_t* dst) {
  for (uint64_t i = 0; i < count; ++i) dst[4 * i] = src[i];
}

void MergePlanes(const uint8_t* red, const uint8_t* green, const uint8_t* blue,
                 const uint8_t* alpha, uint64_t count, uint8_t* pixels) {
  uint64_t i = 0;
  for (; i + 16 <= count; i += 16) {
    const __m128i r = Load16(red + i), g = Load16(green + i), b = Load16(blue + i);
    const __m128i a = alpha != nullptr ? Load16(alpha + i) : _mm_setzero_si128();
    // Bytes b, g, r, a of each pixel: interleave blue with green and red with
    // alpha, then the two pairs.
    const __m128i bgLow = _mm_unpacklo_epi8(b, g), bgHigh = _mm_unpackhi_epi8(b, g);
    const __m128i raLow = _mm_unpacklo_epi8(r, a), raHigh = _mm_unpackhi_epi8(r, a);
    __m128i* out = reinterpret_cast<__m128i*>(pixels + 4 * i);
    _mm_storeu_si128(out + 0, _mm_unpacklo_epi16(bgLow, raLow));
    _mm_storeu_si128(out + 1, _mm_unpackhi_epi16(bgLow, raLow));
    _mm_storeu_si128(out + 2, _mm_unpacklo_epi16(bgHigh, raHigh));
    _mm_storeu_si128(out + 3, _mm_unpackhi_epi16(bgHigh, raHigh));
  }
  for (; i < count; ++i) {
    uint8_t* p = pixels + 4 * i;
    p[0] = blue[i];
    p[1] = green[i];
    p[2] = red[i];
    p[3] = alpha != nullptr ? alpha[i] : 0;
  }
}

void MaskTransparency(const uint8_t* maskPixels, uint64_t count,
                      int32_t threshold, uint8_t* dst) {
  uint64_t i = 0;
  const __m128i limit = _mm_set1_epi32(threshold);
  for (; i + 16 <= count; i += 16) {
    const uint8_t* p = maskPixels + 4 * i;
    // Lanes of all ones (-1) where the pixel is below the threshold; packing
    // with signed saturation keeps -1, and -1 as a byte is 255.
    __m128i a = _mm_cmplt_epi32(Load16(p), limit);
    __m128i b = _mm_cmplt_epi32(Load16(p + 16), limit);
    __m128i c = _mm_cmplt_epi32(Load16(p + 32), limit);
    __m128i d = _mm_cmplt_epi32(Load16(p + 48), limit);
    __m128i packed = _mm_packs_epi16(_mm_packs_epi32(a, b), _mm_packs_epi32(c, d));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i), packed);
  }
  for (; i < count; ++i) {
    dst[i] = static_cast<int32_t>(LoadWord(maskPixels + 4 * i)) < threshold ? 255 : 0;
  }
}

}  // namespace kelvra
