// HTTP/2 frames: the 9-byte header, the payload of each type, their error codes and texts.
#pragma once

#include <cstdint>

#include "foundation/byte_reader.h"
#include "foundation/byte_string.h"
#include "foundation/span_writer.h"

namespace tw {

enum Http2FrameType : uint8_t {
  kH2Data = 0,
  kH2Headers = 1,
  kH2Priority = 2,
  kH2RstStream = 3,
  kH2Settings = 4,
  kH2PushPromise = 5,
  kH2Ping = 6,
  kH2Goaway = 7,
  kH2WindowUpdate = 8,
  kH2Continuation = 9,
};

constexpr uint8_t kH2FlagEndStream = 0x1;
constexpr uint8_t kH2FlagAck = 0x1;
constexpr uint8_t kH2FlagEndHeaders = 0x4;
constexpr uint8_t kH2FlagPadded = 0x8;
constexpr uint8_t kH2FlagPriority = 0x20;

constexpr int kH2FrameHeaderSize = 9;
constexpr int kH2DefaultMaxFrame = 16384;
constexpr int kH2LargestMaxFrame = 16777215;
constexpr int64_t kH2MaxWindow = 0x7FFFFFFF;

// HTTP/2 error codes this side reports.
constexpr int kH2ProtocolError = 1;
constexpr int kH2InternalError = 2;
constexpr int kH2FlowControlError = 3;
constexpr int kH2FrameSizeError = 6;
constexpr int kH2Cancel = 8;
constexpr int kH2CompressionError = 9;

// Settings identifiers.
enum Http2Setting : uint16_t {
  kH2HeaderTableSize = 1,
  kH2EnablePush = 2,
  kH2MaxConcurrentStreams = 3,
  kH2InitialWindowSize = 4,
  kH2MaxFrameSize = 5,
  kH2MaxHeaderListSize = 6,
};

// The name logged for a frame type ("UnKnownFrame" past 9).
const char* Http2FrameName(int type);
// The name text and description of an error code; other codes format into *scratch.
const char* Http2ErrorName(uint32_t code, ByteString* scratch);
const char* Http2ErrorDescription(uint32_t code);

struct Http2Frame {
  uint32_t length = 0;
  uint8_t type = 0;
  uint8_t flags = 0;
  uint32_t stream_id = 0;
  // The payload without padding, pad length and priority fields (DATA, HEADERS, PUSH_PROMISE,
  // CONTINUATION); the whole payload for the other types.
  const uint8_t* body = nullptr;
  int body_length = 0;
  uint8_t pad_length = 0;
  uint32_t dependency = 0;
  uint8_t weight = 0;
  uint32_t promised_id = 0;

  bool Has(uint8_t flag) const { return (flags & flag) != 0; }
};

// Reads a frame header and strips padding and priority fields from the payload that follows it.
// 0, or the HTTP/2 error with *why set when the padding or fields do not fit the payload.
int ParseHttp2Frame(const uint8_t* frame, int n, Http2Frame* out, ByteString* why);

// Appends one frame; a nonzero pad length sets PADDED and adds that many zero bytes.
int AppendHttp2Frame(SpanWriter& w, uint8_t type, uint8_t flags, uint32_t stream_id,
                     const void* payload, int n, int pad_length = 0);
int AppendHttp2Frame(BufferWriter& w, uint8_t type, uint8_t flags, uint32_t stream_id,
                     const void* payload, int n, int pad_length = 0);

}  // namespace tw
