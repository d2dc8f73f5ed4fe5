// Editor round trips through the real DLL and a real shell: LaunchEditor
// writes the document and ShellExecuteA starts the stand-in editor that the
// test prefix associates with .psd files (kelvra_testeditor.exe); the editor
// paints a rectangle on the bottom layer and saves; ReloadImage merges it.
// Also SetUI on a host tree far longer than a recursive search survives.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "hostsim/hostsim.h"
#include "hostsim/ui_tree.h"
#include "tests/winhost/check.h"
#include "tests/winhost/host_dll.h"

namespace kelvra::wintest {
namespace {

using hostsim::SimContext;
using hostsim::SimDocument;
using hostsim::SimImage;

constexpr int kW = 7, kH = 5;
// The rectangle the editor paints: x 2 to 5, y 1 to 3, in an even colour.
constexpr int kX = 2, kY = 1, kRw = 4, kRh = 3;
constexpr uint32_t kR = 200, kG = 30, kB = 60;
constexpr int32_t kThreshold = 0x40000000;

bool InRect(int i) {
  const int x = i % kW, y = i / kW;
  return x >= kX && x < kX + kRw && y >= kY && y < kY + kRh;
}

struct Host {
  SimImage main{kW, kH, 32}, shaded{kW, kH, 32}, mask{kW, kH, 32}, slot6{kW, kH, 32};
  SimDocument doc;
  SimContext ctx;
  Host() {
    uint32_t x = 2463534242u;
    auto next = [&x] {
      x ^= x << 13;
      x ^= x >> 17;
      x ^= x << 5;
      return x;
    };
    for (int i = 0; i < kW * kH; ++i) {
      // Levels 1 to 127: a shaded level of 0 would make the ratio rule add.
      const uint32_t m = (next() & 0x7F7F7F) | 0x010101;
      main.pixels32()[i] = (next() & 0xFF000000u) | m;
      shaded.pixels32()[i] = (next() & 0xFF000000u) | (m << 1);  // twice the flat levels
      mask.pixels32()[i] = next();
      slot6.pixels32()[i] = next();
    }
    main.SetShadedImage(&shaded);
    main.SetMaskSource(&mask);
    doc.SetMainImage(&main);
    doc.SetMaskThreshold(kThreshold);
    ctx.SetSlot(2, doc.record());
    ctx.SetSlot(6, slot6.record());
  }
  // What the host does on NotifyChanged in these scenarios: shade the flat
  // image again (twice its levels).
  void Reshade() {
    for (int i = 0; i < kW * kH; ++i) {
      const uint32_t m = main.pixels32()[i];
      uint32_t s = shaded.pixels32()[i] & 0xFF000000u;
      for (int shift : {0, 8, 16}) {
        const uint32_t level = ((m >> shift) & 255) * 2;
        s |= (level > 255 ? 255 : level) << shift;
      }
      shaded.pixels32()[i] = s;
    }
  }
};

// One round trip in `mode`: export, the editor's edit, the reload; returns
// the target's pixels before the reload for the caller's checks.
struct RoundTrip {
  std::string path;
  float launched = -2, firstReload = -2, secondReload = -2;
  std::string editorSaw;
  int boxes = 0;  // message boxes the DLL showed during the round trip
};

RoundTrip Run(Host& host, int mode, bool reshade) {
  const Dll& dll = TheDll();
  RoundTrip r;
  r.path = TempDirWin() + "\\round trip mode " + std::to_string(mode) + ".psd";
  DeleteFileA(r.path.c_str());
  DeleteFileA((r.path + ".opened").c_str());
  FILE* edit = std::fopen((r.path + ".edit").c_str(), "wb");
  if (edit != nullptr) {
    std::fprintf(edit, "%d %d %d %d %u %u %u\n", kX, kY, kRw, kRh, kR, kG, kB);
    std::fclose(edit);
  }
  const int boxesBefore = MessageBoxesShown();
  r.launched = Export(dll.LaunchEditor, r.path, mode, host.ctx.table());
  r.editorSaw = AwaitEditor(r.path);
  r.firstReload = Export(dll.ReloadImage, r.path, 0.0, host.ctx.table());
  if (reshade) host.Reshade();
  r.secondReload = Export(dll.ReloadImage, r.path, 0.0, host.ctx.table());
  r.boxes = MessageBoxesShown() - boxesBefore;
  return r;
}

bool NotifiedOnce(Host& host) {
  if (host.doc.notifyCalls.size() != 1) return false;
  const hostsim::OpCall& c = host.doc.notifyCalls[0];
  return c.self == host.doc.record() && c.args == std::vector<int32_t>{524341, 1} &&
         c.pointerArg == host.main.record() && hostsim::ContractViolations().empty();
}

constexpr uint32_t kPainted = kR << 16 | kG << 8 | kB;
constexpr uint32_t kHalfPainted = (kR / 2) << 16 | (kG / 2) << 8 | (kB / 2);

// What a reload merges into the target's pixels inside the painted rectangle.
enum class Merge {
  kPainted,           // the painted colour itself
  kWhereUncovered,    // the painted colour where the masked layer lets it through
  kHalfLevels,        // the ratio rule: the shaded image is twice the flat one
};

struct ModeCase {
  int mode;
  const char* what;
  bool targetIsSlot6;   // mode 20 edits the slot-6 image, not the main image
  bool reshade;         // the host shades the flat image again after the merge
  float firstReload;    // 1.0: merged and the host told; 0.0: merged silently
  Merge merge;
};

const ModeCase kModes[] = {
    {1, "layered with a shading layer", false, false, 1.0f, Merge::kPainted},
    // The masked upper layer covers the bottom layer where the mask is below
    // the threshold; the editor's composite shows the painted bottom layer
    // only elsewhere, and that composite is what the reload merges.
    {3, "masked upper layer", false, false, 1.0f, Merge::kWhereUncovered},
    // After the host shades the new flat image again the file agrees with it,
    // so the second reload finds nothing to merge.
    {4, "flat shaded image", false, true, 1.0f, Merge::kHalfLevels},
    {20, "slot-6 image, the host is not told", true, false, 0.0f, Merge::kPainted},
};

WT_SCENARIO(editor_round_trips_for_every_mode) {
  for (const ModeCase& m : kModes) {
    std::printf("  mode %d: %s\n", m.mode, m.what);
    Host host;
    SimImage& target = m.targetIsSlot6 ? host.slot6 : host.main;
    const std::vector<uint8_t> mainBefore = host.main.snapshot();
    const std::vector<uint32_t> before(target.pixels32(), target.pixels32() + kW * kH);
    RoundTrip r = Run(host, m.mode, m.reshade);
    WT_CHECK_EQ(r.launched, 0.0f);
    WT_CHECK(r.editorSaw == r.path);
    WT_CHECK_EQ(r.boxes, 0);
    WT_CHECK_EQ(r.firstReload, m.firstReload);
    WT_CHECK_EQ(r.secondReload, 0.0f);
    if (m.firstReload == 1.0f) {
      WT_CHECK(NotifiedOnce(host));
    } else {
      WT_CHECK(host.doc.notifyCalls.empty());
    }
    if (m.targetIsSlot6) WT_CHECK(host.main.snapshot() == mainBefore);
    int changed = 0;
    for (int i = 0; i < kW * kH; ++i) {
      const bool covered = static_cast<int32_t>(host.mask.pixels32()[i]) < kThreshold;
      const bool painted = InRect(i) && !(m.merge == Merge::kWhereUncovered && covered);
      changed += painted;
      const uint32_t colour = m.merge == Merge::kHalfLevels ? kHalfPainted : kPainted;
      const uint32_t expected = painted ? (before[i] & 0xFF000000u) | colour : before[i];
      WT_CHECK_EQ(target.pixels32()[i], expected);
    }
    WT_CHECK(changed > 0);
  }
}

WT_SCENARIO(editor_bad_input_leaves_the_host_alone) {
  const Dll& dll = TheDll();
  Host host;
  const std::vector<uint8_t> mainBefore = host.main.snapshot();
  const std::string path = TempDirWin() + "\\bad input.psd";
  DeleteFileA(path.c_str());
  SimContext empty;
  WT_CHECK_EQ(Export(dll.LaunchEditor, path, 1.0, empty.table()), -1.0f);
  WT_CHECK_EQ(Export(dll.ReloadImage, path, 0.0, empty.table()), -1.0f);
  host.main.SetShadedImage(nullptr);
  WT_CHECK_EQ(Export(dll.LaunchEditor, path, 1.0, host.ctx.table()), -1.0f);
  WT_CHECK(GetFileAttributesA(path.c_str()) == INVALID_FILE_ATTRIBUTES);
  host.main.SetShadedImage(&host.shaded);
  // No such file: the reader's failure.
  WT_CHECK_EQ(Export(dll.ReloadImage, path, 0.0, host.ctx.table()), -1.0f);
  host.main.SetRowStride(kW * 4 + 4);
  WT_CHECK_EQ(Export(dll.LaunchEditor, path, 0.0, host.ctx.table()), -1.0f);
  WT_CHECK(host.main.snapshot() == mainBefore);
  WT_CHECK(host.doc.notifyCalls.empty());
  CallArgs none;
  WT_CHECK_EQ(Call(dll.ReleaseMemory, none), 0.0f);
}

WT_SCENARIO(setui_hundred_thousand_siblings_in_the_real_dll) {
  const Dll& dll = TheDll();
  hostsim::SimUiTree tree;
  std::vector<host::UiNode*> chain;
  for (int i = 0; i < 100000; ++i) {
    host::UiNode* n = tree.AddNode();
    if (i > 0) tree.AppendSibling(chain.back(), n);
    chain.push_back(n);
  }
  tree.SetLabel(chain[10], "KEditLinkDocument");
  tree.SetLabel(chain[99998], "Save Document As");
  SimDocument doc;
  doc.SetUiRoot(chain[500]);
  SimContext ctx;
  ctx.SetSlot(2, doc.record());
  CallArgs a;
  a.context = ctx.table();
  WT_CHECK_EQ(Call(dll.SetUI, a), 0.0f);
  WT_CHECK(host::NodeNextSibling(chain[99998]) == chain[10]);
  WT_CHECK(host::NodeNextSibling(chain[10]) == chain[99999]);
  WT_CHECK(host::NodeNextSibling(chain[9]) == chain[11]);
  WT_CHECK(host::NodePrevSibling(chain[11]) == chain[9]);
}

}  // namespace
}  // namespace kelvra::wintest
