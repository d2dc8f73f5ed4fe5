#include "tests/support/psd_layout.h"

namespace kelvra::testing {

uint32_t BE32At(const std::vector<uint8_t>& b, size_t at) {
  return static_cast<uint32_t>(b[at]) << 24 | b[at + 1] << 16 | b[at + 2] << 8 | b[at + 3];
}
uint16_t BE16At(const std::vector<uint8_t>& b, size_t at) {
  return static_cast<uint16_t>(b[at] << 8 | b[at + 1]);
}

namespace {

struct Walker {
  const std::vector<uint8_t>& b;
  size_t at = 0;
  bool cut = false;
  bool Need(size_t n) {
    if (cut || at > b.size() || b.size() - at < n) cut = true;
    return !cut;
  }
  uint32_t U32() {
    if (!Need(4)) return 0;
    at += 4;
    return BE32At(b, at - 4);
  }
  uint16_t U16() {
    if (!Need(2)) return 0;
    at += 2;
    return BE16At(b, at - 2);
  }
  uint8_t U8() { return Need(1) ? b[at++] : 0; }
  std::string Text(size_t n) {
    if (!Need(n)) return {};
    at += n;
    return std::string(b.begin() + at - n, b.begin() + at);
  }
  void Skip(size_t n) {
    if (Need(n)) at += n;
  }
};

}  // namespace

PsdLayout WalkPsd(const std::vector<uint8_t>& bytes) {
  PsdLayout d;
  Walker w{bytes};
  w.Skip(12);
  d.channels = w.U16();
  d.rows = w.U32();
  d.columns = w.U32();
  d.depth = w.U16();
  d.mode = w.U16();
  d.colourDataLength = w.U32();
  w.Skip(d.colourDataLength);

  d.resourcesLength = w.U32();
  d.resourcesOffset = w.at;
  const size_t resourcesEnd = w.at + d.resourcesLength;
  while (!w.cut && w.at < resourcesEnd) {
    PsdResource r;
    r.start = w.at - d.resourcesOffset;
    if (w.Text(4) != "8BIM") d.faults.push_back("resource without 8BIM");
    r.id = w.U16();
    uint8_t nameLength = w.U8();
    r.name = w.Text(nameLength);
    if ((1 + nameLength) % 2) w.Skip(1);
    r.size = w.U32();
    r.dataOffset = w.at;
    w.Skip(r.size + (r.size & 1));
    d.resources.push_back(r);
  }
  if (w.at != resourcesEnd) d.faults.push_back("image resources length");

  d.layerSectionOffset = w.at;
  d.layerSectionLength = w.U32();
  const size_t sectionEnd = w.at + d.layerSectionLength;
  if (d.layerSectionLength != 0) {
    d.layerInfoLength = w.U32();
    const size_t infoEnd = w.at + d.layerInfoLength;
    d.layerCount = static_cast<int16_t>(w.U16());
    int count = d.layerCount < 0 ? -d.layerCount : d.layerCount;
    for (int i = 0; i < count && !w.cut; ++i) {
      PsdLayer l;
      l.top = static_cast<int32_t>(w.U32());
      l.left = static_cast<int32_t>(w.U32());
      l.bottom = static_cast<int32_t>(w.U32());
      l.right = static_cast<int32_t>(w.U32());
      int k = static_cast<int16_t>(w.U16());
      for (int c = 0; c < k && !w.cut; ++c) {
        PsdChannel ch;
        ch.id = static_cast<int16_t>(w.U16());
        ch.length = w.U32();
        ch.dataOffset = 0;
        l.channels.push_back(ch);
      }
      l.blendSignature = w.Text(4);
      l.blendKey = w.Text(4);
      l.opacity = w.U8();
      l.clipping = w.U8();
      l.flags = w.U8();
      l.filler = w.U8();
      l.extraLength = w.U32();
      l.extraOffset = w.at;
      w.Skip(l.extraLength);
      d.layers.push_back(l);
    }
    for (PsdLayer& l : d.layers) {
      for (PsdChannel& ch : l.channels) {
        ch.dataOffset = w.at;
        w.Skip(ch.length);
      }
    }
    // Writers may pad the layer info to an even length; this one must not.
    if (w.at != infoEnd) d.faults.push_back("layer info length");
    w.at = infoEnd;
  }
  if (w.at != sectionEnd) d.faults.push_back("layer and mask information length");
  w.at = sectionEnd;
  d.compositeOffset = w.at;
  d.compositeCompression = w.U16();
  d.parsed = !w.cut;
  return d;
}

}  // namespace kelvra::testing
