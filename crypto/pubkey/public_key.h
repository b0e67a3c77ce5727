// The engine of every elliptic-curve key: ECDSA and EdDSA signatures, ECDH and X25519/X448 shared
// secrets with a derivation step, and the key record in and out.
#pragma once

#include <cstdint>

#include "crypto/pubkey/ec_key_data.h"
#include "crypto/pubkey/pk_algorithm.h"
#include "crypto/symmetric/hash_engine.h"
#include "crypto/symmetric/hmac.h"
#include "foundation/byte_string.h"

namespace tw {

constexpr int kErrEcEdwardsDigest = 1400;
constexpr int kErrEcNoDigest = 1402;
constexpr int kErrEcNoPublic = 1403;
constexpr int kErrEcNoPrivate = 1404;
constexpr int kErrEcNoSignature = 1405;
constexpr int kErrEcPrfSeed = 1407;
constexpr int kErrEcPrfLabel = 1408;
constexpr int kErrEcCurveMismatch = 1414;

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

class PublicKey : public PkAlgorithm {
 public:
  PublicKey() : PkAlgorithm(3, 1024) {}
  ~PublicKey() override = default;

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

 private:
  EcKeyData key_;
  uintptr_t cng_key_ = 0;  // no platform key store here: always software
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
