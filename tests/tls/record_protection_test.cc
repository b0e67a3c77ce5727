#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "crypto/symmetric/cpu_features.h"
#include "crypto/symmetric/digest_bits.h"
#include "tests/support/case_name.h"
#include "tests/tls/tls_test_support.h"
#include "tls/record_protection.h"

namespace {

using testsupport::Hex;
using testsupport::Unhex;
using namespace tlstest;

struct Case {
  uint16_t suite;
  uint16_t version;
  bool tls13;
};

// Every cipher, MAC hash and record form the engine can run.
const Case kCases[] = {
    {0x002F, 0x0300, false}, {0x002F, 0x0301, false}, {0x002F, 0x0302, false}, {0x002F, 0x0303, false},
    {0x0035, 0x0303, false}, {0x003C, 0x0303, false}, {0xC028, 0x0303, false}, {0x000A, 0x0301, false},
    {0x000A, 0x0302, false}, {0x0009, 0x0301, false}, {0x0004, 0x0300, false}, {0x0004, 0x0301, false},
    {0x0005, 0x0303, false}, {0x009C, 0x0303, false}, {0xC030, 0x0303, false}, {0x1301, 0x0304, true},
    {0x1302, 0x0304, true},  {0x1303, 0x0304, true},
};

struct Record {
  uint8_t type;
  std::string plain;
};

std::vector<Record> Records(unsigned seed) {
  return {{23, ""}, {22, "\x14"}, {21, testsupport::RandomBytes(100, seed)},
          {23, testsupport::RandomBytes(16384, seed + 1)}, {23, testsupport::RandomBytes(31, seed + 2)}};
}

std::string OracleLine(const char* mode, const Case& c, const DirectionKeys& k, const std::string& items) {
  const tw::TlsCipherSuite& s = *tw::FindCipherSuite(c.suite);
  char version[8];
  std::snprintf(version, sizeof version, "%04x", c.version);
  return std::string(mode) + " " + OracleSuite(s) + " " + version + " " + (c.tls13 ? "1 " : "0 ") +
         HexOr(k.mac_key) + " " + HexOr(k.key) + " " + HexOr(k.iv) + " " + items + "\n";
}

// Our records open with the oracle and the oracle's open with ours, in sequence (chains, streams
// and counters carry over).
void ExchangeWithOracle(const Case& c, const DirectionKeys& keys, const std::vector<Record>& records) {
  const tw::TlsCipherSuite* suite = tw::FindCipherSuite(c.suite);
  ASSERT_NE(suite, nullptr);
  tw::TlsRecordState writer;
  ASSERT_EQ(Key(writer, *suite, c.version, c.tls13, keys), 0);
  std::string sealed_items;
  std::string plain_items;
  std::vector<uint8_t> out(16384 + tw::kTlsMaxOverhead + 5);
  for (const Record& r : records) {
    size_t n = 0;
    ASSERT_EQ(writer.Protect(r.type, c.tls13 ? 0x0303 : c.version,
                             reinterpret_cast<const uint8_t*>(r.plain.data()), r.plain.size(), out.data(), &n), 0);
    if (!sealed_items.empty()) sealed_items += ",";
    sealed_items += Hex(out.data(), n);
    if (!plain_items.empty()) plain_items += ",";
    plain_items += std::to_string(r.type) + ":" + Hex(r.plain.data(), r.plain.size());
  }
  std::vector<std::string> lines;
  TW_PYTHON_OR_SKIP(ReadOracle("record_oracle.py"),
                    OracleLine("open", c, keys, sealed_items) + OracleLine("seal", c, keys, plain_items), &lines);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], plain_items);

  tw::TlsRecordState reader;
  ASSERT_EQ(Key(reader, *suite, c.version, c.tls13, keys), 0);
  size_t at = 0;
  for (const Record& r : records) {
    const size_t comma = lines[1].find(',', at);
    std::string record = Unhex(lines[1].substr(at, comma == std::string::npos ? std::string::npos : comma - at));
    at = comma + 1;
    uint8_t type = 0;
    uint8_t* content = nullptr;
    size_t length = 0;
    tw::TlsRecordFault fault;
    ASSERT_EQ(reader.Unprotect(reinterpret_cast<uint8_t*>(record.data()), record.size(), &type, &content, &length,
                               &fault), 0);
    EXPECT_EQ(type, r.type);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(content), length), r.plain);
  }
}

class RecordAgainstOracle : public ::testing::TestWithParam<Case> {};

// Both directions against the oracle; then every damaged record is refused with one alert and
// one text.
TEST_P(RecordAgainstOracle, BothDirectionsAndDamage) {
  const Case& c = GetParam();
  const tw::TlsCipherSuite* suite = tw::FindCipherSuite(c.suite);
  ASSERT_NE(suite, nullptr);
  const DirectionKeys keys = KeysFor(*suite, c.tls13, c.suite ^ c.version);
  ExchangeWithOracle(c, keys, Records(c.suite));
  std::vector<uint8_t> out(16384 + tw::kTlsMaxOverhead + 5);

  // Damage: the padding length (through the block before it, so that CBC decrypts exactly that
  // change) or the last MAC or tag byte, the first body byte, a cut to the header's length. Each
  // gets a fresh direction so the chain state is that of the first record.
  size_t n = 0;
  const std::string plain = testsupport::RandomBytes(64, 9);
  for (int damage = 0; damage < 3; ++damage) {
    tw::TlsRecordState w;
    tw::TlsRecordState r;
    ASSERT_EQ(Key(w, *suite, c.version, c.tls13, keys), 0);
    ASSERT_EQ(Key(r, *suite, c.version, c.tls13, keys), 0);
    ASSERT_EQ(w.Protect(23, c.version, reinterpret_cast<const uint8_t*>(plain.data()), plain.size(), out.data(), &n), 0);
    size_t length = n;
    if (damage == 0) out[n - 1 - (suite->aead() ? 0 : suite->iv_bytes)] ^= 0x01;
    if (damage == 1) out[5] ^= 0x80;
    if (damage == 2) {
      length = 5 + 3;
      out[3] = 0;
      out[4] = 3;
    }
    uint8_t type = 0;
    uint8_t* content = nullptr;
    size_t got = 0;
    tw::TlsRecordFault fault;
    EXPECT_EQ(r.Unprotect(out.data(), length, &type, &content, &got, &fault), tw::kErrTlsRecordMac) << damage;
    if (suite->aead() && damage == 2) {
      EXPECT_EQ(fault.alert, tw::kAlertDecodeError);
      EXPECT_STREQ(fault.text, "AEAD encrypted packet is too short.");
    } else {
      // One alert whatever failed: no padding oracle. The last byte is a CBC record's padding length.
      const bool padding = damage == 0 && !suite->aead() && suite->bulk != tw::kBulkRc4 && c.version >= 0x0301;
      EXPECT_EQ(fault.alert, tw::kAlertBadRecordMac);
      EXPECT_STREQ(fault.text, padding ? "Invalid padding found in encrypted packet" : "Invalid MAC found in encrypted packet");
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Suites, RecordAgainstOracle, ::testing::ValuesIn(kCases), [](const auto& info) {
  char name[32];
  std::snprintf(name, sizeof name, "s%04x_v%04x", info.param.suite, info.param.version);
  return std::string(name);
});

// CBC records of every length across the cipher's and the MAC digest's block edges, on each code
// path the processor offers for the cipher and the digest.
struct CbcPath {
  const char* name;
  Case c;
  uint32_t features;
  bool sha_extensions;
};
const CbcPath kCbcPaths[] = {
    {"aes128_sha256_accelerated", {0x003C, 0x0303, false}, tw::kCpuAll, true},
    {"aes128_sha256_portable", {0x003C, 0x0303, false}, 0, false},
    {"aes256_sha256_accelerated", {0x003D, 0x0303, false}, tw::kCpuAll, true},
    {"aes256_sha384_accelerated", {0xC028, 0x0303, false}, tw::kCpuAll, true},
    {"aes128_sha1_tls10_accelerated", {0x002F, 0x0301, false}, tw::kCpuAll, true},
    {"aes128_sha1_tls10_portable", {0x002F, 0x0301, false}, 0, false},
    {"des3_sha1_tls11", {0x000A, 0x0302, false}, tw::kCpuAll, true},
};

class CbcRecordLengths : public ::testing::TestWithParam<CbcPath> {
 protected:
  void SetUp() override {
    tw::SetCpuFeatureMask(GetParam().features);
    tw::digest::SetShaExtensionsAllowed(GetParam().sha_extensions);
  }
  void TearDown() override {
    tw::SetCpuFeatureMask(tw::kCpuAll);
    tw::digest::SetShaExtensionsAllowed(true);
  }
};

TEST_P(CbcRecordLengths, EveryLengthBothDirections) {
  const Case& c = GetParam().c;
  std::vector<Record> records;
  for (size_t n = 0; n <= 300; ++n) records.push_back({23, testsupport::RandomBytes(n, static_cast<unsigned>(n))});
  for (size_t n : {1000, 16320, 16383, 16384}) records.push_back({23, testsupport::RandomBytes(n, 3)});
  ExchangeWithOracle(c, KeysFor(*tw::FindCipherSuite(c.suite), false, c.suite), records);
}

INSTANTIATE_TEST_SUITE_P(Paths, CbcRecordLengths, ::testing::ValuesIn(kCbcPaths), testsupport::CaseName());

// A CBC record whose padding is wrong but whose MAC would be right over the shortened content
// is refused with a MAC failure's alert, its text naming the padding (the length is read unsigned).
TEST(RecordProtection, BadPaddingLooksLikeBadMac) {
  const tw::TlsCipherSuite* suite = tw::FindCipherSuite(0x002F);
  const DirectionKeys keys = KeysFor(*suite, false, 5);
  for (const uint8_t pad_byte : {0x00, 0x7F, 0x80, 0xFF}) {
    tw::TlsRecordState w;
    tw::TlsRecordState r;
    ASSERT_EQ(Key(w, *suite, 0x0303, false, keys), 0);
    ASSERT_EQ(Key(r, *suite, 0x0303, false, keys), 0);
    // 12 bytes + 20 MAC = 32: one block of padding (16 bytes of 15) follows.
    const std::string plain(12, 'p');
    std::vector<uint8_t> out(200);
    size_t n = 0;
    ASSERT_EQ(w.Protect(23, 0x0303, reinterpret_cast<const uint8_t*>(plain.data()), plain.size(), out.data(), &n), 0);
    // Rewrite the last block so the padding length byte decrypts to pad_byte: with CBC, flipping
    // the previous ciphertext block flips the same plaintext bits.
    out[n - 17] ^= static_cast<uint8_t>(15 ^ pad_byte);
    uint8_t type = 0;
    uint8_t* content = nullptr;
    size_t got = 0;
    tw::TlsRecordFault fault;
    EXPECT_EQ(r.Unprotect(out.data(), n, &type, &content, &got, &fault), tw::kErrTlsRecordMac);
    EXPECT_STREQ(fault.text, pad_byte == 0 ? "Invalid MAC found in encrypted packet" : "Invalid padding found in encrypted packet");
    EXPECT_EQ(fault.alert, tw::kAlertBadRecordMac);
  }
}

}  // namespace
