#include "fuzz/fuzz_support.h"

#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>

#include "plugin/accounting.h"
#include "services/test_seams.h"

namespace kelvra::fuzz {

namespace {

// Never destroyed: the counts are printed from an exit handler.
std::map<std::string, long>& Counts() {
  static auto* counts = new std::map<std::string, long>;
  return *counts;
}

void PrintCounts() {
  for (const auto& [outcome, count] : Counts()) {
    std::fprintf(stderr, "%8ld  %s\n", count, outcome.c_str());
  }
}

}  // namespace

void Note(const char* outcome) {
  static const bool enabled = [] {
    if (std::getenv("KELVRA_FUZZ_STATS") == nullptr) return false;
    std::atexit(PrintCounts);
    return true;
  }();
  if (enabled) ++Counts()[outcome];
}

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
