#include "editorlink/shading.h"

namespace kelvra {

namespace {

constexpr int32_t Shade(int32_t a, int32_t b) {
  if (b == a) return 128;
  if (b > a) {
    // The screen half of hard light; the -1 keeps b = 255 at 255.
    return 128 + (128 * (b - a) - 1) / (255 - a);
  }
  // The multiply half; C++ division truncates toward zero, as intended here.
  return 128 + (128 * (b - a)) / a;
}

constexpr std::array<uint8_t, 65536> ShadeTable() {
  std::array<uint8_t, 65536> table{};
  for (int32_t a = 0; a < 256; ++a) {
    for (int32_t b = 0; b < 256; ++b) table[256 * a + b] = static_cast<uint8_t>(Shade(a, b));
  }
  return table;
}

}  // namespace

constexpr std::array<uint8_t, 65536> kShadeLevels = ShadeTable();

int32_t ShadeValue(int32_t a, int32_t b) { return Shade(a, b); }

int32_t TransferEdit(int32_t t, int32_t s, int32_t b) {
  if (s == 0) {
    const int32_t sum = t + b;
    return sum > 255 ? 255 : sum;
  }
  const int32_t q = (256 * t) / s;
  // Arithmetic shift: negative changes round toward minus infinity.
  const int32_t e = (q * (b - s)) >> 8;
  const int32_t result = t + e;
  if (result < 0) return 0;
  return result > 255 ? 255 : result;
}

}  // namespace kelvra
