// A PKCS #7 signer record: who signed (issuer and serial number, as text and as DER), with which
// algorithms, and the signature.
#pragma once

#include <cstdint>

#include "foundation/byte_string.h"
#include "foundation/byte_string_pair.h"
#include "foundation/ptr_array.h"

namespace tw {

constexpr const char* kOidSha1 = "1.3.14.3.2.26";

struct SignerInfo {
  SignerInfo() {
    // Fit inline: cannot fail.
    digestAlgorithm.first.SetText(kOidSha1);
    attributeDigestAlgorithm.first.SetText(kOidSha1);
  }

  int32_t version = 1;
  ByteString issuerText;
  ByteString issuerDer;
  ByteString serialDer;
  ByteString serialText;
  ByteStringPair digestAlgorithm;
  ByteStringPair attributeDigestAlgorithm;
  ByteStringPair signatureAlgorithm;
  ByteString signature;

  int CopyFrom(const SignerInfo& other) {
    if (this == &other) return kOk;
    version = other.version;
    ByteString* mine[] = {&issuerText, &issuerDer, &serialDer, &serialText, &signature};
    const ByteString* theirs[] = {&other.issuerText, &other.issuerDer, &other.serialDer,
                                  &other.serialText, &other.signature};
    for (int i = 0; i < 5; ++i) {
      int rc = mine[i]->Assign(*theirs[i]);
      if (rc != kOk) return rc;
    }
    int rc = digestAlgorithm.CopyFrom(other.digestAlgorithm);
    if (rc == kOk) rc = attributeDigestAlgorithm.CopyFrom(other.attributeDigestAlgorithm);
    if (rc == kOk) rc = signatureAlgorithm.CopyFrom(other.signatureAlgorithm);
    return rc;
  }
};

using SignerInfoArray = PtrArray<SignerInfo>;

}  // namespace tw
