#include "crypto/pubkey/key_record.h"

#include <cstring>

#include "crypto/pubkey/constant_time.h"

namespace tw {

int FitComponent(ByteString& field, int width) {
  const int n = field.length();
  if (n == 0 || n == width) return kOk;
  if (n > width) {
    // Only leading zeros may go; cutting a significant byte would change the number.
    const uint8_t* d = field.bytes();
    for (int i = 0; i < n - width; ++i) {
      if (d[i] != 0) return 200;
    }
    field.EraseFront(n - width);
    return kOk;
  }
  const int pad = width - n;
  int rc = field.Resize(width);
  if (rc != kOk) return rc;
  uint8_t* d = field.bytes();
  std::memmove(d + pad, d, static_cast<size_t>(n));
  std::memset(d, 0, static_cast<size_t>(pad));
  return kOk;
}

void WipeComponent(ByteString& field) {
  WipeBytes(field.data(), static_cast<size_t>(field.length()));
  field.Reset();
}

int DeclassifyLength(ByteString& field) {
  int len = field.length();
  ct::Declassify(&len, sizeof len);
  ByteString t;
  int rc = t.Set(field.data(), len);
  if (rc == kOk) rc = field.Set(t.data(), len);
  WipeComponent(t);
  return rc;
}

}  // namespace tw
