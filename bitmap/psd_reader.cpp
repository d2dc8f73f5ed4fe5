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

#include <cstdlib>
#include <cstring>

#include "bitmap/packbits.h"
#include "bitmap/planes.h"
#include "bitmap/psd_compositor.h"
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
  Output(ABitMap* target, PsdRefusal* why) : target_(target), why_(why) {}
  Output(const PsdRowSink* sink, PsdRefusal* why) : sink_(sink), why_(why) {}

  // A refusal that names a layer: "layer 'NAME': FEATURE".
  PsdRead Refuse(PsdRead code, const char* name, const char* feature) {
    if (why_ != nullptr) {
      char* end = StrCopyBounded("layer '", why_->text, sizeof why_->text - 1);
      end = StrCopyBounded(name, end, static_cast<int32_t>(why_->text + sizeof why_->text - 1 - end));
      end = StrCopyBounded("': ", end, static_cast<int32_t>(why_->text + sizeof why_->text - 1 - end));
      StrCopyBounded(feature != nullptr ? feature : PsdReadText(code), end,
                     static_cast<int32_t>(why_->text + sizeof why_->text - 1 - end));
    }
    return code;
  }

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
  PsdRefusal* why_ = nullptr;
  uint8_t* row_ = nullptr;
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

// Sets up a stream for each of the h.decoded planes of the composite image
// data at `at`.
PsdRead ImageStreams(SourceWindow& window, uint64_t at, const Header& h, RowStream streams[4]) {
  const uint64_t end = window.source().length();
  SourceCursor c(&window, at, end);
  const uint16_t compression = c.BE16();
  if (!c.ok()) return PsdRead::kTruncated;
  if (compression > 1) return PsdRead::kUnsupportedCompression;
  const uint32_t rows = static_cast<uint32_t>(h.rows);
  const uint32_t columns = static_cast<uint32_t>(h.columns);
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
    return PsdRead::kOk;
  }
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
  return PsdRead::kOk;
}

PsdRead ReadImageData(SourceWindow& window, uint64_t at, const Header& h, Output& out) {
  PsdSource& source = window.source();
  const uint32_t rows = static_cast<uint32_t>(h.rows);
  const uint32_t columns = static_cast<uint32_t>(h.columns);
  RowStream streams[4];
  if (PsdRead r = ImageStreams(window, at, h, streams); r != PsdRead::kOk) return r;

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

// The layers' channel streams as the compositor's source of rows.
struct LayerStreams {
  PsdSource* source;
  RowStream* streams;
};

bool ReadStreamRow(void* context, int32_t stream, uint32_t row, uint32_t first, uint32_t n,
                   uint8_t* dst) {
  LayerStreams* s = static_cast<LayerStreams*>(context);
  return s->streams[stream].ReadRow(*s->source, row, first, n, dst);
}

// The document's merged image, for a reading that compares the layers'
// picture with it instead of delivering rows.
struct MergedCheck {
  uint64_t imageAt;  // the composite image data
  Header h;          // the header, its alpha plane counted
  bool alpha;        // the merged image has transparency
  int32_t tolerance;  // levels
};

// Whether row y of the layers' picture (the root level) is the merged
// image's, within `tolerance` levels of transparency and of colour weighted
// by it.
bool RowMatches(const Level& root, const uint8_t* const merged[4], int32_t channels,
                bool mergedAlpha, uint32_t width, int32_t tolerance) {
  for (uint32_t x = 0; x < width; ++x) {
    const int32_t a = root.alpha[x], ma = mergedAlpha ? merged[channels][x] : 255;
    if (std::abs(a - ma) > tolerance) return false;
    for (int32_t c = 0; c < channels; ++c) {
      if (std::abs(root.colour[c][x] * a - merged[c][x] * ma) > tolerance * 255) return false;
    }
  }
  return true;
}

PsdRead CompositeLayers(SourceWindow& window, const Header& h, const LayerSection& section,
                        bool excludeOwnLayer, bool withAlpha, Output& out,
                        const MergedCheck* check = nullptr, uint64_t mergedAt = 0);

// Krita saves its own blend modes (erase, grain merge, behind, ...) under
// the key "norm", so its records do not say what it drew. Its documents
// (known by the NUL that ends every Unicode name) are read only when their
// layers as recorded, the library's own layer included, give the merged
// image Krita stored: the picture it showed. Krita rounds each blend on its
// own, up to a level a layer (see the Krita round trips).
PsdRead CheckEditorPicture(SourceWindow& window, const LayerSection& section,
                           const PsdLayer* layers, const bool* shown, uint64_t mergedAt) {
  int32_t blended = 0;
  bool krita = false;
  for (int32_t i = 0; i < section.count; ++i) {
    krita = krita || layers[i].nulEndedName;
    blended += i > 0 && shown[i] && layers[i].kind != LayerKind::kGroupStart;
  }
  if (!krita || mergedAt == 0) return PsdRead::kOk;
  SourceCursor c(&window, 0, window.source().length());
  MergedCheck check{mergedAt, Header(), section.mergedAlpha, blended};
  if (PsdRead r = ReadHeader(c, true, &check.h); r != PsdRead::kOk) return r;
  Output none(static_cast<ABitMap*>(nullptr), nullptr);
  return CompositeLayers(window, check.h, section, false, false, none, &check);
}

PsdRead CompositeLayers(SourceWindow& window, const Header& h, const LayerSection& section,
                        bool excludeOwnLayer, bool withAlpha, Output& out,
                        const MergedCheck* check, uint64_t mergedAt) {
  PsdSource& source = window.source();
  if (section.deepLayers) return PsdRead::kDeepLayers;
  // Layers hold red, green and blue, or one gray channel.
  if (h.mode == 7) return PsdRead::kUnsupportedColourMode;
  const int32_t channels = h.mode == 1 || h.decoded < 3 ? 1 : 3;
  const int32_t count = section.count;
  const uint32_t width = static_cast<uint32_t>(h.columns);

  // The layer table first: everything else is sized from it. Beside it,
  // room for the settings of every layer that paints from them (at most
  // one a layer), and whether each layer shows.
  const uint64_t n = static_cast<uint64_t>(count);
  const uint64_t tableBytes =
      SizeAdd(SizeMul(n, sizeof(PsdLayer) + sizeof(PsdLayerPaint)), n);
  uint8_t* table = static_cast<uint8_t*>(TrackedAlloc(tableBytes, "LoadFromFile"));
  if (table == nullptr) return PsdRead::kNoMemory;
  PsdLayer* layers = reinterpret_cast<PsdLayer*>(table);
  PsdLayerPaint* paints = reinterpret_cast<PsdLayerPaint*>(table + n * sizeof(PsdLayer));
  bool* shown =
      reinterpret_cast<bool*>(table + n * (sizeof(PsdLayer) + sizeof(PsdLayerPaint)));
  int32_t paintCount = 0;
  PsdRead result =
      ReadLayerRecords(window, section, channels, excludeOwnLayer, layers, paints, &paintCount);
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
      // A group's name is on its record above its layers.
      const PsdLayer& named = l.kind == LayerKind::kGroupStart ? layers[l.partner] : l;
      result = out.Refuse(l.unsupported, named.name, l.feature);
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
      // (The bottom layer's transparency lays a gradient overlay.)
      if (i == 0 && slot == kSlotTransparency && !withAlpha &&
          !(l.paint >= 0 && paints[l.paint].overlayGradient)) {
        continue;
      }
      if (slot == kSlotMask && !l.maskEnabled) continue;
      if (colour && slot >= channels) continue;
      // A solid colour fill's pixels are its colour, an adjustment's what
      // lies below: only their mask is read.
      if (l.paint >= 0 && slot != kSlotMask &&
          (paints[l.paint].solidFill ||
           paints[l.paint].adjustment.kind != AdjustmentKind::kNone)) {
        continue;
      }
      const PsdRect& rect = slot == kSlotMask ? l.maskRect : l.rect;
      if (rect.Rows() == 0 || rect.Columns() == 0) continue;
      RowStream probe;
      result = CheckChannel(window, ch.at, ch.length, section.infoEnd, rect.Rows(),
                            rect.Columns(), &probe);
      if (result != PsdRead::kOk) break;
      l.stream[slot] = streamCount++;
    }
  }
  if (result == PsdRead::kOk && check == nullptr && excludeOwnLayer) {
    result = CheckEditorPicture(window, section, layers, shown, mergedAt);
  }
  // The merged image's planes, for a check against it.
  RowStream merged[4];
  const int32_t mergedPlanes = check == nullptr ? 0 : check->alpha ? channels + 1 : channels;
  if (result == PsdRead::kOk && check != nullptr) {
    Header planes = check->h;
    planes.decoded = mergedPlanes;
    result = planes.channels < mergedPlanes ? PsdRead::kNoChannels
                                            : ImageStreams(window, check->imageAt, planes, merged);
  }
  if (result != PsdRead::kOk) {
    TrackedFree(table);
    return result;
  }

  // The pattern the pattern overlays draw: one a document.
  PsdPattern pattern;
  const PsdLayerPaint* patterned = nullptr;
  for (int32_t i = 0; i < count && result == PsdRead::kOk; ++i) {
    const PsdLayer& l = layers[i];
    if (!shown[i] || l.paint < 0 || !paints[l.paint].patternOverlay) continue;
    const PsdLayerPaint& p = paints[l.paint];
    const char* refused = nullptr;
    if (patterned == nullptr) {
      const PatternFind found = FindPattern(window, section.patternsAt, section.patternsEnd,
                                            p.patternId, p.patternIdLength,
                                            p.patternScale != 100, &pattern);
      if (found == PatternFind::kMissing) {
        refused = "a pattern overlay whose pattern the document does not hold";
      } else if (found == PatternFind::kUnsupported) {
        refused = "a pattern overlay whose pattern is not RGB, has transparency, is larger "
                  "than 2048 pixels or has an odd side below 100 %";
      } else if (found == PatternFind::kUnreadable) {
        refused = "a pattern overlay whose pattern cannot be read";
      }
      patterned = &p;
    } else if (p.patternIdLength != patterned->patternIdLength ||
               std::memcmp(p.patternId, patterned->patternId, p.patternIdLength) != 0 ||
               (p.patternScale != 100 && (pattern.rows % 2 != 0 || pattern.columns % 2 != 0))) {
      refused = "pattern overlays of more than one pattern, or an odd-sized one below 100 %";
    }
    if (refused != nullptr) result = out.Refuse(PsdRead::kLayerEffects, l.name, refused);
  }
  if (result != PsdRead::kOk) {
    TrackedFree(table);
    return result;
  }

  if (h.rows == 0 || h.columns == 0) {
    TrackedFree(table);
    return check != nullptr ? PsdRead::kOk : EmptyRaster(h, out);
  }

  // The work block: streams with their windows, the compositor's rows.
  const bool file = !source.inMemory();
  uint8_t* block = nullptr;
  Compositor k{};
  uint8_t* planes = nullptr;
  LayerStreams streams{&source, nullptr};
  uint8_t* mergedRow[4] = {};
  for (int pass = 0; pass < 2; ++pass) {
    Carver carver(block);
    streams.streams = carver.TakeArray<RowStream>(static_cast<uint64_t>(streamCount));
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
        if (pass == 1) streams.streams[s] = stream;
      }
    }
    CarveCompositor(carver, deepest, channels, width, &k);
    for (int32_t i = 0; i < mergedPlanes; ++i) {
      GiveWindows(carver, file, width, &merged[i]);
      mergedRow[i] = carver.Take(width);
    }
    planes = carver.Take(patterned != nullptr ? 3 * uint64_t{pattern.rows} * pattern.columns : 0);
    out.SetRow(carver.Take(out.RowBytes(width)));
    if (pass == 0) {
      block = static_cast<uint8_t*>(TrackedAlloc(carver.used(), "LoadFromFile"));
      if (block == nullptr) {
            TrackedFree(table);
        return PsdRead::kNoMemory;
      }
    }
  }
  StartCompositor(&k, layers, paints, shown, count, deepest, channels, width, h.rows,
                  h.channels, section.mergedAlpha, withAlpha,
                  LayerRowSource{ReadStreamRow, &streams});
  k.pattern = &pattern;
  k.patternPlanes = planes;
  if (patterned != nullptr && !DecodePattern(window, pattern, planes)) {
    TrackedFree(block);
    TrackedFree(table);
    return PsdRead::kTruncated;
  }

  // The box each gradient overlay is laid in (PsdLayerPaint::box): the
  // canvas on a fill; on a layer of pixels, from a pass over its
  // transparency before the rows are composited (and before the receiver
  // is touched: what stops it leaves the receiver as it was).
  for (int32_t i = 0; i < count && result == PsdRead::kOk; ++i) {
    const PsdLayer& l = layers[i];
    if (!shown[i] || l.paint < 0 || !paints[l.paint].overlayGradient) continue;
    PsdLayerPaint& p = paints[l.paint];
    const int32_t s = l.stream[kSlotTransparency];
    if (p.solidFill) {
      p.box = GradientBox{0, 0, static_cast<double>(width), static_cast<double>(h.rows)};
    } else if (l.rect.left < 0 || l.rect.top < 0 ||
               static_cast<int64_t>(l.rect.left) + l.rect.Columns() > width ||
               static_cast<int64_t>(l.rect.top) + l.rect.Rows() > h.rows) {
      // What lies past the canvas would count, and is not read.
      result = out.Refuse(PsdRead::kLayerEffects, l.name,
                          "a gradient overlay on a layer reaching past the canvas");
    } else if (s < 0) {
      p.box = GradientBox{static_cast<double>(l.rect.left), static_cast<double>(l.rect.top),
                          static_cast<double>(l.rect.right), static_cast<double>(l.rect.bottom)};
    } else {
      OpaqueBox box;
      streams.streams[s].Start();
      for (uint32_t row = 0; row < l.rect.Rows() && result == PsdRead::kOk; ++row) {
        if (!streams.streams[s].ReadRow(source, row, 0, l.rect.Columns(), k.maskRow)) {
          result = PsdRead::kRowIncomplete;
          break;
        }
        box.Grow(k.maskRow, l.rect.left, l.rect.Columns(), static_cast<int64_t>(l.rect.top) + row);
      }
      p.box = box.Box();
    }
  }
  if (result != PsdRead::kOk) {
    TrackedFree(block);
    TrackedFree(table);
    return result;
  }
  if (PsdRead r = check != nullptr ? PsdRead::kOk : out.Start(h); r != PsdRead::kOk) {
    TrackedFree(block);
    TrackedFree(table);
    return r;
  }
  for (int32_t s = 0; s < streamCount; ++s) streams.streams[s].Start();
  for (int32_t i = 0; i < mergedPlanes; ++i) merged[i].Start();
  const Level& root = k.levels[0];
  const uint8_t* green = channels == 3 ? root.colour[1] : k.zero;
  const uint8_t* blue = channels == 3 ? root.colour[2] : k.zero;
  for (uint32_t y = 0; y < static_cast<uint32_t>(h.rows); ++y) {
    result = CompositeRow(k, y);
    if (result != PsdRead::kOk) {
      if (result == PsdRead::kTextEdges) {
        out.Refuse(result, layers[k.failedLayer].name,
                   "a text layer whose anti-aliased edges lie over other layers (Photoshop "
                   "blends text edges with a gamma of its own)");
      } else if (result == PsdRead::kAdjustmentLayer) {
        out.Refuse(result, layers[k.failedLayer].name,
                   k.failedFeature != nullptr
                       ? k.failedFeature
                       : "an adjustment layer with layers clipped to it over transparent pixels");
      } else if (result == PsdRead::kUnknownBlendMode) {
        out.Refuse(result, layers[k.failedLayer].name,
                   "fill opacity below 100 % in linear light over partly transparent pixels "
                   "of the layer");
      } else if (result == PsdRead::kPartialDissolve) {
        out.Refuse(result, layers[k.failedLayer].name,
                   "dissolve over partly transparent pixels (Photoshop scatters them at random)");
      } else if (k.failedLayer >= 0 && k.failedFeature != nullptr) {
        out.Refuse(result, layers[k.failedLayer].name, k.failedFeature);
      }
      break;
    }
    if (check != nullptr) {
      for (int32_t i = 0; i < mergedPlanes && result == PsdRead::kOk; ++i) {
        if (!merged[i].ReadRow(source, y, 0, width, mergedRow[i])) result = PsdRead::kRowIncomplete;
      }
      if (result == PsdRead::kOk &&
          !RowMatches(root, mergedRow, channels, check->alpha, width, check->tolerance)) {
        result = PsdRead::kUnrecordedDrawing;
      }
      if (result != PsdRead::kOk) break;
      continue;
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
  if (result == PsdRead::kOk || result == PsdRead::kStopped || check != nullptr) return result;
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
  // Where the merged image is, when the document holds a real one.
  Sections s;
  uint64_t mergedAt = 0;
  if (FindSections(c, &s) == PsdRead::kOk && s.imageAt < window.source().length() &&
      HasRealMergedData(SourceCursor(&window, s.resourcesAt, s.resourcesEnd))) {
    mergedAt = s.imageAt;
  }
  return CompositeLayers(window, h, section, true, withAlpha, out, nullptr, mergedAt);
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
    case PsdRead::kArtboard: return "an artboard";
    case PsdRead::kTextEdges: return "a text layer whose anti-aliased edges lie over other layers";
    case PsdRead::kPartialDissolve: return "a dissolve layer with partly transparent pixels";
    case PsdRead::kFlattenedBackdrop:
      return "the layers leave part of the picture transparent, and the document's merged "
             "image is flattened onto a backdrop it does not hold";
    case PsdRead::kUnrecordedDrawing:
      return "the layers as saved do not give the picture Krita stored (Krita saves its own "
             "blend modes, such as erase or grain merge, as normal)";
    case PsdRead::kStopped: return "";
  }
  return "";
}

PsdRead ReadCompositeImage(PsdSource& source, bool withAlpha, ABitMap* target,
                           PsdRefusal* why) {
  if (source.length() == 0) return PsdRead::kNoDocument;
  SourceWindow window(&source);
  Output out(target, why);
  return ReadComposite(window, withAlpha, out);
}

PsdRead ReadCompositeImage(PsdSource& source, bool withAlpha, const PsdRowSink& sink,
                           PsdRefusal* why) {
  if (source.length() == 0) return PsdRead::kNoDocument;
  SourceWindow window(&source);
  Output out(&sink, why);
  return ReadComposite(window, withAlpha, out);
}

PsdRead ReadCompositeImage(const uint8_t* bytes, uint64_t length, bool withAlpha,
                           ABitMap* target) {
  if (bytes == nullptr || length == 0) return PsdRead::kNoDocument;
  PsdSource source = PsdSource::Memory(bytes, length);
  return ReadCompositeImage(source, withAlpha, target);
}

PsdRead ReadLayeredImage(PsdSource& source, bool withAlpha, ABitMap* target,
                         PsdRefusal* why) {
  if (source.length() == 0) return PsdRead::kNoDocument;
  SourceWindow window(&source);
  Output out(target, why);
  return ReadLayered(window, withAlpha, out);
}

PsdRead ReadLayeredImage(PsdSource& source, bool withAlpha, const PsdRowSink& sink,
                         PsdRefusal* why) {
  if (source.length() == 0) return PsdRead::kNoDocument;
  SourceWindow window(&source);
  Output out(&sink, why);
  return ReadLayered(window, withAlpha, out);
}

PsdRead ReadLayeredImage(const uint8_t* bytes, uint64_t length, bool withAlpha,
                         ABitMap* target, PsdRefusal* why) {
  if (bytes == nullptr || length == 0) return PsdRead::kNoDocument;
  PsdSource source = PsdSource::Memory(bytes, length);
  return ReadLayeredImage(source, withAlpha, target, why);
}

PsdRead ReadFileRows(const char* path, bool layered, bool withAlpha, const PsdRowSink& sink,
                     PsdRefusal* why) {
  PsdRead result = PsdRead::kNoDocument;
  ReadFile(
      path,
      [&](PsdSource& s) {
        result = layered ? ReadLayeredImage(s, withAlpha, sink, why)
                         : ReadCompositeImage(s, withAlpha, sink, why);
        return result;
      },
      why);
  return result;
}

int32_t ABitMap::LoadFromFile(const char* path, bool withAlpha, const uint8_t* bytes,
                              uint32_t length, PsdRefusal* why) {
  if (bytes != nullptr) {
    return ReadCompositeImage(bytes, length, withAlpha, this) == PsdRead::kOk ? 0 : -1;
  }
  return ReadFile(
      path, [&](PsdSource& s) { return ReadCompositeImage(s, withAlpha, this, why); }, why);
}

int32_t ABitMap::LoadLayeredFromFile(const char* path, bool withAlpha, PsdRefusal* why) {
  return ReadFile(
      path, [&](PsdSource& s) { return ReadLayeredImage(s, withAlpha, this, why); }, why);
}

}  // namespace kelvra
