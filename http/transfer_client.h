// The transfer-oriented layer between the TLS client and the HTTP client: a blocking connect that
// waits for the connection (or the TLS handshake), blocking sends in pieces with progress, a
// blocking receive that collects what arrives, and the settings every transfer client shares.
#pragma once

#include <cstdint>

#include "foundation/byte_string.h"
#include "foundation/file_handle.h"
#include "foundation/file_path.h"
#include "net/tls_client.h"

namespace tw {

inline constexpr char kTextDataInOutOfMemory[] = "Out of memory in DataIn [IPPMsg].";

class TransferClient : public TlsClient {
 public:
  TransferClient();
  ~TransferClient() override;

  // ---- Overrides ----
  int Config(ConfigRequest& request, const char** answer) override;
  // Records the connect result (code and error text) before the event fires.
  int OnConnectedEvent(int code) override;
  // Records the code and closes the file attached to the transfer before the event fires.
  int OnDisconnectedEvent(int code) override;
  // Collects the bytes; the end of a record ends a receive that waits for one.
  int OnDataInEvent(const void* bytes, int n, bool end_of_record) override;
  // A failure reported by a lower layer (TLS, tunnel) while the connection is being made is
  // kept as the connect error too.
  int SetErrorCodeText(int code, const char* text) override;
  // An open connection is kept when the value is the current one; else it is closed first.
  int SetRemoteHost(const char* text) override;
  int SetRemotePort(int32_t port) override;
  // Stores the request; applied unless TLS is active and its handshake has not completed.
  int SetAcceptData(bool on) override;

  // ---- Operations added by this class, in chain order ----
  virtual bool GetMaskSensitive() { return mask_sensitive_; }
  // Progress of a body being sent, with the bytes sent so far; nonzero stops the sending.
  virtual int BodyProgress32(int32_t count) { return 0; }
  // The chunk header and the chunk end of a chunked body (the HTTP client sends them).
  virtual int SendLine(const char* text) { return 0; }
  virtual int SendCrLf() { return 0; }
  virtual int ReservedTransfer() { return 0; }

  // ---- Blocking operations ----
  // Starts the connection (unless connected) and runs wait steps until it is up or failed.
  // ConnectionTimeout (seconds), when above 0, stands in for Timeout meanwhile. 0, the connect
  // error (with its text), or 301 when a wait step ended the wait ("Timeout." or "Interrupted.").
  int ConnectAndWait();
  // The Connected switch: on connects (TLS off first for start modes 2 and 3), blocking unless
  // neither time-out is set; off disconnects.
  int SetConnectedSwitch(bool on);
  int Disconnect() { return SetConnected(false, 0); }
  // Disconnects with the error text of the failure kept (the disconnect would replace it).
  void DisconnectKeepingError() {
    ByteString kept;
    kept.Assign(error_text());
    Disconnect();
    SetErrorText(kept.c_str());
  }
  // Sends every byte (waiting while the socket would block); then data is accepted again unless
  // a receive asked for one record only.
  int Send(const void* bytes, int n);
  // Sends n bytes in pieces of piece_size (each as a chunk when chunked), reporting the bytes
  // sent so far after each piece; stops at the first nonzero result.
  int SendPieces(const void* bytes, int n, int piece_size, bool chunked);
  // Accepts data and runs wait steps until one record has arrived (one_record_only) or the
  // connection has closed. 0; 10057 when the connection closed before the record; 301 when a
  // wait step ended the wait.
  int ReceiveData(bool one_record_only);
  // Re-applies the stored accept-data request once the connection is up.
  int SetAcceptDataIfConnected();

  // ---- State ----
  const ByteString& received() const { return received_; }
  void ClearReceived() { received_.Reset(); }
  bool connect_failed() const { return connect_failed_; }
  int connect_error_code() const { return connect_error_code_; }
  const ByteString& connect_error_text() const { return connect_error_text_; }
  int last_disconnect_code() const { return disconnect_code_; }
  uint32_t connection_timeout() const { return connection_timeout_; }
  void set_connection_timeout(uint32_t seconds) { connection_timeout_ = seconds; }
  bool close_stream_after_transfer() const { return close_stream_after_transfer_; }
  int32_t line_mode() const { return line_mode_; }
  void set_line_mode(int32_t mode) { line_mode_ = mode; }
  // The piece being sent (TransferText).
  void SetPieceBeingSent(const void* bytes, int n) {
    piece_ = static_cast<const char*>(bytes);
    piece_length_ = n;
  }
  const char* TransferText();
  FileHandle& transfer_file() { return transfer_file_; }
  FilePath& transfer_path() { return transfer_path_; }

 protected:
  int Reset();

  int32_t line_mode_ = 1;
  bool connect_failed_ = false;
  ByteString connect_error_text_;
  ShortString transfer_name_;
  FilePath transfer_path_;
  FileHandle transfer_file_;
  uint32_t connection_timeout_ = 0;
  bool close_stream_after_transfer_ = true;
  bool mask_sensitive_ = false;
  const char* piece_ = nullptr;
  int piece_length_ = 0;
  ByteString transfer_text_;
  // The work buffer: what a receive collected.
  ByteString received_;
  int32_t use_extended_dst_ = 1;
  int connect_error_code_ = 0;
  int disconnect_code_ = 0;
  bool accept_request_ = true;
  bool waiting_ = false;
  bool one_record_only_ = false;
};

class BodyTransferClient : public TransferClient {
 public:
  // Widened to the 64-bit form.
  int BodyProgress32(int32_t count) override { return BodyProgress64(count); }
  // Nonzero stops the body being sent; here the sending goes on.
  virtual int BodyProgress64(int64_t count) { return 0; }
};

}  // namespace tw
