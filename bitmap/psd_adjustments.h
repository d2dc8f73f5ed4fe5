// Adjustment layers: an operation on the colours of what lies below the
// layer (the current level's rows), one small function per kind, found by
// the kind's tagged-block key. The layer's own stored pixels are not used;
// its coverage is its user mask times its fill opacity, and its opacity,
// blend mode, clipping and groups count as for any layer (the compositor
// does that part, see psd_compositor.h).
//
// A kind is accepted only where its result has been matched to Photoshop's
// own pictures, or is exact by its definition; every other kind and
// setting is refused with its reason.
#pragma once

#include <cstdint>

#include "bitmap/psd_source.h"

namespace kelvra {

enum class AdjustmentKind : uint8_t { kNone, kInvert };

// The settings of one adjustment layer, kept in the layer's side record
// (PsdLayerPaint).
struct PsdAdjustment {
  AdjustmentKind kind = AdjustmentKind::kNone;
};

// Colours in -> colours out over n samples of `channels` (1 or 3) rows; in
// and out may be the same rows.
using AdjustRow = void (*)(const PsdAdjustment& a, const uint8_t* const in[3],
                           uint8_t* const out[3], int32_t channels, uint32_t n);

// Reads the kind's tagged block into *a; false with *refusal set (a reason
// naming the kind or setting) when it cannot be reproduced.
using ReadAdjustment = bool (*)(SourceCursor data, PsdAdjustment* a, const char** refusal);

struct AdjustmentOp {
  char key[5];
  AdjustmentKind kind;
  ReadAdjustment read;
  AdjustRow apply;
};

// The operation of a tagged-block key, or null when the key is no
// adjustment this compositor reproduces.
const AdjustmentOp* FindAdjustmentOp(const uint8_t* key);

// Applies a read adjustment (kind not kNone).
void ApplyAdjustment(const PsdAdjustment& a, const uint8_t* const in[3], uint8_t* const out[3],
                     int32_t channels, uint32_t n);

}  // namespace kelvra
