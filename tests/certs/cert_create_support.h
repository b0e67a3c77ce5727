// Keys of the fixtures as KeyPairs, and extensions and PEM for the certificates made in tests.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "certs/cert_extension.h"
#include "certs/certificate.h"
#include "certs/pem_armor.h"
#include "certs/private_key_reader.h"
#include "tests/certs/key_fixtures.h"

namespace tw {

inline KeyPair LoadKey(const std::string& name) {
  KeyPair key;
  const std::string& pem = keyfix::Pkcs8Pem(name);
  ByteString der;
  if (PemDecodeWithLabel(&der, "PRIVATE KEY", pem.data(), static_cast<int>(pem.size())) == kOk) {
    EXPECT_EQ(ReadPkcs8PrivateKey(der, &key), kOk) << name;
  }
  return key;
}

inline std::string Pem(const Certificate& c) {
  ByteString text;
  EXPECT_EQ(PemEncodeBytes("CERTIFICATE", c.der, &text), kOk);
  return std::string(text.c_str(), text.length());
}

inline int AddExtension(CertExtensionArray* list, const char* oid, bool critical, const char* hex) {
  CertExtension e;
  e.critical = critical;
  const std::string bytes = testsupport::Unhex(hex);
  int rc = e.oid.SetText(oid);
  if (rc == kOk) rc = e.value.Set(bytes.data(), static_cast<int>(bytes.size()));
  return rc == kOk ? list->InsertCopy(list->Count(), e) : rc;
}

}  // namespace tw
