// The family of key records: one record per key family, components as big-endian unsigned byte
// strings, an empty string meaning the component is absent.
#pragma once

#include <cstdint>

#include "foundation/byte_string.h"

namespace tw {

enum KeyRecordKind : int32_t {
  kKeyRecordRsa = 0,
  kKeyRecordDsa = 1,
  kKeyRecordEc = 3,
};

class KeyRecord {
 public:
  explicit KeyRecord(int32_t kind) : kind_(kind) {}
  virtual ~KeyRecord() = default;
  int32_t kind() const { return kind_; }

 protected:
  KeyRecord(const KeyRecord&) = default;
  KeyRecord& operator=(const KeyRecord&) = default;

 private:
  int32_t kind_;
};

// Fits a big-endian field to width bytes: empty stays empty, a short field gains leading zeros,
// a long one loses leading zeros. 0, or 200 (field unchanged) when it does not fit.
int FitComponent(ByteString& field, int width);

// Wipes a component's bytes before it is emptied; private parts never linger in freed memory.
void WipeComponent(ByteString& field);

// A component's length without its leading zeros is no secret: memcheck, under which the
// secret-marked tests run, is told so, and every size worked out from it is public too.
int DeclassifyLength(ByteString& field);

}  // namespace tw
