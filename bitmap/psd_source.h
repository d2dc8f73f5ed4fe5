// Where the bytes of a document come from when it is read: a block the
// caller holds in memory, or a file read piece by piece. Nothing here holds
// more of a file than the small windows its users hand it, so reading a
// document never needs memory in proportion to the file.
//
// Three layers:
//  - PsdSource: bytes at an offset, from memory (no copy) or from the file
//    (one seek and one read into the caller's buffer);
//  - SourceCursor: the fields of the document's structure through one shared
//    window, with the same failing rules as ByteCursor (it cannot pass the end
//    it was given, and once failed it stays failed);
//  - RowStream: the rows of one channel, one at a time, PackBits rows found
//    through the channel's byte-count table, with a window of its own.
#pragma once

#include <cstdint>

#include "services/services.h"

namespace kelvra {

class PsdSource {
 public:
  static PsdSource Memory(const uint8_t* bytes, uint64_t length) {
    PsdSource s;
    s.bytes_ = bytes;
    s.length_ = bytes == nullptr ? 0 : length;
    return s;
  }
  static PsdSource File(FileHandle file, uint64_t length) {
    PsdSource s;
    s.file_ = file;
    s.length_ = length;
    return s;
  }

  uint64_t length() const { return length_; }
  bool inMemory() const { return file_ == 0; }

  // The `n` bytes at `at`: in memory a pointer into the caller's block,
  // from a file a copy in `scratch` (at least n bytes). Null when they are
  // not all inside the document or the file cannot be read.
  const uint8_t* Fetch(uint64_t at, uint32_t n, uint8_t* scratch);

 private:
  const uint8_t* bytes_ = nullptr;
  uint64_t length_ = 0;
  FileHandle file_ = 0;
  uint64_t filePosition_ = 0;  // where the next read starts without a seek
};

// A window over a source for reading the document's structure. Requests of
// up to kBytes bytes are served from it; it refills from the requested
// offset on when they are not inside.
class SourceWindow {
 public:
  static constexpr uint32_t kBytes = 4096;
  explicit SourceWindow(PsdSource* source) : source_(source) {}
  PsdSource& source() { return *source_; }
  // The n (<= kBytes) bytes at `at`, or null when not all are there.
  const uint8_t* Get(uint64_t at, uint32_t n);

 private:
  PsdSource* source_;
  uint64_t start_ = 0;
  uint32_t held_ = 0;
  uint8_t buffer_[kBytes];
};

class SourceCursor {
 public:
  SourceCursor() = default;
  SourceCursor(SourceWindow* window, uint64_t at, uint64_t end)
      : window_(window), at_(at), end_(end) {}

  bool ok() const { return ok_; }
  uint64_t position() const { return at_; }
  uint64_t end() const { return end_; }
  uint64_t remaining() const { return ok_ ? end_ - at_ : 0; }

  bool Skip(uint64_t n) {
    if (!ok_ || n > end_ - at_) return Fail();
    at_ += n;
    return true;
  }
  // A cursor over the next n bytes; this one moves past them.
  SourceCursor Sub(uint64_t n) {
    SourceCursor sub(window_, at_, at_ + n);
    if (!Skip(n)) {
      sub.end_ = sub.at_;
      sub.Fail();
    }
    return sub;
  }
  // Copies the next n (<= SourceWindow::kBytes) bytes.
  bool Read(uint8_t* dst, uint32_t n);

  uint8_t U8() {
    uint8_t b[1] = {0};
    Read(b, 1);
    return b[0];
  }
  uint16_t BE16() {
    uint8_t b[2] = {0, 0};
    Read(b, 2);
    return static_cast<uint16_t>(b[0] << 8 | b[1]);
  }
  int16_t S16() { return static_cast<int16_t>(BE16()); }
  uint32_t BE32() {
    uint8_t b[4] = {0, 0, 0, 0};
    Read(b, 4);
    return static_cast<uint32_t>(b[0]) << 24 | static_cast<uint32_t>(b[1]) << 16 |
           static_cast<uint32_t>(b[2]) << 8 | b[3];
  }
  int32_t S32() { return static_cast<int32_t>(BE32()); }

  bool Fail() {
    ok_ = false;
    return false;
  }

 private:
  SourceWindow* window_ = nullptr;
  uint64_t at_ = 0;
  uint64_t end_ = 0;
  bool ok_ = true;
};

// One channel's samples over a rectangle of `rows` x `columns`: raw, or
// PackBits with a table of 2-byte row byte counts in front. The caller has
// checked the byte counts against the channel's length (CheckPackedRows), so
// every row lies inside the document.
struct RowStream {
  // Set up by the caller.
  uint64_t countsAt = 0;  // PackBits: the byte count of row 0
  uint64_t dataAt = 0;    // the first byte of row 0
  uint32_t rows = 0;
  uint32_t columns = 0;
  bool packed = false;
  // Windows from the work block; null when the source is in memory.
  uint8_t* counts = nullptr;  // kCountsHeld entries of 2 bytes
  uint8_t* data = nullptr;    // `capacity` bytes
  uint32_t capacity = 0;

  // Position: the next row and where its count and bytes are.
  uint32_t next = 0;
  uint64_t rowAt = 0;
  uint32_t countsFirst = 0;  // row of the first count held
  uint32_t countsHeld = 0;
  uint64_t dataStart = 0;    // document offset of data[0]
  uint32_t dataHeld = 0;

  static constexpr uint32_t kCountsHeld = 256;
  // Window bytes for a file, for rows of which at most `columns` samples
  // are wanted: a row is never read beyond 2 bytes a sample (no packet gives
  // fewer samples), and a larger window saves reads. Rows that need more
  // (a layer reaching far past the document's left edge) are decoded in
  // pieces.
  static uint32_t WindowBytes(uint32_t columns) {
    const uint64_t row = 2 * static_cast<uint64_t>(columns) + 2;
    return static_cast<uint32_t>(row > 32768 ? row : 32768);
  }

  void Start() {
    next = 0;
    rowAt = dataAt;
    countsFirst = countsHeld = 0;
    dataStart = 0;
    dataHeld = 0;
  }
  // Decodes samples first .. first + count - 1 of row r (>= every row read
  // before) into consecutive bytes at dst; false when the source cannot be
  // read or a row's packets end before the row does.
  bool ReadRow(PsdSource& source, uint32_t r, uint32_t first, uint32_t count, uint8_t* dst);

 private:
  bool Count(PsdSource& source, uint32_t row, uint32_t* n);
  bool UnpackInPieces(PsdSource& source, uint64_t at, uint32_t length, uint32_t samples,
                      uint32_t first, uint8_t* dst);
  const uint8_t* Bytes(PsdSource& source, uint64_t at, uint32_t n);
};

// Checks the byte-count table of a PackBits channel of `rows` x `columns`
// at `countsAt` through the window: every count can hold a row, and the rows,
// from `dataAt` on, end at or before `end`. On success `*dataEnd` is the end
// of the last row.
bool CheckPackedRows(SourceWindow& window, uint64_t countsAt, uint32_t rows, uint32_t columns,
                     uint64_t dataAt, uint64_t end, uint64_t* dataEnd);

}  // namespace kelvra
