// TLS record protection throughput: 16 KiB records sealed and opened by our record layer, by our
// raw AEAD or cipher+MAC primitives alone (the record layer's overhead), and by OpenSSL's own
// record protection (its TLS modes of the AEAD ciphers, and CBC with HMAC as its record layer
// composes them) in the same run. Also counts allocations per record on our path.
//   bench_tls_record [seconds per suite and implementation, default 2]
#include <openssl/evp.h>
#include <openssl/hmac.h>

// The HMAC context is OpenSSL's own record MAC path; its deprecation does not matter here.
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <new>
#include <vector>

#include "bench/bench_support.h"
#include "crypto/symmetric/aes.h"
#include "crypto/symmetric/chacha20_poly1305.h"
#include "crypto/symmetric/gcm.h"
#include "crypto/symmetric/hmac.h"
#include "platform/heap.h"
#include "tls/record_protection.h"

namespace {

std::atomic<long> g_news{0};

constexpr size_t kRecord = 16384;

// MB/s of `once`, one record a call.
double Rate(double seconds, const std::function<void()>& once) {
  return bench::CallsPerSecond(seconds, once, 16, 0) * kRecord / 1e6;
}

// Ours, OpenSSL's and the raw primitives measured in turn, seven times over, keeping the best of
// each: the machine is shared, and taking turns exposes all three to the same disturbances.
void MeasureAll(double seconds, const std::function<void()> (&work)[3], double (&best)[3]) {
  for (int i = 0; i < 3; ++i) {
    work[i]();
    best[i] = 0;
  }
  for (int run = 0; run < 7; ++run) {
    for (int i = 0; i < 3; ++i) {
      const double mb = Rate(seconds / 21, work[i]);
      if (mb > best[i]) best[i] = mb;
    }
  }
}

struct Keys {
  uint8_t mac[32];
  uint8_t key[32];
  uint8_t iv[16];
};

// Ours: one record sealed by the writer and opened by the reader, in the reader's buffer.
struct OurRecords {
  tw::TlsRecordState writer, reader;
  std::vector<uint8_t> plain = std::vector<uint8_t>(kRecord, 0x5A);
  std::vector<uint8_t> wire = std::vector<uint8_t>(kRecord + tw::kTlsMaxOverhead + 5);
  bool ok = true;

  OurRecords(const tw::TlsCipherSuite* s, uint16_t version, bool tls13, const Keys& k) {
    const int iv = s->aead() ? (tls13 ? 12 : 4) : 16;
    for (tw::TlsRecordState* d : {&writer, &reader}) {
      ok &= d->SetKeys(s, version, tls13, k.mac, s->mac_bytes(), k.key, s->key_bytes, k.iv, iv) == 0;
      d->set_active(true);
    }
  }
  void Once() {
    size_t n = 0;
    ok &= writer.Protect(23, 0x0303, plain.data(), kRecord, wire.data(), &n) == 0;
    uint8_t type = 0;
    uint8_t* content = nullptr;
    size_t length = 0;
    tw::TlsRecordFault fault;
    ok &= reader.Unprotect(wire.data(), n, &type, &content, &length, &fault) == 0 && length == kRecord;
  }
};

// OpenSSL's TLS 1.2 AES-GCM record mode: fixed IV in the context, explicit nonce made by the
// cipher, AAD through the TLS control, in place.
struct OpensslGcm {
  EVP_CIPHER_CTX* enc = EVP_CIPHER_CTX_new();
  EVP_CIPHER_CTX* dec = EVP_CIPHER_CTX_new();
  std::vector<uint8_t> buf = std::vector<uint8_t>(kRecord + 24);
  uint64_t seq = 0;
  bool ok = true;

  OpensslGcm(const EVP_CIPHER* cipher, const Keys& k) {
    ok &= EVP_EncryptInit_ex(enc, cipher, nullptr, k.key, nullptr) == 1;
    ok &= EVP_CIPHER_CTX_ctrl(enc, EVP_CTRL_GCM_SET_IV_FIXED, 4, const_cast<uint8_t*>(k.iv)) == 1;
    ok &= EVP_DecryptInit_ex(dec, cipher, nullptr, k.key, nullptr) == 1;
    ok &= EVP_CIPHER_CTX_ctrl(dec, EVP_CTRL_GCM_SET_IV_FIXED, 4, const_cast<uint8_t*>(k.iv)) == 1;
  }
  ~OpensslGcm() {
    EVP_CIPHER_CTX_free(enc);
    EVP_CIPHER_CTX_free(dec);
  }
  void Aad(EVP_CIPHER_CTX* ctx, size_t len) {
    uint8_t aad[13];
    for (int i = 0; i < 8; ++i) aad[i] = static_cast<uint8_t>(seq >> (56 - 8 * i));
    aad[8] = 23;
    aad[9] = 3;
    aad[10] = 3;
    aad[11] = static_cast<uint8_t>(len >> 8);
    aad[12] = static_cast<uint8_t>(len);
    ok &= EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_AEAD_TLS1_AAD, 13, aad) == 16;
  }
  void Once() {
    std::memset(buf.data() + 8, 0x5A, kRecord);
    Aad(enc, kRecord + 8);
    ok &= EVP_Cipher(enc, buf.data(), buf.data(), kRecord + 24) > 0;
    Aad(dec, kRecord + 24);
    ok &= EVP_Cipher(dec, buf.data(), buf.data(), kRecord + 24) > 0;
    ++seq;
  }
};

// OpenSSL's TLS 1.3 record: per-record nonce, 5-byte header as AAD, tag after the data.
struct OpensslTls13 {
  const EVP_CIPHER* cipher;
  EVP_CIPHER_CTX* enc = EVP_CIPHER_CTX_new();
  EVP_CIPHER_CTX* dec = EVP_CIPHER_CTX_new();
  std::vector<uint8_t> buf = std::vector<uint8_t>(kRecord + 1 + 16);
  Keys keys;
  uint64_t seq = 0;
  bool ok = true;

  OpensslTls13(const EVP_CIPHER* c, const Keys& k) : cipher(c), keys(k) {
    ok &= EVP_EncryptInit_ex(enc, cipher, nullptr, k.key, nullptr) == 1;
    ok &= EVP_DecryptInit_ex(dec, cipher, nullptr, k.key, nullptr) == 1;
  }
  ~OpensslTls13() {
    EVP_CIPHER_CTX_free(enc);
    EVP_CIPHER_CTX_free(dec);
  }
  void Once() {
    uint8_t nonce[12];
    std::memcpy(nonce, keys.iv, 12);
    for (int i = 0; i < 8; ++i) nonce[4 + i] ^= static_cast<uint8_t>(seq >> (56 - 8 * i));
    const uint8_t header[5] = {23, 3, 3, static_cast<uint8_t>((kRecord + 17) >> 8), static_cast<uint8_t>(kRecord + 17)};
    std::memset(buf.data(), 0x5A, kRecord);
    buf[kRecord] = 23;
    int n = 0;
    ok &= EVP_EncryptInit_ex(enc, nullptr, nullptr, nullptr, nonce) == 1;
    ok &= EVP_EncryptUpdate(enc, nullptr, &n, header, 5) == 1;
    ok &= EVP_EncryptUpdate(enc, buf.data(), &n, buf.data(), kRecord + 1) == 1;
    ok &= EVP_EncryptFinal_ex(enc, buf.data() + n, &n) == 1;
    ok &= EVP_CIPHER_CTX_ctrl(enc, EVP_CTRL_AEAD_GET_TAG, 16, buf.data() + kRecord + 1) == 1;
    ok &= EVP_DecryptInit_ex(dec, nullptr, nullptr, nullptr, nonce) == 1;
    ok &= EVP_DecryptUpdate(dec, nullptr, &n, header, 5) == 1;
    ok &= EVP_DecryptUpdate(dec, buf.data(), &n, buf.data(), kRecord + 1) == 1;
    ok &= EVP_CIPHER_CTX_ctrl(dec, EVP_CTRL_AEAD_SET_TAG, 16, buf.data() + kRecord + 1) == 1;
    ok &= EVP_DecryptFinal_ex(dec, buf.data() + n, &n) == 1;
    ++seq;
  }
};

// OpenSSL's CBC record: HMAC-SHA256 over header and data, padding, AES-128-CBC with an explicit
// IV block, and the reverse.
struct OpensslCbc {
  EVP_CIPHER_CTX* enc = EVP_CIPHER_CTX_new();
  EVP_CIPHER_CTX* dec = EVP_CIPHER_CTX_new();
  HMAC_CTX* mac = HMAC_CTX_new();
  std::vector<uint8_t> buf = std::vector<uint8_t>(kRecord + 16 + 32 + 16);
  Keys keys;
  uint64_t seq = 0;
  bool ok = true;

  explicit OpensslCbc(const Keys& k) : keys(k) {
    ok &= EVP_EncryptInit_ex(enc, EVP_aes_128_cbc(), nullptr, k.key, k.iv) == 1;
    ok &= EVP_DecryptInit_ex(dec, EVP_aes_128_cbc(), nullptr, k.key, k.iv) == 1;
    EVP_CIPHER_CTX_set_padding(enc, 0);
    EVP_CIPHER_CTX_set_padding(dec, 0);
    ok &= HMAC_Init_ex(mac, k.mac, 32, EVP_sha256(), nullptr) == 1;
  }
  ~OpensslCbc() {
    EVP_CIPHER_CTX_free(enc);
    EVP_CIPHER_CTX_free(dec);
    HMAC_CTX_free(mac);
  }
  void Mac(const uint8_t* data, uint8_t* out) {
    uint8_t header[13] = {0};
    for (int i = 0; i < 8; ++i) header[i] = static_cast<uint8_t>(seq >> (56 - 8 * i));
    header[8] = 23;
    header[9] = 3;
    header[10] = 3;
    header[11] = static_cast<uint8_t>(kRecord >> 8);
    header[12] = static_cast<uint8_t>(kRecord);
    unsigned n = 0;
    ok &= HMAC_Init_ex(mac, nullptr, 0, nullptr, nullptr) == 1;
    ok &= HMAC_Update(mac, header, 13) == 1;
    ok &= HMAC_Update(mac, data, kRecord) == 1;
    ok &= HMAC_Final(mac, out, &n) == 1;
  }
  void Once() {
    const size_t total = 16 + kRecord + 32 + 16;
    std::memcpy(buf.data(), keys.iv, 16);
    std::memset(buf.data() + 16, 0x5A, kRecord);
    Mac(buf.data() + 16, buf.data() + 16 + kRecord);
    std::memset(buf.data() + 16 + kRecord + 32, 15, 16);
    int n = 0;
    ok &= EVP_EncryptUpdate(enc, buf.data(), &n, buf.data(), static_cast<int>(total)) == 1;
    ok &= EVP_DecryptUpdate(dec, buf.data(), &n, buf.data(), static_cast<int>(total)) == 1;
    uint8_t check[32];
    Mac(buf.data() + 16, check);
    ok &= CRYPTO_memcmp(check, buf.data() + 16 + kRecord, 32) == 0;
    ++seq;
  }
};

// Our primitives alone, no record layer: the yardstick for the record layer's overhead.
struct RawGcm {
  tw::GcmContext gcm;
  std::vector<uint8_t> buf = std::vector<uint8_t>(kRecord);
  uint8_t nonce[12] = {1};
  uint8_t aad[13] = {0};
  uint8_t tag[16];
  bool ok = true;
  RawGcm(const Keys& k, int key_bytes) { ok &= gcm.SetKey(k.key, key_bytes) == 0; }
  void Once() {
    ok &= gcm.Seal(nonce, 12, aad, 13, buf.data(), buf.data(), kRecord, tag, 16) == 0;
    ok &= gcm.Open(nonce, 12, aad, 13, buf.data(), buf.data(), kRecord, tag, 16) == 0;
  }
};

struct RawChaCha {
  tw::ChaCha20Poly1305Context c;
  std::vector<uint8_t> buf = std::vector<uint8_t>(kRecord + 1);
  uint8_t nonce[12] = {1};
  uint8_t aad[5] = {0};
  uint8_t tag[16];
  bool ok = true;
  explicit RawChaCha(const Keys& k) { ok &= c.SetKey(k.key, 32) == 0; }
  void Once() {
    ok &= c.Seal(nonce, 12, aad, 5, buf.data(), buf.data(), kRecord + 1, tag) == 0;
    ok &= c.Open(nonce, 12, aad, 5, buf.data(), buf.data(), kRecord + 1, tag, 16) == 0;
  }
};

struct RawCbc {
  tw::AesContext aes;
  tw::HmacEngine hmac;
  std::vector<uint8_t> buf = std::vector<uint8_t>(16 + kRecord + 32 + 16);
  bool ok = true;
  explicit RawCbc(const Keys& k) {
    ok &= aes.SetKey(k.key, 16, 1, 1) == 0;
    ok &= hmac.SetKey(tw::kHashSha256, k.mac, 32) == 0;
  }
  // MAC, then encrypt, one after the other (the record layer runs the two side by side).
  void Once() {
    const size_t blocks = buf.size() / 16;
    uint8_t header[13] = {0};
    ok &= hmac.Update(header, 13) == 0 && hmac.Update(buf.data() + 16, kRecord) == 0 && hmac.Final() == 0;
    uint8_t chain[16] = {0};
    ok &= aes.EncryptCbc(buf.data(), buf.data(), blocks, chain) == 0;
    std::memset(chain, 0, sizeof chain);
    ok &= aes.DecryptCbc(buf.data(), buf.data(), blocks, chain) == 0;
    ok &= hmac.Update(header, 13) == 0 && hmac.Update(buf.data() + 16, kRecord) == 0 && hmac.Final() == 0;
  }
};

}  // namespace

void* operator new(size_t n) {
  ++g_news;
  void* p = std::malloc(n != 0 ? n : 1);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 2.0;
  Keys k;
  for (int i = 0; i < 32; ++i) {
    k.mac[i] = static_cast<uint8_t>(i * 7 + 1);
    k.key[i] = static_cast<uint8_t>(i * 13 + 5);
  }
  for (int i = 0; i < 16; ++i) k.iv[i] = static_cast<uint8_t>(i * 3 + 2);

  std::printf("16 KiB records, seal + open, MB/s of plaintext\n");
  std::printf("%-22s %10s %10s %10s %9s %9s %7s\n", "suite", "ours", "openssl", "raw", "vs ossl", "overhead",
              "alloc");
  struct Row {
    const char* name;
    uint16_t suite;
    uint16_t version;
    bool tls13;
  };
  const Row rows[] = {
      {"AES-128-GCM", 0x009C, 0x0303, false},
      {"AES-256-GCM", 0x009D, 0x0303, false},
      {"ChaCha20-Poly1305", 0x1303, 0x0304, true},
      {"AES-128-CBC-SHA256", 0x003C, 0x0303, false},
  };
  bool all_ok = true;
  for (const Row& r : rows) {
    const tw::TlsCipherSuite* suite = tw::FindCipherSuite(r.suite);
    OurRecords ours(suite, r.version, r.tls13, k);
    ours.Once();
    const long heap_before = win::HeapAllocCount();
    const long new_before = g_news.load();
    for (int i = 0; i < 1000; ++i) ours.Once();
    const double allocs =
        static_cast<double>(win::HeapAllocCount() - heap_before + g_news.load() - new_before) / 1000.0;
    double best[3] = {0, 0, 0};
    bool ok = ours.ok;
    const std::function<void()> our_work = [&] { ours.Once(); };
    if (r.suite == 0x009C || r.suite == 0x009D) {
      OpensslGcm o(r.suite == 0x009C ? EVP_aes_128_gcm() : EVP_aes_256_gcm(), k);
      RawGcm raw(k, suite->key_bytes);
      const std::function<void()> work[3] = {our_work, [&] { o.Once(); }, [&] { raw.Once(); }};
      MeasureAll(seconds, work, best);
      ok &= o.ok && raw.ok;
    } else if (r.suite == 0x1303) {
      OpensslTls13 o(EVP_chacha20_poly1305(), k);
      RawChaCha raw(k);
      const std::function<void()> work[3] = {our_work, [&] { o.Once(); }, [&] { raw.Once(); }};
      MeasureAll(seconds, work, best);
      ok &= o.ok && raw.ok;
    } else {
      OpensslCbc o(k);
      RawCbc raw(k);
      const std::function<void()> work[3] = {our_work, [&] { o.Once(); }, [&] { raw.Once(); }};
      MeasureAll(seconds, work, best);
      ok &= o.ok && raw.ok;
    }
    const double ours_mb = best[0];
    const double ossl_mb = best[1];
    const double raw_mb = best[2];
    all_ok &= ok && ours.ok;
    std::printf("%-22s %10.0f %10.0f %10.0f %8.0f%% %8.1f%% %7.2f%s\n", r.name, ours_mb, ossl_mb, raw_mb,
                100.0 * ours_mb / ossl_mb, 100.0 * (raw_mb / ours_mb - 1.0), allocs, ok ? "" : "  FAILED");
  }
  return all_ok ? 0 : 1;
}
