// Documents written by other programs (tests/data/psd, see its README): both
// readers against the plane hashes of the fixtures' manifest, which several
// independent readers agree on.
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "bitmap/abitmap.h"
#include "bitmap/psd_reader.h"
#include "tests/support/test_env.h"

namespace kelvra {
namespace {

const std::string kDataDir = std::string(KELVRA_TESTDATA_DIR) + "/psd";

struct Fixture {
  std::string file, fileHash, compositeHash, firstLayerHash;
  int depth = 0, channels = 0, layerCount = 0;
  int rect[4] = {};  // top, left, bottom, right of the first layer
};

// The manifest is JSON; the system Python reads it into one line a fixture.
std::vector<Fixture> Manifest() {
  const std::string script =
      "import json,sys\n"
      "m=json.load(open(sys.argv[1]))\n"
      "for f in m['fixtures']:\n"
      "  r=(f['first_layer'] or {}).get('rect_top_left_bottom_right',[0,0,0,0])\n"
      "  print(f['file'],f['file_sha256'],f['composite_planes_sha256'],"
      "f['first_layer_planes_sha256'] or '-',f['depth'],f['channels'],f['layer_count'],*r)\n";
  testing::TempDir dir;
  testing::WriteFileBytes(dir.File("m.py"), std::vector<uint8_t>(script.begin(), script.end()));
  std::string out;
  EXPECT_EQ(testing::RunCommand("/usr/bin/python3 '" + dir.File("m.py") + "' '" + kDataDir +
                                    "/manifest.json'",
                                &out),
            0)
      << out;
  std::vector<Fixture> list;
  std::istringstream lines(out);
  Fixture f;
  while (lines >> f.file >> f.fileHash >> f.compositeHash >> f.firstLayerHash >> f.depth >>
         f.channels >> f.layerCount >> f.rect[0] >> f.rect[1] >> f.rect[2] >> f.rect[3]) {
    list.push_back(f);
  }
  return list;
}

std::string Sha256(const std::vector<uint8_t>& bytes) {
  testing::TempDir dir;
  testing::WriteFileBytes(dir.File("planes"), bytes);
  std::string out;
  testing::RunCommand("sha256sum '" + dir.File("planes") + "'", &out);
  return out.substr(0, 64);
}

// Planes red, green, blue (only red for one channel) over a rectangle.
std::vector<uint8_t> Planes(const ABitMap& r, int planes, int top, int left, int bottom,
                            int right) {
  std::vector<uint8_t> out;
  const int bytes[3] = {2, 1, 0};
  for (int p = 0; p < planes; ++p) {
    for (int y = top; y < bottom; ++y) {
      for (int x = left; x < right; ++x) out.push_back(r.pixels[4 * (y * r.width + x) + bytes[p]]);
    }
  }
  return out;
}

// The layered reading of the documents with several layers of their own.
// The three-layer picture is the same in every writer's document; its
// composite as ImageMagick and Krita store it is what the layers give (GIMP
// stores a composite of its own making, a few levels off). ag-psd's third
// layer has opacity 128: its hash is the reader's result, which agrees with
// python3-psd-tools' composite within 1 level (measured once). The
// transparent documents' bottom layer counts as opaque, as ImageMagick's
// composite has it.
const std::map<std::string, std::string> kStackedComposites = {
    {"im_layers_rle.psd", "a5435ac0e681352654d0c5cbcaab77ed432e625938f5be1e4949343f765d0ab7"},
    {"gimp_layers_rle.psd", "a5435ac0e681352654d0c5cbcaab77ed432e625938f5be1e4949343f765d0ab7"},
    {"krita_layers.psd", "a5435ac0e681352654d0c5cbcaab77ed432e625938f5be1e4949343f765d0ab7"},
    {"agpsd_layers_rle.psd", "4b9c74f2a4c6491cd8ace38489b11e6b256b12a6732c53c3afed51e127c36f3e"},
    {"im_transparent_rle.psd", "c0d0cfcdf32ead6b9f51ede9442e1d35437f5d770410f54f8b691f01c11086dd"},
    {"gimp_transparent_rle.psd", "c0d0cfcdf32ead6b9f51ede9442e1d35437f5d770410f54f8b691f01c11086dd"},
};

class FixtureTest : public testing::KelvraTest {};

TEST_F(FixtureTest, ReadersGiveThePixelsTheManifestGives) {
  std::vector<Fixture> fixtures = Manifest();
  ASSERT_EQ(fixtures.size(), 17u);
  for (const Fixture& f : fixtures) {
    SCOPED_TRACE(f.file);
    const std::string path = kDataDir + "/" + f.file;
    ASSERT_EQ(Sha256(testing::ReadFileBytes(path)), f.fileHash) << "not the manifest's file";
    ABitMap composite, layer;
    const int flat = composite.LoadFromFile(path.c_str(), false);
    const int layered = layer.LoadLayeredFromFile(path.c_str(), false);
    if (f.depth != 8) {
      // 16-bit samples would be read as bytes: refused, nothing allocated.
      EXPECT_EQ(flat, -1);
      EXPECT_EQ(layered, -1);
      EXPECT_EQ(composite.pixels, nullptr);
      EXPECT_EQ(layer.pixels, nullptr);
      continue;
    }
    ASSERT_EQ(flat, 0);
    ASSERT_EQ(layered, 0);
    const int planes = f.channels >= 3 ? 3 : 1;
    EXPECT_EQ(Sha256(Planes(composite, planes, 0, 0, composite.height, composite.width)),
              f.compositeHash);
    for (size_t i = 3; i < composite.PixelCount() * 4; i += 4) {
      ASSERT_EQ(composite.pixels[i], 0) << "alpha read without being asked for";
    }
    const std::string layeredHash = Sha256(Planes(layer, planes, 0, 0, layer.height, layer.width));
    const auto stack = kStackedComposites.find(f.file);
    if (f.layerCount == 0) {
      // No layer section: the layered reader gives the composite.
      EXPECT_EQ(layeredHash, f.compositeHash);
    } else if (f.firstLayerHash == "-") {
      // An empty first layer: nothing of it inside the document.
      EXPECT_EQ(Planes(layer, 3, 0, 0, layer.height, layer.width),
                std::vector<uint8_t>(3 * layer.PixelCount(), 0));
    } else if (stack != kStackedComposites.end()) {
      EXPECT_EQ(layeredHash, stack->second);
    } else {
      // One layer, or the bottom layer under the library's own layer.
      EXPECT_EQ(Sha256(Planes(layer, 3, f.rect[0], f.rect[1], f.rect[2], f.rect[3])),
                f.firstLayerHash);
    }
    composite.Release();
    layer.Release();
  }
}

// The transparency of a first layer stored first (GIMP, Krita) or last
// (ImageMagick) comes back by its identifier when asked for.
TEST_F(FixtureTest, TransparencyOfTheFirstLayerByIdentifier) {
  for (const char* file : {"gimp_transparent_rle.psd", "im_transparent_rle.psd"}) {
    SCOPED_TRACE(file);
    ABitMap layer;
    ASSERT_EQ(layer.LoadLayeredFromFile((kDataDir + "/" + file).c_str(), true), 0);
    int transparent = 0, opaque = 0;
    for (size_t i = 3; i < layer.PixelCount() * 4; i += 4) {
      transparent += layer.pixels[i] == 0;
      opaque += layer.pixels[i] == 255;
    }
    EXPECT_GT(transparent, 0);
    EXPECT_GT(opaque, 0);
    layer.Release();
  }
}

}  // namespace
}  // namespace kelvra
