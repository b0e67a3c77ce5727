// The key expansion functions of TLS: the TLS 1.2 PRF with SHA-256 or SHA-384 (RFC 5246), the
// TLS 1.0 and 1.1 PRF from MD5 and SHA-1 (RFC 2246), and the SSL 3.0 key block. The caller joins
// label and seed into one string.
#pragma once

#include "crypto/symmetric/hmac.h"
#include "foundation/byte_string.h"

namespace tw {

// SSL 3.0 rounds are labelled "A", "BB", ... up to 100 letters, so 1,600 bytes at most.
constexpr int kSsl3MaxKeyBlock = 1600;

// P_hash: HMAC(A(i) || seed) for A(0) = seed, A(i) = HMAC(A(i-1)), cut to length. The engine
// is keyed with the secret by the caller. out is replaced. 0, 202 for a negative length, or the
// HMAC's code.
int TlsPHash(HmacEngine& keyed, const ByteString& seed, int length, ByteString& out);

int TlsPrfSha256(const ByteString& secret, const ByteString& label_and_seed, int length, ByteString& out);
int TlsPrfSha384(const ByteString& secret, const ByteString& label_and_seed, int length, ByteString& out);
// P_MD5 over the first half of the secret XOR P_SHA1 over the second (halves share the middle
// byte of an odd-length secret).
int TlsPrfMd5Sha1(const ByteString& secret, const ByteString& label_and_seed, int length, ByteString& out);

// MD5(secret || SHA-1("A" || secret || randoms)) || MD5(secret || SHA-1("BB" || ...)) ..., cut to
// length. 202 for a negative length or one above 1,600 bytes.
int Ssl3DeriveKeyBlock(const ByteString& secret, const ByteString& randoms, int length, ByteString& out);

}  // namespace tw
