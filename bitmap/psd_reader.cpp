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
#include "bitmap/psd_templates.h"
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

// Reads a Unicode string (a count of UTF-16 units, then the units): whether
// it starts with `text`, or with `whole`, is `text`.
bool ReadUnicodeName(SourceCursor& c, const char* text, bool whole) {
  const uint32_t units = c.BE32();
  const uint32_t n = static_cast<uint32_t>(StrLength(text));
  bool same = units >= n && (!whole || units == n);
  for (uint32_t i = 0; i < n && i < units; ++i) {
    same = c.BE16() == static_cast<uint8_t>(text[i]) && same;
  }
  if (units > n) c.Skip(2 * static_cast<uint64_t>(units - n));
  return same && c.ok();
}

// What the version information resource says: whether the composite is the
// real image (newer editors store a blank one unless told to keep the
// merged image), and whether Photoshop wrote it (see Editor). Without the
// resource the composite counts as real. A malformed resource section ends
// the search: the resources are otherwise not needed.
struct VersionInfo {
  bool real = true;
  bool photoshop = false;
};

VersionInfo ReadVersionInfo(SourceCursor resources) {
  VersionInfo info;
  while (resources.remaining() > 0) {
    resources.Skip(4);  // signature
    const uint16_t id = resources.BE16();
    const uint8_t nameLength = resources.U8();
    resources.Skip(nameLength + ((nameLength + 1) & 1));  // name, padded to even
    const uint32_t size = resources.BE32();
    SourceCursor data = resources.Sub(size);
    if (!data.ok()) return info;
    if (id == kVersionInfoResource) {
      data.Skip(4);  // version
      const uint8_t hasRealMergedData = data.U8();
      if (!data.ok()) return info;
      info.real = hasRealMergedData != 0;
      const bool writer = ReadUnicodeName(data, "Adobe Photoshop", false);
      const bool own = ReadUnicodeName(data, kOwnVersionReaderName, true);
      info.photoshop = writer && !own;
      return info;
    }
    resources.Skip(size & 1);  // odd data is followed by a pad byte
    if (!resources.ok()) return info;
  }
  return info;
}

bool HasRealMergedData(SourceCursor resources) { return ReadVersionInfo(resources).real; }

// Where decoded rows go: into the receiver's raster, or one at a time to a
// row sink that never needs the whole image.
class Output {
 public:
  Output(ABitMap* target, PsdRefusal* why) : target_(target), why_(why) {}
  Output(const PsdRowSink* sink, PsdRefusal* why) : sink_(sink), why_(why) {}

  // Where the words of a refusal go (null: nowhere).
  PsdRefusal* why() const { return why_; }

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

// The editors whose documents hold, as their merged image, the picture the
// editor showed, and that are read only when their layers give it.
//  - Photoshop (with "Maximize PSD compatibility", its default): told by
//    the version information resource (1057), which every Photoshop save
//    writes anew: the writer's name "Adobe Photoshop" (Photoshop Elements
//    writes "Adobe Photoshop Elements"), the flag that the merged image is
//    real, and as the reader's name its own version ("Adobe Photoshop CS6",
//    "Adobe Photoshop 2026", ...). The library's own documents carry a
//    version information that names Photoshop too, with the reader name
//    kOwnVersionReaderName, and are not checked: their merged image is the
//    host's shaded image, not the picture of their layers (the shading
//    layer gives it to within 2 levels, shading.h). Programs that keep the
//    resources they found carry it unchanged, and their merged image is then
//    the old one (ImageMagick's edit of a layer). The XMP creator tool (1060)
//    is not used: it names the program that made the document first and
//    later saves keep it (in the shared documents: Photoshop Elements 21 or
//    CS3 there, beside version information written by Photoshop 2022 or
//    2020), and two shared documents whose version information names
//    Photoshop have no XMP at all.
//  - Krita, which saves its own blend modes (erase, grain merge, behind,
//    ...) under the key "norm", so that its records do not say what it drew;
//    told by the NUL that ends every Unicode name it writes.
enum class Editor : uint8_t { kNone, kPhotoshop, kKrita };

const char* EditorName(Editor e) { return e == Editor::kKrita ? "Krita" : "Photoshop"; }

// The document's merged image, when it is real, and the editor whose picture
// it is (kNone: not known to be one).
struct MergedCheck {
  uint64_t imageAt = 0;  // the composite image data
  Header h{};            // the header, its alpha plane counted
  bool alpha = false;    // the merged image has transparency
  Editor editor = Editor::kNone;
};

// How far the picture an editor stored may be from the layers composited
// here, `blended` layers above the bottom one showing: levels of colour
// (weighted by transparency) and of transparency.
//  - Krita rounds each blend on its own, up to a level a layer (see the
//    Krita round trips).
//  - Photoshop: 2 levels of colour and 2 of transparency, however many
//    layers. Measured where Photoshop's merged image is opaque, on the 90
//    documents of the two shared Photoshop folders told as Photoshop's
//    (Editor) that merged right before this check (within 2 levels on
//    99.5 % of the samples): 73 exact, 14 at most a level off, 3 two levels
//    (over 2, 7 and 26 blended layers); transparency exact but on one
//    document, 2 off. The difference does not grow with the layers (a
//    level at most over 28), so it is not counted per layer. The five
//    documents of those folders that were merged wrongly differ by 8 to 171.
struct Tolerance {
  int32_t colour, alpha;
};
Tolerance EditorTolerance(Editor e, int32_t blended) {
  if (e == Editor::kKrita) return {blended, blended};
  return {2, 2};
}

// Where the layers' picture and the merged image differ most on a row,
// beyond the tolerance: the column, the channel (3: transparency) and the
// levels.
struct Mismatch {
  uint32_t x = 0;
  int32_t channel = 0, levels = 0;
};

// Whether row `colour`, `alpha` of the layers' picture differs from the
// merged image's row beyond `tolerance`; `*worst` then says where most.
// Colours are compared weighted by transparency. Photoshop's only where its
// merged image is opaque: the bottom layer here is the opaque backdrop
// (psd_compositor.h) where Photoshop shows its transparency, and Photoshop
// stores the colours of partly transparent pixels flattened onto white
// (c a + 255 (1 - a), a in 0..1: so on every partly transparent pixel of
// the shared Photoshop documents).
bool RowDiffers(const uint8_t* const colour[3], const uint8_t* alpha,
                const uint8_t* const merged[4], int32_t channels, const MergedCheck& check,
                Tolerance tolerance, uint32_t width, Mismatch* worst) {
  const bool opaqueOnly = check.editor == Editor::kPhotoshop;
  bool differs = false;
  for (uint32_t x = 0; x < width; ++x) {
    const int32_t a = alpha[x], ma = check.alpha ? merged[channels][x] : 255;
    if (opaqueOnly && ma != 255) continue;
    const int32_t da = std::abs(a - ma);
    if (da > tolerance.alpha) {
      differs = true;
      if (da > worst->levels) *worst = Mismatch{x, 3, da};
    }
    for (int32_t c = 0; c < channels; ++c) {
      const int32_t m = merged[c][x];
      const int32_t d = std::abs(colour[c][x] * a - m * ma);
      if (d > 255 * tolerance.colour) {
        differs = true;
        const int32_t levels = (d + 127) / 255;
        if (levels > worst->levels) *worst = Mismatch{x, c, levels};
      }
    }
  }
  return differs;
}

// Whether a row may differ beyond the tolerance at all: a first look at the
// samples as bytes, which the compiler makes vector code of. A pixel opaque
// in both pictures is within the tolerance when each of its colours is; any
// other pixel compared is left to RowDiffers.
bool RowMayDiffer(const uint8_t* const colour[3], const uint8_t* alpha,
                  const uint8_t* const merged[4], int32_t channels, const MergedCheck& check,
                  Tolerance tolerance, uint32_t width) {
  const uint8_t most = static_cast<uint8_t>(tolerance.colour < 255 ? tolerance.colour : 255);
  uint8_t any = 0;
  if (!check.alpha) {
    for (int32_t c = 0; c < channels; ++c) {
      const uint8_t* p = colour[c];
      const uint8_t* m = merged[c];
      for (uint32_t x = 0; x < width; ++x) {
        const uint8_t d = static_cast<uint8_t>(p[x] > m[x] ? p[x] - m[x] : m[x] - p[x]);
        any |= static_cast<uint8_t>(d > most);
      }
    }
    for (uint32_t x = 0; x < width; ++x) any |= static_cast<uint8_t>(alpha[x] != 255);
    return any != 0;
  }
  const uint8_t* ma = merged[channels];
  for (int32_t c = 0; c < channels; ++c) {
    const uint8_t* p = colour[c];
    const uint8_t* m = merged[c];
    for (uint32_t x = 0; x < width; ++x) {
      const uint8_t d = static_cast<uint8_t>(p[x] > m[x] ? p[x] - m[x] : m[x] - p[x]);
      any |= static_cast<uint8_t>(d > most) & static_cast<uint8_t>(ma[x] == 255);
    }
  }
  // Photoshop's pixels that are not opaque are not compared (RowDiffers).
  const uint8_t compared = check.editor == Editor::kPhotoshop ? 0 : 1;
  for (uint32_t x = 0; x < width; ++x) {
    any |= ma[x] == 255 ? static_cast<uint8_t>(alpha[x] != 255) : compared;
  }
  return any != 0;
}

// A refusal's words, composed in its fixed buffer.
class Reason {
 public:
  explicit Reason(PsdRefusal* why)
      : end_(why != nullptr ? why->text : nullptr),
        last_(why != nullptr ? why->text + sizeof why->text - 1 : nullptr) {}
  Reason& operator<<(const char* part) {
    if (end_ != nullptr && end_ < last_) {
      end_ = StrCopyBounded(part, end_, static_cast<int32_t>(last_ - end_));
    }
    return *this;
  }
  Reason& operator<<(uint32_t value) {
    char digits[11];
    char* d = digits + sizeof digits - 1;
    *d = 0;
    do {
      *--d = static_cast<char>('0' + value % 10);
      value /= 10;
    } while (value != 0);
    return *this << static_cast<const char*>(d);
  }
  bool full() const { return end_ == nullptr || last_ - end_ < 8; }

 private:
  char* end_;
  char* const last_;
};

// Whether layer `l` has anything at pixel x, y: a fill or an adjustment
// covers the canvas; a layer of pixels its rectangle, where its
// transparency is not 0 (read again from the start of its stream: this is
// only asked once a refusal is certain).
bool LayerCovers(const PsdLayer& l, const PsdLayerPaint* paints, const LayerStreams& streams,
                 uint32_t x, uint32_t y) {
  if (l.paint >= 0 &&
      (paints[l.paint].solidFill || paints[l.paint].adjustment.kind != AdjustmentKind::kNone)) {
    return true;
  }
  const int64_t row = static_cast<int64_t>(y) - l.rect.top;
  const int64_t column = static_cast<int64_t>(x) - l.rect.left;
  if (row < 0 || column < 0 || row >= l.rect.Rows() || column >= l.rect.Columns()) return false;
  const int32_t s = l.stream[kSlotTransparency];
  if (s < 0) return true;
  RowStream& stream = streams.streams[s];
  stream.Start();
  uint8_t coverage = 0;
  return stream.ReadRow(*streams.source, static_cast<uint32_t>(row),
                        static_cast<uint32_t>(column), 1, &coverage) &&
         coverage != 0;
}

// "the layers as saved do not give the picture Photoshop stored: 171 levels
// off in green at x 12, y 40, under 'Layer 1', 'Background'": the pixel
// where the first row that differs differs most, and the layers that cover
// it, topmost first.
void ExplainMismatch(PsdRefusal* why, Editor editor, const Mismatch& m, uint32_t y,
                     int32_t channels, const PsdLayer* layers, const PsdLayerPaint* paints,
                     const bool* shown, int32_t count, const LayerStreams& streams) {
  static const char* const kChannels[4] = {"red", "green", "blue", "transparency"};
  Reason text(why);
  text << "the layers as saved do not give the picture " << EditorName(editor) << " stored";
  if (editor == Editor::kKrita) text << " (it saves modes such as erase or grain merge as normal)";
  text << ": " << static_cast<uint32_t>(m.levels) << " levels off in "
       << (m.channel < 3 && channels == 1 ? "gray" : kChannels[m.channel]) << " at x " << m.x
       << ", y " << y;
  bool named = false;
  for (int32_t i = count - 1; i >= 0 && !text.full(); --i) {
    if (!shown[i] || layers[i].kind != LayerKind::kPixels ||
        !LayerCovers(layers[i], paints, streams, m.x, y)) {
      continue;
    }
    text << (named ? ", '" : ", under '") << layers[i].name << "'";
    named = true;
  }
  if (!named) text << ", where no layer lies";
}

PsdRead CompositeLayers(SourceWindow& window, const Header& h, const LayerSection& section,
                        bool excludeOwnLayer, bool withAlpha, Output& out,
                        const MergedCheck* check = nullptr, MergedCheck* stored = nullptr);

// How the layers are checked against the picture the editor stored.
//  - kNone: no editor known to store its picture, or no merged image.
//  - kAlongside: while the picture is delivered, row by row. The check
//    composites the library's own layer too: without one the picture
//    delivered is the one checked; when it is the topmost layer that shows,
//    at the root and not clipped, its record is read as any layer's and the
//    root as it is below it (Compositor::beneath at `*splitAt`) is
//    delivered.
//  - kFirst: anywhere else, a pass of its own checks before the picture is
//    composited without it.
// A reading that delivers rows before the check ends may then fail: the
// receiver is left without pixels, a sink has its rows and the failure.
enum class CheckPass : uint8_t { kNone, kAlongside, kFirst };

CheckPass PlanEditorCheck(PsdLayer* layers, bool* shown, int32_t count, MergedCheck* stored,
                          int32_t* splitAt) {
  *splitAt = -1;
  if (stored == nullptr) return CheckPass::kNone;
  for (int32_t i = 0; i < count && stored->editor == Editor::kNone; ++i) {
    if (layers[i].nulEndedName) stored->editor = Editor::kKrita;
  }
  if (stored->editor == Editor::kNone) return CheckPass::kNone;
  int32_t own = -1, owns = 0, depth = 0, ownDepth = 0;
  for (int32_t i = 0; i < count; ++i) {
    if (layers[i].kind == LayerKind::kGroupStart) ++depth;
    if (layers[i].kind == LayerKind::kGroupEnd) --depth;
    if (layers[i].kind == LayerKind::kOwnLayer) own = i, ++owns, ownDepth = depth;
  }
  if (owns == 0) return CheckPass::kAlongside;
  if (owns > 1 || ownDepth != 0 || layers[own].clipped) return CheckPass::kFirst;
  layers[own].kind = LayerKind::kPixels;
  MarkShownLayers(layers, count, shown);
  for (int32_t i = own + 1; i < count; ++i) {
    if (!shown[i]) continue;
    layers[own].kind = LayerKind::kOwnLayer;
    MarkShownLayers(layers, count, shown);
    return CheckPass::kFirst;
  }
  if (shown[own]) *splitAt = own;
  return CheckPass::kAlongside;
}

PsdRead CompositeLayers(SourceWindow& window, const Header& h, const LayerSection& section,
                        bool excludeOwnLayer, bool withAlpha, Output& out,
                        const MergedCheck* check, MergedCheck* stored) {
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
  int32_t splitAt = -1;
  const CheckPass pass = check != nullptr ? CheckPass::kNone
                                          : PlanEditorCheck(layers, shown, count, stored, &splitAt);
  // The merged image this pass compares the picture with, row by row.
  const MergedCheck* compare =
      check != nullptr ? check : pass == CheckPass::kAlongside ? stored : nullptr;

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
  if (result == PsdRead::kOk && pass == CheckPass::kFirst) {
    // A pass of its own, over the records read again with the library's
    // layer among them.
    result = CompositeLayers(window, stored->h, section, false, false, out, stored);
  }
  // The merged image's planes, for a check against it, and how far the
  // picture may be from it.
  RowStream merged[4];
  const int32_t mergedPlanes = compare == nullptr ? 0 : compare->alpha ? channels + 1 : channels;
  Tolerance tolerance{0, 0};
  if (result == PsdRead::kOk && compare != nullptr) {
    int32_t blended = 0;
    for (int32_t i = 1; i < count; ++i) {
      blended += shown[i] && layers[i].kind != LayerKind::kGroupStart;
    }
    tolerance = EditorTolerance(compare->editor, blended);
    Header planes = compare->h;
    planes.decoded = mergedPlanes;
    result = planes.channels < mergedPlanes ? PsdRead::kNoChannels
                                            : ImageStreams(window, compare->imageAt, planes, merged);
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
  Level beneath{};
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
    for (int32_t c = 0; c < channels && splitAt >= 0; ++c) beneath.colour[c] = carver.Take(width);
    beneath.alpha = carver.Take(splitAt >= 0 ? width : 0);
    planes = carver.Take(patterned != nullptr ? 3 * uint64_t{pattern.rows} * pattern.columns : 0);
    out.SetRow(carver.Take(check != nullptr ? 0 : out.RowBytes(width)));
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
  if (splitAt >= 0) {
    for (int32_t c = channels; c < 3; ++c) beneath.colour[c] = k.zero;
    k.splitAt = splitAt;
    k.beneath = beneath;
  }
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
  // The picture delivered: the root, or the root below the library's own
  // layer when the root is the picture checked.
  const Level& picture = splitAt >= 0 ? k.beneath : root;
  const uint8_t* green = channels == 3 ? picture.colour[1] : k.zero;
  const uint8_t* blue = channels == 3 ? picture.colour[2] : k.zero;
  // Once the picture differs from the merged image, the remaining rows are
  // composited only to find a layer the compositor refuses: its name and
  // feature say more of why than a pixel does. A sink that wants no more
  // rows stops the delivery, not the check: a document whose layers do not
  // give its editor's picture is refused whatever the sink saw.
  bool differs = false, stopped = false;
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
      } else if (differs) {
        result = PsdRead::kUnrecordedDrawing;
      }
      break;
    }
    if (differs) continue;
    if (compare != nullptr) {
      for (int32_t i = 0; i < mergedPlanes && result == PsdRead::kOk; ++i) {
        if (!merged[i].ReadRow(source, y, 0, width, mergedRow[i])) result = PsdRead::kRowIncomplete;
      }
      if (result != PsdRead::kOk) break;
      Mismatch worst;
      if (RowMayDiffer(root.colour, root.alpha, mergedRow, channels, *compare, tolerance, width) &&
          RowDiffers(root.colour, root.alpha, mergedRow, channels, *compare, tolerance, width,
                     &worst)) {
        differs = true;
        ExplainMismatch(out.why(), compare->editor, worst, y, channels, layers, paints, shown,
                        count, streams);
        continue;
      }
      if (check != nullptr) continue;
    }
    // The picture without the library's layer is refused where it is
    // transparent over a flattened merged image, as with it.
    if (splitAt >= 0 && k.translucentRoot && k.flattened) {
      for (uint32_t x = 0; x < width && result == PsdRead::kOk; ++x) {
        if (picture.alpha[x] != 255) result = PsdRead::kFlattenedBackdrop;
      }
      if (result != PsdRead::kOk) break;
    }
    if (stopped) continue;
    MergePlanes(picture.colour[0], green, blue, withAlpha ? k.outAlpha : nullptr, width,
                out.Row(y, width));
    if (!out.Done(y)) {
      stopped = true;
      if (compare != nullptr) continue;
      result = PsdRead::kStopped;
      break;
    }
  }
  if (result == PsdRead::kOk && differs) result = PsdRead::kUnrecordedDrawing;
  if (result == PsdRead::kOk && stopped) result = PsdRead::kStopped;
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
  // Where the merged image is, when the document holds a real one, and
  // whether Photoshop stored it (see Editor).
  Sections s;
  MergedCheck stored;
  if (FindSections(c, &s) == PsdRead::kOk && s.imageAt < window.source().length()) {
    const VersionInfo version =
        ReadVersionInfo(SourceCursor(&window, s.resourcesAt, s.resourcesEnd));
    SourceCursor header(&window, 0, window.source().length());
    if (version.real && ReadHeader(header, true, &stored.h) == PsdRead::kOk) {
      stored.imageAt = s.imageAt;
      stored.alpha = section.mergedAlpha;
      if (version.photoshop) stored.editor = Editor::kPhotoshop;
    }
  }
  return CompositeLayers(window, h, section, true, withAlpha, out, nullptr,
                         stored.imageAt != 0 ? &stored : nullptr);
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
      return "the layers as saved do not give the picture their editor stored";
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
