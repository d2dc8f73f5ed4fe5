#include "plugin/accounting.h"

#include "maps/preview.h"

namespace kelvra {

ResourceCount KeptBetweenCalls() {
  // The preview's tile and raster pixels; the editor link keeps no blocks yet.
  return {PreviewKeptTrackedBlocks(), PreviewKeptPlainBlocks(), 0, true};
}

}  // namespace kelvra
