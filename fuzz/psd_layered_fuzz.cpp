// LoadLayeredFromFile through a file (the composite of the layers, or the
// composite image when there are no layers), with and without alpha, with
// each of its allocations failing in turn. The same bytes read from memory
// must give the same result and pixels as through the file (the reader's
// two sources), and a document without layers must read exactly as
// LoadFromFile reads it. The input is the document itself.
//
// Documents whose header claims more than 4 M pixels are skipped: the
// layered reader sizes its raster by the header, not by the data present (a
// small layer in a large document is legitimate), and the fuzzer's memory
// limit would report those allocations rather than the reader.
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "bitmap/psd_reader.h"
#include "fuzz/psd_fuzz_support.h"
#include "services/test_seams.h"

using namespace kelvra;

namespace {

// True when the document plainly has no layers, so that the layered reader
// must read the composite: a layer section length of 0, or a well-formed
// section whose layer info length or layer count is 0.
bool WithoutLayers(const std::vector<uint8_t>& d) {
  uint64_t at = 26;
  for (int skip = 0; skip < 2; ++skip) {  // colour mode data, image resources
    if (at + 4 > d.size()) return false;
    at += 4 + static_cast<uint64_t>(fuzz::BE32At(&d[at]));
  }
  if (at + 4 > d.size()) return false;
  const uint64_t section = fuzz::BE32At(&d[at]);
  if (section == 0) return true;
  if (section < 4 || at + 4 + section > d.size()) return false;
  const uint64_t info = fuzz::BE32At(&d[at + 4]);
  if (info == 0) return true;
  if (info < 2 || info > section - 4) return false;
  return d[at + 8] == 0 && d[at + 9] == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string path = std::string(fuzz::ScratchDir("layered")) + "/doc.psd";
  if (size >= 26) {
    const uint64_t pixels = static_cast<uint64_t>(fuzz::BE32At(data + 14)) * fuzz::BE32At(data + 18);
    if (pixels > (1u << 22)) return 0;
  }
  const std::vector<uint8_t> doc(data, data + size);
  FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return 0;
  if (size > 0) std::fwrite(data, 1, size, f);
  std::fclose(f);

  int succeeded = -1;
  for (bool withAlpha : {false, true}) {
    fuzz::Receiver r;
    const int32_t status = r.raster.LoadLayeredFromFile(path.c_str(), withAlpha);
    fuzz::CheckRead(status, r, doc.data(), size, withAlpha);
    if (status == 0) succeeded = withAlpha;
    fuzz::Note(status == 0 ? (withAlpha ? "read with alpha" : "read") : "refused");
    {
      // From memory: the same answer and the same pixels.
      fuzz::Receiver m;
      const PsdRead inMemory = ReadLayeredImage(doc.data(), size, withAlpha, &m.raster);
      if ((inMemory == PsdRead::kOk) != (status == 0)) __builtin_trap();
      if (status == 0 && (m.raster.width != r.raster.width || m.raster.height != r.raster.height ||
                          std::memcmp(m.raster.pixels, r.raster.pixels,
                                      r.raster.PixelCount() * 4) != 0)) {
        __builtin_trap();
      }
    }
    if (size >= 26 && WithoutLayers(doc)) {
      fuzz::Note("no layers: composite");
      fuzz::Receiver flat;
      const int32_t flatStatus = flat.raster.LoadFromFile(nullptr, withAlpha, doc.data(),
                                                          static_cast<uint32_t>(size));
      if (flatStatus != status) __builtin_trap();
      if (status == 0 &&
          (flat.raster.width != r.raster.width || flat.raster.height != r.raster.height ||
           std::memcmp(flat.raster.pixels, r.raster.pixels, r.raster.PixelCount() * 4) != 0)) {
        __builtin_trap();
      }
    }
  }
  if (succeeded >= 0) {
    // Each allocation of a successful read failing in turn (the layer
    // table, the work block, the pixels): -1, and the receiver untouched or,
    // once its pixels were given up, without pixels.
    seams::ResetAll();
    {
      fuzz::Receiver probe;
      const int before = seams::AllocationRequests();
      probe.raster.LoadLayeredFromFile(path.c_str(), succeeded == 1);
      const int used = seams::AllocationRequests() - before;
      for (int nth = 1; nth <= used; ++nth) {
        fuzz::Receiver r;
        seams::FailNthAllocation(nth);
        const int32_t status = r.raster.LoadLayeredFromFile(path.c_str(), succeeded == 1);
        seams::FailNthAllocation(0);
        if (status != -1) __builtin_trap();
        if (!r.Unchanged() && r.raster.pixels != nullptr) __builtin_trap();
      }
    }
  }
  seams::ResetAll();
  fuzz::CheckNothingOutstanding(0, 0);
  return 0;
}
