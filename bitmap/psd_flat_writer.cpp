// Flat documents: a 40-byte header and raw planes cut out of rasters, no
// image resources and no layers. SaveToFile chooses the planes from the
// raster's depth; SaveBMapPlanes computes the document's length, then writes
// header and planes through a bounded buffer, piece by piece.
#include "bitmap/abitmap.h"
#include "bitmap/planes.h"
#include "bitmap/psd_writers.h"
#include "bitmap/stream_writer.h"
#include "services/services.h"

namespace kelvra {

namespace {

constexpr uint32_t kFlatHeaderBytes = 40;
constexpr int32_t kMaxPlanes = 16;

uint32_t FlatColourMode(int32_t planeCount, int32_t sampleBits) {
  if (planeCount == 3 || planeCount == 4) return 3;  // RGB
  if (sampleBits == 16) return 1;                    // grayscale
  return 7;                                          // multichannel
}

// One plane: the byte at `byteOffset` of every pixel, or at 16 bits the two
// bytes from there, high byte (the second) first. Planes of 32-bit pixels
// are cut in `form` (see CopyByteOfPixelsIn).
void PutPlane(StreamWriter& w, const ABitMap& r, int32_t sampleBits, int32_t byteOffset,
              PlaneCopy form) {
  const uint64_t count = r.PixelCount();
  if (count == 0) return;
  const uint32_t step = static_cast<uint32_t>(r.bitsPerPixel) / 8;
  const uint8_t* src = r.pixels + byteOffset;
  if (sampleBits == 8 && step == 4) {
    const uint8_t* pixels = r.pixels;
    w.PutPieces(count, [pixels, byteOffset, form](uint8_t* dst, uint64_t first, uint32_t k) {
      CopyByteOfPixelsIn(form, pixels + 4 * first, byteOffset, k, dst);
    });
  } else if (sampleBits == 8) {
    w.PutPieces(count, [src, step](uint8_t* dst, uint64_t first, uint32_t k) {
      const uint8_t* p = src + first * step;
      for (uint32_t i = 0; i < k; ++i) dst[i] = p[i * step];
    });
  } else {
    // A piece may start or end between the two bytes of a sample.
    w.PutPieces(2 * count, [src, step](uint8_t* dst, uint64_t first, uint32_t k) {
      for (uint32_t i = 0; i < k; ++i) {
        const uint64_t j = first + i;
        dst[i] = src[(j >> 1) * step + ((j & 1) == 0 ? 1 : 0)];
      }
    });
  }
}

}  // namespace

int32_t ABitMap::SaveToFile(const char* path, bool withAlpha) {
  const int32_t bytesPerPixel = bitsPerPixel / 8;
  const ABitMap* rasters[kMaxPlanes];
  int32_t offsets[kMaxPlanes];
  int32_t planes = 0;
  int32_t sampleBits = 8;
  if (bytesPerPixel == 4) {
    // Red, green, blue (and alpha): bytes 2, 1, 0 (and 3) of each pixel.
    offsets[planes++] = 2;
    offsets[planes++] = 1;
    offsets[planes++] = 0;
    if (withAlpha) offsets[planes++] = 3;
  } else if (bytesPerPixel == 2) {
    offsets[planes++] = 0;  // one plane of 16-bit samples
    sampleBits = 16;
  } else if (bytesPerPixel > kMaxPlanes) {
    return -1;  // more bytes per pixel than planes a flat document takes here
  } else {
    for (int32_t b = bytesPerPixel - 1; b >= 0; --b) offsets[planes++] = b;
  }
  for (int32_t i = 0; i < planes; ++i) rasters[i] = this;
  return SaveBMapPlanes(path, planes, sampleBits, rasters, offsets);
}

int32_t ABitMap::SaveBMapPlanes(const char* path, int32_t planeCount,
                                int32_t sampleBits, const ABitMap* const* rasters,
                                const int32_t* byteOffsets) {
  return WriteFlatDocument(*this, path, planeCount, sampleBits, rasters, byteOffsets,
                           kStreamBufferBytes);
}

int32_t WriteFlatDocument(const ABitMap& receiver, const char* path, int32_t planeCount,
                          int32_t sampleBits, const ABitMap* const* rasters,
                          const int32_t* byteOffsets, uint32_t bufferBytes) {
  if (planeCount < 0 || planeCount > 0x7FFF) return -1;
  // Every plane must come from a raster of the document's size and lie inside
  // its pixels: a plane of another size would leave the header wrong, and an
  // offset past the pixel would read past the buffer.
  const uint32_t sampleBytes = sampleBits == 8 ? 1 : 2;
  uint64_t planeBytes = 0;
  for (int32_t i = 0; i < planeCount; ++i) {
    const ABitMap* r = rasters[i];
    if (r == nullptr || r->width != receiver.width || r->height != receiver.height) return -1;
    const int32_t pixelBytes = r->bitsPerPixel / 8;
    if (byteOffsets[i] < 0 ||
        static_cast<int64_t>(byteOffsets[i]) + sampleBytes > pixelBytes) {
      return -1;
    }
    if (r->pixels == nullptr && r->PixelCount() != 0) return -1;
    planeBytes = SizeAdd(planeBytes, SizeMul(r->PixelCount(), sampleBytes));
  }
  const uint64_t total = SizeAdd(planeBytes, kFlatHeaderBytes);

  StreamWriter w(total);
  if (!w.Open(path, "SaveBMapPlanes", bufferBytes)) return -1;
  w.PutText("8BPS");                                       // signature
  w.PutBE16(1);                                            // version
  w.PutZeros(6);                                           // reserved
  w.PutBE16(static_cast<uint32_t>(planeCount));            // channel count
  w.PutBE32(static_cast<uint32_t>(receiver.height));       // rows
  w.PutBE32(static_cast<uint32_t>(receiver.width));        // columns
  w.PutBE16(static_cast<uint32_t>(sampleBits));            // depth
  w.PutBE16(FlatColourMode(planeCount, sampleBits));       // colour mode
  w.PutBE32(0);                                            // colour mode data length
  w.PutBE32(0);                                            // image resources length
  w.PutBE32(0);                                            // layer and mask information length
  w.PutBE16(0);                                            // compression: raw
  const PlaneCopy form = ChosenPlaneCopy();
  for (int32_t i = 0; i < planeCount; ++i) {
    PutPlane(w, *rasters[i], sampleBits, byteOffsets[i], form);
  }
  return w.Finish();
}

}  // namespace kelvra
