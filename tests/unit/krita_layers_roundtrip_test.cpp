// Layers a user adds in Krita 5.1 come back. LaunchEditor writes the shading
// document (mode 1); one kritarunner process then opens it as a user would,
// adds painted layers (filled blocks and soft-edged strokes, whose partly
// transparent rims meet each blend mode on many backdrops) in normal,
// multiply and screen mode, above the library's upper layer, hidden or in
// groups, or paints on the bottom layer, and saves each as PSD. References
// are Krita's own exports as PNG with the library's layer hidden: of the
// document as it showed it, and of the saved document opened again.
//
// What Krita 5.1.5 writes, seen in its saves of our document: every Unicode
// name ends with a NUL unit ("KShading (do not edit this layer)\0"; the
// Pascal name does not), each layer gets a transparency channel and the
// merged image an alpha plane (a negative layer count), and of the flags only
// bit 3, visibility and (on a group's two records) bit 4 are set.
//
// Tolerance: 1 level for each layer Krita blends over a pixel. Krita blends
// multiply and screen in integers as three separately rounded products
// (backdrop, source, blend, each weighted by the alphas), and normal in
// floating point with the pixel's alpha times the layer's opacity unrounded;
// the library rounds that alpha to 8 bits and rounds the mix once. Over every
// source, backdrop and alpha the two differ by at most 1 level (counted
// exhaustively, normal at the opacities used here), and Krita's formulas,
// applied to the saved layers, give its PNGs exactly (checked in every case
// but the isolated group). Two such layers over one pixel stayed within 1
// level except in the pass-through group.
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bitmap/abitmap.h"
#include "editorlink/editor_state.h"
#include "hostsim/hostsim.h"
#include "plugin/exports.h"
#include "tests/support/test_env.h"
#include "tests/unit/editor_fixture.h"
#include "tests/unit/psd_probe.h"
#include "tools/kelvra-host/image_io.h"

namespace kelvra {
namespace {

using hostsim::SimImage;
using testing::ReadFileBytes;
using testing::WriteFileBytes;

constexpr int kW = 64, kH = 48;
const char kOwnLayer[] = "KShading (do not edit this layer)";

// The host: a main image whose levels sweep 0 to 255 in red across the width
// and in green down the height (blue mixed), and its shaded image.
struct Scene {
  SimImage main{kW, kH, 32}, shaded{kW, kH, 32};
  hostsim::SimDocument doc;
  hostsim::SimContext ctx;
  Scene() {
    for (int y = 0; y < kH; ++y) {
      for (int x = 0; x < kW; ++x) {
        const uint32_t r = x * 255 / (kW - 1), g = y * 255 / (kH - 1), b = (x * y * 7 + x) & 255;
        main.pixels32()[y * kW + x] = 0x3C000000u | r << 16 | g << 8 | b;
        shaded.pixels32()[y * kW + x] = 0xFF000000u | (r / 2) << 16 | (g / 2) << 8 | b / 2;
      }
    }
    main.SetShadedImage(&shaded);
    doc.SetMainImage(&main);
    ctx.SetSlot(2, doc.record());
  }
  float Launch(const std::string& path) {
    return KelvraDLL_LaunchEditor(const_cast<char*>(path.c_str()), 1, nullptr, 0, nullptr, 0,
                                  ctx.table());
  }
  float Reload(const std::string& path) {
    return KelvraDLL_ReloadImage(const_cast<char*>(path.c_str()), 0, nullptr, 0, nullptr, 0,
                                 ctx.table());
  }
};

// The Python run by kritarunner: helpers, then one function per case (its
// body from the table), then main(out_dir, base, case...). Pixels of an RGBA
// 8-bit Krita layer are B, G, R, A bytes. Layers are painted with
// setPixelData (Krita 5.1's scripting has no brush): a stroke is a capsule
// whose edge pixel is covered by its distance to the centre line, so its rim
// is partly transparent, as a brush's is.
const char kScript[] = R"PY(
import math, traceback
from krita import Krita, InfoObject

def paint(node, w, h, shapes):
    buf = bytearray(node.pixelData(0, 0, w, h))
    for rgb, cover in shapes:
        for y in range(h):
            for x in range(w):
                a = cover(x + 0.5, y + 0.5)
                if a <= 0: continue
                i = (y * w + x) * 4
                da = buf[i + 3] / 255.0
                oa = a + da * (1 - a)
                for c, s in zip((2, 1, 0), rgb):
                    buf[i + c] = int((s * a + buf[i + c] * da * (1 - a)) / oa + 0.5)
                buf[i + 3] = int(oa * 255 + 0.5)
    node.setPixelData(bytes(buf), 0, 0, w, h)

def block(x0, y0, w, h):
    return lambda x, y: 1.0 if x0 <= x < x0 + w and y0 <= y < y0 + h else 0.0

def stroke(x0, y0, x1, y1, r):
    def cover(x, y):
        dx, dy = x1 - x0, y1 - y0
        t = max(0.0, min(1.0, ((x - x0) * dx + (y - y0) * dy) / (dx * dx + dy * dy)))
        d = math.hypot(x - x0 - t * dx, y - y0 - t * dy)
        return max(0.0, min(1.0, r + 0.5 - d))
    return cover

def add_layer(doc, above, mode, opacity, parent=None):
    layer = doc.createNode("Paint", "paintlayer")
    (parent or doc.rootNode()).addChildNode(layer, above)
    layer.setBlendingMode(mode)
    layer.setOpacity(opacity)
    return layer

def own_layer(doc):
    return [n for n in doc.topLevelNodes() if n.name().rstrip("\0") == OWN][0]

# Two layers just above the bottom layer: blocks and a stroke at full
# opacity, and a stroke across them at 60 %.
def mode_layers(doc, bottom, mode):
    one = add_layer(doc, bottom, mode, 255)
    paint(one, W, H, [((255, 128, 0), block(4, 4, 30, 20)), ((60, 180, 220), block(26, 16, 34, 28)),
                      ((20, 90, 200), stroke(6, 40, 58, 8, 3.2))])
    two = add_layer(doc, one, mode, 153)
    paint(two, W, H, [((200, 90, 30), stroke(2, 6, 60, 44, 5.5))])

# A group just above the bottom layer: a multiply layer with blocks and a
# stroke, under a screen layer with a stroke.
def group_layers(doc, bottom, pass_through, opacity):
    group = doc.createGroupLayer("Group")
    doc.rootNode().addChildNode(group, bottom)
    group.setPassThroughMode(pass_through)
    group.setOpacity(opacity)
    one = add_layer(doc, None, "multiply", 255, group)
    paint(one, W, H, [((255, 128, 0), block(4, 4, 30, 20)),
                      ((20, 90, 200), stroke(6, 40, 58, 8, 3.2))])
    two = add_layer(doc, one, "screen", 255, group)
    paint(two, W, H, [((200, 90, 30), stroke(2, 6, 60, 44, 5.5))])

# Saving and exporting fail at once (return False) while the image is still
# busy (after opening, after any change); waitForDone lets it settle.
def settled(doc, action, path):
    for attempt in range(5):
        doc.waitForDone()
        if action(path): return
    raise RuntimeError("Krita could not write " + path)

def run(out_dir, base, name, edit):
    k = Krita.instance()
    doc = k.openDocument(base)
    doc.setBatchmode(True)  # without it, saving shows a dialog and never returns
    edit(doc, doc.topLevelNodes()[0])  # top-level nodes are listed bottom first
    doc.refreshProjection()
    saved = "%s/%s.psd" % (out_dir, name)
    settled(doc, doc.saveAs, saved)
    info = InfoObject()
    info.setProperty("alpha", False)
    export = lambda doc: lambda path: doc.exportImage(path, info)
    # What the user sees: with the library's layer (the merged image) and
    # without it (what the reload should give).
    settled(doc, export(doc), "%s/%s.shown.png" % (out_dir, name))
    own_layer(doc).setVisible(False)
    doc.refreshProjection()
    settled(doc, export(doc), "%s/%s.seen.png" % (out_dir, name))
    doc.close()
    # The saved document as Krita reads it back.
    doc = k.openDocument(saved)
    doc.setBatchmode(True)
    own_layer(doc).setVisible(False)
    doc.refreshProjection()
    settled(doc, export(doc), "%s/%s.png" % (out_dir, name))
    doc.close()

def main(args):
    out_dir, base = args[0], args[1]
    Krita.instance().setBatchmode(True)
    try:
        for name in args[2:]: run(out_dir, base, name, EDITS[name])
        open(out_dir + "/done", "w").close()
    except Exception:
        with open(out_dir + "/failed", "w") as f: f.write(traceback.format_exc())
)PY";

// A layer record as Krita should save it, bottom-up.
struct Record {
  const char* key;
  int opacity;
  bool hidden;
};

// One edit: a name, the Python body of edit(doc, bottom), the records the
// save must hold, the levels allowed, whether Krita reads its save back as
// it showed it, and whether the reload must refuse it.
struct KritaCase {
  std::string name, edit;
  std::vector<Record> records;
  int levels = 1;
  bool readsBack = true;
  bool refused = false;
};

const Record kBottom{"norm", 255, false}, kOwn{"hLit", 255, false};

std::vector<KritaCase> Cases() {
  return {
      // Saved again as it is: today's picture stays today's picture.
      {"untouched", "pass", {kBottom, kOwn}},
      {"normal", "mode_layers(doc, bottom, 'normal')",
       {kBottom, {"norm", 255, false}, {"norm", 153, false}, kOwn}},
      {"multiply", "mode_layers(doc, bottom, 'multiply')",
       {kBottom, {"mul ", 255, false}, {"mul ", 153, false}, kOwn}},
      {"screen", "mode_layers(doc, bottom, 'screen')",
       {kBottom, {"scrn", 255, false}, {"scrn", 153, false}, kOwn}},
      // Above everything, the library's layer included.
      {"on-top",
       "top = add_layer(doc, own_layer(doc), 'normal', 178)\n"
       "paint(top, W, H, [((255, 128, 0), block(4, 4, 30, 20)),"
       " ((30, 60, 240), stroke(8, 40, 56, 6, 4.4))])",
       {kBottom, kOwn, {"norm", 178, false}}},
      // The texture itself painted: a stroke and a block on the bottom layer.
      {"bottom-stroke",
       "paint(bottom, W, H, [((250, 240, 20), stroke(4, 24, 60, 30, 3.7)),"
       " ((10, 10, 10), block(40, 2, 12, 10))])",
       {kBottom, kOwn}},
      // A hidden layer is saved and left out.
      {"hidden",
       "h = add_layer(doc, bottom, 'normal', 255)\n"
       "paint(h, W, H, [((255, 128, 0), block(4, 4, 50, 30))])\n"
       "h.setVisible(False)\n"
       "v = add_layer(doc, h, 'multiply', 255)\n"
       "paint(v, W, H, [((200, 90, 30), stroke(2, 6, 60, 44, 5.5))])",
       {kBottom, {"norm", 255, true}, {"mul ", 255, false}, kOwn}},
      // An isolated group at 70 %: its layers composite on their own (a
      // multiply layer over nothing is its own colour), then the group
      // blends. Krita 5.1.5 saves the opacity on the group's record and on
      // its divider, but opens the document with the group at 100 %: its
      // export of the saved document is 76 levels off what it showed.
      {"group", "group_layers(doc, bottom, False, 178)",
       {kBottom, {"norm", 178, false}, {"mul ", 255, false}, {"scrn", 255, false},
        {"norm", 178, false}, kOwn},
       1, false},
      // Pass-through ("pass" only in the section dividers; the records say
      // "norm"): the layers blend straight onto the bottom layer. Krita's
      // rounding of the two layers adds up to 2 levels here (its formulas,
      // applied to the saved layers, give its picture exactly).
      {"group-pass-through", "group_layers(doc, bottom, True, 255)",
       {kBottom, {"norm", 255, false}, {"mul ", 255, false}, {"scrn", 255, false},
        {"norm", 255, false}, kOwn},
       2},
      // Krita's own modes are saved as "norm": the records cannot say what
      // Krita drew, so the reload refuses (and the next launch keeps the
      // document) instead of merging a normal layer.
      {"erase", "mode_layers(doc, bottom, 'erase')",
       {kBottom, {"norm", 255, false}, {"norm", 153, false}, kOwn}, 1, true, true},
      {"grain-merge", "mode_layers(doc, bottom, 'grain_merge')",
       {kBottom, {"norm", 255, false}, {"norm", 153, false}, kOwn}, 1, true, true},
  };
}

std::string Python(const std::vector<KritaCase>& cases) {
  std::string py = std::string(kScript) + "OWN = \"" + kOwnLayer + "\"\nW, H = " +
                   std::to_string(kW) + ", " + std::to_string(kH) + "\nEDITS = {}\n";
  for (const KritaCase& c : cases) {
    std::string body = "    " + c.edit;
    for (size_t at = body.find('\n'); at != std::string::npos; at = body.find('\n', at + 1)) {
      body.insert(at + 1, "    ");
    }
    py += "def edit(doc, bottom):\n" + body + "\nEDITS['" + c.name + "'] = edit\n";
  }
  return py;
}

// Colour differences of `pixels` (32-bit host layout) against a PNG: the
// largest, and how many pixels differ at all or by more than `tolerance`.
struct Difference {
  int worst = 0, differing = 0, beyond = 0;
};
Difference Compare(const uint32_t* pixels, const std::string& png, int tolerance) {
  tool::ColorImage ref;
  std::string error;
  Difference d;
  EXPECT_TRUE(tool::ReadColorImage(png, &ref, &error)) << error;
  EXPECT_TRUE(ref.width == kW && ref.height == kH) << png;
  if (ref.width != kW || ref.height != kH) return {256, kW * kH, kW * kH};
  for (int i = 0; i < kW * kH; ++i) {
    int pixelWorst = 0;
    for (int shift : {0, 8, 16}) {
      pixelWorst = std::max(pixelWorst, std::abs(static_cast<int>(pixels[i] >> shift & 255) -
                                                 static_cast<int>(ref.pixels[i] >> shift & 255)));
    }
    if (pixelWorst > tolerance && d.beyond < 4) {
      ADD_FAILURE() << "pixel " << i % kW << "," << i / kW << ": " << std::hex
                    << (pixels[i] & 0xFFFFFF) << ", Krita " << (ref.pixels[i] & 0xFFFFFF);
    }
    d.worst = std::max(d.worst, pixelWorst);
    d.differing += pixelWorst > 0;
    d.beyond += pixelWorst > tolerance;
  }
  return d;
}

class KritaLayers : public testing::EditorLinkFixture {
 protected:
  testing::TempDir dir;
};

TEST_F(KritaLayers, EveryLayerTheUserAddsComesBack) {
  if (testing::RunCommand("command -v kritarunner") != 0) {
    GTEST_SKIP() << "kritarunner not found: install Debian's krita and python3-pyqt5 "
                    "(scripts/install-deps.sh) to run the Krita round trips";
  }
  seams::SetShellLaunches(false);
  const std::string base = dir.File("base.psd");
  {
    Scene s;
    ASSERT_EQ(s.Launch(base), 0.0f);
  }
  const std::vector<KritaCase> cases = Cases();
  const std::string py = Python(cases);
  WriteFileBytes(dir.File("krita_edits.py"), std::vector<uint8_t>(py.begin(), py.end()));
  std::string names;
  for (const KritaCase& c : cases) names += " " + c.name;
  const std::string home = dir.File("home");
  mkdir(home.c_str(), 0700);
  std::string log;
  // kritarunner exits with 0 whatever the script did: the script leaves
  // "done" or "failed" (the traceback) behind.
  const int status = testing::RunCommand(
      "cd '" + dir.path() + "' && HOME='" + home + "' XDG_RUNTIME_DIR='" + home +
          "' XDG_CONFIG_HOME='" + home + "/config' XDG_DATA_HOME='" + home +
          "/data' XDG_CACHE_HOME='" + home + "/cache' QT_QPA_PLATFORM=offscreen PYTHONPATH='" +
          dir.path() + "' timeout 240 kritarunner -s krita_edits -f main '" + dir.path() +
          "' '" + base + "'" + names + " 2>&1",
      &log);
  ASSERT_EQ(status, 0) << log;
  if (testing::FileExists(dir.File("failed"))) {
    const std::vector<uint8_t> tb = ReadFileBytes(dir.File("failed"));
    FAIL() << std::string(tb.begin(), tb.end());
  }
  ASSERT_TRUE(testing::FileExists(dir.File("done"))) << log;

  for (const KritaCase& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string saved = dir.File(c.name + ".psd");
    const std::vector<uint8_t> kritaBytes = ReadFileBytes(saved);

    // The records hold the blend keys, opacities and visibility set in Krita,
    // and the library's layer as it was written.
    // (The probe's `ok` expects a raw composite; a parse that failed would
    // leave the compression value 0.)
    const testing::PsdProbe probe(kritaBytes);
    ASSERT_EQ(probe.compositeCompression, 1) << "Krita's composite is PackBits-compressed";
    ASSERT_EQ(probe.layers.size(), c.records.size());
    for (size_t i = 0; i < c.records.size(); ++i) {
      EXPECT_EQ(probe.layers[i].blend, c.records[i].key) << "layer " << i;
      EXPECT_EQ(probe.layers[i].opacity, c.records[i].opacity) << "layer " << i;
      EXPECT_EQ((probe.layers[i].flags & 2) != 0, c.records[i].hidden) << "layer " << i;
    }

    // The merged image Krita stores is the picture it showed.
    ABitMap merged;
    ASSERT_EQ(merged.LoadFromFile(saved.c_str(), false), 0);
    const Difference m = Compare(reinterpret_cast<const uint32_t*>(merged.pixels),
                                 dir.File(c.name + ".shown.png"), 0);
    merged.Release();
    EXPECT_EQ(m.differing, 0) << "merged image against Krita's export, worst " << m.worst;

    // ReloadImage reads the layers without the shading layer.
    ResetEditorStateForTesting();
    Scene s;
    const std::string doc = dir.File("edited-" + c.name + ".psd");
    ASSERT_EQ(s.Launch(doc), 0.0f);
    WriteFileBytes(doc, kritaBytes);
    testing::SetFileTime(doc, 5);
    std::vector<uint32_t> alpha;
    for (int i = 0; i < kW * kH; ++i) alpha.push_back(s.main.pixels32()[i] >> 24);
    if (c.refused) {
      const std::vector<uint32_t> before(s.main.pixels32(), s.main.pixels32() + kW * kH);
      EXPECT_EQ(s.Reload(doc), -1.0f);
      EXPECT_TRUE(std::equal(before.begin(), before.end(), s.main.pixels32()));
      ASSERT_EQ(s.Launch(doc), 0.0f);
      EXPECT_TRUE(ReadFileBytes(dir.File("edited-" + c.name + ".kept-1.psd")) == kritaBytes);
      continue;
    }
    EXPECT_EQ(s.Reload(doc), c.name == "untouched" ? 0.0f : 1.0f);
    // Against what Krita showed, and against the saved document as Krita
    // reads it back.
    for (const char* view : {".seen.png", ".png"}) {
      if (!c.readsBack && std::string(view) == ".png") continue;
      const Difference r = Compare(s.main.pixels32(), dir.File(c.name + view), c.levels);
      std::printf("[ krita    ] %-18s %-9s worst %d, %4d of %d pixels differ, %d by more than %d\n",
                  c.name.c_str(), view[1] == 's' ? "as shown" : "read back", r.worst, r.differing,
                  kW * kH, r.beyond, c.levels);
      EXPECT_EQ(r.beyond, 0) << view << ": worst " << r.worst;
    }
    for (int i = 0; i < kW * kH; ++i) {
      ASSERT_EQ(s.main.pixels32()[i] >> 24, alpha[i]) << "alpha byte of pixel " << i;
    }
    // The host now holds what the document shows: launching again opens the
    // user's document as it is.
    ASSERT_EQ(s.Launch(doc), 0.0f);
    EXPECT_TRUE(ReadFileBytes(doc) == kritaBytes) << "the document was written again";
  }
}

}  // namespace
}  // namespace kelvra
