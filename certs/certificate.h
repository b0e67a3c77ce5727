// A parsed X.509 certificate that keeps the DER it came from, and a certificate with its key.
#pragma once

#include "crypto/pubkey/key_pair.h"
#include "foundation/byte_string.h"
#include "foundation/ptr_array.h"

namespace tw {

struct Certificate {
  ByteString der;
  ByteString subject;  // "CN=pem_cert" for a bare key
  ByteString issuer;
};

// The certificate comes first, so the record serves wherever a Certificate is read.
struct CertificateWithKey {
  Certificate certificate;
  KeyPair key;
};

using CertificateArray = PtrArray<Certificate>;
using CertificateWithKeyArray = PtrArray<CertificateWithKey>;

}  // namespace tw
