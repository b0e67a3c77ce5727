// The storage emulator, started once per test suite, for the blob tests that talk to it: a
// suite derives from EmulatorFixture, may seed the emulator through the reference SDK when it
// starts, and points its clients at it with PointAt.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "blob/blob_client.h"
#include "tests/peers/azurite_peer.h"
#include "tests/support/test_support.h"

namespace blobtest {

class EmulatorFixture : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { StartEmulator(); }
  static void TearDownTestSuite() {
    delete azurite_;
    azurite_ = nullptr;
  }
  // Skips (fails under CI=true) when the emulator could not start; a failed seed fails.
  void SetUp() override {
    if (!skip_reason_.empty()) {
      TW_REQUIRE_OR_SKIP(skip_reason_);
    }
    ASSERT_TRUE(seed_failure_.empty()) << seed_failure_;
  }

  // Starts the emulator; with seed_steps, runs sdk_seed.js with them and returns its output.
  static std::string StartEmulator(const std::string& seed_steps = "") {
    using testsupport::AzuritePeer;
    azurite_ = new AzuritePeer();
    skip_reason_.clear();
    seed_failure_.clear();
    if (!AzuritePeer::SdkInstalled()) {
      skip_reason_ = "storage emulator or SDK not installed";
      return "";
    }
    if (!azurite_->Start()) {
      skip_reason_ = azurite_->error();
      return "";
    }
    if (seed_steps.empty()) return "";
    int status = -1;
    const std::string out = azurite_->RunSdkScript("sdk_seed.js", {}, &status, seed_steps);
    if (status != 0 || out.find("\"error\"") != std::string::npos) {
      seed_failure_ = "seeding the emulator failed: " + out + azurite_->sdk_stderr();
    }
    return out;
  }

  // Plain http to the emulator's development account.
  static void PointAt(tw::BlobClient& client) {
    client.set_use_ssl(false);
    client.account().SetText(testsupport::AzuritePeer::account().c_str());
    client.access_key().SetText(testsupport::AzuritePeer::key().c_str());
    client.SetEndpoint(azurite_->endpoint_suffix().c_str());
  }

  // Runs an SDK script with the steps; its output lines (the last empty one dropped).
  static std::vector<std::string> RunSdk(const std::string& script, const std::string& steps) {
    int status = -1;
    const std::string out = azurite_->RunSdkScript(script, {}, &status, steps);
    EXPECT_EQ(status, 0) << azurite_->sdk_stderr();
    std::vector<std::string> lines = testsupport::Lines(out);
    if (!lines.empty() && lines.back().empty()) lines.pop_back();
    return lines;
  }

  inline static testsupport::AzuritePeer* azurite_ = nullptr;
  inline static std::string skip_reason_;
  inline static std::string seed_failure_;
};

}  // namespace blobtest
