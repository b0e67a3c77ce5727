#include "platform/random.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

namespace {

using win::CryptRandomFault;

class CryptRandom : public ::testing::Test {
 protected:
  void SetUp() override {
    win::SetCryptRandomFaultForTesting(CryptRandomFault::kNone);
    win::ResetKeyContainersForTesting();
    openAtStart_ = win::OpenCryptContextCount();
  }
  void TearDown() override {
    win::SetCryptRandomFaultForTesting(CryptRandomFault::kNone);
    EXPECT_EQ(openAtStart_, win::OpenCryptContextCount());
  }
  long openAtStart_ = 0;
};

TEST_F(CryptRandom, ContainerMustBeCreatedBeforeItCanBeOpened) {
  win::HCRYPTPROV provider = 123;
  EXPECT_FALSE(win::CryptAcquireContextA(&provider, "box", nullptr, win::PROV_RSA_FULL, 0));
  EXPECT_EQ(win::NTE_BAD_KEYSET, win::GetLastError());
  EXPECT_EQ(0u, provider);
  ASSERT_TRUE(win::CryptAcquireContextA(&provider, "box", nullptr, win::PROV_RSA_FULL, win::CRYPT_NEWKEYSET));
  EXPECT_NE(0u, provider);
  win::HCRYPTPROV second = 0;
  EXPECT_FALSE(win::CryptAcquireContextA(&second, "box", nullptr, win::PROV_RSA_FULL, win::CRYPT_NEWKEYSET));
  EXPECT_EQ(win::NTE_EXISTS, win::GetLastError());
  ASSERT_TRUE(win::CryptAcquireContextA(&second, "box", nullptr, win::PROV_RSA_FULL, 0));
  EXPECT_NE(provider, second);
  EXPECT_TRUE(win::CryptReleaseContext(second, 0));
  EXPECT_TRUE(win::CryptReleaseContext(provider, 0));
  EXPECT_FALSE(win::CryptReleaseContext(provider, 0));
  EXPECT_EQ(win::NTE_BAD_UID, win::GetLastError());
}

TEST_F(CryptRandom, VerifyContextNeedsNoContainer) {
  win::HCRYPTPROV provider = 0;
  ASSERT_TRUE(win::CryptAcquireContextA(&provider, nullptr, nullptr, win::PROV_RSA_FULL, win::CRYPT_VERIFYCONTEXT));
  uint8_t b[8];
  EXPECT_TRUE(win::CryptGenRandom(provider, sizeof b, b));
  EXPECT_TRUE(win::CryptReleaseContext(provider, 0));
}

TEST_F(CryptRandom, ShortReadsAndInterruptionsStillFillEveryByte) {
  win::HCRYPTPROV provider = 0;
  ASSERT_TRUE(win::CryptAcquireContextA(&provider, nullptr, nullptr, win::PROV_RSA_FULL, win::CRYPT_VERIFYCONTEXT));
  win::SetCryptRandomFaultForTesting(CryptRandomFault::kShortReads);
  // A fill that stopped early would leave whole 5-byte runs of the marker behind.
  std::vector<uint8_t> buffer(1000, 0xA5);
  const long before = win::KernelRandomCallCount();
  ASSERT_TRUE(win::CryptGenRandom(provider, static_cast<win::DWORD>(buffer.size()), buffer.data()));
  EXPECT_GE(win::KernelRandomCallCount() - before, 200 * 2 - 1);
  for (size_t i = 0; i < buffer.size(); i += 5) {
    bool allMarker = true;
    for (size_t k = i; k < i + 5; ++k) allMarker = allMarker && buffer[k] == 0xA5;
    EXPECT_FALSE(allMarker) << "run at " << i;
  }
  EXPECT_TRUE(win::CryptReleaseContext(provider, 0));
}

TEST_F(CryptRandom, KernelFailureIsReportedNotPapered) {
  win::HCRYPTPROV provider = 0;
  ASSERT_TRUE(win::CryptAcquireContextA(&provider, nullptr, nullptr, win::PROV_RSA_FULL, win::CRYPT_VERIFYCONTEXT));
  win::SetCryptRandomFaultForTesting(CryptRandomFault::kGenerateFails);
  uint8_t b[16];
  EXPECT_FALSE(win::CryptGenRandom(provider, sizeof b, b));
  EXPECT_EQ(win::ERROR_NOT_SUPPORTED, win::GetLastError());
  win::SetCryptRandomFaultForTesting(CryptRandomFault::kNone);
  EXPECT_TRUE(win::CryptGenRandom(provider, sizeof b, b));
  EXPECT_TRUE(win::CryptReleaseContext(provider, 0));
}

TEST_F(CryptRandom, MissingLibraryBindsNothing) {
  win::SetCryptRandomFaultForTesting(CryptRandomFault::kLibraryMissing);
  const win::CryptRandomEntryPoints missing = win::BindCryptRandom();
  EXPECT_EQ(nullptr, missing.acquire);
  EXPECT_EQ(nullptr, missing.generate);
  EXPECT_EQ(nullptr, missing.release);
  win::SetCryptRandomFaultForTesting(CryptRandomFault::kNone);
  const win::CryptRandomEntryPoints bound = win::BindCryptRandom();
  EXPECT_NE(nullptr, bound.acquire);
  EXPECT_NE(nullptr, bound.generate);
  EXPECT_NE(nullptr, bound.release);
}

TEST_F(CryptRandom, LargeFillsAndDistinctOutputs) {
  win::HCRYPTPROV provider = 0;
  ASSERT_TRUE(win::CryptAcquireContextA(&provider, nullptr, nullptr, win::PROV_RSA_AES, win::CRYPT_VERIFYCONTEXT));
  std::vector<uint8_t> big(3u << 20);
  ASSERT_TRUE(win::CryptGenRandom(provider, static_cast<win::DWORD>(big.size()), big.data()));
  // Every byte value turns up in 3 MiB of random bytes (each is missing with odds of e^-12288).
  std::set<uint8_t> seen(big.begin(), big.end());
  EXPECT_EQ(256u, seen.size());
  std::set<std::string> draws;
  for (int i = 0; i < 50; ++i) {
    uint8_t b[16];
    ASSERT_TRUE(win::CryptGenRandom(provider, sizeof b, b));
    draws.insert(std::string(reinterpret_cast<char*>(b), sizeof b));
  }
  EXPECT_EQ(50u, draws.size());
  EXPECT_TRUE(win::CryptGenRandom(provider, 0, nullptr));
  EXPECT_TRUE(win::CryptReleaseContext(provider, 0));
}

}  // namespace
