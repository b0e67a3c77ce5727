#include "auth/gss_token_description.h"

#include <cstring>

#include "auth/kerberos_der.h"
#include "certs/der_reader.h"

namespace tw {
namespace {

constexpr char kSpnegoOid[] = "1.3.6.1.5.5.2";
constexpr char kKrb5Oid[] = "1.2.840.113554.1.2.2";

int DescribeMechToken(const DerCursor& octets, ByteString* out) {
  int rc = out->AppendFormat("\t\tFound mech token, length is %d. ", static_cast<int>(octets.size()));
  if (rc != kOk) return rc;
  if (octets.empty() || (octets.data()[0] & 0x60) != 0x60) return out->AppendText("\r\n");
  DerCursor token(octets), inner;
  uint8_t tag = 0;
  rc = token.Next(&tag, &inner);
  if (rc != kOk) return rc;
  ByteString oid;
  if (inner.NextOid(&oid) != kOk) return out->AppendText("\t\tUnknown mech token, OID is (none)\r\n");
  if (!oid.EqualsBytes(kKrb5Oid, -1)) return out->AppendFormat("\t\tUnknown mech token, OID is %s\r\n", oid.c_str());
  // The two token-id bytes, read as an element whose tag is the id.
  uint8_t id = 0;
  DerCursor empty;
  rc = inner.Next(&id, &empty);
  if (rc != kOk) return rc;
  static constexpr const char* kNames[] = {nullptr, "Kerberos KRB_AP_REQ token:\r\n", "Kerberos KRB_AP_REP token:\r\n",
                                           "Kerberos KRB_ERROR token:\r\n"};
  if (id == 0 || id > 3) return out->AppendFormat("Unknown type(%d)\r\n", id);
  rc = out->AppendText(kNames[id]);
  if (rc == kOk) rc = DescribeKerberosApReq(inner.data(), static_cast<int>(inner.size()), out, "\t\t\t");
  return rc;
}

}  // namespace

int DescribeGssToken(const void* token, int length, ByteString* out) {
  int rc = out->AppendText("Found GSS-API token:\r\n");
  if (rc != kOk) return rc;
  if (token == nullptr || length <= 0) return kErrDerIncomplete;
  DerCursor all(token, static_cast<size_t>(length)), body;
  uint8_t tag = 0;
  rc = all.Next(&tag, &body);
  if (rc != kOk) return rc;
  ByteString oid;
  rc = body.NextOid(&oid);
  if (rc != kOk) return rc;
  rc = out->AppendFormat("\tOID: %s\r\n", oid.c_str());
  if (rc != kOk) return rc;
  if (!oid.EqualsBytes(kSpnegoOid, -1)) return out->AppendText("Unknown token OID.");
  rc = out->AppendText("\tFound SPNEGO token. ");
  DerCursor neg;
  if (rc == kOk) rc = body.Next(&tag, &neg);
  if (rc != kOk) return rc;
  if (tag == 0xA1) return out->AppendText("Response token (NegTokenTarg).\r\n");
  if (tag != 0xA0) return out->AppendFormat("Unknown token type (%d).\r\n", tag);
  rc = out->AppendText("Init token (NegTokenInit):\r\n");
  KerberosFields f;
  if (rc == kOk) rc = KerberosFieldsOf(neg, 0, &f);
  if (rc != kOk) return rc;
  if (f.has[0]) {
    DerCursor list;
    rc = KerberosOnly(f.f[0], 0x30, &list);
    if (rc == kOk) rc = out->AppendText("\t\tFound mech types: \r\n");
    while (rc == kOk && !list.empty()) {
      rc = list.NextOid(&oid);
      if (rc == kOk) rc = out->AppendFormat("\t\t\t%s\r\n", oid.c_str());
    }
    if (rc != kOk) return rc;
  }
  if (f.has[2]) {
    DerCursor octets;
    rc = KerberosOnly(f.f[2], 0x04, &octets);
    if (rc == kOk) rc = DescribeMechToken(octets, out);
  }
  return rc;
}

int DescribeKerberosApReq(const void* message, int length, ByteString* out, const char* prefix) {
  const char* p = prefix != nullptr ? prefix : "";
  if (message == nullptr || length <= 0) return kErrDerIncomplete;
  DerCursor all(message, static_cast<size_t>(length)), app;
  uint8_t tag = 0;
  int rc = all.Next(&tag, &app);
  KerberosFields f;
  if (rc == kOk) rc = KerberosFieldsOf(app, 0, &f);
  if (rc != kOk) return rc;
  int64_t v = 0;
  if (!f.has[0] || !f.has[1]) return kErrDerMalformed;
  rc = KerberosReadInt(f.f[0], &v);
  if (rc == kOk) rc = out->AppendFormat("%sPvno : %d\r\n", p, static_cast<int>(v));
  if (rc == kOk) rc = KerberosReadInt(f.f[1], &v);
  if (rc != kOk) return rc;
  if (v == 30) return out->AppendText("NSG Type : KRB-ERROR (30)\r\n");
  if (v != 14) return out->AppendFormat("\t\tNSG Type : Unknown (%d)\r\n", static_cast<int>(v));
  rc = out->AppendFormat("%sNSG Type : AP-REQ (14)\r\n", p);
  if (rc == kOk && f.has[2]) {
    DerCursor bits;
    rc = KerberosOnly(f.f[2], 0x03, &bits);
    if (rc == kOk && bits.size() < 4)
      rc = out->AppendFormat("%sAPOptions: Unknown\r\n", p);
    else if (rc == kOk) {
      const uint8_t b = bits.data()[bits.size() - 4];
      rc = out->AppendFormat("%sAPOptions: use-session-key(%d) mutual-required(%d) ", p, (b & 0x40) ? 1 : 0,
                             (b & 0x20) ? 1 : 0);
    }
  }
  if (rc == kOk && f.has[3]) {
    KerberosFields t;
    int64_t vno = 0, name_type = 0;
    ByteString realm, name;
    rc = KerberosFieldsOf(f.f[3], 0x61, &t);
    if (rc == kOk && (!t.has[0] || !t.has[1] || !t.has[2])) rc = kErrDerMalformed;
    if (rc == kOk) rc = KerberosReadInt(t.f[0], &vno);
    if (rc == kOk) rc = out->AppendFormat("%sTicket: \r\n%s\tTkt-vno: %d\r\n", p, p, static_cast<int>(vno));
    if (rc == kOk) rc = KerberosReadBytes(t.f[1], 0x1B, &realm);
    if (rc == kOk) rc = out->AppendFormat("%s\tRealm: %s\r\n", p, realm.c_str());
    if (rc == kOk) rc = KerberosReadPrincipal(t.f[2], &name, &name_type);
    if (rc == kOk) rc = out->AppendFormat("%s\tPrincipal Name: type(%d)\r\n", p, static_cast<int>(name_type));
    int start = 0;
    for (int i = 0; rc == kOk && i <= name.length(); ++i) {
      if (i == name.length() || name.ByteAt(i) == '/') {
        ByteString one;
        one.Set(name.data() + start, i - start);
        rc = out->AppendFormat("%s\t\tName: %s\r\n", p, one.c_str());
        start = i + 1;
      }
    }
  }
  if (rc == kOk && f.has[4]) {
    KerberosFields e;
    int64_t etype = 0;
    rc = KerberosFieldsOf(f.f[4], 0, &e);
    if (rc == kOk && !e.has[0]) rc = kErrDerMalformed;
    if (rc == kOk) rc = KerberosReadInt(e.f[0], &etype);
    if (rc == kOk) rc = out->AppendFormat("%sAuthenticator Encryption Type: %d\r\n", p, static_cast<int>(etype));
  }
  return rc;
}

}  // namespace tw
