#include "formats/z_stream_holder.h"

#include <cstring>

#include "platform/heap.h"

namespace tw {

namespace {

constexpr int kRawWindowBits = -15;

voidpf HeapZAlloc(voidpf, uInt items, uInt size) {
  return win::HeapAlloc(static_cast<size_t>(items) * size);
}

void HeapZFree(voidpf, voidpf block) { win::HeapFree(block); }

}  // namespace

void PrepareZStream(z_stream& stream) {
  std::memset(&stream, 0, sizeof stream);
  stream.zalloc = HeapZAlloc;
  stream.zfree = HeapZFree;
  stream.opaque = Z_NULL;
}

ZStreamHolder::ZStreamHolder() { PrepareZStream(stream_); }

ZStreamHolder::~ZStreamHolder() { Reset(); }

bool ZStreamHolder::InitRawInflate() {
  Reset();
  if (inflateInit2(&stream_, kRawWindowBits) != Z_OK) {
    PrepareZStream(stream_);
    return false;
  }
  started_ = true;
  return true;
}

void ZStreamHolder::Reset() {
  if (started_) inflateEnd(&stream_);
  PrepareZStream(stream_);
  started_ = false;
  finished_ = false;
  output_full_ = false;
  input_size_ = 0;
  position_ = 0;
}

void ZStreamHolder::SetInput(const uint8_t* data, int n) {
  if (data == nullptr || n < 0) n = 0;
  // zlib never writes through next_in; the cast only meets its pre-const prototype.
  stream_.next_in = const_cast<Bytef*>(data);
  stream_.avail_in = static_cast<uInt>(n);
  input_size_ = n;
  position_ = 0;
  output_full_ = false;
}

int ZStreamHolder::InflateStep(uint8_t* buffer, int offset, int room, int* produced) {
  *produced = 0;
  if (!started_ || buffer == nullptr || offset < 0 || room <= 0) return 1;
  if (finished_) return 0;
  stream_.next_out = buffer + offset;
  stream_.avail_out = static_cast<uInt>(room);
  const int rc = inflate(&stream_, Z_SYNC_FLUSH);
  *produced = room - static_cast<int>(stream_.avail_out);
  position_ = input_size_ - static_cast<int>(stream_.avail_in);
  output_full_ = stream_.avail_out == 0;
  if (rc == Z_STREAM_END) {
    finished_ = true;
    return 0;
  }
  if (rc == Z_OK) return 0;
  // Nothing to do with no input left is the normal end of a piece.
  if (rc == Z_BUF_ERROR && stream_.avail_in == 0) return 0;
  return 1;
}

bool ZStreamHolder::NeedsInput() const {
  if (finished_) return false;
  return stream_.avail_in > 0 || output_full_;
}

}  // namespace tw
