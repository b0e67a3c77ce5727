// The objects behind crypt32's handles, shared by the stand-in's units.
#pragma once

#include <string>
#include <vector>

#include "platform/openssl_entries.h"

namespace win::crypt32 {

struct StoreObject {
  std::vector<OsslX509*> certs;
};

struct CertObject {
  CERT_CONTEXT context{};  // first: the handed-out pointer is the object's address
  const OpenSslEntries* ossl = nullptr;
  OsslX509* x509 = nullptr;
  std::vector<uint8_t> der;
  StoreObject store;
  // The private key: a key container bound to the certificate, or a key that came with it.
  std::string key_container;
  bool key_machine = false;
  uint32_t key_spec = 0;
  OsslPkey* key = nullptr;
};

// Handed-out objects are tracked, so a stale or foreign pointer is refused instead of read.
void Track(const void* p, bool add);
bool Tracked(const void* p);
CertObject* AsCert(PCCERT_CONTEXT context);
std::string Utf8(const char16_t* text);
// The certificates of one store file: its PEM blocks, or the file as one DER certificate.
void ReadStoreFileCerts(const OpenSslEntries& o, const std::string& bytes, std::vector<OsslX509*>* out);

}  // namespace win::crypt32
