// kelvra-host render and preview, end to end: height files in, the library's
// documents out, every value checked against worked examples.
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "services/test_seams.h"
#include "tests/support/kelvra_host_run.h"
#include "tests/support/test_env.h"
#include "tools/kelvra-host/commands.h"
#include "tools/kelvra-host/image_io.h"

namespace kelvra::tool {
namespace {

using kelvra::testing::FileExists;
using kelvra::testing::ReadFileBytes;
using kelvra::testing::RunCommand;
using kelvra::testing::WriteFileBytes;

class KelvraHostRender : public KelvraHostTest {
 protected:
  void SetUp() override {
    KelvraHostTest::SetUp();
    // The worked 2 x 2 field: rows 16384, 49152 and 32768, 32768.
    WritePgm(dir.File("two.pgm"), {{16384, 49152}, {32768, 32768}});
    // The worked 3 x 3 field whose rows all read 30000, 31000, 32000.
    WritePgm(dir.File("three.pgm"), {{30000, 31000, 32000}, {30000, 31000, 32000},
                                     {30000, 31000, 32000}});
  }
  HostRun Render(std::vector<std::string> args) {
    args.insert(args.begin(), "render");
    return Host(args);
  }
};

TEST_F(KelvraHostRender, OptionsReachTheRendererAsWorkedExamplesSay) {
  const std::string two = dir.File("two.pgm"), out = dir.File("m.tif");
  struct Case { std::vector<std::string> options; std::vector<uint32_t> expected; };
  const Case cases[] = {
      {{"--preset", "displacement16"}, {16384, 49152, 32768, 32768}},
      {{"--bits", "16", "--strength", "4"}, {0, 65535, 32768, 32768}},
      {{"--bits", "16", "--mode", "2"}, {0, 65535, 32768, 32768}},
      // mode 0 ignores the scale; mode 1 applies it
      {{"--bits", "16", "--scale", "5"}, {16384, 49152, 32768, 32768}},
      {{"--bits", "16", "--mode", "1", "--scale", "2"}, {0, 65535, 32768, 32768}},
      {{"--bits", "16", "--flip"}, {32768, 32768, 16384, 49152}},
      {{"--bits", "8"}, {64, 192, 128, 128}},
      {{"--code", "zzzFAAKzEAAAAA"}, {16384, 49152, 32768, 32768}},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = {two, "-o", out};
    args.insert(args.end(), c.options.begin(), c.options.end());
    HostRun r = Render(args);
    ASSERT_EQ(r.status, 0) << r.err;
    bool eight = std::find(c.options.begin(), c.options.end(), "8") != c.options.end();
    EXPECT_EQ(Samples(out, eight ? 8 : 16), c.expected) << c.options[0] << " " << r.out;
  }
  // Float samples are not clamped: mode 1, scale 2 gives 0, 1, 0.5, 0.5.
  HostRun r = Render({two, "-o", out, "--preset", "displacement-float", "--mode", "1", "--scale", "2"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(Floats(out), (std::vector<float>{0.0f, 1.0f, 0.5f, 0.5f}));
  EXPECT_NE(r.out.find("option code AAAJBAKAEAAAAA, scale 2"), std::string::npos) << r.out;
}

TEST_F(KelvraHostRender, NormalMapsMatchTheWorkedField) {
  const std::string three = dir.File("three.pgm"), out = dir.File("n.tif");
  HostRun r = Render({three, "-o", out, "--normal", "--mode", "2"});
  ASSERT_EQ(r.status, 0) << r.err;
  std::vector<uint32_t> px = Samples(out, 8);
  ASSERT_EQ(px.size(), 27u);
  for (int i = 0; i < 9; ++i) {
    bool last = i % 3 == 2;
    EXPECT_EQ(px[3 * i + 0], last ? 128u : 37u) << i;
    EXPECT_EQ(px[3 * i + 1], 128u) << i;
    EXPECT_EQ(px[3 * i + 2], last ? 255u : 181u) << i;
  }
  EXPECT_NE(r.out.find("3 x 3, 8-bit RGB normal map (codes 50,70,90), DirectX convention (+Y down), mode 2"), std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("option code AAADCAKAFAHAJA"), std::string::npos) << r.out;
  r = Render({three, "-o", out, "--normal", "--bits", "16", "--mode", "1", "--scale", "1"});
  ASSERT_EQ(r.status, 0) << r.err;
  px = Samples(out, 16);
  EXPECT_EQ(std::vector<uint32_t>(px.begin(), px.begin() + 9),
            (std::vector<uint32_t>{27825, 32768, 64786, 27825, 32768, 64786, 32768, 32768, 65535}));
  // The OpenGL convention inverts green through code 80: Y' xor 65535.
  r = Render({three, "-o", out, "--preset", "normal-opengl", "--bits", "16", "--mode", "1"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(Samples(out, 16)[1], 32768u ^ 65535u);
  EXPECT_NE(r.out.find("(codes 50,80,90), OpenGL convention (+Y up)"), std::string::npos) << r.out;
}

TEST_F(KelvraHostRender, RawHeightFilesRenderAsTheSameFieldInPgm) {
  // The worked 2 x 2 field as raw little-endian 16-bit samples.
  const std::vector<uint8_t> raw = {0x00, 0x40, 0x00, 0xC0, 0x00, 0x80, 0x00, 0x80};
  WriteFileBytes(dir.File("two.r16"), raw);
  WriteFileBytes(dir.File("two.bin"), raw);
  ASSERT_EQ(Render({dir.File("two.pgm"), "-o", dir.File("pgm.tif")}).status, 0);
  HostRun r = Render({dir.File("two.r16"), "-o", dir.File("r16.tif")});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find(": 2 x 2,"), std::string::npos) << r.out;
  r = Render({dir.File("two.bin"), "-o", dir.File("bin.tif"), "--raw", "2x2"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(ReadFileBytes(dir.File("r16.tif")), ReadFileBytes(dir.File("pgm.tif")));
  EXPECT_EQ(ReadFileBytes(dir.File("bin.tif")), ReadFileBytes(dir.File("pgm.tif")));
  r = Render({dir.File("two.bin"), "-o", dir.File("bad.tif"), "--raw", "4x1x"});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("--raw wants WIDTHxHEIGHT"), std::string::npos) << r.err;
  r = Render({dir.File("two.bin"), "-o", dir.File("bad.tif"), "--raw", "3x1"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("raw 16-bit samples take 6"), std::string::npos) << r.err;
  EXPECT_FALSE(FileExists(dir.File("bad.tif")));
}

TEST_F(KelvraHostRender, TheMapObjectPathUsesItsOwnScale) {
  const std::string two = dir.File("two.pgm");
  // Float formats take the map object's scale, which carries --scale.
  ASSERT_EQ(Render({two, "-o", dir.File("a.tif"), "--preset", "displacement-float", "--mode", "1",
                    "--scale", "2", "--via-map"}).status, 0);
  EXPECT_EQ(Floats(dir.File("a.tif")), (std::vector<float>{0.0f, 1.0f, 0.5f, 0.5f}));
  // 8- and 16-bit formats render with scale 1 through the map object.
  HostRun r = Render({two, "-o", dir.File("b.tif"), "--bits", "16", "--mode", "1", "--scale", "2",
                      "--via-map"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(Samples(dir.File("b.tif"), 16), (std::vector<uint32_t>{16384, 49152, 32768, 32768}));
  EXPECT_NE(r.out.find("through the map object"), std::string::npos);
}

TEST_F(KelvraHostRender, AFailedWriteIsReportedAndLeavesNoFile) {
  const std::string two = dir.File("two.pgm"), out = dir.File("m.tif");
  ASSERT_EQ(Render({two, "-o", out}).status, 0);
  std::vector<uint8_t> good = ReadFileBytes(out);
  seams::SetWriteBudget(100);  // the disk fills up inside the header
  HostRun r = Render({two, "-o", out, "--normal"});
  seams::SetWriteBudget(-1);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("could not write"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("Incomplete file write."), std::string::npos) << r.err;
  EXPECT_TRUE(r.out.empty()) << r.out;
  EXPECT_EQ(ReadFileBytes(out), good) << "the earlier map stays as it was";
  EXPECT_FALSE(FileExists(out + ".part"));
  // A folder that does not exist: the library cannot create the file.
  r = Render({two, "-o", dir.File("none/m.tif")});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("could not write"), std::string::npos) << r.err;
}

TEST_F(KelvraHostRender, PicturesAndPngInputs) {
  // A 16-bit PNG in, a picture out: the picture is the map's high bytes.
  Raster field;
  field.width = 2;
  field.height = 2;
  field.bits = 16;
  field.samples = {16384, 49152, 32768, 32768};
  std::string error;
  ASSERT_TRUE(WriteRaster(dir.File("two.png"), field, &error)) << error;
  HostRun r = Render({dir.File("two.png"), "-o", dir.File("m.tif"), "--view", dir.File("m.png")});
  ASSERT_EQ(r.status, 0) << r.err;
  Raster view;
  ASSERT_TRUE(ReadRaster(dir.File("m.png"), &view, &error)) << error;
  EXPECT_EQ(view.bits, 8);
  EXPECT_EQ(view.samples, (std::vector<uint16_t>{64, 191, 128, 128}));
  // libtiff's own tool agrees with the file.
  std::string out;
  ASSERT_EQ(RunCommand("tiffinfo " + dir.File("m.tif"), &out), 0) << out;
  EXPECT_NE(out.find("Image Width: 2 Image Length: 2"), std::string::npos) << out;
  EXPECT_NE(out.find("Bits/Sample: 16"), std::string::npos) << out;
}

}  // namespace
}  // namespace kelvra::tool
