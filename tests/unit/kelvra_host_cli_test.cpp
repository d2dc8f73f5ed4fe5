// kelvra-host's manners: help for every command, and a single line naming
// the problem, with a non-zero exit and no output, for every bad input.
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/kelvra_host_run.h"
#include "tests/support/test_env.h"
#include "tools/kelvra-host/commands.h"

namespace kelvra::tool {
namespace {

using kelvra::testing::FileExists;
using kelvra::testing::WriteFileBytes;

std::vector<uint8_t> Bytes(const std::string& s) { return {s.begin(), s.end()}; }

class KelvraHostCli : public KelvraHostTest {
 protected:
  void SetUp() override {
    KelvraHostTest::SetUp();
    WriteFileBytes(dir.File("h.pgm"), Bytes("P5\n2 2\n255\n" + std::string("\x10\x20\x30\x40", 4)));
    WriteFileBytes(dir.File("c.ppm"), Bytes("P6\n2 2\n255\n" + std::string(12, '\x40')));
    WriteFileBytes(dir.File("c3.ppm"), Bytes("P6\n3 2\n255\n" + std::string(18, '\x40')));
    WriteFileBytes(dir.File("huge.pgm"), Bytes("P5\n32768 2\n255\n"));
  }
};

TEST_F(KelvraHostCli, EveryCommandHasHelp) {
  for (const char* cmd : {"render", "preview", "edit", "demo"}) {
    for (const char* flag : {"--help", "-h"}) {
      HostRun r = Host({cmd, flag});
      EXPECT_EQ(r.status, 0) << cmd;
      EXPECT_EQ(r.out.find(std::string("usage: kelvra-host ") + cmd), 0u) << r.out;
      EXPECT_TRUE(r.err.empty()) << r.err;
    }
  }
  HostRun r = Host({"--help"});
  EXPECT_EQ(r.status, 0);
  for (const char* cmd : {"render", "preview", "edit", "demo"})
    EXPECT_NE(r.out.find(std::string("  ") + cmd + " "), std::string::npos) << cmd;
  EXPECT_EQ(Host({}).status, 2);
  EXPECT_EQ(Host({"frobnicate"}).status, 2);
}

TEST_F(KelvraHostCli, VersionNamesTheProjectVersionForProgramAndLibrary) {
  for (const char* flag : {"--version", "version"}) {
    HostRun r = Host({flag});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.find("kelvra-host " KELVRA_VERSION " (native build)\n"), 0u) << r.out;
    EXPECT_NE(r.out.find("\nlibrary " KELVRA_VERSION ": linked in\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("PNG (8/16-bit)"), std::string::npos) << r.out;
  }
}

TEST_F(KelvraHostCli, BadInputGivesOneLineAndNoOutput) {
  const std::string out = dir.File("out.tif");
  const std::string h = dir.File("h.pgm");
  struct Case { std::vector<std::string> args; int status; const char* reason; };
  const Case cases[] = {
      {{"render"}, 2, "no height field given"},
      {{"render", h}, 2, "no output given: add -o FILE"},
      {{"render", h, h, "-o", out}, 2, "one height field at a time"},
      {{"render", dir.File("missing.pgm"), "-o", out}, 1, "missing.pgm: cannot open"},
      {{"render", dir.File("c.ppm"), "-o", out}, 1, "must be a grayscale image"},
      {{"render", dir.File("huge.pgm"), "-o", out}, 1, "larger than the host's limit of 32767"},
      {{"render", h, "-o", out, "--code", "AAADAAKAFAHA"}, 2, "exactly 14 characters"},
      {{"render", h, "-o", out, "--bits", "24"}, 2, "--bits wants 8, 16 or 32"},
      {{"render", h, "-o", out, "--view", dir.File("v.jpg")}, 2, "--view writes a .png"},
      {{"render", h, "-o", out, "--frob"}, 2, "unknown option --frob"},
      {{"render", h, "-o", std::string(997, 'x')}, 1, "longer than the 1000 characters"},
      {{"preview", h, "-o", out, "--via-map"}, 2, "unknown option --via-map"},
      {{"preview", h}, 2, "no output given"},
      {{"edit"}, 2, "no image given"},
      {{"edit", dir.File("c.ppm"), "--mode", "1"}, 2, "mode 1 needs --shaded SHADED"},
      {{"edit", dir.File("c.ppm"), "--mode", "5", "--shaded", dir.File("c.ppm")}, 2,
       "mode 5 needs --mask MASK"},
      {{"edit", dir.File("c.ppm"), "--mode", "4", "--shaded", dir.File("c3.ppm")}, 1,
       "c3.ppm is 3 x 2, the image 2 x 2"},
      {{"edit", dir.File("c.ppm"), "--mode", "100"}, 2, "only opens an existing document"},
      {{"edit", dir.File("c.ppm"), "--mode", "x"}, 2, "--mode wants a whole number"},
      {{"edit", dir.File("c.ppm"), "--timeout", "0"}, 2, "--timeout wants a whole number"},
      {{"edit", dir.File("c.ppm"), "--opener", "no-such-opener-here"}, 1,
       "cannot find the opener 'no-such-opener-here'"},
      {{"edit", dir.File("missing.png")}, 1, "missing.png: cannot open"},
      {{"edit", dir.File("h.tif")}, 2, "writes .png, .pgm or .ppm only"},
      {{"demo", "extra"}, 2, "unexpected argument extra"},
      {{"demo", "--size", "5"}, 2, "--size wants a whole number from 16 to 4096"},
  };
  for (const Case& c : cases) {
    HostRun r = Host(c.args);
    std::string cmd = "kelvra-host " + c.args[0] + ": ";
    EXPECT_EQ(r.status, c.status) << cmd << r.err;
    EXPECT_EQ(r.err.find(cmd), 0u) << r.err;
    EXPECT_NE(r.err.find(c.reason), std::string::npos) << "'" << r.err << "' lacks '" << c.reason << "'";
    EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << "one line: " << r.err;
    EXPECT_TRUE(r.out.empty()) << r.out;
    EXPECT_FALSE(FileExists(out)) << c.args[0];
    EXPECT_FALSE(FileExists(out + ".part"));
    EXPECT_FALSE(FileExists(dir.File("c.kelvra.psd")));
  }
}

}  // namespace
}  // namespace kelvra::tool
