// The readers: our own documents back exactly, documents built by hand with
// what other writers do (channel order, cropped layers, negative counts,
// PackBits rows with trailing bytes), refusals with their reasons, and cut
// documents at every length.
#include "bitmap/psd_reader.h"

#include <cstring>
#include <string>
#include <vector>

#include "bitmap/abitmap.h"
#include "bitmap/whole_file.h"
#include "services/services.h"
#include "tests/support/psd_build.h"
#include "tests/support/psd_layout.h"
#include "tests/support/test_env.h"

namespace kelvra {
namespace {

using testing::BuildPsd;
using testing::ReadFileBytes;
using testing::TestChannel;
using testing::TestDoc;
using testing::TestLayer;

struct OwnedRaster {
  std::vector<uint8_t> bytes;
  ABitMap map;
  OwnedRaster(int32_t w, int32_t h, uint32_t seed) : bytes(4 * w * h) {
    for (size_t i = 0; i < bytes.size(); ++i) {
      bytes[i] = static_cast<uint8_t>(seed * 31 + i * 7 + (i >> 5));
    }
    map.width = w, map.height = h, map.pixels = bytes.data();
  }
};

// The pixels a read should give: bytes 2, 1, 0 of `src` (and 3 with alpha).
std::vector<uint8_t> Expected(const std::vector<uint8_t>& src, bool alpha) {
  std::vector<uint8_t> e = src;
  for (size_t i = 3; i < e.size(); i += 4) {
    if (!alpha) e[i] = 0;
  }
  return e;
}

std::vector<uint8_t> PixelsOf(const ABitMap& r) {
  return std::vector<uint8_t>(r.pixels, r.pixels + r.PixelCount() * 4);
}

class ReaderTest : public testing::KelvraTest {
 protected:
  testing::TempDir dir;
  std::string path = dir.File("doc.psd");
  ABitMap target;
  void TearDown() override {
    target.Release();
    KelvraTest::TearDown();
  }
};

TEST_F(ReaderTest, FlatDocumentsComeBackExactly) {
  OwnedRaster src(7, 5, 1);
  for (bool alpha : {false, true}) {
    ASSERT_EQ(src.map.SaveToFile(path.c_str(), alpha), 0);
    for (bool readAlpha : {false, true}) {
      SCOPED_TRACE(std::to_string(alpha) + std::to_string(readAlpha));
      ASSERT_EQ(target.LoadFromFile(path.c_str(), readAlpha), 0);
      EXPECT_EQ(target.width, 7);
      EXPECT_EQ(target.height, 5);
      EXPECT_EQ(target.bitsPerPixel, 32);
      EXPECT_EQ(PixelsOf(target), Expected(src.bytes, alpha && readAlpha));
      // The same bytes handed over in memory: the path is not used.
      std::vector<uint8_t> doc = ReadFileBytes(path);
      ABitMap fromBytes;
      ASSERT_EQ(fromBytes.LoadFromFile("/no/such/file", readAlpha, doc.data(),
                                       static_cast<uint32_t>(doc.size())),
                0);
      EXPECT_EQ(PixelsOf(fromBytes), PixelsOf(target));
      fromBytes.Release();
      // A flat document has no layer section: the layered reader falls back.
      ASSERT_EQ(target.LoadLayeredFromFile(path.c_str(), readAlpha), 0);
      EXPECT_EQ(PixelsOf(target), Expected(src.bytes, alpha && readAlpha));
    }
  }
}

TEST_F(ReaderTest, LayeredDocumentsGiveTheFirstLayerOrTheComposite) {
  OwnedRaster l0(6, 3, 1), l1(6, 3, 2), merged(6, 3, 3), mask(6, 3, 4);
  const ABitMap* layers[2] = {&l0.map, &l1.map};
  const ABitMap* masks[2] = {nullptr, &mask.map};
  for (const ABitMap* m : masks) {
    ASSERT_EQ(ABitMap::SaveMultiLayers(path.c_str(), layers, 2, &merged.map, m, 0), 0);
    for (bool alpha : {false, true}) {
      ASSERT_EQ(target.LoadLayeredFromFile(path.c_str(), alpha), 0);
      EXPECT_EQ(PixelsOf(target), Expected(l0.bytes, false));  // layer 0 has no alpha
      ASSERT_EQ(target.LoadFromFile(path.c_str(), alpha), 0);
      EXPECT_EQ(PixelsOf(target), Expected(merged.bytes, false));
    }
  }
}

TEST_F(ReaderTest, ChannelCountsAndModes) {
  // One gray channel fills only red; four channels without alpha leave it 0.
  const std::vector<uint8_t> gray = {10, 20, 30, 40, 50, 60};
  TestDoc d;
  d.rows = 2, d.columns = 3, d.channels = 1, d.mode = 1;
  d.composite = {gray};
  std::vector<uint8_t> doc = BuildPsd(d);
  ASSERT_EQ(ReadCompositeImage(doc.data(), doc.size(), true, &target), PsdRead::kOk);
  for (int i = 0; i < 6; ++i) {
    EXPECT_EQ(target.pixels[4 * i + 2], gray[i]);
    EXPECT_EQ(target.pixels[4 * i + 0] | target.pixels[4 * i + 1] | target.pixels[4 * i + 3], 0);
  }
  d.channels = 4, d.mode = 3;
  d.composite = {gray, gray, gray, {1, 2, 3, 4, 5, 6}};
  for (uint16_t compression : {0, 1}) {
    d.compositeCompression = compression;
    doc = BuildPsd(d);
    ASSERT_EQ(ReadCompositeImage(doc.data(), doc.size(), false, &target), PsdRead::kOk);
    EXPECT_EQ(target.pixels[4 * 5 + 3], 0);
    ASSERT_EQ(ReadCompositeImage(doc.data(), doc.size(), true, &target), PsdRead::kOk);
    EXPECT_EQ(target.pixels[4 * 5 + 3], 6);
    EXPECT_EQ(target.pixels[4 * 5 + 0], 60);
  }
  d.channels = 3, d.mode = 7;  // multichannel reads like RGB
  d.composite = {gray, gray, gray};
  doc = BuildPsd(d);
  EXPECT_EQ(ReadCompositeImage(doc.data(), doc.size(), false, &target), PsdRead::kOk);
}

// ImageMagick ends every PackBits row with a -128 byte after the row is
// complete; each row decodes from its own bytes, so that byte is ignored.
TEST_F(ReaderTest, PackBitsRowsDecodeThroughTheirByteCounts) {
  TestDoc d;
  d.rows = 4, d.columns = 5;
  std::vector<uint8_t> r(20), g(20), b(20);
  for (int i = 0; i < 20; ++i) r[i] = i < 10 ? 9 : i, g[i] = 100 + i / 3, b[i] = 255 - i;
  d.composite = {r, g, b};
  d.compositeCompression = 1;
  for (const std::vector<uint8_t>& tail :
       {std::vector<uint8_t>{}, std::vector<uint8_t>{0x80}, std::vector<uint8_t>{0x80, 0x80, 0x01}}) {
    d.compositeRowTail = tail;
    std::vector<uint8_t> doc = BuildPsd(d);
    ASSERT_EQ(ReadCompositeImage(doc.data(), doc.size(), false, &target), PsdRead::kOk)
        << tail.size();
    for (int i = 0; i < 20; ++i) {
      ASSERT_EQ(target.pixels[4 * i + 2], r[i]) << i;
      ASSERT_EQ(target.pixels[4 * i + 1], g[i]) << i;
      ASSERT_EQ(target.pixels[4 * i + 0], b[i]) << i;
    }
  }
}

// Rows wider than the reader stages on the stack decode in place.
TEST_F(ReaderTest, WidePackBitsRowsDecodeInPlace) {
  TestDoc d;
  d.rows = 2, d.columns = 4100, d.compositeCompression = 1;
  std::vector<uint8_t> planes[3];
  for (int c = 0; c < 3; ++c) {
    for (uint32_t i = 0; i < 2 * d.columns; ++i) {
      planes[c].push_back(static_cast<uint8_t>(i % 300 < 150 ? c * 50 : i * (c + 3)));
    }
  }
  d.composite = {planes[0], planes[1], planes[2]};
  d.compositeRowTail = {0x80};
  std::vector<uint8_t> doc = BuildPsd(d);
  ASSERT_EQ(ReadCompositeImage(doc.data(), doc.size(), false, &target), PsdRead::kOk);
  for (uint32_t i = 0; i < 2 * d.columns; ++i) {
    ASSERT_EQ(target.pixels[4 * i + 2], planes[0][i]) << i;
    ASSERT_EQ(target.pixels[4 * i + 1], planes[1][i]) << i;
    ASSERT_EQ(target.pixels[4 * i + 0], planes[2][i]) << i;
    ASSERT_EQ(target.pixels[4 * i + 3], 0) << i;
  }
}

TestChannel Channel(int16_t id, uint16_t compression, std::vector<uint8_t> samples) {
  TestChannel c;
  c.id = id, c.compression = compression, c.samples = std::move(samples);
  return c;
}

// Channels by identifier, whatever their order, with extra channels and the
// transparency first (as GIMP, Krita and ag-psd store it). The layer above
// is hidden, so the bottom layer is all there is.
TEST_F(ReaderTest, FirstLayerChannelsArePickedByIdentifier) {
  TestDoc d;
  d.rows = 2, d.columns = 2, d.layerSection = true;
  d.composite = {{0, 0, 0, 0}, {0, 0, 0, 0}, {0, 0, 0, 0}};
  TestLayer l;
  l.bottom = 2, l.right = 2;
  l.channels = {Channel(-1, 1, {200, 201, 202, 203}), Channel(2, 0, {30, 31, 32, 33}),
                Channel(-2, 0, {}), Channel(0, 1, {10, 11, 12, 13}),
                Channel(5, 1, {99, 99, 99, 99}), Channel(1, 0, {20, 21, 22, 23})};
  TestLayer second;
  second.bottom = 2, second.right = 2;
  second.channels = {Channel(0, 0, {1, 1, 1, 1}), Channel(1, 0, {1, 1, 1, 1}),
                     Channel(2, 0, {1, 1, 1, 1})};
  second.flags = 0x02;
  d.layers = {l, second};
  d.overrideLayerCount = true;
  for (int16_t count : {2, -2}) {  // a negative count means its absolute value
    d.layerCountField = count;
    std::vector<uint8_t> doc = BuildPsd(d);
    for (bool alpha : {false, true}) {
      SCOPED_TRACE(std::to_string(count) + (alpha ? " alpha" : ""));
      ASSERT_EQ(ReadLayeredImage(doc.data(), doc.size(), alpha, &target), PsdRead::kOk);
      for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(target.pixels[4 * i + 2], 10 + i);
        EXPECT_EQ(target.pixels[4 * i + 1], 20 + i);
        EXPECT_EQ(target.pixels[4 * i + 0], 30 + i);
        EXPECT_EQ(target.pixels[4 * i + 3], alpha ? 200 + i : 0);
      }
    }
  }
  d.layerCountField = -32768;
  std::vector<uint8_t> doc = BuildPsd(d);
  EXPECT_EQ(ReadLayeredImage(doc.data(), doc.size(), false, &target), PsdRead::kBadLayerCount);
}

// A layer cropped to its content sits at its rectangle; what lies outside the
// document is dropped and the rest of the raster stays 0.
TEST_F(ReaderTest, SmallerLayersArePlacedAtTheirRectangle) {
  struct Case { int32_t top, left, bottom, right; };
  const Case cases[] = {{1, 2, 3, 5}, {-1, -2, 2, 1}, {3, 4, 6, 9}, {0, 0, 4, 6},
                        {-2, -3, 6, 9}, {5, 0, 7, 6}, {0, 0, 0, 0}};
  for (const Case& c : cases) {
    for (uint16_t compression : {0, 1}) {
      SCOPED_TRACE(std::to_string(c.top) + "," + std::to_string(c.left) + " " +
                   std::to_string(compression));
      TestDoc d;
      d.rows = 4, d.columns = 6, d.layerSection = true;
      d.composite = {std::vector<uint8_t>(24), std::vector<uint8_t>(24), std::vector<uint8_t>(24)};
      TestLayer l;
      l.top = c.top, l.left = c.left, l.bottom = c.bottom, l.right = c.right;
      const int32_t h = c.bottom - c.top, w = c.right - c.left;
      std::vector<uint8_t> red(h * w);
      for (int i = 0; i < h * w; ++i) red[i] = static_cast<uint8_t>(1 + i);
      l.channels = {Channel(0, compression, red),
                    Channel(1, compression, std::vector<uint8_t>(h * w, 7)),
                    Channel(2, compression, std::vector<uint8_t>(h * w, 8))};
      d.layers = {l};
      std::vector<uint8_t> doc = BuildPsd(d);
      ASSERT_EQ(ReadLayeredImage(doc.data(), doc.size(), false, &target), PsdRead::kOk);
      EXPECT_EQ(target.width, 6);
      EXPECT_EQ(target.height, 4);
      for (int y = 0; y < 4; ++y) {
        for (int x = 0; x < 6; ++x) {
          const bool inside = y >= c.top && y < c.bottom && x >= c.left && x < c.right;
          const uint8_t* p = target.pixels + 4 * (y * 6 + x);
          const int expectedRed = inside ? 1 + (y - c.top) * w + (x - c.left) : 0;
          EXPECT_EQ(p[2], expectedRed) << x << "," << y;
          EXPECT_EQ(p[1], inside ? 7 : 0);
          EXPECT_EQ(p[0], inside ? 8 : 0);
        }
      }
    }
  }
}

TEST_F(ReaderTest, LayerRecordsWithoutChannelEntries) {
  for (int16_t k : {0, -3}) {
    TestDoc d;
    d.rows = 1, d.columns = 2, d.layerSection = true;
    d.composite = {{5, 5}, {5, 5}, {5, 5}};
    TestLayer empty;
    empty.bottom = 1, empty.right = 2;
    empty.overrideChannelCount = true, empty.channelCountField = k;
    TestLayer second;
    second.bottom = 1, second.right = 2;
    second.channels = {Channel(0, 0, {1, 2})};
    d.layers = {empty, second};
    std::vector<uint8_t> doc = BuildPsd(d);
    ASSERT_EQ(ReadLayeredImage(doc.data(), doc.size(), false, &target), PsdRead::kOk) << k;
    // A black backdrop; the layer above has red only and no transparency.
    EXPECT_EQ(PixelsOf(target), (std::vector<uint8_t>{0, 0, 1, 0, 0, 0, 2, 0}));
  }
}

TEST_F(ReaderTest, DocumentsThatCannotBeReadCorrectlyAreRefused) {
  TestDoc base;
  base.rows = 2, base.columns = 2;
  base.composite = {{1, 2, 3, 4}, {5, 6, 7, 8}, {9, 10, 11, 12}};
  struct Case {
    const char* what;
    void (*edit)(TestDoc&);
    PsdRead flat, layered;
  };
  const Case cases[] = {
      {"16-bit", [](TestDoc& d) { d.depth = 16; }, PsdRead::kUnsupportedDepth,
       PsdRead::kUnsupportedDepth},
      {"1-bit", [](TestDoc& d) { d.depth = 1; }, PsdRead::kUnsupportedDepth,
       PsdRead::kUnsupportedDepth},
      {"CMYK", [](TestDoc& d) { d.mode = 4; }, PsdRead::kUnsupportedColourMode,
       PsdRead::kUnsupportedColourMode},
      {"indexed", [](TestDoc& d) { d.mode = 2; }, PsdRead::kUnsupportedColourMode,
       PsdRead::kUnsupportedColourMode},
      {"ZIP composite", [](TestDoc& d) { d.compositeCompression = 2; },
       PsdRead::kUnsupportedCompression, PsdRead::kUnsupportedCompression},
      {"no channels", [](TestDoc& d) { d.channels = 0; }, PsdRead::kNoChannels,
       PsdRead::kNoChannels},
      {"negative channels", [](TestDoc& d) { d.channels = -3; }, PsdRead::kNoChannels,
       PsdRead::kNoChannels},
      {"large document format", [](TestDoc& d) { d.version = 2; }, PsdRead::kNotPhotoshop,
       PsdRead::kNotPhotoshop},
      {"not a document", [](TestDoc& d) { std::memcpy(d.signature, "II*\0", 4); },
       PsdRead::kNotPhotoshop, PsdRead::kNotPhotoshop},
      {"blank composite",
       [](TestDoc& d) {
         d.resources = testing::Resource(1005, std::vector<uint8_t>(16, 0));
         auto v = testing::Resource(1057, {0, 0, 0, 1, 0, 0, 0, 0, 0});
         d.resources.insert(d.resources.end(), v.begin(), v.end());
       },
       PsdRead::kNoMergedData, PsdRead::kNoMergedData},
      {"ZIP layer channel",
       [](TestDoc& d) {
         d.layerSection = true;
         TestLayer l;
         l.bottom = 2, l.right = 2;
         l.channels = {Channel(0, 3, {1, 2, 3, 4})};
         d.layers = {l};
       },
       PsdRead::kOk, PsdRead::kUnsupportedCompression},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TestDoc d = base;
    c.edit(d);
    std::vector<uint8_t> doc = BuildPsd(d);
    OwnedRaster before(3, 3, 9);
    target.Allocate(3, 3, 32);
    std::memcpy(target.pixels, before.bytes.data(), 36);
    uint8_t* held = target.pixels;
    EXPECT_EQ(ReadCompositeImage(doc.data(), doc.size(), false, &target), c.flat);
    if (c.flat != PsdRead::kOk) {
      // Refused before anything was touched.
      EXPECT_EQ(target.pixels, held);
      EXPECT_EQ(target.width, 3);
      EXPECT_EQ(PixelsOf(target), before.bytes);
    }
    target.Release();
    EXPECT_EQ(ReadLayeredImage(doc.data(), doc.size(), false, &target), c.layered);
    target.Release();
  }
}

// Hard light of one 8-bit level pair, from the definition in real numbers.
uint8_t HardLightReference(int cb, int cs) {
  const double b = cb / 255.0, s = cs / 255.0;
  const double v = s <= 0.5 ? b * 2 * s : b + (2 * s - 1) - b * (2 * s - 1);
  return static_cast<uint8_t>(v * 255 + 0.5);
}

// A blank composite stays unread: the flat reading composites every layer,
// the layered one leaves the library's layer out.
TEST_F(ReaderTest, VersionInformationWithoutRealMergedData) {
  OwnedRaster l0(2, 2, 1), l1(2, 2, 2), merged(2, 2, 3);
  const ABitMap* layers[2] = {&l0.map, &l1.map};
  ASSERT_EQ(ABitMap::SaveMultiLayers(path.c_str(), layers, 2, &merged.map, nullptr, 0), 0);
  std::vector<uint8_t> doc = ReadFileBytes(path);
  testing::PsdLayout d = testing::WalkPsd(doc);
  ASSERT_EQ(d.resources.back().id, 1057);
  doc[d.resources.back().dataOffset + 4] = 0;  // has real merged data: no
  testing::WriteFileBytes(path, doc);
  ASSERT_EQ(target.LoadFromFile(path.c_str(), false), 0);
  // The shading layer is opaque and in hard light over the bottom layer.
  for (int i = 0; i < 4; ++i) {
    for (int byte : {0, 1, 2}) {
      EXPECT_EQ(target.pixels[4 * i + byte],
                HardLightReference(l0.bytes[4 * i + byte], l1.bytes[4 * i + byte]))
          << i << " " << byte;
    }
    EXPECT_EQ(target.pixels[4 * i + 3], 0);
  }
  ASSERT_EQ(target.LoadLayeredFromFile(path.c_str(), false), 0);
  EXPECT_EQ(PixelsOf(target), Expected(l0.bytes, false));
  // Without the flag the real composite is read.
  doc[d.resources.back().dataOffset + 4] = 1;
  testing::WriteFileBytes(path, doc);
  ASSERT_EQ(target.LoadFromFile(path.c_str(), false), 0);
  EXPECT_EQ(PixelsOf(target), Expected(merged.bytes, false));
}

// Every document cut short fails, and leaves the receiver either untouched
// or without pixels, never with a partial image.
TEST_F(ReaderTest, CutDocumentsFailAtEveryLength) {
  OwnedRaster l0(3, 2, 1), l1(3, 2, 2), merged(3, 2, 3);
  const ABitMap* layers[2] = {&l0.map, &l1.map};
  ASSERT_EQ(ABitMap::SaveMultiLayers(path.c_str(), layers, 2, &merged.map, &l1.map, 0), 0);
  std::vector<uint8_t> ours = ReadFileBytes(path);
  TestDoc packed;
  packed.rows = 3, packed.columns = 4, packed.channels = 4, packed.layerSection = true;
  packed.compositeCompression = 1;
  std::vector<uint8_t> plane(12);
  for (int i = 0; i < 12; ++i) plane[i] = static_cast<uint8_t>(i < 6 ? 3 : i);
  packed.composite = {plane, plane, plane, plane};
  TestLayer l;
  l.top = 1, l.left = 1, l.bottom = 3, l.right = 4;
  l.channels = {Channel(-1, 1, std::vector<uint8_t>(6, 9)), Channel(0, 1, {1, 1, 1, 2, 3, 4}),
                Channel(1, 0, {5, 6, 7, 8, 9, 10}), Channel(2, 1, {4, 4, 4, 4, 4, 4})};
  packed.layers = {l};
  std::vector<uint8_t> theirs = BuildPsd(packed);

  for (const std::vector<uint8_t>* full : {&ours, &theirs}) {
    for (bool layered : {false, true}) {
      ABitMap reference;
      ASSERT_EQ(layered ? ReadLayeredImage(full->data(), full->size(), true, &reference)
                        : ReadCompositeImage(full->data(), full->size(), true, &reference),
                PsdRead::kOk);
      size_t succeeded = 0;
      const size_t imageAt = testing::WalkPsd(*full).compositeOffset;
      for (size_t cut = 0; cut < full->size(); ++cut) {
        SCOPED_TRACE(std::to_string(cut) + (layered ? " layered" : " flat"));
        target.Allocate(2, 2, 32);
        std::memset(target.pixels, 0x77, 16);
        uint8_t* held = target.pixels;
        const PsdRead r = layered ? ReadLayeredImage(full->data(), cut, true, &target)
                                  : ReadCompositeImage(full->data(), cut, true, &target);
        if (r == PsdRead::kOk && !layered && cut == imageAt) {
          // No composite at all: the layers make it (tested on its own).
        } else if (r == PsdRead::kOk) {
          // Only bytes past everything this reading uses may be missing.
          ++succeeded;
          EXPECT_EQ(PixelsOf(target), PixelsOf(reference));
        } else if (target.pixels != nullptr) {
          EXPECT_EQ(target.pixels, held);
          EXPECT_EQ(PixelsOf(target), std::vector<uint8_t>(16, 0x77));
        }
        target.Release();
      }
      reference.Release();
      // The composite is the end of the document: every cut fails.
      if (!layered) EXPECT_EQ(succeeded, 0u);
    }
  }
}

TEST_F(ReaderTest, RowsWhoseBytesEndEarlyFailAfterDecodingStarted) {
  TestDoc d;
  d.rows = 2, d.columns = 3, d.compositeCompression = 1;
  d.composite = {{1, 2, 3, 4, 5, 6}, {1, 2, 3, 4, 5, 6}, {1, 2, 3, 4, 5, 6}};
  std::vector<uint8_t> doc = BuildPsd(d);
  // Row 0 of red is a 4-byte literal {2, 1, 2, 3}; a count of 3 cuts it short
  // while the counts still add up inside the document.
  const size_t counts = 26 + 4 + 4 + 4 + 2;
  ASSERT_EQ(testing::BE16At(doc, counts), 4);
  doc[counts + 1] = 3;
  target.Allocate(3, 2, 32);
  EXPECT_EQ(ReadCompositeImage(doc.data(), doc.size(), false, &target), PsdRead::kRowIncomplete);
  EXPECT_EQ(target.pixels, nullptr);
  // A count too small for any row of 3 samples is refused up front.
  doc[counts + 1] = 1;
  target.Allocate(3, 2, 32);
  uint8_t* held = target.pixels;
  EXPECT_EQ(ReadCompositeImage(doc.data(), doc.size(), false, &target), PsdRead::kTruncated);
  EXPECT_EQ(target.pixels, held);
}

// Rows read to a sink: the size first, then every row in order, the same
// pixels a raster read gives, or fewer rows when the sink stops the read.
struct CollectedRows {
  int32_t width = -1, height = -1;
  int begins = 0;
  std::vector<uint32_t> order;
  std::vector<uint8_t> pixels;
  bool acceptSize = true;
  uint32_t stopAfter = UINT32_MAX;  // rows accepted before the sink says no

  PsdRowSink Sink() {
    return PsdRowSink{
        [](void* c, int32_t w, int32_t h) {
          CollectedRows* r = static_cast<CollectedRows*>(c);
          r->width = w, r->height = h, ++r->begins;
          return r->acceptSize;
        },
        [](void* c, uint32_t y, const uint8_t* row) {
          CollectedRows* r = static_cast<CollectedRows*>(c);
          r->order.push_back(y);
          r->pixels.insert(r->pixels.end(), row, row + 4 * static_cast<size_t>(r->width));
          return r->order.size() <= r->stopAfter;
        },
        this};
  }
};

TEST_F(ReaderTest, RowSinksGetTheRowsARasterReadGives) {
  OwnedRaster l0(37, 11, 1), l1(37, 11, 2), merged(37, 11, 3);
  const ABitMap* layers[2] = {&l0.map, &l1.map};
  TestDoc packed;
  packed.rows = 11, packed.columns = 37, packed.compositeCompression = 1;
  for (int c = 2; c >= 0; --c) {
    std::vector<uint8_t> plane(37 * 11);
    for (size_t i = 0; i < plane.size(); ++i) plane[i] = i % 9 < 5 ? 40 : merged.bytes[4 * i + c];
    packed.composite.push_back(plane);
  }
  const std::string packedPath = dir.File("packed.psd");
  testing::WriteFileBytes(packedPath, BuildPsd(packed));
  ASSERT_EQ(ABitMap::SaveMultiLayers(path.c_str(), layers, 2, &merged.map, nullptr, 0), 0);
  for (const std::string& file : {path, packedPath}) {
    for (bool layered : {false, true}) {
      SCOPED_TRACE(file + (layered ? " layered" : " composite"));
      ASSERT_EQ(layered ? target.LoadLayeredFromFile(file.c_str(), false)
                        : target.LoadFromFile(file.c_str(), false),
                0);
      CollectedRows rows;
      EXPECT_EQ(ReadFileRows(file.c_str(), layered, false, rows.Sink()), PsdRead::kOk);
      EXPECT_EQ(rows.begins, 1);
      EXPECT_EQ(rows.width, 37);
      EXPECT_EQ(rows.height, 11);
      std::vector<uint32_t> inOrder;
      for (uint32_t y = 0; y < 11; ++y) inOrder.push_back(y);
      EXPECT_EQ(rows.order, inOrder);
      EXPECT_EQ(rows.pixels, PixelsOf(target));
      // From bytes in memory too.
      std::vector<uint8_t> doc = ReadFileBytes(file);
      PsdSource memory = PsdSource::Memory(doc.data(), doc.size());
      CollectedRows fromMemory;
      EXPECT_EQ(layered ? ReadLayeredImage(memory, false, fromMemory.Sink())
                        : ReadCompositeImage(memory, false, fromMemory.Sink()),
                PsdRead::kOk);
      EXPECT_EQ(fromMemory.pixels, rows.pixels);
    }
  }
}

TEST_F(ReaderTest, RowSinksEndReadsAndSeeFailuresAfterTheirRows) {
  OwnedRaster src(9, 6, 5);
  ASSERT_EQ(src.map.SaveToFile(path.c_str(), false), 0);
  {
    SCOPED_TRACE("the size refused: no row decoded");
    CollectedRows rows;
    rows.acceptSize = false;
    EXPECT_EQ(ReadFileRows(path.c_str(), false, false, rows.Sink()), PsdRead::kStopped);
    EXPECT_EQ(rows.begins, 1);
    EXPECT_TRUE(rows.order.empty());
  }
  {
    SCOPED_TRACE("a row refused: the read ends there");
    CollectedRows rows;
    rows.stopAfter = 2;
    EXPECT_EQ(ReadFileRows(path.c_str(), true, false, rows.Sink()), PsdRead::kStopped);
    EXPECT_EQ(rows.order, (std::vector<uint32_t>{0, 1, 2}));
  }
  {
    SCOPED_TRACE("no file, or a refused document: the sink is never called");
    CollectedRows rows;
    EXPECT_EQ(ReadFileRows(dir.File("none.psd").c_str(), false, false, rows.Sink()),
              PsdRead::kNoDocument);
    std::vector<uint8_t> doc = ReadFileBytes(path);
    doc[23] = 16;  // depth
    testing::WriteFileBytes(path, doc);
    EXPECT_EQ(ReadFileRows(path.c_str(), false, false, rows.Sink()),
              PsdRead::kUnsupportedDepth);
    EXPECT_EQ(rows.begins, 0);
  }
  {
    SCOPED_TRACE("a row whose bytes end early: rows before it, then the failure");
    TestDoc d;
    d.rows = 2, d.columns = 3, d.compositeCompression = 1;
    d.composite = {{1, 2, 3, 4, 5, 6}, {1, 2, 3, 4, 5, 6}, {1, 2, 3, 4, 5, 6}};
    std::vector<uint8_t> doc = BuildPsd(d);
    // Row 1 of blue, the last plane, is cut short while the counts still
    // add up; the planes before it keep their places.
    const size_t counts = 26 + 4 + 4 + 4 + 2;
    ASSERT_EQ(testing::BE16At(doc, counts + 10), 4);
    doc[counts + 11] = 3;
    PsdSource memory = PsdSource::Memory(doc.data(), doc.size());
    CollectedRows rows;
    EXPECT_EQ(ReadCompositeImage(memory, false, rows.Sink()), PsdRead::kRowIncomplete);
    EXPECT_EQ(rows.order, std::vector<uint32_t>{0});
  }
}

TEST_F(ReaderTest, WholeFileReadsAndTheirFailures) {
  uint32_t length = 99;
  EXPECT_EQ(ReadWholeFile(dir.File("missing.psd").c_str(), &length), nullptr);
  EXPECT_EQ(length, 0u);
  testing::WriteFileBytes(path, {});
  EXPECT_EQ(ReadWholeFile(path.c_str(), &length), nullptr);
  EXPECT_EQ(target.LoadFromFile(path.c_str(), false), -1);
  EXPECT_EQ(target.LoadLayeredFromFile(path.c_str(), false), -1);
  EXPECT_TRUE(seams::NoteBoxes().empty());

  OwnedRaster src(2, 2, 5);
  ASSERT_EQ(src.map.SaveToFile(path.c_str(), false), 0);
  uint8_t* block = ReadWholeFile(path.c_str(), &length);
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(length, 52u);
  EXPECT_EQ(std::vector<uint8_t>(block, block + length), ReadFileBytes(path));
  TrackedFree(block);

  // The document's block cannot be had: the note names the reader.
  seams::FailNthAllocation(1);
  EXPECT_EQ(target.LoadFromFile(path.c_str(), false), -1);
  seams::FailNthAllocation(1);
  EXPECT_EQ(target.LoadLayeredFromFile(path.c_str(), false), -1);
  ASSERT_EQ(seams::NoteBoxes().size(), 2u);
  EXPECT_EQ(seams::NoteBoxes()[0].text, "LoadFromFile");
  EXPECT_EQ(seams::NoteBoxes()[1].text, "LoadFromFile");

  // The pixels cannot be had: the raster is left without pixels.
  seams::ClearNoteBoxes();
  target.Allocate(1, 1, 32);
  seams::FailNthAllocation(2);
  EXPECT_EQ(target.LoadFromFile(path.c_str(), false), -1);
  EXPECT_EQ(target.pixels, nullptr);
  ASSERT_EQ(seams::NoteBoxes().size(), 1u);
  EXPECT_EQ(seams::NoteBoxes()[0].text, "ABitMap::Allocate");

  // Bytes handed over with a length of 0 are no document.
  std::vector<uint8_t> doc = ReadFileBytes(path);
  EXPECT_EQ(target.LoadFromFile(path.c_str(), false, doc.data(), 0), -1);
}

}  // namespace
}  // namespace kelvra
