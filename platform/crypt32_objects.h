// The objects behind crypt32's handles, shared by the stand-in's units.
#pragma once

#include <string>
#include <vector>

#include "platform/openssl_entries.h"
#include "platform/random.h"

namespace win::crypt32 {

struct StoreObject {
  std::vector<OsslX509*> certs;
};

// A store handle: a memory store, or a system store read from its folder (which adding and
// deleting certificates change, unless it was opened read-only).
struct MemoryStore {
  std::vector<PCCERT_CONTEXT> certs;  // owned
  std::string folder;                 // a system store's folder; empty for a memory store
  bool read_only = false;
};

struct CertObject {
  CERT_CONTEXT context{};  // first: the handed-out pointer is the object's address
  CERT_INFO info{};        // its names point into `der`
  std::vector<uint8_t> serial_le;
  const OpenSslEntries* ossl = nullptr;
  OsslX509* x509 = nullptr;
  std::vector<uint8_t> der;
  StoreObject store;
  // The private key: a key container bound to the certificate, or a key that came with it.
  std::string key_container;
  bool key_machine = false;
  std::string key_provider;  // the provider the container belongs to
  uint32_t key_provider_type = 0;
  uint32_t key_spec = 0;
  OsslPkey* key = nullptr;
  bool key_exportable = true;
  std::string source_file;        // the system store file it was read from
  MemoryStore* owner = nullptr;   // the store that handed it out, for deleting
  HCRYPTPROV cached_provider = 0; // CryptAcquireCertificatePrivateKey's cached handle
};

MemoryStore* AsStore(HCERTSTORE store);
// Points the context's record at the serial number and names of its DER (left empty when the
// DER does not read as a certificate).
void FillCertInfo(CertObject* c);

// libcrypto entry points only crypt32 needs (PFX writing and key checks), bound once; null when
// libcrypto or one of them is missing.
struct Crypt32Crypto {
  int (*X509_check_issued)(OsslX509*, OsslX509*);
  OsslPkcs12* (*PKCS12_create)(const char*, const char*, OsslPkey*, OsslX509*, OsslStack*, int, int, int, int, int);
  int (*i2d_PKCS12)(OsslPkcs12*, unsigned char**);
  OsslPkey* (*PEM_read_bio_PrivateKey)(OsslBio*, OsslPkey**, void*, void*);
  int (*X509_check_private_key)(const OsslX509*, const OsslPkey*);
};
const Crypt32Crypto* LoadCrypt32Crypto();

// Handed-out objects are tracked, so a stale or foreign pointer is refused instead of read.
void Track(const void* p, bool add);
bool Tracked(const void* p);
CertObject* AsCert(PCCERT_CONTEXT context);
std::string Utf8(const char16_t* text);
// The certificates of one store file: its PEM blocks, or the file as one DER certificate.
void ReadStoreFileCerts(const OpenSslEntries& o, const std::string& bytes, std::vector<OsslX509*>* out);

}  // namespace win::crypt32
