#include "blob/shared_key_signer.h"

#include <cstring>
#include <iterator>
#include <utility>

#include "blob/hmac_sha256.h"
#include "crypto/symmetric/hmac.h"
#include "foundation/component_base.h"
#include "foundation/text_conversion.h"
#include "platform/codepage.h"

namespace tw {

namespace {

constexpr char kTextAccountMissing[] = "Account must be specified.";
constexpr char kTextAccessKeyMissing[] = "AccessKey must be specified.";
constexpr char kTextBadAccessKey[] = "Invalid AccessKey: The input is not a valid Base-64 string";

constexpr char kAuthorizationScheme[] = "SharedKey ";
constexpr char kDateHeader[] = "x-ms-date";
constexpr char kCanonicalPrefix[] = "x-ms-";
constexpr char kDateFormat[] = "%s, %02d %s %04d %02d:%02d:%02d GMT";

// The standard headers of the string-to-sign, in their line order; null marks the two lines that
// come from elsewhere (the body length, and the date, which travels as x-ms-date).
constexpr const char* kStandardLines[] = {
    "Content-Encoding",
    "Content-Language",
    nullptr,
    "Content-MD5",
    "Content-Type",
    nullptr,
    "If-Modified-Since",
    "If-Match",
    "If-None-Match",
    "If-Unmodified-Since",
    "Range",
};
constexpr int kContentLengthLine = 2;

bool IsLinearSpace(int c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
uint8_t LowerAscii(uint8_t c) { return (c >= 'A' && c <= 'Z') ? static_cast<uint8_t>(c + 32) : c; }

int CompareBytes(const ByteString& a, const ByteString& b) {
  const int n = a.length() < b.length() ? a.length() : b.length();
  const int c = n > 0 ? std::memcmp(a.data(), b.data(), static_cast<size_t>(n)) : 0;
  if (c != 0) return c;
  return a.length() - b.length();
}

int CompareNoCase(const ByteString& a, const ByteString& b) {
  const int n = a.length() < b.length() ? a.length() : b.length();
  for (int i = 0; i < n; ++i) {
    const int x = LowerAscii(a.bytes()[i]);
    const int y = LowerAscii(b.bytes()[i]);
    if (x != y) return x - y;
  }
  return a.length() - b.length();
}

// Swaps two records' strings; moves never allocate.
void SwapPairs(ByteStringPair& a, ByteStringPair& b) {
  std::swap(a.first, b.first);
  std::swap(a.second, b.second);
}

template <typename Less>
int BubbleSort(PairList& list, Less less) {
  const int n = list.Count();
  for (int i = 0; i < n; ++i) {
    if (!list.At(i) && !list.GetOrCreate(i)) return kErrOutOfMemory;
  }
  bool swapped = true;
  while (swapped) {
    swapped = false;
    for (int i = n - 1; i > 0; --i) {
      ByteStringPair* front = list.At(i - 1);
      ByteStringPair* back = list.At(i);
      if (less(*back, *front)) {
        SwapPairs(*front, *back);
        swapped = true;
      }
    }
  }
  return kOk;
}

// The bytes between the first and last non-blank ones (blank: space and tab).
void TrimmedSpan(const ByteString& s, int* from, int* to, bool (*is_space)(int)) {
  int i = 0;
  int j = s.length();
  while (i < j && is_space(s.bytes()[i])) ++i;
  while (j > i && is_space(s.bytes()[j - 1])) --j;
  *from = i;
  *to = j;
}

// An x-ms- value as the service reads it: no leading or trailing white space, and every run of
// white space (space, tab, CR, LF) outside a quoted string folded to one space.
int AppendFoldedValue(ByteString& out, const ByteString& value) {
  int from, to;
  TrimmedSpan(value, &from, &to, IsLinearSpace);
  const uint8_t* p = value.bytes();
  bool quoted = false;
  bool pending_space = false;
  int run = from;  // start of the bytes not yet appended
  for (int k = from; k < to; ++k) {
    const uint8_t c = p[k];
    if (!quoted && IsLinearSpace(c)) {
      if (!pending_space) {
        if (int rc = out.Append(p + run, k - run); rc != kOk) return rc;
        pending_space = true;
      }
      run = k + 1;
      continue;
    }
    if (pending_space) {
      if (int rc = out.AppendByte(' '); rc != kOk) return rc;
      pending_space = false;
    }
    if (quoted && c == '\\' && k + 1 < to) {
      ++k;  // a quoted pair keeps the escaped byte, white space included
    } else if (c == '"') {
      quoted = !quoted;
    }
  }
  return out.Append(p + run, to - run);
}

int AppendLower(ByteString& out, const uint8_t* p, int n) {
  const int start = out.length();
  if (int rc = out.Append(p, n); rc != kOk) return rc;
  for (int i = start; i < out.length(); ++i) out.bytes()[i] = LowerAscii(out.bytes()[i]);
  return kOk;
}

// Inserts a pair after every pair that does not sort after it, so that the order of equal keys
// is the order of arrival.
template <typename Compare>
int InsertSorted(PairList& list, ByteStringPair* pair, Compare compare) {
  int at = list.Count();
  while (at > 0 && compare(*pair, *list.At(at - 1)) < 0) --at;
  return list.InsertOwned(at, pair);
}

// One canonical query parameter: the lower-cased name and the value, both as the service reads
// them (UTF-8, percent-decoded).
int AddQueryEntry(PairList& entries, const uint8_t* name, int name_n, const uint8_t* value,
                  int value_n, bool decode, unsigned codepage) {
  ByteStringPair* pair = NewRecord<ByteStringPair>();
  if (!pair) return kErrOutOfMemory;
  int rc = kOk;
  if (decode) {
    rc = pair->first.Set(name, name_n);
    if (rc == kOk) rc = pair->second.Set(value, value_n);
    if (rc == kOk) {
      PercentDecodeInPlace(pair->first, true);
      PercentDecodeInPlace(pair->second, true);
    }
  } else {
    rc = AppendUtf8FromCodePage(pair->first, reinterpret_cast<const char*>(name), name_n, codepage);
    if (rc == kOk) {
      rc = AppendUtf8FromCodePage(pair->second, reinterpret_cast<const char*>(value), value_n,
                                  codepage);
    }
  }
  if (rc == kOk) {
    for (int i = 0; i < pair->first.length(); ++i) {
      pair->first.bytes()[i] = LowerAscii(pair->first.bytes()[i]);
    }
  }
  if (rc != kOk || pair->first.empty()) {
    DeleteRecord(pair);
    return rc;
  }
  // By name, then value: the values of a repeated name come out sorted, as the service sorts them.
  return InsertSorted(entries, pair, [](const ByteStringPair& a, const ByteStringPair& b) {
    const int c = CompareBytes(a.first, b.first);
    return c != 0 ? c : CompareBytes(a.second, b.second);
  });
}

// The query part of a URL, as it goes on the wire, split into canonical entries.
int CollectUrlQuery(PairList& entries, const char* query) {
  const uint8_t* p = reinterpret_cast<const uint8_t*>(query);
  int end = 0;
  while (p[end] && p[end] != '#') ++end;
  int start = 0;
  while (start <= end) {
    int stop = start;
    while (stop < end && p[stop] != '&') ++stop;
    if (stop > start) {
      int eq = start;
      while (eq < stop && p[eq] != '=') ++eq;
      const int value_at = eq < stop ? eq + 1 : stop;
      if (int rc =
              AddQueryEntry(entries, p + start, eq - start, p + value_at, stop - value_at, true, 0);
          rc != kOk) {
        return rc;
      }
    }
    start = stop + 1;
  }
  return kOk;
}

int CollectListQuery(PairList& entries, const PairList& query, unsigned codepage) {
  for (int i = 0; i < query.Count(); ++i) {
    const ByteStringPair* pair = query.At(i);
    if (!pair) continue;
    if (int rc = AddQueryEntry(entries, pair->first.bytes(), pair->first.length(),
                               pair->second.bytes(), pair->second.length(), false, codepage);
        rc != kOk) {
      return rc;
    }
  }
  return kOk;
}

// name:value lines, one per name, the values of a repeated name joined by ",".
int AppendGroupedLines(ByteString& out, const PairList& entries, bool line_feed_before) {
  for (int i = 0; i < entries.Count(); ++i) {
    const ByteStringPair& e = *entries.At(i);
    const bool continues = i > 0 && entries.At(i - 1)->first.Equals(e.first);
    int rc = kOk;
    if (continues) {
      rc = out.AppendByte(',');
    } else {
      if (line_feed_before) rc = out.AppendByte('\n');
      if (rc == kOk) rc = out.AppendString(e.first);
      if (rc == kOk) rc = out.AppendByte(':');
    }
    if (rc == kOk) rc = out.AppendString(e.second);
    const bool last_of_name = i + 1 == entries.Count() || !entries.At(i + 1)->first.Equals(e.first);
    if (rc == kOk && !line_feed_before && last_of_name) rc = out.AppendByte('\n');
    if (rc != kOk) return rc;
  }
  return kOk;
}

bool NameIs(const ByteString& name, const char* wanted) {
  int from, to;
  TrimmedSpan(name, &from, &to, IsBlank);
  return EqualsNoCase(std::string_view(name.data() + from, static_cast<size_t>(to - from)), wanted);
}

// A standard header's value: the values of every header of that name, trimmed as the HTTP
// layer of the service trims them, joined by ",".
int AppendStandardValue(ByteString& out, const PairList& headers, const char* name) {
  bool first = true;
  for (int i = 0; i < headers.Count(); ++i) {
    const ByteStringPair* h = headers.At(i);
    if (!h || !NameIs(h->first, name)) continue;
    int from, to;
    TrimmedSpan(h->second, &from, &to, IsLinearSpace);
    int rc = first ? kOk : out.AppendByte(',');
    if (rc == kOk) rc = out.Append(h->second.bytes() + from, to - from);
    if (rc != kOk) return rc;
    first = false;
  }
  return kOk;
}

int CollectCanonicalHeaders(PairList& entries, const PairList& headers) {
  for (int i = 0; i < headers.Count(); ++i) {
    const ByteStringPair* h = headers.At(i);
    if (!h) continue;
    int from, to;
    TrimmedSpan(h->first, &from, &to, IsBlank);
    ByteStringPair* pair = NewRecord<ByteStringPair>();
    if (!pair) return kErrOutOfMemory;
    int rc = AppendLower(pair->first, h->first.bytes() + from, to - from);
    if (rc == kOk && !pair->first.StartsWith(kCanonicalPrefix)) {
      DeleteRecord(pair);
      continue;
    }
    if (rc == kOk) rc = AppendFoldedValue(pair->second, h->second);
    if (rc != kOk) {
      DeleteRecord(pair);
      return rc;
    }
    // By name only: the values of a repeated name keep the order in which they are sent.
    rc = InsertSorted(entries, pair, [](const ByteStringPair& a, const ByteStringPair& b) {
      return CompareBytes(a.first, b.first);
    });
    if (rc != kOk) return rc;
  }
  return kOk;
}

void SystemClock(DateFields* now) { GetUtcNowFields(now); }

}  // namespace

int AppendUtf8FromCodePage(ByteString& out, const char* text, int n, unsigned codepage) {
  if (!text || n <= 0) return kOk;
  if (codepage <= win::CP_THREAD_ACP) codepage = win::GetACP();
  bool ascii = true;
  for (int i = 0; i < n && ascii; ++i) ascii = static_cast<uint8_t>(text[i]) < 0x80;
  if (ascii || codepage == win::CP_UTF8) return out.Append(text, n);
  return AppendAsUtf8(out, text, n, codepage);
}

int AppendPercentEncoded(ByteString& out, const void* bytes, int n) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  const uint8_t* p = static_cast<const uint8_t*>(bytes);
  for (int i = 0; i < n; ++i) {
    const uint8_t c = p[i];
    const bool keep = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                      c == '-' || c == '.' || c == '_' || c == '~';
    int rc;
    if (keep) {
      rc = out.AppendByte(c);
    } else {
      const char escape[3] = {'%', kHex[c >> 4], kHex[c & 15]};
      rc = out.Append(escape, 3);
    }
    if (rc != kOk) return rc;
  }
  return kOk;
}

void PercentDecodeInPlace(ByteString& text, bool plus_is_space) {
  uint8_t* p = text.bytes();
  const int n = text.length();
  int out = 0;
  for (int i = 0; i < n; ++i) {
    if (p[i] == '+' && plus_is_space) {
      p[out++] = ' ';
      continue;
    }
    if (p[i] == '%' && i + 2 < n) {
      const int hi = HexDigitValue(p[i + 1]);
      const int lo = HexDigitValue(p[i + 2]);
      if (hi >= 0 && lo >= 0) {
        p[out++] = static_cast<uint8_t>(hi * 16 + lo);
        i += 2;
        continue;
      }
    }
    p[out++] = p[i];
  }
  text.Resize(out);  // shrinking never fails
}

int SortHeaderList(PairList& list) {
  return BubbleSort(list, [](const ByteStringPair& a, const ByteStringPair& b) {
    const int c = CompareNoCase(a.first, b.first);
    return c != 0 ? c < 0 : CompareNoCase(a.second, b.second) < 0;
  });
}

int SortQueryList(PairList& list) {
  return BubbleSort(list, [](const ByteStringPair& a, const ByteStringPair& b) {
    const int c = CompareNoCase(a.first, b.first);
    return c != 0 ? c < 0 : CompareBytes(a.second, b.second) < 0;
  });
}

SharedKeySigner::SharedKeySigner() : clock_(SystemClock) {}

SharedKeySigner::~SharedKeySigner() { WipeString(access_key_); }

void SharedKeySigner::SetClock(Clock clock) { clock_ = clock ? clock : SystemClock; }

int SharedKeySigner::SetCredentials(const char* account, const char* access_key) {
  int rc = account_.SetText(account ? account : "");
  if (rc == kOk) {
    account_.Trim();
    WipeString(access_key_);
    rc = access_key_.SetText(access_key ? access_key : "");
    access_key_.Trim();
  }
  return rc;
}

int SharedKeySigner::Fail(int code, const char* text) {
  if (owner_) owner_->SetErrorTextCode(code, text);
  return code;
}

unsigned SharedKeySigner::CodePage() const {
  return owner_ ? static_cast<unsigned>(owner_->GetCodePage()) : 0u;
}

int SharedKeySigner::DecodeKey(bool strict, ByteString* key) {
  int rc = key->Assign(access_key_);
  if (rc != kOk) return rc;
  rc = DecodeBase64(*key, false, strict, true);
  if (rc == -1) {
    WipeString(*key);
    return Fail(kErrInvalidValue, kTextBadAccessKey);
  }
  return rc;
}

int SharedKeySigner::BuildStringToSign(const char* verb, const char* url, PairList& query,
                                       PairList& headers, int64_t content_length) {
  ByteString& s = string_to_sign_;
  s.Reset();
  int rc = s.AppendText(verb ? verb : "");
  if (rc == kOk) rc = s.AppendByte('\n');
  for (int line = 0; rc == kOk && line < static_cast<int>(std::size(kStandardLines)); ++line) {
    if (line == kContentLengthLine) {
      if (content_length > 0) rc = s.AppendInt64(content_length);
    } else if (kStandardLines[line]) {
      rc = AppendStandardValue(s, headers, kStandardLines[line]);
    }
    if (rc == kOk) rc = s.AppendByte('\n');
  }

  if (rc == kOk) {
    PairList canonical_headers;
    rc = CollectCanonicalHeaders(canonical_headers, headers);
    if (rc == kOk) rc = AppendGroupedLines(s, canonical_headers, false);
  }

  // The resource: "/", the account, and the URL's path as it stands (still percent-encoded).
  const char* text = url ? url : "";
  const char* query_part = std::strchr(text, '?');
  const char* path_end = query_part ? query_part : text + std::strlen(text);
  const char* scheme_end = std::strstr(text, "://");
  const char* host = (scheme_end && scheme_end < path_end) ? scheme_end + 3 : text;
  const char* path = host;
  while (path < path_end && *path != '/') ++path;
  if (rc == kOk) rc = s.AppendByte('/');
  if (rc == kOk) rc = s.AppendString(account_);
  if (rc == kOk)
    rc = path < path_end ? s.Append(path, static_cast<int>(path_end - path)) : s.AppendByte('/');

  if (rc == kOk) {
    PairList entries;
    rc = (query_part && query_part[1]) ? CollectUrlQuery(entries, query_part + 1)
                                       : CollectListQuery(entries, query, CodePage());
    if (rc == kOk) rc = AppendGroupedLines(s, entries, true);
  }
  if (rc != kOk) s.Reset();
  return rc;
}

int SharedKeySigner::Sign(const char* verb, const char* url, PairList& query, PairList& headers,
                          ByteString* out) {
  const int64_t content_length = content_length_;
  content_length_ = -1;
  out->Reset();
  if (account_.empty()) return Fail(kErrSignerAccount, kTextAccountMissing);

  DateFields now;
  clock_(&now);
  const char* day = DayName(now.day_of_week);
  const char* month = MonthName(now.month);
  int rc = date_text_.Format(kDateFormat, day ? day : "", now.day, month ? month : "", now.year,
                             now.hour, now.minute, now.second);
  if (rc == kOk) {
    ByteStringPair* date = NewRecord<ByteStringPair>();
    if (!date) return Fail(kErrOutOfMemory, DefaultErrorText(kErrOutOfMemory));
    rc = date->first.SetText(kDateHeader);
    if (rc == kOk) rc = date->second.Assign(date_text_);
    if (rc == kOk) {
      rc = headers.InsertOwned(headers.Count(), date);
    } else {
      DeleteRecord(date);
    }
  }
  if (rc == kOk) rc = SortHeaderList(headers);
  if (rc == kOk) rc = SortQueryList(query);
  if (rc == kOk) rc = BuildStringToSign(verb, url, query, headers, content_length);
  if (rc != kOk) return Fail(rc, DefaultErrorText(rc));

  if (access_key_.empty()) return kOk;  // the request goes unsigned

  ByteString key;
  rc = DecodeKey(true, &key);
  if (rc != kOk) return rc == kErrInvalidValue ? rc : Fail(rc, DefaultErrorText(rc));
  ByteString mac;
  rc = HmacSha256Bytes(key, string_to_sign_.data(), string_to_sign_.length(), &mac);
  WipeString(key);
  ByteString signature;
  if (rc == kOk) rc = Base64Encode(signature, mac.data(), mac.length(), false, 64, false);
  WipeString(mac);
  if (rc == kOk) rc = out->SetText(kAuthorizationScheme);
  if (rc == kOk) rc = out->AppendString(account_);
  if (rc == kOk) rc = out->AppendByte(':');
  if (rc == kOk) rc = out->AppendString(signature);
  if (rc != kOk) {
    out->Reset();
    return Fail(rc, DefaultErrorText(rc));
  }
  return kOk;
}

int SharedKeySigner::SignSharedAccess(const ByteString& text, ByteString* signature) {
  signature->Reset();
  if (account_.empty()) return Fail(kErrSignerAccount, kTextAccountMissing);
  if (access_key_.empty()) return Fail(kErrSignerAccount, kTextAccessKeyMissing);
  int rc = string_to_sign_.Assign(text);
  ByteString key;
  if (rc == kOk) rc = DecodeKey(false, &key);
  ByteString mac;
  if (rc == kOk) rc = HmacSha256Bytes(key, text.data(), text.length(), &mac);
  WipeString(key);
  if (rc == kOk) rc = Base64Encode(*signature, mac.data(), mac.length(), false, 64, false);
  WipeString(mac);
  if (rc != kOk) {
    signature->Reset();
    return Fail(rc, DefaultErrorText(rc));
  }
  return kOk;
}

}  // namespace tw
