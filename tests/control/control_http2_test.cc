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

class ControlHttp2 : public controltest::EmulatorFixture {
 protected:
  // The control over https through nghttpx, HTTP/2 on the own engine, in front of the emulator.
  void ConnectThroughProxy() {
    controltest::SuiteEmulator& e = Start("");
    if (!e.skip_reason.empty()) { TW_REQUIRE_OR_SKIP(e.skip_reason); }
    const testsupport::TestPki& pki = testsupport::TestPki::Get();
    if (!pki.ok()) { TW_REQUIRE_OR_SKIP(pki.error()); }
    setenv(win::kCertStoresVariable, pki.store_dir().c_str(), 1);
    if (!proxy_.Start(e.peer->port(), "storage")) { TW_REQUIRE_OR_SKIP(proxy_.error()); }
    Connect("h2");
    if (HasFatalFailure() || IsSkipped()) return;
    control_.client().set_use_ssl(true);
    ASSERT_TRUE(control_.Call("Config", {"Endpoint=.localhost:" + std::to_string(proxy_.port())}).ok());
    ASSERT_TRUE(control_.Call("Config", {"HTTPVersion=2.0"}).ok());
    ASSERT_TRUE(control_.Call("Config", {"UseInternalSecurityAPI=true"}).ok());
  }
  testsupport::NghttpxPeer proxy_;
};

// Requests one after another, each on its own connection and alternating the TLS paths: a
// download ended by our own close must leave the next handshake free to read.
TEST_F(ControlHttp2, UploadsAndDownloadsBlobsThroughAnH2Proxy) {
  ConnectThroughProxy();
  if (HasFatalFailure() || IsSkipped()) return;
  ASSERT_TRUE(control_.Put("Timeout", int32_t{5}).ok() && control_.Put("Overwrite", true).ok());
  DispResult made = control_.Call("CreateContainer");
  ASSERT_EQ(made.hr, win::S_OK) << made.description << proxy_.log();

  std::string body((4 << 20) + 1, 'x');
  for (size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>('a' + (i * 7 + i / 4096) % 26);
  for (int round = 0; round < 8; ++round) {
    ASSERT_TRUE(control_.Call("Config", {round % 2 ? "UseInternalSecurityAPI=false" : "UseInternalSecurityAPI=true"}).ok());
    ASSERT_TRUE(control_.Put("BlobData", body).ok());
    const std::string name = round % 2 ? "one.bin" : "two.bin";
    for (DispResult r : {control_.Call("CreateBlob", {name, int16_t{0}, 0}), control_.Put("BlobData", ""),
                         control_.Call("GetBlob", {name}), control_.Call("ListBlobs"), control_.Call("GetBlobInfo", {name})}) {
      ASSERT_EQ(r.hr, win::S_OK) << "round " << round << ": " << r.description;
    }
    ASSERT_TRUE(control_.Text("BlobData") == body) << "downloaded blob differs in round " << round;
  }
  EXPECT_EQ(control_.Call("Config", {"NegotiatedHTTPVersion"}).Text(), "2.0");
}

}  // namespace
