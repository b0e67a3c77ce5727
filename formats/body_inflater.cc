#include "formats/body_inflater.h"

#include "formats/gzip_header.h"
#include "foundation/component_base.h"

namespace tw {

namespace {

constexpr char kTextInitFailed[] = "Could not initialize decompressor.";
constexpr char kTextGzipHeader[] = "The GZIP header is invalid.";
constexpr char kTextDecompress[] = "Could not decompress content.";
constexpr char kTextGzipTrailer[] = "The GZIP trailer does not match the decompressed content.";
constexpr char kTextZlibTrailer[] = "The zlib checksum does not match the decompressed content.";
constexpr char kTextTruncated[] = "The compressed content ended before its end.";
constexpr char kTextTrailingData[] = "Unexpected data after the end of the compressed content.";
constexpr char kTextTooLarge[] = "The decompressed content exceeds the size limit.";
constexpr char kTextRatio[] =
    "The decompressed content grows beyond any honest compression ratio (a decompression bomb).";

// Text, markup and even repetitive logs stay far below this many output bytes per input byte;
// deflate cannot exceed about 1032, which only runs of one byte reach. Small bodies are spared:
// their size does no harm whatever the ratio.
constexpr uint64_t kMaxInflateRatio = 512;
constexpr uint64_t kRatioFloor = uint64_t{16} << 20;

// A gzip header is ten bytes plus optional fields; FEXTRA alone may add 64 KiB. Anything longer
// is not a header a server sends but a way to make us collect without end.
constexpr int kMaxGzipHeader = 128 * 1024;

constexpr uint8_t kGzipFirstByte = 0x1F;

}  // namespace

int BodyInflater::Fail(int code, const char* text) {
  error_code_ = code;
  error_text_ = text != nullptr ? text : "";
  return code;
}

void BodyInflater::Reset() {
  stream_.Reset();
  out_buffer_.Reset();
  held_.Reset();
  crc_.Reset();
  adler_ = 1;
  state_ = State::kIdle;
  kind_ = kContentEncodingNone;
  zlib_wrapped_ = false;
  member_out_ = 0;
  total_in_ = 0;
  inflated_in_ = 0;
  total_out_ = 0;
  error_code_ = 0;
  error_text_ = "";
  over_limit_ = false;
}

int BodyInflater::Start(int kind) {
  Reset();
  if (kind != kContentEncodingGzip && kind != kContentEncodingDeflate) {
    return Fail(kErrDecompress, kTextInitFailed);
  }
  kind_ = kind;
  if (out_buffer_.Resize(kInflateStepSize) != kOk) {
    return Fail(kErrOutOfMemory, DefaultErrorText(kErrOutOfMemory));
  }
  if (!stream_.InitRawInflate()) return Fail(kErrDecompress, kTextInitFailed);
  state_ = kind == kContentEncodingGzip ? State::kGzipHeader : State::kZlibProbe;
  return kOk;
}

bool BodyInflater::complete() const {
  return state_ == State::kAfterMember || state_ == State::kDone;
}

int BodyInflater::Feed(const void* data, int n, const OutputFunction& output) {
  if (error_code_ != kOk) return error_code_;
  if (state_ == State::kIdle) return Fail(kErrDecompress, kTextDecompress);
  if (data == nullptr || n <= 0) return kOk;
  total_in_ += static_cast<uint64_t>(n);
  return Process(static_cast<const uint8_t*>(data), n, output);
}

int BodyInflater::Feed(const void* data, int n, ByteString& out) {
  return Feed(data, n,
              [&out](const uint8_t* bytes, int count) { return out.Append(bytes, count); });
}

int BodyInflater::Finish() {
  if (error_code_ != kOk) return error_code_;
  switch (state_) {
    case State::kIdle:
    case State::kAfterMember:
    case State::kDone:
      return kOk;
    case State::kGzipHeader:
    case State::kZlibProbe:
      // An empty body (say, Content-Length 0 with an encoding) has nothing to decode.
      if (total_in_ == 0) return kOk;
      break;
    default:
      break;
  }
  return Fail(kErrDecompress, kTextTruncated);
}

int BodyInflater::Process(const uint8_t* p, int n, const OutputFunction& output) {
  int pos = 0;
  while (pos < n) {
    int used = 0;
    int rc = kOk;
    switch (state_) {
      case State::kGzipHeader:
        rc = TakeGzipHeader(p + pos, n - pos, &used);
        break;
      case State::kZlibProbe:
        rc = TakeZlibProbe(p + pos, n - pos, &used, output);
        break;
      case State::kBody:
        rc = Inflate(p + pos, n - pos, &used, output);
        break;
      case State::kTrailer:
        rc = TakeTrailer(p + pos, n - pos, &used);
        break;
      case State::kAfterMember:
        // Only another member may follow a gzip member.
        if (p[pos] != kGzipFirstByte) return Fail(kErrDecompress, kTextTrailingData);
        rc = StartMember();
        break;
      case State::kDone:
        return Fail(kErrDecompress, kTextTrailingData);
      case State::kIdle:
        return Fail(kErrDecompress, kTextDecompress);
    }
    if (rc != kOk) return rc;
    pos += used;
  }
  return kOk;
}

int BodyInflater::StartMember() {
  if (!stream_.InitRawInflate()) return Fail(kErrDecompress, kTextInitFailed);
  crc_.Reset();
  member_out_ = 0;
  held_.Reset();
  state_ = State::kGzipHeader;
  return kOk;
}

int BodyInflater::TakeGzipHeader(const uint8_t* p, int n, int* used) {
  bool complete = false;
  int position = 0;
  if (held_.empty()) {
    // The usual case: the whole header is in this piece and is read in place.
    if (CheckGzipHeader(p, n, &position, &complete) != kOk) {
      return Fail(kErrGzipHeader, kTextGzipHeader);
    }
    if (complete) {
      *used = position;
      state_ = State::kBody;
      return kOk;
    }
    if (n > kMaxGzipHeader) return Fail(kErrGzipHeader, kTextGzipHeader);
    if (held_.Set(p, n) != kOk) return Fail(kErrOutOfMemory, DefaultErrorText(kErrOutOfMemory));
    *used = n;
    return kOk;
  }
  const int before = held_.length();
  const int room = kMaxGzipHeader + 1 - before;
  const int take = n < room ? n : room;
  if (held_.Append(p, take) != kOk) {
    return Fail(kErrOutOfMemory, DefaultErrorText(kErrOutOfMemory));
  }
  if (CheckGzipHeader(held_.bytes(), held_.length(), &position, &complete) != kOk) {
    return Fail(kErrGzipHeader, kTextGzipHeader);
  }
  if (!complete) {
    if (held_.length() > kMaxGzipHeader) return Fail(kErrGzipHeader, kTextGzipHeader);
    *used = take;
    return kOk;
  }
  // The header was incomplete before this piece, so it ends inside it.
  *used = position - before;
  held_.Reset();
  state_ = State::kBody;
  return kOk;
}

int BodyInflater::TakeZlibProbe(const uint8_t* p, int n, int* used, const OutputFunction& output) {
  if (held_.empty() && n < 2) {
    if (held_.Set(p, n) != kOk) return Fail(kErrOutOfMemory, DefaultErrorText(kErrOutOfMemory));
    *used = n;
    return kOk;
  }
  const bool split = !held_.empty();
  const uint8_t first = split ? held_.ByteAt(0) : p[0];
  const uint8_t second = split ? p[0] : p[1];
  held_.Reset();
  state_ = State::kBody;
  adler_ = static_cast<uint32_t>(adler32(0L, Z_NULL, 0));
  if (IsZlibHeader(first, second)) {
    zlib_wrapped_ = true;
    *used = split ? 1 : 2;
    return kOk;
  }
  *used = 0;
  // Raw deflate from the first byte: the byte held back goes in first.
  return split ? Process(&first, 1, output) : kOk;
}

int BodyInflater::Inflate(const uint8_t* p, int n, int* used, const OutputFunction& output) {
  stream_.SetInput(p, n);
  uint8_t* buffer = out_buffer_.bytes();
  do {
    const int before = stream_.position();
    int produced = 0;
    if (stream_.InflateStep(buffer, 0, kInflateStepSize, &produced) != kOk) {
      return Fail(kErrDecompress, kTextDecompress);
    }
    if (produced > 0) {
      const uint64_t made = static_cast<uint64_t>(produced);
      if (max_output_ != 0 && (total_out_ > max_output_ || made > max_output_ - total_out_)) {
        over_limit_ = true;
        return Fail(kErrDecompress, kTextTooLarge);
      }
      // Measured against the input zlib has actually consumed, not what is waiting in the piece.
      const uint64_t consumed = inflated_in_ + static_cast<uint64_t>(stream_.position());
      if (total_out_ + made > kRatioFloor && total_out_ + made > consumed * kMaxInflateRatio) {
        over_limit_ = true;
        return Fail(kErrDecompress, kTextRatio);
      }
      if (kind_ == kContentEncodingGzip) {
        crc_.Update(buffer, made);
      } else if (zlib_wrapped_) {
        adler_ = static_cast<uint32_t>(adler32(adler_, buffer, static_cast<uInt>(produced)));
      }
      member_out_ += made;
      total_out_ += made;
      if (output) {
        const int rc = output(buffer, produced);
        if (rc != kOk) return Fail(rc, DefaultErrorText(rc));
      }
    } else if (stream_.position() == before && stream_.input_left() > 0 && !stream_.finished()) {
      // zlib took nothing and gave nothing: the data cannot go on.
      return Fail(kErrDecompress, kTextDecompress);
    }
  } while (stream_.NeedsInput());
  *used = stream_.position();
  inflated_in_ += static_cast<uint64_t>(*used);
  if (stream_.finished()) {
    if (kind_ == kContentEncodingGzip || zlib_wrapped_) {
      state_ = State::kTrailer;
    } else {
      state_ = State::kDone;
    }
  }
  return kOk;
}

int BodyInflater::TakeTrailer(const uint8_t* p, int n, int* used) {
  const int need = kind_ == kContentEncodingGzip ? kGzipTrailerSize : kZlibTrailerSize;
  const int missing = need - held_.length();
  const int take = n < missing ? n : missing;
  if (held_.Append(p, take) != kOk) {
    return Fail(kErrOutOfMemory, DefaultErrorText(kErrOutOfMemory));
  }
  *used = take;
  if (held_.length() < need) return kOk;
  const uint8_t* t = held_.bytes();
  if (kind_ == kContentEncodingGzip) {
    // ISIZE is the member's length modulo 2^32.
    if (LoadLe32(t) != crc_.value() || LoadLe32(t + 4) != static_cast<uint32_t>(member_out_)) {
      return Fail(kErrDecompress, kTextGzipTrailer);
    }
    state_ = State::kAfterMember;
  } else {
    if (LoadBe32(t) != adler_) return Fail(kErrDecompress, kTextZlibTrailer);
    state_ = State::kDone;
  }
  held_.Reset();
  return kOk;
}

}  // namespace tw
