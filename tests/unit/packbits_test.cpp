// PackBits rows: literal, run, header 0, header -128, packets past the row's
// end, rows whose bytes end early, bytes after a complete row, and the
// window of samples written.
#include "bitmap/packbits.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/psd_build.h"

namespace kelvra {
namespace {

struct Case {
  const char* what;
  std::vector<uint8_t> src;
  uint32_t rowSamples, first, count;
  bool complete;
  std::vector<uint8_t> written;  // the window's samples (when complete)
};

std::vector<uint8_t> Repeat(uint8_t v, size_t n) { return std::vector<uint8_t>(n, v); }

std::vector<uint8_t> Join(std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

TEST(PackBits, RowsDecodeByTheirOwnBytes) {
  const Case cases[] = {
      {"literal", {0x02, 7, 8, 9}, 3, 0, 3, true, {7, 8, 9}},
      {"run", {0xFE, 5}, 3, 0, 3, true, {5, 5, 5}},
      {"header 0 is a run of one", {0x00, 4, 0x00, 6}, 2, 0, 2, true, {4, 6}},
      {"-127 writes 128", {0x81, 3}, 128, 0, 128, true, Repeat(3, 128)},
      {"-128 writes 129", {0x80, 2}, 129, 0, 129, true, Repeat(2, 129)},
      {"-128 inside a row keeps its meaning", {0x80, 2, 0x00, 9}, 130, 0, 130, true,
       Join(Repeat(2, 129), {9})},
      {"run past the row's end", {0xFD, 1}, 2, 0, 2, true, {1, 1}},
      {"literal past the row's end", {0x03, 1, 2, 3, 4}, 2, 0, 2, true, {1, 2}},
      {"literal cut at the row's end and its bytes' end", {0x03, 1, 2}, 2, 0, 2, true, {1, 2}},
      {"trailing -128 after a complete row", {0x01, 1, 2, 0x80}, 2, 0, 2, true, {1, 2}},
      {"bytes after a complete row", {0x00, 1, 0x02, 9, 9, 9}, 1, 0, 1, true, {1}},
      {"window inside the row", {0x03, 1, 2, 3, 4}, 4, 1, 2, true, {2, 3}},
      {"window over a run and a literal", {0xFD, 5, 0x01, 6, 7}, 6, 2, 4, true, {5, 5, 6, 7}},
      {"empty window still decodes", {0xFE, 5}, 3, 0, 0, true, {}},
      {"empty row needs no bytes", {}, 0, 0, 0, true, {}},
      {"literal short of bytes", {0x02, 7, 8}, 3, 0, 3, false, {}},
      {"run without its byte", {0xFE}, 3, 0, 3, false, {}},
      {"packets end before the row", {0xFF, 1}, 3, 0, 3, false, {}},
      {"no bytes for a row", {}, 1, 0, 1, false, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    // Into one byte of 4-byte pixels, and into consecutive bytes: only the
    // window's samples are written, nothing around them.
    for (uint32_t stride : {4u, 1u}) {
      std::vector<uint8_t> dst(stride * c.count + 8, 0xEE);
      const bool ok = (stride == 4 ? UnpackBitsRow : UnpackBitsRowPlain)(
          c.src.data(), static_cast<uint32_t>(c.src.size()), c.rowSamples, c.first, c.count,
          dst.data());
      EXPECT_EQ(ok, c.complete) << stride;
      if (!ok) continue;
      for (size_t i = 0; i < dst.size(); ++i) {
        const bool sample = i % stride == 0 && i / stride < c.count;
        EXPECT_EQ(dst[i], sample ? c.written[i / stride] : 0xEE) << "stride " << stride << " byte " << i;
      }
    }
  }
}

// The decoder against the test-side encoder, on rows long enough to need
// packets of every kind and of the longest lengths.
TEST(PackBits, DecodesWhatAnEncoderMakes) {
  std::vector<uint8_t> row;
  for (int i = 0; i < 700; ++i) {
    row.push_back(i % 150 < 60 ? static_cast<uint8_t>(i * 7 + (i >> 2)) : static_cast<uint8_t>(i / 150));
  }
  std::vector<uint8_t> packed = testing::PackRow(row.data(), row.size());
  std::vector<uint8_t> dst(4 * row.size());
  ASSERT_TRUE(UnpackBitsRow(packed.data(), static_cast<uint32_t>(packed.size()),
                            static_cast<uint32_t>(row.size()), 0,
                            static_cast<uint32_t>(row.size()), dst.data()));
  for (size_t i = 0; i < row.size(); ++i) ASSERT_EQ(dst[4 * i], row[i]) << i;
  EXPECT_LT(packed.size(), row.size());
}

TEST(PackBits, LeastRowBytes) {
  EXPECT_EQ(MinPackedRowBytes(0), 0u);
  EXPECT_EQ(MinPackedRowBytes(1), 2u);
  EXPECT_EQ(MinPackedRowBytes(129), 2u);
  EXPECT_EQ(MinPackedRowBytes(130), 4u);
}

}  // namespace
}  // namespace kelvra
