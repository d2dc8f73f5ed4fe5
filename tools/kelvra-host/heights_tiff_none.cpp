// The Windows build carries no libtiff: TIFF height fields are refused with
// a message naming what to use instead.
#include "tools/kelvra-host/image_io.h"

namespace kelvra::tool {

bool ReadTiffHeights(const std::string& path, HeightField*, std::string* error) {
  *error = path + ": TIFF height fields need the native build of kelvra-host; save it as "
                  "16-bit PNG or raw 16-bit (.r16)";
  return false;
}

}  // namespace kelvra::tool
