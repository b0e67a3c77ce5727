#include "crypto/pubkey/rsa_key_data.h"

namespace tw {

void RsaKeyData::Clear() {
  E.Reset();
  N.Reset();
  WipeComponent(P);
  WipeComponent(Q);
  WipeComponent(DP);
  WipeComponent(DQ);
  WipeComponent(QInv);
  WipeComponent(D);
}

int RsaKeyData::CopyFrom(const RsaKeyData& other) {
  if (this == &other) return kOk;
  ByteString* mine[] = {&E, &N, &P, &Q, &DP, &DQ, &QInv, &D};
  const ByteString* theirs[] = {&other.E, &other.N,  &other.P,    &other.Q,
                                &other.DP, &other.DQ, &other.QInv, &other.D};
  Clear();
  for (int i = 0; i < 8; ++i) {
    int rc = mine[i]->Assign(*theirs[i]);
    if (rc != kOk) {
      Clear();
      return rc;
    }
  }
  return kOk;
}

bool RsaKeyData::HasPrivate() const {
  return !N.empty() && (!D.empty() || (!P.empty() && !Q.empty()));
}

int RsaKeyData::PadComponents() {
  const int w = ((N.length() + 4) / 8) * 8;
  ByteString* full[] = {&N, &D};
  ByteString* half[] = {&P, &DP, &Q, &DQ, &QInv};
  for (ByteString* f : full) {
    int rc = FitComponent(*f, w);
    if (rc != kOk) return rc;
  }
  for (ByteString* f : half) {
    int rc = FitComponent(*f, w / 2);
    if (rc != kOk) return rc;
  }
  return kOk;
}

}  // namespace tw
