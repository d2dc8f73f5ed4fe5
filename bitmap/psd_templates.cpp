// The template blocks, built at compile time field by field through the same
// byte writer the documents use. Every length inside a block is measured
// from what was written (Begin/End pairs), and each block's total is checked
// against its fixed size when the library is compiled.
#include "bitmap/psd_templates.h"

#include <cstddef>

#include "bitmap/byte_writer.h"

namespace kelvra {

// Never defined: reaching it while a block is being built at compile time
// stops the build, which is how a block of the wrong length is reported.
void TemplateBlockHasWrongLength();

namespace {

template <size_t N, typename Fill>
constexpr std::array<uint8_t, N> BuildBlock(Fill fill) {
  std::array<uint8_t, N> bytes{};
  ByteWriter w(bytes.data(), N);
  fill(w);
  if (!w.Produced(N)) TemplateBlockHasWrongLength();
  return bytes;
}

constexpr size_t TextLength(const char* text) {
  size_t n = 0;
  while (text[n] != 0) ++n;
  return n;
}

// ---- layer extra data ---------------------------------------------------------

// The 48 bytes every layer block starts with: no layer mask and ten blending
// ranges that let everything through (black 0 to 0, white 255 to 255):
// composite gray source and destination, then source and destination of
// each of four channels.
constexpr void CommonLayerPart(ByteWriter& w) {
  w.PutBE32(0);   // layer mask data length: no layer mask
  w.PutBE32(40);  // blending ranges length
  for (int range = 0; range < 10; ++range) {
    w.PutU8(0);    // black low
    w.PutU8(0);    // black high
    w.PutU8(255);  // white low
    w.PutU8(255);  // white high
  }
}

// Length byte and at most 31 characters, zero bytes to a multiple of 4.
constexpr void LayerName(ByteWriter& w, const char* name) {
  size_t start = w.position();
  size_t length = TextLength(name);
  if (length > 31) length = 31;
  w.PutU8(static_cast<uint32_t>(length));
  for (size_t i = 0; i < length; ++i) w.PutU8(static_cast<uint8_t>(name[i]));
  w.PadTo(4, start);
}

// "8BIM", key, 4-byte data length (filled in by EndInfo), data.
constexpr size_t BeginInfo(ByteWriter& w, const char* key) {
  w.PutText("8BIM");
  w.PutText(key);
  size_t lengthAt = w.position();
  w.PutBE32(0);
  return lengthAt;
}
constexpr void EndInfo(ByteWriter& w, size_t lengthAt) {
  w.PatchBE32(lengthAt, static_cast<uint32_t>(w.position() - lengthAt - 4));
}

// UTF-16 big-endian code units of an ASCII text.
constexpr void Utf16(ByteWriter& w, const char* text) {
  for (size_t i = 0; text[i] != 0; ++i) w.PutBE16(static_cast<uint8_t>(text[i]));
}

// "luni": the whole name in UTF-16, zero bytes to a multiple of 4.
constexpr void UnicodeNameInfo(ByteWriter& w, const char* name) {
  size_t at = BeginInfo(w, "luni");
  w.PutBE32(static_cast<uint32_t>(TextLength(name)));  // UTF-16 code units
  Utf16(w, name);
  w.PadTo(4, at + 4);
  EndInfo(w, at);
}

constexpr void NameSourceInfo(ByteWriter& w, const char* source) {
  size_t at = BeginInfo(w, "lnsr");
  w.PutText(source);
  EndInfo(w, at);
}

constexpr void LayerIdInfo(ByteWriter& w, uint32_t id) {
  size_t at = BeginInfo(w, "lyid");
  w.PutBE32(id);
  EndInfo(w, at);
}

// A one-byte setting followed by three zero bytes.
constexpr void ByteSettingInfo(ByteWriter& w, const char* key, uint32_t value) {
  size_t at = BeginInfo(w, key);
  w.PutU8(value);
  w.PutZeros(3);
  EndInfo(w, at);
}

// Protection flags: bit 0 transparency, bit 1 composite, bit 2 position.
constexpr uint32_t kProtectTransparency = 1u << 0;
constexpr uint32_t kProtectComposite = 1u << 1;
constexpr uint32_t kProtectPosition = 1u << 2;
constexpr uint32_t kProtectBit31 = 1u << 31;

constexpr void ProtectionInfo(ByteWriter& w, uint32_t flags) {
  size_t at = BeginInfo(w, "lspf");
  w.PutBE32(flags);
  EndInfo(w, at);
}

// The settings that close every layer block: blending of clipped elements
// on, interior elements and knockout off, no sheet colour, and a reference
// point of (0.0, 0.0).
constexpr void ClosingInfo(ByteWriter& w, uint32_t protection) {
  ByteSettingInfo(w, "clbl", 1);  // blend clipped elements
  ByteSettingInfo(w, "infx", 0);  // blend interior elements
  ByteSettingInfo(w, "knko", 0);  // knockout
  ProtectionInfo(w, protection);
  size_t at = BeginInfo(w, "lclr");  // sheet colour: none
  w.PutZeros(8);
  EndInfo(w, at);
  at = BeginInfo(w, "fxrp");  // reference point: two 8-byte doubles, 0.0
  w.PutZeros(8);
  w.PutZeros(8);
  EndInfo(w, at);
}

constexpr char kBackgroundName[] = "Background";
constexpr char kShadingName[] = "KShading (do not edit this layer)";
constexpr char kMaskedName[] = "Kelvra Masked Layer";

// ---- image resources ----------------------------------------------------------

// "8BIM", identifier, name (length byte and text, a zero byte added when
// their count is odd), 4-byte data size (filled in by EndResource), data.
constexpr size_t BeginResource(ByteWriter& w, uint32_t id, const char* name) {
  w.PutText("8BIM");
  w.PutBE16(id);
  size_t nameStart = w.position();
  w.PutU8(static_cast<uint32_t>(TextLength(name)));
  w.PutText(name);
  w.PadTo(2, nameStart);
  size_t sizeAt = w.position();
  w.PutBE32(0);
  return sizeAt;
}
// Data of odd size is followed by one zero byte, not counted in the size.
constexpr void EndResource(ByteWriter& w, size_t sizeAt) {
  w.PatchBE32(sizeAt, static_cast<uint32_t>(w.position() - sizeAt - 4));
  w.PadTo(2, sizeAt + 4);
}

// 16.16 fixed point, rounded to nearest.
constexpr uint32_t Fixed(double value) {
  return static_cast<uint32_t>(value * 65536.0 + 0.5);
}

// A Unicode string: 4-byte count of UTF-16 code units, then the code units.
constexpr void UnicodeString(ByteWriter& w, const char* text) {
  w.PutBE32(static_cast<uint32_t>(TextLength(text)));
  Utf16(w, text);
}

constexpr void HalftoneScreen(ByteWriter& w, double frequency, double angle) {
  w.PutBE32(Fixed(frequency));  // frequency
  w.PutBE16(1);                 // frequency unit: lines per inch
  w.PutBE32(Fixed(angle));      // angle
  w.PutBE16(6);                 // shape
  w.PutBE32(0);                 // reserved
  w.PutU8(0);                   // accurate screens
  w.PutU8(1);                   // printer's default screens
}

// Transfer curve of one ink: 13 points (0, eleven unused points of -1, 1000)
// and override 0.
constexpr void TransferCurve(ByteWriter& w) {
  w.PutBE16(0);
  for (int i = 0; i < 11; ++i) w.PutBE16(0xFFFF);
  w.PutBE16(1000);
  w.PutBE16(0);  // override
}

// ---- the thumbnail's JFIF image -------------------------------------------------
//
// A 2 x 2 image of one colour (200, 40, 40), coded by libjpeg at quality 50
// with the standard tables; tools/make_thumbnail_jfif.py regenerates the same
// bytes. Quality 50 makes the quantisation tables the example tables of the
// JPEG standard (Annex K.1, K.2), listed here in the zigzag order of the DQT
// segment; the Huffman tables are the standard ones (K.3 to K.6), the
// chrominance AC table cut after its first 63 codes so that the image is
// exactly 539 bytes (the scan uses only the first code of each AC table).

constexpr uint8_t kLuminanceQuantisation[64] = {
    16, 11, 12, 14, 12, 10, 16, 14, 13, 14, 18, 17, 16, 19, 24, 40,
    26, 24, 22, 22, 24, 49, 35, 37, 29, 40, 58, 51, 61, 60, 57, 51,
    56, 55, 64, 72, 92, 78, 64, 68, 87, 69, 55, 56, 80, 109, 81, 87,
    95, 98, 103, 104, 103, 62, 77, 113, 121, 112, 100, 120, 92, 101, 103, 99};
constexpr uint8_t kChrominanceQuantisation[64] = {
    17, 18, 18, 24, 21, 24, 47, 26, 26, 47, 99, 66, 56, 66, 99, 99,
    99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99,
    99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99,
    99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99};

// Codes per length 1 to 16, then the symbols in code order.
constexpr uint8_t kDcLuminanceCounts[16] = {0, 1, 5, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0};
constexpr uint8_t kDcChrominanceCounts[16] = {0, 3, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0};
constexpr uint8_t kDcSymbols[12] = {0x00, 0x01, 0x02, 0x03, 0x04, 0x05,
                                    0x06, 0x07, 0x08, 0x09, 0x0A, 0x0B};
constexpr uint8_t kAcLuminanceCounts[16] = {0, 2, 1, 3, 3, 2, 4, 3, 5, 5, 4, 4, 0, 0, 1, 125};
constexpr uint8_t kAcLuminanceSymbols[162] = {
    0x01, 0x02, 0x03, 0x00, 0x04, 0x11, 0x05, 0x12, 0x21, 0x31, 0x41, 0x06,
    0x13, 0x51, 0x61, 0x07, 0x22, 0x71, 0x14, 0x32, 0x81, 0x91, 0xA1, 0x08,
    0x23, 0x42, 0xB1, 0xC1, 0x15, 0x52, 0xD1, 0xF0, 0x24, 0x33, 0x62, 0x72,
    0x82, 0x09, 0x0A, 0x16, 0x17, 0x18, 0x19, 0x1A, 0x25, 0x26, 0x27, 0x28,
    0x29, 0x2A, 0x34, 0x35, 0x36, 0x37, 0x38, 0x39, 0x3A, 0x43, 0x44, 0x45,
    0x46, 0x47, 0x48, 0x49, 0x4A, 0x53, 0x54, 0x55, 0x56, 0x57, 0x58, 0x59,
    0x5A, 0x63, 0x64, 0x65, 0x66, 0x67, 0x68, 0x69, 0x6A, 0x73, 0x74, 0x75,
    0x76, 0x77, 0x78, 0x79, 0x7A, 0x83, 0x84, 0x85, 0x86, 0x87, 0x88, 0x89,
    0x8A, 0x92, 0x93, 0x94, 0x95, 0x96, 0x97, 0x98, 0x99, 0x9A, 0xA2, 0xA3,
    0xA4, 0xA5, 0xA6, 0xA7, 0xA8, 0xA9, 0xAA, 0xB2, 0xB3, 0xB4, 0xB5, 0xB6,
    0xB7, 0xB8, 0xB9, 0xBA, 0xC2, 0xC3, 0xC4, 0xC5, 0xC6, 0xC7, 0xC8, 0xC9,
    0xCA, 0xD2, 0xD3, 0xD4, 0xD5, 0xD6, 0xD7, 0xD8, 0xD9, 0xDA, 0xE1, 0xE2,
    0xE3, 0xE4, 0xE5, 0xE6, 0xE7, 0xE8, 0xE9, 0xEA, 0xF1, 0xF2, 0xF3, 0xF4,
    0xF5, 0xF6, 0xF7, 0xF8, 0xF9, 0xFA};
// K.6 has 119 codes of length 16; the first 20 of them are kept.
constexpr uint8_t kAcChrominanceCounts[16] = {0, 2, 1, 2, 4, 4, 3, 4, 7, 5, 4, 4, 0, 1, 2, 20};
constexpr uint8_t kAcChrominanceSymbols[63] = {
    0x00, 0x01, 0x02, 0x03, 0x11, 0x04, 0x05, 0x21, 0x31, 0x06, 0x12, 0x41,
    0x51, 0x07, 0x61, 0x71, 0x13, 0x22, 0x32, 0x81, 0x08, 0x14, 0x42, 0x91,
    0xA1, 0xB1, 0xC1, 0x09, 0x23, 0x33, 0x52, 0xF0, 0x15, 0x62, 0x72, 0xD1,
    0x0A, 0x16, 0x24, 0x34, 0xE1, 0x25, 0xF1, 0x17, 0x18, 0x19, 0x1A, 0x26,
    0x27, 0x28, 0x29, 0x2A, 0x35, 0x36, 0x37, 0x38, 0x39, 0x3A, 0x43, 0x44,
    0x45, 0x46, 0x47};

// The one MCU's entropy-coded bytes: four luminance blocks and one block of
// each chrominance component, each a DC difference and an end of block.
constexpr uint8_t kCodedScan[7] = {0xCB, 0xA2, 0x8A, 0x2B, 0x88, 0xFA, 0x63};

// A marker segment: 0xFF, marker, 2-byte length counting itself (filled in by
// EndSegment), payload.
constexpr size_t BeginSegment(ByteWriter& w, uint32_t marker) {
  w.PutU8(0xFF);
  w.PutU8(marker);
  size_t lengthAt = w.position();
  w.PutBE16(0);
  return lengthAt;
}
constexpr void EndSegment(ByteWriter& w, size_t lengthAt) {
  w.PatchBE16(lengthAt, static_cast<uint32_t>(w.position() - lengthAt));
}

constexpr void HuffmanTable(ByteWriter& w, uint32_t classAndId, const uint8_t* counts,
                            const uint8_t* symbols, size_t symbolCount) {
  w.PutU8(classAndId);  // class (0 DC, 1 AC) in the high nibble, table id low
  w.PutBytes(counts, 16);
  w.PutBytes(symbols, symbolCount);
}

constexpr void ThumbnailJfif(ByteWriter& w) {
  w.PutU8(0xFF), w.PutU8(0xD8);  // start of image

  size_t at = BeginSegment(w, 0xE0);  // APP0
  w.PutText("JFIF");
  w.PutU8(0);
  w.PutU8(1), w.PutU8(2);  // version 1.02
  w.PutU8(1);              // density unit: dots per inch
  w.PutBE16(72);           // horizontal density
  w.PutBE16(72);           // vertical density
  w.PutU8(0), w.PutU8(0);  // no embedded thumbnail
  EndSegment(w, at);

  at = BeginSegment(w, 0xEE);  // APP14
  w.PutText("Adobe");
  w.PutBE16(100);     // version
  w.PutBE16(0x8000);  // flags 0
  w.PutBE16(0);       // flags 1
  w.PutU8(1);         // colour transform: YCbCr
  EndSegment(w, at);

  at = BeginSegment(w, 0xDB);  // DQT: 8-bit tables 0 and 1
  w.PutU8(0x00);
  w.PutBytes(kLuminanceQuantisation, 64);
  w.PutU8(0x01);
  w.PutBytes(kChrominanceQuantisation, 64);
  EndSegment(w, at);

  at = BeginSegment(w, 0xC0);  // SOF0: baseline
  w.PutU8(8);                  // sample precision
  w.PutBE16(2);                // lines
  w.PutBE16(2);                // samples per line
  w.PutU8(3);                  // components
  w.PutU8(1), w.PutU8(0x22), w.PutU8(0);  // Y: sampled 2 x 2, table 0
  w.PutU8(2), w.PutU8(0x11), w.PutU8(1);  // Cb: 1 x 1, table 1
  w.PutU8(3), w.PutU8(0x11), w.PutU8(1);  // Cr: 1 x 1, table 1
  EndSegment(w, at);

  at = BeginSegment(w, 0xDD);  // DRI
  w.PutBE16(1);                // restart interval: one MCU
  EndSegment(w, at);

  at = BeginSegment(w, 0xC4);  // DHT
  HuffmanTable(w, 0x00, kDcLuminanceCounts, kDcSymbols, 12);
  HuffmanTable(w, 0x10, kAcLuminanceCounts, kAcLuminanceSymbols, 162);
  HuffmanTable(w, 0x01, kDcChrominanceCounts, kDcSymbols, 12);
  HuffmanTable(w, 0x11, kAcChrominanceCounts, kAcChrominanceSymbols, 63);
  EndSegment(w, at);

  at = BeginSegment(w, 0xDA);  // SOS
  w.PutU8(3);                  // components in the scan
  w.PutU8(1), w.PutU8(0x00);   // Y: DC table 0, AC table 0
  w.PutU8(2), w.PutU8(0x11);   // Cb: DC table 1, AC table 1
  w.PutU8(3), w.PutU8(0x11);   // Cr: DC table 1, AC table 1
  w.PutU8(0), w.PutU8(63);     // spectral selection 0 to 63
  w.PutU8(0);                  // successive approximation
  EndSegment(w, at);
  w.PutBytes(kCodedScan, sizeof kCodedScan);

  w.PutU8(0xFF), w.PutU8(0xD9);  // end of image
}

constexpr std::array<uint8_t, kThumbnailJfifBytes> kThumbnailJfif =
    BuildBlock<kThumbnailJfifBytes>(ThumbnailJfif);

}  // namespace

constexpr std::array<uint8_t, 240> BackgroundLayerExtra = BuildBlock<240>([](ByteWriter& w) {
  CommonLayerPart(w);
  LayerName(w, kBackgroundName);
  UnicodeNameInfo(w, kBackgroundName);
  NameSourceInfo(w, "bgnd");
  LayerIdInfo(w, 1);
  ClosingInfo(w, kProtectTransparency | kProtectPosition);
});

constexpr std::array<uint8_t, 292> ShadingLayerExtra = BuildBlock<292>([](ByteWriter& w) {
  CommonLayerPart(w);
  LayerName(w, kShadingName);  // cut to its first 31 characters
  UnicodeNameInfo(w, kShadingName);
  LayerIdInfo(w, 2);
  ClosingInfo(w, kProtectTransparency | kProtectComposite | kProtectPosition | kProtectBit31);
});

constexpr std::array<uint8_t, 252> MaskedLayerExtra = BuildBlock<252>([](ByteWriter& w) {
  CommonLayerPart(w);
  LayerName(w, kMaskedName);
  UnicodeNameInfo(w, kMaskedName);
  LayerIdInfo(w, 3);
  ClosingInfo(w, kProtectTransparency);
});

constexpr std::array<uint8_t, 1548> ImageResourcesTemplate = BuildBlock<1548>([](ByteWriter& w) {
  size_t at = BeginResource(w, 1005, "Resolution");
  w.PutBE32(Fixed(72.0));  // horizontal resolution
  w.PutBE16(1);            // unit: pixels per inch
  w.PutBE16(1);            // width shown in inches
  w.PutBE32(Fixed(72.0));  // vertical resolution
  w.PutBE16(1);            // unit: pixels per inch
  w.PutBE16(1);            // height shown in inches
  EndResource(w, at);

  at = BeginResource(w, 1037, "FX Global Lighting Angle");
  w.PutBE32(120);  // degrees
  EndResource(w, at);

  at = BeginResource(w, 1049, "FX Global Altitude");
  w.PutBE32(30);
  EndResource(w, at);

  at = BeginResource(w, 1011, "Print Flags");
  w.PutU8(0);  // labels
  w.PutU8(0);  // crop marks
  w.PutU8(0);  // colour bars
  w.PutU8(0);  // registration marks
  w.PutU8(0);  // negative
  w.PutU8(0);  // flip
  w.PutU8(0);  // interpolate
  w.PutU8(0);  // caption
  w.PutU8(1);  // print flags
  EndResource(w, at);

  at = BeginResource(w, 1034, "Copyright Flag");
  w.PutU8(0);
  EndResource(w, at);

  at = BeginResource(w, 10000, "Japanese Print Flags");
  w.PutBE16(1);  // version
  w.PutU8(0);    // centre crop marks
  w.PutU8(0);    // reserved
  w.PutBE32(0);  // bleed width
  w.PutBE16(2);  // bleed width scale
  EndResource(w, at);

  at = BeginResource(w, 1013, "Color Halftone Settings");
  HalftoneScreen(w, 47.4, 108.4);
  HalftoneScreen(w, 47.4, 161.6);
  HalftoneScreen(w, 50.0, 90.0);
  HalftoneScreen(w, 53.0, 45.0);
  EndResource(w, at);

  at = BeginResource(w, 1016, "Color Transfer Settings");
  for (int ink = 0; ink < 4; ++ink) TransferCurve(w);
  EndResource(w, at);

  at = BeginResource(w, 1024, "Layer State");
  w.PutBE16(0);  // target layer
  EndResource(w, at);

  at = BeginResource(w, 1026, "Layer Groups");
  w.PutBE16(0);  // group of the first layer
  w.PutBE16(0);  // group of the second layer
  EndResource(w, at);

  at = BeginResource(w, 1032, "Guides");
  w.PutBE32(1);      // version
  w.PutBE32(0x240);  // horizontal grid
  w.PutBE32(0x240);  // vertical grid
  w.PutBE32(0);      // guide count
  EndResource(w, at);

  at = BeginResource(w, 1054, "URL overrides");
  w.PutBE32(0);  // URL count
  EndResource(w, at);

  at = BeginResource(w, 1050, "Slices");
  w.PutBE32(6);  // version
  w.PutBE32(0), w.PutBE32(0), w.PutBE32(2), w.PutBE32(2);  // bounds: top, left, bottom, right
  UnicodeString(w, "Copy of TempLaunchEditorExport");      // group name
  w.PutBE32(1);    // slice count
  w.PutBE32(0);    // slice id
  w.PutBE32(0);    // group id
  w.PutBE32(0);    // origin
  w.PutBE32(0);    // name: empty Unicode string
  w.PutBE32(1);    // type
  w.PutBE32(0), w.PutBE32(0), w.PutBE32(2), w.PutBE32(2);  // left, top, right, bottom
  w.PutBE32(0);    // URL
  w.PutBE32(0);    // target
  w.PutBE32(0);    // message
  w.PutBE32(0);    // alt tag
  w.PutU8(0);      // cell text is HTML
  w.PutBE32(0);    // cell text
  w.PutBE32(0);    // horizontal alignment
  w.PutBE32(0);    // vertical alignment
  w.PutU8(0), w.PutU8(0), w.PutU8(0), w.PutU8(0);  // alpha, red, green, blue
  EndResource(w, at);

  at = BeginResource(w, 1041, "ICC Untagged Flag");
  w.PutU8(1);
  EndResource(w, at);

  at = BeginResource(w, 1044, "Layer ID Generator Base");
  w.PutBE32(2);
  EndResource(w, at);

  at = BeginResource(w, 1036, "New Windows Thumbnail");
  w.PutBE32(1);                    // format: JPEG, RGB
  w.PutBE32(2);                    // width
  w.PutBE32(2);                    // height
  w.PutBE32(8);                    // bytes per padded row: 2 x 3 to a multiple of 4
  w.PutBE32(16);                   // total size: 8 x 2
  w.PutBE32(kThumbnailJfifBytes);  // compressed size
  w.PutBE16(24);                   // bits per pixel
  w.PutBE16(1);                    // planes
  w.PutBytes(kThumbnailJfif.data(), kThumbnailJfif.size());
  EndResource(w, at);

  at = BeginResource(w, 1057, "Version compatibility info");
  w.PutBE32(1);  // version
  w.PutU8(1);    // has real merged data
  UnicodeString(w, "Adobe Photoshop");      // writer name
  UnicodeString(w, kOwnVersionReaderName);  // reader name
  w.PutBE32(1);  // file version
  EndResource(w, at);
});

}  // namespace kelvra
