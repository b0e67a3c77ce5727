#include "certs/jwk_key.h"

#include <cstring>
#include <string>

#include "formats/json_document.h"
#include "foundation/text_conversion.h"

namespace tw {

namespace {

constexpr const char* kKtyPath = "/json/kty";
constexpr const char* kMembersPath = "/json";
constexpr const char* kParamFormat = "JWK_%d_%s";

struct KeyType {
  const char* kty;
  int type;
};
constexpr KeyType kKeyTypes[] = {{"RSA", kKeyRsa}, {"EC", kKeyEc}, {"OKP", kKeyEdwards}};

struct Curve {
  const char* crv;
  int type;
  int curve_id;
  int raw_bytes;  // the size of both keys of the Edwards and Montgomery curves
};
constexpr Curve kCurves[] = {{"P-256", kKeyEc, kCurveP256, 0},          {"P-384", kKeyEc, kCurveP384, 0},
                             {"P-521", kKeyEc, kCurveP521, 0},          {"Ed25519", kKeyEdwards, kCurveEd25519, 32},
                             {"X25519", kKeyEdwards, kCurveX25519, 32}, {"Ed448", kKeyEdwards, kCurveEd448, 57},
                             {"X448", kKeyEdwards, kCurveX448, 56}};

// Members holding key numbers, by key type; other members (alg, use, kid) are kept only as
// parameters, whatever their text.
struct Field {
  int type;
  const char* name;
  ByteString* (*slot)(KeyPair*);
};
constexpr Field kFields[] = {
    {kKeyRsa, "n", [](KeyPair* k) { return &k->rsa.N; }},
    {kKeyRsa, "e", [](KeyPair* k) { return &k->rsa.E; }},
    {kKeyRsa, "d", [](KeyPair* k) { return &k->rsa.D; }},
    {kKeyRsa, "p", [](KeyPair* k) { return &k->rsa.P; }},
    {kKeyRsa, "q", [](KeyPair* k) { return &k->rsa.Q; }},
    {kKeyRsa, "dp", [](KeyPair* k) { return &k->rsa.DP; }},
    {kKeyRsa, "dq", [](KeyPair* k) { return &k->rsa.DQ; }},
    {kKeyRsa, "qi", [](KeyPair* k) { return &k->rsa.QInv; }},
    {kKeyEc, "x", [](KeyPair* k) { return &k->ec.X; }},
    {kKeyEc, "y", [](KeyPair* k) { return &k->ec.Y; }},
    {kKeyEc, "d", [](KeyPair* k) { return &k->ec.D; }},
    {kKeyEdwards, "x", [](KeyPair* k) { return &k->edwards.public_bytes; }},
    {kKeyEdwards, "d", [](KeyPair* k) { return &k->edwards.private_bytes; }},
};

int Member(KeyPair* fresh, const char* name, const char* value) {
  if (std::strcmp(name, "crv") == 0 && fresh->type != kKeyRsa) {
    for (const Curve& c : kCurves) {
      if (c.type == fresh->type && std::strcmp(value, c.crv) == 0) {
        (fresh->type == kKeyEc ? fresh->ec : fresh->edwards).curve_id = c.curve_id;
        return kOk;
      }
    }
    return kErrJwkKey;
  }
  for (const Field& f : kFields) {
    if (f.type != fresh->type || std::strcmp(name, f.name) != 0) continue;
    ByteString* slot = f.slot(fresh);
    int rc = slot->SetText(value);
    if (rc == kOk && DecodeBase64(*slot, true, true, false) != kOk) rc = kErrJwkKey;
    return rc;
  }
  return kOk;
}

int RawBytes(int curve_id) {
  for (const Curve& c : kCurves) {
    if (c.curve_id == curve_id) return c.raw_bytes;
  }
  return 0;
}

// What a key of its type needs beyond the members: numbers that make a key of its curve.
int Finish(KeyPair* fresh) {
  switch (fresh->type) {
    case kKeyRsa:
      return fresh->rsa.N.empty() || fresh->rsa.E.empty() ? kErrJwkKey : kOk;
    case kKeyEc:
      return fresh->ec.curve_id == kCurveNone || !EcPublicPointValid(fresh->ec) ? kErrJwkKey : kOk;
    default: {
      EcKeyData& k = fresh->edwards;
      const int raw = RawBytes(k.curve_id);
      if (raw == 0 || (k.public_bytes.empty() && k.private_bytes.empty()) ||
          (!k.public_bytes.empty() && k.public_bytes.length() != raw) ||
          (!k.private_bytes.empty() && k.private_bytes.length() != raw)) {
        return kErrJwkKey;
      }
      return k.public_bytes.empty() ? k.DerivePublic() : kOk;
    }
  }
}

}  // namespace

int ReadJwk(KeyPair* key, const char* json) {
  if (json == nullptr) return kErrJwkKey;
  JsonDocument doc;
  doc.set_build_dom(true);
  doc.set_string_options(kJsonStripQuotes | kJsonDecodeEscapes);
  int rc = doc.Parse(json, static_cast<int>(std::strlen(json)));
  if (rc != kOk) return rc;
  if (!doc.complete()) return kErrJsonMarkup;
  if (doc.Select(kKtyPath) != kOk) return kErrJwkKey;
  const char* kty = doc.CurrentValue();
  KeyPair fresh;
  for (const KeyType& t : kKeyTypes) {
    if (kty != nullptr && std::strcmp(kty, t.kty) == 0) fresh.type = t.type;
  }
  if (fresh.type == kKeyNone) return kErrJwkKey;
  rc = doc.Select(kMembersPath);
  const int count = rc == kOk ? doc.ChildCount() : 0;
  ByteString path, param;
  for (int i = 1; rc == kOk && i <= count; ++i) {
    rc = path.Format("/json/[%d]", i);
    if (rc == kOk) rc = doc.Select(path.c_str());
    if (rc != kOk) break;
    const char* name = doc.CurrentName();
    const char* value = doc.CurrentValue();
    const int children = doc.ChildCount();
    if (name == nullptr || value == nullptr) return kErrJwkKey;
    rc = param.Format(kParamFormat, children, name);
    // A member given twice would leave the key ambiguous.
    for (int j = 0; rc == kOk && j < fresh.paramNames.Count(); ++j) {
      const char* seen = std::strchr(fresh.paramNames.Get(j) + 4, '_');
      if (seen != nullptr && std::strcmp(seen + 1, name) == 0) rc = kErrJwkKey;
    }
    if (rc == kOk) rc = Member(&fresh, name, value);
    if (rc == kOk) rc = fresh.AddParam(param.c_str(), value);
  }
  if (rc == kOk) rc = Finish(&fresh);
  return rc == kOk ? key->CopyFrom(fresh) : rc;
}

}  // namespace tw
