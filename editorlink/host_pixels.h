// Host images as the editor link handles them: 32-bit pixels, bytes B, G, R,
// A, rows without gaps, so an image is width x height consecutive words and a
// pixel's colour is its first three bytes.
#pragma once

#include <cstdint>
#include <cstring>

#include <emmintrin.h>

#include "host/host.h"

namespace kelvra {

// True when the image has a pixel pointer and its buffer is width x height
// packed 32-bit pixels. Anything else (another depth, gaps between rows, a
// negative size) would be read with the wrong layout or past its end.
inline bool HasPacked32Pixels(const host::HostImage* image) {
  if (image == nullptr || host::ImagePixels(image) == nullptr) return false;
  const int32_t width = host::ImageWidth(image);
  const int32_t height = host::ImageHeight(image);
  return host::ImageBitsPerPixel(image) == 32 && width >= 0 && height >= 0 &&
         host::ImageRowStride(image) == 4 * width;
}

inline uint8_t* ImageBytes(const host::HostImage* image) {
  return static_cast<uint8_t*>(host::ImagePixels(image));
}

// Width x height of a packed image (both at most 32767, so it fits).
inline uint32_t PixelCount(const host::HostImage* image) {
  return static_cast<uint32_t>(host::ImageWidth(image)) *
         static_cast<uint32_t>(host::ImageHeight(image));
}

inline bool SameSize(const host::HostImage* a, const host::HostImage* b) {
  return host::ImageWidth(a) == host::ImageWidth(b) &&
         host::ImageHeight(a) == host::ImageHeight(b);
}

// The colour of a pixel: its low 24 bits. The fourth byte never counts.
inline bool SameColour(const uint8_t* p, const uint8_t* q) {
  return p[0] == q[0] && p[1] == q[1] && p[2] == q[2];
}

// The index of the first of `count` pixels whose colours differ, or `count`.
// Sixteen pixels a step while they agree, the fourth bytes masked off; the
// step that holds a difference is searched pixel by pixel.
inline uint32_t FirstColourDifference(const uint8_t* a, const uint8_t* b,
                                      uint32_t count) {
  const __m128i colour = _mm_set1_epi32(0x00FFFFFF);
  uint32_t i = 0;
  for (; i + 16 <= count; i += 16) {
    __m128i differ = _mm_setzero_si128();
    for (int v = 0; v < 4; ++v) {
      const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(a + 4 * i + 16 * v));
      const __m128i y = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + 4 * i + 16 * v));
      differ = _mm_or_si128(differ, _mm_and_si128(_mm_xor_si128(x, y), colour));
    }
    if (_mm_movemask_epi8(_mm_cmpeq_epi8(differ, _mm_setzero_si128())) != 0xFFFF) break;
  }
  for (; i < count; ++i) {
    if (!SameColour(a + 4 * i, b + 4 * i)) return i;
  }
  return count;
}

}  // namespace kelvra
