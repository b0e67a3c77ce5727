#include "foundation/text_conversion.h"
#include "http/chunked_decoder.h"

namespace tw {
namespace {

constexpr char kTextBadSize[] = "Invalid chunk size in chunked response body.";
constexpr char kTextNegativeSize[] = "Negative chunk size in chunked response body.";
constexpr char kTextSizeOverflow[] = "Chunk size too large in chunked response body.";
constexpr char kTextLineTooLong[] = "Chunk size or trailer line too long in chunked response body.";
constexpr char kTextBadChunkEnd[] = "Chunk data not followed by CR LF in chunked response body.";
constexpr char kTextTrailersTooLong[] = "Trailers too long in chunked response body.";

// Sizes above this are refused: they could not be counted in 64 bits with the bytes around them.
constexpr uint64_t kMaxChunkSize = uint64_t{1} << 62;

}  // namespace

void ChunkedDecoder::Reset() {
  state_ = State::kSize;
  remaining_ = 0;
  line_.Reset();
  trailers_.Reset();
  error_code_ = 0;
  error_text_ = "";
}

int ChunkedDecoder::Fail(const char* text) {
  state_ = State::kFailed;
  error_code_ = kErrChunkedBody;
  error_text_ = text;
  return error_code_;
}

int ChunkedDecoder::TakeSizeLine() {
  const char* p = line_.c_str();
  const char* end = p + line_.length();
  if (end > p && end[-1] == '\r') --end;
  while (p < end && IsBlank(*p)) ++p;
  if (p < end && *p == '-') return Fail(kTextNegativeSize);
  uint64_t size = 0;
  int digits = 0;
  for (; p < end; ++p) {
    const int v = HexDigitValue(static_cast<unsigned char>(*p));
    if (v < 0) break;
    if (size > ((kMaxChunkSize - 1) >> 4)) return Fail(kTextSizeOverflow);
    size = (size << 4) | static_cast<uint64_t>(v);
    ++digits;
  }
  if (digits == 0) return Fail(kTextBadSize);
  while (p < end && IsBlank(*p)) ++p;
  if (p < end && *p != ';') return Fail(kTextBadSize);
  line_.Reset();
  if (size == 0) {
    state_ = State::kTrailer;
  } else {
    remaining_ = size;
    state_ = State::kData;
  }
  return kOk;
}

int ChunkedDecoder::TakeTrailerLine() {
  int n = line_.length();
  if (n > 0 && line_.data()[n - 1] == '\r') --n;
  if (n == 0) {
    line_.Reset();
    state_ = State::kDone;
    return kOk;
  }
  if (trailers_.length() + n + 2 > kMaxChunkTrailers) return Fail(kTextTrailersTooLong);
  if (trailers_.Append(line_.data(), n) != kOk || trailers_.Append("\r\n", 2) != kOk) {
    state_ = State::kFailed;
    error_code_ = 200;
    error_text_ = "Out of memory.";
    return error_code_;
  }
  line_.Reset();
  return kOk;
}

int ChunkedDecoder::Feed(const uint8_t* p, int n, int* used, const Output& output) {
  int i = 0;
  int rc = kOk;
  while (i < n && rc == kOk) {
    switch (state_) {
      case State::kFailed:
        *used = i;
        return error_code_;
      case State::kDone:
        *used = i;
        return kOk;
      case State::kSize:
      case State::kTrailer: {
        int k = i;
        while (k < n && p[k] != '\n') ++k;
        if (line_.length() + (k - i) > kMaxChunkLine) {
          rc = Fail(kTextLineTooLong);
          break;
        }
        if (line_.Append(p + i, k - i) != kOk) {
          Fail("Out of memory.");
          error_code_ = rc = 200;
          break;
        }
        if (k == n) {
          i = n;
          break;
        }
        i = k + 1;
        rc = state_ == State::kSize ? TakeSizeLine() : TakeTrailerLine();
        break;
      }
      case State::kData: {
        const uint64_t left = static_cast<uint64_t>(n - i);
        const int take = static_cast<int>(remaining_ < left ? remaining_ : left);
        remaining_ -= static_cast<uint64_t>(take);
        if (remaining_ == 0) state_ = State::kDataCr;
        rc = output(p + i, take);
        i += take;
        break;
      }
      case State::kDataCr:
        if (p[i] == '\r') {
          state_ = State::kDataLf;
        } else if (p[i] == '\n') {
          state_ = State::kSize;
        } else {
          rc = Fail(kTextBadChunkEnd);
          break;
        }
        ++i;
        break;
      case State::kDataLf:
        if (p[i] != '\n') {
          rc = Fail(kTextBadChunkEnd);
          break;
        }
        state_ = State::kSize;
        ++i;
        break;
    }
  }
  *used = i;
  if (rc != kOk && state_ != State::kFailed) {
    // The output refused the data: the decoder stops with its code.
    state_ = State::kFailed;
    error_code_ = rc;
  }
  return rc;
}

}  // namespace tw
