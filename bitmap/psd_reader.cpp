// The Photoshop document readers. Every field is read through a cursor that
// cannot pass the end of the document, and everything that can be checked
// before the receiver's pixels are replaced is checked first: structure,
// lengths, PackBits byte counts, what the compositor cannot reproduce. What
// remains (a row whose packets end early, a file that cannot be read any
// more) can only show while decoding.
//
// Memory besides the receiver: one work block, sized before it is taken,
// holding the layer table, each channel's row stream with its windows, and
// a few rows of samples per group level. Nothing in it grows with the
// document's height.
#include "bitmap/psd_reader.h"

#include <cstring>

#include "bitmap/packbits.h"
#include "bitmap/planes.h"
#include "bitmap/psd_blend.h"
#include "bitmap/psd_layers.h"
#include "services/services.h"

namespace kelvra {

namespace {

constexpr uint32_t kVersionInfoResource = 1057;

struct Header {
  int32_t channels;  // signed count from the header
  int32_t rows;
  int32_t columns;
  int32_t decoded;   // channels to decode: 3, or 4 with alpha, at most `channels`
  uint16_t mode;
};

PsdRead ReadHeader(SourceCursor& c, bool withAlpha, Header* h) {
  uint8_t signature[4] = {};
  c.Read(signature, 4);
  const uint16_t version = c.BE16();
  c.Skip(6);  // reserved
  h->channels = c.S16();
  const uint32_t rows = c.BE32();
  const uint32_t columns = c.BE32();
  const uint16_t depth = c.BE16();
  h->mode = c.BE16();
  if (!c.ok()) return PsdRead::kTruncated;
  // A large document (version 2) has wider length fields throughout.
  if (std::memcmp(signature, "8BPS", 4) != 0 || version != 1) return PsdRead::kNotPhotoshop;
  h->decoded = withAlpha ? 4 : 3;
  if (h->channels < h->decoded) h->decoded = h->channels;
  if (h->decoded < 1) return PsdRead::kNoChannels;
  if (rows > INT32_MAX || columns > INT32_MAX) return PsdRead::kTooLarge;
  h->rows = static_cast<int32_t>(rows);
  h->columns = static_cast<int32_t>(columns);
  if (depth != 8) return PsdRead::kUnsupportedDepth;
  if (h->mode != 1 && h->mode != 3 && h->mode != 7) return PsdRead::kUnsupportedColourMode;
  return PsdRead::kOk;
}

// Where the sections after the header are.
struct Sections {
  uint64_t resourcesAt = 0, resourcesEnd = 0;
  uint64_t layerSectionAt = 0;  // its length field
  uint64_t imageAt = 0;         // the composite image data
};

PsdRead FindSections(SourceCursor c, Sections* s) {
  c.Skip(c.BE32());  // colour mode data
  SourceCursor resources = c.Sub(c.BE32());
  s->resourcesAt = resources.position();
  s->resourcesEnd = resources.end();
  s->layerSectionAt = c.position();
  c.Skip(c.BE32());  // layer and mask information
  if (!c.ok()) return PsdRead::kTruncated;
  s->imageAt = c.position();
  return PsdRead::kOk;
}

// False when the version information resource says that the composite is
// not the real image (newer editors store a blank one unless told to keep
// the merged image). A malformed resource section ends the search: the
// resources are otherwise not needed.
bool HasRealMergedData(SourceCursor resources) {
  while (resources.remaining() > 0) {
    resources.Skip(4);  // signature
    const uint16_t id = resources.BE16();
    const uint8_t nameLength = resources.U8();
    resources.Skip(nameLength + ((nameLength + 1) & 1));  // name, padded to even
    const uint32_t size = resources.BE32();
    SourceCursor data = resources.Sub(size);
    if (!data.ok()) return true;
    if (id == kVersionInfoResource) {
      data.Skip(4);  // version
      const uint8_t hasRealMergedData = data.U8();
      return !data.ok() || hasRealMergedData != 0;
    }
    resources.Skip(size & 1);  // odd data is followed by a pad byte
    if (!resources.ok()) return true;
  }
  return true;
}

// Where decoded rows go: into the receiver's raster, or one at a time to a
// row sink that never needs the whole image.
class Output {
 public:
  explicit Output(ABitMap* target) : target_(target) {}
  explicit Output(const PsdRowSink* sink) : sink_(sink) {}

  // Work bytes the output needs besides the raster: one row for a sink.
  uint64_t RowBytes(uint32_t columns) const {
    return sink_ != nullptr ? 4 * static_cast<uint64_t>(columns) : 0;
  }
  void SetRow(uint8_t* row) { row_ = row; }

  // Before the first row: the raster replaced by one of the document's
  // size, or the sink told the size.
  PsdRead Start(const Header& h) {
    if (sink_ != nullptr) {
      return sink_->begin(sink_->context, h.columns, h.rows) ? PsdRead::kOk : PsdRead::kStopped;
    }
    target_->Release();
    return target_->Allocate(h.columns, h.rows, 32) == nullptr ? PsdRead::kNoMemory : PsdRead::kOk;
  }
  // Where row y's pixels are to be put.
  uint8_t* Row(uint32_t y, uint32_t columns) {
    return sink_ != nullptr ? row_ : target_->pixels + 4 * static_cast<uint64_t>(columns) * y;
  }
  // Row y is complete; false when the sink wants no more.
  bool Done(uint32_t y) { return sink_ == nullptr || sink_->row(sink_->context, y, row_); }
  // Decoding failed after Start: a raster is never left partly decoded.
  PsdRead Fail(PsdRead why) {
    if (sink_ == nullptr) target_->Release();
    return why;
  }

 private:
  ABitMap* target_ = nullptr;
  const PsdRowSink* sink_ = nullptr;
  uint8_t* row_ = nullptr;
};

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

// Sets up a channel's stream over `rows` x `columns` samples whose data
// (compression value first) is `length` bytes at `at`, inside [.., end).
PsdRead CheckChannel(SourceWindow& window, uint64_t at, uint64_t length, uint64_t end,
                     uint32_t rows, uint32_t columns, RowStream* stream) {
  if (at > end || length > end - at || length < 2) return PsdRead::kTruncated;
  SourceCursor c(&window, at, at + length);
  const uint16_t compression = c.BE16();
  if (!c.ok()) return PsdRead::kTruncated;
  if (compression > 1) return PsdRead::kUnsupportedCompression;
  *stream = RowStream();
  stream->rows = rows;
  stream->columns = columns;
  stream->packed = compression == 1;
  if (compression == 0) {
    stream->dataAt = at + 2;
    if (static_cast<uint64_t>(rows) * columns > length - 2) return PsdRead::kTruncated;
    return PsdRead::kOk;
  }
  stream->countsAt = at + 2;
  stream->dataAt = at + 2 + 2 * static_cast<uint64_t>(rows);
  uint64_t dataEnd = 0;
  if (!CheckPackedRows(window, stream->countsAt, rows, columns, stream->dataAt, at + length,
                       &dataEnd)) {
    return PsdRead::kTruncated;
  }
  return PsdRead::kOk;
}

// Gives a stream its windows from the work block (only for a file); no
// more than `width` samples of a row are ever wanted.
void GiveWindows(Carver& carver, bool file, uint32_t width, RowStream* stream) {
  if (!file) return;
  stream->counts = carver.Take(2 * RowStream::kCountsHeld);
  stream->capacity = RowStream::WindowBytes(stream->columns < width ? stream->columns : width);
  stream->data = carver.Take(stream->capacity);
}

// A document of no pixels: nothing to decode, however many rows or columns
// it claims, and nothing to hold while doing so.
PsdRead EmptyRaster(const Header& h, Output& out) { return out.Start(h); }

// ---- the composite image ----------------------------------------------------

PsdRead ReadImageData(SourceWindow& window, uint64_t at, const Header& h, Output& out) {
  PsdSource& source = window.source();
  const uint64_t end = source.length();
  SourceCursor c(&window, at, end);
  const uint16_t compression = c.BE16();
  if (!c.ok()) return PsdRead::kTruncated;
  if (compression > 1) return PsdRead::kUnsupportedCompression;
  const uint32_t rows = static_cast<uint32_t>(h.rows);
  const uint32_t columns = static_cast<uint32_t>(h.columns);
  RowStream streams[4];
  if (compression == 0) {
    const uint64_t plane = static_cast<uint64_t>(rows) * columns;
    if (SizeMul(plane, static_cast<uint64_t>(h.decoded)) > c.remaining()) {
      return PsdRead::kTruncated;
    }
    for (int32_t i = 0; i < h.decoded; ++i) {
      streams[i].rows = rows;
      streams[i].columns = columns;
      streams[i].dataAt = c.position() + plane * static_cast<uint64_t>(i);
    }
  } else {
    // One byte count per row of every channel in the header, then the
    // planes one after the other; the planes read must all be present.
    const uint64_t countsAt = c.position();
    uint64_t dataAt = countsAt + 2 * static_cast<uint64_t>(rows) * h.channels;
    if (dataAt > end) return PsdRead::kTruncated;
    for (int32_t i = 0; i < h.decoded; ++i) {
      RowStream& s = streams[i];
      s.rows = rows;
      s.columns = columns;
      s.packed = true;
      s.countsAt = countsAt + 2 * static_cast<uint64_t>(rows) * i;
      s.dataAt = dataAt;
      if (!CheckPackedRows(window, s.countsAt, rows, columns, dataAt, end, &dataAt)) {
        return PsdRead::kTruncated;
      }
    }
  }

  if (rows == 0 || columns == 0) return EmptyRaster(h, out);

  // Work: the streams' windows and one row of each plane.
  const bool file = !source.inMemory();
  uint8_t* block = nullptr;
  uint8_t* planes[4] = {};
  uint8_t* zero = nullptr;
  for (int pass = 0; pass < 2; ++pass) {
    Carver carver(block);
    for (int32_t i = 0; i < h.decoded; ++i) {
      GiveWindows(carver, file, columns, &streams[i]);
      planes[i] = carver.Take(columns);
    }
    zero = carver.Take(columns);
    out.SetRow(carver.Take(out.RowBytes(columns)));
    if (pass == 0) {
      block = static_cast<uint8_t*>(TrackedAlloc(carver.used(), "LoadFromFile"));
      if (block == nullptr) return PsdRead::kNoMemory;
    }
  }
  std::memset(zero, 0, columns);

  if (PsdRead r = out.Start(h); r != PsdRead::kOk) {
    TrackedFree(block);
    return r;
  }
  for (RowStream& s : streams) s.Start();
  const uint8_t* red = planes[0];
  const uint8_t* green = h.decoded >= 2 ? planes[1] : zero;
  const uint8_t* blue = h.decoded >= 3 ? planes[2] : zero;
  const uint8_t* alpha = h.decoded == 4 ? planes[3] : nullptr;
  for (uint32_t r = 0; r < rows; ++r) {
    for (int32_t i = 0; i < h.decoded; ++i) {
      if (!streams[i].ReadRow(source, r, 0, columns, planes[i])) {
        TrackedFree(block);
        return out.Fail(PsdRead::kRowIncomplete);
      }
    }
    MergePlanes(red, green, blue, alpha, columns, out.Row(r, columns));
    if (!out.Done(r)) {
      TrackedFree(block);
      return PsdRead::kStopped;
    }
  }
  TrackedFree(block);
  return PsdRead::kOk;
}

// ---- the layer compositor ----------------------------------------------------

// Row planes of one group level (or of a clipping group): colour channels
// and alpha over the document's width.
struct Level {
  uint8_t* colour[3];
  uint8_t* alpha;
  bool opaque;
};

struct Compositor {
  PsdSource* source;
  const PsdLayer* layers;
  const bool* shown;
  RowStream* streams;
  int32_t count;
  int32_t channels;  // colour channels: 1 or 3
  uint32_t width;
  bool withAlpha;
  Level* levels;  // the root, then one per open group
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
  bool partialDissolve = false;  // a dissolve layer's alpha other than 0 or 255
};

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
  return k.streams[s].ReadRow(*k.source, m.row, m.first + (lo - m.x0), hi - lo, dst + (lo - x0));
}

// Decodes layer i's row y over its visible span: colour into source3,
// alpha (transparency x mask x fill, rounded at each product) into
// sourceAlpha. False in *visible when nothing of it is on this row.
bool DecodeLayerRow(Compositor& k, int32_t i, uint32_t y, Span* span, bool* visible) {
  const PsdLayer& l = k.layers[i];
  *visible = SpanOf(l.rect, y, k.width, span);
  if (!*visible) return true;
  const uint32_t n = span->count;
  for (int32_t c = 0; c < k.channels; ++c) {
    const int32_t s = l.stream[c];
    if (s < 0) {
      std::memset(k.source3[c], 0, n);
    } else if (!k.streams[s].ReadRow(*k.source, span->row, span->first, n, k.source3[c])) {
      return false;
    }
  }
  if (i == 0) {
    // The backdrop: opaque where the bottom layer reaches.
    std::memset(k.sourceAlpha, 255, n);
    const int32_t s = l.stream[kSlotTransparency];
    if (s >= 0 &&
        !k.streams[s].ReadRow(*k.source, span->row, span->first, n, k.outAlpha + span->x0)) {
      return false;
    }
    return true;
  }
  const int32_t t = l.stream[kSlotTransparency];
  if (t < 0) {
    std::memset(k.sourceAlpha, 255, n);
  } else if (!k.streams[t].ReadRow(*k.source, span->row, span->first, n, k.sourceAlpha)) {
    return false;
  }
  if (l.maskEnabled) {
    if (!MaskRow(k, l, y, span->x0, n, k.maskRow)) return false;
    MulRows(k.sourceAlpha, k.maskRow, n);
  }
  ScaleRow(k.sourceAlpha, l.fill, n);
  return true;
}

// Source colour and alpha rows (over columns [x0, x0 + n)) onto a level.
void Composite(Compositor& k, Level& onto, uint8_t* const colour[3], const uint8_t* alpha,
               BlendRow blend, uint32_t x0, uint32_t n) {
  if (BlendNeedsHardAlpha(blend) && !HardAlphaOnly(alpha, n)) k.partialDissolve = true;
  if (onto.opaque) {
    uint8_t* const mixed[3] = {k.blended, k.blended + n, k.blended + 2 * static_cast<uint64_t>(n)};
    const uint8_t* const cs[3] = {colour[0], colour[1], colour[2]};
    if (!IsNormalBlend(blend)) {
      const uint8_t* const cb[3] = {onto.colour[0] + x0, onto.colour[k.channels == 3 ? 1 : 0] + x0,
                                    onto.colour[k.channels == 3 ? 2 : 0] + x0};
      blend(cb, cs, mixed, k.channels, n);
    }
    for (int32_t c = 0; c < k.channels; ++c) {
      OverOpaque(onto.colour[c] + x0, IsNormalBlend(blend) ? cs[c] : mixed[c], alpha, n);
    }
    return;
  }
  uint8_t* cb[3] = {onto.colour[0] + x0, onto.colour[1] + x0, onto.colour[2] + x0};
  const uint8_t* cs[3] = {colour[0], colour[1], colour[2]};
  OverTranslucent(cb, onto.alpha + x0, cs, alpha, blend, k.channels, k.blended, n);
}

// One row of the composite into the root level.
bool CompositeRow(Compositor& k, uint32_t y) {
  const uint32_t w = k.width;
  int32_t depth = 0;
  for (int32_t c = 0; c < k.channels; ++c) std::memset(k.levels[0].colour[c], 0, w);
  std::memset(k.levels[0].alpha, 255, w);
  std::memset(k.outAlpha, 0, w);
  int32_t i = 0;
  while (i < k.count) {
    const PsdLayer& l = k.layers[i];
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
      ++i;
      continue;
    }
    if (l.kind == LayerKind::kGroupEnd) {
      Level& child = k.levels[depth];
      Level& parent = k.levels[--depth];
      // The group's alpha: its opacity times its mask.
      if (l.maskEnabled) {
        if (!MaskRow(k, l, y, 0, w, k.groupAlpha)) return false;
        ScaleRow(k.groupAlpha, l.opacity, w);
      } else {
        std::memset(k.groupAlpha, l.opacity, w);
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
        Composite(k, parent, child.colour, child.alpha, l.blend, 0, w);
      }
      ++i;
      continue;
    }
    // A layer of samples, alone or as the base of the layers clipped to it.
    Level& onto = k.levels[depth];
    Span span;
    bool visible = false;
    if (!DecodeLayerRow(k, i, y, &span, &visible)) return false;
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
      i = next;
      continue;
    }
    const uint8_t opacity = i == 0 ? 255 : l.opacity;
    const BlendRow blend = i == 0 ? FindBlend(reinterpret_cast<const uint8_t*>("norm")) : l.blend;
    if (next == i + 1) {
      ScaleRow(k.sourceAlpha, opacity, span.count);
      Composite(k, onto, k.source3, k.sourceAlpha, blend, span.x0, span.count);
      i = next;
      continue;
    }
    // The clipped layers paint onto the base's colours inside the base's
    // shape; the result then goes onto the level as the base would.
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
      if (!DecodeLayerRow(k, j, y, &s, &on)) return false;
      if (!on) continue;
      // Only the part over the base's columns shows.
      const uint32_t lo = s.x0 > base.x0 ? s.x0 : base.x0;
      const uint32_t hi =
          s.x0 + s.count < base.x0 + base.count ? s.x0 + s.count : base.x0 + base.count;
      if (lo >= hi) continue;
      const uint32_t skip = lo - s.x0;
      ScaleRow(k.sourceAlpha + skip, k.layers[j].opacity, hi - lo);
      uint8_t* colour[3] = {k.source3[0] + skip, k.source3[1] + skip, k.source3[2] + skip};
      Level paint = clip;
      paint.opaque = true;  // the base's alpha stays as it is
      Composite(k, paint, colour, k.sourceAlpha + skip, k.layers[j].blend, lo, hi - lo);
    }
    uint8_t* colour[3] = {clip.colour[0] + base.x0, clip.colour[1] + base.x0,
                          clip.colour[2] + base.x0};
    ScaleRow(clip.alpha + base.x0, opacity, base.count);
    Composite(k, onto, colour, clip.alpha + base.x0, blend, base.x0, base.count);
    i = next;
  }
  return true;
}

PsdRead CompositeLayers(SourceWindow& window, const Header& h, const LayerSection& section,
                        bool excludeOwnLayer, bool withAlpha, Output& out) {
  PsdSource& source = window.source();
  if (section.deepLayers) return PsdRead::kDeepLayers;
  // Layers hold red, green and blue, or one gray channel.
  if (h.mode == 7) return PsdRead::kUnsupportedColourMode;
  const int32_t channels = h.mode == 1 || h.decoded < 3 ? 1 : 3;
  const int32_t count = section.count;
  const uint32_t width = static_cast<uint32_t>(h.columns);

  // The layer table first: everything else is sized from it.
  const uint64_t tableBytes = SizeAdd(SizeMul(static_cast<uint64_t>(count), sizeof(PsdLayer)),
                                      static_cast<uint64_t>(count));
  uint8_t* table = static_cast<uint8_t*>(TrackedAlloc(tableBytes, "LoadFromFile"));
  if (table == nullptr) return PsdRead::kNoMemory;
  PsdLayer* layers = reinterpret_cast<PsdLayer*>(table);
  bool* shown = reinterpret_cast<bool*>(table + static_cast<uint64_t>(count) * sizeof(PsdLayer));
  PsdRead result = ReadLayerRecords(window, section, channels, excludeOwnLayer, layers);
  if (result != PsdRead::kOk) {
    TrackedFree(table);
    return result;
  }
  MarkShownLayers(layers, count, shown);

  // Refusals, and the channels each shown layer needs.
  int32_t streamCount = 0;
  int32_t deepest = 0, depth = 0;
  for (int32_t i = 0; i < count && result == PsdRead::kOk; ++i) {
    PsdLayer& l = layers[i];
    if (!shown[i]) continue;
    if (l.unsupported != PsdRead::kOk) {
      result = l.unsupported;
      break;
    }
    if (l.kind == LayerKind::kGroupStart) {
      if (++depth > deepest) deepest = depth;
      continue;
    }
    if (l.kind == LayerKind::kGroupEnd) --depth;
    for (int32_t slot = 0; slot < kSlots; ++slot) {
      const PsdChannelRef& ch = l.channels[slot];
      if (!ch.present) continue;
      const bool colour = slot < kSlotTransparency;
      if (l.kind == LayerKind::kGroupEnd && slot != kSlotMask) continue;
      if (i == 0 && slot == kSlotMask) continue;
      if (i == 0 && slot == kSlotTransparency && !withAlpha) continue;
      if (slot == kSlotMask && !l.maskEnabled) continue;
      if (colour && slot >= channels) continue;
      const PsdRect& rect = slot == kSlotMask ? l.maskRect : l.rect;
      if (rect.Rows() == 0 || rect.Columns() == 0) continue;
      RowStream probe;
      result = CheckChannel(window, ch.at, ch.length, section.infoEnd, rect.Rows(),
                            rect.Columns(), &probe);
      if (result != PsdRead::kOk) break;
      l.stream[slot] = streamCount++;
    }
  }
  if (result != PsdRead::kOk) {
    TrackedFree(table);
    return result;
  }

  if (h.rows == 0 || h.columns == 0) {
    TrackedFree(table);
    return EmptyRaster(h, out);
  }

  // The work block: streams with their windows, the levels' rows, scratch.
  const bool file = !source.inMemory();
  uint8_t* block = nullptr;
  Compositor k{};
  for (int pass = 0; pass < 2; ++pass) {
    Carver carver(block);
    k.streams = carver.TakeArray<RowStream>(static_cast<uint64_t>(streamCount));
    for (int32_t i = 0; i < count; ++i) {
      for (int32_t slot = 0; slot < kSlots; ++slot) {
        const int32_t s = layers[i].stream[slot];
        if (s < 0) continue;
        const PsdRect& rect = slot == kSlotMask ? layers[i].maskRect : layers[i].rect;
        RowStream stream;
        if (pass == 1) {
          CheckChannel(window, layers[i].channels[slot].at, layers[i].channels[slot].length,
                       section.infoEnd, rect.Rows(), rect.Columns(), &stream);
        } else {
          stream.columns = rect.Columns();
        }
        GiveWindows(carver, file, width, &stream);
        if (pass == 1) k.streams[s] = stream;
      }
    }
    k.levels = carver.TakeArray<Level>(static_cast<uint64_t>(deepest) + 1);
    for (int32_t d = 0; d <= deepest + 1; ++d) {
      Level level{};
      for (int32_t c = 0; c < 3; ++c) level.colour[c] = carver.Take(c < channels ? width : 0);
      level.alpha = carver.Take(width);
      if (pass == 1) {
        if (d <= deepest) {
          k.levels[d] = level;
        } else {
          k.clip = level;
        }
      }
    }
    for (uint8_t*& row : k.source3) row = carver.Take(width);
    k.sourceAlpha = carver.Take(width);
    k.maskRow = carver.Take(width);
    k.blended = carver.Take(3 * static_cast<uint64_t>(width));
    k.groupAlpha = carver.Take(width);
    k.outAlpha = carver.Take(width);
    k.zero = carver.Take(width);
    out.SetRow(carver.Take(out.RowBytes(width)));
    if (pass == 0) {
      block = static_cast<uint8_t*>(TrackedAlloc(carver.used(), "LoadFromFile"));
      if (block == nullptr) {
        TrackedFree(table);
        return PsdRead::kNoMemory;
      }
    }
  }
  // Colour planes of a gray document beyond the first are never read or
  // written; they point at the zero row so that no pointer is left null.
  for (int32_t d = 0; d <= deepest; ++d) {
    for (int32_t c = channels; c < 3; ++c) k.levels[d].colour[c] = k.zero;
  }
  for (int32_t c = channels; c < 3; ++c) k.clip.colour[c] = k.zero;
  std::memset(k.zero, 0, width);
  // The root starts from the opaque black backdrop and stays opaque.
  k.levels[0].opaque = true;
  k.source = &source;
  k.layers = layers;
  k.shown = shown;
  k.count = count;
  k.channels = channels;
  k.width = width;
  k.withAlpha = withAlpha;

  if (PsdRead r = out.Start(h); r != PsdRead::kOk) {
    TrackedFree(block);
    TrackedFree(table);
    return r;
  }
  for (int32_t s = 0; s < streamCount; ++s) k.streams[s].Start();
  const Level& root = k.levels[0];
  const uint8_t* green = channels == 3 ? root.colour[1] : k.zero;
  const uint8_t* blue = channels == 3 ? root.colour[2] : k.zero;
  for (uint32_t y = 0; y < static_cast<uint32_t>(h.rows); ++y) {
    if (!CompositeRow(k, y)) {
      result = PsdRead::kRowIncomplete;
      break;
    }
    if (k.partialDissolve) {
      // Dissolve would scatter such pixels at random: not reproducible.
      result = PsdRead::kUnknownBlendMode;
      break;
    }
    MergePlanes(root.colour[0], green, blue, withAlpha ? k.outAlpha : nullptr, width,
                out.Row(y, width));
    if (!out.Done(y)) {
      result = PsdRead::kStopped;
      break;
    }
  }
  TrackedFree(block);
  TrackedFree(table);
  if (result == PsdRead::kOk || result == PsdRead::kStopped) return result;
  return out.Fail(result);
}

// ---- the two readings --------------------------------------------------------

PsdRead ReadComposite(SourceWindow& window, bool withAlpha, Output& out) {
  SourceCursor c(&window, 0, window.source().length());
  Header h;
  if (PsdRead r = ReadHeader(c, withAlpha, &h); r != PsdRead::kOk) return r;
  Sections s;
  if (PsdRead r = FindSections(c, &s); r != PsdRead::kOk) return r;
  const bool real = HasRealMergedData(SourceCursor(&window, s.resourcesAt, s.resourcesEnd));
  const bool present = s.imageAt < window.source().length();
  if (real && present) return ReadImageData(window, s.imageAt, h, out);
  // No real composite: the visible layers make it.
  LayerSection section;
  if (PsdRead r = ReadLayerSection(SourceCursor(&window, s.layerSectionAt, s.imageAt), &section);
      r != PsdRead::kOk) {
    return r;
  }
  if (section.count == 0) return present ? PsdRead::kNoMergedData : PsdRead::kTruncated;
  return CompositeLayers(window, h, section, false, withAlpha, out);
}

PsdRead ReadLayered(SourceWindow& window, bool withAlpha, Output& out) {
  SourceCursor c(&window, 0, window.source().length());
  Header h;
  if (PsdRead r = ReadHeader(c, withAlpha, &h); r != PsdRead::kOk) return r;
  // The layer section is read from its length field on; a cut inside it
  // shows there.
  SourceCursor after = c;
  after.Skip(after.BE32());  // colour mode data
  after.Skip(after.BE32());  // image resources
  if (!after.ok()) return PsdRead::kTruncated;
  LayerSection section;
  if (PsdRead r = ReadLayerSection(after, &section); r != PsdRead::kOk) return r;
  // No layer section, no layer info or no layers: the composite is read.
  if (section.count == 0) return ReadComposite(window, withAlpha, out);
  return CompositeLayers(window, h, section, true, withAlpha, out);
}

// Runs `read` over the file at `path`, read piece by piece; the reason of a
// failure into `why` when it is given and `read` left it empty.
template <typename Read>
int32_t ReadFile(const char* path, Read read, PsdRefusal* why = nullptr) {
  if (why != nullptr) why->text[0] = 0;
  FileHandle file = path != nullptr ? FileOpen(path, false) : 0;
  PsdRead r = PsdRead::kNoDocument;
  if (file != 0) {
    const int32_t size = FileSize(file);
    if (size > 0) {
      PsdSource source = PsdSource::File(file, static_cast<uint64_t>(size));
      r = read(source);
    }
    FileClose(file, false);
  }
  if (why != nullptr && why->text[0] == 0 && r != PsdRead::kOk && r != PsdRead::kStopped) {
    StrCopyBounded(PsdReadText(r), why->text, sizeof why->text - 1);
  }
  return r == PsdRead::kOk ? 0 : -1;
}

}  // namespace

const char* PsdReadText(PsdRead why) {
  switch (why) {
    case PsdRead::kOk: return "";
    case PsdRead::kNoDocument: return "the file is missing, empty or cannot be read";
    case PsdRead::kTruncated: return "the document ends before its data does";
    case PsdRead::kNotPhotoshop: return "not a Photoshop document (or a large-document format)";
    case PsdRead::kNoChannels: return "a document without channels";
    case PsdRead::kTooLarge: return "a document too large to read";
    case PsdRead::kUnsupportedDepth: return "a document of other than 8 bits per channel";
    case PsdRead::kUnsupportedColourMode: return "a document in a colour mode other than RGB or grayscale";
    case PsdRead::kUnsupportedCompression: return "channel data compressed other than raw or PackBits";
    case PsdRead::kNoMergedData: return "a document without a merged image or layers";
    case PsdRead::kBadLayerCount: return "a layer count of -32768";
    case PsdRead::kRowIncomplete: return "a row of channel data ends early or cannot be read";
    case PsdRead::kNoMemory: return "not enough memory to read the document";
    case PsdRead::kUnknownBlendMode: return "a layer in a blend mode that cannot be reproduced";
    case PsdRead::kAdjustmentLayer: return "an adjustment or fill layer";
    case PsdRead::kVectorMask: return "a vector mask";
    case PsdRead::kLayerEffects: return "layer effects";
    case PsdRead::kUnsupportedMask: return "a layer mask with density, feather or inversion";
    case PsdRead::kUnsupportedClipping: return "a clipping mask that cannot be reproduced";
    case PsdRead::kBadGroups: return "groups that do not pair up or nest too deep";
    case PsdRead::kDeepLayers: return "16- or 32-bit layers";
    case PsdRead::kStopped: return "";
  }
  return "";
}

PsdRead ReadCompositeImage(PsdSource& source, bool withAlpha, ABitMap* target) {
  if (source.length() == 0) return PsdRead::kNoDocument;
  SourceWindow window(&source);
  Output out(target);
  return ReadComposite(window, withAlpha, out);
}

PsdRead ReadCompositeImage(PsdSource& source, bool withAlpha, const PsdRowSink& sink) {
  if (source.length() == 0) return PsdRead::kNoDocument;
  SourceWindow window(&source);
  Output out(&sink);
  return ReadComposite(window, withAlpha, out);
}

PsdRead ReadCompositeImage(const uint8_t* bytes, uint64_t length, bool withAlpha,
                           ABitMap* target) {
  if (bytes == nullptr || length == 0) return PsdRead::kNoDocument;
  PsdSource source = PsdSource::Memory(bytes, length);
  return ReadCompositeImage(source, withAlpha, target);
}

PsdRead ReadLayeredImage(PsdSource& source, bool withAlpha, ABitMap* target) {
  if (source.length() == 0) return PsdRead::kNoDocument;
  SourceWindow window(&source);
  Output out(target);
  return ReadLayered(window, withAlpha, out);
}

PsdRead ReadLayeredImage(PsdSource& source, bool withAlpha, const PsdRowSink& sink) {
  if (source.length() == 0) return PsdRead::kNoDocument;
  SourceWindow window(&source);
  Output out(&sink);
  return ReadLayered(window, withAlpha, out);
}

PsdRead ReadLayeredImage(const uint8_t* bytes, uint64_t length, bool withAlpha,
                         ABitMap* target) {
  if (bytes == nullptr || length == 0) return PsdRead::kNoDocument;
  PsdSource source = PsdSource::Memory(bytes, length);
  return ReadLayeredImage(source, withAlpha, target);
}

PsdRead ReadFileRows(const char* path, bool layered, bool withAlpha, const PsdRowSink& sink,
                     PsdRefusal* why) {
  PsdRead result = PsdRead::kNoDocument;
  ReadFile(
      path,
      [&](PsdSource& s) {
        result = layered ? ReadLayeredImage(s, withAlpha, sink)
                         : ReadCompositeImage(s, withAlpha, sink);
        return result;
      },
      why);
  return result;
}

int32_t ABitMap::LoadFromFile(const char* path, bool withAlpha, const uint8_t* bytes,
                              uint32_t length) {
  if (bytes != nullptr) {
    return ReadCompositeImage(bytes, length, withAlpha, this) == PsdRead::kOk ? 0 : -1;
  }
  return ReadFile(path, [&](PsdSource& s) { return ReadCompositeImage(s, withAlpha, this); });
}

int32_t ABitMap::LoadLayeredFromFile(const char* path, bool withAlpha, PsdRefusal* why) {
  return ReadFile(
      path, [&](PsdSource& s) { return ReadLayeredImage(s, withAlpha, this); }, why);
}

}  // namespace kelvra
