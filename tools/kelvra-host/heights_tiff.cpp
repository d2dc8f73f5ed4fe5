// Height fields from TIFF through libtiff (native build): one grey channel
// of 8- or 16-bit unsigned samples, in strips, any compression libtiff reads.
#include <tiffio.h>

#include <cstring>

#include "tools/kelvra-host/image_io.h"

namespace kelvra::tool {

bool ReadTiffHeights(const std::string& path, HeightField* out, std::string* error) {
  TIFFSetWarningHandler(nullptr);
  TIFFSetErrorHandler(nullptr);
  TIFF* tif = TIFFOpen(path.c_str(), "r");
  if (tif == nullptr) {
    *error = path + ": libtiff cannot open it";
    return false;
  }
  auto refuse = [&](const std::string& why) {
    TIFFClose(tif);
    *error = path + ": " + why;
    return false;
  };
  uint32_t width = 0, height = 0;
  uint16_t spp = 1, bps = 1, format = SAMPLEFORMAT_UINT, photometric = PHOTOMETRIC_MINISBLACK;
  TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &width);
  TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &height);
  TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &spp);
  TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &bps);
  TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLEFORMAT, &format);
  TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &photometric);
  if (spp != 1 || (bps != 8 && bps != 16) || format != SAMPLEFORMAT_UINT ||
      photometric != PHOTOMETRIC_MINISBLACK)
    return refuse("a height field must be a grey TIFF of 8- or 16-bit unsigned samples (this one: " +
                  std::to_string(spp) + " channel(s) of " + std::to_string(bps) + " bits)");
  if (width == 0 || height == 0)
    return refuse("the image is empty (" + std::to_string(width) + " x " +
                  std::to_string(height) + ")");
  if (width > static_cast<uint32_t>(kMaxImageSide) || height > static_cast<uint32_t>(kMaxImageSide))
    return refuse(std::to_string(width) + " x " + std::to_string(height) +
                  " is larger than the host's limit of " + std::to_string(kMaxImageSide) +
                  " pixels a side");
  if (TIFFIsTiled(tif)) return refuse("tiled TIFF files are not read; save it in strips");
  const tmsize_t rowBytes = TIFFScanlineSize(tif);
  if (rowBytes < static_cast<tmsize_t>(width) * (bps / 8))
    return refuse("damaged TIFF directory");
  HeightField f;
  f.width = static_cast<int>(width);
  f.height = static_cast<int>(height);
  f.sourceBits = bps;
  f.samples.resize(static_cast<size_t>(width) * height);
  std::vector<uint8_t> row(static_cast<size_t>(rowBytes));
  for (uint32_t y = 0; y < height; ++y) {
    if (TIFFReadScanline(tif, row.data(), y) < 0)
      return refuse("libtiff cannot read row " + std::to_string(y));
    uint16_t* dst = f.samples.data() + static_cast<size_t>(y) * width;
    for (uint32_t x = 0; x < width; ++x) {
      if (bps == 8) {
        dst[x] = static_cast<uint16_t>(row[x] * 257);  // widened as 8-bit PNG and PGM are
      } else {
        uint16_t v;  // libtiff hands 16-bit samples over in the machine's order
        std::memcpy(&v, row.data() + 2 * x, 2);
        dst[x] = v;
      }
    }
  }
  TIFFClose(tif);
  *out = std::move(f);
  return true;
}

}  // namespace kelvra::tool
