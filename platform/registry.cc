#include "platform/registry.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/codepage.h"
#include "platform/handle.h"
#include "platform/process_tables.h"

namespace win {
namespace {

constexpr char kPathVariable[] = "TW_REGISTRY_FILE";
constexpr char kDefaultSubPath[] = "/.config/tarnwick/registry.txt";
constexpr char kFileHeader[] = "; tarnwick registry\n";
constexpr char kLockSuffix[] = ".lock";
constexpr size_t kMaxKeyNameLength = 255;

constexpr const char* kRootNames[] = {"HKEY_CLASSES_ROOT", "HKEY_CURRENT_USER",
                                      "HKEY_LOCAL_MACHINE"};
constexpr int kRootCount = 3;

// ---------------------------------------------------------------------------------------------
// Text helpers. Names and strings are UTF-16 inside; the file is UTF-8, with a lone surrogate
// kept as its three-byte generalised form so that every UTF-16 string survives a round trip.

void AppendUtf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

bool IsHigh(char16_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsLow(char16_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

// Calls f(code point, is_lone_surrogate) for each character.
template <class F>
void ForEachCodePoint(std::u16string_view s, F f) {
  for (size_t i = 0; i < s.size(); ++i) {
    char16_t c = s[i];
    if (IsHigh(c) && i + 1 < s.size() && IsLow(s[i + 1])) {
      f(0x10000 + ((static_cast<char32_t>(c) - 0xD800) << 10) + (s[i + 1] - 0xDC00), false);
      ++i;
    } else {
      f(static_cast<char32_t>(c), IsHigh(c) || IsLow(c));
    }
  }
}

std::string ToUtf8(std::u16string_view s) {
  std::string out;
  ForEachCodePoint(s, [&](char32_t c, bool) { AppendUtf8(out, c); });
  return out;
}

// Decodes UTF-8 (generalised: encoded surrogates allowed). False on malformed input.
bool FromUtf8(std::string_view s, std::u16string& out) {
  out.clear();
  size_t i = 0;
  while (i < s.size()) {
    auto b = static_cast<unsigned char>(s[i]);
    char32_t c;
    int extra;
    if (b < 0x80) {
      c = b;
      extra = 0;
    } else if ((b & 0xE0) == 0xC0) {
      c = b & 0x1F;
      extra = 1;
    } else if ((b & 0xF0) == 0xE0) {
      c = b & 0x0F;
      extra = 2;
    } else if ((b & 0xF8) == 0xF0) {
      c = b & 0x07;
      extra = 3;
    } else {
      return false;
    }
    if (extra > 0 && i + extra >= s.size()) return false;
    for (int k = 1; k <= extra; ++k) {
      auto t = static_cast<unsigned char>(s[i + k]);
      if ((t & 0xC0) != 0x80) return false;
      c = (c << 6) | (t & 0x3F);
    }
    static constexpr char32_t kMin[] = {0, 0x80, 0x800, 0x10000};
    if (c < kMin[extra] || c > 0x10FFFF) return false;
    if (c >= 0x10000) {
      c -= 0x10000;
      out += static_cast<char16_t>(0xD800 + (c >> 10));
      out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
    } else {
      out += static_cast<char16_t>(c);
    }
    i += 1 + extra;
  }
  return true;
}

// Case folding for key and value names: ASCII, Latin-1, Greek and Cyrillic letters.
char16_t Fold(char16_t c) {
  if (c >= u'a' && c <= u'z') return static_cast<char16_t>(c - 0x20);
  if ((c >= 0xE0 && c <= 0xFE && c != 0xF7)) return static_cast<char16_t>(c - 0x20);
  if (c >= 0x3B1 && c <= 0x3C9 && c != 0x3C2) return static_cast<char16_t>(c - 0x20);
  if (c >= 0x430 && c <= 0x44F) return static_cast<char16_t>(c - 0x20);
  if (c >= 0x450 && c <= 0x45F) return static_cast<char16_t>(c - 0x50);
  return c;
}

std::u16string Folded(std::u16string_view s) {
  std::u16string out(s);
  for (char16_t& c : out) c = Fold(c);
  return out;
}

// Text of the "A" calls: the ANSI code page, converted over `n` bytes (-1: up to the NUL).
bool AnsiToWide(const char* s, int n, std::u16string& out) {
  out.clear();
  if (s == nullptr || n == 0) return true;
  if (n < 0) n = static_cast<int>(std::strlen(s));
  if (n == 0) return true;
  int len = MultiByteToWideChar(CP_ACP, 0, s, n, nullptr, 0);
  if (len <= 0) return false;
  out.resize(static_cast<size_t>(len));
  return MultiByteToWideChar(CP_ACP, 0, s, n, out.data(), len) == len;
}

bool WideToAnsi(std::u16string_view s, std::string& out) {
  out.clear();
  if (s.empty()) return true;
  int n = static_cast<int>(s.size());
  int len = WideCharToMultiByte(CP_ACP, 0, s.data(), n, nullptr, 0, nullptr, nullptr);
  if (len <= 0) return false;
  out.resize(static_cast<size_t>(len));
  return WideCharToMultiByte(CP_ACP, 0, s.data(), n, out.data(), len, nullptr, nullptr) == len;
}

std::u16string WideOrEmpty(const char16_t* s) { return s == nullptr ? std::u16string() : s; }

bool IsStringType(DWORD type) {
  return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

std::u16string BytesToChars(const std::vector<uint8_t>& data) {
  std::u16string s(data.size() / 2, u'\0');
  std::memcpy(s.data(), data.data(), s.size() * 2);
  return s;
}

std::vector<uint8_t> CharsToBytes(std::u16string_view s) {
  std::vector<uint8_t> data(s.size() * 2);
  if (!s.empty()) std::memcpy(data.data(), s.data(), data.size());
  return data;
}

// ---------------------------------------------------------------------------------------------
// The tree.

struct Value {
  std::u16string name;  // spelling as first created
  DWORD type = REG_NONE;
  std::vector<uint8_t> data;
};

struct Key {
  std::u16string name;
  std::map<std::u16string, std::unique_ptr<Key>> children;  // by folded name
  std::map<std::u16string, Value> values;                   // by folded name
};

// A path below a root: folded names.
struct KeyPath {
  int root = 0;
  std::vector<std::u16string> names;
};

struct FileIdentity {
  bool exists = false;
  dev_t dev = 0;
  ino_t ino = 0;
  off_t size = 0;
  timespec mtime{};
  bool operator==(const FileIdentity& o) const {
    return exists == o.exists && dev == o.dev && ino == o.ino && size == o.size &&
           mtime.tv_sec == o.mtime.tv_sec && mtime.tv_nsec == o.mtime.tv_nsec;
  }
};

class WriteLock;

struct Registry {
  std::recursive_mutex lock;  // held across a transaction by its thread
  std::string path;           // of the loaded tree; empty before the first load
  FileIdentity identity;
  // The file last read or written stays open, so that its inode cannot be reused by a later
  // replacement that would then look unchanged.
  int loaded_fd = -1;
  // An open transaction: the file lock it holds, and whether the tree changed since it began.
  int transaction_depth = 0;
  bool transaction_dirty = false;
  bool transaction_failed = false;
  WriteLock* transaction_lock = nullptr;
  Key roots[kRootCount];
  std::map<uintptr_t, KeyPath> handles;
};

Registry& State() {
  static Registry* r = KeepProcessTable(new Registry);  // keys closed from static destructors
  return *r;
}

FileIdentity Identify(const std::string& path) {
  FileIdentity id;
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0) {
    id.exists = true;
    id.dev = st.st_dev;
    id.ino = st.st_ino;
    id.size = st.st_size;
    id.mtime = st.st_mtim;
  }
  return id;
}

std::string DefaultPath() {
  const char* home = std::getenv("HOME");
  std::string base;
  if (home != nullptr && home[0] != 0) {
    base = home;
  } else {
    struct passwd pw {};
    struct passwd* found = nullptr;
    char buf[4096];
    if (::getpwuid_r(::getuid(), &pw, buf, sizeof buf, &found) == 0 && found != nullptr) {
      base = found->pw_dir;
    } else {
      base = "/tmp";
    }
  }
  return base + kDefaultSubPath;
}

// ---------------------------------------------------------------------------------------------
// File format.

void AppendHexByte(std::string& out, uint8_t b) {
  static constexpr char kDigits[] = "0123456789abcdef";
  out += kDigits[b >> 4];
  out += kDigits[b & 15];
}

void AppendQuoted(std::string& out, std::u16string_view s) {
  out += '"';
  ForEachCodePoint(s, [&](char32_t c, bool lone) {
    switch (c) {
      case '\\': out += "\\\\"; return;
      case '"': out += "\\\""; return;
      case '\n': out += "\\n"; return;
      case '\r': out += "\\r"; return;
      case '\t': out += "\\t"; return;
      default: break;
    }
    if (lone || c < 0x20 || c == 0x7F) {
      char buf[16];
      std::snprintf(buf, sizeof buf, "\\u{%x}", static_cast<unsigned>(c));
      out += buf;
    } else {
      AppendUtf8(out, c);
    }
  });
  out += '"';
}

// Key names: "%" and control characters as %XX of their UTF-8 bytes; a lone surrogate's bytes too.
void AppendKeyName(std::string& out, std::u16string_view name) {
  std::string utf8 = ToUtf8(name);
  for (size_t i = 0; i < utf8.size(); ++i) {
    auto b = static_cast<unsigned char>(utf8[i]);
    bool surrogate = b == 0xED && i + 1 < utf8.size() &&
                     (static_cast<unsigned char>(utf8[i + 1]) & 0xE0) == 0xA0;
    if (surrogate) {
      for (size_t k = 0; k < 3 && i < utf8.size(); ++k, ++i) {
        out += '%';
        AppendHexByte(out, static_cast<uint8_t>(utf8[i]));
      }
      --i;
    } else if (b < 0x20 || b == 0x7F || b == '%' || b == ']') {
      out += '%';
      AppendHexByte(out, b);
    } else {
      out += static_cast<char>(b);
    }
  }
}

void AppendHex(std::string& out, const std::vector<uint8_t>& data) {
  for (size_t i = 0; i < data.size(); ++i) {
    if (i > 0) out += ',';
    AppendHexByte(out, data[i]);
  }
}

std::optional<std::u16string> SingleString(const std::vector<uint8_t>& data) {
  if (data.size() < 2 || data.size() % 2 != 0) return std::nullopt;
  std::u16string s = BytesToChars(data);
  if (s.back() != 0) return std::nullopt;
  s.pop_back();
  return s;
}

// REG_MULTI_SZ as its strings: each ends with a NUL, and one more NUL ends the list.
std::optional<std::vector<std::u16string>> MultiString(const std::vector<uint8_t>& data) {
  if (data.size() < 2 || data.size() % 2 != 0) return std::nullopt;
  std::u16string s = BytesToChars(data);
  if (s.back() != 0) return std::nullopt;
  s.pop_back();
  std::vector<std::u16string> items;
  size_t start = 0;
  while (start < s.size()) {
    size_t end = s.find(u'\0', start);
    if (end == std::u16string::npos || end == start) return std::nullopt;
    items.push_back(s.substr(start, end - start));
    start = end + 1;
  }
  return items;
}

void AppendValue(std::string& out, const Value& v) {
  if (v.name.empty()) {
    out += '@';
  } else {
    AppendQuoted(out, v.name);
  }
  out += '=';
  if (v.type == REG_DWORD && v.data.size() == 4) {
    uint32_t d;
    std::memcpy(&d, v.data.data(), 4);
    char buf[24];
    std::snprintf(buf, sizeof buf, "dword:%08x", d);
    out += buf;
    return;
  }
  if (v.type == REG_QWORD && v.data.size() == 8) {
    uint64_t q;
    std::memcpy(&q, v.data.data(), 8);
    char buf[32];
    std::snprintf(buf, sizeof buf, "qword:%016llx", static_cast<unsigned long long>(q));
    out += buf;
    return;
  }
  if (v.type == REG_SZ || v.type == REG_EXPAND_SZ) {
    if (auto s = SingleString(v.data)) {
      if (v.type == REG_EXPAND_SZ) out += "expand:";
      AppendQuoted(out, *s);
      return;
    }
  }
  if (v.type == REG_MULTI_SZ) {
    if (auto items = MultiString(v.data); items && !items->empty()) {
      out += "multi:";
      for (size_t i = 0; i < items->size(); ++i) {
        if (i > 0) out += ',';
        AppendQuoted(out, (*items)[i]);
      }
      return;
    }
  }
  if (v.type == REG_BINARY) {
    out += "hex:";
  } else {
    char buf[24];
    std::snprintf(buf, sizeof buf, "hex(%x):", static_cast<unsigned>(v.type));
    out += buf;
  }
  AppendHex(out, v.data);
}

void AppendKey(std::string& out, const Key& key, const std::string& path) {
  out += '[';
  out += path;
  out += "]\n";
  for (const auto& [folded, v] : key.values) {
    AppendValue(out, v);
    out += '\n';
  }
  for (const auto& [folded, child] : key.children) {
    std::string child_path = path;
    child_path += '\\';
    AppendKeyName(child_path, child->name);
    out += '\n';
    AppendKey(out, *child, child_path);
  }
}

std::string Serialise(const Registry& r) {
  std::string out = kFileHeader;
  for (int i = 0; i < kRootCount; ++i) {
    if (r.roots[i].children.empty() && r.roots[i].values.empty()) continue;
    out += '\n';
    AppendKey(out, r.roots[i], kRootNames[i]);
  }
  return out;
}

// Parsing. The reader is lenient: a line it cannot read is skipped, so one damaged line costs that
// line only.
class LineParser {
 public:
  explicit LineParser(std::string_view s) : s_(s) {}
  bool AtEnd() const { return pos_ >= s_.size(); }
  bool Eat(char c) {
    if (pos_ < s_.size() && s_[pos_] == c) {
      ++pos_;
      return true;
    }
    return false;
  }
  bool EatWord(std::string_view w) {
    if (s_.substr(pos_, w.size()) == w) {
      pos_ += w.size();
      return true;
    }
    return false;
  }
  bool Quoted(std::u16string& out) {
    if (!Eat('"')) return false;
    std::string utf8;
    out.clear();
    auto flush = [&]() {
      std::u16string part;
      if (!FromUtf8(utf8, part)) return false;
      out += part;
      utf8.clear();
      return true;
    };
    while (pos_ < s_.size()) {
      char c = s_[pos_++];
      if (c == '"') return flush();
      if (c != '\\') {
        utf8 += c;
        continue;
      }
      if (pos_ >= s_.size()) return false;
      char e = s_[pos_++];
      switch (e) {
        case '\\': utf8 += '\\'; break;
        case '"': utf8 += '"'; break;
        case 'n': utf8 += '\n'; break;
        case 'r': utf8 += '\r'; break;
        case 't': utf8 += '\t'; break;
        case 'u': {
          if (!Eat('{')) return false;
          unsigned long cp = 0;
          int digits = 0;
          while (pos_ < s_.size() && s_[pos_] != '}') {
            int d = HexDigit(s_[pos_++]);
            if (d < 0 || ++digits > 6) return false;
            cp = cp * 16 + static_cast<unsigned long>(d);
          }
          if (!Eat('}') || digits == 0 || cp > 0x10FFFF) return false;
          if (!flush()) return false;
          if (cp >= 0x10000) {
            cp -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (cp >> 10));
            out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
          } else {
            out += static_cast<char16_t>(cp);
          }
          break;
        }
        default: return false;
      }
    }
    return false;
  }
  bool HexNumber(uint64_t& out, size_t max_digits) {
    out = 0;
    size_t digits = 0;
    while (pos_ < s_.size() && HexDigit(s_[pos_]) >= 0) {
      if (++digits > max_digits) return false;
      out = out * 16 + static_cast<uint64_t>(HexDigit(s_[pos_++]));
    }
    return digits > 0;
  }
  bool HexBytes(std::vector<uint8_t>& out) {
    out.clear();
    if (AtEnd()) return true;
    do {
      if (pos_ + 2 > s_.size()) return false;
      int hi = HexDigit(s_[pos_]);
      int lo = HexDigit(s_[pos_ + 1]);
      if (hi < 0 || lo < 0) return false;
      out.push_back(static_cast<uint8_t>(hi * 16 + lo));
      pos_ += 2;
    } while (Eat(','));
    return AtEnd();
  }
  static int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  }

 private:
  std::string_view s_;
  size_t pos_ = 0;
};

std::optional<Value> ParseValueLine(std::string_view line) {
  LineParser p(line);
  Value v;
  if (!p.Eat('@') && !p.Quoted(v.name)) return std::nullopt;
  if (!p.Eat('=')) return std::nullopt;
  auto with_nul = [](std::u16string s) {
    s += u'\0';
    return CharsToBytes(s);
  };
  std::u16string text;
  uint64_t number = 0;
  if (p.EatWord("dword:")) {
    if (!p.HexNumber(number, 8) || !p.AtEnd()) return std::nullopt;
    auto d = static_cast<uint32_t>(number);
    v.type = REG_DWORD;
    v.data.resize(4);
    std::memcpy(v.data.data(), &d, 4);
  } else if (p.EatWord("qword:")) {
    if (!p.HexNumber(number, 16) || !p.AtEnd()) return std::nullopt;
    v.type = REG_QWORD;
    v.data.resize(8);
    std::memcpy(v.data.data(), &number, 8);
  } else if (p.EatWord("expand:")) {
    if (!p.Quoted(text) || !p.AtEnd()) return std::nullopt;
    v.type = REG_EXPAND_SZ;
    v.data = with_nul(text);
  } else if (p.EatWord("multi:")) {
    std::u16string all;
    do {
      if (!p.Quoted(text) || text.empty()) return std::nullopt;
      all += text;
      all += u'\0';
    } while (p.Eat(','));
    if (!p.AtEnd()) return std::nullopt;
    v.type = REG_MULTI_SZ;
    v.data = with_nul(all);
  } else if (p.EatWord("hex:")) {
    v.type = REG_BINARY;
    if (!p.HexBytes(v.data)) return std::nullopt;
  } else if (p.EatWord("hex(")) {
    if (!p.HexNumber(number, 8) || !p.Eat(')') || !p.Eat(':')) return std::nullopt;
    v.type = static_cast<DWORD>(number);
    if (!p.HexBytes(v.data)) return std::nullopt;
  } else {
    if (!p.Quoted(text) || !p.AtEnd()) return std::nullopt;
    v.type = REG_SZ;
    v.data = with_nul(text);
  }
  return v;
}

bool DecodeKeyName(std::string_view s, std::u16string& out) {
  std::string bytes;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] != '%') {
      bytes += s[i];
      continue;
    }
    if (i + 2 >= s.size()) return false;
    int hi = LineParser::HexDigit(s[i + 1]);
    int lo = LineParser::HexDigit(s[i + 2]);
    if (hi < 0 || lo < 0) return false;
    bytes += static_cast<char>(hi * 16 + lo);
    i += 2;
  }
  return FromUtf8(bytes, out) && !out.empty() && out.size() <= kMaxKeyNameLength &&
         out.find(u'\\') == std::u16string::npos;
}

Key* ChildOrCreate(Key& parent, const std::u16string& name) {
  std::u16string folded = Folded(name);
  auto it = parent.children.find(folded);
  if (it != parent.children.end()) return it->second.get();
  auto child = std::make_unique<Key>();
  child->name = name;
  Key* raw = child.get();
  parent.children.emplace(std::move(folded), std::move(child));
  return raw;
}

// The key of a "[...]" line, made when missing; null when the line names no valid key.
Key* KeyOfHeader(Registry& r, std::string_view path) {
  size_t sep = path.find('\\');
  std::string_view root_name = path.substr(0, sep);
  Key* key = nullptr;
  for (int i = 0; i < kRootCount; ++i) {
    if (root_name == kRootNames[i]) key = &r.roots[i];
  }
  if (key == nullptr) return nullptr;
  while (sep != std::string_view::npos) {
    size_t next = path.find('\\', sep + 1);
    std::string_view part =
        path.substr(sep + 1, next == std::string_view::npos ? next : next - sep - 1);
    std::u16string name;
    if (!DecodeKeyName(part, name)) return nullptr;
    key = ChildOrCreate(*key, name);
    sep = next;
  }
  return key;
}

void Parse(Registry& r, std::string_view text) {
  Key* current = nullptr;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(pos, end - pos);
    pos = end + 1;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty() || line[0] == ';') continue;
    if (line[0] == '[') {
      current = line.size() >= 2 && line.back() == ']'
                    ? KeyOfHeader(r, line.substr(1, line.size() - 2))
                    : nullptr;
      continue;
    }
    if (current == nullptr) continue;
    if (auto v = ParseValueLine(line)) {
      std::u16string folded = Folded(v->name);
      current->values.insert_or_assign(std::move(folded), std::move(*v));
    }
  }
}

void ClearTree(Registry& r) {
  for (Key& root : r.roots) {
    root.children.clear();
    root.values.clear();
  }
}

void KeepLoaded(Registry& r, int fd) {
  if (r.loaded_fd >= 0) ::close(r.loaded_fd);
  r.loaded_fd = fd;
}

// Reads the file again when another writer (this process or another) replaced it since.
void Refresh(Registry& r) {
  std::string path = RegistryFilePath();
  FileIdentity id = Identify(path);
  if (path == r.path && id == r.identity) return;
  ClearTree(r);
  r.path = path;
  r.identity = id;
  if (!id.exists) return;
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;
  std::string text;
  char buf[65536];
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    text.append(buf, static_cast<size_t>(n));
  }
  struct stat st {};
  if (::fstat(fd, &st) == 0) {
    r.identity.dev = st.st_dev;
    r.identity.ino = st.st_ino;
    r.identity.size = st.st_size;
    r.identity.mtime = st.st_mtim;
  }
  KeepLoaded(r, fd);
  Parse(r, text);
}

LONG MakeParentDirs(const std::string& path) {
  for (size_t slash = path.find('/', 1); slash != std::string::npos;
       slash = path.find('/', slash + 1)) {
    std::string dir = path.substr(0, slash);
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
      return static_cast<LONG>(ErrorFromErrno(errno));
    }
  }
  return ERROR_SUCCESS;
}

bool WriteAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// Writes the whole tree to a temporary file beside the registry and renames it over it.
LONG Save(Registry& r) {
  std::string text = Serialise(r);
  LONG rc = MakeParentDirs(r.path);
  if (rc != ERROR_SUCCESS) return rc;
  std::string tmp = r.path + ".XXXXXX";
  int fd = ::mkostemp(tmp.data(), O_CLOEXEC);
  if (fd < 0) return static_cast<LONG>(ErrorFromErrno(errno));
  ::fchmod(fd, 0600);
  bool ok = WriteAll(fd, text) && ::fsync(fd) == 0;
  int err = errno;
  if (ok && ::rename(tmp.c_str(), r.path.c_str()) != 0) {
    err = errno;
    ok = false;
  }
  if (!ok) {
    ::close(fd);
    ::unlink(tmp.c_str());
    return err == ENOSPC ? static_cast<LONG>(ERROR_DISK_FULL)
                         : (err == EACCES || err == EPERM ? static_cast<LONG>(ERROR_ACCESS_DENIED)
                                                          : static_cast<LONG>(ERROR_WRITE_FAULT));
  }
  KeepLoaded(r, fd);
  r.identity = Identify(r.path);
  return ERROR_SUCCESS;
}

// A change outside a transaction is written at once; inside one it waits for the commit.
LONG SaveChange(Registry& r) {
  if (r.transaction_depth > 0) {
    r.transaction_dirty = true;
    return ERROR_SUCCESS;
  }
  LONG rc = Save(r);
  if (rc != ERROR_SUCCESS) r.path.clear();  // drop the change: the next call reads the file again
  return rc;
}

// Serialises writers across processes: read, change and write happen under one lock on a file
// beside the registry, so two writers never lose each other's change.
class WriteLock {
 public:
  explicit WriteLock(const std::string& path) {
    std::string lock_path = path + kLockSuffix;
    if (MakeParentDirs(lock_path) != ERROR_SUCCESS) return;
    fd_ = ::open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd_ < 0) return;
    while (::flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
    }
  }
  ~WriteLock() {
    if (fd_ >= 0) ::close(fd_);  // closing drops the lock
  }
  WriteLock(const WriteLock&) = delete;
  WriteLock& operator=(const WriteLock&) = delete;

 private:
  int fd_ = -1;
};

// ---------------------------------------------------------------------------------------------
// Paths and handles.

int RootIndex(HKEY key) {
  auto v = reinterpret_cast<uintptr_t>(key);
  if (v >= 0x80000000u && v < 0x80000000u + kRootCount) return static_cast<int>(v - 0x80000000u);
  return -1;
}

// Splits "a\b\c" into folded names, keeping the spelling in `spelled`.
LONG SplitSubKey(std::u16string_view sub, std::vector<std::u16string>& spelled) {
  spelled.clear();
  if (sub.empty()) return ERROR_SUCCESS;
  if (sub.back() == u'\\') sub.remove_suffix(1);
  size_t start = 0;
  for (;;) {
    size_t end = sub.find(u'\\', start);
    std::u16string_view part =
        sub.substr(start, end == std::u16string_view::npos ? end : end - start);
    if (part.empty() || part.size() > kMaxKeyNameLength) return ERROR_INVALID_PARAMETER;
    spelled.emplace_back(part);
    if (end == std::u16string_view::npos) break;
    start = end + 1;
  }
  return ERROR_SUCCESS;
}

Key* Find(Registry& r, const KeyPath& path) {
  Key* key = &r.roots[path.root];
  for (const std::u16string& folded : path.names) {
    auto it = key->children.find(folded);
    if (it == key->children.end()) return nullptr;
    key = it->second.get();
  }
  return key;
}

// The path of an open key or root plus a sub key. Fails for unknown handles and deleted keys.
LONG Resolve(Registry& r, HKEY key, std::u16string_view sub, KeyPath& out,
             std::vector<std::u16string>* spelled_out = nullptr) {
  int root = RootIndex(key);
  if (root >= 0) {
    out.root = root;
    out.names.clear();
  } else {
    auto it = r.handles.find(reinterpret_cast<uintptr_t>(key));
    if (it == r.handles.end()) return ERROR_INVALID_HANDLE;
    out = it->second;
    if (Find(r, out) == nullptr) return ERROR_KEY_DELETED;
  }
  std::vector<std::u16string> spelled;
  LONG rc = SplitSubKey(sub, spelled);
  if (rc != ERROR_SUCCESS) return rc;
  for (const auto& s : spelled) out.names.push_back(Folded(s));
  if (spelled_out != nullptr) *spelled_out = std::move(spelled);
  return ERROR_SUCCESS;
}

HKEY NewKeyHandle(Registry& r, KeyPath path) {
  uintptr_t id = NewHandleId();
  r.handles.emplace(id, std::move(path));
  return reinterpret_cast<HKEY>(id);
}

// Finds the open key `key` itself (sub key empty); fails for unknown handles and deleted keys.
LONG OpenedKey(Registry& r, HKEY key, Key*& out) {
  KeyPath path;
  LONG rc = Resolve(r, key, {}, path);
  if (rc != ERROR_SUCCESS) return rc;
  out = Find(r, path);
  if (out == nullptr) return ERROR_KEY_DELETED;
  return ERROR_SUCCESS;
}

// ---------------------------------------------------------------------------------------------
// The calls, on UTF-16 names.

LONG OpenKey(HKEY key, std::u16string_view sub, HKEY* result) {
  if (result == nullptr) return ERROR_INVALID_PARAMETER;
  *result = nullptr;
  Registry& r = State();
  std::lock_guard<std::recursive_mutex> guard(r.lock);
  Refresh(r);
  KeyPath path;
  LONG rc = Resolve(r, key, sub, path);
  if (rc != ERROR_SUCCESS) return rc;
  if (Find(r, path) == nullptr) return ERROR_FILE_NOT_FOUND;
  *result = NewKeyHandle(r, std::move(path));
  return ERROR_SUCCESS;
}

LONG CreateKey(HKEY key, std::u16string_view sub, HKEY* result, DWORD* disposition) {
  if (result == nullptr) return ERROR_INVALID_PARAMETER;
  *result = nullptr;
  Registry& r = State();
  std::lock_guard<std::recursive_mutex> guard(r.lock);
  std::optional<WriteLock> file_lock;
  if (r.transaction_depth == 0) file_lock.emplace(RegistryFilePath());
  Refresh(r);
  KeyPath path;
  std::vector<std::u16string> spelled;
  LONG rc = Resolve(r, key, sub, path, &spelled);
  if (rc != ERROR_SUCCESS) return rc;
  KeyPath base = path;
  base.names.resize(path.names.size() - spelled.size());
  Key* k = Find(r, base);
  bool created = false;
  for (const std::u16string& name : spelled) {
    auto it = k->children.find(Folded(name));
    if (it == k->children.end()) created = true;
    k = ChildOrCreate(*k, name);
  }
  if (created) {
    rc = SaveChange(r);
    if (rc != ERROR_SUCCESS) return rc;
  }
  if (disposition != nullptr)
    *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
  *result = NewKeyHandle(r, std::move(path));
  return ERROR_SUCCESS;
}

// Copies `data` into the caller's buffer with the home platform's size rules.
LONG ReturnData(const std::vector<uint8_t>& data, BYTE* out, DWORD* size) {
  if (out != nullptr && size == nullptr) return ERROR_INVALID_PARAMETER;
  if (size == nullptr) return ERROR_SUCCESS;
  DWORD room = *size;
  *size = static_cast<DWORD>(data.size());
  if (out == nullptr) return ERROR_SUCCESS;
  if (room < data.size()) return ERROR_MORE_DATA;
  if (!data.empty()) std::memcpy(out, data.data(), data.size());
  return ERROR_SUCCESS;
}

// String data of the "W" calls gets a NUL when it was stored without one and the buffer has room.
LONG ReturnWideData(const Value& v, BYTE* out, DWORD* size) {
  DWORD room = size != nullptr ? *size : 0;
  LONG rc = ReturnData(v.data, out, size);
  if (rc == ERROR_SUCCESS && out != nullptr && IsStringType(v.type) && v.data.size() % 2 == 0) {
    bool has_nul =
        v.data.size() >= 2 && v.data[v.data.size() - 1] == 0 && v.data[v.data.size() - 2] == 0;
    if (!has_nul && room >= v.data.size() + 2) {
      out[v.data.size()] = 0;
      out[v.data.size() + 1] = 0;
    }
  }
  return rc;
}

// String data of the "A" calls: converted to the ANSI code page, with its NUL.
bool AnsiData(const Value& v, std::vector<uint8_t>& out) {
  if (!IsStringType(v.type)) {
    out = v.data;
    return true;
  }
  std::u16string chars = BytesToChars(v.data);
  if (chars.empty() || chars.back() != 0) chars += u'\0';
  std::string ansi;
  if (!WideToAnsi(chars, ansi)) return false;
  out.assign(ansi.begin(), ansi.end());
  return true;
}

LONG QueryValue(HKEY key, std::u16string_view name, DWORD* type, BYTE* data, DWORD* size,
                bool ansi) {
  Registry& r = State();
  std::lock_guard<std::recursive_mutex> guard(r.lock);
  Refresh(r);
  Key* k = nullptr;
  LONG rc = OpenedKey(r, key, k);
  if (rc != ERROR_SUCCESS) return rc;
  auto it = k->values.find(Folded(name));
  if (it == k->values.end()) return ERROR_FILE_NOT_FOUND;
  const Value& v = it->second;
  if (type != nullptr) *type = v.type;
  if (!ansi) return ReturnWideData(v, data, size);
  std::vector<uint8_t> converted;
  if (!AnsiData(v, converted)) return ERROR_NO_UNICODE_TRANSLATION;
  return ReturnData(converted, data, size);
}

// Runs `change` on the key under the write lock and saves; a failed save drops the change.
template <class F>
LONG ChangeKey(HKEY key, std::u16string_view sub, F change) {
  Registry& r = State();
  std::lock_guard<std::recursive_mutex> guard(r.lock);
  std::optional<WriteLock> file_lock;
  if (r.transaction_depth == 0) file_lock.emplace(RegistryFilePath());
  Refresh(r);
  KeyPath path;
  LONG rc = Resolve(r, key, sub, path);
  if (rc != ERROR_SUCCESS) return rc;
  rc = change(r, path);
  if (rc != ERROR_SUCCESS) return rc;
  return SaveChange(r);
}

LONG SetValue(HKEY key, std::u16string_view name, DWORD type, std::vector<uint8_t> data) {
  if ((type == REG_DWORD && data.size() != 4) || (type == REG_QWORD && data.size() != 8)) {
    return ERROR_INVALID_PARAMETER;
  }
  return ChangeKey(key, {}, [&](Registry& r, const KeyPath& path) -> LONG {
    Key* k = Find(r, path);
    if (k == nullptr) return ERROR_KEY_DELETED;
    std::u16string folded = Folded(name);
    auto it = k->values.find(folded);
    if (it == k->values.end()) {
      it = k->values.emplace(std::move(folded), Value{std::u16string(name), type, {}}).first;
    }
    it->second.type = type;
    it->second.data = std::move(data);
    return ERROR_SUCCESS;
  });
}

LONG DeleteValue(HKEY key, std::u16string_view name) {
  return ChangeKey(key, {}, [&](Registry& r, const KeyPath& path) -> LONG {
    Key* k = Find(r, path);
    if (k == nullptr) return ERROR_KEY_DELETED;
    return k->values.erase(Folded(name)) == 0 ? ERROR_FILE_NOT_FOUND : ERROR_SUCCESS;
  });
}

// Deletes the key at `path`; `whole` allows subkeys.
LONG DeleteAt(Registry& r, const KeyPath& path, bool whole) {
  if (path.names.empty()) return ERROR_ACCESS_DENIED;  // a root stays
  Key* k = Find(r, path);
  if (k == nullptr) return ERROR_FILE_NOT_FOUND;
  if (!whole && !k->children.empty()) return ERROR_ACCESS_DENIED;
  KeyPath parent = path;
  parent.names.pop_back();
  Find(r, parent)->children.erase(path.names.back());
  return ERROR_SUCCESS;
}

LONG DeleteKey(HKEY key, std::u16string_view sub) {
  return ChangeKey(key, sub,
                   [](Registry& r, const KeyPath& path) { return DeleteAt(r, path, false); });
}

LONG DeleteTree(HKEY key, const std::u16string* sub) {
  if (sub != nullptr) {
    return ChangeKey(key, *sub,
                     [](Registry& r, const KeyPath& path) { return DeleteAt(r, path, true); });
  }
  return ChangeKey(key, {}, [](Registry& r, const KeyPath& path) -> LONG {
    Key* k = Find(r, path);
    if (k == nullptr) return ERROR_KEY_DELETED;
    k->children.clear();
    k->values.clear();
    return ERROR_SUCCESS;
  });
}

// The index-th subkey's (or value's) name, or ERROR_NO_MORE_ITEMS.
LONG NthName(HKEY key, DWORD index, bool values, std::u16string& name, Value* value) {
  Registry& r = State();
  std::lock_guard<std::recursive_mutex> guard(r.lock);
  Refresh(r);
  Key* k = nullptr;
  LONG rc = OpenedKey(r, key, k);
  if (rc != ERROR_SUCCESS) return rc;
  if (values) {
    if (index >= k->values.size()) return ERROR_NO_MORE_ITEMS;
    auto it = std::next(k->values.begin(), index);
    name = it->second.name;
    if (value != nullptr) *value = it->second;
  } else {
    if (index >= k->children.size()) return ERROR_NO_MORE_ITEMS;
    name = std::next(k->children.begin(), index)->second->name;
  }
  return ERROR_SUCCESS;
}

// Puts a name into a caller buffer counted in characters: on entry its size with the NUL, on
// success the length without it.
template <class Char>
LONG ReturnName(const std::basic_string<Char>& name, Char* out, DWORD* size) {
  if (out == nullptr || size == nullptr) return ERROR_INVALID_PARAMETER;
  if (*size < name.size() + 1) {
    *size = static_cast<DWORD>(name.size() + 1);
    return ERROR_MORE_DATA;
  }
  std::copy(name.begin(), name.end(), out);
  out[name.size()] = 0;
  *size = static_cast<DWORD>(name.size());
  return ERROR_SUCCESS;
}

void ClearClass(DWORD* class_size, FILETIME* last_write) {
  if (class_size != nullptr) *class_size = 0;
  if (last_write != nullptr) *last_write = FILETIME{0, 0};
}

}  // namespace

std::string RegistryFilePath() {
  const char* path = std::getenv(kPathVariable);
  if (path != nullptr && path[0] != 0) return path;
  return DefaultPath();
}

RegistryTransaction::RegistryTransaction() {
  Registry& r = State();
  r.lock.lock();
  if (r.transaction_depth++ == 0) {
    r.transaction_lock = new WriteLock(RegistryFilePath());
    r.transaction_dirty = false;
    r.transaction_failed = false;
    Refresh(r);
  }
}

LONG RegistryTransaction::Commit() {
  Registry& r = State();
  if (committed_) return ERROR_SUCCESS;
  committed_ = true;
  if (r.transaction_depth > 1 || !r.transaction_dirty) return ERROR_SUCCESS;
  r.transaction_dirty = false;
  if (r.transaction_failed) {
    r.path.clear();
    return ERROR_WRITE_FAULT;
  }
  LONG rc = Save(r);
  if (rc != ERROR_SUCCESS) r.path.clear();
  return rc;
}

RegistryTransaction::~RegistryTransaction() {
  Registry& r = State();
  if (!committed_) {
    r.transaction_failed = true;
    if (r.transaction_depth == 1 && r.transaction_dirty) r.path.clear();  // drop the changes
  }
  if (--r.transaction_depth == 0) {
    delete r.transaction_lock;
    r.transaction_lock = nullptr;
    r.transaction_dirty = false;
    r.transaction_failed = false;
  }
  r.lock.unlock();
}

long OpenRegistryKeyCount() {
  Registry& r = State();
  std::lock_guard<std::recursive_mutex> guard(r.lock);
  return static_cast<long>(r.handles.size());
}

LONG RegOpenKeyExA(HKEY key, const char* sub_key, DWORD, REGSAM, HKEY* result) {
  std::u16string sub;
  if (!AnsiToWide(sub_key, -1, sub)) return ERROR_INVALID_PARAMETER;
  return OpenKey(key, sub, result);
}

LONG RegOpenKeyExW(HKEY key, const char16_t* sub_key, DWORD, REGSAM, HKEY* result) {
  return OpenKey(key, WideOrEmpty(sub_key), result);
}

LONG RegCreateKeyExA(HKEY key, const char* sub_key, DWORD, char*, DWORD, REGSAM, const void*,
                     HKEY* result, DWORD* disposition) {
  std::u16string sub;
  if (!AnsiToWide(sub_key, -1, sub)) return ERROR_INVALID_PARAMETER;
  return CreateKey(key, sub, result, disposition);
}

LONG RegCreateKeyExW(HKEY key, const char16_t* sub_key, DWORD, char16_t*, DWORD, REGSAM,
                     const void*, HKEY* result, DWORD* disposition) {
  return CreateKey(key, WideOrEmpty(sub_key), result, disposition);
}

LONG RegCloseKey(HKEY key) {
  if (RootIndex(key) >= 0) return ERROR_SUCCESS;
  Registry& r = State();
  std::lock_guard<std::recursive_mutex> guard(r.lock);
  return r.handles.erase(reinterpret_cast<uintptr_t>(key)) == 0 ? ERROR_INVALID_HANDLE
                                                                : ERROR_SUCCESS;
}

LONG RegQueryValueExA(HKEY key, const char* name, DWORD*, DWORD* type, BYTE* data, DWORD* size) {
  std::u16string wide;
  if (!AnsiToWide(name, -1, wide)) return ERROR_INVALID_PARAMETER;
  return QueryValue(key, wide, type, data, size, true);
}

LONG RegQueryValueExW(HKEY key, const char16_t* name, DWORD*, DWORD* type, BYTE* data,
                      DWORD* size) {
  return QueryValue(key, WideOrEmpty(name), type, data, size, false);
}

LONG RegSetValueExA(HKEY key, const char* name, DWORD, DWORD type, const BYTE* data, DWORD size) {
  if (data == nullptr && size != 0) return ERROR_INVALID_PARAMETER;
  std::u16string wide;
  if (!AnsiToWide(name, -1, wide)) return ERROR_INVALID_PARAMETER;
  std::vector<uint8_t> bytes;
  if (IsStringType(type)) {
    std::u16string chars;
    if (!AnsiToWide(reinterpret_cast<const char*>(data), static_cast<int>(size), chars)) {
      return ERROR_NO_UNICODE_TRANSLATION;
    }
    bytes = CharsToBytes(chars);
  } else if (size != 0) {
    bytes.assign(data, data + size);
  }
  return SetValue(key, wide, type, std::move(bytes));
}

LONG RegSetValueExW(HKEY key, const char16_t* name, DWORD, DWORD type, const BYTE* data,
                    DWORD size) {
  if (data == nullptr && size != 0) return ERROR_INVALID_PARAMETER;
  std::vector<uint8_t> bytes;
  if (size != 0) bytes.assign(data, data + size);
  return SetValue(key, WideOrEmpty(name), type, std::move(bytes));
}

LONG RegDeleteValueA(HKEY key, const char* name) {
  std::u16string wide;
  if (!AnsiToWide(name, -1, wide)) return ERROR_INVALID_PARAMETER;
  return DeleteValue(key, wide);
}

LONG RegDeleteValueW(HKEY key, const char16_t* name) { return DeleteValue(key, WideOrEmpty(name)); }

LONG RegDeleteKeyA(HKEY key, const char* sub_key) {
  std::u16string sub;
  if (!AnsiToWide(sub_key, -1, sub)) return ERROR_INVALID_PARAMETER;
  return DeleteKey(key, sub);
}

LONG RegDeleteKeyW(HKEY key, const char16_t* sub_key) {
  return DeleteKey(key, WideOrEmpty(sub_key));
}

LONG RegDeleteTreeA(HKEY key, const char* sub_key) {
  if (sub_key == nullptr) return DeleteTree(key, nullptr);
  std::u16string sub;
  if (!AnsiToWide(sub_key, -1, sub)) return ERROR_INVALID_PARAMETER;
  return DeleteTree(key, &sub);
}

LONG RegDeleteTreeW(HKEY key, const char16_t* sub_key) {
  if (sub_key == nullptr) return DeleteTree(key, nullptr);
  std::u16string sub = sub_key;
  return DeleteTree(key, &sub);
}

LONG RegEnumKeyExA(HKEY key, DWORD index, char* name, DWORD* name_size, DWORD*, char*,
                   DWORD* class_size, FILETIME* last_write) {
  std::u16string wide;
  LONG rc = NthName(key, index, false, wide, nullptr);
  if (rc != ERROR_SUCCESS) return rc;
  std::string ansi;
  if (!WideToAnsi(wide, ansi)) return ERROR_NO_UNICODE_TRANSLATION;
  ClearClass(class_size, last_write);
  return ReturnName(ansi, name, name_size);
}

LONG RegEnumKeyExW(HKEY key, DWORD index, char16_t* name, DWORD* name_size, DWORD*, char16_t*,
                   DWORD* class_size, FILETIME* last_write) {
  std::u16string wide;
  LONG rc = NthName(key, index, false, wide, nullptr);
  if (rc != ERROR_SUCCESS) return rc;
  ClearClass(class_size, last_write);
  return ReturnName(wide, name, name_size);
}

LONG RegEnumValueA(HKEY key, DWORD index, char* name, DWORD* name_size, DWORD*, DWORD* type,
                   BYTE* data, DWORD* data_size) {
  std::u16string wide;
  Value v;
  LONG rc = NthName(key, index, true, wide, &v);
  if (rc != ERROR_SUCCESS) return rc;
  std::string ansi;
  if (!WideToAnsi(wide, ansi)) return ERROR_NO_UNICODE_TRANSLATION;
  rc = ReturnName(ansi, name, name_size);
  if (rc != ERROR_SUCCESS) return rc;
  if (type != nullptr) *type = v.type;
  std::vector<uint8_t> converted;
  if (!AnsiData(v, converted)) return ERROR_NO_UNICODE_TRANSLATION;
  return ReturnData(converted, data, data_size);
}

}  // namespace win
