// The shading arithmetic: the tabled values, the hard-light round trip over
// every pair of levels, and the ratio rule of shaded edits.
#include <cstdlib>

#include "editorlink/shading.h"
#include "hostsim/hostsim.h"
#include "services/test_seams.h"
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

class ShadingLayerTest : public testing::KelvraTest {};

TEST_F(ShadingLayerTest, ColourAndGreyLayersFromTwoImages) {
  hostsim::SimImage flat(3, 1, 32), shaded(3, 1, 32);
  // B, G, R, A as little-endian words 0xAARRGGBB; the fourth bytes differ
  // and must not matter.
  const uint32_t f[3] = {0xFF64C80Au, 0x00000000u, 0x7F010203u};
  const uint32_t s[3] = {0x0096C814u, 0xFFFFFFFFu, 0x80010203u};
  for (int i = 0; i < 3; ++i) {
    flat.pixels32()[i] = f[i];
    shaded.pixels32()[i] = s[i];
  }
  ABitMap colour;
  ASSERT_TRUE(BuildShadingLayer(flat.record(), shaded.record(), false, &colour));
  EXPECT_EQ(colour.width, 3);
  EXPECT_EQ(colour.height, 1);
  EXPECT_EQ(colour.bitsPerPixel, 32);
  const uint32_t* c = reinterpret_cast<const uint32_t*>(colour.pixels);
  // R: (100, 150) -> 169; G: (200, 200) -> 128; B: (10, 20) -> 133.
  EXPECT_EQ(c[0], 169u << 16 | 128u << 8 | 133u);
  EXPECT_EQ(c[1], 0x00FFFFFFu);  // from 0 to 255 in every channel
  EXPECT_EQ(c[2], 0x00808080u);  // equal colours
  colour.Release();

  ABitMap grey;
  ASSERT_TRUE(BuildShadingLayer(flat.record(), shaded.record(), true, &grey));
  const uint32_t* g = reinterpret_cast<const uint32_t*>(grey.pixels);
  // Means (10 + 200 + 100) / 3 = 103 and (20 + 200 + 150) / 3 = 123.
  EXPECT_EQ(g[0], 0x010101u * static_cast<uint32_t>(ShadeValue(103, 123)));
  EXPECT_EQ(g[1], 0x00FFFFFFu);
  EXPECT_EQ(g[2], 0x00808080u);
  grey.Release();
}

TEST_F(ShadingLayerTest, MismatchedImagesYieldNoneAndAllocateNothing) {
  hostsim::SimImage a(4, 3, 32), b(4, 3, 32), wide(5, 3, 32), tall(4, 4, 32),
      deep16(4, 3, 16), gappy(4, 3, 32, 20), bare(4, 3, 32);
  bare.DropPixelPointer();
  struct Row {
    const char* what;
    hostsim::SimImage* flat;
    hostsim::SimImage* shaded;
  };
  const Row rows[] = {{"no flat image", nullptr, &b},   {"no shaded image", &a, nullptr},
                      {"widths differ", &a, &wide},     {"heights differ", &tall, &b},
                      {"flat 16 bits deep", &deep16, &b}, {"shaded 16 bits deep", &a, &deep16},
                      {"rows with gaps", &gappy, &b},   {"no pixels", &a, &bare}};
  for (const Row& r : rows) {
    const seams::Outstanding before = seams::Resources();
    ABitMap out;
    EXPECT_FALSE(BuildShadingLayer(r.flat ? r.flat->record() : nullptr,
                                   r.shaded ? r.shaded->record() : nullptr, false, &out))
        << r.what;
    EXPECT_EQ(out.pixels, nullptr) << r.what;
    EXPECT_EQ(seams::Resources().trackedBlocks, before.trackedBlocks) << r.what;
  }
  EXPECT_TRUE(seams::NoteBoxes().empty());
  seams::FailAllAllocations(true);
  ABitMap out;
  EXPECT_FALSE(BuildShadingLayer(a.record(), b.record(), true, &out));
  seams::FailAllAllocations(false);
  ASSERT_EQ(seams::NoteBoxes().size(), 1u);
  EXPECT_EQ(seams::NoteBoxes()[0].text, "ABitMap::Allocate");
}

}  // namespace
}  // namespace kelvra
