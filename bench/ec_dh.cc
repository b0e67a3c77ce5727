// P-256 and P-384 ECDH, ECDSA signing and verification, and ffdhe2048 shared secrets of ours
// against OpenSSL's libcrypto, in the same process and on the same keys.
//   bench_ec_dh [seconds per measurement, default 0.5]
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <vector>

#include "bench/bench_support.h"
#include "crypto/pubkey/ecdsa.h"
#include "crypto/pubkey/key_exchange.h"
#include "crypto/pubkey/public_key.h"

namespace {

// Best of three rounds per side, alternating; the last column is our time over OpenSSL's.
void Compare(const char* label, double seconds, const std::function<void()>& ours,
             const std::function<void()>& theirs, bool same) {
  const auto [mine, other] = bench::BestAlternating(3, seconds, ours, theirs);
  std::printf("%-18s %10.0f %10.0f %10.1f %10.1f %7.2fx %s\n", label, mine, other, 1e6 / mine, 1e6 / other,
              other / mine, same ? "" : "(RESULTS DIFFER)");
}

std::vector<uint8_t> Pub(EVP_PKEY* k) {
  std::vector<uint8_t> buf(200);
  size_t n = 0;
  EVP_PKEY_get_octet_string_param(k, OSSL_PKEY_PARAM_PUB_KEY, buf.data(), buf.size(), &n);
  buf.resize(n);
  return buf;
}

std::vector<uint8_t> Priv(EVP_PKEY* k, int width) {
  BIGNUM* bn = nullptr;
  EVP_PKEY_get_bn_param(k, OSSL_PKEY_PARAM_PRIV_KEY, &bn);
  std::vector<uint8_t> out(static_cast<size_t>(width));
  BN_bn2binpad(bn, out.data(), width);
  BN_clear_free(bn);
  return out;
}

tw::EcKeyData Record(int curve, EVP_PKEY* k, bool with_private) {
  tw::EcKeyData r;
  r.curve_id = curve;
  const std::vector<uint8_t> pub = Pub(k);
  tw::ByteString enc;
  enc.Set(pub.data(), static_cast<int>(pub.size()));
  r.DecodePoint(enc);
  if (with_private) {
    const std::vector<uint8_t> d = Priv(k, tw::CurveKeySize(curve));
    r.D.Set(d.data(), static_cast<int>(d.size()));
  }
  return r;
}

bool RunCurve(const char* name, int curve, double seconds) {
  EVP_PKEY* a = EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", name);
  EVP_PKEY* b = EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", name);
  if (!a || !b) return false;
  const tw::EcKeyData own = Record(curve, a, true), peer = Record(curve, b, false);
  tw::PublicKey engine;
  if (engine.SetKey(own)) return false;

  // ECDH.
  EVP_PKEY_CTX* dctx = EVP_PKEY_CTX_new(a, nullptr);
  if (EVP_PKEY_derive_init(dctx) != 1 || EVP_PKEY_derive_set_peer(dctx, b) != 1) return false;
  std::vector<uint8_t> theirs(80);
  tw::ByteString mine;
  bool ok = true;
  size_t len = theirs.size();
  EVP_PKEY_derive(dctx, theirs.data(), &len);
  ok &= tw::EcdhSharedSecret(own, peer, false, mine) == 0;
  const bool same = ok && static_cast<size_t>(mine.length()) == len &&
                    std::equal(theirs.begin(), theirs.begin() + static_cast<long>(len), mine.bytes());
  char label[40];
  std::snprintf(label, sizeof label, "%s ECDH", name);
  Compare(label, seconds, [&] { ok &= tw::EcdhSharedSecret(own, peer, false, mine) == 0; },
          [&] {
            size_t n = theirs.size();
            ok &= EVP_PKEY_derive(dctx, theirs.data(), &n) == 1;
          },
          same);

  // ECDSA over a fixed digest; each side's signatures checked by the other first.
  std::vector<uint8_t> digest(static_cast<size_t>(tw::CurveKeySize(curve)), 0x5A);
  const int dlen = static_cast<int>(digest.size()) > 64 ? 64 : static_cast<int>(digest.size());
  EVP_PKEY_CTX* sctx = EVP_PKEY_CTX_new(a, nullptr);
  EVP_PKEY_CTX* vctx = EVP_PKEY_CTX_new(a, nullptr);
  if (EVP_PKEY_sign_init(sctx) != 1 || EVP_PKEY_verify_init(vctx) != 1) return false;
  std::vector<uint8_t> osig(160);
  size_t olen = osig.size();
  ok &= EVP_PKEY_sign(sctx, osig.data(), &olen, digest.data(), static_cast<size_t>(dlen)) == 1;
  engine.set_der_signatures(true);
  tw::ByteString sig;
  ok &= engine.Sign(digest.data(), dlen, sig) == 0;
  bool valid = false;
  ok &= engine.Verify(digest.data(), dlen, osig.data(), static_cast<int>(olen), &valid) == 0 && valid;
  const bool cross = ok && EVP_PKEY_verify(vctx, sig.bytes(), static_cast<size_t>(sig.length()), digest.data(),
                                           static_cast<size_t>(dlen)) == 1;
  std::snprintf(label, sizeof label, "%s sign", name);
  std::vector<uint8_t> scratch(osig.size());
  Compare(label, seconds, [&] { ok &= engine.Sign(digest.data(), dlen, sig) == 0; },
          [&] {
            size_t n = scratch.size();
            ok &= EVP_PKEY_sign(sctx, scratch.data(), &n, digest.data(), static_cast<size_t>(dlen)) == 1;
          },
          cross);
  std::snprintf(label, sizeof label, "%s verify", name);
  Compare(label, seconds,
          [&] { ok &= engine.Verify(digest.data(), dlen, osig.data(), static_cast<int>(olen), &valid) == 0 && valid; },
          [&] {
            ok &= EVP_PKEY_verify(vctx, osig.data(), olen, digest.data(), static_cast<size_t>(dlen)) == 1;
          },
          cross);
  EVP_PKEY_CTX_free(dctx);
  EVP_PKEY_CTX_free(sctx);
  EVP_PKEY_CTX_free(vctx);
  EVP_PKEY_free(a);
  EVP_PKEY_free(b);
  return ok;
}

bool RunFfdhe(double seconds) {
  EVP_PKEY_CTX* pc = EVP_PKEY_CTX_new_from_name(nullptr, "DH", nullptr);
  char group[] = "ffdhe2048";
  OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string(OSSL_PKEY_PARAM_GROUP_NAME, group, 0),
                         OSSL_PARAM_construct_end()};
  EVP_PKEY *a = nullptr, *b = nullptr;
  if (EVP_PKEY_keygen_init(pc) != 1 || EVP_PKEY_CTX_set_params(pc, params) != 1 || EVP_PKEY_keygen(pc, &a) != 1 ||
      EVP_PKEY_keygen(pc, &b) != 1)
    return false;
  EVP_PKEY_CTX* dctx = EVP_PKEY_CTX_new(a, nullptr);
  if (EVP_PKEY_derive_init(dctx) != 1 || EVP_PKEY_derive_set_peer(dctx, b) != 1) return false;
  tw::KeyExchange kx;
  kx.ChoosePrime(false, 2048, true);
  BIGNUM* x = nullptr;
  BIGNUM* y = nullptr;
  EVP_PKEY_get_bn_param(a, OSSL_PKEY_PARAM_PRIV_KEY, &x);
  EVP_PKEY_get_bn_param(b, OSSL_PKEY_PARAM_PUB_KEY, &y);
  std::vector<uint8_t> xb(static_cast<size_t>(BN_num_bytes(x))), yb(static_cast<size_t>(BN_num_bytes(y)));
  BN_bn2bin(x, xb.data());
  BN_bn2bin(y, yb.data());
  kx.x.SetBytes(xb.data(), static_cast<int>(xb.size()));
  tw::BigNumber peer;
  peer.SetBytes(yb.data(), static_cast<int>(yb.size()));
  kx.SetPeerPublic(peer);
  std::vector<uint8_t> theirs(256);
  size_t len = theirs.size();
  bool ok = EVP_PKEY_derive(dctx, theirs.data(), &len) == 1;
  tw::ByteString mine;
  ok &= kx.ComputeShared() == 0 && kx.GetSharedSecretPadded(mine) == 0;
  const bool same = ok && static_cast<size_t>(mine.length()) == len &&
                    std::equal(theirs.begin(), theirs.begin() + static_cast<long>(len), mine.bytes());
  Compare("ffdhe2048", seconds, [&] { ok &= kx.ComputeShared() == 0; },
          [&] {
            size_t n = theirs.size();
            ok &= EVP_PKEY_derive(dctx, theirs.data(), &n) == 1;
          },
          same);
  BN_clear_free(x);
  BN_free(y);
  EVP_PKEY_CTX_free(dctx);
  EVP_PKEY_CTX_free(pc);
  EVP_PKEY_free(a);
  EVP_PKEY_free(b);
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 0.5;
  std::printf("%-18s %10s %10s %10s %10s %8s\n", "operation", "ours/s", "openssl/s", "ours us", "openssl us", "ratio");
  bool ok = RunCurve("P-256", tw::kCurveP256, seconds);
  ok &= RunCurve("P-384", tw::kCurveP384, seconds);
  ok &= RunFfdhe(seconds);
  if (!ok) std::printf("a run failed\n");
  return ok ? 0 : 1;
}
