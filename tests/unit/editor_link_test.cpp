// The editor link through its exports: what LaunchEditor writes, records and
// opens for every mode, the unchanged test, and how ReloadImage merges an
// edited document back for every mode.
#include <sys/stat.h>
#include <utime.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "editorlink/editor_state.h"
#include "editorlink/shading.h"
#include "hostsim/hostsim.h"
#include "plugin/exports.h"
#include "services/services.h"
#include "tests/support/test_env.h"
#include "tests/unit/editor_fixture.h"
#include "tests/unit/psd_probe.h"

namespace kelvra {
namespace {

using hostsim::SimImage;
using testing::PaintPsd;
using testing::PsdProbe;
using testing::SetFileTime;
using testing::ReadFileBytes;
using testing::WriteFileBytes;

void Fill(SimImage& image, uint32_t seed) {
  uint32_t x = seed * 2654435761u + 12345u;
  for (size_t i = 0; i < image.byteCount() / 4; ++i) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    image.pixels32()[i] = x;
  }
}

std::vector<uint32_t> Colours(SimImage& image) {
  std::vector<uint32_t> out(image.byteCount() / 4);
  for (size_t i = 0; i < out.size(); ++i) out[i] = image.pixels32()[i] & 0xFFFFFF;
  return out;
}

// A host document with every image the editor link uses, all of one size
// and each with its own pixels, and a mask threshold that splits the mask.
struct Scene {
  SimImage main, shaded, mask, slot5, slot6;
  hostsim::SimDocument doc;
  hostsim::SimContext ctx;
  explicit Scene(int w = 5, int h = 3)
      : main(w, h, 32), shaded(w, h, 32), mask(w, h, 32), slot5(w, h, 32), slot6(w, h, 32) {
    Fill(main, 1);
    Fill(shaded, 2);
    Fill(mask, 3);
    Fill(slot5, 5);
    Fill(slot6, 6);
    main.SetShadedImage(&shaded);
    main.SetMaskSource(&mask);
    doc.SetMainImage(&main);
    doc.SetMaskThreshold(0x10000000);
    ctx.SetSlot(2, doc.record());
    ctx.SetSlot(5, slot5.record());
    ctx.SetSlot(6, slot6.record());
  }
  int Pixels() const { return main.width() * main.height(); }
};

float Launch(const std::string& path, double value, hostsim::SimContext& ctx) {
  return KelvraDLL_LaunchEditor(const_cast<char*>(path.c_str()), value, nullptr, 0,
                                nullptr, 0, ctx.table());
}

float Reload(const std::string& path, hostsim::SimContext& ctx) {
  return KelvraDLL_ReloadImage(const_cast<char*>(path.c_str()), 0.0, nullptr, 0, nullptr,
                               0, ctx.table());
}

class EditorLinkTest : public testing::EditorLinkFixture {
 protected:
  testing::TempDir dir;
  std::string path = dir.File("doc.psd");
};

// ---- LaunchEditor ---------------------------------------------------------------

enum class Doc { kNone, kFlatMain, kFlatShaded, kFlatSlot6, kShading, kGrey, kMaskedMain, kMaskedShaded };

TEST_F(EditorLinkTest, EveryModeWritesItsDocumentRecordsAndOpens) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  struct Row {
    double value;
    int mode;
    Doc doc;
    bool releasesWorkRaster;
  };
  const Row rows[] = {
      {1.0, 1, Doc::kShading, true},       {2.7, 2, Doc::kGrey, true},
      {3.0, 3, Doc::kMaskedMain, true},    {4.0, 4, Doc::kFlatShaded, true},
      {5.0, 5, Doc::kMaskedShaded, true},  {20.0, 20, Doc::kFlatSlot6, false},
      {100.0, 100, Doc::kNone, true},      {0.0, 0, Doc::kFlatMain, true},
      {-0.5, 0, Doc::kFlatMain, true},     {-3.0, -3, Doc::kFlatMain, true},
      {6.0, 6, Doc::kFlatMain, true},      {19.9, 19, Doc::kFlatMain, true},
      {21.0, 21, Doc::kFlatMain, false},   {30.0, 30, Doc::kFlatMain, false},
      {30.5, 30, Doc::kFlatMain, true},    {99.0, 99, Doc::kFlatMain, true},
      {101.0, 101, Doc::kFlatMain, true},  {nan, 0, Doc::kFlatMain, true},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(::testing::Message() << "value " << r.value);
    ResetEditorStateForTesting();
    seams::ClearShellOpened();
    std::remove(path.c_str());
    Scene s;
    gWorkRaster.Allocate(2, 2, 32);
    EXPECT_EQ(Launch(path, r.value, s.ctx), 0.0f);
    EXPECT_EQ(gWorkRaster.pixels == nullptr, r.releasesWorkRaster);
    gWorkRaster.Release();
    EXPECT_EQ(seams::ShellOpened(), std::vector<std::string>{path});
    EXPECT_TRUE(s.doc.notifyCalls.empty());
    if (r.doc == Doc::kNone) {
      EXPECT_FALSE(testing::FileExists(path));
      EXPECT_EQ(gLastEditorMode, 0);
      EXPECT_EQ(gLastEditorStamp, 0);
      continue;
    }
    EXPECT_EQ(gLastEditorMode, r.mode);
    EXPECT_NE(gLastEditorStamp, 0);
    EXPECT_EQ(gLastEditorStamp, FileTimeStamp(path.c_str()));

    const std::vector<uint8_t> bytes = ReadFileBytes(path);
    PsdProbe p(bytes);
    ASSERT_TRUE(p.ok);
    EXPECT_EQ(p.width, 5);
    EXPECT_EQ(p.height, 3);
    EXPECT_EQ(p.channels, 3);
    const size_t n = static_cast<size_t>(s.Pixels());
    switch (r.doc) {
      case Doc::kFlatMain:
      case Doc::kFlatShaded:
      case Doc::kFlatSlot6: {
        SimImage& expected = r.doc == Doc::kFlatMain     ? s.main
                             : r.doc == Doc::kFlatShaded ? s.shaded
                                                         : s.slot6;
        EXPECT_EQ(bytes.size(), 40 + 3 * n);
        EXPECT_TRUE(p.layers.empty());
        EXPECT_EQ(p.Pixels(bytes, -1), Colours(expected));
        break;
      }
      case Doc::kShading:
      case Doc::kGrey: {
        EXPECT_EQ(bytes.size(), 2250 + 10 * n);
        ASSERT_EQ(p.layers.size(), 2u);
        EXPECT_EQ(p.layers[0].name, "Background");
        // The length-prefixed name holds 31 characters at most.
        EXPECT_EQ(p.layers[1].name, "KShading (do not edit this laye");
        EXPECT_EQ(p.layers[1].blend, "hLit");
        EXPECT_EQ(p.Pixels(bytes, 0), Colours(s.main));
        EXPECT_EQ(p.Pixels(bytes, -1), Colours(s.shaded));
        const std::vector<uint32_t> layer = p.Pixels(bytes, 1);
        for (size_t i = 0; i < n; ++i) {
          const uint32_t f = s.main.pixels32()[i], sh = s.shaded.pixels32()[i];
          uint32_t expected = 0;
          if (r.doc == Doc::kShading) {
            for (int shift : {16, 8, 0}) {
              expected |= uint32_t(ShadeValue((f >> shift) & 255, (sh >> shift) & 255)) << shift;
            }
          } else {
            const int gf = ((f & 255) + ((f >> 8) & 255) + ((f >> 16) & 255)) / 3;
            const int gs = ((sh & 255) + ((sh >> 8) & 255) + ((sh >> 16) & 255)) / 3;
            expected = 0x010101u * uint32_t(ShadeValue(gf, gs));
          }
          EXPECT_EQ(layer[i], expected) << "pixel " << i;
        }
        break;
      }
      case Doc::kMaskedMain:
      case Doc::kMaskedShaded: {
        SimImage& exported = r.doc == Doc::kMaskedMain ? s.main : s.shaded;
        EXPECT_EQ(bytes.size(), 662 + 10 * n);
        EXPECT_EQ(p.resourcesLength, 0u);
        ASSERT_EQ(p.layers.size(), 2u);
        EXPECT_EQ(p.layers[1].name, "Kelvra Masked Layer");
        EXPECT_EQ(p.layers[1].blend, "norm");
        EXPECT_EQ(p.Pixels(bytes, 0), Colours(exported));
        EXPECT_EQ(p.Pixels(bytes, 1), Colours(exported));
        EXPECT_EQ(p.Pixels(bytes, -1), Colours(exported));
        const std::vector<uint8_t> alpha = p.Plane(bytes, 1, -1);
        for (size_t i = 0; i < n; ++i) {
          const int32_t m = static_cast<int32_t>(s.mask.pixels32()[i]);
          EXPECT_EQ(alpha[i], m < 0x10000000 ? 255 : 0) << "pixel " << i;
        }
        break;
      }
      case Doc::kNone:
        break;
    }
  }
}

TEST_F(EditorLinkTest, ShadedImageComesFromTheAltImageWhenThereIsOne) {
  Scene s;
  SimImage alt(5, 3, 32), altShaded(5, 3, 32);
  Fill(altShaded, 9);
  alt.SetShadedImage(&altShaded);
  s.doc.SetAltImage(&alt);
  EXPECT_EQ(Launch(path, 4.0, s.ctx), 0.0f);
  const std::vector<uint8_t> bytes = ReadFileBytes(path);
  EXPECT_EQ(PsdProbe(bytes).Pixels(bytes, -1), Colours(altShaded));
}

// The unchanged test: same mode, a readable file of the same size, the same
// colours. An unchanged export is only opened; anything else writes again.
TEST_F(EditorLinkTest, UnchangedExportIsOpenedWithoutWriting) {
  struct Row {
    const char* what;
    int firstMode, secondMode;
    void (*between)(Scene&, const std::string&);
    bool written;
  };
  const Row rows[] = {
      {"same image, flat", 0, 0, [](Scene&, const std::string&) {}, false},
      {"same image, layered", 1, 1, [](Scene&, const std::string&) {}, false},
      {"same image, masked shaded", 5, 5, [](Scene&, const std::string&) {}, false},
      {"only fourth bytes differ", 4, 4,
       [](Scene& s, const std::string&) {
         for (int i = 0; i < s.Pixels(); ++i) s.shaded.pixels32()[i] ^= 0xFF000000u;
       },
       false},
      {"one colour differs", 3, 3,
       [](Scene& s, const std::string&) { s.main.pixels32()[14] ^= 0x00010000u; }, true},
      // The first and the last pixel: no row escapes the comparison.
      {"first colour differs, flat", 0, 0,
       [](Scene& s, const std::string&) { s.main.pixels32()[0] ^= 0x00000100u; }, true},
      {"last colour differs, layered", 1, 1,
       [](Scene& s, const std::string&) { s.main.pixels32()[s.Pixels() - 1] ^= 0x00000001u; },
       true},
      {"another mode", 6, 7, [](Scene&, const std::string&) {}, true},
      {"file gone", 20, 20, [](Scene&, const std::string& p) { std::remove(p.c_str()); }, true},
      {"file unreadable", 2, 2,
       [](Scene&, const std::string& p) { WriteFileBytes(p, {'8', 'B', 'P', 'S'}); }, true},
      {"size differs, same pixel count", 0, 0,
       [](Scene& s, const std::string&) {
         s.main.SetSizeFields(3, 5);
         s.main.SetRowStride(12);
       },
       true},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.what);
    ResetEditorStateForTesting();
    seams::ClearShellOpened();
    Scene s;
    ASSERT_EQ(Launch(path, r.firstMode, s.ctx), 0.0f);
    // An old time, so that a new write shows in the stamp.
    struct utimbuf old = {1000000000, 1000000000};
    ASSERT_EQ(utime(path.c_str(), &old), 0);
    const int32_t oldStamp = FileTimeStamp(path.c_str());
    gLastEditorStamp = 77;
    r.between(s, path);
    EXPECT_EQ(Launch(path, r.secondMode, s.ctx), 0.0f);
    EXPECT_EQ(seams::ShellOpened().size(), 2u);
    EXPECT_EQ(gLastEditorMode, r.secondMode);
    if (r.written) {
      EXPECT_NE(FileTimeStamp(path.c_str()), oldStamp);
      EXPECT_EQ(gLastEditorStamp, FileTimeStamp(path.c_str()));
    } else {
      EXPECT_EQ(FileTimeStamp(path.c_str()), oldStamp);
      EXPECT_EQ(gLastEditorStamp, 77);
    }
  }
}

TEST_F(EditorLinkTest, ShellAndWriterFailures) {
  {
    SCOPED_TRACE("the shell cannot open: state recorded, -1");
    Scene s;
    seams::SetShellResult(32);
    EXPECT_EQ(Launch(path, 4.0, s.ctx), -1.0f);
    EXPECT_EQ(gLastEditorMode, 4);
    EXPECT_EQ(gLastEditorStamp, FileTimeStamp(path.c_str()));
    seams::SetShellResult(33);
  }
  struct Row {
    const char* what;
    double mode;
    bool allocationFails;  // else the disk is full
  };
  const Row rows[] = {{"flat, disk full", 0, false},
                      {"flat, no memory", 0, true},
                      {"layered, disk full", 1, false},
                      {"layered, no memory for the shading raster", 2, true},
                      {"masked, disk full", 3, false},
                      {"masked, no memory", 5, true}};
  for (const Row& r : rows) {
    SCOPED_TRACE(r.what);
    ResetEditorStateForTesting();
    seams::ClearShellOpened();
    seams::ClearNoteBoxes();
    gLastEditorMode = 42;
    gLastEditorStamp = 42;
    Scene s;
    WriteFileBytes(path, std::vector<uint8_t>(5000, 7));
    if (r.allocationFails) seams::FailAllAllocations(true);
    else seams::SetWriteBudget(10);
    EXPECT_EQ(Launch(path, r.mode, s.ctx), -1.0f);
    seams::FailAllAllocations(false);
    seams::SetWriteBudget(-1);
    EXPECT_TRUE(seams::ShellOpened().empty());
    EXPECT_EQ(gLastEditorMode, 42);
    EXPECT_EQ(gLastEditorStamp, 42);
    EXPECT_EQ(seams::NoteBoxes().size(), 1u);
  }
}

// ---- ReloadImage -------------------------------------------------------------------

// Exports in `mode`, then edits the written document like an editor: paints
// a rectangle into the bottom layer and, for layered documents, also into
// the composite (what a real editor does), and saves it a few seconds later.
void ExportAndEdit(const std::string& path, int mode, Scene& s, uint32_t rgb, int layer) {
  ASSERT_EQ(Launch(path, mode, s.ctx), 0.0f);
  std::vector<uint8_t> bytes = ReadFileBytes(path);
  ASSERT_TRUE(PaintPsd(bytes, layer, 1, 1, 3, 2, rgb));
  if (layer >= 0) ASSERT_TRUE(PaintPsd(bytes, -1, 1, 1, 3, 2, rgb));
  WriteFileBytes(path, bytes);
  SetFileTime(path, 5);
}

bool InRect(int i, int w) {
  const int x = i % w, y = i / w;
  return x >= 1 && x < 4 && y >= 1 && y < 3;
}

TEST_F(EditorLinkTest, EveryModeMergesTheEditIntoItsTarget) {
  struct Row {
    int mode;
    int paintedLayer;  // -1: the composite
    const char* target;
    bool notified;
  };
  const Row rows[] = {{1, 0, "main", true},   {2, 0, "main", true},    {3, 0, "main", true},
                      {0, -1, "main", true},  {-2, -1, "main", true},  {6, -1, "main", true},
                      {19, -1, "main", true}, {20, -1, "slot6", false}, {30, -1, "slot5", false},
                      {25, -1, "main", false}};
  const uint32_t red = 0xC81E3C;
  for (const Row& r : rows) {
    SCOPED_TRACE(::testing::Message() << "mode " << r.mode);
    ResetEditorStateForTesting();
    Scene s;
    ExportAndEdit(path, r.mode, s, red, r.paintedLayer);
    SimImage& target = std::string(r.target) == "main"    ? s.main
                       : std::string(r.target) == "slot6" ? s.slot6
                                                          : s.slot5;
    // Mode 30 exported the main image; its reload compares with slot 5.
    std::vector<uint32_t> before(target.pixels32(), target.pixels32() + s.Pixels());
    if (r.mode == 30) {
      for (int i = 0; i < s.Pixels(); ++i) {
        target.pixels32()[i] = (before[i] & 0xFF000000u) | (s.main.pixels32()[i] & 0xFFFFFF);
      }
      before.assign(target.pixels32(), target.pixels32() + s.Pixels());
    }
    const std::vector<uint8_t> mainBefore = s.main.snapshot();
    EXPECT_EQ(Reload(path, s.ctx), r.notified ? 1.0f : 0.0f);
    for (int i = 0; i < s.Pixels(); ++i) {
      const uint32_t expected = InRect(i, 5) ? (before[i] & 0xFF000000u) | red : before[i];
      EXPECT_EQ(target.pixels32()[i], expected) << "pixel " << i;
    }
    if (&target != &s.main) EXPECT_EQ(s.main.snapshot(), mainBefore);
    ASSERT_EQ(s.doc.notifyCalls.size(), r.notified ? 1u : 0u);
    if (r.notified) {
      EXPECT_EQ(s.doc.notifyCalls[0].self, s.doc.record());
      EXPECT_EQ(s.doc.notifyCalls[0].args, (std::vector<int32_t>{524341, 1}));
      EXPECT_EQ(s.doc.notifyCalls[0].pointerArg, s.main.record());
    }
    // The stamp is not renewed: a second reload reads again and finds the
    // host already holding the file's colours.
    const std::vector<uint8_t> merged = target.snapshot();
    EXPECT_EQ(Reload(path, s.ctx), 0.0f);
    EXPECT_EQ(target.snapshot(), merged);
    EXPECT_EQ(s.doc.notifyCalls.size(), r.notified ? 1u : 0u);
  }
}

// Modes 4 and 5 exported the shaded image: the edit is carried into the flat
// main image channel by channel with the ratio rule, only where the file
// differs from the shaded image.
TEST_F(EditorLinkTest, ShadedModesCarryTheEditByTheRatioRule) {
  for (int mode : {4, 5}) {
    SCOPED_TRACE(::testing::Message() << "mode " << mode);
    ResetEditorStateForTesting();
    Scene s;
    // Flat 100 everywhere; shaded 200 in red, 0 in green, 50 in blue; the
    // main image also differs from the shaded one outside the rectangle.
    for (int i = 0; i < s.Pixels(); ++i) {
      s.main.pixels32()[i] = 0x7F000000u | 100u << 16 | 250u << 8 | 100u;
      s.shaded.pixels32()[i] = 0x11000000u | 200u << 16 | 0u << 8 | 50u;
    }
    // Red to 100 (ratio 1/2), green to 10 (added to 250: 255), blue kept.
    ExportAndEdit(path, mode, s, 100u << 16 | 10u << 8 | 50u, mode == 4 ? -1 : 0);
    const std::vector<uint8_t> shadedBefore = s.shaded.snapshot();
    EXPECT_EQ(Reload(path, s.ctx), 1.0f);
    for (int i = 0; i < s.Pixels(); ++i) {
      const uint32_t expected = InRect(i, 5) ? 0x7F000000u | 50u << 16 | 255u << 8 | 100u
                                             : 0x7F000000u | 100u << 16 | 250u << 8 | 100u;
      EXPECT_EQ(s.main.pixels32()[i], expected) << "pixel " << i;
    }
    EXPECT_EQ(s.shaded.snapshot(), shadedBefore);
    EXPECT_EQ(s.doc.notifyCalls.size(), 1u);
  }
}

TEST_F(EditorLinkTest, ReloadStampAndDifferenceRules) {
  {
    SCOPED_TRACE("same stamp: not read, even when the contents changed");
    Scene s;
    ASSERT_EQ(Launch(path, 0.0, s.ctx), 0.0f);
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    std::vector<uint8_t> bytes = ReadFileBytes(path);
    ASSERT_TRUE(PaintPsd(bytes, -1, 0, 0, 5, 3, 0x123456));
    WriteFileBytes(path, bytes);
    struct utimbuf t = {st.st_atime, st.st_mtime};
    ASSERT_EQ(utime(path.c_str(), &t), 0);
    const std::vector<uint8_t> before = s.main.snapshot();
    EXPECT_EQ(Reload(path, s.ctx), 0.0f);
    EXPECT_EQ(s.main.snapshot(), before);
    // Stamp 0 (no stamp taken): always read.
    gLastEditorStamp = 0;
    EXPECT_EQ(Reload(path, s.ctx), 1.0f);
    EXPECT_EQ(s.main.pixels32()[7] & 0xFFFFFF, 0x123456u);
  }
  {
    SCOPED_TRACE("fourth bytes differ only: nothing to merge");
    ResetEditorStateForTesting();
    Scene s;
    ASSERT_EQ(Launch(path, 0.0, s.ctx), 0.0f);
    SetFileTime(path, 5);
    for (int i = 0; i < s.Pixels(); ++i) s.main.pixels32()[i] ^= 0xFF000000u;
    const std::vector<uint8_t> before = s.main.snapshot();
    EXPECT_EQ(Reload(path, s.ctx), 0.0f);
    EXPECT_EQ(s.main.snapshot(), before);
    EXPECT_TRUE(s.doc.notifyCalls.empty());
  }
  {
    SCOPED_TRACE("copy keeps the target's fourth byte");
    ResetEditorStateForTesting();
    Scene s(1, 1);
    s.main.pixels32()[0] = 127u << 24 | 16u << 16 | 32u << 8 | 48u;
    std::vector<uint8_t> flat = {'8', 'B', 'P', 'S', 0, 1, 0, 0, 0, 0, 0, 0, 0, 3,
                                 0, 0, 0, 1, 0, 0, 0, 1, 0, 8, 0, 3, 0, 0, 0, 0,
                                 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 64, 80, 96};
    WriteFileBytes(path, flat);
    EXPECT_EQ(Reload(path, s.ctx), 1.0f);  // before any export: mode 0, stamp 0
    EXPECT_EQ(s.main.pixels32()[0], 127u << 24 | 64u << 16 | 80u << 8 | 96u);
  }
}

}  // namespace
}  // namespace kelvra
