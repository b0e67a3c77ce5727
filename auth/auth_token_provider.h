// The authentication-token source of a socket component (NTLM and Negotiate). Until the
// authentication protocols are built in, every token operation fails with a clear error.
#pragma once

#include "foundation/byte_string.h"

namespace tw {

class ComponentBase;

constexpr int kErrAuthUnavailable = 600;

class AuthTokenProvider {
 public:
  AuthTokenProvider() = default;
  AuthTokenProvider(const AuthTokenProvider&) = delete;
  AuthTokenProvider& operator=(const AuthTokenProvider&) = delete;
  ~AuthTokenProvider();

  // package "NTLM" or "Negotiate". 0 or an error code (status text set).
  int SetCredentials(const char* package, const char* user, const char* password);
  // Produces the next token for the target from the Base64 challenge ("" for the first leg), as
  // one line of Base64. On failure the owner's error text is set from the status text.
  int BuildAuthToken(ComponentBase* owner, ByteString* token, const char* package,
                     const char* target, const char* challenge);
  // The status text of the active part (the SSPI part when use_sspi, else the own NTLM part).
  const char* StatusText() const { return status_.c_str(); }

  bool use_sspi() const { return use_sspi_; }
  void set_use_sspi(bool on) { use_sspi_ = on; }

 private:
  ByteString package_;
  ByteString user_;
  ByteString password_;
  ByteString status_;
  bool use_sspi_ = true;
};

}  // namespace tw
