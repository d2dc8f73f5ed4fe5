// Gradients: the colour at and beyond the end stops by method (the shared
// documents' suite checks the colours between them), the box of a layer's
// mostly opaque pixels, the settings read and every refusal by its setting.
#include <memory>
#include <vector>

#include <gtest/gtest.h>

#include "bitmap/psd_gradient.h"
#include "tests/support/psd_build.h"

namespace kelvra {
namespace {

using namespace testing;
using Bytes = std::vector<uint8_t>;

TEST(GradientTest, ColourOfTheEndStopsAtAndBeyondThem) {
  PsdGradient g;
  g.colourCount = 2;
  g.colours[0] = {1024, 50, {225, 153, 51}}, g.colours[1] = {2048, 50, {42, 145, 217}};
  for (GradientMethod method : {GradientMethod::kPerceptual, GradientMethod::kLinearLight}) {
    g.method = method;
    for (double t : {0.0, 0.1, 0.25, 0.5, 0.9, 1.0}) {
      uint8_t rgb[3];
      GradientColour(g, t, rgb);
      const uint8_t* want = g.colours[t <= 0.25 ? 0 : 1].value;
      EXPECT_EQ(Bytes(rgb, rgb + 3), Bytes(want, want + 3)) << int(method) << " at " << t;
    }
  }
}

// Grown from rows at (10, 20): 127 left out, 128 kept; none: empty.
TEST(GradientTest, OpaqueBoxOfThePixelsAtLeastHalfOpaque) {
  const uint8_t rows[3][4] = {{0, 127, 128, 0}, {0, 0, 0, 0}, {200, 0, 0, 0}};
  OpaqueBox box, none;
  for (int y = 0; y < 3; ++y) box.Grow(rows[y], 10, 4, 20 + y);
  none.Grow(rows[0], 10, 2, 20);
  const GradientBox b = box.Box(), n = none.Box();
  EXPECT_EQ(std::vector<double>({b.left, b.top, b.right, b.bottom}),
            std::vector<double>({10, 20, 13, 23}));
  EXPECT_EQ(n.right - n.left, 0);
}

Bytes Stop(int32_t location, int32_t midpoint, std::vector<Item> value) {
  value.push_back({"Lctn", IntegerValue(location)});
  value.push_back({"Mdpn", IntegerValue(midpoint)});
  return ObjectValue("Clrt", value);
}
Bytes Colour(int32_t location, int32_t midpoint = 50, const char* type = "UsrS") {
  return Stop(location, midpoint, {{"Clr ", RgbValue(9, 9, 9)}, {"Type", EnumValue("Clry", type)}});
}
std::vector<Item> Grad(std::vector<Item> changes) {
  return GradientSettings({{"Grad", GradientObject(changes)}});
}

class GradientSettingsTest : public ::testing::Test {
 protected:
  GradientRefusal Read(const std::vector<Item>& items, PsdGradient* g) {
    bytes = DescriptorBytes("GrFl", items);
    source = PsdSource::Memory(bytes.data(), bytes.size());
    window = std::make_unique<SourceWindow>(&source);
    Descriptor d;
    EXPECT_TRUE(Descriptor::Read(SourceCursor(window.get(), 0, bytes.size()), &d));
    return ReadGradient(d, g);
  }
  Bytes bytes;
  PsdSource source;
  std::unique_ptr<SourceWindow> window;
};

TEST_F(GradientSettingsTest, ReadsEverySetting) {
  PsdGradient g;
  const Bytes offset = ObjectValue("Pnt ", {{"Hrzn", UnitValue("#Prc", 12)},
                                           {"Vrtc", UnitValue("#Prc", -7)}});
  const std::vector<Item> items = GradientSettings(
      {{"Type", EnumValue("GrdT", "Dmnd")}, {"Angl", UnitValue("#Ang", -30)},
       {"Rvrs", BoolValue(true)}, {"Algn", BoolValue(false)}, {"Scl ", UnitValue("#Prc", 150)},
       {"Ofst", offset}});
  ASSERT_EQ(Read(items, &g), GradientRefusal::kNone);
  EXPECT_EQ(g.style, GradientStyle::kDiamond);
  EXPECT_EQ(std::vector<double>({g.angle, g.scale, g.offsetX, g.offsetY, 1.0 * g.reverse,
                                 1.0 * g.alignWithLayer}),
            std::vector<double>({-30, 150, 12, -7, 1, 0}));
  ASSERT_EQ(std::pair(g.colourCount, g.alphaCount), std::pair(2, 2));
  EXPECT_EQ(std::vector<int>({g.colours[1].location, g.colours[1].value[0], g.colours[1].value[2],
                              g.alphas[0].value[0], g.alphas[1].value[0]}),
            std::vector<int>({4096, 200, 40, 255, 0}));
}

// Each setting changed on its own: what reading refuses, then what is not
// matched (CheckGradient); the matched ones refuse nothing.
TEST_F(GradientSettingsTest, RefusesEachSettingByName) {
  std::vector<Bytes> many;
  for (int32_t i = 0; i <= kMaxGradientStops; ++i) many.push_back(Colour(i * 100));
  auto alphas = [](double last) {
    return ListValue({Stop(0, 50, {{"Opct", UnitValue("#Prc", 80)}}),
                      Stop(4096, 50, {{"Opct", UnitValue("#Prc", last)}})});
  };
  auto matched = [&](std::vector<Item> changes, std::vector<Item> grad = {}) {
    if (!grad.empty()) {
      grad.insert(grad.begin(), {{"Intr", DoubleValue(4096)}, {"Trns", alphas(80)}});
      changes.push_back({"Grad", GradientObject(grad)});
    }
    return MatchedGradient("Perc", 100, 100, changes);
  };
  using R = GradientRefusal;
  const struct {
    const char* what;
    std::vector<Item> items;
    GradientRefusal why;
  } cases[] = {
      {"a method not known", GradientSettings({{"gs99", EnumValue("gs99", "Smth")}}),
       R::kOtherMethod},
      {"noise", Grad({{"GrdF", EnumValue("GrdF", "ClNs")}}), R::kNoise},
      {"a foreground colour stop", Grad({{"Clrs", ListValue({Colour(0, 50, "FrgC")})}}),
       R::kToolColourStop},
      {"33 stops", Grad({{"Clrs", ListValue(many)}}), R::kTooManyStops},
      {"a stop past 4096", Grad({{"Clrs", ListValue({Colour(4097)})}}), R::kUnreadable},
      {"stops out of order", Grad({{"Clrs", ListValue({Colour(900), Colour(100)})}}),
       R::kUnreadable},
      {"no colour stops", Grad({{"Clrs", ListValue({})}}), R::kUnreadable},
      {"a style not known", GradientSettings({{"Type", EnumValue("GrdT", "Sprl")}}),
       R::kUnreadable},
      {"scale 0", GradientSettings({{"Scl ", UnitValue("#Prc", 0)}}), R::kUnreadable},
      {"no gradient", {{"Angl", UnitValue("#Ang", 90)}}, R::kUnreadable},
      {"perceptual", matched({}), R::kNone},
      {"linear, -90, reversed",
       matched({{"gs99", EnumValue("gs99", "Lnr ")}, {"Angl", UnitValue("#Ang", -90)},
                {"Rvrs", BoolValue(true)}}),
       R::kNone},
      {"classic (no method)", GradientSettings({}), R::kClassic},
      {"smoothness 99.9 %", matched({}, {{"Intr", DoubleValue(4092)}}), R::kSmoothness},
      {"dither", matched({{"Dthr", BoolValue(true)}}), R::kDither},
      {"radial", matched({{"Type", EnumValue("GrdT", "Rdl ")}}), R::kStyle},
      {"angle 89", matched({{"Angl", UnitValue("#Ang", 89)}}), R::kAngle},
      {"scale 101 %", matched({{"Scl ", UnitValue("#Prc", 101)}}), R::kScaleOffset},
      {"aligned with the canvas", matched({{"Algn", BoolValue(false)}}), R::kCanvasAligned},
      {"midpoint 49 %", matched({}, {{"Clrs", ListValue({Colour(0), Colour(4096, 49)})}}),
       R::kStops},
      {"two stops at 0", matched({}, {{"Clrs", ListValue({Colour(0), Colour(0)})}}), R::kStops},
      {"transparency 80 to 79 %", matched({}, {{"Trns", alphas(79)}}), R::kTransparency},
  };
  for (const auto& c : cases) {
    PsdGradient g;
    const GradientRefusal read = Read(c.items, &g);
    EXPECT_EQ(read != R::kNone ? read : CheckGradient(g), c.why) << c.what;
  }
}

}  // namespace
}  // namespace kelvra
