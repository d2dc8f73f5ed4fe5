// One output row of a map: heights from the row window to channel values,
// packed for the file or the raster. Used by RenderMap only.
//
// The work is split into a plain per-pixel path (render_rows.cpp), which
// follows the arithmetic step by step, and an SSE2 path for file rows
// (render_rows_sse2.cpp), which does the same arithmetic on four pixels at
// once with the same roundings and so gives the same bits. The vector path
// takes the leading columns in groups of four; the plain path finishes the
// row.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kelvra {

// Extra samples after each window row's two right borders, extra bytes after
// the file row and extra sums after each row of smoothed sums: room for
// vector loads and stores that run past the last pixel.
inline constexpr uint64_t kRowWindowSlack = 3 + 13;
inline constexpr uint64_t kRowBufferSlack = 64;
inline constexpr uint64_t kSumsSlack = 16;

struct RowParams {
  int32_t width;
  int32_t channels;  // 1 or 3
  int32_t bits;      // 8, 16 or 32
  bool isFloat;
  bool toFile;       // else a raster of 4-byte pixels
  bool smoothing;
  bool normalMode;
  int32_t codes[3];  // clamped to 0..102
  int32_t mid;       // M
  int32_t gain;      // K, 16.16
  float strength;    // s of the normal: R, or 16 R with smoothing
};

// Smoothed sums (the 1-2-1 kernel, weights 16) of the current and the
// previous output row, `width` + 1 each; RenderRow swaps them after a row.
struct RowSums {
  int32_t* current;
  int32_t* previous;
};

// `rows` are the window rows 0..3, each pointing at its left border sample.
// With `firstRow` the previous row's sums are formed from window rows 1..3.
void RenderRow(const RowParams& p, const uint16_t* const rows[4], RowSums& sums,
               bool firstRow, uint8_t* out);

// ---- the two paths ----------------------------------------------------------

// Smoothed sums at columns [begin, end) of the row `mid` (window layout:
// column k is sample k + 1), with the rows above and below it.
void SmoothedSumsPlain(const uint16_t* above, const uint16_t* mid, const uint16_t* below,
                       int32_t* out, int32_t begin, int32_t end);
// Columns [begin, end) of the output row.
void RenderPixelsPlain(const RowParams& p, const uint16_t* const rows[4], const RowSums& sums,
                       int32_t begin, int32_t end, uint8_t* out);

// The vector path: each returns how many leading columns it did (a multiple
// of four, at most `count` or `p.width`).
int32_t SmoothedSumsSse2(const uint16_t* above, const uint16_t* mid, const uint16_t* below,
                         int32_t* out, int32_t count);
// 0 when the request is not one the vector path covers (raster rows, or a
// mid level so far out that H - 16 M leaves 32 bits).
int32_t RenderPixelsSse2(const RowParams& p, const uint16_t* const rows[4], const RowSums& sums,
                         uint8_t* out);

}  // namespace kelvra
