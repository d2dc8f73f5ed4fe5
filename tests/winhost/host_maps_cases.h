// Map exports that the native build and the DLL under Wine must render to
// the same bytes. Both test programs build each field with the same integer
// generator, export it through Do (command 2, then 3) and compare the file's
// digest with the one recorded here; the native unit test prints the digests
// it computes when they differ, for review.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kelvra::mapcases {

struct MapCase {
  const char* name;
  int32_t width, height, rowSamples;  // rowSamples >= width: the image's stride / 2
  uint32_t seed;
  const char* optionCode;  // 14 characters
  double scaleCommand;     // Do value for the export scale (negative), or 0
  uint64_t digest;         // FNV-1a of the whole file
};

// Hills, a ramp and a little noise: every slope and deviation occurs.
inline void FillField(uint16_t* samples, int32_t rowSamples, int32_t height, uint32_t seed) {
  uint32_t state = seed * 2654435761u + 12345u;
  for (int32_t y = 0; y < height; ++y) {
    for (int32_t x = 0; x < rowSamples; ++x) {
      state = state * 1664525u + 1013904223u;
      const int32_t hx = (x * 37 + static_cast<int32_t>(seed)) % 256;
      const int32_t hy = (y * 23) % 256;
      const int32_t hill = (hx < 128 ? hx : 255 - hx) * (hy < 128 ? hy : 255 - hy);  // 0..16129
      const int32_t v = 8000 + hill * 3 + x * 11 + y * 5 + static_cast<int32_t>(state >> 24);
      samples[static_cast<size_t>(y) * rowSamples + x] =
          static_cast<uint16_t>(v < 0 ? 0 : (v > 65535 ? 65535 : v));
    }
  }
}

inline uint64_t Fnv1a(const uint8_t* bytes, size_t n) {
  uint64_t h = 14695981039346656037ull;
  for (size_t i = 0; i < n; ++i) {
    h ^= bytes[i];
    h *= 1099511628211ull;
  }
  return h;
}

inline constexpr MapCase kCases[] = {
    {"rgb8_normal_mode2", 37, 23, 37, 1, "xyzDCAK-FAHAJA", 0, 0x5be0f22e6200d222ull},
    {"rgb8_normal_smooth_wrap", 40, 17, 43, 2, "xyzCCDK-FAHAJA", 0, 0x35853237bcc21516ull},
    {"grey8_disp_mode0", 31, 9, 31, 3, "xyzBAAK-EAAAAA", 0, 0x8dbdfc0156991748ull},
    {"grey16_disp_mode1_strong", 29, 11, 32, 4, "xyzEBAO-EAAAAA", -1.75, 0x8d96230bece83c4eull},
    {"grey16_disp_mode3_flip", 33, 14, 33, 5, "xyzFDEA-EAAAAA", -0.6, 0xee967f116cadc2e1ull},
    {"rgb16_split_bytes", 21, 8, 21, 6, "xyzGBBK-CBCCEC", -2.0, 0x89c2018082f1055full},
    {"rgb16_inverted_normals", 18, 19, 20, 7, "xyzHCHK-GAIAKA", 0, 0x8ecfcdebc72322e6ull},
    {"grey32_disp_mode1", 27, 6, 27, 8, "xyzIBAK-EAAAAA", -3.0, 0x223f5a0b07caefcdull},
    {"grey32_positive_part", 15, 15, 16, 9, "xyzJCGK-CAAAAA", 0, 0xb838c16680452bd3ull},
    {"rgb32_normal_mode2", 26, 13, 26, 10, "xyzKCAK-FAHAJA", 0, 0xc7b5ae82621a92deull},
    {"rgb32_mixed_smooth", 19, 21, 19, 11, "xyzLDFZ-EAFBJC", -1.25, 0xa4614fc9345a1f65ull},
    {"reduced_rgb8_normal", 300, 140, 300, 12, "xyzCCBK-FAHAJA", 0, 0x1559532890e5e4bdull},
    {"reduced_grey16_mode3", 131, 200, 134, 13, "xyzEDCF-EAAAAA", -0.8, 0xc22ad38d36d4afb6ull},
    {"width1_height1", 1, 1, 1, 14, "xyzCCAK-FAHAJA", 0, 0x087a9162156d7024ull},
    {"width2_height2_wrap", 2, 2, 2, 15, "xyzKBHK-FAHAJA", 0, 0xe81dbd2bd52245b1ull},
    {"odd_mode_letters", 7, 3, 9, 16, "xyzDZ8A-KCJBAA", 0, 0x5c69a0caa2562cefull},
};

// Map objects made by the host (MakeMap), exported with command 4. The float
// format takes the map's scale (2.0), the 16-bit one 1.0 whatever the export
// scale is.
inline constexpr int32_t kMapObjectScaleFixed = 131072;
inline constexpr MapCase kMapObjectCases[] = {
    {"mapobject_float_scale2", 45, 30, 45, 21, "xyzIBCK-EAAAAA", 0, 0x2fd7d5f17e9c7ca7ull},
    {"mapobject_16bit_scale1", 45, 30, 45, 22, "xyzEBAK-EAAAAA", -3.0, 0xdcc7d4c850be57a4ull},
};

}  // namespace kelvra::mapcases
