// Gradients: where each style puts a pixel (centre, corners, past the end,
// reverse, scale, offset), the colour between stops by method (checked
// against Photoshop's pictures), the box of a layer's mostly opaque pixels,
// and the settings read from a descriptor with every refusal by its
// setting.
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

GradientStop At(uint16_t location, uint8_t r, uint8_t g, uint8_t b) {
  GradientStop s;
  s.location = location;
  s.value[0] = r, s.value[1] = g, s.value[2] = b;
  return s;
}

PsdGradient Stops(GradientMethod method, std::vector<GradientStop> colours) {
  PsdGradient g;
  g.method = method;
  for (const GradientStop& s : colours) g.colours[g.colourCount++] = s;
  return g;
}

// Colours Photoshop drew (the shared documents' merged images, their stops
// rounded to levels; within 1 level), and the ends and stops themselves.
TEST(GradientTest, ColourAlongTheStopsByMethod) {
  const PsdGradient linear =
      Stops(GradientMethod::kLinearLight, {At(0, 53, 209, 155), At(1135, 196, 245, 224),
                                           At(1943, 244, 255, 246), At(2640, 255, 255, 255)});
  const PsdGradient perceptual =
      Stops(GradientMethod::kPerceptual, {At(0, 225, 153, 51), At(4096, 42, 145, 217)});
  const PsdGradient inside = Stops(GradientMethod::kPerceptual,
                                   {At(1024, 10, 20, 30), At(3072, 250, 220, 130)});
  struct Case {
    const char* what;
    const PsdGradient& g;
    double t;
    uint8_t r, g_, b;
  } cases[] = {
      {"linear, the first stop", linear, 0, 53, 209, 155},
      {"linear, 2.5 %", linear, 0.025, 71, 211, 160},
      {"linear, 12.5 %", linear, 0.125, 135, 225, 188},
      {"linear, 27.5 %, near the second stop", linear, 0.275, 195, 245, 224},
      {"linear, 47.5 %, near the third", linear, 0.475, 244, 255, 246},
      {"linear, past the last stop", linear, 0.65, 255, 255, 255},
      {"perceptual, 1.9 %", perceptual, 0.018634, 224, 154, 55},
      {"perceptual, 51.6 %", perceptual, 0.515528, 147, 155, 155},
      {"perceptual, 96.3 %", perceptual, 0.962733, 50, 146, 214},
      {"stops inside: before the first", inside, 0, 10, 20, 30},
      {"stops inside: on the first", inside, 0.25, 10, 20, 30},
      {"stops inside: after the last", inside, 1, 250, 220, 130},
  };
  for (const Case& c : cases) {
    uint8_t rgb[3];
    GradientColour(c.g, c.t, rgb);
    EXPECT_NEAR(rgb[0], c.r, 1) << c.what;
    EXPECT_NEAR(rgb[1], c.g_, 1) << c.what;
    EXPECT_NEAR(rgb[2], c.b, 1) << c.what;
  }
}

// The box of the pixels at least half opaque, grown row by row.
TEST(GradientTest, OpaqueBoxOfTheRowsAtLeastHalfOpaque) {
  struct Case {
    const char* what;
    std::vector<std::vector<uint8_t>> rows;  // from (10, 20)
    GradientBox box;
  } cases[] = {
      {"127 is left out, 128 kept", {{127, 128, 127}}, {11, 20, 12, 21}},
      {"rows and columns apart", {{0, 255, 0, 0}, {0, 0, 0, 0}, {0, 0, 0, 200}}, {11, 20, 14, 23}},
      {"nothing half opaque: an empty box", {{127, 1}, {0, 127}}, {0, 0, 0, 0}},
  };
  for (const Case& c : cases) {
    OpaqueBox box;
    for (size_t y = 0; y < c.rows.size(); ++y) {
      box.Grow(c.rows[y].data(), 10, static_cast<uint32_t>(c.rows[y].size()), 20 + y);
    }
    const GradientBox b = box.Box();
    EXPECT_EQ(b.left, c.box.left) << c.what;
    EXPECT_EQ(b.top, c.box.top) << c.what;
    EXPECT_EQ(b.right, c.box.right) << c.what;
    EXPECT_EQ(b.bottom, c.box.bottom) << c.what;
  }
}

std::vector<uint8_t> Stop(int32_t location, int32_t midpoint, std::vector<Item> value) {
  value.push_back({"Lctn", IntegerValue(location)});
  value.push_back({"Mdpn", IntegerValue(midpoint)});
  return ObjectValue("Clrt", value);
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
      {"a method not known", GradientSettings({{"gs99", EnumValue("gs99", "Smth")}}),
       GradientRefusal::kOtherMethod},
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
  EXPECT_STREQ(GradientRefusalText(GradientRefusal::kClassic, true),
               "a gradient overlay with the classic method");
  EXPECT_STREQ(GradientRefusalText(GradientRefusal::kSmoothness, false),
               "a gradient fill layer with smoothness below 100 %");
}

// The settings CheckGradient matches, one changed at a time: each names
// its refusal; the matched ones (either method, the angle either way round,
// reversed) none.
TEST_F(GradientSettingsTest, ChecksEachSettingAgainstWhatIsMatched) {
  auto alphas = [](double first, double last) {
    return ListValue({Stop(0, 50, {{"Opct", UnitValue("#Prc", first)}}),
                      Stop(4096, 50, {{"Opct", UnitValue("#Prc", last)}})});
  };
  auto colours = [](int32_t midpoint, int32_t secondAt) {
    return ListValue(
        {Stop(0, 50, {{"Clr ", RgbValue(0, 0, 0)}, {"Type", EnumValue("Clry", "UsrS")}}),
         Stop(secondAt, midpoint,
              {{"Clr ", RgbValue(9, 9, 9)}, {"Type", EnumValue("Clry", "UsrS")}})});
  };
  auto matched = [&](std::vector<Item> changes, std::vector<Item> gradChanges = {}) {
    gradChanges.insert(gradChanges.begin(), {{"Intr", DoubleValue(4096)}, {"Trns", alphas(80, 80)}});
    changes.insert(changes.begin(), {{"gs99", EnumValue("gs99", "Perc")},
                                     {"Grad", GradientObject(gradChanges)}});
    return GradientSettings(changes);
  };
  struct Case {
    const char* what;
    std::vector<Item> items;
    GradientRefusal why;
  } cases[] = {
      {"perceptual", matched({}), GradientRefusal::kNone},
      {"linear", matched({{"gs99", EnumValue("gs99", "Lnr ")}}), GradientRefusal::kNone},
      {"angle -90, reversed", matched({{"Angl", UnitValue("#Ang", -90)}, {"Rvrs", BoolValue(true)}}),
       GradientRefusal::kNone},
      {"angle 270", matched({{"Angl", UnitValue("#Ang", 270)}}), GradientRefusal::kNone},
      {"classic, named", matched({{"gs99", EnumValue("gs99", "Gcls")}}), GradientRefusal::kClassic},
      {"classic, unnamed", GradientSettings({}), GradientRefusal::kClassic},
      {"smoothness 99.9 %", matched({}, {{"Intr", DoubleValue(4092)}}), GradientRefusal::kSmoothness},
      {"dither", matched({{"Dthr", BoolValue(true)}}), GradientRefusal::kDither},
      {"radial", matched({{"Type", EnumValue("GrdT", "Rdl ")}}), GradientRefusal::kStyle},
      {"angle 0", matched({{"Angl", UnitValue("#Ang", 0)}}), GradientRefusal::kAngle},
      {"angle 89", matched({{"Angl", UnitValue("#Ang", 89)}}), GradientRefusal::kAngle},
      {"scale 101 %", matched({{"Scl ", UnitValue("#Prc", 101)}}), GradientRefusal::kScaleOffset},
      {"an offset", matched({{"Ofst", ObjectValue("Pnt ", {{"Hrzn", UnitValue("#Prc", 0)},
                                                           {"Vrtc", UnitValue("#Prc", 1)}})}}),
       GradientRefusal::kScaleOffset},
      {"aligned with the canvas", matched({{"Algn", BoolValue(false)}}),
       GradientRefusal::kCanvasAligned},
      {"midpoint 49 %", matched({}, {{"Clrs", colours(49, 4096)}}), GradientRefusal::kStops},
      {"two stops at 0", matched({}, {{"Clrs", colours(50, 0)}}), GradientRefusal::kStops},
      {"transparency 80 to 79 %", matched({}, {{"Trns", alphas(80, 79)}}),
       GradientRefusal::kTransparency},
  };
  for (const Case& c : cases) {
    PsdGradient g;
    ASSERT_EQ(Read(c.items, &g), GradientRefusal::kNone) << c.what;
    EXPECT_EQ(CheckGradient(g), c.why) << c.what;
  }
}

}  // namespace
}  // namespace kelvra
