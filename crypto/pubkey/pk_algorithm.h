// The base of the public-key engines: a key-size rule, the engine's own random source and the
// key size in bits.
#pragma once

#include <cstdint>

#include "crypto/symmetric/random_source.h"

namespace tw {

constexpr int kErrKeySize = 1206;

// Key-size rule kinds: 0 RSA, 1 and 2 DSA and kin, 3 a fixed 128-bit size; others allow only 0.
class KeySizeSpec {
 public:
  KeySizeSpec(int32_t kind, int32_t bits) : kind_(kind), bits_(bits) {}
  // Stores bits when the rule allows it; 0, or 1206 keeping the old size.
  int SetBits(int32_t bits);
  // Whether the rule of this kind allows bits.
  static bool Allows(int32_t kind, int32_t bits);
  int32_t kind() const { return kind_; }
  int32_t bits() const { return bits_; }
  // Stores a size taken from a loaded key, which the generation rule does not limit.
  void SetLoadedBits(int32_t bits) { bits_ = bits; }

 private:
  int32_t kind_;
  int32_t bits_;
};

class PkAlgorithm {
 public:
  PkAlgorithm(int32_t kind, int32_t bits) : size_(kind, bits) {}
  virtual ~PkAlgorithm() = default;
  PkAlgorithm(const PkAlgorithm&) = delete;
  PkAlgorithm& operator=(const PkAlgorithm&) = delete;

  int SetKeySize(int32_t bits) { return size_.SetBits(bits); }
  int32_t key_size() const { return size_.bits(); }
  const KeySizeSpec& key_size_spec() const { return size_; }
  RandomSource& random() { return random_; }

 protected:
  KeySizeSpec size_;
  RandomSource random_;
};

}  // namespace tw
