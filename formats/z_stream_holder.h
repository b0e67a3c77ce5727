// A zlib inflate stream over raw deflate data (window bits -15), stepped by the body decoder.
// zlib's own memory comes from the process heap like every other allocation of the system.
#pragma once

#include <zlib.h>

#include <cstdint>

namespace tw {

// Clears a stream record and points its allocator at the process heap.
void PrepareZStream(z_stream& stream);

class ZStreamHolder {
 public:
  ZStreamHolder();
  ~ZStreamHolder();
  ZStreamHolder(const ZStreamHolder&) = delete;
  ZStreamHolder& operator=(const ZStreamHolder&) = delete;

  // Reset, then a raw inflate stream. False when zlib cannot start one.
  bool InitRawInflate();
  // Ends the stream and clears the record and the flags.
  void Reset();

  // The bytes the following steps take; not copied, so they must stay valid while NeedsInput().
  void SetInput(const uint8_t* data, int n);
  // One sync-flush inflate into buffer + offset with room bytes; *produced is the output made.
  // 0, or 1 when zlib fails (a buffer error with no input left is no failure). The end of the
  // deflate stream sets finished().
  int InflateStep(uint8_t* buffer, int offset, int room, int* produced);
  // False once finished; else true while input is left or the last step filled its room.
  bool NeedsInput() const;

  bool started() const { return started_; }
  bool finished() const { return finished_; }
  // Input bytes not taken yet (after the end of the stream: the bytes that follow it).
  int input_left() const { return static_cast<int>(stream_.avail_in); }
  // Input bytes taken from the current input so far.
  int position() const { return position_; }
  uint64_t total_out() const { return stream_.total_out; }

 private:
  z_stream stream_;
  bool started_ = false;
  bool finished_ = false;
  bool output_full_ = false;
  int input_size_ = 0;
  int position_ = 0;
};

}  // namespace tw
