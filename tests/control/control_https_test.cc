// The control over HTTPS with its own TLS engine: what SSLServerAuthentication and the
// server-certificate properties see of the emulator's test PKI leaf, and SSLAcceptServerCertEncoded
// letting in a server whose self-signed certificate nothing else trusts.
#include <gtest/gtest.h>

#include <cctype>
#include <string>

#include "tests/control/control_test_support.h"
#include "tests/control/emulator_fixture.h"
#include "tests/peers/test_pki.h"
#include "tests/support/test_support.h"

namespace {

using controltest::DispResult;
using testsupport::TestPki;

std::string Openssl(const std::string& args, const std::string& input) {
  int status = -1;
  const std::string out = testsupport::RunCommand("openssl " + args, input, &status);
  EXPECT_EQ(status, 0) << args;
  return out;
}

std::string Der(const std::string& pem_path) {
  return Openssl("x509 -outform DER", testsupport::ReadFile(pem_path));
}

// The Base64 of the bytes in CR LF lines of 64, as the certificate properties give it.
std::string Base64Lines(const std::string& bytes) {
  std::string out;
  for (const std::string& line : testsupport::Lines(Openssl("base64 -e", bytes))) {
    if (!line.empty()) out += (out.empty() ? "" : "\r\n") + line;
  }
  return out;
}

class ControlHttps : public controltest::EmulatorFixture {};

TEST_F(ControlHttps, ServerAuthenticationSeesTheTestPkiLeafAndThePropertiesKeepIt) {
  controltest::EventRecorder recorder;
  std::string cert;  // the event's certificate, read as bytes while it fires
  recorder.handler = [&](win::DISPID id, win::DISPPARAMS*) {
    if (id == tw::kBlobEventSslServerAuthentication && cert.empty()) {
      cert = control_.Get("SSLServerAuthenticationCertEncodedB").Bytes();
    }
  };
  ASSERT_EQ(recorder.Advise(control_.dispatch()), win::S_OK);
  ConnectAndCreateContainer("h", true);
  recorder.Unadvise();
  if (HasFatalFailure() || IsSkipped()) return;

  const std::string leaf = Der(TestPki::Get().Cert("storage"));
  const auto auth = recorder.Of("SSLServerAuthentication");
  ASSERT_FALSE(auth.empty());
  const std::string base64 = Base64Lines(leaf);
  // The engine shows the chain as PEM, the leaf first.
  EXPECT_EQ(cert.find("-----BEGIN CERTIFICATE-----\r\n" + base64 + "\r\n-----END CERTIFICATE-----"), 0u)
      << cert;
  EXPECT_NE(auth[0].args[1].find("CN=localhost"), std::string::npos) << auth[0].args[1];
  EXPECT_NE(auth[0].args[2].find("CN=Test Intermediate CA"), std::string::npos) << auth[0].args[2];
  EXPECT_EQ(auth[0].args[3], "OK");
  EXPECT_EQ(auth[0].args[4], "true");

  EXPECT_EQ(control_.Text("SSLServerCertEncoded"), base64);
  EXPECT_EQ(control_.Get("SSLServerCertEncodedB").Bytes(), base64);
}

// A server with a self-signed certificate: refused unless that very certificate is accepted.
struct AcceptCase {
  const char* name;
  const char* accepted;  // a certificate of the test PKI, or "" for none
  bool connects;
};

class ControlHttpsSelfSigned : public controltest::EmulatorFixture,
                               public testing::WithParamInterface<AcceptCase> {};

TEST_P(ControlHttpsSelfSigned, ConnectsOnlyWithThatCertificateAccepted) {
  Connect("s", "selfsigned");
  if (HasFatalFailure() || IsSkipped()) return;
  const AcceptCase& c = GetParam();
  if (*c.accepted != '\0') {
    const std::string pem = testsupport::ReadFile(TestPki::Get().Cert(c.accepted));
    ASSERT_EQ(control_.Put("SSLAcceptServerCertEncoded", pem).hr, win::S_OK);
  }
  DispResult made = control_.Call("CreateContainer");
  if (c.connects) {
    ASSERT_EQ(made.hr, win::S_OK) << made.description;
    EXPECT_EQ(control_.Text("SSLServerCertEncoded"), control_.Text("SSLAcceptServerCertEncoded"));
  } else {
    EXPECT_NE(made.hr, win::S_OK);
    EXPECT_NE(made.description.find("certificate"), std::string::npos) << made.description;
    // The refused server's certificate is still there to look at.
    EXPECT_EQ(control_.Text("SSLServerCertEncoded"), Base64Lines(Der(TestPki::Get().Cert("selfsigned"))));
  }
}

INSTANTIATE_TEST_SUITE_P(Accepted, ControlHttpsSelfSigned,
                         testing::Values(AcceptCase{"None", "", false},
                                         AcceptCase{"ThatCertificate", "selfsigned", true},
                                         AcceptCase{"AnotherCertificate", "rsa", false}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
