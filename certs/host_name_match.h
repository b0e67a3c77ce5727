// Whether a host name is named by a certificate: its subject alternative names or its subject
// common name, with wildcard names confined to one left-most label.
#pragma once

#include "foundation/string_list.h"

namespace tw {

// The comma-separated parts of a name or name list, quotes and escapes resolved, each trimmed.
// 446 for a backslash at the end or one followed by anything but a special character or two
// hex digits.
int SplitDnComponents(const char* text, StringList* parts);

// True when a "dns:" or "ip:" part of the SAN text names the host.
bool MatchHostToCertSAN(const char* san_text, const char* host);
// True when the first CN= part of the subject text names the host.
bool MatchHostToCertCN(const char* subject_text, const char* host);

// Glob matching: "*" any run, "?" one character, [a-z] groups, "\" makes the next literal.
bool WildcardMatch(const char* text, const char* pattern, bool ignore_case);

// A certificate name (possibly with a wildcard in its left-most label) against a host name.
bool MatchCertNameToHost(const char* pattern, const char* host);

}  // namespace tw
