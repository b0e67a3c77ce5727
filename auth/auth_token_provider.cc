#include "auth/auth_token_provider.h"

#include <cstring>

#include "foundation/component_base.h"
#include "foundation/text_conversion.h"
#include "platform/library.h"

namespace tw {
namespace {

// The DER body of the Kerberos V5 mechanism identifier 1.2.840.113554.1.2.2.
constexpr uint8_t kKerberosOid[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x12, 0x01, 0x02, 0x02};

}  // namespace

AuthTokenProvider::AuthTokenProvider() {
  win::RTL_OSVERSIONINFOW v{};
  v.dwOSVersionInfoSize = sizeof v;
  if (win::RtlGetVersion(&v) == win::STATUS_SUCCESS) {
    platform_is_new_ = v.dwPlatformId == 2 &&
                       (v.dwMajorVersion >= 7 || (v.dwMajorVersion == 6 && v.dwMinorVersion >= 1));
  }
}

int AuthTokenProvider::SetCredentials(const char* package, const char* user,
                                      const char* password) {
  return use_sspi_ ? sspi_.SetCredentials(package, user, password)
                   : ntlm_.SetCredentials(package, user, password);
}

const char* AuthTokenProvider::StatusText() const {
  return use_sspi_ ? sspi_.error_text() : ntlm_.error_text();
}

const ByteString& AuthTokenProvider::LogText() const {
  return use_sspi_ ? sspi_.log_text() : ntlm_.log_text();
}

int AuthTokenProvider::BuildAuthToken(ComponentBase* owner, ByteString* token, const char* package,
                                      const char* target, const char* challenge,
                                      const win::CtxtHandle* tls_context) {
  if (token != nullptr) token->Reset();
  if (use_sspi_) {
    sspi_.set_server_side(false);
  } else {
    ntlm_.set_server_side(false);
  }
  ByteString input;
  int rc = input.SetText(challenge != nullptr ? challenge : "");
  if (rc == kOk && !input.empty()) rc = DecodeBase64(input, false, false, true);
  if (rc != kOk) return rc;
  ByteString raw;
  if (use_sspi_) {
    rc = sspi_.GetToken(&raw, package, target, input.bytes(), input.length(), tls_context,
                        platform_is_new_);
  } else {
    rc = ntlm_.GetToken(&raw, package, target, input.bytes(), input.length());
  }
  if (rc == kOk && token != nullptr) rc = Base64Encode(*token, raw.data(), raw.length(), false, 0, false);
  if (rc != kOk && owner != nullptr) owner->SetErrorText(StatusText());
  return rc;
}

bool AuthTokenProvider::IsKerberosToken(const char* token) {
  ByteString raw;
  if (raw.SetText(token != nullptr ? token : "") != kOk) return false;
  if (DecodeBase64(raw, false, false, true) != kOk) return false;
  const int n = static_cast<int>(sizeof kKerberosOid);
  for (int i = 1; i + n <= raw.length(); ++i) {
    if (std::memcmp(raw.bytes() + i, kKerberosOid, sizeof kKerberosOid) == 0) return true;
  }
  return false;
}

}  // namespace tw
