#include "tls/cipher_suites.h"

#include <cstring>

#include "crypto/symmetric/hash_engine.h"
#include "tls/suite_names.h"
#include "tls/tls_engine.h"

namespace tw {
namespace {

constexpr char kTextUnknownVersion[] = "Unknown SSL/TLS version";
constexpr char kTextUnknownGroup[] = "Unknown group name for id: ";
constexpr char kFormatVersionTooLow[] = "Client wants %s protocol, but the lowest enabled protocol is %s";
constexpr char kTextSsl2NotSupported[] = "SSL 2.0 not supported";
constexpr char kTextSsl3Disabled[] =
    "Client wants SSL3 protocol and it's disabled, or both SSL3 and TLS1 are disabled";

struct SuiteName {
  uint16_t id;
  const char* name;
};

// Preference order. Every value a suite carries follows from its registry name (MakeSuite).
constexpr SuiteName kSuiteNames[] = {
    {0x1302, "TLS_AES_256_GCM_SHA384"},
    {0x1303, "TLS_CHACHA20_POLY1305_SHA256"},
    {0x1301, "TLS_AES_128_GCM_SHA256"},
    {0xC02C, "TLS_ECDHE_ECDSA_WITH_AES_256_GCM_SHA384"},
    {0xC02B, "TLS_ECDHE_ECDSA_WITH_AES_128_GCM_SHA256"},
    {0xC02F, "TLS_ECDHE_RSA_WITH_AES_128_GCM_SHA256"},
    {0xC030, "TLS_ECDHE_RSA_WITH_AES_256_GCM_SHA384"},
    {0xC02E, "TLS_ECDH_ECDSA_WITH_AES_256_GCM_SHA384"},
    {0x009D, "TLS_RSA_WITH_AES_256_GCM_SHA384"},
    {0x009C, "TLS_RSA_WITH_AES_128_GCM_SHA256"},
    {0xC02D, "TLS_ECDH_ECDSA_WITH_AES_128_GCM_SHA256"},
    {0x00A3, "TLS_DHE_DSS_WITH_AES_256_GCM_SHA384"},
    {0x009F, "TLS_DHE_RSA_WITH_AES_256_GCM_SHA384"},
    {0xC032, "TLS_ECDH_RSA_WITH_AES_256_GCM_SHA384"},
    {0xC031, "TLS_ECDH_RSA_WITH_AES_128_GCM_SHA256"},
    {0x009E, "TLS_DHE_RSA_WITH_AES_128_GCM_SHA256"},
    {0x00A2, "TLS_DHE_DSS_WITH_AES_128_GCM_SHA256"},
    {0x00A0, "TLS_DH_RSA_WITH_AES_128_GCM_SHA256"},
    {0x00A1, "TLS_DH_RSA_WITH_AES_256_GCM_SHA384"},
    {0x00A4, "TLS_DH_DSS_WITH_AES_128_GCM_SHA256"},
    {0x00A5, "TLS_DH_DSS_WITH_AES_256_GCM_SHA384"},
    {0xC024, "TLS_ECDHE_ECDSA_WITH_AES_256_CBC_SHA384"},
    {0xC023, "TLS_ECDHE_ECDSA_WITH_AES_128_CBC_SHA256"},
    {0xC026, "TLS_ECDH_ECDSA_WITH_AES_256_CBC_SHA384"},
    {0x006A, "TLS_DHE_DSS_WITH_AES_256_CBC_SHA256"},
    {0x003D, "TLS_RSA_WITH_AES_256_CBC_SHA256"},
    {0xC028, "TLS_ECDHE_RSA_WITH_AES_256_CBC_SHA384"},
    {0xC02A, "TLS_ECDH_RSA_WITH_AES_256_CBC_SHA384"},
    {0x006B, "TLS_DHE_RSA_WITH_AES_256_CBC_SHA256"},
    {0x0067, "TLS_DHE_RSA_WITH_AES_128_CBC_SHA256"},
    {0xC027, "TLS_ECDHE_RSA_WITH_AES_128_CBC_SHA256"},
    {0x003C, "TLS_RSA_WITH_AES_128_CBC_SHA256"},
    {0xC025, "TLS_ECDH_ECDSA_WITH_AES_128_CBC_SHA256"},
    {0xC029, "TLS_ECDH_RSA_WITH_AES_128_CBC_SHA256"},
    {0x0040, "TLS_DHE_DSS_WITH_AES_128_CBC_SHA256"},
    {0x0035, "TLS_RSA_WITH_AES_256_CBC_SHA"},
    {0xC00A, "TLS_ECDHE_ECDSA_WITH_AES_256_CBC_SHA"},
    {0xC014, "TLS_ECDHE_RSA_WITH_AES_256_CBC_SHA"},
    {0xC005, "TLS_ECDH_ECDSA_WITH_AES_256_CBC_SHA"},
    {0x0039, "TLS_DHE_RSA_WITH_AES_256_CBC_SHA"},
    {0xC00F, "TLS_ECDH_RSA_WITH_AES_256_CBC_SHA"},
    {0x0038, "TLS_DHE_DSS_WITH_AES_256_CBC_SHA"},
    {0x002F, "TLS_RSA_WITH_AES_128_CBC_SHA"},
    {0xC013, "TLS_ECDHE_RSA_WITH_AES_128_CBC_SHA"},
    {0xC009, "TLS_ECDHE_ECDSA_WITH_AES_128_CBC_SHA"},
    {0xC004, "TLS_ECDH_ECDSA_WITH_AES_128_CBC_SHA"},
    {0xC00E, "TLS_ECDH_RSA_WITH_AES_128_CBC_SHA"},
    {0x0033, "TLS_DHE_RSA_WITH_AES_128_CBC_SHA"},
    {0x0032, "TLS_DHE_DSS_WITH_AES_128_CBC_SHA"},
    {0xC008, "TLS_ECDHE_ECDSA_WITH_3DES_EDE_CBC_SHA"},
    {0xC012, "TLS_ECDHE_RSA_WITH_3DES_EDE_CBC_SHA"},
    {0xC003, "TLS_ECDH_ECDSA_WITH_3DES_EDE_CBC_SHA"},
    {0xC00D, "TLS_ECDH_RSA_WITH_3DES_EDE_CBC_SHA"},
    {0x0016, "TLS_DHE_RSA_WITH_3DES_EDE_CBC_SHA"},
    {0x0013, "TLS_DHE_DSS_WITH_3DES_EDE_CBC_SHA"},
    {0x000A, "TLS_RSA_WITH_3DES_EDE_CBC_SHA"},
    {0x0009, "TLS_RSA_WITH_DES_CBC_SHA"},
    {0x0015, "TLS_DHE_RSA_WITH_DES_CBC_SHA"},
    {0x0012, "TLS_DHE_DSS_WITH_DES_CBC_SHA"},
    {0x0004, "TLS_RSA_WITH_RC4_128_MD5"},
    {0x0005, "TLS_RSA_WITH_RC4_128_SHA"},
    {0x0011, "TLS_DHE_DSS_EXPORT_WITH_DES40_CBC_SHA"},
    {0x0014, "TLS_DHE_RSA_EXPORT_WITH_DES40_CBC_SHA"},
    {0x0008, "TLS_RSA_EXPORT_WITH_DES40_CBC_SHA"},
    {0x00A7, "TLS_DH_anon_WITH_AES_256_GCM_SHA384"},
    {0x00A6, "TLS_DH_anon_WITH_AES_128_GCM_SHA256"},
    {0x006D, "TLS_DH_anon_WITH_AES_256_CBC_SHA256"},
    {0xC019, "TLS_ECDH_anon_WITH_AES_256_CBC_SHA"},
    {0x003A, "TLS_DH_anon_WITH_AES_256_CBC_SHA"},
    {0x006C, "TLS_DH_anon_WITH_AES_128_CBC_SHA256"},
    {0xC018, "TLS_ECDH_anon_WITH_AES_128_CBC_SHA"},
    {0x0034, "TLS_DH_anon_WITH_AES_128_CBC_SHA"},
    {0xC017, "TLS_ECDH_anon_WITH_3DES_EDE_CBC_SHA"},
    {0x001B, "TLS_DH_anon_WITH_3DES_EDE_CBC_SHA"},
    {0x001A, "TLS_DH_anon_WITH_DES_CBC_SHA"},
    {0x0019, "TLS_DH_anon_EXPORT_WITH_DES40_CBC_SHA"},
    {0x0018, "TLS_DH_anon_WITH_RC4_128_MD5"},
};
constexpr int kCandidateCount = sizeof(kSuiteNames) / sizeof(kSuiteNames[0]);
static_assert(kCandidateCount == 77);

constexpr size_t Length(const char* s) {
  size_t n = 0;
  while (s[n] != '\0') ++n;
  return n;
}

constexpr bool StartsAt(const char* s, size_t at, const char* part) {
  for (size_t i = 0; part[i] != '\0'; ++i) {
    if (s[at + i] != part[i]) return false;
  }
  return true;
}

// Offset of part in s, or -1.
constexpr long Find(const char* s, const char* part) {
  const size_t n = Length(s);
  const size_t m = Length(part);
  for (size_t i = 0; i + m <= n; ++i) {
    if (StartsAt(s, i, part)) return static_cast<long>(i);
  }
  return -1;
}

constexpr bool EndsWith(const char* s, const char* part) {
  const size_t n = Length(s);
  const size_t m = Length(part);
  return n >= m && StartsAt(s, n - m, part);
}

// True when s[from, to) equals part.
constexpr bool RangeIs(const char* s, size_t from, size_t to, const char* part) {
  return to - from == Length(part) && StartsAt(s, from, part);
}

constexpr TlsKeyExchangeKind ExchangeOf(const char* name) {
  const long with = Find(name, "_WITH_");
  if (with < 0) return kKxTls13;
  struct Kind {
    const char* text;
    TlsKeyExchangeKind kind;
  };
  constexpr Kind kinds[] = {
      {"RSA", kKxRsa},           {"RSA_EXPORT", kKxRsaExport},
      {"DH_DSS", kKxDhDss},      {"DH_RSA", kKxDhRsa},
      {"DHE_DSS", kKxDheDss},    {"DHE_DSS_EXPORT", kKxDheDssExport},
      {"DHE_RSA", kKxDheRsa},    {"DHE_RSA_EXPORT", kKxDheRsaExport},
      {"DH_anon", kKxDhAnon},    {"DH_anon_EXPORT", kKxDhAnonExport},
      {"ECDHE_ECDSA", kKxEcdheEcdsa}, {"ECDHE_RSA", kKxEcdheRsa},
      {"ECDH_ECDSA", kKxEcdhEcdsa},   {"ECDH_RSA", kKxEcdhRsa},
      {"ECDH_anon", kKxEcdhAnon},
  };
  for (const Kind& k : kinds) {
    if (RangeIs(name, 4, static_cast<size_t>(with), k.text)) return k.kind;
  }
  throw "unknown key exchange";
}

constexpr TlsCipherSuite MakeSuite(uint16_t id, const char* name) {
  TlsCipherSuite s{};
  s.id = id;
  s.name = name;
  s.kx = ExchangeOf(name);
  const long with = Find(name, "_WITH_");
  const size_t cipher_at = with < 0 ? 4 : static_cast<size_t>(with) + 6;
  struct Bulk {
    const char* text;
    const char* cipher_name;
    TlsBulkCipher bulk;
    uint8_t key_bytes;
    uint16_t key_bits;
    uint8_t iv_bytes;
  };
  constexpr Bulk bulks[] = {
      {"AES_128_GCM", "AES-GCM", kBulkAesGcm, 16, 128, 16},
      {"AES_256_GCM", "AES-GCM", kBulkAesGcm, 32, 256, 16},
      {"CHACHA20_POLY1305", "CHACHA20-POLY1305", kBulkChaCha20Poly1305, 32, 256, 16},
      {"AES_128_CBC", "AES", kBulkAesCbc, 16, 128, 16},
      {"AES_256_CBC", "AES", kBulkAesCbc, 32, 256, 16},
      {"3DES_EDE_CBC", "3DES", kBulkTripleDesCbc, 24, 192, 8},
      {"DES40_CBC", "DES", kBulkDesCbc, 5, 40, 8},
      {"DES_CBC", "DES", kBulkDesCbc, 8, 64, 8},
      {"RC4_128", "RC4", kBulkRc4, 16, 128, 0},
  };
  bool found = false;
  for (const Bulk& b : bulks) {
    if (!StartsAt(name, cipher_at, b.text)) continue;
    s.cipher_name = b.cipher_name;
    s.bulk = b.bulk;
    s.key_bytes = b.key_bytes;
    s.key_bits = b.key_bits;
    s.iv_bytes = b.iv_bytes;
    found = true;
    break;
  }
  if (!found) throw "unknown cipher";
  if (s.kx == kKxTls13) s.iv_bytes = 12;
  const bool sha384 = EndsWith(name, "_SHA384");
  const bool sha256 = EndsWith(name, "_SHA256");
  s.prf = sha384 ? 2 : 1;
  s.hash_id = sha384 ? kHashSha384 : sha256 ? kHashSha256 : EndsWith(name, "_MD5") ? kHashMd5 : kHashSha1;
  s.min_version = s.kx == kKxTls13 ? kTls13 : (sha384 || sha256) ? kTls12 : kTls10;
  return s;
}

constexpr int CountKept() {
  int n = 0;
  for (const SuiteName& c : kSuiteNames) n += MakeSuite(c.id, c.name).anonymous() ? 0 : 1;
  return n;
}
constexpr int kKeptCount = CountKept();
static_assert(kKeptCount == 64);

struct SuiteTable {
  TlsCipherSuite suites[kKeptCount];
};

constexpr SuiteTable BuildTable() {
  SuiteTable t{};
  int n = 0;
  for (const SuiteName& c : kSuiteNames) {
    const TlsCipherSuite s = MakeSuite(c.id, c.name);
    if (!s.anonymous()) t.suites[n++] = s;
  }
  return t;
}

constexpr SuiteTable kTable = BuildTable();
static_assert(kTable.suites[0].id == 0x1302 && kTable.suites[0].iv_bytes == 12);
static_assert(kTable.suites[3].kx == kKxEcdheEcdsa && kTable.suites[3].prf == 2);

struct PairName {
  uint32_t pair;
  uint16_t version;
};
// Lowest first.
constexpr PairName kPairs[] = {
    {kTlsProtocolSsl3, kSsl30},
    {kTlsProtocolTls10, kTls10},
    {kTlsProtocolTls11, kTls11},
    {kTlsProtocolTls12, kTls12},
};

bool PairOn(uint32_t mask, uint32_t pair) { return (mask & pair) == pair; }
bool Tls12Or13(uint32_t mask) {
  return PairOn(mask, kTlsProtocolTls12) || PairOn(mask, kTlsProtocolTls13);
}

struct VersionNames {
  uint16_t version;
  const char* name;
  const char* completion;
};
constexpr VersionNames kVersionNames[] = {
    {kSsl30, "SSL3.0", "SSL3"},   {kTls10, "TLS1.0", "TLS1"},   {kTls11, "TLS1.1", "TLS1.1"},
    {kTls12, "TLS1.2", "TLS1.2"}, {kTls13, "TLS1.3", "TLS1.3"},
};

struct Group {
  uint16_t id;
  const char* name;
};
constexpr Group kGroups[] = {
    {23, "ecdhe_secp256r1"}, {24, "ecdhe_secp384r1"}, {25, "ecdhe_secp521r1"},
    {29, "ecdhe_x25519"},    {30, "ecdhe_x448"},      {256, "ffdhe_2048"},
    {257, "ffdhe_3072"},     {258, "ffdhe_4096"},     {259, "ffdhe_6144"},
    {260, "ffdhe_8192"},
};

constexpr const char* kSignatureHashNames[] = {"", "MD5", "SHA1", "SHA224", "SHA256", "SHA384", "SHA512"};

}  // namespace

int TlsCipherSuite::mac_bytes() const { return aead() ? 0 : HashDigestSize(hash_id); }

const TlsCipherSuite* TlsCipherSuites(int* count) {
  if (count != nullptr) *count = kKeptCount;
  return kTable.suites;
}

const TlsCipherSuite* FindCipherSuite(uint16_t id) {
  for (const TlsCipherSuite& s : kTable.suites) {
    if (s.id == id) return &s;
  }
  return nullptr;
}

const TlsCipherSuite* FindCipherSuiteByName(const char* name, int length) {
  if (name == nullptr || length <= 0) return nullptr;
  for (const TlsCipherSuite& s : kTable.suites) {
    if (std::strlen(s.name) == static_cast<size_t>(length) &&
        std::memcmp(s.name, name, static_cast<size_t>(length)) == 0) {
      return &s;
    }
  }
  return nullptr;
}

bool IsKnownSuiteName(const char* name, int length) {
  if (name == nullptr || length <= 0) return false;
  for (const SuiteName& c : kSuiteNames) {
    if (std::strlen(c.name) == static_cast<size_t>(length) &&
        std::memcmp(c.name, name, static_cast<size_t>(length)) == 0) {
      return true;
    }
  }
  return false;
}

const char* KeyExchangeName(TlsKeyExchangeKind kind) {
  switch (kind) {
    case kKxTls13:
      return "";
    case kKxRsa:
    case kKxRsaExport:
      return "RSA";
    case kKxDhDss:
    case kKxDhRsa:
    case kKxEcdhEcdsa:
    case kKxEcdhRsa:
      return "DH";
    case kKxDhAnon:
    case kKxDhAnonExport:
    case kKxEcdhAnon:
      return "DH Anonymous";
    default:
      return "DH Ephemeral";
  }
}

const char* SuiteHashName(int hash_id) {
  switch (hash_id) {
    case kHashSha1:
      return "SHA1";
    case kHashMd5:
      return "MD5";
    case kHashSha256:
      return "SHA256";
    case kHashSha512:
      return "SHA512";
    case kHashSha384:
      return "SHA384";
    default:
      return "";
  }
}

bool HighestHelloVersion(uint32_t mask, uint16_t* version) {
  if (Tls12Or13(mask)) {
    *version = kTls12;
    return true;
  }
  for (int i = 2; i >= 0; --i) {
    if (PairOn(mask, kPairs[i].pair)) {
      *version = kPairs[i].version;
      return true;
    }
  }
  return false;
}

bool LowestVersion(uint32_t mask, uint16_t* version) {
  for (int i = 0; i < 3; ++i) {
    if (PairOn(mask, kPairs[i].pair)) {
      *version = kPairs[i].version;
      return true;
    }
  }
  if (!Tls12Or13(mask)) return false;
  *version = kTls12;
  return true;
}

bool VersionAllowed(uint32_t mask, uint16_t version) {
  for (const PairName& p : kPairs) {
    if (p.version == version && PairOn(mask, p.pair)) return true;
  }
  return (version == kTls12 || version == kTls13) && PairOn(mask, kTlsProtocolTls13);
}

bool BuildSuiteOffer(const char* suite_text, uint32_t mask, bool weak_allowed,
                     std::vector<uint16_t>* offer) {
  offer->clear();
  uint16_t hello = 0;
  if (!HighestHelloVersion(mask, &hello)) return false;
  const uint16_t limit = PairOn(mask, kTlsProtocolTls13) ? kTls13 : hello;
  const bool only13 = mask == kTlsProtocolTls13;
  std::vector<const TlsCipherSuite*> picked;
  if (suite_text == nullptr || *suite_text == '\0' || std::strcmp(suite_text, "*") == 0) {
    // RC4 may not be offered (RFC 7465) and single DES left TLS with 1.2: the default list
    // holds neither; a caller who names them still gets them.
    for (const TlsCipherSuite& s : kTable.suites) {
      if (s.bulk != kBulkRc4 && s.bulk != kBulkDesCbc) {
        picked.push_back(&s);
      }
    }
  } else {
    const char* p = suite_text;
    while (*p != '\0') {
      const char* end = p;
      while (*end != '\0' && *end != ';') ++end;
      const char* a = p;
      const char* b = end;
      while (a < b && (*a == ' ' || *a == '\t')) ++a;
      while (b > a && (b[-1] == ' ' || b[-1] == '\t')) --b;
      const TlsCipherSuite* s = FindCipherSuiteByName(a, static_cast<int>(b - a));
      if (s != nullptr) picked.push_back(s);
      p = *end == ';' ? end + 1 : end;
    }
  }
  for (const TlsCipherSuite* s : picked) {
    if (s->exportable() && !weak_allowed) continue;
    if (s->min_version > limit) continue;
    if (only13 && s->min_version < kTls13) continue;
    offer->push_back(s->id);
  }
  return true;
}

void FilterSuitesForVersion(uint16_t version, std::vector<uint16_t>* suites) {
  std::vector<uint16_t> kept;
  for (uint16_t id : *suites) {
    const TlsCipherSuite* s = FindCipherSuite(id);
    if (s == nullptr || s->min_version > version) continue;
    // TLS 1.3 suites serve TLS 1.3 only, and the older ones never serve it.
    if ((s->min_version == kTls13) != (version == kTls13)) continue;
    kept.push_back(id);
  }
  suites->swap(kept);
}

int ChooseServerVersion(uint32_t mask, uint16_t client_version, uint16_t* chosen, ByteString* text,
                        int* alert) {
  *alert = 0;
  if (client_version < kSsl30) {
    text->SetText(kTextSsl2NotSupported);
    return kErrTlsUnsupported;
  }
  uint16_t v = client_version > kTls12 ? kTls12 : client_version;
  // Step down only while neither this version's pair nor any higher one is on.
  if (v == kTls12 && !Tls12Or13(mask)) v = kTls11;
  if (v == kTls11 && !Tls12Or13(mask) && !PairOn(mask, kTlsProtocolTls11)) v = kTls10;
  if (v == kTls10 && !Tls12Or13(mask) && !PairOn(mask, kTlsProtocolTls11) &&
      !PairOn(mask, kTlsProtocolTls10)) {
    v = kSsl30;
  }
  if (v == kSsl30 && !PairOn(mask, kTlsProtocolSsl3)) {
    *alert = kAlertHandshakeFailure;
    text->SetText(kTextSsl3Disabled);
    return kErrTlsProtocol;
  }
  uint16_t lowest = 0;
  if (!LowestVersion(mask, &lowest) || v < lowest) {
    *alert = kAlertHandshakeFailure;
    text->Format(kFormatVersionTooLow, VersionName(v), VersionName(lowest));
    return kErrTlsProtocol;
  }
  *chosen = v;
  return kOk;
}

const char* VersionName(uint16_t version) {
  for (const VersionNames& v : kVersionNames) {
    if (v.version == version) return v.name;
  }
  return kTextUnknownVersion;
}

const char* CompletionVersionName(uint16_t version) {
  for (const VersionNames& v : kVersionNames) {
    if (v.version == version) return v.completion;
  }
  return "";
}

int GroupName(uint16_t id, ByteString* out) {
  for (const Group& g : kGroups) {
    if (g.id == id) return out->SetText(g.name);
  }
  int rc = out->SetText(kTextUnknownGroup);
  if (rc == kOk) rc = out->AppendUInt(id);
  return rc;
}

bool IsEllipticGroup(uint16_t id) { return id == 23 || id == 24 || id == 25 || id == 29 || id == 30; }

int GroupIdByName(const char* name, int length) {
  for (const Group& g : kGroups) {
    if (std::strlen(g.name) == static_cast<size_t>(length) &&
        std::memcmp(g.name, name, static_cast<size_t>(length)) == 0) {
      return g.id;
    }
  }
  return -1;
}

const char* SignatureHashName(uint8_t hash) {
  return hash < sizeof(kSignatureHashNames) / sizeof(kSignatureHashNames[0]) ? kSignatureHashNames[hash]
                                                                             : "";
}

int SuiteDisplayText(uint32_t id, ByteString* out) {
  // Three-byte SSL 2.0 kinds keep their even digit count: 0x010080.
  ByteString digits;
  int rc = id < 65535 ? digits.Format("%04x", id) : digits.Format("%x", id);
  if (rc != kOk) return rc;
  const char* name = RegisteredSuiteName(id);
  return out->Format("%s (0x%s%s)", name != nullptr ? name : "Unknown",
                     digits.length() % 2 != 0 ? "0" : "", digits.c_str());
}

}  // namespace tw
