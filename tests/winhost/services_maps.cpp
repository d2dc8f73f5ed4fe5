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

}  // namespace
}  // namespace kelvra::wintest
