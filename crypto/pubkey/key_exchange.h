// One side of a finite-field or elliptic-curve Diffie-Hellman exchange, the fixed prime table of
// the finite-field groups, and the process-wide temporary RSA key of export key exchange.
#pragma once

#include <cstdint>
#include <memory>

#include "crypto/pubkey/big_number.h"
#include "crypto/pubkey/ec_key_data.h"
#include "crypto/pubkey/rsa_key_data.h"
#include "foundation/byte_string.h"
#include "foundation/ptr_array.h"

namespace tw {

// A peer value outside 1 < Y < p - 1, or a shared secret of 1.
constexpr int kErrDhPeerValue = kErrInvalidArgument;

class KeyExchange {
 public:
  KeyExchange() = default;
  explicit KeyExchange(int role) : role(role) {}
  ~KeyExchange() { Clear(); }
  KeyExchange(const KeyExchange&) = delete;
  KeyExchange& operator=(const KeyExchange&) = delete;

  int CopyFrom(const KeyExchange& other);
  std::unique_ptr<KeyExchange> Clone() const;
  void Clear();

  int SetGenerator(const ByteString& bytes);
  int SetPrime(const ByteString& bytes);
  int SetOwnPublic(const BigNumber& v);
  int SetPeerPublic(const BigNumber& v);
  // Z = peer^X mod P with the exponent kept secret; the peer value must lie in 1 < Y < P - 1
  // and Z must not be 1.
  int ComputeShared();
  int GetSharedSecret(ByteString& out);
  int GetSharedSecretPadded(ByteString& out);
  int GetPublicValue(ByteString& out) const;
  int GetPublicValuePadded(ByteString& out) const;
  // G = 2 and P from the table: the export prime, or the default (ffdhe2048 for a named group,
  // else the 1024-bit MODP prime) unless the list holds a prime of exactly the requested bits.
  int ChoosePrime(bool export_grade, int requested_bits, bool named_group);

  BigNumber g, p, x, z, a, b;
  int32_t prime_bits = 0;
  int32_t requested = 0;
  int32_t role = 1;
  EcKeyData own_ec, peer_ec;
  int32_t ec_mode = 0;

 private:
  const BigNumber& OwnPublic() const { return role ? a : b; }
  const BigNumber& PeerPublic() const { return role ? b : a; }
};

using KeyExchangeArray = PtrArray<KeyExchange>;

// The process-wide temporary 512-bit RSA key, made once on first use (safely across threads)
// and copied to out.
int GetEphemeralRsaKey(RsaKeyData& out);
// Forgets it, so the next call makes a fresh key.
void ResetEphemeralRsaKey();

// Hex text of a table prime: list 0 the seven fixed primes, list 1 the five named ones; null
// outside. The 512-bit export prime is list 2, index 0.
const char* DhTablePrime(int list, int index);

}  // namespace tw
