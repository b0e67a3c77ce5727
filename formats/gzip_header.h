// The gzip (RFC 1952) and zlib (RFC 1950) wrappers around raw deflate data: reading a gzip member
// header, and writing headers and trailers.
#pragma once

#include <cstdint>

#include "foundation/byte_ops.h"
#include "foundation/byte_string.h"

namespace tw {

constexpr int kErrGzipHeader = 102;

// FLG bits of a gzip member header.
constexpr uint8_t kGzipFlagText = 0x01;
constexpr uint8_t kGzipFlagHeaderCrc = 0x02;
constexpr uint8_t kGzipFlagExtra = 0x04;
constexpr uint8_t kGzipFlagName = 0x08;
constexpr uint8_t kGzipFlagComment = 0x10;
constexpr uint8_t kGzipReservedFlags = 0xE0;

constexpr int kGzipFixedHeaderSize = 10;
constexpr int kGzipTrailerSize = 8;
constexpr int kZlibHeaderSize = 2;
constexpr int kZlibTrailerSize = 4;

// Walks one member header from *position: the fixed ten bytes, then FEXTRA (2-byte little-endian
// length and that many bytes), FNAME and FCOMMENT (through their NUL) and FHCRC (2 bytes), as
// FLG announces them. 1 when the whole header lies within length (*position then points at the
// compressed data); 0 when more bytes are needed (*position unchanged). Nothing is validated.
int ParseGzipHeader(const uint8_t* buffer, int length, int* position);

// Validates the member header at *position as far as the bytes reach: magic 1F 8B, method 8, no
// reserved flag, and, once complete, the header CRC when FHCRC is set. 102 as soon as the bytes
// show a bad header. Otherwise 0, with *complete telling whether the header is all there (and
// *position then moved past it).
int CheckGzipHeader(const uint8_t* buffer, int length, int* position, bool* complete);

// 1F 8B 08, FLG (FNAME and FCOMMENT when given, non-empty), MTIME little-endian, XFL 0, OS 255,
// then the name and the comment, each with its NUL. 0 or 200.
int AppendGzipHeader(ByteString& out, uint32_t mtime, const char* name, const char* comment);
// CRC-32 and the input length modulo 2^32, both little-endian. 0 or 200.
int AppendGzipTrailer(ByteString& out, uint32_t crc, uint64_t total_length);

// The two bytes the compressor writes in front of zlib-format output (deflate, 32K window,
// default level).
constexpr uint8_t kZlibHeader[kZlibHeaderSize] = {0x78, 0x9C};
// True when CMF and FLG form a zlib header that raw inflate can follow: method 8, a window of at
// most 32K, a correct check value and no preset dictionary.
bool IsZlibHeader(uint8_t cmf, uint8_t flg);
// Adler-32 big-endian. 0 or 200.
int AppendZlibTrailer(ByteString& out, uint32_t adler);

}  // namespace tw
