#include "auth/kerberos_der.h"

namespace tw {

int KerberosReadFields(DerCursor content, KerberosFields* out) {
  while (!content.empty()) {
    uint8_t tag = 0;
    DerCursor inner;
    int rc = content.Next(&tag, &inner);
    if (rc != kOk) return rc;
    const int n = tag - 0xA0;
    if (n >= 0 && n < kKerberosMaxFields) {
      out->f[n] = inner;
      out->has[n] = true;
    }
  }
  return kOk;
}

int KerberosOnly(DerCursor c, uint8_t want, DerCursor* content) {
  uint8_t tag = 0;
  int rc = c.Next(&tag, content);
  if (rc != kOk) return rc;
  return tag == want ? kOk : kErrDerMalformed;
}

int KerberosFieldsOf(DerCursor c, uint8_t outer, KerberosFields* out) {
  DerCursor app, seq;
  int rc = outer != 0 ? KerberosOnly(c, outer, &app) : kOk;
  if (outer == 0) app = c;
  if (rc == kOk) rc = KerberosOnly(app, 0x30, &seq);
  if (rc == kOk) rc = KerberosReadFields(seq, out);
  return rc;
}

int KerberosReadInt(const DerCursor& field, int64_t* v) {
  DerCursor c;
  int rc = KerberosOnly(field, 0x02, &c);
  if (rc != kOk) return rc;
  if (c.size() == 0 || c.size() > 5) return kErrDerMalformed;
  int64_t r = (c.data()[0] & 0x80) ? -1 : 0;
  for (size_t i = 0; i < c.size(); ++i) r = r * 256 + c.data()[i];
  *v = r;
  return kOk;
}

int KerberosReadBytes(const DerCursor& field, uint8_t tag, ByteString* out) {
  DerCursor c;
  int rc = KerberosOnly(field, tag, &c);
  if (rc == kOk) rc = out->Set(c.data(), static_cast<int>(c.size()));
  return rc;
}

int KerberosReadPrincipal(const DerCursor& field, ByteString* out, int64_t* name_type) {
  KerberosFields pn;
  int rc = KerberosFieldsOf(field, 0, &pn);
  if (rc != kOk) return rc;
  if (!pn.has[0] || !pn.has[1]) return kErrDerMalformed;
  int64_t type = 0;
  rc = KerberosReadInt(pn.f[0], &type);
  if (rc != kOk) return rc;
  if (name_type != nullptr) *name_type = type;
  DerCursor list;
  rc = KerberosOnly(pn.f[1], 0x30, &list);
  out->Reset();
  while (rc == kOk && !list.empty()) {
    uint8_t tag = 0;
    DerCursor s;
    rc = list.Next(&tag, &s);
    if (rc == kOk && tag != 0x1B) rc = kErrDerMalformed;
    if (rc == kOk && !out->empty()) rc = out->AppendByte('/');
    if (rc == kOk) rc = out->Append(s.data(), static_cast<int>(s.size()));
  }
  return rc;
}

}  // namespace tw
