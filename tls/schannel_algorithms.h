// Names of the platform TLS path: the CALG algorithm names accepted in SSLEnabledCipherSuites,
// the protocol names of its log, and the server certificate found in handshake bytes.
#pragma once

#include <cstddef>
#include <cstdint>

#include "foundation/byte_string.h"

namespace tw {

// The ALG_ID of a CALG name ("CALG_AES_128"; case ignored). False for other names.
bool FindCalgName(const char* name, int length, uint32_t* id);

// "Enabling TLS versions: " and the names of the protocol pairs set in the mask.
int EnabledProtocolsText(uint32_t mask, ByteString* out);

// The platform log's name of a suite: its registry name, or "Unknown (<decimal id>)".
int AppendSuiteName(uint16_t id, ByteString* out);

// "Cipher Suites:\r\n    " and the names of the suites a ClientHello record offers, joined by
// ";\r\n    ". False (and nothing written) for a record that is too short or malformed.
bool OfferedSuitesText(const uint8_t* record, size_t length, ByteString* out);

// When the bytes begin with a handshake record whose first message is a ServerHello: its record
// version and suite; *oversized when the record's length exceeds 16383.
bool PeekServerHello(const uint8_t* bytes, size_t length, uint16_t* version, uint16_t* suite,
                     bool* oversized);

// The first certificate of the first Certificate message in the handshake records of the
// bytes; false when there is none or a length does not fit.
bool FindServerCertificate(const uint8_t* bytes, size_t length, const uint8_t** cert,
                           size_t* cert_length);

// "Negotiated SSL parameters: " with the items of the connection information.
int NegotiatedParametersText(uint32_t protocol, uint32_t cipher, uint32_t cipher_strength,
                             uint32_t hash, uint32_t hash_strength, uint32_t exchange,
                             uint32_t exchange_strength, ByteString* out);

}  // namespace tw
