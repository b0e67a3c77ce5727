// Without the platform's generator every operation that needs randomness fails with the random
// source's code; nothing is made from a weaker substitute.
#include <gtest/gtest.h>

#include <functional>

#include "crypto/pubkey/dsa_engine.h"
#include "crypto/pubkey/prime_search.h"
#include "crypto/pubkey/rsa_engine.h"
#include "platform/random.h"
#include "tests/crypto/pubkey/pubkey_test_util.h"
#include "tests/support/case_name.h"

namespace tw {
namespace {

using testing_pk::SetStr;

struct NeedsRandom {
  const char* what;
  std::function<int(RsaEngine&, DsaEngine&)> run;
};

const NeedsRandom kOps[] = {
    {"random bits", [](RsaEngine&, DsaEngine&) { RandomSource r; BigNumber n; return n.SetRandomBits(64, r); }},
    {"prime", [](RsaEngine&, DsaEngine&) { RandomSource r; BigNumber n; return ProbablePrime(64, 10, r, n); }},
    {"RSA key", [](RsaEngine&, DsaEngine&) { RsaEngine g; RsaKeyData k; return g.GetKey(k, true, true); }},
    {"v1.5 encryption", [](RsaEngine& r, DsaEngine&) { ByteString m, o; SetStr(m, "m"); return r.EncryptPkcs1(m, o); }},
    {"OAEP", [](RsaEngine& r, DsaEngine&) { ByteString m, o; SetStr(m, "m"); return r.Encrypt(m, true, ByteString(), "", "", o); }},
    {"PSS", [](RsaEngine& r, DsaEngine&) { ByteString h, o; SetStr(h, std::string(20, 'h')); return r.Sign(h, "SHA1", true, 20, o); }},
    {"DSA signature", [](RsaEngine&, DsaEngine& d) { ByteString h, o; SetStr(h, std::string(20, 'h')); return d.Sign(h, o); }},
    {"DSA key", [](RsaEngine&, DsaEngine&) { DsaEngine g; DsaKeyData k; g.SetKeySize(512); return g.GetKey(k, true, false); }},
};

class RandomFailureTest : public ::testing::TestWithParam<NeedsRandom> {};

TEST_P(RandomFailureTest, FailsWithTheSourcesCode) {
  RsaEngine rsa;
  DsaEngine dsa;
  {
    // Keys are made while the generator works.
    RsaKeyData rk;
    rsa.SetKeySize(512);
    ASSERT_EQ(rsa.GetKey(rk, true, true), kOk);
    DsaKeyData dk;
    dsa.SetKeySize(512);
    ASSERT_EQ(dsa.GetKey(dk, true, false), kOk);
  }
  for (auto fault : {win::CryptRandomFault::kLibraryMissing, win::CryptRandomFault::kGenerateFails}) {
    RsaEngine r;
    DsaEngine d;
    ASSERT_EQ(r.SetKey(rsa.key()), kOk);
    ASSERT_EQ(d.SetKey(dsa.key()), kOk);
    win::SetCryptRandomFaultForTesting(fault);
    const int rc = GetParam().run(r, d);
    win::SetCryptRandomFaultForTesting(win::CryptRandomFault::kNone);
    EXPECT_EQ(rc, kErrRandomUnavailable) << GetParam().what;
  }
}

INSTANTIATE_TEST_SUITE_P(Operations, RandomFailureTest, ::testing::ValuesIn(kOps),
    [](const auto& i) { const auto& p = i.param; return testsupport::MakeName(p.what); });

}  // namespace
}  // namespace tw
