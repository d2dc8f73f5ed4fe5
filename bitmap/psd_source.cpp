#include "bitmap/psd_source.h"

#include <cstring>

#include "bitmap/packbits.h"

namespace kelvra {

const uint8_t* PsdSource::Fetch(uint64_t at, uint32_t n, uint8_t* scratch) {
  if (at > length_ || n > length_ - at) return nullptr;
  if (file_ == 0) return bytes_ + at;
  if (n == 0) return scratch;
  if (at != filePosition_) {
    if (FileSeek(file_, at) < 0) return nullptr;
    filePosition_ = at;
  }
  const int32_t got = FileRead(file_, scratch, n);
  if (got < 0 || static_cast<uint32_t>(got) != n) {
    // Where the file now stands is not known: seek before the next read.
    filePosition_ = UINT64_MAX;
    return nullptr;
  }
  filePosition_ = at + n;
  return scratch;
}

const uint8_t* SourceWindow::Get(uint64_t at, uint32_t n) {
  PsdSource& s = *source_;
  if (n > kBytes || at > s.length() || n > s.length() - at) return nullptr;
  if (s.inMemory()) return s.Fetch(at, n, nullptr);
  if (at >= start_ && at - start_ + n <= held_) return buffer_ + (at - start_);
  const uint64_t left = s.length() - at;
  const uint32_t take = left < kBytes ? static_cast<uint32_t>(left) : kBytes;
  held_ = 0;
  if (s.Fetch(at, take, buffer_) == nullptr) return nullptr;
  start_ = at;
  held_ = take;
  return buffer_;
}

bool SourceCursor::Read(uint8_t* dst, uint32_t n) {
  if (!ok_ || n > end_ - at_) return Fail();
  const uint8_t* p = window_->Get(at_, n);
  if (p == nullptr) return Fail();
  std::memcpy(dst, p, n);
  at_ += n;
  return true;
}

bool CheckPackedRows(SourceWindow& window, uint64_t countsAt, uint32_t rows, uint32_t columns,
                     uint64_t dataAt, uint64_t end, uint64_t* dataEnd) {
  const uint64_t least = MinPackedRowBytes(columns);
  if (dataAt > end) return false;
  SourceCursor c(&window, countsAt, end);
  uint64_t sum = 0;
  for (uint32_t r = 0; r < rows; ++r) {
    const uint16_t n = c.BE16();
    if (!c.ok() || n < least) return false;
    sum += n;
  }
  if (sum > end - dataAt) return false;
  *dataEnd = dataAt + sum;
  return true;
}

bool RowStream::Count(PsdSource& source, uint32_t row, uint32_t* n) {
  if (source.inMemory()) {
    const uint8_t* p = source.Fetch(countsAt + 2 * static_cast<uint64_t>(row), 2, nullptr);
    if (p == nullptr) return false;
    *n = static_cast<uint32_t>(p[0] << 8 | p[1]);
    return true;
  }
  if (row < countsFirst || row - countsFirst >= countsHeld) {
    const uint32_t left = rows - row;
    const uint32_t take = left < kCountsHeld ? left : kCountsHeld;
    countsHeld = 0;
    if (source.Fetch(countsAt + 2 * static_cast<uint64_t>(row), 2 * take, counts) == nullptr) {
      return false;
    }
    countsFirst = row;
    countsHeld = take;
  }
  const uint8_t* p = counts + 2 * (row - countsFirst);
  *n = static_cast<uint32_t>(p[0] << 8 | p[1]);
  return true;
}

const uint8_t* RowStream::Bytes(PsdSource& source, uint64_t at, uint32_t n) {
  if (source.inMemory()) return source.Fetch(at, n, nullptr);
  if (n > capacity) return nullptr;
  if (at >= dataStart && at - dataStart + n <= dataHeld) return data + (at - dataStart);
  // Refill from here on, as much as the window holds and the document has.
  const uint64_t left = source.length() > at ? source.length() - at : 0;
  const uint32_t take = left < capacity ? static_cast<uint32_t>(left) : capacity;
  dataHeld = 0;
  if (take < n || source.Fetch(at, take, data) == nullptr) return nullptr;
  dataStart = at;
  dataHeld = take;
  return data;
}

bool RowStream::ReadRow(PsdSource& source, uint32_t r, uint32_t first, uint32_t count,
                        uint8_t* dst) {
  if (r >= rows || r < next) return false;
  if (!packed) {
    const uint64_t at = dataAt + static_cast<uint64_t>(r) * columns + first;
    next = r + 1;
    const uint8_t* p = Bytes(source, at, count);
    if (p == nullptr) return false;
    std::memcpy(dst, p, count);
    return true;
  }
  // Rows skipped over only move the position on by their counts.
  uint32_t n = 0;
  for (; next < r; ++next) {
    if (!Count(source, next, &n)) return false;
    rowAt += n;
  }
  if (!Count(source, r, &n)) return false;
  const uint64_t at = rowAt;
  rowAt += n;
  next = r + 1;
  // Only the row's samples up to the last one wanted are decoded, and no
  // sample takes more than 2 bytes; the rest of the count is never looked at.
  const uint32_t stop = first + count;
  const uint64_t most = 2 * static_cast<uint64_t>(stop);
  const uint32_t used = n < most ? n : static_cast<uint32_t>(most);
  if (source.inMemory() || used <= capacity) {
    const uint8_t* p = Bytes(source, at, used);
    if (p == nullptr) return false;
    return UnpackBitsRowPlain(p, used, stop, first, count, dst);
  }
  return UnpackInPieces(source, at, used, stop, first, dst);
}

// The same decoding as UnpackBitsRowPlain for a row whose bytes do not fit
// the window (a layer far wider than the document): packet by packet, long
// literals in window-sized pieces.
bool RowStream::UnpackInPieces(PsdSource& source, uint64_t at, uint32_t length, uint32_t samples,
                               uint32_t first, uint8_t* dst) {
  const uint64_t end = at + length;
  uint32_t done = 0;
  while (done < samples) {
    if (at >= end) return false;
    const uint8_t* head = Bytes(source, at++, 1);
    if (head == nullptr) return false;
    const int32_t h = static_cast<int8_t>(*head);
    uint32_t run = h > 0 ? static_cast<uint32_t>(h) + 1 : static_cast<uint32_t>(1 - h);
    if (run > samples - done) run = samples - done;
    if (h > 0) {
      if (end - at < run) return false;
      for (uint32_t k = 0; k < run;) {
        const uint32_t piece = run - k < capacity ? run - k : capacity;
        const uint8_t* p = Bytes(source, at + k, piece);
        if (p == nullptr) return false;
        for (uint32_t j = 0; j < piece; ++j) {
          const uint32_t sample = done + k + j;
          if (sample >= first) dst[sample - first] = p[j];
        }
        k += piece;
      }
      at += static_cast<uint32_t>(h) + 1 <= end - at ? static_cast<uint32_t>(h) + 1 : end - at;
    } else {
      if (at >= end) return false;
      const uint8_t* v = Bytes(source, at++, 1);
      if (v == nullptr) return false;
      for (uint32_t j = 0; j < run; ++j) {
        if (done + j >= first) dst[done + j - first] = *v;
      }
    }
    done += run;
  }
  return true;
}

}  // namespace kelvra
