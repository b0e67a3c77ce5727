// KeyPair::DerivePublic lives apart from the records, so code that only holds and copies keys
// does not pull in the arithmetic.
#include "crypto/pubkey/key_pair.h"

namespace tw {

namespace {

constexpr int kErrEcNoParams = 1401;

}  // namespace

int KeyPair::DerivePublic() {
  switch (type) {
    case kKeyRsa:
      return rsa.CompleteCrt();
    case kKeyDsa:
      return dsa.DerivePublic();
    case kKeyEc:
    case kKeyEdwards: {
      const EcKeyData& r = type == kKeyEc ? ec : edwards;
      // The curve arithmetic is not part of this build: a key whose public part is missing
      // cannot be completed, and saying so beats handing out a key without it.
      return (!r.HasPrivate() || r.HasPublic()) ? kOk : kErrEcNoParams;
    }
    default:
      return kOk;
  }
}

}  // namespace tw
