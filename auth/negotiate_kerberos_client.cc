#include "auth/negotiate_kerberos_client.h"
#include "foundation/text_conversion.h"

namespace tw {
namespace {

constexpr char kTextKerberosUnavailable[] = "Kerberos authentication is not available.";

const char* OrEmpty(const char* text) { return text != nullptr ? text : ""; }

}  // namespace

NegotiateKerberosClient::~NegotiateKerberosClient() {
  WipeBytes(password_.data(), static_cast<size_t>(password_.length()));
}

int NegotiateKerberosClient::Reset(ComponentBase* owner) {
  owner_ = owner;
  timeout_seconds_ = 60;
  kdc_port_ = 88;
  max_auth_retry_count_ = 0;
  WipeBytes(password_.data(), static_cast<size_t>(password_.length()));
  user_.Reset();
  password_.Reset();
  service_name_.Reset();
  kdc_.Reset();
  ticket_.Reset();
  token_.Reset();
  error_text_.Reset();
  return kOk;
}

int NegotiateKerberosClient::Config(const char* name, const char* value) {
  if (EqualsNoCase(OrEmpty(name), "KerberosKeytabFile")) return keytab_file_.SetText(OrEmpty(value));
  return kOk;
}

int NegotiateKerberosClient::SetUseTcp(bool on) {
  use_tcp_ = on;
  return kOk;
}

int NegotiateKerberosClient::SetUser(const char* text) { return user_.SetText(OrEmpty(text)); }

int NegotiateKerberosClient::SetPassword(const char* text) {
  WipeBytes(password_.data(), static_cast<size_t>(password_.length()));
  return password_.SetText(OrEmpty(text));
}

int NegotiateKerberosClient::SetServiceName(const char* text) {
  return service_name_.SetText(OrEmpty(text));
}

int NegotiateKerberosClient::SetKdc(const char* text) { return kdc_.SetText(OrEmpty(text)); }

int NegotiateKerberosClient::BuildToken(ByteString* token, bool* is_kerberos) {
  if (token != nullptr) token->Reset();
  if (is_kerberos != nullptr) *is_kerberos = false;
  error_text_.SetText(kTextKerberosUnavailable);
  return kErrKerberosUnavailable;
}

}  // namespace tw
