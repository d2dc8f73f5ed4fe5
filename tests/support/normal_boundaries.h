// Height fields whose normals sit on rounding boundaries, found by search:
// for a normal strength s, gradients (gx, gy) whose exact components, before
// their rounding to integers, lie within a small distance of a rounding tie
// (where X', Y' or Z' change by one) or of an 8-bit sample's edge (where the
// high byte changes). Shared by the native tests and the Windows test
// program, so plain C++ only.
#pragma once

#include <cstdint>
#include <vector>

namespace kelvra::boundaries {

// The exact path's three components in units of 2^-16 before their rounding
// to integers: float(k a) x 65536, float(k b) x 65536, float(k z) x 65536.
struct Unrounded {
  double x, y, z;
};
Unrounded ExactUnrounded(float s, int32_t gx, int32_t gy);

// The distance (in the same units) from the nearest value where an 8-bit
// sample of X' or Y', or of Z', changes, and from the nearest rounding tie.
double XYEdgeDistance(const Unrounded& c);
double ZEdgeDistance(const Unrounded& c);
double TieDistance(const Unrounded& c);

struct Gradient {
  int32_t gx, gy;
};

// Up to `count` gradients each, with |gx|, |gy| <= limit, whose X' or Y'
// lies within `byteEdge` of a byte edge, whose Z' does, and whose
// components lie within `tie` of a tie; searched from `seed`
// (deterministic), in that order.
std::vector<Gradient> SearchBoundaries(float s, int32_t limit, int32_t count, double byteEdge,
                                       double tie, uint32_t seed);

// A field of two rows, 2 x gradients.size() wide, whose second row (output
// row 1, no smoothing, no flip) has gradient i at column 2 i: C at 2 i, the
// right neighbour C - gx, and the sample above C + gy (column 2 i + 1 is
// a filler with a slope of its own). Gradients that no
// sample values can carry are skipped.
std::vector<uint16_t> FieldFor(const std::vector<Gradient>& g, int32_t* width);

// The normal strength of a mode-1 render with scale 1, strength 0 and this
// resolution ratio: float(0.1 / ratio) through the single-precision 0.1.
float Mode1Strength(float resolutionRatio);

}  // namespace kelvra::boundaries
