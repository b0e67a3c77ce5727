#include "foundation/event_sink.h"

namespace tw {

int EventBlock::Set(const void* bytes, int n) {
  if (bytes == nullptr || n < 1) {
    copy_.Reset();
    return kOk;
  }
  return copy_.Set(bytes, n);
}

}  // namespace tw
