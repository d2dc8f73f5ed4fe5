// Channel codes, the surface normal and its 16-bit components.
#include <cmath>
#include <limits>

#include "maps/channel_codes.h"
#include "tests/support/test_env.h"

namespace kelvra {
namespace {

using testing::KelvraTest;

class ChannelCodesTest : public KelvraTest {};

constexpr NormalComponents kFlat = {32768, 32768, 65535};

struct CodeCase {
  int32_t code;
  int32_t disp;
  bool isFloat;
  int32_t expected;
};

TEST_F(ChannelCodesTest, DisplacementCodesClampAndSplitBytes) {
  const int32_t m = 32768;
  const CodeCase cases[] = {
      // Beyond the range: full value saturates, hi stops at 65280, lo22 at 65535.
      {20, 70000, false, 65535}, {21, 70000, false, 65280}, {22, 70000, false, 65535},
      {41, 70000, false, 65280}, {42, 70000, false, 0},
      // 0x1234 carried as two bytes.
      {21, 0x1234, false, 0x1200}, {22, 0x1234, false, 0x3400},
      // disp + M = 65535: above 65280 lo() gives 0 while lo22() keeps the byte.
      {41, 65535 - m, false, 65280}, {42, 65535 - m, false, 0},
      {21, 65535, false, 65280}, {22, 65535, false, 65280},
      {22, 65281, false, 256}, {22, INT32_MAX, false, 65535}, {22, INT32_MIN, false, 0},
      // Negative displacement: the positive part is empty, the negative part is not.
      {20, -100, false, 0}, {21, -100, false, 0}, {22, -100, false, 0},
      {30, -100, false, 100}, {31, -100, false, 0}, {32, -100, false, 25600},
      {30, 100, false, 0}, {30, -70000, false, 65535}, {31, -70000, false, 65280},
      // Zero and mid level.
      {0, 5000, false, 0}, {1, 5000, false, 0}, {2, 5000, true, 0},
      {10, 5000, false, m}, {11, -5000, true, m}, {12, 0, false, m},
      // The displaced height under every other code, clamped unless float.
      {40, 1000, false, 33768}, {3, 1000, false, 33768}, {99, 1000, false, 33768},
      {40, 40000, false, 65535}, {40, -40000, false, 0}, {53, -40000, false, 0},
      {40, 40000, true, 72768}, {40, -37768, true, -5000}, {23, -37768, true, -5000},
      // Float output keeps the lower bounds and the byte clamps.
      {20, 70000, true, 70000}, {20, -5, true, 0}, {30, -70000, true, 70000},
      {21, 70000, true, 65280}, {22, 70000, true, 65535}, {42, 70000, true, 0},
  };
  for (const CodeCase& c : cases) {
    EXPECT_EQ(ChannelValue(c.code, c.disp, m, kFlat, c.isFloat), c.expected)
        << "code " << c.code << " disp " << c.disp << (c.isFloat ? " float" : "");
  }
}

TEST_F(ChannelCodesTest, NormalCodesSelectComponentInversionAndForm) {
  const NormalComponents n = {0x1234, 0xABCD, 0xFF80};
  struct Case { int32_t code, expected; };
  const Case cases[] = {
      {50, 0x1234}, {51, 0x1200}, {52, 0x3400},
      {60, 0x1234 ^ 0xFFFF}, {61, 0xED00}, {62, 0xCB00},
      {70, 0xABCD}, {71, 0xAB00}, {72, 0xCD00},
      {80, 0x5432}, {81, 0x5400}, {82, 0x3200},
      {90, 0xFF80}, {91, 0xFF00}, {92, 0},  // above 65280: lo() is 0
      {100, 0x007F}, {101, 0}, {102, 0x7F00},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ChannelValue(c.code, 123, 32768, n, false), c.expected) << c.code;
    EXPECT_EQ(ChannelValue(c.code, 123, 32768, n, true), c.expected) << c.code;
  }
  // A flat pixel.
  EXPECT_EQ(ChannelValue(100, 0, 32768, kFlat, false), 0);
  EXPECT_EQ(ChannelValue(60, 0, 32768, kFlat, false), 32767);
  EXPECT_EQ(ChannelValue(91, 0, 32768, kFlat, false), 65280);
  EXPECT_EQ(ChannelValue(92, 0, 32768, kFlat, false), 0);
}

TEST_F(ChannelCodesTest, RoundingIsNearestEvenAndDefinedEverywhere) {
  struct Case { double x; int32_t expected; };
  const double inf = std::numeric_limits<double>::infinity();
  const Case cases[] = {
      {2.5, 2}, {3.5, 4}, {-2.5, -2}, {-3.5, -4}, {0.49999, 0}, {-0.5, 0},
      {2147483646.5, 2147483646}, {2147483647.4, INT32_MAX}, {3e9, INT32_MAX},
      {-2147483648.4, INT32_MIN}, {-3e9, INT32_MIN}, {inf, INT32_MAX},
      {-inf, INT32_MIN}, {std::numeric_limits<double>::quiet_NaN(), 0}};
  for (const Case& c : cases) EXPECT_EQ(RoundToInt32(c.x), c.expected) << c.x;
}

TEST_F(ChannelCodesTest, FlatAndZeroStrengthNormals) {
  for (float s : {1.0f, 0.1f, 1e-3f, 1000.0f}) {
    SurfaceNormalFixed n = SurfaceNormal(s, 0.0f, 0.0f);
    EXPECT_EQ(n.nx, 0);
    EXPECT_EQ(n.ny, 0);
    EXPECT_EQ(n.nz, -65536) << s;
    NormalComponents c = ComponentsOf(n);
    EXPECT_EQ(c.x, 32768);
    EXPECT_EQ(c.y, 32768);
    EXPECT_EQ(c.z, 65535);
  }
  SurfaceNormalFixed zero = SurfaceNormal(0.0f, 0.25f, -0.5f);
  EXPECT_EQ(zero.nx, 0);
  EXPECT_EQ(zero.ny, 0);
  EXPECT_EQ(zero.nz, 0);
  NormalComponents c = ComponentsOf(zero);
  EXPECT_EQ(c.x, 32768);
  EXPECT_EQ(c.y, 32768);
  EXPECT_EQ(c.z, 0);
}

TEST_F(ChannelCodesTest, NormalOfTheThreeColumnRamp) {
  // A row 30000, 31000, 32000: gx = -1000 at the first two columns.
  const float fx = static_cast<float>(-1000 * (1.0 / 65536));
  // Mode 2: R = 1000 / 65536 tilts by 45 degrees.
  NormalComponents c = ComponentsOf(SurfaceNormal(1000.0f / 65536, fx, 0.0f));
  EXPECT_EQ(c.x >> 8, 37);
  EXPECT_EQ(c.y >> 8, 128);
  EXPECT_EQ(c.z >> 8, 181);
  // Mode 1 with scale 1: R = 0.1.
  c = ComponentsOf(SurfaceNormal(0.1f, fx, 0.0f));
  EXPECT_EQ(c.x, 27825);
  EXPECT_EQ(c.y, 32768);
  EXPECT_EQ(c.z, 64786);
  // Rising to the right gives X' below the middle; a pixel lower than the one
  // in the previous row (positive gy) gives Y' above it.
  c = ComponentsOf(SurfaceNormal(0.1f, -0.01f, 0.02f));
  EXPECT_LT(c.x, 32768);
  EXPECT_GT(c.y, 32768);
}

TEST_F(ChannelCodesTest, SquaresAreSummedInDoubleAndRoundedOnce) {
  // For these inputs a float sum of the squares rounds q differently and
  // changes the result, so they tell the two readings apart.
  const float s = 0x1.5eda0ep-7f, fx = -0x1.91c4p-2f, fy = -0x1.741ap-1f;
  float a = s * fx, b = s * fy, z = -(s * s);
  auto normalFrom = [&](float q) {
    float k = 1.0f / std::sqrt(q);
    return SurfaceNormalFixed{RoundToInt32(k * a * 65536.0),
                              RoundToInt32(k * b * 65536.0),
                              RoundToInt32(k * z * 65536.0)};
  };
  volatile float floatSum = a * a + b * b;
  SurfaceNormalFixed viaFloat = normalFrom(floatSum + z * z);
  double d = static_cast<double>(a * a) + static_cast<double>(b * b) +
             static_cast<double>(z * z);
  SurfaceNormalFixed viaDouble = normalFrom(static_cast<float>(d));
  ASSERT_FALSE(viaFloat.nx == viaDouble.nx && viaFloat.nz == viaDouble.nz);
  SurfaceNormalFixed got = SurfaceNormal(s, fx, fy);
  EXPECT_EQ(got.nx, viaDouble.nx);
  EXPECT_EQ(got.ny, viaDouble.ny);
  EXPECT_EQ(got.nz, viaDouble.nz);
}

TEST_F(ChannelCodesTest, NonFiniteStrengthGivesTheZeroNormal) {
  const float inf = std::numeric_limits<float>::infinity();
  const float nan = std::numeric_limits<float>::quiet_NaN();
  for (float s : {inf, nan}) {
    for (float fx : {0.0f, 0.5f}) {
      NormalComponents c = ComponentsOf(SurfaceNormal(s, fx, 0.0f));
      EXPECT_EQ(c.x, 32768) << s << " " << fx;
      EXPECT_EQ(c.y, 32768);
      EXPECT_EQ(c.z, 0);
    }
  }
  // Saturated fixed-point input still gives bounded components.
  NormalComponents c = ComponentsOf({INT32_MAX, INT32_MIN, INT32_MIN});
  EXPECT_EQ(c.x, 65535);
  EXPECT_EQ(c.y, 0);
  EXPECT_EQ(c.z, 65535);
}

}  // namespace
}  // namespace kelvra
