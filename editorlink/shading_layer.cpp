// The shading raster: one pass over two host images of the same size; and
// the same levels one channel and one piece at a time, for a writer that
// makes the shading layer as it writes it.
#include "editorlink/host_pixels.h"
#include "editorlink/shading.h"

namespace kelvra {

namespace {

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

void ShadingLevels(const uint8_t* flat, const uint8_t* shaded, bool grey, int32_t channel,
                   uint64_t first, uint32_t count, uint8_t* dst) {
  const uint8_t* fp = flat + 4 * first;
  const uint8_t* sp = shaded + 4 * first;
  if (grey) {
    // The three channels of a grey shading layer hold the same level.
    for (uint32_t i = 0; i < count; ++i) dst[i] = Level(Grey(fp + 4 * i), Grey(sp + 4 * i));
    return;
  }
  // Channel 0 is red, byte 2 of a pixel; channel 2 is blue, byte 0.
  const uint32_t byte = static_cast<uint32_t>(2 - channel);
  fp += byte;
  sp += byte;
  for (uint32_t i = 0; i < count; ++i) dst[i] = Level(fp[4 * i], sp[4 * i]);
}

}  // namespace kelvra
