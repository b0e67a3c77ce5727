// OpenSSH and PuTTY private keys and SSH public keys made by ssh-keygen and puttygen.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "certs/openssh_key.h"
#include "certs/pem_armor.h"
#include "certs/private_key_decryptor.h"
#include "certs/private_key_reader.h"
#include "certs/putty_key.h"
#include "certs/ssh_public_key.h"
#include "tests/certs/key_file_support.h"

namespace tw {
namespace {

using keyfile::Bytes;
using keyfile::Str;
using keyfile::TempDir;
using testsupport::ReadFile;
using testsupport::RunCommand;
using testsupport::ShellQuote;

// The first PEM block of a key file: "OPENSSH PRIVATE KEY" through the OpenSSH reader, the
// older PEM forms through the PEM key reader.
int LoadKeyFile(const std::string& text, const char* password, KeyPair* key, ByteString* body) {
  StringList labels, headers, bodies;
  ByteString error;
  if (ReadPemBlocks(text.data(), static_cast<int>(text.size()), &labels, &headers, &bodies, &error) != 0) return -1;
  body->Set(bodies.Get(0), bodies.GetLength(0));
  if (std::strcmp(labels.Get(0), "OPENSSH PRIVATE KEY") == 0) {
    return ReadOpenSshPrivateKey(key, body->data(), body->length(), password);
  }
  return ReadPemKeyBlock(labels.Get(0), headers.Get(0), *body, password, key);
}

KeyPair PublicKeyFile(const std::string& text) {
  KeyPair key;
  EXPECT_EQ(ReadSshPublicKey(text.data(), static_cast<int>(text.size()), &key), 0) << text;
  return key;
}

struct SshCase {
  const char* name;
  const char* args;  // ssh-keygen: type, size, format or cipher
  const char* password;
  int rc;
};

constexpr SshCase kSshCases[] = {
    {"rsa", "-t rsa -b 2048", "", 0},
    {"rsa_aes256ctr", "-t rsa -b 2048", "two words", 0},
    {"rsa_aes128cbc", "-t rsa -b 1024 -Z aes128-cbc", "pw", 0},
    {"rsa_pem", "-t rsa -b 2048 -m PEM", "", 0},
    {"rsa_pem_pw", "-t rsa -b 1024 -m PEM", "secret", 0},
    {"dsa_pw", "-t dsa", "pw", 0},
    {"dsa_pem", "-t dsa -m PEM", "", 0},
    {"p256", "-t ecdsa -b 256", "", 0},
    {"p256_aes192cbc", "-t ecdsa -b 256 -Z aes192-cbc", "pw", 0},
    {"p384_pw", "-t ecdsa -b 384", "pw", 0},
    {"p384_pem_pw", "-t ecdsa -b 384 -m PEM", "secret", 0},
    {"p521_aes256cbc", "-t ecdsa -b 521 -Z aes256-cbc", "pw", 0},
    {"p521_pem", "-t ecdsa -b 521 -m PEM", "", 0},
    {"ed25519", "-t ed25519", "", 0},
    {"ed25519_pw", "-t ed25519", "pw", 0},
    {"ed25519_aes192ctr", "-t ed25519 -Z aes192-ctr", "pw", 0},
    {"ed25519_chacha", "-t ed25519 -Z chacha20-poly1305@openssh.com", "pw", kErrOpenSshKeyData},
};

class SshKeygenFile : public testing::TestWithParam<SshCase> {};

TEST_P(SshKeygenFile, ReadsTheKeyThatSigns) {
  if (!testsupport::HaveProgram("ssh-keygen") || !testsupport::HaveProgram("openssl")) {
    TW_REQUIRE_OR_SKIP("ssh-keygen or openssl not installed");
  }
  const SshCase& c = GetParam();
  TempDir dir;
  int status = -1;
  RunCommand("ssh-keygen -q -a 2 " + std::string(c.args) + " -C 'the comment' -N " + ShellQuote(c.password) +
                 " -f " + ShellQuote(dir / "k") + " </dev/null 2>&1",
             "", &status);
  ASSERT_EQ(status, 0) << c.args;
  const std::string file = ReadFile(dir / "k");
  KeyPair key;
  ByteString body;
  ASSERT_EQ(LoadKeyFile(file, c.password, &key, &body), c.rc);
  if (c.rc != 0) return;
  const bool openssh = file.find("OPENSSH PRIVATE KEY") != std::string::npos;
  EXPECT_TRUE(key.HasPrivate());
  EXPECT_TRUE(SamePublicKey(key, PublicKeyFile(ReadFile(dir / "k.pub"))));
  EXPECT_EQ(keyfile::SignedAndVerified(key, dir), "");
  if (key.type == kKeyEdwards) {
    EXPECT_STREQ(key.GetParam("Comment"), "the comment");
    EXPECT_EQ(key.edwards.private_bytes.length(), 32);
  }
  if (*c.password != '\0') {
    KeyPair wrong;
    const int rc = LoadKeyFile(file, "wrong", &wrong, &body);
    EXPECT_EQ(rc, openssh ? kErrOpenSshKeyData : kErrKeyNotDecrypted);
    EXPECT_EQ(wrong.type, kKeyNone);
  }
  if (openssh) {
    for (int n = 0; n < body.length(); ++n) {
      KeyPair cut;
      ASSERT_NE(ReadOpenSshPrivateKey(&cut, body.data(), n, c.password), 0) << n;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Keys, SshKeygenFile, testing::ValuesIn(kSshCases),
                         [](const auto& info) { return std::string(info.param.name); });

// openssh-key-v1 bodies built field by field around an Ed25519 key.
std::string U32(uint32_t v) {
  return {static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8), static_cast<char>(v)};
}
std::string S(const std::string& s) { return U32(static_cast<uint32_t>(s.size())) + s; }

std::string OpenSshBody(const std::string& magic, uint32_t check2, const std::string& type, const std::string& pad) {
  const std::string pub(32, '\x11'), seed(32, '\x22');
  const std::string blob = S("ssh-ed25519") + S(pub);
  const std::string section = U32(7) + U32(check2) + S(type) + S(pub) + S(seed + pub) + S("c") + pad;
  return magic + S("none") + S("none") + S("") + U32(1) + S(blob) + S(section);
}

struct BodyCase {
  const char* name;
  std::string body;
  int rc;
};

TEST(OpenSshBody, FieldsAreChecked) {
  const std::string magic("openssh-key-v1\0", 15);
  const BodyCase cases[] = {
      {"a string ends the data exactly", OpenSshBody(magic, 7, "ssh-ed25519", ""), 0},
      {"padding after the key", OpenSshBody(magic, 7, "ssh-ed25519", "\1\2\3"), 0},
      {"check words differ", OpenSshBody(magic, 8, "ssh-ed25519", ""), kErrOpenSshKeyData},
      {"unknown key type", OpenSshBody(magic, 7, "ssh-unknown", ""), kErrOpenSshKeyData},
      {"wrong magic", OpenSshBody(std::string("openssh-key-v2\0", 15), 7, "ssh-ed25519", ""), kErrOpenSshKeyData},
      {"magic only", magic, kErrOpenSshKeyData},
      {"short magic", "openssh", kErrOpenSshKeyData},
  };
  for (const BodyCase& c : cases) {
    KeyPair key;
    EXPECT_EQ(ReadOpenSshPrivateKey(&key, c.body.data(), static_cast<int>(c.body.size()), ""), c.rc) << c.name;
    EXPECT_EQ(key.type, c.rc == 0 ? kKeyEdwards : kKeyNone) << c.name;
  }
}

struct PuttyCase {
  const char* name;
  const char* args;  // puttygen: type and size
  const char* password;
  int version;
};

constexpr PuttyCase kPuttyCases[] = {
    {"rsa_v2_pw", "-t rsa -b 1024", "pw", 2},        {"rsa_v3", "-t rsa -b 2048", "", 3},
    {"dsa_v2", "-t dsa -b 1024", "", 2},             {"dsa_v2_pw", "-t dsa -b 1024", "pw", 2},
    {"p256_v2_pw", "-t ecdsa -b 256", "pw", 2},      {"p384_v3", "-t ecdsa -b 384", "", 3},
    {"p521_v2_pw", "-t ecdsa -b 521", "pw", 2},      {"ed25519_v2_pw", "-t ed25519", "pw", 2},
    {"ed25519_v3", "-t ed25519", "", 3},             {"ed448_v3", "-t ed448", "", 3},
    {"ed25519_v3_argon2", "-t ed25519", "pw", 3},
};

class PuttygenFile : public testing::TestWithParam<PuttyCase> {};

TEST_P(PuttygenFile, ReadsTheKeyThatSigns) {
  if (!testsupport::HaveProgram("puttygen") || !testsupport::HaveProgram("openssl")) {
    TW_REQUIRE_OR_SKIP("puttygen or openssl not installed");
  }
  const PuttyCase& c = GetParam();
  TempDir dir;
  testsupport::WriteFile(dir / "pw", c.password);
  const std::string pw = " --old-passphrase " + ShellQuote(dir / "pw");
  int status = -1;
  RunCommand("puttygen " + std::string(c.args) + " -C 'the comment' --ppk-param version=" +
                 std::to_string(c.version) + " --new-passphrase " + ShellQuote(dir / "pw") + " -o " +
                 ShellQuote(dir / "k.ppk") + " </dev/null 2>&1 && puttygen " + ShellQuote(dir / "k.ppk") + pw +
                 " -O public-openssh -o " + ShellQuote(dir / "k.pub") + " </dev/null 2>&1",
             "", &status);
  ASSERT_EQ(status, 0) << c.args;
  const std::string file = ReadFile(dir / "k.ppk");
  const int n = static_cast<int>(file.size());
  KeyPair key;
  ByteString error;
  if (c.version == 3 && *c.password != '\0') {
    // Such a key is derived with Argon2, which is not done here: said plainly, not as a wrong password.
    EXPECT_EQ(ReadPuttyPrivateKey(&key, file.data(), n, c.password, &error), kErrPuttyKeyData);
    EXPECT_STREQ(error.c_str(), kTextPuttyKeyDerivation);
    return;
  }
  ASSERT_EQ(ReadPuttyPrivateKey(&key, file.data(), n, c.password, &error), 0) << error.c_str();
  EXPECT_TRUE(SamePublicKey(key, PublicKeyFile(ReadFile(dir / "k.pub"))));
  EXPECT_EQ(keyfile::SignedAndVerified(key, dir), "");
  if (*c.password != '\0') {
    KeyPair wrong;
    EXPECT_EQ(ReadPuttyPrivateKey(&wrong, file.data(), n, "wrong", &error), kErrPuttyKeyData);
    EXPECT_STREQ(error.c_str(), kTextPuttyWrongPassword);
    EXPECT_EQ(wrong.type, kKeyNone);
    // The cipher name is compared without regard to case.
    std::string upper = file;
    upper.replace(upper.find("aes256-cbc"), 10, "AES256-CBC");
    EXPECT_EQ(ReadPuttyPrivateKey(&wrong, upper.data(), n, c.password, nullptr), 0);
  }
  // The blocks run to the next header word whatever the line counts say.
  std::string recount = file;
  recount.replace(recount.find("Public-Lines: ") + 14, 1, "9");
  KeyPair again;
  EXPECT_EQ(ReadPuttyPrivateKey(&again, recount.data(), n, c.password, nullptr), 0);
  // The MAC is not checked, so its line may be cut.
  for (int cut = 0; cut < static_cast<int>(file.find("Private-MAC")); ++cut) {
    KeyPair part;
    ASSERT_NE(ReadPuttyPrivateKey(&part, file.data(), cut, c.password, nullptr), 0) << cut;
  }
  // The public key file, as a text and as the bare blob, and every prefix of both.
  const std::string text = ReadFile(dir / "k.pub");
  const size_t from = text.find(' ') + 1;
  ByteString blob = Bytes(text.substr(from, text.find(' ', from) - from));
  ASSERT_EQ(DecodeBase64(blob, false, true, false), 0);
  KeyPair from_blob;
  ASSERT_EQ(ReadSshPublicKey(blob.data(), blob.length(), &from_blob), 0);
  EXPECT_TRUE(SamePublicKey(key, from_blob));
  EXPECT_EQ(from_blob.edwards.curve_id, key.edwards.curve_id);
  // Cuts of the text inside its Base64 word, and of the blob anywhere.
  const std::string bare = Str(blob);
  for (const auto& [whole, end] : {std::pair{text, text.find(' ', from) - 1}, std::pair{bare, bare.size()}}) {
    for (size_t cut = 0; cut < end; ++cut) {
      KeyPair part;
      ASSERT_NE(ReadSshPublicKey(whole.data(), static_cast<int>(cut), &part), 0) << cut;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Keys, PuttygenFile, testing::ValuesIn(kPuttyCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(SshPublicKey, UnknownTypeIsAnError) {
  const std::string blob = S("ssh-unknown") + S("xyz");
  KeyPair key;
  EXPECT_EQ(ReadSshPublicKey(blob.data(), static_cast<int>(blob.size()), &key), kErrSshPublicKeyData);
  const std::string text = "ecdsa-sha2-nistp256 " + Str([&] {
    ByteString b = Bytes(S("ecdsa-sha2-nistp256") + S("nistp999") + S("\x04"));
    ByteString t;
    Base64Encode(t, b.data(), b.length(), false, 64, false);
    return t;
  }()) + " c";
  EXPECT_EQ(ReadSshPublicKey(text.data(), static_cast<int>(text.size()), &key), kErrSshPublicKeyData);
  EXPECT_EQ(key.type, kKeyNone);
}

}  // namespace
}  // namespace tw
