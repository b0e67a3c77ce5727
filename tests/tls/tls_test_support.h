// Helpers of the TLS tests: byte strings, keyed record directions and the python record oracle.
#pragma once

#include <string>
#include <vector>

#include "foundation/byte_string.h"
#include "tests/peers/test_pki.h"
#include "tests/support/test_support.h"
#include "tls/cipher_suites.h"
#include "tls/record_protection.h"
#include "tls/tls_engine.h"

namespace tlstest {

inline std::string Str(const tw::ByteString& s) { return std::string(s.data(), static_cast<size_t>(s.length())); }

inline tw::ByteString Bytes(const std::string& s) {
  tw::ByteString b;
  b.Set(s.data(), static_cast<int>(s.size()));
  return b;
}

inline std::string ReadOracle(const char* name) {
  return testsupport::ReadFile(std::string(TW_SOURCE_DIR) + "/tests/tls/" + name);
}

// Key material of one direction for a suite.
struct DirectionKeys {
  std::string mac_key;
  std::string key;
  std::string iv;
};

inline DirectionKeys KeysFor(const tw::TlsCipherSuite& s, bool tls13, unsigned seed) {
  DirectionKeys k;
  k.mac_key = testsupport::RandomBytes(static_cast<size_t>(s.mac_bytes()), seed);
  k.key = testsupport::RandomBytes(s.kx == tw::kKxTls13 || s.aead() ? s.key_bytes : (s.key_bytes == 5 ? 8 : s.key_bytes), seed + 1);
  k.iv = testsupport::RandomBytes(static_cast<size_t>(s.aead() ? (tls13 ? 12 : 4) : s.iv_bytes), seed + 2);
  return k;
}

inline int Key(tw::TlsRecordState& state, const tw::TlsCipherSuite& s, uint16_t version, bool tls13,
               const DirectionKeys& k) {
  const int rc = state.SetKeys(&s, version, tls13, reinterpret_cast<const uint8_t*>(k.mac_key.data()),
                               static_cast<int>(k.mac_key.size()),
                               reinterpret_cast<const uint8_t*>(k.key.data()), static_cast<int>(k.key.size()),
                               reinterpret_cast<const uint8_t*>(k.iv.data()), static_cast<int>(k.iv.size()));
  state.set_active(true);
  return rc;
}

// The oracle's words for a suite: bulk and hash names.
inline std::string OracleSuite(const tw::TlsCipherSuite& s) {
  std::string bulk;
  switch (s.bulk) {
    case tw::kBulkAesCbc: bulk = "aes"; break;
    case tw::kBulkDesCbc:
    case tw::kBulkTripleDesCbc: bulk = "des"; break;
    case tw::kBulkRc4: bulk = "rc4"; break;
    case tw::kBulkAesGcm: bulk = "gcm"; break;
    case tw::kBulkChaCha20Poly1305: bulk = "chacha"; break;
  }
  const char* hash = s.hash_id == 1 ? "md5" : s.hash_id == 2 ? "sha256" : s.hash_id == 7 ? "sha384" : "sha1";
  return bulk + " " + hash;
}

inline std::string HexOr(const std::string& s) { return s.empty() ? "-" : testsupport::Hex(s.data(), s.size()); }

// Records what the engine hands its owner; takes at most `limit` bytes per send when set.
class RecordingOwner : public tw::TlsEngineOwner {
 public:
  std::string sent;
  std::string data;
  std::vector<std::string> statuses;
  std::vector<std::pair<int, std::string>> failures;
  int done = 0;
  int limit = -1;
  int error = 0;  // when set, every send fails with it

  int ReportTlsError(int, const char*) override { return 0; }
  int LogTlsStatus(const char* text) override {
    statuses.push_back(text);
    return 0;
  }
  std::string certificate_status;
  int CheckServerCertificate(const void*, int, const char*, const char*, const char* status, int* accept) override {
    certificate_status = std::string(status) + (*accept ? " accepted" : " refused");
    return 0;
  }
  int SendBytes(const void* bytes, int n, int* taken) override {
    if (error != 0) return *taken = 0, error;
    const int take = limit < 0 || n <= limit ? n : limit;
    sent.append(static_cast<const char*>(bytes), static_cast<size_t>(take));
    *taken = take;
    return take == n ? 0 : tw::kTlsWouldBlock;
  }
  void SendErrorText(int code, tw::ByteString* text) override { text->Format("[%d] refused", code); }
  int SetErrorCodeText(int code, const char* text) override {
    failures.emplace_back(code, text);
    return 0;
  }
  int OnHandshakeEnded(const char* failure) override {
    if (failure == nullptr || *failure == '\0') ++done;
    return 0;
  }
  int OnIncomingData(const void* bytes, int n, bool) override {
    data.append(static_cast<const char*>(bytes), static_cast<size_t>(n));
    return 0;
  }
  std::string Take() {
    std::string s;
    s.swap(sent);
    return s;
  }
};

// A certificate of the test PKI with its private key (and the intermediate) as PEM store content.
inline tw::ByteString PkiStore(const std::string& name, bool with_intermediate = true) {
  const testsupport::TestPki& pki = testsupport::TestPki::Get();
  std::string pem = testsupport::ReadFile(pki.Cert(name)) + testsupport::ReadFile(pki.Key(name));
  if (with_intermediate) pem += testsupport::ReadFile(pki.Cert("inter"));
  return Bytes(pem);
}

}  // namespace tlstest
