#include "formats/gzip_header.h"

#include <cstring>

#include "formats/crc32.h"

namespace tw {

namespace {

constexpr uint8_t kGzipId1 = 0x1F;
constexpr uint8_t kGzipId2 = 0x8B;
constexpr uint8_t kMethodDeflate = 8;
constexpr uint8_t kOsUnknown = 255;
constexpr int kFlagOffset = 3;

constexpr uint8_t kZlibFlagDictionary = 0x20;

// Index just past the NUL that ends a text starting at from, or -1 when it is not there yet.
int SkipText(const uint8_t* buffer, int length, int from) {
  if (from >= length) return -1;
  const void* nul = std::memchr(buffer + from, 0, static_cast<size_t>(length - from));
  if (nul == nullptr) return -1;
  return static_cast<int>(static_cast<const uint8_t*>(nul) - buffer) + 1;
}

}  // namespace

int ParseGzipHeader(const uint8_t* buffer, int length, int* position) {
  const int start = *position;
  if (buffer == nullptr || start < 0 || length - start < kGzipFixedHeaderSize) return 0;
  const uint8_t flags = buffer[start + kFlagOffset];
  // 64-bit so that a header near the int limit cannot wrap the arithmetic.
  int64_t p = start + kGzipFixedHeaderSize;
  if (flags & kGzipFlagExtra) {
    if (length - p < 2) return 0;
    p += 2 + (buffer[p] | buffer[p + 1] << 8);
    if (p > length) return 0;
  }
  if (flags & kGzipFlagName) {
    const int next = SkipText(buffer, length, static_cast<int>(p));
    if (next < 0) return 0;
    p = next;
  }
  if (flags & kGzipFlagComment) {
    const int next = SkipText(buffer, length, static_cast<int>(p));
    if (next < 0) return 0;
    p = next;
  }
  if (flags & kGzipFlagHeaderCrc) {
    p += 2;
    if (p > length) return 0;
  }
  *position = static_cast<int>(p);
  return 1;
}

int CheckGzipHeader(const uint8_t* buffer, int length, int* position, bool* complete) {
  *complete = false;
  const int start = *position;
  if (buffer == nullptr || start < 0 || start > length) return kErrGzipHeader;
  const uint8_t* h = buffer + start;
  const int have = length - start;
  // Checked as far as the bytes go, so a body that is not gzip fails on its first bytes
  // instead of being collected while waiting for a header that never completes.
  if (have > 0 && h[0] != kGzipId1) return kErrGzipHeader;
  if (have > 1 && h[1] != kGzipId2) return kErrGzipHeader;
  if (have > 2 && h[2] != kMethodDeflate) return kErrGzipHeader;
  if (have > kFlagOffset && (h[kFlagOffset] & kGzipReservedFlags)) return kErrGzipHeader;
  int end = start;
  if (ParseGzipHeader(buffer, length, &end) == 0) return kOk;
  if (h[kFlagOffset] & kGzipFlagHeaderCrc) {
    const uint16_t stored = static_cast<uint16_t>(buffer[end - 2] | buffer[end - 1] << 8);
    const uint32_t crc = Crc32Of(h, static_cast<size_t>(end - 2 - start));
    if (stored != static_cast<uint16_t>(crc & 0xFFFF)) return kErrGzipHeader;
  }
  *position = end;
  *complete = true;
  return kOk;
}

int AppendGzipHeader(ByteString& out, uint32_t mtime, const char* name, const char* comment) {
  const bool has_name = name != nullptr && name[0] != 0;
  const bool has_comment = comment != nullptr && comment[0] != 0;
  uint8_t fixed[kGzipFixedHeaderSize] = {kGzipId1, kGzipId2, kMethodDeflate, 0};
  fixed[kFlagOffset] =
      static_cast<uint8_t>((has_name ? kGzipFlagName : 0) | (has_comment ? kGzipFlagComment : 0));
  StoreLe32(fixed + 4, mtime);
  fixed[8] = 0;  // XFL
  fixed[9] = kOsUnknown;
  int rc = out.Append(fixed, sizeof fixed);
  // Each text goes with its terminating NUL.
  if (rc == kOk && has_name) rc = out.Append(name, static_cast<int>(std::strlen(name)) + 1);
  if (rc == kOk && has_comment) {
    rc = out.Append(comment, static_cast<int>(std::strlen(comment)) + 1);
  }
  return rc;
}

int AppendGzipTrailer(ByteString& out, uint32_t crc, uint64_t total_length) {
  uint8_t trailer[kGzipTrailerSize];
  StoreLe32(trailer, crc);
  StoreLe32(trailer + 4, static_cast<uint32_t>(total_length));
  return out.Append(trailer, sizeof trailer);
}

bool IsZlibHeader(uint8_t cmf, uint8_t flg) {
  if ((cmf & 0x0F) != kMethodDeflate || (cmf >> 4) > 7) return false;
  if ((flg & kZlibFlagDictionary) != 0) return false;
  return ((static_cast<unsigned>(cmf) << 8) | flg) % 31 == 0;
}

int AppendZlibTrailer(ByteString& out, uint32_t adler) {
  const uint8_t trailer[kZlibTrailerSize] = {
      static_cast<uint8_t>(adler >> 24), static_cast<uint8_t>(adler >> 16),
      static_cast<uint8_t>(adler >> 8), static_cast<uint8_t>(adler)};
  return out.Append(trailer, sizeof trailer);
}

}  // namespace tw
