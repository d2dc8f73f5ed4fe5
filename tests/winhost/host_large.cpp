// Editor round trips at the sizes of 3D-painting textures, through the real
// DLL in a 32-bit process: the host's main and shaded images of 8192 x 8192
// (256 MB each) and of 16384 x 8192 (512 MB each) are allocated by the host,
// the DLL writes the document of each mode, the stand-in editor paints it and
// ReloadImage brings the edit back. No message box may show.
//
// These run only when asked for by name (the filter "large_"): launching
// alone ("large_launch"), or the whole round trip ("large_round_trip"). Two
// 16384 x 8192 images do not fit beside each other in 2 GB: that host is
// large-address-aware (kelvra_testhost_laa.exe).
#include <windows.h>

#include <cstdio>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "hostsim/hostsim.h"
#include "tests/winhost/check.h"
#include "tests/winhost/host_dll.h"

namespace kelvra::wintest {
namespace {

using hostsim::SimImage;

// The painted rectangle: columns 100 to 103, rows 200 to 202.
constexpr int kX = 100, kY = 200, kRw = 4, kRh = 3;
constexpr uint32_t kR = 200, kG = 30, kB = 60;
constexpr uint32_t kPainted = kR << 16 | kG << 8 | kB;
constexpr int32_t kThreshold = 0x40000000;
constexpr int kModes[] = {0, 1, 3, 4};

// Flat levels 1 to 127, so the shaded image can be twice the flat one.
uint32_t FlatPixel(uint32_t i) {
  uint32_t p = 0xFF000000u;
  for (uint32_t c = 0; c < 3; ++c) p |= (1 + (i * (c + 3) + (i >> 12)) % 127) << (8 * c);
  return p;
}

// Twice the flat levels; the fourth byte makes even columns lie below the
// mask threshold (0x80: negative) and odd ones above it (0x50).
uint32_t ShadedPixel(uint32_t i) {
  return ((FlatPixel(i) & 0xFFFFFFu) << 1) | ((i & 1) != 0 ? 0x50000000u : 0x80000000u);
}

// The host: main and shaded image of one size; the shaded image is also the
// mask source, so the largest host needs only two images.
struct BigHost {
  std::unique_ptr<SimImage> main, shaded;
  hostsim::SimDocument doc;
  hostsim::SimContext ctx;
  int width, height;

  BigHost(int w, int h) : width(w), height(h) {
    try {
      main = std::make_unique<SimImage>(w, h, 32);
      shaded = std::make_unique<SimImage>(w, h, 32);
    } catch (const std::bad_alloc&) {
      main.reset();
      shaded.reset();
      return;
    }
    const uint32_t n = static_cast<uint32_t>(w) * static_cast<uint32_t>(h);
    for (uint32_t i = 0; i < n; ++i) {
      main->pixels32()[i] = FlatPixel(i);
      shaded->pixels32()[i] = ShadedPixel(i);
    }
    main->SetShadedImage(shaded.get());
    main->SetMaskSource(shaded.get());
    doc.SetMainImage(main.get());
    doc.SetMaskThreshold(kThreshold);
    ctx.SetSlot(2, doc.record());
  }
  bool ok() const { return main != nullptr; }
  bool InRect(uint32_t i) const {
    const int x = static_cast<int>(i % static_cast<uint32_t>(width));
    const int y = static_cast<int>(i / static_cast<uint32_t>(width));
    return x >= kX && x < kX + kRw && y >= kY && y < kY + kRh;
  }
  // Back to the pixels it was made with, where an edit may have landed.
  void RestoreRect() {
    for (int y = kY; y < kY + kRh; ++y) {
      for (int x = kX; x < kX + kRw; ++x) {
        const uint32_t i = static_cast<uint32_t>(y) * width + x;
        main->pixels32()[i] = FlatPixel(i);
      }
    }
    doc.notifyCalls.clear();
  }
  // What the main image should hold after the reload of `mode`.
  uint32_t Expected(int mode, uint32_t i) const {
    if (!InRect(i)) return FlatPixel(i);
    const uint32_t alpha = FlatPixel(i) & 0xFF000000u;
    if (mode == 4) {
      // The ratio rule against a shaded image twice the flat one halves the
      // painted levels.
      return alpha | (kR / 2) << 16 | (kG / 2) << 8 | (kB / 2);
    }
    // Mode 3: the masked layer (the same image) covers the pixels whose mask
    // is below the threshold; the composite there still shows the old colour.
    if (mode == 3 && static_cast<int32_t>(ShadedPixel(i)) < kThreshold) return FlatPixel(i);
    return alpha | kPainted;
  }
};

uint64_t DocumentBytes(int mode, uint64_t n) {
  if (mode == 1) return 2250 + 10 * n;
  if (mode == 3) return 662 + 10 * n;
  return 40 + 3 * n;
}

uint64_t FileBytes(const std::string& path) {
  WIN32_FILE_ATTRIBUTE_DATA a;
  if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &a)) return 0;
  return (static_cast<uint64_t>(a.nFileSizeHigh) << 32) | a.nFileSizeLow;
}

// Every mode in turn on one host: export, the editor's edit and, with
// `reload`, ReloadImage and the main image checked pixel by pixel.
void RoundTrips(int width, int height, bool reload) {
  const Dll& dll = TheDll();
  WT_CHECK(MessageBoxesCounted());
  BigHost host(width, height);
  WT_CHECK(host.ok());
  if (!host.ok()) {
    std::printf("  the host could not allocate two %d x %d images\n", width, height);
    return;
  }
  const uint64_t n = static_cast<uint64_t>(width) * height;
  for (int mode : kModes) {
    std::printf("  mode %d\n", mode);
    std::fflush(stdout);
    const std::string path = TempDirWin() + "\\large " + std::to_string(width) + "x" +
                             std::to_string(height) + " mode " + std::to_string(mode) + ".psd";
    DeleteFileA(path.c_str());
    DeleteFileA((path + ".opened").c_str());
    if (FILE* edit = std::fopen((path + ".edit").c_str(), "wb")) {
      std::fprintf(edit, "%d %d %d %d %u %u %u\n", kX, kY, kRw, kRh, kR, kG, kB);
      std::fclose(edit);
    }
    const int boxes = MessageBoxesShown();
    WT_CHECK_EQ(Export(dll.LaunchEditor, path, mode, host.ctx.table()), 0.0f);
    WT_CHECK_EQ(FileBytes(path), DocumentBytes(mode, n));
    WT_CHECK(AwaitEditor(path) == path);
    if (reload) {
      WT_CHECK_EQ(Export(dll.ReloadImage, path, 0.0, host.ctx.table()), 1.0f);
      WT_CHECK_EQ(host.doc.notifyCalls.size(), 1u);
      uint32_t wrong = 0;
      for (uint32_t i = 0; i < n; ++i) wrong += host.main->pixels32()[i] != host.Expected(mode, i);
      WT_CHECK_EQ(wrong, 0u);
      host.RestoreRect();
    }
    WT_CHECK_EQ(MessageBoxesShown() - boxes, 0);
    if (MessageBoxesShown() != boxes) std::printf("  box: %s\n", LastMessageBoxText().c_str());
    DeleteFileA(path.c_str());
    DeleteFileA((path + ".edit").c_str());
    DeleteFileA((path + ".opened").c_str());
  }
}

WT_SCENARIO(large_launch_8192x8192) { RoundTrips(8192, 8192, false); }
WT_SCENARIO(large_launch_16384x8192) { RoundTrips(16384, 8192, false); }
WT_SCENARIO(large_round_trip_8192x8192) { RoundTrips(8192, 8192, true); }
WT_SCENARIO(large_round_trip_16384x8192) { RoundTrips(16384, 8192, true); }

}  // namespace
}  // namespace kelvra::wintest
