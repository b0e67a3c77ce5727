// The request-body compressor: raw deflate, zlib or gzip output from input given in pieces or as
// a whole body.
//
// A body sent with a Content-Length must be compressed completely before the length is known;
// EncodeBody and EncodeBodyTo compress the bytes and an optional file or stream behind them as
// one stream, so the caller sends exactly the bytes it counted.
//
// Events (slot: arguments): 1 Error (code, text); 2 Progress (input bytes taken so far as 64-bit,
// percent of the known input size or -1); 3 Data (a block of output: its bytes and length),
// only with WriteToProgressEvent on.
#pragma once

#include <zlib.h>

#include <cstdint>
#include <functional>

#include "formats/archive_component.h"
#include "formats/crc32.h"
#include "foundation/byte_string.h"
#include "foundation/caller_stream.h"

namespace tw {

constexpr int kEncoderFormatRawDeflate = 0;
constexpr int kEncoderFormatZlib = 1;
constexpr int kEncoderFormatGzip = 2;

constexpr int kErrDeflaterInit = 202;

constexpr int kEncoderEventError = 1;
constexpr int kEncoderEventProgress = 2;
constexpr int kEncoderEventData = 3;

// Input block and output buffer size.
constexpr int kEncoderBlockSize = 16384;

class ContentEncoder : public ArchiveComponent {
 public:
  // Takes each piece of compressed output; a non-zero result stops the job with that code.
  using OutputFunction = std::function<int(const uint8_t* data, int n)>;

  ContentEncoder();
  ~ContentEncoder() override;

  // Drops a stream in progress; returns 0.
  int Abort() override;
  int Reset() override;
  // The output operation: every piece of compressed output (header and trailer included) passes
  // here on its way to the caller.
  int WriteArchive(const uint8_t* data, int n) override;
  // Writes the format's header, once per stream.
  int PrepareOutput() override;

  // Compresses one piece; *out and *out_length give the compressed bytes this call produced
  // (valid until the next call). finish ends the stream: the rest of the deflate data and the
  // trailer follow. A call after a finished stream begins a new one. 0, 125, 202, 112, 200, or a
  // negative zlib result with "Compression error.".
  int EncodeChunk(const void* data, int length, bool finish, const uint8_t** out, int* out_length);

  // One whole body in one stream: the bytes, then everything `more` gives (null: none), read in
  // blocks of 16384. The output is appended to out, or handed to target with its total size in
  // *size. With CloseStreamAfterCompress on, more is closed afterwards. Codes as EncodeChunk,
  // and 5 or 6 when more cannot be read, 301 when aborted.
  int EncodeBody(const void* data, int length, FileOrStream* more, ByteString& out);
  int EncodeBodyTo(const void* data, int length, FileOrStream* more, const OutputFunction& target,
                   uint64_t* size);

  // 0 raw deflate, 1 zlib, 2 gzip. 125 while busy; 306 for another value.
  int SetFormat(int format);
  int format() const { return format_; }
  // The gzip header's FNAME and FCOMMENT (none when empty). 125 while busy.
  int SetGzipName(const char* name);
  int SetGzipComment(const char* comment);
  // A fixed gzip MTIME instead of the current time.
  void set_mtime(uint32_t seconds) {
    fixed_mtime_ = seconds;
    use_fixed_mtime_ = true;
  }
  void use_current_time() { use_fixed_mtime_ = false; }

  // The output of the last EncodeChunk call.
  const ByteString& output() const { return output_; }
  // Counts of the current (or last) stream.
  uint64_t total_in() const { return total_in_; }
  uint64_t total_out() const { return total_out_; }
  // The last stream was finished (header, data and trailer all written).
  bool finished() const { return footer_written_; }

 private:
  enum class Job { kNone, kChunks, kWholeBody };

  int StartDeflater();
  int Compress(const uint8_t* data, int length, bool finish);
  int WriteFooter();
  void DropStream();
  int Failed(int code, const char* text);
  uint32_t CurrentMtime() const;

  int format_ = kEncoderFormatGzip;
  ByteString output_;
  ByteString gzip_name_;
  ByteString gzip_comment_;
  // The deflater record.
  z_stream stream_;
  uint8_t buffer_[kEncoderBlockSize];
  int last_result_ = Z_OK;
  Crc32 crc_;
  uint64_t total_in_ = 0;
  uint32_t adler_ = 1;

  uint64_t total_out_ = 0;
  bool deflater_started_ = false;
  bool collecting_ = false;
  bool header_written_ = false;
  bool footer_written_ = false;
  Job job_ = Job::kNone;
  const OutputFunction* target_ = nullptr;
  bool use_fixed_mtime_ = false;
  uint32_t fixed_mtime_ = 0;
};

}  // namespace tw
