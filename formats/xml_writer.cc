#include "formats/xml_writer.h"

#include <cstring>

#include "foundation/stream.h"

namespace tw {

namespace {

constexpr char kTextNoOpenElements[] = "No elements are currently open.";
constexpr char kTextNoContentHere[] = "Can't write content text here.";
constexpr char kTextNoDeclarationNow[] = "Cannot write an XML declaration at this time.";
constexpr char kTextInvalidName[] = "Invalid XML name: ";
constexpr char kTextCouldNotOpen[] = "Could not open file ";
constexpr char kTextStreamWrite[] = "Could not write to the output stream.";

constexpr char kDefaultQuote[] = "\"";
constexpr char kDefaultEol[] = "\r\n";
constexpr char kDefaultIndent[] = "\t";
constexpr char kDefaultCharset[] = "utf-8";

// Replacement texts of the bytes that are escaped in text and in quoted values.
struct Escape {
  char byte;
  const char* text;
};
constexpr Escape kEscapes[] = {
    {'&', "&amp;"}, {'<', "&lt;"}, {'>', "&gt;"}, {'\'', "&apos;"}, {'"', "&quot;"},
};

bool IsNameLead(uint8_t c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || c >= 0x80;
}
bool IsNameRest(uint8_t c) {
  return IsNameLead(c) || (c >= '0' && c <= '9') || c == '-' || c == '.';
}
bool ValidNamePart(const char* p, int n) {
  if (n < 1 || !IsNameLead(static_cast<uint8_t>(p[0]))) return false;
  for (int i = 1; i < n; ++i) {
    if (!IsNameRest(static_cast<uint8_t>(p[i]))) return false;
  }
  return true;
}

}  // namespace

XmlWriter::~XmlWriter() { CloseOutput(); }

int XmlWriter::Fail(int code, const char* text) {
  SetErrorText(text);
  set_error_code(code);
  return code;
}

int XmlWriter::Config(ConfigRequest& request, const char** answer) {
  const bool read = request.is_read();
  if (request.NameIs("QuoteChar")) {
    if (read) return SetConfigAnswer(quote_char_.c_str(), answer);
    return quote_char_.SetText(request.value().c_str());
  }
  if (request.NameIs("Charset")) {
    if (read) return SetConfigAnswer(charset_.c_str(), answer);
    return charset_.SetText(request.value().c_str());
  }
  if (request.NameIs("CloseStream")) {
    if (read) return SetConfigAnswerBool(close_stream_, answer);
    close_stream_ = request.ValueAsBool();
    return kOk;
  }
  return ComponentBase::Config(request, answer);
}

bool XmlWriter::Initialize() {
  if (quote_char_.SetText(kDefaultQuote) != kOk || eol_.SetText(kDefaultEol) != kOk ||
      indent_.SetText(kDefaultIndent) != kOk || charset_.SetText(kDefaultCharset) != kOk) {
    return false;
  }
  if (Reset() != kOk) return false;
  InitCharset();
  return true;
}

int XmlWriter::Reset() {
  CloseOutput();
  output_.Reset();
  last_kind_ = kLastNone;
  depth_ = 0;
  elements_.Clear();
  content_written_ = false;
  caller_stream_ = nullptr;
  close_stream_ = true;
  return kOk;
}

void XmlWriter::SetOutputStream(CallerStream* stream) {
  caller_stream_ = stream;
  if (stream) output_file_.Reset();
}

int XmlWriter::SetOutputFile(const char* path) {
  int rc = output_file_.SetText(path);
  if (!output_file_.empty()) caller_stream_ = nullptr;
  return rc;
}

// ---- Output ----

int XmlWriter::Begin() {
  if (output_open_) return kOk;
  if (!output_file_.empty()) {
    int rc = file_.OpenWriteText(output_file_.c_str(), 0, static_cast<unsigned>(GetCodePage()));
    if (rc != kOk) {
      ByteString text;
      text.SetText(kTextCouldNotOpen);
      text.AppendQuoted(output_file_.c_str());
      text.AppendByte('.');
      return Fail(rc, text.c_str());
    }
    active_file_ = true;
    close_when_done_ = true;
  } else if (caller_stream_) {
    active_stream_ = caller_stream_;
    close_when_done_ = close_stream_;
  } else {
    return kOk;  // into the output text: nothing to open
  }
  output_open_ = true;
  content_written_ = false;
  return kOk;
}

int XmlWriter::CloseOutput() {
  int rc = kOk;
  if (active_file_) rc = file_.Close();
  if (active_stream_ && close_when_done_) active_stream_->Close();
  active_file_ = false;
  active_stream_ = nullptr;
  close_when_done_ = false;
  output_open_ = false;
  return rc;
}

int XmlWriter::Write(const char* p, int n) {
  if (n < 0) n = static_cast<int>(std::strlen(p));
  if (n == 0) return kOk;
  content_written_ = true;
  if (active_file_) {
    int rc = file_.Write(p, static_cast<size_t>(n));
    return rc != kOk ? Fail(rc, kTextStreamWrite) : kOk;
  }
  if (active_stream_) {
    while (n > 0) {
      const int put = active_stream_->Write(p, n);
      if (put <= 0) return Fail(kStreamWriteFailed, kTextStreamWrite);
      p += put;
      n -= put;
    }
    return kOk;
  }
  int rc = output_.Append(p, n);
  return rc != kOk ? Fail(rc, DefaultErrorText(rc)) : kOk;
}

int XmlWriter::WriteEscaped(const char* text) {
  const char* run = text;
  for (const char* p = text;; ++p) {
    const char* replacement = nullptr;
    for (const Escape& e : kEscapes) {
      if (*p == e.byte) replacement = e.text;
    }
    if (!replacement && *p) continue;
    int rc = Write(run, static_cast<int>(p - run));
    if (rc != kOk) return rc;
    if (!*p) return kOk;
    rc = WriteText0(replacement);
    if (rc != kOk) return rc;
    run = p + 1;
  }
}

int XmlWriter::WriteQuoted(const char* text) {
  int rc = WriteText0(quote_char_.c_str());
  if (rc == kOk) rc = WriteEscaped(text);
  if (rc == kOk) rc = WriteText0(quote_char_.c_str());
  return rc;
}

int XmlWriter::WriteRaw(const char* text) {
  if (!text) return kOk;
  int rc = Begin();
  return rc != kOk ? rc : WriteText0(text);
}

int XmlWriter::WriteIndentation(int levels) {
  // Nothing before the first output, and nothing inside an element that holds text.
  if (!content_written_) return kOk;
  const XmlWriterElement* top = elements_.At(elements_.Count() - 1);
  if (top && top->has_content) return kOk;
  int rc = WriteText0(eol_.c_str());
  for (int i = 0; i < levels && rc == kOk; ++i) rc = WriteText0(indent_.c_str());
  return rc;
}

// Writes the pending namespace declarations of the innermost element, then ">" or " />".
int XmlWriter::CloseStartTag(bool empty) {
  XmlWriterElement* top = elements_.At(elements_.Count() - 1);
  if (top) {
    StringList& d = top->declarations;
    for (int i = 0; i + 2 < d.Count(); i += 3) {
      if (d.Get(i + 2)[0] == '1') continue;
      int rc = WriteText0(" xmlns");
      if (rc == kOk && d.GetLength(i) > 0) {
        rc = WriteText0(":");
        if (rc == kOk) rc = WriteText0(d.Get(i));
      }
      if (rc == kOk) rc = WriteText0("=");
      if (rc == kOk) rc = WriteQuoted(d.Get(i + 1));
      if (rc == kOk) rc = d.SetAtText(i + 2, "1");
      if (rc != kOk) return rc;
    }
  }
  return WriteText0(empty ? " />" : ">");
}

// ---- Elements ----

int XmlWriter::CheckName(const char* qname, const char** colon) {
  const char* name = qname ? qname : "";
  const char* c = std::strchr(name, ':');
  const int n = static_cast<int>(std::strlen(name));
  const bool valid = c ? ValidNamePart(name, static_cast<int>(c - name)) &&
                             ValidNamePart(c + 1, static_cast<int>(name + n - c - 1))
                       : ValidNamePart(name, n);
  if (!valid) {
    ByteString text;
    text.SetText(kTextInvalidName);
    text.AppendQuoted(name);
    text.AppendByte('.');
    return Fail(kXmlErrWriterName, text.c_str());
  }
  *colon = c;
  return kOk;
}

int XmlWriter::StartElement(const char* qname, const char* uri) {
  const char* colon = nullptr;
  int rc = CheckName(qname, &colon);
  if (rc != kOk) return rc;
  if (!uri) uri = "";
  rc = Begin();
  if (rc != kOk) return rc;
  if (last_kind_ == kLastStartTag) {
    rc = CloseStartTag(false);
    if (rc != kOk) return rc;
  }
  rc = WriteIndentation(depth_);
  if (rc != kOk) return rc;
  ++depth_;

  XmlWriterElement* element = NewRecord<XmlWriterElement>();
  if (!element) return Fail(kErrOutOfMemory, DefaultErrorText(kErrOutOfMemory));
  rc = element->local.SetText(colon ? colon + 1 : qname);
  if (rc == kOk) rc = element->prefix.Set(qname, colon ? static_cast<int>(colon - qname) : 0);
  if (rc == kOk) rc = element->uri.SetText(uri);
  if (rc == kOk && elements_.Count() == 0) {
    // The document element starts with the empty prefix bound to no namespace, already known.
    rc = element->declarations.AddText("");
    if (rc == kOk) rc = element->declarations.AddText("");
    if (rc == kOk) rc = element->declarations.AddText("1");
  }
  if (rc != kOk) {
    DeleteRecord(element);
    return Fail(rc, DefaultErrorText(rc));
  }
  rc = elements_.InsertOwned(elements_.Count(), element);
  if (rc != kOk) return Fail(rc, DefaultErrorText(rc));

  // The innermost declaration of the prefix decides whether a new one is needed.
  const char* found_uri = nullptr;
  for (int e = elements_.Count() - 1; e >= 0 && !found_uri; --e) {
    const StringList& d = elements_.At(e)->declarations;
    for (int i = d.Count() - 3; i >= 0; i -= 3) {
      if (std::strcmp(d.Get(i), element->prefix.c_str()) == 0) {
        found_uri = d.Get(i + 1);
        break;
      }
    }
  }
  if (!found_uri || std::strcmp(found_uri, uri) != 0) {
    rc = element->declarations.AddText(element->prefix.c_str());
    if (rc == kOk) rc = element->declarations.AddText(uri);
    if (rc == kOk) rc = element->declarations.AddText("0");
    if (rc != kOk) return Fail(rc, DefaultErrorText(rc));
  }

  rc = WriteText0("<");
  if (rc == kOk) rc = WriteText0(qname);
  if (rc != kOk) return rc;
  last_kind_ = kLastStartTag;
  return kOk;
}

int XmlWriter::EndElement() {
  const int count = elements_.Count();
  if (count == 0) return Fail(kXmlErrWriterState, kTextNoOpenElements);
  int rc = Begin();
  if (rc != kOk) return rc;
  --depth_;
  if (depth_ < 0) depth_ = 0;
  const XmlWriterElement* top = elements_.At(count - 1);
  if (last_kind_ == kLastStartTag) {
    rc = CloseStartTag(true);
  } else {
    rc = WriteIndentation(depth_);
    if (rc == kOk) rc = WriteText0("</");
    if (rc == kOk && !top->prefix.empty()) {
      rc = WriteText0(top->prefix.c_str());
      if (rc == kOk) rc = WriteText0(":");
    }
    if (rc == kOk) rc = WriteText0(top->local.c_str());
    if (rc == kOk) rc = WriteText0(">");
  }
  elements_.RemoveAt(count - 1);
  if (rc != kOk) return rc;
  last_kind_ = kLastEndTag;
  return kOk;
}

int XmlWriter::WriteText(const char* text) {
  if (!text || !*text) return kOk;
  const int count = elements_.Count();
  if (count == 0) return Fail(kXmlErrWriterState, kTextNoContentHere);
  int rc = Begin();
  if (rc != kOk) return rc;
  if (last_kind_ == kLastStartTag) {
    rc = CloseStartTag(false);
    if (rc != kOk) return rc;
  }
  elements_.At(count - 1)->has_content = true;
  rc = WriteEscaped(text);
  if (rc != kOk) return rc;
  last_kind_ = kLastText;
  return kOk;
}

int XmlWriter::WriteElement(const char* qname, const char* uri, const char* text) {
  int rc = StartElement(qname, uri);
  if (rc == kOk) rc = WriteText(text);
  if (rc == kOk) rc = EndElement();
  return rc;
}

int XmlWriter::WriteDeclaration(const char* version, bool with_encoding, bool standalone) {
  if (last_kind_ == kLastEndTag) return Fail(kXmlErrWriterState, kTextNoDeclarationNow);
  int rc = Begin();
  if (rc == kOk) rc = WriteText0("<?xml version=");
  if (rc == kOk) rc = WriteQuoted(version ? version : "");
  if (rc == kOk && with_encoding) {
    rc = WriteText0(" encoding=");
    if (rc == kOk) rc = WriteQuoted(charset_.c_str());
  }
  if (rc == kOk && standalone) {
    rc = WriteText0(" standalone=");
    if (rc == kOk) rc = WriteQuoted("yes");
  }
  if (rc == kOk) rc = WriteText0("?>");
  if (rc != kOk) return rc;
  last_kind_ = kLastDeclaration;
  return kOk;
}

int XmlWriter::Close() {
  int first = kOk;
  while (elements_.Count() > 0) {
    first = EndElement();
    if (first != kOk) break;
  }
  CloseOutput();
  caller_stream_ = nullptr;
  elements_.Clear();
  last_kind_ = kLastNone;
  depth_ = 0;
  content_written_ = false;
  return first;
}

}  // namespace tw
