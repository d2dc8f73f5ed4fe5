// The editor link with documents an editor saved with layers of the user's
// own: a new layer painted above the bottom layer (or above the library's
// layer) comes back through ReloadImage, a document whose composite still
// equals the host image is opened again as it is, a flat export saved back
// without a real composite comes back from its layers, and a document with
// something the compositor cannot reproduce changes nothing.
#include <cstring>
#include <string>
#include <vector>

#include "editorlink/editor_state.h"
#include "hostsim/hostsim.h"
#include "plugin/exports.h"
#include "tests/support/psd_build.h"
#include "tests/support/test_env.h"
#include "tests/unit/editor_fixture.h"

namespace kelvra {
namespace {

using hostsim::SimImage;
using testing::BuildPsd;
using testing::TestChannel;
using testing::TestDoc;
using testing::TestLayer;

constexpr int kW = 6, kH = 4;

struct Scene {
  SimImage main{kW, kH, 32}, shaded{kW, kH, 32};
  hostsim::SimDocument doc;
  hostsim::SimContext ctx;
  Scene() {
    for (int i = 0; i < kW * kH; ++i) {
      main.pixels32()[i] = 0x7F000000u | static_cast<uint32_t>(i * 0x030507 + 0x102030);
      shaded.pixels32()[i] = static_cast<uint32_t>(i * 0x010101 + 0x404040);
    }
    main.SetShadedImage(&shaded);
    doc.SetMainImage(&main);
    ctx.SetSlot(2, doc.record());
  }
};

float Launch(const std::string& path, double mode, Scene& s) {
  return KelvraDLL_LaunchEditor(const_cast<char*>(path.c_str()), mode, nullptr, 0, nullptr, 0,
                                s.ctx.table());
}
float Reload(const std::string& path, Scene& s) {
  return KelvraDLL_ReloadImage(const_cast<char*>(path.c_str()), 0.0, nullptr, 0, nullptr, 0,
                               s.ctx.table());
}

// The host image as the bottom layer an editor saves back.
TestLayer BottomLayer(SimImage& image) {
  TestLayer l;
  l.bottom = kH, l.right = kW;
  l.name = "Background";
  for (int c = 0; c < 3; ++c) {
    TestChannel ch;
    ch.id = static_cast<int16_t>(c), ch.compression = 1;
    for (int i = 0; i < kW * kH; ++i) {
      ch.samples.push_back(static_cast<uint8_t>(image.pixels32()[i] >> (16 - 8 * c)));
    }
    l.channels.push_back(ch);
  }
  return l;
}

TestLayer ShadingLayer() {
  TestLayer l;
  l.bottom = kH, l.right = kW;
  l.name = "KShading (do not edit this laye";
  std::memcpy(l.blendKey, "hLit", 4);
  for (int16_t id : {-1, 0, 1, 2}) {
    TestChannel ch;
    ch.id = id, ch.compression = 1;
    ch.samples.assign(kW * kH, id == -1 ? 255 : 60);
    l.channels.push_back(ch);
  }
  l.blocks = testing::UnicodeNameBlock("KShading (do not edit this layer)");
  return l;
}

// A red rectangle on columns 1..3 of rows 1..2, transparent elsewhere.
TestLayer PaintedLayer() {
  TestLayer l;
  l.top = 1, l.left = 1, l.bottom = 3, l.right = 4;
  l.name = "Layer 1";
  const int n = 6;
  l.channels = {TestChannel{-1, 1, std::vector<uint8_t>(n, 255), {}},
                TestChannel{0, 1, std::vector<uint8_t>(n, 200), {}},
                TestChannel{1, 1, std::vector<uint8_t>(n, 10), {}},
                TestChannel{2, 1, std::vector<uint8_t>(n, 20), {}}};
  return l;
}

bool InPainted(int i) {
  const int x = i % kW, y = i / kW;
  return x >= 1 && x < 4 && y >= 1 && y < 3;
}

TestDoc Saved(std::vector<TestLayer> layers) {
  TestDoc d;
  d.rows = kH, d.columns = kW, d.layerSection = true;
  d.composite = {std::vector<uint8_t>(kW * kH, 0), std::vector<uint8_t>(kW * kH, 0),
                 std::vector<uint8_t>(kW * kH, 0)};
  d.layers = std::move(layers);
  return d;
}

class EditorLayersTest : public testing::EditorLinkFixture {
 protected:
  testing::TempDir dir;
  std::string path = dir.File("doc.psd");
  // Replaces the exported file with `d`, saved two seconds later.
  void Save(const TestDoc& d) {
    testing::WriteFileBytes(path, BuildPsd(d));
    testing::SetFileTime(path, 2);
  }
};

TEST_F(EditorLayersTest, ANewLayerPaintedAboveComesBack) {
  // Below the library's layer, and above it.
  for (bool above : {false, true}) {
    SCOPED_TRACE(above ? "above the shading layer" : "below the shading layer");
    ResetEditorStateForTesting();
    Scene s;
    ASSERT_EQ(Launch(path, 1.0, s), 0.0f);
    const std::vector<uint32_t> before(s.main.pixels32(), s.main.pixels32() + kW * kH);
    Save(Saved(above ? std::vector<TestLayer>{BottomLayer(s.main), ShadingLayer(), PaintedLayer()}
                     : std::vector<TestLayer>{BottomLayer(s.main), PaintedLayer(), ShadingLayer()}));
    EXPECT_EQ(Reload(path, s), 1.0f);
    for (int i = 0; i < kW * kH; ++i) {
      const uint32_t expected =
          InPainted(i) ? (before[i] & 0xFF000000u) | 200u << 16 | 10u << 8 | 20u : before[i];
      EXPECT_EQ(s.main.pixels32()[i], expected) << i;
    }
  }
}

TEST_F(EditorLayersTest, AnUnchangedCompositeKeepsTheUsersLayers) {
  Scene s;
  ASSERT_EQ(Launch(path, 1.0, s), 0.0f);
  // The user added a layer and hid it: the composite is still the image.
  TestLayer hidden = PaintedLayer();
  hidden.flags = 0x02;
  Save(Saved({BottomLayer(s.main), ShadingLayer(), hidden}));
  const std::vector<uint8_t> saved = testing::ReadFileBytes(path);
  EXPECT_EQ(Reload(path, s), 0.0f);
  ASSERT_EQ(Launch(path, 1.0, s), 0.0f);
  EXPECT_EQ(testing::ReadFileBytes(path), saved) << "the user's document was written over";
}

TEST_F(EditorLayersTest, AFlatExportSavedWithoutARealCompositeComesBackFromItsLayers) {
  Scene s;
  ASSERT_EQ(Launch(path, 0.0, s), 0.0f);
  const std::vector<uint32_t> before(s.main.pixels32(), s.main.pixels32() + kW * kH);
  TestDoc d = Saved({BottomLayer(s.main), PaintedLayer()});
  d.resources = testing::Resource(1057, {0, 0, 0, 1, 0, 0, 0, 0, 0});  // not real
  Save(d);
  EXPECT_EQ(Reload(path, s), 1.0f);
  for (int i = 0; i < kW * kH; ++i) {
    EXPECT_EQ(s.main.pixels32()[i] & 0xFFFFFF,
              InPainted(i) ? 0xC80A14u : before[i] & 0xFFFFFF)
        << i;
  }
}

TEST_F(EditorLayersTest, WhatCannotBeReproducedChangesNothing) {
  Scene s;
  ASSERT_EQ(Launch(path, 1.0, s), 0.0f);
  const std::vector<uint8_t> before = s.main.snapshot();
  TestLayer curves = PaintedLayer();
  curves.blocks = testing::Block("curv", std::vector<uint8_t>(8, 0));
  TestLayer dissolve = PaintedLayer();
  std::memcpy(dissolve.blendKey, "diss", 4);
  dissolve.opacity = 128;  // dissolve equals normal only at alpha 0 and 255
  for (const TestLayer& odd : {curves, dissolve}) {
    Save(Saved({BottomLayer(s.main), PaintedLayer(), odd, ShadingLayer()}));
    EXPECT_EQ(Reload(path, s), -1.0f);
    EXPECT_EQ(s.main.snapshot(), before);
    EXPECT_TRUE(s.doc.notifyCalls.empty());
  }
}

}  // namespace
}  // namespace kelvra
