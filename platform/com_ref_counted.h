// The reference count of a COM object made with new: it starts at 1, held by whoever made the
// object, and the last Release deletes the object.
#pragma once

#include <atomic>

#include "platform/com_types.h"

namespace win {

template <class... Interfaces>
class RefCounted : public Interfaces... {
 public:
  ULONG AddRef() override { return ++refs_; }
  ULONG Release() override {
    ULONG n = --refs_;
    if (n == 0) delete this;
    return n;
  }

 protected:
  virtual ~RefCounted() = default;

 private:
  std::atomic<ULONG> refs_{1};
};

}  // namespace win
