#include "bitmap/psd_blend.h"

#include <cstring>

namespace kelvra {

namespace {

// ---- one pixel of each mode ------------------------------------------------

inline uint32_t Multiply(uint32_t b, uint32_t s) { return Mul255(b, s); }
inline uint32_t Screen(uint32_t b, uint32_t s) { return b + s - Mul255(b, s); }
inline uint32_t HardLight(uint32_t b, uint32_t s) {
  // s <= 127 is below one half; 2s - 255 is the screen's 2 cs - 1.
  return s <= 127 ? Mul255(b, 2 * s) : Screen(b, 2 * s - 255);
}
inline uint32_t Overlay(uint32_t b, uint32_t s) { return HardLight(s, b); }
inline uint32_t Darken(uint32_t b, uint32_t s) { return b < s ? b : s; }
inline uint32_t Lighten(uint32_t b, uint32_t s) { return b > s ? b : s; }
inline uint32_t Difference(uint32_t b, uint32_t s) { return b > s ? b - s : s - b; }
inline uint32_t Exclusion(uint32_t b, uint32_t s) {
  // 2 b s / 255 rounded: (4 b s + 255) / 510.
  return b + s - (4 * b * s + 255) / 510;
}
inline uint32_t ColorDodge(uint32_t b, uint32_t s) {
  if (b == 0) return 0;
  if (s == 255) return 255;
  const uint32_t d = 255 - s;
  const uint32_t v = (2 * 255 * b + d) / (2 * d);
  return v < 255 ? v : 255;
}
inline uint32_t ColorBurn(uint32_t b, uint32_t s) {
  if (b == 255) return 255;
  if (s == 0) return 0;
  // 255 - 255 (255 - b) / s = 255 (s + b - 255) / s.
  if (s + b <= 255) return 0;
  const uint32_t n = 255 * (s + b - 255);
  return (2 * n + s) / (2 * s);
}
inline uint32_t LinearDodge(uint32_t b, uint32_t s) { return b + s < 255 ? b + s : 255; }
inline uint32_t LinearBurn(uint32_t b, uint32_t s) { return b + s > 255 ? b + s - 255 : 0; }

// D(cb) of soft light in 1/65536 of a level, rounded.
constexpr uint64_t RoundedSqrt(uint64_t x) {
  uint64_t r = 0;
  uint64_t bit = uint64_t{1} << 62;
  while (bit > x) bit >>= 2;
  while (bit != 0) {
    if (x >= r + bit) {
      x -= r + bit;
      r = (r >> 1) + bit;
    } else {
      r >>= 1;
    }
    bit >>= 2;
  }
  // x now holds the remainder x - r^2; (r + 1/2)^2 = r^2 + r + 1/4.
  return x > r ? r + 1 : r;
}
struct SoftLightTable {
  uint32_t d[256];
};
constexpr SoftLightTable MakeSoftLightTable() {
  SoftLightTable t{};
  for (uint64_t c = 0; c < 256; ++c) {
    if (4 * c <= 255) {
      // ((16 c/255 - 12) c/255 + 4) c/255 in levels: c (16c^2 - 3060c + 65025*4) / 65025.
      const uint64_t num = c * (16 * c * c + 260100 - 3060 * c) * 65536;
      t.d[c] = static_cast<uint32_t>((2 * num + 65025) / (2 * 65025));
    } else {
      // sqrt(c / 255) * 255 * 65536 = sqrt(c * 255 * 2^32).
      t.d[c] = static_cast<uint32_t>(RoundedSqrt(c * 255 * (uint64_t{1} << 32)));
    }
  }
  return t;
}
constexpr SoftLightTable kSoftLightD = MakeSoftLightTable();

inline uint32_t SoftLight(uint32_t b, uint32_t s) {
  if (s <= 127) {
    const uint32_t x = (255 - 2 * s) * b * (255 - b);  // over 65025
    return b - (2 * x + 65025) / (2 * 65025);
  }
  const uint64_t x = static_cast<uint64_t>(2 * s - 255) * (kSoftLightD.d[b] - 65536 * b);
  constexpr uint64_t kDen = 255 * 65536;
  return b + static_cast<uint32_t>((2 * x + kDen) / (2 * kDen));
}

// ---- the table ---------------------------------------------------------------

template <uint32_t (*F)(uint32_t, uint32_t)>
void Row(const uint8_t* b, const uint8_t* s, uint8_t* out, uint32_t n) {
  for (uint32_t i = 0; i < n; ++i) out[i] = static_cast<uint8_t>(F(b[i], s[i]));
}

void NormalRow(const uint8_t*, const uint8_t* s, uint8_t* out, uint32_t n) {
  if (out != s) std::memmove(out, s, n);
}

struct BlendEntry {
  char key[5];
  BlendRow row;
};

constexpr BlendEntry kBlends[] = {
    {"norm", NormalRow},         {"mul ", Row<Multiply>},    {"scrn", Row<Screen>},
    {"over", Row<Overlay>},      {"dark", Row<Darken>},      {"lite", Row<Lighten>},
    {"hLit", Row<HardLight>},    {"sLit", Row<SoftLight>},   {"diff", Row<Difference>},
    {"smud", Row<Exclusion>},    {"div ", Row<ColorDodge>},  {"idiv", Row<ColorBurn>},
    {"lddg", Row<LinearDodge>},  {"lbrn", Row<LinearBurn>},
};

}  // namespace

BlendRow FindBlend(const uint8_t key[4]) {
  for (const BlendEntry& e : kBlends) {
    if (std::memcmp(e.key, key, 4) == 0) return e.row;
  }
  return nullptr;
}

bool IsNormalBlend(BlendRow blend) { return blend == NormalRow; }

void MulRows(uint8_t* a, const uint8_t* b, uint32_t n) {
  for (uint32_t i = 0; i < n; ++i) a[i] = static_cast<uint8_t>(Mul255(a[i], b[i]));
}

void ScaleRow(uint8_t* a, uint32_t s, uint32_t n) {
  if (s == 255) return;
  for (uint32_t i = 0; i < n; ++i) a[i] = static_cast<uint8_t>(Mul255(a[i], s));
}

void OverOpaque(uint8_t* b, const uint8_t* blended, const uint8_t* alpha, uint32_t n) {
  for (uint32_t i = 0; i < n; ++i) {
    const uint32_t a = alpha[i];
    b[i] = static_cast<uint8_t>(Div255(a * blended[i] + (255 - a) * b[i]));
  }
}

void OverTranslucent(uint8_t* const cb[3], uint8_t* ab, const uint8_t* const cs[3],
                     const uint8_t* as, BlendRow blend, int32_t channels, uint8_t* scratch,
                     uint32_t n) {
  const uint8_t* mixed[3] = {cs[0], cs[1], cs[2]};
  if (blend != nullptr && !IsNormalBlend(blend)) {
    for (int32_t c = 0; c < channels; ++c) {
      blend(cb[c], cs[c], scratch + static_cast<uint64_t>(c) * n, n);
      mixed[c] = scratch + static_cast<uint64_t>(c) * n;
    }
  }
  for (uint32_t i = 0; i < n; ++i) {
    const uint32_t s = as[i], b = ab[i];
    const uint32_t area = 255 * s + b * (255 - s);
    if (area == 0) {
      for (int32_t c = 0; c < channels; ++c) cb[c][i] = 0;
      ab[i] = 0;
      continue;
    }
    for (int32_t c = 0; c < channels; ++c) {
      const uint32_t p = (255 - b) * cs[c][i] + b * mixed[c][i];
      const uint32_t num = s * p + b * (255 - s) * cb[c][i];
      cb[c][i] = static_cast<uint8_t>((2 * num + area) / (2 * area));
    }
    ab[i] = static_cast<uint8_t>(Div255(area));
  }
}

void MixTranslucent(uint8_t* const cp[3], uint8_t* ap, const uint8_t* const cc[3],
                    const uint8_t* ac, const uint8_t* g, int32_t channels, uint32_t n) {
  for (uint32_t i = 0; i < n; ++i) {
    const uint32_t wc = g[i] * ac[i], wp = (255 - g[i]) * ap[i];
    const uint32_t area = wc + wp;
    if (area == 0) {
      for (int32_t c = 0; c < channels; ++c) cp[c][i] = 0;
      ap[i] = 0;
      continue;
    }
    for (int32_t c = 0; c < channels; ++c) {
      const uint32_t num = wc * cc[c][i] + wp * cp[c][i];
      cp[c][i] = static_cast<uint8_t>((2 * num + area) / (2 * area));
    }
    ap[i] = static_cast<uint8_t>(Div255(area));
  }
}

}  // namespace kelvra
