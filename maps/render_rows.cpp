#include "maps/render_rows.h"

#include <cstring>

#include "maps/channel_codes.h"

namespace kelvra {

namespace {

// The 1-2-1 weighted 3 x 3 sum around sample i of window row `mid`, with the
// rows above and below it; total weight 16.
int32_t SmoothedSum(const uint16_t* above, const uint16_t* mid,
                    const uint16_t* below, size_t i) {
  auto line = [i](const uint16_t* r) {
    return r[i - 1] + 2 * r[i] + r[i + 1];
  };
  return line(above) + 2 * line(mid) + line(below);
}

// ((H - 16 M) x K) as a 64-bit product, shifted right by 16, truncated to 32
// bits, shifted right by 4. The product wraps rather than overflows for
// absurd mid levels, as the vector path's does.
int32_t Displacement(int32_t h, int32_t mid, int32_t gain) {
  int64_t a = static_cast<int64_t>(h) - 16 * static_cast<int64_t>(mid);
  int64_t product = static_cast<int64_t>(static_cast<uint64_t>(a) *
                                         static_cast<uint64_t>(static_cast<int64_t>(gain)));
  return static_cast<int32_t>(product >> 16) >> 4;
}

uint8_t RasterByte(int32_t v) {
  return v >= 65535 ? 255 : static_cast<uint8_t>(v >> 8);
}

void PackFileSample(int32_t bits, int32_t v, uint8_t* out) {
  switch (bits) {
    case 32: {
      float f = static_cast<float>(v * (1.0 / 65536));
      std::memcpy(out, &f, 4);  // little-endian, as the platform is
      break;
    }
    case 16:
      out[0] = static_cast<uint8_t>(v);
      out[1] = static_cast<uint8_t>(v >> 8);
      break;
    default:
      out[0] = static_cast<uint8_t>(v >> 8);
      break;
  }
}

}  // namespace

void SmoothedSumsPlain(const uint16_t* above, const uint16_t* mid, const uint16_t* below,
                       int32_t* out, int32_t begin, int32_t end) {
  for (int32_t k = begin; k < end; ++k) {
    out[k] = SmoothedSum(above, mid, below, static_cast<size_t>(k) + 1) + kSumsBias;
  }
}

void RenderPixelsPlain(const RowParams& p, const uint16_t* const rows[4], const RowSums& sums,
                       int32_t begin, int32_t end, uint8_t* out) {
  const uint16_t* cur = rows[1];
  const uint16_t* prev = rows[2];
  const size_t sampleBytes = static_cast<size_t>(p.bits / 8);
  const size_t pixelBytes = p.toFile ? sampleBytes * p.channels : 4;
  NormalComponents n = {0, 0, 0};
  for (int32_t k = begin; k < end; ++k) {
    const size_t i = static_cast<size_t>(k) + 1;
    int32_t h, gx, gy;
    if (p.smoothing) {
      const int32_t s = sums.current[k];
      h = s - kSumsBias;
      gx = s - sums.current[k + 1];
      gy = sums.previous[k] - s;
    } else {
      h = 16 * cur[i];
      gx = cur[i] - cur[i + 1];
      gy = prev[i] - cur[i];
    }
    if (p.normalMode) {
      const float fx = static_cast<float>(gx * (1.0 / 65536));
      const float fy = static_cast<float>(gy * (1.0 / 65536));
      n = ComponentsOf(SurfaceNormal(p.strength, fx, fy));
    }
    const int32_t disp = Displacement(h, p.mid, p.gain);
    uint8_t* px = out + pixelBytes * k;
    uint8_t bytes[3];
    for (int32_t c = 0; c < p.channels; ++c) {
      const int32_t v = ChannelValue(p.codes[c], disp, p.mid, n, p.isFloat);
      if (p.toFile) {
        PackFileSample(p.bits, v, px + sampleBytes * c);
      } else {
        bytes[c] = RasterByte(v);
      }
    }
    if (!p.toFile) {
      // Channel 0 is red (byte 2), channel 2 blue (byte 0); one channel is
      // grey. The fourth byte is never written.
      if (p.channels == 1) {
        px[0] = px[1] = px[2] = bytes[0];
      } else {
        px[0] = bytes[2];
        px[1] = bytes[1];
        px[2] = bytes[0];
      }
    }
  }
}

namespace {

// Smoothed sums at columns [0, count) of window row `first` + 1 with its
// neighbours `first` and `first` + 2. Columns 1 .. direct.columns come from
// the source rows in place (column k covers their samples k - 1 .. k + 1),
// the others from the window rows.
void RowOfSums(VectorSet set, const uint16_t* const rows[4], const DirectRows& direct, int first,
               int32_t* out, int32_t count) {
  const uint16_t* const* w = rows + first;
  int32_t from = 0;
  if (direct.columns > 0) {
    const uint16_t* const* s = direct.rows + first;
    SmoothedSumsPlain(w[0], w[1], w[2], out, 0, 1);
    // A multiple of 16 columns: the vector path does them all.
    SmoothedSumsVector(set, s[0], s[1], s[2], out + 1, direct.columns);
    from = 1 + direct.columns;
  }
  const int32_t done =
      SmoothedSumsVector(set, w[0] + from, w[1] + from, w[2] + from, out + from, count - from);
  SmoothedSumsPlain(w[0], w[1], w[2], out, from + done, count);
}

}  // namespace

void RenderRow(const RowParams& p, const uint16_t* const rows[4], RowSums& sums,
               bool firstRow, uint8_t* out, const DirectRows& direct) {
  if (p.smoothing) {
    // The sums at columns 0..width: the last one is the right neighbour's.
    RowOfSums(p.vectorSet, rows, direct, 0, sums.current, p.width + 1);
    if (firstRow) RowOfSums(p.vectorSet, rows, direct, 1, sums.previous, p.width);
  }
  const int32_t done = RenderPixelsVector(p, rows, sums, out, direct);
  RenderPixelsPlain(p, rows, sums, done, p.width, out);
  if (p.smoothing) {
    // This row's sums are the next row's previous ones.
    int32_t* t = sums.previous;
    sums.previous = sums.current;
    sums.current = t;
  }
}

}  // namespace kelvra
