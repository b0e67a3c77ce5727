// The certificate manager component: owns one certificate store, opens it from a store source,
// answers for the selected certificate and key, lists the system stores and the certificates of
// a store, and builds the platform chain of the selection. CertChainManager collects that chain
// for the TLS layer.
#pragma once

#include <cstdint>
#include <memory>

#include "certs/cert_entry_list.h"
#include "certs/cert_store.h"
#include "crypto/pubkey/key_pair.h"
#include "foundation/byte_string.h"
#include "foundation/component_base.h"
#include "foundation/string_list.h"

namespace tw {

constexpr int kErrManagerBusy = 143;
constexpr int kErrManagerNoSelection = 144;
constexpr int kErrManagerChain = 275;
constexpr int kErrManagerEnumStores = 279;
constexpr int kErrManagerExtensionIndex = 289;

// PerformAction codes.
constexpr int kActionStop = 0;
constexpr int kActionUserStores = 1;
constexpr int kActionListCertificates = 2;
constexpr int kActionChain = 3;
constexpr int kActionMachineStores = 4;

// Event slots of the sink.
constexpr int kEventCertChain = 1;
constexpr int kEventCertList = 2;
constexpr int kEventLog = 5;
constexpr int kEventStoreList = 6;

// The socket settings a manager carries beneath its own. The socket layer is built above the
// certificate layer, so it hands in its part through a maker it registers at start-up; without
// one (a program without sockets) a manager has no socket settings.
class ManagerSocketLayer {
 public:
  virtual ~ManagerSocketLayer() = default;
  // Every socket field back to its default; 0 or the reset's error.
  virtual int ResetSocket() = 0;
  // Answers the socket settings; other names give -1.
  virtual int Config(ConfigRequest& request, const char** answer) = 0;
  virtual const char* last_error_text() const = 0;
};
using ManagerSocketLayerMaker = ManagerSocketLayer* (*)();
void SetManagerSocketLayerMaker(ManagerSocketLayerMaker maker);

class CertificateManager : public ComponentBase {
 public:
  CertificateManager();
  ~CertificateManager() override;

  // Names it does not know go to the socket settings.
  int Config(ConfigRequest& request, const char** answer) override;

  // Defaults of every setting, an empty store, then the socket settings' reset, whose result it
  // returns.
  int Initialize();
  // Generation settings back to their defaults; with `full` also the usage settings and the store.
  void Reset(bool full);
  // The store source: a system store name ("MY"), a file path or the content itself.
  int SetStoreBytes(const void* bytes, int length);
  void SetStoreType(int32_t type) { store_type_ = type; }
  int SetPassword(const char* password);
  // Opens the store source and selects the certificate of the subject ("" does nothing, "*"
  // takes the first). 272 "Cannot find specified certificate." when nothing fits.
  int LoadCertBySubject(const char* subject);
  // The certificate of the "MY" store equal to the encoded one, else the text itself as a PEM
  // key blob.
  int LoadEncodedCert(const void* text, int length);

  // 0 stop, 1 current user's stores, 2 certificates of the store, 3 chain of the selection,
  // 4 machine's stores. The result lines are in list_text().
  virtual int PerformAction(int action);

  const char* GetSelectedSubject();
  const char* GetCertificateIssuer() const;
  // "RSA_RSA", "X957_DSA", "IdEcPublicKey", "EdDSA" by the selected key's kind; "" without one.
  const char* GetKeyAlgorithm() const;
  // Copies of the selected key's record (the EC form also for Edwards keys); 144 without a key.
  int GetRsaKey(RsaKeyData* out, bool public_only);
  int GetDsaKey(DsaKeyData* out, bool public_only);
  int GetEcKey(EcKeyData* out, bool public_only);
  // The selected certificate as PEM "CERTIFICATE" text, or with KeyFormat 1 as X509Data XML.
  int GetEncodedCert(const char** text, int* length);
  // The selected RSA or DSA key as XML, private members with the flag; any other key gives an
  // empty text and 0.
  int ExportKeyXml(bool include_private, ByteString* text);
  const char* GetPublicKeyXml();
  // "" unless the selection has a private key.
  const char* GetPrivateKeyXml();
  bool IsBareKey() const { return bare_key_; }

  const ByteString& list_text() const { return list_text_; }
  CertStore& store() { return store_; }
  const CertStore& store() const { return store_; }
  int busy() const { return busy_; }
  // One listed system store: a line of the list text and the event.
  int AddStoreName(const char* name);

 protected:
  int FireLog(int level, const char* text, const char* type) override {
    return FireEvent(kEventLog, level, text, type);
  }
  virtual int FireCertChain(const char* pem, int length, const char* subject, const char* issuer,
                            const char* serial, uint32_t error_status, uint32_t info_status);
  virtual int FireCertList(const char* pem, int length, const char* subject, const char* issuer,
                           const char* serial, int has_private_key);
  virtual int FireStoreList(const char* name);

 private:
  int ListSystemStores(uint32_t location);
  int ListStoreCertificates();
  int ListFileStore();
  int ListSecurityKey();
  int BuildChain();
  // The platform friendly name of the selection; empty when there is none.
  int FriendlyName(ByteString* out);
  int CreatedKeyText();
  int AddListLine(const char* subject, const char* issuer, const char* serial, const char* last);
  void TakeSelectionAttributes();
  const KeyPair* SelectedKey() const { return store_.GetKey(); }
  bool ConfigCustomExtension(ConfigRequest& request, const char** answer, int* rc);
  bool ConfigAnswers(ConfigRequest& request, const char** answer, int* rc);

  // Destroyed last, as a base would be.
  std::unique_ptr<ManagerSocketLayer> socket_;

  // Store source.
  ByteString store_bytes_;
  ByteString password_;
  ByteString subject_;
  int32_t store_type_ = cstUser;
  bool bare_key_ = false;

  CertStore store_;
  CertEntryList created_;  // a created key, when one was made
  int32_t busy_ = 0;
  ByteString list_text_;
  ByteString requested_subject_;
  ByteString answer_;
  ByteString public_xml_;
  ByteString private_xml_;
  ByteString created_key_text_;
  ByteString encoded_xml_;
  StringList jwk_names_;
  StringList jwk_values_;
  int32_t rsa_exponent_ = 65537;

  // Settings.
  ByteString comment_;
  ByteString output_format_;
  ByteString export_format_;
  int32_t validity_time_ = 365;
  int32_t validity_offset_ = 0;
  int32_t key_length_ = 2048;
  int32_t key_type_ = 1;
  ByteString csp_;
  ByteString subject_alt_names_;
  int32_t usage_flags_ = 0;
  ByteString extended_key_usage_;
  int32_t import_action_ = 3;
  ByteString signature_algorithm_;
  ByteString csr_subject_;  // bytes
  bool replace_key_ = false;
  int32_t key_format_ = 0;
  ByteString ext_critical_;  // one byte per custom extension
  StringList ext_oids_;
  StringList ext_values_;  // bytes
  ByteString exported_cert_;
  ByteString request_alt_names_;
  int32_t import_store_type_ = cstAuto;
  StringList csr_ignored_;
  bool persist_pfx_key_ = false;
  ByteString public_key_algorithm_;
  bool encode_exported_cert_ = false;
};

// The chain of the selection as the TLS layer reads it.
class CertChainManager : public CertificateManager {
 public:
  // Ignore flags.
  static constexpr uint32_t kIgnoreTime = 1;
  static constexpr uint32_t kIgnoreUntrustedSelfIssued = 16;

  StringList chain_pem;
  StringList chain_subjects;
  StringList chain_issuers;
  StringList chain_serials;
  uint32_t chain_status = 0;
  uint32_t ignore_flags = 0;

 protected:
  int FireCertChain(const char* pem, int length, const char* subject, const char* issuer,
                    const char* serial, uint32_t error_status, uint32_t info_status) override;
};

// Entry points for a manager that may be absent (absent: 0 and nothing copied).
int ManagerGetRsaPrivateKey(CertificateManager* manager, RsaKeyData* out);
int ManagerGetRsaPublicKey(CertificateManager* manager, RsaKeyData* out);
int ManagerGetDsaPrivateKey(CertificateManager* manager, DsaKeyData* out);
int ManagerGetDsaPublicKey(CertificateManager* manager, DsaKeyData* out);
int ManagerGetEcPrivateKey(CertificateManager* manager, EcKeyData* out);
int ManagerGetEcPublicKey(CertificateManager* manager, EcKeyData* out);

}  // namespace tw
