#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "crypto/symmetric/hash_engine.h"
#include "crypto/symmetric/hmac.h"
#include "crypto/symmetric/kdf.h"
#include "foundation/memory_stream.h"
#include "platform/heap.h"
#include "tests/crypto/symmetric/hmac_kdf_test_support.h"

namespace {

using kdftest::Bytes;
using kdftest::Field;
using kdftest::Hex;
using kdftest::Spec;
using kdftest::Unhex;
using tw::ByteString;
using tw::HmacEngine;

// ---- HMAC: published vectors ----

struct MacCase {
  int id;
  const char* name;
  const char* key;  // hex, or "aa*80" for 80 bytes of 0xaa
  const char* data;
  const char* mac;  // a truncated MAC is compared on its length
};

constexpr const char* kHiThere = "4869205468657265";
constexpr const char* kJefeData = "7768617420646f2079612077616e7420666f72206e6f7468696e673f";
constexpr const char* kTruncation = "546573742057697468205472756e636174696f6e";
constexpr const char* kLargeKey =
    "54657374205573696e67204c6172676572205468616e20426c6f636b2d53697a65204b6579202d2048617368204b6579204669727374";
constexpr const char* kLargeKeyAndData2202 =
    "54657374205573696e67204c6172676572205468616e20426c6f636b2d53697a65204b657920616e64204c61726765722054"
    "68616e204f6e6520426c6f636b2d53697a652044617461";
constexpr const char* kLargeKeyAndData4231 =
    "5468697320697320612074657374207573696e672061206c6172676572207468616e20626c6f636b2d73697a65206b657920"
    "616e642061206c6172676572207468616e20626c6f636b2d73697a6520646174612e20546865206b6579206e656564732074"
    "6f20626520686173686564206265666f7265206265696e6720757365642062792074686520484d414320616c676f72697468"
    "6d2e";
constexpr const char* kKey25 = "0102030405060708090a0b0c0d0e0f10111213141516171819";

const MacCase kRfcCases[] = {
    // RFC 2202
    {tw::kHashMd5, "md5_1", "0b*16", kHiThere, "9294727a3638bb1c13f48ef8158bfc9d"},
    {tw::kHashMd5, "md5_2", "4a656665", kJefeData, "750c783e6ab0b503eaa86e310a5db738"},
    {tw::kHashMd5, "md5_3", "aa*16", "dd*50", "56be34521d144c88dbb8c733f0e8b3f6"},
    {tw::kHashMd5, "md5_4", kKey25, "cd*50", "697eaf0aca3a3aea3a75164746ffaa79"},
    {tw::kHashMd5, "md5_5", "0c*16", kTruncation, "56461ef2342edc00f9bab995690efd4c"},
    {tw::kHashMd5, "md5_6", "aa*80", kLargeKey, "6b1ab7fe4bd7bf8f0b62e6ce61b9d0cd"},
    {tw::kHashMd5, "md5_7", "aa*80", kLargeKeyAndData2202, "6f630fad67cda0ee1fb1f562db3aa53e"},
    {tw::kHashSha1, "sha1_1", "0b*20", kHiThere, "b617318655057264e28bc0b6fb378c8ef146be00"},
    {tw::kHashSha1, "sha1_2", "4a656665", kJefeData, "effcdf6ae5eb2fa2d27416d5f184df9c259a7c79"},
    {tw::kHashSha1, "sha1_3", "aa*20", "dd*50", "125d7342b9ac11cd91a39af48aa17b4f63f175d3"},
    {tw::kHashSha1, "sha1_4", kKey25, "cd*50", "4c9007f4026250c6bc8414f9bf50c86c2d7235da"},
    {tw::kHashSha1, "sha1_5", "0c*20", kTruncation, "4c1a03424b55e07fe7f27be1d58bb9324a9a5a04"},
    {tw::kHashSha1, "sha1_6", "aa*80", kLargeKey, "aa4ae5e15272d00e95705637ce8a3b55ed402112"},
    {tw::kHashSha1, "sha1_7", "aa*80", kLargeKeyAndData2202, "e8e99d0f45237d786d6bbaa7965c7808bbff1a91"},
    // RFC 4231
    {tw::kHashSha224, "sha224_1", "0b*20", kHiThere, "896fb1128abbdf196832107cd49df33f47b4b1169912ba4f53684b22"},
    {tw::kHashSha224, "sha224_2", "4a656665", kJefeData, "a30e01098bc6dbbf45690f3a7e9e6d0f8bbea2a39e6148008fd05e44"},
    {tw::kHashSha224, "sha224_3", "aa*20", "dd*50", "7fb3cb3588c6c1f6ffa9694d7d6ad2649365b0c1f65d69d1ec8333ea"},
    {tw::kHashSha224, "sha224_4", kKey25, "cd*50", "6c11506874013cac6a2abc1bb382627cec6a90d86efc012de7afec5a"},
    {tw::kHashSha224, "sha224_5", "0c*20", kTruncation, "0e2aea68a90c8d37c988bcdb9fca6fa8"},
    {tw::kHashSha224, "sha224_6", "aa*131", kLargeKey, "95e9a0db962095adaebe9b2d6f0dbce2d499f112f2d2b7273fa6870e"},
    {tw::kHashSha224, "sha224_7", "aa*131", kLargeKeyAndData4231,
     "3a854166ac5d9f023f54d517d0b39dbd946770db9c2b95c9f6f565d1"},
    {tw::kHashSha256, "sha256_1", "0b*20", kHiThere, "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7"},
    {tw::kHashSha256, "sha256_2", "4a656665", kJefeData,
     "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843"},
    {tw::kHashSha256, "sha256_3", "aa*20", "dd*50", "773ea91e36800e46854db8ebd09181a72959098b3ef8c122d9635514ced565fe"},
    {tw::kHashSha256, "sha256_4", kKey25, "cd*50", "82558a389a443c0ea4cc819899f2083a85f0faa3e578f8077a2e3ff46729665b"},
    {tw::kHashSha256, "sha256_5", "0c*20", kTruncation, "a3b6167473100ee06e0c796c2955552b"},
    {tw::kHashSha256, "sha256_6", "aa*131", kLargeKey,
     "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54"},
    {tw::kHashSha256, "sha256_7", "aa*131", kLargeKeyAndData4231,
     "9b09ffa71b942fcb27635fbcd5b0e944bfdc63644f0713938a7f51535c3a35e2"},
    {tw::kHashSha384, "sha384_1", "0b*20", kHiThere,
     "afd03944d84895626b0825f4ab46907f15f9dadbe4101ec682aa034c7cebc59cfaea9ea9076ede7f4af152e8b2fa9cb6"},
    {tw::kHashSha384, "sha384_2", "4a656665", kJefeData,
     "af45d2e376484031617f78d2b58a6b1b9c7ef464f5a01b47e42ec3736322445e8e2240ca5e69e2c78b3239ecfab21649"},
    {tw::kHashSha384, "sha384_3", "aa*20", "dd*50",
     "88062608d3e6ad8a0aa2ace014c8a86f0aa635d947ac9febe83ef4e55966144b2a5ab39dc13814b94e3ab6e101a34f27"},
    {tw::kHashSha384, "sha384_4", kKey25, "cd*50",
     "3e8a69b7783c25851933ab6290af6ca77a9981480850009cc5577c6e1f573b4e6801dd23c4a7d679ccf8a386c674cffb"},
    {tw::kHashSha384, "sha384_5", "0c*20", kTruncation, "3abf34c3503b2a23a46efc619baef897"},
    {tw::kHashSha384, "sha384_6", "aa*131", kLargeKey,
     "4ece084485813e9088d2c63a041bc5b44f9ef1012a2b588f3cd11f05033ac4c60c2ef6ab4030fe8296248df163f44952"},
    {tw::kHashSha384, "sha384_7", "aa*131", kLargeKeyAndData4231,
     "6617178e941f020d351e2f254e8fd32c602420feb0b8fb9adccebb82461e99c5a678cc31e799176d3860e6110c46523e"},
    {tw::kHashSha512, "sha512_1", "0b*20", kHiThere,
     "87aa7cdea5ef619d4ff0b4241a1d6cb02379f4e2ce4ec2787ad0b30545e17cdedaa833b7d6b8a702038b274eaea3f4e4be9d914eeb61f1702e"
     "696c203a126854"},
    {tw::kHashSha512, "sha512_2", "4a656665", kJefeData,
     "164b7a7bfcf819e2e395fbe73b56e0a387bd64222e831fd610270cd7ea2505549758bf75c05a994a6d034f65f8f0e6fdcaeab1a34d4a6b4b"
     "636e070a38bce737"},
    {tw::kHashSha512, "sha512_3", "aa*20", "dd*50",
     "fa73b0089d56a284efb0f0756c890be9b1b5dbdd8ee81a3655f83e33b2279d39bf3e848279a722c806b485a47e67c807b946a337bee89426"
     "74278859e13292fb"},
    {tw::kHashSha512, "sha512_4", kKey25, "cd*50",
     "b0ba465637458c6990e5a8c5f61d4af7e576d97ff94b872de76f8050361ee3dba91ca5c11aa25eb4d679275cc5788063a5f19741120c4f2d"
     "e2adebeb10a298dd"},
    {tw::kHashSha512, "sha512_5", "0c*20", kTruncation, "415fad6271580a531d4179bc891d87a6"},
    {tw::kHashSha512, "sha512_6", "aa*131", kLargeKey,
     "80b24263c7c1a3ebb71493c1dd7be8b49b46d1f41b4aeec1121b013783f8f3526b56d037e05f2598bd0fd2215d6a1e5295e64f73f63f0aec"
     "8b915a985d786598"},
    {tw::kHashSha512, "sha512_7", "aa*131", kLargeKeyAndData4231,
     "e37b6a775dc87dbaa4dfa9f96e5e3ffddebd71f8867289865df5a32d20cdc944b6022cac3c4982b10d5eeb55c3e4de15134676fb6de04460"
     "65c97440fa8c6a58"},
};

class HmacPublishedVectors : public ::testing::TestWithParam<MacCase> {};

TEST_P(HmacPublishedVectors, MacMatchesAndSecondMacOnSameObjectToo) {
  const MacCase& c = GetParam();
  const std::vector<uint8_t> key = Spec(c.key);
  const std::vector<uint8_t> data = Spec(c.data);
  const std::string expected = c.mac;
  const size_t tagBytes = expected.size() / 2;
  HmacEngine hmac;
  ASSERT_EQ(0, hmac.SetKey(c.id, key.data(), static_cast<int>(key.size())));
  ASSERT_EQ(0, hmac.Update(data.data(), static_cast<int64_t>(data.size())));
  ASSERT_EQ(0, hmac.Final());
  EXPECT_EQ(expected, Hex(hmac.mac()).substr(0, expected.size()));
  EXPECT_EQ(tw::HashDigestSize(c.id), hmac.mac().length());
  EXPECT_TRUE(hmac.Verify(Unhex(expected).data(), static_cast<int>(tagBytes)));

  // Re-armed by the finish: no new key needed, the data may come in pieces.
  const size_t half = data.size() / 2;
  ASSERT_EQ(0, hmac.Update(data.data(), static_cast<int64_t>(half)));
  ASSERT_EQ(0, hmac.Update(data.data() + half, static_cast<int64_t>(data.size() - half)));
  ASSERT_EQ(0, hmac.Final());
  EXPECT_EQ(expected, Hex(hmac.mac()).substr(0, expected.size()));

  std::vector<uint8_t> forged = Unhex(expected);
  forged.back() ^= 1;
  EXPECT_FALSE(hmac.Verify(forged.data(), static_cast<int>(tagBytes)));
}

INSTANTIATE_TEST_SUITE_P(Rfc2202And4231, HmacPublishedVectors, ::testing::ValuesIn(kRfcCases),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- HMAC: state handling ----

TEST(HmacEngine, FinalWithoutUpdateGivesTheMacOfTheEmptyMessage) {
  HmacEngine hmac;
  ASSERT_EQ(0, hmac.SetKey(tw::kHashSha256, "key", 3));
  ASSERT_EQ(0, hmac.Final());
  EXPECT_EQ("5d5d139563c95b5967b9bd9a8c9b233a9dedb45072794cd232dc1b74832607d0", Hex(hmac.mac()));
  // And again right after a finished MAC.
  ASSERT_EQ(0, hmac.Update("abc", 3));
  ASSERT_EQ(0, hmac.Final());
  ASSERT_EQ(0, hmac.Final());
  EXPECT_EQ("5d5d139563c95b5967b9bd9a8c9b233a9dedb45072794cd232dc1b74832607d0", Hex(hmac.mac()));
}

TEST(HmacEngine, FailedFinalDoesNotLeakIntoTheNextMac) {
  // Final without Update must make the keyed states and the working context; fail each of those
  // allocations in turn.
  const std::vector<uint8_t> data = Unhex(kJefeData);
  bool succeeded = false;
  for (long n = 1; n <= 8 && !succeeded; ++n) {
    HmacEngine hmac;
    ASSERT_EQ(0, hmac.SetKey(tw::kHashSha1, "Jefe", 4));
    ASSERT_EQ(0, hmac.Final());
    ASSERT_TRUE(hmac.Verify(hmac.mac().data(), hmac.mac().length()));
    ASSERT_EQ(0, hmac.SetKey(tw::kHashSha1, "Jefe", 4));
    win::HeapFailAfter(n);
    const int rc = hmac.Final();
    win::HeapFailAfter(0);
    if (rc == 0) {
      succeeded = true;
      EXPECT_EQ("09d9e59d72239e62a8155c583d52743de9b7231a", Hex(hmac.mac()));  // of the empty message
      continue;
    }
    EXPECT_EQ(tw::kErrOutOfMemory, rc) << n;
    // Whatever the engine holds now is not a MAC.
    EXPECT_FALSE(hmac.Verify(hmac.mac().data(), hmac.mac().length())) << n;
    ASSERT_EQ(0, hmac.Update(data.data(), static_cast<int64_t>(data.size())));
    ASSERT_EQ(0, hmac.Final());
    EXPECT_EQ("effcdf6ae5eb2fa2d27416d5f184df9c259a7c79", Hex(hmac.mac())) << n;
  }
  EXPECT_TRUE(succeeded);
}

TEST(HmacEngine, MacsUnderOneKeyAllocateNothing) {
  for (int id : {tw::kHashSha256, tw::kHashSha512, tw::kHashKeccak256, tw::kHashMd5Sha1}) {
    HmacEngine hmac;
    const std::string key(200, 'k');  // longer than every block: hashed once
    ASSERT_EQ(0, hmac.SetKey(id, key.data(), static_cast<int>(key.size())));
    ASSERT_EQ(0, hmac.Update("message", 7));
    ASSERT_EQ(0, hmac.Final());
    const std::string first = Hex(hmac.mac());
    ByteString out;
    const long before = win::HeapAllocCount();
    for (int i = 0; i < 50; ++i) {
      ASSERT_EQ(0, hmac.Update("mess", 4));
      ASSERT_EQ(0, hmac.Update("age", 3));
      ASSERT_EQ(0, hmac.Final());
      ASSERT_EQ(first, Hex(hmac.mac())) << id;
      ASSERT_EQ(0, hmac.Compute("message", 7, out));
      ASSERT_EQ(first, Hex(out)) << id;
    }
    EXPECT_EQ(before, win::HeapAllocCount()) << id;
    // A new key still takes effect.
    ASSERT_EQ(0, hmac.SetKey(id, "other", 5));
    ASSERT_EQ(0, hmac.Compute("message", 7, out));
    EXPECT_NE(first, Hex(out)) << id;
  }
}

TEST(HashEngineCopy, CarriesTheMessageSoFarAcrossAlgorithms) {
  tw::HashEngine from;
  tw::HashEngine to;
  ASSERT_EQ(0, from.SetAlgorithm(tw::kHashSha256));
  ASSERT_EQ(0, from.Update("ab", 2));
  ASSERT_EQ(0, to.Update("junk", 4));  // SHA-1 with a message of its own
  ASSERT_EQ(0, to.CopyFrom(from));
  EXPECT_EQ(tw::kHashSha256, to.id());
  ASSERT_EQ(0, to.Update("c", 1));
  ASSERT_EQ(0, to.Final());
  const char* abc = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
  EXPECT_EQ(abc, Hex(to.digest()));
  // The source goes on unaffected.
  ASSERT_EQ(0, from.Update("c", 1));
  ASSERT_EQ(0, from.Final());
  EXPECT_EQ(abc, Hex(from.digest()));
  // A finished engine passes on its digest; the next Update starts over.
  tw::HashEngine third;
  ASSERT_EQ(0, third.CopyFrom(from));
  ASSERT_EQ(0, third.Final());
  EXPECT_EQ(abc, Hex(third.digest()));
  ASSERT_EQ(0, third.Update("abc", 3));
  ASSERT_EQ(0, third.Final());
  EXPECT_EQ(abc, Hex(third.digest()));
  // Sponges too.
  ASSERT_EQ(0, from.SetAlgorithm(tw::kHashShake128));
  ASSERT_EQ(0, from.Update(std::string(300, 'x').data(), 300));
  tw::HashEngine sponge;
  ASSERT_EQ(0, sponge.CopyFrom(from));
  ASSERT_EQ(0, from.Final());
  ASSERT_EQ(0, sponge.Final());
  EXPECT_EQ(Hex(from.digest()), Hex(sponge.digest()));
  // Nothing to copy.
  tw::HashEngine bad;
  EXPECT_EQ(tw::kErrHashAlgorithm, bad.SetAlgorithm(18));
  EXPECT_EQ(tw::kErrHashAlgorithm, to.CopyFrom(bad));
  EXPECT_EQ(tw::kErrHashAlgorithm, to.Update("x", 1));
  bad.Reset();
  ASSERT_EQ(0, bad.SetAlgorithm(tw::kHashMd5));
  bad.Reset();
  EXPECT_EQ(tw::kErrOutOfMemory, to.CopyFrom(bad));
  EXPECT_EQ(tw::kErrOutOfMemory, to.Final());
}

TEST(HmacEngine, FailedStartIsRetriedByTheNextUpdate) {
  HmacEngine hmac;
  ASSERT_EQ(0, hmac.SetKey(tw::kHashSha1, "Jefe", 4));
  win::HeapFailAfter(1);
  const int rc = hmac.Update("x", 1);
  win::HeapFailAfter(0);
  EXPECT_EQ(tw::kErrOutOfMemory, rc);
  const std::vector<uint8_t> data = Unhex(kJefeData);
  ASSERT_EQ(0, hmac.Update(data.data(), static_cast<int64_t>(data.size())));
  ASSERT_EQ(0, hmac.Final());
  EXPECT_EQ("effcdf6ae5eb2fa2d27416d5f184df9c259a7c79", Hex(hmac.mac()));
}

TEST(HmacEngine, BadHashIdFailsUntilRekeyed) {
  HmacEngine hmac;
  EXPECT_EQ(tw::kErrHashAlgorithm, hmac.SetKey(18, "k", 1));
  EXPECT_EQ(tw::kErrHashAlgorithm, hmac.Update("x", 1));
  EXPECT_EQ(tw::kErrHashAlgorithm, hmac.Final());
  EXPECT_EQ(tw::kErrHashAlgorithm, hmac.SetKey(-1, "k", 1));
  ASSERT_EQ(0, hmac.SetKey(tw::kHashSha1, "Jefe", 4));
  const std::vector<uint8_t> data = Unhex(kJefeData);
  ASSERT_EQ(0, hmac.Update(data.data(), static_cast<int64_t>(data.size())));
  ASSERT_EQ(0, hmac.Final());
  EXPECT_EQ("effcdf6ae5eb2fa2d27416d5f184df9c259a7c79", Hex(hmac.mac()));
}

TEST(HmacEngine, ComputeRekeysWithTheStoredKey) {
  HmacEngine hmac;
  ASSERT_EQ(0, hmac.SetKey(tw::kHashMd5, "Jefe", 4));
  ASSERT_EQ(0, hmac.Update("half a message", 14));  // abandoned by Compute
  const std::vector<uint8_t> data = Unhex(kJefeData);
  ByteString out;
  ASSERT_EQ(0, hmac.Compute(data.data(), static_cast<int64_t>(data.size()), out));
  EXPECT_EQ("750c783e6ab0b503eaa86e310a5db738", Hex(out));
  ASSERT_EQ(0, hmac.Compute(data.data(), static_cast<int64_t>(data.size()), out));
  EXPECT_EQ("750c783e6ab0b503eaa86e310a5db738", Hex(out));
}

TEST(HmacEngine, VerifyRefusesEmptyAndOverlongTags) {
  HmacEngine hmac;
  ASSERT_EQ(0, hmac.SetKey(tw::kHashMd5, "Jefe", 4));
  const std::vector<uint8_t> data = Unhex(kJefeData);
  ASSERT_EQ(0, hmac.Update(data.data(), static_cast<int64_t>(data.size())));
  ASSERT_EQ(0, hmac.Final());
  std::vector<uint8_t> tag = Unhex("750c783e6ab0b503eaa86e310a5db73800");
  EXPECT_TRUE(hmac.Verify(tag.data(), 16));
  EXPECT_TRUE(hmac.Verify(tag.data(), 8));
  EXPECT_FALSE(hmac.Verify(tag.data(), 17));
  EXPECT_FALSE(hmac.Verify(tag.data(), 0));
  EXPECT_FALSE(hmac.Verify(nullptr, 16));
  EXPECT_FALSE(tw::MacEquals("abcd", "abce", 4));
  EXPECT_TRUE(tw::MacEquals("abcd", "abcd", 4));
}

TEST(HmacMd5, GivesTheSixteenByteMac) {
  ByteString data;
  ByteString key;
  ByteString out;
  const std::vector<uint8_t> d = Unhex(kJefeData);
  ASSERT_EQ(0, data.Set(d.data(), static_cast<int>(d.size())));
  ASSERT_EQ(0, key.SetText("Jefe"));
  ASSERT_EQ(0, tw::HmacMd5(data, key, out));
  EXPECT_EQ("750c783e6ab0b503eaa86e310a5db738", Hex(out));
}

TEST(HmacEncode, MacsTheWholeInputUnderATextOrHexKey) {
  // Several lines, and more than one line-read's worth, must all reach the MAC.
  std::string input = "what do ya want\nfor nothing?\n";
  input += std::string(3000, 'x') + "\nend";
  HmacEngine reference;
  ASSERT_EQ(0, reference.SetKey(tw::kHashSha1, "Jefe", 4));
  ASSERT_EQ(0, reference.Update(input.data(), static_cast<int64_t>(input.size())));
  ASSERT_EQ(0, reference.Final());
  const std::string expected = Hex(reference.mac());
  for (const char* key : {"Jefe", "0x4a656665", "0X4A656665"}) {
    tw::MemoryStream in(input.data(), input.size());
    ByteString written;
    tw::StringStream out(&written);
    ASSERT_EQ(0, tw::HmacEncode(in, out, key, tw::kHashSha1, -1)) << key;
    EXPECT_EQ(expected, Hex(written)) << key;
  }
  for (int length : {4, 0, 20, 99}) {
    tw::MemoryStream in(input.data(), input.size());
    ByteString written;
    tw::StringStream out(&written);
    ASSERT_EQ(0, tw::HmacEncode(in, out, "Jefe", tw::kHashSha1, length));
    EXPECT_EQ(expected.substr(0, static_cast<size_t>(length) * 2), Hex(written)) << length;
  }
  ByteString written;
  tw::StringStream out(&written);
  tw::MemoryStream in2(input.data(), input.size());
  EXPECT_EQ(tw::kErrInvalidValue, tw::HmacEncode(in2, out, "0x4a65666", tw::kHashSha1, -1));
  tw::MemoryStream in3(input.data(), input.size());
  EXPECT_EQ(tw::kErrInvalidValue, tw::HmacEncode(in3, out, "0x4a6566zz", tw::kHashSha1, -1));
  EXPECT_EQ(0, written.length());
}

// ---- HMAC: against python3's hmac ----

struct PyHash {
  const char* python;
  int id;
};
constexpr PyHash kPyHashes[] = {
    {"md5", tw::kHashMd5},        {"sha1", tw::kHashSha1},           {"sha224", tw::kHashSha224},
    {"sha256", tw::kHashSha256},  {"sha384", tw::kHashSha384},       {"sha512", tw::kHashSha512},
    {"sha512_224", tw::kHashSha512_224}, {"sha512_256", tw::kHashSha512_256},
};

int IdOfPython(const std::string& name) {
  for (const PyHash& h : kPyHashes) {
    if (name == h.python) return h.id;
  }
  return -1;
}

TEST(HmacDifferential, RandomKeysAndMessagesAgreeWithPython) {
  // Key lengths around each block size (64 or 128) are drawn often: that is where the key is
  // either used as it stands or digested first.
  const std::string script = R"(
import hmac, random
random.seed(4231)
names = ['md5','sha1','sha224','sha256','sha384','sha512','sha512_224','sha512_256']
def h(b): return b.hex() or '-'
for name in names:
    for i in range(40):
        kl = random.choice([0, 1, 63, 64, 65, 127, 128, 129, 200, random.randrange(0, 300)])
        ml = random.randrange(0, 400)
        k = random.randbytes(kl); m = random.randbytes(ml)
        split = random.randrange(0, ml + 1)
        print(name, h(k), h(m), split, hmac.new(k, m, name).hexdigest())
)";
  const auto lines = kdftest::Python(script);
  if (lines.empty()) {
    TW_REQUIRE_OR_SKIP("/usr/bin/python3 not available");
  }
  ASSERT_EQ(320u, lines.size());
  HmacEngine hmac;
  for (const std::string& line : lines) {
    const auto w = kdftest::Words(line);
    ASSERT_EQ(5u, w.size()) << line;
    const int id = IdOfPython(w[0]);
    const auto key = Field(w[1]);
    const auto msg = Field(w[2]);
    const size_t split = std::stoul(w[3]);
    ASSERT_EQ(0, hmac.SetKey(id, key.data(), static_cast<int>(key.size())));
    ASSERT_EQ(0, hmac.Update(msg.data(), static_cast<int64_t>(split)));
    ASSERT_EQ(0, hmac.Update(msg.data() + split, static_cast<int64_t>(msg.size() - split)));
    ASSERT_EQ(0, hmac.Final());
    EXPECT_EQ(w[4], Hex(hmac.mac())) << line;
  }
}

// ---- HMAC: Wycheproof ----

class HmacWycheproof : public ::testing::TestWithParam<std::pair<const char*, int>> {};

TEST_P(HmacWycheproof, EveryCaseGetsItsVerdict) {
  const std::string json = kdftest::WycheproofFile(GetParam().first);
  if (json.empty()) {
    FAIL() << "Wycheproof vectors not present: " << GetParam().first;
  }
  int declared = 0;
  const auto cases = kdftest::WycheproofCases(json, &declared);
  ASSERT_EQ(static_cast<size_t>(declared), cases.size());
  int valid = 0;
  int invalid = 0;
  HmacEngine hmac;
  for (const auto& c : cases) {
    const auto key = Unhex(c.at("key"));
    const auto msg = Unhex(c.at("msg"));
    const auto tag = Unhex(c.at("tag"));
    const int tagBytes = std::stoi(c.at("tagSize")) / 8;
    ASSERT_EQ(0, hmac.SetKey(GetParam().second, key.data(), static_cast<int>(key.size())));
    ASSERT_EQ(0, hmac.Update(msg.data(), static_cast<int64_t>(msg.size())));
    ASSERT_EQ(0, hmac.Final());
    // A tag of another length than the group's never verifies.
    const bool ok = static_cast<int>(tag.size()) == tagBytes && hmac.Verify(tag.data(), tagBytes);
    if (c.at("result") == "valid") {
      ++valid;
      EXPECT_TRUE(ok) << "tcId " << c.at("tcId");
    } else {
      ++invalid;
      EXPECT_FALSE(ok) << "tcId " << c.at("tcId");
    }
  }
  EXPECT_GT(valid, 0);
  EXPECT_GT(invalid, 0);
}

INSTANTIATE_TEST_SUITE_P(Files, HmacWycheproof,
                         ::testing::Values(std::make_pair("hmac_sha1_test.json", int{tw::kHashSha1}),
                                           std::make_pair("hmac_sha224_test.json", int{tw::kHashSha224}),
                                           std::make_pair("hmac_sha256_test.json", int{tw::kHashSha256}),
                                           std::make_pair("hmac_sha384_test.json", int{tw::kHashSha384}),
                                           std::make_pair("hmac_sha512_test.json", int{tw::kHashSha512})),
                         [](const auto& info) {
                           std::string n = info.param.first;
                           return n.substr(0, n.find('_', 5));
                         });

// ---- PBKDF2 ----

struct Pbkdf2Case {
  const char* password;
  int passwordLength;
  const char* salt;
  int saltLength;
  int iterations;
  int length;
  const char* dk;
};

// RFC 6070 (the 16,777,216-iteration case runs with the Wycheproof file).
const Pbkdf2Case kRfc6070[] = {
    {"password", 8, "salt", 4, 1, 20, "0c60c80f961f0e71f3a9b524af6012062fe037a6"},
    {"password", 8, "salt", 4, 2, 20, "ea6c014dc72d6f8ccd1ed92ace1d41f0d8de8957"},
    {"password", 8, "salt", 4, 4096, 20, "4b007901b765489abead49d926f721d065a429c1"},
    {"passwordPASSWORDpassword", 24, "saltSALTsaltSALTsaltSALTsaltSALTsalt", 36, 4096, 25,
     "3d2eec4fe41c849b80c8d83662c0e44a8b291a964cf2f07038"},
    {"pass\0word", 9, "sa\0lt", 5, 4096, 16, "56fa6aa75548099dcc37d7f03425e0c3"},
};

TEST(Pbkdf2, Rfc6070) {
  for (const Pbkdf2Case& c : kRfc6070) {
    ByteString out;
    ASSERT_EQ(0, tw::Pbkdf2(tw::kHashSha1, c.password, c.passwordLength, c.salt, c.saltLength, c.iterations,
                            c.length * 8, out));
    EXPECT_EQ(c.dk, Hex(out)) << c.password << " " << c.iterations;
  }
}

TEST(Pbkdf2, TwentyNineBlocksAtMost) {
  ByteString out;
  EXPECT_EQ(0, tw::Pbkdf2(tw::kHashSha1, "p", 1, "s", 1, 1, 580 * 8, out));
  EXPECT_EQ(580, out.length());
  EXPECT_EQ(tw::kErrOutOfMemory, tw::Pbkdf2(tw::kHashSha1, "p", 1, "s", 1, 1, 581 * 8, out));
  EXPECT_EQ(0, out.length());
  EXPECT_EQ(0, tw::Pbkdf2(tw::kHashSha512, "p", 1, "s", 1, 1, 1856 * 8, out));
  EXPECT_EQ(tw::kErrOutOfMemory, tw::Pbkdf2(tw::kHashSha512, "p", 1, "s", 1, 1, 1857 * 8, out));
  EXPECT_EQ(tw::kErrOutOfMemory, tw::Pbkdf2(18, "p", 1, "s", 1, 1, 16 * 8, out));
}

TEST(Pbkdf2, RefusesFewerThanOneIterationInsteadOfIgnoringThePassword) {
  HmacEngine hmac;
  uint8_t out[20];
  std::memset(out, 0xA5, sizeof out);
  EXPECT_EQ(tw::kErrInvalidValue, tw::Pbkdf2(hmac, tw::kHashSha1, "password", 8, "salt", 4, 0, 160, out));
  EXPECT_EQ(tw::kErrInvalidValue, tw::Pbkdf2(hmac, tw::kHashSha1, "password", 8, "salt", 4, -5, 160, out));
  for (uint8_t b : out) EXPECT_EQ(0xA5, b);
  EXPECT_EQ(tw::kHashSha1, hmac.pbkdf2_hash_id());
}

TEST(Pbkdf2, PartialBitsRoundDownToWholeBytes) {
  ByteString out;
  ASSERT_EQ(0, tw::Pbkdf2(tw::kHashSha1, "password", 8, "salt", 4, 2, 20 * 8 + 7, out));
  EXPECT_EQ("ea6c014dc72d6f8ccd1ed92ace1d41f0d8de8957", Hex(out));
}

TEST(Pbkdf2Differential, RandomInputsAgreeWithPythonHashlib) {
  const std::string script = R"(
import hashlib, random
random.seed(8018)
names = ['md5','sha1','sha224','sha256','sha384','sha512']
def h(b): return b.hex() or '-'
for name in names:
    hl = hashlib.new(name).digest_size
    for i in range(12):
        p = random.randbytes(random.choice([0, 1, 64, 65, 129, random.randrange(0, 150)]))
        s = random.randbytes(random.randrange(0, 40))
        it = random.randrange(1, 60)
        dk = random.choice([1, hl - 1, hl, hl + 1, 3 * hl + 5, random.randrange(1, 29 * hl + 1)])
        print(name, h(p), h(s), it, dk, hashlib.pbkdf2_hmac(name, p, s, it, dk).hex())
)";
  const auto lines = kdftest::Python(script);
  if (lines.empty()) {
    TW_REQUIRE_OR_SKIP("/usr/bin/python3 not available");
  }
  ASSERT_EQ(72u, lines.size());
  for (const std::string& line : lines) {
    const auto w = kdftest::Words(line);
    ASSERT_EQ(6u, w.size());
    const auto p = Field(w[1]);
    const auto s = Field(w[2]);
    ByteString out;
    ASSERT_EQ(0, tw::Pbkdf2(IdOfPython(w[0]), p.data(), static_cast<int>(p.size()), s.data(), static_cast<int>(s.size()),
                            std::stoi(w[3]), std::stoi(w[4]) * 8, out))
        << line;
    EXPECT_EQ(w[5], Hex(out)) << line;
  }
}

class Pbkdf2Wycheproof : public ::testing::TestWithParam<std::pair<const char*, int>> {};

TEST_P(Pbkdf2Wycheproof, EveryCaseGetsItsVerdict) {
  const std::string json = kdftest::WycheproofFile(GetParam().first);
  if (json.empty()) {
    FAIL() << "Wycheproof vectors not present: " << GetParam().first;
  }
  int declared = 0;
  const auto cases = kdftest::WycheproofCases(json, &declared);
  ASSERT_EQ(static_cast<size_t>(declared), cases.size());
  const int hLen = tw::HashDigestSize(GetParam().second);
  // The 16,777,216-iteration case takes minutes in a sanitized debug build.
  const char* slow = std::getenv("TW_SLOW_TESTS");
  const bool runSlow = slow != nullptr && std::strcmp(slow, "1") == 0;
  int skipped = 0;
  HmacEngine hmac;
  for (const auto& c : cases) {
    const auto password = Unhex(c.at("password"));
    const auto salt = Unhex(c.at("salt"));
    const int iterations = std::stoi(c.at("iterationCount"));
    if (iterations > 100000 && !runSlow) {
      ++skipped;
      continue;
    }
    const int dkLen = std::stoi(c.at("dkLen"));
    std::vector<uint8_t> dk(static_cast<size_t>(dkLen));
    const int rc = tw::Pbkdf2(hmac, GetParam().second, password.data(), static_cast<int>(password.size()),
                              salt.data(), static_cast<int>(salt.size()), iterations, dkLen * 8, dk.data());
    const bool ok = rc == 0 && Hex(dk.data(), dk.size()) == c.at("dk");
    if (c.at("result") == "valid") {
      ASSERT_LE(dkLen, 29 * hLen);
      EXPECT_TRUE(ok) << "tcId " << c.at("tcId") << " rc " << rc;
    } else {
      EXPECT_FALSE(ok) << "tcId " << c.at("tcId");
    }
  }
  if (skipped > 0) std::printf("(%d case(s) above 100000 iterations left to TW_SLOW_TESTS=1)\n", skipped);
}

INSTANTIATE_TEST_SUITE_P(Files, Pbkdf2Wycheproof,
                         ::testing::Values(std::make_pair("pbkdf2_hmacsha1_test.json", int{tw::kHashSha1}),
                                           std::make_pair("pbkdf2_hmacsha224_test.json", int{tw::kHashSha224}),
                                           std::make_pair("pbkdf2_hmacsha256_test.json", int{tw::kHashSha256}),
                                           std::make_pair("pbkdf2_hmacsha384_test.json", int{tw::kHashSha384}),
                                           std::make_pair("pbkdf2_hmacsha512_test.json", int{tw::kHashSha512})),
                         [](const auto& info) {
                           std::string n = info.param.first;
                           return n.substr(7, n.find('_', 7) - 7);
                         });

// ---- MGF1 ----

TEST(Mgf1, AgreesWithAModelOfRfc8017AndAppends) {
  const std::string script = R"(
import hashlib, random
random.seed(8017)
def mgf1(seed, n, name):
    out = b''
    c = 0
    while len(out) < n:
        out += hashlib.new(name, seed + c.to_bytes(4, 'big')).digest()
        c += 1
    return out[:n]
def h(b): return b.hex() or '-'
for name, label in [('sha1','SHA1'), ('sha256','SHA-256'), ('sha384','SHA384'), ('sha512','SHA-512'), ('md5','MD5')]:
    for i in range(6):
        seed = random.randbytes(random.randrange(0, 80))
        n = random.choice([1, 20, 31, 32, 33, 64, 200, random.randrange(1, 600)])
        print(label, h(seed), n, mgf1(seed, n, name).hex())
)";
  const auto lines = kdftest::Python(script);
  if (lines.empty()) {
    TW_REQUIRE_OR_SKIP("/usr/bin/python3 not available");
  }
  for (const std::string& line : lines) {
    const auto w = kdftest::Words(line);
    const auto seed = Field(w[1]);
    ByteString out;
    ASSERT_EQ(0, out.SetText("pre"));
    const void* seedBytes = seed.empty() ? static_cast<const void*>("") : seed.data();  // empty, not missing
    ASSERT_EQ(0, tw::Mgf1(seedBytes, static_cast<int>(seed.size()), w[0].c_str(), std::stoi(w[2]), out)) << line;
    EXPECT_EQ("707265" + w[3], Hex(out)) << line;
  }
}

TEST(Mgf1, EdgeCases) {
  ByteString out;
  ASSERT_EQ(0, out.SetText("keep"));
  EXPECT_EQ(0, tw::Mgf1("seed", 4, "SHA1", 0, out));
  EXPECT_EQ("keep", std::string(out.c_str()));
  EXPECT_EQ(tw::kErrMgfArgument, tw::Mgf1(nullptr, 4, "SHA1", 10, out));
  EXPECT_EQ(tw::kErrMgfArgument, tw::Mgf1("seed", 4, "SHA1", -1, out));
  EXPECT_EQ(tw::kErrMgfArgument, tw::Mgf1("seed", -4, "SHA1", 10, out));
  EXPECT_EQ(tw::kErrHashAlgorithm, tw::Mgf1("seed", 4, "SHA-999", 10, out));
  EXPECT_EQ("keep", std::string(out.c_str()));
}

}  // namespace
