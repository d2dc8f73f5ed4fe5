// The 128 x 128 preview: Do commands 20 (sample the slot-5 height image into
// the tile) and 21 (render the tile and save it as a flat document).
#pragma once

#include <cstdint>

#include "host/host.h"

namespace kelvra {

int32_t PreviewSample(host::HostContext context);  // command 20: always 0
// Command 21: the render result (0 or 1), 0 without a tile, -1 for a text
// too short to read.
int32_t PreviewRender(const char* text);

}  // namespace kelvra
