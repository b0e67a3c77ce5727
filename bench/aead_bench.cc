// AEAD throughput of our contexts against OpenSSL's (libcrypto loaded at run time) in the same
// process: whole messages of one TLS record (16 KiB, 13 bytes of AAD) sealed and opened in place.
// The rows after the first six force narrower code paths (by masking the processor's features) to
// show what machines without the wider instructions get.
//   bench_aead_bench [seconds per measurement, default 0.4] [message bytes, default 16384]
#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <vector>

#include "bench/bench_support.h"
#include "crypto/symmetric/aes.h"
#include "crypto/symmetric/chacha20_poly1305.h"
#include "crypto/symmetric/cpu_features.h"
#include "crypto/symmetric/gcm.h"

namespace {

constexpr int kCtrlAeadSetIvLength = 0x9;
constexpr int kCtrlAeadGetTag = 0x10;
constexpr int kCtrlAeadSetTag = 0x11;

// The few EVP entry points the comparison needs.
struct OpenSsl {
  void* lib = nullptr;
  const void* (*cipherByName)(const char*) = nullptr;
  void* (*newCtx)() = nullptr;
  void (*freeCtx)(void*) = nullptr;
  int (*cipherInit)(void*, const void*, void*, const unsigned char*, const unsigned char*, int) = nullptr;
  int (*update)(void*, unsigned char*, int*, const unsigned char*, int) = nullptr;
  int (*final)(void*, unsigned char*, int*) = nullptr;
  int (*ctrl)(void*, int, int, void*) = nullptr;

  bool Load() {
    for (const char* name : {"libcrypto.so.3", "libcrypto.so"}) {
      lib = dlopen(name, RTLD_NOW | RTLD_LOCAL);
      if (lib) break;
    }
    if (!lib) return false;
    cipherByName = reinterpret_cast<const void* (*)(const char*)>(dlsym(lib, "EVP_get_cipherbyname"));
    newCtx = reinterpret_cast<void* (*)()>(dlsym(lib, "EVP_CIPHER_CTX_new"));
    freeCtx = reinterpret_cast<void (*)(void*)>(dlsym(lib, "EVP_CIPHER_CTX_free"));
    cipherInit = reinterpret_cast<int (*)(void*, const void*, void*, const unsigned char*, const unsigned char*, int)>(
        dlsym(lib, "EVP_CipherInit_ex"));
    update = reinterpret_cast<int (*)(void*, unsigned char*, int*, const unsigned char*, int)>(
        dlsym(lib, "EVP_CipherUpdate"));
    final = reinterpret_cast<int (*)(void*, unsigned char*, int*)>(dlsym(lib, "EVP_CipherFinal_ex"));
    ctrl = reinterpret_cast<int (*)(void*, int, int, void*)>(dlsym(lib, "EVP_CIPHER_CTX_ctrl"));
    return cipherByName && newCtx && freeCtx && cipherInit && update && final && ctrl;
  }
};

// MB/s of `once`, one message of `bytes` a call.
double Measure(double seconds, size_t bytes, const std::function<void()>& once) {
  return bench::CallsPerSecond(seconds, once, 16, 20) * static_cast<double>(bytes) / 1e6;
}

struct Row {
  const char* label;
  const char* opensslName;  // null: no OpenSSL column
  int keyBytes;
  bool chacha;
  bool open;
  uint32_t features;
};

constexpr uint32_t kSse = tw::kCpuSsse3 | tw::kCpuSse41 | tw::kCpuAesNi | tw::kCpuClmul;
constexpr uint32_t kAvx2 = kSse | tw::kCpuAvx2;

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 0.4;
  const size_t bytes = argc > 2 ? static_cast<size_t>(std::atol(argv[2])) : 16384;
  std::vector<unsigned char> data(bytes + 64);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<unsigned char>(i * 131 + 7);
  unsigned char key[32], nonce[12] = {}, aad[13] = {23, 3, 3, 0x40, 0};
  for (int i = 0; i < 32; ++i) key[i] = static_cast<unsigned char>(i * 7 + 1);
  unsigned char tag[16] = {};
  unsigned sink = 0;

  OpenSsl ossl;
  const bool haveOpenSsl = ossl.Load();
  if (!haveOpenSsl) std::printf("OpenSSL's libcrypto could not be loaded: our figures only\n");
  const uint32_t f = tw::CpuFeaturesDetected();
  std::printf("AES-NI %s, PCLMULQDQ %s, SSSE3 %s, AVX2 %s, AVX-512 %s, VAES %s, VPCLMULQDQ %s; %zu-byte messages\n\n",
              f & tw::kCpuAesNi ? "yes" : "no", f & tw::kCpuClmul ? "yes" : "no", f & tw::kCpuSsse3 ? "yes" : "no",
              f & tw::kCpuAvx2 ? "yes" : "no", f & tw::kCpuAvx512 ? "yes" : "no", f & tw::kCpuVaes ? "yes" : "no",
              f & tw::kCpuVpclmul ? "yes" : "no", bytes);

  const Row rows[] = {
      {"AES-128-GCM seal", "id-aes128-GCM", 16, false, false, tw::kCpuAll},
      {"AES-128-GCM open", "id-aes128-GCM", 16, false, true, tw::kCpuAll},
      {"AES-256-GCM seal", "id-aes256-GCM", 32, false, false, tw::kCpuAll},
      {"AES-256-GCM open", "id-aes256-GCM", 32, false, true, tw::kCpuAll},
      {"ChaCha20-Poly1305 seal", "ChaCha20-Poly1305", 32, true, false, tw::kCpuAll},
      {"ChaCha20-Poly1305 open", "ChaCha20-Poly1305", 32, true, true, tw::kCpuAll},
      {"AES-128-GCM seal, AES-NI", nullptr, 16, false, false, kSse},
      {"AES-128-GCM open, AES-NI", nullptr, 16, false, true, kSse},
      {"ChaCha20-Poly1305 seal, AVX2", nullptr, 32, true, false, kAvx2},
      {"ChaCha20-Poly1305 open, AVX2", nullptr, 32, true, true, kAvx2},
      {"ChaCha20-Poly1305 seal, SSSE3", nullptr, 32, true, false, kSse},
      {"AES-128-GCM seal, portable", nullptr, 16, false, false, 0},
      {"ChaCha20-Poly1305 seal, portable", nullptr, 32, true, false, 0},
  };

  std::printf("%-34s %12s %14s %8s\n", "AEAD", "ours MB/s", "OpenSSL MB/s", "ratio");
  for (const Row& row : rows) {
    tw::SetCpuFeatureMask(row.features);
    tw::GcmContext gcm;
    tw::ChaCha20Poly1305Context chacha;
    gcm.SetKey(key, row.keyBytes);
    chacha.SetKey(key, 32);
    // Opening needs a message that verifies: seal one first and reopen the same bytes each time
    // (decrypting in place and sealing again would be two operations per step).
    std::vector<unsigned char> sealed(data.begin(), data.begin() + static_cast<long>(bytes));
    unsigned char sealedTag[16];
    if (row.chacha) {
      chacha.Seal(nonce, 12, aad, 13, sealed.data(), sealed.data(), bytes, sealedTag);
    } else {
      gcm.Seal(nonce, 12, aad, 13, sealed.data(), sealed.data(), bytes, sealedTag, 16);
    }
    std::vector<unsigned char> out(bytes + 64);
    const std::function<void()> ours = [&] {
      ++nonce[11];
      if (row.open) {
        --nonce[11];
        const int rc = row.chacha ? chacha.Open(nonce, 12, aad, 13, sealed.data(), out.data(), bytes, sealedTag, 16)
                                  : gcm.Open(nonce, 12, aad, 13, sealed.data(), out.data(), bytes, sealedTag, 16);
        sink += static_cast<unsigned>(rc) + out[0];
        return;
      }
      if (row.chacha) {
        chacha.Seal(nonce, 12, aad, 13, data.data(), data.data(), bytes, tag);
      } else {
        gcm.Seal(nonce, 12, aad, 13, data.data(), data.data(), bytes, tag, 16);
      }
      sink += tag[0];
    };
    double mine = 0, theirs = 0;
    // Best of three, alternating, so that a busy neighbour hurts both sides alike.
    for (int round = 0; round < 3; ++round) {
      const double o = Measure(seconds, bytes, ours);
      if (o > mine) mine = o;
      if (!haveOpenSsl || !row.opensslName) continue;
      const void* cipher = ossl.cipherByName(row.opensslName);
      if (!cipher) break;
      void* ctx = ossl.newCtx();
      const int enc = row.open ? 0 : 1;
      ossl.cipherInit(ctx, cipher, nullptr, nullptr, nullptr, enc);
      ossl.ctrl(ctx, kCtrlAeadSetIvLength, 12, nullptr);
      ossl.cipherInit(ctx, nullptr, nullptr, key, nullptr, enc);
      const double t = Measure(seconds, bytes, [&] {
        int n = 0;
        ossl.cipherInit(ctx, nullptr, nullptr, nullptr, nonce, -1);
        ossl.update(ctx, nullptr, &n, aad, 13);
        if (row.open) {
          ossl.update(ctx, out.data(), &n, sealed.data(), static_cast<int>(bytes));
          ossl.ctrl(ctx, kCtrlAeadSetTag, 16, sealedTag);
          sink += static_cast<unsigned>(ossl.final(ctx, out.data() + n, &n));
        } else {
          ossl.update(ctx, data.data(), &n, data.data(), static_cast<int>(bytes));
          ossl.final(ctx, data.data() + n, &n);
          ossl.ctrl(ctx, kCtrlAeadGetTag, 16, tag);
          sink += tag[0];
        }
      });
      ossl.freeCtx(ctx);
      if (t > theirs) theirs = t;
    }
    if (theirs > 0) {
      std::printf("%-34s %12.0f %14.0f %7.0f%%\n", row.label, mine, theirs, 100.0 * mine / theirs);
    } else {
      std::printf("%-34s %12.0f %14s %8s\n", row.label, mine, "-", "-");
    }
    tw::SetCpuFeatureMask(tw::kCpuAll);
  }
  return sink == 0x5a5a5a5a ? 1 : 0;  // keeps the results observable
}
