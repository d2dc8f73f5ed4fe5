// The map renderer: the worked examples, the edge rules, failures and
// resources. Each example is checked on the library's renderer and on the
// literal reference renderer of map_reference.cpp, so the two cannot drift.
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "maps/channel_codes.h"
#include "maps/render_map.h"
#include "maps/tiff_header.h"
#include "services/services.h"
#include "services/test_seams.h"
#include "tests/support/test_env.h"
#include "tests/unit/map_reference.h"

namespace kelvra {
namespace {

using testing::FileExists;
using testing::KelvraTest;
using testing::LibraryMap;
using testing::MapRequest;
using testing::ReadFileBytes;
using testing::ReferenceMap;
using testing::TempDir;
using testing::WriteFileBytes;

MapRequest Request(int32_t w, int32_t h, int32_t bits, int32_t channels,
                   std::initializer_list<int32_t> codes) {
  MapRequest r;
  r.width = w;
  r.height = h;
  r.rowLength = w;
  r.bitsPerSample = bits;
  r.channelCount = channels;
  int i = 0;
  for (int32_t c : codes) r.codes[i++] = c;
  return r;
}

// The samples of a map file, in file order, as numbers.
std::vector<double> Samples(const std::vector<uint8_t>& file, int32_t bits) {
  std::vector<double> out;
  if (file.size() < kTiffHeaderOneChannel) return out;
  const size_t start = file[10 + 12 * 6 + 8];  // StripOffsets, 229 or 241
  const size_t step = static_cast<size_t>(bits / 8);
  for (size_t i = start; i + step <= file.size(); i += step) {
    if (bits == 8) {
      out.push_back(file[i]);
    } else if (bits == 16) {
      out.push_back(file[i] | (file[i + 1] << 8));
    } else {
      float f;
      std::memcpy(&f, &file[i], 4);
      out.push_back(f);
    }
  }
  return out;
}

class RenderMapTest : public KelvraTest {
 protected:
  // Renders to a file with the library and with the reference; both must
  // succeed and agree. Returns the samples.
  std::vector<double> Render(const MapRequest& r, const std::vector<uint16_t>& field) {
    int32_t status = -1;
    std::vector<uint8_t> got = LibraryMap(r, field, dir.File("map.tif"), false, 0, &status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(got, ReferenceMap(r, field)) << "library and reference differ";
    return Samples(got, r.bitsPerSample);
  }
  std::vector<uint8_t> Raster(const MapRequest& r, const std::vector<uint16_t>& field,
                              uint8_t before = 0xA5) {
    int32_t status = -1;
    std::vector<uint8_t> got = LibraryMap(r, field, "", true, before, &status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(got, ReferenceMap(r, field, true, before)) << "library and reference differ";
    return got;
  }
  TempDir dir;
};

using V = std::vector<double>;

TEST_F(RenderMapTest, TwoByTwoFieldInEveryMode) {
  const std::vector<uint16_t> field = {16384, 49152, 32768, 32768};
  MapRequest r = Request(2, 2, 16, 1, {40});
  EXPECT_EQ(Render(r, field), (V{16384, 49152, 32768, 32768}));
  r.strength = 4;
  EXPECT_EQ(Render(r, field), (V{0, 65535, 32768, 32768}));
  r.strength = 0;
  r.scaleMode = 2;  // D = 16384, X = 2, K = 131072
  EXPECT_EQ(Render(r, field), (V{0, 65535, 32768, 32768}));
  r.scaleMode = 1;
  r.scale = 2.0f;
  r.bitsPerSample = 32;  // no clamping in float output
  EXPECT_EQ(Render(r, field), (V{0.0, 1.0, 0.5, 0.5}));
}

TEST_F(RenderMapTest, ThreeByThreeRampNormals) {
  const std::vector<uint16_t> field = {30000, 31000, 32000, 30000, 31000,
                                       32000, 30000, 31000, 32000};
  MapRequest r = Request(3, 3, 8, 3, {50, 70, 90});
  r.scaleMode = 2;  // S = 1000, R = 1000 / 65536
  const V edge = {128, 128, 255};
  const V slope = {37, 128, 181};
  V expected;
  for (int row = 0; row < 3; ++row) {
    for (const V* px : {&slope, &slope, &edge}) expected.insert(expected.end(), px->begin(), px->end());
  }
  EXPECT_EQ(Render(r, field), expected);

  r.scaleMode = 1;  // R = 0.1
  r.bitsPerSample = 16;
  const V edge16 = {32768, 32768, 65535};
  const V slope16 = {27825, 32768, 64786};
  expected.clear();
  for (int row = 0; row < 3; ++row) {
    for (const V* px : {&slope16, &slope16, &edge16}) expected.insert(expected.end(), px->begin(), px->end());
  }
  EXPECT_EQ(Render(r, field), expected);
}

TEST_F(RenderMapTest, FlatFieldInModeTwoStaysAtTheMidLevel) {
  const std::vector<uint16_t> field(12, 32768);
  for (int32_t bits : {16, 32}) {
    for (int32_t strength : {0, 4, -3}) {
      MapRequest r = Request(4, 3, bits, 1, {40});
      r.scaleMode = 2;
      r.strength = strength;
      EXPECT_EQ(Render(r, field), V(12, bits == 32 ? 0.5 : 32768)) << bits << " " << strength;
    }
  }
}

TEST_F(RenderMapTest, ModeZeroIgnoresScaleAndStrengthScalesTheGain) {
  std::vector<uint16_t> field = {1000, 20000, 32768, 40000, 60000, 65535};
  MapRequest r = Request(3, 2, 16, 1, {40});
  r.scale = 5.0f;
  V five = Render(r, field);
  r.scale = 1.0f;
  EXPECT_EQ(five, Render(r, field));
  EXPECT_EQ(five, (V{1000, 20000, 32768, 40000, 60000, 65535}));
  // Mode 1: strength 4 ('O') doubles the gain, like scale 2.
  r.scaleMode = 1;
  r.strength = 4;
  V strong = Render(r, field);
  r.strength = 0;
  r.scale = 2.0f;
  EXPECT_EQ(strong, Render(r, field));
  // Mode 3 applies the strength twice: X x (E x scale) x E. With E = 2 and
  // scale 1.5 that is mode 2 with E = 6 (strength 20).
  r.scaleMode = 3;
  r.strength = 4;
  r.scale = 1.5f;
  V mode3 = Render(r, field);
  r.scaleMode = 2;
  r.strength = 20;
  EXPECT_EQ(mode3, Render(r, field));
}

TEST_F(RenderMapTest, StrengthMinusElevenRemovesTheGain) {
  std::vector<uint16_t> field = {0, 65535, 1234, 40000, 32767, 32769};
  for (int32_t mode : {0, 1}) {
    MapRequest r = Request(3, 2, 16, 1, {40});
    r.scaleMode = mode;
    r.scale = 3.0f;
    r.strength = -11;  // E = 0: K = 0
    EXPECT_EQ(Render(r, field), V(6, 32768)) << mode;
  }
  // In normal mode K is 65536 whatever E is, and R = 1 / resolutionRatio.
  MapRequest r = Request(3, 2, 16, 3, {40, 50, 90});
  r.scaleMode = 1;
  r.strength = -11;
  r.resolutionRatio = 0.5f;
  V got = Render(r, field);
  EXPECT_EQ(got[0], 0);  // the height itself: K = 65536
  NormalComponents n = ComponentsOf(SurfaceNormal(2.0f, -65535 / 65536.0f, 0.0f));
  EXPECT_EQ(got[1], n.x);
  EXPECT_EQ(got[2], n.z);
  // Modes 2 and 3 in normal mode: no division by zero, R falls back to 1.
  for (int32_t mode : {2, 3}) {
    r.scaleMode = mode;
    got = Render(r, field);
    n = ComponentsOf(SurfaceNormal(1.0f, -65535 / 65536.0f, 0.0f));
    EXPECT_EQ(got[1], n.x) << mode;
    EXPECT_EQ(got[2], n.z) << mode;
  }
}

TEST_F(RenderMapTest, LargeFieldsAreMeasuredOnTheReduction) {
  // 129 x 10: xStep 1.0078 (boxes 1 wide), yStep 0.078 (no box): the reduced
  // field never samples column 128, where the largest deviation sits.
  std::vector<uint16_t> field(129 * 10, 32768);
  field[0] = 31768;  // deviation 1000, sampled
  field[128] = 2768;  // deviation 30000 in column 128
  MapRequest r = Request(129, 10, 16, 1, {40});
  r.scaleMode = 2;
  V got = Render(r, field);
  EXPECT_EQ(got[0], 0) << "K from D = 1000 drives -1000 below zero";
  EXPECT_EQ(got[1], 32768);
  // The same deviation at a sampled position (column 3 of row 0) counts:
  // D = 30000, K = 71583.
  field[3] = 2768;
  got = Render(r, field);
  EXPECT_EQ(got[0], 31675);
}

TEST_F(RenderMapTest, SmallFieldStatisticsReadTheStorageDensely) {
  // 128 x 128 is measured directly, `width` samples a row: with a row stride
  // of 130 the padding after row 0 is read as the start of row 1.
  const int32_t w = 128, stride = 130;
  std::vector<uint16_t> field(static_cast<size_t>(stride) * w, 32768);
  field[stride * 1] = 31768;  // deviation 1000 in the map: first of row 1
  field[128] = 2768;          // deviation 30000 in the padding of row 0
  MapRequest r = Request(w, w, 16, 1, {40});
  r.rowLength = stride;
  r.scaleMode = 2;
  V got = Render(r, field);
  EXPECT_EQ(got[w], 31675) << "D = 30000, from the padding";
}

TEST_F(RenderMapTest, GainSaturatesWhenTheDeviationIsOneLevel) {
  // D = 1: X = 32768 and K = 2^31, which saturates to 2^31 - 1.
  const std::vector<uint16_t> field = {32769, 32768};
  MapRequest r = Request(2, 1, 32, 1, {40});
  r.scaleMode = 2;
  EXPECT_EQ(Render(r, field), (V{65535 / 65536.0, 0.5}));
}

TEST_F(RenderMapTest, NegativeFloatSamplesAndSplitBytes) {
  // Mode 1 with gain 1.152587890625 takes height 0 to disp + M = -5000.
  MapRequest r = Request(1, 1, 32, 1, {40});
  r.scaleMode = 1;
  r.scale = 1.152587890625f;
  EXPECT_EQ(Render(r, {0}), (V{-0.0762939453125}));
  // A raster byte for it is the low byte of -5000 >> 8.
  std::vector<uint8_t> px = Raster(r, {0});
  EXPECT_EQ(px[0], 236);
  // Codes 21 and 22 carry the high and the low byte of 0x1234.
  MapRequest split = Request(1, 1, 8, 3, {21, 22, 0});
  EXPECT_EQ(Render(split, {32768 + 0x1234}), (V{0x12, 0x34, 0}));
}

TEST_F(RenderMapTest, SingleRowAndSingleColumnEdges) {
  // Height 1: every window row holds the one row, so Y' stays 32768.
  MapRequest r = Request(3, 1, 16, 3, {50, 70, 90});
  r.scaleMode = 1;
  for (bool wrap : {false, true}) {
    for (bool smoothing : {false, true}) {
      r.wrapEdges = wrap;
      r.smoothing = smoothing;
      V got = Render(r, {1000, 5000, 30000});
      for (int k = 0; k < 3; ++k) EXPECT_EQ(got[3 * k + 1], 32768) << wrap << smoothing;
    }
  }
  // Width 1: both borders are the only sample, so X' stays 32768.
  r = Request(1, 3, 16, 3, {50, 70, 90});
  r.scaleMode = 1;
  for (bool wrap : {false, true}) {
    r.wrapEdges = wrap;
    V got = Render(r, {1000, 5000, 30000});
    for (int j = 0; j < 3; ++j) EXPECT_EQ(got[3 * j], 32768);
    EXPECT_LT(got[3 * 1 + 1], 32768) << "row 1 is higher than row 0";
  }
}

TEST_F(RenderMapTest, WrappedEdgesReachTheOppositeSide) {
  // The right neighbour of the last column is the row's first sample.
  MapRequest r = Request(3, 1, 16, 1, {50});
  r.scaleMode = 1;
  r.wrapEdges = true;
  V got = Render(r, {10000, 20000, 40000});
  const float s = 0.1f;
  EXPECT_EQ(got[2], ComponentsOf(SurfaceNormal(s, 30000 / 65536.0f, 0.0f)).x);
  r.wrapEdges = false;
  EXPECT_EQ(Render(r, {10000, 20000, 40000})[2], 32768);

  // The smoothing kernel at the top row uses the last row with wrapping.
  std::vector<uint16_t> field(9, 32768);
  for (int k = 6; k < 9; ++k) field[k] = 32768 + 1600;
  MapRequest smooth = Request(3, 3, 16, 1, {40});
  smooth.smoothing = true;
  smooth.wrapEdges = true;
  EXPECT_EQ(Render(smooth, field)[0], 32768 + 400);  // weight 4 of 16 above
  smooth.wrapEdges = false;
  EXPECT_EQ(Render(smooth, field)[0], 32768);

  // Two rows: row 0's previous row is row 1 (a true modulo of -1 and -2).
  MapRequest two = Request(1, 2, 16, 1, {70});
  two.scaleMode = 1;
  two.wrapEdges = true;
  got = Render(two, {30000, 20000});
  EXPECT_LT(got[0], 32768);  // previous row (row 1) lower
  EXPECT_GT(got[1], 32768);
}

TEST_F(RenderMapTest, FlipWritesTheLastRowFirstUnderTheSameHeader) {
  std::vector<uint16_t> field;
  for (int j = 0; j < 4; ++j)
    for (int k = 0; k < 3; ++k) field.push_back(static_cast<uint16_t>(8000 * j + 900 * k + 100));
  MapRequest r = Request(3, 4, 8, 3, {40, 50, 70});
  r.scaleMode = 1;
  std::vector<uint8_t> upright = LibraryMap(r, field, dir.File("a.tif"));
  r.flipVertical = true;
  std::vector<uint8_t> flipped = LibraryMap(r, field, dir.File("b.tif"));
  ASSERT_EQ(upright.size(), flipped.size());
  EXPECT_TRUE(std::equal(upright.begin(), upright.begin() + 241, flipped.begin()));
  EXPECT_EQ(flipped, ReferenceMap(r, field));
  // The displacement channel of output row 0 is source row 3.
  V got = Samples(flipped, 8);
  EXPECT_EQ(got[0], (8000 * 3 + 100) >> 8);
  EXPECT_EQ(got[3 * 3 * 3], 100 >> 8);
  r.smoothing = true;
  EXPECT_EQ(LibraryMap(r, field, dir.File("c.tif")), ReferenceMap(r, field));
}

TEST_F(RenderMapTest, RasterPackingAndTheFirstPixelRule) {
  std::vector<uint16_t> field = {100, 30000, 65535, 50000};
  MapRequest r = Request(2, 2, 8, 1, {40});
  std::vector<uint8_t> px = Raster(r, field, 0x77);
  // Grey: b, b, b and the fourth byte untouched; a black first pixel turns
  // into 1, 1, 1, 0.
  EXPECT_EQ(px, (std::vector<uint8_t>{1, 1, 1, 0, 117, 117, 117, 0x77, 255, 255, 255,
                                      0x77, 195, 195, 195, 0x77}));
  // Three channels: channel 0 red (byte 2), channel 2 blue (byte 0).
  MapRequest rgb = Request(2, 2, 16, 3, {40, 10, 0});
  px = Raster(rgb, field, 0x77);
  EXPECT_EQ(px[4], 0);
  EXPECT_EQ(px[5], 128);
  EXPECT_EQ(px[6], 117);
  EXPECT_EQ(px[7], 0x77);
  // The first pixel reads 0, 128, 0: not black, so it keeps its bytes.
  EXPECT_EQ(px[0], 0);
  EXPECT_EQ(px[1], 128);
  EXPECT_EQ(px[2], 0);
  EXPECT_EQ(px[3], 0x77);
}

TEST_F(RenderMapTest, ALongerExistingFileIsCutToTheNewLength) {
  const std::string path = dir.File("old.tif");
  WriteFileBytes(path, std::vector<uint8_t>(5000, 0xCC));
  MapRequest r = Request(4, 2, 8, 1, {40});
  std::vector<uint8_t> got = LibraryMap(r, std::vector<uint16_t>(8, 1000), path);
  EXPECT_EQ(got.size(), 229u + 8u);
  EXPECT_EQ(got, ReferenceMap(r, std::vector<uint16_t>(8, 1000)));
}

TEST_F(RenderMapTest, RequestsWithoutAMapAreRefusedBeforeTouchingAFile) {
  std::vector<uint16_t> field(70000, 100);
  struct Case {
    const char* what;
    int32_t w, h, rowLength, bits;
    bool nullHeights;
  };
  const Case cases[] = {
      {"width 0", 0, 3, 4, 8, false},         {"width -1", -1, 3, 4, 8, false},
      {"height 0", 3, 0, 4, 8, false},        {"height -5", 3, -5, 4, 8, false},
      {"rowLength below width", 4, 3, 3, 8, false},
      {"no heights", 3, 3, 3, 8, true},       {"width 65536", 65536, 1, 65536, 8, false},
      {"height 65536", 1, 65536, 1, 8, false}, {"24 bits", 3, 3, 3, 24, false},
      {"0 bits", 3, 3, 3, 0, false}};
  const std::string fresh = dir.File("fresh.tif");
  const std::string existing = dir.File("existing.tif");
  WriteFileBytes(existing, {1, 2, 3});
  for (const Case& c : cases) {
    for (const std::string& path : {fresh, existing}) {
      int32_t result = RenderMap(path.c_str(), c.nullHeights ? nullptr : field.data(), c.w,
                                 c.h, c.rowLength, false, 0.5f, 0, 1.0f, 1, c.bits, 40, 0, 0,
                                 false, false, 0, nullptr, 1.0f);
      EXPECT_EQ(result, 1) << c.what;
    }
    EXPECT_FALSE(FileExists(fresh)) << c.what;
    EXPECT_EQ(ReadFileBytes(existing), (std::vector<uint8_t>{1, 2, 3})) << c.what;
  }
  // A strip of 4 GB or more does not fit the LONG byte count.
  EXPECT_EQ(RenderMap(fresh.c_str(), field.data(), 65535, 65535, 65535, false, 0.5f, 0,
                      1.0f, 3, 8, 40, 0, 0, false, false, 0, nullptr, 1.0f),
            1);
  EXPECT_FALSE(FileExists(fresh));
  // No path for a file destination.
  EXPECT_EQ(RenderMap(nullptr, field.data(), 2, 2, 2, false, 0.5f, 0, 1.0f, 1, 8, 40, 0, 0,
                      false, false, 0, nullptr, 1.0f),
            1);
  // A raster destination is not limited to the file's sizes, only checked.
  std::vector<uint8_t> raster(4 * 70000);
  EXPECT_EQ(RenderMap(nullptr, field.data(), 70000, 1, 70000, false, 0.5f, 0, 1.0f, 1, 8,
                      40, 0, 0, false, false, 0, raster.data(), 1.0f),
            0);
  EXPECT_EQ(RenderMap(nullptr, field.data(), 0, 1, 70000, false, 0.5f, 0, 1.0f, 1, 8, 40,
                      0, 0, false, false, 0, raster.data(), 1.0f),
            1);
}

TEST_F(RenderMapTest, AFileThatCannotBeOpenedFailsAtOnce) {
  std::vector<uint16_t> field(4, 100);
  const std::string path = dir.File("no/such/folder/map.tif");
  EXPECT_EQ(RenderMap(path.c_str(), field.data(), 2, 2, 2, false, 0.5f, 0, 1.0f, 1, 8, 40,
                      0, 0, false, false, 0, nullptr, 1.0f),
            1);
  EXPECT_TRUE(seams::NoteBoxes().empty());
}

TEST_F(RenderMapTest, ShortWritesFailAndKeepWhatWasWritten) {
  std::vector<uint16_t> field(40 * 5, 40000);
  MapRequest r = Request(40, 5, 16, 3, {40, 50, 90});  // rows of 240 bytes
  const std::string path = dir.File("short.tif");
  struct Case { int64_t budget; size_t length; };
  // Header short; the third row short.
  for (const Case& c : {Case{100, 100}, Case{241 + 2 * 240 + 17, 241 + 2 * 240 + 17}}) {
    WriteFileBytes(path, std::vector<uint8_t>(9000, 0xCC));
    seams::ClearNoteBoxes();
    seams::SetWriteBudget(c.budget);
    int32_t status = 0;
    std::vector<uint8_t> got = LibraryMap(r, field, path, false, 0, &status);
    seams::SetWriteBudget(-1);
    EXPECT_EQ(status, 1) << c.budget;
    EXPECT_EQ(got.size(), c.length) << "cut at what was written";
    std::vector<uint8_t> full = ReferenceMap(r, field);
    EXPECT_TRUE(std::equal(got.begin(), got.end(), full.begin()));
    ASSERT_EQ(seams::NoteBoxes().size(), 1u) << "the write error is shown once";
    EXPECT_EQ(seams::NoteBoxes()[0].caption, kWriteErrorCaption);
  }
}

TEST_F(RenderMapTest, EveryAllocationFailureFailsCleanly) {
  // Normal mode with smoothing on a reduced field uses every buffer: header,
  // row buffer, window, sums and the reduction.
  std::vector<uint16_t> field(200 * 3);
  for (size_t i = 0; i < field.size(); ++i) field[i] = static_cast<uint16_t>(i * 97);
  MapRequest r = Request(200, 3, 8, 3, {50, 70, 90});
  r.scaleMode = 2;
  r.smoothing = true;
  const std::string path = dir.File("alloc.tif");
  const std::vector<uint8_t> full = ReferenceMap(r, field);
  const seams::Outstanding before = seams::Resources();
  int failures = 0;
  for (int n = 1; n < 20; ++n) {
    for (bool raster : {false, true}) {
      seams::FailNthAllocation(n);
      int32_t status = -1;
      std::vector<uint8_t> got = LibraryMap(r, field, path, raster, 0, &status);
      seams::FailNthAllocation(0);
      if (status == 0) {
        EXPECT_EQ(got, raster ? ReferenceMap(r, field, true, 0) : full);
        continue;
      }
      ++failures;
      EXPECT_EQ(status, 1);
      EXPECT_EQ(seams::Resources().openFiles, before.openFiles) << "file closed, failure " << n;
      EXPECT_EQ(seams::Resources().plainBlocks, before.plainBlocks) << "blocks back, failure " << n;
    }
  }
  EXPECT_EQ(failures, 5 + 4) << "five buffers for a file, four for a raster";
  EXPECT_TRUE(seams::NoteBoxes().empty()) << "the plain allocator shows no note";
}

TEST_F(RenderMapTest, BoxReductionCountsTheCornerTwice) {
  // 256 x 256 of x + 256 y: boxes of 2 x 2, divisor 5.
  std::vector<uint16_t> field(256 * 256);
  for (int y = 0; y < 256; ++y)
    for (int x = 0; x < 256; ++x) field[y * 256 + x] = static_cast<uint16_t>(x + 256 * y);
  std::vector<uint16_t> out(128 * 128);
  BoxReduce128(field.data(), 256, 2 << 16, 2 << 16, out.data());
  auto expect = [&](int i, int j) {
    int c = 2 * i, r = 2 * j;
    int64_t s = field[r * 256 + c] + field[r * 256 + c] + field[r * 256 + c + 1] +
                field[(r + 1) * 256 + c] + field[(r + 1) * 256 + c + 1];
    return static_cast<uint16_t>(s / 5);
  };
  for (int j : {0, 1, 77, 127})
    for (int i : {0, 5, 127}) EXPECT_EQ(out[j * 128 + i], expect(i, j)) << i << "," << j;

  // Steps of 0.78125 (100 samples): no box, the sample at floor(i x 0.78125).
  BoxReduce128(field.data(), 256, 51200, 51200, out.data());
  for (int i : {0, 1, 64, 127}) {
    int c = (i * 51200) >> 16;
    EXPECT_EQ(out[3 * 128 + i], field[((3 * 51200) >> 16) * 256 + c]);
  }

  // Boxes 4 wide and 2 high: divisor 9.
  std::vector<uint16_t> flat(512 * 256, 900);
  flat[0] = 900 + 9 * 50;
  BoxReduce128(flat.data(), 512, 4 << 16, 2 << 16, out.data());
  EXPECT_EQ(out[0], 900 + 100);  // the corner counted twice: (2 x 1350 + 7 x 900) / 9
  EXPECT_EQ(out[1], 900);

  // A box of 300 x 300 samples of 65535 sums past 32 bits. With a row
  // stride of 0 every row is the same row, so one row of samples suffices.
  std::vector<uint16_t> row(128 * 300 + 300, 65535);
  BoxReduce128(row.data(), 0, 300 << 16, 300 << 16, out.data());
  EXPECT_EQ(out[0], 65535);
  EXPECT_EQ(out[128 * 128 - 1], 65535);

  // Boxes 4096 wide and 100 high: one box row of 65535s fills its partial
  // sums by 2^26 each time, so they must be emptied along the way.
  std::vector<uint16_t> wideRow(128 * 4096 + 4096, 65535);
  BoxReduce128(wideRow.data(), 0, 4096 << 16, 100 << 16, out.data());
  EXPECT_EQ(out[0], 65535);
  EXPECT_EQ(out[128 * 128 - 1], 65535);
}

TEST_F(RenderMapTest, BoxReductionMatchesPlainSumsForEveryBoxWidth) {
  // Random samples; widths whose boxes are narrower than a vector group,
  // end inside one, or have a fraction in their step, against sums taken
  // one sample at a time.
  uint32_t state = 99;
  auto next = [&] {
    state = state * 1664525u + 1013904223u;
    return static_cast<uint16_t>(state >> 16);
  };
  for (int32_t w : {300, 1000, 2000, 2111, 4160}) {
    const int32_t h = 400;
    std::vector<uint16_t> field(static_cast<size_t>(w) * h);
    for (uint16_t& v : field) v = next();
    const int32_t xStep = w * 512, yStep = h * 512;
    std::vector<uint16_t> out(128 * 128);
    BoxReduce128(field.data(), w, xStep, yStep, out.data(), w, h);
    const int64_t nx = xStep >> 16, ny = yStep >> 16;
    for (int32_t j = 0; j < 128; j += 9) {
      for (int32_t i = 0; i < 128; i += 7) {
        const int64_t c = (static_cast<int64_t>(i) * xStep) >> 16;
        const int64_t r = (static_cast<int64_t>(j) * yStep) >> 16;
        uint64_t sum = field[r * w + c];
        for (int64_t y = 0; y < ny; ++y)
          for (int64_t x = 0; x < nx; ++x) sum += field[(r + y) * w + c + x];
        ASSERT_EQ(out[j * 128 + i], sum / static_cast<uint64_t>(nx * ny + 1))
            << "width " << w << " box " << i << "," << j;
      }
    }
  }
}

}  // namespace
}  // namespace kelvra
