// The engine of every elliptic-curve key: ECDSA and EdDSA signatures, ECDH and X25519/X448 shared
// secrets with a derivation step, and the key record in and out.
#pragma once

#include <cstdint>

#include "crypto/pubkey/ec_key_data.h"
#include "crypto/pubkey/pk_algorithm.h"
#include "crypto/symmetric/hash_engine.h"
#include "crypto/symmetric/hmac.h"
#include "foundation/byte_string.h"
#include "platform/ncrypt.h"

namespace tw {

constexpr int kErrEcEdwardsDigest = 1400;
constexpr int kErrEcNoDigest = 1402;
constexpr int kErrEcNoPublic = 1403;
constexpr int kErrEcNoPrivate = 1404;
constexpr int kErrEcNoSignature = 1405;
constexpr int kErrEcPrfSeed = 1407;
constexpr int kErrEcPrfLabel = 1408;
constexpr int kErrEcCurveMismatch = 1414;
constexpr int kErrCngMissing = -1;
constexpr char kCngLibrary[] = "Ncrypt.dll";

// The derivation applied to an agreed secret Z.
enum EcdhKdfType : int {
  kEcdhKdfSha1 = 0,
  kEcdhKdfSha256 = 1,
  kEcdhKdfSha384 = 2,
  kEcdhKdfSha512 = 3,
  kEcdhKdfHmacSha1 = 7,
  kEcdhKdfHmacMd5 = 11,
  kEcdhKdfTlsPrf = 12,
};

// The ncrypt entry points of the CNG paths, bound from "Ncrypt.dll" on first use.
struct CngCalls {
  decltype(&win::NCryptOpenStorageProvider) OpenStorageProvider;
  decltype(&win::NCryptCreatePersistedKey) CreatePersistedKey;
  decltype(&win::NCryptSetProperty) SetProperty;
  decltype(&win::NCryptFinalizeKey) FinalizeKey;
  decltype(&win::NCryptExportKey) ExportKey;
  decltype(&win::NCryptImportKey) ImportKey;
  decltype(&win::NCryptSignHash) SignHash;
  decltype(&win::NCryptVerifySignature) VerifySignature;
  decltype(&win::NCryptSecretAgreement) SecretAgreement;
  decltype(&win::NCryptDeriveKey) DeriveKey;
  decltype(&win::NCryptFreeObject) FreeObject;
};
// Null while ncrypt is missing or switched off; the library is asked on every call, so a switch
// is noticed, and bound once.
const CngCalls* CngEntryPoints();

// The key (its private part when it has one, the public part derived first when missing)
// imported into the software key storage provider; *handle is its key, 0 on failure. 1401 for a
// curve other than P-256/384/521 or a component wider than the curve, 1403 without a public part.
int CngImportEcKey(const EcKeyData& key, uintptr_t* handle);
// The secret agreed with the peer's public key and derived by the KDF ("TLS_PRF", "HMAC" or
// "HASH") with the named hash. For "TLS_PRF" label and seed are the PRF's, checked first (1408
// without a label, 1407 for a seed that is not 64 bytes); otherwise they are prepended and
// appended to the secret, and hmac_key keys "HMAC".
int CngDeriveKey(uintptr_t key, const EcKeyData& peer, const char* kdf, const char* hash, const ByteString& label,
                 const ByteString& seed, ByteString* out, const ByteString* hmac_key = nullptr);

class PublicKey : public PkAlgorithm {
 public:
  PublicKey() : PkAlgorithm(3, 1024) {}
  ~PublicKey() override;

  virtual int Sign(const uint8_t* digest, int length, ByteString& out);
  virtual int Verify(const uint8_t* digest, int length, const uint8_t* sig, int sig_length, bool* valid);
  virtual int DeriveSharedSecret(const EcKeyData& peer, int kdf, const uint8_t* prepend, int prepend_length,
                                 const uint8_t* append, int append_length, const uint8_t* hmac_key, int hmac_length,
                                 ByteString& out);
  virtual int GetKey(bool with_private, EcKeyData& out);
  virtual int SetKey(const EcKeyData& record);

  int SignData(const uint8_t* data, int length, int hash_id, ByteString& out);
  int VerifyData(const uint8_t* data, int length, const uint8_t* sig, int sig_length, int hash_id, bool* valid);
  int CheckReady() const;

  // EdDSA on an Ed25519 or Ed448 key: the scheme follows the curve, the context and the prehash
  // switch (Ed25519 with an empty context, Ed25519ctx, Ed25519ph; Ed448, Ed448ph). With the switch
  // on, the message is the 64-byte prehash. Sign: 0 or an error; Verify: 0 with the verdict, a
  // message or signature that does not fit giving "not valid".
  int EdDsaSign(const uint8_t* message, int length, ByteString& out);
  int EdDsaVerify(const uint8_t* message, int length, const uint8_t* sig, int sig_length, bool* valid);

  bool der_signatures() const { return der_; }
  void set_der_signatures(bool on) { der_ = on; }
  const EcKeyData& key() const { return key_; }
  const ByteString& eddsa_context() const { return ed_context_; }
  int set_eddsa_context(const uint8_t* context, int length) { return ed_context_.Set(context, length); }
  bool eddsa_prehash() const { return prehash_; }
  void set_eddsa_prehash(bool on) { prehash_ = on; }

  // A platform key (from CngImportEcKey) that signs, verifies and agrees in place of the record;
  // the engine frees it. The record is still checked first, as without it.
  void SetCngKey(uintptr_t handle);
  uintptr_t CngKey() const { return cng_key_; }
  // r || s from the platform, in DER when the DER switch is on.
  int CngSignHash(const uint8_t* digest, int length, ByteString& out);
  // A DER signature is taken too; the platform's NTE_BAD_SIGNATURE is a false verdict.
  int CngVerifySignature(const uint8_t* digest, int length, const uint8_t* sig, int sig_length, bool* valid);

 private:
  EcKeyData key_;
  int CngExportKey(bool with_private);

  uintptr_t cng_key_ = 0;  // 0: the key is held in software
  const CngCalls* cng_ = nullptr;  // the calls that free cng_key_
  bool der_ = false;
  ByteString ed_context_;
  bool prehash_ = false;
  HashEngine hash_;
  HmacEngine hmac_;
};

int EcCheckAgreement(const EcKeyData& own, const EcKeyData& peer);
// The raw agreed secret: X25519 or X448 for those peers, else the x coordinate of k Q in the
// field's width. The peer's point must be on its curve and the result must not be the identity.
int EcdhSharedSecret(const EcKeyData& own, const EcKeyData& peer, bool cofactor, ByteString& out);

}  // namespace tw
