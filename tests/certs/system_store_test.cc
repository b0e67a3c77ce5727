// System stores through crypt32, over store folders made by openssl: selection by subject, the
// export with its key (and without, for a key that stays), and the listings.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "certs/cert_manager.h"
#include "certs/cert_store.h"
#include "certs/certificate.h"
#include "certs/key_provider.h"
#include "certs/system_cert_store.h"
#include "platform/cert_store_files.h"
#include "platform/key_container.h"
#include "tests/support/case_name.h"
#include "tests/certs/system_store_fixture.h"
#include "tests/support/test_support.h"

namespace tw {
namespace {

using testsupport::RunCommand;

struct SelectCase {
  const char* name;
  int32_t type;
  const char* store;
  std::string subject;
  int rc;
  const char* text;  // the selected subject, or the error text
  bool key;
  bool crypt32_off = false;
};
class SystemStoreSelect : public SystemStores, public testing::WithParamInterface<SelectCase> {};

TEST_P(SystemStoreSelect, FindsExportsOrGivesTheCode) {
  const SelectCase& c = GetParam();
  if (c.crypt32_off) win::SetLibraryEnabled("crypt32.dll", false);
  FreeCryptoLibrary();
  CertStore store;
  const int rc = store.Open(c.store, -1, "", c.subject.c_str(), c.type);
  win::EnableAllLibraries();
  FreeCryptoLibrary();
  EXPECT_EQ(rc, c.rc) << store.error_text.c_str();
  EXPECT_STREQ(rc == kOk ? store.subject.c_str() : store.error_text.c_str(), c.text);
  EXPECT_EQ(store.HasPrivateKey(), c.key);
  // A failed selection selects nothing; a key that stayed still signs through the platform.
  EXPECT_EQ(store.GetCertificate() != nullptr, rc == kOk && *c.text != '\0');
  win::PCCERT_CONTEXT context = nullptr;
  if (rc == kOk && *c.text != '\0') {
    ASSERT_EQ(GetCertContext(&store, &context), kOk) << store.error_text.c_str();
    win::DWORD size = 0;
    EXPECT_EQ(win::CertGetCertificateContextProperty(context, win::CERT_KEY_PROV_INFO_PROP_ID, nullptr, &size) != 0,
              c.key || std::string(c.name) == "KeyNotExportable");
    CertStore copy;  // takes the platform's context along
    ASSERT_EQ(copy.CopyFrom(store), kOk);
    EXPECT_TRUE(copy.platform.context != nullptr && copy.platform.context->cbCertEncoded == context->cbCertEncoded);
  }
}
const char kNotFound[] = "The certificate could not be found (2148081668).";
INSTANTIATE_TEST_SUITE_P(
    Folders, SystemStoreSelect,
    testing::Values(SelectCase{"StarTakesKeyHolder", cstUser, "MY", "*", kOk, "O=Acme, CN=Store Leaf", true},
                    SelectCase{"ExactSubject", cstUser, "MY", "CN=Plain Cert, O=Acme", kOk, "O=Acme, CN=Plain Cert", false},
                    SelectCase{"AsTheProductWritesIt", cstUser, "MY", "O=Acme, CN=Der Cert", kOk, "O=Acme, CN=Der Cert",
                               false},
                    SelectCase{"CaseDifferent", cstUser, "MY", "CN=DER CERT", kOk, "O=Acme, CN=Der Cert", false},
                    SelectCase{"CaseDifferentWholeName", cstUser, "MY", "cn=der cert, o=ACME", kErrStoreCertNotFound,
                               kNotFound, false},
                    SelectCase{"Substring", cstUser, "MY", "Leaf", kOk, "O=Acme, CN=Store Leaf", true},
                    SelectCase{"CnRetry", cstUser, "MY", "CN=Acme", kOk, "O=Acme, CN=Plain Cert", false},
                    SelectCase{"KeyNotExportable", cstUser, "MY", "Locked Cert", kOk, "O=Acme, CN=Locked Cert", false},
                    SelectCase{"EmptySubject", cstUser, "MY", "", kOk, "", false},
                    SelectCase{"NoMatch", cstUser, "MY", "CN=Nobody", kErrStoreCertNotFound, kNotFound, false},
                    SelectCase{"Subject2000", cstUser, "MY", "CN=" + std::string(1997, 'x'), kErrStoreCertNotFound,
                               kNotFound, false},
                    SelectCase{"NoSuchStore", cstUser, "NOPE", "*", kErrStoreNotOpened,
                               "The certificate store could not be opened (2).", false},
                    SelectCase{"EmptyStore", cstUser, "EMPTY", "*", kErrStoreCertNotFound, kNotFound, false},
                    SelectCase{"DamagedPfxBeside", cstUser, "BAD", "Neighbour", kOk, "O=Acme, CN=Neighbour Cert", false},
                    SelectCase{"MachineLocation", cstMachine, "MY", "Machine Cert", kOk, "O=Acme, CN=Machine Cert", true},
                    SelectCase{"NotInUserLocation", cstUser, "MY", "Machine Cert", kErrStoreCertNotFound, kNotFound,
                               false},
                    SelectCase{"Crypt32Missing", cstUser, "MY", "*", kErrStoreNotOpened,
                               "The certificate store could not be opened (127).", false, true}),
    testsupport::CaseName{});

struct ExportCase {
  const char* name;
  const char* subject;
  win::DWORD error;    // 0: exported
  const char* openssl; // what openssl reads in the export
};
class SystemStoreExport : public SystemStores, public testing::WithParamInterface<ExportCase> {};

TEST_P(SystemStoreExport, GivesPfxOrTheReason) {
  const ExportCase& c = GetParam();
  win::HCERTSTORE my = OpenSystemStoreHandle(cstUser, "MY", true);
  ASSERT_NE(my, nullptr);
  win::PCCERT_CONTEXT found = win::CertFindCertificateInStore(my, kCertEncodingAny, 0, win::CERT_FIND_SUBJECT_STR_A,
                                                              c.subject, nullptr);
  ASSERT_NE(found, nullptr);
  win::HCERTSTORE memory = win::CertOpenStore(win::CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr);
  ASSERT_TRUE(win::CertAddCertificateContextToStore(memory, found, win::CERT_STORE_ADD_REPLACE_EXISTING, nullptr));
  win::CRYPT_DATA_BLOB blob{0, nullptr};
  const bool sized = win::PFXExportCertStore(memory, &blob, u"", 7);
  EXPECT_EQ(sized ? 0u : win::GetLastError(), c.error);
  if (sized) {
    std::string pfx(blob.cbData, '\0');
    blob.pbData = reinterpret_cast<uint8_t*>(pfx.data());
    ASSERT_TRUE(win::PFXExportCertStore(memory, &blob, u"", 7));
    pfx.resize(blob.cbData);
    const std::string text = RunCommand("openssl pkcs12 -passin pass: -nodes 2>/dev/null", pfx);
    EXPECT_NE(text.find(c.openssl), std::string::npos) << text;
    EXPECT_NE(text.find("BEGIN PRIVATE KEY"), std::string::npos);
  }
  win::CertFreeCertificateContext(found);
  win::CertCloseStore(memory, 0);
  win::CertCloseStore(my, 0);
}
INSTANTIATE_TEST_SUITE_P(Keys, SystemStoreExport,
                         testing::Values(ExportCase{"WithKey", "Store Leaf", 0, "CN = Store Leaf"},
                                         ExportCase{"KeyStays", "Locked Cert", win::NTE_BAD_KEY_STATE, ""},
                                         ExportCase{"NoKey", "Plain Cert", win::NTE_NO_KEY, ""}),
                         testsupport::CaseName{});

struct ListCase {
  const char* name;
  int action;
  int32_t type;
  const char* store;
  int rc;
  std::vector<std::string> present;  // in the list text, or in the error text
  std::vector<std::string> absent;
};
class SystemStoreList : public SystemStores, public testing::WithParamInterface<ListCase> {};

TEST_P(SystemStoreList, ListsTheLocationAsked) {
  const ListCase& c = GetParam();
  CertificateManager m;
  ASSERT_EQ(m.Initialize(), kOk);
  m.SetStoreType(c.type);
  ASSERT_EQ(m.SetStoreBytes(c.store, static_cast<int>(std::strlen(c.store))), kOk);
  if (c.action == kActionChain) {
    ASSERT_EQ(m.LoadCertBySubject("Store Leaf"), kOk) << m.error_text().c_str();
  }
  EXPECT_EQ(m.PerformAction(c.action), c.rc) << m.error_text().c_str();
  const std::string seen = c.rc == kOk ? m.list_text().c_str() : m.error_text().c_str();
  for (const std::string& p : c.present) EXPECT_NE(seen.find(p), std::string::npos) << p << " in " << seen;
  for (const std::string& a : c.absent) EXPECT_EQ(seen.find(a), std::string::npos) << a << " in " << seen;
}
INSTANTIATE_TEST_SUITE_P(
    Actions, SystemStoreList,
    testing::Values(
        ListCase{"UserStores", kActionUserStores, cstUser, "MY", kOk, {"ROOT\r\n", "MY\r\n", "EMPTY\r\n"}, {"MACHINEONLY"}},
        ListCase{"MachineStores", kActionMachineStores, cstUser, "MY", kOk, {"MY\r\n", "MACHINEONLY\r\n"}, {"EMPTY"}},
        ListCase{"Certificates", kActionListCertificates, cstUser, "MY", kOk,
                 {"O=Acme, CN=Store Leaf\tCN=Store Inter\t03\t1\r\n", "O=Acme, CN=Plain Cert\t", "\t0\r\n"}, {}},
        ListCase{"EmptyStore", kActionListCertificates, cstUser, "EMPTY", kOk, {}, {"CN="}},
        ListCase{"DamagedPfxBeside", kActionListCertificates, cstUser, "BAD", kOk, {"O=Acme, CN=Neighbour Cert\t"},
                 {"Store Leaf"}},
        ListCase{"MissingStore", kActionListCertificates, cstUser, "NOPE", kErrStoreNotOpened,
                 {"The certificate store could not be opened.", "2"}, {}},
        ListCase{"Chain", kActionChain, cstUser, "MY", kOk,
                 {"O=Acme, CN=Store Leaf\tCN=Store Inter\t03\t0x0\t0xc\r\n", "CN=Store Root\tCN=Store Root\t"}, {}}),
    testsupport::CaseName{});

struct NameCase {
  const char* name;
  const char* subj;  // for openssl req -subj
  win::DWORD type;
  const char* text;
  bool back;  // the text encodes back to openssl's name, byte for byte
};
class NameText : public SystemStores, public testing::WithParamInterface<NameCase> {};

TEST_P(NameText, WritesAndReadsAsThePlatform) {
  const NameCase& c = GetParam();
  // openssl picks PrintableString where it can, as the platform does.
  const std::string conf = Path("names.cnf");
  testsupport::RunCommand("printf '[req]\\ndistinguished_name=dn\\nstring_mask=default\\n[dn]\\n' > " + conf);
  const std::string der = RunCommand("OPENSSL_CONF=" + conf + " openssl req -x509 -newkey ec -pkeyopt "
                                     "ec_paramgen_curve:P-256 -nodes -keyout /dev/null -multivalue-rdn -outform DER "
                                     "-subj " + testsupport::ShellQuote(c.subj) + " 2>/dev/null");
  win::PCCERT_CONTEXT cert = win::CertCreateCertificateContext(
      win::X509_ASN_ENCODING, reinterpret_cast<const uint8_t*>(der.data()), static_cast<uint32_t>(der.size()));
  ASSERT_NE(cert, nullptr);
  const win::CERT_NAME_BLOB& subject = cert->pCertInfo->Subject;
  std::string text(win::CertNameToStrA(win::X509_ASN_ENCODING, &subject, c.type, nullptr, 0), '\0');
  win::CertNameToStrA(win::X509_ASN_ENCODING, &subject, c.type, text.data(), static_cast<uint32_t>(text.size()));
  EXPECT_STREQ(text.c_str(), c.text);
  uint8_t encoded[1000];
  win::DWORD size = sizeof encoded;
  EXPECT_EQ(win::CertStrToNameA(win::X509_ASN_ENCODING, c.text, c.type, nullptr, encoded, &size, nullptr) &&
                testsupport::Hex(encoded, size) == testsupport::Hex(subject.pbData, subject.cbData),
            c.back);
  win::CertFreeCertificateContext(cert);
}
constexpr win::DWORD kX500 = win::CERT_X500_NAME_STR;
INSTANTIATE_TEST_SUITE_P(
    Names, NameText,
    testing::Values(NameCase{"EncodingOrder", "/C=US/O=Acme/CN=Leaf", kX500, "C=US, O=Acme, CN=Leaf", true},
                    NameCase{"Reversed", "/C=US/O=Acme/CN=Leaf", kX500 | win::CERT_NAME_STR_REVERSE_FLAG,
                             "CN=Leaf, O=Acme, C=US", true},
                    NameCase{"Semicolons", "/C=US/O=Acme/CN=Leaf", kX500 | win::CERT_NAME_STR_SEMICOLON_FLAG,
                             "C=US; O=Acme; CN=Leaf", true},
                    NameCase{"Simple", "/C=US/O=Acme/CN=Leaf", win::CERT_SIMPLE_NAME_STR, "US, Acme, Leaf", false},
                    NameCase{"Oids", "/O=Acme/CN=Leaf", win::CERT_OID_NAME_STR, "2.5.4.10=Acme, 2.5.4.3=Leaf", true},
                    NameCase{"Quoted", "/O=Acme, Inc./CN=a\"b", kX500, "O=\"Acme, Inc.\", CN=\"a\"\"b\"", false},
                    NameCase{"EmailIa5", "/emailAddress=a@b.example/CN=x", kX500, "E=a@b.example, CN=x", true},
                    NameCase{"UnknownOid", "/UID=u/CN=x", kX500, "OID.0.9.2342.19200300.100.1.1=u, CN=x", true},
                    NameCase{"MultiValued", "/O=Acme/CN=a+SN=b", kX500, "O=Acme, CN=a + SN=b", true},
                    NameCase{"NoPlus", "/O=Acme/CN=a+SN=b", kX500 | win::CERT_NAME_STR_NO_PLUS_FLAG,
                             "O=Acme, CN=a SN=b", false}),
    testsupport::CaseName{});

struct CompareCase {
  const char* name;
  const char* a;  // a fixture file, or text after "="
  const char* b;
  bool same;
  bool error;
};
class PemCompare : public SystemStores, public testing::WithParamInterface<CompareCase> {};

TEST_P(PemCompare, SameCertificateOrTheCode) {
  const CompareCase& c = GetParam();
  // Files are read with CR LF line ends, which must not matter.
  auto text = [](const char* what, ByteString* out) {
    std::string pem = *what == '=' ? std::string(what + 1) : testsupport::ReadFile(Path(what));
    for (size_t at = pem.find('\n'); *what != '=' && at != std::string::npos; at = pem.find('\n', at + 2)) {
      pem.insert(at, "\r");
    }
    out->SetText(pem.c_str());
  };
  ByteString a, b;
  text(c.a, &a);
  text(c.b, &b);
  const int rc = ComparePemCertificates(a, b);
  if (c.error) {
    EXPECT_GT(rc, 0);
  } else {
    EXPECT_EQ(rc, c.same ? kOk : -1);
  }
}
INSTANTIATE_TEST_SUITE_P(Texts, PemCompare,
                         testing::Values(CompareCase{"Same", "root.pem", "root.pem", true, false},
                                         CompareCase{"Different", "root.pem", "inter.pem", false, false},
                                         CompareCase{"NotPem", "=junk", "root.pem", false, true},
                                         CompareCase{"KeyNotCertificate", "root.pem", "root.key", false, true},
                                         CompareCase{"Truncated", "root.pem",
                                                     "=-----BEGIN CERTIFICATE-----\nMIIB\n-----END CERTIFICATE-----\n",
                                                     false, true}),
                         testsupport::CaseName{});

}  // namespace
}  // namespace tw
