#include "plugin/accounting.h"

#include "editorlink/editor_state.h"

namespace kelvra {

ResourceCount KeptBetweenCalls() {
  // The editor link's working raster; the preview keeps no blocks yet.
  return {EditorKeptTrackedBlocks(), 0, 0, true};
}

}  // namespace kelvra
