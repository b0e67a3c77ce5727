// The fixed-capacity integer the elliptic-curve field code runs on: up to 384 words of 32 bits,
// least significant first, with a sign flag. Nothing here allocates.
#pragma once

#include <cstdint>

namespace tw {

constexpr int kErrWideIntCapacity = 20480;

class WideInt {
 public:
  static constexpr int kMaxWords = 384;

  WideInt() { SetZero(); }

  void SetZero();
  void CopyFrom(const WideInt& other) { *this = other; }
  // Little-endian bytes; 20480 when they need more than 384 words (the value is then zero).
  int SetBytesLittleEndian(const uint8_t* bytes, int n);

  // 20480, leaving the value unchanged, when the result would reach 384 words.
  int ShiftLeft(int bits);
  void ShiftRight(int bits);
  int ShiftLeftOne() { return ShiftLeft(1); }
  void ShiftRightOne() { ShiftRight(1); }
  // Adds w to the magnitude; 20480 when a full value carries out (the value is then unchanged).
  int AddWord(uint32_t w);
  // this += other, signs respected; 20480 when the magnitude outgrows 384 words.
  int Add(const WideInt& other);

  // -1, 0 or 1 over the magnitudes.
  int CompareMagnitude(const WideInt& other) const;
  // Zero equals zero whatever the sign flags say.
  bool Equals(const WideInt& other) const;
  bool IsZero() const;
  bool TestBit(int k) const;
  // 20480 for a bit beyond the capacity.
  int SetBit(int k);
  void ClearBit(int k);
  int BitLength() const;
  // Drops high zero words, keeping at least one.
  void Normalize();

  int count() const { return count_; }
  uint32_t word(int i) const { return i >= 0 && i < count_ ? words_[i] : 0; }
  // Raw word access for the field arithmetic; words at and above count() must stay zero.
  uint32_t* words() { return words_; }
  const uint32_t* words() const { return words_; }
  void set_count(int c) { count_ = c < 1 ? 1 : c > kMaxWords ? kMaxWords : c; }
  bool non_negative() const { return sign_ != 0; }
  void set_non_negative(bool v) { sign_ = v ? 1 : 0; }

 private:
  int32_t count_;
  uint32_t words_[kMaxWords];
  int32_t sign_;  // 1 non-negative, 0 negative
};

}  // namespace tw
