#include "formats/crc32.h"

#include <array>

namespace tw {

namespace {

constexpr uint32_t kCrc32Polynomial = 0xEDB88320u;

constexpr uint32_t TableEntry(uint32_t i) {
  uint32_t c = i;
  for (int k = 0; k < 8; ++k) c = (c & 1) ? kCrc32Polynomial ^ (c >> 1) : c >> 1;
  return c;
}

constexpr std::array<uint32_t, 256> MakeTable() {
  std::array<uint32_t, 256> table{};
  for (uint32_t i = 0; i < 256; ++i) table[i] = TableEntry(i);
  return table;
}

constexpr std::array<uint32_t, 256> kCrc32Table = MakeTable();

static_assert(kCrc32Table[1] == 0x77073096u && kCrc32Table[255] == 0x2D02EF8Du);

// The raw register update, without the inversions of the standard form.
uint32_t Advance(uint32_t c, const uint8_t* p, size_t n) {
  for (size_t i = 0; i < n; ++i) c = kCrc32Table[(c ^ p[i]) & 0xFF] ^ (c >> 8);
  return c;
}

}  // namespace

void FillCrc32Table(uint32_t table[256]) {
  for (uint32_t i = 0; i < 256; ++i) table[i] = kCrc32Table[i];
}

void Crc32::Update(const void* bytes, size_t n) {
  if (bytes == nullptr || n == 0) return;
  value_ = ~Advance(~value_, static_cast<const uint8_t*>(bytes), n);
}

void Crc32::UpdateByte(uint8_t byte) { value_ = ~Advance(~value_, &byte, 1); }

uint32_t Crc32Of(const void* bytes, size_t n) {
  Crc32 crc;
  crc.Update(bytes, n);
  return crc.value();
}

uint32_t KerberosCrc32(const void* bytes, size_t n) {
  if (bytes == nullptr) return 0;
  return Advance(0, static_cast<const uint8_t*>(bytes), n);
}

void KerberosCrc32(const void* bytes, size_t n, uint8_t out[4]) {
  const uint32_t c = KerberosCrc32(bytes, n);
  for (int i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(c >> (8 * i));
}

}  // namespace tw
