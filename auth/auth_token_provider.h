// The NTLM and Negotiate token source of a socket component. It routes each step to the
// platform's SSPI path (the default) or to the program's own NTLM engine; callers deal in Base64
// text, the engines in raw tokens.
#pragma once

#include "auth/ntlm_context.h"
#include "auth/sspi_auth_context.h"
#include "foundation/byte_string.h"

namespace tw {

class ComponentBase;

class AuthTokenProvider {
 public:
  AuthTokenProvider();
  AuthTokenProvider(const AuthTokenProvider&) = delete;
  AuthTokenProvider& operator=(const AuthTokenProvider&) = delete;
  ~AuthTokenProvider() = default;

  // package "NTLM" or "Negotiate"; "DOMAIN\user" is split at the first backslash. 0 or the SSPI
  // path's error code (status text set).
  int SetCredentials(const char* package, const char* user, const char* password);
  // Produces the next token for the target (the host, or for Negotiate the service principal)
  // from the Base64 challenge ("" for the first leg), as one line of Base64. tls_context is the
  // connection's platform TLS context, if any (the channel binding of the SSPI path). On failure
  // the owner's error text is set from the status text and the engine's code is returned.
  int BuildAuthToken(ComponentBase* owner, ByteString* token, const char* package,
                     const char* target, const char* challenge,
                     const win::CtxtHandle* tls_context = nullptr);
  // A component's platform TLS context (its two handle words, or null) as a context handle;
  // both words zero when there is none.
  static win::CtxtHandle TlsContextOf(const void* words) {
    const auto* w = static_cast<const uintptr_t*>(words);
    return w != nullptr ? win::CtxtHandle{w[0], w[1]} : win::CtxtHandle{};
  }
  // The status and log texts of the active path.
  const char* StatusText() const;
  const ByteString& LogText() const;

  // True when the Base64 token carries the Kerberos V5 mechanism identifier after its first byte.
  static bool IsKerberosToken(const char* token);

  bool use_sspi() const { return use_sspi_; }
  void set_use_sspi(bool on) { use_sspi_ = on; }
  // The switch itself, for the component's UseSystemSSPI setting.
  bool* use_sspi_flag() { return &use_sspi_; }
  bool extended_protection() const { return platform_is_new_; }
  NtlmContext& ntlm() { return ntlm_; }
  SspiAuthContext& sspi() { return sspi_; }

 private:
  // Destroyed in reverse: the NTLM part first, then the SSPI part.
  SspiAuthContext sspi_;
  NtlmContext ntlm_;
  bool use_sspi_ = true;
  bool platform_is_new_ = false;
};

}  // namespace tw
