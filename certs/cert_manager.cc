#include "certs/cert_manager.h"

#include <strings.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "certs/der_reader.h"
#include "certs/distinguished_name.h"
#include "certs/key_pair_der.h"
#include "certs/key_provider.h"
#include "certs/key_xml.h"
#include "certs/pem_armor.h"
#include "certs/public_key_info.h"
#include "certs/security_key_token.h"
#include "foundation/text_conversion.h"
#include "certs/system_cert_store.h"
#include "platform/codepage.h"
#include "platform/crypt32_store.h"
#include "platform/last_error.h"
#include "platform/library.h"
#include "platform/sspi.h"

namespace tw {

namespace {

constexpr const char* kDefaultCsp = "Microsoft Enhanced Cryptographic Provider v1.0";
constexpr const char* kBareKeySubject = "CN=pem_cert";
constexpr const char* kBusy = "Busy performing current action.";
constexpr const char* kNoSelection = "No certificate selected.  Please select a certificate first.";
constexpr const char* kStoreNotOpened = "The certificate store could not be opened.";
constexpr const char* kNoCertificate = "A certificate must be specified prior to this operation.";
constexpr const char* kCertNotFound = "Cannot find specified certificate.";
constexpr const char* kNoChain = "Cannot get certificate chain";
constexpr const char* kEnumFailed = "Error enumerating certificate stores";
constexpr const char* kExtensionIndex = "Invalid extension index (out of range).";
constexpr const char* kInterrupted = "Interrupted.";
constexpr const char* kOidExtendedKeyUsage = "2.5.29.37";
constexpr uint32_t kSystemStoreCurrentUser = 0x10000;
constexpr uint32_t kSystemStoreLocalMachine = 0x20000;
constexpr int kNameBufferBytes = 2000;
constexpr int kStoreNameBytes = 1000;  // 999 bytes and the NUL
constexpr size_t kChainParaSize = 16;

struct JwkAttribute {
  const char* setting;
  const char* name;
};
constexpr JwkAttribute kJwkAttributes[] = {
    {"JWKAlgorithm", "JWK_2_alg"},
    {"JWKKeyId", "JWK_2_kid"},
    {"JWKKeyOps", "JWK_1_key_ops"},
    {"JWKUse", "JWK_2_use"},
};

struct KeyAlgorithmName {
  int32_t type;
  const char* name;
};
constexpr KeyAlgorithmName kKeyAlgorithms[] = {
    {kKeyRsa, "RSA_RSA"},
    {kKeyDsa, "X957_DSA"},
    {kKeyEc, "IdEcPublicKey"},
    {kKeyEdwards, "EdDSA"},
};

void Wipe(ByteString* s) {
  WipeBytes(s->data(), static_cast<size_t>(s->length()));
  s->Reset();
}

bool ValidUtf8(const uint8_t* p, int n) {
  for (int i = 0; i < n;) {
    const uint8_t c = p[i];
    int more = -1;
    if (c < 0x80) more = 0;
    else if (c >= 0xC2 && c < 0xE0) more = 1;
    else if ((c & 0xF0) == 0xE0) more = 2;
    else if (c >= 0xF0 && c < 0xF5) more = 3;
    if (more < 0 || i + more >= n + (more == 0)) return false;
    for (int k = 1; k <= more; ++k) {
      if ((p[i + k] & 0xC0) != 0x80) return false;
    }
    i += more + 1;
  }
  return true;
}

bool HasHighBytes(const ByteString& s) {
  for (int i = 0; i < s.length(); ++i) {
    if (s.bytes()[i] >= 0x80) return true;
  }
  return false;
}

// The dotted OIDs of the extended key usage extension, joined by ", ".
int ExtendedKeyUsageText(const Certificate* certificate, ByteString* text) {
  text->Reset();
  if (!certificate) return kOk;
  for (int i = 0; i < certificate->tbs.extensions.Count(); ++i) {
    const CertExtension* e = certificate->tbs.extensions.At(i);
    if (!e || std::strcmp(e->oid.c_str(), kOidExtendedKeyUsage) != 0) continue;
    DerCursor value(e->value), octets, seq, oid;
    uint8_t tag = 0;
    int rc = value.Next(&tag, &octets);
    if (rc == kOk) rc = octets.Next(&tag, &seq);
    while (rc == kOk && !seq.empty()) {
      rc = seq.Next(&tag, &oid);
      ByteString dotted;
      if (rc == kOk && tag == 6) rc = DerOidToText(oid.data(), oid.size(), &dotted);
      if (rc == kOk && !text->empty()) rc = text->AppendText(", ");
      if (rc == kOk) rc = text->AppendText(dotted.c_str());
    }
    return rc;
  }
  return kOk;
}

// Subject, issuer and serial of a platform context as the platform gives them, and its PEM.
struct ContextFields {
  ByteString subject;
  ByteString issuer;
  ByteString serial;
  ByteString pem;
};

int ReadContext(win::PCCERT_CONTEXT context, ContextFields* out) {
  int rc = ContextNameText(context, false, &out->subject, kNameBufferBytes);
  if (rc == kOk) rc = ContextNameText(context, true, &out->issuer, kNameBufferBytes);
  if (rc == kOk) rc = ContextSerialHex(context, &out->serial);
  if (rc == kOk) rc = PemArmor(&out->pem, "CERTIFICATE", context->pbCertEncoded, static_cast<int>(context->cbCertEncoded));
  return rc;
}

struct StoreWalk {
  CertificateManager* manager;
  int rc;
};

// Every certificate the store's content holds, in a memory store: what the chain may link through.
win::HCERTSTORE ContentStore(const CertEntryList& list) {
  win::HCERTSTORE memory = Crypt32Call<&win::CertOpenStore>(kCertOpenStore, win::CERT_STORE_PROV_MEMORY, win::DWORD{0},
                                                            win::HCRYPTPROV{0}, win::DWORD{0},
                                                            static_cast<const void*>(nullptr));
  auto add = [memory](const Certificate& c) {
    Crypt32Call<&win::CertAddEncodedCertificateToStore>(kCertAddEncodedCertificateToStore, memory, kCertEncodingAny,
                                                        c.der.bytes(), static_cast<win::DWORD>(c.der.length()),
                                                        win::CERT_STORE_ADD_REPLACE_EXISTING,
                                                        static_cast<win::PCCERT_CONTEXT*>(nullptr));
  };
  for (int i = 0; memory != nullptr && i < list.entries.Count(); ++i) {
    const CertEntry* e = list.entries.At(i);
    if (e->pfx) {
      for (int j = 0; j < e->pfx->certificates.Count(); ++j) add(e->pfx->certificates.At(j)->certificate);
    } else if (e->p7b) {
      for (int j = 0; j < e->p7b->certificates.Count(); ++j) add(e->p7b->certificates.At(j)->certificate);
    } else if (const Certificate* c = e->GetCertificate()) {
      add(*c);
    }
  }
  return memory;
}

ManagerSocketLayerMaker socket_layer_maker = nullptr;

}  // namespace

void SetManagerSocketLayerMaker(ManagerSocketLayerMaker maker) { socket_layer_maker = maker; }

CertificateManager::CertificateManager()
    : socket_(socket_layer_maker != nullptr ? socket_layer_maker() : nullptr) {}

CertificateManager::~CertificateManager() {
  // Wipe what may carry secrets.
  Wipe(&password_);
  Wipe(&store_bytes_);
  Wipe(&private_xml_);
  Wipe(&created_key_text_);
}

int CertificateManager::Initialize() {
  int rc = csp_.SetText(kDefaultCsp);
  Reset(true);
  key_type_ = 1;
  import_action_ = 3;
  replace_key_ = false;
  key_format_ = 0;
  import_store_type_ = cstAuto;
  usage_flags_ = 0;
  extended_key_usage_.Reset();
  if (rc == kOk) rc = export_format_.SetText("PFX");
  if (rc == kOk) rc = output_format_.SetText("PEM");
  if (rc == kOk) rc = public_key_algorithm_.SetText("RSA");
  set_log_level(kLogInfo);
  if (rc != kOk || socket_ == nullptr) return rc;
  return socket_->ResetSocket();
}

void CertificateManager::Reset(bool full) {
  busy_ = 0;
  comment_.Reset();
  subject_alt_names_.Reset();
  request_alt_names_.Reset();
  rsa_exponent_ = 65537;
  validity_time_ = 365;
  validity_offset_ = 0;
  key_length_ = 2048;
  list_text_.Reset();
  requested_subject_.Reset();
  signature_algorithm_.SetText("SHA256");  // fits inline: cannot fail
  csr_subject_.Reset();
  ext_critical_.Reset();
  ext_oids_.SetCount(0);
  ext_values_.SetCount(0);
  encode_exported_cert_ = false;
  if (full) {
    usage_flags_ = 0;
    extended_key_usage_.Reset();
    store_.Reset();
    created_.Clear();
    bare_key_ = false;
  }
}

int CertificateManager::SetStoreBytes(const void* bytes, int length) {
  Reset(false);
  Wipe(&store_bytes_);
  return store_bytes_.Set(bytes, length < 0 ? 0 : length);
}

int CertificateManager::SetPassword(const char* password) {
  Wipe(&password_);
  return password_.SetText(password ? password : "");
}

// The JWK attributes and the comment of the selected key, and whether it is a bare key.
void CertificateManager::TakeSelectionAttributes() {
  const KeyPair* key = SelectedKey();
  jwk_names_.SetCount(0);
  jwk_values_.SetCount(0);
  comment_.Reset();
  if (key) {
    for (int i = 0; i < key->paramNames.Count(); ++i) {
      if (std::strncmp(key->paramNames.Get(i), "JWK_", 4) != 0) continue;
      jwk_names_.AddText(key->paramNames.Get(i));
      jwk_values_.AddText(key->paramValues.Get(i));
    }
    comment_.SetText(key->GetParam("Comment"));
  }
  bare_key_ = IsBareKeyEntry(store_.entries);
}

int CertificateManager::LoadCertBySubject(const char* subject) {
  store_.Reset();
  bare_key_ = false;
  int rc = subject_.SetText(subject ? subject : "");
  if (rc != kOk || subject_.empty()) return rc;
  LogStoreContent(*this, store_bytes_.data(), store_bytes_.length(), "Store content");
  store_.log_enabled = log_level() >= kLogInfo;
  rc = store_.Open(store_bytes_.data(), store_bytes_.length(), password_.c_str(), subject_.c_str(),
                   store_type_);
  if (!store_.log.empty()) LogAtLevel(kLogInfo, store_.log.c_str(), "Info");
  if (rc == kErrStoreCertNotFound) {
    SetErrorText(kCertNotFound);
    set_error_code(rc);
    return rc;
  }
  if (rc != kOk) {
    SetErrorText(store_.error_text.c_str());
    set_error_code(rc);
    return rc;
  }
  if (store_.entries.entries.Count() > 0) {
    if (store_type_ == cstAuto) store_type_ = store_.store_type;
    rc = requested_subject_.Assign(store_.subject);
    TakeSelectionAttributes();
  }
  return rc;
}

int CertificateManager::LoadEncodedCert(const void* text, int length) {
  store_.Reset();
  bare_key_ = false;
  if (text == nullptr || length <= 0) return kOk;
  int rc = kOk;
  bool found = false;
  if (!store_bytes_.empty() && strcasecmp(store_bytes_.c_str(), "MY") == 0) {
    LogStoreContent(*this, store_bytes_.data(), store_bytes_.length(), "Store content");
    rc = store_.Open(store_bytes_.data(), store_bytes_.length(), password_.c_str(), "*", store_type_);
    if (rc != kOk) {
      SetErrorText(store_.error_text.c_str());
      set_error_code(rc);
      return rc;
    }
    const int index = store_.FindEncodedCertificate(text, length);
    if (index >= 0) {
      store_.entries.selected = index;
      found = true;
    }
  }
  if (!found) {
    LogStoreContent(*this, text, length, "Encoded certificate content");
    store_.Reset();
    rc = store_.Open(text, length, "", "*", cstPEMKeyBlob);
    if (rc != kOk) {
      SetErrorText(store_.error_text.c_str());
      set_error_code(rc);
      return rc;
    }
  }
  if (store_.entries.entries.Count() > 0) TakeSelectionAttributes();
  return kOk;
}

const char* CertificateManager::GetSelectedSubject() {
  if (bare_key_) return kBareKeySubject;
  if (HasHighBytes(requested_subject_) &&
      ValidUtf8(requested_subject_.bytes(), requested_subject_.length())) {
    Utf8ToLatin1(requested_subject_);
  }
  return requested_subject_.c_str();
}

const char* CertificateManager::GetCertificateIssuer() const {
  return bare_key_ ? kBareKeySubject : GetIssuerText(store_.entries);
}

const char* CertificateManager::GetKeyAlgorithm() const {
  const KeyPair* key = SelectedKey();
  if (!key) return "";
  for (const KeyAlgorithmName& k : kKeyAlgorithms) {
    if (k.type == key->type) return k.name;
  }
  return "";
}

int CertificateManager::GetRsaKey(RsaKeyData* out, bool public_only) {
  const KeyPair* key = SelectedKey();
  if (!key) return SetErrorTextCode(kErrManagerNoSelection, kNoSelection), kErrManagerNoSelection;
  return key->GetRsa(out, public_only);
}

int CertificateManager::GetDsaKey(DsaKeyData* out, bool public_only) {
  const KeyPair* key = SelectedKey();
  if (!key) return SetErrorTextCode(kErrManagerNoSelection, kNoSelection), kErrManagerNoSelection;
  return key->GetDsa(out, public_only);
}

int CertificateManager::GetEcKey(EcKeyData* out, bool public_only) {
  const KeyPair* key = SelectedKey();
  if (!key) return SetErrorTextCode(kErrManagerNoSelection, kNoSelection), kErrManagerNoSelection;
  return key->GetEc(out, public_only);
}

int CertificateManager::GetEncodedCert(const char** text, int* length) {
  if (key_format_ != 1) return store_.GetEncodedCertificate(text, length);
  encoded_xml_.Reset();
  const Certificate* c = bare_key_ ? nullptr : store_.GetCertificate();
  const int rc = c ? WriteX509DataXml(*c, &encoded_xml_) : kOk;
  *text = encoded_xml_.c_str();
  *length = encoded_xml_.length();
  return rc;
}

int CertificateManager::ExportKeyXml(bool include_private, ByteString* text) {
  text->Reset();
  const KeyPair* key = SelectedKey();
  if (!key) return kOk;
  int rc = kOk;
  if (key->type == kKeyRsa) {
    RsaKeyData rsa;
    rc = key->GetRsa(&rsa, !include_private);
    if (rc == kOk) rc = WriteRsaKeyXml(rsa, include_private, text);
  } else if (key->type == kKeyDsa) {
    DsaKeyData dsa;
    rc = key->GetDsa(&dsa, !include_private);
    if (rc == kOk) rc = WriteDsaKeyXml(dsa, include_private, text);
  }
  if (rc != kOk) text->Reset();
  return rc;
}

const char* CertificateManager::GetPublicKeyXml() {
  ExportKeyXml(false, &public_xml_);
  return public_xml_.c_str();
}

const char* CertificateManager::GetPrivateKeyXml() {
  Wipe(&private_xml_);
  if (store_.HasPrivateKey()) ExportKeyXml(true, &private_xml_);
  return private_xml_.c_str();
}

// The created key's private key text, CR LF, and its public key as PEM; "" without one.
int CertificateManager::CreatedKeyText() {
  Wipe(&created_key_text_);
  const KeyPair* key = created_.SelectedKey();
  if (!key || !key->HasPrivate()) return kOk;
  DerWriter spki;
  ByteString public_pem;
  int rc = WritePrivateKey(*key, true, &created_key_text_);
  if (rc == kOk) rc = created_key_text_.AppendText("\r\n");
  if (rc == kOk) rc = WriteSubjectPublicKeyInfo(*key, &spki);
  if (rc == kOk) rc = PemEncodeBytes("PUBLIC KEY", spki.output(), &public_pem);
  if (rc == kOk) rc = created_key_text_.AppendText(public_pem.c_str());
  if (rc != kOk) Wipe(&created_key_text_);
  return rc;
}

int CertificateManager::FireCertChain(const char* pem, int length, const char* subject,
                                      const char* issuer, const char* serial,
                                      uint32_t error_status, uint32_t info_status) {
  return FireEvent(kEventCertChain, pem, length, subject, issuer, serial, error_status, info_status);
}

int CertificateManager::FireCertList(const char* pem, int length, const char* subject,
                                     const char* issuer, const char* serial, int has_private_key) {
  return FireEvent(kEventCertList, pem, length, subject, issuer, serial, has_private_key);
}

int CertificateManager::FireStoreList(const char* name) { return FireEvent(kEventStoreList, name); }

int CertificateManager::AddListLine(const char* subject, const char* issuer, const char* serial,
                                    const char* last) {
  int rc = list_text_.AppendText(subject);
  for (const char* part : {issuer, serial, last}) {
    if (rc == kOk) rc = list_text_.AppendText("\t");
    if (rc == kOk) rc = list_text_.AppendText(part);
  }
  if (rc == kOk) rc = list_text_.AppendText("\r\n");
  return rc;
}

int CertificateManager::PerformAction(int action) {
  SetErrorText("");
  list_text_.Reset();
  if (action == kActionStop) {
    busy_ = 0;
    return kOk;
  }
  if (busy_ != 0) return SetErrorTextCode(kErrManagerBusy, kBusy), kErrManagerBusy;
  busy_ = action;
  int rc = kOk;
  switch (action) {
    case kActionUserStores:
      rc = ListSystemStores(kSystemStoreCurrentUser);
      break;
    case kActionMachineStores:
      rc = ListSystemStores(kSystemStoreLocalMachine);
      break;
    case kActionListCertificates:
      rc = ListStoreCertificates();
      break;
    case kActionChain:
      rc = BuildChain();
      break;
    default:
      break;
  }
  busy_ = 0;
  if (rc != kOk) set_error_code(rc);
  return rc;
}

int CertificateManager::ListSystemStores(uint32_t location) {
  StoreWalk walk{this, kOk};
  auto each = [](const void* name, win::DWORD, void*, void*, void* arg) -> win::BOOL {
    auto* w = static_cast<StoreWalk*>(arg);
    char text[kStoreNameBytes];
    const int n = win::WideCharToMultiByte(win::CP_ACP, 0, static_cast<const char16_t*>(name), -1, text,
                                           sizeof text, nullptr, nullptr);
    if (n <= 0) return w->manager->busy() != 0;
    text[sizeof text - 1] = '\0';
    w->rc = w->manager->AddStoreName(text);
    return w->rc == kOk && w->manager->busy() != 0;
  };
  if (!Crypt32Call<&win::CertEnumSystemStore>(kCertEnumSystemStore, static_cast<win::DWORD>(location),
                                              static_cast<void*>(nullptr), static_cast<void*>(&walk),
                                              static_cast<win::PFN_CERT_ENUM_SYSTEM_STORE>(each))) {
    SetErrorTextLastError(kEnumFailed);
    return kErrManagerEnumStores;
  }
  return walk.rc;
}

int CertificateManager::AddStoreName(const char* name) {
  int rc = list_text_.AppendText(name);
  if (rc == kOk) rc = list_text_.AppendText("\r\n");
  if (rc == kOk) FireStoreList(name);
  return rc;
}

int CertificateManager::ListStoreCertificates() {
  if (store_type_ == cstSecurityKey) return ListSecurityKey();
  if (store_type_ != cstUser && store_type_ != cstMachine) return ListFileStore();
  win::HCERTSTORE handle = OpenSystemStoreHandle(store_type_, store_bytes_.c_str(), true);
  if (handle == nullptr) {
    SetErrorTextLastError(kStoreNotOpened);
    return kErrStoreNotOpened;
  }
  int rc = kOk;
  for (win::PCCERT_CONTEXT c = nullptr;;) {
    c = NextStoreCertificate(handle, c);
    if (c == nullptr) break;
    if (busy_ == 0) {
      SetErrorTextCode(kErrInterrupted, kInterrupted);
      rc = kErrInterrupted;
    }
    ContextFields f;
    if (rc == kOk) rc = ReadContext(c, &f);
    const int has_key = ContextHasProperty(c, win::CERT_KEY_SPEC_PROP_ID);
    if (rc == kOk) rc = AddListLine(f.subject.c_str(), f.issuer.c_str(), f.serial.c_str(), has_key ? "1" : "0");
    if (rc == kOk) {
      FireCertList(f.pem.c_str(), f.pem.length(), f.subject.c_str(), f.issuer.c_str(), f.serial.c_str(), has_key);
    }
    if (rc != kOk) {
      Crypt32Call<&win::CertFreeCertificateContext>(kCertFreeCertificateContext, c);
      break;
    }
  }
  Crypt32Call<&win::CertCloseStore>(kCertCloseStore, handle, win::DWORD{0});
  return rc;
}

int CertificateManager::ListFileStore() {
  int rc = kOk;
  if (store_.entries.entries.Count() == 0) {
    ByteString subject;
    rc = subject.SetText(GetSelectedSubject());
    if (rc == kOk) {
      rc = store_.Open(store_bytes_.data(), store_bytes_.length(), password_.c_str(), subject.c_str(),
                       store_type_);
    }
    if (rc != kOk) {
      SetErrorText(store_.error_text.c_str());
      return rc;
    }
  }
  const bool has_private = store_.HasPrivateKey();
  for (int i = store_.entries.entries.Count() - 1; i >= 0; --i) {
    const CertEntry* entry = store_.entries.entries.At(i);
    const Certificate* c = entry ? entry->GetCertificate() : nullptr;
    if (!c) continue;
    if (busy_ == 0) return SetErrorTextCode(kErrInterrupted, kInterrupted), kErrInterrupted;
    const int flag = (i == store_.entries.selected && has_private) ? 1 : 0;
    const char* serial = tw::GetSerialNumberHex(c);
    ByteString pem;
    rc = AddListLine(c->tbs.subjectText.c_str(), c->tbs.issuerText.c_str(), serial, flag ? "1" : "0");
    if (rc == kOk) rc = PemEncodeBytes("CERTIFICATE", c->der, &pem);
    if (rc != kOk) return rc;
    FireCertList(pem.c_str(), pem.length(), c->tbs.subjectText.c_str(), c->tbs.issuerText.c_str(),
                 serial, flag);
  }
  return kOk;
}

int CertificateManager::ListSecurityKey() {
  CertEntryList items;
  ByteString error;
  int rc = ReadSecurityKeyItems(store_bytes_.data(), store_bytes_.length(), password_.c_str(), &items, &error);
  if (rc != kOk) {
    SetErrorText(error.c_str());
    return rc;
  }
  for (int i = 0; i < items.entries.Count(); ++i) {
    if (busy_ == 0) return SetErrorTextCode(kErrInterrupted, kInterrupted), kErrInterrupted;
    const CertEntry* entry = items.entries.At(i);
    const CertificateWithKey* item = entry ? entry->certificateWithKey.get() : nullptr;
    if (!item) continue;
    const Certificate& c = item->certificate;
    const int flag = TokenItemHasPrivateKey(*item) ? 1 : 0;
    const char* serial = tw::GetSerialNumberHex(&c);
    rc = AddListLine(c.tbs.subjectText.c_str(), c.tbs.issuerText.c_str(), serial, flag ? "1" : "0");
    if (rc != kOk) return rc;
    FireCertList(store_bytes_.c_str(), store_bytes_.length(), c.tbs.subjectText.c_str(),
                 c.tbs.issuerText.c_str(), serial, flag);
  }
  return kOk;
}

int CertificateManager::FriendlyName(ByteString* out) {
  constexpr win::DWORD kNameBufferBytes = 1000;  // the property's buffer
  win::PCCERT_CONTEXT context = nullptr;
  // No selection, no context or no name: the name is empty.
  if (store_.GetCertificate() == nullptr || GetCertContext(&store_, &context, csp_.c_str()) != kOk) return kOk;
  char16_t name[kNameBufferBytes / sizeof(char16_t)] = {};
  win::DWORD size = kNameBufferBytes;
  if (!Crypt32Call<&win::CertGetCertificateContextProperty>(kCertGetCertificateContextProperty, context,
                                                             win::CERT_FRIENDLY_NAME_PROP_ID,
                                                             static_cast<void*>(name), &size)) {
    return kOk;
  }
  name[std::size(name) - 1] = 0;
  const int n = win::WideCharToMultiByte(win::CP_ACP, 0, name, -1, nullptr, 0, nullptr, nullptr);
  if (n <= 1) return kOk;
  std::vector<char> text(static_cast<size_t>(n));
  win::WideCharToMultiByte(win::CP_ACP, 0, name, -1, text.data(), n, nullptr, nullptr);
  return out->SetText(text.data());
}

int CertificateManager::BuildChain() {
  win::PCCERT_CONTEXT context = nullptr;
  if (bare_key_ || store_.GetCertificate() == nullptr || GetCertContext(&store_, &context, csp_.c_str()) != kOk) {
    return SetErrorTextCode(kErrStoreCertNotFound, kNoCertificate), kErrStoreCertNotFound;
  }
  win::CERT_CHAIN_PARA para{};
  para.cbSize = kChainParaSize;
  win::PCCERT_CHAIN_CONTEXT chain = nullptr;
  // A system store's context brings its own store; content brings the certificates it holds.
  const bool system = store_type_ == cstUser || store_type_ == cstMachine;
  win::HCERTSTORE content = system ? nullptr : ContentStore(store_.entries);
  const bool built = Crypt32Call<&win::CertGetCertificateChain>(
                         kCertGetCertificateChain, static_cast<void*>(nullptr), context, static_cast<void*>(nullptr),
                         content != nullptr ? content : context->hCertStore,
                         static_cast<const win::CERT_CHAIN_PARA*>(&para), uint32_t{0}, static_cast<void*>(nullptr),
                         &chain) != 0;
  if (!built || chain == nullptr) SetErrorTextLastError(kNoChain);
  if (content != nullptr) Crypt32Call<&win::CertCloseStore>(kCertCloseStore, content, win::DWORD{0});
  if (!built || chain == nullptr) return kErrManagerChain;
  int rc = kOk;
  const uint32_t error_status = chain->TrustStatus.dwErrorStatus;
  const uint32_t info_status = chain->TrustStatus.dwInfoStatus;
  ByteString statuses;
  rc = statuses.Format("0x%x\t0x%x", error_status, info_status);
  for (uint32_t s = 0; rc == kOk && s < chain->cChain; ++s) {
    const win::CERT_SIMPLE_CHAIN* simple = chain->rgpChain[s];
    for (uint32_t e = 0; rc == kOk && simple && e < simple->cElement; ++e) {
      const win::CERT_CHAIN_ELEMENT* element = simple->rgpElement[e];
      if (!element || !element->pCertContext) continue;
      ContextFields f;
      rc = ReadContext(element->pCertContext, &f);
      if (rc == kOk) rc = AddListLine(f.subject.c_str(), f.issuer.c_str(), f.serial.c_str(), statuses.c_str());
      if (rc == kOk) {
        rc = FireCertChain(f.pem.c_str(), f.pem.length(), f.subject.c_str(), f.issuer.c_str(), f.serial.c_str(),
                           error_status, info_status);
      }
    }
  }
  Crypt32Call<&win::CertFreeCertificateChain>(kCertFreeCertificateChain, chain);
  return rc;
}

int CertChainManager::FireCertChain(const char* pem, int length, const char* subject,
                                    const char* issuer, const char* serial, uint32_t error_status,
                                    uint32_t info_status) {
  (void)info_status;
  ByteString normal_subject, normal_issuer;
  NormalizeDistinguishedName(subject, &normal_subject);
  NormalizeDistinguishedName(issuer, &normal_issuer);
  int rc = chain_pem.Add(pem, length);
  if (rc == kOk) rc = chain_subjects.AddText(normal_subject.c_str());
  if (rc == kOk) rc = chain_issuers.AddText(normal_issuer.c_str());
  if (rc == kOk) rc = chain_serials.AddText(serial);
  if (rc != kOk) return rc;
  chain_status = error_status;
  if (ignore_flags & kIgnoreTime) chain_status &= ~1u;
  if ((ignore_flags & kIgnoreUntrustedSelfIssued) && std::strcmp(subject, issuer) == 0) {
    chain_status &= ~32u;
  }
  return kOk;
}

bool CertificateManager::ConfigCustomExtension(ConfigRequest& request, const char** answer, int* rc) {
  const bool critical = request.NameIs("CertCustomExtensionCritical");
  const bool oid = request.NameIs("CertCustomExtensionOID");
  const bool value = request.NameIs("CertCustomExtensionValue");
  if (!critical && !oid && !value) return false;
  const int index = request.index();
  if (index < 0 || index >= ext_critical_.length()) {
    SetErrorTextCode(kErrManagerExtensionIndex, kExtensionIndex);
    if (request.is_read() && critical) SetConfigAnswer("False", answer);
    *rc = kErrManagerExtensionIndex;
    return true;
  }
  if (request.is_read()) {
    if (critical) {
      *rc = SetConfigAnswerBool(ext_critical_.bytes()[index] != 0, answer);
    } else if (oid) {
      *rc = SetConfigAnswer(ext_oids_.Get(index), answer);
    } else {
      ByteString hex;
      *rc = AppendHexLower(hex, ext_values_.Get(index), ext_values_.GetLength(index));
      if (*rc == kOk) *rc = SetConfigAnswer(hex.c_str(), answer);
    }
    return true;
  }
  if (critical) {
    ext_critical_.bytes()[index] = request.ValueAsBool() ? 1 : 0;
    *rc = kOk;
  } else if (oid) {
    *rc = ext_oids_.SetAtText(index, request.value().c_str());
  } else {
    ByteString bytes;
    *rc = AppendFromHex(bytes, request.value().c_str());
    if (*rc == kOk) *rc = ext_values_.SetAt(index, bytes.data(), bytes.length());
  }
  return true;
}

int CertificateManager::Config(ConfigRequest& request, const char** answer) {
  int rc = kOk;
  if (ConfigCustomExtension(request, answer, &rc)) return rc;
  if (ConfigTexts<ByteString>(request, answer,
                              {{"CertComment", &comment_},
                               {"CertificateOutputFormat", &output_format_},
                               {"ExportFormat", &export_format_},
                               {"CSP", &csp_},
                               {"CertSignatureAlgorithm", &signature_algorithm_},
                               {"RequestSubjectAltNames", &request_alt_names_},
                               {"CertPublicKeyAlgorithm", &public_key_algorithm_}},
                              &rc)) {
    return rc;
  }
  if (ConfigIntegers(request, answer,
                     {{"CertValidityTime", &validity_time_},
                      {"CertValidityOffset", &validity_offset_},
                      {"CertKeyLength", &key_length_},
                      {"CertKeyType", &key_type_},
                      {"CertUsageFlags", &usage_flags_},
                      {"ImportCertAction", &import_action_},
                      {"KeyFormat", &key_format_},
                      {"ImportCertStoreType", &import_store_type_}},
                     &rc)) {
    return rc;
  }
  if (ConfigSwitches(request, answer,
                     {{"ReplaceKey", &replace_key_},
                      {"PersistPFXKey", &persist_pfx_key_},
                      {"EncodeExportedCert", &encode_exported_cert_}},
                     &rc)) {
    return rc;
  }
  if (ConfigAnswers(request, answer, &rc)) return rc;
  if (socket_ == nullptr) return ComponentBase::Config(request, answer);
  // The root's own names (code page, debug file) stay with this component; the socket part
  // answers the rest.
  ByteString kept_error;
  kept_error.Assign(error_text());
  const int kept_code = error_code();
  rc = ComponentBase::Config(request, answer);
  if (rc != kErrUnknownSetting) return rc;
  SetErrorText(kept_error.c_str());
  set_error_code(kept_code);
  rc = socket_->Config(request, answer);
  if (rc != kOk) SetErrorText(socket_->last_error_text());
  return rc;
}

// The settings whose answers are computed or whose writes do more than store.
bool CertificateManager::ConfigAnswers(ConfigRequest& request, const char** answer, int* rc) {
  const bool read = request.is_read();
  const char* value = request.value().c_str();
  if (request.NameIs("SubjectAltNames") || request.NameIs("CertSubjectAltNames")) {
    if (!read) return *rc = subject_alt_names_.SetText(value), true;
    answer_.Reset();
    *rc = store_.entries.entries.Count() > 0 ? store_.GetSubjectAltNames(false, &answer_) : kOk;
    if (*rc == kOk) *rc = SetConfigAnswer(answer_.c_str(), answer);
    return true;
  }
  if (request.NameIs("CertExtendedKeyUsage")) {
    if (!read) return *rc = extended_key_usage_.SetText(value), true;
    if (!extended_key_usage_.empty()) return *rc = SetConfigAnswer(extended_key_usage_.c_str(), answer), true;
    *rc = ExtendedKeyUsageText(bare_key_ ? nullptr : store_.GetCertificate(), &answer_);
    if (*rc == kOk) *rc = SetConfigAnswer(answer_.c_str(), answer);
    return true;
  }
  if (request.NameIs("CertFriendlyName")) {
    if (!read) return *rc = kErrUnknownSetting, true;
    answer_.Reset();
    *rc = FriendlyName(&answer_);
    if (*rc == kOk) *rc = SetConfigAnswer(answer_.c_str(), answer);
    return true;
  }
  if (request.NameIs("CSRSubjectHex")) {
    if (read) {
      answer_.Reset();
      *rc = AppendHexLower(answer_, csr_subject_.data(), csr_subject_.length());
      if (*rc == kOk) *rc = SetConfigAnswer(answer_.c_str(), answer);
      return true;
    }
    ByteString bytes;
    *rc = AppendFromHex(bytes, value);
    if (*rc == kOk) *rc = csr_subject_.Assign(bytes);
    return true;
  }
  if (request.NameIs("CertCustomExtensionCount")) {
    if (read) return *rc = SetConfigAnswerSigned(ext_critical_.length(), answer), true;
    const int count = request.ValueAsInt();
    if (count < 0) return *rc = SetErrorTextCode(kErrManagerExtensionIndex, kExtensionIndex), *rc = kErrManagerExtensionIndex, true;
    *rc = ext_critical_.Resize(count);
    if (*rc == kOk) *rc = ext_oids_.SetCount(count);
    if (*rc == kOk) *rc = ext_values_.SetCount(count);
    return true;
  }
  if (request.NameIs("CertIsGenerated")) {
    if (!read) return false;
    return *rc = SetConfigAnswerBool(bare_key_, answer), true;
  }
  if (request.NameIs("ExportedCert") || request.NameIs("SavedCert")) {
    if (!read) return false;
    if (HasHighBytes(exported_cert_)) {
      ByteString hex;
      *rc = AppendHexLower(hex, exported_cert_.data(), exported_cert_.length());
      if (*rc == kOk) *rc = exported_cert_.Assign(hex);
      if (*rc != kOk) return true;
    }
    return *rc = SetConfigAnswer(exported_cert_.c_str(), answer), true;
  }
  if (request.NameIs("CSRIgnoredExtensions")) {
    if (read) return false;
    *rc = csr_ignored_.SetCount(0);
    const char* p = value;
    while (*rc == kOk) {
      const char* comma = std::strchr(p, ',');
      const int n = comma ? static_cast<int>(comma - p) : static_cast<int>(std::strlen(p));
      *rc = csr_ignored_.Add(p, n);
      if (!comma) break;
      p = comma + 1;
    }
    return true;
  }
  for (const JwkAttribute& a : kJwkAttributes) {
    if (!request.NameIs(a.setting)) continue;
    if (read) {
      const int at = jwk_names_.Find(a.name, 0);
      return *rc = SetConfigAnswer(at >= 0 ? jwk_values_.Get(at) : "", answer), true;
    }
    *rc = jwk_names_.AddText(a.name);
    if (*rc == kOk) *rc = jwk_values_.AddText(value);
    return true;
  }
  if (request.NameIs("CreatedKey")) {
    if (!read) return false;
    *rc = CreatedKeyText();
    if (*rc == kOk) *rc = SetConfigAnswer(created_key_text_.c_str(), answer);
    return true;
  }
  if (request.NameIs("ImportCertFormat")) {
    if (!read) return false;
    return *rc = SetConfigAnswer("", answer), true;
  }
  if (request.NameIs("CSRKey")) return *rc = SetConfigAnswer("", answer), true;
  if (request.NameIs("LogLevel")) {
    if (read) return *rc = SetConfigAnswerSigned(log_level(), answer), true;
    set_log_level(request.ValueAsInt());
    return *rc = kOk, true;
  }
  return false;
}

int ManagerGetRsaPrivateKey(CertificateManager* m, RsaKeyData* out) { return m ? m->GetRsaKey(out, false) : kOk; }
int ManagerGetRsaPublicKey(CertificateManager* m, RsaKeyData* out) { return m ? m->GetRsaKey(out, true) : kOk; }
int ManagerGetDsaPrivateKey(CertificateManager* m, DsaKeyData* out) { return m ? m->GetDsaKey(out, false) : kOk; }
int ManagerGetDsaPublicKey(CertificateManager* m, DsaKeyData* out) { return m ? m->GetDsaKey(out, true) : kOk; }
int ManagerGetEcPrivateKey(CertificateManager* m, EcKeyData* out) { return m ? m->GetEcKey(out, false) : kOk; }
int ManagerGetEcPublicKey(CertificateManager* m, EcKeyData* out) { return m ? m->GetEcKey(out, true) : kOk; }

}  // namespace tw
