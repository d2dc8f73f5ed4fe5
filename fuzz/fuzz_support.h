// Helpers shared by the fuzz targets: a cursor that hands out fuzz bytes as
// values, and the resource check every target ends with.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace kelvra::fuzz {

class Input {
 public:
  Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  template <typename T>
  T Take() {
    T v{};
    size_t n = size_ - pos_ < sizeof v ? size_ - pos_ : sizeof v;
    if (n > 0) std::memcpy(&v, data_ + pos_, n);
    pos_ += n;
    return v;
  }
  int32_t Range(int32_t lo, int32_t hi) {  // inclusive
    uint32_t span = static_cast<uint32_t>(hi - lo) + 1u;
    return lo + static_cast<int32_t>(Take<uint32_t>() % span);
  }
  // One byte's worth of choice: for decisions taken many times per input,
  // so that inputs stay small. hi - lo must be below 256.
  int32_t Byte(int32_t lo, int32_t hi) {
    uint32_t span = static_cast<uint32_t>(hi - lo) + 1u;
    return lo + static_cast<int32_t>(Take<uint8_t>() % span);
  }
  const uint8_t* rest() const { return data_ + pos_; }
  size_t restSize() const { return size_ - pos_; }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

// A scratch folder for the files one target writes, made on first use and
// removed with everything in it when the process ends. `tag` names it.
const char* ScratchDir(const char* tag);

// Counts how many inputs reached an outcome worth knowing about ("moved",
// "stack grew"); with KELVRA_FUZZ_STATS set in the environment the counts are
// printed when the process ends, to show what a corpus exercises.
void Note(const char* outcome);

// Aborts when an export call returned with an imbalance, or when a tracked or
// plain block or a file is outstanding beyond what the library keeps between
// calls (and the blocks the target itself still holds).
void CheckNothingOutstanding(int keptTracked = 0, int keptPlain = 0);

}  // namespace kelvra::fuzz
