// The cipher engine: every cipher in every mode and padding, fed in random pieces, against python's
// cryptography package (with libgcrypt for what it lacks) and `openssl enc`; the Wycheproof AES-CBC,
// AES-GCM and ChaCha20-Poly1305 vectors with their verdicts; tampered AEAD messages, wrong keys,
// the record-layer holder and allocation failure.
#include "crypto/symmetric/cipher_engine.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "crypto/symmetric/random_source.h"
#include "platform/heap.h"
#include "platform/random.h"
#include "tests/support/test_support.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Hex(const std::string& text) {
  Bytes out;
  for (size_t i = 0; i + 1 < text.size(); i += 2) {
    out.push_back(static_cast<uint8_t>(std::stoi(text.substr(i, 2), nullptr, 16)));
  }
  return out;
}

std::string ToHex(const uint8_t* p, size_t n) {
  static const char* digits = "0123456789abcdef";
  std::string s;
  for (size_t i = 0; i < n; ++i) {
    s += digits[p[i] >> 4];
    s += digits[p[i] & 15];
  }
  return s;
}
std::string ToHex(const Bytes& b) { return ToHex(b.data(), b.size()); }
std::string HexOrDash(const Bytes& b) { return b.empty() ? "-" : ToHex(b); }

Bytes RandomBytes(std::mt19937& rng, size_t n) {
  Bytes b(n);
  for (auto& x : b) x = static_cast<uint8_t>(rng());
  return b;
}

Bytes FromString(const tw::ByteString& s) { return Bytes(s.bytes(), s.bytes() + s.length()); }

// What to configure on an engine.
struct CipherSetup {
  int id = tw::kCipherAes;
  int mode = tw::kCipherModeCbc;
  int padding = tw::kPaddingNone;
  int block_bits = 0;  // 0: the cipher's own
  bool bit8 = false;   // 8-bit OFB / CFB
  Bytes key, iv, aad;
  int salsa_variant = -1;
  uint64_t counter = 0;
  int tag_bits = -1;
};

int Configure(tw::CipherEngine& e, const CipherSetup& s) {
  int rc = e.SetAlgorithm(s.id);
  if (rc == 0 && s.block_bits) rc = e.SetBlockBits(s.block_bits);
  if (rc != 0) return rc;
  if (!e.IsStream()) e.SetMode(s.mode);
  e.SetPadding(s.padding);
  e.SetFeedbackBits(s.bit8 ? 8 : e.BlockBits());
  if (s.salsa_variant >= 0) e.SetSalsaVariant(s.salsa_variant);
  e.SetInitialCounter(s.counter);
  if (s.tag_bits >= 0 && (rc = e.SetTagBits(s.tag_bits)) != 0) return rc;
  if ((rc = e.SetKey(s.key.data(), static_cast<int>(s.key.size()))) != 0) return rc;
  if ((rc = e.SetIv(s.iv.data(), static_cast<int>(s.iv.size()))) != 0) return rc;
  return e.SetAad(s.aad.data(), static_cast<int>(s.aad.size()));
}

struct Outcome {
  int rc = 0;
  Bytes out;
  Bytes tag;
};

// Feeds data the way a caller does: random pieces through Update, keeping what Update did not
// take, sometimes at an offset into a larger buffer; the rest through Final. No rng: one Final.
Outcome Drive(tw::CipherEngine& e, bool encrypt, const Bytes& data, std::mt19937* rng,
              const Bytes* tag = nullptr) {
  Outcome r;
  tw::ByteString out;
  r.rc = encrypt ? e.StartEncrypt() : e.StartDecrypt();
  if (r.rc != 0) return r;
  if (tag) e.SetTag(tag->data(), static_cast<int>(tag->size()));
  Bytes carry;
  size_t pos = 0;
  while (rng && pos < data.size() && (*rng)() % 5 != 0) {
    size_t piece = (*rng)() % (data.size() - pos + 1);
    if ((*rng)() % 3 == 0) piece = std::min<size_t>(piece, (*rng)() % 4);
    carry.insert(carry.end(), data.begin() + pos, data.begin() + pos + piece);
    pos += piece;
    const int offset = static_cast<int>((*rng)() % 3);
    Bytes buffer(offset, 0xEE);
    buffer.insert(buffer.end(), carry.begin(), carry.end());
    int n = static_cast<int>(carry.size());
    r.rc = e.Update(buffer.data(), offset, &n, out);
    if (r.rc != 0) return r;
    if (n < 0 || n > static_cast<int>(carry.size())) {
      r.rc = -999;
      return r;
    }
    carry.erase(carry.begin(), carry.begin() + n);
  }
  carry.insert(carry.end(), data.begin() + pos, data.end());
  r.rc = e.Final(carry.data(), 0, static_cast<int>(carry.size()), out);
  r.out = FromString(out);
  r.tag = FromString(e.GetTag());
  return r;
}

Outcome Encrypt(const CipherSetup& s, const Bytes& data, std::mt19937* rng) {
  tw::CipherEngine e;
  Outcome r;
  if ((r.rc = Configure(e, s)) != 0) return r;
  return Drive(e, true, data, rng);
}

Outcome Decrypt(const CipherSetup& s, const Bytes& data, std::mt19937* rng, const Bytes* tag = nullptr) {
  tw::CipherEngine e;
  Outcome r;
  if ((r.rc = Configure(e, s)) != 0) return r;
  return Drive(e, false, data, rng, tag);
}

size_t BlockBytesOf(const CipherSetup& s) {
  tw::CipherEngine e;
  e.SetAlgorithm(s.id);
  if (s.block_bits) e.SetBlockBits(s.block_bits);
  return static_cast<size_t>(e.BlockBits() / 8);
}

// ---------------------------------------------------------------------------------------------
// Selection and length rules

TEST(CipherEngineSelection, NamesIdsAndLengthRules) {
  tw::CipherEngine e;
  const std::pair<const char*, int> names[] = {{"  AES\t", 0},
                                               {"des", 1},
                                               {"3DES", 2},
                                               {"TripleDES", 2},
                                               {"cast5", 3},
                                               {"CAST128", 3},
                                               {"Blowfish", 4},
                                               {"twofish", 5},
                                               {"idea", 6},
                                               {"RC4", 7},
                                               {"arcfour", 7},
                                               {"rc2", 8},
                                               {"tea", 9},
                                               {"XTEA", 10},
                                               {"blocktea", 10},
                                               {"xxtea", 11},
                                               {"CorrectedBlockTEA", 11},
                                               {"AES-GCM", 12},
                                               {"Rijndael", 13},
                                               {"chacha20", 14},
                                               {"ChaCha20-Poly1305", 15},
                                               {"Salsa20", 16}};
  for (const auto& [name, id] : names) {
    ASSERT_EQ(e.SetAlgorithmByName(name), 0) << name;
    EXPECT_EQ(e.CipherId(), id) << name;
  }
  for (const char* bad : {"aes-128", "aes cbc", "", "salsa", "chacha20poly1305"}) {
    EXPECT_EQ(e.SetAlgorithmByName(bad), tw::kErrCipherUnknown) << bad;
  }
  EXPECT_EQ(e.CipherId(), 16);  // unchanged by the failures
  EXPECT_EQ(e.SetAlgorithm(17), tw::kErrCipherUnknown);
  EXPECT_EQ(e.SetAlgorithm(-1), tw::kErrCipherUnknown);
  EXPECT_EQ(e.CipherId(), 16);

  uint8_t key[257] = {};
  struct Rule {
    int id;
    int min_bytes, max_bytes;
  };
  for (const Rule& r : {Rule{0, 16, 32}, Rule{4, 1, 56}, Rule{3, 5, 16}, Rule{7, 1, 256}, Rule{8, 1, 16},
                        Rule{1, 8, 8}, Rule{6, 16, 16}}) {
    ASSERT_EQ(e.SetAlgorithm(r.id), 0);
    EXPECT_EQ(e.SetKey(key, r.min_bytes - 1), tw::kErrCipherKeyBits) << r.id;
    EXPECT_EQ(e.SetKey(key, r.min_bytes), 0) << r.id;
    EXPECT_EQ(e.SetKey(key, r.max_bytes), 0) << r.id;
    EXPECT_EQ(e.SetKey(key, r.max_bytes + 1), tw::kErrCipherKeyBits) << r.id;
  }
  ASSERT_EQ(e.SetAlgorithm(0), 0);
  EXPECT_EQ(e.SetKey(key, 24), 0);
  EXPECT_EQ(e.SetKey(key, 20), tw::kErrCipherKeyBits);
  EXPECT_EQ(e.SetKey(key, 0), tw::kErrCipherKeyBits);
  EXPECT_EQ(e.SetIv(key, 8), tw::kErrCipherBlockBits);
  e.SetMode(tw::kCipherModeEcb);
  EXPECT_EQ(e.SetIv(key, 8), 0);
  EXPECT_EQ(e.GetIv().length(), 0);  // nothing stored in ECB

  // A stream cipher keeps its nonce whatever mode an earlier selection left behind.
  ASSERT_EQ(e.SetAlgorithm(tw::kCipherChaCha20), 0);
  EXPECT_EQ(e.Mode(), tw::kCipherModeEcb);
  EXPECT_EQ(e.SetIv(key, 12), 0);
  EXPECT_EQ(e.GetIv().length(), 12);

  ASSERT_EQ(e.SetAlgorithm(tw::kCipherAesGcm), 0);
  EXPECT_EQ(e.Mode(), tw::kCipherModeGcm);
  EXPECT_EQ(e.TagBits(), 96);
  EXPECT_EQ(e.SetIv(key, 7), 0);  // any length is kept
  for (int bits : {0, 96, 104, 120, 128}) EXPECT_EQ(e.SetTagBits(bits), 0) << bits;
  for (int bits : {8, 64, 88, 100, 136, 256}) EXPECT_EQ(e.SetTagBits(bits), tw::kErrCipherTagBits) << bits;
  EXPECT_EQ(e.SetIvBits(128), 0);
  EXPECT_EQ(e.TagBits(), 128);
  EXPECT_EQ(e.SetBlockBits(128), tw::kErrCipherBlockBits);

  ASSERT_EQ(e.SetAlgorithm(tw::kCipherRijndael), 0);
  for (int bits : {128, 192, 256}) EXPECT_EQ(e.SetBlockBits(bits), 0);
  for (int bits : {64, 160, 320}) EXPECT_EQ(e.SetBlockBits(bits), tw::kErrCipherBlockBits);
  ASSERT_EQ(e.SetAlgorithm(tw::kCipherXxtea), 0);
  for (int bits : {64, 96, 2048, 8256}) EXPECT_EQ(e.SetBlockBits(bits), 0);
  for (int bits : {32, 80, 100}) EXPECT_EQ(e.SetBlockBits(bits), tw::kErrCipherBlockBits);
}

TEST(CipherEngineSelection, StartFailuresKeepTheirCodes) {
  uint8_t key[32] = {1}, iv[16] = {2};
  tw::CipherEngine e;
  tw::ByteString out;
  int n = 16;
  EXPECT_EQ(e.Update(iv, 0, &n, out), tw::kErrCipherMode);  // nothing started
  EXPECT_EQ(e.Final(iv, 16, out), tw::kErrCipherMode);

  e.SetUsePlatformCipher(true);
  EXPECT_EQ(e.BeginEncrypt(key, 32, iv, 16), tw::kErrPlatformCipherMissing);
  e.SetUsePlatformCipher(false);
  EXPECT_EQ(e.StartEncrypt(), 0);
  // A mode changed in mid-message ends the message instead of running on with a stale register.
  e.SetMode(tw::kCipherModeEcb);
  n = 16;
  EXPECT_EQ(e.Update(iv, 0, &n, out), tw::kErrCipherMode);

  e.SetMode(tw::kCipherModeGcm);  // GCM on a plain block cipher
  EXPECT_EQ(e.StartEncrypt(), tw::kErrCipherMode);
  e.SetMode(9);
  EXPECT_EQ(e.StartEncrypt(), tw::kErrCipherMode);

  // A key set for another cipher fails at the start.
  e.SetAlgorithm(tw::kCipherAes);
  ASSERT_EQ(e.SetKey(key, 16), 0);
  e.SetAlgorithm(tw::kCipherDes);
  EXPECT_EQ(e.StartEncrypt(), tw::kErrCipherKeyBits);
  // An IV of another length than the block (kept while the cipher was different) fails too.
  e.SetAlgorithm(tw::kCipherRijndael);
  ASSERT_EQ(e.SetKey(key, 32), 0);
  ASSERT_EQ(e.SetIv(iv, 16), 0);
  ASSERT_EQ(e.SetBlockBits(256), 0);
  EXPECT_EQ(e.StartEncrypt(), tw::kErrCipherBlockBits);

  e.SetAlgorithm(tw::kCipherChaCha20);
  ASSERT_EQ(e.SetKey(key, 32), 0);
  ASSERT_EQ(e.SetIv(iv, 10), 0);
  EXPECT_EQ(e.StartEncrypt(), tw::kErrCipherNonceLength);
  e.SetAlgorithm(tw::kCipherSalsa20);
  EXPECT_EQ(e.SetSalsaRounds(10), tw::kErrCipherRounds);
  ASSERT_EQ(e.SetIv(iv, 8), 0);
  e.SetSalsaVariant(tw::kXSalsa20Variant);
  EXPECT_EQ(e.StartEncrypt(), tw::kErrCipherNonceLength);  // XSalsa20 wants 24 bytes
  e.SetSalsaVariant(tw::kSalsa20Variant);
  EXPECT_EQ(e.StartEncrypt(), 0);

  // A counted padding cannot be written for blocks longer than 255 bytes.
  e.SetAlgorithm(tw::kCipherXxtea);
  e.SetMode(tw::kCipherModeEcb);
  ASSERT_EQ(e.SetKey(key, 16), 0);
  ASSERT_EQ(e.SetBlockBits(2048), 0);
  for (int padding : {tw::kPaddingPkcs7, tw::kPaddingAnsiX923, tw::kPaddingIso10126}) {
    e.SetPadding(padding);
    EXPECT_EQ(e.StartEncrypt(), tw::kErrCipherBlockBits) << padding;
    EXPECT_EQ(e.StartDecrypt(), tw::kErrCipherBlockBits) << padding;
  }
  e.SetPadding(tw::kPaddingZeros);
  EXPECT_EQ(e.StartEncrypt(), 0);

  tw::DestroyCipherContext(e);
  EXPECT_EQ(e.GetKey().length(), 0);
  EXPECT_EQ(e.StartEncrypt(), tw::kErrCipherKeyBits);
}

// ---------------------------------------------------------------------------------------------
// Mode and padding behaviour

TEST(CipherEngineModes, LengthsPaddingAndCutting) {
  std::mt19937 rng(5);
  CipherSetup s;
  s.key = RandomBytes(rng, 32);
  s.iv = RandomBytes(rng, 16);
  Bytes b16 = RandomBytes(rng, 16), b17 = RandomBytes(rng, 17);

  // 16 bytes with PKCS #7 gain a whole block: the CBC encryption of sixteen 0x10 bytes.
  s.padding = tw::kPaddingPkcs7;
  Outcome padded = Encrypt(s, b16, nullptr);
  ASSERT_EQ(padded.rc, 0);
  ASSERT_EQ(padded.out.size(), 32u);
  CipherSetup ecb = s;
  ecb.mode = tw::kCipherModeEcb;
  ecb.padding = tw::kPaddingNone;
  Bytes last(16, 0x10);
  for (int i = 0; i < 16; ++i) last[i] ^= padded.out[i];
  EXPECT_EQ(ToHex(Encrypt(ecb, last, nullptr).out), ToHex(Bytes(padded.out.begin() + 16, padded.out.end())));
  s.padding = tw::kPaddingZeros;
  EXPECT_EQ(Encrypt(s, b16, nullptr).out.size(), 32u);

  s.padding = tw::kPaddingNone;
  for (int mode : {tw::kCipherModeCbc, tw::kCipherModeCtr, tw::kCipherModeEcb}) {
    s.mode = mode;
    EXPECT_EQ(Encrypt(s, b17, nullptr).rc, tw::kErrCipherDataLength) << mode;
    EXPECT_EQ(Decrypt(s, b17, nullptr).rc, tw::kErrCipherDataLength) << mode;
  }
  for (int mode : {tw::kCipherModeCfb, tw::kCipherModeOfb}) {
    s.mode = mode;
    Outcome r = Encrypt(s, b17, nullptr);
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.out.size(), 17u);
  }
  // OFB adds no padding even when one is set.
  s.mode = tw::kCipherModeOfb;
  s.padding = tw::kPaddingPkcs7;
  EXPECT_EQ(Encrypt(s, b17, nullptr).out.size(), 17u);

  // Update cuts block modes to whole blocks and takes everything in OFB and CFB.
  tw::CipherEngine e;
  s.mode = tw::kCipherModeCbc;
  ASSERT_EQ(Configure(e, s), 0);
  ASSERT_EQ(e.StartEncrypt(), 0);
  tw::ByteString out;
  int n = 17;
  ASSERT_EQ(e.Update(b17.data(), 0, &n, out), 0);
  EXPECT_EQ(n, 16);
  EXPECT_EQ(out.length(), 16);
  e.SetMode(tw::kCipherModeCfb);
  ASSERT_EQ(e.StartEncrypt(), 0);
  n = 17;
  ASSERT_EQ(e.Update(b17.data(), 0, &n, out), 0);
  EXPECT_EQ(n, 17);

  // Zero padding removes trailing zeros of the final block, those of the data too.
  s.mode = tw::kCipherModeCbc;
  s.padding = tw::kPaddingZeros;
  Bytes zeros_end = {1, 2, 3, 0, 0};
  Outcome z = Encrypt(s, zeros_end, nullptr);
  ASSERT_EQ(z.out.size(), 16u);
  EXPECT_EQ(ToHex(Decrypt(s, z.out, nullptr).out), "010203");
  // ... but not those of earlier blocks: sixteen zeros come back as sixteen zeros.
  Bytes sixteen(16, 0);
  EXPECT_EQ(Decrypt(s, Encrypt(s, sixteen, nullptr).out, nullptr).out.size(), 16u);
}

// ISO 10126 filler is unpredictable: the C library's generator, reseeded alike, must not decide
// it; without the system generator the message fails instead of taking weaker bytes.
TEST(CipherEngineModes, Iso10126FillerComesFromTheSystemGenerator) {
  std::mt19937 rng(11);
  CipherSetup s;
  s.key = RandomBytes(rng, 16);
  s.iv = RandomBytes(rng, 16);
  s.padding = tw::kPaddingIso10126;
  CipherSetup raw = s;
  raw.padding = tw::kPaddingNone;
  const Bytes data = RandomBytes(rng, 37);  // 11 pad bytes: 10 of filler and the count

  std::vector<Bytes> fillers;
  for (int i = 0; i < 2; ++i) {
    std::srand(7);
    const long calls = win::KernelRandomCallCount();
    Outcome enc = Encrypt(s, data, nullptr);
    ASSERT_EQ(enc.rc, 0);
    ASSERT_EQ(enc.out.size(), 48u);
    EXPECT_GT(win::KernelRandomCallCount(), calls);
    EXPECT_EQ(ToHex(Decrypt(s, enc.out, nullptr).out), ToHex(data));
    Bytes plain = Decrypt(raw, enc.out, nullptr).out;
    ASSERT_EQ(plain.size(), 48u);
    EXPECT_EQ(plain.back(), 11);
    fillers.emplace_back(plain.begin() + 37, plain.end() - 1);
  }
  EXPECT_NE(ToHex(fillers[0]), ToHex(fillers[1]));

  win::SetCryptRandomFaultForTesting(win::CryptRandomFault::kGenerateFails);
  tw::CipherEngine e;
  ASSERT_EQ(Configure(e, s), 0);
  ASSERT_EQ(e.StartEncrypt(), 0);
  tw::ByteString out;
  ASSERT_EQ(out.SetText("kept"), 0);
  const int rc = e.Final(data.data(), static_cast<int>(data.size()), out);
  win::SetCryptRandomFaultForTesting(win::CryptRandomFault::kNone);
  EXPECT_EQ(rc, tw::kErrRandomUnavailable);
  EXPECT_EQ(std::string(out.data(), out.length()), "kept");  // nothing of the failed message
  // The engine is usable again once the generator is.
  ASSERT_EQ(e.StartEncrypt(), 0);
  out.Reset();
  EXPECT_EQ(e.Final(data.data(), static_cast<int>(data.size()), out), 0);
  EXPECT_EQ(out.length(), 48);
}

TEST(CipherEngineModes, CiphertextStealing) {
  std::mt19937 rng(17);
  CipherSetup s;
  s.mode = tw::kCipherModeCts;
  s.key = RandomBytes(rng, 16);
  s.iv = RandomBytes(rng, 16);
  EXPECT_EQ(Encrypt(s, RandomBytes(rng, 16), nullptr).rc, tw::kErrCipherCtsTooShort);
  EXPECT_EQ(Decrypt(s, RandomBytes(rng, 16), nullptr).rc, tw::kErrCipherCtsTooShort);

  // 17 bytes: first the encryption of the zero-extended last byte XORed with the first
  // ciphertext block, then one byte of that first block.
  Bytes data = RandomBytes(rng, 17);
  Outcome r = Encrypt(s, data, nullptr);
  ASSERT_EQ(r.rc, 0);
  ASSERT_EQ(r.out.size(), 17u);
  CipherSetup cbc = s;
  cbc.mode = tw::kCipherModeCbc;
  Bytes first = Encrypt(cbc, Bytes(data.begin(), data.begin() + 16), nullptr).out;
  CipherSetup ecb = cbc;
  ecb.mode = tw::kCipherModeEcb;
  Bytes x(16, 0);
  x[0] = data[16];
  for (int i = 0; i < 16; ++i) x[i] ^= first[i];
  EXPECT_EQ(ToHex(Bytes(r.out.begin(), r.out.begin() + 16)), ToHex(Encrypt(ecb, x, nullptr).out));
  EXPECT_EQ(r.out[16], first[0]);
  // Whole blocks: CBC with the last two blocks swapped.
  Bytes two = RandomBytes(rng, 48);
  Bytes plain_cbc = Encrypt(cbc, two, nullptr).out;
  Bytes stolen = Encrypt(s, two, nullptr).out;
  EXPECT_EQ(ToHex(Bytes(stolen.begin(), stolen.begin() + 16)),
            ToHex(Bytes(plain_cbc.begin(), plain_cbc.begin() + 16)));
  EXPECT_EQ(ToHex(Bytes(stolen.begin() + 16, stolen.begin() + 32)),
            ToHex(Bytes(plain_cbc.begin() + 32, plain_cbc.end())));
  EXPECT_EQ(ToHex(Bytes(stolen.begin() + 32, stolen.end())),
            ToHex(Bytes(plain_cbc.begin() + 16, plain_cbc.begin() + 32)));
}

TEST(CipherEngineModes, CounterCarryStopsBeforeTheFirstByte) {
  CipherSetup s;
  s.mode = tw::kCipherModeCtr;
  s.key = Hex("000102030405060708090a0b0c0d0e0f");
  CipherSetup ecb = s;
  ecb.mode = tw::kCipherModeEcb;
  const std::pair<const char*, const char*> steps[] = {
      {"00112233445566778899aabbccddffff", "00112233445566778899aabbccde0000"},
      {"7fffffffffffffffffffffffffffffff", "7f000000000000000000000000000000"},
  };
  for (const auto& [from, to] : steps) {
    s.iv = Hex(from);
    Outcome r = Encrypt(s, Bytes(32, 0), nullptr);
    ASSERT_EQ(r.rc, 0);
    Bytes counters = Hex(from);
    Bytes next = Hex(to);
    counters.insert(counters.end(), next.begin(), next.end());
    EXPECT_EQ(ToHex(r.out), ToHex(Encrypt(ecb, counters, nullptr).out)) << from;
  }
}

// Every cipher, mode and padding: the same output however the input is split, and decryption
// gives the message back.
TEST(CipherEngineModes, EveryCipherModeAndPaddingIndependentOfSplits) {
  std::mt19937 rng(20240);
  struct Cipher {
    int id;
    int key_bytes;
    int block_bits;
  };
  const Cipher ciphers[] = {
      {0, 16, 0},     {0, 24, 0},    {0, 32, 0},    {1, 8, 0},     {2, 16, 0},   {2, 24, 0},   {3, 5, 0},
      {3, 16, 0},     {4, 1, 0},     {4, 56, 0},    {5, 16, 0},    {5, 24, 0},   {5, 32, 0},   {6, 16, 0},
      {8, 5, 0},      {8, 16, 0},    {9, 16, 0},    {10, 16, 0},   {11, 16, 64}, {11, 16, 96}, {11, 16, 2048},
      {11, 16, 8256}, {13, 16, 128}, {13, 24, 192}, {13, 32, 256}, {13, 16, 256}};
  struct Mode {
    int mode;
    bool bit8;
  };
  const Mode modes[] = {{tw::kCipherModeEcb, false}, {tw::kCipherModeCbc, false}, {tw::kCipherModeOfb, false},
                        {tw::kCipherModeOfb, true},  {tw::kCipherModeCfb, false}, {tw::kCipherModeCfb, true},
                        {tw::kCipherModeCtr, false}, {tw::kCipherModeCts, false}};
  const int paddings[] = {tw::kPaddingNone,     tw::kPaddingPkcs7,    tw::kPaddingZeros,
                          tw::kPaddingAnsiX923, tw::kPaddingIso10126, 9};
  int checked = 0;
  for (const Cipher& c : ciphers) {
    for (const Mode& m : modes) {
      for (int padding : paddings) {
        CipherSetup s;
        s.id = c.id;
        s.block_bits = c.block_bits;
        s.mode = m.mode;
        s.bit8 = m.bit8;
        s.padding = padding;
        s.key = RandomBytes(rng, c.key_bytes);
        const size_t b = BlockBytesOf(s);
        s.iv = RandomBytes(rng, b);
        const bool counted = padding == tw::kPaddingPkcs7 || padding == tw::kPaddingAnsiX923 ||
                             padding == tw::kPaddingIso10126;
        const bool pads =
            m.mode != tw::kCipherModeOfb && m.mode != tw::kCipherModeCts && padding != tw::kPaddingNone;
        if (counted && b > 255 && pads) continue;  // refused at the start, tested above
        const bool stream_like = m.mode == tw::kCipherModeOfb || m.mode == tw::kCipherModeCfb;
        if (b > 1024 && m.bit8) continue;  // too slow for the gain
        for (int round = 0; round < 2; ++round) {
          size_t length = rng() % (4 * b + 2);
          if (m.mode == tw::kCipherModeCts) length = b + 1 + rng() % (3 * b);
          if (!pads && !stream_like && m.mode != tw::kCipherModeCts) length = length / b * b;
          if (b > 256) length = std::min(length, 3 * b);
          Bytes data = RandomBytes(rng, length);
          if (!data.empty()) data.back() |= 1;  // zero padding cannot tell data zeros from padding
          const std::string what = "cipher " + std::to_string(c.id) + " key " + std::to_string(c.key_bytes) +
                                   " block " + std::to_string(b) + " mode " + std::to_string(m.mode) +
                                   (m.bit8 ? "/8" : "") + " padding " + std::to_string(padding) + " length " +
                                   std::to_string(length);
          Outcome whole = Encrypt(s, data, nullptr);
          ASSERT_EQ(whole.rc, 0) << what;
          size_t expected = length;
          if (pads) expected = length + (b - length % b);
          ASSERT_EQ(whole.out.size(), expected) << what;
          if (padding != tw::kPaddingIso10126) {
            Outcome split = Encrypt(s, data, &rng);
            ASSERT_EQ(split.rc, 0) << what;
            EXPECT_EQ(ToHex(split.out), ToHex(whole.out)) << what;
          }
          Outcome back = Decrypt(s, whole.out, &rng);
          ASSERT_EQ(back.rc, 0) << what;
          Bytes want = data;
          if (pads && padding == 9) want.resize(expected, 0);  // unknown padding: zeros, removed never
          EXPECT_EQ(ToHex(back.out), ToHex(want)) << what;
          ++checked;
        }
      }
    }
  }
  EXPECT_GT(checked, 1500);
}

TEST(CipherEngineModes, StreamAndAeadCiphersIndependentOfSplits) {
  std::mt19937 rng(77);
  for (int round = 0; round < 40; ++round) {
    std::vector<CipherSetup> setups;
    CipherSetup s;
    s.id = tw::kCipherRc4;
    s.key = RandomBytes(rng, 1 + rng() % 256);
    setups.push_back(s);
    s = CipherSetup();
    s.id = tw::kCipherChaCha20;
    s.key = RandomBytes(rng, 32);
    s.iv = RandomBytes(rng, round % 2 ? 12 : 8);
    s.counter = rng() % 1000;
    setups.push_back(s);
    s = CipherSetup();
    s.id = tw::kCipherSalsa20;
    s.salsa_variant = round % 2;
    s.key = RandomBytes(rng, round % 2 || round % 4 == 0 ? 32 : 16);
    s.iv = RandomBytes(rng, round % 2 ? 24 : 8);
    setups.push_back(s);
    s = CipherSetup();
    s.id = tw::kCipherAesGcm;
    s.key = RandomBytes(rng, 16 + 8 * (round % 3));
    s.iv = RandomBytes(rng, 1 + rng() % 40);
    s.aad = RandomBytes(rng, rng() % 50);
    s.tag_bits = round % 2 ? 128 : 0;
    setups.push_back(s);
    s = CipherSetup();
    s.id = tw::kCipherChaCha20Poly1305;
    s.key = RandomBytes(rng, 32);
    s.iv = RandomBytes(rng, round % 3 ? 12 : 8);
    s.aad = RandomBytes(rng, rng() % 50);
    setups.push_back(s);
    for (const CipherSetup& setup : setups) {
      Bytes data = RandomBytes(rng, rng() % 400);
      Outcome whole = Encrypt(setup, data, nullptr);
      ASSERT_EQ(whole.rc, 0) << setup.id;
      ASSERT_EQ(whole.out.size(), data.size()) << setup.id;
      Outcome split = Encrypt(setup, data, &rng);
      ASSERT_EQ(split.rc, 0);
      EXPECT_EQ(ToHex(split.out), ToHex(whole.out)) << setup.id;
      EXPECT_EQ(ToHex(split.tag), ToHex(whole.tag)) << setup.id;
      const bool aead = setup.id == tw::kCipherAesGcm || setup.id == tw::kCipherChaCha20Poly1305;
      if (aead) {
        EXPECT_EQ(whole.tag.size(), setup.id == tw::kCipherAesGcm && setup.tag_bits == 0 ? 12u : 16u);
      }
      Outcome back = Decrypt(setup, whole.out, &rng, aead ? &whole.tag : nullptr);
      ASSERT_EQ(back.rc, 0) << setup.id;
      EXPECT_EQ(ToHex(back.out), ToHex(data)) << setup.id;
    }
  }
}

// ---------------------------------------------------------------------------------------------
// AEAD through the engine

TEST(CipherEngineAead, OneFlippedBitGivesAuthenticationFailureAndNoOutput) {
  std::mt19937 rng(31337);
  for (int round = 0; round < 120; ++round) {
    CipherSetup s;
    s.id = round % 2 ? tw::kCipherAesGcm : tw::kCipherChaCha20Poly1305;
    s.key = RandomBytes(rng, s.id == tw::kCipherAesGcm ? 16 + 8 * (rng() % 3) : 32);
    s.iv = RandomBytes(rng, s.id == tw::kCipherAesGcm ? 1 + rng() % 30 : 12);
    s.aad = RandomBytes(rng, rng() % 40);
    if (s.id == tw::kCipherAesGcm) s.tag_bits = 96 + 8 * (rng() % 5);
    Bytes data = RandomBytes(rng, rng() % 300);
    Outcome sealed = Encrypt(s, data, &rng);
    ASSERT_EQ(sealed.rc, 0);
    Bytes ct = sealed.out, tag = sealed.tag;
    int where = static_cast<int>(rng() % 3);
    if (where == 0 && ct.empty()) where = 2;
    if (where == 1 && s.aad.empty()) where = 2;
    if (where == 0) ct[rng() % ct.size()] ^= static_cast<uint8_t>(1u << (rng() % 8));
    if (where == 1) s.aad[rng() % s.aad.size()] ^= static_cast<uint8_t>(1u << (rng() % 8));
    if (where == 2) tag[rng() % tag.size()] ^= static_cast<uint8_t>(1u << (rng() % 8));

    tw::CipherEngine e;
    ASSERT_EQ(Configure(e, s), 0);
    ASSERT_EQ(e.StartDecrypt(), 0);
    ASSERT_EQ(e.SetTag(tag.data(), static_cast<int>(tag.size())), 0);
    tw::ByteString out;
    int half = static_cast<int>(ct.size() / 2);
    ASSERT_EQ(e.Update(ct.data(), 0, &half, out), 0);
    EXPECT_EQ(out.length(), 0) << "plaintext released before the tag was checked";
    EXPECT_EQ(e.Final(ct.data(), half, static_cast<int>(ct.size()) - half, out), tw::kErrCipherAuthentication)
        << "round " << round << " where " << where;
    EXPECT_EQ(out.length(), 0);
  }
}

TEST(CipherEngineAead, GcmIvTagLengthAndTagLifetime) {
  std::mt19937 rng(8);
  CipherSetup s;
  s.id = tw::kCipherAesGcm;
  s.key = RandomBytes(rng, 16);
  Bytes data = RandomBytes(rng, 40);
  // An empty IV is refused in both directions.
  EXPECT_EQ(Encrypt(s, data, nullptr).rc, tw::kErrCipherDataLength);
  EXPECT_EQ(Decrypt(s, data, nullptr).rc, tw::kErrCipherDataLength);

  s.iv = RandomBytes(rng, 12);
  s.tag_bits = 128;
  Outcome full = Encrypt(s, data, nullptr);
  ASSERT_EQ(full.rc, 0);
  ASSERT_EQ(full.tag.size(), 16u);
  s.tag_bits = 0;  // 96 bits, making and checking alike
  Outcome short_tag = Encrypt(s, data, nullptr);
  ASSERT_EQ(short_tag.rc, 0);
  EXPECT_EQ(ToHex(short_tag.tag), ToHex(Bytes(full.tag.begin(), full.tag.begin() + 12)));
  EXPECT_EQ(Decrypt(s, full.out, nullptr, &short_tag.tag).rc, 0);
  EXPECT_EQ(Decrypt(s, full.out, nullptr, &full.tag).rc, tw::kErrCipherAuthentication);
  s.tag_bits = 128;
  EXPECT_EQ(Decrypt(s, full.out, nullptr, &short_tag.tag).rc, tw::kErrCipherAuthentication);

  // A tag made by one message is not the expected tag of the next.
  tw::CipherEngine e;
  ASSERT_EQ(Configure(e, s), 0);
  Outcome made = Drive(e, true, data, nullptr);
  ASSERT_EQ(made.rc, 0);
  EXPECT_EQ(Drive(e, false, made.out, nullptr).rc, tw::kErrCipherAuthentication);
  // An expected tag serves one message only.
  EXPECT_EQ(Drive(e, false, made.out, nullptr, &made.tag).rc, 0);
  EXPECT_EQ(Drive(e, false, made.out, nullptr).rc, tw::kErrCipherAuthentication);
  // A tag given before the start is kept by the decryption start.
  ASSERT_EQ(e.SetTag(made.tag.data(), 16), 0);
  Outcome back = Drive(e, false, made.out, nullptr);
  EXPECT_EQ(back.rc, 0);
  EXPECT_EQ(ToHex(back.out), ToHex(data));

  // The same engine over many messages (the key schedule reused) equals a fresh one each time.
  for (int i = 0; i < 5; ++i) {
    s.iv = RandomBytes(rng, i % 2 ? 12 : 20);
    s.aad = RandomBytes(rng, i * 7);
    ASSERT_EQ(e.SetIv(s.iv.data(), static_cast<int>(s.iv.size())), 0);
    ASSERT_EQ(e.SetAad(s.aad.data(), static_cast<int>(s.aad.size())), 0);
    if (i == 3) {
      s.key = RandomBytes(rng, 32);
      ASSERT_EQ(e.SetKey(s.key.data(), 32), 0);
    }
    Outcome reused = Drive(e, true, data, nullptr);
    Outcome fresh = Encrypt(s, data, nullptr);
    EXPECT_EQ(ToHex(reused.out) + ToHex(reused.tag), ToHex(fresh.out) + ToHex(fresh.tag)) << i;
  }
}

TEST(CipherEngineAead, ChaChaPolyTagRules) {
  std::mt19937 rng(9);
  CipherSetup s;
  s.id = tw::kCipherChaCha20Poly1305;
  s.key = RandomBytes(rng, 32);
  s.iv = RandomBytes(rng, 12);
  Bytes data = RandomBytes(rng, 70);
  tw::CipherEngine e;
  ASSERT_EQ(Configure(e, s), 0);
  Outcome made = Drive(e, true, data, nullptr);
  ASSERT_EQ(made.rc, 0);
  ASSERT_EQ(made.tag.size(), 16u);
  EXPECT_EQ(Drive(e, false, made.out, nullptr).rc, tw::kErrCipherNoTag);
  Bytes twelve(made.tag.begin(), made.tag.begin() + 12);
  EXPECT_EQ(Drive(e, false, made.out, nullptr, &twelve).rc, tw::kErrCipherAuthentication);
  // A short expected tag left from a failed decryption does not shorten the next tag made.
  ASSERT_EQ(e.SetTag(twelve.data(), 12), 0);
  Outcome again = Drive(e, true, data, nullptr);
  EXPECT_EQ(ToHex(again.tag), ToHex(made.tag));
}

// ---------------------------------------------------------------------------------------------
// Wycheproof

// The test objects of a Wycheproof file: their string and number fields, with the group's sizes.
std::vector<std::map<std::string, std::string>> WycheproofTests(const std::string& text) {
  std::vector<std::map<std::string, std::string>> tests;
  std::map<std::string, std::string> group;
  size_t i = 0;
  auto read_string = [&](size_t& at) {
    std::string s;
    for (++at; at < text.size() && text[at] != '"'; ++at) {
      if (text[at] == '\\' && at + 1 < text.size()) ++at;
      s += text[at];
    }
    ++at;
    return s;
  };
  while (i < text.size()) {
    if (text[i] != '"') {
      ++i;
      continue;
    }
    std::string name = read_string(i);
    size_t j = i;
    while (j < text.size() && (text[j] == ' ' || text[j] == '\n' || text[j] == '\r' || text[j] == '\t')) ++j;
    if (j >= text.size() || text[j] != ':') continue;
    ++j;
    while (j < text.size() && (text[j] == ' ' || text[j] == '\n' || text[j] == '\t')) ++j;
    std::string value;
    if (j < text.size() && text[j] == '"') {
      value = read_string(j);
    } else {
      while (j < text.size() && (std::isdigit(static_cast<unsigned char>(text[j])) || text[j] == '-'))
        value += text[j++];
    }
    i = j;
    if (name == "ivSize" || name == "keySize" || name == "tagSize") {
      group[name] = value;
    } else if (name == "tcId") {
      tests.push_back(group);
      tests.back()["tcId"] = value;
    } else if (!tests.empty()) {
      tests.back()[name] = value;
    }
  }
  return tests;
}

std::string ReadVectors(const char* name) {
  return testsupport::ReadFile(testsupport::VectorsDir() + "/wycheproof/" + name);
}

TEST(CipherEngineWycheproof, AesCbcPkcs5) {
  const std::string text = ReadVectors("aes_cbc_pkcs5_test.json");
  if (text.empty()) {
    FAIL() << "Wycheproof aes_cbc_pkcs5_test.json not present";
  }
  std::mt19937 rng(1);
  int valid = 0, invalid = 0;
  for (auto& t : WycheproofTests(text)) {
    CipherSetup s;
    s.padding = tw::kPaddingPkcs7;
    s.key = Hex(t["key"]);
    s.iv = Hex(t["iv"]);
    Bytes msg = Hex(t["msg"]), ct = Hex(t["ct"]);
    const std::string id = "tcId " + t["tcId"];
    Outcome dec = Decrypt(s, ct, &rng);
    if (t["result"] == "valid") {
      ++valid;
      ASSERT_EQ(dec.rc, 0) << id;
      EXPECT_EQ(ToHex(dec.out), ToHex(msg)) << id;
      Outcome enc = Encrypt(s, msg, &rng);
      ASSERT_EQ(enc.rc, 0) << id;
      EXPECT_EQ(ToHex(enc.out), ToHex(ct)) << id;
    } else {
      // Blocks before the last may have been released by Update; the last one never is.
      ++invalid;
      EXPECT_NE(dec.rc, 0) << id << " accepted";
      Outcome whole = Decrypt(s, ct, nullptr);
      EXPECT_EQ(whole.rc, tw::kErrCipherPadding) << id;
      EXPECT_TRUE(whole.out.empty()) << id;
    }
  }
  EXPECT_EQ(valid, 72);
  EXPECT_EQ(invalid, 144);
}

TEST(CipherEngineWycheproof, AesGcmAndChaCha20Poly1305) {
  int files = 0;
  std::mt19937 rng(2);
  for (const char* file : {"aes_gcm_test.json", "chacha20_poly1305_test.json"}) {
    const std::string text = ReadVectors(file);
    if (text.empty()) continue;
    ++files;
    const bool gcm = std::strncmp(file, "aes", 3) == 0;
    int checked = 0;
    for (auto& t : WycheproofTests(text)) {
      CipherSetup s;
      s.id = gcm ? tw::kCipherAesGcm : tw::kCipherChaCha20Poly1305;
      s.key = Hex(t["key"]);
      s.iv = Hex(t["iv"]);
      s.aad = Hex(t["aad"]);
      if (gcm) s.tag_bits = std::stoi(t["tagSize"]);
      Bytes msg = Hex(t["msg"]), ct = Hex(t["ct"]), tag = Hex(t["tag"]);
      const std::string id = std::string(file) + " tcId " + t["tcId"];
      // The original ChaCha with an 8-byte nonce is a form of its own here, not the IETF one.
      if (!gcm && s.iv.size() == 8) continue;
      Outcome dec = Decrypt(s, ct, &rng, &tag);
      if (t["result"] == "valid") {
        ASSERT_EQ(dec.rc, 0) << id;
        EXPECT_EQ(ToHex(dec.out), ToHex(msg)) << id;
        Outcome enc = Encrypt(s, msg, &rng);
        ASSERT_EQ(enc.rc, 0) << id;
        EXPECT_EQ(ToHex(enc.out) + "/" + ToHex(enc.tag), ToHex(ct) + "/" + ToHex(tag)) << id;
      } else {
        EXPECT_NE(dec.rc, 0) << id << " accepted";
        EXPECT_TRUE(dec.out.empty()) << id;
      }
      ++checked;
    }
    EXPECT_GT(checked, 300) << file;
  }
  if (files < 2) {
    FAIL() << "Wycheproof AEAD vectors not present";
  }
}

// ---------------------------------------------------------------------------------------------
// Wrong keys

TEST(CipherEngineWrongKey, PaddedDecryptionFailsInsteadOfReturningGarbage) {
  std::mt19937 rng(4242);
  struct Case {
    int id;
    int key_bytes;
    int mode;
    int padding;
  };
  const Case cases[] = {{tw::kCipherAes, 16, tw::kCipherModeCbc, tw::kPaddingPkcs7},
                        {tw::kCipherAes, 32, tw::kCipherModeCbc, tw::kPaddingPkcs7},
                        {tw::kCipherTripleDes, 24, tw::kCipherModeCbc, tw::kPaddingPkcs7},
                        {tw::kCipherTripleDes, 24, tw::kCipherModeCfb, tw::kPaddingPkcs7},
                        {tw::kCipherRc2, 16, tw::kCipherModeCbc, tw::kPaddingPkcs7},
                        {tw::kCipherBlowfish, 16, tw::kCipherModeEcb, tw::kPaddingAnsiX923}};
  constexpr int kTries = 600;
  for (const Case& c : cases) {
    CipherSetup s;
    s.id = c.id;
    s.mode = c.mode;
    s.padding = c.padding;
    s.key = RandomBytes(rng, c.key_bytes);
    s.iv = RandomBytes(rng, BlockBytesOf(s));
    Bytes ct = Encrypt(s, RandomBytes(rng, 37), nullptr).out;
    int accepted = 0;
    for (int i = 0; i < kTries; ++i) {
      CipherSetup wrong = s;
      wrong.key = RandomBytes(rng, c.key_bytes);
      Outcome r = Decrypt(wrong, ct, nullptr);
      if (r.rc == 0) {
        ++accepted;
      } else {
        EXPECT_EQ(r.rc, tw::kErrCipherPadding);
        EXPECT_TRUE(r.out.empty());
      }
    }
    // A random final block passes a strict check about once in 256 tries.
    EXPECT_LT(accepted, kTries / 50) << "cipher " << c.id << " mode " << c.mode;
  }
}

// ---------------------------------------------------------------------------------------------
// Differential runs against python's cryptography package, with libgcrypt for every cipher it
// refuses

constexpr const char* kPythonOracle = R"PY(
import sys, ctypes, warnings
warnings.simplefilter('ignore')
from cryptography.exceptions import UnsupportedAlgorithm
from cryptography.hazmat.primitives import padding as P
from cryptography.hazmat.primitives.ciphers import Cipher, algorithms as A, modes as M
from cryptography.hazmat.primitives.ciphers.aead import ChaCha20Poly1305
TDES = A.TripleDES
try:
    G = ctypes.CDLL('libgcrypt.so.20')
    G.gcry_check_version.restype = ctypes.c_char_p
    G.gcry_check_version(None)
except OSError:
    G = None

NATIVE = {'aes': A.AES, 'des': TDES, '3des': TDES, 'blowfish': A.Blowfish, 'cast5': A.CAST5, 'idea': A.IDEA}
GALGO = {'des': 302, '3des': 2, 'blowfish': 4, 'cast5': 3, 'idea': 1, 'rc2': 307, 'salsa20': 313, 'rc4': 301, 'chacha20': 316}
GMODE = {'ecb': 1, 'cfb': 2, 'cbc': 3, 'stream': 4, 'ofb': 5, 'ctr': 6, 'cfb8': 12}
BLOCK = {'aes': 16, 'twofish': 16}

def galgo(alg, key):
    if alg == 'aes': return {16: 7, 24: 8, 32: 9}[len(key)]
    if alg == 'twofish': return {16: 303, 32: 10}[len(key)]
    return GALGO[alg]

def gcrypt(alg, mode, op, key, iv, data):
    if G is None: raise LookupError('libgcrypt')
    if alg == '3des' and len(key) == 16: key = key + key[:8]
    h = ctypes.c_void_p()
    if G.gcry_cipher_open(ctypes.byref(h), galgo(alg, key), GMODE[mode], 0): raise LookupError('gcrypt ' + alg)
    try:
        if G.gcry_cipher_setkey(h, key, len(key)): raise ValueError('setkey')
        if iv:
            f = G.gcry_cipher_setctr if mode == 'ctr' else G.gcry_cipher_setiv
            if f(h, iv, len(iv)): raise ValueError('setiv')
        out = ctypes.create_string_buffer(max(len(data), 1))
        f = G.gcry_cipher_encrypt if op == 'e' else G.gcry_cipher_decrypt
        if f(h, out, len(data), data, len(data)): raise ValueError('crypt')
        return out.raw[:len(data)]
    finally:
        G.gcry_cipher_close(h)

def mode_obj(name, iv):
    if name == 'ecb': return M.ECB()
    if name == 'cbc': return M.CBC(iv)
    if name == 'ctr': return M.CTR(iv)
    cls = {'cfb': 'CFB', 'cfb8': 'CFB8', 'ofb': 'OFB'}[name]
    return getattr(M, cls)(iv)

def raw(alg, mode, op, key, iv, data):
    if mode == 'ofb8':
        reg, out = bytearray(iv), bytearray()
        for ch in data:
            ks = raw(alg, 'ecb', 'e', key, b'', bytes(reg))
            out.append(ch ^ ks[0])
            reg = reg[1:] + ks[:1]
        return bytes(out)
    if alg in NATIVE:
        try:
            c = Cipher(NATIVE[alg](key), mode_obj(mode, iv))
            x = c.encryptor() if op == 'e' else c.decryptor()
            return x.update(data) + x.finalize()
        except (UnsupportedAlgorithm, ValueError):
            pass
    return gcrypt(alg, mode, op, key, iv, data)

def pad(kind, b, data):
    if kind == 'none': return data
    if kind == 'zeros': return data + bytes(b - len(data) % b)
    p = (P.PKCS7 if kind == 'pkcs7' else P.ANSIX923)(b * 8).padder()
    return p.update(data) + p.finalize()

for line in sys.stdin:
    f = line.split()
    if not f: continue
    alg, mode, kind, op = f[0:4]
    key, iv, data, aad = (b'' if x == '-' else bytes.fromhex(x) for x in f[4:8])
    try:
        if alg == 'rc4':
            try: r = Cipher(A.ARC4(key), None).encryptor().update(data)
            except (UnsupportedAlgorithm, ValueError): r = gcrypt('rc4', 'stream', 'e', key, b'', data)
        elif alg == 'chacha20':
            try: r = Cipher(A.ChaCha20(key, iv), None).encryptor().update(data)
            except (UnsupportedAlgorithm, ValueError): r = gcrypt('chacha20', 'stream', 'e', key, iv, data)
        elif alg == 'salsa20': r = gcrypt('salsa20', 'stream', 'e', key, iv, data)
        elif alg == 'aesgcm':
            e = Cipher(A.AES(key), M.GCM(iv)).encryptor()
            e.authenticate_additional_data(aad)
            r = e.update(data) + e.finalize() + e.tag[:int(kind)]
        elif alg == 'chachapoly': r = ChaCha20Poly1305(key).encrypt(iv, data, aad)
        else:
            r = raw(alg, mode, op, key, iv, pad(kind, BLOCK.get(alg, 8), data) if op == 'e' else data)
        print(r.hex())
    except LookupError as e:
        print('MISSING', e)
    except Exception as e:
        print('ERROR', type(e).__name__, str(e).replace('\n', ' '))
)PY";

struct OracleCase {
  std::string request;  // "alg mode padding op key iv data aad"
  Bytes ours;
  std::string what;
  size_t iso_data = SIZE_MAX;  // ISO 10126: compare only the data and the count byte
};

std::string Request(const std::string& alg, const std::string& mode, const std::string& padding, char op,
                    const Bytes& key, const Bytes& iv, const Bytes& data, const Bytes& aad = {}) {
  return alg + " " + mode + " " + padding + " " + op + " " + HexOrDash(key) + " " + HexOrDash(iv) + " " +
         HexOrDash(data) + " " + HexOrDash(aad);
}

TEST(CipherEngineDifferential, AgainstPythonCryptographyAndLibgcrypt) {
  if (!testsupport::HavePython()) {
    TW_REQUIRE_OR_SKIP("/usr/bin/python3 not installed");
  }
  std::mt19937 rng(90210);
  std::vector<OracleCase> cases;
  struct Cipher {
    const char* name;
    int id;
    int key_bytes;
  };
  const Cipher ciphers[] = {{"aes", 0, 16},      {"aes", 0, 24},     {"aes", 0, 32},      {"des", 1, 8},
                            {"3des", 2, 16},     {"3des", 2, 24},    {"blowfish", 4, 16}, {"blowfish", 4, 3},
                            {"blowfish", 4, 56}, {"cast5", 3, 16},   {"idea", 6, 16},     {"rc2", 8, 16},
                            {"rc2", 8, 8},       {"twofish", 5, 16}, {"twofish", 5, 32}};
  struct Mode {
    const char* name;
    int mode;
    bool bit8;
  };
  const Mode modes[] = {{"ecb", tw::kCipherModeEcb, false}, {"cbc", tw::kCipherModeCbc, false},
                        {"cfb", tw::kCipherModeCfb, false}, {"cfb8", tw::kCipherModeCfb, true},
                        {"ofb", tw::kCipherModeOfb, false}, {"ofb8", tw::kCipherModeOfb, true},
                        {"ctr", tw::kCipherModeCtr, false}};
  const std::pair<const char*, int> paddings[] = {{"none", tw::kPaddingNone},
                                                  {"pkcs7", tw::kPaddingPkcs7},
                                                  {"x923", tw::kPaddingAnsiX923},
                                                  {"zeros", tw::kPaddingZeros},
                                                  {"none", tw::kPaddingIso10126}};
  for (const Cipher& c : ciphers) {
    for (const Mode& m : modes) {
      for (const auto& [pad_name, padding] : paddings) {
        CipherSetup s;
        s.id = c.id;
        s.mode = m.mode;
        s.bit8 = m.bit8;
        s.padding = padding;
        s.key = RandomBytes(rng, c.key_bytes);
        const size_t b = BlockBytesOf(s);
        s.iv = m.mode == tw::kCipherModeEcb ? Bytes() : RandomBytes(rng, b);
        const bool ofb = m.mode == tw::kCipherModeOfb;
        if (ofb && padding != tw::kPaddingNone) continue;  // OFB never pads
        const bool stream_like = ofb || m.mode == tw::kCipherModeCfb;
        size_t length = rng() % (6 * b);
        if (padding == tw::kPaddingNone && !stream_like) length = length / b * b;
        Bytes data = RandomBytes(rng, length);
        if (padding == tw::kPaddingZeros && !data.empty()) data.back() |= 1;
        const std::string what = std::string(c.name) + "/" + std::to_string(c.key_bytes) + " " + m.name +
                                 " " + std::to_string(padding) + " length " + std::to_string(length);
        Outcome enc = Encrypt(s, data, &rng);
        ASSERT_EQ(enc.rc, 0) << what;
        if (padding == tw::kPaddingIso10126) {
          // Random filler: the oracle decrypts, we check the data and the count.
          cases.push_back(
              {Request(c.name, m.name, "none", 'd', s.key, s.iv, enc.out), data, what, data.size()});
        } else {
          cases.push_back({Request(c.name, m.name, pad_name, 'e', s.key, s.iv, data), enc.out, what});
        }
        // Our decryption of random ciphertext with no padding against the oracle's.
        CipherSetup raw = s;
        raw.padding = tw::kPaddingNone;
        Bytes junk = RandomBytes(rng, stream_like ? rng() % (5 * b) : b * (rng() % 5));
        Outcome dec = Decrypt(raw, junk, &rng);
        ASSERT_EQ(dec.rc, 0) << what;
        cases.push_back(
            {Request(c.name, m.name, "none", 'd', s.key, s.iv, junk), dec.out, what + " decrypt"});
      }
    }
  }
  for (int i = 0; i < 30; ++i) {
    CipherSetup s;
    s.id = tw::kCipherRc4;
    s.key = RandomBytes(rng, 1 + rng() % 256);
    Bytes data = RandomBytes(rng, rng() % 500);
    cases.push_back({Request("rc4", "-", "-", 'e', s.key, {}, data), Encrypt(s, data, &rng).out, "rc4"});

    s = CipherSetup();
    s.id = tw::kCipherChaCha20;
    s.key = RandomBytes(rng, 32);
    s.iv = RandomBytes(rng, 12);
    s.counter = rng() % 100000;
    data = RandomBytes(rng, rng() % 700);
    Bytes nonce16;
    for (int k = 0; k < 4; ++k) nonce16.push_back(static_cast<uint8_t>(s.counter >> (8 * k)));
    nonce16.insert(nonce16.end(), s.iv.begin(), s.iv.end());
    cases.push_back(
        {Request("chacha20", "-", "-", 'e', s.key, nonce16, data), Encrypt(s, data, &rng).out, "chacha20"});

    s = CipherSetup();
    s.id = tw::kCipherSalsa20;
    s.salsa_variant = tw::kSalsa20Variant;
    s.key = RandomBytes(rng, i % 2 ? 16 : 32);
    s.iv = RandomBytes(rng, 8);
    data = RandomBytes(rng, rng() % 700);
    cases.push_back(
        {Request("salsa20", "-", "-", 'e', s.key, s.iv, data), Encrypt(s, data, &rng).out, "salsa20"});

    s = CipherSetup();
    s.id = tw::kCipherAesGcm;
    s.key = RandomBytes(rng, 16 + 8 * (i % 3));
    const size_t iv_lengths[] = {12, 12, 8, 16, 20, 60};
    s.iv = RandomBytes(rng, iv_lengths[i % 6]);
    s.aad = RandomBytes(rng, rng() % 70);
    s.tag_bits = 96 + 8 * (i % 5);
    data = RandomBytes(rng, rng() % 300);
    Outcome gcm = Encrypt(s, data, &rng);
    ASSERT_EQ(gcm.rc, 0);
    gcm.out.insert(gcm.out.end(), gcm.tag.begin(), gcm.tag.end());
    cases.push_back({Request("aesgcm", "-", std::to_string(s.tag_bits / 8), 'e', s.key, s.iv, data, s.aad),
                     gcm.out, "aes-gcm"});

    s = CipherSetup();
    s.id = tw::kCipherChaCha20Poly1305;
    s.key = RandomBytes(rng, 32);
    s.iv = RandomBytes(rng, 12);
    s.aad = RandomBytes(rng, rng() % 70);
    data = RandomBytes(rng, rng() % 300);
    Outcome cp = Encrypt(s, data, &rng);
    ASSERT_EQ(cp.rc, 0);
    cp.out.insert(cp.out.end(), cp.tag.begin(), cp.tag.end());
    cases.push_back(
        {Request("chachapoly", "-", "-", 'e', s.key, s.iv, data, s.aad), cp.out, "chacha20-poly1305"});
  }

  std::string dir = testsupport::MakeTempDir();
  std::string script = dir + "/oracle.py";
  { std::ofstream(script) << kPythonOracle; }
  std::string input;
  for (const auto& c : cases) input += c.request + "\n";
  int status = -1;
  std::string out = testsupport::RunCommand(std::string(testsupport::kPython) + " '" + script + "'", input, &status);
  std::remove(script.c_str());
  std::remove(dir.c_str());
  if (status != 0 || out.empty()) {
    TW_REQUIRE_OR_SKIP("/usr/bin/python3 with the cryptography package is needed");
  }
  std::istringstream lines(out);
  int missing = 0, compared = 0;
  for (const auto& c : cases) {
    std::string answer;
    ASSERT_TRUE(std::getline(lines, answer)) << "oracle stopped before: " << c.what;
    if (answer.rfind("MISSING", 0) == 0) {
      ++missing;
      continue;
    }
    ++compared;
    if (answer.rfind("ERROR", 0) == 0) {
      ADD_FAILURE() << c.what << ": " << answer;
    } else if (c.iso_data != SIZE_MAX) {
      Bytes plain = Hex(answer);
      ASSERT_FALSE(plain.empty()) << c.what << ": " << answer;
      const size_t count = plain.back();
      EXPECT_EQ(plain.size(), c.iso_data + count) << c.what;
      plain.resize(c.iso_data);
      EXPECT_EQ(ToHex(plain), ToHex(c.ours)) << c.what;
    } else {
      EXPECT_EQ(ToHex(c.ours), answer) << c.what;
    }
  }
  EXPECT_GT(compared, static_cast<int>(cases.size()) * 3 / 4);
  if (missing > 0) {
    TW_REQUIRE_OR_SKIP(std::to_string(missing) + " cases need libgcrypt, which is not installed");
  }
}

// `openssl enc` with its own PKCS #7 padding for the block modes and without padding for the
// stream-like ones, old ciphers through the legacy provider (IDEA is left to the python oracle:
// openssl builds often lack it).
TEST(CipherEngineDifferential, AgainstOpensslEnc) {
  if (!testsupport::HaveProgram("openssl")) {
    TW_REQUIRE_OR_SKIP("openssl not installed");
  }
  struct Cipher {
    const char* name;
    int id;
    int key_bytes;
    int mode;
    bool bit8;
  };
  const Cipher ciphers[] = {
      {"aes-128-cbc", 0, 16, tw::kCipherModeCbc, false},  {"aes-192-cbc", 0, 24, tw::kCipherModeCbc, false},
      {"aes-256-ecb", 0, 32, tw::kCipherModeEcb, false},  {"aes-128-cfb", 0, 16, tw::kCipherModeCfb, false},
      {"aes-256-cfb8", 0, 32, tw::kCipherModeCfb, true},  {"aes-192-ofb", 0, 24, tw::kCipherModeOfb, false},
      {"aes-128-ctr", 0, 16, tw::kCipherModeCtr, false},  {"des-cbc", 1, 8, tw::kCipherModeCbc, false},
      {"des-ofb", 1, 8, tw::kCipherModeOfb, false},       {"des-cfb8", 1, 8, tw::kCipherModeCfb, true},
      {"des-ede3-cbc", 2, 24, tw::kCipherModeCbc, false}, {"des-ede-cbc", 2, 16, tw::kCipherModeCbc, false},
      {"des-ede3-cfb", 2, 24, tw::kCipherModeCfb, false}, {"des-ede3", 2, 24, tw::kCipherModeEcb, false},
      {"bf-cbc", 4, 16, tw::kCipherModeCbc, false},       {"bf-cfb", 4, 16, tw::kCipherModeCfb, false},
      {"bf-ofb", 4, 16, tw::kCipherModeOfb, false},       {"cast5-cbc", 3, 16, tw::kCipherModeCbc, false},
      {"cast5-ecb", 3, 16, tw::kCipherModeEcb, false},    {"cast5-ofb", 3, 16, tw::kCipherModeOfb, false},
      {"rc2-cbc", 8, 16, tw::kCipherModeCbc, false},      {"rc2-ofb", 8, 16, tw::kCipherModeOfb, false},
  };
  struct Job {
    std::string command;
    std::string file;
    Bytes ours;
    std::string what;
  };
  std::mt19937 rng(606);
  std::string dir = testsupport::MakeTempDir();
  std::vector<Job> jobs;
  for (int round = 0; round < 3; ++round) {
    for (const Cipher& c : ciphers) {
      CipherSetup s;
      s.id = c.id;
      s.mode = c.mode;
      s.bit8 = c.bit8;
      // openssl pads in ECB and CBC only.
      const bool pads = c.mode == tw::kCipherModeEcb || c.mode == tw::kCipherModeCbc;
      s.padding = pads ? tw::kPaddingPkcs7 : tw::kPaddingNone;
      s.key = RandomBytes(rng, c.key_bytes);
      const size_t b = BlockBytesOf(s);
      if (c.mode != tw::kCipherModeEcb) s.iv = RandomBytes(rng, b);
      size_t length = rng() % 200;
      if (c.mode == tw::kCipherModeCtr) length = length / b * b;
      Bytes data = RandomBytes(rng, length);
      Outcome enc = Encrypt(s, data, &rng);
      ASSERT_EQ(enc.rc, 0) << c.name;
      std::string file = dir + "/in" + std::to_string(jobs.size());
      std::ofstream(file, std::ios::binary).write(reinterpret_cast<const char*>(data.data()), data.size());
      std::string cmd = "openssl enc -e -" + std::string(c.name) + " -K " + ToHex(s.key);
      if (!s.iv.empty()) cmd += " -iv " + ToHex(s.iv);
      if (!pads) cmd += " -nopad";
      cmd += " -provider legacy -provider default -in '" + file + "'";
      jobs.push_back({cmd, file, enc.out, std::string(c.name) + " length " + std::to_string(length)});
    }
  }
  std::string script;
  for (const auto& j : jobs) script += j.command + " 2>/dev/null | od -An -v -tx1 | tr -d ' \\n'; echo\n";
  int status = -1;
  std::string out = testsupport::RunCommand(script, "", &status);
  for (const auto& j : jobs) std::remove(j.file.c_str());
  std::remove(dir.c_str());
  std::istringstream lines(out);
  int empty = 0;
  for (const auto& j : jobs) {
    std::string answer;
    ASSERT_TRUE(std::getline(lines, answer));
    if (answer.empty() && !j.ours.empty()) {
      ++empty;  // this cipher is missing from this openssl
      continue;
    }
    EXPECT_EQ(ToHex(j.ours), answer) << j.what;
  }
  if (empty > 0) {
    TW_REQUIRE_OR_SKIP(std::to_string(empty) + " openssl runs gave no output (legacy provider missing?)");
  }
}

// ---------------------------------------------------------------------------------------------
// The record layer's holder, copies and allocation failure

TEST(CipherEngineHolder, BlockChainingRunsOnAndAeadRecordsCarryTheirTags) {
  std::mt19937 rng(12);
  Bytes key = RandomBytes(rng, 16), iv = RandomBytes(rng, 16);
  Bytes r1 = RandomBytes(rng, 32), r2 = RandomBytes(rng, 48);
  tw::CipherHolder out_dir, in_dir;
  for (tw::CipherHolder* h : {&out_dir, &in_dir}) {
    ASSERT_EQ(h->engine().SetAlgorithm(tw::kCipherAes), 0);
    ASSERT_EQ(h->engine().SetKey(key.data(), 16), 0);
    ASSERT_EQ(h->engine().SetIv(iv.data(), 16), 0);
    ASSERT_EQ(h->SetCipherName("AES"), 0);
  }
  tw::ByteString c1, c2, p1, p2;
  ASSERT_EQ(out_dir.EncryptChunk(r1.data(), 32, c1), 0);
  ASSERT_EQ(out_dir.EncryptChunk(r2.data(), 48, c2), 0);
  Bytes both = r1;
  both.insert(both.end(), r2.begin(), r2.end());
  CipherSetup s;
  s.key = key;
  s.iv = iv;
  EXPECT_EQ(ToHex(FromString(c1)) + ToHex(FromString(c2)), ToHex(Encrypt(s, both, nullptr).out));
  ASSERT_EQ(in_dir.DecryptChunk(c1.bytes(), c1.length(), p1), 0);
  ASSERT_EQ(in_dir.DecryptChunk(c2.bytes(), c2.length(), p2), 0);
  EXPECT_EQ(ToHex(FromString(p1)) + ToHex(FromString(p2)), ToHex(both));
  tw::ByteString odd;
  EXPECT_EQ(out_dir.EncryptChunk(r1.data(), 20, odd), tw::kErrCipherDataLength);

  for (int id : {tw::kCipherAesGcm, tw::kCipherChaCha20Poly1305}) {
    tw::CipherHolder sender, receiver;
    Bytes k = RandomBytes(rng, 32);
    for (tw::CipherHolder* h : {&sender, &receiver}) {
      ASSERT_EQ(h->engine().SetAlgorithm(id), 0);
      ASSERT_EQ(h->engine().SetIvBits(128), 0);
      ASSERT_EQ(h->engine().SetKey(k.data(), 32), 0);
    }
    for (int record = 0; record < 4; ++record) {
      Bytes nonce = RandomBytes(rng, 12), aad = RandomBytes(rng, 13), data = RandomBytes(rng, rng() % 100);
      for (tw::CipherHolder* h : {&sender, &receiver}) {
        ASSERT_EQ(h->engine().SetIv(nonce.data(), 12), 0);
        ASSERT_EQ(h->engine().SetAad(aad.data(), 13), 0);
      }
      tw::ByteString sealed;
      ASSERT_EQ(sender.EncryptChunk(data.data(), static_cast<int>(data.size()), sealed), 0);
      ASSERT_EQ(static_cast<size_t>(sealed.length()), data.size() + 16);
      Bytes ct(sealed.bytes(), sealed.bytes() + data.size());
      Bytes tag(sealed.bytes() + data.size(), sealed.bytes() + sealed.length());
      if (record == 2) {
        if (ct.empty()) {
          tag[0] ^= 1;
        } else {
          ct[0] ^= 0x80;
        }
      }
      ASSERT_EQ(receiver.engine().SetTag(tag.data(), 16), 0);
      tw::ByteString opened;
      int rc = receiver.DecryptChunk(ct.data(), static_cast<int>(ct.size()), opened);
      if (record == 2) {
        EXPECT_EQ(rc, tw::kErrCipherAuthentication);
        EXPECT_EQ(opened.length(), 0);
      } else {
        ASSERT_EQ(rc, 0) << id << " record " << record;
        EXPECT_EQ(ToHex(FromString(opened)), ToHex(data));
      }
    }
  }
}

TEST(CipherEngineCopy, CopyContinuesARunningMessage) {
  std::mt19937 rng(3);
  for (int id : {tw::kCipherAes, tw::kCipherBlowfish, tw::kCipherRc4, tw::kCipherAesGcm}) {
    CipherSetup s;
    s.id = id;
    s.mode = tw::kCipherModeCfb;  // a keystream position to carry over
    s.key = RandomBytes(rng, 16);
    s.iv = RandomBytes(rng, id == tw::kCipherBlowfish ? 8 : 16);
    Bytes data = RandomBytes(rng, 77);
    tw::CipherEngine a;
    ASSERT_EQ(Configure(a, s), 0);
    ASSERT_EQ(a.StartEncrypt(), 0);
    tw::ByteString head;
    int n = 29;
    ASSERT_EQ(a.Update(data.data(), 0, &n, head), 0);
    tw::CipherEngine b;
    ASSERT_EQ(b.CopyFrom(a), 0);
    tw::ByteString ta = head, tb = head;
    ASSERT_EQ(a.Final(data.data(), n, 77 - n, ta), 0);
    ASSERT_EQ(b.Final(data.data(), n, 77 - n, tb), 0);
    EXPECT_EQ(ToHex(FromString(ta)), ToHex(FromString(tb))) << id;
    EXPECT_EQ(ToHex(FromString(ta)), ToHex(Encrypt(s, data, nullptr).out)) << id;
    EXPECT_EQ(ToHex(FromString(a.GetTag())), ToHex(FromString(b.GetTag()))) << id;
  }
}

TEST(CipherEngineAllocation, FailuresGiveOutOfMemoryAndNeverCrash) {
  std::mt19937 rng(6);
  const int ids[] = {tw::kCipherAes,      tw::kCipherBlowfish, tw::kCipherTwofish,
                     tw::kCipherRijndael, tw::kCipherAesGcm,   tw::kCipherXxtea};
  for (int id : ids) {
    CipherSetup s;
    s.id = id;
    s.padding = tw::kPaddingPkcs7;
    s.key = RandomBytes(rng, 16);
    if (id == tw::kCipherXxtea) {
      s.block_bits = 8256;  // beyond the fixed buffers
      s.padding = tw::kPaddingZeros;
    }
    s.iv = RandomBytes(rng, s.block_bits ? s.block_bits / 8 : (id == tw::kCipherBlowfish ? 8 : 16));
    Bytes data = RandomBytes(rng, 3000);
    Bytes expected = Encrypt(s, data, nullptr).out;
    int failures = 0;
    for (long fail_at = 1; fail_at < 40; ++fail_at) {
      win::HeapFailAfter(fail_at);
      Outcome r;
      {
        tw::CipherEngine e;
        r.rc = Configure(e, s);
        if (r.rc == 0) r = Drive(e, true, data, &rng);
      }
      win::HeapFailAfter(0);
      if (r.rc == 0) {
        EXPECT_EQ(ToHex(r.out), ToHex(expected)) << id << " fail at " << fail_at;
      } else {
        ++failures;
        EXPECT_EQ(r.rc, tw::kErrOutOfMemory) << id << " fail at " << fail_at;
      }
    }
    EXPECT_GT(failures, 0) << id;
  }
}

}  // namespace
