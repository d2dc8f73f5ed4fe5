// The 8-bit normal estimate (SSE2 form) against the exact arithmetic it
// stands in for. The check's margins are set from proven error bounds; here
// the estimate's integers are measured against the exact path's unrounded
// components over strengths from the vector path's smallest to its largest
// and gradients from flat to the steepest, and must stay within those
// bounds. A weaker step (a wrong scale, a lost Newton step, a rounding in
// the wrong place) shows up here long before a byte goes wrong.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>

#include <gtest/gtest.h>

#include "maps/render_kernel.h"

namespace kelvra {
namespace {

using L = Sse2Lanes;

struct Errors {
  double xy = 0, z = 0;
};

// The largest distance between the estimate's units (offsets and margins
// taken off) and 2^7 or 2^8 times the exact path's products, over groups of
// four gradients at one strength.
Errors MeasureErrors(float strength, const int32_t* gx, const int32_t* gy, int count) {
  KernelArgs args{};
  args.strength = strength;
  args.normalMode = true;
  const RowConstants<L> c(args);
  Errors worst;
  for (int i = 0; i + 4 <= count; i += 4) {
    const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(gx + i));
    const __m128i y = _mm_loadu_si128(reinterpret_cast<const __m128i*>(gy + i));
    // The estimate takes the gradients negated.
    const __m128i zero = _mm_setzero_si128();
    const __m128 ux = L::ToFloat(_mm_sub_epi32(zero, x)), uy = L::ToFloat(_mm_sub_epi32(zero, y));
    __m128i units[3];
    EstimateUnits<L>(c, ux, uy, NegatedEstimateScale<L>(c, ux, uy), units);
    const NormalScale<L> exact = ScaleOf<L>(c, x, y);
    alignas(16) int32_t n[3][4];
    alignas(16) float e[3][4];
    for (int j = 0; j < 3; ++j) _mm_store_si128(reinterpret_cast<__m128i*>(n[j]), units[j]);
    _mm_store_ps(e[0], L::Mul(exact.k65536, exact.ax));
    _mm_store_ps(e[1], L::Mul(exact.k65536, exact.by));
    _mm_store_ps(e[2], L::Mul(exact.k65536, c.ss));
    for (int lane = 0; lane < 4; ++lane) {
      for (int j = 0; j < 2; ++j) {
        const double units = n[j][lane] - double{kEstimateCentreXY + L::kEstimateMarginXY};
        worst.xy = std::max(worst.xy, std::fabs(units - 128.0 * e[j][lane]));
      }
      const double unitsZ = n[2][lane] - double{kEstimateCentreZ + L::kEstimateMarginZ};
      worst.z = std::max(worst.z, std::fabs(unitsZ - 256.0 * e[2][lane]));
    }
  }
  return worst;
}

TEST(NormalEstimateTest, StaysWithinTheBoundsItsMarginsAreSetFrom) {
  std::mt19937 rng(20261209);
  std::uniform_real_distribution<double> logStrength(-24.0, 24.0);
  constexpr int kCount = 4096;
  static int32_t gx[kCount], gy[kCount];
  Errors worst;
  for (int round = 0; round < 200; ++round) {
    // Strengths log-uniform over the vector path's range, its ends included.
    const float s = round == 0   ? std::ldexp(1.0f, -24)
                    : round == 1 ? std::ldexp(1.0f, 24)
                                 : static_cast<float>(std::exp2(logStrength(rng)));
    // Gradients from single steps to the steepest, both signs, with some
    // lanes flat in one direction.
    const int32_t limits[] = {65535, 4095, 255, 3};
    const int32_t limit = limits[round % 4];
    std::uniform_int_distribution<int32_t> g(-limit, limit);
    for (int i = 0; i < kCount; ++i) {
      gx[i] = g(rng);
      gy[i] = i % 7 == 0 ? 0 : g(rng);
    }
    const Errors e = MeasureErrors(s, gx, gy, kCount);
    worst.xy = std::max(worst.xy, e.xy);
    worst.z = std::max(worst.z, e.z);
  }
  EXPECT_LE(worst.xy, kEstimateBoundXY);
  EXPECT_LE(worst.z, kEstimateBoundZ);
  // The bounds are worst cases; the estimate itself is much closer.
  EXPECT_LT(worst.xy, kEstimateBoundXY / 2.0);
  EXPECT_LT(worst.z, kEstimateBoundZ / 2.0);
  RecordProperty("worst_xy", std::to_string(worst.xy));
  RecordProperty("worst_z", std::to_string(worst.z));
  std::printf("estimate: worst %.3f (X, Y), %.3f (Z) units of 2^-16 of a byte\n", worst.xy,
              worst.z);
}

}  // namespace
}  // namespace kelvra
