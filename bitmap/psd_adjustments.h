// Adjustment layers: an operation on the colours of what lies below the
// layer (the current level's rows), one small function per kind, found by
// the kind's tagged-block key. The layer's own stored pixels are not used;
// its coverage is its user mask times its fill opacity, and its opacity,
// blend mode, clipping and groups count as for any layer (the compositor
// does that part, see psd_compositor.h).
//
// A kind is accepted only where its result has been matched to Photoshop's
// own pictures, or is exact by its definition; every other kind and
// setting is refused with its reason. The kinds that map each channel's
// level to a level on its own (Levels, Curves, Posterize, Exposure, the
// legacy Brightness/Contrast) are read into one 256-entry table a channel,
// so applying them is a look-up a sample.
#pragma once

#include <cstdint>

#include "bitmap/psd_source.h"

namespace kelvra {

enum class AdjustmentKind : uint8_t {
  kNone,
  kInvert,
  kLevels,
  kCurves,
  kPosterize,
  kExposure,
  kBrightnessContrast,
  kThreshold,
  kGradientMap,  // over gray pixels only
};

// The settings of one adjustment layer, kept in the layer's side record
// (PsdLayerPaint).
struct PsdAdjustment {
  AdjustmentKind kind = AdjustmentKind::kNone;
  // Set where the kind is reproduced in documents of one colour model only:
  // the reason it is refused in documents of `refusedChannels` colour
  // channels (1 gray, 3 RGB).
  const char* channelsRefusal = nullptr;
  int32_t refusedChannels = 0;
  // The per-channel kinds: level in -> level out, a table for each colour
  // channel (red, green, blue; a gray document uses the first).
  uint8_t table[3][256] = {};
};

// Colours in -> colours out over n samples of `channels` (1 or 3) rows; in
// and out may be the same rows. Null, or the reason the kind cannot be
// reproduced over these colours (the read is then refused).
using AdjustRow = const char* (*)(const PsdAdjustment& a, const uint8_t* const in[3],
                                  uint8_t* const out[3], int32_t channels, uint32_t n);

// Reads the kind's tagged block into *a; false when it cannot be
// reproduced, with *refusal set to a reason naming the setting (or left
// null when the block cannot be read: the kind's name is the reason).
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

// Photoshop keeps the current settings of some kinds in a "CgEd" descriptor
// beside the kind's own block (Brightness/Contrast: "Brgh", "Cntr",
// "useLegacy"; the block itself then holds zeros). Reads them over what the
// block gave; false with *refusal set when they cannot be reproduced. Kinds
// without such settings are left as they are.
bool ReadAdjustmentSettings(SourceCursor settings, PsdAdjustment* a, const char** refusal);

// Applies a read adjustment (kind not kNone): null, or why it cannot be
// reproduced over these colours (AdjustRow).
const char* ApplyAdjustment(const PsdAdjustment& a, const uint8_t* const in[3], uint8_t* const out[3],
                     int32_t channels, uint32_t n);

}  // namespace kelvra
