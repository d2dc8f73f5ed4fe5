#include "maps/channel_codes.h"

#include <xmmintrin.h>

namespace kelvra {

namespace {

// The square root of a float, correctly rounded (the same bits as a double
// root rounded to float, and as SQRTPS).
float SqrtFloat(float q) { return _mm_cvtss_f32(_mm_sqrt_ss(_mm_set_ss(q))); }

int32_t Clamp16(int64_t v) {
  return v < 0 ? 0 : (v > 65535 ? 65535 : static_cast<int32_t>(v));
}

// disp + M in 32-bit two's complement: only an absurd mid level can wrap,
// and wrapping is what the vector renderer does too.
int32_t DisplacedHeight(int32_t disp, int32_t mid) {
  return static_cast<int32_t>(static_cast<uint32_t>(disp) +
                              static_cast<uint32_t>(mid));
}

// The three forms of one 16-bit quantity (units digit 0, 1, 2).
int32_t Form(int32_t units, int32_t value) {
  switch (units) {
    case 0: return value;
    case 1: return HiPart(value);
    case 2: return LoPart(value);
    default: return 0;
  }
}

}  // namespace

SurfaceNormalFixed SurfaceNormal(float s, float fx, float fy) {
  // A product of two floats is exact in double, so each float multiply below
  // is the product rounded once to single precision.
  float a = s * fx;
  float b = s * fy;
  float z = -(s * s);
  // The squares are rounded to float, summed in double and rounded once.
  double sum = static_cast<double>(a * a) + static_cast<double>(b * b);
  sum += static_cast<double>(z * z);
  float q = static_cast<float>(sum);
  float len = SqrtFloat(q);
  if (len == 0.0f) return {0, 0, 0};
  float k = 1.0f / len;
  return {RoundToInt32(static_cast<double>(k * a) * 65536.0),
          RoundToInt32(static_cast<double>(k * b) * 65536.0),
          RoundToInt32(static_cast<double>(k * z) * 65536.0)};
}

NormalComponents ComponentsOf(const SurfaceNormalFixed& n) {
  // Widened first: the sums and |nz| must not overflow for saturated input.
  int64_t z = n.nz < 0 ? -static_cast<int64_t>(n.nz) : n.nz;
  return {Clamp16((static_cast<int64_t>(n.nx) + 65536) >> 1),
          Clamp16((static_cast<int64_t>(n.ny) + 65536) >> 1),
          z > 65535 ? 65535 : static_cast<int32_t>(z)};
}

int32_t ChannelValue(int32_t code, int32_t disp, int32_t mid,
                     const NormalComponents& n, bool isFloat) {
  const int32_t units = code % 10;
  switch (code) {
    case 0: case 1: case 2:
      return 0;
    case 10: case 11: case 12:
      return mid;
    case 20: {
      int32_t v = disp < 0 ? 0 : disp;
      return isFloat || v <= 65535 ? v : 65535;
    }
    case 21: return HiPart(disp);
    case 22: return Lo22Part(disp);
    case 30: {
      int32_t v = disp > 0 ? 0 : -disp;
      return isFloat || v <= 65535 ? v : 65535;
    }
    case 31: return HiPart(-disp);
    case 32: return LoPart(-disp);
    case 41: return HiPart(DisplacedHeight(disp, mid));
    case 42: return LoPart(DisplacedHeight(disp, mid));
    case 50: case 51: case 52: return Form(units, n.x);
    case 60: case 61: case 62: return Form(units, n.x ^ 65535);
    case 70: case 71: case 72: return Form(units, n.y);
    case 80: case 81: case 82: return Form(units, n.y ^ 65535);
    case 90: case 91: case 92: return Form(units, n.z);
    case 100: case 101: case 102: return Form(units, n.z ^ 65535);
    default: {
      // Every other code: the displaced height.
      int32_t v = DisplacedHeight(disp, mid);
      return isFloat ? v : Clamp16(v);
    }
  }
}

}  // namespace kelvra
