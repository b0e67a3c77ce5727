// Hostile HTTP/2 servers against the client: a scripted peer behind a TLS front that chooses h2.
// Each case runs in a child process, so its resident peak (VmHWM) and its time are its own.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <string>
#include <thread>

#include "http/http2_frame.h"
#include "http/http_client.h"
#include "tests/peers/peer_process.h"
#include "tests/peers/scripted_peer.h"
#include "tests/peers/test_pki.h"
#include "tests/support/case_name.h"
#include "tests/support/child_run.h"
#include "tests/support/test_support.h"

namespace {

using testsupport::ScriptedPeer;
constexpr int64_t kMiB = 1 << 20;

std::string Frame(int type, int flags, uint32_t id, const std::string& payload) {
  tw::BufferWriter w;
  tw::AppendHttp2Frame(w, static_cast<uint8_t>(type), static_cast<uint8_t>(flags), id, payload.data(),
                       static_cast<int>(payload.size()));
  return std::string(reinterpret_cast<const char*>(w.Data()), static_cast<size_t>(w.Length()));
}
std::string U32(uint32_t v) { return {char(v >> 24), char(v >> 16), char(v >> 8), char(v)}; }
std::string Times(const std::string& s, int n) {
  std::string out;
  for (int i = 0; i < n; ++i) out += s;
  return out;
}

// The server's SETTINGS once the client has spoken (the TLS front drops what comes before its
// handshake), with a window wide open when asked; then the answer after the request's first bytes.
ScriptedPeer::Script Opening(bool wide, const std::string& answer) {
  const std::string settings = wide ? std::string("\0\x04\x7f\xff\xff\xff", 6) : "";
  std::string first = Frame(tw::kH2Settings, 0, 0, settings);
  if (wide) first += Frame(tw::kH2WindowUpdate, 0, 0, U32(0x7FFFFFFF - 65535));
  return {ScriptedPeer::WaitBytes(24), ScriptedPeer::Send(first), ScriptedPeer::WaitBytes(100),
          ScriptedPeer::Send(answer)};
}
const std::string kHead = Frame(tw::kH2Headers, tw::kH2FlagEndHeaders, 1, "\x88");  // :status 200
const std::string kPart = Frame(tw::kH2Data, 0, 1, std::string(500, 'p'));

struct Case {
  const char* name;
  std::function<ScriptedPeer::Script()> script;
  bool upload;     // a 64 MiB PUT, else a GET to a file
  int code;
  const char* text;  // part of the error text ("" with code 0)
  bool kill_front = false;  // the TLS front is killed once 1 MiB of the body reached the peer
};
void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

const Case kCases[] = {
    {"ResetNoErrorBeforeEndStream", [] { return Opening(false, kHead + kPart + Frame(tw::kH2RstStream, 0, 1, U32(0))); },
     false, tw::kErrHttp2StreamReset, "Stream reset before the response ended"},
    {"ResetNoErrorAfterEndStream",
     [] { return Opening(false, kHead + Frame(tw::kH2Data, 1, 1, "done") + Frame(tw::kH2RstStream, 0, 1, U32(0))); },
     false, 0, ""},
    {"GoawayWithErrorThenTheWholeResponse",
     [] { return Opening(false, Frame(tw::kH2Goaway, 0, 0, U32(1) + U32(2)) + kHead + Frame(tw::kH2Data, 1, 1, "done")); },
     false, 0, ""},
    {"PingFloodWithoutReading",
     [] {
       auto s = Opening(false, kHead);
       s.push_back(ScriptedPeer::Repeat(Times(Frame(tw::kH2Ping, 0, 0, "12345678"), 1000)));
       return s;
     },
     false, tw::kErrInterrupted, "Timeout."},
    {"DataFloodToAFileWithoutReading",
     [] {
       auto s = Opening(false, kHead);
       s.push_back(ScriptedPeer::Repeat(Frame(tw::kH2Data, 0, 1, std::string(16384, 'd')), 2048));
       s.push_back(ScriptedPeer::Sleep(30000));
       return s;
     },
     false, tw::kErrInterrupted, "Timeout."},
    {"ContinuationFlood",
     [] {
       auto s = Opening(false, Frame(tw::kH2Headers, 0, 1, "\x88"));
       s.push_back(ScriptedPeer::Repeat(Frame(tw::kH2Continuation, 0, 1, std::string(16384, '\x88'))));
       return s;
     },
     false, tw::kH2ProtocolError, "larger than 1048576 bytes"},
    {"UploadToAPeerThatStopsReading",
     [] {
       auto s = Opening(true, "");
       s.push_back(ScriptedPeer::Sleep(30000));
       return s;
     },
     true, tw::kErrInterrupted, "Timeout."},
    // The body starts before the server's SETTINGS; their lower window goes below zero, the answer ends the upload.
    {"UploadBeforeTheServerSettings", [] { return ScriptedPeer::Script{ScriptedPeer::WaitBytes(60000), ScriptedPeer::Send(Frame(tw::kH2Settings,
       0, 0, std::string("\0\x04\0\0\x03\xe8", 6))), ScriptedPeer::Sleep(500), ScriptedPeer::Send(Frame(tw::kH2Headers, 5, 1, "\x88"))}; },
     true, 0, ""},
    {"UploadReset",
     [] {
       auto s = Opening(true, "");
       s.push_back(ScriptedPeer::WaitBytes(1 << 20));
       s.push_back(ScriptedPeer::Sleep(30000));
       return s;
     },
     true, tw::kErrHttpProtocol, "Cannot upload PostData: ", true},
};

constexpr int kTimeoutSeconds = 3;

struct Outcome {
  int code = -1;
  long rss_kib = 0;
  double seconds = 0;
  char error[160] = {};
};

Outcome RunCase(const Case& c, int port, const std::string& dir) {
  Outcome o;
  tw::HttpClient client;
  client.ConfigText("HTTPVersion=2.0", nullptr);
  client.SetTimeout(kTimeoutSeconds, true);
  client.SetUrl(("https://localhost:" + std::to_string(port) + "/f").c_str(), false);
  const std::string body(c.upload ? 64 * kMiB : 0, 'u');
  if (c.upload) {
    client.SetPostDataRef(body.data(), static_cast<int>(body.size()));
  } else {
    client.SetLocalFile((dir + "/out.bin").c_str());
  }
  { std::ofstream("/proc/self/clear_refs") << "5"; }  // VmHWM from here
  const long before = testsupport::StatusKib("VmRSS:");
  const auto start = std::chrono::steady_clock::now();
  o.code = client.DoTransfer(c.upload ? tw::kHttpActionPut : tw::kHttpActionGet);
  o.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  o.rss_kib = testsupport::StatusKib("VmHWM:") - before;
  std::snprintf(o.error, sizeof o.error, "%s", client.error_text().c_str());
  return o;
}

class Http2Hostile : public ::testing::TestWithParam<Case> {};

TEST_P(Http2Hostile, ClearErrorWithinTheTimeoutAndBoundedMemory) {
  const Case& c = GetParam();
  const testsupport::TestPki& pki = testsupport::TestPki::Get();
  if (!pki.ok()) { TW_REQUIRE_OR_SKIP(pki.error()); }
  setenv("TW_CERT_STORES", pki.store_dir().c_str(), 1);
  ScriptedPeer peer(c.script());
  ASSERT_TRUE(peer.Start());
  const std::string dir = testsupport::MakeTempDir();
  const int port = testsupport::FreePort();
  std::unique_ptr<testsupport::PeerProcess> front;
  // openssl s_server chooses h2 and relays the connection's plaintext to the scripted peer.
  const std::string relay = "exec openssl s_server -quiet -alpn h2 -accept " + std::to_string(port) + " -cert " +
                            pki.Cert("rsa") + " -cert_chain " + pki.Cert("inter") + " -key " + pki.Key("rsa") +
                            " 3<>/dev/tcp/127.0.0.1/" + std::to_string(peer.port()) + " <&3 >&3";
  const auto started = testsupport::StartListening({"/bin/bash", "-c", relay}, dir + "/front.log", "", port, 10000, &front);
  if (started != testsupport::PeerStart::kUp) { TW_REQUIRE_OR_SKIP("openssl s_server never answered: " + testsupport::LogTail(dir + "/front.log")); }
  // A front that dies mid-upload leaves the client a reset connection.
  std::thread killer([&] {
    for (int i = 0; c.kill_front && i < 1000 && peer.request(0).size() < (1u << 20); ++i) usleep(10000);
    if (c.kill_front) front->Stop();
  });
  Outcome o;
  const bool ran = testsupport::RunInChild([&] { return RunCase(c, port, dir); }, &o);
  killer.join();
  ASSERT_TRUE(ran) << "the child failed";
  EXPECT_EQ(o.code, c.code) << o.error;
  EXPECT_NE(std::string(o.error).find(c.text), std::string::npos) << o.error;
  // Failing at the Timeout, not at twice it; the flood cases have the Timeout from their last
  // progress, so a loaded machine gets room.
  EXPECT_LT(o.seconds, 4.0 * kTimeoutSeconds);
  if (c.code == tw::kErrInterrupted) {
    EXPECT_GE(o.seconds, kTimeoutSeconds - 0.5);
  }
  EXPECT_LT(o.rss_kib * 1024, 64 * kMiB);  // the upload's body was resident before the mark
  std::printf("[ peak     ] %s: resident +%ld KiB, %.1f s: %d %s\n", c.name, o.rss_kib, o.seconds, o.code, o.error);
  front->Stop();
  testsupport::RemoveTempDir(dir);
}

INSTANTIATE_TEST_SUITE_P(Cases, Http2Hostile, ::testing::ValuesIn(kCases), testsupport::CaseName{});

}  // namespace
