// The engine as the certificate check sees it: its settings and hooks, shared by both sides of the
// handshake.
#pragma once

#include "certs/certificate.h"
#include "tls/tls_certificates.h"
#include "tls/tls_engine.h"

namespace tw {

// The engine as the certificate check sees it.
class TlsEngine::CertificateHost : public TlsCertificateHost {
 public:
  explicit CertificateHost(TlsEngine& e) : e_(e) {}
  bool IsClient() const override { return e_.is_client_; }
  uint32_t SecurityFlags() const override { return e_.security_flags_; }
  const char* ServerName() const override { return e_.server_name_.c_str(); }
  uint16_t NegotiatedVersion() const override { return e_.pending_.version; }
  const char* Tls12SignatureAlgorithms() const override {
    return e_.tls12_signature_algorithms_.c_str();
  }
  int Status(const char* text) override { return e_.Status(text); }
  int RaiseError(int code, const char* text) override {
    return e_.owner_ != nullptr ? e_.owner_->ReportTlsError(code, text) : kOk;
  }
  int Fail(int code, const char* text) override { return e_.Fail(code, text); }
  int SendFatalAlert(uint8_t description) override { return e_.SendAlert(2, description); }
  // The owner sees the chain as PEM texts with the leaf's subject and issuer.
  int CheckServerCertificate(const ByteString& cert_encoded, const ByteString& leaf_der, int code,
                             const char* status, bool* accept) override {
    Certificate leaf;
    const bool parsed = ParseCertificateDer(leaf_der.data(), leaf_der.length(), &leaf) == kOk;
    return e_.CheckServerCertificate(cert_encoded.data(), cert_encoded.length(),
                                     parsed ? leaf.tbs.subjectText.c_str() : "",
                                     parsed ? leaf.tbs.issuerText.c_str() : "", code, status, accept);
  }

 private:
  TlsEngine& e_;
};

}  // namespace tw
