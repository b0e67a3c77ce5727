#include "foundation/tokenizer.h"

#include <cstring>

namespace tw {

Tokenizer::Tokenizer() { delimiters_.SetText(kDefaultDelimiters); }

int Tokenizer::Set(const char* text, int n, const char* delimiters) {
  position_ = 0;
  status_ = 0;
  if (!text) text = "";
  if (n < 0) n = static_cast<int>(std::strlen(text));
  int rc = text_.Set(text, n);
  if (rc == kOk) rc = delimiters_.SetText(delimiters ? delimiters : kDefaultDelimiters);
  if (rc != kOk) {
    text_.Reset();
    status_ = kTokenizerEnd;
  }
  return rc;
}

bool Tokenizer::IsDelimiter(char c) const {
  const char* d = delimiters_.data();
  for (int i = 0; i < delimiters_.length(); ++i) {
    if (d[i] == c) return true;
  }
  return false;
}

const char* Tokenizer::Next() {
  char* p = text_.data();
  int n = text_.length();
  if (skip_leading_) {
    while (position_ < n && IsDelimiter(p[position_])) ++position_;
  }
  if (position_ >= n) {
    status_ = kTokenizerEnd;
    return "";
  }
  int start = position_;
  while (position_ < n && !IsDelimiter(p[position_])) ++position_;
  // The held text always ends in a NUL, so cutting at the end is safe too.
  p[position_] = 0;
  if (position_ < n) ++position_;
  return p + start;
}

}  // namespace tw
