// The vector path of a file row. Columns go in chunks: the kernel of
// render_kernel.h forms their displacements and normal components (in the
// widest instruction set available), then each channel's values are formed
// from those and packed into the row, here in SSE2.
#include <emmintrin.h>

#include <cstring>

#include "maps/channel_codes.h"
#include "maps/render_kernel.h"
#include "maps/render_rows.h"

namespace kelvra {

namespace {

using Vi = __m128i;

// ---- integer helpers ------------------------------------------------------------

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
    _mm_storeu_si128(reinterpret_cast<Vi*>(out + 4 * g),
                     f(_mm_loadu_si128(reinterpret_cast<const Vi*>(in + 4 * g))));
  }
}

// The values of channel `c` for the chunk; a full, plain component needs no
// work and is returned in place.
const int32_t* ChannelValues(const ChannelOp& op, KernelChunk& chunk, int c, int32_t groups,
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

// ---- the row ------------------------------------------------------------------

template <int Bits, int Channels>
void PackChunk(const int32_t* const values[3], int32_t groups, uint8_t* out) {
  constexpr int32_t kGroupBytes = 4 * Bits / 8 * Channels;
  for (int32_t g = 0; g < groups; ++g) {
    const Vi v0 = _mm_loadu_si128(reinterpret_cast<const Vi*>(values[0] + 4 * g));
    const Vi v1 = Channels == 3 ? _mm_loadu_si128(reinterpret_cast<const Vi*>(values[1] + 4 * g)) : v0;
    const Vi v2 = Channels == 3 ? _mm_loadu_si128(reinterpret_cast<const Vi*>(values[2] + 4 * g)) : v0;
    Pack4<Bits, Channels>(out + g * kGroupBytes, v0, v1, v2);
  }
}

// The general case: chunk by chunk, the kernel's displacements and
// components, then each channel's values, then the packed samples.
template <int Bits, int Channels>
void ChunkedColumns(const RowParams& p, const VectorKernels& kernels, const KernelArgs& args,
                    const ChannelOp ops[3], int32_t done, uint8_t* out) {
  constexpr int32_t kPixelBytes = Bits / 8 * Channels;
  KernelChunk chunk;
  for (int32_t k0 = 0; k0 < done; k0 += kKernelChunk) {
    const int32_t count = done - k0 < kKernelChunk ? done - k0 : kKernelChunk;
    kernels.inputs(args, k0, count, chunk);
    const int32_t* values[3];
    for (int c = 0; c < Channels; ++c) {
      values[c] = ChannelValues(ops[c], chunk, c, count / 4, p.mid, p.isFloat);
    }
    PackChunk<Bits, Channels>(values, count / 4, out + static_cast<size_t>(k0) * kPixelBytes);
  }
}

const VectorKernels& KernelsOf(VectorSet set) {
  switch (set) {
    case VectorSet::kAvx512: return kAvx512Kernels;
    case VectorSet::kAvx2: return kAvx2Kernels;
    default: return kSse2Kernels;
  }
}

}  // namespace

const VectorKernels kSse2Kernels = KernelsFor<Sse2Lanes>();

int32_t SmoothedSumsVector(VectorSet set, const uint16_t* above, const uint16_t* mid,
                           const uint16_t* below, int32_t* out, int32_t count) {
  return KernelsOf(set).sums(above, mid, below, out, count);
}

namespace {

// What the vector path makes of a request: the channels' operations, and
// which of its loops takes the row.
struct VectorPlan {
  bool covered;          // else the plain path takes the whole row
  bool wholeComponents;  // normal maps of whole components (NormalMapEntry)
  bool heightOnly;       // one channel of the displaced height
  ChannelOp ops[3];
  int32_t pick[3], flip[3];
  bool needsDisp;
};

VectorPlan PlanFor(const RowParams& p) {
  VectorPlan plan{};
  // H - 16 M must stay within 32 bits, and disp + M too.
  plan.covered = p.toFile && p.mid <= (1 << 26) && p.mid >= -(1 << 26) &&
                 (!p.normalMode ||
                  (p.strength >= kMinVectorStrength && p.strength <= kMaxVectorStrength));
  plan.wholeComponents = p.normalMode;
  for (int c = 0; c < 3; ++c) {
    plan.ops[c] = OpFor(p.codes[c]);
    plan.pick[c] = plan.ops[c].component;
    plan.flip[c] = plan.ops[c].inverted ? 65535 : 0;
    if (c >= p.channels) continue;
    if (NeedsDisplacement(plan.ops[c])) plan.needsDisp = true;
    if (plan.ops[c].quantity != Quantity::kComponent || plan.ops[c].form != 0) {
      plan.wholeComponents = false;
    }
  }
  plan.heightOnly = !plan.wholeComponents && p.channels == 1 &&
                    plan.ops[0].quantity == Quantity::kHeight;
  return plan;
}

}  // namespace

int32_t DirectColumns(const RowParams& p) {
  // With smoothing every path reads the sums, never the rows, so the sums
  // decide alone: column k covers samples k - 1 .. k + 1, so columns 1 .. c
  // reach sample c + 1, which must be in the row.
  if (p.smoothing) return p.width >= 18 ? (p.width - 2) / 16 * 16 : 0;
  const VectorPlan plan = PlanFor(p);
  if (!plan.covered || !(plan.wholeComponents || plan.heightOnly)) return 0;
  return p.width > 1 ? (p.width - 1) / 16 * 16 : 0;
}

int32_t RenderPixelsVector(const RowParams& p, const uint16_t* const rows[4], const RowSums& sums,
                           uint8_t* out, const DirectRows& direct) {
  const VectorPlan plan = PlanFor(p);
  const bool normalKernel = plan.covered && plan.wholeComponents;
  if (!normalKernel && direct.ahead != nullptr) RequestSamples(direct.ahead, p.width);
  if (!plan.covered) return 0;
  KernelArgs args;
  args.current = rows[1] + 1;
  args.previous = rows[2] + 1;
  args.sums = sums.current;
  args.previousSums = sums.previous;
  args.smoothing = p.smoothing;
  args.normalMode = p.normalMode;
  args.strength = p.strength;
  args.mid = p.mid;
  args.gain = p.gain;
  args.needsDisp = plan.needsDisp;
  args.ahead = normalKernel ? direct.ahead : nullptr;
  for (int c = 0; c < 3; ++c) {
    args.pick[c] = plan.pick[c];
    args.flip[c] = plan.flip[c];
  }
  const VectorKernels& kernels = KernelsOf(p.vectorSet);
  const int32_t done = p.width / 4 * 4;
  const size_t pixelBytes = static_cast<size_t>(p.bits / 8 * p.channels);
  // The leading columns from the source rows in place, the rest from the
  // window rows, whose columns from `from` on are filled. With smoothing
  // the kernel reads only the sums.
  const int32_t from = p.smoothing ? 0 : direct.columns;
  auto inTwoParts = [&](auto run) {
    if (from > 0) {
      KernelArgs inPlace = args;
      inPlace.current = direct.rows[1];
      inPlace.previous = direct.rows[2];
      run(inPlace, from, out);
    }
    KernelArgs windowed = args;
    windowed.current += from;
    windowed.previous += from;
    if (windowed.ahead != nullptr) windowed.ahead += from;
    run(windowed, done - from, out + static_cast<size_t>(from) * pixelBytes);
  };
  // The two common maps go straight from the kernel into the row.
  if (plan.wholeComponents) {
    inTwoParts([&](const KernelArgs& a, int32_t count, uint8_t* o) {
      kernels.normalMap(a, p.bits, p.channels, count, o);
    });
    return done;
  }
  if (plan.heightOnly) {
    if (p.bits == 16 && p.gain == 65536 && !p.smoothing) {
      // Unit gain without smoothing: disp = (16 C - 16 M) >> 4 = C - M, so
      // the displaced height is the sample itself, already in 0..65535, and
      // the 16-bit row is the source row's bytes (both little-endian).
      if (from > 0) std::memcpy(out, direct.rows[1], static_cast<size_t>(from) * 2);
      std::memcpy(out + static_cast<size_t>(from) * 2, rows[1] + 1 + from,
                  static_cast<size_t>(p.width - from) * 2);
      return p.width;
    }
    inTwoParts([&](const KernelArgs& a, int32_t count, uint8_t* o) {
      kernels.displacement(a, p.bits, count, o);
    });
    return done;
  }
  // Requests with their own channel values read the whole window rows.
  switch (p.bits * 10 + p.channels) {
    case 81: ChunkedColumns<8, 1>(p, kernels, args, plan.ops, done, out); break;
    case 83: ChunkedColumns<8, 3>(p, kernels, args, plan.ops, done, out); break;
    case 161: ChunkedColumns<16, 1>(p, kernels, args, plan.ops, done, out); break;
    case 163: ChunkedColumns<16, 3>(p, kernels, args, plan.ops, done, out); break;
    case 321: ChunkedColumns<32, 1>(p, kernels, args, plan.ops, done, out); break;
    case 323: ChunkedColumns<32, 3>(p, kernels, args, plan.ops, done, out); break;
    default: return 0;
  }
  return done;
}

}  // namespace kelvra
