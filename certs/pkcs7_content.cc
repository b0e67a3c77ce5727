#include "certs/pkcs7_content.h"

#include <cstdlib>
#include <cstring>

#include "certs/der_reader.h"
#include "certs/distinguished_name.h"
#include "certs/public_key_info.h"
#include "foundation/text_conversion.h"

namespace tw {
namespace {

constexpr uint8_t kTagInteger = 0x02;
constexpr uint8_t kTagOctetString = 0x04;
constexpr uint8_t kTagSequence = 0x30;
constexpr uint8_t kTagSet = 0x31;
constexpr uint8_t kTagImplicit0 = 0x80;
constexpr uint8_t kTagExplicit0 = 0xA0;
constexpr uint8_t kTagExplicit1 = 0xA1;

struct KindRow {
  const char* oid;
  Pkcs7Kind kind;
};

constexpr KindRow kKinds[] = {
    {kOidPkcs7Data, kPkcs7Data},
    {kOidPkcs7SignedData, kPkcs7Signed},
    {kOidPkcs7EnvelopedData, kPkcs7Enveloped},
    {kOidPkcs7EncryptedData, kPkcs7Encrypted},
};

int TakeVersion(DerCursor* c, ByteString* text) {
  uint32_t n = 0;
  const int rc = c->NextSmallUnsigned(&n);
  if (rc != kOk) return rc;
  text->Reset();
  return text->AppendUInt(n);
}

int SetBytes(ByteString* s, const DerCursor& c) { return s->Set(c.data(), static_cast<int>(c.size())); }

// IssuerAndSerialNumber { Name, INTEGER } into text and DER.
int ReadIssuerAndSerial(DerCursor ias, ByteString* issuer_der, ByteString* issuer_text, ByteString* serial_der,
                        ByteString* serial_text) {
  DerCursor name, name_element, serial;
  int rc = ias.NextTagged(kTagSequence, &name, &name_element);
  if (rc == kOk) rc = ias.NextTagged(kTagInteger, &serial);
  if (rc == kOk && serial.empty()) rc = kErrDerMalformed;
  if (rc == kOk && issuer_der) rc = SetBytes(issuer_der, name_element);
  if (rc == kOk) rc = NameDerToText(name_element, issuer_text);
  if (rc == kOk && serial_der) rc = SetBytes(serial_der, serial);
  if (rc == kOk) {
    serial_text->Reset();
    for (size_t i = 0; rc == kOk && i < serial.size(); ++i) rc = serial_text->AppendFormat("%02x", serial.data()[i]);
  }
  return rc;
}

int ReadSignerInfo(const DerCursor& element, SignerInfo* s) {
  DerCursor c = element, seq, sid, alg, sig;
  uint8_t tag = 0;
  ByteString version;
  int rc = c.NextTagged(kTagSequence, &seq);
  if (rc == kOk) rc = TakeVersion(&seq, &version);
  if (rc == kOk) s->version = static_cast<int32_t>(std::strtoul(version.c_str(), nullptr, 10));
  if (rc == kOk) rc = seq.Next(&tag, &sid);
  if (rc == kOk && tag == kTagSequence) {
    rc = ReadIssuerAndSerial(sid, &s->issuerDer, &s->issuerText, &s->serialDer, &s->serialText);
  } else if (rc == kOk && tag == kTagImplicit0) {
    // A subject key identifier instead: kept as the serial bytes with an empty issuer.
    rc = SetBytes(&s->serialDer, sid);
  } else if (rc == kOk) {
    rc = kErrDerMalformed;
  }
  if (rc == kOk) rc = seq.Next(&tag, nullptr, &alg);
  if (rc == kOk) rc = ParseAlgorithmIdentifier(alg, &s->digestAlgorithm);
  if (rc == kOk) rc = seq.Next(&tag, nullptr, &alg);
  if (rc == kOk && tag == kTagExplicit0) rc = seq.Next(&tag, nullptr, &alg);  // signed attributes
  if (rc == kOk) rc = ParseAlgorithmIdentifier(alg, &s->signatureAlgorithm);
  if (rc == kOk) rc = seq.NextTagged(kTagOctetString, &sig);
  if (rc == kOk) rc = SetBytes(&s->signature, sig);
  return rc;
}

int ReadSignedData(DerCursor body, Pkcs7Record* r) {
  DerCursor seq, digests, encap, item;
  uint8_t tag = 0;
  int rc = body.NextTagged(kTagSequence, &seq);
  if (rc == kOk) rc = TakeVersion(&seq, &r->version);
  if (rc == kOk) rc = seq.NextTagged(kTagSet, &digests);
  if (rc == kOk && !digests.empty()) {
    rc = digests.Next(&tag, nullptr, &item);
    if (rc == kOk) rc = ParseAlgorithmIdentifier(item, &r->digestAlgorithm);
  }
  if (rc == kOk) rc = seq.NextTagged(kTagSequence, &encap);
  if (rc == kOk) rc = encap.NextOid(&r->contentType);
  if (rc == kOk && !encap.empty()) {
    DerCursor explicit0, inner, inner_element;
    rc = encap.NextTagged(kTagExplicit0, &explicit0);
    if (rc == kOk) rc = explicit0.Next(&tag, &inner, &inner_element);
    if (rc == kOk) rc = SetBytes(&r->contentText, tag == kTagOctetString ? inner : inner_element);
  }
  if (rc == kOk && seq.Peek(&tag, &item) == kOk && tag == kTagExplicit0) {
    DerCursor certs;
    rc = seq.Next(&tag, &certs);
    while (rc == kOk && !certs.empty()) {
      DerCursor element;
      rc = certs.Next(&tag, nullptr, &element);
      // Attribute certificates and other choices are passed over.
      if (rc != kOk || (tag != kTagSequence && tag != kTagExplicit0)) continue;
      ExtendedCertificate* e = r->certificates.GetOrCreate(r->certificates.Count());
      rc = e ? ParseCertificateAny(element.data(), static_cast<int>(element.size()), e) : kErrOutOfMemory;
    }
  }
  if (rc == kOk && seq.Peek(&tag, &item) == kOk && tag == kTagExplicit1) rc = seq.Next(&tag, &item);  // CRLs
  DerCursor signers;
  if (rc == kOk) rc = seq.NextTagged(kTagSet, &signers);
  while (rc == kOk && !signers.empty()) {
    DerCursor element;
    rc = signers.Next(&tag, nullptr, &element);
    SignerInfo* s = rc == kOk ? r->signers.GetOrCreate(r->signers.Count()) : nullptr;
    if (rc == kOk) rc = s ? ReadSignerInfo(element, s) : kErrOutOfMemory;
  }
  return rc;
}

int ReadEnvelopedData(DerCursor body, Pkcs7Record* r) {
  // EnvelopedData { version, [0] originatorInfo OPTIONAL, recipientInfos SET, encryptedContentInfo }
  DerCursor seq, recipients, eci, alg, data;
  uint8_t tag = 0;
  int rc = body.NextTagged(kTagSequence, &seq);
  if (rc == kOk) rc = TakeVersion(&seq, &r->version);
  if (rc == kOk && seq.Peek(&tag, &data) == kOk && tag == kTagExplicit0) rc = seq.Next(&tag, &data);
  if (rc == kOk) rc = seq.NextTagged(kTagSet, &recipients);
  if (rc == kOk && !recipients.empty()) {
    // KeyTransRecipientInfo { version, IssuerAndSerialNumber, algorithm, encryptedKey }; other
    // recipient kinds keep only the encrypted content.
    DerCursor ri, version, ias, key;
    rc = recipients.Next(&tag, &ri);
    if (rc == kOk && tag == kTagSequence && ri.Next(&tag, &version) == kOk &&
        ri.Next(&tag, nullptr, &ias) == kOk && tag == kTagSequence) {
      DerCursor ias_content;
      DerCursor ias_all = ias;
      rc = ias_all.NextTagged(kTagSequence, &ias_content);
      if (rc == kOk) rc = ReadIssuerAndSerial(ias_content, nullptr, &r->issuerText, nullptr, &r->serialText);
      if (rc == kOk) rc = ri.Next(&tag, nullptr, &alg);
      if (rc == kOk) rc = ri.NextTagged(kTagOctetString, &key);
      if (rc == kOk) rc = SetBytes(&r->encryptedKey, key);
    }
  }
  if (rc == kOk) rc = seq.NextTagged(kTagSequence, &eci);
  if (rc == kOk) rc = eci.NextOid(&r->contentType);
  if (rc == kOk) rc = eci.Next(&tag, nullptr, &alg);
  if (rc == kOk) rc = ParseAlgorithmIdentifier(alg, &r->contentEncryptionAlgorithm);
  if (rc == kOk && !eci.empty()) {
    rc = eci.Next(&tag, &data);
    if (rc == kOk && tag != kTagImplicit0) rc = kErrDerMalformed;
    if (rc == kOk) rc = SetBytes(&r->encryptedContent, data);
  }
  return rc;
}

// The input as DER: Base64 text is decoded first.
int InputDer(const ByteString& input, ByteString* der) {
  int rc = der->Assign(input);
  if (rc != kOk || input.empty() || input.ByteAt(0) == kTagSequence) return rc;
  if (!LooksLikeBase64(input.c_str(), input.length())) return kOk;
  return DecodeBase64(*der, false, false, true) == kOk ? kOk : kErrDerMalformed;
}

}  // namespace

int Pkcs7Content::Parse() {
  der.Reset();
  contentType.Reset();
  content.Reset();
  kind = kPkcs7Other;
  record = Pkcs7Record();
  if (input.empty()) return kErrDerIncomplete;
  int rc = InputDer(input, &der);
  if (rc != kOk) return rc;

  DerCursor all(der), info, element, inner, inner_element;
  uint8_t tag = 0;
  rc = all.NextTagged(kTagSequence, &info);
  if (rc == kOk) rc = info.NextOid(&contentType);
  if (rc == kOk && info.empty()) rc = kErrDerIncomplete;
  if (rc == kOk) rc = info.Next(&tag, &inner, &element);
  if (rc != kOk) return rc;
  if (tag == kTagImplicit0) {
    rc = SetBytes(&content, inner);
  } else if (tag == kTagExplicit0) {
    DerCursor body = inner, unused;
    rc = body.Next(&tag, &unused, &inner_element);
    if (rc == kOk) rc = SetBytes(&content, inner_element);
  } else {
    rc = kErrDerMalformed;
  }
  if (rc != kOk) return rc;
  for (const KindRow& row : kKinds) {
    if (std::strcmp(row.oid, contentType.c_str()) == 0) kind = row.kind;
  }
  DerCursor body(content);
  if (kind == kPkcs7Signed) return ReadSignedData(body, &record);
  if (kind == kPkcs7Enveloped) return ReadEnvelopedData(body, &record);
  return kOk;
}

int P7bContainer::CopyFrom(const P7bContainer& other) {
  if (this == &other) return kOk;
  selected = other.selected;
  int rc = der.Assign(other.der);
  if (rc == kOk) rc = subject.Assign(other.subject);
  if (rc == kOk) rc = certificates.CopyFrom(other.certificates);
  return rc;
}

int P7bContainer::ExtractCertificates(CertificateArray* out) const {
  for (int i = 0; i < certificates.Count(); ++i) {
    const ExtendedCertificate* e = certificates.At(i);
    if (!e) continue;
    Certificate* c = out->GetOrCreate(out->Count());
    if (!c) return kErrOutOfMemory;
    const int rc = c->CopyFrom(e->certificate);
    if (rc != kOk) return rc;
  }
  return kOk;
}

int ReadP7b(const void* bytes, int length, P7bContainer* out) {
  out->der.Reset();
  out->certificates.Clear();
  out->selected = -1;
  if (!bytes || length <= 0) return kErrDerIncomplete;
  Pkcs7Content p7;
  int rc = p7.input.Set(bytes, length);
  if (rc == kOk) rc = p7.Parse();
  if (rc != kOk) return rc;
  if (p7.kind != kPkcs7Signed || p7.record.certificates.Count() == 0) return kErrDerMalformed;
  rc = out->der.Assign(p7.der);
  if (rc == kOk) rc = out->certificates.CopyFrom(p7.record.certificates);
  return rc;
}

}  // namespace tw
