// Gradients of Photoshop's layers: the settings a gradient overlay effect
// ("GrFl" in an effects descriptor) and a gradient fill layer ("GdFl") keep in
// their descriptors, read whole so that a gradient no setting of which is
// refused could be drawn; today every gradient is refused, by the setting that
// stops it or as not yet matched against Photoshop's pictures.
//
// Descriptor keys read:
//   "Type" style: "Lnr " linear, "Rdl " radial, "Angl" angle, "Rflc"
//          reflected, "Dmnd" diamond
//   "Angl" degrees, anticlockwise from pointing right; "Rvrs" reverse;
//   "Dthr" dither; "Algn" align with layer; "Scl " percent; "Ofst" object
//   of "Hrzn" and "Vrtc" percents of the box; "gs99" interpolation method
//   ("Perc" perceptual, "Lnr " linear light; absent in documents written
//   before methods existed: classic)
//   "Grad" object: "GrdF" form ("CstS" stops, "ClNs" noise), "Intr"
//   smoothness (0 to 4096 for 0 to 100 %), "Clrs" colour stops ("Clr ",
//   "Type" "UsrS" a colour of its own or "FrgC"/"BckC" the tool colours,
//   "Lctn" 0 to 4096, "Mdpn" percent), "Trns" transparency stops ("Opct"
//   percent, "Lctn", "Mdpn").
//
// What is evaluated is the classic method at smoothness 0, where Photoshop
// mixes the stops' 8-bit values in straight lines (its smoothness, and the
// perceptual and linear-light methods, bend the ramp in ways not worked out
// here; the shared documents that use them show it: up to 20 levels off).
#pragma once

#include <cstdint>

#include "bitmap/psd_descriptor.h"

namespace kelvra {

enum class GradientStyle : uint8_t { kLinear, kRadial, kAngle, kReflected, kDiamond };

// Stops beyond this many make a gradient refused.
constexpr int32_t kMaxGradientStops = 32;

struct GradientStop {
  uint16_t location = 0;  // 0 to 4096 along the gradient
  uint8_t midpoint = 50;  // percent of the way from the previous stop to this one
  uint8_t value[3] = {};  // colour stops: RGB; transparency stops: opacity in value[0]
};

struct PsdGradient {
  GradientStyle style = GradientStyle::kLinear;
  bool reverse = false;
  bool alignWithLayer = true;
  double angle = 90;                  // degrees
  double scale = 100;                 // percent
  double offsetX = 0, offsetY = 0;    // percent of the box's width and height
  GradientStop colours[kMaxGradientStops];
  GradientStop alphas[kMaxGradientStops];
  int32_t colourCount = 0, alphaCount = 0;
};

// Why a gradient cannot be evaluated exactly (kNone: it can).
enum class GradientRefusal : uint8_t {
  kNone,
  kUnreadable,        // a setting missing, of another type or out of range
  kNoise,             // a noise gradient
  kPerceptual,        // the perceptual interpolation method
  kLinearLight,       // the linear (light) interpolation method
  kOtherMethod,       // an interpolation method not known
  kSmoothness,        // smoothness above 0 %
  kDither,            // dithered
  kToolColourStop,    // a stop of the foreground or background colour
  kTooManyStops,      // more than kMaxGradientStops
};

// Reads the gradient settings of `d` (a "GrFl" effect object or a "GdFl"
// descriptor) into *g.
GradientRefusal ReadGradient(const Descriptor& d, PsdGradient* g);

// The refusal in words for a gradient overlay effect (`overlay`) or a
// gradient fill layer.
const char* GradientRefusalText(GradientRefusal why, bool overlay);

}  // namespace kelvra
