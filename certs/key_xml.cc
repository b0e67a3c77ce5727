#include "certs/key_xml.h"

#include <cstring>
#include <type_traits>

#include "formats/xml_document.h"
#include "foundation/text_conversion.h"

namespace tw {

namespace {

constexpr const char* kRsaRoot = "RSAKeyValue";
constexpr const char* kDsaRoot = "DSAKeyValue";
constexpr const char* kX509Root = "X509Data";
constexpr const char* kX509Certificate = "X509Certificate";
constexpr int kLineLength = 64;
// Key elements sit near the top; a deeper walk would only serve hostile nesting.
constexpr int kMaxDepth = 32;

struct Component {
  const char* name;
  ByteString RsaKeyData::*rsa;
  ByteString DsaKeyData::*dsa;
  bool required;
};

constexpr Component kRsaPublic[] = {{"Modulus", &RsaKeyData::N, nullptr, true},
                                    {"Exponent", &RsaKeyData::E, nullptr, true}};
constexpr Component kRsaPrivate[] = {{"P", &RsaKeyData::P, nullptr, false},
                                     {"Q", &RsaKeyData::Q, nullptr, false},
                                     {"DP", &RsaKeyData::DP, nullptr, false},
                                     {"DQ", &RsaKeyData::DQ, nullptr, false},
                                     {"InverseQ", &RsaKeyData::QInv, nullptr, false},
                                     {"D", &RsaKeyData::D, nullptr, false}};
constexpr Component kDsaPublic[] = {{"P", nullptr, &DsaKeyData::P, true},
                                    {"Q", nullptr, &DsaKeyData::Q, true},
                                    {"G", nullptr, &DsaKeyData::G, true},
                                    {"Y", nullptr, &DsaKeyData::Y, false},
                                    {"J", nullptr, &DsaKeyData::Reserved1, false}};
constexpr Component kDsaPrivate[] = {{"X", nullptr, &DsaKeyData::X, false}};

int WriteElement(const char* name, const ByteString& value, ByteString* out) {
  if (value.empty()) return kOk;
  ByteString text;
  int rc = out->AppendFormat("<%s>", name);
  if (rc == kOk) rc = Base64Encode(text, value.data(), value.length(), false, kLineLength, false);
  if (rc == kOk) rc = out->Append(text.data(), text.length());
  if (rc == kOk) rc = out->AppendFormat("</%s>", name);
  WipeString(text);
  return rc;
}

// Bytes of the value after its leading zeros.
int Significant(const ByteString& v) {
  int i = 0;
  while (i < v.length() && v.bytes()[i] == 0) ++i;
  return v.length() - i;
}

template <class Record>
ByteString Record::*Field(const Component& c) {
  if constexpr (std::is_same_v<Record, RsaKeyData>) {
    return c.rsa;
  } else {
    return c.dsa;
  }
}

// Each component padded to its standard width, or as it stands when the width is too narrow
// for it (a DSA Q of 224 bits beside a 1024-bit P), so that no significant byte is dropped.
template <class Record, size_t N>
int WriteComponents(const Record& record, const Record& padded, const Component (&table)[N], ByteString* out) {
  int rc = kOk;
  for (const Component& c : table) {
    const ByteString& mine = record.*Field<Record>(c);
    const ByteString& wide = padded.*Field<Record>(c);
    if (rc == kOk) rc = WriteElement(c.name, wide.length() >= Significant(mine) ? wide : mine, out);
  }
  return rc;
}

template <class Record, size_t N, size_t M>
int WriteKey(const Record& record, const char* root, const Component (&pub)[N], const Component (&priv)[M],
             bool with_private, ByteString* out) {
  Record padded(record);
  int rc = padded.PadComponents();
  if (rc == kOk) rc = out->AppendFormat("<%s>", root);
  if (rc == kOk) rc = WriteComponents(record, padded, pub, out);
  if (rc == kOk && with_private) rc = WriteComponents(record, padded, priv, out);
  if (rc == kOk) rc = out->AppendFormat("</%s>", root);
  return rc;
}

// The Base64 text of the current element, decoded.
int DecodedText(const XmlDocumentComponent& doc, ByteString* out) {
  int rc = out->SetText(doc.Text());
  if (rc == kOk && DecodeBase64(*out, false, true, true) != kOk) rc = -1;
  return rc;
}

// Child components of the current element into the record; the cursor comes back.
template <class Record, size_t N>
int ReadComponents(XmlDocumentComponent& doc, const Component (&table)[N], Record* record) {
  for (const Component& c : table) {
    int rc = kOk;
    if (c.required) {
      rc = doc.SelectPath(c.name);
      if (rc != kOk) return rc;
    } else if (!doc.TrySelect(c.name)) {
      continue;
    }
    rc = DecodedText(doc, &(record->*Field<Record>(c)));
    doc.SelectParent();
    if (rc != kOk) return rc;
  }
  return kOk;
}

class XmlKeyWalker {
 public:
  XmlKeyWalker(XmlDocumentComponent& doc, KeyPairArray* keys, CertificateArray* certs)
      : doc_(doc), keys_(keys), certs_(certs) {}

  // The current element and, unless it is one of the roots, its children.
  int Walk(int depth) {
    const char* name = doc_.LocalName();
    if (std::strcmp(name, kX509Root) == 0) return ReadCertificate();
    if (std::strcmp(name, kRsaRoot) == 0) return ReadKey(kKeyRsa);
    if (std::strcmp(name, kDsaRoot) == 0) return ReadKey(kKeyDsa);
    if (depth >= kMaxDepth) return kOk;
    const int count = doc_.ChildCount();
    for (int i = 1; i <= count; ++i) {
      int rc = doc_.SelectChild(i);
      if (rc == kOk) rc = Walk(depth + 1);
      doc_.SelectParent();
      if (rc != kOk) return rc;
    }
    return kOk;
  }

 private:
  int ReadCertificate() {
    if (!doc_.TrySelect(kX509Certificate)) return kOk;
    ByteString der;
    int rc = DecodedText(doc_, &der);
    doc_.SelectParent();
    if (rc != kOk) return rc;
    Certificate* cert = NewRecord<Certificate>();
    if (cert == nullptr) return kErrOutOfMemory;
    rc = ParseCertificateDer(der.data(), der.length(), cert);
    if (rc != kOk) {
      DeleteRecord(cert);
      return rc;
    }
    return certs_->InsertOwned(certs_->Count(), cert);
  }

  int ReadKey(int type) {
    KeyPair* key = NewRecord<KeyPair>();
    if (key == nullptr) return kErrOutOfMemory;
    key->type = type;
    int rc = kOk;
    if (type == kKeyRsa) {
      rc = ReadComponents(doc_, kRsaPublic, &key->rsa);
      if (rc == kOk) rc = ReadComponents(doc_, kRsaPrivate, &key->rsa);
    } else {
      rc = ReadComponents(doc_, kDsaPublic, &key->dsa);
      if (rc == kOk) rc = ReadComponents(doc_, kDsaPrivate, &key->dsa);
    }
    if (rc != kOk) {
      DeleteRecord(key);
      return rc;
    }
    return keys_->InsertOwned(keys_->Count(), key);
  }

  XmlDocumentComponent& doc_;
  KeyPairArray* keys_;
  CertificateArray* certs_;
};

}  // namespace

int WriteRsaKeyXml(const RsaKeyData& rsa, bool with_private, ByteString* out) {
  return WriteKey(rsa, kRsaRoot, kRsaPublic, kRsaPrivate, with_private, out);
}

int WriteDsaKeyXml(const DsaKeyData& dsa, bool with_private, ByteString* out) {
  return WriteKey(dsa, kDsaRoot, kDsaPublic, kDsaPrivate, with_private, out);
}

int WriteX509DataXml(const Certificate& certificate, ByteString* out) {
  ByteString text;
  int rc = Base64Encode(text, certificate.der.data(), certificate.der.length(), true, kLineLength, false);
  if (rc == kOk) rc = out->AppendFormat("<%s><%s>", kX509Root, kX509Certificate);
  if (rc == kOk) rc = out->Append(text.data(), text.length());
  if (rc == kOk) rc = out->AppendFormat("</%s></%s>", kX509Certificate, kX509Root);
  return rc;
}

int ReadXmlKeys(const char* text, int length, KeyPairArray* keys, CertificateArray* certificates) {
  if (text == nullptr || length < 0) return kErrXmlKeyNone;
  const std::string_view all(text, static_cast<size_t>(length));
  if (all.find(kDsaRoot) == std::string_view::npos && all.find(kRsaRoot) == std::string_view::npos &&
      all.find(kX509Root) == std::string_view::npos) {
    return kErrXmlKeyNone;
  }
  XmlDocumentComponent doc;
  if (!doc.Initialize()) return kErrOutOfMemory;
  int rc = doc.SetInputText(text, length);
  if (rc == kOk) rc = doc.Parse();
  if (rc != kOk) return rc;
  XmlKeyWalker walker(doc, keys, certificates);
  return walker.Walk(0);
}

}  // namespace tw
