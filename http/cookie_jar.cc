#include "http/cookie_jar.h"

#include <cstring>

#include "foundation/text_conversion.h"
#include "http/url_parts.h"

namespace tw {
namespace {

// [first, last) without the blanks and tabs at both ends.
void TrimRange(const char** first, const char** last) {
  while (*first < *last && IsBlank(**first)) ++*first;
  while (*last > *first && IsBlank((*last)[-1])) --*last;
}

}  // namespace

int ParseSetCookie(const char* text, SetCookieFields* out) {
  *out = SetCookieFields();
  if (text == nullptr) return kOk;
  const char* p = text;
  const char* end = p;
  while (*end != '\0' && *end != ';') ++end;
  const char* eq = p;
  while (eq < end && *eq != '=') ++eq;
  const char* name_first = p;
  const char* name_last = eq;
  TrimRange(&name_first, &name_last);
  if (out->name.Set(name_first, static_cast<int>(name_last - name_first)) != kOk) return 200;
  if (eq < end) {
    const char* value_first = eq + 1;
    const char* value_last = end;
    TrimRange(&value_first, &value_last);
    if (out->value.Set(value_first, static_cast<int>(value_last - value_first)) != kOk) return 200;
  }
  p = end;
  while (*p == ';') {
    ++p;
    const char* attr_end = p;
    while (*attr_end != '\0' && *attr_end != ';') ++attr_end;
    const char* attr_eq = p;
    while (attr_eq < attr_end && *attr_eq != '=') ++attr_eq;
    const char* key_first = p;
    const char* key_last = attr_eq;
    TrimRange(&key_first, &key_last);
    const char* value_first = attr_eq < attr_end ? attr_eq + 1 : attr_end;
    const char* value_last = attr_end;
    TrimRange(&value_first, &value_last);
    const int key_n = static_cast<int>(key_last - key_first);
    const int value_n = static_cast<int>(value_last - value_first);
    int rc = kOk;
    if (EqualsNoCase(std::string_view(key_first, key_n), "expires")) {
      rc = out->expires.Set(value_first, value_n);
    } else if (EqualsNoCase(std::string_view(key_first, key_n), "domain")) {
      rc = out->domain.Set(value_first, value_n);
    } else if (EqualsNoCase(std::string_view(key_first, key_n), "path")) {
      rc = out->path.Set(value_first, value_n);
    } else if (EqualsNoCase(std::string_view(key_first, key_n), "secure")) {
      out->secure = 1;
    }
    if (rc != kOk) return 200;
    p = attr_end;
  }
  return kOk;
}

const char* CookieJar::Get(int i, Field field) const {
  if (i < 0 || i >= Count()) return "";
  return list_.Get(i * kCookieFields + field);
}

int CookieJar::Secure(int i) const {
  const char* text = Get(i, kSecure);
  return *text != '\0' && *text != '0' ? 1 : 0;
}

bool CookieJar::CallerSet(int i) const {
  const char* text = Get(i, kCallerSet);
  return *text != '\0' && *text != '0';
}

int CookieJar::Set(int i, Field field, const char* text) {
  if (i < 0 || i >= Count()) return kErrCookieIndex;
  const char* value = text != nullptr ? text : "";
  int rc = list_.SetAtText(i * kCookieFields + field, value);
  if (rc == kOk && field != kCallerSet) rc = list_.SetAtInt(i * kCookieFields + kCallerSet, 1);
  return rc;
}

int CookieJar::SetCount(int n) {
  if (n < 0) n = 0;
  const int old = Count();
  if (n <= old) return list_.SetCount(n * kCookieFields);
  for (int i = old; i < n; ++i) {
    for (int f = 0; f < kCookieFields; ++f) {
      const int rc = f == kSecure ? list_.AddInt(0) : f == kCallerSet ? list_.AddInt(1)
                                                                      : list_.AddText("");
      if (rc != kOk) return rc;
    }
  }
  return kOk;
}

int CookieJar::Store(const SetCookieFields& cookie, bool caller_set) {
  for (int i = 0; i < Count(); ++i) {
    if (EqualsNoCase(Get(i, kName), cookie.name.c_str()) &&
        EqualsNoCase(Get(i, kDomain), cookie.domain.c_str()) &&
        EqualsNoCase(Get(i, kPath), cookie.path.c_str())) {
      const int base = i * kCookieFields;
      int rc = list_.SetAt(base + kExpires, cookie.expires.data(), cookie.expires.length());
      if (rc == kOk) rc = list_.SetAt(base + kValue, cookie.value.data(), cookie.value.length());
      if (rc == kOk) rc = list_.SetAtInt(base + kSecure, cookie.secure);
      return rc;
    }
  }
  const int count = list_.Count();
  int rc = list_.Add(cookie.domain.data(), cookie.domain.length());
  if (rc == kOk) rc = list_.Add(cookie.expires.data(), cookie.expires.length());
  if (rc == kOk) rc = list_.Add(cookie.name.data(), cookie.name.length());
  if (rc == kOk) rc = list_.Add(cookie.path.data(), cookie.path.length());
  if (rc == kOk) rc = list_.AddInt(cookie.secure);
  if (rc == kOk) rc = list_.Add(cookie.value.data(), cookie.value.length());
  if (rc == kOk) rc = list_.AddInt(caller_set ? 1 : 0);
  if (rc != kOk) list_.SetCount(count);
  return rc;
}

void CookieJar::ClearServerSet() {
  for (int i = Count() - 1; i >= 0; --i) {
    if (CallerSet(i)) continue;
    for (int f = 0; f < kCookieFields; ++f) list_.RemoveAt(i * kCookieFields);
  }
}

int CookieJar::BuildHeader(ByteString& out) const {
  out.Reset();
  for (int i = 0; i < Count(); ++i) {
    if (i > 0 && out.AppendText("; ") != kOk) return 200;
    const int base = i * kCookieFields;
    if (out.Append(list_.Get(base + kName), list_.GetLength(base + kName)) != kOk ||
        out.AppendByte('=') != kOk ||
        out.Append(list_.Get(base + kValue), list_.GetLength(base + kValue)) != kOk) {
      return 200;
    }
  }
  return kOk;
}

}  // namespace tw
