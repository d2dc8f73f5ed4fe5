// The Photoshop document readers. Every field is read through a cursor that
// cannot pass the end of the bytes, and everything that can be checked before
// the receiver's pixels are replaced is checked first: structure, lengths,
// PackBits byte counts. What remains (a row whose packets end early) can only
// show while decoding.
#include "bitmap/psd_reader.h"

#include <cstring>

#include "bitmap/byte_reader.h"
#include "bitmap/packbits.h"
#include "bitmap/planes.h"
#include "bitmap/whole_file.h"
#include "services/services.h"

namespace kelvra {

namespace {

// Byte position in a 32-bit pixel of channel i (red, green, blue, alpha).
constexpr int32_t kChannelByte[4] = {2, 1, 0, 3};

constexpr uint32_t kVersionInfoResource = 1057;
constexpr uint64_t kHeaderBytes = 26;
// PackBits rows up to this many samples are staged on the stack (4 planes,
// 16 KiB) and merged into whole pixels; wider ones are decoded in place.
constexpr uint32_t kStagedColumns = 4096;

struct Header {
  int32_t channels;  // signed count from the header
  int32_t rows;
  int32_t columns;
  int32_t decoded;   // channels to decode: 3, or 4 with alpha, at most `channels`
};

PsdRead ReadHeader(ByteCursor& c, bool withAlpha, Header* h) {
  const uint8_t* signature = c.Take(4);
  const uint16_t version = c.BE16();
  c.Skip(6);  // reserved
  h->channels = c.S16();
  const uint32_t rows = c.BE32();
  const uint32_t columns = c.BE32();
  const uint16_t depth = c.BE16();
  const uint16_t mode = c.BE16();
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
  if (mode != 1 && mode != 3 && mode != 7) return PsdRead::kUnsupportedColourMode;
  return PsdRead::kOk;
}

// False when the version information resource says that the composite is
// not the real image (newer editors store a blank one unless told to keep
// the merged image). A malformed resource section ends the search: the
// resources are otherwise not needed.
bool HasRealMergedData(ByteCursor resources) {
  while (resources.remaining() > 0) {
    resources.Skip(4);  // signature
    const uint16_t id = resources.BE16();
    const uint8_t nameLength = resources.U8();
    resources.Skip(nameLength + ((nameLength + 1) & 1));  // name, padded to even
    const uint32_t size = resources.BE32();
    ByteCursor data = resources.Sub(size);
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

// The receiver gets a new, cleared buffer of the document's size.
PsdRead ReplacePixels(ABitMap* target, int32_t columns, int32_t rows) {
  target->Release();
  if (target->Allocate(columns, rows, 32) == nullptr) return PsdRead::kNoMemory;
  std::memset(target->pixels, 0, static_cast<size_t>(target->PixelCount() * 4));
  return PsdRead::kOk;
}

PsdRead FailDecoding(ABitMap* target, PsdRead why) {
  target->Release();
  return why;
}

// One channel's samples over a rectangle of `rows` x `columns` samples whose
// top left corner sits at (top, left) of the target raster; the parts outside
// the raster are dropped.
struct Placement {
  int64_t top, left;
  uint32_t rows, columns;
};

// What the rows of the target a placement covers: its first visible sample
// and how many are visible in each row.
struct Window {
  uint32_t first, count;
};

Window VisiblePart(const Placement& p, const ABitMap& target) {
  int64_t x0 = p.left < 0 ? 0 : p.left;
  int64_t x1 = p.left + p.columns;
  if (x1 > target.width) x1 = target.width;
  if (x1 <= x0) return {0, 0};
  return {static_cast<uint32_t>(x0 - p.left), static_cast<uint32_t>(x1 - x0)};
}

// Destination of row r of a placement, or null when it is outside the target.
uint8_t* RowTarget(const Placement& p, const Window& w, const ABitMap& target,
                   uint32_t r, int32_t byte) {
  const int64_t y = p.top + r;
  if (w.count == 0 || y < 0 || y >= target.height) return nullptr;
  const int64_t x = p.left + w.first;
  return target.pixels + 4 * (y * target.width + x) + byte;
}

void DecodeRaw(const uint8_t* samples, const Placement& p, ABitMap* target, int32_t byte) {
  const Window w = VisiblePart(p, *target);
  if (p.top == 0 && p.left == 0 && p.columns == static_cast<uint32_t>(target->width) &&
      p.rows <= static_cast<uint32_t>(target->height)) {
    StoreByteOfPixels(samples, static_cast<uint64_t>(p.rows) * p.columns, target->pixels + byte);
    return;
  }
  for (uint32_t r = 0; r < p.rows; ++r) {
    if (uint8_t* d = RowTarget(p, w, *target, r, byte)) {
      StoreByteOfPixels(samples + static_cast<uint64_t>(r) * p.columns + w.first, w.count, d);
    }
  }
}

// PackBits rows through their byte counts (`counts`, one big-endian 2-byte
// entry per row): each row from its own bytes, which the caller has checked
// lie inside the document.
bool DecodePacked(const uint8_t* counts, const uint8_t* data, const Placement& p,
                  ABitMap* target, int32_t byte) {
  const Window w = VisiblePart(p, *target);
  for (uint32_t r = 0; r < p.rows; ++r) {
    const uint32_t n = static_cast<uint32_t>(counts[2 * r] << 8 | counts[2 * r + 1]);
    if (uint8_t* d = RowTarget(p, w, *target, r, byte)) {
      if (!UnpackBitsRow(data, n, p.columns, w.first, w.count, d)) return false;
    }
    data += n;
  }
  return true;
}

// Sum of `rows` byte counts, or overflow-free failure when a count is too
// small to hold a row of `columns` samples.
bool SumPackedRows(const uint8_t* counts, uint32_t rows, uint32_t columns, uint64_t* total) {
  const uint64_t least = MinPackedRowBytes(columns);
  uint64_t sum = 0;
  for (uint32_t r = 0; r < rows; ++r) {
    const uint32_t n = static_cast<uint32_t>(counts[2 * r] << 8 | counts[2 * r + 1]);
    if (n < least) return false;
    sum += n;
  }
  *total = sum;
  return true;
}

// The composite image data, from the compression value on.
PsdRead ReadImageData(ByteCursor c, const Header& h, ABitMap* target) {
  const uint16_t compression = c.BE16();
  if (!c.ok()) return PsdRead::kTruncated;
  if (compression > 1) return PsdRead::kUnsupportedCompression;
  const uint64_t rows = static_cast<uint64_t>(h.rows);
  const uint64_t planeSamples = rows * static_cast<uint64_t>(h.columns);
  const Placement whole = {0, 0, static_cast<uint32_t>(h.rows), static_cast<uint32_t>(h.columns)};
  if (compression == 0) {
    const uint8_t* samples = c.Take(planeSamples * static_cast<uint64_t>(h.decoded));
    if (!c.ok()) return PsdRead::kTruncated;
    if (h.decoded >= 3) {
      // Every byte of every pixel is written: whole pixels in one pass.
      target->Release();
      if (target->Allocate(h.columns, h.rows, 32) == nullptr) return PsdRead::kNoMemory;
      MergePlanes(samples, samples + planeSamples, samples + 2 * planeSamples,
                  h.decoded == 4 ? samples + 3 * planeSamples : nullptr, planeSamples,
                  target->pixels);
      return PsdRead::kOk;
    }
    if (PsdRead r = ReplacePixels(target, h.columns, h.rows); r != PsdRead::kOk) return r;
    for (int32_t i = 0; i < h.decoded; ++i) {
      DecodeRaw(samples + planeSamples * i, whole, target, kChannelByte[i]);
    }
    return PsdRead::kOk;
  }
  // One byte count per row of every channel in the header, the planes
  // decoded ones first; the data of the planes read must all be present.
  const uint8_t* counts = c.Take(2 * rows * static_cast<uint64_t>(h.channels));
  const uint8_t* planeData[4] = {};
  uint64_t needed = 0;
  for (int32_t i = 0; i < h.decoded && c.ok(); ++i) {
    uint64_t planeBytes = 0;
    if (!SumPackedRows(counts + 2 * rows * i, h.rows, h.columns, &planeBytes)) {
      return PsdRead::kTruncated;
    }
    planeData[i] = c.here() + needed;
    needed += planeBytes;
  }
  c.Take(needed);
  if (!c.ok()) return PsdRead::kTruncated;
  target->Release();
  if (target->Allocate(h.columns, h.rows, 32) == nullptr) return PsdRead::kNoMemory;
  const uint32_t columns = static_cast<uint32_t>(h.columns);
  if (h.decoded >= 3 && columns <= kStagedColumns) {
    // Each row of each plane is decoded into consecutive bytes, then the
    // row's pixels are made whole in one pass (no clearing needed).
    uint8_t staged[4][kStagedColumns];
    for (uint64_t r = 0; r < rows; ++r) {
      for (int32_t i = 0; i < h.decoded; ++i) {
        const uint8_t* count = counts + 2 * (rows * i + r);
        const uint32_t n = static_cast<uint32_t>(count[0] << 8 | count[1]);
        if (!UnpackBitsRowPlain(planeData[i], n, columns, 0, columns, staged[i])) {
          return FailDecoding(target, PsdRead::kRowIncomplete);
        }
        planeData[i] += n;
      }
      MergePlanes(staged[0], staged[1], staged[2], h.decoded == 4 ? staged[3] : nullptr,
                  columns, target->pixels + 4 * columns * r);
    }
    return PsdRead::kOk;
  }
  // Row by row across the planes, so that each row of pixels is cleared and
  // filled while it is in the cache.
  for (uint64_t r = 0; r < rows; ++r) {
    uint8_t* row = target->pixels + 4 * columns * r;
    std::memset(row, 0, 4 * static_cast<size_t>(columns));
    for (int32_t i = 0; i < h.decoded; ++i) {
      const uint8_t* count = counts + 2 * (rows * i + r);
      const uint32_t n = static_cast<uint32_t>(count[0] << 8 | count[1]);
      if (!UnpackBitsRow(planeData[i], n, columns, 0, columns, row + kChannelByte[i])) {
        return FailDecoding(target, PsdRead::kRowIncomplete);
      }
      planeData[i] += n;
    }
  }
  return PsdRead::kOk;
}

// After the header: colour mode data, image resources, layer section, image.
PsdRead ReadComposite(ByteCursor c, const Header& h, ABitMap* target) {
  c.Skip(c.BE32());                       // colour mode data
  ByteCursor resources = c.Sub(c.BE32());  // image resources
  c.Skip(c.BE32());                       // layer and mask information
  if (!c.ok()) return PsdRead::kTruncated;
  if (!HasRealMergedData(resources)) return PsdRead::kNoMergedData;
  return ReadImageData(c, h, target);
}

// One of the first layer's channels, found by its identifier.
struct LayerChannel {
  bool present = false;
  ByteCursor data;  // compression value, byte counts, samples
};

// Checks a layer channel's data against the layer's rectangle; on success
// `counts` and `samples` point into it (counts null for raw data).
PsdRead CheckLayerChannel(ByteCursor c, const Placement& p, const uint8_t** counts,
                          const uint8_t** samples) {
  const uint16_t compression = c.BE16();
  if (!c.ok()) return PsdRead::kTruncated;
  if (compression > 1) return PsdRead::kUnsupportedCompression;
  *counts = nullptr;
  if (compression == 0) {
    *samples = c.Take(static_cast<uint64_t>(p.rows) * p.columns);
  } else {
    *counts = c.Take(2 * static_cast<uint64_t>(p.rows));
    uint64_t total = 0;
    if (c.ok() && !SumPackedRows(*counts, p.rows, p.columns, &total)) return PsdRead::kTruncated;
    *samples = c.Take(total);
  }
  return c.ok() ? PsdRead::kOk : PsdRead::kTruncated;
}

PsdRead ReadLayers(ByteCursor c, const Header& h, bool withAlpha, ABitMap* target,
                   const uint8_t* bytes, uint64_t length) {
  c.Skip(c.BE32());  // colour mode data
  c.Skip(c.BE32());  // image resources
  // No layer section, no layer info or no layers: the composite is read.
  const uint32_t sectionLength = c.BE32();
  if (!c.ok()) return PsdRead::kTruncated;
  bool layers = sectionLength != 0;
  ByteCursor info;
  int16_t storedCount = 0;
  if (layers) {
    ByteCursor section = c.Sub(sectionLength);
    const uint32_t infoLength = section.BE32();
    if (!section.ok()) return PsdRead::kTruncated;
    layers = infoLength != 0;
    if (layers) {
      info = section.Sub(infoLength);
      storedCount = info.S16();
      if (!info.ok()) return PsdRead::kTruncated;
      layers = storedCount != 0;
    }
  }
  if (!layers) {
    ByteCursor whole(bytes, length);
    whole.Skip(kHeaderBytes);
    return ReadComposite(whole, h, target);
  }
  // A negative count means its absolute value (the composite then has a
  // transparency channel); -32768 has none.
  if (storedCount == -32768) return PsdRead::kBadLayerCount;
  const int32_t layerCount = storedCount < 0 ? -storedCount : storedCount;

  int32_t rect[4] = {};  // top, left, bottom, right of the first layer
  int32_t firstChannels = 0;
  const uint8_t* firstEntries = nullptr;
  for (int32_t i = 0; i < layerCount; ++i) {
    int32_t r[4];
    for (int32_t& v : r) v = info.S32();
    const int16_t k = info.S16();
    const uint8_t* entries = info.Take(6 * static_cast<uint64_t>(k > 0 ? k : 0));
    info.Skip(12);  // blend signature and key, opacity, clipping, flags, filler
    info.Skip(info.BE32());  // extra data
    if (i == 0) {
      std::memcpy(rect, r, sizeof rect);
      firstChannels = k > 0 ? k : 0;
      firstEntries = entries;
    }
  }
  if (!info.ok()) return PsdRead::kTruncated;

  // The first layer's channels follow the records, each as long as its entry
  // says; the ones wanted are picked by identifier.
  const int32_t colourChannels = h.decoded < 3 ? h.decoded : 3;
  LayerChannel wanted[4];  // red, green, blue, alpha
  for (int32_t e = 0; e < firstChannels; ++e) {
    const uint8_t* entry = firstEntries + 6 * e;
    const int16_t id = static_cast<int16_t>(entry[0] << 8 | entry[1]);
    const uint32_t size = static_cast<uint32_t>(entry[2]) << 24 | entry[3] << 16 |
                          entry[4] << 8 | entry[5];
    ByteCursor data = info.Sub(size);
    if (!info.ok()) return PsdRead::kTruncated;
    int32_t slot = -1;
    if (id >= 0 && id < colourChannels) slot = id;
    if (id == -1 && withAlpha) slot = 3;
    if (slot >= 0 && !wanted[slot].present) {
      wanted[slot].present = true;
      wanted[slot].data = data;
    }
  }

  const int64_t layerRows = static_cast<int64_t>(rect[2]) - rect[0];
  const int64_t layerColumns = static_cast<int64_t>(rect[3]) - rect[1];
  Placement place = {rect[0], rect[1], 0, 0};
  if (layerRows > 0 && layerColumns > 0 && layerRows <= INT32_MAX && layerColumns <= INT32_MAX) {
    place.rows = static_cast<uint32_t>(layerRows);
    place.columns = static_cast<uint32_t>(layerColumns);
  }
  const uint8_t* counts[4] = {};
  const uint8_t* samples[4] = {};
  for (int32_t s = 0; s < 4; ++s) {
    if (!wanted[s].present) continue;
    PsdRead r = CheckLayerChannel(wanted[s].data, place, &counts[s], &samples[s]);
    if (r != PsdRead::kOk) return r;
  }

  if (PsdRead r = ReplacePixels(target, h.columns, h.rows); r != PsdRead::kOk) return r;
  for (int32_t s = 0; s < 4; ++s) {
    if (!wanted[s].present || place.rows == 0) continue;
    if (counts[s] == nullptr) {
      DecodeRaw(samples[s], place, target, kChannelByte[s]);
    } else if (!DecodePacked(counts[s], samples[s], place, target, kChannelByte[s])) {
      return FailDecoding(target, PsdRead::kRowIncomplete);
    }
  }
  return PsdRead::kOk;
}

}  // namespace

PsdRead ReadCompositeImage(const uint8_t* bytes, uint64_t length, bool withAlpha,
                           ABitMap* target) {
  if (bytes == nullptr || length == 0) return PsdRead::kNoDocument;
  ByteCursor c(bytes, length);
  Header h;
  if (PsdRead r = ReadHeader(c, withAlpha, &h); r != PsdRead::kOk) return r;
  return ReadComposite(c, h, target);
}

PsdRead ReadFirstLayer(const uint8_t* bytes, uint64_t length, bool withAlpha,
                       ABitMap* target) {
  if (bytes == nullptr || length == 0) return PsdRead::kNoDocument;
  ByteCursor c(bytes, length);
  Header h;
  if (PsdRead r = ReadHeader(c, withAlpha, &h); r != PsdRead::kOk) return r;
  return ReadLayers(c, h, withAlpha, target, bytes, length);
}

int32_t ABitMap::LoadFromFile(const char* path, bool withAlpha, const uint8_t* bytes,
                              uint32_t length) {
  if (bytes != nullptr) {
    return ReadCompositeImage(bytes, length, withAlpha, this) == PsdRead::kOk ? 0 : -1;
  }
  uint32_t fileLength = 0;
  uint8_t* file = ReadWholeFile(path, &fileLength);
  if (file == nullptr) return -1;
  const PsdRead r = ReadCompositeImage(file, fileLength, withAlpha, this);
  TrackedFree(file);
  return r == PsdRead::kOk ? 0 : -1;
}

int32_t ABitMap::LoadLayeredFromFile(const char* path, bool withAlpha) {
  uint32_t fileLength = 0;
  uint8_t* file = ReadWholeFile(path, &fileLength);
  if (file == nullptr) return -1;
  const PsdRead r = ReadFirstLayer(file, fileLength, withAlpha, this);
  TrackedFree(file);
  return r == PsdRead::kOk ? 0 : -1;
}

}  // namespace kelvra
