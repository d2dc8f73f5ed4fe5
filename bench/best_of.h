// The benchmarks' timing: the fastest of a few runs of one piece of work, so
// that a run slowed by the rest of the machine does not count.
#pragma once

#include <chrono>

namespace kelvra::bench {

constexpr int kRuns = 5;

template <typename F>
double BestSeconds(F f, int runs = kRuns) {
  double best = 1e30;
  for (int i = 0; i < runs; ++i) {
    auto t0 = std::chrono::steady_clock::now();
    f();
    double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    if (s < best) best = s;
  }
  return best;
}

}  // namespace kelvra::bench
