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

int32_t WriteFlatDocument(const ABitMap& receiver, const char* path, int32_t planeCount,
                          int32_t sampleBits, const ABitMap* const* rasters,
                          const int32_t* byteOffsets, uint32_t bufferBytes);

// With `upper`, the colour channels of every layer after the first come from
// it and layers[1 ..] are not read (they may be null); their transparency is
// still the mask's, or opaque.
int32_t WriteLayeredDocument(const char* path, const ABitMap* const* layers,
                             int32_t layerCount, const ChannelSource* upper,
                             const ABitMap* merged, const ABitMap* mask, int32_t threshold,
                             uint32_t bufferBytes);

}  // namespace kelvra
