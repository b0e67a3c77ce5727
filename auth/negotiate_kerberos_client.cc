#include "auth/negotiate_kerberos_client.h"

#include <cstdlib>
#include <cstring>

#include "foundation/component_base.h"
#include "foundation/text_conversion.h"

namespace tw {

int NegotiateKerberosClient::Reset(ComponentBase* owner) {
  owner_ = owner;
  has_token_ = false;
  set_timeout_ms(60000);
  SetPassword("");
  SetUserPrincipal("");
  SetServicePrincipal("");
  return KerberosClient::SetKdc("", 88);
}

void NegotiateKerberosClient::set_max_auth_retry_count(int32_t n) {
  ByteString v;
  v.Format("%d", n);
  KerberosClient::Config("MaxAuthRetryCount", v.c_str());
}

int NegotiateKerberosClient::SetKdc(const char* text) {
  const char* t = text != nullptr ? text : "";
  const char* colon = std::strrchr(t, ':');
  if (colon != nullptr && std::strchr(t, ':') == colon) {
    ByteString host;
    host.Set(t, static_cast<int>(colon - t));
    return KerberosClient::SetKdc(host.c_str(), std::atoi(colon + 1));
  }
  return KerberosClient::SetKdc(t, 88);
}

int NegotiateKerberosClient::BuildToken(ByteString* token, bool* is_kerberos) {
  token->Reset();
  if (is_kerberos != nullptr) *is_kerberos = false;
  int rc = AuthenticateWithRetry();
  if (rc != kOk) return rc;
  ByteString raw;
  rc = GetAuthToken(&raw);
  if (rc == kOk) rc = Base64Encode(*token, raw.data(), raw.length(), false, 0, false);
  has_token_ = rc == kOk;
  if (is_kerberos != nullptr) *is_kerberos = has_token_;
  return rc;
}

void NegotiateKerberosClient::Log(int level, const char* text, const char* word) {
  if (owner_ == nullptr) return;
  ByteString line("[Kerberos] ");
  line.AppendText(text);
  owner_->LogAtLevel(level, line.c_str(), word);
}

void NegotiateKerberosClient::PacketEvent(int direction, const char* description) {
  if (owner_ == nullptr) return;
  ByteString line;
  line.Format("[Kerberos] Direction: %d, Description: ", direction);
  line.AppendText(description);
  owner_->LogAtLevel(3, line.c_str(), "Debug");
}

}  // namespace tw
