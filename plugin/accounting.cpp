#include "plugin/accounting.h"

#include "editorlink/editor_state.h"
#include "maps/preview.h"

namespace kelvra {

ResourceCount KeptBetweenCalls() {
  // The preview's tile and raster pixels, and the editor link's working
  // raster.
  return {PreviewKeptTrackedBlocks() + EditorKeptTrackedBlocks(), PreviewKeptPlainBlocks(), 0,
          true};
}

}  // namespace kelvra
