// Checks of the files the library wrote, before they are reported as done,
// and viewable renderings of them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kelvra::tool {

// What the first directory of a map TIFF says, and whether the file holds
// all of it.
struct MapFileInfo {
  int width = 0;
  int height = 0;
  int channels = 0;
  int bits = 0;
  bool isFloat = false;
  uint32_t dataOffset = 0;
  uint32_t dataBytes = 0;
  uint64_t fileBytes = 0;
};

// False with a reason when the file is not a little-endian single-strip
// TIFF or is shorter or longer than its strip says.
bool InspectMapFile(const std::string& path, MapFileInfo* info, std::string* error);

// A flat document of three 8-bit planes, red, green and blue, as the preview
// is saved; `rgb` receives interleaved samples when not null.
struct FlatDocInfo {
  int width = 0;
  int height = 0;
  int channels = 0;
  uint64_t fileBytes = 0;
};
bool InspectFlatDocument(const std::string& path, FlatDocInfo* info,
                         std::vector<uint8_t>* rgb, std::string* error);

// Writes an 8-bit PNG picture of a map TIFF (grey or RGB; 16-bit samples
// scaled, float samples clamped to 0..1).
bool WriteMapView(const std::string& tiffPath, const std::string& imagePath, std::string* error);

}  // namespace kelvra::tool
