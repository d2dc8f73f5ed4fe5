// Photoshop's blend modes beyond W3C's separable ones: the separable ones on
// every pair of levels and at their edges, the whole-pixel ones against W3C's
// definitions in doubles and on one grey channel, dissolve and fill.
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

// The separable modes on real numbers; vivid light rounds down, the others to
// the nearest (halves up). Values are fractions over at most 510: 1e-9 only
// absorbs the doubles' error.
int Expected(const std::string& k, double b, double s) {
  double v;
  if (k == "fsub") v = std::max(0.0, b - s);
  else if (k == "fdiv") v = b == 0 ? 0 : s == 0 ? 255 : std::min(255.0, 255 * b / s);
  else if (k == "hMix") v = b != 0 && b + s >= 255 ? 255 : 0;
  else if (k == "pLit") v = s <= 127 ? std::min(b, 2 * s) : std::max(b, 2 * s - 255);
  else if (k == "lLit") v = std::clamp(b + 2 * s - 256, 0.0, 255.0);
  else if (s == 0 || s == 255) v = s;  // vLit: the source's ends decide
  else if (s > 127) v = b == 0 ? 0 : std::min(255.0, 255 * b / (255 - (2 * s - 256)));
  else v = b == 255 ? 255 : std::max(0.0, 255 - 255 * (255 - b) / (2 * s));
  return static_cast<int>(std::floor(k == "vLit" ? v + 1e-9 : v + 0.5 + 1e-9));
}

// Every pair of levels, in rows of 256 sources starting off alignment (the
// 16-wide paths and their tails).
TEST(BlendModes, SeparableModesOnEveryPairOfLevels) {
  std::vector<uint8_t> b(263), s(263), out(256);
  for (const char* key : {"vLit", "lLit", "pLit", "hMix", "fsub", "fdiv"}) {
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

// key, cb, cs, result
TEST(BlendModes, SeparableEdgeValues) {
  const struct { const char* key; uint8_t cb, cs, out; } cases[] = {
      // vivid light: 128 is neutral; burn below, dodge above, both rounded down;
      // 64, 217: 211.95, Photoshop's picture
      {"vLit", 0, 0, 0}, {"vLit", 255, 0, 0}, {"vLit", 128, 128, 128}, {"vLit", 128, 127, 127},
      {"vLit", 254, 1, 127}, {"vLit", 127, 64, 0}, {"vLit", 0, 255, 255}, {"vLit", 1, 255, 255},
      {"vLit", 255, 1, 255}, {"vLit", 0, 254, 0}, {"hMix", 0, 255, 0}, {"hMix", 1, 254, 255},
      {"vLit", 1, 254, 85}, {"vLit", 64, 217, 211}, {"lLit", 0, 0, 0}, {"lLit", 0, 255, 254},
      {"lLit", 255, 0, 0}, {"lLit", 128, 128, 128}, {"lLit", 1, 127, 0}, {"lLit", 100, 200, 244},
      {"lLit", 255, 255, 255}, {"pLit", 255, 0, 0}, {"pLit", 0, 255, 255}, {"pLit", 200, 127, 200},
      {"pLit", 0, 128, 1}, {"pLit", 100, 128, 100}, {"pLit", 200, 65, 130}, {"hMix", 127, 127, 0},
      {"hMix", 127, 128, 255}, {"hMix", 128, 127, 255}, {"hMix", 0, 254, 0}, {"hMix", 255, 0, 255},
      {"hMix", 0, 0, 0}, {"fsub", 128, 127, 1}, {"fsub", 127, 128, 0}, {"fsub", 255, 0, 255},
      // divide: halves up; 0 / 0 is 0, x / 0 is 255
      {"fdiv", 0, 0, 0}, {"fdiv", 1, 0, 255}, {"fdiv", 127, 254, 128}, {"fdiv", 64, 128, 128},
      {"fdiv", 128, 128, 255}, {"fdiv", 1, 255, 1},
  };
  for (const auto& c : cases) {
    uint8_t o = 0;
    const uint8_t* bp[3] = {&c.cb};
    const uint8_t* sp[3] = {&c.cs};
    uint8_t* op[3] = {&o};
    Find(c.key)(bp, sp, op, 1, 1);
    EXPECT_EQ(o, c.out) << c.key << " " << +c.cb << " " << +c.cs;
  }
}

// ---- whole-pixel modes -------------------------------------------------------

using Px = std::array<int, 3>;

Px Pixel(const char* key, Px cb, Px cs) {
  uint8_t b[3] = {uint8_t(cb[0]), uint8_t(cb[1]), uint8_t(cb[2])};
  uint8_t s[3] = {uint8_t(cs[0]), uint8_t(cs[1]), uint8_t(cs[2])};
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

// Every pair of colours from the levels 0, 1, 127, 128, 254, 255 on each
// channel and 128 from a fixed sequence, to reach those between.
TEST(BlendModes, WholePixelModesAgainstW3CInDoubles) {
  const int levels[] = {0, 1, 127, 128, 254, 255};
  std::vector<Px> colours;
  for (int r : levels) for (int g : levels) for (int b : levels) colours.push_back({r, g, b});
  for (uint32_t i = 0, seed = 12345; i < 128; ++i) {
    seed = seed * 1103515245u + 12345u;
    colours.push_back({int(seed >> 24), int((seed >> 16) & 255), int((seed >> 8) & 255)});
  }
  for (const char* key : {"hue ", "sat ", "colr", "lum "}) {
    for (const Px& cb : colours) {
      for (const Px& cs : colours) {
        const Px got = Pixel(key, cb, cs);
        const V v = W3C(key, {cb[0] / 255.0, cb[1] / 255.0, cb[2] / 255.0},
                        {cs[0] / 255.0, cs[1] / 255.0, cs[2] / 255.0});
        // Rounded to the nearest; either way within 1e-7 of a half.
        for (int c = 0; c < 3; ++c) {
          ASSERT_NEAR(got[c], v[c] * 255, 0.5 + 1e-7) << key << ::testing::PrintToString(cb)
                                                      << ::testing::PrintToString(cs);
        }
      }
    }
  }
}

TEST(BlendModes, WholePixelAndDissolveWorkedValues) {
  // No saturation leaves brown's Lum, 124.5 exactly: halves round up.
  EXPECT_EQ(Pixel("sat ", {200, 100, 50}, {128, 128, 128}), (Px{125, 125, 125}));
  // Darker and lighter colour by Lum (25 against 28.05), not by the channel
  // sum (80 against 255); a tie (17.7 both) keeps the backdrop.
  EXPECT_EQ(Pixel("dkCl", {0, 0, 255}, {60, 10, 10}), (Px{60, 10, 10}));
  EXPECT_EQ(Pixel("lgCl", {0, 0, 255}, {60, 10, 10}), (Px{0, 0, 255}));
  EXPECT_EQ(Pixel("dkCl", {59, 0, 0}, {0, 30, 0}), (Px{59, 0, 0}));
  EXPECT_EQ(Pixel("lgCl", {59, 0, 0}, {0, 30, 0}), (Px{59, 0, 0}));
  // Dissolve is drawn as normal, and only where every alpha is 0 or 255.
  EXPECT_EQ(Pixel("diss", {1, 2, 3}, {40, 50, 60}), (Px{40, 50, 60}));
  const uint8_t hard[] = {0, 255, 255, 0}, soft[] = {0, 255, 254, 0};
  EXPECT_TRUE(HardAlphaOnly(hard, 4));
  EXPECT_FALSE(HardAlphaOnly(soft, 4));
}

// Grey has no hue or saturation: hue, saturation and colour keep cb,
// luminosity takes cs; darker and lighter colour are min and max. Every pair
// in one row of one channel, and each as a grey pixel of three.
TEST(BlendModes, OneGreyChannelIsAGreyPixel) {
  std::vector<uint8_t> b(65536), s(65536), o(65536);
  for (int i = 0; i < 65536; ++i) b[i] = uint8_t(i >> 8), s[i] = uint8_t(i);
  const uint8_t* bp[3] = {b.data()};
  const uint8_t* sp[3] = {s.data()};
  uint8_t* op[3] = {o.data()};
  for (const char* key : {"hue ", "sat ", "colr", "lum ", "dkCl", "lgCl"}) {
    Find(key)(bp, sp, op, 1, 65536);
    for (int i = 0; i < 65536; ++i) {
      const int want = !std::strcmp(key, "lum ")   ? s[i]
                       : !std::strcmp(key, "dkCl") ? std::min(b[i], s[i])
                       : !std::strcmp(key, "lgCl") ? std::max(b[i], s[i])
                                                   : b[i];
      ASSERT_EQ(o[i], want) << key << " " << +b[i] << " " << +s[i];
      ASSERT_EQ(Pixel(key, {b[i], b[i], b[i]}, {s[i], s[i], s[i]}), (Px{o[i], o[i], o[i]})) << key;
    }
  }
}

// Fill inside linear light's blend on an opaque backdrop: cb + f (U - cb) /
// 255, cut after the mix (the cut blend mixed by f would give 131, 160, 5, 37).
TEST(BlendModes, FillInsideLinearLight) {
  const UncutBlend uncut = FindFillInside(Find("lLit"));
  ASSERT_NE(uncut, nullptr);
  // cb, cs, fill, result
  const uint8_t cases[][4] = {{100, 255, 51, 151}, {200, 0, 51, 149}, {10, 90, 128, 0},
                              {37, 200, 0, 37}};
  for (const auto& c : cases) {
    uint8_t b = c[0];
    uint8_t* cb[3] = {&b};
    const uint8_t* cs[3] = {&c[1]};
    OverFillInside(cb, nullptr, cs, c[2], uncut, 1, 1);
    EXPECT_EQ(b, c[3]) << +c[0] << " " << +c[1] << " fill " << +c[2];
  }
  // Over a translucent level: Photoshop's picture of blue at opacity 60 %,
  // green in linear light at 40 % and red in linear light at fill 20 % over
  // transparency is (63, 77, 65) at alpha 206.
  uint8_t px[3] = {}, a = 0, scratch[3];
  uint8_t* const level[3] = {&px[0], &px[1], &px[2]};
  const uint8_t rgb[3][3] = {{0, 0, 255}, {0, 255, 0}, {255, 0, 0}}, opacity[2] = {153, 102};
  const uint8_t* layer[3][3];
  for (int l = 0; l < 3; ++l) for (int c = 0; c < 3; ++c) layer[l][c] = &rgb[l][c];
  OverTranslucent(level, &a, layer[0], &opacity[0], nullptr, 3, scratch, 1);
  OverTranslucent(level, &a, layer[1], &opacity[1], Find("lLit"), 3, scratch, 1);
  OverFillInside(level, &a, layer[2], 51, uncut, 3, 1);
  EXPECT_NEAR(px[0], 63, 1);
  EXPECT_NEAR(px[1], 77, 1);
  EXPECT_NEAR(px[2], 65, 1);
  EXPECT_EQ(a, 206);
}

class BlendDocuments : public testing::KelvraTest {};

// A 2 x 1 layer of one colour, its alpha in column 0 and clear in column 1.
testing::TestLayer Solid(Px v, uint8_t alpha = 255, const char* key = "norm") {
  testing::TestLayer l;
  l.bottom = 1, l.right = 2;
  std::memcpy(l.blendKey, key, 4);
  for (int16_t id : {-1, 0, 1, 2}) {
    const uint8_t level = uint8_t(id < 0 ? alpha : v[id]);
    l.channels.push_back({});
    l.channels.back().id = id, l.channels.back().compression = 0;
    l.channels.back().samples = {level, id < 0 ? uint8_t(0) : level};
  }
  return l;
}

std::vector<uint8_t> Doc(std::vector<testing::TestLayer> layers) {
  testing::TestDoc d;
  d.rows = 1, d.columns = 2, d.layerSection = true;
  d.composite = {{1, 1}, {2, 2}, {3, 3}};
  d.layers = std::move(layers);
  return testing::BuildPsd(d);
}

// Whole-pixel modes on an opaque level and inside an isolated group (a level
// with its own alpha): both give luminosity's (255, 74, 74).
TEST_F(BlendDocuments, WholePixelModesOnBothKindsOfLevel) {
  const testing::TestLayer lum = Solid({128, 128, 128}, 255, "lum "), red = Solid({255, 0, 0});
  for (const std::vector<uint8_t>& doc :
       {Doc({red, lum}), Doc({Solid({0, 0, 255}), testing::GroupDivider(), red, lum,
                              testing::GroupRecord("norm")})}) {
    ABitMap target;
    ASSERT_EQ(ReadLayeredImage(doc.data(), doc.size(), false, &target), PsdRead::kOk);
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
  const struct {
    const char* key;
    uint8_t alpha, opacity, fill;
    PsdRead result;
    bool unshaped = false;  // "transparency shapes layer" off
    int level0 = -1;        // column 0's level where read (column 1 is clear: 10)
  } cases[] = {
      {"diss", 255, 255, 255, kOk, false, 90}, {"diss", 255, 128, 255, kDis},
      {"diss", 254, 255, 255, kDis}, {"diss", 255, 255, 128, kDis},
      {"diss", 0, 128, 255, kOk, false, 10},  // nothing shows: alpha 0
      {"diff", 255, 255, 128, kNo}, {"lLit", 255, 128, 255, kOk}, {"mul ", 255, 255, 128, kOk},
      // linear light takes fill inside the blend where its coverage is whole
      // (or nothing, with transparency shaping the layer), at opacity 100 %:
      // 10 + 128 (-76) / 255, cut (alpha: 5)
      {"lLit", 255, 255, 128, kOk, false, 0}, {"lLit", 200, 255, 128, kNo},
      {"lLit", 255, 254, 128, kNo}, {"lLit", 255, 255, 128, kNo, true},
  };
  for (const auto& c : cases) {
    testing::TestLayer top = Solid({90, 90, 90}, c.alpha, c.key);
    top.opacity = c.opacity;
    if (c.fill != 255) top.blocks = testing::ByteBlock("iOpa", c.fill);
    if (c.unshaped) {
      const std::vector<uint8_t> tsly = testing::ByteBlock("tsly", 0);
      top.blocks.insert(top.blocks.end(), tsly.begin(), tsly.end());
    }
    const std::vector<uint8_t> doc = Doc({Solid({10, 10, 10}), top});
    ABitMap target;
    EXPECT_EQ(ReadLayeredImage(doc.data(), doc.size(), false, &target), c.result)
        << c.key << " alpha " << +c.alpha << " opacity " << +c.opacity << " fill " << +c.fill;
    if (c.level0 >= 0) {
      EXPECT_EQ(target.pixels[0], c.level0) << c.key << " fill " << +c.fill;
      EXPECT_EQ(target.pixels[4], 10) << c.key;
    }
    target.Release();
  }
}

}  // namespace
}  // namespace kelvra
