#include "formats/content_encoder.h"

#include <cstring>

#include "formats/gzip_header.h"
#include "formats/z_stream_holder.h"
#include "foundation/event_sink.h"
#include "platform/time.h"

namespace tw {

namespace {

constexpr char kTextDeflaterInit[] = "Deflater initialization error.";
constexpr char kTextCompression[] = "Compression error.";
constexpr char kTextFooter[] = "Can not write footer.";
constexpr char kTextUnknownFormat[] = "Unknown compression format.";
constexpr char kTextReadFailed[] = "Can not read the data to compress.";

constexpr int kRawWindowBits = -15;
constexpr int kMemoryLevel = 8;

// 100-nanosecond intervals between 1601-01-01 and 1970-01-01.
constexpr uint64_t kUnixEpochAsFileTime = 116444736000000000ull;

}  // namespace

ContentEncoder::ContentEncoder() { PrepareZStream(stream_); }

ContentEncoder::~ContentEncoder() { DropStream(); }

uint32_t ContentEncoder::CurrentMtime() const {
  if (use_fixed_mtime_) return fixed_mtime_;
  win::FILETIME now{};
  win::GetSystemTimeAsFileTime(&now);
  const uint64_t ticks = (static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
  if (ticks < kUnixEpochAsFileTime) return 0;
  return static_cast<uint32_t>((ticks - kUnixEpochAsFileTime) / 10000000ull);
}

void ContentEncoder::DropStream() {
  if (deflater_started_) deflateEnd(&stream_);
  PrepareZStream(stream_);
  deflater_started_ = false;
  header_written_ = false;
  footer_written_ = false;
  collecting_ = false;
  last_result_ = Z_OK;
  crc_.Reset();
  adler_ = 1;
  total_in_ = 0;
  total_out_ = 0;
  job_ = Job::kNone;
  target_ = nullptr;
  set_run_state(kArchiveIdle);
}

int ContentEncoder::Abort() {
  DropStream();
  return kOk;
}

int ContentEncoder::Reset() {
  const int rc = ArchiveComponent::Reset();
  DropStream();
  output_.Reset();
  return rc;
}

int ContentEncoder::Failed(int code, const char* text) {
  DropStream();
  SetErrorTextCode(code, text);
  FireEvent(kEncoderEventError, code, error_text().c_str());
  return code;
}

int ContentEncoder::SetFormat(int format) {
  if (busy()) return FailBusy();
  if (format != kEncoderFormatRawDeflate && format != kEncoderFormatZlib &&
      format != kEncoderFormatGzip) {
    SetErrorTextCode(kErrArchiveNotImplemented, kTextUnknownFormat);
    return kErrArchiveNotImplemented;
  }
  format_ = format;
  return kOk;
}

int ContentEncoder::SetGzipName(const char* name) {
  if (busy()) return FailBusy();
  return gzip_name_.SetText(name);
}

int ContentEncoder::SetGzipComment(const char* comment) {
  if (busy()) return FailBusy();
  return gzip_comment_.SetText(comment);
}

int ContentEncoder::WriteArchive(const uint8_t* data, int n) {
  if (data == nullptr || n <= 0) return kOk;
  if (collecting_) {
    const int rc = output_.Append(data, n);
    if (rc != kOk) return rc;
  }
  if (target_ != nullptr && *target_) {
    const int rc = (*target_)(data, n);
    if (rc != kOk) return rc;
  }
  if (write_to_progress_event()) {
    EventBlock block;
    const int rc = block.Set(data, n);
    if (rc != kOk) return rc;
    FireEvent(kEncoderEventData, block.text(), block.length());
  }
  total_out_ += static_cast<uint64_t>(n);
  return kOk;
}

int ContentEncoder::PrepareOutput() {
  if (header_written_) return kOk;
  ByteString header;
  int rc = kOk;
  if (format_ == kEncoderFormatGzip) {
    rc = AppendGzipHeader(header, CurrentMtime(), gzip_name_.c_str(), gzip_comment_.c_str());
  } else if (format_ == kEncoderFormatZlib) {
    rc = header.Append(kZlibHeader, kZlibHeaderSize);
  }
  if (rc == kOk) rc = WriteArchive(header.bytes(), header.length());
  if (rc == kOk) header_written_ = true;
  return rc;
}

int ContentEncoder::StartDeflater() {
  PrepareZStream(stream_);
  if (deflateInit2(&stream_, level(), Z_DEFLATED, kRawWindowBits, kMemoryLevel,
                   Z_DEFAULT_STRATEGY) != Z_OK) {
    PrepareZStream(stream_);
    return kErrDeflaterInit;
  }
  deflater_started_ = true;
  crc_.Reset();
  adler_ = static_cast<uint32_t>(adler32(0L, Z_NULL, 0));
  total_in_ = 0;
  return kOk;
}

int ContentEncoder::WriteFooter() {
  ByteString footer;
  int rc = kOk;
  if (format_ == kEncoderFormatGzip) {
    rc = AppendGzipTrailer(footer, crc_.value(), total_in_);
  } else if (format_ == kEncoderFormatZlib) {
    rc = AppendZlibTrailer(footer, adler_);
  }
  if (rc == kOk) rc = WriteArchive(footer.bytes(), footer.length());
  if (rc != kOk) return rc;
  footer_written_ = true;
  return kOk;
}

int ContentEncoder::Compress(const uint8_t* data, int length, bool finish) {
  if (data == nullptr || length < 0) length = 0;
  if (!header_written_) {
    const int rc = PrepareOutput();
    if (rc != kOk) return Failed(rc, DefaultErrorText(rc));
  }
  if (!deflater_started_ && StartDeflater() != kOk) {
    return Failed(kErrDeflaterInit, kTextDeflaterInit);
  }
  if (length > 0) {
    crc_.Update(data, static_cast<size_t>(length));
    adler_ = static_cast<uint32_t>(adler32(adler_, data, static_cast<uInt>(length)));
    total_in_ += static_cast<uint64_t>(length);
  }
  // zlib never writes through next_in; the cast only meets its pre-const prototype.
  stream_.next_in = const_cast<Bytef*>(data);
  stream_.avail_in = static_cast<uInt>(length);
  for (;;) {
    stream_.next_out = buffer_;
    stream_.avail_out = kEncoderBlockSize;
    int result = deflate(&stream_, finish ? Z_FINISH : Z_NO_FLUSH);
    last_result_ = result;
    // No input and nothing pending: an empty piece, not a failure.
    if (result == Z_BUF_ERROR && !finish && stream_.avail_in == 0) result = Z_OK;
    if (result != Z_OK && result != Z_STREAM_END) return Failed(result, kTextCompression);
    const int produced = kEncoderBlockSize - static_cast<int>(stream_.avail_out);
    if (produced > 0) {
      const int rc = WriteArchive(buffer_, produced);
      if (rc != kOk) return Failed(rc, DefaultErrorText(rc));
    }
    if (result == Z_STREAM_END || stream_.avail_out != 0) break;
  }
  stream_.next_in = Z_NULL;
  stream_.avail_in = 0;
  if (!finish) return kOk;
  if (WriteFooter() != kOk) return Failed(kErrArchiveFooter, kTextFooter);
  deflateEnd(&stream_);
  PrepareZStream(stream_);
  deflater_started_ = false;
  return kOk;
}

int ContentEncoder::EncodeChunk(const void* data, int length, bool finish, const uint8_t** out,
                                int* out_length) {
  if (out != nullptr) *out = nullptr;
  if (out_length != nullptr) *out_length = 0;
  if (job_ == Job::kWholeBody) return FailBusy();
  // A finished stream is not continued: the next piece begins a new body.
  if (footer_written_) DropStream();
  output_.Reset();
  job_ = Job::kChunks;
  set_run_state(kArchiveCompressing);
  collecting_ = true;
  int rc = Compress(static_cast<const uint8_t*>(data), length, finish);
  collecting_ = false;
  if (rc != kOk) return rc;
  if (finish) {
    job_ = Job::kNone;
    set_run_state(kArchiveIdle);
  }
  if (out != nullptr) *out = output_.bytes();
  if (out_length != nullptr) *out_length = output_.length();
  return kOk;
}

int ContentEncoder::EncodeBody(const void* data, int length, FileOrStream* more, ByteString& out) {
  uint64_t size = 0;
  return EncodeBodyTo(
      data, length, more, [&out](const uint8_t* bytes, int n) { return out.Append(bytes, n); },
      &size);
}

int ContentEncoder::EncodeBodyTo(const void* data, int length, FileOrStream* more,
                                 const OutputFunction& target, uint64_t* size) {
  if (size != nullptr) *size = 0;
  if (busy()) return FailBusy();
  DropStream();
  job_ = Job::kWholeBody;
  target_ = &target;
  set_run_state(kArchiveCompressing);
  SetAbort(false);

  if (data == nullptr || length < 0) length = 0;
  const uint64_t known = static_cast<uint64_t>(length) + (more != nullptr ? more->GetSize() : 0);
  uint64_t taken = 0;
  auto report = [&]() {
    const int32_t percent = known == 0 ? -1 : static_cast<int32_t>(taken * 100 / known);
    FireEvent(kEncoderEventProgress, static_cast<int64_t>(taken), percent > 100 ? 100 : percent);
  };

  int rc = Compress(static_cast<const uint8_t*>(data), length, false);
  taken += static_cast<uint64_t>(length);
  if (rc == kOk && length > 0) report();
  if (rc == kOk && more != nullptr) {
    uint8_t block[kEncoderBlockSize];
    for (;;) {
      if (abort_requested()) {
        rc = Failed(kErrInterrupted, DefaultErrorText(kErrInterrupted));
        break;
      }
      size_t got = 0;
      rc = more->ReadSome(block, sizeof block, &got);
      if (rc != kOk) {
        rc = Failed(rc, kTextReadFailed);
        break;
      }
      if (got == 0) break;
      rc = Compress(block, static_cast<int>(got), false);
      if (rc != kOk) break;
      taken += got;
      report();
    }
  }
  if (rc == kOk) rc = Compress(nullptr, 0, true);
  if (more != nullptr && close_stream_after_compress()) more->Close();
  if (rc != kOk) return rc;  // Failed already dropped the stream
  if (size != nullptr) *size = total_out_;
  target_ = nullptr;
  job_ = Job::kNone;
  set_run_state(kArchiveIdle);
  return kOk;
}

}  // namespace tw
