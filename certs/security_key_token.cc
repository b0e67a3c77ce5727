#include "certs/security_key_token.h"

#include <cstring>
#include <string_view>
#include <vector>

#include "crypto/pubkey/ecdsa.h"
#include "crypto/symmetric/hash_engine.h"
#include "foundation/text_conversion.h"
#include "platform/pkcs11_module.h"

namespace tw {

namespace {

using namespace win;

constexpr int kErrStoreOpen = 271;
constexpr int kErrNotFound = 272;
constexpr const char* kBlockBegin = "-----BEGIN SECURITY KEY-----";
constexpr const char* kBlockEnd = "-----END SECURITY KEY-----";
constexpr const char* kNoDllPath = "Please set DllPath first.";
constexpr const char* kNoLogin = "Please login first.";
constexpr const char* kBadDescription = "The certificate store could not be opened (bad token description: %s).";
constexpr const char* kModuleNotLoaded =
    "The certificate store could not be opened (PKCS#11 module %s could not be loaded, error %u).";
constexpr const char* kModuleFailed = "The certificate store could not be opened (%s failed: 0x%lX).";
constexpr const char* kWrongPin = "The certificate store could not be opened (Wrong password).";
constexpr const char* kPinLocked = "The certificate store could not be opened (PIN locked).";
constexpr const char* kNoToken = "The certificate store could not be opened (token not found).";
constexpr const char* kCertNotFound = "Cannot find specified certificate.";
constexpr const char* kKeyNotFound = "The private key of the certificate is not on the token.";

constexpr const char* kTokenKeyUnsupported = "The token key cannot make this kind of signature.";

// By HashId: the DigestInfo prefix of PKCS #1 v1.5, and the PSS hash and MGF1 of the token.
struct TokenHash {
  int hash_id;
  const char* digest_info;  // hex, ends in the OCTET STRING header of the digest
  CK_MECHANISM_TYPE pss_hash;
  CK_ULONG mgf;
};
constexpr TokenHash kTokenHashes[] = {
    {kHashSha1, "3021300906052b0e03021a05000414", CKM_SHA_1, CKG_MGF1_SHA1},
    {kHashSha224, "302d300d06096086480165030402040500041c", CKM_SHA224, CKG_MGF1_SHA224},
    {kHashSha256, "3031300d060960864801650304020105000420", CKM_SHA256, CKG_MGF1_SHA256},
    {kHashSha384, "3041300d060960864801650304020205000430", CKM_SHA384, CKG_MGF1_SHA384},
    {kHashSha512, "3051300d060960864801650304020305000440", CKM_SHA512, CKG_MGF1_SHA512},
    {kHashMd5, "3020300c06082a864886f70d020505000410", 0, 0},
};

constexpr CK_ULONG kFindBatch = 16;
constexpr size_t kMaxObjects = 1024;  // a hostile module cannot make us loop for ever
constexpr CK_ULONG kMaxAttribute = 1 << 20;

struct Field {
  const char* name;
  ByteString TokenDescription::*member;
};
constexpr Field kFields[] = {
    {"DllPath", &TokenDescription::dllPath},         {"Slot", &TokenDescription::slot},
    {"TokenLabel", &TokenDescription::tokenLabel},   {"ObjectLabel", &TokenDescription::objectLabel},
    {"ObjectId", &TokenDescription::objectId},
};

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t' || s.front() == '\r')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

// The lines between the block's begin and end lines; false without a whole block.
bool BlockBody(const void* text, int length, std::string_view* body) {
  if (text == nullptr || length <= 0) return false;
  const std::string_view all(static_cast<const char*>(text), static_cast<size_t>(length));
  const size_t begin = all.find(kBlockBegin);
  if (begin == std::string_view::npos) return false;
  const size_t from = begin + std::strlen(kBlockBegin);
  const size_t end = all.find(kBlockEnd, from);
  if (end == std::string_view::npos) return false;
  *body = all.substr(from, end - from);
  return true;
}

// Token label as the token reports it: 32 bytes padded with blanks.
std::string_view LabelOf(const CK_TOKEN_INFO& info) {
  return Trim(std::string_view(reinterpret_cast<const char*>(info.label), sizeof(info.label)));
}

class Session {
 public:
  explicit Session(ByteString* error_text) : error_(error_text) {}
  ~Session() { Close(); }

  int Open(const TokenDescription& d, const char* pin) {
    if (d.dllPath.empty()) return Fail(kErrStoreOpen, kNoDllPath);
    if (pin == nullptr || *pin == '\0') return Fail(kErrStoreOpen, kNoLogin);
    CK_RV rv = CKR_OK;
    const DWORD loaded = module_.Load(d.dllPath.c_str(), &rv);
    if (loaded != 0) {
      if (rv != CKR_OK) return Module("C_Initialize", rv);
      error_->Format(kModuleNotLoaded, d.dllPath.c_str(), loaded);
      return kErrStoreOpen;
    }
    f_ = module_.functions();
    int rc = FindSlot(d);
    if (rc != kOk) return rc;
    rv = f_->C_OpenSession(slot_, CKF_SERIAL_SESSION, nullptr, nullptr, &session_);
    if (rv != CKR_OK) return Module("C_OpenSession", rv);
    open_ = true;
    std::vector<CK_BYTE> secret(pin, pin + std::strlen(pin));
    rv = f_->C_Login(session_, CKU_USER, secret.data(), static_cast<CK_ULONG>(secret.size()));
    WipeBytes(secret.data(), secret.size());
    if (rv == CKR_PIN_INCORRECT || rv == CKR_PIN_LEN_RANGE) return Fail(kErrStoreOpen, kWrongPin);
    if (rv == CKR_PIN_LOCKED) return Fail(kErrStoreOpen, kPinLocked);
    if (rv != CKR_OK && rv != CKR_USER_ALREADY_LOGGED_IN) return Module("C_Login", rv);
    logged_in_ = rv == CKR_OK;
    return kOk;
  }

  // Handles of the objects of that class, with the CKA_ID and CKA_LABEL filters when given.
  int Find(CK_ULONG object_class, const ByteString& id, const ByteString& label,
           std::vector<CK_OBJECT_HANDLE>* out) {
    out->clear();
    CK_ATTRIBUTE filter[3] = {{CKA_CLASS, &object_class, sizeof(object_class)}};
    CK_ULONG count = 1;
    if (!id.empty()) filter[count++] = {CKA_ID, const_cast<uint8_t*>(id.bytes()), static_cast<CK_ULONG>(id.length())};
    if (!label.empty()) {
      filter[count++] = {CKA_LABEL, const_cast<uint8_t*>(label.bytes()), static_cast<CK_ULONG>(label.length())};
    }
    CK_RV rv = f_->C_FindObjectsInit(session_, filter, count);
    if (rv != CKR_OK) return Module("C_FindObjectsInit", rv);
    CK_OBJECT_HANDLE batch[kFindBatch];
    CK_ULONG found = 0;
    while ((rv = f_->C_FindObjects(session_, batch, kFindBatch, &found)) == CKR_OK && found > 0 &&
           out->size() < kMaxObjects) {
      out->insert(out->end(), batch, batch + (found < kFindBatch ? found : kFindBatch));
    }
    f_->C_FindObjectsFinal(session_);
    return rv == CKR_OK ? kOk : Module("C_FindObjects", rv);
  }

  // One attribute's bytes; an attribute the object lacks reads as empty.
  int Attribute(CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type, ByteString* out) {
    out->Reset();
    CK_ATTRIBUTE a = {type, nullptr, 0};
    CK_RV rv = f_->C_GetAttributeValue(session_, object, &a, 1);
    if (rv != CKR_OK || a.ulValueLen == CK_UNAVAILABLE_INFORMATION) return kOk;
    if (a.ulValueLen > kMaxAttribute) return Fail(kErrStoreOpen, kCertNotFound);
    int rc = out->Resize(static_cast<int>(a.ulValueLen));
    if (rc != kOk) return rc;
    a.pValue = out->bytes();
    rv = f_->C_GetAttributeValue(session_, object, &a, 1);
    if (rv != CKR_OK) return Module("C_GetAttributeValue", rv);
    return out->Resize(static_cast<int>(a.ulValueLen <= static_cast<CK_ULONG>(out->length()) ? a.ulValueLen : 0));
  }

  int Sign(CK_OBJECT_HANDLE key, CK_MECHANISM_TYPE mechanism, const uint8_t* data, size_t n,
           ByteString* signature, void* parameter = nullptr, CK_ULONG parameter_length = 0) {
    CK_MECHANISM m = {mechanism, parameter, parameter_length};
    CK_RV rv = f_->C_SignInit(session_, &m, key);
    if (rv != CKR_OK) return Module("C_SignInit", rv);
    CK_ULONG size = 0;
    auto* input = const_cast<CK_BYTE*>(data);
    rv = f_->C_Sign(session_, input, static_cast<CK_ULONG>(n), nullptr, &size);
    if (rv != CKR_OK) return Module("C_Sign", rv);
    if (size == 0 || size > kMaxAttribute) return Module("C_Sign", rv);
    int rc = signature->Resize(static_cast<int>(size));
    if (rc != kOk) return rc;
    rv = f_->C_Sign(session_, input, static_cast<CK_ULONG>(n), signature->bytes(), &size);
    if (rv != CKR_OK) return Module("C_Sign", rv);
    return signature->Resize(static_cast<int>(size));
  }

  CK_SLOT_ID slot() const { return slot_; }
  const ByteString& token_label() const { return token_label_; }

 private:
  int FindSlot(const TokenDescription& d) {
    CK_ULONG count = 0;
    CK_RV rv = f_->C_GetSlotList(1, nullptr, &count);
    if (rv != CKR_OK) return Module("C_GetSlotList", rv);
    std::vector<CK_SLOT_ID> slots(count);
    if (count > 0) rv = f_->C_GetSlotList(1, slots.data(), &count);
    if (rv != CKR_OK) return Module("C_GetSlotList", rv);
    slots.resize(count < slots.size() ? count : slots.size());
    for (CK_SLOT_ID s : slots) {
      CK_TOKEN_INFO info;
      std::memset(&info, 0, sizeof(info));
      if (f_->C_GetTokenInfo(s, &info) != CKR_OK) continue;
      const std::string_view label = LabelOf(info);
      ByteString slot_text;
      if (slot_text.AppendInt64(static_cast<int64_t>(s)) != kOk) return kErrOutOfMemory;
      if (!d.slot.empty() && !slot_text.Equals(d.slot)) continue;
      if (!d.tokenLabel.empty() && label != std::string_view(d.tokenLabel.c_str())) continue;
      slot_ = s;
      return token_label_.Set(label.data(), static_cast<int>(label.size()));
    }
    return Fail(kErrStoreOpen, kNoToken);
  }

  void Close() {
    if (open_) {
      if (logged_in_) f_->C_Logout(session_);
      f_->C_CloseSession(session_);
    }
    open_ = logged_in_ = false;
    module_.Unload();
  }

  int Fail(int code, const char* text) {
    error_->SetText(text);
    return code;
  }
  int Module(const char* call, CK_RV rv) {
    error_->Format(kModuleFailed, call, rv);
    return kErrStoreOpen;
  }

  ByteString* error_;
  Pkcs11Module module_;
  const CK_FUNCTION_LIST* f_ = nullptr;
  CK_SLOT_ID slot_ = 0;
  CK_SESSION_HANDLE session_ = 0;
  bool open_ = false;
  bool logged_in_ = false;
  ByteString token_label_;
};

int AddProperty(CertificateWithKey* item, const char* name, const ByteString& value) {
  return item->AddProperty(name, value.data(), value.length());
}

int AddNumberProperty(CertificateWithKey* item, const char* name, unsigned long value) {
  ByteString text;
  int rc = text.AppendInt64(static_cast<int64_t>(value));
  return rc != kOk ? rc : AddProperty(item, name, text);
}

}  // namespace

int TokenDescription::Parse(const void* text, int length) {
  std::string_view body;
  if (!BlockBody(text, length, &body)) return kErrStoreOpen;
  while (!body.empty()) {
    const size_t eol = body.find('\n');
    const std::string_view line = Trim(body.substr(0, eol));
    body = eol == std::string_view::npos ? std::string_view() : body.substr(eol + 1);
    if (line.empty()) continue;
    const size_t colon = line.find(':');
    if (colon == std::string_view::npos) return kErrStoreOpen;
    const std::string_view name = Trim(line.substr(0, colon));
    const std::string_view value = Trim(line.substr(colon + 1));
    for (const Field& f : kFields) {
      if (!EqualsNoCase(name, f.name)) continue;
      const int rc = (this->*f.member).Set(value.data(), static_cast<int>(value.size()));
      if (rc != kOk) return rc;
    }
  }
  return kOk;
}

bool HasSecurityKeyBlock(const void* text, int length) {
  std::string_view body;
  return BlockBody(text, length, &body);
}

int ReadSecurityKeyItems(const void* text, int length, const char* pin, CertEntryList* list,
                         ByteString* error_text) {
  TokenDescription d;
  int rc = d.Parse(text, length);
  if (rc == kErrStoreOpen) {
    error_text->Format(kBadDescription, "expected Name: value lines");
    return rc;
  }
  ByteString object_id;
  if (rc == kOk && AppendFromHex(object_id, d.objectId.c_str()) != kOk) {
    error_text->Format(kBadDescription, "ObjectId is not hex");
    return kErrStoreOpen;
  }
  if (rc != kOk) return rc;
  Session session(error_text);
  rc = session.Open(d, pin);
  if (rc != kOk) return rc;
  std::vector<CK_OBJECT_HANDLE> certs;
  rc = session.Find(CKO_CERTIFICATE, object_id, d.objectLabel, &certs);
  if (rc != kOk) return rc;
  int added = 0;
  for (CK_OBJECT_HANDLE handle : certs) {
    ByteString der, id, label;
    rc = session.Attribute(handle, CKA_VALUE, &der);
    if (rc == kOk) rc = session.Attribute(handle, CKA_ID, &id);
    if (rc == kOk) rc = session.Attribute(handle, CKA_LABEL, &label);
    if (rc != kOk) return rc;
    CertificateWithKey item;
    // Certificates the token holds in forms we cannot read are passed over.
    if (der.empty() || ParseCertificateDer(der.data(), der.length(), &item.certificate) != kOk) continue;
    rc = item.key.CopyFrom(item.certificate.tbs.publicKey);
    std::vector<CK_OBJECT_HANDLE> keys;
    if (rc == kOk && !id.empty()) rc = session.Find(CKO_PRIVATE_KEY, id, ByteString(), &keys);
    ByteString id_hex, slot;
    if (rc == kOk) rc = AppendHexLower(id_hex, id.data(), id.length());
    if (rc == kOk) rc = slot.AppendInt64(static_cast<int64_t>(session.slot()));
    if (rc == kOk) rc = AddProperty(&item, kPkcs11DllPath, d.dllPath);
    if (rc == kOk) rc = AddProperty(&item, kPkcs11SlotId, slot);
    if (rc == kOk) rc = AddProperty(&item, kPkcs11TokenLabel, session.token_label());
    if (rc == kOk) rc = AddProperty(&item, kPkcs11ObjectId, id_hex);
    if (rc == kOk) rc = AddProperty(&item, kPkcs11ObjectLabel, label);
    if (rc == kOk) rc = AddNumberProperty(&item, kPkcs11CertHandle, handle);
    if (rc == kOk) rc = AddNumberProperty(&item, kPkcs11PrivateKeyHandle, keys.empty() ? 0 : keys[0]);
    CertEntry entry;
    if (rc == kOk) rc = entry.SetCertificateWithKey(std::move(item));
    if (rc == kOk) rc = list->Append(&entry);
    if (rc != kOk) return rc;
    ++added;
  }
  if (added == 0) {
    error_text->SetText(kCertNotFound);
    return kErrNotFound;
  }
  return kOk;
}

bool TokenItemHasPrivateKey(const CertificateWithKey& item) {
  ByteString handle;
  return item.GetProperty(kPkcs11PrivateKeyHandle, &handle) == kOk && !handle.empty() &&
         !handle.EqualsBytes("0", -1);
}

namespace {

// Opens the token of the item and signs with its key.
int SignOnToken(const CertificateWithKey& item, const char* pin, CK_MECHANISM_TYPE mechanism, void* parameter,
                CK_ULONG parameter_length, const uint8_t* data, size_t n, ByteString* signature,
                ByteString* error_text) {
  signature->Reset();
  TokenDescription d;
  ByteString id_hex, id;
  item.GetProperty(kPkcs11DllPath, &d.dllPath);
  item.GetProperty(kPkcs11TokenLabel, &d.tokenLabel);
  // The label picks the token again even when the module numbers its slots differently now.
  if (d.tokenLabel.empty()) item.GetProperty(kPkcs11SlotId, &d.slot);
  item.GetProperty(kPkcs11ObjectId, &id_hex);
  int rc = AppendFromHex(id, id_hex.c_str());
  if (rc != kOk || id.empty() || !TokenItemHasPrivateKey(item)) {
    error_text->SetText(kKeyNotFound);
    return kErrNotFound;
  }
  Session session(error_text);
  rc = session.Open(d, pin);
  if (rc != kOk) return rc;
  std::vector<CK_OBJECT_HANDLE> keys;
  rc = session.Find(CKO_PRIVATE_KEY, id, ByteString(), &keys);
  if (rc != kOk) return rc;
  if (keys.empty()) {
    error_text->SetText(kKeyNotFound);
    return kErrNotFound;
  }
  return session.Sign(keys[0], mechanism, data, n, signature, parameter, parameter_length);
}

}  // namespace

int SignWithSecurityKey(const CertificateWithKey& item, const char* pin, unsigned long mechanism,
                        const uint8_t* data, size_t n, ByteString* signature,
                        ByteString* error_text) {
  return SignOnToken(item, pin, mechanism, nullptr, 0, data, n, signature, error_text);
}

int SignDigestWithSecurityKey(const CertificateWithKey& item, const char* pin, int hash_id, bool pss,
                              const uint8_t* digest, size_t n, ByteString* signature,
                              ByteString* error_text) {
  signature->Reset();
  const TokenHash* hash = nullptr;
  for (const TokenHash& h : kTokenHashes) {
    if (h.hash_id == hash_id) hash = &h;
  }
  const int32_t type = item.key.type;
  if (type == kKeyEc || type == kKeyDsa) {
    ByteString raw;
    int rc = SignOnToken(item, pin, type == kKeyEc ? kMechanismEcdsa : CKM_DSA, nullptr, 0, digest, n, &raw,
                         error_text);
    return rc != kOk ? rc : EcdsaSignatureRawToDer(raw, *signature);
  }
  if (type != kKeyRsa || (hash == nullptr && (pss || hash_id != kHashMd5Sha1)) ||
      (pss && hash->pss_hash == 0)) {
    error_text->SetText(kTokenKeyUnsupported);
    return kErrTokenKeyUnsupported;
  }
  if (pss) {
    CK_RSA_PKCS_PSS_PARAMS params = {hash->pss_hash, hash->mgf, static_cast<CK_ULONG>(n)};
    return SignOnToken(item, pin, CKM_RSA_PKCS_PSS, &params, sizeof(params), digest, n, signature, error_text);
  }
  ByteString input;
  int rc = hash != nullptr ? AppendFromHex(input, hash->digest_info) : kOk;
  if (rc == kOk) rc = input.Append(digest, static_cast<int>(n));
  return rc != kOk ? rc : SignOnToken(item, pin, CKM_RSA_PKCS, nullptr, 0, input.bytes(), input.length(), signature,
                                      error_text);
}

}  // namespace tw
