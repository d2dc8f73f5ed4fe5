// Gradients: the colour between stops by method (checked against
// Photoshop's pictures), the box of a layer's mostly opaque pixels, and the
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
using testing::MatchedGradient;
using testing::IntegerValue;
using testing::Item;
using testing::ListValue;
using testing::ObjectValue;
using testing::RgbValue;
using testing::UnitValue;

PsdGradient Along(GradientMethod method, std::vector<GradientStop> colours) {
  PsdGradient g;
  g.method = method;
  for (const GradientStop& s : colours) g.colours[g.colourCount++] = s;
  return g;
}

GradientStop At(uint16_t location, uint8_t r, uint8_t g, uint8_t b) {
  GradientStop s;
  s.location = location;
  s.value[0] = r, s.value[1] = g, s.value[2] = b;
  return s;
}

// Colours Photoshop drew (the shared documents' merged images, their stops
// rounded to levels; within 1 level), and the stops at the ends.
TEST(GradientTest, ColourAlongTheStopsByMethod) {
  const PsdGradient linear =
      Along(GradientMethod::kLinearLight, {At(0, 53, 209, 155), At(1135, 196, 245, 224),
                                           At(1943, 244, 255, 246), At(2640, 255, 255, 255)});
  const PsdGradient perceptual =
      Along(GradientMethod::kPerceptual, {At(1024, 225, 153, 51), At(4096, 42, 145, 217)});
  struct Case {
    const PsdGradient& g;
    double t;
    uint8_t rgb[3];
  } cases[] = {
      {linear, 0.025, {71, 211, 160}},     {linear, 0.125, {135, 225, 188}},
      {linear, 0.275, {195, 245, 224}},    {linear, 0.475, {244, 255, 246}},
      {linear, 0.65, {255, 255, 255}},     {perceptual, 0.25 + 0.75 * 0.018634, {224, 154, 55}},
      {perceptual, 0.25 + 0.75 * 0.515528, {147, 155, 155}},
      {perceptual, 0.25 + 0.75 * 0.962733, {50, 146, 214}},
      {perceptual, 0.1, {225, 153, 51}},  // before the first stop
  };
  for (const Case& c : cases) {
    uint8_t rgb[3];
    GradientColour(c.g, c.t, rgb);
    for (int i = 0; i < 3; ++i) EXPECT_NEAR(rgb[i], c.rgb[i], 1) << c.t;
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
// its refusal; the matched ones none.
TEST_F(GradientSettingsTest, ChecksEachSettingAgainstWhatIsMatched) {
  auto alphas = [](double last) {
    return ListValue({Stop(0, 50, {{"Opct", UnitValue("#Prc", 80)}}),
                      Stop(4096, 50, {{"Opct", UnitValue("#Prc", last)}})});
  };
  auto second = [](int32_t at, int32_t midpoint) {
    return ListValue({Stop(0, 50, {{"Clr ", RgbValue(0, 0, 0)}, {"Type", EnumValue("Clry", "UsrS")}}),
                      Stop(at, midpoint, {{"Clr ", RgbValue(9, 9, 9)}, {"Type", EnumValue("Clry", "UsrS")}})});
  };
  auto matched = [&](std::vector<Item> changes, std::vector<Item> grad = {}) {
    if (!grad.empty()) {
      grad.insert(grad.begin(), {{"Intr", DoubleValue(4096)}, {"Trns", alphas(80)}});
      changes.push_back({"Grad", GradientObject(grad)});
    }
    return MatchedGradient("Perc", 100, 100, changes);
  };
  using R = GradientRefusal;
  struct Case {
    const char* what;
    std::vector<Item> items;
    GradientRefusal why;
  } cases[] = {
      {"perceptual", matched({}), R::kNone},
      {"linear, -90, reversed", matched({{"gs99", EnumValue("gs99", "Lnr ")},
                                         {"Angl", UnitValue("#Ang", -90)}, {"Rvrs", BoolValue(true)}}),
       R::kNone},
      {"classic (no method)", GradientSettings({}), R::kClassic},
      {"smoothness 99.9 %", matched({}, {{"Intr", DoubleValue(4092)}}), R::kSmoothness},
      {"dither", matched({{"Dthr", BoolValue(true)}}), R::kDither},
      {"radial", matched({{"Type", EnumValue("GrdT", "Rdl ")}}), R::kStyle},
      {"angle 89", matched({{"Angl", UnitValue("#Ang", 89)}}), R::kAngle},
      {"scale 101 %", matched({{"Scl ", UnitValue("#Prc", 101)}}), R::kScaleOffset},
      {"aligned with the canvas", matched({{"Algn", BoolValue(false)}}), R::kCanvasAligned},
      {"midpoint 49 %", matched({}, {{"Clrs", second(4096, 49)}}), R::kStops},
      {"two stops at 0", matched({}, {{"Clrs", second(0, 50)}}), R::kStops},
      {"transparency 80 to 79 %", matched({}, {{"Trns", alphas(79)}}), R::kTransparency},
  };
  for (const Case& c : cases) {
    PsdGradient g;
    ASSERT_EQ(Read(c.items, &g), GradientRefusal::kNone) << c.what;
    EXPECT_EQ(CheckGradient(g), c.why) << c.what;
  }
}

}  // namespace
}  // namespace kelvra
