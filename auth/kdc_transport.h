// The two roads to a KDC: UDP datagrams, and TCP with the 4-byte big-endian length in front of
// every message. Both wait on the caller's thread with a time-out and hand over whole messages.
#pragma once

#include <cstdint>

#include "foundation/byte_string.h"

namespace win {
struct sockaddr_in;
}  // namespace win

namespace tw {

// The platform socket handle, kept opaque so that this header does not bring in the socket API.
using KdcSocket = uintptr_t;
constexpr KdcSocket kKdcNoSocket = ~KdcSocket{0};

constexpr int kErrKdcTimeout = 301;
// Largest reply taken from a KDC; a larger length prefix is refused before anything is read.
constexpr uint32_t kKdcMaxMessage = 1u << 20;

class KdcTransport {
 public:
  virtual ~KdcTransport() = default;
  // Connects (TCP) or binds the socket to the KDC (UDP). 0 or a socket error with error_text().
  virtual int Open(const char* host, int port, int timeout_ms) = 0;
  virtual void Close() = 0;
  virtual bool IsOpen() const = 0;
  // Sends one message; TCP reopens a connection the KDC has closed in the meantime.
  virtual int Send(const ByteString& message) = 0;
  // Waits up to timeout_ms for one whole message, which replaces *message. 301 at the time-out.
  virtual int Receive(ByteString* message, int timeout_ms) = 0;
  const char* error_text() const { return error_text_.c_str(); }
  // The local address the next socket is bound to; an empty host and port 0 leave both to the
  // system. Takes effect at the next Open.
  int SetLocalAddress(const char* host, int port);
  // The local port of the open socket, 0 when none.
  int BoundPort() const;

 protected:
  int SocketFailure(const char* what, int code);
  int Resolve(const char* host, int port, win::sockaddr_in* out);
  // Waits until the socket is readable: 0, 301 at the time-out, or a socket error.
  int WaitReadable(KdcSocket s, int timeout_ms);
  // Binds a new socket to the chosen local address, when one was chosen.
  int BindLocal(KdcSocket s);
  virtual KdcSocket socket() const = 0;

  ByteString error_text_;
  ByteString local_host_;
  int local_port_ = 0;
};

class KdcUdpTransport : public KdcTransport {
 public:
  ~KdcUdpTransport() override { Close(); }
  int Open(const char* host, int port, int timeout_ms) override;
  void Close() override;
  bool IsOpen() const override { return socket_ != kKdcNoSocket; }
  int Send(const ByteString& message) override;
  int Receive(ByteString* message, int timeout_ms) override;

 private:
  KdcSocket socket() const override { return socket_; }

  KdcSocket socket_ = kKdcNoSocket;
};

class KdcTcpTransport : public KdcTransport {
 public:
  ~KdcTcpTransport() override { Close(); }
  int Open(const char* host, int port, int timeout_ms) override;
  void Close() override;
  bool IsOpen() const override { return socket_ != kKdcNoSocket; }
  int Send(const ByteString& message) override;
  int Receive(ByteString* message, int timeout_ms) override;
  // Connections made so far (a reused connection does not count).
  int connect_count() const { return connect_count_; }

 private:
  KdcSocket socket() const override { return socket_; }
  bool PeerClosed();
  int ConnectWithin(const win::sockaddr_in& to, int timeout_ms);
  int SendFrame();

  KdcSocket socket_ = kKdcNoSocket;
  ByteString host_;
  int port_ = 0;
  int timeout_ms_ = 0;
  int connect_count_ = 0;
  ByteString pending_;     // bytes of a reply not yet complete
  ByteString last_frame_;  // sent again when a reused connection turns out closed
  int requests_on_connection_ = 0;
  bool reused_ = false;
};

}  // namespace tw
