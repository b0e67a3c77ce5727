// Cuts a text into tokens at delimiter bytes, in place.
#pragma once

#include "foundation/byte_string.h"

namespace tw {

constexpr int kTokenizerEnd = 111;

class Tokenizer {
 public:
  static constexpr const char* kDefaultDelimiters = " \r\n\t";

  Tokenizer();

  // Resets and takes a copy of the text (n < 0: NUL-terminated) and the delimiters (null: the
  // default set). 0 or 200.
  int Set(const char* text, int n, const char* delimiters);
  // The next token, NUL-terminated inside the held text; "" with status 111 once the text is
  // used up. Without skipping, consecutive delimiters give empty tokens.
  const char* Next();

  int status() const { return status_; }
  bool skip_leading() const { return skip_leading_; }
  void set_skip_leading(bool on) { skip_leading_ = on; }

 private:
  bool IsDelimiter(char c) const;

  ByteString text_;
  ByteString delimiters_;
  int position_ = 0;
  int status_ = 0;
  bool skip_leading_ = true;
};

}  // namespace tw
