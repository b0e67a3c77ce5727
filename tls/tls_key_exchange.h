// The values from which TLS secrets come: key shares and (EC)DHE public values of every group,
// the server's key-exchange parameters, the shared secret, and the RSA pre-master secret.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "crypto/pubkey/key_exchange.h"
#include "crypto/pubkey/rsa_engine.h"
#include "crypto/pubkey/rsa_key_data.h"
#include "foundation/byte_string.h"

namespace tw {

// A peer value that gives no secret (an all-zero X25519/X448 output, a point off the curve).
constexpr int kErrTlsPeerKey = 276;

// The curve id of an elliptic group (23, 24, 25, 29, 30); kCurveNone for others.
int GroupCurveId(uint16_t group);
// The group of a curve id; 0 when none.
uint16_t CurveGroup(int curve_id);
// The RFC 7919 group of a prime of that many bits; 0 when none.
uint16_t FfdheGroupOfBits(int bits);

// A context with a fresh own key pair for the group: a curve, or an RFC 7919 prime. 0 or a code
// (-1 for an unknown group).
int MakeGroupKeyExchange(uint16_t group, std::unique_ptr<KeyExchange>* out);
// A context with a fresh own key pair for the server's finite-field parameters.
int MakeDhKeyExchange(const uint8_t* p, size_t p_length, const uint8_t* g, size_t g_length,
                      std::unique_ptr<KeyExchange>* out);

// A server's finite-field context with a fresh own pair: G = 2 and the 512-bit export prime, or
// the table prime of `bits` (the 1024-bit one when the table has none of that size).
int MakeServerDhKeyExchange(bool export_grade, int bits, std::unique_ptr<KeyExchange>* out);

// The ServerKeyExchange parameters ahead of the signature: a named curve and point, p, g and Ys,
// or the modulus and exponent of a temporary RSA key (when `temp_rsa` is given).
int ServerKeyExchangeParams(const KeyExchange* kx, const RsaKeyData* temp_rsa, ByteString* out);

// The raw RSA private operation, left-padded to the modulus length (the pre-master secret is
// unpadded by the caller in constant time), with a key or with an engine the caller keeps.
int RsaPrivateOpPadded(const RsaKeyData& key, const uint8_t* data, size_t n, ByteString* out);
int RsaPrivateOpPadded(RsaEngine& rsa, const uint8_t* data, size_t n, ByteString* out);

// The own public value as sent: finite field padded to the prime's length, a prime-curve point
// uncompressed, X25519/X448 raw.
int OwnPublicValue(const KeyExchange& kx, ByteString* out);
// Takes the peer's value as received. 0 or kErrTlsPeerKey.
int SetPeerValue(KeyExchange& kx, const uint8_t* value, size_t n);
// The shared secret: finite field without leading zero bytes (TLS 1.2 and earlier) or padded to
// the prime (TLS 1.3); EC x-coordinate or X25519/X448 output, which may not be all zero.
int SharedSecret(KeyExchange& kx, bool tls13, ByteString* out);

// 48 random bytes whose first two are the version the ClientHello offered.
int MakeRsaPreMaster(uint16_t hello_version, ByteString* out);

// The server's pre-master secret from the decrypted PKCS #1 v1.5 block: its last 48 bytes when the
// padding is right and they start with the client's version, else `fallback`. Chosen without a
// branch on the block, so a client learns nothing from how the handshake goes on. Returns whether
// the block was good (for the log only, after the choice is made).
bool SelectRsaPreMaster(const ByteString& block, uint16_t client_version, const ByteString& fallback,
                        ByteString* out);

}  // namespace tw
