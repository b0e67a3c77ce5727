// The Kerberos client that the HTTP client embeds for Negotiate with its own Kerberos
// (UseInternalKerberos): its log lines and packet descriptions go to the owner's log, marked
// "[Kerberos]".
#pragma once

#include <cstdint>

#include "auth/kerberos_client.h"
#include "foundation/byte_string.h"

namespace tw {

class ComponentBase;

class NegotiateKerberosClient : public KerberosClient {
 public:
  NegotiateKerberosClient() = default;

  // Binds the member to its owner: time-out 60 seconds, KDC port 88, every text cleared. 0.
  int Reset(ComponentBase* owner);
  // Settings handed through by the owner ("KerberosKeytabFile" and the like).
  using KerberosClient::Config;
  void set_verbose_logging(bool on) { Config("LogLevel", on ? "2" : "1"); }
  // 202 while the UDP socket is open.
  int SetUseTcp(bool on) { return KerberosClient::Config("UseTCP", on ? "1" : "0"); }
  void set_max_auth_retry_count(int32_t n);

  int SetUser(const char* text) { return SetUserPrincipal(text); }
  int SetServiceName(const char* text) { return SetServicePrincipal(text); }
  // "host" or "host:port" (port 88 when none).
  int SetKdc(const char* text);
  // True once a token was produced and is held.
  bool HasToken() const { return has_token_; }
  // Requests a ticket for the service and makes the Negotiate token (Base64 in *token).
  int BuildToken(ByteString* token, bool* is_kerberos);

 protected:
  void Log(int level, const char* text, const char* word) override;
  void PacketEvent(int direction, const char* description) override;

 private:
  ComponentBase* owner_ = nullptr;
  bool has_token_ = false;
};

}  // namespace tw
