// Every vector set against the literal reference on normals that sit on
// rounding boundaries: gradients searched for components within a small
// distance of an 8-bit sample's edge or of a rounding tie, at strengths
// from the vector path's smallest to its largest; the steepest and the
// flattest slopes; strength steps at their extremes. And the bound that the
// 8-bit estimate's margin rests on: each set's reciprocal square root
// estimate, over every float mantissa.
#include <immintrin.h>

#include <cmath>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "maps/channel_codes.h"
#include "maps/render_rows.h"
#include "tests/support/normal_boundaries.h"
#include "tests/support/test_env.h"
#include "tests/support/vector_set_test.h"
#include "tests/unit/map_reference.h"

namespace kelvra {
namespace {

using boundaries::Gradient;
using testing::KelvraTest;
using testing::LibraryMap;
using testing::MapRequest;
using testing::ReferenceMap;
using testing::TempDir;

class RenderBoundaryTest : public testing::VectorSetTest {};

std::string Describe(const MapRequest& r) {
  std::ostringstream s;
  s << r.width << "x" << r.height << " mode " << r.scaleMode << " scale " << r.scale
    << " strength " << r.strength << " ratio " << r.resolutionRatio << " " << r.channelCount
    << "ch " << r.bitsPerSample << "bit codes " << r.codes[0] << "," << r.codes[1] << ","
    << r.codes[2] << (r.smoothing ? " smooth" : "") << (r.wrapEdges ? " wrap" : "");
  return s.str();
}

// Mode-1 resolution ratios: the normal strength float(0.1 / ratio) from
// just inside the vector path's smallest (2^-24) to its largest (2^24).
const float kRatios[] = {1.0f, 0.37f, 3.3f, 61.0f, 0.0021f, 1677721.0f, 5.9604e-9f};

// The searched gradients are what they claim: their unrounded components
// round to the library's own normal, and they lie where they were sought.
TEST(NormalBoundarySearch, FindsGradientsOnTheBoundaries) {
  for (float ratio : kRatios) {
    const float s = boundaries::Mode1Strength(ratio);
    const std::vector<Gradient> found = boundaries::SearchBoundaries(s, 65535, 100, 0.2, 0.02, 7);
    // Above s = 256 every normal is so nearly flat that X' and Y' stay
    // within a unit of 32768 and Z' at 65536: there is no boundary to find.
    const bool steep = s <= 256.0f;
    if (!steep) continue;
    EXPECT_GE(found.size(), 200u) << "ratio " << ratio;
    int xyEdges = 0, zEdges = 0, ties = 0;
    for (const Gradient& g : found) {
      const boundaries::Unrounded c = boundaries::ExactUnrounded(s, g.gx, g.gy);
      const SurfaceNormalFixed n = SurfaceNormal(
          s, static_cast<float>(g.gx / 65536.0), static_cast<float>(g.gy / 65536.0));
      EXPECT_EQ(n.nx, RoundToInt32(c.x));
      EXPECT_EQ(n.ny, RoundToInt32(c.y));
      EXPECT_EQ(n.nz, RoundToInt32(c.z));
      xyEdges += boundaries::XYEdgeDistance(c) <= 0.2;
      zEdges += boundaries::ZEdgeDistance(c) <= 0.2;
      ties += boundaries::TieDistance(c) <= 0.02;
    }
    EXPECT_GE(xyEdges, 100) << "ratio " << ratio;
    EXPECT_GE(ties, 50) << "ratio " << ratio;
    EXPECT_GE(zEdges + xyEdges + ties, static_cast<int>(found.size()));
  }
}

// Boundary gradients at every strength, in 8-, 16- and 32-bit maps with
// plain, inverted and reordered components and one channel.
TEST_P(RenderBoundaryTest, BoundaryNormalsGiveTheReferenceBytes) {
  TempDir dir;
  const int32_t codeSets[][3] = {{50, 70, 90}, {60, 80, 100}, {90, 50, 80}, {100, 0, 0}};
  int mismatches = 0;
  uint32_t seed = 1;
  for (float ratio : kRatios) {
    const float s = boundaries::Mode1Strength(ratio);
    // Steep gradients need the full range; shallow ones the small limits.
    for (int32_t limit : {65535, 4095, 255}) {
      const std::vector<Gradient> g =
          boundaries::SearchBoundaries(s, limit, 150, 0.2, 0.02, seed++);
      MapRequest r;
      const std::vector<uint16_t> field = boundaries::FieldFor(g, &r.width);
      // The flattest strengths have no boundaries (see above).
      if (s > 256.0f && r.width == 0) continue;
      ASSERT_GE(r.width, 200) << "ratio " << ratio << " limit " << limit;
      r.height = 2;
      r.rowLength = r.width;
      r.scaleMode = 1;
      r.resolutionRatio = ratio;
      for (const auto& codes : codeSets) {
        for (int32_t bits : {8, 16, 32}) {
          r.channelCount = codes[1] == 0 ? 1 : 3;
          r.bitsPerSample = bits;
          for (int c = 0; c < 3; ++c) r.codes[c] = codes[c];
          if (LibraryMap(r, field, dir.File("b.tif")) != ReferenceMap(r, field)) {
            ++mismatches;
            ADD_FAILURE() << "limit " << limit << " " << Describe(r);
          }
          if (mismatches > 5) return;
        }
      }
    }
  }
}

// The steepest slopes (0 next to 65535 both ways), the flattest (one level
// and single steps), with and without smoothing and wrapping, at the
// strength steps' extremes in modes 1 and 2.
TEST_P(RenderBoundaryTest, SteepestAndFlattestSlopesGiveTheReferenceBytes) {
  TempDir dir;
  const int32_t w = 67, h = 6;
  std::vector<std::vector<uint16_t>> fields;
  for (int kind = 0; kind < 5; ++kind) {
    std::vector<uint16_t> f(static_cast<size_t>(w) * h);
    for (int32_t y = 0; y < h; ++y) {
      for (int32_t x = 0; x < w; ++x) {
        uint16_t v = 0;
        switch (kind) {
          case 0: v = ((x + y) % 2) ? 65535 : 0; break;        // checkerboard
          case 1: v = (x % 2) ? 65535 : 0; break;              // columns
          case 2: v = 40000; break;                            // flat
          case 3: v = static_cast<uint16_t>(30000 + (x + y) % 2); break;  // single steps
          default: v = static_cast<uint16_t>(x * 977 + y * 65535 / h); break;  // ramps
        }
        f[static_cast<size_t>(y) * w + x] = v;
      }
    }
    fields.push_back(f);
  }
  int mismatches = 0;
  for (const std::vector<uint16_t>& field : fields) {
    for (int32_t strength : {-11, -10, -1, 0, 1, 40}) {
      for (int32_t mode : {1, 2}) {
        for (bool smoothing : {false, true}) {
          for (int32_t bits : {8, 16, 32}) {
            MapRequest r;
            r.width = w;
            r.height = h;
            r.rowLength = w;
            r.scaleMode = mode;
            r.strength = strength;
            r.smoothing = smoothing;
            r.wrapEdges = strength % 2 != 0;
            r.channelCount = 3;
            r.bitsPerSample = bits;
            r.codes[0] = 50;
            r.codes[1] = 70;
            r.codes[2] = 90;
            if (LibraryMap(r, field, dir.File("s.tif")) != ReferenceMap(r, field)) {
              ++mismatches;
              ADD_FAILURE() << Describe(r);
            }
            if (mismatches > 5) return;
          }
        }
      }
    }
  }
}

// The 8-bit estimate's margin holds for reciprocal square root estimates
// within about 2^-10.1; each set's estimate must be well inside that.
double MaxRelativeError(float (*estimate)(float)) {
  double worst = 0;
  for (uint32_t m = 0; m < (1u << 24); ++m) {
    // Every mantissa in [1, 2) and in [2, 4): both exponent parities.
    const uint32_t bits = 0x3F800000u + (m & 0x7FFFFFu) + ((m >> 23) << 23);
    float x;
    __builtin_memcpy(&x, &bits, 4);
    const double exact = 1.0 / std::sqrt(static_cast<double>(x));
    worst = std::fmax(worst, std::fabs(estimate(x) / exact - 1.0));
  }
  return worst;
}

float Sse2Estimate(float x) { return _mm_cvtss_f32(_mm_rsqrt_ps(_mm_set1_ps(x))); }
__attribute__((target("avx"))) float AvxEstimate(float x) {
  return _mm256_cvtss_f32(_mm256_rsqrt_ps(_mm256_set1_ps(x)));
}
__attribute__((target("avx512f"))) float Avx512Estimate(float x) {
  return _mm512_cvtss_f32(_mm512_rsqrt14_ps(_mm512_set1_ps(x)));
}

TEST_P(RenderBoundaryTest, ReciprocalSquareRootEstimateIsWithinTheMargin) {
  switch (GetParam()) {
    case VectorSet::kSse2: EXPECT_LE(MaxRelativeError(&Sse2Estimate), std::ldexp(1.0, -11)); break;
    case VectorSet::kAvx2: EXPECT_LE(MaxRelativeError(&AvxEstimate), std::ldexp(1.0, -11)); break;
    default: EXPECT_LE(MaxRelativeError(&Avx512Estimate), std::ldexp(1.0, -14)); break;
  }
}

INSTANTIATE_TEST_SUITE_P(VectorSets, RenderBoundaryTest, testing::AllVectorSets(),
                         testing::VectorSetName);

}  // namespace
}  // namespace kelvra
