// HttpClient end to end: request heads captured byte for byte by a scripted peer, hostile
// responses, redirects, cookies and credentials, bodies from streams, and real exchanges with
// nginx (downloads, uploads, keep-alive, gzip, HEAD, 204, 304, 404, redirect limits).
#include "http/http_client.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "foundation/memory_stream.h"
#include "tests/peers/nginx_peer.h"
#include "tests/peers/scripted_peer.h"
#include "tests/support/test_support.h"

namespace {

using testsupport::NginxPeer;
using testsupport::ScriptedPeer;
using Script = ScriptedPeer::Script;

struct Event {
  int slot;
  std::vector<std::string> texts;
  std::vector<long long> numbers;
};

class Sink : public tw::EventSink {
 public:
  void SetCodePage(int) override {}
  int Fire(int slot, std::span<void* const> args) override {
    Event e;
    e.slot = slot;
    switch (slot) {
      case tw::kHttpEventHeader:
        e.texts = {static_cast<const char*>(args[0]), static_cast<const char*>(args[1])};
        break;
      case tw::kHttpEventStatus:
        e.texts = {static_cast<const char*>(args[0]), static_cast<const char*>(args[2])};
        e.numbers = {*static_cast<int*>(args[1])};
        break;
      case tw::kHttpEventStartTransfer:
      case tw::kHttpEventEndTransfer:
        e.numbers = {*static_cast<int*>(args[0])};
        break;
      case tw::kHttpEventTransfer:
        e.numbers = {*static_cast<int*>(args[0]), *static_cast<int64_t*>(args[1]),
                     *static_cast<int*>(args[2]), *static_cast<int*>(args[4])};
        break;
      case tw::kHttpEventRedirect:
        e.texts = {static_cast<const char*>(args[0])};
        if (refuse_redirects) *static_cast<int*>(args[1]) = 0;
        break;
      case tw::kHttpEventSetCookie:
        e.texts = {static_cast<const char*>(args[0]), static_cast<const char*>(args[1])};
        break;
      case tw::kHttpEventError:
        e.numbers = {*static_cast<int*>(args[0])};
        e.texts = {static_cast<const char*>(args[1])};
        break;
      default:
        break;
    }
    events.push_back(e);
    return 0;
  }
  int Count(int slot) const {
    int n = 0;
    for (const Event& e : events) n += e.slot == slot ? 1 : 0;
    return n;
  }
  std::vector<Event> events;
  bool refuse_redirects = false;
};

class Client : public tw::HttpClient {
 public:
  Client() {
    set_event_sink(&sink);
    SetTimeout(10, true);
  }
  ~Client() override { set_event_sink(nullptr); }
  // The request head as it would be sent.
  std::string Head(bool has_body) {
    verb_.SetText(has_body ? "POST" : "GET");
    negotiated_version_.Assign(http_version_);
    request_content_length_ = post_data_.length();
    tw::ByteString head;
    if (BuildRequestHead(has_body, head) != 0) return "<refused>";
    attached_handle_.Close();
    return std::string(head.data(), static_cast<size_t>(head.length()));
  }
  int Set(const std::string& setting) { return ConfigText(setting.c_str(), nullptr); }
  std::string Get(const char* name) {
    const char* answer = "";
    ConfigText(name, &answer);
    return answer;
  }
  std::string Data() const {
    return std::string(transferred_data().data(), static_cast<size_t>(transferred_data().length()));
  }
  std::string Error() const { return error_text().c_str(); }
  Sink sink;
};

std::string Sha256Hex(const std::string& bytes) {
  const std::string dir = testsupport::MakeTempDir();
  const std::string path = dir + "/blob";
  {
    std::ofstream f(path, std::ios::binary);
    f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  }
  std::string out = testsupport::RunCommand("sha256sum " + path);
  std::filesystem::remove_all(dir);
  return out.substr(0, 64);
}

std::string RandomBytes(size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>(rng() & 0xFF);
  return s;
}

std::string ReadBinary(const std::string& path) { return testsupport::ReadFile(path); }

bool StartPeer(ScriptedPeer& peer) { return peer.Start(); }

// ---- Request heads, byte for byte ----

TEST(HttpRequestHead, GetWithEveryHeaderInItsOrder) {
  ScriptedPeer peer(Script{ScriptedPeer::WaitHead(),
                           ScriptedPeer::Send(ScriptedPeer::HttpResponse("ok")), ScriptedPeer::Close()});
  ASSERT_TRUE(StartPeer(peer));
  Client c;
  ASSERT_EQ(c.SetUrl((peer.base_url() + "/p/a?q=1").c_str(), false), 0);
  c.SetAccept("*/*");
  c.SetReferer("http://ref/");
  c.SetFrom("me@example.com");
  c.SetPragma("no-cache");
  c.SetIfModifiedSince("Sat, 01 Jan 2000 00:00:00 GMT");
  c.SetRange("0-9");
  c.SetUser("u");
  c.SetPassword("p");
  ASSERT_EQ(c.Set("OtherHeaders=X-One: 1\r\nX-Two: 2\r\n\r\n"), 0);
  ASSERT_EQ(c.Set("HttpCookies=a=b"), 0);
  ASSERT_EQ(c.SetUrl((peer.base_url() + "/p/a?q=1").c_str(), false), 0);
  ASSERT_EQ(c.DoTransfer(tw::kHttpActionGet), 0) << c.Error();
  ASSERT_TRUE(peer.WaitForConnections(1, 5000));
  const std::string expected = "GET /p/a?q=1 HTTP/1.1\r\nHost: 127.0.0.1:" +
                               std::to_string(peer.port()) +
                               "\r\nAuthorization: Basic dTpw"
                               "\r\nAccept: */*"
                               "\r\nAccept-Encoding: gzip, deflate"
                               "\r\nFrom: me@example.com"
                               "\r\nUser-Agent: Halvane HTTP Component"
                               "\r\nIf-Modified-Since: Sat, 01 Jan 2000 00:00:00 GMT"
                               "\r\nReferer: http://ref/"
                               "\r\nPragma: no-cache"
                               "\r\nRange: bytes=0-9"
                               "\r\nCookie: a=b"
                               "\r\nConnection: close"
                               "\r\nX-One: 1\r\nX-Two: 2\r\n\r\n";
  EXPECT_EQ(peer.request(0), expected);
  EXPECT_EQ(c.Data(), "ok");
  // HttpCookies is used once.
  EXPECT_EQ(c.Get("HttpCookies"), "");
}

TEST(HttpRequestHead, HostRulesPortsAndIpv6) {
  Client c;
  ASSERT_EQ(c.SetUrl("http://example.com:8080/x", false), 0);
  EXPECT_EQ(c.Head(false).substr(0, 41), "GET /x HTTP/1.1\r\nHost: example.com:8080\r\n");
  ASSERT_EQ(c.SetUrl("http://example.com/x", false), 0);
  EXPECT_NE(c.Head(false).find("\r\nHost: example.com\r\n"), std::string::npos);
  ASSERT_EQ(c.SetUrl("https://example.com:443/x", false), 0);
  EXPECT_NE(c.Head(false).find("\r\nHost: example.com\r\n"), std::string::npos);
  ASSERT_EQ(c.SetUrl("http://[fe80::1%25eth0]:81/v6", false), 0);
  EXPECT_NE(c.Head(false).find("\r\nHost: [fe80::1]:81\r\n"), std::string::npos) << c.Head(false);
  ASSERT_EQ(c.Set("OtherHeaders=host: other\r\n"), 0);
  EXPECT_EQ(c.Head(false).find("Host: [fe80"), std::string::npos);
  ASSERT_EQ(c.Set("OtherHeaders="), 0);
  ASSERT_EQ(c.Set("AbsoluteURI=true"), 0);
  const std::string head = c.Head(false);
  EXPECT_EQ(head.substr(0, 34), "GET http://[fe80::1%25eth0]:81/v6 ");
  EXPECT_EQ(head.find("Host:"), std::string::npos);
}

TEST(HttpRequestHead, KeepAliveHeaderByVersionAndBodyFraming) {
  Client c;
  ASSERT_EQ(c.SetUrl("http://h/x", false), 0);
  ASSERT_EQ(c.Set("KeepAlive=true"), 0);
  EXPECT_EQ(c.Head(false).find("Connection:"), std::string::npos);
  ASSERT_EQ(c.Set("HTTPVersion=1.0"), 0);
  EXPECT_NE(c.Head(false).find("GET /x HTTP/1.0\r\n"), std::string::npos);
  EXPECT_NE(c.Head(false).find("\r\nConnection: Keep-Alive\r\n"), std::string::npos);
  ASSERT_EQ(c.Set("HTTPVersion=1.1"), 0);
  c.SetPostData("abc", 3);
  c.SetContentType("text/plain");
  EXPECT_NE(c.Head(true).find("Component\r\nContent-Type: text/plain\r\nContent-Length: 3\r\n\r\n"),
            std::string::npos)
      << c.Head(true);
  ASSERT_EQ(c.Set("UseChunkedEncoding=true"), 0);
  EXPECT_NE(c.Head(true).find("Transfer-Encoding: chunked\r\n\r\n"), std::string::npos);
  EXPECT_EQ(c.Head(true).find("Content-Length"), std::string::npos);
}

TEST(HttpRequestHead, LineBreaksInHeaderTextsAreRefusedBeforeAnythingIsSent) {
  ScriptedPeer peer(Script{ScriptedPeer::WaitHead(), ScriptedPeer::Send(ScriptedPeer::HttpResponse("ok"))});
  ASSERT_TRUE(StartPeer(peer));
  Client c;
  ASSERT_EQ(c.SetUrl((peer.base_url() + "/").c_str(), false), 0);
  EXPECT_EQ(c.Set("UserAgent=a\r\nX-Evil: 1"), tw::kErrHttpInvalidValue);
  EXPECT_EQ(c.SetUrl("http://h/a\nb", false), tw::kErrHttpInvalidValue);

  // An empty line inside OtherHeaders would end the head early.
  ASSERT_EQ(c.Set("OtherHeaders=X-A: 1\r\n\r\nGET /smuggled HTTP/1.1\r\n"), 0);
  EXPECT_EQ(c.DoTransfer(tw::kHttpActionGet), tw::kErrHttpInvalidValue);
  EXPECT_NE(c.Error().find("header injection"), std::string::npos);
  ASSERT_EQ(c.Set("OtherHeaders="), 0);
  c.SetReferer("http://x/\rY: z");
  EXPECT_EQ(c.DoTransfer(tw::kHttpActionGet), tw::kErrHttpInvalidValue);
  c.SetReferer("");
  ASSERT_EQ(c.Set("HttpCookies=a=b\nX: y"), 0);
  EXPECT_EQ(c.DoTransfer(tw::kHttpActionGet), tw::kErrHttpInvalidValue);
  c.SetMethod("GET /x HTTP/1.1\r\nX:");
  EXPECT_EQ(c.DoTransfer(tw::kHttpActionGet), tw::kErrHttpInvalidValue);
  peer.Stop();
  for (const std::string& r : peer.requests()) EXPECT_EQ(r, "");
}

TEST(HttpRequestHead, OtherHeadersWithBareLfLinesAreSentWithCrLf) {
  Client c;
  ASSERT_EQ(c.SetUrl("http://h/x", false), 0);
  ASSERT_EQ(c.Set("OtherHeaders=A: 1\nB: 2\n\n\n"), 0);
  const std::string head = c.Head(false);
  EXPECT_EQ(head.substr(head.size() - 14), "A: 1\r\nB: 2\r\n\r\n");
}

TEST(HttpRequestHead, EncodeUrlKeepsSlashAndAtAndEncodesTheQuerySlash) {
  Client c;
  ASSERT_EQ(c.Set("EncodeURL=true"), 0);
  ASSERT_EQ(c.SetUrl("http://h/a b/@c?k=v/w", false), 0);
  EXPECT_EQ(c.Head(false).substr(0, 32), "GET /a%20b/@c?k=v%2Fw HTTP/1.1\r\n");
}

// ---- Bodies sent ----

TEST(HttpRequestBody, ChunkedPiecesOfChunkSizeAndTheLastChunk) {
  ScriptedPeer peer(Script{ScriptedPeer::WaitRequest(),
                           ScriptedPeer::Send(ScriptedPeer::HttpResponse("done")), ScriptedPeer::Close()});
  ASSERT_TRUE(StartPeer(peer));
  Client c;
  ASSERT_EQ(c.SetUrl((peer.base_url() + "/up").c_str(), false), 0);
  ASSERT_EQ(c.Set("UseChunkedEncoding=true"), 0);
  ASSERT_EQ(c.Set("ChunkSize=0"), 0);
  const std::string body = RandomBytes(40000, 1);
  c.SetPostData(body.data(), static_cast<int>(body.size()));
  ASSERT_EQ(c.DoTransfer(tw::kHttpActionPost), 0) << c.Error();
  ASSERT_TRUE(peer.WaitForConnections(1, 5000, true));
  const std::string wire = peer.request(0);
  const size_t at = wire.find("\r\n\r\n") + 4;
  const std::string expected = "4000\r\n" + body.substr(0, 16384) + "\r\n4000\r\n" +
                               body.substr(16384, 16384) + "\r\n1c40\r\n" + body.substr(32768) +
                               "\r\n0\r\n\r\n";
  EXPECT_TRUE(wire.compare(at, std::string::npos, expected) == 0);
  // Progress of the body: 16384, 32768, 40000.
  std::vector<long long> counts;
  for (const Event& e : c.sink.events) {
    if (e.slot == tw::kHttpEventTransfer && e.numbers[0] == 0) counts.push_back(e.numbers[1]);
  }
  EXPECT_EQ(counts, (std::vector<long long>{16384, 32768, 40000}));
}

TEST(HttpRequestBody, CompressedBodyNeverExceedsItsContentLength) {
  ScriptedPeer peer(Script{ScriptedPeer::WaitRequest(),
                           ScriptedPeer::Send(ScriptedPeer::HttpResponse("")), ScriptedPeer::Close()});
  ASSERT_TRUE(StartPeer(peer));
  const std::string dir = testsupport::MakeTempDir();
  const std::string file = dir + "/attached.txt";
  const std::string file_text(50000, 'f');
  std::ofstream(file, std::ios::binary) << file_text;
  Client c;
  ASSERT_EQ(c.SetUrl((peer.base_url() + "/z").c_str(), false), 0);
  ASSERT_EQ(c.Set("CompressHTTPRequest=1"), 0);
  const std::string post(30000, 'p');
  c.SetPostData(post.data(), static_cast<int>(post.size()));
  ASSERT_EQ(c.SetAttachedFile(file.c_str()), 0);
  ASSERT_EQ(c.DoTransfer(tw::kHttpActionPut), 0) << c.Error();
  ASSERT_TRUE(peer.WaitForConnections(1, 5000, true));
  const std::string wire = peer.request(0);
  const size_t at = wire.find("\r\n\r\n") + 4;
  const size_t cl = wire.find("Content-Length: ");
  ASSERT_NE(cl, std::string::npos);
  const size_t declared = std::stoul(wire.substr(cl + 16));
  EXPECT_NE(wire.find("Content-encoding: gzip\r\n"), std::string::npos);
  EXPECT_EQ(wire.size() - at, declared);
  // The body is one gzip stream of the post data and the file.
  std::vector<std::string> out;
  TW_PYTHON_OR_SKIP(
      "import sys,zlib,binascii\n"
      "for l in sys.stdin:\n"
      "  d=zlib.decompress(binascii.unhexlify(l.strip()),31)\n"
      "  print(len(d), d.count(b'p'), d.count(b'f'))\n",
      testsupport::Hex(wire.data() + at, wire.size() - at) + "\n", &out);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0], "80000 30000 50000");
  std::filesystem::remove_all(dir);
}

// A caller's stream over a string, counting its rewinds.
class StringCallerStream : public tw::CallerStream {
 public:
  explicit StringCallerStream(std::string data, bool seekable = true)
      : data_(std::move(data)), seekable_(seekable) {}
  int Read(void* buffer, int n) override {
    const size_t take = std::min(static_cast<size_t>(n), data_.size() - pos_);
    std::memcpy(buffer, data_.data() + pos_, take);
    pos_ += take;
    return static_cast<int>(take);
  }
  int Write(const void*, int) override { return -1; }
  void Close() override {}
  uint64_t Size() override { return data_.size(); }
  int64_t Seek(int64_t offset, int origin) override {
    if (!seekable_ || origin != tw::kSeekBegin) return -1;
    ++seeks;
    pos_ = static_cast<size_t>(offset);
    return offset;
  }
  int seeks = 0;

 private:
  std::string data_;
  size_t pos_ = 0;
  bool seekable_;
};

TEST(HttpRequestBody, A307RedirectSendsTheStreamAgainFromItsStart) {
  ScriptedPeer target(Script{ScriptedPeer::WaitRequest(),
                             ScriptedPeer::Send(ScriptedPeer::HttpResponse("stored")), ScriptedPeer::Close()});
  ASSERT_TRUE(StartPeer(target));
  ScriptedPeer first(Script{ScriptedPeer::WaitRequest(),
                            ScriptedPeer::Send(ScriptedPeer::HttpResponse(
                                "", "Location: " + target.base_url() + "/b\r\n", 307,
                                "Temporary Redirect")),
                            ScriptedPeer::Close()});
  ASSERT_TRUE(StartPeer(first));
  const std::string body = RandomBytes(100000, 7);
  StringCallerStream stream(body);
  Client c;
  ASSERT_EQ(c.Set("FollowRedirects=1"), 0);
  ASSERT_EQ(c.SetUrl((first.base_url() + "/a").c_str(), false), 0);
  c.SetUploadCallerStream(&stream);
  ASSERT_EQ(c.DoTransfer(tw::kHttpActionPost), 0) << c.Error();
  EXPECT_EQ(c.Data(), "stored");
  EXPECT_EQ(stream.seeks, 1);
  ASSERT_TRUE(target.WaitForConnections(1, 5000, true));
  const std::string wire = target.request(0);
  EXPECT_EQ(wire.substr(wire.find("\r\n\r\n") + 4), body);
}

TEST(HttpRequestBody, AStreamThatCannotBeRewoundFailsClearlyOnARedirect) {
  ScriptedPeer target(Script{ScriptedPeer::WaitRequest(),
                             ScriptedPeer::Send(ScriptedPeer::HttpResponse("x")), ScriptedPeer::Close()});
  ASSERT_TRUE(StartPeer(target));
  ScriptedPeer first(Script{ScriptedPeer::WaitRequest(),
                            ScriptedPeer::Send(ScriptedPeer::HttpResponse(
                                "", "Location: " + target.base_url() + "/b\r\n", 307,
                                "Temporary Redirect")),
                            ScriptedPeer::Close()});
  ASSERT_TRUE(StartPeer(first));
  StringCallerStream stream("payload", false);
  Client c;
  ASSERT_EQ(c.Set("FollowRedirects=1"), 0);
  ASSERT_EQ(c.SetUrl((first.base_url() + "/a").c_str(), false), 0);
  c.SetUploadCallerStream(&stream);
  EXPECT_EQ(c.DoTransfer(tw::kHttpActionPost), tw::kErrHttpFile);
  EXPECT_NE(c.Error().find("cannot be rewound"), std::string::npos);
  target.Stop();
  EXPECT_EQ(target.request(0), "");
}

TEST(HttpRequestBody, PostAnswered303BecomesAGetWithoutBody) {
  ScriptedPeer peer;
  peer.SetScripts({Script{ScriptedPeer::WaitRequest(),
                          ScriptedPeer::Send(ScriptedPeer::HttpResponse("", "Location: /done\r\n", 303,
                                                                        "See Other")),
                          ScriptedPeer::Close()},
                   Script{ScriptedPeer::WaitHead(), ScriptedPeer::Send(ScriptedPeer::HttpResponse("got")),
                          ScriptedPeer::Close()}});
  ASSERT_TRUE(StartPeer(peer));
  Client c;
  ASSERT_EQ(c.Set("FollowRedirects=1"), 0);
  ASSERT_EQ(c.SetUrl((peer.base_url() + "/form").c_str(), false), 0);
  c.SetPostData("a=1", 3);
  ASSERT_EQ(c.DoTransfer(tw::kHttpActionPost), 0) << c.Error();
  EXPECT_EQ(c.Data(), "got");
  ASSERT_TRUE(peer.WaitForConnections(2, 5000, true));
  EXPECT_EQ(peer.request(1).substr(0, 20), "GET /done HTTP/1.1\r\n");
  EXPECT_EQ(peer.request(1).find("Content-Length"), std::string::npos);
  EXPECT_EQ(c.sink.Count(tw::kHttpEventRedirect), 1);
}

// ---- Redirects, credentials and cookies ----

TEST(HttpRedirect, AnotherHostGetsNoAuthorizationNoCookiesNoCredentials) {
  ScriptedPeer other(Script{ScriptedPeer::WaitHead(), ScriptedPeer::Send(ScriptedPeer::HttpResponse("B")),
                            ScriptedPeer::Close()});
  ASSERT_TRUE(StartPeer(other));
  ScriptedPeer first(Script{
      ScriptedPeer::WaitHead(),
      ScriptedPeer::Send(ScriptedPeer::HttpResponse(
          "", "Set-Cookie: sid=secret; path=/\r\nLocation: " + other.base_url() + "/b\r\n", 302,
          "Found")),
      ScriptedPeer::Close()});
  ASSERT_TRUE(StartPeer(first));
  Client c;
  ASSERT_EQ(c.Set("FollowRedirects=1"), 0);
  ASSERT_EQ(c.SetUrl((first.base_url() + "/a").c_str(), false), 0);
  ASSERT_EQ(c.Set("Authorization=Bearer token-123"), 0);
  ASSERT_EQ(c.Set("ProxyAuthorization=Basic cHJveHk6cHc="), 0);
  ASSERT_EQ(c.DoTransfer(tw::kHttpActionGet), 0) << c.Error();
  EXPECT_EQ(c.Data(), "B");
  ASSERT_TRUE(first.WaitForConnections(1, 5000, true));
  const std::string to_first = first.request(0);
  EXPECT_NE(to_first.find("Authorization: Bearer token-123"), std::string::npos);
  EXPECT_EQ(to_first.find("Proxy-Authorization"), std::string::npos);
  ASSERT_TRUE(other.WaitForConnections(1, 5000, true));
  const std::string to_other = other.request(0);
  EXPECT_EQ(to_other.find("Authorization"), std::string::npos) << to_other;
  EXPECT_EQ(to_other.find("Cookie"), std::string::npos) << to_other;
}

TEST(HttpRedirect, BasicCredentialsOfTheFirstHostStayThere) {
  ScriptedPeer other(Script{ScriptedPeer::WaitHead(), ScriptedPeer::Send(ScriptedPeer::HttpResponse("B")),
                            ScriptedPeer::Close()});
  ASSERT_TRUE(StartPeer(other));
  ScriptedPeer first(Script{ScriptedPeer::WaitHead(),
                            ScriptedPeer::Send(ScriptedPeer::HttpResponse(
                                "", "Location: " + other.base_url() + "/b\r\n", 301, "Moved")),
                            ScriptedPeer::Close()});
  ASSERT_TRUE(StartPeer(first));
  Client c;
  ASSERT_EQ(c.Set("FollowRedirects=1"), 0);
  ASSERT_EQ(c.SetUrl((first.base_url() + "/a").c_str(), false), 0);
  c.SetUser("user");
  c.SetPassword("pass");
  ASSERT_EQ(c.DoTransfer(tw::kHttpActionGet), 0) << c.Error();
  ASSERT_TRUE(first.WaitForConnections(1, 5000, true));
  ASSERT_TRUE(other.WaitForConnections(1, 5000, true));
  EXPECT_NE(first.request(0).find("Authorization: Basic dXNlcjpwYXNz"), std::string::npos);
  EXPECT_EQ(other.request(0).find("Authorization"), std::string::npos);
}

TEST(HttpRedirect, SameHostKeepsCookiesAndARefusedRedirectIs151) {
  ScriptedPeer peer;
  peer.SetScripts({Script{ScriptedPeer::WaitHead(),
                          ScriptedPeer::Send(ScriptedPeer::HttpResponse(
                              "", "Set-Cookie: sid=1; path=/\r\nLocation: /next\r\n", 302, "Found")),
                          ScriptedPeer::Close()},
                   Script{ScriptedPeer::WaitHead(), ScriptedPeer::Send(ScriptedPeer::HttpResponse("n")),
                          ScriptedPeer::Close()}});
  ASSERT_TRUE(StartPeer(peer));
  Client c;
  ASSERT_EQ(c.Set("FollowRedirects=2"), 0);
  ASSERT_EQ(c.SetUrl((peer.base_url() + "/start").c_str(), false), 0);
  ASSERT_EQ(c.DoTransfer(tw::kHttpActionGet), 0) << c.Error();
  ASSERT_TRUE(peer.WaitForConnections(2, 5000, true));
  EXPECT_NE(peer.request(1).find("\r\nCookie: sid=1\r\n"), std::string::npos);
  EXPECT_EQ(c.sink.Count(tw::kHttpEventSetCookie), 1);
  EXPECT_STREQ(c.url().c_str(), (peer.base_url() + "/next").c_str());

  ScriptedPeer again(Script{ScriptedPeer::WaitHead(),
                            ScriptedPeer::Send(ScriptedPeer::HttpResponse("", "Location: /x\r\n", 302,
                                                                          "Found")),
                            ScriptedPeer::Close()});
  ASSERT_TRUE(StartPeer(again));
  Client d;
  d.sink.refuse_redirects = true;
  ASSERT_EQ(d.Set("FollowRedirects=1"), 0);
  ASSERT_EQ(d.SetUrl((again.base_url() + "/start").c_str(), false), 0);
  EXPECT_EQ(d.DoTransfer(tw::kHttpActionGet), tw::kErrHttpProtocol);
  EXPECT_EQ(d.Error(), "HTTP protocol error. 302 Found.");
}

TEST(HttpRedirect, IdenticalUrlAndMissingLocation) {
  ScriptedPeer peer(Script{ScriptedPeer::WaitHead(),
                           ScriptedPeer::SendFn([](const std::string&) {
                             return ScriptedPeer::HttpResponse("", "Location: /same\r\n", 302, "Found");
                           }),
                           ScriptedPeer::Close()});
  ASSERT_TRUE(StartPeer(peer));
  Client c;
  ASSERT_EQ(c.Set("FollowRedirects=1"), 0);
  ASSERT_EQ(c.SetUrl((peer.base_url() + "/same").c_str(), false), 0);
  EXPECT_EQ(c.DoTransfer(tw::kHttpActionGet), tw::kErrHttpProtocol);
  EXPECT_EQ(c.Error(), "Attempting to redirect to identical URL.  Aborting connection.");

  ScriptedPeer bare(Script{ScriptedPeer::WaitHead(),
                           ScriptedPeer::Send(ScriptedPeer::HttpResponse("", "", 301, "Moved")),
                           ScriptedPeer::Close()});
  ASSERT_TRUE(StartPeer(bare));
  Client d;
  ASSERT_EQ(d.Set("FollowRedirects=1"), 0);
  ASSERT_EQ(d.SetUrl((bare.base_url() + "/a").c_str(), false), 0);
  EXPECT_EQ(d.DoTransfer(tw::kHttpActionGet), tw::kErrHttpProtocol);
  EXPECT_EQ(d.Error(), "HTTP protocol error. Expected header 'redirectlocation' was not found.");
}

// ---- Authentication schemes ----

// A CHALLENGE (Unicode, NTLM, extended session security) with the server challenge
// 0123456789abcdef and no target information.
constexpr char kNtlmChallenge[] = "TlRMTVNTUAACAAAAAAAAADgAAAABAgiAASNFZ4mrze8AAAAAAAAAAAAAAAA4AAAA";

TEST(HttpAuth, NtlmAndDigestAreAnsweredOnOneConnection) {
  ScriptedPeer peer(Script{
      ScriptedPeer::WaitHead(),
      ScriptedPeer::Send(ScriptedPeer::HttpResponse(
          "", std::string("WWW-Authenticate: NTLM ") + kNtlmChallenge + "\r\n", 401, "Unauthorized")),
      ScriptedPeer::WaitHead(), ScriptedPeer::Send(ScriptedPeer::HttpResponse("ok")),
      ScriptedPeer::Close()});
  ASSERT_TRUE(StartPeer(peer));
  Client c;
  ASSERT_EQ(c.Set("UseSystemSSPI=false"), 0);
  ASSERT_EQ(c.SetUrl((peer.base_url() + "/a").c_str(), false), 0);
  c.SetAuthScheme(tw::kAuthNtlm);
  c.SetUser("DOM\\u");
  c.SetPassword("p");
  ASSERT_EQ(c.DoTransfer(tw::kHttpActionGet), 0) << c.Error();
  EXPECT_EQ(c.Data(), "ok");
  const std::string sent = peer.request(0);
  EXPECT_NE(sent.find("Authorization: NTLM TlRMTVNTUAABAAAA"), std::string::npos) << sent;
  EXPECT_NE(sent.find("Authorization: NTLM TlRMTVNTUAADAAAA"), std::string::npos) << sent;
  EXPECT_EQ(peer.connection_count(), 1);

  ScriptedPeer digest(Script{
      ScriptedPeer::WaitHead(),
      ScriptedPeer::Send(ScriptedPeer::HttpResponse(
          "", "WWW-Authenticate: Digest realm=\"r\", nonce=\"n\", algorithm=SHA-256\r\n", 401,
          "Unauthorized")),
      ScriptedPeer::Close()});
  ASSERT_TRUE(StartPeer(digest));
  Client d;
  ASSERT_EQ(d.SetUrl((digest.base_url() + "/a").c_str(), false), 0);
  d.SetAuthScheme(tw::kAuthDigest);
  d.SetUser("u");
  d.SetPassword("p");
  // An algorithm it cannot compute is an error, not a wrong answer.
  EXPECT_EQ(d.DoTransfer(tw::kHttpActionGet), tw::kErrHttpProtocol);
  EXPECT_EQ(d.Error(), "Digest authentication error: unsupported algorithm.");

  ScriptedPeer peer2(Script{ScriptedPeer::WaitHead(), ScriptedPeer::Close()});
  ASSERT_TRUE(StartPeer(peer2));
  Client e;
  ASSERT_EQ(e.SetUrl((peer2.base_url() + "/a").c_str(), false), 0);
  e.SetAuthScheme(tw::kAuthNegotiate);
  ASSERT_EQ(e.Set("UseInternalKerberos=1"), 0);
  // No user to ask a ticket for.
  EXPECT_EQ(e.DoTransfer(tw::kHttpActionGet), tw::kErrKerberosUser);
  EXPECT_EQ(e.Error(), "Invalid username.");
}

TEST(HttpAuth, BasicAnswered401EndsAtOnceWithTheStatusText) {
  ScriptedPeer peer(Script{ScriptedPeer::WaitHead(),
                           ScriptedPeer::Send(ScriptedPeer::HttpResponse("denied", "", 401, "Unauthorized")),
                           ScriptedPeer::Close()});
  ASSERT_TRUE(StartPeer(peer));
  Client c;
  ASSERT_EQ(c.SetUrl((peer.base_url() + "/a").c_str(), false), 0);
  c.SetUser("u");
  EXPECT_EQ(c.DoTransfer(tw::kHttpActionGet), tw::kErrHttpProtocol);
  EXPECT_EQ(c.Error(), "HTTP protocol error. 401 Unauthorized.");
  EXPECT_EQ(c.Data(), "denied");
  EXPECT_EQ(peer.connection_count(), 1);
}

TEST(HttpAuth, KerberosTokenAndBearerAreSentAsGiven) {
  Client c;
  ASSERT_EQ(c.SetUrl("http://h/", false), 0);
  ASSERT_EQ(c.Set("KerberosToken=YIIB"), 0);
  EXPECT_NE(c.Head(false).find("\r\nAuthorization: Negotiate YIIB\r\n"), std::string::npos);
  c.SetAuthScheme(tw::kAuthOAuth);
  ASSERT_EQ(c.Set("Authorization=Bearer abc"), 0);
  EXPECT_EQ(c.auth_scheme(), tw::kAuthOAuth);
  EXPECT_NE(c.Head(false).find("\r\nAuthorization: Bearer abc\r\n"), std::string::npos);
}

// ---- Hostile and broken responses ----

struct Hostile {
  const char* name;
  std::string reply;
  int code;
  const char* text;
};

class HttpHostile : public ::testing::TestWithParam<Hostile> {};

TEST_P(HttpHostile, GivesAnErrorCodeAndNoCrash) {
  const Hostile& h = GetParam();
  ScriptedPeer peer(Script{ScriptedPeer::WaitHead(), ScriptedPeer::Send(h.reply), ScriptedPeer::Close()});
  ASSERT_TRUE(StartPeer(peer));
  Client c;
  ASSERT_EQ(c.SetUrl((peer.base_url() + "/x").c_str(), false), 0);
  EXPECT_EQ(c.DoTransfer(tw::kHttpActionGet), h.code) << c.Error();
  EXPECT_NE(c.Error().find(h.text), std::string::npos) << c.Error();
}

std::string ManyHeaderLines() {
  std::string s = "HTTP/1.1 200 OK\r\n";
  for (int i = 0; i < 8000; ++i) s += "X-" + std::to_string(i) + ": v\r\n";
  return s + "\r\n";
}

std::vector<Hostile> HostileResponses() {
  return {
        Hostile{"HugeHead", "HTTP/1.1 200 OK\r\n" + std::string(70000, 'a') + ": b\r\n\r\n", 151,
                "larger than 65536"},
        Hostile{"ManyHeaderLines", ManyHeaderLines(),
                151, "larger than 65536"},
        Hostile{"TruncatedHead", "HTTP/1.1 200 OK\r\nContent-Length: 5\r\nX-Half", 10057,
                "end of the response head"},
        Hostile{"NoStatus", "", 10057, "Connection closed."},
        Hostile{"GarbageStatus", "HTTQ/1.1 2000 OK\r\n\r\n", 151, "Invalid status line"},
        Hostile{"NulInHeaderLine", std::string("HTTP/1.1 200 OK\r\nX-A: b\0c\r\n\r\n", 29), 151, "Invalid header line"},
        Hostile{"ChunkedThenGzip", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked, gzip\r\n\r\n", 151, "coding: gzip"},
        Hostile{"ShortBody", "HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\nonly some", 10057,
                "(9 of 100 bytes)"},
        Hostile{"BadLength", "HTTP/1.1 200 OK\r\nContent-Length: -4\r\n\r\n", 151,
                "Invalid Content-Length"},
        Hostile{"ConflictingLengths",
                "HTTP/1.1 200 OK\r\nContent-Length: 4\r\nContent-Length: 5\r\n\r\nabcd", 151,
                "Invalid Content-Length"},
        Hostile{"NegativeChunk",
                "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n-10\r\nabc\r\n0\r\n\r\n",
                151, "Negative chunk size"},
        Hostile{"HugeChunk",
                "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nFFFFFFFFFFFFFFFFFFFF\r\n",
                151, "too large"},
        Hostile{"ChunkWithoutEnd",
                "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabcZZZ", 151,
                "not followed by CR LF"},
        Hostile{"ClosedBeforeLastChunk",
                "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n", 10057,
                "before the last chunk"},
        Hostile{"BadGzip",
                "HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\nContent-Length: 12\r\n\r\nnot gzip at!",
                102, "GZIP header is invalid"},
        Hostile{"GzipWithoutTrailer",
                std::string("HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\nContent-Length: 18\r\n\r\n") +
                    std::string("\x1f\x8b\x08\x00\x00\x00\x00\x00\x00\x03\x4b\x04\x00\x43\xbe\xb7\xe8\x01",
                                18),
                151, "Could not decompress content."}};
}

INSTANTIATE_TEST_SUITE_P(Responses, HttpHostile, ::testing::ValuesIn(HostileResponses()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(HttpResponse, LongHeaderLinesAreJoinedAndInterimResponsesSkipped) {
  const std::string big(20000, 'v');
  ScriptedPeer peer(Script{ScriptedPeer::WaitHead(),
                           ScriptedPeer::Send("HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\nX-Long: " +
                                              big + "\r\nContent-Length: 2\r\n\r\nhi"),
                           ScriptedPeer::Close()});
  ASSERT_TRUE(StartPeer(peer));
  Client c;
  ASSERT_EQ(c.SetUrl((peer.base_url() + "/x").c_str(), false), 0);
  ASSERT_EQ(c.DoTransfer(tw::kHttpActionGet), 0) << c.Error();
  EXPECT_STREQ(c.parsed_headers().Find("X-Long"), big.c_str());
  EXPECT_EQ(c.Data(), "hi");
  EXPECT_EQ(c.sink.Count(tw::kHttpEventStatus), 1);
  EXPECT_EQ(c.Get("StatusLine"), "HTTP/1.1 200 OK");
}

TEST(HttpResponse, AChunkedBodyWithTrailersLeavesTheKeptConnectionClean) {
  ScriptedPeer peer(Script{
      ScriptedPeer::WaitHead(),
      ScriptedPeer::Send("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
                         "4;x=y\r\nabcd\r\n0\r\nX-Sum: 1\r\nX-More: 2\r\n\r\n"),
      ScriptedPeer::WaitHead(), ScriptedPeer::Send(ScriptedPeer::HttpResponse("second")),
      ScriptedPeer::WaitHead(), ScriptedPeer::Send(ScriptedPeer::HttpResponse("", "", 204, "No Content")),
      ScriptedPeer::WaitHead(), ScriptedPeer::Send(ScriptedPeer::HttpResponse("fourth"))});
  ASSERT_TRUE(StartPeer(peer));
  Client c;
  ASSERT_EQ(c.Set("KeepAlive=true"), 0);
  ASSERT_EQ(c.SetUrl((peer.base_url() + "/x").c_str(), false), 0);
  ASSERT_EQ(c.DoTransfer(tw::kHttpActionGet), 0) << c.Error();
  EXPECT_EQ(c.Data(), "abcd");
  ASSERT_EQ(c.DoTransfer(tw::kHttpActionGet), 0) << c.Error();
  EXPECT_EQ(c.Data(), "second");
  ASSERT_EQ(c.DoTransfer(tw::kHttpActionGet), 0) << c.Error();
  EXPECT_EQ(c.status_code(), 204);
  ASSERT_EQ(c.DoTransfer(tw::kHttpActionGet), 0) << c.Error();
  EXPECT_EQ(c.Data(), "fourth");
  EXPECT_EQ(peer.connection_count(), 1);
}

TEST(HttpResponse, SelectWaitModeReadsChunkedAndShortBodies) {
  ScriptedPeer peer;
  peer.SetScripts({Script{ScriptedPeer::WaitHead(),
                          ScriptedPeer::Send("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
                                             "3\r\nabc\r\n0\r\n\r\n"),
                          ScriptedPeer::WaitHead(),
                          ScriptedPeer::Send("HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nabc"),
                          ScriptedPeer::Close()}});
  ASSERT_TRUE(StartPeer(peer));
  Client c;
  ASSERT_EQ(c.Set("UseWindowsMessages=false"), 0);
  ASSERT_EQ(c.Set("KeepAlive=true"), 0);
  ASSERT_EQ(c.SetUrl((peer.base_url() + "/x").c_str(), false), 0);
  ASSERT_EQ(c.DoTransfer(tw::kHttpActionGet), 0) << c.Error();
  EXPECT_EQ(c.Data(), "abc");
  EXPECT_EQ(c.DoTransfer(tw::kHttpActionGet), tw::kErrConnectionClosed);
  EXPECT_NE(c.Error().find("(3 of 10 bytes)"), std::string::npos) << c.Error();
  EXPECT_EQ(peer.connection_count(), 1);
}

TEST(HttpResponse, AKeptConnectionClosedByTheServerIsReplacedOnce) {
  ScriptedPeer peer;
  peer.SetScripts({Script{ScriptedPeer::WaitHead(), ScriptedPeer::Send(ScriptedPeer::HttpResponse("one")),
                          ScriptedPeer::WaitHead(), ScriptedPeer::Close()},
                   Script{ScriptedPeer::WaitHead(), ScriptedPeer::Send(ScriptedPeer::HttpResponse("two")),
                          ScriptedPeer::Close()}});
  ASSERT_TRUE(StartPeer(peer));
  Client c;
  ASSERT_EQ(c.Set("KeepAlive=true"), 0);
  ASSERT_EQ(c.SetUrl((peer.base_url() + "/x").c_str(), false), 0);
  ASSERT_EQ(c.DoTransfer(tw::kHttpActionGet), 0) << c.Error();
  ASSERT_EQ(c.DoTransfer(tw::kHttpActionGet), 0) << c.Error();
  EXPECT_EQ(c.Data(), "two");
  EXPECT_EQ(peer.connection_count(), 2);
}

TEST(HttpResponse, MaxTransferredDataKeepsThePrefixAndCountsEverything) {
  ScriptedPeer peer(Script{ScriptedPeer::WaitHead(),
                           ScriptedPeer::Send(ScriptedPeer::HttpResponse("0123456789abcdefghijklmno")),
                           ScriptedPeer::Close()});
  ASSERT_TRUE(StartPeer(peer));
  Client c;
  ASSERT_EQ(c.Set("MaxTransferredData=10"), 0);
  ASSERT_EQ(c.SetUrl((peer.base_url() + "/x").c_str(), false), 0);
  ASSERT_EQ(c.DoTransfer(tw::kHttpActionGet), 0);
  EXPECT_EQ(c.Data(), "0123456789");
  EXPECT_EQ(c.Get("BytesTransferred"), "25");
}

TEST(HttpResponse, CookiesWithLineBreaksAreNotKept) {
  ScriptedPeer peer(Script{ScriptedPeer::WaitHead(),
                           ScriptedPeer::Send("HTTP/1.1 200 OK\r\nSet-Cookie: a=b\rX-Evil: 1\r\n"
                                              "Set-Cookie: ok=1\r\nContent-Length: 0\r\n\r\n"),
                           ScriptedPeer::Close()});
  ASSERT_TRUE(StartPeer(peer));
  Client c;
  ASSERT_EQ(c.SetUrl((peer.base_url() + "/x").c_str(), false), 0);
  ASSERT_EQ(c.DoTransfer(tw::kHttpActionGet), 0) << c.Error();
  ASSERT_EQ(c.cookies().Count(), 1);
  EXPECT_STREQ(c.cookies().Get(0, tw::CookieJar::kName), "ok");
}

TEST(HttpResponse, LocalFileIsNotOverwrittenByAnErrorAndIsEmptiedByAnEmptyBody) {
  const std::string dir = testsupport::MakeTempDir();
  const std::string file = dir + "/out.bin";
  ScriptedPeer peer;
  peer.SetScripts({Script{ScriptedPeer::WaitHead(),
                          ScriptedPeer::Send(ScriptedPeer::HttpResponse("error page", "", 500,
                                                                        "Internal Server Error")),
                          ScriptedPeer::Close()},
                   Script{ScriptedPeer::WaitHead(), ScriptedPeer::Send(ScriptedPeer::HttpResponse("")),
                          ScriptedPeer::Close()}});
  ASSERT_TRUE(StartPeer(peer));
  std::ofstream(file, std::ios::binary) << "stale content";
  Client c;
  ASSERT_EQ(c.SetUrl((peer.base_url() + "/x").c_str(), false), 0);
  ASSERT_EQ(c.SetLocalFile(file.c_str()), 0);
  EXPECT_EQ(c.DoTransfer(tw::kHttpActionGet), tw::kErrHttpProtocol);
  EXPECT_EQ(ReadBinary(file), "stale content");
  EXPECT_EQ(c.Data(), "error page");
  ASSERT_EQ(c.DoTransfer(tw::kHttpActionGet), 0) << c.Error();
  EXPECT_TRUE(std::filesystem::exists(file));
  EXPECT_EQ(std::filesystem::file_size(file), 0u);
  std::filesystem::remove_all(dir);
}

TEST(HttpResponse, EventsOfAnExchange) {
  ScriptedPeer peer(Script{ScriptedPeer::WaitHead(),
                           ScriptedPeer::Send(ScriptedPeer::HttpResponse("body", "X-A: 1\r\n")),
                           ScriptedPeer::Close()});
  ASSERT_TRUE(StartPeer(peer));
  Client c;
  ASSERT_EQ(c.SetUrl((peer.base_url() + "/x").c_str(), false), 0);
  ASSERT_EQ(c.DoTransfer(tw::kHttpActionGet), 0);
  std::vector<int> slots;
  for (const Event& e : c.sink.events) {
    if (e.slot == tw::kHttpEventStatus || e.slot == tw::kHttpEventHeader ||
        e.slot == tw::kHttpEventStartTransfer || e.slot == tw::kHttpEventTransfer ||
        e.slot == tw::kHttpEventEndTransfer) {
      slots.push_back(e.slot);
    }
  }
  EXPECT_EQ(slots, (std::vector<int>{13, 6, 6, 12, 14, 4}));
  for (const Event& e : c.sink.events) {
    if (e.slot == tw::kHttpEventTransfer) {
      EXPECT_EQ(e.numbers, (std::vector<long long>{1, 4, 100, 4}));
    }
  }
}

TEST(HttpClientSettings, DefaultsAndValidation) {
  Client c;
  EXPECT_EQ(c.Get("UserAgent"), "Halvane HTTP Component");
  EXPECT_EQ(c.Get("AcceptEncoding"), "gzip, deflate");
  EXPECT_EQ(c.Get("MaxRedirectAttempts"), "20");
  EXPECT_EQ(c.Get("ChunkSize"), "16384");
  EXPECT_EQ(c.Get("PostDataAfterNegotiate"), "True");
  EXPECT_EQ(c.Get("KeepAlive"), "False");
  EXPECT_EQ(c.Set("HTTPVersion=3.0"), tw::kErrHttpInvalidValue);
  EXPECT_EQ(c.Error(), "Invalid HTTP version. Please use a supported HTTP version (1.0, 1.1, 2.0).");
  EXPECT_EQ(c.Get("HTTPVersion"), "3.0");
  EXPECT_EQ(c.Set("HTTPVersion=2.0"), 0);
  EXPECT_EQ(c.Get("ALPNExtension"), "h2");
  EXPECT_EQ(c.Set("Authorization=SharedKey a:b"), 0);
  EXPECT_EQ(c.auth_scheme(), tw::kAuthProprietary);
  EXPECT_EQ(c.Set("NoSuchSetting=1"), -1);
  c.SetAuthScheme(tw::kAuthNtlm);
  EXPECT_EQ(c.Get("KeepAlive"), "True");
}

// A plain URL connects, finds no ALPN and is refused; the server is sent nothing.
TEST(HttpClientSettings, Http2FallsBackOrFailsAsConfigured) {
  ScriptedPeer peer(Script{ScriptedPeer::Sleep(1000)});
  ASSERT_TRUE(StartPeer(peer));
  Client c;
  ASSERT_EQ(c.SetUrl((peer.base_url() + "/x").c_str(), false), 0);
  ASSERT_EQ(c.Set("HTTPVersion=2.0"), 0);
  EXPECT_EQ(c.DoTransfer(tw::kHttpActionGet), tw::kErrHttp2Refused);
  EXPECT_EQ(c.Error(), "Plaintext URLs are not supported over HTTP/2.");
  ASSERT_EQ(c.Set("AllowHTTPFallback=false"), 0);
  EXPECT_EQ(c.DoTransfer(tw::kHttpActionGet), tw::kErrHttp2Refused);
  EXPECT_EQ(c.Error(), "Server does not support HTTP/2 and AllowHTTPFallback is False.");
  EXPECT_TRUE(peer.WaitForConnections(1, 5000));
  for (const std::string& received : peer.requests()) EXPECT_EQ(received, "");
}

TEST(HttpClientSettings, NoServerAndBadScheme) {
  Client c;
  EXPECT_EQ(c.DoTransfer(tw::kHttpActionGet), tw::kErrNoServer);
  EXPECT_EQ(c.Error(), "No server specified in URL");
  ASSERT_EQ(c.SetUrl("ftp://h/x", false), 0);
  EXPECT_EQ(c.DoTransfer(tw::kHttpActionGet), tw::kErrInvalidScheme);
  EXPECT_EQ(c.Error(), "Specified URLScheme (ftp) is invalid.");
}

TEST(HttpClientWait, RequestsDoNotSleepOutIdleWaitSteps) {
  ScriptedPeer peer(Script{ScriptedPeer::WaitHead(), ScriptedPeer::Send(ScriptedPeer::HttpResponse("x")),
                           ScriptedPeer::Close()});
  ASSERT_TRUE(StartPeer(peer));
  Client c;
  ASSERT_EQ(c.SetUrl((peer.base_url() + "/x").c_str(), false), 0);
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < 10; ++i) ASSERT_EQ(c.DoTransfer(tw::kHttpActionGet), 0) << c.Error();
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  // 100 idle steps of 20 ms after each request would take 20 s.
  EXPECT_LT(seconds, 5.0);
}

// ---- Against nginx ----

class HttpNginx : public ::testing::Test {
 protected:
  void SetUp() override {
    nginx_.AddRedirect("/r1", 302, "/r2");
    nginx_.AddRedirect("/r2", 301, "/r3");
    nginx_.AddRedirect("/r3", 307, "/r4");
    nginx_.AddRedirect("/r4", 302, "/a.txt");
    nginx_.AddServerConfig("    location = /nothing { return 204; }");
    if (!nginx_.Start()) {
      started_ = false;
      return;
    }
    started_ = true;
  }
  std::string Url(const std::string& path) const { return nginx_.base_url() + path; }
  NginxPeer nginx_;
  bool started_ = false;
};

#define REQUIRE_NGINX()                                     \
  do {                                                      \
    if (!started_) {                                        \
      TW_REQUIRE_OR_SKIP("nginx: " + nginx_.error());       \
    }                                                       \
  } while (0)

TEST_F(HttpNginx, ByteExactDownloadsToMemoryAndFile) {
  REQUIRE_NGINX();
  const std::string blob = RandomBytes(3 * 1024 * 1024 + 17, 3);
  ASSERT_TRUE(nginx_.WriteFile("blob.bin", blob));
  const std::string want = Sha256Hex(blob);
  Client c;
  ASSERT_EQ(c.SetUrl(Url("/blob.bin").c_str(), false), 0);
  ASSERT_EQ(c.DoTransfer(tw::kHttpActionGet), 0) << c.Error();
  EXPECT_EQ(Sha256Hex(c.Data()), want);
  EXPECT_EQ(c.response_content_length(), static_cast<int64_t>(blob.size()));

  const std::string dir = testsupport::MakeTempDir();
  ASSERT_EQ(c.SetLocalFile((dir + "/down.bin").c_str()), 0);
  ASSERT_EQ(c.DoTransfer(tw::kHttpActionGet), 0) << c.Error();
  EXPECT_EQ(Sha256Hex(ReadBinary(dir + "/down.bin")), want);
  EXPECT_EQ(c.transferred_data().length(), 0);
  std::filesystem::remove_all(dir);
}

TEST_F(HttpNginx, HundredMegabytePutsWithContentLengthAndChunked) {
  REQUIRE_NGINX();
  const std::string dir = testsupport::MakeTempDir();
  const std::string source = dir + "/up.bin";
  const std::string blob = RandomBytes(100 * 1024 * 1024, 5);
  {
    std::ofstream f(source, std::ios::binary);
    f.write(blob.data(), static_cast<std::streamsize>(blob.size()));
  }
  const std::string want = Sha256Hex(blob);
  for (const bool chunked : {false, true}) {
    Client c;
    c.set_event_sink(nullptr);
    ASSERT_EQ(c.Set(std::string("UseChunkedEncoding=") + (chunked ? "true" : "false")), 0);
    const std::string name = chunked ? "/put-chunked.bin" : "/put-length.bin";
    ASSERT_EQ(c.SetUrl(Url(name).c_str(), false), 0);
    ASSERT_EQ(c.SetAttachedFile(source.c_str()), 0);
    const int rc = c.DoTransfer(tw::kHttpActionPut);
    ASSERT_EQ(rc, 0) << c.Error() << nginx_.error_log();
    EXPECT_EQ(c.status_code(), 201);
    EXPECT_EQ(Sha256Hex(nginx_.ReadRootFile(name.substr(1))), want);
  }
  std::filesystem::remove_all(dir);
}

TEST_F(HttpNginx, ThreeKeepAliveGetsShareOneConnection) {
  REQUIRE_NGINX();
  ASSERT_TRUE(nginx_.WriteFile("a.bin", "first"));
  ASSERT_TRUE(nginx_.WriteFile("b.bin", "second"));
  ASSERT_TRUE(nginx_.WriteFile("c.bin", std::string(200000, 'c')));
  Client c;
  ASSERT_EQ(c.Set("KeepAlive=true"), 0);
  int port = -1;
  const std::vector<std::pair<std::string, std::string>> gets = {
      {"/a.bin", "first"}, {"/b.bin", "second"}, {"/c.bin", std::string(200000, 'c')}};
  for (const auto& g : gets) {
    ASSERT_EQ(c.SetUrl(Url(g.first).c_str(), false), 0);
    ASSERT_EQ(c.DoTransfer(tw::kHttpActionGet), 0) << c.Error();
    EXPECT_EQ(c.Data(), g.second);
    ASSERT_TRUE(c.IsConnected());
    if (port < 0) port = c.GetLocalPort();
    EXPECT_EQ(c.GetLocalPort(), port);
  }
}

TEST_F(HttpNginx, GzipBodiesThenAnotherRequestOnTheSameConnection) {
  REQUIRE_NGINX();
  std::string text;
  for (int i = 0; i < 20000; ++i) text += "line " + std::to_string(i) + " of a compressible text\n";
  ASSERT_TRUE(nginx_.WriteFile("t.txt", text));
  ASSERT_TRUE(nginx_.WriteFile("plain.bin", "plain"));
  Client c;
  ASSERT_EQ(c.Set("KeepAlive=true"), 0);
  ASSERT_EQ(c.SetUrl(Url("/t.txt").c_str(), false), 0);
  ASSERT_EQ(c.DoTransfer(tw::kHttpActionGet), 0) << c.Error();
  EXPECT_STREQ(c.parsed_headers().Find("Content-Encoding"), "gzip");
  EXPECT_EQ(c.Data(), text);
  EXPECT_LT(c.bytes_transferred(), text.size() / 3);
  const int port = c.GetLocalPort();
  ASSERT_EQ(c.SetUrl(Url("/plain.bin").c_str(), false), 0);
  ASSERT_EQ(c.DoTransfer(tw::kHttpActionGet), 0) << c.Error();
  EXPECT_EQ(c.Data(), "plain");
  EXPECT_EQ(c.GetLocalPort(), port);
  // Compression off: the body arrives as it is.
  ASSERT_EQ(c.Set("AllowHTTPCompression=0"), 0);
  ASSERT_EQ(c.SetUrl(Url("/t.txt").c_str(), false), 0);
  ASSERT_EQ(c.DoTransfer(tw::kHttpActionGet), 0) << c.Error();
  EXPECT_EQ(c.bytes_transferred(), text.size());
  EXPECT_EQ(c.Data(), text);
}

TEST_F(HttpNginx, HeadNoContentNotModifiedAndNotFound) {
  REQUIRE_NGINX();
  ASSERT_TRUE(nginx_.WriteFile("h.bin", std::string(500, 'h')));
  Client c;
  ASSERT_EQ(c.Set("KeepAlive=true"), 0);
  ASSERT_EQ(c.SetUrl(Url("/h.bin").c_str(), false), 0);
  ASSERT_EQ(c.DoTransfer(tw::kHttpActionHead), 0) << c.Error();
  EXPECT_EQ(c.response_content_length(), 500);
  EXPECT_EQ(c.Data(), "");
  const std::string modified = c.parsed_headers().Find("Last-Modified");

  ASSERT_EQ(c.SetUrl(Url("/nothing").c_str(), false), 0);
  ASSERT_EQ(c.DoTransfer(tw::kHttpActionGet), 0) << c.Error();
  EXPECT_EQ(c.status_code(), 204);

  ASSERT_EQ(c.SetUrl(Url("/h.bin").c_str(), false), 0);
  c.SetIfModifiedSince(modified.c_str());
  EXPECT_EQ(c.DoTransfer(tw::kHttpActionGet), tw::kErrHttpProtocol);
  EXPECT_EQ(c.status_code(), 304);
  c.SetIfModifiedSince("");

  ASSERT_EQ(c.SetUrl(Url("/missing.bin").c_str(), false), 0);
  EXPECT_EQ(c.DoTransfer(tw::kHttpActionGet), tw::kErrHttpProtocol);
  EXPECT_EQ(c.Error(), "HTTP protocol error. 404 Not Found.");
  EXPECT_NE(c.Data().find("404"), std::string::npos);

  // The connection served all of them.
  ASSERT_EQ(c.SetUrl(Url("/h.bin").c_str(), false), 0);
  const int port = c.GetLocalPort();
  ASSERT_EQ(c.DoTransfer(tw::kHttpActionGet), 0);
  EXPECT_EQ(c.GetLocalPort(), port);
}

TEST_F(HttpNginx, RedirectChainsWithinAndBeyondTheLimit) {
  REQUIRE_NGINX();
  ASSERT_TRUE(nginx_.WriteFile("a.txt", "arrived"));
  Client c;
  ASSERT_EQ(c.Set("FollowRedirects=1"), 0);
  ASSERT_EQ(c.SetUrl(Url("/r1").c_str(), false), 0);
  ASSERT_EQ(c.DoTransfer(tw::kHttpActionGet), 0) << c.Error();
  EXPECT_EQ(c.Data(), "arrived");
  EXPECT_EQ(c.sink.Count(tw::kHttpEventRedirect), 4);

  Client d;
  ASSERT_EQ(d.Set("FollowRedirects=1"), 0);
  ASSERT_EQ(d.Set("MaxRedirectAttempts=2"), 0);
  ASSERT_EQ(d.SetUrl(Url("/r1").c_str(), false), 0);
  EXPECT_EQ(d.DoTransfer(tw::kHttpActionGet), tw::kErrTooManyRedirects);
  EXPECT_EQ(d.Error(), "There were too many redirects.");

  Client e;
  ASSERT_EQ(e.SetUrl(Url("/r1").c_str(), false), 0);
  EXPECT_EQ(e.DoTransfer(tw::kHttpActionGet), tw::kErrHttpProtocol);
  EXPECT_EQ(e.Error(), "HTTP protocol error. 302 Moved Temporarily.");
}

TEST_F(HttpNginx, LargeResponseHeaderIsRead) {
  REQUIRE_NGINX();
  Client c;
  ASSERT_EQ(c.SetUrl(Url("/big-header").c_str(), false), 0);
  ASSERT_EQ(c.DoTransfer(tw::kHttpActionGet), 0) << c.Error();
  EXPECT_EQ(std::string(c.parsed_headers().Find("X-Big")), std::string(NginxPeer::kBigHeaderBytes, 'b'));
  EXPECT_EQ(c.Data(), "ok\n");
}

TEST_F(HttpNginx, DownloadIntoACallerStream) {
  REQUIRE_NGINX();
  const std::string blob = RandomBytes(300000, 9);
  ASSERT_TRUE(nginx_.WriteFile("s.bin", blob));
  tw::ByteString target;
  tw::StringStream stream(&target);
  Client c;
  ASSERT_EQ(c.SetUrl(Url("/s.bin").c_str(), false), 0);
  c.SetDownloadStream(&stream);
  ASSERT_EQ(c.DoTransfer(tw::kHttpActionGet), 0) << c.Error();
  EXPECT_EQ(std::string(target.data(), static_cast<size_t>(target.length())), blob);
  EXPECT_EQ(c.transferred_data().length(), 0);
}

}  // namespace
