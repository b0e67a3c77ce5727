#include "crypto/pubkey/ed25519.h"

#include <string.h>

#include "crypto/pubkey/constant_time.h"
#include "crypto/pubkey/edwards25519.h"
#include "crypto/symmetric/sha512.h"

namespace tw {
namespace {

// dom2 of the variants: this text, then phflag and the context length, then the context.
constexpr char kDom2Text[] = "SigEd25519 no Ed25519 collisions";
constexpr int kDom2TextBytes = sizeof kDom2Text - 1;

// The group order L, little-endian.
constexpr uint8_t kOrder[32] = {0xed, 0xd3, 0xf5, 0x5c, 0x1a, 0x63, 0x12, 0x58, 0xd6, 0x9c, 0xf7,
                                0xa2, 0xde, 0xf9, 0xde, 0x14, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                                0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10};

// Which scheme: plain Ed25519 hashes no prefix; ctx (phflag 0) and ph (phflag 1) hash dom2.
struct Domain {
  bool present;
  uint8_t phflag;
  const uint8_t* context;
  int contextLength;
};

void Absorb(Sha512Context& h, const void* p, size_t n) {
  if (p && n) h.Update(p, n);
}

void AbsorbDomain(Sha512Context& h, const Domain& dom) {
  if (!dom.present) return;
  const uint8_t tail[2] = {dom.phflag, static_cast<uint8_t>(dom.contextLength)};
  h.Update(kDom2Text, kDom2TextBytes);
  h.Update(tail, sizeof tail);
  Absorb(h, dom.context, static_cast<size_t>(dom.contextLength));
}

bool ContextFits(const uint8_t* context, int length, int least) {
  return length >= least && length <= kEdMaxContext && (context || length == 0);
}

// S at or above L would be a second encoding of the same signature: RFC 8032 refuses it.
bool BelowOrder(const uint8_t s[32]) {
  for (int i = 31; i >= 0; --i) {
    if (s[i] != kOrder[i]) return s[i] < kOrder[i];
  }
  return false;
}

// y (bit 255 aside) below p = 2^255 - 19.
bool CanonicalY(const uint8_t s[32]) {
  if ((s[31] & 0x7f) != 0x7f) return true;
  for (int i = 30; i >= 1; --i) {
    if (s[i] != 0xff) return true;
  }
  return s[0] < 0xed;
}

int SignWith(const Domain& dom, const uint8_t* msg, size_t length, const uint8_t* pub, int pubLength,
             const uint8_t* priv, int privLength, ByteString& out) {
  if (int rc = out.SetData(kEd25519SignatureBytes, nullptr)) return rc;
  uint8_t az[64], nonce[64], hram[64];
  Sha512Context h;
  h.Update(priv, kEd25519KeyBytes);
  memcpy(az, h.Final(), sizeof az);
  az[0] &= 248;
  az[31] = static_cast<uint8_t>((az[31] & 63) | 64);
  // The stored public key enters the hash; a wrong one would let two signatures give the key away.
  {
    Ge25519P3 a;
    uint8_t own[kEd25519KeyBytes];
    Ge25519ScalarMultBase(&a, az, 32);
    Ge25519P3ToBytes(own, sizeof own, a);
    ct::Declassify(own, sizeof own);
    if (memcmp(own, pub, sizeof own) != 0) {
      explicit_bzero(az, sizeof az);
      return kErrEdKeyMismatch;
    }
  }

  h.Init();
  AbsorbDomain(h, dom);
  h.Update(az + 32, 32);
  Absorb(h, msg, length);
  memcpy(nonce, h.Final(), sizeof nonce);
  Sc25519Reduce(nonce, sizeof nonce);

  uint8_t* sig = out.bytes();
  Ge25519P3 r;
  Ge25519ScalarMultBase(&r, nonce, 32);
  Ge25519P3ToBytes(sig, 32, r);

  h.Init();
  AbsorbDomain(h, dom);
  h.Update(sig, 32);
  h.Update(pub, kEd25519KeyBytes);
  Absorb(h, msg, length);
  memcpy(hram, h.Final(), sizeof hram);
  Sc25519Reduce(hram, sizeof hram);
  Sc25519MulAdd(sig + 32, 32, hram, 32, az, 32, nonce, 32);

  explicit_bzero(az, sizeof az);
  explicit_bzero(nonce, sizeof nonce);
  explicit_bzero(&r, sizeof r);
  return kOk;
}

int VerifyWith(const Domain& dom, const uint8_t* msg, size_t length, const uint8_t* pub, int pubLength,
               const uint8_t* sig, int sigLength) {
  if (!pub || !sig || pubLength != kEd25519KeyBytes || sigLength != kEd25519SignatureBytes) return 0;
  if (!BelowOrder(sig + 32) || !CanonicalY(pub)) return 0;
  Ge25519P3 negA;
  if (!Ge25519FromBytesNegate(&negA, pub, pubLength)) return 0;
  // x = 0 has no negative: a set sign bit there is a second encoding.
  if ((pub[31] >> 7) && !Fe25519IsNonzero(negA.X)) return 0;

  uint8_t hram[64];
  Sha512Context h;
  AbsorbDomain(h, dom);
  h.Update(sig, 32);
  h.Update(pub, kEd25519KeyBytes);
  Absorb(h, msg, length);
  memcpy(hram, h.Final(), sizeof hram);
  Sc25519Reduce(hram, sizeof hram);

  // R' = k (-A) + S B, compared by its encoding: a non-canonical R never matches.
  Ge25519P2 check;
  Ge25519DoubleScalarMultVartime(&check, hram, negA, sig + 32);
  uint8_t encoded[32];
  Ge25519P2ToBytes(encoded, sizeof encoded, check);
  return ct::Diff(encoded, sig, sizeof encoded) == 0 ? 1 : 0;
}

bool KeysFit(const uint8_t* pub, int pubLength, const uint8_t* priv, int privLength) {
  return pub && priv && pubLength == kEd25519KeyBytes && privLength == kEd25519KeyBytes;
}

// PH(M) for Ed25519ph: the input itself when already hashed (64 bytes), else SHA-512 of it.
bool Prehash(const uint8_t* input, size_t length, bool prehashed, uint8_t out[64]) {
  if (prehashed) {
    if (!input || length != kEdPrehashBytes) return false;
    memcpy(out, input, kEdPrehashBytes);
    return true;
  }
  Sha512Context h;
  Absorb(h, input, length);
  memcpy(out, h.Final(), kEdPrehashBytes);
  return true;
}

}  // namespace

int Ed25519Sign(const uint8_t* message, size_t length, const uint8_t* public_key, int public_length,
                const uint8_t* private_key, int private_length, ByteString& out) {
  if (!KeysFit(public_key, public_length, private_key, private_length)) return kErrEdKeyLength;
  return SignWith({false, 0, nullptr, 0}, message, length, public_key, public_length, private_key, private_length,
                  out);
}

int Ed25519CtxSign(const uint8_t* message, size_t length, const uint8_t* context, int context_length,
                   const uint8_t* public_key, int public_length, const uint8_t* private_key, int private_length,
                   ByteString& out) {
  if (!KeysFit(public_key, public_length, private_key, private_length)) return kErrEdKeyLength;
  if (!ContextFits(context, context_length, 1)) return kErrEdContextLength;
  return SignWith({true, 0, context, context_length}, message, length, public_key, public_length, private_key,
                  private_length, out);
}

int Ed25519PhSign(const uint8_t* input, size_t length, bool prehashed, const uint8_t* context, int context_length,
                  const uint8_t* public_key, int public_length, const uint8_t* private_key, int private_length,
                  ByteString& out) {
  if (!KeysFit(public_key, public_length, private_key, private_length)) return kErrEdKeyLength;
  if (!ContextFits(context, context_length, 0)) return kErrEdContextLength;
  uint8_t ph[kEdPrehashBytes];
  if (!Prehash(input, length, prehashed, ph)) return kErrEdPrehashLength;
  return SignWith({true, 1, context, context_length}, ph, sizeof ph, public_key, public_length, private_key,
                  private_length, out);
}

int Ed25519Verify(const uint8_t* message, size_t length, const uint8_t* public_key, int public_length,
                  const uint8_t* signature, int signature_length) {
  return VerifyWith({false, 0, nullptr, 0}, message, length, public_key, public_length, signature,
                    signature_length);
}

int Ed25519CtxVerify(const uint8_t* message, size_t length, const uint8_t* context, int context_length,
                     const uint8_t* public_key, int public_length, const uint8_t* signature, int signature_length) {
  if (!ContextFits(context, context_length, 1)) return 0;
  return VerifyWith({true, 0, context, context_length}, message, length, public_key, public_length, signature,
                    signature_length);
}

int Ed25519PhVerify(const uint8_t* input, size_t length, bool prehashed, const uint8_t* context, int context_length,
                    const uint8_t* public_key, int public_length, const uint8_t* signature, int signature_length) {
  uint8_t ph[kEdPrehashBytes];
  if (!ContextFits(context, context_length, 0) || !Prehash(input, length, prehashed, ph)) return 0;
  return VerifyWith({true, 1, context, context_length}, ph, sizeof ph, public_key, public_length, signature,
                    signature_length);
}

int Ed25519PublicFromPrivate(const ByteString& priv, ByteString& pub) {
  if (priv.length() != kEd25519KeyBytes) return kErrEdKeyLength;
  if (int rc = pub.SetData(kEd25519KeyBytes, nullptr)) return rc;
  uint8_t az[64];
  Sha512Context h;
  h.Update(priv.bytes(), kEd25519KeyBytes);
  memcpy(az, h.Final(), sizeof az);
  az[0] &= 248;
  az[31] = static_cast<uint8_t>((az[31] & 63) | 64);
  Ge25519P3 a;
  Ge25519ScalarMultBase(&a, az, 32);
  Ge25519P3ToBytes(pub.bytes(), kEd25519KeyBytes, a);
  explicit_bzero(az, sizeof az);
  explicit_bzero(&a, sizeof a);
  return kOk;
}

}  // namespace tw
