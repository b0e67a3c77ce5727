// A control pointed at a storage emulator started for the test suite, with a fresh container
// named after the running test.
#pragma once

#include <gtest/gtest.h>

#include <cctype>
#include <string>

#include "tests/control/control_test_support.h"
#include "tests/peers/azurite_peer.h"
#include "tests/support/test_support.h"

namespace controltest {

class EmulatorFixture : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    azurite_ = new testsupport::AzuritePeer();
    skip_reason_.clear();
    if (!testsupport::AzuritePeer::Installed() || !azurite_->Start()) {
      skip_reason_ = testsupport::AzuritePeer::Installed() ? azurite_->error()
                                                           : "storage emulator not installed";
    }
  }
  static void TearDownTestSuite() {
    delete azurite_;
    azurite_ = nullptr;
  }

  // Skips (fails under CI=true) without the emulator; otherwise points the control at it and
  // creates the container `prefix` + the test's name in lower case.
  void ConnectAndCreateContainer(const std::string& prefix) {
    if (!skip_reason_.empty()) {
      TW_REQUIRE_OR_SKIP(skip_reason_);
    }
    ASSERT_EQ(control_.created, win::S_OK);
    tw::BlobClient& client = control_.client();
    client.set_use_ssl(false);
    client.account().SetText(testsupport::AzuritePeer::account().c_str());
    client.access_key().SetText(testsupport::AzuritePeer::key().c_str());
    ASSERT_TRUE(control_.Call("Config", {"Endpoint=" + azurite_->endpoint_suffix()}).ok());
    std::string container = prefix;
    for (char c : std::string(::testing::UnitTest::GetInstance()->current_test_info()->name())) {
      container += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    client.container().SetText(container.c_str());
    DispResult made = control_.Call("CreateContainer");
    ASSERT_EQ(made.hr, win::S_OK) << made.description;
  }

  inline static testsupport::AzuritePeer* azurite_ = nullptr;
  inline static std::string skip_reason_;
  Control control_;
};

}  // namespace controltest
