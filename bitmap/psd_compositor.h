// The layer compositor: the picture a document's layers make, one row at a
// time. The reader parses the layer records (psd_layers.h), refuses what
// cannot be reproduced and hands the compositor the table and a source of
// decoded channel rows; the compositor never sees the file's bytes. What a
// blend key computes is in psd_blend.h, one small function a key.
//
// Layers are composited bottom-up in file order. The bottom layer's colours
// are the opaque backdrop where it reaches (its transparency, mask, opacity
// and mode do not count). When the bottom record is no layer of samples (a
// group), is hidden, or does not cover the canvas, the picture starts
// transparent there instead, as in the editor. Every other layer counts with its
// visibility, opacity, fill opacity, transparency, user mask, blend mode,
// clipping to the layer below and the groups it is in (pass-through or
// isolated, with their opacity and mask). Fill opacity is a factor of the
// coverage, except in linear light, where Photoshop applies it inside the
// blend (psd_blend.h OverFillInside; accepted where the layer's coverage is
// whole, kUnknownBlendMode elsewhere).
//
// Layers that paint from their settings (PsdLayerPaint):
//  - a solid colour fill layer is its colour over the whole canvas, its
//    coverage its user mask (the stored pixels are not read); a shape layer
//    (a fill cut out by its vector mask) is drawn from its pixels instead.
//    Otherwise it counts as any layer (opacity, fill opacity, mode,
//    clipping, groups).
//  - a colour overlay effect (or a pattern overlay, its colours the
//    document's pattern tiled as psd_pattern.h says), with the "blend interior effects as group"
//    option off (Photoshop's default; on, it is refused): the layer's
//    contents are composited first, at transparency x mask x fill opacity
//    in the layer's mode; the overlay colour then goes over that result at
//    transparency x mask x overlay opacity in the overlay's own mode (the
//    layer's mode and fill opacity do not touch it); the layer's opacity
//    then mixes the two steps' result with what lay below:
//      X = blend_layer(B, C, a f),  Y = blend_overlay(X, O, a o),
//      result = B + opacity (Y - B)
//    A gradient overlay (vertical: psd_gradient.h) is the same with the
//    gradient's colour on each row in place of O, laid in the canvas on a
//    solid colour fill and in the box of the mostly opaque pixels on a layer
//    of pixels (PsdLayerPaint::box); on the bottom layer it goes over the
//    colours at its opacity alone, the layer's transparency kept apart.
//    Checked on Photoshop's pictures of layers whose mode and overlay mode
//    are one of the fourteen, over a gray backdrop: blending the overlay
//    onto the layer's own colours first (the option on) is up to 110 levels
//    off in colour burn, soft light and difference; this order is within 1.
//  - an adjustment layer (psd_adjustments.h): its colours are its
//    operation on the colours of what lies below it (the level it is on, or
//    the clipping base it is clipped to), over the whole canvas; its
//    coverage is its user mask times its fill opacity, then opacity and
//    mode as for any layer. Over a level with transparency it changes the
//    colours only and leaves the coverage as it is (an adjustment base with
//    layers clipped to it is refused there: kAdjustmentLayer).
//  - an artboard (a group carrying an artboard block): its layers start
//    from its background colour inside its rectangle (from transparency for
//    a transparent background; an isolated group's start, or what lies below
//    for a pass-through one), and the group's result shows only inside the
//    rectangle. Outside every artboard the picture is transparent.
//    Measured on Photoshop's merged images of documents with white,
//    transparent and coloured artboards whose layers reach beyond their
//    rectangles: every opaque sample exact, and the merged image's
//    transparency exactly where no artboard lies or a transparent one shows
//    nothing. A document whose merged image has no transparency while its
//    artboards leave part of the canvas uncovered is refused
//    (kFlattenedBackdrop). The editor link's reload reads colours only into
//    a raster of the document's size: there the canvas outside every
//    artboard (and what a transparent artboard leaves empty) becomes black,
//    the colours of a level where nothing was painted.
#pragma once

#include <cstdint>

#include "bitmap/psd_layers.h"
#include "bitmap/psd_reader.h"
#include "services/services.h"

namespace kelvra {

// The work block: sized in a first pass (base null), carved in a second.
class Carver {
 public:
  explicit Carver(uint8_t* base) : base_(base) {}
  uint8_t* Take(uint64_t bytes) {
    uint8_t* p = base_ == nullptr ? nullptr : base_ + used_;
    used_ = SizeAdd(used_, (bytes + 15) & ~uint64_t{15});
    return p;
  }
  template <typename T>
  T* TakeArray(uint64_t n) {
    return reinterpret_cast<T*>(Take(SizeMul(n, sizeof(T))));
  }
  uint64_t used() const { return used_; }

 private:
  uint8_t* base_;
  uint64_t used_ = 0;
};

// Decoded rows of the layers' channels: samples [first, first + n) of row
// `row` of channel stream `stream` (PsdLayer::stream) into dst; false when
// the row cannot be had.
struct LayerRowSource {
  bool (*read)(void* context, int32_t stream, uint32_t row, uint32_t first, uint32_t n,
               uint8_t* dst);
  void* context;
};

// Row planes of one group level (or of a clipping group): colour channels
// and alpha over the document's width.
struct Level {
  uint8_t* colour[3];
  uint8_t* alpha;
  bool opaque;
};

struct Compositor {
  LayerRowSource rows;
  const PsdLayer* layers;
  const bool* shown;
  int32_t count;
  int32_t channels;  // colour channels: 1 or 3
  uint32_t width;
  bool withAlpha;
  // The root starts transparent instead of from the bottom layer's opaque
  // colours (the bottom record is no layer of samples, or does not cover
  // the canvas); `flattened`: a transparent pixel of the root cannot be
  // reproduced (see where it is set).
  bool translucentRoot;
  bool flattened;
  int32_t failedLayer;  // the layer a refusal found while compositing names
  const char* failedFeature;  // and its feature, where the refusal's code leaves it open
  const PsdLayerPaint* paints;  // PsdLayer::paint's entries
  Level* levels;  // the root, then one per open group
  Level* starts;  // each open group's level as it started, where a layer knocks out
  Level clip;     // a clipping base with its clipped layers
  // Scratch rows: a layer's colour, alpha and mask, blend results (3 rows),
  // the group alpha, the output alpha and a row of zeros.
  uint8_t* source3[3];
  uint8_t* sourceAlpha;
  uint8_t* maskRow;
  uint8_t* blended;
  uint8_t* groupAlpha;
  uint8_t* outAlpha;
  uint8_t* zero;
  // A colour overlay's colour rows and alpha; the level's colours and alpha
  // before a layer with an overlay, for its opacity.
  uint8_t* overlay3[3];
  uint8_t* overlayAlpha;
  uint8_t overlayColour[3];  // the overlay's colour on the row decoded last
  uint8_t* saved3[3];
  uint8_t* savedAlpha;
  // The pattern the pattern overlays draw (psd_pattern.h): its decoded
  // planes, or null when no layer has one.
  const PsdPattern* pattern;
  const uint8_t* patternPlanes;
  // When layer `splitAt` lies at the root (-1: none), `beneath` receives the
  // root as it is before that layer is composited: the picture without it
  // and the layers above it, next to the picture with them. Its rows are
  // the caller's.
  int32_t splitAt;
  Level beneath;
};

// Takes the compositor's rows from the work block (see Carver) for layers
// nested `deepest` groups deep, `channels` colour channels (1 or 3) and
// `width` columns; with a null base only the size is counted.
void CarveCompositor(Carver& carver, int32_t deepest, int32_t channels, uint32_t width,
                     Compositor* k);

// After carving: the table to composite, and how the picture starts.
// `mergedAlpha`: the document's merged image has transparency (a negative
// layer count); `headerChannels`: the document's channel count.
void StartCompositor(Compositor* k, const PsdLayer* layers, const PsdLayerPaint* paints,
                     const bool* shown, int32_t count, int32_t deepest, int32_t channels,
                     uint32_t width, int32_t height, int32_t headerChannels, bool mergedAlpha,
                     bool withAlpha, LayerRowSource rows);

// One row of the picture into the root level (k.levels[0]); with alpha
// asked for, k.outAlpha holds the bottom layer's transparency. kTextEdges,
// kPartialDissolve, kUnknownBlendMode, kAdjustmentLayer and
// kUnsupportedClipping (the layer in k.failedLayer, the feature in
// k.failedFeature where set) and
// kFlattenedBackdrop
// say what cannot be reproduced; kRowIncomplete, a row that could not be
// had.
PsdRead CompositeRow(Compositor& k, uint32_t y);

}  // namespace kelvra
