// crypt32's certificate contexts, names and the SSL chain policy, over libcrypto, with the
// trust anchors of the ROOT store (the system bundle and the ROOT folder).
#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "platform/cert_store_files.h"
#include "platform/crypt32_objects.h"
#include "platform/crypt32_store.h"
#include "platform/openssl_entries.h"
#include "platform/process_tables.h"

namespace win {
namespace crypt32 {

namespace {
struct Live {
  std::mutex lock;
  std::set<const void*> objects;
};
}  // namespace

static Live& Objects() {
  static Live* live = new Live;
  return *live;
}

void Track(const void* p, bool add) {
  std::lock_guard<std::mutex> guard(Objects().lock);
  if (add) {
    Objects().objects.insert(p);
  } else {
    Objects().objects.erase(p);
  }
}

bool Tracked(const void* p) {
  std::lock_guard<std::mutex> guard(Objects().lock);
  return Objects().objects.count(p) != 0;
}

CertObject* AsCert(PCCERT_CONTEXT context) {
  if (context == nullptr || !Tracked(context)) return nullptr;
  return reinterpret_cast<CertObject*>(const_cast<CERT_CONTEXT*>(context));
}

std::string Utf8(const char16_t* text) {
  std::string out;
  for (const char16_t* p = text; p != nullptr && *p != 0; ++p) {
    uint32_t c = *p;
    if (c >= 0xD800 && c < 0xDC00 && p[1] >= 0xDC00 && p[1] < 0xE000) {
      c = 0x10000 + ((c - 0xD800) << 10) + (p[1] - 0xDC00);
      ++p;
    }
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | c >> 6);
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | c >> 12);
      out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | c >> 18);
      out += static_cast<char>(0x80 | (c >> 12 & 0x3F));
      out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

}  // namespace crypt32

namespace {

using crypt32::AsCert;
using crypt32::CertObject;
using crypt32::StoreObject;
using crypt32::Track;
using crypt32::Tracked;
using crypt32::Utf8;

constexpr int kPurposeSslServer = 2;
constexpr uint32_t kErrorBadCertificate = 0x8009310Bu;  // CRYPT_E_ASN1_BADTAG

struct ChainObject {
  CERT_CHAIN_CONTEXT context{};  // first, as above
  CERT_SIMPLE_CHAIN simple{};
  CERT_SIMPLE_CHAIN* simple_list[1] = {&simple};
  std::vector<CERT_CHAIN_ELEMENT> elements;
  std::vector<CERT_CHAIN_ELEMENT*> element_list;
  std::vector<PCCERT_CONTEXT> certs;  // the chain, leaf first
  std::vector<int> errors;            // libcrypto verification errors met on the way
};

// Certificates of one store file: PEM blocks, or the file as one DER certificate.
void ParseStoreFile(const OpenSslEntries& o, const std::string& bytes,
                    std::vector<OsslX509*>* out) {
  OsslBio* bio = o.BIO_new(o.BIO_s_mem());
  if (bio == nullptr) return;
  o.BIO_write(bio, bytes.data(), static_cast<int>(bytes.size()));
  size_t found = 0;
  while (OsslX509* cert = o.PEM_read_bio_X509(bio, nullptr, nullptr, nullptr)) {
    out->push_back(cert);
    ++found;
  }
  o.BIO_free(bio);
  o.ERR_clear_error();
  if (found == 0 && !bytes.empty()) {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    if (OsslX509* cert = o.d2i_X509(nullptr, &p, static_cast<long>(bytes.size()))) {
      out->push_back(cert);
    }
    o.ERR_clear_error();
  }
}

thread_local std::vector<int>* t_errors = nullptr;
thread_local const OpenSslEntries* t_ossl = nullptr;

// Records every error and lets the verification go on, so the chain is built as far as it
// goes and the policy can leave out the errors the caller ignores.
int RecordError(int ok, OsslStoreCtx* ctx) {
  if (ok == 0 && t_errors != nullptr && t_ossl != nullptr) {
    t_errors->push_back(t_ossl->X509_STORE_CTX_get_error(ctx));
  }
  return 1;
}

// libcrypto verification errors and the policy error of the same meaning.
struct ErrorMap {
  int error;
  uint32_t policy;
};
constexpr ErrorMap kErrors[] = {
    {2, CERT_E_UNTRUSTEDROOT},   {4, TRUST_E_CERT_SIGNATURE},  {7, TRUST_E_CERT_SIGNATURE},
    {9, CERT_E_EXPIRED},         {10, CERT_E_EXPIRED},         {13, CERT_E_EXPIRED},
    {14, CERT_E_EXPIRED},        {18, CERT_E_UNTRUSTEDROOT},   {19, CERT_E_UNTRUSTEDROOT},
    {20, CERT_E_UNTRUSTEDROOT},  {21, CERT_E_UNTRUSTEDROOT},   {23, CRYPT_E_REVOKED},
    {24, CERT_E_ROLE},           {25, TRUST_E_BASIC_CONSTRAINTS}, {26, CERT_E_WRONG_USAGE},
    {27, CERT_E_UNTRUSTEDROOT},  {28, TRUST_E_EXPLICIT_DISTRUST}, {32, CERT_E_ROLE},
    {34, CERT_E_CRITICAL},       {37, CERT_E_ROLE},            {62, CERT_E_CN_NO_MATCH},
};

uint32_t PolicyError(int error) {
  for (const ErrorMap& m : kErrors) {
    if (m.error == error) return m.policy;
  }
  return CERT_E_CHAINING;
}

// Whether the SECURITY_FLAG_IGNORE_* bits leave this error out.
bool Ignored(uint32_t policy, uint32_t flags) {
  switch (policy) {
    case CERT_E_UNTRUSTEDROOT:
      return (flags & SECURITY_FLAG_IGNORE_UNKNOWN_CA) != 0;
    case CERT_E_EXPIRED:
      return (flags & SECURITY_FLAG_IGNORE_CERT_DATE_INVALID) != 0;
    case CERT_E_WRONG_USAGE:
      return (flags & SECURITY_FLAG_IGNORE_WRONG_USAGE) != 0;
    case CERT_E_CN_NO_MATCH:
      return (flags & SECURITY_FLAG_IGNORE_CERT_CN_INVALID) != 0;
    default:
      return false;
  }
}

// libcrypto verification errors and the chain's trust error bits.
struct TrustBit {
  int error;
  uint32_t bit;
};
constexpr uint32_t kTrustNotTimeValid = 0x1;
constexpr uint32_t kTrustRevoked = 0x4;
constexpr uint32_t kTrustNotSignatureValid = 0x8;
constexpr uint32_t kTrustUntrustedRoot = 0x20;
constexpr uint32_t kTrustInvalidBasicConstraints = 0x400;
constexpr uint32_t kTrustExplicitDistrust = 0x4000000;
constexpr uint32_t kTrustPartialChain = 0x10000;
constexpr uint32_t kInfoNameMatchIssuer = 0x4;
constexpr uint32_t kInfoSelfSigned = 0x8;
constexpr TrustBit kTrustBits[] = {
    {2, kTrustPartialChain | kTrustUntrustedRoot}, {4, kTrustNotSignatureValid}, {7, kTrustNotSignatureValid},
    {9, kTrustNotTimeValid},  {10, kTrustNotTimeValid}, {13, kTrustNotTimeValid}, {14, kTrustNotTimeValid},
    {18, kTrustUntrustedRoot}, {19, kTrustUntrustedRoot}, {20, kTrustPartialChain | kTrustUntrustedRoot},
    {21, kTrustPartialChain | kTrustUntrustedRoot}, {23, kTrustRevoked}, {24, kTrustInvalidBasicConstraints},
    {25, kTrustInvalidBasicConstraints}, {27, kTrustUntrustedRoot}, {28, kTrustExplicitDistrust},
    {32, kTrustInvalidBasicConstraints}, {37, kTrustInvalidBasicConstraints},
};

// The chain was built for no particular use, so usage errors of libcrypto's SSL purpose do not
// count here; the policy check applies them.
CERT_TRUST_STATUS TrustStatusOf(const OpenSslEntries& o, const std::vector<int>& errors,
                                const std::vector<PCCERT_CONTEXT>& certs) {
  CERT_TRUST_STATUS status{0, 0};
  for (int error : errors) {
    for (const TrustBit& t : kTrustBits) {
      if (t.error == error) status.dwErrorStatus |= t.bit;
    }
  }
  if (certs.size() > 1) status.dwInfoStatus |= kInfoNameMatchIssuer;
  const CertObject* end = AsCert(certs.back());
  const crypt32::Crypt32Crypto* extra = crypt32::LoadCrypt32Crypto();
  if (end != nullptr && extra != nullptr && extra->X509_check_issued(end->x509, end->x509) == 0) {
    status.dwInfoStatus |= kInfoSelfSigned;
  }
  (void)o;
  return status;
}

// The ROOT store's anchors and the CA store's intermediates, parsed once and kept while no file
// of either store changes: the system bundle is large and every chain needs it.
struct SystemAnchors {
  const OpenSslEntries* ossl = nullptr;
  std::vector<std::pair<std::string, int64_t>> stamps;  // path, and size and time mixed
  std::vector<OsslX509*> anchors;
  std::vector<OsslX509*> intermediates;
  ~SystemAnchors() {
    for (OsslX509* a : anchors) ossl->X509_free(a);
    for (OsslX509* a : intermediates) ossl->X509_free(a);
  }
};

std::vector<std::pair<std::string, int64_t>> StoreStamps() {
  std::vector<std::pair<std::string, int64_t>> stamps;
  std::vector<CertStoreFile> files;
  for (const char* name : {"ROOT", "CA"}) {
    ListCertStoreFiles(name, &files);
    for (const CertStoreFile& f : files) stamps.emplace_back(f.path, f.mtime_ns ^ (f.size << 1));
    stamps.emplace_back("", 0);  // between the stores
  }
  return stamps;
}

std::shared_ptr<const SystemAnchors> CurrentAnchors(const OpenSslEntries& o) {
  static std::mutex lock;
  static auto* cached = new std::shared_ptr<const SystemAnchors>;  // lives as long as the process
  auto stamps = StoreStamps();
  {
    std::lock_guard<std::mutex> guard(lock);
    if (*cached != nullptr && (*cached)->ossl == &o && (*cached)->stamps == stamps) return *cached;
  }
  auto fresh = std::make_shared<SystemAnchors>();
  fresh->ossl = &o;
  fresh->stamps = std::move(stamps);
  std::vector<CertStoreFile> files;
  ReadCertStoreFiles("ROOT", &files);
  for (const CertStoreFile& f : files) ParseStoreFile(o, f.contents, &fresh->anchors);
  // The CA store's own certificates are intermediates to link through, not anchors.
  ReadCertStoreFiles("CA", &files);
  for (const CertStoreFile& f : files) {
    if (f.path.find("/CA/") != std::string::npos) ParseStoreFile(o, f.contents, &fresh->intermediates);
  }
  std::lock_guard<std::mutex> guard(lock);
  *cached = fresh;
  return fresh;
}

bool IsAddress(const std::string& host) {
  return host.find(':') != std::string::npos ||
         host.find_first_not_of("0123456789.") == std::string::npos;
}

template <class F>
FARPROC Proc(F* f) {
  return reinterpret_cast<FARPROC>(f);
}

}  // namespace

void crypt32::ReadStoreFileCerts(const OpenSslEntries& o, const std::string& bytes, std::vector<OsslX509*>* out) {
  ParseStoreFile(o, bytes, out);
}

PCCERT_CONTEXT NewCertContext(const OpenSslEntries& o, OsslX509* cert,
                              const std::vector<OsslX509*>& with) {
  const int length = o.i2d_X509(cert, nullptr);
  if (length <= 0) return nullptr;
  auto object = std::make_unique<CertObject>();
  object->der.resize(static_cast<size_t>(length));
  unsigned char* p = object->der.data();
  if (o.i2d_X509(cert, &p) != length) return nullptr;
  object->ossl = &o;
  o.X509_up_ref(cert);
  object->x509 = cert;
  for (OsslX509* c : with) {
    o.X509_up_ref(c);
    object->store.certs.push_back(c);
  }
  object->context.dwCertEncodingType = X509_ASN_ENCODING;
  object->context.pbCertEncoded = object->der.data();
  object->context.cbCertEncoded = static_cast<uint32_t>(object->der.size());
  object->context.hCertStore = &object->store;
  crypt32::FillCertInfo(object.get());
  CertObject* raw = object.release();
  Track(raw, true);
  return &raw->context;
}

PCCERT_CONTEXT CertCreateCertificateContext(uint32_t encoding, const uint8_t* encoded,
                                            uint32_t length) {
  const OpenSslEntries* o = LoadOpenSsl();
  if (o == nullptr) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  if ((encoding & X509_ASN_ENCODING) == 0 || encoded == nullptr || length == 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  const unsigned char* p = encoded;
  OsslX509* cert = o->d2i_X509(nullptr, &p, static_cast<long>(length));
  o->ERR_clear_error();
  // Bytes behind the certificate make the encoding invalid, as the platform's decoder says.
  if (cert == nullptr || p != encoded + length) {
    if (cert != nullptr) o->X509_free(cert);
    SetLastError(kErrorBadCertificate);
    return nullptr;
  }
  PCCERT_CONTEXT context = NewCertContext(*o, cert, {});
  o->X509_free(cert);
  if (context == nullptr) SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  return context;
}

BOOL CertFreeCertificateContext(PCCERT_CONTEXT context) {
  CertObject* c = AsCert(context);
  if (c == nullptr) return TRUE;
  Track(c, false);
  if (c->cached_provider != 0) CryptReleaseContext(c->cached_provider, 0);
  c->ossl->X509_free(c->x509);
  for (OsslX509* x : c->store.certs) c->ossl->X509_free(x);
  if (c->key != nullptr) c->ossl->EVP_PKEY_free(c->key);
  delete c;
  return TRUE;
}

BOOL CertGetCertificateChain(void* engine, PCCERT_CONTEXT context, void* time,
                             HCERTSTORE additional, const CERT_CHAIN_PARA* para, uint32_t flags,
                             void* reserved, PCCERT_CHAIN_CONTEXT* chain) {
  CertObject* leaf = AsCert(context);
  if (leaf == nullptr || chain == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  *chain = nullptr;
  const OpenSslEntries& o = *leaf->ossl;
  const std::shared_ptr<const SystemAnchors> system = CurrentAnchors(o);
  const std::vector<OsslX509*>& anchors = system->anchors;
  const std::vector<OsslX509*>& intermediates = system->intermediates;
  OsslStore* store = o.X509_STORE_new();
  OsslStoreCtx* ctx = o.X509_STORE_CTX_new();
  OsslStack* untrusted = o.OPENSSL_sk_new_null();
  auto cleanup = [&] {
    if (untrusted != nullptr) o.OPENSSL_sk_free(untrusted);
    if (ctx != nullptr) o.X509_STORE_CTX_free(ctx);
    if (store != nullptr) o.X509_STORE_free(store);
  };
  if (store == nullptr || ctx == nullptr || untrusted == nullptr) {
    cleanup();
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return FALSE;
  }
  for (OsslX509* a : anchors) o.X509_STORE_add_cert(store, a);
  for (OsslX509* c : leaf->store.certs) o.OPENSSL_sk_push(untrusted, c);
  // The additional store is a store handle, or the store a context carries.
  if (crypt32::MemoryStore* more = crypt32::AsStore(additional)) {
    for (PCCERT_CONTEXT c : more->certs) o.OPENSSL_sk_push(untrusted, AsCert(c)->x509);
  } else if (auto* carried = static_cast<StoreObject*>(additional)) {
    for (OsslX509* c : carried->certs) o.OPENSSL_sk_push(untrusted, c);
  }
  for (OsslX509* c : intermediates) o.OPENSSL_sk_push(untrusted, c);
  auto object = std::make_unique<ChainObject>();
  bool built = o.X509_STORE_CTX_init(ctx, store, leaf->x509, untrusted) == 1;
  if (built) {
    o.X509_STORE_CTX_set_verify_cb(ctx, &RecordError);
    o.X509_STORE_CTX_set_purpose(ctx, kPurposeSslServer);
    t_errors = &object->errors;
    t_ossl = &o;
    o.X509_verify_cert(ctx);
    t_errors = nullptr;
    t_ossl = nullptr;
    if (OsslStack* path = o.X509_STORE_CTX_get1_chain(ctx)) {
      const int count = o.OPENSSL_sk_num(path);
      for (int i = 0; i < count; ++i) {
        auto* x = static_cast<OsslX509*>(o.OPENSSL_sk_value(path, i));
        if (PCCERT_CONTEXT c = NewCertContext(o, x, {})) object->certs.push_back(c);
        o.X509_free(x);
      }
      o.OPENSSL_sk_free(path);
    }
  }
  o.ERR_clear_error();
  cleanup();
  if (!built || object->certs.empty()) {
    for (PCCERT_CONTEXT c : object->certs) CertFreeCertificateContext(c);
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return FALSE;
  }
  for (PCCERT_CONTEXT c : object->certs) {
    object->elements.push_back(CERT_CHAIN_ELEMENT{sizeof(CERT_CHAIN_ELEMENT), c});
  }
  for (CERT_CHAIN_ELEMENT& e : object->elements) object->element_list.push_back(&e);
  object->simple = CERT_SIMPLE_CHAIN{sizeof(CERT_SIMPLE_CHAIN),
                                     static_cast<uint32_t>(object->elements.size()),
                                     object->element_list.data()};
  object->context.cbSize = sizeof(CERT_CHAIN_CONTEXT);
  object->context.TrustStatus = TrustStatusOf(o, object->errors, object->certs);
  object->context.cChain = 1;
  object->context.rgpChain = object->simple_list;
  ChainObject* raw = object.release();
  Track(raw, true);
  *chain = &raw->context;
  return TRUE;
}

void CertFreeCertificateChain(PCCERT_CHAIN_CONTEXT chain) {
  if (chain == nullptr || !Tracked(chain)) return;
  auto* c = reinterpret_cast<ChainObject*>(const_cast<CERT_CHAIN_CONTEXT*>(chain));
  Track(c, false);
  for (PCCERT_CONTEXT cert : c->certs) CertFreeCertificateContext(cert);
  delete c;
}

BOOL CertVerifyCertificateChainPolicy(uintptr_t policy, PCCERT_CHAIN_CONTEXT chain,
                                      const CERT_CHAIN_POLICY_PARA* para,
                                      CERT_CHAIN_POLICY_STATUS* status) {
  if (policy != CERT_CHAIN_POLICY_SSL || chain == nullptr || !Tracked(chain) || status == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const auto* c = reinterpret_cast<const ChainObject*>(chain);
  const auto* ssl = para != nullptr
                        ? static_cast<const SSL_EXTRA_CERT_CHAIN_POLICY_PARA*>(para->pvExtraPolicyPara)
                        : nullptr;
  const uint32_t ignore = ssl != nullptr ? ssl->fdwChecks : 0;
  const bool server = ssl == nullptr || ssl->dwAuthType != AUTHTYPE_CLIENT;
  status->dwError = 0;
  status->lChainIndex = -1;
  status->lElementIndex = -1;
  for (int error : c->errors) {
    uint32_t e = PolicyError(error);
    // The purpose check of libcrypto is for servers; a client chain is not held to it.
    if (!server && e == CERT_E_WRONG_USAGE) continue;
    if (!Ignored(e, ignore)) {
      status->dwError = e;
      status->lChainIndex = 0;
      return TRUE;
    }
  }
  if (server && ssl != nullptr && ssl->pwszServerName != nullptr && *ssl->pwszServerName != 0) {
    const std::string host = Utf8(ssl->pwszServerName);
    CertObject* leaf = AsCert(c->certs[0]);
    const OpenSslEntries& o = *leaf->ossl;
    const int match = IsAddress(host) ? o.X509_check_ip_asc(leaf->x509, host.c_str(), 0)
                                      : o.X509_check_host(leaf->x509, host.c_str(), host.size(), 0, nullptr);
    if (match != 1 && !Ignored(CERT_E_CN_NO_MATCH, ignore)) {
      status->dwError = CERT_E_CN_NO_MATCH;
      status->lChainIndex = 0;
      status->lElementIndex = 0;
    }
  }
  return TRUE;
}

std::span<const ProcEntry> Crypt32Exports() {
  static const ProcEntry chain[] = {
      {"CertCreateCertificateContext", Proc(&CertCreateCertificateContext)},
      {"CertFreeCertificateContext", Proc(&CertFreeCertificateContext)},
      {"CertNameToStrA", Proc(&CertNameToStrA)},
      {"CertGetCertificateChain", Proc(&CertGetCertificateChain)},
      {"CertFreeCertificateChain", Proc(&CertFreeCertificateChain)},
      {"CertVerifyCertificateChainPolicy", Proc(&CertVerifyCertificateChainPolicy)},
  };
  static const std::vector<ProcEntry>* all = [] {
    auto* v = KeepProcessTable(new std::vector<ProcEntry>(std::begin(chain), std::end(chain)));
    for (const ProcEntry& e : Crypt32StoreExports()) v->push_back(e);
    return v;
  }();
  return *all;
}

}  // namespace win
