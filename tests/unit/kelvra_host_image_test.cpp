// kelvra-host's image files: PNG through libpng, PGM/PPM by hand, checked
// against an independent reader (PIL) and against broken and oversized files.
#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <png.h>

#include "tests/support/test_env.h"
#include "tools/kelvra-host/image_io.h"

namespace kelvra::tool {
namespace {

using kelvra::testing::FileExists;
using kelvra::testing::ReadFileBytes;
using kelvra::testing::RunCommand;
using kelvra::testing::TempDir;
using kelvra::testing::WriteFileBytes;

std::vector<uint8_t> Bytes(const std::string& s) { return {s.begin(), s.end()}; }

Raster Gradient16(int w, int h) {
  Raster r;
  r.width = w;
  r.height = h;
  r.channels = 1;
  r.bits = 16;
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) r.samples.push_back(static_cast<uint16_t>(x * 4099 + y * 257 + 1));
  return r;
}

class KelvraHostImage : public ::testing::Test {
 protected:
  TempDir dir;
};

TEST_F(KelvraHostImage, SixteenBitGreyRoundTripsThroughPngAndPgm) {
  Raster r = Gradient16(13, 7);
  for (const char* name : {"h.png", "h.pgm"}) {
    std::string error;
    ASSERT_TRUE(WriteRaster(dir.File(name), r, &error)) << error;
    EXPECT_FALSE(FileExists(dir.File(name) + ".part"));
    HeightField f;
    ASSERT_TRUE(ReadHeightField(dir.File(name), &f, &error)) << error;
    EXPECT_EQ(f.width, 13);
    EXPECT_EQ(f.height, 7);
    EXPECT_EQ(f.sourceBits, 16);
    EXPECT_EQ(f.samples, r.samples) << name;
  }
  // PGM samples are big-endian: the first sample 1 is bytes 00 01.
  std::vector<uint8_t> pgm = ReadFileBytes(dir.File("h.pgm"));
  std::string head = "P5\n13 7\n65535\n";
  ASSERT_EQ(pgm.size(), head.size() + 13 * 7 * 2);
  EXPECT_EQ(pgm[head.size()], 0);
  EXPECT_EQ(pgm[head.size() + 1], 1);
}

TEST_F(KelvraHostImage, PngAgreesWithAnIndependentReader) {
  // Ours written, PIL reading; PIL written, ours reading.
  Raster r = Gradient16(5, 3);
  std::string error;
  ASSERT_TRUE(WriteRaster(dir.File("ours.png"), r, &error)) << error;
  std::string out;
  ASSERT_EQ(RunCommand("/usr/bin/python3 -c \"from PIL import Image; im=Image.open('" +
                           dir.File("ours.png") + "'); print(im.size, im.getpixel((4,2)), im.getpixel((0,0)))\"",
                       &out), 0) << out;
  EXPECT_EQ(out, "(5, 3) " + std::to_string(4 * 4099 + 2 * 257 + 1) + " 1\n");
  ASSERT_EQ(RunCommand("/usr/bin/python3 -c \"from PIL import Image; "
                       "im=Image.new('RGBA',(3,2),(10,20,30,40)); im.putpixel((2,1),(200,100,50,255)); "
                       "im.save('" + dir.File("pil.png") + "')\"", &out), 0) << out;
  ColorImage img;
  ASSERT_TRUE(ReadColorImage(dir.File("pil.png"), &img, &error)) << error;
  EXPECT_TRUE(img.alpha);
  EXPECT_FALSE(img.grey);
  EXPECT_EQ(img.pixels[0], PackBgra(10, 20, 30, 40));
  EXPECT_EQ(img.pixels[5], PackBgra(200, 100, 50, 255));
  ASSERT_EQ(RunCommand("/usr/bin/python3 -c \"from PIL import Image; "
                       "Image.new('L',(4,1),77).save('" + dir.File("grey8.png") + "')\"", &out), 0);
  HeightField f;
  ASSERT_TRUE(ReadHeightField(dir.File("grey8.png"), &f, &error)) << error;
  EXPECT_EQ(f.sourceBits, 8);
  EXPECT_EQ(f.samples, std::vector<uint16_t>(4, 77 * 257));
}

TEST_F(KelvraHostImage, EightBitAndOddMaxvalInputsAreWidened) {
  struct Case { std::string file; std::vector<uint16_t> expected; int bits; };
  const Case cases[] = {
      {"P5\n3 1\n255\n" + std::string("\x00\x80\xff", 3), {0, 128 * 257, 65535}, 8},
      // maxval 1023 stretches to 0..65535, rounding
      {"P5 # comment\n3 1\n1023\n" + std::string("\x00\x00\x01\xff\x03\xff", 6),
       {0, (511 * 65535 + 511) / 1023, 65535}, 16},
      // maxval 15 (one byte a sample) stretches to 0..255, then x257
      {"P5\n2 1\n15\n" + std::string("\x0f\x07", 2), {65535, 119 * 257}, 8},
  };
  for (const Case& c : cases) {
    WriteFileBytes(dir.File("in.pgm"), Bytes(c.file));
    HeightField f;
    std::string error;
    ASSERT_TRUE(ReadHeightField(dir.File("in.pgm"), &f, &error)) << error;
    EXPECT_EQ(f.samples, c.expected);
    EXPECT_EQ(f.sourceBits, c.bits);
  }
}

TEST_F(KelvraHostImage, ColourImagesKeepTheirKindWhenWrittenBack) {
  WriteFileBytes(dir.File("c.ppm"), Bytes("P6\n2 1\n255\n" + std::string("\x01\x02\x03\xfa\xfb\xfc", 6)));
  ColorImage img;
  std::string error;
  ASSERT_TRUE(ReadColorImage(dir.File("c.ppm"), &img, &error)) << error;
  EXPECT_EQ(img.pixels[0], PackBgra(1, 2, 3, 255));
  EXPECT_EQ(img.pixels[1], PackBgra(0xfa, 0xfb, 0xfc, 255));

  // A grey image stays grey while it is grey, and turns RGB once coloured.
  ColorImage grey;
  grey.width = 2;
  grey.height = 1;
  grey.grey = true;
  grey.pixels = {PackBgra(9, 9, 9, 255), PackBgra(200, 200, 200, 255)};
  EXPECT_EQ(ColorImageToRaster(grey).channels, 1);
  grey.pixels[1] = PackBgra(200, 0, 0, 255);
  EXPECT_EQ(ColorImageToRaster(grey).channels, 3);
  ASSERT_TRUE(WriteColorImage(dir.File("g.png"), grey, &error)) << error;
  ColorImage back;
  ASSERT_TRUE(ReadColorImage(dir.File("g.png"), &back, &error)) << error;
  EXPECT_EQ(back.pixels, grey.pixels);
  // A PGM name that now needs colour gets PPM content rather than losing it.
  ASSERT_TRUE(WriteColorImage(dir.File("g.pgm"), grey, &error)) << error;
  ASSERT_TRUE(ReadColorImage(dir.File("g.pgm"), &back, &error)) << error;
  EXPECT_EQ(back.pixels, grey.pixels);

  // Transparency survives a PNG round trip in the fourth byte.
  ColorImage rgba = grey;
  rgba.alpha = true;
  rgba.pixels[0] = PackBgra(1, 2, 3, 4);
  ASSERT_TRUE(WriteColorImage(dir.File("a.png"), rgba, &error)) << error;
  ASSERT_TRUE(ReadColorImage(dir.File("a.png"), &back, &error)) << error;
  EXPECT_EQ(back.pixels, rgba.pixels);
}

void WritePng(const std::string& path, int w, int h, int type, int depth) {
  FILE* f = std::fopen(path.c_str(), "wb");
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  png_init_io(png, f);
  png_set_user_limits(png, 0x7fffffff, 0x7fffffff);
  png_set_IHDR(png, info, w, h, depth, type, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
               PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  std::vector<uint8_t> row(png_get_rowbytes(png, info), 0);
  for (int y = 0; y < h; ++y) png_write_row(png, row.data());
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  std::fclose(f);
}

TEST_F(KelvraHostImage, BrokenOversizedAndUnsuitableFilesGiveOneLineReasons) {
  WritePng(dir.File("wide.png"), 32768, 1, PNG_COLOR_TYPE_GRAY, 8);
  WritePng(dir.File("limit.png"), 32767, 1, PNG_COLOR_TYPE_GRAY, 16);
  WritePng(dir.File("rgb.png"), 2, 2, PNG_COLOR_TYPE_RGB, 8);
  WritePng(dir.File("greyalpha.png"), 2, 2, PNG_COLOR_TYPE_GRAY_ALPHA, 8);
  WritePng(dir.File("rgb16.png"), 2, 2, PNG_COLOR_TYPE_RGB, 16);
  std::vector<uint8_t> png = ReadFileBytes(dir.File("rgb.png"));
  ASSERT_GT(png.size(), 60u);
  WriteFileBytes(dir.File("cut.png"), std::vector<uint8_t>(png.begin(), png.end() - 20));
  WriteFileBytes(dir.File("empty.pgm"), {});
  WriteFileBytes(dir.File("text.pgm"), Bytes("hello"));
  WriteFileBytes(dir.File("ascii.pgm"), Bytes("P2\n1 1\n255\n0\n"));
  WriteFileBytes(dir.File("short.pgm"), Bytes("P5\n4 4\n65535\n\x01\x02"));
  WriteFileBytes(dir.File("huge.pgm"), Bytes("P5\n40000 40000\n65535\n"));
  WriteFileBytes(dir.File("zero.pgm"), Bytes("P5\n0 3\n255\n"));
  WriteFileBytes(dir.File("maxval.pgm"), Bytes("P5\n1 1\n70000\n\x01\x02\x03"));
  WriteFileBytes(dir.File("header.pgm"), Bytes("P5\n1"));

  struct Case { const char* file; bool asHeights; const char* reason; };
  const Case cases[] = {
      {"missing.png", true, "cannot open"},
      {"wide.png", true, "32768 x 1 is larger than the host's limit of 32767"},
      {"rgb.png", true, "must be a grayscale image, this one has RGB colour"},
      {"greyalpha.png", true, "grey and alpha"},
      {"rgb16.png", false, "16-bit images cannot be edited"},
      {"cut.png", true, "not a readable PNG"},
      {"empty.pgm", true, "the file is empty"},
      {"text.pgm", true, "neither a PNG nor a PGM/PPM file"},
      {"ascii.pgm", true, "only binary PGM (P5) and PPM (P6) are read, not P2"},
      {"short.pgm", true, "data ends early"},
      {"huge.pgm", true, "40000 x 40000 is larger than the host's limit"},
      {"zero.pgm", true, "the image is empty"},
      {"maxval.pgm", true, "maximum value 70000"},
      {"header.pgm", true, "damaged PGM/PPM header"},
  };
  for (const Case& c : cases) {
    std::string error;
    bool ok;
    if (c.asHeights) {
      HeightField f;
      ok = ReadHeightField(dir.File(c.file), &f, &error);
    } else {
      ColorImage img;
      ok = ReadColorImage(dir.File(c.file), &img, &error);
    }
    EXPECT_FALSE(ok) << c.file;
    EXPECT_NE(error.find(c.reason), std::string::npos) << c.file << ": " << error;
    EXPECT_EQ(error.find(dir.File(c.file)), 0u) << "names the file: " << error;
    EXPECT_EQ(error.find('\n'), std::string::npos) << error;
  }
  HeightField f;
  std::string error;
  EXPECT_TRUE(ReadHeightField(dir.File("limit.png"), &f, &error)) << error;
  EXPECT_EQ(f.width, 32767);
}

TEST_F(KelvraHostImage, WritesReplaceWholeFilesOrLeaveThemAlone) {
  std::string error;
  Raster r = Gradient16(4, 4);
  // Into a folder that does not exist: an error, and nothing anywhere.
  EXPECT_FALSE(WriteRaster(dir.File("no/such/h.png"), r, &error));
  EXPECT_NE(error.find("cannot create"), std::string::npos) << error;
  // An unknown extension is refused before anything is written.
  EXPECT_FALSE(WriteRaster(dir.File("h.bmp"), r, &error));
  EXPECT_NE(error.find("unknown image type '.bmp'"), std::string::npos) << error;
  EXPECT_FALSE(FileExists(dir.File("h.bmp")));
  // PGM cannot hold transparency.
  Raster ga = r;
  ga.channels = 2;
  ga.width = 2;
  EXPECT_FALSE(WriteRaster(dir.File("ga.pgm"), ga, &error));
  EXPECT_FALSE(FileExists(dir.File("ga.pgm")));
  // An existing longer file is replaced whole.
  WriteFileBytes(dir.File("h.pgm"), std::vector<uint8_t>(5000, 'x'));
  ASSERT_TRUE(WriteRaster(dir.File("h.pgm"), r, &error)) << error;
  EXPECT_EQ(ReadFileBytes(dir.File("h.pgm")).size(), std::string("P5\n4 4\n65535\n").size() + 32);
  EXPECT_FALSE(FileExists(dir.File("h.pgm.part")));
}

}  // namespace
}  // namespace kelvra::tool
