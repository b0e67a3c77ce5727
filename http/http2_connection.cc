#include "http/http2_connection.h"

#include <cstdio>

#include "platform/time.h"

namespace tw {
namespace {

constexpr char kPreface[] = "PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n";
constexpr int kPrefaceLength = 24;
// How long a body waits for the server's first SETTINGS before it starts within the default window.
constexpr uint64_t kSettingsGraceMillis = 250;

constexpr const char* kStateNames[] = {"IDLE",   "OPENED",           "RESERVED_LOCAL",
                                       "RESERVED_REMOTE", "HALFCLOSED_REMOTE", "HALFCLOSED_LOCAL",
                                       "CLOSED"};

constexpr const char* kSettingLogs[] = {
    "HTTP / 2 Settings frame received. HTTP2_SETTINGS_HEADER_TABLE_SIZE : %d.",
    "HTTP / 2 Settings frame received. HTTP2_SETTINGS_ENABLE_PUSH : %d.",
    "HTTP / 2 Settings frame received. HTTP2_SETTINGS_MAX_CONCURRENT_STREAMS : %d.",
    "HTTP / 2 Settings frame received. HTTP2_SETTINGS_INITIAL_WINDOW_SIZE : %d.",
    "HTTP / 2 Settings frame received. HTTP2_SETTINGS_MAX_FRAME_SIZE : %d.",
    "HTTP / 2 Settings frame received. HTTP2_SETTINGS_MAX_HEADER_LIST_SIZE : %d.",
};

constexpr char kTextDataOnZero[] = "PROTOCOL_ERROR: Receive Data Frame with StreamIdentifier is 0.";
constexpr char kTextHeadersState[] = "PROTOCOL_ERROR: Receive Headers Frame with error state %s.";
constexpr char kTextRstOnZero[] = "PROTOCOL_ERROR: Receive RstStream Frame with StreamIdentifier is 0.";
constexpr char kTextRstState[] = "PROTOCOL_ERROR: Receive RstStream Frame with error state %s.";
constexpr char kTextRstReset[] = "HTTP/2 Protocol Error: Stream reset. %s Error code %s.";
constexpr char kTextSettingsAck[] =
    "FRAME_SIZE_ERROR: Receive Settings Frame with Ack Flags but payloadLen is %d not 0.";
constexpr char kTextPush[] =
    "PROTOCOL_ERROR: Receive PushPromise Frame, but enable accept PushPromise ia false.";
constexpr char kTextPingOnStream[] = "PROTOCOL_ERROR: Receive Ping Frame with StreamIdentifier is not 0.";
constexpr char kTextPingSize[] =
    "FRAME_SIZE_ERROR: Receive Ping Frame with PadLen %d differet from Ping Frame PadLen should be %d.";
constexpr char kTextGoawayOnStream[] =
    "PROTOCOL_ERROR: Receive GoAway Frame with StreamIdentifier is not 0.";
constexpr char kTextGoaway[] = "HTTP/2 GOAWAY frame received. (Error: %s-%s)";
constexpr char kTextGoawayUnprocessed[] =
    "HTTP/2 GOAWAY frame received: the server closed the connection before processing the request.";
constexpr char kTextWindowState[] = "PROTOCOL_ERROR: Receive WindowUpdate Frame with error state %s.";
constexpr char kTextWindowSize[] =
    "FRAME_SIZE_ERROR: Receive WindowUpdate Frame with PadLen %d differet from PadLen should be %d.";
constexpr char kTextWindowZero[] =
    "PROTOCOL_ERROR: Receive WindowUpdata Frame with WindowIncrement is 0.";
constexpr char kTextWindowOverflow[] =
    "FLOW_CONTROL_ERROR: A WINDOW_UPDATE made a flow-control window larger than 2^31-1.";
constexpr char kTextContinuationState[] =
    "PROTOCOL_ERROR: Receive Continuation Frame with error state %s.";
constexpr char kTextContinuationExpected[] =
    "PROTOCOL_ERROR: A header block was interrupted by another frame before END_HEADERS.";
constexpr char kTextContinuationStray[] =
    "PROTOCOL_ERROR: Receive Continuation Frame without a header block to continue.";
constexpr char kTextBlockTooLarge[] = "PROTOCOL_ERROR: Header block larger than 1048576 bytes.";
constexpr char kTextFrameTooLarge[] = "FRAME_SIZE_ERROR: Receive Frame of %u bytes, more than %d.";
constexpr char kTextIdleStream[] = "PROTOCOL_ERROR: Receive %s on stream %u that was never opened.";
constexpr char kTextOnZero[] = "PROTOCOL_ERROR: Receive %s with StreamIdentifier is 0.";
constexpr char kTextRecvWindow[] =
    "FLOW_CONTROL_ERROR: Receive Data Frame larger than the receive window.";
constexpr char kTextBadSetting[] = "PROTOCOL_ERROR: Receive Settings Frame with %s %u.";
constexpr char kTextSettingsSize[] =
    "FRAME_SIZE_ERROR: Receive Settings Frame with a payload length %d not a multiple of 6.";
constexpr char kTextSettingsOnStream[] =
    "PROTOCOL_ERROR: Receive Settings Frame with StreamIdentifier is not 0.";
constexpr char kTextInitialWindow[] =
    "FLOW_CONTROL_ERROR: Receive Settings Frame with INITIAL_WINDOW_SIZE above 2^31-1.";
constexpr char kTextFixedSize[] = "FRAME_SIZE_ERROR: Receive %s with a payload length of %d.";
constexpr char kTextSendDataState[] = "PROTOCOL_ERROR: Send Data Frame with error state %s.";
constexpr char kTextSendHeadersCount[] = "PROTOCOL_ERROR: Send Headers Frame headersSize is %d.";
constexpr char kTextSendHeadersState[] = "PROTOCOL_ERROR: Send Headers Frame with error state %s.";
constexpr char kTextSendRstState[] = "PROTOCOL_ERROR: Send RstStream Frame with error state %s.";
constexpr char kTextSendWindowState[] = "PROTOCOL_ERROR: Send WindowUpdate Frame with error state %s.";
constexpr char kTextSettingsState[] = "PROTOCOL_ERROR: Receive Settings Frame with error state %s.";
constexpr char kTextPingState[] = "PROTOCOL_ERROR: Receive Ping Frame with error state %s.";
constexpr char kTextGoawayState[] = "PROTOCOL_ERROR: Receive GoAway Frame with error state %s.";
constexpr char kTextPushOnZero[] = "PROTOCOL_ERROR: Receive PushPromise Frame with StreamIdentifier is 0.";
constexpr char kTextPushState[] = "PROTOCOL_ERROR: Receive PushPromise Frame with error state %s.";
constexpr char kTextRetired[] = "The HTTP/2 connection was closed by the server (GOAWAY).";
constexpr char kTextStreamIds[] = "The HTTP/2 connection has used all its stream identifiers.";
constexpr char kTextCompression[] = "COMPRESSION_ERROR: %s.";
constexpr char kTextSizeUpdate[] = "HTTP/2 Headers frame received. SETTINGS_HEADER_TABLE_SIZE : %d.";
constexpr char kTextRstBeforeEnd[] =
    "HTTP/2 Protocol Error: Stream reset before the response ended. Error code 0x0 (NO_ERROR).";

}  // namespace

const char* Http2StateName(int state) {
  return state >= 0 && state <= kH2Closed ? kStateNames[state] : "UNKNOWN";
}

void Http2Connection::Reset() {
  encoder_.Refill();
  decoder_.Refill();
  input_.Reset();
  header_block_.Reset();
  continuation_id_ = 0;
  block_end_stream_ = false;
  preface_sent_ = false;
  retired_ = false;
  next_stream_id_ = 1;
  last_opened_id_ = 0;
  state_ = kH2Idle;
  closed_by_peer_ = false;
  stream_ended_ = false;
  stream_id_ = 0;
  stream_send_window_ = 65535;
  stream_recv_window_ = local_window_;
  stream_error_ = 0;
  stream_error_text_.Reset();
  peer_header_table_ = 4096;
  peer_enable_push_ = 0;
  peer_max_streams_ = 100;
  peer_initial_window_ = 65535;
  peer_max_frame_ = kH2DefaultMaxFrame;
  peer_max_header_list_ = 32768;
  conn_send_window_ = 65535;
  conn_recv_window_ = 65535;
  error_text_.Reset();
  owed_.Reset();
  owed_conn_increment_ = 0;
  owed_stream_increment_ = 0;
  owed_stream_id_ = 0;
  failed_ = false;
  send_error_ = 0;
  sending_ = false;
  peer_settings_seen_ = false;
  settings_grace_until_ = 0;
}

int Http2Connection::Fail(int code, const char* text) {
  error_text_.SetText(text);
  failed_ = true;
  if (!retired_) {
    // Tell the peer why, then never use this connection again.
    ByteString payload;
    SpanWriter w(payload);
    w.U32(last_opened_id_);
    w.U32(static_cast<uint32_t>(code));
    retired_ = true;
    Answer(kH2Goaway, 0, 0, payload.data(), payload.length());
  }
  return code;
}

int Http2Connection::FailState(const char* format, int state) {
  ByteString text;
  text.Format(format, Http2StateName(state));
  return Fail(kH2ProtocolError, text.c_str());
}

int Http2Connection::RefuseSend(const char* format) {
  // A send in the wrong state is the caller's mistake: the connection itself stays usable.
  error_text_.Format(format, Http2StateName(state_));
  return kH2ProtocolError;
}

bool Http2Connection::StreamRefusesControl() const {
  // Connection frames are checked against the stream only once one was opened: the server's
  // first SETTINGS may come before any.
  if (stream_id_ == 0) return false;
  return state_ == kH2ReservedLocal || state_ == kH2ReservedRemote ||
         state_ == kH2HalfClosedRemote || closed_by_peer_;
}

int Http2Connection::Emit(const void* bytes, int n) {
  if (send_error_ != 0) return send_error_;
  // A frame made while another is going out (an answer to what arrived during a blocked send)
  // waits for it: frames never interleave on the wire. What is owed goes first, in order.
  if (sending_) return owed_.Append(bytes, n) == 0 ? 0 : kErrOutOfMemory;
  sending_ = true;
  int rc = SettleIncrements();
  while (rc == 0 && !owed_.empty()) {
    ByteString next(std::move(owed_));
    owed_.Reset();
    rc = handler_->Http2Send(next.data(), next.length());
  }
  if (rc == 0) rc = handler_->Http2Send(bytes, n);
  sending_ = false;
  if (rc != 0) {
    send_error_ = rc;
    return rc;
  }
  return FlushOwed();
}

int Http2Connection::Answer(uint8_t type, uint8_t flags, uint32_t id, const void* payload, int n) {
  // Answers are queued rather than sent blocking: a peer that stops reading must not stop this
  // side from reading. Past the bound the peer has stopped reading: further answers are dropped.
  ByteString frame;
  SpanWriter w(frame);
  const int rc = AppendHttp2Frame(w, type, flags, id, payload, n);
  if (rc != 0) return rc;
  // Far behind: the Timeout ends the connection if it stays so.
  if (owed_.length() + frame.length() > kH2MaxOwed) return 0;
  if (owed_.Append(frame.data(), frame.length()) != 0) return kErrOutOfMemory;
  return FlushOwed();
}

int Http2Connection::SettleIncrements() {
  // Window grants not yet sent travel as one WINDOW_UPDATE each for the connection and stream.
  const struct { uint32_t id; int64_t* increment; } grants[] = {
      {0, &owed_conn_increment_}, {owed_stream_id_, &owed_stream_increment_}};
  for (const auto& g : grants) {
    if (*g.increment <= 0) continue;
    uint8_t payload[4];
    PutUIntBE(static_cast<uint32_t>(*g.increment), payload, 0, 4);
    ByteString frame;
    SpanWriter w(frame);
    int rc = AppendHttp2Frame(w, kH2WindowUpdate, 0, g.id, payload, 4);
    if (rc == 0) rc = owed_.Append(frame.data(), frame.length()) == 0 ? 0 : kErrOutOfMemory;
    if (rc != 0) return rc;
    *g.increment = 0;
  }
  return 0;
}

int Http2Connection::FlushOwed() {
  if (sending_ || send_error_ != 0) return 0;
  int rc = SettleIncrements();
  while (rc == 0 && !owed_.empty()) {
    int sent = 0;
    rc = handler_->Http2TrySend(owed_.data(), owed_.length(), &sent);
    if (sent > 0) owed_.EraseFront(sent < owed_.length() ? sent : owed_.length());
    if (rc == 0 && sent <= 0) break;  // the socket is full: the rest goes when it drains
  }
  if (rc != 0) send_error_ = rc;
  return rc;
}

int Http2Connection::SendFrame(uint8_t type, uint8_t flags, uint32_t id, const void* payload, int n) {
  ByteString frame;
  SpanWriter w(frame);
  const int rc = AppendHttp2Frame(w, type, flags, id, payload, n);
  if (rc != 0) return rc;
  return Emit(frame.data(), frame.length());
}

int Http2Connection::SendWindowUpdate(uint32_t id, uint32_t increment) {
  if (id != 0 && id == stream_id_ && (state_ == kH2ReservedLocal || state_ == kH2Closed)) {
    return RefuseSend(kTextSendWindowState);
  }
  if (id != 0 && id != owed_stream_id_) {
    owed_stream_increment_ = 0;
    owed_stream_id_ = id;
  }
  (id == 0 ? owed_conn_increment_ : owed_stream_increment_) += increment;
  return FlushOwed();
}

int Http2Connection::SendPreface() {
  ByteString out;
  SpanWriter w(out);
  w.Bytes(kPreface, kPrefaceLength);
  // Our settings: no server push, the stream limit, our receive window.
  ByteString settings;
  SpanWriter s(settings);
  const uint32_t values[3][2] = {{kH2EnablePush, 0},
                                 {kH2MaxConcurrentStreams, 100},
                                 {kH2InitialWindowSize, static_cast<uint32_t>(local_window_)}};
  for (const auto& v : values) {
    s.U16(static_cast<uint16_t>(v[0]));
    s.U32(v[1]);
  }
  int rc = s.rc();
  if (rc == 0) rc = AppendHttp2Frame(w, kH2Settings, 0, 0, settings.data(), settings.length());
  // The connection window starts at 65535; the grant never takes it past 2^31-1.
  const int64_t grant = local_window_ < kH2MaxWindow - 65535 ? local_window_ : kH2MaxWindow - 65535;
  uint8_t increment[4];
  PutUIntBE(static_cast<uint32_t>(grant), increment, 0, 4);
  if (rc == 0) rc = AppendHttp2Frame(w, kH2WindowUpdate, 0, 0, increment, 4);
  if (rc != 0) return rc;
  rc = Emit(out.data(), out.length());
  if (rc != 0) return rc;
  conn_recv_window_ += grant;
  preface_sent_ = true;
  // Frames that came before the preface went out are answered now, in order.
  if (input_.empty()) return 0;
  ByteString held(std::move(input_));
  input_.Reset();
  return Receive(held.data(), held.length());
}

int Http2Connection::SendHeaders(const StringList& headers, bool end_stream,
                                 const char* without_indexing) {
  if (headers.Count() % 2 != 0) {
    error_text_.Format(kTextSendHeadersCount, headers.Count());
    return kH2ProtocolError;
  }
  // The previous request's stream must have ended before the next one opens.
  if (stream_id_ != 0 && !stream_ended_ &&
      (state_ == kH2ReservedRemote || state_ == kH2HalfClosedLocal || state_ == kH2Closed)) {
    return RefuseSend(kTextSendHeadersState);
  }
  if (retired_) {
    error_text_.SetText(kTextRetired);
    return kH2ProtocolError;
  }
  if (next_stream_id_ > 0x7FFFFFFF) {
    retired_ = true;
    error_text_.SetText(kTextStreamIds);
    return kH2ProtocolError;
  }
  // Each request opens a new stream.
  stream_id_ = next_stream_id_;
  state_ = kH2Idle;
  closed_by_peer_ = false;
  stream_ended_ = false;
  stream_error_ = 0;
  stream_error_text_.Reset();
  stream_send_window_ = peer_initial_window_;
  stream_recv_window_ = local_window_;

  const int log_level = handler_->Http2LogLevel();
  if (log_level >= 1) handler_->Http2Log(3, "Sending Headers:", "Info");
  ByteStringPairArray kept;
  for (int i = 0; i + 1 < headers.Count(); i += 2) {
    const char* name = headers.Get(i);
    const char* value = headers.Get(i + 1);
    if (IsConnectionSpecific(name, value)) continue;
    ByteString lower;
    if (lower.SetText(name) != 0) return kErrOutOfMemory;
    lower.ToLower();
    if (kept.Add(lower.c_str(), value) != 0) return kErrOutOfMemory;
    if (log_level >= 3) {
      ByteString line;
      line.Format("%s:%s", lower.c_str(), value);
      handler_->Http2Log(3, line.c_str(), "RequestHeaders");
    }
  }
  ByteString block;
  int rc = HpackEncodeBlock(kept, true, without_indexing, encoder_, block);
  if (rc != 0) return rc;
  // A block larger than the peer's frame size continues in CONTINUATION frames.
  ByteString out;
  SpanWriter w(out);
  SpanReader rest(block);
  const size_t max_piece = static_cast<size_t>(peer_max_frame_);
  bool first = true;
  do {
    SpanReader piece;
    rest.ReadBytes(rest.remaining() < max_piece ? rest.remaining() : max_piece, &piece);
    uint8_t flags = rest.empty() ? kH2FlagEndHeaders : 0;
    if (first && end_stream) flags |= kH2FlagEndStream;
    rc = AppendHttp2Frame(w, first ? kH2Headers : kH2Continuation, flags, stream_id_, piece.data(),
                          static_cast<int>(piece.remaining()));
    if (rc != 0) return rc;
    first = false;
  } while (!rest.empty());
  rc = Emit(out.data(), out.length());
  if (rc != 0) return rc;
  next_stream_id_ += 2;
  last_opened_id_ = stream_id_;
  state_ = end_stream ? kH2HalfClosedLocal : kH2Opened;
  return 0;
}

int Http2Connection::SendData(const void* bytes, int n, bool end_stream) {
  const uint8_t* p = static_cast<const uint8_t*>(bytes);
  if (state_ != kH2Opened && state_ != kH2HalfClosedRemote) {
    if (stream_ended_) return 0;
    ByteString text;
    text.Format(kTextSendDataState, Http2StateName(state_));
    error_text_.Assign(text);
    return kH2ProtocolError;
  }
  // A body waits for the server's first SETTINGS only for a short grace, so a server that sends
  // them late cannot stall it: a lower INITIAL_WINDOW_SIZE then takes the window below zero and
  // the loop below waits for grants. The grace lets a server that lowers the window at once be
  // heard first, as some reset a stream whose first flight only the old window allowed.
  if (!peer_settings_seen_ && !stream_ended_) {
    if (settings_grace_until_ == 0) settings_grace_until_ = win::GetTickCount64() + kSettingsGraceMillis;
    while (!peer_settings_seen_ && !stream_ended_ && win::GetTickCount64() < settings_grace_until_) {
      const int rc = handler_->Http2Wait();
      if (rc != 0) return rc;
    }
  }
  int offset = 0;
  while (offset < n || (end_stream && offset == n)) {
    // The response may end the exchange while the body is still going out.
    if (stream_ended_) return 0;
    if (retired_ && stream_error_ != 0) return 0;
    int64_t room = stream_send_window_ < conn_send_window_ ? stream_send_window_ : conn_send_window_;
    if (room > peer_max_frame_) room = peer_max_frame_;
    if (room < 0) room = 0;  // a lowered INITIAL_WINDOW_SIZE; an empty END_STREAM still fits
    const int left = n - offset;
    if (left > 0 && room <= 0) {
      const int rc = handler_->Http2Wait();
      if (rc != 0) return rc;
      continue;
    }
    const int piece = left < room ? left : static_cast<int>(room);
    const bool last = offset + piece == n;
    const int rc = SendFrame(kH2Data, last && end_stream ? kH2FlagEndStream : 0, stream_id_,
                             p + offset, piece);
    if (rc != 0) return rc;
    stream_send_window_ -= piece;
    conn_send_window_ -= piece;
    offset += piece;
    if (last) break;
  }
  if (end_stream) state_ = state_ == kH2Opened ? kH2HalfClosedLocal : kH2Closed;
  return 0;
}

int Http2Connection::SendRstStream(uint32_t code) {
  if (state_ == kH2Closed) return RefuseSend(kTextSendRstState);
  state_ = kH2Closed;
  uint8_t payload[4];
  PutUIntBE(code, payload, 0, 4);
  return Answer(kH2RstStream, 0, stream_id_, payload, 4);
}

int Http2Connection::ResetStream() {
  int rc = 0;
  if (stream_id_ != 0 && state_ != kH2Closed && state_ != kH2Idle && !retired_) {
    rc = SendRstStream(kH2Cancel);
  }
  state_ = kH2Closed;
  stream_ended_ = true;
  return rc;
}

// ---- Receiving ----

int Http2Connection::Receive(const void* bytes, int n) {
  // After a connection error nothing more is taken in: the connection is being closed.
  if (n <= 0 || failed_) return 0;
  const uint8_t* p = static_cast<const uint8_t*>(bytes);
  if (!preface_sent_) {
    // Nothing may be answered before the preface: held until it is sent.
    if (input_.length() + n > kH2MaxHeaderBlock) return Fail(kH2ProtocolError, kTextBlockTooLarge);
    return input_.Append(p, n) == 0 ? 0 : kErrOutOfMemory;
  }
  // Whole frames are dispatched straight from the caller's bytes when none are held; only a
  // tail is kept.
  const bool held = !input_.empty();
  if (held && input_.Append(p, n) != 0) return kErrOutOfMemory;
  size_t used = 0;
  int rc = 0;
  for (;;) {
    // The view is taken afresh for each frame: handling one may send, and the held bytes are
    // not relied on across that.
    SpanReader in = held ? SpanReader(input_) : SpanReader(p, static_cast<size_t>(n));
    SpanReader frame;
    if (!in.Skip(used)) break;
    rc = NextFrame(in, &frame);
    if (rc != 0 || frame.empty()) break;
    rc = Dispatch(frame);
    if (rc != 0) break;
    used += frame.remaining();
  }
  if (held) {
    input_.EraseFront(static_cast<int>(used));
    return rc;
  }
  SpanReader tail(p, static_cast<size_t>(n));
  if (rc != 0 || !tail.Skip(used) || tail.empty()) return rc;
  return input_.Set(tail.data(), static_cast<int>(tail.remaining())) == 0 ? 0 : kErrOutOfMemory;
}

int Http2Connection::NextFrame(SpanReader& in, SpanReader* frame) {
  *frame = SpanReader();
  SpanReader ahead = in, header;
  uint32_t length = 0;
  if (!ahead.ReadBytes(kH2FrameHeaderSize, &header) || !header.ReadU24(&length)) return 0;
  if (length > kH2DefaultMaxFrame) {
    ByteString text;
    text.Format(kTextFrameTooLarge, static_cast<unsigned>(length), kH2DefaultMaxFrame);
    return Fail(kH2FrameSizeError, text.c_str());
  }
  in.ReadBytes(kH2FrameHeaderSize + length, frame);
  return 0;
}

int Http2Connection::Dispatch(const SpanReader& frame) {
  SpanReader header = frame;
  uint32_t length = 0, id = 0;
  uint8_t type = 0, flags = 0;
  header.ReadU24(&length);
  header.ReadU8(&type);
  header.ReadU8(&flags);
  header.ReadU32(&id);
  if (handler_->Http2LogLevel() >= 3) {
    ByteString line;
    line.Format("Received HTTP/2 Frame type is %s(%d).", Http2FrameName(type), type);
    handler_->Http2Log(3, line.c_str(), "Info");
  }
  // A header block in progress admits only its own CONTINUATION frames.
  if (continuation_id_ != 0 && (type != kH2Continuation || id != continuation_id_)) {
    return Fail(kH2ProtocolError, kTextContinuationExpected);
  }
  if (type > kH2Continuation) return 0;
  // DATA is judged by its stream before its padding is read.
  if (type == kH2Data) {
    const int rc = CheckDataStream(id & 0x7FFFFFFF);
    if (rc != 0) return rc;
  }
  Http2Frame f;
  ByteString why;
  const int rc = ParseHttp2Frame(frame.data(), static_cast<int>(frame.remaining()), &f, &why);
  if (rc != 0) return Fail(rc, why.c_str());
  switch (type) {
    case kH2Data: return OnData(f);
    case kH2Headers: return OnHeaders(f);
    case kH2Priority:
      if (f.stream_id == 0) return Fail(kH2ProtocolError, "PROTOCOL_ERROR");
      return 0;
    case kH2RstStream: return OnRstStream(f);
    case kH2Settings: return OnSettings(f);
    case kH2PushPromise: return OnPushPromise(f);
    case kH2Ping: return OnPing(f);
    case kH2Goaway: return OnGoaway(f);
    case kH2WindowUpdate: return OnWindowUpdate(f);
    case kH2Continuation: return OnContinuation(f);
  }
  return 0;
}

int Http2Connection::CheckDataStream(uint32_t id) {
  if (id == 0) return Fail(kH2ProtocolError, kTextDataOnZero);
  if (IsIdleStream(id)) {
    ByteString text;
    text.Format(kTextIdleStream, "Data Frame", static_cast<unsigned>(id));
    return Fail(kH2ProtocolError, text.c_str());
  }
  if (id == stream_id_ && state_ != kH2Opened && state_ != kH2HalfClosedLocal) {
    return Fail(kH2ProtocolError, "PROTOCOL_ERROR");
  }
  return 0;
}

int Http2Connection::OnData(const Http2Frame& f) {
  // The whole payload, padding included, counts against the connection window.
  if (static_cast<int64_t>(f.length) > conn_recv_window_) return Fail(kH2FlowControlError, kTextRecvWindow);
  conn_recv_window_ -= f.length;
  const bool ours = f.stream_id == stream_id_;
  if (ours) {
    if (static_cast<int64_t>(f.length) > stream_recv_window_) {
      return Fail(kH2FlowControlError, kTextRecvWindow);
    }
    stream_recv_window_ -= f.length;
    if (f.body_length > 0) handler_->OnHttp2Data(f.body, f.body_length);
  }
  // The stream's grant first, then the connection's; an earlier stream's late data is dropped,
  // but its bytes still return to the connection window.
  if (ours && stream_recv_window_ <= local_window_ / 2) {
    const int64_t increment = local_window_ - stream_recv_window_;
    const int rc = SendWindowUpdate(stream_id_, static_cast<uint32_t>(increment));
    if (rc != 0) return rc;
    stream_recv_window_ = local_window_;
  }
  if (conn_recv_window_ <= local_window_ / 2) {
    const int64_t increment = local_window_ - conn_recv_window_;
    if (increment > 0) {
      const int rc = SendWindowUpdate(0, static_cast<uint32_t>(increment));
      if (rc != 0) return rc;
      conn_recv_window_ = local_window_;
    }
  }
  if (ours && f.Has(kH2FlagEndStream)) PeerEndedStream();
  return 0;
}

void Http2Connection::PeerEndedStream() {
  if (state_ == kH2Opened) {
    state_ = kH2HalfClosedRemote;
  } else if (state_ == kH2HalfClosedLocal) {
    state_ = kH2Closed;
  } else if (state_ == kH2Closed) {
    closed_by_peer_ = true;
  }
  if (!stream_ended_) {
    stream_ended_ = true;
    handler_->OnHttp2StreamEnd();
  }
}

void Http2Connection::EndStreamWithError(const char* text, bool by_peer) {
  state_ = kH2Closed;
  if (by_peer) closed_by_peer_ = true;
  if (stream_ended_) return;
  stream_error_ = kErrHttp2StreamReset;
  stream_error_text_.SetText(text);
  stream_ended_ = true;
  handler_->OnHttp2StreamEnd();
}

int Http2Connection::OnHeaders(const Http2Frame& f) {
  if (f.stream_id == 0) return Fail(kH2ProtocolError, "PROTOCOL_ERROR");
  if (IsIdleStream(f.stream_id)) {
    ByteString text;
    text.Format(kTextIdleStream, "Headers Frame", static_cast<unsigned>(f.stream_id));
    return Fail(kH2ProtocolError, text.c_str());
  }
  if (f.stream_id == stream_id_ &&
      (state_ == kH2ReservedLocal || state_ == kH2HalfClosedRemote || closed_by_peer_)) {
    return FailStateOwn(kTextHeadersState);
  }
  if (header_block_.Set(f.body, f.body_length) != 0) return kErrOutOfMemory;
  block_end_stream_ = f.Has(kH2FlagEndStream);
  if (!f.Has(kH2FlagEndHeaders)) {
    continuation_id_ = f.stream_id;
    return 0;
  }
  return OnHeaderBlock(f.stream_id, block_end_stream_);
}

int Http2Connection::OnContinuation(const Http2Frame& f) {
  if (f.stream_id == 0) {
    ByteString text;
    text.Format(kTextOnZero, "Continuation Frame");
    return Fail(kH2ProtocolError, text.c_str());
  }
  if (continuation_id_ == 0) return Fail(kH2ProtocolError, kTextContinuationStray);
  if (f.stream_id == stream_id_ && (state_ == kH2Idle || state_ == kH2ReservedLocal ||
                                    state_ == kH2ReservedRemote || closed_by_peer_)) {
    return FailStateOwn(kTextContinuationState);
  }
  if (header_block_.length() + f.body_length > kH2MaxHeaderBlock) {
    return Fail(kH2ProtocolError, kTextBlockTooLarge);
  }
  if (header_block_.Append(f.body, f.body_length) != 0) return kErrOutOfMemory;
  if (!f.Has(kH2FlagEndHeaders)) return 0;
  continuation_id_ = 0;
  return OnHeaderBlock(f.stream_id, block_end_stream_);
}

int Http2Connection::OnHeaderBlock(uint32_t id, bool end_stream) {
  StringList pairs;
  int update = -1;
  const char* why = "";
  // Each size update is logged as it is read, also one before a fault in the block.
  const auto log_update = [this](int size) {
    if (handler_->Http2LogLevel() < 1) return;
    ByteString line;
    line.Format(kTextSizeUpdate, size);
    handler_->Http2Log(1, line.c_str(), "Info");
  };
  // Every block is decoded, even one of an old stream, so the table stays in step.
  const int rc = HpackDecodeBlock(header_block_.bytes(), header_block_.length(), decoder_,
                                  kHpackDefaultTableSize, pairs, &update, &why, log_update);
  header_block_.Reset();
  if (rc != 0) {
    ByteString text;
    text.Format(kTextCompression, why);
    return Fail(rc == kErrHpackCompression ? kH2CompressionError : rc, text.c_str());
  }
  if (id != stream_id_ || stream_ended_) return 0;
  if (state_ == kH2Idle) state_ = kH2Opened;
  if (state_ == kH2ReservedRemote) state_ = kH2HalfClosedLocal;
  for (int i = 0; i + 1 < pairs.Count(); i += 2) {
    handler_->OnHttp2Header(pairs.Get(i), pairs.GetLength(i), pairs.Get(i + 1),
                            pairs.GetLength(i + 1));
  }
  handler_->OnHttp2HeadersEnd();
  if (end_stream) PeerEndedStream();
  return 0;
}

int Http2Connection::OnRstStream(const Http2Frame& f) {
  if (f.stream_id == 0) return Fail(kH2ProtocolError, kTextRstOnZero);
  if (f.length != 4) {
    ByteString text;
    text.Format(kTextFixedSize, "RstStream Frame", static_cast<int>(f.length));
    return Fail(kH2FrameSizeError, text.c_str());
  }
  if (IsIdleStream(f.stream_id)) return FailState(kTextRstState, kH2Idle);
  if (f.stream_id != stream_id_) return 0;
  if (state_ == kH2Idle || closed_by_peer_) return FailStateOwn(kTextRstState);
  // The first reset closes the stream; only one that finds it closed marks it closed by the
  // peer, so a late WINDOW_UPDATE or a repeated reset is still taken.
  if (state_ == kH2Closed) {
    closed_by_peer_ = true;
  } else {
    state_ = kH2Closed;
  }
  uint32_t code = 0;
  SpanReader(f.body, static_cast<size_t>(f.body_length)).ReadU32(&code);
  if (code == 0) {
    // NO_ERROR after END_STREAM: the whole response is here and the server wants no more of the
    // request (the stream just closes). Before it, what came is only part of the response.
    EndStreamWithError(kTextRstBeforeEnd, false);
    return 0;
  }
  ByteString scratch;
  ByteString text;
  text.Format(kTextRstReset, Http2ErrorDescription(code), Http2ErrorName(code, &scratch));
  EndStreamWithError(text.c_str(), false);
  return 0;
}

int Http2Connection::OnPushPromise(const Http2Frame& f) {
  if (peer_enable_push_ == 0) return Fail(kH2ProtocolError, kTextPush);
  if (f.stream_id == 0) return Fail(kH2ProtocolError, kTextPushOnZero);
  if (state_ != kH2Idle && state_ != kH2Opened && state_ != kH2HalfClosedLocal) {
    return FailStateOwn(kTextPushState);
  }
  // This side announced ENABLE_PUSH 0 in its preface, so any promise is refused.
  return Fail(kH2ProtocolError, kTextPush);
}

int Http2Connection::OnSettings(const Http2Frame& f) {
  if (f.stream_id != 0) return Fail(kH2ProtocolError, kTextSettingsOnStream);
  if (StreamRefusesControl()) return FailStateOwn(kTextSettingsState);
  ByteString text;
  if (f.Has(kH2FlagAck)) {
    if (f.length != 0) {
      text.Format(kTextSettingsAck, static_cast<int>(f.length));
      return Fail(kH2FrameSizeError, text.c_str());
    }
    return 0;
  }
  peer_settings_seen_ = true;
  if (f.length % 6 != 0) {
    text.Format(kTextSettingsSize, static_cast<int>(f.length));
    return Fail(kH2FrameSizeError, text.c_str());
  }
  SpanReader body(f.body, static_cast<size_t>(f.body_length));
  uint16_t id = 0;
  uint32_t value = 0;
  // Values are taken in wire order (a repeated one: the last wins) and logged by identifier.
  int64_t taken[6] = {-1, -1, -1, -1, -1, -1};
  while (body.ReadU16(&id) && body.ReadU32(&value)) {
    if (id < 1 || id > 6) continue;
    switch (id) {
      case kH2HeaderTableSize:
        if (value > 0x7FFFFFFF) break;
        peer_header_table_ = static_cast<int32_t>(value);
        encoder_.SetEncoderLimit(peer_header_table_);
        break;
      case kH2EnablePush:
        if (value > 1) {
          text.Format(kTextBadSetting, "ENABLE_PUSH", value);
          return Fail(kH2ProtocolError, text.c_str());
        }
        peer_enable_push_ = static_cast<int32_t>(value);
        break;
      case kH2MaxConcurrentStreams:
        peer_max_streams_ = static_cast<int32_t>(value > 0x7FFFFFFF ? 0x7FFFFFFF : value);
        break;
      case kH2InitialWindowSize: {
        if (value > kH2MaxWindow) return Fail(kH2FlowControlError, kTextInitialWindow);
        // The change applies to the open stream's send window too.
        const int64_t delta = static_cast<int64_t>(value) - peer_initial_window_;
        peer_initial_window_ = static_cast<int32_t>(value);
        if (stream_id_ != 0 && state_ != kH2Closed) {
          if (stream_send_window_ + delta > kH2MaxWindow) {
            return Fail(kH2FlowControlError, kTextInitialWindow);
          }
          stream_send_window_ += delta;
        }
        break;
      }
      case kH2MaxFrameSize:
        if (value < kH2DefaultMaxFrame || value > kH2LargestMaxFrame) {
          text.Format(kTextBadSetting, "MAX_FRAME_SIZE", value);
          return Fail(kH2ProtocolError, text.c_str());
        }
        peer_max_frame_ = static_cast<int32_t>(value);
        break;
      case kH2MaxHeaderListSize:
        peer_max_header_list_ = static_cast<int32_t>(value > 0x7FFFFFFF ? 0x7FFFFFFF : value);
        break;
    }
    taken[id - 1] = value;
  }
  for (int i = 0; i < 6 && handler_->Http2LogLevel() >= 1; ++i) {
    if (taken[i] < 0) continue;
    ByteString line;
    line.Format(kSettingLogs[i], static_cast<int>(taken[i]));
    handler_->Http2Log(1, line.c_str(), "Info");
  }
  return Answer(kH2Settings, kH2FlagAck, 0, nullptr, 0);
}

int Http2Connection::OnPing(const Http2Frame& f) {
  if (f.stream_id != 0) return Fail(kH2ProtocolError, kTextPingOnStream);
  if (StreamRefusesControl()) return FailStateOwn(kTextPingState);
  if (f.length != 8) {
    ByteString text;
    text.Format(kTextPingSize, static_cast<int>(f.length), 8);
    return Fail(kH2FrameSizeError, text.c_str());
  }
  if (f.Has(kH2FlagAck)) return 0;
  return Answer(kH2Ping, kH2FlagAck, 0, f.body, 8);
}

int Http2Connection::OnGoaway(const Http2Frame& f) {
  if (f.stream_id != 0) return Fail(kH2ProtocolError, kTextGoawayOnStream);
  if (f.length < 8) {
    ByteString text;
    text.Format(kTextFixedSize, "GoAway Frame", static_cast<int>(f.length));
    return Fail(kH2FrameSizeError, text.c_str());
  }
  SpanReader body(f.body, static_cast<size_t>(f.body_length));
  uint32_t last_id = 0, code = 0;
  body.ReadU32(&last_id);
  body.ReadU32(&code);
  last_id &= 0x7FFFFFFF;
  if (last_id == stream_id_ && StreamRefusesControl()) {
    return FailStateOwn(kTextGoawayState);
  }
  retired_ = true;
  ByteString text;
  if (code != 0) {
    ByteString scratch;
    ByteString debug;
    debug.Set(body.data(), static_cast<int>(body.remaining()));
    text.Format(kTextGoaway, Http2ErrorName(code, &scratch),
                debug.empty() ? Http2ErrorDescription(code) : debug.c_str());
    if (handler_->Http2LogLevel() >= 1) handler_->Http2Log(1, text.c_str(), "Info");
  }
  // A stream the server did not process ends here; one it did may still complete, whatever the
  // code, and a close before its END_STREAM fails it then.
  const bool open = stream_id_ != 0 && !stream_ended_;
  if (open && stream_id_ > last_id) {
    EndStreamWithError(code != 0 ? text.c_str() : kTextGoawayUnprocessed, true);
  }
  return 0;
}

int Http2Connection::OnWindowUpdate(const Http2Frame& f) {
  // The stream's state is judged before the frame's size.
  if (f.stream_id != 0 && IsIdleStream(f.stream_id)) return FailState(kTextWindowState, kH2Idle);
  if (f.stream_id != 0 && f.stream_id == stream_id_ && closed_by_peer_) return FailStateOwn(kTextWindowState);
  if (f.length != 4) {
    ByteString text;
    text.Format(kTextWindowSize, static_cast<int>(f.length), 4);
    return Fail(kH2FrameSizeError, text.c_str());
  }
  uint32_t increment = 0;
  SpanReader(f.body, static_cast<size_t>(f.body_length)).ReadU32(&increment);
  increment &= 0x7FFFFFFF;
  if (f.stream_id == 0) {
    if (increment == 0) return Fail(kH2ProtocolError, kTextWindowZero);
    if (conn_send_window_ + increment > kH2MaxWindow) {
      return Fail(kH2FlowControlError, kTextWindowOverflow);
    }
    conn_send_window_ += increment;
    return 0;
  }
  if (f.stream_id != stream_id_) return 0;
  if (increment == 0) return Fail(kH2ProtocolError, kTextWindowZero);
  if (stream_send_window_ + increment > kH2MaxWindow) {
    return Fail(kH2FlowControlError, kTextWindowOverflow);
  }
  stream_send_window_ += increment;
  return 0;
}

}  // namespace tw
