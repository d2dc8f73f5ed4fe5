// Patterns; see psd_pattern.h.
#include "bitmap/psd_pattern.h"

#include <cstring>

#include "bitmap/packbits.h"

namespace kelvra {

bool PatternScaleDrawn(double scale) {
  if (scale == 100) return true;
  for (uint32_t s : kCheckedPatternScales) {
    if (scale == s) return true;
  }
  return false;
}

namespace {

// One pattern's list of channels at `v` (after its version): the colour
// channels' places; any other channel written (transparency, masks) is not
// reproduced.
PatternFind ReadChannels(SourceCursor v, PsdPattern* p) {
  const uint32_t top = v.BE32(), left = v.BE32(), bottom = v.BE32(), right = v.BE32();
  const uint32_t count = v.BE32();
  if (!v.ok() || top != 0 || left != 0 || bottom != p->rows || right != p->columns) {
    return PatternFind::kUnreadable;
  }
  int32_t found = 0;
  for (uint64_t i = 0; i < uint64_t{count} + 2 && v.remaining() >= 4; ++i) {
    if (v.BE32() == 0) continue;  // not written
    SourceCursor ch = v.Sub(v.BE32());
    if (!v.ok()) return PatternFind::kUnreadable;
    if (ch.remaining() == 0) continue;
    if (i >= 3) return PatternFind::kUnsupported;
    const uint32_t depth = ch.BE32();
    const uint32_t t = ch.BE32(), l = ch.BE32(), b = ch.BE32(), r = ch.BE32();
    const uint16_t depth2 = ch.BE16();
    const uint8_t compression = ch.U8();
    if (!ch.ok() || depth != 8 || depth2 != 8 || t != 0 || l != 0 || b != p->rows ||
        r != p->columns || compression > 1) {
      return PatternFind::kUnreadable;
    }
    PsdPattern::Channel& c = p->channel[i];
    c.packed = compression == 1;
    c.countsAt = ch.position();
    c.end = ch.end();
    c.at = c.packed ? ch.position() + 2 * uint64_t{p->rows} : ch.position();
    const uint64_t need = c.packed ? 2 * uint64_t{p->rows} : uint64_t{p->rows} * p->columns;
    if (ch.remaining() < need) return PatternFind::kUnreadable;
    ++found;
  }
  return found == 3 ? PatternFind::kFound : PatternFind::kUnsupported;
}

// What takes a document coordinate to its place in a tile of `size` that
// starts at `origin`: (x + shift) mod size = (x - origin) mod size, with no
// negative operand.
uint64_t TileShift(int32_t origin, uint64_t size) {
  const int64_t n = static_cast<int64_t>(size);
  const int64_t r = static_cast<int64_t>(origin) % n;
  return static_cast<uint64_t>(n - (r < 0 ? r + n : r));
}

}  // namespace

PatternFind FindPattern(SourceWindow& window, uint64_t at, uint64_t end, const char* id,
                        uint32_t idLength, bool halfSize, PsdPattern* p) {
  SourceCursor c(&window, at, end);
  while (c.remaining() >= 4) {
    const uint32_t length = c.BE32();
    SourceCursor rec = c.Sub(length);
    if (!c.ok()) return PatternFind::kUnreadable;
    c.Skip(((4 - length % 4) % 4) < c.remaining() ? (4 - length % 4) % 4 : c.remaining());
    const uint32_t version = rec.BE32(), mode = rec.BE32();
    const uint16_t rows = rec.BE16(), columns = rec.BE16();
    rec.Skip(2 * uint64_t{rec.BE32()});  // name
    const uint8_t n = rec.U8();
    char own[255];
    rec.Read(reinterpret_cast<uint8_t*>(own), n);
    if (!rec.ok()) return PatternFind::kUnreadable;
    if (n != idLength || std::memcmp(own, id, n) != 0) continue;
    if (version != 1 || mode != 3 || rows == 0 || columns == 0 || rows > kMaxPatternSide ||
        columns > kMaxPatternSide || (halfSize && (rows % 2 != 0 || columns % 2 != 0))) {
      return PatternFind::kUnsupported;
    }
    p->rows = rows;
    p->columns = columns;
    if (rec.BE32() != 3) return PatternFind::kUnreadable;  // list version
    SourceCursor list = rec.Sub(rec.BE32());
    if (!rec.ok()) return PatternFind::kUnreadable;
    return ReadChannels(list, p);
  }
  return c.ok() ? PatternFind::kMissing : PatternFind::kUnreadable;
}

bool DecodePattern(SourceWindow& window, const PsdPattern& p, uint8_t* planes) {
  const uint64_t plane = uint64_t{p.rows} * p.columns;
  uint8_t packed[SourceWindow::kBytes];
  for (int32_t c = 0; c < 3; ++c) {
    const PsdPattern::Channel& ch = p.channel[c];
    SourceCursor counts(&window, ch.countsAt, ch.at);
    SourceCursor data(&window, ch.at, ch.end);
    for (uint32_t y = 0; y < p.rows; ++y) {
      uint8_t* row = planes + c * plane + uint64_t{y} * p.columns;
      if (!ch.packed) {
        if (!data.Read(row, p.columns)) return false;
        continue;
      }
      const uint16_t bytes = counts.BE16();
      if (!counts.ok() || bytes > sizeof packed || !data.Read(packed, bytes) ||
          !UnpackBitsRowPlain(packed, bytes, p.columns, 0, p.columns, row)) {
        return false;
      }
    }
  }
  return true;
}

void PatternRow(const uint8_t* planes, const PsdPattern& p, uint32_t scale, int32_t left,
                int32_t top, uint32_t y, uint32_t x0, uint32_t n, uint8_t* const out[3]) {
  const uint64_t w = p.columns, h = p.rows, plane = w * h;
  if (scale == 100) {
    const uint64_t dx = TileShift(left, w), dy = TileShift(top, h);
    const uint64_t row = ((y + dy) % h) * w;
    for (int32_t c = 0; c < 3; ++c) {
      for (uint32_t i = 0; i < n; ++i) out[c][i] = planes[c * plane + row + (x0 + i + dx) % w];
    }
    return;
  }
  // Half-size tile position (x, y) * 50 / scale, its fraction in 1/scale.
  const uint64_t s = scale, hw = w / 2, hh = h / 2;
  const uint64_t ny = uint64_t{y} * 50, iy = ny / s, fy = ny % s;
  const uint64_t rows[2] = {2 * (iy % hh) * w, 2 * ((iy + 1) % hh) * w};
  for (uint32_t i = 0; i < n; ++i) {
    const uint64_t nx = uint64_t{x0 + i} * 50, ix = nx / s, fx = nx % s;
    const uint64_t cols[2] = {2 * (ix % hw), 2 * ((ix + 1) % hw)};
    const uint64_t weight[2][2] = {{(s - fx) * (s - fy), fx * (s - fy)},
                                   {(s - fx) * fy, fx * fy}};
    for (int32_t c = 0; c < 3; ++c) {
      const uint8_t* tile = planes + c * plane;
      uint64_t sum = 0;
      for (int a = 0; a < 2; ++a) {
        for (int b = 0; b < 2; ++b) {
          const uint8_t* q = tile + rows[a] + cols[b];
          sum += weight[a][b] * (q[0] + q[1] + q[w] + q[w + 1]);
        }
      }
      const uint64_t den = 4 * s * s;
      out[c][i] = static_cast<uint8_t>((2 * sum + den) / (2 * den));
    }
  }
}

}  // namespace kelvra
