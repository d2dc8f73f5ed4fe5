// kelvra-host's image files: PNG through stb, PGM/PPM by hand, TIFF heights
// through libtiff (where it was built with it) and raw 16-bit heights,
// checked against independent writers and readers (libpng and libtiff in the
// image_files program, PIL) and against broken and oversized files.
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

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

// libpng and libtiff write and read files in a program of their own
// (tests/tiffcheck/image_files.c), so that this 32-bit program links
// neither; samples pass through as decimal text.
int RunImageFiles(const TempDir& dir, const std::string& args,
                  const std::vector<uint16_t>& samples, std::string* out) {
  std::string text;
  for (uint16_t v : samples) text += std::to_string(v) + " ";
  const std::string in = dir.File("samples.txt");
  WriteFileBytes(in, Bytes(text));
  return RunCommand(std::string(KELVRA_IMAGE_FILES) + " " + args + " <'" + in + "'", out);
}

struct PngColour { const char* name; int channels; };
constexpr PngColour kGrey{"grey", 1}, kGreyAlpha{"grey-alpha", 2}, kRgb{"rgb", 3},
    kRgba{"rgba", 4};

// libpng writes `samples` (numbers on the depth's scale, interleaved);
// `options` may ask for "interlace" and "trns=LEVEL" (a tRNS chunk marking
// grey level or RGB colour LEVEL transparent).
::testing::AssertionResult WritePngSamples(const TempDir& dir, const std::string& name, int w,
                                           int h, PngColour colour, int depth,
                                           const std::vector<uint16_t>& samples,
                                           const std::string& options = "") {
  std::string out;
  const int status = RunImageFiles(dir, "write-png '" + dir.File(name) + "' " + std::to_string(w) +
                                            " " + std::to_string(h) + " " + colour.name + " " +
                                            std::to_string(depth) + " " + options,
                                   samples, &out);
  if (status != 0) return ::testing::AssertionFailure() << name << ": " << out;
  return ::testing::AssertionSuccess();
}

::testing::AssertionResult WritePng(const TempDir& dir, const std::string& name, int w, int h,
                                    PngColour colour, int depth) {
  return WritePngSamples(dir, name, w, h, colour, depth,
                         std::vector<uint16_t>(static_cast<size_t>(w) * h * colour.channels, 0));
}

// libpng reads a PNG back: samples as numbers, channels and depth as stored.
// It must say nothing else: a libpng warning about our file fails the test.
Raster ReadPngWithLibpng(const TempDir& dir, const std::string& name) {
  Raster r;
  std::string out;
  const std::string err = dir.File("read-png.err");
  const int status = RunCommand("{ " KELVRA_IMAGE_FILES " read-png '" + dir.File(name) + "' 2>'" +
                                    err + "'; }", &out);
  const std::vector<uint8_t> said = ReadFileBytes(err);
  EXPECT_EQ(status, 0) << name;
  EXPECT_TRUE(said.empty()) << name << ": " << std::string(said.begin(), said.end());
  std::istringstream in(out);
  in >> r.width >> r.height >> r.channels >> r.bits;
  for (unsigned v; in >> v;) r.samples.push_back(static_cast<uint16_t>(v));
  return r;
}

// libtiff writes a TIFF of `samples` (interleaved), one row a strip;
// `compression` none, lzw or deflate, `order` little or big.
::testing::AssertionResult WriteTiff(const TempDir& dir, const std::string& name, int w, int h,
                                     int channels, int bits, const std::string& compression,
                                     const std::string& order,
                                     const std::vector<uint16_t>& samples) {
  std::string out;
  const int status = RunImageFiles(dir, "write-tiff '" + dir.File(name) + "' " +
                                            std::to_string(w) + " " + std::to_string(h) + " " +
                                            std::to_string(channels) + " " +
                                            std::to_string(bits) + " " + compression + " " + order,
                                   samples, &out);
  if (status != 0) return ::testing::AssertionFailure() << name << ": " << out;
  return ::testing::AssertionSuccess();
}

// Samples that tell every channel, pixel and byte apart: high and low bytes
// differ, so a swapped 16-bit order or a lost channel shows.
std::vector<uint16_t> Distinct(int count, int bits) {
  std::vector<uint16_t> v;
  for (int i = 0; i < count; ++i)
    v.push_back(static_cast<uint16_t>(bits == 16 ? 0x0102 + i * 0x1311 : (3 + i * 17) % 256));
  return v;
}

TEST_F(KelvraHostImage, EveryPngLayoutReadsAsLibpngWroteIt) {
  for (int depth : {8, 16})
    for (const PngColour& c : {kGrey, kGreyAlpha, kRgb, kRgba})
      for (bool interlaced : {false, true}) {
        const int w = 5, h = 3;
        const std::vector<uint16_t> samples = Distinct(w * h * c.channels, depth);
        const std::string name = "in" + std::to_string(depth) + "_" + std::to_string(c.channels) +
                                 (interlaced ? "i" : "") + ".png";
        ASSERT_TRUE(WritePngSamples(dir, name, w, h, c, depth, samples,
                                    interlaced ? "interlace" : ""));
        Raster r;
        std::string error;
        ASSERT_TRUE(ReadRaster(dir.File(name), &r, &error)) << error;
        EXPECT_EQ(r.width, w) << name;
        EXPECT_EQ(r.height, h) << name;
        EXPECT_EQ(r.channels, c.channels) << name;
        EXPECT_EQ(r.bits, depth) << name;
        EXPECT_EQ(r.samples, samples) << name;
      }
  // tRNS becomes an alpha channel: 0 on the marked level, full elsewhere.
  ASSERT_TRUE(WritePngSamples(dir, "trns.png", 3, 1, kGrey, 8, {7, 9, 7}, "trns=9"));
  Raster r;
  std::string error;
  ASSERT_TRUE(ReadRaster(dir.File("trns.png"), &r, &error)) << error;
  EXPECT_EQ(r.channels, 2);
  EXPECT_EQ(r.samples, (std::vector<uint16_t>{7, 255, 9, 0, 7, 255}));
  ColorImage img;
  ASSERT_TRUE(ReadColorImage(dir.File("trns.png"), &img, &error)) << error;
  EXPECT_TRUE(img.grey && img.alpha);
  EXPECT_EQ(img.pixels[1], PackBgra(9, 9, 9, 0));
}

TEST_F(KelvraHostImage, OurPngsReadBackThroughLibpng) {
  for (int bits : {8, 16})
    for (int channels = 1; channels <= 4; ++channels) {
      Raster r;
      r.width = 37;  // rows long enough for the filters to matter
      r.height = 4;
      r.channels = channels;
      r.bits = bits;
      r.samples = Distinct(r.width * r.height * channels, bits);
      const std::string name = "out" + std::to_string(bits) + "_" + std::to_string(channels) + ".png";
      std::string error;
      ASSERT_TRUE(WriteRaster(dir.File(name), r, &error)) << error;
      Raster back = ReadPngWithLibpng(dir, name);
      EXPECT_EQ(back.channels, channels) << name;
      EXPECT_EQ(back.bits, bits) << name;
      EXPECT_EQ(back.samples, r.samples) << name;
      Raster ours;
      ASSERT_TRUE(ReadRaster(dir.File(name), &ours, &error)) << error;
      EXPECT_EQ(ours.samples, r.samples) << name;
    }
  // libpng checks every chunk's CRC, so the reads above also vouch for the
  // framing of the 16-bit files; PIL agrees on a 16-bit grey one too.
  std::string out;
  ASSERT_EQ(RunCommand("/usr/bin/python3 -c \"from PIL import Image; im=Image.open('" +
                           dir.File("out16_1.png") + "'); print(im.getpixel((1,0)))\"",
                       &out), 0) << out;
  EXPECT_EQ(out, std::to_string(0x0102 + 0x1311) + "\n");
}

TEST_F(KelvraHostImage, RawHeightFields) {
  // Raw: little-endian 16-bit, rows top-down; a .r16 square sizes itself.
  std::vector<uint8_t> raw;
  for (int i = 0; i < 9; ++i) {
    raw.push_back(static_cast<uint8_t>(i));
    raw.push_back(static_cast<uint8_t>(0x80 + i));
  }
  WriteFileBytes(dir.File("t.r16"), raw);
  WriteFileBytes(dir.File("t.bin"), raw);
  HeightField f;
  std::string error;
  ASSERT_TRUE(ReadHeightField(dir.File("t.r16"), &f, &error)) << error;
  EXPECT_EQ(f.width, 3);
  EXPECT_EQ(f.height, 3);
  EXPECT_EQ(f.samples[0], 0x8000);
  EXPECT_EQ(f.samples[8], 0x8808);
  RawSize size;
  ASSERT_TRUE(ParseRawSize("9x1", &size, &error)) << error;
  ASSERT_TRUE(ReadHeightField(dir.File("t.bin"), &f, &error, &size)) << error;
  EXPECT_EQ(f.width, 9);
  EXPECT_EQ(f.height, 1);
  EXPECT_EQ(f.samples[4], 0x8404);
  for (const char* bad : {"9", "0x3", "3x", "x3", "3x32768", "-3x3", "3x3x3", "3 x 3"})
    EXPECT_FALSE(ParseRawSize(bad, &size, &error)) << bad;
  ASSERT_TRUE(ParseRawSize("4x3", &size, &error));
  EXPECT_FALSE(ReadHeightField(dir.File("t.r16"), &f, &error, &size));
  EXPECT_NE(error.find("holds 18 bytes, but 4 x 3 raw 16-bit samples take 24"), std::string::npos)
      << error;
  WriteFileBytes(dir.File("odd.r16"), std::vector<uint8_t>(12, 1));
  EXPECT_FALSE(ReadHeightField(dir.File("odd.r16"), &f, &error));
  EXPECT_NE(error.find("give the size with --raw WxH"), std::string::npos) << error;
}

#ifndef KELVRA_HOST_TIFF
#error "KELVRA_HOST_TIFF (1: kelvra-host reads TIFF height fields, 0: refuses them) comes from the build"
#endif

// Whether this kelvra-host was built with libtiff decides what a TIFF height
// field gives: its samples, or a one-line refusal naming the file. Both
// branches compile in every build; the one that was built runs.
TEST_F(KelvraHostImage, TiffHeightFieldsAreReadOrRefusedAsBuilt) {
  constexpr bool kReadsTiff = KELVRA_HOST_TIFF != 0;
  const auto expectRefused = [](const std::string& file, const std::string& error) {
    EXPECT_EQ(error.find(file + ": "), 0u) << "names the file: " << error;
    EXPECT_NE(error.find("built without libtiff"), std::string::npos) << error;
    EXPECT_EQ(error.find('\n'), std::string::npos) << error;
  };
  // A 4 x 2 field whose 16-bit samples differ in both bytes.
  const auto field = [](int bits) {
    std::vector<uint16_t> samples;
    for (int y = 0; y < 2; ++y)
      for (int x = 0; x < 4; ++x)
        samples.push_back(static_cast<uint16_t>(bits == 16 ? 0x1234 + 0x1111 * x + 0x4000 * y
                                                           : 10 + x + 100 * y));
    return samples;
  };
  HeightField f;
  std::string error;
  // libtiff writes them: 16 and 8 bits, compressed or not, either byte order.
  struct Tiff { const char* name; int bits; const char* compression; const char* order; };
  const Tiff tiffs[] = {{"h16.tif", 16, "none", "little"},
                        {"h16lzw-be.tif", 16, "lzw", "big"},
                        {"h8.tif", 8, "deflate", "little"}};
  for (const Tiff& t : tiffs) {
    ASSERT_TRUE(WriteTiff(dir, t.name, 4, 2, 1, t.bits, t.compression, t.order, field(t.bits)));
    const bool read = ReadHeightField(dir.File(t.name), &f, &error);
    if (!kReadsTiff) {
      EXPECT_FALSE(read) << t.name;
      expectRefused(dir.File(t.name), error);
      continue;
    }
    ASSERT_TRUE(read) << t.name << ": " << error;
    EXPECT_EQ(f.width, 4);
    EXPECT_EQ(f.height, 2);
    EXPECT_EQ(f.sourceBits, t.bits);
    if (t.bits == 16) {
      EXPECT_EQ(f.samples[1], 0x2345) << t.name;
      EXPECT_EQ(f.samples[7], 0x1234 + 0x3333 + 0x4000) << t.name;
    } else {
      EXPECT_EQ(f.samples[1], 11 * 257);
      EXPECT_EQ(f.samples[7], 113 * 257);
    }
  }
  // Colour TIFFs are not height fields.
  ASSERT_TRUE(WriteTiff(dir, "rgb.tif", 1, 1, 3, 8, "none", "little", {1, 2, 3}));
  EXPECT_FALSE(ReadHeightField(dir.File("rgb.tif"), &f, &error));
  if (kReadsTiff)
    EXPECT_NE(error.find("3 channel(s) of 8 bits"), std::string::npos) << error;
  else
    expectRefused(dir.File("rgb.tif"), error);

  // The program: the 16-bit TIFF gives the same map as the same field in PGM,
  // or a one-line refusal, a non-zero status and no map.
  Raster pgm;
  pgm.width = 4;
  pgm.height = 2;
  pgm.channels = 1;
  pgm.bits = 16;
  pgm.samples = field(16);
  ASSERT_TRUE(WriteRaster(dir.File("h16.pgm"), pgm, &error)) << error;
  const std::string render = std::string(KELVRA_HOST_BIN) + " render '";
  std::string out;
  ASSERT_EQ(RunCommand(render + dir.File("h16.pgm") + "' -o '" + dir.File("pgm-map.tif") + "'",
                       &out), 0) << out;
  const int status =
      RunCommand(render + dir.File("h16.tif") + "' -o '" + dir.File("tif-map.tif") + "'", &out);
  if (kReadsTiff) {
    EXPECT_EQ(status, 0) << out;
    EXPECT_EQ(ReadFileBytes(dir.File("tif-map.tif")), ReadFileBytes(dir.File("pgm-map.tif")));
  } else {
    EXPECT_NE(status, 0);
    // One line: the command's name, then the reader's refusal.
    const size_t at = out.find(dir.File("h16.tif") + ": ");
    ASSERT_NE(at, std::string::npos) << out;
    EXPECT_EQ(out.find('\n'), out.size() - 1) << out;
    expectRefused(dir.File("h16.tif"), out.substr(at, out.size() - 1 - at));
    EXPECT_FALSE(FileExists(dir.File("tif-map.tif")));
  }
}

TEST_F(KelvraHostImage, BrokenOversizedAndUnsuitableFilesGiveOneLineReasons) {
  ASSERT_TRUE(WritePng(dir, "wide.png", 32768, 1, kGrey, 8));
  ASSERT_TRUE(WritePng(dir, "limit.png", 32767, 1, kGrey, 16));
  ASSERT_TRUE(WritePng(dir, "rgb.png", 2, 2, kRgb, 8));
  ASSERT_TRUE(WritePng(dir, "greyalpha.png", 2, 2, kGreyAlpha, 8));
  ASSERT_TRUE(WritePng(dir, "rgb16.png", 2, 2, kRgb, 16));
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
