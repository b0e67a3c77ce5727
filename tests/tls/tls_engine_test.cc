#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "tests/tls/tls_test_support.h"
#include "tls/tls12_key_derivation.h"
#include "tls/tls_engine.h"
#include "tests/support/case_name.h"

namespace {

using namespace tlstest;

using Owner = RecordingOwner;


// Feeds bytes whole (slice 0) or in slices; returns the first non-zero code.
int Feed(tw::TlsEngine& e, const std::string& bytes, size_t slice) {
  if (slice == 0) return e.Receive(bytes.data(), static_cast<int>(bytes.size()));
  for (size_t i = 0; i < bytes.size(); i += slice) {
    const int rc = e.Receive(bytes.data() + i, static_cast<int>(std::min(slice, bytes.size() - i)));
    if (rc != 0) return rc;
  }
  return 0;
}

// Both sides past the key exchange with the same session, waiting for Finished.
struct Pair {
  Owner client_owner, server_owner;
  tw::TlsEngine client, server;

  Pair(uint16_t suite_id, uint16_t version) {
    client.Init(&client_owner, true);
    server.Init(&server_owner, false);
    const std::string pms = testsupport::RandomBytes(48, 1);
    for (tw::TlsEngine* e : {&client, &server}) {
      tw::TlsSessionState& p = e->pending();
      p.version = version;
      p.SetSuite(tw::FindCipherSuite(suite_id));
      std::memcpy(p.client_random, testsupport::RandomBytes(32, 2).data(), 32);
      std::memcpy(p.server_random, testsupport::RandomBytes(32, 3).data(), 32);
      EXPECT_EQ(tw::DeriveMasterSecret(p, Bytes(pms)), 0);
      EXPECT_EQ(tw::InstallKeyBlock(p), 0);
      e->transcript().SetText("ClientHello ServerHello Certificate ServerHelloDone ClientKeyExchange");
      e->set_state(tw::kStateWaitFinished);
    }
    client.BeginFlight();
    EXPECT_EQ(client.SendChangeCipherSpec(), 0);
    EXPECT_EQ(client.SendFinished(), 0);
    EXPECT_EQ(client.EndFlight(), 0);
  }

  // The Finished exchange, each flight fed in slices.
  void Finish(size_t slice) {
    ASSERT_EQ(Feed(server, client_owner.Take(), slice), 0);
    ASSERT_EQ(server_owner.done, 1);
    ASSERT_EQ(Feed(client, server_owner.Take(), slice), 0);
    ASSERT_EQ(client_owner.done, 1);
  }
};

// Record body lengths of a stream of records.
std::vector<int> RecordLengths(const std::string& s) {
  std::vector<int> out;
  for (size_t i = 0; i + 5 <= s.size();) {
    const int n = static_cast<uint8_t>(s[i + 3]) << 8 | static_cast<uint8_t>(s[i + 4]);
    out.push_back(n);
    i += 5 + static_cast<size_t>(n);
  }
  return out;
}

struct FlowCase {
  uint16_t suite;
  uint16_t version;
  size_t slice;
};

const FlowCase kFlows[] = {
    {0x009C, 0x0303, 0}, {0x009C, 0x0303, 1}, {0xC030, 0x0303, 7}, {0x002F, 0x0301, 1},
    {0x002F, 0x0302, 0}, {0xC028, 0x0303, 1}, {0x0004, 0x0300, 1}, {0x000A, 0x0300, 3},
};

class EngineFlow : public ::testing::TestWithParam<FlowCase> {};

// Finished both ways and application data both ways, whole or in slices: the same data arrives
// and 40000 bytes leave as records of 16384, 16384 and 7232 bytes.
TEST_P(EngineFlow, FinishedAndDataInAnySlicing) {
  const FlowCase& c = GetParam();
  Pair p(c.suite, c.version);
  p.Finish(c.slice);
  EXPECT_TRUE(p.client.established());
  EXPECT_TRUE(p.server.established());
  EXPECT_EQ(p.client.state(), tw::kStateComplete);
  const std::string request = testsupport::RandomBytes(40000, 4);
  int sent = 0;
  ASSERT_EQ(p.client.SendAppData(request.data(), static_cast<int>(request.size()), &sent), 0);
  EXPECT_EQ(sent, 40000);
  const std::string wire = p.client_owner.Take();
  const std::vector<int> lengths = RecordLengths(wire);
  ASSERT_EQ(lengths.size(), 3u);
  const tw::TlsCipherSuite* s = tw::FindCipherSuite(c.suite);
  if (s->aead()) {
    EXPECT_EQ(lengths, (std::vector<int>{16384 + 24, 16384 + 24, 7232 + 24}));
  }
  ASSERT_EQ(Feed(p.server, wire, c.slice == 0 ? 0 : c.slice * 1000 + 1), 0);
  EXPECT_EQ(p.server_owner.data, request);
  ASSERT_EQ(p.server.SendAppData("pong", 4, &sent), 0);
  ASSERT_EQ(Feed(p.client, p.server_owner.Take(), c.slice), 0);
  EXPECT_EQ(p.client_owner.data, "pong");
  EXPECT_TRUE(p.client_owner.failures.empty());
  EXPECT_TRUE(p.server_owner.failures.empty());
}

INSTANTIATE_TEST_SUITE_P(Suites, EngineFlow, ::testing::ValuesIn(kFlows),
    [](const auto& i) { const auto& p = i.param; return testsupport::MakeName("suite", p.suite, "version", p.version, "slice", p.slice); });

struct Hostile {
  const char* name;
  bool established;           // fed to an established client, else to a client in state 0
  std::vector<std::string> input;  // successive Receive calls
  int code;
  std::string text;
  int alert;  // fatal alert expected on the wire, 0 none
};

std::string Hs(const std::string& body) { return std::string("\x16\x03\x03", 3) + char(body.size() >> 8) + char(body.size()) + body; }

const Hostile kHostile[] = {
    {"split header, message out of place", false, {std::string("\x16\x03", 2), std::string("\x03\x00\x04\x0e\x00\x00\x00", 7)},
     276, "Server Hello Done", 10},
    {"length beyond a record", false, {std::string("\x17\x03\x03\x48\x01", 5)}, 276, "SSL record exceeds the maximum length.", 22},
    {"16 MB handshake message", false, {Hs(std::string("\x02\xff\xff\xff", 4))}, 276, "Handshake message too large.", 47},
    {"early ChangeCipherSpec", false, {std::string("\x14\x03\x03\x00\x01\x01", 6)}, 276, "ChangeCipherSpec", 10},
    {"alert inside a fragment", false, {Hs(std::string("\x02\x00\x00\x10\x03", 5)), std::string("\x15\x03\x03\x00\x02\x02\x28", 7)},
     276, "Interleaved record", 10},
    {"unknown record type", false, {std::string("\x18\x03\x03\x00\x01\x00", 6)}, 276, "Unrecognized SSL packet data received.", 0},
    {"data before the handshake", false, {std::string("\x17\x03\x03\x00\x01x", 6)}, 276, "Application Data", 10},
    {"fatal alert", false, {std::string("\x15\x03\x03\x00\x02\x02\x28", 7)}, 286, "Received fatal alert: HANDSHAKE_FAILURE", 0},
    {"alert of three bytes", false, {std::string("\x15\x03\x03\x00\x03\x02\x28\x00", 8)}, 276, "Malformed alert received.", 50},
    {"session ticket before the hello", false, {Hs(std::string("\x04\x00\x00\x00", 4))}, 276, "New Session Ticket", 10},
    {"empty server hello", false, {Hs(std::string("\x02\x00\x00\x00", 4))}, 276,
     "Malformed ServerHello message.", 50},
    {"plaintext over 16384", false, {std::string("\x16\x03\x03\x40\x01", 5) + std::string(16385, '\0')}, 276,
     "SSL record exceeds the maximum length.", 22},
    {"forged application data", true, {std::string("\x17\x03\x03\x00\x20", 5) + std::string(32, 'f')}, 286,
     "Invalid MAC found in encrypted packet", 20},
    {"short AEAD record", true, {std::string("\x17\x03\x03\x00\x10", 5) + std::string(16, 'f')}, 286,
     "AEAD encrypted packet is too short.", 50},
    // Under keys every record is opened, a plain ChangeCipherSpec too.
    {"plain ChangeCipherSpec under keys", true, {std::string("\x14\x03\x03\x00\x01\x01", 6)}, 286,
     "AEAD encrypted packet is too short.", 50},
};

class EngineHostile : public ::testing::TestWithParam<Hostile> {};

// Each gives its failure once, with its alert on the wire, and nothing is delivered.
TEST_P(EngineHostile, CleanFailure) {
  const Hostile& h = GetParam();
  Pair p(0x009C, 0x0303);
  tw::TlsEngine* e = &p.client;
  Owner* owner = &p.client_owner;
  if (h.established) {
    p.Finish(0);
  } else {
    p.client.Init(owner, true);
  }
  owner->Take();
  int rc = 0;
  for (const std::string& piece : h.input) {
    rc = Feed(*e, piece, 0);
    if (rc != 0) break;
  }
  EXPECT_EQ(rc, h.code);
  ASSERT_EQ(owner->failures.size(), 1u);
  EXPECT_EQ(owner->failures[0].first, h.code);
  EXPECT_EQ(owner->failures[0].second, h.text);
  EXPECT_TRUE(owner->data.empty());
  // Input after the failure is not read at all.
  EXPECT_EQ(Feed(*e, h.input.back(), 0), 0);
  EXPECT_EQ(owner->failures.size(), 1u);
  if (h.alert != 0 && !h.established) {
    EXPECT_EQ(owner->sent, std::string("\x15\x03\x01\x00\x02\x02", 6) + char(h.alert));
  } else if (h.alert != 0) {
    // Protected: one alert record of 2 + 24 bytes.
    EXPECT_EQ(RecordLengths(owner->sent), std::vector<int>{26});
  } else {
    EXPECT_TRUE(owner->sent.empty());
  }
}

INSTANTIATE_TEST_SUITE_P(Records, EngineHostile, ::testing::ValuesIn(kHostile), [](const auto& info) {
  std::string n;
  for (const char* p = info.param.name; *p; ++p) n += isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
  return n;
});

// A wrong Finished fails with handshake_failure; a close_notify is answered and what follows it
// is never delivered.
TEST(EngineFinished, WrongFinishedAndDataAfterClose) {
  Pair bad(0x009C, 0x0303);
  bad.server.transcript().AppendText(" tampered");
  EXPECT_EQ(Feed(bad.server, bad.client_owner.Take(), 0), 286);
  ASSERT_EQ(bad.server_owner.failures.size(), 1u);
  EXPECT_EQ(bad.server_owner.failures[0].second, "Could not verify the Finished message received");
  EXPECT_FALSE(bad.server.established());

  Pair p(0xC030, 0x0303);
  p.Finish(0);
  ASSERT_EQ(p.server.Close(), 0);
  int sent = 0;
  p.server.SendAppData("late", 4, &sent);  // refused: the session is over
  const std::string close_then_nothing = p.server_owner.Take();
  ASSERT_EQ(Feed(p.client, close_then_nothing, 1), 0);
  EXPECT_EQ(p.client.state(), tw::kStateClosed);
  EXPECT_TRUE(p.client_owner.data.empty());
  // The client answered with its own close_notify; bytes after it are dropped, not delivered.
  EXPECT_EQ(RecordLengths(p.client_owner.sent), std::vector<int>{26});
  EXPECT_EQ(p.client.Receive("\x17\x03\x03\x00\x01x", 6), 0);
  EXPECT_TRUE(p.client_owner.data.empty());
}

// An owner that takes a few bytes at a time: the rest is queued, order is kept across the
// handshake and the data that follows, and the wire is what an unhindered owner would see.
TEST(EngineOutput, PartialSendsKeepOrder) {
  Pair open(0x009C, 0x0303);
  Pair slow(0x009C, 0x0303);
  slow.server_owner.limit = 10;
  ASSERT_EQ(Feed(open.server, open.client_owner.Take(), 0), 0);
  ASSERT_EQ(Feed(slow.server, slow.client_owner.Take(), 0), 0);
  EXPECT_TRUE(slow.server.HasPendingOutput());
  int sent = 0;
  EXPECT_EQ(slow.server.SendAppData("0123456789", 10, &sent), tw::kTlsWouldBlock);
  EXPECT_EQ(sent, 0);
  while (slow.server.FlushPending() != 0) {
  }
  ASSERT_EQ(slow.server.SendAppData("0123456789", 10, &sent), tw::kTlsWouldBlock);
  EXPECT_EQ(sent, 10);
  slow.server_owner.limit = -1;
  EXPECT_EQ(slow.server.FlushPending(), 0);
  ASSERT_EQ(open.server.SendAppData("0123456789", 10, &sent), 0);
  // GCM records are deterministic here (same keys, explicit nonce = sequence).
  EXPECT_EQ(slow.server_owner.sent, open.server_owner.sent);
}

// A send the socket refuses fails the connection once, with the socket's code and text: records
// queued behind a partial send are not taken for sent, and what follows reports nothing more.
TEST(EngineOutput, RefusedSendFailsOnce) {
  Pair p(0x009C, 0x0303);
  p.server_owner.limit = 10;
  ASSERT_EQ(Feed(p.server, p.client_owner.Take(), 0), 0);
  p.server_owner.error = 10054;
  int sent = -1;
  EXPECT_EQ(p.server.SendAppData("x", 1, &sent), 10054);
  EXPECT_EQ(sent, 0);
  EXPECT_EQ(p.server.FlushPending(), 0);
  EXPECT_EQ(p.server_owner.failures, (std::vector<std::pair<int, std::string>>{{10054, "[10054] refused"}}));
}

// Under TLS 1.3 one plain ChangeCipherSpec is dropped; a second one, or one inside protection,
// is an unexpected message.
TEST(EngineTls13, ChangeCipherSpecCompatibility) {
  const std::string ccs("\x14\x03\x03\x00\x01\x01", 6);
  const tw::TlsCipherSuite* suite = tw::FindCipherSuite(0x1301);
  const DirectionKeys keys = KeysFor(*suite, true, 11);
  for (int variant = 0; variant < 3; ++variant) {
    Owner owner;
    tw::TlsEngine e;
    e.Init(&owner, true);
    e.set_tls13(true);
    e.set_state(tw::kStateTls13EncryptedExtensions);
    std::string input = ccs;
    if (variant == 1) input += ccs;
    if (variant == 2) {
      ASSERT_EQ(Key(e.current().read, *suite, 0x0304, true, keys), 0);
      tw::TlsRecordState writer;
      ASSERT_EQ(Key(writer, *suite, 0x0304, true, keys), 0);
      uint8_t out[64];
      size_t n = 0;
      ASSERT_EQ(writer.Protect(20, 0x0303, reinterpret_cast<const uint8_t*>("\x01"), 1, out, &n), 0);
      input = std::string(reinterpret_cast<char*>(out), n);
    }
    EXPECT_EQ(Feed(e, input, 0), variant == 0 ? 0 : 276) << variant;
    EXPECT_EQ(owner.failures.size(), variant == 0 ? 0u : 1u);
  }
}

// A TLS 1.3 client refuses an ALPN choice not offered (illegal_parameter); a warning alert passes.
struct Tls13Input { const char* name; const char* alpn; uint8_t type; std::string body; int rc; const char* failure; };
class EngineTls13Input : public ::testing::TestWithParam<Tls13Input> {};
TEST_P(EngineTls13Input, AcceptsOrRefuses) {
  const Tls13Input& c = GetParam();
  const tw::TlsCipherSuite* suite = tw::FindCipherSuite(0x1301);
  Owner owner;
  tw::TlsEngine e;
  e.Init(&owner, true), e.SetAlpn(c.alpn);
  e.set_tls13(true);
  e.set_state(tw::kStateTls13ServerHello);
  tw::TlsRecordState w;
  uint8_t out[64];
  size_t n = 0;
  ASSERT_EQ(Key(e.current().read, *suite, 0x0304, true, KeysFor(*suite, true, 1)) | Key(w, *suite, 0x0304, true, KeysFor(*suite, true, 1)) |
                w.Protect(c.type, 0x0303, reinterpret_cast<const uint8_t*>(c.body.data()), c.body.size(), out, &n), 0);
  EXPECT_EQ(Feed(e, std::string(reinterpret_cast<char*>(out), n), 0), c.rc);
  EXPECT_EQ(owner.failures.empty() ? "" : owner.failures[0].second, c.failure);
  EXPECT_EQ(owner.sent, c.rc == -1 ? std::string("\x15\x03\x03\x00\x02\x02\x2f", 7) : "");  // illegal_parameter
}
INSTANTIATE_TEST_SUITE_P(Records, EngineTls13Input, ::testing::Values(
    Tls13Input{"alpn_not_offered", "h2", 22, std::string("\x08\0\0\x11\0\x0f\0\x10\0\x0b\0\x09\x08spdy/3.1", 21), -1, "The server selected an ALPN protocol that was not offered."},
    Tls13Input{"warning_alert", "", 21, std::string("\x01\x2a", 2), 0, ""}), testsupport::CaseName{});
// Mutated flights in random slices: each ends in completion or in exactly one failure, and no
// data is ever delivered from them.
TEST(EngineHostileRandom, MutatedFlights) {
  std::mt19937 rng(17);
  for (int round = 0; round < 300; ++round) {
    Pair p(round % 2 == 0 ? 0x009C : 0x002F, round % 3 == 0 ? 0x0301 : 0x0303);
    std::string flight = p.client_owner.Take();
    switch (round % 4) {
      case 0:
        flight[rng() % flight.size()] ^= static_cast<char>(1 + rng() % 255);
        break;
      case 1:
        flight.resize(rng() % flight.size());
        break;
      case 2:
        flight.insert(rng() % flight.size(), testsupport::RandomBytes(1 + rng() % 40, round));
        break;
      default:
        flight += flight;
        break;
    }
    int rc = 0;
    for (size_t i = 0; i < flight.size() && rc == 0;) {
      const size_t n = std::min<size_t>(1 + rng() % 9, flight.size() - i);
      rc = p.server.Receive(flight.data() + i, static_cast<int>(n));
      i += n;
    }
    EXPECT_LE(p.server_owner.failures.size(), 1u) << round;
    EXPECT_EQ(rc != 0, p.server_owner.failures.size() == 1u) << round;
    EXPECT_TRUE(p.server_owner.data.empty()) << round;
  }
}

// A peer that closes during the handshake after a failure adds nothing to it; a mask with no
// version enabled fails by name.
TEST(EngineLifecycle, PeerCloseAndVersionMask) {
  Owner owner;
  tw::TlsEngine e;
  e.Init(&owner, true);
  ASSERT_EQ(e.Receive("\x15\x03\x03\x00\x02\x02\x28", 7), 286);
  EXPECT_EQ(e.PeerClosed(1), 0);
  ASSERT_EQ(owner.failures.size(), 1u);
  EXPECT_EQ(owner.failures[0].second, "Received fatal alert: HANDSHAKE_FAILURE");
  tw::TlsEngine fresh;
  Owner fresh_owner;
  fresh.Init(&fresh_owner, true);
  EXPECT_EQ(fresh.PeerClosed(1), 276);
  EXPECT_EQ(fresh_owner.failures[0].second, "Remote host disconnected during SSL negotiation.");
  uint16_t v = 0;
  fresh.SetProtocolMask(0x0800);
  EXPECT_EQ(fresh.HighestVersion(&v), 278);
  EXPECT_EQ(fresh_owner.failures.back().second, "No supported protocol versions enabled");
  fresh.SetProtocolMask(0x0FC0);
  EXPECT_EQ(fresh.HighestVersion(&v), 0);
  EXPECT_EQ(v, 0x0303);
  // A client starts with its ClientHello; a server waits for one.
  EXPECT_EQ(fresh.Start(), 0);
  const std::string hello = fresh_owner.Take();
  ASSERT_GT(hello.size(), 9u);
  EXPECT_EQ(hello[0], 0x16);
  EXPECT_EQ(hello[5], 0x01);
  tw::TlsEngine server;
  server.Init(&fresh_owner, false);
  EXPECT_EQ(server.Start(), 0);
  EXPECT_TRUE(fresh_owner.Take().empty());
}

// The packet log names each record; an opened one also shows its plain bytes.
TEST(EngineLog, PacketLogLines) {
  Pair p(0x009C, 0x0303);
  p.server.SetLogPackets(true);
  ASSERT_EQ(Feed(p.server, p.client_owner.Take(), 0), 0);
  auto has = [&](const std::string& start, const std::string& inner) {
    for (const std::string& s : p.server_owner.statuses) {
      if (s.rfind(start, 0) == 0 && s.find(inner) != std::string::npos) return true;
    }
    return false;
  };
  EXPECT_TRUE(has("[TLS] Incoming ChangeCipherSpecProtocol: ChangeCipherSpec (6 bytes)\r\n", ""));
  EXPECT_TRUE(has("[TLS] Incoming Handshake Protocol: Finished (45 bytes)\r\n", "-----Decrypted (16 bytes)-----"));
  EXPECT_TRUE(has("[TLS] Outgoing Handshake Protocol: Finished (21 bytes)\r\n", ""));
  EXPECT_TRUE(has("FINISHED", ""));  // a received message by its name
}

// The certificate hook presets the verdict from the status code and names a failing code; a server
// waiting for its first hello takes an SSL 2.0 header, and refuses all but its CLIENT-HELLO.
TEST(EngineLifecycle, CertificateHookAndSsl2Records) {
  Owner owner;
  tw::TlsEngine e;
  e.Init(&owner, true);
  bool accept = false;
  ASSERT_EQ(e.CheckServerCertificate("c", 1, "CN=a", "CN=b", 0, "OK", &accept), 0);
  EXPECT_TRUE(accept);
  EXPECT_EQ(owner.certificate_status, "OK accepted");
  ASSERT_EQ(e.CheckServerCertificate("c", 1, "CN=a", "CN=b", 0x800B010F, "name mismatch", &accept), 0);
  EXPECT_FALSE(accept);
  EXPECT_EQ(owner.certificate_status, "[0x800b010f] name mismatch refused");

  const struct {
    std::string input;
    int code;
    const char* text;
    int state = tw::kStateWaitClientHello;
  } ssl2[] = {
      {std::string("\x80\x05\x01\x00\x02\x00\x00", 7), 278, "SSL2 not supported"},
      {std::string("\x80\x03\x04\x00\x02", 5), 278, "SSL 2.0 not supported"},
      {std::string("\x80\x03\x04\x00\x02", 5), 278, "SSL data packet with unknown Content Type", tw::kStateWaitFinished},
      {std::string("\x16\x03\x03\x00\x04\x01\x00\x00\x00", 9), 276, "ClientHello", tw::kStateWaitFinished},
  };
  for (const auto& c : ssl2) {
    Owner server_owner;
    tw::TlsEngine server;
    server.Init(&server_owner, false);
    server.set_state(c.state);
    EXPECT_EQ(Feed(server, c.input, 1), c.code);
    ASSERT_EQ(server_owner.failures.size(), 1u);
    EXPECT_EQ(server_owner.failures[0].second, c.text);
  }
}

// A copied engine carries the session on: keys, sequence numbers and state.
TEST(EngineLifecycle, CopyCarriesTheSession) {
  Pair p(0x002F, 0x0301);
  p.Finish(0);
  int sent = 0;
  ASSERT_EQ(p.server.SendAppData("first", 5, &sent), 0);
  ASSERT_EQ(Feed(p.client, p.server_owner.Take(), 0), 0);
  Owner copy_owner;
  tw::TlsEngine copy;
  copy.Init(&copy_owner, true);
  ASSERT_EQ(copy.CopyFrom(p.client), 0);
  ASSERT_EQ(p.server.SendAppData("second", 6, &sent), 0);
  ASSERT_EQ(Feed(copy, p.server_owner.Take(), 0), 0);
  EXPECT_EQ(copy_owner.data, "second");
  EXPECT_EQ(copy.state(), tw::kStateComplete);
  EXPECT_FALSE(copy.established());
}

}  // namespace
