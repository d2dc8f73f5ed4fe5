// The document writers and readers on real files under Wine: a layered and a
// flat document written over longer files end at their own length, and read
// back through the Win32 file layer to the pixels written; flat documents
// are the same bytes in every vector set this processor has.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "bitmap/abitmap.h"
#include "bitmap/planes.h"
#include "bitmap/psd_writers.h"
#include "tests/winhost/check.h"

namespace kelvra::wintest {
namespace {

std::string TempFile(const char* name) {
  char buf[MAX_PATH];
  DWORD n = GetTempPathA(sizeof buf, buf);
  return std::string(buf, n) + name;
}

void WriteJunk(const std::string& path, size_t bytes) {
  std::vector<uint8_t> junk(bytes, 0xCC);
  FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return;
  std::fwrite(junk.data(), 1, junk.size(), f);
  std::fclose(f);
}

long SizeOf(const std::string& path) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return -1;
  std::fseek(f, 0, SEEK_END);
  long n = std::ftell(f);
  std::fclose(f);
  return n;
}

struct Raster {
  std::vector<uint8_t> bytes;
  ABitMap map;
  Raster(int w, int h, int seed) : bytes(4 * w * h) {
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(seed * 41 + i * 3 + (i >> 7));
    map.width = w, map.height = h, map.pixels = bytes.data();
  }
};

// The colour bytes of `read` equal those of `written`, alpha 0.
bool SameColours(const ABitMap& read, const Raster& written) {
  if (read.pixels == nullptr || read.width != written.map.width ||
      read.height != written.map.height) {
    return false;
  }
  for (size_t i = 0; i < written.bytes.size(); ++i) {
    const uint8_t expected = i % 4 == 3 ? 0 : written.bytes[i];
    if (read.pixels[i] != expected) return false;
  }
  return true;
}

WT_SCENARIO(win32_documents_written_over_longer_files_read_back) {
  Raster l0(33, 17, 1), l1(33, 17, 2), merged(33, 17, 3);
  const ABitMap* layers[2] = {&l0.map, &l1.map};
  const std::string layered = TempFile("kelvra-layers.psd");
  WriteJunk(layered, 100000);
  WT_CHECK_EQ(ABitMap::SaveMultiLayers(layered.c_str(), layers, 2, &merged.map, nullptr, 0), 0);
  WT_CHECK_EQ(SizeOf(layered), 2250L + 10 * 33 * 17);
  ABitMap read;
  WT_CHECK_EQ(read.LoadLayeredFromFile(layered.c_str(), false), 0);
  WT_CHECK(SameColours(read, l0));
  WT_CHECK_EQ(read.LoadFromFile(layered.c_str(), false), 0);
  WT_CHECK(SameColours(read, merged));

  const std::string flat = TempFile("kelvra-flat.psd");
  WriteJunk(flat, 100000);
  WT_CHECK_EQ(l1.map.SaveToFile(flat.c_str(), false), 0);
  WT_CHECK_EQ(SizeOf(flat), 40L + 3 * 33 * 17);
  WT_CHECK_EQ(read.LoadFromFile(flat.c_str(), false), 0);
  WT_CHECK(SameColours(read, l1));
  read.Release();
  WT_CHECK_EQ(read.LoadFromFile(TempFile("kelvra-missing.psd").c_str(), false), -1);
  WT_CHECK(read.pixels == nullptr);
  DeleteFileA(layered.c_str());
  DeleteFileA(flat.c_str());
}

// The planes of 32-bit pixels are cut out in SSE2, AVX2, AVX-512 or AVX-512
// with byte permutes, the widest the processor has: each form, in pieces of
// the writer's own buffer and of 41 bytes (pieces that start and end
// anywhere), writes the samples a plain loop takes from the pixels.
WT_SCENARIO(win32_every_plane_copy_writes_the_same_flat_documents) {
  const std::string path = TempFile("kelvra-flat-sets.psd");
  const PlaneCopy widest = ChosenPlaneCopy();
  std::printf("  widest plane copy here: %d\n", static_cast<int>(widest));
  const int sizes[][2] = {{1, 1}, {17, 3}, {65, 3}, {129, 129}};
  for (const auto& size : sizes) {
    Raster r(size[0], size[1], size[0]);
    const size_t n = static_cast<size_t>(size[0]) * size[1];
    std::vector<uint8_t> planes;
    for (int offset : {2, 1, 0, 3}) {
      for (size_t i = 0; i < n; ++i) planes.push_back(r.bytes[4 * i + offset]);
    }
    const ABitMap* rasters[4] = {&r.map, &r.map, &r.map, &r.map};
    const int32_t offsets[4] = {2, 1, 0, 3};
    for (int set = 0; set <= static_cast<int>(widest); ++set) {
      LimitPlaneCopy(static_cast<PlaneCopy>(set));
      for (uint32_t buffer : {kStreamBufferBytes, 41u}) {
        WT_CHECK_EQ(WriteFlatDocument(r.map, path.c_str(), 4, 8, rasters, offsets, buffer), 0);
        const std::vector<uint8_t> file = ReadAll(path);
        const bool same = file.size() == 40 + planes.size() &&
                          std::equal(planes.begin(), planes.end(), file.begin() + 40);
        if (!same) std::printf("  form %d, %d x %d, buffer %u differs\n", set, size[0], size[1], buffer);
        WT_CHECK(same);
      }
    }
  }
  LimitPlaneCopy(PlaneCopy::kAvx512Vbmi);
  DeleteFileA(path.c_str());
}

}  // namespace
}  // namespace kelvra::wintest
