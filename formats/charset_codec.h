// Character-set stream coders of the encoder component: code page <-> UTF-8, Shift-JIS <->
// ISO-2022-JP and Punycode, and the reader that turns code-page input into UTF-16 piece by piece.
//
// Input is converted in pieces, but a piece never ends inside a character, so the result is the
// same as converting the whole input at once.
#pragma once

#include "formats/coder_stream.h"

namespace tw {

// Reads code-page text and gives it as UTF-16 units, about 1022 input bytes at a time, each
// piece ending on a character boundary (a sequence cut short at the very end of the input is
// converted as it stands).
class WideChunkReader {
 public:
  WideChunkReader(CoderInput& in, int code_page) : in_(in), code_page_(code_page) {}
  // The next piece in units (UTF-16LE) and *count units; false at the end or on failure (*rc: 0
  // at the end, 434 when the code page cannot convert, 200, or the read error).
  bool Next(ByteString& units, int* count, int* rc);

 private:
  CoderInput& in_;
  int code_page_;
  ByteString pending_;
  bool at_end_ = false;
};

// Writes UTF-16 units in the code page (characters it lacks become "?"). 0, 434 or the write
// error.
int WriteUnits(CoderOutput& out, const char16_t* units, int count, int code_page);

// Code page to UTF-8, and back.
int Utf8EncodeStream(CoderInput& in, CoderOutput& out, const CoderSettings& settings);
int Utf8DecodeStream(CoderInput& in, CoderOutput& out, const CoderSettings& settings);

// Shift-JIS to ISO-2022-JP, and back.
int JisEncodeStream(CoderInput& in, CoderOutput& out, const CoderSettings& settings);
int JisDecodeStream(CoderInput& in, CoderOutput& out, const CoderSettings& settings);

// The whole input (code page) as Punycode, and back; 434 for input Punycode cannot take.
int PunycodeEncodeStream(CoderInput& in, CoderOutput& out, const CoderSettings& settings);
int PunycodeDecodeStream(CoderInput& in, CoderOutput& out, const CoderSettings& settings);

}  // namespace tw
