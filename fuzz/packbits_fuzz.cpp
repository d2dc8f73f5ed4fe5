// The PackBits row decoder against a plain reference: random rows of packets
// with random byte counts, row lengths and written windows. The source and
// the destination are blocks of exactly the sizes the decoder is told, so
// any read or write past either shows; the bytes between the written samples
// (the other three bytes of each pixel) must stay untouched.
#include <cstring>
#include <vector>

#include "bitmap/packbits.h"
#include "fuzz/fuzz_support.h"

using namespace kelvra;

namespace {

// Decodes the whole row as the packets define it: h > 0 copies h + 1 bytes,
// h <= 0 repeats the next byte 1 - h times (h = -128: 129 times); samples
// past the row's end are dropped. False when the bytes end before the row is
// complete.
bool Reference(const std::vector<uint8_t>& src, uint32_t rowSamples, std::vector<uint8_t>* row) {
  row->assign(rowSamples, 0);
  size_t in = 0;
  uint32_t at = 0;
  while (at < rowSamples) {
    if (in >= src.size()) return false;
    const int h = static_cast<int8_t>(src[in++]);
    if (h > 0) {
      for (int k = 0; k < h + 1 && at < rowSamples; ++k) {
        if (in >= src.size()) return false;
        (*row)[at++] = src[in++];
      }
    } else {
      if (in >= src.size()) return false;
      const uint8_t v = src[in++];
      for (int k = 0; k < 1 - h && at < rowSamples; ++k) (*row)[at++] = v;
    }
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Input in(data, size);
  const uint32_t rowSamples = static_cast<uint32_t>(in.Range(1, 3000));
  const uint32_t first = static_cast<uint32_t>(in.Range(0, static_cast<int32_t>(rowSamples) - 1));
  const uint32_t count = static_cast<uint32_t>(in.Range(0, static_cast<int32_t>(rowSamples - first)));
  const std::vector<uint8_t> src(in.rest(), in.rest() + in.restSize());

  // Exactly the source bytes, and exactly the destination bytes the window
  // touches (4 per sample, the last sample's three trailing bytes excluded).
  uint8_t* srcBlock = new uint8_t[src.size() + 1];
  if (!src.empty()) std::memcpy(srcBlock, src.data(), src.size());
  const size_t dstSize = count == 0 ? 1 : 4 * static_cast<size_t>(count) - 3;
  uint8_t* dst = new uint8_t[dstSize];
  std::memset(dst, 0xA5, dstSize);

  const bool ok = UnpackBitsRow(srcBlock, static_cast<uint32_t>(src.size()), rowSamples, first,
                                count, dst);
  std::vector<uint8_t> row;
  const bool refOk = Reference(src, rowSamples, &row);
  if (ok != refOk) __builtin_trap();
  for (size_t b = 0; b < dstSize; ++b) {
    if (b % 4 != 0 || count == 0) {
      if (dst[b] != 0xA5) __builtin_trap();  // a neighbouring byte was written
    } else if (ok && count > 0 && dst[b] != row[first + b / 4]) {
      __builtin_trap();
    }
  }
  fuzz::Note(ok ? "row complete" : "row incomplete");
  delete[] srcBlock;
  delete[] dst;
  return 0;
}
