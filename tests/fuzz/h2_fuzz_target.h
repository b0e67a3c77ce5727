// One fuzz input through the HTTP/2 frame dispatcher and the HPACK decoder.
//
// Input: a mode byte, then the bytes. Mode bit 0 clear: the bytes are header blocks separated
// by "@@", decoded in turn on one table; every decoded list must encode and decode back to
// itself. Bit 0 set: the bytes are what a server sends after a request went out, fed in reads
// of (mode >> 1) + 1 bytes; the connection may refuse them but must not misbehave.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "http/hpack.h"
#include "http/http2_connection.h"

namespace h2fuzz {

class Sink : public tw::Http2Handler {
 public:
  int Http2Send(const void*, int n) override { return n >= 0 ? 0 : 1; }
  int Http2Wait() override { return 1; }
  void OnHttp2Header(const char* name, int name_n, const char* value, int value_n) override {
    bytes += static_cast<size_t>(name_n + value_n) + std::strlen(name) * 0;
    (void)value;
  }
  void OnHttp2HeadersEnd() override { ++blocks; }
  void OnHttp2Data(const uint8_t* data, int n) override { bytes += data != nullptr ? n : 0; }
  void OnHttp2StreamEnd() override { ++ends; }
  size_t bytes = 0;
  int blocks = 0;
  int ends = 0;
};

inline int DecodeBlocks(const uint8_t* data, size_t size) {
  tw::HpackTable table;
  size_t at = 0;
  while (at <= size) {
    const void* mark = size - at >= 2 ? memmem(data + at, size - at, "@@", 2) : nullptr;
    const size_t end = mark != nullptr ? static_cast<const uint8_t*>(mark) - data : size;
    tw::StringList out;
    int update = 0;
    const char* why = nullptr;
    const int rc = tw::HpackDecodeBlock(data + at, static_cast<int>(end - at), table,
                                        tw::kHpackDefaultTableSize, out, &update, &why);
    if (rc != 0) return 0;
    // What was decoded must survive the encoder and a fresh decoder unchanged.
    tw::ByteStringPairArray pairs;
    for (int i = 0; i + 1 < out.Count(); i += 2) {
      if (std::memchr(out.Get(i), 0, out.GetLength(i)) != nullptr ||
          std::memchr(out.Get(i + 1), 0, out.GetLength(i + 1)) != nullptr) {
        continue;
      }
      pairs.Add(out.Get(i), out.Get(i + 1));
    }
    tw::HpackTable enc;
    tw::HpackTable dec;
    tw::ByteString block;
    if (tw::HpackEncodeBlock(pairs, (end & 1) != 0, "", enc, block) != 0) return 0;
    tw::StringList back;
    if (tw::HpackDecodeBlock(block.bytes(), block.length(), dec, tw::kHpackDefaultTableSize,
                             back, &update, &why) != 0 ||
        back.Count() != pairs.Count() * 2) {
      __builtin_trap();
    }
    for (int i = 0; i < pairs.Count(); ++i) {
      if (std::strcmp(back.Get(2 * i), pairs.PairAt(i)->first.c_str()) != 0 ||
          std::strcmp(back.Get(2 * i + 1), pairs.PairAt(i)->second.c_str()) != 0) {
        __builtin_trap();
      }
    }
    at = end + 2;
  }
  return 0;
}

inline int FeedConnection(const uint8_t* data, size_t size, int read_size) {
  Sink sink;
  tw::Http2Connection c(&sink);
  if (c.SendPreface() != 0) return 0;
  tw::StringList h;
  h.AddText(":method");
  h.AddText("PUT");
  h.AddText(":path");
  h.AddText("/");
  if (c.SendHeaders(h, false, "") != 0) return 0;
  for (size_t at = 0; at < size; at += static_cast<size_t>(read_size)) {
    const size_t n = size - at < static_cast<size_t>(read_size) ? size - at : read_size;
    if (c.Receive(data + at, static_cast<int>(n)) != 0) break;
    if (!c.stream_ended()) c.SendData("abc", 3, false);
  }
  return 0;
}

inline int FuzzOne(const uint8_t* data, size_t size) {
  if (size < 1 || size > (1u << 20)) return 0;
  const uint8_t mode = data[0];
  if ((mode & 1) == 0) return DecodeBlocks(data + 1, size - 1);
  return FeedConnection(data + 1, size - 1, (mode >> 1) + 1);
}

}  // namespace h2fuzz
