// The SSH wire encoding (uint32, string, mpint) used by every SSH and PuTTY key format, read with
// SpanReader: a string is a field led by its 32-bit length (ReadPrefixed(4)), and may fill the
// remaining bytes exactly. A field that does not fit leaves the reader where it was.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "foundation/byte_string.h"
#include "foundation/span_reader.h"

namespace tw {

// A string's bytes as text.
bool ReadSshString(SpanReader* r, std::string_view* out);
// A string's bytes copied out (false also when memory runs out).
bool ReadSshString(SpanReader* r, ByteString* out);
// A non-negative mpint as its magnitude without leading zero bytes; a negative one fails.
bool ReadSshMpint(SpanReader* r, ByteString* out);

// The curve id of an SSH curve name ("nistp256", "nistp384", "nistp521", any case), or
// kCurveNone.
int SshCurveId(std::string_view name);

// Decrypts data in place with AES (key of 16, 24 or 32 bytes, 16-byte IV) in CBC or CTR mode,
// no padding removed. 0, or the cipher's code (2003 for data that is no whole number of blocks).
int SshAesDecrypt(int mode, const uint8_t* key, int key_length, const uint8_t* iv, ByteString* data);

}  // namespace tw
