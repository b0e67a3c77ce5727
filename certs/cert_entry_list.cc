#include "certs/cert_entry_list.h"

#include <new>

#include "certs/cert_extension.h"

namespace tw {

namespace {

constexpr const char* kUnknownStoreType = "Unknown";

struct StoreTypeText {
  int32_t type;
  const char* name;
};
constexpr StoreTypeText kStoreTypeNames[] = {
    {0, "User"},           {1, "Machine"},    {2, "PFX"},        {3, "PFX"},
    {4, "JKS"},            {5, "JKS"},        {6, "PEM"},        {7, "PEM"},
    {8, "Public Key"},     {9, "Public Key"}, {10, "SSH Public Key"}, {11, "P7B"},
    {12, "P7B"},           {13, "SSH Public Key"}, {14, "PPK"},  {15, "PPK"},
    {16, "XML"},           {17, "XML"},       {18, "JWK"},       {19, "JWK"},
    {99, "Auto"},
};

void WipeText(ByteString& s) {
  WipeBytes(s.bytes(), static_cast<size_t>(s.length()));
  s.Reset();
}

template <class T>
int MakeOwned(std::unique_ptr<T>* slot, T&& value) {
  T* made = new (std::nothrow) T(std::move(value));
  if (made == nullptr) return kErrOutOfMemory;
  slot->reset(made);
  return kOk;
}

template <class T>
int CopyOwned(std::unique_ptr<T>* slot, const std::unique_ptr<T>& from) {
  slot->reset();
  if (!from) return kOk;
  T* made = new (std::nothrow) T();
  if (made == nullptr) return kErrOutOfMemory;
  slot->reset(made);
  return made->CopyFrom(*from);
}

}  // namespace

const Certificate* SelectedPfxCertificate(const Pkcs12Container& pfx) {
  const CertificateWithKey* c = pfx.certificates.At(pfx.selected);
  return c != nullptr ? &c->certificate : nullptr;
}

const Certificate* SelectedP7bCertificate(const P7bContainer& p7b) {
  const ExtendedCertificate* c = p7b.certificates.At(p7b.selected);
  return c != nullptr ? &c->certificate : nullptr;
}

CertEntryKind CertEntry::Kind() const {
  if (certificate) return kEntryCertificate;
  if (pfx) return kEntryPfx;
  if (key) return kEntryBareKey;
  if (p7b) return kEntryP7b;
  if (certificateWithKey) return kEntryCertificateWithKey;
  return kEntryNone;
}

void CertEntry::Clear() {
  certificate.reset();
  pfx.reset();
  key.reset();
  p7b.reset();
  certificateWithKey.reset();
}

int CertEntry::SetCertificate(Certificate&& value) {
  Clear();
  return MakeOwned(&certificate, std::move(value));
}

int CertEntry::SetPfx(Pkcs12Container&& value) {
  Clear();
  return MakeOwned(&pfx, std::move(value));
}

int CertEntry::SetKey(KeyPair&& value) {
  Clear();
  return MakeOwned(&key, std::move(value));
}

int CertEntry::SetP7b(P7bContainer&& value) {
  Clear();
  return MakeOwned(&p7b, std::move(value));
}

int CertEntry::SetCertificateWithKey(CertificateWithKey&& value) {
  Clear();
  return MakeOwned(&certificateWithKey, std::move(value));
}

int CertEntry::CopyFrom(const CertEntry& other) {
  if (this == &other) return kOk;
  Clear();
  int rc = CopyOwned(&certificate, other.certificate);
  if (rc == kOk) rc = CopyOwned(&pfx, other.pfx);
  if (rc == kOk) rc = CopyOwned(&key, other.key);
  if (rc == kOk) rc = CopyOwned(&p7b, other.p7b);
  if (rc == kOk) rc = CopyOwned(&certificateWithKey, other.certificateWithKey);
  return rc;
}

const Certificate* CertEntry::GetCertificate() const {
  switch (Kind()) {
    case kEntryCertificate: return certificate.get();
    case kEntryPfx: return SelectedPfxCertificate(*pfx);
    case kEntryP7b: return SelectedP7bCertificate(*p7b);
    case kEntryCertificateWithKey: return &certificateWithKey->certificate;
    default: return nullptr;
  }
}

const KeyPair* CertEntry::GetKey() const {
  switch (Kind()) {
    case kEntryBareKey: return key.get();
    case kEntryCertificateWithKey: return &certificateWithKey->key;
    case kEntryPfx: {
      const CertificateWithKey* c = pfx->certificates.At(pfx->selected);
      return c != nullptr && c->key.type != kKeyNone ? &c->key : nullptr;
    }
    default: return nullptr;
  }
}

CertEntryList::~CertEntryList() { Clear(); }

void CertEntryList::Clear() {
  selected = -1;
  detectedType = 0;
  entries.Clear();
  subject.Reset();
  // The content may hold private keys.
  WipeText(content);
  filePath.Reset();
  WipeText(password);
}

int CertEntryList::CopyFrom(const CertEntryList& other) {
  if (this == &other) return kOk;
  Clear();
  selected = other.selected;
  detectedType = other.detectedType;
  int rc = entries.CopyFrom(other.entries);
  if (rc == kOk) rc = subject.Assign(other.subject);
  if (rc == kOk) rc = content.Assign(other.content);
  if (rc == kOk) rc = filePath.Assign(other.filePath);
  if (rc == kOk) rc = password.Assign(other.password);
  return rc;
}

int CertEntryList::Append(CertEntry* entry) {
  CertEntry* owned = NewRecord<CertEntry>();
  if (owned == nullptr) return kErrOutOfMemory;
  *owned = std::move(*entry);
  return entries.InsertOwned(entries.Count(), owned);
}

const CertEntry* CertEntryList::SelectedEntry() const {
  const CertEntry* e = entries.At(selected);
  return e != nullptr ? e : entries.At(0);
}

const Certificate* CertEntryList::SelectedCertificate() const {
  const CertEntry* e = SelectedEntry();
  return e != nullptr ? e->GetCertificate() : nullptr;
}

const KeyPair* CertEntryList::SelectedKey() const {
  const CertEntry* e = SelectedEntry();
  return e != nullptr ? e->GetKey() : nullptr;
}

static bool SelectedKindIs(const CertEntryList& list, CertEntryKind kind) {
  const CertEntry* e = list.SelectedEntry();
  return e != nullptr && e->Kind() == kind;
}

bool IsCertificateEntry(const CertEntryList& list) { return SelectedKindIs(list, kEntryCertificate); }
bool IsPfxEntry(const CertEntryList& list) { return SelectedKindIs(list, kEntryPfx); }
bool IsBareKeyEntry(const CertEntryList& list) { return SelectedKindIs(list, kEntryBareKey); }
bool IsP7bEntry(const CertEntryList& list) { return SelectedKindIs(list, kEntryP7b); }
bool IsCertificateWithKeyEntry(const CertEntryList& list) {
  return SelectedKindIs(list, kEntryCertificateWithKey);
}

const char* GetIssuerText(const CertEntryList& list) {
  const Certificate* c = list.SelectedCertificate();
  return c != nullptr ? c->tbs.issuerText.c_str() : "";
}

const char* GetSerialNumberHex(const CertEntryList& list) {
  return GetSerialNumberHex(list.SelectedCertificate());
}

const char* GetSignatureAlgorithmName(const CertEntryList& list) {
  return GetSignatureAlgorithmName(list.SelectedCertificate());
}

int GetSubjectAltNames(const CertEntryList& list, bool with_prefixes, ByteString* text) {
  text->Reset();
  const Certificate* c = list.SelectedCertificate();
  if (c == nullptr) return kOk;
  for (int i = 0; i < c->tbs.extensions.Count(); ++i) {
    const CertExtension* e = c->tbs.extensions.At(i);
    if (e != nullptr && e->oid.EqualsBytes(kOidSubjectAltName, -1)) {
      return SubjectAltNameText(e->value, with_prefixes, text);
    }
  }
  return kOk;
}

const char* StoreTypeName(int32_t type) {
  for (const StoreTypeText& t : kStoreTypeNames) {
    if (t.type == type) return t.name;
  }
  return kUnknownStoreType;
}

}  // namespace tw
