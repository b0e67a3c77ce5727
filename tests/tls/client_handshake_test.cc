// The client handshake against a hostile server: each crafted flight must fail with its code,
// text and alert, and nothing after the failure is read.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/tls/tls_test_support.h"
#include "tls/hello_extensions.h"
#include "tls/session_cache.h"
#include "tls/tls_engine.h"

namespace {

using tlstest::RecordingOwner;

std::string U16(unsigned v) { return {static_cast<char>(v >> 8), static_cast<char>(v & 0xFF)}; }
std::string U24(size_t v) {
  return {static_cast<char>(v >> 16), static_cast<char>((v >> 8) & 0xFF), static_cast<char>(v & 0xFF)};
}
std::string Ext(unsigned type, const std::string& body) { return U16(type) + U16(body.size()) + body; }

// One handshake record holding one message.
std::string Hs(int type, const std::string& body) {
  const std::string message = std::string(1, static_cast<char>(type)) + U24(body.size()) + body;
  return "\x16\x03\x03" + U16(message.size()) + message;
}

std::string Random(const std::string& tail = "") {
  return std::string(32 - tail.size(), '\x5a') + tail;
}

constexpr char kRetryRandom[] =
    "\xCF\x21\xAD\x74\xE5\x9A\x61\x11\xBE\x1D\x8C\x02\x1E\x65\xB8\x91"
    "\xC2\xA2\x11\x16\x7A\xBB\x8C\x5E\x07\x9E\x09\xE2\xC8\xA8\x33\x9C";

std::string ServerHello(unsigned version, const std::string& random, unsigned suite,
                        const std::string& extensions = "", int compression = 0) {
  std::string body = U16(version) + random + std::string(1, '\0') + U16(suite) +
                     std::string(1, static_cast<char>(compression));
  if (!extensions.empty()) body += U16(extensions.size()) + extensions;
  return Hs(2, body);
}

std::string Tls13Hello(const std::string& random, const std::string& more) {
  return ServerHello(0x0303, random, 0x1301, Ext(43, U16(0x0304)) + more);
}

// A HelloRetryRequest as a message of its own type, asking for a group.
std::string RetryMessage(unsigned group) {
  const std::string extensions = Ext(43, U16(0x0304)) + Ext(51, U16(group));
  return Hs(6, U16(0x0303) + U16(0x1301) + U16(extensions.size()) + extensions);
}

struct HostileCase {
  const char* name;
  uint32_t mask;
  std::vector<std::string> records;
  int code;
  const char* text;
  int alert;
};
void PrintTo(const HostileCase& c, std::ostream* os) { *os << c.name; }

const std::vector<HostileCase>& Cases() {
  static const std::vector<HostileCase> cases = {
      {"suite not offered", 0x0FC0, {ServerHello(0x0303, Random(), 0x1301)}, 276,
       "The server selected a cipher suite that was not offered.", 47},
      {"unknown suite", 0x0FC0, {ServerHello(0x0303, Random(), 0xFFFF)}, 276,
       "The server selected a cipher suite that was not offered.", 47},
      {"compression not offered", 0x0FC0, {ServerHello(0x0303, Random(), 0xC02F, "", 1)}, 276,
       "The server selected a compression method that was not offered.", 47},
      {"truncated server hello", 0x0FC0, {Hs(2, std::string("\x03\x03", 2) + Random().substr(0, 20))}, 276,
       "Malformed ServerHello message.", 50},
      {"downgrade to TLS 1.2", 0x3FC0, {ServerHello(0x0303, Random(std::string("DOWNGRD\x01", 8)), 0xC02F)}, 276,
       "tls 1.2 downgrade attack detected.", 47},
      {"downgrade to TLS 1.1", 0x3FC0, {ServerHello(0x0302, Random(std::string("DOWNGRD\x00", 8)), 0xC013)}, 276,
       "tls 1.1 downgrade attack detected.", 47},
      {"version above the offer", 0x03C0, {ServerHello(0x0303, Random(), 0xC013)}, 276,
       "Error during handshake: The client and server cannot communicate, because they do not possess a "
       "common algorithm.", 70},
      {"TLS 1.3 not offered", 0x0FC0, {Tls13Hello(Random(), "")}, 276,
       "The server selected a TLS version that was not offered.", 70},
      {"ALPN not offered", 0x0FC0, {ServerHello(0x0303, Random(), 0xC02F, Ext(16, U16(3) + "\x02h2"))}, 276,
       "The server selected an ALPN protocol that was not offered.", 47},
      {"renegotiation info on a first handshake", 0x0FC0,
       {ServerHello(0x0303, Random(), 0xC02F, Ext(0xFF01, std::string("\x01\x00", 2)))}, 276,
       "Secure renegotiation check failed.", 40},
      {"key exchange for an RSA suite", 0x0FC0, {ServerHello(0x0303, Random(), 0x009C), Hs(12, "xx")}, 276,
       "ServerKeyExchange", 10},
      {"certificate skipped", 0x0FC0, {ServerHello(0x0303, Random(), 0xC02F), Hs(14, "")}, 276,
       "The server sent no certificate although the cipher suite needs one.", 10},
      {"finished before the keys", 0x0FC0, {ServerHello(0x0303, Random(), 0xC02F), Hs(20, std::string(12, 'f'))},
       276, "Finished", 10},
      {"TLS 1.3 hello without key share", 0x3FC0, {Tls13Hello(Random(), "")}, 276,
       "The TLS 1.3 ServerHello carries no key share.", 109},
      {"TLS 1.3 share of a group not offered", 0x3FC0, {Tls13Hello(Random(), Ext(51, U16(30) + U16(56) + std::string(56, '\x09')))},
       276, "The server selected a key share group that was not offered.", 47},
      {"all-zero X25519 share", 0x3FC0, {Tls13Hello(Random(), Ext(51, U16(29) + U16(32) + std::string(32, '\0')))},
       276, "The server's key share is not usable.", 47},
      {"pre-shared key never offered", 0x3FC0, {Tls13Hello(Random(), Ext(41, U16(0)))}, 276,
       "The server selected a pre-shared key that was not offered.", 47},
      {"retry for an unknown group", 0x3FC0, {Tls13Hello(kRetryRandom, Ext(51, U16(0x1234)))}, -1,
       "Can not find a matched group id in HELLO_RETRY_REQUEST, the selected groupid is: 4660", 50},
      {"retry for a group already shared", 0x3FC0, {Tls13Hello(kRetryRandom, Ext(51, U16(29)))}, 276,
       "Malformed ServerHello message.", 47},
      {"retry message for an unknown group", 0x3FC0, {RetryMessage(0x1234)}, -1,
       "Cannot find a matching group id in HELLO_RETRY_REQUEST, the selected groupid is: 4660", 50},
      {"second retry message", 0x3FC0, {RetryMessage(25), RetryMessage(30)}, -1,
       "Received a second HelloRetryRequest.", 10},
      {"second retry", 0x3FC0,
       {Tls13Hello(kRetryRandom, Ext(51, U16(25))), Tls13Hello(kRetryRandom, Ext(51, U16(30)))}, -1,
       "Received a second HelloRetryRequest.", 10},
  };
  return cases;
}

class ClientHostile : public ::testing::TestWithParam<HostileCase> {};

TEST_P(ClientHostile, FailsWithCodeTextAndAlert) {
  const HostileCase& c = GetParam();
  RecordingOwner owner;
  tw::TlsEngine engine;
  engine.Init(&owner, true);
  engine.SetProtocolMask(c.mask);
  engine.SetServerName("server.example");
  ASSERT_EQ(engine.Start(), 0);
  int rc = 0;
  for (const std::string& record : c.records) {
    owner.Take();
    rc = engine.Receive(record.data(), static_cast<int>(record.size()));
    if (rc != 0) break;
  }
  EXPECT_EQ(rc, c.code);
  ASSERT_FALSE(owner.failures.empty());
  EXPECT_EQ(owner.failures.back().second, c.text);
  const std::string sent = owner.Take();
  ASSERT_GE(sent.size(), 7u);
  EXPECT_EQ(sent[0], '\x15');
  EXPECT_EQ(static_cast<uint8_t>(sent[sent.size() - 1]), c.alert);
  EXPECT_EQ(sent[sent.size() - 2], '\x02');
  // Nothing more is read after a failure.
  const std::string more = ServerHello(0x0303, Random(), 0xC02F);
  EXPECT_EQ(engine.Receive(more.data(), static_cast<int>(more.size())), 0);
  EXPECT_TRUE(owner.Take().empty());
  EXPECT_FALSE(engine.established());
}

INSTANTIATE_TEST_SUITE_P(Flights, ClientHostile, ::testing::ValuesIn(Cases()),
                         [](const ::testing::TestParamInfo<HostileCase>& i) {
                           std::string n = i.param.name;
                           for (char& ch : n) ch = isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
                           return n;
                         });

// Which host texts are address literals and get no server name.
TEST(HelloExtensions, ServerNameOnlyForHostNames) {
  struct Case {
    const char* host;
    bool literal;
  };
  const Case cases[] = {{"10.0.0.1", true},      {"::1", true},          {"fe80::1", true},
                        {"2001:db8::a", true},    {"127.0.0.1", true},    {"localhost", false},
                        {"a.example.com", false}, {"::ffff:1.2.3.4", false}, {"cafe", false},
                        {"1.2.3.4.example", false}};
  for (const Case& c : cases) EXPECT_EQ(tw::IsAddressLiteral(c.host), c.literal) << c.host;
}

// Eviction keeps the cache at its maximum: invalid entries first, else the oldest (the later of
// equal stamps); a lookup of an invalid entry removes it.
TEST(SessionCache, EvictionAndLookup) {
  tw::SessionCache cache;
  auto entry = [](int id, int64_t stamp, bool valid) {
    auto* e = tw::NewRecord<tw::SessionCacheEntry>();
    e->session_id.Set(&id, sizeof id);
    if (valid) e->master_secret.SetText("secret");
    e->time_stamp = stamp;
    return e;
  };
  for (int i = 0; i < 200; ++i) cache.Add(entry(i, 1000 + i, true));
  cache.Add(entry(200, 5000, true));
  EXPECT_EQ(cache.Count(), 200);
  int id = 0;
  EXPECT_EQ(cache.Find(&id, sizeof id), nullptr);  // the oldest went
  id = 1;
  EXPECT_NE(cache.Find(&id, sizeof id), nullptr);

  cache.At(5)->master_secret.Reset();
  cache.Add(entry(201, 6000, true));
  EXPECT_EQ(cache.Count(), 200);  // the invalid one went, not the oldest
  EXPECT_NE(cache.Find(&id, sizeof id), nullptr);

  tw::SessionCache ties;
  ties.max_count = 2;
  ties.Add(entry(1, 7, true));
  ties.Add(entry(2, 7, true));
  ties.Add(entry(3, 9, true));
  id = 2;
  EXPECT_EQ(ties.Find(&id, sizeof id), nullptr);
  id = 1;
  EXPECT_NE(ties.Find(&id, sizeof id), nullptr);

  ties.At(0)->master_secret.Reset();
  EXPECT_EQ(ties.Find(&id, sizeof id), nullptr);
  EXPECT_EQ(ties.Count(), 1);
}

}  // namespace
