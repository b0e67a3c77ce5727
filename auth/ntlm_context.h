// The program's own NTLM client: NEGOTIATE, the check of the server's CHALLENGE and the
// AUTHENTICATE answer (connection-oriented NTLM; all integers little-endian).
#pragma once

#include <cstdint>

#include "foundation/byte_string.h"

namespace tw {

constexpr int kErrNtlmChallenge = -1;
constexpr int kErrNtlmWriter = 508;

constexpr uint32_t kNtlmNegotiateUnicode = 0x1;
constexpr uint32_t kNtlmNegotiateOem = 0x2;
constexpr uint32_t kNtlmRequestTarget = 0x4;
constexpr uint32_t kNtlmNegotiateNtlm = 0x200;
constexpr uint32_t kNtlmExtendedSessionSecurity = 0x80000;
constexpr uint32_t kNtlmNegotiateTargetInfo = 0x800000;
constexpr uint32_t kNtlmInitialFlags = 0xA2088207;

// Appends a readable description of an NTLM or GSS token (for the log only).
void DescribeAuthToken(ByteString& out, const uint8_t* token, int length);

// "DOMAIN\user" split at the first backslash into `domain` and `user` (without one the domain is
// left as it is); kErrOutOfMemory when the user name cannot be kept.
int SplitDomainUser(const char* text, ShortString* domain, ShortString* user);

class NtlmContext {
 public:
  NtlmContext();
  NtlmContext(const NtlmContext&) = delete;
  NtlmContext& operator=(const NtlmContext&) = delete;
  virtual ~NtlmContext();

  // Stores the package and the password; "DOMAIN\user" is split at the first backslash.
  int SetCredentials(const char* package, const char* user, const char* password);
  // Empty input: the NEGOTIATE message; else the input is the server's CHALLENGE and out gets
  // the AUTHENTICATE message. 0, -1 for a refused challenge, or a building error; error_text().
  int GetToken(ByteString* out, const char* package, const char* host, const uint8_t* input,
               int input_length);

  const char* error_text() const { return error_text_.c_str(); }
  const ByteString& log_text() const { return log_; }
  const ShortString& user() const { return user_; }
  const ShortString& domain() const { return domain_; }
  uint32_t flags() const { return flags_; }

  void set_server_side(bool on) { server_side_ = on; }
  void set_ntlmv2(bool on) { ntlmv2_ = on; }
  // PEM or DER; the NTLMv2 answer binds to it.
  int SetServerCertificate(const void* data, int length) {
    return server_certificate_.Set(data, length);
  }
  // Fixed client challenge and timestamp instead of fresh ones (known-answer tests).
  void SetFixedClientChallenge(const uint8_t challenge[8]);
  void SetFixedTimestamp(uint64_t filetime) {
    fixed_time_ = filetime;
    has_fixed_time_ = true;
  }

 private:
  int BuildNegotiate(ByteString& out);
  int ParseChallenge(const uint8_t* input, int length);
  int BuildAuthenticate(ByteString& out);
  // The NTLMv2 parts of the answer; each sets its error text and returns the inner code.
  int LmV2Response(const ByteString& key, const uint8_t client_challenge[8], ByteString& lm);
  int BuildBlob(const uint8_t client_challenge[8], ByteString& blob);
  int ChannelBindingHash(uint8_t hash[16]);
  int NtV2Response(const ByteString& key, const ByteString& blob, ByteString& nt);
  int ClientChallenge(uint8_t out[8]);
  int Fail(int code, const char* text);

  bool server_side_ = false;
  // NTLMv1 answers give away the password hash and verifiers refuse them.
  bool ntlmv2_ = true;
  uint32_t flags_ = 0;
  ShortString user_;
  ShortString domain_;
  ShortString password_;
  ShortString workstation_;
  ShortString host_;
  ShortString package_;
  ShortString error_text_;
  ByteString server_certificate_;
  ByteString log_;
  uint8_t server_challenge_[8] = {};
  // The target information's AV pairs as read (id, length, value), without the end marker.
  ByteString av_pairs_;
  uint8_t fixed_challenge_[8] = {};
  bool has_fixed_challenge_ = false;
  uint64_t fixed_time_ = 0;
  bool has_fixed_time_ = false;
};

}  // namespace tw
