// NTLM over a platform TLS connection: the AUTHENTICATE made by the system's NTLM mechanism
// carries the channel binding of the server certificate, checked against a value python3
// computes from the certificate file (SHA-256 of its DER, MD5 of the binding structure).
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <string>

#include "foundation/text_conversion.h"
#include "http/http_client.h"
#include "tests/peers/peer_process.h"
#include "tests/peers/test_pki.h"
#include "tests/support/test_support.h"
#include "tests/support/case_name.h"

// The system's NTLM mechanism leaks the digest object it fetches for each password hash.
extern "C" const char* __lsan_default_suppressions() {
  return "leak:gssntlmssp.so\nleak:libcrypto.so.3\n";
}

namespace {

using testsupport::TestPki;

// A TLS server that answers a NEGOTIATE with the CHALLENGE given and echoes the AUTHENTICATE
// token back as the body of a 200.
constexpr char kPeerScript[] = R"(
import socket, ssl, sys
port, chain, key, challenge = int(sys.argv[1]), sys.argv[2], sys.argv[3], sys.argv[4]
ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
ctx.load_cert_chain(chain, key)
ls = socket.socket()
ls.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
ls.bind(("127.0.0.1", port))
ls.listen(4)
while True:
    raw, _ = ls.accept()
    try:
        conn = ctx.wrap_socket(raw, server_side=True)
        f = conn.makefile("rb")
        while True:
            token = ""
            line = f.readline()
            if not line:
                break
            while line not in (b"\r\n", b""):
                if line.lower().startswith(b"authorization: ntlm "):
                    token = line[20:].strip().decode()
                line = f.readline()
            if token.startswith("TlRMTVNTUAAD"):
                conn.sendall(("HTTP/1.1 200 OK\r\nContent-Length: %d\r\n\r\n%s" % (len(token), token)).encode())
            else:
                conn.sendall(("HTTP/1.1 401 Unauthorized\r\nWWW-Authenticate: NTLM " + challenge +
                              "\r\nContent-Length: 0\r\n\r\n").encode())
        conn.close()
    except Exception:
        raw.close()
)";

constexpr char kExpectedScript[] =
    "import hashlib, ssl, struct, sys\n"
    "der = ssl.PEM_cert_to_DER_cert(open(sys.argv[1]).read())\n"
    "app = b'tls-server-end-point:' + hashlib.sha256(der).digest()\n"
    "print(hashlib.md5(struct.pack('<5I', 0, 0, 0, 0, len(app)) + app).hexdigest())\n";

// A CHALLENGE from domain "DC", server "SV" (Unicode, NTLM, extended session security), its
// target information stamped now.
std::string ChallengeBase64() {
  std::string m(
      "NTLMSSP\0\2\0\0\0\4\0\4\0\x38\0\0\0\x15\x82\x8a\xe2\x01\x23\x45\x67\x89\xab\xcd\xef"
      "\0\0\0\0\0\0\0\0\x20\0\x20\0\x3c\0\0\0\6\0\x70\x17\0\0\0\x0f"
      "D\0C\0\2\0\4\0D\0C\0\1\0\4\0S\0V\0\7\0\x08\0",
      80);
  const uint64_t now = (static_cast<uint64_t>(time(nullptr)) + 11644473600ull) * 10000000ull;
  for (int i = 0; i < 8; ++i) m += static_cast<char>(now >> (8 * i));
  m += std::string(4, '\0');
  tw::ByteString b64;
  tw::Base64Encode(b64, m.data(), static_cast<int>(m.size()), false, 0, false);
  return b64.c_str();
}

uint32_t Le(const std::string& m, size_t at, int n) {
  uint32_t v = 0;
  for (int i = n - 1; i >= 0; --i) v = v << 8 | static_cast<uint8_t>(m[at + i]);
  return v;
}

// The value of AV pair `id` in the NTLMv2 response of an AUTHENTICATE, in hex; "" when absent.
std::string AvPairHex(const std::string& m, uint16_t id) {
  if (m.size() < 28) return "";
  const size_t length = Le(m, 20, 2), offset = Le(m, 24, 4);
  if (offset > m.size() || length > m.size() - offset || length < 44) return "";
  const std::string blob = m.substr(offset, length);
  for (size_t at = 44; at + 4 <= blob.size();) {
    const uint32_t pair = Le(blob, at, 2), n = Le(blob, at + 2, 2);
    if (pair == 0 || at + 4 + n > blob.size()) break;
    if (pair == id) return testsupport::Hex(blob.data() + at + 4, n);
    at += 4 + n;
  }
  return "";
}

class Client : public tw::HttpClient {
 public:
  Client() { SetTimeout(20, true); }
  std::string Data() const {
    return std::string(transferred_data().data(), static_cast<size_t>(transferred_data().length()));
  }
  std::string Error() const { return error_text().c_str(); }
};

class HttpsPlatformChannelBinding : public ::testing::TestWithParam<const char*> {};

TEST_P(HttpsPlatformChannelBinding, NtlmAuthenticateCarriesTheServerCertificateBinding) {
  if (!std::filesystem::exists("/usr/lib/x86_64-linux-gnu/gssntlmssp/gssntlmssp.so")) {
    TW_REQUIRE_OR_SKIP("gss-ntlmssp is not installed");
  }
  if (!testsupport::HavePython()) { TW_REQUIRE_OR_SKIP("/usr/bin/python3 is not installed"); }
  const TestPki& pki = TestPki::Get();
  if (!pki.ok()) { TW_REQUIRE_OR_SKIP(pki.error()); }
  const std::string cert = GetParam();
  int status = -1;
  const std::string expected = testsupport::RunCommand(
      std::string(testsupport::kPython) + " -c " + testsupport::ShellQuote(kExpectedScript) + " " +
          testsupport::ShellQuote(pki.Cert(cert)),
      "", &status);
  ASSERT_EQ(status, 0) << expected;
  ASSERT_EQ(expected.size(), 33u) << expected;
  const int port = testsupport::FreePort();
  const std::string dir = testsupport::MakeTempDir();
  testsupport::PeerProcess peer;
  ASSERT_TRUE(peer.Start({testsupport::kPython, "-c", kPeerScript, std::to_string(port), pki.Chain(cert),
                          pki.Key(cert), ChallengeBase64()},
                         dir + "/peer.log"));
  ASSERT_TRUE(peer.WaitForPort(port, 10000)) << testsupport::ReadFile(dir + "/peer.log");
  setenv("TW_CERT_STORES", pki.store_dir().c_str(), 1);
  Client c;
  ASSERT_EQ(c.SetUrl(("https://localhost:" + std::to_string(port) + "/").c_str(), false), 0);
  c.SetAuthScheme(tw::kAuthNtlm);
  c.SetUser("DC\\User");
  c.SetPassword("Password");
  ASSERT_EQ(c.DoTransfer(tw::kHttpActionGet), 0) << c.Error();
  tw::ByteString raw;
  raw.SetText(c.Data().c_str());
  ASSERT_EQ(tw::DecodeBase64(raw, false, true, false), 0);
  const std::string authenticate(raw.data(), static_cast<size_t>(raw.length()));
  EXPECT_EQ(AvPairHex(authenticate, 10), expected.substr(0, 32));
  peer.Stop();
  std::filesystem::remove_all(dir);
}

INSTANTIATE_TEST_SUITE_P(Pki, HttpsPlatformChannelBinding, ::testing::Values("rsa", "ecdsa"),
    testsupport::CaseName{});

}  // namespace
