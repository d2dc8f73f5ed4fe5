#include "fuzz/fuzz_support.h"

#include <cstdio>

#include "services/test_seams.h"

namespace kelvra::fuzz {

void CheckNothingOutstanding(int keptTracked, int keptPlain) {
  seams::Outstanding left = seams::Resources();
  if (left.trackedBlocks != keptTracked || left.plainBlocks != keptPlain ||
      left.openFiles != 0) {
    std::fprintf(stderr, "outstanding: tracked %d plain %d files %d\n",
                 left.trackedBlocks, left.plainBlocks, left.openFiles);
    std::abort();
  }
}

}  // namespace kelvra::fuzz
