// The compositor's arithmetic at 8 bits: one table of blend modes (the
// document's 4-character key to a function over a row of samples), and the
// source-over steps that put a blended row onto its backdrop.
//
// Every result is the exact real value of the formula rounded to the nearest
// level (a value never falls exactly halfway: 255 is odd), except where a
// function says otherwise. Levels v stand for v / 255. The formulas are the
// separable blend modes of the W3C's Compositing and Blending Level 1, with B
// the blend of backdrop cb and source cs:
//   normal      cs
//   multiply    cb * cs
//   screen      cb + cs - cb * cs
//   overlay     hard light with the two swapped
//   darken      min(cb, cs)            lighten   max(cb, cs)
//   hard light  cs <= 1/2: multiply(cb, 2 cs); else screen(cb, 2 cs - 1)
//   soft light  cs <= 1/2: cb - (1 - 2 cs) cb (1 - cb)
//               else cb + (2 cs - 1) (D(cb) - cb), D(cb) = ((16 cb - 12) cb + 4) cb
//               for cb <= 1/4, sqrt(cb) above. Photoshop takes sqrt(cb) for
//               every cb; this follows the W3C definition. D is held to 2^-24
//               of a level before the final rounding (every pair of levels
//               then rounds as the real value does; a test checks all).
//   difference  |cb - cs|              exclusion cb + cs - 2 cb cs
//   color dodge cb = 0: 0; cs = 1: 1; else min(1, cb / (1 - cs))
//   color burn  cb = 1: 1; cs = 0: 0; else 1 - min(1, (1 - cb) / cs)
//   linear dodge (add) min(1, cb + cs)  linear burn max(0, cb + cs - 1)
// Halves in color dodge and color burn round up.
#pragma once

#include <cstdint>

namespace kelvra {

// out[i] = B(backdrop[i], source[i]); out may be either input.
using BlendRow = void (*)(const uint8_t* backdrop, const uint8_t* source, uint8_t* out,
                          uint32_t n);

// The blend of a document's key ("norm", "mul ", ...), or null for a key the
// compositor cannot reproduce. "pass" (pass-through, a group's mode) is not
// in the table: callers treat it before asking.
BlendRow FindBlend(const uint8_t key[4]);
bool IsNormalBlend(BlendRow blend);

// a * b / 255, rounded.
inline uint32_t Mul255(uint32_t a, uint32_t b) {
  const uint32_t t = a * b + 128;
  return ((t >> 8) + t) >> 8;
}
// t / 255 rounded, for 0 <= t <= 255 * 255.
inline uint32_t Div255(uint32_t t) {
  t += 128;
  return ((t >> 8) + t) >> 8;
}

// a[i] = a[i] * b[i] / 255 and a[i] = a[i] * s / 255, rounded.
void MulRows(uint8_t* a, const uint8_t* b, uint32_t n);
void ScaleRow(uint8_t* a, uint32_t s, uint32_t n);

// Source over an opaque backdrop, one channel: b[i] becomes
// (alpha[i] * blended[i] + (255 - alpha[i]) * b[i]) / 255, rounded.
void OverOpaque(uint8_t* b, const uint8_t* blended, const uint8_t* alpha, uint32_t n);

// Source over a backdrop with its own alpha, all channels at once.
// cb/ab: backdrop colour planes and alpha, changed in place; cs/as: the
// source; blend: B per channel (null for normal). With
//   P = (255 - ab) cs + ab B                  (the source's colour mixed with
//                                              the blend where the backdrop is)
//   A = 255 as + ab (255 - as)                (255 times the result's alpha)
// the colour becomes (as P + ab (255 - as) cb) / A and the alpha A / 255,
// both rounded; a pixel with A = 0 becomes 0, 0.
void OverTranslucent(uint8_t* const cb[3], uint8_t* ab, const uint8_t* const cs[3],
                     const uint8_t* as, BlendRow blend, int32_t channels, uint8_t* scratch,
                     uint32_t n);

// A pass-through group's result mixed into the backdrop it started from by
// the group's alpha g: premultiplied, g (child) + (255 - g) (parent). Both
// hold the same channels; the parent's planes are changed in place.
void MixTranslucent(uint8_t* const cp[3], uint8_t* ap, const uint8_t* const cc[3],
                    const uint8_t* ac, const uint8_t* g, int32_t channels, uint32_t n);

}  // namespace kelvra
