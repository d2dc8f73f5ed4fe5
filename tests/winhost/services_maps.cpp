// The map renderer of the Windows build, linked directly, under Wine: every
// vector instruction set this processor has (the DLL itself picks the
// widest) renders the shared export cases to the bytes the native build
// recorded, so the narrower sets are checked in the Windows build too.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "maps/render_map.h"
#include "maps/render_rows.h"
#include "plugin/dispatcher.h"
#include "tests/support/normal_boundaries.h"
#include "tests/winhost/check.h"
#include "tests/winhost/host_maps_cases.h"

namespace kelvra::wintest {
namespace {

WT_SCENARIO(win32_every_vector_set_renders_the_native_bytes) {
  char dir[MAX_PATH];
  const std::string path = std::string(dir, GetTempPathA(sizeof dir, dir)) + "kelvra-sets.tif";
  const VectorSet widest = ChosenVectorSet();
  std::printf("  widest vector set here: %d\n", static_cast<int>(widest));
  for (int set = 0; set <= static_cast<int>(widest); ++set) {
    LimitVectorSet(static_cast<VectorSet>(set));
    for (const mapcases::MapCase& c : mapcases::kCases) {
      std::vector<uint16_t> field(static_cast<size_t>(c.rowSamples) * c.height);
      mapcases::FillField(field.data(), c.rowSamples, c.height, c.seed);
      const OptionCode o = DecodeOptionCode(c.optionCode);
      const float scale = c.scaleCommand < 0 ? static_cast<float>(-c.scaleCommand) : 1.0f;
      WT_CHECK_EQ(RenderMap(path.c_str(), field.data(), c.width, c.height, c.rowSamples,
                            o.flipVertical, 0.5f, o.scaleMode, scale, o.channelCount,
                            o.bitsPerSample, o.codes[0], o.codes[1], o.codes[2], o.smoothing,
                            o.wrapEdges, o.strength, nullptr, 1.0f),
                  0);
      const std::vector<uint8_t> file = ReadAll(path);
      const uint64_t digest = mapcases::Fnv1a(file.data(), file.size());
      if (digest != c.digest) std::printf("  set %d, %s differs\n", set, c.name);
      WT_CHECK(digest == c.digest);
    }
  }
  LimitVectorSet(VectorSet::kAvx512);
  DeleteFileA(path.c_str());
}

// 8-bit normal maps on rounding boundaries (gradients searched for
// components near an 8-bit sample's edge or a tie): every vector set's file
// row equals the plain per-pixel path's, which fills a raster with the same
// bytes in blue, green, red order.
WT_SCENARIO(win32_every_vector_set_renders_boundary_normals_as_the_plain_path) {
  char dir[MAX_PATH];
  const std::string path = std::string(dir, GetTempPathA(sizeof dir, dir)) + "kelvra-edges.tif";
  const VectorSet widest = ChosenVectorSet();
  const float ratios[] = {1.0f, 0.37f, 61.0f, 0.0021f, 1677721.0f};
  uint32_t seed = 1;
  for (float ratio : ratios) {
    const float s = boundaries::Mode1Strength(ratio);
    for (int32_t limit : {65535, 4095, 255}) {
      int32_t width = 0;
      const std::vector<uint16_t> field =
          boundaries::FieldFor(boundaries::SearchBoundaries(s, limit, 100, 0.2, 0.02, seed++), &width);
      WT_CHECK(width >= 200);
      if (width < 200) continue;
      std::vector<uint8_t> raster(static_cast<size_t>(width) * 2 * 4, 0);
      WT_CHECK_EQ(RenderMap(nullptr, field.data(), width, 2, width, false, 0.5f, 1, 1.0f, 3, 8, 50,
                            70, 90, false, false, 0, raster.data(), ratio),
                  0);
      for (int set = 0; set <= static_cast<int>(widest); ++set) {
        LimitVectorSet(static_cast<VectorSet>(set));
        WT_CHECK_EQ(RenderMap(path.c_str(), field.data(), width, 2, width, false, 0.5f, 1, 1.0f, 3,
                              8, 50, 70, 90, false, false, 0, nullptr, ratio),
                    0);
        const std::vector<uint8_t> file = ReadAll(path);
        WT_CHECK_EQ(file.size(), 241u + static_cast<size_t>(width) * 2 * 3);
        if (file.size() != 241u + static_cast<size_t>(width) * 2 * 3) continue;
        int differing = 0;
        // The raster's first pixel may have been lifted off black; row 1
        // holds the sought gradients.
        for (int32_t i = width; i < 2 * width; ++i) {
          const uint8_t* f = file.data() + 241 + 3 * static_cast<size_t>(i);
          const uint8_t* r = raster.data() + 4 * static_cast<size_t>(i);
          differing += f[0] != r[2] || f[1] != r[1] || f[2] != r[0];
        }
        if (differing != 0) {
          std::printf("  set %d, ratio %g, limit %d: %d pixels differ\n", set, ratio, limit,
                      differing);
        }
        WT_CHECK_EQ(differing, 0);
      }
      LimitVectorSet(VectorSet::kAvx512);
    }
  }
  DeleteFileA(path.c_str());
}

}  // namespace
}  // namespace kelvra::wintest
