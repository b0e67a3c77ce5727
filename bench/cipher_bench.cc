// Throughput of the cipher primitives and of AES through the cipher engine's modes, with OpenSSL's
// AES-128-ECB, AES-256-CBC and ChaCha20 beside them when libcrypto can be loaded.
// Usage: bench_cipher_bench [megabytes per run, default 64]
#include <dlfcn.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "crypto/symmetric/aes.h"
#include "crypto/symmetric/blowfish.h"
#include "crypto/symmetric/cast128.h"
#include "crypto/symmetric/chacha20.h"
#include "crypto/symmetric/cipher_engine.h"
#include "crypto/symmetric/des.h"
#include "crypto/symmetric/idea.h"
#include "crypto/symmetric/rc2.h"
#include "crypto/symmetric/rc4.h"
#include "crypto/symmetric/salsa20.h"
#include "crypto/symmetric/tea.h"
#include "crypto/symmetric/twofish.h"

namespace {

size_t g_bytes = 64u << 20;
std::vector<uint8_t> g_buffer(64 * 1024, 0x5a);

// Runs fn over the buffer until g_bytes have passed and prints MB/s.
void Measure(const char* name, const std::function<void(uint8_t*, size_t)>& fn) {
  fn(g_buffer.data(), g_buffer.size());  // warm up
  auto start = std::chrono::steady_clock::now();
  size_t done = 0;
  while (done < g_bytes) {
    fn(g_buffer.data(), g_buffer.size());
    done += g_buffer.size();
  }
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("%-28s %9.1f MB/s\n", name, done / seconds / 1e6);
}

template <typename Ctx>
void MeasureBlocks(const char* name, Ctx& ctx, size_t block) {
  Measure(name, [&](uint8_t* p, size_t n) {
    for (size_t i = 0; i + block <= n; i += block) ctx.EncryptBlock(p + i, p + i);
  });
}

// OpenSSL through dlopen, so the benchmark builds without its headers.
struct OpenSsl {
  void* lib = nullptr;
  void* (*ctx_new)() = nullptr;
  void (*ctx_free)(void*) = nullptr;
  const void* (*aes_128_ecb)() = nullptr;
  const void* (*chacha20)() = nullptr;
  const void* (*aes_256_cbc)() = nullptr;
  int (*init)(void*, const void*, void*, const unsigned char*, const unsigned char*) = nullptr;
  int (*update)(void*, unsigned char*, int*, const unsigned char*, int) = nullptr;
  int (*decrypt_init)(void*, const void*, void*, const unsigned char*, const unsigned char*) = nullptr;
  int (*decrypt_update)(void*, unsigned char*, int*, const unsigned char*, int) = nullptr;
  int (*set_padding)(void*, int) = nullptr;

  bool Load() {
    lib = dlopen("libcrypto.so.3", RTLD_NOW);
    if (!lib) return false;
    ctx_new = reinterpret_cast<void* (*)()>(dlsym(lib, "EVP_CIPHER_CTX_new"));
    ctx_free = reinterpret_cast<void (*)(void*)>(dlsym(lib, "EVP_CIPHER_CTX_free"));
    aes_128_ecb = reinterpret_cast<const void* (*)()>(dlsym(lib, "EVP_aes_128_ecb"));
    chacha20 = reinterpret_cast<const void* (*)()>(dlsym(lib, "EVP_chacha20"));
    aes_256_cbc = reinterpret_cast<const void* (*)()>(dlsym(lib, "EVP_aes_256_cbc"));
    init = reinterpret_cast<decltype(init)>(dlsym(lib, "EVP_EncryptInit_ex"));
    update = reinterpret_cast<decltype(update)>(dlsym(lib, "EVP_EncryptUpdate"));
    decrypt_init = reinterpret_cast<decltype(decrypt_init)>(dlsym(lib, "EVP_DecryptInit_ex"));
    decrypt_update = reinterpret_cast<decltype(decrypt_update)>(dlsym(lib, "EVP_DecryptUpdate"));
    set_padding = reinterpret_cast<decltype(set_padding)>(dlsym(lib, "EVP_CIPHER_CTX_set_padding"));
    return ctx_new && ctx_free && aes_128_ecb && chacha20 && aes_256_cbc && init && update && decrypt_init &&
           decrypt_update && set_padding;
  }

  void Run(const char* name, const void* cipher, const uint8_t* key, const uint8_t* iv,
           bool decrypt = false) {
    void* ctx = ctx_new();
    (decrypt ? decrypt_init : init)(ctx, cipher, nullptr, key, iv);
    set_padding(ctx, 0);
    std::vector<uint8_t> out_buffer(g_buffer.size() + 32);
    Measure(name, [&](uint8_t* p, size_t n) {
      int out = 0;
      (decrypt ? decrypt_update : update)(ctx, out_buffer.data(), &out, p, static_cast<int>(n));
    });
    ctx_free(ctx);
  }
};

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1) g_bytes = static_cast<size_t>(std::atol(argv[1])) << 20;
  uint8_t key[32], nonce[24] = {};
  for (int i = 0; i < 32; ++i) key[i] = static_cast<uint8_t>(i * 7 + 1);

  std::printf("AES instructions: %s\n", tw::AesHardwareAvailable() ? "yes" : "no");
  for (int bits : {128, 256}) {
    for (bool hw : {true, false}) {
      if (hw && !tw::AesHardwareAvailable()) continue;
      tw::AesContext aes;
      aes.SetHardwareAllowed(hw);
      aes.SetKey(key, bits / 8, 1, tw::kCipherModeEcb);
      std::string name = "AES-" + std::to_string(bits) + (hw ? " hw block" : " portable block");
      MeasureBlocks(name.c_str(), aes, 16);
      name = "AES-" + std::to_string(bits) + (hw ? " hw 4-way" : " portable many");
      Measure(name.c_str(), [&](uint8_t* p, size_t n) { aes.EncryptBlocks(p, p, n / 16); });
    }
  }
  {
    tw::DesContext des;
    des.SetKey(key, 8);
    MeasureBlocks("DES", des, 8);
    tw::TripleDesContext tdes;
    tdes.SetKey(key, 24);
    MeasureBlocks("3DES", tdes, 8);
    tw::BlowfishContext bf;
    bf.SetKey(key, 16);
    MeasureBlocks("Blowfish", bf, 8);
    tw::TwofishContext tf;
    tf.SetKey(key, 32);
    MeasureBlocks("Twofish-256", tf, 16);
    tw::Cast128Context cast;
    cast.SetKey(key, 16);
    MeasureBlocks("CAST-128", cast, 8);
    tw::IdeaContext idea;
    idea.SetKey(key, 16);
    MeasureBlocks("IDEA", idea, 8);
    tw::Rc2Context rc2;
    rc2.SetKey(key, 16);
    MeasureBlocks("RC2", rc2, 8);
    tw::TeaContext tea;
    tea.SetKey(key, 16);
    MeasureBlocks("TEA (64 cycles)", tea, 8);
    tw::XteaContext xtea;
    xtea.SetKey(key, 16);
    MeasureBlocks("XTEA (64 cycles)", xtea, 8);
    tw::XxteaContext xx;
    xx.SetKey(key, 16);
    Measure("XXTEA (1 KiB blocks)", [&](uint8_t* p, size_t n) {
      for (size_t i = 0; i + 1024 <= n; i += 1024) xx.EncryptBlock(p + i, p + i, 1024);
    });
  }
  {
    tw::Rc4Context rc4;
    rc4.SetKey(key, 16);
    Measure("RC4", [&](uint8_t* p, size_t n) { rc4.Crypt(p, n, p); });
    tw::ChaCha20Context chacha;
    chacha.Setup(key, 32, nonce, 8, 0);
    Measure("ChaCha20", [&](uint8_t* p, size_t n) { chacha.Crypt(p, n, p); });
    tw::Salsa20Context salsa;
    salsa.Setup(key, 32, nonce, 24, 0, tw::kXSalsa20Variant);
    Measure("XSalsa20/20", [&](uint8_t* p, size_t n) { salsa.Crypt(p, n, p); });
  }
  {
    // The engine as its callers drive it: Update appends to an output string made for the step.
    uint8_t iv[16] = {};
    auto engine_run = [&](const char* name, int id, int mode, bool encrypt) {
      tw::CipherEngine engine;
      engine.SetAlgorithm(id);
      if (id != tw::kCipherAesGcm) engine.SetMode(mode);
      engine.SetKey(key, 32);
      engine.SetIv(iv, id == tw::kCipherAesGcm ? 12 : 16);
      if (encrypt ? engine.StartEncrypt() : engine.StartDecrypt()) {
        std::printf("%-28s start failed\n", name);
        return;
      }
      Measure(name, [&](uint8_t* p, size_t n) {
        tw::ByteString out;
        int length = static_cast<int>(n);
        engine.Update(p, 0, &length, out);
      });
    };
    engine_run("Engine AES-256-CBC encrypt", tw::kCipherAes, tw::kCipherModeCbc, true);
    engine_run("Engine AES-256-CBC decrypt", tw::kCipherAes, tw::kCipherModeCbc, false);
    engine_run("Engine AES-256-CTR", tw::kCipherAes, tw::kCipherModeCtr, true);
    engine_run("Engine AES-256-CFB", tw::kCipherAes, tw::kCipherModeCfb, true);
    engine_run("Engine AES-256-GCM encrypt", tw::kCipherAesGcm, tw::kCipherModeGcm, true);
  }
  OpenSsl ossl;
  if (ossl.Load()) {
    uint8_t iv[16] = {};
    ossl.Run("OpenSSL AES-128-ECB", ossl.aes_128_ecb(), key, nullptr);
    ossl.Run("OpenSSL AES-256-CBC encrypt", ossl.aes_256_cbc(), key, iv);
    ossl.Run("OpenSSL AES-256-CBC decrypt", ossl.aes_256_cbc(), key, iv, true);
    ossl.Run("OpenSSL ChaCha20", ossl.chacha20(), key, iv);
  } else {
    std::printf("libcrypto not loadable: no OpenSSL comparison\n");
  }
  return 0;
}
