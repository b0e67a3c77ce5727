#include "certs/private_key_reader.h"

#include <gtest/gtest.h>

#include <string>

#include "certs/der_reader.h"
#include "certs/pem_armor.h"
#include "certs/private_key_decryptor.h"
#include "certs/private_key_ssh2.h"
#include "tests/certs/key_fixtures.h"
#include "tests/support/case_name.h"

namespace tw {
namespace {

ByteString Bytes(const std::string& s) {
  ByteString b;
  b.Set(s.data(), static_cast<int>(s.size()));
  return b;
}

KeyPair Plain(const std::string& pkcs8_pem) {
  ByteString der;
  KeyPair key;
  PemDecodeWithLabel(&der, "PRIVATE KEY", pkcs8_pem.data(), static_cast<int>(pkcs8_pem.size()));
  EXPECT_EQ(ReadPkcs8PrivateKey(der, &key), 0);
  return key;
}

// The first block of a PEM text through ReadPemKeyBlock, its body cut to `cut` bytes when given.
int ReadFirstBlock(const std::string& text, const char* password, KeyPair* key, std::string* label = nullptr,
                   int cut = -1) {
  StringList labels, headers, bodies;
  if (ReadPemBlocks(text.data(), static_cast<int>(text.size()), &labels, &headers, &bodies, nullptr) != 0) return -1;
  if (label) *label = labels.Get(0);
  ByteString body;
  body.Set(bodies.Get(0), cut >= 0 && cut < bodies.GetLength(0) ? cut : bodies.GetLength(0));
  return ReadPemKeyBlock(labels.Get(0), headers.Get(0), body, password, key);
}

// openssl pkcs8 -topk8 with each scheme: the PrivateKeyInfo comes back byte for byte (PBKDF2
// over the whole 16-byte salt openssl uses); a wrong password is 500; every cut is an error.
struct Pkcs8Case {
  const char* key;
  const char* scheme;
};

class EncryptedPkcs8 : public testing::TestWithParam<Pkcs8Case> {};

TEST_P(EncryptedPkcs8, DecryptsLikeOpenssl) {
  const Pkcs8Case& c = GetParam();
  const std::string& pem = keyfix::Pkcs8Pem(c.key);
  if (pem.empty()) {
    TW_REQUIRE_OR_SKIP("openssl not available");
  }
  const std::string enc = keyfix::Openssl(std::string("pkcs8 -topk8 -outform DER -passout pass:pa55 ") + c.scheme, pem);
  const std::string info = keyfix::Openssl("pkcs8 -topk8 -nocrypt -outform DER", pem);
  ASSERT_FALSE(enc.empty());
  ByteString out;
  ASSERT_EQ(DecryptEncryptedPkcs8(Bytes(enc), "pa55", &out), 0);
  EXPECT_EQ(std::string(out.data(), static_cast<size_t>(out.length())), info);
  KeyPair key;
  ASSERT_EQ(ReadEncryptedPkcs8PrivateKey(Bytes(enc), "pa55", &key), 0);
  EXPECT_TRUE(SamePublicKey(key, Plain(pem)));
  EXPECT_EQ(ReadEncryptedPkcs8PrivateKey(Bytes(enc), "wrong", &key), kErrKeyNotDecrypted);
  for (size_t n = 0; n < enc.size(); ++n) {
    EXPECT_NE(ReadEncryptedPkcs8PrivateKey(Bytes(enc.substr(0, n)), "pa55", &key), 0) << n;
  }
  // The same key as PEM "ENCRYPTED PRIVATE KEY".
  const std::string text = keyfix::Openssl(std::string("pkcs8 -topk8 -passout pass:pa55 ") + c.scheme, pem);
  EXPECT_EQ(ReadFirstBlock(text, "pa55", &key), 0);
  EXPECT_EQ(ReadFirstBlock(text, "", &key), kErrKeyNotDecrypted);
}

INSTANTIATE_TEST_SUITE_P(
    Openssl, EncryptedPkcs8,
    testing::Values(Pkcs8Case{"rsa", "-v2 aes-256-cbc"}, Pkcs8Case{"p256", "-v2 aes-128-cbc"},
                    Pkcs8Case{"ed25519", "-v2 des3"}, Pkcs8Case{"p384", "-v2 aes-256-cbc -v2prf hmacWithSHA1"},
                    Pkcs8Case{"dsa", "-v2 aes-256-cbc -iter 1"}, Pkcs8Case{"rsa", "-v1 PBE-SHA1-3DES"},
                    Pkcs8Case{"p521", "-v1 PBE-SHA1-2DES"}, Pkcs8Case{"ed448", "-v1 PBE-SHA1-3DES"},
                    Pkcs8Case{"rsa", "-v1 PBE-SHA1-DES -provider legacy -provider default"},
                    Pkcs8Case{"p256", "-v1 PBE-MD5-DES -provider legacy -provider default"}),
    [](const auto& i) { const auto& p = i.param; return testsupport::MakeName(p.key, p.scheme); });

// Damaged structure and unsupported algorithms are told apart from a wrong password.
TEST(EncryptedPkcs8Test, DamageIsNotAWrongPassword) {
  const std::string& pem = keyfix::Pkcs8Pem("p256");
  if (pem.empty()) {
    TW_REQUIRE_OR_SKIP("openssl not available");
  }
  const std::string enc = keyfix::Openssl("pkcs8 -topk8 -outform DER -passout pass:pa55 -v2 aes-128-cbc", pem);
  std::string short_outer = enc, aes192 = enc;
  short_outer[1] = static_cast<char>(short_outer[1] - 1);
  const size_t at = enc.find(std::string("\x60\x86\x48\x01\x65\x03\x04\x01\x02", 9));  // AES-128-CBC
  ASSERT_NE(at, std::string::npos);
  aes192[at + 8] = 0x16;
  ByteString out;
  EXPECT_EQ(DecryptEncryptedPkcs8(Bytes(short_outer), "pa55", &out), kErrDerMalformed);
  EXPECT_EQ(DecryptEncryptedPkcs8(Bytes(aes192), "pa55", &out), kErrPemLabel);
}

// PBKDF2 runs over the whole salt: 16 bytes here (openssl 3.0 writes 8); python encrypts.
TEST(EncryptedPkcs8Test, WholeSixteenByteSalt) {
  const std::string& pem = keyfix::Pkcs8Pem("p256");
  if (pem.empty()) {
    TW_REQUIRE_OR_SKIP("openssl not available");
  }
  const std::string info = keyfix::Openssl("pkcs8 -topk8 -nocrypt -outform DER", pem);
  // PBES2 { PBKDF2 { salt "0123456789abcdef", 2048, hmacWithSHA256 }, AES-256-CBC "fedcba9876543210" }
  const std::string script =
      "import sys\nfrom cryptography.hazmat.primitives import hashes, padding\n"
      "from cryptography.hazmat.primitives.kdf.pbkdf2 import PBKDF2HMAC\n"
      "from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes\n"
      "key = PBKDF2HMAC(hashes.SHA256(), 32, b'0123456789abcdef', 2048).derive(b'pa55')\n"
      "p = padding.PKCS7(128).padder()\nd = p.update(bytes.fromhex(sys.stdin.readline().strip())) + p.finalize()\n"
      "e = Cipher(algorithms.AES(key), modes.CBC(b'fedcba9876543210')).encryptor()\nc = e.update(d) + e.finalize()\n"
      "a = bytes.fromhex('305f06092a864886f70d01050d3052303106092a864886f70d01050c30240410303132333435363738396162"
      "6364656602020800300c06082a864886f70d02090500301d060960864801650304012a041066656463626139383736353433323130')\n"
      "b = a + bytes([4, 0x81, len(c)]) + c\nprint((bytes([0x30, 0x81, len(b)]) + b).hex())\n";
  std::vector<std::string> out;
  TW_PYTHON_OR_SKIP(script, testsupport::Hex(info.data(), info.size()) + "\n", &out);
  ASSERT_EQ(out.size(), 1u);
  ByteString plain;
  ASSERT_EQ(DecryptEncryptedPkcs8(Bytes(testsupport::Unhex(out[0])), "pa55", &plain), 0);
  EXPECT_EQ(std::string(plain.data(), static_cast<size_t>(plain.length())), info);
}

// Traditional keys with DEK-Info, public key forms and the SSH2 text, by label.
struct BlockCase {
  const char* key;
  const char* command;  // openssl (or puttygen, "P:" prefix) over the PKCS #8 PEM
  const char* label;
  bool encrypted;
};

class PemKeyBlocks : public testing::TestWithParam<BlockCase> {};

TEST_P(PemKeyBlocks, ReadsTheSameKey) {
  const BlockCase& c = GetParam();
  const std::string& pem = keyfix::Pkcs8Pem(c.key);
  if (pem.empty()) {
    TW_REQUIRE_OR_SKIP("openssl not available");
  }
  std::string text;
  const std::string cmd = c.command;
  if (cmd.rfind("P:", 0) == 0) {
    if (!testsupport::HaveProgram("puttygen")) {
      TW_REQUIRE_OR_SKIP("puttygen not installed");
    }
    const std::string dir = testsupport::MakeTempDir();
    testsupport::WriteFile(dir + "/k.pem", keyfix::Openssl(cmd.substr(2), pem));
    testsupport::WriteFile(dir + "/pw", "pa55\n");
    testsupport::RunCommand("puttygen " + dir + "/k.pem -O private-sshcom -o " + dir + "/k.ssh2" +
                            (c.encrypted ? " --new-passphrase " + dir + "/pw" : "") + " 2>&1");
    text = testsupport::ReadFile(dir + "/k.ssh2");
    testsupport::RunCommand("rm -rf " + testsupport::ShellQuote(dir));
  } else {
    text = keyfix::Openssl(cmd, pem);
  }
  ASSERT_FALSE(text.empty()) << cmd;
  KeyPair key;
  std::string label;
  ASSERT_EQ(ReadFirstBlock(text, "pa55", &key, &label), 0) << text;
  StringList bodies;
  ReadPemBlocks(text.data(), static_cast<int>(text.size()), nullptr, nullptr, &bodies, nullptr);
  const int key_bytes = bodies.GetLength(0);
  EXPECT_EQ(label, c.label);
  EXPECT_TRUE(SamePublicKey(key, Plain(pem)));
  EXPECT_EQ(key.HasPrivate(), std::string(c.label).find("PRIVATE") != std::string::npos);
  EXPECT_EQ(ReadFirstBlock(text, "wrong", &key), c.encrypted ? kErrKeyNotDecrypted : 0);
  // Every cut of the body, and of the text before its end line, is an error.
  for (int n = 0; n < key_bytes; ++n) EXPECT_NE(ReadFirstBlock(text, "pa55", &key, nullptr, n), 0) << n;
  const size_t end = text.find("END");
  for (size_t n = 0; n < end; n += 7) EXPECT_NE(ReadFirstBlock(text.substr(0, n), "pa55", &key), 0) << n;
}

INSTANTIATE_TEST_SUITE_P(
    Tools, PemKeyBlocks,
    testing::Values(BlockCase{"rsa", "rsa -traditional -des3 -passout pass:pa55", "RSA PRIVATE KEY", true},
                    BlockCase{"rsa", "rsa -traditional -aes256 -passout pass:pa55", "RSA PRIVATE KEY", true},
                    BlockCase{"rsa", "rsa -traditional -des-ede3-cfb -passout pass:pa55", "RSA PRIVATE KEY", true},
                    BlockCase{"p256", "ec -aes128 -passout pass:pa55", "EC PRIVATE KEY", true},
                    BlockCase{"dsa", "dsa -des3 -passout pass:pa55", "DSA PRIVATE KEY", true},
                    BlockCase{"dsa", "dsa", "DSA PRIVATE KEY", false},
                    BlockCase{"ed25519", "pkey -pubout", "PUBLIC KEY", false},
                    BlockCase{"p521", "pkey -pubout", "PUBLIC KEY", false},
                    BlockCase{"rsa", "rsa -RSAPublicKey_out", "RSA PUBLIC KEY", false},
                    BlockCase{"rsa", "P:rsa -traditional", "SSH2 ENCRYPTED PRIVATE KEY", true},
                    BlockCase{"rsa", "P:rsa -traditional", "SSH2 ENCRYPTED PRIVATE KEY", false},
                    BlockCase{"dsa", "P:dsa", "SSH2 ENCRYPTED PRIVATE KEY", true}),
    [](const auto& i) { const auto& p = i.param; return testsupport::MakeName(p.key, p.label, i.index); });

TEST(PemKeyBlockTest, LabelsAndHostileBodies) {
  KeyPair key;
  ByteString body;
  body.Set("\x30\x0c\x02\x01\x17\x02\x01\x0b\x02\x01\x04\x02\x01\x08", 14);
  ASSERT_EQ(ReadPemKeyBlock("DSA PUBLIC KEY", "", body, nullptr, &key), 0);
  EXPECT_EQ(key.type, kKeyDsa);
  EXPECT_EQ(key.dsa.Y.ByteAt(0), 8);
  EXPECT_EQ(ReadPemKeyBlock("CERTIFICATE", "", body, nullptr, &key), kErrPemLabel);
  EXPECT_EQ(ReadPemKeyBlock("private key", "", body, nullptr, &key), kErrPemLabel);
  EXPECT_EQ(ReadPemKeyBlock("RSA PUBLIC KEY", "", body, nullptr, &key), kErrDerMalformed);
  EXPECT_EQ(ReadPemKeyBlock("RSA PRIVATE KEY", "DEK-Info: AES-192-CBC,00000000000000000000000000000000", body, "",
                            &key),
            kErrPemCipher);
  EXPECT_EQ(ReadPemKeyBlock("EC PRIVATE KEY", "DEK-Info: DES-EDE3-CBC,0001", body, "", &key), kErrPemIvLength);
  EXPECT_EQ(ReadPemKeyBlock("SSH2 ENCRYPTED PRIVATE KEY", "", body, "", &key), kErrSsh2KeyData);
  EXPECT_EQ(key.type, kKeyDsa);  // failures leave the key as it was
}

}  // namespace
}  // namespace tw
