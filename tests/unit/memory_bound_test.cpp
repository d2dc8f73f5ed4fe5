// The memory an editor-link call obtains besides the host's images stays
// bounded whatever the image's size: LaunchEditor writes every document
// through one small buffer and makes the shading layer as it writes it.
// Counted by the substitute platform, which tracks every block's bytes.
//
// 64 x 64 to 4096 x 4096 in every run; 8192 x 8192 too when
// KELVRA_LARGE_TESTS is set (about 1 GB of host images and files).
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "editorlink/editor_state.h"
#include "hostsim/hostsim.h"
#include "plugin/exports.h"
#include "tests/support/test_env.h"
#include "tests/unit/editor_fixture.h"

namespace kelvra {
namespace {

using hostsim::SimImage;

constexpr uint64_t kBound = 16u << 20;
constexpr double kModes[] = {0, 1, 2, 3, 4, 5, 20, 30, 100};

std::vector<int> Sides() {
  std::vector<int> sides = {64, 257, 1024, 4096};
  if (std::getenv("KELVRA_LARGE_TESTS") != nullptr) sides.push_back(8192);
  return sides;
}

// A host whose shaded image also serves as mask source and slot-6 image, and
// whose main image is the slot-5 image (the target of a mode-30 reload), so
// that the largest size needs only two images.
struct Host {
  SimImage main, shaded;
  hostsim::SimDocument doc;
  hostsim::SimContext ctx;
  explicit Host(int side) : main(side, side, 32), shaded(side, side, 32) {
    uint32_t* m = main.pixels32();
    uint32_t* s = shaded.pixels32();
    const size_t n = static_cast<size_t>(side) * side;
    for (size_t i = 0; i < n; ++i) {
      m[i] = static_cast<uint32_t>(i * 2654435761u);
      s[i] = static_cast<uint32_t>(i * 40503u + 0x9E3779B9u);
    }
    main.SetShadedImage(&shaded);
    main.SetMaskSource(&shaded);
    doc.SetMainImage(&main);
    doc.SetMaskThreshold(0x10000000);
    ctx.SetSlot(2, doc.record());
    ctx.SetSlot(5, main.record());
    ctx.SetSlot(6, shaded.record());
  }
};

class MemoryBoundTest : public testing::EditorLinkFixture {
 protected:
  testing::TempDir dir;
  std::string path = dir.File("doc.psd");

  float Launch(Host& host, double mode) {
    return KelvraDLL_LaunchEditor(const_cast<char*>(path.c_str()), mode, nullptr, 0, nullptr,
                                  0, host.ctx.table());
  }
  float Reload(Host& host) {
    return KelvraDLL_ReloadImage(const_cast<char*>(path.c_str()), 0.0, nullptr, 0, nullptr, 0,
                                 host.ctx.table());
  }
  // The most bytes held at once during `call`, beyond what was held before.
  template <typename Call>
  static uint64_t PeakOf(Call call) {
    const uint64_t held = seams::BytesHeld();
    seams::ResetPeakBytes();
    call();
    return seams::PeakBytes() - held;
  }
};

// A first launch in each mode: no file to test, so the call is the write.
TEST_F(MemoryBoundTest, LaunchEditorWritesEveryModeWithinTheBound) {
  for (int side : Sides()) {
    Host host(side);
    const uint64_t n = static_cast<uint64_t>(side) * side;
    uint64_t most = 0;
    for (double mode : kModes) {
      SCOPED_TRACE(::testing::Message() << side << " x " << side << ", mode " << mode);
      ResetEditorStateForTesting();
      std::remove(path.c_str());
      float result = -2;
      const uint64_t peak = PeakOf([&] { result = Launch(host, mode); });
      EXPECT_EQ(result, 0.0f);
      EXPECT_LE(peak, kBound);
      most = std::max(most, peak);
      // The document was written whole (mode 100 only opens).
      const int m = static_cast<int>(mode);
      const uint64_t expected = m == 100                 ? 0
                                : m == 1 || m == 2       ? 2250 + 10 * n
                                : m == 3 || m == 5       ? 662 + 10 * n
                                                         : 40 + 3 * n;
      if (expected != 0) EXPECT_EQ(testing::ReadFileBytes(path).size(), expected);
    }
    RecordProperty("launch_peak_bytes_" + std::to_string(side), std::to_string(most));
  }
}

// The unchanged test of a second launch and a reload read the document,
// taking the file in pieces, never whole. The reload holds the one loaded
// raster (4 bytes a pixel) besides the bound; the unchanged test compares
// rows as they are decoded and holds no raster at all.
TEST_F(MemoryBoundTest, ReadingCallsStayWithinTheBoundBesidesTheLoadedRaster) {
  for (int side : Sides()) {
    Host host(side);
    const uint64_t raster = 4 * static_cast<uint64_t>(side) * side;
    for (double mode : kModes) {
      if (mode == 100) continue;
      SCOPED_TRACE(::testing::Message() << side << " x " << side << ", mode " << mode);
      ResetEditorStateForTesting();
      std::remove(path.c_str());
      ASSERT_EQ(Launch(host, mode), 0.0f);
      float result = -2;
      // The same mode and image again: the file is read and found unchanged.
      uint64_t peak = PeakOf([&] { result = Launch(host, mode); });
      EXPECT_EQ(result, 0.0f);
      EXPECT_LE(peak, kBound) << "unchanged test";
      // A newer stamp makes the reload read the file; it holds no edit.
      testing::SetFileTime(path, 5);
      peak = PeakOf([&] { result = Reload(host); });
      EXPECT_EQ(result, 0.0f);
      EXPECT_LE(peak, kBound + raster) << "reload";
    }
  }
}

}  // namespace
}  // namespace kelvra
