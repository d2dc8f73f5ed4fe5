// The layer compositor; see psd_compositor.h.
#include "bitmap/psd_compositor.h"

#include <cstring>

#include "bitmap/psd_blend.h"
#include "bitmap/psd_pattern.h"

namespace kelvra {

namespace {

// The visible columns [x0, x1) of a layer rectangle on document row y, and
// the rectangle row and first sample there; false when nothing is visible.
struct Span {
  uint32_t row, first, x0, count;
};

bool SpanOf(const PsdRect& rect, uint32_t y, uint32_t width, Span* s) {
  const uint32_t rows = rect.Rows(), columns = rect.Columns();
  if (rows == 0 || columns == 0) return false;
  const int64_t r = static_cast<int64_t>(y) - rect.top;
  if (r < 0 || r >= rows) return false;
  const int64_t x0 = rect.left < 0 ? 0 : rect.left;
  int64_t x1 = static_cast<int64_t>(rect.left) + columns;
  if (x1 > width) x1 = width;
  if (x1 <= x0) return false;
  s->row = static_cast<uint32_t>(r);
  s->first = static_cast<uint32_t>(x0 - rect.left);
  s->x0 = static_cast<uint32_t>(x0);
  s->count = static_cast<uint32_t>(x1 - x0);
  return true;
}

// The user mask over document columns [x0, x0 + n) of row y into dst: the
// mask's samples inside its rectangle, its default colour outside.
bool MaskRow(Compositor& k, const PsdLayer& l, uint32_t y, uint32_t x0, uint32_t n,
             uint8_t* dst) {
  std::memset(dst, l.maskDefault, n);
  const int32_t s = l.stream[kSlotMask];
  Span m;
  if (s < 0 || !SpanOf(l.maskRect, y, k.width, &m)) return true;
  const uint32_t lo = m.x0 > x0 ? m.x0 : x0;
  const uint32_t hi = m.x0 + m.count < x0 + n ? m.x0 + m.count : x0 + n;
  if (lo >= hi) return true;
  return k.rows.read(k.rows.context, s, m.row, m.first + (lo - m.x0), hi - lo, dst + (lo - x0));
}

// A colour overlay's alpha from the layer's (transparency x mask, before the
// fill opacity, which does not fade the overlay): times the overlay's
// opacity, into overlayAlpha; its colour on row y into overlayColour (a
// gradient overlay's is the same along the row: it is vertical).
void TakeOverlayAlpha(Compositor& k, const PsdLayerPaint* paint, uint32_t y, uint32_t n) {
  if (paint == nullptr || !paint->overlay) return;
  if (paint->overlayGradient) {
    GradientColour(paint->gradient, GradientPosition(paint->gradient, paint->box, 0, y),
                   k.overlayColour);
  } else {
    std::memcpy(k.overlayColour, paint->overlayColour, 3);
  }
  std::memcpy(k.overlayAlpha, k.sourceAlpha, n);
  ScaleRow(k.overlayAlpha, paint->overlayOpacity, n);
}

// A layer that covers the whole canvas (a fill or an adjustment), shaped by
// its user mask alone: its span is the row, its coverage the mask's (or
// whole) in sourceAlpha.
bool CanvasCoverage(Compositor& k, const PsdLayer& l, uint32_t y, Span* span, bool* visible) {
  *visible = true;
  *span = Span{0, 0, 0, k.width};
  if (!l.maskEnabled) {
    std::memset(k.sourceAlpha, 255, k.width);
    return true;
  }
  return MaskRow(k, l, y, 0, k.width, k.sourceAlpha);
}

// The fill opacity as a factor of the coverage, unless the layer's mode
// takes it inside the blend (CompositeLayer).
void FillAsAlpha(const PsdLayer& l, uint8_t* alpha, uint32_t n) {
  if (l.fillInside == nullptr) ScaleRow(alpha, l.fill, n);
}

// A layer whose mode takes the fill inside the blend (psd_blend.h
// OverFillInside) onto a level, over the runs of whole coverage; false
// where its coverage is partial (or nothing, with "transparency shapes
// layer" off), which Photoshop's pictures do not show.
bool CompositeFillInside(const Level& onto, const PsdLayer& l, uint8_t* const colour[3],
                         const uint8_t* alpha, int32_t channels, uint32_t x0, uint32_t n) {
  for (uint32_t x = 0; x < n; ++x) {
    if (alpha[x] != 255 && (alpha[x] != 0 || l.unshaped)) return false;
  }
  uint32_t x = 0;
  while (x < n) {
    if (alpha[x] == 0) {
      ++x;
      continue;
    }
    uint32_t end = x;
    while (end < n && alpha[end] == 255) ++end;
    uint8_t* const cb[3] = {onto.colour[0] + x0 + x, onto.colour[1] + x0 + x,
                            onto.colour[2] + x0 + x};
    const uint8_t* const cs[3] = {colour[0] + x, colour[1] + x, colour[2] + x};
    OverFillInside(cb, onto.opaque ? nullptr : onto.alpha + x0 + x, cs, l.fill, l.fillInside,
                   channels, end - x);
    x = end;
  }
  return true;
}

// Decodes layer i's row y over its visible span: colour into source3,
// alpha (transparency x mask x fill, rounded at each product) into
// sourceAlpha, and for a layer with a colour overlay the overlay's alpha
// into overlayAlpha. False in *visible when nothing of it is on this row.
// An adjustment layer's colours are its operation on `below` (the level it
// lies on, or the clipping base it is clipped to) over the whole width.
bool DecodeLayerRow(Compositor& k, int32_t i, uint32_t y, const Level& below, Span* span,
                    bool* visible) {
  const PsdLayer& l = k.layers[i];
  const PsdLayerPaint* paint = l.paint >= 0 ? &k.paints[l.paint] : nullptr;
  if (paint != nullptr && paint->adjustment.kind != AdjustmentKind::kNone) {
    // Never the bottom layer (refused when reading).
    const uint8_t* const in[3] = {below.colour[0], below.colour[1], below.colour[2]};
    k.failedFeature = ApplyAdjustment(paint->adjustment, in, k.source3, k.channels, k.width);
    if (k.failedFeature != nullptr) {
      k.failedLayer = i;
      return false;
    }
    if (!CanvasCoverage(k, l, y, span, visible)) return false;
    FillAsAlpha(l, k.sourceAlpha, k.width);
    return true;
  }
  if (paint != nullptr && paint->solidFill) {
    // A fill covers the canvas; its mask alone shapes it.
    for (int32_t c = 0; c < k.channels; ++c) std::memset(k.source3[c], paint->colour[c], k.width);
    if (i == 0) {
      *visible = true;
      *span = Span{0, 0, 0, k.width};
      std::memset(k.sourceAlpha, 255, k.width);
      std::memset(k.outAlpha, 255, k.width);
      return true;
    }
    if (!CanvasCoverage(k, l, y, span, visible)) return false;
    TakeOverlayAlpha(k, paint, y, k.width);
    FillAsAlpha(l, k.sourceAlpha, k.width);
    return true;
  }
  *visible = SpanOf(l.rect, y, k.width, span);
  if (!*visible) return true;
  const uint32_t n = span->count;
  for (int32_t c = 0; c < k.channels; ++c) {
    const int32_t s = l.stream[c];
    if (s < 0) {
      std::memset(k.source3[c], 0, n);
    } else if (!k.rows.read(k.rows.context, s, span->row, span->first, n, k.source3[c])) {
      return false;
    }
  }
  if (i == 0) {
    // The backdrop: opaque where the bottom layer reaches.
    std::memset(k.sourceAlpha, 255, n);
    const int32_t s = l.stream[kSlotTransparency];
    if (s >= 0 &&
        !k.rows.read(k.rows.context, s, span->row, span->first, n, k.outAlpha + span->x0)) {
      return false;
    }
    return true;
  }
  const int32_t t = l.stream[kSlotTransparency];
  if (t < 0) {
    std::memset(k.sourceAlpha, 255, n);
  } else if (!k.rows.read(k.rows.context, t, span->row, span->first, n, k.sourceAlpha)) {
    return false;
  }
  if (l.maskEnabled) {
    if (!MaskRow(k, l, y, span->x0, n, k.maskRow)) return false;
    MulRows(k.sourceAlpha, k.maskRow, n);
  }
  TakeOverlayAlpha(k, paint, y, n);
  FillAsAlpha(l, k.sourceAlpha, n);
  return true;
}

// Source colour and alpha rows (over columns [x0, x0 + n)) onto a level;
// false (and nothing changed) for a dissolve layer whose alpha is partial
// there: Photoshop scatters such pixels at random.
bool Composite(Compositor& k, Level& onto, uint8_t* const colour[3], const uint8_t* alpha,
               BlendRow blend, uint32_t x0, uint32_t n) {
  if (BlendNeedsHardAlpha(blend) && !HardAlphaOnly(alpha, n)) return false;
  if (onto.opaque) {
    uint8_t* const mixed[3] = {k.blended, k.blended + n, k.blended + 2 * static_cast<uint64_t>(n)};
    const uint8_t* const cs[3] = {colour[0], colour[1], colour[2]};
    if (!IsNormalBlend(blend)) {
      const uint8_t* const cb[3] = {onto.colour[0] + x0,
                                    onto.colour[k.channels == 3 ? 1 : 0] + x0,
                                    onto.colour[k.channels == 3 ? 2 : 0] + x0};
      blend(cb, cs, mixed, k.channels, n);
    }
    for (int32_t c = 0; c < k.channels; ++c) {
      OverOpaque(onto.colour[c] + x0, IsNormalBlend(blend) ? cs[c] : mixed[c], alpha, n);
    }
    return true;
  }
  uint8_t* cb[3] = {onto.colour[0] + x0, onto.colour[1] + x0, onto.colour[2] + x0};
  const uint8_t* cs[3] = {colour[0], colour[1], colour[2]};
  OverTranslucent(cb, onto.alpha + x0, cs, alpha, blend, k.channels, k.blended, n);
  return true;
}

// An overlay's colours over document columns [x0, x0 + n) of row y into
// overlay3: the pattern tiled, or the row's colour (TakeOverlayAlpha).
void OverlayRow(Compositor& k, const PsdLayerPaint& paint, uint32_t y, uint32_t x0, uint32_t n) {
  if (paint.patternOverlay) {
    PatternRow(k.patternPlanes, *k.pattern, paint.patternScale, paint.patternLeft,
               paint.patternTop, y, x0, n, k.overlay3);
    return;
  }
  for (int32_t c = 0; c < k.channels; ++c) std::memset(k.overlay3[c], k.overlayColour[c], n);
}

// Whether a text layer's alpha row over columns [x0, x0 + n) of a level
// keeps clear of what Photoshop draws differently: a partly covered pixel
// over anything but transparency.
bool TextEdgesClear(const Level& onto, const uint8_t* alpha, uint32_t x0, uint32_t n) {
  for (uint32_t x = 0; x < n; ++x) {
    if (alpha[x] == 0 || alpha[x] == 255) continue;
    if (onto.opaque || onto.alpha[x0 + x] != 0) return false;
  }
  return true;
}

// A decoded layer row (colour, alpha: transparency x mask x fill; for an
// overlay, overlayAlpha) onto a level over columns [x0, x0 + n), at
// `opacity` in `blend`, with the layer's colour overlay when it has one (see
// psd_compositor.h for the order). kTextEdges when a text layer's edges
// fall where they cannot be reproduced over `under` (what the layer's
// coverage lies on: the level, or a clipping base's shape); kPartialDissolve
// for dissolve over partial coverage.
PsdRead CompositeLayer(Compositor& k, Level& onto, const Level& under, const PsdLayer& l,
                    uint8_t* const colour[3],
                    uint8_t* alpha, const uint8_t* overlayAlpha, uint8_t opacity,
                    BlendRow blend, uint32_t y, uint32_t x0, uint32_t n) {
  const PsdLayerPaint* paint = l.paint >= 0 ? &k.paints[l.paint] : nullptr;
  if (l.fillInside != nullptr) {
    // Opacity 255 and no overlay (refused when reading otherwise).
    return CompositeFillInside(onto, l, colour, alpha, k.channels, x0, n)
               ? PsdRead::kOk
               : PsdRead::kUnknownBlendMode;
  }
  if (paint == nullptr || !paint->overlay) {
    ScaleRow(alpha, opacity, n);
    if (l.text && !TextEdgesClear(under, alpha, x0, n)) return PsdRead::kTextEdges;
    return Composite(k, onto, colour, alpha, blend, x0, n) ? PsdRead::kOk
                                                             : PsdRead::kPartialDissolve;
  }
  if (l.text) {
    // Both steps' coverage as the layer's opacity leaves it.
    const uint8_t* const steps[2] = {alpha, overlayAlpha};
    for (const uint8_t* a : steps) {
      std::memcpy(k.maskRow, a, n);
      ScaleRow(k.maskRow, opacity, n);
      if (!TextEdgesClear(under, k.maskRow, x0, n)) return PsdRead::kTextEdges;
    }
  }
  if (opacity != 255) {
    for (int32_t c = 0; c < k.channels; ++c) std::memcpy(k.saved3[c], onto.colour[c] + x0, n);
    std::memcpy(k.savedAlpha, onto.alpha + x0, n);
  }
  if (!Composite(k, onto, colour, alpha, blend, x0, n)) return PsdRead::kPartialDissolve;
  OverlayRow(k, *paint, y, x0, n);
  if (!Composite(k, onto, k.overlay3, overlayAlpha, paint->overlayBlend, x0, n)) {
    return PsdRead::kPartialDissolve;
  }
  if (opacity != 255) {
    // result = (255 - opacity) below + opacity above, as a pass-through
    // group's opacity mixes its result into what it started from.
    std::memset(k.groupAlpha, 255 - opacity, n);
    uint8_t* const above[3] = {onto.colour[0] + x0, onto.colour[1] + x0, onto.colour[2] + x0};
    if (onto.opaque) {
      for (int32_t c = 0; c < k.channels; ++c) OverOpaque(above[c], k.saved3[c], k.groupAlpha, n);
    } else {
      MixTranslucent(above, onto.alpha + x0, k.saved3, k.savedAlpha, k.groupAlpha, k.channels, n);
    }
  }
  return PsdRead::kOk;
}

// A layer that knocks out (shallow; at 100 % opacity and fill, refused
// otherwise) over columns [x0, x0 + n): the layer blended in its mode onto
// what its group started from, fully, then that mixed into the level by the
// layer's coverage, as a pass-through group's result is mixed (Photoshop's
// picture of multiply layers knocking each other out in an isolated and a
// pass-through group: within 1 level at their anti-aliased edges too).
void CompositeKnockout(Compositor& k, Level& onto, const Level& start, uint8_t* const colour[3],
                       const uint8_t* alpha, BlendRow blend, uint32_t x0, uint32_t n) {
  Level knocked{{k.saved3[0], k.saved3[1], k.saved3[2]}, k.savedAlpha, start.opaque};
  for (int32_t c = 0; c < k.channels; ++c) {
    std::memcpy(knocked.colour[c] + x0, start.colour[c] + x0, n);
  }
  std::memcpy(knocked.alpha + x0, start.alpha + x0, n);
  std::memset(k.maskRow, 255, n);
  // Dissolve over whole coverage is normal: no pixel here is partial.
  Composite(k, knocked, colour, k.maskRow, blend, x0, n);
  uint8_t* const above[3] = {onto.colour[0] + x0, onto.colour[1] + x0, onto.colour[2] + x0};
  const uint8_t* const knockedAt[3] = {knocked.colour[0] + x0, knocked.colour[1] + x0,
                                       knocked.colour[2] + x0};
  if (onto.opaque) {
    for (int32_t c = 0; c < k.channels; ++c) OverOpaque(above[c], knockedAt[c], alpha, n);
  } else {
    MixTranslucent(above, onto.alpha + x0, knockedAt, knocked.alpha + x0, alpha, k.channels, n);
  }
}

// An artboard's group record's settings, or null for any other group.
const PsdLayerPaint* ArtboardOf(const Compositor& k, const PsdLayer& group) {
  return group.paint >= 0 && k.paints[group.paint].artboard ? &k.paints[group.paint] : nullptr;
}

}  // namespace

void CarveCompositor(Carver& carver, int32_t deepest, int32_t channels, uint32_t width,
                     Compositor* k) {
  Level* levels = carver.TakeArray<Level>(static_cast<uint64_t>(deepest) + 1);
  if (levels != nullptr) k->levels = levels;
  for (int32_t d = 0; d <= deepest + 1; ++d) {
    Level level{};
    for (int32_t c = 0; c < 3; ++c) level.colour[c] = carver.Take(c < channels ? width : 0);
    level.alpha = carver.Take(width);
    if (levels != nullptr) {
      if (d <= deepest) {
        levels[d] = level;
      } else {
        k->clip = level;
      }
    }
  }
  Level* starts = carver.TakeArray<Level>(static_cast<uint64_t>(deepest) + 1);
  if (starts != nullptr) k->starts = starts;
  for (int32_t d = 0; d <= deepest; ++d) {
    Level level{};
    for (int32_t c = 0; c < 3; ++c) level.colour[c] = carver.Take(c < channels ? width : 0);
    level.alpha = carver.Take(width);
    if (starts != nullptr) starts[d] = level;
  }
  for (uint8_t*& row : k->source3) row = carver.Take(width);
  k->sourceAlpha = carver.Take(width);
  k->maskRow = carver.Take(width);
  k->blended = carver.Take(3 * static_cast<uint64_t>(width));
  k->groupAlpha = carver.Take(width);
  k->outAlpha = carver.Take(width);
  k->zero = carver.Take(width);
  for (int32_t c = 0; c < 3; ++c) {
    k->overlay3[c] = carver.Take(width);
    k->saved3[c] = carver.Take(width);
  }
  k->overlayAlpha = carver.Take(width);
  k->savedAlpha = carver.Take(width);
}

void StartCompositor(Compositor* k, const PsdLayer* layers, const PsdLayerPaint* paints,
                     const bool* shown, int32_t count, int32_t deepest, int32_t channels,
                     uint32_t width, int32_t height, int32_t headerChannels, bool mergedAlpha,
                     bool withAlpha, LayerRowSource rows) {
  // Colour planes of a gray document beyond the first are never read or
  // written; they point at the zero row so that no pointer is left null.
  for (int32_t d = 0; d <= deepest; ++d) {
    for (int32_t c = channels; c < 3; ++c) k->levels[d].colour[c] = k->zero;
  }
  for (int32_t c = channels; c < 3; ++c) k->clip.colour[c] = k->zero;
  for (int32_t d = 0; d <= deepest; ++d) {
    for (int32_t c = channels; c < 3; ++c) k->starts[d].colour[c] = k->zero;
  }
  std::memset(k->zero, 0, width);
  const PsdLayer& bottom = layers[0];
  // A solid colour fill at the bottom covers the canvas.
  const bool bottomFill = bottom.paint >= 0 && paints[bottom.paint].solidFill;
  // A hidden bottom layer leaves the picture transparent below the others
  // (passthrough_blendmodes2 in the second shared folder: a darken layer
  // over a red one with transparency above a hidden fill, every opaque
  // sample exact; over black it is 8 levels off).
  k->translucentRoot =
      bottom.kind != LayerKind::kPixels || !shown[0] ||
      (!bottomFill && (bottom.rect.top > 0 || bottom.rect.left > 0 ||
                    static_cast<int64_t>(bottom.rect.top) + bottom.rect.Rows() < height ||
                    static_cast<int64_t>(bottom.rect.left) + bottom.rect.Columns() < width));
  // A bottom layer with transparency of its own that leaves part of the
  // canvas uncovered, in a document whose merged image has none: the
  // program that wrote it flattened the picture onto a backdrop (paper) the
  // document does not hold, and shows it that way.
  k->flattened = !mergedAlpha && headerChannels <= channels &&
                 bottom.kind == LayerKind::kPixels &&
                 (!shown[0] || (!bottomFill && bottom.channels[kSlotTransparency].present &&
                                bottom.rect.Rows() != 0 && bottom.rect.Columns() != 0));
  // Outside its artboards a document's picture is transparent; a merged
  // image without transparency was flattened there onto a colour the
  // document does not hold (the same refusal).
  if (!mergedAlpha && headerChannels <= channels) {
    for (int32_t i = 0; i < count; ++i) {
      if (layers[i].paint >= 0 && paints[layers[i].paint].artboard) k->flattened = true;
    }
  }
  k->failedLayer = -1;
  k->failedFeature = nullptr;
  k->splitAt = -1;
  k->levels[0].opaque = !k->translucentRoot;
  k->rows = rows;
  k->layers = layers;
  k->paints = paints;
  k->shown = shown;
  k->count = count;
  k->channels = channels;
  k->width = width;
  k->withAlpha = withAlpha;
}

// One row of the composite into the root level.
PsdRead CompositeRow(Compositor& k, uint32_t y) {
  const uint32_t w = k.width;
  int32_t depth = 0;
  for (int32_t c = 0; c < k.channels; ++c) std::memset(k.levels[0].colour[c], 0, w);
  std::memset(k.levels[0].alpha, k.translucentRoot ? 0 : 255, w);
  std::memset(k.outAlpha, 0, w);
  int32_t i = 0;
  while (i < k.count) {
    const PsdLayer& l = k.layers[i];
    if (i == k.splitAt && depth == 0) {
      for (int32_t c = 0; c < k.channels; ++c) {
        std::memcpy(k.beneath.colour[c], k.levels[0].colour[c], w);
      }
      std::memcpy(k.beneath.alpha, k.levels[0].alpha, w);
    }
    if (!k.shown[i]) {
      i = l.kind == LayerKind::kGroupStart ? l.partner + 1 : i + 1;
      continue;
    }
    if (l.kind == LayerKind::kGroupStart) {
      // A pass-through group starts from what is below it; an isolated
      // one from nothing.
      Level& parent = k.levels[depth];
      Level& child = k.levels[++depth];
      const bool pass = k.layers[l.partner].blend == nullptr;
      for (int32_t c = 0; c < k.channels; ++c) {
        if (pass) {
          std::memcpy(child.colour[c], parent.colour[c], w);
        } else {
          std::memset(child.colour[c], 0, w);
        }
      }
      if (pass) {
        std::memcpy(child.alpha, parent.alpha, w);
      } else {
        std::memset(child.alpha, 0, w);
      }
      child.opaque = pass && parent.opaque;
      // An artboard's layers start from its background inside its
      // rectangle.
      const PsdLayerPaint* board = ArtboardOf(k, k.layers[l.partner]);
      Span s;
      if (board != nullptr && board->boardFilled && SpanOf(board->board, y, w, &s)) {
        for (int32_t c = 0; c < k.channels; ++c) {
          std::memset(child.colour[c] + s.x0, board->boardColour[c], s.count);
        }
        std::memset(child.alpha + s.x0, 255, s.count);
      }
      if (l.knockoutInside) {
        Level& start = k.starts[depth];
        for (int32_t c = 0; c < k.channels; ++c) std::memcpy(start.colour[c], child.colour[c], w);
        std::memcpy(start.alpha, child.alpha, w);
        start.opaque = child.opaque;
      }
      ++i;
      continue;
    }
    if (l.kind == LayerKind::kGroupEnd) {
      Level& child = k.levels[depth];
      Level& parent = k.levels[--depth];
      // The group's alpha: its opacity times its mask.
      if (l.maskEnabled) {
        if (!MaskRow(k, l, y, 0, w, k.groupAlpha)) return PsdRead::kRowIncomplete;
        ScaleRow(k.groupAlpha, l.opacity, w);
      } else {
        std::memset(k.groupAlpha, l.opacity, w);
      }
      if (ArtboardOf(k, l) != nullptr) {
        // Nothing of an artboard shows outside its rectangle.
        Span s;
        if (!SpanOf(ArtboardOf(k, l)->board, y, w, &s)) s = Span{0, 0, 0, 0};
        std::memset(k.groupAlpha, 0, s.x0);
        std::memset(k.groupAlpha + s.x0 + s.count, 0, w - s.x0 - s.count);
      }
      if (l.blend == nullptr) {
        if (parent.opaque) {
          for (int32_t c = 0; c < k.channels; ++c) {
            OverOpaque(parent.colour[c], child.colour[c], k.groupAlpha, w);
          }
        } else {
          MixTranslucent(parent.colour, parent.alpha, child.colour, child.alpha, k.groupAlpha,
                         k.channels, w);
        }
      } else {
        MulRows(child.alpha, k.groupAlpha, w);
        if (!Composite(k, parent, child.colour, child.alpha, l.blend, 0, w)) {
          k.failedLayer = i;
          return PsdRead::kPartialDissolve;
        }
      }
      ++i;
      continue;
    }
    // A layer of samples, alone or as the base of the layers clipped to it.
    Level& onto = k.levels[depth];
    Span span;
    bool visible = false;
    if (!DecodeLayerRow(k, i, y, onto, &span, &visible)) {
      return k.failedFeature != nullptr ? PsdRead::kAdjustmentLayer : PsdRead::kRowIncomplete;
    }
    const int32_t next = l.clipEnd > i ? l.clipEnd : i + 1;
    if (!visible) {
      i = next;
      continue;
    }
    if (i == 0 && next == i + 1) {
      // The bottom layer alone is the opaque backdrop: fully opaque in
      // normal mode over black, its colours are the level's exactly.
      for (int32_t c = 0; c < k.channels; ++c) {
        std::memcpy(onto.colour[c] + span.x0, k.source3[c], span.count);
      }
      if (k.translucentRoot) std::memset(onto.alpha + span.x0, 255, span.count);
      if (l.paint >= 0 && k.paints[l.paint].overlay) {
        // A gradient or pattern overlay (a colour overlay here is refused):
        // over the colours at its opacity alone, as the bottom layer's
        // transparency is kept apart.
        const PsdLayerPaint& p = k.paints[l.paint];
        TakeOverlayAlpha(k, &p, y, 0);
        OverlayRow(k, p, y, span.x0, span.count);
        std::memset(k.overlayAlpha, p.overlayOpacity, span.count);
        Level opaque = onto;
        opaque.opaque = true;
        if (!Composite(k, opaque, k.overlay3, k.overlayAlpha, p.overlayBlend, span.x0,
                       span.count)) {
          k.failedLayer = i;
          return PsdRead::kPartialDissolve;
        }
      }
      i = next;
      continue;
    }
    const uint8_t opacity = i == 0 ? 255 : l.opacity;
    const BlendRow blend = i == 0 ? FindBlend(reinterpret_cast<const uint8_t*>("norm")) : l.blend;
    const bool adjusts = l.paint >= 0 && k.paints[l.paint].adjustment.kind != AdjustmentKind::kNone;
    if (next == i + 1 && l.knockout != 0) {
      CompositeKnockout(k, onto, k.starts[depth], k.source3, k.sourceAlpha, blend, span.x0,
                        span.count);
      i = next;
      continue;
    }
    if (next == i + 1) {
      // An adjustment changes colours and leaves the coverage of a level
      // with transparency as it is, like a layer clipped to it.
      Level adjusted = onto;
      if (adjusts) adjusted.opaque = true;
      if (PsdRead r = CompositeLayer(k, adjusted, onto, l, k.source3, k.sourceAlpha, k.overlayAlpha,
                                     opacity, blend, y, span.x0, span.count);
          r != PsdRead::kOk) {
        k.failedLayer = i;
        return r;
      }
      i = next;
      continue;
    }
    // The clipped layers paint onto the base's colours inside the base's
    // shape; the result then goes onto the level as the base would. An
    // adjustment base over transparency has no shape of its own there.
    if (adjusts && !onto.opaque) {
      k.failedLayer = i;
      return PsdRead::kAdjustmentLayer;
    }
    Level& clip = k.clip;
    for (int32_t c = 0; c < k.channels; ++c) {
      std::memcpy(clip.colour[c] + span.x0, k.source3[c], span.count);
    }
    std::memcpy(clip.alpha + span.x0, k.sourceAlpha, span.count);
    const Span base = span;
    for (int32_t j = i + 1; j < next; ++j) {
      if (!k.shown[j]) continue;
      Span s;
      bool on = false;
      if (!DecodeLayerRow(k, j, y, clip, &s, &on)) {
        return k.failedFeature != nullptr ? PsdRead::kAdjustmentLayer : PsdRead::kRowIncomplete;
      }
      if (!on) continue;
      // Only the part over the base's columns shows.
      const uint32_t lo = s.x0 > base.x0 ? s.x0 : base.x0;
      const uint32_t hi =
          s.x0 + s.count < base.x0 + base.count ? s.x0 + s.count : base.x0 + base.count;
      if (lo >= hi) continue;
      const uint32_t skip = lo - s.x0;
      // A clipped layer in another mode than normal is blended with the
      // base's colours as if they were opaque; where the base is partly
      // transparent no document shows what Photoshop blends with.
      if (!IsNormalBlend(k.layers[j].blend) && k.layers[j].paint < 0) {
        for (uint32_t x = lo; x < hi; ++x) {
          const uint8_t a = clip.alpha[x];
          if (a != 0 && a != 255 && k.sourceAlpha[skip + x - lo] != 0) {
            k.failedLayer = j;
            k.failedFeature =
                "a layer in a blend mode other than normal clipped to partly transparent pixels";
            return PsdRead::kUnsupportedClipping;
          }
        }
      }
      uint8_t* colour[3] = {k.source3[0] + skip, k.source3[1] + skip, k.source3[2] + skip};
      Level paint = clip;
      paint.opaque = true;  // the base's alpha stays as it is
      if (PsdRead r = CompositeLayer(k, paint, clip, k.layers[j], colour, k.sourceAlpha + skip,
                                     k.overlayAlpha + skip, k.layers[j].opacity,
                                     k.layers[j].blend, y, lo, hi - lo);
          r != PsdRead::kOk) {
        k.failedLayer = j;
        return r;
      }
    }
    uint8_t* colour[3] = {clip.colour[0] + base.x0, clip.colour[1] + base.x0,
                          clip.colour[2] + base.x0};
    ScaleRow(clip.alpha + base.x0, opacity, base.count);
    if (!Composite(k, onto, colour, clip.alpha + base.x0, blend, base.x0, base.count)) {
      k.failedLayer = i;
      return PsdRead::kPartialDissolve;
    }
    i = next;
  }
  if (k.translucentRoot && k.flattened) {
    const uint8_t* a = k.levels[0].alpha;
    for (uint32_t x = 0; x < w; ++x) {
      if (a[x] != 255) return PsdRead::kFlattenedBackdrop;
    }
  }
  return PsdRead::kOk;
}


}  // namespace kelvra
