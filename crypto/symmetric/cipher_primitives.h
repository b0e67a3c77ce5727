// What every cipher primitive shares: result codes, the mode numbers that decide which key
// schedule a block cipher builds, byte-order helpers, and the owner of a heap-held key schedule.
//
// A block cipher context offers: key set-up, EncryptBlock (in, out), DecryptBlock (in, out),
// CopyFrom (other), Clear (wipe). A stream cipher context offers key set-up and Crypt (in, n, out).
// Every operation returns 0 or a code; in and out may be the same buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <type_traits>

#include "foundation/byte_ops.h"
#include "foundation/byte_string.h"
#include "platform/heap.h"

namespace tw {

// Codes of the primitives (200, out of memory, is kErrOutOfMemory).
inline constexpr int kErrCipherNonceLength = 3000;
inline constexpr int kErrCipherKeyLength = 3001;
inline constexpr int kErrCipherRounds = 3002;
// A block length the cipher cannot take (the engine checks lengths first and reports 2006 too).
inline constexpr int kErrCipherBlockLength = 2006;
// The keystream or block counter would run past its end (and so repeat).
inline constexpr int kErrCipherCounterExhausted = 2011;

// Mode numbers as the cipher engine numbers them.
inline constexpr int kCipherModeCbc = 1;
inline constexpr int kCipherModeEcb = 2;
inline constexpr int kCipherModeOfb = 3;
inline constexpr int kCipherModeCfb = 4;
inline constexpr int kCipherModeCts = 5;
inline constexpr int kCipherModeGcm = 6;
inline constexpr int kCipherModeCtr = 7;

// OFB, CFB and CTR run the block cipher forwards in both directions, so only a decryption in
// another mode needs the inverse cipher's schedule.
constexpr bool UsesInverseCipher(int encrypting, int mode) {
  return !encrypting && mode != kCipherModeOfb && mode != kCipherModeCfb && mode != kCipherModeCtr;
}

namespace cipher_detail {

using ::tw::LoadBe32;
using ::tw::LoadLe32;
using ::tw::StoreBe32;
using ::tw::StoreLe32;

constexpr uint32_t Rotl32(uint32_t v, unsigned n) {
  n &= 31;
  return n == 0 ? v : (v << n) | (v >> (32 - n));
}
constexpr uint32_t Rotr32(uint32_t v, unsigned n) {
  n &= 31;
  return n == 0 ? v : (v >> n) | (v << (32 - n));
}

}  // namespace cipher_detail

// A key schedule too large to embed, allocated once with its context from the process heap.
// It is wiped before it is freed; when the allocation failed, get() is null and the context
// answers every operation with kErrOutOfMemory.
template <typename T>
class ScheduleBuffer {
  static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T>);

 public:
  ScheduleBuffer() {
    void* block = win::HeapAlloc(sizeof(T));
    if (block) p_ = new (block) T{};
  }
  ~ScheduleBuffer() {
    if (p_) {
      WipeBytes(p_, sizeof(T));
      win::HeapFree(p_);
    }
  }
  ScheduleBuffer(const ScheduleBuffer&) = delete;
  ScheduleBuffer& operator=(const ScheduleBuffer&) = delete;

  T* get() const { return p_; }
  T* operator->() const { return p_; }
  T& operator*() const { return *p_; }
  explicit operator bool() const { return p_ != nullptr; }
  void Wipe() {
    if (p_) WipeBytes(p_, sizeof(T));
  }
  // Copies the other schedule; kErrOutOfMemory when either side is missing.
  int CopyFrom(const ScheduleBuffer& other) {
    if (!p_ || !other.p_) return kErrOutOfMemory;
    if (p_ != other.p_) std::memcpy(p_, other.p_, sizeof(T));
    return kOk;
  }

 private:
  T* p_ = nullptr;
};

}  // namespace tw
