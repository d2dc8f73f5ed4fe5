#include "hostsim/hostsim.h"

#include <cstring>

namespace kelvra::hostsim {

using host::WriteField;

namespace {

std::vector<std::string>& Violations() {
  static std::vector<std::string> v;
  return v;
}

// Tables of operations, one per kind of object; unused slots are null.
void* gMapSourceOps[64];
void* gMapObjectOps[8];
void* gDocumentOps[32];

}  // namespace

const std::vector<std::string>& ContractViolations() { return Violations(); }
void ClearContractViolations() { Violations().clear(); }

// The operations, called by the library as an MSVC host's would be.
struct Thunks {
  static host::HostMapObject* KELVRA_THISCALL MakeMap(
      host::HostMapSource* self, int32_t a0, int32_t a1, int32_t a2, int32_t a3,
      int32_t a4, int32_t a5, int32_t a6, int32_t a7, void* a8) {
    // `this` points at the record, whose first field points at the table.
    SimMapSource* source = *reinterpret_cast<SimMapSource**>(
        reinterpret_cast<char*>(self) + 4);
    if (source == nullptr || source->record() != self) {
      Violations().push_back("make map: wrong this");
      return nullptr;
    }
    if (a8 != nullptr) Violations().push_back("make map: ninth argument not null");
    source->makeCalls.push_back({self, {a0, a1, a2, a3, a4, a5, a6, a7}, a8});
    source->events.push_back("make");
    if (source->returnNull) return nullptr;
    source->made.push_back(std::make_unique<SimMapObject>(
        source->mapWidth, source->mapHeight, source->mapScaleFixed));
    SimMapObject* map = source->made.back().get();
    // The map remembers its source so that destroy can log the event.
    std::memcpy(map->record_.data() + 4, &source, sizeof source);
    return map->record();
  }

  static void KELVRA_THISCALL Destroy(host::HostMapObject* self, int32_t flags) {
    SimMapSource* source = *reinterpret_cast<SimMapSource**>(
        reinterpret_cast<char*>(self) + 4);
    if (source == nullptr) {
      Violations().push_back("destroy: wrong this");
      return;
    }
    for (size_t i = 0; i < source->made.size(); ++i) {
      SimMapObject* map = source->made[i].get();
      if (map->record() != self) continue;
      if (map->destroyed) Violations().push_back("destroy: map destroyed twice");
      if (flags != 0) Violations().push_back("destroy: argument not 0");
      map->destroyed = true;
      map->destroyCalls.push_back({self, {flags}, nullptr});
      source->events.push_back("destroy#" + std::to_string(i));
      return;
    }
    Violations().push_back("destroy: unknown map");
  }

  static void KELVRA_THISCALL NotifyChanged(host::HostDocument* self,
                                            int32_t code, int32_t flag,
                                            host::HostImage* image) {
    SimDocument* doc = *reinterpret_cast<SimDocument**>(
        reinterpret_cast<char*>(self) + 4);
    if (doc == nullptr || doc->record() != self) {
      Violations().push_back("notify changed: wrong this");
      return;
    }
    doc->notifyCalls.push_back({self, {code, flag}, image});
  }
};

// ---- SimImage -----------------------------------------------------------------

SimImage::SimImage(int width, int height, int bitsPerPixel, int rowStride)
    : width_(width),
      height_(height),
      rowStride_(rowStride >= 0 ? rowStride : width * (bitsPerPixel / 8)),
      record_(host::image::kRecordSize + 16, 0),
      store_(64, 0),
      pixels_(static_cast<size_t>(rowStride_) * (height > 0 ? height : 0) + 16, 0) {
  pixels_.resize(static_cast<size_t>(rowStride_) * (height > 0 ? height : 0));
  SetSizeFixed(width * 65536, height * 65536);
  SetBitsPerPixel(bitsPerPixel);
  SetRowStride(rowStride_);
  void* px = pixels_.empty() ? static_cast<void*>(store_.data() + 48) : pixels_.data();
  WriteField(store_.data(), host::image::kStorePixels, px);
  WriteField(record_.data(), host::image::kPixelStore, static_cast<void*>(store_.data()));
}

void SimImage::SetSizeFixed(int32_t widthFixed, int32_t heightFixed) {
  // The 16-bit pixel fields are the integer parts of the fixed-point fields.
  WriteField(record_.data(), host::image::kWidthFixed, widthFixed);
  WriteField(record_.data(), host::image::kHeightFixed, heightFixed);
}

void SimImage::SetSizeFields(int16_t width, int16_t height) {
  WriteField(record_.data(), host::image::kWidth, width);
  WriteField(record_.data(), host::image::kHeight, height);
}

void SimImage::SetBitsPerPixel(int32_t bits) {
  WriteField(record_.data(), host::image::kBitsPerPixel, bits);
}

void SimImage::SetRowStride(int32_t stride) {
  WriteField(record_.data(), host::image::kRowStride, stride);
}

void SimImage::DropPixelPointer() {
  WriteField(store_.data(), host::image::kStorePixels, static_cast<void*>(nullptr));
}

void SimImage::DropPixelStore() {
  WriteField(record_.data(), host::image::kPixelStore, static_cast<void*>(nullptr));
}

void SimImage::SetMaskSource(SimImage* mask) {
  WriteField(record_.data(), host::image::kMaskSource,
             mask ? mask->record() : nullptr);
}

void SimImage::SetShadedImage(SimImage* shaded) {
  WriteField(record_.data(), host::image::kShadedImage,
             shaded ? shaded->record() : nullptr);
}

// ---- SimMapObject -------------------------------------------------------------

SimMapObject::SimMapObject(int width, int height, int32_t scaleFixed)
    : width_(width),
      height_(height),
      record_(host::mapobject::kRecordSize, 0),
      store_(64, 0),
      heights_(static_cast<size_t>(width) * height * 2, 0) {
  gMapObjectOps[host::ops::kDestroy] = reinterpret_cast<void*>(&Thunks::Destroy);
  WriteField(record_.data(), 0, static_cast<void*>(gMapObjectOps));
  WriteField(record_.data(), host::image::kWidth, static_cast<int16_t>(width));
  WriteField(record_.data(), host::image::kHeight, static_cast<int16_t>(height));
  WriteField(store_.data(), host::image::kStorePixels, static_cast<void*>(heights_.data()));
  WriteField(record_.data(), host::image::kPixelStore, static_cast<void*>(store_.data()));
  WriteField(record_.data(), host::image::kRowStride, static_cast<int32_t>(width * 2));
  WriteField(record_.data(), host::mapobject::kScaleFixed, scaleFixed);
}

void SimMapObject::DropPixelPointer() {
  WriteField(store_.data(), host::image::kStorePixels, static_cast<void*>(nullptr));
}

// ---- SimMapSource -------------------------------------------------------------

SimMapSource::SimMapSource() : record_(64, 0) {
  gMapSourceOps[host::ops::kMakeMap] = reinterpret_cast<void*>(&Thunks::MakeMap);
  WriteField(record_.data(), 0, static_cast<void*>(gMapSourceOps));
  SimMapSource* self = this;
  std::memcpy(record_.data() + 4, &self, sizeof self);
}

// ---- SimDocument --------------------------------------------------------------

SimDocument::SimDocument() : record_(host::document::kRecordSize + 16, 0) {
  gDocumentOps[host::document::kNotifyChangedOp] =
      reinterpret_cast<void*>(&Thunks::NotifyChanged);
  WriteField(record_.data(), 0, static_cast<void*>(gDocumentOps));
  SimDocument* self = this;
  std::memcpy(record_.data() + 4, &self, sizeof self);
}

void SimDocument::SetMainImage(SimImage* image) {
  WriteField(record_.data(), host::document::kMainImage,
             image ? image->record() : nullptr);
}

void SimDocument::SetAltImage(SimImage* image) {
  WriteField(record_.data(), host::document::kAltImage,
             image ? image->record() : nullptr);
}

void SimDocument::SetUiRoot(void* node) {
  WriteField(record_.data(), host::document::kUiRoot, node);
}

void SimDocument::SetMaskThreshold(int32_t threshold) {
  WriteField(record_.data(), host::document::kMaskThreshold, threshold);
}

}  // namespace kelvra::hostsim
