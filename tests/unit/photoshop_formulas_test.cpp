// The shared Photoshop documents that decide a formula of the compositor:
// each row is a document that shows one formula (or a case refused by name)
// and what its layered reading must give. A merge must match the picture
// Photoshop stored in every opaque sample within 2 levels (merged/NAME.png;
// for a grayscale document, which has none, the document's own composite).
#include <cstdio>
#include <cstdlib>
#include <cstring>
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

const std::string kShared = std::string(KELVRA_SOURCE_DIR) + "/../shared/fixtures/";

// The reference picture as RGBA rows.
struct Picture {
  std::vector<uint8_t> rgba;
  int width = 0, height = 0;
  bool gray = false;
};

bool TakeSize(void* context, int32_t width, int32_t height) {
  Picture* p = static_cast<Picture*>(context);
  p->width = width;
  p->height = height;
  p->rgba.assign(4 * static_cast<size_t>(width) * height, 255);
  return true;
}

// A grayscale composite: gray in byte 2, its transparency (when the
// document has a second channel) in byte 1.
bool TakeGrayRow(void* context, uint32_t y, const uint8_t* pixels) {
  Picture* p = static_cast<Picture*>(context);
  uint8_t* out = &p->rgba[4 * static_cast<size_t>(p->width) * y];
  for (int x = 0; x < p->width; ++x, out += 4, pixels += 4) {
    out[0] = out[1] = out[2] = pixels[2];
    out[3] = pixels[1];
  }
  return true;
}

bool LoadReference(const std::string& folder, const std::string& file, Picture* p) {
  const std::string stem = file.substr(0, file.size() - 4);
  int n = 0;
  uint8_t* png = stbi_load((kShared + folder + "/merged/" + stem + ".png").c_str(), &p->width,
                           &p->height, &n, 4);
  if (png != nullptr) {
    p->rgba.assign(png, png + 4 * static_cast<size_t>(p->width) * p->height);
    stbi_image_free(png);
    return true;
  }
  const std::string path = kShared + folder + "/" + file;
  const std::vector<uint8_t> bytes = testing::ReadFileBytes(path);
  if (bytes.size() < 26 || bytes[25] != 1) return false;  // grayscale only
  const bool alpha = bytes[13] >= 2;                       // a second channel
  p->gray = true;
  const PsdRowSink sink{TakeSize, TakeGrayRow, p};
  if (ReadFileRows(path.c_str(), false, true, sink) != PsdRead::kOk) return false;
  if (!alpha) {
    for (size_t i = 3; i < p->rgba.size(); i += 4) p->rgba[i] = 255;
  }
  return true;
}

struct Comparison {
  const Picture* reference;
  uint64_t opaque = 0, off = 0;
  int worst = 0, worstX = -1, worstY = -1;
};

bool Begin(void* context, int32_t width, int32_t height) {
  const Comparison* c = static_cast<Comparison*>(context);
  return width == c->reference->width && height == c->reference->height;
}

bool Row(void* context, uint32_t y, const uint8_t* bgra) {
  Comparison* c = static_cast<Comparison*>(context);
  const Picture& r = *c->reference;
  const uint8_t* ref = &r.rgba[4 * static_cast<size_t>(r.width) * y];
  for (int x = 0; x < r.width; ++x, ref += 4, bgra += 4) {
    if (ref[3] != 255) continue;
    for (int ch = 0; ch < (r.gray ? 1 : 3); ++ch) {
      const int d = std::abs(static_cast<int>(ref[ch]) - bgra[2 - ch]);
      ++c->opaque;
      if (d > 2) ++c->off;
      if (d > c->worst) c->worst = d, c->worstX = x, c->worstY = static_cast<int>(y);
    }
  }
  return true;
}

struct Document {
  const char* folder;
  const char* file;
  // Null: merged, every opaque sample within 2 levels; otherwise the words
  // the refusal must hold.
  const char* refusal;
};

TEST(PhotoshopFormulas, EachDocumentMergedExactlyOrRefusedByName) {
  const Document rows[] = {
      // Posterize: floor(x n / 256) bins, at 21, 13, 7 and 3 levels.
      {"photoshop2", "adjustments__posterize_rgb.psd", nullptr},
      {"photoshop2", "adjustments__posterize_grayscale.psd", nullptr},
      // Levels: its gamma curve near the black point is not the power.
      {"photoshop2", "adjustments__levels_grayscale.psd",
       "a Levels adjustment with a gamma other than 1.00"},
      // Pass-through groups: below 100 % fill, isolated at the fill; a mode
      // other than normal inside is refused.
      {"photoshop2", "passthrough_fill_adjustment.psd", nullptr},
      {"photoshop2", "passthrough_fill_blendmode.psd",
       "a group or a blend mode other than normal inside a pass-through group below 100 % fill"},
      {"photoshop2", "passthrough_opacity.psd", nullptr},
      // A hidden bottom layer: the picture starts transparent (darken there).
      {"photoshop2", "passthrough_blendmodes2.psd", nullptr},
      // Modes inside pass-through groups, over a fill whose mask hides
      // nothing; clipping to a group stays refused.
      {"photoshop2", "passthrough_blendmodes1.psd", nullptr},
      {"photoshop2", "passthrough_clipping_mask_blendmode.psd", "clipped to a group"},
      // Shallow knockout in an isolated and a pass-through group.
      {"photoshop2", "transparency__knockout-isolated-groups.psd", nullptr},
      // A normal layer clipped to a normal shape.
      {"photoshop2", "clipping-mask.psd", nullptr},
  };
  int checked = 0;
  for (const Document& row : rows) {
    SCOPED_TRACE(std::string(row.folder) + "/" + row.file);
    // A folder that is there must hold every document named.
    if (!testing::FileExists(kShared + row.folder + "/manifest.json")) continue;
    Picture reference;
    ASSERT_TRUE(LoadReference(row.folder, row.file, &reference));
    ++checked;
    Comparison c;
    c.reference = &reference;
    PsdRefusal why;
    const PsdRowSink sink{Begin, Row, &c};
    const std::string path = kShared + row.folder + "/" + row.file;
    const PsdRead r = ReadFileRows(path.c_str(), true, false, sink, &why);
    if (row.refusal != nullptr) {
      EXPECT_NE(r, PsdRead::kOk) << "merged, worst " << c.worst << " at " << c.worstX << ","
                                 << c.worstY;
      EXPECT_NE(std::strstr(why.text, row.refusal), nullptr) << why.text;
      continue;
    }
    ASSERT_EQ(r, PsdRead::kOk) << why.text;
    EXPECT_GT(c.opaque, 0u);
    EXPECT_EQ(c.off, 0u) << "worst " << c.worst << " at " << c.worstX << "," << c.worstY;
  }
  if (checked == 0) GTEST_SKIP() << "no documents in " << kShared;
}

}  // namespace
}  // namespace kelvra
