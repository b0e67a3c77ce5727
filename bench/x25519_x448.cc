// X25519 and X448 shared secrets (against EVP_PKEY_derive) and public keys of ours against OpenSSL's,
// in the same process.
// OpenSSL's context is set up once (key, derive_init, peer) so that only the derivation is timed.
//   bench_x25519_x448 [seconds per measurement, default 0.5]
#include <openssl/evp.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <utility>

#include "bench/bench_support.h"
#include "crypto/pubkey/curve25519.h"
#include "crypto/pubkey/curve448.h"

namespace {

struct Case {
  const char* label;
  const char* publicLabel;
  int type;  // EVP_PKEY_X25519 or EVP_PKEY_X448
  int bytes;
  int (*ours)(const uint8_t*, int, const uint8_t*, int, uint8_t*, int);
};

// Best of three rounds per side, alternating, so that a busy neighbour hurts both alike; prints
// one row, the last column being our time over OpenSSL's.
void Compare(const char* label, double seconds, const std::function<void()>& ours,
             const std::function<void()>& theirs, bool same) {
  bench::CompareLine(label, seconds, ours, theirs, same, 50, 20);
}

bool RunCase(const Case& c, double seconds) {
  uint8_t priv[56], peerPriv[56], peer[56], mine[56], theirs[56];
  for (int i = 0; i < c.bytes; ++i) {
    priv[i] = static_cast<uint8_t>(i * 37 + 11);
    peerPriv[i] = static_cast<uint8_t>(i * 91 + 5);
  }
  EVP_PKEY* key = EVP_PKEY_new_raw_private_key(c.type, nullptr, priv, c.bytes);
  EVP_PKEY* peerKey = EVP_PKEY_new_raw_private_key(c.type, nullptr, peerPriv, c.bytes);
  size_t n = c.bytes;
  if (!key || !peerKey || EVP_PKEY_get_raw_public_key(peerKey, peer, &n) != 1) return false;
  EVP_PKEY* peerPub = EVP_PKEY_new_raw_public_key(c.type, nullptr, peer, c.bytes);
  EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(key, nullptr);
  if (!peerPub || !ctx || EVP_PKEY_derive_init(ctx) != 1 || EVP_PKEY_derive_set_peer(ctx, peerPub) != 1) return false;

  bool ok = true;
  // Shared secrets.
  const auto ourSecret = [&] { ok &= c.ours(priv, c.bytes, peer, c.bytes, mine, c.bytes) == 0; };
  const auto theirSecret = [&] {
    size_t len = c.bytes;
    ok &= EVP_PKEY_derive(ctx, theirs, &len) == 1;
  };
  // Public keys from private ones: our base-point road against OpenSSL building a key from raw
  // private bytes (which computes the public value).
  const uint8_t base[56] = {static_cast<uint8_t>(c.bytes == tw::kX25519Bytes ? 9 : 5)};
  const auto ourPublic = [&] { ok &= c.ours(priv, c.bytes, base, c.bytes, mine, c.bytes) == 0; };
  const auto theirPublic = [&] {
    EVP_PKEY* k = EVP_PKEY_new_raw_private_key(c.type, nullptr, priv, c.bytes);
    size_t len = c.bytes;
    ok &= k && EVP_PKEY_get_raw_public_key(k, theirs, &len) == 1;
    EVP_PKEY_free(k);
  };
  const std::pair<const char*, std::pair<std::function<void()>, std::function<void()>>> rows[] = {
      {c.label, {ourSecret, theirSecret}}, {c.publicLabel, {ourPublic, theirPublic}}};
  for (const auto& [label, sides] : rows) {
    sides.first();
    sides.second();
    ok &= memcmp(mine, theirs, c.bytes) == 0;
    Compare(label, seconds, sides.first, sides.second, ok);
  }
  EVP_PKEY_CTX_free(ctx);
  EVP_PKEY_free(peerPub);
  EVP_PKEY_free(peerKey);
  EVP_PKEY_free(key);
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  const double seconds = bench::OperationTableStart(argc, argv);
  if (seconds <= 0) return 2;
  const Case cases[] = {{"X25519", "X25519 public", EVP_PKEY_X25519, tw::kX25519Bytes, tw::X25519},
                        {"X448", "X448 public", EVP_PKEY_X448, tw::kX448Bytes, tw::X448}};
  bool ok = true;
  for (const Case& c : cases) ok &= RunCase(c, seconds);
  return ok ? 0 : 1;
}
