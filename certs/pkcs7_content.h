// PKCS #7 / CMS content: one ContentInfo decoded by its type (SignedData with its certificates and
// signer infos, EnvelopedData with its first recipient), and the P7B certificate bundle that the
// certificate store reads.
#pragma once

#include <cstdint>

#include "certs/certificate.h"
#include "certs/pkcs7_record.h"
#include "foundation/byte_string.h"

namespace tw {

constexpr const char* kOidPkcs7Data = "1.2.840.113549.1.7.1";
constexpr const char* kOidPkcs7SignedData = "1.2.840.113549.1.7.2";
constexpr const char* kOidPkcs7EnvelopedData = "1.2.840.113549.1.7.3";
constexpr const char* kOidPkcs7EncryptedData = "1.2.840.113549.1.7.6";

enum Pkcs7Kind : int32_t {
  kPkcs7Other = 0,  // a content type read no further
  kPkcs7Data = 1,
  kPkcs7Signed = 2,
  kPkcs7Enveloped = 3,
  kPkcs7Encrypted = 4,
};

class Pkcs7Content {
 public:
  // Decodes `input` (DER, or Base64 text of it). 0; 447 for no input or a ContentInfo of fewer
  // than two elements; 446 for a malformed element; 200.
  //   SignedData: record.version, digestAlgorithm (the first of the set), contentType and
  //   contentText (the encapsulated content), certificates and signers.
  //   EnvelopedData: record.version, issuerText and serialText of the first recipient,
  //   encryptedKey, contentType, contentEncryptionAlgorithm and encryptedContent.
  int Parse();

  ByteString input;
  ByteString der;          // the input after any Base64 decoding
  ByteString contentType;  // dotted OID
  ByteString content;      // the bytes of the [0] content
  int32_t kind = kPkcs7Other;
  Pkcs7Record record;
};

// A P7B bundle as held by the store.
struct P7bContainer {
  ByteString der;
  ExtendedCertificateArray certificates;
  int32_t selected = -1;
  ByteString subject;  // the requested subject

  int CopyFrom(const P7bContainer& other);
  // Copies of the certificates, in bundle order, appended to out.
  int ExtractCertificates(CertificateArray* out) const;
};

// 0; 447 for no input (or the ContentInfo's own 447); 446 when the content is not SignedData or
// carries no certificate, or for a malformed element.
int ReadP7b(const void* bytes, int length, P7bContainer* out);

}  // namespace tw
