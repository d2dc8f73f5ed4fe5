// The preview through Do: command 20's tile for the sources of the edge-case
// list, command 21's saved document against pixels computed here, and the
// refusals (no tile, unsuitable image, short text, no memory).
#include "maps/preview.h"

#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "bitmap/abitmap.h"
#include "hostsim/hostsim.h"
#include "maps/render_map.h"
#include "plugin/dispatcher.h"
#include "plugin/exports.h"
#include "services/services.h"
#include "tests/support/test_env.h"

namespace kelvra {
namespace {

using hostsim::SimContext;
using hostsim::SimImage;
using testing::ReadFileBytes;

constexpr int kSide = 128;
constexpr size_t kDocBytes = 40 + 3 * kSide * kSide;

class PreviewTest : public testing::KelvraTest {
 protected:
  testing::TempDir dir;
  std::string path = dir.File("preview.psd");
  SimContext ctx;

  void SetUp() override {
    KelvraTest::SetUp();
    ReleasePreviewForTesting();
    StrCopyBounded(path.c_str(), gExportPath, kExportPathChars);
  }
  void TearDown() override {
    ReleasePreviewForTesting();  // every test starts without tile and raster
    gExportPath[0] = 0;
    gExportScale = 1.0f;
    KelvraTest::TearDown();
  }
  float Do(double value, const char* text = nullptr) {
    return KelvraDLL_Do(const_cast<char*>(text), value, nullptr, 0, nullptr, 0, ctx.table());
  }
  // A 16-bit source whose sample at (x, y) is f(x, y); rows `stride` bytes.
  std::unique_ptr<SimImage> Source(int w, int h, const std::function<uint16_t(int, int)>& f,
                                   int stride = -1) {
    auto image = std::make_unique<SimImage>(w, h, 16, stride);
    const int rowSamples = image->rowStride() / 2;
    for (int y = 0; y < h; ++y) {
      for (int x = 0; x < w; ++x) image->samples16()[y * rowSamples + x] = f(x, y);
    }
    ctx.SetSlot(5, image->record());
    return image;
  }
  std::vector<uint16_t> Tile() const {
    const uint16_t* t = PreviewTileForTesting();
    return t == nullptr ? std::vector<uint16_t>() : std::vector<uint16_t>(t, t + kSide * kSide);
  }
};

uint16_t Pattern(int x, int y) { return static_cast<uint16_t>((x * 977 + y * 7919 + x * y * 13) & 0xFFFF); }

// The worked sources: box sizes, divisors and ratios as the edge-case list
// gives them, each tile sample computed here from its own box.
TEST_F(PreviewTest, SamplingReducesTheListedSources) {
  struct Case {
    int w, h;
    float ratio;
    std::function<uint16_t(const SimImage&, int, int)> sample;
  };
  auto at = [](const SimImage& s, int x, int y) {
    return static_cast<uint32_t>(
        const_cast<SimImage&>(s).samples16()[y * (s.rowStride() / 2) + x]);
  };
  const Case cases[] = {
      // Steps 2.0: a 2 x 2 box and its corner again, divided by 5.
      {256, 256, 0.5f,
       [&](const SimImage& s, int i, int j) {
         uint32_t c = at(s, 2 * i, 2 * j);
         return static_cast<uint16_t>(
             (c + c + at(s, 2 * i + 1, 2 * j) + at(s, 2 * i, 2 * j + 1) +
              at(s, 2 * i + 1, 2 * j + 1)) / 5);
       }},
      // Steps 0.78125: empty boxes, the sample at floor(i x 0.78125).
      {100, 100, 1.28f,
       [&](const SimImage& s, int i, int j) {
         return static_cast<uint16_t>(at(s, i * 25 / 32, j * 25 / 32));
       }},
      // Boxes 4 wide and 2 high, divisor 9.
      {512, 256, 1.0f / 3.0f,
       [&](const SimImage& s, int i, int j) {
         uint32_t sum = at(s, 4 * i, 2 * j);
         for (int y = 0; y < 2; ++y) {
           for (int x = 0; x < 4; ++x) sum += at(s, 4 * i + x, 2 * j + y);
         }
         return static_cast<uint16_t>(sum / 9);
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.w) + "x" + std::to_string(c.h));
    // Rows with a gap after them: rows are the byte stride apart.
    auto image = Source(c.w, c.h, Pattern, 2 * c.w + 6);
    EXPECT_EQ(Do(20), 0.0f);
    EXPECT_EQ(PreviewRatioForTesting(), c.ratio);
    std::vector<uint16_t> tile = Tile();
    ASSERT_EQ(tile.size(), static_cast<size_t>(kSide * kSide));
    for (int j = 0; j < kSide; ++j) {
      for (int i = 0; i < kSide; ++i) {
        ASSERT_EQ(tile[j * kSide + i], c.sample(*image, i, j)) << i << "," << j;
      }
    }
  }
}

TEST_F(PreviewTest, UnsuitableSourcesKeepThePreviousTile) {
  auto first = Source(256, 256, Pattern);
  ASSERT_EQ(Do(20), 0.0f);
  const std::vector<uint16_t> kept = Tile();
  const float keptRatio = PreviewRatioForTesting();

  SimImage wide(64, 64, 32);
  SimImage noPixels(64, 64, 16);
  noPixels.DropPixelPointer();
  // Both sides below 1/128 of a pixel's 16.16 unit: mean step 0.
  SimImage tiny(1, 1, 16);
  tiny.SetSizeFixed(100, 127);
  SimImage thin(1, 1, 16);  // steps 0 and 1: their mean is still 0
  thin.SetSizeFixed(0, 255);
  // Rows shorter than the width, a negative size. (A fractional size is
  // sampled within its whole pixels instead: see the hardening regressions.)
  SimImage shortRows(300, 200, 16, 2 * 298);
  SimImage negative(64, 64, 16);
  negative.SetSizeFixed(-(64 << 16), 200 << 16);
  SimImage* sources[] = {&wide, &noPixels, &tiny, &thin, &shortRows, &negative, nullptr};
  for (SimImage* s : sources) {
    ctx.SetSlot(5, s == nullptr ? nullptr : s->record());
    EXPECT_EQ(Do(20), 0.0f);
    EXPECT_EQ(Tile(), kept);
    EXPECT_EQ(PreviewRatioForTesting(), keptRatio);
  }
  // Half a pixel on each side still gives a step (256 in 16.16).
  SimImage half(1, 1, 16);
  half.SetSizeFixed(32768, 32768);
  half.samples16()[0] = 4321;
  ctx.SetSlot(5, half.record());
  EXPECT_EQ(Do(20), 0.0f);
  EXPECT_EQ(PreviewRatioForTesting(), 256.0f);
  EXPECT_EQ(Tile(), std::vector<uint16_t>(kSide * kSide, 4321));
}

TEST_F(PreviewTest, SimplePreviewSavesGreyHeights) {
  // Heights from 300 up, so that no first-pixel fix-up applies.
  auto image = Source(256, 256, [](int x, int y) { return static_cast<uint16_t>(300 + x * 200 + y * 37); });
  ASSERT_EQ(Do(20), 0.0f);
  const std::vector<uint16_t> tile = Tile();
  for (const char* text : {"xyzA", "xyzCAAK-EAAAAA", "xyzE"}) {
    SCOPED_TRACE(text);
    std::remove(path.c_str());
    EXPECT_EQ(Do(21, text), 0.0f);
    std::vector<uint8_t> doc = ReadFileBytes(path);
    ASSERT_EQ(doc.size(), kDocBytes);
    EXPECT_EQ(doc[13], 3);   // channels
    EXPECT_EQ(doc[25], 3);   // RGB
    for (int p = 0; p < 3; ++p) {
      for (int i = 0; i < kSide * kSide; ++i) {
        ASSERT_EQ(doc[40 + p * kSide * kSide + i], tile[i] >> 8) << "plane " << p << " " << i;
      }
    }
  }
  const ABitMap& raster = PreviewRasterForTesting();
  EXPECT_EQ(raster.width, kSide);
  EXPECT_EQ(raster.height, kSide);
  EXPECT_EQ(raster.bitsPerPixel, 32);
}

// Format 'B' (even: the option code) with flags 'E' (flip) and channel code
// 40 in mode 'A', strength 'K': the simple preview upside down.
TEST_F(PreviewTest, OptionPreviewFlipsWithFlagsE) {
  auto image = Source(256, 256, [](int x, int y) { return static_cast<uint16_t>(400 + x * 190 + y * 61); });
  ASSERT_EQ(Do(20), 0.0f);
  ASSERT_EQ(Do(21, "xyzA"), 0.0f);
  const std::vector<uint8_t> upright = ReadFileBytes(path);
  ASSERT_EQ(Do(21, "xyzBAEK-EAAAAA"), 0.0f);
  const std::vector<uint8_t> flipped = ReadFileBytes(path);
  ASSERT_EQ(upright.size(), kDocBytes);
  ASSERT_EQ(flipped.size(), kDocBytes);
  for (int p = 0; p < 3; ++p) {
    for (int y = 0; y < kSide; ++y) {
      for (int x = 0; x < kSide; ++x) {
        ASSERT_EQ(flipped[40 + p * kSide * kSide + y * kSide + x],
                  upright[40 + p * kSide * kSide + (kSide - 1 - y) * kSide + x])
            << p << " " << x << "," << y;
      }
    }
  }
}

// A three-channel normal map in mode 'B' (1): the render takes the export
// scale and, as resolution ratio, the reciprocal of the mean step.
TEST_F(PreviewTest, OptionPreviewPassesScaleAndRatioToTheRender) {
  auto image = Source(512, 256, Pattern);
  EXPECT_EQ(Do(-2.5), 0.0f);  // export scale 2.5
  ASSERT_EQ(Do(20), 0.0f);
  const std::vector<uint16_t> tile = Tile();
  ASSERT_EQ(Do(21, "xyzDBAKxFAHAJA"), 0.0f);
  std::vector<uint8_t> doc = ReadFileBytes(path);
  ASSERT_EQ(doc.size(), kDocBytes);
  // The same render made here, at ratio 1/3 (mean step 3 pixels); at another
  // ratio or scale it would differ, so the comparison sees both.
  auto render = [&](float scale, float ratio) {
    std::vector<uint8_t> px(4 * kSide * kSide, 0);
    EXPECT_EQ(RenderMap(nullptr, tile.data(), kSide, kSide, kSide, false, 0.5f, 1, scale, 3, 8,
                        50, 70, 90, false, false, 0, px.data(), ratio),
              0);
    return px;
  };
  const std::vector<uint8_t> expected = render(2.5f, 1.0f / 3.0f);
  ASSERT_NE(expected, render(2.5f, 1.0f));
  ASSERT_NE(expected, render(1.0f, 1.0f / 3.0f));
  for (int p = 0; p < 3; ++p) {
    for (int i = 0; i < kSide * kSide; ++i) {
      ASSERT_EQ(doc[40 + p * kSide * kSide + i], expected[4 * i + 2 - p]) << p << " " << i;
    }
  }
}

TEST_F(PreviewTest, DarkFirstSampleGetsTheFirstPixelFixUp) {
  auto image = Source(100, 100, [](int x, int y) { return static_cast<uint16_t>(x * 600 + y); });
  ASSERT_EQ(Do(20), 0.0f);
  ASSERT_LT(Tile()[0], 256);
  EXPECT_EQ(Do(21, "xyzA"), 0.0f);
  const uint8_t* px = PreviewRasterForTesting().pixels;
  EXPECT_EQ(px[0], 1);
  EXPECT_EQ(px[1], 1);
  EXPECT_EQ(px[2], 1);
  EXPECT_EQ(px[3], 0);
  std::vector<uint8_t> doc = ReadFileBytes(path);
  ASSERT_EQ(doc.size(), kDocBytes);
  EXPECT_EQ(doc[40], 1);
  EXPECT_EQ(doc[40 + 1], Tile()[1] >> 8);
}

TEST_F(PreviewTest, RenderWithoutTileOrReadableTextWritesNothing) {
  EXPECT_EQ(Do(21, "xyzAAAK-EAAAAA"), 0.0f);  // before any command 20
  EXPECT_FALSE(testing::FileExists(path));
  auto image = Source(128, 128, Pattern);
  ASSERT_EQ(Do(20), 0.0f);
  for (const char* text : {static_cast<const char*>(nullptr), "", "xyz", "xyzB", "xyzBAAK-EAAAA"}) {
    EXPECT_EQ(Do(21, text), -1.0f) << (text ? text : "null");
    EXPECT_FALSE(testing::FileExists(path));
  }
  EXPECT_EQ(PreviewRasterForTesting().pixels, nullptr);
}

TEST_F(PreviewTest, RasterWithoutMemoryIsAFailedRender) {
  auto image = Source(128, 128, Pattern);
  ASSERT_EQ(Do(20), 0.0f);
  seams::FailNthAllocation(1);
  EXPECT_EQ(Do(21, "xyzA"), 1.0f);
  EXPECT_FALSE(testing::FileExists(path));
  ASSERT_EQ(seams::NoteBoxes().size(), 1u);
  EXPECT_EQ(seams::NoteBoxes()[0].text, "ABitMap::Allocate");
  // The next render gets its pixels.
  EXPECT_EQ(Do(21, "xyzA"), 0.0f);
  EXPECT_EQ(ReadFileBytes(path).size(), kDocBytes);
}

TEST_F(PreviewTest, TileWithoutMemoryLeavesNoTile) {
  auto image = Source(128, 128, Pattern);
  seams::FailNthAllocation(1);
  EXPECT_EQ(Do(20), 0.0f);
  EXPECT_EQ(PreviewTileForTesting(), nullptr);
  EXPECT_EQ(Do(21, "xyzA"), 0.0f);
  EXPECT_FALSE(testing::FileExists(path));
}

// The tile and the raster are made once and kept between calls.
TEST_F(PreviewTest, TileAndRasterAreKeptAndReused) {
  auto image = Source(256, 256, Pattern);
  ASSERT_EQ(Do(20), 0.0f);
  const uint16_t* tile = PreviewTileForTesting();
  ASSERT_EQ(Do(21, "xyzA"), 0.0f);
  const uint8_t* pixels = PreviewRasterForTesting().pixels;
  const seams::Outstanding after = seams::Resources();
  auto other = Source(512, 256, Pattern);
  ASSERT_EQ(Do(20), 0.0f);
  ASSERT_EQ(Do(21, "xyzA"), 0.0f);
  EXPECT_EQ(PreviewTileForTesting(), tile);
  EXPECT_EQ(PreviewRasterForTesting().pixels, pixels);
  EXPECT_EQ(seams::Resources().plainBlocks, after.plainBlocks);
  EXPECT_EQ(seams::Resources().trackedBlocks, after.trackedBlocks);
}

}  // namespace
}  // namespace kelvra
