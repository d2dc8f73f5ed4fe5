// Map renderer benchmark: renders large height fields to TIFF files and sets
// each render beside a baseline measured in the same run, which reads the
// field once (one copy of each source row, as the renderer's window does)
// and writes the same bytes through the same file services in the same
// pieces as the renderer: the header, then whole rows gathered into writes
// of about 256 KB. The ratio render / baseline is what the renderer adds to
// the best plain write of its file.
//
//   kelvra_map_bench [--size N]... [--repeat R] [--dir FOLDER] [--set sse2|avx2|avx512]
//                    [--case a|b|c|d]...
//
// Defaults: sizes 8192 and 4096, 3 repeats (the fastest run of each is
// reported, in wall time and in processor time), files in /tmp, the widest
// vector set the processor has (--set caps it), every case (--case picks
// some, e.g. for a profiler). No threads.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include <time.h>

#include "bench/emulation.h"
#include "maps/render_map.h"
#include "maps/render_rows.h"
#include "services/services.h"

namespace {

using kelvra::FileHandle;

struct BenchCase {
  const char* name;
  int32_t bits, channels, mode, codes[3];
  bool smoothing;
  // The ratios the renderer must stay within: with SSE2 alone, and with
  // AVX2 or AVX-512.
  double targetSse2, targetWide;
};

const BenchCase kCases[] = {
    {"(a) 8-bit RGB normal, codes 50 70 90, mode 2", 8, 3, 2, {50, 70, 90}, false, 2.5, 2.0},
    {"(b) the same with smoothing", 8, 3, 2, {50, 70, 90}, true, 3.0, 2.5},
    {"(c) 16-bit displacement, code 40, mode 1", 16, 1, 1, {40, 0, 0}, false, 1.4, 1.3},
    {"(d) 32-bit float RGB normal, codes 50 70 90, mode 2", 32, 3, 2, {50, 70, 90}, false, 2.5, 2.0},
};

// Rolling hills with a ramp and fine noise, so that slopes, normals and
// deviations vary from pixel to pixel as in a sculpted surface.
std::vector<uint16_t> MakeField(int32_t n) {
  std::vector<uint16_t> f(static_cast<size_t>(n) * n);
  uint32_t state = 12345;
  for (int32_t y = 0; y < n; ++y) {
    const int32_t hy = (y * 7) % 1024;
    const int32_t ty = hy < 512 ? hy : 1023 - hy;
    for (int32_t x = 0; x < n; ++x) {
      state = state * 1664525u + 1013904223u;
      const int32_t hx = (x * 5 + y / 3) % 1024;
      const int32_t tx = hx < 512 ? hx : 1023 - hx;
      const int32_t v = 4000 + (tx * ty) / 6 + (x + y) / 4 + static_cast<int32_t>(state >> 26);
      f[static_cast<size_t>(y) * n + x] = static_cast<uint16_t>(std::min(v, 65535));
    }
  }
  return f;
}

// Both clocks: wall time, and the process's processor time (user and
// system), which on a shared machine is not inflated by other processes.
struct Clock {
  double wall, cpu;
};

Clock Now() {
  timespec t;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return {std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count(),
          t.tv_sec + t.tv_nsec * 1e-9};
}

Clock Since(const Clock& a) {
  Clock b = Now();
  return {b.wall - a.wall, b.cpu - a.cpu};
}

// The renderer gathers file rows into writes of this many bytes at most
// (whole rows; one row a write when a row is larger).
constexpr uint32_t kWriteBatchBytes = 256 * 1024;

// Reads each source row once and writes the map's bytes: the header, then
// the rows in the renderer's batches, each batch filled before it is written.
Clock Baseline(const std::string& path, const std::vector<uint16_t>& field, int32_t n,
                const BenchCase& c) {
  const uint32_t header = c.channels == 3 ? 241 : 229;
  const uint32_t rowBytes = static_cast<uint32_t>(n) * (c.bits / 8) * c.channels;
  const int32_t batchRows =
      std::min(n, std::max(1, static_cast<int32_t>(kWriteBatchBytes / rowBytes)));
  std::vector<uint16_t> row(static_cast<size_t>(n) + 3);
  std::vector<uint8_t> out(std::max(static_cast<size_t>(rowBytes) * batchRows,
                                    static_cast<size_t>(header)),
                           0x5A);
  const Clock t0 = Now();
  FileHandle f = kelvra::FileOpenOrCreate(path.c_str(), true);
  if (f == 0) return {-1, -1};
  bool ok = kelvra::FileWriteChecked(f, out.data(), header) == static_cast<int32_t>(header);
  uint32_t sink = 0;
  for (int32_t y = 0; y < n && ok; ++y) {
    kelvra::MemCopy(row.data() + 1, field.data() + static_cast<size_t>(y) * n,
                    static_cast<size_t>(n) * 2);
    sink += row[1 + (y % n)];
    // One byte of each row depends on its source row, so the copy stays.
    const int32_t inBatch = y % batchRows;
    out[static_cast<size_t>(rowBytes) * inBatch] = static_cast<uint8_t>(sink);
    if (inBatch == batchRows - 1 || y == n - 1) {
      const uint32_t bytes = rowBytes * static_cast<uint32_t>(inBatch + 1);
      ok = kelvra::FileWriteChecked(f, out.data(), bytes) == static_cast<int32_t>(bytes);
    }
  }
  kelvra::FileClose(f, true);
  return ok ? Since(t0) : Clock{-1, -1};
}

Clock Render(const std::string& path, const std::vector<uint16_t>& field, int32_t n,
             const BenchCase& c) {
  const Clock t0 = Now();
  int32_t r = kelvra::RenderMap(path.c_str(), field.data(), n, n, n, false, 0.5f, c.mode, 1.0f,
                                c.channels, c.bits, c.codes[0], c.codes[1], c.codes[2],
                                c.smoothing, false, 0, nullptr, 1.0f);
  const Clock t = Since(t0);
  return r == 0 ? t : Clock{-1, -1};
}

struct Timing {
  double wall, cpu;  // the fastest run of each
  bool ok;
};

// Baseline and render alternate, after one warm-up run of each (the file
// then exists at its final size for both), so both see the same machine.
template <typename B, typename R>
void Measure(int repeat, B baseline, R render, Timing* base, Timing* rend) {
  baseline();
  render();
  *base = {1e30, 1e30, true};
  *rend = {1e30, 1e30, true};
  for (int i = 0; i < repeat; ++i) {
    for (auto [f, t] : {std::pair<std::function<Clock()>, Timing*>{baseline, base}, {render, rend}}) {
      const Clock c = f();
      if (c.wall < 0) t->ok = false;
      t->wall = std::min(t->wall, c.wall);
      t->cpu = std::min(t->cpu, c.cpu);
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (kelvra::bench::RefuseUnderEmulation("kelvra_map_bench")) return 3;
  std::vector<int32_t> sizes;
  int repeat = 3;
  std::string dir = "/tmp";
  std::string only;  // letters of the chosen cases; empty for all
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--size" && i + 1 < argc) {
      sizes.push_back(std::atoi(argv[++i]));
    } else if (a == "--repeat" && i + 1 < argc) {
      repeat = std::max(1, std::atoi(argv[++i]));
    } else if (a == "--dir" && i + 1 < argc) {
      dir = argv[++i];
    } else if (a == "--case" && i + 1 < argc && std::strlen(argv[i + 1]) == 1 &&
               argv[i + 1][0] >= 'a' && argv[i + 1][0] <= 'd') {
      only += argv[++i];
    } else if (a == "--set" && i + 1 < argc) {
      const std::string set = argv[++i];
      kelvra::LimitVectorSet(set == "sse2" ? kelvra::VectorSet::kSse2
                             : set == "avx2" ? kelvra::VectorSet::kAvx2
                                             : kelvra::VectorSet::kAvx512);
    } else {
      std::fprintf(stderr, "usage: %s [--size N]... [--repeat R] [--dir FOLDER] [--set SET] [--case a|b|c|d]...\n",
                   argv[0]);
      return 2;
    }
  }
  if (sizes.empty()) sizes = {8192, 4096};
  static const char* const kSetNames[] = {"SSE2", "AVX2", "AVX-512"};
  std::printf("vector set: %s\n", kSetNames[static_cast<int>(kelvra::ChosenVectorSet())]);
  const std::string path = dir + "/kelvra-bench-map.tif";
  int failures = 0;
  for (int32_t n : sizes) {
    const std::vector<uint16_t> field = MakeField(n);
    const double pixels = static_cast<double>(n) * n;
    std::printf("%d x %d field, fastest of %d runs, ns per pixel: wall time [processor time]\n",
                n, n, repeat);
    std::printf("  %-52s %17s %17s %15s %7s\n", "case", "baseline", "render", "ratio",
                "target");
    for (const BenchCase& c : kCases) {
      if (!only.empty() && only.find(c.name[1]) == std::string::npos) continue;
      Timing base, render;
      Measure(repeat, [&] { return Baseline(path, field, n, c); },
              [&] { return Render(path, field, n, c); }, &base, &render);
      if (!base.ok || !render.ok) {
        std::printf("  %-52s failed\n", c.name);
        ++failures;
        continue;
      }
      const double ratio = render.wall / base.wall;
      const double target =
          kelvra::ChosenVectorSet() == kelvra::VectorSet::kSse2 ? c.targetSse2 : c.targetWide;
      const double cpuRatio = render.cpu / base.cpu;
      std::printf("  %-52s %6.2f [%6.2f]   %6.2f [%6.2f]   %5.2f [%5.2f] %6.1fx%s\n", c.name,
                  base.wall / pixels * 1e9, base.cpu / pixels * 1e9, render.wall / pixels * 1e9,
                  render.cpu / pixels * 1e9, ratio, cpuRatio, target,
                  ratio <= target ? "" : "  over");
    }
  }
  std::remove(path.c_str());
  return failures == 0 ? 0 : 1;
}
