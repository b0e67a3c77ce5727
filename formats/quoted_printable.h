// Quoted-printable (RFC 2045) stream coders of the encoder component.
#pragma once

#include "formats/coder_stream.h"

namespace tw {

// CR LF pairs stay line breaks; "=", controls and bytes from 127 are escaped as "=XX", as is a
// space or tab before a line break or at the end; lines are kept to 76 characters with soft
// breaks. With part files a part ends after the line that takes it past the part size - 76.
int QpEncodeStream(CoderInput& in, CoderOutput& out, const CoderSettings& settings);
// "=XX" (either case) gives the byte, "=" at a line's end joins the lines, any other "=" is kept
// as it stands; whitespace at a line's end is dropped (RFC 2045 rule 3) and every line break
// that was not joined becomes CR LF.
int QpDecodeStream(CoderInput& in, CoderOutput& out, const CoderSettings& settings);

}  // namespace tw
