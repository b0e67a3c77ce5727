// One PKCS #7 content record: its texts, the certificates it carries, its algorithms and its
// signers.
#pragma once

#include "certs/certificate.h"
#include "certs/signer_info.h"
#include "foundation/byte_string.h"
#include "foundation/byte_string_pair.h"
#include "foundation/ptr_array.h"

namespace tw {

struct Pkcs7Record {
  ByteString contentType;
  ByteString version;
  ByteString issuerText;
  ByteString serialText;
  ByteString contentText;
  ByteStringPair digestAlgorithm;
  ExtendedCertificateArray certificates;
  ByteString encryptedKey;
  ByteStringPair contentEncryptionAlgorithm;
  ByteString encryptedContent;
  SignerInfoArray signers;

  int CopyFrom(const Pkcs7Record& other) {
    if (this == &other) return kOk;
    ByteString* mine[] = {&contentType, &version,      &issuerText,      &serialText,
                          &contentText, &encryptedKey, &encryptedContent};
    const ByteString* theirs[] = {&other.contentType, &other.version,      &other.issuerText,
                                  &other.serialText,  &other.contentText,  &other.encryptedKey,
                                  &other.encryptedContent};
    for (int i = 0; i < 7; ++i) {
      int rc = mine[i]->Assign(*theirs[i]);
      if (rc != kOk) return rc;
    }
    int rc = digestAlgorithm.CopyFrom(other.digestAlgorithm);
    if (rc == kOk) rc = certificates.CopyFrom(other.certificates);
    if (rc == kOk) rc = contentEncryptionAlgorithm.CopyFrom(other.contentEncryptionAlgorithm);
    if (rc == kOk) rc = signers.CopyFrom(other.signers);
    return rc;
  }
};

using Pkcs7RecordArray = PtrArray<Pkcs7Record>;

}  // namespace tw
