// The steps the wide forms of the plane copy share around their vector loop:
// a cursor over pixels and samples, the pixels taken one by one up to an
// aligned load, and the tail. Internal linkage: each form's file is compiled
// for its own instruction set and keeps its own copy.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kelvra {
namespace {

// Pointers, not 64-bit counts: a 32-bit build has too few registers for
// 64-bit counters beside the vectors' addresses. `count` bytes of dst exist,
// so the count fits in a size_t.
struct PlaneCursor {
  const uint8_t* p;   // the next pixel
  uint8_t* out;       // its sample
  uint8_t* end;       // past the last sample
  int32_t byteOffset;

  PlaneCursor(const uint8_t* pixels, int32_t offset, uint64_t count, uint8_t* dst)
      : p(pixels), out(dst), end(dst + static_cast<size_t>(count)), byteOffset(offset) {}

  size_t left() const { return static_cast<size_t>(end - out); }

  // A load that straddles two cache lines costs two: pixels on 4-byte
  // boundaries are taken one by one up to an `align`-byte boundary first.
  void AlignTo(uintptr_t align) {
    if ((reinterpret_cast<uintptr_t>(p) & 3) != 0) return;
    for (; out != end && (reinterpret_cast<uintptr_t>(p) & (align - 1)) != 0; ++out, p += 4) {
      *out = p[byteOffset];
    }
  }

  void Rest() {
    for (; out != end; ++out, p += 4) *out = p[byteOffset];
  }
};

}  // namespace
}  // namespace kelvra
