#include "formats/xml_parser.h"

#include <algorithm>
#include <climits>
#include <cstring>

#include "formats/xml_chars.h"
#include "foundation/text_conversion.h"
#include "platform/codepage.h"
#include "platform/heap.h"

namespace tw {

namespace {

using xml::kMaxCodePoint;
using xml::kReplacement;
using xml::EqualsText;
using xml::kXmlNamespace;
using xml::SameBytes;

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


bool IsXmlChar(uint32_t cp) {
  if (cp < 0x20) return cp == 0x9 || cp == 0xA || cp == 0xD;
  if (cp <= 0xD7FF) return true;
  if (cp < 0xE000) return false;
  if (cp <= 0xFFFD) return true;
  return cp >= 0x10000 && cp <= kMaxCodePoint;
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

}  // namespace

const char XmlParser::kDepthLimitText[] = "Elements nested too deeply (more than 256 levels).";

const char* XmlErrorText(int code) {
  for (const CodeText& e : kErrorTexts) {
    if (e.code == code) return e.text;
  }
  return kTextUnknown;
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
  if (!strict_ &&
      EqualsNoCase(std::string_view(open->qname.c_str(), open->qname.length()), "SCRIPT")) {
    in_script_ = true;
  }
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
