// The vector kernel of a file row, written once over a "lanes" type and
// compiled for each instruction set: SSE2 (4 lanes, every host CPU), and,
// chosen at run time, AVX2 (8 lanes) and AVX-512 (16 lanes). Each
// render_rows_<set>.cpp includes this header with its own compiler flags;
// everything here has internal linkage, so no function compiled for a wider
// set can stand in for another file's copy.
//
// The kernel forms, for a run of columns, the displacement and the normal's
// components X', Y', Z' with exactly the plain path's arithmetic:
//   - integer steps (sums, gradients, the 64-bit product and its shifts) are
//     exact in any order;
//   - every float multiply of the plain path is one vector multiply; the
//     squares are widened to double, added in double in the same order and
//     rounded once; square root and division are correctly rounded in every
//     set; conversion to integers rounds to nearest even under the default
//     MXCSR, as the plain path's does.
// The normal covers strengths 2^-24 <= s <= 2^24 (others take the plain
// path). There every intermediate value is a normal float, the length is
// never 0 and nothing is NaN, so two shortcuts give the same bits:
//   - k' = float(65536 / len) is float(1 / len) x 65536, and float(k' x a) is
//     float(k x a) x 65536 (rounding commutes with scaling by 2^16 away from
//     the subnormal and overflow ranges);
//   - z = -(s s) < 0 < k', so |float(k' z)| is float(k' (s s));
//   - fx = g x 2^-16 is exact, so float(s fx) is float((s 2^-16) g), with
//     s 2^-16 exact too.
// Clamping a component to -65536..65535 (X', Y') or to 65535 (Z') before
// rounding changes no result, since the component saturates there anyway.
// 8-bit normal maps, which keep only the components' high bytes, take them
// from a checked estimate instead (HighBytesEstimate) and use this exact
// arithmetic for the groups of pixels the check sends back.
#pragma once

#include <emmintrin.h>

#include <cstdint>

#include "maps/render_rows.h"

#define KELVRA_VECTOR_INLINE inline __attribute__((always_inline))

namespace kelvra {
namespace {

// Asks the processor to bring `count` samples from `p` into the cache, one
// request a 64-byte line. A span that does not start a line may leave its
// last line to the next span's first request, or to the load that needs it.
KELVRA_VECTOR_INLINE void RequestSamples(const uint16_t* p, int32_t count) {
  const char* bytes = reinterpret_cast<const char*>(p);
  for (int32_t i = 0; i < 2 * count; i += 64) _mm_prefetch(bytes + i, _MM_HINT_T0);
}

// ---- packing four pixels (SSE2) ---------------------------------------------------
// File samples from channel values v: 8 bits the byte v >> 8, 16 bits the
// low 16 bits of v, 32 bits the float v x 2^-16. A store may write past the
// pixels it packs (at most 4 bytes); later pixels or the row buffer's slack
// take those bytes.

KELVRA_VECTOR_INLINE __m128i HighBytes4(__m128i v) {
  return _mm_and_si128(_mm_srai_epi32(v, 8), _mm_set1_epi32(0xFF));
}

KELVRA_VECTOR_INLINE __m128 AsSample4(__m128i v) {
  return _mm_mul_ps(_mm_cvtepi32_ps(v), _mm_set1_ps(1.0f / 65536));
}

KELVRA_VECTOR_INLINE void Pack8x1(uint8_t* out, __m128i v0) {
  const __m128i b = HighBytes4(v0);
  const __m128i packed = _mm_packus_epi16(_mm_packs_epi32(b, b), _mm_setzero_si128());
  const int32_t word = _mm_cvtsi128_si32(packed);
  __builtin_memcpy(out, &word, 4);
}

// Four pixels of three bytes from their 32-bit lanes (byte 0 channel 0,
// byte 1 channel 1, byte 2 channel 2): 12 bytes, stored as two 8-byte halves
// 6 bytes apart (the second overwrites the first's last two bytes).
KELVRA_VECTOR_INLINE void Squeeze8x3(uint8_t* out, __m128i px) {
  // Pairs of 24-bit pixels into the low 48 bits of each quadword.
  const __m128i even = _mm_and_si128(px, _mm_set_epi32(0, 0xFFFFFF, 0, 0xFFFFFF));
  const __m128i odd =
      _mm_srli_epi64(_mm_and_si128(px, _mm_set_epi32(0xFFFFFF, 0, 0xFFFFFF, 0)), 8);
  const __m128i pairs = _mm_or_si128(even, odd);
  _mm_storel_epi64(reinterpret_cast<__m128i*>(out), pairs);
  _mm_storel_epi64(reinterpret_cast<__m128i*>(out + 6), _mm_unpackhi_epi64(pairs, pairs));
}

KELVRA_VECTOR_INLINE void Pack8x3(uint8_t* out, __m128i v0, __m128i v1, __m128i v2) {
  Squeeze8x3(out, _mm_or_si128(_mm_or_si128(HighBytes4(v0), _mm_slli_epi32(HighBytes4(v1), 8)),
                               _mm_slli_epi32(HighBytes4(v2), 16)));
}

// Values in 0..65535: v >> 8 needs no mask, and the high bytes of v1, v2
// are masks.
KELVRA_VECTOR_INLINE void Pack8x3Components(uint8_t* out, __m128i v0, __m128i v1, __m128i v2) {
  const __m128i high = _mm_set1_epi32(0xFF00);
  Squeeze8x3(out, _mm_or_si128(_mm_or_si128(_mm_srli_epi32(v0, 8), _mm_and_si128(v1, high)),
                               _mm_slli_epi32(_mm_and_si128(v2, high), 8)));
}

KELVRA_VECTOR_INLINE void Pack16x1(uint8_t* out, __m128i v0) {
  // Sign-extended low halves, so that the saturating pack keeps them.
  const __m128i w = _mm_srai_epi32(_mm_slli_epi32(v0, 16), 16);
  _mm_storel_epi64(reinterpret_cast<__m128i*>(out), _mm_packs_epi32(w, w));
}

// Four pixels of three 16-bit samples: each pixel as 8 bytes at 6 bytes'
// distance, the last two bytes rewritten by the next pixel.
KELVRA_VECTOR_INLINE void Pack16x3(uint8_t* out, __m128i v0, __m128i v1, __m128i v2) {
  const __m128i mask16 = _mm_set1_epi32(0xFFFF);
  const __m128i rg = _mm_or_si128(_mm_and_si128(v0, mask16), _mm_slli_epi32(v1, 16));
  const __m128i b = _mm_and_si128(v2, mask16);
  const __m128i p01 = _mm_unpacklo_epi32(rg, b);
  const __m128i p23 = _mm_unpackhi_epi32(rg, b);
  _mm_storel_epi64(reinterpret_cast<__m128i*>(out), p01);
  _mm_storel_epi64(reinterpret_cast<__m128i*>(out + 6), _mm_unpackhi_epi64(p01, p01));
  _mm_storel_epi64(reinterpret_cast<__m128i*>(out + 12), p23);
  _mm_storel_epi64(reinterpret_cast<__m128i*>(out + 18), _mm_unpackhi_epi64(p23, p23));
}

KELVRA_VECTOR_INLINE void Pack32x1(uint8_t* out, __m128i v0) {
  _mm_storeu_ps(reinterpret_cast<float*>(out), AsSample4(v0));
}

KELVRA_VECTOR_INLINE void Pack32x3(uint8_t* out, __m128i v0, __m128i v1, __m128i v2) {
  const __m128 r = AsSample4(v0), g = AsSample4(v1), b = AsSample4(v2);
  const __m128 rg01 = _mm_unpacklo_ps(r, g);                            // r0 g0 r1 g1
  const __m128 rg23 = _mm_unpackhi_ps(r, g);                            // r2 g2 r3 g3
  const __m128 b0r1 = _mm_shuffle_ps(b, rg01, _MM_SHUFFLE(2, 2, 0, 0));  // b0 b0 r1 r1
  const __m128 out0 = _mm_shuffle_ps(rg01, b0r1, _MM_SHUFFLE(2, 0, 1, 0));  // r0 g0 b0 r1
  const __m128 g1b1 = _mm_shuffle_ps(rg01, b, _MM_SHUFFLE(1, 1, 3, 3));     // g1 g1 b1 b1
  const __m128 out1 = _mm_shuffle_ps(g1b1, rg23, _MM_SHUFFLE(1, 0, 2, 0));  // g1 b1 r2 g2
  const __m128 b23 = _mm_shuffle_ps(b, rg23, _MM_SHUFFLE(3, 2, 3, 2));      // b2 b3 r3 g3
  const __m128 out2 = _mm_shuffle_ps(b23, b23, _MM_SHUFFLE(1, 3, 2, 0));    // b2 r3 g3 b3
  float* f = reinterpret_cast<float*>(out);
  _mm_storeu_ps(f, out0);
  _mm_storeu_ps(f + 4, out1);
  _mm_storeu_ps(f + 8, out2);
}

template <int Bits, int Channels>
KELVRA_VECTOR_INLINE void Pack4(uint8_t* out, __m128i v0, __m128i v1, __m128i v2) {
  if constexpr (Channels == 1) {
    if constexpr (Bits == 8) Pack8x1(out, v0);
    if constexpr (Bits == 16) Pack16x1(out, v0);
    if constexpr (Bits == 32) Pack32x1(out, v0);
  } else {
    if constexpr (Bits == 8) Pack8x3(out, v0, v1, v2);
    if constexpr (Bits == 16) Pack16x3(out, v0, v1, v2);
    if constexpr (Bits == 32) Pack32x3(out, v0, v1, v2);
  }
}

// Four lanes of SSE2. The wider sets define the same members.
struct Sse2Lanes {
  static constexpr int32_t kLanes = 4;
  using I = __m128i;
  using F = __m128;

  static KELVRA_VECTOR_INLINE I Samples(const uint16_t* p) { return SamplesOver(p, 0); }
  // Samples v as v + high x 2^16, by one unpack. With high 0x4B00 each lane
  // is the float 2^23 + v, and the difference of two such floats is exact
  // (both lie in [2^23, 2^24)): gradients as floats without a conversion.
  static constexpr bool kHasBiasedSamples = true;
  static KELVRA_VECTOR_INLINE I SamplesOver(const uint16_t* p, int16_t high) {
    return _mm_unpacklo_epi16(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)),
                              _mm_set1_epi16(high));
  }
  static KELVRA_VECTOR_INLINE F AsFloats(I a) { return _mm_castsi128_ps(a); }
  static KELVRA_VECTOR_INLINE F SubF(F a, F b) { return _mm_sub_ps(a, b); }
  static KELVRA_VECTOR_INLINE I Load(const int32_t* p) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  }
  static KELVRA_VECTOR_INLINE void Store(int32_t* p, I v) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v);
  }
  static KELVRA_VECTOR_INLINE I Splat(int32_t v) { return _mm_set1_epi32(v); }
  static KELVRA_VECTOR_INLINE F SplatF(float v) { return _mm_set1_ps(v); }
  static KELVRA_VECTOR_INLINE F LoadF(const float* p) { return _mm_loadu_ps(p); }
  static KELVRA_VECTOR_INLINE void StoreF(float* p, F v) { _mm_storeu_ps(p, v); }
  static KELVRA_VECTOR_INLINE I Add(I a, I b) { return _mm_add_epi32(a, b); }
  static KELVRA_VECTOR_INLINE I Sub(I a, I b) { return _mm_sub_epi32(a, b); }
  template <int n>
  static KELVRA_VECTOR_INLINE I Shl(I a) { return _mm_slli_epi32(a, n); }
  template <int n>
  static KELVRA_VECTOR_INLINE I Sar(I a) { return _mm_srai_epi32(a, n); }
  static KELVRA_VECTOR_INLINE F ToFloat(I a) { return _mm_cvtepi32_ps(a); }
  static KELVRA_VECTOR_INLINE I Round(F a) { return _mm_cvtps_epi32(a); }
  static KELVRA_VECTOR_INLINE F Mul(F a, F b) { return _mm_mul_ps(a, b); }
  static KELVRA_VECTOR_INLINE F Div(F a, F b) { return _mm_div_ps(a, b); }
  static KELVRA_VECTOR_INLINE F Sqrt(F a) { return _mm_sqrt_ps(a); }
  static KELVRA_VECTOR_INLINE F Min(F a, F b) { return _mm_min_ps(a, b); }
  static KELVRA_VECTOR_INLINE F Max(F a, F b) { return _mm_max_ps(a, b); }
  // a b + c and a b - c, each rounded twice (the estimate's bound allows
  // for that; sets with fused multiply-add round once).
  static KELVRA_VECTOR_INLINE F MulAdd(F a, F b, F c) { return _mm_add_ps(_mm_mul_ps(a, b), c); }
  static KELVRA_VECTOR_INLINE F MulSub(F a, F b, F c) { return _mm_sub_ps(_mm_mul_ps(a, b), c); }
  // Reciprocal square root estimate (relative error about 2^-12).
  static KELVRA_VECTOR_INLINE F RSqrtEstimate(F a) { return _mm_rsqrt_ps(a); }
  // a x 2^-44, for a normal `a` whose result stays normal: its exponent less
  // 44, by an integer subtraction.
  static KELVRA_VECTOR_INLINE F ScaleDown44(F a) {
    return _mm_castsi128_ps(_mm_sub_epi32(_mm_castps_si128(a), _mm_set1_epi32(44 << 23)));
  }
  // Values in -1..256 to 0..255: both 16-bit halves of each lane are in
  // range for the word min and max (the high half is 0 or -1).
  static KELVRA_VECTOR_INLINE I ClampByte(I a) {
    return _mm_min_epi16(_mm_max_epi16(a, _mm_setzero_si128()), _mm_set1_epi32(255));
  }
  static KELVRA_VECTOR_INLINE I Xor(I a, I b) { return _mm_xor_si128(a, b); }
  static KELVRA_VECTOR_INLINE I And(I a, I b) { return _mm_and_si128(a, b); }
  static KELVRA_VECTOR_INLINE I Or(I a, I b) { return _mm_or_si128(a, b); }
  // Four pixels of three bytes from their 32-bit lanes (byte 0 channel 0).
  static KELVRA_VECTOR_INLINE void Squeeze8x3(uint8_t* out, I px) {
    kelvra::Squeeze8x3(out, px);
  }
  // The check of the estimate tests the low 16 bits of each lane against a
  // limit with saturating word additions (SSE2 has no unsigned compare), so
  // its margins need not be powers of two.
  static constexpr bool kChecksByBits = false;
  static constexpr int32_t kEstimateMarginXY = 12;
  static constexpr int32_t kEstimateMarginZ = 24;
  // Without a fused multiply-add the estimate's products are rounded to
  // integers and the offsets added as integers.
  static constexpr bool kFusedMulAdd = false;
  // Whether whole-component float maps take their samples from float
  // rounding (SamplesOf, PackSamples3): SSE2 has no rounding instruction.
  static constexpr bool kSamplesInFloat = false;
  // A limit for AnyBelow: 2^15 - limit in each lane's low word, 0 in its
  // high word.
  static KELVRA_VECTOR_INLINE I WordLimit(int32_t limit) {
    return _mm_set1_epi32(32768 - limit);
  }
  // Whether the low 16 bits of a lane of a or b are below the limit `ab`,
  // or of c below `cc` (WordLimit). A low word w plus 2^15 - limit, held at
  // 65535, has bit 15 set exactly when w >= limit. The sums replace a, b
  // and c: only their low words change, and no one reads those after the
  // check, so no copies are kept.
  static KELVRA_VECTOR_INLINE bool AnyBelow(I& a, I& b, I& c, I ab, I cc) {
    a = _mm_adds_epu16(a, ab);
    b = _mm_adds_epu16(b, ab);
    c = _mm_adds_epu16(c, cc);
    return (_mm_movemask_epi8(_mm_and_si128(_mm_and_si128(a, b), c)) & 0x2222) != 0x2222;
  }
  // Three channels of bytes in bits 16 up of their lanes (0..256) as four
  // pixels of three bytes, unless the low 16 bits of a lane of b0 or b1
  // are below the limit `ab`, or of b2 below `cc` (WordLimit): then false,
  // and nothing is stored. The check and the packing share their work. The
  // low words go through the saturating add of AnyBelow, which sets bit 15
  // exactly where they are at or above their limits; the saturating packs,
  // which also clamp the bytes to 0..255, then make each low word 0 there
  // and 255 elsewhere, so any low byte left set is a lane below its limit.
  // Packing X with Z and Y with itself gives the bytes in the high halves
  // of words (X0..X3 Z0..Z3 and Y0..Y3); the X and Z words shifted down and
  // or-ed with the Y words are (X, Y) and (Z, Y) pairs, whose interleaving
  // gives each pixel as a 4-byte lane (X, Y, Z, Y).
  static KELVRA_VECTOR_INLINE bool PackBytes3Checked(uint8_t* out, I b0, I b1, I b2, I ab,
                                                     I cc) {
    const I xz = _mm_packus_epi16(_mm_adds_epu16(b0, ab), _mm_adds_epu16(b2, cc));
    const I y = _mm_adds_epu16(b1, ab);
    const I yy = _mm_packus_epi16(y, y);
    if ((_mm_movemask_epi8(_mm_or_si128(xz, yy)) & 0x5555) != 0) return false;
    const I pairs = _mm_or_si128(_mm_srli_epi16(xz, 8), yy);
    // (The high half by a shuffle, which leaves `pairs` in its register.)
    const I px = _mm_unpacklo_epi16(pairs, _mm_shuffle_epi32(pairs, _MM_SHUFFLE(3, 2, 3, 2)));
    StorePixels4(out, px);
    return true;
  }
  // PackBytes3Checked for two groups at once (eight pixels at `out`, the
  // first group's b0, b1, b2 then the second's c0, c1, c2): each pack takes
  // one channel of both groups, so the check, the shifts and the
  // interleaving serve eight pixels. Packed so, each word is one pixel's
  // byte over its checked low byte (0 when passed): the X words shifted
  // down and or-ed with the Y words are (X, Y) pairs, and the Z words
  // shifted down interleave with them into lanes (X, Y, Z, 0).
  static KELVRA_VECTOR_INLINE bool PackBytes3CheckedTwice(uint8_t* out, I b0, I b1, I b2, I c0,
                                                          I c1, I c2, I ab, I cc) {
    const I x = _mm_packus_epi16(_mm_adds_epu16(b0, ab), _mm_adds_epu16(c0, ab));
    const I y = _mm_packus_epi16(_mm_adds_epu16(b1, ab), _mm_adds_epu16(c1, ab));
    const I z = _mm_packus_epi16(_mm_adds_epu16(b2, cc), _mm_adds_epu16(c2, cc));
    if ((_mm_movemask_epi8(_mm_or_si128(_mm_or_si128(x, y), z)) & 0x5555) != 0) return false;
    const I xy = _mm_or_si128(_mm_srli_epi16(x, 8), y);
    const I zw = _mm_srli_epi16(z, 8);
    StorePixels4(out, _mm_unpacklo_epi16(xy, zw));
    StorePixels4(out + 12, _mm_unpackhi_epi16(xy, zw));
    return true;
  }
  // Four pixels, one a lane, as their lanes' first three bytes: each lane's
  // four bytes 3 bytes apart, the fourth rewritten by the next pixel.
  static KELVRA_VECTOR_INLINE void StorePixels4(uint8_t* out, I px) {
    StoreWord(out, px);
    StoreWord(out + 3, _mm_shuffle_epi32(px, _MM_SHUFFLE(1, 1, 1, 1)));
    StoreWord(out + 6, _mm_shuffle_epi32(px, _MM_SHUFFLE(2, 2, 2, 2)));
    StoreWord(out + 9, _mm_shuffle_epi32(px, _MM_SHUFFLE(3, 3, 3, 3)));
  }
  static KELVRA_VECTOR_INLINE void StoreWord(uint8_t* out, I v) {
    const int32_t word = _mm_cvtsi128_si32(v);
    __builtin_memcpy(out, &word, 4);
  }
  static KELVRA_VECTOR_INLINE I Clamp16(I a) {
    a = _mm_andnot_si128(_mm_srai_epi32(a, 31), a);
    const I top = _mm_set1_epi32(65535);
    const I above = _mm_cmpgt_epi32(a, top);
    return _mm_or_si128(_mm_and_si128(above, top), _mm_andnot_si128(above, a));
  }
  template <int Bits, int Channels>
  static KELVRA_VECTOR_INLINE void Pack(uint8_t* out, I v0, I v1, I v2) {
    Pack4<Bits, Channels>(out, v0, v1, v2);
  }
  // One channel of displaced heights, clamped to 0..65535 on the way unless
  // float: the saturating packs do the clamp (v >> 8 saturates at the same
  // points as v).
  template <int Bits>
  static KELVRA_VECTOR_INLINE void PackHeights(uint8_t* out, I v) {
    if constexpr (Bits == 8) {
      const I b = _mm_packs_epi32(_mm_srai_epi32(v, 8), _mm_setzero_si128());
      const int32_t word = _mm_cvtsi128_si32(_mm_packus_epi16(b, b));
      __builtin_memcpy(out, &word, 4);
    } else if constexpr (Bits == 16) {
      const I w = _mm_packs_epi32(_mm_sub_epi32(v, _mm_set1_epi32(32768)), _mm_setzero_si128());
      _mm_storel_epi64(reinterpret_cast<I*>(out), _mm_xor_si128(w, _mm_set1_epi16(-32768)));
    } else {
      Pack32x1(out, v);
    }
  }
  // Values known to lie in 0..65535.
  template <int Bits, int Channels>
  static KELVRA_VECTOR_INLINE void PackComponents(uint8_t* out, I v0, I v1, I v2) {
    if constexpr (Bits == 8 && Channels == 3) {
      Pack8x3Components(out, v0, v1, v2);
    } else {
      Pack4<Bits, Channels>(out, v0, v1, v2);
    }
  }

  // float(double(aa) + double(bb) + zz), summed left to right.
  static KELVRA_VECTOR_INLINE F SumSquares(F aa, F bb, double zz) {
    const __m128d z = _mm_set1_pd(zz);
    const __m128d low = _mm_add_pd(_mm_add_pd(_mm_cvtps_pd(aa), _mm_cvtps_pd(bb)), z);
    const __m128d high = _mm_add_pd(
        _mm_add_pd(_mm_cvtps_pd(_mm_movehl_ps(aa, aa)), _mm_cvtps_pd(_mm_movehl_ps(bb, bb))), z);
    return _mm_movelh_ps(_mm_cvtpd_ps(low), _mm_cvtpd_ps(high));
  }

  // Bits 16..47 of the 64-bit product a x gain, then >> 4. SSE2 multiplies
  // only unsigned 32 x 32 bits, so the product is formed from magnitudes
  // and negated in 64 bits where the signs differ. |a| < 2^31 and
  // |gain| <= 2^31, so it is exact.
  static KELVRA_VECTOR_INLINE I ScaledDisplacement(I a, int32_t gain) {
    const uint32_t g = static_cast<uint32_t>(gain);
    const I absGain = _mm_set1_epi32(static_cast<int32_t>(gain < 0 ? 0u - g : g));
    const I sa = _mm_srai_epi32(a, 31);
    const I absA = _mm_sub_epi32(_mm_xor_si128(a, sa), sa);
    const I negative = _mm_xor_si128(sa, _mm_set1_epi32(gain < 0 ? -1 : 0));
    I p02 = _mm_mul_epu32(absA, absGain);
    I p13 = _mm_mul_epu32(_mm_srli_epi64(absA, 32), absGain);
    const I m02 = _mm_shuffle_epi32(negative, _MM_SHUFFLE(2, 2, 0, 0));
    const I m13 = _mm_shuffle_epi32(negative, _MM_SHUFFLE(3, 3, 1, 1));
    p02 = _mm_sub_epi64(_mm_xor_si128(p02, m02), m02);
    p13 = _mm_sub_epi64(_mm_xor_si128(p13, m13), m13);
    // The low half of p02 >> 16 for lanes 0 and 2, the high half of
    // p13 << 16 for lanes 1 and 3.
    const I lowHalves = _mm_set_epi32(0, -1, 0, -1);
    const I lanes = _mm_or_si128(_mm_and_si128(_mm_srli_epi64(p02, 16), lowHalves),
                                 _mm_andnot_si128(lowHalves, _mm_slli_epi64(p13, 16)));
    return _mm_srai_epi32(lanes, 4);
  }
};

// ---- the kernel, for any lanes ----------------------------------------------------

// The high-byte estimate (HighBytesEstimate, below) forms each byte with 16
// bits below it: its margins (each set's kEstimateMarginXY and
// kEstimateMarginZ), offsets and error bounds are in units of 2^-16 of a
// byte.
inline constexpr int32_t kEstimateCentreXY = 8388672;  // 2^16 x 65536.5 / 512
inline constexpr int32_t kEstimateCentreZ = 128;       // 2^16 x 0.5 / 256
inline constexpr int32_t kEstimateBoundXY = 10;
inline constexpr int32_t kEstimateBoundZ = 19;

template <class L>
constexpr bool EstimateMarginsFit() {
  constexpr int32_t xy = L::kEstimateMarginXY, z = L::kEstimateMarginZ;
  const bool powersOfTwo = (xy & (xy - 1)) == 0 && (z & (z - 1)) == 0;
  return xy > kEstimateBoundXY && z > kEstimateBoundZ && 2 * z < 32768 &&
         (powersOfTwo || !L::kChecksByBits);
}

// Per-row constants in vector form.
template <class L>
struct RowConstants {
  typename L::F sUnit, ss, scale, maxZ, minXY, maxXY;
  double zz;  // float(z z), z = -(s s)
  typename L::I mid, mid16;
  // The high-byte estimate (HighBytesEstimate): (2^16 s)^2, -2^17 s, 3, the
  // offsets (as floats for fused multiply-adds, as integers otherwise) and
  // the limits of its check.
  typename L::F flat, negFlatRoot2, three, centreXY, centreZ;
  // SamplesOf: 0.5, 32768 and 2^-16.
  typename L::F halfF, offsetHalf, unitSample;
  typename L::I limitXY, limitZ, nearXY, nearZ, offsetXY, offsetZ;

  explicit KELVRA_VECTOR_INLINE RowConstants(const KernelArgs& a) {
    const float ssScalar = a.strength * a.strength;
    const float root = a.strength * 65536.0f;  // exact
    flat = L::SplatF(root * root);
    negFlatRoot2 = L::SplatF(-2 * root);  // exact
    three = L::SplatF(3.0f);
    constexpr int32_t kOffsetXY = kEstimateCentreXY + L::kEstimateMarginXY;
    constexpr int32_t kOffsetZ = kEstimateCentreZ + L::kEstimateMarginZ;
    if constexpr (L::kFusedMulAdd) {
      // Exact in float (integers below 2^24).
      centreXY = L::SplatF(static_cast<float>(kOffsetXY));
      centreZ = L::SplatF(static_cast<float>(kOffsetZ));
    } else {
      offsetXY = L::Splat(kOffsetXY);
      offsetZ = L::Splat(kOffsetZ);
    }
    if constexpr (L::kChecksByBits) {
      nearXY = L::Splat(0xFFFF & -(2 * L::kEstimateMarginXY));
      nearZ = L::Splat(0xFFFF & -(2 * L::kEstimateMarginZ));
    } else {
      limitXY = L::WordLimit(2 * L::kEstimateMarginXY);
      limitZ = L::WordLimit(2 * L::kEstimateMarginZ);
    }
    sUnit = L::SplatF(a.strength * (1.0f / 65536));
    ss = L::SplatF(ssScalar);
    zz = static_cast<double>(ssScalar * ssScalar);
    scale = L::SplatF(65536.0f);
    maxZ = L::SplatF(65535.0f);
    halfF = L::SplatF(0.5f);
    offsetHalf = L::SplatF(32768.0f);
    unitSample = L::SplatF(1.0f / 65536);
    minXY = L::SplatF(-65536.0f);
    maxXY = L::SplatF(65535.0f);
    mid = L::Splat(a.mid);
    mid16 = L::Splat(16 * a.mid);
  }
};

// Whether a loop reads the smoothed sums: decided per row, or fixed.
enum class Smoothing { kPerRow, kOff, kOn };

// Whether a loop reads the smoothed sums.
template <Smoothing S>
KELVRA_VECTOR_INLINE bool ReadsSums(const KernelArgs& a) {
  return S == Smoothing::kOn || (S == Smoothing::kPerRow && a.smoothing);
}

// H and the two gradients at columns k .. k + lanes - 1.
template <class L, Smoothing S = Smoothing::kPerRow>
KELVRA_VECTOR_INLINE void HeightAndGradients(const KernelArgs& a, int32_t k, typename L::I& h,
                                             typename L::I& gx, typename L::I& gy) {
  if (ReadsSums<S>(a)) {
    const typename L::I s = L::Load(a.sums + k);  // biased: see kSumsBias
    h = L::Sub(s, L::Splat(kSumsBias));
    gx = L::Sub(s, L::Load(a.sums + k + 1));
    gy = L::Sub(L::Load(a.previousSums + k), s);
  } else {
    const typename L::I c = L::Samples(a.current + k);
    h = L::template Shl<4>(c);
    gx = L::Sub(c, L::Samples(a.current + k + 1));
    gy = L::Sub(L::Samples(a.previous + k), c);
  }
}

// The two gradients at columns k .. k + lanes - 1 negated, -gx and -gy, as
// floats (exact: below 2^24 in magnitude), as differences of floats 2^23 + v:
// the smoothed sums are kept so (kSumsBias), and sets that can unpack
// samples so take them that way. Other sets convert the integer gradients.
// (The high-byte estimate takes them negated: see NegatedEstimateScale.)
template <class L, Smoothing S>
KELVRA_VECTOR_INLINE void NegatedGradientsAsFloats(const KernelArgs& a, int32_t k,
                                                   typename L::F& ux, typename L::F& uy) {
  using F = typename L::F;
  if (ReadsSums<S>(a)) {
    const F s = L::AsFloats(L::Load(a.sums + k));
    ux = L::SubF(L::AsFloats(L::Load(a.sums + k + 1)), s);
    uy = L::SubF(s, L::AsFloats(L::Load(a.previousSums + k)));
    return;
  }
  if constexpr (L::kHasBiasedSamples) {
    constexpr int16_t kFloat2To23 = 0x4B00;  // the high half of 2^23
    const F c = L::AsFloats(L::SamplesOver(a.current + k, kFloat2To23));
    ux = L::SubF(L::AsFloats(L::SamplesOver(a.current + k + 1, kFloat2To23)), c);
    uy = L::SubF(c, L::AsFloats(L::SamplesOver(a.previous + k, kFloat2To23)));
  } else {
    const typename L::I c = L::Samples(a.current + k);
    ux = L::ToFloat(L::Sub(L::Samples(a.current + k + 1), c));
    uy = L::ToFloat(L::Sub(c, L::Samples(a.previous + k)));
  }
}

// X' or Y' from 65536 times a normal component.
template <class L>
KELVRA_VECTOR_INLINE typename L::I Centred(const RowConstants<L>& c, typename L::F f) {
  f = L::Min(L::Max(f, c.minXY), c.maxXY);
  return L::template Sar<1>(L::Add(L::Round(f), L::Splat(65536)));
}

// The exact normal's inputs and scale: a = float(s fx), b = float(s fy)
// and k x 65536 = float(65536 / float(sqrt(q))).
template <class L>
struct NormalScale {
  typename L::F ax, by, k65536;
};

template <class L>
KELVRA_VECTOR_INLINE NormalScale<L> ScaleOf(const RowConstants<L>& c, typename L::I gx,
                                            typename L::I gy) {
  using F = typename L::F;
  const F ax = L::Mul(c.sUnit, L::ToFloat(gx));  // float(s fx): |g| < 2^24
  const F by = L::Mul(c.sUnit, L::ToFloat(gy));
  const F q = L::SumSquares(L::Mul(ax, ax), L::Mul(by, by), c.zz);
  return {ax, by, L::Div(c.scale, L::Sqrt(q))};
}

template <class L>
KELVRA_VECTOR_INLINE void ComponentsOf(const RowConstants<L>& c, const NormalScale<L>& n,
                                       typename L::I out[3]) {
  out[0] = Centred<L>(c, L::Mul(n.k65536, n.ax));
  out[1] = Centred<L>(c, L::Mul(n.k65536, n.by));
  out[2] = L::Round(L::Min(L::Mul(n.k65536, c.ss), c.maxZ));
}

template <class L>
KELVRA_VECTOR_INLINE void NormalComponents(const RowConstants<L>& c, typename L::I gx,
                                           typename L::I gy, typename L::I out[3]) {
  ComponentsOf<L>(c, ScaleOf<L>(c, gx, gy), out);
}

// The float samples X' 2^-16, Y' 2^-16, Z' 2^-16 of ComponentsOf without
// leaving float: the components round to integers as floats (|f| <= 65536,
// so every value is exact), (R + 65536) >> 1 is floor(R / 2 + 32768), whose
// argument is exact too, and the scale by 2^-16 is exact.
template <class L>
KELVRA_VECTOR_INLINE void SamplesOf(const RowConstants<L>& c, const NormalScale<L>& n,
                                    typename L::F out[3]) {
  using F = typename L::F;
  auto centred = [&](F f) {
    const F r = L::RoundNearest(L::Min(L::Max(f, c.minXY), c.maxXY));
    return L::Mul(L::Floor(L::MulAdd(r, c.halfF, c.offsetHalf)), c.unitSample);
  };
  out[0] = centred(L::Mul(n.k65536, n.ax));
  out[1] = centred(L::Mul(n.k65536, n.by));
  out[2] = L::Mul(L::RoundNearest(L::Min(L::Mul(n.k65536, c.ss), c.maxZ)), c.unitSample);
}

// ---- 8-bit normal maps: an estimate with a proven bound, checked ---------------
//
// An 8-bit sample keeps only the high byte of X', Y' or Z'. With
// t = gx^2 + gy^2 + (2^16 s)^2 the exact path's components before their
// rounding to integers are c = 65536 (gx, gy, 2^16 s) / sqrt(t) up to a
// relative error of 6 u (u = 2^-24: the roundings of a, b, their squares and
// z z, of q, len, k and the product), and |c| <= 65536.
//
// The estimate takes t' = 2^-44 float(t) (exact: the exponent drops by 44
// and stays in the normal range, as t >= 2^-16), the processor's reciprocal
// square root y0 of t' (relative error e0; at most 1.5 x 2^-12 on x86
// processors, 2^-14 for the AVX-512 one) and one Newton step
// y1 = y0 (3 - t' y0^2) ~ 2^23 / sqrt(t), whose error is 1.5 e0^2 + 0.5 |e0|^3
// before roundings; float(t) and the step's and the product's roundings add
// at most 5.5 u (a fused multiply-add rounds less). So Nx = gx y1 is 2^7 c
// (X' in units of 2^-16 of its high byte, c / 512) within
// 2^23 (1.5 e0^2 + 5.5 u + 6 u) <= 9 for |e0| <= 2^-11, and the same for gy;
// Nz = 2^17 s y1 is 2^8 c (2^-16 of Z''s high byte, c / 256) within 18.
// With a fused multiply-add the offsets are added before the one rounding
// to float, and the sum is then rounded to an integer; below 2^25 the two
// roundings add at most 1. Without, the product is rounded to an integer
// (at most 1/2) and the offsets are added exactly. So the integers are
// within 10 and 19 of the exact values (kEstimateBoundXY, kEstimateBoundZ):
// strictly inside every set's margins.
//
// The high byte of X' is floor((c + 65536.5) / 512) (away from ties) and of
// Z' floor((c + 0.5) / 256), clamped to 0..255: bits 16 up of Nx + 2^7 x
// 65536.5 and of Nz + 2^8 x 0.5. When N - margin and N + margin give the
// same bits, the exact c lies strictly inside one byte's interval and the
// byte is exact; otherwise (rare: about 1 lane in 700 with SSE2's margins)
// the group of lanes takes the exact path. The margin is added first, so
// the bits of the sum are the byte and its low 16 bits must be at least
// 2 x margin. The sets that test bits have margins that are powers of two,
// so some bit from there up to bit 15 must be set; SSE2 compares with a
// saturating add instead. No sum is below 0 (c > -65536), and none reaches
// byte 257, so the bytes lie in 0..256; 256 means 255, as the exact path's
// clamp makes it, and every set's packing saturates there.

// -y1 = y0 (t' y0^2 - 3) from the gradients as floats (of either sign). The
// estimate works with -y1 and the negated gradients, whose products are
// those of y1 and the gradients exactly (every rounding is symmetric). In
// this form SSE2's two-operand instructions need no copies: 3 is taken
// from the product, as a memory operand, and each gradient's subtraction
// overwrites a sample no longer needed.
template <class L>
KELVRA_VECTOR_INLINE typename L::F NegatedEstimateScale(const RowConstants<L>& c,
                                                        typename L::F fx, typename L::F fy) {
  using F = typename L::F;
  const F t = L::ScaleDown44(L::MulAdd(fx, fx, L::MulAdd(fy, fy, c.flat)));
  const F y0 = L::RSqrtEstimate(t);
  return L::Mul(y0, L::MulSub(L::Mul(t, y0), y0, c.three));
}

// The estimate's integers Nx, Ny, Nz with the offsets and the margins added
// (the byte in bits 16 up, 2^-16 of a byte below), from the negated
// gradients ux, uy and -y1.
template <class L>
KELVRA_VECTOR_INLINE void EstimateUnits(const RowConstants<L>& c, typename L::F ux,
                                        typename L::F uy, typename L::F negY1,
                                        typename L::I out[3]) {
  static_assert(EstimateMarginsFit<L>(), "the margins must hold the estimate's error");
  if constexpr (L::kFusedMulAdd) {
    out[0] = L::Round(L::MulAdd(ux, negY1, c.centreXY));
    out[1] = L::Round(L::MulAdd(uy, negY1, c.centreXY));
    out[2] = L::Round(L::MulAdd(c.negFlatRoot2, negY1, c.centreZ));
  } else {
    out[0] = L::Add(L::Round(L::Mul(ux, negY1)), c.offsetXY);
    out[1] = L::Add(L::Round(L::Mul(uy, negY1)), c.offsetXY);
    out[2] = L::Add(L::Round(L::Mul(c.negFlatRoot2, negY1)), c.offsetZ);
  }
}

// The high bytes of X', Y', Z' in bits 16 up of their lanes (0..256; the
// low bits below are the estimate's, or what the check made of them), or
// false when a lane is too close to a byte's edge (`out` then holds
// nothing of use).
template <class L>
KELVRA_VECTOR_INLINE bool HighBytesEstimate(const RowConstants<L>& c, typename L::F ux,
                                            typename L::F uy, typename L::F negY1,
                                            typename L::I out[3]) {
  EstimateUnits<L>(c, ux, uy, negY1, out);
  if constexpr (L::kChecksByBits) {
    return !L::AnyClear(out[0], out[1], out[2], c.nearXY, c.nearZ);
  } else {
    return !L::AnyBelow(out[0], out[1], out[2], c.limitXY, c.limitZ);
  }
}

// The usual layout (channels X', Y', Z', none inverted): the high bytes of
// the estimate packed straight into four pixels at `out`, or false, with
// nothing stored, when a lane is too close to a byte's edge. SSE2 checks
// while it packs.
template <class L>
KELVRA_VECTOR_INLINE bool PackedHighBytesEstimate(const RowConstants<L>& c, typename L::F ux,
                                                  typename L::F uy, typename L::F negY1,
                                                  uint8_t* out) {
  typename L::I n[3];
  if constexpr (L::kChecksByBits) {
    if (!HighBytesEstimate<L>(c, ux, uy, negY1, n)) return false;
    L::PackBytes3(out, n[0], n[1], n[2]);
    return true;
  } else {
    EstimateUnits<L>(c, ux, uy, negY1, n);
    return L::PackBytes3Checked(out, n[0], n[1], n[2], c.limitXY, c.limitZ);
  }
}

// PackedHighBytesEstimate for two groups of lanes, from the first pass's
// values at `g` and `g` + lanes, for the sets that check while they pack
// (PackBytes3CheckedTwice).
template <class L>
KELVRA_VECTOR_INLINE bool PackedHighBytesEstimateTwice(const RowConstants<L>& c,
                                                       const float (&pass)[3][kKernelChunk],
                                                       int32_t g, uint8_t* out) {
  typename L::I n[3], m[3];
  EstimateUnits<L>(c, L::LoadF(pass[0] + g), L::LoadF(pass[1] + g), L::LoadF(pass[2] + g), n);
  const int32_t h = g + L::kLanes;
  EstimateUnits<L>(c, L::LoadF(pass[0] + h), L::LoadF(pass[1] + h), L::LoadF(pass[2] + h), m);
  return L::PackBytes3CheckedTwice(out, n[0], n[1], n[2], m[0], m[1], m[2], c.limitXY,
                                   c.limitZ);
}

template <class L>
KELVRA_VECTOR_INLINE typename L::I Displacement(const KernelArgs& a, const RowConstants<L>& c,
                                                typename L::I h) {
  const typename L::I d = L::Sub(h, c.mid16);
  // Unit gain: the product and the shift by 16 cancel.
  return a.gain == 65536 ? L::template Sar<4>(d) : L::ScaledDisplacement(d, a.gain);
}

// Columns [k0, k0 + count) into the chunk at `at`; count is a multiple of
// the lanes.
template <class L>
void KernelInputs(const KernelArgs& a, int32_t k0, int32_t count, KernelChunk& out,
                  int32_t at) {
  using I = typename L::I;
  const RowConstants<L> c(a);
  for (int32_t i = 0; i < count; i += L::kLanes) {
    I h, gx, gy;
    HeightAndGradients<L>(a, k0 + i, h, gx, gy);
    if (a.normalMode) {
      I n[3];
      NormalComponents<L>(c, gx, gy, n);
      for (int j = 0; j < 3; ++j) L::Store(out.comp[j] + at + i, n[j]);
    }
    if (a.needsDisp) L::Store(out.disp + at + i, Displacement<L>(a, c, h));
  }
}

// The first pass over a chunk of normal-map columns [k, k + n): three float
// vectors made from each group's gradients by `scale`, stored at the
// group's place in `out`. Splitting the work in two passes keeps many groups
// in flight where one pass would be one long chain per group.
template <class L, Smoothing S, class Scale>
KELVRA_VECTOR_INLINE void FirstPass(const KernelArgs& a, int32_t k, int32_t n,
                                    float (&out)[3][kKernelChunk], Scale scale) {
  for (int32_t i = 0; i < n; i += L::kLanes) {
    typename L::I h, gx, gy;
    HeightAndGradients<L, S>(a, k + i, h, gx, gy);
    typename L::F v[3];
    scale(gx, gy, v);
    for (int q = 0; q < 3; ++q) L::StoreF(out[q] + i, v[q]);
  }
}

// A normal map whose channels are whole components (codes 50, 60, 70, 80,
// 90, 100): the components go straight into the row. Columns [k0, k0 +
// count), count a multiple of the lanes; `out` is column k0's first byte.
// With `Natural`, channel c is component c (X', Y', Z' in order, the usual
// layout, inverted or not); otherwise each channel picks its component by
// masks. `S` fixes the smoothing for the common maps' loops.
template <class L, int Bits, int Channels, bool Natural, bool Flips,
          Smoothing S = Smoothing::kPerRow>
void NormalMapColumns(const KernelArgs& args, int32_t k0, int32_t count, uint8_t* out) {
  // A local copy keeps the row pointers in registers: stores of bytes
  // through `out` may alias the caller's arguments, a local they cannot.
  const KernelArgs a = args;
  using I = typename L::I;
  constexpr int32_t kPixelBytes = Bits / 8 * Channels;
  const RowConstants<L> c(a);
  I flip[3], take[3][3];
  for (int ch = 0; ch < 3; ++ch) {
    flip[ch] = L::Splat(a.flip[ch]);
    for (int j = 0; j < 3; ++j) take[ch][j] = L::Splat(a.pick[ch] == j ? -1 : 0);
  }
  auto channel = [&](int ch, const I n[3]) {
    I picked = n[ch];
    if constexpr (!Natural) {
      picked = L::Or(L::Or(L::And(n[0], take[ch][0]), L::And(n[1], take[ch][1])),
                     L::And(n[2], take[ch][2]));
    }
    return Flips ? L::Xor(picked, flip[ch]) : picked;
  };
  if constexpr (Bits != 8) {
    // Every lane takes the exact arithmetic, whose long chain (square root,
    // then division) would keep few groups in flight at once: a chunk of
    // columns is first brought to its scale (FirstPass), then finished.
    using F = typename L::F;
    alignas(64) float pass[3][kKernelChunk];  // a, b, k x 65536
    for (int32_t c0 = 0; c0 < count; c0 += kKernelChunk) {
      const int32_t n = count - c0 < kKernelChunk ? count - c0 : kKernelChunk;
      if (a.ahead != nullptr) RequestSamples(a.ahead + k0 + c0, n);
      FirstPass<L, S>(a, k0 + c0, n, pass, [&](I gx, I gy, F v[3]) {
        const NormalScale<L> scale = ScaleOf<L>(c, gx, gy);
        v[0] = scale.ax;
        v[1] = scale.by;
        v[2] = scale.k65536;
      });
      for (int32_t i = 0; i < n; i += L::kLanes) {
        const NormalScale<L> scale{L::LoadF(pass[0] + i), L::LoadF(pass[1] + i),
                                   L::LoadF(pass[2] + i)};
        uint8_t* px = out + (c0 + i) * kPixelBytes;
        if constexpr (Bits == 32 && Channels == 3 && Natural && !Flips && L::kSamplesInFloat) {
          F samples[3];
          SamplesOf<L>(c, scale, samples);
          L::PackSamples3(px, samples[0], samples[1], samples[2]);
        } else {
          I comp[3];
          ComponentsOf<L>(c, scale, comp);
          const I v0 = channel(0, comp);
          const I v1 = Channels == 3 ? channel(1, comp) : v0;
          const I v2 = Channels == 3 ? channel(2, comp) : v0;
          // Components lie in 0..65535.
          L::template PackComponents<Bits, Channels>(px, v0, v1, v2);
        }
      }
    }
    return;
  }
  I flipByte[3];
  for (int ch = 0; ch < 3; ++ch) flipByte[ch] = L::Splat(a.flip[ch] & 0xFF);
  // 8-bit samples need only the components' high bytes; the estimate gives
  // them for all but the lanes near a byte's edge. As above, a chunk is
  // first brought to the estimate's scale, then finished.
  alignas(64) float pass[3][kKernelChunk];  // -gx, -gy as floats, -y1
  for (int32_t c0 = 0; c0 < count; c0 += kKernelChunk) {
    const int32_t chunk = count - c0 < kKernelChunk ? count - c0 : kKernelChunk;
    if (a.ahead != nullptr) RequestSamples(a.ahead + k0 + c0, chunk);
    for (int32_t g = 0; g < chunk; g += L::kLanes) {
      typename L::F ux, uy;
      NegatedGradientsAsFloats<L, S>(a, k0 + c0 + g, ux, uy);
      L::StoreF(pass[0] + g, ux);
      L::StoreF(pass[1] + g, uy);
      L::StoreF(pass[2] + g, NegatedEstimateScale<L>(c, ux, uy));
    }
    auto finish = [&](int32_t g) __attribute__((always_inline)) {
      const int32_t i = c0 + g;
      uint8_t* px = out + i * kPixelBytes;
      const typename L::F ux = L::LoadF(pass[0] + g), uy = L::LoadF(pass[1] + g),
                          negY1 = L::LoadF(pass[2] + g);
      I n[3];
      if constexpr (Channels == 3 && Natural && !Flips) {
        if (PackedHighBytesEstimate<L>(c, ux, uy, negY1, px)) return;
      } else if (HighBytesEstimate<L>(c, ux, uy, negY1, n)) {
        for (int j = 0; j < 3; ++j) n[j] = L::ClampByte(L::template Sar<16>(n[j]));
        auto byte = [&](int ch) {
          I picked = n[ch];
          if constexpr (!Natural) {
            picked = L::Or(L::Or(L::And(n[0], take[ch][0]), L::And(n[1], take[ch][1])),
                           L::And(n[2], take[ch][2]));
          }
          return Flips ? L::Xor(picked, flipByte[ch]) : picked;
        };
        if constexpr (Channels == 3) {
          L::Squeeze8x3(px, L::Or(L::Or(byte(0), L::template Shl<8>(byte(1))),
                                  L::template Shl<16>(byte(2))));
        } else {
          const I v = L::template Shl<8>(byte(0));
          L::template PackComponents<8, 1>(px, v, v, v);
        }
        return;
      }
      // The rare group near a byte's edge.
      I h, gx, gy;
      HeightAndGradients<L, S>(a, k0 + i, h, gx, gy);
      NormalComponents<L>(c, gx, gy, n);
      const I v0 = channel(0, n);
      const I v1 = Channels == 3 ? channel(1, n) : v0;
      const I v2 = Channels == 3 ? channel(2, n) : v0;
      L::template PackComponents<Bits, Channels>(px, v0, v1, v2);
    };
    int32_t g = 0;
    // The sets that check while they pack take two groups at a time.
    if constexpr (Channels == 3 && Natural && !Flips && !L::kChecksByBits) {
      for (; g + 2 * L::kLanes <= chunk; g += 2 * L::kLanes) {
        if (PackedHighBytesEstimateTwice<L>(c, pass, g, out + (c0 + g) * kPixelBytes)) continue;
        // Rare: each group alone. The empty asm hides that `again` is `g`,
        // so the compiler forms the groups' values anew here rather than
        // keep the pair's in registers across the common path, which would
        // spill them there.
        int32_t again = g;
        asm("" : "+r"(again));
        finish(again);
        finish(again + L::kLanes);
      }
    }
    for (; g < chunk; g += L::kLanes) finish(g);
  }
}

// A one-channel map of the displaced height (code 40 and every other code
// without a quantity of its own): disp + M, clamped unless float.
template <class L, int Bits>
void DisplacementColumns(const KernelArgs& args, int32_t k0, int32_t count, uint8_t* out) {
  const KernelArgs a = args;  // kept in registers, as in NormalMapColumns
  using I = typename L::I;
  constexpr int32_t kPixelBytes = Bits / 8;
  const RowConstants<L> c(a);
  for (int32_t i = 0; i < count; i += L::kLanes) {
    I h, gx, gy;
    HeightAndGradients<L>(a, k0 + i, h, gx, gy);
    L::template PackHeights<Bits>(out + i * kPixelBytes, L::Add(Displacement<L>(a, c, h), c.mid));
  }
}

// Smoothed sums at columns [begin, begin + count) of the row `mid`; count
// is a multiple of the lanes. Column k's kernel covers samples k .. k + 2
// (the left border first). Each block of columns first forms the column
// sums V(j) = above + 2 mid + below once per sample, then the sums
// V(k) + 2 V(k + 1) + V(k + 2); the two column sums past the block come from
// one more group that ends there, so nothing past the row's last sample
// plus two is read.
template <class L>
void KernelSums(const uint16_t* above, const uint16_t* mid, const uint16_t* below,
                int32_t* out, int32_t begin, int32_t count) {
  using I = typename L::I;
  alignas(64) int32_t column[kKernelChunk + 2];
  // The sums carry kSumsBias: sets that can unpack samples over a high half
  // give each sample 1/16 of it, which the sixteen weights make whole;
  // the others add it to each sum.
  static_assert(kSumsBias % (16 << 16) == 0, "a sixteenth of the bias is a high half");
  constexpr int16_t kSampleHigh = kSumsBias / 16 >> 16;
  auto samples = [](const uint16_t* p) {
    if constexpr (L::kHasBiasedSamples) {
      return L::SamplesOver(p, kSampleHigh);
    } else {
      return L::Samples(p);
    }
  };
  auto columnSums = [&](int32_t j) {
    return L::Add(L::Add(samples(above + j), samples(below + j)),
                  L::template Shl<1>(samples(mid + j)));
  };
  for (int32_t block = begin; block < begin + count; block += kKernelChunk) {
    const int32_t n = begin + count - block < kKernelChunk ? begin + count - block : kKernelChunk;
    for (int32_t k = 0; k < n; k += L::kLanes) L::Store(column + k, columnSums(block + k));
    L::Store(column + n + 2 - L::kLanes, columnSums(block + n + 2 - L::kLanes));
    for (int32_t k = 0; k < n; k += L::kLanes) {
      I sum = L::Add(L::Add(L::Load(column + k), L::Load(column + k + 2)),
                     L::template Shl<1>(L::Load(column + k + 1)));
      if constexpr (!L::kHasBiasedSamples) sum = L::Add(sum, L::Splat(kSumsBias));
      L::Store(out + block + k, sum);
    }
  }
}

// ---- entry points: the widest lanes for what fits, four lanes for the rest ----

template <class L>
int32_t Wide(int32_t count) {
  return count / L::kLanes * L::kLanes;
}

template <class L>
void InputsEntry(const KernelArgs& a, int32_t k0, int32_t count, KernelChunk& out) {
  const int32_t wide = Wide<L>(count);
  KernelInputs<L>(a, k0, wide, out, 0);
  KernelInputs<Sse2Lanes>(a, k0 + wide, count - wide, out, wide);
}

template <class L>
int32_t SumsEntry(const uint16_t* above, const uint16_t* mid, const uint16_t* below,
                  int32_t* out, int32_t count) {
  const int32_t done = count / 4 * 4;
  const int32_t wide = Wide<L>(done);
  KernelSums<L>(above, mid, below, out, 0, wide);
  KernelSums<Sse2Lanes>(above, mid, below, out, wide, done - wide);
  return done;
}

template <class L, int Bits, int Channels>
void NormalMapBoth(const KernelArgs& a, int32_t count, uint8_t* out) {
  const int32_t wide = Wide<L>(count);
  uint8_t* rest = out + wide * (Bits / 8 * Channels);
  const bool natural = a.pick[0] == 0 && (Channels == 1 || (a.pick[1] == 1 && a.pick[2] == 2));
  const bool flips = (a.flip[0] | (Channels == 3 ? a.flip[1] | a.flip[2] : 0)) != 0;
  if (natural && !flips) {
    // The usual layout: the wide loop without a per-group smoothing test.
    if (a.smoothing) {
      NormalMapColumns<L, Bits, Channels, true, false, Smoothing::kOn>(a, 0, wide, out);
    } else {
      NormalMapColumns<L, Bits, Channels, true, false, Smoothing::kOff>(a, 0, wide, out);
    }
    NormalMapColumns<Sse2Lanes, Bits, Channels, true, false>(a, wide, count - wide, rest);
  } else if (natural) {
    NormalMapColumns<L, Bits, Channels, true, true>(a, 0, wide, out);
    NormalMapColumns<Sse2Lanes, Bits, Channels, true, true>(a, wide, count - wide, rest);
  } else {
    NormalMapColumns<L, Bits, Channels, false, true>(a, 0, wide, out);
    NormalMapColumns<Sse2Lanes, Bits, Channels, false, true>(a, wide, count - wide, rest);
  }
}

template <class L>
void NormalMapEntry(const KernelArgs& a, int32_t bits, int32_t channels, int32_t count,
                    uint8_t* out) {
  switch (bits * 10 + channels) {
    case 81: NormalMapBoth<L, 8, 1>(a, count, out); break;
    case 83: NormalMapBoth<L, 8, 3>(a, count, out); break;
    case 161: NormalMapBoth<L, 16, 1>(a, count, out); break;
    case 163: NormalMapBoth<L, 16, 3>(a, count, out); break;
    case 321: NormalMapBoth<L, 32, 1>(a, count, out); break;
    default: NormalMapBoth<L, 32, 3>(a, count, out); break;
  }
}

template <class L, int Bits>
void DisplacementBoth(const KernelArgs& a, int32_t count, uint8_t* out) {
  const int32_t wide = Wide<L>(count);
  DisplacementColumns<L, Bits>(a, 0, wide, out);
  DisplacementColumns<Sse2Lanes, Bits>(a, wide, count - wide, out + wide * (Bits / 8));
}

template <class L>
void DisplacementEntry(const KernelArgs& a, int32_t bits, int32_t count, uint8_t* out) {
  switch (bits) {
    case 8: DisplacementBoth<L, 8>(a, count, out); break;
    case 16: DisplacementBoth<L, 16>(a, count, out); break;
    default: DisplacementBoth<L, 32>(a, count, out); break;
  }
}

template <class L>
constexpr VectorKernels KernelsFor() {
  return {&InputsEntry<L>, &SumsEntry<L>, &NormalMapEntry<L>, &DisplacementEntry<L>};
}

}  // namespace
}  // namespace kelvra
