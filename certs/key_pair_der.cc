#include "certs/key_pair_der.h"

#include "certs/der_reader.h"
#include "certs/key_encoding.h"
#include "certs/public_key_info.h"
#include "foundation/byte_string_pair.h"

namespace tw {

int ReadPublicKeyInfoBytes(KeyPair* key, const void* der, int length) {
  if (der == nullptr || length <= 0) return kErrDerMalformed;
  DerCursor all(der, static_cast<size_t>(length)), element;
  uint8_t tag = 0;
  int rc = all.Next(&tag, nullptr, &element);
  if (rc == kOk && (!all.empty() || tag != 0x30)) rc = kErrDerMalformed;
  ByteStringPair algorithm;
  KeyPair fresh;
  if (rc == kOk) rc = ReadSubjectPublicKeyInfo(element, &algorithm, &fresh);
  // An algorithm not known here gives no key, which is no success.
  if (rc == kOk && fresh.type == kKeyNone) rc = kErrDerMalformed;
  return rc == kOk ? key->CopyFrom(fresh) : rc;
}

int WritePrivateKey(const KeyPair& key, bool pem, ByteString* out) {
  if (key.type < kKeyRsa || key.type > kKeyEdwards) return kErrUnknownKeyKind;
  KeyPair full;
  int rc = full.CopyFrom(key);
  if (rc != kOk) return rc;
  if (!full.HasPrivate() || full.DerivePublic() != kOk) return kErrNoPrivateKey;
  switch (full.type) {
    case kKeyRsa:
      return WriteRsaPkcs1(full.rsa, pem, out);
    case kKeyDsa:
      return WriteDsaPkcs8(full.dsa, pem, out);
    case kKeyEc:
      return WriteEcPkcs8(full.ec, pem, false, out);
    default:
      return WriteEdPkcs8(full.edwards, pem, false, out);
  }
}

}  // namespace tw
