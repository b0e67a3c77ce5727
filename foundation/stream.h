// Byte streams: the common base with progress reporting and the text-mode rules.
//
// Progress: every read and write counts the bytes it moved; with a step set, the progress
// function hears each multiple of the step that the percentage of the size reaches, from 0. The
// percentage never goes past 100, and the last report is always exactly one 100 (given when the
// stream finishes, if the counting itself did not reach it).
//
// Text mode (binary off): a written LF becomes CR LF, and ReadLine gives a final CR LF back as LF.
#pragma once

#include <cstdint>
#include <functional>

namespace tw {

// Stream error codes (the stream keeps the first one; Flush returns it).
constexpr int kStreamReadFailed = 5;
constexpr int kStreamWriteFailed = 6;
constexpr int kStreamMemoryFull = 9;
constexpr int kStreamNameTooLong = 16;
constexpr int kStreamEnd = 17;  // NextPart: no further part
constexpr int kStreamNotSupported = -1;

// Access bits of Open, valued as the platform's generic rights.
constexpr uint32_t kStreamRead = 0x80000000u;
constexpr uint32_t kStreamWrite = 0x40000000u;

using ProgressFunction = std::function<void(int percent)>;

class Stream {
 public:
  Stream() = default;
  Stream(const Stream&) = delete;
  Stream& operator=(const Stream&) = delete;
  // Reports the remaining progress (see FinishProgress).
  virtual ~Stream();

  virtual int Open(const char* name, uint32_t access, bool binary, uint64_t size_hint) {
    return kStreamNotSupported;
  }
  // Up to n bytes; fewer at the end or on an error (kept in error()).
  virtual int Read(void* buffer, int n) = 0;
  // One line through its LF, at most n bytes; buffer holds n + 1 bytes and is NUL-terminated.
  // 0 at the end.
  virtual int ReadLine(char* buffer, int n) = 0;
  virtual int NextPart() { return 0; }
  virtual int PutByte(uint8_t byte) = 0;
  virtual int Flush() { return error_; }
  // n 0: text is NUL-terminated. Byte by byte through PutByte; stops at the first error.
  virtual int WriteText(const char* text, int n);
  virtual int Close() { return 0; }
  virtual uint32_t GetSizeLow() const { return static_cast<uint32_t>(GetSize()); }
  virtual uint64_t GetSize() const { return size_; }

  // Progress every `step` percent (0 turns reporting off). Resets the next report to 0.
  void SetProgress(ProgressFunction function, int step);
  // Reports the steps still due up to 100 and a final 100, once, when bytes were moved.
  void FinishProgress();

  void SetSize(uint64_t size) { size_ = size; }
  uint64_t done() const { return done_; }
  int error() const { return error_; }
  bool binary() const { return binary_; }
  void set_binary(bool binary) { binary_ = binary; }

 protected:
  // Adds n to the bytes moved and reports the steps reached.
  void CountProgress(uint64_t n);
  // Keeps the first error.
  int Fail(int code) {
    if (error_ == 0) error_ = code;
    return code;
  }
  // Copies the bytes of one line (as read) to buffer with the text-mode fix-ups and a NUL.
  int FinishLine(char* buffer, int count, bool drop_ctrl_z) const;

  uint64_t size_ = 0;
  uint64_t done_ = 0;
  int error_ = 0;
  bool binary_ = true;

 private:
  ProgressFunction progress_;
  int next_percent_ = 0;
  int percent_step_ = 0;
  bool reported_full_ = false;
};

}  // namespace tw
