// Documents Photoshop itself saved, each with the merged image Photoshop
// stored in it: the layered reading (the one a mode-1 reload does) must give
// Photoshop's picture or refuse with a reason. A document passes when it is
// refused, or when every opaque sample of the merged image but at most 0.5 %
// is within 2 levels (Photoshop's own 8-bit rounding). The test prints one
// line a document; KELVRA_PHOTOSHOP_REPORT=1 prints the lines of the
// documents that merge too.
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "bitmap/psd_reader.h"
#include "tests/support/test_env.h"

#define STB_IMAGE_STATIC
#define STB_IMAGE_IMPLEMENTATION
#define STBI_ONLY_PNG
#include <stb/stb_image.h>

namespace kelvra {
namespace {

const std::string kDir = std::string(KELVRA_SOURCE_DIR) + "/../shared/fixtures/photoshop";

// The merged pictures in RGBA, and the comparison of the rows read with them.
struct Comparison {
  const uint8_t* rgba = nullptr;
  int width = 0, height = 0;
  uint64_t opaque = 0, off = 0;  // samples compared, samples more than 2 levels off
  int worst = 0;
};

bool Begin(void* context, int32_t width, int32_t height) {
  const Comparison* c = static_cast<Comparison*>(context);
  return width == c->width && height == c->height;
}

bool Row(void* context, uint32_t y, const uint8_t* bgra) {
  Comparison* c = static_cast<Comparison*>(context);
  const uint8_t* ref = c->rgba + 4 * static_cast<uint64_t>(c->width) * y;
  for (int x = 0; x < c->width; ++x, ref += 4, bgra += 4) {
    if (ref[3] != 255) continue;
    for (int ch = 0; ch < 3; ++ch) {
      const int d = std::abs(static_cast<int>(ref[ch]) - bgra[2 - ch]);
      ++c->opaque;
      if (d > 2) ++c->off;
      if (d > c->worst) c->worst = d;
    }
  }
  return true;
}

struct Document {
  std::string file, merged;
};

// The 8-bit RGB documents that carry a merged image, from the manifest.
std::vector<Document> Documents() {
  const std::string script =
      "import json,sys\n"
      "for f in json.load(open(sys.argv[1])):\n"
      "  if f['depth']==8 and f['color_mode']==3 and f['merged_png']:\n"
      "    print(f['file'],f['merged_png'])\n";
  testing::TempDir dir;
  testing::WriteFileBytes(dir.File("m.py"), std::vector<uint8_t>(script.begin(), script.end()));
  std::string out;
  testing::RunCommand("/usr/bin/python3 '" + dir.File("m.py") + "' '" + kDir + "/manifest.json'",
                      &out);
  std::vector<Document> list;
  std::istringstream lines(out);
  Document d;
  while (lines >> d.file >> d.merged) list.push_back(d);
  return list;
}

TEST(PhotoshopDocuments, MergedAsPhotoshopShowsThemOrRefusedWithAReason) {
  const std::vector<Document> documents = Documents();
  if (documents.empty()) GTEST_SKIP() << "no documents in " << kDir;
  const bool report = std::getenv("KELVRA_PHOTOSHOP_REPORT") != nullptr;
  int merged = 0, refused = 0, wrong = 0;
  for (const Document& d : documents) {
    int w = 0, h = 0, n = 0;
    uint8_t* rgba = stbi_load((kDir + "/" + d.merged).c_str(), &w, &h, &n, 4);
    ASSERT_NE(rgba, nullptr) << d.merged;
    Comparison c;
    c.rgba = rgba;
    c.width = w;
    c.height = h;
    PsdRefusal why;
    const PsdRowSink sink{Begin, Row, &c};
    const PsdRead r = ReadFileRows((kDir + "/" + d.file).c_str(), true, false, sink, &why);
    stbi_image_free(rgba);
    char line[512];
    if (r != PsdRead::kOk) {
      ++refused;
      std::snprintf(line, sizeof line, "refused  %-44s %s", d.file.c_str(), why.text);
      EXPECT_NE(why.text[0], 0) << d.file << ": refused without a reason";
    } else if (c.off * 200 > c.opaque) {
      ++wrong;
      std::snprintf(line, sizeof line, "WRONG    %-44s %llu of %llu samples off, up to %d",
                    d.file.c_str(), static_cast<unsigned long long>(c.off),
                    static_cast<unsigned long long>(c.opaque), c.worst);
    } else {
      ++merged;
      std::snprintf(line, sizeof line, "merged   %-44s %llu of %llu samples off, up to %d",
                    d.file.c_str(), static_cast<unsigned long long>(c.off),
                    static_cast<unsigned long long>(c.opaque), c.worst);
    }
    if (report || r != PsdRead::kOk || c.off * 200 > c.opaque) std::printf("%s\n", line);
  }
  std::printf("%d merged, %d refused, %d wrong of %zu\n", merged, refused, wrong,
              documents.size());
  EXPECT_EQ(wrong, 0);
  EXPECT_GE(merged, 55);
}

}  // namespace
}  // namespace kelvra
