// The shading arithmetic: the tabled values, the hard-light round trip over
// every pair of levels, and the ratio rule of shaded edits.
#include <cstdlib>

#include "editorlink/shading.h"
#include "tests/support/test_env.h"

namespace kelvra {
namespace {

TEST(ShadeValueTest, TabledPairs) {
  struct Row { int a, b, expected; };
  const Row rows[] = {{100, 50, 64},  {200, 100, 64}, {100, 150, 169},
                      {10, 20, 133},  {0, 1, 128},    {0, 255, 255},
                      {254, 255, 255}, {200, 199, 128}, {255, 0, 0},
                      {1, 0, 0}};
  for (const Row& r : rows) {
    EXPECT_EQ(ShadeValue(r.a, r.b), r.expected) << r.a << ", " << r.b;
  }
}

// Decoding the level as the multiply half (below 128) or the screen half of a
// hard-light blend over `a` gives back `b` to within 2 levels, for all 65536
// pairs. Compared in units of 1/128 level so that no rounding hides an error.
TEST(ShadeValueTest, HardLightDecodingGivesBackTheShadedLevel) {
  int failures = 0;
  for (int a = 0; a <= 255; ++a) {
    for (int b = 0; b <= 255; ++b) {
      const int v = ShadeValue(a, b);
      ASSERT_GE(v, 0);
      ASSERT_LE(v, 255);
      const int decoded128 =
          v < 128 ? a * v : 255 * 128 - (255 - a) * (256 - v);
      if (std::abs(decoded128 - 128 * b) > 2 * 128) {
        if (++failures < 10) ADD_FAILURE() << "a " << a << " b " << b << " v " << v;
      }
    }
  }
  EXPECT_EQ(failures, 0);
}

TEST(ShadeValueTest, NeutralAndSaturatedEnds) {
  for (int a = 0; a <= 255; ++a) {
    EXPECT_EQ(ShadeValue(a, a), 128) << a;
    if (a < 255) EXPECT_EQ(ShadeValue(a, 255), 255) << a;
    if (a > 0) EXPECT_EQ(ShadeValue(a, 0), 0) << a;
  }
}

TEST(TransferEditTest, TabledTriples) {
  struct Row { int t, s, b, expected; };
  const Row rows[] = {{100, 200, 100, 50}, {100, 100, 150, 150}, {7, 9, 8, 6},
                      {10, 3, 2, 6},       {200, 100, 150, 255}, {255, 1, 0, 0},
                      {100, 0, 30, 130},   {250, 0, 10, 255}};
  for (const Row& r : rows) {
    EXPECT_EQ(TransferEdit(r.t, r.s, r.b), r.expected)
        << r.t << ", " << r.s << ", " << r.b;
  }
}

// The rule keeps the ratio of flat to shaded: equal levels follow the edit
// exactly, and every result is a level.
TEST(TransferEditTest, EqualLevelsFollowTheEditAndResultsStayInRange) {
  for (int s = 0; s <= 255; ++s) {
    for (int b = 0; b <= 255; ++b) {
      if (b == s) continue;
      if (s > 0) ASSERT_EQ(TransferEdit(s, s, b), b) << s << ", " << b;
      for (int t : {0, 1, 127, 128, 254, 255}) {
        const int r = TransferEdit(t, s, b);
        ASSERT_GE(r, 0);
        ASSERT_LE(r, 255);
      }
    }
  }
}

}  // namespace
}  // namespace kelvra
