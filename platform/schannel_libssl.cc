// The SChannel package of secur32 over libssl with memory BIOs.
#include <strings.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/crypt32_store.h"
#include "platform/handle.h"
#include "platform/openssl_entries.h"
#include "platform/sspi_gssapi.h"
#include "platform/process_tables.h"

namespace win {
namespace {

constexpr uint32_t kRecordHeader = 5;
constexpr uint32_t kMaxPlaintext = 16384;
// Room behind a record's data for MAC, padding and the second record of a 1/n-1 split.
constexpr uint32_t kStreamTrailer = 1024;
constexpr uint32_t kBlockSize = 16;
constexpr uint8_t kContentHandshake = 22;
// The upper word of a TLS context handle: callers take a handle with both words zero for none.
constexpr uintptr_t kContextHandleTag = 0x53434841;
constexpr int kNidMd5 = 4;
constexpr int kNidSha1 = 64;
constexpr char kEndPointPrefix[] = "tls-server-end-point:";
constexpr SECURITY_STATUS kSecNoCredentials = static_cast<int32_t>(0x8009030Eu);  // SEC_E_NO_CREDENTIALS

// libssl values.
constexpr int kCtrlSetHostName = 55;
constexpr int kCtrlChainCert = 89;
constexpr uint32_t kChainSelfSignedEnd = 0x8;
constexpr int kCtrlMinProto = 123;
constexpr int kCtrlMaxProto = 124;
constexpr int kBioCtrlReset = 1;
constexpr int kErrorWantRead = 2;
constexpr int kErrorZeroReturn = 6;
constexpr uint64_t kOpNoTicket = 1ull << 14;
constexpr uint64_t kOpNoRenegotiation = 1ull << 30;

// Protocol pairs of the enabled-protocols word and the wire versions they stand for.
struct ProtocolBits {
  uint32_t bits;
  int version;
};
constexpr ProtocolBits kProtocols[] = {
    {SP_PROT_SSL3, 0x300},   {SP_PROT_TLS1_0, 0x301}, {SP_PROT_TLS1_1, 0x302},
    {SP_PROT_TLS1_2, 0x303}, {SP_PROT_TLS1_3, 0x304},
};

// Algorithm classes of libssl's short names, for the connection information and the algorithm
// list of the credentials.
struct AlgName {
  const char* name;  // OBJ_nid2sn of the cipher, digest or key-exchange nid
  ALG_ID id;
};
constexpr AlgName kCipherAlgs[] = {
    {"id-aes128-GCM", CALG_AES_128}, {"id-aes256-GCM", CALG_AES_256}, {"AES-128-CBC", CALG_AES_128},
    {"AES-256-CBC", CALG_AES_256}, {"id-aes128-CCM", CALG_AES_128}, {"id-aes256-CCM", CALG_AES_256},
    {"DES-EDE3-CBC", CALG_3DES},   {"DES-CBC", CALG_DES},         {"RC4", CALG_RC4},
    {"RC2-CBC", CALG_RC2},
};
constexpr AlgName kHashAlgs[] = {
    {"SHA1", CALG_SHA1}, {"SHA256", CALG_SHA_256}, {"SHA384", CALG_SHA_384},
    {"SHA512", CALG_SHA_512}, {"MD5", CALG_MD5}, {"AEAD", 0},
};
constexpr AlgName kExchangeAlgs[] = {
    {"KxRSA", CALG_RSA_KEYX},     {"KxECDHE", CALG_ECDH_EPHEM}, {"KxDHE", CALG_DH_EPHEM},
    {"KxRSA_PSK", CALG_RSA_KEYX}, {"KxECDHE-PSK", CALG_ECDH_EPHEM}, {"KxDHE-PSK", CALG_DH_EPHEM},
    {"KxANY", CALG_ECDH_EPHEM},
};

template <size_t N>
ALG_ID AlgOf(const AlgName (&table)[N], const char* name, ALG_ID fallback) {
  if (name == nullptr) return fallback;
  for (const AlgName& a : table) {
    if (std::strcmp(a.name, name) == 0) return a.id;
  }
  return fallback;
}

struct Credential {
  const OpenSslEntries* ossl = nullptr;
  OsslCtx* ctx = nullptr;
  uint32_t protocols = 0;
};

struct Context {
  const OpenSslEntries* ossl = nullptr;
  OsslSsl* ssl = nullptr;
  OsslBio* in = nullptr;   // records from the peer
  OsslBio* out = nullptr;  // records for the peer
  // A handshake record that arrived after the handshake (a renegotiation request): kept until
  // the caller says whether to renegotiate.
  std::vector<uint8_t> held;
  bool shutdown_requested = false;
  bool refuse_renegotiation = false;
};

struct Registry {
  std::mutex lock;
  std::map<uintptr_t, std::unique_ptr<Credential>> credentials;
  std::map<uintptr_t, std::unique_ptr<Context>> contexts;
};

Registry& Reg() {
  static Registry* r = KeepProcessTable(new Registry);  // contexts may be dropped from static destructors
  return *r;
}

Credential* FindCredential(const CredHandle* h) {
  if (h == nullptr) return nullptr;
  auto it = Reg().credentials.find(h->dwLower);
  return it == Reg().credentials.end() ? nullptr : it->second.get();
}

Context* FindContext(const CtxtHandle* h) {
  if (h == nullptr) return nullptr;
  auto it = Reg().contexts.find(h->dwLower);
  return it == Reg().contexts.end() ? nullptr : it->second.get();
}

void FreeContextObject(Context* c) {
  if (c->ssl != nullptr) c->ossl->SSL_free(c->ssl);  // frees both BIOs
  c->ssl = nullptr;
}

// The length of the leading whole records of the bytes; *missing gets how many bytes the first
// incomplete record still lacks (0 when the bytes end on a record boundary).
size_t WholeRecords(const uint8_t* p, size_t n, size_t* missing) {
  size_t at = 0;
  *missing = 0;
  while (n - at >= kRecordHeader) {
    const size_t length = static_cast<size_t>(p[at + 3]) << 8 | p[at + 4];
    if (n - at - kRecordHeader < length) {
      *missing = kRecordHeader + length - (n - at);
      return at;
    }
    at += kRecordHeader + length;
  }
  if (at < n) *missing = kRecordHeader - (n - at);
  return at;
}

// Moves what libssl wrote for the peer into a new buffer for the caller (freed by
// FreeContextBuffer). False when memory fails.
bool TakeOutput(Context* c, SecBuffer* token) {
  token->cbBuffer = 0;
  token->pvBuffer = nullptr;
  const size_t pending = c->ossl->BIO_ctrl_pending(c->out);
  if (pending == 0) return true;
  void* block = std::malloc(pending);
  if (block == nullptr) return false;
  const int n = c->ossl->BIO_read(c->out, block, static_cast<int>(pending));
  token->pvBuffer = block;
  token->cbBuffer = n > 0 ? static_cast<uint32_t>(n) : 0;
  return true;
}

SecBuffer* FindBuffer(SecBufferDesc* d, uint32_t type) {
  if (d == nullptr || d->pBuffers == nullptr) return nullptr;
  for (uint32_t i = 0; i < d->cBuffers; ++i) {
    if (d->pBuffers[i].BufferType == type) return &d->pBuffers[i];
  }
  return nullptr;
}

// Buffer `index` of the description becomes (type, bytes) when it exists.
void SetBuffer(SecBufferDesc* d, uint32_t index, uint32_t type, void* bytes, uint32_t n) {
  if (d == nullptr || d->pBuffers == nullptr || index >= d->cBuffers) return;
  d->pBuffers[index] = SecBuffer{n, type, bytes};
}

// Settings of a new libssl context from SCHANNEL_CRED.
SECURITY_STATUS Configure(const OpenSslEntries& o, OsslCtx* ctx, const SCHANNEL_CRED* cred,
                          uint32_t* protocols) {
  uint32_t mask = cred != nullptr ? cred->grbitEnabledProtocols : 0;
  if (mask == 0) mask = SP_PROT_TLS1_0 | SP_PROT_TLS1_1 | SP_PROT_TLS1_2;  // the system default
  int lowest = 0;
  int highest = 0;
  for (const ProtocolBits& p : kProtocols) {
    if ((mask & p.bits) == 0) continue;
    if (lowest == 0) lowest = p.version;
    highest = p.version;
  }
  if (lowest == 0) return SEC_E_ALGORITHM_MISMATCH;
  *protocols = mask;
  o.SSL_CTX_ctrl(ctx, kCtrlMinProto, lowest, nullptr);
  o.SSL_CTX_ctrl(ctx, kCtrlMaxProto, highest, nullptr);
  // Sessions are not resumed across contexts here, so tickets would only cost a round of parsing.
  o.SSL_CTX_set_options(ctx, kOpNoTicket);
  std::string ciphers = "DEFAULT";
  if (cred != nullptr && cred->cSupportedAlgs > 0 && cred->palgSupportedAlgs != nullptr) {
    // Keep the suites whose cipher, hash and key exchange are each listed (a class with no
    // entry in the list is not restricted).
    auto listed = [&](ALG_ID id) {
      for (uint32_t i = 0; i < cred->cSupportedAlgs; ++i) {
        if (cred->palgSupportedAlgs[i] == id) return true;
      }
      return false;
    };
    auto class_listed = [&](uint32_t cls) {
      for (uint32_t i = 0; i < cred->cSupportedAlgs; ++i) {
        if ((cred->palgSupportedAlgs[i] & 0xE000) == cls) return true;
      }
      return false;
    };
    const bool any_cipher = !class_listed(0x6000);
    const bool any_hash = !class_listed(0x8000);
    const bool any_exchange = !class_listed(0xA000);
    ciphers.clear();
    OsslStack* all = o.SSL_CTX_get_ciphers(ctx);
    const int count = all != nullptr ? o.OPENSSL_sk_num(all) : 0;
    for (int i = 0; i < count; ++i) {
      auto* c = static_cast<const OsslCipher*>(o.OPENSSL_sk_value(all, i));
      const ALG_ID cipher = AlgOf(kCipherAlgs, o.OBJ_nid2sn(o.SSL_CIPHER_get_cipher_nid(c)), 1);
      const ALG_ID hash = AlgOf(kHashAlgs, o.OBJ_nid2sn(o.SSL_CIPHER_get_digest_nid(c)), 1);
      const ALG_ID exchange = AlgOf(kExchangeAlgs, o.OBJ_nid2sn(o.SSL_CIPHER_get_kx_nid(c)), 1);
      const bool cipher_ok = any_cipher || listed(cipher) || (listed(CALG_AES) &&
                                                               (cipher & 0xFFF0) == 0x6600 &&
                                                               cipher >= CALG_AES_128);
      const bool hash_ok = any_hash || hash == 0 || listed(hash);
      const bool exchange_ok = any_exchange || listed(exchange) ||
                               (exchange == CALG_ECDH_EPHEM && listed(CALG_ECDH));
      if (!cipher_ok || !hash_ok || !exchange_ok) continue;
      if (!ciphers.empty()) ciphers += ':';
      ciphers += o.SSL_CIPHER_get_name(c);
    }
    if (ciphers.empty()) return SEC_E_ALGORITHM_MISMATCH;
  }
  // Versions below TLS 1.2 need the lowest security level; they are on only when the caller
  // enables nothing newer.
  if (highest < 0x303) ciphers += ":@SECLEVEL=0";
  if (o.SSL_CTX_set_cipher_list(ctx, ciphers.c_str()) != 1) return SEC_E_ALGORITHM_MISMATCH;
  return SEC_E_OK;
}

// The issuers sent behind the certificate: its chain as built from its own store and the
// system stores, without the leaf and without a self-signed root. A chain that cannot be built
// sends the certificate alone. False when memory runs out.
bool UseCertificateChain(const OpenSslEntries& o, OsslCtx* ctx, PCCERT_CONTEXT context) {
  PCCERT_CHAIN_CONTEXT chain = nullptr;
  if (!CertGetCertificateChain(nullptr, context, nullptr, nullptr, nullptr, 0, nullptr, &chain)) return true;
  bool ok = true;
  if (chain->cChain > 0 && chain->rgpChain[0] != nullptr) {
    const CERT_SIMPLE_CHAIN& simple = *chain->rgpChain[0];
    uint32_t end = simple.cElement;
    if (end > 1 && (chain->TrustStatus.dwInfoStatus & kChainSelfSignedEnd) != 0) --end;
    for (uint32_t i = 1; ok && i < end; ++i) {
      PCCERT_CONTEXT c = simple.rgpElement[i]->pCertContext;
      const unsigned char* p = c->pbCertEncoded;
      OsslX509* x = o.d2i_X509(nullptr, &p, static_cast<long>(c->cbCertEncoded));
      ok = x != nullptr && o.SSL_CTX_ctrl(ctx, kCtrlChainCert, 1, x) == 1;
      if (x != nullptr) o.X509_free(x);
    }
  }
  CertFreeCertificateChain(chain);
  return ok;
}

// The certificate and its key for the handshake; SEC_E_NO_CREDENTIALS when the context has no
// usable key or the key is not the certificate's.
SECURITY_STATUS UseClientCertificate(const OpenSslEntries& o, OsslCtx* ctx, PCCERT_CONTEXT context) {
  const OpenSslEntries* owner = nullptr;
  OsslX509* cert = nullptr;
  OsslPkey* key = nullptr;
  if (!CertContextCredentials(context, &owner, &cert, &key)) return kSecNoCredentials;
  bool ok = o.SSL_CTX_use_certificate(ctx, cert) == 1 && o.SSL_CTX_use_PrivateKey(ctx, key) == 1 &&
             o.SSL_CTX_check_private_key(ctx) == 1;
  o.X509_free(cert);
  o.EVP_PKEY_free(key);
  if (ok) ok = UseCertificateChain(o, ctx, context);
  o.ERR_clear_error();
  return ok ? SEC_E_OK : kSecNoCredentials;
}

// ---- secur32 entry points ----

SECURITY_STATUS AcquireCredentialsHandleA(const char* principal, const char* package,
                                          uint32_t use, void* logon_id, void* auth_data,
                                          void* get_key_fn, void* get_key_arg,
                                          CredHandle* credential, TimeStamp* expiry) {
  if (credential == nullptr) return SEC_E_INVALID_PARAMETER;
  if (IsGssPackage(package)) {
    return GssAcquireCredentialsHandle(package, use, auth_data, credential, expiry);
  }
  if (package == nullptr || (strcasecmp(package, UNISP_NAME_A) != 0 &&
                             strcasecmp(package, "Schannel") != 0)) {
    return SEC_E_SECPKG_NOT_FOUND;
  }
  if (use != SECPKG_CRED_OUTBOUND) return SEC_E_UNSUPPORTED_FUNCTION;
  const auto* cred = static_cast<const SCHANNEL_CRED*>(auth_data);
  if (cred != nullptr && cred->dwVersion != SCHANNEL_CRED_VERSION) return SEC_E_INVALID_PARAMETER;
  if (cred != nullptr && cred->cCreds != 0 && cred->paCred == nullptr) return SEC_E_INVALID_PARAMETER;
  const OpenSslEntries* o = LoadOpenSsl();
  if (o == nullptr) return SEC_E_SECPKG_NOT_FOUND;
  auto c = std::make_unique<Credential>();
  c->ossl = o;
  c->ctx = o->SSL_CTX_new(o->TLS_client_method());
  if (c->ctx == nullptr) return SEC_E_INSUFFICIENT_MEMORY;
  SECURITY_STATUS status = Configure(*o, c->ctx, cred, &c->protocols);
  // The client certificate: the first context, with the private key bound to it.
  if (status == SEC_E_OK && cred != nullptr && cred->cCreds != 0) status = UseClientCertificate(*o, c->ctx, cred->paCred[0]);
  if (status != SEC_E_OK) {
    o->SSL_CTX_free(c->ctx);
    return status;
  }
  const uintptr_t id = NewHandleId();
  std::lock_guard<std::mutex> guard(Reg().lock);
  Reg().credentials[id] = std::move(c);
  credential->dwLower = id;
  credential->dwUpper = 0;
  if (expiry != nullptr) *expiry = INT64_MAX;
  return SEC_E_OK;
}

SECURITY_STATUS FreeCredentialsHandle(CredHandle* credential) {
  if (IsGssHandle(credential)) return GssFreeCredentialsHandle(credential);
  std::lock_guard<std::mutex> guard(Reg().lock);
  Credential* c = FindCredential(credential);
  if (c == nullptr) return SEC_E_INVALID_HANDLE;
  c->ossl->SSL_CTX_free(c->ctx);
  Reg().credentials.erase(credential->dwLower);
  return SEC_E_OK;
}

SECURITY_STATUS NewContext(Credential* cred, const char* target, SecBufferDesc* input,
                           Context** out, CtxtHandle* handle) {
  const OpenSslEntries* o = cred->ossl;
  auto c = std::make_unique<Context>();
  c->ossl = o;
  c->ssl = o->SSL_new(cred->ctx);
  c->in = o->BIO_new(o->BIO_s_mem());
  c->out = o->BIO_new(o->BIO_s_mem());
  if (c->ssl == nullptr || c->in == nullptr || c->out == nullptr) {
    if (c->in != nullptr) o->BIO_free(c->in);
    if (c->out != nullptr) o->BIO_free(c->out);
    if (c->ssl != nullptr) o->SSL_free(c->ssl);
    return SEC_E_INSUFFICIENT_MEMORY;
  }
  o->SSL_set_bio(c->ssl, c->in, c->out);
  o->SSL_set_connect_state(c->ssl);
  // The server name goes out only as a name: an address literal is not a host name (RFC 6066).
  if (target != nullptr && *target != '\0' && std::strspn(target, "0123456789.") != std::strlen(target) &&
      std::strchr(target, ':') == nullptr) {
    o->SSL_ctrl(c->ssl, kCtrlSetHostName, 0, const_cast<char*>(target));
  }
  // SEC_APPLICATION_PROTOCOLS: size (4), extension 2 (4), list size (2), then the wire list.
  if (SecBuffer* alpn = FindBuffer(input, SECBUFFER_APPLICATION_PROTOCOLS)) {
    const auto* p = static_cast<const uint8_t*>(alpn->pvBuffer);
    if (p != nullptr && alpn->cbBuffer >= 10) {
      uint32_t extension = 0;
      std::memcpy(&extension, p + 4, 4);
      uint16_t list = 0;
      std::memcpy(&list, p + 8, 2);
      if (extension == 2 && list <= alpn->cbBuffer - 10) {
        o->SSL_set_alpn_protos(c->ssl, p + 10, list);
      }
    }
  }
  *out = c.get();
  const uintptr_t id = NewHandleId();
  Reg().contexts[id] = std::move(c);
  *handle = CtxtHandle{id, kContextHandleTag};
  return SEC_E_OK;
}

// Status of a failed libssl call during the handshake.
SECURITY_STATUS HandshakeFailure(Context* c) {
  c->ossl->ERR_clear_error();
  return SEC_E_ILLEGAL_MESSAGE;
}

SECURITY_STATUS InitializeSecurityContextA(CredHandle* credential, CtxtHandle* context,
                                           const char* target, uint32_t requirements,
                                           uint32_t reserved1, uint32_t data_rep,
                                           SecBufferDesc* input, uint32_t reserved2,
                                           CtxtHandle* new_context, SecBufferDesc* output,
                                           uint32_t* attributes, TimeStamp* expiry) {
  if (IsGssHandle(credential) || IsGssHandle(context)) {
    if (attributes != nullptr) *attributes = 0;
    if (expiry != nullptr) *expiry = INT64_MAX;
    return GssInitializeSecurityContext(credential, context, target, input, new_context, output);
  }
  std::lock_guard<std::mutex> guard(Reg().lock);
  if (attributes != nullptr) *attributes = requirements & ~ISC_RET_EXTENDED_ERROR;
  SecBuffer* token = FindBuffer(output, SECBUFFER_TOKEN);
  if (token == nullptr) return SEC_E_INVALID_PARAMETER;
  token->cbBuffer = 0;
  token->pvBuffer = nullptr;
  Context* c = FindContext(context);
  if (context == nullptr) {
    Credential* cred = FindCredential(credential);
    if (cred == nullptr) return SEC_E_INVALID_HANDLE;
    CtxtHandle made;
    const SECURITY_STATUS status = NewContext(cred, target, input, &c, &made);
    if (status != SEC_E_OK) return status;
    if (new_context != nullptr) *new_context = made;
  } else if (c == nullptr) {
    return SEC_E_INVALID_HANDLE;
  }
  const OpenSslEntries& o = *c->ossl;

  // A control token asked for a shutdown: close_notify is the output.
  if (c->shutdown_requested) {
    c->shutdown_requested = false;
    o.SSL_shutdown(c->ssl);
    o.ERR_clear_error();
    return TakeOutput(c, token) ? SEC_E_OK : SEC_E_INSUFFICIENT_MEMORY;
  }

  SecBuffer* in = FindBuffer(input, SECBUFFER_TOKEN);
  const auto* bytes = in != nullptr ? static_cast<const uint8_t*>(in->pvBuffer) : nullptr;
  const size_t n = bytes != nullptr ? in->cbBuffer : 0;
  size_t missing = 0;
  const size_t whole = n > 0 ? WholeRecords(bytes, n, &missing) : 0;

  if (!c->held.empty()) {
    // The peer's renegotiation request: libssl answers it while reading it.
    o.BIO_write(c->in, c->held.data(), static_cast<int>(c->held.size()));
    c->held.clear();
    if (c->refuse_renegotiation) o.SSL_set_options(c->ssl, kOpNoRenegotiation);
    uint8_t none[1];
    o.SSL_read(c->ssl, none, sizeof none);
    o.ERR_clear_error();
  } else if (whole == 0 && o.BIO_ctrl_pending(c->out) == 0 && o.SSL_is_init_finished(c->ssl) == 0 &&
             context != nullptr) {
    // Nothing whole to read and nothing to say: wait for the rest of the record.
    if (SecBuffer* extra = input != nullptr && input->cBuffers > 1 ? &input->pBuffers[1] : nullptr) {
      *extra = SecBuffer{static_cast<uint32_t>(missing), SECBUFFER_MISSING, nullptr};
    }
    return SEC_E_INCOMPLETE_MESSAGE;
  }
  if (whole > 0) o.BIO_write(c->in, bytes, static_cast<int>(whole));

  SECURITY_STATUS status = SEC_I_CONTINUE_NEEDED;
  if (o.SSL_is_init_finished(c->ssl) == 0 || whole > 0) {
    const int rc = o.SSL_do_handshake(c->ssl);
    if (rc == 1) {
      status = SEC_E_OK;
    } else if (o.SSL_get_error(c->ssl, rc) != kErrorWantRead) {
      status = HandshakeFailure(c);
      if (attributes != nullptr) *attributes |= ISC_RET_EXTENDED_ERROR;  // the alert is the token
    }
  } else {
    status = SEC_E_OK;  // only output to collect (an alert asked for by a control token)
  }
  // Records the handshake did not read, and the partial record behind them, are the caller's.
  size_t unread = o.BIO_ctrl_pending(c->in);
  if (unread > 0) o.BIO_ctrl(c->in, kBioCtrlReset, 0, nullptr);
  unread += n - whole;
  if (input != nullptr && input->cBuffers > 1 && input->pBuffers != nullptr) {
    if (unread > 0 && status >= 0) {
      input->pBuffers[1] = SecBuffer{static_cast<uint32_t>(unread), SECBUFFER_EXTRA, nullptr};
    } else {
      input->pBuffers[1] = SecBuffer{0, SECBUFFER_EMPTY, nullptr};
    }
  }
  if (!TakeOutput(c, token)) return SEC_E_INSUFFICIENT_MEMORY;
  if (expiry != nullptr) *expiry = INT64_MAX;
  return status;
}

SECURITY_STATUS DeleteSecurityContext(CtxtHandle* context) {
  if (IsGssHandle(context)) return GssDeleteSecurityContext(context);
  std::lock_guard<std::mutex> guard(Reg().lock);
  Context* c = FindContext(context);
  if (c == nullptr) return SEC_E_INVALID_HANDLE;
  FreeContextObject(c);
  Reg().contexts.erase(context->dwLower);
  return SEC_E_OK;
}

SECURITY_STATUS ApplyControlToken(CtxtHandle* context, SecBufferDesc* input) {
  std::lock_guard<std::mutex> guard(Reg().lock);
  Context* c = FindContext(context);
  if (c == nullptr) return SEC_E_INVALID_HANDLE;
  SecBuffer* token = FindBuffer(input, SECBUFFER_TOKEN);
  if (token == nullptr || token->pvBuffer == nullptr || token->cbBuffer < 4) {
    return SEC_E_INVALID_TOKEN;
  }
  uint32_t type = 0;
  std::memcpy(&type, token->pvBuffer, 4);
  if (type == SCHANNEL_SHUTDOWN) {
    c->shutdown_requested = true;
    return SEC_E_OK;
  }
  if (type == SCHANNEL_ALERT && token->cbBuffer >= sizeof(SCHANNEL_ALERT_TOKEN)) {
    SCHANNEL_ALERT_TOKEN alert{};
    std::memcpy(&alert, token->pvBuffer, sizeof alert);
    // The one alert libssl can be made to send on request: the refusal of a renegotiation
    // the peer asked for. It goes out when the held request is read.
    constexpr uint32_t kNoRenegotiation = 100;
    if (alert.dwAlertType == TLS1_ALERT_WARNING && alert.dwAlertNumber == kNoRenegotiation &&
        !c->held.empty()) {
      c->refuse_renegotiation = true;
      return SEC_E_OK;
    }
    return SEC_E_UNSUPPORTED_FUNCTION;
  }
  return SEC_E_INVALID_TOKEN;
}

// The tls-server-end-point binding of RFC 5929: the server certificate hashed with the hash of
// its signature algorithm, SHA-256 when that is MD5 or SHA-1 or when the algorithm names no
// single hash. One block (header, then the application data) for FreeContextBuffer.
SECURITY_STATUS EndPointBindings(const OpenSslEntries& o, OsslSsl* ssl,
                                 SecPkgContext_Bindings* out) {
  *out = SecPkgContext_Bindings{};
  if (o.SSL_is_init_finished(ssl) == 0) return SEC_E_INVALID_HANDLE;
  OsslX509* leaf = o.SSL_get1_peer_certificate(ssl);
  if (leaf == nullptr) return SEC_E_INVALID_HANDLE;
  int md_nid = 0, pk_nid = 0;
  if (o.OBJ_find_sigid_algs(o.X509_get_signature_nid(leaf), &md_nid, &pk_nid) == 0) md_nid = 0;
  const char* md_name =
      md_nid == 0 || md_nid == kNidMd5 || md_nid == kNidSha1 ? "SHA256" : o.OBJ_nid2sn(md_nid);
  const OsslMd* md = md_name != nullptr ? o.EVP_get_digestbyname(md_name) : nullptr;
  unsigned char hash[64];
  unsigned int hash_length = 0;
  const bool hashed = md != nullptr && o.X509_digest(leaf, md, hash, &hash_length) == 1 &&
                      hash_length <= sizeof hash;
  o.X509_free(leaf);
  if (!hashed) return SEC_E_INTERNAL_ERROR;
  const uint32_t prefix = sizeof kEndPointPrefix - 1;
  const uint32_t total = sizeof(SEC_CHANNEL_BINDINGS) + prefix + hash_length;
  auto* block = static_cast<uint8_t*>(std::calloc(1, total));
  if (block == nullptr) return SEC_E_INSUFFICIENT_MEMORY;
  SEC_CHANNEL_BINDINGS header{};
  header.cbApplicationDataLength = prefix + hash_length;
  header.dwApplicationDataOffset = sizeof(SEC_CHANNEL_BINDINGS);
  std::memcpy(block, &header, sizeof header);
  std::memcpy(block + sizeof header, kEndPointPrefix, prefix);
  std::memcpy(block + sizeof header + prefix, hash, hash_length);
  out->BindingsLength = total;
  out->Bindings = reinterpret_cast<SEC_CHANNEL_BINDINGS*>(block);
  return SEC_E_OK;
}

SECURITY_STATUS QueryContextAttributesA(CtxtHandle* context, uint32_t attribute, void* buffer) {
  if (IsGssHandle(context)) return SEC_E_UNSUPPORTED_FUNCTION;
  std::lock_guard<std::mutex> guard(Reg().lock);
  Context* c = FindContext(context);
  if (c == nullptr) return SEC_E_INVALID_HANDLE;
  if (buffer == nullptr) return SEC_E_INVALID_PARAMETER;
  const OpenSslEntries& o = *c->ossl;
  switch (attribute) {
    case SECPKG_ATTR_STREAM_SIZES: {
      if (o.SSL_is_init_finished(c->ssl) == 0) return SEC_E_INVALID_HANDLE;
      auto* sizes = static_cast<SecPkgContext_StreamSizes*>(buffer);
      *sizes = SecPkgContext_StreamSizes{kRecordHeader, kStreamTrailer, kMaxPlaintext, 4,
                                         kBlockSize};
      return SEC_E_OK;
    }
    case SECPKG_ATTR_REMOTE_CERT_CONTEXT: {
      OsslX509* leaf = o.SSL_get1_peer_certificate(c->ssl);
      if (leaf == nullptr) return SEC_E_INVALID_HANDLE;
      std::vector<OsslX509*> with;
      if (OsslStack* chain = o.SSL_get_peer_cert_chain(c->ssl)) {
        const int count = o.OPENSSL_sk_num(chain);
        for (int i = 0; i < count; ++i) with.push_back(static_cast<OsslX509*>(o.OPENSSL_sk_value(chain, i)));
      }
      PCCERT_CONTEXT cert = NewCertContext(o, leaf, with);
      o.X509_free(leaf);
      if (cert == nullptr) return SEC_E_INSUFFICIENT_MEMORY;
      *static_cast<PCCERT_CONTEXT*>(buffer) = cert;
      return SEC_E_OK;
    }
    case SECPKG_ATTR_CONNECTION_INFO: {
      const OsslCipher* cipher = o.SSL_get_current_cipher(c->ssl);
      if (cipher == nullptr) return SEC_E_INVALID_HANDLE;
      auto* info = static_cast<SecPkgContext_ConnectionInfo*>(buffer);
      *info = SecPkgContext_ConnectionInfo{};
      switch (o.SSL_version(c->ssl)) {
        case 0x300: info->dwProtocol = SP_PROT_SSL3_CLIENT; break;
        case 0x301: info->dwProtocol = SP_PROT_TLS1_0_CLIENT; break;
        case 0x302: info->dwProtocol = SP_PROT_TLS1_1_CLIENT; break;
        case 0x303: info->dwProtocol = SP_PROT_TLS1_2_CLIENT; break;
        default: info->dwProtocol = SP_PROT_TLS1_3_CLIENT; break;
      }
      const char* cipher_name = o.OBJ_nid2sn(o.SSL_CIPHER_get_cipher_nid(cipher));
      info->aiCipher = AlgOf(kCipherAlgs, cipher_name, 0);
      if (info->aiCipher == 0 && cipher_name != nullptr && std::strncmp(cipher_name, "AES", 3) == 0) {
        info->aiCipher = CALG_AES;
      }
      info->dwCipherStrength = static_cast<uint32_t>(o.SSL_CIPHER_get_bits(cipher, nullptr));
      info->aiHash = AlgOf(kHashAlgs, o.OBJ_nid2sn(o.SSL_CIPHER_get_digest_nid(cipher)), 0);
      constexpr struct {
        ALG_ID id;
        uint32_t bits;
      } kHashBits[] = {{CALG_SHA1, 160}, {CALG_SHA_256, 256}, {CALG_SHA_384, 384},
                       {CALG_SHA_512, 512}, {CALG_MD5, 128}};
      for (const auto& h : kHashBits) {
        if (h.id == info->aiHash) info->dwHashStrength = h.bits;
      }
      info->aiExch = AlgOf(kExchangeAlgs, o.OBJ_nid2sn(o.SSL_CIPHER_get_kx_nid(cipher)), 0);
      return SEC_E_OK;
    }
    case SECPKG_ATTR_ENDPOINT_BINDINGS:
      return EndPointBindings(o, c->ssl, static_cast<SecPkgContext_Bindings*>(buffer));
    case SECPKG_ATTR_APPLICATION_PROTOCOL: {
      if (o.SSL_is_init_finished(c->ssl) == 0) return SEC_E_INVALID_HANDLE;
      auto* proto = static_cast<SecPkgContext_ApplicationProtocol*>(buffer);
      *proto = SecPkgContext_ApplicationProtocol{};
      const unsigned char* chosen = nullptr;
      unsigned int n = 0;
      o.SSL_get0_alpn_selected(c->ssl, &chosen, &n);
      if (chosen != nullptr && n > 0 && n <= sizeof(proto->ProtocolId)) {
        proto->ProtoNegoStatus = SecApplicationProtocolNegotiationStatus_Success;
        proto->ProtoNegoExt = 2;
        proto->ProtocolIdSize = static_cast<uint8_t>(n);
        std::memcpy(proto->ProtocolId, chosen, n);
      }
      return SEC_E_OK;
    }
    default:
      return SEC_E_UNSUPPORTED_FUNCTION;
  }
}

SECURITY_STATUS FreeContextBuffer(void* buffer) {
  std::free(buffer);
  return SEC_E_OK;
}

// Buffers HEADER, DATA, TRAILER: the records of the data fill them in turn.
SECURITY_STATUS EncryptMessage(CtxtHandle* context, uint32_t qop, SecBufferDesc* message,
                               uint32_t sequence) {
  std::lock_guard<std::mutex> guard(Reg().lock);
  Context* c = FindContext(context);
  if (c == nullptr) return SEC_E_INVALID_HANDLE;
  SecBuffer* header = FindBuffer(message, SECBUFFER_STREAM_HEADER);
  SecBuffer* data = FindBuffer(message, SECBUFFER_DATA);
  SecBuffer* trailer = FindBuffer(message, SECBUFFER_STREAM_TRAILER);
  if (header == nullptr || data == nullptr || trailer == nullptr || header->cbBuffer < kRecordHeader ||
      data->cbBuffer > kMaxPlaintext || (data->cbBuffer > 0 && data->pvBuffer == nullptr)) {
    return SEC_E_INVALID_PARAMETER;
  }
  const OpenSslEntries& o = *c->ossl;
  if (data->cbBuffer > 0 &&
      o.SSL_write(c->ssl, data->pvBuffer, static_cast<int>(data->cbBuffer)) <= 0) {
    o.ERR_clear_error();
    return SEC_E_INTERNAL_ERROR;
  }
  const size_t produced = o.BIO_ctrl_pending(c->out);
  SecBuffer* parts[] = {header, data, trailer};
  size_t room = 0;
  for (SecBuffer* b : parts) room += b->cbBuffer;
  if (produced > room) {
    o.BIO_ctrl(c->out, kBioCtrlReset, 0, nullptr);
    return SEC_E_BUFFER_TOO_SMALL;
  }
  // The header takes the first record header; the data buffer its size; the trailer the rest.
  const uint32_t sizes[] = {kRecordHeader, data->cbBuffer, trailer->cbBuffer};
  size_t left = produced;
  for (int i = 0; i < 3; ++i) {
    const uint32_t take = static_cast<uint32_t>(std::min<size_t>(left, i < 2 ? sizes[i] : left));
    if (take > 0) o.BIO_read(c->out, parts[i]->pvBuffer, static_cast<int>(take));
    parts[i]->cbBuffer = take;
    left -= take;
  }
  return SEC_E_OK;
}

// One record of buffer 0 (DATA), decrypted in place: HEADER, DATA, TRAILER and EXTRA.
SECURITY_STATUS DecryptMessage(CtxtHandle* context, SecBufferDesc* message, uint32_t sequence,
                               uint32_t* qop) {
  std::lock_guard<std::mutex> guard(Reg().lock);
  Context* c = FindContext(context);
  if (c == nullptr) return SEC_E_INVALID_HANDLE;
  if (message == nullptr || message->cBuffers < 4 || message->pBuffers == nullptr ||
      message->pBuffers[0].BufferType != SECBUFFER_DATA) {
    return SEC_E_INVALID_PARAMETER;
  }
  SecBuffer& b0 = message->pBuffers[0];
  auto* p = static_cast<uint8_t*>(b0.pvBuffer);
  const size_t n = p != nullptr ? b0.cbBuffer : 0;
  const size_t record =
      n >= kRecordHeader ? kRecordHeader + ((static_cast<size_t>(p[3]) << 8) | p[4]) : kRecordHeader;
  if (record > n) {
    SetBuffer(message, 1, SECBUFFER_MISSING, nullptr, static_cast<uint32_t>(record - n));
    return SEC_E_INCOMPLETE_MESSAGE;
  }
  const OpenSslEntries& o = *c->ossl;
  auto set_extra = [&](uint32_t index) {
    if (record < n) {
      SetBuffer(message, index, SECBUFFER_EXTRA, p + record, static_cast<uint32_t>(n - record));
    } else {
      SetBuffer(message, index, SECBUFFER_EMPTY, nullptr, 0);
    }
  };
  if (p[0] == kContentHandshake && o.SSL_version(c->ssl) < 0x304) {
    // The peer asks for a new handshake: the caller decides, through the next handshake call or
    // a refusing alert.
    c->held.assign(p, p + record);
    c->refuse_renegotiation = false;
    SetBuffer(message, 0, SECBUFFER_DATA, p, 0);
    SetBuffer(message, 1, SECBUFFER_EMPTY, nullptr, 0);
    SetBuffer(message, 2, SECBUFFER_EMPTY, nullptr, 0);
    set_extra(3);
    return SEC_I_RENEGOTIATE;
  }
  o.BIO_write(c->in, p, static_cast<int>(record));
  // The record is in libssl's hands now: its plaintext, never longer, goes in its place.
  const int got = record > kRecordHeader
                      ? o.SSL_read(c->ssl, p + kRecordHeader, static_cast<int>(record - kRecordHeader))
                      : o.SSL_read(c->ssl, p, 0);
  o.BIO_ctrl(c->in, kBioCtrlReset, 0, nullptr);
  uint32_t length = 0;
  if (got > 0) {
    length = static_cast<uint32_t>(got);
  } else {
    const int error = o.SSL_get_error(c->ssl, got);
    o.ERR_clear_error();
    if (error == kErrorZeroReturn) {
      SetBuffer(message, 0, SECBUFFER_DATA, p, 0);
      set_extra(3);
      return SEC_I_CONTEXT_EXPIRED;
    }
    if (error != kErrorWantRead) return SEC_E_DECRYPT_FAILURE;
  }
  SetBuffer(message, 0, SECBUFFER_STREAM_HEADER, p, kRecordHeader);
  SetBuffer(message, 1, SECBUFFER_DATA, p + kRecordHeader, length);
  SetBuffer(message, 2, SECBUFFER_STREAM_TRAILER, p + kRecordHeader + length,
            static_cast<uint32_t>(record - kRecordHeader - length));
  set_extra(3);
  if (qop != nullptr) *qop = 0;
  return SEC_E_OK;
}

template <class F>
FARPROC Proc(F* f) {
  return reinterpret_cast<FARPROC>(f);
}

// Without libssl only the authentication packages are there: no SChannel message entries.
SecurityFunctionTableA AuthOnlyTable() {
  SecurityFunctionTableA t{};
  t.dwVersion = 1;
  t.AcquireCredentialsHandleA = &AcquireCredentialsHandleA;
  t.FreeCredentialsHandle = &FreeCredentialsHandle;
  t.InitializeSecurityContextA = &InitializeSecurityContextA;
  t.DeleteSecurityContext = &DeleteSecurityContext;
  t.QueryContextAttributesA = &QueryContextAttributesA;
  t.FreeContextBuffer = &FreeContextBuffer;
  return t;
}

const SecurityFunctionTableA kAuthOnlyTable = AuthOnlyTable();

const SecurityFunctionTableA kTable = [] {
  SecurityFunctionTableA t = AuthOnlyTable();
  t.ApplyControlToken = &ApplyControlToken;
  t.EncryptMessage = &EncryptMessage;
  t.DecryptMessage = &DecryptMessage;
  return t;
}();


}  // namespace

const SecurityFunctionTableA* InitSecurityInterfaceA() {
  if (LoadOpenSsl() != nullptr) return &kTable;
  return GssAvailable() ? &kAuthOnlyTable : nullptr;
}

std::span<const ProcEntry> Secur32Exports() {
  static const ProcEntry exports[] = {
      {"InitSecurityInterfaceA", Proc(&InitSecurityInterfaceA)},
      {"AcquireCredentialsHandleA", Proc(&AcquireCredentialsHandleA)},
      {"FreeCredentialsHandle", Proc(&FreeCredentialsHandle)},
      {"InitializeSecurityContextA", Proc(&InitializeSecurityContextA)},
      {"DeleteSecurityContext", Proc(&DeleteSecurityContext)},
      {"ApplyControlToken", Proc(&ApplyControlToken)},
      {"QueryContextAttributesA", Proc(&QueryContextAttributesA)},
      {"FreeContextBuffer", Proc(&FreeContextBuffer)},
      {"EncryptMessage", Proc(&EncryptMessage)},
      {"DecryptMessage", Proc(&DecryptMessage)},
  };
  return exports;
}

}  // namespace win
