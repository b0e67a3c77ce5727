// Key containers as files in a private folder and the certificate contexts bound to them; libcrypto
// writes the key blobs the tests hand in.
#include "platform/key_container.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "platform/cert_store_files.h"
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
    unsetenv(win::kCertStoresVariable);
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

namespace {

// A store folder through crypt32: its names, a walk by subject, and which certificate has a key.
struct FindCase {
  const char* name;
  win::DWORD find_type;
  const char* text;  // the subject text for CERT_FIND_SUBJECT_STR_A
  int found;
  int with_key;
};
class SystemStoreWalk : public KeyContainers, public testing::WithParamInterface<FindCase> {};

TEST_P(SystemStoreWalk, FindsCertificates) {
  const TestPki& pki = TestPki::Get();
  if (!pki.ok()) { TW_REQUIRE_OR_SKIP(pki.error()); }
  const std::string stores = root_ + "/stores";
  setenv(win::kCertStoresVariable, stores.c_str(), 1);
  ASSERT_EQ(::mkdir(stores.c_str(), 0700), 0);
  ASSERT_EQ(::mkdir((stores + "/MY").c_str(), 0700), 0);
  testsupport::WriteFile(stores + "/MY/root.pem", testsupport::ReadFile(pki.Cert("root")));
  testsupport::RunCommand("openssl pkcs12 -export -passout pass: -in " + pki.Cert("client") + " -inkey " +
                          pki.Key("client") + " -out " + stores + "/MY/client.pfx 2>/dev/null");
  std::vector<std::string> names;
  win::CertEnumSystemStore(win::CERT_SYSTEM_STORE_CURRENT_USER, nullptr, &names,
                           [](const void* name, win::DWORD, void*, void*, void* arg) -> win::BOOL {
                             const auto* w = static_cast<const char16_t*>(name);
                             static_cast<std::vector<std::string>*>(arg)->emplace_back(w, w + std::char_traits<char16_t>::length(w));
                             return win::TRUE;
                           });
  EXPECT_EQ(names, (std::vector<std::string>{"ROOT", "CA", "MY"}));

  const FindCase& c = GetParam();
  win::HCERTSTORE store = win::CertOpenStore(win::CERT_STORE_PROV_SYSTEM_A, 0, 0, 0x1C000, "MY");
  ASSERT_NE(store, nullptr);
  int found = 0, with_key = 0;
  for (win::PCCERT_CONTEXT it = win::CertFindCertificateInStore(store, 0x10001, 0, c.find_type, c.text, nullptr);
       it != nullptr; it = win::CertFindCertificateInStore(store, 0x10001, 0, c.find_type, c.text, it)) {
    ++found;
    win::DWORD spec = 0, size = sizeof spec;
    if (win::CertGetCertificateContextProperty(it, win::CERT_KEY_SPEC_PROP_ID, &spec, &size)) ++with_key;
  }
  EXPECT_EQ(found, c.found);
  EXPECT_EQ(with_key, c.with_key);
  EXPECT_TRUE(win::CertCloseStore(store, 0));
  EXPECT_EQ(win::CertOpenStore(win::CERT_STORE_PROV_SYSTEM_A, 0, 0, 0x1C000, "NOSUCH"), nullptr);
  EXPECT_EQ(win::GetLastError(), win::ERROR_FILE_NOT_FOUND);
}
INSTANTIATE_TEST_SUITE_P(Finds, SystemStoreWalk,
                         testing::Values(FindCase{"Any", win::CERT_FIND_ANY, nullptr, 2, 1},
                                         FindCase{"SubjectText", win::CERT_FIND_SUBJECT_STR_A, "test client", 1, 1},
                                         FindCase{"NoSubject", win::CERT_FIND_SUBJECT_STR_A, "Nobody", 0, 0}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
