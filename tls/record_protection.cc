#include "tls/record_protection.h"

#include <algorithm>
#include <cstring>
#include <ctime>

#include "crypto/symmetric/random_source.h"
#include "foundation/byte_ops.h"
#include "foundation/span_reader.h"

namespace tw {
namespace {

constexpr char kTextBadPadding[] = "Invalid padding found in encrypted packet";
constexpr char kTextBadMac[] = "Invalid MAC found in encrypted packet";
constexpr char kTextAeadShort[] = "AEAD encrypted packet is too short.";
constexpr int kErrBadArgument = 202;
constexpr int kAeadTagBytes = 16;
constexpr int kExplicitNonceBytes = 8;
// Blocks of ciphertext decrypted in one pass (the chain needs a copy of them).
constexpr size_t kCbcChunkBlocks = 64;
// Bytes encrypted, then hashed, in one step of a sealed CBC record.
constexpr size_t kMacStepBytes = 64;

void PutU16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v >> 8);
  p[1] = static_cast<uint8_t>(v);
}

// What a record's MAC or AEAD tag covers besides its bytes: sequence, type, version, length.
void PutSequenceHeader(uint8_t out[13], uint64_t seq, uint8_t type, uint16_t version, size_t n) {
  StoreBe64(out, seq);
  out[8] = type;
  PutU16(out + 9, version);
  PutU16(out + 11, static_cast<uint16_t>(n));
}

// All ones when a < b, else zero, with no branch on the values (both below 2^31).
uint32_t LessMask(uint32_t a, uint32_t b) { return static_cast<uint32_t>(0) - ((a - b) >> 31); }

uint32_t EqualMask(uint32_t a, uint32_t b) {
  const uint32_t d = a ^ b;
  return static_cast<uint32_t>(0) - ((d - 1) >> 31 & ~d >> 31);
}

}  // namespace

int FillHelloRandom(uint8_t* out, int n) {
  RandomSource source;
  return FillHelloRandom(source, out, n);
}

int FillHelloRandom(RandomSource& source, uint8_t* out, int n) {
  const int rc = source.Fill(out, 0, n);
  if (rc != kOk || n <= 4) return rc;
  const uint32_t now = static_cast<uint32_t>(std::time(nullptr));
  out[0] = static_cast<uint8_t>(now >> 24);
  out[1] = static_cast<uint8_t>(now >> 16);
  out[2] = static_cast<uint8_t>(now >> 8);
  out[3] = static_cast<uint8_t>(now);
  return kOk;
}

void TlsRecordState::Clear() {
  WipeBytes(mac_key_, sizeof mac_key_);
  WipeBytes(key_, sizeof key_);
  WipeBytes(iv_, sizeof iv_);
  mac_length_ = key_length_ = iv_length_ = 0;
  suite_ = nullptr;
  version_ = 0;
  tls13_ = false;
  active_ = false;
  keyed_ = false;
  sequence_ = 0;
  aes_.Clear();
  des_.Clear();
  tdes_.Clear();
  rc4_.Clear();
  gcm_.Clear();
  chacha_.Clear();
  hmac256_.Clear();
  use_hmac256_ = false;
}

int TlsRecordState::BlockBytes() const {
  if (suite_ == nullptr) return 0;
  switch (suite_->bulk) {
    case kBulkAesCbc:
      return 16;
    case kBulkDesCbc:
    case kBulkTripleDesCbc:
      return 8;
    default:
      return 0;
  }
}

int TlsRecordState::SetKeys(const TlsCipherSuite* suite, uint16_t version, bool tls13,
                            const uint8_t* mac_key, int mac_length, const uint8_t* key,
                            int key_length, const uint8_t* iv, int iv_length) {
  Clear();
  if (suite == nullptr || key_length < 0 || key_length > static_cast<int>(sizeof key_) ||
      iv_length < 0 || iv_length > static_cast<int>(sizeof iv_) || mac_length < 0 ||
      mac_length > static_cast<int>(sizeof mac_key_)) {
    return kErrBadArgument;
  }
  suite_ = suite;
  version_ = version;
  tls13_ = tls13;
  if (!suite->aead()) {
    if (mac_length != suite->mac_bytes()) return kErrBadArgument;
    std::memcpy(mac_key_, mac_key, static_cast<size_t>(mac_length));
    mac_length_ = mac_length;
  }
  if (key_length > 0) std::memcpy(key_, key, static_cast<size_t>(key_length));
  key_length_ = key_length;
  if (iv_length > 0) std::memcpy(iv_, iv, static_cast<size_t>(iv_length));
  iv_length_ = iv_length;
  const int want_iv = suite->aead() ? (tls13 ? 12 : 4) : BlockBytes();
  if (iv_length != want_iv) return kErrBadArgument;
  const int rc = KeyCipher(true);
  if (rc != kOk) return rc;
  keyed_ = true;
  return kOk;
}

int TlsRecordState::KeyCipher(bool encrypt) {
  int rc = kOk;
  switch (suite_->bulk) {
    case kBulkAesCbc:
      rc = aes_.SetKey(key_, key_length_, 1, kCipherModeCbc);
      break;
    case kBulkDesCbc:
      rc = des_.SetKey(key_, key_length_);
      break;
    case kBulkTripleDesCbc:
      rc = tdes_.SetKey(key_, key_length_);
      break;
    case kBulkRc4:
      rc = rc4_.SetKey(key_, key_length_);
      break;
    case kBulkAesGcm:
      rc = gcm_.SetKey(key_, key_length_);
      break;
    case kBulkChaCha20Poly1305:
      rc = chacha_.SetKey(key_, key_length_);
      break;
  }
  if (rc == kOk && !suite_->aead()) rc = hmac_.SetKey(suite_->hash_id, mac_key_, mac_length_);
  use_hmac256_ = rc == kOk && !suite_->aead() && suite_->hash_id == kHashSha256 && version_ != kSsl30;
  if (use_hmac256_) hmac256_.SetKey(mac_key_, static_cast<size_t>(mac_length_));
  if (rc == kOk && !suite_->aead()) rc = hash_.SetAlgorithm(suite_->hash_id);
  return rc;
}

int TlsRecordState::CopyFrom(const TlsRecordState& other) {
  if (&other == this) return kOk;
  if (!other.keyed_) {
    Clear();
    active_ = other.active_;
    sequence_ = other.sequence_;
    return kOk;
  }
  const int rc = SetKeys(other.suite_, other.version_, other.tls13_, other.mac_key_,
                         other.mac_length_, other.key_, other.key_length_, other.iv_,
                         other.iv_length_);
  if (rc != kOk) return rc;
  // The running stream and chain carry over.
  std::memcpy(iv_, other.iv_, sizeof iv_);
  if (suite_->bulk == kBulkRc4) rc4_.CopyFrom(other.rc4_);
  active_ = other.active_;
  sequence_ = other.sequence_;
  return kOk;
}

namespace {

// CBC encryption over whole blocks of kBlock bytes; the chain block is carried in `chain`.
template <size_t kBlock, class Encrypt>
void CbcEncryptBlocks(const uint8_t* in, uint8_t* out, size_t n, uint8_t* chain, Encrypt encrypt) {
  uint8_t block[kBlock];
  for (size_t off = 0; off + kBlock <= n; off += kBlock) {
    std::memcpy(block, in + off, kBlock);
    XorBytes(block, block, chain, kBlock);
    encrypt(block, out + off);
    std::memcpy(chain, out + off, kBlock);
  }
}

}  // namespace

void TlsRecordState::EncryptCbc(const uint8_t* in, uint8_t* out, size_t n) {
  switch (suite_->bulk) {
    case kBulkAesCbc:
      aes_.EncryptCbc(in, out, n / 16, iv_);
      break;
    case kBulkDesCbc:
      CbcEncryptBlocks<8>(in, out, n, iv_, [this](const uint8_t* b, uint8_t* o) { des_.EncryptBlock(b, o); });
      break;
    default:
      CbcEncryptBlocks<8>(in, out, n, iv_, [this](const uint8_t* b, uint8_t* o) { tdes_.EncryptBlock(b, o); });
      break;
  }
}

void TlsRecordState::DecryptCbc(uint8_t* data, size_t n) {
  if (suite_->bulk == kBulkAesCbc) {
    aes_.DecryptCbc(data, data, n / 16, iv_);
    return;
  }
  const size_t bs = static_cast<size_t>(BlockBytes());
  uint8_t saved[kCbcChunkBlocks * 16];
  uint8_t chain[16];
  std::memcpy(chain, iv_, bs);
  for (size_t off = 0; off < n;) {
    const size_t blocks = std::min(kCbcChunkBlocks, (n - off) / bs);
    const size_t bytes = blocks * bs;
    std::memcpy(saved, data + off, bytes);
    switch (suite_->bulk) {
      case kBulkDesCbc:
        for (size_t b = 0; b < blocks; ++b) des_.DecryptBlock(data + off + b * bs, data + off + b * bs);
        break;
      default:
        for (size_t b = 0; b < blocks; ++b) tdes_.DecryptBlock(data + off + b * bs, data + off + b * bs);
        break;
    }
    XorBytes(data + off, data + off, chain, bs);
    XorBytes(data + off + bs, data + off + bs, saved, bytes - bs);
    std::memcpy(chain, saved + bytes - bs, bs);
    off += bytes;
  }
  std::memcpy(iv_, chain, bs);
  WipeBytes(saved, sizeof saved);
}

int TlsRecordState::ComputeMac(uint64_t seq, uint8_t type, const uint8_t* fragment, size_t n,
                               uint8_t* mac) {
  uint8_t header[13];
  if (version_ == kSsl30) {
    // hash(key + pad2 + hash(key + pad1 + seq + type + length + fragment))
    const int pad = suite_->hash_id == kHashMd5 ? 48 : 40;
    uint8_t pad1[48];
    uint8_t pad2[48];
    std::memset(pad1, 0x36, sizeof pad1);
    std::memset(pad2, 0x5C, sizeof pad2);
    StoreBe64(header, seq);
    header[8] = type;
    PutU16(header + 9, static_cast<uint16_t>(n));
    int rc = hash_.Restart();
    if (rc == kOk) rc = hash_.Update(mac_key_, mac_length_);
    if (rc == kOk) rc = hash_.Update(pad1, pad);
    if (rc == kOk) rc = hash_.Update(header, 11);
    if (rc == kOk) rc = hash_.Update(fragment, static_cast<int64_t>(n));
    if (rc == kOk) rc = hash_.Final();
    uint8_t inner[64];
    if (rc != kOk) return rc;
    std::memcpy(inner, hash_.digest().bytes(), static_cast<size_t>(mac_length_));
    rc = hash_.Restart();
    if (rc == kOk) rc = hash_.Update(mac_key_, mac_length_);
    if (rc == kOk) rc = hash_.Update(pad2, pad);
    if (rc == kOk) rc = hash_.Update(inner, mac_length_);
    if (rc == kOk) rc = hash_.Final();
    if (rc == kOk) std::memcpy(mac, hash_.digest().bytes(), static_cast<size_t>(mac_length_));
    return rc;
  }
  PutSequenceHeader(header, seq, type, version_, n);
  if (use_hmac256_) {
    hmac256_.Update(header, sizeof header);
    hmac256_.Update(fragment, n);
    hmac256_.Final(mac);
    return kOk;
  }
  int rc = hmac_.Update(header, sizeof header);
  if (rc == kOk) rc = hmac_.Update(fragment, static_cast<int64_t>(n));
  if (rc == kOk) rc = hmac_.Final();
  if (rc == kOk) std::memcpy(mac, hmac_.mac().bytes(), static_cast<size_t>(mac_length_));
  return rc;
}

int TlsRecordState::MacWhileEncrypting(uint64_t seq, uint8_t type, const uint8_t* fragment, size_t n,
                                       uint8_t* out, size_t whole, uint8_t* mac) {
  uint8_t header[13];
  PutSequenceHeader(header, seq, type, version_, n);
  if (use_hmac256_ && suite_->bulk == kBulkAesCbc) {
    hmac256_.Update(header, sizeof header);
    hmac256_.UpdateBesideCbc(fragment, n, aes_, fragment, out, whole / 16, iv_);
    hmac256_.Final(mac);
    return kOk;
  }
  int rc = hmac_.Update(header, sizeof header);
  // The CBC chain leaves the cipher waiting on every block, and the digest's rounds fill the
  // waits: each step encrypts a few blocks, then hashes as many bytes, the digest's blocks kept
  // whole so that no byte passes through its buffer.
  const size_t block = static_cast<size_t>(HashBlockSizeOf(suite_->hash_id));
  size_t hashed = std::min(n, block - sizeof header);
  if (rc == kOk) rc = hmac_.Update(fragment, static_cast<int64_t>(hashed));
  for (size_t off = 0; off < whole && rc == kOk; off += kMacStepBytes) {
    const size_t step = std::min(kMacStepBytes, whole - off);
    EncryptCbc(fragment + off, out + off, step);
    const size_t take = std::min(step, n - hashed);
    rc = hmac_.Update(fragment + hashed, static_cast<int64_t>(take));
    hashed += take;
  }
  if (rc == kOk) rc = hmac_.Update(fragment + hashed, static_cast<int64_t>(n - hashed));
  if (rc == kOk) rc = hmac_.Final();
  if (rc == kOk) std::memcpy(mac, hmac_.mac().bytes(), static_cast<size_t>(mac_length_));
  return rc;
}

void TlsRecordState::Nonce(uint64_t seq, uint8_t nonce[12]) const {
  if (tls13_) {
    std::memcpy(nonce, iv_, 12);
    for (int i = 0; i < 8; ++i) nonce[4 + i] ^= static_cast<uint8_t>(seq >> (56 - 8 * i));
  } else {
    std::memcpy(nonce, iv_, 4);
    StoreBe64(nonce + 4, seq);
  }
}

int TlsRecordState::Protect(uint8_t type, uint16_t version, const uint8_t* in, size_t n,
                            uint8_t* out, size_t* out_length) {
  *out_length = 0;
  if (!keyed_) return kErrBadArgument;
  if (n > static_cast<size_t>(kTlsMaxPlaintext)) return kErrBadArgument;
  if (suite_->aead()) return ProtectAead(type, version, in, n, out, out_length);
  const uint64_t seq = sequence_++;
  out[0] = type;
  PutU16(out + 1, version);
  uint8_t* body = out + kTlsRecordHeaderBytes;
  size_t pos = 0;
  const size_t bs = static_cast<size_t>(BlockBytes());
  if (bs != 0 && version_ >= kTls11) {
    const int rc = FillHelloRandom(random_, body, static_cast<int>(bs));
    if (rc != kOk) return rc;
    pos = bs;
  }
  if (bs == 0) {
    std::memcpy(body, in, n);
    const int rc = ComputeMac(seq, type, in, n, body + n);
    if (rc != kOk) return rc;
    pos = n + static_cast<size_t>(mac_length_);
    rc4_.Crypt(body, pos, body);
  } else {
    // The whole blocks of the fragment are encrypted straight from the caller's buffer; the
    // rest of it, the MAC and the padding are put behind them.
    EncryptCbc(body, body, pos);
    const size_t whole = n - n % bs;
    uint8_t* tail = body + pos + whole;
    size_t t = n - whole;
    int rc = kOk;
    if (version_ == kSsl30) {
      EncryptCbc(in, body + pos, whole);
      rc = ComputeMac(seq, type, in, n, tail + t);
    } else {
      rc = MacWhileEncrypting(seq, type, in, n, body + pos, whole, tail + t);
    }
    if (rc != kOk) return rc;
    std::memcpy(tail, in + whole, t);
    t += static_cast<size_t>(mac_length_);
    const size_t p = bs - 1 - t % bs;
    std::memset(tail + t, static_cast<int>(p), p + 1);
    t += p + 1;
    EncryptCbc(tail, tail, t);
    pos += whole + t;
  }
  PutU16(out + 3, static_cast<uint16_t>(pos));
  *out_length = pos + kTlsRecordHeaderBytes;
  return kOk;
}

int TlsRecordState::ProtectAead(uint8_t type, uint16_t version, const uint8_t* in, size_t n,
                                uint8_t* out, size_t* out_length) {
  const uint64_t seq = sequence_++;
  uint8_t nonce[12];
  Nonce(seq, nonce);
  uint8_t aad[13];
  size_t aad_length = 0;
  uint8_t* data = nullptr;
  size_t data_length = n;
  if (tls13_) {
    out[0] = kContentApplicationData;
    PutU16(out + 1, kTls12);
    data = out + kTlsRecordHeaderBytes;
    std::memcpy(data, in, n);
    data[n] = type;
    data_length = n + 1;
    PutU16(out + 3, static_cast<uint16_t>(data_length + kAeadTagBytes));
    std::memcpy(aad, out, kTlsRecordHeaderBytes);
    aad_length = kTlsRecordHeaderBytes;
  } else {
    out[0] = type;
    PutU16(out + 1, version);
    PutU16(out + 3, static_cast<uint16_t>(kExplicitNonceBytes + n + kAeadTagBytes));
    StoreBe64(out + kTlsRecordHeaderBytes, seq);
    data = out + kTlsRecordHeaderBytes + kExplicitNonceBytes;
    PutSequenceHeader(aad, seq, type, version_, n);
    aad_length = sizeof aad;
  }
  uint8_t* tag = data + data_length;
  // TLS 1.2 seals straight from the caller's fragment; TLS 1.3 needs the type byte behind it.
  const uint8_t* source = tls13_ ? data : in;
  const int rc = suite_->bulk == kBulkAesGcm
                     ? gcm_.Seal(nonce, 12, aad, aad_length, source, data, data_length, tag, kAeadTagBytes)
                     : chacha_.Seal(nonce, 12, aad, aad_length, source, data, data_length, tag);
  if (rc != kOk) return rc;
  *out_length = static_cast<size_t>(tag + kAeadTagBytes - out);
  return kOk;
}

int TlsRecordState::Unprotect(uint8_t* record, size_t length, uint8_t* type, uint8_t** content,
                              size_t* content_length, TlsRecordFault* fault) {
  *content = nullptr;
  *content_length = 0;
  SpanReader header(record, length);
  uint16_t body = 0;
  if (!keyed_ || !header.Skip(3) || !header.ReadU16(&body)) return kErrBadArgument;
  if (size_t{body} + kTlsRecordHeaderBytes != length) return kErrBadArgument;
  if (suite_->aead()) return UnprotectAead(record, length, type, content, content_length, fault);
  return UnprotectMacThenEncrypt(record, length, type, content, content_length, fault);
}

int TlsRecordState::UnprotectAead(uint8_t* record, size_t length, uint8_t* type, uint8_t** content,
                                  size_t* content_length, TlsRecordFault* fault) {
  const size_t body = length - kTlsRecordHeaderBytes;
  const uint64_t seq = sequence_++;
  uint8_t nonce[12];
  uint8_t aad[13];
  size_t aad_length = 0;
  uint8_t* data = nullptr;
  size_t data_length = 0;
  if (tls13_) {
    if (body <= static_cast<size_t>(kAeadTagBytes)) {
      fault->alert = kAlertDecodeError;
      fault->text = kTextAeadShort;
      return kErrTlsRecordMac;
    }
    Nonce(seq, nonce);
    std::memcpy(aad, record, kTlsRecordHeaderBytes);
    aad_length = kTlsRecordHeaderBytes;
    data = record + kTlsRecordHeaderBytes;
    data_length = body - kAeadTagBytes;
  } else {
    if (body < static_cast<size_t>(kExplicitNonceBytes + kAeadTagBytes)) {
      fault->alert = kAlertDecodeError;
      fault->text = kTextAeadShort;
      return kErrTlsRecordMac;
    }
    std::memcpy(nonce, iv_, 4);
    std::memcpy(nonce + 4, record + kTlsRecordHeaderBytes, kExplicitNonceBytes);
    data = record + kTlsRecordHeaderBytes + kExplicitNonceBytes;
    data_length = body - kExplicitNonceBytes - kAeadTagBytes;
    PutSequenceHeader(aad, seq, record[0], version_, data_length);
    aad_length = sizeof aad;
  }
  const uint8_t* tag = data + data_length;
  const int rc = suite_->bulk == kBulkAesGcm
                     ? gcm_.Open(nonce, 12, aad, aad_length, data, data, data_length, tag, kAeadTagBytes)
                     : chacha_.Open(nonce, 12, aad, aad_length, data, data, data_length, tag,
                                    kAeadTagBytes);
  if (rc != kOk) {
    // A forged or damaged record ends the connection; it must not leave the reader waiting.
    fault->alert = kAlertBadRecordMac;
    fault->text = kTextBadMac;
    return kErrTlsRecordMac;
  }
  if (tls13_) {
    while (data_length > 0 && data[data_length - 1] == 0) --data_length;
    if (data_length == 0) {
      *type = 0;
    } else {
      *type = data[--data_length];
    }
  } else {
    *type = record[0];
  }
  *content = data;
  *content_length = data_length;
  return kOk;
}

int TlsRecordState::UnprotectMacThenEncrypt(uint8_t* record, size_t length, uint8_t* type,
                                            uint8_t** content, size_t* content_length,
                                            TlsRecordFault* fault) {
  uint8_t* data = record + kTlsRecordHeaderBytes;
  const size_t n = length - kTlsRecordHeaderBytes;
  const uint64_t seq = sequence_++;
  const size_t bs = static_cast<size_t>(BlockBytes());
  const size_t mac_length = static_cast<size_t>(mac_length_);
  const size_t iv_skip = bs != 0 && version_ >= kTls11 ? bs : 0;
  fault->alert = kAlertBadRecordMac;
  fault->text = kTextBadMac;
  // Too short for IV, MAC and padding byte, or not whole blocks: nothing inside is read.
  if (n < iv_skip + mac_length + (bs != 0 ? 1 : 0) || (bs != 0 && n % bs != 0)) {
    return kErrTlsRecordMac;
  }
  if (bs == 0) {
    rc4_.Crypt(data, n, data);
  } else {
    DecryptCbc(data, n);
  }
  // From here on the padding and MAC checks take the same path and time whatever they find.
  const size_t room = n - iv_skip - mac_length;  // content + padding
  uint32_t good = ~0u;
  uint32_t pad = 0;
  if (bs != 0) {
    pad = data[n - 1];
    good &= LessMask(pad, static_cast<uint32_t>(room));  // pad + 1 <= room
    if (version_ >= kTls10) {
      // Every byte of the padding equals its length; the check spans the largest padding.
      const size_t span = std::min<size_t>(256, room);
      for (size_t i = 1; i <= span; ++i) {
        const uint32_t in_pad = LessMask(static_cast<uint32_t>(i - 1), pad + 1) &
                                LessMask(static_cast<uint32_t>(i - 1), static_cast<uint32_t>(room));
        good &= ~in_pad | EqualMask(data[n - i], pad);
      }
    }
  }
  // With bad padding the MAC is computed as if there were none, so the time does not tell.
  const size_t strip = (bs != 0 ? (pad & good) + 1 : 0);
  const size_t content_bytes = room - strip;
  uint8_t* plain = data + iv_skip;
  uint8_t mac[64];
  int rc = ComputeMac(seq, record[0], plain, content_bytes, mac);
  if (rc != kOk) return rc;
  if (bs != 0) {
    // Hash the bytes the shorter content left out, to even out the MAC's running time.
    const size_t extra = room - content_bytes;
    hash_.Restart();
    hash_.Update(plain + content_bytes, static_cast<int64_t>(extra));
    hash_.Final();
  }
  const bool mac_ok = MacEquals(mac, plain + content_bytes, mac_length);
  WipeBytes(mac, sizeof mac);
  // One alert either way; only the local text names the padding.
  if (good != ~0u) fault->text = kTextBadPadding;
  if (!mac_ok || good != ~0u) return kErrTlsRecordMac;
  *type = record[0];
  *content = plain;
  *content_length = content_bytes;
  return kOk;
}

}  // namespace tw
