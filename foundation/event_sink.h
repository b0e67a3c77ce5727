// The interface through which a component reports events to its owner.
#pragma once

#include <span>

#include "foundation/byte_string.h"

namespace tw {

// Before every event the component tells the sink the code page of the texts that follow; then
// event k of the component's event set arrives with one pointer per argument:
//  - texts: the NUL-terminated text itself (never null; read only);
//  - numbers and flags: a copy the sink may read or change (the component ignores changes);
//  - the few answer parameters (Accept, Interrupt): the firing code's own variable, so the
//    owner's answer reaches it.
// Each component class documents the argument list of each of its events.
class EventSink {
 public:
  virtual ~EventSink() = default;
  virtual void SetCodePage(int code_page) = 0;
  // The result is not used by the component.
  virtual int Fire(int event, std::span<void* const> args) = 0;
};

// A byte block handed to a sink as text: a private NUL-terminated copy, so the sink can read it
// as a text without anyone writing behind the end of the caller's buffer.
class EventBlock {
 public:
  // 0, or 200 when the copy cannot be made. A null block or n < 1 gives "".
  int Set(const void* bytes, int n);
  const char* text() const { return copy_.c_str(); }
  int length() const { return copy_.length(); }

 private:
  ByteString copy_;
};

}  // namespace tw
