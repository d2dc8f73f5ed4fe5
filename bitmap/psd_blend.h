// The compositor's arithmetic at 8 bits: one table of blend modes (the
// document's 4-character key to a function over a row of pixels), and the
// source-over steps that put a blended row onto its backdrop.
//
// Every result is the exact real value of the formula rounded to the nearest
// level (a product over 255 never falls exactly halfway, 255 being odd; where
// a quotient can, halves round up), except where the table says otherwise.
// Levels v stand for v / 255. B is the blend of backdrop cb and source cs;
// where W3C Compositing and Blending Level 1 and Photoshop differ,
// Photoshop's documents decide (each new row says how it was checked).
//
// Separable modes, one channel at a time (W3C "separable blend modes",
// #blendingseparable, unless noted):
//   normal      cs              dissolve  cs (see BlendNeedsHardAlpha)
//   multiply    cb * cs
//   screen      cb + cs - cb * cs
//   overlay     hard light with the two swapped
//   darken      min(cb, cs)            lighten   max(cb, cs)
//   hard light  cs <= 1/2: multiply(cb, 2 cs); else screen(cb, 2 cs - 1)
//   soft light  cs <= 1/2: cb - (1 - 2 cs) cb (1 - cb)
//               else cb + (2 cs - 1) (D(cb) - cb), D(cb) = ((16 cb - 12) cb + 4) cb
//               for cb <= 1/4, sqrt(cb) above. sqrt(cb) is held to 2^-24 of a
//               level before the final rounding (every pair of levels then
//               rounds as the real value does; a test checks all). Photoshop's
//               picture of a photograph in soft light over a gradient and the
//               other way round (blend-modes__rgb-blend-modes in the second
//               shared folder, 13170 opaque samples) shows W3C's polynomial
//               below a quarter: with the gradient as the source every sample is
//               within 1 level, with it as the backdrop within 5 (the
//               polynomial's slope, up to 4, magnifies the rounding of the
//               gradient's stored pixels); sqrt(cb) everywhere is 20 levels off
//               in dark backdrops.
//   difference  |cb - cs|              exclusion cb + cs - 2 cb cs
//   color dodge cb = 0: 0; cs = 1: 1; else min(1, cb / (1 - cs))
//   color burn  cb = 1: 1; cs = 0: 0; else 1 - min(1, (1 - cb) / cs)
//   linear dodge (add) min(1, cb + cs)  linear burn max(0, cb + cs - 1)
// Photoshop's modes beyond W3C, in levels (0..255):
//   subtract    max(0, cb - cs)
//   divide      cb = 0: 0; cs = 0: 255; else min(255, 255 cb / cs)
//               (0 / 0 taken as color dodge takes cb = 0: no picture shows it)
//   hard mix    cb + cs >= 255: 255, else 0 (Photoshop's own description),
//               but cb = 0: 0 (so cb = 0 with cs = 255 gives 0)
//   pin light   cs <= 127: min(cb, 2 cs); else max(cb, 2 cs - 255)
//               (Photoshop's picture: within 1 level on its one sample)
//   linear light  min(255, max(0, cb + 2 cs - 256)), exact in integers
//   vivid light cs = 0: 0 and cs = 255: 255 whatever cb; otherwise cs <= 127:
//               color burn with 2 cs, else color dodge with 2 cs - 256, each
//               rounded down: 255 - ceil(255 (255 - cb) / (2 cs)) (cb = 255: 255),
//               or floor(255 cb / (511 - 2 cs)) (cb = 0: 0), at most 255.
//   Linear light and vivid light take level 128 as the neutral source (2 cs -
//   256, not 2 cs - 255), and vivid light rounds down: so Photoshop's merged
//   picture of a document with every mode shows them (each mode there is a
//   one-colour layer and a colour overlay in the same mode over grey 128,
//   M(M(128, layer), overlay); these formulas give its samples exactly, the
//   midpoint 127.5 and rounding to nearest are 2 and 7 levels off).
// Halves in color dodge, color burn and divide round up.
// The ends of the range, where the division modes' definitions disagree, as
// Photoshop's pictures of three one-colour ellipses (blue, green, red) at
// 50 % over one another in each mode show them (blend-modes__* in the second
// shared folder: the pairs (cb, cs) = (0, 255), (255, 0) and (0, 0) in every
// channel; composited as W3C's source-over with these blends, every sample at
// least 70 % opaque is within 2 levels, and within 3 at least 50 % opaque):
// color dodge, color burn and divide give (0, 255) -> 0, (255, 0) -> 255 and
// (0, 0) -> 0 as above; vivid light's source decides, (0, 255) -> 255 and
// (255, 0) -> 0 (the backdrop's rule was up to 110 levels off there); hard mix
// gives (0, 255) -> 0 (255 was 111 levels off). Linear light there is within
// 3 levels as it stands.
//
// Non-separable modes, the whole pixel at once (W3C "non-separable blend
// modes", #blendingnonseparable), with
//   Lum(C) = 0.3 r + 0.59 g + 0.11 b,  Sat(C) = max(C) - min(C),
//   SetLum(C, l): C + (l - Lum(C)), then ClipColor towards l's grey,
//   SetSat(C, s): (mid - min) s / (max - min) for the middle channel, s for
//                 the largest, 0 for the smallest (all 0 when max = min):
//   hue         SetLum(SetSat(cs, Sat(cb)), Lum(cb))
//   saturation  SetLum(SetSat(cb, Sat(cs)), Lum(cb))
//   color       SetLum(cs, Lum(cb))
//   luminosity  SetLum(cb, Lum(cs))
// computed as exact fractions of integers and rounded once (halves up).
//   darker color  the whole pixel with the smaller Lum, lighter color the one
//               with the larger; a tie keeps cb. Photoshop's picture shows a
//               luminance, not the channel sum its help names, decides.
// A document of one grey channel blends a grey pixel (r = g = b): grey has
// neither hue nor saturation, so hue, saturation and color give cb,
// luminosity gives cs, darker and lighter color min and max.
#pragma once

#include <cstdint>

namespace kelvra {

// out[c][i] = B(backdrop, source) for the colour channels c < channels of
// pixel i; channels is 3 (r, g, b) or 1 (grey). Planes at and past
// `channels` are not touched. out[c] may be cb[c] or cs[c].
using BlendRow = void (*)(const uint8_t* const cb[3], const uint8_t* const cs[3],
                          uint8_t* const out[3], int32_t channels, uint32_t n);

// The blend of a document's key ("norm", "mul ", ...), or null for a key the
// compositor cannot reproduce. "pass" (pass-through, a group's mode) is not
// in the table: callers treat it before asking.
BlendRow FindBlend(const uint8_t key[4]);
// True for normal and dissolve: the source's colour is the blend, so a
// compositor may skip calling it.
bool IsNormalBlend(BlendRow blend);
// True for dissolve. Photoshop dissolves by showing each pixel fully or not
// at all, at random, in proportion to its alpha; that equals normal only
// where the final alpha (after mask, fill and opacity) is 0 or 255 at every
// pixel. A compositor refuses the layer otherwise (HardAlphaOnly).
bool BlendNeedsHardAlpha(BlendRow blend);
// True when every alpha[i] is 0 or 255.
bool HardAlphaOnly(const uint8_t* alpha, uint32_t n);
// True for the eight modes in which Photoshop's fill opacity does not act as
// alpha (color burn, linear burn, color dodge, linear dodge, vivid light,
// linear light, hard mix, difference; its own picture of a linear light
// layer at fill 20% is (63, 77, 65), fill taken as alpha gives (63, 101, 91)).
// A compositor that scales alpha by fill reproduces them only at fill 255;
// FindFillInside gives the rule for those where it is known.
bool BlendTakesFillApart(BlendRow blend);

// Fill opacity inside the blend, for the modes of BlendTakesFillApart whose
// rule is known: the blend's value before it is cut to [0, 255] (in levels,
// may lie outside), or null. Only linear light has a row, checked on
// Photoshop's picture of a linear light layer at fill 20 %, opacity 100 %
// over a backdrop with alpha 194 (0, 134, 121): Photoshop shows (63, 77, 65)
// at alpha 206, which is source over (OverFillInside) with the source alpha
// f and the uncut blend cb + 2 cs - 256 = (254, -122, -135), cut only after
// the mix: (63, 78, 66) at 206; the cut blend gives (63, 101, 91). The seven
// other modes have no picture to check against and stay refused.
using UncutBlend = int32_t (*)(int32_t cb, int32_t cs);
UncutBlend FindFillInside(BlendRow blend);

// A layer at fill f (f < 255) in a mode of FindFillInside, where its
// coverage is whole, onto a backdrop: with U = uncut(cb, cs),
//   P = (255 - ab) cs + ab U,  A = 255 f + ab (255 - f),
// the colour becomes (f P + ab (255 - f) cb) / A rounded and cut to
// [0, 255], the alpha A / 255; ab null: an opaque backdrop (ab = 255 and
// the colour cb + f (U - cb) / 255, cut).
void OverFillInside(uint8_t* const cb[3], uint8_t* ab, const uint8_t* const cs[3], uint8_t fill,
                    UncutBlend uncut, int32_t channels, uint32_t n);

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
// source; blend: B (null for normal); scratch: 3 n bytes. With
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
