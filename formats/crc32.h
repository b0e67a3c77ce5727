// CRC-32 of the reflected polynomial 0xEDB88320 (the gzip, PNG and Ethernet checksum), kept as a
// running value so that data can be checked piece by piece.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tw {

// Entry i is i run through eight shift-and-conditional-XOR steps with 0xEDB88320.
void FillCrc32Table(uint32_t table[256]);

class Crc32 {
 public:
  Crc32() = default;

  // The standard update: inverted before and after, so that value() is always the CRC-32 of all
  // bytes given since the last Reset (0 for none).
  void Update(const void* bytes, size_t n);
  void UpdateByte(uint8_t byte);

  uint32_t value() const { return value_; }
  void set_value(uint32_t value) { value_ = value; }
  void Reset() { value_ = 0; }

 private:
  uint32_t value_ = 0;
};

// The CRC-32 of one block.
uint32_t Crc32Of(const void* bytes, size_t n);

// The checksum variant of Kerberos (RFC 3961 "CRC-32"): initial value 0 and no inversion.
uint32_t KerberosCrc32(const void* bytes, size_t n);
// The same, as the 4 little-endian bytes that go on the wire.
void KerberosCrc32(const void* bytes, size_t n, uint8_t out[4]);

}  // namespace tw
