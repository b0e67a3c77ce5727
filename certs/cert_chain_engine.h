// The platform chain engine: from a certificate (and any untrusted intermediates given with it)
// to a trust anchor of the system "ROOT" store. Every link is checked from the leaf upward: the
// issuer's key verifies the signature, the issuer is a CA (basicConstraints cA, keyCertSign when
// keyUsage is present) whose path length allows the CAs below it, and every certificate is
// inside its validity period. Anchors are matched by subject and key; their own signatures are
// not checked.
//
// The ROOT store is parsed once per set of store files (paths, sizes, times) and shared by every
// caller and thread until a file changes.
#pragma once

#include <cstdint>
#include <vector>

#include "certs/certificate.h"
#include "foundation/byte_string.h"

namespace tw {

// Chain status bits.
constexpr uint32_t kChainNotTimeValid = 0x00000001;
constexpr uint32_t kChainNotSignatureValid = 0x00000008;
constexpr uint32_t kChainUntrustedRoot = 0x00000020;
constexpr uint32_t kChainInvalidBasicConstraints = 0x00000400;
constexpr uint32_t kChainPartial = 0x00010000;

// Engine flags.
constexpr uint32_t kChainIgnoreTime = 0x00000001;  // no validity-period checks
// Ignore flag of the chain's reader: an untrusted root is accepted when self-issued.
constexpr uint32_t kChainIgnoreUntrustedSelfIssued = 0x00000010;

// Longest chain the engine builds, leaf and anchor included.
constexpr int kChainMaxLength = 10;

// One element of a chain: the certificate and the names in NormalizeDistinguishedName form.
struct ChainElement {
  ByteString der;
  ByteString subject;
  ByteString issuer;
  ByteString serial;  // hex
};

struct CertChain {
  std::vector<ChainElement> elements;  // leaf first
  uint32_t status = 0;                 // chain status bits
};

// The link of `child` to `issuer`: 0 when it holds, else kChainNotSignatureValid and/or
// kChainInvalidBasicConstraints. cas_below counts the CA certificates between the two that are
// not self-issued (0 when the child is the leaf's issuer's direct subject). An anchor without
// basicConstraints counts as a CA only when it is a self-signed v1 or v2 certificate.
uint32_t CheckIssuerLink(const Certificate& child, const Certificate& issuer, int cas_below,
                         bool anchor);
// Whether the subject and issuer names are the same and the certificate's own key verifies it.
bool IsSelfSigned(const Certificate& certificate);
// Whether the certificate's subject and issuer Name elements are equal.
bool IsSelfIssued(const Certificate& certificate);
// kChainNotTimeValid when now lies outside the certificate's validity period, else 0.
uint32_t CheckValidity(const Certificate& certificate);

// The subject Name element of a parsed certificate.
int CertificateSubjectDer(const Certificate& certificate, ByteString* subject_der);

// The status after a reader's ignore flags: bit 0x1 cleared under kChainIgnoreTime, bit 0x20
// cleared under kChainIgnoreUntrustedSelfIssued when the element reported last has the same
// subject and issuer text.
uint32_t ApplyChainIgnoreFlags(const CertChain& chain, uint32_t flags);

// Builds the chain of the certificate `der` (DER) with the untrusted intermediates (DER; may be
// null) to an anchor of the ROOT store. 0 with the chain and its status; 446/447 for a
// certificate that does not parse. Without a trusted path, the chain reported is the best one
// found (leaf alone when no issuer is known, with kChainPartial).
int BuildCertificateChain(const ByteString& der, const std::vector<ByteString>* untrusted,
                          uint32_t flags, CertChain* chain);

// The certificates of store file contents: every PEM "CERTIFICATE" block, or the whole as DER.
// Blocks that do not decode are skipped.
void CertificatesOfStoreFile(const char* contents, int length, std::vector<ByteString>* ders);

}  // namespace tw
