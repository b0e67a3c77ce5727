#include "tls/tls_settings.h"

#include <cstring>

#include "foundation/text_conversion.h"
#include "tls/cipher_suites.h"
#include "tls/schannel_algorithms.h"

namespace tw {
namespace {

constexpr char kTextInvalidCipherSuites[] = "Invalid SSLEnabledCipherSuites Value: ";
constexpr char kFormatBadSignatureAlgorithm[] = "Invalid TLS12SignatureAlgorithms value '%s'.";

struct SchemeName {
  const char* name;
  uint16_t code;
};
constexpr SchemeName kSignatureSchemes[] = {
    {"rsa_pkcs1_sha256", 0x0401},       {"rsa_pkcs1_sha384", 0x0501},
    {"rsa_pkcs1_sha512", 0x0601},       {"ecdsa_secp256r1_sha256", 0x0403},
    {"ecdsa_secp384r1_sha384", 0x0503}, {"ecdsa_secp521r1_sha512", 0x0603},
    {"rsa_pss_sha256", 0x0804},         {"rsa_pss_sha384", 0x0805},
    {"rsa_pss_sha512", 0x0806},         {"ed25519", 0x0807},
    {"ed448", 0x0808},
};
struct HashCode {
  const char* name;
  int code;
};
constexpr HashCode kTls12Hashes[] = {{"none", 0},   {"sha1", 2},   {"sha224", 3},
                                     {"sha256", 4}, {"sha384", 5}, {"sha512", 6}};
constexpr const char* kTls12Signatures[] = {"anonymous", "rsa", "dsa", "ecdsa"};

// Splits the text at "," with blanks removed and calls item(pointer, length) for each piece;
// stops at the first false.
template <class Item>
bool ForEachItem(const char* text, Item item) {
  ByteString clean;
  for (const char* p = text; *p != '\0'; ++p) {
    if (!IsBlank(*p)) clean.AppendByte(static_cast<uint8_t>(*p));
  }
  const char* p = clean.c_str();
  const char* end = p + clean.length();
  while (p <= end) {
    const char* comma = p;
    while (comma < end && *comma != ',') ++comma;
    if (!item(p, static_cast<size_t>(comma - p))) return false;
    p = comma + 1;
  }
  return true;
}

}  // namespace

int ParseSupportedGroups(const char* text, bool tls13, TlsIdList* out) {
  if (out != nullptr) out->clear();
  if (text == nullptr || *text == '\0') return kOk;
  const bool ok = ForEachItem(text, [&](const char* p, size_t n) {
    ByteString item;
    item.Set(p, static_cast<int>(n));
    item.ToLower();
    int id = GroupIdByName(item.c_str(), item.length());
    // TLS 1.2 groups are the three prime curves.
    if (!tls13 && id != 23 && id != 24 && id != 25) id = -1;
    if (id < 0) return false;
    if (out != nullptr) out->push_back(static_cast<uint16_t>(id));
    return true;
  });
  if (!ok && out != nullptr) out->clear();
  return ok ? kOk : -1;
}

const char* SignatureSchemeName(uint16_t code) {
  for (const SchemeName& s : kSignatureSchemes) {
    if (s.code == code) return s.name;
  }
  return "None";
}

int SignatureSchemeCode(std::string_view name) {
  for (const SchemeName& s : kSignatureSchemes) {
    if (EqualsNoCase(name, s.name)) return s.code;
  }
  return -1;
}

int ParseSignatureSchemes(const char* text, TlsIdList* out) {
  if (out != nullptr) out->clear();
  if (text == nullptr || *text == '\0') return kOk;
  const bool ok = ForEachItem(text, [&](const char* p, size_t n) {
    const int code = SignatureSchemeCode(std::string_view(p, n));
    if (code < 0) return false;
    if (out != nullptr) out->push_back(static_cast<uint16_t>(code));
    return true;
  });
  if (!ok && out != nullptr) out->clear();
  return ok ? kOk : -1;
}

int ParseTls12SignatureAlgorithms(const char* text, TlsIdList* out, ByteString* error) {
  if (out != nullptr) out->clear();
  if (text == nullptr || *text == '\0') return kOk;
  const bool ok = ForEachItem(text, [&](const char* p, size_t n) {
    const char* dash = static_cast<const char*>(std::memchr(p, '-', n));
    int hash = -1;
    int signature = -1;
    if (dash != nullptr) {
      const size_t hn = static_cast<size_t>(dash - p);
      for (const HashCode& h : kTls12Hashes) {
        if (EqualsNoCase(std::string_view(p, hn), h.name)) hash = h.code;
      }
      for (size_t i = 0; i < sizeof kTls12Signatures / sizeof kTls12Signatures[0]; ++i) {
        if (EqualsNoCase(std::string_view(dash + 1, n - hn - 1), kTls12Signatures[i])) signature = static_cast<int>(i);
      }
    }
    if (hash < 0 || signature < 0) {
      if (error != nullptr) {
        ByteString item;
        item.Set(p, static_cast<int>(n));
        error->Format(kFormatBadSignatureAlgorithm, item.c_str());
      }
      return false;
    }
    if (out != nullptr) out->push_back(static_cast<uint16_t>(hash << 8 | signature));
    return true;
  });
  if (!ok && out != nullptr) out->clear();
  return ok ? kOk : -1;
}

int ParseEnabledCipherSuites(bool own_engine, const char* text, ByteString* error) {
  if (text == nullptr) return kOk;
  const char* p = text;
  while (IsBlank(*p)) ++p;
  const size_t length = std::strlen(p);
  if (length == 0 || (length == 1 && p[0] == '*')) return kOk;
  // The platform path takes algorithm (CALG) names.
  const bool unknown = ForEachListEntry(p, [&](ListEntry e) {
    if (own_engine ? IsKnownSuiteName(e.text, e.length) : FindCalgName(e.text, e.length, nullptr)) return false;
    if (error != nullptr) {
      error->SetText(kTextInvalidCipherSuites);
      error->Append(e.text, e.length);
      error->AppendText(".");
    }
    return true;
  });
  return unknown ? kErrInvalidCipherSuites : kOk;
}

}  // namespace tw
