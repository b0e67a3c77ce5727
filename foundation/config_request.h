// One named-setting request: "Name", "Name[index]" or "Name(index)" to read, with "=value" to write.
#pragma once

#include <cstdint>

#include "foundation/byte_string.h"

namespace tw {

class ConfigRequest {
 public:
  // Parses a whole setting text (see the .cc for the grammar). 0, or 200 when memory runs out.
  int Parse(const char* text);

  // Case-insensitive (ASCII) comparison of the whole name with key.
  bool NameIs(const char* key) const;

  // Makes this a request that matches no name and hands every name it is compared with to
  // recorder: a Config chain walked with it lists its own names and sets nothing.
  using NameRecorder = void (*)(void* context, const char* name);
  void StartRecording(bool read, NameRecorder recorder, void* context);

  // Value readers: decimal, or hexadecimal after "0x"/"0X"; an optional sign; they stop at the
  // first character that does not belong and wrap instead of failing on overflow.
  int32_t ValueAsInt() const;
  int64_t ValueAsInt64() const;
  // True for "TRUE" or "yes" in any case, or exactly "1".
  bool ValueAsBool() const;

  const ByteString& name() const { return name_; }
  const ByteString& value() const { return value_; }
  const ByteString& index_text() const { return index_text_; }
  int32_t index() const { return index_; }
  bool HasIndex() const { return index_ != -1; }
  bool is_read() const { return is_read_; }

 private:
  ByteString name_;
  ByteString value_;
  ByteString index_text_;
  int32_t index_ = -1;
  bool is_read_ = false;
  NameRecorder recorder_ = nullptr;
  void* recorder_context_ = nullptr;
};

}  // namespace tw
