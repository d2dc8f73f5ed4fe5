#include "maps/tiff_header.h"

#include <cassert>

namespace kelvra {

namespace {

// Little-endian writer over the header block.
class LeWriter {
 public:
  explicit LeWriter(uint8_t* out) : out_(out) {}
  void U8(uint32_t v) { out_[n_++] = static_cast<uint8_t>(v); }
  void U16(uint32_t v) {
    U8(v);
    U8(v >> 8);
  }
  void U32(uint32_t v) {
    U16(v);
    U16(v >> 16);
  }
  void Bytes(const char* text, uint32_t count) {
    for (uint32_t i = 0; i < count; ++i) U8(static_cast<uint8_t>(text[i]));
  }
  uint32_t size() const { return n_; }

 private:
  uint8_t* out_;
  uint32_t n_ = 0;
};

enum FieldType : uint32_t { kByte = 1, kShort = 3, kLong = 4, kRational = 5 };

// One 12-byte directory entry. A value that fits is stored as a 32-bit
// integer, so a SHORT takes the field's first two bytes and the rest are 0.
void Entry(LeWriter& w, uint32_t tag, FieldType type, uint32_t count,
           uint32_t valueOrOffset) {
  w.U16(tag);
  w.U16(type);
  w.U32(count);
  w.U32(valueOrOffset);
}

constexpr char kSoftware[] = "Kelvra";  // with its zero byte: 7 bytes

}  // namespace

uint32_t BuildTiffHeader(int32_t width, int32_t height, int32_t channelCount,
                         int32_t bitsPerSample, uint8_t* block) {
  const bool three = channelCount != 1;
  const uint32_t channels = three ? 3 : 1;
  const uint32_t bits = static_cast<uint32_t>(bitsPerSample);
  const uint32_t sampleFormat = bits == 32 ? 3 : 1;  // IEEE float : unsigned
  const uint32_t w32 = static_cast<uint32_t>(width);
  const uint32_t h32 = static_cast<uint32_t>(height);
  const uint32_t stripBytes = w32 * (bits / 8) * channels * h32;
  // Offsets of the out-of-line values, in the order they follow the
  // directory: the two resolutions, then (three channels) the bits and
  // formats arrays, then the software text.
  const uint32_t xResolutionAt = 206;
  const uint32_t yResolutionAt = 214;
  const uint32_t bitsArrayAt = 222;
  const uint32_t formatArrayAt = 228;
  const uint32_t softwareAt = three ? 234 : 222;
  const uint32_t pixelsAt =
      three ? kTiffHeaderThreeChannels : kTiffHeaderOneChannel;

  LeWriter w(block);
  w.U8('I');
  w.U8('I');
  w.U16(42);
  w.U32(8);  // the directory follows at once
  w.U16(16);
  Entry(w, 254, kLong, 1, 0);                                // NewSubfileType
  Entry(w, 256, kShort, 1, w32);                             // ImageWidth
  Entry(w, 257, kShort, 1, h32);                             // ImageLength
  Entry(w, 258, kShort, channels, three ? bitsArrayAt : bits);  // BitsPerSample
  Entry(w, 259, kShort, 1, 1);                               // Compression: none
  Entry(w, 262, kShort, 1, three ? 2 : 1);                   // Photometric: RGB / black is zero
  Entry(w, 273, kLong, 1, pixelsAt);                         // StripOffsets
  Entry(w, 277, kShort, 1, channels);                        // SamplesPerPixel
  Entry(w, 278, kShort, 1, h32);                             // RowsPerStrip
  Entry(w, 279, kLong, 1, stripBytes);                       // StripByteCounts
  Entry(w, 282, kRational, 1, xResolutionAt);                // XResolution
  Entry(w, 283, kRational, 1, yResolutionAt);                // YResolution
  Entry(w, 284, kShort, 1, 1);                               // PlanarConfiguration: interleaved
  Entry(w, 296, kShort, 1, 2);                               // ResolutionUnit: inch
  Entry(w, 339, kShort, channels, three ? formatArrayAt : sampleFormat);  // SampleFormat
  Entry(w, 305, kByte, 7, softwareAt);  // Software, last though not in tag order
  w.U32(0);  // no further directory
  assert(w.size() == xResolutionAt);
  w.U32(720000);  // 72 per inch
  w.U32(10000);
  assert(w.size() == yResolutionAt);
  w.U32(720000);
  w.U32(10000);
  if (three) {
    assert(w.size() == bitsArrayAt);
    w.U16(bits);
    w.U16(bits);
    w.U16(bits);
    assert(w.size() == formatArrayAt);
    w.U16(sampleFormat);
    w.U16(sampleFormat);
    w.U16(sampleFormat);
  }
  assert(w.size() == softwareAt);
  w.Bytes(kSoftware, sizeof kSoftware);
  assert(w.size() == pixelsAt);
  return w.size();
}

}  // namespace kelvra
