// One output row of a map: heights from the row window to channel values,
// packed for the file or the raster. Used by RenderMap only.
//
// The work is split into a plain per-pixel path (render_rows.cpp), which
// follows the arithmetic step by step, and a vector path for file rows
// (render_rows_sse2.cpp with the kernel of render_kernel.h, in SSE2 or, where
// the processor has them, AVX2 or AVX-512), which does the same arithmetic
// on many pixels at once with the same roundings and so gives the same bits.
// The vector path takes the leading columns in groups of four; the plain
// path finishes the row, and takes raster rows and the rare requests the
// vector path leaves (RenderPixelsVector).
#pragma once

#include <cstddef>
#include <cstdint>

#include "services/vector_sets.h"

namespace kelvra {

// Extra samples after each window row's two right borders, extra bytes after
// the file row and extra sums after each row of smoothed sums: room for
// vector loads and stores that run past the last pixel.
inline constexpr uint64_t kRowWindowSlack = 3 + 13;
inline constexpr uint64_t kRowBufferSlack = 64;
inline constexpr uint64_t kSumsSlack = 16;

struct RowParams {
  int32_t width;
  VectorSet vectorSet;
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
// Each sum S (below 2^20) is kept as S + kSumsBias, the bit pattern of the
// float 2^23 + S: the vector kernel takes gradients as exact differences of
// those floats, integer differences are unchanged, and the height is the
// word less kSumsBias.
inline constexpr int32_t kSumsBias = 0x4B000000;
struct RowSums {
  int32_t* current;
  int32_t* previous;
};

// Source rows read in place: those of window rows 0..3 (sample 0 first),
// for the leading `columns` columns. Without smoothing the vector path
// reads columns 0 .. columns - 1 of the current and the previous row there;
// with smoothing only the sums read rows, and those of columns 1 .. columns
// come from there. Either way the window rows need to hold only the samples
// from `columns` on, the first two and the borders, which spares copying
// whole rows.
//
// `ahead` is the source row the next window load reads (null: none). It is
// asked into the cache while this row renders, so that it is there when
// read: the normal-map kernel asks for it chunk by chunk, spread over the
// row, where one burst of requests at the row's start would hold up its
// first columns; every other path asks for the whole row first.
struct DirectRows {
  const uint16_t* rows[4] = {};
  int32_t columns = 0;
  const uint16_t* ahead = nullptr;
};

// How many leading columns a render with `p` can take from the source rows
// in place (DirectRows): a multiple of 16 small enough that the last sample
// a vector load reaches is in the row (the right neighbour of the last
// column; with smoothing, of the column after it). 0 where the window is
// read: rows too short, and without smoothing raster rows, channel codes
// other than whole components or the height, and the requests the vector
// path leaves to the plain one.
int32_t DirectColumns(const RowParams& p);

// `rows` are the window rows 0..3, each pointing at its left border sample.
// With `firstRow` the previous row's sums are formed from window rows 1..3.
void RenderRow(const RowParams& p, const uint16_t* const rows[4], RowSums& sums,
               bool firstRow, uint8_t* out, const DirectRows& direct = {});

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
int32_t SmoothedSumsVector(VectorSet set, const uint16_t* above, const uint16_t* mid,
                           const uint16_t* below, int32_t* out, int32_t count);
// 0 when the request is not one the vector path covers: raster rows, a mid
// level so far out that 16 M leaves 32 bits, or a normal strength outside
// kMinVectorStrength .. kMaxVectorStrength.
int32_t RenderPixelsVector(const RowParams& p, const uint16_t* const rows[4], const RowSums& sums,
                           uint8_t* out, const DirectRows& direct = {});

// ---- the vector kernel's interface (render_kernel.h) -----------------------------

inline constexpr int32_t kKernelChunk = 128;  // columns per chunk: the arrays stay in L1

// One row's inputs. `current` and `previous` point at column 0 (sample 1 of
// window rows 1 and 2); the sums are the smoothed ones.
struct KernelArgs {
  const uint16_t* current;
  const uint16_t* previous;
  const int32_t* sums;
  const int32_t* previousSums;
  bool smoothing, normalMode, needsDisp;
  float strength;  // within the vector normal's range
  int32_t mid, gain;
  // Whole-component normal maps: channel c is component pick[c] (0 X', 1 Y',
  // 2 Z') xor flip[c] (0, or 65535 for the inverted codes).
  int32_t pick[3], flip[3];
  // Samples to ask into the cache, column k's at ahead[k] (DirectRows), or
  // null. Normal maps ask for each chunk's columns as they start it.
  const uint16_t* ahead;
};

// The displacements and normal components of a chunk's columns, and room
// for the channel values formed from them.
struct alignas(64) KernelChunk {
  int32_t comp[3][kKernelChunk];  // X', Y', Z'
  int32_t disp[kKernelChunk];
  int32_t value[3][kKernelChunk];
};

// One instruction set's kernels (render_rows_<set>.cpp). Column counts are
// multiples of four; each set does what fits its lanes and the rest in four.
struct VectorKernels {
  // Columns [k0, k0 + count) into the chunk from its start.
  void (*inputs)(const KernelArgs& a, int32_t k0, int32_t count, KernelChunk& out);
  // Smoothed sums at columns [0, count rounded down to four); returns that.
  int32_t (*sums)(const uint16_t* above, const uint16_t* mid, const uint16_t* below,
                  int32_t* out, int32_t count);
  // Whole-component normal maps (a.pick, a.flip) and one-channel displaced
  // heights, columns [0, count) packed into `out`.
  void (*normalMap)(const KernelArgs& a, int32_t bits, int32_t channels, int32_t count,
                    uint8_t* out);
  void (*displacement)(const KernelArgs& a, int32_t bits, int32_t count, uint8_t* out);
};
extern const VectorKernels kSse2Kernels;
extern const VectorKernels kAvx2Kernels;
extern const VectorKernels kAvx512Kernels;

// The strengths the vector normal covers (render_kernel.h).
inline constexpr float kMinVectorStrength = 1.0f / (1 << 24);
inline constexpr float kMaxVectorStrength = 1 << 24;

}  // namespace kelvra
