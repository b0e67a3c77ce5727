#include "foundation/stream.h"

#include <cstdint>
#include <cstring>
#include <utility>

namespace tw {
namespace {

constexpr int kFullPercent = 100;
constexpr char kCtrlZ = 0x1A;

}  // namespace

Stream::~Stream() { FinishProgress(); }

void Stream::SetProgress(ProgressFunction function, int step) {
  progress_ = std::move(function);
  percent_step_ = (progress_ && step > 0) ? step : 0;
  next_percent_ = 0;
  reported_full_ = false;
}

void Stream::CountProgress(uint64_t n) {
  done_ += n;
  if (percent_step_ == 0 || reported_full_) return;
  // Clamped at 100: a stream that moves more than its stated size still ends its reports.
  int percent = 0;
  if (size_ != 0) {
    if (done_ >= size_) {
      percent = kFullPercent;
    } else if (done_ <= UINT64_MAX / kFullPercent) {
      percent = static_cast<int>(done_ * kFullPercent / size_);
    } else {
      percent = static_cast<int>(done_ / (size_ / kFullPercent));  // size_ > done_ > 2^57 here
    }
  }
  while (next_percent_ <= percent) {
    if (next_percent_ == kFullPercent) reported_full_ = true;
    progress_(next_percent_);
    next_percent_ += percent_step_;
  }
}

void Stream::FinishProgress() {
  if (percent_step_ == 0 || reported_full_ || done_ == 0) return;
  while (next_percent_ < kFullPercent) {
    progress_(next_percent_);
    next_percent_ += percent_step_;
  }
  reported_full_ = true;
  progress_(kFullPercent);
}

int Stream::WriteText(const char* text, int n) {
  if (text == nullptr) return 0;
  size_t count = n > 0 ? static_cast<size_t>(n) : std::strlen(text);
  for (size_t i = 0; i < count; ++i) {
    int rc = PutByte(static_cast<uint8_t>(text[i]));
    if (rc != 0) return rc;
  }
  return 0;
}

int Stream::FinishLine(char* buffer, int count, bool drop_ctrl_z) const {
  if (!binary_) {
    if (count >= 2 && buffer[count - 1] == '\n' && buffer[count - 2] == '\r') {
      buffer[count - 2] = '\n';
      --count;
    }
    if (drop_ctrl_z && count >= 1 && buffer[count - 1] == kCtrlZ) --count;
  }
  buffer[count] = 0;
  return count;
}

}  // namespace tw
