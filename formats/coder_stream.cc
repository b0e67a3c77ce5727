#include "formats/coder_stream.h"

#include <cstring>

#include "foundation/file_handle.h"
#include "platform/last_error.h"

namespace tw {
namespace {

constexpr int kMaxPeek = 64;

bool IsSeparator(char c) { return c == '/' || c == '\\'; }

}  // namespace

// ---- CoderInput ----

bool CoderInput::Fill(int want) {
  if (filled_ - pos_ >= want) return true;
  if (pos_ > 0) {
    std::memmove(buffer_, buffer_ + pos_, static_cast<size_t>(filled_ - pos_));
    filled_ -= pos_;
    pos_ = 0;
  }
  while (!at_end_ && filled_ < want) {
    int got = stream_.Read(buffer_ + filled_, kBufferSize - filled_);
    if (got <= 0) {
      at_end_ = true;
      break;
    }
    filled_ += got;
  }
  return filled_ - pos_ >= want;
}

int CoderInput::Peek(int ahead) {
  if (ahead < 0 || ahead >= kMaxPeek) return -1;
  if (!Fill(ahead + 1)) return -1;
  return buffer_[pos_ + ahead];
}

int CoderInput::Read(void* out, int n) {
  auto* dst = static_cast<uint8_t*>(out);
  int count = 0;
  while (count < n) {
    if (pos_ >= filled_ && !Fill(1)) break;
    int take = filled_ - pos_;
    if (take > n - count) take = n - count;
    std::memcpy(dst + count, buffer_ + pos_, static_cast<size_t>(take));
    pos_ += take;
    count += take;
  }
  return count;
}

bool CoderInput::ReadLine(ByteString& line, int max) {
  line.Resize(0);
  if (pos_ >= filled_ && !Fill(1)) return false;
  while (line.length() < max) {
    if (pos_ >= filled_ && !Fill(1)) break;
    const uint8_t* start = buffer_ + pos_;
    int avail = filled_ - pos_;
    if (avail > max - line.length()) avail = max - line.length();
    const void* lf = std::memchr(start, '\n', static_cast<size_t>(avail));
    int take = lf != nullptr ? static_cast<int>(static_cast<const uint8_t*>(lf) - start) + 1 : avail;
    if (line.Append(start, take) != kOk) {
      out_of_memory_ = true;
      return false;
    }
    pos_ += take;
    if (lf != nullptr) break;
  }
  return true;
}

int CoderInput::ReadAll(ByteString& all) {
  uint8_t block[4096];
  for (;;) {
    int got = Read(block, sizeof block);
    if (got <= 0) break;
    if (int rc = all.Append(block, got); rc != kOk) return rc;
  }
  return error();
}

// ---- CoderOutput ----

CoderOutput::~CoderOutput() {
  if (named_ != nullptr) {
    named_->Close();
    delete named_;
  }
}

void CoderOutput::SetParts(int64_t part_size, int* counter, int digits) {
  part_size_ = part_size > 0 ? part_size : 0;
  counter_ = counter;
  int limit = 1;
  for (int i = 0; i < digits && limit <= kMaxPartFiles; ++i) limit *= 10;
  max_counter_ = digits > 0 ? limit - 1 : 0;
}

void CoderOutput::SetFolder(const char* folder, unsigned code_page, bool overwrite) {
  folder_mode_ = true;
  buffer_ = nullptr;
  folder_.SetText(folder);
  code_page_ = code_page;
  overwrite_ = overwrite;
  stream_ = nullptr;
}

int CoderOutput::Check(int rc) {
  if (rc == kOk) return kOk;
  if (stream_ != nullptr && stream_->error() != 0) {
    int err = stream_->error();
    return err == kStreamMemoryFull ? kCoderNoRoom : err;
  }
  return rc < 0 ? kCoderWriteFailed : rc;
}

int CoderOutput::Put(uint8_t byte) {
  if (buffer_ != nullptr) return buffer_->AppendByte(byte);
  if (stream_ == nullptr) return kCoderWriteFailed;
  ++part_position_;
  return Check(stream_->PutByte(byte));
}

int CoderOutput::Write(const void* bytes, int n) {
  if (n <= 0) return kOk;
  if (buffer_ != nullptr) return buffer_->Append(bytes, n);
  if (stream_ == nullptr) return kCoderWriteFailed;
  part_position_ += n;
  // WriteText takes a count of 0 as "up to the NUL"; n is at least 1 here.
  return Check(stream_->WriteText(static_cast<const char*>(bytes), n));
}

int CoderOutput::WriteText(const char* text) {
  return Write(text, static_cast<int>(std::strlen(text)));
}

int CoderOutput::NextPart() {
  if (stream_ == nullptr) return kCoderWriteFailed;
  if (counter_ == nullptr || max_counter_ == 0) return kCoderTooFewNames;
  if (*counter_ >= kMaxPartFiles) return kCoderTooManyParts;
  if (*counter_ >= max_counter_) return kCoderTooFewNames;
  int rc = stream_->NextPart();
  part_position_ = 0;
  if (rc == kStreamEnd) return kCoderTooFewNames;
  if (rc == kStreamCreateFailed) return kCoderCannotCreate;
  return Check(rc);
}

int CoderOutput::OpenNamed(const char* name) {
  if (!folder_mode_) return kOk;
  if (named_ != nullptr && open_name_.EqualsBytes(name, -1)) return kOk;
  if (named_ != nullptr) {
    int rc = named_->Close();
    delete named_;
    named_ = nullptr;
    stream_ = nullptr;
    if (rc != kOk) return Check(rc);
  }
  ByteString path;
  if (path.Assign(folder_) != kOk || path.AppendText(name) != kOk) return kErrOutOfMemory;
  named_ = new (std::nothrow) FileStream();
  if (named_ == nullptr) return kErrOutOfMemory;
  named_->set_code_page(code_page_);
  named_->set_overwrite(overwrite_);
  int rc = OpenCoderFile(*named_, path.c_str(), true, 0);
  if (rc != kOk) {
    delete named_;
    named_ = nullptr;
    return rc;
  }
  stream_ = named_;
  part_position_ = 0;
  return open_name_.SetText(name);
}

int CoderOutput::Finish() {
  if (stream_ == nullptr) return kOk;
  int rc = stream_->Flush();
  if (named_ != nullptr) {
    int closed = named_->Close();
    if (rc == kOk) rc = closed;
  }
  return rc == kStreamMemoryFull ? kCoderNoRoom : rc;
}

// ---- Files ----

int OpenCoderFile(FileStream& file, const char* name, bool write, uint64_t size_hint) {
  int rc = file.Open(name, write ? kStreamWrite : kStreamRead, true, size_hint);
  if (rc == kOk || rc == kErrOutOfMemory) return rc;
  if (!write) return rc == kStreamNameTooLong ? 16 : kCoderCannotOpen;
  if (rc != kStreamCreateFailed) return rc == kStreamNameTooLong ? kCoderCannotCreate : rc;
  switch (win::GetLastError()) {
    case win::ERROR_FILE_EXISTS:
    case win::ERROR_ALREADY_EXISTS:
      return kCoderFileExists;
    case win::ERROR_ACCESS_DENIED:
      return kCoderPermissionDenied;
    default:
      return kCoderCannotCreate;
  }
}

int SafeBaseName(const char* name, int n, ByteString& out) {
  out.Resize(0);
  if (name == nullptr || n <= 0) return kCoderCannotCreate;
  if (IsSeparator(name[0])) return kCoderCannotCreate;
  if (n >= 2 && name[1] == ':') return kCoderCannotCreate;
  // Every piece between separators is looked at, so "a/../../b" is refused, not shortened.
  int piece_start = 0;
  for (int i = 0; i <= n; ++i) {
    if (i < n && !IsSeparator(name[i])) continue;
    int len = i - piece_start;
    if (len == 2 && name[piece_start] == '.' && name[piece_start + 1] == '.') {
      return kCoderCannotCreate;
    }
    piece_start = i + 1;
  }
  int base = n;
  while (base > 0 && !IsSeparator(name[base - 1])) --base;
  int len = n - base;
  if (len == 0 || (len == 1 && name[base] == '.')) return kCoderCannotCreate;
  for (int i = base; i < n; ++i) {
    if (static_cast<uint8_t>(name[i]) < 0x20) return kCoderCannotCreate;
  }
  return out.Set(name + base, len);
}

}  // namespace tw
