#include "foundation/byte_reader.h"

#include <cstring>
#include <new>

namespace tw {
namespace {
constexpr int kErrNoMemory = 200;
}  // namespace

ByteReader& ByteReader::operator=(const ByteReader& other) {
  if (this == &other) return *this;
  if (other.buffer_ != nullptr) ++other.buffer_->refs;
  Release();
  buffer_ = other.buffer_;
  position_ = other.position_;
  return *this;
}

int ByteReader::EnsureBuffer() {
  if (buffer_ != nullptr) return kOk;
  buffer_ = new (std::nothrow) SharedBuffer;
  if (buffer_ == nullptr) return kErrNoMemory;
  position_ = 0;
  return kOk;
}

void ByteReader::Release() {
  if (buffer_ != nullptr && --buffer_->refs < 1) delete buffer_;
  buffer_ = nullptr;
}

int ByteReader::SetBytes(const void* bytes, int offset, int n) {
  // A cursor sharing its buffer gets its own, so the others keep their bytes.
  if (buffer_ != nullptr && buffer_->refs > 1) Release();
  int rc = EnsureBuffer();
  if (rc != kOk) return rc;
  position_ = 0;
  if (bytes == nullptr || n <= 0) {
    buffer_->data.Reset();
    return kOk;
  }
  return buffer_->data.Set(static_cast<const uint8_t*>(bytes) + offset, n);
}

int ByteReader::Assign(const ByteReader& other) {
  if (this == &other) return kOk;
  const int rc = SetBytes(other.Data(), 0, other.Length());
  position_ = other.position_;
  return rc;
}

void ByteReader::Clear() {
  position_ = 0;
  if (buffer_ != nullptr) buffer_->data.Reset();
}

const uint8_t* ByteReader::Data() const {
  return buffer_ != nullptr ? buffer_->data.bytes() : reinterpret_cast<const uint8_t*>("");
}

const uint8_t* ByteReader::DataAt(int offset, int* available) const {
  if (offset < 0 || offset >= Length()) {
    if (available != nullptr) *available = 0;
    return reinterpret_cast<const uint8_t*>("");
  }
  if (available != nullptr) *available = Length() - offset;
  return Data() + offset;
}

// ---- Writing ----

int ByteReader::Append(const void* bytes, int n) {
  int rc = EnsureBuffer();
  if (rc != kOk) return rc;
  rc = buffer_->data.Append(bytes, n);
  if (rc != kOk) return kErrNoMemory;
  position_ += n;
  return kOk;
}

int ByteReader::WriteU8(uint32_t v) {
  const uint8_t b = static_cast<uint8_t>(v);
  return Append(&b, 1);
}

int ByteReader::WriteU16(uint32_t v) {
  uint8_t b[2];
  PutUIntBE(v, b, 0, 2);
  return Append(b, 2);
}

int ByteReader::WriteU24(uint32_t v) {
  uint8_t b[3];
  PutUIntBE(v, b, 0, 3);
  return Append(b, 3);
}

int ByteReader::WriteU32(uint32_t v) {
  uint8_t b[4];
  PutUIntBE(v, b, 0, 4);
  return Append(b, 4);
}

int ByteReader::WriteU64(uint64_t v) {
  uint8_t b[8];
  PutUIntBE(v, b, 0, 8);
  return Append(b, 8);
}

int ByteReader::WriteBytes(const void* bytes, int offset, int n) {
  if (n <= 0) return kOk;
  if (bytes == nullptr || offset < 0) return kErrNoMemory;
  return Append(static_cast<const uint8_t*>(bytes) + offset, n);
}

int ByteReader::WriteAt(const void* bytes, int position, int n) {
  if (n <= 0) return kOk;
  if (position < 0 || bytes == nullptr || position > INT32_MAX - n) return kErrNoMemory;
  const int saved = position_;
  int rc = EnsureBuffer();
  position_ = saved;
  if (rc != kOk) return rc;
  // Resize zeroes what it gains, so a gap never exposes stale heap bytes.
  if (position + n > buffer_->data.length() && buffer_->data.Resize(position + n) != kOk)
    return kErrNoMemory;
  std::memmove(buffer_->data.bytes() + position, bytes, static_cast<size_t>(n));
  return kOk;
}

int ByteReader::PutU16At(int position, uint32_t v) {
  uint8_t b[2];
  PutUIntBE(v, b, 0, 2);
  return WriteAt(b, position, 2);
}

int ByteReader::PutU24At(int position, uint32_t v) {
  uint8_t b[3];
  PutUIntBE(v, b, 0, 3);
  return WriteAt(b, position, 3);
}

// ---- Reading ----

bool ByteReader::ViewAt(int offset, SpanReader* out) const {
  if (offset < 0 || offset > Length()) return false;
  *out = SpanReader(Data(), static_cast<size_t>(Length()));
  return out->Skip(static_cast<size_t>(offset));
}

int ByteReader::CheckAvailable(int offset, int n) const {
  if (n < 0 || offset < 0 || static_cast<int64_t>(offset) + n > Length()) return kErrReadPastEnd;
  return kOk;
}

int ByteReader::ReadN(int n, uint32_t* out) {
  SpanReader r;
  uint64_t v = 0;
  if (!ViewAt(position_, &r) || !r.ReadUIntBe(n, &v)) return kErrReadPastEnd;
  *out = static_cast<uint32_t>(v);
  position_ += n;
  return kOk;
}

int ByteReader::ReadU8(uint32_t* out) { return ReadN(1, out); }
int ByteReader::ReadU16(uint32_t* out) { return ReadN(2, out); }
int ByteReader::ReadU24(uint32_t* out) { return ReadN(3, out); }
int ByteReader::ReadU32(uint32_t* out) { return ReadN(4, out); }

int64_t ByteReader::NextN(int n) {
  uint32_t v = 0;
  if (ReadN(n, &v) != kOk) return -1;
  return v;
}

int64_t ByteReader::PeekN(int offset, int n) const {
  SpanReader r;
  uint64_t v = 0;
  if (!ViewAt(offset, &r) || !r.ReadUIntBe(n, &v)) return -1;
  return static_cast<uint32_t>(v);
}

int ByteReader::ReadString(int n, ByteString& out) {
  if (n <= 0) return kOk;
  SpanReader r;
  if (!ViewAt(position_, &r) || r.empty()) return 1;
  const size_t take = static_cast<size_t>(n) < r.remaining() ? static_cast<size_t>(n) : r.remaining();
  if (!r.ReadString(take, &out)) return kErrNoMemory;
  position_ += static_cast<int>(take);
  return kOk;
}

int ByteReader::ReadString32(ByteString& out) {
  SpanReader r, body;
  uint32_t length = 0;
  if (!ViewAt(position_, &r) || !r.ReadU32(&length)) return kErrReadPastEnd;
  if (static_cast<int32_t>(length) < 0 || !r.ReadBytes(length, &body)) return -1;
  if (out.Set(body.data(), static_cast<int>(length)) != kOk) return kErrNoMemory;
  position_ += 4 + static_cast<int>(length);
  return kOk;
}

int ByteReader::ReadBitString(ByteString& out) {
  SpanReader r, body;
  uint32_t bits = 0;
  if (!ViewAt(position_, &r) || !r.ReadU32(&bits)) return kErrReadPastEnd;
  const size_t n = (size_t{bits} + 7) / 8;
  if (!r.ReadBytes(n, &body)) return kErrReadPastEnd;
  if (out.Set(body.data(), static_cast<int>(n)) != kOk) return kErrNoMemory;
  position_ += 4 + static_cast<int>(n);
  return kOk;
}

int ByteReader::ReadRaw(void* dest, int offset, int n) {
  SpanReader r;
  if (n <= 0 || dest == nullptr || offset < 0 || !ViewAt(position_, &r)) return 0;
  const size_t take = static_cast<size_t>(n) < r.remaining() ? static_cast<size_t>(n) : r.remaining();
  if (take == 0 || !r.CopyBytes(static_cast<uint8_t*>(dest) + offset, take)) return 0;
  position_ += static_cast<int>(take);
  return static_cast<int>(take);
}

const uint8_t* ByteReader::Skip(int n) {
  SpanReader r;
  if (n < 0 || !ViewAt(position_, &r) || r.empty() || !r.Skip(static_cast<size_t>(n))) return nullptr;
  position_ += n;
  return r.data();
}

int ByteReader::CopyOut(int offset, int n, void* dest, int dest_offset) const {
  SpanReader r;
  if (n < 0 || dest_offset < 0 || !ViewAt(offset, &r)) return kErrReadPastEnd;
  return r.CopyBytes(static_cast<uint8_t*>(dest) + dest_offset, static_cast<size_t>(n)) ? kOk : kErrReadPastEnd;
}

// ---- Byte-order functions ----

void PutUIntBE(uint64_t value, void* buffer, int offset, int n) {
  uint8_t* p = static_cast<uint8_t*>(buffer) + offset;
  for (int i = n - 1; i >= 0; --i) {
    p[i] = static_cast<uint8_t>(value);
    value >>= 8;
  }
}

uint32_t LoadUIntBE(const void* buffer, int offset, int n) {
  const uint8_t* p = static_cast<const uint8_t*>(buffer) + offset;
  uint32_t v = 0;
  for (int i = 0; i < n && i < 4; ++i) v = (v << 8) | p[i];
  return v;
}

uint32_t LoadUIntBEBounded(const void* buffer, int length, int offset, int n) {
  if (offset < 0 || offset >= length) return 0;
  if (n > length - offset) n = length - offset;
  return LoadUIntBE(buffer, offset, n);
}

uint64_t LoadUInt64BE(const void* bytes, int n) {
  const uint8_t* p = static_cast<const uint8_t*>(bytes);
  uint64_t v = 0;
  for (int i = 0; i < n && i < 8; ++i) v = (v << 8) | p[i];
  return v;
}

uint64_t LoadUInt64LE(const void* bytes, int n) {
  const uint8_t* p = static_cast<const uint8_t*>(bytes);
  uint64_t v = 0;
  for (int i = (n < 8 ? n : 8) - 1; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

uint32_t LoadUInt32LE(const void* buffer, int offset) {
  return static_cast<uint32_t>(LoadUInt64LE(static_cast<const uint8_t*>(buffer) + offset, 4));
}

int PutUInt64LE(ByteString& out, uint64_t value, int n) {
  uint8_t b[8];
  if (n < 0) n = 0;
  if (n > 8) n = 8;
  for (int i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(value >> (8 * i));
  return out.Set(b, n);
}

uint64_t ByteSwap64(uint64_t v) { return __builtin_bswap64(v); }

uint32_t ByteSwapN(uint32_t v, int n) {
  switch (n) {
    case 1: return v & 0xFF;
    case 2: return ((v & 0xFF) << 8) | ((v >> 8) & 0xFF);
    case 3: return ((v & 0xFF) << 16) | (v & 0xFF00) | ((v >> 16) & 0xFF);
    case 8: return 0;
    default: return __builtin_bswap32(v);
  }
}

void ReverseBytes(void* buffer, int n) {
  uint8_t* p = static_cast<uint8_t*>(buffer);
  for (int i = 0, j = n - 1; i < j; ++i, --j) {
    const uint8_t t = p[i];
    p[i] = p[j];
    p[j] = t;
  }
}

bool IsAllAscii(const void* bytes, int n) {
  const uint8_t* p = static_cast<const uint8_t*>(bytes);
  for (int i = 0; i < n; ++i)
    if (p[i] >= 0x80) return false;
  return true;
}

int CountRun(const char* text) {
  if (text == nullptr || *text == '\0') return 0;
  int n = 1;
  while (text[n] == text[0]) ++n;
  return n;
}

void ReplaceByte(void* bytes, int n, uint8_t from, uint8_t to) {
  uint8_t* p = static_cast<uint8_t*>(bytes);
  for (int i = 0; i < n; ++i)
    if (p[i] == from) p[i] = to;
}

int FindBytes(const void* haystack, int n, const void* needle, int m) {
  if (m > n || m < 0) return -1;
  const uint8_t* h = static_cast<const uint8_t*>(haystack);
  for (int i = 0; i + m <= n; ++i)
    if (std::memcmp(h + i, needle, static_cast<size_t>(m)) == 0) return i;
  return -1;
}

int32_t StrToInt(const char* text) {
  if (text == nullptr) return 0;
  const char* p = text;
  const bool negative = *p == '-';
  if (*p == '+' || *p == '-') ++p;
  // Unsigned arithmetic: an over-long number wraps instead of overflowing.
  uint32_t v = 0;
  for (; *p >= '0' && *p <= '9'; ++p) v = v * 10 + static_cast<uint32_t>(*p - '0');
  return static_cast<int32_t>(negative ? 0u - v : v);
}

bool ParseIntBytes(const void* bytes, int n, int32_t* out) {
  ByteString text;
  if (text.Set(bytes, n < 0 ? 0 : n) != kOk) return false;
  *out = StrToInt(text.c_str());
  return true;
}

WordTriple* CloneTriple(const WordTriple& record) {
  WordTriple* copy = new (std::nothrow) WordTriple;
  if (copy != nullptr) *copy = record;
  return copy;
}

}  // namespace tw
