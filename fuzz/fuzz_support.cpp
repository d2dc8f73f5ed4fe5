#include "fuzz/fuzz_support.h"

#include <cstdio>

#include "plugin/accounting.h"
#include "services/test_seams.h"

namespace kelvra::fuzz {

void CheckNothingOutstanding(int keptTracked, int keptPlain) {
  for (const seams::ExportImbalance& e : seams::ExportImbalances()) {
    std::fprintf(stderr, "%s returned with tracked %d plain %d files %d, expected %d %d %d\n",
                 e.exportName.c_str(), e.actual.trackedBlocks, e.actual.plainBlocks,
                 e.actual.openFiles, e.expected.trackedBlocks, e.expected.plainBlocks,
                 e.expected.openFiles);
    std::abort();
  }
  const ResourceCount kept = KeptBetweenCalls();
  seams::Outstanding left = seams::Resources();
  if (left.trackedBlocks != kept.trackedBlocks + keptTracked ||
      left.plainBlocks != kept.plainBlocks + keptPlain || left.openFiles != 0) {
    std::fprintf(stderr, "outstanding: tracked %d plain %d files %d\n",
                 left.trackedBlocks, left.plainBlocks, left.openFiles);
    std::abort();
  }
}

}  // namespace kelvra::fuzz
