#include "formats/json_document.h"

#include <cstring>
#include <new>

#include "foundation/text_conversion.h"
#include "platform/codepage.h"

namespace tw {
namespace {

constexpr char kTextMarkup[] = "Invalid JSON markup.";
constexpr char kTextTrailing[] = "Unexpected content found after end of JSON document.";
constexpr char kTextRecordStart[] = "Invalid record start delimiter found.";
constexpr char kTextRecordEnd[] = "Invalid record end delimiter found.";
constexpr char kTextPath[] = "Invalid XPath.";
constexpr char kTextNoDom[] = "DOM tree unavailable (set BuildDOM to TRUE and reparse).";
constexpr char kTextNoSelection[] = "Invalid JSONPath.";
constexpr char kTextOutOfMemory[] = "Out of memory.";
constexpr char kTextTooDeep[] = "JSON document nested too deeply.";
constexpr char kTextNumberTooLong[] = "JSON number too long.";

enum State : int {
  kStart = 0,
  kTop = 1,
  kObject = 4,
  kValue = 5,
  kName = 6,
  kString = 7,
  kNumber = 8,
  kLiteral = 9,
  kColon = 10,
  kAfterValue = 11,
  kAfterDocument = 12,
  kComplete = 13,
  kRecordStart = 14,
  kRecordEnd = 15,
};

// Character classes: 1 whitespace, 2 number characters, 4 value terminators, 8 the rest (and
// every byte from 0x80 up).
constexpr int kWhitespace = 1;
constexpr int kNumberChar = 2;
constexpr int kTerminator = 4;
constexpr int kOther = 8;

struct ClassTable {
  uint8_t c[128];
};
constexpr ClassTable MakeClasses() {
  ClassTable t{};
  for (int i = 0; i < 128; ++i) t.c[i] = kOther;
  for (char ch : {'\t', '\n', '\f', '\r', ' '}) t.c[static_cast<int>(ch)] = kWhitespace;
  for (char ch : {'+', '-', '.', 'E', 'e'}) t.c[static_cast<int>(ch)] = kNumberChar;
  for (int d = '0'; d <= '9'; ++d) t.c[d] = kNumberChar;
  for (char ch : {',', ']', '}'}) t.c[static_cast<int>(ch)] = kTerminator;
  return t;
}
constexpr ClassTable kClasses = MakeClasses();

int Class(unsigned char b) { return b < 128 ? kClasses.c[b] : kOther; }

bool NameMatches(const std::string& pattern, const JsonNode& node) {
  return pattern.empty() || pattern == "*" || EqualsNoCase(pattern, node.name);
}

// Four hex digits at s, or -1.
int Hex4(const char* s) {
  int v = 0;
  for (int i = 0; i < 4; ++i) {
    const int h = HexDigitValue(s[i]);
    if (h < 0) return -1;
    v = v * 16 + h;
  }
  return v;
}

void AppendUtf8(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

// "[last()]", "[last()-k]" or "[n]" (base 0 or 1) to an index among `count`; -1 when out of range
// or malformed.
int PickIndex(const std::string& predicate, int count, int base) {
  if (predicate.compare(0, 6, "last()") == 0) {
    std::string rest = predicate.substr(6);
    int back = 0;
    if (!rest.empty()) {
      if (rest[0] != '-' || rest.size() < 2 || rest.size() > 10) return -1;
      for (size_t i = 1; i < rest.size(); ++i) {
        if (rest[i] < '0' || rest[i] > '9') return -1;
        back = back * 10 + (rest[i] - '0');
      }
    }
    const int index = count - 1 - back;
    return index >= 0 && index < count ? index : -1;
  }
  if (predicate.empty() || predicate.size() > 9) return -1;
  int n = 0;
  for (char c : predicate) {
    if (c < '0' || c > '9') return -1;
    n = n * 10 + (c - '0');
  }
  n -= base;
  return n >= 0 && n < count ? n : -1;
}

}  // namespace

// ---- Parsing ----

void JsonDocument::Reset() {
  text_.clear();
  base_ = position_ = token_start_ = 0;
  state_ = kStart;
  escape_ = false;
  hex_left_ = 0;
  wrapper_ = wrapper_closed_ = complete_ = started_ = false;
  stack_.clear();
  path_stack_.clear();
  element_index_.clear();
  member_name_.clear();
  has_member_name_ = false;
  scalar_type_ = 0;
  top_level_scalar_ = false;
  build_dom_ = false;
  keep_text_ = true;
  path_events_ = false;
  allow_trailing_ = false;
  jsonpath_only_ = false;
  string_options_ = 0;
  record_mode_ = 0;
  record_start_.clear();
  record_end_.clear();
  delimiter_matched_ = 0;
  root_.reset();
  current_ = selected_ = nullptr;
}

void JsonDocument::SetRecordMode(int mode, const char* start_delimiter, const char* end_delimiter) {
  record_mode_ = mode;
  record_start_ = start_delimiter != nullptr ? start_delimiter : "";
  record_end_ = end_delimiter != nullptr ? end_delimiter : "";
  delimiter_matched_ = 0;
}

int JsonDocument::Fail(int code, const char* text) {
  SetErrorText(text);
  set_error_code(code);
  return code;
}

int JsonDocument::Parse(const char* text, int n) {
  try {
    if (text != nullptr && n > 0) text_.append(text, static_cast<size_t>(n));
    while (position_ < base_ + static_cast<int64_t>(text_.size())) {
      bool consumed = true;
      const int rc = Step(static_cast<unsigned char>(text_[position_ - base_]), &consumed);
      if (rc != 0) return rc;  // the failing byte stays unread
      if (consumed) ++position_;
    }
    if (!keep_text_) {
      const bool in_token =
          state_ == kName || state_ == kString || state_ == kNumber || state_ == kLiteral;
      const int64_t keep = in_token ? token_start_ : position_;
      text_.erase(0, static_cast<size_t>(keep - base_));
      base_ = keep;
    }
  } catch (const std::bad_alloc&) {
    return Fail(kErrOutOfMemory, kTextOutOfMemory);
  }
  return 0;
}

// A new node becomes the root, or the next member or element of the open container.
void JsonDocument::AttachNode(std::unique_ptr<JsonNode> node, bool as_root) {
  if (as_root) {
    node->name = "json";
    node->path = "$";
    root_ = std::move(node);
  } else if (current_ != nullptr) {
    node->parent = current_;
    if (stack_.back() == '{') {
      node->name = member_name_;
      node->path = current_->path + "['" + member_name_ + "']";
    } else {
      node->path = current_->path + "[" + std::to_string(element_index_.back()) + "]";
    }
    current_->children.push_back(std::move(node));
  }
}

void JsonDocument::BeginScalar(unsigned char b, bool number_char, bool top_level) {
  token_start_ = position_;
  top_level_scalar_ = top_level;
  if (b == '"') {
    state_ = kString;
  } else if (number_char) {
    state_ = kNumber;
  } else {
    state_ = kLiteral;
  }
}

int JsonDocument::Step(unsigned char b, bool* consumed) {
  const int cls = Class(b);
  switch (state_) {
    case kStart:
      if (b == '(') {
        wrapper_ = true;
      } else {
        *consumed = false;
      }
      state_ = record_mode_ == 2 ? kRecordStart : kTop;
      return 0;

    case kTop:
      if (cls == kWhitespace) return 0;
      if (!started_) {
        started_ = true;
        OnDocumentStart();
      }
      if (b == '{' || b == '[') return OpenContainer(static_cast<char>(b), position_);
      BeginScalar(b, cls == kNumberChar, true);
      return 0;

    case kObject:
      if (cls == kWhitespace) return 0;
      if (b == '}') return CloseContainer('{', position_);
      if (b != '"') return Fail(kErrJsonMarkup, kTextMarkup);
      token_start_ = position_;
      state_ = kName;
      return 0;

    case kName:
    case kString:
      if (hex_left_ > 0) {
        --hex_left_;
      } else if (escape_) {
        escape_ = false;
        if (b == 'u') hex_left_ = 4;
      } else if (b == '\\') {
        escape_ = true;
      } else if (b == '"') {
        if (state_ == kString) return EndScalar(kJsonString, position_ + 1);
        const char* s = text_.data() + (token_start_ + 1 - base_);
        const size_t n = static_cast<size_t>(position_ - token_start_ - 1);
        member_name_ =
            (string_options_ & kJsonDecodeEscapes) != 0 ? DecodeString(s, n) : std::string(s, n);
        has_member_name_ = true;
        if (path_events_) OnPathPush(member_name_.c_str());
        state_ = kColon;
      }
      return 0;

    case kColon:
      if (cls == kWhitespace) return 0;
      if (b != ':') return Fail(kErrJsonMarkup, kTextMarkup);
      state_ = kValue;
      return 0;

    case kValue:
      if (cls == kWhitespace) return 0;
      if (b == '{' || b == '[') return OpenContainer(static_cast<char>(b), position_);
      if (b == ']') {
        // A closing bracket where a value is expected: "[]" and a trailing comma.
        if (stack_.empty() || stack_.back() != '[') return Fail(kErrJsonMarkup, kTextMarkup);
        return CloseContainer('[', position_);
      }
      if (cls == kTerminator) return Fail(kErrJsonMarkup, kTextMarkup);
      BeginScalar(b, cls == kNumberChar, false);
      return 0;

    case kNumber:
      if (cls == kNumberChar) {
        if (position_ - token_start_ >= kJsonMaxNumberBytes) {
          return Fail(kErrJsonMarkup, kTextNumberTooLong);
        }
        return 0;
      }
      if (cls == kWhitespace || cls == kTerminator) {
        *consumed = false;
        return EndScalar(kJsonNumber, position_);
      }
      return Fail(kErrJsonMarkup, kTextMarkup);

    case kLiteral: {
      const bool ends = cls == kWhitespace || (!top_level_scalar_ && cls == kTerminator);
      if (!ends) {
        // No literal is longer than five bytes.
        if (position_ - token_start_ >= 5) return Fail(kErrJsonMarkup, kTextMarkup);
        return 0;
      }
      std::string word = text_.substr(static_cast<size_t>(token_start_ - base_),
                                      static_cast<size_t>(position_ - token_start_));
      int type = -1;
      if (top_level_scalar_) {
        if (word == "true" || word == "false") type = kJsonBoolean;
        if (word == "null") type = kJsonNull;
      } else {
        if (EqualsNoCase(word, "true") || EqualsNoCase(word, "false")) type = kJsonBoolean;
        if (EqualsNoCase(word, "null")) type = kJsonNull;
      }
      if (type < 0) return Fail(kErrJsonMarkup, kTextMarkup);
      *consumed = false;
      return EndScalar(type, position_);
    }

    case kAfterValue:
      if (cls == kWhitespace) return 0;
      if (b == ',') {
        state_ = stack_.back() == '{' ? kObject : kValue;
        return 0;
      }
      if ((b == ']' && stack_.back() == '[') || (b == '}' && stack_.back() == '{')) {
        return CloseContainer(stack_.back(), position_);
      }
      return Fail(kErrJsonMarkup, kTextMarkup);

    case kComplete:
      // Modes 1 and 3: the next document follows.
      if (cls == kWhitespace) return 0;
      if (wrapper_ && b == ')') {
        wrapper_closed_ = true;
        state_ = kAfterDocument;
        return 0;
      }
      DiscardDocument();
      state_ = kTop;
      *consumed = false;
      return 0;

    case kAfterDocument:
      if (cls == kWhitespace) return 0;
      if (wrapper_ && !wrapper_closed_ && b == ')') {
        wrapper_closed_ = true;
        return 0;
      }
      if (allow_trailing_) return 0;
      return Fail(kErrJsonMarkup, kTextTrailing);

    case kRecordStart:
      if (record_start_.empty()) {
        state_ = kTop;
        *consumed = false;
        return 0;
      }
      if (delimiter_matched_ == 0 && cls == kWhitespace) return 0;
      if (b != static_cast<unsigned char>(record_start_[delimiter_matched_])) {
        return Fail(kErrJsonMarkup, kTextRecordStart);
      }
      if (++delimiter_matched_ == record_start_.size()) {
        delimiter_matched_ = 0;
        state_ = kTop;
      }
      return 0;

    case kRecordEnd:
      if (delimiter_matched_ == 0 && cls == kWhitespace) return 0;
      if (!record_end_.empty()) {
        if (b != static_cast<unsigned char>(record_end_[delimiter_matched_])) {
          return Fail(kErrJsonMarkup, kTextRecordEnd);
        }
        if (++delimiter_matched_ < record_end_.size()) return 0;
      } else {
        *consumed = false;
      }
      delimiter_matched_ = 0;
      OnRecordEnd();
      DiscardDocument();
      state_ = kRecordStart;
      return 0;

    default:
      return Fail(kErrJsonMarkup, kTextMarkup);
  }
}

int JsonDocument::OpenContainer(char kind, int64_t at) {
  if (static_cast<int>(stack_.size()) >= kJsonMaxDepth) return Fail(kErrJsonMarkup, kTextTooDeep);
  const char* text = kind == '{' ? "{" : "[";
  if (build_dom_) {
    auto node = std::make_unique<JsonNode>();
    node->type = kind == '{' ? kJsonObject : kJsonArray;
    node->start = at;
    JsonNode* raw = node.get();
    AttachNode(std::move(node), !root_);
    current_ = raw;
  }
  if (!stack_.empty() && stack_.back() == '[') ++element_index_.back();
  stack_.push_back(kind);
  element_index_.push_back(0);
  path_stack_.push_back(has_member_name_ && stack_.size() > 1 ? member_name_ : std::string());
  has_member_name_ = false;
  if (path_events_) OnPathPush(text);
  state_ = kind == '{' ? kObject : kValue;
  return 0;
}

int JsonDocument::CloseContainer(char kind, int64_t at) {
  stack_.pop_back();
  element_index_.pop_back();
  const std::string member = path_stack_.back();
  path_stack_.pop_back();
  if (path_events_) {
    OnPathPop(kind == '{' ? "}" : "]");
    if (!member.empty()) OnPathPop(member.c_str());
  }
  if (build_dom_ && current_ != nullptr) {
    current_->end = at + 1;
    current_ = current_->parent;
  }
  if (stack_.empty()) {
    DocumentComplete();
  } else {
    state_ = kAfterValue;
  }
  return 0;
}

int JsonDocument::EndScalar(int type, int64_t end) {
  std::string value = text_.substr(static_cast<size_t>(token_start_ - base_),
                                   static_cast<size_t>(end - token_start_));
  if (type == kJsonString) {
    if ((string_options_ & kJsonStripQuotes) != 0 && value.size() >= 2) {
      value = value.substr(1, value.size() - 2);
    }
    if ((string_options_ & kJsonDecodeEscapes) != 0)
      value = DecodeString(value.data(), value.size());
  }
  OnValue(value.c_str(), type);
  if (build_dom_) {
    auto node = std::make_unique<JsonNode>();
    node->type = type;
    node->value = std::move(value);
    node->start = token_start_;
    node->end = end;
    AttachNode(std::move(node), top_level_scalar_ || !root_);
  }
  if (!stack_.empty() && stack_.back() == '[') ++element_index_.back();
  if (has_member_name_) {
    if (path_events_) OnPathPop(member_name_.c_str());
    has_member_name_ = false;
  }
  if (top_level_scalar_ || stack_.empty()) {
    top_level_scalar_ = false;
    DocumentComplete();
  } else {
    state_ = kAfterValue;
  }
  return 0;
}

void JsonDocument::DocumentComplete() {
  complete_ = true;
  OnDocumentEnd();
  if (record_mode_ == 1 || record_mode_ == 3) {
    state_ = kComplete;
  } else if (record_mode_ == 2) {
    state_ = kRecordEnd;
  } else {
    state_ = kAfterDocument;
  }
}

void JsonDocument::DiscardDocument() {
  root_.reset();
  current_ = selected_ = nullptr;
  started_ = false;
  complete_ = false;
}

// Escapes of a string's text to bytes of the component's code page; an escape that is not one
// is kept with its backslash. A surrogate pair in two \u escapes is one character.
std::string JsonDocument::DecodeString(const char* s, size_t n) const {
  std::string out;
  out.reserve(n);
  const unsigned cp = static_cast<unsigned>(GetCodePage());
  const bool utf8 = cp == win::CP_ACP || cp == win::CP_UTF8;
  auto put = [&](uint32_t c) {
    if (utf8) {
      AppendUtf8(out, c);
      return;
    }
    char16_t units[2];
    int count = 1;
    if (c >= 0x10000) {
      units[0] = static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
      units[1] = static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
      count = 2;
    } else {
      units[0] = static_cast<char16_t>(c);
    }
    char bytes[16];
    const int got =
        win::WideCharToMultiByte(cp, 0, units, count, bytes, sizeof bytes, nullptr, nullptr);
    if (got > 0) out.append(bytes, static_cast<size_t>(got));
  };
  for (size_t i = 0; i < n; ++i) {
    if (s[i] != '\\' || i + 1 >= n) {
      out.push_back(s[i]);
      continue;
    }
    const char e = s[i + 1];
    const char* simple = std::strchr("nrtfb\"/\\", e);
    if (e != '\0' && simple != nullptr) {
      static constexpr char kDecoded[] = "\n\r\t\f\b\"/\\";
      out.push_back(kDecoded[simple - "nrtfb\"/\\"]);
      ++i;
      continue;
    }
    const int unit = e == 'u' && i + 6 <= n ? Hex4(s + i + 2) : -1;
    if (unit < 0) {
      out.push_back('\\');
      continue;
    }
    i += 5;
    uint32_t c = static_cast<uint32_t>(unit);
    if (c >= 0xD800 && c <= 0xDBFF) {
      const int low = i + 7 <= n && s[i + 1] == '\\' && s[i + 2] == 'u' ? Hex4(s + i + 3) : -1;
      if (low >= 0xDC00 && low <= 0xDFFF) {
        c = 0x10000 + ((c - 0xD800) << 10) + (static_cast<uint32_t>(low) - 0xDC00);
        i += 6;
      } else {
        c = 0xFFFD;  // half a pair stands for no character
      }
    } else if (c >= 0xDC00 && c <= 0xDFFF) {
      c = 0xFFFD;
    }
    put(c);
  }
  return out;
}

// ---- Paths ----

int JsonDocument::Select(const char* path) {
  if (!root_) return Fail(kErrJsonNoDom, kTextNoDom);
  if (path == nullptr) return Fail(kErrJsonPath, kTextPath);
  const std::string p(path);
  bool jsonpath = jsonpath_only_ || p[0] == '$' || p == "@";
  if (!jsonpath && p[0] != '/') {
    const size_t open = p.find("['");
    if (open != std::string::npos && p.find("']", open + 2) != std::string::npos) jsonpath = true;
    for (size_t i = 1; !jsonpath && i + 1 < p.size(); ++i) {
      if (p[i] == '.' && p[i + 1] != '.' && p[i + 1] != '/') jsonpath = true;
    }
  }
  try {
    return jsonpath ? SelectJsonPath(path) : SelectSlash(path);
  } catch (const std::bad_alloc&) {
    return Fail(kErrOutOfMemory, kTextOutOfMemory);
  }
}

int JsonDocument::SelectSlash(const char* path) {
  std::string p(path);
  if (p == ".") return 0;
  // null with at_top: above the root, where the root is the only child.
  JsonNode* node = selected_;
  bool at_top = false;
  size_t i = 0;
  if (!p.empty() && p[0] == '/') {
    node = nullptr;
    at_top = true;
    i = 1;
  } else if (node == nullptr) {
    at_top = true;
  }
  while (i <= p.size()) {
    size_t slash = p.find('/', i);
    if (slash == std::string::npos) slash = p.size();
    std::string step = p.substr(i, slash - i);
    i = slash + 1;
    if (step == ".") continue;
    if (step == "..") {
      if (at_top || node->parent == nullptr) return Fail(kErrJsonPath, kTextPath);
      node = node->parent;
      continue;
    }
    std::string name = step;
    std::string predicate;
    const size_t bracket = step.find('[');
    if (bracket != std::string::npos) {
      if (step.back() != ']') return Fail(kErrJsonPath, kTextPath);
      name = step.substr(0, bracket);
      predicate = step.substr(bracket + 1, step.size() - bracket - 2);
    }
    std::vector<JsonNode*> matches;
    if (at_top) {
      if (NameMatches(name, *root_)) matches.push_back(root_.get());
    } else {
      for (auto& child : node->children) {
        if (NameMatches(name, *child)) matches.push_back(child.get());
      }
    }
    const int pick = bracket == std::string::npos
                         ? (matches.empty() ? -1 : 0)
                         : PickIndex(predicate, static_cast<int>(matches.size()), 1);
    if (pick < 0) return Fail(kErrJsonPath, kTextPath);
    node = matches[static_cast<size_t>(pick)];
    at_top = false;
  }
  if (at_top) return Fail(kErrJsonPath, kTextPath);
  selected_ = node;
  return 0;
}

int JsonDocument::SelectJsonPath(const char* path) {
  const std::string p(path);
  JsonNode* node = selected_ != nullptr ? selected_ : root_.get();
  size_t i = 0;
  if (!p.empty() && p[0] == '$') {
    node = root_.get();
    i = 1;
  } else if (!p.empty() && p[0] == '@') {
    i = 1;
  }
  auto child_named = [&](const std::string& name) -> JsonNode* {
    for (auto& child : node->children) {
      if (NameMatches(name, *child)) return child.get();
    }
    return nullptr;
  };
  bool first = i == 0;
  while (i < p.size()) {
    if (p[i] == '.' || first) {
      if (!first) ++i;
      first = false;
      if (i < p.size() && p[i] == '.')
        return Fail(kErrJsonPath, kTextPath);  // ".." selects nothing
      std::string name;
      while (i < p.size() && p[i] != '.' && p[i] != '[') {
        if (p[i] == '\\' && i + 1 < p.size() && std::strchr("[]\\", p[i + 1]) != nullptr) ++i;
        name.push_back(p[i++]);
      }
      node = child_named(name);
      if (node == nullptr) return Fail(kErrJsonPath, kTextPath);
    } else if (p[i] == '[') {
      if (p.compare(i, 2, "['") == 0) {
        const size_t close = p.find("']", i + 2);
        if (close == std::string::npos) return Fail(kErrJsonPath, kTextPath);
        node = child_named(p.substr(i + 2, close - i - 2));
        if (node == nullptr) return Fail(kErrJsonPath, kTextPath);
        i = close + 2;
      } else {
        const size_t close = p.find(']', i);
        if (close == std::string::npos) return Fail(kErrJsonPath, kTextPath);
        const int pick =
            PickIndex(p.substr(i + 1, close - i - 1), static_cast<int>(node->children.size()), 0);
        if (pick < 0) return Fail(kErrJsonPath, kTextPath);
        node = node->children[static_cast<size_t>(pick)].get();
        i = close + 1;
      }
    } else {
      return Fail(kErrJsonPath, kTextPath);
    }
  }
  selected_ = node;
  return 0;
}

bool JsonDocument::HasSelection() {
  if (selected_ != nullptr) return true;
  Fail(kErrJsonNoSelection, kTextNoSelection);
  return false;
}

const char* JsonDocument::CurrentName() {
  if (!HasSelection()) return nullptr;
  return selected_->name.c_str();
}

const char* JsonDocument::CurrentValue() {
  if (!HasSelection()) return nullptr;
  if (selected_->type != kJsonObject && selected_->type != kJsonArray)
    return selected_->value.c_str();
  out_.clear();
  if (keep_text_ && selected_->start >= base_ && selected_->end > selected_->start &&
      selected_->end - base_ <= static_cast<int64_t>(text_.size())) {
    out_ = text_.substr(static_cast<size_t>(selected_->start - base_),
                        static_cast<size_t>(selected_->end - selected_->start));
  }
  return out_.c_str();
}

int JsonDocument::ChildCount() {
  if (!HasSelection()) return -1;
  return static_cast<int>(selected_->children.size());
}

int JsonDocument::CurrentType() {
  if (!HasSelection()) return -1;
  return selected_->type;
}

const char* JsonDocument::CurrentPath() {
  if (!HasSelection()) return nullptr;
  return selected_->path.c_str();
}

}  // namespace tw
