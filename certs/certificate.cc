#include "certs/certificate.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "certs/distinguished_name.h"
#include "certs/oid_names.h"
#include "certs/pem_armor.h"
#include "certs/public_key_info.h"
#include "foundation/date_time.h"
#include "foundation/text_conversion.h"

namespace tw {

namespace {

constexpr uint8_t kTagInteger = 0x02;
constexpr uint8_t kTagBitString = 0x03;
constexpr uint8_t kTagOctetString = 0x04;
constexpr uint8_t kTagSequence = 0x30;
constexpr uint8_t kTagUtcTime = 23;
constexpr uint8_t kTagGeneralizedTime = 24;
constexpr uint8_t kTagVersion = 0xA0;
constexpr uint8_t kTagExtensions = 0xA3;
constexpr int kErrPropertyMissing = 202;

// The elements of a constructed element's content, at most `max` of them.
int SplitChildren(const DerCursor& content, DerCursor* children, uint8_t* tags, int max,
                  int* count) {
  DerCursor c = content;
  int n = 0;
  while (!c.empty() && n < max) {
    DerCursor inner;
    int rc = c.Next(&tags[n], &inner, &children[n]);
    if (rc != kOk) return n == 0 ? kErrDerIncomplete : kErrDerMalformed;
    ++n;
  }
  *count = n;
  return kOk;
}

// n decimal digits as a number; false, the reader left in place, when they are not all there.
bool ReadDigits(SpanReader* r, int n, int* out) {
  SpanReader copy = *r;
  int v = 0;
  for (int i = 0; i < n; ++i) {
    uint8_t c = 0;
    if (!copy.ReadU8(&c) || c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
  }
  *out = v;
  *r = copy;
  return true;
}

bool IsDigits(const char* p, int n) {
  for (int i = 0; i < n; ++i) {
    if (p[i] < '0' || p[i] > '9') return false;
  }
  return true;
}

}  // namespace

int CertTimeToText(int tag, const DerCursor& content, ByteString* text) {
  ByteString t;
  int rc = kOk;
  if (tag == kTagUtcTime) {
    if (content.size() < 2) return kErrDerIncomplete;
    SpanReader century(content.data(), content.size());
    int yy = 0;
    if (!ReadDigits(&century, 2, &yy)) return kErrDerMalformed;
    rc = t.SetText(yy < 50 ? "20" : "19");
  } else if (tag != kTagGeneralizedTime) {
    return kErrDerMalformed;
  }
  if (rc == kOk) rc = t.Append(content.data(), static_cast<int>(content.size()));
  if (rc != kOk) return rc;
  SpanReader r(t);
  if (r.remaining() < 10) return kErrDerIncomplete;
  DateFields f;
  if (!ReadDigits(&r, 4, &f.year) || !ReadDigits(&r, 2, &f.month) || !ReadDigits(&r, 2, &f.day) ||
      !ReadDigits(&r, 2, &f.hour)) {
    return kErrDerMalformed;
  }
  if (ReadDigits(&r, 2, &f.minute)) ReadDigits(&r, 2, &f.second);
  uint8_t c = 0;
  if (r.PeekU8(&c) && c == '.') {
    r.Skip(1);
    while (r.PeekU8(&c) && c >= '0' && c <= '9') r.Skip(1);
  }
  int offset_minutes = 0;
  if (r.ReadU8(&c)) {
    if (c == 'Z') {
      if (!r.empty()) return kErrDerMalformed;
    } else if (c == '+' || c == '-') {
      if (r.remaining() != 4) return kErrDerIncomplete;
      int hh = 0, mm = 0;
      if (!ReadDigits(&r, 2, &hh) || !ReadDigits(&r, 2, &mm) || mm > 59) return kErrDerMalformed;
      offset_minutes = (hh * 60 + mm) * (c == '+' ? 1 : -1);
    } else {
      return kErrDerMalformed;
    }
  }
  if (f.month < 1 || f.month > 12 || f.day < 1 || f.day > 31 || f.hour > 23 || f.minute > 59 ||
      f.second > 59) {
    return kErrDerMalformed;
  }
  // The local time minus its offset is UTC.
  if (offset_minutes != 0 && !AddMinutesToDateTime(&f, -offset_minutes)) return kErrDerMalformed;
  char out[32];
  std::snprintf(out, sizeof(out), "%04d%02d%02d%02d%02d%02d", f.year, f.month, f.day, f.hour,
                f.minute, f.second);
  return text->SetText(out);
}

int EncodeCertTime(const char* text, DerWriter* writer) {
  if (!text || std::strlen(text) != 14 || !IsDigits(text, 14)) return kErrDerMalformed;
  const int year = (text[0] - '0') * 1000 + (text[1] - '0') * 100 + (text[2] - '0') * 10 +
                   (text[3] - '0');
  char buf[16];
  // Two year digits read back as 1950 to 2049 only; any other year needs all four.
  if (year >= 2050 || year < 1950) {
    std::snprintf(buf, sizeof(buf), "%sZ", text);
    return writer->DerAppendTlv(kTagGeneralizedTime, buf, 15);
  }
  std::snprintf(buf, sizeof(buf), "%sZ", text + 2);
  return writer->DerAppendTlv(kTagUtcTime, buf, 13);
}

int TbsCertificate::CopyFrom(const TbsCertificate& other) {
  if (this == &other) return kOk;
  version = other.version;
  ByteString* mine[] = {&serialDer,  &serialHex,   &issuerText,    &issuerDer, &notBefore,
                        &notAfter,   &subjectText, &publicKeyInfo, &extra};
  const ByteString* theirs[] = {&other.serialDer,  &other.serialHex,   &other.issuerText,
                                &other.issuerDer,  &other.notBefore,   &other.notAfter,
                                &other.subjectText, &other.publicKeyInfo, &other.extra};
  for (int i = 0; i < 9; ++i) {
    int rc = mine[i]->Assign(*theirs[i]);
    if (rc != kOk) return rc;
  }
  int rc = signatureAlgorithm.CopyFrom(other.signatureAlgorithm);
  if (rc == kOk) rc = publicKeyAlgorithm.CopyFrom(other.publicKeyAlgorithm);
  if (rc == kOk) rc = publicKey.CopyFrom(other.publicKey);
  if (rc == kOk) rc = extensions.CopyFrom(other.extensions);
  if (rc != kOk) return rc;
  extensionDers = other.extensionDers;
  return extensionDers.packed().length() == other.extensionDers.packed().length()
             ? kOk
             : kErrOutOfMemory;
}

int ParseTbsCertificate(const DerCursor& tbs_der, TbsCertificate* r) {
  DerCursor all = tbs_der, content;
  uint8_t tag = 0;
  int rc = all.Next(&tag, &content);
  if (rc != kOk) return rc;
  // Version, six fields, two unique ids and the extensions: anything after that is ignored.
  constexpr int kMax = 10;
  DerCursor kids[kMax];
  uint8_t tags[kMax];
  int count = 0;
  rc = SplitChildren(content, kids, tags, kMax, &count);
  if (rc != kOk) return rc;
  if (count < 1) return kErrDerIncomplete;
  int b = -1;
  r->version = 0;
  if (tags[0] & 0x20) {
    b = 0;
    DerCursor v_content;
    DerCursor k = kids[0];
    rc = k.Next(&tag, &v_content);
    ByteString inner;
    if (rc == kOk) rc = inner.Set(v_content.data(), static_cast<int>(v_content.size()));
    int vtag = 0;
    if (rc == kOk) rc = DerReadIntAt(inner, 0, &r->version, &vtag);
    if (rc != kOk) return rc;
  }
  if (count < b + 7) return kErrDerIncomplete;  // a TBS cut short before its public key
  DerCursor c;
  // serialNumber
  DerCursor serial = kids[b + 1];
  if (tags[b + 1] != kTagInteger) return kErrDerMalformed;
  rc = r->serialDer.Set(serial.data(), static_cast<int>(serial.size()));
  if (rc == kOk) rc = serial.Next(&tag, &c);
  if (rc != kOk) return rc;
  if (c.empty()) return kErrDerMalformed;
  {
    SpanReader digits(c.data(), c.size());
    uint8_t first = 0;
    if (digits.PeekU8(&first) && first == 0) digits.Skip(1);
    r->serialHex.Reset();
    rc = AppendHexLower(r->serialHex, digits.data(), static_cast<int>(digits.remaining()));
    if (rc != kOk) return rc;
  }
  rc = ParseAlgorithmIdentifier(kids[b + 2], &r->signatureAlgorithm);
  if (rc != kOk) return rc;
  rc = r->issuerDer.Set(kids[b + 3].data(), static_cast<int>(kids[b + 3].size()));
  if (rc == kOk) rc = NameDerToText(kids[b + 3], &r->issuerText);
  if (rc != kOk) return rc;
  {
    DerCursor v = kids[b + 4], vc, t;
    rc = v.Next(&tag, &vc);
    if (rc == kOk) rc = vc.Next(&tag, &t);
    if (rc == kOk) rc = CertTimeToText(tag, t, &r->notBefore);
    if (rc == kOk) rc = vc.Next(&tag, &t);
    if (rc == kOk) rc = CertTimeToText(tag, t, &r->notAfter);
    if (rc != kOk) return rc;
  }
  rc = NameDerToText(kids[b + 5], &r->subjectText);
  if (rc != kOk) return rc;
  {
    DerCursor spki = kids[b + 6], sc;
    rc = spki.Next(&tag, &sc);
    if (rc == kOk) rc = r->publicKeyInfo.Set(sc.data(), static_cast<int>(sc.size()));
    if (rc == kOk) rc = ReadSubjectPublicKeyInfo(kids[b + 6], &r->publicKeyAlgorithm, &r->publicKey);
    if (rc != kOk) return rc;
  }
  r->extensionDers.Clear();
  r->extensions.Clear();
  for (int i = b + 7; i < count; ++i) {
    if (tags[i] != kTagExtensions) continue;
    DerCursor e = kids[i], ec, seq;
    rc = e.Next(&tag, &ec);
    if (rc == kOk) rc = ec.Next(&tag, &seq);
    if (rc == kOk && tag != kTagSequence) rc = kErrDerMalformed;
    while (rc == kOk && !seq.empty()) {
      DerCursor one;
      rc = seq.Next(&tag, nullptr, &one);
      if (rc != kOk) break;
      rc = r->extensionDers.Add(one.data(), static_cast<int>(one.size()));
      CertExtension* ext = rc == kOk ? NewRecord<CertExtension>() : nullptr;
      if (rc == kOk && !ext) rc = kErrOutOfMemory;
      if (rc == kOk) rc = ParseExtension(one, ext);
      if (rc == kOk) {
        rc = r->extensions.InsertOwned(r->extensions.Count(), ext);
      } else {
        DeleteRecord(ext);
      }
    }
    break;
  }
  return rc;
}

int ParseTbsCertificate(const ByteString& tbs_der, TbsCertificate* record) {
  return ParseTbsCertificate(DerCursor(tbs_der), record);
}

int Certificate::Parse() {
  DerCursor all(der), content;
  uint8_t tag = 0;
  if (all.Next(&tag, &content) != kOk) return kErrDerIncomplete;
  DerCursor kids[3];
  uint8_t tags[3];
  int count = 0;
  int rc = SplitChildren(content, kids, tags, 3, &count);
  if (rc != kOk) return rc;
  if (count < 3) return kErrDerIncomplete;
  serialHexCache.Reset();
  rc = tbsDer.Set(kids[0].data(), static_cast<int>(kids[0].size()));
  if (rc == kOk) rc = ParseTbsCertificate(kids[0], &tbs);
  if (rc == kOk) rc = ParseAlgorithmIdentifier(kids[1], &outerAlgorithm);
  if (rc != kOk) return rc;
  DerCursor sig = kids[2], sc, bits;
  rc = sig.Next(&tag, &sc);
  if (rc == kOk && tag != kTagBitString) rc = kErrDerMalformed;
  if (rc == kOk) rc = DerBitStringBytes(sc, &bits, nullptr);
  if (rc == kOk) rc = signature.Set(bits.data(), static_cast<int>(bits.size()));
  return rc;
}

int ParseCertificateDer(const void* bytes, int length, Certificate* certificate) {
  if (!bytes || length <= 0) return kErrDerIncomplete;
  int rc = certificate->der.Set(bytes, length);
  return rc != kOk ? rc : certificate->Parse();
}

int Certificate::CopyFrom(const Certificate& other) {
  if (this == &other) return kOk;
  int rc = der.Assign(other.der);
  if (rc == kOk) rc = tbsDer.Assign(other.tbsDer);
  if (rc == kOk) rc = tbs.CopyFrom(other.tbs);
  if (rc == kOk) rc = outerAlgorithm.CopyFrom(other.outerAlgorithm);
  if (rc == kOk) rc = signature.Assign(other.signature);
  if (rc == kOk) rc = serialHexCache.Assign(other.serialHexCache);
  return rc;
}

// ECDSA, DSA and EdDSA algorithm identifiers carry no parameters at all; verifiers refuse an
// added NULL. Parameters that were read are written back as they stood.
static bool SignatureTakesNull(const ByteStringPair& alg) {
  return !alg.second.empty() || std::strncmp(alg.first.c_str(), "1.2.840.113549.", 15) == 0;
}

int EncodeTbsCertificate(const TbsCertificate& r, DerWriter* w) {
  const int before = w->output().length();
  const int open = w->OpenCount();
  int rc = w->DerOpenConstructed(kTagSequence);
  if (rc == kOk) rc = w->DerOpenConstructed(kTagVersion);
  if (rc == kOk) rc = w->DerAppendInteger(kTagInteger, r.version);
  if (rc == kOk) rc = w->DerCloseConstructed(false);
  if (rc == kOk) {
    if (!r.serialDer.empty()) {
      rc = w->AppendRaw(r.serialDer.data(), r.serialDer.length());
    } else {
      std::string hex(r.serialHex.c_str(), static_cast<size_t>(r.serialHex.length()));
      if (hex.size() % 2) hex.insert(hex.begin(), '0');
      ByteString bytes;
      rc = AppendFromHex(bytes, hex.c_str());
      if (rc == kOk && bytes.empty()) rc = bytes.AppendByte(0);
      if (rc == kOk) rc = w->DerAppendUnsignedInteger(bytes.bytes(), bytes.length());
    }
  }
  if (rc == kOk) rc = EncodeAlgorithmIdentifier(r.signatureAlgorithm, w, SignatureTakesNull(r.signatureAlgorithm));
  if (rc == kOk) {
    rc = !r.issuerDer.empty() ? w->AppendRaw(r.issuerDer.data(), r.issuerDer.length())
                              : NameTextToDer(r.issuerText.c_str(), w);
  }
  if (rc == kOk) rc = w->DerOpenConstructed(kTagSequence);
  if (rc == kOk) rc = EncodeCertTime(r.notBefore.c_str(), w);
  if (rc == kOk) rc = EncodeCertTime(r.notAfter.c_str(), w);
  if (rc == kOk) rc = w->DerCloseConstructed(false);
  if (rc == kOk) rc = NameTextToDer(r.subjectText.c_str(), w);
  if (rc == kOk) {
    if (r.publicKey.type != kKeyNone) {
      rc = WriteSubjectPublicKeyInfo(r.publicKey, w);
    } else if (!r.publicKeyInfo.empty()) {
      rc = w->DerAppendTlv(kTagSequence, r.publicKeyInfo.data(), r.publicKeyInfo.length());
    } else {
      rc = kErrDerWrite;
    }
  }
  if (rc == kOk && !r.extra.empty()) {
    rc = w->DerAppendTlv(kTagOctetString, r.extra.data(), r.extra.length());
  }
  if (rc == kOk && r.extensions.Count() > 0) {
    rc = w->DerOpenConstructed(kTagExtensions);
    if (rc == kOk) rc = w->DerOpenConstructed(kTagSequence);
    for (int i = 0; rc == kOk && i < r.extensions.Count(); ++i) {
      const CertExtension* e = r.extensions.At(i);
      if (e) rc = EncodeExtension(*e, w);
    }
    if (rc == kOk) rc = w->DerCloseConstructed(false);
    if (rc == kOk) rc = w->DerCloseConstructed(false);
  }
  if (rc == kOk) rc = w->DerCloseConstructed(false);
  if (rc != kOk) {
    while (w->OpenCount() > open) w->DerCloseConstructed(false);
    w->output().Resize(before);
  }
  return rc;
}

int Certificate::EncodeDer(DerWriter* w) const {
  if (!der.empty()) return w->AppendRaw(der.data(), der.length());
  const int before = w->output().length();
  const int open = w->OpenCount();
  int rc = w->DerOpenConstructed(kTagSequence);
  if (rc == kOk) rc = EncodeTbsCertificate(tbs, w);
  if (rc == kOk) rc = EncodeAlgorithmIdentifier(outerAlgorithm, w, SignatureTakesNull(outerAlgorithm));
  if (rc == kOk) rc = w->DerAppendBitString(kTagBitString, signature.data(), signature.length());
  if (rc == kOk) rc = w->DerCloseConstructed(false);
  if (rc != kOk) {
    while (w->OpenCount() > open) w->DerCloseConstructed(false);
    w->output().Resize(before);
  }
  return rc;
}

const char* GetSerialNumberHex(const Certificate* c) {
  if (!c || c->tbs.serialHex.empty()) return "00";
  if (c->serialHexCache.empty()) {
    DerCursor serial(c->tbs.serialDer), content;
    uint8_t tag = 0;
    if (serial.Next(&tag, &content) != kOk ||
        AppendHexLower(c->serialHexCache, content.data(), static_cast<int>(content.size())) !=
            kOk) {
      c->serialHexCache.Reset();
      return "00";
    }
  }
  return c->serialHexCache.c_str();
}

const char* GetSignatureAlgorithmName(const Certificate* c) {
  return c ? OidToName(c->tbs.signatureAlgorithm.first.c_str()) : "";
}

int CompareValidityAt(const char* now, const char* not_before, const char* not_after) {
  if (std::strcmp(now, not_before ? not_before : "") < 0) return -1;
  if (std::strcmp(now, not_after ? not_after : "") > 0) return 1;
  return 0;
}

int CompareValidity(const char* not_before, const char* not_after) {
  DateFields f;
  GetUtcNowFields(&f);
  char now[32];
  std::snprintf(now, sizeof(now), "%04i%02i%02i%02i%02i%02i", f.year, f.month, f.day, f.hour,
                f.minute, f.second);
  return CompareValidityAt(now, not_before, not_after);
}

int CertificateWithKey::CopyFrom(const CertificateWithKey& other) {
  if (this == &other) return kOk;
  int rc = certificate.CopyFrom(other.certificate);
  if (rc == kOk) rc = key.CopyFrom(other.key);
  if (rc != kOk) return rc;
  propertyNames = other.propertyNames;
  propertyValues = other.propertyValues;
  return propertyNames.packed().length() == other.propertyNames.packed().length() &&
                 propertyValues.packed().length() == other.propertyValues.packed().length()
             ? kOk
             : kErrOutOfMemory;
}

int CertificateWithKey::GetProperty(const char* name, ByteString* value) const {
  const int i = propertyNames.Find(name ? name : "", 0);
  if (i < 0) return kErrPropertyMissing;
  return value->Set(propertyValues.Get(i), propertyValues.GetLength(i));
}

int CertificateWithKey::AddProperty(const char* name, const void* bytes, int length) {
  int rc = propertyNames.AddText(name ? name : "");
  if (rc != kOk) return rc;
  rc = propertyValues.Add(bytes, length);
  if (rc != kOk) propertyNames.SetCount(propertyNames.Count() - 1);
  return rc;
}

int ExtendedCertificate::CopyFrom(const ExtendedCertificate& other) {
  if (this == &other) return kOk;
  version = other.version;
  int rc = certificate.CopyFrom(other.certificate);
  if (rc == kOk) rc = innerCertificate.CopyFrom(other.innerCertificate);
  if (rc == kOk) rc = attributes.CopyFrom(other.attributes);
  if (rc == kOk) rc = algorithm.CopyFrom(other.algorithm);
  if (rc == kOk) rc = signature.Assign(other.signature);
  return rc;
}

int ParseCertificateAny(const void* bytes, int length, ExtendedCertificate* out) {
  if (!bytes || length <= 0) return kOk;
  const uint8_t first = *static_cast<const uint8_t*>(bytes);
  if (first == kTagSequence) return ParseCertificateDer(bytes, length, &out->certificate);
  if (first != kTagVersion) return kOk;
  // [0] { SEQUENCE { version, certificate, attributes }, algorithm, BIT STRING }
  DerCursor all(bytes, static_cast<size_t>(length)), content, info, ic, cert, attrs, sig;
  uint8_t tag = 0;
  DerCursor alg;
  int rc = all.Next(&tag, &content);
  if (rc == kOk) rc = content.Next(&tag, &ic, &info);
  if (rc == kOk) rc = content.Next(&tag, nullptr, &alg);
  if (rc == kOk) rc = content.Next(&tag, &sig);
  if (rc == kOk && tag != kTagBitString) rc = kErrDerMalformed;
  if (rc != kOk) return rc;
  DerCursor ver;
  rc = ic.Next(&tag, nullptr, &ver);
  ByteString vbytes;
  int vtag = 0;
  if (rc == kOk) rc = vbytes.Set(ver.data(), static_cast<int>(ver.size()));
  if (rc == kOk) rc = DerReadIntAt(vbytes, 0, &out->version, &vtag);
  if (rc == kOk) rc = ic.Next(&tag, nullptr, &cert);
  if (rc == kOk) rc = ParseCertificateDer(cert.data(), static_cast<int>(cert.size()), &out->innerCertificate);
  if (rc == kOk) rc = out->certificate.CopyFrom(out->innerCertificate);
  if (rc == kOk) rc = ic.Next(&tag, &attrs);
  out->attributes.Clear();
  while (rc == kOk && !attrs.empty()) {
    DerCursor attr, oid, values;
    rc = attrs.Next(&tag, &attr);
    if (rc == kOk) rc = attr.Next(&tag, &oid);
    if (rc == kOk && tag != 6) rc = kErrDerMalformed;
    if (rc == kOk) rc = attr.Next(&tag, nullptr, &values);
    CertExtension* a = rc == kOk ? NewRecord<CertExtension>() : nullptr;
    if (rc == kOk && !a) rc = kErrOutOfMemory;
    if (rc == kOk) rc = DerOidToText(oid.data(), oid.size(), &a->oid);
    if (rc == kOk) rc = a->value.Set(values.data(), static_cast<int>(values.size()));
    if (rc == kOk) {
      rc = out->attributes.InsertOwned(out->attributes.Count(), a);
    } else {
      DeleteRecord(a);
    }
  }
  if (rc == kOk) rc = ParseAlgorithmIdentifier(alg, &out->algorithm);
  DerCursor bits;
  if (rc == kOk) rc = DerBitStringBytes(sig, &bits, nullptr);
  if (rc == kOk) rc = out->signature.Set(bits.data(), static_cast<int>(bits.size()));
  return rc;
}

int ComparePemCertificates(const ByteString& pem_a, const ByteString& pem_b) {
  Certificate parsed[2];
  const ByteString* texts[2] = {&pem_a, &pem_b};
  for (int i = 0; i < 2; ++i) {
    ByteString der;
    int rc = PemDecodeWithLabel(&der, "CERTIFICATE", texts[i]->data(), texts[i]->length());
    if (rc == kOk) rc = ParseCertificateDer(der.data(), der.length(), &parsed[i]);
    if (rc != kOk) return rc;
  }
  // The DER each was read from is the certificate: equal bytes, the same certificate.
  return parsed[0].der.Equals(parsed[1].der) ? kOk : -1;
}

}  // namespace tw
