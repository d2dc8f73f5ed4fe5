// The adjustment operations on their own, against a plain reference of
// each kind's definition, on the edge levels.
#include "bitmap/psd_adjustments.h"

#include <gtest/gtest.h>

#include <vector>

namespace kelvra {
namespace {

const int kLevels[] = {0, 1, 127, 128, 254, 255};

// Runs `a` over one row holding every edge level in each channel (the
// channels shifted against each other) and checks every sample against
// `reference` of its own input.
template <typename Reference>
void ExpectRow(const PsdAdjustment& a, int32_t channels, Reference reference) {
  const uint32_t n = sizeof(kLevels) / sizeof(kLevels[0]);
  std::vector<uint8_t> in[3], out[3];
  for (int32_t c = 0; c < 3; ++c) {
    for (uint32_t x = 0; x < n; ++x) in[c].push_back(static_cast<uint8_t>(kLevels[(x + c) % n]));
    out[c].assign(n, 0xA5);
  }
  const uint8_t* const ip[3] = {in[0].data(), in[1].data(), in[2].data()};
  uint8_t* const op[3] = {out[0].data(), out[1].data(), out[2].data()};
  ApplyAdjustment(a, ip, op, channels, n);
  for (int32_t c = 0; c < 3; ++c) {
    for (uint32_t x = 0; x < n; ++x) {
      const int expected = c < channels ? reference(in[c][x]) : 0xA5;  // untouched past `channels`
      EXPECT_EQ(out[c][x], expected) << "channel " << c << " input " << int{in[c][x]};
    }
  }
}

TEST(Adjustments, InvertIsTheNegativeOfEachSample) {
  PsdAdjustment a;
  a.kind = AdjustmentKind::kInvert;
  for (int32_t channels : {1, 3}) {
    SCOPED_TRACE(channels);
    ExpectRow(a, channels, [](int v) { return 255 - v; });
  }
  // In place: in and out the same rows.
  uint8_t row[6] = {0, 1, 127, 128, 254, 255};
  uint8_t* const rows[3] = {row, row, row};
  ApplyAdjustment(a, rows, rows, 1, 6);
  EXPECT_EQ(std::vector<uint8_t>(row, row + 6), (std::vector<uint8_t>{255, 254, 128, 127, 1, 0}));
}

}  // namespace
}  // namespace kelvra
