// Probable primes: the test, a sieved search for a prime of an exact size, and a search in an
// arithmetic progression.
#pragma once

#include <cstdint>
#include <vector>

#include "crypto/pubkey/big_number.h"
#include "crypto/symmetric/random_source.h"

namespace tw {

// A set of bits packed 64 to a unit.
class BitSieve {
 public:
  explicit BitSieve(int bits) : bits_(bits), units_((static_cast<size_t>(bits) + 63) / 64) {}
  int size() const { return bits_; }
  void Set(int i) { units_[static_cast<size_t>(i) / 64] |= uint64_t{1} << (i % 64); }
  bool Test(int i) const { return (units_[static_cast<size_t>(i) / 64] >> (i % 64)) & 1; }
  // Sets start, start + step, ... below limit.
  void MarkEvery(int start, int step, int limit);
  // The first clear bit at or after from and below limit - 1; -1 when there is none.
  int NextClear(int from, int limit) const;

 private:
  int bits_;
  std::vector<uint64_t> units_;
};

// Trials the test makes for a number of that many bits at that certainty.
int ProbablePrimeTrials(int bits, int certainty);

// Miller-Rabin with random bases over the odd numbers; even numbers (2 included), 0, 1 and
// negative numbers answer false.
bool IsProbablePrime(const BigNumber& n, int certainty, RandomSource& random);
// The same with the random source's code, so that a search stops when bases cannot be drawn.
int TestProbablePrime(const BigNumber& n, int certainty, RandomSource& random, bool* prime);

// A random probable prime of exactly bits bits, found by sieving an interval. 0; 202 for fewer
// than 2 bits; or the random source's code.
int ProbablePrime(int bits, int certainty, RandomSource& random, BigNumber& out);

// The next probable prime at or above x, congruent to x modulo step and not above end. found is
// false when the range holds none. 0, 202 for a step below 1, or the random source's code.
int NextPrimeInProgression(BigNumber& x, const BigNumber& end, const BigNumber& step, RandomSource& random,
                           bool* found);

}  // namespace tw
