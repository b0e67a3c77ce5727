// Decodes a chunked response body (RFC 9112, 7.1) from raw pieces: size lines (extensions after
// ";" ignored), chunk data, the CR LF after each chunk, the last chunk, trailer lines and the final
// empty line. The body ends only after that final line, so a kept-alive connection's next
// response starts clean. Negative or overflowing sizes, bad chunk ends and oversized lines are
// errors, not data.
#pragma once

#include <cstdint>
#include <functional>

#include "foundation/byte_string.h"

namespace tw {

constexpr int kErrChunkedBody = 151;
// The longest size line or trailer line, and the most trailer bytes, accepted.
constexpr int kMaxChunkLine = 4096;
constexpr int kMaxChunkTrailers = 65536;

class ChunkedDecoder {
 public:
  // Takes chunk data; nonzero stops the decoding with that code.
  using Output = std::function<int(const uint8_t* data, int n)>;

  void Reset();
  // Decodes up to n bytes. *used receives the bytes taken: fewer than n only when the body ended
  // (the rest belongs to what follows) or on an error. 0, 151 (error_text() says why), or the
  // output's code. After an error every call returns it again.
  int Feed(const uint8_t* p, int n, int* used, const Output& output);
  // The last chunk, its trailers and the final line have been read.
  bool done() const { return state_ == State::kDone; }
  // Trailer lines as received, each ended by CR LF.
  const ByteString& trailers() const { return trailers_; }
  const char* error_text() const { return error_text_; }

 private:
  enum class State { kSize, kData, kDataCr, kDataLf, kTrailer, kDone, kFailed };

  int Fail(const char* text);
  int TakeSizeLine();
  int TakeTrailerLine();

  State state_ = State::kSize;
  uint64_t remaining_ = 0;
  ByteString line_;
  ByteString trailers_;
  int error_code_ = 0;
  const char* error_text_ = "";
};

}  // namespace tw
