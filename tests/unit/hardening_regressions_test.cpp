// Regressions for what the fuzz targets found, each next to the corpus file
// that first showed it (fuzz/corpus/<target>/crash-*). The sanitizer build
// proves the memory side; these tests pin the behaviour that was chosen.
#include <string>
#include <vector>

#include "hostsim/hostsim.h"
#include "maps/preview.h"
#include "maps/render_map.h"
#include "plugin/dispatcher.h"
#include "plugin/exports.h"
#include "tests/support/test_env.h"

namespace kelvra {
namespace {

using hostsim::SimContext;
using hostsim::SimImage;

constexpr int kSide = 128;

class PreviewSamplingRegression : public testing::KelvraTest {
 protected:
  SimContext ctx;
  void SetUp() override {
    KelvraTest::SetUp();
    ReleasePreviewForTesting();
  }
  void TearDown() override {
    ReleasePreviewForTesting();
    KelvraTest::TearDown();
  }
  std::vector<uint16_t> Tile() const {
    const uint16_t* t = PreviewTileForTesting();
    return t == nullptr ? std::vector<uint16_t>() : std::vector<uint16_t>(t, t + kSide * kSide);
  }
};

// do/crash-preview-fractional-width-samples-past-row: a 16.16 size with a
// large fraction (1.99 pixels on a 1-pixel image) put the last samples of
// every tile row one pixel past the image's row. They are now held at the
// last whole pixel.
TEST_F(PreviewSamplingRegression, FractionalSizesSampleOnlyWholePixels) {
  struct Case {
    int w, h;
    int32_t widthFixed, heightFixed;
  };
  const Case cases[] = {
      {1, 19, 0x1FFFF, 19 << 16},        // the fuzz finding
      {3, 3, 0x3E666, 0x3E666},          // 3.9 x 3.9: last corners at 3
      {100, 1, (100 << 16) | 0xFFFF, 0x1FFFF},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.w) + "x" + std::to_string(c.h));
    // Packed rows, so a sample past a row's end is the next row's first, and
    // past the last row is outside the block (ASan).
    SimImage image(c.w, c.h, 16);
    for (int i = 0; i < c.w * c.h; ++i) image.samples16()[i] = static_cast<uint16_t>(1000 + i);
    image.SetSizeFixed(c.widthFixed, c.heightFixed);
    ctx.SetSlot(5, image.record());
    ASSERT_EQ(KelvraDLL_Do(nullptr, 20, nullptr, 0, nullptr, 0, ctx.table()), 0.0f);
    const std::vector<uint16_t> tile = Tile();
    ASSERT_EQ(tile.size(), static_cast<size_t>(kSide * kSide));
    const int64_t xStep = c.widthFixed >> 7, yStep = c.heightFixed >> 7;
    const int64_t nx = xStep >> 16, ny = yStep >> 16;
    for (int j = 0; j < kSide; ++j) {
      for (int i = 0; i < kSide; ++i) {
        int64_t c0 = (i * xStep) >> 16, r0 = (j * yStep) >> 16;
        if (c0 >= c.w) c0 = c.w - 1;
        if (r0 >= c.h) r0 = c.h - 1;
        int64_t sum = image.samples16()[r0 * c.w + c0];
        for (int64_t y = 0; y < ny; ++y) {
          for (int64_t x = 0; x < nx; ++x) sum += image.samples16()[(r0 + y) * c.w + c0 + x];
        }
        ASSERT_EQ(tile[j * kSide + i], sum / (nx * ny + 1)) << i << "," << j;
      }
    }
  }
}

TEST_F(PreviewSamplingRegression, ImagesThatCannotHoldTheirRowsKeepTheTile) {
  SimImage good(64, 64, 16);
  for (int i = 0; i < 64 * 64; ++i) good.samples16()[i] = static_cast<uint16_t>(i * 7);
  ctx.SetSlot(5, good.record());
  ASSERT_EQ(KelvraDLL_Do(nullptr, 20, nullptr, 0, nullptr, 0, ctx.table()), 0.0f);
  const std::vector<uint16_t> kept = Tile();
  const float keptRatio = PreviewRatioForTesting();

  SimImage negativeWidth(8, 8, 16);
  negativeWidth.SetSizeFields(-8, 8);
  SimImage negativeHeight(8, 8, 16);
  negativeHeight.SetSizeFields(8, -8);
  SimImage narrowStride(8, 8, 16);
  narrowStride.SetRowStride(14);  // 7 samples a row for 8 columns
  SimImage negativeStride(8, 8, 16);
  negativeStride.SetRowStride(-16);
  for (SimImage* s : {&negativeWidth, &negativeHeight, &narrowStride, &negativeStride}) {
    ctx.SetSlot(5, s->record());
    EXPECT_EQ(KelvraDLL_Do(nullptr, 20, nullptr, 0, nullptr, 0, ctx.table()), 0.0f);
    EXPECT_EQ(Tile(), kept);
    EXPECT_EQ(PreviewRatioForTesting(), keptRatio);
  }
}

TEST(BoxReduceRegression, CornersAreHeldInsideTheGivenSamples) {
  // 3 x 2 samples in a block of exactly that size; steps of 3.9 and 2.9
  // pixels / 128 reach column 3 and row 2 without the limits.
  std::vector<uint16_t> field = {1, 2, 3, 4, 5, 6};
  std::vector<uint16_t> out(kSide * kSide);
  BoxReduce128(field.data(), 3, 0x3E666 >> 7, 0x2E666 >> 7, out.data(), 3, 2);
  EXPECT_EQ(out[0], 1);
  EXPECT_EQ(out[kSide - 1], 3);                  // column held at 2
  EXPECT_EQ(out[(kSide - 1) * kSide], 4);        // row held at 1
  EXPECT_EQ(out[kSide * kSide - 1], 6);
}

}  // namespace
}  // namespace kelvra
