// The store and its auto-detecting parser over content made by openssl: every readable content
// type detected, the named type checked against it, selection by subject, hostile input.
#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <string>

#include "certs/cert_store.h"
#include "tests/support/test_support.h"
#include "tests/support/case_name.h"

namespace tw {
namespace {

using testsupport::RunCommand;

// Content made once per run: keys, certificates and their PEM, DER and Base64 forms.
class Fixtures {
 public:
  static Fixtures& Get() {
    static Fixtures f;
    return f;
  }
  const std::string& dir() const { return dir_; }
  std::string Path(const std::string& name) const { return dir_ + "/" + name; }
  std::string Text(const std::string& name) const { return testsupport::ReadFile(Path(name)); }
  bool ok() const { return ok_; }

 private:
  Fixtures() : dir_(testsupport::MakeTempDir()) {
    const std::string script =
        "cd " + dir_ + " && set -e\n"
        "openssl req -x509 -newkey rsa:2048 -nodes -keyout a.key -out a.pem -days 30 -subj '/CN=store-a/O=Acme' 2>/dev/null\n"
        "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout b.key -out b.pem -days 30 "
        "-subj '/CN=store-b/O=Other' 2>/dev/null\n"
        "openssl x509 -in a.pem -outform DER -out a.der\n"
        "base64 -w 64 a.der > a.b64\n"
        "cat a.pem a.key > a_with_key.pem\n"
        "cat a.key b.pem a.pem > key_chain.pem\n"

        "cat a.pem b.pem > two.pem\n"
        "openssl pkey -in a.key -pubout -out a.pub 2>/dev/null\n"
        "cat a.pem a.pub > cert_pub.pem\n"
        "openssl rsa -in a.key -RSAPublicKey_out -out a.rsapub 2>/dev/null\n"
        "openssl rsa -in a.key -traditional -out a.trad 2>/dev/null\n"
        "openssl ec -in b.key -out b.ec 2>/dev/null\n"
        "openssl dsaparam -genkey -noout -out d.key 1024 2>/dev/null\n"
        "openssl dsa -in d.key -traditional -out d.trad 2>/dev/null || cp d.key d.trad\n"
        "printf -- '-----BEGIN WHATEVER-----\\nAAAA\\n-----END WHATEVER-----\\n' > unknown.pem\n"
        "cat unknown.pem a.pem > unknown_and_cert.pem\n"
        "cat b.pem a.key a.rsapub > mismatch.pem\n"
        "openssl pkcs12 -export -in a.pem -inkey a.key -passout pass:pw -out a.pfx\n"
        "openssl pkcs12 -export -legacy -in a.pem -inkey a.key -certfile b.pem -passout pass:pw -out legacy.pfx\n"
        "base64 -w 64 a.pfx > a.pfx.b64\n"
        "openssl pkcs12 -export -in a.pem -inkey a.key -passout pass: -out nopw.pfx\n"
        "for c in des3 aes128 aes256; do openssl rsa -in a.key -traditional -$c -passout pass:pw -out a.$c 2>/dev/null;"
        " cat a.pem a.$c > a_with_$c.pem; done\n"
        "openssl ec -in b.key -aes128 -passout pass:pw -out b.ec.aes 2>/dev/null\n"
        "openssl pkcs8 -topk8 -in a.key -passout pass:pw -out a.p8enc\n"
        "cat a.pem a.p8enc > a_with_p8enc.pem\n"
        "sed 's/AES-128-CBC/AES-192-OFB/' a.aes128 > a.badcipher\n"
        "openssl crl2pkcs7 -nocrl -certfile two.pem -out two.p7b\n"
        "openssl crl2pkcs7 -nocrl -certfile two.pem -outform DER -out two.p7b.der\n";
    int status = -1;
    RunCommand(script, "", &status);
    ok_ = status == 0;
  }
  ~Fixtures() { RunCommand("rm -rf " + dir_); }
  std::string dir_;
  bool ok_ = false;
};

#define REQUIRE_FIXTURES()                                                  \
  do {                                                                      \
    if (!Fixtures::Get().ok()) TW_REQUIRE_OR_SKIP("openssl fixtures failed"); \
  } while (0)

struct ParseCase {
  const char* name;
  const char* fixture;
  bool as_file;
  int rc;
  int32_t detected;
  int entries;
  CertEntryKind first_kind;
};

const ParseCase kParseCases[] = {
    {"PemCertFile", "a.pem", true, 0, cstPEMKeyFile, 1, kEntryCertificate},
    {"PemCertBlob", "a.pem", false, 0, cstPEMKeyBlob, 1, kEntryCertificate},
    {"DerCertFile", "a.der", true, 0, cstPEMKeyFile, 1, kEntryCertificate},
    {"DerCertBlob", "a.der", false, 0, cstPEMKeyBlob, 1, kEntryCertificate},
    {"Base64DerBlob", "a.b64", false, 0, cstPEMKeyBlob, 1, kEntryCertificate},
    {"CertWithKeyJoinedFile", "a_with_key.pem", true, 0, cstPEMKeyFile, 1, kEntryPfx},
    {"CertWithKeyJoinedBlob", "a_with_key.pem", false, 0, cstPEMKeyBlob, 1, kEntryPfx},
    {"KeyWithChainJoined", "key_chain.pem", false, 0, cstPEMKeyBlob, 1, kEntryPfx},
    {"KeyWithoutItsCertificateJoinedWithFirst", "mismatch.pem", false, 0, cstPEMKeyBlob, 1, kEntryPfx},
    {"CertAndPublicKeyNotJoined", "cert_pub.pem", false, 0, cstPEMKeyBlob, 2, kEntryCertificate},
    {"TwoCerts", "two.pem", false, 0, cstPEMKeyBlob, 2, kEntryCertificate},
    {"Pkcs8Key", "a.key", false, 0, cstPEMKeyBlob, 1, kEntryBareKey},
    {"RsaTraditionalKey", "a.trad", false, 0, cstPEMKeyBlob, 1, kEntryBareKey},
    {"EcKey", "b.ec", false, 0, cstPEMKeyBlob, 1, kEntryBareKey},
    {"DsaKey", "d.trad", false, 0, cstPEMKeyBlob, 1, kEntryBareKey},
    {"SpkiPublicKey", "a.pub", false, 0, cstPEMKeyBlob, 1, kEntryBareKey},
    {"RsaPublicKey", "a.rsapub", false, 0, cstPEMKeyBlob, 1, kEntryBareKey},
    {"P7bPemFile", "two.p7b", true, 0, cstP7BFile, 1, kEntryP7b},
    {"P7bPemBlob", "two.p7b", false, 0, cstP7BBlob, 1, kEntryP7b},
    {"P7bDerFile", "two.p7b.der", true, 0, cstP7BFile, 1, kEntryP7b},
    {"P7bDerBlob", "two.p7b.der", false, 0, cstP7BBlob, 1, kEntryP7b},
    {"UnknownLabelOnly", "unknown.pem", false, 271, 0, 0, kEntryNone},
    {"UnknownLabelSkipped", "unknown_and_cert.pem", false, 0, cstPEMKeyBlob, 1, kEntryCertificate},
};

class StoreParse : public ::testing::TestWithParam<ParseCase> {};

TEST_P(StoreParse, DetectsType) {
  REQUIRE_FIXTURES();
  const ParseCase& c = GetParam();
  const Fixtures& f = Fixtures::Get();
  const std::string input = c.as_file ? f.Path(c.fixture) : f.Text(c.fixture);
  CertEntryList list;
  bool from_file = false;
  int32_t detected = -1;
  ByteString log, error;
  const int rc = ParseStoreContent(&list, input.data(), static_cast<int>(input.size()), "", &log, &from_file,
                                   &detected, &error);
  ASSERT_EQ(rc, c.rc) << error.c_str() << "\n" << log.c_str();
  EXPECT_EQ(from_file, c.as_file);
  if (rc != 0) {
    EXPECT_STREQ(error.c_str(), "The certificate store could not be opened (0x2).");
    return;
  }
  EXPECT_EQ(detected, c.detected);
  EXPECT_EQ(list.detectedType, c.detected);
  ASSERT_EQ(list.entries.Count(), c.entries);
  EXPECT_EQ(list.entries.At(0)->Kind(), c.first_kind);
  if (c.as_file) {
    EXPECT_STREQ(list.filePath.c_str(), input.c_str());
  }
}

INSTANTIATE_TEST_SUITE_P(Contents, StoreParse, ::testing::ValuesIn(kParseCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(StoreParseJoin, KeyGoesWithItsOwnCertificateAndChainStays) {
  REQUIRE_FIXTURES();
  const std::string text = Fixtures::Get().Text("key_chain.pem");  // key of a, then b, then a
  CertStore store;
  ASSERT_EQ(store.Open(text.data(), static_cast<int>(text.size()), "", "*", cstPEMKeyBlob), 0)
      << store.error_text.c_str();
  const CertEntry* e = store.entries.SelectedEntry();
  ASSERT_TRUE(e != nullptr && e->pfx);
  ASSERT_EQ(e->pfx->certificates.Count(), 2);
  EXPECT_STREQ(store.subject.c_str(), "CN=store-a, O=Acme");
  EXPECT_TRUE(store.HasPrivateKey());
  EXPECT_EQ(e->pfx->certificates.At(1)->key.type, kKeyNone);
}

TEST(StoreParseLog, LinesNameWhatWasTried) {
  REQUIRE_FIXTURES();
  const std::string text = Fixtures::Get().Text("unknown_and_cert.pem");
  CertEntryList list;
  bool from_file = false;
  int32_t detected = 0;
  ByteString log, error;
  ASSERT_EQ(ParseStoreContent(&list, text.data(), -1, "", &log, &from_file, &detected, &error), 0);
  EXPECT_STREQ(log.c_str(),
               "Parsed PEM input data successfully.\r\nPEM tag: WHATEVER\r\nUnknown PEM tag (WHATEVER) was "
               "ignored.\r\nPEM tag: CERTIFICATE\r\nSuccessfully parsed PEM(CERTIFICATE) as X509 certificate.\r\n");
}

struct PasswordCase {
  const char* fixture;
  const char* password;
  int rc;
  CertEntryKind kind;
  const char* text;  // the error text, or the subject selected
  bool private_key;
};
const PasswordCase kPasswordCases[] = {
    {"a.pfx", "pw", 0, kEntryPfx, "CN=store-a, O=Acme", true},
    {"legacy.pfx", "pw", 0, kEntryPfx, "CN=store-a, O=Acme", true},
    {"a.pfx.b64", "pw", 0, kEntryPfx, "CN=store-a, O=Acme", true},
    {"nopw.pfx", "", 0, kEntryPfx, "CN=store-a, O=Acme", true},
    {"a.pfx", "wrong", 271, kEntryNone, "The certificate store could not be opened (Wrong password).", false},
    {"legacy.pfx", "", 271, kEntryNone, "The certificate store could not be opened (Wrong password).", false},
    {"a_with_des3.pem", "pw", 0, kEntryPfx, "CN=store-a, O=Acme", true},
    {"a_with_aes128.pem", "pw", 0, kEntryPfx, "CN=store-a, O=Acme", true},
    {"a_with_aes256.pem", "pw", 0, kEntryPfx, "CN=store-a, O=Acme", true},
    {"a_with_p8enc.pem", "pw", 0, kEntryPfx, "CN=store-a, O=Acme", true},
    // A key that does not decrypt is no entry and is not joined: the certificate stays alone.
    {"a_with_aes128.pem", "wrong", 0, kEntryCertificate, "CN=store-a, O=Acme", false},
    {"a_with_p8enc.pem", "wrong", 0, kEntryCertificate, "CN=store-a, O=Acme", false},
    {"b.ec.aes", "pw", 0, kEntryBareKey, "", true},
    {"a.badcipher", "pw", 271, kEntryNone, "The certificate store could not be opened (0x2).", false},
};

class StorePassword : public ::testing::TestWithParam<PasswordCase> {};

TEST_P(StorePassword, OpensWithPassword) {
  REQUIRE_FIXTURES();
  const PasswordCase& c = GetParam();
  const std::string text = Fixtures::Get().Text(c.fixture);
  CertStore store;
  const int rc = store.Open(text.data(), static_cast<int>(text.size()), c.password, "", cstAuto);
  ASSERT_EQ(rc, c.rc) << c.fixture << " " << store.error_text.c_str();
  EXPECT_STREQ(rc == 0 ? store.subject.c_str() : store.error_text.c_str(), c.text);
  if (rc != 0) return;
  EXPECT_EQ(store.entries.SelectedEntry()->Kind(), c.kind);
  EXPECT_EQ(store.HasPrivateKey(), c.private_key);
}

INSTANTIATE_TEST_SUITE_P(Passwords, StorePassword, ::testing::ValuesIn(kPasswordCases),
    [](const auto& i) { const auto& p = i.param; return testsupport::MakeName(p.fixture, p.password, i.index); });

struct TypeCase {
  int32_t requested;
  int32_t detected;
  int rc;
};
const TypeCase kTypeCases[] = {
    {0, 7, 0},    {1, 2, 0},    {-1, 6, 271}, {21, 6, 271}, {99, 6, 271}, {6, 6, 0},   {8, 6, 0},
    {13, 6, 0},   {6, 13, 0},   {7, 9, 0},    {10, 7, 0},   {9, 10, 0},   {6, 7, 271}, {7, 6, 271},
    {2, 6, 271},  {3, 3, 0},    {2, 3, 271},  {4, 4, 271},  {5, 5, 271},  {11, 11, 0}, {12, 11, 271},
    {20, 20, 0},  {8, 9, 271},
};

class StoreTypeMatch : public ::testing::TestWithParam<TypeCase> {};

TEST_P(StoreTypeMatch, Table) {
  const TypeCase& c = GetParam();
  // JKS content is never detected, so a JKS request never matches what was found.
  const int32_t detected = (c.detected == 4 || c.detected == 5) ? 6 : c.detected;
  EXPECT_EQ(StoreTypesMatch(c.requested, detected), c.rc) << c.requested << " vs " << c.detected;
}

INSTANTIATE_TEST_SUITE_P(Types, StoreTypeMatch, ::testing::ValuesIn(kTypeCases),
    [](const auto& i) { const auto& p = i.param; return testsupport::MakeName("requested", p.requested, "detected", p.detected, i.index); });

struct OpenCase {
  const char* fixture;
  bool as_file;
  int32_t type;
  const char* subject;
  int rc;
  const char* text;      // error text, or the subject selected
};
const OpenCase kOpenCases[] = {
    {"a.pem", true, cstPEMKeyFile, "", 0, "CN=store-a, O=Acme"},
    {"a.pem", true, cstPublicKeyFile, "", 0, "CN=store-a, O=Acme"},
    {"a.pem", true, cstPFXFile, "", 271, "The certificate store could not be opened (0x80092002)."},
    {"a.pem", true, cstPEMKeyBlob, "", 271, "The certificate store could not be opened (0x80092002)."},
    {"a.pem", false, cstPEMKeyBlob, "", 0, "CN=store-a, O=Acme"},
    {"a.pem", false, cstJKSBlob, "", 271, "The certificate store could not be opened (0x80092002)."},
    {"a.pem", false, cstAuto, "no such subject", 0, "CN=store-a, O=Acme"},  // a lone certificate
    {"two.pem", false, cstAuto, "CN=store-b, O=Other", 0, "CN=store-b, O=Other"},
    {"two.pem", false, cstAuto, "O=Other,CN=store-b", 0, "CN=store-b, O=Other"},
    {"two.pem", false, cstAuto, "store-b", 0, "CN=store-b, O=Other"},
    {"two.pem", false, cstAuto, "*", 0, "CN=store-a, O=Acme"},
    {"two.pem", false, cstAuto, "CN=nobody", 272, "Cannot find specified certificate."},
    {"a_with_key.pem", false, cstAuto, "store-a", 0, "CN=store-a, O=Acme"},
    {"a_with_key.pem", false, cstAuto, "store-z", 272, "Cannot find specified certificate."},
    {"a.key", false, cstPEMKeyBlob, "wanted", 0, "wanted"},  // a bare key keeps the request
    {"two.p7b.der", false, cstP7BBlob, "store-b", 0, "CN=store-b, O=Other"},
    {"two.p7b.der", false, cstAuto, "", 0, "CN=store-a, O=Acme"},
    {"two.p7b.der", false, cstP7BBlob, "store-z", 272, "Cannot find specified certificate."},
    {"two.p7b", true, cstP7BBlob, "", 271, "The certificate store could not be opened (0x80092002)."},
    {"unknown.pem", false, cstAuto, "", 271, "The certificate store could not be opened (0x2)."},
};

class StoreOpen : public ::testing::TestWithParam<OpenCase> {};

TEST_P(StoreOpen, SelectsBySubject) {
  REQUIRE_FIXTURES();
  const OpenCase& c = GetParam();
  const Fixtures& f = Fixtures::Get();
  const std::string input = c.as_file ? f.Path(c.fixture) : f.Text(c.fixture);
  CertStore store;
  const int rc = store.Open(input.data(), static_cast<int>(input.size()), "", c.subject, c.type);
  EXPECT_EQ(rc, c.rc);
  EXPECT_STREQ(rc == 0 ? store.subject.c_str() : store.error_text.c_str(), c.text);
  if (rc == 0 && store.GetCertificate() != nullptr) {
    EXPECT_EQ(store.selected.der.length(), store.GetCertificate()->der.length());
  }
}

INSTANTIATE_TEST_SUITE_P(Stores, StoreOpen, ::testing::ValuesIn(kOpenCases),
    [](const auto& i) { const auto& p = i.param; return testsupport::MakeName(p.fixture, p.as_file ? "file" : "blob", i.index); });

TEST(StoreAccessors, EncodedCertificateAndFind) {
  REQUIRE_FIXTURES();
  const Fixtures& f = Fixtures::Get();
  const std::string two = f.Text("two.pem");
  CertStore store;
  ASSERT_EQ(store.Open(two.data(), -1, "", "store-b", cstAuto), 0);
  const char* pem = nullptr;
  int length = 0;
  ASSERT_EQ(store.GetEncodedCertificate(&pem, &length), 0);
  EXPECT_EQ(std::string(pem, static_cast<size_t>(length)).find("-----BEGIN CERTIFICATE-----\r\n"), 0u);
  // The PEM we hand out is the certificate openssl wrote.
  EXPECT_EQ(RunCommand("openssl x509 -noout -subject -nameopt compat", std::string(pem, length)),
            "subject=/CN=store-b/O=Other\n");
  const std::string b = f.Text("b.pem"), a_der = f.Text("a.der");
  EXPECT_EQ(store.FindEncodedCertificate(b.data(), static_cast<int>(b.size())), 1);
  EXPECT_EQ(store.FindEncodedCertificate(a_der.data(), static_cast<int>(a_der.size())), 0);
  EXPECT_EQ(store.FindEncodedCertificate("junk", 4), -1);
  CertStore copy;
  ASSERT_EQ(copy.CopyFrom(store), 0);
  EXPECT_EQ(copy.entries.entries.Count(), 2);
  EXPECT_STREQ(copy.GetSerialNumberHex(), store.GetSerialNumberHex());

  CertStore auto_store;
  EXPECT_EQ(auto_store.LoadStoreAuto("", 0), 0);
  ASSERT_EQ(auto_store.LoadStoreAuto(a_der.data(), static_cast<int>(a_der.size())), 0);
  EXPECT_EQ(auto_store.store_type, cstPEMKeyBlob);
  EXPECT_STREQ(auto_store.subject.c_str(), "CN=store-a, O=Acme");
  CertStoreArray array, more;
  ASSERT_EQ(array.InsertCopy(5, store), 0);  // past the end appends
  EXPECT_EQ(array.InsertCopy(-1, store), -1);
  ASSERT_EQ(more.InsertCopy(0, auto_store), 0);
  ASSERT_EQ(AppendCertStores(&array, more), 0);
  ASSERT_EQ(array.Count(), 2);
  EXPECT_STREQ(array.At(1)->subject.c_str(), "CN=store-a, O=Acme");
}

TEST(StoreSystem, FolderStoreSelectsKeyHolderForStar) {
  REQUIRE_FIXTURES();
  const Fixtures& f = Fixtures::Get();
  const std::string root = testsupport::MakeTempDir();
  RunCommand("mkdir -p " + root + "/MY && cp " + f.Path("b.pem") + " " + root + "/MY/1.pem && cp " +
             f.Path("a_with_key.pem") + " " + root + "/MY/2.pem");
  setenv("TW_CERT_STORES", root.c_str(), 1);
  struct Case {
    const char* store;
    const char* subject;
    int rc;
    const char* text;
  } cases[] = {
      {"MY", "*", 0, "CN=store-a, O=Acme"},
      {"MY", "CN=store-b", 0, "CN=store-b, O=Other"},
      {"MY", "CN=Other", 0, "CN=store-b, O=Other"},  // found again without "CN="
      {"MY", "", 0, ""},
      {"MY", "CN=nobody", 272, "The certificate could not be found (2148081668)."},
      {"NOPE", "*", 271, "The certificate store could not be opened (2)."},
  };
  for (const Case& c : cases) {
    CertStore store;
    EXPECT_EQ(store.Open(c.store, -1, "", c.subject, cstUser), c.rc) << c.subject;
    EXPECT_STREQ(c.rc == 0 ? store.subject.c_str() : store.error_text.c_str(), c.text) << c.subject;
  }
  unsetenv("TW_CERT_STORES");
  RunCommand("rm -rf " + root);
}

class LogCatcher : public ComponentBase {
 public:
  int FireLog(int level, const char* text, const char* type) override {
    lines += std::to_string(level) + "|" + type + "|" + text + "\n";
    return 0;
  }
  std::string lines;
};

TEST(StoreLog, ContentAsTextOrBase64) {
  REQUIRE_FIXTURES();
  const Fixtures& f = Fixtures::Get();
  const std::string pem = f.Text("b.pem"), der = f.Text("a.der"), b64 = f.Text("a.b64");
  LogCatcher c;
  c.set_log_level(kLogDebug);
  const std::string path = f.Path("b.pem");
  ASSERT_EQ(LogStoreContent(c, path.data(), static_cast<int>(path.size()), "Store"), 0);
  EXPECT_EQ(c.lines, "3|Certificate Store|Store: \n" + pem + "\n");
  c.lines.clear();
  ASSERT_EQ(LogStoreContent(c, der.data(), static_cast<int>(der.size()), "Blob"), 0);
  std::string expected = b64;  // base64 -w 64 ends lines in LF; ours in CR LF without a last one
  for (size_t at = expected.find('\n'); at != std::string::npos; at = expected.find('\n', at + 2)) {
    expected.replace(at, 1, "\r\n");
  }
  expected.resize(expected.size() - 2);
  EXPECT_EQ(c.lines, "3|Certificate Store|Blob: \n" + expected + "\n");
  c.lines.clear();
  c.set_log_level(kLogVerbose);
  ASSERT_EQ(LogStoreContent(c, pem.data(), -1, "Quiet"), 0);
  EXPECT_EQ(c.lines, "");
}

// Every prefix and a few flipped bytes of each form end in a code, never a crash (run under ASan).
TEST(StoreHostile, PrefixesAndFlips) {
  REQUIRE_FIXTURES();
  const Fixtures& f = Fixtures::Get();
  for (const char* name : {"a.der", "a_with_key.pem", "a.rsapub", "a.pfx", "two.p7b.der"}) {
    const std::string whole = f.Text(name);
    for (size_t n = 1; n < whole.size(); n += (name[2] == 'd' ? 1 : 7)) {
      CertStore store;
      const int rc = store.Open(whole.data(), static_cast<int>(n), "pw", "", cstAuto);
      EXPECT_TRUE(rc == 0 || rc == 271 || rc == 272) << name << " " << n << " " << rc;
    }
    for (size_t i = 0; i < whole.size(); i += 13) {
      std::string bent = whole;
      bent[i] = static_cast<char>(bent[i] ^ 0x41);
      CertStore store;
      const int rc = store.Open(bent.data(), static_cast<int>(bent.size()), "", "", cstAuto);
      EXPECT_TRUE(rc == 0 || rc == 271 || rc == 272) << name << " flip " << i;
    }
  }
  // 1024 bytes or more are content, even when a file of that name could exist.
  const std::string long_name(1024, 'a');
  CertStore store;
  EXPECT_EQ(store.Open(long_name.data(), 1024, "", "", cstAuto), 271);
  EXPECT_EQ(store.Open("", 0, "", "", cstAuto), 271);
  // Only regular files are read: a device name would never end.
  EXPECT_EQ(store.Open("/dev/zero", -1, "", "", cstAuto), 271);
  EXPECT_EQ(store.Open("/tmp", -1, "", "", cstAuto), 271);
}

}  // namespace
}  // namespace tw
