// Password-based key derivation: PBKDF2 (RFC 8018), the password-to-key object of the cipher
// component and the password-encrypted key files, and the mask generator MGF1 (RFC 8017).
#pragma once

#include <cstdint>

#include "crypto/symmetric/hmac.h"
#include "crypto/symmetric/md2.h"
#include "crypto/symmetric/md5.h"
#include "crypto/symmetric/sha1.h"
#include "foundation/byte_string.h"

namespace tw {

constexpr int kErrKdfDigestName = 3001;
constexpr int kErrMgfArgument = 1113;
// PBKDF2 derives at most this many digest-sized blocks.
constexpr int kPbkdf2MaxBlocks = 29;

// PBKDF2 with HMAC over hash_id into output, which must hold output_bits / 8 bytes. The engine is
// re-keyed with the password. 0; 202 for fewer than 1 iteration or negative output bits (a key
// that skipped the password would be the same for every password); 200 for more than 29 blocks or
// an id without a digest; 2001 or 200 from the HMAC.
int Pbkdf2(HmacEngine& hmac, int hash_id, const void* password, int password_length, const void* salt,
           int salt_length, int iterations, int output_bits, void* output);
// The same with an engine of its own; out is set to the derived bytes (empty on failure).
int Pbkdf2(int hash_id, const void* password, int password_length, const void* salt, int salt_length,
           int iterations, int output_bits, ByteString& out);

// Derives key and IV bytes from a password, a salt and a digest name.
class PasswordKdf {
 public:
  PasswordKdf();
  ~PasswordKdf();
  PasswordKdf(const PasswordKdf&) = delete;
  PasswordKdf& operator=(const PasswordKdf&) = delete;

  // out is set to exactly output_length bytes (empty for 0 or less).
  // Names containing "hmac" (any case) use PBKDF2 with the first of sha1, sha224, sha256,
  // sha384, sha512, md5, ripemd that they contain. "MD5", "SHA1" and "MD2" (any case) use the
  // iterated digest: D(i) = digest^iterations of D(i-1) || password || salt (order flag 0) or
  // password || D(i-1) || salt (otherwise), key bytes taken from D1 D2 ... in turn.
  // 0, 3001 for a name it cannot map, 200, or PBKDF2's 202 for fewer than 1 iteration.
  int DeriveBytes(int iterations, const char* digest_name, const char* password, const void* salt,
                  int salt_length, int output_length, int order_flag, ByteString& out);

  // DeriveBytes with the object's digest name, password and salt for key_length + iv_length
  // bytes; the key field takes the first key_length bytes and the IV field the next iv_length
  // (each only when its length is above 0), and *key / *iv (when not null) point at their bytes.
  // The code is also kept as last_error(); on failure both fields stay as they were.
  int DeriveKeyAndIv(int iterations, const uint8_t** key, int key_length, const uint8_t** iv, int iv_length,
                     int order_flag);

  ByteString& digest_name() { return digestName_; }
  ByteString& password() { return password_; }
  ByteString& salt() { return salt_; }
  const ByteString& key() const { return key_; }
  const ByteString& iv() const { return iv_; }
  int last_error() const { return lastError_; }

 private:
  template <class Context>
  int Iterated(Context& context, int iterations, const char* password, const void* salt, int salt_length,
               int output_length, int order_flag, ByteString& out);

  ByteString digestName_;
  ByteString password_;
  ByteString salt_;
  ByteString key_;
  ByteString iv_;
  int lastError_ = 0;
  Sha1Context sha1_;
  Md2Context md2_;
  Md5Context md5_;
};

// MGF1 of the seed with the named digest; mask_length bytes are appended to out. 0, 1113 for a
// null seed or a negative seed or mask length, 2001 for a name the hash engine does not accept,
// 200.
int Mgf1(const void* seed, int seed_length, const char* digest_name, int mask_length, ByteString& out);

}  // namespace tw
