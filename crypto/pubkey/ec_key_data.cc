#include "crypto/pubkey/ec_key_data.h"

#include <cstring>
#include <memory>
#include <vector>

#include "crypto/pubkey/curve25519.h"
#include "crypto/pubkey/curve448.h"
#include "crypto/pubkey/ec_point.h"
#include "crypto/pubkey/ed25519.h"
#include "crypto/pubkey/ed448.h"
#include "crypto/pubkey/prime_field.h"
#include "crypto/symmetric/random_source.h"
#include "foundation/span_reader.h"
#include "foundation/span_writer.h"

namespace tw {
namespace {

bool IsMontOrEd(int id) { return CurveIs25519Family(id) || CurveIs448Family(id); }

int LeftPad(const ByteString& in, int width, ByteString& out) {
  int start = 0;
  while (start < in.length() && in.bytes()[start] == 0 && in.length() - start > width) ++start;
  const int len = in.length() - start;
  if (len > width) return kErrEcParams;
  if (int rc = out.SetData(width, nullptr)) return rc;
  std::memset(out.bytes(), 0, static_cast<size_t>(width - len));
  std::memcpy(out.bytes() + width - len, in.bytes() + start, static_cast<size_t>(len));
  return 0;
}

// Q = d G for a prime curve, X and Y of the field's width.
int PrimePublic(const EcCurveParams& c, const ByteString& d, ByteString& x, ByteString& y) {
  std::unique_ptr<EcGroup> holder;
  const EcGroup* g = EcGroupFor(c, holder);
  if (!g) return kErrEcParams;
  const int w = g->field_bytes();
  std::vector<uint8_t> xy(2 * static_cast<size_t>(w));
  bool inf = false;
  if (int rc = g->MulSecret(d.bytes(), d.length(), nullptr, nullptr, xy.data(), &inf)) return rc;
  if (inf) return kErrEcParams;  // a scalar that is a multiple of the order has no public point
  if (int rc = x.Set(xy.data(), w)) return rc;
  return y.Set(xy.data() + w, w);
}

}  // namespace

bool EcKeyData::HasPublic() const {
  if (IsMontOrEd(curve_id)) return public_bytes.length() > 0;
  return X.length() > 0 && Y.length() > 0;
}

bool EcKeyData::HasPrivate() const {
  if (IsMontOrEd(curve_id)) return private_bytes.length() > 0;
  return D.length() > 0;
}

void EcKeyData::ClearPrivate() {
  WipeComponent(D);
  WipeComponent(private_bytes);
}

void EcKeyData::Clear() {
  ClearPrivate();
  X.Reset();
  Y.Reset();
  public_bytes.Reset();
  curve_id = 0;
  flag = 0;
  cached_params = nullptr;
}

int EcKeyData::Copy(const EcKeyData& src, bool with_private) {
  if (this == &src) return 0;
  Clear();  // a public-only copy must not keep an earlier private part
  curve_id = src.curve_id;
  flag = src.flag;
  if (int rc = public_bytes.Assign(src.public_bytes)) return rc;
  int rc = X.Assign(src.X);
  if (rc == 0) rc = Y.Assign(src.Y);
  if (rc == 0 && with_private) rc = D.Assign(src.D);
  if (rc == 0 && with_private) rc = private_bytes.Assign(src.private_bytes);
  if (rc) Clear();  // a failed copy leaves the record cleared
  return rc;
}

int EcKeyData::SetCurveByName(const char* oid) {
  curve_id = CurveIdFromOid(oid);
  return curve_id < 0 ? -1 : 0;
}

int EcKeyData::ImportCngBlob(const ByteString& blob) {
  SpanReader r(blob);
  uint32_t magic = 0;
  // The magic's low bit tells a public blob; the stated width is not trusted, the size is.
  if (!r.ReadU32Le(&magic) || !r.Skip(4)) return kErrEcCngBlob;
  const bool is_public = (magic >> 24) & 1;
  const size_t len = r.remaining() / (is_public ? 2 : 3);
  const int id = len == 32 ? 0 : len == 48 ? 1 : len == 66 ? 2 : -1;
  if (id < 0) return kErrEcCngBlob;
  curve_id = id;
  ByteString* parts[] = {&X, &Y, &D};
  for (int i = 0; i < (is_public ? 2 : 3); ++i) {
    if (!r.ReadString(len, parts[i])) return kErrOutOfMemory;
  }
  return 0;
}

int EcPointEncode(const ByteString& x, const ByteString& y, const EcCurveParams& params, bool compressed, bool hybrid,
                  ByteString& out) {
  if (compressed && params.field_kind == kFieldKindNone) return kErrEcParams;
  const int s = params.FieldByteSize();
  if (x.length() < 1 || x.length() > s || y.length() < 1 || y.length() > s) return kErrEcParams;
  // Binary fields are not built: their compression bit has no source here.
  if ((compressed || hybrid) && params.field_kind == kFieldKindBinary) return kErrEcParams;
  const int bit = y.bytes()[y.length() - 1] & 1;
  out.Reset();
  SpanWriter w(out);
  w.U8(static_cast<uint8_t>(compressed ? 2 + bit : hybrid ? 6 + bit : 4));
  // Each coordinate right-aligned in the field's width.
  w.Zeros(static_cast<size_t>(s - x.length()));
  w.Bytes(x);
  if (!compressed) {
    w.Zeros(static_cast<size_t>(s - y.length()));
    w.Bytes(y);
  }
  return w.rc();
}

bool EcPointDecode(const ByteString& enc, const EcCurveParams& params, ByteString& x, ByteString& y) {
  const size_t s = static_cast<size_t>(params.FieldByteSize());
  SpanReader r(enc), xs;
  uint8_t kind = 0;
  if (!r.ReadU8(&kind)) return false;
  if (kind == 0) {
    x.Reset();
    y.Reset();
    return true;
  }
  if (kind == 4 || kind == 6 || kind == 7) {
    return r.remaining() == 2 * s && r.ReadString(s, &x) && r.ReadString(s, &y);
  }
  if ((kind == 2 || kind == 3) && r.remaining() == s && params.field_kind == kFieldKindPrime) {
    r.ReadBytes(s, &xs);
    WideInt wx, wa, wb, wp, wy;
    if (WideIntFromBytes(wx, xs.data(), static_cast<int>(s)) || WideIntFromBytes(wa, params.a) ||
        WideIntFromBytes(wb, params.b) || WideIntFromBytes(wp, params.p))
      return false;
    if (!EcDecompressY(kind - 2, wx, wa, wb, wp, params.field_id, wy)) return false;
    return WideIntToBytes(wy, static_cast<int>(s), y) == 0 && x.Set(xs.data(), static_cast<int>(s)) == 0;
  }
  return false;
}

int EcKeyData::EncodePublic(bool compressed, ByteString& out) const {
  const EcCurveParams* c = Params();
  if (!c) return kErrEcParams;
  ByteString px, py;
  const int s = c->FieldByteSize();
  if (LeftPad(X, s, px) || LeftPad(Y, s, py)) return kErrEcParams;
  return EcPointEncode(px, py, *c, compressed, false, out);
}

int EcKeyData::DecodePoint(const ByteString& encoded) {
  const EcCurveParams* c = Params();
  if (!c || !EcPointDecode(encoded, *c, X, Y)) return kErrEcParams;
  return 0;
}

int EcKeyData::DerivePublic() {
  if (!HasPrivate() || HasPublic()) return 0;
  switch (curve_id) {
    case kCurveEd25519:
      return Ed25519PublicFromPrivate(private_bytes, public_bytes);
    case kCurveEd448:
      return Ed448PublicFromPrivate(private_bytes, public_bytes);
    case kCurveX25519:
      return X25519PublicFromPrivate(private_bytes, &public_bytes);
    case kCurveX448:
      return X448PublicFromPrivate(private_bytes, public_bytes);
    default: {
      const EcCurveParams* c = Params();
      if (!c) return kErrEcParams;
      return PrimePublic(*c, D, X, Y);
    }
  }
}

int EcGenerateKey(int curve_id, EcKeyData& record) {
  if (CurveIsPrime(curve_id)) {
    record.Clear();
    record.curve_id = curve_id;
    const EcCurveParams* c = record.Params();
    if (!c) return kErrEcParams;
    std::unique_ptr<EcGroup> holder;
    const EcGroup* g = EcGroupFor(*c, holder);
    if (!g) return kErrEcParams;
    // Eight extra random bytes make the bias of the reduction negligible.
    const int nb = g->order_bytes();
    std::vector<uint8_t> raw(static_cast<size_t>(nb) + 8), dd(static_cast<size_t>(nb));
    RandomSource rs;
    for (;;) {
      if (int rc = rs.Fill(raw.data(), static_cast<int>(raw.size()))) return rc;
      if (int rc = g->ReduceScalar(raw.data(), static_cast<int>(raw.size()), dd.data())) return rc;
      if (!CurveBytesAllZero(dd.data(), nb)) break;
    }
    explicit_bzero(raw.data(), raw.size());
    int rc = record.D.Set(dd.data(), nb);
    explicit_bzero(dd.data(), dd.size());
    if (rc) return rc;
    return PrimePublic(*c, record.D, record.X, record.Y);
  }
  if (curve_id < 3 || curve_id > 6) return kErrEcFieldId;
  record.curve_id = curve_id;
  const int size = CurveKeySize(curve_id);
  if (int rc = record.private_bytes.SetData(size, nullptr)) return rc;
  RandomSource rs;
  if (int rc = rs.Fill(record.private_bytes.bytes(), size)) return rc;
  uint8_t* k = record.private_bytes.bytes();
  if (curve_id == kCurveX25519) {
    k[0] &= 0xF8;
    k[31] = static_cast<uint8_t>((k[31] & 0x3F) | 0x40);
  } else if (curve_id == kCurveX448) {
    k[0] &= 0xFC;
    k[55] |= 0x80;
  }
  record.public_bytes.Reset();
  return record.DerivePublic();
}

bool EcKeyCheck(const EcKeyData& r, bool /*full*/) {
  if (CurveIsPrime(r.curve_id)) return r.D.length() > 0 || (r.X.length() > 0 && r.Y.length() > 0);
  if (r.curve_id >= 3 && r.curve_id <= 6) {
    const int size = CurveKeySize(r.curve_id);
    if (r.public_bytes.length() && r.public_bytes.length() != size) return false;
    if (r.private_bytes.length() && r.private_bytes.length() != size) return false;
    return r.public_bytes.length() || r.private_bytes.length();
  }
  return false;
}

bool EcPublicPointValid(const EcKeyData& r) {
  const EcCurveParams* c = r.Params();
  if (!c || !CurveIsPrime(r.curve_id) || !r.X.length() || !r.Y.length()) return false;
  std::unique_ptr<EcGroup> holder;
  const EcGroup* g = EcGroupFor(*c, holder);
  if (!g) return false;
  ByteString px, py;
  if (LeftPad(r.X, g->field_bytes(), px) || LeftPad(r.Y, g->field_bytes(), py)) return false;
  return g->OnCurve(px.bytes(), py.bytes());
}

int X448PublicFromPrivate(const ByteString& priv, ByteString& pub) {
  if (priv.length() != 56) return kErrEcParams;
  uint8_t base[56] = {5};
  if (int rc = pub.SetData(56, nullptr)) return rc;
  return X448(priv.bytes(), 56, base, 56, pub.bytes(), 56);
}

}  // namespace tw
