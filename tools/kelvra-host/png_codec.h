// PNG encoding and decoding in memory (libpng). The Windows build has no
// libpng and carries png_none.cpp instead, whose functions refuse.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/kelvra-host/image_io.h"

namespace kelvra::tool {

// Decodes any PNG into 8- or 16-bit samples: palettes become RGB, grey of
// fewer than 8 bits becomes 8-bit grey, tRNS becomes an alpha channel.
bool DecodePng(const std::vector<uint8_t>& bytes, const std::string& name,
               Raster* out, std::string* error);
bool EncodePng(const Raster& raster, std::vector<uint8_t>* out, std::string* error);

}  // namespace kelvra::tool
