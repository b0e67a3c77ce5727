// Elliptic-curve keys held by the platform's CNG key storage: signatures checked both ways
// against the library's own ECDSA and against openssl, agreed secrets against the own ECDH, bad
// input; and EC key pairs that hold only their private part.
#include "certs/cng_key.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "certs/key_pair_der.h"
#include "certs/pem_armor.h"
#include "certs/private_key_reader.h"
#include "platform/ncrypt.h"
#include "tests/certs/key_file_support.h"
#include "tests/certs/key_fixtures.h"
#include "tests/support/case_name.h"

namespace tw {
namespace {

using keyfile::Bytes;
using keyfile::Str;
using keyfile::TempDir;

KeyPair ReadFixture(const std::string& name) {
  KeyPair key;
  ByteString der;
  const std::string& pem = keyfix::Pkcs8Pem(name);
  if (PemDecodeWithLabel(&der, "PRIVATE KEY", pem.data(), static_cast<int>(pem.size())) == 0)
    ReadPkcs8PrivateKey(der, &key);
  return key;
}

// An engine over the record that signs, verifies and agrees through its platform key.
int CngEngine(const EcKeyData& key, PublicKey& e) {
  uintptr_t handle = 0;
  int rc = e.SetKey(key);
  if (rc == 0) rc = CngImportEcKey(key, &handle);
  if (rc == 0) e.SetCngKey(handle);
  return rc;
}

struct CurveCase {
  const char* name;
  int curve;
};

class CngSignatures : public testing::TestWithParam<CurveCase> {};
TEST_P(CngSignatures, VerifyWithOwnEcdsaAndOpenssl) {
  const KeyPair key = ReadFixture(GetParam().name);
  if (key.type != kKeyEc) TW_REQUIRE_OR_SKIP("openssl not installed");
  const long open_before = win::OpenNcryptObjects();
  {
    EcKeyData made;
    ASSERT_EQ(CngGenerateEcKey(GetParam().curve, &made), 0);
    EXPECT_TRUE(made.HasPrivate() && EcPublicPointValid(made));
    PublicKey cng, own;
    ASSERT_EQ(CngEngine(key.ec, cng), 0);
    ASSERT_EQ(own.SetKey(key.ec), 0);
    cng.set_der_signatures(true);
    own.set_der_signatures(true);
    std::string digest = testsupport::RandomBytes(32, 7);
    const auto* d = reinterpret_cast<const uint8_t*>(digest.data());
    ByteString by_cng, by_own;
    bool valid = false;
    ASSERT_EQ(cng.Sign(d, 32, by_cng), 0);
    EXPECT_EQ(own.Verify(d, 32, by_cng.bytes(), by_cng.length(), &valid), 0);
    EXPECT_TRUE(valid);
    ASSERT_EQ(own.Sign(d, 32, by_own), 0);
    EXPECT_EQ(cng.Verify(d, 32, by_own.bytes(), by_own.length(), &valid), 0);
    EXPECT_TRUE(valid);

    TempDir dir;
    DerWriter w;
    ByteString pub;
    ASSERT_EQ(WriteSubjectPublicKeyInfo(key, &w), 0);
    ASSERT_EQ(PemEncodeBytes("PUBLIC KEY", w.output(), &pub), 0);
    testsupport::WriteFile(dir / "pub.pem", Str(pub));
    testsupport::WriteFile(dir / "key.pem", keyfix::Pkcs8Pem(GetParam().name));
    testsupport::WriteFile(dir / "digest", digest);
    testsupport::WriteFile(dir / "cng.sig", Str(by_cng));
    const std::string cd = "cd " + testsupport::ShellQuote(dir.path) + " && openssl pkeyutl ";
    int status = -1;
    testsupport::RunCommand(cd + "-verify -pubin -inkey pub.pem -in digest -sigfile cng.sig", "", &status);
    EXPECT_EQ(status, 0) << "openssl rejects the platform's signature";
    testsupport::RunCommand(cd + "-sign -inkey key.pem -in digest -out theirs.sig", "", &status);
    ASSERT_EQ(status, 0);
    const std::string theirs = testsupport::ReadFile(dir / "theirs.sig");
    EXPECT_EQ(cng.Verify(d, 32, Bytes(theirs).bytes(), static_cast<int>(theirs.size()), &valid), 0);
    EXPECT_TRUE(valid);

    // Without the DER switch the platform's r || s comes through as it is.
    cng.set_der_signatures(false);
    ASSERT_EQ(cng.Sign(d, 32, by_cng), 0);
    EXPECT_EQ(by_cng.length(), 2 * CurveKeySize(GetParam().curve));
    EXPECT_EQ(own.Verify(d, 32, by_cng.bytes(), by_cng.length(), &valid), 0);
    EXPECT_TRUE(valid);
    digest[0] ^= 1;
    EXPECT_EQ(cng.Verify(d, 32, by_cng.bytes(), by_cng.length(), &valid), 0);
    EXPECT_FALSE(valid);
  }
  EXPECT_EQ(win::OpenNcryptObjects(), open_before);  // every key and provider freed
}
INSTANTIATE_TEST_SUITE_P(Curves, CngSignatures,
                         testing::Values(CurveCase{"p256", 0}, CurveCase{"p384", 1}, CurveCase{"p521", 2}),
                         testsupport::CaseName{});

struct KdfCase {
  const char* name;
  int curve;
  int kdf;
};
class CngDerivation : public testing::TestWithParam<KdfCase> {};
TEST_P(CngDerivation, EqualsOwnEcdh) {
  EcKeyData mine, peer;
  ASSERT_EQ(EcGenerateKey(GetParam().curve, mine), 0);
  ASSERT_EQ(EcGenerateKey(GetParam().curve, peer), 0);
  PublicKey cng, own;
  ASSERT_EQ(CngEngine(mine, cng), 0);
  ASSERT_EQ(own.SetKey(mine), 0);
  const std::string label = "master secret", seed = testsupport::RandomBytes(64, 3), mac_key = "key";
  const auto* l = reinterpret_cast<const uint8_t*>(label.data());
  const auto* s = reinterpret_cast<const uint8_t*>(seed.data());
  const auto* k = reinterpret_cast<const uint8_t*>(mac_key.data());
  ByteString theirs, ours;
  ASSERT_EQ(cng.DeriveSharedSecret(peer, GetParam().kdf, l, 13, s, 64, k, 3, theirs), 0);
  ASSERT_EQ(own.DeriveSharedSecret(peer, GetParam().kdf, l, 13, s, 64, k, 3, ours), 0);
  EXPECT_GT(ours.length(), 0);
  EXPECT_TRUE(theirs.Equals(ours));
}
INSTANTIATE_TEST_SUITE_P(Kdfs, CngDerivation,
                         testing::Values(KdfCase{"P256_SHA1", 0, kEcdhKdfSha1}, KdfCase{"P256_SHA256", 0, kEcdhKdfSha256},
                                         KdfCase{"P384_SHA512", 1, kEcdhKdfSha512}, KdfCase{"P521_HMAC_SHA1", 2, kEcdhKdfHmacSha1},
                                         KdfCase{"P384_HMAC_SHA256", 1, 8}, KdfCase{"P256_HMAC_MD5", 0, kEcdhKdfHmacMd5},
                                         KdfCase{"P521_TLS_PRF", 2, kEcdhKdfTlsPrf}),
                         testsupport::CaseName{});

EcKeyData P256(const char* x, const char* y) {
  EcKeyData k;
  k.curve_id = 0;
  k.X = Bytes(testsupport::Unhex(x));
  k.Y = Bytes(testsupport::Unhex(y));
  return k;
}
std::string Blob(uint32_t magic, uint32_t size, size_t body) {
  std::string b(8 + body, '\x01');
  for (int i = 0; i < 4; ++i) b[i] = static_cast<char>(magic >> (8 * i)), b[4 + i] = static_cast<char>(size >> (8 * i));
  return b;
}
int PlatformImport(const std::string& blob) {
  win::NCRYPT_PROV_HANDLE p = 0;
  win::NCRYPT_KEY_HANDLE k = 0;
  int rc = win::NCryptOpenStorageProvider(&p, win::MS_KEY_STORAGE_PROVIDER, 0);
  if (rc == 0) rc = win::NCryptImportKey(p, 0, win::BCRYPT_ECCPUBLIC_BLOB, nullptr, &k,
                                         reinterpret_cast<const uint8_t*>(blob.data()), blob.size(), 0);
  if (k != 0) win::NCryptFreeObject(k);
  if (p != 0) win::NCryptFreeObject(p);
  return rc;
}
// A P-256 engine with its platform key, and a verdict folded into the code (code * 10 + valid).
int WithEngine(const std::function<int(PublicKey&, const uint8_t*)>& run) {
  EcKeyData key;
  PublicKey e;
  const uint8_t digest[32] = {1};
  if (EcGenerateKey(0, key) || CngEngine(key, e)) return 999;
  return run(e, digest);
}
int VerifyCode(PublicKey& e, const uint8_t* d, int length, const ByteString& sig) {
  bool valid = true;
  const int rc = e.Verify(d, length, sig.bytes(), sig.length(), &valid);
  return rc * 10 + (valid ? 1 : 0);
}
int Off(const std::function<int()>& run) {
  win::SetLibraryEnabled(kCngLibrary, false);
  const int rc = run();
  win::SetLibraryEnabled(kCngLibrary, true);
  return rc;
}

struct BadCase {
  const char* name;
  int expected;
  std::function<int()> run;
};
const int kBadData = static_cast<int>(win::NTE_BAD_DATA);
const BadCase kBadCases[] = {
    {"generate_edwards_curve", 1401, [] { EcKeyData k; return CngGenerateEcKey(3, &k); }},
    {"import_x25519", 1401, [] { EcKeyData k; uintptr_t h; k.curve_id = 5; k.public_bytes.Resize(32); return CngImportEcKey(k, &h); }},
    {"import_x_wider_than_curve", 1401, [] { uintptr_t h; return CngImportEcKey(P256(std::string(66, '1').c_str(), "01"), &h); }},
    {"import_without_key", 1403, [] { EcKeyData k; uintptr_t h; k.curve_id = 0; return CngImportEcKey(k, &h); }},
    {"import_point_off_curve", kBadData, [] { uintptr_t h = 1; const int rc = CngImportEcKey(P256("01", "01"), &h); return h == 0 ? rc : 0; }},
    {"platform_blob_cut", kBadData, [] { return PlatformImport(Blob(win::BCRYPT_ECDSA_PUBLIC_P256_MAGIC, 32, 63)); }},
    {"platform_blob_key_size_of_p384", kBadData, [] { return PlatformImport(Blob(win::BCRYPT_ECDSA_PUBLIC_P256_MAGIC, 48, 96)); }},
    {"platform_private_magic_as_public", kBadData, [] { return PlatformImport(Blob(win::BCRYPT_ECDSA_PRIVATE_P256_MAGIC, 32, 64)); }},
    {"read_cut_blob", kErrEcCngBlob, [] { EcKeyData k; return k.ImportCngBlob(Bytes(std::string(7, '\1'))); }},
    {"verify_without_digest", 14020, [] { return WithEngine([](PublicKey& e, const uint8_t* d) { return VerifyCode(e, d, 0, Bytes("s")); }); }},
    {"verify_without_signature", 14050, [] { return WithEngine([](PublicKey& e, const uint8_t* d) { return VerifyCode(e, d, 32, ByteString()); }); }},
    {"verify_short_signature", 0, [] { return WithEngine([](PublicKey& e, const uint8_t* d) { return VerifyCode(e, d, 32, Bytes(std::string(63, '\1'))); }); }},
    {"verify_without_public_part", 14030, [] {
       PublicKey e; EcKeyData k; uintptr_t h = 0; const uint8_t d[32] = {1};
       if (EcGenerateKey(0, k) || CngImportEcKey(k, &h)) return 999;
       k.X.Reset(); k.Y.Reset(); e.SetKey(k); e.SetCngKey(h);
       return VerifyCode(e, d, 32, Bytes("sig")); }},
    {"derive_with_other_curve", kErrEcCurveMismatch, [] {
       return WithEngine([](PublicKey& e, const uint8_t*) { EcKeyData p; ByteString o; EcGenerateKey(1, p); return e.DeriveSharedSecret(p, 1, nullptr, 0, nullptr, 0, nullptr, 0, o); }); }},
    {"platform_agreement_other_curve", static_cast<int>(win::NTE_INVALID_PARAMETER), [] {
       return WithEngine([](PublicKey& e, const uint8_t*) { EcKeyData p; ByteString o; EcGenerateKey(2, p); return CngDeriveKey(e.CngKey(), p, "HASH", "SHA256", {}, {}, &o); }); }},
    {"derive_unknown_hash", static_cast<int>(win::NTE_NOT_SUPPORTED), [] {
       return WithEngine([](PublicKey& e, const uint8_t*) { EcKeyData p; ByteString o; EcGenerateKey(0, p); return CngDeriveKey(e.CngKey(), p, "HASH", "MD4", {}, {}, &o); }); }},
    {"switched_off_sign", kErrCngMissing, [] {
       return WithEngine([](PublicKey& e, const uint8_t* d) { return Off([&] { ByteString s; return e.Sign(d, 32, s); }); }); }},
    {"switched_off_verify", kErrCngMissing * 10, [] {
       return WithEngine([](PublicKey& e, const uint8_t* d) { return Off([&] { return VerifyCode(e, d, 32, Bytes("sig")); }); }); }},
};
class CngBadInput : public testing::TestWithParam<BadCase> {};
TEST_P(CngBadInput, GivesTheCode) { EXPECT_EQ(GetParam().run(), GetParam().expected); }
INSTANTIATE_TEST_SUITE_P(Cases, CngBadInput, testing::ValuesIn(kBadCases), testsupport::CaseName{});

// An engine that holds only D and the platform key takes the rest from the platform.
struct ExportCase {
  const char* name;
  int curve;
  bool with_private;
  bool ncrypt_on;
  int expected;
};
class CngGetKey : public testing::TestWithParam<ExportCase> {};
TEST_P(CngGetKey, ExportsThePlatformKey) {
  const ExportCase& c = GetParam();
  EcKeyData full, bare, out;
  uintptr_t handle = 0;
  ASSERT_EQ(EcGenerateKey(c.curve, full), 0);
  ASSERT_EQ(CngImportEcKey(full, &handle), 0);
  ASSERT_EQ(bare.Copy(full, true), 0);
  bare.X.Reset();
  bare.Y.Reset();
  PublicKey e;
  ASSERT_EQ(e.SetKey(bare), 0);
  e.SetCngKey(handle);
  win::SetLibraryEnabled(kCngLibrary, c.ncrypt_on);
  const int rc = e.GetKey(c.with_private, out);
  win::SetLibraryEnabled(kCngLibrary, true);
  ASSERT_EQ(rc, c.expected);
  if (rc != 0) return;
  EXPECT_TRUE(out.X.Equals(full.X) && out.Y.Equals(full.Y));
  EXPECT_EQ(out.D.Equals(full.D), c.with_private);
}
INSTANTIATE_TEST_SUITE_P(Cases, CngGetKey,
                         testing::Values(ExportCase{"p256_public", 0, false, true, 0},
                                         ExportCase{"p384_private", 1, true, true, 0},
                                         ExportCase{"p521_private", 2, true, true, 0},
                                         ExportCase{"ncrypt_switched_off", 0, true, false, kErrEcFieldId}),
                         testsupport::CaseName{});

// A key pair whose file carried only the private part is completed and written whole.
class PrivateOnlyKeys : public testing::TestWithParam<const char*> {};
TEST_P(PrivateOnlyKeys, AreCompletedAndWritten) {
  const KeyPair full = ReadFixture(GetParam());
  if (full.type == kKeyNone) TW_REQUIRE_OR_SKIP("openssl not installed");
  KeyPair bare;
  ASSERT_EQ(bare.CopyFrom(full), 0);
  EcKeyData& r = bare.type == kKeyEc ? bare.ec : bare.edwards;
  r.X.Reset();
  r.Y.Reset();
  r.public_bytes.Reset();
  ASSERT_EQ(bare.DerivePublic(), 0);
  EXPECT_TRUE(SamePublicKey(bare, full));
  if (bare.type != kKeyEc) return;
  r.X.Reset();
  r.Y.Reset();
  ByteString out;
  ASSERT_EQ(WritePrivateKey(bare, true, &out), 0);
  EXPECT_EQ(keyfix::Openssl("pkey -text -noout", Str(out)), keyfix::Openssl("pkey -text -noout", keyfix::Pkcs8Pem(GetParam())));
}
INSTANTIATE_TEST_SUITE_P(Keys, PrivateOnlyKeys, testing::Values("p256", "p384", "p521", "ed25519", "x448"),
                         testsupport::CaseName{});

}  // namespace
}  // namespace tw
