// The own NTLM engine: the published NTLM example values, hostile CHALLENGE messages and the
// replay of the fuzz corpus.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "auth/ntlm_context.h"
#include "platform/heap.h"
#include "tests/fuzz/ntlm_fuzz_target.h"

namespace {

using Bytes = std::vector<uint8_t>;

std::string Hex(const uint8_t* p, size_t n) {
  static const char* kHex = "0123456789abcdef";
  std::string s;
  for (size_t i = 0; i < n; ++i) {
    s += kHex[p[i] >> 4];
    s += kHex[p[i] & 15];
  }
  return s;
}

void Le(Bytes& b, uint64_t v, int n) {
  for (int i = 0; i < n; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

Bytes Utf16(const std::string& s) {
  Bytes b;
  for (char c : s) Le(b, static_cast<uint8_t>(c), 2);
  return b;
}

// A CHALLENGE with the example server challenge 0123456789abcdef.
Bytes Challenge(uint32_t flags, const Bytes& name, const Bytes& info) {
  Bytes m = {'N', 'T', 'L', 'M', 'S', 'S', 'P', 0};
  Le(m, 2, 4);
  Le(m, static_cast<uint32_t>(name.size()), 2);
  Le(m, static_cast<uint32_t>(name.size()), 2);
  Le(m, 56, 4);
  Le(m, flags, 4);
  for (uint8_t b : {0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef}) m.push_back(b);
  Le(m, 0, 8);
  Le(m, static_cast<uint32_t>(info.size()), 2);
  Le(m, static_cast<uint32_t>(info.size()), 2);
  Le(m, static_cast<uint32_t>(56 + name.size()), 4);
  for (uint8_t b : {6, 0, 0x70, 0x17, 0, 0, 0, 15}) m.push_back(b);
  m.insert(m.end(), name.begin(), name.end());
  m.insert(m.end(), info.begin(), info.end());
  return m;
}

// The example target information: NetBIOS domain "Domain", server "Server", end.
Bytes ExampleTargetInfo() {
  Bytes info;
  for (auto [id, text] : {std::pair{2, "Domain"}, std::pair{1, "Server"}}) {
    const Bytes v = Utf16(text);
    Le(info, static_cast<uint32_t>(id), 2);
    Le(info, static_cast<uint32_t>(v.size()), 2);
    info.insert(info.end(), v.begin(), v.end());
  }
  Le(info, 0, 4);
  return info;
}

// The hex of an AUTHENTICATE field (security buffer at field_offset).
std::string Field(const tw::ByteString& m, int field_offset) {
  const uint8_t* p = m.bytes();
  const uint32_t len = p[field_offset] | p[field_offset + 1] << 8;
  uint32_t off = 0;
  std::memcpy(&off, p + field_offset + 4, 4);
  if (off + len > static_cast<uint32_t>(m.length())) return "out of range";
  return Hex(p + off, len);
}

constexpr uint8_t kClientChallenge[8] = {0xaa, 0xaa, 0xaa, 0xaa, 0xaa, 0xaa, 0xaa, 0xaa};
constexpr uint32_t kUnicodeNtlm = 0x201;
constexpr uint32_t kEss = 0x80000;
constexpr uint32_t kTargetInfo = 0x800004;

struct Answer {
  const char* name;
  bool negotiate_first;
  bool v2;
  uint32_t server_flags;
  bool with_target_info;
  const char* lm;
  const char* nt;  // a prefix: the NTLMv2 proof before its blob
};

class NtlmAnswers : public ::testing::TestWithParam<Answer> {};

TEST_P(NtlmAnswers, MatchThePublishedExample) {
  const Answer& a = GetParam();
  tw::NtlmContext ntlm;
  ASSERT_EQ(ntlm.SetCredentials("NTLM", "Domain\\User", "Password"), 0);
  ntlm.SetFixedClientChallenge(kClientChallenge);
  ntlm.SetFixedTimestamp(0);
  ntlm.set_ntlmv2(a.v2);
  tw::ByteString token;
  if (a.negotiate_first) {
    ASSERT_EQ(ntlm.GetToken(&token, "NTLM", "server", nullptr, 0), 0);
  }
  const Bytes c = Challenge(a.server_flags, Utf16("Server"), a.with_target_info ? ExampleTargetInfo() : Bytes{});
  ASSERT_EQ(ntlm.GetToken(&token, "NTLM", "server", c.data(), static_cast<int>(c.size())), 0)
      << ntlm.error_text();
  EXPECT_EQ(Field(token, 12), a.lm);
  EXPECT_EQ(Field(token, 20).substr(0, std::strlen(a.nt)), a.nt);
  EXPECT_EQ(Field(token, 28), Hex(Utf16("Domain").data(), 12));
  EXPECT_EQ(Field(token, 36), Hex(Utf16("User").data(), 8));
  EXPECT_EQ(Field(token, 44), "");  // no workstation: the field stays zero
  if (a.v2 && a.with_target_info) {
    // The blob: header, time 0, client challenge, zeros, the AV pairs as read, end and zeros.
    const Bytes info = ExampleTargetInfo();
    EXPECT_EQ(Field(token, 20).substr(32), "0101000000000000" "0000000000000000" "aaaaaaaaaaaaaaaa" "00000000" +
                                               Hex(info.data(), info.size()) + "00000000");
  }
}

INSTANTIATE_TEST_SUITE_P(
    All, NtlmAnswers,
    ::testing::Values(
        Answer{"v1", false, false, kUnicodeNtlm, false,
               "98def7b87f88aa5dafe2df779688a172def11c7d5ccdef13",
               "67c43011f30298a2ad35ece64f16331c44bdbed927841f94"},
        Answer{"v1_ess", true, false, kUnicodeNtlm | kEss, false,
               "aaaaaaaaaaaaaaaa00000000000000000000000000000000",
               "7537f803ae367128ca458204bde7caf81e97ed2683267232"},
        Answer{"v2_lm", false, true, kUnicodeNtlm, false,
               "86c35097ac9cec102554764a57cccc19aaaaaaaaaaaaaaaa", ""},
        Answer{"v2", false, true, kUnicodeNtlm | kTargetInfo, true, "",
               "68cd0ab851e51c96aabc927bebef6a1c"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(NtlmNegotiate, CarriesTheFlagsAndTheSuppliedDomain) {
  tw::NtlmContext ntlm;
  ntlm.SetCredentials("NTLM", "CORP\\alice\\x", "pw");
  EXPECT_STREQ(ntlm.domain().c_str(), "CORP");
  EXPECT_STREQ(ntlm.user().c_str(), "alice\\x");
  tw::ByteString token;
  ASSERT_EQ(ntlm.GetToken(&token, "NTLM", "h", nullptr, 0), 0);
  EXPECT_EQ(Hex(token.bytes(), 12), "4e544c4d5353500001000000");
  EXPECT_EQ(Hex(token.bytes() + 12, 4), "079208a2");  // 0xA2088207 plus OEM_DOMAIN_SUPPLIED
  EXPECT_EQ(Field(token, 16), "434f5250");
  EXPECT_EQ(ntlm.flags(), tw::kNtlmInitialFlags);
  // A Unicode-only server clears OEM in the answer's flags.
  const Bytes c = Challenge(kUnicodeNtlm | kEss, {}, {});
  ASSERT_EQ(ntlm.GetToken(&token, "NTLM", "h", c.data(), static_cast<int>(c.size())), 0);
  EXPECT_EQ(ntlm.flags() & tw::kNtlmNegotiateOem, 0u);
  EXPECT_NE(ntlm.log_text().FindChar('\n', 0), -1);
  // A target name field pointing outside the message is skipped: the name is never used.
  Bytes odd = Challenge(kUnicodeNtlm | kEss | 0x4, Utf16("S"), {});
  odd[16] = 0xae;
  odd[19] = 0xaa;
  ASSERT_EQ(ntlm.GetToken(&token, "NTLM", "h", odd.data(), static_cast<int>(odd.size())), 0);
  tw::ByteString log;
  tw::DescribeAuthToken(log, odd.data(), static_cast<int>(odd.size()));
  EXPECT_NE(std::string(log.c_str()).find("Challenge: 0123456789abcdef"), std::string::npos);
  // An answer lists its names before its responses; every description ends with the raw data.
  log.Reset();
  tw::DescribeAuthToken(log, token.bytes(), token.length());
  EXPECT_LT(std::string(log.c_str()).find("\tWorkstation: "), std::string(log.c_str()).find("\tLM/LMv2 Response: "));
  log.Reset();
  tw::DescribeAuthToken(log, reinterpret_cast<const uint8_t*>("\x01\x02"), 2);
  EXPECT_STREQ(log.c_str(), "Unknown token type.\r\n\tRaw Data: AQI=\r\n");
}

TEST(NtlmNegotiate, FreshClientChallengesDiffer) {
  const Bytes c = Challenge(kUnicodeNtlm | kEss, {}, {});
  std::string lm[2];
  for (std::string& s : lm) {
    tw::NtlmContext ntlm;
    ntlm.SetCredentials("NTLM", "u", "p");
    tw::ByteString token;
    ntlm.GetToken(&token, "NTLM", "h", nullptr, 0);
    ASSERT_EQ(ntlm.GetToken(&token, "NTLM", "h", c.data(), static_cast<int>(c.size())), 0);
    s = Field(token, 12).substr(0, 16);
  }
  EXPECT_NE(lm[0], lm[1]);
}

struct Bad {
  const char* name;
  Bytes message;
  const char* text;
};

Bytes With(Bytes m, size_t at, std::initializer_list<uint8_t> bytes) {
  for (uint8_t b : bytes) m[at++] = b;
  return m;
}

std::vector<Bad> BadChallenges() {
  const Bytes good = Challenge(kUnicodeNtlm | kTargetInfo, Utf16("S"), ExampleTargetInfo());
  Bytes no_eol = ExampleTargetInfo();
  no_eol.resize(no_eol.size() - 4);
  Bytes long_pair = ExampleTargetInfo();
  long_pair[2] = 0xff;
  return {
      {"empty_signature", Bytes(4, 0), "invalid signature"},
      {"signature", With(good, 0, {'X'}), "invalid signature"},
      {"type", With(good, 8, {3}), "invalid message type"},
      {"cut_in_header", Bytes(good.begin(), good.begin() + 20), "truncated"},
      {"cut_in_challenge", Bytes(good.begin(), good.begin() + 30), "truncated"},
      {"cut_in_info_field", Bytes(good.begin(), good.begin() + 44), "truncated"},
      {"no_charset", With(good, 20, {0x00, 0x02}), "no charset"},
      {"no_version", With(good, 20, {0x01, 0x00}), "no NTLM version"},
      {"info_offset", With(good, 44, {0xff, 0xff, 0xff, 0x7f}), "outside the message"},
      {"info_length", With(good, 40, {0xff, 0x7f}), "outside the message"},
      {"pair_longer_than_info", Challenge(kUnicodeNtlm | kTargetInfo, {}, long_pair), "malformed target"},
      {"no_end_pair", Challenge(kUnicodeNtlm | kTargetInfo, {}, no_eol), "malformed target"},
      {"half_pair_header", Challenge(kUnicodeNtlm | kTargetInfo, {}, Bytes{2, 0}), "malformed target"},
  };
}

class NtlmHostileChallenge : public ::testing::TestWithParam<Bad> {};

TEST_P(NtlmHostileChallenge, IsRefusedWithAClearText) {
  for (bool v2 : {false, true}) {
    tw::NtlmContext ntlm;
    ntlm.SetCredentials("NTLM", "u", "p");
    ntlm.set_ntlmv2(v2);
    tw::ByteString token;
    ntlm.GetToken(&token, "NTLM", "h", nullptr, 0);
    const Bytes& m = GetParam().message;
    EXPECT_EQ(ntlm.GetToken(&token, "NTLM", "h", m.data(), static_cast<int>(m.size())),
              tw::kErrNtlmChallenge);
    EXPECT_NE(std::string(ntlm.error_text()).find(GetParam().text), std::string::npos)
        << ntlm.error_text();
    EXPECT_TRUE(token.empty());
  }
}

INSTANTIATE_TEST_SUITE_P(All, NtlmHostileChallenge, ::testing::ValuesIn(BadChallenges()),
                         [](const auto& info) { return std::string(info.param.name); });

// Each NTLMv2 part names itself when it cannot be built: every allocation of the step fails in turn.
TEST(NtlmBuildFailures, NameThePart) {
  Bytes info = {3, 0, 240, 0};  // a long server name puts the blob on the heap
  info.resize(244, 's');
  for (uint8_t b : ExampleTargetInfo()) info.push_back(b);
  std::string seen;
  for (long n = 1; n < 400; ++n) {
    const Bytes c = Challenge(n % 2 ? kUnicodeNtlm : kUnicodeNtlm | kTargetInfo, {}, info);
    tw::NtlmContext ntlm;
    tw::ByteString token;
    ntlm.GetToken(&token, "NTLM", "h", nullptr, 0);
    win::HeapFailAfter(n / 2);
    if (ntlm.GetToken(&token, "NTLM", "h", c.data(), static_cast<int>(c.size())) != 0) seen += ntlm.error_text();
    win::HeapFailAfter(0);
  }
  for (const char* text : {"error creating LM response.", "error creating blob.", "error creating NT challenge response."})
    EXPECT_NE(seen.find(text), std::string::npos) << seen;
  // Target information near its 64 KiB limit (one pair of 65500 bytes) makes an answer too long
  // for its 16-bit field.
  info = {3, 0, 0xdc, 0xff};
  info.resize(4 + 65500 + 4, 0);
  const Bytes c = Challenge(kUnicodeNtlm | kTargetInfo, {}, info);
  tw::NtlmContext ntlm;
  tw::ByteString token;
  ntlm.GetToken(&token, "NTLM", "h", nullptr, 0);
  EXPECT_EQ(ntlm.GetToken(&token, "NTLM", "h", c.data(), static_cast<int>(c.size())), tw::kErrNtlmWriter);
  EXPECT_STREQ(ntlm.error_text(), "Error in WriteInt: Attempt to overflow buffer.");
}
// The checked-in fuzz corpus goes through the harness in every build.
TEST(NtlmFuzzCorpus, Replays) {
  const std::filesystem::path dir = std::filesystem::path(TW_SOURCE_DIR) / "tests/fuzz/corpus/ntlm";
  int files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    std::ifstream in(entry.path(), std::ios::binary);
    const Bytes data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ntlmfuzz::FuzzChallenge(data.data(), data.size());
    ++files;
  }
  EXPECT_GT(files, 0);
}

}  // namespace
