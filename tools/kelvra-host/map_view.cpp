// Pictures of map TIFFs, read back through libtiff (native build).
#include <tiffio.h>

#include <cmath>
#include <cstring>

#include "tools/kelvra-host/image_io.h"
#include "tools/kelvra-host/map_files.h"

namespace kelvra::tool {

bool HaveMapViews() { return true; }

bool WriteMapView(const std::string& tiffPath, const std::string& imagePath, std::string* error) {
  TIFFSetWarningHandler(nullptr);
  TIFFSetErrorHandler(nullptr);
  TIFF* tif = TIFFOpen(tiffPath.c_str(), "r");
  if (tif == nullptr) {
    *error = tiffPath + ": libtiff cannot open it";
    return false;
  }
  uint32_t width = 0, height = 0;
  uint16_t spp = 1, bps = 8, format = SAMPLEFORMAT_UINT;
  TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &width);
  TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &height);
  TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &spp);
  TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &bps);
  TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLEFORMAT, &format);
  if ((spp != 1 && spp != 3) || (bps != 8 && bps != 16 && bps != 32) ||
      (bps == 32 && format != SAMPLEFORMAT_IEEEFP) || width == 0 || height == 0) {
    TIFFClose(tif);
    *error = tiffPath + ": not a map of 1 or 3 channels at 8, 16 or 32-bit float samples";
    return false;
  }
  Raster view;
  view.width = static_cast<int>(width);
  view.height = static_cast<int>(height);
  view.channels = spp;
  view.bits = 8;
  view.samples.resize(size_t{width} * height * spp);
  std::vector<uint8_t> row(TIFFScanlineSize(tif));
  for (uint32_t y = 0; y < height; ++y) {
    if (TIFFReadScanline(tif, row.data(), y) < 0) {
      TIFFClose(tif);
      *error = tiffPath + ": libtiff cannot read row " + std::to_string(y);
      return false;
    }
    uint16_t* out = view.samples.data() + size_t{y} * width * spp;
    for (uint32_t i = 0; i < width * spp; ++i) {
      int v;
      if (bps == 8) {
        v = row[i];
      } else if (bps == 16) {
        uint16_t s;
        std::memcpy(&s, row.data() + 2 * i, 2);
        v = (s * 255 + 32767) / 65535;
      } else {
        float f;
        std::memcpy(&f, row.data() + 4 * i, 4);
        double d = std::isnan(f) ? 0.0 : f < 0 ? 0.0 : f > 1 ? 1.0 : f;
        v = static_cast<int>(std::lround(d * 255));
      }
      out[i] = static_cast<uint16_t>(v);
    }
  }
  TIFFClose(tif);
  return WriteRaster(imagePath, view, error);
}

}  // namespace kelvra::tool
