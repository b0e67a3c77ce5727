// The system stores as folders, provider names, and a store's selection handed to the platform
// as a certificate context with its key (a temporary container, or the platform's PFX import).
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "certs/cert_manager.h"
#include "certs/cert_store.h"
#include "certs/cng_key.h"
#include "certs/key_blob.h"
#include "certs/key_provider.h"
#include "platform/cert_store_files.h"
#include "platform/crypt32_store.h"
#include "platform/private_key_blob.h"
#include "tests/peers/test_pki.h"
#include "tests/support/test_support.h"
#include "tests/support/case_name.h"

namespace tw {
namespace {

using testsupport::TestPki;

struct TypeCase {
  const char* name;
  int32_t type;
  const char* bare;
};
class ProviderNames : public testing::TestWithParam<TypeCase> {};
TEST_P(ProviderNames, GiveTheirType) {
  ByteString bare;
  EXPECT_EQ(ProviderTypeOfName(GetParam().name, &bare), GetParam().type);
  EXPECT_STREQ(bare.c_str(), GetParam().bare);
}
INSTANTIATE_TEST_SUITE_P(Names, ProviderNames,
                         testing::Values(TypeCase{"Microsoft Enhanced RSA and AES Cryptographic Provider", 24,
                                                  "Microsoft Enhanced RSA and AES Cryptographic Provider"},
                                         TypeCase{"Microsoft Base DSS Cryptographic Provider", 3,
                                                  "Microsoft Base DSS Cryptographic Provider"},
                                         TypeCase{"Any Provider:13", 13, "Any Provider"},
                                         TypeCase{"Plain", 1, "Plain"}),
    testsupport::CaseName{});

class PlatformKeys : public testing::Test {
 protected:
  void SetUp() override {
    if (!TestPki::Get().ok()) { TW_REQUIRE_OR_SKIP(TestPki::Get().error()); }
    dir_ = testsupport::MakeTempDir();
    setenv(win::kKeyContainersVariable, (dir_ + "/keys").c_str(), 1);
    setenv(win::kCertStoresVariable, (dir_ + "/stores").c_str(), 1);
    ::mkdir((dir_ + "/stores").c_str(), 0700);
    ::mkdir((dir_ + "/stores/MY").c_str(), 0700);
    const TestPki& pki = TestPki::Get();
    // Sorted first: a certificate without a key.
    testsupport::WriteFile(dir_ + "/stores/MY/a_root.pem", testsupport::ReadFile(pki.Cert("root")));
    for (const char* name : {"client", "clientec"}) {
      // Keys in a system store are imported already: their files open without a password.
      testsupport::RunCommand("openssl pkcs12 -export -passout pass: -in " + pki.Cert(name) + " -inkey " +
                              pki.Key(name) + " -out " + dir_ + "/stores/MY/" + name + ".pfx 2>/dev/null");
    }
  }
  void TearDown() override {
    unsetenv(win::kKeyContainersVariable);
    unsetenv(win::kCertStoresVariable);
    if (!dir_.empty()) testsupport::RunCommand("rm -rf " + testsupport::ShellQuote(dir_));
  }
  std::string KeyFiles() const { return testsupport::RunCommand("find " + dir_ + "/keys -type f 2>/dev/null"); }
  std::string dir_;
};

struct StoreCase {
  const char* name;
  const char* subject;
  const char* password;
  int rc;
  const char* text;  // in the error text, or in the selected subject on success
  bool private_key;
};
class SystemStoreFolder : public PlatformKeys, public testing::WithParamInterface<StoreCase> {};

TEST_P(SystemStoreFolder, SelectsBySubject) {
  const StoreCase& c = GetParam();
  CertStore store;
  const int rc = store.Open("MY", -1, c.password, c.subject, cstUser);
  EXPECT_EQ(rc, c.rc) << store.error_text.c_str();
  const std::string seen = rc == kOk ? store.subject.c_str() : store.error_text.c_str();
  EXPECT_NE(seen.find(c.text), std::string::npos) << seen;
  EXPECT_EQ(store.HasPrivateKey(), c.private_key);
}
INSTANTIATE_TEST_SUITE_P(
    Cases, SystemStoreFolder,
    testing::Values(StoreCase{"AnyWithKey", "*", "secret", kOk, "CN=Test Client", true},
                    StoreCase{"BySubject", "Test Client EC", "secret", kOk, "CN=Test Client EC", true},
                    StoreCase{"WithoutKey", "CN=Test Root", "secret", kOk, "CN=Test Root", false},
                    StoreCase{"NoMatch", "Nobody", "secret", kErrStoreCertNotFound, "could not be found", false},
                    // The platform's store holds its keys imported: a store password plays no part.
                    StoreCase{"PasswordIgnored", "Test Client", "other", kOk, "CN=Test Client", true}),
    [](const auto& info) { return std::string(info.param.name); });

// How a selection reaches the platform, and that its temporary container goes with it.
struct ContextCase {
  const char* name;
  const char* pki;
  bool pem;             // certificate and key as PEM text, else the store folder's PFX
  bool with_key;        // the context has a usable key
  bool container_held;  // a temporary container holds it
};
class SelectionContext : public PlatformKeys, public testing::WithParamInterface<ContextCase> {};

TEST_P(SelectionContext, CarriesTheKey) {
  const ContextCase& c = GetParam();
  const TestPki& pki = TestPki::Get();
  CertStore store;
  const std::string subject = std::string("CN=") + (std::string(c.pki) == "clientec" ? "Test Client EC" : "Test Client");
  if (c.pem) {
    std::string pem = testsupport::ReadFile(pki.Cert(c.pki));
    if (c.with_key) pem += testsupport::ReadFile(pki.Key(c.pki));
    ASSERT_EQ(store.Open(pem.data(), static_cast<int>(pem.size()), "", "*", cstAuto), kOk) << store.error_text.c_str();
  } else {
    ASSERT_EQ(store.Open("MY", -1, "secret", subject.c_str(), cstUser), kOk) << store.error_text.c_str();
  }
  win::PCCERT_CONTEXT context = nullptr;
  ASSERT_EQ(GetCertContext(&store, &context), kOk) << store.error_text.c_str();
  ASSERT_NE(context, nullptr);
  win::PCCERT_CONTEXT again = nullptr;
  EXPECT_EQ(GetCertContext(&store, &again), kOk);
  EXPECT_EQ(again, context);  // made once and kept
  const win::OpenSslEntries* o = nullptr;
  win::OsslX509* x = nullptr;
  win::OsslPkey* k = nullptr;
  const bool usable = win::CertContextCredentials(context, &o, &x, &k);
  EXPECT_EQ(usable, c.with_key);
  if (usable) {
    o->X509_free(x);
    o->EVP_PKEY_free(k);
  }
  EXPECT_EQ(!KeyFiles().empty(), c.container_held) << KeyFiles();
  store.Reset();
  EXPECT_EQ(KeyFiles(), "");
}
INSTANTIATE_TEST_SUITE_P(Cases, SelectionContext,
                         testing::Values(ContextCase{"RsaPem", "client", true, true, true},
                                         ContextCase{"EcPem", "clientec", true, true, false},
                                         ContextCase{"DsaPem", "clientdsa", true, true, true},
                                         ContextCase{"CertificateOnly", "client", true, false, false},
                                         // The platform's own context carries the store's key.
                                         ContextCase{"RsaStoreFolder", "client", false, true, false},
                                         ContextCase{"EcStoreFolder", "clientec", false, true, false}),
                         [](const auto& info) { return std::string(info.param.name); });

// The friendly name a PFX bag carries reaches the manager, from a store folder and from the file.
struct NameCase {
  const char* name;
  int32_t type;
  const char* friendly;  // "" for a PFX without one
};
class FriendlyNames : public PlatformKeys, public testing::WithParamInterface<NameCase> {};

TEST_P(FriendlyNames, ComeFromThePfx) {
  const NameCase& c = GetParam();
  const TestPki& pki = TestPki::Get();
  const std::string pfx = dir_ + "/stores/MY/b_named.pfx";  // sorted before the other keys
  const std::string name = *c.friendly ? " -name " + testsupport::ShellQuote(c.friendly) : "";
  testsupport::RunCommand("openssl pkcs12 -export -passout pass: -in " + pki.Cert("client") + " -inkey " +
                          pki.Key("client") + name + " -out " + pfx + " 2>/dev/null");
  CertificateManager m;
  ASSERT_EQ(m.Initialize(), kOk);
  const std::string where = c.type == cstUser       ? "MY"
                            : c.type == cstPFXBlob ? testsupport::RunCommand("base64 -w0 " + pfx)
                                                   : pfx;
  m.SetStoreBytes(where.data(), static_cast<int>(where.size()));
  m.SetStoreType(c.type);
  ASSERT_EQ(m.LoadCertBySubject("*"), kOk) << m.error_text().c_str();
  const char* answer = nullptr;
  ASSERT_EQ(m.ConfigText("CertFriendlyName", &answer), kOk);
  EXPECT_STREQ(answer, c.friendly);
  EXPECT_NE(m.ConfigText("CertFriendlyName=other", &answer), kOk);
}
INSTANTIATE_TEST_SUITE_P(Cases, FriendlyNames,
                         testing::Values(NameCase{"StoreFolder", cstUser, "B\xc3\xbcro client"},
                                         NameCase{"PfxFile", cstPFXFile, "Client cert"},
                                         NameCase{"PfxBase64Blob", cstPFXBlob, "Client cert"},
                                         NameCase{"Unnamed", cstPFXFile, ""}),
                         [](const auto& info) { return std::string(info.param.name); });

// A DSA key's container blob, whole and damaged: only the whole blob gives the platform a key.
struct BlobCase {
  const char* name;
  int keep;  // bytes kept; 0 for all, -1 for one more, -2 for one less
  int at;    // a byte changed, or -1
  uint8_t value;
  bool key;
};
class DssBlobs : public PlatformKeys, public testing::WithParamInterface<BlobCase> {};

TEST_P(DssBlobs, GiveAKeyOnlyWhole) {
  const BlobCase& c = GetParam();
  const TestPki& pki = TestPki::Get();
  const std::string pem = testsupport::ReadFile(pki.Cert("clientdsa")) + testsupport::ReadFile(pki.Key("clientdsa"));
  CertStore store;
  ASSERT_EQ(store.Open(pem.data(), static_cast<int>(pem.size()), "", "*", cstAuto), kOk) << store.error_text.c_str();
  ByteString blob;
  ASSERT_EQ(WritePrivateKeyBlob(*store.GetKey(), &blob), kOk);
  std::vector<uint8_t> bytes(blob.bytes(), blob.bytes() + blob.length());
  if (c.keep > 0) bytes.resize(static_cast<size_t>(c.keep));
  if (c.keep == -1) bytes.push_back(0);
  if (c.keep == -2) bytes.pop_back();
  if (c.at >= 0) bytes[static_cast<size_t>(c.at)] = c.value;
  const win::OpenSslEntries* o = win::LoadOpenSsl();
  ASSERT_NE(o, nullptr);
  win::OsslPkey* key = win::PrivateKeyFromBlob(*o, bytes.data(), bytes.size());
  EXPECT_EQ(key != nullptr, c.key);
  if (key != nullptr) o->EVP_PKEY_free(key);
}
INSTANTIATE_TEST_SUITE_P(Cases, DssBlobs,
                         testing::Values(BlobCase{"Whole", 0, -1, 0, true},
                                         BlobCase{"HeaderOnly", 12, -1, 0, false},
                                         BlobCase{"SeedCut", 40, -1, 0, false},
                                         BlobCase{"OneByteShort", -2, -1, 0, false},
                                         BlobCase{"TrailingByte", -1, -1, 0, false},
                                         BlobCase{"NoPBits", 0, 13, 0, false},
                                         BlobCase{"HugeQBits", 0, 19, 0xFF, false},
                                         BlobCase{"OtherMagic", 0, 11, '9', false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(PlatformKeys, NoSelectionIsNoContext) {
  CertStore store;
  win::PCCERT_CONTEXT context = nullptr;
  EXPECT_EQ(GetCertContext(&store, &context), 281);
  EXPECT_EQ(context, nullptr);
  EXPECT_NE(std::string(store.error_text.c_str()).find("No certificate selected"), std::string::npos);
}

}  // namespace
}  // namespace tw

namespace tw {
namespace {

// ncrypt switched off: each operation says so with -1, after its own argument checks.
struct CngCase {
  const char* name;
  int expected;
  int (*run)();
};
ByteString Bytes(int n) {
  ByteString b;
  b.Resize(n);
  return b;
}
class CngMissing : public testing::TestWithParam<CngCase> {};
TEST_P(CngMissing, IsReported) {
  win::SetLibraryEnabled(kCngLibrary, false);
  EXPECT_FALSE(CngAvailable());
  EXPECT_EQ(GetParam().run(), GetParam().expected);
  win::SetLibraryEnabled(kCngLibrary, true);
}
INSTANTIATE_TEST_SUITE_P(
    Operations, CngMissing,
    testing::Values(CngCase{"Generate", kErrCngMissing, [] { EcKeyData k; return CngGenerateEcKey(0, &k); }},
                    CngCase{"Import", kErrCngMissing, [] { uintptr_t h = 7; const int rc = CngImportEcKey(EcKeyData(), &h); return h == 0 ? rc : 0; }},
                    CngCase{"DeriveHash", kErrCngMissing, [] { ByteString o; return CngDeriveKey(1, EcKeyData(), "HASH", "SHA256", Bytes(0), Bytes(0), &o); }},
                    CngCase{"PrfWithoutLabel", 1408, [] { ByteString o; return CngDeriveKey(1, EcKeyData(), "TLS_PRF", "SHA256", Bytes(0), Bytes(64), &o); }},
                    CngCase{"PrfShortSeed", 1407, [] { ByteString o; return CngDeriveKey(1, EcKeyData(), "TLS_PRF", "SHA256", Bytes(13), Bytes(63), &o); }},
                    CngCase{"Prf", kErrCngMissing, [] { ByteString o; return CngDeriveKey(1, EcKeyData(), "TLS_PRF", "SHA256", Bytes(13), Bytes(64), &o); }}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace tw

namespace tw {
namespace {

// A container's negative index selects nothing, so nothing reaches the platform either.
class ContainerIndex : public testing::TestWithParam<int32_t> {};
TEST_P(ContainerIndex, SelectsOnlyInRange) {
  const TestPki& pki = TestPki::Get();
  if (!pki.ok()) { TW_REQUIRE_OR_SKIP(pki.error()); }
  const std::string pfx = testsupport::RunCommand("openssl pkcs12 -export -passout pass: -in " + pki.Cert("client") +
                                                  " -inkey " + pki.Key("client") + " 2>/dev/null");
  CertStore store;
  ASSERT_EQ(store.Open(pfx.data(), static_cast<int>(pfx.size()), "", "*", cstPFXBlob), kOk) << store.error_text.c_str();
  store.entries.entries.At(0)->pfx->selected = GetParam();
  store.platform.Release();
  const bool in_range = GetParam() == 0;
  EXPECT_EQ(store.entries.SelectedCertificate() != nullptr, in_range);
  win::PCCERT_CONTEXT context = nullptr;
  EXPECT_EQ(GetCertContext(&store, &context), in_range ? kOk : 281);
}
INSTANTIATE_TEST_SUITE_P(Indexes, ContainerIndex, testing::Values(0, -1, -2, 1),
    [](const auto& i) { const auto& p = i.param; return testsupport::MakeName(p < 0 ? "minus" : "", p < 0 ? -p : p); });

}  // namespace
}  // namespace tw
