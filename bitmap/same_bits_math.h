// Powers and cube roots that give the same bits in every build, and the
// rounding of a value to a level. The C libraries the library is built against (glibc natively,
// msvcrt in the DLL) round pow, cbrt, sin and cos differently in the last
// bits, and a table built from them could then differ by a level where a
// value falls on a rounding edge. These use only frexp and ldexp (exact) and
// IEEE additions, multiplications and divisions in a fixed order, so every
// build computes the same doubles. They are accurate to a few units in the
// last place, far below what an 8-bit level can show.
#pragma once

#include <cmath>
#include <cstdint>

namespace kelvra {

// The natural logarithm of x > 0: x = m 2^e with m in [sqrt(1/2), sqrt(2)),
// ln m = 2 atanh(s) with s = (m - 1) / (m + 1), |s| < 0.172, summed to s^31.
inline double SameBitsLog(double x) {
  int e = 0;
  double m = std::frexp(x, &e);  // m in [0.5, 1)
  if (m < 0.70710678118654752) {
    m *= 2;
    --e;
  }
  const double s = (m - 1) / (m + 1), s2 = s * s;
  double sum = 0;
  for (int k = 31; k >= 1; k -= 2) sum = sum * s2 + 1.0 / k;
  return 2 * s * sum + e * 0.69314718055994531;
}

// e^y for |y| below about 700: y = n ln 2 + f with |f| <= ln 2 / 2, e^f by
// its series to f^22.
inline double SameBitsExp(double y) {
  const double n = std::floor(y / 0.69314718055994531 + 0.5);
  const double f = y - n * 0.69314718055994531;
  double sum = 1;
  for (int k = 22; k >= 1; --k) sum = 1 + sum * f / k;
  return std::ldexp(sum, static_cast<int>(n));
}

// x^y for x >= 0 (0^y is 0 for y > 0, and 1 for y == 0).
inline double SameBitsPow(double x, double y) {
  if (y == 0) return 1;
  if (x <= 0) return 0;
  if (x == 1) return 1;
  return SameBitsExp(y * SameBitsLog(x));
}

inline double SameBitsCbrt(double x) {
  return x < 0 ? -SameBitsPow(-x, 1.0 / 3) : SameBitsPow(x, 1.0 / 3);
}

// A value on the 0..255 scale as the nearest level, halves up, clamped
// (not a number: 0).
inline uint8_t RoundToLevel(double v) {
  if (!(v > 0.0)) return 0;
  if (v >= 255.0) return 255;
  return static_cast<uint8_t>(v + 0.5);
}

}  // namespace kelvra
