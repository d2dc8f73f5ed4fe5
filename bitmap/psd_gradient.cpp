// Gradient settings; see psd_gradient.h.
#include "bitmap/psd_gradient.h"

namespace kelvra {

namespace {

bool Finite(double v) { return v >= -1e9 && v <= 1e9; }

uint8_t Level(double v) {
  v = v < 0 ? 0 : v > 255 ? 255 : v;
  return static_cast<uint8_t>(v + 0.5);
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
      if (!stop.FindObject("Clr ", &rgb) || !ReadRgbColour(rgb, s.value)) {
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

}  // namespace kelvra
