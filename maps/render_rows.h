// One output row of a map: heights from the row window to channel values,
// packed for the file or the raster. Used by RenderMap only.
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

}  // namespace kelvra
