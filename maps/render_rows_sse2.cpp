// The SSE2 path of a file row: four pixels at a time, with exactly the
// roundings of the plain path, so that both give the same bits.
//
//   - Integer steps (sums, gradients, the displacement's 64-bit product and
//     shifts, the channel clamps) are exact in any order.
//   - The normal: each float multiply of the plain path is one MULPS; the
//     squares are widened to double (CVTPS2PD), added in double in the same
//     order and rounded once (CVTPD2PS); SQRTPS and DIVPS are correctly
//     rounded like their scalar forms; CVTPS2DQ rounds to nearest even under
//     the default MXCSR, as CVTSD2SI does. NaN lanes and zero lengths are
//     masked to 0 as the plain path defines them, and values are clamped
//     before conversion to bounds past which the components saturate anyway.
#include <emmintrin.h>

#include <cstring>

#include "maps/channel_codes.h"
#include "maps/render_rows.h"

namespace kelvra {

namespace {

// The helpers work on registers; inlining keeps them there.
#define KELVRA_VECTOR_INLINE inline __attribute__((always_inline))

using Vi = __m128i;
using Vf = __m128;
using Vd = __m128d;

// ---- integer helpers ------------------------------------------------------------

KELVRA_VECTOR_INLINE Vi Load4Samples(const uint16_t* p) {
  return _mm_unpacklo_epi16(_mm_loadl_epi64(reinterpret_cast<const Vi*>(p)),
                            _mm_setzero_si128());
}
KELVRA_VECTOR_INLINE Vi Load4(const int32_t* p) { return _mm_loadu_si128(reinterpret_cast<const Vi*>(p)); }
KELVRA_VECTOR_INLINE Vi Splat(int32_t v) { return _mm_set1_epi32(v); }

KELVRA_VECTOR_INLINE Vi Max0(Vi x) { return _mm_andnot_si128(_mm_srai_epi32(x, 31), x); }
KELVRA_VECTOR_INLINE Vi Select(Vi mask, Vi a, Vi b) {  // mask ? a : b
  return _mm_or_si128(_mm_and_si128(mask, a), _mm_andnot_si128(mask, b));
}
KELVRA_VECTOR_INLINE Vi MinWith(Vi x, int32_t c) {
  const Vi cv = Splat(c);
  return Select(_mm_cmpgt_epi32(x, cv), cv, x);
}
KELVRA_VECTOR_INLINE Vi Clamp16(Vi x) { return MinWith(Max0(x), 65535); }
KELVRA_VECTOR_INLINE Vi HiPart4(Vi x) { return _mm_and_si128(MinWith(Max0(x), 65280), Splat(0xFF00)); }
KELVRA_VECTOR_INLINE Vi LoPart4(Vi x) {
  return _mm_slli_epi32(_mm_and_si128(MinWith(Max0(x), 65280), Splat(0xFF)), 8);
}
// (x - hi(x)) x 256 clamped to 0..65535, without forming the product when
// it would leave the range (a difference above 255).
KELVRA_VECTOR_INLINE Vi Lo22Part4(Vi x) {
  const Vi d = _mm_sub_epi32(x, HiPart4(x));
  const Vi big = _mm_cmpgt_epi32(d, Splat(255));
  return Select(big, Splat(65535), _mm_slli_epi32(Max0(d), 8));
}

// ---- displacement -------------------------------------------------------------

// ((H - 16 M) x K) >> 16, truncated to 32 bits, >> 4. SSE2 multiplies only
// unsigned 32 x 32 bits, so the product is formed from the magnitudes and
// negated in 64 bits where the signs differ; |H - 16 M| < 2^31 and
// |K| <= 2^31, so it is exact.
struct DisplacementSetup {
  Vi mid16;  // 16 M
  Vi absGain;
  Vi gainSign;  // all ones when K < 0
  bool unitGain;  // K = 65536: the product and the shift cancel
};

KELVRA_VECTOR_INLINE Vi Displacement4(Vi h, const DisplacementSetup& d) {
  const Vi a = _mm_sub_epi32(h, d.mid16);
  if (d.unitGain) return _mm_srai_epi32(a, 4);
  const Vi sa = _mm_srai_epi32(a, 31);
  const Vi absA = _mm_sub_epi32(_mm_xor_si128(a, sa), sa);
  const Vi negative = _mm_xor_si128(sa, d.gainSign);
  Vi p02 = _mm_mul_epu32(absA, d.absGain);
  Vi p13 = _mm_mul_epu32(_mm_srli_epi64(absA, 32), d.absGain);
  const Vi m02 = _mm_shuffle_epi32(negative, _MM_SHUFFLE(2, 2, 0, 0));
  const Vi m13 = _mm_shuffle_epi32(negative, _MM_SHUFFLE(3, 3, 1, 1));
  p02 = _mm_sub_epi64(_mm_xor_si128(p02, m02), m02);
  p13 = _mm_sub_epi64(_mm_xor_si128(p13, m13), m13);
  // Bits 16..47 of each product: the low half of p02 >> 16 for lanes 0 and
  // 2, the high half of p13 << 16 for lanes 1 and 3.
  const Vi lowHalves = _mm_set_epi32(0, -1, 0, -1);
  const Vi lanes = _mm_or_si128(_mm_and_si128(_mm_srli_epi64(p02, 16), lowHalves),
                                _mm_andnot_si128(lowHalves, _mm_slli_epi64(p13, 16)));
  return _mm_srai_epi32(lanes, 4);
}

// ---- surface normal -----------------------------------------------------------

// The vector normal covers strengths 2^-24 <= s <= 2^24. There every
// intermediate value is a normal float, the length is never 0 and nothing
// is NaN, so two shortcuts give the plain path's bits exactly:
//   - k' = float(65536 / len) is float(1 / len) x 65536, and float(k' x a) is
//     float(k x a) x 65536, because rounding commutes with scaling by 2^16
//     away from the subnormal and overflow ranges;
//   - z = -(s s) is negative and k' positive, so |float(k' z)| is
//     float(k' (s s)).
// Other strengths take the plain path.
constexpr float kMinVectorStrength = 1.0f / (1 << 24);
constexpr float kMaxVectorStrength = 1 << 24;

struct NormalSetup {
  Vf s;       // the normal's strength
  Vf ss;      // float(s s) = -z
  Vd zz;      // float(z z), widened
};

struct Components4 {
  Vi x, y, z;
};

// X' or Y': (round(f) + 65536) >> 1 within 0..65535. Clamping f to
// -65536..65535 first changes no result (the component saturates beyond)
// and keeps the conversion in range.
KELVRA_VECTOR_INLINE Vi Centred(Vf f) {
  f = _mm_min_ps(_mm_max_ps(f, _mm_set1_ps(-65536.0f)), _mm_set1_ps(65535.0f));
  return _mm_srai_epi32(_mm_add_epi32(_mm_cvtps_epi32(f), Splat(65536)), 1);
}

KELVRA_VECTOR_INLINE Components4 Normal4(Vi gx, Vi gy, const NormalSetup& n) {
  const Vf unit = _mm_set1_ps(1.0f / 65536);
  const Vf fx = _mm_mul_ps(_mm_cvtepi32_ps(gx), unit);  // exact: |g| < 2^24
  const Vf fy = _mm_mul_ps(_mm_cvtepi32_ps(gy), unit);
  const Vf a = _mm_mul_ps(n.s, fx);
  const Vf b = _mm_mul_ps(n.s, fy);
  const Vf aa = _mm_mul_ps(a, a);
  const Vf bb = _mm_mul_ps(b, b);
  // float(aa) + float(bb) + float(zz) summed in double, rounded once.
  const Vd low = _mm_add_pd(_mm_add_pd(_mm_cvtps_pd(aa), _mm_cvtps_pd(bb)), n.zz);
  const Vd high = _mm_add_pd(
      _mm_add_pd(_mm_cvtps_pd(_mm_movehl_ps(aa, aa)), _mm_cvtps_pd(_mm_movehl_ps(bb, bb))),
      n.zz);
  const Vf q = _mm_movelh_ps(_mm_cvtpd_ps(low), _mm_cvtpd_ps(high));
  const Vf len = _mm_sqrt_ps(q);
  const Vf k = _mm_div_ps(_mm_set1_ps(65536.0f), len);
  // Z' = min(|round(nz)|, 65535) = round(min(|nz|, 65535)).
  const Vf nz = _mm_min_ps(_mm_mul_ps(k, n.ss), _mm_set1_ps(65535.0f));
  return {Centred(_mm_mul_ps(k, a)), Centred(_mm_mul_ps(k, b)), _mm_cvtps_epi32(nz)};
}

// ---- channel codes ------------------------------------------------------------

enum class Quantity : uint8_t {
  kZero, kMid, kPositive, kPositiveHi, kPositiveLo22, kNegative, kNegativeHi,
  kNegativeLo, kHeightHi, kHeightLo, kHeight, kComponent
};

struct ChannelOp {
  Quantity quantity;
  uint8_t component;  // 0 X', 1 Y', 2 Z'
  bool inverted;
  uint8_t form;       // 0 full, 1 hi, 2 lo
};

ChannelOp OpFor(int32_t code) {
  switch (code) {
    case 0: case 1: case 2: return {Quantity::kZero, 0, false, 0};
    case 10: case 11: case 12: return {Quantity::kMid, 0, false, 0};
    case 20: return {Quantity::kPositive, 0, false, 0};
    case 21: return {Quantity::kPositiveHi, 0, false, 0};
    case 22: return {Quantity::kPositiveLo22, 0, false, 0};
    case 30: return {Quantity::kNegative, 0, false, 0};
    case 31: return {Quantity::kNegativeHi, 0, false, 0};
    case 32: return {Quantity::kNegativeLo, 0, false, 0};
    case 41: return {Quantity::kHeightHi, 0, false, 0};
    case 42: return {Quantity::kHeightLo, 0, false, 0};
    default: break;
  }
  const int32_t tens = code / 10, units = code % 10;
  if (code >= kFirstNormalCode && units <= 2) {
    // 50, 70, 90: X', Y', Z'; 60, 80, 100 their inversions.
    const int32_t index = (tens - 5) / 2;
    return {Quantity::kComponent, static_cast<uint8_t>(index), (tens - 5) % 2 == 1,
            static_cast<uint8_t>(units)};
  }
  return {Quantity::kHeight, 0, false, 0};
}

bool NeedsDisplacement(const ChannelOp& op) {
  return op.quantity != Quantity::kZero && op.quantity != Quantity::kMid &&
         op.quantity != Quantity::kComponent;
}

// Channel values of one op over `groups` groups of four pixels, from the
// chunk's displacements or components, into `out`.
template <typename F>
KELVRA_VECTOR_INLINE void MapGroups(int32_t* out, const int32_t* in, int32_t groups, F f) {
  for (int32_t g = 0; g < groups; ++g) {
    _mm_store_si128(reinterpret_cast<Vi*>(out + 4 * g),
                    f(_mm_load_si128(reinterpret_cast<const Vi*>(in + 4 * g))));
  }
}

constexpr int32_t kChunk = 64;  // pixels per chunk: the arrays stay in L1

struct alignas(16) Chunk {
  int32_t comp[3][kChunk];  // X', Y', Z'
  int32_t disp[kChunk];
  int32_t value[3][kChunk];
};

// The values of channel `c` for the chunk; a full, plain component needs no
// work and is returned in place.
const int32_t* ChannelValues(const ChannelOp& op, Chunk& chunk, int c, int32_t groups,
                             int32_t mid, bool isFloat) {
  int32_t* out = chunk.value[c];
  const int32_t* disp = chunk.disp;
  const Vi m = Splat(mid);
  const Vi zero = _mm_setzero_si128();
  switch (op.quantity) {
    case Quantity::kZero:
      MapGroups(out, disp, groups, [&](Vi) { return zero; });
      break;
    case Quantity::kMid:
      MapGroups(out, disp, groups, [&](Vi) { return m; });
      break;
    case Quantity::kPositive:
      if (isFloat) {
        MapGroups(out, disp, groups, [](Vi d) { return Max0(d); });
      } else {
        MapGroups(out, disp, groups, [](Vi d) { return MinWith(Max0(d), 65535); });
      }
      break;
    case Quantity::kPositiveHi:
      MapGroups(out, disp, groups, [](Vi d) { return HiPart4(d); });
      break;
    case Quantity::kPositiveLo22:
      MapGroups(out, disp, groups, [](Vi d) { return Lo22Part4(d); });
      break;
    case Quantity::kNegative:
      if (isFloat) {
        MapGroups(out, disp, groups, [&](Vi d) { return Max0(_mm_sub_epi32(zero, d)); });
      } else {
        MapGroups(out, disp, groups,
                  [&](Vi d) { return MinWith(Max0(_mm_sub_epi32(zero, d)), 65535); });
      }
      break;
    case Quantity::kNegativeHi:
      MapGroups(out, disp, groups, [&](Vi d) { return HiPart4(_mm_sub_epi32(zero, d)); });
      break;
    case Quantity::kNegativeLo:
      MapGroups(out, disp, groups, [&](Vi d) { return LoPart4(_mm_sub_epi32(zero, d)); });
      break;
    case Quantity::kHeightHi:
      MapGroups(out, disp, groups, [&](Vi d) { return HiPart4(_mm_add_epi32(d, m)); });
      break;
    case Quantity::kHeightLo:
      MapGroups(out, disp, groups, [&](Vi d) { return LoPart4(_mm_add_epi32(d, m)); });
      break;
    case Quantity::kHeight:
      if (isFloat) {
        MapGroups(out, disp, groups, [&](Vi d) { return _mm_add_epi32(d, m); });
      } else {
        MapGroups(out, disp, groups, [&](Vi d) { return Clamp16(_mm_add_epi32(d, m)); });
      }
      break;
    case Quantity::kComponent: {
      const int32_t* comp = chunk.comp[op.component];
      const Vi flip = Splat(op.inverted ? 65535 : 0);
      // Components lie in 0..65535, where hi() is a mask.
      if (op.form == 0) {
        if (!op.inverted) return comp;
        MapGroups(out, comp, groups, [&](Vi x) { return _mm_xor_si128(x, flip); });
      } else if (op.form == 1) {
        MapGroups(out, comp, groups,
                  [&](Vi x) { return _mm_and_si128(_mm_xor_si128(x, flip), Splat(0xFF00)); });
      } else {
        MapGroups(out, comp, groups, [&](Vi x) { return LoPart4(_mm_xor_si128(x, flip)); });
      }
      break;
    }
  }
  return out;
}

// ---- packing --------------------------------------------------------------------

// The byte v >> 8 (its low 8 bits), as bytes 0, 4, 8, 12 of the lanes.
KELVRA_VECTOR_INLINE Vi HighBytes(Vi v) { return _mm_and_si128(_mm_srai_epi32(v, 8), Splat(0xFF)); }

// The low 16 bits of each lane, sign-extended so that PACKSSDW keeps them.
KELVRA_VECTOR_INLINE Vi Low16(Vi v) { return _mm_srai_epi32(_mm_slli_epi32(v, 16), 16); }

KELVRA_VECTOR_INLINE Vf AsFloat(Vi v) { return _mm_mul_ps(_mm_cvtepi32_ps(v), _mm_set1_ps(1.0f / 65536)); }

KELVRA_VECTOR_INLINE void Store8x1(uint8_t* out, Vi v0) {
  const Vi b = HighBytes(v0);
  const Vi packed = _mm_packus_epi16(_mm_packs_epi32(b, b), _mm_setzero_si128());
  const int32_t word = _mm_cvtsi128_si32(packed);
  std::memcpy(out, &word, 4);
}

// Four pixels of three bytes: 12 bytes, stored as 16 (the four after them
// are rewritten by the next group or lie in the row buffer's slack).
KELVRA_VECTOR_INLINE void Store8x3(uint8_t* out, Vi v0, Vi v1, Vi v2) {
  const Vi px = _mm_or_si128(_mm_or_si128(HighBytes(v0), _mm_slli_epi32(HighBytes(v1), 8)),
                             _mm_slli_epi32(HighBytes(v2), 16));
  // Pairs of 24-bit pixels into 48 bits per quadword, then the two 6-byte
  // halves next to each other.
  const Vi even = _mm_and_si128(px, _mm_set_epi32(0, 0xFFFFFF, 0, 0xFFFFFF));
  const Vi odd = _mm_srli_epi64(_mm_and_si128(px, _mm_set_epi32(0xFFFFFF, 0, 0xFFFFFF, 0)), 8);
  const Vi pairs = _mm_or_si128(even, odd);
  const Vi lowHalf = _mm_set_epi32(0, 0, -1, -1);
  const Vi bytes = _mm_or_si128(_mm_and_si128(pairs, lowHalf),
                                _mm_srli_si128(_mm_andnot_si128(lowHalf, pairs), 2));
  _mm_storeu_si128(reinterpret_cast<Vi*>(out), bytes);
}

KELVRA_VECTOR_INLINE void Store16x1(uint8_t* out, Vi v0) {
  const Vi w = Low16(v0);
  _mm_storel_epi64(reinterpret_cast<Vi*>(out), _mm_packs_epi32(w, w));
}

// Four pixels of three 16-bit samples: each pixel as 8 bytes at 6 bytes'
// distance, the last two bytes rewritten by the next pixel.
KELVRA_VECTOR_INLINE void Store16x3(uint8_t* out, Vi v0, Vi v1, Vi v2) {
  const Vi mask16 = Splat(0xFFFF);
  const Vi rg = _mm_or_si128(_mm_and_si128(v0, mask16), _mm_slli_epi32(v1, 16));
  const Vi b = _mm_and_si128(v2, mask16);
  const Vi p01 = _mm_unpacklo_epi32(rg, b);
  const Vi p23 = _mm_unpackhi_epi32(rg, b);
  _mm_storel_epi64(reinterpret_cast<Vi*>(out), p01);
  _mm_storel_epi64(reinterpret_cast<Vi*>(out + 6), _mm_unpackhi_epi64(p01, p01));
  _mm_storel_epi64(reinterpret_cast<Vi*>(out + 12), p23);
  _mm_storel_epi64(reinterpret_cast<Vi*>(out + 18), _mm_unpackhi_epi64(p23, p23));
}

KELVRA_VECTOR_INLINE void Store32x1(uint8_t* out, Vi v0) {
  _mm_storeu_ps(reinterpret_cast<float*>(out), AsFloat(v0));
}

KELVRA_VECTOR_INLINE void Store32x3(uint8_t* out, Vi v0, Vi v1, Vi v2) {
  const Vf r = AsFloat(v0), g = AsFloat(v1), b = AsFloat(v2);
  const Vf rg01 = _mm_unpacklo_ps(r, g);  // r0 g0 r1 g1
  const Vf rg23 = _mm_unpackhi_ps(r, g);  // r2 g2 r3 g3
  const Vf b0r1 = _mm_shuffle_ps(b, rg01, _MM_SHUFFLE(2, 2, 0, 0));   // b0 b0 r1 r1
  const Vf out0 = _mm_shuffle_ps(rg01, b0r1, _MM_SHUFFLE(2, 0, 1, 0));  // r0 g0 b0 r1
  const Vf g1b1 = _mm_shuffle_ps(rg01, b, _MM_SHUFFLE(1, 1, 3, 3));   // g1 g1 b1 b1
  const Vf out1 = _mm_shuffle_ps(g1b1, rg23, _MM_SHUFFLE(1, 0, 2, 0));  // g1 b1 r2 g2
  const Vf b23rg3 = _mm_shuffle_ps(b, rg23, _MM_SHUFFLE(3, 2, 3, 2));  // b2 b3 r3 g3
  const Vf out2 = _mm_shuffle_ps(b23rg3, b23rg3, _MM_SHUFFLE(1, 3, 2, 0));  // b2 r3 g3 b3
  float* f = reinterpret_cast<float*>(out);
  _mm_storeu_ps(f, out0);
  _mm_storeu_ps(f + 4, out1);
  _mm_storeu_ps(f + 8, out2);
}

// ---- the row ------------------------------------------------------------------

struct RowSetup {
  DisplacementSetup disp;
  NormalSetup normal;
  ChannelOp ops[3];
  bool needsDisp;
};

// Heights, gradients, normals and displacements of the chunk's groups.
void ChunkInputs(const RowParams& p, const RowSetup& s, const uint16_t* const rows[4],
                 const RowSums& sums, int32_t k0, int32_t groups, Chunk& chunk) {
  const uint16_t* cur = rows[1] + 1;  // column k is sample k + 1
  const uint16_t* prev = rows[2] + 1;
  for (int32_t g = 0; g < groups; ++g) {
    const int32_t k = k0 + 4 * g;
    Vi h, gx, gy;
    if (p.smoothing) {
      h = Load4(sums.current + k);
      gx = _mm_sub_epi32(h, Load4(sums.current + k + 1));
      gy = _mm_sub_epi32(Load4(sums.previous + k), h);
    } else {
      const Vi c = Load4Samples(cur + k);
      h = _mm_slli_epi32(c, 4);
      gx = _mm_sub_epi32(c, Load4Samples(cur + k + 1));
      gy = _mm_sub_epi32(Load4Samples(prev + k), c);
    }
    if (p.normalMode) {
      const Components4 n = Normal4(gx, gy, s.normal);
      _mm_store_si128(reinterpret_cast<Vi*>(chunk.comp[0] + 4 * g), n.x);
      _mm_store_si128(reinterpret_cast<Vi*>(chunk.comp[1] + 4 * g), n.y);
      _mm_store_si128(reinterpret_cast<Vi*>(chunk.comp[2] + 4 * g), n.z);
    }
    if (s.needsDisp) {
      _mm_store_si128(reinterpret_cast<Vi*>(chunk.disp + 4 * g), Displacement4(h, s.disp));
    }
  }
}

template <int Bits, int Channels>
void PackChunk(const int32_t* const values[3], int32_t groups, uint8_t* out) {
  constexpr int32_t kGroupBytes = 4 * Bits / 8 * Channels;
  for (int32_t g = 0; g < groups; ++g) {
    uint8_t* px = out + g * kGroupBytes;
    const Vi v0 = _mm_load_si128(reinterpret_cast<const Vi*>(values[0] + 4 * g));
    if constexpr (Channels == 1) {
      if constexpr (Bits == 8) Store8x1(px, v0);
      if constexpr (Bits == 16) Store16x1(px, v0);
      if constexpr (Bits == 32) Store32x1(px, v0);
    } else {
      const Vi v1 = _mm_load_si128(reinterpret_cast<const Vi*>(values[1] + 4 * g));
      const Vi v2 = _mm_load_si128(reinterpret_cast<const Vi*>(values[2] + 4 * g));
      if constexpr (Bits == 8) Store8x3(px, v0, v1, v2);
      if constexpr (Bits == 16) Store16x3(px, v0, v1, v2);
      if constexpr (Bits == 32) Store32x3(px, v0, v1, v2);
    }
  }
}

template <int Bits, int Channels>
int32_t PixelsLoop(const RowParams& p, const RowSetup& s, const uint16_t* const rows[4],
                   const RowSums& sums, uint8_t* out) {
  constexpr int32_t kPixelBytes = Bits / 8 * Channels;
  const int32_t done = p.width / 4 * 4;
  Chunk chunk;
  for (int32_t k0 = 0; k0 < done; k0 += kChunk) {
    const int32_t groups = (done - k0 < kChunk ? done - k0 : kChunk) / 4;
    ChunkInputs(p, s, rows, sums, k0, groups, chunk);
    const int32_t* values[3];
    for (int c = 0; c < Channels; ++c) {
      values[c] = ChannelValues(s.ops[c], chunk, c, groups, p.mid, p.isFloat);
    }
    PackChunk<Bits, Channels>(values, groups, out + static_cast<size_t>(k0) * kPixelBytes);
  }
  return done;
}

}  // namespace

int32_t SmoothedSumsSse2(const uint16_t* above, const uint16_t* mid, const uint16_t* below,
                         int32_t* out, int32_t count) {
  const int32_t groups = count / 4;
  for (int32_t g = 0; g < groups; ++g) {
    const int32_t k = 4 * g;
    // Column k's kernel covers samples k .. k + 2 (the left border first).
    Vi lines[3];
    for (int x = 0; x < 3; ++x) {
      const Vi a = Load4Samples(above + k + x);
      const Vi m = Load4Samples(mid + k + x);
      const Vi b = Load4Samples(below + k + x);
      lines[x] = _mm_add_epi32(_mm_add_epi32(a, b), _mm_slli_epi32(m, 1));
    }
    const Vi sum = _mm_add_epi32(_mm_add_epi32(lines[0], lines[2]), _mm_slli_epi32(lines[1], 1));
    _mm_storeu_si128(reinterpret_cast<Vi*>(out + k), sum);
  }
  return groups * 4;
}

int32_t RenderPixelsSse2(const RowParams& p, const uint16_t* const rows[4], const RowSums& sums,
                         uint8_t* out) {
  // H - 16 M must stay within 32 bits, and disp + M too.
  if (!p.toFile || p.mid > (1 << 26) || p.mid < -(1 << 26)) return 0;
  if (p.normalMode &&
      !(p.strength >= kMinVectorStrength && p.strength <= kMaxVectorStrength)) {
    return 0;
  }
  RowSetup s;
  s.disp.mid16 = Splat(16 * p.mid);
  const uint32_t gain = static_cast<uint32_t>(p.gain);
  s.disp.absGain = Splat(static_cast<int32_t>(p.gain < 0 ? 0u - gain : gain));
  s.disp.gainSign = Splat(p.gain < 0 ? -1 : 0);
  s.disp.unitGain = p.gain == 65536;
  const float ss = p.strength * p.strength;
  s.normal.s = _mm_set1_ps(p.strength);
  s.normal.ss = _mm_set1_ps(ss);
  s.normal.zz = _mm_set1_pd(static_cast<double>(ss * ss));  // z z with z = -ss
  s.needsDisp = false;
  for (int c = 0; c < 3; ++c) {
    s.ops[c] = OpFor(p.codes[c]);
    if (c < p.channels && NeedsDisplacement(s.ops[c])) s.needsDisp = true;
  }
  switch (p.bits * 10 + p.channels) {
    case 81: return PixelsLoop<8, 1>(p, s, rows, sums, out);
    case 83: return PixelsLoop<8, 3>(p, s, rows, sums, out);
    case 161: return PixelsLoop<16, 1>(p, s, rows, sums, out);
    case 163: return PixelsLoop<16, 3>(p, s, rows, sums, out);
    case 321: return PixelsLoop<32, 1>(p, s, rows, sums, out);
    case 323: return PixelsLoop<32, 3>(p, s, rows, sums, out);
    default: return 0;
  }
}

}  // namespace kelvra
