#include "certs/cert_extension.h"

#include "certs/distinguished_name.h"

namespace tw {

namespace {

constexpr uint8_t kTagBoolean = 0x01;
constexpr uint8_t kTagOctetString = 0x04;
constexpr uint8_t kTagOid = 0x06;
constexpr uint8_t kTagSequence = 0x30;

struct GeneralNameKind {
  uint8_t tag;
  const char* prefix;
};

constexpr GeneralNameKind kGeneralNames[] = {
    {0x81, "email:"}, {0x82, "dns:"}, {0xA4, "dirname:"},
    {0x86, "uri:"},   {0x87, "ip:"},  {0x88, "rid:"},
};

// Escapes what SplitDnComponents would read as structure, and control bytes.
int AppendEscaped(const uint8_t* p, size_t n, ByteString* out) {
  int rc = kOk;
  for (size_t i = 0; i < n && rc == kOk; ++i) {
    const uint8_t c = p[i];
    if (c < 0x20 || c == 0x7F) {
      rc = out->AppendFormat("\\%02x", c);
    } else {
      if (c == ',' || c == '\\' || c == '"') rc = out->AppendByte('\\');
      if (rc == kOk) rc = out->AppendByte(c);
    }
  }
  return rc;
}

// Four bytes of IPv4 or sixteen of IPv6.
int AppendIp(const DerCursor& c, ByteString* out) {
  SpanReader ip(c.data(), c.size());
  int rc = kOk;
  const bool v4 = c.size() == 4;
  for (int i = 0; rc == kOk && !ip.empty(); ++i) {
    uint16_t part = 0;
    uint8_t byte = 0;
    if (v4 ? !ip.ReadU8(&byte) : !ip.ReadU16(&part)) break;
    rc = v4 ? out->AppendFormat(i ? ".%d" : "%d", byte) : out->AppendFormat(i ? ":%x" : "%x", part);
  }
  return rc;
}

}  // namespace

int ParseExtension(const DerCursor& der, CertExtension* extension) {
  DerCursor all = der, seq, oid, second, second_element, value_element;
  uint8_t tag = 0;
  int rc = all.Next(&tag, &seq);
  if (rc == kOk && tag != kTagSequence) rc = kErrDerMalformed;
  if (rc == kOk) rc = seq.Next(&tag, &oid);
  if (rc == kOk && tag != kTagOid) rc = kErrDerMalformed;
  if (rc == kOk) rc = seq.Next(&tag, &second, &second_element);
  if (rc != kOk) return rc;
  int32_t critical = 0;
  if (tag == kTagBoolean) {
    critical = (!second.empty() && second.data()[0] != 0) ? 1 : 0;
    rc = seq.Next(&tag, nullptr, &value_element);
    if (rc != kOk) return rc;
  } else {
    value_element = second_element;
  }
  if (tag != kTagOctetString) return kErrDerMalformed;
  rc = DerOidToText(oid.data(), oid.size(), &extension->oid);
  if (rc != kOk) return rc;
  extension->critical = critical;
  return extension->value.Set(value_element.data(), static_cast<int>(value_element.size()));
}

int ParseExtension(const ByteString& der, CertExtension* extension) {
  return ParseExtension(DerCursor(der), extension);
}

int EncodeExtension(const CertExtension& extension, DerWriter* writer) {
  const int before = writer->output().length();
  int rc = writer->DerOpenConstructed(kTagSequence);
  if (rc == kOk) rc = writer->DerAppendOid(kTagOid, extension.oid.c_str());
  if (rc == kOk && extension.critical) rc = writer->DerAppendBoolean(kTagBoolean, true);
  if (rc == kOk) rc = writer->AppendRaw(extension.value.data(), extension.value.length());
  if (rc == kOk) rc = writer->DerCloseConstructed(false);
  if (rc != kOk) {
    if (writer->output().length() > before) {
      writer->DerCloseConstructed(false);
      writer->output().Resize(before);
    }
  }
  return rc;
}

int SubjectAltNameText(const ByteString& extension_value, bool with_prefixes, ByteString* text) {
  DerCursor all(extension_value), octets, names;
  uint8_t tag = 0;
  int rc = all.Next(&tag, &octets);
  if (rc == kOk) rc = octets.Next(&tag, &names);
  if (rc == kOk && tag != kTagSequence) rc = kErrDerMalformed;
  if (rc != kOk) return rc;
  ByteString out, part;
  while (!names.empty()) {
    DerCursor content, element;
    rc = names.Next(&tag, &content, &element);
    if (rc != kOk) return rc;
    const char* prefix = nullptr;
    for (const GeneralNameKind& k : kGeneralNames) {
      if (k.tag == tag) prefix = k.prefix;
    }
    if (!prefix) continue;  // otherName and the rest have no text form
    part.Reset();
    if (tag == 0x87) {
      // Only IPv4 and IPv6 addresses are meaningful; anything else is not shown at all.
      if (content.size() != 4 && content.size() != 16) continue;
      rc = AppendIp(content, &part);
    } else if (tag == 0xA4) {
      ByteString name;
      rc = NameDerToText(content, &name);
      if (rc == kOk) rc = AppendEscaped(name.bytes(), static_cast<size_t>(name.length()), &part);
    } else if (tag == 0x88) {
      ByteString oid;
      rc = DerOidToText(content.data(), content.size(), &oid);
      if (rc == kOk) rc = part.AppendString(oid);
    } else {
      rc = AppendEscaped(content.data(), content.size(), &part);
    }
    if (rc != kOk) return rc;
    if (!out.empty()) rc = out.AppendText(with_prefixes ? "," : ", ");
    if (rc == kOk && with_prefixes) rc = out.AppendText(prefix);
    if (rc == kOk) rc = out.AppendString(part);
    if (rc != kOk) return rc;
  }
  return text->Assign(out);
}

}  // namespace tw
