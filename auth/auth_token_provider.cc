#include "auth/auth_token_provider.h"

#include "foundation/component_base.h"

namespace tw {
namespace {

constexpr char kTextNotAvailable[] = "NTLM and Negotiate authentication is not available.";

const char* OrEmpty(const char* text) { return text != nullptr ? text : ""; }

}  // namespace

AuthTokenProvider::~AuthTokenProvider() {
  WipeBytes(password_.data(), static_cast<size_t>(password_.length()));
}

int AuthTokenProvider::SetCredentials(const char* package, const char* user,
                                      const char* password) {
  WipeBytes(password_.data(), static_cast<size_t>(password_.length()));
  int rc = package_.SetText(OrEmpty(package));
  if (rc == kOk) rc = user_.SetText(OrEmpty(user));
  if (rc == kOk) rc = password_.SetText(OrEmpty(password));
  return rc;
}

int AuthTokenProvider::BuildAuthToken(ComponentBase* owner, ByteString* token, const char* package,
                                      const char* target, const char* challenge) {
  if (token != nullptr) token->Reset();
  status_.SetText(kTextNotAvailable);
  if (owner != nullptr) owner->SetErrorText(status_.c_str());
  return kErrAuthUnavailable;
}

}  // namespace tw
