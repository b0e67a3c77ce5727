// A parsed X.509 certificate that keeps the DER it was read from and the DER of its
// to-be-signed part, every field of that part as text and bytes, and the signature.
#pragma once

#include <cstdint>

#include "certs/cert_extension.h"
#include "certs/der_reader.h"
#include "certs/der_writer.h"
#include "crypto/pubkey/key_pair.h"
#include "foundation/byte_string.h"
#include "foundation/byte_string_pair.h"
#include "foundation/ptr_array.h"
#include "foundation/string_list.h"

namespace tw {

struct TbsCertificate {
  int32_t version = 0;  // the INTEGER inside [0]; 0 when [0] is absent
  ByteString serialDer;
  ByteString serialHex;  // lower-case hex, one leading 00 byte dropped
  ByteStringPair signatureAlgorithm;
  ByteString issuerText;
  ByteString issuerDer;
  ByteString notBefore;  // "yyyyMMddHHmmss", UTC
  ByteString notAfter;
  ByteString subjectText;
  ByteString publicKeyInfo;  // the content of the subjectPublicKeyInfo SEQUENCE
  ByteStringPair publicKeyAlgorithm;
  KeyPair publicKey;
  ByteString extra;  // written after the public key as an OCTET STRING when not empty
  StringList extensionDers;
  CertExtensionArray extensions;

  int CopyFrom(const TbsCertificate& other);
};

class Certificate {
 public:
  Certificate() = default;
  // Copies go through CopyFrom, which can report running out of memory; moves cannot fail.
  Certificate(const Certificate&) = delete;
  Certificate& operator=(const Certificate&) = delete;
  Certificate(Certificate&&) = default;
  Certificate& operator=(Certificate&&) = default;
  virtual ~Certificate() = default;

  // Parses `der` into the other fields.
  virtual int Parse();
  int CopyFrom(const Certificate& other);
  // Appends `der`, or, when it is empty, the certificate built from its fields.
  int EncodeDer(DerWriter* writer) const;

  ByteString der;
  ByteString tbsDer;
  TbsCertificate tbs;
  ByteStringPair outerAlgorithm;
  ByteString signature;  // the BIT STRING content without its unused-bits byte
  mutable ByteString serialHexCache;
};

// Parses the bytes, which are also kept as the certificate's `der`.
int ParseCertificateDer(const void* bytes, int length, Certificate* certificate);

int ParseTbsCertificate(const DerCursor& tbs_der, TbsCertificate* record);
int ParseTbsCertificate(const ByteString& tbs_der, TbsCertificate* record);
int EncodeTbsCertificate(const TbsCertificate& record, DerWriter* writer);

// "yyyyMMddHHmmss" UTC from a UTCTime (23) or GeneralizedTime (24) content.
int CertTimeToText(int tag, const DerCursor& content, ByteString* text);
// UTCTime for 1950 to 2049, GeneralizedTime otherwise.
int EncodeCertTime(const char* text, DerWriter* writer);

// "00" without a certificate or serial; otherwise the hex of the whole serial content.
const char* GetSerialNumberHex(const Certificate* certificate);
// Whether two "CERTIFICATE" PEM texts hold the same certificate: 0 when they do, -1 when they
// differ; the code of the first text that does not decode or parse.
int ComparePemCertificates(const ByteString& pem_a, const ByteString& pem_b);
// The OID name of the TBS signature algorithm; "" without a certificate.
const char* GetSignatureAlgorithmName(const Certificate* certificate);

// -1 before notBefore, 1 after notAfter, 0 inside the validity period (now, UTC).
int CompareValidity(const char* not_before, const char* not_after);
// The same at a given "yyyyMMddHHmmss" time.
int CompareValidityAt(const char* now, const char* not_before, const char* not_after);

// The subject public key of a certificate.
struct PublicKeyRecord {
  ByteStringPair algorithm;
  KeyPair key;

  int CopyFrom(const PublicKeyRecord& other) {
    int rc = algorithm.CopyFrom(other.algorithm);
    return rc != kOk ? rc : key.CopyFrom(other.key);
  }
};

// A certificate with its private key and named properties. The certificate comes first, so the
// record serves wherever a Certificate is read.
struct CertificateWithKey {
  Certificate certificate;
  KeyPair key;
  StringList propertyNames;
  StringList propertyValues;

  int CopyFrom(const CertificateWithKey& other);
  // The bytes of the first property of that name; 202 when absent.
  int GetProperty(const char* name, ByteString* value) const;
  int AddProperty(const char* name, const void* bytes, int length);
};

// A certificate entry of a PKCS #7 certificate set: a plain certificate, or an extended
// certificate with its attributes and its own signature.
struct ExtendedCertificate {
  Certificate certificate;
  int32_t version = 0;
  Certificate innerCertificate;
  CertExtensionArray attributes;  // OID and the attribute's value SET
  ByteStringPair algorithm;
  ByteString signature;

  int CopyFrom(const ExtendedCertificate& other);
};

// First byte 0x30: a certificate into `certificate`; 0xA0: an extended certificate; anything
// else leaves the record empty and gives 0.
int ParseCertificateAny(const void* bytes, int length, ExtendedCertificate* out);

using CertificateArray = PtrArray<Certificate>;
using CertificateWithKeyArray = PtrArray<CertificateWithKey>;
using ExtendedCertificateArray = PtrArray<ExtendedCertificate>;
using ByteStringPairPtrArray = PtrArray<ByteStringPair>;

}  // namespace tw
