#include "foundation/caller_stream.h"

#include <climits>
#include <cstring>
#include <utility>

namespace tw {
namespace {

constexpr int kReadAheadChunk = 4096;
constexpr size_t kMaxCallerChunk = 1u << 30;

}  // namespace

// ---- StreamAdapter ----

StreamAdapter::StreamAdapter(CallerStream* stream, ProgressFunction progress, int step)
    : stream_(stream) {
  size_ = stream_ != nullptr ? stream_->Size() : 0;
  if (progress) {
    SetProgress(std::move(progress), step);
    CountProgress(0);
  }
}

StreamAdapter::StreamAdapter(std::unique_ptr<CallerStream> stream, ProgressFunction progress,
                             int step)
    : StreamAdapter(stream.get(), std::move(progress), step) {
  owned_ = std::move(stream);
}

StreamAdapter::~StreamAdapter() { Close(); }

int StreamAdapter::Close() {
  if (owned_) {
    owned_->Close();
    owned_.reset();
    stream_ = nullptr;
  }
  return 0;
}

int StreamAdapter::TakeAhead(void* buffer, int n) {
  int left = ahead_.length() - ahead_pos_;
  int take = left < n ? left : n;
  if (take > 0) {
    std::memcpy(buffer, ahead_.data() + ahead_pos_, static_cast<size_t>(take));
    ahead_pos_ += take;
  }
  if (ahead_pos_ >= ahead_.length()) {
    ahead_.SetData(0, nullptr);
    ahead_pos_ = 0;
  }
  return take;
}

int StreamAdapter::Read(void* buffer, int n) {
  if (n <= 0) return 0;
  auto* out = static_cast<uint8_t*>(buffer);
  int count = TakeAhead(out, n);
  while (count < n && stream_ != nullptr) {
    int got = stream_->Read(out + count, n - count);
    if (got < 0) {
      Fail(kStreamReadFailed);
      break;
    }
    if (got == 0) break;
    count += got > n - count ? n - count : got;
  }
  CountProgress(static_cast<uint64_t>(count));
  return count;
}

int StreamAdapter::ReadLine(char* buffer, int n) {
  if (n < 0) return 0;
  int count = 0;
  bool line_done = false;
  while (count < n && !line_done) {
    if (ahead_pos_ >= ahead_.length()) {
      // Refill the read-ahead with one read of the caller's stream.
      if (stream_ == nullptr) break;
      ahead_.SetData(0, nullptr);
      ahead_pos_ = 0;
      if (ahead_.Resize(kReadAheadChunk) != kOk) {
        Fail(kErrOutOfMemory);
        break;
      }
      int got = stream_->Read(ahead_.data(), kReadAheadChunk);
      if (got < 0) Fail(kStreamReadFailed);
      ahead_.Resize(got > 0 ? (got < kReadAheadChunk ? got : kReadAheadChunk) : 0);
      if (got <= 0) break;
    }
    while (count < n && ahead_pos_ < ahead_.length()) {
      char c = ahead_.data()[ahead_pos_++];
      buffer[count++] = c;
      if (c == '\n') {
        line_done = true;
        break;
      }
    }
  }
  CountProgress(static_cast<uint64_t>(count));
  return FinishLine(buffer, count, false);
}

int StreamAdapter::WriteText(const char* text, int n) {
  if (error_ != 0) return kStreamNotSupported;
  if (text == nullptr) return 0;
  if (stream_ == nullptr) {
    Fail(kStreamWriteFailed);
    return kStreamNotSupported;
  }
  size_t count = n > 0 ? static_cast<size_t>(n) : std::strlen(text);
  size_t done = 0;
  while (done < count) {
    size_t chunk = count - done < kMaxCallerChunk ? count - done : kMaxCallerChunk;
    int put = stream_->Write(text + done, static_cast<int>(chunk));
    // A stream that takes nothing would be asked for ever: that is a failed write.
    if (put <= 0) {
      Fail(kStreamWriteFailed);
      return kStreamNotSupported;
    }
    size_t took = static_cast<size_t>(put) < chunk ? static_cast<size_t>(put) : chunk;
    done += took;
    CountProgress(took);
  }
  return 0;
}

// ---- FileOrStream ----

FileOrStream::~FileOrStream() {
  if (file_) file_->Close();
  DropStream();
}

void FileOrStream::SetStream(CallerStream* stream, bool owns) {
  DropStream();
  stream_ = stream;
  owns_stream_ = owns;
}

void FileOrStream::DropStream() {
  if (owns_stream_ && stream_ != nullptr) {
    stream_->Close();
    delete stream_;
  }
  stream_ = nullptr;
  owns_stream_ = false;
}

int FileOrStream::ReadAll(void* buffer, size_t n) {
  if (UsesFile()) return file_->Read(buffer, n);
  if (stream_ == nullptr) return kFileNotOpen;
  auto* out = static_cast<uint8_t*>(buffer);
  size_t total = 0;
  while (total < n) {
    size_t chunk = n - total < kMaxCallerChunk ? n - total : kMaxCallerChunk;
    int got = stream_->Read(out + total, static_cast<int>(chunk));
    if (got < 0) return kFileReadFailed;
    if (got == 0) return kFileShortRead;
    total += static_cast<size_t>(got) < chunk ? static_cast<size_t>(got) : chunk;
  }
  return kOk;
}

int FileOrStream::WriteAll(const void* buffer, size_t n) {
  if (UsesFile()) return file_->Write(buffer, n);
  if (stream_ == nullptr) return kFileNotOpen;
  const auto* in = static_cast<const uint8_t*>(buffer);
  size_t total = 0;
  while (total < n) {
    size_t chunk = n - total < kMaxCallerChunk ? n - total : kMaxCallerChunk;
    int put = stream_->Write(in + total, static_cast<int>(chunk));
    if (put <= 0) return kFileWriteFailed;  // no progress is a failure, not a retry
    total += static_cast<size_t>(put) < chunk ? static_cast<size_t>(put) : chunk;
  }
  return kOk;
}

int FileOrStream::ReadSome(void* buffer, size_t n, size_t* got) {
  *got = 0;
  if (UsesFile()) return file_->ReadSome(buffer, n, got);
  if (stream_ == nullptr) return kFileNotOpen;
  size_t chunk = n < kMaxCallerChunk ? n : kMaxCallerChunk;
  int count = stream_->Read(buffer, static_cast<int>(chunk));
  if (count < 0) return kFileReadFailed;
  *got = static_cast<size_t>(count) < chunk ? static_cast<size_t>(count) : chunk;
  return kOk;
}

uint64_t FileOrStream::GetSize() {
  if (UsesFile()) {
    int64_t size = file_->GetSize();
    return size < 0 ? 0 : static_cast<uint64_t>(size);
  }
  return stream_ != nullptr ? stream_->Size() : 0;
}

int64_t FileOrStream::Seek(int64_t offset, int origin) {
  if (UsesFile()) return file_->Seek(offset, static_cast<uint32_t>(origin));
  if (stream_ == nullptr) return -1;
  int64_t position = stream_->Seek(offset, origin);
  return position < 0 ? -1 : position;
}

bool FileOrStream::IsOpen() const { return UsesFile() || stream_ != nullptr; }

int FileOrStream::Close() {
  if (UsesFile()) return file_->Close();
  DropStream();
  return kOk;
}

}  // namespace tw
