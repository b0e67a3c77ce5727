// Ed25519 and Ed448 signing and verification of ours against OpenSSL's EVP_DigestSign and
// EVP_DigestVerify, in the same process, over the same key and a 64-byte message.
// OpenSSL's keys and its signing and verifying contexts are made and initialised once, so that only
// the one-shot EVP_DigestSign and EVP_DigestVerify calls are timed.
//   bench_eddsa [seconds per measurement, default 0.5]
#include <openssl/evp.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>

#include "bench/bench_support.h"
#include "crypto/pubkey/ed25519.h"
#include "crypto/pubkey/ed448.h"
#include "foundation/byte_string.h"

namespace {

struct Case {
  const char* sign;
  const char* verify;
  int type;  // EVP_PKEY_ED25519 or EVP_PKEY_ED448
  int keyBytes;
  int sigBytes;
};

// Best of three alternating rounds per side; one row, the last column our time over OpenSSL's.
void Compare(const char* label, double seconds, const std::function<void()>& ours,
             const std::function<void()>& theirs, bool ok) {
  bench::CompareLine(label, seconds, ours, theirs, ok, 20, 10);
}

bool RunCase(const Case& c, double seconds) {
  uint8_t seed[57], msg[64], pub[57], theirSig[114];
  for (int i = 0; i < c.keyBytes; ++i) seed[i] = static_cast<uint8_t>(i * 37 + 11);
  for (int i = 0; i < 64; ++i) msg[i] = static_cast<uint8_t>(i * 91 + 5);
  EVP_PKEY* key = EVP_PKEY_new_raw_private_key(c.type, nullptr, seed, c.keyBytes);
  size_t n = c.keyBytes;
  if (!key || EVP_PKEY_get_raw_public_key(key, pub, &n) != 1) return false;
  EVP_PKEY* pubKey = EVP_PKEY_new_raw_public_key(c.type, nullptr, pub, c.keyBytes);
  EVP_MD_CTX* signCtx = EVP_MD_CTX_new();
  EVP_MD_CTX* verifyCtx = EVP_MD_CTX_new();
  if (!pubKey || !signCtx || !verifyCtx || EVP_DigestSignInit(signCtx, nullptr, nullptr, nullptr, key) != 1 ||
      EVP_DigestVerifyInit(verifyCtx, nullptr, nullptr, nullptr, pubKey) != 1) {
    return false;
  }

  const bool ed25519 = c.keyBytes == tw::kEd25519KeyBytes;
  tw::ByteString ourSig;
  bool ok = true;
  const auto ourSign = [&] {
    ok &= (ed25519 ? tw::Ed25519Sign(msg, sizeof msg, pub, c.keyBytes, seed, c.keyBytes, ourSig)
                   : tw::Ed448Sign(msg, sizeof msg, nullptr, 0, pub, c.keyBytes, seed, c.keyBytes, ourSig)) == 0;
  };
  const auto theirSign = [&] {
    size_t len = c.sigBytes;
    ok &= EVP_DigestSign(signCtx, theirSig, &len, msg, sizeof msg) == 1;
  };
  const auto ourVerify = [&] {
    ok &= (ed25519 ? tw::Ed25519Verify(msg, sizeof msg, pub, c.keyBytes, theirSig, c.sigBytes)
                   : tw::Ed448Verify(msg, sizeof msg, nullptr, 0, pub, c.keyBytes, theirSig, c.sigBytes)) == 1;
  };
  const auto theirVerify = [&] {
    ok &= EVP_DigestVerify(verifyCtx, ourSig.bytes(), c.sigBytes, msg, sizeof msg) == 1;
  };
  ourSign();
  theirSign();
  ok &= ourSig.length() == c.sigBytes && memcmp(ourSig.bytes(), theirSig, c.sigBytes) == 0;
  Compare(c.sign, seconds, ourSign, theirSign, ok);
  Compare(c.verify, seconds, ourVerify, theirVerify, ok);
  EVP_MD_CTX_free(verifyCtx);
  EVP_MD_CTX_free(signCtx);
  EVP_PKEY_free(pubKey);
  EVP_PKEY_free(key);
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  const double seconds = bench::OperationTableStart(argc, argv);
  if (seconds <= 0) return 2;
  const Case cases[] = {
      {"Ed25519 sign", "Ed25519 verify", EVP_PKEY_ED25519, tw::kEd25519KeyBytes, tw::kEd25519SignatureBytes},
      {"Ed448 sign", "Ed448 verify", EVP_PKEY_ED448, tw::kEd448KeyBytes, tw::kEd448SignatureBytes}};
  bool ok = true;
  for (const Case& c : cases) ok &= RunCase(c, seconds);
  return ok ? 0 : 1;
}
