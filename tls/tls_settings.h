// The TLS list settings: their defaults, the parsers that check a new value, and the names they
// take (groups, TLS 1.3 signature schemes, TLS 1.2 hash-signature pairs, cipher suites).
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "foundation/byte_string.h"

namespace tw {

constexpr int kErrInvalidCipherSuites = 202;

// SSLEnabledCipherSuites when null or empty: every suite.
inline constexpr char kAllCipherSuites[] = "*";
inline constexpr char kDefaultTls12Groups[] = "ecdhe_secp256r1,ecdhe_secp384r1,ecdhe_secp521r1";
inline constexpr char kDefaultTls13Groups[] =
    "ecdhe_x25519,ecdhe_x448,ecdhe_secp256r1,ecdhe_secp384r1,ecdhe_secp521r1,ffdhe_2048,"
    "ffdhe_3072,ffdhe_4096,ffdhe_6144,ffdhe_8192";
inline constexpr char kDefaultKeyShareGroups[] =
    "ecdhe_x25519,ecdhe_secp256r1,ecdhe_secp384r1,ffdhe_2048,ffdhe_3072";
// SHA-1 last, so that a server taking the client's order signs with a SHA-2 hash.
inline constexpr char kDefaultTls12SignatureAlgorithms[] =
    "sha256-rsa,sha256-dsa,sha256-ecdsa,sha384-rsa,sha384-dsa,sha384-ecdsa,sha512-rsa,sha512-dsa,"
    "sha512-ecdsa,sha224-rsa,sha224-dsa,sha224-ecdsa,sha1-rsa,sha1-dsa,sha1-ecdsa";
inline constexpr char kDefaultTls13SignatureSchemes[] =
    "rsa_pss_sha256,rsa_pss_sha384,rsa_pss_sha512,rsa_pkcs1_sha256,rsa_pkcs1_sha384,"
    "rsa_pkcs1_sha512,ecdsa_secp256r1_sha256,ecdsa_secp384r1_sha384,ecdsa_secp521r1_sha512,"
    "ed25519,ed448";

// List settings of the TLS client: blanks removed, split at ",", every item known (case ignored
// for groups and schemes). 0, or -1 with the setting left as it was; *error gets the reason.
using TlsIdList = std::vector<uint16_t>;
int ParseSupportedGroups(const char* text, bool tls13, TlsIdList* out);
int ParseSignatureSchemes(const char* text, TlsIdList* out);
// The name of a TLS 1.3 signature scheme; "None" for 0 or an unknown code.
const char* SignatureSchemeName(uint16_t code);
// The code of a TLS 1.3 signature scheme's name (case ignored); -1 for an unknown name.
int SignatureSchemeCode(std::string_view name);
int ParseTls12SignatureAlgorithms(const char* text, TlsIdList* out, ByteString* error);

// SSLEnabledCipherSuites: "*" or empty accepts every suite; otherwise every ";"-separated name
// must be known to the path that will use it: a suite name of the own engine, or an algorithm
// (CALG) name of the platform path. 0, or 202 with "Invalid SSLEnabledCipherSuites Value:
// <name>." in *error.
int ParseEnabledCipherSuites(bool own_engine, const char* text, ByteString* error);

}  // namespace tw
