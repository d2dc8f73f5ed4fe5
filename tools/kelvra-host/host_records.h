// Host records built from files: the simulated host's images, documents and
// context, filled from what kelvra-host read, and the edits read back.
#pragma once

#include <memory>

#include "hostsim/hostsim.h"
#include "tools/kelvra-host/image_io.h"

namespace kelvra::tool {

// A 16-bit height image with packed rows.
std::unique_ptr<hostsim::SimImage> MakeHeightImage(const HeightField& field);
// A 32-bit colour image whose pixels are the image's B, G, R, A words.
std::unique_ptr<hostsim::SimImage> MakeColorImage(const ColorImage& image);
// The host image's pixels back into `image` (same size).
void ReadBackColor(hostsim::SimImage& sim, ColorImage* image);

}  // namespace kelvra::tool
