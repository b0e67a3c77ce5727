#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tls/cipher_suites.h"
#include "tls/tls_engine.h"
#include "tests/support/case_name.h"

namespace {

struct OfferCase {
  uint32_t mask;
  const char* text;
  bool weak;
  bool ok;
  std::vector<uint16_t> first;  // the offer starts with these
  int count;                    // -1: not checked
};

const OfferCase kOffers[] = {
    {0x0FC0, "*", false, true, {0xC02C, 0xC02B, 0xC02F}, 53},
    {0x3FC0, "*", false, true, {0x1302, 0x1303, 0x1301, 0xC02C}, 56},
    {0x3000, "*", false, true, {0x1302, 0x1303, 0x1301}, 3},
    {0x0030, "*", false, true, {}, 0},
    {0x00C0, "*", false, true, {0x0035, 0xC00A}, 21},
    {0x00C0, "*", true, true, {0x0035, 0xC00A}, 21},
    {0x0FC0, "TLS_RSA_WITH_AES_128_CBC_SHA;TLS_ECDHE_RSA_WITH_AES_128_GCM_SHA256", false, true, {0x002F, 0xC02F}, 2},
    {0x0FC0, "TLS_DH_anon_WITH_AES_128_CBC_SHA; TLS_RSA_WITH_RC4_128_MD5 ;NOPE", false, true, {0x0004}, 1},
    {0x0FC0, "TLS_RSA_EXPORT_WITH_DES40_CBC_SHA", false, true, {}, 0},
    {0x0FC0, "TLS_RSA_EXPORT_WITH_DES40_CBC_SHA", true, true, {0x0008}, 1},
    {0x0FC0, "TLS_AES_128_GCM_SHA256", false, true, {}, 0},
    {0x0000, "*", false, false, {}, 0},
    {0x0800, "*", false, false, {}, 0},
};

class SuiteOffer : public ::testing::TestWithParam<OfferCase> {};

TEST_P(SuiteOffer, ByMaskTextAndWeakness) {
  const OfferCase& c = GetParam();
  std::vector<uint16_t> offer;
  ASSERT_EQ(tw::BuildSuiteOffer(c.text, c.mask, c.weak, &offer), c.ok);
  ASSERT_GE(offer.size(), c.first.size());
  EXPECT_EQ(std::vector<uint16_t>(offer.begin(), offer.begin() + static_cast<long>(c.first.size())), c.first);
  if (c.count >= 0) {
    EXPECT_EQ(static_cast<int>(offer.size()), c.count);
  }
  for (uint16_t id : offer) {
    const tw::TlsCipherSuite* s = tw::FindCipherSuite(id);
    ASSERT_NE(s, nullptr);
    EXPECT_FALSE(s->anonymous());
    // RC4 and single DES only when named.
    if (std::string(c.text) == "*") {
      EXPECT_STRNE(s->cipher_name, "RC4");
      EXPECT_STRNE(s->cipher_name, "DES");
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Masks, SuiteOffer, ::testing::ValuesIn(kOffers), [](const auto& i) {
  const auto& p = i.param;
  return testsupport::MakeName("mask", p.mask, p.weak ? "weak" : "", p.text, i.index);
});

struct VersionCase {
  uint32_t mask;
  int highest;  // -1: none enabled
  int lowest;
  uint16_t client;      // a client's hello version for the server's choice
  int server_rc;
  uint16_t server_choice;
  const char* server_text;
};

const VersionCase kVersions[] = {
    {0x0FC0, 0x0303, 0x0301, 0x0303, 0, 0x0303, ""},
    {0x3000, 0x0303, 0x0303, 0x0303, 0, 0x0303, ""},
    {0x0030, 0x0300, 0x0300, 0x0301, 0, 0x0300, ""},
    {0x0FC0, 0x0303, 0x0301, 0x0300, 276, 0, "Client wants SSL3 protocol and it's disabled, or both SSL3 and TLS1 are disabled"},
    {0x0C00, 0x0303, 0x0303, 0x0302, 276, 0, "Client wants TLS1.1 protocol, but the lowest enabled protocol is TLS1.2"},
    {0x00C0, 0x0301, 0x0301, 0x0303, 0, 0x0301, ""},
    {0x0FC0, 0x0303, 0x0301, 0x0002, 278, 0, "SSL 2.0 not supported"},
    {0x0800, -1, -1, 0x0303, 276, 0, "Client wants SSL3 protocol and it's disabled, or both SSL3 and TLS1 are disabled"},
    {0x0000, -1, -1, 0x0304, 276, 0, "Client wants SSL3 protocol and it's disabled, or both SSL3 and TLS1 are disabled"},
};

class VersionRules : public ::testing::TestWithParam<VersionCase> {};

TEST_P(VersionRules, HighestLowestAndServerChoice) {
  const VersionCase& c = GetParam();
  uint16_t v = 0;
  EXPECT_EQ(tw::HighestHelloVersion(c.mask, &v), c.highest >= 0);
  if (c.highest >= 0) {
    EXPECT_EQ(v, c.highest);
  }
  EXPECT_EQ(tw::LowestVersion(c.mask, &v), c.lowest >= 0);
  if (c.lowest >= 0) {
    EXPECT_EQ(v, c.lowest);
  }
  uint16_t chosen = 0;
  tw::ByteString text;
  int alert = 0;
  EXPECT_EQ(tw::ChooseServerVersion(c.mask, c.client, &chosen, &text, &alert), c.server_rc);
  if (c.server_rc == 0) {
    EXPECT_EQ(chosen, c.server_choice);
  }
  EXPECT_STREQ(text.c_str(), c.server_text);
  EXPECT_EQ(alert, c.server_rc == 276 ? 40 : 0);
}

INSTANTIATE_TEST_SUITE_P(Masks, VersionRules, ::testing::ValuesIn(kVersions),
    [](const auto& i) { const auto& p = i.param; return testsupport::MakeName("mask", p.mask, i.index); });

// A server never keeps GCM or SHA-2 suites for TLS 1.0, nor TLS 1.3 suites for TLS 1.2.
TEST(SuiteTable, ServerFiltersByVersion) {
  std::vector<uint16_t> all;
  ASSERT_TRUE(tw::BuildSuiteOffer("*", 0x3FC0, false, &all));
  for (const uint16_t version : {0x0301, 0x0302, 0x0303, 0x0304}) {
    std::vector<uint16_t> kept = all;
    tw::FilterSuitesForVersion(version, &kept);
    EXPECT_FALSE(kept.empty());
    for (uint16_t id : kept) {
      const tw::TlsCipherSuite* s = tw::FindCipherSuite(id);
      EXPECT_LE(s->min_version, version);
      if (version < 0x0303) {
        EXPECT_FALSE(s->aead()) << std::hex << id;
      }
      EXPECT_EQ(s->kx == tw::kKxTls13, version == 0x0304) << std::hex << id;
    }
  }
}

struct NameCase {
  uint32_t value;
  const char* kind;  // "suite", "group", "version"
  const char* text;
};

const NameCase kNames[] = {
    {0x0004, "suite", "TLS_RSA_WITH_RC4_128_MD5 (0x0004)"},
    {0x0018, "suite", "TLS_DH_anon_WITH_RC4_128_MD5 (0x0018)"},
    {0xABCD, "suite", "Unknown (0xabcd)"},
    {0x10080, "suite", "SSL2_RC4_128_WITH_MD5 (0x010080)"},
    {0x10081, "suite", "Unknown (0x010081)"},
    {0xCCA8, "suite", "TLS_ECDHE_RSA_WITH_CHACHA20_POLY1305_SHA256 (0xcca8)"},
    {0xC0AF, "suite", "TLS_ECDHE_ECDSA_WITH_AES_256_CCM_8 (0xc0af)"},
    {29, "group", "ecdhe_x25519"},
    {260, "group", "ffdhe_8192"},
    {99, "group", "Unknown group name for id: 99"},
    {0x0300, "version", "SSL3.0"},
    {0x0304, "version", "TLS1.3"},
    {0x0305, "version", "Unknown SSL/TLS version"},
};

class Names : public ::testing::TestWithParam<NameCase> {};

TEST_P(Names, AsShown) {
  const NameCase& c = GetParam();
  tw::ByteString text;
  if (std::string(c.kind) == "suite") {
    ASSERT_EQ(tw::SuiteDisplayText(c.value, &text), 0);
  }
  if (std::string(c.kind) == "group") {
    ASSERT_EQ(tw::GroupName(static_cast<uint16_t>(c.value), &text), 0);
  }
  if (std::string(c.kind) == "version") text.SetText(tw::VersionName(static_cast<uint16_t>(c.value)));
  EXPECT_STREQ(text.c_str(), c.text);
}

INSTANTIATE_TEST_SUITE_P(Tables, Names, ::testing::ValuesIn(kNames),
    [](const auto& i) { const auto& p = i.param; return testsupport::MakeName(p.kind, p.text, i.index); });

struct ListCase {
  int which;  // 0 TLS 1.2 groups, 1 TLS 1.3 groups, 2 TLS 1.3 schemes, 3 TLS 1.2 pairs
  const char* text;
  int rc;
  std::vector<uint16_t> ids;
  const char* error;
};

const ListCase kLists[] = {
    {0, "ecdhe_secp256r1, ecdhe_secp384r1", 0, {23, 24}, ""},
    {0, "ecdhe_x25519", -1, {}, ""},
    {1, " ecdhe_x25519 , ffdhe_2048 ", 0, {29, 256}, ""},
    {1, "ecdhe_x25519,,ffdhe_2048", -1, {}, ""},
    {2, "RSA_PSS_SHA256,ed448", 0, {0x0804, 0x0808}, ""},
    {2, "rsa_pss_sha1", -1, {}, ""},
    {3, "sha256-rsa,sha1-ecdsa,none-anonymous", 0, {0x0401, 0x0203, 0x0000}, ""},
    {3, "sha256-rsa,md5-rsa", -1, {}, "Invalid TLS12SignatureAlgorithms value 'md5-rsa'."},
    {3, "sha256rsa", -1, {}, "Invalid TLS12SignatureAlgorithms value 'sha256rsa'."},
    {3, "", 0, {}, ""},
};

class ListSettings : public ::testing::TestWithParam<ListCase> {};

TEST_P(ListSettings, CheckedAgainstTheirNames) {
  const ListCase& c = GetParam();
  tw::TlsIdList ids;
  tw::ByteString error;
  int rc = 0;
  switch (c.which) {
    case 0:
    case 1:
      rc = tw::ParseSupportedGroups(c.text, c.which == 1, &ids);
      break;
    case 2:
      rc = tw::ParseSignatureSchemes(c.text, &ids);
      break;
    default:
      rc = tw::ParseTls12SignatureAlgorithms(c.text, &ids, &error);
      break;
  }
  EXPECT_EQ(rc, c.rc);
  EXPECT_EQ(ids, c.ids);
  EXPECT_STREQ(error.c_str(), c.error);
}

INSTANTIATE_TEST_SUITE_P(Texts, ListSettings, ::testing::ValuesIn(kLists),
    [](const auto& i) { const auto& p = i.param; return testsupport::MakeName(p.text, i.index); });

TEST(CipherSuiteSetting, OwnEngineKnowsItsNames) {
  tw::ByteString error;
  EXPECT_EQ(tw::ParseEnabledCipherSuites(true, " TLS_AES_128_GCM_SHA256 ;TLS_DH_anon_WITH_RC4_128_MD5", &error), 0);
  EXPECT_EQ(tw::ParseEnabledCipherSuites(true, "TLS_AES_128_GCM_SHA256;NOPE", &error), 202);
  EXPECT_STREQ(error.c_str(), "Invalid SSLEnabledCipherSuites Value: NOPE.");
  EXPECT_EQ(tw::ParseEnabledCipherSuites(false, "TLS_AES_128_GCM_SHA256", &error), 202);
}

}  // namespace
