#include "formats/xml_document.h"

#include <cstring>

#include "foundation/file_handle.h"

namespace tw {

namespace {

constexpr char kTextOutputExists[] = "OutputFile already exists and Overwrite is False.";
constexpr char kTextCannotOpenInput[] = "Can't open file for reading.";
constexpr char kTextStreamRead[] = "Could not read the input stream.";

constexpr char kDefaultVersion[] = "1.0";
constexpr char kDefaultEncoding[] = "utf-8";

constexpr int kReadBlock = 16384;

// Settings the document hands to its parser unchanged.
constexpr const char* kParserSettings[] = {
    "IgnoreBadAttributePrefixes", "IgnoreBadElementPrefixes", "AllowMoreThanOneRoot",
    "AllowTextOutsideRoot",       "UseEncoding",              "PreserveWhitespace",
    "ErrorOnEmptyAttr",           "AllowLeadingDigit",        "ValidateLessThanSign",
    "ExtraSpaceChars",            "ExtraNameChars",
};

// Parser flags the document answers itself.
struct ParserFlag {
  const char* name;
  bool (XmlParser::*get)() const;
  void (XmlParser::*set)(bool);
};
constexpr ParserFlag kParserFlags[] = {
    {"IncludeUnknownPrefixes", &XmlParser::include_unknown_prefixes,
     &XmlParser::set_include_unknown_prefixes},
    {"IncludeElementPrefix", &XmlParser::include_element_prefix,
     &XmlParser::set_include_element_prefix},
    {"DisableEvalEntityEvent", &XmlParser::disable_eval_entity,
     &XmlParser::set_disable_eval_entity},
    {"CacheContent", &XmlParser::keep_original_text, &XmlParser::set_keep_original_text},
    {"KeepOriginalText", &XmlParser::keep_original_text, &XmlParser::set_keep_original_text},
    {"HTMLComments", &XmlParser::html_comments, &XmlParser::set_html_comments},
    {"FlushOnEOL", &XmlParser::flush_on_eol, &XmlParser::set_flush_on_eol},
};

}  // namespace

// ---- Callback forwarding ----

int XmlDocumentComponent::Forwarder::Characters(const char* text) {
  return owner ? owner->Characters(text) : 0;
}
int XmlDocumentComponent::Forwarder::Comment(const char* text) {
  return owner ? owner->Comment(text) : 0;
}
int XmlDocumentComponent::Forwarder::EndElement(const char* uri, const char* local,
                                                const char* qname, int empty) {
  return owner ? owner->EndElement(uri, local, qname, empty) : 0;
}
int XmlDocumentComponent::Forwarder::EndPrefixMapping(const char* prefix) {
  return owner ? owner->EndPrefixMapping(prefix) : 0;
}
int XmlDocumentComponent::Forwarder::Error(int code, const char* text) {
  return owner ? owner->Error(code, text) : 0;
}
int XmlDocumentComponent::Forwarder::EvalEntity(const char* name, ByteString& value) {
  return owner ? owner->EvalEntity(name, value) : 0;
}
int XmlDocumentComponent::Forwarder::IgnorableWhitespace(const char* text) {
  return owner ? owner->IgnorableWhitespace(text) : 0;
}
int XmlDocumentComponent::Forwarder::Declaration(const char* text) {
  return owner ? owner->Declaration(text) : 0;
}
int XmlDocumentComponent::Forwarder::ProcessingInstruction(const char* text) {
  return owner ? owner->ProcessingInstruction(text) : 0;
}
int XmlDocumentComponent::Forwarder::MarkedSection(const char* keyword, const char* content) {
  return owner ? owner->MarkedSection(keyword, content) : 0;
}
int XmlDocumentComponent::Forwarder::StartElement(const char* uri, const char* local,
                                                  const char* qname, int empty) {
  return owner ? owner->StartElement(uri, local, qname, empty) : 0;
}
int XmlDocumentComponent::Forwarder::StartPrefixMapping(const char* prefix, const char* uri) {
  return owner ? owner->StartPrefixMapping(prefix, uri) : 0;
}

// ---- Events ----

int XmlDocumentComponent::Characters(const char* text) { return FireEvent(1, text); }
int XmlDocumentComponent::Comment(const char* text) { return FireEvent(2, text); }
int XmlDocumentComponent::EndElement(const char* uri, const char* local, const char* qname,
                                     int empty) {
  return FireEvent(3, uri, local, qname, empty);
}
int XmlDocumentComponent::EndPrefixMapping(const char* prefix) { return FireEvent(4, prefix); }
int XmlDocumentComponent::Error(int code, const char* text) { return FireEvent(5, code, text); }
int XmlDocumentComponent::EvalEntity(const char* name, ByteString& value) {
  return FireEvent(6, name, &value);
}
int XmlDocumentComponent::IgnorableWhitespace(const char* text) { return FireEvent(7, text); }
int XmlDocumentComponent::Declaration(const char* text) { return FireEvent(8, text); }
int XmlDocumentComponent::ProcessingInstruction(const char* text) { return FireEvent(9, text); }
int XmlDocumentComponent::MarkedSection(const char* keyword, const char* content) {
  return FireEvent(10, keyword, content);
}
int XmlDocumentComponent::StartElement(const char* uri, const char* local, const char* qname,
                                       int empty) {
  return FireEvent(11, uri, local, qname, empty);
}
int XmlDocumentComponent::StartPrefixMapping(const char* prefix, const char* uri) {
  return FireEvent(12, prefix, uri);
}
int XmlDocumentComponent::FireLog(int level, const char* text, const char* type) {
  return FireEvent(13, text);
}

// ---- Life cycle ----

XmlDocumentComponent::XmlDocumentComponent() {
  parser_.SetCallbacks(&forwarder_);
  parser_.set_build_dom(true);
  SetDeclarationDefaults();
}

XmlDocumentComponent::~XmlDocumentComponent() { parser_.SetCallbacks(nullptr); }

int XmlDocumentComponent::SetDeclarationDefaults() {
  int rc = declaration_.version.SetText(kDefaultVersion);
  if (rc == kOk) rc = declaration_.encoding.SetText(kDefaultEncoding);
  declaration_.standalone = 1;
  return rc;
}

bool XmlDocumentComponent::Initialize() {
  InitCharset();
  forwarder_.owner = this;
  parser_.SetCallbacks(&forwarder_);
  parser_.set_charset_mode(charset_mode());
  parser_.SyncCharset(true);
  writer_.set_owner(this);
  if (!writer_.Initialize()) return false;
  if (SetDeclarationDefaults() != kOk) return false;
  return Reset() == kOk;
}

int XmlDocumentComponent::Reset() {
  parser_.Reset();
  parsing_ = false;
  int rc = writer_.Reset();
  if (rc != kOk) return rc;
  input_text_.Reset();
  output_text_.Reset();
  input_file_.Reset();
  output_file_.Reset();
  rc = SetDeclarationDefaults();
  if (rc != kOk) return rc;
  overwrite_ = false;
  writing_started_ = false;
  input_stream_ = nullptr;
  output_stream_ = nullptr;
  include_declaration_ = true;
  close_input_stream_ = true;
  close_output_stream_ = true;
  return kOk;
}

// ---- Settings ----

int XmlDocumentComponent::Config(ConfigRequest& request, const char** answer) {
  const bool read = request.is_read();
  for (const char* name : kParserSettings) {
    if (request.NameIs(name)) {
      int rc = parser_.Config(request, answer);
      if (rc != kOk) SetErrorText(parser_.error_text().c_str());
      return rc;
    }
  }
  for (const ParserFlag& f : kParserFlags) {
    if (!request.NameIs(f.name)) continue;
    if (read) return SetConfigAnswerBool((parser_.*f.get)(), answer);
    (parser_.*f.set)(request.ValueAsBool());
    return kOk;
  }
  if (request.NameIs("StringProcessingOptions")) {
    if (read) return SetConfigAnswerSigned(string_processing_options_, answer);
    string_processing_options_ = request.ValueAsInt();
    parser_.set_resolve_references((string_processing_options_ & 1) != 0);
    return kOk;
  }
  if (request.NameIs("XContents") || request.NameIs("XSubTree")) {
    if (!read) return kOk;
    const char* text = "";
    int rc = request.NameIs("XSubTree") ? SubTree(&text) : Contents(&text);
    if (rc != kOk) return rc;
    return SetConfigAnswer(text, answer);
  }
  if (request.NameIs("Offset")) {
    if (read) return SetConfigAnswerInt64(parser_.offset(), answer);
    return kOk;
  }
  struct FlagSetting {
    const char* name;
    bool* flag;
  };
  const FlagSetting flags[] = {
      {"CloseInputStreamAfterProcess", &close_input_stream_},
      {"CloseStream", &close_output_stream_},
      {"CloseOutputStreamAfterProcess", &close_output_stream_},
      {"IncludeXMLDeclaration", &include_declaration_},
  };
  for (const FlagSetting& f : flags) {
    if (!request.NameIs(f.name)) continue;
    if (read) return SetConfigAnswerBool(*f.flag, answer);
    *f.flag = request.ValueAsBool();
    return kOk;
  }
  if (request.NameIs("QuoteChar")) {
    if (read) return SetConfigAnswer(writer_.quote_char().c_str(), answer);
    return writer_.set_quote_char(request.value().c_str());
  }
  if (request.NameIs("Charset")) {
    return writer_.Config(request, answer);
  }
  if (request.NameIs("EOL")) {
    if (read) return SetConfigAnswer(writer_.eol().c_str(), answer);
    return writer_.set_eol(request.value().c_str());
  }
  if (request.NameIs("Indent")) {
    if (read) return SetConfigAnswer(writer_.indent().c_str(), answer);
    return writer_.set_indent(request.value().c_str());
  }
  if (request.NameIs("CodePage") && !read && IsConvertibleCodePage(request.ValueAsInt())) {
    const int code_page = request.ValueAsInt();
    parser_.set_parser_code_page(code_page);
    parser_.set_code_page(code_page);
    writer_.set_code_page(code_page);
  }
  return ComponentBase::Config(request, answer);
}

// ---- Reading ----

int XmlDocumentComponent::SetInputText(const char* text, int n) {
  if (!text) return input_text_.SetText("");
  return n < 0 ? input_text_.SetText(text) : input_text_.Set(text, n);
}

int XmlDocumentComponent::ParseFailed(int rc) {
  SetErrorText(parser_.parse_error().empty() ? XmlErrorText(rc) : parser_.parse_error().c_str());
  set_error_code(rc);
  parsing_ = false;
  return rc;
}

int XmlDocumentComponent::StartParse() {
  parser_.Reset();
  parser_.set_build_dom(true);
  parsing_ = true;
  return kOk;
}

int XmlDocumentComponent::ParseChunk(const void* data, int n) {
  if (!parsing_) StartParse();
  int rc = parser_.InputBytes(data, n);
  return rc != kOk ? ParseFailed(rc) : kOk;
}

int XmlDocumentComponent::FinishParse() {
  if (!parsing_) StartParse();
  int rc = parser_.Flush(true);
  parsing_ = false;
  return rc != kOk ? ParseFailed(rc) : kOk;
}

int XmlDocumentComponent::Parse() {
  StartParse();
  int rc = kOk;
  if (!input_file_.empty()) {
    FileHandle file;
    if (file.OpenReadText(input_file_.c_str(), 0, static_cast<unsigned>(GetCodePage())) != kOk) {
      parsing_ = false;
      SetErrorText(kTextCannotOpenInput);
      set_error_code(kFileOpenReadFailed);
      return kFileOpenReadFailed;
    }
    InlineBuffer16K block;
    if (block.Resize(kReadBlock) != kOk) return ParseFailed(kErrOutOfMemory);
    for (;;) {
      size_t got = 0;
      rc = file.ReadSome(block.data(), kReadBlock, &got);
      if (rc != kOk) {
        parsing_ = false;
        SetErrorText(kTextCannotOpenInput);
        set_error_code(rc);
        return rc;
      }
      if (got == 0) break;
      rc = ParseChunk(block.data(), static_cast<int>(got));
      if (rc != kOk) return rc;
    }
  } else if (input_stream_) {
    InlineBuffer16K block;
    if (block.Resize(kReadBlock) != kOk) return ParseFailed(kErrOutOfMemory);
    for (;;) {
      const int got = input_stream_->Read(block.data(), kReadBlock);
      if (got < 0) {
        parsing_ = false;
        SetErrorText(kTextStreamRead);
        set_error_code(kStreamReadFailed);
        return kStreamReadFailed;
      }
      if (got == 0) break;
      rc = ParseChunk(block.data(), got);
      if (rc != kOk) break;
    }
    if (close_input_stream_) input_stream_->Close();
    if (rc != kOk) return rc;
  } else {
    rc = ParseChunk(input_text_.data(), input_text_.length());
    if (rc != kOk) return rc;
  }
  return FinishParse();
}

// ---- Cursor ----

int XmlDocumentComponent::CursorFailed(int rc) {
  SetErrorText(parser_.parse_error().c_str());
  set_error_code(rc);
  return rc;
}

int XmlDocumentComponent::SelectPath(const char* path) {
  int rc = parser_.cursor().SelectPath(path);
  return rc != kOk ? CursorFailed(rc) : kOk;
}

bool XmlDocumentComponent::TrySelect(const char* path) { return parser_.cursor().TrySelect(path); }

int XmlDocumentComponent::SelectChild(int n) {
  int rc = parser_.cursor().SelectChild(n);
  return rc != kOk ? CursorFailed(rc) : kOk;
}

int XmlDocumentComponent::SelectParent() {
  int rc = parser_.cursor().SelectParent();
  return rc != kOk ? CursorFailed(rc) : kOk;
}

int XmlDocumentComponent::GetAttribute(const char* name, const char** value) {
  int rc = parser_.cursor().GetAttribute(name, value);
  return rc != kOk ? CursorFailed(rc) : kOk;
}

int XmlDocumentComponent::SubTree(const char** text) {
  int rc = parser_.SubTreeText(text);
  return rc != kOk ? CursorFailed(rc) : kOk;
}

int XmlDocumentComponent::Contents(const char** text) {
  int rc = parser_.ContentsText(text);
  return rc != kOk ? CursorFailed(rc) : kOk;
}

// ---- Writing ----

int XmlDocumentComponent::WriterFailed(int rc) {
  SetErrorText(writer_.error_text().c_str());
  set_error_code(rc);
  return rc;
}

int XmlDocumentComponent::BeginWriting() {
  if (writing_started_) return kOk;
  writer_.set_code_page(GetCodePage());
  if (!output_file_.empty()) {
    if (!overwrite_ && FileExists(output_file_.c_str())) {
      SetErrorText(kTextOutputExists);
      set_error_code(kXmlErrOutputExists);
      return kXmlErrOutputExists;
    }
    int rc = writer_.SetOutputFile(output_file_.c_str());
    if (rc != kOk) return WriterFailed(rc);
  }
  if (output_stream_) writer_.SetOutputStream(output_stream_);
  writer_.set_close_stream(close_output_stream_);
  writing_started_ = true;
  if (include_declaration_ && !declaration_.version.empty()) {
    int rc = writer_.WriteDeclaration(declaration_.version.c_str(),
                                      !declaration_.encoding.empty(),
                                      declaration_.standalone != 0);
    if (rc != kOk) return WriterFailed(rc);
  }
  return kOk;
}

int XmlDocumentComponent::EndWriting() {
  int rc = writer_.Close();
  writing_started_ = false;
  int copy = output_text_.Assign(writer_.output());
  if (rc != kOk) return WriterFailed(rc);
  return copy;
}

int XmlDocumentComponent::WriteStartElement(const char* qname, const char* uri) {
  int rc = BeginWriting();
  if (rc == kOk) rc = writer_.StartElement(qname, uri);
  return rc != kOk && rc != kXmlErrOutputExists ? WriterFailed(rc) : rc;
}

int XmlDocumentComponent::WriteEndElement() {
  int rc = BeginWriting();
  if (rc == kOk) rc = writer_.EndElement();
  return rc != kOk && rc != kXmlErrOutputExists ? WriterFailed(rc) : rc;
}

int XmlDocumentComponent::WriteElement(const char* qname, const char* uri, const char* text) {
  int rc = BeginWriting();
  if (rc == kOk) rc = writer_.WriteElement(qname, uri, text);
  return rc != kOk && rc != kXmlErrOutputExists ? WriterFailed(rc) : rc;
}

}  // namespace tw
