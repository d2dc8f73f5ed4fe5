// PNG encoding and decoding in memory, in both builds (stb_image and
// stb_image_write).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/kelvra-host/image_io.h"

namespace kelvra::tool {

// Decodes any PNG into 8- or 16-bit samples: palettes become RGB, grey of
// fewer than 8 bits becomes 8-bit grey, tRNS becomes an alpha channel.
// 16-bit samples come back as numbers (the file's big-endian order undone).
bool DecodePng(const std::vector<uint8_t>& bytes, const std::string& name,
               Raster* out, std::string* error);
// 8-bit rasters through stb_image_write; 16-bit ones as 16-bit PNG whose
// data stb's deflate compresses.
bool EncodePng(const Raster& raster, std::vector<uint8_t>* out, std::string* error);

}  // namespace kelvra::tool
