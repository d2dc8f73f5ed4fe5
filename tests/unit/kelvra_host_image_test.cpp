// kelvra-host's image files: PNG through stb, PGM/PPM by hand, TIFF heights
// through libtiff and raw 16-bit heights, checked against independent
// writers and readers (libpng, libtiff, PIL) and against broken and
// oversized files.
#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <png.h>
#include <tiffio.h>

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

// libpng writes `samples` (numbers on the depth's scale, interleaved); with
// `trns` a tRNS chunk marks grey level or RGB colour `trns` transparent.
void WritePngSamples(const std::string& path, int w, int h, int type, int depth,
                     const std::vector<uint16_t>& samples, bool interlaced = false,
                     int trns = -1) {
  FILE* f = std::fopen(path.c_str(), "wb");
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  png_init_io(png, f);
  png_set_IHDR(png, info, w, h, depth, type,
               interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  if (trns >= 0) {
    png_color_16 colour{};
    colour.gray = colour.red = colour.green = colour.blue = static_cast<png_uint_16>(trns);
    png_set_tRNS(png, info, nullptr, 0, &colour);
  }
  png_write_info(png, info);
  int passes = png_set_interlace_handling(png);
  const size_t perRow = samples.size() / h;
  std::vector<uint8_t> row(perRow * (depth / 8));
  for (int pass = 0; pass < passes; ++pass)
    for (int y = 0; y < h; ++y) {
      for (size_t i = 0; i < perRow; ++i) {
        const uint16_t v = samples[y * perRow + i];
        if (depth == 16) {
          row[2 * i] = static_cast<uint8_t>(v >> 8);  // PNG is big-endian
          row[2 * i + 1] = static_cast<uint8_t>(v);
        } else {
          row[i] = static_cast<uint8_t>(v);
        }
      }
      png_write_row(png, row.data());
    }
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  std::fclose(f);
}

// libpng reads a PNG back: samples as numbers, channels and depth as stored.
Raster ReadPngWithLibpng(const std::string& path) {
  Raster r;
  FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return r;
  png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  png_init_io(png, f);
  png_read_info(png, info);
  r.width = static_cast<int>(png_get_image_width(png, info));
  r.height = static_cast<int>(png_get_image_height(png, info));
  r.channels = png_get_channels(png, info);
  r.bits = png_get_bit_depth(png, info);
  std::vector<uint8_t> row(png_get_rowbytes(png, info));
  for (int y = 0; y < r.height; ++y) {
    png_read_row(png, row.data(), nullptr);
    for (size_t i = 0; i < row.size(); i += r.bits / 8)
      r.samples.push_back(static_cast<uint16_t>(r.bits == 16 ? row[i] << 8 | row[i + 1] : row[i]));
  }
  png_read_end(png, nullptr);
  png_destroy_read_struct(&png, &info, nullptr);
  std::fclose(f);
  return r;
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
  struct Case { int type, channels; };
  const Case layouts[] = {{PNG_COLOR_TYPE_GRAY, 1}, {PNG_COLOR_TYPE_GRAY_ALPHA, 2},
                          {PNG_COLOR_TYPE_RGB, 3}, {PNG_COLOR_TYPE_RGB_ALPHA, 4}};
  for (int depth : {8, 16})
    for (const Case& c : layouts)
      for (bool interlaced : {false, true}) {
        const int w = 5, h = 3;
        const std::vector<uint16_t> samples = Distinct(w * h * c.channels, depth);
        const std::string name = "in" + std::to_string(depth) + "_" + std::to_string(c.channels) +
                                 (interlaced ? "i" : "") + ".png";
        WritePngSamples(dir.File(name), w, h, c.type, depth, samples, interlaced);
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
  WritePngSamples(dir.File("trns.png"), 3, 1, PNG_COLOR_TYPE_GRAY, 8, {7, 9, 7}, false, 9);
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
      Raster back = ReadPngWithLibpng(dir.File(name));
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

TEST_F(KelvraHostImage, RawAndTiffHeightFields) {
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

  // TIFF through libtiff: 16 and 8 bits, compressed or not, either byte order.
  struct Tiff { const char* name; int bits; uint16_t compression; const char* mode; };
  const Tiff tiffs[] = {{"h16.tif", 16, COMPRESSION_NONE, "w"},
                        {"h16lzw-be.tif", 16, COMPRESSION_LZW, "wb"},
                        {"h8.tif", 8, COMPRESSION_ADOBE_DEFLATE, "w"}};
  for (const Tiff& t : tiffs) {
    TIFF* tif = TIFFOpen(dir.File(t.name).c_str(), t.mode);
    ASSERT_NE(tif, nullptr);
    TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, 4);
    TIFFSetField(tif, TIFFTAG_IMAGELENGTH, 2);
    TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 1);
    TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, t.bits);
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
    TIFFSetField(tif, TIFFTAG_COMPRESSION, t.compression);
    TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, 1);
    for (uint32_t y = 0; y < 2; ++y) {
      uint16_t row16[4];
      uint8_t row8[4];
      for (int x = 0; x < 4; ++x) {
        row16[x] = static_cast<uint16_t>(0x1234 + 0x1111 * x + 0x4000 * y);
        row8[x] = static_cast<uint8_t>(10 + x + 100 * y);
      }
      ASSERT_EQ(TIFFWriteScanline(tif, t.bits == 16 ? static_cast<void*>(row16) : row8, y), 1);
    }
    TIFFClose(tif);
    ASSERT_TRUE(ReadHeightField(dir.File(t.name), &f, &error)) << t.name << ": " << error;
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
  TIFF* tif = TIFFOpen(dir.File("rgb.tif").c_str(), "w");
  TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, 1);
  TIFFSetField(tif, TIFFTAG_IMAGELENGTH, 1);
  TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 3);
  TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 8);
  TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
  TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
  uint8_t px[3] = {1, 2, 3};
  TIFFWriteScanline(tif, px, 0);
  TIFFClose(tif);
  EXPECT_FALSE(ReadHeightField(dir.File("rgb.tif"), &f, &error));
  EXPECT_NE(error.find("3 channel(s) of 8 bits"), std::string::npos) << error;
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
