// The DSA key record: domain parameters, public and private values.
#pragma once

#include <cstdint>

#include "crypto/pubkey/key_record.h"

namespace tw {

class DsaKeyData : public KeyRecord {
 public:
  DsaKeyData() : KeyRecord(kKeyRecordDsa) {}
  DsaKeyData(const DsaKeyData& other) : KeyRecord(kKeyRecordDsa) { CopyFrom(other); }
  DsaKeyData& operator=(const DsaKeyData& other) {
    if (this != &other) CopyFrom(other);
    return *this;
  }
  ~DsaKeyData() override { Clear(); }

  // Empties every field (wiping X) and sets the integer back to 0.
  void Clear();
  // Copies all eight fields; 0 or 200.
  int CopyFrom(const DsaKeyData& other);
  // The private value X is present.
  bool HasPrivate() const;
  // Fits P, G and Y to L/8 bytes and Q and X to N/8, L and N taken from P's and Q's sizes.
  // 0 or 200.
  int PadComponents();
  // Y = G^X mod P when Y is absent and X present; 0 otherwise too. 0, 200 or a big-integer code.
  int DerivePublic();

  ByteString P;
  ByteString Q;
  ByteString G;
  ByteString Y;
  ByteString Reserved1;
  ByteString X;
  ByteString Reserved2;
  int32_t ReservedValue = 0;
};

}  // namespace tw
