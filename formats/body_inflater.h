// Decodes a gzip or deflate response body as its pieces arrive.
//
// Gzip: every member of the body is decoded in turn (RFC 1952 allows several), each header
// validated and each trailer (CRC-32 and length) compared with the data. Deflate: zlib-format
// data (RFC 1950, checked by its Adler-32) is recognised by its two header bytes; anything else
// is taken as raw deflate. Bytes after the end of the data are an error, as is a body that stops
// early (found by Finish).
//
// Output goes to the caller in steps of at most 64 KiB as it is made, so memory stays bounded
// whatever the ratio; a limit on the total decoded size, and on the ratio of output to input once
// the output is large, turn a decompression bomb into an error.
#pragma once

#include <cstdint>
#include <functional>

#include "formats/crc32.h"
#include "formats/z_stream_holder.h"
#include "foundation/byte_string.h"

namespace tw {

// Content-encoding kinds of a response body.
constexpr int kContentEncodingNone = 0;
constexpr int kContentEncodingGzip = 1;
constexpr int kContentEncodingDeflate = 2;

constexpr int kErrDecompress = 151;

// Size of one inflate step's output.
constexpr int kInflateStepSize = 65536;

class BodyInflater {
 public:
  // Takes each piece of decoded output; a non-zero result stops the decoding with that code.
  using OutputFunction = std::function<int(const uint8_t* data, int n)>;

  BodyInflater() = default;
  BodyInflater(const BodyInflater&) = delete;
  BodyInflater& operator=(const BodyInflater&) = delete;

  // Begins a body of the given kind: 0, 151 "Could not initialize decompressor." or 200.
  int Start(int kind);
  // Drops the body and its error; the limit stays.
  void Reset();

  // The most decoded bytes a body may give (0: no limit). More is error 151.
  void set_max_output(uint64_t limit) { max_output_ = limit; }
  uint64_t max_output() const { return max_output_; }

  // Decodes one piece. 0; 102 for a bad gzip header; 151 for data that does not decode or does
  // not match its checksum, trailing data, output beyond the limit, or more than 16 MiB of output
  // at over 512 output bytes per input byte; 200; or the output
  // function's code. After a failure every call returns the same code.
  int Feed(const void* data, int n, const OutputFunction& output);
  // The same, appending the output to out.
  int Feed(const void* data, int n, ByteString& out);
  // The body has ended: 0 when it ended cleanly (or was empty), else 151 for a body cut short.
  int Finish();

  int kind() const { return kind_; }
  // The whole body has been decoded (every member with its trailer).
  bool complete() const;
  uint64_t total_in() const { return total_in_; }
  uint64_t total_out() const { return total_out_; }
  int error_code() const { return error_code_; }
  // The last failure was the size or ratio limit, not data that does not decode.
  bool over_limit() const { return over_limit_; }
  // The text of the last failure ("" while none).
  const char* error_text() const { return error_text_; }

 private:
  enum class State {
    kIdle,
    kGzipHeader,   // collecting a member header
    kZlibProbe,    // deflate: waiting for two bytes to tell zlib from raw
    kBody,         // inflating
    kTrailer,      // collecting the gzip or zlib trailer
    kAfterMember,  // gzip: a member ended; another may follow
    kDone,         // deflate or zlib data ended; nothing may follow
  };

  int Process(const uint8_t* p, int n, const OutputFunction& output);
  int TakeGzipHeader(const uint8_t* p, int n, int* used);
  int TakeZlibProbe(const uint8_t* p, int n, int* used, const OutputFunction& output);
  int Inflate(const uint8_t* p, int n, int* used, const OutputFunction& output);
  int TakeTrailer(const uint8_t* p, int n, int* used);
  int StartMember();
  int Fail(int code, const char* text);

  ZStreamHolder stream_;
  ByteString out_buffer_;
  ByteString held_;  // header or trailer bytes collected across pieces
  Crc32 crc_;
  uint32_t adler_ = 1;
  State state_ = State::kIdle;
  int kind_ = kContentEncodingNone;
  bool zlib_wrapped_ = false;
  bool any_input_ = false;
  uint64_t member_out_ = 0;
  uint64_t total_in_ = 0;
  uint64_t inflated_in_ = 0;  // compressed bytes consumed by zlib so far
  uint64_t total_out_ = 0;
  uint64_t max_output_ = 0;
  int error_code_ = 0;
  const char* error_text_ = "";
  bool over_limit_ = false;
};

}  // namespace tw
