// A second, table-driven DES in the manner of the BSD crypt(3) code, kept for the LM hash: every
// bit permutation runs through tables that map each 4-bit group of the input to its output bits.
// Cipher runs a number of DES passes with a crypt(3) salt that swaps expansion bits.
//
// The tables are built once per process (thread-safe) and read-only afterwards; the round keys
// belong to each object and are wiped with it.
#pragma once

#include <cstdint>

#include "crypto/symmetric/cipher_primitives.h"

namespace tw {

class CryptDes {
 public:
  // Output bits for each 4-bit group (16 groups of a 64-bit input, most significant first).
  struct NibblePermutation {
    uint64_t bits[16][16];
  };

  CryptDes() { InitTables(); }
  ~CryptDes() { Clear(); }
  CryptDes(const CryptDes&) = delete;
  CryptDes& operator=(const CryptDes&) = delete;

  // Builds the process-wide tables on first call.
  static void InitTables();
  // Applies a table-driven permutation to 8 bytes.
  static void Permute(const uint8_t in[8], uint8_t out[8], const NibblePermutation& table);
  // The initial permutation's table (for tests of Permute).
  static const NibblePermutation& InitialPermutationTable();

  // An 8-byte DES key (parity bits ignored): the 16 round keys.
  int SetKey(const uint8_t key[8]);
  // |count| DES passes over in (count < 0 decrypts); salt bit i swaps expansion bits i and i + 24
  // (1-based from the first bit), as crypt(3) does. Salt 0 and count 1 is plain DES.
  int Cipher(const uint8_t in[8], uint8_t out[8], uint32_t salt, int count) const;
  void Clear();

  // The 12-bit salt of two characters of the crypt alphabet "./0-9A-Za-z".
  static uint32_t SaltFromText(const char* two_chars);
  // The character of the crypt alphabet for a 6-bit value.
  static char CryptChar(uint32_t six_bits);

 private:
  uint64_t keys_[16] = {};  // 48-bit round keys
  bool has_key_ = false;
};

}  // namespace tw
