// The platform TLS path of TlsClient: SChannel through the SSPI table of secur32, the server
// certificate checked through crypt32's SSL chain policy and the owner's decision.
#include <algorithm>
#include <cstring>
#include <string>
#include <type_traits>

#include "certs/key_provider.h"
#include "certs/pem_armor.h"
#include "foundation/text_conversion.h"
#include "net/name_resolution.h"
#include "net/tls_client.h"
#include "tls/schannel_algorithms.h"

namespace tw {
namespace {

constexpr uint32_t kRequirements = win::ISC_REQ_REPLAY_DETECT | win::ISC_REQ_SEQUENCE_DETECT |
                                   win::ISC_REQ_CONFIDENTIALITY | win::ISC_REQ_ALLOCATE_MEMORY |
                                   win::ISC_REQ_EXTENDED_ERROR | win::ISC_REQ_STREAM;
constexpr int kMaxAlgorithms = 32;
constexpr uint32_t kNoRenegotiationAlert = 100;
constexpr uint32_t kOmitServerName = 0x80000000u;
constexpr int kNameBufferSize = 2000;
// The owner's answer starts as "refused" unless the chain check passes.
constexpr int kAcceptPreset = 0;

constexpr char kTextStarting[] = "Starting secure channel handshake.";
constexpr char kTextNoAlpn[] =
    "WARNING: The ALPN extension is not supported on this system. The ALPN extension is only "
    "supported on Windows 8.1/Windows Server 2012 or later.";
constexpr char kFormatSendingHandshake[] = "Sending %d bytes of handshake data.";
constexpr char kFormatSendingHandshakeBytes[] = "Sending %d handshake bytes.";
constexpr char kFormatReceivingHandshake[] = "Receiving %d bytes of handshake data.";
constexpr char kFormatCredentials[] = "Could not acquire security credentials: error 0x%x.";
constexpr char kFormatHandshakeError[] = "error during handshake[%d]: 0x%x";
constexpr char kTextOversized[] =
    "Error in response record: The server returned a record larger than the maximum supported "
    "size (16K).";
constexpr char kTextCertRefusedStatus[] = "Server certificate verification failed. Aborting connection...";
constexpr char kTextCertRefused[] = "Server certificate verification failed. Connection aborted.";
constexpr char kTextClientCertRequested[] = "Client certificate requested from server.";
constexpr char kTextClientCertMissing[] = "Client certificate is not specified.";
constexpr char kFormatNoServerCert[] = "can't find server certificate (error 0x%x)";
constexpr char kFormatVerifyError[] = "error verifying server certificate: 0x%x";
constexpr char kTextNameMismatch[] = "Server name does not match server certificate.";
constexpr char kTextNoChain[] = "can't get certificate chain (error ";
constexpr char kTextNoPolicy[] = "Can't verify certificate chain (error ";
constexpr char kTextOutOfMemoryAbort[] = "Out of memory. Aborting connection...";
constexpr char kTextNoConnectionInfo[] = "Connection info not available.";
constexpr char kFormatEncrypt[] = "error encrypting data 0x%x.";
constexpr char kFormatDecrypt[] = "error decrypting data (error 0x%x)";
constexpr char kTextPeerEnded[] = "Server signaled end of session.";
constexpr char kTextRenegotiationOff[] =
    "Renegotiate is disabled. Send NO_RENEGOTIATION alert message.";
constexpr char kTextParsed[] = "Parsed";
constexpr char kFormatSelectedVersion[] = "Selected TLS Version: %s";
constexpr char kTextSelectedSuite[] = "Selected Cipher Suite: ";

struct PolicyText {
  uint32_t code;
  const char* text;
};
constexpr PolicyText kPolicyTexts[] = {
    {win::TRUST_E_CERT_SIGNATURE, "The signature of the certificate cannot be verified."},
    {win::CRYPT_E_REVOCATION_OFFLINE,
     "Since the revocation server was offline, the called function was not able to complete the "
     "revocation check."},
    {win::CRYPT_E_REVOKED, "The certificate or signature has been revoked."},
    {win::TRUST_E_BASIC_CONSTRAINTS, "The certificate's basic constraints are invalid or missing."},
    {win::CERT_E_ROLE,
     "A certificate that can only be used as an end-entity is being used as a CA or visa versa."},
    {win::CERT_E_VALIDITYPERIODNESTING,
     "The validity periods of the certification chain do not nest correctly."},
    {win::CERT_E_EXPIRED, "A required certificate is not within its validity period."},
    {win::CERT_E_PURPOSE, "A certificate is being used for a non permitted purpose."},
    {win::CERT_E_WRONG_USAGE, "The certificate is not valid for the requested usage."},
    {win::CERT_E_CN_NO_MATCH, "The certificate's CN name does not match the passed value."},
    {win::CRYPT_E_NO_REVOCATION_CHECK,
     "The revocation process could not continue. The certificates could not be checked."},
    {win::CERT_E_UNTRUSTEDTESTROOT,
     "The root certificate is a testing certificate and policy settings disallow test "
     "certificates."},
    {win::CERT_E_REVOKED, "A certificate in the chain has been explicitly revoked by its issuer."},
    {win::CERT_E_CHAINING, "A chain of certificates was not correctly created."},
    {win::CERT_E_UNTRUSTEDROOT,
     "A certification chain processed correctly but terminated in a root certificate not trusted "
     "by the trust provider."},
};

const char* PolicyErrorText(uint32_t code) {
  for (const PolicyText& p : kPolicyTexts) {
    if (p.code == code) return p.text;
  }
  return "(unknown status code)";
}

// crypt32's entry points, bound from the library handle on first use.
struct Crypt32 {
  decltype(&win::CertCreateCertificateContext) create = nullptr;
  decltype(&win::CertFreeCertificateContext) free_context = nullptr;
  decltype(&win::CertNameToStrA) name_to_str = nullptr;
  decltype(&win::CertGetCertificateChain) get_chain = nullptr;
  decltype(&win::CertFreeCertificateChain) free_chain = nullptr;
  decltype(&win::CertVerifyCertificateChainPolicy) verify_policy = nullptr;
};

const Crypt32& Crypt32Entries() {
  static Crypt32 entries;
  static bool bound = false;
  if (!bound) {
    win::HMODULE module = NetEntries().crypt32;
    if (module == nullptr) {
      BindCrypt32();
      module = NetEntries().crypt32;
    }
    if (module == nullptr) return entries;
    auto bind = [&](const char* name, auto* out) {
      *out = reinterpret_cast<std::remove_reference_t<decltype(*out)>>(
          win::GetProcAddress(module, name));
    };
    bind("CertCreateCertificateContext", &entries.create);
    bind("CertFreeCertificateContext", &entries.free_context);
    bind("CertNameToStrA", &entries.name_to_str);
    bind("CertGetCertificateChain", &entries.get_chain);
    bind("CertFreeCertificateChain", &entries.free_chain);
    bind("CertVerifyCertificateChainPolicy", &entries.verify_policy);
    bound = true;
  }
  return entries;
}

// The table, when every entry point the path calls is there.
const win::SecurityFunctionTableA* Sspi() {
  const win::SecurityFunctionTableA* t = SecurityInterface();
  if (t == nullptr || t->AcquireCredentialsHandleA == nullptr ||
      t->InitializeSecurityContextA == nullptr || t->DeleteSecurityContext == nullptr ||
      t->FreeCredentialsHandle == nullptr || t->QueryContextAttributesA == nullptr ||
      t->EncryptMessage == nullptr || t->DecryptMessage == nullptr ||
      t->ApplyControlToken == nullptr || t->FreeContextBuffer == nullptr) {
    return nullptr;
  }
  return t;
}

bool HasHandle(const win::SecHandle& h) { return h.dwLower != 0 || h.dwUpper != 0; }

// The encoded certificate as Base64 in lines of 64.
int Base64Lines(const uint8_t* der, uint32_t length, ByteString* out) {
  out->Reset();
  if (length == 0) return kOk;
  return Base64Encode(*out, der, static_cast<int>(length), true, 64, false);
}

std::u16string Utf16(const char* text) {
  std::u16string out;
  for (const char* p = text; *p != '\0'; ++p) out += static_cast<char16_t>(static_cast<uint8_t>(*p));
  return out;
}

}  // namespace

// ---- Credentials ----

void TlsClient::FreeSchannelCredentials() {
  win::CredHandle h{ssl_credential_handle_[0], ssl_credential_handle_[1]};
  if (HasHandle(h)) {
    if (const win::SecurityFunctionTableA* t = SecurityInterface()) {
      if (t->FreeCredentialsHandle != nullptr) t->FreeCredentialsHandle(&h);
    }
  }
  ssl_credential_handle_[0] = ssl_credential_handle_[1] = 0;
  ssl_credential_key_.Clear();
}

void TlsClient::FreeSchannelContext() {
  if (HasHandle(context_handle_)) {
    if (const win::SecurityFunctionTableA* t = SecurityInterface()) {
      if (t->DeleteSecurityContext != nullptr) t->DeleteSecurityContext(&context_handle_);
    }
  }
  context_handle_ = win::CtxtHandle{};
  schannel_context_[0] = schannel_context_[1] = 0;
  encrypt_buffer_.Reset();
}

namespace {

// The client certificate as a platform context with its key: none (0) when no certificate is
// chosen; a subject recorded but not yet selected is selected now. A selection that cannot be
// handed to the platform is an error, never a connection without the certificate.
int ClientCertificateContext(CertStore& store, win::PCCERT_CONTEXT* out) {
  *out = nullptr;
  if (store.entries.SelectedCertificate() == nullptr) {
    const bool system = store.store_type == cstUser || store.store_type == cstMachine;
    if (store.subject.empty() || (system && store.store.empty())) return kOk;
    const int rc = store.SelectCertificate(store.subject.c_str());
    if (rc != kOk) return rc;
    if (store.entries.SelectedCertificate() == nullptr) return kOk;
  }
  return GetCertContext(&store, out);
}

// Tells credentials made for one client certificate from those of another.
uint32_t CertificateTag(win::PCCERT_CONTEXT cert) {
  if (cert == nullptr) return 0;
  uint32_t h = 2166136261u;
  for (uint32_t i = 0; i < cert->cbCertEncoded; ++i) h = (h ^ cert->pbCertEncoded[i]) * 16777619u;
  return h | 1;
}

}  // namespace

int TlsClient::SchannelAcquireCredentials(uint32_t use) {
  const win::SecurityFunctionTableA* t = Sspi();
  if (t == nullptr) return SetErrorCodeText(kErrSecurityLibrary, kTextSecurityLibraryMissing);
  const uint32_t protocols = static_cast<uint32_t>(ssl_enabled_protocols_);
  const uint32_t strength = static_cast<uint32_t>(ssl_cipher_strength_);
  const char* suites = ssl_enabled_cipher_suites_.c_str();
  const char* provider = ssl_provider_.c_str();
  win::PCCERT_CONTEXT client_cert = nullptr;
  if (int rc = ClientCertificateContext(cert_store(), &client_cert); rc != kOk) {
    const ByteString& text = cert_store().error_text;
    return SetErrorCodeText(rc, text.empty() ? "The certificate store could not be opened." : text.c_str());
  }
  const uint32_t cert_tag = CertificateTag(client_cert);
  if (reuse_ssl_session_ && ssl_credential_handle_[0] != 0 &&
      ssl_credential_key_.Matches(use, cert_tag, protocols, strength, suites, provider,
                                  use_default_credentials_, ssl_credential_handle_[0],
                                  ssl_credential_handle_[1])) {
    return kOk;
  }
  win::ALG_ID algorithms[kMaxAlgorithms] = {};
  uint32_t count = 0;
  ForEachListEntry(suites, [&](ListEntry e) {
    uint32_t id = 0;
    if (count < kMaxAlgorithms && FindCalgName(e.text, e.length, &id)) algorithms[count++] = id;
    return false;
  });
  win::SCHANNEL_CRED cred{};
  cred.dwVersion = win::SCHANNEL_CRED_VERSION;
  if (client_cert != nullptr) {
    cred.cCreds = 1;
    cred.paCred = &client_cert;
  }
  cred.cSupportedAlgs = count;
  cred.palgSupportedAlgs = count > 0 ? algorithms : nullptr;
  cred.grbitEnabledProtocols = protocols;
  cred.dwMinimumCipherStrength = strength;
  cred.dwFlags = use_default_credentials_ ? win::SCH_CRED_USE_DEFAULT_CREDS
                                          : win::SCH_CRED_NO_DEFAULT_CREDS;
  if (use == win::SECPKG_CRED_OUTBOUND) cred.dwFlags |= win::SCH_CRED_MANUAL_CRED_VALIDATION;
  FreeSchannelCredentials();
  win::CredHandle h{};
  const win::SECURITY_STATUS status = t->AcquireCredentialsHandleA(
      nullptr, provider, use, nullptr, &cred, nullptr, nullptr, &h, nullptr);
  if (status != win::SEC_E_OK) {
    FreeSchannelCredentials();
    ByteString text;
    text.Format(kFormatCredentials, static_cast<unsigned>(status));
    return SetErrorCodeText(kErrCredentials, text.c_str());
  }
  ssl_credential_handle_[0] = static_cast<uint32_t>(h.dwLower);
  ssl_credential_handle_[1] = static_cast<uint32_t>(h.dwUpper);
  if (ssl_credential_key_.Set(use, cert_tag, protocols, strength, suites, provider,
                              use_default_credentials_, ssl_credential_handle_[0],
                              ssl_credential_handle_[1]) != kOk) {
    FreeSchannelCredentials();
    return SetErrorCodeText(kErrOutOfMemory, "Out of memory.");
  }
  return kOk;
}

// ---- Handshake ----

int TlsClient::SchannelFail(int code) {
  handshaking_ = false;
  ReportTlsError(code, error_text().c_str());
  SetConnected(false, code);
  return 0;
}

int TlsClient::SchannelStartHandshake() {
  const win::SecurityFunctionTableA* t = Sspi();
  if (t == nullptr) {
    SetErrorCodeText(kErrSecurityLibrary, kTextSecurityLibraryMissing);
    return SchannelFail(kErrSecurityLibrary);
  }
  schannel_active_ = true;
  schannel_close_notify_ = false;
  handshake_input_.Reset();
  pending_output_.Reset();
  overflow_.Reset();
  if (tls_queue_.Capacity() != 0) tls_queue_.Allocate(tls_queue_.Capacity());
  LogTlsStatus(kTextStarting);
  handshaking_ = true;

  // SEC_APPLICATION_PROTOCOLS: size of what follows, extension 2 (ALPN), list size, names.
  ByteString alpn;
  ByteString names;
  ForEachListEntry(alpn_list_.c_str(), ',', [&](ListEntry e) {
    if (e.length <= 255) {
      names.AppendByte(static_cast<uint8_t>(e.length));
      names.Append(e.text, e.length);
    }
    return false;
  });
  if (!names.empty()) {
    if (Windows81Flag() == 0) {
      LogTlsStatus(kTextNoAlpn);
    } else {
      const uint32_t size = static_cast<uint32_t>(names.length()) + 6;
      const uint32_t extension = 2;
      const uint16_t list = static_cast<uint16_t>(names.length());
      alpn.Append(&size, 4);
      alpn.Append(&extension, 4);
      alpn.Append(&list, 2);
      alpn.AppendString(names);
    }
  }
  FreeSchannelContext();
  win::SecBuffer in_buffer{static_cast<uint32_t>(alpn.length()),
                           win::SECBUFFER_APPLICATION_PROTOCOLS, alpn.data()};
  win::SecBufferDesc in{win::SECBUFFER_VERSION, 1, &in_buffer};
  win::SecBuffer out_buffer{0, win::SECBUFFER_TOKEN, nullptr};
  win::SecBufferDesc out{win::SECBUFFER_VERSION, 1, &out_buffer};
  win::CredHandle cred{ssl_credential_handle_[0], ssl_credential_handle_[1]};
  uint32_t attributes = 0;
  const win::SECURITY_STATUS status = t->InitializeSecurityContextA(
      &cred, nullptr, remote_host_name_.c_str(), kRequirements, 0, win::SECURITY_NATIVE_DREP,
      alpn.empty() ? nullptr : &in, 0, &context_handle_, &out, &attributes, nullptr);
  schannel_context_[0] = context_handle_.dwLower;
  schannel_context_[1] = context_handle_.dwUpper;
  ByteString line;
  EnabledProtocolsText(static_cast<uint32_t>(ssl_enabled_protocols_), &line);
  LogTlsStatus(line.c_str());
  if (status == win::SEC_I_CONTINUE_NEEDED && out_buffer.pvBuffer != nullptr &&
      out_buffer.cbBuffer > 0) {
    const auto* token = static_cast<const uint8_t*>(out_buffer.pvBuffer);
    if (OfferedSuitesText(token, out_buffer.cbBuffer, &line)) LogTlsStatus(line.c_str());
    line.Format(kFormatSendingHandshake, static_cast<int>(out_buffer.cbBuffer));
    LogTlsStatus(line.c_str());
    SchannelSendPending(token, static_cast<int>(out_buffer.cbBuffer), false);
    t->FreeContextBuffer(out_buffer.pvBuffer);
    return kOk;
  }
  if (out_buffer.pvBuffer != nullptr) t->FreeContextBuffer(out_buffer.pvBuffer);
  // The provider could not begin: nothing was sent, so the connection ends here.
  last_handshake_status_ = status;
  FreeSchannelContext();
  line.Format(kFormatHandshakeError, 1, static_cast<unsigned>(status));
  SetErrorCodeText(kErrHandshake, line.c_str());
  return SchannelFail(kErrHandshake);
}

int TlsClient::SchannelNameTexts(win::PCCERT_CONTEXT cert, ByteString* subject,
                                 ByteString* issuer) {
  const Crypt32& c = Crypt32Entries();
  if (c.name_to_str == nullptr) return kErrNoServerCert;
  char buffer[kNameBufferSize];
  constexpr uint32_t kType = win::CERT_X500_NAME_STR | win::CERT_NAME_STR_NO_PLUS_FLAG;
  if (cert == nullptr || cert->pCertInfo == nullptr) return kErrNoServerCert;
  c.name_to_str(win::X509_ASN_ENCODING, &cert->pCertInfo->Subject, kType, buffer, sizeof buffer);
  subject->SetText(buffer);
  c.name_to_str(win::X509_ASN_ENCODING, &cert->pCertInfo->Issuer, kType, buffer, sizeof buffer);
  return issuer->SetText(buffer);
}

int TlsClient::SchannelHandshakeStep() {
  const win::SecurityFunctionTableA* t = Sspi();
  if (t == nullptr || !HasHandle(context_handle_)) return 0;
  win::SecBuffer in_buffers[2] = {
      {static_cast<uint32_t>(handshake_input_.length()), win::SECBUFFER_TOKEN,
       handshake_input_.data()},
      {0, win::SECBUFFER_EMPTY, nullptr}};
  win::SecBufferDesc in{win::SECBUFFER_VERSION, 2, in_buffers};
  win::SecBuffer out_buffer{0, win::SECBUFFER_TOKEN, nullptr};
  win::SecBufferDesc out{win::SECBUFFER_VERSION, 1, &out_buffer};
  win::CredHandle cred{ssl_credential_handle_[0], ssl_credential_handle_[1]};
  uint32_t attributes = 0;
  const win::SECURITY_STATUS status = t->InitializeSecurityContextA(
      &cred, &context_handle_, nullptr, kRequirements, 0, win::SECURITY_NATIVE_DREP, &in, 0,
      &context_handle_, &out, &attributes, nullptr);
  ByteString line;
  if (status == win::SEC_E_OK || status == win::SEC_I_CONTINUE_NEEDED ||
      (status < 0 && (attributes & win::ISC_RET_EXTENDED_ERROR) != 0)) {
    uint16_t version = 0;
    uint16_t suite = 0;
    bool oversized = false;
    if (PeekServerHello(handshake_input_.bytes(), static_cast<size_t>(handshake_input_.length()),
                        &version, &suite, &oversized)) {
      line.Format(kFormatSelectedVersion, VersionName(version));
      LogTlsStatus(line.c_str());
      line.SetText(kTextSelectedSuite);
      AppendSuiteName(suite, &line);
      LogTlsStatus(line.c_str());
      if (oversized) LogTlsStatus(kTextOversized);
    }
    if (out_buffer.pvBuffer != nullptr && out_buffer.cbBuffer > 0) {
      SchannelSendPending(out_buffer.pvBuffer, static_cast<int>(out_buffer.cbBuffer), false);
      line.Format(kFormatSendingHandshakeBytes, static_cast<int>(out_buffer.cbBuffer));
      LogTlsStatus(line.c_str());
    }
  }
  if (out_buffer.pvBuffer != nullptr) t->FreeContextBuffer(out_buffer.pvBuffer);
  if (status == win::SEC_E_INCOMPLETE_MESSAGE) return 0;
  if (status < 0) {
    FreeSchannelContext();
    handshaking_ = false;
    last_handshake_status_ = status;
    line.Format(kFormatHandshakeError, 2, static_cast<unsigned>(status));
    SetErrorCodeText(kErrHandshake, line.c_str());
    return SchannelFail(kErrHandshake);
  }
  if (parse_ssl_server_cert_ && !handshake_input_.empty()) {
    const uint8_t* der = nullptr;
    size_t der_length = 0;
    const Crypt32& c = Crypt32Entries();
    if (FindServerCertificate(handshake_input_.bytes(), static_cast<size_t>(handshake_input_.length()),
                              &der, &der_length) &&
        c.create != nullptr) {
      win::PCCERT_CONTEXT cert =
          c.create(win::X509_ASN_ENCODING, der, static_cast<uint32_t>(der_length));
      if (cert != nullptr) {
        SchannelNameTexts(cert, &server_subject_, &server_issuer_);
        Base64Lines(cert->pbCertEncoded, cert->cbCertEncoded, &server_certificate_text_);
        c.free_context(cert);
        certificate_status_.SetText(kTextParsed);
        int accept = kAcceptPreset;
        CheckServerCertificate(server_certificate_text_.data(), server_certificate_text_.length(),
                               server_subject_.c_str(), server_issuer_.c_str(),
                               certificate_status_.c_str(), &accept);
        if (accept == 0) {
          LogTlsStatus(kTextCertRefusedStatus);
          SetErrorCodeText(kErrHandshake, kTextCertRefused);
          return SchannelFail(kErrHandshake);
        }
      }
    }
  }
  if (in_buffers[1].BufferType == win::SECBUFFER_EXTRA && in_buffers[1].cbBuffer > 0 &&
      in_buffers[1].cbBuffer <= static_cast<uint32_t>(handshake_input_.length())) {
    handshake_input_.EraseFront(handshake_input_.length() - static_cast<int>(in_buffers[1].cbBuffer));
  } else {
    handshake_input_.Reset();
  }
  if (status == win::SEC_E_OK) {
    if (SchannelVerifyServer() != kOk) return 0;
    SchannelComplete();
    return !handshake_input_.empty() && schannel_state_ == kSchannelComplete ? 1 : 0;
  }
  if (status == win::SEC_I_INCOMPLETE_CREDENTIALS) {
    LogTlsStatus(kTextClientCertRequested);
    if (cert_store().platform.context == nullptr) LogTlsStatus(kTextClientCertMissing);
    return 1;
  }
  return handshake_input_.empty() ? 0 : 1;
}

int TlsClient::SchannelChainCheck(win::PCCERT_CONTEXT cert, const char* host, uint32_t auth_type,
                                  ByteString* status_text) {
  const Crypt32& c = Crypt32Entries();
  SchannelNameTexts(cert, &server_subject_, &server_issuer_);
  win::PCCERT_CHAIN_CONTEXT chain = nullptr;
  win::CERT_CHAIN_PARA para{sizeof(win::CERT_CHAIN_PARA)};
  if (c.get_chain == nullptr ||
      !c.get_chain(nullptr, cert, nullptr, cert->hCertStore, &para, 0, nullptr, &chain)) {
    status_text->SetText(kTextNoChain);
    status_text->AppendFormat("%u)", c.get_chain == nullptr ? 127u : win::GetLastError());
    return kErrVerifyServerCert;
  }
  std::u16string name;
  if (host != nullptr && *host != '\0') name = Utf16(host);
  const uint32_t flags = static_cast<uint32_t>(ssl_security_flags_);
  win::SSL_EXTRA_CERT_CHAIN_POLICY_PARA extra{sizeof(extra), auth_type, 0,
                                             (flags & kOmitServerName) != 0 || name.empty()
                                                 ? nullptr
                                                 : name.c_str()};
  extra.fdwChecks = flags & ~kOmitServerName;
  win::CERT_CHAIN_POLICY_PARA policy{sizeof(policy), flags, &extra};
  win::CERT_CHAIN_POLICY_STATUS result{sizeof(result), 0, -1, -1, nullptr};
  if (!c.verify_policy(win::CERT_CHAIN_POLICY_SSL, chain, &policy, &result)) {
    status_text->SetText(kTextNoPolicy);
    status_text->AppendFormat("%u)", win::GetLastError());
    c.free_chain(chain);
    return kErrVerifyServerCert;
  }
  status_text->Format("[0x%x] ", result.dwError);
  status_text->AppendText(result.dwError == 0 ? "" : PolicyErrorText(result.dwError));
  // The certificate text handed to the owner: the chain, or the server's certificate alone.
  ByteString pem;
  ByteString block;
  for (uint32_t i = 0; i < chain->cChain; ++i) {
    const win::CERT_SIMPLE_CHAIN* simple = chain->rgpChain[i];
    for (uint32_t j = 0; j < simple->cElement; ++j) {
      win::PCCERT_CONTEXT e = simple->rgpElement[j]->pCertContext;
      PemArmor(&block, "CERTIFICATE", e->pbCertEncoded, static_cast<int>(e->cbCertEncoded));
      pem.AppendString(block);
      if (!ssl_include_cert_chain_) break;
    }
    if (!ssl_include_cert_chain_) break;
  }
  server_certificate_text_.Assign(pem);
  c.free_chain(chain);
  return static_cast<int>(result.dwError);
}

int TlsClient::SchannelVerifyServer() {
  const win::SecurityFunctionTableA* t = Sspi();
  const Crypt32& c = Crypt32Entries();
  int accept = kAcceptPreset;
  win::PCCERT_CONTEXT cert = nullptr;
  const win::SECURITY_STATUS status =
      t->QueryContextAttributesA(&context_handle_, win::SECPKG_ATTR_REMOTE_CERT_CONTEXT, &cert);
  if (status != win::SEC_E_OK || cert == nullptr) {
    ByteString text;
    text.Format(kFormatNoServerCert, static_cast<unsigned>(status));
    SetErrorCodeText(kErrNoServerCert, text.c_str());
    ReportTlsError(kErrNoServerCert, text.c_str());
    FreeSchannelContext();
    handshaking_ = false;
    SetConnected(false, kErrNoServerCert);
    return kErrNoServerCert;
  }
  if (!accepted_certificate_.empty() &&
      accepted_certificate_.EqualsBytes(cert->pbCertEncoded, static_cast<int>(cert->cbCertEncoded))) {
    accept = 1;
    SchannelNameTexts(cert, &server_subject_, &server_issuer_);
    Base64Lines(cert->pbCertEncoded, cert->cbCertEncoded, &server_certificate_text_);
    certificate_status_.SetText("[0x0] ");
  } else {
    const int verdict = SchannelChainCheck(cert, remote_host_name_.c_str(), win::AUTHTYPE_SERVER,
                                           &certificate_status_);
    if (verdict == 0) {
      accept = 1;
    } else {
      ByteString text;
      text.Format(kFormatVerifyError, static_cast<unsigned>(verdict));
      ReportTlsError(kErrVerifyServerCert, text.c_str());
    }
  }
  CheckServerCertificate(server_certificate_text_.data(), server_certificate_text_.length(),
                         server_subject_.c_str(), server_issuer_.c_str(),
                         certificate_status_.c_str(), &accept);
  c.free_context(cert);
  if (accept == 0) {
    LogTlsStatus(kTextCertRefusedStatus);
    SetErrorCodeText(kErrHandshake, kTextCertRefused);
    FreeSchannelContext();
    SchannelFail(kErrHandshake);
    return kErrHandshake;
  }
  return kOk;
}

int TlsClient::SchannelComplete() {
  const win::SecurityFunctionTableA* t = Sspi();
  win::SecPkgContext_StreamSizes sizes{};
  win::SECURITY_STATUS status =
      t->QueryContextAttributesA(&context_handle_, win::SECPKG_ATTR_STREAM_SIZES, &sizes);
  const int buffer_size = static_cast<int>(sizes.cbHeader + sizes.cbMaximumMessage + sizes.cbTrailer);
  if (status == win::SEC_E_OK && encrypt_buffer_.length() < buffer_size &&
      encrypt_buffer_.Resize(buffer_size) != kOk) {
    status = win::SEC_E_INTERNAL_ERROR;
  }
  if (status != win::SEC_E_OK) {
    FreeSchannelContext();
    handshaking_ = false;
    SetErrorCodeText(kErrOutOfMemory, kTextOutOfMemoryAbort);
    ReportTlsError(kErrOutOfMemory, kTextOutOfMemoryAbort);
    SetConnected(false, kErrOutOfMemory);
    return kErrOutOfMemory;
  }
  header_size_ = sizes.cbHeader;
  trailer_size_ = sizes.cbTrailer;
  max_message_ = sizes.cbMaximumMessage;
  handshaking_ = false;
  const bool renegotiated = schannel_state_ == kSchannelComplete;
  schannel_state_ = kSchannelComplete;
  win::SecPkgContext_ConnectionInfo info{};
  ByteString line;
  if (t->QueryContextAttributesA(&context_handle_, win::SECPKG_ATTR_CONNECTION_INFO, &info) ==
      win::SEC_E_OK) {
    NegotiatedParametersText(info.dwProtocol, info.aiCipher, info.dwCipherStrength, info.aiHash,
                             info.dwHashStrength, info.aiExch, info.dwExchStrength, &line);
  } else {
    line.SetText("Negotiated SSL parameters: ");
    line.AppendText(kTextNoConnectionInfo);
  }
  LogTlsStatus(line.c_str());
  // The protocol ALPN chose decides between HTTP/1.1 and HTTP/2 above.
  win::SecPkgContext_ApplicationProtocol protocol{};
  if (!renegotiated &&
      t->QueryContextAttributesA(&context_handle_, win::SECPKG_ATTR_APPLICATION_PROTOCOL,
                                 &protocol) == win::SEC_E_OK &&
      protocol.ProtoNegoStatus == win::SecApplicationProtocolNegotiationStatus_Success) {
    alpn_received_.Set(protocol.ProtocolId, protocol.ProtocolIdSize);
  }
  // A renegotiation changes nothing the owner was told: Connected fires once per connection.
  if (renegotiated) return kOk;
  FireConnectionStatusEvent("SSL handshake complete.", 0, "OK");
  OnConnectedEvent(0);
  ready_to_send_ = 1;
  OnReadyToSendEvent();
  return kOk;
}

// ---- Records ----

int TlsClient::SchannelReceive(const void* bytes, int n) {
  if (n > 0) {
    if (handshaking_) {
      ByteString line;
      line.Format(kFormatReceivingHandshake, n);
      LogTlsStatus(line.c_str());
    }
    if (handshake_input_.Append(bytes, n) != kOk) {
      SetErrorCodeText(kErrOutOfMemory, kTextOutOfMemoryAbort);
      return SchannelFail(kErrOutOfMemory);
    }
  }
  for (;;) {
    int again = 0;
    if (handshaking_) {
      again = SchannelHandshakeStep();
    } else if (schannel_state_ == kSchannelComplete && schannel_active_) {
      // Decrypted data waits while the owner takes none and the overflow is full.
      if (!(accept_tls_data_ && accept_data_) && overflow_.length() >= kMaxPlaintextOverflow) break;
      again = SchannelDecrypt();
    }
    if (again == 0) break;
  }
  return kOk;
}

int TlsClient::SchannelDecrypt() {
  const win::SecurityFunctionTableA* t = Sspi();
  if (t == nullptr || handshake_input_.empty()) return 0;
  win::SecBuffer buffers[4] = {
      {static_cast<uint32_t>(handshake_input_.length()), win::SECBUFFER_DATA, handshake_input_.data()},
      {0, win::SECBUFFER_EMPTY, nullptr},
      {0, win::SECBUFFER_EMPTY, nullptr},
      {0, win::SECBUFFER_EMPTY, nullptr}};
  win::SecBufferDesc message{win::SECBUFFER_VERSION, 4, buffers};
  const win::SECURITY_STATUS status = t->DecryptMessage(&context_handle_, &message, 0, nullptr);
  if (status == win::SEC_E_INCOMPLETE_MESSAGE) return 0;
  // The EXTRA buffer must lie inside the input: anything else is not trusted.
  const uint8_t* begin = handshake_input_.bytes();
  const uint8_t* end = begin + handshake_input_.length();
  const win::SecBuffer* extra = nullptr;
  const win::SecBuffer* data = nullptr;
  for (const win::SecBuffer& b : buffers) {
    if (b.BufferType == win::SECBUFFER_EXTRA && b.cbBuffer > 0 && extra == nullptr) extra = &b;
    if (b.BufferType == win::SECBUFFER_DATA && data == nullptr) data = &b;
  }
  auto in_input = [&](const win::SecBuffer* b) {
    if (b == nullptr || b->cbBuffer == 0) return true;
    const auto* p = static_cast<const uint8_t*>(b->pvBuffer);
    return p != nullptr && p >= begin && p <= end && b->cbBuffer <= static_cast<size_t>(end - p);
  };
  if (!in_input(extra) || !in_input(data)) {
    ByteString text;
    text.Format(kFormatDecrypt, static_cast<unsigned>(win::SEC_E_INTERNAL_ERROR));
    SetErrorCodeText(kErrDecrypt, text.c_str());
    ReportTlsError(kErrDecrypt, text.c_str());
    SetConnected(false, kErrDecrypt);
    return 0;
  }
  // The unread rest, taken before the input changes.
  const int keep = extra != nullptr ? static_cast<int>(extra->cbBuffer) : 0;
  if (status == win::SEC_I_CONTEXT_EXPIRED) {
    schannel_close_notify_ = true;
    LogTlsStatus(kTextPeerEnded);
    handshake_input_.Reset();
    SchannelShutdown(true);
    return 0;
  }
  if (status == win::SEC_I_RENEGOTIATE) {
    handshake_input_.EraseFront(handshake_input_.length() - keep);
    if (ssl_enable_renegotiation_) {
      handshaking_ = true;
      return 1;
    }
    LogTlsStatus(kTextRenegotiationOff);
    SchannelSendAlert(win::TLS1_ALERT_WARNING, kNoRenegotiationAlert);
    handshake_input_.Reset();
    return 0;
  }
  if (status != win::SEC_E_OK) {
    ByteString text;
    text.Format(kFormatDecrypt, static_cast<unsigned>(status));
    SetErrorCodeText(kErrDecrypt, text.c_str());
    ReportTlsError(kErrDecrypt, text.c_str());
    SetConnected(false, kErrDecrypt);
    return 0;
  }
  // Delivery takes the bytes before it runs the owner's code, which may close and drop the input.
  if (data != nullptr && data->cbBuffer > 0) {
    DeliverPlaintext(data->pvBuffer, static_cast<int>(data->cbBuffer), false);
  }
  if (handshake_input_.length() < keep) return 0;
  handshake_input_.EraseFront(handshake_input_.length() - keep);
  return keep > 0 && schannel_active_ && schannel_state_ == kSchannelComplete ? 1 : 0;
}

int TlsClient::SchannelSendPending(const void* bytes, int n, bool flag) {
  int rc = kOk;
  if (!pending_output_.empty()) {
    int taken = 0;
    rc = SendBytes(pending_output_.data(), pending_output_.length(), &taken);
    if (rc == kOk) {
      pending_output_.Reset();
    } else if (rc == win::WSAEWOULDBLOCK) {
      pending_output_.EraseFront(taken);
      if (!pending_output_.empty()) {
        // Still blocked: the new bytes queue behind, in order.
        if (n > 0 && pending_output_.Append(bytes, n) != kOk) return kErrOutOfMemory;
        return win::WSAEWOULDBLOCK;
      }
      rc = kOk;
    } else {
      if (n > 0) pending_output_.Append(bytes, n);
      return rc;
    }
  }
  if (n > 0) {
    int taken = 0;
    rc = SendBytes(bytes, n, &taken);
    if (rc == win::WSAEWOULDBLOCK) {
      if (pending_output_.Append(static_cast<const uint8_t*>(bytes) + taken, n - taken) != kOk) {
        return kErrOutOfMemory;
      }
    } else if (rc != kOk) {
      return rc;
    }
  }
  return rc;
}

int TlsClient::SchannelEncryptAndSend(const void* bytes, int n, bool flag) {
  sent_count_ = 0;
  if (!IsConnected() && !handshaking_) {
    SetWinsockErrorText(win::WSAENOTCONN);
    return win::WSAENOTCONN;
  }
  if (handshaking_ || schannel_state_ != kSchannelComplete) {
    set_error_code(win::WSAEWOULDBLOCK);
    return win::WSAEWOULDBLOCK;
  }
  const win::SecurityFunctionTableA* t = Sspi();
  int rc = SchannelSendPending(nullptr, 0, flag);
  if (rc != kOk || n <= 0) return rc;
  const auto* p = static_cast<const uint8_t*>(bytes);
  while (sent_count_ < n) {
    const uint32_t chunk = std::min<uint32_t>(max_message_, static_cast<uint32_t>(n - sent_count_));
    uint8_t* base = encrypt_buffer_.bytes();
    std::memcpy(base + header_size_, p + sent_count_, chunk);
    win::SecBuffer buffers[4] = {{header_size_, win::SECBUFFER_STREAM_HEADER, base},
                                 {chunk, win::SECBUFFER_DATA, base + header_size_},
                                 {trailer_size_, win::SECBUFFER_STREAM_TRAILER, base + header_size_ + chunk},
                                 {0, win::SECBUFFER_EMPTY, nullptr}};
    win::SecBufferDesc message{win::SECBUFFER_VERSION, 4, buffers};
    const win::SECURITY_STATUS status = t->EncryptMessage(&context_handle_, 0, &message, 0);
    if (status < 0) {
      ByteString text;
      text.Format(kFormatEncrypt, static_cast<unsigned>(status));
      return SetErrorCodeText(kErrEncrypt, text.c_str());
    }
    RecordTraffic(true, p + sent_count_, static_cast<int>(chunk));
    const uint64_t total = static_cast<uint64_t>(buffers[0].cbBuffer) + buffers[1].cbBuffer + buffers[2].cbBuffer;
    if (total > static_cast<uint64_t>(encrypt_buffer_.length())) return SetErrorCodeText(kErrEncrypt, "error encrypting data.");
    // The chunk is committed once encrypted: bytes the socket did not take wait in pending
    // output, so the caller must count them as sent or it would send them twice.
    sent_count_ += static_cast<int>(chunk);
    rc = SchannelSendPending(base, static_cast<int>(total), flag);
    if (rc != kOk) return rc;
    if (!pending_output_.empty()) return win::WSAEWOULDBLOCK;
  }
  return kOk;
}

int TlsClient::SchannelSendAlert(uint32_t level, uint32_t description) {
  const win::SecurityFunctionTableA* t = Sspi();
  if (t == nullptr) return kErrSecurityLibrary;
  win::SCHANNEL_ALERT_TOKEN alert{win::SCHANNEL_ALERT, level, description};
  win::SecBuffer token{sizeof alert, win::SECBUFFER_TOKEN, &alert};
  win::SecBufferDesc in{win::SECBUFFER_VERSION, 1, &token};
  win::SECURITY_STATUS status = t->ApplyControlToken(&context_handle_, &in);
  if (status < 0) return status;
  win::SecBuffer out_buffer{0, win::SECBUFFER_TOKEN, nullptr};
  win::SecBufferDesc out{win::SECBUFFER_VERSION, 1, &out_buffer};
  win::CredHandle cred{ssl_credential_handle_[0], ssl_credential_handle_[1]};
  uint32_t attributes = 0;
  status = t->InitializeSecurityContextA(&cred, &context_handle_, nullptr, kRequirements, 0,
                                         win::SECURITY_NATIVE_DREP, nullptr, 0, &context_handle_,
                                         &out, &attributes, nullptr);
  if (out_buffer.pvBuffer != nullptr) {
    SchannelSendPending(out_buffer.pvBuffer, static_cast<int>(out_buffer.cbBuffer), false);
    t->FreeContextBuffer(out_buffer.pvBuffer);
  }
  return status < 0 ? status : kOk;
}

int TlsClient::SchannelShutdown(bool close) {
  int rc = kOk;
  const win::SecurityFunctionTableA* t = Sspi();
  if (schannel_active_ && t != nullptr && HasHandle(context_handle_)) {
    uint32_t type = win::SCHANNEL_SHUTDOWN;
    win::SecBuffer token{sizeof type, win::SECBUFFER_TOKEN, &type};
    win::SecBufferDesc in{win::SECBUFFER_VERSION, 1, &token};
    rc = t->ApplyControlToken(&context_handle_, &in);
    if (rc == win::SEC_E_OK) {
      win::SecBuffer out_buffer{0, win::SECBUFFER_TOKEN, nullptr};
      win::SecBufferDesc out{win::SECBUFFER_VERSION, 1, &out_buffer};
      win::CredHandle cred{ssl_credential_handle_[0], ssl_credential_handle_[1]};
      uint32_t attributes = 0;
      rc = t->InitializeSecurityContextA(&cred, &context_handle_, nullptr, kRequirements, 0,
                                         win::SECURITY_NATIVE_DREP, nullptr, 0, &context_handle_,
                                         &out, &attributes, nullptr);
      if (out_buffer.pvBuffer != nullptr) {
        if (out_buffer.cbBuffer > 0 && HasSocket()) {
          rc = SchannelSendPending(out_buffer.pvBuffer, static_cast<int>(out_buffer.cbBuffer), false);
        }
        t->FreeContextBuffer(out_buffer.pvBuffer);
      }
    }
  }
  schannel_active_ = false;
  if (close) {
    FreeSchannelContext();
    EnableTls(false);
  }
  return rc;
}

// ---- Accepted certificate ----

int TlsClient::AcceptedCertificateText(ByteString* out) const {
  return Base64Lines(accepted_certificate_.bytes(), static_cast<uint32_t>(accepted_certificate_.length()), out);
}

}  // namespace tw
