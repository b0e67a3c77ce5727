// NTLM and Negotiate tokens from the platform's security support provider interface (the
// secur32 function table), the default token path of AuthTokenProvider.
#pragma once

#include <cstdint>

#include "foundation/byte_string.h"
#include "platform/sspi.h"

namespace tw {

constexpr int kErrSecurityLibraryMissing = 270;
constexpr int kErrSspiCredentials = 880;
constexpr int kErrSspiConsumeToken = 881;
constexpr int kErrSspiInitialize = 882;
constexpr int kErrSspiBufferExceeded = 883;
constexpr int kSspiTokenBufferSize = 4096;

class SspiAuthContext {
 public:
  SspiAuthContext();
  SspiAuthContext(const SspiAuthContext&) = delete;
  SspiAuthContext& operator=(const SspiAuthContext&) = delete;
  virtual ~SspiAuthContext();

  // Stores the package and the password, splits "DOMAIN\user", drops any held context and
  // credentials and acquires new ones. 0, 270 or 880.
  int SetCredentials(const char* package, const char* user, const char* password);
  // Empty input: the first leg (a held context is deleted first); else the next leg over the
  // held context. tls_context (may be null) is the source of the channel binding when
  // extended_protection is on.
  int GetToken(ByteString* out, const char* scheme, const char* target, const uint8_t* input,
               int input_length, const win::CtxtHandle* tls_context, bool extended_protection);
  // Deletes the context and frees the credentials; both handles are zero afterwards.
  void Release();

  const char* error_text() const { return error_text_.c_str(); }
  const ByteString& log_text() const { return log_; }
  const ShortString& user() const { return user_; }
  const ShortString& domain() const { return domain_; }
  bool HoldsContext() const { return context_.dwLower != 0 || context_.dwUpper != 0; }
  void set_server_side(bool on) { server_side_ = on; }

 private:
  const win::SecurityFunctionTableA* Table();
  int Fail(int code, const char* what, win::SECURITY_STATUS status);

  ShortString package_;
  ShortString user_;
  ShortString domain_;
  ShortString password_;
  ByteString error_text_;
  ByteString log_;
  win::CredHandle credentials_;
  win::CtxtHandle context_;
  bool server_side_ = false;
  win::HMODULE secur32_ = nullptr;
  uint8_t token_[kSspiTokenBufferSize];
};

}  // namespace tw
