// Gradients of Photoshop's layers: the settings a gradient overlay effect
// ("GrFl" in an effects descriptor) and a gradient fill layer ("GdFl") keep in
// their descriptors, which of them are matched against Photoshop's pictures,
// and the evaluator: where a pixel falls along the gradient and the colour
// there.
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
// Derived from Photoshop's merged images (a linear-method overlay on a
// 3508 x 4960 fill layer, a perceptual-method overlay on a 162 x 164 layer,
// both at smoothness 100 %): the colour between stops is a Catmull-Rom
// spline through the stops, each component on its own, in the method's
// space (perceptual: Oklab; linear: linear-light sRGB), with the tangent
// at a stop half the difference of its neighbours per segment (not per
// unit of location) and the end stops repeated; the result converted back
// and rounded. Worst 1 level off on both. Straight mixes in those spaces are
// 12 and 14 levels off, the spline in sRGB values 23.
// The effects' own scale ("Scl " of the effects descriptor, 416.7 % on the
// linear document) leaves the gradient as it is.
// The classic method (documents written before the methods existed) is not
// matched: the one layer that shows it (saved twice) dithers a steep
// radial ramp, and the best fit found is 12 levels off.
#pragma once

#include <cstdint>

#include "bitmap/psd_descriptor.h"

namespace kelvra {

enum class GradientStyle : uint8_t { kLinear, kRadial, kAngle, kReflected, kDiamond };
enum class GradientMethod : uint8_t { kClassic, kPerceptual, kLinearLight };

// Stops beyond this many make a gradient refused.
constexpr int32_t kMaxGradientStops = 32;

struct GradientStop {
  uint16_t location = 0;  // 0 to 4096 along the gradient
  uint8_t midpoint = 50;  // percent of the way from the previous stop to this one
  uint8_t value[3] = {};  // colour stops: RGB; transparency stops: opacity in value[0]
};

struct PsdGradient {
  GradientStyle style = GradientStyle::kLinear;
  GradientMethod method = GradientMethod::kClassic;
  int32_t smoothness = 0;  // 0 to 4096 for 0 to 100 %
  bool dither = false;
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
  // Found by ReadGradient:
  kUnreadable,        // a setting missing, of another type or out of range
  kNoise,             // a noise gradient
  kOtherMethod,       // an interpolation method not known
  kToolColourStop,    // a stop of the foreground or background colour
  kTooManyStops,      // more than kMaxGradientStops
  // Found by CheckGradient: settings not matched against Photoshop's
  // pictures.
  kClassic,           // the classic method
  kSmoothness,        // smoothness below 100 %
  kDither,            // dithered
  kStyle,             // a style but linear
  kAngle,             // an angle that is not vertical
  kScaleOffset,       // scale other than 100 %, or an offset
  kCanvasAligned,     // not aligned with the layer
  kStops,             // a midpoint other than 50 %, or two stops at one place
  kTransparency,      // transparency stops of more than one opacity
};

// Reads the gradient settings of `d` (a "GrFl" effect object or a "GdFl"
// descriptor) into *g.
GradientRefusal ReadGradient(const Descriptor& d, PsdGradient* g);

// The first setting of a gradient read whole that the evaluator does not
// match (kNone: none). What is matched: the perceptual and linear methods
// at smoothness 100 %, undithered, the linear style at a vertical angle
// (90 or -90 degrees, either way round), scale 100 %, no offset, aligned
// with the layer, midpoints 50 %, stops at distinct places, one opacity.
GradientRefusal CheckGradient(const PsdGradient& g);

// The refusal in words for a gradient overlay effect (`overlay`) or a
// gradient fill layer.
const char* GradientRefusalText(GradientRefusal why, bool overlay);

// The box a gradient is laid in, in document pixels: the layer's bounds
// (align with layer) or the canvas.
struct GradientBox {
  double left = 0, top = 0, right = 0, bottom = 0;
};

// The box Photoshop lays a gradient overlay in on a layer of pixels: the
// bounds of the pixels whose transparency is at least half (128). Seen on
// the perceptual document: its layer's rows from 16 to 180 hold pixels, the
// two outer rows at each end at most 31 and 36 (left out), then 160 and
// 180 (kept); within 1 level with that box, 3 with the layer's rectangle.
// Grown one row of a layer at a time: `alpha` the row's transparency over
// columns [x0, x0 + n), y its row (document pixels).
struct OpaqueBox {
  int64_t left = INT64_MAX, top = INT64_MAX, right = INT64_MIN, bottom = INT64_MIN;
  void Grow(const uint8_t* alpha, int64_t x0, uint32_t n, int64_t y);
  // The box (empty: none was at least half opaque).
  GradientBox Box() const;
};

// Where the pixel (x, y) falls along a linear gradient, 0 (first stop) to
// 1 (last stop), clamped at the ends; reverse applied: (1 + d.u / L) / 2,
// with d the pixel minus the centre (the box's centre moved by the
// offset), u the unit vector of the angle (y pointing down) and L half the
// box's extent along u times the scale. Photoshop takes a pixel at its top
// left corner (on the perceptual document 0.03 levels off on average that
// way, 0.4 at the pixel's centre). The other styles are refused
// (CheckGradient).
double GradientPosition(const PsdGradient& g, const GradientBox& box, double x, double y);

// The colour at position t (0 to 1) by the gradient's method (see above);
// the first stop's colour before it, the last's after it.
void GradientColour(const PsdGradient& g, double t, uint8_t rgb[3]);

}  // namespace kelvra
