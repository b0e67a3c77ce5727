// A KeyPair's private key written by family and read back by openssl; SubjectPublicKeyInfo bytes
// read into a KeyPair.
#include "certs/key_pair_der.h"

#include <gtest/gtest.h>

#include <string>

#include "certs/pem_armor.h"
#include "certs/private_key_reader.h"
#include "tests/certs/key_file_support.h"
#include "tests/certs/key_fixtures.h"
#include "tests/support/case_name.h"

namespace tw {
namespace {

using keyfile::Bytes;
using keyfile::Str;

class PrivateKeyExport : public testing::TestWithParam<const char*> {};

TEST_P(PrivateKeyExport, OpensslReadsTheSameKey) {
  const std::string& pem = keyfix::Pkcs8Pem(GetParam());
  if (pem.empty()) {
    TW_REQUIRE_OR_SKIP("openssl not installed");
  }
  ByteString der, out;
  KeyPair key;
  ASSERT_EQ(PemDecodeWithLabel(&der, "PRIVATE KEY", pem.data(), static_cast<int>(pem.size())), 0);
  ASSERT_EQ(ReadPkcs8PrivateKey(der, &key), 0);
  ASSERT_EQ(WritePrivateKey(key, true, &out), 0);
  if (key.type == kKeyEdwards) {
    // The form with the public key beside the private one, which the openssl here cannot read.
    KeyPair back;
    ByteString body;
    ASSERT_EQ(PemDecodeWithLabel(&body, "PRIVATE KEY", out.data(), out.length()), 0);
    ASSERT_EQ(ReadPkcs8PrivateKey(body, &back), 0);
    EXPECT_TRUE(back.edwards.private_bytes.Equals(key.edwards.private_bytes));
    EXPECT_TRUE(SamePublicKey(back, key));
  } else {
    const std::string theirs = keyfix::Openssl("pkey -text -noout", pem);
    ASSERT_FALSE(theirs.empty());
    EXPECT_EQ(keyfix::Openssl("pkey -text -noout", Str(out)), theirs);
  }

  const std::string spki = keyfix::Openssl("pkey -pubout -outform DER", pem);
  KeyPair pub;
  ASSERT_EQ(ReadPublicKeyInfoBytes(&pub, spki.data(), static_cast<int>(spki.size())), 0);
  EXPECT_TRUE(SamePublicKey(key, pub));
  EXPECT_EQ(WritePrivateKey(pub, false, &out), kErrNoPrivateKey);
  const std::string longer = spki + '\0';
  EXPECT_NE(ReadPublicKeyInfoBytes(&pub, longer.data(), static_cast<int>(longer.size())), 0);
  for (size_t cut = 0; cut < spki.size(); ++cut) {
    KeyPair part;
    ASSERT_NE(ReadPublicKeyInfoBytes(&part, spki.data(), static_cast<int>(cut)), 0) << cut;
  }
}

INSTANTIATE_TEST_SUITE_P(Keys, PrivateKeyExport,
                         testing::Values("rsa", "dsa", "p256", "p384", "p521", "ed25519", "ed448", "x25519", "x448"),
    testsupport::CaseName{});

TEST(PrivateKeyExport, KeysOfNoKnownKind) {
  KeyPair none, odd;
  odd.type = 9;
  ByteString out;
  EXPECT_EQ(WritePrivateKey(none, true, &out), kErrUnknownKeyKind);
  EXPECT_EQ(WritePrivateKey(odd, true, &out), kErrUnknownKeyKind);
  // SEQUENCE { SEQUENCE { OID 1.2.3.4 }, BIT STRING 00 01 }: an algorithm not known here.
  const std::string unknown = testsupport::Unhex("300b3005060302a0304030200 01");
  KeyPair key;
  EXPECT_NE(ReadPublicKeyInfoBytes(&key, unknown.data(), static_cast<int>(unknown.size())), 0);
  EXPECT_EQ(key.type, kKeyNone);
}

}  // namespace
}  // namespace tw
