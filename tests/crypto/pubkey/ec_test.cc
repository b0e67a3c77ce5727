// Prime curves against python3 (integers and python3-cryptography): fast reductions, public
// points, ECDSA both ways with RFC 6979 nonces injected, ECDH both ways, and the engine's codes.
#include <gtest/gtest.h>

#include <sstream>
#include <thread>

#include "crypto/pubkey/ec_point.h"
#include "crypto/pubkey/ecdsa.h"
#include "crypto/pubkey/prime_field.h"
#include "crypto/pubkey/public_key.h"
#include "tests/crypto/pubkey/pubkey_test_util.h"
#include "tests/support/case_name.h"

namespace tw {
namespace {

using testing_pk::HexOf;
using testing_pk::SetStr;
using testing_pk::Str;
using testsupport::Unhex;

std::string Even(const std::string& h) { return h.size() % 2 ? "0" + h : h; }
void SetHex(ByteString& s, const std::string& h) { SetStr(s, h == "-" ? "" : Unhex(Even(h))); }
WideInt Wide(const std::string& h) {
  WideInt w;
  const std::string b = Unhex(Even(h));
  WideIntFromBytes(w, reinterpret_cast<const uint8_t*>(b.data()), static_cast<int>(b.size()));
  return w;
}
std::string HexW(const WideInt& w) {
  ByteString b;
  WideIntToBytes(w, 4 * w.count(), b);
  std::string h = HexOf(b);
  const size_t z = h.find_first_not_of('0');
  return z == std::string::npos ? "0" : h.substr(z);
}
std::vector<std::string> Words(const std::string& line) {
  std::istringstream in(line);
  std::vector<std::string> w;
  for (std::string s; in >> s;) w.push_back(s);
  return w;
}
EcKeyData Key(int curve, const std::string& d, const std::string& x, const std::string& y) {
  EcKeyData k;
  k.curve_id = curve;
  SetHex(k.D, d);
  SetHex(k.X, x);
  SetHex(k.Y, y);
  return k;
}

constexpr const char* kOracle = R"PY(
import sys, random, hashlib, hmac
from cryptography.hazmat.primitives.asymmetric import ec
from cryptography.hazmat.primitives.asymmetric.utils import encode_dss_signature, Prehashed
from cryptography.hazmat.primitives import hashes
P = {'p192': 2**192 - 2**64 - 1, 'p224': 2**224 - 2**96 + 1,
     'p256': 2**256 - 2**224 + 2**192 + 2**96 - 1, 'p384': 2**384 - 2**128 - 2**96 + 2**32 - 1, 'p521': 2**521 - 1}
C = {'0': ec.SECP256R1, '1': ec.SECP384R1, '2': ec.SECP521R1}
H = {'SHA1': hashes.SHA1, 'SHA256': hashes.SHA256, 'SHA384': hashes.SHA384, 'SHA512': hashes.SHA512}
rnd = random.Random(20)
def h(v): return format(v, 'x')
def shaped(p):
    s = rnd.randrange(4)
    if s == 0: return p - 1 - rnd.randrange(2**40)
    if s == 1: return rnd.randrange(2**rnd.randrange(1, p.bit_length()))
    return rnd.randrange(p)
def rfc6979_k(x, n, digest, hname):
    qlen = n.bit_length(); rlen = (qlen + 7) // 8
    def bits2int(b):
        v = int.from_bytes(b, 'big'); return v >> max(0, len(b) * 8 - qlen)
    hm = lambda k, m: hmac.new(k, m, hname).digest()
    bx = x.to_bytes(rlen, 'big') + (bits2int(digest) % n).to_bytes(rlen, 'big')
    hl = hashlib.new(hname).digest_size
    V = b'\x01' * hl; K = b'\x00' * hl
    K = hm(K, V + b'\x00' + bx); V = hm(K, V); K = hm(K, V + b'\x01' + bx); V = hm(K, V)
    while True:
        T = b''
        while len(T) < rlen: V = hm(K, V); T += V
        k = bits2int(T)
        if 1 <= k < n: return k
        K = hm(K, V + b'\x00'); V = hm(K, V)
for line in sys.stdin:
    w = line.split()
    if w[0] == 'red':
        p = P[w[1]]
        for _ in range(int(w[2])):
            a, b = shaped(p), shaped(p); print(h(a), h(b), h(a * b % p))
    elif w[0] == 'key':
        k = ec.generate_private_key(C[w[1]]()); n = k.private_numbers()
        print(h(n.private_value), h(n.public_numbers.x), h(n.public_numbers.y))
    elif w[0] == 'sign':
        k = ec.generate_private_key(C[w[1]]()); n = k.private_numbers(); msg = rnd.randbytes(40)
        print(h(n.private_value), h(n.public_numbers.x), h(n.public_numbers.y), hashlib.new(w[2].lower(), msg).hexdigest(),
              k.sign(msg, ec.ECDSA(H[w[2]]())).hex())
    elif w[0] == 'check':
        pub = ec.EllipticCurvePublicNumbers(int(w[2], 16), int(w[3], 16), C[w[1]]()).public_key()
        try:
            pub.verify(bytes.fromhex(w[5]), bytes.fromhex(w[4]), ec.ECDSA(Prehashed(H[w[6]]()))); print('ok')
        except Exception as ex:
            print('bad', type(ex).__name__)
    elif w[0] == 'ecdh':
        a = ec.generate_private_key(C[w[1]]()); b = ec.generate_private_key(C[w[1]]())
        bn = b.public_key().public_numbers()
        print(h(a.private_numbers().private_value), h(bn.x), h(bn.y), a.exchange(ec.ECDH(), b.public_key()).hex())
    elif w[0] == 'rfc':
        x = int(w[2], 16); k = ec.derive_private_key(x, C[w[1]]()); pn = k.public_key().public_numbers()
        n = {'0': 0xFFFFFFFF00000000FFFFFFFFFFFFFFFFBCE6FAADA7179E84F3B9CAC2FC632551,
             '1': 0xFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFC7634D81F4372DDF581A0DB248B0A77AECEC196ACCC52973,
             '2': 0x1FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFA51868783BF2F966B7FCC0148F709A5D03BB5C9B8899C47AEBB6FB71E91386409}[w[1]]
        msg = w[4].encode(); dg = hashlib.new(w[3].lower(), msg).digest()
        kk = rfc6979_k(x, n, dg, w[3].lower()); z = int.from_bytes(dg, 'big') >> max(0, len(dg) * 8 - n.bit_length())
        r = ec.derive_private_key(kk, C[w[1]]()).public_key().public_numbers().x % n
        print(h(pn.x), h(pn.y), dg.hex(), h(kk), h(r), h(pow(kk, -1, n) * (z + r * x) % n))
)PY";

std::vector<std::string> Oracle(const std::string& input) {
  std::vector<std::string> out;
  if (!testsupport::RunPython(kOracle, input, &out)) ADD_FAILURE() << "python3 with cryptography needed";
  return out;
}

TEST(EcFieldTest, FastReductionsMatchPythonIntegers) {
  struct Field {
    const char* name;
    int id;
  };
  const Field kFields[] = {{"p192", 0x6101}, {"p224", 0x6102}, {"p256", 0x6103}, {"p384", 0x6104}, {"p521", 0x6105}};
  std::ostringstream in;
  for (const Field& f : kFields) in << "red " << f.name << " 60\n";
  const auto lines = Oracle(in.str());
  ASSERT_EQ(lines.size(), 300u);
  for (size_t i = 0; i < lines.size(); ++i) {
    const Field& f = kFields[i / 60];
    EcCurveParams c;
    ASSERT_EQ(c.SetFieldId(f.id), 0);
    WideInt p;
    WideIntFromBytes(p, c.p);
    const auto w = Words(lines[i]);
    WideInt prod, slow;
    ASSERT_EQ(MulModField(Wide(w[0]), Wide(w[1]), p, f.id, prod), 0);
    EXPECT_EQ(HexW(prod), w[2]) << f.name << " " << lines[i];
    ASSERT_EQ(MulModField(Wide(w[0]), Wide(w[1]), p, 0x6100, slow), 0);
    EXPECT_EQ(HexW(slow), w[2]) << "generic " << f.name;
  }
}

TEST(EcFieldTest, IntegerFaultsAndWidths) {
  WideInt big, zero, out, one;
  one.AddWord(1);
  big.SetBit(32 * 200);
  EXPECT_EQ(WideMul(big, big, out), kErrWideIntCapacity);
  EXPECT_EQ(WideMod(one, zero, out), kErrWideIntZeroModulus);
  ByteString b;
  EXPECT_EQ(WideIntToBytes(Wide("01" + std::string(64, 'f')), 32, b), kErrWideIntWidth);
  ASSERT_EQ(WideIntToBytes(zero, 4, b), 0);
  EXPECT_EQ(HexOf(b), "00000000");
  WideInt r;
  const WideInt p = Wide("FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF000000000000000000000001");  // p = 1 mod 4
  ASSERT_TRUE(EcModSqrt(Wide("4"), p, r));
  WideInt sq;
  MulModField(r, r, p, 0x6102, sq);
  EXPECT_EQ(HexW(sq), "4");
}

TEST(EcCurveTest, TableIdsAndMatching) {
  EXPECT_EQ(CurveIdFromOid("1.3.132.0.35"), 2);
  EXPECT_EQ(CurveIdFromOid("P-521"), -1);
  EXPECT_EQ(CurveKeySize(4), 57);
  EXPECT_EQ(CurveKeySize(7), -1);
  EXPECT_EQ(CurveParams(kCurveEd448), nullptr);
  EXPECT_EQ(CurveParams(kCurveX448), nullptr);
  ASSERT_NE(CurveParams(kCurveX25519), nullptr);
  EXPECT_EQ(CurveParams(kCurveX25519)->field_id, kFieldGenericPrime);
  ByteString b;
  ASSERT_EQ(LoadHexNumber("ABC", 4, b), 0);
  EXPECT_EQ(HexOf(b), "00000abc");
  EcCurveParams c;
  EXPECT_EQ(c.SetFieldId(0x610B), kErrEcFieldId);
  const EcCurveParams& p384 = *CurveParams(kCurveP384);
  for (auto [dst, src] : {std::pair{&c.p, &p384.p}, {&c.a, &p384.a}, {&c.b, &p384.b}, {&c.gx, &p384.gx},
                          {&c.gy, &p384.gy}, {&c.n, &p384.n}}) {
    SetStr(*dst, std::string(3, '\0') + Str(*src));
  }
  EXPECT_EQ(c.NamedCurveId(), 1);
  EXPECT_EQ(HexOf(c.seed), "a335926aa319a27a1d00896a6773a4827acdac73");
  EcCurveParams empty;
  EXPECT_EQ(empty.NamedCurveId(), kNamedIdExplicit);
}

// Threads meeting the base-point tables on first use all get the same public points.
TEST(EcPointTest, PublicPointsMatchPythonAndInfinityIsReported) {
  std::ostringstream in;
  for (int c = 0; c < 3; ++c)
    for (int i = 0; i < 4; ++i) in << "key " << c << "\n";
  const auto lines = Oracle(in.str());
  ASSERT_EQ(lines.size(), 12u);
  std::vector<std::thread> threads;
  std::vector<std::string> got(lines.size());
  for (size_t i = 0; i < lines.size(); ++i) {
    threads.emplace_back([&, i] {
      const auto w = Words(lines[i]);
      EcKeyData k = Key(static_cast<int>(i / 4), w[0], "-", "-");
      got[i] = k.DerivePublic() == 0 && HexOf(k.X) == Even(w[1]).insert(0, 2 * k.X.length() - Even(w[1]).size(), '0')
                   ? HexOf(k.Y)
                   : "fail";
    });
  }
  for (auto& t : threads) t.join();
  for (size_t i = 0; i < lines.size(); ++i) {
    const std::string y = Words(lines[i])[2];
    EXPECT_EQ(got[i].substr(got[i].size() - y.size()), y) << lines[i];
  }
  // k = n gives the identity; k = 1 gives G back.
  const EcCurveParams& c = *CurveParams(kCurveP256);
  WideInt x, y, p, a, gx, gy, n, one;
  WideIntFromBytes(p, c.p);
  WideIntFromBytes(a, c.a);
  WideIntFromBytes(gx, c.gx);
  WideIntFromBytes(gy, c.gy);
  WideIntFromBytes(n, c.n);
  one.AddWord(1);
  ASSERT_EQ(EcScalarMulPrime(gx, gy, p, a, n, c.field_id, x, y), 0);
  EXPECT_TRUE(x.IsZero() && y.IsZero());
  ASSERT_EQ(EcScalarMulPrime(gx, gy, p, a, one, c.field_id, x, y), 0);
  EXPECT_TRUE(x.Equals(gx) && y.Equals(gy));
  // Affine addition: P + (-P) is the identity, identity + P is P.
  WideInt ny, x3, y3;
  WideSub(p, gy, ny);
  bool inf = false;
  ASSERT_EQ(EcAffineAdd(gx, gy, false, gx, ny, false, p, a, c.field_id, x3, y3, &inf), 0);
  EXPECT_TRUE(inf);
  ASSERT_EQ(EcAffineAdd(x3, y3, true, gx, gy, false, p, a, c.field_id, x3, y3, &inf), 0);
  EXPECT_TRUE(!inf && x3.Equals(gx) && y3.Equals(gy));
}

TEST(EcdsaTest, InteroperatesBothWaysWithPythonCryptography) {
  const char* kCases[][2] = {{"0", "SHA256"}, {"0", "SHA512"}, {"1", "SHA384"}, {"1", "SHA1"}, {"2", "SHA512"},
                             {"2", "SHA256"}};
  std::ostringstream in;
  for (int rep = 0; rep < 2; ++rep)
    for (const auto& c : kCases) in << "sign " << c[0] << " " << c[1] << "\n";
  const auto lines = Oracle(in.str());
  ASSERT_EQ(lines.size(), 12u);
  std::ostringstream checks;
  for (size_t i = 0; i < lines.size(); ++i) {
    const auto w = Words(lines[i]);
    const int curve = std::stoi(kCases[i % 6][0]);
    PublicKey pk;
    ASSERT_EQ(pk.SetKey(Key(curve, w[0], w[1], w[2])), 0);
    const std::string digest = Unhex(w[3]), sig = Unhex(w[4]);
    bool valid = false;
    ASSERT_EQ(pk.Verify(reinterpret_cast<const uint8_t*>(digest.data()), static_cast<int>(digest.size()),
                        reinterpret_cast<const uint8_t*>(sig.data()), static_cast<int>(sig.size()), &valid),
              0);
    EXPECT_TRUE(valid) << lines[i];
    std::string bad = sig;
    bad[bad.size() - 3] ^= 1;
    ASSERT_EQ(pk.Verify(reinterpret_cast<const uint8_t*>(digest.data()), static_cast<int>(digest.size()),
                        reinterpret_cast<const uint8_t*>(bad.data()), static_cast<int>(bad.size()), &valid),
              0);
    EXPECT_FALSE(valid);
    pk.set_der_signatures(i % 2 == 0);
    ByteString ours, der;
    ASSERT_EQ(pk.Sign(reinterpret_cast<const uint8_t*>(digest.data()), static_cast<int>(digest.size()), ours), 0);
    if (i % 2) {
      ASSERT_EQ(static_cast<int>(ours.length()), 2 * CurveKeySize(curve));
      ASSERT_EQ(EcdsaSignatureRawToDer(ours, der), 0);
    } else {
      der.Assign(ours);
    }
    checks << "check " << curve << " " << w[1] << " " << w[2] << " " << w[3] << " " << HexOf(der) << " "
           << kCases[i % 6][1] << "\n";
  }
  for (const std::string& verdict : Oracle(checks.str())) EXPECT_EQ(verdict, "ok");
}

// The keys of RFC 6979 A.2.5 to A.2.7; the nonce each case takes is injected.
TEST(EcdsaTest, Rfc6979NoncesGiveTheDeterministicSignatures) {
  const char* kKeys[] = {
      "C9AFA9D845BA75166B5C215767B1D6934E50C3DB36E89B127B8A622B120F6721",
      "6B9D3DAD2E1B8C1C05B19875B6659F4DE23C3B667BF297BA9AA47740787137D896D5724E4C70A825F872C9EA60D2EDF5",
      "0FAD06DAA62BA3B25D2FB40133DA757205DE67F5BB0018FEE8C86E1B68C7E75CAA896EB32F1F47C70855836A6D16FCC1466F6D8FBEC67D"
      "B89EC0C08B0E996B83538",
  };
  const char* kHashes[] = {"SHA1", "SHA256", "SHA384", "SHA512"};
  std::ostringstream in;
  for (int c = 0; c < 3; ++c)
    for (const char* hsh : kHashes)
      for (const char* msg : {"sample", "test"}) in << "rfc " << c << " " << kKeys[c] << " " << hsh << " " << msg << "\n";
  const auto lines = Oracle(in.str());
  ASSERT_EQ(lines.size(), 24u);
  for (size_t i = 0; i < lines.size(); ++i) {
    const auto w = Words(lines[i]);
    const int curve = static_cast<int>(i / 8);
    const EcKeyData key = Key(curve, kKeys[curve], w[0], w[1]);
    const std::string digest = Unhex(w[2]);
    ByteString k, sig;
    SetHex(k, w[3]);
    ASSERT_EQ(EcdsaSignWithNonce(key, false, reinterpret_cast<const uint8_t*>(digest.data()),
                                 static_cast<int>(digest.size()), k, sig),
              0);
    const int half = sig.length() / 2;
    std::string r = Even(w[4]), s = Even(w[5]);
    r.insert(0, 2 * static_cast<size_t>(half) - r.size(), '0');
    s.insert(0, 2 * static_cast<size_t>(half) - s.size(), '0');
    EXPECT_EQ(HexOf(sig), r + s) << lines[i];
  }
  // The published P-256, SHA-256, "sample" answer.
  EXPECT_NE(lines[2].find("a6e3c57dd01abe90086538398355dd4c3b17aa873382b0f24d6129493d8aad60 "
                          "efd48b2aacb6a8fd1140dd9cd45e81d69d2c877b56aaf991c34d0ea84eaf3716 "
                          "f7cb1c942d657c41d436c7a1b6e29f65f3e900dbb9aff4064dc4ab2f843acda8"),
            std::string::npos);
}

TEST(EcdhTest, SharedSecretsMatchPythonCryptography) {
  std::ostringstream in;
  for (int c = 0; c < 3; ++c)
    for (int i = 0; i < 3; ++i) in << "ecdh " << c << "\n";
  const auto lines = Oracle(in.str());
  ASSERT_EQ(lines.size(), 9u);
  for (size_t i = 0; i < lines.size(); ++i) {
    const auto w = Words(lines[i]);
    const int curve = static_cast<int>(i / 3);
    PublicKey own;
    EcKeyData mine = Key(curve, w[0], "-", "-");
    ASSERT_EQ(mine.DerivePublic(), 0);
    ASSERT_EQ(own.SetKey(mine), 0);
    ByteString z;
    ASSERT_EQ(own.DeriveSharedSecret(Key(curve, "-", w[1], w[2]), 0, nullptr, 0, nullptr, 0, nullptr, 0, z), 0);
    ByteString raw;
    ASSERT_EQ(EcdhSharedSecret(mine, Key(curve, "-", w[1], w[2]), false, raw), 0);
    EXPECT_EQ(HexOf(raw), w[3]);
    EXPECT_EQ(raw.length(), CurveKeySize(curve));
  }
}

struct CodeCase {
  const char* what;
  int (*run)();
  int want;
};
EcKeyData FreshKey(int curve) {
  EcKeyData k;
  EcGenerateKey(curve, k);
  return k;
}
int SignWith(const EcKeyData& k, int len) {
  PublicKey pk;
  pk.SetKey(k);
  ByteString out;
  const uint8_t digest[32] = {1};
  return pk.Sign(digest, len, out);
}
int Agree(const EcKeyData& own, const EcKeyData& peer, int kdf = 0, int seed = 0, int label = 1) {
  PublicKey pk;
  if (int rc = pk.SetKey(own)) return rc;
  ByteString out;
  const uint8_t buf[64] = {};
  return pk.DeriveSharedSecret(peer, kdf, buf, label, buf, seed, buf, 16, out);
}
const CodeCase kCodes[] = {
    {"edwards key signs no digest", [] { EcKeyData k; k.curve_id = 3; SetStr(k.private_bytes, std::string(32, '\1')); return SignWith(k, 32); }, kErrEcEdwardsDigest},
    {"empty digest", [] { return SignWith(FreshKey(0), 0); }, kErrEcNoDigest},
    {"no public part", [] { EcKeyData k = FreshKey(0); k.X.Reset(); return SignWith(k, 32); }, kErrEcNoPublic},
    {"no private part", [] { EcKeyData k = FreshKey(0); WipeComponent(k.D); return SignWith(k, 32); }, kErrEcNoPrivate},
    {"tls prf seed", [] { return Agree(FreshKey(0), FreshKey(0), 12, 63); }, kErrEcPrfSeed},
    {"tls prf label", [] { return Agree(FreshKey(0), FreshKey(0), 12, 64, 0); }, kErrEcPrfLabel},
    {"tls prf", [] { return Agree(FreshKey(0), FreshKey(0), 12, 64); }, 0},
    {"hmac kdf", [] { return Agree(FreshKey(1), FreshKey(1), 9); }, 0},
    {"curves differ", [] { return Agree(FreshKey(0), FreshKey(1)); }, kErrEcCurveMismatch},
    {"x448 through the engine", [] { return Agree(FreshKey(6), FreshKey(6)); }, kErrEcParams},
    {"x25519 through the engine", [] { return Agree(FreshKey(5), FreshKey(5)); }, 0},
    {"peer off the curve", [] { EcKeyData p = FreshKey(0); p.Y.bytes()[5] ^= 1; return Agree(FreshKey(0), p); }, kErrEcParams},
    {"peer coordinate above p", [] { EcKeyData p = FreshKey(0); SetStr(p.X, std::string(32, '\xff')); return Agree(FreshKey(0), p); }, kErrEcParams},
    {"peer with x = 0 off the curve", [] { EcKeyData p = FreshKey(0); SetStr(p.X, std::string(32, '\0')); return Agree(FreshKey(0), p); }, kErrEcParams},
    {"nonce of zero gives no signature", [] { EcKeyData k = FreshKey(0); ByteString n, sig; SetStr(n, std::string(1, '\0')); const uint8_t dg[32] = {3}; return EcdsaSignWithNonce(k, false, dg, 32, n, sig); }, kErrEcParams},
    {"nonce equal to the order gives no signature", [] { EcKeyData k = FreshKey(1); ByteString sig; const uint8_t dg[48] = {3}; return EcdsaSignWithNonce(k, true, dg, 48, CurveParams(1)->n, sig); }, kErrEcParams},
    {"get key of no curve", [] { PublicKey pk; EcKeyData k; return pk.GetKey(true, k); }, kErrEcFieldId},
    {"set key without parts", [] { PublicKey pk; EcKeyData k; k.curve_id = 0; return pk.SetKey(k); }, kErrEcParams},
    {"blob of 64 per coordinate", [] { EcKeyData k; ByteString b; SetStr(b, std::string(200, '\2')); return k.ImportCngBlob(b); }, kErrEcCngBlob},
    {"public blob of 104 bytes", [] { EcKeyData k; ByteString b; SetStr(b, std::string(104, '\1')); return k.ImportCngBlob(b) * 10 + k.curve_id; }, 1},
};
class EcCodeTest : public ::testing::TestWithParam<CodeCase> {};
TEST_P(EcCodeTest, Gives) { EXPECT_EQ(GetParam().run(), GetParam().want) << GetParam().what; }
INSTANTIATE_TEST_SUITE_P(Cases, EcCodeTest, ::testing::ValuesIn(kCodes),
    [](const auto& i) { const auto& p = i.param; return testsupport::MakeName(p.what); });

struct DerCase {
  const char* r;
  const char* want;
};
const DerCase kDer[] = {
    {"007f", "7f"}, {"0080", "0080"}, {"000005", "05"}, {"80", "0080"}, {"00", "00"},
};
class EcDerTest : public ::testing::TestWithParam<DerCase> {};
TEST_P(EcDerTest, IntegerContent) {
  ByteString v;
  SetHex(v, GetParam().r);
  IntegerToDerContent(v);
  EXPECT_EQ(HexOf(v), GetParam().want);
}
INSTANTIATE_TEST_SUITE_P(Cases, EcDerTest, ::testing::ValuesIn(kDer),
    [](const auto& i) { const auto& p = i.param; return testsupport::MakeName(p.r); });

TEST(EcKeyTest, PointFormsRoundTripAndP521UsesLongDerLength) {
  for (int curve = 0; curve < 3; ++curve) {
    EcKeyData k = FreshKey(curve);
    for (bool compressed : {false, true}) {
      ByteString enc;
      ASSERT_EQ(k.EncodePublic(compressed, enc), 0);
      EcKeyData back;
      back.curve_id = curve;
      ASSERT_EQ(back.DecodePoint(enc), 0);
      EXPECT_EQ(HexOf(back.Y), HexOf(k.Y)) << curve << compressed;
    }
  }
  EcKeyData k;
  k.curve_id = 0;
  ByteString zero;
  SetStr(zero, std::string(1, '\0'));
  ASSERT_EQ(k.DecodePoint(zero), 0);
  EXPECT_EQ(k.X.length() + k.Y.length(), 0);
  PublicKey pk;
  ASSERT_EQ(pk.SetKey(FreshKey(2)), 0);
  pk.set_der_signatures(true);
  ByteString sig;
  const uint8_t digest[64] = {9};
  ASSERT_EQ(pk.Sign(digest, 64, sig), 0);
  EXPECT_EQ(sig.bytes()[1], 0x81);
  bool valid = false;
  ASSERT_EQ(pk.Verify(digest, 64, sig.bytes(), sig.length(), &valid), 0);
  EXPECT_TRUE(valid);
  ASSERT_EQ(EcdsaSignatureDerToRaw(sig, 2), 0);
  EXPECT_EQ(sig.length(), 132);
  ASSERT_EQ(pk.Verify(digest, 64, sig.bytes(), 66, &valid), 0);  // nothing after r
  EXPECT_FALSE(valid);
}

// Points of the record's curve in every encoding, compressed ones through each square-root road
// (p = 3 mod 4 on the NIST curves, p = 5 mod 8 on the Curve25519 set, Tonelli-Shanks on P-224).
struct PointCase {
  const char* what;
  bool (*run)();
};
bool DecodesAsPython(int curve, const std::string& enc_hex, const std::string& want_y) {
  EcKeyData k;
  k.curve_id = curve;
  ByteString enc;
  SetHex(enc, enc_hex);
  return k.DecodePoint(enc) == 0 && HexOf(k.Y) == want_y;
}
const PointCase kPoints[] = {
    {"hybrid with the wrong parity decodes", [] {
       EcKeyData k = FreshKey(0);
       ByteString enc;
       k.EncodePublic(false, enc);
       enc.bytes()[0] = static_cast<uint8_t>(6 + ((k.Y.bytes()[31] & 1) ^ 1));
       EcKeyData back;
       back.curve_id = 0;
       return back.DecodePoint(enc) == 0 && HexOf(back.X) == HexOf(k.X);
     }},
    {"compressed odd point on P-256", [] {
       return DecodesAsPython(0, "036b17d1f2e12c4247f8bce6e563a440f277037d812deb33a0f4a13945d898c296",
                              "4fe342e2fe1a7f9b8ee7eb4a7c0f9e162bce33576b315ececbb6406837bf51f5");
     }},
    {"compressed base point of the Curve25519 set", [] {
       return DecodesAsPython(5, "022aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaad245a",
                              "5f51e65e475f794b1fe122d388b72eb36dc2b28192839e4dd6163a5d81312c14");
     }},
    {"x with no point", [] {
       EcKeyData k;
       k.curve_id = 0;
       ByteString enc;
       SetHex(enc, "02" + std::string(62, '0') + "04");  // x^3 - 3x + b is no square
       return k.DecodePoint(enc) == kErrEcParams;
     }},
    {"P-224 root of the requested parity", [] {
       const WideInt p = Wide("FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF000000000000000000000001");
       const WideInt a = Wide("FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFEFFFFFFFFFFFFFFFFFFFFFFFE");
       const WideInt b = Wide("B4050A850C04B3ABF54132565044B0B7D7BFD8BA270B39432355FFB4");
       const WideInt gx = Wide("B70E0CBD6BB4BF7F321390B94A03C1D356C21122343280D6115C1D21");
       WideInt y0, y1;
       return EcDecompressY(0, gx, a, b, p, 0x6102, y0) && EcDecompressY(1, gx, a, b, p, 0x6102, y1) &&
              !y0.TestBit(0) && y1.TestBit(0) &&
              HexW(y0) == "bd376388b5f723fb4c22dfe6cd4375a05a07476444d5819985007e34";
     }},
    {"a written as p - 3 or -3 gives one product", [] {
       const EcCurveParams& c = *CurveParams(kCurveP384);
       WideInt p, a, gx, gy, k, x1, y1, x2, y2, minus3;
       WideIntFromBytes(p, c.p);
       WideIntFromBytes(a, c.a);
       WideIntFromBytes(gx, c.gx);
       WideIntFromBytes(gy, c.gy);
       k = Wide("123456789abcdef0fedcba9876543210");
       minus3.AddWord(3);
       minus3.set_non_negative(false);
       return EcScalarMulPrime(gx, gy, p, a, k, c.field_id, x1, y1) == 0 &&
              EcScalarMulPrime(gx, gy, p, minus3, k, c.field_id, x2, y2) == 0 && x1.Equals(x2) && y1.Equals(y2);
     }},
    {"public part of a record that has one stays", [] {
       EcKeyData k = FreshKey(1);
       const std::string x = HexOf(k.X);
       SetStr(k.D, std::string(48, '\1'));
       return k.DerivePublic() == 0 && HexOf(k.X) == x;
     }},
    {"Ed25519 public key of the RFC 8032 first key", [] {
       EcKeyData k;
       k.curve_id = kCurveEd25519;
       SetHex(k.private_bytes, "9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60");
       return k.DerivePublic() == 0 &&
              HexOf(k.public_bytes) == "d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a";
     }},
    {"x448 key generation clamps and derives", [] {
       EcKeyData k = FreshKey(kCurveX448);
       return k.public_bytes.length() == 56 && (k.private_bytes.bytes()[55] & 0x80) && !(k.private_bytes.bytes()[0] & 3);
     }},
    {"ModPow and ModInverse modulo the P-256 order", [] {
       const WideInt n = Wide("FFFFFFFF00000000FFFFFFFFFFFFFFFFBCE6FAADA7179E84F3B9CAC2FC632551");
       WideInt a = Wide("5"), inv, back, pw;
       WideInt e = Wide("FFFFFFFF00000000FFFFFFFFFFFFFFFFBCE6FAADA7179E84F3B9CAC2FC63254F");
       return WideModInverse(a, n, inv) == 0 && MulModField(inv, a, n, 0x6100, back) == 0 && HexW(back) == "1" &&
              WideModPow(a, e, n, pw) == 0 && pw.Equals(inv);
     }},
};
class EcPointCaseTest : public ::testing::TestWithParam<PointCase> {};
TEST_P(EcPointCaseTest, Holds) { EXPECT_TRUE(GetParam().run()) << GetParam().what; }
INSTANTIATE_TEST_SUITE_P(Cases, EcPointCaseTest, ::testing::ValuesIn(kPoints),
    [](const auto& i) { const auto& p = i.param; return testsupport::MakeName(p.what); });

}  // namespace
}  // namespace tw
