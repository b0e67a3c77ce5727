#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

#include <map>
#include <string>
#include <vector>

#include "crypto/pubkey/curve25519.h"
#include "crypto/symmetric/hash_engine.h"
#include "tests/crypto/symmetric/hmac_kdf_test_support.h"
#include "tests/peers/peer_process.h"
#include "tests/tls/tls_test_support.h"
#include "foundation/span_reader.h"
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

// Reads exactly n bytes from a socket; empty on EOF, error or time-out.
std::string ReadFully(int fd, size_t n) {
  std::string out(n, '\0');
  return n == 0 || recv(fd, &out[0], n, MSG_WAITALL) == static_cast<ssize_t>(n) ? out : "";
}

// The length in bytes 2 and 3 (a handshake header's low bytes, or a record length after the type byte).
size_t Length24(const std::string& m) {
  return static_cast<size_t>(static_cast<uint8_t>(m[2]) << 8 | static_cast<uint8_t>(m[3]));
}

// A live handshake with TLS_AES_256_GCM_SHA384 against openssl s_server: its encrypted flight must open
// under our keys, it must accept our Finished, its -keylogfile must equal our key log, and the KeyUpdate
// secret must equal openssl's TLS13-KDF.
TEST(Tls13KeySchedule, OpensslServer) {
  if (!testsupport::HaveProgram("openssl")) TW_REQUIRE_OR_SKIP("openssl not installed");
  const std::string dir = testsupport::MakeTempDir(), log = dir + "/server.log";
  testsupport::RunCommand("cd " + dir + " && openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes "
                          "-subj /CN=localhost -keyout k.pem -out c.pem 2>/dev/null");
  const int port = testsupport::FreePort();
  testsupport::PeerProcess server;
  ASSERT_TRUE(server.Start({"openssl", "s_server", "-accept", std::to_string(port), "-www", "-tls1_3", "-key",
                            dir + "/k.pem", "-cert", dir + "/c.pem", "-ciphersuites", "TLS_AES_256_GCM_SHA384",
                            "-groups", "X25519", "-keylogfile", dir + "/keys.log"}, log));
  ASSERT_TRUE(server.WaitForPort(port, 10000)) << testsupport::LogTail(log);
  const ByteString secret = Bytes(testsupport::RandomBytes(32, 7));
  ByteString pub;
  ASSERT_EQ(tw::X25519PublicFromPrivate(secret, &pub), 0);
  // supported_versions, supported_groups, signature_algorithms and key_share extensions.
  const std::string random = testsupport::RandomBytes(32, 8);
  std::string hello = Unhex("0100006c0303") + random + Unhex("00000213020100" "0041" "002b0003020304" "000a00040002001d"
                                                             "000d000400020403" "003300260024001d0020") + Str(pub);
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  const timeval timeout{10, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  sockaddr_in addr{AF_INET, htons(static_cast<uint16_t>(port)), {htonl(INADDR_LOOPBACK)}, {}};
  ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  std::string record = Unhex("1603010070") + hello;
  ASSERT_EQ(send(fd, record.data(), record.size(), 0), static_cast<ssize_t>(record.size()));
  tw::Tls13KeySchedule ks;
  tw::TlsSessionState pending;
  ByteString transcript = Bytes(hello);
  std::string flight;  // decrypted handshake bytes not yet in the transcript
  for (bool finished = false; !finished;) {
    const std::string header = ReadFully(fd, 5);
    ASSERT_TRUE(header.size() == 5 && header[0] != 21) << testsupport::LogTail(log);
    std::string whole = header + ReadFully(fd, Length24(header.substr(1)));
    if (header[0] == 22) {
      transcript.Append(whole.data() + 5, static_cast<int>(whole.size() - 5));
      tw::SpanReader r(reinterpret_cast<const uint8_t*>(whole.data()) + 43, whole.size() - 43), sid, exts, ext, key;
      uint16_t type = 0, group = 0;
      ASSERT_TRUE(r.ReadPrefixed(1, &sid) && r.Skip(3) && r.ReadPrefixed(2, &exts));
      while (exts.ReadU16(&type) && exts.ReadPrefixed(2, &ext) && type != 0x33) continue;
      ASSERT_TRUE(type == 0x33 && ext.ReadU16(&group) && ext.ReadPrefixed(2, &key) && key.remaining() == 32);
      uint8_t shared[32];
      ASSERT_EQ(tw::X25519(secret.bytes(), 32, key.data(), 32, shared, 32), 0);
      ByteString dhe;
      dhe.Set(shared, 32);
      ASSERT_EQ(ks.HandshakeKeys(tw::FindCipherSuite(0x1302), dhe, transcript, pending, true), 0);
    } else if (header[0] == 23) {
      uint8_t type = 0, *content = nullptr;
      size_t length = 0;
      tw::TlsRecordFault fault;
      ASSERT_EQ(pending.read.Unprotect(reinterpret_cast<uint8_t*>(&whole[0]), whole.size(), &type, &content, &length,
                                       &fault), 0);
      flight.append(reinterpret_cast<char*>(content), length);
      while (flight.size() >= 4 && flight.size() >= 4 + Length24(flight)) {
        finished = flight[0] == 20;
        transcript.Append(flight.data(), static_cast<int>(4 + Length24(flight)));
        flight.erase(0, 4 + Length24(flight));
      }
    }
  }
  ByteString verify, ours;
  ASSERT_EQ(ks.ApplicationSecrets(transcript), 0);
  ASSERT_EQ(ks.FinishedVerifyData(true, transcript, verify), 0);
  const std::string fin = Unhex("14000030") + Str(verify);
  uint8_t out[64 + tw::kTlsMaxOverhead + 5];
  size_t n = 0;
  ASSERT_EQ(pending.write.Protect(22, 0x0303, reinterpret_cast<const uint8_t*>(fin.data()), fin.size(), out, &n), 0);
  ASSERT_EQ(send(fd, out, n, 0), static_cast<ssize_t>(n));
  ASSERT_EQ(ks.KeyLogLines(reinterpret_cast<const uint8_t*>(random.data()), ours), 0);
  auto sorted = [](std::vector<std::string> v) { std::sort(v.begin(), v.end()); return v; };
  std::vector<std::string> theirs;
  for (int i = 0; i < 100 && theirs.size() < 5; ++i, usleep(50000)) {
    theirs = testsupport::Lines(testsupport::ReadFile(dir + "/keys.log"));
    theirs.erase(std::remove_if(theirs.begin(), theirs.end(), [](auto& l) { return l.empty() || l[0] == '#'; }),
                 theirs.end());
  }
  close(fd);
  EXPECT_EQ(sorted(testsupport::Lines(Str(ours))), sorted(theirs)) << testsupport::LogTail(log);
  ByteString next = ks.server_application_secret();
  ASSERT_EQ(ks.NextApplicationSecret(next), 0);
  const std::string kdf = testsupport::RunCommand(
      "openssl kdf -binary -keylen 48 -kdfopt digest:SHA384 -kdfopt mode:EXPAND_ONLY -kdfopt 'prefix:tls13 ' -kdfopt "
      "'label:traffic upd' -kdfopt hexkey:" + HexOf(ks.server_application_secret()) + " TLS13-KDF");
  EXPECT_EQ(Hex(kdf.data(), kdf.size()), HexOf(next));
  server.Stop();
  testsupport::RunCommand("rm -rf " + dir);
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
