// Documents Photoshop itself saved, each with the merged image Photoshop
// stored in it, in the two shared folders: the layered reading (the one a
// mode-1 reload does) must give Photoshop's picture or refuse with a reason.
// A document passes when it is refused, or when every opaque sample of the
// merged image but at most 0.5 % is within 2 levels (Photoshop's own 8-bit
// rounding). A document read whose merged image has no opaque sample shows
// nothing either way and is not counted as merged. The test prints one line
// a document refused or wrong; KELVRA_PHOTOSHOP_REPORT=1 prints the others
// too.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "bitmap/abitmap.h"
#include "bitmap/psd_reader.h"
#include "hostsim/hostsim.h"
#include "plugin/exports.h"
#include "services/test_seams.h"
#include "tests/support/psd_layout.h"
#include "tests/support/test_env.h"
#include "tests/unit/editor_fixture.h"

#define STB_IMAGE_STATIC
#define STB_IMAGE_IMPLEMENTATION
#define STBI_ONLY_PNG
#include <stb/stb_image.h>

namespace kelvra {
namespace {

const std::string kShared = std::string(KELVRA_SOURCE_DIR) + "/../shared/fixtures/";

// The merged pictures in RGBA, and the comparison of the rows read with them.
struct Comparison {
  const uint8_t* rgba = nullptr;
  int width = 0, height = 0;
  int channels = 3;              // 1: a grayscale picture, gray in red
  uint64_t opaque = 0, off = 0;  // samples compared, samples more than 2 levels off
  int worst = 0, worstX = -1, worstY = -1;
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
    for (int ch = 0; ch < c->channels; ++ch) {
      const int d = std::abs(static_cast<int>(ref[ch]) - bgra[2 - ch]);
      ++c->opaque;
      if (d > 2) ++c->off;
      if (d > c->worst) c->worst = d, c->worstX = x, c->worstY = static_cast<int>(y);
    }
  }
  return true;
}

struct Document {
  std::string file, merged;
};

// The 8-bit RGB documents that carry a merged image, from the manifest.
std::vector<Document> Documents(const std::string& folder) {
  const std::string script =
      "import json,sys\n"
      "for f in json.load(open(sys.argv[1])):\n"
      "  if f['depth']==8 and f['color_mode']==3 and f['merged_png']:\n"
      "    print(f['file'],f['merged_png'])\n";
  testing::TempDir dir;
  testing::WriteFileBytes(dir.File("m.py"), std::vector<uint8_t>(script.begin(), script.end()));
  std::string out;
  testing::RunCommand("/usr/bin/python3 '" + dir.File("m.py") + "' '" + folder + "/manifest.json'",
                      &out);
  std::vector<Document> list;
  std::istringstream lines(out);
  Document d;
  while (lines >> d.file >> d.merged) list.push_back(d);
  return list;
}

// Reads every document of `folder`; prints a line for each one refused or
// merged wrongly (every one with KELVRA_PHOTOSHOP_REPORT set) and the counts.
struct Counts {
  int merged = 0, refused = 0, wrong = 0, unseen = 0;
};
Counts ReadFolder(const std::string& folder, const std::vector<Document>& documents) {
  const bool report = std::getenv("KELVRA_PHOTOSHOP_REPORT") != nullptr;
  Counts n;
  for (const Document& d : documents) {
    int w = 0, h = 0, channels = 0;
    uint8_t* rgba = stbi_load((folder + "/" + d.merged).c_str(), &w, &h, &channels, 4);
    EXPECT_NE(rgba, nullptr) << d.merged;
    if (rgba == nullptr) continue;
    Comparison c;
    c.rgba = rgba;
    c.width = w;
    c.height = h;
    PsdRefusal why;
    const PsdRowSink sink{Begin, Row, &c};
    const PsdRead r = ReadFileRows((folder + "/" + d.file).c_str(), true, false, sink, &why);
    stbi_image_free(rgba);
    char line[512];
    const bool wrong = r == PsdRead::kOk && c.off * 200 > c.opaque;
    if (r != PsdRead::kOk) {
      ++n.refused;
      std::snprintf(line, sizeof line, "refused  %-44s %s", d.file.c_str(), why.text);
      EXPECT_NE(why.text[0], 0) << d.file << ": refused without a reason";
    } else {
      int& counted = wrong ? n.wrong : c.opaque == 0 ? n.unseen : n.merged;
      ++counted;
      std::snprintf(line, sizeof line, "%s %-44s %llu of %llu samples off, up to %d",
                    wrong ? "WRONG   " : "merged  ", d.file.c_str(),
                    static_cast<unsigned long long>(c.off),
                    static_cast<unsigned long long>(c.opaque), c.worst);
    }
    if (report || r != PsdRead::kOk || wrong) std::printf("%s\n", line);
  }
  std::printf("%s: %d merged, %d refused, %d wrong, %d read without an opaque sample, of %zu\n",
              folder.c_str(), n.merged, n.refused, n.wrong, n.unseen, documents.size());
  return n;
}

TEST(PhotoshopDocuments, MergedAsPhotoshopShowsThemOrRefusedWithAReason) {
  // The merged counts are floors: a reader that refuses more than it must
  // fails here as surely as one that merges wrongly.
  const struct {
    const char* folder;
    int mergedAtLeast;
  } folders[] = {{"photoshop", 54}, {"photoshop2", 64}};
  for (const auto& f : folders) {
    SCOPED_TRACE(f.folder);
    const std::string folder = kShared + f.folder;
    const std::vector<Document> documents = Documents(folder);
    if (documents.empty()) GTEST_SKIP() << "no documents in " << folder;
    const Counts n = ReadFolder(folder, documents);
    EXPECT_EQ(n.wrong, 0);
    EXPECT_GE(n.merged, f.mergedAtLeast);
  }
}

// ---- the documents that decide a formula -----------------------------------

// A grayscale document stores no merged PNG: its own composite is the
// reference, gray in red, its transparency (a second channel) in alpha.
struct GrayPicture {
  std::vector<uint8_t> rgba;
  int width = 0, height = 0;
};
bool TakeGraySize(void* context, int32_t width, int32_t height) {
  GrayPicture* p = static_cast<GrayPicture*>(context);
  p->width = width, p->height = height;
  p->rgba.assign(4 * static_cast<size_t>(width) * height, 255);
  return true;
}
bool TakeGrayRow(void* context, uint32_t y, const uint8_t* bgra) {
  GrayPicture* p = static_cast<GrayPicture*>(context);
  uint8_t* out = &p->rgba[4 * static_cast<size_t>(p->width) * y];
  for (int x = 0; x < p->width; ++x, out += 4, bgra += 4) out[0] = bgra[2], out[3] = bgra[1];
  return true;
}

// Each row a shared document that shows one formula of the compositor (or a
// case refused by name): merged, every opaque sample within 2 levels of
// Photoshop's picture, or refused with the words given.
TEST(PhotoshopDocuments, EachFormulaDocumentMergedExactlyOrRefusedByName) {
  const struct {
    const char* file;     // in photoshop2
    const char* refusal;  // null: merged
  } rows[] = {
      // Posterize: floor(x n / 256) bins, at 21, 13, 7 and 3 levels.
      {"adjustments__posterize_rgb.psd", nullptr},
      {"adjustments__posterize_grayscale.psd", nullptr},
      // Levels: its gamma curve near the black point is not the power.
      {"adjustments__levels_grayscale.psd", "a Levels adjustment with a gamma other than 1.00"},
      // Pass-through groups: below 100 % fill, isolated at the fill; a mode
      // other than normal inside is refused.
      {"passthrough_fill_adjustment.psd", nullptr},
      {"passthrough_fill_blendmode.psd",
       "a group or a blend mode other than normal inside a pass-through group below 100 % fill"},
      {"passthrough_opacity.psd", nullptr},
      // A hidden bottom layer: the picture starts transparent (darken there).
      {"passthrough_blendmodes2.psd", nullptr},
      // Modes inside pass-through groups, over a fill whose mask hides
      // nothing; clipping to a group stays refused.
      {"passthrough_blendmodes1.psd", nullptr},
      {"passthrough_clipping_mask_blendmode.psd", "clipped to a group"},
      // Shallow knockout in an isolated and a pass-through group.
      {"transparency__knockout-isolated-groups.psd", nullptr},
      // A normal layer clipped to a normal shape.
      {"clipping-mask.psd", nullptr},
  };
  const std::string folder = kShared + "photoshop2/";
  if (!testing::FileExists(folder + "manifest.json")) GTEST_SKIP() << "no documents in " << folder;
  for (const auto& row : rows) {
    SCOPED_TRACE(row.file);
    const std::string path = folder + row.file;
    const std::string stem = std::string(row.file, std::strlen(row.file) - 4);
    Comparison c;
    GrayPicture gray;
    int channels = 0;
    uint8_t* png = stbi_load((folder + "merged/" + stem + ".png").c_str(), &c.width, &c.height,
                             &channels, 4);
    if (png != nullptr) {
      c.rgba = png;
    } else {
      const std::vector<uint8_t> header = testing::ReadFileBytes(path);
      ASSERT_EQ(header.at(25), 1) << "no merged PNG beside a document that is not grayscale";
      const PsdRowSink take{TakeGraySize, TakeGrayRow, &gray};
      ASSERT_EQ(ReadFileRows(path.c_str(), false, true, take), PsdRead::kOk);
      if (header.at(13) < 2) {  // no transparency channel
        for (size_t i = 3; i < gray.rgba.size(); i += 4) gray.rgba[i] = 255;
      }
      c.rgba = gray.rgba.data(), c.width = gray.width, c.height = gray.height, c.channels = 1;
    }
    PsdRefusal why;
    const PsdRowSink sink{Begin, Row, &c};
    const PsdRead r = ReadFileRows(path.c_str(), true, false, sink, &why);
    if (png != nullptr) stbi_image_free(png);
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
}

// ---- a Photoshop document whose layers no longer give its picture ------------

// photoshop2/hidden-layer.psd: a white "Background" 100 x 150 under "Shape 1",
// black, at x 20..67, y 5..53, opaque at y 15 from x 28 to 58 (and a hidden
// layer). Its PackBits row 10 of Shape 1: red is one run of 48 zeros
// ("d1 00"), transparency "fb 00 01 5a f9 e2 ff 00 78 f9 00".
const std::string kHiddenLayer = kShared + "photoshop2/hidden-layer.psd";

// The document with byte `at` of PackBits row `row` of channel `id` of
// layer `layer` set to `value`: the structure stays whole.
std::vector<uint8_t> Corrupted(int layer, int16_t id, uint32_t row, uint32_t at, uint8_t value) {
  std::vector<uint8_t> bytes = testing::ReadFileBytes(kHiddenLayer);
  const testing::PsdLayout layout = testing::WalkPsd(bytes);
  const testing::PsdLayer& l = layout.layers.at(layer);
  for (const testing::PsdChannel& c : l.channels) {
    if (c.id != id) continue;
    EXPECT_EQ(testing::BE16At(bytes, c.dataOffset), 1);  // PackBits
    size_t data = c.dataOffset + 2 + 2 * static_cast<size_t>(l.bottom - l.top);
    for (uint32_t r = 0; r < row; ++r) data += testing::BE16At(bytes, c.dataOffset + 2 + 2 * r);
    bytes.at(data + at) = value;
  }
  return bytes;
}

struct Corruption {
  const char* what;
  int16_t channel;
  uint32_t at;
  uint8_t value;
  const char* reason;  // after "the layers as saved do not give the picture Photoshop stored: "
};
const Corruption kCorruptions[] = {
    {"Shape 1 red, not black", 0, 1, 100,
     "100 levels off in red at x 28, y 15, under 'Shape 1', 'Background'"},
    {"Shape 1 transparent where it was opaque", -1, 6, 0,
     "255 levels off in red at x 28, y 15, under 'Background'"},
};

TEST(PhotoshopDocuments, OneLayerCorruptedIsRefusedNamingThePixel) {
  if (!testing::FileExists(kHiddenLayer)) GTEST_SKIP() << "no " << kHiddenLayer;
  const PsdRowSink all{[](void*, int32_t, int32_t) { return true; },
                       [](void*, uint32_t, const uint8_t*) { return true; }, nullptr};
  PsdRefusal why;
  ASSERT_EQ(ReadFileRows(kHiddenLayer.c_str(), true, false, all, &why), PsdRead::kOk) << why.text;
  for (const Corruption& c : kCorruptions) {
    SCOPED_TRACE(c.what);
    const std::vector<uint8_t> bytes = Corrupted(1, c.channel, 10, c.at, c.value);
    ABitMap target;
    EXPECT_EQ(ReadLayeredImage(bytes.data(), bytes.size(), false, &target, &why),
              PsdRead::kUnrecordedDrawing);
    EXPECT_EQ(target.pixels, nullptr);
    EXPECT_EQ(std::string(why.text),
              std::string("the layers as saved do not give the picture Photoshop stored: ") +
                  c.reason);
  }
}

// Through the editor link: the refused save leaves the host's image as it
// was, says why, and the next launch keeps it before writing its export.
class PhotoshopSaves : public testing::EditorLinkFixture {};

TEST_F(PhotoshopSaves, ARefusedSaveIsKeptByTheNextLaunch) {
  if (!testing::FileExists(kHiddenLayer)) GTEST_SKIP() << "no " << kHiddenLayer;
  testing::TempDir dir;
  const std::string path = dir.File("doc.psd"), kept = dir.File("doc.kept-1.psd");
  for (const bool corrupt : {false, true}) {
    SCOPED_TRACE(corrupt);
    ResetEditorStateForTesting();
    seams::ResetAll();
    for (const std::string& p : {path, kept}) std::remove(p.c_str());
    hostsim::SimImage main{100, 150, 32}, shaded{100, 150, 32};
    hostsim::SimDocument doc;
    hostsim::SimContext ctx;
    main.SetShadedImage(&shaded);
    doc.SetMainImage(&main);
    ctx.SetSlot(2, doc.record());
    char* p = const_cast<char*>(path.c_str());
    ASSERT_EQ(KelvraDLL_LaunchEditor(p, 1, nullptr, 0, nullptr, 0, ctx.table()), 0.0f);
    // The user's save: Photoshop's document, one layer corrupted or not.
    const std::vector<uint8_t> save = corrupt ? Corrupted(1, 0, 10, 1, 100)
                                              : testing::ReadFileBytes(kHiddenLayer);
    testing::WriteFileBytes(path, save);
    testing::SetFileTime(path, 5);
    const std::vector<uint8_t> before = main.snapshot();
    seams::ClearDiagnosticNotes();
    EXPECT_EQ(KelvraDLL_ReloadImage(p, 0, nullptr, 0, nullptr, 0, ctx.table()),
              corrupt ? -1.0f : 1.0f);
    EXPECT_EQ(main.snapshot() == before, corrupt);
    const std::string reason =
        std::string("the layers as saved do not give the picture Photoshop stored: ") +
        kCorruptions[0].reason;
    EXPECT_EQ(seams::DiagnosticNotes(),
              corrupt ? std::vector<std::string>{"KelvraDLL: cannot merge " + path + ": " + reason}
                      : std::vector<std::string>());
    // The launch's test reads the save to its end, past the first row whose
    // colours are not the image's, and names the same reason.
    seams::ClearDiagnosticNotes();
    ASSERT_EQ(KelvraDLL_LaunchEditor(p, 1, nullptr, 0, nullptr, 0, ctx.table()), 0.0f);
    EXPECT_EQ(testing::FileExists(kept), corrupt);
    if (!corrupt) continue;
    EXPECT_EQ(testing::ReadFileBytes(kept), save);
    EXPECT_EQ(seams::DiagnosticNotes(),
              std::vector<std::string>{"KelvraDLL: kept " + path + " as " + kept +
                                       " before writing a new export: the library cannot merge "
                                       "it: " + reason});
  }
}

}  // namespace
}  // namespace kelvra
