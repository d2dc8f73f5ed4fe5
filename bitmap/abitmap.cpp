// ABitMap: buffer management, binding to host images and plane extraction.
#include "bitmap/abitmap.h"

#include "bitmap/planes.h"
#include "services/services.h"

namespace kelvra {

void ABitMap::Release() {
  if (pixels != nullptr) {
    TrackedFree(pixels);
    pixels = nullptr;
  }
}

uint8_t* ABitMap::Allocate(int32_t w, int32_t h, int32_t bits) {
  // Same size: the held buffer is kept as it is, contents and depth included.
  if (pixels != nullptr && width == w && height == h) return pixels;
  Release();
  bitsPerPixel = bits;
  width = w;
  height = h;
  // In 64 bits: a byte count that does not fit, or a negative dimension,
  // fails like an exhausted heap (the note box names this operation).
  uint64_t bytes = (w < 0 || h < 0 || bits < 0)
                       ? kSizeOverflow
                       : SizeMul(SizeMul(static_cast<uint64_t>(bits / 8),
                                         static_cast<uint64_t>(w)),
                                 static_cast<uint64_t>(h));
  pixels = static_cast<uint8_t*>(TrackedAlloc(bytes, "ABitMap::Allocate"));
  return pixels;
}

int32_t ABitMap::BindHostImage(const host::HostImage* image) {
  if (image == nullptr) return -1;
  bitsPerPixel = host::ImageBitsPerPixel(image);
  width = host::ImageWidth(image);
  height = host::ImageHeight(image);
  pixels = static_cast<uint8_t*>(host::ImagePixels(image));
  return pixels != nullptr ? 0 : -1;
}

uint32_t ABitMap::ExtractPlane(uint8_t* dst, int32_t sampleBits,
                               int32_t byteOffset) const {
  const uint64_t count = PixelCount();
  const uint64_t size = sampleBits == 8 ? count : 2 * count;
  if (dst == nullptr || count == 0 || pixels == nullptr) {
    return static_cast<uint32_t>(size);
  }
  const uint32_t step = bitsPerPixel > 0 ? static_cast<uint32_t>(bitsPerPixel) / 8 : 0;
  const uint8_t* src = pixels + byteOffset;
  if (sampleBits == 8) {
    if (step == 4) {
      CopyByteOfPixels(src, count, dst);
    } else {
      for (uint64_t i = 0; i < count; ++i) dst[i] = src[i * step];
    }
  } else {
    // A little-endian 16-bit sample becomes a big-endian one.
    for (uint64_t i = 0; i < count; ++i) {
      dst[2 * i] = src[i * step + 1];
      dst[2 * i + 1] = src[i * step];
    }
  }
  return static_cast<uint32_t>(size);
}

}  // namespace kelvra
