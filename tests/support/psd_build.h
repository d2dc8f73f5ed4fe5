// Hand-built Photoshop documents for reader tests: any header values, raw or
// PackBits channels, layers with any rectangle, channel order and count.
// Written apart from the library's writers, so that the reader is not only
// tested against documents of its own making.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kelvra::testing {

// PackBits rows as a plain encoder makes them (runs of 3 and more, literals
// otherwise), each row on its own.
std::vector<uint8_t> PackRow(const uint8_t* samples, size_t count);

struct TestChannel {
  int16_t id = 0;
  uint16_t compression = 0;       // 0 raw, 1 PackBits, anything else as given
  std::vector<uint8_t> samples;   // rows x columns of the layer (or document)
  // For PackBits: extra bytes after each packed row (as ImageMagick's -128).
  std::vector<uint8_t> rowTail;
};

struct TestLayer {
  int32_t top = 0, left = 0, bottom = 0, right = 0;
  std::vector<TestChannel> channels;  // a -2 channel covers the mask rectangle
  int16_t channelCountField = 0;  // 0: the number of channels
  bool overrideChannelCount = false;
  char blendKey[5] = "norm";
  uint8_t opacity = 255;
  uint8_t clipping = 0;
  uint8_t flags = 0;  // 0x02: hidden
  // The user mask's data (written when hasMask): rectangle, default colour, flags.
  bool hasMask = false;
  int32_t maskTop = 0, maskLeft = 0, maskBottom = 0, maskRight = 0;
  uint8_t maskDefault = 0, maskFlags = 0;
  std::vector<uint8_t> maskExtra;  // after the flags (parameters, padding)
  std::string name = "L";
  std::vector<uint8_t> blocks;  // tagged blocks after the name (see Block)
};

struct TestDoc {
  char signature[5] = "8BPS";
  uint16_t version = 1;
  int16_t channels = 3;
  uint32_t rows = 0, columns = 0;
  uint16_t depth = 8, mode = 3;
  std::vector<uint8_t> resources;  // the section's bytes
  bool layerSection = false;
  bool overrideLayerCount = false;
  int16_t layerCountField = 0;
  std::vector<TestLayer> layers;
  // The composite: one plane per header channel (raw samples).
  uint16_t compositeCompression = 0;
  std::vector<std::vector<uint8_t>> composite;
  std::vector<uint8_t> compositeRowTail;  // PackBits: bytes after each row
  bool omitComposite = false;             // the document ends after the layer section
  // After the layer info: tagged blocks (an empty global mask comes first).
  std::vector<uint8_t> globalBlocks;
};

std::vector<uint8_t> BuildPsd(const TestDoc& doc);

// An image resource block ("8BIM", id, empty name, data, pad to even).
std::vector<uint8_t> Resource(uint16_t id, const std::vector<uint8_t>& data);

// A tagged block ("8BIM", key, length, data).
std::vector<uint8_t> Block(const char* key, const std::vector<uint8_t>& data);
// A section divider block: type 1 open group, 2 closed group, 3 bounding
// divider; with a blend key (4 characters) when given.
std::vector<uint8_t> SectionBlock(uint32_t type, const char* blendKey = nullptr);
// The two records that bound a group, stored top-down: the divider below the
// group's layers (file order first) and the group's own record above them,
// with its blend key and opacity.
TestLayer GroupDivider();
TestLayer GroupRecord(const char* key, uint8_t opacity = 255);
// A Unicode name block.
std::vector<uint8_t> UnicodeNameBlock(const std::string& name);
// A one-byte value block (fill opacity "iOpa").
std::vector<uint8_t> ByteBlock(const char* key, uint8_t value);

// Action descriptors, for the tagged blocks that hold one. An ID is a
// 4-character key after a zero length ("Clr "), or any other text after its
// length ("masterFXSwitch"); a typed value is its 4-character type, then its
// bytes.
std::vector<uint8_t> IdBytes(const std::string& id);
struct Item {
  std::string key;
  std::vector<uint8_t> value;  // typed
};
// Class name (empty), class ID, count, then each key and typed value.
std::vector<uint8_t> DescriptorBytes(const std::string& classId, const std::vector<Item>& items);
std::vector<uint8_t> ObjectValue(const std::string& classId, const std::vector<Item>& items);
std::vector<uint8_t> ListValue(const std::vector<std::vector<uint8_t>>& values);
std::vector<uint8_t> DoubleValue(double v);
std::vector<uint8_t> UnitValue(const char* unit, double v);  // "UntF", e.g. "#Prc"
std::vector<uint8_t> BoolValue(bool v);
std::vector<uint8_t> IntegerValue(int32_t v);
std::vector<uint8_t> EnumValue(const std::string& type, const std::string& value);
std::vector<uint8_t> RgbValue(double r, double g, double b);  // an "RGBC" object
// A block holding a descriptor: version 16, then the descriptor; for
// effects ("lfx2") the object effects version (0) comes first.
std::vector<uint8_t> DescriptorBlock(const char* key, const std::vector<Item>& items);
// A solid colour fill ("SoCo").
std::vector<uint8_t> SolidColourBlock(double r, double g, double b);
// An artboard block ("artb"): its rectangle, background type (1 white,
// 2 black, 3 transparent, 4 the colour of a "Clr " item in `more`).
std::vector<uint8_t> ArtboardBlock(double top, double left, double bottom, double right,
                                   int32_t background, std::vector<Item> more = {});
// An effects item: a colour overlay ("SoFi") in blend mode `mode` (the
// descriptor's name for it, "Nrml" or "multiply"), opacity in percent.
Item ColourOverlay(const std::string& mode, double opacity, double r, double g, double b,
                   bool enabled = true);
// The settings of a gradient overlay ("GrFl" object) or gradient fill
// ("GdFl" descriptor): a linear gradient at 90 degrees from black to
// (200, 100, 40), opaque to transparent, classic, smoothness 0; `changes`
// replace or add items (an item "Grad" replaces the whole gradient).
std::vector<Item> GradientSettings(const std::vector<Item>& changes = {});
// The "Grad" object of GradientSettings, with `changes` applied to it.
std::vector<uint8_t> GradientObject(const std::vector<Item>& changes = {});
// A gradient overlay's settings the compositor draws: `method` ("Perc",
// "Lnr "), smoothness 100 %, black to white, one transparency `alpha`
// percent, switched on, normal mode at `opacity`; `changes` as for
// GradientSettings.
std::vector<Item> MatchedGradient(const char* method, double opacity = 100, double alpha = 100,
                                  const std::vector<Item>& changes = {});

// A Gradient Map block ("grdm") from black to (250, 75, 2) to white, opaque:
// `version` 1 or 3 (3 writes `method`), the dither byte, smoothness
// (0..4096) and the colour space of its first stop.
struct GradientMapSettings {
  uint16_t version = 3;
  const char* method = "Gcls";
  uint8_t dithered = 0;
  uint16_t smoothness = 0, space = 0;
};
std::vector<uint8_t> GradientMapBlock(const GradientMapSettings& s);

// A pattern overlay ("patternFill" item) of pattern `id`, normal, 100 %,
// linked, phase 0, at `scale` percent; `changes` replace or add items.
Item PatternOverlay(const std::string& id, double scale, const std::vector<Item>& changes = {});
// A "Patt" block of one RGB pattern `id`, rows x columns, its planes
// (R, G, B one after another) raw or PackBits.
std::vector<uint8_t> PatternsBlock(const std::string& id, uint16_t rows, uint16_t columns,
                                   const std::vector<uint8_t>& planes, bool packed);

}  // namespace kelvra::testing
