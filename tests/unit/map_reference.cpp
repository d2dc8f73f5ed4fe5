#include "tests/unit/map_reference.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "maps/channel_codes.h"
#include "maps/render_map.h"
#include "maps/tiff_header.h"
#include "tests/support/test_env.h"

namespace kelvra::testing {

namespace {

// round() of the renderer: nearest, ties to even, saturating, NaN 0.
int32_t Round(double x) { return RoundToInt32(x); }

struct Field {
  const uint16_t* s;
  int32_t w, h, stride;
  int32_t at(int32_t x, int32_t y) const { return s[static_cast<size_t>(y) * stride + x]; }
};

}  // namespace

std::vector<uint8_t> ReferenceMap(const MapRequest& r,
                                  const std::vector<uint16_t>& heights,
                                  bool raster, uint8_t rasterBefore) {
  const int32_t W = r.width, Hgt = r.height, RL = r.rowLength;
  // 1. Argument rules.
  const int32_t channels = r.channelCount == 1 ? 1 : 3;
  int32_t codes[3];
  for (int c = 0; c < 3; ++c) codes[c] = std::clamp(r.codes[c], 0, 102);
  const int32_t mode = std::clamp(r.scaleMode, 0, 3);
  const float scale = mode == 0 ? 1.0f : r.scale;
  double E = 1.0;
  if (r.strength < 0) E = 1.0 + r.strength / 11.0;
  if (r.strength > 0) E = 1.0 + r.strength * 0.25;
  const float g = static_cast<float>(E * static_cast<double>(scale));
  int32_t K = Round(static_cast<double>(g) * 65536.0);
  const int32_t M = Round(static_cast<double>(r.midLevel) * 65536.0);
  const bool normalMode = codes[0] >= 50 || (channels == 3 && (codes[1] >= 50 || codes[2] >= 50));
  if (normalMode) K = 65536;
  const bool F = r.bitsPerSample == 32;

  // 2. R before the scale rules.
  float R = g == 0.0f ? 1.0f : static_cast<float>(static_cast<double>(0.1f) / static_cast<double>(g));

  // 3. Scale determination.
  if (mode <= 1) {
    R = static_cast<float>(static_cast<double>(R) / static_cast<double>(r.resolutionRatio));
  } else {
    std::vector<uint16_t> red;
    Field f{heights.data(), W, Hgt, W};
    float ratio = r.resolutionRatio;
    const bool reduced = W > 128 || Hgt > 128;
    if (reduced) {
      const int32_t xStep = W * 512, yStep = Hgt * 512;
      const int32_t nx = xStep >> 16, ny = yStep >> 16;
      red.resize(128 * 128);
      int64_t yp = 0;
      for (int32_t j = 0; j < 128; ++j, yp += yStep) {
        int64_t xp = 0;
        for (int32_t i = 0; i < 128; ++i, xp += xStep) {
          const int64_t c0 = xp >> 16, r0 = yp >> 16;
          auto s = [&](int64_t y, int64_t x) -> int64_t { return heights[y * RL + x]; };
          int64_t sum = s(r0, c0);
          for (int32_t y = 0; y < ny; ++y)
            for (int32_t x = 0; x < nx; ++x) sum += s(r0 + y, c0 + x);
          red[j * 128 + i] = static_cast<uint16_t>(sum / (static_cast<int64_t>(nx) * ny + 1));
        }
      }
      f = {red.data(), 128, 128, 128};
      ratio = static_cast<float>(1.0 / static_cast<double>(static_cast<float>(
                                            ((xStep + yStep) >> 1) * std::ldexp(1.0, -16))));
    }
    if (normalMode) {
      int32_t S = 0;
      for (int32_t y = 0; y < f.h - 1; ++y)
        for (int32_t x = 0; x < f.w - 1; ++x) {
          S = std::max(S, std::abs(f.at(x, y) - f.at(x + 1, y)));
          S = std::max(S, std::abs(f.at(x, y) - f.at(x, y + 1)));
        }
      R = static_cast<float>(S / 65536.0);
      if (mode == 3 && g != 0.0f) {
        R = static_cast<float>(static_cast<double>(R) / static_cast<double>(g));
      } else if (E != 0.0) {
        R = static_cast<float>(static_cast<double>(R) / E);
      } else {
        R = 0.0f;
      }
      if (reduced) R = static_cast<float>(static_cast<double>(R) * static_cast<double>(ratio));
      if (R == 0.0f) R = 1.0f;
    }
    int32_t D = 0;
    for (int32_t y = 0; y < f.h; ++y)
      for (int32_t x = 0; x < f.w; ++x) D = std::max(D, std::abs(f.at(x, y) - 32768));
    const float Df = static_cast<float>(D / 65536.0);
    float X = Df == 0.0f ? 1.0f : static_cast<float>(0.5 / static_cast<double>(Df));
    if (mode == 3 && !normalMode) X = static_cast<float>(static_cast<double>(X) * static_cast<double>(g));
    K = Round(static_cast<double>(static_cast<float>(static_cast<double>(X) * E)) * 65536.0);
  }

  // Output.
  std::vector<uint8_t> out;
  if (raster) {
    out.assign(static_cast<size_t>(W) * Hgt * 4, rasterBefore);
  } else {
    out.resize(kTiffHeaderBlockBytes);
    out.resize(BuildTiffHeader(W, Hgt, channels, r.bitsPerSample, out.data()));
  }

  // 4. The window: four rows of RL + 3 samples, moved down by one block move.
  const size_t WR = static_cast<size_t>(RL) + 3;
  std::vector<uint16_t> win(4 * WR);
  auto load = [&](int32_t k) {
    if (r.wrapEdges) {
      k %= Hgt;
      if (k < 0) k += Hgt;
    } else {
      k = std::clamp(k, 0, Hgt - 1);
    }
    std::memmove(win.data() + WR, win.data(), 3 * WR * 2);
    uint16_t* w0 = win.data();
    std::memcpy(w0 + 1, heights.data() + static_cast<size_t>(k) * RL, static_cast<size_t>(RL) * 2);
    if (r.wrapEdges) {
      w0[0] = w0[RL];
      w0[RL + 1] = w0[1];
      w0[RL + 2] = RL >= 2 ? w0[2] : w0[1];
    } else {
      w0[0] = w0[1];
      w0[RL + 1] = w0[RL];
      w0[RL + 2] = w0[RL];
    }
  };
  auto at = [&](int row, int32_t i) -> int32_t { return win[row * WR + i]; };
  auto smooth = [&](int row, int32_t i) {
    auto line = [&](int rr) { return at(rr, i - 1) + 2 * at(rr, i) + at(rr, i + 1); };
    return line(row - 1) + 2 * line(row) + line(row + 1);
  };
  if (r.flipVertical) {
    load(Hgt + 1); load(Hgt); load(Hgt - 1);
  } else {
    load(-2); load(-1); load(0);
  }
  const float sNormal = r.smoothing ? static_cast<float>(16.0 * R) : R;
  for (int32_t j = 0; j < Hgt; ++j) {
    load(r.flipVertical ? Hgt - j - 2 : j + 1);
    for (int32_t k = 0; k < W; ++k) {
      const int32_t i = k + 1;
      int32_t H, gx, gy;
      if (r.smoothing) {
        H = smooth(1, i);
        gx = H - smooth(1, i + 1);
        gy = smooth(2, i) - H;
      } else {
        H = 16 * at(1, i);
        gx = at(1, i) - at(1, i + 1);
        gy = at(2, i) - at(1, i);
      }
      NormalComponents n = {0, 0, 0};
      if (normalMode) {
        const float fx = static_cast<float>(gx * std::ldexp(1.0, -16));
        const float fy = static_cast<float>(gy * std::ldexp(1.0, -16));
        n = ComponentsOf(SurfaceNormal(sNormal, fx, fy));
      }
      const int64_t prod = static_cast<int64_t>(
          static_cast<uint64_t>(static_cast<int64_t>(H) - 16 * static_cast<int64_t>(M)) *
          static_cast<uint64_t>(static_cast<int64_t>(K)));
      const int32_t disp = static_cast<int32_t>(prod >> 16) >> 4;
      uint8_t bytes[3] = {};
      for (int32_t c = 0; c < channels; ++c) {
        const int32_t v = ChannelValue(codes[c], disp, M, n, F);
        if (raster) {
          bytes[c] = v >= 65535 ? 255 : static_cast<uint8_t>(v >> 8);
        } else if (r.bitsPerSample == 32) {
          const float fv = static_cast<float>(v * std::ldexp(1.0, -16));
          uint8_t b[4];
          std::memcpy(b, &fv, 4);
          out.insert(out.end(), b, b + 4);
        } else if (r.bitsPerSample == 16) {
          out.push_back(static_cast<uint8_t>(v & 0xFF));
          out.push_back(static_cast<uint8_t>((v >> 8) & 0xFF));
        } else {
          out.push_back(static_cast<uint8_t>(v >> 8));
        }
      }
      if (raster) {
        uint8_t* px = out.data() + (static_cast<size_t>(j) * W + k) * 4;
        if (channels == 1) {
          px[0] = px[1] = px[2] = bytes[0];
        } else {
          px[0] = bytes[2];
          px[1] = bytes[1];
          px[2] = bytes[0];
        }
      }
    }
  }
  if (raster && out[0] == 0 && out[1] == 0 && out[2] == 0) {
    out[0] = out[1] = out[2] = 1;
    out[3] = 0;
  }
  return out;
}

std::vector<uint8_t> LibraryMap(const MapRequest& r,
                                const std::vector<uint16_t>& heights,
                                const std::string& path, bool raster,
                                uint8_t rasterBefore, int32_t* status) {
  std::vector<uint8_t> pixels;
  if (raster) pixels.assign(static_cast<size_t>(r.width) * r.height * 4, rasterBefore);
  int32_t result = RenderMap(
      path.c_str(), heights.data(), r.width, r.height, r.rowLength, r.flipVertical,
      r.midLevel, r.scaleMode, r.scale, r.channelCount, r.bitsPerSample, r.codes[0],
      r.codes[1], r.codes[2], r.smoothing, r.wrapEdges, r.strength,
      raster ? pixels.data() : nullptr, r.resolutionRatio);
  if (status != nullptr) *status = result;
  return raster ? pixels : ReadFileBytes(path);
}

}  // namespace kelvra::testing
