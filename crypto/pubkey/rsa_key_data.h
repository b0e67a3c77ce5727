// The RSA key record: public exponent, modulus, primes, CRT values and private exponent.
#pragma once

#include "crypto/pubkey/key_record.h"

namespace tw {

class RsaKeyData : public KeyRecord {
 public:
  RsaKeyData() : KeyRecord(kKeyRecordRsa) {}
  RsaKeyData(const RsaKeyData& other) : KeyRecord(kKeyRecordRsa) { CopyFrom(other); }
  RsaKeyData& operator=(const RsaKeyData& other) {
    if (this != &other) CopyFrom(other);
    return *this;
  }
  ~RsaKeyData() override { Clear(); }

  // Empties every field, wiping the private ones.
  void Clear();
  // Copies all eight fields; 0 or 200.
  int CopyFrom(const RsaKeyData& other);
  // N and either D or both P and Q.
  bool HasPrivate() const;
  // Fits N and D to w bytes and the half-size values to w/2, w being N's byte length rounded to
  // a multiple of 8. 0 or 200.
  int PadComponents();
  // Computes whichever of DP, DQ and QInv is missing from D, P and Q; nothing without them.
  // 0, 200 or a big-integer code (2002 when Q has no inverse modulo P).
  int CompleteCrt();

  ByteString E;
  ByteString N;
  ByteString P;
  ByteString Q;
  ByteString DP;
  ByteString DQ;
  ByteString QInv;
  ByteString D;
};

}  // namespace tw
