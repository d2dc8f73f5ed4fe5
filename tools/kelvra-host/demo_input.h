// The demo's bundled input, generated the same way on every run and in both
// builds (integer arithmetic, and float steps that SSE rounds identically).
#pragma once

#include "tools/kelvra-host/image_io.h"

namespace kelvra::tool {

// A square height field around the mid level 32768: a smooth bump, a ring,
// a bevelled plateau, a groove and a little grain.
HeightField MakeDemoHeights(int size);
// Bricks and mortar, the colour texture.
ColorImage MakeDemoTexture(int size);
// The texture lit from the upper left over the heights: what a host shows.
ColorImage ShadeTexture(const ColorImage& texture, const HeightField& heights);

}  // namespace kelvra::tool
