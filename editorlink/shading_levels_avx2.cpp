// Shading levels in AVX2 (this file is compiled with -mavx2 -mfma; it runs
// only where ChosenVectorSet found AVX2 with its register state enabled).
// Same levels as ShadeValue, 32 pixels a step, without a division:
//
// ShadeValue(a, b) is 128 + q above (b > a) and 128 - q below (b < a), with
// q = floor(n / d), n = 128 |b - a| less 1 above, and d = 255 - a above, a
// below (b == a gives n = 0, so q = 0). Then 0 <= n <= 32639 and
// 1 <= d <= 255. The quotient is taken as trunc((n + 1/2) r) with r a
// reciprocal of d: (n + 1/2) / d lies at least 1/(2d) from every integer
// (n / d is an integer or at least 1/d from one), and (n + 1/2) r is within
// 32640 / d x 2^-21 of it: the processor's reciprocal estimate is within
// 1.5 x 2^-12 of 1/d, one Newton step leaves 2.25 x 2^-24 of that, and the
// two fused roundings add at most 2 x 2^-23 in any rounding mode the host
// may have set. So the truncation always gives q.
#include <immintrin.h>

#include "editorlink/shading.h"

namespace kelvra {

namespace {

// Byte `byte` of each of 8 pixels, in the low byte of its 32-bit lane.
inline __m256i Levels8(const uint8_t* p, __m256i pick) {
  return _mm256_shuffle_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)), pick);
}

// The grey mean (B + G + R) / 3 of each of 8 pixels: the sum is below 2^16,
// so its 16-bit product by 43691 = ceil(2^17 / 3) shifted by 17 is the
// exact quotient (the error, sum x 2^-17 / 3, stays below 1/3 for sums
// up to 765).
inline __m256i Grey8(const uint8_t* p) {
  const __m256i px = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
  const __m256i low = _mm256_set1_epi32(0xFF);
  const __m256i sum = _mm256_add_epi32(
      _mm256_add_epi32(_mm256_and_si256(px, low), _mm256_and_si256(_mm256_srli_epi32(px, 8), low)),
      _mm256_and_si256(_mm256_srli_epi32(px, 16), low));
  return _mm256_srli_epi32(_mm256_mulhi_epu16(sum, _mm256_set1_epi32(43691)), 1);
}

inline __m256i Shade8(__m256i a, __m256i b) {
  const __m256i diff = _mm256_sub_epi32(b, a);
  const __m256i above = _mm256_cmpgt_epi32(b, a);  // all ones where b > a
  const __m256i n = _mm256_add_epi32(_mm256_slli_epi32(_mm256_abs_epi32(diff), 7), above);
  const __m256i d = _mm256_max_epi32(
      _mm256_blendv_epi8(a, _mm256_sub_epi32(_mm256_set1_epi32(255), a), above),
      _mm256_set1_epi32(1));
  const __m256 df = _mm256_cvtepi32_ps(d);
  const __m256 r0 = _mm256_rcp_ps(df);
  const __m256 r = _mm256_fmadd_ps(r0, _mm256_fnmadd_ps(df, r0, _mm256_set1_ps(1.0f)), r0);
  const __m256 half = _mm256_set1_ps(0.5f);
  const __m256i q = _mm256_cvttps_epi32(
      _mm256_fmadd_ps(_mm256_cvtepi32_ps(n), r, _mm256_mul_ps(half, r)));
  // +q above, -q below, 0 where the levels are equal (q is 0 there too).
  return _mm256_add_epi32(_mm256_sign_epi32(q, diff), _mm256_set1_epi32(128));
}

template <bool kGrey>
uint32_t Levels(const uint8_t* flat, const uint8_t* shaded, int32_t byte, uint32_t count,
                uint8_t* dst) {
  // Byte `byte` of each 32-bit lane to its low byte, zeros above.
  const __m256i pick = _mm256_setr_epi8(
      static_cast<char>(byte), -128, -128, -128, static_cast<char>(4 + byte), -128, -128, -128,
      static_cast<char>(8 + byte), -128, -128, -128, static_cast<char>(12 + byte), -128, -128, -128,
      static_cast<char>(byte), -128, -128, -128, static_cast<char>(4 + byte), -128, -128, -128,
      static_cast<char>(8 + byte), -128, -128, -128, static_cast<char>(12 + byte), -128, -128, -128);
  // packs and packus work within 128-bit halves: the dwords come out as the
  // 4-pixel groups r0 r1 r2 r3 (first halves), then r0 r1 r2 r3 (second
  // halves); one dword permute puts them in pixel order.
  const __m256i order = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
  uint32_t i = 0;
  for (; count - i >= 32; i += 32) {
    const uint8_t* f = flat + 4 * static_cast<size_t>(i);
    const uint8_t* s = shaded + 4 * static_cast<size_t>(i);
    __m256i r[4];
    for (int v = 0; v < 4; ++v) {
      const __m256i a = kGrey ? Grey8(f + 32 * v) : Levels8(f + 32 * v, pick);
      const __m256i b = kGrey ? Grey8(s + 32 * v) : Levels8(s + 32 * v, pick);
      r[v] = Shade8(a, b);
    }
    const __m256i bytes =
        _mm256_packus_epi16(_mm256_packs_epi32(r[0], r[1]), _mm256_packs_epi32(r[2], r[3]));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + i),
                        _mm256_permutevar8x32_epi32(bytes, order));
  }
  return i;
}

}  // namespace

uint32_t ShadingLevelsAvx2(const uint8_t* flat, const uint8_t* shaded, bool grey,
                           int32_t byte, uint32_t count, uint8_t* dst) {
  return grey ? Levels<true>(flat, shaded, byte, count, dst)
              : Levels<false>(flat, shaded, byte, count, dst);
}

}  // namespace kelvra
