// The Windows build has no libtiff: map pictures are refused.
#include "tools/kelvra-host/map_files.h"

namespace kelvra::tool {

bool HaveMapViews() { return false; }

bool WriteMapView(const std::string&, const std::string&, std::string* error) {
  *error = "pictures of maps need the native build of kelvra-host (libtiff and libpng)";
  return false;
}

}  // namespace kelvra::tool
