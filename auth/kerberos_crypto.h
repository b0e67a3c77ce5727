// Kerberos encryption profiles: encryption, decryption, checksums and string-to-key for
// des-cbc-md5 (3), rc4-hmac (23), aes128-cts-hmac-sha1-96 (17) and aes256-cts-hmac-sha1-96 (18).
// Every call builds its cipher and MAC objects for itself and keeps no state.
#pragma once

#include <cstdint>

#include "foundation/byte_string.h"

namespace tw {

constexpr int kErrKerberosBusy = 950;
constexpr int kErrKerberosUser = 951;
constexpr int kErrKerberosKrbError = 952;
constexpr int kErrKerberosIntegrity = 953;
constexpr int kErrKerberosEtype = 954;

constexpr int kEtypeDesCbcMd5 = 3;
constexpr int kEtypeAes128 = 17;
constexpr int kEtypeAes256 = 18;
constexpr int kEtypeRc4Hmac = 23;

constexpr int kKeyUsageAsReqTimestamp = 1;
constexpr int kKeyUsageAsRepPart = 3;
constexpr int kKeyUsageTgsReqAuthChecksum = 6;
constexpr int kKeyUsageTgsReqAuthenticator = 7;
constexpr int kKeyUsageTgsRepPart = 8;
constexpr int kKeyUsageApReqAuthenticator = 11;

// Iteration counts of the AES string-to-key outside this range are refused: 0 would skip the
// password, and a huge count would hold the caller for hours.
constexpr uint32_t kKerberosMaxIterations = 1u << 24;

// The type's name ("rc4-hmac"), "" for an unknown id.
const char* KerberosEtypeName(int etype);
// The id of a name (ASCII case ignored), 0 when unknown.
int KerberosEtypeByName(const char* name);
// Key bytes of the type, 0 when unknown.
int KerberosKeyLength(int etype);

// RFC 3961 n-fold of the input to `bits` output bits (a multiple of 8).
int NFold(int bits, const void* input, int length, ByteString* out);
// RFC 3961 DK for the AES types: key of key_bits from the base key and the usage's constant.
int KerberosDeriveKey(int usage, uint8_t final_byte, const ByteString& base_key, int key_bits, ByteString* out);

int KerberosEncrypt(int etype, const ByteString& plain, const ByteString& key, int usage, ByteString* out,
                    ByteString* error_text);
// Checks the integrity and gives the plaintext; 953 "Integrity check error." when the check fails
// or the ciphertext is shorter than the type's confounder and checksum.
int KerberosDecrypt(int etype, const ByteString& cipher, const ByteString& key, int usage, ByteString* out,
                    ByteString* error_text);
// The checksum of data for the etype's checksum type; unknown etypes give type 0 and no bytes.
int KerberosChecksum(int etype, int usage, const ByteString& key, const ByteString& data, ByteString* out,
                     int* checksum_type);
// s2kparams: empty (4096 iterations) or exactly 4 bytes, most significant first.
int KerberosStringToKey(int etype, const ByteString& password, const ByteString& salt, const ByteString& s2kparams,
                        ByteString* out, ByteString* error_text);
// [3] { SEQUENCE { [0] cksumtype, [1] checksum } } appended to out; nothing for an empty checksum.
int KerberosBuildChecksumField(int etype, const ByteString& key, const ByteString& data, ByteString* out);

}  // namespace tw
