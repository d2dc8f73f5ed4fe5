// The adjustment operations on their own: each kind's block read and applied
// to edge levels (values worked out by hand from the kind's definition), the
// refused settings, unreadable blocks and every cut of each block.
#include "bitmap/psd_adjustments.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <vector>

#include "bitmap/same_bits_math.h"
#include "tests/support/psd_build.h"

namespace kelvra {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes Be16s(std::initializer_list<int> values, Bytes b = {}) {
  for (int v : values) {
    b.push_back(static_cast<uint8_t>(v >> 8));
    b.push_back(static_cast<uint8_t>(v));
  }
  return b;
}
// Levels: the composite record and the red one given, the others identity.
Bytes Levels(std::initializer_list<int> all,
             std::initializer_list<int> red = {0, 255, 0, 255, 100}, int version = 2) {
  Bytes b = Be16s(red, Be16s(all, Be16s({version})));
  for (int r = 2; r < 29; ++r) b = Be16s({0, 255, 0, 255, 100}, b);
  return b;
}
// Curves of points, (input, output) pairs, for the channels of `bits`.
Bytes Curves(uint8_t bits, std::initializer_list<std::vector<int>> curves) {
  Bytes b = {0, 0, 1, 0, 0, 0, bits};
  for (const std::vector<int>& p : curves) {
    b = Be16s({static_cast<int>(p.size() / 2)}, b);
    for (size_t i = 0; i < p.size(); i += 2) b = Be16s({p[i + 1], p[i]}, b);
  }
  return b;
}
Bytes Exposure(float exposure, float offset, float gamma) {
  Bytes b = Be16s({1});
  for (float f : {exposure, offset, gamma}) {
    b = Be16s({std::bit_cast<int>(f) >> 16, std::bit_cast<int>(f)}, b);  // big-endian float
  }
  return b;
}
Bytes Legacy(int brightness, int contrast, uint8_t lab = 0) {
  Bytes b = Be16s({brightness, contrast, 127});
  b.push_back(lab);
  return b;
}
Bytes Settings(bool legacy) {  // "CgEd": version 16, then the descriptor
  using namespace testing;
  Bytes b = DescriptorBytes("null", {{"Brgh", IntegerValue(22)}, {"Cntr", IntegerValue(-7)},
                                     {"useLegacy", BoolValue(legacy)}});
  b.insert(b.begin(), {0, 0, 0, 16});
  return b;
}

// A kind's block (and "CgEd" settings), then either input -> output pairs
// (every channel alike, or red alone) or its refusal ("" when unreadable).
struct Case {
  const char *what, *key;
  Bytes block;
  std::vector<int> pairs;
  const char* refusal = nullptr;
  Bytes settings = {};
  bool red = false;
};

TEST(Adjustments, EachKindReadAndAppliedOnItsEdgeLevels) {
  Bytes map = {1, 0, 1, 0, 0, 0, 1};
  for (int x = 0; x < 256; ++x) map.push_back(static_cast<uint8_t>(x / 2));
  const char* both = "a Levels adjustment that changes both the composite and a channel";
  const char* bothCurves = "a Curves adjustment that changes both the composite and a channel";
  const Case cases[] = {
      {"invert", "nvrt", {}, {0, 255, 1, 254, 127, 128, 128, 127, 254, 1, 255, 0}},
      {"levels 10..245", "levl", Levels({10, 245, 0, 255, 100}),
       {10, 0, 11, 1, 128, 128, 244, 254, 245, 255}},
      {"levels gamma 2", "levl", Levels({0, 255, 0, 255, 200}), {},
       "a Levels adjustment with a gamma other than 1.00"},
      {"levels out reversed", "levl", Levels({0, 255, 255, 0, 100}), {0, 255, 1, 254, 255, 0}},
      {"levels red", "levl", Levels({0, 255, 0, 255, 100}, {0, 127, 0, 255, 100}),
       {127, 255, 128, 255}, nullptr, {}, true},
      {"levels both", "levl", Levels({5, 255, 0, 255, 100}, {0, 127, 0, 255, 100}), {}, both},
      {"levels black above white", "levl", Levels({200, 100, 0, 255, 100}), {}, ""},
      {"levels version 3", "levl", Levels({0, 255, 0, 255, 100}, {0, 255, 0, 255, 100}, 3), {}, ""},
      {"curve preset", "curv", Curves(1, {{0, 0, 38, 17, 212, 231, 231, 250, 255, 255}}),
       {38, 17, 212, 231, 231, 250}},
      {"curve reversed line", "curv", Curves(1, {{0, 255, 255, 0}}), {0, 255, 51, 204, 255, 0}},
      {"curve flat outside", "curv", Curves(1, {{50, 20, 200, 230}}), {0, 20, 125, 125, 255, 230}},
      {"curve red", "curv", Curves(2, {{0, 0, 100, 200, 255, 255}}), {100, 200}, nullptr, {}, true},
      {"curves both", "curv", Curves(3, {{0, 10, 255, 255}, {0, 0, 255, 200}}), {}, bothCurves},
      {"curve inputs not rising", "curv", Curves(1, {{0, 0, 100, 50, 100, 60}}), {}, ""},
      {"curve map", "curv", map, {1, 0, 128, 64, 255, 127}},
      {"posterize 2", "post", Be16s({2, 0}), {127, 0, 128, 255}},
      {"posterize 8", "post", Be16s({8, 0}), {31, 0, 32, 36, 63, 36, 64, 72, 224, 255, 255, 255}},
      {"posterize 1", "post", Be16s({1, 0}), {}, ""},
      {"threshold 128", "thrs", Be16s({128, 0}), {127, 0, 128, 255}},
      {"exposure none", "expA", Exposure(0, 0, 1), {0, 0, 1, 1, 128, 128, 255, 255}},
      {"exposure +1 stop", "expA", Exposure(1, 0, 1), {0, 0, 186, 255}},
      {"exposure offset -0.5", "expA", Exposure(0, -0.5f, 1), {186, 0, 255, 186}},
      {"exposure gamma 2.2", "expA", Exposure(0, 0, 2.2f), {51, 123, 255, 255}},
      {"exposure gamma 0", "expA", Exposure(0, 0, 0), {}, ""},
      {"legacy 19, -18", "brit", Legacy(19, -18), {0, 42, 128, 147, 255, 251}},
      {"legacy contrast -100", "brit", Legacy(-28, -100), {0, 100, 255, 100}},
      {"legacy contrast 10", "brit", Legacy(0, 10), {},
       "a legacy Brightness/Contrast adjustment with contrast above 0"},
      {"legacy Lab", "brit", Legacy(0, 0, 1), {},
       "a Brightness/Contrast adjustment on lightness only"},
      {"current form", "brit", Legacy(0, 0), {},
       "a Brightness/Contrast adjustment layer in its current (not legacy) form", Settings(false)},
      {"legacy in the settings", "brit", Legacy(0, 0), {0, 31, 255, 255}, nullptr, Settings(true)},
      {"settings unreadable", "brit", Legacy(0, 0), {}, "", Bytes{0, 0, 0, 16, 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const AdjustmentOp* op = FindAdjustmentOp(reinterpret_cast<const uint8_t*>(c.key));
    ASSERT_NE(op, nullptr);
    PsdSource source = PsdSource::Memory(c.block.data(), c.block.size());
    PsdSource settings = PsdSource::Memory(c.settings.data(), c.settings.size());
    SourceWindow window(&source), settingsWindow(&settings);
    PsdAdjustment a;
    const char* why = nullptr;
    bool ok = op->read(SourceCursor(&window, 0, c.block.size()), &a, &why);
    if (ok && !c.settings.empty()) {
      ok = ReadAdjustmentSettings(SourceCursor(&settingsWindow, 0, c.settings.size()), &a, &why);
    }
    if (c.refusal != nullptr) {
      EXPECT_FALSE(ok);
      EXPECT_STREQ(why == nullptr ? "" : why, c.refusal);
      continue;
    }
    ASSERT_TRUE(ok) << (why == nullptr ? "" : why);
    EXPECT_EQ(a.kind, op->kind);
    // Threshold in gray documents only, Exposure in colour ones only.
    const int refused = a.kind == AdjustmentKind::kThreshold ? 3
                        : a.kind == AdjustmentKind::kExposure ? 1 : 0;
    EXPECT_EQ(a.refusedChannels, refused);
    EXPECT_EQ(a.channelsRefusal != nullptr, refused != 0);
    // The pairs' inputs along a row, each channel's shifted one sample on.
    const uint32_t n = static_cast<uint32_t>(c.pairs.size() / 2);
    Bytes in[3], out[3], rest(n, 0xA5);
    for (int ch = 0; ch < 3; ++ch) {
      for (uint32_t x = 0; x < n; ++x) in[ch].push_back(uint8_t(c.pairs[(x + ch) % n * 2]));
      out[ch].resize(n);
    }
    const uint8_t* const ip[3] = {in[0].data(), in[1].data(), in[2].data()};
    uint8_t* const op3[3] = {out[0].data(), out[1].data(), out[2].data()};
    ApplyAdjustment(a, ip, op3, 3, n);
    for (int ch = 0; ch < 3; ++ch) {
      for (uint32_t x = 0; x < n; ++x) {
        EXPECT_EQ(out[ch][x], c.red && ch > 0 ? in[ch][x] : c.pairs[(x + ch) % n * 2 + 1])
            << "channel " << ch << " input " << int{in[ch][x]};
      }
    }
    // In place on one channel (gray): the other rows untouched.
    uint8_t* const io[3] = {in[0].data(), rest.data(), rest.data()};
    ApplyAdjustment(a, io, io, 1, n);
    EXPECT_EQ(in[0], out[0]);
    EXPECT_EQ(rest, Bytes(n, 0xA5));
    // Every cut of a block that reads is refused, never read past.
    for (size_t cut = 0; cut < c.block.size(); ++cut) {
      EXPECT_FALSE(op->read(SourceCursor(&window, 0, cut), &a, &why)) << "cut at " << cut;
    }
  }
}

// The powers the tables are built from: exact where the result is a short
// binary fraction, within 1e-13 of the C library elsewhere.
TEST(SameBitsMath, PowersAndCubeRoots) {
  const struct { double x, y, exact; } cases[] = {
      {2, 3, 8}, {0.25, 0.5, 0.5}, {0.5, 2.2, -1}, {0.999, 1 / 2.4, -1},
      {1e-9, 2.4, -1}, {0.3, 0, 1}, {0, 2.2, 0}, {1, 7.5, 1}};
  for (const auto& c : cases) {
    const double p = SameBitsPow(c.x, c.y);
    if (c.exact >= 0) EXPECT_EQ(p, c.exact) << c.x << "^" << c.y;
    EXPECT_NEAR(p, std::pow(c.x, c.y), 1e-13 * std::pow(c.x, c.y)) << c.x << "^" << c.y;
  }
  EXPECT_NEAR(SameBitsCbrt(-27), -3, 1e-14);
}

}  // namespace
}  // namespace kelvra
