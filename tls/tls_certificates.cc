#include "tls/tls_certificates.h"

#include "tls/tls13_key_schedule.h"

#include "certs/cert_chain_engine.h"
#include "certs/cert_create.h"
#include "certs/cert_manager.h"
#include "certs/cert_store.h"
#include "crypto/pubkey/big_number.h"
#include "crypto/pubkey/ec_curve_params.h"
#include "crypto/pubkey/key_exchange.h"
#include "foundation/string_list.h"
#include "certs/security_key_token.h"
#include "crypto/pubkey/ed25519.h"
#include "crypto/pubkey/ed448.h"

#include <cstdio>
#include <strings.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "certs/certificate.h"
#include "certs/distinguished_name.h"
#include "certs/host_name_match.h"
#include "certs/oid_names.h"
#include "certs/pem_armor.h"
#include "certs/private_key_reader.h"
#include "crypto/pubkey/dsa_engine.h"
#include "crypto/pubkey/ecdsa.h"
#include "crypto/pubkey/rsa_engine.h"
#include "crypto/symmetric/hash_engine.h"
#include "foundation/file_handle.h"
#include "foundation/text_conversion.h"
#include "tls/own_credential_cache.h"
#include "tls/peer_chain.h"
#include "tls/tls_key_exchange.h"
#include "tls/tls_settings.h"
#include "foundation/span_reader.h"

namespace tw {

namespace {

constexpr const char* kNoCertSelected = "No certificate selected.  Please select a certificate first.";
constexpr const char* kInitChainFailed = "Init CertChain Failed.";
constexpr const char* kManagerFailed = "Failed to initialize CertMgr.";
constexpr const char* kOwnChainFailed = "Could not get certificate chain for our certificate";
constexpr int kErrOwnChain = 279;
constexpr const char* kStoreNotOpened = "The certificate store could not be opened (0x2).";
constexpr const char* kStatusOk = "OK";
constexpr const char* kStatusValidity = "A required certificate is not within its validity period.";
constexpr const char* kStatusUntrusted =
    "A certification chain processed correctly but terminated in a root certificate not trusted by the "
    "trust provider.";
constexpr const char* kStatusHostName = "Server name does not match server certificate";
constexpr const char* kErrorVerifying = "Error verifying %s certificate: %4x %s";
constexpr const char* kValidationFailedStatus = "%s certificate validation failed. Aborting connection...";
constexpr const char* kValidationFailedText = "%s certificate validation failed. Connection aborted.";
constexpr const char* kUnrecognizedAlgorithm = "Unrecognized server certificate signature algorithm (%s).";
constexpr const char* kUnsupportedAlgorithm =
    "Unsupported certificate signature algorithm (%s). Supported signature algorithms: %s";

constexpr int kErrDecodeError = 50;
constexpr int kCodeNotTimeValid = static_cast<int>(0x800B0101u);
constexpr int kCodeUntrustedRoot = static_cast<int>(0x800B0109u);
constexpr size_t kMaxU24 = 0xFFFFFF;

// The schemes an RSA key serves; an EC key serves the one of its curve.
constexpr uint16_t kRsaSchemes[] = {0x0401, 0x0501, 0x0601, 0x0804, 0x0805, 0x0806};
constexpr uint16_t kSchemeByCurve[] = {0x0403, 0x0503, 0x0603, 0x0807, 0x0808};

// Certificate signature algorithm names (upper-cased) and what they mean for the TLS 1.2 list.
struct SignatureAlgorithm {
  const char* name;
  const char* key_kind;
  const char* hash;
};
constexpr SignatureAlgorithm kSignatureAlgorithms[] = {
    {"SHA1RSA", "rsa", "sha1"},           {"RSA_SHA1", "rsa", "sha1"},
    {"RSA_SHA1RSA", "rsa", "sha1"},       {"RSA_MD5", "rsa", "md5"},
    {"RSA_MD5RSA", "rsa", "md5"},         {"RSA-SHA224", "rsa", "sha224"},
    {"RSA_SHA224RSA", "rsa", "sha224"},   {"RSA-SHA256", "rsa", "sha256"},
    {"RSA_SHA256RSA", "rsa", "sha256"},   {"RSA-SHA384", "rsa", "sha384"},
    {"RSA_SHA384RSA", "rsa", "sha384"},   {"RSA-SHA512", "rsa", "sha512"},
    {"RSA_SHA512RSA", "rsa", "sha512"},   {"DATA_STRUCTURE", "dsa", "sha1"},
    {"DSA-SHA1", "dsa", "sha1"},          {"DSA-WITH-SHA256", "dsa", "sha256"},
    {"ECDSA_SHA1", "ecdsa", "sha1"},      {"ECDSA_SHA224", "ecdsa", "sha224"},
    {"ECDSA-WITH-SHA224", "ecdsa", "sha224"}, {"ECDSA_SHA256", "ecdsa", "sha256"},
    {"ECDSA-WITH-SHA256", "ecdsa", "sha256"}, {"ECDSA_SHA384", "ecdsa", "sha384"},
    {"ECDSA-WITH-SHA384", "ecdsa", "sha384"}, {"ECDSA_SHA512", "ecdsa", "sha512"},
    {"ECDSA-WITH-SHA512", "ecdsa", "sha512"},
};

constexpr const char* kListHashes[] = {"none", "md5", "sha1", "sha224", "sha256", "sha384", "sha512"};
constexpr const char* kListKinds[] = {"anonymous", "rsa", "dsa", "ecdsa"};

struct HashName {
  int id;
  const char* name;
};
constexpr HashName kRsaHashNames[] = {
    {kHashSha1, "SHA1"},     {kHashMd5, "MD5"},       {kHashSha256, "SHA256"}, {kHashSha224, "SHA224"},
    {kHashSha512, "SHA512"}, {kHashSha384, "SHA384"}, {kHashMd5Sha1, "MD5SHA1"},
};

const char* RsaHashName(int hash_id) {
  for (const HashName& h : kRsaHashNames) {
    if (h.id == hash_id) return h.name;
  }
  return nullptr;
}

std::string Lower(std::string s) {
  for (char& c : s) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return s;
}

std::string TrimBlanks(const std::string& s) {
  size_t a = 0, b = s.size();
  while (a < b && (s[a] == ' ' || s[a] == '\t')) ++a;
  while (b > a && (s[b - 1] == ' ' || s[b - 1] == '\t')) --b;
  return s.substr(a, b - a);
}

std::vector<std::string> Split(const char* text, char separator) {
  std::vector<std::string> parts;
  std::string part;
  for (const char* p = text ? text : ""; *p; ++p) {
    if (*p == separator) {
      parts.push_back(part);
      part.clear();
    } else {
      part.push_back(*p);
    }
  }
  parts.push_back(part);
  return parts;
}


int AppendU24(ByteString* out, size_t n) {
  const uint8_t b[3] = {static_cast<uint8_t>(n >> 16), static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n)};
  return out->Append(b, 3);
}

// The digest of data with the hash id; below TLS 1.2 a DSA or ECDSA key signs the SHA-1 half.
int DigestFor(int hash_id, bool sha1_half, const uint8_t* data, size_t n, ByteString* out) {
  HashEngine engine;
  int rc = engine.SetAlgorithm(hash_id);
  if (rc == kOk) rc = engine.DigestOf(data, static_cast<int64_t>(n), *out);
  if (rc == kOk && sha1_half && hash_id == kHashMd5Sha1) out->EraseFront(16);
  return rc;
}

// Every EdDSA signature and check of the TLS layer goes through these two.
int SignEdDsa(const KeyPair& key, const uint8_t* data, size_t n, ByteString* signature) {
  const EcKeyData& k = key.edwards;
  if (!k.HasPrivate()) return kErrTlsKeyUnsupported;
  if (k.curve_id == kCurveEd25519) {
    return Ed25519Sign(data, n, k.public_bytes.bytes(), k.public_bytes.length(), k.private_bytes.bytes(),
                       k.private_bytes.length(), *signature);
  }
  if (k.curve_id == kCurveEd448) {
    return Ed448Sign(data, n, nullptr, 0, k.public_bytes.bytes(), k.public_bytes.length(),
                     k.private_bytes.bytes(), k.private_bytes.length(), *signature);
  }
  return kErrTlsKeyUnsupported;
}
int VerifyEdDsa(const KeyPair& key, const uint8_t* data, size_t n, const uint8_t* signature, size_t sig_length,
                bool* valid) {
  const EcKeyData& k = key.edwards;
  if (k.curve_id == kCurveEd25519) {
    *valid = Ed25519Verify(data, n, k.public_bytes.bytes(), k.public_bytes.length(), signature,
                           static_cast<int>(sig_length)) == 1;
    return kOk;
  }
  if (k.curve_id == kCurveEd448) {
    *valid = Ed448Verify(data, n, nullptr, 0, k.public_bytes.bytes(), k.public_bytes.length(), signature,
                         static_cast<int>(sig_length)) == 1;
    return kOk;
  }
  return kErrTlsKeyUnsupported;
}

bool IsEdDsaScheme(uint16_t scheme) { return scheme == 0x0807 || scheme == 0x0808; }

// A file or content store with no subject gives its first certificate, as "*" does; a system
// store needs a subject.
const char* SubjectToLoad(const ByteString& subject, int32_t type) {
  return subject.empty() && type != cstUser && type != cstMachine ? "*" : subject.c_str();
}

}  // namespace

struct CertSelection::Impl {
  ByteString store;
  int32_t store_type = 0;
  ByteString password;
  ByteString subject;
  ByteString encoded;
  bool loaded = false;
  bool placeholder = false;  // the selection is a bare key with a certificate made for it
  // Owned once loaded; its manager's store holds the selection. A store held in memory shares
  // it with every selection of the same store, read only.
  std::shared_ptr<OwnCredential> credential;
  bool shared = false;
  CertStore unloaded;  // what a selection without a manager answers from
  ByteString error;
  ByteString none;

  // The store, the password and an encoded blob may all carry key material.
  ~Impl() {
    for (ByteString* secret : {&password, &store, &encoded}) Wipe(*secret);
  }
  static void Wipe(ByteString& s) { WipeBytes(s.bytes(), static_cast<size_t>(s.length())); }

  CertStore& certs() { return credential ? credential->manager().store() : unloaded; }
  const CertStore& certs() const { return credential ? credential->manager().store() : unloaded; }
  void Unload() {
    credential.reset();
    shared = false;
    unloaded.Reset();
    loaded = false;
    placeholder = false;
  }
  int MakePlaceholder();
  const Certificate* Selected() const { return loaded ? certs().GetCertificate() : nullptr; }
  const KeyPair* Key() const { return loaded ? certs().GetKey() : nullptr; }
  // The selected token item whose key stays on its token, or none.
  const CertificateWithKey* TokenItem() const {
    const CertEntry* e = loaded ? certs().entries.SelectedEntry() : nullptr;
    return e != nullptr && e->certificateWithKey && TokenItemHasPrivateKey(*e->certificateWithKey)
               ? e->certificateWithKey.get()
               : nullptr;
  }
  int Error(int code, const char* text) {
    error.SetText(text);
    return code;
  }
  // Every certificate the store holds, containers opened, in store order.
  std::vector<const Certificate*> AllCertificates() const;
  int LoadEncoded();
};

std::vector<const Certificate*> CertSelection::Impl::AllCertificates() const {
  std::vector<const Certificate*> out;
  const CertEntryArray& entries = certs().entries.entries;
  for (int i = 0; i < entries.Count(); ++i) {
    const CertEntry* e = entries.At(i);
    if (e->pfx) {
      for (int j = 0; j < e->pfx->certificates.Count(); ++j) out.push_back(&e->pfx->certificates.At(j)->certificate);
    } else if (e->p7b) {
      for (int j = 0; j < e->p7b->certificates.Count(); ++j) out.push_back(&e->p7b->certificates.At(j)->certificate);
    } else if (const Certificate* c = e->GetCertificate()) {
      out.push_back(c);
    }
  }
  return out;
}

// A bare key goes out with a self-signed certificate made for it.
int CertSelection::Impl::MakePlaceholder() {
  CertEntry* entry = certs().entries.entries.At(certs().entries.selected);
  if (entry == nullptr || !entry->key) return kOk;
  CertificateWithKey made;
  int rc = made.key.CopyFrom(*entry->key);
  if (rc == kOk) rc = CreateBareKeyCertificate(&made.key, &made.certificate);
  if (rc == kOk) rc = entry->SetCertificateWithKey(std::move(made));
  if (rc == kOk) rc = certs().selected.CopyFrom(*entry->GetCertificate());
  placeholder = rc == kOk;
  return rc;
}

// An encoded certificate is content only: it is never taken for a file name.
int CertSelection::Impl::LoadEncoded() {
  int32_t detected = 0;
  int rc = ParseStoreBytes(&certs().entries, encoded.data(), encoded.length(), "", nullptr, &detected, &error);
  if (rc == kOk) rc = SelectEntryBySubject(&certs().entries, "");
  return rc;
}

CertSelection::CertSelection() : impl_(new Impl) {}
CertSelection::~CertSelection() { delete impl_; }

int CertSelection::Load(const void* store, int store_length, int32_t store_type, const char* password,
                        const char* subject, const void* encoded, int encoded_length) {
  Impl& s = *impl_;
  const bool with_encoded = encoded != nullptr && encoded_length >= 1;
  int rc = kOk;
  if (!with_encoded) {
    if (store_length < 0) store_length = store ? static_cast<int>(std::strlen(static_cast<const char*>(store))) : 0;
    if (store != s.store.data()) rc = s.store.Set(store, store ? store_length : 0);
    s.store_type = store_type;
    if (rc == kOk && password != s.password.c_str()) rc = s.password.SetText(password ? password : "");
    if (rc == kOk && subject != s.subject.c_str()) rc = s.subject.SetText(subject ? subject : "");
    // The route taken last is the one a copy takes again.
    Impl::Wipe(s.encoded);
    s.encoded.Reset();
  } else if (encoded != s.encoded.data()) {
    rc = s.encoded.Set(encoded, encoded_length);
  }
  if (rc != kOk) return rc;
  s.Unload();
  s.error.Reset();
  std::string key;
  const bool cacheable = !with_encoded && OwnCredentialKey(s.store_type, s.store, s.password, s.subject, &key);
  OwnCredentialClaim claim;
  if (cacheable) {
    s.credential = claim.FindOrClaim(key);
    if (s.credential != nullptr) {
      s.shared = s.loaded = true;
      return kOk;
    }
  }
  std::unique_ptr<CertificateManager> manager(new (std::nothrow) CertificateManager);
  if (manager != nullptr && manager->Initialize() == kOk) {
    s.credential.reset(new (std::nothrow) OwnCredential(std::move(manager)));
  }
  if (s.credential == nullptr) {
    s.Unload();
    return s.Error(kErrCertSelection, kManagerFailed);
  }
  CertificateManager& m = s.credential->manager();
  if (with_encoded) {
    rc = s.LoadEncoded();
  } else if (s.store_type == 0 && std::strcmp(s.store.c_str(), "MY") == 0 && s.password.empty() &&
             s.subject.empty()) {
    rc = s.Error(kErrCertSelection, kNoCertSelected);
  } else {
    m.SetStoreType(s.store_type);
    rc = m.SetStoreBytes(s.store.data(), s.store.length());
    if (rc == kOk) rc = m.SetPassword(s.password.c_str());
    if (rc == kOk) rc = m.LoadCertBySubject(SubjectToLoad(s.subject, s.store_type));
    if (rc != kOk) s.error.SetText(m.error_text().c_str());
  }
  if (rc == kOk && s.certs().GetCertificate() == nullptr && IsBareKeyEntry(s.certs().entries)) {
    rc = s.MakePlaceholder();
  }
  if (rc == kOk && s.certs().GetCertificate() == nullptr) rc = s.Error(kErrCertSelection, kNoCertSelected);
  if (rc != kOk) {
    if (s.error.empty()) s.error.SetText(kStoreNotOpened);
    s.Unload();
    return rc;
  }
  s.loaded = true;
  // A certificate made for a bare key is new on every load.
  if (cacheable && !s.placeholder) {
    claim.Keep(s.credential);
    s.shared = true;
  }
  return kOk;
}

int CertSelection::CopyFrom(const CertSelection& other) {
  if (&other == this) return kOk;
  const Impl& o = *other.impl_;
  Impl& s = *impl_;
  int rc = s.store.Assign(o.store);
  if (rc == kOk) rc = s.encoded.Assign(o.encoded);
  if (rc == kOk) rc = s.password.Assign(o.password);
  if (rc == kOk) rc = s.subject.Assign(o.subject);
  if (rc != kOk) return rc;
  s.store_type = o.store_type;
  s.Unload();
  if (!o.loaded) return kOk;
  rc = o.encoded.empty()
           ? Load(s.store.data(), s.store.length(), s.store_type, s.password.c_str(), s.subject.c_str(), nullptr, 0)
           : Load(nullptr, 0, 0, nullptr, nullptr, s.encoded.data(), s.encoded.length());
  // A made certificate is taken as it is, so both sides present the same one.
  if (rc == kOk && o.placeholder) rc = s.certs().CopyFrom(o.certs());
  return rc;
}

void CertSelection::Release() {
  impl_->Unload();
  impl_->error.Reset();
}

bool CertSelection::loaded() const { return impl_->loaded; }

bool CertSelection::has_private_key() const {
  const Certificate* c = impl_->Selected();
  const KeyPair* key = impl_->Key();
  if (c != nullptr && impl_->TokenItem() != nullptr) return true;
  return c != nullptr && key != nullptr && key->HasPrivate() && SamePublicKey(*key, c->tbs.publicKey);
}

const ByteString& CertSelection::der() const {
  const Certificate* c = impl_->Selected();
  return c != nullptr ? c->der : impl_->none;
}

const char* CertSelection::KeyAlgorithm() const {
  const Certificate* c = impl_->Selected();
  return c != nullptr ? KeyAlgorithmName(c->tbs.publicKeyAlgorithm.first.c_str()) : "";
}

namespace {

// The selection's chain as a fresh chain manager builds it.
int BuildOwnChain(const CertSelection::Impl& s, uint32_t flags, OwnChain* out, ByteString* error) {
  CertChainManager chain;
  if (chain.Initialize() != kOk) return error->SetText(kInitChainFailed), kErrCertSelection;
  chain.ignore_flags = flags;
  int rc = kOk;
  if (!s.encoded.empty()) {
    rc = chain.LoadEncodedCert(s.encoded.data(), s.encoded.length());
  } else if (s.placeholder) {
    // The certificate made for a bare key is in no store: it is its own chain.
    ByteString pem;
    rc = PemEncodeBytes("CERTIFICATE", s.certs().GetCertificate()->der, &pem);
    if (rc == kOk) rc = chain.LoadEncodedCert(pem.data(), pem.length());
  } else {
    rc = chain.SetStoreBytes(s.store.data(), s.store.length());
    chain.SetStoreType(s.store_type);
    if (rc == kOk) rc = chain.SetPassword(s.password.c_str());
    if (rc == kOk) rc = chain.LoadCertBySubject(SubjectToLoad(s.subject, s.store_type));
  }
  if (rc == kOk) rc = chain.PerformAction(kActionChain);
  if (rc != kOk) return error->SetText(chain.error_text().c_str()), rc;
  auto take = [](const StringList& from, std::vector<ByteString>* to) {
    to->resize(static_cast<size_t>(from.Count()));
    for (int i = 0; i < from.Count(); ++i) {
      if ((*to)[static_cast<size_t>(i)].Set(from.Get(i), from.GetLength(i)) != kOk) return kErrOutOfMemory;
    }
    return kOk;
  };
  rc = take(chain.chain_pem, &out->pem);
  if (rc == kOk) rc = take(chain.chain_subjects, &out->subjects);
  if (rc == kOk) rc = take(chain.chain_issuers, &out->issuers);
  if (rc == kOk) rc = take(chain.chain_serials, &out->serials);
  out->status = chain.chain_status;
  return rc;
}

}  // namespace

int CertSelection::GetChain(std::vector<ByteString>* certificates, bool to_der, std::vector<ByteString>* subjects,
                            std::vector<ByteString>* issuers, std::vector<ByteString>* serials, uint32_t* status,
                            uint32_t flags) const {
  certificates->clear();
  Impl& s = *impl_;
  if (!s.loaded) return s.Error(kErrCertSelection, kNoCertSelected);
  OwnChain chain;
  // A shared store's chain is built once, until the system stores or a certificate's validity change.
  std::vector<win::CertStoreFile> files;
  bool found = false;
  std::unique_lock<std::mutex> building;
  if (s.shared) {
    files = OwnCredential::StoreFiles();
    found = s.credential->FindChain(flags, files, &chain);
    if (!found) {
      building = std::unique_lock<std::mutex>(s.credential->chain_build_lock());
      found = s.credential->FindChain(flags, files, &chain);
    }
  }
  if (!found) {
    ByteString error;
    const int rc = BuildOwnChain(s, flags, &chain, &error);
    if (rc != kOk) return s.Error(rc, error.c_str());
    if (s.shared) s.credential->KeepChain(flags, std::move(files), chain);
  }
  int rc = kOk;
  certificates->resize(chain.pem.size());
  for (size_t i = 0; rc == kOk && i < chain.pem.size(); ++i) {
    rc = to_der ? PemDecodeWithLabel(&(*certificates)[i], "CERTIFICATE", chain.pem[i].data(), chain.pem[i].length())
                : (*certificates)[i].Assign(chain.pem[i]);
  }
  auto take = [&](std::vector<ByteString>& from, std::vector<ByteString>* to) {
    for (size_t i = 0; rc == kOk && to != nullptr && i < from.size(); ++i) to->push_back(std::move(from[i]));
  };
  take(chain.subjects, subjects);
  take(chain.issuers, issuers);
  take(chain.serials, serials);
  if (status != nullptr) *status = chain.status;
  return rc;
}

int CertSelection::GetChainDer(std::vector<ByteString>* out, uint32_t flags) const {
  return GetChain(out, true, nullptr, nullptr, nullptr, nullptr, flags);
}

const ByteString& CertSelection::error_text() const { return impl_->error; }

int BuildCertificateBody(const CertSelection* own, bool tls13, ByteString* body) {
  return BuildCertificateBody(nullptr, own, tls13, body);
}

int BuildCertificateBody(TlsCertificateHost* host, const CertSelection* own, bool tls13, ByteString* body,
                         const ByteString* request_context) {
  body->Reset();
  const int context_length = request_context != nullptr ? request_context->length() : 0;
  if (context_length > 255) return kErrDecodeError;
  std::vector<ByteString> chain;
  const bool kept = own != nullptr && own->loaded() && own->impl()->shared &&
                    own->impl()->credential->FindChainToSend(&chain);
  if (!kept && own != nullptr && own->loaded() && own->GetChainDer(&chain, 0) != kOk) {
    if (host != nullptr) host->RaiseError(kErrOwnChain, kOwnChainFailed);
    chain.assign(1, own->der());
  }
  // The root end stays home: the peer must already trust it. An end that is no root is sent,
  // since without it the peer could not link the chain.
  if (!kept && chain.size() >= 2) {
    Certificate last;
    const ByteString& der = chain.back();
    if (ParseCertificateDer(der.data(), der.length(), &last) == kOk && IsSelfSigned(last)) chain.pop_back();
  }
  ByteString list;
  int rc = kOk;
  for (const ByteString& der : chain) {
    if (der.empty()) continue;
    if (static_cast<size_t>(der.length()) > kMaxU24) return kErrDecodeError;
    rc = AppendU24(&list, static_cast<size_t>(der.length()));
    if (rc == kOk) rc = list.AppendString(der);
    if (rc == kOk && tls13) rc = list.Append("\0\0", 2);
    if (rc != kOk) return rc;
  }
  if (static_cast<size_t>(list.length()) > kMaxU24) return kErrDecodeError;
  if (tls13) rc = body->AppendByte(static_cast<uint8_t>(context_length));
  if (rc == kOk && context_length > 0) rc = body->AppendString(*request_context);
  if (rc == kOk) rc = AppendU24(body, static_cast<size_t>(list.length()));
  if (rc == kOk) rc = body->AppendString(list);
  return rc;
}

int ParseCertificateBody(const uint8_t* body, size_t length, bool tls13, std::vector<ByteString>* certificates) {
  certificates->clear();
  SpanReader msg(body, length), context, list;
  if (tls13 && !msg.ReadPrefixed(1, &context)) return kErrDecodeError;
  if (!msg.ReadPrefixed(3, &list) || !msg.empty()) return kErrDecodeError;
  while (!list.empty()) {
    SpanReader der, extensions;
    if (!list.ReadPrefixed(3, &der) || der.empty()) return kErrDecodeError;
    if (tls13 && !list.ReadPrefixed(2, &extensions)) return kErrDecodeError;
    ByteString cert;
    const int rc = cert.Set(der.data(), static_cast<int>(der.remaining()));
    if (rc != kOk) return rc;
    certificates->push_back(std::move(cert));
  }
  return kOk;
}

int FilterSignatureSchemesByKey(const CertSelection* own, const char* scheme_names, std::vector<uint16_t>* out) {
  out->clear();
  std::vector<uint16_t> wanted;
  for (const std::string& item : Split(scheme_names, ',')) {
    const int code = SignatureSchemeCode(TrimBlanks(item));
    if (code < 0) return -1;
    wanted.push_back(static_cast<uint16_t>(code));
  }
  const Certificate* c = own != nullptr ? own->impl()->Selected() : nullptr;
  const KeyPair* key = c != nullptr ? &c->tbs.publicKey : nullptr;
  const char* algorithm = own != nullptr ? own->KeyAlgorithm() : "";
  const bool curve_key = strcasecmp(algorithm, "IdEcPublicKey") == 0 || strcasecmp(algorithm, "EdDSA") == 0;
  // A DSA key signs no TLS 1.3 scheme at all.
  const bool dsa_key = strcasecmp(algorithm, "DSA") == 0;
  for (uint16_t code : wanted) {
    bool keep = false;
    if (curve_key) {
      const int curve = key->type == kKeyEc ? key->ec.curve_id : key->edwards.curve_id;
      keep = curve >= kCurveP256 && curve <= kCurveEd448 && kSchemeByCurve[curve] == code;
    } else if (!dsa_key) {
      for (uint16_t r : kRsaSchemes) keep = keep || r == code;
    }
    if (keep) out->push_back(code);
  }
  return kOk;
}

bool UsesRsaPssSignature(uint16_t version, uint16_t scheme) {
  return version == 0x0304 && (scheme == 0x0804 || scheme == 0x0805 || scheme == 0x0806);
}

bool Tls13SchemeAllowed(uint16_t version, uint16_t scheme) {
  return version != 0x0304 || (scheme != 0x0401 && scheme != 0x0501 && scheme != 0x0601);
}

int SignatureSchemeHashId(uint16_t scheme) {
  const int hash_id = Tls13SchemeHash(scheme);
  return hash_id >= 0 ? hash_id : -1;
}

bool SignatureAlgorithmListAllows(const char* list, const char* hash, const char* key_kind) {
  const std::string want_hash = hash ? hash : "";
  const std::string want_kind = key_kind ? key_kind : "";
  bool hash_found = false, kind_found = false;
  for (const std::string& entry : Split(list, ',')) {
    const std::vector<std::string> parts = Split(entry.c_str(), '-');
    if (parts.size() != 2) continue;
    const std::string h = Lower(TrimBlanks(parts[0]));
    const std::string k = Lower(TrimBlanks(parts[1]));
    for (const char* known : kListHashes) hash_found = hash_found || (h == known && h == want_hash);
    for (const char* known : kListKinds) kind_found = kind_found || (k == known && k == want_kind);
    hash_found = hash_found || h == "all";
    kind_found = kind_found || k == "all";
    if (hash_found && kind_found) return true;
  }
  return false;
}

int VerifyPeerCertificate(TlsCertificateHost& host, CertSelection* peer, const std::vector<ByteString>& certificates) {
  const uint32_t flags = host.SecurityFlags();
  const char* label = host.IsClient() ? "Server" : "Client";
  int code = 0;
  const char* status = kStatusOk;
  const bool readable = !certificates.empty() && peer->Load(nullptr, 0, 0, nullptr, nullptr, certificates[0].data(),
                                                             certificates[0].length()) == kOk;
  const Certificate* leaf = readable ? peer->impl()->Selected() : nullptr;
  // A leaf that does not even parse is refused whatever checks are switched off.
  if (leaf == nullptr ||
      (!(flags & kSecurityNoValidityCheck) &&
       CompareValidity(leaf->tbs.notBefore.c_str(), leaf->tbs.notAfter.c_str()) != 0)) {
    code = kCodeNotTimeValid;
    status = kStatusValidity;
  }
  std::vector<ByteString> pem_list;
  ByteString cert_encoded;
  for (const ByteString& der : certificates) {
    ByteString pem;
    int rc = PemArmor(&pem, "CERTIFICATE", der.data(), der.length());
    if (rc == kOk && !cert_encoded.empty()) rc = cert_encoded.AppendText("\r\n");
    if (rc == kOk) rc = cert_encoded.AppendString(pem);
    if (rc != kOk) return 0;
    pem_list.push_back(std::move(pem));
  }
  if (code == 0 && VerifyCertificateChain(leaf->der, pem_list, flags, nullptr) != 0) {
    code = kCodeUntrustedRoot;
    status = kStatusUntrusted;
  }
  if (host.IsClient() && code == 0 && !(flags & kSecurityNoHostCheck)) {
    const char* server = host.ServerName() ? host.ServerName() : "";
    bool match = MatchHostToCertCN(leaf->tbs.subjectText.c_str(), server);
    for (int i = 0; !match && i < leaf->tbs.extensions.Count(); ++i) {
      const CertExtension* ext = leaf->tbs.extensions.At(i);
      ByteString san;
      if (ext != nullptr && std::strcmp(ext->oid.c_str(), kOidSubjectAltName) == 0 &&
          SubjectAltNameText(ext->value, true, &san) == kOk) {
        match = MatchHostToCertSAN(san.c_str(), server);
      }
    }
    if (!match) {
      code = kErrCertHostName;
      status = kStatusHostName;
    }
  }
  char text[512];
  const char* list = host.Tls12SignatureAlgorithms();
  if (host.IsClient() && leaf != nullptr && list != nullptr && *list && host.NegotiatedVersion() == 0x0303) {
    ByteString name;
    name.SetText(GetSignatureAlgorithmName(leaf));
    name.Trim();
    name.ToUpper();
    if (!name.empty()) {
      const SignatureAlgorithm* algorithm = nullptr;
      for (const SignatureAlgorithm& a : kSignatureAlgorithms) {
        if (std::strcmp(a.name, name.c_str()) == 0) algorithm = &a;
      }
      bool refused = false;
      if (algorithm == nullptr) {
        std::snprintf(text, sizeof text, kUnrecognizedAlgorithm, name.c_str());
        refused = true;
      } else if (!SignatureAlgorithmListAllows(list, algorithm->hash, algorithm->key_kind)) {
        std::snprintf(text, sizeof text, kUnsupportedAlgorithm, name.c_str(), list);
        refused = true;
      }
      if (refused) {
        if (host.Status(text) != kOk) return 0;
        host.Fail(kErrCertHostName, text);
        return 0;
      }
    }
  }
  if (code != 0) {
    std::snprintf(text, sizeof text, kErrorVerifying, label, static_cast<unsigned>(code), status);
    if (host.Status(text) != kOk || host.RaiseError(kErrCertRefused, text) != kOk) return 0;
  }
  bool accept = code == 0;
  static const ByteString kNoLeaf;
  if (host.CheckServerCertificate(cert_encoded, leaf != nullptr ? leaf->der : kNoLeaf, code, status, &accept) !=
      kOk) {
    accept = false;
  }
  if (accept) return 1;
  host.SendFatalAlert(kAlertCertificateUnknown);
  std::snprintf(text, sizeof text, kValidationFailedStatus, label);
  if (host.Status(text) != kOk) return 0;
  std::snprintf(text, sizeof text, kValidationFailedText, label);
  host.Fail(kErrCertRefused, text);
  return 0;
}

// ---- Signatures ----

namespace {

int ReadPeerKey(const ByteString& peer_der, KeyPair* key) {
  Certificate c;
  const int rc = ParseCertificateDer(peer_der.data(), peer_der.length(), &c);
  if (rc != kOk) return rc;
  return key->CopyFrom(c.tbs.publicKey);
}

}  // namespace

int SignWithOwnKey(const CertSelection& own, uint16_t scheme, int hash_id, bool pss, const uint8_t* data, size_t n,
                   ByteString* signature) {
  signature->Reset();
  if (!own.has_private_key()) return kErrCertSelection;
  const KeyPair& key = *own.impl()->Key();
  const CertificateWithKey* token = own.impl()->TokenItem();
  if (token != nullptr && (IsEdDsaScheme(scheme) || key.type == kKeyEdwards)) return kErrTlsKeyUnsupported;
  if (IsEdDsaScheme(scheme) || key.type == kKeyEdwards) return SignEdDsa(key, data, n, signature);
  ByteString digest;
  int rc = DigestFor(hash_id, key.type != kKeyRsa, data, n, &digest);
  if (rc != kOk) return rc;
  if (token != nullptr) {
    // The key never leaves the token: the token signs the digest.
    ByteString error;
    return SignDigestWithSecurityKey(*token, own.impl()->password.c_str(), hash_id, pss, digest.bytes(),
                                     static_cast<size_t>(digest.length()), signature, &error);
  }
  switch (key.type) {
    case kKeyRsa: {
      const char* name = RsaHashName(hash_id);
      if (name == nullptr || (pss && hash_id == kHashMd5Sha1)) return kErrRsaUnknownHash;
      std::unique_ptr<RsaEngine> rsa;
      rc = own.impl()->credential->TakeRsa(key.rsa, &rsa);
      if (rc == kOk) rc = rsa->Sign(digest, name, pss, -1, *signature);
      if (rc == kOk) own.impl()->credential->GiveBackRsa(std::move(rsa));
      break;
    }
    case kKeyEc:
      if (pss) return kErrTlsKeyUnsupported;
      rc = EcdsaSign(key.ec, true, digest.bytes(), digest.length(), *signature);
      break;
    case kKeyDsa: {
      if (pss) return kErrTlsKeyUnsupported;
      DsaEngine dsa;
      dsa.set_der_output(true);
      rc = dsa.SetKey(key.dsa);
      if (rc == kOk) rc = dsa.Sign(digest, *signature);
      break;
    }
    default:
      return kErrTlsKeyUnsupported;
  }
  WipeBytes(digest.bytes(), static_cast<size_t>(digest.length()));
  if (rc != kOk) signature->Reset();
  return rc;
}

int VerifyWithPeerKey(const ByteString& peer_der, uint16_t scheme, int hash_id, bool pss, const uint8_t* data,
                      size_t n, const uint8_t* signature, size_t sig_length, bool* valid) {
  *valid = false;
  KeyPair key;
  int rc = ReadPeerKey(peer_der, &key);
  if (rc != kOk) return rc;
  if (IsEdDsaScheme(scheme) || key.type == kKeyEdwards) return VerifyEdDsa(key, data, n, signature, sig_length, valid);
  if (sig_length > static_cast<size_t>(0x7FFFFFFF)) return kOk;
  ByteString digest;
  rc = DigestFor(hash_id, key.type != kKeyRsa, data, n, &digest);
  if (rc != kOk) return rc;
  ByteString sig;
  rc = sig.Set(signature, static_cast<int>(sig_length));
  if (rc != kOk) return rc;
  switch (key.type) {
    case kKeyRsa: {
      const char* name = RsaHashName(hash_id);
      if (name == nullptr || (pss && hash_id == kHashMd5Sha1)) return kErrRsaUnknownHash;
      RsaEngine rsa;
      rc = rsa.SetKey(key.rsa);
      if (rc == kOk) rc = rsa.Verify(digest, name, sig, pss, true, valid);
      return rc;
    }
    case kKeyEc:
      if (pss) return kErrTlsKeyUnsupported;
      return EcdsaVerify(key.ec, digest.bytes(), digest.length(), sig.bytes(), sig.length(), valid);
    case kKeyDsa: {
      if (pss) return kErrTlsKeyUnsupported;
      DsaEngine dsa;
      rc = dsa.SetKey(key.dsa);
      if (rc == kOk) rc = dsa.Verify(digest, sig, valid);
      return rc;
    }
    default:
      return kErrTlsKeyUnsupported;
  }
}

const char* PeerKeyKind(const ByteString& peer_der, uint16_t* group) {
  if (group != nullptr) *group = 0;
  KeyPair key;
  if (ReadPeerKey(peer_der, &key) != kOk) return "";
  switch (key.type) {
    case kKeyRsa:
      return "rsa";
    case kKeyDsa:
      return "dsa";
    case kKeyEc: {
      constexpr uint16_t kGroups[] = {23, 24, 25};
      if (group != nullptr && key.ec.curve_id >= kCurveP256 && key.ec.curve_id <= kCurveP521) {
        *group = kGroups[key.ec.curve_id];
      }
      return "ecdsa";
    }
    case kKeyEdwards:
      return key.edwards.curve_id == kCurveEd25519 ? "ed25519" : key.edwards.curve_id == kCurveEd448 ? "ed448" : "";
    default:
      return "";
  }
}

int OwnRsaPrivateOp(const CertSelection& own, const uint8_t* data, size_t n, ByteString* out) {
  out->Reset();
  const KeyPair* key = own.has_private_key() ? own.impl()->Key() : nullptr;
  if (key == nullptr || key->type != kKeyRsa) return kErrTlsKeyUnsupported;
  std::unique_ptr<RsaEngine> rsa;
  int rc = own.impl()->credential->TakeRsa(key->rsa, &rsa);
  if (rc == kOk) rc = RsaPrivateOpPadded(*rsa, data, n, out);
  if (rc == kOk) own.impl()->credential->GiveBackRsa(std::move(rsa));
  return rc;
}

int PeerRsaEncrypt(const ByteString& peer_der, const uint8_t* data, size_t n, ByteString* out) {
  KeyPair key;
  int rc = ReadPeerKey(peer_der, &key);
  if (rc != kOk) return rc;
  if (key.type != kKeyRsa) return kErrTlsKeyUnsupported;
  ByteString message;
  rc = message.Set(data, static_cast<int>(n));
  RsaEngine rsa;
  if (rc == kOk) rc = rsa.SetKey(key.rsa);
  if (rc == kOk) rc = rsa.EncryptPkcs1(message, *out);
  WipeBytes(message.bytes(), static_cast<size_t>(message.length()));
  return rc;
}

int PeerEcPoint(const ByteString& peer_der, int* curve_id, ByteString* point) {
  KeyPair key;
  int rc = ReadPeerKey(peer_der, &key);
  if (rc != kOk) return rc;
  if (key.type != kKeyEc || key.ec.X.empty()) return kErrTlsKeyUnsupported;
  *curve_id = key.ec.curve_id;
  rc = point->SetText("\x04");
  if (rc == kOk) rc = point->AppendString(key.ec.X);
  if (rc == kOk) rc = point->AppendString(key.ec.Y);
  return rc;
}

// ---- What a server's own certificate serves ----

namespace {

// The key kind behind a certificate signature algorithm's OID.
const char* SignerKind(const ByteString& oid) {
  struct Prefix {
    const char* oid;
    const char* kind;
  };
  static constexpr Prefix kPrefixes[] = {
      {"1.2.840.113549.1.1.", "rsa"}, {"1.2.840.10045.4.", "ecdsa"}, {"1.2.840.10040.4.3", "dsa"},
      {"2.16.840.1.101.3.4.3.", "dsa"},
  };
  for (const Prefix& p : kPrefixes) {
    if (std::strncmp(oid.c_str(), p.oid, std::strlen(p.oid)) == 0) {
      // Under 2.16.840.1.101.3.4.3: DSA with SHA-2 and SHA-3 (1 to 8), then ECDSA and RSA with SHA-3.
      if (p.oid[0] == '2') {
        const int arc = std::atoi(oid.c_str() + std::strlen(p.oid));
        return arc <= 8 ? "dsa" : arc <= 12 ? "ecdsa" : "rsa";
      }
      return p.kind;
    }
  }
  return "";
}

// The subject Name element of a certificate's to-be-signed part.
int SubjectNameDer(const Certificate& c, DerCursor* subject) {
  DerCursor all(c.tbsDer);
  DerCursor fields;
  uint8_t tag = 0;
  int rc = all.Next(&tag, &fields);
  DerCursor content;
  if (rc == kOk) rc = fields.Peek(&tag, &content);
  if (rc == kOk && tag == 0xA0) rc = fields.SkipElements(1);
  // serial, signature, issuer, validity
  if (rc == kOk) rc = fields.SkipElements(4);
  if (rc == kOk) rc = fields.Next(&tag, &content, subject);
  return rc;
}

}  // namespace

OwnKeyFacts DescribeOwnKey(const CertSelection& own) {
  OwnKeyFacts facts;
  const Certificate* c = own.impl()->Selected();
  if (c == nullptr) return facts;
  facts.kind = PeerKeyKind(c->der, &facts.group);
  facts.signer = SignerKind(c->outerAlgorithm.first);
  if (c->tbs.publicKey.type == kKeyRsa) {
    BigNumber n;
    n.SetBytes(c->tbs.publicKey.rsa.N);
    facts.rsa_bits = n.BitLength();
  }
  return facts;
}

int OwnEcdhKeyExchange(const CertSelection& own, std::unique_ptr<KeyExchange>* out) {
  const KeyPair* key = own.has_private_key() ? own.impl()->Key() : nullptr;
  if (key == nullptr || key->type != kKeyEc || !key->ec.HasPrivate()) return kErrTlsKeyUnsupported;
  auto kx = std::make_unique<KeyExchange>(1);
  kx->ec_mode = 1;
  if (int rc = kx->own_ec.CopyAll(key->ec); rc != kOk) return rc;
  kx->prime_bits = 8 * CurveKeySize(key->ec.curve_id);
  *out = std::move(kx);
  return kOk;
}

int CaDistinguishedNames(const ByteString& pem_text, size_t limit, ByteString* names, bool* truncated) {
  names->Reset();
  *truncated = false;
  if (pem_text.empty()) return kOk;
  StringList labels;
  StringList headers;
  StringList bodies;
  ByteString error;
  if (ReadPemBlocks(pem_text.data(), pem_text.length(), &labels, &headers, &bodies, &error) != kOk) return kOk;
  for (int i = 0; i < bodies.Count(); ++i) {
    if (std::strcmp(labels.Get(i), "CERTIFICATE") != 0) continue;
    Certificate c;
    DerCursor subject;
    if (ParseCertificateDer(bodies.Get(i), bodies.GetLength(i), &c) != kOk || SubjectNameDer(c, &subject) != kOk) {
      continue;
    }
    // Whole names only: the list stops before the first that would pass the limit.
    if (static_cast<size_t>(names->length()) + 2 + subject.size() > limit) {
      *truncated = true;
      break;
    }
    int rc = names->AppendByte(static_cast<uint8_t>(subject.size() >> 8));
    if (rc == kOk) rc = names->AppendByte(static_cast<uint8_t>(subject.size()));
    if (rc == kOk) rc = names->Append(subject.data(), static_cast<int>(subject.size()));
    if (rc != kOk) return rc;
  }
  return kOk;
}

}  // namespace tw
