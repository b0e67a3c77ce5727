// The secur32 and crypt32 stand-ins called directly: partial and hostile records, bad buffers
// and handles, certificate bytes cut short.
#include "platform/sspi.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/peers/test_pki.h"
#include "tests/support/test_support.h"

namespace {

using Bytes = std::vector<uint8_t>;

class SspiContext : public ::testing::Test {
 protected:
  void SetUp() override {
    table_ = win::InitSecurityInterfaceA();
    if (table_ == nullptr) { TW_REQUIRE_OR_SKIP("libssl.so.3 not loadable"); }
    win::SCHANNEL_CRED cred{};
    cred.dwVersion = win::SCHANNEL_CRED_VERSION;
    cred.grbitEnabledProtocols = win::SP_PROT_TLS1_2;
    ASSERT_EQ(table_->AcquireCredentialsHandleA(nullptr, win::UNISP_NAME_A, win::SECPKG_CRED_OUTBOUND,
                                                nullptr, &cred, nullptr, nullptr, &cred_, nullptr),
              win::SEC_E_OK);
    win::SecBuffer out{0, win::SECBUFFER_TOKEN, nullptr};
    win::SecBufferDesc desc{0, 1, &out};
    uint32_t attributes = 0;
    ASSERT_EQ(Init(nullptr, &desc, &attributes), win::SEC_I_CONTINUE_NEEDED);
    ASSERT_GT(out.cbBuffer, 5u);
    EXPECT_EQ(static_cast<uint8_t*>(out.pvBuffer)[0], 22);  // a handshake record: the hello
    table_->FreeContextBuffer(out.pvBuffer);
  }
  void TearDown() override {
    if (table_ == nullptr) return;
    table_->DeleteSecurityContext(&context_);
    table_->FreeCredentialsHandle(&cred_);
  }
  win::SECURITY_STATUS Init(win::SecBufferDesc* in, win::SecBufferDesc* out, uint32_t* attributes) {
    const bool first = context_.dwLower == 0;
    return table_->InitializeSecurityContextA(&cred_, first ? nullptr : &context_, "localhost",
                                              0xC11C, 0, win::SECURITY_NATIVE_DREP, in, 0,
                                              &context_, out, attributes, nullptr);
  }
  const win::SecurityFunctionTableA* table_ = nullptr;
  win::CredHandle cred_{};
  win::CtxtHandle context_{};
};

struct Input {
  const char* name;
  Bytes bytes;
  win::SECURITY_STATUS status;  // 0: any failure
  uint32_t missing;             // the MISSING count of an incomplete record
};

class SspiHandshakeInput : public SspiContext, public ::testing::WithParamInterface<Input> {};

TEST_P(SspiHandshakeInput, TakesOnlyWholeRecords) {
  const Input& row = GetParam();
  Bytes bytes = row.bytes;
  win::SecBuffer in[2] = {{static_cast<uint32_t>(bytes.size()), win::SECBUFFER_TOKEN, bytes.data()},
                          {0, win::SECBUFFER_EMPTY, nullptr}};
  win::SecBufferDesc in_desc{0, 2, in};
  win::SecBuffer out{0, win::SECBUFFER_TOKEN, nullptr};
  win::SecBufferDesc out_desc{0, 1, &out};
  uint32_t attributes = 0;
  const win::SECURITY_STATUS status = Init(&in_desc, &out_desc, &attributes);
  if (row.status != 0) {
    EXPECT_EQ(status, row.status);
    if (status == win::SEC_E_INCOMPLETE_MESSAGE) {
      EXPECT_EQ(in[1].BufferType, win::SECBUFFER_MISSING);
      EXPECT_EQ(in[1].cbBuffer, row.missing);
    }
  } else {
    EXPECT_LT(status, 0);
  }
  if (out.pvBuffer != nullptr) table_->FreeContextBuffer(out.pvBuffer);
}

INSTANTIATE_TEST_SUITE_P(
    Records, SspiHandshakeInput,
    ::testing::Values(Input{"header_cut", {22, 3, 3}, win::SEC_E_INCOMPLETE_MESSAGE, 2},
                      Input{"body_cut", {22, 3, 3, 0, 10, 2, 0}, win::SEC_E_INCOMPLETE_MESSAGE, 8},
                      Input{"longest_length_cut", {22, 3, 3, 0xFF, 0xFF}, win::SEC_E_INCOMPLETE_MESSAGE, 65535},
                      Input{"garbage_hello", {22, 3, 3, 0, 6, 2, 0, 0, 2, 0xFF, 0xFF}, 0, 0},
                      Input{"fatal_alert", {21, 3, 3, 0, 2, 2, 40}, 0, 0},
                      Input{"not_tls", {'H', 'T', 'T', 'P', '/', '1', '.', '1', ' '}, 0, 0}),
    [](const auto& i) { return std::string(i.param.name); });

TEST_F(SspiContext, BadBuffersAndHandlesAreRefused) {
  Bytes record = {23, 3, 3, 0, 20, 1, 2};
  win::SecBuffer buffers[4] = {{static_cast<uint32_t>(record.size()), win::SECBUFFER_DATA, record.data()},
                               {0, win::SECBUFFER_EMPTY, nullptr},
                               {0, win::SECBUFFER_EMPTY, nullptr},
                               {0, win::SECBUFFER_EMPTY, nullptr}};
  win::SecBufferDesc message{0, 4, buffers};
  EXPECT_EQ(table_->DecryptMessage(&context_, &message, 0, nullptr), win::SEC_E_INCOMPLETE_MESSAGE);
  EXPECT_EQ(buffers[1].BufferType, win::SECBUFFER_MISSING);
  EXPECT_EQ(buffers[1].cbBuffer, 18u);
  win::SecBufferDesc short_desc{0, 2, buffers};
  EXPECT_EQ(table_->DecryptMessage(&context_, &short_desc, 0, nullptr), win::SEC_E_INVALID_PARAMETER);
  win::SecBufferDesc no_buffers{0, 4, nullptr};
  EXPECT_EQ(table_->EncryptMessage(&context_, 0, &no_buffers, 0), win::SEC_E_INVALID_PARAMETER);
  win::CtxtHandle stale{context_.dwLower + 1000000, 0};
  win::SecPkgContext_StreamSizes sizes{};
  EXPECT_EQ(table_->QueryContextAttributesA(&stale, win::SECPKG_ATTR_STREAM_SIZES, &sizes),
            win::SEC_E_INVALID_HANDLE);
  // The handshake has not finished: there are no stream sizes yet.
  EXPECT_EQ(table_->QueryContextAttributesA(&context_, win::SECPKG_ATTR_STREAM_SIZES, &sizes),
            win::SEC_E_INVALID_HANDLE);
  uint32_t token = 7;
  win::SecBuffer control{sizeof token, win::SECBUFFER_TOKEN, &token};
  win::SecBufferDesc control_desc{0, 1, &control};
  EXPECT_EQ(table_->ApplyControlToken(&context_, &control_desc), win::SEC_E_INVALID_TOKEN);
  win::CredHandle none{};
  EXPECT_EQ(table_->AcquireCredentialsHandleA(nullptr, "NoSuchPackage", win::SECPKG_CRED_OUTBOUND, nullptr,
                                              nullptr, nullptr, nullptr, &none, nullptr),
            win::SEC_E_SECPKG_NOT_FOUND);
}

// Every prefix of a certificate, and the certificate with a byte behind it, make no context.
TEST(Crypt32Stand, CertificateBytesCutShortOrTrailing) {
  const testsupport::TestPki& pki = testsupport::TestPki::Get();
  if (!pki.ok()) { TW_REQUIRE_OR_SKIP(pki.error()); }
  const std::string der = testsupport::RunCommand(
      "openssl x509 -outform DER -in " + testsupport::ShellQuote(pki.Cert("rsa")));
  ASSERT_GT(der.size(), 100u);
  const auto* p = reinterpret_cast<const uint8_t*>(der.data());
  win::PCCERT_CONTEXT cert = win::CertCreateCertificateContext(win::X509_ASN_ENCODING, p,
                                                               static_cast<uint32_t>(der.size()));
  ASSERT_NE(cert, nullptr);
  char name[256];
  win::CertNameToStrA(win::X509_ASN_ENCODING, &cert->pCertInfo->Subject,
                      win::CERT_X500_NAME_STR | win::CERT_NAME_STR_REVERSE_FLAG, name, sizeof name);
  EXPECT_STREQ(name, "CN=localhost, O=Tarnwick Tests, C=US");
  win::CertFreeCertificateContext(cert);
  for (size_t n = 1; n < der.size(); n += 7) {
    const Bytes cut(p, p + n);
    EXPECT_EQ(win::CertCreateCertificateContext(win::X509_ASN_ENCODING, cut.data(),
                                                static_cast<uint32_t>(n)),
              nullptr)
        << n;
  }
  Bytes trailing(p, p + der.size());
  trailing.push_back(0);
  EXPECT_EQ(win::CertCreateCertificateContext(win::X509_ASN_ENCODING, trailing.data(),
                                              static_cast<uint32_t>(trailing.size())),
            nullptr);
}

}  // namespace
