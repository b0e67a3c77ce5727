// The entry list's selection rule and accessors.
#include <gtest/gtest.h>

#include <string>

#include "certs/cert_entry_list.h"
#include "tests/certs/cert_test_util.h"
#include "tests/support/case_name.h"

namespace tw {
namespace {

// Two certificates from the system bundle and a bare key, as the cases need them.
int AddCert(CertEntryList* list, const std::string& der) {
  Certificate c;
  int rc = ParseCertificateDer(der.data(), static_cast<int>(der.size()), &c);
  CertEntry e;
  if (rc == 0) rc = e.SetCertificate(std::move(c));
  return rc == 0 ? list->Append(&e) : rc;
}

int AddKey(CertEntryList* list) {
  KeyPair key;
  key.type = kKeyRsa;
  key.rsa.N.SetText("\x01\x02");
  key.rsa.E.SetText("\x03");
  CertEntry e;
  int rc = e.SetKey(std::move(key));
  return rc == 0 ? list->Append(&e) : rc;
}

struct SelectCase {
  const char* layout;  // c = certificate, k = bare key
  int32_t selected;
  CertEntryKind kind;
  bool has_certificate;
};
const SelectCase kSelectCases[] = {
    {"cc", -1, kEntryCertificate, true}, {"cc", 5, kEntryCertificate, true},
    {"kc", -1, kEntryBareKey, false},    {"kc", 1, kEntryCertificate, true},
    {"ck", 1, kEntryBareKey, false},     {"", -1, kEntryNone, false},
};

class EntrySelection : public ::testing::TestWithParam<SelectCase> {};

TEST_P(EntrySelection, Accessors) {
  const std::vector<std::string> ders = certtest::BundleDers();
  ASSERT_GE(ders.size(), 2u);
  const SelectCase& c = GetParam();
  CertEntryList list;
  size_t next = 0;
  for (const char* p = c.layout; *p; ++p) ASSERT_EQ(*p == 'c' ? AddCert(&list, ders[next++]) : AddKey(&list), 0);
  list.selected = c.selected;
  const CertEntry* e = list.SelectedEntry();
  EXPECT_EQ(e == nullptr ? kEntryNone : e->Kind(), c.kind);
  EXPECT_EQ(IsCertificateEntry(list), c.kind == kEntryCertificate);
  EXPECT_EQ(IsBareKeyEntry(list), c.kind == kEntryBareKey);
  EXPECT_FALSE(IsPfxEntry(list) || IsP7bEntry(list) || IsCertificateWithKeyEntry(list));
  EXPECT_EQ(list.SelectedCertificate() != nullptr, c.has_certificate);
  ByteString san;
  ASSERT_EQ(GetSubjectAltNames(list, true, &san), 0);
  if (!c.has_certificate) {
    EXPECT_STREQ(GetIssuerText(list), "");
    EXPECT_STREQ(GetSerialNumberHex(list), "00");
    EXPECT_STREQ(GetSignatureAlgorithmName(list), "");
    EXPECT_TRUE(san.empty());
  } else {
    EXPECT_STRNE(GetIssuerText(list), "");
    EXPECT_STRNE(GetSignatureAlgorithmName(list), "");
  }
  EXPECT_EQ(list.SelectedKey() != nullptr, c.kind == kEntryBareKey);
}

INSTANTIATE_TEST_SUITE_P(Layouts, EntrySelection, ::testing::ValuesIn(kSelectCases),
    [](const auto& i) { const auto& p = i.param; return testsupport::MakeName(p.layout, p.selected, i.index); });

TEST(EntryContainers, SelectedIndexOutOfRangeHasNoCertificate) {
  const std::vector<std::string> ders = certtest::BundleDers();
  ASSERT_FALSE(ders.empty());
  Pkcs12Container pfx;
  CertificateWithKey item;
  ASSERT_EQ(ParseCertificateDer(ders[0].data(), static_cast<int>(ders[0].size()), &item.certificate), 0);
  ASSERT_EQ(pfx.certificates.InsertCopy(0, item), 0);
  for (int selected : {-1, 1, 0}) {
    pfx.selected = selected;
    CertEntryList list;
    CertEntry e;
    Pkcs12Container copy;
    ASSERT_EQ(copy.CopyFrom(pfx), 0);
    ASSERT_EQ(e.SetPfx(std::move(copy)), 0);
    ASSERT_EQ(list.Append(&e), 0);
    EXPECT_TRUE(IsPfxEntry(list));
    EXPECT_EQ(list.SelectedCertificate() != nullptr, selected == 0) << selected;
    CertEntryList copied;
    ASSERT_EQ(copied.CopyFrom(list), 0);
    EXPECT_EQ(copied.SelectedCertificate() != nullptr, selected == 0);
  }
}

TEST(EntryStoreTypeName, Table) {
  const std::pair<int32_t, const char*> cases[] = {
      {0, "User"}, {1, "Machine"}, {3, "PFX"}, {5, "JKS"}, {6, "PEM"}, {9, "Public Key"},
      {10, "SSH Public Key"}, {13, "SSH Public Key"}, {12, "P7B"}, {14, "PPK"}, {17, "XML"},
      {18, "JWK"}, {20, "Unknown"}, {99, "Auto"}, {-1, "Unknown"}, {100, "Unknown"},
  };
  for (const auto& [type, name] : cases) EXPECT_STREQ(StoreTypeName(type), name) << type;
}

}  // namespace
}  // namespace tw
