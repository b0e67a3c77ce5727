#include "crypto/pubkey/key_pair.h"

#include <cstring>

namespace tw {

int KeyPair::CopyFrom(const KeyPair& other) {
  if (this == &other) return kOk;
  type = other.type;
  int rc = rsa.CopyFrom(other.rsa);
  if (rc == kOk) rc = dsa.CopyFrom(other.dsa);
  if (rc == kOk) rc = ec.CopyAll(other.ec);
  if (rc == kOk) rc = edwards.CopyAll(other.edwards);
  if (rc != kOk) return rc;
  paramNames = other.paramNames;
  paramValues = other.paramValues;
  // The list copy cannot report failure itself: a short copy shows as a packed-size mismatch.
  if (paramNames.packed().length() != other.paramNames.packed().length() ||
      paramValues.packed().length() != other.paramValues.packed().length()) {
    return kErrOutOfMemory;
  }
  return kOk;
}

int KeyPair::AddParam(const char* name, const char* value) {
  int rc = paramNames.AddText(name ? name : "");
  if (rc != kOk) return rc;
  rc = paramValues.AddText(value ? value : "");
  if (rc != kOk) paramNames.SetCount(paramNames.Count() - 1);
  return rc;
}

const char* KeyPair::GetParam(const char* name) const {
  const int i = paramNames.Find(name ? name : "", 0);
  return i < 0 ? "" : paramValues.Get(i);
}

bool KeyPair::HasPrivate() const {
  switch (type) {
    case kKeyRsa:
      return rsa.HasPrivate();
    case kKeyDsa:
      return dsa.HasPrivate();
    case kKeyEc:
      return ec.HasPrivate();
    case kKeyEdwards:
      return edwards.HasPrivate();
    default:
      return false;
  }
}

int KeyPair::DerivePublic() {
  switch (type) {
    case kKeyRsa:
      return rsa.CompleteCrt();
    case kKeyDsa:
      return dsa.DerivePublic();
    case kKeyEc:
      return ec.DerivePublic();
    case kKeyEdwards:
      return edwards.DerivePublic();
    default:
      return kOk;
  }
}

int KeyPair::GetRsa(RsaKeyData* out, bool public_only) const {
  if (type != kKeyRsa) return -1;
  int rc = out->CopyFrom(rsa);
  // The derived parts are all private: only a full copy needs them completed.
  if (rc == kOk && !public_only) rc = out->CompleteCrt();
  if (rc != kOk || !public_only) return rc;
  ByteString* priv[] = {&out->P, &out->Q, &out->DP, &out->DQ, &out->QInv, &out->D};
  for (ByteString* f : priv) WipeComponent(*f);
  return kOk;
}

int KeyPair::GetDsa(DsaKeyData* out, bool public_only) const {
  if (type != kKeyDsa) return -1;
  int rc = out->CopyFrom(dsa);
  if (rc == kOk) rc = out->DerivePublic();  // Y from X when a key file carried only X
  if (rc == kOk && public_only) WipeComponent(out->X);
  return rc;
}

int KeyPair::GetEc(EcKeyData* out, bool public_only) const {
  if (!IsEcKind()) return -1;
  return out->Copy(type == kKeyEc ? ec : edwards, !public_only);
}

}  // namespace tw
