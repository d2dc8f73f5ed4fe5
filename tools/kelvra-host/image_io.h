// Image files for kelvra-host, the same in both builds: PNG (through stb) and
// binary PGM/PPM (P5, P6).
//
// Readers recognise the format by the file's first bytes, writers by the
// name's extension (.png, .pgm, .ppm, .pnm). Writers never leave a partial
// file under the final name: they write a temporary file beside it and
// rename it when every byte is on disk.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kelvra::tool {

// The host's images hold their size in signed 16-bit fields.
inline constexpr int kMaxImageSide = 32767;

// Samples as read: interleaved, `channels` per pixel (1 grey, 2 grey and
// alpha, 3 RGB, 4 RGBA), each on the scale of `bits` (8: 0..255, 16: 0..65535).
struct Raster {
  int width = 0;
  int height = 0;
  int channels = 1;
  int bits = 8;
  std::vector<uint16_t> samples;
};

// A height field: unsigned 16-bit samples, rows `width` apart.
struct HeightField {
  int width = 0;
  int height = 0;
  std::vector<uint16_t> samples;
  int sourceBits = 16;  // 8 when the file held 8-bit samples (widened x257)
};

// A colour image as the host keeps it: one 32-bit word per pixel whose bytes
// in memory are blue, green, red, alpha (the colour is the low 24 bits).
struct ColorImage {
  int width = 0;
  int height = 0;
  std::vector<uint32_t> pixels;
  bool grey = false;   // read from a grey file
  bool alpha = false;  // read from a file with transparency (kept in byte 3)
};

inline uint32_t PackBgra(int r, int g, int b, int a) {
  return static_cast<uint32_t>(b) | static_cast<uint32_t>(g) << 8 |
         static_cast<uint32_t>(r) << 16 | static_cast<uint32_t>(a) << 24;
}

// Each returns false with a one-line reason naming the file in `error`.
bool ReadRaster(const std::string& path, Raster* out, std::string* error);
bool WriteRaster(const std::string& path, const Raster& raster, std::string* error);

// A height field from PNG or PGM (grey only), from an 8- or 16-bit grey TIFF
// (native build), or from raw little-endian 16-bit samples: with `raw` set,
// any file of exactly raw->width x raw->height samples; without it, a file
// named .r16 whose length makes a square.
struct RawSize {
  int width = 0;
  int height = 0;
};
bool ReadHeightField(const std::string& path, HeightField* out, std::string* error,
                     const RawSize* raw = nullptr);
// "WxH" (both 1..kMaxImageSide) as --raw takes it.
bool ParseRawSize(const std::string& text, RawSize* out, std::string* error);
// Raw little-endian 16-bit samples, rows top-down without gaps.
bool DecodeRawHeights(const std::vector<uint8_t>& bytes, const std::string& name,
                      const RawSize* raw, HeightField* out, std::string* error);
// TIFF height fields through libtiff; a build without libtiff refuses them.
bool ReadTiffHeights(const std::string& path, HeightField* out, std::string* error);
bool ReadColorImage(const std::string& path, ColorImage* out, std::string* error);
// Writes grey (with alpha) when the image was read grey and still is, RGB
// (with alpha) otherwise; a PGM name that now needs colour gets PPM content.
bool WriteColorImage(const std::string& path, const ColorImage& image, std::string* error);

// Conversions, exposed for the tests.
bool RasterToHeightField(const Raster& raster, const std::string& name,
                         HeightField* out, std::string* error);
bool RasterToColorImage(const Raster& raster, const std::string& name,
                        ColorImage* out, std::string* error);
Raster ColorImageToRaster(const ColorImage& image);
Raster HeightFieldToRaster(const HeightField& field);

// Whole files, written through a temporary name and renamed.
bool ReadWholeFile(const std::string& path, std::vector<uint8_t>* bytes, std::string* error);
bool WriteFileAtomically(const std::string& path, const std::vector<uint8_t>& bytes,
                         std::string* error);
// Renames `from` to `to`, replacing `to`; false with a reason.
bool MoveIntoPlace(const std::string& from, const std::string& to, std::string* error);

// Lower-case extension with the dot (".png"), or "".
std::string Extension(const std::string& path);

}  // namespace kelvra::tool
