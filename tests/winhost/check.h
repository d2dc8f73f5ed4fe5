// A small check framework for the Windows test programs (no GoogleTest under
// mingw). Scenarios register themselves; main runs them all and prints
// "N passed, N failed".
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace kelvra::wintest {

using ScenarioFn = void (*)();
struct Registrar {
  Registrar(const char* name, ScenarioFn fn);
};

void Fail(const char* file, int line, const std::string& what);
int RunAll(const char* filter);  // returns the process exit code

// The whole file; empty when it cannot be read.
std::vector<uint8_t> ReadAll(const std::string& path);

}  // namespace kelvra::wintest

#define WT_SCENARIO(name)                                               \
  static void name();                                                   \
  static ::kelvra::wintest::Registrar name##_registrar(#name, &name);   \
  static void name()

#define WT_CHECK(cond)                                                  \
  do {                                                                  \
    if (!(cond)) ::kelvra::wintest::Fail(__FILE__, __LINE__, #cond);    \
  } while (0)

#define WT_CHECK_EQ(a, b)                                                      \
  do {                                                                         \
    auto wt_a = (a);                                                           \
    auto wt_b = (b);                                                           \
    if (!(wt_a == wt_b))                                                       \
      ::kelvra::wintest::Fail(__FILE__, __LINE__,                              \
                              std::string(#a " == " #b " (") +                 \
                                  std::to_string(wt_a) + " vs " +              \
                                  std::to_string(wt_b) + ")");                 \
  } while (0)
