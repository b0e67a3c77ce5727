// HMAC-SHA256 and PBKDF2-HMAC-SHA256 of ours against OpenSSL's (libcrypto loaded at run time) in
// the same process. Both sides are keyed once and then MAC message after message, so the figures
// compare the per-message work rather than key setup.
//   bench_mac_kdf_bench [seconds per measurement, default 0.4] [PBKDF2 iterations, default 100000]
#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <tuple>
#include <vector>

#include "bench/bench_support.h"
#include "crypto/symmetric/hmac.h"
#include "crypto/symmetric/kdf.h"

namespace {

constexpr int kMacBytes = 32;
constexpr int kKeyBytes = 32;

// The few libcrypto entry points the comparison needs.
struct OpenSsl {
  void* lib = nullptr;
  const void* (*sha256)() = nullptr;
  void* (*hmacNew)() = nullptr;
  void (*hmacFree)(void*) = nullptr;
  int (*hmacInit)(void*, const void*, int, const void*, void*) = nullptr;
  int (*hmacUpdate)(void*, const unsigned char*, size_t) = nullptr;
  int (*hmacFinal)(void*, unsigned char*, unsigned int*) = nullptr;
  int (*pbkdf2)(const char*, int, const unsigned char*, int, int, const void*, int, unsigned char*) = nullptr;

  bool Load() {
    for (const char* name : {"libcrypto.so.3", "libcrypto.so"}) {
      lib = dlopen(name, RTLD_NOW | RTLD_LOCAL);
      if (lib) break;
    }
    if (!lib) return false;
    sha256 = reinterpret_cast<const void* (*)()>(dlsym(lib, "EVP_sha256"));
    hmacNew = reinterpret_cast<void* (*)()>(dlsym(lib, "HMAC_CTX_new"));
    hmacFree = reinterpret_cast<void (*)(void*)>(dlsym(lib, "HMAC_CTX_free"));
    hmacInit = reinterpret_cast<int (*)(void*, const void*, int, const void*, void*)>(dlsym(lib, "HMAC_Init_ex"));
    hmacUpdate = reinterpret_cast<int (*)(void*, const unsigned char*, size_t)>(dlsym(lib, "HMAC_Update"));
    hmacFinal = reinterpret_cast<int (*)(void*, unsigned char*, unsigned int*)>(dlsym(lib, "HMAC_Final"));
    pbkdf2 = reinterpret_cast<int (*)(const char*, int, const unsigned char*, int, int, const void*, int,
                                      unsigned char*)>(dlsym(lib, "PKCS5_PBKDF2_HMAC"));
    return sha256 && hmacNew && hmacFree && hmacInit && hmacUpdate && hmacFinal && pbkdf2;
  }
};

// Best of three of each side, alternating, so that a busy neighbour hurts both alike.
void BestOfThree(double seconds, int batch, int warmup, const std::function<void()>& ours,
                 const std::function<void()>& theirs, double& mine, double& other) {
  std::tie(mine, other) = bench::BestAlternating(3, seconds, ours, theirs, batch, warmup);
}

void PrintRow(const char* label, const char* unit, double mine, double theirs) {
  std::printf("%-36s %-8s %14.1f %14.1f %7.0f%%\n", label, unit, mine, theirs, 100.0 * mine / theirs);
}

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 0.4;
  const int iterations = argc > 2 ? std::atoi(argv[2]) : 100000;
  if (seconds <= 0 || iterations < 1) {
    std::fprintf(stderr, "usage: %s [seconds > 0] [iterations >= 1]\n", argv[0]);
    return 2;
  }

  OpenSsl ossl;
  if (!ossl.Load()) {
    std::fprintf(stderr, "OpenSSL's libcrypto could not be loaded: nothing to compare against\n");
    return 1;
  }

  unsigned char key[kKeyBytes];
  for (int i = 0; i < kKeyBytes; ++i) key[i] = static_cast<unsigned char>(i * 7 + 1);
  std::vector<unsigned char> data(16384);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<unsigned char>(i * 131 + 7);
  const char password[] = "correct horse battery staple";
  const int passwordLength = static_cast<int>(sizeof password - 1);
  const unsigned char salt[16] = {0x5a, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 0xa5};
  unsigned sink = 0;

  tw::HmacEngine hmac;
  if (hmac.SetKey(tw::kHashSha256, key, kKeyBytes) != tw::kOk) {
    std::fprintf(stderr, "HmacEngine::SetKey failed\n");
    return 1;
  }
  void* ctx = ossl.hmacNew();
  if (!ctx || ossl.hmacInit(ctx, key, kKeyBytes, ossl.sha256(), nullptr) != 1) {
    std::fprintf(stderr, "HMAC_Init_ex failed\n");
    return 1;
  }
  unsigned char theirMac[kMacBytes];

  const auto oursMac = [&](size_t n) {
    hmac.Update(data.data(), static_cast<int64_t>(n));
    hmac.Final();
    sink += static_cast<unsigned char>(hmac.mac().data()[0]);
  };
  const auto theirsMac = [&](size_t n) {
    unsigned int len = 0;
    ossl.hmacInit(ctx, nullptr, 0, nullptr, nullptr);  // same key: the pads are reused
    ossl.hmacUpdate(ctx, data.data(), n);
    ossl.hmacFinal(ctx, theirMac, &len);
    sink += theirMac[0];
  };

  // Both sides must agree before any figure means anything: every length up to a few blocks,
  // then the two timed sizes, then PBKDF2 at 1, 2 and the timed iteration count and at a length
  // of more than one block.
  for (size_t n : {size_t{0}, size_t{1}, size_t{55}, size_t{56}, size_t{63}, size_t{64}, size_t{65}, size_t{127},
                   size_t{128}, size_t{1000}, size_t{16384}}) {
    oursMac(n);
    theirsMac(n);
    if (hmac.mac().length() != kMacBytes || std::memcmp(hmac.mac().data(), theirMac, kMacBytes) != 0) {
      std::fprintf(stderr, "HMAC-SHA256 of %zu bytes differs from OpenSSL's\n", n);
      return 1;
    }
  }
  for (int count : {1, 2, iterations}) {
    for (int bits : {256, 800}) {
      unsigned char mine[100], theirs[100];
      const int rc =
          tw::Pbkdf2(hmac, tw::kHashSha256, password, passwordLength, salt, sizeof salt, count, bits, mine);
      const int ok = ossl.pbkdf2(password, passwordLength, salt, sizeof salt, count, ossl.sha256(), bits / 8, theirs);
      if (rc != tw::kOk || ok != 1 || std::memcmp(mine, theirs, static_cast<size_t>(bits / 8)) != 0) {
        std::fprintf(stderr, "PBKDF2-HMAC-SHA256 (%d iterations, %d bits) differs from OpenSSL's\n", count, bits);
        return 1;
      }
    }
  }
  // Pbkdf2 re-keyed the engine with the password; put the MAC key back for the timings.
  hmac.SetKey(tw::kHashSha256, key, kKeyBytes);
  std::printf("outputs agree with OpenSSL's (HMAC at 11 lengths, PBKDF2 at 1, 2, %d iterations)\n", iterations);
  std::printf("best of three runs of %.2f s each\n\n", seconds);

  std::printf("%-36s %-8s %14s %14s %8s\n", "measure", "unit", "ours", "OpenSSL", "ratio");
  double mine = 0, theirs = 0;
  BestOfThree(seconds, 16, 20, [&] { oursMac(16384); }, [&] { theirsMac(16384); }, mine, theirs);
  PrintRow("HMAC-SHA256, 16 KiB messages", "MB/s", mine * 16384 / 1e6, theirs * 16384 / 1e6);
  BestOfThree(seconds, 1024, 1024, [&] { oursMac(64); }, [&] { theirsMac(64); }, mine, theirs);
  PrintRow("HMAC-SHA256, 64-byte messages", "kmsg/s", mine / 1e3, theirs / 1e3);
  PrintRow("HMAC-SHA256, 64-byte messages", "MB/s", mine * 64 / 1e6, theirs * 64 / 1e6);

  unsigned char derived[32];
  BestOfThree(
      seconds, 1, 1,
      [&] {
        tw::Pbkdf2(hmac, tw::kHashSha256, password, passwordLength, salt, sizeof salt, iterations, 256, derived);
        sink += derived[0];
      },
      [&] {
        ossl.pbkdf2(password, passwordLength, salt, sizeof salt, iterations, ossl.sha256(), 32, derived);
        sink += derived[0];
      },
      mine, theirs);
  char label[64];
  std::snprintf(label, sizeof label, "PBKDF2-HMAC-SHA256, %d it, 32 B", iterations);
  PrintRow(label, "kiter/s", mine * iterations / 1e3, theirs * iterations / 1e3);

  ossl.hmacFree(ctx);
  return sink == 0x5a5a5a5a ? 3 : 0;  // keeps the results observable
}
