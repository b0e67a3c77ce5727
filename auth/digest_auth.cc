#include "auth/digest_auth.h"

namespace tw {
namespace {

constexpr char kTextDigestUnavailable[] = "Digest authentication is not available.";

const char* OrEmpty(const char* text) { return text != nullptr ? text : ""; }

}  // namespace

DigestAuth::~DigestAuth() { WipeBytes(password_.data(), static_cast<size_t>(password_.length())); }

int DigestAuth::ParseChallenge(const char* text) { return challenge_.SetText(OrEmpty(text)); }

int DigestAuth::SetCredentials(const char* user, const char* password) {
  WipeBytes(password_.data(), static_cast<size_t>(password_.length()));
  const int rc = user_.SetText(OrEmpty(user));
  return rc != kOk ? rc : password_.SetText(OrEmpty(password));
}

int DigestAuth::SetRequest(const char* method, const char* uri, const void* entity, int length) {
  const int rc = method_.SetText(OrEmpty(method));
  return rc != kOk ? rc : uri_.SetText(OrEmpty(uri));
}

int DigestAuth::BuildAuthorization(ByteString* value) {
  if (value != nullptr) value->Reset();
  error_text_.SetText(kTextDigestUnavailable);
  return kErrDigestUnavailable;
}

void DigestAuth::Reset() {
  challenge_.Reset();
  error_text_.Reset();
}

}  // namespace tw
