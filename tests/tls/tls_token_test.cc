// A client certificate on a security token: the selection loads it through the store and the
// token signs what TLS signs.
#include <gtest/gtest.h>

#include <string>

#include "tests/certs/security_key_fixture.h"
#include "tls/tls_certificates.h"
#include "tests/support/case_name.h"

namespace {

using tokentest::Token;

struct TokenSignCase {
  const char* subject;
  uint16_t scheme;
  int hash_id;
  bool pss;
  const char* verify;  // openssl dgst options
  const char* pub;
};

class TlsTokenSign : public testing::TestWithParam<TokenSignCase> {};

TEST_P(TlsTokenSign, OpensslVerifies) {
  REQUIRE_TOKEN();
  const TokenSignCase& c = GetParam();
  const Token& t = Token::Get();
  const std::string store = tokentest::Description(std::string("DllPath: ") + tokentest::kModule + "\n");
  tw::CertSelection own;
  ASSERT_EQ(own.Load(store.data(), static_cast<int>(store.size()), 20, tokentest::kPin, c.subject, nullptr, 0), 0)
      << own.error_text().c_str();
  ASSERT_TRUE(own.has_private_key());
  const std::string data = testsupport::RandomBytes(150, 9);
  tw::ByteString sig;
  ASSERT_EQ(tw::SignWithOwnKey(own, c.scheme, c.hash_id, c.pss, reinterpret_cast<const uint8_t*>(data.data()),
                               data.size(), &sig),
            0);
  testsupport::WriteFile(t.Path("tls-data"), data);
  testsupport::WriteFile(t.Path("tls-sig"), std::string(sig.c_str(), static_cast<size_t>(sig.length())));
  int status = -1;
  testsupport::RunCommand("openssl dgst " + std::string(c.verify) + " -verify " + t.Path(c.pub) + " -signature " +
                              t.Path("tls-sig") + " " + t.Path("tls-data"),
                          "", &status);
  EXPECT_EQ(status, 0);
  // A wrong PIN fails when the token is opened.
  tw::CertSelection wrong;
  EXPECT_EQ(wrong.Load(store.data(), static_cast<int>(store.size()), 20, "0000", c.subject, nullptr, 0), 271);
}

INSTANTIATE_TEST_SUITE_P(
    Token, TlsTokenSign,
    testing::Values(TokenSignCase{"token-a", 0x0401, 2, false, "-sha256", "a.pub"},
                    TokenSignCase{"token-a", 0x0804, 2, true,
                                  "-sha256 -sigopt rsa_padding_mode:pss -sigopt rsa_pss_saltlen:digest", "a.pub"},
                    TokenSignCase{"token-b", 0x0403, 2, false, "-sha256", "b.pub"}),
    [](const auto& i) { const auto& p = i.param; return testsupport::MakeName(p.subject, p.pss ? "pss" : "pkcs1", p.scheme); });

}  // namespace
