// Patterns a document carries for its pattern overlays: the "Patt" tagged
// block after the layer info holds them one after another, each found by
// the ID the effect's descriptor names ("Ptrn" object, "Idnt").
//
// One pattern: its length (the next one starts at a multiple of 4), version
// 1, image mode (3: RGB), height and width (2 bytes each), a Unicode name, a
// Pascal-string ID, then a list of channels: version 3, its length, the
// rectangle (top, left, bottom, right), the channel count, then per channel
// (the count plus two masks) a "written" flag, and when written a length and
// the channel: depth (4 bytes), rectangle, depth (2 bytes), compression (1
// byte: 0 raw, 1 PackBits with a table of 2-byte row byte counts), data.
//
// How a pattern overlay draws it (checked on Photoshop's picture of a 64 x 64
// pattern at 81 % over a layer that does not start at the canvas's corner,
// "link with layer" on, phase 0: every sample within 1 level): the tile
// starts at the layer's effects reference point (its "fxrp" block), which
// was the document's top-left corner there. At 100 % document pixel (x, y)
// is the tile's pixel ((x - left) mod w, (y - top) mod h): Photoshop's
// pictures of an 80 x 80 pattern at 100 % on text layers whose reference
// points are (47, 475) and (0, 1) (layer_effects and
// transparency__fill-opacity in the second shared folder) give every fully
// covered sample exactly there, and no other placement does. Below 100 % Photoshop samples a
// half-size tile, each pixel the mean of a 2 x 2 block, at (x, y) / (2 s)
// (s the scale as a fraction), mixing its four neighbours in straight lines
// (bilinear), the result rounded once; sampling the full-size tile (bilinear,
// bicubic, B-spline) is 14 to 21 % of the samples more than 2 levels off.
// Which half-size level Photoshop uses at other scales one picture cannot
// show, so only the scales of kCheckedPatternScales are drawn.
#pragma once

#include <cstdint>

#include "bitmap/psd_source.h"

namespace kelvra {

// Patterns wider or taller than this are refused (a PackBits row then fits a
// source window).
constexpr uint32_t kMaxPatternSide = 2048;
constexpr uint32_t kMaxPatternId = 63;

// Scales in percent, below 100, drawn from the half-size tile.
constexpr uint32_t kCheckedPatternScales[] = {81};
bool PatternScaleDrawn(double scale);

struct PsdPattern {
  uint32_t rows = 0, columns = 0;
  struct Channel {
    uint64_t at = 0;  // the samples (after the row byte counts for PackBits)
    uint64_t countsAt = 0;
    uint64_t end = 0;  // the channel's last byte + 1
    bool packed = false;
  } channel[3];
};

enum class PatternFind : uint8_t {
  kFound,
  kMissing,      // no pattern of that ID
  kUnsupported,  // not RGB, with transparency, too large, odd-sized for a scale below 100 %
  kUnreadable,   // lengths or fields out of range
};

// Finds pattern `id` among the patterns of a "Patt" block's data [at, end).
// `halfSize`: it is drawn below 100 % and needs even sides.
PatternFind FindPattern(SourceWindow& window, uint64_t at, uint64_t end, const char* id,
                        uint32_t idLength, bool halfSize, PsdPattern* p);

// Decodes the found pattern into 3 planes of rows x columns bytes; false when
// its data ends early or a PackBits row does not decode.
bool DecodePattern(SourceWindow& window, const PsdPattern& p, uint8_t* planes);

// The tile over document row y, columns [x0, x0 + n), at `scale` percent
// (100, or one of kCheckedPatternScales), into out[0..2]; at 100 % the tile
// starts at document pixel (left, top), below it at the corner.
void PatternRow(const uint8_t* planes, const PsdPattern& p, uint32_t scale, int32_t left,
                int32_t top, uint32_t y, uint32_t x0, uint32_t n, uint8_t* const out[3]);

}  // namespace kelvra
