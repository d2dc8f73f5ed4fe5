// LaunchEditor and ReleaseMemory: write one of the host's images as a
// Photoshop document for the mode asked for, unless the file already holds
// its colours from the same mode, record mode and stamp, and ask the shell to
// open the file in its associated editor.
#include "bitmap/psd_reader.h"
#include "bitmap/psd_writers.h"
#include "editorlink/editor_state.h"
#include "editorlink/host_pixels.h"
#include "editorlink/shading.h"
#include "plugin/entry_points.h"
#include "plugin/state.h"
#include "services/services.h"

namespace kelvra {

constinit int32_t gLastEditorMode = 0;
constinit int32_t gLastEditorStamp = 0;
constinit ABitMap gWorkRaster;

int32_t EditorKeptTrackedBlocks() { return gWorkRaster.pixels != nullptr ? 1 : 0; }

void ResetEditorStateForTesting() {
  gWorkRaster.Release();
  gWorkRaster = ABitMap();
  gLastEditorMode = 0;
  gLastEditorStamp = 0;
}

namespace {

constexpr int32_t kOpenOnlyMode = 100;
constexpr int32_t kSlot6Mode = 20;

enum class Document { kFlat, kShading, kGreyShading, kMasked };

// What one mode exports: which image, how the unchanged test reads the file
// back, and what kind of document is written.
struct ModePlan {
  const host::HostImage* exported;
  bool layeredReader;
  Document document;
};

ModePlan PlanFor(int32_t mode, const host::HostImage* main,
                 const host::HostImage* shaded, const host::HostImage* slot6) {
  switch (mode) {
    case 1: return {main, true, Document::kShading};
    case 2: return {main, true, Document::kGreyShading};
    case 3: return {main, true, Document::kMasked};
    case 4: return {shaded, false, Document::kFlat};
    case 5: return {shaded, true, Document::kMasked};
    case kSlot6Mode: return {slot6, false, Document::kFlat};
    default: return {main, false, Document::kFlat};
  }
}

// Compares the rows of a document with a host image as they are decoded.
struct RowComparison {
  const host::HostImage* image;
  const uint8_t* pixels;
  uint32_t width;
};

bool SameSizeAsImage(void* context, int32_t width, int32_t height) {
  RowComparison* c = static_cast<RowComparison*>(context);
  if (!HasPacked32Pixels(c->image) || width != host::ImageWidth(c->image) ||
      height != host::ImageHeight(c->image)) {
    return false;
  }
  c->pixels = ImageBytes(c->image);
  c->width = static_cast<uint32_t>(width);
  return true;
}

bool SameRowAsImage(void* context, uint32_t y, const uint8_t* row) {
  const RowComparison* c = static_cast<const RowComparison*>(context);
  return FirstColourDifference(c->pixels + 4 * static_cast<uint64_t>(c->width) * y, row,
                               c->width) == c->width;
}

// The file already holds the exported image's colours: the mode's reader
// reads it, it has the image's size, and every pixel's low 24 bits are equal.
// Rows are compared as they are decoded and the read stops at the first
// difference, so no raster of the file is ever held. Any reader failure
// counts as changed.
bool FileHoldsImage(const char* path, const ModePlan& plan) {
  RowComparison comparison{plan.exported, nullptr, 0};
  const PsdRowSink sink{SameSizeAsImage, SameRowAsImage, &comparison};
  return ReadFileRows(path, plan.layeredReader, false, sink) == PsdRead::kOk;
}

struct ShadingPixels {
  const uint8_t* flat;
  const uint8_t* shaded;
  bool grey;
  VectorSet set;
};

void ProduceShading(const void* context, int32_t channel, uint64_t first, uint32_t count,
                    uint8_t* dst) {
  const ShadingPixels* p = static_cast<const ShadingPixels*>(context);
  ShadingLevels(p->set, p->flat, p->shaded, p->grey, channel, first, count, dst);
}

// Writes the document of `plan`; 0 or the writer's failure status.
int32_t WriteDocument(const char* path, const ModePlan& plan, ABitMap& exported,
                      const host::HostImage* main, const host::HostImage* shaded,
                      const host::HostImage* mask, int32_t threshold) {
  switch (plan.document) {
    case Document::kFlat:
      return exported.SaveToFile(path, false);
    case Document::kShading:
    case Document::kGreyShading: {
      // The writer must not be given a missing layer: without two packed
      // 32-bit images of one size there is no shading layer and nothing is
      // written.
      if (!HasPacked32Pixels(main) || !HasPacked32Pixels(shaded) || !SameSize(main, shaded)) {
        return -1;
      }
      // The shading layer is made from the two host images piece by piece
      // as the writer reaches it; it is never held whole.
      const ShadingPixels pixels{ImageBytes(main), ImageBytes(shaded),
                                 plan.document == Document::kGreyShading, ChosenVectorSet()};
      const ChannelSource shading{ProduceShading, &pixels};
      ABitMap merged;
      merged.BindHostImage(shaded);
      const ABitMap* layers[2] = {&exported, nullptr};
      return WriteLayeredDocument(path, layers, 2, &shading, &merged, nullptr, 0,
                                  kStreamBufferBytes);
    }
    case Document::kMasked: {
      // The writer reads width x height mask words: the mask must have at
      // least that many packed 32-bit pixels.
      if (!HasPacked32Pixels(mask) || PixelCount(mask) < PixelCount(plan.exported)) {
        return -1;
      }
      ABitMap maskRaster;
      maskRaster.BindHostImage(mask);
      // The merged image of modes 3 and 5 is the exported image itself.
      const ABitMap* layers[2] = {&exported, &exported};
      return ABitMap::SaveMultiLayers(path, layers, 2, &exported, &maskRaster, threshold);
    }
  }
  return -1;
}

}  // namespace

int32_t RunLaunchEditor(const char* path, double value, host::HostContext context) {
  // Before any other check, so that failing calls release it too. A NaN
  // fails both comparisons and releases it.
  if (!(value >= 20.0 && value <= 30.0)) gWorkRaster.Release();
  const int32_t mode = IntegerRule(value);

  host::HostDocument* doc = context != nullptr ? host::ContextDocument(context) : nullptr;
  if (doc == nullptr || path == nullptr) return -1;
  const host::HostImage* main = host::DocumentMainImage(doc);
  if (main == nullptr) return -1;

  if (mode != kOpenOnlyMode) {
    const host::HostImage* alt = host::DocumentAltImage(doc);
    const host::HostImage* shaded = host::ImageShadedImage(alt != nullptr ? alt : main);
    const host::HostImage* mask = host::ImageMaskSource(main);
    const host::HostImage* slot6 = host::ContextImage6(context);
    if (mode == kSlot6Mode && slot6 == nullptr) return -1;

    const ModePlan plan = PlanFor(mode, main, shaded, slot6);
    const bool unchanged = mode == gLastEditorMode && FileHoldsImage(path, plan);

    ABitMap exported;
    const int32_t bound = exported.BindHostImage(plan.exported);
    if (bound != 0) return bound;
    if (!HasPacked32Pixels(plan.exported)) return -1;

    if (!unchanged) {
      // A document that was not written is not opened and not recorded, so
      // that a reload never merges an older file under the new mode.
      const int32_t written = WriteDocument(path, plan, exported, main, shaded, mask,
                                            host::DocumentMaskThreshold(doc));
      if (written != 0) return written;
      gLastEditorStamp = FileTimeStamp(path);
      gLastEditorMode = mode;
    }
  }
  return ShellOpen(path) > 32 ? 0 : -1;
}

int32_t RunReleaseMemory() {
  gWorkRaster.Release();
  return 0;
}

}  // namespace kelvra
