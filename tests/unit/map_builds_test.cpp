// The export cases that the DLL under Wine renders too (tests/winhost/
// host_maps.cpp): the native build must produce the recorded digests, so the
// two builds give the same bytes.
#include <cstdio>
#include <string>
#include <vector>

#include "hostsim/hostsim.h"
#include "plugin/dispatcher.h"
#include "plugin/exports.h"
#include "tests/support/test_env.h"
#include "tests/unit/map_reference.h"
#include "tests/winhost/host_maps_cases.h"

namespace kelvra {
namespace {

using hostsim::SimContext;
using hostsim::SimImage;
using testing::ReadFileBytes;
using testing::TempDir;

class MapBuildsTest : public testing::KelvraTest {};

// The request that Do makes of the renderer for a case's option code.
std::vector<uint8_t> ReferenceFor(const mapcases::MapCase& c, float scale,
                                  const std::vector<uint16_t>& field) {
  const OptionCode o = DecodeOptionCode(c.optionCode);
  testing::MapRequest r;
  r.width = c.width;
  r.height = c.height;
  r.rowLength = c.rowSamples;
  r.flipVertical = o.flipVertical;
  r.scaleMode = o.scaleMode;
  r.scale = scale;
  r.channelCount = o.channelCount;
  r.bitsPerSample = o.bitsPerSample;
  for (int k = 0; k < 3; ++k) r.codes[k] = o.codes[k];
  r.smoothing = o.smoothing;
  r.wrapEdges = o.wrapEdges;
  r.strength = o.strength;
  return testing::ReferenceMap(r, field);
}

// Command 4 takes the map's scale for the float formats ('I' and beyond).
bool TakesMapScale(const mapcases::MapCase& c) { return c.optionCode[3] >= 'I'; }

float Do(double value, const char* text, SimContext& ctx) {
  return KelvraDLL_Do(const_cast<char*>(text), value, nullptr, 0, nullptr, 0, ctx.table());
}

TEST_F(MapBuildsTest, ExportsGiveTheRecordedBytes) {
  TempDir dir;
  std::string report;
  for (const mapcases::MapCase& c : mapcases::kCases) {
    SimImage image(c.width, c.height, 16, 2 * c.rowSamples);
    mapcases::FillField(image.samples16(), c.rowSamples, c.height, c.seed);
    SimContext ctx;
    ctx.SetSlot(5, image.record());
    const std::string path = dir.File(std::string(c.name) + ".tif");
    ASSERT_EQ(Do(c.scaleCommand, nullptr, ctx), 0.0f);
    ASSERT_EQ(Do(2, path.c_str(), ctx), 0.0f);
    ASSERT_EQ(Do(3, c.optionCode, ctx), 0.0f) << c.name;
    std::vector<uint8_t> file = ReadFileBytes(path);
    // The recorded bytes are the reference renderer's.
    const uint16_t* samples = image.samples16();
    EXPECT_EQ(file, ReferenceFor(c, c.scaleCommand < 0 ? static_cast<float>(-c.scaleCommand) : 1.0f,
                                 std::vector<uint16_t>(samples, samples + image.byteCount() / 2)))
        << c.name;
    const uint64_t digest = mapcases::Fnv1a(file.data(), file.size());
    if (digest != c.digest) {
      char line[128];
      std::snprintf(line, sizeof line, "  %s: 0x%016llxull\n", c.name,
                    static_cast<unsigned long long>(digest));
      report += line;
    }
  }
  EXPECT_TRUE(report.empty()) << "digests differ:\n" << report;
}

TEST_F(MapBuildsTest, MapObjectExportsGiveTheRecordedBytes) {
  TempDir dir;
  std::string report;
  for (const mapcases::MapCase& c : mapcases::kMapObjectCases) {
    hostsim::SimMapSource source;
    source.mapWidth = c.width;
    source.mapHeight = c.height;
    source.mapScaleFixed = mapcases::kMapObjectScaleFixed;
    SimContext ctx;
    ctx.SetSlot(4, source.record());
    ASSERT_EQ(KelvraDLL_ExportDisp32_MakeMap(nullptr, 0, nullptr, 0, nullptr, 0, ctx.table()), 0.0f);
    mapcases::FillField(source.made[0]->samples(), c.rowSamples, c.height, c.seed);
    const uint16_t* samples = source.made[0]->samples();
    const std::vector<uint16_t> field(samples, samples + c.width * c.height);
    const std::string path = dir.File(std::string(c.name) + ".tif");
    ASSERT_EQ(Do(c.scaleCommand, nullptr, ctx), 0.0f);
    ASSERT_EQ(Do(2, path.c_str(), ctx), 0.0f);
    EXPECT_EQ(Do(4, c.optionCode, ctx), 0.0f) << c.name;
    KelvraDLL_ExportDisp32_DeleteMap(nullptr, 0, nullptr, 0, nullptr, 0, ctx.table());
    std::vector<uint8_t> file = ReadFileBytes(path);
    const float scale = TakesMapScale(c) ? mapcases::kMapObjectScaleFixed / 65536.0f : 1.0f;
    EXPECT_EQ(file, ReferenceFor(c, scale, field)) << c.name;
    const uint64_t digest = mapcases::Fnv1a(file.data(), file.size());
    if (digest != c.digest) {
      char line[128];
      std::snprintf(line, sizeof line, "  %s: 0x%016llxull\n", c.name,
                    static_cast<unsigned long long>(digest));
      report += line;
    }
  }
  EXPECT_TRUE(report.empty()) << "digests differ:\n" << report;
}

}  // namespace
}  // namespace kelvra
