// The path of a TCP client through a firewall or proxy. With a firewall type set, the TCP
// connection goes to the firewall host, and after the TCP connect the tunnel negotiates the path
// to the remote host: an HTTP CONNECT request (with Basic, NTLM, Negotiate or Digest proxy
// authentication) or a SOCKS 4, 4A or 5 exchange. While it negotiates, received bytes come to the
// tunnel and not to the owner, the owner's IsConnected is false, and the owner sees OnConnected
// only once the firewall grants the path (or refuses it, with 118).
//
// Every reply is read from the raw bytes of the connection: the tunnel takes exactly the reply's
// bytes and hands whatever follows them back to the owner as received data.
//
// SOCKS is in socks_negotiation.cc, HTTP CONNECT in http_connect.cc; the per-user Internet
// Settings proxy values are in proxy_settings.h.
#pragma once

#include <cstdint>

#include "auth/digest_auth.h"
#include "foundation/byte_string.h"
#include "net/proxy_settings.h"

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
// The most bytes an HTTP proxy's reply head (status line and headers) may take.
constexpr int kMaxFirewallReply = 16384;

// The authentication state of the tunnel's CONNECT exchange.
struct AuthChallengeState {
  DigestAuth digest;
  ShortString challenge;  // the Proxy-Authenticate value after the scheme word
};

class FirewallTunnel {
 public:
  explicit FirewallTunnel(TcpClient* owner) : owner_(owner) {}
  ~FirewallTunnel();
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
  // Stores the switch and clears FirewallHost and FirewallPort; when on, takes the firewall from
  // the per-user proxy settings (an "https=" entry: a CONNECT tunnel, else "socks=": SOCKS 5).
  int SetFirewallAutoDetect(bool on);
  // Given by the HTTP client: the User-Agent line of the CONNECT request and the request URI of
  // its Digest authorization. 0 or 200.
  int SetUserAgent(const char* text);
  int SetRequestUri(const char* text);

  // ---- State seen by the owner ----
  // False while negotiating, else the owner's connected flag.
  bool IsConnected() const;
  bool FirewallOptionByte() const { return firewall_type_ != kFirewallNone && negotiating_; }
  // False for the CONNECT types that authenticate over several requests.
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
  const ShortString& user_agent() const { return user_agent_; }
  const ShortString& request_uri() const { return request_uri_; }
  bool firewall_auto_detect() const { return firewall_auto_detect_; }
  bool negotiating() const { return negotiating_; }
  uint8_t negotiation_step() const { return negotiation_step_; }
  // Drops the firewall (type 0, host "") for a host that bypasses it.
  void Bypass();

 private:
  // Sends a negotiation request; bytes [secret_from, secret_from + secret_length) never reach
  // the traffic records. A failed send ends the negotiation; false then.
  bool SendRequest(const ByteString& request, int secret_from = 0, int secret_length = 0);
  // The target as "host:port" for a CONNECT request (an IPv6 address in brackets). False, with
  // the negotiation ended, when the host or the User-Agent text could break the request.
  bool ConnectTarget(ByteString* target);
  // "CONNECT target HTTP/1.0" with the lines of the type, the User-Agent line and the blank line.
  bool SendConnectRequest(const char* authorization);
  bool EndRequestHead(ByteString* request, int rc);
  bool SendDigestRequest(const char* authorization);
  // The first (empty challenge) or the next token of NTLM or Negotiate, sent in a CONNECT.
  bool SendTokenRequest();
  // The IPv4 address of RemoteHost for a SOCKS request; false with the negotiation ended.
  bool ResolveRemote(uint32_t* address);
  bool SendSocks4Request(bool by_name);
  // The SOCKS 5 method offer: none, and user and password when both are set.
  bool SendSocks5Greeting();
  bool SendSocks5Connect();

  // Replies. Each takes bytes from the piece and returns how many it used; the negotiation may
  // end on the way.
  int TakeSocks4(const uint8_t* p, int n);
  int TakeSocks5(const uint8_t* p, int n);
  int TakeHttp(const uint8_t* p, int n);
  // One whole line of an HTTP reply (without its end, bare LF allowed).
  void HttpLine(const char* line, int length);
  void HttpStatus(const char* line, int length);
  void HttpHeader(const char* line, int length);
  void HttpHeadEnd();
  // The body of a 401 or 407 reply was read: the next authenticated request.
  void HttpBodyDone();
  // A CONNECT type 1 reply whose status does not start with "2".
  void FailHttpStatus(const char* line, int length);
  // The status text of types 4 to 6: prefix, the code, a blank and the rest of the line.
  void FailHttpCode(const char* prefix, const char* line, int length);
  // The path is open: bytes after the reply go back to the owner, then OnConnected(0).
  void Grant(const uint8_t* rest, int n, bool end_of_record);
  const char* PackageName() const;

  TcpClient* owner_;
  AuthChallengeState auth_state_;
  int32_t firewall_port_ = 0;
  uint8_t firewall_type_ = kFirewallNone;
  uint8_t negotiation_step_ = 0;
  bool negotiating_ = false;
  // Reply body framing of the authenticating CONNECT types.
  int64_t reply_content_length_ = 0;
  int64_t reply_received_ = 0;
  bool reply_chunked_ = false;
  ByteString reply_line_;
  ShortString reply_text_;  // SOCKS reply bytes
  ShortString firewall_user_;
  ShortString firewall_password_;
  ShortString request_uri_;
  ShortString user_agent_;
  ShortString firewall_host_;
  bool firewall_auto_detect_ = false;
  uint32_t firewall_address_ = 0;  // IPv4, network order
  // Set when a negotiation failed: what the firewall still sends is not the owner's data.
  bool failed_ = false;
  int32_t reply_head_bytes_ = 0;  // bytes of the current reply head (and chunked body) so far
  char host_text_[16] = {};
};

// An Authorization or Proxy-Authorization value fit for a log line: the credentials of a Basic
// value become one "*" per character (they decode to the password); other schemes carry no
// password and stay as they are. 0 or 200.
int MaskAuthorizationForLog(const char* value, ByteString* out);

}  // namespace tw
