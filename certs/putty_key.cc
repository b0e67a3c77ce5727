#include "certs/putty_key.h"

#include <algorithm>
#include <cstring>
#include <string_view>

#include "certs/ssh_public_key.h"
#include "certs/ssh_wire_reader.h"
#include "crypto/symmetric/cipher_engine.h"
#include "crypto/symmetric/sha1.h"
#include "foundation/text_conversion.h"

namespace tw {

namespace {

constexpr std::string_view kPrefix = "PuTTY-User-Key-File-";
constexpr std::string_view kEncryption = "Encryption";
constexpr std::string_view kKeyDerivation = "Key-Derivation";
constexpr std::string_view kPublicLines = "Public-Lines";
constexpr std::string_view kPrivateLines = "Private-Lines";
constexpr std::string_view kPrivateMac = "Private-MAC";
constexpr std::string_view kNone = "none";
constexpr std::string_view kAes256Cbc = "aes256-cbc";
constexpr int kAesKeyBytes = 32;
constexpr int kSha1Bytes = 20;
constexpr int kAesBlockBytes = 16;

constexpr std::string_view kEcdsaTypes[] = {"ecdsa-sha2-nistp256", "ecdsa-sha2-nistp384", "ecdsa-sha2-nistp521"};

std::string_view Trim(std::string_view s) {
  while (!s.empty() && static_cast<uint8_t>(s.front()) <= 0x20) s.remove_prefix(1);
  while (!s.empty() && static_cast<uint8_t>(s.back()) <= 0x20) s.remove_suffix(1);
  return s;
}

bool StartsWith(std::string_view s, std::string_view prefix) { return s.substr(0, prefix.size()) == prefix; }

// The parts of the file the key is read from.
struct PuttyFile {
  std::string_view encryption;
  std::string_view public_block;
  std::string_view private_block;
  bool other_derivation = false;
};

// Lines are walked until all three parts are known. Each block runs from the line after its
// header up to the next header word; the line counts are not needed.
bool SplitFile(std::string_view text, PuttyFile* f) {
  size_t pos = 0;
  while (pos < text.size() && (f->encryption.empty() || f->public_block.empty() || f->private_block.empty())) {
    size_t end = text.find('\n', pos);
    if (end == std::string_view::npos) end = text.size();
    const std::string_view line = Trim(text.substr(pos, end - pos));
    const size_t next = end < text.size() ? end + 1 : end;
    pos = next;
    if (StartsWith(line, kEncryption)) {
      const size_t colon = line.find(':');
      if (colon != std::string_view::npos) f->encryption = Trim(line.substr(colon + 1));
    } else if (StartsWith(line, kKeyDerivation)) {
      f->other_derivation = true;
    } else if (StartsWith(line, kPublicLines)) {
      // Files that derive their key otherwise put those lines between the two blocks.
      size_t stop = std::min(text.find(kPrivateLines, next), text.find(kKeyDerivation, next));
      if (stop == std::string_view::npos) return false;
      f->public_block = text.substr(next, stop - next);
      pos = stop;
    } else if (StartsWith(line, kPrivateLines)) {
      const size_t stop = text.find(kPrivateMac, next);
      if (stop == std::string_view::npos) return false;
      f->private_block = text.substr(next, stop - next);
      pos = stop;
    }
  }
  return !f->encryption.empty() && !f->public_block.empty() && !f->private_block.empty();
}

bool DecodeBlock(std::string_view block, ByteString* out) {
  return out->Set(block.data(), static_cast<int>(block.size())) == kOk &&
         DecodeBase64(*out, false, true, true) == kOk && !out->empty();
}

// AES-256-CBC under SHA-1(00 00 00 00 || password) || SHA-1(00 00 00 01 || password), zero IV.
int DecryptPrivate(const char* password, ByteString* data) {
  uint8_t key[2 * kSha1Bytes];
  const size_t pw = std::strlen(password);
  for (uint8_t i = 0; i < 2; ++i) {
    const uint8_t counter[4] = {0, 0, 0, i};
    Sha1Context sha;
    sha.Update(counter, sizeof counter);
    sha.Update(password, pw);
    const uint8_t* digest = sha.Final();
    if (digest == nullptr) return kErrPuttyKeyData;
    std::memcpy(key + i * kSha1Bytes, digest, kSha1Bytes);
  }
  const uint8_t iv[kAesBlockBytes] = {};
  const int rc = SshAesDecrypt(kCipherModeCbc, key, kAesKeyBytes, iv, data);
  explicit_bzero(key, sizeof key);
  return rc;
}

bool ReadPrivateFields(std::string_view type, SpanReader* r, KeyPair* fresh) {
  switch (fresh->type) {
    case kKeyRsa: {
      RsaKeyData& k = fresh->rsa;
      return ReadSshMpint(r, &k.D) && ReadSshMpint(r, &k.P) && ReadSshMpint(r, &k.Q) && ReadSshMpint(r, &k.QInv) &&
             !k.D.empty() && k.CompleteCrt() == kOk;
    }
    case kKeyDsa:
      return ReadSshMpint(r, &fresh->dsa.X) && !fresh->dsa.X.empty();
    case kKeyEc:
      for (std::string_view name : kEcdsaTypes) {
        if (type == name) return ReadSshMpint(r, &fresh->ec.D) && !fresh->ec.D.empty();
      }
      return false;
    case kKeyEdwards:
      return ReadSshString(r, &fresh->edwards.private_bytes) &&
             fresh->edwards.private_bytes.length() == fresh->edwards.public_bytes.length();
    default:
      return false;
  }
}

}  // namespace

int ReadPuttyPrivateKey(KeyPair* key, const char* text, int length, const char* password, ByteString* error_text) {
  if (password == nullptr) password = "";
  if (text == nullptr || length < 0) return kErrNotPuttyKey;
  const std::string_view all = Trim(std::string_view(text, static_cast<size_t>(length)));
  if (!StartsWith(all, kPrefix)) return kErrNotPuttyKey;
  PuttyFile file;
  ByteString public_blob, private_blob;
  if (!SplitFile(all, &file) || !DecodeBlock(file.public_block, &public_blob) ||
      !DecodeBlock(file.private_block, &private_blob)) {
    return kErrPuttyKeyData;
  }
  int rc = kOk;
  if (EqualsNoCase(file.encryption, kAes256Cbc)) {
    if (file.other_derivation) {
      // Only the SHA-1 derivation is known here; a key derived otherwise would be taken for a
      // wrong password.
      if (error_text != nullptr) error_text->SetText(kTextPuttyKeyDerivation);
      rc = kErrPuttyKeyData;
    } else {
      rc = DecryptPrivate(password, &private_blob) == kOk ? kOk : kErrPuttyKeyData;
    }
  } else if (!EqualsNoCase(file.encryption, kNone)) {
    rc = kErrPuttyKeyData;
  }
  KeyPair fresh;
  if (rc == kOk) {
    SpanReader pub(public_blob), priv(private_blob);
    std::string_view type;
    if (!ReadSshString(&pub, &type) || !ReadSshPublicFields(type, &pub, &fresh)) {
      rc = kErrPuttyKeyData;
    } else if (!ReadPrivateFields(type, &priv, &fresh)) {
      if (error_text != nullptr) error_text->SetText(kTextPuttyWrongPassword);
      rc = kErrPuttyKeyData;
    }
  }
  WipeString(private_blob);
  return rc == kOk ? key->CopyFrom(fresh) : rc;
}

}  // namespace tw
