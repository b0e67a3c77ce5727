// UTF-7 (RFC 2152) and its modified form for mailbox names (RFC 3501) as stream coders of the
// encoder component.
#pragma once

#include "formats/coder_stream.h"

namespace tw {

// Code-page text to UTF-7. Standard form: letters, digits, "'(),-./:?", space, tab, CR and LF
// go directly; modified form: all printable ASCII. The shift character ("+", or "&") stands for
// itself as "+-" ("&-"); every other character joins a Base64 run of UTF-16BE ended by "-".
int Utf7EncodeStream(CoderInput& in, CoderOutput& out, const CoderSettings& settings);
// UTF-7 to code-page text. A run ends at "-" (absorbed) or at any character outside the Base64
// alphabet (kept), or at the end of the input; bytes outside runs, 8-bit ones included, are
// written unchanged. A run whose last bits do not make a whole unit, leave non-zero padding, or
// that starts with an invalid character fails with 26; 434 when the text cannot be converted.
int Utf7DecodeStream(CoderInput& in, CoderOutput& out, const CoderSettings& settings);

}  // namespace tw
