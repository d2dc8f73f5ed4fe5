// Photoshop's blend modes beyond W3C's separable ones: each against its real
// formula (psd_blend.h) on every pair of levels, worked edge values a table a
// family, the whole-pixel modes against W3C's definitions in doubles and on
// one grey channel, and dissolve and fill through the reader.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "bitmap/abitmap.h"
#include "bitmap/psd_blend.h"
#include "bitmap/psd_reader.h"
#include "tests/support/psd_build.h"
#include "tests/support/test_env.h"

namespace kelvra {
namespace {

BlendRow Find(const char* key) { return FindBlend(reinterpret_cast<const uint8_t*>(key)); }

// The separable formulas in levels as real numbers, from the header's table.
double Real(const std::string& k, double b, double s) {
  if (k == "fsub") return std::max(0.0, b - s);
  if (k == "fdiv") return b == 0 ? 0 : s == 0 ? 255 : std::min(255.0, 255 * b / s);
  if (k == "hMix") return b + s >= 255 ? 255 : 0;
  if (k == "pLit") return s <= 127 ? std::min(b, 2 * s) : std::max(b, 2 * s - 255);
  if (k == "lLit") return std::clamp(b + 2 * s - 256, 0.0, 255.0);
  if (s <= 127) return b == 255 ? 255 : s == 0 ? 0 : std::max(0.0, 255 - 255 * (255 - b) / (2 * s));
  return b == 0 ? 0 : std::min(255.0, 255 * b / (255 - (2 * s - 256)));  // vLit
}
// Vivid light rounds down, the others to the nearest (halves up). Values are
// fractions over at most 510: 1e-9 only absorbs the doubles' error.
int Expected(const std::string& k, int b, int s) {
  const double v = Real(k, b, s);
  return static_cast<int>(std::floor(k == "vLit" ? v + 1e-9 : v + 0.5 + 1e-9));
}

const char* const kSeparable[] = {"vLit", "lLit", "pLit", "hMix", "fsub", "fdiv"};

// Every pair of levels, in rows of 256 sources starting off alignment (the
// 16-wide paths and their tails).
TEST(BlendModes, SeparableModesOnEveryPairOfLevels) {
  std::vector<uint8_t> b(263), s(263), out(256);
  for (const char* key : kSeparable) {
    for (int cb = 0; cb < 256; ++cb) {
      for (int i = 0; i < 256; ++i) b[cb % 7 + i] = uint8_t(cb), s[cb % 7 + i] = uint8_t(i);
      const uint8_t* bp[3] = {&b[cb % 7]};
      const uint8_t* sp[3] = {&s[cb % 7]};
      uint8_t* op[3] = {out.data()};
      Find(key)(bp, sp, op, 1, 256);
      for (int cs = 0; cs < 256; ++cs) {
        ASSERT_EQ(out[cs], Expected(key, cb, cs)) << key << " cb " << cb << " cs " << cs;
      }
    }
  }
}

TEST(BlendModes, SeparableEdgeValues) {
  struct Case {
    const char* key;
    int cb, cs, out;
  } const cases[] = {
      // vivid light: 128 is neutral; burn below, dodge above, both rounded down
      {"vLit", 0, 0, 0}, {"vLit", 255, 0, 255}, {"vLit", 128, 128, 128}, {"vLit", 128, 127, 127},
      {"vLit", 254, 1, 127},  // 255 - 127.5
      {"vLit", 127, 64, 0}, {"vLit", 0, 255, 0}, {"vLit", 1, 255, 255}, {"vLit", 1, 254, 85},
      {"vLit", 64, 217, 211},  // 211.95, Photoshop's picture
      // linear light: cb + 2 cs - 256
      {"lLit", 0, 0, 0}, {"lLit", 0, 255, 254}, {"lLit", 255, 0, 0}, {"lLit", 128, 128, 128},
      {"lLit", 1, 127, 0}, {"lLit", 100, 200, 244}, {"lLit", 255, 255, 255},
      // pin light
      {"pLit", 255, 0, 0}, {"pLit", 0, 255, 255}, {"pLit", 200, 127, 200}, {"pLit", 0, 128, 1},
      {"pLit", 100, 128, 100}, {"pLit", 200, 65, 130},
      // hard mix: the sum against 255
      {"hMix", 127, 127, 0}, {"hMix", 127, 128, 255}, {"hMix", 128, 127, 255}, {"hMix", 0, 254, 0},
      {"hMix", 255, 0, 255}, {"hMix", 0, 0, 0},
      // subtract, divide (halves up; 0 / 0 is 0, x / 0 is 255)
      {"fsub", 128, 127, 1}, {"fsub", 127, 128, 0}, {"fsub", 255, 0, 255}, {"fdiv", 0, 0, 0},
      {"fdiv", 1, 0, 255}, {"fdiv", 127, 254, 128}, {"fdiv", 64, 128, 128}, {"fdiv", 128, 128, 255},
      {"fdiv", 1, 255, 1},
  };
  for (const Case& c : cases) {
    uint8_t b = uint8_t(c.cb), s = uint8_t(c.cs), o = 0;
    const uint8_t* bp[3] = {&b};
    const uint8_t* sp[3] = {&s};
    uint8_t* op[3] = {&o};
    Find(c.key)(bp, sp, op, 1, 1);
    EXPECT_EQ(o, c.out) << c.key << " " << c.cb << " " << c.cs;
  }
}

// ---- whole-pixel modes -------------------------------------------------------

struct Px {
  int r, g, b;
  bool operator==(const Px& o) const { return r == o.r && g == o.g && b == o.b; }
};
std::ostream& operator<<(std::ostream& os, const Px& p) {
  return os << "(" << p.r << "," << p.g << "," << p.b << ")";
}

Px Pixel(const char* key, Px cb, Px cs) {
  uint8_t b[3] = {uint8_t(cb.r), uint8_t(cb.g), uint8_t(cb.b)};
  uint8_t s[3] = {uint8_t(cs.r), uint8_t(cs.g), uint8_t(cs.b)};
  const uint8_t* bp[3] = {&b[0], &b[1], &b[2]};
  const uint8_t* sp[3] = {&s[0], &s[1], &s[2]};
  uint8_t* op[3] = {&b[0], &b[1], &b[2]};  // in place over the backdrop
  Find(key)(bp, sp, op, 3, 1);
  return {b[0], b[1], b[2]};
}

// W3C #blendingnonseparable as written, on [0, 1].
using V = std::array<double, 3>;
double Lum(const V& c) { return 0.3 * c[0] + 0.59 * c[1] + 0.11 * c[2]; }
V SetLum(V c, double l) {
  const double d = l - Lum(c);
  for (double& v : c) v += d;
  const double lum = Lum(c), n = std::min({c[0], c[1], c[2]}), x = std::max({c[0], c[1], c[2]});
  if (n < 0) for (double& v : c) v = lum + (v - lum) * lum / (lum - n);
  if (x > 1) for (double& v : c) v = lum + (v - lum) * (1 - lum) / (x - lum);
  return c;
}
double Sat(const V& c) { return std::max({c[0], c[1], c[2]}) - std::min({c[0], c[1], c[2]}); }
V SetSat(const V& c, double s) {
  int i[3] = {0, 1, 2};
  std::sort(i, i + 3, [&](int a, int b) { return c[a] < c[b]; });
  V r{0, 0, 0};
  if (c[i[2]] > c[i[0]]) r[i[1]] = (c[i[1]] - c[i[0]]) * s / (c[i[2]] - c[i[0]]), r[i[2]] = s;
  return r;
}
V W3C(const std::string& k, const V& b, const V& s) {
  if (k == "hue ") return SetLum(SetSat(s, Sat(b)), Lum(b));
  if (k == "sat ") return SetLum(SetSat(b, Sat(s)), Lum(b));
  if (k == "colr") return SetLum(s, Lum(b));
  return SetLum(b, Lum(s));
}

TEST(BlendModes, WholePixelModesAgainstW3CInDoubles) {
  const int levels[] = {0, 1, 127, 128, 254, 255};
  std::vector<Px> colours;
  for (int r : levels) for (int g : levels) for (int b : levels) colours.push_back({r, g, b});
  // and 128 more from a fixed sequence, to reach the levels between
  uint32_t seed = 12345;
  for (int i = 0; i < 128; ++i) {
    seed = seed * 1103515245u + 12345u;
    colours.push_back({int(seed >> 24), int((seed >> 16) & 255), int((seed >> 8) & 255)});
  }
  // One row a backdrop colour: the backdrop repeated, every colour as source.
  const size_t n = colours.size();
  std::vector<uint8_t> planes(6 * n);
  for (size_t i = 0; i < n; ++i) {
    planes[3 * n + i] = uint8_t(colours[i].r);
    planes[4 * n + i] = uint8_t(colours[i].g);
    planes[5 * n + i] = uint8_t(colours[i].b);
  }
  std::vector<uint8_t> out(3 * n);
  const uint8_t* bp[3] = {&planes[0], &planes[n], &planes[2 * n]};
  const uint8_t* sp[3] = {&planes[3 * n], &planes[4 * n], &planes[5 * n]};
  uint8_t* op[3] = {&out[0], &out[n], &out[2 * n]};
  for (const char* key : {"hue ", "sat ", "colr", "lum "}) {
    for (const Px& cb : colours) {
      std::fill(&planes[0], &planes[n], uint8_t(cb.r));
      std::fill(&planes[n], &planes[2 * n], uint8_t(cb.g));
      std::fill(&planes[2 * n], &planes[3 * n], uint8_t(cb.b));
      Find(key)(bp, sp, op, 3, uint32_t(n));
      const V b{cb.r / 255.0, cb.g / 255.0, cb.b / 255.0};
      for (size_t i = 0; i < n; ++i) {
        const Px& cs = colours[i];
        const V v = W3C(key, b, {cs.r / 255.0, cs.g / 255.0, cs.b / 255.0});
        for (int c = 0; c < 3; ++c) {
          // Exact but for a value within 1e-7 of a half, where both do.
          const double x = v[c] * 255;
          const int below = static_cast<int>(std::floor(x)), got = op[c][i];
          const bool tie = std::fabs(x - below - 0.5) < 1e-7;
          ASSERT_TRUE(got == static_cast<int>(std::floor(x + 0.5)) ||
                      (tie && (got == below || got == below + 1)))
              << key << " cb " << cb << " cs " << cs << " exact " << x << " got " << got;
        }
      }
    }
  }
}

TEST(BlendModes, WholePixelWorkedValues) {
  const Px grey{128, 128, 128}, brown{200, 100, 50};
  // No saturation leaves brown's Lum, 124.5 exactly: halves round up.
  EXPECT_EQ(Pixel("sat ", brown, grey), (Px{125, 125, 125}));
  // Darker and lighter colour by Lum (25 against 28.05), not by the channel
  // sum (80 against 255); a tie (17.7 both) keeps the backdrop.
  EXPECT_EQ(Pixel("dkCl", Px{0, 0, 255}, Px{60, 10, 10}), (Px{60, 10, 10}));
  EXPECT_EQ(Pixel("lgCl", Px{0, 0, 255}, Px{60, 10, 10}), (Px{0, 0, 255}));
  EXPECT_EQ(Pixel("dkCl", Px{59, 0, 0}, Px{0, 30, 0}), (Px{59, 0, 0}));
  EXPECT_EQ(Pixel("lgCl", Px{59, 0, 0}, Px{0, 30, 0}), (Px{59, 0, 0}));
}

TEST(BlendModes, OneGreyChannelIsAGreyPixel) {
  // Grey has no hue or saturation: hue, saturation and colour keep cb,
  // luminosity takes cs; darker and lighter colour are min and max.
  struct Mode {
    const char* key;
    int (*want)(int, int);
  } const modes[] = {{"hue ", [](int b, int) { return b; }}, {"sat ", [](int b, int) { return b; }},
                     {"colr", [](int b, int) { return b; }}, {"lum ", [](int, int s) { return s; }},
                     {"dkCl", [](int b, int s) { return std::min(b, s); }},
                     {"lgCl", [](int b, int s) { return std::max(b, s); }}};
  for (const Mode& m : modes) {
    for (int i = 0; i < 65536; ++i) {
      uint8_t b = uint8_t(i >> 8), s = uint8_t(i), o = 0;
      const uint8_t* bp[3] = {&b};
      const uint8_t* sp[3] = {&s};
      uint8_t* op[3] = {&o};
      Find(m.key)(bp, sp, op, 1, 1);
      ASSERT_EQ(o, m.want(b, s)) << m.key << " " << +b << " " << +s;
      ASSERT_EQ(Pixel(m.key, Px{b, b, b}, Px{s, s, s}), (Px{o, o, o})) << m.key;
    }
  }
}

// ---- dissolve and fill -----------------------------------------------------------

TEST(BlendModes, DissolveDrawsAsNormalWhereAlphaIsWhole) {
  EXPECT_EQ(Pixel("diss", Px{1, 2, 3}, Px{40, 50, 60}), (Px{40, 50, 60}));
  const uint8_t hard[] = {0, 255, 255, 0}, soft[] = {0, 255, 254, 0};
  EXPECT_TRUE(HardAlphaOnly(hard, 4));
  EXPECT_FALSE(HardAlphaOnly(soft, 4));
}

// Fill inside linear light's blend: worked values on an opaque backdrop
// (cb + f (U - cb) / 255, cut after the mix; the cut blend mixed by f is in
// the comment), and Photoshop's own picture of a blue layer at opacity 60 %,
// a green one in linear light at 40 % and a red one in linear light at fill
// 20 % over transparency: (63, 77, 65) at alpha 206.
TEST(BlendModes, FillInsideLinearLight) {
  const UncutBlend uncut = FindFillInside(Find("lLit"));
  ASSERT_NE(uncut, nullptr);
  // cb, cs, fill, result (the cut blend mixed by fill: 131, 160, 5, 37)
  const uint8_t cases[][4] = {{100, 255, 51, 151}, {200, 0, 51, 149}, {10, 90, 128, 0},
                              {37, 200, 0, 37}};
  for (const auto& c : cases) {
    uint8_t b = c[0];
    uint8_t* cb[3] = {&b};
    const uint8_t* cs[3] = {&c[1]};
    OverFillInside(cb, nullptr, cs, c[2], uncut, 1, 1);
    EXPECT_EQ(b, c[3]) << +c[0] << " " << +c[1] << " fill " << +c[2];
  }
  uint8_t px[3] = {}, a = 0, scratch[3];
  uint8_t* const level[3] = {&px[0], &px[1], &px[2]};
  const uint8_t rgb[3][3] = {{0, 0, 255}, {0, 255, 0}, {255, 0, 0}}, opacity[2] = {153, 102};
  const uint8_t* const layer[3][3] = {{&rgb[0][0], &rgb[0][1], &rgb[0][2]},
                                      {&rgb[1][0], &rgb[1][1], &rgb[1][2]},
                                      {&rgb[2][0], &rgb[2][1], &rgb[2][2]}};
  OverTranslucent(level, &a, layer[0], &opacity[0], nullptr, 3, scratch, 1);
  OverTranslucent(level, &a, layer[1], &opacity[1], Find("lLit"), 3, scratch, 1);
  OverFillInside(level, &a, layer[2], 51, uncut, 3, 1);
  EXPECT_NEAR(px[0], 63, 1);
  EXPECT_NEAR(px[1], 77, 1);
  EXPECT_NEAR(px[2], 65, 1);
  EXPECT_EQ(a, 206);
}

class BlendDocuments : public testing::KelvraTest {};

using testing::TestChannel;
using testing::TestLayer;

// A 2 x 1 layer of one colour, its alpha in column 0 and clear in column 1.
TestLayer Solid(Px v, uint8_t alpha = 255) {
  TestLayer l;
  l.bottom = 1, l.right = 2;
  for (int16_t id : {-1, 0, 1, 2}) {
    const uint8_t level = static_cast<uint8_t>(id == 0 ? v.r : id == 1 ? v.g : v.b);
    TestChannel c;
    c.id = id, c.compression = 0;
    c.samples = {id == -1 ? alpha : level, id == -1 ? uint8_t(0) : level};
    l.channels.push_back(c);
  }
  return l;
}

testing::TestDoc Doc(std::vector<TestLayer> layers) {
  testing::TestDoc d;
  d.rows = 1, d.columns = 2, d.layerSection = true;
  d.composite = {{1, 1}, {2, 2}, {3, 3}};
  d.layers = std::move(layers);
  return d;
}

// Whole-pixel modes on an opaque level and inside an isolated group (a level
// with its own alpha): both give luminosity's (255, 74, 74).
TEST_F(BlendDocuments, WholePixelModesOnBothKindsOfLevel) {
  TestLayer lum = Solid({128, 128, 128});
  std::memcpy(lum.blendKey, "lum ", 4);
  const std::vector<uint8_t> flat = testing::BuildPsd(Doc({Solid({255, 0, 0}), lum}));
  const std::vector<uint8_t> grouped = testing::BuildPsd(Doc({Solid({0, 0, 255}),
      testing::GroupDivider(), Solid({255, 0, 0}), lum, testing::GroupRecord("norm")}));
  for (const std::vector<uint8_t>* doc : {&flat, &grouped}) {
    ABitMap target;
    ASSERT_EQ(ReadLayeredImage(doc->data(), doc->size(), false, &target), PsdRead::kOk);
    EXPECT_EQ((Px{target.pixels[2], target.pixels[1], target.pixels[0]}), (Px{255, 74, 74}));
    target.Release();
  }
}

// Dissolve equals normal only where the final alpha (transparency, fill,
// opacity) is 0 or 255; the eight modes that take fill apart from alpha are
// refused below fill 255, the others take it as alpha.
TEST_F(BlendDocuments, RefusedWhereTheFormulaIsNotWhatPhotoshopShows) {
  constexpr PsdRead kOk = PsdRead::kOk, kNo = PsdRead::kUnknownBlendMode,
                    kDis = PsdRead::kPartialDissolve;
  struct Case {
    const char* key;
    uint8_t alpha, opacity, fill;
    PsdRead result;
    bool unshaped = false;  // "transparency shapes layer" off
  } const cases[] = {
      {"diss", 255, 255, 255, kOk}, {"diss", 255, 128, 255, kDis}, {"diss", 200, 255, 255, kDis},
      {"diss", 255, 255, 128, kDis}, {"diss", 0, 128, 255, kOk},  // nothing shows: alpha 0
      {"diff", 255, 255, 128, kNo}, {"lLit", 255, 128, 255, kOk}, {"mul ", 255, 255, 128, kOk},
      // linear light takes fill inside the blend where its coverage is whole
      // (or nothing, with transparency shaping the layer), at opacity 100 %
      {"lLit", 255, 255, 128, kOk}, {"lLit", 200, 255, 128, kNo}, {"lLit", 255, 254, 128, kNo},
      {"lLit", 255, 255, 128, kNo, true},
  };
  for (const Case& c : cases) {
    TestLayer top = Solid({90, 90, 90}, c.alpha);
    std::memcpy(top.blendKey, c.key, 4);
    top.opacity = c.opacity;
    if (c.fill != 255) top.blocks = testing::ByteBlock("iOpa", c.fill);
    if (c.unshaped) {
      const std::vector<uint8_t> tsly = testing::ByteBlock("tsly", 0);
      top.blocks.insert(top.blocks.end(), tsly.begin(), tsly.end());
    }
    const std::vector<uint8_t> doc = testing::BuildPsd(Doc({Solid({10, 10, 10}), top}));
    ABitMap target;
    EXPECT_EQ(ReadLayeredImage(doc.data(), doc.size(), false, &target), c.result)
        << c.key << " alpha " << +c.alpha << " opacity " << +c.opacity << " fill " << +c.fill;
    if (c.result == kOk && std::strcmp(c.key, "diss") == 0) {
      EXPECT_EQ(target.pixels[0], c.alpha == 255 ? 90 : 10);
      EXPECT_EQ(target.pixels[4], 10);  // column 1 is clear
    }
    if (c.result == kOk && std::strcmp(c.key, "lLit") == 0 && c.fill != 255) {
      EXPECT_EQ(target.pixels[0], 0);   // 10 + 128 (-76) / 255, cut (alpha: 5)
      EXPECT_EQ(target.pixels[4], 10);  // column 1 is clear
    }
    target.Release();
  }
}

}  // namespace
}  // namespace kelvra
