// The Digest authentication state of one side of an HTTP exchange (the server or the proxy):
// credentials, the request being authorised and the challenge. Until the authentication protocols
// are built in, producing a header value fails with a clear error.
#pragma once

#include "foundation/byte_string.h"

namespace tw {

constexpr int kErrDigestUnavailable = 151;

class DigestAuth {
 public:
  DigestAuth() = default;
  DigestAuth(const DigestAuth&) = delete;
  DigestAuth& operator=(const DigestAuth&) = delete;
  ~DigestAuth();

  // The text after "Digest " of a WWW-Authenticate or Proxy-Authenticate header. 0 or 200.
  int ParseChallenge(const char* text);
  int SetCredentials(const char* user, const char* password);
  // The method, the request target and the request body.
  int SetRequest(const char* method, const char* uri, const void* entity, int length);
  // The Authorization value. 0, or nonzero with error_text() set.
  int BuildAuthorization(ByteString* value);
  // Forgets the challenge, the nonce and its counter.
  void Reset();

  bool has_challenge() const { return !challenge_.empty(); }
  const char* error_text() const { return error_text_.c_str(); }

 private:
  ByteString challenge_;
  ByteString user_;
  ByteString password_;
  ByteString method_;
  ByteString uri_;
  ByteString error_text_;
};

}  // namespace tw
