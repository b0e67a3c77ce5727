#include "crypto/pubkey/wide_int.h"

#include <cstring>

namespace tw {

void WideInt::SetZero() {
  std::memset(words_, 0, sizeof(words_));
  count_ = 1;
  sign_ = 1;
}

int WideInt::SetBytesLittleEndian(const uint8_t* bytes, int n) {
  SetZero();
  if (n <= 0 || !bytes) return 0;
  int top = n;
  while (top > 0 && bytes[top - 1] == 0) --top;
  if (top > 4 * kMaxWords) return kErrWideIntCapacity;
  for (int i = 0; i < top; ++i) words_[i / 4] |= static_cast<uint32_t>(bytes[i]) << (8 * (i % 4));
  count_ = top == 0 ? 1 : (top + 3) / 4;
  return 0;
}

void WideInt::Normalize() {
  while (count_ > 1 && words_[count_ - 1] == 0) --count_;
}

int WideInt::BitLength() const {
  for (int i = count_ - 1; i >= 0; --i) {
    if (words_[i]) return 32 * i + 32 - __builtin_clz(words_[i]);
  }
  return 0;
}

int WideInt::ShiftLeft(int bits) {
  if (bits <= 0) {
    if (bits < 0) ShiftRight(-bits);
    return 0;
  }
  const int len = BitLength();
  if (len == 0) return 0;
  const int need = (len + bits + 31) / 32;
  if (need >= kMaxWords) return kErrWideIntCapacity;
  const int ws = bits / 32, s = bits % 32;
  for (int i = need - 1; i >= 0; --i) {
    const int src = i - ws;
    uint32_t v = src >= 0 && src < kMaxWords ? words_[src] << s : 0;
    if (s && src - 1 >= 0) v |= words_[src - 1] >> (32 - s);
    words_[i] = v;
  }
  count_ = need;
  return 0;
}

void WideInt::ShiftRight(int bits) {
  if (bits <= 0) {
    if (bits < 0) ShiftLeft(-bits);
    return;
  }
  const int ws = bits / 32, s = bits % 32;
  for (int i = 0; i < count_; ++i) {
    const int src = i + ws;
    uint32_t v = src < count_ ? words_[src] >> s : 0;
    if (s && src + 1 < count_) v |= words_[src + 1] << (32 - s);
    words_[i] = v;
  }
  Normalize();
}

int WideInt::AddWord(uint32_t w) {
  uint64_t carry = w;
  WideInt before = *this;
  for (int i = 0; i < kMaxWords && carry; ++i) {
    const uint64_t s = static_cast<uint64_t>(words_[i]) + carry;
    words_[i] = static_cast<uint32_t>(s);
    carry = s >> 32;
    if (i >= count_) count_ = i + 1;
  }
  if (carry) {
    *this = before;
    return kErrWideIntCapacity;
  }
  return 0;
}

int WideInt::Add(const WideInt& other) {
  WideInt r = *this;
  const int n = count_ > other.count_ ? count_ : other.count_;
  if (sign_ == other.sign_) {
    uint64_t carry = 0;
    for (int i = 0; i < n; ++i) {
      const uint64_t s = static_cast<uint64_t>(word(i)) + other.word(i) + carry;
      r.words_[i] = static_cast<uint32_t>(s);
      carry = s >> 32;
    }
    r.count_ = n;
    if (carry) {
      if (n >= kMaxWords) return kErrWideIntCapacity;
      r.words_[n] = 1;
      r.count_ = n + 1;
    }
  } else {
    const bool mine_larger = CompareMagnitude(other) >= 0;
    const WideInt& a = mine_larger ? *this : other;
    const WideInt& b = mine_larger ? other : *this;
    int64_t borrow = 0;
    for (int i = 0; i < n; ++i) {
      int64_t d = static_cast<int64_t>(a.word(i)) - b.word(i) - borrow;
      borrow = d < 0;
      r.words_[i] = static_cast<uint32_t>(d);
    }
    r.count_ = n;
    r.sign_ = a.sign_;
  }
  r.Normalize();
  if (r.IsZero()) r.sign_ = 1;
  *this = r;
  return 0;
}

int WideInt::CompareMagnitude(const WideInt& other) const {
  const int n = count_ > other.count_ ? count_ : other.count_;
  for (int i = n - 1; i >= 0; --i) {
    if (word(i) != other.word(i)) return word(i) < other.word(i) ? -1 : 1;
  }
  return 0;
}

bool WideInt::IsZero() const {
  for (int i = 0; i < count_; ++i) {
    if (words_[i]) return false;
  }
  return true;
}

bool WideInt::Equals(const WideInt& other) const {
  if (IsZero() && other.IsZero()) return true;
  return sign_ == other.sign_ && CompareMagnitude(other) == 0;
}

bool WideInt::TestBit(int k) const { return k >= 0 && ((word(k / 32) >> (k % 32)) & 1); }

int WideInt::SetBit(int k) {
  if (k < 0 || k >= 32 * kMaxWords) return kErrWideIntCapacity;
  words_[k / 32] |= 1u << (k % 32);
  if (k / 32 >= count_) count_ = k / 32 + 1;
  return 0;
}

void WideInt::ClearBit(int k) {
  if (k >= 0 && k / 32 < count_) words_[k / 32] &= ~(1u << (k % 32));
}

}  // namespace tw
