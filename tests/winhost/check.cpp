#include "tests/winhost/check.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace kelvra::wintest {
namespace {

struct Entry {
  const char* name;
  ScenarioFn fn;
};

std::vector<Entry>& Scenarios() {
  static std::vector<Entry> all;
  return all;
}

int gFailures = 0;

}  // namespace

Registrar::Registrar(const char* name, ScenarioFn fn) {
  Scenarios().push_back({name, fn});
}

void Fail(const char* file, int line, const std::string& what) {
  ++gFailures;
  std::printf("  FAILED %s:%d: %s\n", file, line, what.c_str());
  std::fflush(stdout);
}

int RunAll(const char* filter) {
  int passed = 0, failed = 0;
  // By name, so the order (and the DLL state each scenario starts from) does
  // not depend on link order.
  std::vector<Entry> all = Scenarios();
  std::sort(all.begin(), all.end(), [](const Entry& x, const Entry& y) {
    return std::strcmp(x.name, y.name) < 0;
  });
  for (const Entry& e : all) {
    if (filter != nullptr && std::strstr(e.name, filter) == nullptr) continue;
    // The large scenarios take minutes and most of the address space: only
    // when asked for by name.
    if (filter == nullptr && std::strncmp(e.name, "large_", 6) == 0) continue;
    int before = gFailures;
    std::printf("[ RUN  ] %s\n", e.name);
    std::fflush(stdout);
    e.fn();
    bool ok = gFailures == before;
    std::printf("[ %s ] %s\n", ok ? " OK " : "FAIL", e.name);
    std::fflush(stdout);
    (ok ? passed : failed)++;
  }
  std::printf("%d passed, %d failed\n", passed, failed);
  std::fflush(stdout);
  return failed == 0 && passed > 0 ? 0 : 1;
}

std::vector<uint8_t> ReadAll(const std::string& path) {
  std::vector<uint8_t> bytes;
  FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return bytes;
  uint8_t buf[65536];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) bytes.insert(bytes.end(), buf, buf + n);
  std::fclose(f);
  return bytes;
}

}  // namespace kelvra::wintest
