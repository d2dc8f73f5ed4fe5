// The map file header, byte by byte.
#include <cstring>
#include <vector>

#include "maps/tiff_header.h"
#include "tests/support/test_env.h"

namespace kelvra {
namespace {

using testing::KelvraTest;

class TiffHeaderTest : public KelvraTest {};

uint32_t Le16(const uint8_t* p) { return p[0] | (p[1] << 8); }
uint32_t Le32(const uint8_t* p) {
  return Le16(p) | (static_cast<uint32_t>(Le16(p + 2)) << 16);
}

struct EntryBytes {
  uint32_t tag, type, count, value;
};

struct HeaderCase {
  int32_t width, height, channels, bits;
  uint32_t length;
  uint32_t stripBytes;
};

// The directory as it must read, entry by entry in file order.
std::vector<EntryBytes> ExpectedEntries(const HeaderCase& c) {
  const bool three = c.channels == 3;
  const uint32_t format = c.bits == 32 ? 3 : 1;
  return {{254, 4, 1, 0},
          {256, 3, 1, static_cast<uint32_t>(c.width)},
          {257, 3, 1, static_cast<uint32_t>(c.height)},
          {258, 3, three ? 3u : 1u, three ? 222u : static_cast<uint32_t>(c.bits)},
          {259, 3, 1, 1},
          {262, 3, 1, three ? 2u : 1u},
          {273, 4, 1, c.length},
          {277, 3, 1, three ? 3u : 1u},
          {278, 3, 1, static_cast<uint32_t>(c.height)},
          {279, 4, 1, c.stripBytes},
          {282, 5, 1, 206},
          {283, 5, 1, 214},
          {284, 3, 1, 1},
          {296, 3, 1, 2},
          {339, 3, three ? 3u : 1u, three ? 228u : format},
          {305, 1, 7, three ? 234u : 222u}};
}

TEST_F(TiffHeaderTest, EveryLayoutIsByteExact) {
  const HeaderCase cases[] = {
      {300, 200, 1, 16, 229, 120000}, {300, 200, 3, 8, 241, 180000},
      {300, 200, 3, 32, 241, 720000}, {7, 5, 1, 32, 229, 140},
      {1, 1, 1, 8, 229, 1},           {65535, 10, 3, 16, 241, 3932100},
      {640, 3, 3, 16, 241, 11520}};
  for (const HeaderCase& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.width << "x" << c.height << " "
                                      << c.channels << "ch " << c.bits << "bit");
    std::vector<uint8_t> block(kTiffHeaderBlockBytes, 0xEE);
    ASSERT_EQ(BuildTiffHeader(c.width, c.height, c.channels, c.bits, block.data()),
              c.length);
    const uint8_t* b = block.data();
    EXPECT_EQ(b[0], 0x49);
    EXPECT_EQ(b[1], 0x49);
    EXPECT_EQ(Le16(b + 2), 42u);
    EXPECT_EQ(Le32(b + 4), 8u);
    EXPECT_EQ(Le16(b + 8), 16u);
    std::vector<EntryBytes> entries = ExpectedEntries(c);
    for (size_t i = 0; i < entries.size(); ++i) {
      const uint8_t* e = b + 10 + 12 * i;
      EXPECT_EQ(Le16(e), entries[i].tag) << "entry " << i;
      EXPECT_EQ(Le16(e + 2), entries[i].type) << "entry " << i;
      EXPECT_EQ(Le32(e + 4), entries[i].count) << "entry " << i;
      EXPECT_EQ(Le32(e + 8), entries[i].value) << "entry " << i;
    }
    EXPECT_EQ(Le32(b + 202), 0u);
    EXPECT_EQ(Le32(b + 206), 720000u);
    EXPECT_EQ(Le32(b + 210), 10000u);
    EXPECT_EQ(Le32(b + 214), 720000u);
    EXPECT_EQ(Le32(b + 218), 10000u);
    uint32_t software = 222;
    if (c.channels == 3) {
      const uint32_t format = c.bits == 32 ? 3 : 1;
      for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(Le16(b + 222 + 2 * i), static_cast<uint32_t>(c.bits));
        EXPECT_EQ(Le16(b + 228 + 2 * i), format);
      }
      software = 234;
    }
    EXPECT_EQ(std::memcmp(b + software, "Kelvra", 7), 0);
    EXPECT_EQ(b[c.length], 0xEE) << "nothing written past the header";
  }
}

TEST_F(TiffHeaderTest, AnyChannelCountBesidesOneMeansThree) {
  std::vector<uint8_t> a(kTiffHeaderBlockBytes), b(kTiffHeaderBlockBytes);
  EXPECT_EQ(BuildTiffHeader(10, 10, 3, 8, a.data()), 241u);
  for (int32_t channels : {0, 2, 4, -1}) {
    EXPECT_EQ(BuildTiffHeader(10, 10, channels, 8, b.data()), 241u);
    EXPECT_EQ(a, b) << channels;
  }
}

}  // namespace
}  // namespace kelvra
