// A datagram port: one UDP socket, optionally connected to one peer, that delivers each
// received datagram through the DataIn event. Sends can choose their source address (with
// packet information, or as a whole raw frame) and the socket can join a traffic-class flow.
#pragma once

#include <cstdint>

#include "foundation/byte_queue.h"
#include "foundation/byte_string.h"
#include "net/socket_component.h"

namespace tw {

constexpr int kErrUdpActive = 104;
constexpr int kErrUdpLocalPortBusy = 106;
constexpr int kErrUdpLocalHostBusy = 107;
constexpr int kErrUdpNotActive = 109;
constexpr int kErrUdpMaxPacketBusy = 112;
constexpr int kErrUdpRemoteHostBusy = 114;
constexpr int kErrUdpRemotePortBusy = 115;
constexpr int kErrUdpRemotePortZero = 116;
constexpr int kErrUdpUseConnectionBusy = 117;

constexpr uint32_t kDefaultMaxPacketSize = 8192;
constexpr uint32_t kMaxPacketSizeLimit = 65536;

// Events of the port: DataIn(datagram text, length, source address, source port),
// Error(code, text), ReadyToSend(), Log(level, text, type).
constexpr int kUdpEventDataIn = 0;
constexpr int kUdpEventError = 1;
constexpr int kUdpEventReadyToSend = 2;
constexpr int kUdpEventLog = 3;

class UdpPort : public SocketComponent {
 public:
  UdpPort();
  ~UdpPort() override;

  // ---- Virtual operations of the chain ----
  intptr_t WindowProc(uint32_t message, uintptr_t wparam, intptr_t lparam) override;
  int Config(ConfigRequest& request, const char** answer) override;
  // The bound address of the open socket, else the base's answer.
  const char* GetLocalAddress() override;
  // 107 while active.
  int SetLocalHost(const char* text) override;
  // With PumpDataInDoEvents (or without a window) the receive loop runs before the base step.
  int WaitStep(int wait_millis, win::HWND window) override;
  // A nonzero result stops the receive loop.
  virtual int FireDataIn(const void* bytes, int n, const char* source, int port);
  virtual int FireError(int code, const char* text);
  virtual int FireReadyToSend();
  virtual int OnError(int code, const char* text) { return FireError(code, text); }

  // ---- Operations ----
  int Activate(bool on);
  // Sends one datagram to the remote address: 0, or the error (error text set).
  int Send(const void* bytes, int n);
  int SetRemoteHost(const char* text);
  // The IPv6 text, the dotted IPv4 text, or "".
  const char* GetRemoteHost();
  int SetRemotePort(int port);
  int GetRemotePort() const { return remote_port_; }
  int SetLocalPort(int port);
  // The bound port while active (the Winsock error as the result when that fails).
  int GetLocalPort(int* port);
  int SetUseConnection(bool on);
  int SetMaxPacketSize(int n);

  bool active() const { return HasSocket(); }
  bool accept_data() const { return accept_data_; }
  const ByteString& destination_address() const { return destination_address_; }
  const ShortString& source_mac_address() const { return source_mac_address_; }

 protected:
  int FireLog(int level, const char* text, const char* type) override;

 private:
  int OpenSocket();
  int ApplySocketOptions();
  int ApplyTimeToLive();
  int CloseSocket();
  // Reads and delivers datagrams until none waits, a DataIn handler stops it or a close is
  // asked for (carried out once the outermost loop ends).
  int ReceiveLoop();
  int ReceiveOne(uint8_t* room, uint32_t size, int* received, char* source, int* source_port);
  int SendWithSource(const void* bytes, int n);
  int SendRawFrame(const void* bytes, int n, const char* source_mac);
  int RemoteSockaddr(win::sockaddr_storage* out);
  int FailSocket(int error);

  uint32_t remote_ipv4_ = 0;  // network order; all ones for the broadcast address
  win::sockaddr_in6 remote_ipv6_ = {};
  int32_t remote_port_ = 0;
  int32_t local_port_ = 0;
  int32_t qos_flags_ = 0;
  int32_t time_to_live_ = 0;
  ByteQueue queue_;
  uint32_t max_packet_size_ = kDefaultMaxPacketSize;
  bool reading_ = false;
  bool close_pending_ = false;
  bool pump_data_in_do_events_ = false;
  bool dont_route_ = false;
  bool use_connection_ = false;
  bool share_local_port_ = false;
  bool capture_ip_packet_info_ = false;
  ByteString destination_address_;
  ShortString source_mac_address_;
  ShortString source_ip_address_;
  bool accept_data_ = true;
  bool dont_fragment_ = false;
  char remote_text_[64] = {};
  char bound_text_[64] = {};
};

}  // namespace tw
