// yEnc stream coders of the encoder component.
#pragma once

#include "formats/coder_stream.h"

namespace tw {

// "=ybegin line=128 size=<n> name=<name>", the data in lines of 128 characters (critical bytes
// escaped with "="), then "=yend size=<n> crc32=<crc>". 11 without a file name.
int YEncEncode(CoderInput& in, CoderOutput& out, const CoderSettings& settings);
// Every "=ybegin" ... "=yend" section (parts of a multi-part post included) in turn; each
// section's CRC-32 ("pcrc32" for a part, "crc32" otherwise) is checked as a number (24 when it
// differs or is missing). 22 when the data ends inside a section, 23 for an "=" ending a data
// line, 21 for lines that break the format; the name found goes through SafeBaseName.
int YEncDecode(CoderInput& in, CoderOutput& out, const CoderSettings& settings);

}  // namespace tw
