// Punycode (RFC 3492) and internationalised host names.
#pragma once

#include "foundation/byte_string.h"

namespace tw {

constexpr int kPunycodeBadInput = -1;   // a bad digit, an overflow or an invalid character
constexpr int kPunycodeBigOutput = -2;  // the output does not fit the given size

// UTF-16 units (surrogate pairs taken as one character) to Punycode ASCII: the basic code
// points, "-" when there were any, then the encoded deltas. *out_len gives the room at out and
// receives the count written; nothing is written past the room.
int PunycodeEncode(const char16_t* input, int n, char* out, int* out_len);
// Punycode ASCII to UTF-16 units (characters above U+FFFF as surrogate pairs); the last "-" is
// the delimiter. *out_len as above, counted in units.
int PunycodeDecode(const char* input, int n, char16_t* out, int* out_len);

// Sets s to the ASCII form of a UTF-8 host name: labels split at "." and at U+3002, U+FF0E and
// U+FF61 (each written as "."); an all-ASCII label is copied, any other becomes "xn--" and its
// Punycode form. 434 when the host is not valid UTF-8 or a label cannot be encoded.
int IdnToAscii(ByteString& s, const char* host);

// The host as it goes on the wire: IdnToAscii when the conversion is on and the host has a byte
// of 0x80 or above, otherwise the host unchanged.
int HostToAscii(ByteString& s, const char* host, bool idn_enabled);

}  // namespace tw
