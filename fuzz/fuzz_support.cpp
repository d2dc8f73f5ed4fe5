#include "fuzz/fuzz_support.h"

#include <ftw.h>
#include <unistd.h>

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

// Never destroyed either: the folder is removed from an exit handler.
std::string& Scratch() {
  static auto* dir = new std::string;
  return *dir;
}

int RemoveEntry(const char* path, const struct stat*, int, struct FTW*) {
  std::remove(path);
  return 0;
}

void RemoveScratch() {
  if (!Scratch().empty()) nftw(Scratch().c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
}

}  // namespace

const char* ScratchDir(const char* tag) {
  if (Scratch().empty()) {
    std::string pattern = std::string("/tmp/kelvra-fuzz-") + tag + "-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) __builtin_trap();
    Scratch() = pattern;
    std::atexit(RemoveScratch);
  }
  return Scratch().c_str();
}

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
