// RSA and DSA keys and certificates in the XML key-information forms "RSAKeyValue",
// "DSAKeyValue" and "X509Data"/"X509Certificate", each component the Base64 of its big-endian
// bytes.
#pragma once

#include "certs/certificate.h"
#include "crypto/pubkey/dsa_key_data.h"
#include "crypto/pubkey/key_pair.h"
#include "crypto/pubkey/rsa_key_data.h"
#include "foundation/byte_string.h"

namespace tw {

constexpr int kErrXmlKeyNone = 280;  // the text holds none of the three root names

// Append to out, with no white space between elements: "Modulus", "Exponent" and, with
// with_private, "P", "Q", "DP", "DQ", "InverseQ", "D" (each when present, padded to its
// standard length); DSA: "P", "Q", "G", "Y", "J", then "X" with with_private. 0 or 200.
int WriteRsaKeyXml(const RsaKeyData& rsa, bool with_private, ByteString* out);
int WriteDsaKeyXml(const DsaKeyData& dsa, bool with_private, ByteString* out);
// Appends "<X509Data><X509Certificate>" Base64 DER (64-character lines)
// "</X509Certificate></X509Data>".
int WriteX509DataXml(const Certificate& certificate, ByteString* out);

// Every key and certificate of the text, appended in document order. 0; 280 when the text names
// none of the three roots; the XML, Base64 (-1) or certificate code of the first failure, with
// what was found before it kept. An RSA key needs "Modulus" and "Exponent", a DSA key "P", "Q"
// and "G"; a missing one gives the path lookup's code.
int ReadXmlKeys(const char* text, int length, KeyPairArray* keys, CertificateArray* certificates);

}  // namespace tw
