// kelvra-host demo, end to end: every file of the table is there, whole, and
// the two normal-map conventions differ exactly in their green channel.
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/kelvra_host_run.h"
#include "tests/support/test_env.h"
#include "tools/kelvra-host/commands.h"
#include "tools/kelvra-host/image_io.h"
#include "tools/kelvra-host/map_files.h"

namespace kelvra::tool {
namespace {

using kelvra::testing::FileExists;
using kelvra::testing::ReadFileBytes;
using kelvra::testing::RunCommand;

using KelvraHostDemo = KelvraHostTest;

TEST_F(KelvraHostDemo, WritesEveryFileOfItsTable) {
  std::string folder = dir.File("out");
  HostRun r = Host({"demo", "-o", folder, "--size", "96"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(r.err.empty()) << r.err;
  const char* files[] = {
      "heights.png",        "texture.png",          "shaded.png",
      "normal-opengl.tif",  "normal-opengl.png",    "normal-directx.tif",
      "normal-directx.png", "displacement16.tif",   "displacement16.png",
      "displacement-float.tif", "displacement-float.png", "preview.psd",
      "preview.png",        "editor.psd"};
  for (const char* f : files) {
    EXPECT_TRUE(FileExists(folder + "/" + f)) << f;
    EXPECT_NE(r.out.find(std::string("\n") + f + " "), std::string::npos) << f << " in the table";
    EXPECT_FALSE(FileExists(folder + "/" + f + ".part")) << f;
  }
  for (const char* tif : {"normal-opengl.tif", "normal-directx.tif", "displacement16.tif",
                          "displacement-float.tif"}) {
    MapFileInfo info;
    std::string error;
    EXPECT_TRUE(InspectMapFile(folder + "/" + tif, &info, &error)) << error;
    EXPECT_EQ(info.width, 96);
  }
  // OpenGL's green is DirectX's inverted (code 80 = Y' xor 65535); red and
  // blue are the same.
  std::vector<uint8_t> gl = ReadFileBytes(folder + "/normal-opengl.tif");
  std::vector<uint8_t> dx = ReadFileBytes(folder + "/normal-directx.tif");
  ASSERT_EQ(gl.size(), dx.size());
  int slopes = 0;
  for (size_t i = 241; i + 2 < gl.size(); i += 3) {
    EXPECT_EQ(gl[i], dx[i]);
    EXPECT_EQ(gl[i + 1] + dx[i + 1], 255) << i;
    EXPECT_EQ(gl[i + 2], dx[i + 2]);
    slopes += gl[i + 1] != 128 && gl[i + 1] != 127;
  }
  EXPECT_GT(slopes, 96 * 96 / 10) << "the field has slopes to show";
  // The editor document: the texture under a layer whose composite is the
  // shaded image, as ImageMagick reads it.
  std::string diff;
  EXPECT_EQ(RunCommand("/usr/bin/convert '" + folder + "/editor.psd[0]' -alpha off " +
                       dir.File("composite.png") + " && /usr/bin/compare -metric AE " +
                       dir.File("composite.png") + " " + folder + "/shaded.png null:", &diff), 0)
      << diff;
  EXPECT_EQ(diff, "0");
}

TEST_F(KelvraHostDemo, TheInputIsTheSameEveryRun) {
  HostRun r = Host({"demo", "-o", dir.File("a"), "--size", "32"});
  ASSERT_EQ(r.status, 0) << r.err;
  Restart();
  r = Host({"demo", "-o", dir.File("b"), "--size", "32"});
  ASSERT_EQ(r.status, 0) << r.err;
  for (const char* f : {"heights.png", "shaded.png", "normal-opengl.tif", "preview.psd",
                        "editor.psd"})
    EXPECT_EQ(ReadFileBytes(dir.File("a/") + f), ReadFileBytes(dir.File("b/") + f)) << f;
}

}  // namespace
}  // namespace kelvra::tool
