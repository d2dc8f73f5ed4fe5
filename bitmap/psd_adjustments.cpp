// Adjustment operations; see psd_adjustments.h.
#include "bitmap/psd_adjustments.h"

#include <cmath>
#include <cstring>

#include "bitmap/psd_descriptor.h"
#include "bitmap/psd_gradient.h"
#include "bitmap/same_bits_math.h"

namespace kelvra {

namespace {

// The first channel's table for all three (kinds that treat every channel
// alike).
void ShareFirstTable(PsdAdjustment* a) {
  std::memcpy(a->table[1], a->table[0], 256);
  std::memcpy(a->table[2], a->table[0], 256);
}

void Identity(uint8_t table[256]) {
  for (int32_t x = 0; x < 256; ++x) table[x] = static_cast<uint8_t>(x);
}

bool IsIdentity(const uint8_t table[256]) {
  for (int32_t x = 0; x < 256; ++x) {
    if (table[x] != x) return false;
  }
  return true;
}

// Levels and Curves keep a record for the composite and one for each
// channel. Where both the composite and a channel change levels the order
// Photoshop applies them in would matter, and it has not been matched: that
// is refused. Otherwise each channel's table is whichever of the two is
// not the identity.
bool CombineChannels(const uint8_t composite[256], const uint8_t channel[3][256], PsdAdjustment* a,
                     const char** refusal, const char* both) {
  const bool master = !IsIdentity(composite);
  for (int32_t c = 0; c < 3; ++c) {
    const bool own = !IsIdentity(channel[c]);
    if (master && own) {
      *refusal = both;
      return false;
    }
    std::memcpy(a->table[c], own ? channel[c] : composite, 256);
  }
  return true;
}

const char* TableRow(const PsdAdjustment& a, const uint8_t* const in[3], uint8_t* const out[3],
                     int32_t channels, uint32_t n) {
  for (int32_t c = 0; c < channels; ++c) {
    const uint8_t* table = a.table[c];
    for (uint32_t x = 0; x < n; ++x) out[c][x] = table[in[c][x]];
  }
  return nullptr;
}

// Invert ("nvrt", an empty block): every channel c becomes 255 - c. Exact
// by the adjustment's definition (the negative of each 8-bit sample); it
// has no settings to read.
bool ReadInvert(SourceCursor, PsdAdjustment* a, const char**) {
  a->kind = AdjustmentKind::kInvert;
  return true;
}

const char* InvertRow(const PsdAdjustment&, const uint8_t* const in[3], uint8_t* const out[3],
                      int32_t channels, uint32_t n) {
  for (int32_t c = 0; c < channels; ++c) {
    for (uint32_t x = 0; x < n; ++x) out[c][x] = static_cast<uint8_t>(255 - in[c][x]);
  }
  return nullptr;
}

// Levels ("levl"): version 2, then 29 records of input black, input white,
// output black, output white (levels) and gamma x 100 (0.1 .. 9.99); the
// first is the composite, the next three red, green and blue (the rest are
// for other channels). Documents of 16 bits add records of their own after
// "Lvls"; the 8-bit records are the ones used here. The mapping is the
// adjustment's published definition: the input range stretched to 0..1
// (clamped), raised to 1 / gamma, spread over the output range (which may
// run backwards). Photoshop's picture of a grayscale photograph under four
// Levels layers (adjustments__levels_grayscale in the second shared folder)
// gives the stretch and the output range exactly at gamma 1.00, but with a
// gamma it stays below the power near the input black (7 instead of 14, 10
// instead of 21, at gamma 1.78), a curve not known: a gamma other than 1.00
// is refused (*curved).
bool LevelsTable(SourceCursor& d, uint8_t table[256], bool* curved) {
  const int32_t inBlack = d.BE16(), inWhite = d.BE16(), outBlack = d.BE16(), outWhite = d.BE16();
  const int32_t gamma = d.BE16();
  if (!d.ok() || inBlack >= inWhite || inWhite > 255 || outBlack > 255 || outWhite > 255 ||
      gamma < 10 || gamma > 999) {
    return false;
  }
  if (gamma != 100) *curved = true;
  for (int32_t x = 0; x < 256; ++x) {
    double t = static_cast<double>(x - inBlack) / (inWhite - inBlack);
    t = t < 0.0 ? 0.0 : t > 1.0 ? 1.0 : t;
    t = SameBitsPow(t, 100.0 / gamma);
    table[x] = RoundToLevel(outBlack + t * (outWhite - outBlack));
  }
  return true;
}

bool ReadLevels(SourceCursor d, PsdAdjustment* a, const char** refusal) {
  if (d.BE16() != 2) return false;
  uint8_t composite[256], channel[3][256];
  bool curved = false;
  if (!LevelsTable(d, composite, &curved)) return false;
  for (int32_t c = 0; c < 3; ++c) {
    if (!LevelsTable(d, channel[c], &curved)) return false;
  }
  if (!d.Skip(25 * 10)) return false;  // the records of other channels
  if (curved) {
    *refusal = "a Levels adjustment with a gamma other than 1.00";
    return false;
  }
  a->kind = AdjustmentKind::kLevels;
  return CombineChannels(composite, channel, a, refusal,
                         "a Levels adjustment that changes both the composite and a channel");
}

// A curve through its points (inputs rising, 0..255): the natural cubic
// spline (second derivative 0 at both ends) between the first and last
// point, level with the end points outside them, clamped to 0..255; two
// points make a straight line. Photoshop's curve through the points is
// this spline, as its dialog draws it; no document here shows a curve
// apart from the layers above it.
constexpr int32_t kMaxCurvePoints = 32;

void CurveTable(const double* xs, const double* ys, int32_t n, uint8_t table[256]) {
  // The second derivatives, by the tridiagonal system of the natural spline.
  double m[kMaxCurvePoints] = {}, u[kMaxCurvePoints] = {};
  for (int32_t i = 1; i + 1 < n; ++i) {
    const double sig = (xs[i] - xs[i - 1]) / (xs[i + 1] - xs[i - 1]);
    const double p = sig * m[i - 1] + 2.0;
    m[i] = (sig - 1.0) / p;
    const double slope =
        (ys[i + 1] - ys[i]) / (xs[i + 1] - xs[i]) - (ys[i] - ys[i - 1]) / (xs[i] - xs[i - 1]);
    u[i] = (6.0 * slope / (xs[i + 1] - xs[i - 1]) - sig * u[i - 1]) / p;
  }
  m[n - 1] = 0.0;
  for (int32_t i = n - 2; i >= 0; --i) m[i] = m[i] * m[i + 1] + u[i];
  int32_t k = 0;
  for (int32_t x = 0; x < 256; ++x) {
    double y;
    if (x <= xs[0]) {
      y = ys[0];
    } else if (x >= xs[n - 1]) {
      y = ys[n - 1];
    } else {
      while (x > xs[k + 1]) ++k;
      const double h = xs[k + 1] - xs[k];
      const double b = (x - xs[k]) / h, t = 1.0 - b;
      y = t * ys[k] + b * ys[k + 1] +
          ((t * t * t - t) * m[k] + (b * b * b - b) * m[k + 1]) * h * h / 6.0;
    }
    table[x] = RoundToLevel(y);
  }
}

// Curves ("curv"): a byte that says whether the curves are maps (256
// levels each, exact by definition) or points, a version (1; a second form,
// version 4 after "Crv ", follows and is not read: in an 8-bit document it
// holds the same curves), a bit set of
// the channels that have a curve (bit 0 the composite, then red, green,
// blue), then each such curve: its point count and points (output, input).
bool ReadCurves(SourceCursor d, PsdAdjustment* a, const char** refusal) {
  const uint8_t map = d.U8();
  const uint16_t version = d.BE16();
  const uint32_t channels = d.BE32();
  if (!d.ok() || map > 1 || version != 1) return false;
  uint8_t curve[4][256];
  for (int32_t c = 0; c < 4; ++c) {
    Identity(curve[c]);
    if ((channels >> c & 1) == 0) continue;
    if (map == 1) {
      if (!d.Read(curve[c], 256)) return false;
      continue;
    }
    const int32_t n = d.BE16();
    if (!d.ok() || n < 2 || n > kMaxCurvePoints) return false;
    double xs[kMaxCurvePoints], ys[kMaxCurvePoints];
    for (int32_t i = 0; i < n; ++i) {
      ys[i] = d.BE16();
      xs[i] = d.BE16();
      if (!d.ok() || ys[i] > 255 || xs[i] > 255 || (i > 0 && xs[i] <= xs[i - 1])) return false;
    }
    CurveTable(xs, ys, n, curve[c]);
  }
  a->kind = AdjustmentKind::kCurves;
  return CombineChannels(curve[0], curve + 1, a, refusal,
                         "a Curves adjustment that changes both the composite and a channel");
}

// Posterize ("post"): the level count n (2..255) and two bytes of padding.
// The 256 levels fall into n equal bins, x to bin floor(x n / 256), and bin k
// shows level k * 255 / (n - 1) with the fraction dropped (8 levels: 0, 36,
// 72, 109, 145, 182, 218, 255). Photoshop's pictures of 3, 7, 13 and 21
// levels over a photograph (adjustments__posterize_rgb and _grayscale in the
// second shared folder) give every sample this way; rounding x (n - 1) / 255
// to the nearest bin instead moves the bins' edges and is up to 128 levels off
// there.
bool ReadPosterize(SourceCursor d, PsdAdjustment* a, const char**) {
  const int32_t n = d.BE16();
  d.Skip(2);
  if (!d.ok() || n < 2 || n > 255) return false;
  for (int32_t x = 0; x < 256; ++x) {
    const int32_t k = x * n / 256;
    a->table[0][x] = static_cast<uint8_t>(k * 255 / (n - 1));
  }
  ShareFirstTable(a);
  a->kind = AdjustmentKind::kPosterize;
  return true;
}

// Threshold ("thrs"): the level (1..255) and two bytes of padding. A gray
// sample at or above the level becomes white, below it black: exact by
// definition. In colour Photoshop thresholds a luminance whose weights no
// document here shows, so RGB documents are refused.
bool ReadThreshold(SourceCursor d, PsdAdjustment* a, const char**) {
  const int32_t level = d.BE16();
  d.Skip(2);
  if (!d.ok() || level < 1 || level > 255) return false;
  for (int32_t x = 0; x < 256; ++x) a->table[0][x] = x >= level ? 255 : 0;
  ShareFirstTable(a);
  a->channelsRefusal = "a Threshold adjustment layer in a colour document";
  a->refusedChannels = 3;
  a->kind = AdjustmentKind::kThreshold;
  return true;
}

float BigEndianFloat(SourceCursor& d) {
  const uint32_t bits = d.BE32();
  float f;
  std::memcpy(&f, &bits, 4);
  return f;
}

// Exposure ("expA"): version 1, then exposure (stops), offset and gamma as
// 4-byte floats. Photoshop works on linear values: a level x becomes
//   255 ((x / 255)^2.2 * 2^exposure + offset)^(1 / (2.2 gamma)),
// clamped. Derived from Photoshop's merged picture of a document with a
// legacy Brightness/Contrast (19, -18) under an Exposure (0.83, -0.0579,
// 0.75), whose one colour (186, 65, 65) Photoshop shows as (244, 79, 79):
// the 2.2 power and the order multiply, add, power give (242, 79, 79). The
// sRGB curve instead is 3 levels off, adding the offset before multiplying
// 16, gamma (not 1 / gamma) as the power 53, no linear values at all 52.
// No document shows other settings.
bool ReadExposure(SourceCursor d, PsdAdjustment* a, const char**) {
  const uint16_t version = d.BE16();
  const double exposure = BigEndianFloat(d), offset = BigEndianFloat(d), gamma = BigEndianFloat(d);
  if (!d.ok() || version != 1 || !(exposure >= -20.0 && exposure <= 20.0) ||
      !(offset >= -1.0 && offset <= 1.0) || !(gamma >= 0.01 && gamma <= 10.0)) {
    return false;
  }
  const double gain = SameBitsPow(2.0, exposure);
  for (int32_t x = 0; x < 256; ++x) {
    double v = SameBitsPow(x / 255.0, 2.2) * gain + offset;
    v = v > 0.0 ? SameBitsPow(v, 1.0 / (2.2 * gamma)) : 0.0;
    a->table[0][x] = RoundToLevel(255.0 * v);
  }
  ShareFirstTable(a);
  // A gray document's linear values follow its gray working space, which
  // the document does not carry.
  a->channelsRefusal = "an Exposure adjustment layer in a grayscale document";
  a->refusedChannels = 1;
  a->kind = AdjustmentKind::kExposure;
  return true;
}

// The legacy Brightness/Contrast: contrast scales each level about middle
// gray by 1 + contrast / 100, then brightness is added:
//   (x - 127.5) (1 + contrast / 100) + 127.5 + brightness, clamped.
// Derived from the same document as Exposure: this scale about 127.5 and
// the order (contrast, then brightness) are the ones that, under that
// Exposure, land both levels within 2 of Photoshop's (brightness first is
// 7 off). Contrast above 0 is not shown by any document and is refused.
bool LegacyBrightnessContrast(int32_t brightness, int32_t contrast, bool labOnly, PsdAdjustment* a,
                              const char** refusal) {
  if (labOnly) {
    *refusal = "a Brightness/Contrast adjustment on lightness only";
    return false;
  }
  if (contrast > 0) {
    *refusal = "a legacy Brightness/Contrast adjustment with contrast above 0";
    return false;
  }
  if (brightness < -255 || brightness > 255 || contrast < -100) return false;
  for (int32_t x = 0; x < 256; ++x) {
    a->table[0][x] = RoundToLevel((x - 127.5) * (1.0 + contrast / 100.0) + 127.5 + brightness);
  }
  ShareFirstTable(a);
  a->kind = AdjustmentKind::kBrightnessContrast;
  return true;
}

// Brightness/Contrast ("brit"): brightness, contrast and mean (2 bytes
// each, signed), a byte "Lab only". Alone it is the legacy form (documents
// of older versions); Photoshop since then writes zeros here and the
// settings in "CgEd" (ReadAdjustmentSettings).
bool ReadBrightnessContrast(SourceCursor d, PsdAdjustment* a, const char** refusal) {
  const int32_t brightness = d.S16(), contrast = d.S16();
  d.Skip(2);  // mean
  const bool labOnly = d.U8() != 0;
  return d.ok() && LegacyBrightnessContrast(brightness, contrast, labOnly, a, refusal);
}

bool FindNumber(const Descriptor& d, const char* key, double* v) {
  DescriptorValue value;
  int32_t i = 0;
  if (!d.Find(key, &value)) return false;
  if (value.Integer(&i)) {
    *v = i;
    return true;
  }
  return value.Double(v);
}

bool ReadGradientMap(SourceCursor data, PsdAdjustment* a, const char** refusal);
const char* GradientMapRow(const PsdAdjustment& a, const uint8_t* const in[3],
                           uint8_t* const out[3], int32_t channels, uint32_t n);

constexpr AdjustmentOp kOps[] = {
    {"nvrt", AdjustmentKind::kInvert, ReadInvert, InvertRow},
    {"levl", AdjustmentKind::kLevels, ReadLevels, TableRow},
    {"curv", AdjustmentKind::kCurves, ReadCurves, TableRow},
    {"post", AdjustmentKind::kPosterize, ReadPosterize, TableRow},
    {"thrs", AdjustmentKind::kThreshold, ReadThreshold, TableRow},
    {"expA", AdjustmentKind::kExposure, ReadExposure, TableRow},
    {"brit", AdjustmentKind::kBrightnessContrast, ReadBrightnessContrast, TableRow},
    {"grdm", AdjustmentKind::kGradientMap, ReadGradientMap, GradientMapRow},
};

}  // namespace

const AdjustmentOp* FindAdjustmentOp(const uint8_t* key) {
  for (const AdjustmentOp& op : kOps) {
    if (std::memcmp(key, op.key, 4) == 0) return &op;
  }
  return nullptr;
}

bool ReadAdjustmentSettings(SourceCursor settings, PsdAdjustment* a, const char** refusal) {
  if (a->kind != AdjustmentKind::kBrightnessContrast) return true;
  Descriptor d;
  if (!Descriptor::ReadVersioned(settings, &d)) return false;
  bool legacy = false, lab = false;
  double brightness = 0.0, contrast = 0.0;
  if (!d.FindBool("useLegacy", &legacy) || !legacy) {
    // The current form's curve is Photoshop's own and not published; no
    // document here shows it alone.
    *refusal = "a Brightness/Contrast adjustment layer in its current (not legacy) form";
    return false;
  }
  if (!FindNumber(d, "Brgh", &brightness) || !FindNumber(d, "Cntr", &contrast) ||
      !(brightness >= -255.0 && brightness <= 255.0 && contrast >= -100.0 && contrast <= 100.0) ||
      brightness != std::floor(brightness) || contrast != std::floor(contrast)) {
    return false;
  }
  d.FindBool("Lab ", &lab);
  return LegacyBrightnessContrast(static_cast<int32_t>(brightness), static_cast<int32_t>(contrast),
                                  lab, a, refusal);
}

const char* ApplyAdjustment(const PsdAdjustment& a, const uint8_t* const in[3],
                            uint8_t* const out[3], int32_t channels, uint32_t n) {
  for (const AdjustmentOp& op : kOps) {
    if (op.kind == a.kind) return op.apply(a, in, out, channels, n);
  }
  return nullptr;
}

namespace {

// ---- Gradient Map ("grdm") ----------------------------------------------------
// Each pixel's luminance picks a colour along a gradient. The colour is the
// one gradient overlays take (psd_gradient.h: a Catmull-Rom spline through
// the stops in Oklab or linear light at smoothness 100 %, matched within 1
// level on Photoshop's overlays); the one picture Photoshop saved of a
// gradient map (a solid grey 13 under a four-stop perceptual map) shows
// (3, 0, 0), which that spline gives exactly at 13 / 255. Straight-line
// mixing in RGB gives (37, 11, 0) there and in Oklab (10, 1, 0).
// Photoshop's luminance weights for coloured pixels are not shown by any
// picture here, so the map is drawn over gray pixels only, where every
// weighting gives the gray level itself; the compositor refuses a map over
// anything else. Every setting the overlays did not match is refused.
//
// Layout: version (1 or 3), reversed and dithered bytes, for version 3 a
// method key ("Gcls" classic, "Perc" perceptual, "Lnr " linear), a Unicode name,
// colour stops (location 0..4096 and midpoint, 4 bytes each; colour space,
// four 16-bit components, 2 bytes of padding), transparency stops
// (location, midpoint, 16-bit opacity), then expansion, smoothness
// (0..4096), length, noise mode, seed, two flags, roughness, colour model,
// minimum and maximum colours and 2 bytes of padding.

// Stops in order along 0..4096 with midpoints in 0..100 into `stops` (room
// for kMaxGradientStops); colour stops hold their colour space and three
// 16-bit components after the midpoint, transparency stops an opacity.
// False when out of range or short; *rgb false when a colour stop is in
// another colour space.
bool ReadGradientMapStops(SourceCursor& d, bool colour, GradientStop* stops, int32_t* count,
                          bool* rgb) {
  const uint16_t n = d.BE16();
  if (!d.ok() || n == 0 || n > kMaxGradientStops) return false;
  uint32_t previous = 0;
  for (uint16_t i = 0; i < n; ++i) {
    const uint32_t location = d.BE32(), midpoint = d.BE32();
    const uint16_t first = d.BE16();  // a colour stop's colour space, or the opacity
    GradientStop& s = stops[i];
    if (colour) {
      for (uint8_t& v : s.value) v = static_cast<uint8_t>((d.BE16() * 255u + 32767u) / 65535u);
      d.Skip(4);  // fourth component, padding
      if (first != 0) *rgb = false;  // 0: RGB
    } else {
      s.value[0] = first == 255 ? 255 : 0;  // opaque as Photoshop saves it, or not
    }
    if (!d.ok() || location > 4096 || location < previous || midpoint > 100) return false;
    s.location = static_cast<uint16_t>(location);
    s.midpoint = static_cast<uint8_t>(midpoint);
    previous = location;
  }
  *count = n;
  return true;
}

bool ReadGradientMap(SourceCursor d, PsdAdjustment* a, const char** refusal) {
  *refusal = "a Gradient Map whose settings cannot be read";
  const uint16_t version = d.BE16();
  const uint8_t reversed = d.U8();
  const uint8_t dithered = d.U8();
  uint8_t method[4] = {'G', 'c', 'l', 's'};
  if (version == 3) d.Read(method, 4);
  d.Skip(2 * static_cast<uint64_t>(d.BE32()));  // name
  bool rgb = true;
  PsdGradient g;
  if ((version != 1 && version != 3) ||
      !ReadGradientMapStops(d, true, g.colours, &g.colourCount, &rgb) ||
      !ReadGradientMapStops(d, false, g.alphas, &g.alphaCount, &rgb)) {
    return false;
  }
  d.Skip(2);  // expansion
  const uint16_t smoothness = d.BE16();
  d.Skip(2);  // length
  const uint16_t noise = d.BE16();
  if (!d.ok() || smoothness > 4096) return false;
  g.smoothness = smoothness;
  bool opaque = true;  // every transparency stop fully opaque (255, as Photoshop saves it)
  for (int32_t i = 0; i < g.alphaCount; ++i) opaque = opaque && g.alphas[i].value[0] == 255;
  bool stops = true;  // midpoints 50 %, no two colour stops at one place
  for (int32_t i = 0; i < g.colourCount; ++i) {
    stops = stops && g.colours[i].midpoint == 50 &&
            (i == 0 || g.colours[i].location > g.colours[i - 1].location);
  }
  if (std::memcmp(method, "Perc", 4) == 0) {
    g.method = GradientMethod::kPerceptual;
  } else if (std::memcmp(method, "Lnr ", 4) == 0) {
    g.method = GradientMethod::kLinearLight;
  }
  if (std::memcmp(method, "Gcls", 4) == 0) {
    *refusal = "a Gradient Map with the classic method";
  } else if (g.method == GradientMethod::kClassic) {
    *refusal = "a Gradient Map with an interpolation method not known";
  } else if (smoothness != 4096) {
    *refusal = "a Gradient Map with smoothness below 100 %";
  } else if (dithered != 0) {
    *refusal = "a dithered Gradient Map";
  } else if (reversed != 0) {
    *refusal = "a reversed Gradient Map";
  } else if (noise != 0) {
    *refusal = "a noise Gradient Map";
  } else if (!rgb) {
    *refusal = "a Gradient Map with a stop in a colour space other than RGB";
  } else if (!opaque) {
    *refusal = "a Gradient Map with transparency stops";
  } else if (!stops) {
    *refusal = "a Gradient Map with a midpoint other than 50 % or two stops at one place";
  } else {
    uint8_t rgbAt[3];
    for (int32_t v = 0; v < 256; ++v) {
      GradientColour(g, v / 255.0, rgbAt);
      for (int32_t c = 0; c < 3; ++c) a->table[c][v] = rgbAt[c];
    }
    a->kind = AdjustmentKind::kGradientMap;
    a->refusedChannels = 1;
    a->channelsRefusal = "a Gradient Map in a grayscale document";
    *refusal = nullptr;
    return true;
  }
  return false;
}

// Gray pixels to the map's colour of their level; `in` and `out` may be the
// same rows. A coloured pixel stops it.
const char* GradientMapRow(const PsdAdjustment& a, const uint8_t* const in[3],
                           uint8_t* const out[3], int32_t channels, uint32_t n) {
  for (uint32_t x = 0; x < n; ++x) {
    const uint8_t level = in[0][x];
    if (in[1][x] != level || in[2][x] != level) {
      return "a Gradient Map over coloured pixels (the weights Photoshop takes their luminance "
             "by are not known)";
    }
    for (int32_t c = 0; c < channels; ++c) out[c][x] = a.table[c][level];
  }
  return nullptr;
}

}  // namespace

}  // namespace kelvra
