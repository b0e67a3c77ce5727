// The key record of every elliptic-curve and Edwards/Montgomery key: prime-curve coordinates and
// scalar, or the raw public and private bytes of the Curve25519 and Curve448 families.
#pragma once

#include <cstdint>

#include "crypto/pubkey/key_record.h"

namespace tw {

// Key-curve ids shared by key records, key files and TLS.
enum KeyCurveId : int32_t {
  kCurveNone = -1,
  kCurveP256 = 0,
  kCurveP384 = 1,
  kCurveP521 = 2,
  kCurveEd25519 = 3,
  kCurveEd448 = 4,
  kCurveX25519 = 5,
  kCurveX448 = 6,
};

class EcKeyData : public KeyRecord {
 public:
  EcKeyData() : KeyRecord(kKeyRecordEc) {}
  EcKeyData(const EcKeyData& other) : KeyRecord(kKeyRecordEc) { CopyAll(other); }
  EcKeyData& operator=(const EcKeyData& other) {
    if (this != &other) CopyAll(other);
    return *this;
  }
  ~EcKeyData() override { Clear(); }

  // Empties the five strings (wiping the private ones); curve id and flag become 0.
  void Clear();
  // Curve id, flag, public bytes, X and Y; with with_private also D and the private bytes.
  // 0 or 200; a failed copy leaves the record cleared.
  int Copy(const EcKeyData& src, bool with_private);
  int CopyAll(const EcKeyData& src) { return Copy(src, true); }
  // The private parts only, wiped.
  void ClearPrivate();

  // Whether the curve keeps its key as raw bytes (Ed25519, Ed448, X25519, X448).
  bool UsesRawBytes() const { return curve_id >= kCurveEd25519 && curve_id <= kCurveX448; }
  bool HasPublic() const;
  bool HasPrivate() const;

  ByteString D;
  ByteString X;
  ByteString Y;
  int32_t curve_id = kCurveNone;
  int32_t flag = 0;
  ByteString public_bytes;
  ByteString private_bytes;
  const void* cached_params = nullptr;  // the curve table slot last looked up; never copied
};

}  // namespace tw
