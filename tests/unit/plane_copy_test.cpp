// One byte of every 32-bit pixel in each vector set the processor has: the
// same bytes as a plain loop for every byte offset, count and start (the
// pixels taken one by one up to an aligned load, the wide steps and the
// tails that follow them), nothing read past the last
// pixel (the pixels end exactly where their block ends, which the sanitizer
// build checks) and nothing written past the last sample. Flat documents are
// the same bytes in every set, with every buffer size cutting the planes
// into pieces that start and end anywhere, and on a full disk the file keeps
// exactly the document's first bytes.
#include <cstring>
#include <string>
#include <vector>

#include "bitmap/abitmap.h"
#include "bitmap/planes.h"
#include "bitmap/psd_writers.h"
#include "services/services.h"
#include "tests/support/test_env.h"

namespace kelvra {
namespace {

using testing::ReadFileBytes;

// Each form of the copy by itself: the wider forms are chosen at run time.
// Forms this processor lacks are skipped; the cap is lifted afterwards.
class PlaneCopySetTest : public testing::KelvraTest,
                         public ::testing::WithParamInterface<PlaneCopy> {
 protected:
  void SetUp() override {
    KelvraTest::SetUp();
    LimitPlaneCopy(GetParam());
    if (ChosenPlaneCopy() != GetParam()) GTEST_SKIP() << "this processor lacks the form";
  }
  void TearDown() override {
    LimitPlaneCopy(PlaneCopy::kAvx512Vbmi);
    KelvraTest::TearDown();
  }
};

uint8_t Noise(uint32_t i, uint32_t seed) {
  uint32_t x = (i + 1) * 2654435761u ^ seed * 40503u;
  x ^= x >> 15, x *= 2246822519u, x ^= x >> 13;
  return static_cast<uint8_t>(x >> 7);
}

TEST_P(PlaneCopySetTest, EveryOffsetCountAndStartGivesThePlainLoopsBytes) {
  std::vector<uint64_t> counts;
  for (uint64_t c = 0; c <= 200; ++c) counts.push_back(c);
  for (uint64_t c : {255u, 256u, 257u, 1023u, 1024u, 4099u}) counts.push_back(c);
  for (uint64_t count : counts) {
    // Starts at every 4-byte step of a 64-byte line (the wide sets take the
    // pixels before the first line or vector boundary one by one) and at odd
    // bytes, where no load can be aligned.
    std::vector<uint32_t> starts = {1, 2, 3, 65};
    for (uint32_t start = 0; start < 64; start += 4) starts.push_back(start);
    for (uint32_t start : starts) {
      std::vector<uint8_t> block(start + 4 * count);
      for (size_t i = 0; i < block.size(); ++i) block[i] = Noise(static_cast<uint32_t>(i), start);
      const uint8_t* pixels = block.data() + start;
      for (int32_t offset = 0; offset < 4; ++offset) {
        std::vector<uint8_t> dst(count + 64, 0xA5);
        CopyByteOfPixelsIn(GetParam(), pixels, offset, count, dst.data());
        uint64_t wrong = 0;
        for (uint64_t i = 0; i < count; ++i) wrong += dst[i] != pixels[4 * i + offset];
        EXPECT_EQ(wrong, 0u) << "count " << count << " start " << start << " offset " << offset;
        for (size_t i = count; i < dst.size(); ++i) {
          ASSERT_EQ(dst[i], 0xA5) << "written past the end: count " << count << " offset "
                                  << offset;
        }
      }
    }
  }
}

// A document built without the writer: header, then each plane's samples.
std::vector<uint8_t> ReferenceFlat(const std::vector<uint8_t>& px, uint32_t w, uint32_t h,
                                   const std::vector<int>& offsets) {
  std::vector<uint8_t> d = {'8', 'B', 'P', 'S', 0, 1, 0, 0, 0, 0, 0, 0};
  auto be16 = [&](uint32_t v) { d.push_back(static_cast<uint8_t>(v >> 8)), d.push_back(static_cast<uint8_t>(v)); };
  auto be32 = [&](uint32_t v) { be16(v >> 16), be16(v & 0xFFFF); };
  be16(static_cast<uint32_t>(offsets.size())), be32(h), be32(w), be16(8);
  be16(offsets.size() == 3 || offsets.size() == 4 ? 3 : 7);
  be32(0), be32(0), be32(0), be16(0);
  for (int offset : offsets) {
    for (size_t i = 0; i < static_cast<size_t>(w) * h; ++i) d.push_back(px[4 * i + offset]);
  }
  return d;
}

TEST_P(PlaneCopySetTest, FlatDocumentsAreTheSameBytesForEveryBufferSize) {
  testing::TempDir dir;
  const std::string path = dir.File("flat.psd");
  struct Size { int32_t w, h; };
  // Pixel counts on both sides of the 16-, 32- and 64-pixel steps.
  const Size sizes[] = {{1, 1}, {15, 1}, {16, 1}, {17, 1}, {31, 2}, {63, 1}, {64, 1},
                        {65, 3}, {127, 5}, {129, 129}};
  // 1: every sample its own piece; 41: the header and one sample; odd sizes
  // cut the wide steps anywhere.
  const uint32_t buffers[] = {1, 7, 41, 100, 1000, 4096, kStreamBufferBytes};
  for (const Size& s : sizes) {
    std::vector<uint8_t> px(4 * static_cast<size_t>(s.w) * s.h);
    for (size_t i = 0; i < px.size(); ++i) px[i] = Noise(static_cast<uint32_t>(i), s.w);
    ABitMap r;
    r.width = s.w, r.height = s.h, r.pixels = px.data();
    for (bool alpha : {false, true}) {
      SCOPED_TRACE(::testing::Message() << s.w << " x " << s.h << (alpha ? " alpha" : ""));
      std::vector<int> order = {2, 1, 0};
      if (alpha) order.push_back(3);
      const std::vector<uint8_t> expected = ReferenceFlat(px, s.w, s.h, order);
      ASSERT_EQ(r.SaveToFile(path.c_str(), alpha), 0);
      EXPECT_TRUE(ReadFileBytes(path) == expected);
      const ABitMap* rasters[4] = {&r, &r, &r, &r};
      const int32_t offsets[4] = {2, 1, 0, 3};
      for (uint32_t buffer : buffers) {
        ASSERT_EQ(WriteFlatDocument(r, path.c_str(), alpha ? 4 : 3, 8, rasters, offsets, buffer), 0);
        EXPECT_TRUE(ReadFileBytes(path) == expected) << "buffer " << buffer;
      }
    }
    // Planes in any order, a byte taken twice: five planes, multichannel.
    const std::vector<int> mixed = {3, 0, 0, 2, 1};
    const ABitMap* rasters[5] = {&r, &r, &r, &r, &r};
    const int32_t offsets[5] = {3, 0, 0, 2, 1};
    ASSERT_EQ(WriteFlatDocument(r, path.c_str(), 5, 8, rasters, offsets, 333), 0);
    EXPECT_TRUE(ReadFileBytes(path) == ReferenceFlat(px, s.w, s.h, mixed)) << s.w << " x " << s.h;
  }
}

TEST_P(PlaneCopySetTest, AFullDiskKeepsExactlyTheDocumentsFirstBytes) {
  testing::TempDir dir;
  const std::string path = dir.File("flat.psd");
  const int32_t w = 97, h = 61;
  std::vector<uint8_t> px(4 * static_cast<size_t>(w) * h);
  for (size_t i = 0; i < px.size(); ++i) px[i] = Noise(static_cast<uint32_t>(i), 7);
  ABitMap r;
  r.width = w, r.height = h, r.pixels = px.data();
  const std::vector<uint8_t> full = ReferenceFlat(px, w, h, {2, 1, 0});
  const ABitMap* rasters[3] = {&r, &r, &r};
  const int32_t offsets[3] = {2, 1, 0};
  // Inside the header, at a plane's first and last sample, inside each plane
  // and one byte short of the end.
  const int64_t n = static_cast<int64_t>(w) * h;
  for (int64_t budget : {int64_t{0}, int64_t{39}, int64_t{40}, int64_t{41}, 40 + n / 2, 40 + n - 1,
                         40 + n, 40 + n + 17, 40 + 2 * n + 1, 40 + 3 * n - 1}) {
    for (uint32_t buffer : {64u, 1000u, kStreamBufferBytes}) {
      SCOPED_TRACE(::testing::Message() << "disk full after " << budget << ", buffer " << buffer);
      seams::ClearNoteBoxes();
      seams::SetWriteBudget(budget);
      EXPECT_EQ(WriteFlatDocument(r, path.c_str(), 3, 8, rasters, offsets, buffer), -1);
      seams::SetWriteBudget(-1);
      ASSERT_EQ(seams::NoteBoxes().size(), 1u);
      EXPECT_EQ(seams::NoteBoxes()[0].text, kWriteErrorText);
      const std::vector<uint8_t> kept = ReadFileBytes(path);
      ASSERT_EQ(static_cast<int64_t>(kept.size()), budget);
      EXPECT_TRUE(std::equal(kept.begin(), kept.end(), full.begin()));
    }
  }
  seams::ClearNoteBoxes();
}

// Layered documents cut their layers' and composite's planes in the chosen
// form too: the same bytes as with SSE2, for a shading and a masked layer.
TEST_P(PlaneCopySetTest, LayeredDocumentsAreTheSameBytesAsWithSse2) {
  testing::TempDir dir;
  const std::string path = dir.File("layered.psd");
  const int32_t w = 131, h = 67;
  std::vector<uint8_t> a(4 * w * h), b(4 * w * h), m(4 * w * h);
  for (size_t i = 0; i < a.size(); ++i) {
    a[i] = Noise(static_cast<uint32_t>(i), 1);
    b[i] = Noise(static_cast<uint32_t>(i), 2);
    m[i] = Noise(static_cast<uint32_t>(i), 3);
  }
  ABitMap la, lb, mask;
  for (ABitMap* r : {&la, &lb, &mask}) r->width = w, r->height = h;
  la.pixels = a.data(), lb.pixels = b.data(), mask.pixels = m.data();
  const ABitMap* layers[2] = {&la, &lb};
  const ABitMap* const masks[2] = {nullptr, &mask};
  for (const ABitMap* maskRaster : masks) {
    LimitPlaneCopy(PlaneCopy::kSse2);
    ASSERT_EQ(ABitMap::SaveMultiLayers(path.c_str(), layers, 2, &lb, maskRaster, 0), 0);
    const std::vector<uint8_t> expected = ReadFileBytes(path);
    LimitPlaneCopy(GetParam());
    ASSERT_EQ(ABitMap::SaveMultiLayers(path.c_str(), layers, 2, &lb, maskRaster, 0), 0);
    EXPECT_TRUE(ReadFileBytes(path) == expected) << (maskRaster != nullptr ? "masked" : "shading");
  }
}

std::string FormName(const ::testing::TestParamInfo<PlaneCopy>& info) {
  static const char* const kNames[] = {"Sse2", "Avx2", "Avx512", "Avx512Vbmi"};
  return kNames[static_cast<int>(info.param)];
}

INSTANTIATE_TEST_SUITE_P(Forms, PlaneCopySetTest,
                         ::testing::Values(PlaneCopy::kSse2, PlaneCopy::kAvx2, PlaneCopy::kAvx512,
                                           PlaneCopy::kAvx512Vbmi),
                         FormName);

}  // namespace
}  // namespace kelvra
