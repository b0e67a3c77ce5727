#include "crypto/pubkey/prime_search.h"

#include "crypto/pubkey/montgomery.h"

namespace tw {

namespace {

constexpr int kSmallSieveBits = 9600;
constexpr uint32_t kTablePrimeLimit = 32720;
constexpr int kProgressionBlock = 32768;

struct TrialRow {
  int below_bits;
  int trials;
};
constexpr TrialRow kTrials[] = {{100, 100}, {256, 43}, {512, 30}, {768, 16}, {1024, 8}, {1 << 30, 4}};

// Bit i stands for 2i + 1; a set bit means composite.
const BitSieve& SmallSieve() {
  static const BitSieve sieve = [] {
    BitSieve s(kSmallSieveBits);
    s.Set(0);
    for (int i = 1; i < kSmallSieveBits; i = s.NextClear(i + 1, kSmallSieveBits + 1)) {
      if (i < 0) break;
      const int p = 2 * i + 1;
      if (p >= kSmallSieveBits) break;
      s.MarkEvery(i + p, p, kSmallSieveBits);
    }
    return s;
  }();
  return sieve;
}

// The odd primes below 32720.
const std::vector<uint32_t>& TablePrimes() {
  static const std::vector<uint32_t> primes = [] {
    std::vector<uint32_t> out;
    std::vector<bool> composite(kTablePrimeLimit, false);
    for (uint32_t i = 3; i < kTablePrimeLimit; i += 2) {
      if (composite[i]) continue;
      out.push_back(i);
      for (uint32_t j = i * i; j < kTablePrimeLimit; j += 2 * i) composite[j] = true;
    }
    return out;
  }();
  return primes;
}

// a^{-1} mod p for a prime p not dividing a.
uint32_t InverseModSmall(uint32_t a, uint32_t p) {
  int64_t t0 = 0, t1 = 1, r0 = p, r1 = a % p;
  while (r1) {
    const int64_t q = r0 / r1;
    int64_t t = t0 - q * t1;
    t0 = t1;
    t1 = t;
    t = r0 - q * r1;
    r0 = r1;
    r1 = t;
  }
  return static_cast<uint32_t>(t0 < 0 ? t0 + p : t0);
}

}  // namespace

void BitSieve::MarkEvery(int start, int step, int limit) {
  if (limit > bits_) limit = bits_;
  for (int i = start; i < limit; i += step) Set(i);
}

int BitSieve::NextClear(int from, int limit) const {
  if (limit > bits_) limit = bits_ + 1;
  for (int i = from; i < limit - 1; ++i) {
    if (!Test(i)) return i;
  }
  return -1;
}

int ProbablePrimeTrials(int bits, int certainty) {
  int r = 4;
  for (const TrialRow& row : kTrials) {
    if (bits < row.below_bits) {
      r = row.trials;
      break;
    }
  }
  return certainty < r ? certainty : r;
}

bool IsProbablePrime(const BigNumber& n, int certainty, RandomSource& random) {
  bool prime = false;
  return TestProbablePrime(n, certainty, random, &prime) == kOk && prime;
}

int TestProbablePrime(const BigNumber& n, int certainty, RandomSource& random, bool* prime) {
  *prime = false;
  if (n.sign() <= 0 || n.IsEven() || n.IsOne()) return kOk;
  const int bits = n.BitLength();
  if (n.limbs().size() == 1 && n.limbs()[0] < 2u * kSmallSieveBits) {
    *prime = !SmallSieve().Test(static_cast<int>(n.limbs()[0] / 2));
    return kOk;
  }
  for (uint32_t p : TablePrimes()) {
    if (p > 400) break;
    if (BigNumber::RemWord(n, p) == 0) return kOk;
  }
  // n - 1 = d * 2^s
  BigNumber n1, d;
  BigNumber::Sub(n, BigNumber::One(), n1);
  const int s = n1.LowestSetBit();
  BigNumber::ShiftRight(n1, s, d);
  MontgomeryContext ctx;
  if (ctx.Init(n) != kOk) return kOk;
  int trials = ProbablePrimeTrials(bits, certainty);
  if (trials < 1) trials = 1;  // an answer always rests on at least one base
  BigNumber a, x;
  for (int t = 0; t < trials; ++t) {
    // A base of bits-1 bits lies in [2, n-2] for every n handled here.
    const int rc = a.SetRandomBits(bits - 1, random);
    if (rc != kOk) return rc;
    ctx.Exp(a, d, false, x);
    if (x.IsOne() || x.Equals(n1)) continue;
    bool witness = true;
    for (int i = 1; i < s && witness; ++i) {
      BigNumber::Sqr(x, x);
      BigNumber::Mod(x, n, x);
      if (x.Equals(n1)) witness = false;
      if (x.IsOne()) break;
    }
    if (witness) return kOk;
  }
  *prime = true;
  return kOk;
}

int ProbablePrime(int bits, int certainty, RandomSource& random, BigNumber& out) {
  if (bits < 2) return kErrInvalidArgument;
  int sieve_bits = (bits / 20) * 64;
  if (sieve_bits < 64) sieve_bits = 64;  // small sizes still get an interval to search
  const BitSieve& small = SmallSieve();
  BigNumber base, cand, offset;
  int rc = base.SetRandomBits(bits, random);
  if (rc != kOk) return rc;
  for (;;) {
    if (!base.IsEven()) BigNumber::Sub(base, BigNumber::One(), base);
    BitSieve sieve(sieve_bits);
    for (int j = 1; j >= 0 && 2 * j + 1 < kSmallSieveBits; j = small.NextClear(j + 1, kSmallSieveBits + 1)) {
      const uint32_t p = static_cast<uint32_t>(2 * j + 1);
      const uint32_t r = BigNumber::RemWord(base, p);
      uint64_t start = p - r;
      if (start % 2 == 0) start += p;
      // Keep p itself when the interval starts below it.
      if (base.BitLength() <= 32 && base.limbs().size() <= 1 && (base.IsZero() ? 0 : base.limbs()[0]) + start == p) {
        start += 2 * p;
      }
      if ((start - 1) / 2 < static_cast<uint64_t>(sieve_bits)) {
        sieve.MarkEvery(static_cast<int>((start - 1) / 2), static_cast<int>(p), sieve_bits);
      }
    }
    for (int i = sieve.NextClear(0, sieve_bits + 1); i >= 0; i = sieve.NextClear(i + 1, sieve_bits + 1)) {
      offset.SetInt64(2 * static_cast<int64_t>(i) + 1);
      BigNumber::Add(base, offset, cand);
      if (cand.BitLength() != bits) continue;
      bool prime = false;
      rc = TestProbablePrime(cand, certainty, random, &prime);
      if (rc != kOk) return rc;
      if (prime) {
        out = cand;
        return kOk;
      }
    }
    offset.SetInt64(2 * static_cast<int64_t>(sieve_bits));
    BigNumber::Add(base, offset, base);
    if (base.BitLength() != bits) {
      rc = base.SetRandomBits(bits, random);
      if (rc != kOk) return rc;
    }
  }
}

int NextPrimeInProgression(BigNumber& x, const BigNumber& end, const BigNumber& step_in, RandomSource& random,
                           bool* found) {
  *found = false;
  if (step_in.sign() <= 0) return kErrInvalidArgument;
  BigNumber start = x, step = step_in;
  if (!step.IsEven()) {
    // Only odd candidates can be prime: walk every other term.
    if (start.IsEven()) BigNumber::Add(start, step, start);
    BigNumber::ShiftLeft(step, 1, step);
  }
  {
    // Terms sharing a factor with the step are all composite past the first: stop rather than
    // walk the whole range.
    BigNumber unused;
    if (!step.IsOne() && BigNumber::ModInverse(start, step, unused) != kOk) {
      bool prime = false;
      const int rc = start.Compare(end) <= 0 ? TestProbablePrime(start, 5, random, &prime) : kOk;
      if (prime) {
        x = start;
        *found = true;
      }
      return rc;
    }
  }
  const std::vector<uint32_t>& primes = TablePrimes();
  BigNumber span, cand, offset, limit64;
  BigNumber::ShiftLeft(BigNumber::One(), 64, limit64);
  std::vector<uint16_t> marks;
  while (start.Compare(end) <= 0) {
    BigNumber::Sub(end, start, span);
    BigNumber::DivMod(span, step, &span, nullptr);
    int count = kProgressionBlock;
    if (span.BitLength() < 20 && span.limbs().size() <= 1) {
      const int64_t c = static_cast<int64_t>(span.IsZero() ? 0 : span.limbs()[0]) + 1;
      if (c < count) count = static_cast<int>(c);
    }
    marks.assign(static_cast<size_t>(count), 0);
    const bool small_start = start.Compare(limit64) < 0;
    for (uint32_t p : primes) {
      const uint32_t sp = BigNumber::RemWord(step, p);
      if (sp == 0) continue;  // p divides the step: it never divides a term, or divides them all
      const uint32_t inv = InverseModSmall(sp, p);
      const uint32_t r = BigNumber::RemWord(start, p);
      uint64_t i0 = (static_cast<uint64_t>((p - r) % p) * inv) % p;
      if (small_start) {
        BigNumber::Mul(step, BigNumber(static_cast<int64_t>(i0)), cand);
        BigNumber::Add(cand, start, cand);
        if (cand.Equals(BigNumber(static_cast<int64_t>(p)))) i0 += p;
      }
      for (uint64_t i = i0; i < static_cast<uint64_t>(count); i += p) marks[i] = 1;
    }
    for (int i = 0; i < count; ++i) {
      if (marks[static_cast<size_t>(i)]) continue;
      BigNumber::Mul(step, BigNumber(i), cand);
      BigNumber::Add(cand, start, cand);
      if (cand.Compare(end) > 0) break;
      bool prime = false;
      const int rc = TestProbablePrime(cand, 5, random, &prime);
      if (rc != kOk) return rc;
      if (prime) {
        x = cand;
        *found = true;
        return kOk;
      }
    }
    BigNumber::Mul(step, BigNumber(count), offset);
    BigNumber::Add(start, offset, start);
  }
  return kOk;
}

}  // namespace tw
