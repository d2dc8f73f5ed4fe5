// The vector kernel in AVX2, eight lanes (this file is compiled with -mavx2
// and -mfma; it runs only where ChosenVectorSet found AVX2 and FMA, and
// -ffp-contract=off keeps the compiler from fusing anything itself). The arithmetic is the
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
  static KELVRA_VECTOR_INLINE F LoadF(const float* p) { return _mm256_loadu_ps(p); }
  static KELVRA_VECTOR_INLINE void StoreF(float* p, F v) { _mm256_storeu_ps(p, v); }
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
  // Fused: the estimate's bound allows for either rounding, and the other
  // use (SamplesOf) has exact products and sums, so the exact path's
  // results are unchanged.
  static KELVRA_VECTOR_INLINE F MulAdd(F a, F b, F c) { return _mm256_fmadd_ps(a, b, c); }
  static KELVRA_VECTOR_INLINE F MulSub(F a, F b, F c) { return _mm256_fmsub_ps(a, b, c); }
  static KELVRA_VECTOR_INLINE F RSqrtEstimate(F a) { return _mm256_rsqrt_ps(a); }
  // a x 2^-44 by its exponent, as in Sse2Lanes.
  static KELVRA_VECTOR_INLINE F ScaleDown44(F a) {
    const auto bits = _mm256_castps_si256(a);
    return _mm256_castsi256_ps(_mm256_sub_epi32(bits, _mm256_set1_epi32(44 << 23)));
  }
  // The check tests bits: margins are powers of two.
  static constexpr bool kChecksByBits = true;
  static constexpr int32_t kEstimateMarginXY = 16;
  static constexpr int32_t kEstimateMarginZ = 32;
  static constexpr bool kFusedMulAdd = true;
  static constexpr bool kHasBiasedSamples = false;
  static KELVRA_VECTOR_INLINE F AsFloats(I a) { return _mm256_castsi256_ps(a); }
  static KELVRA_VECTOR_INLINE F SubF(F a, F b) { return _mm256_sub_ps(a, b); }
  static constexpr bool kSamplesInFloat = true;
  static KELVRA_VECTOR_INLINE F RoundNearest(F a) {
    return _mm256_round_ps(a, _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC);
  }
  static KELVRA_VECTOR_INLINE F Floor(F a) {
    return _mm256_round_ps(a, _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC);
  }
  // Eight pixels of three float samples. Each plane is first permuted
  // within its 128-bit halves so that every element sits where one of the
  // three output blocks of its half wants it (red 0 3 2 1, green 1 0 3 2,
  // blue 2 1 0 3); blends then form the blocks, in each half
  //   r0 g0 b0 r1 | g1 b1 r2 g2 | b2 r3 g3 b3,
  // and 128-bit permutations put the halves' blocks in file order.
  static KELVRA_VECTOR_INLINE void PackSamples3(uint8_t* out, F r, F g, F b) {
    const F rs = _mm256_permute_ps(r, _MM_SHUFFLE(1, 2, 3, 0));
    const F gs = _mm256_permute_ps(g, _MM_SHUFFLE(2, 3, 0, 1));
    const F bs = _mm256_permute_ps(b, _MM_SHUFFLE(3, 0, 1, 2));
    const F block0 = _mm256_blend_ps(_mm256_blend_ps(rs, gs, 0x22), bs, 0x44);  // r g b r
    const F block1 = _mm256_blend_ps(_mm256_blend_ps(gs, bs, 0x22), rs, 0x44);  // g b r g
    const F block2 = _mm256_blend_ps(_mm256_blend_ps(bs, rs, 0x22), gs, 0x44);  // b r g b
    float* f = reinterpret_cast<float*>(out);
    _mm256_storeu_ps(f, _mm256_permute2f128_ps(block0, block1, 0x20));
    _mm256_storeu_ps(f + 8, _mm256_permute2f128_ps(block2, block0, 0x30));
    _mm256_storeu_ps(f + 16, _mm256_permute2f128_ps(block1, block2, 0x31));
  }
  // Whether a lane has none of the bits `ab` in a or in b, or none of the
  // bits `cc` in c (the masks keep bits below 2^31, so the least of the
  // three is 0 then).
  static KELVRA_VECTOR_INLINE bool AnyClear(I a, I b, I c, I ab, I cc) {
    const I low = _mm256_min_epi32(_mm256_min_epi32(_mm256_and_si256(a, ab), _mm256_and_si256(b, ab)),
                                   _mm256_and_si256(c, cc));
    const I clear = _mm256_cmpeq_epi32(low, _mm256_setzero_si256());
    return _mm256_movemask_ps(_mm256_castsi256_ps(clear)) != 0;
  }
  // Three channels of bytes in bits 16 up of their lanes (0..256), clamped
  // to 0..255 by the saturating packs, as eight pixels of three bytes. Each
  // 128-bit half packs its four pixels as b0 x 4, b1 x 4, b2 x 4, b2 x 4;
  // the byte shuffle interleaves them and the lane permutation closes the
  // gap.
  static KELVRA_VECTOR_INLINE void PackBytes3(uint8_t* out, I b0, I b1, I b2) {
    b0 = _mm256_srli_epi32(b0, 16);
    b1 = _mm256_srli_epi32(b1, 16);
    b2 = _mm256_srli_epi32(b2, 16);
    const I bytes = _mm256_packus_epi16(_mm256_packs_epi32(b0, b1), _mm256_packs_epi32(b2, b2));
    const I interleave = _mm256_setr_epi8(0, 4, 8, 1, 5, 9, 2, 6, 10, 3, 7, 11, -1, -1, -1, -1,
                                          0, 4, 8, 1, 5, 9, 2, 6, 10, 3, 7, 11, -1, -1, -1, -1);
    const I order = _mm256_setr_epi32(0, 1, 2, 4, 5, 6, 3, 7);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out),
                        _mm256_permutevar8x32_epi32(_mm256_shuffle_epi8(bytes, interleave), order));
  }
  static KELVRA_VECTOR_INLINE I ClampByte(I a) {
    return _mm256_min_epi32(_mm256_max_epi32(a, _mm256_setzero_si256()), _mm256_set1_epi32(255));
  }
  static KELVRA_VECTOR_INLINE I Xor(I a, I b) { return _mm256_xor_si256(a, b); }
  static KELVRA_VECTOR_INLINE I And(I a, I b) { return _mm256_and_si256(a, b); }
  static KELVRA_VECTOR_INLINE I Or(I a, I b) { return _mm256_or_si256(a, b); }
  static KELVRA_VECTOR_INLINE I Clamp16(I a) {
    return _mm256_min_epi32(_mm256_max_epi32(a, _mm256_setzero_si256()), _mm256_set1_epi32(65535));
  }
  // Eight pixels of three bytes from their 32-bit lanes (byte 0 channel 0,
  // byte 1 channel 1, byte 2 channel 2): a byte shuffle squeezes each
  // 128-bit half's four pixels into its first 12 bytes, a lane permutation
  // closes the gap: 24 bytes, stored as 32.
  static KELVRA_VECTOR_INLINE void Squeeze8x3(uint8_t* out, I px) {
    const I squeeze = _mm256_setr_epi32(0x04020100, 0x09080605, 0x0E0D0C0A, -1, 0x04020100,
                                        0x09080605, 0x0E0D0C0A, -1);
    const I order = _mm256_setr_epi32(0, 1, 2, 4, 5, 6, 3, 7);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out),
                        _mm256_permutevar8x32_epi32(_mm256_shuffle_epi8(px, squeeze), order));
  }

  // Output block t of the float interleave: element j is channel (8t + j) % 3
  // of pixel (8t + j) / 3; each plane is permuted to the pixels and the
  // blends take green and blue where they belong.
  template <int GreenMask, int BlueMask>
  static KELVRA_VECTOR_INLINE void Interleave32(float* out, F r, F g, F b, I pixels) {
    const F rg = _mm256_blend_ps(_mm256_permutevar8x32_ps(r, pixels),
                                 _mm256_permutevar8x32_ps(g, pixels), GreenMask);
    _mm256_storeu_ps(out, _mm256_blend_ps(rg, _mm256_permutevar8x32_ps(b, pixels), BlueMask));
  }

  template <int Bits, int Channels>
  static KELVRA_VECTOR_INLINE void Pack(uint8_t* out, I v0, I v1, I v2) {
    if constexpr (Bits == 8 && Channels == 3) {
      const I byteMask = _mm256_set1_epi32(0xFF);
      auto high = [&](I v) { return _mm256_and_si256(_mm256_srai_epi32(v, 8), byteMask); };
      Squeeze8x3(out, _mm256_or_si256(_mm256_or_si256(high(v0), _mm256_slli_epi32(high(v1), 8)),
                                      _mm256_slli_epi32(high(v2), 16)));
    } else if constexpr (Bits == 32 && Channels == 3) {
      const F unit = _mm256_set1_ps(1.0f / 65536);
      const F r = _mm256_mul_ps(_mm256_cvtepi32_ps(v0), unit);
      const F g = _mm256_mul_ps(_mm256_cvtepi32_ps(v1), unit);
      const F b = _mm256_mul_ps(_mm256_cvtepi32_ps(v2), unit);
      float* f = reinterpret_cast<float*>(out);
      Interleave32<0x92, 0x24>(f, r, g, b, _mm256_setr_epi32(0, 0, 0, 1, 1, 1, 2, 2));
      Interleave32<0x24, 0x49>(f + 8, r, g, b, _mm256_setr_epi32(2, 3, 3, 3, 4, 4, 4, 5));
      Interleave32<0x49, 0x92>(f + 16, r, g, b, _mm256_setr_epi32(5, 5, 6, 6, 6, 7, 7, 7));
    } else {
      // Two groups of four pixels, the second after the first.
      Pack4<Bits, Channels>(out, _mm256_castsi256_si128(v0), _mm256_castsi256_si128(v1),
                            _mm256_castsi256_si128(v2));
      Pack4<Bits, Channels>(out + 4 * (Bits / 8 * Channels), _mm256_extracti128_si256(v0, 1),
                            _mm256_extracti128_si256(v1, 1), _mm256_extracti128_si256(v2, 1));
    }
  }

  // One channel of displaced heights, clamped to 0..65535 unless float.
  template <int Bits>
  static KELVRA_VECTOR_INLINE void PackHeights(uint8_t* out, I v) {
    if constexpr (Bits == 32) {
      Pack<32, 1>(out, v, v, v);
    } else {
      const I c = Clamp16(v);
      Pack<Bits, 1>(out, c, c, c);
    }
  }

  // Values in 0..65535: v >> 8 needs no mask, and the high bytes of v1, v2
  // are masks.
  template <int Bits, int Channels>
  static KELVRA_VECTOR_INLINE void PackComponents(uint8_t* out, I v0, I v1, I v2) {
    if constexpr (Bits == 8 && Channels == 3) {
      const I high = _mm256_set1_epi32(0xFF00);
      Squeeze8x3(out, _mm256_or_si256(
                          _mm256_or_si256(_mm256_srli_epi32(v0, 8), _mm256_and_si256(v1, high)),
                          _mm256_slli_epi32(_mm256_and_si256(v2, high), 8)));
    } else {
      Pack<Bits, Channels>(out, v0, v1, v2);
    }
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
