// The parser as a component: its construction, its settings and the callbacks that fire its
// events.
#include <cstring>

#include "formats/xml_parser.h"
#include "foundation/text_conversion.h"

namespace tw {

namespace {

// The parser's encodings are named by the document encoding table.
static_assert(kXmlEncodingNone == kDocAscii && kXmlEncodingUtf8 == kDocUtf8 &&
              kXmlEncodingUtf16Le == kDocUtf16Le && kXmlEncodingUtf16Be == kDocUtf16Be &&
              kXmlEncodingUtf32Le == kDocUtf32Le && kXmlEncodingUtf32Be == kDocUtf32Be);

// Bool settings of the parser: name and member.
struct BoolSetting {
  const char* name;
  bool XmlParser::*flag;
};

}  // namespace

// ---- Callbacks that fire the component's events ----

int XmlParser::EventCallbacks::Characters(const char* text) { return owner_->FireEvent(1, text); }
int XmlParser::EventCallbacks::Comment(const char* text) { return owner_->FireEvent(2, text); }
int XmlParser::EventCallbacks::EndElement(const char* uri, const char* local, const char* qname,
                                          int empty) {
  return owner_->FireEvent(3, uri, local, qname, empty);
}
int XmlParser::EventCallbacks::EndPrefixMapping(const char* prefix) {
  return owner_->FireEvent(4, prefix);
}
int XmlParser::EventCallbacks::Error(int code, const char* text) {
  return owner_->FireEvent(5, code, text);
}
// The sink may change the value through the ByteString pointer it is handed.
int XmlParser::EventCallbacks::EvalEntity(const char* name, ByteString& value) {
  return owner_->FireEvent(6, name, &value);
}
int XmlParser::EventCallbacks::IgnorableWhitespace(const char* text) {
  return owner_->FireEvent(7, text);
}
int XmlParser::EventCallbacks::Declaration(const char* text) { return owner_->FireEvent(8, text); }
int XmlParser::EventCallbacks::ProcessingInstruction(const char* text) {
  return owner_->FireEvent(9, text);
}
int XmlParser::EventCallbacks::MarkedSection(const char* keyword, const char* content) {
  return owner_->FireEvent(10, keyword, content);
}
int XmlParser::EventCallbacks::StartElement(const char* uri, const char* local, const char* qname,
                                            int empty) {
  return owner_->FireEvent(11, uri, local, qname, empty);
}
int XmlParser::EventCallbacks::StartPrefixMapping(const char* prefix, const char* uri) {
  return owner_->FireEvent(12, prefix, uri);
}

// ---- Construction, settings ----

XmlParser::XmlParser() : callbacks_(&event_callbacks_), cursor_(this) {
  BuildTables();
  ClearState();
}

XmlParser::~XmlParser() = default;

void XmlParser::SetCallbacks(XmlParserCallbacks* callbacks) {
  callbacks_ = callbacks ? callbacks : &event_callbacks_;
}

void XmlParser::BuildTables() {
  ++tables_version_;
  std::memset(space_table_, 0, sizeof space_table_);
  std::memset(name_table_, 0, sizeof name_table_);
  std::memset(name_start_table_, 0, sizeof name_start_table_);
  for (uint8_t c : {' ', '\t', '\n', '\f', '\r'}) space_table_[c] = 1;
  for (int c = 0; c < 256; ++c) {
    const bool letter = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
    const bool high = (c >= 0xC0 && c <= 0xD6) || (c >= 0xD8 && c <= 0xF6) || c >= 0xF8;
    const bool digit = c >= '0' && c <= '9';
    if (letter || high || c == ':' || c == '_') name_start_table_[c] = 1;
    if (letter || high || digit || c == ':' || c == '_' || c == '-' || c == '.' || c == 0xB7) {
      name_table_[c] = 1;
    }
    if (digit && allow_leading_digit_) name_start_table_[c] = 1;
  }
  for (int i = 0; i < extra_space_chars_.length(); ++i) {
    space_table_[extra_space_chars_.bytes()[i]] = 1;
  }
  for (int i = 0; i < extra_name_chars_.length(); ++i) {
    name_table_[extra_name_chars_.bytes()[i]] = 1;
  }
  // ">" ends a name and is no space: an end tag can be matched in place.
  plain_end_tags_ = !name_table_[uint8_t{'>'}] && !space_table_[uint8_t{'>'}];
  std::memset(text_stop_, 0, sizeof text_stop_);
  text_stop_['<'] = 1;
  text_stop_['&'] = 1;
  text_stop_['\n'] = 1;
  if (double_byte_) {
    for (int c = 0x81; c <= 0x9F; ++c) text_stop_[c] = 1;
    for (int c = 0xE0; c <= 0xEF; ++c) text_stop_[c] = 1;
  }
}

void XmlParser::SetAllowLeadingDigit(bool on) {
  allow_leading_digit_ = on;
  BuildTables();
}

int XmlParser::SetExtraSpaceChars(const char* text) {
  int rc = extra_space_chars_.SetText(text);
  BuildTables();
  return rc;
}

int XmlParser::SetExtraNameChars(const char* text) {
  int rc = extra_name_chars_.SetText(text);
  BuildTables();
  return rc;
}

void XmlParser::SetUseEncoding(const char* name) {
  const char* n = name ? name : "";
  int chosen = kXmlEncodingNone;
  bool automatic = true;
  for (int e = kXmlEncodingUtf8; e <= kXmlEncodingUtf32Be; ++e) {
    if (StrNICmp(n, DocumentEncodingName(e), 64) == 0) {
      chosen = e;
      automatic = false;
    }
  }
  const bool utf16 = encoding_ == kXmlEncodingUtf16Le || encoding_ == kXmlEncodingUtf16Be;
  const bool utf32 = encoding_ == kXmlEncodingUtf32Le || encoding_ == kXmlEncodingUtf32Be;
  if ((StrNICmp(n, "UTF-16", 64) == 0 && utf16) || (StrNICmp(n, "UTF-32", 64) == 0 && utf32)) {
    chosen = encoding_;  // the byte order stays
    automatic = false;
  }
  encoding_ = chosen;
  use_encoding_ = chosen;
  auto_encoding_ = automatic;
}

int XmlParser::Config(ConfigRequest& request, const char** answer) {
  static constexpr BoolSetting kBools[] = {
      {"IgnoreBadAttributePrefixes", &XmlParser::ignore_bad_attribute_prefixes_},
      {"IgnoreBadElementPrefixes", &XmlParser::ignore_bad_element_prefixes_},
      {"IncludeUnknownPrefixes", &XmlParser::include_unknown_prefixes_},
      {"AllowMoreThanOneRoot", &XmlParser::allow_more_than_one_root_},
      {"AllowTextOutsideRoot", &XmlParser::allow_text_outside_root_},
      {"CacheContent", &XmlParser::keep_original_text_},
      {"KeepOriginalText", &XmlParser::keep_original_text_},
      {"DisableEvalEntityEvent", &XmlParser::disable_eval_entity_},
      {"HTMLComments", &XmlParser::html_comments_},
      {"PreserveWhitespace", &XmlParser::preserve_whitespace_},
      {"ErrorOnEmptyAttr", &XmlParser::error_on_empty_attribute_},
      {"ValidateLessThanSign", &XmlParser::validate_less_than_sign_},
      {"FlushOnEOL", &XmlParser::flush_on_eol_},
  };
  const bool read = request.is_read();
  for (const BoolSetting& s : kBools) {
    if (!request.NameIs(s.name)) continue;
    if (read) return SetConfigAnswerBool(this->*(s.flag), answer);
    this->*(s.flag) = request.ValueAsBool();
    return kOk;
  }
  if (request.NameIs("AllowLeadingDigit")) {
    if (read) return SetConfigAnswerBool(allow_leading_digit_, answer);
    SetAllowLeadingDigit(request.ValueAsBool());
    return kOk;
  }
  if (request.NameIs("XSubTree") || request.NameIs("XContents")) {
    if (!read) return kOk;
    const char* text = "";
    const bool whole = request.NameIs("XSubTree");
    int rc = whole ? SubTreeText(&text) : ContentsText(&text);
    if (rc != kOk) {
      CopyParseError();
      return rc;
    }
    return SetConfigAnswer(text, answer);
  }
  if (request.NameIs("UseEncoding")) {
    if (read) {
      return SetConfigAnswer(DocumentEncodingName(encoding_), answer);
    }
    SetUseEncoding(request.value().c_str());
    return kOk;
  }
  if (request.NameIs("ExtraSpaceChars")) {
    if (read) return SetConfigAnswer(extra_space_chars_.c_str(), answer);
    return SetExtraSpaceChars(request.value().c_str());
  }
  if (request.NameIs("ExtraNameChars")) {
    if (read) return SetConfigAnswer(extra_name_chars_.c_str(), answer);
    return SetExtraNameChars(request.value().c_str());
  }
  if (request.NameIs("CodePage") && !read && IsConvertibleCodePage(request.ValueAsInt())) {
    parser_code_page_ = request.ValueAsInt();
  }
  return ComponentBase::Config(request, answer);
}

}  // namespace tw
