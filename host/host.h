// The host's records and operations, as the library uses them.
//
// The host's objects are reached only through the `context` table of each
// export. Every offset into a host record lives in this header; everything else
// goes through the named accessors below, which read and write the records in
// place (a host record is never copied).
//
// The host is built with MSVC: an object's first four bytes point at its table
// of operations, and each operation is __thiscall (`this` in ECX, the callee
// pops its arguments). Host objects are therefore not modelled as C++ classes
// with virtual functions; the operations are called through a hand-indexed
// table instead.
#pragma once

#include <cstdint>
#include <cstring>

#if defined(__i386__)
#define KELVRA_THISCALL __attribute__((thiscall))
#else
#error "The host contract is 32-bit x86 only (thiscall, 32-bit pointers)."
#endif

namespace kelvra::host {

struct HostImage;
struct HostDocument;
struct HostMapSource;
struct HostMapObject;
struct UiNode;
struct UiDescriptor;
struct UiText;

// The export's seventh argument: a table of pointers, any of them null.
using HostContext = char**;

static_assert(sizeof(void*) == 4, "host records hold 32-bit pointers");

// ---- field access -------------------------------------------------------------

template <typename T>
inline T ReadField(const void* record, uint32_t offset) {
  T value;
  std::memcpy(&value, static_cast<const char*>(record) + offset, sizeof value);
  return value;
}

template <typename T>
inline void WriteField(void* record, uint32_t offset, T value) {
  std::memcpy(static_cast<char*>(record) + offset, &value, sizeof value);
}

// ---- HostContext ------------------------------------------------------------

namespace slot {
inline constexpr int kDocument = 2;
inline constexpr int kMapSource = 4;
inline constexpr int kHeightImage = 5;
inline constexpr int kImage6 = 6;
}  // namespace slot

inline HostDocument* ContextDocument(HostContext ctx) {
  return reinterpret_cast<HostDocument*>(ctx[slot::kDocument]);
}
inline HostMapSource* ContextMapSource(HostContext ctx) {
  return reinterpret_cast<HostMapSource*>(ctx[slot::kMapSource]);
}
inline HostImage* ContextHeightImage(HostContext ctx) {
  return reinterpret_cast<HostImage*>(ctx[slot::kHeightImage]);
}
inline HostImage* ContextImage6(HostContext ctx) {
  return reinterpret_cast<HostImage*>(ctx[slot::kImage6]);
}

// ---- HostImage ----------------------------------------------------------------

namespace image {
inline constexpr uint32_t kWidthFixed = 44;   // 16.16
inline constexpr uint32_t kWidth = 46;        // int16, integer part
inline constexpr uint32_t kHeightFixed = 48;  // 16.16
inline constexpr uint32_t kHeight = 50;       // int16
inline constexpr uint32_t kPixelStore = 100;  // record; its offset 40: pixels
inline constexpr uint32_t kStorePixels = 40;
inline constexpr uint32_t kBitsPerPixel = 104;
inline constexpr uint32_t kRowStride = 108;   // bytes
inline constexpr uint32_t kMaskSource = 152;
inline constexpr uint32_t kShadedImage = 156;
inline constexpr uint32_t kRecordSize = 160;  // the bytes the library reads
}  // namespace image

inline int32_t ImageWidthFixed(const HostImage* img) {
  return ReadField<int32_t>(img, image::kWidthFixed);
}
inline int32_t ImageHeightFixed(const HostImage* img) {
  return ReadField<int32_t>(img, image::kHeightFixed);
}
// Width and height in pixels: the signed 16-bit fields, widened.
inline int32_t ImageWidth(const HostImage* img) {
  return ReadField<int16_t>(img, image::kWidth);
}
inline int32_t ImageHeight(const HostImage* img) {
  return ReadField<int16_t>(img, image::kHeight);
}
// Null when the image has no pixel store or the store has no pixels.
inline void* ImagePixels(const HostImage* img) {
  void* store = ReadField<void*>(img, image::kPixelStore);
  return store == nullptr ? nullptr : ReadField<void*>(store, image::kStorePixels);
}
inline int32_t ImageBitsPerPixel(const HostImage* img) {
  return ReadField<int32_t>(img, image::kBitsPerPixel);
}
inline int32_t ImageRowStride(const HostImage* img) {
  return ReadField<int32_t>(img, image::kRowStride);
}
inline HostImage* ImageMaskSource(const HostImage* img) {
  return ReadField<HostImage*>(img, image::kMaskSource);
}
inline HostImage* ImageShadedImage(const HostImage* img) {
  return ReadField<HostImage*>(img, image::kShadedImage);
}

// ---- HostDocument -----------------------------------------------------------

namespace document {
inline constexpr uint32_t kMainImage = 108;
inline constexpr uint32_t kAltImage = 116;
inline constexpr uint32_t kUiRoot = 524;
inline constexpr uint32_t kMaskThreshold = 664;
inline constexpr uint32_t kRecordSize = 668;
inline constexpr int kNotifyChangedOp = 14;
inline constexpr int32_t kNotifyChangedCode = 524341;
}  // namespace document

inline HostImage* DocumentMainImage(const HostDocument* doc) {
  return ReadField<HostImage*>(doc, document::kMainImage);
}
inline HostImage* DocumentAltImage(const HostDocument* doc) {
  return ReadField<HostImage*>(doc, document::kAltImage);
}
inline UiNode* DocumentUiRoot(const HostDocument* doc) {
  return ReadField<UiNode*>(doc, document::kUiRoot);
}
inline int32_t DocumentMaskThreshold(const HostDocument* doc) {
  return ReadField<int32_t>(doc, document::kMaskThreshold);
}

// ---- HostMapObject ------------------------------------------------------------
// A 16-bit height field that shares the HostImage fields at 46, 50, 100 and
// 108, plus its scale.

namespace mapobject {
inline constexpr uint32_t kScaleFixed = 68;  // 16.16
inline constexpr uint32_t kRecordSize = 112;
}  // namespace mapobject

inline const HostImage* MapAsImage(const HostMapObject* map) {
  return reinterpret_cast<const HostImage*>(map);
}
inline int32_t MapScaleFixed(const HostMapObject* map) {
  return ReadField<int32_t>(map, mapobject::kScaleFixed);
}

// ---- host operations ----------------------------------------------------------

namespace ops {
inline constexpr int kMakeMap = 52;  // HostMapSource
inline constexpr int kDestroy = 0;   // HostMapObject
}  // namespace ops

using MakeMapOp = HostMapObject*(KELVRA_THISCALL*)(HostMapSource*, int32_t,
                                                   int32_t, int32_t, int32_t,
                                                   int32_t, int32_t, int32_t,
                                                   int32_t, void*);
using DestroyOp = void(KELVRA_THISCALL*)(HostMapObject*, int32_t);
using NotifyChangedOp = void(KELVRA_THISCALL*)(HostDocument*, int32_t, int32_t,
                                               HostImage*);

// The operation at `index` of an object's table of operations.
template <typename Op>
inline Op Operation(const void* object, int index) {
  void* const* table = ReadField<void* const*>(object, 0);
  return reinterpret_cast<Op>(table[index]);
}

// The nine arguments in the host's order; the last one is a null pointer.
struct MakeMapArgs {
  int32_t rayTraceMode, smoothUV, imageWidth, imageHeight, smooth, accuracy,
      borderSize, optTileIndex;
};

inline HostMapObject* MapSourceMakeMap(HostMapSource* source,
                                       const MakeMapArgs& a) {
  return Operation<MakeMapOp>(source, ops::kMakeMap)(
      source, a.rayTraceMode, a.smoothUV, a.imageWidth, a.imageHeight,
      a.smooth, a.accuracy, a.borderSize, a.optTileIndex, nullptr);
}

inline void MapObjectDestroy(HostMapObject* map) {
  Operation<DestroyOp>(map, ops::kDestroy)(map, 0);
}

inline void DocumentNotifyChanged(HostDocument* doc, HostImage* mainImage) {
  Operation<NotifyChangedOp>(doc, document::kNotifyChangedOp)(
      doc, document::kNotifyChangedCode, 1, mainImage);
}

// ---- the interface tree ---------------------------------------------------------

namespace ui {
inline constexpr uint32_t kParent = 80;
inline constexpr uint32_t kFirstChild = 84;
inline constexpr uint32_t kNextSibling = 88;
inline constexpr uint32_t kPrevSibling = 92;
inline constexpr uint32_t kDescriptor = 120;
inline constexpr uint32_t kLabel = 128;
inline constexpr uint32_t kItemCount = 192;
inline constexpr uint32_t kItems = 196;  // inline array of node pointers
inline constexpr uint32_t kNodeRecordSize = 196;  // plus 4 per item

inline constexpr uint32_t kDescriptorKind = 16;  // int16
inline constexpr uint32_t kDescriptorTitle = 56;
inline constexpr uint32_t kDescriptorAltTitle = 60;
inline constexpr uint32_t kDescriptorRecordSize = 64;
inline constexpr int16_t kKindItemList = 1007;

inline constexpr uint32_t kTextLength = 16;
inline constexpr uint32_t kTextChars = 20;
}  // namespace ui

inline UiNode* NodeParent(const UiNode* n) {
  return ReadField<UiNode*>(n, ui::kParent);
}
inline UiNode* NodeFirstChild(const UiNode* n) {
  return ReadField<UiNode*>(n, ui::kFirstChild);
}
inline UiNode* NodeNextSibling(const UiNode* n) {
  return ReadField<UiNode*>(n, ui::kNextSibling);
}
inline UiNode* NodePrevSibling(const UiNode* n) {
  return ReadField<UiNode*>(n, ui::kPrevSibling);
}
inline void SetNodeParent(UiNode* n, UiNode* v) { WriteField(n, ui::kParent, v); }
inline void SetNodeFirstChild(UiNode* n, UiNode* v) {
  WriteField(n, ui::kFirstChild, v);
}
inline void SetNodeNextSibling(UiNode* n, UiNode* v) {
  WriteField(n, ui::kNextSibling, v);
}
inline void SetNodePrevSibling(UiNode* n, UiNode* v) {
  WriteField(n, ui::kPrevSibling, v);
}
inline UiDescriptor* NodeDescriptor(const UiNode* n) {
  return ReadField<UiDescriptor*>(n, ui::kDescriptor);
}
inline UiText* NodeLabel(const UiNode* n) {
  return ReadField<UiText*>(n, ui::kLabel);
}
inline int32_t NodeItemCount(const UiNode* n) {
  return ReadField<int32_t>(n, ui::kItemCount);
}
inline UiNode* NodeItem(const UiNode* n, int32_t i) {
  return ReadField<UiNode*>(n, ui::kItems + 4u * static_cast<uint32_t>(i));
}
inline int16_t DescriptorKind(const UiDescriptor* d) {
  return ReadField<int16_t>(d, ui::kDescriptorKind);
}
inline UiText* DescriptorTitle(const UiDescriptor* d) {
  return ReadField<UiText*>(d, ui::kDescriptorTitle);
}
inline UiText* DescriptorAltTitle(const UiDescriptor* d) {
  return ReadField<UiText*>(d, ui::kDescriptorAltTitle);
}
inline int32_t TextLength(const UiText* t) {
  return ReadField<int32_t>(t, ui::kTextLength);
}
inline const char* TextChars(const UiText* t) {
  return reinterpret_cast<const char*>(t) + ui::kTextChars;
}

}  // namespace kelvra::host
