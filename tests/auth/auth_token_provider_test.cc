// The token provider: the user split, routing to the own engine or the platform path, the
// Kerberos token test and the missing security library.
#include <gtest/gtest.h>

#include <ctime>
#include <filesystem>
#include <string>

#include "auth/auth_token_provider.h"
#include "foundation/text_conversion.h"
#include "platform/library.h"
#include "tests/support/case_name.h"

// The system's NTLM mechanism never frees the digest object it fetches from libcrypto for each
// password hash; that leak is the library's, not this program's. (The quick unwinder stops
// inside libcrypto, so the mechanism's own frame is not always seen.)
extern "C" const char* __lsan_default_suppressions() {
  return "leak:gssntlmssp.so\nleak:libcrypto.so.3\n";
}

namespace {

struct Split {
  const char* text;
  const char* domain;
  const char* user;
};

class AuthUserSplit : public ::testing::TestWithParam<Split> {};

TEST_P(AuthUserSplit, IsTheSameOnBothPaths) {
  tw::AuthTokenProvider p;
  p.ntlm().SetCredentials("NTLM", GetParam().text, "pw");
  EXPECT_STREQ(p.ntlm().domain().c_str(), GetParam().domain);
  EXPECT_STREQ(p.ntlm().user().c_str(), GetParam().user);
  p.sspi().SetCredentials("NTLM", GetParam().text, "pw");
  EXPECT_STREQ(p.sspi().domain().c_str(), GetParam().domain);
  EXPECT_STREQ(p.sspi().user().c_str(), GetParam().user);
}

INSTANTIATE_TEST_SUITE_P(All, AuthUserSplit,
                         ::testing::Values(Split{"CORP\\alice", "CORP", "alice"},
                                           Split{"CORP\\alice\\x", "CORP", "alice\\x"},
                                           Split{"alice", "", "alice"},
                                           Split{"\\alice", "", "alice"},
                                           Split{"alice@corp", "", "alice@corp"}),
    [](const auto& i) { const auto& p = i.param; return testsupport::MakeName(p.text, i.index); });

std::string Decode(const tw::ByteString& b64) {
  tw::ByteString raw;
  raw.Assign(b64);
  tw::DecodeBase64(raw, false, true, false);
  return std::string(raw.data(), static_cast<size_t>(raw.length()));
}

// A CHALLENGE from domain "DC", server "SV" (Unicode, NTLM, extended session security), its
// target information stamped now, in Base64.
std::string ChallengeBase64() {
  tw::ByteString raw;
  std::string m;
  static const std::string kHead = std::string(
      "NTLMSSP\0\2\0\0\0\4\0\4\0\x38\0\0\0\x15\x82\x8a\xe2\x01\x23\x45\x67\x89\xab\xcd\xef"
      "\0\0\0\0\0\0\0\0\x20\0\x20\0\x3c\0\0\0\6\0\x70\x17\0\0\0\x0f"
      "D\0C\0\2\0\4\0D\0C\0\1\0\4\0S\0V\0\7\0\x08\0", 80);
  m = kHead;
  const uint64_t now = (static_cast<uint64_t>(time(nullptr)) + 11644473600ull) * 10000000ull;
  for (int i = 0; i < 8; ++i) m += static_cast<char>(now >> (8 * i));
  m += std::string(4, '\0');
  tw::Base64Encode(raw, m.data(), static_cast<int>(m.size()), false, 0, false);
  return raw.c_str();
}

// Both paths produce NTLM's three messages; the platform path through the system library's
// NTLM mechanism.
class AuthPaths : public ::testing::TestWithParam<bool> {};

TEST_P(AuthPaths, ProduceNegotiateThenAuthenticate) {
  if (GetParam() && !std::filesystem::exists("/usr/lib/x86_64-linux-gnu/gssntlmssp/gssntlmssp.so")) {
    if (std::getenv("CI") != nullptr) FAIL() << "gss-ntlmssp is not installed";
    GTEST_SKIP() << "gss-ntlmssp is not installed";
  }
  tw::AuthTokenProvider p;
  p.set_use_sspi(GetParam());
  ASSERT_EQ(p.SetCredentials("NTLM", "DC\\User", "Password"), 0) << p.StatusText();
  tw::ByteString token;
  for (int i = 0; i < 2; ++i) {
    // A second first leg starts over instead of reusing the context.
    ASSERT_EQ(p.BuildAuthToken(nullptr, &token, "NTLM", "server", ""), 0) << p.StatusText();
    EXPECT_EQ(Decode(token).substr(0, 12), std::string("NTLMSSP\0\1\0\0\0", 12));
  }
  ASSERT_EQ(p.BuildAuthToken(nullptr, &token, "NTLM", "server", ChallengeBase64().c_str()), 0)
      << p.StatusText();
  const std::string answer = Decode(token);
  EXPECT_EQ(answer.substr(0, 12), std::string("NTLMSSP\0\3\0\0\0", 12));
  EXPECT_NE(answer.find(std::string("U\0s\0e\0r\0", 8)), std::string::npos);
  EXPECT_EQ(std::string(token.c_str()).find_first_of("\r\n"), std::string::npos);
  EXPECT_NE(p.LogText().FindChar('\n', 0), -1);
}

// The system library would crash on a challenge with target information but no target name.
TEST(AuthPlatformPath, ChallengeTheLibraryCannotReadIsRefused) {
  if (!std::filesystem::exists("/usr/lib/x86_64-linux-gnu/gssntlmssp/gssntlmssp.so")) {
    if (std::getenv("CI") != nullptr) FAIL() << "gss-ntlmssp is not installed";
    GTEST_SKIP() << "gss-ntlmssp is not installed";
  }
  tw::AuthTokenProvider p;
  ASSERT_EQ(p.SetCredentials("NTLM", "DC\\User", "Password"), 0) << p.StatusText();
  tw::ByteString token;
  ASSERT_EQ(p.BuildAuthToken(nullptr, &token, "NTLM", "server", ""), 0);
  std::string m = ChallengeBase64();
  tw::ByteString raw;
  raw.SetText(m.c_str());
  tw::DecodeBase64(raw, false, false, true);
  raw.bytes()[12] = raw.bytes()[14] = 0;  // target name length 0, target information kept
  tw::ByteString b64;
  tw::Base64Encode(b64, raw.data(), raw.length(), false, 0, false);
  EXPECT_EQ(p.BuildAuthToken(nullptr, &token, "NTLM", "server", b64.c_str()), tw::kErrSspiConsumeToken);
  EXPECT_NE(std::string(p.StatusText()).find("no target name"), std::string::npos) << p.StatusText();
}

INSTANTIATE_TEST_SUITE_P(All, AuthPaths, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Platform" : "Own"; });

TEST(AuthOwnPath, NegotiateSchemeStillGivesRawNtlm) {
  tw::AuthTokenProvider p;
  p.set_use_sspi(false);
  p.SetCredentials("Negotiate", "u", "p");
  tw::ByteString token;
  ASSERT_EQ(p.BuildAuthToken(nullptr, &token, "Negotiate", "HTTP/h", ""), 0);
  EXPECT_EQ(Decode(token).substr(0, 8), std::string("NTLMSSP\0", 8));
  EXPECT_NE(p.BuildAuthToken(nullptr, &token, "Negotiate", "HTTP/h", "AAAA"), 0);
  EXPECT_NE(std::string(p.StatusText()).find("invalid signature"), std::string::npos);
}

TEST(AuthPlatformPath, MissingSecurityLibraryGives270) {
  win::SetLibraryEnabled("secur32.dll", false);
  tw::AuthTokenProvider p;
  EXPECT_EQ(p.SetCredentials("NTLM", "u", "p"), tw::kErrSecurityLibraryMissing);
  EXPECT_STREQ(p.StatusText(), "The security library could not be loaded");
  tw::ByteString token;
  EXPECT_EQ(p.BuildAuthToken(nullptr, &token, "NTLM", "h", ""), tw::kErrSecurityLibraryMissing);
  win::SetLibraryEnabled("secur32.dll", true);
}

struct KerberosCase {
  const char* hex;
  bool kerberos;
};

class AuthKerberosToken : public ::testing::TestWithParam<KerberosCase> {};

TEST_P(AuthKerberosToken, IsFoundAfterTheFirstByte) {
  std::string raw;
  for (size_t i = 0; GetParam().hex[i] != '\0'; i += 2) {
    raw += static_cast<char>(std::stoi(std::string(GetParam().hex + i, 2), nullptr, 16));
  }
  tw::ByteString b64;
  tw::Base64Encode(b64, raw.data(), static_cast<int>(raw.size()), false, 0, false);
  EXPECT_EQ(tw::AuthTokenProvider::IsKerberosToken(b64.c_str()), GetParam().kerberos);
}

INSTANTIATE_TEST_SUITE_P(All, AuthKerberosToken,
                         ::testing::Values(KerberosCase{"6082010006092a864886f71201020201", true},
                                           KerberosCase{"2a864886f712010202", false},
                                           KerberosCase{"6006062b0601050502", false},
                                           KerberosCase{"", false}),
    [](const auto& i) { const auto& p = i.param; return testsupport::MakeName(p.hex); });

}  // namespace
