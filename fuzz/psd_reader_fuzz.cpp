// Both document readers on arbitrary bytes. The first byte chooses whether
// alpha is asked for; the rest is the document, copied to a block of exactly
// its length so that any read past its end is caught. A read either fails
// and leaves the receiver without pixels, or gives a raster of the size the
// header states.
#include <cstdlib>
#include <vector>

#include "bitmap/abitmap.h"
#include "bitmap/psd_reader.h"
#include "fuzz/fuzz_support.h"

using namespace kelvra;

namespace {

uint32_t BE32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) << 24 | p[1] << 16 | p[2] << 8 | p[3];
}

void Check(PsdRead result, ABitMap& raster, const std::vector<uint8_t>& doc) {
  if (result != PsdRead::kOk) {
    if (raster.pixels != nullptr) std::abort();
    return;
  }
  if (raster.pixels == nullptr || raster.bitsPerPixel != 32 ||
      static_cast<uint32_t>(raster.height) != BE32(doc.data() + 14) ||
      static_cast<uint32_t>(raster.width) != BE32(doc.data() + 18)) {
    std::abort();
  }
  // Every byte is defined: the sanitizers see a read of uninitialised or
  // unowned memory here.
  volatile uint32_t sum = 0;
  for (uint64_t i = 0; i < raster.PixelCount() * 4; ++i) sum = sum + raster.pixels[i];
  raster.Release();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const bool withAlpha = (data[0] & 1) != 0;
  std::vector<uint8_t> doc(data + 1, data + size);
  // The layered reader makes a raster of the document's size whatever the
  // layer holds; keep such rasters small enough for the fuzzer's memory.
  if (doc.size() >= 22 &&
      static_cast<uint64_t>(BE32(doc.data() + 14)) * BE32(doc.data() + 18) > (1u << 22)) {
    return 0;
  }
  ABitMap flat, layered;
  Check(ReadCompositeImage(doc.data(), doc.size(), withAlpha, &flat), flat, doc);
  Check(ReadLayeredImage(doc.data(), doc.size(), withAlpha, &layered), layered, doc);
  fuzz::CheckNothingOutstanding();
  return 0;
}
