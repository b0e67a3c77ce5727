// The pieces of the HTTP client on their own: URL splitting and encoding, the chunked decoder under
// hostile input, cookies and the parsed-header store.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "http/chunked_decoder.h"
#include "http/cookie_jar.h"
#include "http/parsed_header_store.h"
#include "http/url_parts.h"
#include "tests/support/test_support.h"

namespace {

using tw::ChunkedDecoder;
using tw::UrlParts;

// ---- URLs ----

TEST(HttpUrl, SplitsUserHostPortPathAndQuery) {
  UrlParts u;
  const char* error = "";
  ASSERT_EQ(tw::ParseUrl("https://al:pw:x@Example.com:8443/a/b?c=d", &u, &error), 0);
  EXPECT_STREQ(u.scheme.c_str(), "https");
  EXPECT_STREQ(u.user.c_str(), "al");
  EXPECT_STREQ(u.password.c_str(), "pw:x");
  EXPECT_STREQ(u.host.c_str(), "Example.com");
  EXPECT_EQ(u.port, 8443);
  EXPECT_STREQ(u.path.c_str(), "/a/b?c=d");
  EXPECT_TRUE(u.has_authority);
}

TEST(HttpUrl, QueryBeforeAnySlashStartsThePath) {
  UrlParts u;
  ASSERT_EQ(tw::ParseUrl("http://h?x=1/2", &u, nullptr), 0);
  EXPECT_STREQ(u.host.c_str(), "h");
  EXPECT_STREQ(u.path.c_str(), "/?x=1/2");
}

TEST(HttpUrl, Ipv6LiteralKeepsItsZoneAndPort) {
  UrlParts u;
  ASSERT_EQ(tw::ParseUrl("http://[fe80::1%eth0]:81/x", &u, nullptr), 0);
  EXPECT_TRUE(u.ipv6);
  EXPECT_STREQ(u.host.c_str(), "fe80::1%eth0");
  EXPECT_EQ(u.port, 81);
}

TEST(HttpUrl, RefusesLineBreaksBadPortsAndOpenBrackets) {
  UrlParts u;
  const char* error = "";
  EXPECT_EQ(tw::ParseUrl("http://h/a\r\nX-Evil: 1", &u, &error), 202);
  EXPECT_NE(std::string(error).find("CR, LF"), std::string::npos);
  EXPECT_EQ(tw::ParseUrl("http://h:99999/", &u, &error), 202);
  EXPECT_EQ(tw::ParseUrl("http://h:12a/", &u, &error), 202);
  EXPECT_EQ(tw::ParseUrl("http://[::1/", &u, &error), 202);
}

TEST(HttpUrl, RelativeTargetsMergeWithTheCurrentPath) {
  tw::ByteString out;
  ASSERT_EQ(tw::MergeRelativePath("/a/b/c?q=/z", "d", out), 0);
  EXPECT_STREQ(out.c_str(), "/a/b/d");
  ASSERT_EQ(tw::MergeRelativePath("/a/b/c", "./e?x", out), 0);
  EXPECT_STREQ(out.c_str(), "/a/b/e?x");
  ASSERT_EQ(tw::MergeRelativePath("/a/b/c", "/root", out), 0);
  EXPECT_STREQ(out.c_str(), "/root");
  ASSERT_EQ(tw::MergeRelativePath("", "f", out), 0);
  EXPECT_STREQ(out.c_str(), "/f");
}

TEST(HttpUrl, PercentEncodingOfPathAndQuery) {
  tw::ByteString out;
  ASSERT_EQ(tw::EncodeUrlPath("/a b/@x~?k=v/w&z", true, out), 0);
  EXPECT_STREQ(out.c_str(), "/a%20b/@x%7E?k=v%2Fw&z");
  ASSERT_EQ(tw::EncodeUrlPath("/a b?k=v w", false, out), 0);
  EXPECT_STREQ(out.c_str(), "/a%20b?k=v w");
  ASSERT_EQ(tw::EncodeUrlPath("/\xC3\xA9", true, out), 0);
  EXPECT_STREQ(out.c_str(), "/%C3%A9");
}

// ---- Chunked bodies ----

struct Decoded {
  int rc = 0;
  std::string data;
  int used = 0;
  bool done = false;
  std::string error;
};

Decoded DecodeInPieces(const std::string& wire, size_t piece) {
  ChunkedDecoder d;
  d.Reset();
  Decoded out;
  size_t at = 0;
  while (at < wire.size()) {
    const size_t n = std::min(piece, wire.size() - at);
    int used = 0;
    out.rc = d.Feed(reinterpret_cast<const uint8_t*>(wire.data() + at), static_cast<int>(n), &used,
                    [&](const uint8_t* p, int k) {
                      out.data.append(reinterpret_cast<const char*>(p), static_cast<size_t>(k));
                      return 0;
                    });
    out.used += used;
    if (out.rc != 0 || d.done()) break;
    at += n;
  }
  out.done = d.done();
  out.error = d.error_text();
  return out;
}

TEST(HttpChunked, EverySplitGivesTheSameBodyAndStopsAfterTheFinalLine) {
  const std::string wire =
      "5;ext=1\r\nhello\r\n1A\r\nabcdefghijklmnopqrstuvwxyz\r\n0\r\nX-Trailer: t\r\n\r\nHTTP/1.1";
  for (size_t piece = 1; piece <= wire.size(); ++piece) {
    const Decoded d = DecodeInPieces(wire, piece);
    ASSERT_EQ(d.rc, 0) << piece;
    EXPECT_TRUE(d.done) << piece;
    EXPECT_EQ(d.data, "helloabcdefghijklmnopqrstuvwxyz") << piece;
    EXPECT_EQ(static_cast<size_t>(d.used), wire.size() - 8) << piece;
  }
}

TEST(HttpChunked, TrailersAreKept) {
  ChunkedDecoder d;
  int used = 0;
  const std::string wire = "0\r\nA: 1\r\nB: 2\r\n\r\n";
  ASSERT_EQ(d.Feed(reinterpret_cast<const uint8_t*>(wire.data()), static_cast<int>(wire.size()),
                   &used, [](const uint8_t*, int) { return 0; }),
            0);
  EXPECT_TRUE(d.done());
  EXPECT_STREQ(d.trailers().c_str(), "A: 1\r\nB: 2\r\n");
}

TEST(HttpChunked, HostileFramingIsAnErrorNeverData) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"-5\r\nhello\r\n0\r\n\r\n", "Negative"},
      {"FFFFFFFFFFFFFFFFF\r\n", "too large"},
      {"4000000000000000\r\n", "too large"},
      {"zz\r\n", "Invalid chunk size"},
      {"\r\n", "Invalid chunk size"},
      {"5 x\r\nhello\r\n", "Invalid chunk size"},
      {"5\r\nhelloXX\r\n0\r\n\r\n", "not followed by CR LF"},
      {"5\r\nhello\rX", "not followed by CR LF"},
      {std::string(5000, '1') + "\r\n", "too long"},
  };
  for (const auto& c : cases) {
    const Decoded d = DecodeInPieces(c.first, 3);
    EXPECT_EQ(d.rc, tw::kErrChunkedBody) << c.first.substr(0, 40);
    EXPECT_NE(d.error.find(c.second), std::string::npos) << d.error;
    EXPECT_FALSE(d.done);
  }
}

TEST(HttpChunked, EndlessTrailersAreBounded) {
  std::string wire = "0\r\n";
  for (int i = 0; i < 40000; ++i) wire += "X: y\r\n";
  const Decoded d = DecodeInPieces(wire, 4096);
  EXPECT_EQ(d.rc, tw::kErrChunkedBody);
  EXPECT_NE(d.error.find("Trailers too long"), std::string::npos);
}

TEST(HttpChunked, OutputRefusalStopsWithItsCode) {
  ChunkedDecoder d;
  int used = 0;
  const std::string wire = "3\r\nabc\r\n0\r\n\r\n";
  EXPECT_EQ(d.Feed(reinterpret_cast<const uint8_t*>(wire.data()), static_cast<int>(wire.size()),
                   &used, [](const uint8_t*, int) { return 302; }),
            302);
  EXPECT_EQ(d.Feed(reinterpret_cast<const uint8_t*>(wire.data()), 1, &used,
                   [](const uint8_t*, int) { return 0; }),
            302);
}

// ---- Cookies ----

TEST(HttpCookies, SetCookieAttributesAndReplacementBySameNameDomainPath) {
  tw::SetCookieFields c;
  ASSERT_EQ(tw::ParseSetCookie("sid=abc; Path=/x;\tDOMAIN=example.com; Secure; HttpOnly; "
                               "expires=Wed, 21 Oct 2026 07:28:00 GMT",
                               &c),
            0);
  EXPECT_STREQ(c.name.c_str(), "sid");
  EXPECT_STREQ(c.value.c_str(), "abc");
  EXPECT_STREQ(c.path.c_str(), "/x");
  EXPECT_STREQ(c.domain.c_str(), "example.com");
  EXPECT_STREQ(c.expires.c_str(), "Wed, 21 Oct 2026 07:28:00 GMT");
  EXPECT_EQ(c.secure, 1);

  tw::CookieJar jar;
  ASSERT_EQ(jar.Store(c, false), 0);
  tw::SetCookieFields other;
  tw::ParseSetCookie("lang=en", &other);
  ASSERT_EQ(jar.Store(other, true), 0);
  tw::SetCookieFields again;
  tw::ParseSetCookie("SID=def; path=/x; domain=EXAMPLE.com", &again);
  ASSERT_EQ(jar.Store(again, false), 0);
  ASSERT_EQ(jar.Count(), 2);
  EXPECT_STREQ(jar.Get(0, tw::CookieJar::kValue), "def");
  EXPECT_EQ(jar.Secure(0), 0);
  tw::ByteString header;
  ASSERT_EQ(jar.BuildHeader(header), 0);
  EXPECT_STREQ(header.c_str(), "sid=def; lang=en");

  jar.ClearServerSet();
  ASSERT_EQ(jar.Count(), 1);
  EXPECT_STREQ(jar.Get(0, tw::CookieJar::kName), "lang");
  EXPECT_EQ(jar.Set(1, tw::CookieJar::kValue, "x"), tw::kErrCookieIndex);
  EXPECT_STREQ(jar.Get(5, tw::CookieJar::kName), "");
}

// ---- Parsed headers ----

TEST(HttpHeaders, ContinuationLinesJoinTheLastValue) {
  tw::ParsedHeaderStore h;
  h.Add("X-A", "one");
  h.Add("", "two");
  h.Add("Content-Type", "text/plain");
  EXPECT_EQ(h.Count(), 2);
  EXPECT_STREQ(h.Value(0), "one two");
  EXPECT_STREQ(h.Find("content-type"), "text/plain");
  EXPECT_STREQ(h.Find("missing"), "");
  const char* out = nullptr;
  EXPECT_EQ(h.GetName(2, &out), tw::kErrIndexOutOfRange);
}

}  // namespace
