// Gradient settings and their evaluation; see psd_gradient.h.
#include "bitmap/psd_gradient.h"

#include <cmath>

#include "bitmap/same_bits_math.h"

namespace kelvra {

namespace {

constexpr double kPi = 3.14159265358979323846;

bool Finite(double v) { return v >= -1e9 && v <= 1e9; }

// "Lctn" and "Mdpn" of a stop, in range.
bool ReadPlace(const Descriptor& stop, GradientStop* s) {
  DescriptorValue v;
  int32_t location = 0, midpoint = 0;
  if (!stop.Find("Lctn", &v) || !v.Integer(&location) || location < 0 || location > 4096) {
    return false;
  }
  if (!stop.Find("Mdpn", &v) || !v.Integer(&midpoint) || midpoint < 0 || midpoint > 100) {
    return false;
  }
  s->location = static_cast<uint16_t>(location);
  s->midpoint = static_cast<uint8_t>(midpoint);
  return true;
}

// The stops of list `key`: colour stops (`colour`) or transparency stops.
GradientRefusal ReadStops(const Descriptor& grad, const char* key, bool colour,
                          GradientStop* stops, int32_t* count) {
  DescriptorValue v;
  DescriptorList list;
  if (!grad.Find(key, &v) || !v.List(&list) || list.count() == 0) {
    return GradientRefusal::kUnreadable;
  }
  if (list.count() > static_cast<uint32_t>(kMaxGradientStops)) {
    return GradientRefusal::kTooManyStops;
  }
  *count = 0;
  DescriptorValue element;
  while (list.Next(&element)) {
    Descriptor stop;
    GradientStop& s = stops[(*count)++];
    if (!element.Object(&stop) || !ReadPlace(stop, &s)) return GradientRefusal::kUnreadable;
    if (colour) {
      DescriptorId type;
      Descriptor rgb;
      if (!stop.FindEnum("Type", &type)) return GradientRefusal::kUnreadable;
      if (!type.Is("UsrS")) return GradientRefusal::kToolColourStop;
      if (!stop.FindObject("Clr ", &rgb) || !ReadRgbColour(rgb, s.value)) {
        return GradientRefusal::kUnreadable;
      }
    } else {
      double opacity = 0;
      if (!stop.FindDouble("Opct", &opacity) || !(opacity >= 0 && opacity <= 100)) {
        return GradientRefusal::kUnreadable;
      }
      s.value[0] = RoundToLevel(opacity * 255 / 100);
    }
  }
  // Photoshop stores stops in order along the gradient; out of order, the
  // segments between them would not be its.
  for (int32_t i = 1; i < *count; ++i) {
    if (stops[i].location < stops[i - 1].location) return GradientRefusal::kUnreadable;
  }
  return GradientRefusal::kNone;
}

struct StyleName {
  const char* id;
  GradientStyle style;
};
constexpr StyleName kStyles[] = {
    {"Lnr ", GradientStyle::kLinear},    {"Rdl ", GradientStyle::kRadial},
    {"Angl", GradientStyle::kAngle},     {"Rflc", GradientStyle::kReflected},
    {"Dmnd", GradientStyle::kDiamond},
};

// sRGB levels and linear light.
double ToLinear(double level) {
  const double v = level / 255;
  return v <= 0.04045 ? v / 12.92 : SameBitsPow((v + 0.055) / 1.055, 2.4);
}
uint8_t FromLinear(double v) {
  v = v < 0 ? 0 : v > 1 ? 1 : v;
  return RoundToLevel(255 *
                      (v <= 0.0031308 ? v * 12.92 : 1.055 * SameBitsPow(v, 1 / 2.4) - 0.055));
}

// A stop's colour in the space the method mixes in: linear-light sRGB, or
// Oklab (from linear light by Ottosson's published matrices and cube
// roots); the classic method mixes the levels themselves.
void ToSpace(GradientMethod method, const uint8_t rgb[3], double out[3]) {
  if (method == GradientMethod::kClassic) {
    for (int32_t c = 0; c < 3; ++c) out[c] = rgb[c];
    return;
  }
  const double r = ToLinear(rgb[0]), g = ToLinear(rgb[1]), b = ToLinear(rgb[2]);
  if (method == GradientMethod::kLinearLight) {
    out[0] = r, out[1] = g, out[2] = b;
    return;
  }
  const double l = SameBitsCbrt(0.4122214708 * r + 0.5363325363 * g + 0.0514459929 * b);
  const double m = SameBitsCbrt(0.2119034982 * r + 0.6806995451 * g + 0.1073969566 * b);
  const double s = SameBitsCbrt(0.0883024619 * r + 0.2817188376 * g + 0.6299787005 * b);
  out[0] = 0.2104542553 * l + 0.7936177850 * m - 0.0040720468 * s;
  out[1] = 1.9779984951 * l - 2.4285922050 * m + 0.4505937099 * s;
  out[2] = 0.0259040371 * l + 0.7827717662 * m - 0.8086757660 * s;
}

void FromSpace(GradientMethod method, const double in[3], uint8_t rgb[3]) {
  if (method == GradientMethod::kClassic) {
    for (int32_t c = 0; c < 3; ++c) rgb[c] = RoundToLevel(in[c]);
    return;
  }
  double r = in[0], g = in[1], b = in[2];
  if (method == GradientMethod::kPerceptual) {
    const double l = in[0] + 0.3963377774 * in[1] + 0.2158037573 * in[2];
    const double m = in[0] - 0.1055613458 * in[1] - 0.0638541728 * in[2];
    const double s = in[0] - 0.0894841775 * in[1] - 1.2914855480 * in[2];
    const double l3 = l * l * l, m3 = m * m * m, s3 = s * s * s;
    r = 4.0767416621 * l3 - 3.3077115913 * m3 + 0.2309699292 * s3;
    g = -1.2684380046 * l3 + 2.6097574011 * m3 - 0.3413193965 * s3;
    b = -0.0041960863 * l3 - 0.7034186147 * m3 + 1.7076147010 * s3;
  }
  rgb[0] = FromLinear(r), rgb[1] = FromLinear(g), rgb[2] = FromLinear(b);
}

}  // namespace

GradientRefusal ReadGradient(const Descriptor& d, PsdGradient* g) {
  *g = PsdGradient{};
  Descriptor grad;
  DescriptorId id;
  if (!d.FindObject("Grad", &grad) || !grad.FindEnum("GrdF", &id)) {
    return GradientRefusal::kUnreadable;
  }
  if (id.Is("ClNs")) return GradientRefusal::kNoise;
  if (!id.Is("CstS")) return GradientRefusal::kUnreadable;
  // "gs99" (absent before the methods existed: classic).
  if (d.FindEnum("gs99", &id)) {
    if (id.Is("Perc")) {
      g->method = GradientMethod::kPerceptual;
    } else if (id.Is("Lnr ")) {
      g->method = GradientMethod::kLinearLight;
    } else if (!id.Is("Gcls")) {
      return GradientRefusal::kOtherMethod;
    }
  }
  double smoothness = 0;
  if (!grad.FindDouble("Intr", &smoothness) || !(smoothness >= 0 && smoothness <= 4096)) {
    return GradientRefusal::kUnreadable;
  }
  g->smoothness = static_cast<int32_t>(smoothness + 0.5);
  d.FindBool("Dthr", &g->dither);

  if (!d.FindEnum("Type", &id)) return GradientRefusal::kUnreadable;
  bool known = false;
  for (const StyleName& s : kStyles) {
    if (id.Is(s.id)) g->style = s.style, known = true;
  }
  if (!known) return GradientRefusal::kUnreadable;
  d.FindBool("Rvrs", &g->reverse);
  d.FindBool("Algn", &g->alignWithLayer);
  if (!d.FindDouble("Angl", &g->angle) || !Finite(g->angle)) return GradientRefusal::kUnreadable;
  if (!d.FindDouble("Scl ", &g->scale) || !(g->scale > 0 && g->scale <= 1000)) {
    return GradientRefusal::kUnreadable;
  }
  Descriptor offset;
  if (d.FindObject("Ofst", &offset) &&
      (!offset.FindDouble("Hrzn", &g->offsetX) || !offset.FindDouble("Vrtc", &g->offsetY) ||
       !Finite(g->offsetX) || !Finite(g->offsetY))) {
    return GradientRefusal::kUnreadable;
  }
  if (GradientRefusal r = ReadStops(grad, "Clrs", true, g->colours, &g->colourCount);
      r != GradientRefusal::kNone) {
    return r;
  }
  return ReadStops(grad, "Trns", false, g->alphas, &g->alphaCount);
}

const char* GradientRefusalText(GradientRefusal why, bool overlay) {
  struct Text {
    GradientRefusal why;
    const char* overlay;
    const char* fill;
  };
  static constexpr Text kTexts[] = {
      {GradientRefusal::kUnreadable, "a gradient overlay whose settings cannot be read",
       "a gradient fill layer whose settings cannot be read"},
      {GradientRefusal::kNoise, "a gradient overlay of noise", "a gradient fill layer of noise"},
      {GradientRefusal::kOtherMethod, "a gradient overlay with an interpolation method not known",
       "a gradient fill layer with an interpolation method not known"},
      {GradientRefusal::kToolColourStop,
       "a gradient overlay with a stop of the foreground or background colour",
       "a gradient fill layer with a stop of the foreground or background colour"},
      {GradientRefusal::kTooManyStops, "a gradient overlay with more than 32 stops",
       "a gradient fill layer with more than 32 stops"},
      {GradientRefusal::kClassic, "a gradient overlay with the classic method",
       "a gradient fill layer with the classic method"},
      {GradientRefusal::kSmoothness, "a gradient overlay with smoothness below 100 %",
       "a gradient fill layer with smoothness below 100 %"},
      {GradientRefusal::kDither, "a dithered gradient overlay", "a dithered gradient fill layer"},
      {GradientRefusal::kStyle, "a gradient overlay of a style but linear",
       "a gradient fill layer of a style but linear"},
      {GradientRefusal::kAngle, "a gradient overlay at an angle that is not vertical",
       "a gradient fill layer at an angle that is not vertical"},
      {GradientRefusal::kScaleOffset, "a gradient overlay scaled or offset",
       "a gradient fill layer scaled or offset"},
      {GradientRefusal::kCanvasAligned, "a gradient overlay not aligned with the layer",
       "a gradient fill layer not aligned with the layer"},
      {GradientRefusal::kStops,
       "a gradient overlay with a midpoint other than 50 % or two stops at one place",
       "a gradient fill layer with a midpoint other than 50 % or two stops at one place"},
      {GradientRefusal::kTransparency, "a gradient overlay whose transparency changes",
       "a gradient fill layer whose transparency changes"},
  };
  for (const Text& t : kTexts) {
    if (t.why == why) return overlay ? t.overlay : t.fill;
  }
  return overlay ? "a gradient overlay effect" : "a gradient fill layer";
}

GradientRefusal CheckGradient(const PsdGradient& g) {
  if (g.method == GradientMethod::kClassic) return GradientRefusal::kClassic;
  if (g.smoothness != 4096) return GradientRefusal::kSmoothness;
  if (g.dither) return GradientRefusal::kDither;
  if (g.style != GradientStyle::kLinear) return GradientRefusal::kStyle;
  // Vertical: 90 or -90 degrees, or those a whole turn away.
  const double quarter = std::fmod(std::fabs(g.angle), 360);
  if (quarter != 90 && quarter != 270) return GradientRefusal::kAngle;
  if (g.scale != 100 || g.offsetX != 0 || g.offsetY != 0) return GradientRefusal::kScaleOffset;
  if (!g.alignWithLayer) return GradientRefusal::kCanvasAligned;
  const GradientStop* lists[2] = {g.colours, g.alphas};
  const int32_t counts[2] = {g.colourCount, g.alphaCount};
  for (int32_t k = 0; k < 2; ++k) {
    for (int32_t i = 0; i < counts[k]; ++i) {
      if (lists[k][i].midpoint != 50) return GradientRefusal::kStops;
      if (i > 0 && lists[k][i].location == lists[k][i - 1].location) return GradientRefusal::kStops;
    }
  }
  for (int32_t i = 1; i < g.alphaCount; ++i) {
    if (g.alphas[i].value[0] != g.alphas[0].value[0]) return GradientRefusal::kTransparency;
  }
  return GradientRefusal::kNone;
}

void OpaqueBox::Grow(const uint8_t* alpha, int64_t x0, uint32_t n, int64_t y) {
  for (uint32_t x = 0; x < n; ++x) {
    if (alpha[x] < 128) continue;
    if (y < top) top = y;
    if (y + 1 > bottom) bottom = y + 1;
    if (x0 + x < left) left = x0 + x;
    if (x0 + x + 1 > right) right = x0 + x + 1;
  }
}

GradientBox OpaqueBox::Box() const {
  if (right < left) return GradientBox{};
  return GradientBox{static_cast<double>(left), static_cast<double>(top),
                     static_cast<double>(right), static_cast<double>(bottom)};
}

double GradientPosition(const PsdGradient& g, const GradientBox& box, double x, double y) {
  const double w = box.right - box.left, h = box.bottom - box.top;
  const double cx = (box.left + box.right) / 2 + g.offsetX * w / 100;
  const double cy = (box.top + box.bottom) / 2 + g.offsetY * h / 100;
  const double radians = g.angle * kPi / 180;
  // y points down: an angle of 90 degrees points up the page.
  double ux = std::cos(radians), uy = -std::sin(radians);
  // A vertical gradient (the only style drawn) exactly vertical in every
  // build: the C libraries differ in the last bits of cos(90 degrees).
  if (std::fabs(ux) < 1e-12) ux = 0, uy = uy > 0 ? 1 : -1;
  const double half = (std::fabs(w * ux) + std::fabs(h * uy)) / 2 * g.scale / 100;
  const double along = (x - cx) * ux + (y - cy) * uy;
  double t = half > 0 ? (1 + along / half) / 2 : along > 0 ? 1 : 0;
  t = t < 0 ? 0 : t > 1 ? 1 : t;
  return g.reverse ? 1 - t : t;
}

void GradientColour(const PsdGradient& g, double t, uint8_t rgb[3]) {
  if (g.colourCount <= 0) {
    rgb[0] = rgb[1] = rgb[2] = 0;
    return;
  }
  const double location = t * 4096;
  const GradientStop* s = g.colours;
  const int32_t n = g.colourCount;
  double out[3];
  if (location <= s[0].location || n == 1) {
    ToSpace(g.method, s[0].value, out);
  } else if (location >= s[n - 1].location) {
    ToSpace(g.method, s[n - 1].value, out);
  } else {
    int32_t i = 0;
    while (i + 2 < n && location >= s[i + 1].location) ++i;
    // The stops around the segment, the ends repeated.
    double p[4][3];
    const int32_t at[4] = {i > 0 ? i - 1 : 0, i, i + 1, i + 2 < n ? i + 2 : n - 1};
    for (int32_t k = 0; k < 4; ++k) ToSpace(g.method, s[at[k]].value, p[k]);
    const double span = s[i + 1].location - s[i].location;
    const double u = span > 0 ? (location - s[i].location) / span : 1;
    // Hermite basis, tangents (p[k+1] - p[k-1]) / 2 per segment.
    const double u2 = u * u, u3 = u2 * u;
    const double h00 = 2 * u3 - 3 * u2 + 1, h10 = u3 - 2 * u2 + u;
    const double h01 = -2 * u3 + 3 * u2, h11 = u3 - u2;
    for (int32_t c = 0; c < 3; ++c) {
      out[c] = h00 * p[1][c] + h10 * (p[2][c] - p[0][c]) / 2 + h01 * p[2][c] +
               h11 * (p[3][c] - p[1][c]) / 2;
    }
  }
  FromSpace(g.method, out, rgb);
}

}  // namespace kelvra
