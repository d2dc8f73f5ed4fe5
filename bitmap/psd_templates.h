// The constant blocks of the layered documents: the extra data of the bottom
// layer, of an upper layer (shading or masked) and the image resources
// section. They are copied verbatim into every layered document, whatever its
// size and content, so their lengths are part of every length field the
// layered writer computes.
#pragma once

#include <array>
#include <cstdint>

namespace kelvra {

// Extra data of layer 0: no mask, blending ranges, the name "Background",
// background name source, layer id 1, transparency and position protected.
extern const std::array<uint8_t, 240> BackgroundLayerExtra;
// Extra data of the upper layers without a mask raster: the shading layer,
// "KShading (do not edit this layer)", layer id 2, fully protected.
extern const std::array<uint8_t, 292> ShadingLayerExtra;
// Extra data of the upper layers with a mask raster: "Kelvra Masked Layer",
// layer id 3, transparency protected.
extern const std::array<uint8_t, 252> MaskedLayerExtra;
// The image resources section of a document without a mask raster: 17
// resource blocks, among them a 2 x 2 JPEG thumbnail.
extern const std::array<uint8_t, 1548> ImageResourcesTemplate;

// The reader name of the version information resource (1057) in the image
// resources above: the layered reader tells by it that the version
// information, and so the merged image, is the library's own.
inline constexpr char kOwnVersionReaderName[] = "Adobe Photoshop 6.0";

// The thumbnail's JFIF image (inside resource 1036), exactly as embedded.
inline constexpr uint32_t kThumbnailJfifBytes = 539;

}  // namespace kelvra
