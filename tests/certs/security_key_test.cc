// The token store against SoftHSM2 with a token of the test's own: selection by subject, wrong
// PINs and descriptions, signing with the token key checked by openssl.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "certs/cert_store.h"
#include "certs/security_key_token.h"
#include "platform/library.h"
#include "tests/certs/security_key_fixture.h"
#include "tests/support/test_support.h"
#include "tests/support/case_name.h"

namespace tw {
namespace {

using testsupport::RunCommand;
using tokentest::Description;
using tokentest::kModule;
using tokentest::kPin;
using tokentest::Token;

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

struct DigestCase {
  const char* subject;
  int hash_id;
  const char* dgst;
  bool pss;
  const char* pub;
};
const DigestCase kDigestCases[] = {
    {"token-a", 2, "-sha256", false, "a.pub"}, {"token-a", 0, "-sha1", false, "a.pub"},
    {"token-a", 7, "-sha384", true, "a.pub"},  {"token-a", 2, "-sha256", true, "a.pub"},
    {"token-b", 2, "-sha256", false, "b.pub"}, {"token-b", 4, "-sha512", false, "b.pub"},
};

class SecurityKeyDigest : public ::testing::TestWithParam<DigestCase> {};

// The token signs digests as TLS needs them; openssl verifies over the data.
TEST_P(SecurityKeyDigest, VerifiesWithOpenssl) {
  REQUIRE_TOKEN();
  const DigestCase& c = GetParam();
  const Token& t = Token::Get();
  const std::string text = Description(std::string("DllPath: ") + kModule + "\n");
  CertStore store;
  ASSERT_EQ(store.Open(text.data(), -1, kPin, c.subject, cstSecurityKey), 0) << store.error_text.c_str();
  const std::string data = testsupport::RandomBytes(200, 3);
  testsupport::WriteFile(t.Path("data.bin"), data);
  const std::string digest = RunCommand("openssl dgst -binary " + std::string(c.dgst), data);
  ByteString signature, error;
  ASSERT_EQ(SignDigestWithSecurityKey(*store.entries.SelectedEntry()->certificateWithKey, kPin, c.hash_id, c.pss,
                                      reinterpret_cast<const uint8_t*>(digest.data()), digest.size(), &signature,
                                      &error),
            0)
      << error.c_str();
  testsupport::WriteFile(t.Path("sig.bin"), std::string(signature.c_str(), signature.length()));
  const std::string pss = c.pss ? " -sigopt rsa_padding_mode:pss -sigopt rsa_pss_saltlen:digest" : "";
  int status = -1;
  RunCommand("openssl dgst " + std::string(c.dgst) + pss + " -verify " + t.Path(c.pub) + " -signature " +
                 t.Path("sig.bin") + " " + t.Path("data.bin"),
             "", &status);
  EXPECT_EQ(status, 0);
}

INSTANTIATE_TEST_SUITE_P(Token, SecurityKeyDigest, ::testing::ValuesIn(kDigestCases),
    [](const auto& i) { const auto& p = i.param; return testsupport::MakeName(p.dgst, p.pss ? "pss" : "", i.index); });

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
