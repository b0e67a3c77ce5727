// The key record of every elliptic-curve and Edwards/Montgomery key, with the SEC 1 point
// formats, key generation and the public part derived from the private one.
#pragma once

#include <cstdint>

#include "crypto/pubkey/ec_curve_params.h"
#include "crypto/pubkey/key_record.h"
#include "foundation/byte_string.h"

namespace tw {

constexpr int kErrEcCngBlob = 1409;
constexpr int kErrEdPrivateLength = 0x81000;

class EcKeyData : public KeyRecord {
 public:
  EcKeyData() : KeyRecord(kKeyRecordEc) {}
  ~EcKeyData() override { Clear(); }
  EcKeyData(const EcKeyData& other) : KeyRecord(kKeyRecordEc) { CopyAll(other); }
  EcKeyData& operator=(const EcKeyData& other) {
    if (this != &other) CopyAll(other);
    return *this;
  }

  // Empties the five strings (wiping the private ones); curve id and flag become 0.
  void Clear();
  // The private parts only, wiped.
  void ClearPrivate();
  // Whether the curve keeps its key as raw bytes (Ed25519, Ed448, X25519, X448).
  bool UsesRawBytes() const { return curve_id >= kCurveEd25519 && curve_id <= kCurveX448; }
  bool HasPublic() const;
  bool HasPrivate() const;
  // Curve id, flag, public bytes, X and Y; with with_private also D and the private bytes.
  // 0 or 200; a failed copy leaves the record cleared.
  int Copy(const EcKeyData& src, bool with_private);
  int CopyAll(const EcKeyData& src) { return Copy(src, true); }
  int SetCurveByName(const char* oid);
  int ImportCngBlob(const ByteString& blob);
  int EncodePublic(bool compressed, ByteString& out) const;
  int DecodePoint(const ByteString& encoded);
  int DerivePublic();
  // The table parameters of the record's curve, or null.
  const EcCurveParams* Params() const { return CurveParams(curve_id); }

  ByteString D;
  ByteString X;
  ByteString Y;
  int32_t curve_id = kCurveNone;
  int32_t flag = 0;
  ByteString public_bytes;
  ByteString private_bytes;
  const void* cached_params = nullptr;  // the curve table slot last looked up; never copied
};

int EcPointEncode(const ByteString& x, const ByteString& y, const EcCurveParams& params, bool compressed, bool hybrid,
                  ByteString& out);
// Decodes into x and y; false when the encoding is not understood (the identity, a lone 00,
// gives empty x and y).
bool EcPointDecode(const ByteString& encoded, const EcCurveParams& params, ByteString& x, ByteString& y);
int EcGenerateKey(int curve_id, EcKeyData& record);
// The light check an engine runs when it takes a key.
bool EcKeyCheck(const EcKeyData& record, bool full);
// Whether X and Y are a point of the record's prime curve other than the identity.
bool EcPublicPointValid(const EcKeyData& record);

int X448PublicFromPrivate(const ByteString& priv, ByteString& pub);

}  // namespace tw
