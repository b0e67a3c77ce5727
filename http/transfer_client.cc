#include "http/transfer_client.h"

#include <cstdio>
#include <cstring>

namespace tw {
namespace {

constexpr int kDefaultPieceSize = 16384;
constexpr uint32_t kMaxConnectionTimeout = 2147483;  // seconds

}  // namespace

TransferClient::TransferClient() { Reset(); }

TransferClient::~TransferClient() { transfer_file_.Close(); }

int TransferClient::Reset() {
  const int rc = TlsClient::Reset();
  use_extended_dst_ = 1;
  line_mode_ = 1;
  close_stream_after_transfer_ = true;
  connection_timeout_ = 0;
  mask_sensitive_ = false;
  piece_ = nullptr;
  piece_length_ = 0;
  transfer_text_.Reset();
  received_.Reset();
  connect_failed_ = false;
  connect_error_code_ = 0;
  connect_error_text_.Reset();
  disconnect_code_ = 0;
  accept_request_ = true;
  waiting_ = false;
  one_record_only_ = false;
  return rc;
}

const char* TransferClient::TransferText() {
  if (piece_ == nullptr || piece_length_ <= 0) {
    transfer_text_.Reset();
  } else {
    transfer_text_.Set(piece_, piece_length_);
  }
  return transfer_text_.c_str();
}

int TransferClient::Config(ConfigRequest& request, const char** answer) {
  const bool read = request.is_read();
  if (request.NameIs("UseExtendedDST")) {
    if (read) return SetConfigAnswerSigned(use_extended_dst_, answer);
    use_extended_dst_ = request.ValueAsBool() ? 1 : 0;
    return kOk;
  }
  if (request.NameIs("CloseStreamAfterTransfer")) {
    if (read) return SetConfigAnswerBool(close_stream_after_transfer_, answer);
    close_stream_after_transfer_ = request.ValueAsBool();
    return kOk;
  }
  if (request.NameIs("ConnectionTimeout")) {
    if (read) return SetConfigAnswerUInt(connection_timeout_, answer);
    const int32_t value = request.ValueAsInt();
    connection_timeout_ = value < 0 ? 0 : static_cast<uint32_t>(value);
    return kOk;
  }
  if (request.NameIs("TransferText")) {
    if (read) return SetConfigAnswer(TransferText(), answer);
    return kOk;
  }
  if (request.NameIs("ALPNExtension")) {
    if (read) return SetConfigAnswer(alpn_list_.c_str(), answer);
    return SetAlpnList(request.value().c_str());
  }
  if (request.NameIs("MaskSensitive")) {
    if (read) return SetConfigAnswerSigned(GetMaskSensitive() ? 1 : 0, answer);
    mask_sensitive_ = request.ValueAsBool();
    return kOk;
  }
  return TlsClient::Config(request, answer);
}

// ---- Events and hooks ----

int TransferClient::OnConnectedEvent(int code) {
  if (code != 0) {
    if (code != kErrFirewall && error_text().empty()) SetWinsockErrorText(code);
    connect_failed_ = true;
    connect_error_code_ = code;
    connect_error_text_.Assign(error_text());
  } else {
    SetAcceptDataIfConnected();
  }
  return TlsClient::OnConnectedEvent(code);
}

int TransferClient::OnDisconnectedEvent(int code) {
  disconnect_code_ = code;
  transfer_file_.Close();
  return TlsClient::OnDisconnectedEvent(code);
}

int TransferClient::OnDataInEvent(const void* bytes, int n, bool end_of_record) {
  if (n > 0 && received_.Append(bytes, n) != kOk) {
    FireError(kErrOutOfMemory, kTextDataInOutOfMemory);
  }
  if (end_of_record) {
    waiting_ = false;
    if (one_record_only_) SetAcceptData(false);
  }
  return TlsClient::OnDataInEvent(bytes, n, end_of_record);
}

int TransferClient::SetErrorCodeText(int code, const char* text) {
  TlsClient::SetErrorCodeText(code, text);
  // Only a failure while the connection is being made (handshake, tunnel) ends a connect.
  if (code != 0 && HasSocket() && !IsConnected()) {
    connect_failed_ = true;
    connect_error_code_ = code;
    connect_error_text_.SetText(text != nullptr ? text : "");
  }
  return code;
}

int TransferClient::SetRemoteHost(const char* text) {
  if (text == nullptr) text = "";
  if (HasSocket()) {
    if (std::strcmp(text, remote_host_.c_str()) == 0 ||
        std::strcmp(text, RemoteHostCompareText()) == 0) {
      return kOk;
    }
    Disconnect();
  }
  return TlsClient::SetRemoteHost(text);
}

int TransferClient::SetRemotePort(int32_t port) {
  if (HasSocket()) {
    if (port == remote_port_) return kOk;
    Disconnect();
  }
  return TlsClient::SetRemotePort(port);
}

int TransferClient::SetAcceptData(bool on) {
  accept_request_ = on;
  if (tls_active_ && !HandshakeComplete()) return kOk;
  return TlsClient::SetAcceptData(on);
}

int TransferClient::SetAcceptDataIfConnected() {
  if (!IsConnected()) return kOk;
  return TlsClient::SetAcceptData(accept_request_);
}

// ---- Blocking operations ----

int TransferClient::ConnectAndWait() {
  if (IsConnected()) return kOk;
  received_.Reset();
  connect_failed_ = false;
  connect_error_code_ = 0;
  connect_error_text_.Reset();
  SetErrorText("");
  set_error_code(0);

  const uint32_t saved_timeout = timeout_ms_;
  const uint64_t saved_deadline = timeout_deadline_;
  if (connection_timeout_ > 0) {
    const uint32_t seconds =
        connection_timeout_ > kMaxConnectionTimeout ? kMaxConnectionTimeout : connection_timeout_;
    timeout_ms_ = seconds * 1000u;
  }
  if (timeout_ms_ != 0) {
    ArmTimeout();
  } else {
    timeout_deadline_ = 0;
  }
  const auto restore = [&] {
    timeout_ms_ = saved_timeout;
    if (absolute_timeout_) {
      timeout_deadline_ = saved_deadline;
    } else {
      ArmTimeout();
    }
  };

  SetAcceptData(false);
  // A connection started earlier (without waiting) is waited for, not started again.
  int rc = HasSocket() ? kOk : SetConnected(true, 0);
  if (rc != kOk) {
    SetAcceptData(true);
    restore();
    return rc;
  }
  // The handshake reads under the socket layer's switch, whatever the last connection left it
  // at; the request stored above applies once the handshake completes.
  if (tls_active_ && !HandshakeComplete()) TlsClient::SetAcceptData(true);
  for (;;) {
    if (WaitOnce() == kWaitEnded) {
      DisconnectKeepingError();
      rc = kErrInterrupted;
      break;
    }
    if (connect_failed_) {
      SetAcceptData(true);
      SetErrorText(connect_error_text_.c_str());
      rc = connect_error_code_;
      break;
    }
    if (IsConnected()) {
      SetAcceptData(true);
      rc = kOk;
      break;
    }
    if (!HasSocket()) {
      // Closed without a verdict: nothing more will come.
      SetAcceptData(true);
      rc = SetWinsockErrorText(win::WSAENOTCONN);
      break;
    }
  }
  set_error_code(rc);
  restore();
  return rc;
}

int TransferClient::SetConnectedSwitch(bool on) {
  if (!on) return Disconnect();
  if (tls_start_mode_ == 2 || tls_start_mode_ == 3) {
    const int rc = EnableTls(false);
    if (rc != kOk) return rc;
  }
  if (timeout_ms_ == 0 && connection_timeout_ == 0) return SetConnected(true, 0);
  return ConnectAndWait();
}

int TransferClient::Send(const void* bytes, int n) {
  const int rc = SendAll(bytes, n);
  if (!one_record_only_) SetAcceptData(true);
  return rc;
}

int TransferClient::SendPieces(const void* bytes, int n, int piece_size, bool chunked) {
  if (piece_size < 1) piece_size = kDefaultPieceSize;
  const char* p = static_cast<const char*>(bytes);
  int sent = 0;
  int rc = kOk;
  while (sent < n) {
    const int piece = n - sent < piece_size ? n - sent : piece_size;
    SetPieceBeingSent(p + sent, piece);
    if (chunked) {
      char size_line[16];
      std::snprintf(size_line, sizeof(size_line), "%x", static_cast<unsigned>(piece));
      rc = SendLine(size_line);
      if (rc != kOk) break;
    }
    rc = Send(p + sent, piece);
    if (rc == kOk && chunked) rc = SendCrLf();
    if (rc != kOk) break;
    sent += piece;
    rc = BodyProgress32(sent);
    if (rc != kOk) break;
  }
  SetPieceBeingSent(nullptr, 0);
  return rc;
}

int TransferClient::ReceiveData(bool one_record_only) {
  clear_interrupt_request();
  waiting_ = true;
  one_record_only_ = one_record_only;
  ArmTimeout();
  SetAcceptData(true);
  int rc = kOk;
  for (;;) {
    if (one_record_only && !waiting_) break;
    if (!HasSocket()) {
      if (one_record_only && waiting_) rc = SetWinsockErrorText(win::WSAENOTCONN);
      break;
    }
    if (WaitOnce() == kWaitEnded) {
      rc = kErrInterrupted;
      break;
    }
  }
  waiting_ = false;
  one_record_only_ = false;
  set_error_code(rc);
  return rc;
}

}  // namespace tw
