#include "certs/public_key_info.h"

#include "crypto/pubkey/ec_curve_params.h"

#include <cstring>

namespace tw {

namespace {

constexpr const char* kOidRsa = "1.2.840.113549.1.1.1";
constexpr const char* kOidRsaPss = "1.2.840.113549.1.1.10";
constexpr const char* kOidDsa = "1.2.840.10040.4.1";
constexpr const char* kOidEcPublicKey = "1.2.840.10045.2.1";

// Raw key sizes of the Curve25519 and Curve448 families, by curve id 3 to 6.
constexpr int kRawKeySize[] = {32, 57, 32, 56};

int CurveIdOf(const char* oid) {
  const int id = CurveIdFromOid(oid);
  return id < 0 ? kCurveNone : id;
}

int AppendUnsigned(DerWriter* w, const ByteString& v) {
  if (v.empty()) return kErrDerWrite;
  return w->DerAppendUnsignedInteger(v.bytes(), v.length());
}

}  // namespace

int ParseAlgorithmIdentifier(const DerCursor& der, ByteStringPair* pair) {
  DerCursor all = der, seq, params;
  uint8_t tag = 0;
  int rc = all.Next(&tag, &seq);
  if (rc == kOk) rc = seq.NextOid(&pair->first);
  if (rc != kOk) return rc;
  if (seq.empty()) {
    pair->second.Reset();
    return kOk;
  }
  rc = seq.Next(&tag, nullptr, &params);
  if (rc != kOk) return rc;
  return pair->second.Set(params.data(), static_cast<int>(params.size()));
}

int ParseAlgorithmIdentifier(const ByteString& der, ByteStringPair* pair) {
  return ParseAlgorithmIdentifier(DerCursor(der), pair);
}

int EncodeAlgorithmIdentifier(const ByteStringPair& pair, DerWriter* writer,
                              bool with_parameters) {
  int rc = writer->DerOpenConstructed(0x30);
  if (rc == kOk) rc = writer->DerAppendOid(6, pair.first.c_str());
  if (rc == kOk && with_parameters) {
    rc = pair.second.empty() ? writer->DerAppendNull(5)
                             : writer->AppendRaw(pair.second.data(), pair.second.length());
  }
  if (rc == kOk) rc = writer->DerCloseConstructed(false);
  return rc;
}

int ReadSubjectPublicKeyInfo(const DerCursor& spki, ByteStringPair* algorithm, KeyPair* key) {
  DerCursor all = spki, seq, alg, bits_content;
  uint8_t tag = 0;
  int rc = all.Next(&tag, &seq);
  if (rc == kOk) rc = seq.Next(&tag, nullptr, &alg);
  if (rc == kOk) rc = ParseAlgorithmIdentifier(alg, algorithm);
  if (rc == kOk) rc = seq.Next(&tag, &bits_content);
  if (rc == kOk && tag != 3) rc = kErrDerMalformed;
  DerCursor bits;
  if (rc == kOk) rc = DerBitStringBytes(bits_content, &bits, nullptr);
  if (rc != kOk) return rc;
  const char* oid = algorithm->first.c_str();
  KeyPair fresh;
  if (std::strcmp(oid, kOidRsa) == 0 || std::strcmp(oid, kOidRsaPss) == 0) {
    DerCursor inner;
    rc = bits.Next(&tag, &inner);
    if (rc == kOk) rc = inner.NextUnsigned(&fresh.rsa.N);
    if (rc == kOk) rc = inner.NextUnsigned(&fresh.rsa.E);
    fresh.type = kKeyRsa;
  } else if (std::strcmp(oid, kOidDsa) == 0) {
    DerCursor params(algorithm->second), p;
    if (!params.empty()) {
      rc = params.Next(&tag, &p);
      if (rc == kOk) rc = p.NextUnsigned(&fresh.dsa.P);
      if (rc == kOk) rc = p.NextUnsigned(&fresh.dsa.Q);
      if (rc == kOk) rc = p.NextUnsigned(&fresh.dsa.G);
    }
    if (rc == kOk) rc = bits.NextUnsigned(&fresh.dsa.Y);
    fresh.type = kKeyDsa;
  } else if (std::strcmp(oid, kOidEcPublicKey) == 0) {
    DerCursor params(algorithm->second), curve;
    rc = params.Next(&tag, &curve);
    ByteString curve_oid;
    if (rc == kOk && tag == 6) rc = DerOidToText(curve.data(), curve.size(), &curve_oid);
    fresh.type = kKeyEc;
    fresh.ec.curve_id = rc == kOk && tag == 6 ? CurveIdOf(curve_oid.c_str()) : kCurveNone;
    rc = kOk;  // explicit or unknown curves keep the point but no id
    const size_t n = bits.size();
    SpanReader point(bits.data(), n), x, y;
    uint8_t form = 0;
    // Only the uncompressed form splits without curve arithmetic.
    if (n >= 3 && (n & 1) && point.ReadU8(&form) && form == 0x04 && point.ReadBytes(n / 2, &x) &&
        point.ReadBytes(n / 2, &y)) {
      rc = fresh.ec.X.Set(x.data(), static_cast<int>(x.remaining()));
      if (rc == kOk) rc = fresh.ec.Y.Set(y.data(), static_cast<int>(y.remaining()));
    } else if (n == 0) {
      rc = kErrDerMalformed;
    }
  } else {
    const int id = CurveIdOf(oid);
    if (id >= kCurveEd25519 && id <= kCurveX448) {
      if (bits.size() != static_cast<size_t>(kRawKeySize[id - kCurveEd25519])) {
        return kErrDerMalformed;
      }
      fresh.type = kKeyEdwards;
      fresh.edwards.curve_id = id;
      rc = fresh.edwards.public_bytes.Set(bits.data(), static_cast<int>(bits.size()));
    }
  }
  if (rc != kOk) return rc;
  return key->CopyFrom(fresh);
}

int WriteSubjectPublicKeyInfo(const KeyPair& key, DerWriter* w) {
  const int before = w->output().length();
  const int open = w->OpenCount();
  ByteStringPair alg;
  int rc = w->DerOpenConstructed(0x30);
  switch (key.type) {
    case kKeyRsa:
      alg.first.SetText(kOidRsa);
      if (rc == kOk) rc = EncodeAlgorithmIdentifier(alg, w, true);
      if (rc == kOk) {
        DerWriter inner;
        rc = inner.DerOpenConstructed(0x30);
        if (rc == kOk) rc = AppendUnsigned(&inner, key.rsa.N);
        if (rc == kOk) rc = AppendUnsigned(&inner, key.rsa.E);
        if (rc == kOk) rc = inner.DerCloseConstructed(false);
        if (rc == kOk) rc = w->DerAppendBitString(3, inner.output().data(), inner.output().length());
      }
      break;
    case kKeyDsa: {
      if (rc == kOk) rc = w->DerOpenConstructed(0x30);
      if (rc == kOk) rc = w->DerAppendOid(6, kOidDsa);
      if (rc == kOk) rc = w->DerOpenConstructed(0x30);
      if (rc == kOk) rc = AppendUnsigned(w, key.dsa.P);
      if (rc == kOk) rc = AppendUnsigned(w, key.dsa.Q);
      if (rc == kOk) rc = AppendUnsigned(w, key.dsa.G);
      if (rc == kOk) rc = w->DerCloseConstructed(false);
      if (rc == kOk) rc = w->DerCloseConstructed(false);
      DerWriter inner;
      if (rc == kOk) rc = AppendUnsigned(&inner, key.dsa.Y);
      if (rc == kOk) rc = w->DerAppendBitString(3, inner.output().data(), inner.output().length());
      break;
    }
    case kKeyEc: {
      const char* curve = CurveOid(key.ec.curve_id);
      if (!*curve || key.ec.X.empty() || key.ec.Y.empty() || key.ec.X.length() != key.ec.Y.length()) {
        rc = kErrDerWrite;
        break;
      }
      if (rc == kOk) rc = w->DerOpenConstructed(0x30);
      if (rc == kOk) rc = w->DerAppendOid(6, kOidEcPublicKey);
      if (rc == kOk) rc = w->DerAppendOid(6, curve);
      if (rc == kOk) rc = w->DerCloseConstructed(false);
      ByteString point;
      if (rc == kOk) rc = point.AppendByte(0x04);
      if (rc == kOk) rc = point.AppendString(key.ec.X);
      if (rc == kOk) rc = point.AppendString(key.ec.Y);
      if (rc == kOk) rc = w->DerAppendBitString(3, point.data(), point.length());
      break;
    }
    case kKeyEdwards: {
      const char* oid = CurveOid(key.edwards.curve_id);
      if (!*oid || key.edwards.curve_id < kCurveEd25519 || key.edwards.public_bytes.empty()) {
        rc = kErrDerWrite;
        break;
      }
      alg.first.SetText(oid);
      if (rc == kOk) rc = EncodeAlgorithmIdentifier(alg, w, false);
      if (rc == kOk) {
        rc = w->DerAppendBitString(3, key.edwards.public_bytes.data(),
                                   key.edwards.public_bytes.length());
      }
      break;
    }
    default:
      rc = kErrDerWrite;
  }
  if (rc == kOk) rc = w->DerCloseConstructed(false);
  if (rc != kOk) {
    while (w->OpenCount() > open) w->DerCloseConstructed(false);
    w->output().Resize(before);
  }
  return rc;
}

}  // namespace tw
