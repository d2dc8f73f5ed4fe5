// A cursor over (bytes, length) that cannot pass the end. Every read checks
// what is left; a read or skip that does not fit fails the cursor, and once
// failed it stays failed (reads then give 0), so a chain of reads needs one
// check at the end.
#pragma once

#include <cstdint>

namespace kelvra {

class ByteCursor {
 public:
  ByteCursor() = default;
  ByteCursor(const uint8_t* bytes, uint64_t length)
      : bytes_(bytes), length_(bytes == nullptr ? 0 : length) {}

  bool ok() const { return ok_; }
  uint64_t position() const { return at_; }
  uint64_t remaining() const { return length_ - at_; }
  const uint8_t* here() const { return bytes_ + at_; }

  bool Skip(uint64_t n) {
    Take(n);
    return ok_;
  }
  // The next n bytes, or null (and the cursor failed) when fewer remain.
  const uint8_t* Take(uint64_t n) {
    if (!ok_ || n > length_ - at_) {
      Fail();
      return nullptr;
    }
    const uint8_t* p = bytes_ + at_;
    at_ += n;
    return p;
  }
  // A cursor over the next n bytes; this one moves past them.
  ByteCursor Sub(uint64_t n) {
    const uint8_t* p = Take(n);
    ByteCursor sub(p, ok_ ? n : 0);
    if (!ok_) sub.Fail();
    return sub;
  }

  uint8_t U8() {
    const uint8_t* p = Take(1);
    return p == nullptr ? 0 : p[0];
  }
  uint16_t BE16() {
    const uint8_t* p = Take(2);
    return p == nullptr ? 0 : static_cast<uint16_t>(p[0] << 8 | p[1]);
  }
  int16_t S16() { return static_cast<int16_t>(BE16()); }
  uint32_t BE32() {
    const uint8_t* p = Take(4);
    return p == nullptr ? 0
                        : static_cast<uint32_t>(p[0]) << 24 |
                              static_cast<uint32_t>(p[1]) << 16 |
                              static_cast<uint32_t>(p[2]) << 8 | p[3];
  }
  int32_t S32() { return static_cast<int32_t>(BE32()); }

  void Fail() { ok_ = false; }

 private:
  const uint8_t* bytes_ = nullptr;
  uint64_t length_ = 0;
  uint64_t at_ = 0;
  bool ok_ = true;
};

}  // namespace kelvra
