// The control's blob operations over HTTP/2: HTTPVersion "2.0" through nghttpx (TLS with ALPN h2)
// in front of the storage emulator.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <string>

#include "tests/control/control_test_support.h"
#include "tests/control/emulator_fixture.h"
#include "tests/peers/nghttp_peers.h"
#include "tests/support/test_support.h"

namespace {

using controltest::DispResult;

class ControlHttp2 : public controltest::EmulatorFixture {};

TEST_F(ControlHttp2, UploadsAndDownloadsBlobsThroughAnH2Proxy) {
  controltest::SuiteEmulator& e = Start("");
  if (!e.skip_reason.empty()) { TW_REQUIRE_OR_SKIP(e.skip_reason); }
  const testsupport::TestPki& pki = testsupport::TestPki::Get();
  if (!pki.ok()) { TW_REQUIRE_OR_SKIP(pki.error()); }
  setenv(win::kCertStoresVariable, pki.store_dir().c_str(), 1);
  testsupport::NghttpxPeer proxy;
  if (!proxy.Start(e.peer->port(), "storage")) { TW_REQUIRE_OR_SKIP(proxy.error()); }
  Connect("h2");
  if (HasFatalFailure() || IsSkipped()) return;
  tw::BlobClient& client = control_.client();
  client.set_use_ssl(true);
  ASSERT_TRUE(control_.Call("Config", {"Endpoint=.localhost:" + std::to_string(proxy.port())}).ok());
  ASSERT_TRUE(control_.Call("Config", {"HTTPVersion=2.0"}).ok());
  ASSERT_TRUE(control_.Call("Config", {"UseInternalSecurityAPI=true"}).ok());
  DispResult made = control_.Call("CreateContainer");
  ASSERT_EQ(made.hr, win::S_OK) << made.description << proxy.log();

  std::string body(3 << 20, 'x');
  for (size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>('a' + (i * 7 + i / 4096) % 26);
  for (const char* name : {"one.bin", "two.bin"}) {
    ASSERT_TRUE(control_.Put("BlobData", body).ok());
    DispResult created = control_.Call("CreateBlob", {name, int16_t{0}, 0});
    ASSERT_EQ(created.hr, win::S_OK) << created.description;
  }
  ASSERT_TRUE(control_.Put("BlobData", "").ok());
  DispResult got = control_.Call("GetBlob", {"two.bin"});
  ASSERT_EQ(got.hr, win::S_OK) << got.description;
  EXPECT_TRUE(control_.Text("BlobData") == body) << "downloaded blob differs";
  EXPECT_EQ(control_.Call("Config", {"NegotiatedHTTPVersion"}).Text(), "2.0");
}

}  // namespace
