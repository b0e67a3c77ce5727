// The private-key operations with every secret byte marked undefined for valgrind's memcheck: a
// branch or a memory address that follows a secret is then an error. Keys are made, and results
// checked, outside the marked stretch; a result leaves it declared public.
#include <valgrind/memcheck.h>

#include <cstdio>
#include <cstring>

#include "crypto/pubkey/dsa_engine.h"
#include "crypto/pubkey/key_exchange.h"
#include "crypto/pubkey/public_key.h"
#include "crypto/pubkey/rsa_engine.h"

namespace tw {
namespace {

void Secret(ByteString& b) { VALGRIND_MAKE_MEM_UNDEFINED(b.bytes(), b.length()); }
void Public(ByteString& b) { VALGRIND_MAKE_MEM_DEFINED(b.bytes(), b.length()); }
void Secret(const BigNumber& v) { VALGRIND_MAKE_MEM_UNDEFINED(v.limbs().data(), v.limbs().size() * sizeof(Limb)); }
const uint8_t kHash[32] = {0x5a, 1, 2, 3};

bool Rsa() {
  RsaEngine gen, pub, rsa;
  RsaKeyData k, pk;
  ByteString hash, sig[2];
  gen.SetKeySize(2048);
  if (hash.Set(kHash, 32) || gen.GetKey(k, true, true) || pk.N.Assign(k.N) || pk.E.Assign(k.E) || pub.SetKey(pk))
    return false;
  for (ByteString* c : {&k.D, &k.P, &k.Q, &k.DP, &k.DQ, &k.QInv}) Secret(*c);
  if (rsa.SetKey(k) || rsa.Sign(hash, "SHA256", false, 0, sig[0]) || rsa.Sign(hash, "SHA256", true, -1, sig[1]))
    return false;
  bool valid[2] = {};
  for (int pss = 0; pss < 2; ++pss) {
    Public(sig[pss]);
    pub.Verify(hash, "SHA256", sig[pss], pss == 1, true, &valid[pss]);
  }
  return valid[0] && valid[1];
}

// v1.5 and OAEP decryption of what the public key encrypted; with_e false signs by a record
// without E, whose check exponent the CRT values imply.
bool Rsa2(bool decrypt) {
  RsaEngine gen, pub, rsa;
  RsaKeyData k, pk;
  ByteString msg, hash, ct[2], pt[2], sig;
  gen.SetKeySize(2048);
  if (msg.Set(kHash, 32) || gen.GetKey(k, true, true) || pk.N.Assign(k.N) || pk.E.Assign(k.E) || pub.SetKey(pk))
    return false;
  if (!decrypt) k.E.Reset();
  if (pub.EncryptPkcs1(msg, ct[0]) || pub.Encrypt(msg, true, ByteString(), nullptr, nullptr, ct[1])) return false;
  for (ByteString* c : {&k.D, &k.P, &k.Q, &k.DP, &k.DQ, &k.QInv}) Secret(*c);
  if (rsa.SetKey(k)) return false;
  if (!decrypt) {
    bool valid = false;
    if (hash.Set(kHash, 32) || rsa.Sign(hash, "SHA256", false, 0, sig)) return false;
    Public(sig);
    return pub.Verify(hash, "SHA256", sig, false, true, &valid) == kOk && valid;
  }
  if (rsa.DecryptPkcs1(ct[0], pt[0]) || rsa.Decrypt(ct[1], true, ByteString(), nullptr, nullptr, pt[1])) return false;
  for (ByteString& p : pt) {
    Public(p);
    if (p.length() != msg.length() || std::memcmp(p.data(), msg.data(), msg.length())) return false;
  }
  return true;
}

// Finite-field Diffie-Hellman over ffdhe2048, each side's exponent secret once its public value is out.
bool Dh() {
  KeyExchange kx[2] = {KeyExchange(1), KeyExchange(0)};
  RandomSource random;
  BigNumber own[2];
  for (int i = 0; i < 2; ++i) {
    if (kx[i].ChoosePrime(false, 2048, true) || kx[i].x.SetRandomBits(225, random) ||
        BigNumber::ModExp(kx[i].g, kx[i].x, kx[i].p, own[i]) || kx[i].SetOwnPublic(own[i]))
      return false;
  }
  for (int i = 0; i < 2; ++i) {
    Secret(kx[i].x);
    if (kx[i].SetPeerPublic(own[1 - i]) || kx[i].ComputeShared()) return false;
    VALGRIND_MAKE_MEM_DEFINED(kx[i].z.limbs().data(), kx[i].z.limbs().size() * sizeof(Limb));
  }
  return kx[0].z.Equals(kx[1].z);
}

bool Dsa() {
  DsaEngine gen, dsa;
  DsaKeyData k;
  ByteString hash, sig;
  bool valid = false;
  gen.SetKeySize(2048);
  if (hash.Set(kHash, 32) || gen.GetKey(k, true, false)) return false;
  Secret(k.X);
  if (dsa.SetKey(k) || dsa.Sign(hash, sig)) return false;
  Public(sig);
  return gen.Verify(hash, sig, &valid) == kOk && valid;
}

// ECDH or X25519/X448 against a second key, and ECDSA or EdDSA, as the curve allows.
bool Ec(int curve) {
  const bool edwards = curve == kCurveEd25519 || curve == kCurveEd448;
  EcKeyData k, pk, peer, peer_pub;
  PublicKey verifier, engine;
  ByteString ours, theirs, sig;
  bool valid = false;
  if (EcGenerateKey(curve, k) || pk.Copy(k, false) || EcGenerateKey(curve, peer) || peer_pub.Copy(peer, false))
    return false;
  Secret(k.D);
  Secret(k.private_bytes);
  if (!edwards) {
    if (EcdhSharedSecret(k, peer_pub, false, ours) || EcdhSharedSecret(peer, pk, false, theirs)) return false;
    Public(ours);
    if (ours.length() != theirs.length() || std::memcmp(ours.data(), theirs.data(), ours.length())) return false;
    if (curve == kCurveX25519 || curve == kCurveX448) return true;
  }
  if (verifier.SetKey(pk) || engine.SetKey(k)) return false;
  if (edwards ? engine.EdDsaSign(kHash, 32, sig) : engine.Sign(kHash, 32, sig)) return false;
  Public(sig);
  const int rc = edwards ? verifier.EdDsaVerify(kHash, 32, sig.bytes(), sig.length(), &valid)
                         : verifier.Verify(kHash, 32, sig.bytes(), sig.length(), &valid);
  return rc == kOk && valid;
}

}  // namespace
}  // namespace tw

// An argument runs only the cases whose names hold it.
int main(int argc, char** argv) {
  using namespace tw;
  const struct {
    const char* name;
    bool (*run)();
  } cases[] = {{"RSA-2048", Rsa},
               {"RSA-2048 decryption, v1.5 and OAEP", [] { return Rsa2(true); }},
               {"RSA-2048 without E", [] { return Rsa2(false); }},
               {"DH ffdhe2048", Dh},
               {"DSA-2048", Dsa},
               {"ECDSA, ECDH P-256", [] { return Ec(kCurveP256); }},
               {"ECDSA, ECDH P-384", [] { return Ec(kCurveP384); }},
               {"ECDSA, ECDH P-521", [] { return Ec(kCurveP521); }},
               {"Ed25519", [] { return Ec(kCurveEd25519); }},
               {"Ed448", [] { return Ec(kCurveEd448); }},
               {"X25519", [] { return Ec(kCurveX25519); }},
               {"X448", [] { return Ec(kCurveX448); }}};
  int failed = 0, ran = 0;
  for (const auto& c : cases) {
    if (argc > 1 && !std::strstr(c.name, argv[1])) continue;
    const bool ok = c.run();
    std::printf("%s: %s\n", c.name, ok ? "ok" : "FAILED");
    ++ran;
    failed += !ok;
  }
  std::printf("%d passed, %d failed\n", ran - failed, failed);
  return failed ? 1 : 0;
}
