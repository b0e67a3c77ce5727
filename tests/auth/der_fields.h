// Small DER builders the Kerberos and GSS tests write their messages with.
#pragma once

#include <cstdint>
#include <string>

#include "certs/der_writer.h"

namespace dertest {

using W = tw::DerWriter;

// [field] INTEGER v.
inline void Int(W& w, int field, int v) {
  w.DerOpenConstructed(0xA0 + field);
  w.DerAppendInteger(0x02, v);
  w.DerCloseConstructed(false);
}

// [field] INTEGER for a non-negative value up to 32 bits.
inline void Int64(W& w, int field, uint32_t v) {
  const uint8_t b[5] = {0, static_cast<uint8_t>(v >> 24), static_cast<uint8_t>(v >> 16), static_cast<uint8_t>(v >> 8),
                        static_cast<uint8_t>(v)};
  w.DerOpenConstructed(0xA0 + field);
  w.DerAppendTlv(0x02, b, 5);
  w.DerCloseConstructed(false);
}

// Closes the n innermost open constructions.
inline void Close(W& w, int n) {
  for (int i = 0; i < n; ++i) w.DerCloseConstructed(false);
}

inline std::string Str(const W& w) { return std::string(w.output().data(), static_cast<size_t>(w.output().length())); }

}  // namespace dertest
