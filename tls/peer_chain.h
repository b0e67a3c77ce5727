// The check of a peer's certificate chain: the received certificates are linked from the leaf
// upward (each link a verified signature by a CA allowed to sign it), and the platform's chain
// engine carries the last one to a trusted root.
#pragma once

#include <cstdint>
#include <vector>

#include "foundation/byte_string.h"

namespace tw {

// Security flag bits read by the check.
constexpr uint32_t kSecurityNoValidityCheck = 0x00000001;
constexpr uint32_t kSecuritySelfSignedRootOk = 0x00000010;
constexpr uint32_t kSecurityNoHostCheck = 0x80000000;

// Chain status bits (the platform engine's trust error bits).
constexpr uint32_t kChainNotTimeValid = 0x00000001;
constexpr uint32_t kChainNotSignatureValid = 0x00000008;
constexpr uint32_t kChainUntrustedRoot = 0x00000020;
constexpr uint32_t kChainInvalidBasicConstraints = 0x00000400;
constexpr uint32_t kChainPartial = 0x00010000;

// 0 when the chain (leaf first, as PEM texts) is trusted; else 1 (a certificate outside its
// validity period), 32, or the chain status word. trusted_pem: none from the engine.
int VerifyCertificateChain(const ByteString& leaf_der, const std::vector<ByteString>& pem_list,
                           uint32_t flags, const std::vector<ByteString>* trusted_pem);

}  // namespace tw
