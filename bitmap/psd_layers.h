// The layer records of a document, read into a table the compositor walks
// bottom-up (file order), with everything that can be refused refused here,
// before any pixel is touched.
#pragma once

#include <cstdint>

#include "bitmap/psd_adjustments.h"
#include "bitmap/psd_blend.h"
#include "bitmap/psd_gradient.h"
#include "bitmap/psd_pattern.h"
#include "bitmap/psd_reader.h"
#include "bitmap/psd_source.h"

namespace kelvra {

struct PsdRect {
  int32_t top = 0, left = 0, bottom = 0, right = 0;
  // Rows and columns; 0 for an empty or inverted rectangle, or one whose
  // sides are more than 2^31 - 1 apart.
  uint32_t Rows() const;
  uint32_t Columns() const;
};

// One channel of a layer: where its data (compression value first) starts
// and how long the channel entry says it is.
struct PsdChannelRef {
  uint64_t at = 0;
  uint32_t length = 0;
  bool present = false;
};

enum class LayerKind : uint8_t {
  kPixels,      // a layer of samples
  kGroupStart,  // the bounding divider below a group's layers
  kGroupEnd,    // the group's own record, above its layers
  kOwnLayer,    // the library's upper layer: left out of the layered reading
};

// Channel slots of a layer: the colour channels, transparency, user mask.
enum : int32_t { kSlotTransparency = 3, kSlotMask = 4, kSlots = 5 };

// What a layer paints from its settings rather than from its stored pixels,
// kept beside the layer table (PsdLayer::paint) for the layers that have any.
struct PsdLayerPaint {
  // A solid colour fill layer: `colour` everywhere, shaped by its user mask.
  bool solidFill = false;
  uint8_t colour[3] = {};
  // A colour overlay effect: `overlayColour` at `overlayOpacity` in the
  // blend `overlayBlend`, over the layer's shape (see psd_compositor.h).
  bool overlay = false;
  uint8_t overlayColour[3] = {};
  uint8_t overlayOpacity = 255;
  BlendRow overlayBlend = nullptr;
  // A gradient overlay instead (psd_gradient.h): `gradient` in place of
  // `overlayColour`, laid in `box` (set before compositing: the canvas for
  // a fill, the box of a layer's mostly opaque pixels otherwise).
  bool overlayGradient = false;
  PsdGradient gradient;
  GradientBox box;
  // A pattern overlay: the overlay as above, its colours the document's
  // pattern `patternId` at `patternScale` percent (psd_pattern.h), its tile
  // starting at document pixel (patternLeft, patternTop).
  bool patternOverlay = false;
  uint8_t patternScale = 100;
  int32_t patternLeft = 0, patternTop = 0;
  uint8_t patternIdLength = 0;
  char patternId[kMaxPatternId] = {};
  // An adjustment layer: its operation on what lies below, over the whole
  // canvas, shaped by its user mask (kind kNone: none).
  PsdAdjustment adjustment;
  // An artboard (a group's own record): its layers start from `boardColour`
  // inside `board` (from transparency with `boardFilled` false) and show
  // only inside `board` (see psd_compositor.h).
  bool artboard = false;
  bool boardFilled = false;
  uint8_t boardColour[3] = {};
  PsdRect board;
};

struct PsdLayer {
  PsdRect rect;
  PsdRect maskRect;
  PsdChannelRef channels[kSlots];
  BlendRow blend = nullptr;  // null for a pass-through group
  uint8_t opacity = 255;
  uint8_t fill = 255;
  uint8_t maskDefault = 0;
  bool maskEnabled = false;
  bool clipped = false;
  bool hidden = false;
  LayerKind kind = LayerKind::kPixels;
  // What stops the compositor from reproducing this layer (kOk: nothing),
  // and the feature in words ("a Levels adjustment layer"). Checked only
  // for layers that show.
  PsdRead unsupported = PsdRead::kOk;
  const char* feature = nullptr;
  // A text layer: its stored pixels are Photoshop's only where their
  // coverage is whole or nothing lies below (Photoshop blends the
  // anti-aliased edges of text with a gamma of its own).
  bool text = false;
  // Fill opacity below 255 in a mode that applies it inside the blend
  // (psd_blend.h FindFillInside); null: fill scales the coverage.
  UncutBlend fillInside = nullptr;
  // "Transparency shapes layer" off.
  bool unshaped = false;
  // A pass-through group's record below 100 % fill, composited as an
  // isolated group at the fill (psd_layers.cpp).
  bool isolatedByFill = false;
  // Knockout ("knko"): a shallow one on a layer, which shows what its group
  // started from through the layers below it in the group; on a group
  // start, that a layer of the group knocks out (the start is kept).
  uint8_t knockout = 0;
  bool knockoutInside = false;
  // "Blend clipped layers as group" ("clbl", on unless a block says off).
  bool clippedAsGroup = true;
  // The layer's name as UTF-8 (the Unicode name when there is one), cut to
  // fit, for the reasons of a refusal.
  char name[64] = {};
  // The Unicode name ends with a NUL unit, as Krita writes every name.
  bool nulEndedName = false;
  int32_t partner = -1;  // start <-> end of a group
  int32_t clipEnd = -1;  // a clipping base: one past its last clipped layer
  int32_t stream[kSlots] = {-1, -1, -1, -1, -1};  // RowStream of each slot
  int32_t paint = -1;  // its entry among the PsdLayerPaint, or -1
};

// The layer and mask section's layer records. `colourChannels`: 1 for
// grayscale, 3 for RGB. `layers` receives up to `capacity` records (with
// capacity 0 only the count is read). On success `*count` is the number of
// records and `*channelDataAt` where their channel data begins.
struct LayerSection {
  uint64_t infoAt = 0, infoEnd = 0;  // the layer info's bytes
  int32_t count = 0;                 // records (the stored count's absolute value)
  bool deepLayers = false;           // 16- or 32-bit layer blocks among the tagged blocks
  uint64_t patternsAt = 0, patternsEnd = 0;  // the "Patt" block's data (psd_pattern.h)
  bool mergedAlpha = false;          // a negative count: the merged image has transparency
};

// Reads the section lengths at `c` (the layer and mask section's length
// field) and the layer count; kOk with count 0 when there are no layers.
PsdRead ReadLayerSection(SourceCursor c, LayerSection* section);

// Reads every record into `layers` (section.count entries), places each
// channel in the channel data, and links groups and clipping.
// `excludeOwnLayer`: the library's upper layer is marked kOwnLayer. Layers
// that paint from their settings get consecutive PsdLayer::paint numbers;
// `*paintCount` receives how many, and `paints` (room for section.count)
// their settings.
PsdRead ReadLayerRecords(SourceWindow& window, const LayerSection& section,
                         int32_t colourChannels, bool excludeOwnLayer, PsdLayer* layers,
                         PsdLayerPaint* paints, int32_t* paintCount);

// Whether layer i shows at all: itself, every group around it and, for a
// clipped layer, its base visible with opacity above 0.
void MarkShownLayers(PsdLayer* layers, int32_t count, bool* shown);

// The deepest nesting of groups accepted.
constexpr int32_t kMaxGroupDepth = 64;

}  // namespace kelvra
