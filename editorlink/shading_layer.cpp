// The shading raster: one pass over two host images of the same size; and
// the same levels one channel and one piece at a time, for a writer that
// makes the shading layer as it writes it.
#include <emmintrin.h>

#include "editorlink/host_pixels.h"
#include "editorlink/shading.h"

namespace kelvra {

namespace {

inline __m128i Load16(const uint8_t* p) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

// ShadeValue on four lanes of levels a and b. Both halves of the formula
// are an integer quotient n / d with |n| <= 32640 and 1 <= d <= 255, which
// single-precision division gives exactly: n and d are exact in a float, a
// quotient that is an integer comes out exactly, and any other lies at least
// 1/d from the nearest integer, far more than the division's rounding error
// (below one unit in the last place, 32640 / d * 2^-23, in any rounding mode
// the host may have set), so truncating it gives the integer quotient.
// b == a gives n = 0 and 128; the divisor is kept at 1 or more for a = 0.
inline __m128i ShadeLanes(__m128i a, __m128i b) {
  const __m128i above = _mm_cmpgt_epi32(b, a);  // all ones where b > a
  const __m128i diff = _mm_sub_epi32(b, a);
  // 128 (b - a), less 1 above (adding the all-ones mask subtracts 1).
  const __m128i n = _mm_add_epi32(_mm_slli_epi32(diff, 7), above);
  const __m128i d = _mm_or_si128(_mm_and_si128(above, _mm_sub_epi32(_mm_set1_epi32(255), a)),
                                 _mm_andnot_si128(above, a));
  const __m128i one = _mm_set1_epi32(1);
  const __m128i dAtLeastOne = _mm_or_si128(d, _mm_and_si128(_mm_cmpeq_epi32(d, _mm_setzero_si128()), one));
  const __m128 q = _mm_div_ps(_mm_cvtepi32_ps(n), _mm_cvtepi32_ps(dAtLeastOne));
  return _mm_add_epi32(_mm_cvttps_epi32(q), _mm_set1_epi32(128));
}

// The low byte of each 32-bit lane of four pixel vectors, shifted right by
// `shift` bits first: one channel of 16 pixels, one 32-bit lane each.
inline void ChannelLanes(const uint8_t* p, int shift, __m128i out[4]) {
  const __m128i low = _mm_set1_epi32(0xFF);
  const __m128i s = _mm_cvtsi32_si128(shift);
  for (int v = 0; v < 4; ++v) out[v] = _mm_and_si128(_mm_srl_epi32(Load16(p + 16 * v), s), low);
}

// The grey mean of 16 pixels, one 32-bit lane each: (B + G + R) / 3, exact
// in single precision for sums up to 765 by the argument above.
inline void GreyLanes(const uint8_t* p, __m128i out[4]) {
  const __m128i low = _mm_set1_epi32(0xFF);
  const __m128 three = _mm_set1_ps(3.0f);
  for (int v = 0; v < 4; ++v) {
    const __m128i px = Load16(p + 16 * v);
    const __m128i sum = _mm_add_epi32(
        _mm_add_epi32(_mm_and_si128(px, low), _mm_and_si128(_mm_srli_epi32(px, 8), low)),
        _mm_and_si128(_mm_srli_epi32(px, 16), low));
    out[v] = _mm_cvttps_epi32(_mm_div_ps(_mm_cvtepi32_ps(sum), three));
  }
}

// Four vectors of results 0 to 255 as 16 bytes in order.
inline void Store16(uint8_t* dst, const __m128i r[4]) {
  const __m128i words = _mm_packs_epi32(r[0], r[1]);
  const __m128i words2 = _mm_packs_epi32(r[2], r[3]);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(dst), _mm_packus_epi16(words, words2));
}

// The grey mean of a pixel: the exact integer quotient by 3 of B + G + R.
inline int32_t Grey(const uint8_t* p) { return (p[0] + p[1] + p[2]) / 3; }

inline uint8_t Level(int32_t a, int32_t b) { return kShadeLevels[256 * a + b]; }

}  // namespace

bool BuildShadingLayer(const host::HostImage* flat, const host::HostImage* shaded,
                       bool grey, ABitMap* out) {
  if (flat == nullptr || shaded == nullptr) return false;
  ABitMap f;
  ABitMap s;
  if (f.BindHostImage(flat) != 0 || s.BindHostImage(shaded) != 0) return false;
  if (f.bitsPerPixel != 32 || f.width != s.width || f.height != s.height ||
      s.bitsPerPixel != 32) {
    return false;
  }
  // The pass reads width x height words from each image.
  if (!HasPacked32Pixels(flat) || !HasPacked32Pixels(shaded)) return false;
  if (out->Allocate(f.width, f.height, 32) == nullptr) return false;

  const uint32_t count = PixelCount(flat);
  const uint8_t* fp = f.pixels;
  const uint8_t* sp = s.pixels;
  uint8_t* op = out->pixels;
  for (uint32_t i = 0; i < count; ++i, fp += 4, sp += 4, op += 4) {
    if (grey) {
      const uint8_t v = Level(Grey(fp), Grey(sp));
      op[0] = v;
      op[1] = v;
      op[2] = v;
    } else {
      op[0] = Level(fp[0], sp[0]);
      op[1] = Level(fp[1], sp[1]);
      op[2] = Level(fp[2], sp[2]);
    }
    op[3] = 0;
  }
  return true;
}

void ShadingLevels(VectorSet set, const uint8_t* flat, const uint8_t* shaded, bool grey,
                   int32_t channel, uint64_t first, uint32_t count, uint8_t* dst) {
  const uint8_t* fp = flat + 4 * first;
  const uint8_t* sp = shaded + 4 * first;
  // Channel 0 is red, byte 2 of a pixel; channel 2 is blue, byte 0.
  const uint32_t byte = static_cast<uint32_t>(2 - channel);
  uint32_t i = 0;
  if (set != VectorSet::kSse2) {
    i = ShadingLevelsAvx2(fp, sp, grey, static_cast<int32_t>(byte), count, dst);
  }
  for (; i + 16 <= count; i += 16) {
    __m128i a[4], b[4], r[4];
    if (grey) {
      // The three channels of a grey shading layer hold the same level.
      GreyLanes(fp + 4 * i, a);
      GreyLanes(sp + 4 * i, b);
    } else {
      ChannelLanes(fp + 4 * i, static_cast<int>(8 * byte), a);
      ChannelLanes(sp + 4 * i, static_cast<int>(8 * byte), b);
    }
    for (int v = 0; v < 4; ++v) r[v] = ShadeLanes(a[v], b[v]);
    Store16(dst + i, r);
  }
  for (; i < count; ++i) {
    const uint8_t* f = fp + 4 * i;
    const uint8_t* s = sp + 4 * i;
    dst[i] = grey ? Level(Grey(f), Grey(s)) : Level(f[byte], s[byte]);
  }
}

}  // namespace kelvra
