// The layer compositor: each blend formula against its definition in real
// numbers on the edge levels, and hand-built documents for every feature the
// layered reading honours or refuses. Expected levels are worked out by hand
// from the formulas in psd_blend.h (each product rounded to the nearest
// level) and written next to each case.
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "bitmap/abitmap.h"
#include "bitmap/psd_blend.h"
#include "bitmap/psd_reader.h"
#include "bitmap/psd_templates.h"
#include "tests/support/psd_build.h"
#include "tests/support/test_env.h"

namespace kelvra {
namespace {

using testing::Block;
using testing::BuildPsd;
using testing::ByteBlock;
using testing::GroupDivider;
using testing::GroupRecord;
using testing::SectionBlock;
using testing::TestChannel;
using testing::TestDoc;
using testing::TestLayer;
using testing::UnicodeNameBlock;
using testing::BoolValue;
using testing::ColourOverlay;
using testing::DescriptorBlock;
using testing::Item;
using testing::ListValue;
using testing::ObjectValue;
using testing::SolidColourBlock;
using testing::DoubleValue;
using testing::MatchedGradient;
using testing::GradientSettings;
using testing::GradientMapBlock;
using testing::PatternOverlay;
using testing::PatternsBlock;

// ---- blend formulas ------------------------------------------------------------

uint8_t Blend(const char* key, uint8_t cb, uint8_t cs) {
  BlendRow f = FindBlend(reinterpret_cast<const uint8_t*>(key));
  EXPECT_NE(f, nullptr) << key;
  if (f == nullptr) return 0;
  uint8_t out = 0;
  const uint8_t* const b[3] = {&cb, &cb, &cb};
  const uint8_t* const s[3] = {&cs, &cs, &cs};
  uint8_t* const o[3] = {&out, &out, &out};
  f(b, s, o, 1, 1);
  return out;
}

// The W3C definitions in real numbers on [0, 1], written from the text of
// the definitions rather than from the library's code.
double Reference(const std::string& key, double b, double s) {
  auto hardLight = [](double b, double s) {
    return s <= 0.5 ? b * 2 * s : b + (2 * s - 1) - b * (2 * s - 1);
  };
  if (key == "norm") return s;
  if (key == "mul ") return b * s;
  if (key == "scrn") return b + s - b * s;
  if (key == "over") return hardLight(s, b);
  if (key == "dark") return std::min(b, s);
  if (key == "lite") return std::max(b, s);
  if (key == "hLit") return hardLight(b, s);
  if (key == "sLit") {
    if (s <= 0.5) return b - (1 - 2 * s) * b * (1 - b);
    const double d = b <= 0.25 ? ((16 * b - 12) * b + 4) * b : std::sqrt(b);
    return b + (2 * s - 1) * (d - b);
  }
  if (key == "diff") return std::fabs(b - s);
  if (key == "smud") return b + s - 2 * b * s;
  if (key == "div ") return b == 0 ? 0 : s == 1 ? 1 : std::min(1.0, b / (1 - s));
  if (key == "idiv") return b == 1 ? 1 : s == 0 ? 0 : 1 - std::min(1.0, (1 - b) / s);
  if (key == "lddg") return std::min(1.0, b + s);
  if (key == "lbrn") return std::max(0.0, b + s - 1);
  ADD_FAILURE() << key;
  return 0;
}

const char* const kKeys[] = {"norm", "mul ", "scrn", "over", "dark", "lite", "hLit",
                             "sLit", "diff", "smud", "div ", "idiv", "lddg", "lbrn"};

TEST(BlendFormulas, EveryModeMatchesItsDefinitionOnTheEdgeLevels) {
  const int levels[] = {0, 1, 63, 64, 127, 128, 129, 254, 255};
  for (const char* key : kKeys) {
    for (int b : levels) {
      for (int s : levels) {
        // Halves round up; 1e-9 keeps a half computed as x.4999... one.
        const double exact = Reference(key, b / 255.0, s / 255.0) * 255;
        const int expected = static_cast<int>(std::floor(exact + 0.5 + 1e-9));
        EXPECT_EQ(Blend(key, static_cast<uint8_t>(b), static_cast<uint8_t>(s)), expected)
            << "'" << key << "' cb " << b << " cs " << s << " exact " << exact;
      }
    }
  }
}

// Long rows go through the 16-at-a-time paths: every pair of levels, in
// rows of 256 with the row's start moved so that the tail is exercised too.
TEST(BlendFormulas, EveryPairOfLevelsInLongRows) {
  std::vector<uint8_t> b(256 + 7), s(256 + 7), out(256 + 7);
  for (const char* key : kKeys) {
    BlendRow f = FindBlend(reinterpret_cast<const uint8_t*>(key));
    ASSERT_NE(f, nullptr);
    for (int cb = 0; cb < 256; ++cb) {
      for (int i = 0; i < 256; ++i) b[i + cb % 7] = static_cast<uint8_t>(cb), s[i + cb % 7] = static_cast<uint8_t>(i);
      const uint8_t* const bp[3] = {b.data() + cb % 7, nullptr, nullptr};
      const uint8_t* const sp[3] = {s.data() + cb % 7, nullptr, nullptr};
      uint8_t* const op[3] = {out.data(), nullptr, nullptr};
      f(bp, sp, op, 1, 256);
      for (int cs = 0; cs < 256; ++cs) {
        const double exact = Reference(key, cb / 255.0, cs / 255.0) * 255;
        ASSERT_EQ(out[cs], static_cast<int>(std::floor(exact + 0.5 + 1e-9)))
            << "'" << key << "' cb " << cb << " cs " << cs;
      }
    }
  }
  // The alpha products against a * b / 255 rounded, in rows.
  std::vector<uint8_t> a(256), m(256);
  for (int x = 0; x < 256; ++x) {
    for (int i = 0; i < 256; ++i) a[i] = static_cast<uint8_t>(i), m[i] = static_cast<uint8_t>(x);
    MulRows(a.data(), m.data(), 256);
    std::vector<uint8_t> scaled(256);
    for (int i = 0; i < 256; ++i) scaled[i] = static_cast<uint8_t>(i);
    ScaleRow(scaled.data(), static_cast<uint32_t>(x), 256);
    for (int i = 0; i < 256; ++i) {
      const int expected = static_cast<int>(std::floor(i * x / 255.0 + 0.5));
      ASSERT_EQ(a[i], expected) << i << " " << x;
      ASSERT_EQ(scaled[i], expected) << i << " " << x;
    }
  }
}

TEST(BlendFormulas, WorkedValues) {
  EXPECT_EQ(Blend("mul ", 128, 128), 64);    // 64.25
  EXPECT_EQ(Blend("scrn", 128, 128), 192);   // 191.75
  EXPECT_EQ(Blend("hLit", 128, 128), 128);   // screen(128, 1): 128.498
  EXPECT_EQ(Blend("hLit", 200, 127), 199);   // multiply(200, 254): 199.2
  EXPECT_EQ(Blend("over", 127, 200), 199);   // hard light swapped
  EXPECT_EQ(Blend("smud", 128, 128), 127);   // 256 - 128.502
  EXPECT_EQ(Blend("div ", 64, 128), 129);    // 64 * 255 / 127 = 128.50
  EXPECT_EQ(Blend("div ", 128, 128), 255);   // 257, clipped
  EXPECT_EQ(Blend("div ", 0, 255), 0);       // cb = 0 wins over cs = 1
  EXPECT_EQ(Blend("idiv", 128, 128), 2);     // 255 / 128 = 1.99
  EXPECT_EQ(Blend("idiv", 255, 0), 255);     // cb = 1 wins over cs = 0
  EXPECT_EQ(Blend("lddg", 128, 128), 255);
  EXPECT_EQ(Blend("lbrn", 128, 128), 1);
  // Soft light below a quarter takes W3C's polynomial, as Photoshop's
  // picture does: 52.96 (the square root would give 63.87).
  EXPECT_EQ(Blend("sLit", 16, 255), 53);
  EXPECT_EQ(Blend("sLit", 128, 255), 181);   // sqrt(128/255) * 255 = 180.67
}

TEST(BlendFormulas, UnknownKeysAreNotInTheTable) {
  // Names that are not layer keys: the brief spellings of vivid light, the
  // descriptor names layer effects use, and case variants.
  for (const char* key : {"vivL", "Mltp", "Nrml", "Scrn", "vLIT", "pass", "NORM", "Hue ",
                          "\0\0\0\0"}) {
    EXPECT_EQ(FindBlend(reinterpret_cast<const uint8_t*>(key)), nullptr) << key;
  }
}

TEST(BlendFormulas, SourceOverRoundsExactly) {
  // Every alpha, backdrop and source level against the rational result, in
  // rows of 256 sources (the wide path and its tail).
  std::vector<uint8_t> d(256), src(256), al(256);
  for (int a = 0; a < 256; ++a) {
    for (int b = 0; b < 256; b += 3) {
      for (int s = 0; s < 256; ++s) {
        d[s] = static_cast<uint8_t>(b), src[s] = static_cast<uint8_t>(s), al[s] = static_cast<uint8_t>(a);
      }
      OverOpaque(d.data(), src.data(), al.data(), 253);
      for (int s = 0; s < 253; ++s) {
        ASSERT_EQ(d[s], static_cast<int>(std::floor((a * s + (255 - a) * b) / 255.0 + 0.5)))
            << a << " " << b << " " << s;
      }
    }
  }
  // Over a translucent backdrop: half a source over half a backdrop.
  uint8_t red = 200, green = 0, blue = 0, alpha = 128;
  uint8_t* cb[3] = {&red, &green, &blue};
  const uint8_t sr = 0, sg = 100, sb = 0, sa = 128;
  const uint8_t* cs[3] = {&sr, &sg, &sb};
  uint8_t scratch[3];
  OverTranslucent(cb, &alpha, cs, &sa, nullptr, 3, scratch, 1);
  // A = 255 * 128 + 128 * 127 = 48896: alpha 191.75 -> 192; red
  // 128 * 127 * 200 / 48896 = 66.5 -> 66 (66.49), green 128 * 255 * 100 / 48896 = 66.75 -> 67.
  EXPECT_EQ(alpha, 192);
  EXPECT_EQ(red, 66);
  EXPECT_EQ(green, 67);
  EXPECT_EQ(blue, 0);
}

// ---- documents -------------------------------------------------------------------

constexpr int kW = 4, kH = 2;

TestChannel Plane(int16_t id, uint8_t value, int n, uint16_t compression = 1) {
  TestChannel c;
  c.id = id, c.compression = compression;
  c.samples.assign(n, value);
  return c;
}

// A layer covering the document in one colour, with a transparency channel
// when `alpha` is not 255.
TestLayer Solid(uint8_t r, uint8_t g, uint8_t b, uint8_t alpha = 255) {
  TestLayer l;
  l.bottom = kH, l.right = kW;
  if (alpha != 255) l.channels.push_back(Plane(-1, alpha, kW * kH));
  l.channels.push_back(Plane(0, r, kW * kH));
  l.channels.push_back(Plane(1, g, kW * kH));
  l.channels.push_back(Plane(2, b, kW * kH));
  return l;
}


TestDoc Document(std::vector<TestLayer> layers) {
  TestDoc d;
  d.rows = kH, d.columns = kW, d.layerSection = true;
  d.composite = {std::vector<uint8_t>(kW * kH, 1), std::vector<uint8_t>(kW * kH, 2),
                 std::vector<uint8_t>(kW * kH, 3)};
  d.layers = std::move(layers);
  return d;
}

struct Rgb {
  int r, g, b;
  bool operator==(const Rgb& o) const { return r == o.r && g == o.g && b == o.b; }
};
std::ostream& operator<<(std::ostream& os, const Rgb& c) {
  return os << "(" << c.r << "," << c.g << "," << c.b << ")";
}

// The effects' reference point ("fxrp": x and y as big-endian doubles).
std::vector<uint8_t> ReferencePoint(double x, double y) {
  std::vector<uint8_t> b;
  for (double v : {x, y}) {
    uint64_t bits;
    std::memcpy(&bits, &v, 8);
    for (int i = 7; i >= 0; --i) b.push_back(static_cast<uint8_t>(bits >> (8 * i)));
  }
  return Block("fxrp", b);
}

// A solid colour fill ("SoCo") and an Invert adjustment ("nvrt") do not read
// their stored pixels (1, 2, 3): their colour (the fill's, or what lies below
// inverted) covers the canvas, shaped by mask x fill opacity, then opacity and
// mode as for any layer. Over 200, 100, 0 (inverted: 55, 155, 255).
std::vector<uint8_t> With(std::vector<uint8_t> blocks, const std::vector<uint8_t>& more) {
  blocks.insert(blocks.end(), more.begin(), more.end());
  return blocks;
}

TestLayer With(TestLayer l, const std::vector<uint8_t>& blocks) {
  l.blocks = With(std::move(l.blocks), blocks);
  return l;
}

TestLayer Fill(double r, double g, double b) {
  return With(Solid(1, 2, 3), SolidColourBlock(r, g, b));
}
TestLayer Invert() { return With(Solid(1, 2, 3), Block("nvrt", {})); }

TestLayer Masked(TestLayer l, uint8_t inside, uint8_t outside) {  // over columns 0..1 of row 0
  l.hasMask = true, l.maskBottom = 1, l.maskRight = 2, l.maskDefault = outside;
  l.channels.push_back(Plane(-2, inside, 2));
  return l;
}

class CompositorTest : public testing::KelvraTest {
 protected:
  ABitMap target;
  void TearDown() override {
    target.Release();
    KelvraTest::TearDown();
  }
  PsdRead Read(const TestDoc& d) {
    const std::vector<uint8_t> doc = BuildPsd(d);
    return ReadLayeredImage(doc.data(), doc.size(), false, &target);
  }
  Rgb At(int x, int y) const {
    const uint8_t* p = target.pixels + 4 * (y * target.width + x);
    return {p[2], p[1], p[0]};
  }
  // Reads and returns pixel (x, y); every pixel must be equal when `uniform`.
  Rgb ReadOne(const TestDoc& d, int x = 0, int y = 0) {
    EXPECT_EQ(Read(d), PsdRead::kOk);
    if (target.pixels == nullptr) return {-1, -1, -1};
    return At(x, y);
  }
};

TEST_F(CompositorTest, OpacityFillAndTransparency) {
  // 100 over 200 at opacity 128: (128 * 100 + 127 * 200) / 255 = 149.8.
  TestLayer top = Solid(100, 100, 100);
  top.opacity = 128;
  EXPECT_EQ(ReadOne(Document({Solid(200, 200, 200), top})), (Rgb{150, 150, 150}));
  // Fill opacity alone does the same for a normal layer.
  top = Solid(100, 100, 100);
  top.blocks = ByteBlock("iOpa", 128);
  EXPECT_EQ(ReadOne(Document({Solid(200, 200, 200), top})), (Rgb{150, 150, 150}));
  // Both: alpha 128 * 128 / 255 = 64; (64 * 100 + 191 * 200) / 255 = 174.9.
  top.opacity = 128;
  EXPECT_EQ(ReadOne(Document({Solid(200, 200, 200), top})), (Rgb{175, 175, 175}));
  // Transparency 51 (a fifth): 200 - 0.2 * 100 = 180.
  EXPECT_EQ(ReadOne(Document({Solid(200, 200, 200), Solid(100, 100, 100, 51)})),
            (Rgb{180, 180, 180}));
  // Opacity 0 contributes nothing, and is not examined: its unknown key
  // does not refuse the document.
  top = Solid(0, 0, 0);
  top.opacity = 0;
  std::memcpy(top.blendKey, "Mltp", 4);
  EXPECT_EQ(ReadOne(Document({Solid(10, 20, 30), top})), (Rgb{10, 20, 30}));
  // The bottom layer is opaque whatever its transparency and opacity.
  TestLayer bottom = Solid(10, 20, 30, 0);
  bottom.opacity = 10;
  EXPECT_EQ(ReadOne(Document({bottom})), (Rgb{10, 20, 30}));
}

TEST_F(CompositorTest, BlendModesOverTheBackdrop) {
  for (const char* key : kKeys) {
    TestLayer top = Solid(0, 128, 255);
    std::memcpy(top.blendKey, key, 4);
    const Rgb got = ReadOne(Document({Solid(128, 128, 128), top}));
    EXPECT_EQ(got, (Rgb{Blend(key, 128, 0), Blend(key, 128, 128), Blend(key, 128, 255)})) << key;
    // At half opacity the blend result is mixed with the backdrop.
    top.opacity = 128;
    const uint8_t b = Blend(key, 128, 255);
    const int mixed = static_cast<int>(std::floor((128 * b + 127 * 128) / 255.0 + 0.5));
    EXPECT_EQ(ReadOne(Document({Solid(128, 128, 128), top})).b, mixed) << key;
  }
  // "pass" on a layer that is no group blends as normal.
  TestLayer pass = Solid(7, 8, 9);
  std::memcpy(pass.blendKey, "pass", 4);
  EXPECT_EQ(ReadOne(Document({Solid(128, 128, 128), pass})), (Rgb{7, 8, 9}));
}

TEST_F(CompositorTest, LayerRectanglesAreClippedToTheDocument) {
  // A 2 x 1 layer at (3, 1) reaches past the right edge; a 8 x 6 layer at
  // (-2, -2) covers everything with its middle.
  TestLayer small;
  small.top = 1, small.left = 3, small.bottom = 2, small.right = 5;
  small.channels = {Plane(0, 90, 2), Plane(1, 91, 2), Plane(2, 92, 2)};
  EXPECT_EQ(Read(Document({Solid(1, 1, 1), small})), PsdRead::kOk);
  EXPECT_EQ(At(3, 1), (Rgb{90, 91, 92}));
  EXPECT_EQ(At(2, 1), (Rgb{1, 1, 1}));
  EXPECT_EQ(At(3, 0), (Rgb{1, 1, 1}));
  TestLayer big;
  big.top = -2, big.left = -2, big.bottom = 4, big.right = 6;
  std::vector<uint8_t> red(6 * 8);
  for (int i = 0; i < 48; ++i) red[i] = static_cast<uint8_t>(i);
  big.channels = {TestChannel{0, 1, red, {}}, Plane(1, 5, 48), Plane(2, 6, 48)};
  big.opacity = 255;
  EXPECT_EQ(Read(Document({Solid(1, 1, 1), big})), PsdRead::kOk);
  for (int y = 0; y < kH; ++y) {
    for (int x = 0; x < kW; ++x) EXPECT_EQ(At(x, y).r, (y + 2) * 8 + x + 2) << x << "," << y;
  }
  // A layer entirely outside, or empty, changes nothing.
  TestLayer outside;
  outside.top = 5, outside.left = 0, outside.bottom = 6, outside.right = 2;
  outside.channels = {Plane(0, 90, 2)};
  EXPECT_EQ(ReadOne(Document({Solid(1, 1, 1), outside, TestLayer()})), (Rgb{1, 1, 1}));
}

// A layer reaching 40000 columns past the left edge: its PackBits rows are
// longer than a stream's window and are decoded in pieces from the file;
// the result is the same as from memory.
TEST_F(CompositorTest, LayersFarWiderThanTheDocumentReadThroughTheFile) {
  TestLayer wide;
  wide.top = 0, wide.left = -40000, wide.bottom = 2, wide.right = 4;
  const int columns = 40004;
  std::vector<uint8_t> red(2 * columns), green(2 * columns, 77);
  for (int i = 0; i < 2 * columns; ++i) red[i] = static_cast<uint8_t>(i * 131 + (i >> 9));
  wide.channels = {TestChannel{0, 1, red, {}}, TestChannel{1, 1, green, {}}, Plane(2, 5, 2 * columns)};
  const TestDoc d = Document({Solid(1, 1, 1), wide});
  testing::TempDir dir;
  const std::string path = dir.File("wide.psd");
  testing::WriteFileBytes(path, BuildPsd(d));
  ASSERT_EQ(target.LoadLayeredFromFile(path.c_str(), false), 0);
  for (int y = 0; y < kH; ++y) {
    for (int x = 0; x < kW; ++x) {
      const Rgb expected = y < 2 ? Rgb{red[y * columns + 40000 + x], 77, 5} : Rgb{1, 1, 1};
      EXPECT_EQ(At(x, y), expected) << x << "," << y;
    }
  }
  std::vector<uint8_t> fromFile(target.pixels, target.pixels + 4 * kW * kH);
  ASSERT_EQ(Read(d), PsdRead::kOk);
  EXPECT_EQ(std::vector<uint8_t>(target.pixels, target.pixels + 4 * kW * kH), fromFile);
}

TEST_F(CompositorTest, UserMaskWithItsRectangleDefaultAndDisabledFlag) {
  // The mask covers column 1 only, 255 there; outside it the default.
  for (uint8_t fallback : {0, 255}) {
    TestLayer top = Solid(100, 100, 100);
    top.hasMask = true;
    top.maskTop = 0, top.maskLeft = 1, top.maskBottom = 2, top.maskRight = 2;
    top.maskDefault = fallback;
    top.channels.push_back(Plane(-2, 255, 2));
    ASSERT_EQ(Read(Document({Solid(200, 200, 200), top})), PsdRead::kOk);
    EXPECT_EQ(At(1, 0).r, 100);
    EXPECT_EQ(At(0, 1).r, fallback == 0 ? 200 : 100);
    EXPECT_EQ(At(3, 0).r, fallback == 0 ? 200 : 100);
    // A half mask inside: 51 -> a fifth of the layer.
    top.channels.back() = Plane(-2, 51, 2, 0);
    ASSERT_EQ(Read(Document({Solid(200, 200, 200), top})), PsdRead::kOk);
    EXPECT_EQ(At(1, 1).r, 180);
    // Disabled: the layer shows everywhere.
    top.maskFlags = 0x02;
    ASSERT_EQ(Read(Document({Solid(200, 200, 200), top})), PsdRead::kOk);
    EXPECT_EQ(At(0, 0).r, 100);
    EXPECT_EQ(At(1, 1).r, 100);
    // Mask data without the mask's channel: nothing is masked.
    top.maskFlags = 0;
    top.channels.pop_back();
    ASSERT_EQ(Read(Document({Solid(200, 200, 200), top})), PsdRead::kOk);
    EXPECT_EQ(At(0, 0).r, 100);
  }
  // A mask larger than the layer, reaching past the document.
  TestLayer top;
  top.top = 0, top.left = 2, top.bottom = 2, top.right = 4;
  top.channels = {Plane(0, 100, 4), Plane(1, 100, 4), Plane(2, 100, 4)};
  top.hasMask = true;
  top.maskTop = -1, top.maskLeft = 1, top.maskBottom = 3, top.maskRight = 9;
  std::vector<uint8_t> m(4 * 8, 0);
  m[1 * 8 + 2] = 255;  // document (3, 0)
  top.channels.push_back(TestChannel{-2, 1, m, {}});
  ASSERT_EQ(Read(Document({Solid(200, 200, 200), top})), PsdRead::kOk);
  EXPECT_EQ(At(3, 0).r, 100);
  EXPECT_EQ(At(2, 0).r, 200);
  EXPECT_EQ(At(3, 1).r, 200);
}

TEST_F(CompositorTest, GroupsVisibilityOpacityAndIsolation) {
  // A multiply layer in a pass-through group multiplies the bottom layer;
  // in an isolated (normal) group it has nothing below it and comes out as
  // its own colour.
  TestLayer mul = Solid(100, 100, 100);
  std::memcpy(mul.blendKey, "mul ", 4);
  EXPECT_EQ(ReadOne(Document({Solid(128, 128, 128), GroupDivider(), mul, GroupRecord("pass")})).r,
            50);  // 128 * 100 / 255 = 50.2
  EXPECT_EQ(ReadOne(Document({Solid(128, 128, 128), GroupDivider(), mul, GroupRecord("norm")})).r,
            100);
  // The isolated group's own mode applies to its result.
  EXPECT_EQ(ReadOne(Document({Solid(128, 128, 128), GroupDivider(), Solid(100, 100, 100),
                              GroupRecord("mul ")})).r,
            50);
  // Group opacity 128 over 200: as a layer of that opacity would.
  for (const char* key : {"pass", "norm"}) {
    EXPECT_EQ(ReadOne(Document({Solid(200, 200, 200), GroupDivider(), Solid(100, 100, 100),
                                GroupRecord(key, 128)})).r,
              150)
        << key;
  }
  // Hidden, or opacity 0: nothing of the group counts, not even what it
  // would refuse.
  TestLayer odd = Solid(0, 0, 0);
  std::memcpy(odd.blendKey, "Mltp", 4);
  TestLayer hidden = GroupRecord("pass");
  hidden.flags = 0x02;
  EXPECT_EQ(ReadOne(Document({Solid(9, 9, 9), GroupDivider(), odd, hidden})), (Rgb{9, 9, 9}));
  EXPECT_EQ(ReadOne(Document({Solid(9, 9, 9), GroupDivider(), odd, GroupRecord("norm", 0)})),
            (Rgb{9, 9, 9}));
  // A hidden layer inside a shown group counts for nothing either.
  TestLayer hiddenLayer = Solid(0, 0, 0);
  hiddenLayer.flags = 0x02;
  EXPECT_EQ(ReadOne(Document({Solid(9, 9, 9), GroupDivider(), hiddenLayer, GroupRecord("pass")})),
            (Rgb{9, 9, 9}));
  // Groups inside groups, the inner one isolated inside a pass-through one.
  EXPECT_EQ(ReadOne(Document({Solid(128, 128, 128), GroupDivider(), GroupDivider(), mul,
                              GroupRecord("norm"), GroupRecord("pass")})).r,
            100);
}

TEST_F(CompositorTest, GroupMaskLimitsTheGroup) {
  TestLayer end = GroupRecord("pass");
  end.hasMask = true;
  end.maskTop = 0, end.maskLeft = 0, end.maskBottom = 2, end.maskRight = 2;
  end.channels.push_back(Plane(-2, 255, 4));
  ASSERT_EQ(Read(Document({Solid(200, 200, 200), GroupDivider(), Solid(100, 100, 100), end})),
            PsdRead::kOk);
  EXPECT_EQ(At(1, 1).r, 100);
  EXPECT_EQ(At(2, 0).r, 200);
}

TEST_F(CompositorTest, ClippingToTheLayerBelow) {
  // The base covers columns 0 and 1; the clipped layer covers everything
  // but shows only over the base.
  TestLayer base;
  base.bottom = 2, base.right = 2;
  base.channels = {Plane(0, 50, 4), Plane(1, 50, 4), Plane(2, 50, 4)};
  TestLayer clipped = Solid(100, 100, 100);
  clipped.clipping = 1;
  ASSERT_EQ(Read(Document({Solid(200, 200, 200), base, clipped})), PsdRead::kOk);
  EXPECT_EQ(At(0, 0).r, 100);
  EXPECT_EQ(At(3, 1).r, 200);
  // The base's transparency shapes it: a fifth of the base, so a fifth of
  // the clipped layer over the backdrop: 200 - 0.2 * 100 = 180.
  base.channels.push_back(Plane(-1, 51, 4));
  ASSERT_EQ(Read(Document({Solid(200, 200, 200), base, clipped})), PsdRead::kOk);
  EXPECT_EQ(At(1, 0).r, 180);
  EXPECT_EQ(At(2, 0).r, 200);
  // A hidden base hides what is clipped to it.
  base.flags = 0x02;
  ASSERT_EQ(Read(Document({Solid(200, 200, 200), base, clipped})), PsdRead::kOk);
  EXPECT_EQ(At(0, 0).r, 200);
  // Clipped in multiply onto a base at opacity 128: (50 * 100 / 255 = 19.6
  // -> 20) mixed half with 200: (128 * 20 + 127 * 200) / 255 = 109.7.
  base.flags = 0;
  base.channels.pop_back();
  base.opacity = 128;
  std::memcpy(clipped.blendKey, "mul ", 4);
  ASSERT_EQ(Read(Document({Solid(200, 200, 200), base, clipped})), PsdRead::kOk);
  EXPECT_EQ(At(0, 0).r, 110);
}

TEST_F(CompositorTest, StructureThatCannotBeCompositedIsRefused) {
  // Clipping with no layer below in its group, or to a group.
  TestLayer clipped = Solid(1, 1, 1);
  clipped.clipping = 1;
  EXPECT_EQ(Read(Document({Solid(9, 9, 9), GroupDivider(), clipped, GroupRecord("pass")})),
            PsdRead::kUnsupportedClipping);
  EXPECT_EQ(Read(Document({Solid(9, 9, 9), GroupDivider(), Solid(1, 1, 1), GroupRecord("pass"),
                           clipped})),
            PsdRead::kUnsupportedClipping);
  // Unbalanced dividers.
  EXPECT_EQ(Read(Document({Solid(9, 9, 9), GroupDivider(), Solid(1, 1, 1)})), PsdRead::kBadGroups);
  EXPECT_EQ(Read(Document({Solid(9, 9, 9), Solid(1, 1, 1), GroupRecord("pass")})),
            PsdRead::kBadGroups);
  EXPECT_EQ(Read(Document({Solid(9, 9, 9), GroupRecord("pass"), GroupDivider()})),
            PsdRead::kBadGroups);
  // 64 levels deep is read; 65 is refused.
  for (int depth : {64, 65}) {
    std::vector<TestLayer> layers = {Solid(9, 9, 9)};
    for (int i = 0; i < depth; ++i) layers.push_back(GroupDivider());
    layers.push_back(Solid(1, 2, 3));
    for (int i = 0; i < depth; ++i) layers.push_back(GroupRecord(i % 2 ? "pass" : "norm"));
    if (depth == 64) {
      EXPECT_EQ(ReadOne(Document(layers)), (Rgb{1, 2, 3}));
    } else {
      EXPECT_EQ(Read(Document(layers)), PsdRead::kBadGroups);
    }
  }
}

TEST_F(CompositorTest, FeaturesThatCannotBeReproducedAreRefused) {
  struct Case {
    const char* what;
    std::vector<uint8_t> blocks;
    PsdRead why;
  };
  // An effects descriptor with the master switch and one effect (a drop
  // shadow) with its switch.
  auto effects = [](uint8_t master, uint8_t enabled) {
    return DescriptorBlock("lfx2",
                           {{"masterFXSwitch", BoolValue(master != 0)},
                            {"DrSh", ObjectValue("DrSh", {{"enab", BoolValue(enabled != 0)}})}});
  };
  auto overlay = [](const char* mode, double opacity = 100) {
    return DescriptorBlock("lfx2", {ColourOverlay(mode, opacity, 1, 2, 3)});
  };
  // The older effects block: the common state, then one effect whose enabled
  // byte follows `enabledAt` bytes of its data (a few bytes trail it, as the
  // real records' opacity and colours do unless the data is cut there).
  auto oldEffects = [](uint8_t visible, const char* key, uint32_t enabledAt, uint8_t enabled) {
    std::vector<uint8_t> d = {0, 0, 0, 2};
    for (char c : std::string("8BIMcmnS")) d.push_back(c);
    for (uint8_t b : {0, 0, 0, 7, 0, 0, 0, 0}) d.push_back(b);
    d.push_back(visible);
    d.push_back(0), d.push_back(0);
    for (char c : std::string("8BIM") + key) d.push_back(c);
    const bool cut = std::string(key) == "dsdw" && enabledAt < 38;
    const uint32_t size = cut ? enabledAt : enabledAt + 3;
    for (int shift : {24, 16, 8, 0}) d.push_back(static_cast<uint8_t>(size >> shift));
    for (uint32_t i = 0; i < size; ++i) d.push_back(i == enabledAt ? enabled : 0x11);
    return Block("lrFX", d);
  };
  auto shape = [](const char* content) {
    return With(Block("vsms", std::vector<uint8_t>(8, 0)),
                Block(content, std::vector<uint8_t>(8, 0)));
  };
  const Case cases[] = {
      {"levels adjustment", Block("levl", std::vector<uint8_t>(8, 0)), PsdRead::kAdjustmentLayer},
      {"solid colour fill", Block("SoCo", std::vector<uint8_t>(8, 0)), PsdRead::kAdjustmentLayer},
      {"vector mask", Block("vmsk", std::vector<uint8_t>(8, 0)), PsdRead::kVectorMask},
      {"vector mask (new key)", Block("vsms", std::vector<uint8_t>(8, 0)), PsdRead::kVectorMask},
      {"vector stroke without a shape", Block("vstk", std::vector<uint8_t>(8, 0)),
       PsdRead::kVectorMask},
      {"shape layer: a fill cut out by its own vector mask", shape("SoCo"), PsdRead::kOk},
      {"shape layer with a gradient fill", shape("GdFl"), PsdRead::kOk},
      {"a vector mask over an adjustment", shape("levl"), PsdRead::kAdjustmentLayer},
      {"artboard", Block("artb", std::vector<uint8_t>(8, 0)), PsdRead::kArtboard},
      {"effects on", effects(1, 1), PsdRead::kLayerEffects},
      {"old effects: a shadow on", oldEffects(1, "dsdw", 38, 1), PsdRead::kLayerEffects},
      {"old effects: a bevel on", oldEffects(1, "bevl", 55, 1), PsdRead::kLayerEffects},
      {"old effects: a kind not known", oldEffects(1, "zzzz", 8, 0), PsdRead::kLayerEffects},
      {"old effects: a shadow cut before its switch", oldEffects(1, "dsdw", 20, 1),
       PsdRead::kLayerEffects},
      {"old effects: the shadow present but off", oldEffects(1, "dsdw", 38, 0), PsdRead::kOk},
      {"old effects: the glow present but off", oldEffects(1, "oglw", 30, 0), PsdRead::kOk},
      {"old effects: all hidden", oldEffects(0, "dsdw", 38, 1), PsdRead::kOk},
      {"effects master off", effects(0, 1), PsdRead::kOk},
      {"every effect off", effects(1, 0), PsdRead::kOk},
      {"effects that cannot be read", Block("lfx2", {0, 0, 0, 0, 0, 0, 0, 16, 0, 0, 0, 0, 'e'}),
       PsdRead::kLayerEffects},
      {"a colour overlay in a mode not known", overlay("zzzz"), PsdRead::kLayerEffects},
      {"a colour overlay in dissolve, wholly covering", overlay("dissolve"), PsdRead::kOk},
      {"a colour overlay without its colour",
       DescriptorBlock("lfx2", {{"SoFi", ObjectValue("SoFi", {{"enab", BoolValue(true)}})}}),
       PsdRead::kLayerEffects},
      {"two colour overlays",
       DescriptorBlock("lfx2",
                       {ColourOverlay("Nrml", 100, 1, 2, 3),
                        {"solidFillMulti", ListValue({ColourOverlay("Mltp", 50, 1, 2, 3).value})}}),
       PsdRead::kLayerEffects},
      {"a colour overlay beside a shadow switched on",
       DescriptorBlock("lfx2", {ColourOverlay("Nrml", 100, 1, 2, 3),
                                {"dropShadowMulti", ListValue({ObjectValue("DrSh", {})})}}),
       PsdRead::kLayerEffects},
      {"a colour overlay blended as part of the layer", With(overlay("Nrml"), ByteBlock("infx", 1)),
       PsdRead::kLayerEffects},
      {"a colour overlay with the interior option off", With(overlay("Nrml"), ByteBlock("infx", 0)),
       PsdRead::kOk},
      {"a colour overlay over transparent pixels", With(ByteBlock("tsly", 0), overlay("Nrml")),
       PsdRead::kLayerEffects},
      {"the descriptor, not the older block, says what is on",
       With(oldEffects(1, "dsdw", 38, 1), effects(1, 0)), PsdRead::kOk},
      {"a solid colour fill in gray",
       DescriptorBlock("SoCo", {{"Clr ", ObjectValue("Grsc", {{"Gry ", DoubleValue(50)}})}}),
       PsdRead::kAdjustmentLayer},
      {"old effects: only the common state", Block("lrFX", {0, 0, 0, 1, '8', 'B', 'I', 'M', 'c',
                                                            'm', 'n', 'S', 0, 0, 0, 7, 0, 0, 0,
                                                            0, 1, 0, 0}),
       PsdRead::kOk},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TestLayer top = Solid(1, 1, 1);
    top.blocks = c.blocks;
    target.Allocate(1, 1, 32);
    std::memset(target.pixels, 0x5A, 4);
    uint8_t* held = target.pixels;
    EXPECT_EQ(Read(Document({Solid(9, 9, 9), top})), c.why);
    if (c.why != PsdRead::kOk) {
      // Refused before anything was touched.
      EXPECT_EQ(target.pixels, held);
      EXPECT_EQ(target.width, 1);
      EXPECT_EQ(target.pixels[0], 0x5A);
      // The same layer hidden is not examined.
      top.flags = 0x02;
      EXPECT_EQ(Read(Document({Solid(9, 9, 9), top})), PsdRead::kOk);
    }
    target.Release();
  }
  // A dissolve overlay that covers partly shows only while decoding.
  EXPECT_EQ(Read(Document({Solid(9, 9, 9), With(Solid(1, 1, 1), overlay("dissolve", 50))})),
            PsdRead::kPartialDissolve);
  // Unknown blend keys, inverted masks and masks with density.
  TestLayer top = Solid(1, 1, 1);
  std::memcpy(top.blendKey, "Hue ", 4);
  EXPECT_EQ(Read(Document({Solid(9, 9, 9), top})), PsdRead::kUnknownBlendMode);
  TestLayer end = GroupRecord("vivL");
  EXPECT_EQ(Read(Document({Solid(9, 9, 9), GroupDivider(), Solid(1, 1, 1), end})),
            PsdRead::kUnknownBlendMode);
  top = Solid(1, 1, 1);
  top.hasMask = true, top.maskBottom = 2, top.maskRight = 4;
  top.channels.push_back(Plane(-2, 255, 8));
  top.maskFlags = 0x04;
  EXPECT_EQ(Read(Document({Solid(9, 9, 9), top})), PsdRead::kUnsupportedMask);
  top.maskFlags = 0x10;
  top.maskExtra = {0x01, 128};  // parameters: user mask density 128
  EXPECT_EQ(Read(Document({Solid(9, 9, 9), top})), PsdRead::kUnsupportedMask);
  top.maskExtra = {0x01, 255};  // full density is what a plain mask does
  EXPECT_EQ(Read(Document({Solid(9, 9, 9), top})), PsdRead::kOk);
  // 16- and 32-bit layer blocks after the layer info.
  for (const char* key : {"Lr16", "Lr32"}) {
    TestDoc d = Document({Solid(9, 9, 9)});
    d.globalBlocks = Block(key, {0, 0, 0, 0});
    EXPECT_EQ(Read(d), PsdRead::kDeepLayers) << key;
  }
  // Layer channels in ZIP.
  top = Solid(1, 1, 1);
  top.channels[1].compression = 3;
  EXPECT_EQ(Read(Document({Solid(9, 9, 9), top})), PsdRead::kUnsupportedCompression);
}

TEST_F(CompositorTest, SolidColourFillAndInvertLayers) {
  enum Setting { kPlain, kHalf, kNoFill, kMultiply, kEmpty, kHidden, kMaskIn, kMask128 };
  auto set = [](TestLayer l, Setting s) {
    if (s == kHalf) l.opacity = 128;
    if (s == kNoFill) l = With(l, ByteBlock("iOpa", 0));
    if (s == kMultiply) std::memcpy(l.blendKey, "mul ", 4);
    if (s == kEmpty) l.bottom = l.right = 0, l.channels.clear();  // any rectangle
    if (s == kHidden) l.flags = 0x02;
    if (s == kMaskIn) l = Masked(l, 255, 0);
    if (s == kMask128) l = Masked(l, 128, 255);
    return l;
  };
  // Pixels (0, 0) and (3, 1) with the fill (0, 128, 255), then with Invert.
  const struct {
    Setting s;
    Rgb fill00, fill31, inv00, inv31;
  } cases[] = {
      {kPlain, {0, 128, 255}, {0, 128, 255}, {55, 155, 255}, {55, 155, 255}},
      // (128 * 0 + 127 * 200) / 255 = 99.6, (128 * 128 + 127 * 100) / 255 = 114.05;
      // (128 * 55 + 127 * 200) / 255 = 127.3, (128 * 155 + 127 * 100) / 255 = 127.6
      {kHalf, {100, 114, 128}, {100, 114, 128}, {127, 128, 128}, {127, 128, 128}},
      {kNoFill, {200, 100, 0}, {200, 100, 0}, {200, 100, 0}, {200, 100, 0}},
      // 100 * 128 / 255 = 50.2; 200 * 55 / 255 = 43.1, 100 * 155 / 255 = 60.8
      {kMultiply, {0, 50, 0}, {0, 50, 0}, {43, 61, 0}, {43, 61, 0}},
      {kEmpty, {0, 128, 255}, {0, 128, 255}, {55, 155, 255}, {55, 155, 255}},
      {kHidden, {200, 100, 0}, {200, 100, 0}, {200, 100, 0}, {200, 100, 0}},
      {kMaskIn, {0, 128, 255}, {200, 100, 0}, {55, 155, 255}, {200, 100, 0}},
      {kMask128, {100, 114, 128}, {0, 128, 255}, {127, 128, 128}, {55, 155, 255}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.s);
    ASSERT_EQ(Read(Document({Solid(200, 100, 0), set(Fill(0, 128, 255), c.s)})), PsdRead::kOk);
    EXPECT_EQ(At(0, 0), c.fill00);
    EXPECT_EQ(At(3, 1), c.fill31);
    ASSERT_EQ(Read(Document({Solid(200, 100, 0), set(Invert(), c.s)})), PsdRead::kOk);
    EXPECT_EQ(At(0, 0), c.inv00);
    EXPECT_EQ(At(3, 1), c.inv31);
  }
  // A fill's halves round up and levels outside 0..255 stop there; at the
  // bottom its colour is the backdrop.
  EXPECT_EQ(ReadOne(Document({Solid(200, 100, 0), Fill(-5, 23.5, 300)})), (Rgb{0, 24, 255}));
  EXPECT_EQ(ReadOne(Document({Fill(10, 20, 30), Solid(0, 0, 0, 0)}), 3, 1), (Rgb{10, 20, 30}));
  // Invert inverts what lies below, the layers between included: twice is
  // the original; black at alpha 51 gives 160, 80, 0, inverted 95, 175, 255.
  EXPECT_EQ(ReadOne(Document({Solid(200, 100, 0), Invert(), Invert()})), (Rgb{200, 100, 0}));
  EXPECT_EQ(ReadOne(Document({Solid(200, 100, 0), Solid(0, 0, 0, 51), Invert()})),
            (Rgb{95, 175, 255}));
  // Clipped to a base of alpha 51 (10, 10, 10): inside the base's shape, the
  // base at its alpha over the backdrop: (51 * 255 + 204 * 200) / 255 = 211,
  // 131, 51 for white; 209, 129, 49 for the base inverted (245).
  TestLayer clippedFill = Fill(255, 255, 255), clippedInvert = Invert();
  clippedFill.clipping = clippedInvert.clipping = 1;
  EXPECT_EQ(ReadOne(Document({Solid(200, 100, 0), Solid(10, 10, 10, 51), clippedFill})),
            (Rgb{211, 131, 51}));
  EXPECT_EQ(ReadOne(Document({Solid(200, 100, 0), Solid(10, 10, 10, 51), clippedInvert})),
            (Rgb{209, 129, 49}));
  // In an isolated group Invert sees only the group's own layers (black at
  // alpha 51 becomes white at alpha 51).
  EXPECT_EQ(ReadOne(Document({Solid(200, 100, 0), GroupDivider(), Solid(0, 0, 0, 51), Invert(),
                              GroupRecord("norm")})),
            (Rgb{211, 131, 51}));
  // Refused: a masked fill or an Invert at the bottom (the backdrop rule
  // leaves masks out), two kinds in one record, kinds not reproduced, a
  // fill or colour overlay in a grayscale document.
  EXPECT_EQ(Read(Document({Masked(Fill(1, 1, 1), 255, 0), Solid(9, 9, 9)})),
            PsdRead::kAdjustmentLayer);
  EXPECT_EQ(Read(Document({Invert(), Solid(9, 9, 9)})), PsdRead::kAdjustmentLayer);
  EXPECT_EQ(Read(Document({Solid(9, 9, 9), With(Invert(), Block("levl", {0, 2}))})),
            PsdRead::kAdjustmentLayer);
  for (const char* key : {"post", "thrs", "curv", "clrL"}) {
    EXPECT_EQ(Read(Document({Solid(9, 9, 9), With(Solid(1, 2, 3), Block(key, {0, 2}))})),
              PsdRead::kAdjustmentLayer)
        << key;
  }
  TestDoc gray = Document({});
  gray.mode = 1, gray.channels = 1;
  gray.composite = {std::vector<uint8_t>(kW * kH, 1)};
  TestLayer g;
  g.bottom = kH, g.right = kW, g.channels = {Plane(0, 200, kW * kH)};
  gray.layers = {g, With(g, SolidColourBlock(9, 9, 9))};
  EXPECT_EQ(Read(gray), PsdRead::kAdjustmentLayer);
  gray.layers[1].blocks = DescriptorBlock("lfx2", {ColourOverlay("Nrml", 100, 9, 9, 9)});
  EXPECT_EQ(Read(gray), PsdRead::kLayerEffects);
}

// A colour overlay: the layer's contents first (transparency x mask x fill
// opacity, its own mode), the overlay over that result (transparency x mask
// x overlay opacity, the overlay's mode), the layer's opacity mixing the two
// steps' result with what lay below. Layer 50, 60, 70 over 200, 100, 0.
TEST_F(CompositorTest, ColourOverlayEffect) {
  struct Case {
    const char* what;
    std::vector<Item> effects;
    Rgb expected;
    uint8_t opacity = 255, fill = 255, alpha = 255;
    const char* layerMode = "norm";
  };
  const Item blue = ColourOverlay("Nrml", 100, 0, 128, 255);
  const Item orangeMultiply = ColourOverlay("multiply", 100, 255, 128, 0);
  const Case cases[] = {
      {"normal, 100 %", {blue}, {0, 128, 255}},
      {"normal, 0 %", {ColourOverlay("Nrml", 0, 0, 128, 255)}, {50, 60, 70}},
      // 50 % is 128: (128 * 0 + 127 * 50) / 255 = 24.9, 94.1, 162.9
      {"normal, 50 %", {ColourOverlay("Nrml", 50, 0, 128, 255)}, {25, 94, 163}},
      {"multiply onto the layer", {orangeMultiply}, {50, 30, 0}},  // 60 * 128 / 255 = 30.1
      // The fill opacity hides the contents, not the overlay, which then
      // multiplies what is below: 100 * 128 / 255 = 50.2.
      {"fill opacity 0", {orangeMultiply}, {200, 50, 0}, 255, 0},
      // The overlay hides the contents; the opacity mixes it with the
      // backdrop: (127 * 200 + 128 * 0) / 255 = 99.6, 114.05, 128.
      {"layer opacity 128", {blue}, {100, 114, 128}, 128},
      // The layer's mode is not the overlay's: multiply gives 39, 24, 0
      // for the contents, and the overlay in normal covers them.
      {"layer in multiply", {blue}, {0, 128, 255}, 255, 255, 255, "mul "},
      {"layer in multiply, overlay at 0 %", {ColourOverlay("Nrml", 0, 0, 0, 0)}, {39, 24, 0}, 255,
       255, 255, "mul "},
      // Alpha 51: contents 170, 92, 14; black at alpha 51 over them:
      // 204 * 170 / 255 = 136, 73.6, 11.2.
      {"partly transparent layer", {ColourOverlay("Nrml", 100, 0, 0, 0)}, {136, 74, 11}, 255, 255,
       51},
      {"switched off", {ColourOverlay("Nrml", 100, 0, 0, 0, false)}, {50, 60, 70}},
      {"in a list", {{"solidFillMulti", ListValue({blue.value})}}, {0, 128, 255}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TestLayer top = Solid(50, 60, 70, c.alpha);
    top.opacity = c.opacity;
    std::memcpy(top.blendKey, c.layerMode, 4);
    top.blocks = DescriptorBlock("lfx2", c.effects);
    top = With(top, ByteBlock("iOpa", c.fill));
    EXPECT_EQ(ReadOne(Document({Solid(200, 100, 0), top}), 2, 1), c.expected);
  }
  // On a clipped layer: inside the base's shape only.
  TestLayer base = Solid(10, 10, 10, 51),
            clipped = With(Solid(50, 60, 70), DescriptorBlock("lfx2", {blue}));
  clipped.clipping = 1;
  // (51 * 0 + 204 * 200) / 255 = 160, (51 * 128 + 204 * 100) / 255 = 105.6, 51
  EXPECT_EQ(ReadOne(Document({Solid(200, 100, 0), base, clipped})), (Rgb{160, 106, 51}));
  // In an isolated group (a level that starts transparent) as at the root:
  // blue at alpha 128, then over the backdrop.
  TestLayer inGroup = With(Solid(50, 60, 70), DescriptorBlock("lfx2", {blue}));
  inGroup.opacity = 128;
  EXPECT_EQ(ReadOne(Document({Solid(200, 100, 0), GroupDivider(), inGroup, GroupRecord("norm")})),
            (Rgb{100, 114, 128}));
  // On a solid colour fill: the fill's colour is the contents.
  const std::vector<uint8_t> fx = DescriptorBlock("lfx2", {orangeMultiply});
  EXPECT_EQ(ReadOne(Document({Solid(200, 100, 0), With(Fill(9, 9, 9), fx)})), (Rgb{9, 5, 0}));
  // Refused: on the bottom layer, on a clipping base, on a group.
  EXPECT_EQ(Read(Document({With(Solid(1, 1, 1), fx), Solid(9, 9, 9)})), PsdRead::kLayerEffects);
  base.blocks = fx;
  EXPECT_EQ(Read(Document({Solid(200, 100, 0), base, clipped})), PsdRead::kLayerEffects);
  EXPECT_EQ(Read(Document(
                {Solid(9, 9, 9), GroupDivider(), Solid(1, 1, 1), With(GroupRecord("norm"), fx)})),
            PsdRead::kLayerEffects);
}

TEST_F(CompositorTest, TheLibrarysOwnLayerIsLeftOut) {
  // By its length-prefixed name, by its Unicode name, and not when the
  // Unicode name says otherwise. Layers above it count.
  TestLayer own = Solid(0, 0, 0);
  own.name = "Kelvra Masked Layer";
  EXPECT_EQ(ReadOne(Document({Solid(9, 9, 9), own})), (Rgb{9, 9, 9}));
  own.name = "KShading (do not edit this laye";
  EXPECT_EQ(ReadOne(Document({Solid(9, 9, 9), own})), (Rgb{9, 9, 9}));
  own.name = "x";
  own.blocks = UnicodeNameBlock("KShading (do not edit this layer)");
  EXPECT_EQ(ReadOne(Document({Solid(9, 9, 9), own, Solid(4, 5, 6, 51)})),
            (Rgb{8, 8, 8}));  // 9 - 0.2 * 5 = 8, 9 - 0.2 * 4 = 8.2, 9 - 0.2 * 3 = 8.4
  // Krita ends the Unicode name with a NUL of its own, and is read only
  // when its merged image is the picture of the layers as recorded (here
  // the black layer over everything): it saves modes of its own as normal.
  own.blocks = UnicodeNameBlock(std::string("KShading (do not edit this layer)") + '\0');
  TestDoc krita = Document({Solid(9, 9, 9), own});
  EXPECT_EQ(Read(krita), PsdRead::kUnrecordedDrawing);
  krita.composite = {std::vector<uint8_t>(kW * kH, 0), std::vector<uint8_t>(kW * kH, 0),
                     std::vector<uint8_t>(kW * kH, 0)};
  EXPECT_EQ(ReadOne(krita), (Rgb{9, 9, 9}));
  own.name = "Kelvra Masked Layer";
  own.blocks = UnicodeNameBlock("Kelvra Masked Layer 2");
  EXPECT_EQ(ReadOne(Document({Solid(9, 9, 9), own})), (Rgb{0, 0, 0}));
  // The flat reading of a document without a composite keeps it.
  own.blocks = UnicodeNameBlock("Kelvra Masked Layer");
  TestDoc d = Document({Solid(9, 9, 9), own});
  d.omitComposite = true;
  const std::vector<uint8_t> doc = BuildPsd(d);
  ASSERT_EQ(ReadCompositeImage(doc.data(), doc.size(), false, &target), PsdRead::kOk);
  EXPECT_EQ(At(0, 0), (Rgb{0, 0, 0}));
}

// The version information resource (1057): version 1, whether the merged
// image is real, the writer's and the reader's names, file version 1.
std::vector<uint8_t> VersionInfo(const std::string& writer, const std::string& reader,
                                 bool real = true) {
  std::vector<uint8_t> d = {0, 0, 0, 1, static_cast<uint8_t>(real)};
  for (const std::string& name : {writer, reader}) {
    d.insert(d.end(), {0, 0, 0, static_cast<uint8_t>(name.size())});
    for (char c : name) d.insert(d.end(), {0, static_cast<uint8_t>(c)});
  }
  d.insert(d.end(), {0, 0, 0, 1});
  return testing::Resource(1057, d);
}

// A layer of one colour over columns 2 and 3.
TestLayer RightHalf(uint8_t r, uint8_t g, uint8_t b) {
  TestLayer l;
  l.left = 2, l.bottom = kH, l.right = kW;
  for (int16_t id : {0, 1, 2}) l.channels.push_back(Plane(id, id == 0 ? r : id == 1 ? g : b, 4));
  return l;
}

// The composite planes of a picture whose columns 0, 1 are `left` and 2, 3
// `right`.
std::vector<std::vector<uint8_t>> Picture(Rgb left, Rgb right) {
  std::vector<std::vector<uint8_t>> planes(3, std::vector<uint8_t>(kW * kH));
  for (int i = 0; i < kW * kH; ++i) {
    const Rgb& c = i % kW < 2 ? left : right;
    planes[0][i] = c.r, planes[1][i] = c.g, planes[2][i] = c.b;
  }
  return planes;
}

// A document Photoshop saved is read only when its layers give the merged
// image Photoshop stored, where that is opaque, within 2 levels; a
// refusal names the pixel where the first row that differs differs most,
// and the layers over it.
TEST_F(CompositorTest, APhotoshopSaveIsReadOnlyWhenItsLayersGiveItsMergedImage) {
  TestLayer paper = Solid(10, 20, 30), paint = RightHalf(200, 100, 0);
  paper.name = "paper", paint.name = "paint";
  const std::vector<uint8_t> photoshop = VersionInfo("Adobe Photoshop", "Adobe Photoshop CS6");
  struct Row {
    const char* what;
    std::vector<uint8_t> resources;
    int x, y, channel, delta;  // the merged image's sample changed
    PsdRead expected;
    const char* reason;
  };
  const Row rows[] = {
      {"Photoshop, as the layers give it", photoshop, 0, 0, 0, 0, PsdRead::kOk, ""},
      {"Photoshop, 2 levels off (its own rounding)", photoshop, 3, 1, 1, 2, PsdRead::kOk, ""},
      {"Photoshop, 3 levels off", photoshop, 3, 1, 1, 3, PsdRead::kUnrecordedDrawing,
       "the layers as saved do not give the picture Photoshop stored: 3 levels off in green at "
       "x 3, y 1, under 'paint', 'paper'"},
      {"Photoshop, off where the bottom layer alone lies", photoshop, 1, 0, 2, -30,
       PsdRead::kUnrecordedDrawing, "30 levels off in blue at x 1, y 0, under 'paper'"},
      {"Photoshop Elements", VersionInfo("Adobe Photoshop Elements", "Adobe Photoshop Elements 10.0"),
       2, 0, 0, 9, PsdRead::kUnrecordedDrawing, "9 levels off in red at x 2, y 0"},
      {"the library's own version information",
       VersionInfo("Adobe Photoshop", kOwnVersionReaderName), 3, 1, 1, 50, PsdRead::kOk, ""},
      {"compatibility off: no real merged image",
       VersionInfo("Adobe Photoshop", "Adobe Photoshop CS6", false), 3, 1, 1, 50, PsdRead::kOk, ""},
      {"another writer", VersionInfo("Some Painter", "Some Painter 2"), 3, 1, 1, 50, PsdRead::kOk,
       ""},
      {"no version information", {}, 3, 1, 1, 50, PsdRead::kOk, ""},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.what);
    TestDoc d = Document({paper, paint});
    d.resources = r.resources;
    d.composite = Picture({10, 20, 30}, {200, 100, 0});
    d.composite[r.channel][r.y * kW + r.x] += r.delta;
    const std::vector<uint8_t> doc = BuildPsd(d);
    PsdRefusal why;
    ASSERT_EQ(ReadLayeredImage(doc.data(), doc.size(), false, &target, &why), r.expected);
    EXPECT_NE(std::string(why.text).find(r.reason), std::string::npos) << why.text;
    if (r.expected == PsdRead::kOk) EXPECT_EQ(At(3, 1), (Rgb{200, 100, 0}));
  }
  // Where the merged image is not opaque it is not compared: the bottom
  // layer is the opaque backdrop here, and Photoshop's picture shows what
  // lies under it.
  for (const uint8_t alpha : {128, 255}) {
    TestDoc d = Document({paper, paint});
    d.resources = photoshop;
    d.channels = 4;
    d.overrideLayerCount = true, d.layerCountField = -2;
    d.composite = Picture({10, 20, 30}, {200, 100, 0});
    d.composite.push_back(std::vector<uint8_t>(kW * kH, 255));
    d.composite[0][0] = 255, d.composite[3][0] = alpha;
    EXPECT_EQ(Read(d), alpha == 255 ? PsdRead::kUnrecordedDrawing : PsdRead::kOk) << +alpha;
  }
}

// The check composites the library's own layer too, the picture read leaves
// it out: on top of the document (one pass gives both) and under a layer of
// the user's (a pass of its own checks first).
TEST_F(CompositorTest, ThePhotoshopCheckCountsTheLibrarysLayer) {
  TestLayer paper = Solid(10, 20, 30), paint = RightHalf(200, 100, 0),
            own = Solid(0, 0, 0, 51);
  own.name = "KShading (do not edit this laye";
  // Black at alpha 51 takes a fifth: 10, 20, 30 -> 8, 16, 24; 200, 100, 0 -> 160, 80, 0.
  const Rgb paperShaded{8, 16, 24}, paintShaded{160, 80, 0};
  struct Row {
    const char* what;
    std::vector<TestLayer> layers;
    Rgb left, right;  // the merged image
    PsdRead expected;
  };
  const Row rows[] = {
      {"on top, merged with it", {paper, paint, own}, paperShaded, paintShaded, PsdRead::kOk},
      {"on top, merged without it", {paper, paint, own}, {10, 20, 30}, {200, 100, 0},
       PsdRead::kUnrecordedDrawing},
      {"under the user's layer, merged with it", {paper, own, paint}, paperShaded, {200, 100, 0},
       PsdRead::kOk},
      {"under the user's layer, merged without it", {paper, own, paint}, {10, 20, 30},
       {200, 100, 0}, PsdRead::kUnrecordedDrawing},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.what);
    TestDoc d = Document(r.layers);
    d.resources = VersionInfo("Adobe Photoshop", "Adobe Photoshop 2024");
    d.composite = Picture(r.left, r.right);
    ASSERT_EQ(Read(d), r.expected);
    if (r.expected != PsdRead::kOk) continue;
    EXPECT_EQ(At(0, 0), (Rgb{10, 20, 30}));
    EXPECT_EQ(At(3, 1), (Rgb{200, 100, 0}));
  }
}

// A refusal names the layer (by its Unicode name when it has one, a group by
// its own record) and what it uses.
TEST_F(CompositorTest, RefusalsNameTheLayerAndTheFeature) {
  // A layer named `name` with `blocks`, over 9, 9, 9.
  auto named = [](const char* name, TestLayer l) {
    l.name = name;
    return l;
  };
  auto over = [&named](const char* name, const std::vector<uint8_t>& blocks,
                       TestLayer l = Solid(1, 1, 1)) {
    return Document({Solid(9, 9, 9), named(name, With(l, blocks))});
  };
  const std::vector<uint8_t> curves = Block("curv", std::vector<uint8_t>(8, 0));
  // Gradient overlays and gradient fill layers by the setting that stops
  // them; every other effect but the colour overlay by its name, in the
  // descriptor or, without one, in the older block.
  auto gradientOverlay = [](const std::vector<Item>& changes) {
    std::vector<Item> settings = GradientSettings(changes);
    settings.push_back({"enab", BoolValue(true)});
    return DescriptorBlock("lfx2", {{"GrFl", ObjectValue("GrFl", settings)}});
  };
  // Gradient maps by the setting that stops them or over coloured pixels,
  // pattern overlays by their scale and placement, fill opacity inside
  // linear light where the layer's coverage is partial.
  auto doc = [](std::vector<uint8_t> blocks, uint8_t alpha = 255, const char* key = "norm") {
    TestLayer l = Solid(1, 1, 1, alpha);
    std::memcpy(l.blendKey, key, 4);
    l.blocks = std::move(blocks);
    return Document({Solid(9, 9, 9), l});
  };
  auto pattern = [](double scale, const std::vector<Item>& changes = {}) {
    return DescriptorBlock("lfx2", {PatternOverlay("P-1", scale, changes)});
  };
  TestDoc odd = doc(pattern(81));
  odd.globalBlocks = PatternsBlock("P-1", 1, 1, {1, 2, 3}, false);
  std::vector<uint8_t> cut = GradientMapBlock({});
  cut[11] -= 36, cut.resize(cut.size() - 36);  // the block ends before its noise mode
  const std::string kMap = "layer 'L': a Gradient Map ";
  auto clippedTo = [&named](const char* key) {
    TestLayer l = Solid(2, 2, 2);
    std::memcpy(l.blendKey, key, 4);
    l.clipping = 1;
    return named("Top", l);
  };
  const std::string kBase =
      "layer 'Base': a clipping base below 100 % fill, or whose clipped layers are not blended "
      "as a group";
  const std::string kPlaced =
      "layer 'L': a pattern overlay placed between pixels, or away from the canvas's corner "
      "below 100 %";
  const std::string kMasked =
      "layer 'Ramp': a gradient overlay on a layer with a mask, or on a layer but one of pixels or "
      "a solid colour fill";
  const struct {
    TestDoc doc;
    std::string text;
  } cases[] = {
      {over("Ramp", gradientOverlay({{"gs99", testing::EnumValue("gs99", "Perc")}})),
       "layer 'Ramp': a gradient overlay with smoothness below 100 %"},
      {over("Ramp",
            gradientOverlay(MatchedGradient("Perc", 100, 100, {{"Dthr", BoolValue(true)}}))),
       "layer 'Ramp': a dithered gradient overlay"},
      {over("Ramp", gradientOverlay({})),
       "layer 'Ramp': a gradient overlay with the classic method"},
      {over("Sky", DescriptorBlock(
                       "GdFl", GradientSettings({{"Grad", testing::GradientObject(
                                                              {{"Intr", DoubleValue(4096)}})}}))),
       "layer 'Sky': a gradient fill layer with the classic method"},
      {over("Sky", DescriptorBlock("GdFl", MatchedGradient("Perc"))),
       "layer 'Sky': a gradient fill layer (none of the documents its drawing was checked on has "
       "one)"},
      // Matched, but on a masked layer or fill: the box it is laid in is not
      // reproduced.
      {over("Ramp", gradientOverlay(MatchedGradient("Perc")), Masked(Solid(1, 1, 1), 255, 0)),
       kMasked},
      {over("Ramp", gradientOverlay(MatchedGradient("Perc")), Masked(Fill(0, 0, 255), 255, 0)),
       kMasked},
      {over("Levels 1", Block("levl", std::vector<uint8_t>(8, 0))),
       "layer 'Levels 1': a Levels adjustment layer"},
      {over("Levels 1", With(UnicodeNameBlock("Kurven"), curves)),
       "layer 'Kurven': a Curves adjustment layer"},
      {Document({Solid(9, 9, 9), GroupDivider(), Solid(1, 1, 1),
                 named("Folder", With(GroupRecord("norm"), curves))}),
       "layer 'Folder': a Curves adjustment layer"},
      {over("Shadowed", DescriptorBlock("lfx2", {ColourOverlay("Nrml", 100, 1, 2, 3),
                                                 {"DrSh", ObjectValue("DrSh", {})}})),
       "layer 'Shadowed': a drop shadow effect"},
      {over("Shadowed",
            Block("lrFX", {0, 0, 0, 1, '8', 'B', 'I', 'M', 'o', 'g', 'l', 'w', 0, 0, 0, 0})),
       "layer 'Shadowed': an outer glow effect"},
      {doc(GradientMapBlock({3, "Perc"})), kMap + "with smoothness below 100 %"},
      {doc(GradientMapBlock({1, "Perc", 0, 4096})), kMap + "with the classic method"},
      {doc(GradientMapBlock({3, "Lnr ", 1, 4096})), "layer 'L': a dithered Gradient Map"},
      {doc(GradientMapBlock({3, "Perc", 0, 4096, 2})),
       kMap + "with a stop in a colour space other than RGB"},
      {doc(GradientMapBlock({})), kMap + "with the classic method"},
      {Document({Solid(9, 9, 10), doc(GradientMapBlock({3, "Perc", 0, 4096})).layers[1]}),
       kMap +
           "over coloured pixels (the weights Photoshop takes their luminance by are not known)"},
      {doc(GradientMapBlock({2})), kMap + "whose settings cannot be read"},
      {doc(cut), kMap + "whose settings cannot be read"},
      {doc(pattern(90)),
       "layer 'L': a pattern overlay at a scale whose resampling is not reproduced"},
      {doc(pattern(100, {{"Algn", BoolValue(false)}})),
       "layer 'L': a pattern overlay not linked with the layer"},
      {doc(pattern(100, {{"Angl", testing::UnitValue("#Ang", 30)}})),
       "layer 'L': a pattern overlay moved or turned (phase or angle)"},
      {doc(pattern(100, {{"Ptrn", ObjectValue("Ptrn", {})}})),
       "layer 'L': a pattern overlay whose settings cannot be read"},
      {doc(With(pattern(81), ReferencePoint(1, 0))), kPlaced},
      {doc(With(pattern(100), ReferencePoint(0, 0.5))), kPlaced},
      {doc(pattern(100)), "layer 'L': a pattern overlay whose pattern the document does not hold"},
      {odd,
       "layer 'L': a pattern overlay whose pattern is not RGB, has transparency, is larger "
       "than 2048 pixels or has an odd side below 100 %"},
      {doc(ByteBlock("iOpa", 51), 200, "lLit"),
       "layer 'L': fill opacity below 100 % in linear light over partly transparent pixels of "
       "the layer"},
      // Clipping beyond what Photoshop's picture shows.
      {Document({Solid(9, 9, 9), named("Base", With(Solid(1, 1, 1), ByteBlock("iOpa", 128))),
                 clippedTo("norm")}),
       kBase},
      {Document({Solid(9, 9, 9), named("Base", With(Solid(1, 1, 1), ByteBlock("clbl", 0))),
                 clippedTo("norm")}),
       kBase},
      {Document({Solid(9, 9, 9), named("Base", Solid(1, 1, 1, 128)), clippedTo("mul ")}),
       "layer 'Top': a layer in a blend mode other than normal clipped to partly transparent "
       "pixels"},
  };
  for (const auto& c : cases) {
    const std::vector<uint8_t> doc = BuildPsd(c.doc);
    PsdRefusal why;
    EXPECT_NE(ReadLayeredImage(doc.data(), doc.size(), false, &target, &why), PsdRead::kOk);
    EXPECT_EQ(why.text, c.text);
  }
  // Over gray, a matched map's ends are its end stops.
  const TestLayer map = doc(GradientMapBlock({3, "Perc", 0, 4096})).layers[1];
  EXPECT_EQ(ReadOne(Document({Solid(0, 0, 0), map})), (Rgb{0, 0, 0}));
  EXPECT_EQ(ReadOne(Document({Solid(255, 255, 255), map})), (Rgb{255, 255, 255}));
}

// A gradient overlay on a solid colour fill (0, 0, 255), or on a layer of
// pixels: vertical, laid in the canvas or the layer's box (2 rows): row 0
// is the top (t = 1 at angle 90), row 1 half way. Black to white half way
// is 0.5 in the method's space: linear light 0.5 is level 188; Oklab L 0.5
// is linear 0.125, level 99.
TEST_F(CompositorTest, GradientOverlays) {
  auto overlay = [](const char* method, std::vector<Item> changes, double opacity = 100,
                    double alpha = 100, TestLayer l = Fill(0, 0, 255)) {
    const Item fx = {"GrFl", ObjectValue("GrFl", MatchedGradient(method, opacity, alpha, changes))};
    return With(l, DescriptorBlock("lfx2", {fx}));
  };
  // A layer of pixels whose row 0 is transparent: the overlay is laid in
  // row 1 alone (at least half opaque), so row 1 is the end colour.
  TestLayer lower = Solid(0, 0, 255, 0);
  lower.channels[0].samples = {0, 0, 0, 0, 255, 255, 255, 255};
  struct Case {
    const char* what;
    TestLayer layer;
    Rgb row0, row1;
  } cases[] = {
      {"linear: the end, then half way", overlay("Lnr ", {}), {255, 255, 255}, {188, 188, 188}},
      {"perceptual", overlay("Perc", {}), {255, 255, 255}, {99, 99, 99}},
      {"reversed: the start on top", overlay("Lnr ", {{"Rvrs", BoolValue(true)}}),
       {0, 0, 0}, {188, 188, 188}},
      // 188 * 128 / 255 = 94.4; the blue 255 * 127 / 255 more.
      {"opacity 50 %", overlay("Lnr ", {}, 50), {128, 128, 255}, {94, 94, 221}},
      {"transparency 50 %, the same", overlay("Lnr ", {}, 100, 50), {128, 128, 255},
       {94, 94, 221}},
      {"a layer of pixels, whole", overlay("Lnr ", {}, 100, 100, Solid(0, 0, 255)),
       {255, 255, 255}, {188, 188, 188}},
      {"a layer of pixels, row 1 alone", overlay("Lnr ", {}, 100, 100, lower),
       {200, 100, 0}, {255, 255, 255}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_EQ(Read(Document({Solid(200, 100, 0), c.layer})), PsdRead::kOk);
    EXPECT_EQ(At(0, 0), c.row0);
    EXPECT_EQ(At(3, 1), c.row1);
  }
  // On the bottom layer: over its colours.
  EXPECT_EQ(ReadOne(Document({overlay("Perc", {}, 100, 100, Solid(0, 0, 255))}), 3, 1),
            (Rgb{99, 99, 99}));
  // A layer reaching past the canvas is refused before the receiver is
  // touched, also in the reading a Krita document is checked by.
  TestLayer past = overlay("Lnr ", {}, 100, 100, Solid(0, 0, 255));
  past.left -= 1, past.right -= 1;
  for (const TestLayer& l :
       {past, With(past, UnicodeNameBlock(std::string("L") + '\0'))}) {
    EXPECT_EQ(Read(Document({Solid(200, 100, 0), l})), PsdRead::kLayerEffects);
    EXPECT_EQ(At(3, 1), (Rgb{99, 99, 99}));
  }
}

// Text layers: Photoshop draws their partly covered pixels over other layers
// differently from their stored alpha, so such pixels are refused; whole
// coverage, and edges over transparency, are drawn from the pixels.
TEST_F(CompositorTest, TextLayerEdgesOverOtherLayersAreRefused) {
  auto text = [](uint8_t alpha) {
    return With(Solid(200, 0, 0, alpha), Block("TySh", std::vector<uint8_t>(8, 0)));
  };
  EXPECT_EQ(Read(Document({Solid(9, 9, 9), text(255)})), PsdRead::kOk);
  EXPECT_EQ(Read(Document({Solid(9, 9, 9), text(0)})), PsdRead::kOk);
  EXPECT_EQ(Read(Document({Solid(9, 9, 9), text(128)})), PsdRead::kTextEdges);
  // Over nothing (the bottom layer leaves that row uncovered).
  TestLayer low = Solid(9, 9, 9);
  low.top = 1;
  for (TestChannel& c : low.channels) c.samples.resize(kW * (kH - 1));
  TestLayer edge = text(128);
  edge.bottom = 1;
  edge.channels = {Plane(-1, 128, kW), Plane(0, 200, kW), Plane(1, 0, kW), Plane(2, 0, kW)};
  EXPECT_EQ(Read(Document({low, edge})), PsdRead::kOk);
}

// Without a bottom layer covering the canvas the picture starts transparent:
// a layer in a blend mode over nothing shows its own colours. A bottom layer
// with transparency of its own that leaves the canvas partly uncovered, in a
// document whose merged image has no transparency, is refused: its program
// flattened it onto a backdrop the document does not hold.
TEST_F(CompositorTest, APictureWithoutABackdropStartsTransparent) {
  TestLayer multiply = Solid(40, 80, 120);
  std::memcpy(multiply.blendKey, "mul ", 4);
  EXPECT_EQ(ReadOne(Document({GroupDivider(), Solid(200, 200, 200, 0), GroupRecord("norm"),
                              GroupDivider(), multiply, GroupRecord("pass")})),
            (Rgb{40, 80, 120}));
  TestLayer partial = Solid(9, 9, 9, 128);
  partial.bottom = kH - 1;
  for (TestChannel& c : partial.channels) c.samples.resize(kW * (kH - 1));
  EXPECT_EQ(Read(Document({partial})), PsdRead::kFlattenedBackdrop);
  TestDoc withAlpha = Document({partial});
  withAlpha.channels = 4;
  withAlpha.composite.push_back(std::vector<uint8_t>(kW * kH, 255));
  EXPECT_EQ(Read(withAlpha), PsdRead::kOk);
}

// An artboard over columns 1 and 2 (or all) of red at half coverage: its
// background under it there, nothing (black) outside; refused settings
// refuse.
TEST_F(CompositorTest, ArtboardsStartFromTheirBackgroundAndShowOnlyInside) {
  auto doc = [](double left, int32_t type, const char* key = "pass", int right = 3) {
    return Document({GroupDivider(), Solid(200, 0, 0, 128),
                     With(GroupRecord(key),
                          testing::ArtboardBlock(-5, left, 9, right, type,
                                                 {{"Clr ", testing::RgbValue(10, 20, 30)}}))});
  };
  const struct { TestDoc doc; bool alpha; PsdRead why; Rgb inside; } cases[] = {
      {doc(1, 1), true, PsdRead::kOk, {227, 127, 127}},  // 200 * 128 / 255 + 255 * 127 / 255
      {doc(1, 3), true, PsdRead::kOk, {200, 0, 0}},      // transparent
      {doc(1, 4, "norm"), true, PsdRead::kOk, {105, 10, 15}},
      {doc(1, 5), true, PsdRead::kArtboard, {}},         // a background type not known
      {doc(1.5, 1), true, PsdRead::kArtboard, {}},       // half pixels
      {doc(1, 1, "mul "), true, PsdRead::kArtboard, {}},
      {doc(1, 1), false, PsdRead::kFlattenedBackdrop, {}},  // the canvas flattened...
      {doc(0, 2, "pass", kW), false, PsdRead::kOk, {100, 0, 0}},  // ... or covered
  };
  for (const auto& c : cases) {
    TestDoc d = c.doc;  // with `alpha`, the merged image has transparency
    if (c.alpha) d.channels = 4, d.composite.push_back(std::vector<uint8_t>(kW * kH, 255));
    ASSERT_EQ(Read(d), c.why);
    if (c.why != PsdRead::kOk) continue;
    EXPECT_EQ(At(0, 1), (c.alpha ? Rgb{0, 0, 0} : c.inside));
    EXPECT_EQ(At(2, 1), c.inside);
    EXPECT_EQ(At(3, 0), (c.alpha ? Rgb{0, 0, 0} : c.inside));
  }
  TestDoc beside = doc(0, 2, "pass", kW);  // a layer below it, in no artboard
  beside.layers.insert(beside.layers.begin(), Solid(9, 9, 9));
  EXPECT_EQ(Read(beside), PsdRead::kArtboard);
}

TEST_F(CompositorTest, FlatReadingWithoutAComposite) {
  TestLayer top = Solid(100, 100, 100);
  top.opacity = 128;
  TestDoc d = Document({Solid(200, 200, 200), top});
  d.omitComposite = true;
  std::vector<uint8_t> doc = BuildPsd(d);
  ASSERT_EQ(ReadCompositeImage(doc.data(), doc.size(), false, &target), PsdRead::kOk);
  EXPECT_EQ(At(3, 1), (Rgb{150, 150, 150}));
  // No layers and no composite: nothing to read.
  TestDoc empty;
  empty.rows = kH, empty.columns = kW, empty.omitComposite = true;
  doc = BuildPsd(empty);
  EXPECT_EQ(ReadCompositeImage(doc.data(), doc.size(), false, &target), PsdRead::kTruncated);
}

TEST_F(CompositorTest, GrayscaleLayersFillRedOnly) {
  TestDoc d = Document({});
  d.mode = 1, d.channels = 1;
  d.composite = {std::vector<uint8_t>(kW * kH, 1)};
  TestLayer bottom, top;
  bottom.bottom = top.bottom = kH, bottom.right = top.right = kW;
  bottom.channels = {Plane(0, 200, kW * kH)};
  top.channels = {Plane(-1, 51, kW * kH), Plane(0, 100, kW * kH)};
  d.layers = {bottom, top};
  EXPECT_EQ(ReadOne(d), (Rgb{180, 0, 0}));
}

// Peak memory of a read besides the raster does not grow with the height:
// it is a few rows per layer. Documents of 2048 columns and four PackBits
// layers, 256 and 2048 rows high, read through the file.
TEST_F(CompositorTest, PeakMemoryBesidesTheRasterIsRowsPerLayer) {
  testing::TempDir dir;
  uint64_t extra[2] = {};
  const uint32_t heights[2] = {256, 2048};
  for (int k = 0; k < 2; ++k) {
    TestDoc d;
    d.rows = heights[k], d.columns = 2048, d.layerSection = true;
    const size_t n = static_cast<size_t>(d.rows) * d.columns;
    d.composite = {std::vector<uint8_t>(n, 1), std::vector<uint8_t>(n, 2),
                   std::vector<uint8_t>(n, 3)};
    for (int l = 0; l < 4; ++l) {
      TestLayer layer;
      layer.bottom = static_cast<int32_t>(d.rows), layer.right = 2048;
      for (int16_t id : {-1, 0, 1, 2}) {
        TestChannel c;
        c.id = id, c.compression = 1;
        c.samples.resize(n);
        for (size_t i = 0; i < n; ++i) c.samples[i] = static_cast<uint8_t>((i / 7) * (id + 3) + l);
        layer.channels.push_back(std::move(c));
      }
      layer.opacity = static_cast<uint8_t>(255 - 40 * l);
      d.layers.push_back(std::move(layer));
    }
    const std::string path = dir.File("big.psd");
    testing::WriteFileBytes(path, BuildPsd(d));
    const uint64_t before = seams::BytesHeld();
    seams::ResetPeakBytes();
    ASSERT_EQ(target.LoadLayeredFromFile(path.c_str(), false), 0);
    const uint64_t raster = 4 * n;
    extra[k] = seams::PeakBytes() - before - raster;
    target.Release();
  }
  RecordProperty("extra_bytes_2048_rows", static_cast<int>(extra[1]));
  EXPECT_EQ(extra[0], extra[1]);
  // 15 streams (the bottom layer's transparency is not needed) with 32 KiB
  // windows, and rows of 2048 samples: about 0.5 MiB (measured 539860
  // bytes), against a document of over 100 MB.
  EXPECT_LT(extra[1], 1u << 20);
}

// A pattern overlay tiles the document's pattern from the layer's reference
// point (the canvas's corner without one): at 100 % pixel for pixel, below
// it from the half-size tile (2 x 2 means).
TEST_F(CompositorTest, PatternOverlayTilesTheDocumentsPattern) {
  // 2 x 4: red 0, 40, ... 255, green 255 - red, blue 7
  const std::vector<uint8_t> planes = {0,  40, 80, 120, 160, 200, 240, 255, 255, 215, 175, 135,
                                       95, 55, 15, 0,   7,   7,   7,   7,   7,   7,   7,   7};
  const struct {
    double scale;
    bool packed;
    int x, y;
    Rgb expected;
    double left = 0, top = 0;  // the reference point
  } cases[] = {
      {100, false, 1, 1, {200, 55, 7}}, {100, true, 3, 0, {120, 135, 7}},
      // x = 1 at (x, y) * 50 / 81: the means 100 and 173.75 mixed 50 / 81 of
      // the way, 145.5
      {81, true, 1, 0, {146, 109, 7}}, {81, false, 2, 1, {156, 99, 7}},
      {81, true, 3, 0, {111, 144, 7}},
      // The tile's pixel (0, 0) at (1, 1); its (3, 1) at (0, 0) from (-3, 5).
      {100, false, 1, 1, {0, 255, 7}, 1, 1}, {100, true, 0, 0, {255, 0, 7}, -3, 5},
  };
  for (const auto& c : cases) {
    TestLayer top = Solid(1, 2, 3);
    top.blocks = DescriptorBlock("lfx2", {PatternOverlay("P-1", c.scale)});
    if (c.left != 0 || c.top != 0) {
      const std::vector<uint8_t> point = ReferencePoint(c.left, c.top);
      top.blocks.insert(top.blocks.end(), point.begin(), point.end());
    }
    TestDoc d = Document({Solid(9, 9, 9), top});
    d.globalBlocks = PatternsBlock("P-1", 2, 4, planes, c.packed);
    EXPECT_EQ(ReadOne(d, c.x, c.y), c.expected) << c.scale << " at " << c.x << ", " << c.y;
  }
}

}  // namespace
}  // namespace kelvra
