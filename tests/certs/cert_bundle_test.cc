// Every certificate of the system CA bundle against openssl asn1parse and python3-cryptography.
#include <gtest/gtest.h>

#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "certs/asn1_node.h"
#include "certs/certificate.h"
#include "tests/certs/cert_test_util.h"
#include "tests/support/test_support.h"

namespace tw {
namespace {

using testsupport::Hex;

std::string HexOf(const ByteString& s) { return Hex(s.data(), static_cast<size_t>(s.length())); }

// "offset:depth:header:length" of every element, constructed ones opened, in DER order.
void Walk(const Asn1Node& n, int offset, int depth, std::vector<std::string>* out) {
  const size_t total = static_cast<size_t>(n.bytes.length());
  BerElement e;
  ASSERT_TRUE(ParseBerElement(n.bytes.bytes(), 0, total, &e));
  out->push_back(std::to_string(offset) + ":" + std::to_string(depth) + ":" +
                 std::to_string(e.content_start) + ":" + std::to_string(e.content_end - e.content_start));
  int at = offset + static_cast<int>(e.content_start);
  for (Asn1Node* c = n.firstChild; c; c = c->nextSibling) {
    Walk(*c, at, depth + 1, out);
    at += c->bytes.length();
  }
}

// The tree written back through the writer: constructed elements opened and closed.
void Rewrite(const Asn1Node& n, DerWriter* w) {
  if (!n.firstChild) {
    w->AppendRaw(n.bytes.data(), n.bytes.length());
    return;
  }
  w->DerOpenConstructed(n.tag);
  for (Asn1Node* c = n.firstChild; c; c = c->nextSibling) Rewrite(*c, w);
  w->DerCloseConstructed(false);
}

class BundleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ders_ = certtest::BundleDers();
    if (ders_.size() < 50) TW_REQUIRE_OR_SKIP("system CA bundle missing");
  }
  std::vector<std::string> ders_;
};

TEST_F(BundleTest, TreeMatchesAsn1ParseAndRewritesIdentically) {
  if (!testsupport::HaveProgram("openssl")) TW_REQUIRE_OR_SKIP("openssl missing");
  const std::regex line(R"(^\s*(\d+):d=\s*(\d+)\s+hl=\s*(\d+)\s+l=\s*(\d+))");
  const std::string dir = testsupport::MakeTempDir();
  for (size_t i = 0; i < ders_.size(); ++i) {
    SCOPED_TRACE(i);
    testsupport::WriteFile(dir + "/c.der", ders_[i]);
    std::vector<std::string> want;
    for (const std::string& l :
         testsupport::Lines(testsupport::RunCommand("openssl asn1parse -inform DER -i -in " + dir + "/c.der"))) {
      std::smatch m;
      if (std::regex_search(l, m, line)) want.push_back(m[1].str() + ":" + m[2].str() + ":" + m[3].str() + ":" + m[4].str());
    }
    Asn1Node root;
    root.bytes.Set(ders_[i].data(), static_cast<int>(ders_[i].size()));
    ASSERT_EQ(root.DecodeTree(), 0);
    std::vector<std::string> got;
    Walk(root, 0, 0, &got);
    EXPECT_EQ(got, want);
    DerWriter w;
    Rewrite(root, &w);
    EXPECT_EQ(std::string(w.output().data(), static_cast<size_t>(w.output().length())), ders_[i]);
  }
  testsupport::RunCommand("rm -rf " + dir);
}

// Fields as python3-cryptography reads them, in one line per certificate.
constexpr const char* kFieldsScript = R"PY(
import sys, binascii
from cryptography import x509
from cryptography.x509.oid import NameOID
from cryptography.hazmat.primitives.asymmetric import rsa, ec
short = {"2.5.4.6":"C","2.5.4.5":"SERIALNUMBER","2.5.4.17":"PostalCode","2.5.4.8":"S","2.5.4.7":"L",
  "2.5.4.9":"STREET","2.5.4.10":"O","2.5.4.11":"OU","2.5.4.3":"CN","2.5.4.4":"SN","2.5.4.42":"G",
  "2.5.4.43":"I","1.2.840.113549.1.9.1":"E","2.5.4.12":"T","0.9.2342.19200300.100.1.1":"UID"}
def name(n):
  parts = []
  for rdn in n.rdns:
    a = list(rdn)[0]
    v = a.value if isinstance(a.value, str) else a.value.decode("latin-1")
    v = v.replace('"', '\\"')
    if v and (any(c in v for c in ',+=#<>"') or v[0] == ' ' or v[-1] == ' '): v = '"' + v + '"'
    parts.append(short.get(a.oid.dotted_string, a.oid.dotted_string) + "=" + v)
  return ", ".join(parts)
for line in sys.stdin:
  c = x509.load_der_x509_certificate(binascii.unhexlify(line.strip()))
  s = c.serial_number
  sb = s.to_bytes((s.bit_length() + 8) // 8, "big", signed=True).hex()
  if sb.startswith("00"): sb = sb[2:]
  exts = ",".join(e.oid.dotted_string + ("!" if e.critical else "") for e in c.extensions)
  k = c.public_key()
  key = ""
  if isinstance(k, rsa.RSAPublicKey): key = "%x" % k.public_numbers().n
  elif isinstance(k, ec.EllipticCurvePublicKey): key = "%x" % k.public_numbers().x
  print("|".join([sb, c.not_valid_before.strftime("%Y%m%d%H%M%S"),
    c.not_valid_after.strftime("%Y%m%d%H%M%S"), c.signature_algorithm_oid.dotted_string,
    name(c.subject), name(c.issuer), exts, c.signature.hex(), key, str(c.version.value)]))
)PY";

std::string StripZeros(std::string hex) {
  while (hex.size() > 1 && hex.compare(0, 1, "0") == 0) hex.erase(0, 1);
  return hex;
}

TEST_F(BundleTest, FieldsMatchPythonCryptography) {
  std::string input;
  for (const std::string& d : ders_) input += Hex(d.data(), d.size()) + "\n";
  std::vector<std::string> lines;
  TW_PYTHON_OR_SKIP(kFieldsScript, input, &lines);
  ASSERT_EQ(lines.size(), ders_.size());
  for (size_t i = 0; i < ders_.size(); ++i) {
    SCOPED_TRACE(lines[i]);
    Certificate c;
    ASSERT_EQ(ParseCertificateDer(ders_[i].data(), static_cast<int>(ders_[i].size()), &c), 0);
    std::string exts;
    for (int e = 0; e < c.tbs.extensions.Count(); ++e) {
      const CertExtension* x = c.tbs.extensions.At(e);
      exts += (e ? "," : "") + std::string(x->oid.c_str()) + (x->critical ? "!" : "");
    }
    std::string key;
    if (c.tbs.publicKey.type == kKeyRsa) key = StripZeros(HexOf(c.tbs.publicKey.rsa.N));
    if (c.tbs.publicKey.type == kKeyEc) key = StripZeros(HexOf(c.tbs.publicKey.ec.X));
    const std::string got =
        std::string(c.tbs.serialHex.c_str()) + "|" + c.tbs.notBefore.c_str() + "|" +
        c.tbs.notAfter.c_str() + "|" + c.outerAlgorithm.first.c_str() + "|" +
        c.tbs.subjectText.c_str() + "|" + c.tbs.issuerText.c_str() + "|" + exts + "|" +
        HexOf(c.signature) + "|" + key + "|" + std::to_string(c.tbs.version);
    EXPECT_EQ(got, lines[i]);
    EXPECT_STREQ(c.tbs.signatureAlgorithm.first.c_str(), c.outerAlgorithm.first.c_str());
    DerWriter w;
    ASSERT_EQ(c.EncodeDer(&w), 0);
    EXPECT_EQ(std::string(w.output().data(), static_cast<size_t>(w.output().length())), ders_[i]);
  }
}

// Every prefix and a set of single-byte changes of a few certificates: a clear code, no crash.
TEST_F(BundleTest, PrefixesAndMutationsFailCleanly) {
  for (size_t k = 0; k < ders_.size(); k += ders_.size() / 3) {
    const std::string& d = ders_[k];
    Certificate c;
    for (size_t n = 0; n < d.size(); ++n) {
      EXPECT_NE(ParseCertificateDer(d.data(), static_cast<int>(n), &c), 0) << n;
    }
    for (size_t at = 0; at < d.size(); ++at) {
      for (uint8_t flip : {0x01, 0x80, 0xFF}) {
        std::string m = d;
        m[at] = static_cast<char>(m[at] ^ flip);
        const int rc = ParseCertificateDer(m.data(), static_cast<int>(m.size()), &c);
        EXPECT_TRUE(rc == 0 || rc == 446 || rc == 447) << at << " " << rc;
      }
    }
  }
}

}  // namespace
}  // namespace tw
