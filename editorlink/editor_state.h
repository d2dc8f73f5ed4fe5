// What LaunchEditor records for ReloadImage: the mode of the last export
// written and its file's stamp. Process-wide, zero at load; only LaunchEditor
// writes them.
#pragma once

#include <cstdint>

#include "bitmap/abitmap.h"

namespace kelvra {

extern constinit int32_t gLastEditorMode;
extern constinit int32_t gLastEditorStamp;  // 0: no stamp
// Released by ReleaseMemory and LaunchEditor; nothing gives it pixels.
extern constinit ABitMap gWorkRaster;

// Tracked blocks the editor link holds between calls: the working raster's
// pixels, if it has any.
int32_t EditorKeptTrackedBlocks();

// Back to the load-time state (native tests only).
void ResetEditorStateForTesting();

}  // namespace kelvra
