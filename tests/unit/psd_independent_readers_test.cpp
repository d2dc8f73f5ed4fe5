// Readers we did not write open what we write: ImageMagick (composite and
// each layer), ag-psd (layers with their names, blend modes, opacity,
// protection, ids and transparency; image resources; the thumbnail) and PIL
// (composite only: its layer reader assumes another channel order). The
// tools come from scripts/install-deps.sh.
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "bitmap/abitmap.h"
#include "bitmap/psd_templates.h"
#include "tests/support/test_env.h"

namespace kelvra {
namespace {

using testing::ReadFileBytes;
using testing::RunCommand;

// 7 x 3: an odd pixel count, so the layer info length is odd too, and more
// than the 16 pixels the wide plane loops take a step.
constexpr int32_t kW = 7, kH = 3;

struct Raster {
  std::vector<uint8_t> bytes;
  ABitMap map;
  explicit Raster(uint32_t seed) : bytes(4 * kW * kH) {
    for (size_t i = 0; i < bytes.size(); ++i) {
      bytes[i] = static_cast<uint8_t>(seed * 53 + i * 17 + (i >> 2));
    }
    map.width = kW, map.height = kH, map.pixels = bytes.data();
  }
  // Rows of R, G, B (and A) bytes, as the readers deliver them.
  std::vector<uint8_t> Interleaved(bool withAlpha, const std::vector<uint8_t>* alpha = nullptr,
                                   uint8_t fixedAlpha = 255) const {
    std::vector<uint8_t> out;
    for (int p = 0; p < kW * kH; ++p) {
      out.push_back(bytes[4 * p + 2]);
      out.push_back(bytes[4 * p + 1]);
      out.push_back(bytes[4 * p + 0]);
      if (withAlpha) out.push_back(alpha ? (*alpha)[p] : fixedAlpha);
    }
    return out;
  }
};

class IndependentReaders : public testing::KelvraTest {
 protected:
  testing::TempDir dir;
  Raster l0{1}, l1{2}, merged{3}, mask{4};
  std::vector<uint8_t> transparency;  // what the masked layer's -1 channel holds

  void SetUp() override {
    KelvraTest::SetUp();
    // Mask pixels alternate between a non-negative and a negative integer.
    for (int p = 0; p < kW * kH; ++p) {
      mask.bytes[4 * p + 3] = p % 3 == 0 ? 0x80 : 0x10;
      transparency.push_back(p % 3 == 0 ? 255 : 0);
    }
  }
  std::string Layered(bool masked) {
    std::string path = dir.File(masked ? "masked.psd" : "shading.psd");
    const ABitMap* layers[2] = {&l0.map, &l1.map};
    EXPECT_EQ(ABitMap::SaveMultiLayers(path.c_str(), layers, 2, &merged.map,
                                       masked ? &mask.map : nullptr, 0),
              0);
    return path;
  }
  std::string Flat(bool withAlpha) {
    std::string path = dir.File(withAlpha ? "flat4.psd" : "flat3.psd");
    EXPECT_EQ(l0.map.SaveToFile(path.c_str(), withAlpha), 0);
    return path;
  }
  std::vector<uint8_t> Convert(const std::string& frame, const char* format) {
    std::string out = dir.File("convert.raw");
    std::string log;
    EXPECT_EQ(RunCommand("convert '" + frame + "' -depth 8 " + format + ":'" + out + "'", &log),
              0)
        << log;
    return ReadFileBytes(out);
  }
};

TEST_F(IndependentReaders, ImageMagickReadsCompositeAndLayers) {
  for (bool masked : {false, true}) {
    SCOPED_TRACE(masked ? "masked" : "shading");
    const std::string doc = Layered(masked);
    std::string frames;
    ASSERT_EQ(RunCommand("identify -format '%W %H %z %[channels]\\n' '" + doc + "'", &frames), 0)
        << frames;
    std::istringstream lines(frames);
    std::string line;
    int count = 0;
    while (std::getline(lines, line)) {
      EXPECT_EQ(line.substr(0, 7), "7 3 8 s") << line;  // 7 x 3, 8-bit, sRGB
      ++count;
    }
    EXPECT_EQ(count, 3) << "composite and two layers";
    EXPECT_EQ(Convert(doc + "[0]", "rgb"), merged.Interleaved(false));
    EXPECT_EQ(Convert(doc + "[1]", "rgba"), l0.Interleaved(true));
    EXPECT_EQ(Convert(doc + "[2]", "rgba"),
              l1.Interleaved(true, masked ? &transparency : nullptr));
  }
  EXPECT_EQ(Convert(Flat(false), "rgb"), l0.Interleaved(false));
  // A fourth channel of a flat document is an extra (alpha) channel, which
  // ImageMagick does not take for transparency: only the colours compare.
  EXPECT_EQ(Convert(Flat(true), "rgb"), l0.Interleaved(false));
}

TEST_F(IndependentReaders, PilReadsTheComposite) {
  struct Case { std::string doc; const char* mode; std::vector<uint8_t> pixels; };
  std::vector<uint8_t> alpha;
  for (int p = 0; p < kW * kH; ++p) alpha.push_back(l0.bytes[4 * p + 3]);
  const Case cases[] = {{Layered(false), "RGB", merged.Interleaved(false)},
                        {Layered(true), "RGB", merged.Interleaved(false)},
                        {Flat(false), "RGB", l0.Interleaved(false)},
                        {Flat(true), "RGBA", l0.Interleaved(true, &alpha)}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.doc);
    std::string out = dir.File("pil.raw");
    std::string log;
    ASSERT_EQ(RunCommand("/usr/bin/python3 -c \"import sys\nfrom PIL import Image\n"
                         "im = Image.open(sys.argv[1])\nprint(im.mode, *im.size)\n"
                         "open(sys.argv[2], 'wb').write(im.tobytes())\" '" +
                             c.doc + "' '" + out + "'",
                         &log),
              0)
        << log;
    EXPECT_EQ(log, std::string(c.mode) + " 7 3\n");
    EXPECT_EQ(ReadFileBytes(out), c.pixels);
  }
}

// ag-psd's report as key -> JSON text.
std::map<std::string, std::string> AgPsd(const std::string& doc, const std::string& outDir,
                                         std::string* log) {
  std::map<std::string, std::string> fields;
  const std::string script = std::string(KELVRA_SOURCE_DIR) + "/tests/js/dump_psd.js";
  if (RunCommand("node '" + script + "' '" + doc + "' '" + outDir + "'", log) != 0) {
    return fields;
  }
  std::istringstream lines(*log);
  std::string line;
  while (std::getline(lines, line)) {
    size_t eq = line.find('=');
    if (eq != std::string::npos) fields[line.substr(0, eq)] = line.substr(eq + 1);
  }
  return fields;
}

TEST_F(IndependentReaders, AgPsdReadsLayersResourcesAndThumbnail) {
  for (bool masked : {false, true}) {
    SCOPED_TRACE(masked ? "masked" : "shading");
    std::string log;
    std::map<std::string, std::string> f = AgPsd(Layered(masked), dir.path(), &log);
    ASSERT_FALSE(f.empty()) << "ag-psd failed (run scripts/install-deps.sh): " << log;
    const std::map<std::string, std::string> expected = {
        {"width", "7"},
        {"height", "3"},
        {"channels", "3"},
        {"bitsPerChannel", "8"},
        {"colorMode", "3"},
        {"layerCount", "2"},
        {"layer0.name", "\"Background\""},
        {"layer0.nameSource", "\"bgnd\""},
        {"layer0.id", "1"},
        {"layer0.blendMode", "\"normal\""},
        {"layer0.opacity", "1"},
        {"layer0.transparencyProtected", "true"},
        {"layer0.protected", "{\"transparency\":true,\"composite\":false,\"position\":true}"},
        {"layer0.blendClippendElements", "true"},
        {"layer0.knockout", "false"},
        {"layer0.referencePoint", "{\"x\":0,\"y\":0}"},
        // The Unicode name is whole; the short name is cut to 31 characters.
        {"layer1.name", masked ? "\"Kelvra Masked Layer\"" : "\"KShading (do not edit this layer)\""},
        {"layer1.id", masked ? "3" : "2"},
        {"layer1.blendMode", masked ? "\"normal\"" : "\"hard light\""},
        {"layer1.opacity", "1"},
        {"layer1.transparencyProtected", "false"},
        {"layer1.protected",
         masked ? "{\"transparency\":true,\"composite\":false,\"position\":false}"
                : "{\"transparency\":true,\"composite\":true,\"position\":true}"},
        {"layer1.bottom", "3"},
        {"layer1.right", "7"},
    };
    for (const auto& [key, value] : expected) EXPECT_EQ(f[key], value) << key;
    EXPECT_EQ(ReadFileBytes(dir.File("composite.rgba")), merged.Interleaved(true));
    EXPECT_EQ(ReadFileBytes(dir.File("layer0.rgba")), l0.Interleaved(true));
    EXPECT_EQ(ReadFileBytes(dir.File("layer1.rgba")),
              l1.Interleaved(true, masked ? &transparency : nullptr));
    if (masked) {
      EXPECT_EQ(f["resources"], "[]");
      continue;
    }
    const std::map<std::string, std::string> resources = {
        {"resource.resolutionInfo",
         "{\"horizontalResolution\":72,\"horizontalResolutionUnit\":\"PPI\",\"widthUnit\":"
         "\"Inches\",\"verticalResolution\":72,\"verticalResolutionUnit\":\"PPI\","
         "\"heightUnit\":\"Inches\"}"},
        {"resource.globalAngle", "120"},
        {"resource.globalAltitude", "30"},
        {"resource.layerState", "0"},
        {"resource.idsSeedNumber", "2"},
        {"resource.iccUntaggedProfile", "true"},
        {"resource.copyrighted", "false"},
        {"resource.versionInfo",
         "{\"hasRealMergedData\":true,\"writerName\":\"Adobe Photoshop\",\"readerName\":"
         "\"Adobe Photoshop 6.0\",\"fileVersion\":1}"},
        {"thumbnail.width", "2"},
        {"thumbnail.height", "2"},
    };
    for (const auto& [key, value] : resources) EXPECT_EQ(f[key], value) << key;
    // The slice covers the 2 x 2 template document whatever this one's size.
    EXPECT_NE(f["resource.slices"].find("\"bounds\":{\"top\":0,\"left\":0,\"bottom\":2,"
                                        "\"right\":2},\"groupName\":\"Copy of "
                                        "TempLaunchEditorExport\""),
              std::string::npos)
        << f["resource.slices"];
    // The thumbnail's JPEG bytes as stored, and ag-psd's own decoding of them:
    // 2 x 2 pixels of one colour near (200, 40, 40).
    std::vector<uint8_t> jpeg = ReadFileBytes(dir.File("thumbnail.jpg"));
    EXPECT_EQ(jpeg.size(), kThumbnailJfifBytes);
    std::string decoded = f["thumbnail.decoded"];
    ASSERT_GE(decoded.size(), 2u);
    std::vector<int> values;
    std::istringstream in(decoded.substr(1, decoded.size() - 2));
    for (std::string v; std::getline(in, v, ',');) values.push_back(std::stoi(v));
    ASSERT_EQ(values.size(), 2u + 16) << decoded;
    EXPECT_EQ(values[0], 2);
    EXPECT_EQ(values[1], 2);
    for (int p = 0; p < 4; ++p) {
      EXPECT_NEAR(values[2 + 4 * p], 200, 6);
      EXPECT_NEAR(values[3 + 4 * p], 40, 6);
      EXPECT_NEAR(values[4 + 4 * p], 40, 6);
    }
  }
}

TEST_F(IndependentReaders, AgPsdReadsFlatDocuments) {
  for (bool withAlpha : {false, true}) {
    std::string log;
    std::map<std::string, std::string> f = AgPsd(Flat(withAlpha), dir.path(), &log);
    ASSERT_FALSE(f.empty()) << log;
    EXPECT_EQ(f["channels"], withAlpha ? "4" : "3");
    EXPECT_EQ(f["layerCount"], "0");
    std::vector<uint8_t> alpha;
    for (int p = 0; p < kW * kH; ++p) alpha.push_back(withAlpha ? l0.bytes[4 * p + 3] : 255);
    EXPECT_EQ(ReadFileBytes(dir.File("composite.rgba")), l0.Interleaved(true, &alpha));
  }
}

}  // namespace
}  // namespace kelvra
