// Layered documents: every length field against the bytes that follow it,
// the records and channel data as laid out, the mask's transparency, and the
// failure paths.
#include <cstring>
#include <string>
#include <vector>

#include "bitmap/abitmap.h"
#include "bitmap/psd_templates.h"
#include "services/services.h"
#include "tests/support/psd_layout.h"
#include "tests/support/test_env.h"

namespace kelvra {
namespace {

using testing::BE16At;
using testing::BE32At;
using testing::ReadFileBytes;

// A raster holding its own pixels; pixel i is seeded so that every layer,
// pixel and byte differs.
struct TestRaster {
  std::vector<uint8_t> bytes;
  ABitMap map;
  TestRaster(int32_t w, int32_t h, uint32_t seed) : bytes(4 * w * h) {
    for (size_t i = 0; i < bytes.size(); ++i) {
      bytes[i] = static_cast<uint8_t>(seed * 97 + i * 13 + (i >> 3));
    }
    map.width = w;
    map.height = h;
    map.pixels = bytes.data();
  }
  uint8_t Byte(size_t pixel, int b) const { return bytes[4 * pixel + b]; }
};

class LayeredWriterTest : public testing::KelvraTest {
 protected:
  testing::TempDir dir;
  std::string path = dir.File("layers.psd");
};

TEST_F(LayeredWriterTest, TwoOneByOneLayersGiveTheStatedLengths) {
  TestRaster l0(1, 1, 1), l1(1, 1, 2), merged(1, 1, 3), mask(1, 1, 4);
  const ABitMap* layers[2] = {&l0.map, &l1.map};
  struct Case { const ABitMap* mask; size_t file; uint32_t resources, info; };
  for (const Case& c : {Case{nullptr, 2260, 1548, 665}, Case{&mask.map, 672, 0, 625}}) {
    ASSERT_EQ(ABitMap::SaveMultiLayers(path.c_str(), layers, 2, &merged.map, c.mask, 0), 0);
    std::vector<uint8_t> f = ReadFileBytes(path);
    EXPECT_EQ(f.size(), c.file);
    EXPECT_EQ(BE32At(f, 30), c.resources);
    EXPECT_EQ(BE32At(f, 34 + c.resources), c.info + 4);
    EXPECT_EQ(BE32At(f, 38 + c.resources), c.info);
  }
}

// Every size, layer count and mask choice: lengths as measured by an
// independent walk, each field of each record, and every channel's bytes.
TEST_F(LayeredWriterTest, DocumentsOfOddAndEvenSizeAreLaidOutAsTabled) {
  struct Size { int32_t w, h; };
  for (Size s : {Size{1, 1}, Size{3, 1}, Size{2, 2}, Size{5, 3}, Size{17, 2}, Size{0, 4}}) {
    for (int32_t count : {1, 2, 3}) {
      for (bool masked : {false, true}) {
        SCOPED_TRACE(std::to_string(s.w) + "x" + std::to_string(s.h) + " layers " +
                     std::to_string(count) + (masked ? " masked" : ""));
        std::vector<TestRaster> rasters;
        for (int i = 0; i < count + 2; ++i) rasters.emplace_back(s.w, s.h, i + 1);
        const ABitMap* layers[3];
        for (int i = 0; i < count; ++i) layers[i] = &rasters[i].map;
        const TestRaster& merged = rasters[count];
        const TestRaster& mask = rasters[count + 1];
        const int32_t threshold = 0x40000000;
        ASSERT_EQ(ABitMap::SaveMultiLayers(path.c_str(), layers, count, &merged.map,
                                           masked ? &mask.map : nullptr, threshold),
                  0);
        std::vector<uint8_t> f = ReadFileBytes(path);
        testing::PsdLayout d = testing::WalkPsd(f);
        ASSERT_TRUE(d.parsed);
        EXPECT_TRUE(d.faults.empty()) << d.faults.front();

        const size_t n = static_cast<size_t>(s.w) * s.h;
        const size_t r = masked ? 0 : 1548;
        const size_t e = masked ? 252 : 292;
        const size_t li = 58 * count - 4 + 240 + (count - 1) * e + (4 * count - 1) * (n + 2);
        EXPECT_EQ(d.layerInfoLength, li);
        EXPECT_EQ(f.size(), 44 + r + li + 3 * n);
        if (count == 2) EXPECT_EQ(f.size(), (masked ? 662 : 2250) + 10 * n);
        EXPECT_EQ(d.channels, 3);
        EXPECT_EQ(d.rows, static_cast<uint32_t>(s.h));
        EXPECT_EQ(d.columns, static_cast<uint32_t>(s.w));
        EXPECT_EQ(d.depth, 8);
        EXPECT_EQ(d.mode, 3);
        EXPECT_EQ(d.resourcesLength, r);
        if (!masked) {
          EXPECT_EQ(0, std::memcmp(f.data() + d.resourcesOffset, ImageResourcesTemplate.data(),
                                   ImageResourcesTemplate.size()));
        }
        EXPECT_EQ(d.layerCount, count);
        ASSERT_EQ(d.layers.size(), static_cast<size_t>(count));

        for (int i = 0; i < count; ++i) {
          SCOPED_TRACE("layer " + std::to_string(i));
          const testing::PsdLayer& l = d.layers[i];
          EXPECT_EQ(l.top, 0);
          EXPECT_EQ(l.left, 0);
          EXPECT_EQ(l.bottom, s.h);
          EXPECT_EQ(l.right, s.w);
          EXPECT_EQ(l.blendSignature, "8BIM");
          EXPECT_EQ(l.blendKey, i == 0 || masked ? "norm" : "hLit");
          EXPECT_EQ(l.opacity, 255);
          EXPECT_EQ(l.clipping, 0);
          EXPECT_EQ(l.flags, i == 0 ? 0x29 : 0);
          EXPECT_EQ(l.filler, 0);
          const uint8_t* extra = i == 0 ? BackgroundLayerExtra.data()
                                 : masked ? MaskedLayerExtra.data()
                                          : ShadingLayerExtra.data();
          EXPECT_EQ(l.extraLength, i == 0 ? 240u : e);
          EXPECT_EQ(0, std::memcmp(f.data() + l.extraOffset, extra, l.extraLength));
          const std::vector<int16_t> ids =
              i == 0 ? std::vector<int16_t>{0, 1, 2} : std::vector<int16_t>{-1, 0, 1, 2};
          ASSERT_EQ(l.channels.size(), ids.size());
          for (size_t c = 0; c < ids.size(); ++c) {
            const testing::PsdChannel& ch = l.channels[c];
            EXPECT_EQ(ch.id, ids[c]);
            EXPECT_EQ(ch.length, n + 2);
            EXPECT_EQ(BE16At(f, ch.dataOffset), 0) << "raw";
            const uint8_t* data = f.data() + ch.dataOffset + 2;
            for (size_t p = 0; p < n; ++p) {
              uint8_t expected;
              if (ch.id == -1) {
                const int32_t m = static_cast<int32_t>(
                    static_cast<uint32_t>(mask.Byte(p, 3)) << 24 | mask.Byte(p, 2) << 16 |
                    mask.Byte(p, 1) << 8 | mask.Byte(p, 0));
                expected = !masked || m < threshold ? 255 : 0;
              } else {
                expected = rasters[i].Byte(p, 2 - ch.id);
              }
              ASSERT_EQ(data[p], expected) << "channel " << ch.id << " pixel " << p;
            }
          }
        }
        // Composite: raw, red, green and blue of the merged raster.
        EXPECT_EQ(d.compositeCompression, 0);
        for (int c = 0; c < 3; ++c) {
          for (size_t p = 0; p < n; ++p) {
            ASSERT_EQ(f[d.compositeOffset + 2 + c * n + p], merged.Byte(p, 2 - c));
          }
        }
      }
    }
  }
}

TEST_F(LayeredWriterTest, MaskPixelsCompareAsSignedIntegersWithTheThreshold) {
  struct Case { uint32_t mask; int32_t threshold; uint8_t transparency; };
  const Case cases[] = {
      {0x00000000, 0, 0},     {0x80000000, 0, 255},   {0xFF000000, 0, 255},
      {0x7FFFFFFF, 0, 0},     {0x00000001, 2, 255},   {0x00000002, 2, 0},
      {0xFFFFFFFF, -1, 0},    {0xFFFFFFFE, -1, 255},  {0x12345678, INT32_MIN, 0},
  };
  for (const Case& c : cases) {
    TestRaster l0(1, 1, 1), l1(1, 1, 2), merged(1, 1, 3), mask(1, 1, 0);
    std::memcpy(mask.bytes.data(), &c.mask, 4);  // little-endian 32-bit pixel
    const ABitMap* layers[2] = {&l0.map, &l1.map};
    ASSERT_EQ(ABitMap::SaveMultiLayers(path.c_str(), layers, 2, &merged.map, &mask.map,
                                       c.threshold),
              0);
    std::vector<uint8_t> f = ReadFileBytes(path);
    testing::PsdLayout d = testing::WalkPsd(f);
    ASSERT_EQ(d.layers.size(), 2u);
    EXPECT_EQ(f[d.layers[1].channels[0].dataOffset + 2], c.transparency)
        << std::hex << c.mask << " threshold " << c.threshold;
  }
}

TEST_F(LayeredWriterTest, OneLayerStillLetsTheMaskDecideTheResources) {
  TestRaster l0(2, 1, 1), merged(2, 1, 2), mask(2, 1, 3);
  const ABitMap* layers[1] = {&l0.map};
  ASSERT_EQ(ABitMap::SaveMultiLayers(path.c_str(), layers, 1, &merged.map, &mask.map, 0), 0);
  testing::PsdLayout d = testing::WalkPsd(ReadFileBytes(path));
  EXPECT_EQ(d.resourcesLength, 0u);
  ASSERT_EQ(d.layers.size(), 1u);
  EXPECT_EQ(d.layers[0].channels.size(), 3u);
  ASSERT_EQ(ABitMap::SaveMultiLayers(path.c_str(), layers, 1, &merged.map, nullptr, 0), 0);
  EXPECT_EQ(testing::WalkPsd(ReadFileBytes(path)).resourcesLength, 1548u);
}

TEST_F(LayeredWriterTest, AnotherFirstLayerDepthTouchesNothing) {
  testing::WriteFileBytes(path, {1, 2, 3});
  TestRaster l0(1, 1, 1), merged(1, 1, 2);
  l0.map.bitsPerPixel = 24;
  const ABitMap* layers[1] = {&l0.map};
  EXPECT_EQ(ABitMap::SaveMultiLayers(path.c_str(), layers, 1, &merged.map, nullptr, 0), -1);
  EXPECT_EQ(ReadFileBytes(path), (std::vector<uint8_t>{1, 2, 3}));
  EXPECT_TRUE(seams::NoteBoxes().empty());
  EXPECT_EQ(seams::Resources().trackedBlocks, 0);
}

// Rasters the writer would read past: refused before anything is written.
TEST_F(LayeredWriterTest, RastersOfAnotherShapeAreRefused) {
  TestRaster l0(2, 2, 1), good(2, 2, 2), narrow(1, 2, 3), shallow(2, 2, 4), bare(2, 2, 5);
  shallow.map.bitsPerPixel = 16;
  bare.map.pixels = nullptr;
  struct Case { const ABitMap* upper; const ABitMap* merged; const ABitMap* mask; int32_t count; };
  const Case cases[] = {
      {&narrow.map, &good.map, nullptr, 2}, {&good.map, &narrow.map, nullptr, 2},
      {&good.map, &good.map, &narrow.map, 2}, {&shallow.map, &good.map, nullptr, 2},
      {&good.map, &bare.map, nullptr, 2},   {nullptr, &good.map, nullptr, 2},
      {&good.map, nullptr, nullptr, 2},     {&good.map, &good.map, nullptr, 0},
  };
  for (const Case& c : cases) {
    const ABitMap* layers[2] = {&l0.map, c.upper};
    EXPECT_EQ(ABitMap::SaveMultiLayers(path.c_str(), layers, c.count, c.merged, c.mask, 0), -1);
  }
  EXPECT_FALSE(testing::FileExists(path));
  EXPECT_TRUE(seams::NoteBoxes().empty());
}

TEST_F(LayeredWriterTest, FailuresReturnMinusOneWithTheirReports) {
  TestRaster l0(3, 3, 1), l1(3, 3, 2), merged(3, 3, 3);
  const ABitMap* layers[2] = {&l0.map, &l1.map};

  seams::FailNthAllocation(1);
  EXPECT_EQ(ABitMap::SaveMultiLayers(path.c_str(), layers, 2, &merged.map, nullptr, 0), -1);
  ASSERT_EQ(seams::NoteBoxes().size(), 1u);
  EXPECT_EQ(seams::NoteBoxes()[0].caption, kMemoryNoteCaption);
  EXPECT_EQ(seams::NoteBoxes()[0].text, "SaveMultiLayers");
  EXPECT_FALSE(testing::FileExists(path));

  seams::ClearNoteBoxes();
  EXPECT_EQ(ABitMap::SaveMultiLayers(dir.File("missing/x.psd").c_str(), layers, 2,
                                     &merged.map, nullptr, 0),
            -1);
  EXPECT_TRUE(seams::NoteBoxes().empty());

  testing::WriteFileBytes(path, std::vector<uint8_t>(9000, 7));
  seams::SetWriteBudget(100);
  EXPECT_EQ(ABitMap::SaveMultiLayers(path.c_str(), layers, 2, &merged.map, nullptr, 0), -1);
  seams::SetWriteBudget(-1);
  ASSERT_EQ(seams::NoteBoxes().size(), 1u);
  EXPECT_EQ(seams::NoteBoxes()[0].text, kWriteErrorText);
  EXPECT_EQ(ReadFileBytes(path).size(), 100u);

  // Written in full over the longer file: exactly the document remains.
  seams::ClearNoteBoxes();
  EXPECT_EQ(ABitMap::SaveMultiLayers(path.c_str(), layers, 2, &merged.map, nullptr, 0), 0);
  EXPECT_EQ(ReadFileBytes(path).size(), 2250u + 90);
}

}  // namespace
}  // namespace kelvra
