// Stream coders of the radix formats of the encoder component: Base64 (standard and URL
// alphabets), Base32 (standard and extended-hex alphabets) and hexadecimal.
#pragma once

#include "formats/coder_stream.h"

namespace tw {

// 54 input bytes (72 characters) a line. The standard alphabet pads with "=" and, with line
// breaks, separates lines by CR LF; the URL alphabet writes neither. With part files a part ends
// after the line that takes it past the part size - 76.
int Base64EncodeStream(CoderInput& in, CoderOutput& out, const CoderSettings& settings);
// Line by line; spaces and tabs are skipped, characters outside the alphabet at a line's end
// (padding, CR, LF) are dropped, and any other stray character fails with 26 when
// require_base64_chars is set (and is skipped otherwise).
int Base64DecodeStream(CoderInput& in, CoderOutput& out, const CoderSettings& settings);

// Groups of 5 bytes as 8 characters, the last group padded with "=", on one line.
int Base32EncodeStream(CoderInput& in, CoderOutput& out, const CoderSettings& settings);
// Letters of either case; whitespace and "=" are skipped; a stray character fails with 26 when
// require_base64_chars is set.
int Base32DecodeStream(CoderInput& in, CoderOutput& out, const CoderSettings& settings);

// Two lower-case digits a byte.
int HexEncodeStream(CoderInput& in, CoderOutput& out, const CoderSettings& settings);
// Pairs the hex digits (either case), skipping everything else; an odd last digit is dropped.
int HexDecodeStream(CoderInput& in, CoderOutput& out, const CoderSettings& settings);

}  // namespace tw
