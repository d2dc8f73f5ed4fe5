// The per-pixel loops of the document readers and writers over 32-bit
// pixels (bytes blue, green, red, alpha): one byte of every pixel out to a
// plane, a plane back into one byte of every pixel, and the transparency
// plane of a mask. These run over every pixel of a document, so they are
// kept tight.
#pragma once

#include <cstdint>

namespace kelvra {

// dst[i] = src[4 * i]: `src` points at the chosen byte of the first pixel.
void CopyByteOfPixels(const uint8_t* src, uint64_t count, uint8_t* dst);

// The forms of the plane copy below, narrowest first: the vector sets of
// the renderer, and AVX-512 with its byte permutes (VBMI).
enum class PlaneCopy : int32_t { kSse2, kAvx2, kAvx512, kAvx512Vbmi };

// The widest form the processor has, within the renderer's cap on the
// vector set (LimitVectorSet) and the cap below. Writers choose once per
// document.
PlaneCopy ChosenPlaneCopy();
// Caps the choice (tests compare the forms; the benchmark reports each).
// The cap stays until changed; it is kAvx512Vbmi at load.
void LimitPlaneCopy(PlaneCopy widest);

// dst[i] = pixels[4 * i + byteOffset] (byteOffset 0 to 3), the same bytes as
// CopyByteOfPixels, in `form`: AVX2 and AVX-512 take a whole cache line of
// pixels in two loads or one, where SSE2 takes four, and the byte permutes
// cut the work per line further, which lets a pass over a raster larger than
// the caches run at close to the speed of memory. Only the pixels' own bytes
// are read.
void CopyByteOfPixelsIn(PlaneCopy form, const uint8_t* pixels, int32_t byteOffset,
                        uint64_t count, uint8_t* dst);
// Its wide forms (planes_avx2.cpp, planes_avx512.cpp, planes_avx512vbmi.cpp).
void CopyByteOfPixelsAvx2(const uint8_t* pixels, int32_t byteOffset, uint64_t count,
                          uint8_t* dst);
void CopyByteOfPixelsAvx512(const uint8_t* pixels, int32_t byteOffset, uint64_t count,
                            uint8_t* dst);
void CopyByteOfPixelsAvx512Vbmi(const uint8_t* pixels, int32_t byteOffset, uint64_t count,
                                uint8_t* dst);

// The red, green and blue planes (bytes 2, 1, 0) in one pass over the pixels.
void SplitColourPlanes(const uint8_t* pixels, uint64_t count, uint8_t* red,
                       uint8_t* green, uint8_t* blue);

// dst[4 * i] = src[i]: `dst` points at the chosen byte of the first pixel.
void StoreByteOfPixels(const uint8_t* src, uint64_t count, uint8_t* dst);

// Whole pixels from planes: byte 2 from `red`, 1 from `green`, 0 from
// `blue`, 3 from `alpha` (0 when alpha is null).
void MergePlanes(const uint8_t* red, const uint8_t* green, const uint8_t* blue,
                 const uint8_t* alpha, uint64_t count, uint8_t* pixels);

// 255 where the mask pixel, read as a signed 32-bit integer (alpha the most
// significant byte), is below `threshold`; 0 elsewhere.
void MaskTransparency(const uint8_t* maskPixels, uint64_t count,
                      int32_t threshold, uint8_t* dst);

}  // namespace kelvra
