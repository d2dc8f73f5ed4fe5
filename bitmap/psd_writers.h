// The document writers behind SaveBMapPlanes and SaveMultiLayers, with the
// size of their write buffer as an argument (tests pass tiny ones to cut
// every field and plane across buffer ends) and, for layered documents, upper
// layers whose colours are made as they are written.
#pragma once

#include <cstdint>

#include "bitmap/abitmap.h"
#include "bitmap/stream_writer.h"

namespace kelvra {

// The red, green and blue samples (channel 0, 1, 2) of a layer that exists
// only while it is written: `produce` writes `count` samples of `channel`,
// of the pixels first .. first + count - 1 in memory order, to dst.
struct ChannelSource {
  void (*produce)(const void* context, int32_t channel, uint64_t first, uint32_t count,
                  uint8_t* dst);
  const void* context;
};

// SaveBMapPlanes keeps up to this many samples between the passes of three
// planes of one large raster (see WriteFlatDocument); 12 MB leaves the flat
// write, buffer included, well inside the editor link's 16 MB of working
// memory.
inline constexpr uint64_t kKeptSamplesBytes = 12u << 20;
// ... for rasters of at least this many pixels (16 MB of 32-bit pixels).
inline constexpr uint64_t kKeptSamplesMinPixels = 4u << 20;

// Three 8-bit planes in a row from one raster with 4-byte pixels are written
// with up to `keptBytes` of that raster's samples kept from an earlier pass
// for a later plane (0: none), in a block taken from the plain allocator; the
// bytes are the same either way, and without the block the planes are
// written pass by pass.
int32_t WriteFlatDocument(const ABitMap& receiver, const char* path, int32_t planeCount,
                          int32_t sampleBits, const ABitMap* const* rasters,
                          const int32_t* byteOffsets, uint32_t bufferBytes,
                          uint64_t keptBytes = 0);

// With `upper`, the colour channels of every layer after the first come from
// it and layers[1 ..] are not read (they may be null); their transparency is
// still the mask's, or opaque.
int32_t WriteLayeredDocument(const char* path, const ABitMap* const* layers,
                             int32_t layerCount, const ChannelSource* upper,
                             const ABitMap* merged, const ABitMap* mask, int32_t threshold,
                             uint32_t bufferBytes);

}  // namespace kelvra
