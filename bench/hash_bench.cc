// Digest throughput of our contexts against OpenSSL's (loaded at run time) in the same process.
//   bench_hash_bench [seconds per measurement, default 0.4]
#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "crypto/symmetric/cpu_features.h"
#include "crypto/symmetric/digest_bits.h"
#include "crypto/symmetric/md5.h"
#include "crypto/symmetric/sha1.h"
#include "crypto/symmetric/sha256.h"
#include "crypto/symmetric/sha3.h"
#include "crypto/symmetric/sha512.h"

namespace {

constexpr size_t kChunk = 16384;

// The few EVP entry points the comparison needs.
struct OpenSsl {
  void* lib = nullptr;
  const void* (*getDigest)(const char*) = nullptr;
  void* (*newCtx)() = nullptr;
  void (*freeCtx)(void*) = nullptr;
  int (*init)(void*, const void*, void*) = nullptr;
  int (*update)(void*, const void*, size_t) = nullptr;
  int (*final)(void*, unsigned char*, unsigned int*) = nullptr;

  bool Load() {
    for (const char* name : {"libcrypto.so.3", "libcrypto.so"}) {
      lib = dlopen(name, RTLD_NOW | RTLD_LOCAL);
      if (lib) break;
    }
    if (!lib) return false;
    getDigest = reinterpret_cast<const void* (*)(const char*)>(dlsym(lib, "EVP_get_digestbyname"));
    newCtx = reinterpret_cast<void* (*)()>(dlsym(lib, "EVP_MD_CTX_new"));
    freeCtx = reinterpret_cast<void (*)(void*)>(dlsym(lib, "EVP_MD_CTX_free"));
    init = reinterpret_cast<int (*)(void*, const void*, void*)>(dlsym(lib, "EVP_DigestInit_ex"));
    update = reinterpret_cast<int (*)(void*, const void*, size_t)>(dlsym(lib, "EVP_DigestUpdate"));
    final = reinterpret_cast<int (*)(void*, unsigned char*, unsigned int*)>(dlsym(lib, "EVP_DigestFinal_ex"));
    return getDigest && newCtx && freeCtx && init && update && final;
  }
};

// MB/s of `hashOnce`, one digest over `chunks` chunks a call.
double Measure(double seconds, size_t chunks, const std::function<void()>& hashOnce) {
  return bench::CallsPerSecond(seconds, hashOnce, 1, 1) * static_cast<double>(chunks * kChunk) / 1e6;
}

template <class Context, class... Args>
std::function<void()> Ours(const std::vector<unsigned char>& data, size_t chunks, unsigned char* sink, Args... args) {
  return [&data, chunks, sink, args...] {
    Context ctx(args...);
    for (size_t i = 0; i < chunks; ++i) ctx.Update(data.data(), kChunk);
    sink[0] ^= ctx.Final()[0];
  };
}

std::function<void()> OursSponge(const std::vector<unsigned char>& data, size_t chunks, unsigned char* sink,
                                 tw::Sha3Variant variant) {
  return [&data, chunks, sink, variant] {
    tw::Sha3 sponge(variant);
    for (size_t i = 0; i < chunks; ++i) sponge.Absorb(data.data(), kChunk);
    sponge.Final();
    sink[0] ^= sponge.output().bytes()[0];
  };
}

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 0.4;
  const size_t chunks = 64;  // 1 MiB per digest
  std::vector<unsigned char> data(kChunk);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<unsigned char>(i * 131 + 7);
  unsigned char sink[64] = {};

  OpenSsl ossl;
  const bool haveOpenSsl = ossl.Load();
  if (!haveOpenSsl) std::printf("OpenSSL's libcrypto could not be loaded: our figures only\n");
  std::printf("SHA extensions on this CPU: %s\n\n", tw::digest::CpuHasShaExtensions() ? "yes" : "no");

  struct Row {
    const char* label;
    const char* opensslName;
    std::function<void()> ours;
    bool portable;  // run with the SHA extensions and the vector and BMI paths turned off
  };
  const std::vector<Row> rows = {
      {"SHA-256", "SHA256", Ours<tw::Sha256Context>(data, chunks, sink), false},
      {"SHA-256 portable", "SHA256", Ours<tw::Sha256Context>(data, chunks, sink), true},
      {"SHA-1", "SHA1", Ours<tw::Sha1Context>(data, chunks, sink), false},
      {"SHA-1 portable", "SHA1", Ours<tw::Sha1Context>(data, chunks, sink), true},
      {"MD5", "MD5", Ours<tw::Md5Context>(data, chunks, sink), false},
      {"SHA-512", "SHA512", Ours<tw::Sha512Context>(data, chunks, sink), false},
      {"SHA-512 portable", "SHA512", Ours<tw::Sha512Context>(data, chunks, sink), true},
      {"SHA3-256", "SHA3-256", OursSponge(data, chunks, sink, tw::Sha3Variant::kSha3_256), false},
      {"SHA3-256 portable", "SHA3-256", OursSponge(data, chunks, sink, tw::Sha3Variant::kSha3_256), true},
  };

  std::printf("%-18s %12s %14s %8s\n", "digest", "ours MB/s", "OpenSSL MB/s", "ratio");
  for (const Row& row : rows) {
    tw::digest::SetShaExtensionsAllowed(!row.portable);
    tw::SetCpuFeatureMask(row.portable ? 0u : uint32_t{tw::kCpuAll});
    double ours = 0, theirs = 0;
    // Best of three, alternating, so that a busy neighbour hurts both sides alike.
    for (int round = 0; round < 3; ++round) {
      const double o = Measure(seconds, chunks, row.ours);
      if (o > ours) ours = o;
      if (!haveOpenSsl) continue;
      const void* md = ossl.getDigest(row.opensslName);
      if (!md) break;
      void* ctx = ossl.newCtx();
      const double t = Measure(seconds, chunks, [&] {
        unsigned char out[64];
        unsigned int n = 0;
        ossl.init(ctx, md, nullptr);
        for (size_t i = 0; i < chunks; ++i) ossl.update(ctx, data.data(), kChunk);
        ossl.final(ctx, out, &n);
        sink[0] ^= out[0];
      });
      ossl.freeCtx(ctx);
      if (t > theirs) theirs = t;
    }
    if (theirs > 0) {
      std::printf("%-18s %12.0f %14.0f %7.0f%%\n", row.label, ours, theirs, 100.0 * ours / theirs);
    } else {
      std::printf("%-18s %12.0f %14s %8s\n", row.label, ours, "-", "-");
    }
  }
  tw::digest::SetShaExtensionsAllowed(true);
  tw::SetCpuFeatureMask(tw::kCpuAll);
  return sink[0] == 0x5a ? 1 : 0;  // keeps the digests observable
}
