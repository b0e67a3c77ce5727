// ECDSA over the prime curves of the parameter table, with the raw r || s and DER forms of the
// signature. Signing takes a digest the caller has made.
#pragma once

#include <cstdint>

#include "crypto/pubkey/ec_key_data.h"
#include "foundation/byte_string.h"
#include "foundation/span_reader.h"

namespace tw {

// Signs with the record's D; der chooses the DER form over r || s. 1401 for missing curve
// parameters or key parts.
int EcdsaSign(const EcKeyData& key, bool der, const uint8_t* digest, int digest_length, ByteString& out);
// The same with a caller's nonce instead of a random one (known-answer checks); 1401 when the
// nonce gives r = 0 or s = 0.
int EcdsaSignWithNonce(const EcKeyData& key, bool der, const uint8_t* digest, int digest_length, const ByteString& k,
                       ByteString& out);
// 0 with *valid set; either form is accepted. A malformed signature is a false verdict.
int EcdsaVerify(const EcKeyData& key, const uint8_t* digest, int digest_length, const uint8_t* sig, int sig_length,
                bool* valid);

void IntegerToDerContent(ByteString& v);
int EcdsaSignatureToDer(const ByteString& r, const ByteString& s, ByteString& out);
// The two INTEGERs of a strict DER SEQUENCE filling in: minimal definite lengths of at most
// length_bytes bytes in the long form, non-negative integers in minimal form, handed out as they stand.
bool ReadDerSignatureParts(SpanReader in, int length_bytes, SpanReader* r, SpanReader* s);
// Strict DER SEQUENCE of two non-negative INTEGERs, nothing after it; false otherwise.
bool ParseDerSignatureRS(const uint8_t* der, int length, ByteString& r, ByteString& s);
// DER to r || s padded to the curve's key size; input that is not DER is left as it stands.
int EcdsaSignatureDerToRaw(ByteString& sig, int curve_id);
int EcdsaSignatureRawToDer(const ByteString& raw, ByteString& out);

}  // namespace tw
