// The HTTP client's cookies: records of domain, expires, name, path, secure, value and a
// caller-set flag, kept as seven entries each of one StringList, in arrival order.
#pragma once

#include <cstdint>

#include "foundation/byte_string.h"
#include "foundation/string_list.h"

namespace tw {

constexpr int kErrCookieIndex = 156;
constexpr int kCookieFields = 7;

// The fields of one Set-Cookie value.
struct SetCookieFields {
  ByteString name;
  ByteString value;
  ByteString expires;
  ByteString domain;
  ByteString path;
  int secure = 0;
};

// Splits a Set-Cookie value: name "=" value, then ";"-separated attributes of which EXPIRES,
// DOMAIN and PATH (any case) take their values and SECURE sets secure. Blanks and tabs around
// attribute names are skipped. 0 or 200.
int ParseSetCookie(const char* text, SetCookieFields* out);

class CookieJar {
 public:
  enum Field { kDomain = 0, kExpires = 1, kName = 2, kPath = 3, kSecure = 4, kValue = 5,
               kCallerSet = 6 };

  int Count() const { return list_.Count() / kCookieFields; }
  // A field of record i ("" out of range).
  const char* Get(int i, Field field) const;
  int Secure(int i) const;
  bool CallerSet(int i) const;
  // Replaces a field of record i; 156 out of range. Writing a field marks the record as set by
  // the caller.
  int Set(int i, Field field, const char* text);
  // Resizes to n records (new ones empty, caller-set). 0 or 200.
  int SetCount(int n);

  // Stores a cookie: a record with the same name, domain and path (without case) has its
  // expires, value and secure replaced; otherwise a record is added. 0 or 200.
  int Store(const SetCookieFields& cookie, bool caller_set);
  // Removes every record, or every record the caller did not set.
  void Clear() { list_.Clear(); }
  void ClearServerSet();
  // name "=" value of each record joined by "; ". 0 or 200.
  int BuildHeader(ByteString& out) const;

 private:
  StringList list_;
};

}  // namespace tw
