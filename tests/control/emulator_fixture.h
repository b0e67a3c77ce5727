// A control pointed at a storage emulator started for the test suite, with a fresh container
// named after the running test. Over https the emulator serves a leaf of the test PKI, the control
// uses its own TLS engine and the chain engine trusts the test root.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cctype>
#include <map>
#include <string>

#include "platform/cert_store_files.h"
#include "tests/control/control_test_support.h"
#include "tests/peers/azurite_peer.h"
#include "tests/peers/test_pki.h"
#include "tests/support/test_support.h"

namespace controltest {

// One emulator of a suite, with the reason it could not start.
struct SuiteEmulator {
  testsupport::AzuritePeer* peer = nullptr;
  std::string skip_reason;
};

class EmulatorFixture : public ::testing::Test {
 protected:
  static void TearDownTestSuite() {
    for (auto& [cert, e] : emulators_) delete e.peer;
    emulators_.clear();
  }

  // Skips (fails under CI=true) without the emulator; otherwise points the control at the
  // suite's emulator serving the test PKI certificate `cert` over https with the own TLS engine
  // ("" for http), and names the container `prefix` + the test's name in lower case.
  void Connect(const std::string& prefix, const std::string& cert = "") {
    SuiteEmulator& e = Start(cert);
    if (!e.skip_reason.empty()) {
      TW_REQUIRE_OR_SKIP(e.skip_reason);
    }
    ASSERT_EQ(control_.created, win::S_OK);
    tw::BlobClient& client = control_.client();
    client.set_use_ssl(!cert.empty());
    if (!cert.empty()) {
      ASSERT_TRUE(control_.Call("Config", {"UseInternalSecurityAPI=true"}).ok());
    }
    client.account().SetText(testsupport::AzuritePeer::account().c_str());
    client.access_key().SetText(testsupport::AzuritePeer::key().c_str());
    ASSERT_TRUE(control_.Call("Config", {"Endpoint=" + e.peer->endpoint_suffix()}).ok());
    // Each scheme has its own emulator: the parameter's suffix is left out of the name.
    std::string container = prefix;
    const std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    for (char c : name.substr(0, name.find('/'))) {
      container += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    client.container().SetText(container.c_str());
  }

  // Connect, over https with the "storage" leaf when tls, and create the container.
  void ConnectAndCreateContainer(const std::string& prefix, bool tls = false) {
    Connect(prefix, tls ? "storage" : "");
    if (HasFatalFailure() || IsSkipped()) return;
    DispResult made = control_.Call("CreateContainer");
    ASSERT_EQ(made.hr, win::S_OK) << made.description;
  }

  // The suite's emulator for that certificate, started on first use.
  static SuiteEmulator& Start(const std::string& cert) {
    SuiteEmulator& e = emulators_[cert];
    if (e.peer != nullptr) return e;
    e.peer = new testsupport::AzuritePeer();
    if (!testsupport::AzuritePeer::Installed()) {
      e.skip_reason = "storage emulator not installed";
      return e;
    }
    if (!cert.empty()) {
      const testsupport::TestPki& pki = testsupport::TestPki::Get();
      if (!pki.ok()) {
        e.skip_reason = pki.error();
        return e;
      }
      e.peer->UseTls(pki.Chain(cert), pki.Key(cert), pki.Cert("root"));
      setenv(win::kCertStoresVariable, pki.store_dir().c_str(), 1);
    }
    if (!e.peer->Start()) e.skip_reason = e.peer->error();
    return e;
  }

  inline static std::map<std::string, SuiteEmulator> emulators_;
  Control control_;
};

}  // namespace controltest
