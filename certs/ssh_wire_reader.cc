#include "certs/ssh_wire_reader.h"

#include <cstring>

#include "crypto/pubkey/ec_curve_params.h"
#include "crypto/symmetric/cipher_engine.h"
#include "foundation/text_conversion.h"

namespace tw {

namespace {

constexpr int kAesBlockBytes = 16;

struct SshCurve {
  std::string_view name;
  int curve_id;
};
constexpr SshCurve kSshCurves[] = {{"nistp256", kCurveP256}, {"nistp384", kCurveP384}, {"nistp521", kCurveP521}};

}  // namespace

bool ReadSshString(SpanReader* r, std::string_view* out) {
  SpanReader s;
  if (!r->ReadPrefixed(4, &s)) return false;
  *out = std::string_view(reinterpret_cast<const char*>(s.data()), s.remaining());
  return true;
}

bool ReadSshString(SpanReader* r, ByteString* out) {
  std::string_view s;
  return ReadSshString(r, &s) && out->Set(s.data(), static_cast<int>(s.size())) == kOk;
}

bool ReadSshMpint(SpanReader* r, ByteString* out) {
  SpanReader rest = *r, s;
  uint8_t b = 0;
  if (!rest.ReadPrefixed(4, &s) || (s.PeekU8(&b) && (b & 0x80) != 0)) return false;
  *r = rest;
  while (s.PeekU8(&b) && b == 0) s.Skip(1);
  return out->Set(s.data(), static_cast<int>(s.remaining())) == kOk;
}

int SshCurveId(std::string_view name) {
  for (const SshCurve& c : kSshCurves) {
    if (EqualsNoCase(name, c.name)) return c.curve_id;
  }
  return kCurveNone;
}

int SshAesDecrypt(int mode, const uint8_t* key, int key_length, const uint8_t* iv, ByteString* data) {
  if (data->length() % kAesBlockBytes != 0) return kErrCipherDataLength;
  CipherEngine engine;
  int rc = engine.SetAlgorithm(kCipherAes);
  if (rc == kOk) rc = engine.SetKeyBits(key_length * 8);
  engine.SetMode(mode);
  engine.SetPadding(kPaddingNone);
  if (rc == kOk) rc = engine.BeginDecrypt(key, key_length, iv, kAesBlockBytes);
  ByteString plain;
  if (rc == kOk) rc = engine.Final(data->bytes(), data->length(), plain);
  if (rc == kOk) rc = plain.length() == data->length() ? kOk : kErrCipherDataLength;
  if (rc == kOk) std::memcpy(data->bytes(), plain.bytes(), static_cast<size_t>(plain.length()));
  WipeBytes(plain.bytes(), static_cast<size_t>(plain.length()));
  DestroyCipherContext(engine);
  return rc;
}

}  // namespace tw
