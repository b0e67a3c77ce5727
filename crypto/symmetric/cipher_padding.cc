// Padding of a block cipher's last block: PKCS #7, ANSI X9.23, ISO 10126 and zeros, added on
// encryption and checked and removed on decryption.
#include <cstring>

#include "crypto/symmetric/cipher_engine.h"
#include "crypto/symmetric/random_source.h"

namespace tw {

int CipherEngine::PadAndFinish(const uint8_t* in, size_t length, ByteString& output) {
  const size_t b = block_bytes_;
  if (mode_ == kCipherModeOfb) return ProcessBlocks(in, length, output);
  const bool cfb = mode_ == kCipherModeCfb;
  const size_t r = cfb ? static_cast<size_t>((message_bytes_ + length) % b) : length % b;
  if (padding_ == kPaddingNone) {
    if (r != 0 && !cfb) return kErrCipherDataLength;
    return ProcessBlocks(in, length, output);
  }
  const size_t p = b - r;  // a whole block when the data ends on a block boundary
  // The data up to the last block, then the last block with its padding.
  const size_t direct = cfb ? length : length - r;
  const size_t tail = cfb ? 0 : r;
  const int old = output.length();
  int rc = ProcessBlocks(in, direct, output);
  if (rc != kOk) return rc;
  SecretBuffer last;
  rc = last.Resize(tail + p);
  if (rc != kOk) {
    ShrinkOutput(output, old);
    return rc;
  }
  uint8_t* block = last.data();
  if (tail) std::memcpy(block, in + direct, tail);
  uint8_t* pad = block + tail;
  switch (padding_) {
    case kPaddingPkcs7:
      std::memset(pad, static_cast<int>(p), p);
      break;
    case kPaddingAnsiX923:
      pad[p - 1] = static_cast<uint8_t>(p);
      break;
    case kPaddingIso10126: {
      // The filler must not be guessable: without the system generator the message fails.
      RandomSource source;
      rc = source.Fill(pad, static_cast<int>(p - 1));
      if (rc != kOk) {
        ShrinkOutput(output, old);
        return rc;
      }
      pad[p - 1] = static_cast<uint8_t>(p);
      break;
    }
    default:  // zero bytes, also for a padding id the engine does not know
      break;
  }
  rc = ProcessBlocks(block, tail + p, output);
  if (rc != kOk) ShrinkOutput(output, old);
  return rc;
}

int CipherEngine::UnpadAndFinish(const uint8_t* in, size_t length, ByteString& output) {
  const size_t b = block_bytes_;
  if (mode_ == kCipherModeOfb) return ProcessBlocks(in, length, output);
  const bool cfb = mode_ == kCipherModeCfb;
  if (cfb && padding_ == kPaddingNone) return ProcessBlocks(in, length, output);
  const size_t r = cfb ? static_cast<size_t>((message_bytes_ + length) % b) : length % b;
  if (r != 0) return kErrCipherDataLength;
  if (!RemovesPadding()) return ProcessBlocks(in, length, output);

  // The held-back block and the last data, decrypted in place at the end of output.
  const int old = output.length();
  const size_t held = held_.size();
  uint8_t* region = GrowOutput(output, held + length);
  if (!region) return kErrOutOfMemory;
  if (held) std::memcpy(region, held_.data(), held);
  held_.Clear();
  int rc = RunBlockMode(in, region + held, length);
  if (rc != kOk) {
    ShrinkOutput(output, old);
    return rc;
  }
  const size_t total = held + length;
  const size_t window = total < b ? total : b;
  const uint8_t* last = region + total - window;  // the final block
  size_t count = 0;
  if (padding_ == kPaddingZeros) {
    // Zero bytes carry no count: every trailing zero of the final block goes.
    while (count < window && last[window - 1 - count] == 0) ++count;
  } else {
    // The count and every pad byte are checked without branching on their values.
    const uint8_t c = window ? last[window - 1] : 0;
    const size_t n = c;
    uint32_t bad = static_cast<uint32_t>(n == 0) | static_cast<uint32_t>(n > window);
    for (size_t i = 0; i + 1 < window; ++i) {
      // Pad bytes are the positions window-n .. window-2.
      const uint32_t in_pad = static_cast<uint32_t>(i + n >= window);
      uint8_t want = padding_ == kPaddingPkcs7 ? c : 0;
      uint32_t differs = static_cast<uint32_t>(last[i] != want);
      if (padding_ == kPaddingIso10126) differs = 0;  // random filler
      bad |= in_pad & differs;
    }
    if (bad) {
      ShrinkOutput(output, old);
      return kErrCipherPadding;
    }
    count = n;
  }
  ShrinkOutput(output, old + static_cast<int>(total - count));
  return kOk;
}

}  // namespace tw
