// Adjustment operations; see psd_adjustments.h.
#include "bitmap/psd_adjustments.h"

#include <cstring>

namespace kelvra {

namespace {

// Invert ("nvrt", an empty block): every channel c becomes 255 - c. Exact
// by the adjustment's definition (the negative of each 8-bit sample); it
// has no settings to read.
bool ReadInvert(SourceCursor, PsdAdjustment* a, const char**) {
  a->kind = AdjustmentKind::kInvert;
  return true;
}

void InvertRow(const PsdAdjustment&, const uint8_t* const in[3], uint8_t* const out[3],
               int32_t channels, uint32_t n) {
  for (int32_t c = 0; c < channels; ++c) {
    for (uint32_t x = 0; x < n; ++x) out[c][x] = static_cast<uint8_t>(255 - in[c][x]);
  }
}

constexpr AdjustmentOp kOps[] = {
    {"nvrt", AdjustmentKind::kInvert, ReadInvert, InvertRow},
};

}  // namespace

const AdjustmentOp* FindAdjustmentOp(const uint8_t* key) {
  for (const AdjustmentOp& op : kOps) {
    if (std::memcmp(key, op.key, 4) == 0) return &op;
  }
  return nullptr;
}

void ApplyAdjustment(const PsdAdjustment& a, const uint8_t* const in[3], uint8_t* const out[3],
                     int32_t channels, uint32_t n) {
  for (const AdjustmentOp& op : kOps) {
    if (op.kind == a.kind) {
      op.apply(a, in, out, channels, n);
      return;
    }
  }
}

}  // namespace kelvra
