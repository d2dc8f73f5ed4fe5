#include "tools/kelvra-host/demo_input.h"

#include <algorithm>
#include <cmath>

namespace kelvra::tool {
namespace {

uint32_t Hash(uint32_t x, uint32_t y) {
  uint32_t h = x * 0x9E3779B1u ^ (y + 0x7F4A7C15u) * 0x85EBCA77u;
  h ^= h >> 15;
  h *= 0x2C1B3C6Du;
  h ^= h >> 12;
  return h;
}

// (1 - t^2)^2 on 0..1 in fixed point, t = num / den: a bump with zero slope
// at its centre and at its edge.
int64_t SmoothBump(int64_t num, int64_t den, int64_t amplitude) {
  if (num >= den) return 0;
  int64_t u = den * den - num * num;  // den^2 (1 - t^2)
  return amplitude * u / (den * den) * u / (den * den);
}

int64_t Isqrt(int64_t v) {
  int64_t r = static_cast<int64_t>(std::sqrt(static_cast<double>(v)));
  while (r * r > v) --r;
  while ((r + 1) * (r + 1) <= v) ++r;
  return r;
}

}  // namespace

HeightField MakeDemoHeights(int size) {
  HeightField f;
  f.width = f.height = size;
  f.samples.resize(static_cast<size_t>(size) * size);
  auto s = [size](int v) { return static_cast<int64_t>(v) * size / 512; };  // 512-unit layout
  for (int y = 0; y < size; ++y) {
    for (int x = 0; x < size; ++x) {
      int64_t h = 32768;
      // a bump up left
      int64_t dx = x - s(150), dy = y - s(150);
      h += SmoothBump(Isqrt(dx * dx + dy * dy), s(110), 16000);
      // a ring up right
      dx = x - s(370);
      dy = y - s(140);
      int64_t d = Isqrt(dx * dx + dy * dy);
      h += SmoothBump(d > s(75) ? d - s(75) : s(75) - d, s(22), 11000);
      // a plateau down left with a 20-unit bevel
      int64_t inX = std::min<int64_t>(x - s(70), s(230) - x);
      int64_t inY = std::min<int64_t>(y - s(300), s(450) - y);
      int64_t in = std::min(inX, inY);
      if (in > 0) h += 9000 * std::min<int64_t>(in, s(20)) / std::max<int64_t>(s(20), 1);
      // a groove from (270, 290) to (470, 470)
      int64_t ax = x - s(270), ay = y - s(290), bx = s(200), by = s(180);
      int64_t len2 = bx * bx + by * by;
      int64_t t = std::clamp<int64_t>((ax * bx + ay * by) * 1024 / std::max<int64_t>(len2, 1), 0, 1024);
      int64_t px = ax - bx * t / 1024, py = ay - by * t / 1024;
      h -= SmoothBump(Isqrt(px * px + py * py), s(26), 12000);
      // grain
      h += static_cast<int64_t>(Hash(x, y) % 601) - 300;
      f.samples[static_cast<size_t>(y) * size + x] =
          static_cast<uint16_t>(std::clamp<int64_t>(h, 0, 65535));
    }
  }
  return f;
}

ColorImage MakeDemoTexture(int size) {
  ColorImage img;
  img.width = img.height = size;
  img.pixels.resize(static_cast<size_t>(size) * size);
  int brickW = std::max(size / 8, 4), brickH = std::max(size / 16, 2), mortar = std::max(size / 128, 1);
  for (int y = 0; y < size; ++y) {
    int row = y / brickH;
    for (int x = 0; x < size; ++x) {
      int shifted = x + (row % 2) * brickW / 2;
      int col = shifted / brickW;
      bool isMortar = y % brickH < mortar || shifted % brickW < mortar;
      uint32_t n = Hash(static_cast<uint32_t>(x), static_cast<uint32_t>(y)) % 24;
      int r, g, b;
      if (isMortar) {
        r = g = b = 180 + static_cast<int>(n);
      } else {
        uint32_t tone = Hash(static_cast<uint32_t>(col), static_cast<uint32_t>(row)) % 50;
        r = 150 + static_cast<int>(tone) + static_cast<int>(n);
        g = 60 + static_cast<int>(tone / 2) + static_cast<int>(n / 2);
        b = 40 + static_cast<int>(n / 2);
      }
      img.pixels[static_cast<size_t>(y) * size + x] = PackBgra(r, g, b, 255);
    }
  }
  return img;
}

ColorImage ShadeTexture(const ColorImage& texture, const HeightField& heights) {
  ColorImage shaded = texture;
  const int w = heights.width, h = heights.height;
  // Light from the upper left, a little above the surface.
  const double lx = -0.5, ly = -0.5, lz = 0.7071067811865476;
  auto at = [&](int x, int y) {
    x = std::clamp(x, 0, w - 1);
    y = std::clamp(y, 0, h - 1);
    return static_cast<double>(heights.samples[static_cast<size_t>(y) * w + x]);
  };
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      double gx = (at(x + 1, y) - at(x - 1, y)) / 1024.0;
      double gy = (at(x, y + 1) - at(x, y - 1)) / 1024.0;
      double len = std::sqrt(gx * gx + gy * gy + 1.0);
      double lambert = (-gx * lx - gy * ly + lz) / len;
      double light = 0.35 + 0.65 * std::max(lambert, 0.0) / lz;
      uint32_t p = texture.pixels[static_cast<size_t>(y) * w + x];
      int c[3] = {static_cast<int>((p >> 16) & 0xff), static_cast<int>((p >> 8) & 0xff),
                  static_cast<int>(p & 0xff)};
      for (int& v : c) v = std::clamp(static_cast<int>(v * light + 0.5), 0, 255);
      shaded.pixels[static_cast<size_t>(y) * w + x] = PackBgra(c[0], c[1], c[2], 255);
    }
  }
  return shaded;
}

}  // namespace kelvra::tool
