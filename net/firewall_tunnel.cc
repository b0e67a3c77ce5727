#include "net/firewall_tunnel.h"

#include "net/name_resolution.h"
#include "net/tcp_client.h"

namespace tw {
namespace {

constexpr char kTextFirewallConnectionFailed[] = "Firewall connection failed.";
constexpr char kTextFirewallConnectionComplete[] = "Firewall connection complete.";
constexpr char kTextFirewallDisconnected[] = "Firewall host disconnected.";
constexpr char kTextNegotiationUnavailable[] =
    "Firewall negotiation is not available in this build.";

constexpr int32_t kTunnelPort = 80;
constexpr int32_t kSocksPort = 1080;

int SetCut(ShortString& field, const char* text) {
  if (text == nullptr) text = "";
  int n = 0;
  while (n < kFirewallTextLimit && text[n] != '\0') ++n;
  return field.Set(text, n);
}

}  // namespace

void FirewallTunnel::SetFirewallType(int type) {
  firewall_type_ = static_cast<uint8_t>(type);
  switch (type) {
    case kFirewallTunnel:
    case kFirewallTunnelNtlm:
    case kFirewallTunnelNegotiate:
    case kFirewallTunnelDigest:
      if (firewall_port_ == 0) firewall_port_ = kTunnelPort;
      break;
    case kFirewallSocks4:
    case kFirewallSocks5:
    case kFirewallSocks4A:
      if (firewall_port_ == 0) firewall_port_ = kSocksPort;
      break;
    default:
      firewall_port_ = 0;
      break;
  }
}

int FirewallTunnel::SetFirewallHost(const char* text) {
  int rc = firewall_host_.SetText(text != nullptr ? text : "");
  if (rc != kOk) return rc;
  firewall_address_ = 0;
  if (firewall_host_.empty()) return kOk;
  uint32_t address = 0;
  rc = LegacyResolve(firewall_host_.c_str(), &address);
  if (rc != 0) return rc;
  firewall_address_ = address;
  return kOk;
}

const char* FirewallTunnel::FirewallHostText() {
  host_text_[0] = '\0';
  if (firewall_address_ != 0) Ipv4Text(firewall_address_, host_text_, sizeof(host_text_));
  return host_text_;
}

int FirewallTunnel::SetFirewallUser(const char* text) { return SetCut(firewall_user_, text); }

int FirewallTunnel::SetFirewallPassword(const char* text) {
  return SetCut(firewall_password_, text);
}

int FirewallTunnel::SetFirewallAutoDetect(bool on) {
  // The per-user proxy settings are not read in this build: the switch only clears the host.
  firewall_auto_detect_ = on;
  firewall_host_.Reset();
  firewall_address_ = 0;
  firewall_port_ = 0;
  return kOk;
}

void FirewallTunnel::Bypass() {
  firewall_type_ = kFirewallNone;
  firewall_host_.Reset();
  firewall_address_ = 0;
}

bool FirewallTunnel::IsConnected() const {
  if (negotiating_) return false;
  return owner_ != nullptr && owner_->connected();
}

int FirewallTunnel::ConnectStep(int error) {
  reply_text_.Reset();
  saved_eol_.Reset();
  if (error != 0) {
    negotiating_ = false;
    if (firewall_type_ != kFirewallNone) {
      owner_->FireConnectionStatus(kTextFirewallConnectionFailed, error);
    }
    return owner_->OnConnected(error);
  }
  negotiating_ = true;
  if (firewall_type_ == kFirewallNone) {
    negotiating_ = false;
    return owner_->OnConnected(0);
  }
  owner_->FireConnectionStatus(kTextFirewallConnectionComplete, 0);
  return Fail(kTextNegotiationUnavailable);
}

int FirewallTunnel::ReceiveStep(const void* bytes, int n, bool end_of_record) {
  owner_->RearmTimeoutAfterTraffic();
  if (firewall_type_ == kFirewallNone || !negotiating_) {
    return owner_->OnDataIn(bytes, n, end_of_record);
  }
  owner_->OnFirewallResponse(bytes, n);
  return Fail(kTextNegotiationUnavailable);
}

int FirewallTunnel::DisconnectStep(int error) {
  negotiating_ = false;
  reply_text_.Reset();
  saved_eol_.Reset();
  if (firewall_type_ != kFirewallNone) {
    owner_->FireConnectionStatus(kTextFirewallDisconnected, error);
  }
  return owner_->OnDisconnected(error);
}

int FirewallTunnel::Fail(const char* text) {
  owner_->OnError(kErrFirewall, text != nullptr ? text : "");
  negotiating_ = false;
  if (text != nullptr) owner_->SetErrorCodeText(kErrFirewall, text);
  owner_->OnConnected(kErrFirewall);
  owner_->Connect(false);
  return kOk;
}

}  // namespace tw
