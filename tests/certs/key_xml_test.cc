// XML keys written, read back and compared with the numbers openssl prints for the same key.
#include "certs/key_xml.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

#include "certs/private_key_reader.h"
#include "tests/certs/key_file_support.h"
#include "tests/certs/key_fixtures.h"

namespace tw {
namespace {

using keyfile::Bytes;
using keyfile::Str;

std::string Hex(const ByteString& b) {
  std::string h = testsupport::Hex(b.data(), static_cast<size_t>(b.length()));
  while (h.size() > 2 && h.compare(0, 2, "00") == 0) h.erase(0, 2);
  return h;
}

// The numbers of `openssl pkey -text`, by name, in hex without leading zero bytes.
std::map<std::string, std::string> OpensslNumbers(const std::string& pem) {
  std::map<std::string, std::string> out;
  std::string name;
  for (const std::string& line : testsupport::Lines(keyfix::Openssl("pkey -text -noout", pem))) {
    if (!line.empty() && line[0] != ' ') {
      name = line.substr(0, line.find(':'));
      const size_t hex = line.find("(0x");
      if (hex != std::string::npos) out[name] = line.substr(hex + 3, line.find(')') - hex - 3);
      if (out[name].size() % 2) out[name] = "0" + out[name];
      continue;
    }
    for (char c : line) {
      if (std::isxdigit(static_cast<unsigned char>(c))) out[name] += c;
    }
  }
  for (auto& [k, v] : out) {
    while (v.size() > 2 && v.compare(0, 2, "00") == 0) v.erase(0, 2);
  }
  return out;
}

struct XmlCase {
  const char* key;
  bool with_private;
};

class XmlKeyRoundTrip : public testing::TestWithParam<XmlCase> {};

TEST_P(XmlKeyRoundTrip, KeepsOpensslNumbers) {
  const std::string& pem = keyfix::Pkcs8Pem(GetParam().key);
  if (pem.empty()) {
    TW_REQUIRE_OR_SKIP("openssl not installed");
  }
  KeyPair key;
  ByteString der;
  ASSERT_EQ(PemDecodeWithLabel(&der, "PRIVATE KEY", pem.data(), static_cast<int>(pem.size())), 0);
  ASSERT_EQ(ReadPkcs8PrivateKey(der, &key), 0);
  const bool priv = GetParam().with_private;
  ByteString xml;
  ASSERT_EQ(key.type == kKeyRsa ? WriteRsaKeyXml(key.rsa, priv, &xml) : WriteDsaKeyXml(key.dsa, priv, &xml), 0);
  EXPECT_EQ(Str(xml).find_first_of(" \r\n"), std::string::npos);
  KeyPairArray keys;
  CertificateArray certs;
  ASSERT_EQ(ReadXmlKeys(xml.c_str(), xml.length(), &keys, &certs), 0) << xml.c_str();
  ASSERT_EQ(keys.Count(), 1);
  const KeyPair& got = *keys.At(0);
  auto n = OpensslNumbers(pem);
  if (!priv) {
    for (const char* secret : {"privateExponent", "prime1", "prime2", "coefficient", "priv"}) n[secret] = "";
  }
  const std::map<std::string, const ByteString*> fields =
      key.type == kKeyRsa ? std::map<std::string, const ByteString*>{{"modulus", &got.rsa.N},
                                                                      {"publicExponent", &got.rsa.E},
                                                                      {"privateExponent", &got.rsa.D},
                                                                      {"prime1", &got.rsa.P},
                                                                      {"prime2", &got.rsa.Q},
                                                                      {"coefficient", &got.rsa.QInv}}
                          : std::map<std::string, const ByteString*>{
                                {"P", &got.dsa.P}, {"Q", &got.dsa.Q}, {"G", &got.dsa.G}, {"pub", &got.dsa.Y},
                                {"priv", &got.dsa.X}};
  for (const auto& [name, field] : fields) {
    EXPECT_EQ(field->empty() ? "" : Hex(*field), n[name]) << name;
  }
  EXPECT_EQ(got.type, key.type);
  EXPECT_EQ(Str(xml).find("<X>") != std::string::npos, priv && key.type == kKeyDsa);
}

INSTANTIATE_TEST_SUITE_P(Keys, XmlKeyRoundTrip,
                         testing::Values(XmlCase{"rsa", true}, XmlCase{"rsa", false}, XmlCase{"dsa", true},
                                         XmlCase{"dsa", false}));

struct XmlText {
  const char* name;
  std::string text;
  int rc;  // -2: any failure
  int keys;
  int certs;
};

TEST(XmlKeys, DocumentsAndTheirFaults) {
  const std::string& pem = keyfix::Pkcs8Pem("p256");
  const std::string cert_der = keyfix::Openssl(
      "req -x509 -new -key /dev/stdin -subj /CN=xml -days 1 -outform DER", pem);
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
      {"prefixed names", "<ds:KeyInfo xmlns:ds='urn:x'><ds:RSAKeyValue><ds:Modulus>AQAB</ds:Modulus>"
                         "<ds:Exponent>Aw==</ds:Exponent></ds:RSAKeyValue></ds:KeyInfo>", 0, 1, 0},
      {"no exponent", "<RSAKeyValue><Modulus>AQAB</Modulus></RSAKeyValue>", -2, 0, 0},
      {"no DSA generator", "<DSAKeyValue><P>AQAB</P><Q>AQAB</Q></DSAKeyValue>", -2, 0, 0},
      {"bad Base64 after a key", "<a>" + rsa + "<RSAKeyValue><Modulus>A!</Modulus><Exponent>Aw==</Exponent>"
                                 "</RSAKeyValue></a>", -2, 1, 0},
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
