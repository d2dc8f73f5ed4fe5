#include "tests/support/normal_boundaries.h"

#include <cmath>

namespace kelvra::boundaries {

Unrounded ExactUnrounded(float s, int32_t gx, int32_t gy) {
  const float fx = static_cast<float>(gx * (1.0 / 65536));
  const float fy = static_cast<float>(gy * (1.0 / 65536));
  const float a = s * fx, b = s * fy, z = -(s * s);
  const float aa = a * a, bb = b * b, zz = z * z;
  const float q = static_cast<float>(static_cast<double>(aa) + static_cast<double>(bb) +
                                     static_cast<double>(zz));
  const float len = std::sqrt(q);
  if (len == 0.0f) return {0, 0, 0};
  const float k = 1.0f / len;
  const float kx = k * a, ky = k * b, kz = k * z;
  return {kx * 65536.0, ky * 65536.0, kz * 65536.0};
}

namespace {

// Distance of v from the nearest point p + m x period.
double FromGrid(double v, double p, double period) {
  const double r = std::fmod(std::fabs(v - p), period);
  return std::fmin(r, period - r);
}

}  // namespace

double XYEdgeDistance(const Unrounded& c) {
  // X' and Y': the high byte of (round(c) + 65536) >> 1 changes where
  // c + 65536.5 is a multiple of 512.
  return std::fmin(FromGrid(c.x, -65536.5, 512), FromGrid(c.y, -65536.5, 512));
}

double ZEdgeDistance(const Unrounded& c) {
  // Z' = |round(c)|: its high byte changes where |c| + 0.5 is a multiple of 256.
  return FromGrid(std::fabs(c.z), -0.5, 256);
}

double TieDistance(const Unrounded& c) {
  return std::fmin(std::fmin(FromGrid(c.x, 0.5, 1), FromGrid(c.y, 0.5, 1)),
                   FromGrid(c.z, 0.5, 1));
}

std::vector<Gradient> SearchBoundaries(float s, int32_t limit, int32_t count, double byteEdge,
                                       double tie, uint32_t seed) {
  std::vector<Gradient> found[3];  // X' or Y' edges, Z' edges, ties
  uint32_t state = seed * 2654435761u + 1u;
  auto next = [&state] {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    return state;
  };
  // Magnitudes spread over every scale from 1 to the limit, so that steep
  // and shallow normals both occur.
  auto gradient = [&]() {
    const uint32_t bits = next() % 17;
    int32_t span = static_cast<int32_t>((1u << bits) - 1u);
    if (span > limit) span = limit;
    const int32_t v = static_cast<int32_t>(next() % (static_cast<uint32_t>(span) + 1u));
    return (next() & 1) ? -v : v;
  };
  auto wanted = [&](int kind) { return static_cast<int32_t>(found[kind].size()) < count; };
  // X' edges are sought directly: for a random gy and byte edge, the gx
  // where c.x crosses the edge (c.x falls as gx rises), by bisection.
  for (int32_t tries = 0; tries < 20 * count && wanted(0); ++tries) {
    const int32_t gy = gradient();
    const double edge = 512.0 * static_cast<double>(next() % 257) - 65536.5;
    int32_t lo = -limit, hi = limit;  // c.x(lo) >= edge > c.x(hi) when it crosses
    if (ExactUnrounded(s, lo, gy).x < edge || ExactUnrounded(s, hi, gy).x >= edge) continue;
    while (hi - lo > 1) {
      const int32_t m = lo + (hi - lo) / 2;
      (ExactUnrounded(s, m, gy).x >= edge ? lo : hi) = m;
    }
    for (int32_t gx : {lo, hi}) {
      if (wanted(0) && XYEdgeDistance(ExactUnrounded(s, gx, gy)) <= byteEdge) {
        found[0].push_back({gx, gy});
      }
    }
  }
  for (int32_t tries = 0; tries < 600000 && (wanted(0) || wanted(1) || wanted(2)); ++tries) {
    const Gradient g{gradient(), gradient()};
    const Unrounded c = ExactUnrounded(s, g.gx, g.gy);
    if (wanted(0) && c.x != 0 && c.y != 0 && XYEdgeDistance(c) <= byteEdge) {
      found[0].push_back(g);
    } else if (wanted(1) && ZEdgeDistance(c) <= byteEdge) {
      found[1].push_back(g);
    } else if (wanted(2) && TieDistance(c) <= tie) {
      found[2].push_back(g);
    }
  }
  std::vector<Gradient> all = found[0];
  all.insert(all.end(), found[1].begin(), found[1].end());
  all.insert(all.end(), found[2].begin(), found[2].end());
  return all;
}

std::vector<uint16_t> FieldFor(const std::vector<Gradient>& g, int32_t* width) {
  std::vector<uint16_t> above, row;
  for (const Gradient& d : g) {
    // C with C - gx and C + gy in 0..65535.
    int32_t lo = 0, hi = 65535;
    if (d.gx > lo) lo = d.gx;
    if (-d.gy > lo) lo = -d.gy;
    if (65535 + d.gx < hi) hi = 65535 + d.gx;
    if (65535 - d.gy < hi) hi = 65535 - d.gy;
    if (lo > hi) continue;
    const int32_t c = (lo + hi) / 2;
    row.push_back(static_cast<uint16_t>(c));
    row.push_back(static_cast<uint16_t>(c - d.gx));
    above.push_back(static_cast<uint16_t>(c + d.gy));
    // The filler column gets a slope of its own: a flat component there
    // would sit near an edge of the 8-bit estimate and send its whole
    // group of columns to the exact path, hiding the sought ones.
    const int32_t filler = c - d.gx + (d.gy != 0 ? d.gy : 37);
    above.push_back(static_cast<uint16_t>(filler < 0 ? 0 : (filler > 65535 ? 65535 : filler)));
  }
  *width = static_cast<int32_t>(row.size());
  above.insert(above.end(), row.begin(), row.end());
  return above;
}

float Mode1Strength(float resolutionRatio) {
  const float r = static_cast<float>(static_cast<double>(0.1f) / 1.0f);
  return static_cast<float>(static_cast<double>(r) / resolutionRatio);
}

}  // namespace kelvra::boundaries
