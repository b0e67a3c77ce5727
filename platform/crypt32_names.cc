// crypt32's name texts: an encoded X.500 Name as text and back, and the serial number and names
// of a certificate context's record. Pure DER work, so it needs no libcrypto.
#include <strings.h>

#include <algorithm>
#include <cstring>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "platform/codepage.h"
#include "platform/crypt32_objects.h"
#include "platform/crypt32_store.h"

namespace win {
namespace {

// The X.500 keys the text form knows; the first key of an OID is the one written.
enum ValueKind { kDirectory, kIa5Only, kPrintableOnly, kIa5OrUtf8 };
struct X500Key {
  const char* key;
  const char* oid;
  ValueKind kind;
};
constexpr X500Key kKeys[] = {
    {"CN", "2.5.4.3", kDirectory},       {"L", "2.5.4.7", kDirectory},
    {"O", "2.5.4.10", kDirectory},       {"OU", "2.5.4.11", kDirectory},
    {"E", "1.2.840.113549.1.9.1", kIa5Only}, {"Email", "1.2.840.113549.1.9.1", kIa5Only},
    {"C", "2.5.4.6", kPrintableOnly},    {"S", "2.5.4.8", kDirectory},
    {"ST", "2.5.4.8", kDirectory},       {"STREET", "2.5.4.9", kDirectory},
    {"T", "2.5.4.12", kDirectory},       {"Title", "2.5.4.12", kDirectory},
    {"G", "2.5.4.42", kDirectory},       {"GivenName", "2.5.4.42", kDirectory},
    {"I", "2.5.4.43", kDirectory},       {"Initials", "2.5.4.43", kDirectory},
    {"SN", "2.5.4.4", kDirectory},       {"DC", "0.9.2342.19200300.100.1.25", kIa5OrUtf8},
    {"SERIALNUMBER", "2.5.4.5", kPrintableOnly}, {"Description", "2.5.4.13", kDirectory},
    {"PostalCode", "2.5.4.17", kDirectory}, {"POBox", "2.5.4.18", kDirectory},
    {"Phone", "2.5.4.20", kPrintableOnly}, {"X21Address", "2.5.4.24", kDirectory},
    {"dnQualifier", "2.5.4.46", kPrintableOnly},
    {"UnstructuredName", "1.2.840.113549.1.9.2", kIa5Only},
    {"UnstructuredAddress", "1.2.840.113549.1.9.8", kDirectory},
};

constexpr uint8_t kTagInteger = 2, kTagOctets = 4, kTagOid = 6, kTagUtf8 = 12, kTagNumeric = 18,
                  kTagPrintable = 19, kTagT61 = 20, kTagIa5 = 22, kTagVisible = 26, kTagUniversal = 28,
                  kTagBmp = 30, kTagSequence = 0x30, kTagSet = 0x31;
constexpr DWORD kErrorInvalidArg = 0x80070057;  // E_INVALIDARG

// One DER element: its tag, its content and the whole element.
struct Element {
  uint8_t tag = 0;
  const uint8_t* content = nullptr;
  size_t length = 0;
  const uint8_t* start = nullptr;
  size_t whole = 0;
};

bool Next(const uint8_t** p, const uint8_t* end, Element* e) {
  const uint8_t* q = *p;
  if (end - q < 2) return false;
  e->start = q;
  e->tag = *q++;
  size_t n = *q++;
  if (n & 0x80) {
    const size_t bytes = n & 0x7F;
    if (bytes == 0 || bytes > 4 || static_cast<size_t>(end - q) < bytes) return false;
    n = 0;
    for (size_t i = 0; i < bytes; ++i) n = n << 8 | *q++;
  }
  if (static_cast<size_t>(end - q) < n) return false;
  e->content = q;
  e->length = n;
  e->whole = static_cast<size_t>(q - e->start) + n;
  *p = q + n;
  return true;
}

std::string OidText(const uint8_t* p, size_t n) {
  std::string out;
  uint64_t v = 0;
  bool first = true;
  for (size_t i = 0; i < n; ++i) {
    v = v << 7 | (p[i] & 0x7F);
    if (p[i] & 0x80) continue;
    if (first) {
      const uint64_t top = v < 40 ? 0 : v < 80 ? 1 : 2;
      out = std::to_string(top) + "." + std::to_string(v - top * 40);
      first = false;
    } else {
      out += "." + std::to_string(v);
    }
    v = 0;
  }
  return out;
}

bool OidBytes(const std::string& dotted, std::vector<uint8_t>* out) {
  std::vector<uint64_t> arcs;
  size_t at = 0;
  while (at <= dotted.size()) {
    const size_t dot = dotted.find('.', at);
    const std::string arc = dotted.substr(at, dot == std::string::npos ? std::string::npos : dot - at);
    if (arc.empty() || arc.size() > 18 || arc.find_first_not_of("0123456789") != std::string::npos) return false;
    arcs.push_back(std::stoull(arc));
    if (dot == std::string::npos) break;
    at = dot + 1;
  }
  if (arcs.size() < 2 || arcs[0] > 2 || (arcs[0] < 2 && arcs[1] > 39)) return false;
  arcs[1] += arcs[0] * 40;
  out->clear();
  for (size_t i = 1; i < arcs.size(); ++i) {
    uint8_t groups[10];
    int k = 0;
    uint64_t v = arcs[i];
    do {
      groups[k++] = static_cast<uint8_t>(v & 0x7F);
      v >>= 7;
    } while (v != 0);
    for (int j = k - 1; j >= 0; --j) out->push_back(static_cast<uint8_t>(groups[j] | (j > 0 ? 0x80 : 0)));
  }
  return true;
}

const X500Key* KeyOfOid(const std::string& oid) {
  for (const X500Key& k : kKeys) {
    if (oid == k.oid) return &k;
  }
  return nullptr;
}

const X500Key* KeyOfName(const std::string& key) {
  for (const X500Key& k : kKeys) {
    if (strcasecmp(key.c_str(), k.key) == 0) return &k;
  }
  return nullptr;
}

std::u16string Hex(const uint8_t* p, size_t n) {
  static const char kHex[] = "0123456789ABCDEF";
  std::u16string out = u"#";
  for (size_t i = 0; i < n; ++i) {
    out += static_cast<char16_t>(kHex[p[i] >> 4]);
    out += static_cast<char16_t>(kHex[p[i] & 15]);
  }
  return out;
}

// The value as UTF-16; octet strings and types that are no text as "#" and hex.
std::u16string ValueText(const Element& v, bool* hex) {
  std::u16string out;
  *hex = false;
  switch (v.tag) {
    case kTagUtf8: {
      const int n = MultiByteToWideChar(CP_UTF8, 0, reinterpret_cast<const char*>(v.content),
                                        static_cast<int>(v.length), nullptr, 0);
      out.resize(static_cast<size_t>(n > 0 ? n : 0));
      if (n > 0) {
        MultiByteToWideChar(CP_UTF8, 0, reinterpret_cast<const char*>(v.content), static_cast<int>(v.length),
                            out.data(), n);
      }
      return out;
    }
    case kTagNumeric: case kTagPrintable: case kTagT61: case kTagIa5: case kTagVisible:
      for (size_t i = 0; i < v.length; ++i) out += static_cast<char16_t>(v.content[i]);
      return out;
    case kTagBmp:
      for (size_t i = 0; i + 1 < v.length; i += 2) out += static_cast<char16_t>(v.content[i] << 8 | v.content[i + 1]);
      return out;
    case kTagUniversal:
      for (size_t i = 0; i + 3 < v.length; i += 4) {
        uint32_t c = static_cast<uint32_t>(v.content[i]) << 24 | v.content[i + 1] << 16 | v.content[i + 2] << 8 |
                     v.content[i + 3];
        if (c >= 0x10000) {
          c -= 0x10000;
          out += static_cast<char16_t>(0xD800 + (c >> 10));
          c = 0xDC00 + (c & 0x3FF);
        }
        out += static_cast<char16_t>(c);
      }
      return out;
    default:
      *hex = true;
      return v.tag == kTagOctets ? Hex(v.content, v.length) : Hex(v.start, v.whole);
  }
}

bool NeedsQuotes(const std::u16string& v) {
  if (v.empty() || v.front() == u' ' || v.back() == u' ' || v.front() == u'\t' || v.back() == u'\t') return true;
  return v.find_first_of(u",+=\"\n<>#;") != std::u16string::npos;
}

std::u16string Quoted(const std::u16string& v) {
  std::u16string out = u"\"";
  for (char16_t c : v) {
    out += c;
    if (c == u'"') out += c;
  }
  return out + u"\"";
}

// The whole text of an encoded Name by the string type and its flags.
bool NameText(const uint8_t* der, size_t length, DWORD type, std::u16string* out) {
  const uint8_t* p = der;
  Element name;
  if (!Next(&p, der + length, &name) || name.tag != kTagSequence) return false;
  std::vector<std::u16string> rdns;
  const uint8_t* r = name.content;
  const uint8_t* rend = name.content + name.length;
  const DWORD kind = type & 0xFF;
  while (r < rend) {
    Element set;
    if (!Next(&r, rend, &set) || set.tag != kTagSet) return false;
    std::u16string rdn;
    for (const uint8_t* a = set.content; a < set.content + set.length;) {
      Element pair, oid, value;
      if (!Next(&a, set.content + set.length, &pair) || pair.tag != kTagSequence) return false;
      const uint8_t* q = pair.content;
      if (!Next(&q, pair.content + pair.length, &oid) || oid.tag != kTagOid ||
          !Next(&q, pair.content + pair.length, &value)) {
        return false;
      }
      if (!rdn.empty()) rdn += (type & CERT_NAME_STR_NO_PLUS_FLAG) ? u" " : u" + ";
      const std::string dotted = OidText(oid.content, oid.length);
      std::string key;
      if (kind == CERT_OID_NAME_STR) key = dotted;
      if (kind == CERT_X500_NAME_STR) {
        const X500Key* k = KeyOfOid(dotted);
        key = k != nullptr ? k->key : "OID." + dotted;
      }
      if (!key.empty()) rdn += std::u16string(key.begin(), key.end()) + u"=";
      bool hex = false;
      const std::u16string text = ValueText(value, &hex);
      rdn += !hex && (type & CERT_NAME_STR_NO_QUOTING_FLAG) == 0 && NeedsQuotes(text) ? Quoted(text) : text;
    }
    rdns.push_back(std::move(rdn));
  }
  // The encoding's order unless the caller asks for the reverse.
  if (type & CERT_NAME_STR_REVERSE_FLAG) std::reverse(rdns.begin(), rdns.end());
  const char16_t* separator = (type & CERT_NAME_STR_SEMICOLON_FLAG) ? u"; "
                              : (type & CERT_NAME_STR_CRLF_FLAG)   ? u"\r\n"
                                                                   : u", ";
  out->clear();
  for (size_t i = 0; i < rdns.size(); ++i) *out += (i > 0 ? separator : u"") + rdns[i];
  return true;
}

// ---- Text to an encoded name ----

void PutLength(std::vector<uint8_t>* out, size_t n) {
  if (n < 0x80) {
    out->push_back(static_cast<uint8_t>(n));
    return;
  }
  int bytes = 0;
  for (size_t v = n; v != 0; v >>= 8) ++bytes;
  out->push_back(static_cast<uint8_t>(0x80 | bytes));
  for (int i = bytes - 1; i >= 0; --i) out->push_back(static_cast<uint8_t>(n >> (8 * i)));
}

void PutElement(std::vector<uint8_t>* out, uint8_t tag, const std::vector<uint8_t>& content) {
  out->push_back(tag);
  PutLength(out, content.size());
  out->insert(out->end(), content.begin(), content.end());
}

bool Printable(char16_t c) {
  return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9') ||
         std::u16string_view(u" '()+,-./:=?").find(c) != std::u16string_view::npos;
}

// The value element by the attribute's kind, the characters and the flags; false when the
// attribute cannot hold the characters.
bool ValueElement(const std::u16string& v, ValueKind kind, DWORD flags, std::vector<uint8_t>* out) {
  bool printable = true, ascii = true, latin1 = true;
  for (char16_t c : v) {
    printable = printable && Printable(c);
    ascii = ascii && c < 0x80;
    latin1 = latin1 && c <= 0xFF;
  }
  auto narrow = [&v](uint8_t tag, std::vector<uint8_t>* o) {
    std::vector<uint8_t> bytes(v.begin(), v.end());
    PutElement(o, tag, bytes);
  };
  auto utf8 = [&v](std::vector<uint8_t>* o) {
    const int n = WideCharToMultiByte(CP_UTF8, 0, v.data(), static_cast<int>(v.size()), nullptr, 0, nullptr, nullptr);
    std::vector<uint8_t> bytes(static_cast<size_t>(n > 0 ? n : 0));
    if (n > 0) {
      WideCharToMultiByte(CP_UTF8, 0, v.data(), static_cast<int>(v.size()), reinterpret_cast<char*>(bytes.data()), n,
                          nullptr, nullptr);
    }
    PutElement(o, kTagUtf8, bytes);
  };
  switch (kind) {
    case kIa5Only:
      if (!ascii) return false;
      narrow(kTagIa5, out);
      return true;
    case kPrintableOnly:
      if (!printable) return false;
      narrow(kTagPrintable, out);
      return true;
    case kIa5OrUtf8:
      if (ascii) {
        narrow(kTagIa5, out);
      } else {
        utf8(out);
      }
      return true;
    case kDirectory:
      break;
  }
  if (flags & CERT_NAME_STR_FORCE_UTF8_DIR_STR_FLAG) {
    utf8(out);
  } else if (printable) {
    narrow(kTagPrintable, out);
  } else if ((flags & CERT_NAME_STR_ENABLE_T61_UNICODE_FLAG) && latin1) {
    narrow(kTagT61, out);
  } else if (flags & CERT_NAME_STR_ENABLE_UTF8_UNICODE_FLAG) {
    utf8(out);
  } else {
    std::vector<uint8_t> bytes;
    for (char16_t c : v) {
      bytes.push_back(static_cast<uint8_t>(c >> 8));
      bytes.push_back(static_cast<uint8_t>(c));
    }
    PutElement(out, kTagBmp, bytes);
  }
  return true;
}

bool IsSpace(char16_t c) { return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n'; }

struct Attribute {
  std::vector<uint8_t> oid;
  std::vector<uint8_t> value;  // the value element
};

// Reads "key=value" pairs of the 8-bit text (as UTF-16 from the ANSI code page) into RDNs.
// `bad` gets the offset of the part that could not be read.
bool ParseNameText(const std::u16string& t, DWORD flags, std::vector<std::vector<Attribute>>* rdns, size_t* bad) {
  auto rdn_separator = [flags](char16_t c) {
    if (flags & CERT_NAME_STR_COMMA_FLAG) return c == u',';
    if (flags & CERT_NAME_STR_SEMICOLON_FLAG) return c == u';';
    if (flags & CERT_NAME_STR_CRLF_FLAG) return c == u'\r' || c == u'\n';
    return c == u',' || c == u';';
  };
  const bool plus = (flags & CERT_NAME_STR_NO_PLUS_FLAG) == 0;
  const bool quoting = (flags & CERT_NAME_STR_NO_QUOTING_FLAG) == 0;
  size_t i = 0;
  rdns->emplace_back();
  while (true) {
    while (i < t.size() && IsSpace(t[i])) ++i;
    if (i == t.size() && rdns->size() == 1 && rdns->back().empty()) {
      rdns->clear();  // an empty text is the empty name
      return true;
    }
    *bad = i;
    const size_t eq = t.find(u'=', i);
    if (eq == std::u16string::npos) return false;
    std::u16string key16 = t.substr(i, eq - i);
    while (!key16.empty() && IsSpace(key16.back())) key16.pop_back();
    const std::string key(key16.begin(), key16.end());
    const X500Key* known = KeyOfName(key);
    std::string dotted = known != nullptr ? known->oid : key;
    if (known == nullptr && dotted.size() > 4 && strncasecmp(dotted.c_str(), "OID.", 4) == 0) dotted = dotted.substr(4);
    Attribute a;
    if (!OidBytes(dotted, &a.oid)) return false;
    i = eq + 1;
    while (i < t.size() && IsSpace(t[i])) ++i;
    std::u16string value;
    bool octets = false;
    if (quoting && i < t.size() && t[i] == u'"') {
      for (++i;; ++i) {
        if (i >= t.size()) return false;
        if (t[i] == u'"' && i + 1 < t.size() && t[i + 1] == u'"') {
          value += u'"';
          ++i;
        } else if (t[i] == u'"') {
          ++i;
          break;
        } else {
          value += t[i];
        }
      }
      while (i < t.size() && IsSpace(t[i])) ++i;
      if (i < t.size() && !rdn_separator(t[i]) && !(plus && t[i] == u'+')) return false;
    } else {
      const size_t start = i;
      while (i < t.size() && !rdn_separator(t[i]) && !(plus && t[i] == u'+')) ++i;
      value = t.substr(start, i - start);
      while (!value.empty() && IsSpace(value.back())) value.pop_back();
      octets = !value.empty() && value[0] == u'#';
    }
    if (octets) {
      std::vector<uint8_t> bytes;
      int half = -1;
      for (size_t k = 1; k < value.size(); ++k) {
        const char16_t c = value[k];
        if (IsSpace(c)) continue;
        const int d = c >= u'0' && c <= u'9' ? c - u'0' : c >= u'a' && c <= u'f' ? c - u'a' + 10
                      : c >= u'A' && c <= u'F' ? c - u'A' + 10 : -1;
        if (d < 0) return false;
        if (half < 0) {
          half = d;
        } else {
          bytes.push_back(static_cast<uint8_t>(half << 4 | d));
          half = -1;
        }
      }
      if (half >= 0) return false;
      PutElement(&a.value, kTagOctets, bytes);
    } else if (!ValueElement(value, known != nullptr ? known->kind : kDirectory, flags, &a.value)) {
      return false;
    }
    rdns->back().push_back(std::move(a));
    if (i >= t.size()) return true;
    if (!(plus && t[i] == u'+')) rdns->emplace_back();
    ++i;
  }
}

BOOL Fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

bool FindSerialAndNames(crypt32::CertObject* c) {
  const uint8_t* p = c->der.data();
  const uint8_t* end = p + c->der.size();
  Element cert, tbs, e;
  if (!Next(&p, end, &cert) || cert.tag != kTagSequence) return false;
  const uint8_t* q = cert.content;
  if (!Next(&q, cert.content + cert.length, &tbs) || tbs.tag != kTagSequence) return false;
  const uint8_t* t = tbs.content;
  const uint8_t* tend = tbs.content + tbs.length;
  if (!Next(&t, tend, &e)) return false;
  if (e.tag == 0xA0) {
    Element version;
    const uint8_t* v = e.content;
    if (Next(&v, e.content + e.length, &version) && version.tag == kTagInteger && version.length == 1) {
      c->info.dwVersion = version.content[0];
    }
    if (!Next(&t, tend, &e)) return false;
  }
  if (e.tag != kTagInteger) return false;
  // The platform keeps the serial number's bytes little-endian.
  c->serial_le.assign(std::reverse_iterator<const uint8_t*>(e.content + e.length),
                      std::reverse_iterator<const uint8_t*>(e.content));
  Element algorithm, issuer, validity, subject;
  if (!Next(&t, tend, &algorithm) || !Next(&t, tend, &issuer) || !Next(&t, tend, &validity) ||
      !Next(&t, tend, &subject) || issuer.tag != kTagSequence || subject.tag != kTagSequence) {
    return false;
  }
  c->info.SerialNumber = {static_cast<DWORD>(c->serial_le.size()), c->serial_le.data()};
  c->info.Issuer = {static_cast<DWORD>(issuer.whole), const_cast<uint8_t*>(issuer.start)};
  c->info.Subject = {static_cast<DWORD>(subject.whole), const_cast<uint8_t*>(subject.start)};
  return true;
}

}  // namespace

void crypt32::FillCertInfo(CertObject* c) {
  c->info = CERT_INFO{};
  if (!FindSerialAndNames(c)) c->info = CERT_INFO{};
  c->context.pCertInfo = &c->info;
}

uint32_t CertNameToStrA(uint32_t encoding, const CERT_NAME_BLOB* name, uint32_t type, char* out, uint32_t size) {
  (void)encoding;
  std::u16string text;
  if (name == nullptr || name->pbData == nullptr || !NameText(name->pbData, name->cbData, type, &text)) text.clear();
  std::string ansi;
  const int n = WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr,
                                    nullptr);
  if (n > 0) {
    ansi.resize(static_cast<size_t>(n));
    WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()), ansi.data(), n, nullptr, nullptr);
  }
  if (out == nullptr || size == 0) return static_cast<uint32_t>(ansi.size() + 1);
  const size_t written = std::min<size_t>(ansi.size(), size - 1);
  std::memcpy(out, ansi.data(), written);
  out[written] = '\0';
  return static_cast<uint32_t>(written + 1);
}

BOOL CertStrToNameA(DWORD encoding, const char* text, DWORD type, void* reserved, uint8_t* encoded, DWORD* size,
                    const char** error) {
  (void)encoding;
  (void)reserved;
  if (text == nullptr || size == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  const DWORD kind = type & 0xFF;
  if (kind != CERT_OID_NAME_STR && kind != CERT_X500_NAME_STR) return Fail(kErrorInvalidArg);
  const int length = static_cast<int>(std::strlen(text));
  std::u16string wide(static_cast<size_t>(length), u'\0');
  const int n = length == 0 ? 0 : MultiByteToWideChar(CP_ACP, 0, text, length, wide.data(), length);
  wide.resize(static_cast<size_t>(n > 0 ? n : 0));
  std::vector<std::vector<Attribute>> rdns;
  size_t bad = 0;
  if (!ParseNameText(wide, type, &rdns, &bad)) {
    // The offset in UTF-16 units is the byte offset for 7-bit text, which is what names mostly are.
    if (error != nullptr) *error = text + std::min<size_t>(bad, static_cast<size_t>(length));
    return Fail(CRYPT_E_INVALID_X500_STRING);
  }
  if (type & CERT_NAME_STR_REVERSE_FLAG) std::reverse(rdns.begin(), rdns.end());
  std::vector<uint8_t> sets;
  for (const std::vector<Attribute>& rdn : rdns) {
    std::vector<uint8_t> pairs;
    for (const Attribute& a : rdn) {
      std::vector<uint8_t> pair;
      PutElement(&pair, kTagOid, a.oid);
      pair.insert(pair.end(), a.value.begin(), a.value.end());
      PutElement(&pairs, kTagSequence, pair);
    }
    PutElement(&sets, kTagSet, pairs);
  }
  std::vector<uint8_t> der;
  PutElement(&der, kTagSequence, sets);
  BOOL result = TRUE;
  if (encoded != nullptr && *size < der.size()) {
    SetLastError(ERROR_MORE_DATA);
    result = FALSE;
  } else if (encoded != nullptr) {
    std::memcpy(encoded, der.data(), der.size());
  }
  *size = static_cast<DWORD>(der.size());
  return result;
}

}  // namespace win
