#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "tests/tls/tls_test_support.h"
#include "tls/tls12_key_derivation.h"

namespace {

using testsupport::Hex;
using testsupport::Unhex;
using namespace tlstest;

// SSL 3.0 key blocks and Finished, as the SSL 3.0 paper gives them.
const char kSsl3Model[] = R"(
import hashlib, sys
def block(secret, seed, n):
    out, i = b'', 0
    while len(out) < n:
        i += 1
        x = bytes([64 + i]) * i
        out += hashlib.md5(secret + hashlib.sha1(x + secret + seed).digest()).digest()
    return out[:n]
def finished(transcript, sender, master):
    r = b''
    for h, pad in ((hashlib.md5, 48), (hashlib.sha1, 40)):
        inner = h(transcript + sender + master + b'\x36' * pad).digest()
        r += h(master + b'\x5c' * pad + inner).digest()
    return r
for line in sys.stdin:
    pms, cr, sr, transcript, n = line.split()
    pms, cr, sr, transcript = map(bytes.fromhex, (pms, cr, sr, transcript))
    master = block(pms, cr + sr, 48)
    print(master.hex(), block(master, sr + cr, int(n)).hex(), finished(transcript, b'CLNT', master).hex(),
          finished(transcript, b'SRVR', master).hex())
)";

const char kTranscriptHash[] = R"(
import hashlib, sys
for line in sys.stdin:
    kind, data = line.split()
    data = bytes.fromhex(data) if data != '-' else b''
    if kind == '0': print((hashlib.md5(data).digest() + hashlib.sha1(data).digest()).hex())
    else: print(hashlib.new('sha256' if kind == '1' else 'sha384', data).hexdigest())
)";

bool OpensslPrfReady() {
  int status = -1;
  testsupport::RunCommand("openssl kdf -keylen 4 -kdfopt digest:SHA256 -kdfopt hexsecret:01 -kdfopt hexseed:02 "
                          "TLS1-PRF >/dev/null 2>&1",
                          "", &status);
  return status == 0;
}

std::string OpensslPrf(int prf_hash, const std::string& secret, const std::string& label, const std::string& seed,
                       int length) {
  const char* digest = prf_hash == 1 ? "SHA256" : prf_hash == 2 ? "SHA384" : "MD5-SHA1";
  int status = -1;
  const std::string out = testsupport::RunCommand(
      "openssl kdf -binary -keylen " + std::to_string(length) + " -kdfopt digest:" + digest + " -kdfopt hexsecret:" +
          Hex(secret.data(), secret.size()) + " -kdfopt hexseed:" + Hex(label.data(), label.size()) +
          Hex(seed.data(), seed.size()) + " TLS1-PRF",
      "", &status);
  EXPECT_EQ(status, 0);
  return out;
}

struct Case {
  uint16_t suite;
  uint16_t version;
  int block_length;  // key block asked for
};

const Case kCases[] = {
    {0x002F, 0x0300, 256}, {0x0004, 0x0300, 256}, {0x002F, 0x0301, 256}, {0x000A, 0x0302, 256},
    {0x0005, 0x0301, 256}, {0x003C, 0x0303, 256}, {0xC028, 0x0303, 256}, {0x009C, 0x0303, 40},
    {0xC030, 0x0303, 72},
};

class KeyDerivation : public ::testing::TestWithParam<Case> {};

// Master secret, key block and both Finished values against the oracles, then the installed keys
// as the key block lays them out: a record sealed by the client opens with the oracle.
TEST_P(KeyDerivation, AgainstOracles) {
  const Case& c = GetParam();
  if (c.version > 0x0300 && !OpensslPrfReady()) {
    TW_REQUIRE_OR_SKIP("openssl with the TLS1-PRF not installed");
  }
  const tw::TlsCipherSuite* suite = tw::FindCipherSuite(c.suite);
  ASSERT_NE(suite, nullptr);
  const std::string pms = testsupport::RandomBytes(48, c.suite);
  const std::string cr = testsupport::RandomBytes(32, c.suite + 1);
  const std::string sr = testsupport::RandomBytes(32, c.suite + 2);
  const std::string transcript = testsupport::RandomBytes(700, c.version);
  tw::TlsSessionState client;
  client.version = c.version;
  client.SetSuite(suite);
  std::memcpy(client.client_random, cr.data(), 32);
  std::memcpy(client.server_random, sr.data(), 32);
  ASSERT_EQ(tw::DeriveMasterSecret(client, Bytes(pms)), 0);
  tw::ByteString block;
  ASSERT_EQ(tw::InstallKeyBlock(client, &block), 0);
  EXPECT_EQ(block.length(), c.block_length);
  tw::ByteString client_finished;
  tw::ByteString server_finished;
  ASSERT_EQ(tw::FinishedVerifyData(client, Bytes(transcript), true, client_finished), 0);
  ASSERT_EQ(tw::FinishedVerifyData(client, Bytes(transcript), false, server_finished), 0);

  std::string master, key_block, want_client, want_server;
  if (c.version == 0x0300) {
    std::vector<std::string> lines;
    TW_PYTHON_OR_SKIP(kSsl3Model,
                      Hex(pms.data(), 48) + " " + Hex(cr.data(), 32) + " " + Hex(sr.data(), 32) + " " +
                          Hex(transcript.data(), transcript.size()) + " " + std::to_string(c.block_length) + "\n",
                      &lines);
    ASSERT_EQ(lines.size(), 1u);
    char m[200], b[1200], fc[200], fs[200];
    ASSERT_EQ(std::sscanf(lines[0].c_str(), "%199s %1199s %199s %199s", m, b, fc, fs), 4);
    master = Unhex(m);
    key_block = Unhex(b);
    want_client = Unhex(fc);
    want_server = Unhex(fs);
  } else {
    master = OpensslPrf(client.prf_hash, pms, "master secret", cr + sr, 48);
    key_block = OpensslPrf(client.prf_hash, master, "key expansion", sr + cr, c.block_length);
    std::vector<std::string> lines;
    TW_PYTHON_OR_SKIP(kTranscriptHash,
                      std::to_string(client.prf_hash) + " " + Hex(transcript.data(), transcript.size()) + "\n",
                      &lines);
    ASSERT_EQ(lines.size(), 1u);
    want_client = OpensslPrf(client.prf_hash, master, "client finished", Unhex(lines[0]), 12);
    want_server = OpensslPrf(client.prf_hash, master, "server finished", Unhex(lines[0]), 12);
  }
  EXPECT_EQ(Hex(client.master_secret.data(), 48), Hex(master.data(), master.size()));
  EXPECT_EQ(Hex(block.data(), block.length()), Hex(key_block.data(), key_block.size()));
  EXPECT_EQ(Str(client_finished), want_client);
  EXPECT_EQ(Str(server_finished), want_server);
  EXPECT_EQ(client_finished.length(), c.version == 0x0300 ? 36 : 12);

  // client MAC, server MAC, client key, server key, client IV, server IV.
  const size_t mac = static_cast<size_t>(suite->mac_bytes());
  const size_t key = suite->key_bytes;
  const size_t iv = suite->aead() ? 4 : suite->iv_bytes;
  DirectionKeys k{key_block.substr(0, mac), key_block.substr(2 * mac, key), key_block.substr(2 * mac + 2 * key, iv)};
  const std::string plain = "GET / HTTP/1.1\r\n\r\n";
  std::vector<uint8_t> out(200);
  size_t n = 0;
  client.write.set_active(true);
  ASSERT_EQ(client.write.Protect(23, c.version, reinterpret_cast<const uint8_t*>(plain.data()), plain.size(),
                                 out.data(), &n),
            0);
  char version[8];
  std::snprintf(version, sizeof version, "%04x", c.version);
  std::vector<std::string> opened;
  TW_PYTHON_OR_SKIP(ReadOracle("record_oracle.py"),
                    "open " + OracleSuite(*suite) + " " + version + " 0 " + HexOr(k.mac_key) + " " + HexOr(k.key) +
                        " " + HexOr(k.iv) + " " + Hex(out.data(), n) + "\n",
                    &opened);
  ASSERT_EQ(opened.size(), 1u);
  EXPECT_EQ(opened[0], "23:" + Hex(plain.data(), plain.size()));
}

INSTANTIATE_TEST_SUITE_P(Suites, KeyDerivation, ::testing::ValuesIn(kCases), [](const auto& info) {
  char name[32];
  std::snprintf(name, sizeof name, "s%04x_v%04x", info.param.suite, info.param.version);
  return std::string(name);
});

// The transcript hash of an unknown PRF hash is refused; the hello random leads with the time.
TEST(KeyDerivation, TranscriptHashAndHelloRandom) {
  tw::ByteString out;
  EXPECT_EQ(tw::TranscriptHash(3, Bytes("x"), out), tw::kErrTlsPrfHash);
  EXPECT_EQ(tw::TranscriptHash(-1, Bytes("x"), out), tw::kErrTlsPrfHash);
  uint8_t random[32];
  const uint32_t before = static_cast<uint32_t>(time(nullptr));
  ASSERT_EQ(tw::FillHelloRandom(random, 32), 0);
  const uint32_t stamp = static_cast<uint32_t>(random[0]) << 24 | random[1] << 16 | random[2] << 8 | random[3];
  EXPECT_GE(stamp, before);
  EXPECT_LE(stamp, before + 2);
}

}  // namespace
