// The template blocks: each field where the layout puts it, the resources at
// their offsets, and a thumbnail that a JPEG decoder reads as 2 x 2 pixels.
#include "bitmap/psd_templates.h"

#include <cstring>
#include <string>
#include <vector>

#include "tests/support/psd_layout.h"
#include "tests/support/test_env.h"

namespace kelvra {
namespace {

using testing::BE16At;
using testing::BE32At;

template <size_t N>
std::vector<uint8_t> Vec(const std::array<uint8_t, N>& a) {
  return std::vector<uint8_t>(a.begin(), a.end());
}

std::string TextAt(const std::vector<uint8_t>& b, size_t at, size_t n) {
  return std::string(b.begin() + at, b.begin() + at + n);
}

std::string Utf16At(const std::vector<uint8_t>& b, size_t at, size_t units) {
  std::string s;
  for (size_t i = 0; i < units; ++i) {
    EXPECT_EQ(b[at + 2 * i], 0) << "non-ASCII code unit";
    s.push_back(static_cast<char>(b[at + 2 * i + 1]));
  }
  return s;
}

// One additional-layer-information block as the layout table gives it.
struct Info {
  size_t offset;
  const char* key;
  uint32_t length;
  std::vector<uint8_t> dataStart;  // the first bytes of its data
};

void CheckLayerBlock(const std::vector<uint8_t>& b, const std::string& shortName,
                     const std::string& fullName, const std::vector<Info>& infos) {
  // Common part: no mask, 40 bytes of blending ranges letting all through.
  EXPECT_EQ(BE32At(b, 0), 0u);
  EXPECT_EQ(BE32At(b, 4), 40u);
  for (int r = 0; r < 10; ++r) EXPECT_EQ(BE32At(b, 8 + 4 * r), 0x0000FFFFu) << r;
  // Length-prefixed name, padded to a multiple of 4.
  EXPECT_EQ(b[48], shortName.size());
  EXPECT_EQ(TextAt(b, 49, shortName.size()), shortName);
  for (size_t i = 49 + shortName.size(); i < infos[0].offset; ++i) EXPECT_EQ(b[i], 0);
  EXPECT_EQ((1 + shortName.size() + 3) / 4 * 4, infos[0].offset - 48);
  size_t end = 0;
  for (const Info& info : infos) {
    SCOPED_TRACE(info.key);
    EXPECT_EQ(TextAt(b, info.offset, 4), "8BIM");
    EXPECT_EQ(TextAt(b, info.offset + 4, 4), info.key);
    EXPECT_EQ(BE32At(b, info.offset + 8), info.length);
    for (size_t i = 0; i < info.dataStart.size(); ++i) {
      EXPECT_EQ(b[info.offset + 12 + i], info.dataStart[i]) << i;
    }
    end = info.offset + 12 + info.length;
  }
  EXPECT_EQ(end, b.size()) << "blocks do not end the data";
  // The Unicode name is whole, whatever the short name keeps.
  const Info& luni = infos[0];
  ASSERT_EQ(std::string(luni.key), "luni");
  EXPECT_EQ(BE32At(b, luni.offset + 12), fullName.size());
  EXPECT_EQ(Utf16At(b, luni.offset + 16, fullName.size()), fullName);
}

const std::vector<uint8_t> kZeros8(8, 0);

TEST(PsdTemplates, BackgroundLayerExtra) {
  CheckLayerBlock(Vec(BackgroundLayerExtra), "Background", "Background",
                  {{60, "luni", 24, {0, 0, 0, 10}},
                   {96, "lnsr", 4, {'b', 'g', 'n', 'd'}},
                   {112, "lyid", 4, {0, 0, 0, 1}},
                   {128, "clbl", 4, {1, 0, 0, 0}},
                   {144, "infx", 4, {0, 0, 0, 0}},
                   {160, "knko", 4, {0, 0, 0, 0}},
                   {176, "lspf", 4, {0, 0, 0, 5}},
                   {192, "lclr", 8, kZeros8},
                   {212, "fxrp", 16, std::vector<uint8_t>(16, 0)}});
}

TEST(PsdTemplates, ShadingLayerExtraCutsItsShortNameTo31Characters) {
  CheckLayerBlock(Vec(ShadingLayerExtra), "KShading (do not edit this laye",
                  "KShading (do not edit this layer)",
                  {{80, "luni", 72, {0, 0, 0, 33}},
                   {164, "lyid", 4, {0, 0, 0, 2}},
                   {180, "clbl", 4, {1, 0, 0, 0}},
                   {196, "infx", 4, {0, 0, 0, 0}},
                   {212, "knko", 4, {0, 0, 0, 0}},
                   {228, "lspf", 4, {0x80, 0, 0, 7}},
                   {244, "lclr", 8, kZeros8},
                   {264, "fxrp", 16, std::vector<uint8_t>(16, 0)}});
}

TEST(PsdTemplates, MaskedLayerExtra) {
  CheckLayerBlock(Vec(MaskedLayerExtra), "Kelvra Masked Layer", "Kelvra Masked Layer",
                  {{68, "luni", 44, {0, 0, 0, 19}},
                   {124, "lyid", 4, {0, 0, 0, 3}},
                   {140, "clbl", 4, {1, 0, 0, 0}},
                   {156, "infx", 4, {0, 0, 0, 0}},
                   {172, "knko", 4, {0, 0, 0, 0}},
                   {188, "lspf", 4, {0, 0, 0, 1}},
                   {204, "lclr", 8, kZeros8},
                   {224, "fxrp", 16, std::vector<uint8_t>(16, 0)}});
}

// The resources section wrapped in the least document the layout walk reads.
testing::PsdLayout WalkResources() {
  std::vector<uint8_t> doc(26, 0);
  std::memcpy(doc.data(), "8BPS", 4);
  auto be32 = [&](uint32_t v) {
    for (int s = 24; s >= 0; s -= 8) doc.push_back(static_cast<uint8_t>(v >> s));
  };
  be32(0);
  be32(static_cast<uint32_t>(ImageResourcesTemplate.size()));
  doc.insert(doc.end(), ImageResourcesTemplate.begin(), ImageResourcesTemplate.end());
  be32(0);
  doc.push_back(0), doc.push_back(0);
  return testing::WalkPsd(doc);
}

TEST(PsdTemplates, SeventeenResourcesAtTheirOffsets) {
  struct Row { size_t start; uint16_t id; const char* name; uint32_t size; };
  const Row rows[] = {
      {0, 1005, "Resolution", 16},
      {38, 1037, "FX Global Lighting Angle", 4},
      {78, 1049, "FX Global Altitude", 4},
      {112, 1011, "Print Flags", 9},
      {144, 1034, "Copyright Flag", 1},
      {172, 10000, "Japanese Print Flags", 10},
      {214, 1013, "Color Halftone Settings", 72},
      {320, 1016, "Color Transfer Settings", 112},
      {466, 1024, "Layer State", 2},
      {490, 1026, "Layer Groups", 4},
      {518, 1032, "Guides", 16},
      {552, 1054, "URL overrides", 4},
      {580, 1050, "Slices", 157},
      {756, 1041, "ICC Untagged Flag", 1},
      {786, 1044, "Layer ID Generator Base", 4},
      {824, 1036, "New Windows Thumbnail", 567},
      {1424, 1057, "Version compatibility info", 85},
  };
  testing::PsdLayout d = WalkResources();
  ASSERT_TRUE(d.parsed);
  EXPECT_TRUE(d.faults.empty());
  ASSERT_EQ(d.resources.size(), 17u);
  for (size_t i = 0; i < 17; ++i) {
    SCOPED_TRACE(rows[i].name);
    EXPECT_EQ(d.resources[i].start, rows[i].start);
    EXPECT_EQ(d.resources[i].id, rows[i].id);
    EXPECT_EQ(d.resources[i].name, rows[i].name);
    EXPECT_EQ(d.resources[i].size, rows[i].size);
  }
}

// Data bytes of the resources given in hex by the table.
TEST(PsdTemplates, ResourceDataBytes) {
  const std::vector<uint8_t> b = Vec(ImageResourcesTemplate);
  testing::PsdLayout d = WalkResources();
  ASSERT_EQ(d.resources.size(), 17u);
  auto data = [&](size_t i) {
    size_t at = d.resources[i].dataOffset - d.resourcesOffset;
    return std::vector<uint8_t>(b.begin() + at, b.begin() + at + d.resources[i].size);
  };
  using V = std::vector<uint8_t>;
  EXPECT_EQ(data(0), (V{0, 0x48, 0, 0, 0, 1, 0, 1, 0, 0x48, 0, 0, 0, 1, 0, 1}));
  EXPECT_EQ(data(1), (V{0, 0, 0, 0x78}));
  EXPECT_EQ(data(2), (V{0, 0, 0, 0x1E}));
  EXPECT_EQ(data(3), (V{0, 0, 0, 0, 0, 0, 0, 0, 1}));
  EXPECT_EQ(data(4), (V{0}));
  EXPECT_EQ(data(5), (V{0, 1, 0, 0, 0, 0, 0, 0, 0, 2}));
  const V screens = {0x00, 0x2F, 0x66, 0x66, 0x00, 0x01, 0x00, 0x6C, 0x66, 0x66, 0x00, 0x06,
                     0, 0, 0, 0, 0, 1,
                     0x00, 0x2F, 0x66, 0x66, 0x00, 0x01, 0x00, 0xA1, 0x99, 0x9A, 0x00, 0x06,
                     0, 0, 0, 0, 0, 1,
                     0x00, 0x32, 0x00, 0x00, 0x00, 0x01, 0x00, 0x5A, 0x00, 0x00, 0x00, 0x06,
                     0, 0, 0, 0, 0, 1,
                     0x00, 0x35, 0x00, 0x00, 0x00, 0x01, 0x00, 0x2D, 0x00, 0x00, 0x00, 0x06,
                     0, 0, 0, 0, 0, 1};
  EXPECT_EQ(data(6), screens);
  V transfer;
  for (int ink = 0; ink < 4; ++ink) {
    transfer.insert(transfer.end(), {0, 0});
    for (int i = 0; i < 11; ++i) transfer.insert(transfer.end(), {0xFF, 0xFF});
    transfer.insert(transfer.end(), {0x03, 0xE8, 0, 0});
  }
  EXPECT_EQ(data(7), transfer);
  EXPECT_EQ(data(8), (V{0, 0}));
  EXPECT_EQ(data(9), (V{0, 0, 0, 0}));
  EXPECT_EQ(data(10), (V{0, 0, 0, 1, 0, 0, 2, 0x40, 0, 0, 2, 0x40, 0, 0, 0, 0}));
  EXPECT_EQ(data(11), (V{0, 0, 0, 0}));
  EXPECT_EQ(data(13), (V{1}));
  EXPECT_EQ(data(14), (V{0, 0, 0, 2}));
  // Slices: version 6, a 2 x 2 bounding rectangle, the group name, one slice
  // covering the same 2 x 2 rectangle.
  V slices = data(12);
  EXPECT_EQ(BE32At(slices, 0), 6u);
  EXPECT_EQ((V(slices.begin() + 4, slices.begin() + 20)),
            (V{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2, 0, 0, 0, 2}));
  EXPECT_EQ(BE32At(slices, 20), 30u);
  EXPECT_EQ(Utf16At(slices, 24, 30), "Copy of TempLaunchEditorExport");
  EXPECT_EQ(BE32At(slices, 84), 1u);     // slice count
  EXPECT_EQ(BE32At(slices, 100), 0u);    // empty name, after id, group id, origin
  EXPECT_EQ(BE32At(slices, 104), 1u);    // type
  EXPECT_EQ(BE32At(slices, 108), 0u);    // left
  EXPECT_EQ(BE32At(slices, 112), 0u);    // top
  EXPECT_EQ(BE32At(slices, 116), 2u);    // right
  EXPECT_EQ(BE32At(slices, 120), 2u);    // bottom
  // Version information: has real merged data, writer and reader names.
  V version = data(16);
  EXPECT_EQ(BE32At(version, 0), 1u);
  EXPECT_EQ(version[4], 1);
  EXPECT_EQ(BE32At(version, 5), 15u);
  EXPECT_EQ(Utf16At(version, 9, 15), "Adobe Photoshop");
  EXPECT_EQ(BE32At(version, 39), 19u);
  EXPECT_EQ(Utf16At(version, 43, 19), "Adobe Photoshop 6.0");
  EXPECT_EQ(BE32At(version, 81), 1u);
  // Odd data sizes are followed by one zero byte.
  for (size_t i = 0; i < 17; ++i) {
    if (d.resources[i].size & 1) {
      EXPECT_EQ(b[d.resources[i].dataOffset - d.resourcesOffset + d.resources[i].size], 0);
    }
  }
}

std::vector<uint8_t> ThumbnailResource() {
  testing::PsdLayout d = WalkResources();
  const testing::PsdResource& r = d.resources.at(15);
  size_t at = r.dataOffset - d.resourcesOffset;
  return std::vector<uint8_t>(ImageResourcesTemplate.begin() + at,
                              ImageResourcesTemplate.begin() + at + r.size);
}

TEST(PsdTemplates, ThumbnailIsA539ByteBaselineJfifWithTheStatedMarkers) {
  std::vector<uint8_t> t = ThumbnailResource();
  ASSERT_EQ(t.size(), 567u);
  const uint32_t fields[6] = {1, 2, 2, 8, 16, 539};  // format .. compressed size
  for (int i = 0; i < 6; ++i) EXPECT_EQ(BE32At(t, 4 * i), fields[i]) << i;
  EXPECT_EQ(BE16At(t, 24), 24);  // bits per pixel
  EXPECT_EQ(BE16At(t, 26), 1);   // planes
  std::vector<uint8_t> j(t.begin() + 28, t.end());
  ASSERT_EQ(j.size(), 539u);
  EXPECT_EQ(BE16At(j, 0), 0xFFD8);
  // Marker segments in order, with their lengths and key fields.
  struct Segment { uint16_t marker; uint16_t length; };
  std::vector<Segment> seen;
  size_t at = 2;
  size_t scanStart = 0;
  while (at + 4 <= j.size()) {
    uint16_t marker = BE16At(j, at);
    uint16_t length = BE16At(j, at + 2);
    seen.push_back({marker, length});
    if (marker == 0xFFE0) {
      EXPECT_EQ(TextAt(j, at + 4, 5), std::string("JFIF\0", 5));
      EXPECT_EQ(BE16At(j, at + 9), 0x0102);  // version 1.02
      EXPECT_EQ(j[at + 11], 1);              // dots per inch
      EXPECT_EQ(BE16At(j, at + 12), 72);
      EXPECT_EQ(BE16At(j, at + 14), 72);
      EXPECT_EQ(BE16At(j, at + 16), 0);      // no embedded thumbnail
    } else if (marker == 0xFFEE) {
      EXPECT_EQ(TextAt(j, at + 4, 5), "Adobe");
      EXPECT_EQ(BE16At(j, at + 9), 100);
      EXPECT_EQ(BE16At(j, at + 11), 0x8000);
      EXPECT_EQ(BE16At(j, at + 13), 0);
      EXPECT_EQ(j[at + 15], 1);
    } else if (marker == 0xFFDB) {
      EXPECT_EQ(j[at + 4], 0x00);       // table 0, 8-bit
      EXPECT_EQ(j[at + 4 + 65], 0x01);  // table 1, 8-bit
    } else if (marker == 0xFFC0) {
      const std::vector<uint8_t> frame = {8, 0, 2, 0, 2, 3, 1, 0x22, 0, 2, 0x11, 1, 3, 0x11, 1};
      EXPECT_EQ(std::vector<uint8_t>(j.begin() + at + 4, j.begin() + at + 2 + length), frame);
    } else if (marker == 0xFFDA) {
      EXPECT_EQ(j[at + 4], 3);
      scanStart = at + 2 + length;
      break;
    }
    at += 2 + length;
  }
  const std::vector<uint16_t> order = {0xFFE0, 0xFFEE, 0xFFDB, 0xFFC0, 0xFFDD, 0xFFC4, 0xFFDA};
  ASSERT_EQ(seen.size(), order.size());
  for (size_t i = 0; i < order.size(); ++i) EXPECT_EQ(seen[i].marker, order[i]) << i;
  EXPECT_EQ(seen[2].length, 2 + 2 * 65);  // both quantisation tables
  EXPECT_EQ(seen[4].length, 4);           // restart interval
  EXPECT_EQ(j.size() - 2 - scanStart, 7u) << "coded data bytes";
  EXPECT_EQ(BE16At(j, j.size() - 2), 0xFFD9);
}

TEST(PsdTemplates, ThumbnailDecodesWithLibjpegTo2x2) {
  testing::TempDir dir;
  std::vector<uint8_t> t = ThumbnailResource();
  testing::WriteFileBytes(dir.File("thumb.jpg"), std::vector<uint8_t>(t.begin() + 28, t.end()));
  std::string out;
  ASSERT_EQ(testing::RunCommand("djpeg -pnm '" + dir.File("thumb.jpg") + "' > '" +
                                    dir.File("thumb.ppm") + "'",
                                &out),
            0)
      << out;
  EXPECT_EQ(out, "") << "libjpeg warned";
  std::vector<uint8_t> ppm = testing::ReadFileBytes(dir.File("thumb.ppm"));
  const std::string head = "P6\n2 2\n255\n";
  ASSERT_EQ(ppm.size(), head.size() + 12);
  EXPECT_EQ(TextAt(ppm, 0, head.size()), head);
  // One colour near (200, 40, 40) in all four pixels.
  for (int p = 0; p < 4; ++p) {
    EXPECT_NEAR(ppm[head.size() + 3 * p], 200, 6);
    EXPECT_NEAR(ppm[head.size() + 3 * p + 1], 40, 6);
    EXPECT_NEAR(ppm[head.size() + 3 * p + 2], 40, 6);
  }
}

// The generator kept in tools/ still produces exactly the embedded bytes.
TEST(PsdTemplates, ThumbnailGeneratorReproducesTheEmbeddedImage) {
  testing::TempDir dir;
  std::string out;
  ASSERT_EQ(testing::RunCommand(std::string("/usr/bin/python3 '") + KELVRA_SOURCE_DIR +
                                    "/tools/make_thumbnail_jfif.py' '" +
                                    dir.File("gen.jpg") + "'",
                                &out),
            0)
      << out;
  std::vector<uint8_t> t = ThumbnailResource();
  EXPECT_EQ(testing::ReadFileBytes(dir.File("gen.jpg")),
            std::vector<uint8_t>(t.begin() + 28, t.end()));
}

}  // namespace
}  // namespace kelvra
