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
        data.back().push_back(ChannelData(c.samples, c.compression, rows, columns, c.rowTail));
        o.U16(static_cast<uint16_t>(c.id));
        o.U32(static_cast<uint32_t>(data.back().back().size()));
      }
      for (char c : {'8', 'B', 'I', 'M', 'n', 'o', 'r', 'm'}) o.U8(c);
      o.U8(255), o.U8(0), o.U8(0), o.U8(0);
      // Extra data: an empty mask, no blending ranges, the name "L".
      o.U32(12);
      o.U32(0), o.U32(0), o.U8(1), o.U8('L'), o.U8(0), o.U8(0);
    }
    for (const auto& layer : data) {
      for (const auto& channel : layer) o.Bytes(channel);
    }
    if ((o.b.size() - infoAt) % 2) o.U8(0);  // writers pad the layer info to even
    o.PatchU32(infoAt, static_cast<uint32_t>(o.b.size() - infoAt - 4));
    o.PatchU32(sectionAt, static_cast<uint32_t>(o.b.size() - sectionAt - 4));
  }

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

}  // namespace kelvra::testing
