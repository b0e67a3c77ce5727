// The Keccak sponge (Keccak-f[1600], FIPS 202): the Keccak digests with the original padding,
// the FIPS 202 SHA-3 digests, and the SHAKE extendable-output functions.
#pragma once

#include <cstddef>
#include <cstdint>

#include "foundation/byte_string.h"

namespace tw {

// The first six follow hash ids 12 to 17 in order.
enum class Sha3Variant {
  kKeccak224,  // rate 144, domain byte 0x01
  kKeccak256,  // rate 136
  kKeccak384,  // rate 104
  kKeccak512,  // rate 72
  kShake128,   // rate 168, domain byte 0x1F, 256 output bits unless changed
  kShake256,   // rate 136, 512 output bits unless changed
  kSha3_224,   // FIPS 202 SHA-3: the Keccak rates with domain byte 0x06
  kSha3_256,
  kSha3_384,
  kSha3_512,
};

class Sha3 {
 public:
  static constexpr int kMaxRate = 168;

  explicit Sha3(Sha3Variant variant);
  Sha3(const Sha3& other) : Sha3(other.variant_) { CopyFrom(other); }
  Sha3& operator=(const Sha3& other) {
    CopyFrom(other);
    return *this;
  }
  ~Sha3();

  // Empties buffer, state and output; the output length stays as set.
  int Reset();
  // Nothing happens for a null pointer or a count of 0.
  void Absorb(const void* bytes, size_t count);
  // Pads, then squeezes output_bits / 8 bytes into output(): 0, or 200 when the output string
  // cannot grow. The digest forms give at most one rate of output; the SHAKE forms permute
  // again for as much as is asked. The state is left as it is: Reset before a new message.
  int Final();
  // Copies state, buffer, rate, padding and output length (not the output bytes).
  void CopyFrom(const Sha3& other);

  Sha3Variant variant() const { return variant_; }
  int rate() const { return rate_; }
  uint8_t domain() const { return domain_; }
  bool extendable() const { return domain_ == 0x1f; }
  int output_bits() const { return outputBits_; }
  void set_output_bits(int bits) { outputBits_ = bits < 0 ? 0 : bits; }
  const ByteString& output() const { return output_; }

 private:
  void AbsorbBlocks(const uint8_t* p, size_t blocks);

  Sha3Variant variant_;
  int rate_;
  int outputBits_;
  uint8_t domain_;
  uint64_t state_[25];
  uint8_t buffer_[kMaxRate];
  int used_;
  ByteString output_;
};

// SHAKE128 or SHAKE256 as an object of its own (Ed448 hashes with SHAKE256 at 912 bits).
class Shake : public Sha3 {
 public:
  explicit Shake(int strength = 256) : Sha3(strength == 128 ? Sha3Variant::kShake128 : Sha3Variant::kShake256) {}
};

// One permutation of the 25 lanes; exposed for the known-answer tests.
void KeccakF1600(uint64_t* lanes);

}  // namespace tw
