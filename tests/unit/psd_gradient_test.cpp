// Gradient settings read from a descriptor, with every refusal by its
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
