// The vector kernel in AVX2, eight lanes (this file is compiled with -mavx2;
// it runs only where ChosenVectorSet found AVX2). The arithmetic is the
// kernel's of render_kernel.h; only the lane operations differ.
#include <immintrin.h>

#include "maps/render_kernel.h"

namespace kelvra {

namespace {

struct Avx2Lanes {
  static constexpr int32_t kLanes = 8;
  using I = __m256i;
  using F = __m256;

  static KELVRA_VECTOR_INLINE I Samples(const uint16_t* p) {
    return _mm256_cvtepu16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
  }
  static KELVRA_VECTOR_INLINE I Load(const int32_t* p) {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
  }
  static KELVRA_VECTOR_INLINE void Store(int32_t* p, I v) {
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), v);
  }
  static KELVRA_VECTOR_INLINE I Splat(int32_t v) { return _mm256_set1_epi32(v); }
  static KELVRA_VECTOR_INLINE F SplatF(float v) { return _mm256_set1_ps(v); }
  static KELVRA_VECTOR_INLINE I Add(I a, I b) { return _mm256_add_epi32(a, b); }
  static KELVRA_VECTOR_INLINE I Sub(I a, I b) { return _mm256_sub_epi32(a, b); }
  template <int n>
  static KELVRA_VECTOR_INLINE I Shl(I a) { return _mm256_slli_epi32(a, n); }
  template <int n>
  static KELVRA_VECTOR_INLINE I Sar(I a) { return _mm256_srai_epi32(a, n); }
  static KELVRA_VECTOR_INLINE F ToFloat(I a) { return _mm256_cvtepi32_ps(a); }
  static KELVRA_VECTOR_INLINE I Round(F a) { return _mm256_cvtps_epi32(a); }
  static KELVRA_VECTOR_INLINE F Mul(F a, F b) { return _mm256_mul_ps(a, b); }
  static KELVRA_VECTOR_INLINE F Div(F a, F b) { return _mm256_div_ps(a, b); }
  static KELVRA_VECTOR_INLINE F Sqrt(F a) { return _mm256_sqrt_ps(a); }
  static KELVRA_VECTOR_INLINE F Min(F a, F b) { return _mm256_min_ps(a, b); }
  static KELVRA_VECTOR_INLINE F Max(F a, F b) { return _mm256_max_ps(a, b); }
  static KELVRA_VECTOR_INLINE I Xor(I a, I b) { return _mm256_xor_si256(a, b); }
  static KELVRA_VECTOR_INLINE I And(I a, I b) { return _mm256_and_si256(a, b); }
  static KELVRA_VECTOR_INLINE I Or(I a, I b) { return _mm256_or_si256(a, b); }
  static KELVRA_VECTOR_INLINE I Clamp16(I a) {
    return _mm256_min_epi32(_mm256_max_epi32(a, _mm256_setzero_si256()), _mm256_set1_epi32(65535));
  }
  template <int Bits, int Channels>
  static KELVRA_VECTOR_INLINE void PackComponents(uint8_t* out, I v0, I v1, I v2) {
    Pack<Bits, Channels>(out, v0, v1, v2);
  }
  // Two groups of four pixels, the second after the first.
  template <int Bits, int Channels>
  static KELVRA_VECTOR_INLINE void Pack(uint8_t* out, I v0, I v1, I v2) {
    Pack4<Bits, Channels>(out, _mm256_castsi256_si128(v0), _mm256_castsi256_si128(v1),
                          _mm256_castsi256_si128(v2));
    Pack4<Bits, Channels>(out + 4 * (Bits / 8 * Channels), _mm256_extracti128_si256(v0, 1),
                          _mm256_extracti128_si256(v1, 1), _mm256_extracti128_si256(v2, 1));
  }

  static KELVRA_VECTOR_INLINE F SumSquares(F aa, F bb, double zz) {
    const __m256d z = _mm256_set1_pd(zz);
    const __m256d low = _mm256_add_pd(
        _mm256_add_pd(_mm256_cvtps_pd(_mm256_castps256_ps128(aa)),
                      _mm256_cvtps_pd(_mm256_castps256_ps128(bb))),
        z);
    const __m256d high = _mm256_add_pd(
        _mm256_add_pd(_mm256_cvtps_pd(_mm256_extractf128_ps(aa, 1)),
                      _mm256_cvtps_pd(_mm256_extractf128_ps(bb, 1))),
        z);
    return _mm256_insertf128_ps(_mm256_castps128_ps256(_mm256_cvtpd_ps(low)),
                                _mm256_cvtpd_ps(high), 1);
  }

  // AVX2 multiplies signed 32 x 32 bits into 64 (even lanes; the odd ones
  // are moved down first). Bits 16..47 of each product, then >> 4.
  static KELVRA_VECTOR_INLINE I ScaledDisplacement(I a, int32_t gain) {
    const I g = _mm256_set1_epi32(gain);
    const I even = _mm256_mul_epi32(a, g);
    const I odd = _mm256_mul_epi32(_mm256_srli_epi64(a, 32), g);
    const I lanes = _mm256_blend_epi32(_mm256_srli_epi64(even, 16), _mm256_slli_epi64(odd, 16),
                                       0xAA);
    return _mm256_srai_epi32(lanes, 4);
  }
};

}  // namespace

const VectorKernels kAvx2Kernels = KernelsFor<Avx2Lanes>();

}  // namespace kelvra
