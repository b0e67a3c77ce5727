// The DSA engine: signatures over a caller's hash, verification, and generation of domain
// parameters and keys by the SHA-1 seed method or the probable-prime method.
#pragma once

#include "crypto/pubkey/big_number.h"
#include "crypto/pubkey/dsa_key_data.h"
#include "crypto/pubkey/montgomery.h"
#include "crypto/pubkey/pk_algorithm.h"

namespace tw {

constexpr int kErrDsaBadKey = 1201;
constexpr int kErrDsaNoHash = 1202;
constexpr int kErrDsaNoKey = 1203;
constexpr int kErrDsaNoPrivate = 1204;
constexpr int kErrDsaNoSignature = 1205;

class DsaEngine : public PkAlgorithm {
 public:
  DsaEngine() : PkAlgorithm(1, 1024) {}
  ~DsaEngine() override = default;

  // r and s over the hash (cut to Q's bit length), each exactly Q's byte length: as a DER
  // SEQUENCE of two INTEGERs with the DER switch, else r followed by s.
  int Sign(const ByteString& hash, ByteString& out);
  // A verdict: the signature in DER, or raw r ‖ s of twice Q's byte length. A bad signature is
  // valid = false with 0.
  int Verify(const ByteString& hash, const ByteString& signature, bool* valid);
  // Copies P, Q, G and Y out (and X with with_private), generating parameters and a key of the
  // engine's size first when there is no G: the seed method, or the probable-prime method.
  int GetKey(DsaKeyData& out, bool with_private, bool seed_method);
  int SetKey(const DsaKeyData& key);

  bool der_output() const { return der_output_; }
  void set_der_output(bool on) { der_output_ = on; }
  const DsaKeyData& key() const { return key_; }

 private:
  int GenerateBySeed(int l_bits, BigNumber& p, BigNumber& q);
  int GenerateByProgression(int l_bits, BigNumber& p, BigNumber& q);
  int FinishKey(const BigNumber& p, const BigNumber& q);
  // The hash as an integer, cut to the bit length of Q.
  void HashValue(const ByteString& hash, BigNumber& z) const;

  DsaKeyData key_;
  BigNumber p_, q_, g_, y_, x_;
  MontgomeryContext mont_p_;  // kept with the key: every signature and verdict works modulo P
  // Signing works modulo Q in fixed-width Montgomery products, X kept there in that form.
  MontgomeryContext mont_q_;
  LimbVector xm_;
  bool der_output_ = false;
};

}  // namespace tw
