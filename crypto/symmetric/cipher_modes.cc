// The block modes of the engine: ECB, CBC, CTR, OFB and CFB (full block or 8-bit), and CBC with
// ciphertext stealing.
#include <cstring>

#include "crypto/symmetric/cipher_engine.h"
#include "foundation/byte_ops.h"

namespace tw {

namespace {

constexpr uint64_t kTopByte = 0xFF00000000000000ull;

}  // namespace


int CipherEngine::RunEcb(const uint8_t* in, uint8_t* out, size_t blocks) {
  return encrypting_ ? EncryptBlocks(in, out, blocks) : DecryptBlocks(in, out, blocks);
}

int CipherEngine::RunCbc(const uint8_t* in, uint8_t* out, size_t blocks) {
  const size_t b = block_bytes_;
  uint8_t* chain = register_.bytes();
  if (blocks == 0) return kOk;
  if (encrypting_) {
    uint8_t* x = ScratchIn();
    const uint8_t* prev = chain;
    for (size_t i = 0; i < blocks; ++i) {
      XorBytes(x, in + i * b, prev, b);
      int rc = EncryptBlock(x, out + i * b);
      if (rc != kOk) return rc;
      prev = out + i * b;
    }
    std::memcpy(chain, prev, b);
    WipeBytes(x, b);
    return kOk;
  }
  // All blocks decrypted at once (pipelined for AES), then each XORed with the ciphertext before it.
  int rc = DecryptBlocks(in, out, blocks);
  if (rc != kOk) return rc;
  XorBytes(out, out, chain, b);
  for (size_t i = 1; i < blocks; ++i) XorBytes(out + i * b, out + i * b, in + (i - 1) * b, b);
  std::memcpy(chain, in + (blocks - 1) * b, b);
  return kOk;
}

// The counter runs as a big-endian number from the last byte; the carry stops at the second byte,
// so the first byte of the counter block never changes.
void CipherEngine::IncrementCounter() {
  uint8_t* c = register_.bytes();
  for (size_t i = block_bytes_ - 1; i >= 1; --i) {
    if (++c[i] != 0) break;
  }
}

int CipherEngine::RunCtr(const uint8_t* in, uint8_t* out, size_t blocks) {
  const size_t b = block_bytes_;
  uint8_t* counters = ScratchIn();
  uint8_t* stream = ScratchOut();
  const size_t batch = b <= kFixedBlockBytes ? kFixedBlockBytes / b : 1;
  size_t done = 0;
  while (done < blocks) {
    const size_t n = blocks - done < batch ? blocks - done : batch;
    if (b == 16) {
      // Two 64-bit halves; the carry out of the low half goes into the high half below its top byte.
      uint8_t* reg = register_.bytes();
      uint64_t hi = LoadBe64(reg), lo = LoadBe64(reg + 8);
      for (size_t i = 0; i < n; ++i) {
        StoreBe64(counters + 16 * i, hi);
        StoreBe64(counters + 16 * i + 8, lo);
        if (++lo == 0) hi = (hi & kTopByte) | ((hi + 1) & ~kTopByte);
      }
      StoreBe64(reg, hi);
      StoreBe64(reg + 8, lo);
    } else {
      for (size_t i = 0; i < n; ++i) {
        std::memcpy(counters + i * b, register_.bytes(), b);
        IncrementCounter();
      }
    }
    int rc = EncryptBlocks(counters, stream, n);
    if (rc != kOk) return rc;
    XorBytes(out + done * b, in + done * b, stream, n * b);
    done += n;
  }
  WipeBytes(stream, batch * b);
  return kOk;
}

// The 8-bit feedback modes: one cipher call a byte, the register shifted left by a byte and the
// keystream byte (OFB) or the ciphertext byte (CFB) shifted in.
int CipherEngine::RunShiftIn8(const uint8_t* in, uint8_t* out, size_t length, bool cipher_feedback) {
  const size_t b = block_bytes_;
  uint8_t* reg = register_.bytes();
  uint8_t* ks = ScratchOut();
  for (size_t i = 0; i < length; ++i) {
    int rc = EncryptBlock(reg, ks);
    if (rc != kOk) return rc;
    const uint8_t o = static_cast<uint8_t>(in[i] ^ ks[0]);
    const uint8_t fed = !cipher_feedback ? ks[0] : encrypting_ ? o : in[i];
    out[i] = o;
    std::memmove(reg, reg + 1, b - 1);
    reg[b - 1] = fed;
  }
  return kOk;
}

int CipherEngine::RunOfb(const uint8_t* in, uint8_t* out, size_t length) {
  const size_t b = block_bytes_;
  uint8_t* reg = register_.bytes();
  if (feedback_bits_ == 8) return RunShiftIn8(in, out, length, false);
  // The register is the keystream block; its unused bytes carry over to the next call.
  size_t done = 0;
  while (done < length) {
    if (stream_pos_ == b) {
      int rc = EncryptBlock(reg, reg);
      if (rc != kOk) return rc;
      stream_pos_ = 0;
    }
    const size_t take = length - done < b - stream_pos_ ? length - done : b - stream_pos_;
    XorBytes(out + done, in + done, reg + stream_pos_, take);
    stream_pos_ += take;
    done += take;
  }
  return kOk;
}

int CipherEngine::RunCfb(const uint8_t* in, uint8_t* out, size_t length) {
  const size_t b = block_bytes_;
  uint8_t* reg = register_.bytes();
  if (feedback_bits_ == 8) return RunShiftIn8(in, out, length, true);
  // The register holds the keystream block, each used byte replaced by its ciphertext byte; a full
  // block of ciphertext is the next input to the cipher.
  size_t done = 0;
  while (done < length) {
    if (stream_pos_ == b) {
      int rc = EncryptBlock(reg, reg);
      if (rc != kOk) return rc;
      stream_pos_ = 0;
    }
    const size_t take = length - done < b - stream_pos_ ? length - done : b - stream_pos_;
    uint8_t* ks = reg + stream_pos_;
    if (encrypting_) {
      XorBytes(ks, in + done, ks, take);
      std::memcpy(out + done, ks, take);
    } else {
      XorBytes(out + done, in + done, ks, take);
      std::memcpy(ks, in + done, take);
    }
    stream_pos_ += take;
    done += take;
  }
  return kOk;
}

int CipherEngine::RunBlockMode(const uint8_t* in, uint8_t* out, size_t length) {
  int rc;
  switch (mode_) {
    case kCipherModeEcb:
      rc = RunEcb(in, out, length / block_bytes_);
      break;
    case kCipherModeCbc:
    case kCipherModeCts:
      rc = RunCbc(in, out, length / block_bytes_);
      break;
    case kCipherModeCtr:
      rc = RunCtr(in, out, length / block_bytes_);
      break;
    case kCipherModeOfb:
      rc = RunOfb(in, out, length);
      break;
    case kCipherModeCfb:
      rc = RunCfb(in, out, length);
      break;
    default:
      return kErrCipherMode;
  }
  if (rc == kOk) message_bytes_ += length;
  return rc;
}

// Ciphertext stealing: whole blocks pass through CBC while more than two blocks are pending;
// one to two blocks stay for Final.
int CipherEngine::CtsAbsorb(const uint8_t* in, size_t length, ByteString& output) {
  const size_t b = block_bytes_;
  int rc = pending_.Append(in, length);
  if (rc != kOk) return rc;
  if (pending_.size() <= 2 * b) return kOk;
  const size_t pass = (pending_.size() - b - 1) / b * b;
  rc = ProcessBlocks(pending_.data(), pass, output);
  if (rc != kOk) return rc;
  pending_.EraseFront(pass);
  return kOk;
}

int CipherEngine::CtsFinish(ByteString& output) {
  const size_t b = block_bytes_;
  if (pending_.size() <= b) return kErrCipherCtsTooShort;
  const size_t d = pending_.size() - b;
  SecretBuffer work;
  int rc = work.Resize(3 * b);
  if (rc != kOk) return rc;
  uint8_t* a = work.data();
  uint8_t* x = a + b;
  uint8_t* y = x + b;
  const uint8_t* first = pending_.data();
  const uint8_t* rest = first + b;
  const int old = output.length();
  uint8_t* out = GrowOutput(output, b + d);
  if (!out) return kErrOutOfMemory;
  if (encrypting_) {
    rc = RunCbc(first, a, 1);
    if (rc == kOk) {
      std::memcpy(x, rest, d);  // the short last block, zero-extended
      rc = RunCbc(x, y, 1);
    }
    if (rc == kOk) {
      std::memcpy(out, y, b);
      std::memcpy(out + b, a, d);
    }
  } else {
    SecretBuffer chain;
    rc = chain.Assign(register_.bytes(), b);
    if (rc == kOk) {
      std::memset(register_.bytes(), 0, b);
      std::memcpy(register_.bytes(), rest, d);
      rc = RunCbc(first, a, 1);
      std::memcpy(register_.bytes(), chain.data(), b);
    }
    if (rc == kOk) {
      std::memcpy(x, rest, d);
      std::memcpy(x + d, a + d, b - d);
      rc = RunCbc(x, y, 1);
    }
    if (rc == kOk) {
      std::memcpy(out, y, b);
      std::memcpy(out + b, a, d);
    }
  }
  if (rc != kOk) ShrinkOutput(output, old);
  return rc;
}

}  // namespace tw
