// The vector kernel in AVX-512 (foundation and byte/word sets), sixteen
// lanes (this file is compiled with -mavx512f -mavx512bw; it runs only where
// ChosenVectorSet found both with their register state enabled). The arithmetic is the kernel's
// of render_kernel.h; only the lane operations differ.
// GCC 12's AVX-512 headers trip its own may-be-uninitialized warning.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

#include <immintrin.h>

#include "maps/render_kernel.h"

namespace kelvra {

namespace {

// Index tables of the float interleave (see Pack32x3Wide).
struct FloatPicks {
  int32_t redGreen[3][16];  // < 16: channel 0 (red); 16..31: channel 1 (green)
  int32_t blue[3][16];      // < 16: keep; 16..31: channel 2 (blue)
};

constexpr FloatPicks MakeFloatPicks() {
  FloatPicks p{};
  for (int t = 0; t < 3; ++t) {
    for (int j = 0; j < 16; ++j) {
      const int e = 16 * t + j, pixel = e / 3, channel = e % 3;
      p.redGreen[t][j] = channel == 0 ? pixel : (channel == 1 ? 16 + pixel : 0);
      p.blue[t][j] = channel == 2 ? 16 + pixel : j;
    }
  }
  return p;
}

alignas(64) constexpr FloatPicks kFloatPicks = MakeFloatPicks();

struct Avx512Lanes {
  static constexpr int32_t kLanes = 16;
  using I = __m512i;
  using F = __m512;

  static KELVRA_VECTOR_INLINE I Samples(const uint16_t* p) {
    return _mm512_cvtepu16_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)));
  }
  static KELVRA_VECTOR_INLINE I Load(const int32_t* p) { return _mm512_loadu_si512(p); }
  static KELVRA_VECTOR_INLINE void Store(int32_t* p, I v) { _mm512_storeu_si512(p, v); }
  static KELVRA_VECTOR_INLINE I Splat(int32_t v) { return _mm512_set1_epi32(v); }
  static KELVRA_VECTOR_INLINE F SplatF(float v) { return _mm512_set1_ps(v); }
  static KELVRA_VECTOR_INLINE F LoadF(const float* p) { return _mm512_loadu_ps(p); }
  static KELVRA_VECTOR_INLINE void StoreF(float* p, F v) { _mm512_storeu_ps(p, v); }
  static KELVRA_VECTOR_INLINE I Add(I a, I b) { return _mm512_add_epi32(a, b); }
  static KELVRA_VECTOR_INLINE I Sub(I a, I b) { return _mm512_sub_epi32(a, b); }
  template <int n>
  static KELVRA_VECTOR_INLINE I Shl(I a) { return _mm512_slli_epi32(a, n); }
  template <int n>
  static KELVRA_VECTOR_INLINE I Sar(I a) { return _mm512_srai_epi32(a, n); }
  static KELVRA_VECTOR_INLINE F ToFloat(I a) { return _mm512_cvtepi32_ps(a); }
  // The current rounding mode (nearest even under the default MXCSR).
  static KELVRA_VECTOR_INLINE I Round(F a) { return _mm512_cvtps_epi32(a); }
  static KELVRA_VECTOR_INLINE F Mul(F a, F b) { return _mm512_mul_ps(a, b); }
  static KELVRA_VECTOR_INLINE F Div(F a, F b) { return _mm512_div_ps(a, b); }
  static KELVRA_VECTOR_INLINE F Sqrt(F a) { return _mm512_sqrt_ps(a); }
  static KELVRA_VECTOR_INLINE F Min(F a, F b) { return _mm512_min_ps(a, b); }
  static KELVRA_VECTOR_INLINE F Max(F a, F b) { return _mm512_max_ps(a, b); }
  // Fused (the estimate only): its bound allows for either rounding.
  static KELVRA_VECTOR_INLINE F MulAdd(F a, F b, F c) { return _mm512_fmadd_ps(a, b, c); }
  static KELVRA_VECTOR_INLINE F MulSub(F a, F b, F c) { return _mm512_fmsub_ps(a, b, c); }
  // The AVX-512 estimate (relative error below 2^-14), not the AVX one.
  static KELVRA_VECTOR_INLINE F RSqrtEstimate(F a) { return _mm512_rsqrt14_ps(a); }
  // a x 2^-44 by its exponent, as in Sse2Lanes.
  static KELVRA_VECTOR_INLINE F ScaleDown44(F a) {
    const auto bits = _mm512_castps_si512(a);
    return _mm512_castsi512_ps(_mm512_sub_epi32(bits, _mm512_set1_epi32(44 << 23)));
  }
  // The check tests bits: margins are powers of two.
  static constexpr bool kChecksByBits = true;
  static constexpr int32_t kEstimateMarginXY = 16;
  static constexpr int32_t kEstimateMarginZ = 32;
  static constexpr bool kFusedMulAdd = true;
  static constexpr bool kHasBiasedSamples = false;
  static KELVRA_VECTOR_INLINE F AsFloats(I a) { return _mm512_castsi512_ps(a); }
  static KELVRA_VECTOR_INLINE F SubF(F a, F b) { return _mm512_sub_ps(a, b); }
  static constexpr bool kSamplesInFloat = false;
  // Whether a lane has none of the bits `ab` in a or in b, or none of the
  // bits `cc` in c.
  static KELVRA_VECTOR_INLINE bool AnyClear(I a, I b, I c, I ab, I cc) {
    return (_mm512_testn_epi32_mask(a, ab) | _mm512_testn_epi32_mask(b, ab) |
            _mm512_testn_epi32_mask(c, cc)) != 0;
  }
  // Three channels of bytes in bits 16 up of their lanes (0..256), clamped
  // to 0..255 by the saturating packs, as sixteen pixels of three bytes:
  // each 128-bit quarter packs its four pixels as b0 x 4, b1 x 4, b2 x 4,
  // b2 x 4, and Squeeze8x3's permutation closes the gaps after the
  // interleaving shuffle.
  static KELVRA_VECTOR_INLINE void PackBytes3(uint8_t* out, I b0, I b1, I b2) {
    b0 = _mm512_srli_epi32(b0, 16);
    b1 = _mm512_srli_epi32(b1, 16);
    b2 = _mm512_srli_epi32(b2, 16);
    const I bytes = _mm512_packus_epi16(_mm512_packs_epi32(b0, b1), _mm512_packs_epi32(b2, b2));
    const I interleave = _mm512_set4_epi32(-1, 0x0B07030A, 0x06020905, 0x01080400);
    const I packed = _mm512_shuffle_epi8(bytes, interleave);
    const I order = _mm512_set_epi32(15, 14, 13, 12, 14, 13, 12, 10, 9, 8, 6, 5, 4, 2, 1, 0);
    _mm512_storeu_si512(out, _mm512_permutexvar_epi32(order, packed));
  }
  static KELVRA_VECTOR_INLINE I ClampByte(I a) {
    return _mm512_min_epi32(_mm512_max_epi32(a, _mm512_setzero_si512()), _mm512_set1_epi32(255));
  }
  static KELVRA_VECTOR_INLINE I Xor(I a, I b) { return _mm512_xor_si512(a, b); }
  static KELVRA_VECTOR_INLINE I And(I a, I b) { return _mm512_and_si512(a, b); }
  static KELVRA_VECTOR_INLINE I Or(I a, I b) { return _mm512_or_si512(a, b); }
  static KELVRA_VECTOR_INLINE I Clamp16(I a) {
    return _mm512_min_epi32(_mm512_max_epi32(a, _mm512_setzero_si512()), _mm512_set1_epi32(65535));
  }

  static KELVRA_VECTOR_INLINE __m128i Quarter(I v, int i) {
    switch (i) {
      case 0: return _mm512_extracti32x4_epi32(v, 0);
      case 1: return _mm512_extracti32x4_epi32(v, 1);
      case 2: return _mm512_extracti32x4_epi32(v, 2);
      default: return _mm512_extracti32x4_epi32(v, 3);
    }
  }

  // Sixteen pixels of three bytes from their 32-bit lanes (byte 0 channel 0,
  // byte 1 channel 1, byte 2 channel 2): a byte shuffle squeezes each 128-bit
  // quarter's four pixels into its first 12 bytes, and a lane permutation
  // closes the gaps: 48 bytes, stored as 64.
  static KELVRA_VECTOR_INLINE void Squeeze8x3(uint8_t* out, I px) {
    const I squeeze = _mm512_set4_epi32(-1, 0x0E0D0C0A, 0x09080605, 0x04020100);
    const I packed = _mm512_shuffle_epi8(px, squeeze);
    const I order = _mm512_set_epi32(15, 14, 13, 12, 14, 13, 12, 10, 9, 8, 6, 5, 4, 2, 1, 0);
    _mm512_storeu_si512(out, _mm512_permutexvar_epi32(order, packed));
  }

  // Each pixel's three bytes v >> 8 joined in its lane.
  static KELVRA_VECTOR_INLINE void Pack8x3Wide(uint8_t* out, I v0, I v1, I v2) {
    const I byteMask = _mm512_set1_epi32(0xFF);
    const I px = _mm512_or_si512(
        _mm512_or_si512(_mm512_and_si512(_mm512_srai_epi32(v0, 8), byteMask),
                        _mm512_slli_epi32(_mm512_and_si512(_mm512_srai_epi32(v1, 8), byteMask), 8)),
        _mm512_slli_epi32(_mm512_and_si512(_mm512_srai_epi32(v2, 8), byteMask), 16));
    Squeeze8x3(out, px);
  }

  // Three float planes interleaved by two-source permutations: output
  // element e is channel e % 3 of pixel e / 3. First channels 0 and 1 are
  // placed, then channel 2 is filled in.
  static KELVRA_VECTOR_INLINE void Pack32x3Wide(uint8_t* out, I v0, I v1, I v2) {
    const __m512 unit = _mm512_set1_ps(1.0f / 65536);
    const __m512 r = _mm512_mul_ps(_mm512_cvtepi32_ps(v0), unit);
    const __m512 g = _mm512_mul_ps(_mm512_cvtepi32_ps(v1), unit);
    const __m512 b = _mm512_mul_ps(_mm512_cvtepi32_ps(v2), unit);
    float* f = reinterpret_cast<float*>(out);
    for (int t = 0; t < 3; ++t) {
      const __m512 rg = _mm512_permutex2var_ps(r, Load(kFloatPicks.redGreen[t]), g);
      _mm512_storeu_ps(f + 16 * t, _mm512_permutex2var_ps(rg, Load(kFloatPicks.blue[t]), b));
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
      const I high = _mm512_set1_epi32(0xFF00);
      Squeeze8x3(out, _mm512_or_si512(
                          _mm512_or_si512(_mm512_srli_epi32(v0, 8), _mm512_and_si512(v1, high)),
                          _mm512_slli_epi32(_mm512_and_si512(v2, high), 8)));
    } else {
      Pack<Bits, Channels>(out, v0, v1, v2);
    }
  }

  template <int Bits, int Channels>
  static KELVRA_VECTOR_INLINE void Pack(uint8_t* out, I v0, I v1, I v2) {
    if constexpr (Bits == 8 && Channels == 1) {
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out),
                       _mm512_cvtepi32_epi8(_mm512_srai_epi32(v0, 8)));
    } else if constexpr (Bits == 8) {
      Pack8x3Wide(out, v0, v1, v2);
    } else if constexpr (Bits == 16 && Channels == 1) {
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), _mm512_cvtepi32_epi16(v0));
    } else if constexpr (Bits == 32 && Channels == 1) {
      _mm512_storeu_ps(out, _mm512_mul_ps(_mm512_cvtepi32_ps(v0), _mm512_set1_ps(1.0f / 65536)));
    } else if constexpr (Bits == 32) {
      Pack32x3Wide(out, v0, v1, v2);
    } else {
      // Four groups of four pixels.
      for (int i = 0; i < 4; ++i) {
        Pack4<Bits, Channels>(out + 4 * i * (Bits / 8 * Channels), Quarter(v0, i), Quarter(v1, i),
                              Quarter(v2, i));
      }
    }
  }

  static KELVRA_VECTOR_INLINE __m256 HighHalf(F v) {
    return _mm256_castpd_ps(_mm512_extractf64x4_pd(_mm512_castps_pd(v), 1));
  }

  static KELVRA_VECTOR_INLINE F SumSquares(F aa, F bb, double zz) {
    const __m512d z = _mm512_set1_pd(zz);
    const __m512d low = _mm512_add_pd(
        _mm512_add_pd(_mm512_cvtps_pd(_mm512_castps512_ps256(aa)),
                      _mm512_cvtps_pd(_mm512_castps512_ps256(bb))),
        z);
    const __m512d high = _mm512_add_pd(
        _mm512_add_pd(_mm512_cvtps_pd(HighHalf(aa)), _mm512_cvtps_pd(HighHalf(bb))), z);
    const __m512d joined = _mm512_insertf64x4(
        _mm512_castps_pd(_mm512_castps256_ps512(_mm512_cvtpd_ps(low))),
        _mm256_castps_pd(_mm512_cvtpd_ps(high)), 1);
    return _mm512_castpd_ps(joined);
  }

  // Signed 32 x 32 bits into 64 (even lanes; the odd ones are moved down
  // first). Bits 16..47 of each product, then >> 4.
  static KELVRA_VECTOR_INLINE I ScaledDisplacement(I a, int32_t gain) {
    const I g = _mm512_set1_epi32(gain);
    const I even = _mm512_mul_epi32(a, g);
    const I odd = _mm512_mul_epi32(_mm512_srli_epi64(a, 32), g);
    const I lanes = _mm512_mask_blend_epi32(0xAAAA, _mm512_srli_epi64(even, 16),
                                            _mm512_slli_epi64(odd, 16));
    return _mm512_srai_epi32(lanes, 4);
  }
};

}  // namespace

const VectorKernels kAvx512Kernels = KernelsFor<Avx512Lanes>();

}  // namespace kelvra
