// XML keys and certificates written, read back and compared with openssl.
#include "certs/key_xml.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include "certs/key_pair_der.h"
#include "certs/pem_armor.h"
#include "certs/private_key_reader.h"
#include "tests/certs/key_file_support.h"
#include "tests/certs/key_fixtures.h"
#include "tests/support/case_name.h"

namespace tw {
namespace {

using keyfile::Str;

// Written and read back: openssl prints the same numbers for the key that comes back.
class XmlKeyRoundTrip : public testing::TestWithParam<std::tuple<const char*, bool>> {};

TEST_P(XmlKeyRoundTrip, KeepsOpensslNumbers) {
  const auto [name, with_private] = GetParam();
  const std::string& pem = keyfix::Pkcs8Pem(name);
  if (pem.empty()) {
    TW_REQUIRE_OR_SKIP("openssl not installed");
  }
  KeyPair key;
  ByteString der, xml, out;
  ASSERT_EQ(PemDecodeWithLabel(&der, "PRIVATE KEY", pem.data(), static_cast<int>(pem.size())), 0);
  ASSERT_EQ(ReadPkcs8PrivateKey(der, &key), 0);
  ASSERT_EQ(
      key.type == kKeyRsa ? WriteRsaKeyXml(key.rsa, with_private, &xml) : WriteDsaKeyXml(key.dsa, with_private, &xml),
      0);
  EXPECT_EQ(Str(xml).find_first_of(" \r\n"), std::string::npos);
  KeyPairArray keys;
  CertificateArray certs;
  ASSERT_EQ(ReadXmlKeys(xml.c_str(), xml.length(), &keys, &certs), 0) << xml.c_str();
  ASSERT_EQ(keys.Count(), 1);
  EXPECT_TRUE(SamePublicKey(*keys.At(0), key));
  EXPECT_EQ(keys.At(0)->HasPrivate(), with_private);
  if (with_private) {
    ASSERT_EQ(WritePrivateKey(*keys.At(0), true, &out), 0);
    EXPECT_EQ(keyfix::Openssl("pkey -text -noout", Str(out)), keyfix::Openssl("pkey -text -noout", pem));
  }
}

INSTANTIATE_TEST_SUITE_P(Keys, XmlKeyRoundTrip, testing::Combine(testing::Values("rsa", "dsa"), testing::Bool()),
    testsupport::CaseName{});

// The writer pads Y to P's width; read back, the key still matches the one without the zeros.
TEST(XmlKeys, PaddedNumbersAreTheSameKey) {
  KeyPair key;
  key.type = kKeyDsa;
  for (auto [field, n, byte] : {std::tuple{&key.dsa.P, 128, '\xc1'}, {&key.dsa.G, 128, '\x02'}, {&key.dsa.Q, 20, '\xd3'},
                                {&key.dsa.Y, 126, '\x04'}}) {
    ASSERT_EQ(field->SetData(n, std::string(n, byte).data()), 0);
  }
  ByteString xml;
  KeyPairArray keys;
  CertificateArray certs;
  ASSERT_EQ(WriteDsaKeyXml(key.dsa, false, &xml), 0);
  ASSERT_EQ(ReadXmlKeys(xml.c_str(), xml.length(), &keys, &certs), 0);
  ASSERT_EQ(keys.Count(), 1);
  EXPECT_EQ(keys.At(0)->dsa.Y.length(), 128);
  EXPECT_TRUE(SamePublicKey(*keys.At(0), key));
  key.dsa.Y.bytes()[125] ^= 1;
  EXPECT_FALSE(SamePublicKey(*keys.At(0), key));
}

struct XmlText {
  const char* name;
  std::string text;
  int rc;  // -2: any failure
  int keys;
  int certs;
};

TEST(XmlKeys, DocumentsAndTheirFaults) {
  const std::string& pem = keyfix::Pkcs8Pem("p256");
  const std::string cert_der =
      keyfix::Openssl("req -x509 -new -key /dev/stdin -subj /CN=xml -days 1 -outform DER", pem);
  if (cert_der.empty()) {
    TW_REQUIRE_OR_SKIP("openssl not installed");
  }
  Certificate cert;
  ASSERT_EQ(ParseCertificateDer(cert_der.data(), static_cast<int>(cert_der.size()), &cert), 0);
  ByteString x509;
  ASSERT_EQ(WriteX509DataXml(cert, &x509), 0);
  const std::string rsa = "<RSAKeyValue><Modulus>AQAB</Modulus><Exponent>Aw==</Exponent></RSAKeyValue>";
  const XmlText cases[] = {
      {"no root name", "<KeyInfo/>", kErrXmlKeyNone, 0, 0},
      {"certificate and key", "<KeyInfo>" + Str(x509) + rsa + "</KeyInfo>", 0, 1, 1},
      {"prefixed names",
       "<ds:KeyInfo xmlns:ds='urn:x'><ds:RSAKeyValue><ds:Modulus>AQAB</ds:Modulus>"
       "<ds:Exponent>Aw==</ds:Exponent></ds:RSAKeyValue></ds:KeyInfo>",
       0, 1, 0},
      {"no exponent", "<RSAKeyValue><Modulus>AQAB</Modulus></RSAKeyValue>", -2, 0, 0},
      {"no DSA generator", "<DSAKeyValue><P>AQAB</P><Q>AQAB</Q></DSAKeyValue>", -2, 0, 0},
      {"bad Base64 after a key",
       "<a>" + rsa +
           "<RSAKeyValue><Modulus>A!</Modulus><Exponent>Aw==</Exponent>"
           "</RSAKeyValue></a>",
       -2, 1, 0},
      {"broken markup", "<RSAKeyValue><Modulus>", -2, 0, 0},
  };
  for (const XmlText& c : cases) {
    KeyPairArray keys;
    CertificateArray certs;
    const int rc = ReadXmlKeys(c.text.data(), static_cast<int>(c.text.size()), &keys, &certs);
    if (c.rc == -2) {
      EXPECT_NE(rc, 0) << c.name;
    } else {
      EXPECT_EQ(rc, c.rc) << c.name;
    }
    EXPECT_EQ(keys.Count(), c.keys) << c.name;
    EXPECT_EQ(certs.Count(), c.certs) << c.name;
    if (certs.Count() == 1) {
      EXPECT_EQ(Str(certs.At(0)->der), cert_der) << c.name;
    }
    if (keys.Count() == 1) {
      EXPECT_FALSE(keys.At(0)->HasPrivate()) << c.name;
    }
  }
  const std::string whole = cases[1].text;
  for (size_t cut = 0; cut < whole.size(); ++cut) {
    KeyPairArray keys;
    CertificateArray certs;
    ReadXmlKeys(whole.data(), static_cast<int>(cut), &keys, &certs);
    EXPECT_LE(keys.Count() + certs.Count(), 1) << cut;
  }
}

}  // namespace
}  // namespace tw
