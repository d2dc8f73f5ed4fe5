// kelvra-host edit, end to end: the document is written and "opened" by an
// opener script that plays the person at the editor (it waits, then saves a
// change), and the change must come back into the image file.
#include <sstream>
#include <string>
#include <vector>

#include "bitmap/psd_reader.h"
#include "editorlink/editor_state.h"
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

ColorImage Solid(int w, int h, uint32_t pixel) {
  ColorImage img;
  img.width = w;
  img.height = h;
  img.pixels.assign(static_cast<size_t>(w) * h, pixel);
  for (size_t i = 0; i < img.pixels.size(); ++i) img.pixels[i] += static_cast<uint32_t>(i);
  return img;
}

ColorImage Load(const std::string& path) {
  ColorImage img;
  std::string error;
  EXPECT_TRUE(ReadColorImage(path, &img, &error)) << error;
  return img;
}

class KelvraHostEdit : public KelvraHostTest {
 protected:
  // An opener that waits past the second in which the document was written
  // (the library's stamps have whole seconds), then runs `action` on it.
  std::string Opener(const std::string& action) {
    std::string script = dir.File("editor.sh");
    std::string text = "sleep 1.2\ndoc=\"$1\"\n" + action + "\n";
    WriteFileBytes(script, std::vector<uint8_t>(text.begin(), text.end()));
    return "sh " + script;
  }
  // Python that sets byte `offset` of the document to `value`.
  static std::string Poke(const std::string& offset, int value) {
    return "/usr/bin/python3 -c \"import sys; p=sys.argv[1]; b=bytearray(open(p,'rb').read()); "
           "b[" + offset + "]=" + std::to_string(value) + "; open(p,'wb').write(b)\" \"$doc\"";
  }
  void WriteImage(const std::string& name, const ColorImage& img) {
    std::string error;
    ASSERT_TRUE(WriteColorImage(dir.File(name), img, &error)) << error;
  }
};

TEST_F(KelvraHostEdit, AFlatDocumentEditedAndSavedComesBackIntoTheImage) {
  ColorImage image = Solid(4, 3, PackBgra(10, 20, 30, 255));
  WriteImage("img.png", image);
  std::vector<uint8_t> original = ReadFileBytes(dir.File("img.png"));
  // The red plane follows the 40-byte header: pixel 5's red becomes 200.
  HostRun r = Host({"edit", dir.File("img.png"), "--once", "--timeout", "20", "--opener",
                    Opener(Poke("40+5", 200))});
  ASSERT_EQ(r.status, 0) << r.err << r.out;
  EXPECT_NE(r.out.find("wrote " + dir.File("img.kelvra.psd") + " (flat, the image)"),
            std::string::npos) << r.out;
  EXPECT_NE(r.out.find("merged 1 changed pixel into"), std::string::npos) << r.out;
  ColorImage back = Load(dir.File("img.png"));
  ColorImage expected = image;
  expected.pixels[5] = (expected.pixels[5] & 0xff00ffffu) | 200u << 16;
  EXPECT_EQ(back.pixels, expected.pixels);
  EXPECT_EQ(ReadFileBytes(dir.File("img.orig.png")), original);

  // A second session keeps the first backup: it is the true original.
  r = Host({"edit", dir.File("img.png"), "--once", "--timeout", "20", "--opener",
            Opener(Poke("40+12+0", 99))});  // green of pixel 0
  ASSERT_EQ(r.status, 0) << r.err << r.out;
  EXPECT_EQ(ReadFileBytes(dir.File("img.orig.png")), original);
  EXPECT_EQ((Load(dir.File("img.png")).pixels[0] >> 8) & 0xff, 99u);
}

TEST_F(KelvraHostEdit, AnEditorThatRewritesTheWholeDocument) {
  // ImageMagick reads the document and writes its own (compressed) one.
  ColorImage image = Solid(5, 4, PackBgra(100, 110, 120, 255));
  WriteImage("img.ppm", image);
  HostRun r = Host({"edit", dir.File("img.ppm"), "--doc", dir.File("doc.psd"), "--once",
                    "--timeout", "30", "--opener",
                    Opener("/usr/bin/convert \"$doc\" -fill '#0000ff' -draw 'point 2,1' \"$doc.new.psd\" "
                           "&& mv \"$doc.new.psd\" \"$doc\"")});
  ASSERT_EQ(r.status, 0) << r.err << r.out;
  ColorImage back = Load(dir.File("img.ppm"));
  for (size_t i = 0; i < back.pixels.size(); ++i) {
    uint32_t want = i == 1 * 5 + 2 ? PackBgra(0, 0, 255, 255) : image.pixels[i];
    EXPECT_EQ(back.pixels[i], want) << i;
  }
  EXPECT_TRUE(FileExists(dir.File("img.orig.ppm")));
}

TEST_F(KelvraHostEdit, ShadedModesCarryTheEditIntoTheFlatImage) {
  // Mode 4 exports the shaded image; an edit of a channel whose shaded level
  // is 0 is added to the flat level: 250 with 0 edited to 10 gives 255.
  ColorImage flat = Solid(2, 2, PackBgra(250, 40, 40, 255));
  ColorImage shaded = Solid(2, 2, PackBgra(0, 40, 40, 255));
  WriteImage("flat.png", flat);
  WriteImage("shaded.png", shaded);
  HostRun r = Host({"edit", dir.File("flat.png"), "--mode", "4", "--shaded", dir.File("shaded.png"),
                    "--once", "--timeout", "20", "--opener", Opener(Poke("40", 10))});
  ASSERT_EQ(r.status, 0) << r.err << r.out;
  EXPECT_NE(r.out.find("(flat, the shaded image)"), std::string::npos) << r.out;
  ColorImage back = Load(dir.File("flat.png"));
  EXPECT_EQ((back.pixels[0] >> 16) & 0xff, 255u);
  for (size_t i = 1; i < 4; ++i) EXPECT_EQ(back.pixels[i], flat.pixels[i]) << i;
}

TEST_F(KelvraHostEdit, TheBottomLayerOfALayeredDocumentIsMerged) {
  // Mode 1: the image under a shading layer. The bottom layer's red channel
  // is the image's red plane stored raw; the opener changes its first byte.
  ColorImage image = Solid(3, 3, PackBgra(21, 0, 0, 255));
  ColorImage shaded = Solid(3, 3, PackBgra(11, 5, 5, 255));
  WriteImage("img.png", image);
  WriteImage("shaded.png", shaded);
  std::string plane;
  for (uint32_t p : image.pixels) plane += static_cast<char>((p >> 16) & 0xff);
  std::string find = "bytes(open(p,'rb').read()).find(bytes([0,0]+list(b'" + plane + "')))+2";
  HostRun r = Host({"edit", dir.File("img.png"), "--mode", "1", "--shaded", dir.File("shaded.png"),
                    "--once", "--timeout", "20", "--opener",
                    Opener("/usr/bin/python3 -c \"import sys; p=sys.argv[1]; i=" + find +
                           "; assert i > 2; b=bytearray(open(p,'rb').read()); b[i]=222; "
                           "open(p,'wb').write(b)\" \"$doc\"")});
  ASSERT_EQ(r.status, 0) << r.err << r.out;
  EXPECT_NE(r.out.find("layered, image under a colour shading layer"), std::string::npos) << r.out;
  ColorImage back = Load(dir.File("img.png"));
  EXPECT_EQ((back.pixels[0] >> 16) & 0xff, 222u);
  for (size_t i = 1; i < 9; ++i) EXPECT_EQ(back.pixels[i], image.pixels[i]) << i;
}

TEST_F(KelvraHostEdit, TheMaskLevelsAgainstTheThresholdShapeTheMaskedLayer) {
  // Mode 3: the upper copy shows where the mask's grey level is below the
  // threshold; ImageMagick reads its transparency.
  WriteImage("img.png", Solid(4, 2, PackBgra(90, 60, 30, 255)));
  ColorImage mask = Solid(4, 2, 0);
  for (size_t i = 0; i < mask.pixels.size(); ++i) {
    int level = i % 4 < 2 ? 127 : 128;
    mask.pixels[i] = PackBgra(level, level, level, 255);
  }
  mask.grey = true;
  WriteImage("mask.png", mask);
  HostRun r = Host({"edit", dir.File("img.png"), "--mode", "3", "--mask", dir.File("mask.png"),
                    "--threshold", "128", "--timeout", "1", "--opener", "true"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("layered, image under a masked copy"), std::string::npos) << r.out;
  std::string alpha;
  ASSERT_EQ(RunCommand("/usr/bin/convert '" + dir.File("img.kelvra.psd") +
                       "[2]' -alpha extract -depth 8 gray:- | od -An -tu1", &alpha), 0) << alpha;
  std::istringstream levels(alpha);
  std::vector<int> got;
  for (int v; levels >> v;) got.push_back(v);
  EXPECT_EQ(got, (std::vector<int>{255, 255, 0, 0, 255, 255, 0, 0}));
}

TEST_F(KelvraHostEdit, SavesThatCannotBeMergedLeaveTheImageAlone) {
  ColorImage image = Solid(2, 2, PackBgra(1, 2, 3, 255));
  WriteImage("img.png", image);
  std::vector<uint8_t> original = ReadFileBytes(dir.File("img.png"));
  // Not a document any more.
  HostRun r = Host({"edit", dir.File("img.png"), "--once", "--timeout", "20", "--opener",
                    Opener("echo garbage > \"$doc\"")});
  EXPECT_EQ(r.status, 1);
  // The library's reason, not a guess.
  EXPECT_NE(r.err.find("KelvraDLL: cannot merge " + dir.File("img.kelvra.psd") + ": " +
                       PsdReadText(PsdRead::kTruncated) + "\n"),
            std::string::npos) << r.err;
  EXPECT_EQ(ReadFileBytes(dir.File("img.png")), original);
  EXPECT_FALSE(FileExists(dir.File("img.orig.png")));
  // Saved without a change; the next export first keeps the unreadable save.
  r = Host({"edit", dir.File("img.png"), "--once", "--timeout", "20", "--opener",
            Opener("touch \"$doc\"")});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("KelvraDLL: kept " + dir.File("img.kelvra.psd") + " as " +
                       dir.File("img.kelvra.kept-1.psd")),
            std::string::npos) << r.err;
  EXPECT_EQ(ReadFileBytes(dir.File("img.kelvra.kept-1.psd")),
            std::vector<uint8_t>({'g', 'a', 'r', 'b', 'a', 'g', 'e', '\n'}));
  EXPECT_NE(r.out.find("no colour changes"), std::string::npos) << r.out;
  EXPECT_EQ(ReadFileBytes(dir.File("img.png")), original);
  // Never saved.
  r = Host({"edit", dir.File("img.png"), "--once", "--timeout", "1", "--opener", "true"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("no save within 1 s"), std::string::npos) << r.err;
}

TEST_F(KelvraHostEdit, CtrlCEndsTheSession) {
  ColorImage image = Solid(2, 2, PackBgra(1, 2, 3, 255));
  WriteImage("img.png", image);
  // Ctrl-C once the session says it is watching, however long it took to
  // get there (a sanitizer build on a loaded machine is slow to start).
  const std::string log = dir.File("edit.log");
  const int status = RunCommand(std::string(KELVRA_HOST_BIN " edit ") + dir.File("img.png") +
                                " --opener true > " + log + " 2>&1 & pid=$!; "
                                "for i in $(seq 1 600); do grep -q 'Ctrl-C ends' " + log +
                                " && break; sleep 0.1; done; kill -INT $pid; "
                                // A session that ignores it is ended after 10 s.
                                "for i in $(seq 1 100); do kill -0 $pid 2>/dev/null || break; "
                                "sleep 0.1; done; kill -KILL $pid 2>/dev/null; wait $pid");
  const std::vector<uint8_t> logged = ReadFileBytes(log);
  const std::string out(logged.begin(), logged.end());
  EXPECT_EQ(status, 0) << out;
  EXPECT_NE(out.find("Ctrl-C ends"), std::string::npos) << out;
  EXPECT_TRUE(FileExists(dir.File("img.kelvra.psd")));
}

}  // namespace
}  // namespace kelvra::tool
