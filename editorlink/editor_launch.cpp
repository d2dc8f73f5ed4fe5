// LaunchEditor and ReleaseMemory: write one of the host's images as a
// Photoshop document for the mode asked for, unless the file already holds
// its colours from the same mode, record mode, stamp and path, and ask the
// shell to open the file in its associated editor. A document at the path
// that holds anything the new export will not is first kept beside it.
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
constinit char gLastEditorPath[kEditorPathChars + 1] = {};
constinit ABitMap gWorkRaster;

int32_t EditorKeptTrackedBlocks() { return gWorkRaster.pixels != nullptr ? 1 : 0; }

void ResetEditorStateForTesting() {
  gWorkRaster.Release();
  gWorkRaster = ABitMap();
  gLastEditorMode = 0;
  gLastEditorStamp = 0;
  gLastEditorPath[0] = 0;
  ForgetNotedDocument();
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

// What is at the path before an export is written.
enum class Existing {
  kNothing,     // no file, or an empty one: nothing to lose
  kHoldsImage,  // the mode's reader reads the exported image's colours
  kDiffers,     // readable, but another size or other colours
  kRefused,     // the reader cannot read it or refuses it
};

// Reads the file with the mode's reader and compares it with the exported
// image: the same size, and every pixel's low 24 bits equal. Rows are
// compared as they are decoded and the read stops at the first difference,
// so no raster of the file is ever held. `why` receives a refusal's reason.
Existing ExamineExisting(const char* path, const ModePlan& plan, PsdRefusal* why) {
  if (!FileExists(path)) return Existing::kNothing;
  RowComparison comparison{plan.exported, nullptr, 0};
  const PsdRowSink sink{SameSizeAsImage, SameRowAsImage, &comparison};
  const PsdRead read = ReadFileRows(path, plan.layeredReader, false, sink, why);
  if (read == PsdRead::kOk) return Existing::kHoldsImage;
  if (read == PsdRead::kStopped) return Existing::kDiffers;
  if (read == PsdRead::kNoDocument) {
    // Missing by now, or empty: nothing in it to keep. A file that exists
    // but cannot be opened may hold anything.
    const FileHandle file = FileOpen(path, false);
    if (file == 0) return FileExists(path) ? Existing::kRefused : Existing::kNothing;
    const int32_t size = FileSize(file);
    FileClose(file, false);
    if (size == 0) return Existing::kNothing;
  }
  return Existing::kRefused;
}

// The file at `path` is the library's last export, not saved since: the
// recorded stamp is of this path and the file still has it.
bool IsLastExport(const char* path) {
  if (gLastEditorStamp == 0 || gLastEditorPath[0] == 0) return false;
  return SameText(path, gLastEditorPath) && FileTimeStamp(path) == gLastEditorStamp;
}

// Kept copies are numbered from 1; the search for a free number ends here.
constexpr uint32_t kMostKeptCopies = 99999;

// `path` with ".kept-N" before its extension ("doc.psd" -> "doc.kept-3.psd";
// no extension: at the end) into `out` of `size` bytes; false when it does
// not fit.
bool KeptCopyName(const char* path, uint32_t n, char* out, int32_t size) {
  const int32_t length = StrLength(path);
  int32_t dot = length;
  for (int32_t i = length - 1; i >= 0 && path[i] != '/' && path[i] != '\\'; --i) {
    if (path[i] == '.') {
      dot = i;
      break;
    }
  }
  char number[16];
  const char* digits = DecimalDigits(n, number + sizeof number - 1);
  static constexpr char kKept[] = ".kept-";
  if (length + static_cast<int32_t>(sizeof kKept) + StrLength(digits) > size) return false;
  char* end = out;
  for (int32_t i = 0; i < dot; ++i) *end++ = path[i];
  for (const char* p : {kKept, digits, path + dot}) {
    while (*p != 0) *end++ = *p++;
  }
  *end = 0;
  return true;
}

// Moves the document at `path` aside as NAME.kept-N.EXT, N the first free
// number, and says so with `reason` and `detail`. False, with a note and the
// document left where it is, when no name is free or the rename fails.
bool KeepDocument(const char* path, const char* reason, const char* detail) {
  char kept[kEditorPathChars + 32];
  for (uint32_t n = 1; n <= kMostKeptCopies; ++n) {
    if (!KeptCopyName(path, n, kept, sizeof kept)) {
      NoteKeepFailed(path, "its path is too long for a kept copy's name");
      return false;
    }
    if (FileExists(kept)) continue;
    if (!FileRename(path, kept)) {
      NoteKeepFailed(path, "it cannot be renamed (is it open in another program?)");
      return false;
    }
    NoteKept(path, kept, reason, detail);
    return true;
  }
  NoteKeepFailed(path, "every kept copy's number is taken");
  return false;
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

// The images the document of `plan` needs beside the exported one are
// usable: the writers must not be given a missing layer.
bool LayerImagesUsable(const ModePlan& plan, const host::HostImage* main,
                       const host::HostImage* shaded, const host::HostImage* mask) {
  switch (plan.document) {
    case Document::kFlat:
      return true;
    case Document::kShading:
    case Document::kGreyShading:
      // Without two packed 32-bit images of one size there is no shading
      // layer.
      return HasPacked32Pixels(main) && HasPacked32Pixels(shaded) && SameSize(main, shaded);
    case Document::kMasked:
      // The writer reads width x height mask words: the mask must have at
      // least that many packed 32-bit pixels.
      return HasPacked32Pixels(mask) && PixelCount(mask) >= PixelCount(plan.exported);
  }
  return false;
}

// Writes the document of `plan`, whose layer images are usable; 0 or the
// writer's failure status.
int32_t WriteDocument(const char* path, const ModePlan& plan, ABitMap& exported,
                      const host::HostImage* main, const host::HostImage* shaded,
                      const host::HostImage* mask, int32_t threshold) {
  switch (plan.document) {
    case Document::kFlat:
      return exported.SaveToFile(path, false);
    case Document::kShading:
    case Document::kGreyShading: {
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
    PsdRefusal why;
    const Existing existing = ExamineExisting(path, plan, &why);
    const bool unchanged = mode == gLastEditorMode && existing == Existing::kHoldsImage;

    ABitMap exported;
    const int32_t bound = exported.BindHostImage(plan.exported);
    if (bound != 0) return bound;
    if (!HasPacked32Pixels(plan.exported)) return -1;

    if (!unchanged) {
      // Every check that can refuse the export comes before the old
      // document is moved: a refused export leaves it where it was.
      if (!LayerImagesUsable(plan, main, shaded, mask)) return -1;
      // What the new export would lose: a document the reader cannot take
      // (the user's layers are in it), or one saved since the last export
      // whose colours are not the image's (the user's edits, not merged).
      // The library's own document, not saved since, is replaced as it is.
      if (existing == Existing::kRefused &&
          !KeepDocument(path, "the library cannot merge it: ", why.text)) {
        return -1;
      }
      if (existing == Existing::kDiffers && !IsLastExport(path) &&
          !KeepDocument(path, "it was saved after the last export with other colours", "")) {
        return -1;
      }
      // A document that was not written is not opened and not recorded, so
      // that a reload never merges an older file under the new mode.
      const int32_t written = WriteDocument(path, plan, exported, main, shaded, mask,
                                            host::DocumentMaskThreshold(doc));
      if (written != 0) return written;
      gLastEditorStamp = FileTimeStamp(path);
      gLastEditorMode = mode;
      RecordEditorPath(path, gLastEditorPath);
    }
  }
  return ShellOpen(path) > 32 ? 0 : -1;
}

int32_t RunReleaseMemory() {
  gWorkRaster.Release();
  return 0;
}

}  // namespace kelvra
