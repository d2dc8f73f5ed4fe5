// Round trips through real image editors: LaunchEditor writes the document
// and the shell's open (the POSIX substitute starts an opener detached)
// hands it to GIMP in batch mode or to ImageMagick, which paint a rectangle
// on the bottom layer and save with layers; ReloadImage must merge exactly
// that rectangle. GIMP re-saves with a transparency channel first in every
// layer and PackBits data; ImageMagick pads its PackBits rows and keeps a
// stale composite in layered documents.
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "editorlink/editor_state.h"
#include "hostsim/hostsim.h"
#include "plugin/exports.h"
#include "tests/support/test_env.h"
#include "tests/unit/editor_fixture.h"

namespace kelvra {
namespace {

using hostsim::SimImage;

constexpr int kW = 64, kH = 48;
constexpr int kX = 4, kY = 4, kRw = 20, kRh = 10;
constexpr uint32_t kR = 200, kG = 30, kB = 60;  // even levels: see the ratio rule below

bool InRect(int i) {
  const int x = i % kW, y = i / kW;
  return x >= kX && x < kX + kRw && y >= kY && y < kY + kRh;
}

// A main image of levels 1 to 127 and a shaded image of twice those levels.
struct Scene {
  SimImage main{kW, kH, 32}, shaded{kW, kH, 32};
  hostsim::SimDocument doc;
  hostsim::SimContext ctx;
  Scene() {
    uint32_t x = 88172645u;
    for (int i = 0; i < kW * kH; ++i) {
      x ^= x << 13;
      x ^= x >> 17;
      x ^= x << 5;
      // Levels 1 to 127: a shaded level of 0 would make the rule add.
      const uint32_t m = (x & 0x7F7F7F) | 0x010101;
      main.pixels32()[i] = (x & 0xFF000000u) | m;
      shaded.pixels32()[i] = 0xFF000000u | m << 1;
    }
    main.SetShadedImage(&shaded);
    doc.SetMainImage(&main);
    ctx.SetSlot(2, doc.record());
  }
  void Reshade() {
    for (int i = 0; i < kW * kH; ++i) {
      // Twice each level, at most 255.
      uint32_t out = 0xFF000000u;
      for (int shift : {0, 8, 16}) {
        const uint32_t level = ((main.pixels32()[i] >> shift) & 255) * 2;
        out |= (level > 255 ? 255 : level) << shift;
      }
      shaded.pixels32()[i] = out;
    }
  }
};

// The editors, as shell commands on "$1" (the document). Each waits a moment
// first, as a user would, so the save lands in a later second than the export.
std::string GimpCommand(bool layered) {
  const std::string pick =
      layered ? "(car (gimp-image-get-layer-by-name image \\\"Background\\\"))"
              : "(vector-ref (cadr (gimp-image-get-layers image)) 0)";
  const std::string script =
      "(let* ((image (car (file-psd-load RUN-NONINTERACTIVE \\\"$1\\\" \\\"$1\\\")))"
      "       (layer " + pick + "))"
      "  (gimp-context-set-foreground '(200 30 60))"
      "  (gimp-context-set-antialias FALSE)"
      "  (gimp-context-set-feather FALSE)"
      "  (gimp-image-select-rectangle image CHANNEL-OP-REPLACE 4 4 20 10)"
      "  (gimp-drawable-edit-fill layer FILL-FOREGROUND)"
      "  (gimp-selection-none image)"
      "  (file-psd-save RUN-NONINTERACTIVE image layer \\\"$1\\\" \\\"$1\\\" 1 0)"
      "  (gimp-image-delete image))";
  return "timeout 150 gimp-console -i -d -f -b \"" + script + "\" -b '(gimp-quit 0)'";
}

std::string MagickCommand(bool layered) {
  const std::string paint = "+antialias -fill '#C81E3C' -draw 'rectangle 4,4 23,13'";
  if (layered) {
    // Images 0, 1, 2: the composite, "Background", the shading layer.
    return "timeout 150 convert \"$1\" \\( -clone 1 " + paint + " \\) -swap 1,-1 +delete \"$1\"";
  }
  return "timeout 150 convert \"$1\" " + paint + " \"$1\"";
}

class RealEditorTest : public testing::EditorLinkFixture {
 protected:
  // Writes the opener the shell starts: it runs the editor on the document
  // with a private profile and leaves "<doc>.done" holding its exit status.
  std::string Opener(const std::string& editorCommand) {
    const std::string opener = dir.File("open-in-editor.sh");
    const std::string text =
        "#!/bin/sh\n"
        "export XDG_CONFIG_HOME='" + dir.File("config") + "' XDG_CACHE_HOME='" +
        dir.File("cache") + "'\n"
        "sleep 1.2\n" + editorCommand + " >\"$1.log\" 2>&1\n"
        "echo $? >\"$1.tmp\" && mv \"$1.tmp\" \"$1.done\"\n";
    testing::WriteFileBytes(opener, std::vector<uint8_t>(text.begin(), text.end()));
    chmod(opener.c_str(), 0755);
    return opener;
  }

  // Export, wait for the editor, reload twice (the host shades the merged
  // image again in between, as it does on NotifyChanged).
  void RoundTrip(const std::string& editorCommand, int mode, Scene& s) {
    seams::ClearShellOpened();
    seams::SetShellLaunches(true, Opener(editorCommand));
    ASSERT_EQ(KelvraDLL_LaunchEditor(const_cast<char*>(doc.c_str()), mode, nullptr, 0, nullptr,
                                     0, s.ctx.table()),
              0.0f);
    ASSERT_EQ(seams::ShellOpened(), std::vector<std::string>{doc});
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(170);
    while (!testing::FileExists(doc + ".done") && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    ASSERT_TRUE(testing::FileExists(doc + ".done")) << "the editor did not finish";
    const std::vector<uint8_t> status = testing::ReadFileBytes(doc + ".done");
    const std::vector<uint8_t> log = testing::ReadFileBytes(doc + ".log");
    const std::string said(log.begin(), log.end());
    ASSERT_EQ(std::string(status.begin(), status.end()), "0\n") << said;
    // GIMP's batch mode exits with 0 even when the script failed.
    ASSERT_EQ(said.find("execution error"), std::string::npos) << said;
    first = KelvraDLL_ReloadImage(const_cast<char*>(doc.c_str()), 0, nullptr, 0, nullptr, 0,
                                  s.ctx.table());
    s.Reshade();
    second = KelvraDLL_ReloadImage(const_cast<char*>(doc.c_str()), 0, nullptr, 0, nullptr, 0,
                                   s.ctx.table());
  }

  void ExpectMerged(Scene& s, const std::vector<uint32_t>& before, uint32_t rgb) {
    EXPECT_EQ(first, 1.0f);
    EXPECT_EQ(second, 0.0f);
    ASSERT_EQ(s.doc.notifyCalls.size(), 1u);
    EXPECT_EQ(s.doc.notifyCalls[0].args, (std::vector<int32_t>{524341, 1}));
    EXPECT_EQ(s.doc.notifyCalls[0].pointerArg, s.main.record());
    int wrong = 0;
    for (int i = 0; i < kW * kH; ++i) {
      const uint32_t expected = InRect(i) ? (before[i] & 0xFF000000u) | rgb : before[i];
      if (s.main.pixels32()[i] != expected && ++wrong < 5) {
        ADD_FAILURE() << "pixel " << i % kW << "," << i / kW << ": " << std::hex
                      << s.main.pixels32()[i] << " expected " << expected;
      }
    }
    EXPECT_EQ(wrong, 0);
  }

  testing::TempDir dir;
  std::string doc = dir.File("painting.psd");
  float first = -2, second = -2;
};

struct EditorCase {
  const char* name;
  std::string (*command)(bool layered);
};
const EditorCase kEditors[] = {{"GIMP", GimpCommand}, {"ImageMagick", MagickCommand}};

// Mode 1: the layered document with the shading layer; the reload reads the
// bottom layer and copies the painted rectangle into the main image.
TEST_F(RealEditorTest, LayeredShadingDocumentEditedOnItsBackgroundLayer) {
  for (const EditorCase& e : kEditors) {
    SCOPED_TRACE(e.name);
    ResetEditorStateForTesting();
    std::remove((doc + ".done").c_str());
    Scene s;
    const std::vector<uint32_t> before(s.main.pixels32(), s.main.pixels32() + kW * kH);
    RoundTrip(e.command(true), 1, s);
    ExpectMerged(s, before, kR << 16 | kG << 8 | kB);
  }
}

// Mode 4: the flat document of the shaded image; the shaded image is twice
// the flat one, so the ratio rule gives half the painted levels, and after
// the host shades again the file holds no difference.
TEST_F(RealEditorTest, FlatShadedDocumentEditedAndCarriedByTheRatioRule) {
  for (const EditorCase& e : kEditors) {
    SCOPED_TRACE(e.name);
    ResetEditorStateForTesting();
    std::remove((doc + ".done").c_str());
    Scene s;
    const std::vector<uint32_t> before(s.main.pixels32(), s.main.pixels32() + kW * kH);
    RoundTrip(e.command(false), 4, s);
    ExpectMerged(s, before, (kR / 2) << 16 | (kG / 2) << 8 | (kB / 2));
  }
}

}  // namespace
}  // namespace kelvra
