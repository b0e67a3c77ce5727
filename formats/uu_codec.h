// uuencode stream coders of the encoder component, with the numbered part files of a split
// encoding.
#pragma once

#include <cstdint>

#include "formats/coder_stream.h"

namespace tw {

// Bytes of the header lines that a part size must leave room for.
constexpr int kUuPartHeaderBytes = 244;

// "begin <mode> <name>", lines of up to 45 bytes, "`" and "end". With settings.part_count the
// output is framed by "Part k of n" lines and moves to the next part after the line that takes
// a part past its size - 235. 7 without a file name.
int UuEncode(CoderInput& in, CoderOutput& out, const CoderSettings& settings);
// From the "begin" line (18 without one) to the "end" line (2 without one); a line that stops
// inside its data fails with 1. Part frame lines are skipped, so the parts of a split encoding
// decode as one. The name found goes through SafeBaseName (3 when refused).
int UuDecode(CoderInput& in, CoderOutput& out, const CoderSettings& settings);

// The number of parts UuEncode writes for n input bytes with that name, mode and part size
// (which must exceed kUuPartHeaderBytes).
int UuPartCount(uint64_t n, int name_length, int mode_length, int64_t part_size);

}  // namespace tw
