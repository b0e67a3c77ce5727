// The private-key operations with every secret byte marked undefined for valgrind's memcheck: a
// branch or a memory address that follows a secret is then an error. Keys are made, and results
// checked, outside the marked stretch; a result leaves it declared public.
#include <valgrind/memcheck.h>

#include <cstdio>
#include <cstring>

#include "crypto/pubkey/dsa_engine.h"
#include "crypto/pubkey/public_key.h"
#include "crypto/pubkey/rsa_engine.h"

namespace tw {
namespace {

void Secret(ByteString& b) { VALGRIND_MAKE_MEM_UNDEFINED(b.bytes(), b.length()); }
void Public(ByteString& b) { VALGRIND_MAKE_MEM_DEFINED(b.bytes(), b.length()); }
ByteString Digest(int n) {
  ByteString h;
  h.Resize(n);
  std::memset(h.bytes(), 0x5a, static_cast<size_t>(n));
  return h;
}

bool Rsa() {
  RsaEngine gen, pub;
  RsaKeyData k, pk;
  gen.SetKeySize(2048);
  if (gen.GetKey(k, true, true) || pk.N.Assign(k.N) || pk.E.Assign(k.E) || pub.SetKey(pk)) return false;
  for (ByteString* c : {&k.D, &k.P, &k.Q, &k.DP, &k.DQ, &k.QInv}) Secret(*c);
  RsaEngine rsa;
  const ByteString hash = Digest(32);
  ByteString sig[2];
  if (rsa.SetKey(k) || rsa.Sign(hash, "SHA256", false, 0, sig[0]) || rsa.Sign(hash, "SHA256", true, -1, sig[1]))
    return false;
  bool ok = true;
  for (ByteString& s : sig) {
    bool valid = false;
    Public(s);
    ok &= pub.Verify(hash, "SHA256", s, &s == &sig[1], true, &valid) == kOk && valid;
  }
  return ok;
}

bool Dsa() {
  DsaEngine gen, dsa;
  DsaKeyData k;
  gen.SetKeySize(2048);
  if (gen.GetKey(k, true, false)) return false;
  Secret(k.X);
  const ByteString hash = Digest(32);
  ByteString sig;
  bool valid = false;
  if (dsa.SetKey(k) || dsa.Sign(hash, sig)) return false;
  Public(sig);
  return gen.Verify(hash, sig, &valid) == kOk && valid;
}

bool Ec(int curve) {
  EcKeyData k;
  if (EcGenerateKey(curve, k)) return false;
  PublicKey verifier;
  EcKeyData pk;
  if (pk.Copy(k, false) || verifier.SetKey(pk)) return false;
  Secret(k.D);
  Secret(k.private_bytes);
  PublicKey engine;
  ByteString sig;
  bool valid = false;
  const ByteString hash = Digest(32);
  if (curve != kCurveEd25519 && curve != kCurveEd448) {
    EcKeyData peer, peer_pub;
    if (EcGenerateKey(curve, peer) || peer_pub.Copy(peer, false)) return false;
    ByteString ours, theirs;
    if (EcdhSharedSecret(k, peer_pub, false, ours) || EcdhSharedSecret(peer, pk, false, theirs)) return false;
    Public(ours);
    if (ours.length() != theirs.length() || std::memcmp(ours.data(), theirs.data(), ours.length())) return false;
    if (curve == kCurveX25519 || curve == kCurveX448) return true;
  }
  if (engine.SetKey(k)) return false;
  if (curve == kCurveEd25519 || curve == kCurveEd448) {
    if (engine.EdDsaSign(hash.bytes(), hash.length(), sig)) return false;
    Public(sig);
    return verifier.EdDsaVerify(hash.bytes(), hash.length(), sig.bytes(), sig.length(), &valid) == kOk && valid;
  }
  if (engine.Sign(hash.bytes(), hash.length(), sig)) return false;
  Public(sig);
  return verifier.Verify(hash.bytes(), hash.length(), sig.bytes(), sig.length(), &valid) == kOk && valid;
}

}  // namespace
}  // namespace tw

int main(int argc, char** argv) {
  using namespace tw;
  const struct {
    const char* name;
    bool (*run)();
  } cases[] = {
      {"RSA-2048", Rsa},
      {"DSA-2048", Dsa},
      {"ECDSA, ECDH P-256", [] { return Ec(kCurveP256); }},
      {"ECDSA, ECDH P-384", [] { return Ec(kCurveP384); }},
      {"ECDSA, ECDH P-521", [] { return Ec(kCurveP521); }},
      {"Ed25519", [] { return Ec(kCurveEd25519); }},
      {"Ed448", [] { return Ec(kCurveEd448); }},
      {"X25519", [] { return Ec(kCurveX25519); }},
      {"X448", [] { return Ec(kCurveX448); }},
  };
  int failed = 0, ran = 0;
  for (const auto& c : cases) {
    if (argc > 1 && !std::strstr(c.name, argv[1])) continue;  // one family, when named
    ++ran;
    const bool ok = c.run();
    std::printf("%s: %s\n", c.name, ok ? "ok" : "FAILED");
    failed += !ok;
  }
  std::printf("%d passed, %d failed\n", ran - failed, failed);
  return failed ? 1 : 0;
}
