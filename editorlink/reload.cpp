// ReloadImage: bring the colours edited in the external editor back into the
// host image the last export came from, from the first changed pixel on.
#include "bitmap/psd_reader.h"
#include "editorlink/editor_notes.h"
#include "editorlink/editor_state.h"
#include "editorlink/host_pixels.h"
#include "editorlink/shading.h"
#include "plugin/entry_points.h"
#include "services/services.h"

namespace kelvra {

namespace {

constexpr int32_t kFirstUnnotifiedMode = 20;

// Writes the file's colours into the target from the first pixel where the
// file differs from the reference. Returns false when nothing differs.
// `transfer`: the reference is the shaded image, and each changed channel is
// carried into the flat target by the ratio rule.
bool MergeInto(uint8_t* target, const uint8_t* reference, const uint8_t* loaded,
               uint32_t count, bool transfer) {
  const uint32_t first = FirstColourDifference(loaded, reference, count);
  if (first == count) return false;
  for (uint32_t j = first; j < count; ++j) {
    uint8_t* t = target + 4 * j;
    const uint8_t* b = loaded + 4 * j;
    if (!transfer) {
      // Colour only: the target's fourth byte stays.
      t[0] = b[0];
      t[1] = b[1];
      t[2] = b[2];
      continue;
    }
    const uint8_t* s = reference + 4 * j;
    if (SameColour(b, s)) continue;
    static constexpr int kRedGreenBlue[3] = {2, 1, 0};
    for (int channel : kRedGreenBlue) {
      if (b[channel] != s[channel]) {
        t[channel] = static_cast<uint8_t>(TransferEdit(t[channel], s[channel], b[channel]));
      }
    }
  }
  return true;
}

}  // namespace

int32_t RunReloadImage(const char* path, host::HostContext context) {
  host::HostDocument* doc = context != nullptr ? host::ContextDocument(context) : nullptr;
  if (doc == nullptr || path == nullptr) return -1;
  const int32_t mode = gLastEditorMode;
  host::HostImage* main = host::DocumentMainImage(doc);
  const host::HostImage* alt = host::DocumentAltImage(doc);
  const host::HostImage* shaded =
      alt != nullptr ? host::ImageShadedImage(alt)
                     : (main != nullptr ? host::ImageShadedImage(main) : nullptr);
  host::HostImage* target = mode == 20   ? host::ContextImage6(context)
                            : mode == 30 ? host::ContextHeightImage(context)
                                         : main;
  if (target == nullptr || shaded == nullptr) return -1;

  // The stamp has a resolution of one second: an equal stamp means the file
  // was not saved again since the export.
  const int32_t stamp = FileTimeStamp(path);
  if (gLastEditorStamp != 0 && stamp == gLastEditorStamp) return 0;

  const bool transfer = mode == 4 || mode == 5;
  ABitMap loaded;
  PsdRefusal why;
  const int32_t status = (mode == 1 || mode == 2)
                             ? loaded.LoadLayeredFromFile(path, false, &why)
                             : loaded.LoadFromFile(path, false, nullptr, 0, &why);
  if (status != 0) {
    loaded.Release();
    NoteCannotMerge(path, stamp, why.text);
    return status;
  }

  bool merged = false;
  const bool fits = HasPacked32Pixels(target) && loaded.pixels != nullptr &&
                    loaded.bitsPerPixel == 32 &&
                    loaded.width == host::ImageWidth(target) &&
                    loaded.height == host::ImageHeight(target) &&
                    // The ratio rule reads one shaded pixel per target pixel.
                    (!transfer || (HasPacked32Pixels(shaded) && SameSize(shaded, target)));
  if (HasPacked32Pixels(target) && loaded.pixels != nullptr &&
      (loaded.width != host::ImageWidth(target) || loaded.height != host::ImageHeight(target))) {
    NoteCannotMergeSize(path, stamp, loaded.width, loaded.height, host::ImageWidth(target),
                        host::ImageHeight(target));
  }
  if (fits) {
    const uint8_t* reference = transfer ? ImageBytes(shaded) : ImageBytes(target);
    merged = MergeInto(ImageBytes(target), reference, loaded.pixels, PixelCount(target),
                       transfer);
  }
  loaded.Release();
  if (!merged || mode >= kFirstUnnotifiedMode) return 0;
  host::DocumentNotifyChanged(doc, main);
  return 1;
}

}  // namespace kelvra
