#include "crypto/pubkey/rsa_key_data.h"

#include "crypto/pubkey/big_number.h"

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

namespace tw {

int RsaKeyData::CompleteCrt() {
  if (D.empty() || P.empty() || Q.empty()) return kOk;
  if (!DP.empty() && !DQ.empty() && !QInv.empty()) return kOk;
  BigNumber d, p, q, r;
  d.SetBytes(D);
  p.SetBytes(P);
  q.SetBytes(Q);
  int rc = kOk;
  if (DP.empty()) {
    BigNumber p1;
    BigNumber::Sub(p, BigNumber::One(), p1);
    rc = BigNumber::Mod(d, p1, r);
    if (rc == kOk) rc = r.ToMagnitude(DP);
  }
  if (rc == kOk && DQ.empty()) {
    BigNumber q1;
    BigNumber::Sub(q, BigNumber::One(), q1);
    rc = BigNumber::Mod(d, q1, r);
    if (rc == kOk) rc = r.ToMagnitude(DQ);
  }
  if (rc == kOk && QInv.empty()) {
    rc = BigNumber::ModInverse(q, p, r);
    if (rc == kOk) rc = r.ToMagnitude(QInv);
  }
  return rc;
}

}  // namespace tw
