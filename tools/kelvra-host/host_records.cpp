#include "tools/kelvra-host/host_records.h"

#include <cstring>

namespace kelvra::tool {

std::unique_ptr<hostsim::SimImage> MakeHeightImage(const HeightField& field) {
  auto image = std::make_unique<hostsim::SimImage>(field.width, field.height, 16);
  std::memcpy(image->bytes(), field.samples.data(), field.samples.size() * 2);
  return image;
}

std::unique_ptr<hostsim::SimImage> MakeColorImage(const ColorImage& source) {
  auto image = std::make_unique<hostsim::SimImage>(source.width, source.height, 32);
  std::memcpy(image->bytes(), source.pixels.data(), source.pixels.size() * 4);
  return image;
}

void ReadBackColor(hostsim::SimImage& sim, ColorImage* image) {
  std::memcpy(image->pixels.data(), sim.bytes(), image->pixels.size() * 4);
}

}  // namespace kelvra::tool
