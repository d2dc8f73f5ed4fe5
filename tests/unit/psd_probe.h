// An independent look into the raw 8-bit documents the editor link writes:
// header, layer records (name, blend key, channels by identifier) and the
// composite, parsed here without the library's reader, and a painter that
// edits them in place the way an editor would.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kelvra::testing {

struct PsdProbe {
  struct Channel {
    int id;
    size_t data;  // offset of the samples, after the compression value
    int compression;
  };
  struct Layer {
    std::string name, blend;
    int opacity = 0, flags = 0;
    std::vector<Channel> channels;
    const Channel* Find(int id) const {
      for (const Channel& c : channels) {
        if (c.id == id) return &c;
      }
      return nullptr;
    }
  };

  bool ok = false;
  int channels = 0, width = 0, height = 0, depth = 0, colourMode = 0;
  uint32_t resourcesLength = 0, sectionLength = 0;
  std::vector<Layer> layers;
  size_t composite = 0;  // offset of the composite's first plane
  int compositeCompression = -1;

  size_t PixelCount() const { return static_cast<size_t>(width) * height; }

  explicit PsdProbe(const std::vector<uint8_t>& d) {
    size_t pos = 0;
    bool good = true;
    auto u = [&](int bytes) -> uint32_t {
      if (!good || pos + bytes > d.size()) {
        good = false;
        return 0;
      }
      uint32_t v = 0;
      for (int i = 0; i < bytes; ++i) v = (v << 8) | d[pos++];
      return v;
    };
    auto skip = [&](size_t n) {
      if (pos + n > d.size()) good = false;
      else pos += n;
    };
    if (d.size() < 26 || std::string(d.begin(), d.begin() + 4) != "8BPS") return;
    skip(12);
    channels = static_cast<int>(u(2));
    height = static_cast<int>(u(4));
    width = static_cast<int>(u(4));
    depth = static_cast<int>(u(2));
    colourMode = static_cast<int>(u(2));
    skip(u(4));
    resourcesLength = u(4);
    skip(resourcesLength);
    sectionLength = u(4);
    const size_t sectionEnd = pos + sectionLength;
    const size_t n = PixelCount();
    if (sectionLength > 0 && u(4) > 0) {
      int count = static_cast<int16_t>(u(2));
      if (count < 0) count = -count;
      std::vector<std::vector<std::pair<int, uint32_t>>> lengths(count);
      for (int i = 0; i < count && good; ++i) {
        skip(16);
        const int k = static_cast<int16_t>(u(2));
        for (int c = 0; c < k; ++c) {
          const int id = static_cast<int16_t>(u(2));
          lengths[i].push_back({id, u(4)});
        }
        Layer layer;
        skip(4);
        for (int c = 0; c < 4; ++c) layer.blend += static_cast<char>(u(1));
        layer.opacity = static_cast<int>(u(1));
        skip(1);
        layer.flags = static_cast<int>(u(1));
        skip(1);
        const size_t extraEnd = u(4) + pos;
        skip(u(4));  // layer mask data
        skip(u(4));  // blending ranges
        const uint32_t nameLength = u(1);
        if (good && pos + nameLength <= d.size()) layer.name.assign(d.begin() + pos, d.begin() + pos + nameLength);
        pos = extraEnd;
        layers.push_back(layer);
      }
      for (int i = 0; i < count && good; ++i) {
        for (const auto& [id, length] : lengths[i]) {
          const size_t start = pos;
          const int compression = static_cast<int>(u(2));
          layers[i].channels.push_back({id, pos, compression});
          pos = start;
          skip(length);
        }
      }
    }
    pos = sectionEnd;
    compositeCompression = static_cast<int>(u(2));
    composite = pos;
    ok = good && composite + static_cast<size_t>(channels) * n <= d.size();
  }

  // The 32-bit pixels (B, G, R, A with A = 0) of a layer's colour channels or
  // of the composite (layer -1); raw data only.
  std::vector<uint32_t> Pixels(const std::vector<uint8_t>& d, int layer) const {
    const size_t n = PixelCount();
    size_t planes[3];
    for (int c = 0; c < 3; ++c) {
      planes[c] = layer < 0 ? composite + c * n : layers[layer].Find(c)->data;
    }
    std::vector<uint32_t> out(n);
    for (size_t i = 0; i < n; ++i) {
      out[i] = uint32_t{d[planes[0] + i]} << 16 | uint32_t{d[planes[1] + i]} << 8 |
               uint32_t{d[planes[2] + i]};
    }
    return out;
  }
  std::vector<uint8_t> Plane(const std::vector<uint8_t>& d, int layer, int id) const {
    const size_t n = PixelCount();
    const size_t at = layers[layer].Find(id)->data;
    return std::vector<uint8_t>(d.begin() + at, d.begin() + at + n);
  }
};

// Paints a rectangle in colour 0xRRGGBB into layer `layer` (-1: the
// composite) of a raw document, in place.
inline bool PaintPsd(std::vector<uint8_t>& d, int layer, int x0, int y0, int w, int h,
                     uint32_t rgb) {
  PsdProbe p(d);
  if (!p.ok) return false;
  size_t planes[3];
  for (int c = 0; c < 3; ++c) {
    if (layer < 0) {
      if (p.compositeCompression != 0) return false;
      planes[c] = p.composite + c * p.PixelCount();
    } else {
      const PsdProbe::Channel* ch = p.layers.at(layer).Find(c);
      if (ch == nullptr || ch->compression != 0) return false;
      planes[c] = ch->data;
    }
  }
  for (int y = y0; y < y0 + h && y < p.height; ++y) {
    for (int x = x0; x < x0 + w && x < p.width; ++x) {
      const size_t i = static_cast<size_t>(y) * p.width + x;
      d[planes[0] + i] = static_cast<uint8_t>(rgb >> 16);
      d[planes[1] + i] = static_cast<uint8_t>(rgb >> 8);
      d[planes[2] + i] = static_cast<uint8_t>(rgb);
    }
  }
  return true;
}

}  // namespace kelvra::testing
