// Bad input never harms the host: each export of the editor link and SetUI
// walked through missing and malformed host objects, paths and files. For
// every case: the result, and that no host pixel changed, no note box or
// notification appeared, and nothing was opened where nothing should be.
#include <string>
#include <vector>

#include "editorlink/editor_state.h"
#include "hostsim/hostsim.h"
#include "hostsim/ui_tree.h"
#include "plugin/exports.h"
#include "tests/support/test_env.h"
#include "tests/unit/editor_fixture.h"
#include "tests/unit/psd_probe.h"

namespace kelvra {
namespace {

using hostsim::SimImage;

enum class Export { kLaunch, kReload, kRelease, kSetUI };

// Every host object with pixels of its own; `Pixels()` is all of them, to
// compare before and after.
struct World {
  SimImage main{4, 3, 32}, shaded{4, 3, 32}, mask{4, 3, 32}, slot5{4, 3, 32}, slot6{4, 3, 32};
  SimImage small{2, 3, 32}, deep16{4, 3, 16}, gappy{4, 3, 32, 20}, shallow24{4, 3, 24};
  hostsim::SimDocument doc;
  hostsim::SimContext ctx;
  hostsim::SimUiTree ui;
  std::string path;
  bool nullContext = false;
  bool nullPath = false;

  explicit World(const std::string& p) : path(p) {
    SimImage* all[] = {&main, &shaded, &mask, &slot5, &slot6, &small, &deep16, &gappy, &shallow24};
    uint32_t x = 99;
    for (SimImage* image : all) {
      for (size_t i = 0; i < image->byteCount(); ++i) {
        x = x * 1103515245u + 12345u;
        image->bytes()[i] = static_cast<uint8_t>(x >> 16);
      }
    }
    main.SetShadedImage(&shaded);
    main.SetMaskSource(&mask);
    doc.SetMainImage(&main);
    ctx.SetSlot(2, doc.record());
    ctx.SetSlot(5, slot5.record());
    ctx.SetSlot(6, slot6.record());
  }
  std::vector<std::vector<uint8_t>> Pixels() {
    std::vector<std::vector<uint8_t>> out;
    for (SimImage* image : {&main, &shaded, &mask, &slot5, &slot6, &small, &deep16, &gappy,
                            &shallow24}) {
      out.push_back(image->snapshot());
    }
    return out;
  }
  float Call(Export which, double value) {
    char* text = nullPath ? nullptr : const_cast<char*>(path.c_str());
    char** table = nullContext ? nullptr : ctx.table();
    switch (which) {
      case Export::kLaunch: return KelvraDLL_LaunchEditor(text, value, nullptr, 0, nullptr, 0, table);
      case Export::kReload: return KelvraDLL_ReloadImage(text, value, nullptr, 0, nullptr, 0, table);
      case Export::kRelease: return KelvraDLL_ReleaseMemory(text, value, nullptr, 0, nullptr, 0, table);
      case Export::kSetUI: return KelvraDLL_SetUI(text, value, nullptr, 0, nullptr, 0, table);
    }
    return -2.0f;
  }
  // A document exported in `mode` and edited (a changed rectangle in the
  // bottom layer and the composite), saved after the export's stamp.
  void Edited(int mode) {
    ASSERT_EQ(Call(Export::kLaunch, mode), 0.0f);
    std::vector<uint8_t> bytes = testing::ReadFileBytes(path);
    testing::PsdProbe probe(bytes);
    ASSERT_TRUE(probe.ok);
    if (!probe.layers.empty()) ASSERT_TRUE(testing::PaintPsd(bytes, 0, 0, 0, 2, 2, 0x0A0B0C));
    ASSERT_TRUE(testing::PaintPsd(bytes, -1, 0, 0, 2, 2, 0x0A0B0C));
    testing::WriteFileBytes(path, bytes);
    testing::SetFileTime(path, 5);
    seams::ClearShellOpened();
  }
  // Replaces the document's bytes, saved a few seconds after the export.
  void Rewrite(const std::vector<uint8_t>& bytes) {
    testing::WriteFileBytes(path, bytes);
    testing::SetFileTime(path, 7);
  }
};

struct Case {
  const char* what;
  Export which;
  double value;
  void (*arrange)(World&);
  float expected;
};

void Nothing(World&) {}

const Case kCases[] = {
    // LaunchEditor: nothing is written, recorded or opened.
    {"launch: no context", Export::kLaunch, 0, [](World& w) { w.nullContext = true; }, -1},
    {"launch: no document", Export::kLaunch, 0, [](World& w) { w.ctx.SetSlot(2, nullptr); }, -1},
    {"launch: no path", Export::kLaunch, 0, [](World& w) { w.nullPath = true; }, -1},
    {"launch: no main image", Export::kLaunch, 0, [](World& w) { w.doc.SetMainImage(nullptr); }, -1},
    {"launch 100: no main image", Export::kLaunch, 100, [](World& w) { w.doc.SetMainImage(nullptr); }, -1},
    {"launch 20: no main image", Export::kLaunch, 20, [](World& w) { w.doc.SetMainImage(nullptr); }, -1},
    {"launch 20: no slot-6 image", Export::kLaunch, 20, [](World& w) { w.ctx.SetSlot(6, nullptr); }, -1},
    {"launch 4: no shaded image", Export::kLaunch, 4, [](World& w) { w.main.SetShadedImage(nullptr); }, -1},
    {"launch: main without pixel pointer", Export::kLaunch, 0, [](World& w) { w.main.DropPixelPointer(); }, -1},
    {"launch: main without pixel store", Export::kLaunch, 6, [](World& w) { w.main.DropPixelStore(); }, -1},
    {"launch: main 16 bits deep", Export::kLaunch, 0,
     [](World& w) { w.doc.SetMainImage(&w.deep16); }, -1},
    {"launch: main with gaps between rows", Export::kLaunch, 3,
     [](World& w) { w.doc.SetMainImage(&w.gappy); }, -1},
    {"launch: main with negative width", Export::kLaunch, 0,
     [](World& w) { w.main.SetSizeFields(-4, 3); }, -1},
    {"launch 20: slot-6 image 24 bits deep", Export::kLaunch, 20,
     [](World& w) { w.ctx.SetSlot(6, w.shallow24.record()); }, -1},
    {"launch 1: no shaded image", Export::kLaunch, 1, [](World& w) { w.main.SetShadedImage(nullptr); }, -1},
    {"launch 2: shaded image of another size", Export::kLaunch, 2,
     [](World& w) { w.main.SetShadedImage(&w.small); }, -1},
    {"launch 1: shaded image 24 bits deep", Export::kLaunch, 1,
     [](World& w) { w.main.SetShadedImage(&w.shallow24); }, -1},
    {"launch 1: shaded image without pixels", Export::kLaunch, 1,
     [](World& w) { w.shaded.DropPixelPointer(); }, -1},
    {"launch 1: shaded image with gaps", Export::kLaunch, 1,
     [](World& w) { w.main.SetShadedImage(&w.gappy); }, -1},
    {"launch 3: no mask source", Export::kLaunch, 3, [](World& w) { w.main.SetMaskSource(nullptr); }, -1},
    {"launch 3: mask without pixels", Export::kLaunch, 3, [](World& w) { w.mask.DropPixelPointer(); }, -1},
    {"launch 5: mask 16 bits deep", Export::kLaunch, 5,
     [](World& w) { w.main.SetMaskSource(&w.deep16); }, -1},
    {"launch 5: mask smaller than the image", Export::kLaunch, 5,
     [](World& w) { w.main.SetMaskSource(&w.small); }, -1},
    {"launch 3: mask with gaps", Export::kLaunch, 3,
     [](World& w) { w.main.SetMaskSource(&w.gappy); }, -1},
    {"launch: path in a missing folder", Export::kLaunch, 0,
     [](World& w) { w.path += ".d/none/doc.psd"; }, -1},

    // ReloadImage on an edited document: -1 before the file is examined, 0
    // when it cannot be merged; never a changed pixel.
    {"reload: no context", Export::kReload, 0,
     [](World& w) { w.Edited(0); w.nullContext = true; }, -1},
    {"reload: no document", Export::kReload, 0,
     [](World& w) { w.Edited(0); w.ctx.SetSlot(2, nullptr); }, -1},
    {"reload: no path", Export::kReload, 0, [](World& w) { w.Edited(0); w.nullPath = true; }, -1},
    {"reload 1: no main image", Export::kReload, 0,
     [](World& w) { w.Edited(1); w.doc.SetMainImage(nullptr); }, -1},
    {"reload 0: no shaded image", Export::kReload, 0,
     [](World& w) { w.Edited(0); w.main.SetShadedImage(nullptr); }, -1},
    {"reload 20: no slot-6 image", Export::kReload, 0,
     [](World& w) { w.Edited(20); w.ctx.SetSlot(6, nullptr); }, -1},
    {"reload 30: no slot-5 image", Export::kReload, 0,
     [](World& w) { w.Edited(30); w.ctx.SetSlot(5, nullptr); }, -1},
    {"reload: file missing", Export::kReload, 0,
     [](World& w) { w.Edited(0); std::remove(w.path.c_str()); }, -1},
    {"reload: file empty", Export::kReload, 0,
     [](World& w) { w.Edited(0); w.Rewrite({}); }, -1},
    {"reload: not a document", Export::kReload, 0,
     [](World& w) { w.Edited(0); w.Rewrite(std::vector<uint8_t>(100, 0xEE)); }, -1},
    {"reload 0: truncated flat document", Export::kReload, 0,
     [](World& w) {
       w.Edited(0);
       std::vector<uint8_t> b = testing::ReadFileBytes(w.path);
       b.resize(b.size() > 5 ? b.size() - 5 : 0);
       w.Rewrite(b);
     },
     -1},
    {"reload 1: truncated layered document", Export::kReload, 0,
     [](World& w) {
       w.Edited(1);
       std::vector<uint8_t> b = testing::ReadFileBytes(w.path);
       b.resize(b.size() / 2);
       w.Rewrite(b);
     },
     -1},
    {"reload: main without pixels", Export::kReload, 0,
     [](World& w) { w.Edited(0); w.main.DropPixelPointer(); }, 0},
    {"reload: main of another size", Export::kReload, 0,
     [](World& w) { w.Edited(0); w.doc.SetMainImage(&w.small); w.small.SetShadedImage(&w.shaded); }, 0},
    {"reload: main 16 bits deep", Export::kReload, 0,
     [](World& w) { w.Edited(0); w.doc.SetMainImage(&w.deep16); w.deep16.SetShadedImage(&w.shaded); }, 0},
    {"reload: main with gaps between rows", Export::kReload, 0,
     [](World& w) { w.Edited(3); w.doc.SetMainImage(&w.gappy); w.gappy.SetShadedImage(&w.shaded); }, 0},
    {"reload 4: shaded image without pixels", Export::kReload, 0,
     [](World& w) { w.Edited(4); w.shaded.DropPixelPointer(); }, 0},
    {"reload 5: shaded image of another size", Export::kReload, 0,
     [](World& w) { w.Edited(5); w.main.SetShadedImage(&w.small); }, 0},
    {"reload 4: shaded image 24 bits deep", Export::kReload, 0,
     [](World& w) { w.Edited(4); w.main.SetShadedImage(&w.shallow24); }, 0},
    {"reload 30: slot 5 holds the 16-bit height field", Export::kReload, 0,
     [](World& w) { w.Edited(30); w.ctx.SetSlot(5, w.deep16.record()); }, 0},

    // ReleaseMemory uses none of its arguments.
    {"release: no context", Export::kRelease, 0, [](World& w) { w.nullContext = true; }, 0},
    {"release: no path, no document", Export::kRelease, 0,
     [](World& w) { w.nullPath = true; w.ctx.SetSlot(2, nullptr); }, 0},

    // SetUI reports nothing and changes nothing without a tree to work on.
    {"setui: no context", Export::kSetUI, 0, [](World& w) { w.nullContext = true; }, 0},
    {"setui: no document", Export::kSetUI, 0, [](World& w) { w.ctx.SetSlot(2, nullptr); }, 0},
    {"setui: no UI root", Export::kSetUI, 0, Nothing, 0},
    {"setui: a tree without the names", Export::kSetUI, 0,
     [](World& w) {
       host::UiNode* a = w.ui.AddLabelled("Save");
       host::UiNode* b = w.ui.AddLabelled("Edit");
       w.ui.AppendSibling(a, b);
       w.ui.SetKind(b, 1007);  // an item list with no entries
       w.doc.SetUiRoot(b);
     },
     0},
};

class EditorBadInputTest : public testing::EditorLinkFixture {};

TEST_F(EditorBadInputTest, NoCaseHarmsTheHost) {
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.what);
    testing::TempDir dir;
    ResetEditorStateForTesting();
    seams::ResetAll();
    World w(dir.File("doc.psd"));
    c.arrange(w);
    if (::testing::Test::HasFatalFailure()) return;
    const int32_t mode = gLastEditorMode, stamp = gLastEditorStamp;
    const bool existed = testing::FileExists(w.path);
    const std::vector<uint8_t> fileBefore = existed ? testing::ReadFileBytes(w.path)
                                                    : std::vector<uint8_t>();
    const auto pixels = w.Pixels();
    const auto tree = w.ui.Snapshot();
    gWorkRaster.Allocate(1, 1, 32);

    EXPECT_EQ(w.Call(c.which, c.value), c.expected);

    EXPECT_EQ(w.Pixels(), pixels);
    EXPECT_EQ(w.ui.Snapshot(), tree);
    EXPECT_TRUE(w.doc.notifyCalls.empty());
    EXPECT_TRUE(seams::ShellOpened().empty());
    EXPECT_TRUE(seams::NoteBoxes().empty());
    EXPECT_TRUE(hostsim::ContractViolations().empty());
    EXPECT_EQ(gLastEditorMode, mode);
    EXPECT_EQ(gLastEditorStamp, stamp);
    EXPECT_EQ(testing::FileExists(w.path), existed);
    if (existed) EXPECT_EQ(testing::ReadFileBytes(w.path), fileBefore);
    // The working raster is released by ReleaseMemory and by every launch
    // whose value is outside 20 to 30, failing or not.
    const bool released = c.which == Export::kRelease ||
                          (c.which == Export::kLaunch && !(c.value >= 20 && c.value <= 30));
    EXPECT_EQ(gWorkRaster.pixels == nullptr, released);
    gWorkRaster.Release();
  }
}

}  // namespace
}  // namespace kelvra
