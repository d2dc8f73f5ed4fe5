// Gradient settings and their evaluation; see psd_gradient.h.
#include "bitmap/psd_gradient.h"

#include <cmath>

namespace kelvra {

namespace {

constexpr double kPi = 3.14159265358979323846;

bool Finite(double v) { return v >= -1e9 && v <= 1e9; }

uint8_t Level(double v) {
  v = v < 0 ? 0 : v > 255 ? 255 : v;
  return static_cast<uint8_t>(v + 0.5);
}

bool ReadColour(const Descriptor& colour, uint8_t rgb[3]) {
  if (!colour.classId().Is("RGBC")) return false;
  static constexpr const char* kKeys[] = {"Rd  ", "Grn ", "Bl  "};
  for (int32_t c = 0; c < 3; ++c) {
    double v = 0;
    if (!colour.FindDouble(kKeys[c], &v) || !Finite(v)) return false;
    rgb[c] = Level(v);
  }
  return true;
}

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
      if (!stop.FindObject("Clr ", &rgb) || !ReadColour(rgb, s.value)) {
        return GradientRefusal::kUnreadable;
      }
    } else {
      double opacity = 0;
      if (!stop.FindDouble("Opct", &opacity) || !(opacity >= 0 && opacity <= 100)) {
        return GradientRefusal::kUnreadable;
      }
      s.value[0] = Level(opacity * 255 / 100);
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

// Mixes stop values a and b at `u` (0 to 1) of their segment, evenly at the
// midpoint m (percent).
double Mix(double a, double b, double u, uint8_t m) {
  const double mid = m / 100.0;
  double w;
  if (mid <= 0) {
    w = u > 0 ? 1 : 0.5;
  } else if (mid >= 1) {
    w = u < 1 ? 0 : 0.5;
  } else {
    w = u < mid ? 0.5 * u / mid : 0.5 + 0.5 * (u - mid) / (1 - mid);
  }
  return a + (b - a) * w;
}

// The value (channel c) of `stops` at `location` (0 to 4096).
double StopsAt(const GradientStop* stops, int32_t count, double location, int32_t c) {
  if (location <= stops[0].location) return stops[0].value[c];
  for (int32_t i = 1; i < count; ++i) {
    const GradientStop& a = stops[i - 1];
    const GradientStop& b = stops[i];
    if (location > b.location) continue;
    // Two stops at one place: a hard edge, the later stop's value from there.
    if (b.location == a.location) return b.value[c];
    return Mix(a.value[c], b.value[c], (location - a.location) / (b.location - a.location),
               b.midpoint);
  }
  return stops[count - 1].value[c];
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
  if (d.FindEnum("gs99", &id)) {
    if (id.Is("Perc")) return GradientRefusal::kPerceptual;
    if (id.Is("Lnr ")) return GradientRefusal::kLinearLight;
    return GradientRefusal::kOtherMethod;
  }
  double smoothness = 0;
  if (!grad.FindDouble("Intr", &smoothness) || !Finite(smoothness)) {
    return GradientRefusal::kUnreadable;
  }
  if (smoothness != 0) return GradientRefusal::kSmoothness;
  bool dither = false;
  d.FindBool("Dthr", &dither);
  if (dither) return GradientRefusal::kDither;

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
      {GradientRefusal::kPerceptual, "a gradient overlay with the perceptual method",
       "a gradient fill layer with the perceptual method"},
      {GradientRefusal::kLinearLight, "a gradient overlay with the linear method",
       "a gradient fill layer with the linear method"},
      {GradientRefusal::kOtherMethod, "a gradient overlay with an interpolation method not known",
       "a gradient fill layer with an interpolation method not known"},
      {GradientRefusal::kSmoothness, "a gradient overlay with smoothness above 0 %",
       "a gradient fill layer with smoothness above 0 %"},
      {GradientRefusal::kDither, "a dithered gradient overlay", "a dithered gradient fill layer"},
      {GradientRefusal::kToolColourStop,
       "a gradient overlay with a stop of the foreground or background colour",
       "a gradient fill layer with a stop of the foreground or background colour"},
      {GradientRefusal::kTooManyStops, "a gradient overlay with more than 32 stops",
       "a gradient fill layer with more than 32 stops"},
  };
  for (const Text& t : kTexts) {
    if (t.why == why) return overlay ? t.overlay : t.fill;
  }
  return overlay ? "a gradient overlay effect" : "a gradient fill layer";
}

double GradientPosition(const PsdGradient& g, const GradientBox& box, double x, double y) {
  const double w = box.right - box.left, h = box.bottom - box.top;
  const double cx = (box.left + box.right) / 2 + g.offsetX * w / 100;
  const double cy = (box.top + box.bottom) / 2 + g.offsetY * h / 100;
  const double radians = g.angle * kPi / 180;
  // y points down: an angle of 90 degrees points up the page.
  const double ux = std::cos(radians), uy = -std::sin(radians);
  const double half = (std::fabs(w * ux) + std::fabs(h * uy)) / 2 * g.scale / 100;
  const double dx = x - cx, dy = y - cy;
  const double along = dx * ux + dy * uy, across = dx * -uy + dy * ux;
  double t = 0;
  switch (g.style) {
    case GradientStyle::kAngle: {
      // The turn from u to d, anticlockwise on the page.
      double turn = std::atan2(-dy, dx) - std::atan2(-uy, ux);
      while (turn < 0) turn += 2 * kPi;
      while (turn >= 2 * kPi) turn -= 2 * kPi;
      // A pixel on the start line must not wrap to the end by the rounding
      // of the two angles.
      if (turn > 2 * kPi - 1e-9) turn = 0;
      t = turn / (2 * kPi);
      break;
    }
    default:
      if (!(half > 0)) {
        t = along > 0 ? 1 : 0;
      } else if (g.style == GradientStyle::kLinear) {
        t = (1 + along / half) / 2;
      } else if (g.style == GradientStyle::kReflected) {
        t = std::fabs(along) / half;
      } else if (g.style == GradientStyle::kRadial) {
        t = std::sqrt(dx * dx + dy * dy) / half;
      } else {
        t = (std::fabs(along) + std::fabs(across)) / half;
      }
      break;
  }
  t = t < 0 ? 0 : t > 1 ? 1 : t;
  return g.reverse ? 1 - t : t;
}

void GradientColour(const PsdGradient& g, double t, uint8_t rgb[3], uint8_t* opacity) {
  const double location = t * 4096;
  for (int32_t c = 0; c < 3; ++c) {
    rgb[c] = g.colourCount > 0 ? Level(StopsAt(g.colours, g.colourCount, location, c)) : 0;
  }
  *opacity = g.alphaCount > 0 ? Level(StopsAt(g.alphas, g.alphaCount, location, 0)) : 255;
}

}  // namespace kelvra
