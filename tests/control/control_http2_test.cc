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

TEST_F(ControlHttp2, UploadsAndDownloadsBlobsThroughAnH2Proxy) {
  ConnectThroughProxy();
  if (HasFatalFailure() || IsSkipped()) return;
  DispResult made = control_.Call("CreateContainer");
  ASSERT_EQ(made.hr, win::S_OK) << made.description << proxy_.log();

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

// The requests of an ordinary session one after another, each on its own connection: a download
// cut off by our own close must leave the next handshake free to read, on either TLS path.
TEST_F(ControlHttp2, RequestsInARowNeverWaitOutTheTimeout) {
  ConnectThroughProxy();
  if (HasFatalFailure() || IsSkipped()) return;
  const std::string dir = testsupport::MakeTempDir();
  const std::string file = dir + "/row.bin";
  ASSERT_TRUE(control_.Put("Timeout", int32_t{5}).ok());
  ASSERT_TRUE(control_.Put("Overwrite", true).ok());
  ASSERT_EQ(control_.Call("CreateContainer").hr, win::S_OK);
  ASSERT_TRUE(control_.Put("BlobData", std::string((4 << 20) + 1, 'r')).ok());
  for (int round = 0; round < 16; ++round) {
    const std::string engine = round % 2 == 0 ? "true" : "false";
    ASSERT_TRUE(control_.Call("Config", {"UseInternalSecurityAPI=" + engine}).ok());
    ASSERT_TRUE(control_.Put("LocalFile", "").ok());
    DispResult created = control_.Call("CreateBlob", {"row.bin", int16_t{0}, 0});
    ASSERT_EQ(created.hr, win::S_OK) << created.description;
    ASSERT_TRUE(control_.Put("LocalFile", file).ok());
    for (const char* method : {"GetBlob", "ListBlobs", "GetBlobInfo"}) {
      DispResult r = std::string(method) == "ListBlobs" ? control_.Call(method) : control_.Call(method, {"row.bin"});
      ASSERT_EQ(r.hr, win::S_OK) << method << " in round " << round << " (own engine " << engine
                                 << "): " << r.description;
    }
  }
  testsupport::RemoveTempDir(dir);
}

}  // namespace
