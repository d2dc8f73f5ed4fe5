// Do, called through the export as the host calls it: the settings it keeps,
// the option code, the two exports and the clipboard commands.
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "hostsim/hostsim.h"
#include "plugin/dispatcher.h"
#include "plugin/exports.h"
#include "plugin/state.h"
#include "services/test_seams.h"
#include "tests/support/test_env.h"
#include "tests/unit/map_reference.h"

namespace kelvra {
namespace {

using hostsim::SimContext;
using hostsim::SimImage;
using hostsim::SimMapSource;
using testing::FileExists;
using testing::MapRequest;
using testing::ReadFileBytes;
using testing::ReferenceMap;
using testing::TempDir;

class DispatcherTest : public testing::KelvraTest {
 protected:
  void SetUp() override {
    KelvraTest::SetUp();
    gExportScale = 1.0f;
    gExportPath[0] = 0;
    gStoredText[0] = 0;
  }
  void TearDown() override {
    EXPECT_TRUE(hostsim::ContractViolations().empty());
    hostsim::ClearContractViolations();
    KelvraTest::TearDown();
  }
  float Do(double value, const char* text = nullptr, char** ctx = nullptr, char* buf2 = nullptr) {
    return KelvraDLL_Do(const_cast<char*>(text), value, nullptr, 0, buf2, 0,
                        ctx == nullptr ? context.table() : ctx);
  }
  // A 16-bit height image in slot 5 with a ramp of heights.
  SimImage& HeightImage(int w, int h, int stride = -1, int bits = 16) {
    image = std::make_unique<SimImage>(w, h, bits, stride);
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < image->rowStride() / 2; ++x)
        image->samples16()[y * (image->rowStride() / 2) + x] =
            static_cast<uint16_t>(20000 + 1500 * x + 2300 * y + (x * y % 7) * 300);
    context.SetSlot(5, image->record());
    return *image;
  }
  std::vector<uint16_t> ImageSamples() {
    const uint16_t* s = image->samples16();
    return std::vector<uint16_t>(s, s + image->byteCount() / 2);
  }

  SimContext context;
  std::unique_ptr<SimImage> image;
  TempDir dir;
};

TEST_F(DispatcherTest, ScaleCommandsAndTheNullContextRule) {
  EXPECT_EQ(Do(-2.5), 0.0f);
  EXPECT_EQ(gExportScale, 2.5f);
  EXPECT_EQ(Do(0.7), 0.0f) << "command 0";
  EXPECT_EQ(gExportScale, 1.0f);
  EXPECT_EQ(Do(-0.1), 0.0f);
  EXPECT_EQ(gExportScale, 0.1f) << "rounded to single precision first";
  EXPECT_EQ(Do(-1e-60), 0.0f) << "rounds to zero";
  EXPECT_EQ(gExportScale, 1.0f);
  EXPECT_EQ(Do(-1e300), 0.0f);
  EXPECT_EQ(gExportScale, std::numeric_limits<float>::infinity());

  Do(-2.5);
  Do(2, "C:\\maps\\a.tif");
  char* none = nullptr;
  for (double v : {-2.5, -7.0, 0.0, 2.0, 3.0, 4.0, 10.0, 20.0, 21.0, 100.0, 101.0, 55.0}) {
    EXPECT_EQ(KelvraDLL_Do(const_cast<char*>("C:\\other\\path.tif"), v, nullptr, 0, none, 0,
                           nullptr),
              -1.0f)
        << v;
  }
  EXPECT_EQ(gExportScale, 2.5f);
  EXPECT_STREQ(gExportPath, "C:\\maps\\a.tif");
  EXPECT_STREQ(gStoredText, "");
}

TEST_F(DispatcherTest, UnknownAndOutOfRangeCommandsDoNothing) {
  Do(-3.0);
  Do(2, "/tmp/keep.tif");
  const double nan = std::numeric_limits<double>::quiet_NaN();
  for (double v : {1.0, 5.0, 11.0, 22.0, 102.0, 1000.0, 2147483647.0, 2147483648.0, 1e12,
                   std::numeric_limits<double>::infinity(), nan}) {
    EXPECT_EQ(Do(v, "C:\\x\\y\\z.tif"), 0.0f) << v;
  }
  EXPECT_EQ(gExportScale, 3.0f);
  EXPECT_STREQ(gExportPath, "/tmp/keep.tif");
  // Truncation toward zero: 2.9 is command 2, 10.99 command 10.
  EXPECT_EQ(Do(2.9, "/tmp/new.tif"), 0.0f);
  EXPECT_STREQ(gExportPath, "/tmp/new.tif");
  EXPECT_EQ(Do(10.99, "kept"), 0.0f);
  EXPECT_STREQ(gStoredText, "kept");
}

TEST_F(DispatcherTest, PathAndStoredTextAreBoundedCopies) {
  EXPECT_EQ(Do(2, "abcd"), -1.0f);
  EXPECT_STREQ(gExportPath, "");
  EXPECT_EQ(Do(2, "abcde"), 0.0f);
  EXPECT_STREQ(gExportPath, "abcde");
  EXPECT_EQ(Do(2, "wxyz"), -1.0f);
  EXPECT_EQ(Do(2, nullptr), -1.0f);
  EXPECT_STREQ(gExportPath, "abcde");
  const std::string longText(1500, 'p');
  EXPECT_EQ(Do(2, longText.c_str()), 0.0f);
  EXPECT_EQ(std::string(gExportPath), longText.substr(0, 1000));

  EXPECT_EQ(Do(10, "note"), 0.0f);
  EXPECT_STREQ(gStoredText, "note");
  EXPECT_EQ(Do(10, longText.c_str()), 0.0f);
  EXPECT_EQ(std::string(gStoredText), longText.substr(0, 1000));
  EXPECT_EQ(Do(10, nullptr), 0.0f) << "null empties";
  EXPECT_STREQ(gStoredText, "");
  EXPECT_EQ(Do(10, ""), 0.0f);
  EXPECT_STREQ(gStoredText, "");
}

struct DecodeCase {
  const char* code;  // characters 0..13
  int32_t bits, channels, mode;
  bool smoothing, wrap, flip;
  int32_t strength, c0, c1, c2;
};

TEST_F(DispatcherTest, OptionCodeDecoding) {
  const DecodeCase cases[] = {
      {"xyzBAAK-EAAAAA", 8, 1, 0, false, false, false, 0, 40, 0, 0},
      {"xyzDCAK-FAHAJA", 8, 3, 2, false, false, false, 0, 50, 70, 90},
      {"...CAAK.FAHAJA", 8, 3, 0, false, false, false, 0, 50, 70, 90},
      {"...ABBA.KCAAAA", 8, 1, 1, true, false, false, -10, 102, 0, 0},
      {"...ECCO.AAAAAA", 16, 1, 2, false, true, false, 4, 0, 0, 0},
      {"...FDDZ.AAAAAA", 16, 1, 3, true, true, false, 15, 0, 0, 0},
      {"...GAEK.AAAAAA", 16, 3, 0, false, false, true, 0, 0, 0, 0},
      {"...HAFK.AAAAAA", 16, 3, 0, true, false, true, 0, 0, 0, 0},
      {"...IAGK.AAAAAA", 32, 1, 0, false, true, true, 0, 0, 0, 0},
      {"...JAHK.AAAAAA", 32, 1, 0, true, true, true, 0, 0, 0, 0},
      {"...KA1K.AAAAAA", 32, 3, 0, false, false, false, 0, 0, 0, 0},
      {"...LA2K.AAAAAA", 32, 3, 0, true, false, false, 0, 0, 0, 0},
      {"...MA3K.AAAAAA", 32, 1, 0, false, true, false, 0, 0, 0, 0},
      {"...ZA4K.AAAAAA", 32, 1, 0, true, true, false, 0, 0, 0, 0},
      {"...@A5K.AAAAAA", 32, 3, 0, false, false, true, 0, 0, 0, 0},
      {"...0A6K.AAAAAA", 32, 3, 0, true, false, true, 0, 0, 0, 0},
      {"...AA7K.AAAAAA", 8, 1, 0, false, true, true, 0, 0, 0, 0},
      {"...AA8K.AAAAAA", 8, 1, 0, true, true, true, 0, 0, 0, 0},
      {"...AZAK.AZZZ@A", 8, 1, 25, false, false, false, 0, 25, 275, -10},
  };
  for (const DecodeCase& c : cases) {
    OptionCode o = DecodeOptionCode(c.code);
    EXPECT_EQ(o.formatLetter, c.code[3]) << c.code;
    EXPECT_EQ(o.bitsPerSample, c.bits) << c.code;
    EXPECT_EQ(o.channelCount, c.channels) << c.code;
    EXPECT_EQ(o.scaleMode, c.mode) << c.code;
    EXPECT_EQ(o.smoothing, c.smoothing) << c.code;
    EXPECT_EQ(o.wrapEdges, c.wrap) << c.code;
    EXPECT_EQ(o.flipVertical, c.flip) << c.code;
    EXPECT_EQ(o.strength, c.strength) << c.code;
    EXPECT_EQ(o.codes[0], c.c0) << c.code;
    EXPECT_EQ(o.codes[1], c.c1) << c.code;
    EXPECT_EQ(o.codes[2], c.c2) << c.code;
  }
  // Characters are signed: a byte of 0x80 or more is a negative code.
  char high[] = "...A\xC1" "AK.AAAAAA";
  EXPECT_EQ(DecodeOptionCode(high).scaleMode, -63 - 'A');
  high[3] = '\xFF';
  EXPECT_EQ(DecodeOptionCode(high).bitsPerSample, 32);
  EXPECT_EQ(DecodeOptionCode(high).channelCount, 3) << "(-1 - 1) & 2 is 2";
}

TEST_F(DispatcherTest, CommandThreeExportsTheSlotFiveImage) {
  HeightImage(9, 6, 2 * 9 + 6);  // rows 12 samples apart
  const std::string path = dir.File("export3.tif");
  ASSERT_EQ(Do(2, path.c_str()), 0.0f);
  Do(-1.5);
  EXPECT_EQ(Do(3, "xyzDCAK-FAHAJA"), 0.0f);
  MapRequest r;
  r.width = 9;
  r.height = 6;
  r.rowLength = 12;
  r.scaleMode = 2;
  r.scale = 1.5f;
  r.channelCount = 3;
  r.bitsPerSample = 8;
  r.codes[0] = 50;
  r.codes[1] = 70;
  r.codes[2] = 90;
  EXPECT_EQ(ReadFileBytes(path), ReferenceMap(r, ImageSamples()));

  // Flags, strength and scale reach the renderer: 16-bit, mode 1, flip and
  // smoothing, strength 4, the export scale 1.5.
  EXPECT_EQ(Do(3, "xyzEBFO-EAAAAA"), 0.0f);
  MapRequest d;
  d.width = 9;
  d.height = 6;
  d.rowLength = 12;
  d.scaleMode = 1;
  d.scale = 1.5f;
  d.flipVertical = true;
  d.smoothing = true;
  d.strength = 4;
  EXPECT_EQ(ReadFileBytes(path), ReferenceMap(d, ImageSamples()));
}

TEST_F(DispatcherTest, CommandThreeRefusals) {
  const std::string path = dir.File("refused.tif");
  EXPECT_EQ(Do(3, "xyzBAAK-EAAAAA"), -1.0f) << "no image";
  HeightImage(4, 4);
  EXPECT_EQ(Do(3, "xyzBAAK-EAAAAA"), -1.0f) << "empty path";
  Do(2, path.c_str());
  EXPECT_EQ(Do(3, "xyzBAAK-EAAAA"), -1.0f) << "13 characters";
  EXPECT_EQ(Do(3, nullptr), -1.0f);
  image->SetBitsPerPixel(32);
  EXPECT_EQ(Do(3, "xyzBAAK-EAAAAA"), -1.0f) << "not a 16-bit image";
  image->SetBitsPerPixel(16);
  image->DropPixelPointer();
  EXPECT_EQ(Do(3, "xyzBAAK-EAAAAA"), -1.0f) << "no pixels";
  image->DropPixelStore();
  EXPECT_EQ(Do(3, "xyzBAAK-EAAAAA"), -1.0f) << "no pixel store";
  EXPECT_FALSE(FileExists(path));
  // A failed render is 1.0: an unopenable path, or a width the host's
  // 16-bit field reads as negative.
  HeightImage(4, 4);
  Do(2, dir.File("missing/folder/x.tif").c_str());
  EXPECT_EQ(Do(3, "xyzBAAK-EAAAAA"), 1.0f);
  Do(2, path.c_str());
  image->SetSizeFields(-4, 4);
  EXPECT_EQ(Do(3, "xyzBAAK-EAAAAA"), 1.0f);
  EXPECT_FALSE(FileExists(path));
}

TEST_F(DispatcherTest, CommandFourExportsTheCurrentMapWithItsScaleRule) {
  SimMapSource source;
  source.mapWidth = 5;
  source.mapHeight = 4;
  source.mapScaleFixed = 131072;  // 2.0
  context.SetSlot(4, source.record());
  const std::string path = dir.File("export4.tif");
  Do(2, path.c_str());
  EXPECT_EQ(Do(4, "xyzIBAK-EAAAAA"), -1.0f) << "no current map";
  ASSERT_EQ(KelvraDLL_ExportDisp32_MakeMap(nullptr, 0, nullptr, 0, nullptr, 0, context.table()), 0.0f);
  std::vector<uint16_t> field(20);
  for (int i = 0; i < 20; ++i) field[i] = static_cast<uint16_t>(30000 + 700 * i);
  std::memcpy(source.made[0]->samples(), field.data(), 40);
  Do(-3.0);  // the export scale plays no part in command 4

  MapRequest r;
  r.width = 5;
  r.height = 4;
  r.rowLength = 5;
  r.scaleMode = 1;
  struct Case { const char* code; int32_t bits; float scale; };
  for (const Case& c : {Case{"xyzEBAK-EAAAAA", 16, 1.0f}, Case{"xyzIBAK-EAAAAA", 32, 2.0f},
                        Case{"xyzHBAK-EAAAAA", 16, 1.0f}, Case{"xyz@BAK-EAAAAA", 32, 1.0f}}) {
    r.bitsPerSample = c.bits;
    r.channelCount = (c.code[3] - 1) & 2 ? 3 : 1;
    r.scale = c.scale;
    EXPECT_EQ(Do(4, c.code), 0.0f) << c.code;
    EXPECT_EQ(ReadFileBytes(path), ReferenceMap(r, field)) << c.code;
  }
  EXPECT_EQ(Do(4, "xyzIBAK-EAAAA"), -1.0f) << "13 characters";
  source.made[0]->DropPixelPointer();
  EXPECT_EQ(Do(4, "xyzIBAK-EAAAAA"), -1.0f) << "no pixels";
  KelvraDLL_ExportDisp32_DeleteMap(nullptr, 0, nullptr, 0, nullptr, 0, context.table());
}

TEST_F(DispatcherTest, ClipboardCommands) {
  EXPECT_EQ(Do(100, nullptr), -1.0f);
  EXPECT_EQ(Do(100, "hello clipboard"), 0.0f);
  EXPECT_EQ(seams::ClipboardText(), "hello clipboard");
  seams::SetClipboardRefuses(true);
  EXPECT_EQ(Do(100, "refused"), -1.0f);
  seams::SetClipboardRefuses(false);

  char buf[256];
  EXPECT_EQ(Do(101, nullptr, nullptr, nullptr), -1.0f);
  std::memset(buf, 'x', sizeof buf);
  EXPECT_EQ(Do(101, nullptr, nullptr, buf), 0.0f);
  EXPECT_STREQ(buf, "hello clipboard");
  seams::ClearClipboard();
  EXPECT_EQ(Do(101, nullptr, nullptr, buf), -1.0f);
}

TEST_F(DispatcherTest, PreviewRenderWithoutATileWritesNothing) {
  const std::string path = dir.File("preview.psd");
  Do(2, path.c_str());
  EXPECT_EQ(Do(21, "xyzAAAK-EAAAAA"), 0.0f);
  EXPECT_FALSE(FileExists(path));
}

}  // namespace
}  // namespace kelvra
