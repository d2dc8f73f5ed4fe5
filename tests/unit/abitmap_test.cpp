// ABitMap: owned and bound buffers, allocation failures and plane extraction.
#include "bitmap/abitmap.h"

#include <cstring>
#include <vector>

#include "hostsim/hostsim.h"
#include "services/services.h"
#include "tests/support/test_env.h"

namespace kelvra {
namespace {

using hostsim::SimImage;
using seams::NoteBoxes;

class ABitMapTest : public testing::KelvraTest {};

TEST_F(ABitMapTest, AllocateKeepsTheBufferForTheSameSizeAndReplacesItOtherwise) {
  ABitMap r;
  EXPECT_EQ(r.bitsPerPixel, 32);
  EXPECT_EQ(r.pixels, nullptr);
  uint8_t* first = r.Allocate(3, 2, 32);
  ASSERT_NE(first, nullptr);
  std::memset(first, 0x5A, 24);
  // Same width and height: the held pixels, untouched, whatever the depth.
  EXPECT_EQ(r.Allocate(3, 2, 16), first);
  EXPECT_EQ(r.bitsPerPixel, 32);
  EXPECT_EQ(first[23], 0x5A);
  EXPECT_EQ(seams::Resources().trackedBlocks, 1);
  // Another size: the old block goes back before the new one is taken.
  uint8_t* second = r.Allocate(2, 3, 8);
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(r.width, 2);
  EXPECT_EQ(r.height, 3);
  EXPECT_EQ(r.bitsPerPixel, 8);
  EXPECT_EQ(seams::Resources().trackedBlocks, 1);
  r.Release();
  EXPECT_EQ(r.pixels, nullptr);
  EXPECT_EQ(r.width, 2);  // size kept after Release
  EXPECT_EQ(r.height, 3);
  r.Release();  // on an empty raster: nothing
  EXPECT_TRUE(NoteBoxes().empty());
}

TEST_F(ABitMapTest, AllocateFailuresShowTheNoteAndKeepTheRequestedSize) {
  struct Case {
    int32_t w, h, bits;
    bool injected;  // the heap fails; otherwise the count cannot be had
  };
  const Case cases[] = {
      {4, 4, 32, true},
      {65536, 65536, 32, false},  // 16 GiB: beyond 32 bits
      {46341, 46341, 16, false},  // just over 2^32 bytes
      {-1, 5, 32, false},
      {5, -1, 32, false},
  };
  for (const Case& c : cases) {
    seams::ClearNoteBoxes();
    if (c.injected) seams::FailNthAllocation(1);
    ABitMap r;
    EXPECT_EQ(r.Allocate(c.w, c.h, c.bits), nullptr) << c.w << "x" << c.h;
    EXPECT_EQ(r.pixels, nullptr);
    EXPECT_EQ(r.width, c.w);
    EXPECT_EQ(r.height, c.h);
    EXPECT_EQ(r.bitsPerPixel, c.bits);
    ASSERT_EQ(NoteBoxes().size(), 1u);
    EXPECT_EQ(NoteBoxes()[0].caption, kMemoryNoteCaption);
    EXPECT_EQ(NoteBoxes()[0].text, "ABitMap::Allocate");
    seams::FailNthAllocation(0);
  }
}

TEST_F(ABitMapTest, BindHostImageBorrowsThePixelsAndReportsMissingOnes) {
  ABitMap r;
  EXPECT_EQ(r.BindHostImage(nullptr), -1);
  EXPECT_EQ(r.width, 0);

  SimImage image(5, 3, 32);
  EXPECT_EQ(r.BindHostImage(image.record()), 0);
  EXPECT_EQ(r.width, 5);
  EXPECT_EQ(r.height, 3);
  EXPECT_EQ(r.bitsPerPixel, 32);
  EXPECT_EQ(r.pixels, image.bytes());
  EXPECT_EQ(seams::Resources().trackedBlocks, 0);

  SimImage odd(2, 2, 16);
  odd.SetSizeFields(-3, 7);  // a negative 16-bit width widens to a negative width
  odd.DropPixelPointer();
  EXPECT_EQ(r.BindHostImage(odd.record()), -1);
  EXPECT_EQ(r.width, -3);
  EXPECT_EQ(r.height, 7);
  EXPECT_EQ(r.bitsPerPixel, 16);
  EXPECT_EQ(r.pixels, nullptr);

  SimImage noStore(2, 2, 32);
  noStore.DropPixelStore();
  EXPECT_EQ(r.BindHostImage(noStore.record()), -1);
}

TEST_F(ABitMapTest, ExtractPlaneTakesOneByteOrOneBigEndianSamplePerPixel) {
  uint8_t bytes[8] = {0x44, 0x33, 0x22, 0x11, 0x88, 0x77, 0x66, 0x55};
  ABitMap r;
  r.width = 2;
  r.height = 1;
  r.pixels = bytes;
  struct Case {
    int32_t sampleBits, offset;
    std::vector<uint8_t> plane;
  };
  const Case cases[] = {
      {8, 2, {0x22, 0x66}},
      {8, 0, {0x44, 0x88}},
      {8, 3, {0x11, 0x55}},
      {16, 0, {0x33, 0x44, 0x77, 0x88}},
      {16, 2, {0x11, 0x22, 0x55, 0x66}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(r.ExtractPlane(nullptr, c.sampleBits, c.offset), c.plane.size());
    std::vector<uint8_t> out(c.plane.size() + 1, 0xEE);
    EXPECT_EQ(r.ExtractPlane(out.data(), c.sampleBits, c.offset), c.plane.size());
    EXPECT_EQ(std::vector<uint8_t>(out.begin(), out.end() - 1), c.plane);
    EXPECT_EQ(out.back(), 0xEE) << "wrote past the plane";
  }
  r.width = -2;  // no pixels to walk
  EXPECT_EQ(r.ExtractPlane(nullptr, 8, 0), 0u);
}

// The wide loops against the plain definition, on sizes around their block
// length, for every byte of the pixel (the last pixel's byte 3 is the last
// byte of the buffer).
TEST_F(ABitMapTest, ExtractPlaneMatchesThePixelBytesForAllSizes) {
  for (int32_t count : {1, 15, 16, 17, 31, 32, 33, 100}) {
    std::vector<uint8_t> bytes(4 * count);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 37 + 11);
    ABitMap r;
    r.width = count;
    r.height = 1;
    r.pixels = bytes.data();
    for (int32_t offset = 0; offset < 4; ++offset) {
      std::vector<uint8_t> plane(count);
      r.ExtractPlane(plane.data(), 8, offset);
      for (int32_t i = 0; i < count; ++i) {
        ASSERT_EQ(plane[i], bytes[4 * i + offset]) << count << " " << offset << " " << i;
      }
    }
  }
}

TEST_F(ABitMapTest, ExtractPlaneSteps24BitAnd16BitPixels) {
  uint8_t rgb[6] = {1, 2, 3, 4, 5, 6};
  ABitMap r;
  r.width = 1;
  r.height = 2;
  r.bitsPerPixel = 24;
  r.pixels = rgb;
  uint8_t out[4] = {};
  EXPECT_EQ(r.ExtractPlane(out, 8, 1), 2u);
  EXPECT_EQ(out[0], 2);
  EXPECT_EQ(out[1], 5);
  uint16_t samples[3] = {0x1234, 0xABCD, 0x00FF};
  r.width = 3;
  r.height = 1;
  r.bitsPerPixel = 16;
  r.pixels = reinterpret_cast<uint8_t*>(samples);
  uint8_t wide[6] = {};
  EXPECT_EQ(r.ExtractPlane(wide, 16, 0), 6u);
  const uint8_t expected[6] = {0x12, 0x34, 0xAB, 0xCD, 0x00, 0xFF};
  EXPECT_EQ(std::memcmp(wide, expected, 6), 0);
}

}  // namespace
}  // namespace kelvra
