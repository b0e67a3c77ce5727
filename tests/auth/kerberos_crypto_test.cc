// Kerberos profiles against the published vectors, against the keys the realm's own tools
// derive, and against tampering.
#include "auth/kerberos_crypto.h"

#include <gtest/gtest.h>

#include "tests/peers/kerberos_realm.h"
#include "tests/support/test_support.h"
#include "tests/support/case_name.h"

namespace {

using testsupport::Hex;
using testsupport::Unhex;

tw::ByteString B(const std::string& s) {
  tw::ByteString b;
  b.Set(s.data(), static_cast<int>(s.size()));
  return b;
}
std::string H(const tw::ByteString& b) { return Hex(b.data(), static_cast<size_t>(b.length())); }

struct FoldCase {
  int bits;
  const char* input;
  const char* expected;
};
class NFoldVectors : public ::testing::TestWithParam<FoldCase> {};
TEST_P(NFoldVectors, MatchTheRfcTable) {
  tw::ByteString out;
  ASSERT_EQ(tw::NFold(GetParam().bits, GetParam().input, static_cast<int>(strlen(GetParam().input)), &out), 0);
  EXPECT_EQ(H(out), GetParam().expected);
}
INSTANTIATE_TEST_SUITE_P(
    Rfc3961, NFoldVectors,
    ::testing::Values(FoldCase{64, "012345", "be072631276b1955"}, FoldCase{56, "password", "78a07b6caf85fa"},
                      FoldCase{64, "Rough Consensus, and Running Code", "bb6ed30870b7f0e0"},
                      FoldCase{168, "password", "59e4a8ca7c0385c3c37b3f6d2000247cb6e6bd5b3e"},
                      FoldCase{192, "MASSACHVSETTS INSTITVTE OF TECHNOLOGY",
                               "db3b0d8f0b061e603282b308a50841229ad798fab9540c1b"},
                      FoldCase{168, "Q", "518a54a215a8452a518a54a215a8452a518a54a215"},
                      FoldCase{168, "ba", "fb25d531ae8974499f52fd92ea9857c4ba24cf297e"},
                      FoldCase{64, "kerberos", "6b65726265726f73"},
                      FoldCase{128, "kerberos", "6b65726265726f737b9b5b2b93132b93"},
                      FoldCase{168, "kerberos", "8372c236344e5f1550cd0747e15d62ca7a5a3bcea4"},
                      FoldCase{256, "kerberos", "6b65726265726f737b9b5b2b93132b935c9bdcdad95c9899c4cae4dee6d6cae4"}),
    [](const auto& i) { const auto& p = i.param; return testsupport::MakeName(p.bits, p.input); });

struct KeyCase {
  int etype;
  std::string password;
  std::string salt;
  std::string params;  // hex
  const char* expected;
};
class StringToKeyVectors : public ::testing::TestWithParam<KeyCase> {};
TEST_P(StringToKeyVectors, MatchThePublishedKeys) {
  const KeyCase& c = GetParam();
  tw::ByteString key, err;
  ASSERT_EQ(tw::KerberosStringToKey(c.etype, B(c.password), B(c.salt), B(Unhex(c.params)), &key, &err), 0)
      << err.c_str();
  EXPECT_EQ(H(key), c.expected);
}
INSTANTIATE_TEST_SUITE_P(
    Rfc3961And3962, StringToKeyVectors,
    ::testing::Values(KeyCase{3, "password", "ATHENA.MIT.EDUraeburn", "", "cbc22fae235298e3"},
                      KeyCase{3, "potatoe", "WHITEHOUSE.GOVdanny", "", "df3d32a74fd92a01"},
                      KeyCase{3, "\xf0\x9d\x84\x9e", "EXAMPLE.COMpianist", "", "4ffb26bab0cd9413"},
                      KeyCase{3, "\xc3\x9f", "ATHENA.MIT.EDUJuri\xc5\xa1i\xc4\x87", "", "62c81a5232b5e69d"},
                      KeyCase{3, "11119999", "AAAAAAAA", "", "984054d0f1a73e31"},
                      KeyCase{3, "NNNN6666", "FFFFAAAA", "", "c4bf6b25adf7a4f8"},
                      KeyCase{17, "password", "ATHENA.MIT.EDUraeburn", "00000001", "42263c6e89f4fc28b8df68ee09799f15"},
                      KeyCase{18, "password", "ATHENA.MIT.EDUraeburn", "00000001",
                              "fe697b52bc0d3ce14432ba036a92e65bbb52280990a2fa27883998d72af30161"},
                      KeyCase{17, "password", "ATHENA.MIT.EDUraeburn", "00000002", "c651bf29e2300ac27fa469d693bdda13"},
                      KeyCase{18, "password", "ATHENA.MIT.EDUraeburn", "00000002",
                              "a2e16d16b36069c135d5e9d2e25f896102685618b95914b467c67622225824ff"},
                      KeyCase{17, "password", "ATHENA.MIT.EDUraeburn", "000004b0", "4c01cd46d632d01e6dbe230a01ed642a"},
                      KeyCase{18, "password", "ATHENA.MIT.EDUraeburn", "000004b0",
                              "55a6ac740ad17b4846941051e1e8b0a7548d93b0ab30a8bc3ff16280382b8c2a"},
                      // RC4 ignores salt and parameters and hashes the UTF-16 form, without its terminator.
                      KeyCase{23, "password", "ignored", "00000001", "8846f7eaee8fb117ad06bdd830b7586c"}),
    [](const auto& i) { const auto& p = i.param; return testsupport::MakeName("etype", p.etype, p.params, i.index); });

// Parameters that are not exactly four bytes, or a count of 0 or beyond reason, are refused.
class BadIterationParams : public ::testing::TestWithParam<const char*> {};
TEST_P(BadIterationParams, AreRefused) {
  tw::ByteString key, err;
  EXPECT_EQ(tw::KerberosStringToKey(18, B("password"), B("salt"), B(Unhex(GetParam())), &key, &err),
            tw::kErrKerberosEtype);
  EXPECT_TRUE(key.empty());
}
INSTANTIATE_TEST_SUITE_P(Counts, BadIterationParams,
                         ::testing::Values("00", "000010", "0000100000", "00000000", "ffffffff", "7fffffff"),
    testsupport::CaseName{});

// Every type: what is encrypted decrypts under the same usage, and one changed byte anywhere, a
// wrong usage or a cut to below the type's overhead is refused without plaintext.
class Tampering : public ::testing::TestWithParam<int> {};
TEST_P(Tampering, IsDetectedEverywhere) {
  const int etype = GetParam();
  tw::ByteString key = B(testsupport::RandomBytes(static_cast<size_t>(tw::KerberosKeyLength(etype)), 7));
  for (int len : {0, 1, 15, 16, 17, 43, 48, 100}) {
    tw::ByteString plain = B(testsupport::RandomBytes(static_cast<size_t>(len), static_cast<unsigned>(len))), c, p, e;
    ASSERT_EQ(tw::KerberosEncrypt(etype, plain, key, 3, &c, &e), 0);
    ASSERT_EQ(tw::KerberosDecrypt(etype, c, key, 3, &p, &e), 0);
    if (etype == tw::kEtypeDesCbcMd5) {
      ASSERT_GE(p.length(), len);  // the padding stays; the DER content ends by its own length
      p.Resize(len);
    }
    EXPECT_EQ(H(p), H(plain));
    EXPECT_EQ(tw::KerberosDecrypt(etype, c, key, 4, &p, &e),
              etype == tw::kEtypeDesCbcMd5 ? 0 : tw::kErrKerberosIntegrity);
    for (int i = 0; i < c.length(); ++i) {
      tw::ByteString bad = c;
      bad.bytes()[i] ^= 0x01;
      EXPECT_EQ(tw::KerberosDecrypt(etype, bad, key, 3, &p, &e), tw::kErrKerberosIntegrity) << i;
      EXPECT_TRUE(p.empty());
    }
    for (int cut = 0; cut < 28 && cut < c.length(); ++cut) {
      tw::ByteString shortened = c;
      shortened.Resize(cut);
      EXPECT_EQ(tw::KerberosDecrypt(etype, shortened, key, 3, &p, &e), tw::kErrKerberosIntegrity) << cut;
    }
  }
}
INSTANTIATE_TEST_SUITE_P(Etypes, Tampering, ::testing::Values(3, 17, 18, 23),
    [](const auto& i) { const auto& p = i.param; return testsupport::MakeName("etype", p); });

TEST(KerberosCrypto, DesPaddingIsAWholeBlockOrCountBytes) {
  tw::ByteString key = B(Unhex("cbc22fae235298e3")), c, e;
  ASSERT_EQ(tw::KerberosEncrypt(3, B(std::string(48, 'a')), key, 1, &c, &e), 0);
  EXPECT_EQ(c.length(), 80);
  ASSERT_EQ(tw::KerberosEncrypt(3, B(std::string(43, 'a')), key, 1, &c, &e), 0);
  EXPECT_EQ(c.length(), 72);
  EXPECT_EQ(tw::KerberosEncrypt(99, B("x"), key, 1, &c, &e), tw::kErrKerberosEtype);
  EXPECT_STREQ(e.c_str(), "Unsupported encryption type.");
}

// The realm's own tools derive the same long-term keys from a password and the realm+name salt.
TEST(KerberosCryptoRealm, KeysMatchTheRealmsExport) {
  testsupport::KerberosRealm realm;
  if (!realm.Start()) {
    TW_REQUIRE_OR_SKIP(realm.error());
  }
  ASSERT_TRUE(realm.AddPrincipal("svc/alpha.beta", "Pa55-w\xc3\xb6rd")) << realm.error();
  const std::string kt = realm.dir() + "/svc.keytab";
  ASSERT_TRUE(realm.ExportKeytab("svc/alpha.beta", kt)) << realm.error();
  const std::string listing = testsupport::RunCommand(realm.Env() + "klist -k -e -K " + kt);
  for (int etype : {18, 17, 23}) {
    tw::ByteString key, err;
    // Components join without separators in the salt.
    ASSERT_EQ(tw::KerberosStringToKey(etype, B("Pa55-w\xc3\xb6rd"), B("TW.TESTsvcalpha.beta"), B(""), &key, &err), 0);
    EXPECT_NE(listing.find("(0x" + H(key) + ")"), std::string::npos) << etype << "\n" << listing;
  }
}

}  // namespace
