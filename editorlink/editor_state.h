// What LaunchEditor records for ReloadImage and for its own next call: the
// mode of the last export written, its file's stamp and its path.
// Process-wide, zero at load; only LaunchEditor writes them.
#pragma once

#include <cstdint>

#include "bitmap/abitmap.h"
#include "editorlink/editor_notes.h"

namespace kelvra {

extern constinit int32_t gLastEditorMode;
extern constinit int32_t gLastEditorStamp;  // 0: no stamp
// Empty when no export was written or its path was longer than
// kEditorPathChars: the stamp then vouches for no file.
extern constinit char gLastEditorPath[kEditorPathChars + 1];
// Released by ReleaseMemory and LaunchEditor; nothing gives it pixels.
extern constinit ABitMap gWorkRaster;

// Tracked blocks the editor link holds between calls: the working raster's
// pixels, if it has any.
int32_t EditorKeptTrackedBlocks();

// Back to the load-time state (native tests only).
void ResetEditorStateForTesting();

}  // namespace kelvra
