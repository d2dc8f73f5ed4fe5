// Pictures of map TIFFs, in both builds: the map is first checked whole by
// InspectMapFile (one little-endian strip of the size its directory says),
// then its samples are scaled to 8 bits and written as PNG.
#include <cmath>
#include <cstring>

#include "tools/kelvra-host/image_io.h"
#include "tools/kelvra-host/map_files.h"

namespace kelvra::tool {

bool WriteMapView(const std::string& tiffPath, const std::string& imagePath, std::string* error) {
  MapFileInfo info;
  if (!InspectMapFile(tiffPath, &info, error)) return false;
  if ((info.channels != 1 && info.channels != 3) ||
      (info.bits != 8 && info.bits != 16 && info.bits != 32) || (info.bits == 32) != info.isFloat) {
    *error = tiffPath + ": not a map of 1 or 3 channels at 8, 16 or 32-bit float samples";
    return false;
  }
  std::vector<uint8_t> bytes;
  if (!ReadWholeFile(tiffPath, &bytes, error)) return false;
  // InspectMapFile measured the file: the strip lies wholly inside it.
  const uint8_t* data = bytes.data() + info.dataOffset;
  const size_t count = static_cast<size_t>(info.width) * info.height * info.channels;
  Raster view;
  view.width = info.width;
  view.height = info.height;
  view.channels = info.channels;
  view.bits = 8;
  view.samples.resize(count);
  for (size_t i = 0; i < count; ++i) {
    int v;
    if (info.bits == 8) {
      v = data[i];
    } else if (info.bits == 16) {
      const uint32_t s = data[2 * i] | uint32_t{data[2 * i + 1]} << 8;  // little-endian
      v = static_cast<int>((s * 255 + 32767) / 65535);
    } else {
      const uint32_t u = data[4 * i] | uint32_t{data[4 * i + 1]} << 8 |
                         uint32_t{data[4 * i + 2]} << 16 | uint32_t{data[4 * i + 3]} << 24;
      float f;
      std::memcpy(&f, &u, 4);
      const double d = std::isnan(f) ? 0.0 : f < 0 ? 0.0 : f > 1 ? 1.0 : f;
      v = static_cast<int>(std::lround(d * 255));
    }
    view.samples[i] = static_cast<uint16_t>(v);
  }
  return WriteRaster(imagePath, view, error);
}

}  // namespace kelvra::tool
