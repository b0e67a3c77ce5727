#include "tls/tls_certificates.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "certs/system_cert_store.h"
#include "crypto/symmetric/hash_engine.h"
#include "platform/library.h"
#include "tests/peers/test_pki.h"
#include "tests/tls/tls_test_support.h"
#include "tls/peer_chain.h"
#include "tests/support/case_name.h"

namespace {

using testsupport::ReadFile;
using testsupport::RunCommand;
using testsupport::ShellQuote;
using tlstest::Bytes;
using tlstest::Str;

// The test PKI plus what the tests make from it with the openssl CLI: other key encodings, a DSA
// certificate, DER files and store files. Empty dir() when the PKI could not be made.
class Files {
 public:
  static const Files& Get() {
    static const Files files;
    return files;
  }
  const testsupport::TestPki& pki = testsupport::TestPki::Get();
  std::string dir;
  std::string Path(const std::string& name) const { return dir + "/" + name; }
  bool Extra(const std::string& name) const { return name == "dsa" || name == "p521"; }
  std::string Pem(const std::string& name) const { return Extra(name) ? Path(name + ".pem") : pki.Cert(name); }
  std::string KeyFile(const std::string& name) const { return Extra(name) ? Path(name + ".key") : pki.Key(name); }
  std::string Der(const std::string& name) const { return ReadFile(Path(name + ".der")); }

 private:
  Files() {
    if (!pki.ok()) return;
    // Per process: the test PKI itself is shared by every test process and stays as it is.
    static const std::string made = testsupport::MakeTempDir();
    std::atexit([] { RunCommand("rm -rf " + ShellQuote(made)); });
    const std::string d = made;
    const std::string p = pki.dir() + "/";
    int status = 0;
    RunCommand("(mkdir -p " + ShellQuote(d) + " && cd " + ShellQuote(d) +
                   " && openssl genpkey -genparam -algorithm DSA -pkeyopt dsa_paramgen_bits:1024 -out dsa.par"
                   " && openssl genpkey -paramfile dsa.par -out dsa.key"
                   " && openssl req -x509 -new -key dsa.key -subj /CN=dsa.test -days 30 -sha256 -out dsa.pem"
                   " && openssl rsa -in " + p + "rsa.key -traditional -out rsa1.key"
                   " && openssl ec -in " + p + "clientec.key -out sec1.key"
                   " && for n in rsa ecdsa ecdsa384 ed25519 root inter expired selfsigned wronghost client clientec; do"
                   "  openssl x509 -in " + p + "$n.pem -outform DER -out $n.der; done"
                   " && openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-521 -out p521.key"
                   " && openssl req -x509 -new -key p521.key -subj /CN=p521.test -days 30 -sha512 -out p521.pem"
                   " && openssl x509 -in dsa.pem -outform DER -out dsa.der && openssl x509 -in p521.pem -outform DER -out p521.der"
                   " && cat " + p + "rsa.pem " + p + "inter.pem " + p + "root.pem " + p + "rsa.key > full.pem"
                   " && cat " + p + "inter.pem " + p + "rsa.pem " + p + "rsa.key > keyed.pem"
                   " && cat " + p + "rsa.pem " + p + "inter.pem > pair.pem"
                   " && cat " + p + "clientec.pem sec1.key > sec1.pem && cat " + p + "rsa.pem rsa1.key > rsa1.pem"
                   " && openssl pkey -in " + p + "rsa.key -aes128 -passout pass:x -out enc.key"
                   " && cat " + p + "rsa.pem enc.key > enc.pem && echo garbage > junk.txt && printf '\\060\\003\\002\\001\\001' > bad.der) >/dev/null 2>&1",
               "", &status);
    if (status == 0) dir = d;
  }
};

#define REQUIRE_FILES(f)                                                          \
  const Files& f = Files::Get();                                                  \
  if (f.dir.empty()) {                                                            \
    TW_REQUIRE_OR_SKIP(f.pki.ok() ? "openssl could not make the test keys" : f.pki.error()); \
  }

int LoadFile(tw::CertSelection* s, const std::string& path, int32_t type, const char* subject = "") {
  return s->Load(path.data(), static_cast<int>(path.size()), type, "", subject, nullptr, 0);
}

// ---- Loading a selection ----

struct LoadCase {
  const char* file;  // in the extra folder
  char how;          // 'f' the path, 'b' the content, 'e' the content as encoded certificate, 'm' "MY"
  int32_t type;
  const char* subject;
  int rc;
  const char* error_or_cn;  // the error text, or a text the selected subject holds
  bool has_key;
};

class CertLoad : public testing::TestWithParam<LoadCase> {};

TEST_P(CertLoad, SelectsOrExplains) {
  REQUIRE_FILES(f);
  const LoadCase& c = GetParam();
  const std::string store = c.how == 'f' ? f.Path(c.file) : c.how == 'm' ? "MY" : ReadFile(f.Path(c.file));
  const int n = static_cast<int>(store.size());
  tw::CertSelection s, copy;
  const int rc = c.how == 'e' ? s.Load(nullptr, 0, 0, nullptr, nullptr, store.data(), n)
                              : s.Load(store.data(), n, c.type, "", c.subject, nullptr, 0);
  ASSERT_EQ(rc, c.rc) << s.error_text().c_str();
  EXPECT_EQ(s.loaded(), rc == 0);
  if (rc != 0) {
    EXPECT_STREQ(s.error_text().c_str(), c.error_or_cn);
    EXPECT_TRUE(s.der().empty());
    return;
  }
  const std::string text = RunCommand("openssl x509 -inform DER -noout -subject", Str(s.der()));
  EXPECT_NE(text.find(c.error_or_cn), std::string::npos) << text;
  EXPECT_EQ(s.has_private_key(), c.has_key);
  const std::string der = Str(s.der());
  if (c.how != 'e') {  // a store loaded after an encoded certificate is what a copy loads
    const std::string other = f.Der("ecdsa");
    ASSERT_EQ(s.Load(nullptr, 0, 0, nullptr, nullptr, other.data(), static_cast<int>(other.size())), 0);
    ASSERT_EQ(s.Load(store.data(), n, c.type, "", c.subject, nullptr, 0), 0);
  }
  ASSERT_EQ(copy.CopyFrom(s), 0);
  EXPECT_TRUE(copy.loaded() && Str(copy.der()) == der && copy.has_private_key() == c.has_key);
  s.Release();
  std::vector<tw::ByteString> chain;
  EXPECT_TRUE(!s.loaded() && s.GetChainDer(&chain, 0) == tw::kErrCertSelection);
}

INSTANTIATE_TEST_SUITE_P(
    Stores, CertLoad,
    testing::Values(
        LoadCase{"full.pem", 'f', 6, "", 0, "CN = localhost", true},
        LoadCase{"full.pem", 'b', 7, "", 0, "CN = localhost", true},
        LoadCase{"full.pem", 'f', 99, "Test Root", 0, "Test Root CA", false},
        LoadCase{"keyed.pem", 'b', 99, "", 0, "CN = localhost", true},
        LoadCase{"pair.pem", 'f', 6, "intermediate", 0, "Test Intermediate CA", false},
        LoadCase{"pair.pem", 'f', 6, "nothing like it", 272, "Cannot find specified certificate.", false},
        LoadCase{"sec1.pem", 'f', 6, "", 0, "Test Client EC", true},
        LoadCase{"rsa1.pem", 'b', 7, "", 0, "CN = localhost", true},
        LoadCase{"rsa.der", 'b', 99, "anything", 0, "CN = localhost", false},
        LoadCase{"rsa.der", 'e', 0, "", 0, "CN = localhost", false},
        LoadCase{"pair.pem", 'e', 0, "", 0, "CN = localhost", false},
        LoadCase{"full.pem", 'f', 7, "", 271, "The certificate store could not be opened (0x80092002).", false},
        LoadCase{"junk.txt", 'f', 6, "", 271, "The certificate store could not be opened (0x2).", false},
        // Without its password the key does not decrypt: the certificate alone is selected.
        LoadCase{"enc.pem", 'f', 6, "", 0, "CN = localhost", false},
        LoadCase{"", 'm', 0, "", 281, "No certificate selected.  Please select a certificate first.", false},
        LoadCase{"", 'm', 0, "Someone", 271, "The certificate store could not be opened (2).", false},
        LoadCase{"full.pem", 'f', 2, "", 271, "The certificate store could not be opened (0x80092002).", false}),
    [](const auto& i) { const auto& p = i.param; return testsupport::MakeName(p.file, std::string(1, p.how), i.index); });

// A bare key gets a self-signed "CN=pem_cert" certificate of its own key; a copy presents the same.
class BareKeyLoad : public testing::TestWithParam<const char*> {};

TEST_P(BareKeyLoad, MakesPlaceholderCertificate) {
  REQUIRE_FILES(f);
  const std::string path = f.Path(GetParam());
  tw::CertSelection s, copy;
  ASSERT_EQ(s.Load(path.data(), static_cast<int>(path.size()), 6, "", "", nullptr, 0), 0) << s.error_text().c_str();
  EXPECT_TRUE(s.has_private_key());
  const std::string pem = RunCommand("openssl x509 -inform DER", Str(s.der()));
  EXPECT_EQ(RunCommand("openssl x509 -noout -subject -issuer -serial", pem),
            "subject=CN = pem_cert\nissuer=CN = pem_cert\nserial=01\n");
  EXPECT_EQ(RunCommand("openssl pkey -pubout -in " + path), RunCommand("openssl x509 -noout -pubkey", pem));
  ASSERT_EQ(copy.CopyFrom(s), 0);
  EXPECT_TRUE(Str(copy.der()) == Str(s.der()) && copy.has_private_key());
}

INSTANTIATE_TEST_SUITE_P(Keys, BareKeyLoad, testing::Values("rsa1.key", "sec1.key", "p521.key", "dsa.key"),
    testsupport::CaseName{});

// ---- The Certificate message ----

struct BodyCase {
  const char* store;  // in the extra folder, "" for no own certificate
  std::vector<const char*> sent;
};

class CertificateBody : public testing::TestWithParam<BodyCase> {};

TEST_P(CertificateBody, SendsChainWithoutRootAndReadsBack) {
  REQUIRE_FILES(f);
  tw::CertSelection own;
  if (*GetParam().store) {
    ASSERT_EQ(LoadFile(&own, f.Path(GetParam().store), 6), 0);
  }
  for (bool tls13 : {false, true}) {
    tw::ByteString body, context;  // a TLS 1.3 answer echoes the request's context
    context.SetText(tls13 ? "ab" : "");
    ASSERT_EQ(tw::BuildCertificateBody(nullptr, &own, tls13, &body, &context), 0);
    std::string want = tls13 ? "\x02" "ab" : "", list;
    for (const char* name : GetParam().sent) {
      const std::string der = f.Der(name);
      list += std::string{char(der.size() >> 16), char(der.size() >> 8), char(der.size())} + der;
      if (tls13) list += std::string(2, '\0');
    }
    want += std::string{char(list.size() >> 16), char(list.size() >> 8), char(list.size())} + list;
    EXPECT_EQ(testsupport::Hex(body.data(), body.length()), testsupport::Hex(want.data(), want.size()));
    std::vector<tw::ByteString> got;
    ASSERT_EQ(tw::ParseCertificateBody(body.bytes(), body.length(), tls13, &got), 0);
    ASSERT_EQ(got.size(), GetParam().sent.size());
    // Every cut of the body is refused as a decode error.
    for (int n = 0; n < body.length(); ++n) {
      EXPECT_EQ(tw::ParseCertificateBody(body.bytes(), n, tls13, &got), 50) << n;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Chains, CertificateBody,
                         testing::Values(BodyCase{"full.pem", {"rsa", "inter"}},
                                         BodyCase{"pair.pem", {"rsa", "inter"}},  // no root to leave out
                                         BodyCase{"rsa1.pem", {"rsa"}}, BodyCase{"", {}}),
    [](const auto& i) { const auto& p = i.param; return testsupport::MakeName(*p.store ? p.store : "no_store"); });

// ---- Signatures against the openssl CLI, both ways ----

struct SignCase {
  const char* key;  // test PKI name, or "dsa" / "p521" for the extra keys
  int hash_id;
  bool pss;
  const char* dgst;  // the openssl digest option; "" signs the raw 36 bytes with pkeyutl
};

class Signatures : public testing::TestWithParam<SignCase> {};

TEST_P(Signatures, OursVerifyWithOpensslAndTheirsWithOurs) {
  REQUIRE_FILES(f);
  const SignCase& c = GetParam();
  const std::string name = c.key;
  const std::string key_file = f.KeyFile(name);
  const std::string store = ReadFile(f.Pem(name)) + ReadFile(key_file);
  tw::CertSelection own;
  ASSERT_EQ(own.Load(store.data(), static_cast<int>(store.size()), 7, "", "", nullptr, 0), 0);
  ASSERT_TRUE(own.has_private_key());
  const std::string data = testsupport::RandomBytes(300, 7);
  const std::string sig_file = f.Path("sig-" + name), data_file = f.Path("data-" + name);
  testsupport::WriteFile(data_file, data);
  std::string pss = c.pss ? " -sigopt rsa_padding_mode:pss -sigopt rsa_pss_saltlen:digest" : "";
  std::string verify = "openssl dgst " + std::string(c.dgst) + pss + " -verify <(openssl x509 -in " +
                       f.Pem(name) + " -pubkey -noout) -signature " + sig_file + " " + data_file;
  std::string sign = "openssl dgst " + std::string(c.dgst) + pss + " -sign " + key_file + " -out " + sig_file +
                     " " + data_file;
  if (!*c.dgst) {  // below TLS 1.2: PKCS #1 padding around the bare MD5 and SHA-1 digests
    const std::string both = f.Path("md5sha1-" + name);
    RunCommand("(openssl dgst -md5 -binary " + data_file + "; openssl dgst -sha1 -binary " + data_file + ") > " + both);
    verify = "openssl pkeyutl -verify -pubin -inkey <(openssl x509 -in " + f.Pem(name) +
             " -pubkey -noout) -sigfile " + sig_file + " -in " + both;
    sign = "openssl pkeyutl -sign -inkey " + key_file + " -in " + both + " -out " + sig_file;
  }
  tw::ByteString sig;
  const uint16_t scheme = c.pss ? 0x0804 : 0x0401;
  ASSERT_EQ(tw::SignWithOwnKey(own, scheme, c.hash_id, c.pss, reinterpret_cast<const uint8_t*>(data.data()),
                               data.size(), &sig), 0);
  testsupport::WriteFile(sig_file, Str(sig));
  int status = -1;
  RunCommand("bash -c " + ShellQuote(verify), "", &status);
  EXPECT_EQ(status, 0) << verify;

  RunCommand("bash -c " + ShellQuote(sign), "", &status);
  ASSERT_EQ(status, 0) << sign;
  const std::string theirs = ReadFile(sig_file);
  const tw::ByteString der = Bytes(f.Der(name));
  for (bool flip : {false, true}) {
    std::string s = theirs;
    if (flip) s[s.size() / 2] ^= 0x01;
    bool valid = !flip;
    ASSERT_EQ(tw::VerifyWithPeerKey(der, scheme, c.hash_id, c.pss, reinterpret_cast<const uint8_t*>(data.data()),
                                    data.size(), reinterpret_cast<const uint8_t*>(s.data()), s.size(), &valid),
              0);
    EXPECT_EQ(valid, !flip);
  }
}

INSTANTIATE_TEST_SUITE_P(
    KeysHashesForms, Signatures,
    testing::Values(SignCase{"rsa", tw::kHashSha256, false, "-sha256"}, SignCase{"rsa", tw::kHashSha1, false, "-sha1"},
                    SignCase{"rsa", tw::kHashSha384, false, "-sha384"}, SignCase{"rsa", tw::kHashMd5Sha1, false, ""},
                    SignCase{"rsa", tw::kHashSha256, true, "-sha256"}, SignCase{"client", tw::kHashSha384, true, "-sha384"},
                    SignCase{"client", tw::kHashSha512, true, "-sha512"}, SignCase{"ecdsa", tw::kHashSha256, false, "-sha256"},
                    SignCase{"ecdsa", tw::kHashSha1, false, "-sha1"}, SignCase{"ecdsa384", tw::kHashSha384, false, "-sha384"},
                    SignCase{"clientec", tw::kHashSha512, false, "-sha512"}, SignCase{"dsa", tw::kHashSha256, false, "-sha256"},
                    SignCase{"dsa", tw::kHashSha1, false, "-sha1"}, SignCase{"p521", tw::kHashSha512, false, "-sha512"},
                    // Below TLS 1.2 DSA and ECDSA sign the SHA-1 half of the pair.
                    SignCase{"ecdsa", tw::kHashMd5Sha1, false, "-sha1"}, SignCase{"dsa", tw::kHashMd5Sha1, false, "-sha1"}),
    [](const auto& i) { const auto& p = i.param; return testsupport::MakeName(p.key, p.pss ? "pss" : "", p.dgst, i.index); });

TEST(PeerKeyTest, KindsGroupsAndEncryption) {
  REQUIRE_FILES(f);
  const struct {
    const char* name;
    const char* kind;
    uint16_t group;
  } kinds[] = {{"rsa", "rsa", 0}, {"ecdsa", "ecdsa", 23}, {"ecdsa384", "ecdsa", 24}, {"ed25519", "ed25519", 0},
               {"dsa", "dsa", 0}, {"p521", "ecdsa", 25}};
  for (const auto& k : kinds) {
    uint16_t group = 99;
    EXPECT_STREQ(tw::PeerKeyKind(Bytes(f.Der(k.name)), &group), k.kind) << k.name;
    EXPECT_EQ(group, k.group) << k.name;
  }
  EXPECT_STREQ(tw::PeerKeyKind(Bytes("not a certificate"), nullptr), "");
  tw::ByteString out;
  const std::string secret = testsupport::RandomBytes(48, 3);
  ASSERT_EQ(tw::PeerRsaEncrypt(Bytes(f.Der("rsa")), reinterpret_cast<const uint8_t*>(secret.data()), secret.size(),
                               &out), 0);
  EXPECT_EQ(RunCommand("openssl pkeyutl -decrypt -inkey " + f.pki.Key("rsa"), Str(out)), secret);
  int curve = -1;
  ASSERT_EQ(tw::PeerEcPoint(Bytes(f.Der("ecdsa")), &curve, &out), 0);
  EXPECT_EQ(curve, 0);
  const std::string spki = RunCommand("openssl x509 -inform DER -pubkey -noout | openssl pkey -pubin -outform DER",
                                      f.Der("ecdsa"));
  EXPECT_EQ(spki.substr(spki.size() - 65), Str(out));
  // An Ed25519 key signs the data itself; its certificate's key checks it.
  tw::CertSelection ed;
  const std::string store = ReadFile(f.Pem("ed25519")) + ReadFile(f.pki.Key("ed25519"));
  ASSERT_EQ(ed.Load(store.data(), static_cast<int>(store.size()), 7, "", "", nullptr, 0), 0);
  const uint8_t message[] = "content";
  ASSERT_EQ(tw::SignWithOwnKey(ed, 0x0807, -1, false, message, sizeof message, &out), 0);
  bool valid = false;
  EXPECT_EQ(tw::VerifyWithPeerKey(ed.der(), 0x0807, -1, false, message, sizeof message, out.bytes(),
                                  static_cast<size_t>(out.length()), &valid), 0);
  EXPECT_TRUE(valid);
}

// ---- Schemes and lists ----

TEST(SchemesTest, OwnKeyFilterAndForms) {
  REQUIRE_FILES(f);
  const char* defaults =
      "rsa_pss_sha256,rsa_pss_sha384,rsa_pss_sha512,rsa_pkcs1_sha256,rsa_pkcs1_sha384,rsa_pkcs1_sha512,"
      "ecdsa_secp256r1_sha256,ecdsa_secp384r1_sha384,ecdsa_secp521r1_sha512,ed25519,ed448";
  const struct {
    const char* name;
    std::vector<uint16_t> kept;
  } cases[] = {{"rsa", {0x0804, 0x0805, 0x0806, 0x0401, 0x0501, 0x0601}},
               {"ecdsa384", {0x0503}},
               {"ecdsa", {0x0403}},
               {"ed25519", {0x0807}}};
  for (const auto& c : cases) {
    tw::CertSelection own;
    ASSERT_EQ(LoadFile(&own, f.pki.Cert(c.name), 6), 0);
    std::vector<uint16_t> kept;
    ASSERT_EQ(tw::FilterSignatureSchemesByKey(&own, defaults, &kept), 0);
    EXPECT_EQ(kept, c.kept) << c.name;
  }
  std::vector<uint16_t> kept;
  EXPECT_EQ(tw::FilterSignatureSchemesByKey(nullptr, "RSA_PSS_SHA256 , ecdsa_secp256r1_sha256", &kept), 0);
  EXPECT_EQ(kept, std::vector<uint16_t>{0x0804});
  EXPECT_EQ(tw::FilterSignatureSchemesByKey(nullptr, "rsa_pss_sha256,sha1", &kept), -1);
  EXPECT_TRUE(tw::UsesRsaPssSignature(0x0304, 0x0805));
  EXPECT_FALSE(tw::UsesRsaPssSignature(0x0303, 0x0805));
  EXPECT_FALSE(tw::Tls13SchemeAllowed(0x0304, 0x0401));
  EXPECT_TRUE(tw::Tls13SchemeAllowed(0x0303, 0x0401));
  EXPECT_TRUE(tw::Tls13SchemeAllowed(0x0304, 0x0403));
  EXPECT_EQ(tw::SignatureSchemeHashId(0x0503), tw::kHashSha384);
  EXPECT_EQ(tw::SignatureSchemeHashId(0x0807), -1);
}

struct ListCase {
  const char* list;
  const char* hash;
  const char* kind;
  bool allowed;
};

class SignatureList : public testing::TestWithParam<ListCase> {};

TEST_P(SignatureList, Allows) {
  const ListCase& c = GetParam();
  EXPECT_EQ(tw::SignatureAlgorithmListAllows(c.list, c.hash, c.kind), c.allowed);
}

INSTANTIATE_TEST_SUITE_P(
    Lists, SignatureList,
    testing::Values(ListCase{"sha256-ecdsa,sha1-rsa", "sha256", "rsa", true},
                    ListCase{"sha256-ecdsa", "sha1", "rsa", false}, ListCase{"all-rsa", "sha512", "rsa", true},
                    ListCase{" SHA384 - ECDSA ", "sha384", "ecdsa", true}, ListCase{"sha256-rsa-x,sha1", "sha1", "rsa", false},
                    ListCase{"sha3-rsa,sha256-all", "sha3", "rsa", false}, ListCase{"", "sha1", "rsa", false}),
    [](const auto& i) { const auto& p = i.param; return testsupport::MakeName(p.list, p.hash, i.index); });

// ---- The check of the peer's certificate ----

class FakeHost : public tw::TlsCertificateHost {
 public:
  bool client = true;
  uint32_t flags = 0;
  std::string server = "localhost";
  uint16_t version = 0x0304;
  std::string tls12_list;
  int owner_accept = -1;  // -1 keeps the engine's verdict
  std::vector<std::string> calls;
  int code_seen = -1;
  std::string encoded_seen;

  bool IsClient() const override { return client; }
  uint32_t SecurityFlags() const override { return flags; }
  const char* ServerName() const override { return server.c_str(); }
  uint16_t NegotiatedVersion() const override { return version; }
  const char* Tls12SignatureAlgorithms() const override { return tls12_list.c_str(); }
  int Status(const char* text) override { return Log("status ", text); }
  int RaiseError(int code, const char* text) override { return Log("error " + std::to_string(code) + " ", text); }
  int Fail(int code, const char* text) override { return Log("fail " + std::to_string(code) + " ", text); }
  int SendFatalAlert(uint8_t d) override { return Log("alert ", std::to_string(d).c_str()); }
  int CheckServerCertificate(const tw::ByteString& encoded, const tw::ByteString& leaf, int code, const char*,
                             bool* accept) override {
    code_seen = code;
    encoded_seen = Str(encoded);
    if (owner_accept >= 0) *accept = owner_accept != 0;
    return Log("owner ", *accept ? "yes" : "no");
  }

 private:
  int Log(const std::string& what, const char* text) {
    calls.push_back(what + text);
    return 0;
  }
};

// Without the platform's chain engine the own certificate goes alone, and the host hears 279.
TEST(CertificateBody, ChainFailureSendsTheLeafAloneAndRaises279) {
  REQUIRE_FILES(f);
  tw::CertSelection own;
  ASSERT_EQ(LoadFile(&own, f.Path("full.pem"), 6), 0);
  win::SetLibraryEnabled("crypt32.dll", false);
  tw::FreeCryptoLibrary();
  FakeHost host;
  tw::ByteString body;
  const int rc = tw::BuildCertificateBody(&host, &own, false, &body);
  win::EnableAllLibraries();
  tw::FreeCryptoLibrary();
  ASSERT_EQ(rc, 0);
  const std::string der = f.Der("rsa");
  const std::string entry = std::string{char(der.size() >> 16), char(der.size() >> 8), char(der.size())} + der;
  const std::string want = std::string{char(entry.size() >> 16), char(entry.size() >> 8), char(entry.size())} + entry;
  EXPECT_EQ(testsupport::Hex(body.data(), body.length()), testsupport::Hex(want.data(), want.size()));
  EXPECT_EQ(host.calls, std::vector<std::string>{"error 279 Could not get certificate chain for our certificate"});
}

struct PeerCase {
  const char* leaf;
  bool with_inter;
  bool client;
  uint32_t flags;
  const char* server;
  const char* tls12_list;
  int owner_accept;
  bool needs_trust;  // the verdict rests on the chain engine trusting the test root
  int result;
  int code;  // what the owner is told; -1 when the owner is not asked
  std::vector<std::string> calls;
};

class PeerCheck : public testing::TestWithParam<PeerCase> {};

// True when the chain engine trusts the test PKI through TW_CERT_STORES.
bool ChainEngineTrustsTestPki(const Files& f) {
  setenv("TW_CERT_STORES", f.pki.store_dir().c_str(), 1);
  std::vector<tw::ByteString> pems = {Bytes(ReadFile(f.pki.Cert("rsa"))), Bytes(ReadFile(f.pki.Cert("inter")))};
  return tw::VerifyCertificateChain(Bytes(f.Der("rsa")), pems, 0, nullptr) == 0;
}

TEST_P(PeerCheck, ReportsAndDecides) {
  REQUIRE_FILES(f);
  const PeerCase& c = GetParam();
  if (c.needs_trust && !ChainEngineTrustsTestPki(f)) GTEST_SKIP() << "the chain engine does not trust the test root yet";
  FakeHost host;
  host.client = c.client;
  host.flags = c.flags;
  host.server = c.server;
  host.tls12_list = c.tls12_list;
  host.version = *c.tls12_list ? 0x0303 : 0x0304;
  host.owner_accept = c.owner_accept;
  std::vector<tw::ByteString> received;
  if (*c.leaf) received.push_back(Bytes(f.Der(c.leaf)));
  if (c.with_inter) received.push_back(Bytes(f.Der("inter")));
  tw::CertSelection peer;
  EXPECT_EQ(tw::VerifyPeerCertificate(host, &peer, received) != 0, c.result != 0);
  EXPECT_EQ(host.code_seen, c.code);
  EXPECT_EQ(host.calls, c.calls);
  if (c.code >= 0 && std::string(c.leaf) != "bad") {  // the owner sees the received certificates as PEM texts joined by CR LF
    std::string want = RunCommand("openssl x509 -inform DER", f.Der(c.leaf));
    if (c.with_inter) want += "\n" + ReadFile(f.pki.Cert("inter"));
    EXPECT_EQ(RunCommand("tr -d '\\r'", host.encoded_seen), want);
  }
}

const std::string kUntrusted =
    "800b0109 A certification chain processed correctly but terminated in a root certificate not trusted by the "
    "trust provider.";
const std::string kExpired = "800b0101 A required certificate is not within its validity period.";
const std::string kUnsupported =
    "275 Unsupported certificate signature algorithm (RSA_SHA256RSA). Supported signature algorithms: sha1-ecdsa";

// The reports of one check: the error-verifying pair when a code was found, the owner's answer,
// and the refusal.
std::vector<std::string> Calls(const std::string& label, const std::string& verifying, bool accepted) {
  std::vector<std::string> v;
  for (const char* hook : {"status ", "error 280 "}) {
    if (!verifying.empty()) v.push_back(hook + ("Error verifying " + label) + " certificate: " + verifying);
  }
  v.push_back(accepted ? "owner yes" : "owner no");
  if (!accepted) {
    v.insert(v.end(), {"alert 46", "status " + label + " certificate validation failed. Aborting connection...",
                       "fail 280 " + label + " certificate validation failed. Connection aborted."});
  }
  return v;
}

constexpr int kNotTimeValid = static_cast<int>(0x800B0101u);
constexpr int kUntrustedRoot = static_cast<int>(0x800B0109u);

INSTANTIATE_TEST_SUITE_P(
    EdgeCases, PeerCheck,
    testing::Values(
        PeerCase{"rsa", true, true, 0, "localhost", "", -1, true, 1, 0, Calls("Server", "", true)},
        PeerCase{"wronghost", true, true, 0, "localhost", "", -1, true, 0, 275,
                 Calls("Server", " 113 Server name does not match server certificate", false)},
        PeerCase{"rsa", true, true, 0x80000000u, "b.zone2", "", -1, true, 1, 0, Calls("Server", "", true)},
        PeerCase{"expired", true, true, 0, "localhost", "", -1, false, 0, kNotTimeValid,
                 Calls("Server", kExpired, false)},
        PeerCase{"expired", true, true, 1, "localhost", "", -1, true, 1, 0, Calls("Server", "", true)},
        // A leaf that does not parse is refused even with every check switched off.
        PeerCase{"bad", false, true, 0x80000001u, "", "", -1, false, 0, kNotTimeValid, Calls("Server", kExpired, false)},
        PeerCase{"selfsigned", false, true, 0, "localhost", "", -1, false, 0, kUntrustedRoot,
                 Calls("Server", kUntrusted, false)},
        PeerCase{"selfsigned", false, true, 0, "localhost", "", 1, false, 1, kUntrustedRoot,
                 Calls("Server", kUntrusted, true)},
        PeerCase{"selfsigned", false, false, 0, "", "", -1, false, 0, kUntrustedRoot, Calls("Client", kUntrusted, false)},
        PeerCase{"rsa", true, true, 0, "localhost", "sha256-ecdsa,sha1-rsa", -1, true, 1, 0, Calls("Server", "", true)},
        PeerCase{"selfsigned", false, true, 0, "localhost", "sha1-ecdsa", -1, false, 0, -1,
                 {"status " + kUnsupported.substr(4), "fail " + kUnsupported}}),
    [](const auto& i) { const auto& p = i.param; return testsupport::MakeName(p.leaf, p.server, i.index); });

}  // namespace
