// The one source of random bytes: TLS randoms and secrets, keys and signature nonces,
// authentication nonces, cipher IVs and block identifiers.
//
// Bytes come only from the platform's cryptographic generator. When it is missing or fails the
// fill fails with kErrRandomUnavailable: there is deliberately no time-seeded substitute, since
// predictable "random" bytes would silently break every key and nonce made from them.
#pragma once

#include <cstdint>

#include "foundation/byte_string.h"
#include "foundation/text_conversion.h"  // kErrInvalidValue
#include "platform/random.h"

namespace tw {

constexpr int kErrRandomUnavailable = 600;

// Holds one provider context, acquired at the first fill and kept for later ones. Belongs to the
// thread that uses it.
class RandomSource {
 public:
  RandomSource() = default;
  ~RandomSource() { Release(); }
  RandomSource(const RandomSource&) = delete;
  RandomSource& operator=(const RandomSource&) = delete;

  // Writes count random bytes at buffer + offset. 0 (also for a null buffer or a count of 0,
  // which write nothing), 202 for a negative offset or count, or kErrRandomUnavailable.
  int Fill(void* buffer, int offset, int count);
  int Fill(void* buffer, int count) { return Fill(buffer, 0, count); }

  // Gives the provider context back; the next fill acquires a new one.
  void Release();

  bool HoldsProvider() const { return provider_ != 0; }
  // Why the last fill failed ("" after a success).
  const char* last_error_text() const { return errorText_; }
  // The platform's error number of the last failure (0 after a success).
  uint32_t last_platform_error() const { return platformError_; }

 private:
  int Acquire(const win::CryptRandomEntryPoints& api);

  win::HCRYPTPROV provider_ = 0;
  // The release entry point of the binding that handed out provider_.
  win::BOOL (*release_)(win::HCRYPTPROV, win::DWORD) = nullptr;
  const char* errorText_ = "";
  uint32_t platformError_ = 0;
};

// Sets out to count random bytes from a source made for the call. 0, 200 when out cannot be
// sized, 202 for a negative count, or kErrRandomUnavailable; on any failure out is left empty.
int FillRandom(int count, ByteString& out);

}  // namespace tw
