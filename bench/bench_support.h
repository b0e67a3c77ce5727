// Timing shared by the benchmarks.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <utility>
#include <vector>

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

// One line of an ours-against-OpenSSL operation table: calls per second, microseconds per call
// and our time relative to theirs (best of three alternating rounds).
inline void CompareLine(const char* label, double seconds, const std::function<void()>& ours,
                        const std::function<void()>& theirs, bool same, int batch, int warmup) {
  const auto [mine, other] = BestAlternating(3, seconds, ours, theirs, batch, warmup);
  std::printf("%-16s %12.0f %12.0f %10.1f %10.1f %7.2fx %s\n", label, mine, other, 1e6 / mine, 1e6 / other,
              other / mine, same ? "" : "(RESULTS DIFFER)");
}

// The seconds per round from the command line (default 0.5) with the table's header printed;
// 0 after a usage message for a bad argument.
inline double OperationTableStart(int argc, char** argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 0.5;
  if (seconds <= 0) {
    std::fprintf(stderr, "usage: %s [seconds > 0]\n", argv[0]);
    return 0;
  }
  std::printf("%-16s %12s %12s %10s %10s %8s\n", "operation", "ours/s", "openssl/s", "ours us", "ossl us",
              "time x");
  return seconds;
}

// Helpers of the bulk-transfer benchmarks (files against curl).
inline double SecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Megabytes per second.
inline double Rate(uint64_t bytes, double seconds) { return static_cast<double>(bytes) / 1e6 / seconds; }

// The size of a file, 0 when it is missing.
inline uint64_t FileSize(const std::string& path) {
  std::error_code ec;
  const auto n = std::filesystem::file_size(path, ec);
  return ec ? 0 : n;
}

// `total` bytes of a fixed, not trivially compressible pattern.
inline void WriteBig(const std::string& path, uint64_t total) {
  std::ofstream f(path, std::ios::binary);
  std::vector<char> block(1 << 20);
  for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>((i * 131) ^ (i >> 9));
  for (uint64_t left = total; left > 0;) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(left, block.size()));
    f.write(block.data(), static_cast<std::streamsize>(n));
    left -= n;
  }
}

// curl over TLS, trusting `cacert`, with no proxy from the environment; seconds or -1.
inline double TimeCurl(const std::string& cacert, const std::string& args) {
  const std::string command =
      "env -u http_proxy -u https_proxy -u all_proxy -u HTTP_PROXY -u HTTPS_PROXY -u ALL_PROXY curl -sS -f "
      "--cacert " + cacert + " " + args;
  const auto start = std::chrono::steady_clock::now();
  const int rc = std::system(command.c_str());
  const double s = SecondsSince(start);
  if (rc != 0) {
    std::fprintf(stderr, "curl failed (%d): %s\n", rc, command.c_str());
    return -1;
  }
  return s;
}

}  // namespace bench
