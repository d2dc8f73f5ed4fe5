// Flat documents: a 40-byte header and raw planes cut out of rasters, no
// image resources and no layers. SaveToFile chooses the planes from the
// raster's depth; SaveBMapPlanes computes the document's length, then writes
// header and planes through a bounded buffer, piece by piece.
//
// Three 8-bit planes of one raster with 4-byte pixels (the colour planes of
// SaveToFile) would take three passes over the raster, and a large raster
// comes from main memory in each of them. A bounded block of kept samples
// saves part of the second and third passes: while a pass reads a pixel for
// its own plane it can keep that pixel's byte for a later plane at a quarter
// of the cost of reading the pixel again. See PlanKeptSamples.
#include <cstring>

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
// bytes from there, high byte (the second) first.
void PutPlane(StreamWriter& w, const ABitMap& r, int32_t sampleBits, int32_t byteOffset) {
  const uint64_t count = r.PixelCount();
  if (count == 0) return;
  const uint32_t step = static_cast<uint32_t>(r.bitsPerPixel) / 8;
  const uint8_t* src = r.pixels + byteOffset;
  if (sampleBits == 8) {
    w.PutPieces(count, [src, step](uint8_t* dst, uint64_t first, uint32_t k) {
      const uint8_t* p = src + first * step;
      if (step == 4) {
        CopyByteOfPixels(p, k, dst);
      } else {
        for (uint32_t i = 0; i < k; ++i) dst[i] = p[i * step];
      }
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

// Which samples the three-plane write keeps, for n pixels and a block of at
// most h bytes:
//   - the first pass keeps the second plane's samples of pixels [0, second)
//     at slots [0, second), and the third plane's of pixels [0, thirdEarly)
//     at slots [lateBase, lateBase + thirdEarly);
//   - the second pass takes pixels [0, second) from the block and reads the
//     rest from the raster; of those it keeps the third plane's samples of
//     pixels [n - thirdLate, n) at slots [0, thirdLate), which the first
//     pass's second-plane samples have given up by then;
//   - the third pass takes [0, thirdEarly) and [n - thirdLate, n) from the
//     block and reads only the pixels between.
// The counts maximise second + thirdEarly + thirdLate (the pixel reads saved)
// under: second + thirdEarly <= h, thirdEarly + thirdLate <= h (both blocks
// of slots at once), second + thirdLate <= n (the late samples come from
// pixels the second pass reads) and thirdEarly + thirdLate <= n.
struct KeptSamples {
  uint64_t second = 0;
  uint64_t thirdEarly = 0;
  uint64_t thirdLate = 0;
  uint64_t lateBase = 0;  // a multiple of 16, so both runs of the first pass align alike
  uint64_t blockBytes = 0;  // slots used, plus room to align the block's start to 16
};

uint64_t Min(uint64_t a, uint64_t b) { return a < b ? a : b; }

KeptSamples PlanKeptSamples(uint64_t n, uint64_t h) {
  KeptSamples k;
  if (n == 0 || h == 0) return k;
  if (h > 2 * n) h = 2 * n;  // both later planes whole: nothing more to keep
  if (n >= 2 * h) {
    k.second = h;  // every slot twice: second plane, then third
  } else if (n >= h) {
    k.second = n / 2;
  } else if (2 * n > h) {
    k.second = h / 2;
  } else {
    k.second = n;  // all of both planes fit
  }
  k.thirdLate = Min(h, n - k.second);
  k.thirdEarly = Min(Min(h - k.second, h - k.thirdLate), Min(n - k.thirdLate, k.second));
  const uint64_t front = k.second > k.thirdLate ? k.second : k.thirdLate;
  k.lateBase = (front + 15) & ~static_cast<uint64_t>(15);
  k.blockBytes = k.lateBase + k.thirdEarly + 15;
  return k;
}

// The three planes through `kept` (k.blockBytes bytes): the same bytes as
// three PutPlane calls. Each fill takes its piece in runs that end at the
// plan's boundaries, since a piece may start and end anywhere.
void PutThreePlanesKept(StreamWriter& w, const ABitMap& r, const int32_t* offsets,
                        uint8_t* kept, const KeptSamples& k) {
  const uint64_t n = r.PixelCount();
  const uint8_t* px = r.pixels;
  uint8_t* slots = kept + ((16 - (reinterpret_cast<uintptr_t>(kept) & 15)) & 15);
  const uint64_t lateFirst = n - k.thirdLate;
  const int32_t first[3] = {offsets[0], offsets[1], offsets[2]};
  const int32_t second[2] = {offsets[1], offsets[2]};
  const int32_t* third = offsets + 2;

  w.PutPieces(n, [&](uint8_t* dst, uint64_t at, uint32_t count) {
    const uint64_t end = at + count;
    for (uint64_t p = at; p < end;) {
      uint64_t q;
      if (p < k.thirdEarly) {
        q = Min(end, k.thirdEarly);
        uint8_t* planes[3] = {dst + (p - at), slots + p, slots + k.lateBase + p};
        CopyBytesOfPixels(px + 4 * p, q - p, 3, first, planes);
      } else if (p < k.second) {
        q = Min(end, k.second);
        uint8_t* planes[2] = {dst + (p - at), slots + p};
        CopyBytesOfPixels(px + 4 * p, q - p, 2, first, planes);
      } else {
        q = end;
        uint8_t* planes[1] = {dst + (p - at)};
        CopyBytesOfPixels(px + 4 * p, q - p, 1, first, planes);
      }
      p = q;
    }
  });
  w.PutPieces(n, [&](uint8_t* dst, uint64_t at, uint32_t count) {
    const uint64_t end = at + count;
    for (uint64_t p = at; p < end;) {
      uint64_t q;
      if (p < k.second) {
        q = Min(end, k.second);
        std::memcpy(dst + (p - at), slots + p, static_cast<size_t>(q - p));
      } else if (p < lateFirst) {
        q = Min(end, lateFirst);
        uint8_t* planes[1] = {dst + (p - at)};
        CopyBytesOfPixels(px + 4 * p, q - p, 1, second, planes);
      } else {
        q = end;
        uint8_t* planes[2] = {dst + (p - at), slots + (p - lateFirst)};
        CopyBytesOfPixels(px + 4 * p, q - p, 2, second, planes);
      }
      p = q;
    }
  });
  w.PutPieces(n, [&](uint8_t* dst, uint64_t at, uint32_t count) {
    const uint64_t end = at + count;
    for (uint64_t p = at; p < end;) {
      uint64_t q;
      if (p < k.thirdEarly) {
        q = Min(end, k.thirdEarly);
        std::memcpy(dst + (p - at), slots + k.lateBase + p, static_cast<size_t>(q - p));
      } else if (p < lateFirst) {
        q = Min(end, lateFirst);
        uint8_t* planes[1] = {dst + (p - at)};
        CopyBytesOfPixels(px + 4 * p, q - p, 1, third, planes);
      } else {
        q = end;
        std::memcpy(dst + (p - at), slots + (p - lateFirst), static_cast<size_t>(q - p));
      }
      p = q;
    }
  });
}

// Planes i, i + 1 and i + 2 are 8-bit samples of one raster with 4-byte
// pixels.
bool ThreePlanesOfOneRaster(int32_t i, int32_t planeCount, int32_t sampleBits,
                            const ABitMap* const* rasters) {
  return sampleBits == 8 && i + 2 < planeCount && rasters[i] == rasters[i + 1] &&
         rasters[i] == rasters[i + 2] && rasters[i]->bitsPerPixel == 32 &&
         rasters[i]->PixelCount() != 0;
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
  // Small rasters stay in the caches between passes: keeping samples would
  // gain nothing there.
  const uint64_t kept = PixelCount() >= kKeptSamplesMinPixels ? kKeptSamplesBytes : 0;
  return WriteFlatDocument(*this, path, planeCount, sampleBits, rasters, byteOffsets,
                           kStreamBufferBytes, kept);
}

int32_t WriteFlatDocument(const ABitMap& receiver, const char* path, int32_t planeCount,
                          int32_t sampleBits, const ABitMap* const* rasters,
                          const int32_t* byteOffsets, uint32_t bufferBytes,
                          uint64_t keptBytes) {
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
  // The block of kept samples is a speed aid only: obtained after the
  // writer's own buffer and from the plain allocator, so that without it the
  // planes are written pass by pass as they would be anyway, and no box is
  // shown.
  // Every raster has the document's size, so one plan serves every run of
  // three planes.
  const KeptSamples plan = PlanKeptSamples(receiver.PixelCount(), keptBytes);
  uint8_t* kept = nullptr;
  bool keeping = plan.blockBytes != 0;
  for (int32_t i = 0; i < planeCount;) {
    if (keeping && ThreePlanesOfOneRaster(i, planeCount, sampleBits, rasters)) {
      if (kept == nullptr) kept = static_cast<uint8_t*>(PlainAlloc(plan.blockBytes));
      if (kept != nullptr) {
        PutThreePlanesKept(w, *rasters[i], byteOffsets + i, kept, plan);
        i += 3;
        continue;
      }
      keeping = false;  // not to be had: the remaining planes pass by pass
    }
    PutPlane(w, *rasters[i], sampleBits, byteOffsets[i]);
    ++i;
  }
  PlainFree(kept);
  return w.Finish();
}

}  // namespace kelvra
