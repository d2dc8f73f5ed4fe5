// A big-endian writer over a block whose size was computed up front. Each
// field of a layout table is one call, in table order. A write that would pass
// the end of the block writes nothing and marks the writer overflowed, so a
// size computed wrongly shows as a failed document instead of a heap overrun.
// Usable in constant evaluation (the template blocks are built that way).
#pragma once

#include <cstddef>
#include <cstdint>

namespace kelvra {

class ByteWriter {
 public:
  constexpr ByteWriter(uint8_t* begin, size_t capacity)
      : begin_(begin), capacity_(capacity) {}

  constexpr void PutU8(uint32_t v) {
    if (uint8_t* p = Take(1)) p[0] = static_cast<uint8_t>(v);
  }
  constexpr void PutBE16(uint32_t v) {
    if (uint8_t* p = Take(2)) {
      p[0] = static_cast<uint8_t>(v >> 8);
      p[1] = static_cast<uint8_t>(v);
    }
  }
  constexpr void PutBE32(uint32_t v) {
    if (uint8_t* p = Take(4)) {
      p[0] = static_cast<uint8_t>(v >> 24);
      p[1] = static_cast<uint8_t>(v >> 16);
      p[2] = static_cast<uint8_t>(v >> 8);
      p[3] = static_cast<uint8_t>(v);
    }
  }
  // Characters without a terminator: signatures and keys ("8BPS", "luni").
  constexpr void PutText(const char* text) {
    while (*text != 0) PutU8(static_cast<uint8_t>(*text++));
  }
  constexpr void PutBytes(const uint8_t* src, size_t n) {
    if (uint8_t* p = Take(n)) {
      for (size_t i = 0; i < n; ++i) p[i] = src[i];
    }
  }
  constexpr void PutZeros(size_t n) {
    if (uint8_t* p = Take(n)) {
      for (size_t i = 0; i < n; ++i) p[i] = 0;
    }
  }
  // Zero bytes up to the next multiple of `unit`, counted from `from`.
  constexpr void PadTo(size_t unit, size_t from = 0) {
    while ((at_ - from) % unit != 0 && !overflowed_) PutU8(0);
  }
  // Overwrites a 4-byte field written earlier at `offset`: a length slot that
  // is filled in once the bytes it counts have been written.
  constexpr void PatchBE32(size_t offset, uint32_t v) {
    if (offset + 4 > at_) {
      overflowed_ = true;
      return;
    }
    begin_[offset] = static_cast<uint8_t>(v >> 24);
    begin_[offset + 1] = static_cast<uint8_t>(v >> 16);
    begin_[offset + 2] = static_cast<uint8_t>(v >> 8);
    begin_[offset + 3] = static_cast<uint8_t>(v);
  }

  constexpr void PatchBE16(size_t offset, uint32_t v) {
    if (offset + 2 > at_) {
      overflowed_ = true;
      return;
    }
    begin_[offset] = static_cast<uint8_t>(v >> 8);
    begin_[offset + 1] = static_cast<uint8_t>(v);
  }

  // The next n bytes for the caller to fill (plane data), or null when they
  // would pass the end.
  constexpr uint8_t* Take(size_t n) {
    if (overflowed_ || n > capacity_ - at_) {
      overflowed_ = true;
      return nullptr;
    }
    uint8_t* p = begin_ + at_;
    at_ += n;
    return p;
  }

  constexpr size_t position() const { return at_; }
  constexpr bool overflowed() const { return overflowed_; }
  // True when exactly `expected` bytes were written and nothing overflowed.
  constexpr bool Produced(size_t expected) const {
    return !overflowed_ && at_ == expected;
  }

 private:
  uint8_t* begin_;
  size_t capacity_;
  size_t at_ = 0;
  bool overflowed_ = false;
};

}  // namespace kelvra
