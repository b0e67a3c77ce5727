#include "auth/digest_auth.h"

#include <cstring>

#include "crypto/symmetric/md5.h"
#include "crypto/symmetric/random_source.h"
#include "foundation/text_conversion.h"

namespace tw {
namespace {

constexpr char kTextUnknownQop[] = "Digest authentication error: unknown qop value.";
constexpr char kTextUnknownAlgorithm[] = "Digest authentication error: unsupported algorithm.";
constexpr char kTextLineBreak[] =
    "Digest authentication error: the user name contains a line break.";
constexpr char kTextRandom[] = "Digest authentication error: no random client nonce.";
constexpr int kCnonceBytes = 8;

const char* OrEmpty(const char* text) { return text != nullptr ? text : ""; }

void AppendMd5Hex(ByteString& out, const void* data, int length) {
  static constexpr char kHex[] = "0123456789abcdef";
  Md5Context md5;
  md5.Update(data, static_cast<size_t>(length));
  const uint8_t* d = md5.Final();
  for (int i = 0; i < 16; ++i) {
    out.AppendByte(static_cast<uint8_t>(kHex[d[i] >> 4]));
    out.AppendByte(static_cast<uint8_t>(kHex[d[i] & 15]));
  }
}

// ", name=" (no comma for the first) and the value as a quoted string, '"' and '\' escaped.
void AppendQuotedParam(ByteString& out, const char* name, const char* value, int length,
                       bool first = false) {
  out.AppendFormat("%s%s=\"", first ? "" : ", ", name);
  for (int i = 0; i < length; ++i) {
    if (value[i] == '"' || value[i] == '\\') out.AppendByte('\\');
    out.AppendByte(static_cast<uint8_t>(value[i]));
  }
  out.AppendByte('"');
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

}  // namespace

DigestAuth::DigestAuth() { algorithm_.SetText("md5"); }

DigestAuth::~DigestAuth() { WipeBytes(password_.data(), static_cast<size_t>(password_.length())); }

int DigestAuth::SetCredentials(const char* user, const char* password) {
  WipeBytes(password_.data(), static_cast<size_t>(password_.length()));
  const int rc = user_.SetText(OrEmpty(user));
  return rc != kOk ? rc : password_.SetText(OrEmpty(password));
}

int DigestAuth::SetRequest(const char* method, const char* uri, const void* entity, int length) {
  int rc = method_.SetText(OrEmpty(method));
  if (rc == kOk) rc = uri_.SetText(OrEmpty(uri));
  if (rc == kOk) rc = body_.Set(entity, entity != nullptr && length > 0 ? length : 0);
  return rc;
}

void DigestAuth::Reset() {
  realm_.Reset();
  nonce_.Reset();
  cnonce_.Reset();
  opaque_.Reset();
  qop_.Reset();
  algorithm_.SetText("md5");
  nc_ = 0;
  error_text_.Reset();
}

int DigestAuth::ParseChallenge(const char* text) {
  Reset();
  const char* p = OrEmpty(text);
  while (*p != '\0') {
    while (IsBlank(*p) || *p == ',') ++p;
    const char* name = p;
    while (*p != '\0' && *p != '=') ++p;
    if (*p == '\0') break;
    int name_length = static_cast<int>(p - name);
    while (name_length > 0 && IsBlank(name[name_length - 1])) --name_length;
    ++p;
    ShortString value;
    if (*p == '"') {
      // A quoted string: a backslash takes the next character as it stands.
      ++p;
      while (*p != '\0' && *p != '"') {
        if (*p == '\\' && p[1] != '\0') ++p;
        value.AppendByte(static_cast<uint8_t>(*p++));
      }
      if (*p == '"') ++p;
      while (*p != '\0' && *p != ',') ++p;
    } else {
      const char* start = p;
      while (*p != '\0' && *p != ',') ++p;
      value.Set(start, static_cast<int>(p - start));
      value.Trim();
    }
    ShortString key;
    key.Set(name, name_length);
    ShortString* target = nullptr;
    if (key.EqualsNoCase("realm")) target = &realm_;
    if (key.EqualsNoCase("qop")) target = &qop_;
    if (key.EqualsNoCase("algorithm")) target = &algorithm_;
    if (key.EqualsNoCase("nonce")) target = &nonce_;
    if (key.EqualsNoCase("opaque")) target = &opaque_;
    if (target != nullptr && target->Assign(value) != kOk) return kErrOutOfMemory;
  }
  const char* raw = qop_.c_str();
  if (std::strstr(raw, "auth,") != nullptr) {
    qop_.SetText("auth");
  } else if (std::strstr(raw, "auth-int") == nullptr) {
    if (std::strstr(raw, "auth") != nullptr) qop_.SetText("auth");
  } else {
    qop_.SetText("auth-int");
  }
  nc_ = 0;
  return qop_.empty() ? kOk : MakeCnonce();
}

int DigestAuth::MakeCnonce() {
  if (!fixed_cnonce_.empty()) return cnonce_.Assign(fixed_cnonce_);
  uint8_t bytes[kCnonceBytes];
  RandomSource random;
  if (random.Fill(bytes, kCnonceBytes) != kOk) return Refuse(kTextRandom);
  cnonce_.Reset();
  return AppendHexLower(cnonce_, bytes, kCnonceBytes);
}

int DigestAuth::Refuse(const char* text) {
  error_text_.SetText(text);
  return kErrDigestRefused;
}

int DigestAuth::BuildAuthorization(ByteString* value, bool include_algorithm) {
  error_text_.Reset();
  if (value == nullptr || nonce_.empty() || user_.empty()) return kOk;
  if (user_.FindChar('\r', 0) >= 0 || user_.FindChar('\n', 0) >= 0) return Refuse(kTextLineBreak);
  const bool sess = algorithm_.EqualsNoCase("MD5-sess");
  if (!sess && !algorithm_.EqualsNoCase("MD5")) return Refuse(kTextUnknownAlgorithm);
  if (!qop_.empty() && std::strcmp(qop_.c_str(), "auth") != 0 &&
      std::strcmp(qop_.c_str(), "auth-int") != 0) {
    return Refuse(kTextUnknownQop);
  }
  // Without qop no cnonce is sent, so MD5-sess takes an empty one: the server can then check the answer.
  if (cnonce_.empty() && !qop_.empty() && MakeCnonce() != kOk) return kErrDigestRefused;
  if (!qop_.empty()) ++nc_;
  char nc[9];
  std::snprintf(nc, sizeof nc, "%08x", nc_);

  ByteString a1, ha1, a2, ha2, kd;
  a1.AppendString(user_);
  a1.AppendByte(':');
  a1.AppendString(realm_);
  a1.AppendByte(':');
  a1.AppendString(password_);
  AppendMd5Hex(ha1, a1.data(), a1.length());
  WipeBytes(a1.data(), static_cast<size_t>(a1.length()));
  if (sess) {
    ha1.AppendFormat(":%s:%s", nonce_.c_str(), qop_.empty() ? "" : cnonce_.c_str());
    a1.Assign(ha1);
    ha1.Reset();
    AppendMd5Hex(ha1, a1.data(), a1.length());
    WipeBytes(a1.data(), static_cast<size_t>(a1.length()));
  }
  a2.AppendString(method_);
  a2.AppendByte(':');
  a2.AppendString(uri_);
  if (std::strcmp(qop_.c_str(), "auth-int") == 0) {
    a2.AppendByte(':');
    AppendMd5Hex(a2, body_.data(), body_.length());
  }
  AppendMd5Hex(ha2, a2.data(), a2.length());
  kd.AppendString(ha1);
  kd.AppendFormat(":%s:", nonce_.c_str());
  if (!qop_.empty()) kd.AppendFormat("%s:%s:%s:", nc, cnonce_.c_str(), qop_.c_str());
  kd.AppendString(ha2);
  ByteString response;
  AppendMd5Hex(response, kd.data(), kd.length());
  WipeBytes(ha1.data(), static_cast<size_t>(ha1.length()));
  WipeBytes(kd.data(), static_cast<size_t>(kd.length()));

  ByteString& out = *value;
  out.AppendText("Digest ");
  AppendQuotedParam(out, "username", user_.data(), user_.length(), true);
  AppendQuotedParam(out, "realm", realm_.data(), realm_.length());
  AppendQuotedParam(out, "nonce", nonce_.data(), nonce_.length());
  AppendQuotedParam(out, "uri", uri_.data(), uri_.length());
  if (include_algorithm) AppendQuotedParam(out, "algorithm", algorithm_.data(), algorithm_.length());
  if (!qop_.empty()) {
    AppendQuotedParam(out, "qop", qop_.data(), qop_.length());
    out.AppendFormat(", nc=%s", nc);
    AppendQuotedParam(out, "cnonce", cnonce_.data(), cnonce_.length());
  }
  AppendQuotedParam(out, "response", response.data(), response.length());
  if (!opaque_.empty()) AppendQuotedParam(out, "opaque", opaque_.data(), opaque_.length());
  return kOk;
}

}  // namespace tw
