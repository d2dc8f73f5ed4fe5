// The Windows build of kelvra-host has no libpng: PNG files are refused with
// a message that says what to use instead.
#include "tools/kelvra-host/png_codec.h"

namespace kelvra::tool {

bool HavePng() { return false; }

bool DecodePng(const std::vector<uint8_t>&, const std::string& name, Raster*,
               std::string* error) {
  *error = name + ": PNG files need the native build of kelvra-host; this "
           "Windows build reads and writes PGM/PPM only";
  return false;
}

bool EncodePng(const Raster&, std::vector<uint8_t>*, std::string* error) {
  *error = "PNG files need the native build of kelvra-host; this Windows build "
           "reads and writes PGM/PPM only";
  return false;
}

}  // namespace kelvra::tool
