// The control's client certificate from a PFX file, a PEM file and a store folder, sent on both
// TLS paths to `openssl s_server -Verify 1`, which names the certificate it checked.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <string>

#include "platform/cert_store_files.h"
#include "platform/key_container.h"
#include "tests/control/control_test_support.h"
#include "tests/peers/openssl_server_peer.h"
#include "tests/peers/test_pki.h"
#include "tests/support/test_support.h"

namespace {

using testsupport::OpenSslServerPeer;
using testsupport::TestPki;

enum class From { kNone, kPfxFile, kPemFile, kStoreFolder, kEncoded, kMissingStore };

struct ClientCertCase {
  const char* name;
  From from;
  const char* pki;  // the test PKI's client certificate
  bool own_engine;
  const char* version = "";  // s_server's version option; "" lets the two sides agree
};

class ControlClientCert : public ::testing::TestWithParam<ClientCertCase> {
 protected:
  void SetUp() override {
    dir_ = testsupport::MakeTempDir();
    setenv(win::kKeyContainersVariable, (dir_ + "/keys").c_str(), 1);
    setenv(win::kCertStoresVariable, (dir_ + "/stores").c_str(), 1);
  }
  void TearDown() override {
    unsetenv(win::kKeyContainersVariable);
    unsetenv(win::kCertStoresVariable);
    testsupport::RunCommand("rm -rf " + testsupport::ShellQuote(dir_));
  }
  static std::string Openssl(const std::string& args) {
    int status = -1;
    std::string out = testsupport::RunCommand("openssl " + args + " 2>/dev/null", "", &status);
    EXPECT_EQ(status, 0) << args;
    return out;
  }
  // The store settings that choose the certificate; false when a property refused them.
  void Choose(controltest::Control& c, const ClientCertCase& k) {
    const TestPki& pki = TestPki::Get();
    const std::string pfx_args = "pkcs12 -export -passout pass:secret -in " + pki.Cert(k.pki) + " -inkey " + pki.Key(k.pki);
    const std::string pem = testsupport::ReadFile(pki.Cert(k.pki)) + testsupport::ReadFile(pki.Key(k.pki));
    switch (k.from) {
      case From::kNone:
        return;
      case From::kPfxFile:
        Openssl(pfx_args + " -out " + dir_ + "/client.pfx");
        ASSERT_EQ(c.Put("SSLCertStoreType", 2).hr, win::S_OK);
        ASSERT_EQ(c.Put("SSLCertStore", dir_ + "/client.pfx").hr, win::S_OK);
        ASSERT_EQ(c.Put("SSLCertStorePassword", "secret").hr, win::S_OK);
        break;
      case From::kPemFile:
        testsupport::WriteFile(dir_ + "/client.pem", pem);
        ASSERT_EQ(c.Put("SSLCertStoreType", 6).hr, win::S_OK);
        ASSERT_EQ(c.Put("SSLCertStore", dir_ + "/client.pem").hr, win::S_OK);
        break;
      case From::kStoreFolder:
        ASSERT_EQ(::mkdir((dir_ + "/stores").c_str(), 0700), 0);
        ASSERT_EQ(::mkdir((dir_ + "/stores/MY").c_str(), 0700), 0);
        // A certificate without its key comes first: the key's owner is the one to choose.
        testsupport::WriteFile(dir_ + "/stores/MY/root.pem", testsupport::ReadFile(pki.Cert("root")));
        // A system store holds its keys imported: the file opens without a password.
        Openssl("pkcs12 -export -passout pass: -in " + pki.Cert(k.pki) + " -inkey " + pki.Key(k.pki) + " -out " +
                dir_ + "/stores/MY/client.pfx");
        ASSERT_EQ(c.Put("SSLCertStoreType", 0).hr, win::S_OK);
        ASSERT_EQ(c.Put("SSLCertStore", "MY").hr, win::S_OK) << c.Put("SSLCertStore", "MY").description;
        ASSERT_EQ(c.Put("SSLCertStorePassword", "secret").hr, win::S_OK);
        break;
      case From::kMissingStore: {
        // The subject is refused at once, and the connection does not go out without it.
        const auto r = c.Put("SSLCertSubject", "Test Client");
        EXPECT_NE(r.hr, win::S_OK);
        EXPECT_NE(r.description.find("could not be opened"), std::string::npos) << r.description;
        return;
      }
      case From::kEncoded: {
        const auto r = c.Put("SSLCertEncoded", pem);
        ASSERT_EQ(r.hr, win::S_OK) << r.description;
        return;
      }
    }
    const auto r = c.Put("SSLCertSubject", "Test Client");
    ASSERT_EQ(r.hr, win::S_OK) << r.description;
    // The subject reads back as the chosen certificate's own.
    EXPECT_NE(c.Text("SSLCertSubject").find("CN=Test Client"), std::string::npos) << c.Text("SSLCertSubject");
  }
  std::string dir_;
};

TEST_P(ControlClientCert, ServerChecksTheCertificateSent) {
  const ClientCertCase& k = GetParam();
  const TestPki& pki = TestPki::Get();
  if (!pki.ok()) { TW_REQUIRE_OR_SKIP(pki.error()); }
  if (!OpenSslServerPeer::Installed()) { TW_REQUIRE_OR_SKIP("openssl missing"); }
  OpenSslServerPeer::Options o;
  o.verify_depth = 1;
  o.version = k.version;
  OpenSslServerPeer server(o);
  if (!server.Start()) { TW_REQUIRE_OR_SKIP(server.error()); }
  {
    controltest::Control c;
    ASSERT_EQ(c.created, win::S_OK);
    if (k.own_engine) {
      ASSERT_TRUE(c.Call("Config", {"UseInternalSecurityAPI=true"}).ok());
    }
    ASSERT_TRUE(c.Call("Config", {"Endpoint=.localhost:" + std::to_string(server.port())}).ok());
    c.client().set_use_ssl(true);
    c.client().account().SetText("acct");
    c.client().access_key().SetText("a2V5");
    ASSERT_EQ(c.Put("SSLAcceptServerCertEncoded", testsupport::ReadFile(server.cert_path())).hr, win::S_OK);
    Choose(c, k);
    if (HasFatalFailure()) return;
    const auto listed = c.Call("ListContainers");  // the status page is no listing: only the handshake counts
    if (k.from == From::kMissingStore) {
      EXPECT_NE(listed.description.find("could not be opened"), std::string::npos) << listed.description;
    }
  }
  const std::string out = server.output();
  const std::string pki_name = k.pki;
  const std::string subject = "CN = Test Client" + std::string(pki_name == "clientec" ? " EC" : pki_name == "clientdsa" ? " DSA" : "");
  if (k.from == From::kNone) {
    EXPECT_EQ(out.find("CN = Test Client"), std::string::npos) << out;
  } else if (k.from == From::kMissingStore) {
    EXPECT_EQ(out.find("CN = Test Client"), std::string::npos) << out;
  } else {
    EXPECT_NE(out.find(subject), std::string::npos) << out;
    EXPECT_NE(out.find("verify return:1"), std::string::npos) << out;
  }
  // Temporary key containers go with the control.
  EXPECT_EQ(testsupport::RunCommand("find " + dir_ + "/keys -type f 2>/dev/null"), "");
}

INSTANTIATE_TEST_SUITE_P(
    Paths, ControlClientCert,
    testing::Values(ClientCertCase{"NoneEngine", From::kNone, "client", true},
                    ClientCertCase{"NonePlatform", From::kNone, "client", false},
                    ClientCertCase{"MissingStorePlatform", From::kMissingStore, "client", false},
                    ClientCertCase{"PfxEngine", From::kPfxFile, "client", true},
                    ClientCertCase{"PfxPlatform", From::kPfxFile, "client", false},
                    ClientCertCase{"PemEngine", From::kPemFile, "client", true},
                    ClientCertCase{"PemPlatform", From::kPemFile, "client", false},
                    ClientCertCase{"StoreEngine", From::kStoreFolder, "client", true},
                    ClientCertCase{"StorePlatform", From::kStoreFolder, "client", false},
                    ClientCertCase{"EncodedPlatform", From::kEncoded, "client", false},
                    ClientCertCase{"EcPemPlatform", From::kPemFile, "clientec", false},
                    ClientCertCase{"EcPfxPlatform", From::kPfxFile, "clientec", false},
                    ClientCertCase{"PemEngineTls12", From::kPemFile, "client", true, "-tls1_2"},
                    ClientCertCase{"PemPlatformTls12", From::kPemFile, "client", false, "-tls1_2"},
                    ClientCertCase{"DsaPemPlatformTls12", From::kPemFile, "clientdsa", false, "-tls1_2"},
                    ClientCertCase{"DsaPfxPlatformTls12", From::kPfxFile, "clientdsa", false, "-tls1_2"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
