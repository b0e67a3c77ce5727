#include "certs/distinguished_name.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "foundation/text_conversion.h"

namespace tw {

namespace {

struct AttributeName {
  const char* name;
  const char* oid;
};

constexpr AttributeName kAttributes[] = {
    {"C", "2.5.4.6"},    {"SERIALNUMBER", "2.5.4.5"}, {"PostalCode", "2.5.4.17"},
    {"S", "2.5.4.8"},    {"L", "2.5.4.7"},            {"STREET", "2.5.4.9"},
    {"O", "2.5.4.10"},   {"OU", "2.5.4.11"},          {"CN", "2.5.4.3"},
    {"SN", "2.5.4.4"},   {"G", "2.5.4.42"},           {"I", "2.5.4.43"},
    {"E", "1.2.840.113549.1.9.1"},                    {"T", "2.5.4.12"},
    {"UID", "0.9.2342.19200300.100.1.1"},
};

// Attributes written as IA5String.
constexpr const char* kIa5Oids[] = {"1.2.840.113549.1.9.1", "0.9.2342.19200300.100.1.3",
                                    "1.2.840.113549.1.9.2", "0.9.2342.19200300.100.1.2.25"};

constexpr uint8_t kTagUtf8 = 12;
constexpr uint8_t kTagPrintable = 19;
constexpr uint8_t kTagIa5 = 22;
constexpr uint8_t kTagBmp = 30;

bool NeedsQuotes(const char* p, size_t n) {
  if (n == 0) return false;
  if (p[0] == ' ' || p[n - 1] == ' ') return true;
  for (size_t i = 0; i < n; ++i) {
    if (std::strchr(",+=#<>\"", p[i]) && p[i]) return true;
  }
  return false;
}

bool IsPrintableStringChar(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
         (c != 0 && std::strchr(" '()+,-./:=?", c) != nullptr);
}

bool IsDottedNumber(const char* s) {
  if (!*s) return false;
  bool digit = false;
  for (; *s; ++s) {
    if (*s >= '0' && *s <= '9') {
      digit = true;
    } else if (*s == '.' && digit) {
      digit = false;
    } else {
      return false;
    }
  }
  return digit;
}

std::string Trim(const std::string& s) {
  size_t a = 0, b = s.size();
  while (a < b && s[a] == ' ') ++a;
  while (b > a && s[b - 1] == ' ') --b;
  return s.substr(a, b - a);
}

std::string Upper(std::string s) {
  for (char& c : s) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
  }
  return s;
}

int AppendValueText(uint8_t tag, const DerCursor& content, ByteString* text) {
  ByteString value;
  int rc = value.Set(content.data(), static_cast<int>(content.size()));
  if (rc == kOk && tag == kTagBmp) rc = Utf16BeToUtf8(value);
  if (rc != kOk) return rc == kErrOutOfMemory ? rc : kErrDerMalformed;
  ByteString escaped;
  for (int i = 0; i < value.length() && rc == kOk; ++i) {
    const uint8_t c = value.bytes()[i];
    if (c < 0x20) {
      // A control byte (a NUL above all) must not cut the text short where it is read as C text.
      rc = escaped.AppendFormat("\\%02x", c);
      continue;
    }
    if (c == '"') rc = escaped.AppendByte('\\');
    if (rc == kOk) rc = escaped.AppendByte(c);
  }
  if (rc != kOk) return rc;
  if (NeedsQuotes(escaped.data(), static_cast<size_t>(escaped.length()))) {
    rc = text->AppendByte('"');
    if (rc == kOk) rc = text->AppendString(escaped);
    if (rc == kOk) rc = text->AppendByte('"');
    return rc;
  }
  return text->AppendString(escaped);
}

}  // namespace

void AttributeOidToName(const char* oid, ByteString* name) {
  for (const AttributeName& a : kAttributes) {
    if (std::strcmp(a.oid, oid) == 0) {
      name->SetText(a.name);
      return;
    }
  }
  name->SetText(oid);
}

int AttributeNameToOid(const char* name, ByteString* oid) {
  const std::string key = Upper(Trim(name ? name : ""));
  for (const AttributeName& a : kAttributes) {
    if (Upper(a.name) == key) return oid->SetText(a.oid);
  }
  // An unknown name must never be written as a made-up identifier.
  if (!IsDottedNumber(key.c_str())) return -1;
  return oid->SetText(key.c_str());
}

int NameDerToText(const DerCursor& name_der, ByteString* text) {
  DerCursor all = name_der;
  uint8_t tag = 0;
  DerCursor rdns;
  int rc = all.Next(&tag, &rdns);
  if (rc != kOk) return rc;
  ByteString out;
  ByteString oid, short_name;
  bool first = true;
  while (!rdns.empty()) {
    DerCursor rdn, atv, value;
    uint8_t vtag = 0;
    rc = rdns.Next(&tag, &rdn);
    if (rc == kOk) rc = rdn.Next(&tag, &atv);
    if (rc == kOk) rc = atv.NextOid(&oid);
    if (rc == kOk) rc = atv.Next(&vtag, &value);
    if (rc != kOk) return rc;
    AttributeOidToName(oid.c_str(), &short_name);
    if (!first) rc = out.Append(", ", 2);
    first = false;
    if (rc == kOk) rc = out.AppendString(short_name);
    if (rc == kOk) rc = out.AppendByte('=');
    if (rc == kOk) rc = AppendValueText(vtag, value, &out);
    if (rc != kOk) return rc;
  }
  return text->Assign(out);
}

int NameDerToText(const ByteString& name_der, ByteString* text) {
  return NameDerToText(DerCursor(name_der), text);
}

int NameTextToDer(const char* text, DerWriter* writer) {
  std::vector<std::pair<std::string, std::string>> pairs;
  const std::string t = text ? text : "";
  std::string name, value;
  bool in_value = false, quoted = false;
  auto end_pair = [&]() -> bool {
    if (!in_value || name.empty()) return false;
    pairs.emplace_back(name, value);
    name.clear();
    value.clear();
    in_value = quoted = false;
    return true;
  };
  for (size_t i = 0; i < t.size(); ++i) {
    const char c = t[i];
    if (!in_value) {
      if (c == '=') {
        in_value = true;
      } else if (c != ' ') {
        name += c;
      }
    } else if (c == '"') {
      quoted = !quoted;
      value += c;
    } else if (c == ',' && !quoted) {
      if (!end_pair()) return -1;
      continue;
    } else {
      value += c;
    }
    // The last character ends the pair; trailing spaces after a comma are no pair at all.
    if (i + 1 == t.size() && (in_value || !name.empty()) && !end_pair()) return -1;
  }
  if (!name.empty() || in_value) return -1;
  ByteString oid;
  const int before = writer->output().length();
  const int open_before = writer->OpenCount();
  auto fail = [&](int rc) {
    while (writer->OpenCount() > open_before) writer->DerCloseConstructed(false);
    writer->output().Resize(before);
    return rc;
  };
  int rc = writer->DerOpenConstructed(0x30);
  if (rc != kOk) return fail(rc);
  for (auto& [n, v] : pairs) {
    if (AttributeNameToOid(n.c_str(), &oid) != kOk) return fail(-1);
    if (v.size() >= 2 && v.front() == '"' && v.back() == '"') {
      std::string inner = v.substr(1, v.size() - 2);
      if (NeedsQuotes(inner.data(), inner.size())) {
        std::string un;
        for (size_t i = 0; i < inner.size(); ++i) {
          if (inner[i] == '\\' && i + 1 < inner.size() && inner[i + 1] == '"') continue;
          un += inner[i];
        }
        v = un;
      }
    }
    uint8_t tag = kTagPrintable;
    for (const char* ia5 : kIa5Oids) {
      if (std::strcmp(ia5, oid.c_str()) == 0) tag = kTagIa5;
    }
    // PrintableString holds only a small ASCII set and IA5String only ASCII.
    for (unsigned char c : v) {
      if (c >= 0x80 || (tag == kTagPrintable && !IsPrintableStringChar(c))) tag = kTagUtf8;
    }
    rc = writer->DerOpenConstructed(0x31);
    if (rc == kOk) rc = writer->DerOpenConstructed(0x30);
    if (rc == kOk) rc = writer->DerAppendOid(6, oid.c_str());
    if (rc == kOk) rc = writer->DerAppendTlv(tag, v.data(), static_cast<int>(v.size()));
    if (rc == kOk) rc = writer->DerCloseConstructed(false);
    if (rc == kOk) rc = writer->DerCloseConstructed(false);
    if (rc != kOk) return fail(rc);
  }
  rc = writer->DerCloseConstructed(false);
  return rc == kOk ? kOk : fail(rc);
}

void NormalizeDistinguishedName(const char* text, ByteString* normal) {
  normal->Reset();
  const std::string t = text ? text : "";
  std::vector<std::string> tokens;
  size_t i = 0;
  while (i < t.size()) {
    while (i < t.size() && t[i] == ' ') ++i;
    if (i >= t.size()) break;
    if (t[i] == '=' || t[i] == ',') {
      tokens.emplace_back(1, t[i++]);
      continue;
    }
    size_t j = i;
    if (t[i] == '"') {
      ++j;
      while (j < t.size() && !(t[j] == '"' && t[j - 1] != '\\')) ++j;
      if (j < t.size()) ++j;
    } else {
      while (j < t.size() && !((t[j] == '=' || t[j] == ',') && (j == i || t[j - 1] != '\\'))) ++j;
    }
    tokens.push_back(Trim(t.substr(i, j - i)));
    i = j;
  }
  std::vector<std::pair<std::string, std::string>> pairs;
  size_t k = 0;
  while (k < tokens.size()) {
    if (k + 2 >= tokens.size() || tokens[k] == "=" || tokens[k] == "," || tokens[k + 1] != "=" ||
        tokens[k + 2] == "=" || tokens[k + 2] == ",") {
      return;
    }
    std::string name = tokens[k];
    if (name.find('.') != std::string::npos) {
      ByteString n;
      AttributeOidToName(name.c_str(), &n);
      name = n.c_str();
    }
    name = Upper(name);
    if (name == "S") name = "ST";
    if (name == "EMAIL" || name == "EMAILADDRESS") name = "E";
    if (name == "TITLE") name = "T";
    pairs.emplace_back(name, tokens[k + 2]);
    k += 3;
    if (k == tokens.size()) break;
    if (tokens[k] != ",") return;
    ++k;
    if (k == tokens.size()) return;
  }
  std::sort(pairs.begin(), pairs.end());
  std::string out;
  for (size_t p = 0; p < pairs.size(); ++p) {
    if (p) out += ',';
    out += pairs[p].first + "=" + pairs[p].second;
  }
  normal->Set(out.data(), static_cast<int>(out.size()));
}

int FindSubjectIndex(const StringList& subjects, const char* wanted) {
  if (subjects.Count() == 0) return -1;
  const std::string want = wanted ? wanted : "";
  ByteString want_norm;
  NormalizeDistinguishedName(want.c_str(), &want_norm);
  auto lower = [](std::string s) {
    for (char& c : s) {
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
    }
    return s;
  };
  const std::string want_lower = lower(want);
  const std::string want_norm_lower = lower(want_norm.c_str());
  int noted = -1;
  for (int i = 0; i < subjects.Count(); ++i) {
    const std::string entry(subjects.Get(i), static_cast<size_t>(subjects.GetLength(i)));
    if (entry.empty()) continue;
    if (want.empty() || want == "*" || lower(entry) == want_lower) return i;
    ByteString entry_norm;
    NormalizeDistinguishedName(entry.c_str(), &entry_norm);
    const std::string entry_norm_lower = lower(entry_norm.c_str());
    if (!want_norm_lower.empty() && entry_norm_lower == want_norm_lower) return i;
    if (noted < 0 && (lower(entry).find(want_lower) != std::string::npos ||
                      (!want_norm_lower.empty() &&
                       entry_norm_lower.find(want_norm_lower) != std::string::npos))) {
      noted = i;
    }
  }
  return noted;
}

}  // namespace tw
