#include "tls/tls_certificates.h"

// Placeholder until the certificate unit lands: no selection loads and no key is usable.
namespace tw {

struct CertSelection::Impl {
  ByteString der;
  ByteString error;
};

CertSelection::CertSelection() : impl_(new Impl) {}
CertSelection::~CertSelection() { delete impl_; }
int CertSelection::Load(const void*, int, int32_t, const char*, const char*, const void*, int) {
  return kErrCertSelection;
}
int CertSelection::CopyFrom(const CertSelection&) { return 0; }
void CertSelection::Release() {}
bool CertSelection::loaded() const { return false; }
bool CertSelection::has_private_key() const { return false; }
const ByteString& CertSelection::der() const { return impl_->der; }
int CertSelection::GetChainDer(std::vector<ByteString>*, uint32_t) const { return kErrCertSelection; }
const ByteString& CertSelection::error_text() const { return impl_->error; }

int BuildCertificateBody(const CertSelection*, bool, ByteString*) { return kErrCertSelection; }
int ParseCertificateBody(const uint8_t*, size_t, bool, std::vector<ByteString>*) { return 50; }
int FilterSignatureSchemesByKey(const CertSelection*, const char*, std::vector<uint16_t>*) {
  return kErrCertSelection;
}
bool UsesRsaPssSignature(uint16_t, uint16_t) { return false; }
bool SignatureAlgorithmListAllows(const char*, const char*, const char*) { return false; }
int VerifyPeerCertificate(TlsCertificateHost&, CertSelection*, const std::vector<ByteString>&) {
  return 0;
}
int SignWithOwnKey(const CertSelection&, uint16_t, int, bool, const uint8_t*, size_t, ByteString*) {
  return kErrCertSelection;
}
int VerifyWithPeerKey(const ByteString&, uint16_t, int, bool, const uint8_t*, size_t,
                      const uint8_t*, size_t, bool*) {
  return kErrCertSelection;
}
const char* PeerKeyKind(const ByteString&, uint16_t* group) {
  if (group != nullptr) *group = 0;
  return "";
}
int PeerRsaEncrypt(const ByteString&, const uint8_t*, size_t, ByteString*) { return kErrCertSelection; }
int PeerEcPoint(const ByteString&, int*, ByteString*) { return kErrCertSelection; }

}  // namespace tw
