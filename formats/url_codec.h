// URL (percent) and XML entity stream coders of the encoder component.
#pragma once

#include "formats/coder_stream.h"

namespace tw {

// Letters, digits, "-", ".", "_", "~" and the characters of url_unreserved (0x21 to 0x7F) are
// copied; every other byte becomes "%XX".
int UrlEncodeStream(CoderInput& in, CoderOutput& out, const CoderSettings& settings);
// Line by line without the line feeds: "+" is a space, "%XX" (either case) a byte; a "%" not
// followed by two hex digits is dropped and what follows it is kept.
int UrlDecodeStream(CoderInput& in, CoderOutput& out, const CoderSettings& settings);

// "&", "<", ">", "'" and the double quote as named entities, bytes above 127 as "&#n;".
int EntityEncodeStream(CoderInput& in, CoderOutput& out, const CoderSettings& settings);
// The five named entities (any case) and decimal ("&#n;") or hexadecimal ("&#xh;") references;
// a reference above 255 is written in the code page. Anything else is copied.
int EntityDecodeStream(CoderInput& in, CoderOutput& out, const CoderSettings& settings);

}  // namespace tw
