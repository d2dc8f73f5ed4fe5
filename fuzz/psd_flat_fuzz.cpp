// LoadFromFile with the document's bytes in memory (the composite image, or
// the composite of the layers when there is no real one), with and without
// alpha, and once more with each of its allocations failing in turn. The
// input is the document itself, so the corpus holds real documents.
#include <vector>

#include "fuzz/fuzz_support.h"
#include "fuzz/psd_fuzz_support.h"
#include "services/test_seams.h"

using namespace kelvra;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 0xFFFFFFFFu) return 0;
  // Without a real composite the layers make the image, and small layers
  // can claim a large document: keep such rasters within the fuzzer's
  // memory and time (a composite of that size would not fit the input).
  if (size >= 26 && static_cast<uint64_t>(fuzz::BE32At(data + 14)) * fuzz::BE32At(data + 18) >
                        (1u << 22)) {
    return 0;
  }
  // The bytes in a block of exactly their size, so any read past them shows.
  std::vector<uint8_t> doc(data, data + size);
  const uint8_t* bytes = doc.empty() ? nullptr : doc.data();
  int succeeded = -1;  // a withAlpha value that read, if any
  for (bool withAlpha : {false, true}) {
    fuzz::Receiver r;
    const int32_t status =
        r.raster.LoadFromFile(nullptr, withAlpha, bytes, static_cast<uint32_t>(size));
    fuzz::CheckRead(status, r, bytes, size, withAlpha);
    if (status == 0) succeeded = withAlpha;
    fuzz::Note(status == 0 ? (withAlpha ? "read with alpha" : "read") : "refused");
  }
  if (succeeded >= 0) {
    // The same document when its work memory or its pixels cannot be had:
    // -1, the receiver untouched or without pixels.
    seams::ResetAll();
    fuzz::Receiver probe;
    const int before = seams::AllocationRequests();
    probe.raster.LoadFromFile(nullptr, succeeded == 1, bytes, static_cast<uint32_t>(size));
    const int used = seams::AllocationRequests() - before;
    if (used < 1) __builtin_trap();  // at least the pixels
    for (int nth = 1; nth <= used; ++nth) {
      fuzz::Receiver r;
      seams::FailNthAllocation(nth);
      const int32_t status =
          r.raster.LoadFromFile(nullptr, succeeded == 1, bytes, static_cast<uint32_t>(size));
      seams::FailNthAllocation(0);
      if (status != -1) __builtin_trap();
      if (!r.Unchanged() && r.raster.pixels != nullptr) __builtin_trap();
    }
  }
  seams::ResetAll();
  fuzz::CheckNothingOutstanding(0, 0);
  return 0;
}
