// The certificate manager over stores made here and by openssl.
#include "certs/cert_manager.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <cctype>
#include <string>

#include "certs/cert_create.h"
#include "platform/cert_store_files.h"
#include "tests/certs/cert_create_support.h"
#include "tests/support/case_name.h"

namespace tw {
namespace {

std::string Text(const ByteString& s) { return std::string(s.c_str(), s.length()); }

// A CA and a leaf made here (the leaf's key is the fixture RSA key), as files in one folder.
struct Pki {
  std::string dir;
  Pki() {
    dir = testsupport::MakeTempDir();
    const KeyPair ca_key = LoadKey("p256"), leaf_key = LoadKey("rsa");
    CertExtensionArray ca_ext, leaf_ext;
    AddExtension(&ca_ext, "2.5.29.19", true, "040530030101ff");
    AddExtension(&leaf_ext, "2.5.29.17", false, "040d300b8209612e6578616d706c65");
    Certificate ca, leaf;
    EXPECT_EQ(CreateSignedCertificate(ca_key, "CN=Manager CA", 1, -1, 30, "", nullptr, &ca_ext, "", &ca), kOk);
    EXPECT_EQ(CreateSignedCertificate(leaf_key, "CN=leaf.example, O=Made Here", 2, 0, 30, "CN=Manager CA",
                                      &ca_key, &leaf_ext, "SHA256", &leaf),
              kOk);
    testsupport::WriteFile(dir + "/ca.pem", Pem(ca));
    testsupport::WriteFile(dir + "/leaf.pem", Pem(leaf) + keyfix::Pkcs8Pem("rsa"));
    testsupport::WriteFile(dir + "/both.pem", Pem(leaf) + Pem(ca));
    testsupport::WriteFile(dir + "/key.pem", keyfix::Pkcs8Pem("p256"));
    Certificate latin;  // a subject beyond Latin-1
    CreateSignedCertificate(ca_key, "CN=\xc5\x81\xc3\xb3" "d\xc5\xba", 3, 0, 1, "", nullptr, nullptr, "", &latin);
    testsupport::WriteFile(dir + "/latin.pem", Pem(latin));
    testsupport::RunCommand("cd " + dir + " && openssl pkcs12 -export -in leaf.pem -certfile ca.pem"
                            " -passout pass:pw -out leaf.pfx 2>/dev/null");
  }
  ~Pki() { testsupport::RunCommand("rm -rf " + dir); }
};

const Pki& Files() {
  static const Pki pki;
  return pki;
}

std::string Setting(CertificateManager& m, const std::string& name) {
  const char* answer = "";
  m.ConfigText(name.c_str(), &answer);
  return answer;
}

struct SettingCase {
  const char* write;  // "" for none; "a;b" for two writes
  int write_rc;
  const char* read;
  const char* expected;
  int read_rc;
};

class ManagerSettings : public ::testing::TestWithParam<SettingCase> {};

constexpr SettingCase kSettings[] = {
    {"", 0, "CertValidityTime", "365", 0},
    {"", 0, "ExportFormat", "PFX", 0},
    {"", 0, "CSP", "Microsoft Enhanced Cryptographic Provider v1.0", 0},
    {"", 0, "CertSignatureAlgorithm", "SHA256", 0},
    {"", 0, "ImportCertStoreType", "99", 0},
    {"", 0, "CertIsGenerated", "False", 0},
    {"CertKeyLength=0x400", 0, "certkeylength", "1024", 0},
    {"CSRSubjectHex=0A0b", 0, "CSRSubjectHex", "0a0b", 0},
    {"CSRSubjectHex=0g", 434, "CSRSubjectHex", "", 0},
    {"JWKKeyId=one", 0, "JWKKeyId", "one", 0},
    {"CertCustomExtensionCount=2", 0, "CertCustomExtensionOID[2]", "", kErrManagerExtensionIndex},
    {"CertCustomExtensionCount=2", 0, "CertCustomExtensionCritical[1]", "False", 0},
    {"CertCustomExtensionCount=-1", kErrManagerExtensionIndex, "CertCustomExtensionCount", "0", 0},
    {"CertCustomExtensionOID[0]=1.2.3", kErrManagerExtensionIndex, "CertCustomExtensionCount", "0", 0},
    {"CSRKey=x", 0, "CSRKey", "", 0},
    {"ReplaceKey=yes", 0, "ReplaceKey", "True", 0},
    {"CertCustomExtensionCount=1;CertCustomExtensionValue[0]=0401FF", 0, "CertCustomExtensionValue[0]", "0401ff", 0},
    {"JWKKeyId=first;JWKKeyId=second", 0, "JWKKeyId", "first", 0},
};

TEST_P(ManagerSettings, WriteThenRead) {
  const SettingCase& c = GetParam();
  CertificateManager m;
  ASSERT_EQ(m.Initialize(), kOk);
  const char* answer = "";
  int write_rc = kOk;
  for (std::string rest = c.write; !rest.empty();) {
    const size_t cut = std::min(rest.find(';'), rest.size());
    write_rc = m.ConfigText(rest.substr(0, cut).c_str(), &answer);
    rest.erase(0, cut + 1);
  }
  EXPECT_EQ(write_rc, c.write_rc);
  EXPECT_EQ(m.ConfigText(c.read, &answer), c.read_rc);
  EXPECT_STREQ(answer, c.expected);
}

INSTANTIATE_TEST_SUITE_P(Table, ManagerSettings, ::testing::ValuesIn(kSettings),
    [](const auto& i) { const auto& p = i.param; return testsupport::MakeName(p.write, p.read, i.index); });

struct LoadCase {
  const char* name;
  const char* file;  // "=name": its content as an encoded certificate
  int32_t type;
  const char* password;
  const char* subject;
  int rc;
  const char* selected;  // GetSelectedSubject
  const char* key_algorithm;
  int32_t type_after;
};

class ManagerLoad : public ::testing::TestWithParam<LoadCase> {};

constexpr LoadCase kLoads[] = {
    {"Pfx", "leaf.pfx", cstPFXFile, "pw", "*", 0, "CN=leaf.example, O=Made Here", "RSA_RSA", cstPFXFile},
    {"AutoType", "leaf.pfx", cstAuto, "pw", "*", 0, "CN=leaf.example, O=Made Here", "RSA_RSA", cstPFXFile},
    {"PemWithKey", "leaf.pem", cstPEMKeyFile, "", "CN=leaf.example", 0, "CN=leaf.example, O=Made Here",
     "RSA_RSA", cstPEMKeyFile},
    {"BareKey", "key.pem", cstPEMKeyFile, "", "*", 0, "CN=pem_cert", "IdEcPublicKey", cstPEMKeyFile},
    {"NoSuchSubject", "leaf.pfx", cstPFXFile, "pw", "CN=nobody", kErrStoreCertNotFound, "", "", cstPFXFile},
    {"EmptySubject", "leaf.pfx", cstPFXFile, "pw", "", 0, "", "", cstPFXFile},
    {"Latin1Subject", "latin.pem", cstPEMKeyFile, "", "*", 0, "CN=?\xf3" "d?", "", cstPEMKeyFile},
    {"EncodedAlone", "=ca.pem", 0, "", "", 0, "", "", 0},
};

TEST_P(ManagerLoad, SelectsAndExports) {
  const LoadCase& c = GetParam();
  if (keyfix::Pkcs8Pem("rsa").empty()) TW_REQUIRE_OR_SKIP("openssl not available");
  const std::string path = Files().dir + "/" + c.file;
  CertificateManager m;
  m.Initialize();
  m.SetStoreBytes(path.data(), static_cast<int>(path.size()));
  m.SetStoreType(c.type);
  m.SetPassword(c.password);
  if (*c.file == '=') {
    const std::string pem = testsupport::ReadFile(Files().dir + "/" + (c.file + 1));
    ASSERT_EQ(m.LoadEncodedCert(pem.data(), static_cast<int>(pem.size())), kOk) << m.error_text().c_str();
    EXPECT_STREQ(m.GetCertificateIssuer(), "CN=Manager CA");
  }
  ASSERT_EQ(*c.file == '=' ? kOk : m.LoadCertBySubject(c.subject), c.rc) << m.error_text().c_str();
  EXPECT_STREQ(m.GetSelectedSubject(), c.selected);
  EXPECT_STREQ(m.GetKeyAlgorithm(), c.key_algorithm);
  EXPECT_EQ(Setting(m, "CertIsGenerated"), std::string(c.selected) == "CN=pem_cert" ? "True" : "False");
  if (c.rc != kOk) {
    EXPECT_STREQ(m.error_text().c_str(), "Cannot find specified certificate.");
  }
  RsaKeyData rsa;
  if (!*c.key_algorithm) {
    EXPECT_EQ(m.GetRsaKey(&rsa, true), kErrManagerNoSelection);
    EXPECT_STREQ(m.error_text().c_str(), "No certificate selected.  Please select a certificate first.");
    EXPECT_STREQ(m.GetPublicKeyXml(), "");
  }
  if (std::string(c.key_algorithm) != "RSA_RSA") return;
  EXPECT_EQ(m.store().store_type, c.type_after);
  EXPECT_EQ(Setting(m, "SubjectAltNames"), "a.example");
  // The exported certificate and key records agree with openssl's reading of the file.
  const char* pem = nullptr;
  int length = 0;
  ASSERT_EQ(m.GetEncodedCert(&pem, &length), kOk);
  EXPECT_EQ(keyfix::Openssl("x509 -noout -subject -nameopt RFC2253", std::string(pem, length)),
            "subject=O=Made Here,CN=leaf.example\n");
  ASSERT_EQ(ManagerGetRsaPrivateKey(&m, &rsa), kOk);
  EXPECT_FALSE(rsa.D.empty());
  std::string modulus = keyfix::Openssl("x509 -noout -modulus", std::string(pem, length));
  for (char& ch : modulus) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
  EXPECT_EQ(modulus, "modulus=" + testsupport::Hex(rsa.N.data(), rsa.N.length()) + "\n");
  EXPECT_EQ(std::string(m.GetPublicKeyXml()).rfind("<RSAKeyValue><Modulus>", 0), 0u);
  EXPECT_NE(std::string(m.GetPrivateKeyXml()).find("<D>"), std::string::npos);
  m.ConfigText("KeyFormat=1", nullptr);
  ASSERT_EQ(m.GetEncodedCert(&pem, &length), kOk);
  EXPECT_EQ(std::string(pem, length).rfind("<X509Data><X509Certificate>", 0), 0u);
}

INSTANTIATE_TEST_SUITE_P(Stores, ManagerLoad, ::testing::ValuesIn(kLoads),
                         [](const auto& info) { return std::string(info.param.name); });

// Counts the events and stops or re-enters from inside them.
class ActionSink : public EventSink {
 public:
  CertificateManager* manager = nullptr;
  int nested_action = -1;
  int nested_rc = -1;
  int fired = 0;
  void SetCodePage(int) override {}
  int Fire(int, std::span<void* const>) override {
    ++fired;
    if (nested_action >= 0) nested_rc = manager->PerformAction(nested_action);
    return 0;
  }
};

TEST(ManagerActions, ListsLastToFirstAndHonoursTheBusyWord) {
  if (keyfix::Pkcs8Pem("rsa").empty()) TW_REQUIRE_OR_SKIP("openssl not available");
  const std::string path = Files().dir + "/both.pem";
  CertificateManager m;
  ActionSink sink;
  sink.manager = &m;
  m.set_event_sink(&sink);
  m.Initialize();
  m.SetStoreBytes(path.data(), static_cast<int>(path.size()));
  m.SetStoreType(cstPEMKeyFile);
  ASSERT_EQ(m.PerformAction(kActionListCertificates), kOk);
  EXPECT_EQ(Text(m.list_text()), "CN=Manager CA\tCN=Manager CA\t01\t0\r\n"
                                 "CN=leaf.example, O=Made Here\tCN=Manager CA\t02\t0\r\n");
  sink.nested_action = kActionChain;
  EXPECT_EQ(m.PerformAction(kActionListCertificates), kOk);
  EXPECT_EQ(sink.nested_rc, kErrManagerBusy);
  sink.nested_action = kActionStop;
  EXPECT_EQ(m.PerformAction(kActionListCertificates), kErrInterrupted);
  sink.nested_action = -1;
  const std::string missing = Files().dir + "/missing.pem";
  m.Initialize();
  m.SetStoreBytes(missing.data(), static_cast<int>(missing.size()));
  EXPECT_NE(m.PerformAction(kActionListCertificates), kOk);
  EXPECT_EQ(m.PerformAction(kActionChain), kErrStoreCertNotFound);  // no longer busy
}

TEST(ManagerActions, ChainMatchesOpensslAndStoresAreListed) {
  if (keyfix::Pkcs8Pem("rsa").empty()) TW_REQUIRE_OR_SKIP("openssl not available");
  const std::string& dir = Files().dir;
  testsupport::RunCommand("mkdir -p " + dir + "/stores/ROOT " + dir + "/stores/My && cp " + dir +
                          "/ca.pem " + dir + "/stores/ROOT/ && cp " + dir + "/leaf.pem " + dir + "/stores/My/");
  setenv(win::kCertStoresVariable, (dir + "/stores").c_str(), 1);
  CertChainManager m;
  m.Initialize();
  const std::string path = dir + "/leaf.pem";
  m.SetStoreBytes(path.data(), static_cast<int>(path.size()));
  m.SetStoreType(cstPEMKeyFile);
  ASSERT_EQ(m.LoadCertBySubject("*"), kOk);
  ASSERT_EQ(m.PerformAction(kActionChain), kOk) << m.error_text().c_str();
  const std::string shown = testsupport::RunCommand("openssl verify -show_chain -CAfile " + dir +
                                                    "/ca.pem " + path + " 2>&1");
  ASSERT_EQ(m.chain_subjects.Count(), 2) << shown;
  EXPECT_NE(shown.find("depth=0: CN = leaf.example, O = Made Here"), std::string::npos) << shown;
  EXPECT_NE(shown.find("depth=1: CN = Manager CA"), std::string::npos) << shown;
  EXPECT_STREQ(m.chain_subjects.Get(1), "CN=Manager CA");
  EXPECT_EQ(m.chain_status, 0u);
  ASSERT_EQ(m.PerformAction(kActionUserStores), kOk);
  EXPECT_EQ(Text(m.list_text()), "ROOT\r\nCA\r\nMy\r\n");
  m.SetStoreBytes("My", 2);
  m.SetStoreType(cstUser);
  ASSERT_EQ(m.PerformAction(kActionListCertificates), kOk) << m.error_text().c_str();
  EXPECT_EQ(Text(m.list_text()), "CN=leaf.example, O=Made Here\tCN=Manager CA\t02\t1\r\n");
  // Stopped from its first event, the platform store's walk ends at the next certificate.
  testsupport::RunCommand("cp " + dir + "/ca.pem " + dir + "/stores/My/");
  ActionSink sink;
  sink.manager = &m;
  sink.nested_action = kActionStop;
  m.set_event_sink(&sink);
  EXPECT_EQ(m.PerformAction(kActionListCertificates), kErrInterrupted);
  EXPECT_EQ(sink.fired, 1);
  m.set_event_sink(nullptr);
  unsetenv(win::kCertStoresVariable);
}

}  // namespace
}  // namespace tw
