#include "foundation/file_stream.h"

#include <cstring>

#include "foundation/file_handle.h"
#include "platform/heap.h"

namespace tw {
namespace {

constexpr size_t kMaxNameLength = 1023;
constexpr uint64_t kMinBuffer = 1024;
constexpr uint64_t kMaxBuffer = 0x80000;
constexpr int kSmallestFallbackBuffer = 2048;

// Part extensions by encoder format.
constexpr int kFormatUuencode = 0;
constexpr int kFormatBase64 = 1;
constexpr int kFormatBase64Alt = 14;
constexpr char kExtUuencode[] = ".UUE";
constexpr char kExtBase64[] = ".B64";
constexpr char kExtOther[] = ".Q_P";

const char* PartExtension(int format) {
  if (format == kFormatUuencode) return kExtUuencode;
  if (format == kFormatBase64 || format == kFormatBase64Alt) return kExtBase64;
  return kExtOther;
}

int ClampBuffer(uint64_t wanted) {
  if (wanted < kMinBuffer) return static_cast<int>(kMinBuffer);
  if (wanted > kMaxBuffer) return static_cast<int>(kMaxBuffer);
  return static_cast<int>(wanted);
}

uint64_t HandleSize(win::HANDLE h) {
  win::LARGE_INTEGER size{0};
  return win::GetFileSizeEx(h, &size) ? static_cast<uint64_t>(size.QuadPart) : 0;
}

}  // namespace

FileStream::~FileStream() { Close(); }

win::HANDLE FileStream::OpenFile(const char* name, bool write, bool sequential) const {
  if (write) {
    return OpenFileByName(name, code_page_, win::GENERIC_WRITE, 0,
                          overwrite_ ? win::CREATE_ALWAYS : win::CREATE_NEW,
                          win::FILE_ATTRIBUTE_NORMAL);
  }
  if (sequential) {
    return OpenFileByName(name, code_page_, win::GENERIC_READ, win::FILE_SHARE_READ,
                          win::OPEN_EXISTING, win::FILE_FLAG_SEQUENTIAL_SCAN);
  }
  return OpenFileByName(name, code_page_, win::GENERIC_READ,
                        win::FILE_SHARE_READ | win::FILE_SHARE_WRITE, win::OPEN_EXISTING,
                        win::FILE_ATTRIBUTE_NORMAL);
}

void FileStream::FillPartName(int counter) {
  current_name_.Assign(part_prefix_);
  current_name_.AppendFormat("%0*d", part_digits_, counter);
  current_name_.AppendText(PartExtension(format_));
}

int FileStream::Open(const char* name, uint32_t access, bool binary, uint64_t size_hint) {
  Close();
  error_ = 0;
  at_end_ = false;
  position_ = filled_ = 0;
  if (name == nullptr) name = "";
  if (std::strlen(name) > kMaxNameLength) return Fail(kStreamNameTooLong);
  binary_ = binary;
  writing_ = (access & kStreamWrite) != 0;

  const char* mark = part_counter_ != nullptr ? std::strchr(name, '?') : nullptr;
  if (mark != nullptr) {
    part_digits_ = static_cast<int>(std::strspn(mark, "?"));
    if (int rc = part_prefix_.Set(name, static_cast<int>(mark - name)); rc != kOk) return Fail(rc);
    FillPartName(*part_counter_);
  } else {
    part_digits_ = 0;
    if (int rc = current_name_.SetText(name); rc != kOk) return Fail(rc);
  }

  if (writing_) {
    // The buffer comes first, so that a failed open leaves no empty file behind.
    buffer_size_ = ClampBuffer(size_hint);
    int rc = AllocateBuffer();
    if (rc != kOk) return Fail(rc);
    file_ = OpenFile(current_name_.c_str(), true, false);
    if (!IsOpen()) {
      FreeBuffer();
      return Fail(kStreamCreateFailed);
    }
    size_ = size_hint;
    return kOk;
  }

  file_ = OpenFile(current_name_.c_str(), false, false);
  if (!IsOpen()) return Fail(kStreamOpenReadFailed);
  uint64_t total = HandleSize(file_);
  if (part_digits_ != 0) {
    // The size of a split file is that of all its parts; then back to the first part.
    const int first = *part_counter_;
    int rc;
    while ((rc = NextPart()) == kOk) total += HandleSize(file_);
    CloseFile();
    if (rc != kStreamEnd) return rc;
    *part_counter_ = first;
    FillPartName(first);
    file_ = OpenFile(current_name_.c_str(), false, false);
    if (!IsOpen()) return Fail(kStreamOpenReadFailed);
  }
  size_ = total;
  buffer_size_ = ClampBuffer(total);
  int rc = AllocateBuffer();
  if (rc != kOk) {
    CloseFile();
    return Fail(rc);
  }
  return kOk;
}

int FileStream::AllocateBuffer() {
  FreeBuffer();
  while ((buffer_ = static_cast<uint8_t*>(win::HeapAlloc(static_cast<size_t>(buffer_size_)))) ==
         nullptr) {
    buffer_size_ /= 2;
    if (buffer_size_ < kSmallestFallbackBuffer) {
      buffer_size_ = 0;
      return kErrOutOfMemory;
    }
  }
  return kOk;
}

int FileStream::NextPart() {
  if (writing_ && IsOpen()) WriteBuffer();
  CloseFile();
  position_ = filled_ = 0;
  if (part_digits_ == 0) return kStreamEnd;
  ++*part_counter_;
  FillPartName(*part_counter_);
  if (writing_) {
    file_ = OpenFile(current_name_.c_str(), true, false);
    return IsOpen() ? kOk : Fail(kStreamCreateFailed);
  }
  file_ = OpenFile(current_name_.c_str(), false, true);
  if (IsOpen()) return kOk;
  if (win::GetLastError() == win::ERROR_FILE_NOT_FOUND) {
    --*part_counter_;
    return kStreamEnd;
  }
  // A part that is there but cannot be read must not pass for the end of the data.
  return Fail(kStreamOpenReadFailed);
}

// 0 with bytes in the buffer; 1 at the end of the data; a code on failure.
int FileStream::Refill() {
  position_ = filled_ = 0;
  while (!at_end_) {
    if (!IsOpen() || buffer_ == nullptr) {
      at_end_ = true;
      break;
    }
    win::DWORD got = 0;
    if (!win::ReadFile(file_, buffer_, static_cast<win::DWORD>(buffer_size_), &got, nullptr)) {
      at_end_ = true;
      return Fail(kStreamReadFailed);
    }
    if (got > 0) {
      filled_ = static_cast<int>(got);
      return kOk;
    }
    int rc = NextPart();
    if (rc != kOk) {
      at_end_ = true;
      return rc == kStreamEnd ? 1 : rc;
    }
  }
  return 1;
}

int FileStream::Read(void* buffer, int n) {
  if (writing_ || n <= 0) return 0;
  auto* out = static_cast<uint8_t*>(buffer);
  int count = 0;
  while (count < n) {
    if (position_ >= filled_ && Refill() != kOk) break;
    int take = filled_ - position_;
    if (take > n - count) take = n - count;
    std::memcpy(out + count, buffer_ + position_, static_cast<size_t>(take));
    position_ += take;
    count += take;
  }
  CountProgress(static_cast<uint64_t>(count));
  return count;
}

int FileStream::ReadLine(char* buffer, int n) {
  if (writing_ || n < 0) return 0;
  int count = 0;
  while (count < n) {
    if (position_ >= filled_ && Refill() != kOk) break;
    char c = static_cast<char>(buffer_[position_++]);
    buffer[count++] = c;
    if (c == '\n') break;
  }
  CountProgress(static_cast<uint64_t>(count));
  return FinishLine(buffer, count, true);
}

int FileStream::WriteBuffer() {
  if (position_ == 0) return kOk;
  win::DWORD put = 0;
  bool ok = win::WriteFile(file_, buffer_, static_cast<win::DWORD>(position_), &put, nullptr) &&
            put == static_cast<win::DWORD>(position_);
  position_ = 0;
  return ok ? kOk : Fail(kStreamWriteFailed);
}

int FileStream::Append(uint8_t byte) {
  if (position_ >= buffer_size_) {
    int rc = WriteBuffer();
    if (rc != kOk) return rc;
  }
  buffer_[position_++] = byte;
  return kOk;
}

int FileStream::PutByte(uint8_t byte) {
  if (error_ != 0) return -1;
  if (!writing_ || !IsOpen() || buffer_ == nullptr) return Fail(kStreamWriteFailed);
  if (byte == '\n' && !binary_) {
    if (int rc = Append('\r'); rc != kOk) return rc;
  }
  if (int rc = Append(byte); rc != kOk) return rc;
  CountProgress(1);
  return kOk;
}

int FileStream::WriteText(const char* text, int n) {
  if (!binary_) return Stream::WriteText(text, n);
  if (error_ != 0) return -1;
  if (!writing_ || !IsOpen() || buffer_ == nullptr) return Fail(kStreamWriteFailed);
  if (text == nullptr) return kOk;
  size_t count = n > 0 ? static_cast<size_t>(n) : std::strlen(text);
  size_t done = 0;
  while (done < count) {
    if (position_ >= buffer_size_) {
      if (int rc = WriteBuffer(); rc != kOk) return rc;
    }
    size_t take = static_cast<size_t>(buffer_size_ - position_);
    if (take > count - done) take = count - done;
    std::memcpy(buffer_ + position_, text + done, take);
    position_ += static_cast<int>(take);
    done += take;
    CountProgress(take);
  }
  return kOk;
}

int FileStream::Flush() {
  if (writing_ && IsOpen()) WriteBuffer();
  return error_;
}

void FileStream::CloseFile() {
  if (file_ != win::INVALID_HANDLE_VALUE) {
    win::CloseHandle(file_);
    file_ = win::INVALID_HANDLE_VALUE;
  }
}

void FileStream::FreeBuffer() {
  if (buffer_ != nullptr) {
    win::HeapFree(buffer_);
    buffer_ = nullptr;
  }
}

int FileStream::Close() {
  int rc = Flush();
  CloseFile();
  FreeBuffer();
  position_ = filled_ = 0;
  return rc;
}

}  // namespace tw
