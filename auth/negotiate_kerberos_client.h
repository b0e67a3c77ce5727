// The Kerberos client that the HTTP client uses for Negotiate authentication with its own
// Kerberos implementation (UseInternalKerberos). Until the authentication protocols are built in,
// the settings are kept and asking for a token fails with a clear error.
#pragma once

#include <cstdint>

#include "foundation/byte_string.h"

namespace tw {

class ComponentBase;

constexpr int kErrKerberosUnavailable = 600;

class NegotiateKerberosClient {
 public:
  NegotiateKerberosClient() = default;
  NegotiateKerberosClient(const NegotiateKerberosClient&) = delete;
  NegotiateKerberosClient& operator=(const NegotiateKerberosClient&) = delete;
  ~NegotiateKerberosClient();

  // Binds the member to its owner: time-out 60 seconds, KDC port 88, every text cleared. 0.
  int Reset(ComponentBase* owner);
  // Settings handed through by the owner ("KerberosKeytabFile" and the like). 0.
  int Config(const char* name, const char* value);
  void set_verbose_logging(bool on) { verbose_ = on; }
  // 202 while the UDP socket is open; here it is never open.
  int SetUseTcp(bool on);
  void set_max_auth_retry_count(int32_t n) { max_auth_retry_count_ = n; }
  int32_t max_auth_retry_count() const { return max_auth_retry_count_; }

  int SetUser(const char* text);
  int SetPassword(const char* text);
  int SetServiceName(const char* text);
  int SetKdc(const char* text);
  // True once a token was produced and is held.
  bool HasToken() const { return !token_.empty(); }
  // Requests a ticket for the service and makes the Negotiate token (Base64 in *token).
  // 0, or 600 with error_text() set.
  int BuildToken(ByteString* token, bool* is_kerberos);
  const char* error_text() const { return error_text_.c_str(); }
  const ByteString& keytab_file() const { return keytab_file_; }
  bool use_tcp() const { return use_tcp_; }

 private:
  ComponentBase* owner_ = nullptr;
  int32_t timeout_seconds_ = 60;
  int32_t kdc_port_ = 88;
  int32_t max_auth_retry_count_ = 0;
  bool verbose_ = false;
  bool use_tcp_ = false;
  ByteString user_;
  ByteString password_;
  ByteString service_name_;
  ByteString kdc_;
  ByteString ticket_;
  ByteString token_;
  ByteString keytab_file_;
  ByteString error_text_;
};

}  // namespace tw
