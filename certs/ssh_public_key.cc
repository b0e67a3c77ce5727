#include "certs/ssh_public_key.h"

#include <string>

#include "foundation/text_conversion.h"

namespace tw {

namespace {

constexpr std::string_view kEcdsaPrefix = "ecdsa-sha2-";

struct EdwardsType {
  std::string_view name;
  int curve_id;
  int key_bytes;
};
constexpr EdwardsType kEdwardsTypes[] = {{"ssh-ed25519", kCurveEd25519, 32}, {"ssh-ed448", kCurveEd448, 57}};

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// The second blank-separated word of the one-line form, Base64-decoded.
bool DecodeTextForm(std::string_view text, ByteString* blob) {
  size_t i = 0;
  while (i < text.size() && IsSpace(text[i])) ++i;
  while (i < text.size() && !IsSpace(text[i])) ++i;
  while (i < text.size() && IsSpace(text[i])) ++i;
  const size_t start = i;
  while (i < text.size() && !IsSpace(text[i])) ++i;
  if (i == start) return false;
  return blob->Set(text.data() + start, static_cast<int>(i - start)) == kOk &&
         DecodeBase64(*blob, false, true, false) == kOk;
}

}  // namespace

bool ReadSshPublicFields(std::string_view type, SpanReader* r, KeyPair* fresh) {
  if (type == "ssh-rsa") {
    fresh->type = kKeyRsa;
    return ReadSshMpint(r, &fresh->rsa.E) && ReadSshMpint(r, &fresh->rsa.N) && !fresh->rsa.E.empty() &&
           !fresh->rsa.N.empty();
  }
  if (type == "ssh-dss") {
    DsaKeyData& k = fresh->dsa;
    fresh->type = kKeyDsa;
    return ReadSshMpint(r, &k.P) && ReadSshMpint(r, &k.Q) && ReadSshMpint(r, &k.G) && ReadSshMpint(r, &k.Y) &&
           !k.Y.empty();
  }
  if (type.substr(0, kEcdsaPrefix.size()) == kEcdsaPrefix) {
    std::string_view curve;
    ByteString point;
    fresh->type = kKeyEc;
    if (!ReadSshString(r, &curve) || !ReadSshString(r, &point)) return false;
    fresh->ec.curve_id = SshCurveId(curve);
    return fresh->ec.curve_id != kCurveNone && fresh->ec.DecodePoint(point) == kOk && !fresh->ec.X.empty();
  }
  for (const EdwardsType& e : kEdwardsTypes) {
    if (type != e.name) continue;
    fresh->type = kKeyEdwards;
    fresh->edwards.curve_id = e.curve_id;
    return ReadSshString(r, &fresh->edwards.public_bytes) && fresh->edwards.public_bytes.length() == e.key_bytes;
  }
  return false;
}

int ReadSshPublicKey(const void* data, int length, KeyPair* key) {
  if (data == nullptr || length < 0) return kErrSshPublicKeyData;
  ByteString decoded;
  SpanReader r(data, static_cast<size_t>(length));
  std::string_view type;
  if (!ReadSshString(&r, &type)) {
    if (!DecodeTextForm(std::string_view(static_cast<const char*>(data), static_cast<size_t>(length)), &decoded)) {
      return kErrSshPublicKeyData;
    }
    r = SpanReader(decoded);
    if (!ReadSshString(&r, &type)) return kErrSshPublicKeyData;
  }
  KeyPair fresh;
  if (!ReadSshPublicFields(type, &r, &fresh)) return kErrSshPublicKeyData;
  return key->CopyFrom(fresh);
}

}  // namespace tw
