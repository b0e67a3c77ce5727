#include "certs/pem_armor.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "certs/private_key_reader.h"
#include "tests/certs/key_fixtures.h"
#include "tests/peers/test_pki.h"
#include "tests/support/test_support.h"
#include "tests/support/case_name.h"

namespace tw {
namespace {

std::string Join(const StringList& list) {
  std::string s;
  for (int i = 0; i < list.Count(); ++i) s += (i ? "|" : "") + std::string(list.Get(i), list.GetLength(i));
  return s;
}

struct BlockCase {
  const char* text;
  int rc;
  const char* labels;
  const char* headers;
  const char* bodies_hex;
  const char* error;
};

class PemBlocks : public testing::TestWithParam<BlockCase> {};

TEST_P(PemBlocks, ReadsOrNamesTheFault) {
  const BlockCase& c = GetParam();
  StringList labels, headers, bodies;
  ByteString error;
  EXPECT_EQ(ReadPemBlocks(c.text, static_cast<int>(std::strlen(c.text)), &labels, &headers, &bodies, &error), c.rc);
  EXPECT_EQ(Join(labels), c.labels);
  EXPECT_EQ(Join(headers), c.headers);
  std::string hex;
  for (int i = 0; i < bodies.Count(); ++i) hex += (i ? "|" : "") + testsupport::Hex(bodies.Get(i), bodies.GetLength(i));
  EXPECT_EQ(hex, c.bodies_hex);
  EXPECT_STREQ(error.c_str(), c.error);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, PemBlocks,
    testing::Values(
        BlockCase{"intro\r\n-----BEGIN A-----\r\nAAEC\r\n-----END A-----\nbetween\n  ----BEGIN B----  \n"
                  "Proc-Type: 4,ENCRYPTED\nDEK-Info: X,00\n\nAw==\n----END B----\n",
                  0, "A|B", "|Proc-Type: 4,ENCRYPTED\r\nDEK-Info: X,00", "000102|03", ""},
        BlockCase{"----BEGIN A----\nAAEC\n-----END A-----\n", -1, "", "", "", "Invalid end: -----END A-----"},
        BlockCase{"-----BEGIN A-----\nAAEC\n-----END B-----\n", -1, "", "", "", "Invalid end: -----END B-----"},
        BlockCase{"-----BEGIN A-----\nAAEC\n", -1, "", "", "", "Invalid end: AAEC"},
        BlockCase{"-----BEGIN A-----\n!!\n-----END A-----\n", -1, "", "", "", "Invalid PEM line: !!"},
        BlockCase{"------BEGIN A------\n", -1, "", "", "", "Invalid begin: ------BEGIN A------"},
        BlockCase{"-----BEGIN A-----\nAA=A\n-----END A-----\n", -1, "", "", "", "Invalid PEM line: AA=A"},
        BlockCase{"-----BEGIN A-----\nAAE\n-----END A-----\n-----BEGIN", -1, "", "", "",
                  "Failed to Base64 decode body: AAE"},
        BlockCase{"no armour at all", -1, "", "", "", ""}),
    [](const auto& i) { const auto& p = i.param; return testsupport::MakeName(*p.error ? p.error : "ok", i.index); });

TEST(PemArmorTest, LinesOf64AndRoundTrips) {
  const std::string bytes = testsupport::RandomBytes(48, 1);
  ByteString pem;
  ASSERT_EQ(PemArmor(&pem, "X", bytes.data(), 48), 0);
  const std::string text(pem.data(), static_cast<size_t>(pem.length()));
  EXPECT_EQ(text.size(), std::string("-----BEGIN X-----\r\n\r\n-----END X-----\r\n").size() + 64);
  for (int n : {0, 1, 47, 49, 1000}) {
    const std::string data = testsupport::RandomBytes(static_cast<size_t>(n), static_cast<unsigned>(n));
    ASSERT_EQ(PemArmor(&pem, "CERTIFICATE", data.data(), n), 0);
    ByteString back;
    ASSERT_EQ(PemDecodeWithLabel(&back, "CERTIFICATE", pem.data(), pem.length()), 0);
    EXPECT_EQ(std::string(back.data(), static_cast<size_t>(back.length())), data);
    EXPECT_EQ(PemDecodeWithLabel(&back, "PRIVATE KEY", pem.data(), pem.length()), kErrPemLabel);
  }
}

// Every key encoding openssl writes is read whole (the TLS tests sign with them); every cut is refused.
TEST(PrivateKeyReaderTest, CutsAreRefused) {
  const testsupport::TestPki& pki = testsupport::TestPki::Get();
  if (!pki.ok()) {
    TW_REQUIRE_OR_SKIP(pki.error());
  }
  const char* cases[][3] = {{"rsa", "openssl pkey", "PRIVATE KEY"},
                            {"rsa", "openssl rsa -traditional", "RSA PRIVATE KEY"},
                            {"clientec", "openssl ec", "EC PRIVATE KEY"},
                            {"ed25519", "openssl pkey", "PRIVATE KEY"}};
  for (const auto& c : cases) {
    const std::string pem = testsupport::RunCommand(std::string(c[1]) + " -in " + pki.Key(c[0]) + " 2>/dev/null");
    ByteString der, cut;
    KeyPair key;
    ASSERT_EQ(PemDecodeWithLabel(&der, c[2], pem.data(), static_cast<int>(pem.size())), 0) << c[1];
    ASSERT_EQ(ReadPrivateKeyByLabel(c[2], der, &key), 0) << c[0] << " " << c[2];
    for (int n = 0; n < der.length(); n += (n < 64 ? 1 : 13)) {
      cut.Set(der.data(), n);
      EXPECT_NE(ReadPrivateKeyByLabel(c[2], cut, &key), 0) << c[0] << " cut at " << n;
    }
  }
}

// Traditional encrypted keys from openssl decode, under the right password, to the DER openssl
// writes unencrypted; the decoder's own faults keep their codes.
struct DekCase {
  const char* key;
  const char* tool;
  const char* cipher;
  const char* label;
};

class PemDekInfo : public testing::TestWithParam<DekCase> {};

TEST_P(PemDekInfo, DecryptsToOpensslDer) {
  const DekCase& c = GetParam();
  const std::string key = keyfix::Pkcs8Pem(c.key);
  if (key.empty()) {
    TW_REQUIRE_OR_SKIP("openssl not available");
  }
  const std::string tool = c.tool;
  const std::string pem = keyfix::Openssl(tool + " " + c.cipher + " -passout pass:s3cret", key);
  const std::string der = keyfix::Openssl(tool + " -outform DER", key);
  ASSERT_NE(pem.find("DEK-Info"), std::string::npos);
  ByteString out, text;
  text.Set(pem.data(), static_cast<int>(pem.size()));
  ASSERT_EQ(PemDecodeBytes(text, c.label, &out, "s3cret"), 0);
  EXPECT_EQ(std::string(out.data(), static_cast<size_t>(out.length())), der);
}

INSTANTIATE_TEST_SUITE_P(Openssl, PemDekInfo,
                         testing::Values(DekCase{"rsa", "rsa -traditional", "-des3", "RSA PRIVATE KEY"},
                                         DekCase{"p384", "ec", "-aes128", "EC PRIVATE KEY"},
                                         DekCase{"p521", "ec", "-aes256", "EC PRIVATE KEY"},
                                         DekCase{"dsa", "dsa", "-aes256", "DSA PRIVATE KEY"}),
    [](const auto& i) { const auto& p = i.param; return testsupport::MakeName(p.key, p.cipher); });

struct DecodeCase {
  const char* text;
  const char* label;
  bool strict;
  int rc;
  const char* hex;
};

class PemDecode : public testing::TestWithParam<DecodeCase> {};

TEST_P(PemDecode, GivesBytesOrCode) {
  const DecodeCase& c = GetParam();
  ByteString out;
  const int n = static_cast<int>(std::strlen(c.text));
  EXPECT_EQ(PemDecodeWithLabel(&out, c.label, c.text, n == 0 ? 5 : n, "pw", c.strict), c.rc);
  EXPECT_EQ(testsupport::Hex(out.data(), static_cast<size_t>(out.length())), c.hex);
}

#define DEK(name, iv) "-----BEGIN K-----\nProc-Type: 4,ENCRYPTED\nDEK-Info: " name "," iv "\n\nAAECAwQFBgcICQoLDA0ODw==\n-----END K-----\n"

INSTANTIATE_TEST_SUITE_P(
    Texts, PemDecode,
    testing::Values(
        // Short DER is all 7-bit; it is still DER. (Length 5 through the empty-text rule below.)
        DecodeCase{"\x30\x03\x02\x01\x05", "K", true, 0, "3003020105"},
        DecodeCase{"-----BEGIN K-----\nAAEC\n-----END K-----\n", "K", true, 0, "000102"},
        DecodeCase{"-----BEGIN KK-----\nAAEC\n-----END KK-----\n", "K", false, kErrPemLabel, ""},
        DecodeCase{"AAEC", "K", false, 0, "000102"},
        DecodeCase{"AAEC", "K", true, kErrPemLabel, ""},
        // A cipher outside the list fails rather than returning the bytes still encrypted.
        DecodeCase{DEK("AES-192-CBC", "000102030405060708090A0B0C0D0E0F"), "K", true, kErrPemCipher, ""},
        // The IV must be exactly one block.
        DecodeCase{DEK("AES-128-CBC", "0001020304050607"), "K", true, kErrPemIvLength, ""},
        DecodeCase{DEK("DES-EDE3-CBC", "000102030405060708"), "K", true, kErrPemIvLength, ""},
        DecodeCase{DEK("DES-EDE3-CBC", ""), "K", true, kErrPemIvLength, ""}),
    [](const auto& i) { const auto& p = i.param; return testsupport::MakeName(p.text, i.index); });

TEST(PemDecryptTest, CodesOfItsFaults) {
  ByteString data;
  data.Set("0123456789abcdef", 16);
  const uint8_t iv[16] = {};
  EXPECT_EQ(PemDecrypt("AES-128-CBC", &data, "pw", iv, 16, false, "SHA512", 1, nullptr), kErrPemDigest);
  EXPECT_EQ(PemDecrypt("aes-128-cbc", &data, "pw", iv, 16, false, nullptr, 1, nullptr), kErrPemCipher);
  data.Set("0123456789abcde", 15);
  EXPECT_EQ(PemDecrypt("AES-128-CBC", &data, "pw", iv, 16, false, nullptr, 1, nullptr), 2003);
  EXPECT_EQ(data.length(), 15);  // left as it was
}

}  // namespace
}  // namespace tw
