// Resource accounting of export calls: the check each export runs on return,
// and every export driven through its success and failure paths (allocation
// failure at every request, short writes, missing files) with nothing left
// outstanding after any call beyond the blocks the library keeps.
#include <algorithm>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "editorlink/editor_state.h"
#include "hostsim/hostsim.h"
#include "hostsim/ui_tree.h"
#include "maps/preview.h"
#include "plugin/accounting.h"
#include "plugin/dispatcher.h"
#include "plugin/exports.h"
#include "plugin/state.h"
#include "services/services.h"
#include "services/test_seams.h"
#include "tests/support/test_env.h"
#include "tests/unit/psd_probe.h"

namespace kelvra {
namespace {

class AccountingCheckTest : public testing::KelvraTest {
 protected:
  void TearDown() override {
    seams::ClearExportImbalances();  // the imbalances here are made on purpose
    testing::KelvraTest::TearDown();
  }
};

TEST_F(AccountingCheckTest, CallThatKeepsABlockOrFileIsRecordedUnlessTheKeptSetGrew) {
  const ResourceCount none = {0, 0, 0, true};
  const ResourceCount oneTracked = {1, 0, 0, true};
  const ResourceCount onePlain = {0, 1, 0, true};
  struct Case {
    const char* what;
    bool tracked, plain;  // what the "call" leaves behind
    ResourceCount keptOnReturn;
    bool imbalance;
  };
  const Case cases[] = {
      {"nothing left", false, false, none, false},
      {"tracked block left", true, false, none, true},
      {"plain block left", false, true, none, true},
      {"tracked block now kept", true, false, oneTracked, false},
      {"plain block now kept", false, true, onePlain, false},
      {"kept set grew without a block", false, false, oneTracked, true},
      {"tracked kept, plain left", true, true, oneTracked, true},
  };
  for (const Case& c : cases) {
    seams::ClearExportImbalances();
    const ResourceCount entry = OutstandingResources();
    void* t = c.tracked ? TrackedAlloc(8, "test") : nullptr;
    void* p = c.plain ? PlainAlloc(8) : nullptr;
    CheckExportResources("Probe", entry, none, c.keptOnReturn);
    ASSERT_EQ(seams::ExportImbalances().size(), c.imbalance ? 1u : 0u) << c.what;
    if (c.imbalance) EXPECT_EQ(seams::ExportImbalances()[0].exportName, "Probe");
    TrackedFree(t);
    PlainFree(p);
  }
}

TEST_F(AccountingCheckTest, FileLeftOpenIsRecorded) {
  testing::TempDir dir;
  const std::string path = dir.File("open.bin");
  const ResourceCount entry = OutstandingResources();
  FileHandle f = FileOpenOrCreate(path.c_str(), true);
  ASSERT_NE(f, 0);
  CheckExportResources("Probe", entry, {0, 0, 0, true}, {0, 0, 0, true});
  ASSERT_EQ(seams::ExportImbalances().size(), 1u);
  EXPECT_EQ(seams::ExportImbalances()[0].actual.openFiles, entry.openFiles + 1);
  FileClose(f, false);
}

TEST_F(AccountingCheckTest, AllocationRequestsCountFailedOnesToo) {
  const int before = seams::AllocationRequests();
  void* a = TrackedAlloc(4, "test");
  seams::FailNthAllocation(1);
  void* b = PlainAlloc(4);
  EXPECT_EQ(b, nullptr);
  EXPECT_EQ(seams::AllocationRequests(), before + 2);
  TrackedFree(a);
  seams::ClearNoteBoxes();
}

}  // namespace
}  // namespace kelvra

// ---- every export through its failure paths ---------------------------------

namespace kelvra {
namespace {

using hostsim::SimImage;

// A host with everything the exports reach: a 16-bit height image in slot 5,
// a map source in slot 4, a document whose main image has a shaded image and
// a mask, a slot-6 image, and an interface tree long enough that the search
// has to grow its stack on the heap.
struct World {
  testing::TempDir dir;
  std::string tif = dir.File("map.tif");
  std::string psd = dir.File("doc.psd");
  std::string missing = dir.File("no/such/folder/file");
  SimImage heights{40, 30, 16};
  SimImage main{20, 15, 32}, shaded{20, 15, 32}, mask{20, 15, 32}, slot6{20, 15, 32};
  hostsim::SimMapSource source;
  hostsim::SimDocument doc;
  hostsim::SimContext ctx;
  hostsim::SimUiTree tree;
  host::UiNode* saveAs = nullptr;
  host::UiNode* editLink = nullptr;
  std::vector<uint8_t> mainBefore;
  std::vector<hostsim::SimUiTree::Links> treeBefore;

  World() {
    uint32_t x = 0x9E3779B9u;
    auto next = [&x] {
      x ^= x << 13;
      x ^= x >> 17;
      x ^= x << 5;
      return x;
    };
    for (size_t i = 0; i < heights.byteCount(); ++i) heights.bytes()[i] = static_cast<uint8_t>(next());
    for (SimImage* im : {&main, &shaded, &mask, &slot6}) {
      for (size_t i = 0; i < im->byteCount() / 4; ++i) im->pixels32()[i] = next();
    }
    main.SetShadedImage(&shaded);
    main.SetMaskSource(&mask);
    doc.SetMainImage(&main);
    doc.SetMaskThreshold(0x40000000);
    source.mapWidth = 12;
    source.mapHeight = 10;
    source.mapScaleFixed = 3 * 65536;
    ctx.SetSlot(2, doc.record());
    ctx.SetSlot(4, source.record());
    ctx.SetSlot(5, heights.record());
    ctx.SetSlot(6, slot6.record());
    BuildMenu();
    treeBefore = tree.Snapshot();
  }

  // File { Save Document As } and, beside it, a chain of menus 150 deep with
  // the edit-link item at its bottom: more pending entries than the search
  // holds in place.
  void BuildMenu() {
    host::UiNode* file = tree.AddLabelled("File");
    saveAs = tree.AddLabelled("Save Document As");
    tree.AppendChild(file, saveAs);
    host::UiNode* parent = tree.AddLabelled("Menu 0");
    tree.AppendSibling(file, parent);
    for (int depth = 1; depth < 150; ++depth) {
      host::UiNode* child = tree.AddLabelled("Menu " + std::to_string(depth));
      tree.AppendChild(parent, child);
      parent = child;
    }
    editLink = tree.AddLabelled("KEditLinkDocument");
    tree.AppendChild(parent, editLink);
    doc.SetUiRoot(saveAs);
  }

  float Do(double value, const std::string& text) {
    return KelvraDLL_Do(const_cast<char*>(text.c_str()), value, nullptr, 0, nullptr, 0, ctx.table());
  }
  float Launch(double mode) {
    return KelvraDLL_LaunchEditor(psd.data(), mode, nullptr, 0, nullptr, 0, ctx.table());
  }
  float Reload() {
    return KelvraDLL_ReloadImage(psd.data(), 0.0, nullptr, 0, nullptr, 0, ctx.table());
  }
};

// One export call under test, after the calls that set its stage. `output`
// is the file it writes, if any. A failure shows as `failure`, or, where the
// result carries only another step's outcome, as a note box.
struct Scenario {
  const char* name;
  std::function<void(World&)> prepare;
  std::function<float(World&)> call;
  float success;
  float failure;
  std::string World::*output = nullptr;
  bool boxMayReportFailure = false;
  bool toleratesAllocationFailure = false;  // completes, more modestly, without the block
  // Checks of the host's objects after the call, failed or not.
  std::function<void(World&, float)> after = nullptr;
};

class ExportSweepTest : public testing::KelvraTest {
 protected:
  void SetUp() override {
    KelvraTest::SetUp();
    Clear();
    baseline_ = seams::Resources();
  }
  void TearDown() override {
    Clear();
    KelvraTest::TearDown();
  }
  static void Clear() {
    ResetEditorStateForTesting();
    ReleasePreviewForTesting();
    ResetPluginStateForTesting();
    gExportPath[0] = 0;
    gExportScale = 1.0f;
    hostsim::ClearContractViolations();
    seams::ClearShellOpened();
  }

  // After every export call: the call was balanced, and the process holds
  // exactly what the library keeps between calls, nothing more.
  void ExpectSettled(const std::string& where) {
    for (const seams::ExportImbalance& e : seams::ExportImbalances()) {
      ADD_FAILURE() << where << ": " << e.exportName << " returned unbalanced";
    }
    seams::ClearExportImbalances();
    const seams::Outstanding now = seams::Resources();
    const ResourceCount kept = KeptBetweenCalls();
    EXPECT_EQ(now.trackedBlocks, baseline_.trackedBlocks + kept.trackedBlocks) << where;
    EXPECT_EQ(now.plainBlocks, baseline_.plainBlocks + kept.plainBlocks) << where;
    EXPECT_EQ(now.openFiles, baseline_.openFiles) << where;
    EXPECT_TRUE(hostsim::ContractViolations().empty()) << where;
  }

  struct Outcome {
    float result;
    bool boxShown;
    std::vector<std::string> boxTexts;
    int allocationRequests;
    int64_t written;
  };

  // The scenario in a fresh world, `inject` armed for the call under test only.
  Outcome RunOnce(const Scenario& s, const std::function<void()>& inject) {
    Clear();
    World w;
    s.prepare(w);
    ExpectSettled(std::string(s.name) + " (stage)");
    w.mainBefore = w.main.snapshot();
    seams::ClearNoteBoxes();
    if (s.output != nullptr) std::remove((w.*s.output).c_str());
    const int before = seams::AllocationRequests();
    inject();
    Outcome o{};
    o.result = s.call(w);
    seams::FailNthAllocation(0);
    seams::SetWriteBudget(-1);
    o.allocationRequests = seams::AllocationRequests() - before;
    o.boxShown = !seams::NoteBoxes().empty();
    for (const seams::NoteBoxShown& b : seams::NoteBoxes()) o.boxTexts.push_back(b.text);
    seams::ClearNoteBoxes();
    if (s.output != nullptr && testing::FileExists(w.*s.output)) {
      o.written = static_cast<int64_t>(testing::ReadFileBytes(w.*s.output).size());
    }
    ExpectSettled(s.name);
    if (s.after) s.after(w, o.result);
    // Kept blocks go back, and then nothing at all is outstanding.
    KelvraDLL_ReleaseMemory(nullptr, 0, nullptr, 0, nullptr, 0, w.ctx.table());
    KelvraDLL_ExportDisp32_DeleteMap(nullptr, 0, nullptr, 0, nullptr, 0, w.ctx.table());
    ReleasePreviewForTesting();
    ExpectSettled(std::string(s.name) + " (released)");
    return o;
  }

  bool Failed(const Scenario& s, const Outcome& o) {
    return o.result == s.failure || (s.boxMayReportFailure && o.boxShown);
  }

  // The call once as it is, then with each of its allocations failing in
  // turn, then (when it writes a file) with the disk full after every byte of
  // the first 300 and at 40 points of the rest.
  void Sweep(const Scenario& s) {
    SCOPED_TRACE(s.name);
    const Outcome clean = RunOnce(s, [] {});
    ASSERT_EQ(clean.result, s.success);
    EXPECT_FALSE(clean.boxShown);
    for (int n = 1; n <= clean.allocationRequests; ++n) {
      const Outcome o = RunOnce(s, [n] { seams::FailNthAllocation(n); });
      if (!s.toleratesAllocationFailure) {
        EXPECT_TRUE(Failed(s, o)) << "allocation " << n << " of " << clean.allocationRequests
                                  << " failed, result " << o.result;
      }
    }
    if (s.output == nullptr) return;
    ASSERT_GT(clean.written, 300);
    std::vector<int64_t> budgets;
    for (int64_t b = 0; b < 300; ++b) budgets.push_back(b);
    for (int i = 0; i < 40; ++i) budgets.push_back(300 + (clean.written - 301) * i / 39);
    for (int64_t b : budgets) {
      const Outcome o = RunOnce(s, [b] { seams::SetWriteBudget(b); });
      EXPECT_TRUE(Failed(s, o)) << "disk full after " << b << " of " << clean.written
                                << " bytes, result " << o.result;
      // One box says so, and the bytes that reached the disk stay, the file
      // cut where they end.
      EXPECT_EQ(o.boxTexts, std::vector<std::string>{kWriteErrorText}) << "disk full after " << b;
      EXPECT_EQ(o.written, b) << "disk full after " << b;
    }
  }

  seams::Outstanding baseline_{};
};

const std::string kNormalCode = "XYZCCAK_FAHAJA";  // 8-bit RGB normal, codes 50/70/90
const std::string kFloatCode = "XYZKBAK_EAAAAA";   // 32-bit, code 40

void MakeMap(World& w) {
  ASSERT_EQ(KelvraDLL_ExportDisp32_MakeMap(nullptr, 0, nullptr, 0, nullptr, 0, w.ctx.table()), 0.0f);
}

TEST_F(ExportSweepTest, MapExports) {
  Sweep({"Do 3", [](World& w) { ASSERT_EQ(w.Do(2, w.tif), 0.0f); },
         [](World& w) { return w.Do(3, kNormalCode); }, 0.0f, 1.0f, &World::tif});
  Sweep({"Do 4",
         [](World& w) {
           ASSERT_EQ(w.Do(2, w.tif), 0.0f);
           MakeMap(w);
         },
         [](World& w) { return w.Do(4, kFloatCode); }, 0.0f, 1.0f, &World::tif});
  // A folder that is not there: no file, no box (no write was short).
  const Outcome o = RunOnce({"Do 3 into a missing folder", [](World& w) { ASSERT_EQ(w.Do(2, w.missing), 0.0f); },
                             [](World& w) { return w.Do(3, kNormalCode); }, 0.0f, 1.0f},
                            [] {});
  EXPECT_EQ(o.result, 1.0f);
  EXPECT_TRUE(o.boxTexts.empty());
}

TEST_F(ExportSweepTest, PreviewSampleAndSave) {
  // Without the tile's block command 20 keeps no tile and still answers 0.
  Sweep({"Do 20", [](World&) {}, [](World& w) { return w.Do(20, ""); }, 0.0f, 1.0f, nullptr, false,
         true});
  // The saved preview's result is the render's; a failed save shows a box.
  Sweep({"Do 21",
         [](World& w) {
           ASSERT_EQ(w.Do(2, w.psd), 0.0f);
           ASSERT_EQ(w.Do(20, ""), 0.0f);
         },
         [](World& w) { return w.Do(21, kNormalCode); }, 0.0f, 1.0f, &World::psd, true});
  const Outcome o = RunOnce({"Do 21 into a missing folder",
                             [](World& w) {
                               ASSERT_EQ(w.Do(2, w.missing), 0.0f);
                               ASSERT_EQ(w.Do(20, ""), 0.0f);
                             },
                             [](World& w) { return w.Do(21, kNormalCode); }, 0.0f, 1.0f},
                            [] {});
  EXPECT_EQ(o.result, 0.0f);
  EXPECT_TRUE(o.boxTexts.empty());
}

TEST_F(ExportSweepTest, ClipboardMakeMapAndSetters) {
  Sweep({"Do 100", [](World&) {}, [](World& w) { return w.Do(100, "some text"); }, 0.0f, -1.0f});
  Sweep({"Do 101", [](World& w) { ASSERT_EQ(w.Do(100, "some text"), 0.0f); },
         [](World& w) {
           char buf[64] = {};
           return KelvraDLL_Do(nullptr, 101, nullptr, 0, buf, 0, w.ctx.table());
         },
         0.0f, -1.0f});
  Sweep({"MakeMap", [](World&) {}, [](World& w) {
           return KelvraDLL_ExportDisp32_MakeMap(nullptr, 0, nullptr, 0, nullptr, 0, w.ctx.table());
         },
         0.0f, -1.0f});
  Sweep({"MakeMap, host makes none", [](World& w) { w.source.returnNull = true; },
         [](World& w) {
           return KelvraDLL_ExportDisp32_MakeMap(nullptr, 0, nullptr, 0, nullptr, 0, w.ctx.table());
         },
         -1.0f, -1.0f});
  // Without the host's table there is no map source to ask.
  EXPECT_EQ(KelvraDLL_ExportDisp32_MakeMap(nullptr, 0, nullptr, 0, nullptr, 0, nullptr), -1.0f);
  ExpectSettled("MakeMap without a host");
  using Setter = float (*)(KELVRA_FRAME);
  const Setter setters[] = {KelvraDLL_ExportDisp32_filename,    KelvraDLL_ExportDisp32_rayTraceMode,
                            KelvraDLL_ExportDisp32_smoothUV,    KelvraDLL_ExportDisp32_smooth,
                            KelvraDLL_ExportDisp32_imageWidth,  KelvraDLL_ExportDisp32_imageHeight,
                            KelvraDLL_ExportDisp32_accuracy,    KelvraDLL_ExportDisp32_borderSize,
                            KelvraDLL_ExportDisp32_optTileIndex, KelvraDLL_SetEditLinkPath,
                            KelvraDLL_ExportDisp32_DeleteMap,   KelvraDLL_ReleaseMemory};
  World w;
  char text[] = "C:\\some\\where.psd";
  for (Setter set : setters) {
    for (char* t : {text, static_cast<char*>(nullptr)}) {
      EXPECT_EQ(set(t, 7.5, nullptr, 0, nullptr, 0, w.ctx.table()), 0.0f);
      ExpectSettled("setter");
      EXPECT_EQ(set(t, 7.5, nullptr, 0, nullptr, 0, nullptr), 0.0f);
      ExpectSettled("setter without a host");
    }
  }
}

void ExpectMainUnchanged(World& w, float) { EXPECT_EQ(w.main.snapshot(), w.mainBefore); }

TEST_F(ExportSweepTest, LaunchEditorEveryDocumentKind) {
  struct Kind {
    const char* name;
    double mode;
  };
  for (const Kind& k : {Kind{"flat main", 0}, Kind{"shading layers", 1}, Kind{"grey shading", 2},
                        Kind{"masked layers", 3}, Kind{"flat shaded", 4}, Kind{"masked shaded", 5},
                        Kind{"flat slot 6", 20}}) {
    const double mode = k.mode;
    // A document that could not be written is neither recorded nor opened.
    auto openedOnlyWhenWritten = [](World& w, float r) {
      ExpectMainUnchanged(w, r);
      EXPECT_EQ(seams::ShellOpened().size(), r == 0.0f ? 1u : 0u);
      if (r != 0.0f) EXPECT_EQ(gLastEditorMode, 0);
      if (r != 0.0f) EXPECT_EQ(gLastEditorStamp, 0);
    };
    Sweep({k.name, [](World&) {}, [mode](World& w) { return w.Launch(mode); }, 0.0f, -1.0f,
           &World::psd, false, false, openedOnlyWhenWritten});
  }
  // Into a folder that is not there: nothing recorded, nothing opened.
  Clear();
  World w;
  w.psd = w.missing;
  seams::ClearShellOpened();
  EXPECT_EQ(w.Launch(1), -1.0f);
  ExpectSettled("LaunchEditor into a missing folder");
  EXPECT_TRUE(seams::ShellOpened().empty());
  EXPECT_EQ(gLastEditorMode, 0);
}

// The document LaunchEditor wrote, painted as an editor would and saved a
// few seconds later; `cut` keeps only that share of its bytes.
void LaunchAndEdit(World& w, double mode, double cut = 1.0) {
  ASSERT_EQ(w.Launch(mode), 0.0f);
  std::vector<uint8_t> bytes = testing::ReadFileBytes(w.psd);
  const bool layered = mode >= 1 && mode <= 3;
  if (layered) ASSERT_TRUE(testing::PaintPsd(bytes, 0, 1, 1, 4, 3, 0x2040F0));
  ASSERT_TRUE(testing::PaintPsd(bytes, -1, 1, 1, 4, 3, 0x2040F0));
  bytes.resize(static_cast<size_t>(static_cast<double>(bytes.size()) * cut));
  testing::WriteFileBytes(w.psd, bytes);
  testing::SetFileTime(w.psd, 5);
}

TEST_F(ExportSweepTest, ReloadImageEveryDocumentKindAndBrokenSaves) {
  // A reload that merged nothing left the host's pixels as they were.
  auto unchangedUnlessMerged = [](World& w, float r) {
    if (r != 1.0f) EXPECT_EQ(w.main.snapshot(), w.mainBefore);
    if (r == 1.0f) EXPECT_NE(w.main.snapshot(), w.mainBefore);
  };
  for (double mode : {0.0, 1.0, 2.0, 3.0, 4.0}) {
    Sweep({"reload", [mode](World& w) { LaunchAndEdit(w, mode); }, [](World& w) { return w.Reload(); },
           1.0f, -1.0f, nullptr, false, false, unchangedUnlessMerged});
    Sweep({"reload of a truncated save", [mode](World& w) { LaunchAndEdit(w, mode, 0.6); },
           [](World& w) { return w.Reload(); }, -1.0f, -1.0f, nullptr, false, false, ExpectMainUnchanged});
  }
  Sweep({"reload of a removed file",
         [](World& w) {
           LaunchAndEdit(w, 0);
           std::remove(w.psd.c_str());
         },
         [](World& w) { return w.Reload(); }, -1.0f, -1.0f, nullptr, false, false, ExpectMainUnchanged});
  // Documents the reader refuses: 16 bits deep, ZIP-compressed, CMYK, a
  // composite marked as not real. Each replaces a flat save.
  auto replaced = [](const std::function<void(std::vector<uint8_t>&)>& edit) {
    return [edit](World& w) {
      LaunchAndEdit(w, 0);
      std::vector<uint8_t> bytes = testing::ReadFileBytes(w.psd);
      edit(bytes);
      testing::WriteFileBytes(w.psd, bytes);
      testing::SetFileTime(w.psd, 5);
    };
  };
  const std::string data = std::string(KELVRA_TESTDATA_DIR) + "/psd/";
  // Flat document: header 26, three empty section lengths, then the
  // composite's compression.
  const std::vector<std::pair<const char*, std::function<void(std::vector<uint8_t>&)>>> foreign = {
      {"16 bits (GIMP)", [data](std::vector<uint8_t>& b) { b = testing::ReadFileBytes(data + "gimp_16bit_rle.psd"); }},
      {"16-bit grey (Krita)", [data](std::vector<uint8_t>& b) { b = testing::ReadFileBytes(data + "krita_gray16.psd"); }},
      {"ZIP", [](std::vector<uint8_t>& b) { b[39] = 2; }},
      {"CMYK", [](std::vector<uint8_t>& b) { b[25] = 4; }},
      {"no real composite",
       [](std::vector<uint8_t>& b) {
         // Image resources: one 1057 block whose flag byte says "no real
         // merged data".
         const uint8_t block[] = {'8', 'B', 'I', 'M', 0x04, 0x21, 0, 0, 0, 0, 0, 8, 0, 0, 0, 1, 0, 0, 0, 0};
         b[33] = sizeof block;
         b.insert(b.begin() + 34, block, block + sizeof block);
       }},
  };
  for (const auto& [what, edit] : foreign) {
    SCOPED_TRACE(what);
    Sweep({"reload of a document the reader refuses", replaced(edit), [](World& w) { return w.Reload(); },
           -1.0f, -1.0f, nullptr, false, false, ExpectMainUnchanged});
  }
  Sweep({"reload of a foreign file",
         [](World& w) {
           LaunchAndEdit(w, 0);
           testing::WriteFileBytes(w.psd, std::vector<uint8_t>(500, 'x'));
           testing::SetFileTime(w.psd, 5);
         },
         [](World& w) { return w.Reload(); }, -1.0f, -1.0f, nullptr, false, false, ExpectMainUnchanged});
}

TEST_F(ExportSweepTest, SetUiGrowsItsSearchAndGivesItBack) {
  // Without the block the search cannot finish: the tree is left as it was.
  // Otherwise the item moves after "Save Document As".
  auto movedOrUntouched = [](World& w, float) {
    if (w.tree.Snapshot() == w.treeBefore) return;
    EXPECT_EQ(host::NodeNextSibling(w.saveAs), w.editLink);
    EXPECT_EQ(host::NodeParent(w.editLink), host::NodeParent(w.saveAs));
  };
  int requests = 0;
  Sweep({"SetUI", [](World&) {},
         [&requests](World& w) {
           const int before = seams::AllocationRequests();
           const float r = KelvraDLL_SetUI(nullptr, 0.0, nullptr, 0, nullptr, 0, w.ctx.table());
           requests = std::max(requests, seams::AllocationRequests() - before);
           return r;
         },
         0.0f, 0.0f, nullptr, false, true, movedOrUntouched});
  EXPECT_GT(requests, 0) << "the search never grew its stack";
  // Every allocation failing: untouched.
  Clear();
  World w;
  seams::FailAllAllocations(true);
  EXPECT_EQ(KelvraDLL_SetUI(nullptr, 0.0, nullptr, 0, nullptr, 0, w.ctx.table()), 0.0f);
  seams::FailAllAllocations(false);
  seams::ClearNoteBoxes();
  ExpectSettled("SetUI without memory");
  EXPECT_EQ(w.tree.Snapshot(), w.treeBefore);
}

}  // namespace
}  // namespace kelvra
