// The integer arithmetic between the flat image (the painted colours) and the
// shaded image (the same picture with shading): the shading layer handed to
// the editor above the flat image, and the ratio rule that carries an edit of
// the shaded image back into the flat one. 8-bit levels, 32-bit intermediates,
// no floating point.
#pragma once

#include <array>
#include <cstdint>

#include "bitmap/abitmap.h"
#include "host/host.h"
#include "services/vector_sets.h"

namespace kelvra {

// The shading level that, laid over flat level `a` in hard-light mode, shows
// shaded level `b` (to within 2 levels). 128 is neutral.
int32_t ShadeValue(int32_t a, int32_t b);

// ShadeValue(a, b) at index 256 * a + b: the writers look levels up here
// instead of dividing for every sample.
extern const std::array<uint8_t, 65536> kShadeLevels;

// The new flat level when the shaded level `s` was edited to `b` (b != s) and
// the flat level was `t`: about t * b / s, exactly b when t == s.
int32_t TransferEdit(int32_t t, int32_t s, int32_t b);

// Fills `out` (which must hold no owned pixels) with a new raster of the
// shading levels of `flat` and `shaded`, per channel or, with `grey`, from the
// channel means. The caller gives the pixels back with Release. Returns false
// and leaves `out` without pixels when either image is missing, has no pixels,
// is not packed 32-bit, the two sizes differ, or memory runs out.
bool BuildShadingLayer(const host::HostImage* flat, const host::HostImage* shaded,
                       bool grey, ABitMap* out);

// One channel (0 red, 1 green, 2 blue) of the shading levels of pixels
// first .. first + count - 1 of two images of packed 32-bit pixels, the same
// levels BuildShadingLayer stores, written to dst one byte a pixel, in
// vector set `set` (the caller chooses it once per document). Lets a writer
// make the shading layer piece by piece as it writes it.
void ShadingLevels(VectorSet set, const uint8_t* flat, const uint8_t* shaded, bool grey,
                   int32_t channel, uint64_t first, uint32_t count, uint8_t* dst);
// Its AVX2 form (shading_levels_avx2.cpp) for the pixels it can take: byte
// `byte` of each pixel (2 red, 1 green, 0 blue), whole steps only. Returns
// how many pixels it did.
uint32_t ShadingLevelsAvx2(const uint8_t* flat, const uint8_t* shaded, bool grey,
                           int32_t byte, uint32_t count, uint8_t* dst);

}  // namespace kelvra
