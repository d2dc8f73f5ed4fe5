// Flat documents: header bytes, plane choice by depth, truncation of older
// files, and the failure paths (allocation, open, short write).
#include <cstring>
#include <string>
#include <vector>

#include "bitmap/abitmap.h"
#include "services/services.h"
#include "tests/support/psd_layout.h"
#include "tests/support/test_env.h"

namespace kelvra {
namespace {

using testing::BE16At;
using testing::BE32At;
using testing::ReadFileBytes;

class FlatWriterTest : public testing::KelvraTest {
 protected:
  testing::TempDir dir;
  std::string path = dir.File("flat.psd");

  // A raster whose pixel i, byte b is 16 * i + b (distinct in every byte).
  static std::vector<uint8_t> Counting(int32_t pixels, int32_t bytesPerPixel) {
    std::vector<uint8_t> v(pixels * bytesPerPixel);
    for (size_t i = 0; i < v.size(); ++i) {
      v[i] = static_cast<uint8_t>(16 * (i / bytesPerPixel) + i % bytesPerPixel);
    }
    return v;
  }
};

std::vector<uint8_t> Header(uint16_t channels, uint32_t rows, uint32_t columns,
                            uint16_t depth, uint16_t mode) {
  std::vector<uint8_t> h = {'8', 'B', 'P', 'S', 0, 1, 0, 0, 0, 0, 0, 0};
  auto be16 = [&](uint32_t v) { h.push_back(v >> 8), h.push_back(v & 0xFF); };
  auto be32 = [&](uint32_t v) { be16(v >> 16), be16(v & 0xFFFF); };
  be16(channels), be32(rows), be32(columns), be16(depth), be16(mode);
  be32(0), be32(0), be32(0), be16(0);
  return h;
}

TEST_F(FlatWriterTest, ThirtyTwoBitRasterGivesRgbPlanesAndAlphaOnRequest) {
  std::vector<uint8_t> px = Counting(4, 4);
  ABitMap r;
  r.width = 2;
  r.height = 2;
  r.pixels = px.data();
  for (bool withAlpha : {false, true}) {
    ASSERT_EQ(r.SaveToFile(path.c_str(), withAlpha), 0);
    std::vector<uint8_t> expected = Header(withAlpha ? 4 : 3, 2, 2, 8, 3);
    for (int byte : {2, 1, 0, 3}) {
      if (byte == 3 && !withAlpha) break;
      for (int i = 0; i < 4; ++i) expected.push_back(static_cast<uint8_t>(16 * i + byte));
    }
    EXPECT_EQ(ReadFileBytes(path), expected) << withAlpha;
    EXPECT_EQ(expected.size(), withAlpha ? 56u : 52u);
  }
}

TEST_F(FlatWriterTest, DepthChoosesPlanesSampleBitsAndColourMode) {
  struct Case {
    int32_t bits;
    uint16_t channels, depth, mode;
    std::vector<int> offsets;  // per plane, 16-bit planes as the low byte's
  };
  const Case cases[] = {
      {8, 1, 8, 7, {0}},                // one 8-bit plane: multichannel
      {16, 1, 16, 1, {0}},              // one 16-bit plane: grayscale
      {24, 3, 8, 3, {2, 1, 0}},         // RGB from three bytes
      {40, 5, 8, 7, {4, 3, 2, 1, 0}},   // five planes: multichannel
      {128, 16, 8, 7, {15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0}},
      {4, 0, 8, 7, {}},                 // below a byte: no planes at all
  };
  for (const Case& c : cases) {
    const int32_t bpp = c.bits / 8 > 0 ? c.bits / 8 : 1;
    std::vector<uint8_t> px = Counting(3, bpp);
    ABitMap r;
    r.width = 3;
    r.height = 1;
    r.bitsPerPixel = c.bits;
    r.pixels = px.data();
    ASSERT_EQ(r.SaveToFile(path.c_str(), true), 0) << c.bits;
    std::vector<uint8_t> expected = Header(c.channels, 1, 3, c.depth, c.mode);
    for (int offset : c.offsets) {
      for (int i = 0; i < 3; ++i) {
        if (c.depth == 16) expected.push_back(px[bpp * i + offset + 1]);
        expected.push_back(px[bpp * i + offset]);
      }
    }
    EXPECT_EQ(ReadFileBytes(path), expected) << c.bits;
  }
}

TEST_F(FlatWriterTest, SaveBMapPlanesMixesRastersAndStatesTheColourMode) {
  std::vector<uint8_t> a = Counting(2, 4), b = Counting(2, 4);
  for (uint8_t& v : b) v ^= 0xF0;
  ABitMap ra, rb;
  ra.width = rb.width = 2;
  ra.height = rb.height = 1;
  ra.pixels = a.data();
  rb.pixels = b.data();
  const ABitMap* rasters[4] = {&ra, &rb, &ra, &rb};
  const int32_t offsets[4] = {3, 0, 1, 2};
  struct Case { int32_t planes, bits; uint16_t mode; };
  for (const Case& c : {Case{2, 8, 7}, Case{2, 16, 1}, Case{3, 16, 3}, Case{4, 8, 3}}) {
    const int32_t offs16[4] = {0, 2, 0, 2};
    const int32_t* offs = c.bits == 16 ? offs16 : offsets;
    ASSERT_EQ(ra.SaveBMapPlanes(path.c_str(), c.planes, c.bits, rasters, offs), 0);
    std::vector<uint8_t> f = ReadFileBytes(path);
    EXPECT_EQ(BE16At(f, 12), c.planes);
    EXPECT_EQ(BE16At(f, 22), c.bits);
    EXPECT_EQ(BE16At(f, 24), c.mode) << c.planes << " " << c.bits;
    ASSERT_EQ(f.size(), 40u + c.planes * 2 * (c.bits / 8));
    // Each plane starts where the previous one ended.
    for (int p = 0; p < c.planes; ++p) {
      const std::vector<uint8_t>& src = rasters[p] == &ra ? a : b;
      for (int i = 0; i < 2; ++i) {
        if (c.bits == 8) {
          EXPECT_EQ(f[40 + 2 * p + i], src[4 * i + offs[p]]);
        } else {
          EXPECT_EQ(f[40 + 4 * p + 2 * i], src[4 * i + offs[p] + 1]);
          EXPECT_EQ(f[40 + 4 * p + 2 * i + 1], src[4 * i + offs[p]]);
        }
      }
    }
  }
}

TEST_F(FlatWriterTest, PlanesThatDoNotFitTheDocumentAreRefused) {
  std::vector<uint8_t> a = Counting(4, 4);
  ABitMap doc, small, empty;
  doc.width = 2, doc.height = 2, doc.pixels = a.data();
  small.width = 1, small.height = 2, small.pixels = a.data();
  empty.width = 2, empty.height = 2;  // no pixels
  struct Case { const ABitMap* raster; int32_t offset, bits; };
  const Case cases[] = {{&small, 0, 8}, {&doc, 4, 8}, {&doc, 3, 16},
                        {&doc, -1, 8}, {nullptr, 0, 8}, {&empty, 0, 8}};
  for (const Case& c : cases) {
    const ABitMap* rasters[1] = {c.raster};
    EXPECT_EQ(doc.SaveBMapPlanes(path.c_str(), 1, c.bits, rasters, &c.offset), -1);
  }
  EXPECT_FALSE(testing::FileExists(path));
  ABitMap wide;  // 17 bytes per pixel: more planes than a flat document takes
  wide.width = 1, wide.height = 1, wide.bitsPerPixel = 136, wide.pixels = a.data();
  EXPECT_EQ(wide.SaveToFile(path.c_str(), false), -1);
  EXPECT_FALSE(testing::FileExists(path));
}

TEST_F(FlatWriterTest, EmptyRasterStillStatesItsChannels) {
  ABitMap r;
  r.width = 0;
  r.height = 5;
  ASSERT_EQ(r.SaveToFile(path.c_str(), false), 0);
  EXPECT_EQ(ReadFileBytes(path), Header(3, 5, 0, 8, 3));
}

TEST_F(FlatWriterTest, SavingOverALongerFileCutsItsTail) {
  testing::WriteFileBytes(path, std::vector<uint8_t>(5000, 0xAB));
  std::vector<uint8_t> px = Counting(4, 4);
  ABitMap r;
  r.width = 2, r.height = 2, r.pixels = px.data();
  ASSERT_EQ(r.SaveToFile(path.c_str(), false), 0);
  EXPECT_EQ(ReadFileBytes(path).size(), 52u);
}

TEST_F(FlatWriterTest, FailuresReturnMinusOneAndLeaveNothingBehind) {
  std::vector<uint8_t> px = Counting(4, 4);
  ABitMap r;
  r.width = 2, r.height = 2, r.pixels = px.data();

  seams::FailNthAllocation(1);
  EXPECT_EQ(r.SaveToFile(path.c_str(), false), -1);
  ASSERT_EQ(seams::NoteBoxes().size(), 1u);
  EXPECT_EQ(seams::NoteBoxes()[0].text, "SaveBMapPlanes");
  EXPECT_FALSE(testing::FileExists(path));

  seams::ClearNoteBoxes();
  EXPECT_EQ(r.SaveToFile(dir.File("no/such/folder/x.psd").c_str(), false), -1);
  EXPECT_TRUE(seams::NoteBoxes().empty());

  seams::SetWriteBudget(20);
  EXPECT_EQ(r.SaveToFile(path.c_str(), false), -1);
  ASSERT_EQ(seams::NoteBoxes().size(), 1u);
  EXPECT_EQ(seams::NoteBoxes()[0].caption, kWriteErrorCaption);
  EXPECT_EQ(seams::NoteBoxes()[0].text, kWriteErrorText);
  seams::SetWriteBudget(-1);
  EXPECT_EQ(ReadFileBytes(path).size(), 20u);  // closed and cut at what was written
}

}  // namespace
}  // namespace kelvra
