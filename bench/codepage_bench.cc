// UTF-8 to UTF-16 throughput of the code-page service against glibc's iconv in the same run, on
// random bytes (mostly ill-formed: every bad part becomes U+FFFD), ASCII and accented text.
//   bench_codepage_bench [MiB per input, default 1]
#include <iconv.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "platform/codepage.h"

namespace {

double BestMbPerSecond(size_t bytes, const std::function<void()>& once) {
  using Clock = std::chrono::steady_clock;
  once();
  double best = 1e9;
  const auto start = Clock::now();
  int rounds = 0;
  while (rounds < 5 || std::chrono::duration<double>(Clock::now() - start).count() < 0.5) {
    const auto t0 = Clock::now();
    once();
    best = std::min(best, std::chrono::duration<double>(Clock::now() - t0).count());
    ++rounds;
  }
  return bytes / best / 1e6;
}

double Ours(const std::string& in, std::vector<char16_t>& out) {
  return BestMbPerSecond(in.size(), [&] {
    win::MultiByteToWideChar(win::CP_UTF8, 0, in.data(), static_cast<int>(in.size()), out.data(),
                             static_cast<int>(out.size()));
  });
}

// glibc's decoder, stepping over each byte it refuses.
double Iconv(const std::string& in, std::vector<char16_t>& out) {
  iconv_t cd = iconv_open("UTF-16LE", "UTF-8");
  if (cd == reinterpret_cast<iconv_t>(-1)) return 0;
  const double r = BestMbPerSecond(in.size(), [&] {
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    char* ip = const_cast<char*>(in.data());
    size_t il = in.size();
    char* op = reinterpret_cast<char*>(out.data());
    size_t ol = out.size() * 2;
    while (il > 0 && iconv(cd, &ip, &il, &op, &ol) == static_cast<size_t>(-1)) {
      if (ol < 4) break;
      ++ip;  // past the byte it stopped at
      --il;
    }
  });
  iconv_close(cd);
  return r;
}

}  // namespace

int main(int argc, char** argv) {
  const size_t size = (argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 1) << 20;
  std::mt19937_64 rng(65001);
  std::string random(size, '\0');
  for (char& c : random) c = static_cast<char>(rng());
  std::string ascii(size, '\0');
  for (char& c : ascii) c = static_cast<char>(0x20 + rng() % 0x5F);
  std::string text;
  while (text.size() < size) text += "Caf\xC3\xA9 cr\xC3\xA8me br\xC3\xBBl\xC3\xA9" "e, 20 \xE2\x82\xAC. ";
  text.resize(size - 3);
  std::vector<char16_t> out(size + 64);

  std::printf("UTF-8 to UTF-16, %zu KiB inputs, MB/s of input (best of the rounds)\n", size >> 10);
  const char* names[] = {"portable", "SSE2", "AVX2"};
  for (const auto& [label, in] : {std::pair<const char*, const std::string*>{"random bytes", &random},
                                   {"ASCII", &ascii},
                                   {"accented text", &text}}) {
    std::printf("%-14s", label);
    for (int level = 0; level <= 2; ++level) {
      if (win::SetUtf8DecoderForTesting(level) != level) continue;
      std::printf("  %s %7.0f", names[level], Ours(*in, out));
    }
    win::SetUtf8DecoderForTesting(-1);
    const double ours = Ours(*in, out);
    const double oracle = Iconv(*in, out);
    std::printf("  | glibc iconv %7.0f  ratio %.1fx\n", oracle, ours / oracle);
  }
  return 0;
}
