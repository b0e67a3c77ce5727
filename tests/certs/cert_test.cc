// Certificate fields: validity times, serials, version 1 certificates, certificates built in
// memory and read back by python3-cryptography, extension records and the key records.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "certs/certificate.h"
#include "certs/pkcs7_record.h"
#include "certs/public_key_info.h"
#include "tests/certs/cert_test_util.h"
#include "tests/support/test_support.h"
#include "tests/support/case_name.h"

namespace tw {
namespace {

std::string HexOf(const ByteString& s) {
  return testsupport::Hex(s.data(), static_cast<size_t>(s.length()));
}

struct TimeCase {
  int tag;
  const char* text;
  int rc;
  const char* want;
};
class CertTimeTest : public ::testing::TestWithParam<TimeCase> {};
TEST_P(CertTimeTest, Reads) {
  const TimeCase& c = GetParam();
  ByteString out;
  ASSERT_EQ(CertTimeToText(c.tag, DerCursor(c.text, strlen(c.text)), &out), c.rc) << c.text;
  if (c.rc == 0) {
    EXPECT_STREQ(out.c_str(), c.want);
  }
}
INSTANTIATE_TEST_SUITE_P(
    Times, CertTimeTest,
    ::testing::Values(TimeCase{23, "490101000000Z", 0, "20490101000000"},
                      TimeCase{23, "500101000000Z", 0, "19500101000000"},
                      TimeCase{24, "20500101120000Z", 0, "20500101120000"},
                      TimeCase{23, "2401011200Z", 0, "20240101120000"},
                      TimeCase{24, "20240101120000.123Z", 0, "20240101120000"},
                      TimeCase{23, "240101120000+0130", 0, "20240101103000"},
                      TimeCase{23, "240101003000-0100", 0, "20240101013000"},
                      TimeCase{23, "240101000000+0100", 0, "20231231230000"},
                      TimeCase{23, "2401011", 447, ""},
                      TimeCase{23, "2", 447, ""},
                      TimeCase{23, "240101120000+01", 447, ""},
                      TimeCase{23, "240101120000+013000", 447, ""},
                      TimeCase{23, "241301120000Z", 446, ""},
                      TimeCase{23, "24010112x000Z", 446, ""},
                      TimeCase{23, "240101120000ZZ", 446, ""},
                      TimeCase{4, "240101120000Z", 446, ""}),
    [](const auto& i) { const auto& p = i.param; return testsupport::MakeName(p.text, i.index); });

TEST(CertTime, EncodesByYear) {
  const std::pair<const char*, const char*> cases[] = {
      {"20491231235959", "170d3439313233313233353935395a"},
      {"20500101000000", "180f32303530303130313030303030305a"},
      {"19491231000000", "180f31393439313233313030303030305a"}};
  for (const auto& [text, hex] : cases) {
    DerWriter w;
    ASSERT_EQ(EncodeCertTime(text, &w), 0);
    EXPECT_EQ(HexOf(w.output()), hex) << text;
  }
  DerWriter w;
  EXPECT_EQ(EncodeCertTime("2049", &w), 446);
}

TEST(CertValidity, ComparesAtBoundaries) {
  EXPECT_EQ(CompareValidityAt("20240101000000", "20240101000001", "20250101000000"), -1);
  EXPECT_EQ(CompareValidityAt("20240101000001", "20240101000001", "20250101000000"), 0);
  EXPECT_EQ(CompareValidityAt("20250101000000", "20240101000001", "20250101000000"), 0);
  EXPECT_EQ(CompareValidityAt("20250101000001", "20240101000001", "20250101000000"), 1);
  EXPECT_EQ(CompareValidity("20000101000000", "29990101000000"), 0);
}

TEST(CertExtension, BooleanFalseIsDroppedOnReencode) {
  CertExtension e;
  const std::string d = testsupport::Unhex("300c0603551d1301010004023000");
  ASSERT_EQ(ParseExtension(DerCursor(d.data(), d.size()), &e), 0);
  EXPECT_STREQ(e.oid.c_str(), "2.5.29.19");
  EXPECT_EQ(e.critical, 0);
  EXPECT_EQ(HexOf(e.value), "04023000");
  DerWriter w;
  ASSERT_EQ(EncodeExtension(e, &w), 0);
  EXPECT_EQ(HexOf(w.output()), "30090603551d1304023000");
  e.critical = 1;
  w.Reset();
  ASSERT_EQ(EncodeExtension(e, &w), 0);
  EXPECT_EQ(HexOf(w.output()), "300c0603551d130101ff04023000");
}

// A certificate from fields alone, its serial written from hex.
void FillTbs(TbsCertificate* t, const char* not_after) {
  t->version = 2;
  t->serialHex.SetText("e102");
  t->signatureAlgorithm.first.SetText("1.2.840.113549.1.1.11");
  t->issuerText.SetText("CN=Issuer, O=\"Acme, Inc.\"");
  t->notBefore.SetText("20240101000000");
  t->notAfter.SetText(not_after);
  t->subjectText.SetText("CN=host1, C=US");
  t->publicKey.type = kKeyRsa;
  const std::string n = "\xc3" + std::string(127, '\x5a');
  t->publicKey.rsa.N.Set(n.data(), static_cast<int>(n.size()));
  t->publicKey.rsa.E.Set("\x01\x00\x01", 3);
  CertExtension* bc = t->extensions.GetOrCreate(0);
  bc->oid.SetText("2.5.29.19");
  bc->critical = 1;
  bc->value.Set("\x04\x05\x30\x03\x01\x01\xff", 7);
}

TEST(Certificate, BuiltInMemoryReadsBackHereAndInPython) {
  std::string input;
  std::vector<std::string> ders;
  for (const char* not_after : {"20491231235959", "20500101000000"}) {
    Certificate c;
    FillTbs(&c.tbs, not_after);
    c.outerAlgorithm.first.SetText("1.2.840.113549.1.1.11");
    c.signature.AppendRepeated(128, 0x11);
    DerWriter w;
    ASSERT_EQ(c.EncodeDer(&w), 0);
    ders.emplace_back(w.output().data(), static_cast<size_t>(w.output().length()));
    Certificate back;
    ASSERT_EQ(ParseCertificateDer(ders.back().data(), static_cast<int>(ders.back().size()), &back), 0);
    EXPECT_STREQ(back.tbs.notAfter.c_str(), not_after);
    EXPECT_STREQ(back.tbs.issuerText.c_str(), "CN=Issuer, O=\"Acme, Inc.\"");
    EXPECT_STREQ(back.tbs.subjectText.c_str(), "CN=host1, C=US");
    EXPECT_STREQ(back.tbs.serialHex.c_str(), "e102");
    EXPECT_STREQ(GetSerialNumberHex(&back), "00e102");
    EXPECT_STREQ(GetSignatureAlgorithmName(&back), "RSA_SHA256RSA");
    EXPECT_EQ(HexOf(back.tbs.publicKey.rsa.N), HexOf(c.tbs.publicKey.rsa.N));
    ASSERT_EQ(back.tbs.extensions.Count(), 1);
    EXPECT_EQ(back.tbs.extensions.At(0)->critical, 1);
    Certificate copy;
    ASSERT_EQ(copy.CopyFrom(back), 0);
    EXPECT_EQ(HexOf(copy.tbsDer), HexOf(back.tbsDer));
    input += testsupport::Hex(ders.back().data(), ders.back().size()) + "\n";
  }
  std::vector<std::string> lines;
  TW_PYTHON_OR_SKIP(R"PY(
import sys, binascii
from cryptography import x509
for line in sys.stdin:
  c = x509.load_der_x509_certificate(binascii.unhexlify(line.strip()))
  print("%x|%s|%s|%s|%s|%d" % (c.serial_number, c.not_valid_after.strftime("%Y%m%d%H%M%S"),
    c.issuer.rfc4514_string(), c.subject.rfc4514_string(),
    c.extensions[0].critical, c.public_key().key_size))
)PY", input, &lines);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "e102|20491231235959|O=Acme\\, Inc.,CN=Issuer|C=US,CN=host1|True|1024");
  EXPECT_EQ(lines[1], "e102|20500101000000|O=Acme\\, Inc.,CN=Issuer|C=US,CN=host1|True|1024");
}

TEST(Certificate, VersionOneAndStructuralFaults) {
  // A version 1 certificate: no [0], serial first, no extensions.
  Certificate c;
  FillTbs(&c.tbs, "20300101000000");
  c.tbs.extensions.Clear();
  DerWriter tbs;
  ASSERT_EQ(EncodeTbsCertificate(c.tbs, &tbs), 0);
  DerCursor whole(tbs.output()), content;
  uint8_t tag = 0;
  ASSERT_EQ(whole.Next(&tag, &content), 0);
  ASSERT_EQ(HexOf(tbs.output()).find("a003020102"), 8u);
  DerWriter outer;
  outer.DerOpenConstructed(0x30);
  outer.DerAppendTlv(0x30, content.data() + 5, static_cast<int>(content.size() - 5));
  outer.DerAppendTlv(0x30, "\x06\x01\x2a", 3);
  outer.DerAppendBitString(3, "\x01", 1);
  outer.DerCloseConstructed(false);
  Certificate v1;
  ASSERT_EQ(ParseCertificateDer(outer.output().data(), outer.output().length(), &v1), 0);
  EXPECT_EQ(v1.tbs.version, 0);
  EXPECT_STREQ(v1.tbs.serialHex.c_str(), "e102");
  EXPECT_EQ(v1.tbs.extensions.Count(), 0);
  // Two children only, and a TBS cut short before its public key.
  const std::string two = testsupport::Unhex("3006300205000500");
  EXPECT_EQ(ParseCertificateDer(two.data(), static_cast<int>(two.size()), &v1), 447);
  const std::string short_tbs = testsupport::Unhex("300e3007020101050005003000030100");
  EXPECT_EQ(ParseCertificateDer(short_tbs.data(), static_cast<int>(short_tbs.size()), &v1), 447);
  Certificate none;
  EXPECT_STREQ(GetSerialNumberHex(&none), "00");
  EXPECT_STREQ(GetSerialNumberHex(nullptr), "00");
}

TEST(Certificate, ParseAnyByFirstByte) {
  const std::string der = certtest::OpensslSelfSigned("-subj /CN=any");
  if (der.empty()) TW_REQUIRE_OR_SKIP("openssl missing");
  ExtendedCertificate e;
  ASSERT_EQ(ParseCertificateAny(der.data(), static_cast<int>(der.size()), &e), 0);
  EXPECT_STREQ(e.certificate.tbs.subjectText.c_str(), "CN=any");
  ExtendedCertificate other;
  EXPECT_EQ(ParseCertificateAny("\x31\x00", 2, &other), 0);
  EXPECT_TRUE(other.certificate.der.empty());
  // [0] { SEQUENCE { version, certificate, attributes }, algorithm, signature }
  DerWriter w;
  w.DerOpenConstructed(0xA0);
  w.DerOpenConstructed(0x30);
  w.DerAppendInteger(2, 0);
  w.AppendRaw(der.data(), static_cast<int>(der.size()));
  w.DerOpenConstructed(0x31);
  w.DerAppendTlv(0x30, "\x06\x03\x55\x04\x03\x31\x00", 7);
  w.DerCloseConstructed(false);
  w.DerCloseConstructed(false);
  w.DerAppendTlv(0x30, "\x06\x01\x2a", 3);
  w.DerAppendBitString(3, "\xaa", 1);
  w.DerCloseConstructed(false);
  ASSERT_EQ(ParseCertificateAny(w.output().data(), w.output().length(), &other), 0);
  EXPECT_STREQ(other.innerCertificate.tbs.subjectText.c_str(), "CN=any");
  ASSERT_EQ(other.attributes.Count(), 1);
  EXPECT_STREQ(other.attributes.At(0)->oid.c_str(), "2.5.4.3");
  EXPECT_EQ(HexOf(other.signature), "aa");
}

TEST(KeyPair, ParamsTypedGettersAndCopies) {
  KeyPair k;
  k.AddParam("crv", "one");
  k.AddParam("crv", "two");
  EXPECT_STREQ(k.GetParam("crv"), "one");
  EXPECT_STREQ(k.GetParam("CRV"), "");
  k.type = kKeyRsa;
  const char* comps[] = {"\xc1", "\x0b", "\x0d", "\x05", "\x07", "\x03", "\x09"};
  ByteString* fields[] = {&k.rsa.N, &k.rsa.P, &k.rsa.Q, &k.rsa.DP, &k.rsa.DQ, &k.rsa.QInv, &k.rsa.D};
  for (int i = 0; i < 7; ++i) fields[i]->SetText(comps[i]);
  k.rsa.E.Set("\x01\x00\x01", 3);
  EXPECT_TRUE(k.HasPrivate());
  RsaKeyData pub;
  ASSERT_EQ(k.GetRsa(&pub, true), 0);
  EXPECT_EQ(HexOf(pub.E), "010001");
  EXPECT_EQ(HexOf(pub.N), "c1");
  EXPECT_TRUE(pub.P.empty() && pub.Q.empty() && pub.DP.empty() && pub.DQ.empty() &&
              pub.QInv.empty() && pub.D.empty());
  DsaKeyData dsa;
  dsa.Y.SetText("\x42");
  EXPECT_EQ(k.GetDsa(&dsa, true), -1);
  EXPECT_EQ(HexOf(dsa.Y), "42");
  KeyPair d;
  d.type = kKeyDsa;
  d.dsa.P.SetText("\x17");
  d.dsa.Q.SetText("\x0b");
  d.dsa.G.SetText("\x04");
  d.dsa.X.SetText("\x03");
  ASSERT_EQ(d.GetDsa(&dsa, true), 0);
  EXPECT_EQ(HexOf(dsa.Y), "12");  // 4^3 mod 23
  EXPECT_TRUE(dsa.X.empty());
  ASSERT_EQ(d.DerivePublic(), 0);
  EXPECT_EQ(HexOf(d.dsa.Y), "12");
  KeyPair ec_only_private;
  ec_only_private.type = kKeyEc;
  ec_only_private.ec.curve_id = kCurveP256;
  ec_only_private.ec.D.SetText("\x05");
  EXPECT_EQ(ec_only_private.DerivePublic(), 0);  // Q = 5 G
  EXPECT_TRUE(ec_only_private.ec.HasPublic());
  KeyPair x;
  x.type = kKeyEdwards;
  x.edwards.curve_id = kCurveX25519;
  x.edwards.public_bytes.AppendRepeated(32, 9);
  EXPECT_TRUE(x.IsEcKind());
  EXPECT_FALSE(x.HasPrivate());
  EcKeyData ec;
  ASSERT_EQ(x.GetEc(&ec, true), 0);
  EXPECT_EQ(ec.curve_id, kCurveX25519);
  EXPECT_TRUE(x.ec.public_bytes.empty());
  CertificateWithKey a, b;
  a.AddProperty("token", "t1", 2);
  a.AddProperty("object", "o1", 2);
  a.AddProperty("token", "t2", 2);
  ASSERT_EQ(a.key.CopyFrom(k), 0);
  ASSERT_EQ(b.CopyFrom(a), 0);
  ByteString v;
  ASSERT_EQ(b.GetProperty("token", &v), 0);
  EXPECT_STREQ(v.c_str(), "t1");
  EXPECT_STREQ(b.propertyNames.Get(1), "object");
  EXPECT_EQ(b.GetProperty("missing", &v), 202);
  EXPECT_STREQ(b.key.GetParam("crv"), "one");
}

TEST(Records, SignerDefaultsAndDeepCopies) {
  SignerInfo fresh;
  EXPECT_STREQ(fresh.digestAlgorithm.first.c_str(), "1.3.14.3.2.26");
  EXPECT_STREQ(fresh.attributeDigestAlgorithm.first.c_str(), "1.3.14.3.2.26");
  EXPECT_TRUE(fresh.serialText.empty());
  Pkcs7Record a, b;
  a.contentType.SetText("1.2.840.113549.1.7.2");
  a.signers.GetOrCreate(1)->signature.SetText("sig");
  a.certificates.GetOrCreate(0)->version = 3;
  ASSERT_EQ(b.CopyFrom(a), 0);
  EXPECT_STREQ(b.contentType.c_str(), "1.2.840.113549.1.7.2");
  ASSERT_EQ(b.signers.Count(), 2);
  EXPECT_EQ(b.signers.At(0), nullptr);
  EXPECT_STREQ(b.signers.At(1)->signature.c_str(), "sig");
  EXPECT_NE(b.signers.At(1), a.signers.At(1));
  EXPECT_EQ(b.certificates.At(0)->version, 3);
}

}  // namespace
}  // namespace tw
