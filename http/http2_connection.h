// The client side of one HTTP/2 connection: the preface and SETTINGS, one request stream at a
// time (HEADERS, then DATA within both flow-control windows), the frame dispatcher that checks
// each received frame, answers SETTINGS and PING, keeps the windows topped up with WINDOW_UPDATE,
// and hands the response's header pairs, data and end to the handler.
#pragma once

#include <cstdint>

#include "foundation/byte_string.h"
#include "foundation/byte_string_pair.h"
#include "foundation/span_reader.h"
#include "foundation/string_list.h"
#include "http/hpack.h"
#include "http/http2_frame.h"

namespace tw {

// A stream ended by the peer (RST_STREAM with a code, or GOAWAY before it was processed).
constexpr int kErrHttp2StreamReset = 162;

// The most bytes of header block fragments joined before decoding.
constexpr int kH2MaxHeaderBlock = 1048576;
// The most bytes of answers (ACKs, grants) held for a peer that does not read them.
constexpr int kH2MaxOwed = 1048576;

enum Http2StreamState : int {
  kH2Idle = 0,
  kH2Opened = 1,
  kH2ReservedLocal = 2,
  kH2ReservedRemote = 3,
  kH2HalfClosedRemote = 4,
  kH2HalfClosedLocal = 5,
  kH2Closed = 6,
};

const char* Http2StateName(int state);

// What the connection needs from its owner: the wire, a wait step, the response sink, the log.
class Http2Handler {
 public:
  virtual ~Http2Handler() = default;
  // Writes every byte (the transport's send-all loop); 0 or its error.
  virtual int Http2Send(const void* bytes, int n) = 0;
  // Writes what the socket takes now without waiting; *sent gets the count. 0 (also when the
  // socket is full) or the send error.
  virtual int Http2TrySend(const void* bytes, int n, int* sent) {
    *sent = n;
    return Http2Send(bytes, n);
  }
  // One wait step while a window is closed; received bytes come back through Receive. Nonzero
  // ends the wait (interrupted, timed out, connection lost).
  virtual int Http2Wait() = 0;
  virtual void OnHttp2Header(const char* name, int name_n, const char* value, int value_n) = 0;
  virtual void OnHttp2HeadersEnd() = 0;
  virtual void OnHttp2Data(const uint8_t* bytes, int n) = 0;
  virtual void OnHttp2StreamEnd() = 0;
  virtual int Http2LogLevel() const { return 0; }
  virtual void Http2Log(int level, const char* text, const char* type) {}
};

class Http2Connection {
 public:
  explicit Http2Connection(Http2Handler* handler) : handler_(handler) { Reset(); }

  // A fresh connection: stream, tables, windows and peer settings back to their defaults.
  void Reset();
  int SendPreface();
  // Opens the next stream with the request's headers: names and values in turn.
  int SendHeaders(const StringList& headers, bool end_stream, const char* without_indexing);
  // Sends the bytes as DATA frames within both send windows, waiting while either is closed.
  // Stops early (0) when the response already ended the stream.
  int SendData(const void* bytes, int n, bool end_stream);
  // Cancels the stream when it is still open.
  int ResetStream();
  // Ends the stream with the code; refused on a closed stream.
  int SendRstStream(uint32_t code);
  // Grants the peer more window on the stream (id) or the connection (0); refused on a closed
  // stream. Owed grants are merged and go out without blocking.
  int SendWindowUpdate(uint32_t id, uint32_t increment);
  // Feeds received bytes; 0, or the HTTP/2 error of the connection with error_text().
  int Receive(const void* bytes, int n);
  // Sends what the socket takes now of the frames owed to the peer; 0 or the send error.
  int FlushOwed();
  // Bytes owed to the peer that have not gone out yet.
  int owed_bytes() const {
    constexpr int kGrant = kH2FrameHeaderSize + 4;  // a WINDOW_UPDATE frame
    return owed_.length() + (owed_conn_increment_ > 0 ? kGrant : 0) + (owed_stream_increment_ > 0 ? kGrant : 0);
  }

  void set_local_window(int32_t window) { local_window_ = window > 0 ? window : 65535; }
  bool preface_sent() const { return preface_sent_; }
  // A GOAWAY arrived or the connection failed: the next request needs a new connection.
  bool retired() const { return retired_; }
  int stream_state() const { return state_; }
  uint32_t stream_id() const { return stream_id_; }
  bool stream_ended() const { return stream_ended_; }
  // 0, or 162 when the peer ended the stream with an error (text in stream_error_text()).
  int stream_error() const { return stream_error_; }
  const ByteString& stream_error_text() const { return stream_error_text_; }
  const ByteString& error_text() const { return error_text_; }
  int64_t stream_send_window() const { return stream_send_window_; }
  int64_t connection_send_window() const { return conn_send_window_; }
  int64_t stream_receive_window() const { return stream_recv_window_; }
  int64_t connection_receive_window() const { return conn_recv_window_; }
  int32_t peer_max_frame() const { return peer_max_frame_; }
  int32_t peer_header_table_size() const { return peer_header_table_; }

 private:
  int Fail(int code, const char* text);
  // The PROTOCOL_ERROR text naming a state: the stream's own, or IDLE for a stream never opened.
  int FailState(const char* format, int state);
  int FailStateOwn(const char* format) { return FailState(format, state_); }
  int RefuseSend(const char* format);
  // SETTINGS, PING and GOAWAY are refused while the stream is reserved, half closed by the peer
  // or closed by it.
  bool StreamRefusesControl() const;
  int Emit(const void* bytes, int n);
  int SendFrame(uint8_t type, uint8_t flags, uint32_t id, const void* payload, int n);
  // Queues an answer (ACK, GOAWAY, RST_STREAM) and sends what the socket takes now.
  int Answer(uint8_t type, uint8_t flags, uint32_t id, const void* payload, int n);
  int SettleIncrements();
  // The whole frame at the front of in, moved past; frame stays empty while only part of one has
  // come. A frame larger than this side takes fails the connection.
  int NextFrame(SpanReader& in, SpanReader* frame);
  int Dispatch(const SpanReader& frame);
  // The stream checks of a DATA frame, made before its payload is parsed.
  int CheckDataStream(uint32_t id);
  int OnData(const Http2Frame& f);
  int OnHeaders(const Http2Frame& f);
  int OnContinuation(const Http2Frame& f);
  int OnHeaderBlock(uint32_t id, bool end_stream);
  int OnRstStream(const Http2Frame& f);
  int OnPushPromise(const Http2Frame& f);
  int OnSettings(const Http2Frame& f);
  int OnPing(const Http2Frame& f);
  int OnGoaway(const Http2Frame& f);
  int OnWindowUpdate(const Http2Frame& f);
  void PeerEndedStream();
  // Closes the stream and ends it for the handler with the text; by_peer marks it closed by
  // the peer.
  void EndStreamWithError(const char* text, bool by_peer);
  bool IsOurOldStream(uint32_t id) const { return id != 0 && id < stream_id_ && (id & 1) == 1; }
  bool IsIdleStream(uint32_t id) const { return id > last_opened_id_ || (id & 1) == 0; }

  Http2Handler* handler_;
  HpackTable encoder_;
  HpackTable decoder_;
  ByteString input_;
  ByteString header_block_;
  uint32_t continuation_id_ = 0;  // the stream whose header block is being joined, 0 for none
  bool block_end_stream_ = false;
  bool preface_sent_ = false;
  bool retired_ = false;
  uint32_t next_stream_id_ = 1;
  uint32_t last_opened_id_ = 0;

  // The stream.
  int state_ = kH2Idle;
  bool closed_by_peer_ = false;
  bool stream_ended_ = false;
  uint32_t stream_id_ = 0;
  int64_t stream_send_window_ = 65535;
  int64_t stream_recv_window_ = 65535;
  int stream_error_ = 0;
  ByteString stream_error_text_;

  // Settings.
  int32_t peer_header_table_ = 4096;
  int32_t peer_enable_push_ = 0;
  int32_t peer_max_streams_ = 100;
  int32_t peer_initial_window_ = 65535;
  int32_t peer_max_frame_ = kH2DefaultMaxFrame;
  int32_t peer_max_header_list_ = 32768;
  int32_t local_window_ = 65535;
  int64_t conn_send_window_ = 65535;
  int64_t conn_recv_window_ = 65535;

  ByteString error_text_;
  // Frames owed to the peer that the socket has not taken yet, and window grants not yet framed.
  ByteString owed_;
  int64_t owed_conn_increment_ = 0;
  int64_t owed_stream_increment_ = 0;
  uint32_t owed_stream_id_ = 0;
  bool sending_ = false;
  bool failed_ = false;  // a connection error: nothing more is read
  int send_error_ = 0;   // a send failed: nothing more is written
  bool peer_settings_seen_ = false;
  uint64_t settings_grace_until_ = 0;  // the tick until which a body waits for them, 0 unset
};

}  // namespace tw
