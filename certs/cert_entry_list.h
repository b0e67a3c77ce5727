// The entries a store found in its content (certificates, PFX and PKCS #7 containers, bare keys,
// certificates with their keys), one of them selected, and the accessors of the selection.
#pragma once

#include <cstdint>
#include <memory>

#include "certs/certificate.h"
#include "certs/key_entry.h"
#include "certs/pkcs12_container.h"
#include "certs/pkcs7_content.h"
#include "crypto/pubkey/key_pair.h"
#include "foundation/byte_string.h"
#include "foundation/ptr_array.h"
#include "foundation/string_list.h"

namespace tw {

// The selected certificate of a PFX container; none when its index is out of range.
const Certificate* SelectedPfxCertificate(const Pkcs12Container& pfx);

// The selected certificate of a P7B bundle; none when its index is out of range.
const Certificate* SelectedP7bCertificate(const P7bContainer& p7b);

enum CertEntryKind : int {
  kEntryNone = 0,
  kEntryCertificate = 1,
  kEntryPfx = 2,
  kEntryBareKey = 3,
  kEntryP7b = 4,
  kEntryCertificateWithKey = 5,
};

// One loaded item: exactly one of the five owners is set. Setting one frees what was held.
struct CertEntry {
  std::unique_ptr<Certificate> certificate;
  std::unique_ptr<Pkcs12Container> pfx;
  std::unique_ptr<KeyPair> key;
  std::unique_ptr<P7bContainer> p7b;
  std::unique_ptr<CertificateWithKey> certificateWithKey;

  CertEntryKind Kind() const;
  void Clear();
  // Each takes the record over (moved from); 200 when no memory.
  int SetCertificate(Certificate&& value);
  int SetPfx(Pkcs12Container&& value);
  int SetKey(KeyPair&& value);
  int SetP7b(P7bContainer&& value);
  int SetCertificateWithKey(CertificateWithKey&& value);
  int CopyFrom(const CertEntry& other);

  // None for a bare key; a container's selected certificate (none when its index is out of
  // range); the certificate itself otherwise.
  const Certificate* GetCertificate() const;
  // The bare key, or the key that belongs to the entry's certificate; none otherwise.
  const KeyPair* GetKey() const;
};

using CertEntryArray = PtrArray<CertEntry>;

struct CertEntryList {
  int32_t selected = -1;
  int32_t detectedType = 0;
  CertEntryArray entries;
  ByteString subject;  // requested, then that of the selected certificate
  ByteString content;  // the bytes that were parsed
  ByteString filePath;
  ByteString password;

  ~CertEntryList();
  // Drops the entries and the remembered input; the secrets are wiped.
  void Clear();
  int CopyFrom(const CertEntryList& other);
  // 200 when no memory; the entry is taken over.
  int Append(CertEntry* entry);

  // The entry at `selected` when that is a valid index, else the first, else none.
  const CertEntry* SelectedEntry() const;
  const Certificate* SelectedCertificate() const;
  const KeyPair* SelectedKey() const;
};

bool IsCertificateEntry(const CertEntryList& list);
bool IsPfxEntry(const CertEntryList& list);
bool IsBareKeyEntry(const CertEntryList& list);
bool IsP7bEntry(const CertEntryList& list);
bool IsCertificateWithKeyEntry(const CertEntryList& list);

// The selected certificate's fields; "" (serial: "00") without a certificate.
const char* GetIssuerText(const CertEntryList& list);
const char* GetSerialNumberHex(const CertEntryList& list);
const char* GetSignatureAlgorithmName(const CertEntryList& list);
int GetSubjectAltNames(const CertEntryList& list, bool with_prefixes, ByteString* text);

// "User", "Machine", "PFX", ... by store type; "Unknown" for any other number.
const char* StoreTypeName(int32_t type);

}  // namespace tw
