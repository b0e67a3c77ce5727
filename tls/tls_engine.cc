#include "foundation/text_conversion.h"
#include "tls/tls_engine.h"

#include <cstring>

namespace tw {
namespace {

constexpr char kTextConnectionEstablished[] = "Socket connection established.";
constexpr char kTextInvalidCipherSuites[] = "Invalid SSLEnabledCipherSuites Value: ";
constexpr char kAllSuites[] = "*";

constexpr char kDefaultTls12Groups[] = "ecdhe_secp256r1,ecdhe_secp384r1,ecdhe_secp521r1";
constexpr char kDefaultTls13Groups[] =
    "ecdhe_x25519,ecdhe_x448,ecdhe_secp256r1,ecdhe_secp384r1,ecdhe_secp521r1,ffdhe_2048,"
    "ffdhe_3072,ffdhe_4096,ffdhe_6144,ffdhe_8192";
constexpr char kDefaultKeyShareGroups[] =
    "ecdhe_x25519,ecdhe_secp256r1,ecdhe_secp384r1,ffdhe_2048,ffdhe_3072";
constexpr char kDefaultTls12SignatureAlgorithms[] =
    "sha1-rsa,sha1-dsa,sha1-ecdsa,sha224-rsa,sha224-dsa,sha224-ecdsa,sha256-rsa,sha256-dsa,"
    "sha256-ecdsa,sha384-rsa,sha384-dsa,sha384-ecdsa,sha512-rsa,sha512-dsa,sha512-ecdsa";
constexpr char kDefaultTls13SignatureSchemes[] =
    "rsa_pss_sha256,rsa_pss_sha384,rsa_pss_sha512,rsa_pkcs1_sha256,rsa_pkcs1_sha384,"
    "rsa_pkcs1_sha512,ecdsa_secp256r1_sha256,ecdsa_secp384r1_sha384,ecdsa_secp521r1_sha512,"
    "ed25519,ed448";

}  // namespace

TlsEngine::TlsEngine() { Init(nullptr, true); }

TlsEngine::~TlsEngine() = default;

int TlsEngine::Init(TlsEngineOwner* owner, bool is_client) {
  owner_ = owner;
  is_client_ = is_client;
  reuse_session_ = true;
  established_ = false;
  protocol_mask_ = 0xFFFF;
  security_flags_ = 0;
  log_packets_ = false;
  settings_copied_ = false;
  tls12_groups_.SetText(kDefaultTls12Groups);
  tls13_groups_.SetText(kDefaultTls13Groups);
  key_share_groups_.SetText(kDefaultKeyShareGroups);
  tls12_signature_algorithms_.SetText(kDefaultTls12SignatureAlgorithms);
  tls13_signature_schemes_.SetText(kDefaultTls13SignatureSchemes);
  pending_output_.Reset();
  negotiated_text_.Reset();
  error_text_.Reset();
  return kOk;
}

int TlsEngine::SetCipherSuiteList(const char* text) {
  return cipher_suite_text_.SetText(text != nullptr && *text != '\0' ? text : kAllSuites);
}

int TlsEngine::SetOwnCertificate(int32_t store_type, const ByteString& store,
                                 const ByteString& password, const ByteString& subject) {
  own_certificate_.store_type = store_type;
  int rc = own_certificate_.store.Assign(store);
  if (rc == kOk) rc = own_certificate_.password.Assign(password);
  if (rc == kOk) rc = own_certificate_.subject.Assign(subject);
  return rc;
}

int TlsEngine::CopyFrom(const TlsEngine& other) {
  is_client_ = other.is_client_;
  reuse_session_ = other.reuse_session_;
  protocol_mask_ = other.protocol_mask_;
  security_flags_ = other.security_flags_;
  log_packets_ = other.log_packets_;
  int rc = tls12_signature_algorithms_.Assign(other.tls12_signature_algorithms_);
  if (rc == kOk) rc = tls12_groups_.Assign(other.tls12_groups_);
  if (rc == kOk) rc = tls13_signature_schemes_.Assign(other.tls13_signature_schemes_);
  if (rc == kOk) rc = tls13_groups_.Assign(other.tls13_groups_);
  if (rc == kOk) rc = key_share_groups_.Assign(other.key_share_groups_);
  if (rc == kOk) rc = alpn_.Assign(other.alpn_);
  if (rc == kOk) rc = server_name_.Assign(other.server_name_);
  if (rc == kOk) rc = cipher_suite_text_.Assign(other.cipher_suite_text_);
  if (rc == kOk) rc = ca_certs_.Assign(other.ca_certs_);
  if (rc == kOk) {
    rc = SetOwnCertificate(other.own_certificate_.store_type, other.own_certificate_.store,
                           other.own_certificate_.password, other.own_certificate_.subject);
  }
  if (rc == kOk) rc = pending_output_.Assign(other.pending_output_);
  return rc;
}

int TlsEngine::Fail(int code, const char* text) {
  if (owner_ != nullptr) owner_->ReportTlsError(code, text);
  if (!established_) error_text_.SetText(text);
  if (owner_ != nullptr) owner_->SetErrorCodeText(code, text);
  return code;
}

int TlsEngine::Start() {
  if (owner_ != nullptr) owner_->LogTlsStatus(kTextConnectionEstablished);
  established_ = false;
  negotiated_text_.Reset();
  pending_output_.Reset();
  return Fail(kErrTlsUnavailable, kTextTlsUnavailable);
}

int TlsEngine::PeerClosed(int code) {
  const bool during_handshake = is_client_ && !established_ && code == 1;
  established_ = false;
  if (!during_handshake) return kOk;
  if (!error_text_.empty()) {
    ByteString text;
    text.Assign(error_text_);
    return Fail(kErrTlsPeerClosed, text.c_str());
  }
  return Fail(kErrTlsPeerClosed, "Remote host disconnected during SSL negotiation.");
}

int TlsEngine::Receive(const void* bytes, int n) {
  // Without a session no record can be opened.
  return Fail(kErrTlsUnavailable, kTextTlsUnavailable);
}

int TlsEngine::SendAppData(const void* bytes, int n, int* sent) {
  if (sent != nullptr) *sent = 0;
  return Fail(kErrTlsUnavailable, kTextTlsUnavailable);
}

int TlsEngine::FlushPending() {
  if (pending_output_.empty() || !established_ || owner_ == nullptr) {
    return pending_output_.empty() ? 0 : 1;
  }
  int sent = 0;
  const int rc = owner_->SendBytes(pending_output_.data(), pending_output_.length(), &sent);
  if (sent > 0) pending_output_.EraseFront(sent);
  if (rc != kOk && rc != 10035) pending_output_.Reset();
  return pending_output_.empty() ? 0 : 1;
}

int TlsEngine::Close() {
  established_ = false;
  return kOk;
}

int ParseSupportedGroups(const char* text, bool tls13, TlsIdList* out) {
  if (out != nullptr) out->clear();
  return kOk;
}

int ParseSignatureSchemes(const char* text, TlsIdList* out) {
  if (out != nullptr) out->clear();
  return kOk;
}

int ParseTls12SignatureAlgorithms(const char* text, TlsIdList* out, ByteString* error) {
  if (out != nullptr) out->clear();
  return kOk;
}

int ParseEnabledCipherSuites(bool own_engine, const char* text, ByteString* error) {
  if (text == nullptr) return kOk;
  const char* p = text;
  while (IsBlank(*p)) ++p;
  const size_t length = std::strlen(p);
  if (length == 0 || (length == 1 && p[0] == '*')) return kOk;
  // The first named suite is unknown: no provider of this build knows any.
  const char* end = p;
  while (*end != '\0' && *end != ';') ++end;
  const char* last = end;
  while (last > p && IsBlank(last[-1])) --last;
  if (error != nullptr) {
    error->SetText(kTextInvalidCipherSuites);
    error->Append(p, static_cast<int>(last - p));
    error->AppendText(".");
  }
  return kErrInvalidCipherSuites;
}

int AcquirePlatformTlsCredentials(ByteString* error) {
  if (error != nullptr) error->SetText(kTextTlsUnavailable);
  return kErrTlsUnavailable;
}

}  // namespace tw
