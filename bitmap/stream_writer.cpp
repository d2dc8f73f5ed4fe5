#include "bitmap/stream_writer.h"

#include <cstring>

namespace kelvra {

StreamWriter::~StreamWriter() {
  // Finish normally runs first; this only covers a writer left unfinished.
  if (file_ != 0) FileClose(file_, true);
  TrackedFree(buffer_);
}

bool StreamWriter::Open(const char* path, const char* tag, uint32_t bufferBytes) {
  // The file services address a file with signed 32-bit positions, so a
  // document of 2 GiB or more cannot be written. It is refused as a block of
  // its size is in this process: the allocator turns the request down and
  // shows its box with the tag.
  if (length_ > INT32_MAX) {
    TrackedAlloc(kSizeOverflow, tag);
    return false;
  }
  if (bufferBytes == 0) bufferBytes = 1;
  capacity_ = length_ < bufferBytes ? static_cast<uint32_t>(length_) : bufferBytes;
  if (capacity_ == 0) capacity_ = 1;
  buffer_ = static_cast<uint8_t*>(TrackedAlloc(capacity_, tag));
  if (buffer_ == nullptr) return false;
  file_ = FileOpenOrCreate(path, true);
  if (file_ == 0) {
    TrackedFree(buffer_);
    buffer_ = nullptr;
    return false;
  }
  return true;
}

void StreamWriter::PutText(const char* text) {
  PutBytes(reinterpret_cast<const uint8_t*>(text), std::strlen(text));
}

void StreamWriter::PutBytes(const uint8_t* src, uint64_t n) {
  PutPieces(n, [src](uint8_t* dst, uint64_t first, uint32_t k) {
    std::memcpy(dst, src + first, k);
  });
}

void StreamWriter::PutZeros(uint64_t n) {
  PutPieces(n, [](uint8_t* dst, uint64_t, uint32_t k) { std::memset(dst, 0, k); });
}

bool StreamWriter::Flush() {
  if (at_ == 0 || stopped_) return !stopped_;
  const int32_t written = FileWriteChecked(file_, buffer_, at_);
  // A short write has shown its box; the file keeps what reached it.
  if (written < 0 || static_cast<uint32_t>(written) != at_) stopped_ = true;
  at_ = 0;
  return !stopped_;
}

int32_t StreamWriter::Finish() {
  if (file_ == 0) return -1;
  Flush();
  // Cut here, so an older and longer file loses its tail, also after a
  // short write.
  FileClose(file_, true);
  file_ = 0;
  TrackedFree(buffer_);
  buffer_ = nullptr;
  return !stopped_ && !overrun_ && produced_ == length_ ? 0 : -1;
}

}  // namespace kelvra
