#include "certs/cert_store.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "certs/distinguished_name.h"
#include "certs/jwk_key.h"
#include "certs/key_xml.h"
#include "certs/pem_armor.h"
#include "certs/pkcs12_container.h"
#include "certs/pkcs7_content.h"
#include "certs/private_key_reader.h"
#include "certs/putty_key.h"
#include "certs/security_key_token.h"
#include "certs/ssh_public_key.h"
#include "foundation/file_handle.h"
#include "foundation/text_conversion.h"
#include "certs/system_cert_store.h"

namespace tw {

namespace {

constexpr const char* kNotOpened = "The certificate store could not be opened (0x2).";
constexpr const char* kWrongPassword = "The certificate store could not be opened (Wrong password).";
constexpr const char* kTypeMismatch = "The certificate store could not be opened (0x80092002).";
constexpr const char* kCertNotFound = "Cannot find specified certificate.";
constexpr const char* kPpkWrongPassword = "Error decoding key: The specified password is not correct.";

constexpr const char* kLogFile = "Input data is a file: %s\r\n";
constexpr const char* kLogPemOk = "Parsed PEM input data successfully.\r\n";
constexpr const char* kLogPemTag = "PEM tag: %s\r\n";
constexpr const char* kLogPemUnknown = "Unknown PEM tag (%s) was ignored.\r\n";
constexpr const char* kLogSuccess = "Successfully parsed %s\r\n";
constexpr const char* kLogFailure = "Failed to parse %s\r\n";
constexpr const char* kLogTypeStore = "Certificate Store";

constexpr int kErrNoReader = -1;
constexpr const char* kPemCertificate = "CERTIFICATE";

// The binary and plain-text readers, in the order they are tried.
enum class BinaryKind { kPfx, kX509, kP7b, kXml, kPpk, kJwk, kSshPublic };
struct BinaryReader {
  BinaryKind kind;
  int32_t file_type;
  int32_t blob_type;
  const char* success;
  const char* failure;
};
constexpr BinaryReader kBinaryReaders[] = {
    {BinaryKind::kPfx, cstPFXFile, cstPFXBlob, "Successfully parsed binary ASN.1 input data as PFX certificate.\r\n",
     "Failed to parse binary ASN.1 input data as PFX certificate.\r\n"},
    {BinaryKind::kX509, cstPEMKeyFile, cstPEMKeyBlob,
     "Successfully parsed binary ASN.1 input data as X509 certificate.\r\n",
     "Failed to parse binary ASN.1 input data as X509 certificate.\r\n"},
    {BinaryKind::kP7b, cstP7BFile, cstP7BBlob, "Successfully parsed binary ASN.1 input data as P7B certificate.\r\n",
     "Failed to parse binary ASN.1 input data as P7B certificate.\r\n"},
    {BinaryKind::kXml, cstXMLFile, cstXMLBlob, "Successfully parsed ASCII input data as XML.\r\n",
     "Failed to parse ASCII input data as XML.\r\n"},
    {BinaryKind::kPpk, cstPPKFile, cstPPKBlob, "Successfully parsed ASCII input data as PPK.\r\n",
     "Failed to parse ASCII input data as PPK.\r\n"},
    {BinaryKind::kJwk, cstJWKFile, cstJWKBlob, "Successfully parsed ASCII input data as JWK.\r\n",
     "Failed to parse ASCII input data as JWK.\r\n"},
    {BinaryKind::kSshPublic, cstSSHPublicKeyFile, cstSSHPublicKeyBlob,
     "Successfully parsed ASCII input data as Openssh public key.\r\n",
     "Failed to parse ASCII input data as Openssh public key.\r\n"},
};

enum class PemKind {
  kP7b, kCertificate, kSsh2Private, kSsh2Public, kOpenSshPrivate, kPkcs8, kEncryptedPkcs8,
  kPublicKey, kRsaPrivate, kDsaPrivate, kEcPrivate, kRsaPublic, kDsaPublic,
};
struct PemLabel {
  const char* label;
  PemKind kind;
  const char* what;  // the middle of the log lines
};
constexpr PemLabel kPemLabels[] = {
    {"PKCS7", PemKind::kP7b, "PEM(PKCS7) as P7B certificate."},
    {"PKCS #7 SIGNED DATA", PemKind::kP7b, "PEM(PKCS7) as P7B certificate."},
    {"CERTIFICATE", PemKind::kCertificate, "PEM(CERTIFICATE) as X509 certificate."},
    {"SSH2 ENCRYPTED PRIVATE KEY", PemKind::kSsh2Private, "PEM(SSH2 ENCRYPTED PRIVATE KEY) as KeyStore."},
    {"SSH2 PUBLIC KEY", PemKind::kSsh2Public, "PEM(SSH2 PUBLIC KEY) as KeyStore."},
    {"OPENSSH PRIVATE KEY", PemKind::kOpenSshPrivate, "PEM(OPENSSH PRIVATE KEY) as KeyStore."},
    {"ENCRYPTED PRIVATE KEY", PemKind::kEncryptedPkcs8, "PEM(PRIVATE KEY) as KeyStore."},
    {"PRIVATE KEY", PemKind::kPkcs8, "PEM(PRIVATE KEY) as KeyStore."},
    {"PUBLIC KEY", PemKind::kPublicKey, "PEM(PUBLIC KEY) as KeyStore."},
    {"RSA PRIVATE KEY", PemKind::kRsaPrivate, "PEM(RSA PRIVATE KEY) as KeyStore."},
    {"DSA PRIVATE KEY", PemKind::kDsaPrivate, "PEM(DSA PRIVATE KEY) as KeyStore."},
    {"EC PRIVATE KEY", PemKind::kEcPrivate, "PEM(EC PRIVATE KEY) as KeyStore."},
    {"RSA PUBLIC KEY", PemKind::kRsaPublic, "PEM(RSA PUBLIC KEY) as KeyStore."},
    {"DSA PUBLIC KEY", PemKind::kDsaPublic, "PEM(DSA PUBLIC KEY) as KeyStore."},
};
constexpr const char* kSecurityKeyTag = "SECURITY KEY";
constexpr const char* kSecurityKeyWhat = "PEM(SECURITY KEY) as PKCS#11 Certificate.";

void Wipe(ByteString& s) { WipeBytes(s.bytes(), static_cast<size_t>(s.length())); }

struct Wiper {
  ByteString& s;
  ~Wiper() { Wipe(s); }
};

void Log(ByteString* log, const char* format, const char* arg) {
  if (log != nullptr) log->AppendFormat(format, arg);
}

bool IsPrivateKeyKind(PemKind kind) {
  return kind == PemKind::kPkcs8 || kind == PemKind::kEncryptedPkcs8 || kind == PemKind::kRsaPrivate ||
         kind == PemKind::kDsaPrivate || kind == PemKind::kEcPrivate;
}

int AddCertificateEntry(CertEntryList* list, Certificate&& certificate) {
  CertEntry entry;
  const int rc = entry.SetCertificate(std::move(certificate));
  return rc != kOk ? rc : list->Append(&entry);
}

int AddKeyEntry(CertEntryList* list, KeyPair&& key) {
  CertEntry entry;
  const int rc = entry.SetKey(std::move(key));
  return rc != kOk ? rc : list->Append(&entry);
}

// Whether the name (of at most 1023 bytes, without NUL) is a readable regular file.
bool NamesReadableFile(const uint8_t* data, int length, ByteString* name) {
  if (length <= 0 || length >= kStoreFileNameLimit) return false;
  if (std::memchr(data, 0, static_cast<size_t>(length)) != nullptr) return false;
  if (name->Set(data, length) != kOk) return false;
  struct stat st;
  return ::stat(name->c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(name->c_str(), R_OK) == 0;
}

class ContentParser {
 public:
  ContentParser(CertEntryList* list, const char* password, ByteString* log, ByteString* error_text)
      : list_(list), password_(password ? password : ""), log_(log), error_(error_text) {}

  int Parse(const uint8_t* data, int n, bool from_file, int32_t* detected);

 private:
  int Fail(int code, const char* text) {
    error_->SetText(text);
    return code;
  }
  int32_t TypeOf(int32_t file_type, int32_t blob_type) const { return from_file_ ? file_type : blob_type; }
  int ParseBinary(const uint8_t* data, int n, int32_t* detected);
  int ReadBinary(BinaryKind kind, const ByteString& der);
  int ReadXml(const ByteString& text);
  int ParsePem(const uint8_t* data, int n, const StringList& labels, const StringList& headers,
               const StringList& bodies, int32_t* detected);
  int JoinKeptPair(int32_t* detected);

  CertEntryList* list_;
  const char* password_;
  ByteString* log_;
  ByteString* error_;
  bool from_file_ = false;
  Certificate kept_cert_;
  KeyPair kept_key_;
  bool have_cert_ = false;
  bool have_key_ = false;
};

int ContentParser::Parse(const uint8_t* data, int n, bool from_file, int32_t* detected) {
  from_file_ = from_file;
  if (HasSecurityKeyBlock(data, n)) {
    Log(log_, kLogPemOk, "");
    Log(log_, kLogPemTag, kSecurityKeyTag);
    const int rc = ReadSecurityKeyItems(data, n, password_, list_, error_);
    Log(log_, rc == kOk ? kLogSuccess : kLogFailure, kSecurityKeyWhat);
    if (rc == kOk) *detected = cstSecurityKey;
    return rc;
  }
  StringList labels, headers, bodies;
  const bool pem = IsPemText(data, n) && ReadPemBlocks(data, n, &labels, &headers, &bodies, nullptr) == kOk;
  int rc = pem ? ParsePem(data, n, labels, headers, bodies, detected) : ParseBinary(data, n, detected);
  // The decoded bodies may hold private keys.
  const ByteString& packed = bodies.packed();
  WipeBytes(const_cast<uint8_t*>(packed.bytes()), static_cast<size_t>(packed.length()));
  return rc;
}

int ContentParser::ReadBinary(BinaryKind kind, const ByteString& der) {
  if (kind == BinaryKind::kPfx) {
    Pkcs12Container pfx;
    ByteString secret;
    int rc = secret.SetText(password_);
    if (rc == kOk) rc = ReadPfx(der.data(), der.length(), secret, &pfx);
    Wipe(secret);
    if (rc != kOk) return rc;
    CertEntry entry;
    rc = entry.SetPfx(std::move(pfx));
    return rc != kOk ? rc : list_->Append(&entry);
  }
  if (kind == BinaryKind::kP7b) {
    P7bContainer p7b;
    int rc = ReadP7b(der.data(), der.length(), &p7b);
    CertEntry entry;
    if (rc == kOk) rc = entry.SetP7b(std::move(p7b));
    return rc != kOk ? rc : list_->Append(&entry);
  }
  if (kind == BinaryKind::kXml) return ReadXml(der);
  if (kind == BinaryKind::kPpk || kind == BinaryKind::kJwk || kind == BinaryKind::kSshPublic) {
    KeyPair key;
    int rc = kind == BinaryKind::kPpk  ? ReadPuttyPrivateKey(&key, der.c_str(), der.length(), password_, error_)
             : kind == BinaryKind::kJwk ? ReadJwk(&key, der.c_str())
                                        : ReadSshPublicKey(der.data(), der.length(), &key);
    return rc != kOk ? rc : AddKeyEntry(list_, std::move(key));
  }
  if (kind != BinaryKind::kX509) return kErrNoReader;
  Certificate certificate;
  int rc = ParseCertificateDer(der.data(), der.length(), &certificate);
  return rc != kOk ? rc : AddCertificateEntry(list_, std::move(certificate));
}

// The certificates in order, then the keys.
int ContentParser::ReadXml(const ByteString& text) {
  KeyPairArray keys;
  CertificateArray certificates;
  int rc = ReadXmlKeys(text.c_str(), text.length(), &keys, &certificates);
  if (rc == kOk && keys.Count() + certificates.Count() == 0) rc = kErrXmlKeyNone;
  for (int i = 0; rc == kOk && i < certificates.Count(); ++i) {
    rc = AddCertificateEntry(list_, std::move(*certificates.At(i)));
  }
  for (int i = 0; rc == kOk && i < keys.Count(); ++i) {
    KeyPair key;
    rc = key.CopyFrom(*keys.At(i));
    if (rc == kOk) rc = AddKeyEntry(list_, std::move(key));
  }
  return rc;
}

int ContentParser::ParseBinary(const uint8_t* data, int n, int32_t* detected) {
  ByteString der;
  Wiper wipe{der};
  int rc = der.Set(data, n);
  if (rc != kOk) return rc;
  if (LooksLikeBase64(der.c_str(), der.length()) && DecodeBase64(der, false, true, true) < 0) {
    return Fail(kErrStoreNotOpened, kNotOpened);
  }
  for (const BinaryReader& r : kBinaryReaders) {
    rc = ReadBinary(r.kind, der);
    if (rc == kOk) {
      Log(log_, "%s", r.success);
      *detected = TypeOf(r.file_type, r.blob_type);
      return kOk;
    }
    if (rc == kErrOutOfMemory) return rc;
    Log(log_, "%s", r.failure);
    if (r.kind == BinaryKind::kPfx && rc == kErrPfxWrongPassword) return Fail(kErrStoreNotOpened, kWrongPassword);
    if (r.kind == BinaryKind::kPpk && error_->EqualsBytes(kPpkWrongPassword, -1)) return rc;
    list_->entries.Clear();
  }
  return Fail(kErrStoreNotOpened, kNotOpened);
}

int ContentParser::ParsePem(const uint8_t* data, int n, const StringList& labels, const StringList& headers,
                            const StringList& bodies, int32_t* detected) {
  Log(log_, kLogPemOk, "");
  bool p7b_found = false;
  for (int i = 0; i < labels.Count(); ++i) {
    const char* label = labels.Get(i);
    Log(log_, kLogPemTag, label);
    const PemLabel* known = nullptr;
    for (const PemLabel& l : kPemLabels) {
      if (std::strcmp(l.label, label) == 0) known = &l;
    }
    if (known == nullptr) {
      Log(log_, kLogPemUnknown, label);
      continue;
    }
    ByteString der;
    Wiper wipe{der};
    int rc = der.Set(bodies.Get(i), bodies.GetLength(i));
    if (rc != kOk) return rc;
    bool parsed = false;
    if (known->kind == PemKind::kCertificate) {
      Certificate certificate;
      parsed = ParseCertificateDer(der.data(), der.length(), &certificate) == kOk;
      if (parsed && !have_cert_) {
        rc = kept_cert_.CopyFrom(certificate);
        have_cert_ = rc == kOk;
      }
      if (parsed && rc == kOk) rc = AddCertificateEntry(list_, std::move(certificate));
    } else if (known->kind == PemKind::kP7b) {
      P7bContainer p7b;
      parsed = ReadP7b(der.data(), der.length(), &p7b) == kOk;
      CertEntry entry;
      if (parsed) rc = entry.SetP7b(std::move(p7b));
      if (parsed && rc == kOk) rc = list_->Append(&entry);
      if (parsed && rc == kOk) p7b_found = true;
    } else {
      KeyPair key;
      parsed = ReadPemKeyBlock(label, headers.Get(i), der, password_, &key) == kOk;
      // Only a key that was read can be joined with the certificate.
      if (parsed && !have_key_ && IsPrivateKeyKind(known->kind)) {
        rc = kept_key_.CopyFrom(key);
        have_key_ = rc == kOk;
      }
      if (parsed && rc == kOk) rc = AddKeyEntry(list_, std::move(key));
    }
    if (rc != kOk) return rc;
    Log(log_, parsed ? kLogSuccess : kLogFailure, known->what);
  }
  if (list_->entries.Count() == 0) return Fail(kErrStoreNotOpened, kNotOpened);
  *detected = p7b_found ? TypeOf(cstP7BFile, cstP7BBlob) : TypeOf(cstPEMKeyFile, cstPEMKeyBlob);
  if (labels.Count() >= 2 && have_cert_ && have_key_) return JoinKeptPair(detected);
  return kOk;
}

// The certificate and key of one PEM text become one container, the key with the certificate it
// belongs to; the content's other certificates (its chain) stay in the container after it.
int ContentParser::JoinKeptPair(int32_t* detected) {
  Pkcs12Container pfx;
  int owner = -1;
  for (int i = 0; i < list_->entries.Count() && owner < 0; ++i) {
    const CertEntry* e = list_->entries.At(i);
    if (e->certificate && SamePublicKey(kept_key_, e->certificate->tbs.publicKey)) owner = i;
  }
  CertificateWithKey joined;
  int rc = kOk;
  if (owner >= 0) {
    joined.certificate = std::move(*list_->entries.At(owner)->certificate);
  } else {
    rc = joined.certificate.CopyFrom(kept_cert_);
  }
  if (rc == kOk) rc = joined.key.CopyFrom(kept_key_);
  if (rc == kOk) rc = pfx.certificates.InsertCopy(0, joined);
  if (rc == kOk) rc = pfx.certLocalKeyIds.AddText("");
  if (rc == kOk) rc = pfx.certFriendlyNames.AddText("");
  // Without an owner the key went with the first certificate, which is the one kept aside.
  bool first_joined = owner >= 0;
  for (int i = 0; rc == kOk && i < list_->entries.Count(); ++i) {
    CertEntry* e = list_->entries.At(i);
    if (i == owner || !e->certificate) continue;
    if (!first_joined) {
      first_joined = true;
      continue;
    }
    CertificateWithKey chain;
    chain.certificate = std::move(*e->certificate);
    rc = pfx.certificates.InsertCopy(pfx.certificates.Count(), chain);
    if (rc == kOk) rc = pfx.certLocalKeyIds.AddText("");
    if (rc == kOk) rc = pfx.certFriendlyNames.AddText("");
  }
  if (rc != kOk) return rc;
  pfx.selected = 0;
  rc = pfx.password.SetText(password_);
  if (rc != kOk) return rc;
  list_->entries.Clear();
  CertEntry entry;
  rc = entry.SetPfx(std::move(pfx));
  if (rc == kOk) rc = list_->Append(&entry);
  if (rc == kOk) *detected = TypeOf(cstPEMKeyFile, cstPEMKeyBlob);
  return rc;
}


const char* SubjectOf(const Certificate* c) { return c != nullptr ? c->tbs.subjectText.c_str() : ""; }

}  // namespace

namespace {

int ParseInput(CertEntryList* list, const void* data, int length, const char* password, bool allow_file,
               ByteString* log, bool* from_file, int32_t* detected_type, ByteString* error_text) {
  list->Clear();
  *from_file = false;
  *detected_type = 0;
  if (data == nullptr) length = 0;
  if (length < 0) length = static_cast<int>(std::strlen(static_cast<const char*>(data)));
  const auto* bytes = static_cast<const uint8_t*>(data);
  ByteString name;
  int rc = kOk;
  if (allow_file && NamesReadableFile(bytes, length, &name)) {
    Log(log, kLogFile, name.c_str());
    rc = ReadFileToString(name.c_str(), list->content);
    if (rc != kOk) return rc;
    *from_file = true;
    rc = list->filePath.Assign(name);
  } else {
    rc = list->content.Set(bytes, length);
  }
  if (rc == kOk) rc = list->password.SetText(password ? password : "");
  if (rc != kOk) return rc;
  if (list->content.empty()) {
    error_text->SetText(kNotOpened);
    return kErrStoreNotOpened;
  }
  ContentParser parser(list, password, log, error_text);
  int32_t detected = 0;
  rc = parser.Parse(list->content.bytes(), list->content.length(), *from_file, &detected);
  if (rc != kOk) return rc;
  list->detectedType = detected;
  *detected_type = detected;
  return kOk;
}

}  // namespace

int ParseStoreContent(CertEntryList* list, const void* data, int length, const char* password,
                      ByteString* log, bool* from_file, int32_t* detected_type,
                      ByteString* error_text) {
  return ParseInput(list, data, length, password, true, log, from_file, detected_type, error_text);
}

int ParseStoreBytes(CertEntryList* list, const void* data, int length, const char* password,
                    ByteString* log, int32_t* detected_type, ByteString* error_text) {
  bool from_file = false;
  return ParseInput(list, data, length, password, false, log, &from_file, detected_type, error_text);
}

int SelectEntryBySubject(CertEntryList* list, const char* subject) {
  if (subject == nullptr) subject = "";
  int rc = list->subject.SetText(subject);
  if (rc != kOk) return rc;
  const int count = list->entries.Count();
  if (count == 0) return kOk;
  const bool any = *subject == '\0' || std::strcmp(subject, "*") == 0;
  if (any) list->selected = 0;
  if (count == 1) {
    list->selected = 0;
    CertEntry* e = list->entries.At(0);
    StringList subjects;
    if (e->pfx) {
      for (int i = 0; rc == kOk && i < e->pfx->certificates.Count(); ++i) {
        rc = subjects.AddText(SubjectOf(&e->pfx->certificates.At(i)->certificate));
      }
    } else if (e->p7b) {
      for (int i = 0; rc == kOk && i < e->p7b->certificates.Count(); ++i) {
        rc = subjects.AddText(SubjectOf(&e->p7b->certificates.At(i)->certificate));
      }
    } else {
      return list->subject.SetText(SubjectOf(e->GetCertificate()));
    }
    if (rc != kOk) return rc;
    const int found = FindSubjectIndex(subjects, subject);
    if (found < 0) return kErrStoreCertNotFound;
    (e->pfx ? e->pfx->selected : e->p7b->selected) = found;
    return list->subject.SetText(subjects.Get(found));
  }
  StringList subjects;
  for (int i = 0; rc == kOk && i < count; ++i) {
    rc = subjects.AddText(SubjectOf(list->entries.At(i)->GetCertificate()));
  }
  if (rc != kOk) return rc;
  const int found = FindSubjectIndex(subjects, subject);
  if (found < 0) {
    // Nothing asked for in a list of bare keys: the first entry stays selected.
    return any ? kOk : kErrStoreCertNotFound;
  }
  list->selected = found;
  return list->subject.SetText(subjects.Get(found));
}

int StoreTypesMatch(int32_t requested, int32_t detected) {
  if (requested == cstUser || requested == cstMachine) return kOk;
  if (requested < cstPFXFile || requested > cstSecurityKey) return kErrStoreNotOpened;
  auto group = [](int32_t t) -> int32_t {
    if (t == cstPEMKeyFile || t == cstPublicKeyFile || t == cstSSHPublicKeyFile) return cstPEMKeyFile;
    if (t == cstPEMKeyBlob || t == cstPublicKeyBlob || t == cstSSHPublicKeyBlob) return cstPEMKeyBlob;
    return t;
  };
  return group(requested) == group(detected) ? kOk : kErrStoreNotOpened;
}

CertStore::~CertStore() { Reset(); }

int CertStore::Fail(int code, const char* text) {
  error_text.SetText(text);
  return code;
}

void CertStore::Reset() {
  store_type = cstUser;
  Wipe(store);
  store.Reset();
  Wipe(password);
  password.Reset();
  subject.Reset();
  entries.Clear();
  selected = Certificate();
  pem_.Reset();
  error_text.Reset();
  log.Reset();
  platform.Release();
}

int CertStore::Open(const void* store_bytes, int length, const char* password_text, const char* wanted,
                    int32_t type) {
  Reset();
  if (store_bytes == nullptr) length = 0;
  if (length < 0) length = static_cast<int>(std::strlen(static_cast<const char*>(store_bytes)));
  int rc = store.Set(store_bytes, length);
  if (rc == kOk) rc = password.SetText(password_text ? password_text : "");
  if (rc != kOk) return rc;
  store_type = type;
  rc = SelectCertificate(wanted);
  if (rc == kOk && type != cstAuto && CheckStoreTypeMatches(type) != kOk) {
    return Fail(kErrStoreNotOpened, kTypeMismatch);
  }
  return rc;
}

int CertStore::SelectCertificate(const char* wanted) {
  if (wanted == nullptr) wanted = "";
  // The text may be our own subject field.
  std::string request(wanted);
  int rc = subject.SetText(request.c_str());
  if (rc != kOk) return rc;
  selected = Certificate();
  pem_.Reset();
  platform.Release();
  if (store_type == cstUser || store_type == cstMachine) {
    rc = OpenSystemStore(request.c_str());
    if (rc != kOk) entries.Clear();  // a failed selection selects nothing
  } else {
    bool from_file = false;
    int32_t detected = 0;
    log.Reset();
    rc = ParseStoreContent(&entries, store.data(), store.length(), password.c_str(), log_enabled ? &log : nullptr,
                           &from_file, &detected, &error_text);
    if (rc != kOk) {
      if (error_text.empty()) error_text.SetText(kNotOpened);
      return rc;
    }
    rc = SelectEntryBySubject(&entries, request.c_str());
    if (rc != kOk) entries.Clear();  // a failed selection selects nothing
    if (rc == kErrStoreCertNotFound) return Fail(rc, kCertNotFound);
    if (rc != kOk) return rc;
    store_type = detected;
  }
  if (rc != kOk) return rc;
  const Certificate* c = entries.SelectedCertificate();
  if (c == nullptr) return kOk;  // a bare key keeps the requested subject
  rc = subject.Assign(c->tbs.subjectText);
  if (rc == kOk) rc = selected.CopyFrom(*c);
  return rc;
}

// The certificate of the subject, found and exported through the platform with its key (a key
// wanted); the platform's context stays with the store for signing.
int CertStore::OpenSystemStore(const char* wanted) {
  if (store_type != cstUser && store_type != cstMachine) return kErrStoreNotSystem;
  entries.Clear();
  if (*wanted == '\0') return kOk;
  win::PCCERT_CONTEXT context = nullptr;
  int rc = OpenSystemCertStore(this, store_type, store.c_str(), password.c_str(), wanted, &context, true);
  if (rc == kOk && context != nullptr) rc = ExportStoreCertificate(this, &entries, context);
  if (rc == kOk) rc = SelectEntryBySubject(&entries, "*");
  if (rc == kOk && context != nullptr) {
    platform.context = context;
  } else if (context != nullptr) {
    Crypt32Call<&win::CertFreeCertificateContext>(kCertFreeCertificateContext, context);
  }
  return rc;
}

int CertStore::LoadStoreAuto(const void* bytes, int length) {
  if (bytes == nullptr || length == 0) return kOk;
  if (length < 0) length = static_cast<int>(std::strlen(static_cast<const char*>(bytes)));
  int rc = store.Set(bytes, length);
  if (rc != kOk) return rc;
  selected = Certificate();
  pem_.Reset();
  platform.Release();
  bool from_file = false;
  int32_t detected = 0;
  rc = ParseStoreContent(&entries, store.data(), store.length(), "", log_enabled ? &log : nullptr, &from_file,
                         &detected, &error_text);
  if (rc != kOk) return rc;
  store_type = detected;
  rc = SelectEntryBySubject(&entries, "");
  if (rc != kOk) return rc;
  const Certificate* c = entries.SelectedCertificate();
  if (c == nullptr) return kOk;
  rc = subject.Assign(c->tbs.subjectText);
  if (rc == kOk) rc = selected.CopyFrom(*c);
  return rc;
}

int CertStore::CheckStoreTypeMatches(int32_t requested) const {
  return StoreTypesMatch(requested, entries.detectedType);
}

bool CertStore::HasPrivateKey() const {
  const CertEntry* e = entries.SelectedEntry();
  if (e == nullptr) return false;
  if (e->certificateWithKey) {
    ByteString handle;
    if (e->certificateWithKey->GetProperty(kPkcs11PrivateKeyHandle, &handle) == kOk) {
      return TokenItemHasPrivateKey(*e->certificateWithKey);
    }
  }
  const KeyPair* key = e->GetKey();
  return key != nullptr && key->HasPrivate();
}

int CertStore::GetEncodedCertificate(const char** text, int* length) {
  pem_.Reset();
  const Certificate* c = entries.SelectedCertificate();
  if (c != nullptr) {
    DerWriter writer;
    int rc = c->EncodeDer(&writer);
    const ByteString& der = writer.output();
    if (rc == kOk) rc = PemArmor(&pem_, kPemCertificate, der.data(), der.length());
    if (rc != kOk) {
      pem_.Reset();
      *text = pem_.c_str();
      *length = 0;
      return rc == kErrOutOfMemory ? rc : kErrStoreCertEncode;
    }
  }
  *text = pem_.c_str();
  *length = pem_.length();
  return kOk;
}

int CertStore::FindEncodedCertificate(const void* bytes, int length) const {
  if (entries.entries.Count() == 0 || IsBareKeyEntry(entries)) return -1;
  CertEntryList other;
  bool from_file = false;
  int32_t detected = 0;
  ByteString error;
  if (ParseStoreContent(&other, bytes, length, "", nullptr, &from_file, &detected, &error) != kOk) return -1;
  if (SelectEntryBySubject(&other, "") != kOk) return -1;
  const Certificate* wanted = other.SelectedCertificate();
  if (wanted == nullptr) return -1;
  for (int i = 0; i < entries.entries.Count(); ++i) {
    const Certificate* c = entries.entries.At(i)->GetCertificate();
    if (c != nullptr && c->der.Equals(wanted->der)) return i;
  }
  return -1;
}

int CertStore::CopyFrom(const CertStore& other) {
  if (this == &other) return kOk;
  store_type = other.store_type;
  log_enabled = other.log_enabled;
  int rc = store.Assign(other.store);
  if (rc == kOk) rc = password.Assign(other.password);
  if (rc == kOk) rc = subject.Assign(other.subject);
  if (rc == kOk) rc = entries.CopyFrom(other.entries);
  if (rc == kOk) rc = selected.CopyFrom(other.selected);
  if (rc == kOk) rc = error_text.Assign(other.error_text);
  if (rc == kOk) rc = log.Assign(other.log);
  pem_.Reset();
  platform.Release();
  // The platform's context is shared through the platform. One bound to the other store's
  // temporary container is made again on the copy's first request, since that container goes
  // with the other store.
  if (rc == kOk && other.platform.context != nullptr && !other.platform.temporary_container) {
    platform.context = Crypt32Call<&win::CertDuplicateCertificateContext>(kCertDuplicateCertificateContext,
                                                                          other.platform.context);
  }
  return rc;
}

int AppendCertStores(CertStoreArray* to, const CertStoreArray& from) {
  for (int i = 0; i < from.Count(); ++i) {
    const CertStore* s = from.At(i);
    if (s == nullptr) continue;
    const int rc = to->InsertCopy(to->Count(), *s);
    if (rc != kOk) return rc;
  }
  return kOk;
}

int LogStoreContent(ComponentBase& component, const void* bytes, int length, const char* label) {
  if (component.log_level() < kLogDebug || bytes == nullptr) return kOk;
  if (length < 0) length = static_cast<int>(std::strlen(static_cast<const char*>(bytes)));
  ByteString name, content, line;
  Wiper wipe_content{content};
  Wiper wipe_line{line};
  int rc = NamesReadableFile(static_cast<const uint8_t*>(bytes), length, &name)
               ? ReadFileToString(name.c_str(), content)
               : content.Set(bytes, length);
  if (rc == kOk) rc = line.AppendFormat("%s: \n", label ? label : "");
  if (rc != kOk) return rc;
  bool seven_bit = true;
  for (int i = 0; i < content.length() && seven_bit; ++i) seven_bit = content.bytes()[i] < 0x80;
  rc = seven_bit ? line.Append(content.data(), content.length())
                 : Base64Encode(line, content.data(), content.length(), true, 64, false);
  return rc != kOk ? rc : component.LogAtLevel(kLogDebug, line.c_str(), kLogTypeStore);
}

}  // namespace tw
