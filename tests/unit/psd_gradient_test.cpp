// Gradients: where each style puts a pixel (centre, corners, past the end,
// reverse, scale, offset), the colour and opacity between stops (stops at
// the ends and inside, midpoints 13, 50 and 87, a hard edge), and the
// settings read from a descriptor with every refusal by its setting.
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "bitmap/psd_gradient.h"
#include "tests/support/psd_build.h"

namespace kelvra {
namespace {

using testing::BoolValue;
using testing::DescriptorBytes;
using testing::DoubleValue;
using testing::EnumValue;
using testing::GradientObject;
using testing::GradientSettings;
using testing::IntegerValue;
using testing::Item;
using testing::ListValue;
using testing::ObjectValue;
using testing::RgbValue;
using testing::UnitValue;

PsdGradient Styled(GradientStyle style, double angle, bool reverse = false, double scale = 100,
                   double offsetX = 0) {
  PsdGradient g;
  g.style = style, g.angle = angle, g.reverse = reverse, g.scale = scale, g.offsetX = offsetX;
  return g;
}

TEST(GradientTest, PositionOfEachStyleOnItsEdgeValues) {
  const GradientBox square{0, 0, 100, 100}, wide{0, 0, 200, 100}, empty{5, 5, 5, 5};
  const GradientStyle lin = GradientStyle::kLinear, rdl = GradientStyle::kRadial,
                      ang = GradientStyle::kAngle, rfl = GradientStyle::kReflected,
                      dmd = GradientStyle::kDiamond;
  struct Case {
    const char* what;
    PsdGradient g;
    GradientBox box;
    double x, y, t;
  } cases[] = {
      {"linear 90: centre", Styled(lin, 90), square, 50, 50, 0.5},
      {"linear 90: top edge is the end", Styled(lin, 90), square, 50, 0, 1},
      {"linear 90: bottom edge is the start", Styled(lin, 90), square, 50, 100, 0},
      {"linear 90: past the end", Styled(lin, 90), square, 50, -30, 1},
      {"linear 90: before the start", Styled(lin, 90), square, 50, 140, 0},
      {"linear 90: a top corner", Styled(lin, 90), square, 0, 0, 1},
      {"linear 90 reversed: top edge", Styled(lin, 90, true), square, 50, 0, 0},
      {"linear 0: left edge", Styled(lin, 0), wide, 0, 50, 0},
      {"linear 0: three quarters", Styled(lin, 0), wide, 150, 50, 0.75},
      {"linear 45: far corner", Styled(lin, 45), square, 100, 0, 1},
      {"linear 45: near corner", Styled(lin, 45), square, 0, 100, 0},
      {"linear 180: left edge is the end", Styled(lin, 180), square, 0, 50, 1},
      {"linear at scale 50: a quarter in is the end", Styled(lin, 0, false, 50), square, 75, 50, 1},
      {"linear offset 10 %: the new centre", Styled(lin, 0, false, 100, 10), square, 60, 50, 0.5},
      {"linear in an empty box: its centre", Styled(lin, 0), empty, 5, 5, 0},
      {"radial: centre", Styled(rdl, 90), square, 50, 50, 0},
      {"radial: half way", Styled(rdl, 0), square, 75, 50, 0.5},
      {"radial: edge", Styled(rdl, 0), square, 100, 50, 1},
      {"radial: corner, past the end", Styled(rdl, 0), square, 100, 100, 1},
      {"radial reversed: centre", Styled(rdl, 0, true), square, 50, 50, 1},
      {"radial in a wide box at 0: along the long side", Styled(rdl, 0), wide, 150, 50, 0.5},
      {"angle 0: along the angle", Styled(ang, 0), square, 90, 50, 0},
      {"angle 0: up is a quarter turn", Styled(ang, 0), square, 50, 10, 0.25},
      {"angle 0: behind is half a turn", Styled(ang, 0), square, 10, 50, 0.5},
      {"angle 0: down is three quarters", Styled(ang, 0), square, 50, 90, 0.75},
      {"angle 90: up is the start", Styled(ang, 90), square, 50, 10, 0},
      {"angle 90 reversed: right", Styled(ang, 90, true), square, 90, 50, 0.25},
      {"reflected: centre", Styled(rfl, 0), square, 50, 50, 0},
      {"reflected: both edges", Styled(rfl, 0), square, 0, 50, 1},
      {"reflected: a quarter either side", Styled(rfl, 0), square, 25, 50, 0.5},
      {"reflected: across the angle does not count", Styled(rfl, 0), square, 75, 0, 0.5},
      {"diamond: centre", Styled(dmd, 0), square, 50, 50, 0},
      {"diamond: on its axis", Styled(dmd, 0), square, 75, 50, 0.5},
      {"diamond: on its diagonal", Styled(dmd, 0), square, 62.5, 62.5, 0.5},
      {"diamond: corner, past the end", Styled(dmd, 0), square, 100, 100, 1},
      {"diamond reversed: centre", Styled(dmd, 0, true), square, 50, 50, 1},
  };
  for (const Case& c : cases) {
    EXPECT_NEAR(GradientPosition(c.g, c.box, c.x, c.y), c.t, 1e-9) << c.what;
  }
}

GradientStop Stop(uint16_t location, uint8_t midpoint, uint8_t r, uint8_t g, uint8_t b) {
  GradientStop s;
  s.location = location, s.midpoint = midpoint;
  s.value[0] = r, s.value[1] = g, s.value[2] = b;
  return s;
}

PsdGradient Stops(std::vector<GradientStop> colours, std::vector<GradientStop> alphas = {}) {
  PsdGradient g;
  for (const GradientStop& s : colours) g.colours[g.colourCount++] = s;
  for (const GradientStop& s : alphas) g.alphas[g.alphaCount++] = s;
  return g;
}

TEST(GradientTest, ColourBetweenStopsWithTheirMidpoints) {
  auto ends = [](uint8_t midpoint) {
    return Stops({Stop(0, 50, 0, 0, 0), Stop(4096, midpoint, 200, 100, 40)},
                 {Stop(0, 50, 200, 0, 0), Stop(4096, midpoint, 0, 0, 0)});
  };
  const PsdGradient inside = Stops({Stop(1024, 50, 10, 20, 30), Stop(3072, 50, 250, 220, 130)});
  const PsdGradient edge = Stops({Stop(0, 50, 0, 0, 0), Stop(2048, 50, 0, 0, 0),
                                  Stop(2048, 50, 255, 255, 255), Stop(4096, 50, 255, 255, 255)});
  struct Case {
    const char* what;
    PsdGradient g;
    double t;
    uint8_t r, g_, b, opacity;
  } cases[] = {
      {"first stop at 0 %", ends(50), 0, 0, 0, 0, 200},
      {"last stop at 100 %", ends(50), 1, 200, 100, 40, 0},
      {"midpoint 50: the middle mixes evenly", ends(50), 0.5, 100, 50, 20, 100},
      {"midpoint 50: a quarter", ends(50), 0.25, 50, 25, 10, 150},
      {"midpoint 13: even mix at 13 %", ends(13), 0.13, 100, 50, 20, 100},
      {"midpoint 13: three quarters of the mix half way past it", ends(13), 0.565, 150, 75, 30,
       50},
      {"midpoint 87: even mix at 87 %", ends(87), 0.87, 100, 50, 20, 100},
      {"midpoint 87: a quarter of the mix half way to it", ends(87), 0.435, 50, 25, 10, 150},
      {"stops inside: before the first", inside, 0, 10, 20, 30, 255},
      {"stops inside: after the last", inside, 1, 250, 220, 130, 255},
      {"stops inside: between them", inside, 0.5, 130, 120, 80, 255},
      {"two stops at one place: just before", edge, 0.49, 0, 0, 0, 255},
      {"two stops at one place: just after", edge, 0.51, 255, 255, 255, 255},
  };
  for (const Case& c : cases) {
    uint8_t rgb[3], opacity = 0;
    GradientColour(c.g, c.t, rgb, &opacity);
    EXPECT_EQ(rgb[0], c.r) << c.what;
    EXPECT_EQ(rgb[1], c.g_) << c.what;
    EXPECT_EQ(rgb[2], c.b) << c.what;
    EXPECT_EQ(opacity, c.opacity) << c.what;
  }
}

class GradientSettingsTest : public ::testing::Test {
 protected:
  std::vector<uint8_t> bytes;
  PsdSource source;
  std::unique_ptr<SourceWindow> window;
  GradientRefusal Read(const std::vector<Item>& items, PsdGradient* g) {
    bytes = DescriptorBytes("GrFl", items);
    source = PsdSource::Memory(bytes.data(), bytes.size());
    window = std::make_unique<SourceWindow>(&source);
    Descriptor d;
    if (!Descriptor::Read(SourceCursor(window.get(), 0, bytes.size()), &d)) {
      ADD_FAILURE() << "the test's descriptor does not read";
    }
    return ReadGradient(d, g);
  }
};

TEST_F(GradientSettingsTest, ReadsEverySetting) {
  PsdGradient g;
  ASSERT_EQ(Read(GradientSettings({{"Type", EnumValue("GrdT", "Dmnd")},
                                   {"Angl", UnitValue("#Ang", -30)},
                                   {"Rvrs", BoolValue(true)},
                                   {"Algn", BoolValue(false)},
                                   {"Scl ", UnitValue("#Prc", 150)},
                                   {"Ofst", ObjectValue("Pnt ", {{"Hrzn", UnitValue("#Prc", 12)},
                                                                 {"Vrtc", UnitValue("#Prc", -7)}})}}),
                 &g),
            GradientRefusal::kNone);
  EXPECT_EQ(g.style, GradientStyle::kDiamond);
  EXPECT_EQ(g.angle, -30);
  EXPECT_TRUE(g.reverse);
  EXPECT_FALSE(g.alignWithLayer);
  EXPECT_EQ(g.scale, 150);
  EXPECT_EQ(g.offsetX, 12);
  EXPECT_EQ(g.offsetY, -7);
  ASSERT_EQ(g.colourCount, 2);
  EXPECT_EQ(g.colours[1].location, 4096);
  EXPECT_EQ(g.colours[1].value[0], 200);
  EXPECT_EQ(g.colours[1].value[2], 40);
  ASSERT_EQ(g.alphaCount, 2);
  EXPECT_EQ(g.alphas[0].value[0], 255);
  EXPECT_EQ(g.alphas[1].value[0], 0);
}

TEST_F(GradientSettingsTest, RefusesEachSettingItCannotMatch) {
  auto stop = [](int32_t location, const char* type) {
    return ObjectValue("Clrt", {{"Clr ", RgbValue(1, 2, 3)},
                                {"Type", EnumValue("Clry", type)},
                                {"Lctn", IntegerValue(location)},
                                {"Mdpn", IntegerValue(50)}});
  };
  std::vector<std::vector<uint8_t>> many;
  for (int32_t i = 0; i <= kMaxGradientStops; ++i) many.push_back(stop(i * 100, "UsrS"));
  struct Case {
    const char* what;
    std::vector<Item> items;
    GradientRefusal why;
  } cases[] = {
      {"perceptual method", GradientSettings({{"gs99", EnumValue("gs99", "Perc")}}),
       GradientRefusal::kPerceptual},
      {"linear method", GradientSettings({{"gs99", EnumValue("gs99", "Lnr ")}}),
       GradientRefusal::kLinearLight},
      {"a method not known", GradientSettings({{"gs99", EnumValue("gs99", "Smth")}}),
       GradientRefusal::kOtherMethod},
      {"smoothness 100 %",
       GradientSettings({{"Grad", GradientObject({{"Intr", DoubleValue(4096)}})}}),
       GradientRefusal::kSmoothness},
      {"dither", GradientSettings({{"Dthr", BoolValue(true)}}), GradientRefusal::kDither},
      {"noise", GradientSettings({{"Grad", GradientObject({{"GrdF", EnumValue("GrdF", "ClNs")}})}}),
       GradientRefusal::kNoise},
      {"a foreground colour stop",
       GradientSettings({{"Grad", GradientObject({{"Clrs", ListValue({stop(0, "FrgC")})}})}}),
       GradientRefusal::kToolColourStop},
      {"33 stops", GradientSettings({{"Grad", GradientObject({{"Clrs", ListValue(many)}})}}),
       GradientRefusal::kTooManyStops},
      {"a stop past 4096",
       GradientSettings({{"Grad", GradientObject({{"Clrs", ListValue({stop(4097, "UsrS")})}})}}),
       GradientRefusal::kUnreadable},
      {"stops out of order",
       GradientSettings({{"Grad", GradientObject({{"Clrs", ListValue({stop(900, "UsrS"),
                                                                       stop(100, "UsrS")})}})}}),
       GradientRefusal::kUnreadable},
      {"no colour stops", GradientSettings({{"Grad", GradientObject({{"Clrs", ListValue({})}})}}),
       GradientRefusal::kUnreadable},
      {"a style not known", GradientSettings({{"Type", EnumValue("GrdT", "Sprl")}}),
       GradientRefusal::kUnreadable},
      {"scale 0", GradientSettings({{"Scl ", UnitValue("#Prc", 0)}}),
       GradientRefusal::kUnreadable},
      {"no gradient", {{"Angl", UnitValue("#Ang", 90)}}, GradientRefusal::kUnreadable},
  };
  for (const Case& c : cases) {
    PsdGradient g;
    EXPECT_EQ(Read(c.items, &g), c.why) << c.what;
  }
  // Every refusal reads as the setting, for an overlay and for a fill.
  EXPECT_STREQ(GradientRefusalText(GradientRefusal::kPerceptual, true),
               "a gradient overlay with the perceptual method");
  EXPECT_STREQ(GradientRefusalText(GradientRefusal::kSmoothness, false),
               "a gradient fill layer with smoothness above 0 %");
}

}  // namespace
}  // namespace kelvra
