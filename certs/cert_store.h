// The certificate store: told a store type, a store (a system store name, a file path or the
// content itself), a password and a subject, it opens the store through the auto-detecting
// parser, selects one entry by subject and answers for the selected certificate and key.
#pragma once

#include <cstdint>

#include "certs/cert_entry_list.h"
#include "certs/cert_store_types.h"
#include "certs/certificate.h"
#include "certs/key_provider.h"
#include "foundation/byte_string.h"
#include "foundation/component_base.h"
#include "foundation/ptr_array.h"

namespace tw {

constexpr int kErrStoreNotOpened = 271;
constexpr int kErrStoreCertNotFound = 272;
constexpr int kErrStoreCertEncode = 282;
constexpr int kErrStoreNotSystem = 202;
// Input at least this long is content, never a file name.
constexpr int kStoreFileNameLimit = 1024;

// Parses content of any store type into the list (which is cleared first). A length below 0
// means NUL-terminated text; input shorter than 1024 bytes that names a readable file is that
// file's content. Lines of what was tried go to `log` when it is given. 0; 271 or 272 with the
// reason in error_text; 200.
int ParseStoreContent(CertEntryList* list, const void* data, int length, const char* password,
                      ByteString* log, bool* from_file, int32_t* detected_type,
                      ByteString* error_text);

// The same for bytes that are content only (never a file name), such as a certificate a peer sent.
int ParseStoreBytes(CertEntryList* list, const void* data, int length, const char* password,
                    ByteString* log, int32_t* detected_type, ByteString* error_text);

// Selects the entry (and within a lone container, the certificate) that fits the subject. 0, or
// 272 when a subject other than "" and "*" fits nothing.
int SelectEntryBySubject(CertEntryList* list, const char* subject);

// 0 when content detected as `detected` may be opened as `requested`, else 271.
int StoreTypesMatch(int32_t requested, int32_t detected);

class CertStore {
 public:
  CertStore() { store.SetText("MY"); }  // fits inline: cannot fail
  ~CertStore();
  CertStore(const CertStore&) = delete;
  CertStore& operator=(const CertStore&) = delete;

  // Resets the store, records type, store and password, selects by subject and checks the type
  // against the content found (type 99 takes whatever was found).
  int Open(const void* store_bytes, int length, const char* password, const char* subject,
           int32_t type);
  // Opens the recorded store (system store or content) and selects by subject.
  int SelectCertificate(const char* subject);
  // Takes content of any type: empty input does nothing.
  int LoadStoreAuto(const void* bytes, int length);
  void Reset();
  int CheckStoreTypeMatches(int32_t requested) const;
  int CopyFrom(const CertStore& other);

  const Certificate* GetCertificate() const { return entries.SelectedCertificate(); }
  // The bare key, the key of a certificate with its key, or a token item's public key.
  const KeyPair* GetKey() const { return entries.SelectedKey(); }
  bool HasPrivateKey() const;
  const char* GetSerialNumberHex() const { return tw::GetSerialNumberHex(entries); }
  const char* GetSignatureAlgorithmName() const { return tw::GetSignatureAlgorithmName(entries); }
  int GetSubjectAltNames(bool with_prefixes, ByteString* text) const {
    return tw::GetSubjectAltNames(entries, with_prefixes, text);
  }
  // The selected certificate as a PEM "CERTIFICATE" block (empty without one); 282 when it
  // cannot be encoded.
  int GetEncodedCertificate(const char** text, int* length);
  // The index of this store's entry whose certificate is the one `bytes` hold (as a store of
  // their own), -1 when none or when this store's selection is a bare key.
  int FindEncodedCertificate(const void* bytes, int length) const;

  int32_t store_type = cstUser;
  ByteString store;  // a system store name, a file path, or the content
  ByteString password;
  ByteString subject;
  CertEntryList entries;
  Certificate selected;  // a copy of the selected certificate for the transport's callers
  ByteString error_text;
  ByteString log;  // the parser's lines of the last open, when log_enabled
  bool log_enabled = false;
  PlatformCertState platform;  // made by GetCertContext; dropped whenever the selection changes

 private:
  int OpenSystemStore(const char* wanted);
  int Fail(int code, const char* text);
  ByteString pem_;
};

using CertStoreArray = PtrArray<CertStore>;

// At the debug log level of the component: "label: \n" and the store content (the file's when the
// bytes name one), as it stands when it is 7-bit text, else as Base64 in lines of 64.
int LogStoreContent(ComponentBase& component, const void* bytes, int length, const char* label);

// Appends copies of every store of `from`.
int AppendCertStores(CertStoreArray* to, const CertStoreArray& from);

}  // namespace tw
