#include "crypto/pubkey/dsa_key_data.h"

#include "crypto/pubkey/big_number.h"

namespace tw {

void DsaKeyData::Clear() {
  P.Reset();
  Q.Reset();
  G.Reset();
  Y.Reset();
  Reserved1.Reset();
  WipeComponent(X);
  Reserved2.Reset();
  ReservedValue = 0;
}

int DsaKeyData::CopyFrom(const DsaKeyData& other) {
  if (this == &other) return kOk;
  ByteString* mine[] = {&P, &Q, &G, &Y, &Reserved1, &X, &Reserved2};
  const ByteString* theirs[] = {&other.P, &other.Q, &other.G,        &other.Y,
                                &other.Reserved1, &other.X, &other.Reserved2};
  Clear();
  for (int i = 0; i < 7; ++i) {
    int rc = mine[i]->Assign(*theirs[i]);
    if (rc != kOk) {
      Clear();
      return rc;
    }
  }
  ReservedValue = other.ReservedValue;
  return kOk;
}

bool DsaKeyData::HasPrivate() const { return !X.empty(); }

int DsaKeyData::PadComponents() {
  const int l = ((8 * P.length() + 8) / 64) * 64;
  int n;
  if (l >= 2048 && l < 3072) {
    n = (Q.length() >= 31 && Q.length() <= 33) ? 256 : 224;
  } else {
    n = l < 2048 ? 160 : 256;
  }
  // A Q wider than its size class (1024-bit P with a 224-bit Q) keeps its own width.
  int q_bytes = Q.length();
  for (int i = 0; i < Q.length() && Q.bytes()[i] == 0; ++i) --q_bytes;
  if (8 * q_bytes > n) n = 8 * q_bytes;
  int rc = FitComponent(P, l / 8);
  if (rc == kOk) rc = FitComponent(G, l / 8);
  if (rc == kOk) rc = FitComponent(Q, n / 8);
  if (rc == kOk) rc = FitComponent(Y, l / 8);
  if (rc == kOk) rc = FitComponent(X, n / 8);
  return rc;
}

}  // namespace tw

namespace tw {

int DsaKeyData::DerivePublic() {
  if (!Y.empty() || X.empty() || P.empty() || G.empty()) return kOk;
  BigNumber p, g, x, y, q;
  p.SetBytes(P);
  q.SetBytes(Q);
  g.SetBytes(G);
  x.SetBytes(X);
  int rc = BigNumber::ModExpSecret(g, x, p, y, q.IsZero() ? 0 : q.BitLength());
  if (rc == kOk) rc = y.ToMagnitude(Y);
  return rc;
}

}  // namespace tw
