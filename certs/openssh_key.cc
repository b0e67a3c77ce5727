#include "certs/openssh_key.h"

#include <cstring>
#include <string_view>

#include "certs/ssh_wire_reader.h"
#include "crypto/symmetric/bcrypt_pbkdf.h"
#include "crypto/symmetric/cipher_engine.h"
#include "foundation/text_conversion.h"

namespace tw {

namespace {

constexpr char kMagic[] = "openssh-key-v1";  // followed by its NUL in the file
constexpr std::string_view kNone = "none";
constexpr std::string_view kBcrypt = "bcrypt";
constexpr const char* kComment = "Comment";
constexpr int kIvBytes = 16;
// ssh-keygen uses 16 rounds; far more would let a hostile file stall the reader for hours.
constexpr uint32_t kMaxRounds = 10000;

struct AesName {
  std::string_view name;
  int key_bytes;
  int mode;
};
constexpr AesName kCiphers[] = {
    {"aes128-cbc", 16, kCipherModeCbc}, {"aes192-cbc", 24, kCipherModeCbc}, {"aes256-cbc", 32, kCipherModeCbc},
    {"aes128-ctr", 16, kCipherModeCtr}, {"aes192-ctr", 24, kCipherModeCtr}, {"aes256-ctr", 32, kCipherModeCtr},
};

struct EdwardsType {
  std::string_view name;
  int curve_id;
  size_t key_bytes;
};
constexpr EdwardsType kEdwardsTypes[] = {{"ssh-ed25519", kCurveEd25519, 32}, {"ssh-ed448", kCurveEd448, 57}};

constexpr std::string_view kEcdsaPrefix = "ecdsa-sha2-";

int DecryptSection(std::string_view cipher, std::string_view salt, uint32_t rounds, const char* password,
                   ByteString* section) {
  const AesName* found = nullptr;
  for (const AesName& c : kCiphers) {
    if (EqualsNoCase(cipher, c.name)) found = &c;
  }
  if (found == nullptr || rounds == 0 || rounds > kMaxRounds) return kErrOpenSshKeyData;
  ByteString key, iv;
  int rc = BcryptPbkdf(password, "bcrypt", salt.data(), static_cast<int>(salt.size()), static_cast<int>(rounds),
                       found->key_bytes, kIvBytes, key, iv);
  if (rc == kOk) rc = SshAesDecrypt(found->mode, key.bytes(), key.length(), iv.bytes(), section);
  WipeString(key);
  return rc == kOk ? kOk : kErrOpenSshKeyData;
}

// The private fields of the first key, after the check words.
bool ReadKeyFields(SpanReader* r, KeyPair* fresh) {
  std::string_view type;
  if (!ReadSshString(r, &type)) return false;
  if (EqualsNoCase(type, "ssh-rsa")) {
    RsaKeyData& k = fresh->rsa;
    fresh->type = kKeyRsa;
    return ReadSshMpint(r, &k.N) && ReadSshMpint(r, &k.E) && ReadSshMpint(r, &k.D) && ReadSshMpint(r, &k.QInv) &&
           ReadSshMpint(r, &k.P) && ReadSshMpint(r, &k.Q) && !k.N.empty() && !k.E.empty() && k.CompleteCrt() == kOk;
  }
  if (EqualsNoCase(type, "ssh-dss")) {
    DsaKeyData& k = fresh->dsa;
    fresh->type = kKeyDsa;
    return ReadSshMpint(r, &k.P) && ReadSshMpint(r, &k.Q) && ReadSshMpint(r, &k.G) && ReadSshMpint(r, &k.Y) &&
           ReadSshMpint(r, &k.X) && !k.X.empty();
  }
  if (StartsWithNoCase(type, kEcdsaPrefix)) {
    std::string_view curve;
    ByteString point;
    EcKeyData& k = fresh->ec;
    fresh->type = kKeyEc;
    if (!ReadSshString(r, &curve) || !ReadSshString(r, &point) || !ReadSshMpint(r, &k.D) || k.D.empty()) return false;
    k.curve_id = SshCurveId(curve);
    return k.curve_id != kCurveNone && k.DecodePoint(point) == kOk;
  }
  for (const EdwardsType& e : kEdwardsTypes) {
    if (!EqualsNoCase(type, e.name)) continue;
    EcKeyData& k = fresh->edwards;
    ByteString comment;
    fresh->type = kKeyEdwards;
    k.curve_id = e.curve_id;
    // The private string holds the seed and then the public key.
    if (!ReadSshString(r, &k.public_bytes) || !ReadSshString(r, &k.private_bytes) || !ReadSshString(r, &comment) ||
        k.public_bytes.length() != static_cast<int>(e.key_bytes) ||
        k.private_bytes.length() != static_cast<int>(2 * e.key_bytes)) {
      return false;
    }
    WipeBytes(k.private_bytes.bytes() + e.key_bytes, e.key_bytes);
    return k.private_bytes.Resize(static_cast<int>(e.key_bytes)) == kOk &&
           fresh->AddParam(kComment, comment.c_str()) == kOk;
  }
  return false;  // a key type not known: nothing to give back
}

}  // namespace

int ReadOpenSshPrivateKey(KeyPair* key, const void* body, int length, const char* password) {
  if (password == nullptr) password = "";
  if (body == nullptr || length < 0) return kErrOpenSshKeyData;
  SpanReader r(body, static_cast<size_t>(length)), magic, kdf_options;
  std::string_view cipher, kdf, salt, public_blob, section_bytes;
  uint32_t rounds = 0, count = 0;
  if (!r.ReadBytes(sizeof kMagic, &magic) || std::memcmp(magic.data(), kMagic, sizeof kMagic) != 0 ||
      !ReadSshString(&r, &cipher) || !ReadSshString(&r, &kdf) || !r.ReadPrefixed(4, &kdf_options)) {
    return kErrOpenSshKeyData;
  }
  const bool encrypted = EqualsNoCase(kdf, kBcrypt);
  if (encrypted) {
    if (!ReadSshString(&kdf_options, &salt) || !kdf_options.ReadU32(&rounds)) return kErrOpenSshKeyData;
  } else if (!EqualsNoCase(kdf, kNone) || !EqualsNoCase(cipher, kNone)) {
    return kErrOpenSshKeyData;
  }
  if (!r.ReadU32(&count) || count == 0 || !ReadSshString(&r, &public_blob) || !ReadSshString(&r, &section_bytes)) {
    return kErrOpenSshKeyData;
  }
  ByteString section;
  int rc = section.Set(section_bytes.data(), static_cast<int>(section_bytes.size()));
  if (rc != kOk) return rc;
  if (encrypted) rc = DecryptSection(cipher, salt, rounds, password, &section);
  KeyPair fresh;
  if (rc == kOk) {
    // The two check words differ under a wrong password.
    SpanReader s(section);
    uint32_t check1 = 0, check2 = 1;
    const bool read = s.ReadU32(&check1) && s.ReadU32(&check2) && check1 == check2 && ReadKeyFields(&s, &fresh);
    rc = read ? kOk : kErrOpenSshKeyData;
  }
  WipeString(section);
  return rc == kOk ? key->CopyFrom(fresh) : rc;
}

}  // namespace tw
