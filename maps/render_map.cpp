// The map renderer: argument rules, output setup, scale determination, the
// sliding window of four source rows, and the row loop. The per-pixel work
// lives in render_rows*.cpp and render_kernel.h.
#include "maps/render_map.h"

#include <emmintrin.h>

#include "maps/channel_codes.h"
#include "maps/render_rows.h"
#include "maps/tiff_header.h"
#include "services/services.h"

namespace kelvra {

namespace {

constexpr int32_t kReducedSide = 128;
constexpr uint32_t kReducedBytes = kReducedSide * kReducedSide * 2;
// File rows are gathered into writes of about this many bytes: each write
// call has a fixed cost that rows of a few KB would pay thousands of times,
// and a buffer of this size still stays in the processor's cache.
constexpr uint64_t kWriteBatchBytes = 256 * 1024;

int32_t ClampI32(int32_t v, int32_t lo, int32_t hi) {
  return v < lo ? lo : (v > hi ? hi : v);
}

// The strength steps as a factor, in double: that value enters every later
// product and quotient.
double StrengthFactor(int32_t strength) {
  if (strength < 0) return 1.0 + strength / 11.0;
  if (strength > 0) return 1.0 + strength * 0.25;
  return 1.0;
}

// A source row index brought into range: a true modulo with wrapped edges
// (so fields of one or two rows wrap too), the nearest edge row otherwise.
int32_t SourceRow(int32_t k, int32_t height, bool wrap) {
  if (wrap) {
    int32_t m = k % height;
    return m < 0 ? m + height : m;
  }
  return k < 0 ? 0 : (k >= height ? height - 1 : k);
}

// Measurements of modes 2 and 3 over a dense field of w x h samples, rows
// `stride` apart.
struct FieldView {
  const uint16_t* samples;
  int32_t w, h, stride;
};

// The largest difference between a sample and its right neighbour or the
// sample below, over the first w - 1 columns and h - 1 rows.
int32_t MaxSlope(const FieldView& f) {
  int32_t s = 0;
  for (int32_t y = 0; y + 1 < f.h; ++y) {
    const uint16_t* row = f.samples + static_cast<size_t>(y) * f.stride;
    const uint16_t* below = row + f.stride;
    for (int32_t x = 0; x + 1 < f.w; ++x) {
      int32_t dx = row[x] - row[x + 1];
      int32_t dy = row[x] - below[x];
      if (dx < 0) dx = -dx;
      if (dy < 0) dy = -dy;
      if (dx > s) s = dx;
      if (dy > s) s = dy;
    }
  }
  return s;
}

// The largest |sample - 32768| over the w x h samples in storage order.
int32_t MaxDeviation(const FieldView& f) {
  int32_t d = 0;
  for (int32_t y = 0; y < f.h; ++y) {
    const uint16_t* row = f.samples + static_cast<size_t>(y) * f.stride;
    for (int32_t x = 0; x < f.w; ++x) {
      int32_t v = row[x] - 32768;
      if (v < 0) v = -v;
      if (v > d) d = v;
    }
  }
  return d;
}

// The four window rows, each one left border sample, `rowLength` samples and
// two right border samples (plus slack for the vector loads). Row 0 holds the
// next output row, 1 the current one, 2 and 3 the two before. Loading a row
// moves the others down by rotating the row pointers, which leaves the same
// contents as moving the rows themselves. Each row remembers its source row;
// where the leading columns are read from there in place (DirectRows), a
// load copies only the samples from `fromColumn` on, the first two and the
// borders.
class RowWindow {
 public:
  bool Allocate(int32_t rowLength) {
    rowLength_ = rowLength;
    stride_ = SizeAdd(static_cast<uint64_t>(rowLength), kRowWindowSlack);
    block_ = static_cast<uint16_t*>(PlainAlloc(SizeMul(SizeMul(stride_, 4), 2)));
    if (block_ == nullptr) return false;
    for (int i = 0; i < 4; ++i) row_[i] = block_ + static_cast<size_t>(i) * stride_;
    // The slack is read by vector loads past the last column; keep it defined.
    for (size_t i = 0; i < 4 * stride_; ++i) block_[i] = 0;
    return true;
  }
  void Release() { PlainFree(block_); }

  void Load(const uint16_t* source, bool wrap, int32_t fromColumn = 0) {
    uint16_t* fresh = row_[3];
    row_[3] = row_[2];
    row_[2] = row_[1];
    row_[1] = row_[0];
    row_[0] = fresh;
    source_[3] = source_[2];
    source_[2] = source_[1];
    source_[1] = source_[0];
    source_[0] = source;
    const size_t n = static_cast<size_t>(rowLength_);
    const size_t from = static_cast<size_t>(fromColumn);
    MemCopy(fresh + 1 + from, source + from, (n - from) * 2);
    if (from > 0) {
      // The first column's smoothed sum covers the first two samples.
      fresh[1] = source[0];
      fresh[2] = source[1];
    }
    if (wrap) {
      fresh[0] = source[n - 1];
      fresh[n + 1] = source[0];
      // With one sample a row the second right border is that sample too.
      fresh[n + 2] = n >= 2 ? source[1] : source[0];
    } else {
      fresh[0] = source[0];
      fresh[n + 1] = source[n - 1];
      fresh[n + 2] = source[n - 1];
    }
  }
  const uint16_t* row(int i) const { return row_[i]; }
  const uint16_t* source(int i) const { return source_[i]; }

 private:
  int32_t rowLength_ = 0;
  size_t stride_ = 0;
  uint16_t* block_ = nullptr;
  uint16_t* row_[4] = {};
  const uint16_t* source_[4] = {};
};

}  // namespace

void BoxReduce128(const uint16_t* source, int32_t rowLength, int32_t xStep,
                  int32_t yStep, uint16_t* out, int32_t columns, int32_t rows) {
  // Steps below 0 count as 0: every reduced sample is then a corner sample.
  const int64_t xs = xStep < 0 ? 0 : xStep;
  const int64_t ys = yStep < 0 ? 0 : yStep;
  const int64_t nx = xs >> 16;
  const int64_t ny = ys >> 16;
  // The corner sample is counted twice: once alone, once in its box.
  const int64_t divisor = nx * ny + 1;
  size_t column[kReducedSide];  // c0 of each reduced column
  int64_t xPos = 0;
  // Corners past the last whole sample are held at it (their boxes are empty).
  for (int32_t i = 0; i < kReducedSide; ++i, xPos += xs) {
    column[i] = static_cast<size_t>((xPos >> 16) < columns ? (xPos >> 16) : columns - 1);
  }
  // Each box row of nx samples: groups of eight, less 32768 each (as signed
  // 16-bit values), summed in pairs by one multiply-add with ones into four
  // 32-bit lanes; the rest one by one. A pair lies in -65536..65534, so the
  // lanes are emptied into the 64-bit sums, with the 32768s given back,
  // before 32768 pairs can have reached one of them. Steps are below 2^31,
  // so nx and ny are below 2^15.
  const int32_t boxWidth = static_cast<int32_t>(nx);
  const int32_t wide = boxWidth / 8 * 8;
  const int32_t pairsPerRow = wide / 8;
  const int32_t rowsPerFlush = pairsPerRow == 0 ? INT32_MAX : 32767 / pairsPerRow;
  const __m128i zero = _mm_setzero_si128();
  const __m128i bias = _mm_set1_epi16(static_cast<int16_t>(-32768));
  const __m128i ones = _mm_set1_epi16(1);
  // The partial sums; every box row's last flush leaves them empty again.
  alignas(16) __m128i lanes[kReducedSide];
  for (__m128i& l : lanes) l = zero;
  int64_t yPos = 0;
  for (int32_t j = 0; j < kReducedSide; ++j, yPos += ys) {
    const int64_t r0 = (yPos >> 16) < rows ? (yPos >> 16) : rows - 1;
    const uint16_t* top = source + static_cast<size_t>(r0) * rowLength;
    // 64-bit sums: a large box of 65535s overflows 32 bits. The box rows are
    // summed source row by source row, so each row is read front to back.
    uint64_t sum[kReducedSide];
    for (int32_t i = 0; i < kReducedSide; ++i) sum[i] = top[column[i]];
    auto flush = [&](int32_t rowsSummed) {
      const int64_t given = static_cast<int64_t>(32768) * wide * rowsSummed;
      for (int32_t i = 0; i < kReducedSide; ++i) {
        alignas(16) int32_t part[4];
        _mm_store_si128(reinterpret_cast<__m128i*>(part), lanes[i]);
        const int64_t lanesSum = static_cast<int64_t>(part[0]) + part[1] + part[2] + part[3];
        sum[i] += static_cast<uint64_t>(lanesSum + given);
        lanes[i] = zero;
      }
    };
    int32_t pending = 0;
    for (int32_t y = 0; y < static_cast<int32_t>(ny); ++y) {
      const uint16_t* line = top + static_cast<size_t>(y) * rowLength;
      for (int32_t i = 0; i < kReducedSide; ++i) {
        const uint16_t* p = line + column[i];
        __m128i acc = lanes[i];
        for (int32_t k = 0; k < wide; k += 8) {
          const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + k));
          acc = _mm_add_epi32(acc, _mm_madd_epi16(_mm_xor_si128(v, bias), ones));
        }
        lanes[i] = acc;
        if (wide < boxWidth) {
          uint32_t rest = 0;  // at most 7 samples
          for (int32_t k = wide; k < boxWidth; ++k) rest += p[k];
          sum[i] += rest;
        }
      }
      if (++pending == rowsPerFlush) {
        flush(pending);
        pending = 0;
      }
    }
    flush(pending);
    for (int32_t i = 0; i < kReducedSide; ++i) {
      out[j * kReducedSide + i] = static_cast<uint16_t>(sum[i] / static_cast<uint64_t>(divisor));
    }
  }
}

int32_t RenderMap(const char* outputPath, const uint16_t* heights,
                  int32_t width, int32_t height, int32_t rowLength,
                  bool flipVertical, float midLevel, int32_t scaleMode,
                  float scale, int32_t channelCount, int32_t bitsPerSample,
                  int32_t code0, int32_t code1, int32_t code2, bool smoothing,
                  bool wrapEdges, int32_t strength, uint8_t* targetPixels,
                  float resolutionRatio) {
  const bool toFile = targetPixels == nullptr;

  // Refused before any file is touched: nothing to render, a source that
  // cannot hold the rows, sample sizes without a packing, and files whose
  // sizes do not fit the header's SHORT and LONG fields.
  if (width <= 0 || height <= 0 || rowLength < width || heights == nullptr) return 1;
  if (bitsPerSample != 8 && bitsPerSample != 16 && bitsPerSample != 32) return 1;

  // 1. Argument rules.
  RowParams p{};
  p.width = width;
  p.channels = channelCount == 1 ? 1 : 3;
  p.bits = bitsPerSample;
  p.isFloat = bitsPerSample == 32;
  p.toFile = toFile;
  p.smoothing = smoothing;
  p.vectorSet = toFile ? ChosenVectorSet() : VectorSet::kSse2;
  p.codes[0] = ClampI32(code0, 0, kMaxChannelCode);
  p.codes[1] = ClampI32(code1, 0, kMaxChannelCode);
  p.codes[2] = ClampI32(code2, 0, kMaxChannelCode);
  const int32_t mode = ClampI32(scaleMode, 0, 3);
  if (mode == 0) scale = 1.0f;
  const double e = StrengthFactor(strength);
  const float g = static_cast<float>(e * scale);
  int32_t k = RoundToInt32(static_cast<double>(g) * 65536.0);
  p.mid = RoundToInt32(static_cast<double>(midLevel) * 65536.0);
  p.normalMode = p.codes[0] >= kFirstNormalCode ||
                 (p.channels == 3 && (p.codes[1] >= kFirstNormalCode ||
                                      p.codes[2] >= kFirstNormalCode));
  if (p.normalMode) k = 65536;

  const uint64_t rowBytes =
      SizeMul(SizeMul(static_cast<uint64_t>(width), bitsPerSample / 8), p.channels);
  if (toFile) {
    if (outputPath == nullptr || width > 65535 || height > 65535) return 1;
    if (SizeMul(rowBytes, static_cast<uint64_t>(height)) > UINT32_MAX) return 1;
  } else if (mode >= 2 && (width > INT32_MAX / 512 || height > INT32_MAX / 512)) {
    return 1;  // the reduction's 16.16 steps would not fit
  }

  // 2. Output setup.
  FileHandle file = 0;
  if (toFile) {
    file = FileOpenOrCreate(outputPath, true);
    if (file == 0) return 1;
  }
  int32_t result = 1;
  uint8_t* header = nullptr;
  uint8_t* rowBuffer = nullptr;  // batchRows file rows, written together
  int32_t batchRows = 1;
  RowWindow window;
  bool windowAllocated = false;
  int32_t* sums = nullptr;
  uint16_t* reduced = nullptr;

  header = static_cast<uint8_t*>(PlainAlloc(kTiffHeaderBlockBytes));
  if (header == nullptr) goto finish;
  {
    const uint32_t headerBytes = BuildTiffHeader(width, height, p.channels,
                                                 bitsPerSample, header);
    if (toFile && FileWriteChecked(file, header, headerBytes) !=
                      static_cast<int32_t>(headerBytes)) {
      goto finish;
    }
  }
  if (toFile) {
    // rowBytes x height fits 32 bits, so batchRows x rowBytes does too.
    const uint64_t fit = kWriteBatchBytes / rowBytes;
    if (fit >= static_cast<uint64_t>(height)) {
      batchRows = height;
    } else if (fit > 1) {
      batchRows = static_cast<int32_t>(fit);
    }
    rowBuffer = static_cast<uint8_t*>(
        PlainAlloc(SizeAdd(SizeMul(rowBytes, static_cast<uint64_t>(batchRows)), kRowBufferSlack)));
    if (rowBuffer == nullptr) goto finish;
  }
  if (!window.Allocate(rowLength)) goto finish;
  windowAllocated = true;
  if (smoothing) {
    // Two rows of smoothed sums (current and previous), width + 1 each.
    sums = static_cast<int32_t*>(PlainAlloc(
        SizeMul(SizeMul(SizeAdd(static_cast<uint64_t>(width), kSumsSlack), 2), 4)));
    if (sums == nullptr) goto finish;
  }
  {
    float r = g == 0.0f ? 1.0f
                        : static_cast<float>(static_cast<double>(0.1f) / g);

    // 3. Scale determination.
    if (mode <= 1) {
      r = static_cast<float>(static_cast<double>(r) / resolutionRatio);
    } else {
      FieldView field{heights, width, height, width};  // dense: rows `width` apart
      const bool reduce = width > kReducedSide || height > kReducedSide;
      float ratio = resolutionRatio;
      if (reduce) {
        reduced = static_cast<uint16_t*>(PlainAlloc(kReducedBytes));
        if (reduced == nullptr) goto finish;
        const int32_t xStep = width * 512;
        const int32_t yStep = height * 512;
        BoxReduce128(heights, rowLength, xStep, yStep, reduced);
        field = {reduced, kReducedSide, kReducedSide, kReducedSide};
        const int64_t meanStepFixed = (static_cast<int64_t>(xStep) + yStep) >> 1;
        const float meanStep = static_cast<float>(meanStepFixed * (1.0 / 65536));
        ratio = static_cast<float>(1.0 / meanStep);
      }
      if (p.normalMode) {
        r = static_cast<float>(MaxSlope(field) / 65536.0);
        if (mode == 3 && g != 0.0f) {
          r = static_cast<float>(static_cast<double>(r) / g);
        } else if (e != 0.0) {
          r = static_cast<float>(r / e);
        } else {
          r = 0.0f;  // no strength at all: falls back to 1 below
        }
        if (reduce) r = static_cast<float>(static_cast<double>(r) * ratio);
        if (r == 0.0f) r = 1.0f;
      }
      const int32_t d = MaxDeviation(field);
      const float df = static_cast<float>(d / 65536.0);
      float x = df == 0.0f ? 1.0f : static_cast<float>(0.5 / df);
      if (mode == 3 && !p.normalMode) x = static_cast<float>(static_cast<double>(x) * g);
      k = RoundToInt32(static_cast<double>(static_cast<float>(x * e)) * 65536.0);
      PlainFree(reduced);
      reduced = nullptr;
    }
    p.gain = k;
    p.strength = smoothing ? static_cast<float>(16.0 * r) : r;
  }

  // 4-6. The row window and the rows.
  {
    auto sourceRow = [&](int32_t index) {
      return heights + static_cast<size_t>(SourceRow(index, height, wrapEdges)) * rowLength;
    };
    // The leading columns the vector path reads from the source rows in
    // place; the window copies only the rest.
    const int32_t direct = DirectColumns(p);
    if (flipVertical) {
      window.Load(sourceRow(height + 1), wrapEdges, direct);
      window.Load(sourceRow(height), wrapEdges, direct);
      window.Load(sourceRow(height - 1), wrapEdges, direct);
    } else {
      window.Load(sourceRow(-2), wrapEdges, direct);
      window.Load(sourceRow(-1), wrapEdges, direct);
      window.Load(sourceRow(0), wrapEdges, direct);
    }
    const size_t rasterRow = static_cast<size_t>(width) * 4;
    const uint32_t fileRow = static_cast<uint32_t>(rowBytes);
    RowSums rowSums{sums, sums == nullptr ? nullptr : sums + width + kSumsSlack};
    bool ok = true;
    for (int32_t j = 0; j < height && ok; ++j) {
      window.Load(sourceRow(flipVertical ? height - j - 2 : j + 1), wrapEdges, direct);
      const uint16_t* rows[4] = {window.row(0), window.row(1), window.row(2),
                                 window.row(3)};
      // A row's stores past its end land in the next row's place, which
      // that row rewrites, or in the buffer's slack.
      const int32_t inBatch = j % batchRows;
      uint8_t* out = toFile ? rowBuffer + static_cast<size_t>(fileRow) * inBatch
                            : targetPixels + rasterRow * j;
      // The next load's row goes along, to be asked into the cache while
      // this row renders.
      const DirectRows inPlace{
          {window.source(0), window.source(1), window.source(2), window.source(3)}, direct,
          sourceRow(flipVertical ? height - j - 3 : j + 2)};
      RenderRow(p, rows, rowSums, j == 0, out, inPlace);
      if (toFile && (inBatch == batchRows - 1 || j == height - 1)) {
        const uint32_t bytes = fileRow * static_cast<uint32_t>(inBatch + 1);
        ok = FileWriteChecked(file, rowBuffer, bytes) == static_cast<int32_t>(bytes);
      }
    }
    if (ok) result = 0;
    // A raster's first pixel is never pure black: it reads 1, 1, 1, 0 then.
    if (!toFile && targetPixels[0] == 0 && targetPixels[1] == 0 &&
        targetPixels[2] == 0) {
      targetPixels[0] = 1;
      targetPixels[1] = 1;
      targetPixels[2] = 1;
      targetPixels[3] = 0;
    }
  }

finish:
  // 7. Everything obtained is given back; an opened file is cut at what was
  // written, so a longer previous file does not keep its tail.
  PlainFree(reduced);
  PlainFree(sums);
  if (windowAllocated) window.Release();
  PlainFree(rowBuffer);
  PlainFree(header);
  if (toFile) FileClose(file, true);
  return result;
}

}  // namespace kelvra
