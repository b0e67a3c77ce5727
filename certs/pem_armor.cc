#include "certs/pem_armor.h"

#include <cstring>
#include <string>
#include <string_view>

#include "crypto/symmetric/cipher_engine.h"
#include "crypto/symmetric/kdf.h"
#include "foundation/text_conversion.h"

namespace tw {

namespace {

constexpr const char* kInvalidBegin = "Invalid begin: ";
constexpr const char* kInvalidLine = "Invalid PEM line: ";
constexpr const char* kInvalidEnd = "Invalid end: ";
constexpr const char* kBadBody = "Failed to Base64 decode body: ";
constexpr const char* kDekInfo = "DEK-Info";

// The ciphers a DEK-Info header or a PBES2 scheme may name.
struct PemCipher {
  const char* name;
  int id;
  int mode;
  int key_bytes;
  int block_bytes;
};
constexpr PemCipher kPemCiphers[] = {
    {"DES-EDE3-CBC", kCipherTripleDes, kCipherModeCbc, 24, 8},
    {"3des-cbc", kCipherTripleDes, kCipherModeCbc, 24, 8},
    {"DES-EDE3-CFB", kCipherTripleDes, kCipherModeCfb, 24, 8},
    {"AES-128-CBC", kCipherAes, kCipherModeCbc, 16, 16},
    {"AES-256-CBC", kCipherAes, kCipherModeCbc, 32, 16},
};
// EVP_BytesToKey salts with at most the first 8 bytes of the IV.
constexpr int kBytesToKeySalt = 8;

const PemCipher* FindCipher(const char* name) {
  for (const PemCipher& c : kPemCiphers) {
    if (name != nullptr && std::strcmp(c.name, name) == 0) return &c;
  }
  return nullptr;
}

// Lines of a text; CR, LF and CR LF each end one. Lines come trimmed of blanks.
class LineReader {
 public:
  LineReader(const char* p, size_t n) : text_(p, n) {}
  bool AtEnd() const { return pos_ >= text_.size(); }
  std::string_view Peek() const {
    size_t next = pos_;
    return Take(&next);
  }
  std::string_view Next() { return Take(&pos_); }

 private:
  std::string_view Take(size_t* pos) const {
    const size_t start = *pos;
    size_t end = start;
    while (end < text_.size() && text_[end] != '\r' && text_[end] != '\n') ++end;
    *pos = end;
    if (*pos < text_.size() && text_[*pos] == '\r') ++*pos;
    if (*pos < text_.size() && text_[*pos] == '\n') ++*pos;
    return Trim(text_.substr(start, end - start));
  }
  std::string_view text_;
  size_t pos_ = 0;

 public:
  static std::string_view Trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
  }
};

bool IsBase64Line(std::string_view line) {
  size_t pad = 0;
  while (pad < line.size() && pad < 2 && line[line.size() - 1 - pad] == '=') ++pad;
  for (size_t i = 0; i + pad < line.size(); ++i) {
    if (!IsBase64Char(static_cast<unsigned char>(line[i]))) return false;
  }
  return true;
}

size_t DashRun(std::string_view line, bool from_end) {
  size_t n = 0;
  while (n < line.size() && line[from_end ? line.size() - 1 - n : n] == '-') ++n;
  return n;
}

// The text between two runs of `dashes` dashes, trimmed; false when the line is not framed so.
bool Framed(std::string_view line, size_t dashes, std::string_view* inner) {
  if (line.size() < 2 * dashes || DashRun(line, false) != dashes || DashRun(line, true) != dashes) return false;
  *inner = LineReader::Trim(line.substr(dashes, line.size() - 2 * dashes));
  return true;
}

void SetError(ByteString* error_text, const char* prefix, std::string_view line) {
  if (error_text == nullptr) return;
  error_text->SetText(prefix);
  error_text->Append(line.data(), static_cast<int>(line.size()));
}

}  // namespace

bool IsPemText(const void* data, int length) {
  const auto* p = static_cast<const uint8_t*>(data);
  if (p == nullptr || length <= 0 || IsDerSequence(data, length)) return false;
  for (int i = 0; i < length; ++i) {
    if (p[i] == 0 || p[i] >= 0x80) return false;
  }
  return true;
}

int PemArmor(ByteString* out, const char* label, const void* bytes, int length) {
  out->Reset();
  int rc = out->AppendFormat("-----BEGIN %s-----\r\n", label);
  if (rc == kOk) rc = Base64Encode(*out, bytes, length, true, 64, false);
  if (rc == kOk) rc = out->AppendFormat("\r\n-----END %s-----\r\n", label);
  if (rc != kOk) out->Reset();
  return rc;
}

int PemEncodeBytes(const char* label, const ByteString& bytes, ByteString* out) {
  return PemArmor(out, label, bytes.data(), bytes.length());
}

int ReadPemBlocks(const void* text, int length, StringList* labels, StringList* headers,
                  StringList* bodies, ByteString* error_text) {
  if (error_text != nullptr) error_text->Reset();
  if (text == nullptr || length <= 0) return -1;
  LineReader lines(static_cast<const char*>(text), static_cast<size_t>(length));
  int found = 0;
  while (!lines.AtEnd()) {
    const std::string_view begin = lines.Next();
    if (begin.size() < 8 || begin.substr(0, 4) != "----" || begin.substr(begin.size() - 4) != "----") continue;
    const size_t dashes = DashRun(begin, false);
    std::string_view inner;
    if ((dashes != 4 && dashes != 5) || !Framed(begin, dashes, &inner) || inner.substr(0, 6) != "BEGIN ") {
      SetError(error_text, kInvalidBegin, begin);
      break;
    }
    const std::string_view label = LineReader::Trim(inner.substr(6));
    std::string header, body;
    const std::string_view first = lines.Peek();
    if (!IsBase64Line(first)) {
      if (first.find(':') == std::string_view::npos) {
        SetError(error_text, kInvalidLine, first);
        break;
      }
      while (!lines.AtEnd()) {
        const std::string_view line = lines.Next();
        if (line.empty()) break;
        if (IsBase64Line(line) && (header.empty() || header.back() != '\\')) {
          body.append(line);
          break;
        }
        if (!header.empty()) header.append("\r\n");
        header.append(line);
      }
    }
    std::string_view end;
    bool ended = false;
    while (!lines.AtEnd()) {
      end = lines.Next();
      if (!IsBase64Line(end)) {
        ended = true;
        break;
      }
      body.append(end);
    }
    ByteString decoded;
    if (decoded.Set(body.data(), static_cast<int>(body.size())) != kOk) return kErrOutOfMemory;
    if (!body.empty() && DecodeBase64(decoded, false, true, true) < 0) {
      SetError(error_text, kBadBody, body);
      break;
    }
    std::string_view end_inner;
    if (!ended || !Framed(end, dashes, &end_inner) || end_inner.substr(0, 4) != "END " ||
        LineReader::Trim(end_inner.substr(4)) != label) {
      SetError(error_text, kInvalidEnd, end);
      break;
    }
    int rc = labels ? labels->Add(label.data(), static_cast<int>(label.size())) : kOk;
    if (rc == kOk && headers) rc = headers->Add(header.data(), static_cast<int>(header.size()));
    if (rc == kOk && bodies) rc = bodies->Add(decoded.data(), decoded.length());
    WipeBytes(decoded.bytes(), static_cast<size_t>(decoded.length()));
    if (rc != kOk) return rc;
    ++found;
  }
  return found > 0 ? kOk : -1;
}

bool ParseDekInfo(const char* headers, ByteString* cipher_name, ByteString* iv) {
  std::string_view rest(headers == nullptr ? "" : headers);
  while (!rest.empty()) {
    size_t end = rest.find_first_of("\r\n");
    std::string_view line = rest.substr(0, end);
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    const size_t colon = line.find(':');
    if (colon == std::string_view::npos || LineReader::Trim(line.substr(0, colon)) != kDekInfo) continue;
    const std::string_view value = LineReader::Trim(line.substr(colon + 1));
    const size_t comma = value.find(',');
    const std::string_view name = LineReader::Trim(value.substr(0, comma));
    const std::string hex(comma == std::string_view::npos ? std::string_view() : LineReader::Trim(value.substr(comma + 1)));
    iv->Reset();
    if (cipher_name->Set(name.data(), static_cast<int>(name.size())) != kOk) return false;
    return AppendFromHex(*iv, hex.c_str()) == kOk;
  }
  return false;
}

int PemDecrypt(const char* cipher_name, ByteString* data, const char* password, const uint8_t* salt,
               int salt_length, bool zero_iv, const char* digest_name, int iterations,
               const ByteString* explicit_iv) {
  const PemCipher* cipher = FindCipher(cipher_name);
  if (cipher == nullptr) return kErrPemCipher;
  if (salt == nullptr || salt_length < 0) salt_length = 0;
  if (digest_name == nullptr || *digest_name == '\0') digest_name = "MD5";
  const bool pbkdf2 = StrIStr(digest_name, "hmac") != nullptr;
  ByteString iv;
  int rc = kOk;
  if (zero_iv) rc = iv.Resize(cipher->block_bytes);
  else if (explicit_iv != nullptr) rc = iv.Assign(*explicit_iv);
  else rc = iv.Set(salt, salt_length);
  if (rc != kOk) return rc;
  if (iv.length() != cipher->block_bytes) return kErrPemIvLength;

  PasswordKdf kdf;
  ByteString key;
  rc = kdf.DeriveBytes(iterations < 1 ? 1 : iterations, digest_name, password == nullptr ? "" : password, salt,
                       pbkdf2 ? salt_length : (salt_length < kBytesToKeySalt ? salt_length : kBytesToKeySalt),
                       cipher->key_bytes, 0, key);
  if (rc != kOk) return rc;
  CipherEngine engine;
  rc = engine.SetAlgorithm(cipher->id);
  if (rc == kOk) rc = engine.SetKeyBits(cipher->key_bytes * 8);
  if (rc == kOk) {
    engine.SetMode(cipher->mode);
    // CFB is a stream mode: nothing was padded.
    engine.SetPadding(cipher->mode == kCipherModeCbc ? kPaddingPkcs7 : kPaddingNone);
    rc = engine.BeginDecrypt(key.bytes(), key.length(), iv.bytes(), iv.length());
  }
  ByteString plain;
  if (rc == kOk) rc = engine.Final(data->bytes(), data->length(), plain);
  if (rc == kOk) {
    WipeBytes(data->bytes(), static_cast<size_t>(data->length()));
    rc = data->Assign(plain);
  }
  WipeBytes(key.bytes(), static_cast<size_t>(key.length()));
  WipeBytes(plain.bytes(), static_cast<size_t>(plain.length()));
  DestroyCipherContext(engine);
  return rc;
}

int PemDecodeWithLabel(ByteString* out, const char* label, const void* data, int length,
                       const char* password, bool strict) {
  out->Reset();
  if (!IsPemText(data, length)) return out->Set(data, length < 0 ? 0 : length);
  StringList labels, headers, bodies;
  ReadPemBlocks(data, length, &labels, &headers, &bodies, nullptr);
  // The decoded bodies may hold keys.
  struct WipeBodies {
    StringList& list;
    ~WipeBodies() { WipeBytes(const_cast<uint8_t*>(list.packed().bytes()), static_cast<size_t>(list.packed().length())); }
  } wipe{bodies};
  for (int i = 0; i < labels.Count(); ++i) {
    if (std::string_view(labels.Get(i), static_cast<size_t>(labels.GetLength(i))) != label) continue;
    int rc = out->Set(bodies.Get(i), bodies.GetLength(i));
    ByteString cipher, iv;
    if (rc != kOk || !ParseDekInfo(headers.Get(i), &cipher, &iv)) return rc;
    // A cipher outside the list fails here rather than handing back bytes still encrypted.
    rc = PemDecrypt(cipher.c_str(), out, password, iv.bytes(), iv.length(), false, nullptr, 1, nullptr);
    if (rc != kOk) out->Reset();
    return rc;
  }
  const std::string_view text(static_cast<const char*>(data), static_cast<size_t>(length));
  if (strict || text.find("-----BEGIN") != std::string_view::npos) return kErrPemLabel;
  int rc = out->Set(data, length);
  if (rc == kOk && DecodeBase64(*out, false, true, true) < 0) rc = kErrPemLabel;
  if (rc != kOk) out->Reset();
  return rc;
}

int PemDecodeWithLabel(ByteString* out, const char* label, const void* data, int length) {
  return PemDecodeWithLabel(out, label, data, length, "", false);
}

int PemDecodeBytes(const ByteString& text, const char* label, ByteString* out, const char* password) {
  return PemDecodeWithLabel(out, label, text.data(), text.length(), password == nullptr ? "" : password, true);
}

}  // namespace tw
