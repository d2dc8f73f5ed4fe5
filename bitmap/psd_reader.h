// Reading Photoshop documents into 32-bit rasters: the composite image
// (flat reading) or the first layer record's channels (layered reading).
//
// Only what the editor link needs is read: 8-bit samples of grayscale, RGB or
// multichannel documents, raw or PackBits. Channel 0, 1, 2 (red, green, blue)
// go to bytes 2, 1, 0 of each pixel and a fourth channel (alpha) to byte 3;
// bytes of channels not read stay 0. Documents this cannot read correctly
// are refused rather than decoded into wrong colours.
//
// The receiver is unchanged by every refusal found before its pixels are
// replaced. Once decoding has started, a failure leaves it without pixels,
// never with partly decoded ones.
#pragma once

#include <cstdint>

#include "bitmap/abitmap.h"

namespace kelvra {

// Why a read failed; LoadFromFile and LoadLayeredFromFile report all of
// these as -1.
enum class PsdRead {
  kOk,
  kNoDocument,              // no bytes: missing, empty or unreadable file
  kTruncated,               // ends before what its header and lengths promise
  kNotPhotoshop,            // signature or version of another format
  kNoChannels,              // channel count below 1
  kTooLarge,                // rows or columns beyond a raster's range
  kUnsupportedDepth,        // other than 8 bits per sample
  kUnsupportedColourMode,   // other than grayscale, RGB, multichannel
  kUnsupportedCompression,  // other than raw and PackBits
  kNoMergedData,            // the composite is marked as not the real image
  kBadLayerCount,           // -32768
  kRowIncomplete,           // a PackBits row whose bytes end early
  kNoMemory,                // the raster's pixels could not be had
};

// The composite image of `length` document bytes.
PsdRead ReadCompositeImage(const uint8_t* bytes, uint64_t length, bool withAlpha,
                           ABitMap* target);
// The first layer record's channels, placed at the layer's rectangle in a
// raster of the document's size; the composite when there are no layers.
PsdRead ReadFirstLayer(const uint8_t* bytes, uint64_t length, bool withAlpha,
                       ABitMap* target);

}  // namespace kelvra
