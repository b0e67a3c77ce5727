#include "certs/host_name_match.h"

#include <arpa/inet.h>

#include <cstring>
#include <string>

#include "certs/der_reader.h"
#include "foundation/text_conversion.h"

namespace tw {

namespace {

constexpr const char* kSpecialAfterBackslash = ",=+<>#:;\\\"";

// Second-level labels under which registries hand out names (co.uk, com.au, ...).
constexpr const char* kRegistryLabels[] = {"ac",  "co",  "com", "edu", "gen", "go",  "gob", "gov",
                                           "ltd", "mil", "ne",  "net", "nic", "or",  "org", "plc"};

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

std::string LowerString(std::string s) {
  for (char& c : s) c = Lower(c);
  return s;
}

bool AllLetters(const std::string& s) {
  if (s.empty()) return false;
  for (char c : s) {
    if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'))) return false;
  }
  return true;
}

bool StartsWithALabel(const std::string& label) {
  return label.size() >= 4 && LowerString(label.substr(0, 4)) == "xn--";
}

// A suffix that registries give out names under: a top-level domain (all letters, or an IDN
// top-level domain), or a common second-level registry label under a country code.
bool IsPublicSuffix(const std::string& suffix) {
  const size_t dot = suffix.find('.');
  if (dot == std::string::npos) return AllLetters(suffix) || StartsWithALabel(suffix);
  const std::string first = LowerString(suffix.substr(0, dot));
  const std::string rest = suffix.substr(dot + 1);
  if (rest.find('.') != std::string::npos || rest.size() != 2 || !AllLetters(rest)) return false;
  for (const char* l : kRegistryLabels) {
    if (first == l) return true;
  }
  return false;
}

bool HasGlob(const std::string& s) { return s.find_first_of("*?[\\") != std::string::npos; }

// 4 or 16 address bytes of an IP literal; 0 when the text is none.
int ParseIp(const std::string& text, unsigned char out[16]) {
  if (text.find('\0') != std::string::npos) return 0;
  if (inet_pton(AF_INET, text.c_str(), out) == 1) return 4;
  if (inet_pton(AF_INET6, text.c_str(), out) == 1) return 16;
  return 0;
}

bool MatchIp(const std::string& cert_ip, const std::string& host) {
  unsigned char a[16], b[16];
  const int na = ParseIp(cert_ip, a);
  const int nb = ParseIp(host, b);
  // An IPv6 entry never names an IPv4 host, mapped forms included.
  return na != 0 && na == nb && std::memcmp(a, b, static_cast<size_t>(na)) == 0;
}

bool MatchName(const std::string& pattern, const std::string& host) {
  if (pattern.empty() || host.empty() || pattern.find('\0') != std::string::npos ||
      host.find('\0') != std::string::npos) {
    return false;
  }
  unsigned char ip[16];
  if (ParseIp(host, ip)) return pattern == host;  // no wildcard ever covers an address
  const size_t pdot = pattern.find('.');
  const std::string plabel = pattern.substr(0, pdot);
  const std::string psuffix = pdot == std::string::npos ? "" : pattern.substr(pdot + 1);
  if (HasGlob(psuffix)) return false;  // wildcards live in the left-most label only
  const size_t hdot = host.find('.');
  const std::string hlabel = host.substr(0, hdot);
  const std::string hsuffix = hdot == std::string::npos ? "" : host.substr(hdot + 1);
  if (!EqualsNoCase(psuffix, hsuffix)) return false;
  if (!HasGlob(plabel)) return EqualsNoCase(plabel, hlabel);
  if (StartsWithALabel(plabel)) return false;
  if (psuffix.empty()) {
    // A single-label name needs a literal part: "*" alone would name every such host.
    if (plabel.find_first_not_of("*?") == std::string::npos) return false;
  } else if (IsPublicSuffix(psuffix)) {
    return false;
  }
  // An A-label is matched whole or not at all.
  if (StartsWithALabel(hlabel) && plabel != "*") return false;
  return WildcardMatch(hlabel.c_str(), plabel.c_str(), true);
}

std::string Entry(const StringList& list, int i) {
  return std::string(list.Get(i), static_cast<size_t>(list.GetLength(i)));
}

}  // namespace

int SplitDnComponents(const char* text, StringList* parts) {
  parts->Clear();
  const std::string t = text ? text : "";
  std::string part;
  bool quoted = false;
  auto add = [&]() {
    size_t a = 0, b = part.size();
    while (a < b && part[a] == ' ') ++a;
    while (b > a && part[b - 1] == ' ') --b;
    int rc = parts->Add(part.data() + a, static_cast<int>(b - a));
    part.clear();
    return rc;
  };
  for (size_t i = 0; i < t.size(); ++i) {
    const char c = t[i];
    if (c == '\\') {
      if (i + 1 >= t.size()) return kErrDerMalformed;
      const char n = t[i + 1];
      if (!quoted && n != 0 && std::strchr(kSpecialAfterBackslash, n)) {
        part += n;
        ++i;
      } else if (quoted &&
                 !(HexDigitValue(n) >= 0 && i + 2 < t.size() && HexDigitValue(t[i + 2]) >= 0)) {
        part += n;
        ++i;
      } else {
        if (i + 2 >= t.size()) return kErrDerMalformed;
        const int hi = HexDigitValue(n), lo = HexDigitValue(t[i + 2]);
        if (hi < 0 || lo < 0) return kErrDerMalformed;
        part += static_cast<char>(hi * 16 + lo);
        i += 2;
      }
    } else if (quoted) {
      if (c == '"') {
        quoted = false;
      } else {
        part += c;
      }
    } else if (c == '"') {
      quoted = true;
    } else if (c == ',') {
      int rc = add();
      if (rc != kOk) return rc;
    } else {
      part += c;
    }
  }
  if (!t.empty() && t.back() != ',') return add();
  return kOk;
}

bool WildcardMatch(const char* text, const char* pattern, bool ignore_case) {
  if (!text || !pattern) return false;
  auto eq = [&](char a, char b) { return ignore_case ? Lower(a) == Lower(b) : a == b; };
  const char* t = text;
  const char* p = pattern;
  const char* star_p = nullptr;
  const char* star_t = nullptr;
  while (true) {
    if (*p == '*') {
      while (*p == '*') ++p;
      if (!*p) return true;
      star_p = p;
      star_t = t;
      continue;
    }
    bool step = false;
    if (*t) {
      if (*p == '?') {
        step = true;
        ++p;
      } else if (*p == '[') {
        const char* q = p + 1;
        bool hit = false;
        while (*q && *q != ']') {
          char lo = *q, hi = *q;
          if (q[1] == '-' && q[2] && q[2] != ']') {
            hi = q[2];
            q += 3;
          } else {
            ++q;
          }
          if (lo > hi) std::swap(lo, hi);
          if (*t >= lo && *t <= hi) hit = true;
        }
        if (!*q) return false;  // the pattern ends inside the brackets
        if (hit) {
          step = true;
          p = q + 1;
        }
      } else if (*p == '\\' && p[1]) {
        if (eq(*t, p[1])) {
          step = true;
          p += 2;
        }
      } else if (*p && eq(*t, *p)) {
        step = true;
        ++p;
      }
    } else if (!*p) {
      return true;
    }
    if (step) {
      ++t;
      continue;
    }
    if (!star_p || !*star_t) return false;
    p = star_p;
    t = ++star_t;
  }
}

bool MatchCertNameToHost(const char* pattern, const char* host) {
  return pattern && host && MatchName(pattern, host);
}

bool MatchHostToCertSAN(const char* san_text, const char* host) {
  if (!san_text || !host || !*san_text || !*host) return false;
  StringList parts;
  if (SplitDnComponents(san_text, &parts) != kOk) return false;
  for (int i = 0; i < parts.Count(); ++i) {
    const std::string part = LowerString(Entry(parts, i));
    if (part.rfind("dns:", 0) == 0 && MatchName(part.substr(4), host)) return true;
    if (part.rfind("ip:", 0) == 0 && MatchIp(part.substr(3), host)) return true;
  }
  return false;
}

bool MatchHostToCertCN(const char* subject_text, const char* host) {
  if (!subject_text || !host || !*host) return false;
  StringList parts;
  if (SplitDnComponents(subject_text, &parts) != kOk) return false;
  for (int i = 0; i < parts.Count(); ++i) {
    const std::string part = LowerString(Entry(parts, i));
    if (part.rfind("cn=", 0) == 0) return MatchName(part.substr(3), host);
  }
  return false;
}

}  // namespace tw
