#include "http/http2_frame.h"

#include <cstdio>

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
  ByteReader r(frame, 0, n);
  uint32_t length = 0;
  uint32_t type = 0;
  uint32_t flags = 0;
  uint32_t id = 0;
  if (r.ReadU24(&length) != 0 || r.ReadU8(&type) != 0 || r.ReadU8(&flags) != 0 ||
      r.ReadU32(&id) != 0 || r.CheckRemaining(static_cast<int>(length)) != 0) {
    why->SetText("FRAME_SIZE_ERROR: Incomplete frame.");
    return kH2FrameSizeError;
  }
  out->length = length;
  out->type = static_cast<uint8_t>(type);
  out->flags = static_cast<uint8_t>(flags);
  out->stream_id = id & 0x7FFFFFFF;  // the reserved bit is ignored
  out->pad_length = 0;
  out->dependency = 0;
  out->weight = 0;
  out->promised_id = 0;
  const uint8_t* p = frame + kH2FrameHeaderSize;
  int left = static_cast<int>(length);
  const bool paddable = type == kH2Data || type == kH2Headers || type == kH2PushPromise;
  if (paddable && out->Has(kH2FlagPadded)) {
    if (left < 1 || p[0] >= left) {
      const int pad = left < 1 ? 0 : p[0];
      if (type == kH2Data) {
        why->Format("PROTOCOL_ERROR: Receive Data Frame with PadLength %d more than dataLen %d.", pad,
                    left - pad - 1);
      } else {
        why->SetText(type == kH2Headers
                         ? "PROTOCOL_ERROR: Receive HeadersFrame have padLength more than dataLength"
                         : "PROTOCOL_ERROR: Receive PushPromise Frame with PadLength more than dataLen.");
      }
      return kH2ProtocolError;
    }
    out->pad_length = p[0];
    ++p;
    left -= 1 + out->pad_length;
  }
  if (type == kH2Headers && out->Has(kH2FlagPriority)) {
    if (left < 5) {
      why->SetText("FRAME_SIZE_ERROR: Receive HeadersFrame too short for its priority fields.");
      return kH2FrameSizeError;
    }
    out->dependency = LoadUIntBE(p, 0, 4) & 0x7FFFFFFF;
    out->weight = p[4];
    p += 5;
    left -= 5;
  }
  if (type == kH2PushPromise) {
    if (left < 4) {
      why->SetText("FRAME_SIZE_ERROR: Receive PushPromise Frame too short.");
      return kH2FrameSizeError;
    }
    out->promised_id = LoadUIntBE(p, 0, 4) & 0x7FFFFFFF;
    p += 4;
    left -= 4;
  }
  out->body = p;
  out->body_length = left;
  return 0;
}

int AppendHttp2Frame(BufferWriter& w, uint8_t type, uint8_t flags, uint32_t stream_id,
                     const void* payload, int n, int pad_length) {
  const int start = w.Length();
  if (pad_length > 0) flags |= kH2FlagPadded;
  int rc = w.WriteU24(0);
  if (rc == 0) rc = w.WriteU8(type);
  if (rc == 0) rc = w.WriteU8(flags);
  if (rc == 0) rc = w.WriteU32(stream_id & 0x7FFFFFFF);
  if (rc == 0 && pad_length > 0) rc = w.WriteU8(static_cast<uint32_t>(pad_length));
  if (rc == 0) rc = w.WriteBytes(payload, 0, n);
  for (int i = 0; rc == 0 && i < pad_length; ++i) rc = w.WriteU8(0);
  if (rc == 0) rc = w.PutU24At(start, static_cast<uint32_t>(w.Length() - start - kH2FrameHeaderSize));
  return rc;
}

}  // namespace tw
