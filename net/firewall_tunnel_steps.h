// What the firewall tunnel's units share: the steps of an HTTP CONNECT exchange, which the
// connect step starts, and the checks and holders of the requests.
#pragma once

#include <cstdint>

#include "foundation/byte_string.h"

namespace tw {
namespace tunnel {

constexpr char kTextBadRemoteHost[] =
    "The RemoteHost text cannot be sent to the firewall (CR, LF or NUL).";

// HTTP CONNECT: status, headers and body of a 401 or 407, the status and headers of the
// authenticated request (or of the only one), and the chunked body framing.
constexpr uint8_t kStepStatus = 1;
constexpr uint8_t kStepHeaders = 2;
constexpr uint8_t kStepBody = 3;
constexpr uint8_t kStepAuthStatus = 4;
constexpr uint8_t kStepFinalHeaders = 5;
constexpr uint8_t kStepChunkSize = 6;
constexpr uint8_t kStepChunkEnd = 8;
constexpr uint8_t kStepTrailers = 9;

// A text that holds credentials: wiped when it goes.
struct SecretText {
  ByteString text;
  ~SecretText() { WipeBytes(text.data(), static_cast<size_t>(text.length())); }
};

// A byte that would end or split a line of the request.
inline bool HasLineBreaker(const char* text, int length) {
  for (int i = 0; i < length; ++i) {
    if (text[i] == '\r' || text[i] == '\n' || text[i] == '\0') return true;
  }
  return false;
}

}  // namespace tunnel
}  // namespace tw
