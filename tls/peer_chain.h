// The check of a peer's certificate chain: the received certificates are linked from the leaf
// upward (each link a verified signature by a CA allowed to sign it), and the platform's chain
// engine carries the last one to a trusted root.
#pragma once

#include <cstdint>
#include <vector>

#include "certs/cert_chain_engine.h"
#include "certs/certificate.h"
#include "foundation/byte_string.h"

namespace tw {

// Security flag bits read by the check.
constexpr uint32_t kSecurityNoValidityCheck = 0x00000001;
constexpr uint32_t kSecuritySelfSignedRootOk = 0x00000010;
constexpr uint32_t kSecurityNoHostCheck = 0x80000000;

// 0 when the chain (leaf first, as PEM texts) is trusted; else 1 (a certificate outside its
// validity period), 32, the chain status word, or the code of a certificate that does not parse.
// trusted_pem: none from the engine.
int VerifyCertificateChain(const ByteString& leaf_der, const std::vector<ByteString>& pem_list,
                           uint32_t flags, const std::vector<ByteString>* trusted_pem);

// A certificate offered to extend a chain, with its names in normal form.
struct ChainRow {
  Certificate cert;
  ByteString subject;
  ByteString issuer;
  ByteString serial;
  bool anchor = false;  // trusted: the chain may end here
};

// Reads a certificate (PEM or DER) into a row; 0 or the parse code.
int MakeChainRow(const void* encoded, int length, bool anchor, ChainRow* row);

// Extends `chain` (DER, leaf first) with rows while each next row is the issuer of the chain's
// end: named as its issuer (*issuer, normal form), its key verifies the end's signature, and it is
// a CA whose path length allows the CAs below it. *issuer and *subject follow the chain's end;
// used rows are removed. 0 when the chain ends at a self-signed certificate or an anchor row;
// -1 otherwise.
int ExtendCertificateChain(ByteString* issuer, ByteString* subject, std::vector<ChainRow>* rows,
                           std::vector<ByteString>* chain);

}  // namespace tw
