// The SharedKey authorization of the storage service: stamps a request with x-ms-date, builds the
// canonical string-to-sign the service rebuilds on its side, and signs it with HMAC-SHA256 under
// the account key. Also signs the string-to-sign of a shared access signature.
#pragma once

#include <cstdint>

#include "foundation/byte_string.h"
#include "foundation/byte_string_pair.h"
#include "foundation/date_time.h"
#include "foundation/ptr_array.h"

namespace tw {

class ComponentBase;

constexpr int kErrSignerAccount = 603;

// The list type of request headers and query parameters.
using PairList = PtrArray<ByteStringPair>;

class SharedKeySigner {
 public:
  using Clock = void (*)(DateFields* now);

  SharedKeySigner();
  ~SharedKeySigner();
  SharedKeySigner(const SharedKeySigner&) = delete;
  SharedKeySigner& operator=(const SharedKeySigner&) = delete;

  // The component whose last error receives the signer's messages and whose code page the
  // texts of the lists are in (none: the ANSI code page).
  void SetOwner(ComponentBase* owner) { owner_ = owner; }

  // Stores both texts trimmed at both ends; 0 or 200.
  int SetCredentials(const char* account, const char* access_key);
  // The body length of the next signature (-1 none); read and reset by every signature.
  void SetContentLength(int64_t n) { content_length_ = n; }

  // Appends x-ms-date to the headers, sorts both lists and writes "SharedKey account:signature"
  // to out (left empty when no access key is set). The canonical query is taken from the URL's
  // query part, as it goes on the wire, when there is one; otherwise from the query list, whose
  // values are plain text. 0, 603 without an account, 202 for a bad key, 200.
  int Sign(const char* verb, const char* url, PairList& query, PairList& headers, ByteString* out);

  // Signs a shared access signature's string-to-sign: the Base64 signature goes to signature and
  // the text is kept as the last string-to-sign. 0, 603 without account or key, 200.
  int SignSharedAccess(const ByteString& text, ByteString* signature);

  const ByteString& string_to_sign() const { return string_to_sign_; }
  const ByteString& account() const { return account_; }
  const ByteString& date_text() const { return date_text_; }
  int64_t content_length() const { return content_length_; }

  // Replaces the clock that dates the requests (null restores the system clock).
  void SetClock(Clock clock);

 private:
  int Fail(int code, const char* text);
  unsigned CodePage() const;
  int DecodeKey(bool strict, ByteString* key);
  int BuildStringToSign(const char* verb, const char* url, PairList& query, PairList& headers,
                        int64_t content_length);

  ByteString access_key_;
  ByteString account_;
  ByteString string_to_sign_;
  int64_t content_length_ = -1;
  ByteString date_text_;
  ComponentBase* owner_ = nullptr;
  Clock clock_;
};

// Helpers shared with the shared access signatures.

// n bytes of text in a code page (0: the ANSI code page) appended as UTF-8; text in UTF-8, or in
// plain ASCII, is copied as it is. 0, 434 or 200.
int AppendUtf8FromCodePage(ByteString& out, const char* text, int n, unsigned codepage);
// Appends the bytes percent-encoded, keeping only the RFC 3986 unreserved characters.
int AppendPercentEncoded(ByteString& out, const void* bytes, int n);
// Decodes %XX escapes in place, and "+" to a blank when asked (form encoding, which the service
// applies to query strings); a "%" not followed by two hex digits stays as it is.
void PercentDecodeInPlace(ByteString& text, bool plus_is_space);
// The bubble sorts of the request lists: passes from the end towards the front until one makes
// no swap, so equal pairs keep their order. Headers by name and value without regard to ASCII
// case; query parameters by lower-cased name, then value byte by byte. 0, or 200.
int SortHeaderList(PairList& list);
int SortQueryList(PairList& list);

}  // namespace tw
