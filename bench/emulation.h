// The benchmarks measure this processor. Run by a user-mode emulator (an
// i386 program handed to qemu through binfmt_misc on a kernel without IA-32
// emulation, or started by it directly) every time is the emulator's, and a
// ratio of two such times says nothing about the code: the benchmarks then
// say so and print no figures.
#pragma once

#include <cstdio>
#include <string>

#include <unistd.h>

namespace kelvra::bench {

// The emulator's path when this process runs under one, else empty.
// A user-mode emulator answers readlink("/proc/self/exe") with the emulated
// program, but hands any other spelling of the same link to the kernel,
// which names the program it really runs: the emulator. Natively both
// spellings name the same file.
inline std::string EmulatorRunningUs() {
  char self[4096], kernel[4096];
  const ssize_t a = readlink("/proc/self/exe", self, sizeof self);
  const ssize_t b = readlink("/proc/./self/exe", kernel, sizeof kernel);
  if (a < 0 || b < 0) return {};  // no /proc: nothing to compare
  std::string asked(self, static_cast<size_t>(a)), real(kernel, static_cast<size_t>(b));
  return asked == real ? std::string() : real;
}

// Prints why nothing is measured and returns true under an emulator.
inline bool RefuseUnderEmulation(const char* program) {
  const std::string emulator = EmulatorRunningUs();
  if (emulator.empty()) return false;
  std::printf("%s: this process runs under the emulator %s; its times are the emulator's, "
              "so no figures or ratios are printed (run it on a machine that executes "
              "32-bit x86 code)\n",
              program, emulator.c_str());
  return true;
}

}  // namespace kelvra::bench
