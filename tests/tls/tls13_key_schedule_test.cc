#include <gtest/gtest.h>

#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "crypto/symmetric/hash_engine.h"
#include "tests/crypto/symmetric/hmac_kdf_test_support.h"
#include "tests/tls/tls_test_support.h"
#include "tls/tls13_key_schedule.h"

namespace {

using testsupport::Hex;
using testsupport::Unhex;
using namespace tlstest;
using tw::ByteString;

std::string HexOf(const ByteString& s) { return Hex(s.data(), static_cast<size_t>(s.length())); }

std::map<std::string, std::string> Rfc8448() {
  std::map<std::string, std::string> v;
  std::istringstream in(testsupport::ReadFile(testsupport::VectorsDir() + "/rfc8448/simple_1rtt.txt"));
  std::string name, hex;
  while (in >> name) {
    if (name[0] == '#') {
      std::getline(in, hex);
    } else if (in >> hex) {
      v[name] = hex;
    }
  }
  return v;
}

void Collect(void* context, const char* label, const uint8_t* bytes, int length) {
  (*static_cast<std::map<std::string, std::string>*>(context))[label] = Hex(bytes, static_cast<size_t>(length));
}

// RFC 8448 section 3 from the hellos and the X25519 secret through both Finished messages; the server's
// records must open on the client.
TEST(Tls13KeySchedule, Rfc8448SimpleHandshake) {
  auto v = Rfc8448();
  ASSERT_FALSE(v.empty()) << "third_party/rfc8448 missing";
  const auto* suite = tw::FindCipherSuite(0x1301);
  tw::Tls13KeySchedule client, server;
  std::map<std::string, std::string> seen;
  client.SetDebugSink(Collect, &seen);
  tw::TlsSessionState client_state, server_state;
  ByteString transcript = Bytes(Unhex(v["client_hello"] + v["server_hello"]));
  ASSERT_EQ(client.HandshakeKeys(suite, Bytes(Unhex(v["shared_secret"])), transcript, client_state, true), 0);
  ASSERT_EQ(server.HandshakeKeys(suite, Bytes(Unhex(v["shared_secret"])), transcript, server_state, false), 0);
  transcript.AppendString(Bytes(Unhex(v["encrypted_extensions"] + v["certificate"] + v["certificate_verify"])));
  ByteString server_finished, client_finished;
  ASSERT_EQ(server.FinishedVerifyData(false, transcript, server_finished), 0);
  bool ok = false;
  ASSERT_EQ(client.VerifyFinished(false, transcript, server_finished.bytes(), 32, &ok), 0);
  EXPECT_TRUE(ok);
  ASSERT_EQ(client.VerifyFinished(true, transcript, server_finished.bytes(), 32, &ok), 0);
  EXPECT_FALSE(ok);
  transcript.AppendString(Bytes(Unhex(v["server_finished_message"])));
  ASSERT_EQ(client.FinishedVerifyData(true, transcript, client_finished), 0);
  ASSERT_EQ(client.ApplicationSecrets(transcript), 0);
  const std::pair<const char*, std::string> checks[] = {
      {"early_secret", seen["Tls13_EarlySecret"]},
      {"handshake_secret", seen["Tls13_HandshakeSecret"]},
      {"hello_hash", seen["h2"]},
      {"client_handshake_traffic_secret", HexOf(client.client_handshake_secret())},
      {"server_handshake_traffic_secret", HexOf(client.server_handshake_secret())},
      {"client_handshake_key", seen["Tls13_ClientHandshakeKey"]},
      {"client_handshake_iv", seen["Tls13_ClientHandshakeIV"]},
      {"server_handshake_key", seen["Tls13_ServerHandshakeKey"]},
      {"server_handshake_iv", seen["Tls13_ServerHandshakeIV"]},
      {"client_finished_key", seen["client_finished_key"]},
      {"server_finished_key", seen["server_finished_key"]},
      {"master_secret", HexOf(client_state.master_secret)},
      {"server_finished", HexOf(server_finished)},
      {"client_finished", HexOf(client_finished)},
      {"client_application_traffic_secret", HexOf(client.client_application_secret())},
      {"server_application_traffic_secret", HexOf(client.server_application_secret())},
      {"exporter_master_secret", HexOf(client.exporter_secret())},
      {"client_application_key", seen["context.Tls13_ClientTrafficKey"]},
      {"client_application_iv", seen["context.Tls13_ClientTrafficIV"]},
      {"server_application_key", seen["context.Tls13_ServerTrafficKey"]},
      {"server_application_iv", seen["context.Tls13_ServerTrafficIV"]},
  };
  for (const auto& [name, actual] : checks) EXPECT_EQ(actual, v[name]) << name;
  EXPECT_EQ(client_state.prf_hash, 1);
  EXPECT_TRUE(client_state.read.active() && client_state.write.active());

  ByteString log;
  ASSERT_EQ(client.KeyLogLines(transcript.bytes() + 6, log), 0);
  const std::string random = v["client_hello"].substr(12, 64);
  EXPECT_EQ(Str(log), "CLIENT_HANDSHAKE_TRAFFIC_SECRET " + random + " " + v["client_handshake_traffic_secret"] +
                          "\nSERVER_HANDSHAKE_TRAFFIC_SECRET " + random + " " + v["server_handshake_traffic_secret"] +
                          "\nCLIENT_TRAFFIC_SECRET_0 " + random + " " + v["client_application_traffic_secret"] +
                          "\nSERVER_TRAFFIC_SECRET_0 " + random + " " + v["server_application_traffic_secret"] +
                          "\nEXPORTER_SECRET " + random + " " + v["exporter_master_secret"] + "\n");

  // Handshake and application keys, then a KeyUpdate of the server's side, on both ends.
  ASSERT_EQ(server.ApplicationSecrets(transcript), 0);
  for (int stage = 0; stage < 3; ++stage) {
    tw::TlsRecordState& sender = server_state.write;
    tw::TlsRecordState& receiver = client_state.read;
    if (stage == 1) {
      ASSERT_EQ(server.InstallApplicationKeys(server_state.read, server_state.write, false), 0);
      ASSERT_EQ(client.InstallApplicationKeys(client_state.read, client_state.write, true), 0);
    } else if (stage == 2) {
      ASSERT_EQ(server.UpdateApplicationKeys(false, sender), 0);
      ASSERT_EQ(client.UpdateApplicationKeys(false, receiver), 0);
      EXPECT_EQ(HexOf(client.server_application_secret()), HexOf(server.server_application_secret()));
    }
    uint8_t record[64 + tw::kTlsMaxOverhead + 5];
    size_t n = 0;
    ASSERT_EQ(sender.Protect(tw::kContentHandshake, 0x0303, reinterpret_cast<const uint8_t*>("finished"), 8,
                             record, &n), 0);
    uint8_t type = 0, *content = nullptr;
    size_t length = 0;
    tw::TlsRecordFault fault;
    ASSERT_EQ(receiver.Unprotect(record, n, &type, &content, &length, &fault), 0) << stage;
    EXPECT_EQ(std::string(reinterpret_cast<char*>(content), length), "finished");
  }
}

// Every suite against a python model of RFC 8446 section 7 on random inputs, a KeyUpdate included.
const char kScheduleModel[] = R"(
import hashlib, hmac, sys
for line in sys.stdin:
    name, keylen, dhe, transcript = line.split()
    H = getattr(hashlib, name); n = H().digest_size; keylen = int(keylen)
    dhe, transcript = bytes.fromhex(dhe), bytes.fromhex(transcript)
    ext = lambda salt, ikm: hmac.new(salt, ikm, H).digest()
    def el(secret, label, ctx, length):
        label = b'tls13 ' + label.encode()
        info = length.to_bytes(2, 'big') + bytes([len(label)]) + label + bytes([len(ctx)]) + ctx
        out, t, i = b'', b'', 1
        while len(out) < length:
            t = hmac.new(secret, t + info + bytes([i]), H).digest(); out += t; i += 1
        return out[:length]
    th = H(transcript).digest(); empty = H(b'').digest(); zero = bytes(n)
    hs = ext(el(ext(zero, zero), 'derived', empty, n), dhe)
    ms = ext(el(hs, 'derived', empty, n), zero)
    c, s = el(hs, 'c hs traffic', th, n), el(hs, 's hs traffic', th, n)
    out = [c, s, ms, hmac.new(el(c, 'finished', b'', n), th, H).digest()]
    ca, sa = el(ms, 'c ap traffic', th, n), el(ms, 's ap traffic', th, n)
    out += [ca, sa, el(ms, 'exp master', th, n), el(ca, 'key', b'', keylen), el(sa, 'iv', b'', 12)]
    out += [el(ca, 'traffic upd', b'', n)]
    print(' '.join(x.hex() for x in out))
)";

TEST(Tls13KeySchedule, SuitesAgainstPythonModel) {
  const uint16_t suites[] = {0x1301, 0x1302, 0x1303};
  std::string input;
  for (unsigned i = 0; i < 3; ++i) {
    const auto* suite = tw::FindCipherSuite(suites[i]);
    input += std::string(suite->prf == 2 ? "sha384 " : "sha256 ") + std::to_string(suite->key_bytes) + " " +
             Hex(testsupport::RandomBytes(56, i).data(), 56) + " " + Hex(testsupport::RandomBytes(300, i + 9).data(), 300) +
             "\n";
  }
  std::vector<std::string> lines;
  TW_PYTHON_OR_SKIP(kScheduleModel, input, &lines);
  ASSERT_EQ(lines.size(), 3u);
  for (unsigned i = 0; i < 3; ++i) {
    tw::Tls13KeySchedule ks;
    std::map<std::string, std::string> seen;
    ks.SetDebugSink(Collect, &seen);
    tw::TlsSessionState pending;
    const ByteString transcript = Bytes(testsupport::RandomBytes(300, i + 9));
    ASSERT_EQ(ks.HandshakeKeys(tw::FindCipherSuite(suites[i]), Bytes(testsupport::RandomBytes(56, i)), transcript,
                               pending, true), 0);
    ByteString finished, next;
    ASSERT_EQ(ks.FinishedVerifyData(true, transcript, finished), 0);
    ASSERT_EQ(ks.ApplicationSecrets(transcript), 0);
    next = ks.client_application_secret();
    ASSERT_EQ(ks.NextApplicationSecret(next), 0);
    EXPECT_EQ(HexOf(ks.client_handshake_secret()) + " " + HexOf(ks.server_handshake_secret()) + " " +
                  HexOf(pending.master_secret) + " " + HexOf(finished) + " " + HexOf(ks.client_application_secret()) +
                  " " + HexOf(ks.server_application_secret()) + " " + HexOf(ks.exporter_secret()) + " " +
                  seen["context.Tls13_ClientTrafficKey"] + " " + seen["context.Tls13_ServerTrafficIV"] + " " +
                  HexOf(next),
              lines[i])
        << suites[i];
  }
}

// Wycheproof HKDF: extract then expand; an output size over 255 blocks must be refused.
class Tls13Hkdf : public testing::TestWithParam<std::pair<const char*, int>> {};

TEST_P(Tls13Hkdf, Wycheproof) {
  const std::string json = kdftest::WycheproofFile(GetParam().first);
  if (json.empty()) {
    TW_REQUIRE_OR_SKIP("wycheproof vectors missing");
  }
  int declared = 0;
  const auto cases = kdftest::WycheproofCases(json, &declared);
  ASSERT_EQ(static_cast<int>(cases.size()), declared);
  for (const auto& c : cases) {
    ByteString prk, okm;
    int rc = tw::HkdfExtract(GetParam().second, Bytes(Unhex(c.at("salt"))), Bytes(Unhex(c.at("ikm"))), prk);
    if (rc == 0) rc = tw::HkdfExpand(GetParam().second, prk, Bytes(Unhex(c.at("info"))), std::stoi(c.at("size")), okm);
    if (c.at("result") == "valid") {
      EXPECT_EQ(rc, 0) << c.at("tcId");
      EXPECT_EQ(HexOf(okm), c.at("okm")) << c.at("tcId");
    } else {
      EXPECT_NE(rc, 0) << c.at("tcId");
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Files, Tls13Hkdf,
                         testing::Values(std::make_pair("hkdf_sha256_test.json", int{tw::kHashSha256}),
                                         std::make_pair("hkdf_sha384_test.json", int{tw::kHashSha384})));

// The signed content: 64 spaces, the signer's context text, a zero, the transcript hash; hashed by the
// scheme's digest except for EdDSA.
struct VerifyCase {
  bool server;
  uint16_t scheme;
  const char* hash;  // "" when signed as it stands, null for an unknown scheme
};

const VerifyCase kVerifyCases[] = {
    {true, 0x0807, ""},         {false, 0x0808, ""},        {true, 0x0804, "SHA-256"}, {false, 0x0403, "SHA-256"},
    {true, 0x0805, "SHA-384"},  {false, 0x080A, "SHA-384"}, {true, 0x0603, "SHA-512"}, {false, 0x080B, "SHA-512"},
    {true, 0x0201, "SHA-1"},    {true, 0x0102, nullptr},    {false, 0x0000, nullptr},
};

class Tls13VerifyContent : public testing::TestWithParam<VerifyCase> {};

TEST_P(Tls13VerifyContent, Shape) {
  const VerifyCase& c = GetParam();
  const std::string hash = testsupport::RandomBytes(48, c.scheme);
  ByteString out;
  const int rc = tw::Tls13CertificateVerifyContent(c.server, c.scheme, Bytes(hash), out);
  if (c.hash == nullptr) {
    EXPECT_EQ(rc, 202);
    EXPECT_EQ(tw::Tls13SchemeHash(c.scheme), tw::kTls13SchemeUnknown);
    return;
  }
  ASSERT_EQ(rc, 0);
  const std::string content = std::string(64, ' ') + "TLS 1.3, " + (c.server ? "server" : "client") +
                              " CertificateVerify" + std::string(1, '\0') + hash;
  ByteString expected = Bytes(content);
  if (*c.hash != '\0') {
    ASSERT_EQ(tw::DigestByName(content.data(), static_cast<int>(content.size()), c.hash, expected), 0);
  }
  EXPECT_EQ(HexOf(out), HexOf(expected));
}

INSTANTIATE_TEST_SUITE_P(Schemes, Tls13VerifyContent, testing::ValuesIn(kVerifyCases));

// NewSessionTicket bodies: every truncation of a good one and hostile lengths give decode_error.
struct TicketCase {
  const char* name;
  const char* hex;
  int consumed;  // -1: refused
};

constexpr char kGoodTicket[] = "00001c20" "01020304" "0100" "0003aabbcc" "000c" "002a00040000ffff" "00000000";

const TicketCase kTicketCases[] = {
    {"good", kGoodTicket, 29},
    {"trailing byte left to the caller", "00001c2001020304000001ee000000", 14},
    {"empty ticket", "00001c20010203040000000000", -1},
    {"nonce past the end", "00001c200102030405aa", -1},
    {"ticket length past the end", "00001c20010203040000ffee", -1},
    {"extension overruns its block", "00001c2001020304000001ee0004002a0004", -1},
    {"extension header cut", "00001c2001020304000001ee0003002a00", -1},
};

class Tls13Ticket : public testing::TestWithParam<TicketCase> {};

TEST_P(Tls13Ticket, Read) {
  const std::string body = Unhex(GetParam().hex);
  std::vector<std::pair<std::string, int>> inputs = {{body, GetParam().consumed}};
  if (GetParam().consumed == static_cast<int>(body.size())) {
    for (size_t cut = 0; cut < body.size(); ++cut) inputs.emplace_back(body.substr(0, cut), -1);
  }
  for (const auto& [bytes, want] : inputs) {
    size_t consumed = 0;
    tw::TlsRecordFault fault;
    const int rc = tw::ReadNewSessionTicket13(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(),
                                              &consumed, &fault);
    if (want < 0) {
      EXPECT_EQ(rc, tw::kErrTls13Decode) << bytes.size();
      EXPECT_EQ(fault.alert, tw::kAlertDecodeError);
    } else {
      ASSERT_EQ(rc, 0);
      EXPECT_EQ(consumed, static_cast<size_t>(want));
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Bodies, Tls13Ticket, testing::ValuesIn(kTicketCases));

}  // namespace
