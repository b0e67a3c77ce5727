// Own certificates loaded from stores held in memory (blobs), kept for the life of the process:
// a server loads the same store for every connection, and parsing it, acquiring its platform
// context, building its chain and preparing its RSA key cost more than the rest of a handshake.
// Stores read from files, system stores and tokens are loaded afresh every time, since what they
// hold can change underneath.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "foundation/byte_string.h"
#include "platform/cert_store_files.h"

namespace tw {

class CertificateManager;
class RsaEngine;
class RsaKeyData;

// A chain as a chain manager built it: the certificates as PEM, leaf first, with their
// normalised subjects and issuers, serials, and the status word.
struct OwnChain {
  std::vector<ByteString> pem;
  std::vector<ByteString> subjects;
  std::vector<ByteString> issuers;
  std::vector<ByteString> serials;
  uint32_t status = 0;

  int CopyFrom(const OwnChain& other);
};

// One loaded own certificate, shared by the connections that use it. Its manager is read only
// once it is shared.
class OwnCredential {
 public:
  explicit OwnCredential(std::unique_ptr<CertificateManager> manager);
  ~OwnCredential();
  OwnCredential(const OwnCredential&) = delete;
  OwnCredential& operator=(const OwnCredential&) = delete;

  CertificateManager& manager() const { return *manager_; }

  // The files of the system stores a chain is built from, as they are now.
  static std::vector<win::CertStoreFile> StoreFiles();
  // The chain kept for these ignore flags, while the store files (`files`, as they are now) and
  // the time validity of each of its certificates are as they were when it was built. False
  // when there is none.
  bool FindChain(uint32_t flags, const std::vector<win::CertStoreFile>& files, OwnChain* out);
  // Keeps a chain built after the store files were `files`.
  void KeepChain(uint32_t flags, std::vector<win::CertStoreFile> files, const OwnChain& chain);
  // Held while a chain is built, so that the connections that want it meanwhile take the one kept.
  std::mutex& chain_build_lock() { return chain_build_lock_; }
  // The chain kept without ignore flags as a Certificate message sends it: DER, leaf first,
  // without a self-signed end. False when there is none or it is no longer current.
  bool FindChainToSend(std::vector<ByteString>* out);

  // An RSA engine keyed with `key` (always this credential's key): one handed back before when
  // there is one, so its Montgomery contexts and blinding carry over, else a new one.
  int TakeRsa(const RsaKeyData& key, std::unique_ptr<RsaEngine>* out);
  // Back for the next signature; an engine that failed is not handed back.
  void GiveBackRsa(std::unique_ptr<RsaEngine> engine);

 private:
  struct KeptChain;

  std::unique_ptr<CertificateManager> manager_;
  std::mutex lock_;
  std::mutex chain_build_lock_;
  std::vector<std::unique_ptr<KeptChain>> chains_;
  std::vector<std::unique_ptr<RsaEngine>> idle_rsa_;
};

// The cache key of a store held in memory: a digest of the type, the store, the password and the
// subject. False for the store types read from elsewhere.
bool OwnCredentialKey(int32_t store_type, const ByteString& store, const ByteString& password,
                      const ByteString& subject, std::string* key);

// The one load of a store that the other connections wanting the same store wait for, so that
// connections arriving together at a fresh server load it once between them.
class OwnCredentialClaim {
 public:
  OwnCredentialClaim() = default;
  // A load neither kept nor found is given up: the next waiter loads it.
  ~OwnCredentialClaim();
  OwnCredentialClaim(const OwnCredentialClaim&) = delete;
  OwnCredentialClaim& operator=(const OwnCredentialClaim&) = delete;

  // The credential kept for `key`, waiting while another claim loads it; null when this claim
  // is now the one to load it.
  std::shared_ptr<OwnCredential> FindOrClaim(const std::string& key);
  // Keeps the credential this claim loaded, for every later connection and those waiting.
  void Keep(std::shared_ptr<OwnCredential> credential);

 private:
  void Release();

  std::string key_;
  bool held_ = false;
};

}  // namespace tw
