// Host scenarios of the map export through the real DLL: command 2 then 3 on
// the slot-5 height image, make map then command 4, the refusals, and the
// clipboard commands. Every file must carry the bytes the native build
// renders (host_maps_cases.h).
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "hostsim/hostsim.h"
#include "tests/winhost/check.h"
#include "tests/winhost/host_dll.h"
#include "tests/winhost/host_maps_cases.h"

namespace kelvra::wintest {
namespace {

using hostsim::SimContext;
using hostsim::SimImage;
using hostsim::SimMapSource;

float Do(double value, const char* text, SimContext* ctx, char* buf2 = nullptr) {
  CallArgs a;
  a.text = text;
  a.value = value;
  a.buf2 = buf2;
  a.context = ctx == nullptr ? nullptr : ctx->table();
  return Call(TheDll().Do, a);
}

uint32_t Le16(const std::vector<uint8_t>& b, size_t at) { return b[at] | (b[at + 1] << 8); }
uint32_t Le32(const std::vector<uint8_t>& b, size_t at) {
  return Le16(b, at) | (Le16(b, at + 2) << 16);
}

bool DigestMatches(const mapcases::MapCase& c, const std::vector<uint8_t>& file) {
  uint64_t digest = mapcases::Fnv1a(file.data(), file.size());
  if (digest == c.digest) return true;
  std::printf("  %s: 0x%016llxull (native 0x%016llxull)\n", c.name,
              static_cast<unsigned long long>(digest), static_cast<unsigned long long>(c.digest));
  return false;
}

WT_SCENARIO(maps_1_command_2_then_3_writes_the_native_bytes) {
  const std::string folder = TempDirWin();
  for (const mapcases::MapCase& c : mapcases::kCases) {
    SimImage image(c.width, c.height, 16, 2 * c.rowSamples);
    mapcases::FillField(image.samples16(), c.rowSamples, c.height, c.seed);
    SimContext ctx;
    ctx.SetSlot(5, image.record());
    const std::string path = folder + "\\" + c.name + ".tif";
    WT_CHECK_EQ(Do(c.scaleCommand, nullptr, &ctx), 0.0f);
    WT_CHECK_EQ(Do(2, path.c_str(), &ctx), 0.0f);
    WT_CHECK_EQ(Do(3, c.optionCode, &ctx), 0.0f);
    std::vector<uint8_t> file = ReadAll(path);
    WT_CHECK(DigestMatches(c, file));
    DeleteFileA(path.c_str());
  }
}

WT_SCENARIO(maps_2_typical_export_reads_as_a_tiff) {
  // Format C, mode A, flags A, strength K, codes FA HA JA: an 8-bit RGB
  // normal map with the 241-byte header.
  const mapcases::MapCase& c = mapcases::kCases[0];
  SimImage image(c.width, c.height, 16);
  mapcases::FillField(image.samples16(), c.width, c.height, c.seed);
  SimContext ctx;
  ctx.SetSlot(5, image.record());
  const std::string path = TempDirWin() + "\\typical.tif";
  // A longer file at the path is cut to the new map's length.
  {
    std::vector<uint8_t> junk(100000, 0xCC);
    FILE* f = std::fopen(path.c_str(), "wb");
    std::fwrite(junk.data(), 1, junk.size(), f);
    std::fclose(f);
  }
  WT_CHECK_EQ(Do(0, nullptr, &ctx), 0.0f);
  WT_CHECK_EQ(Do(2, path.c_str(), &ctx), 0.0f);
  WT_CHECK_EQ(Do(3, "xyzCAAK-FAHAJA", &ctx), 0.0f);
  std::vector<uint8_t> file = ReadAll(path);
  const size_t pixels = static_cast<size_t>(c.width) * c.height;
  WT_CHECK_EQ(file.size(), 241 + 3 * pixels);
  if (file.size() < 241) return;
  WT_CHECK(file[0] == 'I' && file[1] == 'I');
  WT_CHECK_EQ(Le16(file, 2), 42u);
  WT_CHECK_EQ(Le32(file, 4), 8u);
  WT_CHECK_EQ(Le16(file, 8), 16u);
  WT_CHECK_EQ(Le32(file, 10 + 12 * 1 + 8), static_cast<uint32_t>(c.width));
  WT_CHECK_EQ(Le32(file, 10 + 12 * 2 + 8), static_cast<uint32_t>(c.height));
  WT_CHECK_EQ(Le32(file, 10 + 12 * 6 + 8), 241u);
  WT_CHECK_EQ(Le32(file, 10 + 12 * 9 + 8), static_cast<uint32_t>(3 * pixels));
  WT_CHECK_EQ(Le16(file, 10 + 12 * 15), 305u);  // Software last
  WT_CHECK(std::string(reinterpret_cast<const char*>(&file[234])) == "Kelvra");
  DeleteFileA(path.c_str());
}

WT_SCENARIO(maps_3_make_map_then_command_4) {
  const std::string folder = TempDirWin();
  for (const mapcases::MapCase& c : mapcases::kMapObjectCases) {
    SimMapSource source;
    source.mapWidth = c.width;
    source.mapHeight = c.height;
    source.mapScaleFixed = mapcases::kMapObjectScaleFixed;
    SimContext ctx;
    ctx.SetSlot(4, source.record());
    CallArgs make;
    make.context = ctx.table();
    WT_CHECK_EQ(Call(TheDll().MakeMap, make), 0.0f);
    if (source.made.empty()) return;
    mapcases::FillField(source.made[0]->samples(), c.rowSamples, c.height, c.seed);
    const std::string path = folder + "\\" + c.name + ".tif";
    WT_CHECK_EQ(Do(c.scaleCommand, nullptr, &ctx), 0.0f);
    WT_CHECK_EQ(Do(2, path.c_str(), &ctx), 0.0f);
    WT_CHECK_EQ(Do(4, c.optionCode, &ctx), 0.0f);
    WT_CHECK(DigestMatches(c, ReadAll(path)));
    WT_CHECK_EQ(Call(TheDll().DeleteMap, make), 0.0f);
    WT_CHECK(source.made[0]->destroyed);
    DeleteFileA(path.c_str());
  }
  WT_CHECK(hostsim::ContractViolations().empty());
  hostsim::ClearContractViolations();
}

WT_SCENARIO(maps_4_refusals_and_failed_renders) {
  SimImage image(6, 4, 16);
  SimContext ctx;
  ctx.SetSlot(5, image.record());
  const std::string path = TempDirWin() + "\\refused.tif";
  DeleteFileA(path.c_str());
  WT_CHECK_EQ(Do(2, path.c_str(), &ctx), 0.0f);
  WT_CHECK_EQ(Do(2, "abcd", &ctx), -1.0f);
  WT_CHECK_EQ(Do(3, "xyzBAAK-EAAAA", &ctx), -1.0f);  // 13 characters
  WT_CHECK_EQ(Do(3, "xyzBAAK-EAAAAA", nullptr), -1.0f);
  WT_CHECK_EQ(Do(4, "xyzBAAK-EAAAAA", &ctx), -1.0f);  // no current map
  image.SetBitsPerPixel(32);
  WT_CHECK_EQ(Do(3, "xyzBAAK-EAAAAA", &ctx), -1.0f);
  WT_CHECK(GetFileAttributesA(path.c_str()) == INVALID_FILE_ATTRIBUTES);
  image.SetBitsPerPixel(16);
  WT_CHECK_EQ(Do(2, (TempDirWin() + "\\no\\such\\folder\\x.tif").c_str(), &ctx), 0.0f);
  WT_CHECK_EQ(Do(3, "xyzBAAK-EAAAAA", &ctx), 1.0f);
  WT_CHECK_EQ(Do(1, nullptr, &ctx), 0.0f);
  WT_CHECK_EQ(Do(102, nullptr, &ctx), 0.0f);
}

WT_SCENARIO(maps_5_clipboard_commands) {
  SimContext ctx;
  WT_CHECK_EQ(Do(100, nullptr, &ctx), -1.0f);
  WT_CHECK_EQ(Do(101, nullptr, &ctx, nullptr), -1.0f);
  WT_CHECK_EQ(Do(100, "map text through the clipboard", &ctx), 0.0f);
  char buf[256] = {};
  WT_CHECK_EQ(Do(101, nullptr, &ctx, buf), 0.0f);
  WT_CHECK(std::string(buf) == "map text through the clipboard");
}

}  // namespace
}  // namespace kelvra::wintest
