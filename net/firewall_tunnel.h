// The path of a TCP client through a firewall or proxy. With no firewall type set the tunnel is
// transparent: a completed TCP connect is the connection, and received bytes go straight to the
// owner. The negotiations themselves (HTTP CONNECT, SOCKS 4, 4A and 5) are not part of this
// build: a firewall type other than 0 ends the connection with 118 and a clear text.
#pragma once

#include <cstdint>

#include "foundation/byte_string.h"

namespace tw {

class TcpClient;

// Every negotiation failure reports this code.
constexpr int kErrFirewall = 118;

// FirewallType values.
constexpr uint8_t kFirewallNone = 0;
constexpr uint8_t kFirewallTunnel = 1;
constexpr uint8_t kFirewallSocks4 = 2;
constexpr uint8_t kFirewallSocks5 = 3;
constexpr uint8_t kFirewallTunnelNtlm = 4;
constexpr uint8_t kFirewallTunnelNegotiate = 5;
constexpr uint8_t kFirewallTunnelDigest = 6;
constexpr uint8_t kFirewallSocks4A = 10;

constexpr int kFirewallTextLimit = 255;

class FirewallTunnel {
 public:
  explicit FirewallTunnel(TcpClient* owner) : owner_(owner) {}
  FirewallTunnel(const FirewallTunnel&) = delete;
  FirewallTunnel& operator=(const FirewallTunnel&) = delete;

  TcpClient* owner() const { return owner_; }
  void set_owner(TcpClient* owner) { owner_ = owner; }

  // ---- Settings ----
  // Stores the type; a port of 0 becomes 80 for the tunnel types and 1080 for the SOCKS types;
  // type 0 and unknown types clear the port.
  void SetFirewallType(int type);
  // Stores the text and resolves it (inet_addr, else gethostbyname); "" clears the address.
  // 0 or the resolver's error.
  int SetFirewallHost(const char* text);
  // The resolved address in dotted form, "" when there is none.
  const char* FirewallHostText();
  void SetFirewallPort(int32_t port) { firewall_port_ = port; }
  // Cut to 255 characters. 0 or 200.
  int SetFirewallUser(const char* text);
  int SetFirewallPassword(const char* text);
  // Stores the switch and clears FirewallHost and FirewallPort.
  int SetFirewallAutoDetect(bool on);

  // ---- State seen by the owner ----
  // False while negotiating, else the owner's connected flag.
  bool IsConnected() const;
  bool FirewallOptionByte() const { return firewall_type_ != kFirewallNone && negotiating_; }
  // False for the types that read the proxy's reply through the owner's line queue.
  bool FirewallTypeCheck() const {
    return firewall_type_ != kFirewallTunnelNtlm && firewall_type_ != kFirewallTunnelNegotiate &&
           firewall_type_ != kFirewallTunnelDigest;
  }

  // ---- Steps driven by the owner ----
  // The TCP connect finished with `error` (0 on success).
  int ConnectStep(int error);
  // Received bytes: to the negotiation while it runs, else to the owner's OnDataIn.
  int ReceiveStep(const void* bytes, int n, bool end_of_record);
  // The connection closed with `error`.
  int DisconnectStep(int error);
  // Ends the negotiation with 118: the Error event, the owner's error text (when a text is
  // given), OnConnected(118) and the socket closed. Returns 0.
  int Fail(const char* text);

  uint8_t firewall_type() const { return firewall_type_; }
  int32_t firewall_port() const { return firewall_port_; }
  uint32_t firewall_address() const { return firewall_address_; }
  const ShortString& firewall_host() const { return firewall_host_; }
  const ShortString& firewall_user() const { return firewall_user_; }
  const ShortString& firewall_password() const { return firewall_password_; }
  bool firewall_auto_detect() const { return firewall_auto_detect_; }
  bool negotiating() const { return negotiating_; }
  uint8_t negotiation_step() const { return negotiation_step_; }
  // Drops the firewall (type 0, host "") for a host that bypasses it.
  void Bypass();

 private:
  TcpClient* owner_;
  int32_t firewall_port_ = 0;
  uint8_t firewall_type_ = kFirewallNone;
  uint8_t negotiation_step_ = 0;
  bool negotiating_ = false;
  int32_t reply_content_length_ = 0;
  int32_t reply_received_ = 0;
  bool reply_chunked_ = false;
  ByteString reply_line_;
  ShortString saved_eol_;
  ShortString reply_text_;
  ShortString firewall_user_;
  ShortString firewall_password_;
  ShortString request_uri_;
  ShortString user_agent_;
  ShortString firewall_host_;
  bool firewall_auto_detect_ = false;
  uint32_t firewall_address_ = 0;  // IPv4, network order
  char host_text_[16] = {};
};

}  // namespace tw
