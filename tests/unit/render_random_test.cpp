// The renderer against the literal reference over many random requests:
// every mode, flag, code, depth, channel count and destination, odd and tiny
// sizes, strides wider than the map, and fields of every kind.
#include <algorithm>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "maps/render_rows.h"
#include "services/test_seams.h"
#include "tests/support/test_env.h"
#include "tests/support/vector_set_test.h"
#include "tests/unit/map_reference.h"

namespace kelvra {
namespace {

using testing::KelvraTest;
using testing::LibraryMap;
using testing::MapRequest;
using testing::ReferenceMap;
using testing::TempDir;

class RenderRandomTest : public testing::VectorSetTest {};

std::vector<uint16_t> RandomField(std::mt19937& rng, int32_t rowLength, int32_t height) {
  std::vector<uint16_t> f(static_cast<size_t>(rowLength) * height);
  const int kind = static_cast<int>(rng() % 6);
  const uint32_t base = rng() % 65536;
  for (size_t i = 0; i < f.size(); ++i) {
    const int32_t x = static_cast<int32_t>(i % rowLength), y = static_cast<int32_t>(i / rowLength);
    uint32_t v;
    switch (kind) {
      case 0: v = rng() % 65536; break;                                 // noise
      case 1: v = (base + 311u * x + 977u * y) % 65536; break;          // ramps
      case 2: v = base; break;                                           // flat
      case 3: v = (rng() % 2) ? 65535 : 0; break;                        // extremes
      case 4: v = 32768 + static_cast<int32_t>(rng() % 64) - 32; break;  // near the middle
      default: v = (rng() % 50 == 0) ? rng() % 65536 : base; break;      // spikes
    }
    f[i] = static_cast<uint16_t>(v);
  }
  return f;
}

MapRequest RandomRequest(std::mt19937& rng) {
  auto pick = [&](std::initializer_list<int32_t> values) {
    return *(values.begin() + rng() % values.size());
  };
  MapRequest r;
  // Mostly small, with the reduction's thresholds and a few larger fields.
  switch (rng() % 8) {
    case 0: r.width = pick({1, 2, 3}); r.height = pick({1, 2, 3}); break;
    case 1: r.width = 129 + static_cast<int32_t>(rng() % 80); r.height = 1 + rng() % 6; break;
    case 2: r.width = 1 + rng() % 5; r.height = 129 + static_cast<int32_t>(rng() % 80); break;
    case 3: r.width = pick({128, 130, 257}); r.height = pick({127, 128, 131}); break;
    default: r.width = 1 + static_cast<int32_t>(rng() % 41); r.height = 1 + static_cast<int32_t>(rng() % 13); break;
  }
  r.rowLength = r.width + pick({0, 0, 0, 1, 2, 3, 7});
  r.flipVertical = rng() % 2;
  r.smoothing = rng() % 2;
  r.wrapEdges = rng() % 2;
  r.scaleMode = pick({0, 1, 2, 3, 0, 1, 2, 3, -1, 5});
  r.scale = static_cast<float>(pick({1, 2, 3, 5, 0, -1, 7})) * 0.37f;
  r.strength = static_cast<int32_t>(rng() % 30) - 12;
  r.channelCount = pick({1, 3, 3, 2});
  r.bitsPerSample = pick({8, 16, 32});
  const bool normal = rng() % 2;
  for (int c = 0; c < 3; ++c) {
    r.codes[c] = normal && rng() % 3 != 0 ? 50 + static_cast<int32_t>(rng() % 53)
                                          : static_cast<int32_t>(rng() % 50);
    if (rng() % 20 == 0) r.codes[c] = pick({-7, 130});
  }
  r.midLevel = rng() % 6 == 0 ? static_cast<float>(pick({0, 1, 3, -2})) * 0.25f : 0.5f;
  r.resolutionRatio = static_cast<float>(pick({1, 1, 2, 3, 5})) * 0.5f;
  return r;
}

std::string Describe(const MapRequest& r) {
  std::ostringstream s;
  s << r.width << "x" << r.height << " rowLength " << r.rowLength << " mode " << r.scaleMode
    << " scale " << r.scale << " strength " << r.strength << " " << r.channelCount << "ch "
    << r.bitsPerSample << "bit codes " << r.codes[0] << "," << r.codes[1] << "," << r.codes[2]
    << (r.flipVertical ? " flip" : "") << (r.smoothing ? " smooth" : "")
    << (r.wrapEdges ? " wrap" : "") << " mid " << r.midLevel << " ratio " << r.resolutionRatio;
  return s.str();
}

TEST_P(RenderRandomTest, RendererGivesTheReferenceBytes) {
  TempDir dir;
  std::mt19937 rng(20240611 + static_cast<int>(GetParam()));
  int mismatches = 0;
  for (int i = 0; i < 1500 && mismatches < 5; ++i) {
    MapRequest r = RandomRequest(rng);
    std::vector<uint16_t> field = RandomField(rng, r.rowLength, r.height);
    const bool raster = rng() % 4 == 0;
    int32_t status = -1;
    std::vector<uint8_t> got = LibraryMap(r, field, dir.File("r.tif"), raster, 0x5A, &status);
    EXPECT_EQ(status, 0) << Describe(r);
    if (got != ReferenceMap(r, field, raster, 0x5A)) {
      ++mismatches;
      ADD_FAILURE() << "case " << i << (raster ? " raster " : " file ") << Describe(r);
    }
  }
}

// The two maps that go straight from the kernel into the row: normal maps of
// whole components (codes 50, 60, 70, 80, 90, 100 in any order and channel
// count) and one-channel displaced heights; wide rows so that every lane
// width and the four-lane rest are used.
TEST_P(RenderRandomTest, DirectMapsGiveTheReferenceBytes) {
  TempDir dir;
  std::mt19937 rng(777 + static_cast<int>(GetParam()));
  const int32_t whole[] = {50, 60, 70, 80, 90, 100};
  const int32_t heights[] = {40, 3, 43, 99, 57, 13};
  int mismatches = 0;
  for (int i = 0; i < 400 && mismatches < 5; ++i) {
    MapRequest r = RandomRequest(rng);
    r.width = 1 + static_cast<int32_t>(rng() % 150);
    r.height = 1 + static_cast<int32_t>(rng() % 9);
    r.rowLength = r.width + static_cast<int32_t>(rng() % 3);
    r.midLevel = 0.5f;
    if (rng() % 2) {
      for (int c = 0; c < 3; ++c) r.codes[c] = whole[rng() % 6];
    } else {
      r.channelCount = 1;
      r.codes[0] = heights[rng() % 6];
    }
    std::vector<uint16_t> field = RandomField(rng, r.rowLength, r.height);
    int32_t status = -1;
    std::vector<uint8_t> got = LibraryMap(r, field, dir.File("d.tif"), false, 0, &status);
    EXPECT_EQ(status, 0) << Describe(r);
    if (got != ReferenceMap(r, field)) {
      ++mismatches;
      ADD_FAILURE() << "case " << i << " " << Describe(r);
    }
  }
}

// The maps above read their leading columns from the source rows in place
// and the rest from the window, whose rows then hold only those columns; so
// do the smoothed sums of every map. Every width around the hand-over points
// (multiples of 16, plus one or two), with and without stride padding,
// wrapped and flipped, smoothed or not, against the reference.
TEST_P(RenderRandomTest, RowsReadInPlaceMeetTheWindowExactly) {
  TempDir dir;
  std::mt19937 rng(1601 + static_cast<int>(GetParam()));
  std::vector<int32_t> widths;
  for (int32_t w = 1; w <= 52; ++w) widths.push_back(w);
  for (int32_t w : {127, 128, 129, 130, 145}) widths.push_back(w);
  int mismatches = 0;
  for (int32_t w : widths) {
    for (int variant = 0; variant < 8 && mismatches < 5; ++variant) {
      MapRequest r;
      r.width = w;
      r.height = 4;
      r.smoothing = (variant & 4) != 0;
      r.rowLength = w + (variant & 1) * 3;
      r.wrapEdges = (variant & 2) != 0;
      r.flipVertical = (variant & 1) != 0;
      r.scaleMode = 2;
      const bool normal = (variant & 3) != 3;
      r.channelCount = normal ? 3 : 1;
      r.bitsPerSample = (variant & 3) == 1 ? 32 : ((variant & 3) == 3 ? 16 : 8);
      // A smoothed map of channel values of their own reads the sums too.
      const int32_t codes[3] = {normal ? 50 : 40, variant == 6 ? 22 : 70, 90};
      for (int c = 0; c < 3; ++c) r.codes[c] = codes[c];
      std::vector<uint16_t> field = RandomField(rng, r.rowLength, r.height);
      std::vector<uint8_t> got = LibraryMap(r, field, dir.File("p.tif"));
      if (got != ReferenceMap(r, field)) {
        ++mismatches;
        ADD_FAILURE() << Describe(r);
      }
    }
  }
}

// Where the vector path hands over to the plain one, and the extremes it
// keeps: normal strengths just inside and outside 2^-24 .. 2^24, mid levels
// around 2^26 (16 M must stay within 32 bits), gains of +-2^31, negative
// gains.
TEST_P(RenderRandomTest, VectorPathLimitsGiveTheReferenceBytes) {
  TempDir dir;
  std::mt19937 rng(4242);
  struct Limit {
    int32_t mode;
    float scale, midLevel;
    int32_t codes[3];
  };
  const float low = 1.0f / (1 << 24), high = 1 << 24;
  const Limit limits[] = {
      // Mode 1: R = float(0.1 / scale) straddles the strength bounds.
      {1, 0.1f / (low * 1.001f), 0.5f, {50, 70, 90}}, {1, 0.1f / (low * 0.999f), 0.5f, {50, 70, 90}},
      {1, 0.1f / (high * 0.999f), 0.5f, {60, 80, 100}}, {1, 0.1f / (high * 1.001f), 0.5f, {50, 71, 92}},
      {1, 1e30f, 0.5f, {50, 70, 90}}, {1, 1e-30f, 0.5f, {90, 50, 70}},
      // Mid levels at and past 2^26 / 65536 = 1024.
      {1, 1.0f, 1024.0f, {40, 10, 22}}, {1, 1.0f, 1024.01f, {40, 10, 22}},
      {1, 1.0f, -1024.0f, {41, 42, 30}}, {1, 1.0f, -1024.01f, {41, 42, 30}},
      // Gains: -2^31, a negative one, and a huge positive one.
      {1, -32768.0f, 0.5f, {40, 20, 21}}, {1, -0.75f, 0.5f, {40, 31, 32}},
      {3, 1e6f, 0.5f, {40, 20, 30}},
  };
  int mismatches = 0;
  for (const Limit& l : limits) {
    for (int32_t bits : {8, 16, 32}) {
      for (bool smoothing : {false, true}) {
        MapRequest r;
        r.width = 37;
        r.height = 5;
        r.rowLength = 37;
        r.scaleMode = l.mode;
        r.scale = l.scale;
        r.midLevel = l.midLevel;
        r.bitsPerSample = bits;
        r.channelCount = 3;
        r.smoothing = smoothing;
        for (int c = 0; c < 3; ++c) r.codes[c] = l.codes[c];
        std::vector<uint16_t> field = RandomField(rng, r.rowLength, r.height);
        std::vector<uint8_t> got = LibraryMap(r, field, dir.File("l.tif"));
        if (got != ReferenceMap(r, field)) {
          ++mismatches;
          ADD_FAILURE() << Describe(r);
        }
        r.channelCount = 1;  // the one-channel displaced height
        got = LibraryMap(r, field, dir.File("l.tif"));
        if (got != ReferenceMap(r, field)) {
          ++mismatches;
          ADD_FAILURE() << Describe(r);
        }
        if (mismatches > 5) return;
      }
    }
  }
}

// Rows of 70 to 130 KB: the file is written a few rows at a time, so each
// row's stores past its end land in the next row's place. Batches of two
// rows and a shorter last one, in every packing with a wide row, flipped
// and not; and a write cut short inside the second batch, which must fail
// and leave exactly the bytes written.
TEST_P(RenderRandomTest, RowsWrittenSeveralAtATimeGiveTheReferenceBytes) {
  TempDir dir;
  std::mt19937 rng(9001 + static_cast<int>(GetParam()));
  struct Wide { int32_t width, bits, channels, codes[3]; };
  const Wide cases[] = {{40001, 8, 3, {50, 70, 90}}, {9001, 32, 3, {60, 80, 100}},
                        {65535, 16, 1, {40, 0, 0}}, {30001, 8, 3, {52, 77, 93}}};
  for (const Wide& w : cases) {
    MapRequest r;
    r.width = w.width;
    r.height = 5;
    r.rowLength = w.width + 1;
    r.scaleMode = 2;
    r.bitsPerSample = w.bits;
    r.channelCount = w.channels;
    r.flipVertical = w.bits == 32;
    r.smoothing = w.bits == 32;
    for (int c = 0; c < 3; ++c) r.codes[c] = w.codes[c];
    std::vector<uint16_t> field = RandomField(rng, r.rowLength, r.height);
    const std::vector<uint8_t> full = ReferenceMap(r, field);
    EXPECT_TRUE(LibraryMap(r, field, dir.File("w.tif")) == full) << Describe(r);

    const size_t rowBytes = static_cast<size_t>(w.width) * (w.bits / 8) * w.channels;
    const size_t cut = (full.size() - 5 * rowBytes) + 2 * rowBytes + 1001;
    seams::SetWriteBudget(static_cast<int64_t>(cut));
    int32_t status = 0;
    std::vector<uint8_t> got = LibraryMap(r, field, dir.File("w.tif"), false, 0, &status);
    seams::SetWriteBudget(-1);
    EXPECT_EQ(status, 1) << Describe(r);
    ASSERT_EQ(got.size(), cut) << Describe(r);
    EXPECT_TRUE(std::equal(got.begin(), got.end(), full.begin())) << Describe(r);
    seams::ClearNoteBoxes();
  }
}

INSTANTIATE_TEST_SUITE_P(VectorSets, RenderRandomTest, testing::AllVectorSets(),
                         testing::VectorSetName);

}  // namespace
}  // namespace kelvra
