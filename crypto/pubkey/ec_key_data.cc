#include "crypto/pubkey/ec_key_data.h"

namespace tw {

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
  if (this == &src) return kOk;
  Clear();
  curve_id = src.curve_id;
  flag = src.flag;
  int rc = public_bytes.Assign(src.public_bytes);
  if (rc == kOk) rc = X.Assign(src.X);
  if (rc == kOk) rc = Y.Assign(src.Y);
  if (rc == kOk && with_private) rc = D.Assign(src.D);
  if (rc == kOk && with_private) rc = private_bytes.Assign(src.private_bytes);
  if (rc != kOk) Clear();
  return rc;
}

bool EcKeyData::HasPublic() const {
  return UsesRawBytes() ? !public_bytes.empty() : (!X.empty() && !Y.empty());
}

bool EcKeyData::HasPrivate() const { return UsesRawBytes() ? !private_bytes.empty() : !D.empty(); }

}  // namespace tw
