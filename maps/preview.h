// The 128 x 128 preview: Do commands 20 (sample the slot-5 height image into
// the tile) and 21 (render the tile and save it as a flat document).
#pragma once

#include <cstdint>

#include "host/host.h"

namespace kelvra {

class ABitMap;

// Command 20: always 0. A source that is no 16-bit image with pixels, or
// whose mean step is 0, keeps the previous tile.
int32_t PreviewSample(host::HostContext context);
// Command 21: the render result (0 or 1; 1 also when the raster's pixels
// cannot be had), 0 without a tile, -1 for a null text or one too short for
// what it must read (4 characters for the simple preview, 14 for the option
// preview).
int32_t PreviewRender(const char* text);

// Blocks the preview keeps between calls: the tile (plain) and the raster's
// pixels (tracked), once they exist.
int32_t PreviewKeptPlainBlocks();
int32_t PreviewKeptTrackedBlocks();

// The preview's state, for the native tests: read it, and give it back so
// that each test starts from the load-time state.
float PreviewRatioForTesting();
const uint16_t* PreviewTileForTesting();
const ABitMap& PreviewRasterForTesting();
void ReleasePreviewForTesting();

}  // namespace kelvra
