// Key blobs against the blobs libcrypto writes for the same keys, round trips, and refusals.
#include <gtest/gtest.h>

#include <string>

#include "certs/key_blob.h"
#include "certs/pem_armor.h"
#include "certs/private_key_reader.h"
#include "foundation/byte_reader.h"
#include "platform/private_key_blob.h"
#include "tests/certs/key_fixtures.h"

namespace tw {
namespace {

using keyfix::Openssl;

KeyPair KeyOf(const std::string& pem) {
  ByteString bytes;
  PemDecodeWithLabel(&bytes, "PRIVATE KEY", pem.data(), static_cast<int>(pem.size()));
  KeyPair key;
  EXPECT_EQ(ReadPkcs8PrivateKey(bytes, &key), kOk);
  return key;
}

std::string Str(const ByteString& b) { return std::string(b.data(), static_cast<size_t>(b.length())); }

struct RsaCase {
  int bits;
};
class RsaKeyBlob : public testing::TestWithParam<RsaCase> {};

// Sizes that are no multiple of 64 catch a bit length rounded from the byte count.
TEST_P(RsaKeyBlob, EqualsTheOraclesBlobsAndReadsBack) {
  const std::string pem = Openssl("genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:" + std::to_string(GetParam().bits), "");
  if (pem.empty()) { TW_REQUIRE_OR_SKIP("openssl missing"); }
  const KeyPair key = KeyOf(pem);
  ByteString priv, pub;
  ASSERT_EQ(WritePrivateKeyBlob(key, &priv), kOk);
  ASSERT_EQ(WritePublicKeyBlob(key, &pub), kOk);
  EXPECT_EQ(Str(priv), Openssl("rsa -outform MSBLOB", pem));
  EXPECT_EQ(Str(pub), Openssl("rsa -pubout -outform MSBLOB", pem));
  for (const ByteString* blob : {&priv, &pub}) {
    KeyPair back;
    ASSERT_EQ(ReadKeyBlob(blob->bytes(), blob->length(), &back), kOk);
    ByteString again;
    ASSERT_EQ(blob == &priv ? WritePrivateKeyBlob(back, &again) : WritePublicKeyBlob(back, &again), kOk);
    EXPECT_EQ(Str(again), Str(*blob));
  }
}

INSTANTIATE_TEST_SUITE_P(Sizes, RsaKeyBlob, testing::Values(RsaCase{1024}, RsaCase{1000}, RsaCase{1032}, RsaCase{2048}),
                         [](const auto& info) { return std::to_string(info.param.bits); });

TEST(DssKeyBlob, RoundTripsWithItsLayout) {
  const std::string pem = keyfix::Pkcs8Pem("dsa");
  if (pem.empty()) { TW_REQUIRE_OR_SKIP("openssl missing"); }
  const KeyPair key = KeyOf(pem);
  ByteString priv;
  ASSERT_EQ(WritePrivateKeyBlob(key, &priv), kOk);
  // Header, magic, bit lengths of P, Q, J and X, the seed, then P, Q, G, Y at P's width and X.
  ASSERT_GT(priv.length(), 20);
  const int q_bytes = priv.bytes()[16] / 8 + priv.bytes()[17] * 32;
  EXPECT_EQ(q_bytes, 28);  // the oracle's default for 1024-bit P
  ASSERT_EQ(priv.length(), 8 + 4 + 16 + 24 + 128 * 3 + q_bytes * 2);
  EXPECT_EQ(Str(priv).substr(0, 12), std::string("\x07\x03\x00\x00\x00\x22\x00\x00" "DSS4", 12));
  KeyPair back;
  ASSERT_EQ(ReadKeyBlob(priv.bytes(), priv.length(), &back), kOk);
  ByteString again;
  ASSERT_EQ(WritePrivateKeyBlob(back, &again), kOk);
  EXPECT_EQ(Str(again), Str(priv));
}

// Keys and blobs the writer and reader must refuse.
struct Refusal {
  const char* name;
  int expected;
  int (*run)();
};

int EcKey() {
  KeyPair key = KeyOf(keyfix::Pkcs8Pem("p256"));
  ByteString out;
  return WritePrivateKeyBlob(key, &out);
}
int OversizedPrime() {
  KeyPair key = KeyOf(keyfix::Pkcs8Pem("rsa"));
  key.rsa.P.Assign(key.rsa.N);  // wider than half the modulus
  ByteString out;
  return WritePrivateKeyBlob(key, &out);
}
int WideExponent() {
  KeyPair key = KeyOf(keyfix::Pkcs8Pem("rsa"));
  key.rsa.E.Set("\x01\x00\x00\x00\x01", 5);
  ByteString out;
  return WritePublicKeyBlob(key, &out);
}
int Truncated() {
  KeyPair key = KeyOf(keyfix::Pkcs8Pem("rsa"));
  ByteString blob;
  WritePrivateKeyBlob(key, &blob);
  return ReadKeyBlob(blob.bytes(), blob.length() - 1, &key);
}
int HugeBitLength() {
  const uint8_t blob[] = {7, 2, 0, 0, 0, 0xA4, 0, 0, 'R', 'S', 'A', '2', 0, 0, 0, 0x40, 1, 0, 1, 0};
  KeyPair key;
  return ReadKeyBlob(blob, sizeof blob, &key);
}
int WrongMagic() {
  const uint8_t blob[] = {7, 2, 0, 0, 0, 0xA4, 0, 0, 'R', 'S', 'A', '1', 8, 0, 0, 0, 1, 0, 1, 0, 0xC5};
  KeyPair key;
  return ReadKeyBlob(blob, sizeof blob, &key);
}

class KeyBlobRefusal : public testing::TestWithParam<Refusal> {};
TEST_P(KeyBlobRefusal, IsAnError) {
  if (keyfix::Pkcs8Pem("rsa").empty()) { TW_REQUIRE_OR_SKIP("openssl missing"); }
  EXPECT_EQ(GetParam().run(), GetParam().expected);
}
INSTANTIATE_TEST_SUITE_P(Cases, KeyBlobRefusal,
                         testing::Values(Refusal{"EcKey", kErrKeyBlobKind, EcKey},
                                         Refusal{"OversizedPrime", kErrKeyBlobComponent, OversizedPrime},
                                         Refusal{"WideExponent", kErrKeyBlobComponent, WideExponent},
                                         Refusal{"Truncated", kErrKeyBlobFormat, Truncated},
                                         Refusal{"HugeBitLength", kErrKeyBlobFormat, HugeBitLength},
                                         Refusal{"WrongMagic", kErrKeyBlobFormat, WrongMagic}),
                         [](const auto& info) { return std::string(info.param.name); });

// Through the platform's import: a modulus just under whole 64-bit words, a DSA private value at its own width.
TEST(KeyBlobImport, PlatformTakesTheSameKey) {
  const win::OpenSslEntries* o = win::LoadOpenSsl();
  KeyPair rsa = KeyOf(Openssl("genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2047", "")), dsa = KeyOf(keyfix::Pkcs8Pem("dsa"));
  dsa.dsa.X.Set("\x05", 1), dsa.dsa.Y.Reset();
  for (auto [key, want, field, param] : {std::tuple{&rsa, &rsa.rsa.N, 2048u, "n"}, std::tuple{&dsa, &dsa.dsa.X, 8u, "priv"}}) {
    ByteString blob, got;
    ASSERT_EQ(WritePrivateKeyBlob(*key, &blob), kOk);
    EXPECT_EQ(LoadUInt32LE(blob.bytes(), key == &rsa ? 12 : 24), field);
    win::OsslPkey* platform_key = win::PrivateKeyFromBlob(*o, blob.bytes(), static_cast<size_t>(blob.length()));
    win::OsslBignum* bn = nullptr;
    ASSERT_TRUE(platform_key != nullptr && o->EVP_PKEY_get_bn_param(platform_key, param, &bn) == 1);
    EXPECT_TRUE(got.Resize(want->length()) == kOk && o->BN_bn2binpad(bn, got.bytes(), got.length()) > 0 && got.Equals(*want));
    o->BN_free(bn), o->EVP_PKEY_free(platform_key);
  }
}
}  // namespace
}  // namespace tw
