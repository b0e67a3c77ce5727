// A control pointed at a storage emulator started for the test suite, with a fresh container
// named after the running test. Over https the emulator serves the test PKI's "storage" leaf,
// the control uses its own TLS engine and the chain engine trusts the test root.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cctype>
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
    for (SuiteEmulator& e : emulators_) {
      delete e.peer;
      e = SuiteEmulator{};
    }
  }

  // Skips (fails under CI=true) without the emulator; otherwise points the control at it (over
  // https when tls) and creates the container `prefix` + the test's name in lower case.
  void ConnectAndCreateContainer(const std::string& prefix, bool tls = false) {
    SuiteEmulator& e = Start(tls);
    if (!e.skip_reason.empty()) {
      TW_REQUIRE_OR_SKIP(e.skip_reason);
    }
    ASSERT_EQ(control_.created, win::S_OK);
    tw::BlobClient& client = control_.client();
    client.set_use_ssl(tls);
    if (tls) {
      ASSERT_TRUE(control_.Call("Config", {"UseInternalSecurityAPI=true"}).ok());
    }
    client.account().SetText(testsupport::AzuritePeer::account().c_str());
    client.access_key().SetText(testsupport::AzuritePeer::key().c_str());
    ASSERT_TRUE(control_.Call("Config", {"Endpoint=" + e.peer->endpoint_suffix()}).ok());
    std::string container = prefix;
    // Each scheme has its own emulator: the parameter's suffix is left out of the name.
    const std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    for (char c : name.substr(0, name.find('/'))) {
      container += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    client.container().SetText(container.c_str());
    DispResult made = control_.Call("CreateContainer");
    ASSERT_EQ(made.hr, win::S_OK) << made.description;
  }

  // The suite's emulator of that scheme, started on first use.
  static SuiteEmulator& Start(bool tls) {
    SuiteEmulator& e = emulators_[tls ? 1 : 0];
    if (e.peer != nullptr) return e;
    e.peer = new testsupport::AzuritePeer();
    if (!testsupport::AzuritePeer::Installed()) {
      e.skip_reason = "storage emulator not installed";
      return e;
    }
    if (tls) {
      const testsupport::TestPki& pki = testsupport::TestPki::Get();
      if (!pki.ok()) {
        e.skip_reason = pki.error();
        return e;
      }
      e.peer->UseTls(pki.Chain("storage"), pki.Key("storage"), pki.Cert("root"));
      setenv(win::kCertStoresVariable, pki.store_dir().c_str(), 1);
    }
    if (!e.peer->Start()) e.skip_reason = e.peer->error();
    return e;
  }

  inline static SuiteEmulator emulators_[2];
  Control control_;
};

}  // namespace controltest
