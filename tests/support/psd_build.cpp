#include "tests/support/psd_build.h"

#include <cstring>

namespace kelvra::testing {

namespace {

struct Out {
  std::vector<uint8_t> b;
  void U8(uint32_t v) { b.push_back(static_cast<uint8_t>(v)); }
  void U16(uint32_t v) { U8(v >> 8), U8(v); }
  void U32(uint32_t v) { U16(v >> 16), U16(v & 0xFFFF); }
  void Bytes(const std::vector<uint8_t>& v) { b.insert(b.end(), v.begin(), v.end()); }
  void PatchU32(size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (24 - 8 * i));
  }
};

// Compression value, byte counts for PackBits, data.
std::vector<uint8_t> ChannelData(const std::vector<uint8_t>& samples, uint16_t compression,
                                 uint32_t rows, uint32_t columns,
                                 const std::vector<uint8_t>& rowTail) {
  Out o;
  o.U16(compression);
  if (compression != 1) {
    o.Bytes(samples);
    return o.b;
  }
  std::vector<std::vector<uint8_t>> packed;
  for (uint32_t r = 0; r < rows; ++r) {
    packed.push_back(PackRow(samples.data() + r * columns, columns));
    packed.back().insert(packed.back().end(), rowTail.begin(), rowTail.end());
  }
  for (const auto& p : packed) o.U16(static_cast<uint32_t>(p.size()));
  for (const auto& p : packed) o.Bytes(p);
  return o.b;
}

}  // namespace

std::vector<uint8_t> PackRow(const uint8_t* s, size_t n) {
  std::vector<uint8_t> out;
  size_t i = 0;
  while (i < n) {
    size_t run = 1;
    while (i + run < n && run < 128 && s[i + run] == s[i]) ++run;
    if (run >= 3 || (run == 2 && i + run == n)) {
      out.push_back(static_cast<uint8_t>(1 - static_cast<int>(run)));
      out.push_back(s[i]);
      i += run;
      continue;
    }
    size_t lit = 0;
    while (i + lit < n && lit < 128) {
      if (i + lit + 2 < n && s[i + lit] == s[i + lit + 1] && s[i + lit] == s[i + lit + 2]) break;
      ++lit;
    }
    out.push_back(static_cast<uint8_t>(lit - 1));
    out.insert(out.end(), s + i, s + i + lit);
    i += lit;
  }
  return out;
}

std::vector<uint8_t> Resource(uint16_t id, const std::vector<uint8_t>& data) {
  Out o;
  for (char c : {'8', 'B', 'I', 'M'}) o.U8(c);
  o.U16(id);
  o.U16(0);  // empty name and its pad byte
  o.U32(static_cast<uint32_t>(data.size()));
  o.Bytes(data);
  if (data.size() & 1) o.U8(0);
  return o.b;
}

std::vector<uint8_t> Block(const char* key, const std::vector<uint8_t>& data) {
  Out o;
  for (char c : {'8', 'B', 'I', 'M'}) o.U8(c);
  for (int i = 0; i < 4; ++i) o.U8(static_cast<uint8_t>(key[i]));
  o.U32(static_cast<uint32_t>(data.size()));
  o.Bytes(data);
  return o.b;
}

std::vector<uint8_t> SectionBlock(uint32_t type, const char* blendKey) {
  Out o;
  o.U32(type);
  if (blendKey != nullptr) {
    for (char c : {'8', 'B', 'I', 'M'}) o.U8(c);
    for (int i = 0; i < 4; ++i) o.U8(static_cast<uint8_t>(blendKey[i]));
  }
  return Block("lsct", o.b);
}

TestLayer GroupDivider() {
  TestLayer l;
  l.name = "</Layer group>";
  l.blocks = SectionBlock(3);
  return l;
}

TestLayer GroupRecord(const char* key, uint8_t opacity) {
  TestLayer l;
  l.name = "Group";
  l.opacity = opacity;
  std::memcpy(l.blendKey, key, 4);
  l.blocks = SectionBlock(1, key);
  return l;
}

std::vector<uint8_t> UnicodeNameBlock(const std::string& name) {
  Out o;
  o.U32(static_cast<uint32_t>(name.size()));
  for (char c : name) o.U16(static_cast<uint8_t>(c));
  while (o.b.size() % 4) o.U8(0);
  return Block("luni", o.b);
}

std::vector<uint8_t> ByteBlock(const char* key, uint8_t value) {
  return Block(key, {value, 0, 0, 0});
}

std::vector<uint8_t> IdBytes(const std::string& id) {
  Out o;
  o.U32(id.size() == 4 ? 0 : static_cast<uint32_t>(id.size()));
  for (char c : id) o.U8(static_cast<uint8_t>(c));
  return o.b;
}

namespace {
std::vector<uint8_t> Typed(const char* type, const std::vector<uint8_t>& bytes) {
  Out o;
  for (int i = 0; i < 4; ++i) o.U8(static_cast<uint8_t>(type[i]));
  o.Bytes(bytes);
  return o.b;
}
std::vector<uint8_t> DoubleBytes(double v) {
  uint64_t bits;
  std::memcpy(&bits, &v, 8);
  Out o;
  o.U32(static_cast<uint32_t>(bits >> 32)), o.U32(static_cast<uint32_t>(bits));
  return o.b;
}
}  // namespace

std::vector<uint8_t> DescriptorBytes(const std::string& classId, const std::vector<Item>& items) {
  Out o;
  o.U32(0);  // class name: no units
  o.Bytes(IdBytes(classId));
  o.U32(static_cast<uint32_t>(items.size()));
  for (const Item& i : items) o.Bytes(IdBytes(i.key)), o.Bytes(i.value);
  return o.b;
}

std::vector<uint8_t> ObjectValue(const std::string& classId, const std::vector<Item>& items) {
  return Typed("Objc", DescriptorBytes(classId, items));
}

std::vector<uint8_t> ListValue(const std::vector<std::vector<uint8_t>>& values) {
  Out o;
  o.U32(static_cast<uint32_t>(values.size()));
  for (const auto& v : values) o.Bytes(v);
  return Typed("VlLs", o.b);
}

std::vector<uint8_t> DoubleValue(double v) { return Typed("doub", DoubleBytes(v)); }

std::vector<uint8_t> UnitValue(const char* unit, double v) {
  std::vector<uint8_t> b(unit, unit + 4);
  const std::vector<uint8_t> d = DoubleBytes(v);
  b.insert(b.end(), d.begin(), d.end());
  return Typed("UntF", b);
}

std::vector<uint8_t> BoolValue(bool v) { return Typed("bool", {static_cast<uint8_t>(v)}); }

std::vector<uint8_t> IntegerValue(int32_t v) {
  Out o;
  o.U32(static_cast<uint32_t>(v));
  return Typed("long", o.b);
}

std::vector<uint8_t> EnumValue(const std::string& type, const std::string& value) {
  std::vector<uint8_t> b = IdBytes(type);
  const std::vector<uint8_t> v = IdBytes(value);
  b.insert(b.end(), v.begin(), v.end());
  return Typed("enum", b);
}

std::vector<uint8_t> RgbValue(double r, double g, double b) {
  return ObjectValue("RGBC", {{"Rd  ", DoubleValue(r)}, {"Grn ", DoubleValue(g)},
                              {"Bl  ", DoubleValue(b)}});
}

std::vector<uint8_t> DescriptorBlock(const char* key, const std::vector<Item>& items) {
  Out o;
  if (std::strcmp(key, "lfx2") == 0 || std::strcmp(key, "lmfx") == 0) o.U32(0);
  o.U32(16);
  o.Bytes(DescriptorBytes("null", items));
  return Block(key, o.b);
}

std::vector<uint8_t> SolidColourBlock(double r, double g, double b) {
  return DescriptorBlock("SoCo", {{"Clr ", RgbValue(r, g, b)}});
}

std::vector<uint8_t> ArtboardBlock(double top, double left, double bottom, double right,
                                   int32_t background, std::vector<Item> more) {
  const std::vector<Item> rect = {{"Top ", DoubleValue(top)}, {"Left", DoubleValue(left)},
                                  {"Btom", DoubleValue(bottom)}, {"Rght", DoubleValue(right)}};
  more.push_back({"artboardRect", ObjectValue("classFloatRect", rect)});
  more.push_back({"artboardBackgroundType", IntegerValue(background)});
  return DescriptorBlock("artb", more);
}

Item ColourOverlay(const std::string& mode, double opacity, double r, double g, double b,
                   bool enabled) {
  return {"SoFi", ObjectValue("SoFi", {{"enab", BoolValue(enabled)},
                                       {"Md  ", EnumValue("BlnM", mode)},
                                       {"Opct", UnitValue("#Prc", opacity)},
                                       {"Clr ", RgbValue(r, g, b)}})};
}

namespace {
std::vector<Item> Changed(std::vector<Item> items, const std::vector<Item>& changes) {
  for (const Item& c : changes) {
    bool replaced = false;
    for (Item& i : items) {
      if (i.key == c.key) i.value = c.value, replaced = true;
    }
    if (!replaced) items.push_back(c);
  }
  return items;
}
std::vector<uint8_t> Stop(int32_t location, int32_t midpoint, std::vector<Item> value) {
  value.push_back({"Lctn", IntegerValue(location)});
  value.push_back({"Mdpn", IntegerValue(midpoint)});
  return ObjectValue("Clrt", value);
}
}  // namespace

std::vector<uint8_t> GradientObject(const std::vector<Item>& changes) {
  const std::vector<uint8_t> colours = ListValue(
      {Stop(0, 50, {{"Clr ", RgbValue(0, 0, 0)}, {"Type", EnumValue("Clry", "UsrS")}}),
       Stop(4096, 50, {{"Clr ", RgbValue(200, 100, 40)}, {"Type", EnumValue("Clry", "UsrS")}})});
  const std::vector<uint8_t> alphas = ListValue({Stop(0, 50, {{"Opct", UnitValue("#Prc", 100)}}),
                                                 Stop(4096, 50, {{"Opct", UnitValue("#Prc", 0)}})});
  return ObjectValue("Grdn", Changed({{"Nm  ", {'T', 'E', 'X', 'T', 0, 0, 0, 1, 0, 'G'}},
                                      {"GrdF", EnumValue("GrdF", "CstS")},
                                      {"Intr", DoubleValue(0)},
                                      {"Clrs", colours},
                                      {"Trns", alphas}},
                                     changes));
}

std::vector<Item> GradientSettings(const std::vector<Item>& changes) {
  return Changed({{"Grad", GradientObject()},
                  {"Angl", UnitValue("#Ang", 90)},
                  {"Type", EnumValue("GrdT", "Lnr ")},
                  {"Rvrs", BoolValue(false)},
                  {"Dthr", BoolValue(false)},
                  {"Algn", BoolValue(true)},
                  {"Scl ", UnitValue("#Prc", 100)},
                  {"Ofst", ObjectValue("Pnt ", {{"Hrzn", UnitValue("#Prc", 0)},
                                                {"Vrtc", UnitValue("#Prc", 0)}})}},
                 changes);
}

std::vector<Item> MatchedGradient(const char* method, double opacity, double alpha,
                                  const std::vector<Item>& changes) {
  auto colour = [](int32_t at, double level) {
    return Stop(at, 50, {{"Clr ", RgbValue(level, level, level)}, {"Type", EnumValue("Clry", "UsrS")}});
  };
  const std::vector<uint8_t> alphas = ListValue(
      {Stop(0, 50, {{"Opct", UnitValue("#Prc", alpha)}}), Stop(4096, 50, {{"Opct", UnitValue("#Prc", alpha)}})});
  return Changed(GradientSettings({{"gs99", EnumValue("gs99", method)},
                                   {"Grad", GradientObject({{"Intr", DoubleValue(4096)},
                                                            {"Clrs", ListValue({colour(0, 0), colour(4096, 255)})},
                                                            {"Trns", alphas}})},
                                   {"enab", BoolValue(true)},
                                   {"Md  ", EnumValue("BlnM", "Nrml")},
                                   {"Opct", UnitValue("#Prc", opacity)}}),
                 changes);
}

std::vector<uint8_t> BuildPsd(const TestDoc& d) {
  Out o;
  for (int i = 0; i < 4; ++i) o.U8(static_cast<uint8_t>(d.signature[i]));
  o.U16(d.version);
  for (int i = 0; i < 6; ++i) o.U8(0);
  o.U16(static_cast<uint16_t>(d.channels));
  o.U32(d.rows);
  o.U32(d.columns);
  o.U16(d.depth);
  o.U16(d.mode);
  o.U32(0);  // colour mode data
  o.U32(static_cast<uint32_t>(d.resources.size()));
  o.Bytes(d.resources);

  if (!d.layerSection) {
    o.U32(0);
  } else {
    size_t sectionAt = o.b.size();
    o.U32(0);
    size_t infoAt = o.b.size();
    o.U32(0);
    o.U16(static_cast<uint16_t>(d.overrideLayerCount ? d.layerCountField
                                                     : static_cast<int16_t>(d.layers.size())));
    std::vector<std::vector<std::vector<uint8_t>>> data;
    for (const TestLayer& l : d.layers) {
      o.U32(static_cast<uint32_t>(l.top));
      o.U32(static_cast<uint32_t>(l.left));
      o.U32(static_cast<uint32_t>(l.bottom));
      o.U32(static_cast<uint32_t>(l.right));
      o.U16(static_cast<uint16_t>(l.overrideChannelCount
                                      ? l.channelCountField
                                      : static_cast<int16_t>(l.channels.size())));
      const uint32_t rows = static_cast<uint32_t>(l.bottom - l.top);
      const uint32_t columns = static_cast<uint32_t>(l.right - l.left);
      data.emplace_back();
      for (const TestChannel& c : l.channels) {
        const bool mask = c.id == -2;
        const uint32_t r = mask ? static_cast<uint32_t>(l.maskBottom - l.maskTop) : rows;
        const uint32_t w = mask ? static_cast<uint32_t>(l.maskRight - l.maskLeft) : columns;
        data.back().push_back(ChannelData(c.samples, c.compression, r, w, c.rowTail));
        o.U16(static_cast<uint16_t>(c.id));
        o.U32(static_cast<uint32_t>(data.back().back().size()));
      }
      for (char c : {'8', 'B', 'I', 'M'}) o.U8(c);
      for (int i = 0; i < 4; ++i) o.U8(static_cast<uint8_t>(l.blendKey[i]));
      o.U8(l.opacity), o.U8(l.clipping), o.U8(l.flags), o.U8(0);
      // Extra data: the mask, no blending ranges, the name padded to 4,
      // the tagged blocks.
      Out e;
      if (l.hasMask) {
        Out m;
        m.U32(static_cast<uint32_t>(l.maskTop));
        m.U32(static_cast<uint32_t>(l.maskLeft));
        m.U32(static_cast<uint32_t>(l.maskBottom));
        m.U32(static_cast<uint32_t>(l.maskRight));
        m.U8(l.maskDefault), m.U8(l.maskFlags);
        m.Bytes(l.maskExtra);
        if (l.maskExtra.empty()) m.U16(0);  // padding to 20
        e.U32(static_cast<uint32_t>(m.b.size()));
        e.Bytes(m.b);
      } else {
        e.U32(0);
      }
      e.U32(0);
      const size_t nameStart = e.b.size();
      e.U8(static_cast<uint32_t>(l.name.size()));
      for (char c : l.name) e.U8(static_cast<uint8_t>(c));
      while ((e.b.size() - nameStart) % 4 != 0) e.U8(0);
      e.Bytes(l.blocks);
      o.U32(static_cast<uint32_t>(e.b.size()));
      o.Bytes(e.b);
    }
    for (const auto& layer : data) {
      for (const auto& channel : layer) o.Bytes(channel);
    }
    if ((o.b.size() - infoAt) % 2) o.U8(0);  // writers pad the layer info to even
    o.PatchU32(infoAt, static_cast<uint32_t>(o.b.size() - infoAt - 4));
    if (!d.globalBlocks.empty()) {
      o.U32(0);  // global layer mask
      o.Bytes(d.globalBlocks);
    }
    o.PatchU32(sectionAt, static_cast<uint32_t>(o.b.size() - sectionAt - 4));
  }

  if (d.omitComposite) return o.b;
  o.U16(d.compositeCompression);
  if (d.compositeCompression == 1) {
    std::vector<std::vector<uint8_t>> packed;
    for (const auto& plane : d.composite) {
      for (uint32_t r = 0; r < d.rows; ++r) {
        packed.push_back(PackRow(plane.data() + r * d.columns, d.columns));
        packed.back().insert(packed.back().end(), d.compositeRowTail.begin(),
                             d.compositeRowTail.end());
      }
    }
    for (const auto& p : packed) o.U16(static_cast<uint32_t>(p.size()));
    for (const auto& p : packed) o.Bytes(p);
  } else {
    for (const auto& plane : d.composite) o.Bytes(plane);
  }
  return o.b;
}

std::vector<uint8_t> GradientMapBlock(const GradientMapSettings& s) {
  Out o;
  o.U16(s.version), o.U8(0), o.U8(s.dithered);  // version, reversed, dithered
  for (int i = 0; s.version == 3 && i < 4; ++i) o.U8(static_cast<uint8_t>(s.method[i]));
  o.U32(1), o.U16('M');  // name
  const uint32_t stops[3][4] = {{0, 0, 0, 0}, {1424, 64250, 19275, 514}, {4096, 65535, 65535, 65535}};
  o.U16(3);
  for (const auto& c : stops) {
    o.U32(c[0]), o.U32(50), o.U16(c[0] == 0 ? s.space : 0);  // location, midpoint, space
    o.U16(c[1]), o.U16(c[2]), o.U16(c[3]), o.U16(0), o.U16(0);
  }
  o.U16(2);
  for (uint32_t location : {0u, 4096u}) o.U32(location), o.U32(50), o.U16(255);
  o.U16(2), o.U16(s.smoothness), o.U16(32), o.U16(0);  // expansion, smoothness, length, noise
  o.Bytes(std::vector<uint8_t>(32, 0));  // seed to the maximum colour, and padding
  return Block("grdm", o.b);
}

Item PatternOverlay(const std::string& id, double scale, const std::vector<Item>& changes) {
  Out text;
  text.U32(static_cast<uint32_t>(id.size()));
  for (char c : id) text.U16(static_cast<uint8_t>(c));
  std::vector<uint8_t> idValue = {'T', 'E', 'X', 'T'};
  idValue.insert(idValue.end(), text.b.begin(), text.b.end());
  return {"patternFill",
          ObjectValue("patternFill",
                      Changed({{"enab", BoolValue(true)},
                               {"Md  ", EnumValue("BlnM", "Nrml")},
                               {"Opct", UnitValue("#Prc", 100)},
                               {"Ptrn", ObjectValue("Ptrn", {{"Idnt", idValue}})},
                               {"Scl ", UnitValue("#Prc", scale)},
                               {"Algn", BoolValue(true)},
                               {"phase", ObjectValue("Pnt ", {{"Hrzn", DoubleValue(0)},
                                                              {"Vrtc", DoubleValue(0)}})}},
                              changes))};
}

std::vector<uint8_t> PatternsBlock(const std::string& id, uint16_t rows, uint16_t columns,
                                   const std::vector<uint8_t>& planes, bool packed) {
  Out list;  // the channels
  list.U32(0), list.U32(0), list.U32(rows), list.U32(columns), list.U32(3);
  for (int c = 0; c < 3; ++c) {
    Out ch;
    ch.U32(8), ch.U32(0), ch.U32(0), ch.U32(rows), ch.U32(columns), ch.U16(8), ch.U8(packed);
    const uint8_t* plane = planes.data() + static_cast<size_t>(c) * rows * columns;
    std::vector<std::vector<uint8_t>> rowBytes;
    for (uint16_t r = 0; r < rows; ++r) {
      rowBytes.push_back(packed ? PackRow(plane + r * columns, columns)
                                : std::vector<uint8_t>(plane + r * columns, plane + (r + 1) * columns));
      if (packed) ch.U16(static_cast<uint32_t>(rowBytes.back().size()));
    }
    for (const auto& b : rowBytes) ch.Bytes(b);
    list.U32(1), list.U32(static_cast<uint32_t>(ch.b.size())), list.Bytes(ch.b);
  }
  list.U32(0), list.U32(0);  // the two masks, not written
  Out p;
  p.U32(1), p.U32(3), p.U16(rows), p.U16(columns);
  p.U32(1), p.U16('P');  // name
  p.U8(static_cast<uint32_t>(id.size()));
  for (char c : id) p.U8(static_cast<uint8_t>(c));
  p.U32(3), p.U32(static_cast<uint32_t>(list.b.size())), p.Bytes(list.b);
  Out block;
  block.U32(static_cast<uint32_t>(p.b.size())), block.Bytes(p.b);
  while (block.b.size() % 4 != 0) block.U8(0);
  return Block("Patt", block.b);
}

}  // namespace kelvra::testing
