// The shading raster: one pass over two host images of the same size.
#include "editorlink/host_pixels.h"
#include "editorlink/shading.h"

namespace kelvra {

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
      const int32_t gf = (fp[0] + fp[1] + fp[2]) / 3;
      const int32_t gs = (sp[0] + sp[1] + sp[2]) / 3;
      const uint8_t v = static_cast<uint8_t>(ShadeValue(gf, gs));
      op[0] = v;
      op[1] = v;
      op[2] = v;
    } else {
      op[0] = static_cast<uint8_t>(ShadeValue(fp[0], sp[0]));
      op[1] = static_cast<uint8_t>(ShadeValue(fp[1], sp[1]));
      op[2] = static_cast<uint8_t>(ShadeValue(fp[2], sp[2]));
    }
    op[3] = 0;
  }
  return true;
}

}  // namespace kelvra
