// Which way the normal-map presets point. A raised square is rendered with
// each preset; on its right edge red must be above 128 (+X to the right) and
// on its top edge green above 128 for normal-opengl (+Y up the image) and
// below 128 for normal-directx (+Y down). GEGL's normal-map filter, an
// independent generator (DirectX by default, OpenGL with flip-y), must give
// the same sign on every edge of the square.
#include <string>
#include <vector>

#include "tests/support/kelvra_host_run.h"
#include "tests/support/test_env.h"
#include "tools/kelvra-host/image_io.h"

namespace kelvra::tool {
namespace {

using kelvra::testing::RunCommand;

constexpr int kSide = 128, kLo = 32, kHi = 96;  // the square covers [32, 96)

// Where to look for each edge's slope: a band a few pixels either side of
// the step, away from the corners. Our renderer takes one-sided differences
// and GEGL central ones, so the slope lands on neighbouring rows; the band
// holds both.
struct Edge {
  const char* name;
  int channel;  // 0 red (X), 1 green (Y)
  int x0, x1, y0, y1;
};
const Edge kEdges[] = {
    {"top", 1, kLo + 8, kHi - 8, kLo - 3, kLo + 3},
    {"bottom", 1, kLo + 8, kHi - 8, kHi - 3, kHi + 3},
    {"left", 0, kLo - 3, kLo + 3, kLo + 8, kHi - 8},
    {"right", 0, kHi - 3, kHi + 3, kLo + 8, kHi - 8},
};

// Sum of (sample - 128) over the band: its sign says which way the edge's
// normals lean in that channel.
long Lean(const std::vector<uint32_t>& rgb, const Edge& e) {
  long sum = 0;
  for (int y = e.y0; y < e.y1; ++y)
    for (int x = e.x0; x < e.x1; ++x)
      sum += static_cast<long>(rgb[(static_cast<size_t>(y) * kSide + x) * 3 + e.channel]) - 128;
  return sum;
}

int Sign(long v) { return (v > 0) - (v < 0); }

class KelvraHostConvention : public KelvraHostTest {
 protected:
  void SetUp() override {
    KelvraHostTest::SetUp();
    Raster square;
    square.width = square.height = kSide;
    square.bits = 8;
    for (int y = 0; y < kSide; ++y)
      for (int x = 0; x < kSide; ++x)
        square.samples.push_back(x >= kLo && x < kHi && y >= kLo && y < kHi ? 255 : 0);
    std::string error;
    ASSERT_TRUE(WriteRaster(dir.File("square.png"), square, &error)) << error;
  }

  // The preset's map as interleaved 8-bit RGB samples.
  std::vector<uint32_t> Render(const std::string& preset) {
    const std::string out = dir.File(preset + ".tif");
    HostRun r = Host({"render", dir.File("square.png"), "-o", out, "--preset", preset,
                      "--mode", "2"});
    EXPECT_EQ(r.status, 0) << r.err;
    std::vector<uint32_t> rgb = Samples(out, 8);
    EXPECT_EQ(rgb.size(), static_cast<size_t>(kSide) * kSide * 3);
    return rgb;
  }

  // GEGL's map of the same square, alpha dropped.
  std::vector<uint32_t> Gegl(bool flipY) {
    const std::string out = dir.File(flipY ? "gegl-gl.png" : "gegl-dx.png");
    std::string log;
    EXPECT_EQ(RunCommand("gegl '" + dir.File("square.png") + "' -o '" + out +
                             "' -- gegl:normal-map" + (flipY ? " flip-y=true" : "") + " 2>&1",
                         &log),
              0)
        << log;
    Raster map;
    std::string error;
    EXPECT_TRUE(ReadRaster(out, &map, &error)) << error;
    std::vector<uint32_t> rgb;
    if (map.width != kSide || map.height != kSide || map.channels < 3) {
      ADD_FAILURE() << "GEGL wrote " << map.width << " x " << map.height << " with "
                    << map.channels << " channels";
      return rgb;
    }
    for (size_t i = 0; i < map.samples.size(); i += map.channels)
      for (int c = 0; c < 3; ++c)
        rgb.push_back(map.bits == 16 ? map.samples[i + c] >> 8 : map.samples[i + c]);
    return rgb;
  }

};

TEST_F(KelvraHostConvention, PresetsPointTheWayTheirNamesSay) {
  const std::vector<uint32_t> gl = Render("normal-opengl");
  const std::vector<uint32_t> dx = Render("normal-directx");
  const size_t whole = static_cast<size_t>(kSide) * kSide * 3;
  ASSERT_EQ(gl.size(), whole);
  ASSERT_EQ(dx.size(), whole);
  const Edge &top = kEdges[0], &bottom = kEdges[1], &left = kEdges[2], &right = kEdges[3];
  // Lit from the top right: the top edge looks up, the right edge right.
  EXPECT_GT(Lean(gl, top), 0) << "normal-opengl: green on the top edge";
  EXPECT_LT(Lean(gl, bottom), 0);
  EXPECT_GT(Lean(gl, right), 0) << "normal-opengl: red on the right edge";
  EXPECT_LT(Lean(gl, left), 0);
  // DirectX differs in green alone.
  EXPECT_LT(Lean(dx, top), 0) << "normal-directx: green on the top edge";
  EXPECT_GT(Lean(dx, bottom), 0);
  EXPECT_GT(Lean(dx, right), 0) << "normal-directx: red on the right edge";
  EXPECT_LT(Lean(dx, left), 0);
  // Flat ground and the square's flat top point straight out in both; the
  // inverted Y of a flat pixel is 32768 xor 65535, whose high byte is 127.
  for (size_t at : {size_t{5 * kSide + 5}, size_t{64 * kSide + 64}}) {
    EXPECT_EQ(gl[3 * at], 128u);
    EXPECT_EQ(gl[3 * at + 1], 127u);
    EXPECT_EQ(dx[3 * at], 128u);
    EXPECT_EQ(dx[3 * at + 1], 128u);
    EXPECT_EQ(gl[3 * at + 2], 255u);
    EXPECT_EQ(dx[3 * at + 2], 255u);
  }
}

TEST_F(KelvraHostConvention, EveryEdgeLeansAsGeglDoes) {
  struct Pair { const char* preset; bool flipY; };
  for (Pair p : {Pair{"normal-opengl", true}, Pair{"normal-directx", false}}) {
    const std::vector<uint32_t> ours = Render(p.preset);
    const std::vector<uint32_t> gegl = Gegl(p.flipY);
    const size_t whole = static_cast<size_t>(kSide) * kSide * 3;
    ASSERT_EQ(ours.size(), whole) << p.preset;
    ASSERT_EQ(gegl.size(), whole) << p.preset;
    for (const Edge& e : kEdges) {
      const long a = Lean(ours, e), b = Lean(gegl, e);
      EXPECT_NE(Sign(b), 0) << "GEGL shows no slope on the " << e.name << " edge";
      EXPECT_EQ(Sign(a), Sign(b)) << p.preset << ", " << e.name << " edge: ours " << a
                                  << ", GEGL " << b;
    }
  }
}

}  // namespace
}  // namespace kelvra::tool
