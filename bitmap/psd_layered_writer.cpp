// Layered documents: 8-bit RGB, a bottom layer "Background" and upper layers
// that are either shading layers in hard-light mode (no mask raster) or
// layers whose transparency comes from a mask raster, followed by a raw
// composite image. Layer settings, names and image resources come from the
// template blocks. Every length is computed from the layout first; then the
// document goes out field by field and plane by plane through a bounded
// buffer, and the writer checks that exactly the computed length went out.
#include <cstring>

#include "bitmap/abitmap.h"
#include "bitmap/planes.h"
#include "bitmap/psd_templates.h"
#include "bitmap/psd_writers.h"
#include "bitmap/stream_writer.h"
#include "services/services.h"

namespace kelvra {

namespace {

constexpr uint32_t kBackgroundFlags = 0x29;  // transparency protected, bit 4 valid, bit 5
constexpr uint32_t kOpaque = 255;

// A raster the writer may read W x H pixels of 4 bytes from.
bool Readable(const ABitMap* r, int32_t width, int32_t height) {
  return r != nullptr && r->width == width && r->height == height &&
         r->bitsPerPixel == 32 && (r->pixels != nullptr || r->PixelCount() == 0);
}

// N samples of one byte of every pixel (byte 2 for red, 1 green, 0 blue),
// cut in `form`.
void PutByteOfPixels(StreamWriter& w, const ABitMap& raster, int32_t byteOffset, uint64_t n,
                     PlaneCopy form) {
  if (n == 0) return;
  const uint8_t* pixels = raster.pixels;
  w.PutPieces(n, [pixels, byteOffset, form](uint8_t* dst, uint64_t first, uint32_t k) {
    CopyByteOfPixelsIn(form, pixels + 4 * first, byteOffset, k, dst);
  });
}

// Channels 0, 1, 2 of a layer (red, green, blue), each a raw compression
// value and N samples.
void PutColourChannels(StreamWriter& w, const ABitMap* raster, const ChannelSource* source,
                       uint64_t n, PlaneCopy form) {
  for (int32_t channel = 0; channel < 3; ++channel) {
    w.PutBE16(0);  // compression: raw
    if (source != nullptr) {
      w.PutPieces(n, [source, channel](uint8_t* dst, uint64_t first, uint32_t k) {
        source->produce(source->context, channel, first, k, dst);
      });
    } else {
      PutByteOfPixels(w, *raster, 2 - channel, n, form);
    }
  }
}

void PutLayerRecord(StreamWriter& w, int32_t index, int32_t width, int32_t height,
                    uint64_t n, const ABitMap* mask) {
  const bool bottom = index == 0;
  w.PutBE32(0);                                // top
  w.PutBE32(0);                                // left
  w.PutBE32(static_cast<uint32_t>(height));    // bottom
  w.PutBE32(static_cast<uint32_t>(width));     // right
  w.PutBE16(bottom ? 3 : 4);                   // channel count
  const uint32_t channelBytes = static_cast<uint32_t>(n + 2);
  if (!bottom) {
    w.PutBE16(0xFFFF);                         // channel -1: transparency
    w.PutBE32(channelBytes);
  }
  for (uint32_t id = 0; id < 3; ++id) {
    w.PutBE16(id);                             // channels 0, 1, 2: red, green, blue
    w.PutBE32(channelBytes);
  }
  w.PutText("8BIM");                           // blend mode signature
  w.PutText(bottom || mask != nullptr ? "norm" : "hLit");  // blend mode key
  w.PutU8(kOpaque);                            // opacity
  w.PutU8(0);                                  // clipping: base
  w.PutU8(bottom ? kBackgroundFlags : 0);      // flags
  w.PutU8(0);                                  // filler
  if (bottom) {
    w.PutBE32(BackgroundLayerExtra.size());    // extra data length
    w.PutBytes(BackgroundLayerExtra.data(), BackgroundLayerExtra.size());
  } else if (mask == nullptr) {
    w.PutBE32(ShadingLayerExtra.size());
    w.PutBytes(ShadingLayerExtra.data(), ShadingLayerExtra.size());
  } else {
    w.PutBE32(MaskedLayerExtra.size());
    w.PutBytes(MaskedLayerExtra.data(), MaskedLayerExtra.size());
  }
}

}  // namespace

int32_t ABitMap::SaveMultiLayers(const char* path, const ABitMap* const* layers,
                                 int32_t layerCount, const ABitMap* merged,
                                 const ABitMap* mask, int32_t threshold) {
  return WriteLayeredDocument(path, layers, layerCount, nullptr, merged, mask, threshold,
                              kStreamBufferBytes);
}

int32_t WriteLayeredDocument(const char* path, const ABitMap* const* layers,
                             int32_t layerCount, const ChannelSource* upper,
                             const ABitMap* merged, const ABitMap* mask, int32_t threshold,
                             uint32_t bufferBytes) {
  if (layers == nullptr || layers[0] == nullptr || layers[0]->bitsPerPixel != 32) return -1;
  const int32_t width = layers[0]->width;
  const int32_t height = layers[0]->height;
  // Every raster is read as W x H pixels of 4 bytes: refuse any other before
  // a byte is read past its buffer.
  if (width < 0 || height < 0 || layerCount < 1 || layerCount > 0x7FFF) return -1;
  for (int32_t i = 0; i < (upper != nullptr ? 1 : layerCount); ++i) {
    if (!Readable(layers[i], width, height)) return -1;
  }
  if (!Readable(merged, width, height)) return -1;
  if (mask != nullptr && !Readable(mask, width, height)) return -1;

  const uint64_t n = layers[0]->PixelCount();
  const uint64_t c = static_cast<uint64_t>(layerCount);
  const uint64_t resources = mask == nullptr ? ImageResourcesTemplate.size() : 0;
  const uint64_t upperExtra = mask == nullptr ? ShadingLayerExtra.size() : MaskedLayerExtra.size();
  // Layer info: the layer count, 52 bytes of record for layer 0 and 58 for
  // each upper layer besides their extra data, and 4c - 1 channels of N
  // samples after a 2-byte compression value.
  const uint64_t layerInfo =
      SizeAdd(SizeAdd(58 * c - 4 + BackgroundLayerExtra.size(), SizeMul(c - 1, upperExtra)),
              SizeMul(4 * c - 1, SizeAdd(n, 2)));
  const uint64_t fileSize =
      SizeAdd(SizeAdd(44 + resources, layerInfo), SizeMul(3, n));

  StreamWriter w(fileSize);
  if (!w.Open(path, "SaveMultiLayers", bufferBytes)) return -1;
  w.PutText("8BPS");                                   // signature
  w.PutBE16(1);                                        // version
  w.PutZeros(6);                                       // reserved
  w.PutBE16(3);                                        // channel count
  w.PutBE32(static_cast<uint32_t>(height));            // rows
  w.PutBE32(static_cast<uint32_t>(width));             // columns
  w.PutBE16(8);                                        // depth
  w.PutBE16(3);                                        // colour mode: RGB
  w.PutBE32(0);                                        // colour mode data length
  w.PutBE32(static_cast<uint32_t>(resources));         // image resources length
  if (mask == nullptr) {
    w.PutBytes(ImageResourcesTemplate.data(), ImageResourcesTemplate.size());
  }
  w.PutBE32(static_cast<uint32_t>(layerInfo + 4));     // layer and mask information length
  const uint64_t layerInfoStart = w.produced() + 4;
  w.PutBE32(static_cast<uint32_t>(layerInfo));         // layer info length
  w.PutBE16(static_cast<uint32_t>(layerCount));        // layer count
  for (int32_t i = 0; i < layerCount; ++i) {
    PutLayerRecord(w, i, width, height, n, mask);
  }
  // Channel image data, layer by layer in record order.
  const PlaneCopy form = ChosenPlaneCopy();
  PutColourChannels(w, layers[0], nullptr, n, form);
  for (int32_t i = 1; i < layerCount; ++i) {
    w.PutBE16(0);                                      // compression: raw
    if (n != 0 && mask != nullptr) {
      const uint8_t* maskPixels = mask->pixels;
      w.PutPieces(n, [maskPixels, threshold](uint8_t* dst, uint64_t first, uint32_t k) {
        MaskTransparency(maskPixels + 4 * first, k, threshold, dst);
      });
    } else {
      w.PutPieces(n, [](uint8_t* dst, uint64_t, uint32_t k) { std::memset(dst, kOpaque, k); });
    }
    PutColourChannels(w, layers[i], upper, n, form);
  }
  const bool layerInfoMeasured = w.produced() - layerInfoStart == layerInfo;
  // The composite: one compression value, then red, green and blue.
  w.PutBE16(0);
  PutByteOfPixels(w, *merged, 2, n, form);
  PutByteOfPixels(w, *merged, 1, n, form);
  PutByteOfPixels(w, *merged, 0, n, form);
  const int32_t status = w.Finish();
  return layerInfoMeasured ? status : -1;
}

}  // namespace kelvra
