// Flat documents: a 40-byte header and raw planes cut out of rasters, no
// image resources and no layers. SaveToFile chooses the planes from the
// raster's depth; SaveBMapPlanes assembles the document in one block and
// writes it with one write.
#include "bitmap/abitmap.h"
#include "bitmap/byte_writer.h"
#include "bitmap/planes.h"
#include "bitmap/whole_file.h"
#include "services/services.h"

namespace kelvra {

namespace {

constexpr uint32_t kFlatHeaderBytes = 40;
constexpr int32_t kMaxPlanes = 16;

// Planes i, i + 1, i + 2 are bytes 2, 1, 0 (red, green, blue) of one
// raster of 32-bit pixels, at 8 bits a sample.
bool IsColourTriple(const ABitMap* const* rasters, const int32_t* offsets, int32_t left,
                    int32_t sampleBits) {
  return left >= 3 && sampleBits == 8 && rasters[0]->bitsPerPixel == 32 &&
         rasters[1] == rasters[0] && rasters[2] == rasters[0] && offsets[0] == 2 &&
         offsets[1] == 1 && offsets[2] == 0;
}

uint32_t FlatColourMode(int32_t planeCount, int32_t sampleBits) {
  if (planeCount == 3 || planeCount == 4) return 3;  // RGB
  if (sampleBits == 16) return 1;                    // grayscale
  return 7;                                          // multichannel
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
  if (planeCount < 0 || planeCount > 0x7FFF) return -1;
  // Every plane must come from a raster of the document's size and lie inside
  // its pixels: a plane of another size would leave the header wrong, and an
  // offset past the pixel would read past the buffer.
  const uint32_t sampleBytes = sampleBits == 8 ? 1 : 2;
  uint64_t planeBytes = 0;
  for (int32_t i = 0; i < planeCount; ++i) {
    const ABitMap* r = rasters[i];
    if (r == nullptr || r->width != width || r->height != height) return -1;
    const int32_t pixelBytes = r->bitsPerPixel / 8;
    if (byteOffsets[i] < 0 ||
        static_cast<int64_t>(byteOffsets[i]) + sampleBytes > pixelBytes) {
      return -1;
    }
    if (r->pixels == nullptr && r->PixelCount() != 0) return -1;
    planeBytes = SizeAdd(planeBytes, r->ExtractPlane(nullptr, sampleBits, byteOffsets[i]));
  }
  const uint64_t total = SizeAdd(planeBytes, kFlatHeaderBytes);
  uint8_t* block = static_cast<uint8_t*>(TrackedAlloc(total, "SaveBMapPlanes"));
  if (block == nullptr) return -1;

  ByteWriter w(block, static_cast<size_t>(total));
  w.PutText("8BPS");                                 // signature
  w.PutBE16(1);                                      // version
  w.PutZeros(6);                                     // reserved
  w.PutBE16(static_cast<uint32_t>(planeCount));      // channel count
  w.PutBE32(static_cast<uint32_t>(height));          // rows
  w.PutBE32(static_cast<uint32_t>(width));           // columns
  w.PutBE16(static_cast<uint32_t>(sampleBits));      // depth
  w.PutBE16(FlatColourMode(planeCount, sampleBits)); // colour mode
  w.PutBE32(0);                                      // colour mode data length
  w.PutBE32(0);                                      // image resources length
  w.PutBE32(0);                                      // layer and mask information length
  w.PutBE16(0);                                      // compression: raw
  for (int32_t i = 0; i < planeCount; ++i) {
    const ABitMap* r = rasters[i];
    const uint32_t size = r->ExtractPlane(nullptr, sampleBits, byteOffsets[i]);
    if (IsColourTriple(rasters + i, byteOffsets + i, planeCount - i, sampleBits)) {
      // Red, green and blue of one 32-bit raster: cut in one pass.
      uint8_t* red = w.Take(size);
      uint8_t* green = w.Take(size);
      uint8_t* blue = w.Take(size);
      if (blue != nullptr && size != 0) SplitColourPlanes(r->pixels, size, red, green, blue);
      i += 2;
    } else if (uint8_t* plane = w.Take(size)) {
      r->ExtractPlane(plane, sampleBits, byteOffsets[i]);
    }
  }
  int32_t status = -1;
  if (w.Produced(static_cast<size_t>(total))) {
    status = WriteWholeFile(path, block, static_cast<uint32_t>(total));
  }
  TrackedFree(block);
  return status;
}

}  // namespace kelvra
