#include "net/firewall_tunnel.h"

#include <cstdio>
#include <cstring>
#include <string_view>

#include "foundation/text_conversion.h"
#include "net/firewall_tunnel_steps.h"
#include "net/name_resolution.h"
#include "net/proxy_settings.h"
#include "net/tcp_client.h"
#include "platform/winsock.h"

namespace tw {
namespace {

using tunnel::kStepStatus;

constexpr char kTextFirewallConnectionFailed[] = "Firewall connection failed.";
constexpr char kTextFirewallConnectionComplete[] = "Firewall connection complete.";
constexpr char kTextFirewallDisconnected[] = "Firewall host disconnected.";
constexpr char kTextUnknownFirewallType[] = "Unknown firewall type: %d.";

constexpr int32_t kTunnelPort = 80;
constexpr int32_t kSocksPort = 1080;

int SetCut(ShortString& field, const char* text) {
  if (text == nullptr) text = "";
  int n = 0;
  while (n < kFirewallTextLimit && text[n] != '\0') ++n;
  return field.Set(text, n);
}

}  // namespace

FirewallTunnel::~FirewallTunnel() {
  WipeBytes(firewall_password_.data(), static_cast<size_t>(firewall_password_.length()));
}

// ---- Settings ----

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
  WipeBytes(firewall_password_.data(), static_cast<size_t>(firewall_password_.length()));
  return SetCut(firewall_password_, text);
}

int FirewallTunnel::SetUserAgent(const char* text) {
  return user_agent_.SetText(text != nullptr ? text : "");
}

int FirewallTunnel::SetRequestUri(const char* text) {
  return request_uri_.SetText(text != nullptr ? text : "");
}

int FirewallTunnel::SetFirewallAutoDetect(bool on) {
  firewall_auto_detect_ = on;
  firewall_host_.Reset();
  firewall_address_ = 0;
  firewall_port_ = 0;
  if (!on) return kOk;
  ByteString server;
  if (!ReadEnabledProxyServer(&server)) return kOk;

  // An HTTPS proxy tunnels with CONNECT; else a SOCKS proxy; else one proxy for every protocol.
  ListEntry found{nullptr, 0};
  uint8_t type = kFirewallNone;
  int skip = 0;
  const struct {
    const char* key;
    uint8_t type;
  } kinds[] = {{"https=", kFirewallTunnel}, {"socks=", kFirewallSocks5}};
  for (const auto& kind : kinds) {
    ForEachListEntry(server.c_str(), [&](ListEntry e) {
      if (!StartsWithNoCase(std::string_view(e.text, e.length), kind.key)) return false;
      found = e;
      skip = static_cast<int>(std::strlen(kind.key));
      return true;
    });
    if (found.text != nullptr) {
      type = kind.type;
      break;
    }
  }
  if (found.text == nullptr) {
    found = FindEveryProtocolEntry(server.c_str());
    if (found.text == nullptr) return kOk;
    type = kFirewallTunnel;
  }

  ByteString host;
  int32_t port = 0;
  if (!SplitHostPort(found.text + skip, found.length - skip, &host, &port)) return kOk;
  const int rc = SetFirewallHost(host.c_str());
  SetFirewallType(type);
  if (port != 0) firewall_port_ = port;
  return rc;
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

const char* FirewallTunnel::PackageName() const {
  return firewall_type_ == kFirewallTunnelNegotiate ? "Negotiate" : "NTLM";
}

// ---- Steps ----

int FirewallTunnel::ConnectStep(int error) {
  reply_text_.Reset();
  reply_line_.Reset();
  auth_state_.challenge.Reset();
  reply_content_length_ = 0;
  reply_received_ = 0;
  reply_chunked_ = false;
  reply_head_bytes_ = 0;
  negotiation_step_ = 0;
  failed_ = false;
  if (error != 0) {
    negotiating_ = false;
    if (firewall_type_ != kFirewallNone) {
      owner_->FireConnectionStatus(kTextFirewallConnectionFailed, error);
    }
    return owner_->OnConnected(error);
  }
  negotiating_ = true;
  if (firewall_type_ != kFirewallNone) {
    owner_->FireConnectionStatus(kTextFirewallConnectionComplete, 0);
    // A handler may have closed the connection.
    if (!negotiating_ || !owner_->HasSocket()) return kOk;
  }

  switch (firewall_type_) {
    case kFirewallNone:
      negotiating_ = false;
      return owner_->OnConnected(0);
    case kFirewallTunnel:
      negotiation_step_ = kStepStatus;
      SendConnectRequest(nullptr);
      return kOk;
    case kFirewallSocks4:
      SendSocks4Request(false);
      return kOk;
    case kFirewallSocks4A:
      SendSocks4Request(true);
      return kOk;
    case kFirewallSocks5:
      SendSocks5Greeting();
      return kOk;
    case kFirewallTunnelNtlm:
    case kFirewallTunnelNegotiate: {
      negotiation_step_ = kStepStatus;
      const int rc = owner_->SetAuthCredentials(PackageName(), firewall_user_.c_str(),
                                                firewall_password_.c_str());
      if (rc != kOk) return Fail(nullptr);
      SendTokenRequest();
      return kOk;
    }
    case kFirewallTunnelDigest:
      negotiation_step_ = kStepStatus;
      auth_state_.digest.Reset();
      SendDigestRequest(nullptr);
      return kOk;
    default: {
      char text[64];
      std::snprintf(text, sizeof(text), kTextUnknownFirewallType, firewall_type_);
      return Fail(text);
    }
  }
}

int FirewallTunnel::ReceiveStep(const void* bytes, int n, bool end_of_record) {
  owner_->RearmTimeoutAfterTraffic();
  // Whatever a refusing firewall still sends is not the caller's data.
  if (failed_) return kOk;
  if (firewall_type_ == kFirewallNone || !negotiating_) {
    return owner_->OnDataIn(bytes, n, end_of_record);
  }
  owner_->OnFirewallResponse(bytes, n);
  const uint8_t* p = static_cast<const uint8_t*>(bytes);
  int left = n;
  while (left > 0 && negotiating_ && !failed_) {
    int used = 0;
    switch (firewall_type_) {
      case kFirewallSocks4:
      case kFirewallSocks4A:
        used = TakeSocks4(p, left);
        break;
      case kFirewallSocks5:
        used = TakeSocks5(p, left);
        break;
      default:
        used = TakeHttp(p, left);
        break;
    }
    if (!negotiating_ && !failed_) {
      Grant(p + used, left - used, end_of_record);
      return kOk;
    }
    if (used <= 0) break;
    p += used;
    left -= used;
  }
  return kOk;
}

int FirewallTunnel::DisconnectStep(int error) {
  negotiating_ = false;
  reply_text_.Reset();
  reply_line_.Reset();
  if (firewall_type_ != kFirewallNone) {
    owner_->FireConnectionStatus(kTextFirewallDisconnected, error);
  }
  return owner_->OnDisconnected(error);
}

int FirewallTunnel::Fail(const char* text) {
  // Handlers may change the owner's error text: the Error event gets a copy.
  ByteString shown;
  shown.SetText(text != nullptr ? text : owner_->error_text().c_str());
  negotiating_ = false;
  failed_ = true;
  negotiation_step_ = 0;
  reply_text_.Reset();
  reply_line_.Reset();
  owner_->OnError(kErrFirewall, shown.c_str());
  if (text != nullptr) owner_->SetErrorCodeText(kErrFirewall, shown.c_str());
  owner_->OnConnected(kErrFirewall);
  owner_->Connect(false);
  return kOk;
}

void FirewallTunnel::Grant(const uint8_t* rest, int n, bool end_of_record) {
  negotiating_ = false;
  negotiation_step_ = 0;
  reply_text_.Reset();
  reply_line_.Reset();
  if (n > 0) {
    owner_->QueueReceived(rest, n);
    uint32_t eol_length = 0;
    const char* eol = owner_->incoming().GetEol(&eol_length);
    if (end_of_record && eol_length != 0) owner_->QueueReceived(eol, static_cast<int>(eol_length));
  }
  owner_->OnConnected(0);
}

// ---- Requests ----

bool FirewallTunnel::SendRequest(const ByteString& request, int secret_from, int secret_length) {
  owner_->MaskNextSendRecord(secret_from, secret_length);
  const int rc = owner_->SendFirewallRequest(request.data(), request.length());
  owner_->MaskNextSendRecord(0, 0);
  if (rc == kOk) return true;
  if (negotiating_) {
    owner_->set_error_code(rc);
    owner_->SetWinsockErrorText(rc);
    Fail(nullptr);
  }
  return false;
}

}  // namespace tw
