// Digests against the standards' vectors and, over every length from 0 to 1000 fed in random
// pieces, against python3's hashlib (OpenSSL underneath) and small reference sponges.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <new>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "crypto/symmetric/aes.h"
#include "crypto/symmetric/cpu_features.h"
#include "crypto/symmetric/digest_bits.h"
#include "crypto/symmetric/hash_engine.h"
#include "crypto/symmetric/hmac.h"
#include "crypto/symmetric/md2.h"
#include "crypto/symmetric/md4.h"
#include "crypto/symmetric/md5.h"
#include "crypto/symmetric/md5_sha1.h"
#include "crypto/symmetric/ripemd160.h"
#include "crypto/symmetric/sha1.h"
#include "crypto/symmetric/sha256.h"
#include "crypto/symmetric/sha3.h"
#include "crypto/symmetric/sha512.h"
#include "platform/heap.h"
#include "tests/support/case_name.h"
#include "tests/support/test_support.h"

namespace {

using tw::ByteString;
using tw::HashEngine;

using testsupport::Hex;
std::string Hex(const ByteString& b) { return Hex(b.data(), static_cast<size_t>(b.length())); }

std::string EngineDigest(int id, const std::string& msg) {
  HashEngine engine;
  EXPECT_EQ(engine.SetAlgorithm(id), 0);
  ByteString out;
  EXPECT_EQ(engine.DigestOf(msg.data(), static_cast<int64_t>(msg.size()), out), 0);
  return Hex(out);
}

// Feeds msg in the given pieces (the rest goes in one last update).
std::string EngineDigestSplit(HashEngine& engine, const std::string& msg, const std::vector<size_t>& cuts) {
  EXPECT_EQ(engine.Restart(), 0);
  size_t at = 0;
  for (size_t cut : cuts) {
    if (cut < at || cut > msg.size()) continue;
    EXPECT_EQ(engine.Update(msg.data() + at, static_cast<int64_t>(cut - at)), 0);
    at = cut;
  }
  EXPECT_EQ(engine.Update(msg.data() + at, static_cast<int64_t>(msg.size() - at)), 0);
  EXPECT_EQ(engine.Final(), 0);
  return Hex(engine.digest());
}

std::vector<size_t> RandomCuts(std::mt19937& rng, size_t n) {
  std::vector<size_t> cuts;
  std::uniform_int_distribution<int> step(0, 300);
  for (size_t at = 0; at < n;) {
    at += static_cast<size_t>(step(rng));
    cuts.push_back(at < n ? at : n);
  }
  return cuts;
}

// ---------------------------------------------------------------------------------------------
// Known answers from RFC 1319, 1320, 1321, FIPS 180-4, FIPS 202, the RIPEMD-160 page and the
// Keccak team's submission.

struct Kat {
  int id;
  const char* input;
  int repeat;
  const char* hex;
};

constexpr const char* kAlnum = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
constexpr const char* kDigits80 = "12345678901234567890123456789012345678901234567890123456789012345678901234567890";
constexpr const char* kAbc448 = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";

const Kat kKats[] = {
    {10, "", 1, "8350e5a3e24c153df2275c9f80692773"},
    {10, "a", 1, "32ec01ec4a6dac72c0ab96fb34c0b5d1"},
    {10, "abc", 1, "da853b0d3f88d99b30283a69e6ded6bb"},
    {10, "message digest", 1, "ab4f496bfb2a530b219ff33031fe06b0"},
    {10, "abcdefghijklmnopqrstuvwxyz", 1, "4e8ddff3650292ab5a4108c3aa47940b"},
    {10, kAlnum, 1, "da33def2a42df13975352846c30338cd"},
    {10, kDigits80, 1, "d5976f79d83d3a0dc9806c3c66f3efd8"},
    {9, "", 1, "31d6cfe0d16ae931b73c59d7e0c089c0"},
    {9, "a", 1, "bde52cb31de33e46245e05fbdbd6fb24"},
    {9, "abc", 1, "a448017aaf21d8525fc10ae87aa6729d"},
    {9, "message digest", 1, "d9130a8164549fe818874806e1c7014b"},
    {9, "abcdefghijklmnopqrstuvwxyz", 1, "d79e1c308aa5bbcdeea8ed63df412da9"},
    {9, kAlnum, 1, "043f8582f241db351ce627e153e7f0e4"},
    {9, kDigits80, 1, "e33b4ddc9c38f2199c3e7b164fcc0536"},
    {1, "", 1, "d41d8cd98f00b204e9800998ecf8427e"},
    {1, "abc", 1, "900150983cd24fb0d6963f7d28e17f72"},
    {1, "message digest", 1, "f96b697d7cb7938d525a2f31aaf161d0"},
    {1, kDigits80, 1, "57edf4a22be3c955ac49da2e2107b67a"},
    {8, "", 1, "9c1185a5c5e9fc54612808977ee8f548b2258d31"},
    {8, "abc", 1, "8eb208f7e05d987a9b044a8e98c6b087f15a0bfc"},
    {8, "message digest", 1, "5d0689ef49d2fae572b881b123a85ffa21595f36"},
    {8, kAbc448, 1, "12a053384a9c0c88e405a06c27dcf49ada62eb2b"},
    {8, kAlnum, 1, "b0e20b6e3116640286ed3a87a5713079b21f5189"},
    {8, kDigits80, 1, "9b752e45573d4b39f4dbd3323cab82bf63326bfb"},
    {8, "a", 1000000, "52783243c1697bdbe16d37f97f68f08325dc1528"},
    {0, "abc", 1, "a9993e364706816aba3e25717850c26c9cd0d89d"},
    {0, kAbc448, 1, "84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
    {0, "a", 1000000, "34aa973cd4c4daa4f61eeb2bdbad27316534016f"},
    {2, "abc", 1, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
    {2, kAbc448, 1, "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
    {2, "a", 1000000, "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    {3, "abc", 1, "23097d223405d8228642a477bda255b32aadbce4bda0b3f7e36c9da7"},
    {4, "abc", 1,
     "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a2192992a274fc1a836ba3c23a3feebbd454d4423643ce80e2a9ac94fa54ca49f"},
    {4, "a", 1000000,
     "e718483d0ce769644e2e42c7bc15b4638e1f98b13b2044285632a803afa973ebde0ff244877ea60a4cb0432ce577c31beb009c5c2c49aa2e4eadb217ad8cc09b"},
    {7, "abc", 1, "cb00753f45a35e8bb5a03d699ac65007272c32ab0eded1631a8b605a43ff5bed8086072ba1e7cc2358baeca134c825a7"},
    {5, "abc", 1, "4634270f707b6a54daae7530460842e20e37ed265ceee9a43e8924aa"},
    {6, "abc", 1, "53048e2681941ef99b2e29b76b4c7dabe4c2d0c634fc6d46e0e2f13107e7af23"},
    {11, "abc", 1, "900150983cd24fb0d6963f7d28e17f72a9993e364706816aba3e25717850c26c9cd0d89d"},
    {12, "", 1, "f71837502ba8e10837bdd8d365adb85591895602fc552b48b7390abd"},
    {13, "", 1, "c5d2460186f7233c927e7db2dcc703c0e500b653ca82273b7bfad8045d85a470"},
    {13, "abc", 1, "4e03657aea45a94fc7d47ba826c8d667c0d1e6e33a64a036ec44f58fa12d6c45"},
    {14, "", 1, "2c23146a63a29acf99e73b88f8c24eaa7dc60aa771780ccc006afbfa8fe2479b2dd2b21362337441ac12b515911957ff"},
    {15, "", 1,
     "0eab42de4c3ceb9235fc91acffe746b29c29a8c366b7c60e4e67c466f36a4304c00fa9caf9d87976ba469bcbe06713b435f091ef2769fb160cdab33d3670680e"},
    {16, "", 1, "7f9c2ba4e88f827d616045507605853ed73b8093f6efbc88eb1a6eacfa66ef26"},
    {17, "", 1,
     "46b9dd2b0ba88d13233b3feb743eeb243fcd52ea62b81b82b50c27646ed5762fd75dc4ddd8c0f200cb05019d67b592f6fc821c49479ab48640292eacb3b7c4be"},
};

// Every digest with a second code path runs on both: the SHA extensions (SHA-1, SHA-256), AVX2
// with BMI2 (SHA-512) and BMI (Keccak) where the processor has them, or the portable code.
struct DigestPath {
  const char* name;
  bool shaExtensions;
  uint32_t features;
};
constexpr DigestPath kDigestPaths[] = {{"Accelerated", true, tw::kCpuAll}, {"Portable", false, 0}};

class DigestPathTest : public testing::TestWithParam<DigestPath> {
 protected:
  void SetUp() override {
    tw::digest::SetShaExtensionsAllowed(GetParam().shaExtensions);
    tw::SetCpuFeatureMask(GetParam().features);
  }
  void TearDown() override {
    tw::digest::SetShaExtensionsAllowed(true);
    tw::SetCpuFeatureMask(tw::kCpuAll);
  }
};

class HashKnownAnswer : public DigestPathTest {};

TEST_P(HashKnownAnswer, StandardVectors) {
  for (const Kat& kat : kKats) {
    HashEngine engine;
    ASSERT_EQ(engine.SetAlgorithm(kat.id), 0);
    // Repeated inputs go in 1000-byte updates, which also crosses every block boundary.
    std::string chunk;
    for (int i = 0; i < (kat.repeat > 1000 ? 1000 : kat.repeat); ++i) chunk += kat.input;
    for (int done = 0; done < kat.repeat; done += 1000 > kat.repeat ? kat.repeat : 1000)
      ASSERT_EQ(engine.Update(chunk.data(), static_cast<int64_t>(chunk.size())), 0);
    ASSERT_EQ(engine.Final(), 0);
    EXPECT_EQ(Hex(engine.digest()), kat.hex) << "id " << kat.id << " input \"" << kat.input << "\" x" << kat.repeat;
    EXPECT_EQ(engine.digest().length(), tw::HashDigestSize(kat.id));
  }
}

INSTANTIATE_TEST_SUITE_P(Paths, HashKnownAnswer, testing::ValuesIn(kDigestPaths), testsupport::CaseName());

// ---------------------------------------------------------------------------------------------
// Differential check against python3.

const char kOracle[] = R"PY(import hashlib, sys

RC = [0x0000000000000001, 0x0000000000008082, 0x800000000000808A, 0x8000000080008000,
      0x000000000000808B, 0x0000000080000001, 0x8000000080008081, 0x8000000000008009,
      0x000000000000008A, 0x0000000000000088, 0x0000000080008009, 0x000000008000000A,
      0x000000008000808B, 0x800000000000008B, 0x8000000000008089, 0x8000000000008003,
      0x8000000000008002, 0x8000000000000080, 0x000000000000800A, 0x800000008000000A,
      0x8000000080008081, 0x8000000000008080, 0x0000000080000001, 0x8000000080008008]
M = (1 << 64) - 1
def rol(v, n):
    n %= 64
    return ((v << n) | (v >> (64 - n))) & M if n else v
# rotation offsets r[x][y] computed from the FIPS 202 definition
R = [[0] * 5 for _ in range(5)]
x, y = 1, 0
for t in range(24):
    R[x][y] = ((t + 1) * (t + 2) // 2) % 64
    x, y = y, (2 * x + 3 * y) % 5
def f1600(A):
    for rnd in range(24):
        C = [A[x][0] ^ A[x][1] ^ A[x][2] ^ A[x][3] ^ A[x][4] for x in range(5)]
        D = [C[(x - 1) % 5] ^ rol(C[(x + 1) % 5], 1) for x in range(5)]
        A = [[A[x][y] ^ D[x] for y in range(5)] for x in range(5)]
        B = [[0] * 5 for _ in range(5)]
        for x in range(5):
            for y in range(5):
                B[y][(2 * x + 3 * y) % 5] = rol(A[x][y], R[x][y])
        A = [[B[x][y] ^ ((~B[(x + 1) % 5][y]) & B[(x + 2) % 5][y]) for y in range(5)] for x in range(5)]
        A[0][0] ^= RC[rnd]
    return A
def sponge(rate, domain, msg, outlen):
    A = [[0] * 5 for _ in range(5)]
    m = bytearray(msg) + bytes([domain])
    while len(m) % rate: m.append(0)
    m[-1] ^= 0x80
    for off in range(0, len(m), rate):
        for i in range(rate // 8):
            A[i % 5][i // 5] ^= int.from_bytes(m[off + 8 * i: off + 8 * i + 8], 'little')
        A = f1600(A)
    out = b''
    while True:
        out += b''.join(A[i % 5][i // 5].to_bytes(8, 'little') for i in range(rate // 8))
        if len(out) >= outlen: return out[:outlen]
        A = f1600(A)

S = [41, 46, 67, 201, 162, 216, 124, 1, 61, 54, 84, 161, 236, 240, 6, 19, 98, 167, 5, 243, 192, 199,
     115, 140, 152, 147, 43, 217, 188, 76, 130, 202, 30, 155, 87, 60, 253, 212, 224, 22, 103, 66, 111, 24,
     138, 23, 229, 18, 190, 78, 196, 214, 218, 158, 222, 73, 160, 251, 245, 142, 187, 47, 238, 122, 169, 104,
     121, 145, 21, 178, 7, 63, 148, 194, 16, 137, 11, 34, 95, 33, 128, 127, 93, 154, 90, 144, 50, 39,
     53, 62, 204, 231, 191, 247, 151, 3, 255, 25, 48, 179, 72, 165, 181, 209, 215, 94, 146, 42, 172, 86,
     170, 198, 79, 184, 56, 210, 150, 164, 125, 182, 118, 252, 107, 226, 156, 116, 4, 241, 69, 157, 112, 89,
     100, 113, 135, 32, 134, 91, 207, 101, 230, 45, 168, 2, 27, 96, 37, 173, 174, 176, 185, 246, 28, 70,
     97, 105, 52, 64, 126, 15, 85, 71, 163, 35, 221, 81, 175, 58, 195, 92, 249, 206, 186, 197, 234, 38,
     44, 83, 13, 110, 133, 40, 132, 9, 211, 223, 205, 244, 65, 129, 77, 82, 106, 220, 55, 200, 108, 193,
     171, 250, 36, 225, 123, 8, 12, 189, 177, 74, 120, 136, 149, 139, 227, 99, 232, 109, 233, 203, 213, 254,
     59, 0, 29, 57, 242, 239, 183, 14, 102, 88, 208, 228, 166, 119, 114, 248, 235, 117, 75, 10, 49, 68,
     80, 180, 143, 237, 31, 26, 219, 153, 141, 51, 159, 17, 131, 20]
def md2(m):
    C = [0] * 16; X = [0] * 48; L = 0
    pad = 16 - len(m) % 16
    m = bytes(m) + bytes([pad]) * pad
    for i in range(0, len(m), 16):
        for j in range(16):
            C[j] ^= S[m[i + j] ^ L]; L = C[j]
    m += bytes(C)
    for i in range(0, len(m), 16):
        for j in range(16):
            X[16 + j] = m[i + j]; X[32 + j] = X[16 + j] ^ X[j]
        t = 0
        for j in range(18):
            for k in range(48):
                X[k] ^= S[t]; t = X[k]
            t = (t + j) & 0xff
    return bytes(X[:16])

# The references must reproduce the published digests before they are trusted.
for probe in (b'', b'abc', bytes(range(200))):
    for bits, rate in ((224, 144), (256, 136), (384, 104), (512, 72)):
        if sponge(rate, 0x06, probe, bits // 8) != hashlib.new('sha3_%d' % bits, probe).digest():
            print('reference-keccak-broken'); sys.exit(3)
    if sponge(168, 0x1f, probe, 300) != hashlib.shake_128(probe).digest(300):
        print('reference-keccak-broken'); sys.exit(3)
if md2(b'abc').hex() != 'da853b0d3f88d99b30283a69e6ded6bb':
    print('reference-md2-broken'); sys.exit(3)

data = open(sys.argv[1], 'rb').read()
full = range(0, len(data) + 1)
slow = sorted(set(range(0, 40)) | {b * k + d for b in (16, 64, 72, 104, 128, 136, 144, 168)
                                   for k in (1, 2, 3) for d in (-1, 0, 1) if b * k + d <= len(data)}
              | {len(data) - 1, len(data)})
fast = {'sha1': 'sha1', 'md5': 'md5', 'sha256': 'sha256', 'sha224': 'sha224', 'sha512': 'sha512',
        'sha512_224': 'sha512_224', 'sha512_256': 'sha512_256', 'sha384': 'sha384',
        'ripemd160': 'ripemd160', 'md4': 'md4', 'md5-sha1': 'md5-sha1',
        'sha3_224': 'sha3_224', 'sha3_256': 'sha3_256', 'sha3_384': 'sha3_384', 'sha3_512': 'sha3_512'}
out = []
for name, algo in fast.items():
    try:
        hashlib.new(algo)
    except ValueError:
        out.append('missing %s' % name)
        continue
    for n in full:
        out.append('%s %d %s' % (name, n, hashlib.new(algo, data[:n]).hexdigest()))
for n in full:
    out.append('shake128 %d %s' % (n, hashlib.shake_128(data[:n]).hexdigest(32)))
    out.append('shake256 %d %s' % (n, hashlib.shake_256(data[:n]).hexdigest(64)))
for n in slow:
    out.append('shake128x500 %d %s' % (n, hashlib.shake_128(data[:n]).hexdigest(500)))
    out.append('shake256x300 %d %s' % (n, hashlib.shake_256(data[:n]).hexdigest(300)))
    out.append('md2 %d %s' % (n, md2(data[:n]).hex()))
    for bits, rate in ((224, 144), (256, 136), (384, 104), (512, 72)):
        out.append('keccak%d %d %s' % (bits, n, sponge(rate, 0x01, data[:n], bits // 8).hex()))
print('\n'.join(out))
)PY";

const char kLegacyConf[] =
    "openssl_conf = openssl_init\n[openssl_init]\nproviders = provider_sect\n"
    "[provider_sect]\ndefault = default_sect\nlegacy = legacy_sect\n"
    "[default_sect]\nactivate = 1\n[legacy_sect]\nactivate = 1\n";

constexpr size_t kMaxLength = 1000;

// (oracle name, length) -> hex digest.
using OracleTable = std::map<std::pair<std::string, size_t>, std::string>;

std::string TestData() {
  std::string data(kMaxLength, '\0');
  std::mt19937 rng(20240611);
  for (char& c : data) c = static_cast<char>(rng() & 0xff);
  return data;
}

bool WriteFile(const std::string& path, const std::string& text) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return false;
  const bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
  return std::fclose(f) == 0 && ok;
}

// Runs the oracle once for the whole suite; empty when python3 is not usable.
const OracleTable& Oracle(std::string* why) {
  static OracleTable table;
  static std::string failure;
  static bool done = false;
  if (!done) {
    done = true;
    if (!testsupport::HavePython()) {
      failure = "/usr/bin/python3 not installed";
    } else {
      const std::string dir = testsupport::MakeTempDir();
      WriteFile(dir + "/oracle.py", kOracle);
      WriteFile(dir + "/legacy.cnf", kLegacyConf);
      WriteFile(dir + "/data.bin", TestData());
      int status = -1;
      const std::string out = testsupport::RunCommand(
          "OPENSSL_CONF='" + dir + "/legacy.cnf' python3 '" + dir + "/oracle.py' '" + dir + "/data.bin'", "", &status);
      testsupport::RunCommand("rm -rf '" + dir + "'");
      if (status != 0) failure = "python3 oracle failed: " + out.substr(0, 200);
      std::istringstream lines(out);
      std::string name, hex;
      size_t n;
      while (lines >> name) {
        if (name == "missing") {
          lines >> hex;
          failure += "hashlib lacks " + hex + "; ";
          continue;
        }
        lines >> n >> hex;
        table[{name, n}] = hex;
      }
    }
  }
  *why = failure;
  return table;
}

constexpr const char* kOracleNames[tw::kHashIdCount] = {
    "sha1",      "md5",       "sha256",    "sha224",    "sha512",   "sha512_224", "sha512_256", "sha384",   "ripemd160",
    "md4",       "md2",       "md5-sha1",  "keccak224", "keccak256", "keccak384", "keccak512", "shake128", "shake256"};

// Split points around every block size and sponge rate.
const size_t kBoundaries[] = {1, 15, 16, 17, 63, 64, 65, 71, 72, 73, 103, 104, 105, 127, 128, 129,
                              135, 136, 137, 143, 144, 145, 167, 168, 169, 255, 256, 257};

bool NearBoundary(size_t n) {
  for (size_t b : {16, 64, 72, 104, 128, 136, 144, 168}) {
    for (size_t k = 1; k <= 3; ++k)
      if (n + 1 >= b * k && n <= b * k + 1) return true;
  }
  return n < 20 || n >= kMaxLength - 1;
}

class HashDifferential : public DigestPathTest {};

TEST_P(HashDifferential, EveryIdEveryLengthInPieces) {
  std::string why;
  const OracleTable& oracle = Oracle(&why);
  if (!why.empty()) TW_REQUIRE_OR_SKIP(why);
  if (GetParam().shaExtensions && !tw::digest::CpuHasShaExtensions() && !tw::CpuHas(tw::kCpuBmi2))
    GTEST_SKIP() << "no accelerated digest on this CPU";
  const std::string data = TestData();
  std::mt19937 rng(7);
  for (int id = 0; id < tw::kHashIdCount; ++id) {
    // MD2, MD4, MD5 and RIPEMD-160 have no second code path.
    const bool singlePath =
        id == tw::kHashMd2 || id == tw::kHashMd4 || id == tw::kHashMd5 || id == tw::kHashRipemd160;
    if (!GetParam().shaExtensions && singlePath) continue;
    HashEngine engine;
    ASSERT_EQ(engine.SetAlgorithm(id), 0);
    int compared = 0;
    for (size_t n = 0; n <= kMaxLength; ++n) {
      auto it = oracle.find({kOracleNames[id], n});
      if (it == oracle.end()) continue;
      const std::string msg = data.substr(0, n);
      ++compared;
      ASSERT_EQ(EngineDigestSplit(engine, msg, {}), it->second) << "id " << id << " length " << n;
      ASSERT_EQ(EngineDigestSplit(engine, msg, RandomCuts(rng, n)), it->second) << "id " << id << " length " << n;
      if (!NearBoundary(n) && n % 37 != 0) continue;
      for (size_t cut : kBoundaries) {
        if (cut >= n) break;
        ASSERT_EQ(EngineDigestSplit(engine, msg, {cut}), it->second) << "id " << id << " length " << n << " cut " << cut;
        ASSERT_EQ(EngineDigestSplit(engine, msg, {cut, n - (n - cut) / 2}), it->second)
            << "id " << id << " length " << n << " cuts " << cut;
      }
    }
    EXPECT_GT(compared, 60) << "oracle gave too few digests for id " << id;
  }
}

INSTANTIATE_TEST_SUITE_P(Paths, HashDifferential, testing::ValuesIn(kDigestPaths), testsupport::CaseName());

// The same sponge with the FIPS 202 padding (0x06) must give hashlib's SHA3 digests, and the
// SHAKE forms must give any output length (many squeezes), on both permutations.
class Sha3Differential : public DigestPathTest {};

TEST_P(Sha3Differential, FipsPaddingAndLongOutputs) {
  std::string why;
  const OracleTable& oracle = Oracle(&why);
  if (!why.empty()) TW_REQUIRE_OR_SKIP(why);
  const std::string data = TestData();
  struct Form {
    tw::Sha3Variant variant;
    const char* name;
    int bits;
  };
  const Form forms[] = {{tw::Sha3Variant::kSha3_224, "sha3_224", 224}, {tw::Sha3Variant::kSha3_256, "sha3_256", 256},
                        {tw::Sha3Variant::kSha3_384, "sha3_384", 384}, {tw::Sha3Variant::kSha3_512, "sha3_512", 512},
                        {tw::Sha3Variant::kShake128, "shake128x500", 4000},
                        {tw::Sha3Variant::kShake256, "shake256x300", 2400}};
  std::mt19937 rng(11);
  for (const Form& form : forms) {
    int compared = 0;
    tw::Sha3 sponge(form.variant);
    sponge.set_output_bits(form.bits);
    for (size_t n = 0; n <= kMaxLength; ++n) {
      auto it = oracle.find({form.name, n});
      if (it == oracle.end()) continue;
      ++compared;
      sponge.Reset();
      size_t at = 0;
      for (size_t cut : RandomCuts(rng, n)) {
        sponge.Absorb(data.data() + at, cut - at);
        at = cut;
      }
      ASSERT_EQ(sponge.Final(), 0);
      ASSERT_EQ(Hex(sponge.output()), it->second) << form.name << " length " << n;
    }
    EXPECT_GT(compared, 60) << form.name;
  }
}

INSTANTIATE_TEST_SUITE_P(Paths, Sha3Differential, testing::ValuesIn(kDigestPaths), testsupport::CaseName());

// The accelerated cases above run the vector and BMI code only where detection finds what the
// kernel reports; a detection that missed them would test the portable code twice.
TEST(DigestPaths, DetectionMatchesTheKernelsFlags) {
#if defined(__x86_64__)
  std::ifstream cpuinfo("/proc/cpuinfo");
  std::string line;
  while (std::getline(cpuinfo, line) && line.rfind("flags", 0) != 0) {
  }
  ASSERT_FALSE(line.empty()) << "no flags line in /proc/cpuinfo";
  std::istringstream words(line.substr(line.find(':') + 1));
  const std::set<std::string> flags{std::istream_iterator<std::string>(words), {}};
  auto has = [&](const char* name) { return flags.count(name) != 0; };
  EXPECT_EQ(tw::digest::CpuHasShaExtensions(), has("sha_ni") && has("ssse3") && has("sse4_1"));
  EXPECT_EQ(tw::CpuHas(tw::kCpuBmi2), has("bmi1") && has("bmi2") && has("avx"));
  EXPECT_EQ(tw::CpuHas(tw::kCpuAvx2), has("avx2"));
#endif
}

// SHA-256 with AES-CBC beside it gives the digest and ciphertext of the two run apart on the
// portable code, for every AES key size and digest input that starts mid-block or outlasts the
// cipher's.
struct BesideCase {
  const char* name;
  int keyBytes;
  size_t offset, length, blocks;
};
const BesideCase kBesideCases[] = {
    {"aes128_aligned", 16, 0, 16384, 1024},          {"aes128_after_record_header", 16, 13, 16384, 1024},
    {"aes192_digest_shorter", 24, 13, 1000, 100},    {"aes256_cipher_shorter", 32, 5, 4096, 10},
    {"aes256_nothing_to_encrypt", 32, 0, 500, 0},
};

class Sha256BesideCbc : public testing::TestWithParam<BesideCase> {
 protected:
  void TearDown() override {
    tw::SetCpuFeatureMask(tw::kCpuAll);
    tw::digest::SetShaExtensionsAllowed(true);
  }
};

TEST_P(Sha256BesideCbc, MatchesTheTwoApart) {
  const BesideCase& c = GetParam();
  const std::string key = testsupport::RandomBytes(32, 1), data = testsupport::RandomBytes(c.offset + c.length, 2),
                    plain = testsupport::RandomBytes(16 * c.blocks, 3), iv0 = testsupport::RandomBytes(16, 4);
  auto run = [&](bool beside, bool accelerated) {
    tw::SetCpuFeatureMask(accelerated ? uint32_t{tw::kCpuAll} : 0u);
    tw::digest::SetShaExtensionsAllowed(accelerated);
    tw::AesContext aes;
    EXPECT_EQ(aes.SetKey(reinterpret_cast<const uint8_t*>(key.data()), c.keyBytes, 1, tw::kCipherModeCbc), 0);
    tw::Sha256Context sha;
    sha.Update(data.data(), c.offset);
    uint8_t iv[16];
    std::memcpy(iv, iv0.data(), 16);
    const uint8_t* in = reinterpret_cast<const uint8_t*>(plain.data());
    std::vector<uint8_t> out(plain.size());
    if (beside) {
      sha.UpdateBesideCbc(data.data() + c.offset, c.length, aes, in, out.data(), c.blocks, iv);
    } else {
      sha.Update(data.data() + c.offset, c.length);
      EXPECT_EQ(aes.EncryptCbc(in, out.data(), c.blocks, iv), 0);
    }
    return Hex(sha.Final(), 32) + Hex(out.data(), out.size()) + Hex(iv, 16);
  };
  const std::string apart = run(false, false);
  EXPECT_EQ(run(true, true), apart);
  EXPECT_EQ(run(true, false), apart);
}

INSTANTIATE_TEST_SUITE_P(Cases, Sha256BesideCbc, testing::ValuesIn(kBesideCases), testsupport::CaseName());

// RFC 4231 cases 1, 2 and 6 (a key longer than the block), each MAC made twice under one key.
TEST(HmacSha256Cbc, Rfc4231Vectors) {
  const struct {
    std::string key, data;
    const char* mac;
  } cases[] = {
      {std::string(20, '\x0b'), "Hi There", "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7"},
      {"Jefe", "what do ya want for nothing?", "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843"},
      {std::string(131, '\xaa'), "Test Using Larger Than Block-Size Key - Hash Key First",
       "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54"},
  };
  for (const auto& c : cases) {
    tw::HmacSha256Cbc hmac;
    hmac.SetKey(reinterpret_cast<const uint8_t*>(c.key.data()), c.key.size());
    for (int twice = 0; twice < 2; ++twice) {
      uint8_t mac[32];
      hmac.Update(c.data.data(), c.data.size());
      hmac.Final(mac);
      EXPECT_EQ(Hex(mac, 32), c.mac) << c.data;
    }
  }
}

// ---------------------------------------------------------------------------------------------
// The engine.

TEST(HashEngine, FreshEngineDigestsWithSha1) {
  HashEngine engine;
  EXPECT_EQ(engine.id(), tw::kHashSha1);
  ASSERT_EQ(engine.Update("abc", 3), 0);
  ASSERT_EQ(engine.Final(), 0);
  EXPECT_EQ(Hex(engine.digest()), "a9993e364706816aba3e25717850c26c9cd0d89d");
}

TEST(HashEngine, NamesSelectTheirIds) {
  const std::pair<const char*, int> accepted[] = {
      {"SHA1", 0},         {"sha-1", 0},        {"Md5", 1},           {"sha256", 2},       {"SHA-256", 2},
      {"sha224", 3},       {"SHA-224", 3},      {"SHA512", 4},        {"sha-512", 4},      {"SHA512/224", 5},
      {"sha-512/224", 5},  {"sha512/256", 6},   {"SHA-512/256", 6},   {"SHA384", 7},       {"Sha-384", 7},
      {"sha3_224", 12},    {"SHA-3-224", 12},   {"SHA3_256", 13},     {"sha-3-256", 13},   {"SHA3_384", 14},
      {"SHA-3-384", 14},   {"sha3_512", 15},    {"SHA-3-512", 15},    {"shake128", 16},    {"SHAKE256", 17},
      {"RIPEMD160", 8},    {"ripemd-160", 8},   {"md160", 8},         {"MD4", 9},          {"md2", 10},
      {"md5sha1", 11}};
  for (const auto& [name, id] : accepted) {
    HashEngine engine;
    ASSERT_EQ(engine.SetAlgorithmByName(name), 0) << name;
    EXPECT_EQ(engine.id(), id) << name;
    ByteString out;
    ASSERT_EQ(engine.DigestOf("", 0, out), 0);
    EXPECT_EQ(out.length(), tw::HashDigestSize(id)) << name;
  }
  // Other spellings are refused, and a refused name leaves the engine as it was.
  const char* refused[] = {"SHA_256", "SHA-3_256", "SHA3-256", "SHA-3", "SHA3", "SHA 256", "SHA256 ", "",
                           "SHA-512-256", "KECCAK256", "SHAKE-128", "MD5-SHA1", "SHA1\xc4\xb1", "\xc5\xbfHA1"};
  HashEngine engine;
  ASSERT_EQ(engine.SetAlgorithm(tw::kHashMd5), 0);
  for (const char* name : refused) EXPECT_EQ(engine.SetAlgorithmByName(name), tw::kErrHashAlgorithm) << name;
  EXPECT_EQ(engine.SetAlgorithmByName(nullptr), tw::kErrHashAlgorithm);
  EXPECT_EQ(engine.id(), tw::kHashMd5);
  ByteString out;
  ASSERT_EQ(engine.DigestOf("abc", 3, out), 0);
  EXPECT_EQ(Hex(out), "900150983cd24fb0d6963f7d28e17f72");
}

TEST(HashEngine, IdOutsideRangeFailsAtOnceAndAfterwards) {
  for (int bad : {18, -1, 1000, INT32_MIN}) {
    HashEngine engine;
    EXPECT_EQ(engine.SetAlgorithm(bad), tw::kErrHashAlgorithm) << bad;
    // A caller that ignored the code still gets no digest from the previous algorithm.
    EXPECT_EQ(engine.Update("abc", 3), tw::kErrHashAlgorithm);
    EXPECT_EQ(engine.Final(), tw::kErrHashAlgorithm);
    ByteString out;
    EXPECT_EQ(engine.DigestOf("abc", 3, out), tw::kErrHashAlgorithm);
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(engine.digest().length(), 0);
    EXPECT_EQ(engine.SetAlgorithm(tw::kHashSha256), 0);
    ASSERT_EQ(engine.DigestOf("abc", 3, out), 0);
    EXPECT_EQ(Hex(out).substr(0, 8), "ba7816bf");
  }
}

TEST(HashEngine, SizesByIdAndOutOfRange) {
  const int digest[] = {20, 16, 32, 28, 64, 28, 32, 48, 20, 16, 16, 36, 28, 32, 48, 64, 32, 64};
  const int block[] = {64, 64, 64, 64, 128, 128, 128, 128, 64, 64, 16, 64, 144, 136, 104, 72, 168, 136};
  for (int id = 0; id < tw::kHashIdCount; ++id) {
    EXPECT_EQ(tw::HashDigestSize(id), digest[id]) << id;
    EXPECT_EQ(tw::HashBlockSizeOf(id), block[id]) << id;
    HashEngine engine;
    ASSERT_EQ(engine.SetAlgorithm(id), 0);
    EXPECT_EQ(tw::HashBlockSize(engine), block[id]);
  }
  EXPECT_EQ(tw::HashDigestSize(18), 0);
  EXPECT_EQ(tw::HashDigestSize(-1), 0);
  EXPECT_EQ(tw::HashBlockSizeOf(18), 0);
}

TEST(HashEngine, OneShotHelpersAgree) {
  for (int id = 0; id < tw::kHashIdCount; ++id) {
    HashEngine engine;
    ASSERT_EQ(engine.SetAlgorithm(id), 0);
    ByteString whole, again, pair, triple;
    ASSERT_EQ(engine.DigestOf("abc", 3, whole), 0);
    ASSERT_EQ(engine.DigestOf("abc", 3, again), 0);
    EXPECT_EQ(Hex(whole), Hex(again)) << id;
    ByteString a("ab"), b("c"), empty;
    ASSERT_EQ(engine.DigestOfPair(a, b, pair), 0);
    EXPECT_EQ(Hex(pair), Hex(whole)) << id;
    ByteString x("a"), y("b");
    ASSERT_EQ(engine.DigestOfTriple(x, y, b, triple), 0);
    EXPECT_EQ(Hex(triple), Hex(whole)) << id;
    ASSERT_EQ(engine.DigestOfTriple(empty, a, b, triple), 0);
    EXPECT_EQ(Hex(triple), Hex(whole)) << id;
    // The output may be one of the inputs.
    ByteString alias("ab");
    ASSERT_EQ(engine.DigestOfPair(alias, b, alias), 0);
    EXPECT_EQ(Hex(alias), Hex(whole)) << id;
  }
  ByteString out;
  EXPECT_EQ(tw::DigestByName("abc", 3, "sha-512/256", out), 0);
  EXPECT_EQ(Hex(out), "53048e2681941ef99b2e29b76b4c7dabe4c2d0c634fc6d46e0e2f13107e7af23");
  EXPECT_EQ(tw::DigestByName("abc", 3, "SHA512/224", out), 0);
  EXPECT_EQ(out.length(), 28);
  EXPECT_EQ(tw::DigestByName("abc", 3, "sha3-256", out), tw::kErrHashAlgorithm);
  EXPECT_EQ(tw::DigestByName("", 0, "SHA3_256", out), 0);
  EXPECT_EQ(Hex(out).substr(0, 8), "c5d24601");  // Keccak-256, not FIPS 202 SHA3-256 (a7ffc6f8)
  EXPECT_EQ(tw::DigestByName("", 0, "SHAKE128", out), 0);
  EXPECT_EQ(out.length(), 32);
  EXPECT_EQ(tw::DigestByName("", 0, "SHAKE256", out), 0);
  EXPECT_EQ(out.length(), 64);
}

TEST(HashEngine, Md5Sha1IsBothDigestsSideBySide) {
  const std::string data = TestData();
  for (size_t n : {0, 1, 55, 56, 63, 64, 65, 119, 120, 1000}) {
    const std::string msg = data.substr(0, n);
    EXPECT_EQ(EngineDigest(tw::kHashMd5Sha1, msg), EngineDigest(tw::kHashMd5, msg) + EngineDigest(tw::kHashSha1, msg))
        << n;
  }
}

// A finish wipes the working state of most contexts; nothing may ever be computed over it.
TEST(HashEngine, UpdateOrFinalAfterFinalNeverUsesAWipedState) {
  for (int id = 0; id < tw::kHashIdCount; ++id) {
    HashEngine engine;
    ASSERT_EQ(engine.SetAlgorithm(id), 0);
    ASSERT_EQ(engine.Update("first", 5), 0);
    ASSERT_EQ(engine.Final(), 0);
    const std::string first = Hex(engine.digest());
    EXPECT_EQ(first, EngineDigest(id, "first")) << id;
    ASSERT_EQ(engine.Final(), 0);
    EXPECT_EQ(Hex(engine.digest()), first) << "a second Final changed the digest, id " << id;
    ASSERT_EQ(engine.Update("abc", 3), 0);
    ASSERT_EQ(engine.Final(), 0);
    EXPECT_EQ(Hex(engine.digest()), EngineDigest(id, "abc")) << "Update after Final, id " << id;
  }
}

TEST(HashEngine, NullAndNegativeCountsAbsorbNothing) {
  HashEngine engine;
  ASSERT_EQ(engine.SetAlgorithm(tw::kHashSha256), 0);
  ASSERT_EQ(engine.Update(nullptr, 10), 0);
  ASSERT_EQ(engine.Update("abc", -5), 0);
  ASSERT_EQ(engine.Update("abc", 0), 0);
  ASSERT_EQ(engine.Final(), 0);
  EXPECT_EQ(Hex(engine.digest()), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
}

TEST(HashEngine, MissingContextGives200UntilRestart) {
  HashEngine engine;
  win::HeapFailAfter(1);
  EXPECT_EQ(engine.SetAlgorithm(tw::kHashSha512), tw::kErrOutOfMemory);
  win::HeapFailAfter(0);
  EXPECT_EQ(engine.Update("abc", 3), tw::kErrOutOfMemory);
  EXPECT_EQ(engine.Final(), tw::kErrOutOfMemory);
  ASSERT_EQ(engine.Restart(), 0);
  ASSERT_EQ(engine.Update("abc", 3), 0);
  ASSERT_EQ(engine.Final(), 0);
  EXPECT_EQ(Hex(engine.digest()).substr(0, 8), "ddaf35a1");

  engine.Reset();
  EXPECT_EQ(engine.Update("abc", 3), tw::kErrOutOfMemory);
  EXPECT_EQ(engine.id(), tw::kHashSha512);
}

TEST(HashEngine, EveryAllocationFailureIsReported) {
  // Fail each allocation of a whole SHAKE256 digest in turn; every step must report it.
  for (long n = 1; n < 6; ++n) {
    HashEngine engine;
    ByteString out;
    win::HeapFailAfter(n);
    int rc = engine.SetAlgorithm(tw::kHashShake256);
    if (rc == 0) rc = engine.DigestOf("abc", 3, out);
    win::HeapFailAfter(0);
    EXPECT_TRUE(rc == 0 || rc == tw::kErrOutOfMemory) << rc;
    if (rc == 0) {
      EXPECT_EQ(out.length(), 64);
    }
  }
}

// ---------------------------------------------------------------------------------------------
// The contexts used directly by other components.

template <class Context>
std::string ContextDigest(Context& ctx, const std::string& msg, size_t size) {
  ctx.Init();
  ctx.Update(msg.data(), msg.size());
  return Hex(ctx.Final(), size);
}

TEST(HashContexts, PublicContextsMatchTheEngine) {
  const std::string data = TestData();
  for (size_t n : {0, 3, 63, 64, 65, 200, 1000}) {
    const std::string msg = data.substr(0, n);
    tw::Md5Context md5;
    tw::Sha1Context sha1;
    tw::Sha256Context sha256;
    tw::Sha256Context sha224(tw::Sha256Variant::kSha224);
    tw::Sha512Context sha384(tw::Sha512Variant::kSha384);
    tw::Md4Context md4;
    tw::Md2Context md2;
    tw::Ripemd160Context ripemd;
    EXPECT_EQ(ContextDigest(md5, msg, 16), EngineDigest(tw::kHashMd5, msg));
    EXPECT_EQ(ContextDigest(sha1, msg, 20), EngineDigest(tw::kHashSha1, msg));
    EXPECT_EQ(ContextDigest(sha256, msg, 32), EngineDigest(tw::kHashSha256, msg));
    EXPECT_EQ(ContextDigest(sha224, msg, 28), EngineDigest(tw::kHashSha224, msg));
    EXPECT_EQ(ContextDigest(sha384, msg, 48), EngineDigest(tw::kHashSha384, msg));
    EXPECT_EQ(ContextDigest(md4, msg, 16), EngineDigest(tw::kHashMd4, msg));
    EXPECT_EQ(ContextDigest(md2, msg, 16), EngineDigest(tw::kHashMd2, msg));
    EXPECT_EQ(ContextDigest(ripemd, msg, 20), EngineDigest(tw::kHashRipemd160, msg));
  }
}

TEST(HashContexts, FinalTwiceAndUpdateAfterFinal) {
  tw::Sha256Context ctx;
  ctx.Update("first", 5);
  const std::string first = Hex(ctx.Final(), 32);
  EXPECT_EQ(Hex(ctx.Final(), 32), first);
  ctx.Update("abc", 3);
  EXPECT_EQ(Hex(ctx.Final(), 32), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");

  tw::Sha1Context sha1;
  sha1.Update("first", 5);
  const uint8_t* d1 = sha1.Final();
  ASSERT_NE(d1, nullptr);
  EXPECT_EQ(sha1.Final(), d1);
  sha1.Update("abc", 3);
  EXPECT_EQ(Hex(sha1.Final(), 20), "a9993e364706816aba3e25717850c26c9cd0d89d");

  tw::Md5Context md5;
  md5.Update("first", 5);
  md5.Final();
  md5.Update("abc", 3);
  EXPECT_EQ(Hex(md5.Final(), 16), "900150983cd24fb0d6963f7d28e17f72");
}

TEST(HashContexts, Md4UpdateWithStartIndex) {
  tw::Md4Context ctx;
  const char text[] = "xxabcyy";
  ctx.Update(text, 2, 3);
  EXPECT_EQ(Hex(ctx.Final(), 16), "a448017aaf21d8525fc10ae87aa6729d");
}

TEST(HashContexts, Sha1RefusesAMessageBeyond2To64Bits) {
  tw::Sha1Context ctx;
  ctx.Update("abc", 3);
  // Never read: the length check comes first.
  ctx.Update("x", size_t{1} << 61);
  EXPECT_TRUE(ctx.corrupted());
  EXPECT_EQ(ctx.Final(), nullptr);
  ctx.Init();
  ctx.Update("abc", 3);
  ASSERT_NE(ctx.Final(), nullptr);
}

// Contexts are built in a buffer of our own so that the bytes they leave behind can be read.
template <class Context, class... Args>
void ExpectWipedWhenFreed(const char* name, Args... args) {
  alignas(Context) unsigned char storage[sizeof(Context)];
  std::memset(storage, 0, sizeof storage);
  Context* ctx = new (storage) Context(args...);
  const std::string secret(300, 's');
  ctx->Update(secret.data(), secret.size() - 7);  // leaves secret bytes in the buffer
  ctx->~Context();
  for (size_t i = 0; i < sizeof storage; ++i) ASSERT_EQ(storage[i], 0) << name << " byte " << i;
  new (storage) Context(args...);
  ctx = reinterpret_cast<Context*>(storage);
  ctx->Update(secret.data(), secret.size());
  ctx->Final();
  ctx->~Context();
  for (size_t i = 0; i < sizeof storage; ++i) ASSERT_EQ(storage[i], 0) << name << " after Final, byte " << i;
}

TEST(HashContexts, WipedWhenFreed) {
  ExpectWipedWhenFreed<tw::Md5Context>("md5");
  ExpectWipedWhenFreed<tw::Sha1Context>("sha1");
  ExpectWipedWhenFreed<tw::Sha256Context>("sha256", tw::Sha256Variant::kSha224);
  ExpectWipedWhenFreed<tw::Sha512Context>("sha512", tw::Sha512Variant::kSha384);
  ExpectWipedWhenFreed<tw::Md4Context>("md4");
  ExpectWipedWhenFreed<tw::Md2Context>("md2");
  ExpectWipedWhenFreed<tw::Ripemd160Context>("ripemd160");
  ExpectWipedWhenFreed<tw::Md5Sha1Context>("md5sha1");
}

// ---------------------------------------------------------------------------------------------
// The sponge object.

TEST(Sha3, PiecesAndRateSplitsGiveTheSameOutput) {
  const std::string data = TestData().substr(0, 400);
  tw::Sha3 whole(tw::Sha3Variant::kShake128);
  whole.Absorb(data.data(), 150);
  ASSERT_EQ(whole.Final(), 0);
  tw::Sha3 pieces(tw::Sha3Variant::kShake128);
  pieces.Absorb(data.data(), 1);
  pieces.Absorb(data.data() + 1, 7);
  pieces.Absorb(data.data() + 8, 142);
  ASSERT_EQ(pieces.Final(), 0);
  EXPECT_EQ(Hex(pieces.output()), Hex(whole.output()));

  tw::Sha3 at(tw::Sha3Variant::kShake128), across(tw::Sha3Variant::kShake128);
  at.Absorb(data.data(), 168);
  at.Absorb(data.data() + 168, 232);
  across.Absorb(data.data(), 400);
  ASSERT_EQ(at.Final(), 0);
  ASSERT_EQ(across.Final(), 0);
  EXPECT_EQ(Hex(at.output()), Hex(across.output()));
  at.Absorb(nullptr, 5);
}

TEST(Sha3, OneSpareByteTakesTheCombinedPadByte) {
  struct Case {
    tw::Sha3Variant variant;
    uint8_t pad;
  };
  for (const Case& c : {Case{tw::Sha3Variant::kKeccak256, 0x81}, Case{tw::Sha3Variant::kShake128, 0x9f},
                        Case{tw::Sha3Variant::kSha3_512, 0x86}}) {
    tw::Sha3 sponge(c.variant);
    const int rate = sponge.rate();
    std::string block = TestData().substr(0, static_cast<size_t>(rate - 1));
    sponge.Absorb(block.data(), block.size());
    ASSERT_EQ(sponge.Final(), 0);
    block += static_cast<char>(c.pad);
    uint64_t lanes[25] = {};
    for (int i = 0; i < rate / 8; ++i) lanes[i] = tw::digest::LoadLe64(reinterpret_cast<const uint8_t*>(block.data()) + 8 * i);
    tw::KeccakF1600(lanes);
    const int outBytes = sponge.output().length();
    EXPECT_EQ(Hex(sponge.output()), Hex(lanes, static_cast<size_t>(outBytes)));
  }
}

TEST(Sha3, OutputLengthIsTheOwnersChoice) {
  tw::Shake shake256;
  shake256.set_output_bits(912);
  shake256.Absorb("abc", 3);
  ASSERT_EQ(shake256.Final(), 0);
  EXPECT_EQ(shake256.output().length(), 114);
  const std::string short_ = Hex(shake256.output());

  shake256.Reset();
  shake256.set_output_bits(8 * 300);
  shake256.Absorb("abc", 3);
  ASSERT_EQ(shake256.Final(), 0);
  ASSERT_EQ(shake256.output().length(), 300);
  EXPECT_EQ(Hex(shake256.output()).substr(0, short_.size()), short_);

  // A digest form never gives more than one rate.
  tw::Sha3 keccak(tw::Sha3Variant::kKeccak512);
  keccak.set_output_bits(2048);
  ASSERT_EQ(keccak.Final(), 0);
  EXPECT_EQ(keccak.output().length(), 72);
  keccak.set_output_bits(-5);
  keccak.Reset();
  ASSERT_EQ(keccak.Final(), 0);
  EXPECT_EQ(keccak.output().length(), 0);
}

TEST(Sha3, FinishWithoutResetMovesOn) {
  tw::Shake shake(128);
  shake.Absorb("abc", 3);
  ASSERT_EQ(shake.Final(), 0);
  const std::string first = Hex(shake.output());
  ASSERT_EQ(shake.Final(), 0);
  EXPECT_NE(Hex(shake.output()), first);
  shake.Reset();
  shake.Absorb("abc", 3);
  ASSERT_EQ(shake.Final(), 0);
  EXPECT_EQ(Hex(shake.output()), first);
}

TEST(Sha3, CopyMidMessage) {
  const std::string data = TestData();
  tw::Sha3 a(tw::Sha3Variant::kKeccak384);
  a.Absorb(data.data(), 250);
  tw::Sha3 b(tw::Sha3Variant::kShake256);
  b.CopyFrom(a);
  tw::Sha3 c(a);
  a.Absorb(data.data() + 250, 50);
  b.Absorb(data.data() + 250, 50);
  c.Absorb(data.data() + 250, 50);
  ASSERT_EQ(a.Final(), 0);
  ASSERT_EQ(b.Final(), 0);
  ASSERT_EQ(c.Final(), 0);
  EXPECT_EQ(Hex(b.output()), Hex(a.output()));
  EXPECT_EQ(Hex(c.output()), Hex(a.output()));
  EXPECT_EQ(Hex(a.output()), EngineDigest(tw::kHashKeccak384, data.substr(0, 300)));
}

}  // namespace
