// Channel codes and surface normals: what one output channel of a map holds.
//
// A code's tens digit chooses the quantity (zero, mid level, displacement,
// its positive or negative part, a normal component, an inverted normal
// component), its units digit the form: 0 the full 16-bit value, 1 the high
// byte, 2 the low byte, both moved into the high byte position so that two
// 8-bit channels can carry one 16-bit quantity.
#pragma once

#include <emmintrin.h>

#include <cstdint>

namespace kelvra {

inline constexpr int32_t kMaxChannelCode = 102;
inline constexpr int32_t kFirstNormalCode = 50;

// Nearest integer, ties to even (the SSE default rounding, which every export
// runs under); NaN gives 0 and values beyond the 32-bit range saturate, so
// the conversion is defined for every input.
inline int32_t RoundToInt32(double x) {
  if (!(x == x)) return 0;
  if (x >= 2147483647.0) return INT32_MAX;
  if (x <= -2147483648.0) return INT32_MIN;
  return _mm_cvtsd_si32(_mm_set_sd(x));
}

// hi: clamped to 0..65280, low 8 bits cleared.
inline int32_t HiPart(int32_t x) {
  int32_t c = x < 0 ? 0 : (x > 65280 ? 65280 : x);
  return c & 0xFF00;
}
// lo: the low 8 bits of x clamped to 0..65280, moved into the high byte.
inline int32_t LoPart(int32_t x) {
  int32_t c = x < 0 ? 0 : (x > 65280 ? 65280 : x);
  return (c & 0xFF) << 8;
}
// lo22 (code 22 alone): (x - hi(x)) x 256 clamped to 0..65535, formed in 64
// bits so that large x saturate instead of overflowing.
inline int32_t Lo22Part(int32_t x) {
  int64_t v = (static_cast<int64_t>(x) - HiPart(x)) * 256;
  return v < 0 ? 0 : (v > 65535 ? 65535 : static_cast<int32_t>(v));
}

// The normal's unit vector in 16.16 fixed point.
struct SurfaceNormalFixed {
  int32_t nx, ny, nz;
};

// The unit vector of (s fx, s fy, -(s s)), every float() rounding where the
// format puts it. A zero length gives (0, 0, 0).
SurfaceNormalFixed SurfaceNormal(float s, float fx, float fy);

// X', Y' and Z' on the 16-bit scale: X' and Y' map -1..1 onto 0..65535, Z'
// maps |z| onto 0..65535. A flat area gives 32768, 32768, 65535.
struct NormalComponents {
  int32_t x, y, z;
};
NormalComponents ComponentsOf(const SurfaceNormalFixed& n);

// The channel value v (16-bit scale) of `code` (already clamped to 0..102).
// `isFloat`: 32-bit float samples, where the full-value clamps are lifted.
int32_t ChannelValue(int32_t code, int32_t disp, int32_t mid,
                     const NormalComponents& n, bool isFloat);

}  // namespace kelvra
