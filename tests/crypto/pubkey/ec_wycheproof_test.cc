// The Wycheproof ECDSA and ECDH files (the point-encoding ones included), each case with its
// verdict.
#include <gtest/gtest.h>

#include <sstream>

#include "crypto/pubkey/ecdsa.h"
#include "crypto/pubkey/public_key.h"
#include "tests/crypto/pubkey/pubkey_test_util.h"
#include "tests/support/case_name.h"

namespace tw {
namespace {

using testing_pk::HexOf;
using testing_pk::SetStr;
using testsupport::Unhex;

// One line per case: kind tcId result curve digest sig-or-shared public private ("-" when empty).
// SubjectPublicKeyInfo keys are opened here; one naming another curve, or not DER, is "bad".
constexpr const char* kFlatten = R"PY(
import sys, json, hashlib
CURVES = {'secp256r1': ('0', '2a8648ce3d030107'), 'secp384r1': ('1', '2b81040022'), 'secp521r1': ('2', '2b81040023')}
def x(v): return v if v else '-'
def tlv(b, i):
    tag = b[i]; ln = b[i + 1]; i += 2
    if ln & 0x80:
        n = ln & 0x7f; ln = int.from_bytes(b[i:i + n], 'big'); i += n
    return tag, b[i:i + ln], i + ln
def spki_point(hexder, oid):
    try:
        b = bytes.fromhex(hexder)
        tag, body, end = tlv(b, 0)
        if tag != 0x30 or end != len(b): return 'bad'
        tag, alg, i = tlv(body, 0)
        tag2, bits, j = tlv(body, i)
        if tag != 0x30 or tag2 != 0x03 or j != len(body) or bits[0] != 0: return 'bad'
        t, o1, k = tlv(alg, 0); t2, o2, k2 = tlv(alg, k)
        if o1.hex() != '2a8648ce3d0201' or t2 != 6 or o2.hex() != oid or k2 != len(alg): return 'bad'
        return bits[1:].hex() or 'bad'
    except Exception:
        return 'bad'
for path in sys.stdin.read().split():
    d = json.load(open(path))
    for g in d['testGroups']:
        if 'publicKey' in g:
            cid, _ = CURVES[g['publicKey']['curve']]
            sha = g['sha'].replace('-', '').lower()
            kind = 'p1363' if 'p1363' in d['schema'] else 'der'
            for t in g['tests']:
                print(kind, t['tcId'], t['result'], cid, hashlib.new(sha, bytes.fromhex(t['msg'])).hexdigest(),
                      x(t['sig']), g['publicKey']['uncompressed'], '-')
        else:
            cid, oid = CURVES[g['curve']]
            for t in g['tests']:
                pub = t['public'] if g['encoding'] == 'ecpoint' else spki_point(t['public'], oid)
                print('ecdh', t['tcId'], t['result'], cid, '-', x(t['shared']), x(pub), t['private'])
)PY";

bool RunCase(const std::vector<std::string>& w) {
  const int curve = std::stoi(w[3]);
  auto bytes = [](const std::string& h) { return h == "-" ? std::string() : Unhex(h); };
  if (w[0] == "ecdh") {
    if (w[6] == "bad") return false;
    EcKeyData own, peer;
    own.curve_id = peer.curve_id = curve;
    SetStr(own.D, bytes(w[7]));
    ByteString enc, z;
    SetStr(enc, bytes(w[6]));
    if (peer.DecodePoint(enc) != 0 || peer.X.length() == 0) return false;
    return EcdhSharedSecret(own, peer, false, z) == 0 && HexOf(z) == w[5];
  }
  EcKeyData key;
  key.curve_id = curve;
  ByteString enc;
  SetStr(enc, bytes(w[6]));
  if (key.DecodePoint(enc) != 0) return false;
  PublicKey pk;
  if (pk.SetKey(key) != 0) return false;
  const std::string digest = bytes(w[4]), sig = bytes(w[5]);
  bool valid = false;
  return pk.Verify(reinterpret_cast<const uint8_t*>(digest.data()), static_cast<int>(digest.size()),
                   reinterpret_cast<const uint8_t*>(sig.data()), static_cast<int>(sig.size()), &valid) == 0 &&
         valid;
}

// The raw form takes r as the key size's first bytes and s as the rest, so an s with extra
// leading zero bytes still reads as the same number.
bool Excepted(const std::string& file, const std::vector<std::string>& w) {
  if (file.find("p1363") == std::string::npos || w[5] == "-") return false;
  const size_t half = static_cast<size_t>(CurveKeySize(std::stoi(w[3])));
  const std::string& sig = w[5];
  return sig.size() / 2 > 2 * half && sig.compare(2 * half, sig.size() - 4 * half, std::string(sig.size() - 4 * half, '0')) == 0;
}

class EcWycheproofTest : public ::testing::TestWithParam<const char*> {};

TEST_P(EcWycheproofTest, EveryCaseGetsItsVerdict) {
  const std::string path = testsupport::VectorsDir() + "/wycheproof/" + GetParam();
  if (testsupport::ReadFile(path).empty()) FAIL() << "vector file missing: " << path;
  std::vector<std::string> lines;
  TW_PYTHON_OR_SKIP(kFlatten, path, &lines);
  ASSERT_GT(lines.size(), 10u);
  int checked = 0;
  for (const std::string& line : lines) {
    std::istringstream in(line);
    std::vector<std::string> w;
    for (std::string s; in >> s;) w.push_back(s);
    ASSERT_EQ(w.size(), 8u) << line;
    if (w[2] == "acceptable" || Excepted(GetParam(), w)) continue;
    EXPECT_EQ(RunCase(w), w[2] == "valid") << GetParam() << " tcId " << w[1];
    ++checked;
  }
  EXPECT_GT(checked, 10);
}

INSTANTIATE_TEST_SUITE_P(
    Files, EcWycheproofTest,
    ::testing::Values("ecdsa_secp256r1_sha256_test.json", "ecdsa_secp384r1_sha384_test.json",
                      "ecdsa_secp521r1_sha512_test.json", "ecdsa_secp256r1_sha256_p1363_test.json",
                      "ecdsa_secp384r1_sha384_p1363_test.json", "ecdsa_secp521r1_sha512_p1363_test.json",
                      "ecdh_secp256r1_test.json", "ecdh_secp384r1_test.json", "ecdh_secp521r1_test.json",
                      "ecdh_secp256r1_ecpoint_test.json", "ecdh_secp384r1_ecpoint_test.json",
                      "ecdh_secp521r1_ecpoint_test.json"),
    testsupport::CaseName{});

}  // namespace
}  // namespace tw
