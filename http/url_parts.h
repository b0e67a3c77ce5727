// URL pieces for the HTTP client: splitting a URL or a redirect target, merging a relative target
// with the current path, and the percent-encoding of a path and its query.
#pragma once

#include <cstdint>

#include "foundation/byte_string.h"

namespace tw {

struct UrlParts {
  ByteString scheme;  // as written (no case change); empty when absent
  ByteString host;    // without brackets; an IPv6 literal keeps its "%" zone
  ByteString user;
  ByteString password;
  ByteString path;    // path and query as written; for a target without authority, the target
  int32_t port = 0;   // 0 when absent
  bool has_authority = false;
  bool has_user = false;  // an "@" came in the authority
  bool ipv6 = false;
};

// Splits text:
//   scheme ":" ["//" [user [":" password] "@"] host [":" port]] [path]["?" query]
// or, for a text beginning with "/" (or without scheme and "//"), a path. The authority ends at
// the first "/" or at a "?" before it (the path is then "/" and the query). 0, or 202 with *error
// set for a CR, LF or NUL in the text, a bad port or an unclosed IPv6 bracket.
int ParseUrl(const char* text, UrlParts* out, const char** error);

// The path of a relative target (no authority): a target beginning with "/" replaces the path;
// another (a leading "./" skipped) is appended to the current path cut after its last "/" (the
// query of the current path does not count). 0 or 200.
int MergeRelativePath(const char* current_path, const char* target, ByteString& out);

// Percent-encodes a path and its query: in the path "&", "*", "-", ".", "/", digits, "@",
// letters and "_" stay, other bytes become "%XX" (upper case); the query follows "?" encoded by
// the same rule with "/" encoded and "=" kept (encode_query), or as it came. 0 or 200.
int EncodeUrlPath(const char* path_and_query, bool encode_query, ByteString& out);

// True when the n bytes hold a CR, an LF or a NUL.
bool HasLineBreakOrNul(const char* bytes, int n);

}  // namespace tw
