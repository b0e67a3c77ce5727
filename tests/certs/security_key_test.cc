// The token store against SoftHSM2 with a token of the test's own: selection by subject, wrong
// PINs and descriptions, signing with the token key checked by openssl.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "certs/cert_store.h"
#include "certs/security_key_token.h"
#include "platform/library.h"
#include "tests/support/test_support.h"

namespace tw {
namespace {

using testsupport::RunCommand;

constexpr const char* kModule = "/usr/lib/softhsm/libsofthsm2.so";
constexpr const char* kPin = "4321";

// A token "t" holding an RSA certificate with its key (id 01), an EC certificate with its key
// (id 02) and a certificate without a key (id 03).
class Token {
 public:
  static Token& Get() {
    static Token t;
    return t;
  }
  bool ok() const { return ok_; }
  std::string Path(const std::string& name) const { return dir_ + "/" + name; }

 private:
  Token() : dir_(testsupport::MakeTempDir()) {
    if (!testsupport::HaveProgram("softhsm2-util") || !testsupport::HaveProgram("pkcs11-tool")) return;
    const std::string conf = dir_ + "/softhsm2.conf";
    testsupport::WriteFile(conf, "directories.tokendir = " + dir_ + "/tokens\nobjectstore.backend = file\n"
                                 "log.level = ERROR\n");
    setenv("SOFTHSM2_CONF", conf.c_str(), 1);
    const std::string tool = std::string("pkcs11-tool --module ") + kModule + " --login --pin " + kPin;
    const std::string script =
        "cd " + dir_ + " && set -e && mkdir tokens\n"
        "softhsm2-util --init-token --free --label t --pin " + kPin + " --so-pin 876543 >/dev/null\n"
        "openssl req -x509 -newkey rsa:2048 -nodes -keyout a.key -out a.pem -subj '/CN=token-a/O=Acme' 2>/dev/null\n"
        "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout b.key -out b.pem "
        "-subj '/CN=token-b' 2>/dev/null\n"
        "openssl req -x509 -newkey rsa:2048 -nodes -keyout c.key -out c.pem -subj '/CN=token-c' 2>/dev/null\n"
        "for n in a b c; do openssl x509 -in $n.pem -outform DER -out $n.der; "
        "openssl pkcs8 -topk8 -nocrypt -in $n.key -outform DER -out $n.p8; done\n"
        "openssl x509 -in a.pem -pubkey -noout > a.pub\n" +
        tool + " --write-object a.der --type cert --id 01 --label certA >/dev/null\n" +
        tool + " --write-object a.p8 --type privkey --id 01 --label keyA >/dev/null\n" +
        tool + " --write-object b.der --type cert --id 02 --label certB >/dev/null\n" +
        tool + " --write-object b.p8 --type privkey --id 02 --label keyB >/dev/null\n" +
        tool + " --write-object c.der --type cert --id 03 --label certC >/dev/null\n";
    int status = -1;
    RunCommand(script, "", &status);
    ok_ = status == 0;
  }
  ~Token() { RunCommand("rm -rf " + dir_); }
  std::string dir_;
  bool ok_ = false;
};

#define REQUIRE_TOKEN()                                                           \
  do {                                                                            \
    if (!Token::Get().ok()) TW_REQUIRE_OR_SKIP("SoftHSM2 and OpenSC not usable"); \
  } while (0)

std::string Description(const std::string& fields) {
  return "-----BEGIN SECURITY KEY-----\n" + fields + "-----END SECURITY KEY-----\n";
}

struct TokenCase {
  const char* name;
  const char* fields;  // "$M" stands for the module path
  const char* pin;
  const char* subject;
  int rc;
  const char* text;  // the error text, or the selected subject
  int entries;
  bool private_key;
};
const TokenCase kTokenCases[] = {
    {"AllBySubject", "DllPath: $M\n", kPin, "token-b", 0, "CN=token-b", 3, true},
    {"StarWithLabels", "DllPath: $M\nTokenLabel: t\nObjectLabel: certA\n", kPin, "*", 0, "CN=token-a, O=Acme", 1,
     true},
    {"CertWithoutKey", "DllPath: $M\n", kPin, "CN=token-c", 0, "CN=token-c", 3, false},
    {"ObjectIdFilter", "DllPath: $M\nObjectId: 02\n", kPin, "", 0, "CN=token-b", 1, true},
    {"ObjectLabelFilter", "dllpath: $M\nObjectLabel: certC\n", kPin, "whatever", 0, "CN=token-c", 1, false},
    {"NoSuchSubject", "DllPath: $M\n", kPin, "CN=nobody", 272, "Cannot find specified certificate.", 0, false},
    {"NoSuchObject", "DllPath: $M\nObjectId: 09\n", kPin, "", 272, "Cannot find specified certificate.", 0, false},
    {"WrongPin", "DllPath: $M\n", "9999", "", 271, "The certificate store could not be opened (Wrong password).", 0,
     false},
    {"NoPin", "DllPath: $M\n", "", "", 271, "Please login first.", 0, false},
    {"NoDllPath", "TokenLabel: t\n", kPin, "", 271, "Please set DllPath first.", 0, false},
    {"NoSuchToken", "DllPath: $M\nTokenLabel: other\n", kPin, "", 271,
     "The certificate store could not be opened (token not found).", 0, false},
    {"NoSuchModule", "DllPath: /nonexistent/p11.so\n", kPin, "", 271,
     "The certificate store could not be opened (PKCS#11 module /nonexistent/p11.so could not be loaded, error 126).",
     0, false},
    {"NotAModule", "DllPath: /etc/hostname\n", kPin, "", 271,
     "The certificate store could not be opened (PKCS#11 module /etc/hostname could not be loaded, error 193).", 0,
     false},
    {"BadLine", "DllPath $M\n", kPin, "", 271,
     "The certificate store could not be opened (bad token description: expected Name: value lines).", 0, false},
    {"BadObjectId", "DllPath: $M\nObjectId: zz\n", kPin, "", 271,
     "The certificate store could not be opened (bad token description: ObjectId is not hex).", 0, false},
};

class SecurityKeyStore : public ::testing::TestWithParam<TokenCase> {};

TEST_P(SecurityKeyStore, Opens) {
  REQUIRE_TOKEN();
  const TokenCase& c = GetParam();
  std::string fields = c.fields;
  const size_t at = fields.find("$M");
  if (at != std::string::npos) fields.replace(at, 2, kModule);
  const std::string text = Description(fields);
  CertStore store;
  const int rc = store.Open(text.data(), static_cast<int>(text.size()), c.pin, c.subject, cstSecurityKey);
  ASSERT_EQ(rc, c.rc) << store.error_text.c_str();
  EXPECT_STREQ(rc == 0 ? store.subject.c_str() : store.error_text.c_str(), c.text);
  if (rc != 0) return;
  EXPECT_EQ(store.store_type, cstSecurityKey);
  EXPECT_EQ(store.entries.entries.Count(), c.entries);
  EXPECT_TRUE(IsCertificateWithKeyEntry(store.entries));
  EXPECT_EQ(store.HasPrivateKey(), c.private_key);
  // The entry names its token and objects.
  const CertificateWithKey& item = *store.entries.SelectedEntry()->certificateWithKey;
  ByteString value;
  ASSERT_EQ(item.GetProperty(kPkcs11DllPath, &value), 0);
  EXPECT_STREQ(value.c_str(), kModule);
  ASSERT_EQ(item.GetProperty(kPkcs11TokenLabel, &value), 0);
  EXPECT_STREQ(value.c_str(), "t");
  // The named type must be the token's; content detection gives it too.
  CertStore detected;
  EXPECT_EQ(detected.Open(text.data(), -1, c.pin, c.subject, cstAuto), 0);
  EXPECT_EQ(detected.store_type, cstSecurityKey);
  CertStore wrong_type;
  EXPECT_EQ(wrong_type.Open(text.data(), -1, c.pin, c.subject, cstPEMKeyBlob), 271);
}

INSTANTIATE_TEST_SUITE_P(Token, SecurityKeyStore, ::testing::ValuesIn(kTokenCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(SecurityKeySign, TokenKeySignatureVerifiesWithOpenssl) {
  REQUIRE_TOKEN();
  const std::string text = Description(std::string("DllPath: ") + kModule + "\n");
  CertStore store;
  ASSERT_EQ(store.Open(text.data(), -1, kPin, "token-a", cstSecurityKey), 0) << store.error_text.c_str();
  const CertificateWithKey& item = *store.entries.SelectedEntry()->certificateWithKey;
  const std::string data = "data signed on the token";
  ByteString signature, error;
  ASSERT_EQ(SignWithSecurityKey(item, kPin, kMechanismSha256RsaPkcs, reinterpret_cast<const uint8_t*>(data.data()),
                                data.size(), &signature, &error),
            0)
      << error.c_str();
  const Token& t = Token::Get();
  testsupport::WriteFile(t.Path("sig.bin"), std::string(signature.c_str(), signature.length()));
  int status = -1;
  RunCommand("openssl dgst -sha256 -verify " + t.Path("a.pub") + " -signature " + t.Path("sig.bin"), data, &status);
  EXPECT_EQ(status, 0);
  RunCommand("openssl dgst -sha256 -verify " + t.Path("a.pub") + " -signature " + t.Path("sig.bin"), data + "!",
             &status);
  EXPECT_NE(status, 0);

  EXPECT_EQ(SignWithSecurityKey(item, "0000", kMechanismSha256RsaPkcs, signature.bytes(), 4, &signature, &error),
            271);
  EXPECT_STREQ(error.c_str(), "The certificate store could not be opened (Wrong password).");
  CertStore keyless;
  ASSERT_EQ(keyless.Open(text.data(), -1, kPin, "token-c", cstSecurityKey), 0);
  EXPECT_EQ(SignWithSecurityKey(*keyless.entries.SelectedEntry()->certificateWithKey, kPin, kMechanismSha256RsaPkcs,
                                signature.bytes(), 4, &signature, &error),
            272);
}

TEST(SecurityKeyModule, SwitchedOffModuleIsMissing) {
  REQUIRE_TOKEN();
  win::SetLibraryEnabled(kModule, false);
  const std::string text = Description(std::string("DllPath: ") + kModule + "\n");
  CertStore store;
  EXPECT_EQ(store.Open(text.data(), -1, kPin, "", cstSecurityKey), 271);
  EXPECT_NE(store.error_text.Find("could not be loaded, error 126", 0), -1) << store.error_text.c_str();
  win::EnableAllLibraries();
  EXPECT_EQ(store.Open(text.data(), -1, kPin, "", cstSecurityKey), 0);
}

}  // namespace
}  // namespace tw
