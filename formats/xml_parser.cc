#include "formats/xml_parser.h"

#include <algorithm>
#include <climits>
#include <cstring>

#include "foundation/file_handle.h"
#include "foundation/text_conversion.h"
#include "platform/codepage.h"
#include "platform/heap.h"

namespace tw {

namespace {

constexpr char kTextOutOfMemory[] = "Out of memory.";
constexpr char kTextUnbalanced[] = "Unbalanced element tag.";
constexpr char kTextUnbalancedName[] = "Unbalanced element tag: ";
constexpr char kTextElementPrefix[] = "Unknown element prefix (can't find namespace).";
constexpr char kTextElementPrefixName[] = "Unknown element prefix (can't find namespace): ";
constexpr char kTextAttributePrefix[] = "Unknown attribute prefix (can't find namespace).";
constexpr char kTextAttributePrefixName[] = "Unknown attribute prefix (can't find namespace): ";
constexpr char kTextMarkup[] = "Invalid XML markup.";
constexpr char kTextLessThan[] = "Unescaped character < in the XML";
constexpr char kTextAmpersand[] = "Unescaped character & in the XML";
constexpr char kTextAttributeChar[] = "Invalid character %c used as the Attribute Name";
constexpr char kTextEndState[] = "Invalid end state for parser.";
constexpr char kTextUnbalancedDocument[] = "Document contains unbalanced elements.";
constexpr char kTextBadPath[] = "Invalid XPath.";
constexpr char kTextNoSuchChild[] = "No such child.";
constexpr char kTextTopElement[] = "Top element does not match start of path.";
constexpr char kTextNoDom[] = "DOM tree unavailable (set BuildDOM to TRUE and reparse).";
constexpr char kTextNoMarkup[] = "DOM tree unavailable: no XML markup was found in input text.";
constexpr char kTextManyRoots[] = "Invalid XML: the document has more than one root element.";
constexpr char kTextTextOutsideRoot[] =
    "Invalid XML: the document contains text outside the root element.";
constexpr char kTextNoSubtree[] = "Subtree not available unless KeepOriginalText is set.";
constexpr char kTextUtf16[] = "UTF-16 support not currently available.";
constexpr char kTextAttributeMissing[] = "Attribute does not exist.";
constexpr char kTextUnknown[] = "xmlpimpl: unknown error";
constexpr char kTextCannotOpen[] = "Can't open file for reading.";
// Table limits are no memory shortage: the texts name the limit that was hit.
constexpr char kTextTooManyAttributes[] = "An XML element has too many attributes (more than 256).";
constexpr char kTextTooManyScopes[] =
    "Too many XML namespace declarations are in scope (more than 256).";
static_assert(PairTable256::kMaxPairs == 256 && XmlParser::kMaxScopes == 256);

struct CodeText {
  int code;
  const char* text;
};
constexpr CodeText kErrorTexts[] = {
    {kErrOutOfMemory, kTextOutOfMemory},
    {kXmlErrAttributeMissing, kTextAttributeMissing},
    {kXmlErrUnbalancedTag, kTextUnbalanced},
    {kXmlErrElementPrefix, kTextElementPrefix},
    {kXmlErrAttributePrefix, kTextAttributePrefix},
    {kXmlErrMarkup, kTextMarkup},
    {kXmlErrEndState, kTextEndState},
    {kXmlErrUnbalancedDocument, kTextUnbalancedDocument},
    {kXmlErrBadPath, kTextBadPath},
    {kXmlErrNoSuchChild, kTextNoSuchChild},
    {kXmlErrTopElement, kTextTopElement},
    {kXmlErrNoDom, kTextNoDom},
    {kXmlErrManyRoots, kTextManyRoots},
    {kXmlErrTextOutsideRoot, kTextTextOutsideRoot},
    {kXmlErrNoSubtree, kTextNoSubtree},
    {kXmlErrUtf16Text, kTextUtf16},
};

// The namespace name reserved for the "xml" prefix.
constexpr char kXmlNamespace[] = "http://www.w3.org/XML/1998/namespace";

struct EncodingName {
  const char* name;
  int encoding;
};
constexpr EncodingName kEncodingNames[] = {
    {"UTF-8", kXmlEncodingUtf8},       {"UTF-16LE", kXmlEncodingUtf16Le},
    {"UTF-16BE", kXmlEncodingUtf16Be}, {"UTF-32LE", kXmlEncodingUtf32Le},
    {"UTF-32BE", kXmlEncodingUtf32Be},
};

// Bool settings of the parser: name and member.
struct BoolSetting {
  const char* name;
  bool XmlParser::*flag;
};

// Tokenizer states.
enum State {
  kText = 0,
  kMarkupName = 1,
  kAfterLt = 2,
  kInTag = 3,
  kAttributeName = 4,
  kAfterAttributeName = 5,
  kAfterEquals = 6,
  kUnquoted = 7,
  kAfterTag = 8,
  kSingleQuoted = 9,
  kDoubleQuoted = 10,
  kEndTag = 11,
  kRefText = 13,
  kRefUnquoted = 14,
  kRefSingle = 15,
  kRefDouble = 16,
  kEndTagTail = 17,
  kCommentOpen = 18,
  kComment = 19,
  kCommentDash = 20,
  kCommentEnd = 21,
  kProcessing = 22,
  kBang = 23,
  kDeclaration = 24,
  kSection = 25,
  kSectionKeyword = 26,
  kDeclSingle = 27,
  kDeclDouble = 28,
  kDeclBracket = 29,
  kDoubleByteTrail = 30,
  kHtmlComment = 31,
};

constexpr uint32_t kMaxCodePoint = 0x10FFFF;
constexpr uint32_t kReplacement = 0xFFFD;

bool IsXmlChar(uint32_t cp) {
  if (cp < 0x20) return cp == 0x9 || cp == 0xA || cp == 0xD;
  if (cp <= 0xD7FF) return true;
  if (cp < 0xE000) return false;
  if (cp <= 0xFFFD) return true;
  return cp >= 0x10000 && cp <= kMaxCodePoint;
}

bool EqualsText(const char* p, int n, const char* text) {
  const size_t len = std::strlen(text);
  return static_cast<size_t>(n) == len && std::memcmp(p, text, len) == 0;
}

bool EqualsNoCaseN(const char* p, int n, const char* text) {
  const size_t len = std::strlen(text);
  return static_cast<size_t>(n) == len && StrNICmp(p, text, n) == 0;
}

// Names are a few bytes: compared eight at a time rather than through a library call.
bool SameBytes(const void* a, const void* b, size_t n) {
  const auto* x = static_cast<const uint8_t*>(a);
  const auto* y = static_cast<const uint8_t*>(b);
  uint64_t u, v;
  if (n >= 8) {
    for (size_t i = 0; i + 8 <= n; i += 8) {
      std::memcpy(&u, x + i, 8);
      std::memcpy(&v, y + i, 8);
      if (u != v) return false;
    }
    std::memcpy(&u, x + n - 8, 8);
    std::memcpy(&v, y + n - 8, 8);
    return u == v;
  }
  for (size_t i = 0; i < n; ++i) {
    if (x[i] != y[i]) return false;
  }
  return true;
}

// A name is a few bytes: eight at a time costs less than a library search.
bool HasAmpersand(const char* p, int n) {
  int i = 0;
  for (; i + 8 <= n; i += 8) {
    uint64_t w;
    std::memcpy(&w, p + i, sizeof w);
    w ^= 0x2626262626262626ull;  // an '&' becomes a zero byte
    if (((w - 0x0101010101010101ull) & ~w & 0x8080808080808080ull) != 0) return true;
  }
  for (; i < n; ++i) {
    if (p[i] == '&') return true;
  }
  return false;
}

// Room for `need` bytes, taken as a fresh block (twice the old room at least) rather than by
// reallocation: the C heap's reallocation copies a block of many MiB on each growth, or remaps
// it page by page when it was given huge pages.
int EnsureRoom(ByteString& s, int64_t need) {
  if (need <= s.capacity()) return kOk;
  if (need >= INT32_MAX) return kErrOutOfMemory;
  const int64_t twice = 2LL * s.capacity();
  const int64_t room = std::min<int64_t>(std::max(need, twice), INT32_MAX - 1);
  return s.Reserve(static_cast<int>(room));
}

}  // namespace

const char XmlParser::kDepthLimitText[] = "Elements nested too deeply (more than 256 levels).";

const char* XmlErrorText(int code) {
  for (const CodeText& e : kErrorTexts) {
    if (e.code == code) return e.text;
  }
  return kTextUnknown;
}

// ---- DOM ----

void XmlDomBlock::Free() {
  if (data_ != nullptr) {
    if (ZeroMemoryEnabled()) WipeBytes(data_, size_);
    win::HeapFree(data_);
  }
  data_ = nullptr;
  size_ = reserved_;
  capacity_ = 0;
}

// A fresh block and one copy rather than reallocation: the C heap's reallocation copies a block of
// many MiB on each growth, or remaps it page by page when it was given huge pages.
int XmlDomBlock::Grow(int64_t n, uint32_t* at) {
  const int64_t need = int64_t{size_} + n;
  if (need >= INT32_MAX) return kErrOutOfMemory;
  const int64_t room =
      std::min<int64_t>(std::max({need, 2 * int64_t{capacity_}, hint_}), INT32_MAX - 1);
  auto* block = static_cast<uint8_t*>(win::HeapAlloc(static_cast<size_t>(room)));
  if (block == nullptr) return kErrOutOfMemory;
  if (data_ != nullptr) {
    std::memcpy(block, data_, size_);
    if (ZeroMemoryEnabled()) WipeBytes(data_, size_);
    win::HeapFree(data_);
  } else {
    std::memset(block, 0, reserved_);
  }
  data_ = block;
  capacity_ = static_cast<uint32_t>(room);
  *at = size_;
  size_ = static_cast<uint32_t>(need);
  return kOk;
}

void XmlDom::Clear() {
  nodes_.Free();
  texts_.Free();
  attributes_.Free();
  nodes_.set_hint(0);
  texts_.set_hint(0);
  attributes_.set_hint(0);
  for (NameSlot& slot : names_) slot = NameSlot();
  root_ = 0;
  root_count_ = 0;
}

const char* XmlDom::NamespaceUri(uint32_t ns) const {
  const char* prefix = Text(ns);
  return prefix + std::strlen(prefix) + 1;
}

void XmlDom::ExpectInput(int n) {
  // A listing's element records take about one and a half times its markup, its texts less than
  // the markup itself.
  nodes_.set_hint(std::max<int64_t>(nodes_.hint(), nodes_.size() + 3LL * n / 2));
  texts_.set_hint(std::max<int64_t>(texts_.hint(), texts_.size() + int64_t{n} * 3 / 4));
}

int XmlDom::AddText(const char* p, int n, uint32_t* offset) {
  int rc = texts_.Take(int64_t{n} + 1, offset);
  if (rc != kOk) return rc;
  char* q = reinterpret_cast<char*>(texts_.data()) + *offset;
  if (n > 0) std::memcpy(q, p, static_cast<size_t>(n));
  q[n] = 0;
  return kOk;
}

bool XmlDom::ExtendLastText(uint32_t* offset, int length, const char* p, int n, int* rc) {
  if (*offset == 0) {
    *rc = AddText(p, n, offset);
    return true;
  }
  if (*offset + static_cast<uint32_t>(length) + 1 != texts_.size()) return false;
  uint32_t at = 0;
  *rc = texts_.Take(n, &at);
  if (*rc != kOk) return true;
  char* q = reinterpret_cast<char*>(texts_.data()) + *offset + length;
  std::memcpy(q, p, static_cast<size_t>(n));
  q[n] = 0;
  return true;
}

int XmlDom::AddName(const char* p, int n, uint32_t* offset) {
  if (n <= 0) return AddText(p, n, offset);
  const auto* b = reinterpret_cast<const uint8_t*>(p);
  const unsigned hash = b[0] * 7u + b[n - 1] * 31u + b[n / 2] * 131u + static_cast<unsigned>(n);
  NameSlot& slot = names_[hash % kNameSlots];
  if (slot.length == n && SameBytes(Text(slot.offset), p, static_cast<size_t>(n))) {
    *offset = slot.offset;
    return kOk;
  }
  int rc = AddText(p, n, offset);
  if (rc == kOk) slot = {*offset, n};
  return rc;
}

int XmlDom::AddNamespace(const char* prefix, int n, const char* uri, int un, uint32_t* offset) {
  int rc = texts_.Take(int64_t{n} + un + 2, offset);
  if (rc != kOk) return rc;
  char* q = reinterpret_cast<char*>(texts_.data()) + *offset;
  if (n > 0) std::memcpy(q, prefix, static_cast<size_t>(n));
  q[n] = 0;
  if (un > 0) std::memcpy(q + n + 1, uri, static_cast<size_t>(un));
  q[n + 1 + un] = 0;
  return kOk;
}

int XmlDom::AddAttribute(const char* name, int n, const char* value, int vn, uint32_t ns) {
  XmlDomAttribute a{0, 0, ns};
  int rc = AddText(name, n, &a.name);
  if (rc == kOk) rc = AddText(value, vn, &a.value);
  uint32_t at = 0;
  if (rc == kOk) rc = attributes_.Take(sizeof a, &at);
  if (rc != kOk) return rc;
  std::memcpy(attributes_.data() + at, &a, sizeof a);
  return kOk;
}

int XmlDom::AddElement(const XmlDomNode& node, bool top_level, uint32_t* handle) {
  int rc = nodes_.Take(kNodeBytes, handle);
  if (rc != kOk) return rc;
  std::memcpy(nodes_.data() + *handle, &node, sizeof node);
  if (top_level) {
    if (root_ == 0) root_ = *handle;
    ++root_count_;
  }
  return kOk;
}

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
  for (const EncodingName& e : kEncodingNames) {
    if (StrNICmp(n, e.name, 64) == 0) {
      chosen = e.encoding;
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
      return SetConfigAnswer(encoding_ == kXmlEncodingNone ? "ASCII" : DocumentEncodingName(encoding_),
                             answer);
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
  if (request.NameIs("CodePage") && !read) {
    parser_code_page_ = request.ValueAsInt();
  }
  return ComponentBase::Config(request, answer);
}

// ---- State ----

int XmlParser::Fail(int code, const char* text) {
  parse_error_.SetText(text);
  failed_ = code;
  return code;
}

int XmlParser::SetParseError(int code, const char* text) {
  parse_error_.SetText(text ? text : XmlErrorText(code));
  return code;
}

void XmlParser::CopyParseError() { SetErrorText(parse_error_.c_str()); }

void XmlParser::ClearState() {
  buffer_.Reset();
  pos_ = 0;
  base_ = 0;
  text_start_ = lt_ = name_start_ = value_start_ = ref_start_ = ws_start_ = section_start_ = 0;
  state_ = kText;
  value_state_ = kText;
  end_name_done_ = false;
  in_start_tag_ = false;
  in_script_ = false;
  waiting_ = false;
  at_end_ = false;
  failed_ = 0;
  value_.Reset();
  current_name_.Reset();
  element_name_.Reset();
  keyword_.Reset();
  reference_.Reset();
  parse_error_.Reset();
  depth_ = 0;
  scope_count_ = 0;
  attributes_.Clear(false);
  detected_ = false;
  // What a byte order mark or a declaration chose applies to one document only.
  encoding_ = use_encoding_;
  held_count_ = 0;
  partial_ = 0;
  partial_need_ = 0;
  partial_min_ = 0;
  high_surrogate_ = 0;
  dom_.Clear();
  cursor_.Reset();
}

void XmlParser::Reset() {
  ClearState();
  open_.Clear();
  scopes_.Clear();
  attributes_.Clear(true);
}

void XmlParser::SyncCharset(bool reset) {
  // The Japanese conversions go with double-byte text (Shift-JIS lead bytes).
  set_double_byte(charset_mode() == 1);
  BuildTables();
  if (reset) Reset();
}

const char* XmlParser::PendingAttributeName(int i) const {
  const ByteString* name = attributes_.FirstAt(i);
  if (i < 0 || i >= static_cast<int>(attributes_.Count()) || !name) return "";
  const char* colon = std::strchr(name->c_str(), ':');
  return colon ? colon + 1 : name->c_str();
}

const char* XmlParser::PendingAttributeValue(int i) const {
  const ByteString* value = attributes_.SecondAt(i);
  if (i < 0 || i >= static_cast<int>(attributes_.Count()) || !value) return "";
  return value->c_str();
}

uint32_t XmlParser::LastUnclosed() const {
  for (int i = depth_ - 1; i >= 0; --i) {
    const OpenElement* e = open_.At(i);
    if (e && e->dom) return e->dom;
  }
  return 0;
}

const char* XmlParser::Temp(const char* p, int n) {
  if (temp_.Set(p, n) != kOk) return nullptr;
  return temp_.c_str();
}

// ---- Input ----

int XmlParser::Input(const char* text) {
  if (failed_) return failed_;
  if (encoding_ == kXmlEncodingUtf16Le || encoding_ == kXmlEncodingUtf16Be) {
    return Fail(kXmlErrUtf16Text, kTextUtf16);
  }
  const size_t n = text ? std::strlen(text) : 0;
  if (n > static_cast<size_t>(INT32_MAX / 2)) return Fail(kErrOutOfMemory, kTextOutOfMemory);
  return InputBytes(text, static_cast<int>(n));
}

int XmlParser::InputBytes(const void* data, int length) {
  if (failed_) return failed_;
  if (length > 0 && data) {
    if (build_dom_) dom_.ExpectInput(length);
    int rc = Append(static_cast<const uint8_t*>(data), length);
    if (rc != kOk) return Fail(rc, XmlErrorText(rc));
  }
  return Run();
}

int XmlParser::ParseAll(const char* text) {
  int rc = Input(text);
  if (rc != kOk) CopyParseError();
  return rc;
}

int XmlParser::ParseFile(const char* path) {
  FileHandle file;
  if (file.OpenReadText(path, 0, 0) != kOk) {
    SetErrorText(kTextCannotOpen);
    parse_error_.SetText(kTextCannotOpen);
    return kFileOpenReadFailed;
  }
  InlineBuffer16K block;
  block.Resize(16384);
  for (;;) {
    size_t got = 0;
    int rc = file.ReadSome(block.data(), 16384, &got);
    if (rc != kOk) return rc;
    if (got == 0) break;
    rc = InputBytes(block.data(), static_cast<int>(got));
    if (rc != kOk) {
      CopyParseError();
      return rc;
    }
  }
  return Flush(true);
}

int XmlParser::KeepFrom() const {
  switch (state_) {
    case kText:
    case kDoubleByteTrail:
    case kRefText:
    case kAfterLt:
      return text_start_;
    case kAfterTag:
      return ws_start_;
    default:
      return lt_;
  }
}

void XmlParser::DropConsumed() {
  const int keep = std::min(KeepFrom(), pos_);
  if (keep <= 0) return;
  buffer_.EraseFront(keep);
  base_ += keep;
  pos_ -= keep;
  text_start_ -= keep;
  lt_ -= keep;
  name_start_ -= keep;
  value_start_ -= keep;
  ref_start_ -= keep;
  ws_start_ -= keep;
  section_start_ -= keep;
}

int XmlParser::Append(const uint8_t* data, int n) {
  if (!keep_original_text_) DropConsumed();
  if (auto_encoding_ && !detected_) {
    // Hold the first bytes until a byte order mark can be told apart.
    while (n > 0 && held_count_ < 4) {
      held_[held_count_++] = *data++;
      --n;
    }
    if (held_count_ < 4) return kOk;
    return FinishInput() != kOk ? kErrOutOfMemory : AppendConverted(data, n);
  }
  return AppendConverted(data, n);
}

// Decides the encoding from the held first bytes (at the fourth byte or at the end of input).
int XmlParser::FinishInput() {
  if (!auto_encoding_ || detected_) return kOk;
  detected_ = true;
  int mark = 0;
  const int found = DetectDocumentEncoding(held_, held_count_, &mark);
  if (mark > 0 || found == kXmlEncodingUtf16Le || found == kXmlEncodingUtf16Be) {
    encoding_ = found;
  }
  const int n = held_count_;
  held_count_ = 0;
  return AppendConverted(held_ + mark, n - mark);
}

int XmlParser::AppendCodePoint(uint32_t cp, ByteString& out) {
  if (cp < 0x80) return out.AppendByte(static_cast<uint8_t>(cp));
  char text[16];
  int n = 0;
  text[n++] = '&';
  text[n++] = '#';
  char digits[12];
  int d = 0;
  do {
    digits[d++] = static_cast<char>('0' + cp % 10);
    cp /= 10;
  } while (cp);
  while (d) text[n++] = digits[--d];
  text[n++] = ';';
  return out.Append(text, n);
}

int XmlParser::AppendConverted(const uint8_t* data, int n) {
  if (n <= 0) return kOk;
  // A few characters converted to references may take more; those grow the buffer as ever.
  int rc = EnsureRoom(buffer_, buffer_.length() + int64_t{n} + n / 8);
  if (rc != kOk) return rc;
  if (encoding_ == kXmlEncodingNone) return buffer_.Append(data, n);
  ByteString& out = buffer_;
  int i = 0;
  if (encoding_ == kXmlEncodingUtf8) {
    while (i < n && rc == kOk) {
      if (partial_need_ == 0) {
        // Copy a run of plain bytes at once, found eight at a time.
        int j = i;
        for (uint64_t word; j + 8 <= n; j += 8) {
          std::memcpy(&word, data + j, sizeof word);
          if ((word & 0x8080808080808080ull) != 0) break;
        }
        while (j < n && data[j] < 0x80) ++j;
        if (j > i) {
          rc = out.Append(data + i, j - i);
          i = j;
          continue;
        }
      }
      const uint8_t b = data[i];
      if (partial_need_ > 0) {
        if ((b & 0xC0) == 0x80) {
          partial_ = (partial_ << 6) | (b & 0x3Fu);
          ++i;
          if (--partial_need_ == 0) {
            uint32_t cp = partial_;
            if (cp < partial_min_ || cp > kMaxCodePoint || (cp >= 0xD800 && cp <= 0xDFFF)) {
              cp = kReplacement;
            }
            rc = AppendCodePoint(cp, out);
          }
          continue;
        }
        // A sequence cut short: the byte that broke it is read on its own.
        partial_need_ = 0;
        rc = AppendCodePoint(kReplacement, out);
        continue;
      }
      ++i;
      if (b >= 0xC0 && b <= 0xDF) {
        partial_ = b & 0x1Fu;
        partial_need_ = 1;
        partial_min_ = 0x80;
      } else if (b >= 0xE0 && b <= 0xEF) {
        partial_ = b & 0x0Fu;
        partial_need_ = 2;
        partial_min_ = 0x800;
      } else if (b >= 0xF0 && b <= 0xF7) {
        partial_ = b & 0x07u;
        partial_need_ = 3;
        partial_min_ = 0x10000;
      } else {
        rc = AppendCodePoint(kReplacement, out);
      }
    }
    return rc;
  }
  const bool utf16 = encoding_ == kXmlEncodingUtf16Le || encoding_ == kXmlEncodingUtf16Be;
  const int unit = utf16 ? 2 : 4;
  for (; i < n && rc == kOk; ++i) {
    partial_ |= static_cast<uint32_t>(data[i]) << (8 * partial_need_);
    if (++partial_need_ < unit) continue;
    uint32_t v = partial_;
    partial_ = 0;
    partial_need_ = 0;
    const bool big = encoding_ == kXmlEncodingUtf16Be || encoding_ == kXmlEncodingUtf32Be;
    if (big) {
      v = utf16 ? (((v & 0xFF) << 8) | (v >> 8))
                : (((v & 0xFF) << 24) | ((v & 0xFF00) << 8) | ((v >> 8) & 0xFF00) | (v >> 24));
    }
    if (utf16) {
      if (v == 0xFFFE) {
        // A byte-swapped mark: the other byte order.
        encoding_ = encoding_ == kXmlEncodingUtf16Le ? kXmlEncodingUtf16Be : kXmlEncodingUtf16Le;
        continue;
      }
      if (high_surrogate_) {
        const uint32_t high = high_surrogate_;
        high_surrogate_ = 0;
        if (v >= 0xDC00 && v <= 0xDFFF) {
          rc = AppendCodePoint(((high & 0x3FF) << 10) + (v & 0x3FF) + 0x10000, out);
          continue;
        }
        rc = AppendCodePoint(kReplacement, out);
        if (rc != kOk) break;
      }
      if (v >= 0xD800 && v <= 0xDBFF) {
        high_surrogate_ = v;
        continue;
      }
      if (v >= 0xDC00 && v <= 0xDFFF) v = kReplacement;
    } else if (v > kMaxCodePoint || (v >= 0xD800 && v <= 0xDFFF)) {
      v = kReplacement;
    }
    rc = AppendCodePoint(v, out);
  }
  return rc;
}

// An XML declaration naming UTF-8 in a document read as plain bytes: the rest of the input is
// UTF-8, including the bytes already appended behind the declaration, so the document reads the
// same however it was split. Any other switch is ignored: bytes already converted cannot be read
// again, and a byte order mark or an explicit setting outranks the declaration.
int XmlParser::ApplyDeclaredEncoding(const char* text, int n) {
  const char* found = nullptr;
  for (int i = 0; i + 9 <= n; ++i) {
    if (std::memcmp(text + i, " encoding", 9) == 0) {
      found = text + i + 9;
      break;
    }
  }
  if (!found) return kOk;
  const char* end = text + n;
  const char* p = found;
  auto skip = [&] {
    while (p < end && (*p == ' ' || *p == '\t' || *p == '\r' || *p == '\n')) ++p;
  };
  skip();
  if (p >= end || *p != '=') return kOk;
  ++p;
  skip();
  if (p >= end || (*p != '"' && *p != '\'')) return kOk;
  const char quote = *p++;
  ShortString name;
  while (p < end && *p != quote) {
    if (*p == '\\' && p + 1 < end) ++p;
    if (name.AppendByte(static_cast<uint8_t>(*p++)) != kOk) return kErrOutOfMemory;
  }
  if (encoding_ != kXmlEncodingNone || !name.EqualsNoCase("UTF-8")) return kOk;
  encoding_ = kXmlEncodingUtf8;
  const int tail = buffer_.length() - pos_;
  if (tail <= 0) return kOk;
  ByteString rest;
  int rc = rest.Set(buffer_.data() + pos_, tail);
  if (rc != kOk) return rc;
  buffer_.Resize(pos_);
  return AppendConverted(rest.bytes(), rest.length());
}

// ---- Tokenizer ----

int XmlParser::Run() {
  if (failed_) return failed_;
  int rc = kOk;
  waiting_ = false;
  while (rc == kOk && pos_ < buffer_.length() && !waiting_) {
    const uint8_t c = buffer_.bytes()[pos_];
    switch (state_) {
      case kText:
        rc = StepText();
        break;
      case kDoubleByteTrail:
        ++pos_;
        state_ = kText;
        break;
      case kAfterLt:
        rc = StepAfterLt(c);
        break;
      case kMarkupName:
        rc = StepMarkupName(c);
        break;
      case kInTag:
        rc = StepInTag(c);
        break;
      case kAttributeName:
        rc = StepAttributeName(c);
        break;
      case kAfterAttributeName:
        rc = StepAfterAttributeName(c);
        break;
      case kAfterEquals:
        rc = StepAfterEquals(c);
        break;
      case kUnquoted:
        rc = StepUnquoted(c);
        break;
      case kSingleQuoted:
        rc = StepQuoted('\'', kRefSingle);
        break;
      case kDoubleQuoted:
        rc = StepQuoted('"', kRefDouble);
        break;
      case kAfterTag:
        rc = StepAfterTag();
        break;
      case kEndTag:
        rc = StepEndTag(c);
        break;
      case kEndTagTail:
        if (strict_) {
          rc = Fail(kXmlErrMarkup, kTextMarkup);
        } else {
          ++pos_;
          if (c == '>') {
            state_ = kAfterTag;
            ws_start_ = pos_;
          }
        }
        break;
      case kRefText:
      case kRefUnquoted:
      case kRefSingle:
      case kRefDouble:
        rc = StepReference(c);
        break;
      case kBang:
        rc = StepBang(c);
        break;
      case kCommentOpen:
      case kComment:
      case kCommentDash:
      case kCommentEnd:
      case kHtmlComment:
        rc = StepComment(c);
        break;
      case kDeclaration:
      case kDeclSingle:
      case kDeclDouble:
      case kDeclBracket:
        rc = StepDeclaration(c);
        break;
      case kSectionKeyword:
      case kSection:
        rc = StepSection(c);
        break;
      case kProcessing:
        rc = StepProcessingInstruction(c);
        break;
      default:
        rc = FailCode(kXmlErrEndState);
        break;
    }
  }
  if (rc != kOk && !failed_) {
    // A callback's own code: keep it as the parser's result.
    failed_ = rc;
    if (parse_error_.empty()) parse_error_.SetText(XmlErrorText(rc));
  }
  return rc;
}

// The next step of a tag, taken at once rather than through the dispatch in Run, when Run would
// take it next: the steps of one tag chain forward and never back, so the calls stay shallow.
template <int kState>
int XmlParser::Then() {
  if (state_ != kState || waiting_ || pos_ >= buffer_.length()) return kOk;
  const uint8_t c = buffer_.bytes()[pos_];
  if constexpr (kState == kAfterLt) return StepAfterLt(c);
  if constexpr (kState == kMarkupName) return StepMarkupName(c);
  if constexpr (kState == kInTag) return StepInTag(c);
  if constexpr (kState == kEndTag) return StepEndTag(c);
  if constexpr (kState == kAfterTag) return StepAfterTag();
  return kOk;
}

int XmlParser::StepText() {
  const uint8_t* b = buffer_.bytes();
  int end = buffer_.length();
  int p = pos_;
  while (p < end && !text_stop_[b[p]]) ++p;
  pos_ = p;
  if (p >= end) return kOk;
  uint8_t c = b[p];
  while (c == '<') {
    // The pending text is flushed once the "<" is known to start markup.
    lt_ = pos_++;
    state_ = kAfterLt;
    int rc = Then<kAfterLt>();
    // A tag read whole ends back in the text state: on with the text here, as Run would.
    if (rc != kOk || state_ != kText || waiting_ || pos_ >= buffer_.length()) return rc;
    b = buffer_.bytes();
    end = buffer_.length();
    p = pos_;
    while (p < end && !text_stop_[b[p]]) ++p;
    pos_ = p;
    if (p >= end) return kOk;
    c = b[p];
  }
  if (c == '&') {
    ref_start_ = pos_++;
    state_ = kRefText;
    return kOk;
  }
  if (c == '\n') {
    ++pos_;
    return flush_on_eol_ ? FlushText(pos_, kFlushLineEnd) : kOk;
  }
  // A double-byte lead byte: its trail byte is never markup.
  ++pos_;
  state_ = kDoubleByteTrail;
  return kOk;
}

// Converted characters stand in names as "&#digits;" (the input conversion writes every character
// of a multi-byte encoding beyond ASCII so); they are name characters like the bytes of the tables.
// The bytes of one name character at p: 0 for none, -1 when the input so far cannot tell.
int XmlParser::ConvertedNameCharLength(int p) {
  const uint8_t* b = buffer_.bytes();
  const int end = buffer_.length();
  if (b[p] != '&' || encoding_ == kXmlEncodingNone) return 0;
  int i = p + 1;
  if (i < end && b[i] != '#') return 0;
  ++i;
  const int digits = i;
  for (; i < end && i - digits <= 7; ++i) {
    if (b[i] == ';') return i > digits ? i + 1 - p : 0;
    if (b[i] < '0' || b[i] > '9') return 0;
  }
  if (i - digits > 7 || at_end_) return 0;
  waiting_ = true;
  return -1;
}

// Past a run of plain name bytes: the common case of a name, one byte at a time through the
// table instead of a state step each.
int XmlParser::SkipNameBytes(int p) const {
  const uint8_t* b = buffer_.bytes();
  const int end = buffer_.length();
  while (p + 4 <= end && name_table_[b[p]] && name_table_[b[p + 1]] && name_table_[b[p + 2]] &&
         name_table_[b[p + 3]]) {
    p += 4;
  }
  while (p < end && name_table_[b[p]]) ++p;
  return p;
}

// A name as read, with its converted characters turned into the parser's code page.
int XmlParser::TakeName(ByteString& name, int from, int to) {
  return TakeConverted(name, buffer_.data() + from, to - from);
}

int XmlParser::TakeConverted(ByteString& out, const char* text, int n) {
  int rc = out.Set(text, n);
  if (rc != kOk || encoding_ == kXmlEncodingNone || !HasAmpersand(text, n)) return rc;
  ByteString decoded;
  const char* p = out.c_str();
  const char* end = p + out.length();
  while (p < end && rc == kOk) {
    if (p[0] == '&' && p + 1 < end && p[1] == '#') {
      uint32_t cp = 0;
      const char* q = p + 2;
      while (q < end && *q >= '0' && *q <= '9' && cp <= kMaxCodePoint) cp = cp * 10 + (*q++ - '0');
      // The conversion writes only characters beyond ASCII so.
      if (q < end && *q == ';' && cp >= 0x80 && cp <= kMaxCodePoint) {
        rc = AppendCodePageChar(cp, decoded);
        p = q + 1;
        continue;
      }
    }
    rc = decoded.AppendByte(static_cast<uint8_t>(*p++));
  }
  return rc == kOk ? out.Assign(decoded) : rc;
}

int XmlParser::AppendCodePageChar(uint32_t cp, ByteString& out) {
  // Characters beyond the first plane go as a surrogate pair, like every other character.
  char16_t units[2];
  int count = 1;
  if (cp >= 0x10000) {
    units[0] = static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10));
    units[1] = static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF));
    count = 2;
  } else {
    units[0] = static_cast<char16_t>(cp);
  }
  char bytes[16];
  int got = win::WideCharToMultiByte(static_cast<unsigned>(parser_code_page_), 0, units, count,
                                     bytes, sizeof bytes, nullptr, nullptr);
  if (got <= 0) {
    bytes[0] = '?';
    got = 1;
  }
  return out.Append(bytes, got);
}

int XmlParser::StepAfterLt(uint8_t c) {
  const int name = NameCharLength(pos_, true);
  if (name < 0) return kOk;
  if (name > 0 || c == '/' || c == '?' || c == '!') {
    int rc = FlushText(lt_, kFlushBeforeMarkup);
    if (rc != kOk) return rc;
    state_ = kMarkupName;
    name_start_ = pos_;
    return Then<kMarkupName>();
  }
  if (strict_ && validate_less_than_sign_) return Fail(kXmlErrMarkup, kTextLessThan);
  // Plain text: the "<" joins the pending text.
  state_ = kText;
  return kOk;
}

int XmlParser::StepMarkupName(uint8_t c) {
  if (pos_ == lt_ + 1) {
    if (c == '!') {
      ++pos_;
      state_ = kBang;
      return kOk;
    }
    if (c == '?') {
      ++pos_;
      state_ = kProcessing;
      return kOk;
    }
    if (c == '/') {
      ++pos_;
      name_start_ = pos_;
      end_name_done_ = false;
      state_ = kEndTag;
      return Then<kEndTag>();
    }
  }
  pos_ = SkipNameBytes(pos_);
  if (pos_ >= buffer_.length()) return kOk;
  const int name = NameCharLength(pos_, false);
  if (name < 0) return kOk;
  if (name > 0) {
    pos_ += name;
    return kOk;
  }
  if (in_script_) {
    // Inside a script only its end tag is markup.
    text_start_ = lt_;
    state_ = kText;
    return kOk;
  }
  const char* qname = buffer_.data() + lt_ + 1;
  const int n = pos_ - lt_ - 1;
  element_name_plain_ = encoding_ == kXmlEncodingNone || !HasAmpersand(qname, n);
  int rc = element_name_plain_ ? element_name_.Set(qname, n)
                               : TakeName(element_name_, lt_ + 1, pos_);
  if (rc != kOk) return Fail(rc, kTextOutOfMemory);
  if (attributes_.Count() > 0) attributes_.Clear(false);
  state_ = kInTag;
  return Then<kInTag>();
}

int XmlParser::BadAttributeNameChar(uint8_t c) {
  ByteString text;
  text.Format(kTextAttributeChar, c);
  return Fail(kXmlErrMarkup, text.c_str());
}

int XmlParser::StepInTag(uint8_t c) {
  if (space_table_[c] || c == '/') {
    ++pos_;
    return kOk;
  }
  if (c == '>') {
    const bool empty = pos_ > 0 && buffer_.bytes()[pos_ - 1] == '/';
    int rc = CompleteStartTag(empty);
    if (rc != kOk) return rc;
    ++pos_;
    state_ = kAfterTag;
    ws_start_ = pos_;
    return Then<kAfterTag>();
  }
  const int name = NameCharLength(pos_, true);
  if (name < 0) return kOk;
  if (strict_ && name == 0) return BadAttributeNameChar(c);
  name_start_ = pos_;
  pos_ += name > 0 ? name : 1;
  state_ = kAttributeName;
  return kOk;
}

int XmlParser::StepAttributeName(uint8_t c) {
  pos_ = SkipNameBytes(pos_);
  if (pos_ >= buffer_.length()) return kOk;
  c = buffer_.bytes()[pos_];
  const bool ends = space_table_[c] || c == '>' || c == '=' || c == '/';
  if (!ends) {
    const int name = NameCharLength(pos_, false);
    if (name < 0) return kOk;
    if (strict_ && name == 0) return BadAttributeNameChar(c);
    pos_ += name > 0 ? name : 1;
    return kOk;
  }
  int rc = TakeName(current_name_, name_start_, pos_);
  if (rc != kOk) return Fail(rc, kTextOutOfMemory);
  value_.Reset();
  if (space_table_[c]) {
    ++pos_;
    state_ = kAfterAttributeName;
  } else if (c == '=') {
    ++pos_;
    state_ = kAfterEquals;
  } else {
    rc = AddAttribute();
    if (rc != kOk) return rc;
    state_ = kInTag;  // reads the ">" or "/" again
  }
  return kOk;
}

int XmlParser::StepAfterAttributeName(uint8_t c) {
  if (space_table_[c]) {
    ++pos_;
    return kOk;
  }
  if (c == '=') {
    ++pos_;
    state_ = kAfterEquals;
    return kOk;
  }
  // A valueless attribute; the byte is read again in the tag.
  int rc = AddAttribute();
  if (rc != kOk) return rc;
  state_ = kInTag;
  return kOk;
}

int XmlParser::StepAfterEquals(uint8_t c) {
  if (space_table_[c]) {
    ++pos_;
    return kOk;
  }
  value_.Reset();
  if (c == '"' || c == '\'') {
    ++pos_;
    value_start_ = pos_;
    state_ = c == '"' ? kDoubleQuoted : kSingleQuoted;
    return kOk;
  }
  if (c == '&') {
    value_start_ = pos_;
    ref_start_ = pos_++;
    value_state_ = kUnquoted;
    state_ = kRefUnquoted;
    return kOk;
  }
  if (c == '>') {
    if (strict_) return Fail(kXmlErrMarkup, kTextMarkup);
    int rc = AddAttribute();
    if (rc != kOk) return rc;
    state_ = kInTag;
    return kOk;
  }
  value_start_ = pos_++;
  state_ = kUnquoted;
  return kOk;
}

int XmlParser::StepUnquoted(uint8_t c) {
  if (c == '&') {
    int rc = value_.Append(buffer_.data() + value_start_, pos_ - value_start_);
    if (rc != kOk) return Fail(rc, kTextOutOfMemory);
    ref_start_ = pos_++;
    value_state_ = kUnquoted;
    state_ = kRefUnquoted;
    return kOk;
  }
  if (!space_table_[c] && c != '>') {
    ++pos_;
    return kOk;
  }
  int rc = value_.Append(buffer_.data() + value_start_, pos_ - value_start_);
  if (rc != kOk) return Fail(rc, kTextOutOfMemory);
  // "x=1/>": the slash ends an empty element, it is not part of the value.
  if (c == '>' && buffer_.bytes()[pos_ - 1] == '/' && value_.length() > 0) value_.PopBack();
  rc = AddAttribute();
  if (rc != kOk) return rc;
  if (space_table_[c]) ++pos_;
  state_ = kInTag;
  return kOk;
}

int XmlParser::StepQuoted(uint8_t quote, int ref_state) {
  const uint8_t* b = buffer_.bytes();
  const int end = buffer_.length();
  int p = pos_;
  while (p < end && b[p] != quote && b[p] != '&') ++p;
  pos_ = p;
  if (p >= end) return kOk;
  int rc = value_.Append(buffer_.data() + value_start_, pos_ - value_start_);
  if (rc != kOk) return Fail(rc, kTextOutOfMemory);
  if (b[p] == '&') {
    ref_start_ = pos_++;
    value_state_ = state_;
    state_ = ref_state;
    return kOk;
  }
  ++pos_;
  rc = AddAttribute();
  if (rc != kOk) return rc;
  state_ = kInTag;
  return kOk;
}

int XmlParser::StepAfterTag() {
  const uint8_t* b = buffer_.bytes();
  const int end = buffer_.length();
  int p = pos_;
  while (p < end && space_table_[b[p]]) ++p;
  pos_ = p;
  if (pos_ >= end) return kOk;
  if (b[pos_] == '<' || !preserve_whitespace_) {
    if (pos_ > ws_start_) {
      int rc = EmitWhitespace(buffer_.data() + ws_start_, pos_ - ws_start_);
      if (rc != kOk) return rc;
    }
    text_start_ = pos_;
  } else {
    text_start_ = ws_start_;
  }
  state_ = kText;
  return kOk;
}

int XmlParser::StepEndTag(uint8_t c) {
  const OpenElement* top = depth_ > 0 ? open_.At(depth_ - 1) : nullptr;
  if (pos_ == name_start_ && !end_name_done_ && !in_script_ && top &&
      top->plain_tables == tables_version_ && plain_end_tags_) {
    // The end tag of the innermost element, "</qname>", matched where it stands.
    const int n = top->qname.length();
    const uint8_t* b = buffer_.bytes();
    if (pos_ + n < buffer_.length() && b[pos_ + n] == '>' &&
        SameBytes(b + pos_, top->qname.data(), static_cast<size_t>(n))) {
      // At the ">" while the element ends, as on the longer way.
      pos_ += n;
      // Strict, that is the match EndTag would find.
      int rc = strict_ ? EndOneElement(false, base_ + lt_, base_ + pos_ + 1)
                       : EndTag(buffer_.data() + name_start_, n, base_ + lt_, base_ + pos_ + 1);
      if (rc != kOk) return rc;
      ++pos_;
      state_ = kAfterTag;
      ws_start_ = pos_;
      return Then<kAfterTag>();
    }
  }
  if (pos_ == name_start_ && !end_name_done_ && !in_script_ && name_start_table_[c]) {
    // "</name>" whole in the buffer, of plain name bytes: matched where it stands.
    const int p = SkipNameBytes(pos_ + 1);
    if (p < buffer_.length() && buffer_.bytes()[p] == '>' && plain_end_tags_ &&
        !name_table_[uint8_t{'&'}]) {
      pos_ = p;
      int rc = EndTag(buffer_.data() + name_start_, p - name_start_, base_ + lt_, base_ + p + 1);
      if (rc != kOk) return rc;
      ++pos_;
      state_ = kAfterTag;
      ws_start_ = pos_;
      return Then<kAfterTag>();
    }
  }
  if (pos_ == name_start_ && !end_name_done_) {
    const int name = NameCharLength(pos_, true);
    if (name < 0) return kOk;
    if (name == 0) {
      if (strict_ && validate_less_than_sign_) return Fail(kXmlErrMarkup, kTextLessThan);
      text_start_ = lt_;
      state_ = kText;
      return kOk;
    }
    pos_ += name;
    return kOk;
  }
  if (!end_name_done_) {
    pos_ = SkipNameBytes(pos_);
    if (pos_ >= buffer_.length()) return kOk;
    c = buffer_.bytes()[pos_];
    const int name = NameCharLength(pos_, false);
    if (name < 0) return kOk;
    if (name > 0) {
      pos_ += name;
      return kOk;
    }
    end_name_done_ = true;
    int rc = TakeName(current_name_, name_start_, pos_);
    if (rc != kOk) return Fail(rc, kTextOutOfMemory);
    if (in_script_ && !current_name_.EqualsNoCase("SCRIPT")) {
      text_start_ = lt_;
      state_ = kText;
      return kOk;
    }
  }
  if (space_table_[c]) {
    ++pos_;
    return kOk;
  }
  const int64_t end_gt = base_ + pos_ + (c == '>' ? 1 : 0);
  // The name is read only before the first callback.
  int rc = EndTag(current_name_.c_str(), current_name_.length(), base_ + lt_, end_gt);
  if (rc != kOk) return rc;
  if (c == '>') {
    ++pos_;
    state_ = kAfterTag;
    ws_start_ = pos_;
  } else {
    state_ = kEndTagTail;
  }
  return kOk;
}

int XmlParser::StepReference(uint8_t c) {
  if (IsNameChar(c) || c == '#') {
    ++pos_;
    return kOk;
  }
  const bool semicolon = c == ';';
  return EndReference(semicolon);
}

int XmlParser::EndReference(bool semicolon) {
  const int name_begin = ref_start_ + 1;
  const int name_end = pos_;
  if (semicolon) ++pos_;
  int rc = kOk;
  if (state_ == kRefText) {
    rc = FlushText(ref_start_, kFlushPlain);
    if (rc != kOk) return rc;
  }
  // The name is copied: callbacks may not look into the input buffer.
  ShortString name;
  rc = name.Set(buffer_.data() + name_begin, name_end - name_begin);
  if (rc != kOk) return Fail(rc, kTextOutOfMemory);
  rc = ResolveReference(name.c_str(), name.length(), semicolon, reference_);
  if (rc != kOk) return rc;
  if (state_ == kRefText) {
    if (!reference_.empty()) {
      rc = EmitCharacters(reference_.data(), reference_.length());
      if (rc != kOk) return rc;
    }
    text_start_ = pos_;
    state_ = kText;
  } else {
    rc = value_.AppendString(reference_);
    if (rc != kOk) return Fail(rc, kTextOutOfMemory);
    value_start_ = pos_;
    state_ = value_state_;
  }
  return kOk;
}

int XmlParser::ResolveReference(const char* name, int n, bool semicolon, ByteString& out) {
  out.Reset();
  if (n == 0) {
    if (strict_) return Fail(kXmlErrMarkup, kTextAmpersand);
    out.AppendByte('&');
    if (semicolon) out.AppendByte(';');
    return kOk;
  }
  const bool resolve = build_dom_ || resolve_references_;
  static constexpr struct {
    const char* name;
    char value;
  } kPredefined[] = {{"lt", '<'}, {"gt", '>'}, {"amp", '&'}, {"apos", '\''}, {"quot", '"'}};
  bool predefined = false;
  for (const auto& p : kPredefined) {
    if (EqualsText(name, n, p.name)) {
      predefined = true;
      if (resolve) return out.AppendByte(static_cast<uint8_t>(p.value));
    }
  }
  const bool numeric = name[0] == '#';
  if (numeric && resolve) {
    const bool hex = n > 1 && name[1] == 'x';
    int i = hex ? 2 : 1;
    uint32_t cp = 0;
    // Stops at the first digit that takes the value past the last code point, so it never wraps.
    bool valid = i < n;
    for (; valid && i < n; ++i) {
      const int d = hex ? HexDigitValue(static_cast<uint8_t>(name[i]))
                        : (name[i] >= '0' && name[i] <= '9' ? name[i] - '0' : -1);
      if (d < 0) {
        valid = false;
        break;
      }
      cp = cp * (hex ? 16 : 10) + static_cast<uint32_t>(d);
      if (cp > kMaxCodePoint) valid = false;
    }
    if (valid && strict_) valid = IsXmlChar(cp);
    if (!valid && strict_) return Fail(kXmlErrMarkup, kTextMarkup);
    if (valid && cp <= kMaxCodePoint && !(cp >= 0xD800 && cp <= 0xDFFF)) {
      return AppendCodePageChar(cp, out);
    }
  }
  int rc = out.AppendByte('&');
  if (rc == kOk) rc = out.Append(name, n);
  if (rc == kOk && semicolon) rc = out.AppendByte(';');
  if (rc != kOk) return Fail(rc, kTextOutOfMemory);
  if (!predefined && !numeric && !disable_eval_entity_) {
    rc = callbacks_->EvalEntity(name, out);
    if (rc != kOk) return rc;
  }
  return kOk;
}

int XmlParser::StepBang(uint8_t c) {
  if (c == '-') {
    ++pos_;
    state_ = kCommentOpen;
    return kOk;
  }
  if (c == '>') {
    ++pos_;
    int rc = callbacks_->Declaration("");
    if (rc != kOk) return rc;
    state_ = kAfterTag;
    ws_start_ = pos_;
    return kOk;
  }
  if (c == '[' && !html_comments_) {
    ++pos_;
    section_start_ = pos_;
    state_ = kSectionKeyword;
    return kOk;
  }
  state_ = kDeclaration;
  return kOk;
}

int XmlParser::StepComment(uint8_t c) {
  switch (state_) {
    case kCommentOpen:
      if (c != '-') {
        if (strict_) return Fail(kXmlErrMarkup, kTextMarkup);
        state_ = kDeclaration;
        return kOk;
      }
      ++pos_;
      section_start_ = pos_;
      state_ = html_comments_ ? kHtmlComment : kComment;
      return kOk;
    case kComment: {
      const uint8_t* b = buffer_.bytes();
      const int end = buffer_.length();
      while (pos_ < end && b[pos_] != '-') ++pos_;
      if (pos_ < end) {
        ++pos_;
        state_ = kCommentDash;
      }
      return kOk;
    }
    case kCommentDash:
      if (c == '-') {
        ++pos_;
        state_ = kCommentEnd;
      } else {
        state_ = kComment;
      }
      return kOk;
    case kCommentEnd:
      if (c != '>') return Fail(kXmlErrMarkup, kTextMarkup);
      break;
    default:  // kHtmlComment
      if (c != '>' || pos_ - section_start_ < 2 || buffer_.bytes()[pos_ - 1] != '-' ||
          buffer_.bytes()[pos_ - 2] != '-') {
        ++pos_;
        return kOk;
      }
      break;
  }
  ByteString text;
  int rc = TakeConverted(text, buffer_.data() + section_start_, pos_ - 2 - section_start_);
  if (rc != kOk) return Fail(rc, kTextOutOfMemory);
  ++pos_;
  rc = callbacks_->Comment(text.c_str());
  if (rc != kOk) return rc;
  state_ = kAfterTag;
  ws_start_ = pos_;
  return kOk;
}

int XmlParser::StepDeclaration(uint8_t c) {
  switch (state_) {
    case kDeclSingle:
      if (c == '\'') state_ = kDeclaration;
      ++pos_;
      return kOk;
    case kDeclDouble:
      if (c == '"') state_ = kDeclaration;
      ++pos_;
      return kOk;
    case kDeclBracket:
      if (c == ']') state_ = kDeclaration;
      ++pos_;
      return kOk;
    default:
      break;
  }
  if (c == '\'') {
    state_ = kDeclSingle;
  } else if (c == '"') {
    state_ = kDeclDouble;
  } else if (c == '[') {
    state_ = kDeclBracket;
  } else if (c == '>') {
    const char* text = Temp(buffer_.data() + lt_ + 2, pos_ - lt_ - 2);
    if (!text) return Fail(kErrOutOfMemory, kTextOutOfMemory);
    ++pos_;
    int rc = callbacks_->Declaration(text);
    if (rc != kOk) return rc;
    state_ = kAfterTag;
    ws_start_ = pos_;
    return kOk;
  }
  ++pos_;
  return kOk;
}

int XmlParser::StepSection(uint8_t c) {
  const uint8_t* b = buffer_.bytes();
  if (state_ == kSectionKeyword) {
    if (c == '[') {
      int rc = keyword_.Set(buffer_.data() + section_start_, pos_ - section_start_);
      if (rc != kOk) return Fail(rc, kTextOutOfMemory);
      keyword_.TrimChar(' ');
      if (strict_ && !keyword_.EqualsNoCase("CDATA")) return Fail(kXmlErrMarkup, kTextMarkup);
      ++pos_;
      section_start_ = pos_;
      state_ = kSection;
      return kOk;
    }
    if (c == '>' || (strict_ && !IsNameChar(c) && c != ' ')) {
      if (strict_) return Fail(kXmlErrMarkup, kTextMarkup);
      state_ = kDeclaration;
      return kOk;
    }
    ++pos_;
    return kOk;
  }
  const int end = buffer_.length();
  while (pos_ < end) {
    if (b[pos_] == '>' && pos_ - section_start_ >= 2 && b[pos_ - 1] == ']' && b[pos_ - 2] == ']') {
      break;
    }
    ++pos_;
  }
  if (pos_ >= end) return kOk;
  const int content_end = pos_ - 2;
  ++pos_;
  ByteString content;
  int rc = TakeConverted(content, buffer_.data() + section_start_, content_end - section_start_);
  if (rc != kOk) return Fail(rc, kTextOutOfMemory);
  const bool cdata = keyword_.EqualsNoCase("CDATA");
  if (cdata && !content.empty()) {
    // CDATA is character data of the element, but not reported through Characters.
    if (build_dom_) {
      if (depth_ == 0) {
        if (!allow_text_outside_root_) return FailCode(kXmlErrTextOutsideRoot);
      } else {
        const char* piece = nullptr;
        rc = AddElementText(open_.At(depth_ - 1), content.data(), content.length(), &piece);
        if (rc != kOk) return rc;
      }
    }
  }
  rc = callbacks_->MarkedSection(keyword_.c_str(), content.c_str());
  if (rc != kOk) return rc;
  state_ = kAfterTag;
  ws_start_ = pos_;
  return kOk;
}

int XmlParser::StepProcessingInstruction(uint8_t c) {
  const uint8_t* b = buffer_.bytes();
  const int end = buffer_.length();
  const int start = lt_ + 2;
  while (pos_ < end) {
    if (b[pos_] == '>' && (!strict_ || (pos_ > start && b[pos_ - 1] == '?'))) break;
    ++pos_;
  }
  if (pos_ >= end) return kOk;
  int text_end = pos_;
  if (text_end > start && b[text_end - 1] == '?') --text_end;
  if (strict_ && (text_end == start || NameCharLength(start, true) == 0)) {
    return Fail(kXmlErrMarkup, kTextMarkup);
  }
  ByteString text;
  int rc = TakeConverted(text, buffer_.data() + start, text_end - start);
  if (rc != kOk) return Fail(rc, kTextOutOfMemory);
  ++pos_;
  rc = callbacks_->ProcessingInstruction(text.c_str());
  if (rc != kOk) return rc;
  state_ = kAfterTag;
  ws_start_ = pos_;
  rc = ApplyDeclaredEncoding(text.data(), text.length());
  if (rc != kOk) return Fail(rc, kTextOutOfMemory);
  return kOk;
}

// ---- Text ----

int XmlParser::EmitCharacters(const char* p, int n) {
  if (build_dom_) {
    if (depth_ == 0) {
      if (!allow_text_outside_root_) return FailCode(kXmlErrTextOutsideRoot);
    } else {
      const char* piece = nullptr;
      int rc = AddElementText(open_.At(depth_ - 1), p, n, &piece);
      if (rc != kOk) return rc;
      if (piece) return callbacks_->Characters(piece);
    }
  }
  const char* text = Temp(p, n);
  if (!text) return Fail(kErrOutOfMemory, kTextOutOfMemory);
  return callbacks_->Characters(text);
}

// An element's text goes straight into the DOM while nothing comes between its pieces there (the
// usual leaf text, with its piece handed back NUL-terminated in *piece); else it is gathered
// apart and copied in at the element's end.
int XmlParser::AddElementText(OpenElement* top, const char* p, int n, const char** piece) {
  int rc = kOk;
  top->had_text = true;
  if (n > 0 && top->text.empty() &&
      dom_.ExtendLastText(&top->dom_text, top->dom_text_length, p, n, &rc)) {
    if (rc != kOk) return Fail(rc, kTextOutOfMemory);
    *piece = dom_.Text(top->dom_text) + top->dom_text_length;
    top->dom_text_length += n;
    return kOk;
  }
  if (top->dom_text != 0) {
    rc = top->text.Set(dom_.Text(top->dom_text), top->dom_text_length);
    top->dom_text = 0;
    top->dom_text_length = 0;
  }
  if (rc == kOk) rc = top->text.Append(p, n);
  return rc != kOk ? Fail(rc, kTextOutOfMemory) : kOk;
}

int XmlParser::EmitWhitespace(const char* p, int n) {
  if (build_dom_ && preserve_whitespace_ && depth_ > 0) {
    int rc = open_.At(depth_ - 1)->space.Append(p, n);
    if (rc != kOk) return Fail(rc, kTextOutOfMemory);
  }
  const char* text = Temp(p, n);
  if (!text) return Fail(kErrOutOfMemory, kTextOutOfMemory);
  return callbacks_->IgnorableWhitespace(text);
}

int XmlParser::FlushText(int end, FlushMode mode) {
  const int n = end - text_start_;
  if (n <= 0) {
    if (mode != kFlushLineEnd) text_start_ = end;
    return kOk;
  }
  const char* p = buffer_.data() + text_start_;
  int rc = kOk;
  if (mode == kFlushPlain || (mode == kFlushBeforeMarkup && preserve_whitespace_)) {
    rc = EmitCharacters(p, n);
    text_start_ = end;
    return rc;
  }
  int t = n;
  while (t > 0 && space_table_[static_cast<uint8_t>(p[t - 1])]) --t;
  if (mode == kFlushLineEnd) {
    // The trailing whitespace stays pending: it belongs to the text only if more text follows.
    if (t > 0) {
      text_start_ += t;
      rc = EmitCharacters(p, t);
    }
    return rc;
  }
  text_start_ = end;
  if (t > 0) rc = EmitCharacters(p, t);
  if (rc == kOk && t < n) rc = EmitWhitespace(p + t, n - t);
  return rc;
}

// ---- Elements ----

int XmlParser::AddAttribute() {
  const char* name = current_name_.c_str();
  const int n = current_name_.length();
  if (strict_ && (EqualsText(name, n, "xmlns") || StrNICmp(name, "xmlns:", 6) == 0)) {
    if (std::memcmp(name, "xmlns", 5) == 0 && (n == 5 || name[5] == ':')) {
      if (scope_count_ >= kMaxScopes) return Fail(kErrOutOfMemory, kTextTooManyScopes);
      XmlNamespaceRecord* scope = scopes_.GetOrCreate(scope_count_);
      if (!scope) return Fail(kErrOutOfMemory, kTextOutOfMemory);
      int rc = scope->prefix.Set(n > 5 ? name + 6 : "", n > 5 ? n - 6 : 0);
      if (rc == kOk) rc = scope->uri.Assign(value_);
      if (rc != kOk) return Fail(rc, kTextOutOfMemory);
      scope->depth = depth_ + 1;
      scope->dom_offset = 0;
      ++scope_count_;
      return callbacks_->StartPrefixMapping(scope->prefix.c_str(), scope->uri.c_str());
    }
  }
  if (attributes_.Count() >= static_cast<uint32_t>(PairTable256::kMaxPairs)) {
    return Fail(kErrOutOfMemory, kTextTooManyAttributes);
  }
  int rc = attributes_.Add(name, n, value_.data(), value_.length());
  if (rc != kOk) return Fail(rc, kTextOutOfMemory);
  return kOk;
}

const XmlNamespaceRecord* XmlParser::FindPrefix(const char* prefix, int n) const {
  for (int i = scope_count_ - 1; i >= 0; --i) {
    const XmlNamespaceRecord* r = scopes_.At(i);
    if (r && r->prefix.EqualsBytes(prefix, n)) return r;
  }
  return nullptr;
}

int XmlParser::CompleteStartTag(bool empty) {
  if (depth_ >= kMaxDepth) return Fail(kErrOutOfMemory, kDepthLimitText);
  const char* qname = element_name_.c_str();
  const int qlen = element_name_.length();
  // Prefix, local name and namespace name point into the qualified name, a scope or a constant.
  const char* local = qname;
  const char* uri = "";
  int uri_len = 0;
  int plen = 0;
  bool unknown_prefix = false;
  int rc = kOk;
  const char* colon = static_cast<const char*>(std::memchr(qname, ':', static_cast<size_t>(qlen)));
  if (strict_) {
    plen = colon ? static_cast<int>(colon - qname) : 0;
    if (colon) local = colon + 1;
    if (plen > 0 && EqualsText(qname, plen, "xml")) {
      uri = kXmlNamespace;
      uri_len = static_cast<int>(sizeof kXmlNamespace - 1);
    } else if (const XmlNamespaceRecord* scope = FindPrefix(qname, plen)) {
      uri = scope->uri.c_str();
      uri_len = scope->uri.length();
    } else if (plen > 0) {
      unknown_prefix = true;
      ByteString text;
      text.SetText(kTextElementPrefixName);
      text.Append(qname, plen);
      if (!ignore_bad_element_prefixes_) return Fail(kXmlErrElementPrefix, text.c_str());
      rc = callbacks_->Error(kXmlErrElementPrefix, text.c_str());
      if (rc != kOk) return rc;
      if (include_unknown_prefixes_) local = qname;
    }

    const int attribute_count = static_cast<int>(attributes_.Count());
    for (int i = 0; i < attribute_count; ++i) {
      const ByteString* name = attributes_.FirstAt(i);
      const char* ac = std::strchr(name->c_str(), ':');
      if (!ac) continue;
      const int alen = static_cast<int>(ac - name->c_str());
      if (EqualsText(name->c_str(), alen, "xml") || FindPrefix(name->c_str(), alen)) continue;
      ByteString text;
      text.SetText(kTextAttributePrefixName);
      text.Append(name->c_str(), alen);
      if (!ignore_bad_attribute_prefixes_) return Fail(kXmlErrAttributePrefix, text.c_str());
      rc = callbacks_->Error(kXmlErrAttributePrefix, text.c_str());
      if (rc != kOk) return rc;
    }
  } else if (!include_element_prefix_ && colon) {
    local = colon + 1;
  }
  // The whole qualified name when an unknown prefix is kept; up to a NUL byte otherwise.
  const int local_len =
      local == qname && unknown_prefix ? qlen : static_cast<int>(std::strlen(local));

  uint32_t element = 0;
  if (build_dom_) {
    rc = DomStartElement(local, local_len, qname, plen, unknown_prefix, empty, &element);
    if (rc != kOk) return rc;
  }

  // Kept before the callback, which sees only the elements opened before this one.
  OpenElement* open = open_.GetOrCreate(depth_);
  if (!open) return Fail(kErrOutOfMemory, kTextOutOfMemory);
  rc = open->qname.Assign(element_name_);
  if (rc == kOk && (uri_len > 0 || !open->uri.empty())) rc = open->uri.Set(uri, uri_len);
  if (rc != kOk) return Fail(rc, kTextOutOfMemory);
  open->local_offset = static_cast<int>(local - qname);

  in_start_tag_ = true;
  rc = callbacks_->StartElement(open->uri.c_str(), open->qname.c_str() + open->local_offset,
                                open->qname.c_str(), empty ? 1 : 0);
  in_start_tag_ = false;
  if (rc != kOk) return rc;
  if (attributes_.Count() > 0) attributes_.Clear(false);
  // A handler that reset the parser took the open elements with it.
  bool plain = element_name_plain_;
  if (open_.At(depth_) != open) {
    open = open_.GetOrCreate(depth_);
    if (!open) return Fail(kErrOutOfMemory, kTextOutOfMemory);
    rc = open->qname.Assign(element_name_);
    if (rc != kOk) return Fail(rc, kTextOutOfMemory);
    open->uri.Reset();
    open->local_offset = 0;
    plain = false;
  }
  open->plain_tables = plain ? tables_version_ : 0;

  // An empty inline string is as Reset would leave it.
  if (!open->text.empty() || open->text.OnHeap()) open->text.Reset();
  if (!open->space.empty() || open->space.OnHeap()) open->space.Reset();
  open->dom_text = 0;
  open->dom_text_length = 0;
  open->had_text = false;
  open->dom = element;
  ++depth_;
  if (empty) return EndOneElement(true, base_ + pos_ + 1, base_ + pos_ + 1);
  if (!strict_ && EqualsNoCaseN(open->qname.c_str(), open->qname.length(), "SCRIPT")) {
    in_script_ = true;
  }
  return kOk;
}

int XmlParser::DomNamespace(const char* prefix, int n, const char* uri, uint32_t* record) {
  int rc = dom_.AddNamespace(prefix, n, uri, static_cast<int>(std::strlen(uri)), record);
  return rc != kOk ? Fail(rc, kTextOutOfMemory) : kOk;
}

int XmlParser::DomStartElement(const char* local, int local_len, const char* prefix, int plen,
                               bool unknown_prefix, bool empty, uint32_t* element) {
  const uint32_t start_gt = static_cast<uint32_t>(base_ + pos_ + 1);
  XmlDomNode node{};
  node.child_count = empty ? -1 : 0;
  node.parent = depth_ > 0 ? open_.At(depth_ - 1)->dom : 0;
  node.start_lt = static_cast<uint32_t>(base_ + lt_);
  node.start_gt = start_gt;
  if (empty) {
    node.end_gt = start_gt;
    node.end_lt = start_gt;
  }
  int rc = dom_.AddName(local, local_len, &node.name);
  if (rc != kOk) return Fail(rc, kTextOutOfMemory);

  // One namespace record for every declaration of this tag.
  for (int i = 0; i < scope_count_; ++i) {
    XmlNamespaceRecord* scope = scopes_.At(i);
    if (scope->depth != depth_ + 1) continue;
    rc = DomNamespace(scope->prefix.data(), scope->prefix.length(), scope->uri.c_str(),
                      &scope->dom_offset);
    if (rc != kOk) return rc;
  }
  uint32_t ns = 0;
  if (strict_) {
    if (EqualsText(prefix, plen, "xml")) {
      rc = DomNamespace("xml", 3, kXmlNamespace, &ns);
    } else if (unknown_prefix && !include_unknown_prefixes_) {
      // Keeps the prefix of the qualified name, with no namespace name.
      rc = DomNamespace(prefix, plen, "", &ns);
    } else if (const XmlNamespaceRecord* scope = FindPrefix(prefix, plen)) {
      ns = scope->dom_offset;
    }
    if (rc != kOk) return rc;
  }
  node.ns = ns;

  const int count = static_cast<int>(attributes_.Count());
  for (int i = 0; i < count; ++i) {
    const ByteString* name = attributes_.FirstAt(i);
    const ByteString* value = attributes_.SecondAt(i);
    const char* n = name->c_str();
    const char* colon = std::strchr(n, ':');
    uint32_t attribute_ns = 0;
    if (colon) {
      const int plen = static_cast<int>(colon - n);
      const XmlNamespaceRecord* scope = strict_ ? FindPrefix(n, plen) : nullptr;
      if (scope) attribute_ns = scope->dom_offset;
      const bool keep_whole = strict_ && !scope && !EqualsText(n, plen, "xml") &&
                              include_unknown_prefixes_;
      if (!keep_whole) n = colon + 1;
    }
    rc = dom_.AddAttribute(n, static_cast<int>(std::strlen(n)), value->data(), value->length(),
                           attribute_ns);
    if (rc != kOk) return Fail(rc, kTextOutOfMemory);
  }
  node.attribute_end = dom_.attribute_total();
  rc = dom_.AddElement(node, depth_ == 0, element);
  return rc != kOk ? Fail(rc, kTextOutOfMemory) : kOk;
}

int XmlParser::DomEndElement(OpenElement& open, int64_t end_lt, int64_t end_gt) {
  const uint32_t element = open.dom;
  if (element == 0) return kOk;
  const int32_t children = dom_.Node(element).child_count;
  const ByteString* text = &open.text;
  if (open.dom_text == 0 && text->empty() && preserve_whitespace_ && !open.had_text &&
      children <= 0) {
    text = &open.space;
  }
  uint32_t text_record = open.dom_text;
  if (text_record == 0 && !text->empty()) {
    int rc = dom_.AddText(text->data(), text->length(), &text_record);
    if (rc != kOk) return Fail(rc, kTextOutOfMemory);
  }
  XmlDomNode& node = dom_.Node(element);
  node.text = text_record;
  node.next = dom_.size();
  if (children >= 0) {
    node.end_lt = static_cast<uint32_t>(end_lt);
    node.end_gt = static_cast<uint32_t>(end_gt);
  }
  if (node.parent) ++dom_.Node(node.parent).child_count;
  return kOk;
}

int XmlParser::EndOneElement(bool empty, int64_t end_lt, int64_t end_gt) {
  OpenElement* top = open_.At(depth_ - 1);
  int rc = callbacks_->EndElement(top->uri.c_str(), top->qname.c_str() + top->local_offset,
                                  top->qname.c_str(),
                                  empty ? 1 : 0);
  if (rc != kOk) return rc;
  // Declarations of this element go out of scope, the latest first.
  while (scope_count_ > 0 && scopes_.At(scope_count_ - 1)->depth >= depth_) {
    XmlNamespaceRecord* scope = scopes_.At(scope_count_ - 1);
    --scope_count_;
    rc = callbacks_->EndPrefixMapping(scope->prefix.c_str());
    if (rc != kOk) return rc;
  }
  if (build_dom_) {
    rc = DomEndElement(*top, end_lt, end_gt);
    if (rc != kOk) return rc;
  }
  if (in_script_ && top->qname.EqualsNoCase("SCRIPT")) in_script_ = false;
  --depth_;
  return kOk;
}

int XmlParser::EndTag(const char* name, int n, int64_t end_lt, int64_t end_gt) {
  if (strict_) {
    if (depth_ == 0 || !open_.At(depth_ - 1)->qname.EqualsBytes(name, n)) {
      ByteString text;
      text.SetText(kTextUnbalancedName);
      text.Append(name, n);
      return Fail(kXmlErrUnbalancedTag, text.c_str());
    }
    return EndOneElement(false, end_lt, end_gt);
  }
  // Lenient: the end tag closes the innermost open element of that name and every element
  // opened inside it; an end tag nothing matches is ignored.
  int match = -1;
  for (int i = depth_ - 1; i >= 0; --i) {
    const ByteString& q = open_.At(i)->qname;
    if (q.length() == n && StrNICmp(q.c_str(), name, n) == 0) {
      match = i;
      break;
    }
  }
  if (match < 0) return kOk;
  while (depth_ > match) {
    int rc = EndOneElement(false, end_lt, end_gt);
    if (rc != kOk) return rc;
  }
  return kOk;
}

// ---- End of input ----

int XmlParser::Flush(bool require_markup) {
  if (failed_) {
    CopyParseError();
    return failed_;
  }
  int rc = FinishInput();
  if (rc == kOk && (partial_need_ > 0 || high_surrogate_)) {
    // A character cut short by the end of the input.
    partial_need_ = 0;
    partial_ = 0;
    high_surrogate_ = 0;
    rc = AppendCodePoint(kReplacement, buffer_);
  }
  if (rc != kOk) rc = Fail(rc, kTextOutOfMemory);
  at_end_ = true;
  if (rc == kOk) rc = Run();
  if (rc == kOk && state_ == kRefText) rc = EndReference(false);
  if (rc == kOk && state_ == kAfterTag) {
    if (buffer_.length() > ws_start_) {
      rc = EmitWhitespace(buffer_.data() + ws_start_, buffer_.length() - ws_start_);
    }
    text_start_ = buffer_.length();
    if (rc == kOk) state_ = kText;
  }
  if (rc == kOk && state_ == kText) rc = FlushText(buffer_.length(), kFlushBeforeMarkup);
  if (rc == kOk && strict_ && depth_ > 0) rc = FailCode(kXmlErrUnbalancedDocument);
  if (rc == kOk && build_dom_) {
    if (dom_.root_count() == 0 && require_markup) {
      rc = Fail(kXmlErrNoDom, kTextNoMarkup);
    } else if (dom_.root_count() > 1 && !allow_more_than_one_root_) {
      rc = FailCode(kXmlErrManyRoots);
    }
  }
  if (rc == kOk && state_ != kText && state_ != kAfterTag) rc = FailCode(kXmlErrEndState);
  if (rc != kOk) {
    if (!failed_) failed_ = rc;
    if (parse_error_.empty()) parse_error_.SetText(XmlErrorText(rc));
    CopyParseError();
    return rc;
  }
  cursor_.Reset();
  return kOk;
}

// ---- Original text ----

int XmlParser::SubTreeText(const char** text) {
  *text = "";
  if (!keep_original_text_ || base_ != 0) {
    return SetParseError(kXmlErrNoSubtree, kTextNoSubtree);
  }
  const uint32_t element = cursor_.Current();
  if (element == 0) return kOk;
  const int64_t from = dom_.Node(element).start_lt;
  int64_t to = dom_.Node(element).end_gt;
  if (to == 0) to = buffer_.length();  // still open
  to = std::min<int64_t>(to, buffer_.length());
  if (from > to) return kOk;
  int rc = subtree_answer_.Set(buffer_.data() + from, static_cast<int>(to - from));
  if (rc != kOk) return SetParseError(rc, kTextOutOfMemory);
  *text = subtree_answer_.c_str();
  return kOk;
}

int XmlParser::ContentsText(const char** text) {
  *text = "";
  if (!keep_original_text_ || base_ != 0) {
    return SetParseError(kXmlErrNoSubtree, kTextNoSubtree);
  }
  const uint32_t element = cursor_.Current();
  if (element == 0) return kOk;
  const int64_t from = dom_.Node(element).start_gt;
  int64_t to = dom_.Node(element).end_lt;
  if (to == 0) to = buffer_.length();
  to = std::min<int64_t>(to, buffer_.length());
  if (from > to) return kOk;
  int rc = contents_answer_.Set(buffer_.data() + from, static_cast<int>(to - from));
  if (rc != kOk) return SetParseError(rc, kTextOutOfMemory);
  *text = contents_answer_.c_str();
  return kOk;
}

}  // namespace tw
