// Reading Photoshop documents into 32-bit rasters: the composite image
// (flat reading) or the composite of the document's layers (layered reading).
//
// Only what the editor link needs is read: 8-bit samples of grayscale, RGB or
// multichannel documents, raw or PackBits. Channel 0, 1, 2 (red, green, blue)
// go to bytes 2, 1, 0 of each pixel and a fourth channel (alpha) to byte 3;
// bytes of channels not read stay 0. Documents this cannot read correctly
// are refused rather than decoded into wrong colours.
//
// Layers are composited row by row into the receiver by the compositor
// (psd_compositor.h), which says what counts; with alpha asked for, byte 3
// holds the bottom layer's transparency. Layers that show nothing (hidden,
// opacity 0, in a hidden group, clipped to a hidden layer) are not examined
// beyond their structure.
//
// The document is read piece by piece: besides the receiver's pixels a read
// holds a few rows per layer, never the whole file.
//
// The receiver is unchanged by every refusal found before its pixels are
// replaced. Once decoding has started, a failure leaves it without pixels,
// never with partly decoded ones.
#pragma once

#include <cstdint>

#include "bitmap/abitmap.h"
#include "bitmap/psd_source.h"

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
  kRowIncomplete,           // a PackBits row whose bytes end early, or a read error
  kNoMemory,                // the raster's pixels or the work memory could not be had
  // Layered documents the compositor cannot reproduce:
  kUnknownBlendMode,        // a blend key outside the compositor's table
  kAdjustmentLayer,         // adjustment or fill layers
  kVectorMask,              // vector masks and strokes
  kLayerEffects,            // layer effects that are switched on
  kUnsupportedMask,         // inverted masks, masks with density or feather
  kUnsupportedClipping,     // clipping to no layer, to a group, or a clipped group
  kBadGroups,               // section dividers that do not pair up, or nested beyond 64
  kDeepLayers,              // 16- or 32-bit layer blocks, or layers kept in a tagged block
  kArtboard,                // artboards with settings not reproduced (opacity, mask, mode,
                            // unreadable or non-RGB backgrounds)
  kTextEdges,               // a text layer's partly covered pixels over other layers
  kPartialDissolve,         // a dissolve layer's partly transparent pixels
  kFlattenedBackdrop,       // layers leave the picture transparent where the document's
                            // merged image (without transparency) is flattened onto
                            // something unknown
  kUnrecordedDrawing,       // the layers do not give the merged image that the editor
                            // (Photoshop, Krita) stored as the picture it showed
  // Not a failure of the document: the row sink ended the read.
  kStopped,
};

// A refused or failed read in words for the user: the layer and what it
// uses ("layer 'Levels 1': a Levels adjustment layer"), or what of the
// document itself cannot be read ("a 16-bit document"). Empty after a read
// that succeeded or was stopped by its sink.
struct PsdRefusal {
  char text[256] = {};
};

// The words for a failure that names no layer.
const char* PsdReadText(PsdRead why);

// Takes a read's rows one at a time instead of a raster, so that a document
// can be compared with an image as it is decoded, without a raster of its
// size. `begin` is called once with the document's width and height before
// the first row, after every refusal that can be found without decoding;
// `row` then gets rows 0, 1, ... in order, each width pixels in the layout
// of a 32-bit raster (valid only during the call). Either returning false
// ends the read with kStopped; a document checked against its editor's
// picture (ReadLayeredImage) is still read to its end, and a refusal found
// there is reported instead. A read that fails while decoding reports its
// failure after the rows it delivered.
struct PsdRowSink {
  bool (*begin)(void* context, int32_t width, int32_t height);
  bool (*row)(void* context, uint32_t y, const uint8_t* pixels);
  void* context;
};

// The composite image of `length` document bytes.
PsdRead ReadCompositeImage(const uint8_t* bytes, uint64_t length, bool withAlpha,
                           ABitMap* target);
// Without a real composite (the version information says so, or the
// document ends where it would start), the composite of all visible layers.
PsdRead ReadCompositeImage(PsdSource& source, bool withAlpha, ABitMap* target,
                           PsdRefusal* why = nullptr);

// The composite of the document's layers leaving out the library's own
// upper layer ("KShading (do not edit this layer)", "Kelvra Masked Layer",
// by its Unicode name when it has one), in a raster of the document's size;
// the composite image when there are no layers. A document that Photoshop
// (told by its version information) or Krita saved is composited with that
// layer too and compared with its merged image, row by row, as the picture
// without it is delivered: the merged image is the picture the editor
// showed, and a document whose layers do not give it is refused
// (kUnrecordedDrawing, the reason naming the pixel, how far off, and the
// layers over it), after the rows delivered before the difference showed.
PsdRead ReadLayeredImage(const uint8_t* bytes, uint64_t length, bool withAlpha,
                         ABitMap* target, PsdRefusal* why = nullptr);
PsdRead ReadLayeredImage(PsdSource& source, bool withAlpha, ABitMap* target,
                         PsdRefusal* why = nullptr);

// The same two readings, rows to a sink.
PsdRead ReadCompositeImage(PsdSource& source, bool withAlpha, const PsdRowSink& sink,
                           PsdRefusal* why = nullptr);
PsdRead ReadLayeredImage(PsdSource& source, bool withAlpha, const PsdRowSink& sink,
                         PsdRefusal* why = nullptr);
// The file at `path`, read piece by piece, layered or composite, to a sink.
// `why`, when given, receives the reason of a failure.
PsdRead ReadFileRows(const char* path, bool layered, bool withAlpha, const PsdRowSink& sink,
                     PsdRefusal* why = nullptr);

}  // namespace kelvra
