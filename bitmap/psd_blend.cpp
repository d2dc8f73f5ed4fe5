#include "bitmap/psd_blend.h"

#include <emmintrin.h>

#include <algorithm>
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

// sqrt(cb) of soft light (above a quarter) in 2^-24 of a level, rounded.
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
  uint64_t d[256];
};
constexpr SoftLightTable MakeSoftLightTable() {
  SoftLightTable t{};
  for (uint64_t c = 0; c < 256; ++c) {
    // sqrt(c / 255) * 255 * 2^24 = sqrt(c * 255 * 2^48), below 2^64.
    t.d[c] = RoundedSqrt(c * 255 * (uint64_t{1} << 48));
  }
  return t;
}
constexpr SoftLightTable kSoftLightD = MakeSoftLightTable();

inline uint32_t SoftLight(uint32_t b, uint32_t s) {
  if (s <= 127) {
    const uint32_t x = (255 - 2 * s) * b * (255 - b);  // over 65025
    return b - (2 * x + 65025) / (2 * 65025);
  }
  if (b <= 63) {
    // cb <= 1/4: D(cb) - cb = cb ((16 cb - 12) cb + 3), in levels
    // b (16 b^2 - 3060 b + 195075) / 65025, positive here; times
    // (2 s - 255) / 255, exact in 64 bits.
    const uint64_t x = uint64_t{2 * s - 255} * b * (16 * b * b - 3060 * b + 195075);
    constexpr uint64_t kDen = uint64_t{255} * 65025;
    return b + static_cast<uint32_t>((2 * x + kDen) / (2 * kDen));
  }
  const uint64_t x = (2 * s - 255) * (kSoftLightD.d[b] - (uint64_t{b} << 24));
  constexpr uint64_t kDen = uint64_t{255} << 24;
  return b + static_cast<uint32_t>((2 * x + kDen) / (2 * kDen));
}

inline uint32_t Subtract(uint32_t b, uint32_t s) { return b > s ? b - s : 0; }
inline uint32_t Divide(uint32_t b, uint32_t s) {
  if (b == 0) return 0;
  if (s == 0) return 255;
  const uint32_t v = (2 * 255 * b + s) / (2 * s);
  return v < 255 ? v : 255;
}
inline uint32_t HardMix(uint32_t b, uint32_t s) { return b != 0 && b + s >= 255 ? 255 : 0; }
inline uint32_t PinLight(uint32_t b, uint32_t s) {
  if (s <= 127) return Darken(b, 2 * s);
  return Lighten(b, 2 * s - 255);
}
inline uint32_t LinearLight(uint32_t b, uint32_t s) {
  // b + 2 s - 256: level 128 is the neutral source.
  const uint32_t v = b + 2 * s;
  if (v <= 256) return 0;
  return v - 256 < 255 ? v - 256 : 255;
}
inline uint32_t VividLight(uint32_t b, uint32_t s) {
  // The source's ends decide whatever the backdrop.
  if (s == 0) return 0;
  if (s == 255) return 255;
  if (s <= 127) {
    // Color burn with 2 s, rounded down: 255 - ceil(255 (255 - b) / 2 s).
    if (b == 255) return 255;
    const uint32_t t = 2 * s;
    const uint32_t q = (255 * (255 - b) + t - 1) / t;
    return q < 255 ? 255 - q : 0;
  }
  // Color dodge with 2 s - 256, rounded down: 255 b / (255 - (2 s - 256)).
  if (b == 0) return 0;
  const uint32_t v = 255 * b / (511 - 2 * s);
  return v < 255 ? v : 255;
}

// ---- the same, eight 16-bit lanes at a time (SSE2) ------------------------------
// Lanes hold levels 0..255; every intermediate below stays under 65536, so
// 16-bit arithmetic gives the scalar results exactly.

inline __m128i Mul255x8(__m128i a, __m128i b) {
  const __m128i t = _mm_add_epi16(_mm_mullo_epi16(a, b), _mm_set1_epi16(128));
  return _mm_srli_epi16(_mm_add_epi16(t, _mm_srli_epi16(t, 8)), 8);
}
inline __m128i ScreenX8(__m128i b, __m128i s) {
  return _mm_sub_epi16(_mm_add_epi16(b, s), Mul255x8(b, s));
}
// Lanes where `pick` is all ones take x, the others y.
inline __m128i Select(__m128i pick, __m128i x, __m128i y) {
  return _mm_or_si128(_mm_and_si128(pick, x), _mm_andnot_si128(pick, y));
}
inline __m128i HardLightX8(__m128i b, __m128i s) {
  // Both halves are computed; the lanes of the other half wrap harmlessly.
  const __m128i twice = _mm_add_epi16(s, s);
  const __m128i low = Mul255x8(b, twice);
  const __m128i high = ScreenX8(b, _mm_sub_epi16(twice, _mm_set1_epi16(255)));
  return Select(_mm_cmpgt_epi16(s, _mm_set1_epi16(127)), high, low);
}
inline __m128i MultiplyX8(__m128i b, __m128i s) { return Mul255x8(b, s); }
inline __m128i OverlayX8(__m128i b, __m128i s) { return HardLightX8(s, b); }

// A row of a mode with a vector form: 16 samples a step, then the tail.
template <uint32_t (*F)(uint32_t, uint32_t), __m128i (*V)(__m128i, __m128i)>
void WideRow(const uint8_t* b, const uint8_t* s, uint8_t* out, uint32_t n) {
  const __m128i zero = _mm_setzero_si128();
  uint32_t i = 0;
  for (; i + 16 <= n; i += 16) {
    const __m128i vb = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + i));
    const __m128i vs = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i));
    const __m128i lo = V(_mm_unpacklo_epi8(vb, zero), _mm_unpacklo_epi8(vs, zero));
    const __m128i hi = V(_mm_unpackhi_epi8(vb, zero), _mm_unpackhi_epi8(vs, zero));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), _mm_packus_epi16(lo, hi));
  }
  for (; i < n; ++i) out[i] = static_cast<uint8_t>(F(b[i], s[i]));
}

// Modes that work on bytes directly with saturating SSE2 operations.
template <uint32_t (*F)(uint32_t, uint32_t), __m128i (*V)(__m128i, __m128i)>
void ByteRow(const uint8_t* b, const uint8_t* s, uint8_t* out, uint32_t n) {
  uint32_t i = 0;
  for (; i + 16 <= n; i += 16) {
    const __m128i vb = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + i));
    const __m128i vs = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), V(vb, vs));
  }
  for (; i < n; ++i) out[i] = static_cast<uint8_t>(F(b[i], s[i]));
}
inline __m128i DarkenX16(__m128i b, __m128i s) { return _mm_min_epu8(b, s); }
inline __m128i LightenX16(__m128i b, __m128i s) { return _mm_max_epu8(b, s); }
inline __m128i DifferenceX16(__m128i b, __m128i s) {
  return _mm_or_si128(_mm_subs_epu8(b, s), _mm_subs_epu8(s, b));
}
inline __m128i LinearDodgeX16(__m128i b, __m128i s) { return _mm_adds_epu8(b, s); }
inline __m128i SubtractX16(__m128i b, __m128i s) { return _mm_subs_epu8(b, s); }
inline __m128i LinearBurnX16(__m128i b, __m128i s) {
  // b + s - 255 = b - (255 - s), stopping at 0.
  return _mm_subs_epu8(b, _mm_xor_si128(s, _mm_set1_epi8(-1)));
}

// ---- whole-pixel modes (W3C #blendingnonseparable) ----------------------------
// Channels are levels; Lum is kept in hundredths of a level (weights 30, 59,
// 11), so every step is a fraction of integers and the result is rounded once.

inline int64_t Lum100(const int64_t c[3]) { return 30 * c[0] + 59 * c[1] + 11 * c[2]; }

// n / d rounded, halves up, for d > 0; 0 for n < 0 and 255 above (the clip
// keeps the real value in range; this only guards the cast).
inline uint8_t RoundLevel(int64_t n, int64_t d) {
  if (n <= 0) return 0;
  const int64_t v = (2 * n + d) / (2 * d);
  return static_cast<uint8_t>(v < 255 ? v : 255);
}

// SetLum(c / d, l100 / 100) with ClipColor, in levels, rounded: c holds the
// colour times d (d >= 1). With e = 100 d the shifted colour is v / e and its
// Lum lum / e; ClipColor moves it towards that grey until it fits [0, 255].
// Only one of its two steps can apply: c lies in [0, 255] before the shift,
// so max - min <= 255 and min < 0 and max > 255 never hold together.
void SetLumRounded(const int64_t c[3], int64_t d, int64_t l100, uint8_t out[3]) {
  const int64_t e = 100 * d, lum = l100 * d, top = 255 * e;
  const int64_t shift = lum - Lum100(c);
  int64_t v[3];
  for (int i = 0; i < 3; ++i) v[i] = 100 * c[i] + shift;
  const int64_t lo = std::min(v[0], std::min(v[1], v[2]));
  const int64_t hi = std::max(v[0], std::max(v[1], v[2]));
  for (int i = 0; i < 3; ++i) {
    if (lo < 0) {
      // lum + (v - lum) lum / (lum - lo)
      out[i] = RoundLevel(lum * (v[i] - lo), e * (lum - lo));
    } else if (hi > top) {
      // lum + (v - lum) (top - lum) / (hi - lum)
      out[i] = RoundLevel(lum * (hi - lum) + (v[i] - lum) * (top - lum), e * (hi - lum));
    } else {
      out[i] = RoundLevel(v[i], e);
    }
  }
}

// SetSat(c, sat) times *d: the largest channel becomes sat, the smallest 0
// and the middle one in proportion, over the common denominator max - min.
void SetSatScaled(const int64_t c[3], int64_t sat, int64_t out[3], int64_t* d) {
  int hi = 0, lo = 0;
  for (int i = 1; i < 3; ++i) {
    if (c[i] > c[hi]) hi = i;
    if (c[i] < c[lo]) lo = i;
  }
  const int64_t range = c[hi] - c[lo];
  if (range == 0) {
    out[0] = out[1] = out[2] = 0;
    *d = 1;
    return;
  }
  const int mid = 3 - hi - lo;
  out[hi] = sat * range;
  out[mid] = (c[mid] - c[lo]) * sat;
  out[lo] = 0;
  *d = range;
}

inline int64_t Sat(const int64_t c[3]) {
  return std::max(c[0], std::max(c[1], c[2])) - std::min(c[0], std::min(c[1], c[2]));
}

void Hue(const int64_t b[3], const int64_t s[3], uint8_t out[3]) {
  int64_t c[3], d;
  SetSatScaled(s, Sat(b), c, &d);
  SetLumRounded(c, d, Lum100(b), out);
}
void Saturation(const int64_t b[3], const int64_t s[3], uint8_t out[3]) {
  int64_t c[3], d;
  SetSatScaled(b, Sat(s), c, &d);
  SetLumRounded(c, d, Lum100(b), out);
}
void Color(const int64_t b[3], const int64_t s[3], uint8_t out[3]) {
  SetLumRounded(s, 1, Lum100(b), out);
}
void Luminosity(const int64_t b[3], const int64_t s[3], uint8_t out[3]) {
  SetLumRounded(b, 1, Lum100(s), out);
}
void DarkerColor(const int64_t b[3], const int64_t s[3], uint8_t out[3]) {
  const int64_t* p = Lum100(s) < Lum100(b) ? s : b;
  for (int i = 0; i < 3; ++i) out[i] = static_cast<uint8_t>(p[i]);
}
void LighterColor(const int64_t b[3], const int64_t s[3], uint8_t out[3]) {
  const int64_t* p = Lum100(s) > Lum100(b) ? s : b;
  for (int i = 0; i < 3; ++i) out[i] = static_cast<uint8_t>(p[i]);
}

// A row of a whole-pixel mode. One grey channel is the pixel (g, g, g).
template <void (*F)(const int64_t*, const int64_t*, uint8_t*)>
void PixelRow(const uint8_t* const cb[3], const uint8_t* const cs[3], uint8_t* const out[3],
              int32_t channels, uint32_t n) {
  const int32_t g = channels == 3 ? 1 : 0, bl = channels == 3 ? 2 : 0;
  for (uint32_t i = 0; i < n; ++i) {
    const int64_t b[3] = {cb[0][i], cb[g][i], cb[bl][i]};
    const int64_t s[3] = {cs[0][i], cs[g][i], cs[bl][i]};
    uint8_t o[3];
    F(b, s, o);
    for (int32_t c = 0; c < channels; ++c) out[c][i] = o[c];
  }
}

// ---- the table ---------------------------------------------------------------

template <uint32_t (*F)(uint32_t, uint32_t)>
void Row(const uint8_t* b, const uint8_t* s, uint8_t* out, uint32_t n) {
  for (uint32_t i = 0; i < n; ++i) out[i] = static_cast<uint8_t>(F(b[i], s[i]));
}

// A separable mode: its row function on each channel's plane.
template <void (*P)(const uint8_t*, const uint8_t*, uint8_t*, uint32_t)>
void Separable(const uint8_t* const cb[3], const uint8_t* const cs[3], uint8_t* const out[3],
               int32_t channels, uint32_t n) {
  for (int32_t c = 0; c < channels; ++c) P(cb[c], cs[c], out[c], n);
}

void NormalRow(const uint8_t* const[3], const uint8_t* const cs[3], uint8_t* const out[3],
               int32_t channels, uint32_t n) {
  for (int32_t c = 0; c < channels; ++c) {
    if (out[c] != cs[c]) std::memmove(out[c], cs[c], n);
  }
}
// Dissolve where it equals normal; a function of its own so that
// BlendNeedsHardAlpha can tell the two apart.
void DissolveRow(const uint8_t* const cb[3], const uint8_t* const cs[3], uint8_t* const out[3],
                 int32_t channels, uint32_t n) {
  for (int32_t c = channels - 1; c >= 0; --c) {
    if (out[c] != cs[c]) std::memmove(out[c], cs[c], n);
  }
}

struct BlendEntry {
  char key[5];
  BlendRow row;
};

// Keys as Photoshop writes them in a layer record.
constexpr BlendEntry kBlends[] = {
    {"norm", NormalRow},
    {"diss", DissolveRow},
    {"mul ", Separable<WideRow<Multiply, MultiplyX8>>},
    {"scrn", Separable<WideRow<Screen, ScreenX8>>},
    {"over", Separable<WideRow<Overlay, OverlayX8>>},
    {"dark", Separable<ByteRow<Darken, DarkenX16>>},
    {"lite", Separable<ByteRow<Lighten, LightenX16>>},
    {"hLit", Separable<WideRow<HardLight, HardLightX8>>},
    {"sLit", Separable<Row<SoftLight>>},
    {"diff", Separable<ByteRow<Difference, DifferenceX16>>},
    {"smud", Separable<Row<Exclusion>>},
    {"div ", Separable<Row<ColorDodge>>},
    {"idiv", Separable<Row<ColorBurn>>},
    {"lddg", Separable<ByteRow<LinearDodge, LinearDodgeX16>>},
    {"lbrn", Separable<ByteRow<LinearBurn, LinearBurnX16>>},
    {"vLit", Separable<Row<VividLight>>},
    {"lLit", Separable<Row<LinearLight>>},
    {"pLit", Separable<Row<PinLight>>},
    {"hMix", Separable<Row<HardMix>>},
    {"fsub", Separable<ByteRow<Subtract, SubtractX16>>},
    {"fdiv", Separable<Row<Divide>>},
    {"dkCl", PixelRow<DarkerColor>},
    {"lgCl", PixelRow<LighterColor>},
    {"hue ", PixelRow<Hue>},
    {"sat ", PixelRow<Saturation>},
    {"colr", PixelRow<Color>},
    {"lum ", PixelRow<Luminosity>},
};

}  // namespace

BlendRow FindBlend(const uint8_t key[4]) {
  for (const BlendEntry& e : kBlends) {
    if (std::memcmp(e.key, key, 4) == 0) return e.row;
  }
  return nullptr;
}

bool IsNormalBlend(BlendRow blend) { return blend == NormalRow || blend == DissolveRow; }

bool BlendNeedsHardAlpha(BlendRow blend) { return blend == DissolveRow; }

bool BlendTakesFillApart(BlendRow blend) {
  for (const char* key : {"idiv", "lbrn", "div ", "lddg", "vLit", "lLit", "hMix", "diff"}) {
    if (blend == FindBlend(reinterpret_cast<const uint8_t*>(key))) return true;
  }
  return false;
}

namespace {
int32_t LinearLightUncut(int32_t b, int32_t s) { return b + 2 * s - 256; }
}  // namespace

UncutBlend FindFillInside(BlendRow blend) {
  if (blend == FindBlend(reinterpret_cast<const uint8_t*>("lLit"))) return LinearLightUncut;
  return nullptr;
}

void OverFillInside(uint8_t* const cb[3], uint8_t* ab, const uint8_t* const cs[3], uint8_t fill,
                    UncutBlend uncut, int32_t channels, uint32_t n) {
  const int64_t f = fill;
  for (uint32_t i = 0; i < n; ++i) {
    const int64_t b = ab == nullptr ? 255 : ab[i];
    const int64_t area = 255 * f + b * (255 - f);
    if (area == 0) {
      for (int32_t c = 0; c < channels; ++c) cb[c][i] = 0;
      ab[i] = 0;  // only a backdrop with alpha reaches here
      continue;
    }
    for (int32_t c = 0; c < channels; ++c) {
      const int64_t p = (255 - b) * cs[c][i] + b * uncut(cb[c][i], cs[c][i]);
      const int64_t num = f * p + b * (255 - f) * cb[c][i];
      // Rounded to the nearest, halves up, then cut.
      const int64_t v = num <= 0 ? 0 : (2 * num + area) / (2 * area);
      cb[c][i] = static_cast<uint8_t>(v < 255 ? v : 255);
    }
    if (ab != nullptr) ab[i] = static_cast<uint8_t>(Div255(static_cast<uint32_t>(area)));
  }
}

bool HardAlphaOnly(const uint8_t* alpha, uint32_t n) {
  for (uint32_t i = 0; i < n; ++i) {
    if (alpha[i] != 0 && alpha[i] != 255) return false;
  }
  return true;
}

void MulRows(uint8_t* a, const uint8_t* b, uint32_t n) {
  WideRow<Mul255, MultiplyX8>(a, b, a, n);
}

void ScaleRow(uint8_t* a, uint32_t s, uint32_t n) {
  if (s == 255) return;
  const __m128i zero = _mm_setzero_si128(), vs = _mm_set1_epi16(static_cast<int16_t>(s));
  uint32_t i = 0;
  for (; i + 16 <= n; i += 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(a + i));
    const __m128i lo = Mul255x8(_mm_unpacklo_epi8(v, zero), vs);
    const __m128i hi = Mul255x8(_mm_unpackhi_epi8(v, zero), vs);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(a + i), _mm_packus_epi16(lo, hi));
  }
  for (; i < n; ++i) a[i] = static_cast<uint8_t>(Mul255(a[i], s));
}

void OverOpaque(uint8_t* b, const uint8_t* blended, const uint8_t* alpha, uint32_t n) {
  const __m128i zero = _mm_setzero_si128(), full = _mm_set1_epi16(255),
                half = _mm_set1_epi16(128);
  uint32_t i = 0;
  for (; i + 16 <= n; i += 16) {
    const __m128i va = _mm_loadu_si128(reinterpret_cast<const __m128i*>(alpha + i));
    const __m128i vs = _mm_loadu_si128(reinterpret_cast<const __m128i*>(blended + i));
    const __m128i vb = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + i));
    __m128i r[2];
    for (int h = 0; h < 2; ++h) {
      const __m128i a = h == 0 ? _mm_unpacklo_epi8(va, zero) : _mm_unpackhi_epi8(va, zero);
      const __m128i s = h == 0 ? _mm_unpacklo_epi8(vs, zero) : _mm_unpackhi_epi8(vs, zero);
      const __m128i d = h == 0 ? _mm_unpacklo_epi8(vb, zero) : _mm_unpackhi_epi8(vb, zero);
      // a s + (255 - a) d + 128 <= 65153: no 16-bit lane overflows.
      const __m128i t = _mm_add_epi16(
          _mm_add_epi16(_mm_mullo_epi16(a, s), _mm_mullo_epi16(_mm_sub_epi16(full, a), d)), half);
      r[h] = _mm_srli_epi16(_mm_add_epi16(t, _mm_srli_epi16(t, 8)), 8);
    }
    _mm_storeu_si128(reinterpret_cast<__m128i*>(b + i), _mm_packus_epi16(r[0], r[1]));
  }
  for (; i < n; ++i) {
    const uint32_t a = alpha[i];
    b[i] = static_cast<uint8_t>(Div255(a * blended[i] + (255 - a) * b[i]));
  }
}

void OverTranslucent(uint8_t* const cb[3], uint8_t* ab, const uint8_t* const cs[3],
                     const uint8_t* as, BlendRow blend, int32_t channels, uint8_t* scratch,
                     uint32_t n) {
  const uint8_t* mixed[3] = {cs[0], cs[1], cs[2]};
  if (blend != nullptr && !IsNormalBlend(blend)) {
    uint8_t* const out[3] = {scratch, scratch + n, scratch + 2 * static_cast<uint64_t>(n)};
    const uint8_t* const backdrop[3] = {cb[0], cb[1], cb[2]};
    blend(backdrop, cs, out, channels, n);
    for (int32_t c = 0; c < channels; ++c) mixed[c] = out[c];
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
