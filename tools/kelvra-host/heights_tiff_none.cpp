// A kelvra-host built without libtiff (the Windows build, and a native build
// where the 32-bit libtiff is not installed) refuses TIFF height fields with a
// message naming what to use instead.
#include "tools/kelvra-host/image_io.h"

namespace kelvra::tool {

bool ReadTiffHeights(const std::string& path, HeightField*, std::string* error) {
  *error = path + ": this kelvra-host was built without libtiff, which TIFF height fields need; save it as "
                  "16-bit PNG or raw 16-bit (.r16)";
  return false;
}

}  // namespace kelvra::tool
