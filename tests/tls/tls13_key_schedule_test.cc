#include <gtest/gtest.h>

#include <map>
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

// name -> hex of the vendored RFC 8448 trace values.
std::map<std::string, std::string> Rfc8448() {
  std::map<std::string, std::string> v;
  const std::string text = testsupport::ReadFile(testsupport::VectorsDir() + "/rfc8448/simple_1rtt.txt");
  for (const std::string& line : testsupport::Lines(text)) {
    if (!line.empty() && line[0] != '#') v[line.substr(0, line.find(' '))] = line.substr(line.find(' ') + 1);
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
      {"early_secret", seen["Tls13_EarlySecret"]}, {"handshake_secret", seen["Tls13_HandshakeSecret"]},
      {"hello_hash", seen["h2"]}, {"master_secret", HexOf(client_state.master_secret)},
      {"client_handshake_traffic_secret", HexOf(client.client_handshake_secret())},
      {"server_handshake_traffic_secret", HexOf(client.server_handshake_secret())},
      {"client_handshake_key", seen["Tls13_ClientHandshakeKey"]},
      {"client_handshake_iv", seen["Tls13_ClientHandshakeIV"]},
      {"server_handshake_key", seen["Tls13_ServerHandshakeKey"]},
      {"server_handshake_iv", seen["Tls13_ServerHandshakeIV"]},
      {"client_finished_key", seen["client_finished_key"]}, {"server_finished_key", seen["server_finished_key"]},
      {"server_finished", HexOf(server_finished)}, {"client_finished", HexOf(client_finished)},
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
  std::string want;
  for (const auto& [label, name] : {std::pair{"CLIENT_HANDSHAKE_TRAFFIC_SECRET", "client_handshake_traffic_secret"},
                                    {"SERVER_HANDSHAKE_TRAFFIC_SECRET", "server_handshake_traffic_secret"},
                                    {"CLIENT_TRAFFIC_SECRET_0", "client_application_traffic_secret"},
                                    {"SERVER_TRAFFIC_SECRET_0", "server_application_traffic_secret"},
                                    {"EXPORTER_SECRET", "exporter_master_secret"}}) {
    want += std::string(label) + " " + v["client_hello"].substr(12, 64) + " " + v[name] + "\n";
  }
  EXPECT_EQ(Str(log), want);

  // The server's records open on the client under the handshake keys, the application keys, and after a
  // KeyUpdate of the server's side.
  ASSERT_EQ(server.ApplicationSecrets(transcript), 0);
  for (int stage = 0; stage < 3; ++stage) {
    if (stage == 1) {
      ASSERT_EQ(server.InstallApplicationKeys(server_state.read, server_state.write, false), 0);
      ASSERT_EQ(client.InstallApplicationKeys(client_state.read, client_state.write, true), 0);
    } else if (stage == 2) {
      ASSERT_EQ(server.UpdateApplicationKeys(false, server_state.write), 0);
      ASSERT_EQ(client.UpdateApplicationKeys(false, client_state.read), 0);
    }
    uint8_t record[64 + tw::kTlsMaxOverhead + 5], type = 0, *content = nullptr;
    size_t n = 0, length = 0;
    tw::TlsRecordFault fault;
    ASSERT_EQ(server_state.write.Protect(22, 0x0303, reinterpret_cast<const uint8_t*>("finished"), 8, record, &n), 0);
    ASSERT_EQ(client_state.read.Unprotect(record, n, &type, &content, &length, &fault), 0) << stage;
    EXPECT_EQ(length, 8u);
  }
}

// The SHA-384 and 256-bit-key suites, and KeyUpdate, against a python model of RFC 8446 section 7.
const char kScheduleModel[] = R"(
import hashlib, hmac, sys
for line in sys.stdin:
    name, keylen, dhe, th = line.split()
    H = getattr(hashlib, name); n = H().digest_size
    ext = lambda salt, ikm: hmac.new(salt, ikm, H).digest()
    def el(secret, label, ctx, length):
        label = b'tls13 ' + label.encode()
        info = length.to_bytes(2, 'big') + bytes([len(label)]) + label + bytes([len(ctx)]) + ctx
        out, t, i = b'', b'', 1
        while len(out) < length:
            t = hmac.new(secret, t + info + bytes([i]), H).digest(); out += t; i += 1
        return out[:length]
    th, empty, zero = H(bytes.fromhex(th)).digest(), H(b'').digest(), bytes(n)
    hs = ext(el(ext(zero, zero), 'derived', empty, n), bytes.fromhex(dhe))
    ca = el(ext(el(hs, 'derived', empty, n), zero), 'c ap traffic', th, n)
    print(el(ca, 'key', b'', int(keylen)).hex(), el(ca, 'traffic upd', b'', n).hex())
)";

TEST(Tls13KeySchedule, SuitesAgainstPythonModel) {
  const uint16_t suites[] = {0x1302, 0x1303};
  const std::string dhe = testsupport::RandomBytes(56, 1), transcript = testsupport::RandomBytes(300, 2);
  std::string input;
  for (const uint16_t id : suites) {
    const auto* suite = tw::FindCipherSuite(id);
    input += std::string(suite->prf == 2 ? "sha384 " : "sha256 ") + std::to_string(suite->key_bytes) + " " +
             Hex(dhe.data(), dhe.size()) + " " + Hex(transcript.data(), transcript.size()) + "\n";
  }
  std::vector<std::string> lines;
  TW_PYTHON_OR_SKIP(kScheduleModel, input, &lines);
  ASSERT_EQ(lines.size(), 2u);
  for (size_t i = 0; i < 2; ++i) {
    tw::Tls13KeySchedule ks;
    std::map<std::string, std::string> seen;
    ks.SetDebugSink(Collect, &seen);
    tw::TlsSessionState pending;
    ASSERT_EQ(ks.HandshakeKeys(tw::FindCipherSuite(suites[i]), Bytes(dhe), Bytes(transcript), pending, true), 0);
    ASSERT_EQ(ks.ApplicationSecrets(Bytes(transcript)), 0);
    ByteString next = ks.client_application_secret();
    ASSERT_EQ(ks.NextApplicationSecret(next), 0);
    EXPECT_EQ(seen["context.Tls13_ClientTrafficKey"] + " " + HexOf(next), lines[i]) << suites[i];
  }
}

// Wycheproof HKDF: extract then expand; an output size over 255 blocks must be refused.
TEST(Tls13KeySchedule, HkdfWycheproof) {
  for (const auto& [file, hash_id] : {std::pair{"hkdf_sha256_test.json", int{tw::kHashSha256}},
                                      {"hkdf_sha384_test.json", int{tw::kHashSha384}}}) {
    const std::string json = kdftest::WycheproofFile(file);
    if (json.empty()) TW_REQUIRE_OR_SKIP("wycheproof vectors missing");
    int declared = 0;
    const auto cases = kdftest::WycheproofCases(json, &declared);
    ASSERT_EQ(static_cast<int>(cases.size()), declared);
    for (const auto& c : cases) {
      ByteString prk, okm;
      int rc = tw::HkdfExtract(hash_id, Bytes(Unhex(c.at("salt"))), Bytes(Unhex(c.at("ikm"))), prk);
      if (rc == 0) rc = tw::HkdfExpand(hash_id, prk, Bytes(Unhex(c.at("info"))), std::stoi(c.at("size")), okm);
      EXPECT_EQ(rc == 0, c.at("result") == "valid") << file << " " << c.at("tcId");
      if (rc == 0) {
        EXPECT_EQ(HexOf(okm), c.at("okm")) << file << " " << c.at("tcId");
      }
    }
  }
}

// The signed content: 64 spaces, the signer's context text, a zero, the transcript hash; hashed by the
// scheme's digest except for EdDSA; an unknown scheme is refused.
TEST(Tls13KeySchedule, CertificateVerifyContent) {
  struct Case {
    bool server;
    uint16_t scheme;
    const char* hash;  // "" when signed as it stands, null for an unknown scheme
  };
  for (const Case& c : {Case{true, 0x0807, ""}, {false, 0x0808, ""}, {true, 0x0804, "SHA-256"},
                        {false, 0x0403, "SHA-256"}, {true, 0x0805, "SHA-384"}, {false, 0x080A, "SHA-384"},
                        {true, 0x0603, "SHA-512"}, {false, 0x080B, "SHA-512"}, {true, 0x0201, "SHA-1"},
                        {true, 0x0102, nullptr}, {false, 0, nullptr}}) {
    const std::string hash = testsupport::RandomBytes(48, c.scheme);
    const std::string content = std::string(64, ' ') + "TLS 1.3, " + (c.server ? "server" : "client") +
                                " CertificateVerify" + std::string(1, '\0') + hash;
    ByteString out, expected = Bytes(content);
    const int rc = tw::Tls13CertificateVerifyContent(c.server, c.scheme, Bytes(hash), out);
    EXPECT_EQ(rc, c.hash == nullptr ? 202 : 0) << c.scheme;
    if (c.hash != nullptr && *c.hash != '\0') {
      ASSERT_EQ(tw::DigestByName(content.data(), static_cast<int>(content.size()), c.hash, expected), 0);
    }
    EXPECT_EQ(HexOf(out), rc == 0 ? HexOf(expected) : "") << c.scheme;
  }
}

// NewSessionTicket bodies: hostile lengths and every truncation of a good one give decode_error; bytes after
// the ticket are left to the caller.
TEST(Tls13KeySchedule, NewSessionTicketBodies) {
  const std::string good = "00001c20" "01020304" "0100" "0003aabbcc" "000c" "002a00040000ffff" "00000000";
  std::vector<std::pair<std::string, int>> cases = {
      {Unhex(good), 29},
      {Unhex("00001c2001020304000001ee000000"), 14},        // one byte past the extensions
      {Unhex("00001c20010203040000000000"), -1},            // empty ticket
      {Unhex("00001c200102030405aa"), -1},                  // nonce past the end
      {Unhex("00001c20010203040000ffee"), -1},              // ticket past the end
      {Unhex("00001c2001020304000001ee0004002a0004"), -1},  // extension overruns its block
      {Unhex("00001c2001020304000001ee0003002a00"), -1},    // extension header cut
  };
  for (size_t cut = 0; cut < good.size() / 2; ++cut) cases.emplace_back(Unhex(good.substr(0, 2 * cut)), -1);
  for (const auto& [body, want] : cases) {
    size_t consumed = 0;
    tw::TlsRecordFault fault;
    const auto* p = reinterpret_cast<const uint8_t*>(body.data());
    const int rc = tw::ReadNewSessionTicket13(p, body.size(), &consumed, &fault);
    EXPECT_EQ(rc, want < 0 ? tw::kErrTls13Decode : 0) << Hex(body.data(), body.size());
    EXPECT_EQ(want < 0 ? fault.alert : static_cast<int>(consumed), want < 0 ? tw::kAlertDecodeError : want);
  }
}

}  // namespace
