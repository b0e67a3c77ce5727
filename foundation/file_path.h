// A file name held as UTF-16 or as 8-bit text, and the helpers for names and separators.
#pragma once

#include "foundation/byte_string.h"

namespace tw {

class FilePath {
 public:
  FilePath() = default;

  // Wide form (UTF-16 with its NUL). 0 or 200.
  int SetWide(const char16_t* name);
  // 8-bit form, used as given by the 8-bit file calls. 0 or 200.
  int SetNarrow(const char* name);
  // A caller's 8-bit name: wide when converted from code page cp (cp not 0), or when it is
  // valid UTF-8 with bytes above 127; narrow otherwise. 0, 200 or 434.
  int SetText(const char* name, unsigned cp);

  bool is_wide() const { return is_wide_; }
  const char16_t* wide() const { return wide_.wide(); }
  const char* narrow() const { return narrow_.c_str(); }
  // The 8-bit form; for a wide path its UTF-8 form, made on first use ("" if it cannot be made).
  const char* Utf8() const;
  // Characters: wide bytes / 2 - 1, or the narrow length.
  int Length() const;

 private:
  ByteString wide_;
  ByteString narrow_;
  mutable ByteString utf8_;
  mutable bool utf8_made_ = false;
  bool is_wide_ = false;
};

// True when name has a byte >= 0x80 and survives UTF-8 -> UTF-16 -> UTF-8 unchanged; wide then
// holds the UTF-16 form with its 2-byte NUL counted in the length.
bool Utf8PathToWide(const char* name, ByteString& wide);

// The UTF-16 form of an 8-bit name in code page cp (0: the ANSI code page), its 2-byte NUL
// counted in the length. 0, 200, or 434 when the name is not valid text of that code page.
int WidenName(const char* name, unsigned cp, ByteString& wide);

// Copies text, turning every "/" into "\". 0 or 200.
int NormalizeSlashes(const char* text, ByteString& out);

// True when the last byte is "/" or "\".
bool EndsWithPathSeparator(const ByteString& text);

}  // namespace tw
