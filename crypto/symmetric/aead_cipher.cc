#include "crypto/symmetric/aead_cipher.h"

#include <climits>
#include <cstring>

#include "foundation/ptr_array.h"

namespace tw {

namespace {

constexpr int kTagBits = 128;

}  // namespace

AeadCipher::~AeadCipher() {
  FreeContexts();
  WipeString(key_);
  WipeString(tag_);
  WipeString(held_);
}

void AeadCipher::FreeContexts() {
  DeleteRecord(gcm_);
  gcm_ = nullptr;
  DeleteRecord(chacha_);
  chacha_ = nullptr;
}

void AeadCipher::SetHardwareAllowed(bool allowed) {
  hw_allowed_ = allowed;
  if (gcm_) gcm_->SetHardwareAllowed(allowed);
  if (chacha_) chacha_->SetHardwareAllowed(allowed);
}

int AeadCipher::SetKind(int kind) {
  if (kind == kind_) return kOk;
  if (kind != kAesGcm && kind != kChaCha20Poly1305) return kErrAeadKind;
  FreeContexts();
  kind_ = kNone;
  if (kind == kAesGcm) {
    gcm_ = NewRecord<GcmContext>();
    if (gcm_ && !gcm_->Allocated()) {
      DeleteRecord(gcm_);
      gcm_ = nullptr;
    }
    if (!gcm_) return kErrOutOfMemory;
    gcm_->SetHardwareAllowed(hw_allowed_);
  } else {
    chacha_ = NewRecord<ChaCha20Poly1305Context>();
    if (!chacha_) return kErrOutOfMemory;
    chacha_->SetHardwareAllowed(hw_allowed_);
  }
  kind_ = kind;
  return kOk;
}

int AeadCipher::SetNonce(const uint8_t* bytes, int length) {
  if (length < 0) return kErrAeadNonceLength;
  const bool fits = kind_ == kChaCha20Poly1305 ? (length == 8 || length == 12)
                    : kind_ == kAesGcm         ? length > 0
                                               : length == 0;
  if (!fits) return kErrAeadNonceLength;
  const int rc = nonce_.Set(bytes, length);
  if (rc != kOk) return rc;
  state_ = kNonceSet;
  return kOk;
}

int AeadCipher::Configure(const uint8_t* key, int key_length, const uint8_t* nonce, int nonce_length, int kind,
                          int encrypting) {
  if (key_length < 0) return kErrCipherKeyLength;
  int rc = key_.Set(key, key_length);
  if (rc != kOk) return rc;
  // The kind first, so that the nonce is checked against the kind it is meant for.
  rc = SetKind(kind);
  if (rc != kOk) return rc;
  rc = SetNonce(nonce, nonce_length);
  if (rc != kOk) return rc;
  key_bits_ = 256;
  block_bits_ = 128;
  tag_bits_ = kTagBits;
  tag_bytes_ = kTagBits / 8;
  encrypting_ = encrypting ? 1 : 0;
  WipeString(tag_);
  WipeString(held_);
  state_ = kNonceSet;
  return kOk;
}

int AeadCipher::Start(int kind, int encrypting) {
  // Configure stores into key_ and nonce_ from themselves; ByteString copes with that.
  return Configure(key_.bytes(), key_.length(), nonce_.bytes(), nonce_.length(), kind, encrypting);
}

int AeadCipher::SetAad(const uint8_t* bytes, int length) {
  if (state_ == kStarted) return kErrAeadNotStarted;
  if (length < 0) return kErrAeadNotStarted;
  const int rc = aad_.Set(bytes, length);
  if (rc != kOk) return rc;
  state_ = kReady;
  return kOk;
}

int AeadCipher::SetTagBits(int bits) {
  if (bits != tag_bits_) return kErrAeadTagLength;
  tag_bytes_ = bits / 8;
  return tag_.Resize(tag_bytes_);
}

int AeadCipher::SetTag(const uint8_t* bytes, int length) {
  if (length < 0 || length > INT_MAX / 8) return kErrAeadTagLength;
  const int rc = SetTagBits(length * 8);
  if (rc != kOk) return rc;
  return tag_.Set(bytes, length);
}

// Keys the context of the kind. An encryption also feeds it the nonce and the AAD; a decryption
// does that in one go at the end, once all the ciphertext is there.
int AeadCipher::StartContext() {
  if (kind_ == kAesGcm) {
    int rc = gcm_->SetKey(key_.bytes(), key_.length());
    if (rc != kOk) return rc;
    if (!encrypting_) return kOk;
    rc = gcm_->AddIv(nonce_.bytes(), static_cast<size_t>(nonce_.length()));
    if (rc == kOk) rc = gcm_->AddAad(aad_.bytes(), static_cast<size_t>(aad_.length()));
    return rc;
  }
  if (kind_ == kChaCha20Poly1305) {
    chacha_->SetInitialCounter(counter_);
    int rc = chacha_->Start(key_.bytes(), key_.length(), nonce_.bytes(), nonce_.length(), counter_, encrypting_ != 0);
    if (rc != kOk || !encrypting_) return rc;
    return chacha_->AddAad(aad_.bytes(), static_cast<size_t>(aad_.length()));
  }
  return kErrAeadNotStarted;
}

int AeadCipher::Fail(ByteString& output, int rc) {
  WipeString(output);
  WipeString(held_);
  state_ = kNonceSet;
  return rc;
}

int AeadCipher::Process(const uint8_t* input, int offset, int length, ByteString& output, bool last) {
  if (kind_ == kNone) return kErrAeadNotStarted;
  if (offset < 0 || length < 0 || (length > 0 && !input)) return kAeadMisuse;
  if (state_ == kReady) {
    const int rc = StartContext();
    if (rc != kOk) return rc;
    state_ = kStarted;
  }
  if (state_ != kStarted) return kErrAeadNotStarted;
  const uint8_t* in = input + offset;

  if (encrypting_) {
    const int old = output.length();
    if (length > INT_MAX - old) return kErrOutOfMemory;
    int rc = output.Resize(old + length);
    if (rc != kOk) return rc;
    rc = kind_ == kAesGcm ? gcm_->Crypt(in, static_cast<size_t>(length), output.bytes() + old, true)
                          : chacha_->Crypt(in, static_cast<size_t>(length), output.bytes() + old, true);
    if (rc != kOk) {
      output.Resize(old);
      return rc == kAeadCounterExhausted ? kErrAeadTooManyBlocks : rc;
    }
    if (!last) return kOk;
    rc = tag_.Resize(tag_bytes_);
    if (rc != kOk) return rc;
    if (kind_ == kAesGcm) {
      int n = tag_bytes_;
      rc = gcm_->Finish(tag_.bytes(), &n, true);
    } else {
      rc = chacha_->Finish(tag_.bytes(), tag_bytes_, true);
    }
    state_ = kNonceSet;
    return rc;
  }

  int rc = held_.Append(in, length);
  if (rc != kOk) return Fail(output, rc);
  if (!last) return kOk;
  if (tag_.empty()) return Fail(output, kErrAeadNoTag);
  const int old = output.length();
  const int n = held_.length();
  if (n > INT_MAX - old) return Fail(output, kErrOutOfMemory);
  rc = output.Resize(old + n);
  if (rc != kOk) return Fail(output, rc);
  if (kind_ == kAesGcm) {
    rc = gcm_->Open(nonce_.bytes(), static_cast<size_t>(nonce_.length()), aad_.bytes(),
                    static_cast<size_t>(aad_.length()), held_.bytes(), output.bytes() + old, static_cast<size_t>(n),
                    tag_.bytes(), static_cast<size_t>(tag_.length()));
  } else {
    rc = chacha_->Open(nonce_.bytes(), static_cast<size_t>(nonce_.length()), aad_.bytes(),
                       static_cast<size_t>(aad_.length()), held_.bytes(), output.bytes() + old,
                       static_cast<size_t>(n), tag_.bytes(), static_cast<size_t>(tag_.length()));
  }
  if (rc != kOk) return Fail(output, rc);
  WipeString(held_);
  state_ = kNonceSet;
  return kOk;
}

}  // namespace tw
