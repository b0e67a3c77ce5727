#include "http/http2_frame.h"

#include <cstdio>

#include "foundation/span_reader.h"

namespace tw {
namespace {

constexpr const char* kFrameNames[] = {
    "DataFrame",        "HeadersFrame", "PriorityFrame",   "RstSteamFrame",     "SettingsFrame",
    "PushPromishFrame", "PingFrame",    "GoawayFrame",     "WindowUpdateFrame", "ContinuationFrame",
};

struct ErrorText {
  const char* name;
  const char* description;
};

constexpr ErrorText kErrors[] = {
    {"0x0 (NO_ERROR)", "Graceful shutdown."},
    {"0x1 (PROTOCOL_ERROR)", "Unspecified protocol error."},
    {"0x2 (INTERNAL_ERROR)", "The endpoint encountered an unexpected internal error."},
    {"0x3 (FLOW_CONTROL_ERROR)", "The endpoint detected flow-control protocol violation."},
    {"0x4 (SETTINGS_TIMEOUT)", "The endpoint did not received a timely response to a SETTINGS frame."},
    {"0x5 (STREAM_CLOSED)", "The endpoint received a frame after it was closed."},
    {"0x6 (FRAME_SIZE_ERROR)", "The endpoint received a frame with an invalid size."},
    {"0x7 (REFUSED_STREAM)", "The endpoint refues the stream."},
    {"0x8 (CANCEL)", "The stream was no longer needed."},
    {"0x9 (COMPRESSION_ERROR)", "The header compression context could not be maintained."},
    {"0xa (CONNECT_ERROR)", "The connection in response to a CONNECT request was reset."},
    {"0xb (ENHANCE_YOUR_CALM)", "The endpoint detected excessive load."},
    {"0xc (INADEQUATE_SECURITY)",
     "The underlying transport does not meet minimum security requirements."},
    {"0xd (HTTP_1_1_REQUIRED)", "The endpoint requires that HTTP/1.1 be used."},
};
constexpr int kErrorCount = static_cast<int>(sizeof(kErrors) / sizeof(kErrors[0]));

}  // namespace

const char* Http2FrameName(int type) {
  return type >= 0 && type <= kH2Continuation ? kFrameNames[type] : "UnKnownFrame";
}

const char* Http2ErrorName(uint32_t code, ByteString* scratch) {
  if (code >= 1 && code < static_cast<uint32_t>(kErrorCount)) return kErrors[code].name;
  scratch->Format("0x%x (INTERNAL_ERROR)", code);
  return scratch->c_str();
}

const char* Http2ErrorDescription(uint32_t code) {
  if (code >= 1 && code < static_cast<uint32_t>(kErrorCount)) return kErrors[code].description;
  return kErrors[kH2InternalError].description;
}

int ParseHttp2Frame(const uint8_t* frame, int n, Http2Frame* out, ByteString* why) {
  SpanReader r(frame, static_cast<size_t>(n > 0 ? n : 0)), payload;
  uint32_t length = 0;
  uint8_t type = 0;
  uint8_t flags = 0;
  uint32_t id = 0;
  if (!r.ReadU24(&length) || !r.ReadU8(&type) || !r.ReadU8(&flags) || !r.ReadU32(&id) ||
      !r.ReadBytes(length, &payload)) {
    why->SetText("FRAME_SIZE_ERROR: Incomplete frame.");
    return kH2FrameSizeError;
  }
  out->length = length;
  out->type = type;
  out->flags = flags;
  out->stream_id = id & 0x7FFFFFFF;  // the reserved bit is ignored
  out->pad_length = 0;
  out->dependency = 0;
  out->weight = 0;
  out->promised_id = 0;
  const bool paddable = type == kH2Data || type == kH2Headers || type == kH2PushPromise;
  if (paddable && out->Has(kH2FlagPadded)) {
    uint8_t pad = 0;
    SpanReader padding;
    if (!payload.ReadU8(&pad) || !payload.ReadTail(pad, &padding)) {
      if (type == kH2Data) {
        why->Format("PROTOCOL_ERROR: Receive Data Frame with PadLength %d more than dataLen %d.", pad,
                    static_cast<int>(length) - pad - 1);
      } else {
        why->SetText(type == kH2Headers
                         ? "PROTOCOL_ERROR: Receive HeadersFrame have padLength more than dataLength"
                         : "PROTOCOL_ERROR: Receive PushPromise Frame with PadLength more than dataLen.");
      }
      return kH2ProtocolError;
    }
    out->pad_length = pad;
  }
  if (type == kH2Headers && out->Has(kH2FlagPriority)) {
    uint32_t dependency = 0;
    SpanReader priority;
    if (!payload.ReadBytes(5, &priority)) {
      why->SetText("FRAME_SIZE_ERROR: Receive HeadersFrame too short for its priority fields.");
      return kH2FrameSizeError;
    }
    priority.ReadU32(&dependency);
    priority.ReadU8(&out->weight);
    out->dependency = dependency & 0x7FFFFFFF;
  }
  if (type == kH2PushPromise) {
    uint32_t promised = 0;
    if (!payload.ReadU32(&promised)) {
      why->SetText("FRAME_SIZE_ERROR: Receive PushPromise Frame too short.");
      return kH2FrameSizeError;
    }
    out->promised_id = promised & 0x7FFFFFFF;
  }
  out->body = payload.data();
  out->body_length = static_cast<int>(payload.remaining());
  return 0;
}

int AppendHttp2Frame(SpanWriter& w, uint8_t type, uint8_t flags, uint32_t stream_id,
                     const void* payload, int n, int pad_length) {
  const bool padded = pad_length > 0;
  w.U24(static_cast<uint32_t>(n + (padded ? 1 + pad_length : 0)));
  w.U8(type);
  w.U8(padded ? flags | kH2FlagPadded : flags);
  w.U32(stream_id & 0x7FFFFFFF);
  if (padded) w.U8(static_cast<uint8_t>(pad_length));
  if (n > 0) w.Bytes(payload, static_cast<size_t>(n));
  if (padded) w.Zeros(static_cast<size_t>(pad_length));
  return w.rc();
}

int AppendHttp2Frame(BufferWriter& w, uint8_t type, uint8_t flags, uint32_t stream_id,
                     const void* payload, int n, int pad_length) {
  ByteString frame;
  SpanWriter out(frame);
  const int rc = AppendHttp2Frame(out, type, flags, stream_id, payload, n, pad_length);
  return rc != 0 ? rc : w.WriteString(frame);
}

}  // namespace tw
