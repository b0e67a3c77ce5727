// The PKCS #12 key derivation (RFC 7292 appendix B.2) for encrypted key bags and the PFX MAC.
#pragma once

#include <cstdint>

#include "foundation/byte_string.h"
#include "foundation/text_conversion.h"  // kErrInvalidValue

namespace tw {

// Diversifiers: what the derived bytes are for.
constexpr int kPkcs12IdKey = 1;
constexpr int kPkcs12IdIv = 2;
constexpr int kPkcs12IdMac = 3;

// The derivation's inputs, filled by the caller, and the code of its last step.
class Pkcs12Kdf {
 public:
  Pkcs12Kdf();
  ~Pkcs12Kdf();
  Pkcs12Kdf(const Pkcs12Kdf&) = delete;
  Pkcs12Kdf& operator=(const Pkcs12Kdf&) = delete;

  ByteString& digest_name() { return digestName_; }  // "MD5" after construction
  ByteString& password() { return password_; }       // 8-bit text
  ByteString& salt() { return salt_; }
  int last_error() const { return lastError_; }
  // v: the block length of the digest used by the last derivation (64 before any).
  int block_length() const { return blockLength_; }

 private:
  friend int Pkcs12Derive(Pkcs12Kdf& kdf, int id, int iterations, int byte_count, ByteString& out);

  ByteString digestName_;
  ByteString password_;
  ByteString salt_;
  int lastError_ = 0;
  int blockLength_ = 64;
};

// byte_count bytes for diversifier id (1, 2 or 3) into out. The block length v is the digest's
// own (64 for SHA-1 and SHA-256, 128 for SHA-384 and SHA-512). 0, 2001 for a digest name the hash
// engine does not accept, 202 for a negative count or a digest without a block, 200. Kept as the
// object's last error.
int Pkcs12Derive(Pkcs12Kdf& kdf, int id, int iterations, int byte_count, ByteString& out);
inline int Pkcs12DeriveKey(Pkcs12Kdf& kdf, int iterations, int byte_count, ByteString& out) {
  return Pkcs12Derive(kdf, kPkcs12IdKey, iterations, byte_count, out);
}
inline int Pkcs12DeriveIv(Pkcs12Kdf& kdf, int iterations, int byte_count, ByteString& out) {
  return Pkcs12Derive(kdf, kPkcs12IdIv, iterations, byte_count, out);
}
inline int Pkcs12DeriveMacKey(Pkcs12Kdf& kdf, int iterations, int byte_count, ByteString& out) {
  return Pkcs12Derive(kdf, kPkcs12IdMac, iterations, byte_count, out);
}

// The same derivation from a password already in its BMPString form, so that callers can choose
// between the two forms of an empty password (00 00, or no bytes at all).
int Pkcs12DeriveBmp(const char* digest_name, const ByteString& bmp_password, const ByteString& salt, int id,
                    int iterations, int byte_count, ByteString& out);

// Each byte of the 8-bit password as a 16-bit big-endian unit, then 00 00; an empty password gives
// no bytes at all. 0 or 200.
int Pkcs12PasswordToBmp(const ByteString& password, ByteString& out);

}  // namespace tw
