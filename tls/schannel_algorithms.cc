#include "tls/schannel_algorithms.h"

#include "foundation/text_conversion.h"
#include "tls/cipher_suites.h"
#include "tls/suite_names.h"
#include "foundation/span_reader.h"

namespace tw {
namespace {

struct Calg {
  const char* name;
  uint32_t id;
};

constexpr Calg kCalgNames[] = {
    {"CALG_3DES", 0x6603},
    {"CALG_3DES_112", 0x6609},
    {"CALG_AES", 0x6611},
    {"CALG_AES_128", 0x660E},
    {"CALG_AES_192", 0x660F},
    {"CALG_AES_256", 0x6610},
    {"CALG_AGREEDKEY_ANY", 0xAA03},
    {"CALG_CYLINK_MEK", 0x660C},
    {"CALG_DES", 0x6601},
    {"CALG_DESX", 0x6604},
    {"CALG_DH_EPHEM", 0xAA02},
    {"CALG_DH_SF", 0xAA01},
    {"CALG_DSS_SIGN", 0x2200},
    {"CALG_ECDH", 0xAA05},
    {"CALG_ECDH_EPHEM", 0xAE06},
    {"CALG_ECDSA", 0x2203},
    {"CALG_ECMQV", 0xA001},
    {"CALG_HASH_REPLACE_OWF", 0x800B},
    {"CALG_HUGHES_MD5", 0xA003},
    {"CALG_HMAC", 0x8009},
    {"CALG_KEA_KEYX", 0xAA04},
    {"CALG_MAC", 0x8005},
    {"CALG_MD2", 0x8001},
    {"CALG_MD4", 0x8002},
    {"CALG_MD5", 0x8003},
    {"CALG_NO_SIGN", 0x2000},
    {"CALG_OID_INFO_CNG_ONLY", 0xFFFFFFFF},
    {"CALG_OID_INFO_PARAMETERS", 0xFFFFFFFE},
    {"CALG_PCT1_MASTER", 0x4C04},
    {"CALG_RC2", 0x6602},
    {"CALG_RC4", 0x6801},
    {"CALG_RC5", 0x660D},
    {"CALG_RSA_KEYX", 0xA400},
    {"CALG_RSA_SIGN", 0x2400},
    {"CALG_SCHANNEL_ENC_KEY", 0x4C07},
    {"CALG_SCHANNEL_MAC_KEY", 0x4C03},
    {"CALG_SCHANNEL_MASTER_HASH", 0x4C02},
    {"CALG_SEAL", 0x6802},
    {"CALG_SHA", 0x8004},
    {"CALG_SHA1", 0x8004},
    {"CALG_SHA_256", 0x800C},
    {"CALG_SHA_384", 0x800D},
    {"CALG_SHA_512", 0x800E},
    {"CALG_SKIPJACK", 0x660A},
    {"CALG_SSL2_MASTER", 0x4C05},
    {"CALG_SSL3_MASTER", 0x4C01},
    {"CALG_SSL3_SHAMD5", 0x8008},
    {"CALG_TEK", 0x660B},
    {"CALG_TLS1_MASTER", 0x4C06},
    {"CALG_TLS1PRF", 0x800A},
};

struct ProtocolName {
  uint32_t bits;
  const char* name;
};
constexpr ProtocolName kEnabledNames[] = {
    {0xC00, "TLS1.2 "}, {0x300, "TLS1.1 "}, {0xC0, "TLS1.0 "}, {0x30, "SSL3.0 "},
    {0xC, "SSL2.0 "},   {0xC0000000, "UNI "}, {0x3, "PCT1 "},
};
constexpr ProtocolName kNegotiatedNames[] = {
    {0x3, "Protocol: PCT1 "},     {0xC, "Protocol: SSL2 "},     {0x30, "Protocol: SSL3 "},
    {0xC0, "Protocol: TLS1 "},    {0x300, "Protocol: TLS1.1 "}, {0xC00, "Protocol: TLS1.2 "},
};

struct AlgText {
  uint32_t id;
  const char* text;
};
constexpr AlgText kCipherTexts[] = {
    {0x6601, "Cipher: DES "}, {0x660C, "Cipher: DES "},       {0x6602, "Cipher: RC2 "},
    {0x6603, "Cipher: Triple DES "}, {0x660A, "Cipher: Skipjack "}, {0x660E, "Cipher: AES "},
    {0x660F, "Cipher: AES "}, {0x6610, "Cipher: AES "},       {0x6611, "Cipher: AES "},
    {0x6801, "Cipher: RC4 "},
};
constexpr AlgText kHashTexts[] = {
    {0x8003, "Hash: MD5 "},    {0x8004, "Hash: SHA "},    {0x800C, "Hash: SHA256 "},
    {0x800D, "Hash: SHA384 "}, {0x800E, "Hash: SHA512 "},
};
constexpr AlgText kExchangeTexts[] = {
    {0x2400, "Key exchange: RSA "},         {0xA400, "Key exchange: RSA "},
    {0xAA02, "Key exchange: DH Ephemeral "}, {0xAA04, "Key exchange: KEA "},
    {0xAE06, "Key exchange: ECDH Ephemeral RSA "},
};

constexpr uint8_t kHandshakeRecord = 22;
constexpr uint8_t kServerHello = 2;
constexpr uint8_t kCertificate = 11;
constexpr size_t kMaxRecord = 16383;

template <size_t N>
int AppendAlg(const AlgText (&table)[N], uint32_t id, ByteString* out) {
  for (const AlgText& a : table) {
    if (a.id == id) return out->AppendText(a.text);
  }
  return out->AppendFormat("Cipher: 0x%x ", id);
}

}  // namespace

int AppendSuiteName(uint16_t id, ByteString* out) {
  if (const char* name = RegisteredSuiteName(id)) return out->AppendText(name);
  return out->AppendFormat("Unknown (%u)", id);
}

bool FindCalgName(const char* name, int length, uint32_t* id) {
  auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
  for (const Calg& c : kCalgNames) {
    int i = 0;
    while (i < length && c.name[i] != '\0' && lower(name[i]) == lower(c.name[i])) ++i;
    if (i == length && c.name[i] == '\0') {
      if (id != nullptr) *id = c.id;
      return true;
    }
  }
  return false;
}

int EnabledProtocolsText(uint32_t mask, ByteString* out) {
  int rc = out->SetText("Enabling TLS versions: ");
  for (const ProtocolName& p : kEnabledNames) {
    if (rc == 0 && (mask & p.bits) != 0) rc = out->AppendText(p.name);
  }
  return rc;
}

bool OfferedSuitesText(const uint8_t* record, size_t length, ByteString* out) {
  constexpr size_t kSessionIdAt = 43;
  if (length < 46) return false;
  SpanReader r(record + kSessionIdAt, length - kSessionIdAt);
  SpanReader suites;
  if (!r.ReadPrefixed(1, &suites) || !r.ReadPrefixed(2, &suites)) return false;
  ByteString text;
  text.SetText("Cipher Suites:\r\n    ");
  bool first = true;
  uint16_t id = 0;
  while (suites.ReadU16(&id)) {
    if (!first) text.AppendText(";\r\n    ");
    first = false;
    AppendSuiteName(id, &text);
  }
  return out->Assign(text) == 0;
}

bool PeekServerHello(const uint8_t* bytes, size_t length, uint16_t* version, uint16_t* suite,
                     bool* oversized) {
  SpanReader r(bytes, length);
  uint8_t type = 0;
  uint16_t record_version = 0;
  uint16_t record_length = 0;
  if (!r.ReadU8(&type) || type != kHandshakeRecord || !r.ReadU16(&record_version) ||
      !r.ReadU16(&record_length)) {
    return false;
  }
  uint8_t message = 0;
  SpanReader hello;
  if (!r.ReadU8(&message) || message != kServerHello || !r.ReadPrefixed(3, &hello)) return false;
  uint16_t hello_version = 0;
  SpanReader session;
  if (!hello.ReadU16(&hello_version) || !hello.Skip(32) || !hello.ReadPrefixed(1, &session) ||
      !hello.ReadU16(suite)) {
    return false;
  }
  *version = record_version;
  *oversized = record_length > kMaxRecord;
  return true;
}

bool FindServerCertificate(const uint8_t* bytes, size_t length, const uint8_t** cert,
                           size_t* cert_length) {
  SpanReader records(bytes, length);
  while (!records.empty()) {
    uint8_t type = 0;
    uint16_t version = 0;
    SpanReader body;
    if (!records.ReadU8(&type) || !records.ReadU16(&version) || !records.ReadPrefixed(2, &body)) {
      return false;
    }
    if (type != kHandshakeRecord) continue;
    while (!body.empty()) {
      uint8_t message = 0;
      SpanReader content;
      if (!body.ReadU8(&message) || !body.ReadPrefixed(3, &content)) break;  // split message
      if (message != kCertificate) continue;
      SpanReader list;
      SpanReader first;
      if (!content.ReadPrefixed(3, &list) || !list.ReadPrefixed(3, &first) || first.empty()) {
        return false;
      }
      *cert = first.data();
      *cert_length = first.remaining();
      return true;
    }
  }
  return false;
}

int NegotiatedParametersText(uint32_t protocol, uint32_t cipher, uint32_t cipher_strength,
                             uint32_t hash, uint32_t hash_strength, uint32_t exchange,
                             uint32_t exchange_strength, ByteString* out) {
  int rc = out->SetText("Negotiated SSL parameters: ");
  bool named = false;
  for (const ProtocolName& p : kNegotiatedNames) {
    if (!named && (protocol & p.bits) != 0 && (protocol & ~p.bits) == 0) {
      rc |= out->AppendText(p.name);
      named = true;
    }
  }
  if (!named) rc |= out->AppendFormat("Protocol: 0x%x ", protocol);
  rc |= AppendAlg(kCipherTexts, cipher, out);
  rc |= out->AppendFormat("Cipher strength: %u ", cipher_strength);
  rc |= AppendAlg(kHashTexts, hash, out);
  rc |= out->AppendFormat("Hash strength: %u ", hash_strength);
  rc |= AppendAlg(kExchangeTexts, exchange, out);
  rc |= out->AppendFormat("Key exchange strength: %u ", exchange_strength);
  return rc == 0 ? 0 : 200;
}

}  // namespace tw
