// Elliptic-curve domain parameters: the small key-curve ids shared by key records, key files and
// TLS, the full short-Weierstrass parameter object the arithmetic runs on, and the process-wide
// table of named parameter sets linking the two.
#pragma once

#include <cstdint>

#include "foundation/byte_string.h"

namespace tw {

constexpr int kErrEcParams = 1401;
constexpr int kErrEcFieldId = 1410;

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

enum EcFieldId : int {
  kFieldNone = 0x6000,
  kFieldGenericPrime = 0x6100,
  kFieldP192 = 0x6101,
  kFieldP224 = 0x6102,
  kFieldP256 = 0x6103,
  kFieldP384 = 0x6104,
  kFieldP521 = 0x6105,
  kFieldB163 = 0x6106,
  kFieldB571 = 0x610A,
};

enum EcFieldKind : int { kFieldKindNone = 0x6000, kFieldKindPrime = 0x6001, kFieldKindBinary = 0x6002 };

constexpr int kNamedIdExplicit = 80;

int CurveKeySize(int id);
const char* CurveOid(int id);  // "" for an unknown id
int CurveIdFromOid(const char* oid);
inline bool CurveIsPrime(int id) { return id >= 0 && id <= 2; }
inline bool CurveIsEdwards(int id) { return id == 3 || id == 4; }
inline bool CurveIs25519Family(int id) { return id == 3 || id == 5; }
inline bool CurveIs448Family(int id) { return id == 4 || id == 6; }
// Table slot of a key-curve id, -1 when none.
int CurveParamSlot(int id);

// Hex text into bytes, left-padded with zeros to width; an odd text gains a leading "0".
// 0, 202 for a bad digit, or 200.
int LoadHexNumber(const char* text, int width, ByteString& out);

class EcCurveParams {
 public:
  ByteString p, a, b, gx, gy, seed, n;
  int h = 1;
  int m = 0, k1 = 0, k2 = 0, k3 = 0;
  int field_id = kFieldNone;
  int field_kind = kFieldKindNone;
  int named_id = -1;

  // 0, or 1410 for an id outside 0x6100 to 0x610A.
  int SetFieldId(int id);
  int SetModulus(const ByteString& modulus);
  int FieldByteSize() const;
  int FieldBits() const;
  bool IsValid() const;
  int Copy(const EcCurveParams& other);
  // Matches the parameters against the table; the table index, or 80 for explicit parameters.
  int NamedCurveId();
  // Loads table index 0 to 3; 1410 for any other.
  int LoadNamed(int index);
};

// The table entry whose named id is id, or null. Built once, safely across threads.
const EcCurveParams* NamedCurveParams(int id);
// The parameters of a key-curve id, or null (ids 4 and 6 have none).
inline const EcCurveParams* CurveParams(int curve_id) {
  const int slot = CurveParamSlot(curve_id);
  return slot < 0 ? nullptr : NamedCurveParams(slot);
}

}  // namespace tw
