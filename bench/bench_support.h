// Timing shared by the benchmarks.
#pragma once

#include <algorithm>
#include <chrono>
#include <functional>
#include <utility>

namespace bench {

// Calls per second of `once`: `warmup` untimed calls, then batches of `batch` until `seconds` have
// passed (the clock is read once a batch, so fast operations are not timed by the clock).
inline double CallsPerSecond(double seconds, const std::function<void()>& once, int batch = 10, int warmup = 5) {
  using Clock = std::chrono::steady_clock;
  for (int i = 0; i < warmup; ++i) once();
  long done = 0;
  const auto start = Clock::now();
  double elapsed = 0;
  do {
    for (int i = 0; i < batch; ++i) once();
    done += batch;
    elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  } while (elapsed < seconds);
  return static_cast<double>(done) / elapsed;
}

// The best calls per second of ours and theirs over `rounds` alternating rounds, so that a busy
// machine slows both sides alike rather than whichever ran during the burst.
inline std::pair<double, double> BestAlternating(int rounds, double seconds, const std::function<void()>& ours,
                                                 const std::function<void()>& theirs, int batch = 10,
                                                 int warmup = 5) {
  double mine = 0, other = 0;
  for (int round = 0; round < rounds; ++round) {
    mine = std::max(mine, CallsPerSecond(seconds, ours, batch, warmup));
    other = std::max(other, CallsPerSecond(seconds, theirs, batch, warmup));
  }
  return {mine, other};
}

}  // namespace bench
