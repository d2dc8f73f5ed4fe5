// A writer for documents whose length is known before the first byte: the
// bytes go to the file through one bounded buffer, field by field and piece
// by piece, so a document of any size needs no more memory than the buffer.
//
// Open obtains the buffer first and only then opens the file, so a failed
// allocation leaves the file untouched. The first short write stops the
// document: nothing more reaches the file and Finish cuts the file where the
// writing stopped. Finish reports success only when exactly the announced
// length was produced and every byte of it reached the file.
#pragma once

#include <cstddef>
#include <cstdint>

#include "services/services.h"

namespace kelvra {

// The buffer the writers use: large enough that a write costs little beside
// the copy into the file, small enough to stay in the caches.
inline constexpr uint32_t kStreamBufferBytes = 256u * 1024u;

class StreamWriter {
 public:
  explicit StreamWriter(uint64_t length) : length_(length) {}
  StreamWriter(const StreamWriter&) = delete;
  StreamWriter& operator=(const StreamWriter&) = delete;
  ~StreamWriter();

  // Obtains a buffer of min(length, bufferBytes) bytes from TrackedAlloc with
  // `tag`, then opens the file (created when missing, an existing one not
  // emptied). False when either fails: the allocator has shown its box, or
  // the file could not be opened (no box, the buffer is given back).
  bool Open(const char* path, const char* tag, uint32_t bufferBytes = kStreamBufferBytes);

  void PutU8(uint32_t v) {
    const uint8_t b = static_cast<uint8_t>(v);
    PutBytes(&b, 1);
  }
  void PutBE16(uint32_t v) {
    const uint8_t b[2] = {static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)};
    PutBytes(b, 2);
  }
  void PutBE32(uint32_t v) {
    const uint8_t b[4] = {static_cast<uint8_t>(v >> 24), static_cast<uint8_t>(v >> 16),
                          static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)};
    PutBytes(b, 4);
  }
  // Characters without a terminator: signatures and keys ("8BPS", "8BIM").
  void PutText(const char* text);
  void PutBytes(const uint8_t* src, uint64_t n);
  void PutZeros(uint64_t n);

  // `count` bytes made by `fill(dst, first, k)`, which writes the k bytes
  // first .. first + k - 1 of the run (counted from 0) to dst. The run is
  // cut where the buffer fills, so `fill` must accept any piece. Nothing is
  // made once the document has stopped.
  template <typename Fill>
  void PutPieces(uint64_t count, Fill fill) {
    if (count > length_ - produced_) overrun_ = true;
    uint64_t first = 0;
    while (first < count && Writable()) {
      if (at_ == capacity_ && !Flush()) break;
      uint64_t k = capacity_ - at_;
      if (k > count - first) k = count - first;
      if (k > length_ - produced_) k = length_ - produced_;
      fill(buffer_ + at_, first, static_cast<uint32_t>(k));
      at_ += static_cast<uint32_t>(k);
      produced_ += k;
      first += k;
    }
  }

  // Bytes produced so far (buffered or written).
  uint64_t produced() const { return produced_; }

  // Writes what is buffered, closes the file cut at the end of what was
  // written, gives the buffer back. 0 when exactly `length` bytes were
  // produced and all of them reached the file, else -1.
  int32_t Finish();

 private:
  // Still taking bytes: the file is open, no write was short and the
  // announced length has room.
  bool Writable() const { return file_ != 0 && !stopped_ && produced_ < length_; }
  // Writes the buffered bytes; false (and the document stops) on a short
  // write.
  bool Flush();

  uint64_t length_;
  uint8_t* buffer_ = nullptr;
  uint32_t capacity_ = 0;
  uint32_t at_ = 0;  // bytes in the buffer
  uint64_t produced_ = 0;
  FileHandle file_ = 0;
  bool stopped_ = false;  // a write was short: nothing more goes out
  bool overrun_ = false;  // more bytes were offered than announced
};

}  // namespace kelvra
