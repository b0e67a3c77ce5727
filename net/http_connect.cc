// The HTTP CONNECT negotiation of the firewall tunnel: the requests with their proxy
// authentication (Basic, NTLM, Negotiate, Digest) and the replies read from the raw bytes.
#include <cstdio>
#include <cstring>
#include <string_view>

#include "foundation/text_conversion.h"
#include "net/firewall_tunnel.h"
#include "net/firewall_tunnel_steps.h"
#include "net/tcp_client.h"

namespace tw {
namespace {

using tunnel::HasLineBreaker;
using tunnel::kStepAuthStatus;
using tunnel::kStepBody;
using tunnel::kStepChunkEnd;
using tunnel::kStepChunkSize;
using tunnel::kStepFinalHeaders;
using tunnel::kStepHeaders;
using tunnel::kStepStatus;
using tunnel::kStepTrailers;
using tunnel::kTextBadRemoteHost;
using tunnel::SecretText;

constexpr char kTextFirewallError[] = "Firewall error. ";
constexpr char kTextNtlmStatus[] =
    "Firewall error while attempting NTLM authentication. Expected 401 or 407 but got: ";
constexpr char kTextNtlmAfter[] =
    "Firewall error after NTLM authentication. Expected a status code beginning with 2 but got: ";
constexpr char kTextDigestStatus[] =
    "Firewall error while attempting digest authentication. Expected 401 or 407 but got: ";
constexpr char kTextDigestAfter[] =
    "Firewall error after digest authentication. Expected a status code beginning with 2 but "
    "got: ";
constexpr char kTextReplyTooLong[] = "Firewall reply is too long.";
constexpr char kTextBadChunkSize[] = "Firewall reply has an invalid chunk size.";
constexpr char kTextBadUserAgent[] =
    "The User-Agent text cannot be sent to the firewall (CR, LF or NUL).";
constexpr char kTypeInfo[] = "Info";

// The status code (second word) and the rest of a status line.
struct StatusLine {
  const char* code = "";
  int code_length = 0;
  const char* rest = "";
  int rest_length = 0;
  bool complete = false;  // a code was found
};

StatusLine ParseStatusLine(const char* line, int length) {
  StatusLine s;
  int i = 0;
  while (i < length && !IsBlank(line[i])) ++i;
  while (i < length && IsBlank(line[i])) ++i;
  const int code_start = i;
  while (i < length && !IsBlank(line[i])) ++i;
  s.code = line + code_start;
  s.code_length = i - code_start;
  s.complete = s.code_length > 0;
  while (i < length && IsBlank(line[i])) ++i;
  s.rest = line + i;
  s.rest_length = length - i;
  return s;
}

// Digits of a decimal count; anything else (or a negative value) counts as 0.
int64_t ParseCount(const char* text, int length) {
  int64_t value = 0;
  int i = 0;
  while (i < length && IsBlank(text[i])) ++i;
  if (i == length) return 0;
  for (; i < length && text[i] >= '0' && text[i] <= '9'; ++i) {
    if (value > (INT64_MAX - 9) / 10) return 0;
    value = value * 10 + (text[i] - '0');
  }
  return value;
}

}  // namespace

bool FirewallTunnel::ConnectTarget(ByteString* target) {
  const ByteString& host = owner_->remote_host();
  if (HasLineBreaker(host.data(), host.length())) {
    Fail(kTextBadRemoteHost);
    return false;
  }
  if (HasLineBreaker(user_agent_.data(), user_agent_.length())) {
    Fail(kTextBadUserAgent);
    return false;
  }
  // An IPv6 address keeps its colons apart from the port's.
  const bool bracket = host.FindChar(':', 0) >= 0 && host.ByteAt(0) != '[';
  int rc = target->SetText(bracket ? "[" : "");
  if (rc == kOk) rc = target->AppendString(host);
  if (rc == kOk && bracket) rc = target->AppendByte(']');
  if (rc == kOk) rc = target->AppendByte(':');
  if (rc == kOk) rc = target->AppendInt(owner_->remote_port());
  if (rc != kOk) {
    Fail(DefaultErrorText(kErrOutOfMemory));
    return false;
  }
  return true;
}

// The User-Agent line and the blank line that end every CONNECT head; rc is the result of the
// lines before. False, with the negotiation ended, when the head could not be built.
bool FirewallTunnel::EndRequestHead(ByteString* request, int rc) {
  if (rc == kOk && !user_agent_.empty()) {
    rc = request->AppendText("\r\nUser-Agent: ");
    if (rc == kOk) rc = request->AppendString(user_agent_);
  }
  if (rc == kOk) rc = request->AppendText("\r\n\r\n");
  if (rc != kOk) {
    Fail(DefaultErrorText(kErrOutOfMemory));
    return false;
  }
  return true;
}

bool FirewallTunnel::SendConnectRequest(const char* authorization) {
  ByteString target;
  if (!ConnectTarget(&target)) return false;
  SecretText request;
  int secret_from = 0;
  int secret_length = 0;
  int rc = request.text.AppendText("CONNECT ");
  if (rc == kOk) rc = request.text.AppendString(target);
  if (rc == kOk) rc = request.text.AppendText(" HTTP/1.0");
  if (rc == kOk && (!firewall_user_.empty() || !firewall_password_.empty())) {
    SecretText pair;
    rc = pair.text.AppendString(firewall_user_);
    if (rc == kOk) rc = pair.text.AppendByte(':');
    if (rc == kOk) rc = pair.text.AppendString(firewall_password_);
    if (rc == kOk) rc = request.text.AppendText("\r\nProxy-Authorization: Basic ");
    secret_from = request.text.length();
    if (rc == kOk) {
      rc = Base64Encode(request.text, pair.text.data(), pair.text.length(), false, 0, false);
    }
    secret_length = request.text.length() - secret_from;
  }
  if (!EndRequestHead(&request.text, rc)) return false;
  return SendRequest(request.text, secret_from, secret_length);
}

bool FirewallTunnel::SendTokenRequest() {
  ByteString target;
  if (!ConnectTarget(&target)) return false;
  ByteString token;
  const char* package = PackageName();
  // The firewall is the party being authenticated to: its own host names the target, and for
  // Negotiate its HTTP service principal.
  ByteString host;
  if (firewall_type_ == kFirewallTunnelNegotiate && host.SetText("HTTP/") != kOk) {
    Fail(DefaultErrorText(kErrOutOfMemory));
    return false;
  }
  const int appended = !firewall_host_.empty() ? host.AppendString(firewall_host_)
                                               : host.AppendString(owner_->remote_host());
  if (appended != kOk) {
    Fail(DefaultErrorText(kErrOutOfMemory));
    return false;
  }
  const int built = owner_->BuildAuthToken(&token, package, host.c_str(),
                                           auth_state_.challenge.c_str());
  owner_->LogAtLevel(kLogVerbose, owner_->auth_provider().LogText().c_str(), kTypeInfo);
  owner_->LogAtLevel(kLogVerbose, owner_->auth_provider().StatusText(), kTypeInfo);
  if (built != kOk) {
    Fail(nullptr);
    return false;
  }
  ByteString request;
  int rc = request.AppendText("CONNECT ");
  if (rc == kOk) rc = request.AppendString(target);
  if (rc == kOk) rc = request.AppendText(" HTTP/1.0\r\nProxy-Authorization: ");
  if (rc == kOk) rc = request.AppendText(package);
  if (rc == kOk) rc = request.AppendByte(' ');
  if (rc == kOk) rc = request.AppendString(token);
  if (rc == kOk) rc = request.AppendText("\r\nProxy-Connection: Keep-Alive");
  if (!EndRequestHead(&request, rc)) return false;
  reply_head_bytes_ = 0;
  return SendRequest(request);
}

bool FirewallTunnel::SendDigestRequest(const char* authorization) {
  ByteString target;
  if (!ConnectTarget(&target)) return false;
  ByteString request;
  int rc = request.AppendText("CONNECT ");
  if (rc == kOk) rc = request.AppendString(target);
  if (rc == kOk) rc = request.AppendText(" HTTP/1.0\r\nHost: ");
  if (rc == kOk) rc = request.AppendString(target);
  if (rc == kOk) {
    rc = request.AppendText(
        "\r\nContent-Length: 0\r\nProxy-Connection: Keep-Alive\r\nPragma: no-cache");
  }
  if (rc == kOk && authorization != nullptr) {
    rc = request.AppendText("\r\nProxy-Authorization: ");
    if (rc == kOk) rc = request.AppendText(authorization);
  }
  if (!EndRequestHead(&request, rc)) return false;
  reply_head_bytes_ = 0;
  return SendRequest(request);
}

// ---- HTTP replies ----

int FirewallTunnel::TakeHttp(const uint8_t* p, int n) {
  int used = 0;
  while (used < n && negotiating_) {
    if (negotiation_step_ == kStepBody) {
      const int64_t remaining = reply_content_length_ - reply_received_;
      const int take = remaining < n - used ? static_cast<int>(remaining) : n - used;
      reply_received_ += take;
      // A chunked body counts against the reply's cap as a whole, its framing lines included.
      if (reply_chunked_) reply_head_bytes_ += take;
      used += take;
      if (reply_received_ >= reply_content_length_) {
        if (reply_chunked_) {
          negotiation_step_ = kStepChunkEnd;
        } else {
          HttpBodyDone();
        }
      }
      continue;
    }
    const uint8_t* start = p + used;
    const int available = n - used;
    const void* lf = std::memchr(start, '\n', static_cast<size_t>(available));
    const int take = lf != nullptr ? static_cast<int>(static_cast<const uint8_t*>(lf) - start) + 1
                                   : available;
    if (reply_head_bytes_ + take > kMaxFirewallReply) {
      Fail(kTextReplyTooLong);
      return n;
    }
    reply_head_bytes_ += take;
    if (reply_line_.Append(start, take) != kOk) {
      Fail(DefaultErrorText(kErrOutOfMemory));
      return n;
    }
    used += take;
    if (lf == nullptr) {
      // A plain tunnel knows its verdict once the status code has begun.
      if (firewall_type_ == kFirewallTunnel && negotiation_step_ == kStepStatus &&
          reply_line_.length() > 9) {
        const StatusLine s = ParseStatusLine(reply_line_.c_str(), reply_line_.length());
        if (s.complete && s.code[0] != '2') {
          FailHttpStatus(reply_line_.c_str(), reply_line_.length());
          return n;
        }
      }
      break;
    }
    int length = reply_line_.length() - 1;
    if (length > 0 && reply_line_.ByteAt(length - 1) == '\r') --length;
    ByteString line;
    if (line.Set(reply_line_.data(), length) != kOk) {
      Fail(DefaultErrorText(kErrOutOfMemory));
      return n;
    }
    reply_line_.Reset();
    HttpLine(line.c_str(), length);
    if (!negotiating_) return failed_ ? n : used;
  }
  return used;
}

void FirewallTunnel::HttpLine(const char* line, int length) {
  switch (negotiation_step_) {
    case kStepStatus:
    case kStepAuthStatus:
      if (length == 0) return;  // blank lines before a status line are tolerated
      HttpStatus(line, length);
      return;
    case kStepHeaders:
      if (length == 0) {
        HttpHeadEnd();
      } else {
        HttpHeader(line, length);
      }
      return;
    case kStepFinalHeaders:
      if (length == 0) negotiating_ = false;  // the path is open
      return;
    case kStepChunkSize: {
      if (length == 0) return;
      int i = 0;
      while (i < length && IsBlank(line[i])) ++i;
      int64_t size = 0;
      int digits = 0;
      for (; i < length && IsHexDigit(line[i]); ++i, ++digits) {
        // Past the cap already: the size is refused, however many digits follow.
        if (size <= kMaxFirewallReply) size = size * 16 + HexDigitValue(line[i]);
      }
      if (digits == 0) {
        Fail(kTextBadChunkSize);
        return;
      }
      if (size > kMaxFirewallReply - reply_head_bytes_) {
        Fail(kTextReplyTooLong);
        return;
      }
      reply_received_ = 0;
      reply_content_length_ = size;
      negotiation_step_ = size == 0 ? kStepTrailers : kStepBody;
      return;
    }
    case kStepChunkEnd:
      negotiation_step_ = kStepChunkSize;
      return;
    case kStepTrailers:
      if (length == 0) HttpBodyDone();
      return;
    default:
      return;
  }
}

void FirewallTunnel::HttpStatus(const char* line, int length) {
  const StatusLine s = ParseStatusLine(line, length);
  const bool success = s.complete && s.code[0] == '2';
  const bool challenge = EqualsNoCase(std::string_view(s.code, s.code_length), "401") ||
                         EqualsNoCase(std::string_view(s.code, s.code_length), "407");
  const bool digest = firewall_type_ == kFirewallTunnelDigest;
  if (firewall_type_ == kFirewallTunnel) {
    if (!success) {
      FailHttpStatus(line, length);
      return;
    }
    negotiation_step_ = kStepFinalHeaders;
    return;
  }
  if (negotiation_step_ == kStepAuthStatus) {
    if (!success) {
      FailHttpCode(digest ? kTextDigestAfter : kTextNtlmAfter, line, length);
      return;
    }
    negotiation_step_ = kStepFinalHeaders;
    return;
  }
  reply_content_length_ = 0;
  reply_received_ = 0;
  reply_chunked_ = false;
  if (EqualsNoCase(std::string_view(s.code, s.code_length), "200")) {
    // No authentication asked for: the rest of the head, then the path is open.
    negotiation_step_ = kStepFinalHeaders;
    return;
  }
  if (!challenge) {
    FailHttpCode(digest ? kTextDigestStatus : kTextNtlmStatus, line, length);
    return;
  }
  auth_state_.challenge.Reset();
  negotiation_step_ = kStepHeaders;
}

void FirewallTunnel::HttpHeader(const char* line, int length) {
  // The name ends at the first colon outside double quotes.
  int colon = -1;
  bool quoted = false;
  for (int i = 0; i < length; ++i) {
    if (line[i] == '"') quoted = !quoted;
    if (line[i] == ':' && !quoted) {
      colon = i;
      break;
    }
  }
  if (colon < 0) return;
  int name_length = colon;
  while (name_length > 0 && IsBlank(line[name_length - 1])) --name_length;
  int v = colon + 1;
  while (v < length && IsBlank(line[v])) ++v;
  const char* value = line + v;
  int value_length = length - v;
  while (value_length > 0 && IsBlank(value[value_length - 1])) --value_length;

  if (EqualsNoCase(std::string_view(line, name_length), "Content-Length")) {
    reply_content_length_ = ParseCount(value, value_length);
  } else if (EqualsNoCase(std::string_view(line, name_length), "Transfer-Encoding")) {
    if (EqualsNoCase(std::string_view(value, value_length), "chunked")) reply_chunked_ = true;
  } else if (EqualsNoCase(std::string_view(line, name_length), "Proxy-Authenticate")) {
    int word = 0;
    while (word < value_length && !IsBlank(value[word])) ++word;
    int after = word;
    while (after < value_length && IsBlank(value[after])) ++after;
    if (firewall_type_ == kFirewallTunnelDigest) {
      if (EqualsNoCase(std::string_view(value, word), "Digest")) {
        ByteString text;
        text.Set(value + after, value_length - after);
        auth_state_.digest.ParseChallenge(text.c_str());
      }
    } else if (EqualsNoCase(std::string_view(value, word), PackageName())) {
      auth_state_.challenge.Set(value + after, value_length - after);
    }
  }
}

void FirewallTunnel::HttpHeadEnd() {
  reply_received_ = 0;
  // A chunked body shares the head's cap: the reply as a whole stays within it.
  if (!reply_chunked_) reply_head_bytes_ = 0;
  if (reply_chunked_) {
    negotiation_step_ = kStepChunkSize;
  } else if (reply_content_length_ > 0) {
    negotiation_step_ = kStepBody;
  } else {
    // No body to wait for: the next request goes at once.
    HttpBodyDone();
  }
}

void FirewallTunnel::HttpBodyDone() {
  reply_content_length_ = 0;
  reply_received_ = 0;
  reply_chunked_ = false;
  negotiation_step_ = kStepAuthStatus;
  if (firewall_type_ != kFirewallTunnelDigest) {
    SendTokenRequest();
    return;
  }
  DigestAuth& digest = auth_state_.digest;
  ByteString uri;
  if (!request_uri_.empty()) {
    uri.Assign(request_uri_);
  } else if (!ConnectTarget(&uri)) {
    return;
  }
  ByteString authorization;
  int rc = digest.SetCredentials(firewall_user_.c_str(), firewall_password_.c_str());
  if (rc == kOk) rc = digest.SetRequest("CONNECT", uri.c_str(), "", 0);
  if (rc == kOk) rc = digest.BuildAuthorization(&authorization, false);
  if (rc != kOk) {
    Fail(digest.error_text()[0] != '\0' ? digest.error_text() : DefaultErrorText(rc));
    return;
  }
  SendDigestRequest(authorization.c_str());
}

void FirewallTunnel::FailHttpStatus(const char* line, int length) {
  ByteString text;
  int end = 0;
  while (end < length && line[end] != '\r' && line[end] != '\n') ++end;
  int rc = text.AppendText(kTextFirewallError);
  if (rc == kOk) rc = text.Append(line, end);
  if (rc == kOk && (end == 0 || line[end - 1] != '.')) rc = text.AppendByte('.');
  Fail(rc == kOk ? text.c_str() : DefaultErrorText(kErrOutOfMemory));
}

void FirewallTunnel::FailHttpCode(const char* prefix, const char* line, int length) {
  const StatusLine s = ParseStatusLine(line, length);
  ByteString text;
  int rc = text.AppendText(prefix);
  if (rc == kOk) rc = text.Append(s.code, s.code_length);
  if (rc == kOk) rc = text.AppendByte(' ');
  if (rc == kOk) rc = text.Append(s.rest, s.rest_length);
  Fail(rc == kOk ? text.c_str() : DefaultErrorText(kErrOutOfMemory));
}

int MaskAuthorizationForLog(const char* value, ByteString* out) {
  if (value == nullptr) value = "";
  const int length = static_cast<int>(std::strlen(value));
  int word = 0;
  while (word < length && !IsBlank(value[word])) ++word;
  if (!EqualsNoCase(std::string_view(value, word), "Basic")) return out->SetText(value);
  int after = word;
  while (after < length && IsBlank(value[after])) ++after;
  int rc = out->Set(value, after);
  if (rc == kOk && length > after) rc = out->AppendRepeated(length - after, '*');
  return rc;
}

}  // namespace tw
