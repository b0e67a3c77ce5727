// The KDC transports against scripted KDCs on loopback: framing, time-outs, bounded lengths,
// whole datagrams and one resend per pre-authentication demand.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "auth/kerberos_client.h"
#include "auth/kerberos_der.h"
#include "certs/der_reader.h"
#include "certs/der_writer.h"
#include "tests/auth/der_fields.h"
#include "foundation/text_conversion.h"
#include "tests/support/test_support.h"

namespace {

using namespace dertest;

// Answers each request with what `answer` returns for it ("" sends nothing); UDP or TCP.
class ScriptedKdc {
 public:
  using Answer = std::function<std::string(int index, const std::string& request)>;
  ScriptedKdc(bool tcp, Answer answer) : tcp_(tcp), answer_(std::move(answer)) {
    fd_ = socket(AF_INET, tcp ? SOCK_STREAM : SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t n = sizeof a;
    getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &n);
    port_ = ntohs(a.sin_port);
    if (tcp) listen(fd_, 4);
    thread_ = std::thread([this] { Run(); });
  }
  ~ScriptedKdc() {
    stop_ = true;
    shutdown(fd_, SHUT_RDWR);
    close(fd_);
    thread_.join();
  }
  int port() const { return port_; }
  int requests() const { return requests_; }
  std::string first_bytes() const { return first_bytes_; }
  int from_port() const { return from_port_; }

 private:
  void Run() {
    char buf[65536];
    while (!stop_) {
      if (!tcp_) {
        sockaddr_in from{};
        socklen_t n = sizeof from;
        const ssize_t k = recvfrom(fd_, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &n);
        if (k <= 0) return;
        from_port_ = ntohs(from.sin_port);
        const std::string reply = answer_(requests_++, std::string(buf, static_cast<size_t>(k)));
        if (!reply.empty()) sendto(fd_, reply.data(), reply.size(), 0, reinterpret_cast<sockaddr*>(&from), n);
        continue;
      }
      sockaddr_in from{};
      socklen_t n = sizeof from;
      const int c = accept(fd_, reinterpret_cast<sockaddr*>(&from), &n);
      if (c < 0) return;
      from_port_ = ntohs(from.sin_port);
      const ssize_t k = recv(c, buf, sizeof buf, 0);
      if (k > 0) {
        first_bytes_.assign(buf, static_cast<size_t>(k));
        const std::string reply = answer_(requests_++, first_bytes_);
        send(c, reply.data(), reply.size(), MSG_NOSIGNAL);
      }
      close(c);
    }
  }

  bool tcp_;
  Answer answer_;
  int fd_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> requests_{0};
  std::atomic<int> from_port_{0};
  std::string first_bytes_;
  std::thread thread_;
};

std::string PreauthRequired() {
  tw::DerWriter e;
  e.DerOpenConstructed(0x30);
  e.DerOpenConstructed(0x30);
  e.DerOpenConstructed(0xA1);
  e.DerAppendInteger(0x02, 19);
  e.DerCloseConstructed(false);
  tw::DerWriter info;
  info.DerOpenConstructed(0x30);
  info.DerOpenConstructed(0x30);
  info.DerOpenConstructed(0xA0);
  info.DerAppendInteger(0x02, 18);
  info.DerCloseConstructed(false);
  info.DerCloseConstructed(false);
  info.DerCloseConstructed(false);
  e.DerOpenConstructed(0xA2);
  e.DerAppendTlv(0x04, info.output().data(), info.output().length());
  for (int i = 0; i < 3; ++i) e.DerCloseConstructed(false);
  tw::DerWriter w;
  w.DerOpenConstructed(0x7E);
  w.DerOpenConstructed(0x30);
  const int fields[][2] = {{0, 5}, {1, 30}, {6, 25}};
  for (const auto& f : fields) {
    w.DerOpenConstructed(0xA0 + f[0]);
    w.DerAppendInteger(0x02, f[1]);
    w.DerCloseConstructed(false);
  }
  w.DerOpenConstructed(0xAC);
  w.DerAppendTlv(0x04, e.output().data(), e.output().length());
  w.DerCloseConstructed(false);
  w.DerCloseConstructed(false);
  w.DerCloseConstructed(false);
  return Str(w);
}

void Configure(tw::KerberosClient& c, int port, bool tcp) {
  ASSERT_EQ(c.Config("UseTCP", tcp ? "1" : "0"), 0);
  ASSERT_EQ(c.Config("EncryptionTypes", "aes256-cts-hmac-sha1-96"), 0);
  c.SetKdc("127.0.0.1", port);
  c.SetUserPrincipal("alice@TW.TEST");
  c.SetPassword("pw");
  c.SetServicePrincipal("HTTP/localhost");
  c.set_timeout_ms(400);
}

struct ScriptCase {
  const char* name;
  bool tcp;
  std::function<std::string(int, const std::string&)> answer;
  int code;
  int requests;
};
class KdcScripts : public ::testing::TestWithParam<ScriptCase> {};
TEST_P(KdcScripts, EndAsExpected) {
  const ScriptCase& s = GetParam();
  ScriptedKdc kdc(s.tcp, s.answer);
  tw::KerberosClient c;
  Configure(c, kdc.port(), s.tcp);
  EXPECT_EQ(c.AuthenticateWithRetry(), s.code) << c.error_text();
  EXPECT_EQ(kdc.requests(), s.requests);
  EXPECT_STRNE(c.error_text(), "");
}
std::string Frame(const std::string& m) {
  const uint32_t n = static_cast<uint32_t>(m.size());
  return std::string{static_cast<char>(n >> 24), static_cast<char>(n >> 16), static_cast<char>(n >> 8),
                     static_cast<char>(n)} +
         m;
}
INSTANTIATE_TEST_SUITE_P(
    Cases, KdcScripts,
    ::testing::Values(
        // Silence ends at the time-out.
        ScriptCase{"lost", false, [](int, const std::string&) { return std::string(); }, tw::kErrKdcTimeout, 1},
        // A second demand for pre-authentication is final: one resend only.
        ScriptCase{"preauth", false, [](int, const std::string&) { return PreauthRequired(); },
                   tw::kErrKerberosKrbError, 2},
        // Half a message in one datagram is a malformed reply, never joined with the next one.
        ScriptCase{"half", false, [](int, const std::string&) { return PreauthRequired().substr(0, 20); },
                   tw::kErrDerIncomplete, 1},
        // A length prefix beyond reason is refused before anything is read.
        ScriptCase{"huge", true, [](int, const std::string&) { return std::string("\x7f\xff\xff\xff", 4); },
                   tw::kErrInvalidValue, 1},
        ScriptCase{"zero", true, [](int, const std::string&) { return std::string(4, '\0'); }, tw::kErrInvalidValue, 1},
        // A TCP KDC that closes after each reply gets the second request on a new connection.
        ScriptCase{"tcp-preauth", true, [](int, const std::string&) { return Frame(PreauthRequired()); },
                   tw::kErrKerberosKrbError, 2}),
    [](const ::testing::TestParamInfo<ScriptCase>& i) {
      std::string n = i.param.name;
      for (char& ch : n) {
        if (ch == '-') ch = '_';
      }
      return n;
    });

TEST(KdcTcpFraming, RequestCarriesItsLengthInFront) {
  ScriptedKdc kdc(true, [](int, const std::string&) { return std::string(); });
  tw::KerberosClient c;
  Configure(c, kdc.port(), true);
  c.AuthenticateWithRetry();
  const tw::ByteString& sent = c.last_request();
  ASSERT_GE(kdc.first_bytes().size(), 4u);
  const std::string f = kdc.first_bytes();
  const uint32_t n = (uint32_t{static_cast<uint8_t>(f[0])} << 24) | (uint32_t{static_cast<uint8_t>(f[1])} << 16) |
                     (uint32_t{static_cast<uint8_t>(f[2])} << 8) | static_cast<uint8_t>(f[3]);
  EXPECT_EQ(n, static_cast<uint32_t>(sent.length()));
  EXPECT_EQ(static_cast<uint8_t>(f[4]), 0x6A);
}

TEST(KerberosClientSettings, RefuseWhatCannotWork) {
  tw::KerberosClient c;
  EXPECT_EQ(c.Config("EncryptionTypes", "aes256-cts-hmac-sha1-96, nope"), tw::kErrKerberosEtype);
  EXPECT_STREQ(c.error_text(), "Invalid encryption type: nope");
  tw::ByteString v;
  ASSERT_EQ(c.Config("EncryptionTypes", "*"), 0);
  c.Config("EncryptionTypes", nullptr, &v);
  EXPECT_STREQ(v.c_str(), "des-cbc-md5,rc4-hmac,aes128-cts-hmac-sha1-96");
  EXPECT_EQ(c.AuthenticateWithRetry(), tw::kErrInvalidValue);
  EXPECT_STREQ(c.error_text(), "Invalid KDC host");
  c.SetKdc("127.0.0.1", 88);
  EXPECT_EQ(c.AuthenticateWithRetry(), tw::kErrKerberosUser);
  c.SetUserPrincipal("TW.TEST/alice");
  EXPECT_STREQ(c.user().c_str(), "alice");
  EXPECT_STREQ(c.realm().c_str(), "TW.TEST");
}

// Without rc4-hmac configured, a KDC that names no usable type ends the attempt.
TEST(KerberosClientSettings, NoSilentRc4Fallback) {
  ScriptedKdc kdc(false, [](int, const std::string&) { return PreauthRequired(); });
  tw::KerberosClient c;
  Configure(c, kdc.port(), false);
  ASSERT_EQ(c.Config("EncryptionTypes", "aes128-cts-hmac-sha1-96"), 0);
  EXPECT_EQ(c.AuthenticateWithRetry(), tw::kErrKerberosEtype);
  EXPECT_EQ(kdc.requests(), 1);
}

// The KDC socket leaves from the chosen local address and port, or fails to open, saying why.
TEST(KdcLocalAddress, SocketIsBoundAsChosen) {
  for (const bool tcp : {false, true}) {
    for (const char* host : {"127.0.0.1", "192.0.2.1"}) {
      SCOPED_TRACE(std::string(host) + (tcp ? " tcp" : " udp"));
      ScriptedKdc kdc(tcp, [](int, const std::string&) { return std::string(); });
      tw::KerberosClient c;
      Configure(c, kdc.port(), tcp);
      const std::string port = std::to_string(testsupport::FreePort());
      ASSERT_EQ(c.Config("LocalHost", host), 0);
      ASSERT_EQ(c.Config("LocalPort", port.c_str()), 0);
      const int rc = c.AuthenticateWithRetry();
      if (host[0] == '1' && host[1] == '2') {
        EXPECT_EQ(kdc.requests(), 1);
        EXPECT_EQ(std::to_string(kdc.from_port()), port);
      } else {
        EXPECT_EQ(rc, 10049);  // not an address of this host
        EXPECT_EQ(std::string(c.error_text()),
                  "Binding the KDC socket to the local address 192.0.2.1:" + port + " failed (error 10049).");
        EXPECT_EQ(kdc.requests(), 0);
      }
    }
  }
  tw::KerberosClient c;
  EXPECT_EQ(c.Config("LocalPort", "70000"), tw::kErrInvalidValue);
  EXPECT_STREQ(c.error_text(), "Invalid local port.");
}

}  // namespace

namespace {

// Retries run the whole attempt again; the AS-REQ drops the options only a TGS-REQ may carry.
TEST(KerberosClientSettings, RetriesAndAsReqOptions) {
  ScriptedKdc kdc(false, [](int, const std::string&) { return std::string(); });
  tw::KerberosClient c;
  Configure(c, kdc.port(), false);
  c.set_timeout_ms(100);
  ASSERT_EQ(c.Config("MaxAuthRetryCount", "2"), 0);
  ASSERT_EQ(c.Config("KDCOptions", "0x60000012"), 0);
  EXPECT_EQ(c.AuthenticateWithRetry(), tw::kErrKdcTimeout);
  EXPECT_EQ(kdc.requests(), 3);
  const tw::ByteString& r = c.last_request();
  const std::string req(r.data(), static_cast<size_t>(r.length()));
  // forwardable and renewable-ok kept; forwarded (0x20000000) and renew (0x2) cleared.
  EXPECT_NE(req.find(std::string("\xA0\x07\x03\x05\x00\x40\x00\x00\x10", 9)), std::string::npos);
}

}  // namespace

namespace {

// An AS-REP made here: the client must check the nonce and the client name, and take the
// encryption type from the reply itself.
struct RepCase {
  const char* name;
  int etype;
  const char* cname;
  uint32_t nonce_delta;
  bool corrupt;
  int code;
  int requests;
};

std::string AsRep(const std::string& request, const RepCase& k) {
  tw::KerberosFields m, body;
  int64_t nonce = 0;
  tw::DerCursor req(request.data(), request.size());
  if (tw::KerberosFieldsOf(req, 0x6A, &m) != 0 || tw::KerberosFieldsOf(m.f[4], 0, &body) != 0 ||
      tw::KerberosReadInt(body.f[7], &nonce) != 0) {
    return std::string();
  }
  W part;
  part.DerOpenConstructed(0x79);
  part.DerOpenConstructed(0x30);
  part.DerOpenConstructed(0xA0);
  part.DerOpenConstructed(0x30);
  Int(part, 0, 18);
  part.DerOpenConstructed(0xA1);
  part.DerAppendTlv(0x04, std::string(32, 's').data(), 32);
  Close(part, 3);
  Int64(part, 2, static_cast<uint32_t>(nonce) + k.nonce_delta);
  Close(part, 2);
  tw::ByteString key, cipher, err, pw("pw"), salt("TW.TESTalice"), none;
  tw::KerberosStringToKey(k.etype, pw, salt, none, &key, &err);
  tw::KerberosEncrypt(k.etype, part.output(), key, 3, &cipher, &err);
  if (k.corrupt) cipher.bytes()[5] ^= 1;
  W w;
  w.DerOpenConstructed(0x6B);
  w.DerOpenConstructed(0x30);
  Int(w, 0, 5);
  Int(w, 1, 11);
  w.DerOpenConstructed(0xA3);
  w.DerAppendTlv(0x1B, "TW.TEST", 7);
  w.DerCloseConstructed(false);
  w.DerOpenConstructed(0xA4);
  w.DerOpenConstructed(0x30);
  Int(w, 0, 1);
  w.DerOpenConstructed(0xA1);
  w.DerOpenConstructed(0x30);
  w.DerAppendTlv(0x1B, k.cname, -1);
  Close(w, 4);
  w.DerOpenConstructed(0xA5);
  w.DerAppendTlv(0x61, "\x30\x00", 2);
  w.DerCloseConstructed(false);
  w.DerOpenConstructed(0xA6);
  w.DerOpenConstructed(0x30);
  Int(w, 0, k.etype);
  w.DerOpenConstructed(0xA2);
  w.DerAppendTlv(0x04, cipher.data(), cipher.length());
  Close(w, 5);
  return Str(w);
}

class AsRepChecks : public ::testing::TestWithParam<RepCase> {};
TEST_P(AsRepChecks, AcceptOnlyTheAnswerToThisRequest) {
  const RepCase k = GetParam();
  ScriptedKdc kdc(false, [k](int i, const std::string& r) { return i == 0 ? AsRep(r, k) : std::string(); });
  tw::KerberosClient c;
  Configure(c, kdc.port(), false);
  ASSERT_EQ(c.Config("EncryptionTypes", "aes256-cts-hmac-sha1-96,aes128-cts-hmac-sha1-96"), 0);
  c.set_timeout_ms(300);
  // Accepted: the TGS-REQ follows, and its silent KDC ends the attempt at the time-out.
  EXPECT_EQ(c.AuthenticateWithRetry(), k.code) << c.error_text();
  EXPECT_EQ(kdc.requests(), k.requests);
}
INSTANTIATE_TEST_SUITE_P(Replies, AsRepChecks,
                         ::testing::Values(RepCase{"good", 18, "alice", 0, false, tw::kErrKdcTimeout, 2},
                                           RepCase{"other_etype", 17, "alice", 0, false, tw::kErrKdcTimeout, 2},
                                           RepCase{"unasked_rc4", 23, "alice", 0, false, tw::kErrKerberosEtype, 1},
                                           RepCase{"nonce", 18, "alice", 1, false, tw::kErrKerberosIntegrity, 1},
                                           RepCase{"cname", 18, "mallory", 0, false, tw::kErrKerberosIntegrity, 1},
                                           RepCase{"tampered", 18, "alice", 0, true, tw::kErrKerberosIntegrity, 1}),
                         [](const ::testing::TestParamInfo<RepCase>& i) { return std::string(i.param.name); });

}  // namespace
