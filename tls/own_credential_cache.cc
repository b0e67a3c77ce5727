#include "tls/own_credential_cache.h"

#include <algorithm>
#include <condition_variable>

#include "certs/cert_chain_engine.h"
#include "certs/cert_manager.h"
#include "certs/cert_store_types.h"
#include "certs/certificate.h"
#include "certs/pem_armor.h"
#include "crypto/pubkey/rsa_engine.h"
#include "crypto/symmetric/hash_engine.h"
#include "platform/cert_store_files.h"

namespace tw {

namespace {

constexpr size_t kMaxCredentials = 16;
constexpr size_t kMaxIdleRsa = 8;

bool SameFiles(const std::vector<win::CertStoreFile>& a, const std::vector<win::CertStoreFile>& b) {
  auto same = [](const win::CertStoreFile& x, const win::CertStoreFile& y) {
    return x.path == y.path && x.size == y.size && x.mtime_ns == y.mtime_ns;
  };
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), same);
}

struct Validity {
  ByteString not_before, not_after;
  int state = 0;  // CompareValidity when the chain was built
};

struct Credentials {
  std::mutex lock;
  // Oldest first.
  std::vector<std::pair<std::string, std::shared_ptr<OwnCredential>>> entries;
  // The keys a claim is loading now, and the signal that one of them ended.
  std::vector<std::string> loading;
  std::condition_variable load_ended;
};

Credentials& AllCredentials() {
  static auto* all = new Credentials;  // lives as long as the process
  return *all;
}

int CopyList(const std::vector<ByteString>& from, std::vector<ByteString>* to) {
  to->clear();
  to->resize(from.size());
  for (size_t i = 0; i < from.size(); ++i) {
    if (int rc = (*to)[i].Assign(from[i]); rc != kOk) return rc;
  }
  return kOk;
}

}  // namespace

int OwnChain::CopyFrom(const OwnChain& other) {
  int rc = CopyList(other.pem, &pem);
  if (rc == kOk) rc = CopyList(other.subjects, &subjects);
  if (rc == kOk) rc = CopyList(other.issuers, &issuers);
  if (rc == kOk) rc = CopyList(other.serials, &serials);
  status = other.status;
  return rc;
}

struct OwnCredential::KeptChain {
  uint32_t flags = 0;
  OwnChain chain;
  std::vector<ByteString> to_send;
  std::vector<win::CertStoreFile> files;
  std::vector<Validity> validity;

  bool Current(const std::vector<win::CertStoreFile>& now) const {
    for (const Validity& v : validity) {
      if (CompareValidity(v.not_before.c_str(), v.not_after.c_str()) != v.state) return false;
    }
    return SameFiles(files, now);
  }
};

OwnCredential::OwnCredential(std::unique_ptr<CertificateManager> manager) : manager_(std::move(manager)) {}
OwnCredential::~OwnCredential() = default;

std::vector<win::CertStoreFile> OwnCredential::StoreFiles() {
  std::vector<win::CertStoreFile> all, files;
  for (const char* name : {"ROOT", "CA"}) {
    win::ListCertStoreFiles(name, &files);
    all.insert(all.end(), files.begin(), files.end());
    all.emplace_back();  // between the stores
  }
  return all;
}

bool OwnCredential::FindChain(uint32_t flags, const std::vector<win::CertStoreFile>& files, OwnChain* out) {
  std::lock_guard<std::mutex> guard(lock_);
  for (const auto& kept : chains_) {
    if (kept->flags == flags && kept->Current(files)) return out->CopyFrom(kept->chain) == kOk;
  }
  return false;
}

bool OwnCredential::FindChainToSend(std::vector<ByteString>* out) {
  const std::vector<win::CertStoreFile> files = StoreFiles();
  std::lock_guard<std::mutex> guard(lock_);
  for (const auto& kept : chains_) {
    if (kept->flags == 0 && kept->Current(files)) return CopyList(kept->to_send, out) == kOk;
  }
  return false;
}

void OwnCredential::KeepChain(uint32_t flags, std::vector<win::CertStoreFile> files, const OwnChain& chain) {
  auto kept = std::make_unique<KeptChain>();
  kept->flags = flags;
  kept->files = std::move(files);
  if (kept->chain.CopyFrom(chain) != kOk) return;
  for (size_t i = 0; i < chain.pem.size(); ++i) {
    const ByteString& pem = chain.pem[i];
    ByteString der;
    Certificate c;
    if (PemDecodeWithLabel(&der, "CERTIFICATE", pem.data(), pem.length()) != kOk ||
        ParseCertificateDer(der.data(), der.length(), &c) != kOk) {
      return;
    }
    Validity v;
    if (v.not_before.Assign(c.tbs.notBefore) != kOk || v.not_after.Assign(c.tbs.notAfter) != kOk) return;
    v.state = CompareValidity(v.not_before.c_str(), v.not_after.c_str());
    kept->validity.push_back(std::move(v));
    // The root end stays home, as BuildCertificateBody decides for a chain built afresh.
    const bool root_end = i >= 1 && i + 1 == chain.pem.size() && IsSelfSigned(c);
    if (!root_end) kept->to_send.push_back(std::move(der));
  }
  std::lock_guard<std::mutex> guard(lock_);
  chains_.erase(std::remove_if(chains_.begin(), chains_.end(), [&](const auto& k) { return k->flags == flags; }),
                chains_.end());
  chains_.push_back(std::move(kept));
}

int OwnCredential::TakeRsa(const RsaKeyData& key, std::unique_ptr<RsaEngine>* out) {
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (!idle_rsa_.empty()) {
      *out = std::move(idle_rsa_.back());
      idle_rsa_.pop_back();
      return kOk;
    }
  }
  auto engine = std::make_unique<RsaEngine>();
  const int rc = engine->SetKey(key);
  if (rc == kOk) *out = std::move(engine);
  return rc;
}

void OwnCredential::GiveBackRsa(std::unique_ptr<RsaEngine> engine) {
  std::lock_guard<std::mutex> guard(lock_);
  if (engine != nullptr && idle_rsa_.size() < kMaxIdleRsa) idle_rsa_.push_back(std::move(engine));
}

bool OwnCredentialKey(int32_t store_type, const ByteString& store, const ByteString& password,
                      const ByteString& subject, std::string* key) {
  switch (store_type) {
    case cstPFXBlob:
    case cstJKSBlob:
    case cstPEMKeyBlob:
    case cstPublicKeyBlob:
    case cstSSHPublicKeyBlob:
    case cstPPKBlob:
    case cstXMLBlob:
    case cstJWKBlob:
      break;
    default:
      return false;
  }
  HashEngine sha;
  if (sha.SetAlgorithmByName("SHA-256") != kOk) return false;
  // Each part with its length, so that no two inputs run together alike.
  const uint32_t type = static_cast<uint32_t>(store_type);
  int rc = sha.Update(&type, sizeof type);
  for (const ByteString* part : {&store, &password, &subject}) {
    const uint32_t n = static_cast<uint32_t>(part->length());
    if (rc == kOk) rc = sha.Update(&n, sizeof n);
    if (rc == kOk) rc = sha.Update(part->data(), part->length());
  }
  if (rc == kOk) rc = sha.Final();
  if (rc != kOk) return false;
  key->assign(sha.digest().data(), static_cast<size_t>(sha.digest().length()));
  return true;
}

OwnCredentialClaim::~OwnCredentialClaim() { Release(); }

std::shared_ptr<OwnCredential> OwnCredentialClaim::FindOrClaim(const std::string& key) {
  Release();
  Credentials& all = AllCredentials();
  std::unique_lock<std::mutex> guard(all.lock);
  while (true) {
    for (const auto& [k, credential] : all.entries) {
      if (k == key) return credential;
    }
    if (std::find(all.loading.begin(), all.loading.end(), key) == all.loading.end()) break;
    all.load_ended.wait(guard);
  }
  all.loading.push_back(key);
  key_ = key;
  held_ = true;
  return nullptr;
}

void OwnCredentialClaim::Keep(std::shared_ptr<OwnCredential> credential) {
  if (!held_) return;
  Credentials& all = AllCredentials();
  {
    std::lock_guard<std::mutex> guard(all.lock);
    bool replaced = false;
    for (auto& [k, kept] : all.entries) {
      if (k == key_) {
        kept = std::move(credential);
        replaced = true;
        break;
      }
    }
    if (!replaced) {
      if (all.entries.size() >= kMaxCredentials) all.entries.erase(all.entries.begin());
      all.entries.emplace_back(key_, std::move(credential));
    }
  }
  Release();
}

void OwnCredentialClaim::Release() {
  if (!held_) return;
  held_ = false;
  Credentials& all = AllCredentials();
  {
    std::lock_guard<std::mutex> guard(all.lock);
    all.loading.erase(std::find(all.loading.begin(), all.loading.end(), key_));
  }
  all.load_ended.notify_all();
}

}  // namespace tw
