// The exported frame: setters' rules, the text settings and the map object's
// lifecycle, called through the export functions as the host calls them.
#include <cmath>
#include <limits>
#include <string>

#include "hostsim/hostsim.h"
#include "plugin/exports.h"
#include "plugin/state.h"
#include "tests/support/test_env.h"

namespace kelvra {
namespace {

using hostsim::SimContext;
using hostsim::SimMapSource;

class FrameTest : public testing::KelvraTest {
 protected:
  void SetUp() override {
    KelvraTest::SetUp();
    hostsim::ClearContractViolations();
  }
  void TearDown() override {
    EXPECT_TRUE(hostsim::ContractViolations().empty())
        << hostsim::ContractViolations().front();
    KelvraTest::TearDown();
  }
  static float Call(float (*fn)(KELVRA_FRAME), double value,
                    const char* text = nullptr, char** ctx = nullptr) {
    return fn(const_cast<char*>(text), value, nullptr, 0, nullptr, 0, ctx);
  }
};

TEST_F(FrameTest, BooleanSettersCompareWithZero) {
  struct Case { double value; bool expected; };
  const Case cases[] = {{0.5, true}, {0.0, false}, {-0.0, false}, {-3, true},
                        {std::numeric_limits<double>::quiet_NaN(), true}};
  for (const Case& c : cases) {
    EXPECT_EQ(Call(KelvraDLL_ExportDisp32_smooth, c.value), 0.0f);
    Call(KelvraDLL_ExportDisp32_rayTraceMode, c.value);
    Call(KelvraDLL_ExportDisp32_smoothUV, c.value);
    EXPECT_EQ(gMapSettings.smooth, c.expected) << c.value;
    EXPECT_EQ(gMapSettings.rayTraceMode, c.expected) << c.value;
    EXPECT_EQ(gMapSettings.smoothUV, c.expected) << c.value;
  }
}

TEST_F(FrameTest, IntegerSettersTruncateTowardZeroAndSaturate) {
  struct Case { double value; int32_t expected; };
  const Case cases[] = {
      {2.9, 2}, {-2.9, -2}, {-3.7, -3}, {1e-9, 0}, {2147483647.0, INT32_MAX},
      {3e9, INT32_MAX}, {-3e9, INT32_MIN}, {-2147483648.0, INT32_MIN},
      {std::numeric_limits<double>::quiet_NaN(), 0},
      {std::numeric_limits<double>::infinity(), INT32_MAX},
      {-std::numeric_limits<double>::infinity(), INT32_MIN}};
  for (const Case& c : cases) {
    EXPECT_EQ(Call(KelvraDLL_ExportDisp32_accuracy, c.value), 0.0f);
    Call(KelvraDLL_ExportDisp32_imageWidth, c.value);
    Call(KelvraDLL_ExportDisp32_imageHeight, c.value);
    Call(KelvraDLL_ExportDisp32_borderSize, c.value);
    Call(KelvraDLL_ExportDisp32_optTileIndex, c.value);
    EXPECT_EQ(gMapSettings.accuracy, c.expected) << c.value;
    EXPECT_EQ(gMapSettings.imageWidth, c.expected) << c.value;
    EXPECT_EQ(gMapSettings.imageHeight, c.expected) << c.value;
    EXPECT_EQ(gMapSettings.borderSize, c.expected) << c.value;
    EXPECT_EQ(gMapSettings.optTileIndex, c.expected) << c.value;
  }
}

TEST_F(FrameTest, TextSettingsAreCutAtTheirBoundsAndNullEmpties) {
  std::string longText(1500, 'p');
  EXPECT_EQ(Call(KelvraDLL_ExportDisp32_filename, 0, longText.c_str()), 0.0f);
  EXPECT_EQ(std::string(gFilename), longText.substr(0, 1000));
  EXPECT_EQ(Call(KelvraDLL_SetEditLinkPath, 0, longText.c_str()), 0.0f);
  EXPECT_EQ(std::string(gEditLinkPath), longText.substr(0, 1024));
  Call(KelvraDLL_ExportDisp32_filename, 0, nullptr);
  Call(KelvraDLL_SetEditLinkPath, 0, nullptr);
  EXPECT_STREQ(gFilename, "");
  EXPECT_STREQ(gEditLinkPath, "");
  Call(KelvraDLL_SetEditLinkPath, 0, "C:\\maps\\x.psd");
  EXPECT_STREQ(gEditLinkPath, "C:\\maps\\x.psd");
}

TEST_F(FrameTest, MakeMapPassesTheNineArgumentsInOrder) {
  SimMapSource source;
  SimContext ctx;
  ctx.SetSlot(4, source.record());
  EXPECT_EQ(Call(KelvraDLL_ExportDisp32_MakeMap, 0, nullptr, ctx.table()), 0.0f);
  ASSERT_EQ(source.makeCalls.size(), 1u);
  EXPECT_EQ(source.makeCalls[0].args, std::vector<int32_t>(8, 0));
  EXPECT_EQ(source.makeCalls[0].pointerArg, nullptr);

  Call(KelvraDLL_ExportDisp32_rayTraceMode, 1);
  Call(KelvraDLL_ExportDisp32_smoothUV, 0.25);
  Call(KelvraDLL_ExportDisp32_imageWidth, 640);
  Call(KelvraDLL_ExportDisp32_imageHeight, 480.7);
  Call(KelvraDLL_ExportDisp32_smooth, -1);
  Call(KelvraDLL_ExportDisp32_accuracy, 7);
  Call(KelvraDLL_ExportDisp32_borderSize, -2);
  Call(KelvraDLL_ExportDisp32_optTileIndex, 9);
  EXPECT_EQ(Call(KelvraDLL_ExportDisp32_MakeMap, 0, nullptr, ctx.table()), 0.0f);
  ASSERT_EQ(source.makeCalls.size(), 2u);
  EXPECT_EQ(source.makeCalls[1].args,
            (std::vector<int32_t>{1, 1, 640, 480, 1, 7, -2, 9}));
  EXPECT_EQ(gCurrentMap, source.made[1]->record());
  // The first map was destroyed before the second was asked for.
  EXPECT_EQ(source.events,
            (std::vector<std::string>{"make", "destroy#0", "make"}));
  Call(KelvraDLL_ExportDisp32_DeleteMap, 0);
}

TEST_F(FrameTest, MakeMapWithoutSourceKeepsTheCurrentMap) {
  SimMapSource source;
  SimContext ctx;
  ctx.SetSlot(4, source.record());
  Call(KelvraDLL_ExportDisp32_MakeMap, 0, nullptr, ctx.table());
  host::HostMapObject* first = gCurrentMap;
  ASSERT_NE(first, nullptr);

  SimContext empty;
  EXPECT_EQ(Call(KelvraDLL_ExportDisp32_MakeMap, 0, nullptr, empty.table()), -1.0f);
  EXPECT_EQ(gCurrentMap, first);
  EXPECT_FALSE(source.made[0]->destroyed);

  source.returnNull = true;
  EXPECT_EQ(Call(KelvraDLL_ExportDisp32_MakeMap, 0, nullptr, ctx.table()), -1.0f);
  EXPECT_EQ(gCurrentMap, nullptr);
  EXPECT_TRUE(source.made[0]->destroyed) << "the old map goes first";
}

TEST_F(FrameTest, DeleteMapDestroysOnce) {
  EXPECT_EQ(Call(KelvraDLL_ExportDisp32_DeleteMap, 0), 0.0f) << "no map";
  SimMapSource source;
  SimContext ctx;
  ctx.SetSlot(4, source.record());
  Call(KelvraDLL_ExportDisp32_MakeMap, 0, nullptr, ctx.table());
  EXPECT_EQ(Call(KelvraDLL_ExportDisp32_DeleteMap, 0), 0.0f);
  EXPECT_EQ(Call(KelvraDLL_ExportDisp32_DeleteMap, 0), 0.0f);
  ASSERT_EQ(source.made.size(), 1u);
  EXPECT_EQ(source.made[0]->destroyCalls.size(), 1u);
  EXPECT_EQ(gCurrentMap, nullptr);
}

}  // namespace
}  // namespace kelvra
