// The Digest access authentication state of one peer (the server, the proxy or the firewall):
// credentials, the request being authorised, the last challenge and its request counter. MD5 and
// MD5-sess, qop "auth" and "auth-int", and the older form without qop.
#pragma once

#include <cstdint>

#include "foundation/byte_string.h"

namespace tw {

// BuildAuthorization's refusal; the HTTP client reports it as its protocol error.
constexpr int kErrDigestRefused = 1;

class DigestAuth {
 public:
  DigestAuth();
  DigestAuth(const DigestAuth&) = delete;
  DigestAuth& operator=(const DigestAuth&) = delete;
  ~DigestAuth();

  // The text after "Digest " of a WWW-Authenticate or Proxy-Authenticate header. Starts a new
  // challenge: the counter goes back to 0 and a fresh client nonce is made when qop is offered.
  int ParseChallenge(const char* text);
  int SetCredentials(const char* user, const char* password);
  // The method, the request target and the request body (hashed for auth-int).
  int SetRequest(const char* method, const char* uri, const void* entity, int length);
  // Appends the Authorization value; nothing when there is no nonce or no user. 0, or 1 with
  // error_text() set (unknown qop, unsupported algorithm, a line break in the user name).
  int BuildAuthorization(ByteString* value, bool include_algorithm = true);
  // Forgets the challenge, the nonce and its counter.
  void Reset();

  bool has_challenge() const { return !nonce_.empty(); }
  const char* error_text() const { return error_text_.c_str(); }
  const ShortString& qop() const { return qop_; }
  const ShortString& cnonce() const { return cnonce_; }
  uint32_t nc() const { return nc_; }
  // A fixed client nonce instead of a random one (known-answer tests); "" goes back to random.
  void SetFixedCnonce(const char* cnonce) { fixed_cnonce_.SetText(cnonce); }

 private:
  int MakeCnonce();
  int Refuse(const char* text);

  ShortString realm_;
  ShortString qop_;
  ShortString algorithm_;
  ShortString nonce_;
  ShortString cnonce_;
  ShortString opaque_;
  uint32_t nc_ = 0;
  ShortString user_;
  ShortString password_;
  ByteString uri_;
  ShortString method_;
  ByteString body_;
  ByteString error_text_;
  ShortString fixed_cnonce_;
};

}  // namespace tw
