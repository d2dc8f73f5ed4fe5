#include "tests/support/psd_feature_docs.h"

#include <cstring>

#include "tests/support/psd_build.h"

namespace kelvra::testing {

namespace {

constexpr int kW = 5, kH = 3;

TestChannel Ramp(int16_t id, int rows, int columns, int step, uint16_t compression = 1) {
  TestChannel c;
  c.id = id, c.compression = compression;
  for (int i = 0; i < rows * columns; ++i) c.samples.push_back(static_cast<uint8_t>(i * step + id));
  return c;
}

TestLayer Layer(int top, int left, int bottom, int right, const char* key = "norm",
                bool transparency = true) {
  TestLayer l;
  l.top = top, l.left = left, l.bottom = bottom, l.right = right;
  const int rows = bottom - top, columns = right - left;
  if (transparency) l.channels.push_back(Ramp(-1, rows, columns, 37));
  for (int16_t id : {0, 1, 2}) l.channels.push_back(Ramp(id, rows, columns, 11 + 7 * id, id % 2));
  std::memcpy(l.blendKey, key, 4);
  return l;
}


TestDoc Doc(std::vector<TestLayer> layers) {
  TestDoc d;
  d.rows = kH, d.columns = kW, d.layerSection = true;
  d.compositeCompression = 1;
  d.composite = {std::vector<uint8_t>(kW * kH, 10), std::vector<uint8_t>(kW * kH, 20),
                 std::vector<uint8_t>(kW * kH, 30)};
  d.layers = std::move(layers);
  return d;
}

}  // namespace

std::vector<NamedDocument> FeatureDocuments() {
  std::vector<NamedDocument> out;
  auto add = [&](const std::string& name, const TestDoc& d) { out.push_back({name, BuildPsd(d)}); };

  add("blend-modes-stacked", Doc({Layer(0, 0, kH, kW), Layer(0, 0, kH, kW, "mul "),
                                  Layer(-1, 1, 2, 9, "scrn"), Layer(1, -2, 4, 3, "over"),
                                  Layer(0, 0, kH, kW, "sLit"), Layer(0, 2, 3, 5, "idiv")}));
  {
    TestLayer masked = Layer(0, 0, kH, kW, "hLit");
    masked.hasMask = true;
    masked.maskTop = -2, masked.maskLeft = 3, masked.maskBottom = 2, masked.maskRight = 11;
    masked.maskDefault = 255;
    masked.channels.push_back(Ramp(-2, 4, 8, 29));
    masked.blocks = ByteBlock("iOpa", 140);
    masked.opacity = 200;
    add("mask-rectangle-past-the-edges", Doc({Layer(0, 0, kH, kW), masked}));
    masked.maskTop = 2, masked.maskLeft = 1, masked.maskBottom = 2, masked.maskRight = 4;
    masked.channels.back() = Ramp(-2, 0, 3, 1);
    add("mask-rectangle-empty", Doc({Layer(0, 0, kH, kW), masked}));
    masked.maskFlags = 0x02;
    add("mask-disabled", Doc({Layer(0, 0, kH, kW), masked}));
  }
  add("groups-pass-through-and-isolated",
      Doc({Layer(0, 0, kH, kW), GroupDivider(), Layer(0, 0, kH, kW, "mul "), GroupDivider(),
           Layer(0, 1, 2, 4, "lite"), GroupRecord("norm", 180), GroupRecord("pass", 90),
           Layer(0, 0, 2, 2, "diff")}));
  {
    TestLayer hidden = GroupRecord("dark");
    hidden.flags = 0x02;
    add("group-hidden-with-refused-inside",
        Doc({Layer(0, 0, kH, kW), GroupDivider(), Layer(0, 0, kH, kW, "zzzz"), hidden}));
  }
  {
    std::vector<TestLayer> layers = {Layer(0, 0, kH, kW)};
    for (int i = 0; i < 65; ++i) layers.push_back(GroupDivider());
    layers.push_back(Layer(0, 0, 1, 1));
    for (int i = 0; i < 65; ++i) layers.push_back(GroupRecord(i % 2 ? "pass" : "norm"));
    add("groups-nested-65-deep", Doc(layers));
  }
  add("groups-divider-never-closed", Doc({Layer(0, 0, kH, kW), GroupDivider(), Layer(0, 0, kH, kW)}));
  add("groups-closed-without-divider", Doc({Layer(0, 0, kH, kW), GroupRecord("pass")}));
  {
    TestLayer clipped = Layer(0, 0, kH, kW, "mul ");
    clipped.clipping = 1;
    TestLayer base = Layer(1, 1, 3, 4);
    base.opacity = 128;
    add("clipping-to-a-cropped-base", Doc({Layer(0, 0, kH, kW), base, clipped, clipped}));
    add("clipping-to-a-group", Doc({Layer(0, 0, kH, kW), GroupDivider(), Layer(0, 0, 1, 1),
                                    GroupRecord("pass"), clipped}));
  }
  {
    TestLayer unknown = Layer(0, 0, kH, kW, "zzzz");
    add("blend-key-unknown", Doc({Layer(0, 0, kH, kW), unknown}));
    TestLayer dissolve = Layer(0, 0, kH, kW, "diss");
    dissolve.opacity = 128;  // dissolve equals normal only at alpha 0 and 255
    add("dissolve-translucent", Doc({Layer(0, 0, kH, kW), dissolve}));
    TestLayer adjust = Layer(0, 0, kH, kW);
    adjust.blocks = Block("levl", std::vector<uint8_t>(10, 0));
    add("adjustment-layer", Doc({Layer(0, 0, kH, kW), adjust}));
    TestLayer effects = Layer(0, 0, kH, kW);
    effects.blocks = Block("lfx2", {0, 0, 0, 0, 0, 0, 0, 16, 0, 0, 0, 0, 'e', 'n', 'a', 'b',
                                    'b', 'o', 'o', 'l', 1});
    add("effects-enabled", Doc({Layer(0, 0, kH, kW), effects}));
    TestLayer own = Layer(0, 0, kH, kW, "hLit");
    own.name = "other";
    own.blocks = UnicodeNameBlock("KShading (do not edit this layer)");
    add("own-layer-by-unicode-name", Doc({Layer(0, 0, kH, kW), own, Layer(1, 1, 2, 2)}));
    TestLayer odd = Layer(0, 0, kH, kW);
    odd.blocks = Block("luni", {0xFF, 0xFF, 0xFF, 0xFF, 0, 'K'});
    std::vector<uint8_t> more = Block("lsct", {0, 0});
    odd.blocks.insert(odd.blocks.end(), more.begin(), more.end());
    more = Block("iOpa", {});
    odd.blocks.insert(odd.blocks.end(), more.begin(), more.end());
    add("tagged-blocks-short-and-oversized", Doc({Layer(0, 0, kH, kW), odd}));
    TestLayer krita = Layer(0, 0, kH, kW, "norm", false);
    krita.blocks = UnicodeNameBlock(std::string("KShading (do not edit this layer)") + '\0');
    TestDoc kritaDoc = Doc({Layer(0, 0, kH, kW), krita});
    // Krita's merged image is the picture of every layer, its own included.
    for (int c = 0; c < 3; ++c) kritaDoc.composite[c] = krita.channels[c].samples;
    add("own-layer-name-ending-in-nul", kritaDoc);
    TestLayer shape = Layer(0, 1, 2, 4);
    shape.blocks = Block("vsms", std::vector<uint8_t>(12, 0));
    more = Block("SoCo", std::vector<uint8_t>(6, 1));
    shape.blocks.insert(shape.blocks.end(), more.begin(), more.end());
    TestLayer text = Layer(1, 0, 3, 5, "mul ");
    text.blocks = Block("TySh", std::vector<uint8_t>(10, 0));
    add("shape-and-text-layers", Doc({Layer(0, 0, kH, kW), shape, text}));
    TestLayer board = Layer(0, 0, kH, kW);
    board.blocks = Block("artb", std::vector<uint8_t>(8, 0));
    add("artboard", Doc({Layer(0, 0, kH, kW), board}));
    // Artboards: a coloured one over the canvas and past it, a transparent
    // one above it over part of the canvas.
    TestLayer coloured = GroupRecord("pass"), clear = GroupRecord("norm");
    more = ArtboardBlock(-1, 0, kH, kW + 2, 4, {{"Clr ", RgbValue(217, 117, 117)}});
    coloured.blocks.insert(coloured.blocks.end(), more.begin(), more.end());
    more = ArtboardBlock(1, 1, 2, 4, 3);
    clear.blocks.insert(clear.blocks.end(), more.begin(), more.end());
    add("artboard-groups", Doc({GroupDivider(), Layer(-1, 1, 2, 7, "mul "), coloured,
                                GroupDivider(), Layer(0, 0, kH, kW), clear}));
    add("group-at-the-bottom", Doc({GroupDivider(), Layer(0, 1, 2, 4), GroupRecord("mul "),
                                    Layer(1, 0, 3, 2, "scrn")}));
    add("bottom-layer-short-of-the-canvas", Doc({Layer(1, 1, 3, 4), Layer(0, 0, 2, 2)}));
  }
  {
    // A solid colour fill under a mask past the canvas, at fill opacity 150
    // and in multiply; a layer with a colour overlay in screen at 60 % and
    // opacity 200, a clipped layer with one in normal.
    TestLayer fill = Layer(0, 0, 0, 0, "mul ", false);
    fill.channels.clear();
    fill.hasMask = true;
    fill.maskTop = -1, fill.maskLeft = 2, fill.maskBottom = 2, fill.maskRight = 7;
    fill.channels.push_back(Ramp(-2, 3, 5, 23));
    fill.blocks = SolidColourBlock(30.4, 200.5, 255);
    std::vector<uint8_t> more = ByteBlock("iOpa", 150);
    fill.blocks.insert(fill.blocks.end(), more.begin(), more.end());
    TestLayer overlaid = Layer(0, 1, 3, 4);
    overlaid.opacity = 200;
    overlaid.blocks = DescriptorBlock("lfx2", {{"masterFXSwitch", BoolValue(true)},
                                               ColourOverlay("Scrn", 60, 250, 10, 90)});
    TestLayer clipped = Layer(1, 0, 3, 5, "diff");
    clipped.clipping = 1;
    clipped.blocks = DescriptorBlock("lfx2", {ColourOverlay("multiply", 100, 128, 64, 255)});
    add("solid-colour-fill-and-colour-overlays",
        Doc({Layer(0, 0, kH, kW), fill, overlaid, Layer(0, 2, 2, 5, "lite"), clipped}));
    // Refused by name: a drop shadow beside the overlay; an overlay on a
    // clipping base; effects that cannot be read.
    TestLayer shadow = Layer(0, 0, kH, kW);
    shadow.blocks = DescriptorBlock(
        "lfx2", {ColourOverlay("Nrml", 100, 1, 2, 3),
                 {"dropShadowMulti", ListValue({ObjectValue("DrSh", {{"enab", BoolValue(true)}})})}});
    add("effects-drop-shadow-beside-colour-overlay", Doc({Layer(0, 0, kH, kW), shadow}));
    TestLayer base = Layer(0, 0, kH, kW);
    base.blocks = DescriptorBlock("lfx2", {ColourOverlay("Nrml", 100, 1, 2, 3)});
    add("colour-overlay-on-a-clipping-base", Doc({Layer(0, 0, kH, kW), base, clipped}));
  }
  {
    // Invert adjustment layers: one under a mask past the canvas at fill
    // opacity 150 in multiply, one clipped to a cropped base, one in an
    // isolated group; refused: one at the bottom, one beside a Levels
    // block, a Posterize one.
    TestLayer invert = Layer(0, 0, 0, 0, "mul ", false);
    invert.channels.clear();
    invert.hasMask = true;
    invert.maskTop = -1, invert.maskLeft = 2, invert.maskBottom = 2, invert.maskRight = 7;
    invert.channels.push_back(Ramp(-2, 3, 5, 23));
    invert.blocks = Block("nvrt", {});
    std::vector<TestLayer> layers = {Layer(0, 0, kH, kW), invert, Layer(1, 1, 3, 4)};
    const std::vector<uint8_t> fill = ByteBlock("iOpa", 150);
    invert.blocks.insert(invert.blocks.end(), fill.begin(), fill.end());
    TestLayer clipped = Layer(0, 0, kH, kW, "norm", false);
    clipped.channels.clear();
    clipped.clipping = 1;
    clipped.blocks = Block("nvrt", {});
    layers.push_back(clipped);
    layers.push_back(GroupDivider());
    layers.push_back(Layer(0, 1, 2, 4, "mul "));
    layers.push_back(invert);
    layers.push_back(GroupRecord("norm", 180));
    add("adjustment-invert-masked-clipped-in-group", Doc(layers));
    TestLayer two = clipped;
    two.clipping = 0;
    const std::vector<uint8_t> levels = Block("levl", std::vector<uint8_t>(10, 0));
    two.blocks.insert(two.blocks.end(), levels.begin(), levels.end());
    TestLayer posterize = clipped;
    posterize.clipping = 0;
    posterize.blocks = Block("post", {0, 4});
    add("adjustment-refused-kinds", Doc({Layer(0, 0, kH, kW), two, posterize}));
    posterize.blocks = Block("nvrt", {});
    add("adjustment-at-the-bottom", Doc({posterize, Layer(0, 0, kH, kW)}));
  }
  {
    // The kinds read into tables, one layer each: Levels, Curves of points
    // and of a map, Posterize, Exposure, a legacy Brightness/Contrast with
    // its settings descriptor under a mask of density 0 that is feathered;
    // then Threshold, refused in colour.
    auto adjustment = [](const std::vector<uint8_t>& blocks) {
      TestLayer l = Layer(0, 0, 0, 0, "norm", false);
      l.channels.clear();
      l.blocks = blocks;
      return l;
    };
    std::vector<uint8_t> levels = {0, 2, 0, 9, 0, 240, 0, 20, 0, 255, 0, 100};
    for (int r = 1; r < 29; ++r) levels.insert(levels.end(), {0, 0, 0, 255, 0, 0, 0, 255, 0, 100});
    std::vector<uint8_t> curves = {0, 0, 1, 0, 0, 0, 3, 0, 2, 0, 0, 0, 0, 0, 255, 0, 255,
                                   0, 3, 0, 9, 0, 0, 0, 99, 0, 120, 0, 250, 0, 255};
    std::vector<uint8_t> map = {1, 0, 1, 0, 0, 0, 2};
    for (int x = 0; x < 256; ++x) map.push_back(static_cast<uint8_t>(255 - x));
    TestLayer brightness = adjustment(Block("brit", {0, 0, 0, 0, 0, 127, 0, 0}));
    const std::vector<uint8_t> settings = DescriptorBlock(
        "CgEd", {{"Brgh", IntegerValue(-30)}, {"Cntr", IntegerValue(-40)},
                 {"useLegacy", BoolValue(true)}});
    brightness.blocks.insert(brightness.blocks.end(), settings.begin(), settings.end());
    brightness.hasMask = true;
    brightness.maskBottom = 2, brightness.maskRight = 3;
    brightness.maskFlags = 0x10;
    brightness.maskExtra = {0x03, 0, 0x40, 0x06, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66};
    brightness.channels.push_back(Ramp(-2, 2, 3, 50));
    std::vector<TestLayer> layers = {
        Layer(0, 0, kH, kW), adjustment(Block("levl", levels)), adjustment(Block("curv", curves)),
        adjustment(Block("curv", map)), adjustment(Block("post", {0, 5, 0, 0})),
        adjustment(Block("expA", {0, 1, 0x3F, 0x54, 0x7A, 0xE1, 0xBD, 0x6D, 0x28, 0x8D, 0x3F, 0x40,
                                  0, 0})),
        brightness};
    add("adjustment-tables", Doc(layers));
    layers.push_back(adjustment(Block("thrs", {0, 128, 0, 0})));
    add("adjustment-threshold-in-colour", Doc(layers));
  }
  {
    // A gradient overlay (radial, reversed, three colour stops and two of
    // transparency with midpoints off the middle) and a gradient fill layer
    // (diamond, perceptual) under a mask: their settings are read whole,
    // and both refused by name.
    TestLayer overlaid = Layer(0, 1, 3, 4);
    const std::vector<uint8_t> stops = ListValue(
        {ObjectValue("Clrt", {{"Clr ", RgbValue(10, 20, 30)}, {"Type", EnumValue("Clry", "UsrS")},
                              {"Lctn", IntegerValue(0)}, {"Mdpn", IntegerValue(50)}}),
         ObjectValue("Clrt", {{"Clr ", RgbValue(250, 0, 90)}, {"Type", EnumValue("Clry", "UsrS")},
                              {"Lctn", IntegerValue(1500)}, {"Mdpn", IntegerValue(13)}}),
         ObjectValue("Clrt", {{"Clr ", RgbValue(0, 255, 0)}, {"Type", EnumValue("Clry", "UsrS")},
                              {"Lctn", IntegerValue(4096)}, {"Mdpn", IntegerValue(87)}})});
    std::vector<Item> settings = GradientSettings({{"Type", EnumValue("GrdT", "Rdl ")},
                                                   {"Rvrs", BoolValue(true)},
                                                   {"Grad", GradientObject({{"Clrs", stops}})}});
    settings.push_back({"enab", BoolValue(true)});
    overlaid.blocks = DescriptorBlock("lfx2", {{"masterFXSwitch", BoolValue(true)},
                                               {"GrFl", ObjectValue("GrFl", settings)}});
    TestLayer fill = Layer(0, 0, 0, 0, "norm", false);
    fill.channels.clear();
    fill.hasMask = true;
    fill.maskTop = 0, fill.maskLeft = 1, fill.maskBottom = 2, fill.maskRight = 5;
    fill.channels.push_back(Ramp(-2, 2, 4, 40));
    fill.blocks = DescriptorBlock("GdFl", GradientSettings({{"Type", EnumValue("GrdT", "Dmnd")},
                                                            {"gs99", EnumValue("gs99", "Perc")}}));
    add("gradient-overlay-and-gradient-fill", Doc({Layer(0, 0, kH, kW), overlaid, fill}));
  }
  {
    // Gradient overlays drawn: linear method on the bottom layer and on a
    // layer of pixels (both laid in the box of their mostly opaque pixels,
    // from a pass over the transparency first), perceptual on a solid
    // colour fill under an empty white mask (laid in the canvas).
    auto overlay = [](const char* method, double opacity) {
      return DescriptorBlock("lfx2", {{"masterFXSwitch", BoolValue(true)},
                                      {"GrFl", ObjectValue("GrFl", MatchedGradient(method, opacity))}});
    };
    TestLayer bottom = Layer(0, 0, kH, kW);
    bottom.blocks = overlay("Lnr ", 100);
    TestLayer pixels = Layer(0, 1, 3, 4);
    pixels.blocks = overlay("Lnr ", 60);
    TestLayer fill = Layer(0, 0, kH, kW, "norm", false);
    fill.hasMask = true;
    fill.maskDefault = 255;
    fill.channels.push_back(Ramp(-2, 0, 0, 1));
    fill.blocks = SolidColourBlock(5, 6, 7);
    const std::vector<uint8_t> fx = overlay("Perc", 100);
    fill.blocks.insert(fill.blocks.end(), fx.begin(), fx.end());
    add("gradient-overlays-drawn", Doc({bottom, pixels, fill}));
  }
  {
    // Linear light layers at fill 51 (one cropped, one in an isolated
    // group); gradient maps (each refused by a setting, one with two blocks,
    // one clipped) and a pattern overlay at 81 %.
    TestLayer lit = Layer(0, 1, 2, 4, "lLit", false);
    lit.blocks = ByteBlock("iOpa", 51);
    TestLayer map = Layer(0, 0, 0, 0, "norm", false);
    map.channels.clear();
    map.blocks = GradientMapBlock({3, "Perc", 1, 4096});
    const std::vector<uint8_t> second = GradientMapBlock({1, "Gcls", 0, 0, 2});
    map.blocks.insert(map.blocks.end(), second.begin(), second.end());
    TestLayer clipped = map;
    clipped.clipping = 1;
    clipped.blocks = GradientMapBlock({});
    TestLayer tiled = Layer(1, 0, 3, 3);
    tiled.blocks = DescriptorBlock(
        "lfx2", {{"patternFill", ObjectValue("patternFill", {{"enab", BoolValue(true)},
                                                             {"Scl ", UnitValue("#Prc", 81)}})}});
    add("linear-light-fill-inside-cropped-and-in-group",
        Doc({Layer(0, 0, kH, kW), lit, GroupDivider(), Layer(0, 0, kH, kW, "lLit", false), lit,
             GroupRecord("norm")}));
    add("gradient-maps-and-pattern-overlay-refused", Doc({Layer(0, 0, kH, kW), map, clipped, tiled}));
    // A perceptual map drawn over gray levels, half of it masked.
    TestLayer gray = Layer(0, 0, kH, kW, "norm", false);
    for (TestChannel& c : gray.channels) c.samples = gray.channels[0].samples;
    TestLayer drawn = map;
    drawn.blocks = GradientMapBlock({3, "Perc", 0, 4096});
    drawn.hasMask = true;
    drawn.maskBottom = kH, drawn.maskRight = 2;
    drawn.channels.push_back(Ramp(-2, kH, 2, 90));
    add("gradient-map-over-gray", Doc({gray, drawn}));
    // Pattern overlays of one 4 x 6 pattern (PackBits) on the bottom layer
    // at 100 % and on a cropped layer at 81 %, in multiply at 60 %.
    TestLayer bottom = Layer(0, 0, kH, kW);
    bottom.blocks = DescriptorBlock("lfx2", {PatternOverlay("tile", 100)});
    TestLayer cropped = Layer(1, 1, 3, 5);
    cropped.blocks = DescriptorBlock(
        "lfx2", {PatternOverlay("tile", 81, {{"Md  ", EnumValue("BlnM", "Mltp")},
                                             {"Opct", UnitValue("#Prc", 60)}})});
    TestDoc patterned = Doc({bottom, cropped});
    std::vector<uint8_t> planes(3 * 4 * 6);
    for (size_t i = 0; i < planes.size(); ++i) planes[i] = static_cast<uint8_t>(i * 37 % 251);
    patterned.globalBlocks = PatternsBlock("tile", 4, 6, planes, true);
    add("pattern-overlays-at-100-and-81-percent", patterned);
  }
  {
    TestDoc d = Doc({Layer(0, 0, kH, kW), Layer(-1, -1, 2, 3, "scrn")});
    d.omitComposite = true;
    add("no-composite-layers-only", d);
    d = Doc({Layer(0, 0, kH, kW)});
    d.globalBlocks = Block("Lr16", {0, 0, 0, 0});
    add("deep-layer-block-after-the-info", d);
  }
  {
    TestDoc d = Doc({});
    d.mode = 1, d.channels = 1;
    d.composite = {std::vector<uint8_t>(kW * kH, 10)};
    TestLayer a, b;
    a.bottom = b.bottom = kH, a.right = b.right = kW;
    a.channels = {Ramp(0, kH, kW, 3)};
    b.channels = {Ramp(-1, kH, kW, 41), Ramp(0, kH, kW, 9, 0)};
    std::memcpy(b.blendKey, "lbrn", 4);
    d.layers = {a, b};
    add("grayscale-layers", d);
  }
  return out;
}

}  // namespace kelvra::testing
