// kelvra-host preview, end to end: a height file in, the library's 128 x 128
// preview document out, checked sample by sample.
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "maps/preview.h"
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

using KelvraHostPreview = KelvraHostTest;

TEST_F(KelvraHostPreview, PreviewOfTheTile) {
  // 256 x 256, constant in 2 x 2 blocks: each tile sample is its block's
  // height (the box with its corner counted twice averages equal samples).
  std::vector<std::vector<uint16_t>> rows(256, std::vector<uint16_t>(256));
  for (int y = 0; y < 256; ++y)
    for (int x = 0; x < 256; ++x) rows[y][x] = static_cast<uint16_t>((x / 2) * 256 + (y / 2) * 2 + 300);
  WritePgm(dir.File("big.pgm"), rows);
  const std::string psd = dir.File("p.psd");
  HostRun r = Host({"preview", dir.File("big.pgm"), "-o", psd, "--simple", "--view", dir.File("p.png")});
  ASSERT_EQ(r.status, 0) << r.err;
  std::vector<uint8_t> doc = ReadFileBytes(psd);
  ASSERT_EQ(doc.size(), 40u + 3 * 128 * 128);
  EXPECT_EQ(std::string(doc.begin(), doc.begin() + 4), "8BPS");
  for (int j : {0, 5, 127})
    for (int i : {1, 64, 127}) {
      int height = i * 256 + j * 2 + 300;
      for (int plane = 0; plane < 3; ++plane)
        EXPECT_EQ(doc[40 + plane * 16384 + j * 128 + i], height >> 8) << i << "," << j;
    }
  EXPECT_NE(r.out.find("option code AAAEAAKAEAAAAA"), std::string::npos) << r.out;
  Raster view;
  std::string error;
  ASSERT_TRUE(ReadRaster(dir.File("p.png"), &view, &error)) << error;
  EXPECT_EQ(view.samples[3 * (5 * 128 + 64)], (64 * 256 + 5 * 2 + 300) >> 8);

  // The option preview of a normal map over a field rising downwards: the
  // slope shows in green, and flipping turns it the other way; red and blue
  // stay as they were.
  std::vector<std::vector<uint16_t>> ramp(256, std::vector<uint16_t>(256));
  for (int y = 0; y < 256; ++y)
    for (int x = 0; x < 256; ++x) ramp[y][x] = static_cast<uint16_t>(5000 + y * 200);
  WritePgm(dir.File("ramp.pgm"), ramp);
  r = Host({"preview", dir.File("ramp.pgm"), "-o", psd, "--normal", "--mode", "2"});
  ASSERT_EQ(r.status, 0) << r.err;
  std::vector<uint8_t> plain = ReadFileBytes(psd);
  r = Host({"preview", dir.File("ramp.pgm"), "-o", psd, "--normal", "--mode", "2", "--flip"});
  ASSERT_EQ(r.status, 0) << r.err;
  std::vector<uint8_t> flipped = ReadFileBytes(psd);
  const int mid = 40 + 64 * 128 + 64;
  EXPECT_EQ(plain[mid], 128);                      // red: no slope across
  EXPECT_EQ(flipped[mid], 128);
  int g = plain[mid + 16384], gf = flipped[mid + 16384];
  EXPECT_LT(g, 100);                               // each pixel higher than the row before
  EXPECT_GT(gf, 155);
  EXPECT_NEAR(g + gf, 255, 1);
  EXPECT_EQ(plain[mid + 2 * 16384], flipped[mid + 2 * 16384]);  // blue
}

TEST_F(KelvraHostPreview, AFailedPreviewSaveIsNotReportedAsDone) {
  WritePgm(dir.File("two.pgm"), {{16384, 49152}, {32768, 32768}});
  seams::SetWriteBudget(1000);
  HostRun r = Host({"preview", dir.File("two.pgm"), "-o", dir.File("p.psd")});
  seams::SetWriteBudget(-1);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("incomplete write"), std::string::npos) << r.err;
  EXPECT_FALSE(FileExists(dir.File("p.psd")));
  EXPECT_FALSE(FileExists(dir.File("p.psd.part")));
}

}  // namespace
}  // namespace kelvra::tool
