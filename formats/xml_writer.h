// XML text output with escaping, namespace declarations and indentation.
//
// The writer keeps the kind of its last operation (0 none, 1 start tag still open, 2 end tag,
// 4 text, 7 declaration) so a start tag is closed with ">" or " />" only once it is known what
// follows it. Output goes to a file, to a caller's stream, or else into the output text.
#pragma once

#include <cstdint>

#include "foundation/byte_string.h"
#include "foundation/caller_stream.h"
#include "foundation/component_base.h"
#include "foundation/file_handle.h"
#include "foundation/ptr_array.h"
#include "foundation/string_list.h"

namespace tw {

constexpr int kXmlErrWriterState = 401;
constexpr int kXmlErrWriterName = 402;

// One open element of the writer.
struct XmlWriterElement {
  ShortString local;
  ShortString prefix;
  ByteString uri;
  bool has_content = false;
  // Three entries per declaration: prefix, URI, and "1" once written.
  StringList declarations;
};

class XmlWriter : public ComponentBase {
 public:
  static constexpr int kLastNone = 0;
  static constexpr int kLastStartTag = 1;
  static constexpr int kLastEndTag = 2;
  static constexpr int kLastText = 4;
  static constexpr int kLastDeclaration = 7;

  XmlWriter() = default;
  ~XmlWriter() override;

  int Config(ConfigRequest& request, const char** answer) override;

  // Defaults: QuoteChar a double quote, EOL CR LF, Indent a tab, Charset "utf-8"; then Reset.
  bool Initialize();
  int Reset();

  int StartElement(const char* qname, const char* uri);
  int EndElement();
  int WriteText(const char* text);
  int WriteElement(const char* qname, const char* uri, const char* text);
  int WriteDeclaration(const char* version, bool with_encoding, bool standalone);
  int WriteRaw(const char* text);
  // Ends every open element, closes the active output; the output text stays.
  int Close();

  // A caller's stream (not owned); setting one clears the output file name.
  void SetOutputStream(CallerStream* stream);
  // A non-empty name drops the caller's stream.
  int SetOutputFile(const char* path);
  const ByteString& output_file() const { return output_file_; }

  const ByteString& output() const { return output_; }
  int depth() const { return depth_; }
  int last_kind() const { return last_kind_; }

  const ShortString& indent() const { return indent_; }
  int set_indent(const char* text) { return indent_.SetText(text); }
  const ShortString& eol() const { return eol_; }
  int set_eol(const char* text) { return eol_.SetText(text); }
  const ShortString& quote_char() const { return quote_char_; }
  int set_quote_char(const char* text) { return quote_char_.SetText(text); }
  const ShortString& charset() const { return charset_; }
  int set_charset(const char* text) { return charset_.SetText(text); }
  bool close_stream() const { return close_stream_; }
  void set_close_stream(bool on) { close_stream_ = on; }

  ComponentBase* owner() const { return owner_; }
  void set_owner(ComponentBase* owner) { owner_ = owner; }

 private:
  int Fail(int code, const char* text);
  int CheckName(const char* qname, const char** colon);
  int Begin();  // opens the output when one is set and not yet open
  int CloseStartTag(bool empty);
  int WriteIndentation(int levels);
  int Write(const char* p, int n);
  int WriteText0(const char* text) { return Write(text, -1); }
  int WriteEscaped(const char* text);
  int WriteQuoted(const char* text);
  int CloseOutput();

  ByteString output_file_;
  ShortString indent_;
  ShortString eol_;
  ByteString output_;
  int depth_ = 0;
  ShortString quote_char_;
  int last_kind_ = kLastNone;
  PtrArray<XmlWriterElement> elements_;
  FileHandle file_;
  // The active output.
  CallerStream* active_stream_ = nullptr;
  bool active_file_ = false;
  bool close_when_done_ = false;
  bool output_open_ = false;
  bool content_written_ = false;
  ShortString charset_;
  bool close_stream_ = true;
  CallerStream* caller_stream_ = nullptr;
  ComponentBase* owner_ = nullptr;
};

}  // namespace tw
