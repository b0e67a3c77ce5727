#include "http/url_parts.h"

#include <cstring>

namespace tw {
namespace {

constexpr char kTextControlInUrl[] = "The URL contains a CR, LF or NUL character.";
constexpr char kTextBadPort[] = "The port in the URL is invalid.";
constexpr char kTextBadIpv6[] = "The IPv6 address in the URL is not closed by \"]\".";
constexpr char kHexUpper[] = "0123456789ABCDEF";

bool IsSchemeChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '+' ||
         c == '-' || c == '.';
}

bool KeepInPath(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '&' ||
         c == '*' || c == '-' || c == '.' || c == '/' || c == '@' || c == '_';
}

int Fail(const char** error, const char* text) {
  if (error != nullptr) *error = text;
  return 202;
}

// Splits the authority [user[:password]@]host[:port].
int ParseAuthority(const char* a, int n, UrlParts* out, const char** error) {
  int at = -1;
  for (int i = n - 1; i >= 0; --i) {
    if (a[i] == '@') {
      at = i;
      break;
    }
  }
  int host_start = 0;
  if (at >= 0) {
    out->has_user = true;
    int colon = -1;
    for (int i = 0; i < at; ++i) {
      if (a[i] == ':') {
        colon = i;
        break;
      }
    }
    if (colon < 0) {
      if (out->user.Set(a, at) != kOk) return 200;
    } else {
      if (out->user.Set(a, colon) != kOk) return 200;
      if (out->password.Set(a + colon + 1, at - colon - 1) != kOk) return 200;
    }
    host_start = at + 1;
  }
  const char* h = a + host_start;
  const int hn = n - host_start;
  int port_at = -1;  // index in h of the first port digit
  if (hn > 0 && h[0] == '[') {
    int close = -1;
    for (int i = 1; i < hn; ++i) {
      if (h[i] == ']') {
        close = i;
        break;
      }
    }
    if (close < 0) return Fail(error, kTextBadIpv6);
    out->ipv6 = true;
    if (out->host.Set(h + 1, close - 1) != kOk) return 200;
    if (close + 1 < hn) {
      if (h[close + 1] != ':') return Fail(error, kTextBadPort);
      port_at = close + 2;
    }
  } else {
    int colon = -1;
    for (int i = hn - 1; i >= 0; --i) {
      if (h[i] == ':') {
        colon = i;
        break;
      }
    }
    if (out->host.Set(h, colon >= 0 ? colon : hn) != kOk) return 200;
    if (colon >= 0) port_at = colon + 1;
  }
  if (port_at >= 0) {
    // "host:" with nothing after the colon keeps the default port.
    if (port_at < hn) {
      int32_t port = 0;
      for (int i = port_at; i < hn; ++i) {
        if (h[i] < '0' || h[i] > '9') return Fail(error, kTextBadPort);
        port = port * 10 + (h[i] - '0');
        if (port > 65535) return Fail(error, kTextBadPort);
      }
      if (port == 0) return Fail(error, kTextBadPort);
      out->port = port;
    }
  }
  return kOk;
}

}  // namespace

bool HasLineBreakOrNul(const char* bytes, int n) {
  for (int i = 0; i < n; ++i) {
    if (bytes[i] == '\r' || bytes[i] == '\n' || bytes[i] == '\0') return true;
  }
  return false;
}

int ParseUrl(const char* text, UrlParts* out, const char** error) {
  *out = UrlParts();
  if (error != nullptr) *error = "";
  if (text == nullptr) text = "";
  const int n = static_cast<int>(std::strlen(text));
  if (HasLineBreakOrNul(text, n)) return Fail(error, kTextControlInUrl);
  int i = 0;
  if (n > 0 && text[0] != '/') {
    // A scheme is letters, digits, "+", "-" and "." up to a ":" that comes before any "/".
    int colon = -1;
    for (int k = 0; k < n; ++k) {
      if (text[k] == ':') {
        colon = k;
        break;
      }
      if (!IsSchemeChar(text[k])) break;
    }
    // "host:port/path" is not a scheme: a scheme is followed by "//" or is a known name.
    if (colon > 0) {
      const bool slashes = colon + 2 < n + 1 && text[colon + 1] == '/' && text[colon + 2] == '/';
      if (slashes) {
        if (out->scheme.Set(text, colon) != kOk) return 200;
        i = colon + 1;
      }
    }
  }
  if (i + 1 < n + 1 && text[i] == '/' && text[i + 1] == '/') {
    i += 2;
    out->has_authority = true;
    int end = i;
    while (end < n && text[end] != '/' && text[end] != '?') ++end;
    const int rc = ParseAuthority(text + i, end - i, out, error);
    if (rc != kOk) return rc;
    i = end;
    if (i < n && text[i] == '?') {
      if (out->path.SetText("/") != kOk || out->path.AppendText(text + i) != kOk) return 200;
      return kOk;
    }
  }
  if (out->path.SetText(text + i) != kOk) return 200;
  return kOk;
}

int MergeRelativePath(const char* current_path, const char* target, ByteString& out) {
  if (target == nullptr) target = "";
  if (target[0] == '/') return out.SetText(target);
  if (target[0] == '.' && target[1] == '/') target += 2;
  const char* current = current_path != nullptr ? current_path : "";
  int cut = 0;
  const char* query = std::strchr(current, '?');
  const int path_length = query != nullptr ? static_cast<int>(query - current)
                                           : static_cast<int>(std::strlen(current));
  for (int k = 0; k < path_length; ++k) {
    if (current[k] == '/') cut = k + 1;
  }
  if (cut == 0) {
    if (out.SetText("/") != kOk) return 200;
  } else if (out.Set(current, cut) != kOk) {
    return 200;
  }
  return out.AppendText(target);
}

int EncodeUrlPath(const char* path_and_query, bool encode_query, ByteString& out) {
  out.Reset();
  const unsigned char* p = reinterpret_cast<const unsigned char*>(path_and_query);
  if (p == nullptr) return kOk;
  bool in_query = false;
  char buffer[3];
  for (; *p != '\0'; ++p) {
    const unsigned char c = *p;
    if (!in_query && c == '?') {
      in_query = true;
      if (out.AppendByte('?') != kOk) return 200;
      if (!encode_query) return out.AppendText(reinterpret_cast<const char*>(p + 1));
      continue;
    }
    const bool keep = in_query ? (c == '=' || (c != '/' && KeepInPath(c))) : KeepInPath(c);
    if (keep) {
      if (out.AppendByte(c) != kOk) return 200;
      continue;
    }
    buffer[0] = '%';
    buffer[1] = kHexUpper[c >> 4];
    buffer[2] = kHexUpper[c & 15];
    if (out.Append(buffer, 3) != kOk) return 200;
  }
  return kOk;
}

}  // namespace tw
