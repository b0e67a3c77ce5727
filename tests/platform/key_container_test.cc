// Key containers as files in a private folder and the certificate contexts bound to them; libcrypto
// writes the key blobs the tests hand in.
#include "platform/key_container.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "platform/crypt32_store.h"
#include "tests/peers/test_pki.h"
#include "tests/support/test_support.h"

namespace {

using testsupport::TestPki;

class KeyContainers : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = testsupport::MakeTempDir();
    folder_ = root_ + "/nested/keys";
    setenv(win::kKeyContainersVariable, folder_.c_str(), 1);
    open_ = win::OpenKeyContainerHandles();
  }
  void TearDown() override {
    unsetenv(win::kKeyContainersVariable);
    EXPECT_EQ(win::OpenKeyContainerHandles(), open_);
    testsupport::RunCommand("rm -rf " + testsupport::ShellQuote(root_));
  }
  static mode_t Mode(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? st.st_mode & 0777 : 0;
  }
  // The private blob of a test PKI key, as libcrypto writes it.
  static std::string Blob(const std::string& name) {
    int status = -1;
    std::string out = testsupport::RunCommand("openssl rsa -outform MSBLOB -in " + TestPki::Get().Key(name) +
                                              " 2>/dev/null", "", &status);
    return status == 0 ? out : "";
  }
  std::string root_, folder_;
  long open_ = 0;
};

// One step of a container's life and what the platform answers.
struct Step {
  const char* name;
  win::DWORD flags;
  bool ok;
  win::DWORD error;
};

TEST_F(KeyContainers, CreateOpenDeleteInAPrivateFolder) {
  // A folder left wider than private is narrowed.
  ASSERT_EQ(::mkdir((root_ + "/nested").c_str(), 0755), 0);
  ASSERT_EQ(::mkdir(folder_.c_str(), 0755), 0);
  const Step steps[] = {
      {"open before create", 0, false, win::NTE_BAD_KEYSET},
      {"create", win::CRYPT_NEWKEYSET, true, 0},
      {"create again", win::CRYPT_NEWKEYSET, false, win::NTE_EXISTS},
      {"open", 0, true, 0},
      {"machine set is another", win::CRYPT_MACHINE_KEYSET, false, win::NTE_BAD_KEYSET},
      {"delete", win::CRYPT_DELETEKEYSET, true, 0},
      {"open after delete", 0, false, win::NTE_BAD_KEYSET},
      {"delete again", win::CRYPT_DELETEKEYSET, false, win::NTE_BAD_KEYSET},
  };
  for (const Step& s : steps) {
    win::HCRYPTPROV h = 0;
    const bool ok = win::CryptAcquireContextA(&h, "box", "Test Provider", win::PROV_RSA_AES, s.flags);
    EXPECT_EQ(ok, s.ok) << s.name;
    if (!s.ok) {
      EXPECT_EQ(win::GetLastError(), s.error) << s.name;
    }
    if (ok && h != 0) {
      EXPECT_TRUE(win::CryptReleaseContext(h, 0)) << s.name;
    }
    if (std::string(s.name) == "create") {
      EXPECT_EQ(Mode(folder_), 0700u);
      EXPECT_EQ(Mode(folder_ + "/box"), 0600u);
    }
  }
}

TEST_F(KeyContainers, HostileNamesAndTypesAreRefused) {
  const Step names[] = {{"", 0, false, win::NTE_BAD_KEYSET_PARAM},   {"..", 0, false, win::NTE_BAD_KEYSET_PARAM},
                        {"a/b", 0, false, win::NTE_BAD_KEYSET_PARAM}, {"a\\b", 0, false, win::NTE_BAD_KEYSET_PARAM}};
  for (const Step& s : names) {
    win::HCRYPTPROV h = 0;
    EXPECT_FALSE(win::CryptAcquireContextA(&h, s.name, "p", win::PROV_RSA_FULL, win::CRYPT_NEWKEYSET)) << s.name;
    EXPECT_EQ(win::GetLastError(), s.error) << s.name;
  }
  win::HCRYPTPROV h = 0;
  EXPECT_FALSE(win::CryptAcquireContextA(&h, "x", "p", 99, win::CRYPT_NEWKEYSET));
  EXPECT_EQ(win::GetLastError(), win::NTE_BAD_PROV_TYPE);
}

TEST_F(KeyContainers, ImportedKeyServesTheBoundCertificate) {
  const std::string blob = Blob("client");
  if (blob.empty()) { TW_REQUIRE_OR_SKIP("openssl or the test PKI missing"); }
  const std::string der = testsupport::RunCommand("openssl x509 -outform DER -in " + TestPki::Get().Cert("client"));
  win::HCRYPTPROV h = 0;
  ASSERT_TRUE(win::CryptAcquireContextA(&h, "k", "p", win::PROV_RSA_FULL, win::CRYPT_NEWKEYSET));
  win::HCRYPTKEY key = 0;
  const auto* bytes = reinterpret_cast<const uint8_t*>(blob.data());
  // A blob cut short, and a key of the wrong family for a DSS provider, are refused.
  EXPECT_FALSE(win::CryptImportKey(h, bytes, 15, 0, 0, &key));
  EXPECT_EQ(win::GetLastError(), win::NTE_BAD_DATA);
  ASSERT_TRUE(win::CryptImportKey(h, bytes, static_cast<win::DWORD>(blob.size()), 0, win::CRYPT_EXPORTABLE, &key));
  EXPECT_EQ(Mode(folder_ + "/k"), 0600u);

  win::PCCERT_CONTEXT cert = win::CertCreateCertificateContext(
      win::X509_ASN_ENCODING, reinterpret_cast<const uint8_t*>(der.data()), static_cast<uint32_t>(der.size()));
  ASSERT_NE(cert, nullptr);
  const win::OpenSslEntries* o = nullptr;
  win::OsslX509* x = nullptr;
  win::OsslPkey* k = nullptr;
  EXPECT_FALSE(win::CertContextCredentials(cert, &o, &x, &k));  // nothing bound yet
  std::u16string name = u"k";
  win::CRYPT_KEY_PROV_INFO info{name.data(), nullptr, win::PROV_RSA_FULL, 0, 0, nullptr, win::AT_KEYEXCHANGE};
  ASSERT_TRUE(win::CertSetCertificateContextProperty(cert, win::CERT_KEY_PROV_INFO_PROP_ID, 0, &info));
  ASSERT_TRUE(win::CertContextCredentials(cert, &o, &x, &k));
  o->X509_free(x);
  o->EVP_PKEY_free(k);
  EXPECT_TRUE(win::CryptDestroyKey(key));
  EXPECT_TRUE(win::CryptReleaseContext(h, 0));
  win::HCRYPTPROV none = 0;
  EXPECT_TRUE(win::CryptAcquireContextA(&none, "k", "p", win::PROV_RSA_FULL, win::CRYPT_DELETEKEYSET));
  // The key left with its container.
  EXPECT_FALSE(win::CertContextCredentials(cert, &o, &x, &k));
  win::CertFreeCertificateContext(cert);
}

}  // namespace
