// The RSA engine: PKCS #1 v1.5 encryption and signatures, PSS, OAEP, key generation and the raw
// public and private operations over the engine's own key record.
#pragma once

#include "crypto/pubkey/big_number.h"
#include "crypto/pubkey/montgomery.h"
#include "crypto/pubkey/pk_algorithm.h"
#include "crypto/pubkey/rsa_key_data.h"

namespace tw {

constexpr int kErrRsaNoModulusInRecord = 1101;
constexpr int kErrRsaNoExponent = 1103;
constexpr int kErrRsaPublicExponentZero = 1104;
constexpr int kErrRsaPrivateExponentZero = 1105;
constexpr int kErrRsaUnknownHash = 1106;
constexpr int kErrRsaNoHash = 1107;
constexpr int kErrRsaNoSignature = 1108;
constexpr int kErrRsaHashLength = 1109;
constexpr int kErrRsaNoModulus = 1110;
constexpr int kErrRsaNoPrivateKey = 1111;
constexpr int kErrRsaModulusTooSmall = 1112;
constexpr int kErrRsaEmptyInput = 1113;
constexpr int kErrRsaDecoding = 1114;
constexpr int kErrRsaBlockType = 1115;
constexpr int kErrRsaPaddingShort = 1116;
constexpr int kErrRsaSeparatorLast = 1117;
constexpr int kErrRsaMessageTooLong = 1118;
constexpr int kErrRsaPssEncoding = 1119;

class RsaEngine : public PkAlgorithm {
 public:
  RsaEngine() : PkAlgorithm(0, 1024) {}
  ~RsaEngine() override = default;

  // PKCS #1 v1.5 encryption type 2 with the public key, and its decryption.
  int EncryptPkcs1(const ByteString& message, ByteString& out);
  int DecryptPkcs1(const ByteString& ciphertext, ByteString& out);
  // Copies the key out (only N and E without with_private), generating a key of the engine's
  // size first when there is no modulus: the plain generator, or the one with a lower bound.
  int GetKey(RsaKeyData& out, bool with_private, bool plain_generator);
  int SetKey(const RsaKeyData& key);
  // A verdict over a hash: v1.5 (DigestInfo with or without NULL parameters) or PSS with any
  // salt length. A bad signature is valid = false with 0.
  int Verify(const ByteString& hash, const char* hash_name, const ByteString& signature, bool pss, bool strict,
             bool* valid);
  // v1.5 or PSS (a negative salt length means the hash length); k bytes out.
  int Sign(const ByteString& hash, const char* hash_name, bool pss, int salt_length, ByteString& out);
  // OAEP when oaep is set (hash names default to SHA1), else v1.5.
  int Encrypt(const ByteString& message, bool oaep, const ByteString& label, const char* hash_name,
              const char* mgf_hash_name, ByteString& out);
  int Decrypt(const ByteString& ciphertext, bool oaep, const ByteString& label, const char* hash_name,
              const char* mgf_hash_name, ByteString& out);

  // bytes^E mod N, k bytes out; 1110 without N and E, 1114 for input not below N.
  int RsaPublicOp(const ByteString& in, ByteString& out);
  // The private operation, blinded, by CRT when it can and checked with E; k bytes out.
  int RsaPrivateOp(const ByteString& in, ByteString& out);

  const RsaKeyData& key() const { return key_; }
  // Byte length of the modulus.
  int modulus_bytes() const { return (n_.BitLength() + 7) / 8; }

 private:
  int Generate(bool plain);
  int LoadNumbers();
  // c^D mod N as N's number of limbs, still secret.
  int PrivateOp(const BigNumber& c, Limb* m);
  // c^D mod N, by CRT when it can; c and m as N's number of limbs.
  int CrtOrPlain(const Limb* c, Limb* m);
  int RefreshBlinding();
  void DeriveCheckExponent();

  RsaKeyData key_;
  BigNumber n_, e_, d_, p_, q_, dp_, dq_, qinv_;
  MontgomeryContext mont_n_, mont_p_, mont_q_;
  // E, or for a record without it one that the CRT exponents imply; zero when neither is known.
  BigNumber check_e_;
  // r^E and r^-1 mod N, squared after each use; without check_e_, r and r^-D.
  BigNumber blind_, unblind_;
  // The same in Montgomery form when mont_n_ is ready: then these are the ones squared.
  LimbVector blind_mont_, unblind_mont_;
  LimbVector qinv_mont_;  // QInv in P's Montgomery form
  int blind_uses_ = 0;  // since r was last drawn
};

}  // namespace tw
