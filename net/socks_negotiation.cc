// The SOCKS 4, 4A and 5 negotiations of the firewall tunnel: the requests and the replies.
#include <cstdio>
#include <cstring>

#include "net/firewall_tunnel.h"
#include "net/firewall_tunnel_steps.h"
#include "net/name_resolution.h"
#include "net/tcp_client.h"
#include "platform/winsock.h"

namespace tw {
namespace {

using tunnel::HasLineBreaker;
using tunnel::kTextBadRemoteHost;
using tunnel::SecretText;

constexpr char kTextUnknownFirewallError[] = "unknown firewall error: %d";
constexpr char kTextNoAcceptableMethods[] = "no acceptable firewall authentication methods";
constexpr char kTextUnknownMethod[] = "unknown firewall authentication method";
constexpr char kTextAuthenticationFailed[] = "firewall authentication failed: %d";
constexpr char kTextUnknownAddressType[] = "unknown firewall address type: %d";
constexpr char kTextRemoteUnresolved[] =
    "Cannot resolve the RemoteHost address for the firewall request.";
constexpr char kTextSocks5NameTooLong[] = "The RemoteHost name is too long for a SOCKS 5 request.";

struct CodeText {
  int code;
  const char* text;
};
constexpr CodeText kSocks4Replies[] = {
    {91, "firewall request rejected or failed"},
    {92, "firewall request rejected because identd is not available"},
    {93, "firewall request rejected because identd reports different user"},
};
constexpr CodeText kSocks5Replies[] = {
    {1, "general SOCKS server failure"}, {2, "connection not allowed by ruleset"},
    {3, "network unreachable"},          {4, "host unreachable"},
    {5, "connection refused"},           {6, "TTL expired"},
    {7, "command not supported"},        {8, "address type not supported"},
};

constexpr uint8_t kSocks4Version = 4;
constexpr uint8_t kSocks5Version = 5;
constexpr uint8_t kSocksConnect = 1;
constexpr uint8_t kSocks4Granted = 90;
constexpr int kSocks4ReplySize = 8;
constexpr uint8_t kMethodNone = 0;
constexpr uint8_t kMethodUserPassword = 2;
constexpr uint8_t kMethodRefused = 255;
constexpr uint8_t kUserPasswordVersion = 1;
constexpr uint8_t kAddressIpv4 = 1;
constexpr uint8_t kAddressName = 3;
constexpr uint8_t kAddressIpv6 = 4;

// Negotiation steps. SOCKS 5: the method reply, the authentication reply, the connect reply.
constexpr uint8_t kStepMethodReply = 1;
constexpr uint8_t kStepAuthReply = 2;
constexpr uint8_t kStepConnectReply = 3;

// The text of a refusal code: the table's, else the unknown-error text written into `unknown`.
template <size_t N>
const char* RefusalText(const CodeText (&table)[N], int code, char (&unknown)[64]) {
  for (const CodeText& entry : table) {
    if (entry.code == code) return entry.text;
  }
  std::snprintf(unknown, sizeof(unknown), kTextUnknownFirewallError, code);
  return unknown;
}

}  // namespace

bool FirewallTunnel::SendSocks5Greeting() {
  ByteString greeting;
  const bool offer_password = !firewall_user_.empty() && !firewall_password_.empty();
  const uint8_t bytes[] = {kSocks5Version, static_cast<uint8_t>(offer_password ? 2 : 1), kMethodNone,
                           kMethodUserPassword};
  if (greeting.Set(bytes, offer_password ? 4 : 3) != kOk) {
    Fail(nullptr);
    return false;
  }
  negotiation_step_ = kStepMethodReply;
  return SendRequest(greeting);
}

bool FirewallTunnel::ResolveRemote(uint32_t* address) {
  *address = 0;
  const ByteString& host = owner_->remote_host();
  if (HasLineBreaker(host.data(), host.length())) {
    Fail(kTextBadRemoteHost);
    return false;
  }
  const int rc = LegacyResolve(host.c_str(), address);
  if (rc != 0 || *address == 0) {
    Fail(kTextRemoteUnresolved);
    return false;
  }
  return true;
}

bool FirewallTunnel::SendSocks4Request(bool by_name) {
  uint32_t address = 0;
  const ByteString& host = owner_->remote_host();
  if (by_name) {
    // 0.0.0.1: the firewall resolves the name that follows the user.
    const uint8_t marker[4] = {0, 0, 0, 1};
    std::memcpy(&address, marker, sizeof(address));
    if (std::memchr(host.data(), '\0', static_cast<size_t>(host.length())) != nullptr) {
      Fail(kTextBadRemoteHost);
      return false;
    }
  } else if (!ResolveRemote(&address)) {
    return false;
  }
  const int32_t port = owner_->remote_port();
  const uint8_t head[4] = {kSocks4Version, kSocksConnect, static_cast<uint8_t>(port >> 8),
                           static_cast<uint8_t>(port)};
  ByteString request;
  int rc = request.Append(head, sizeof(head));
  if (rc == kOk) rc = request.Append(&address, sizeof(address));
  if (rc == kOk) rc = request.AppendString(firewall_user_);
  if (rc == kOk) rc = request.AppendByte(0);
  if (rc == kOk && by_name) {
    rc = request.AppendString(host);
    if (rc == kOk) rc = request.AppendByte(0);
  }
  if (rc != kOk) {
    Fail(DefaultErrorText(kErrOutOfMemory));
    return false;
  }
  return SendRequest(request);
}

bool FirewallTunnel::SendSocks5Connect() {
  const ByteString& host = owner_->remote_host();
  const uint8_t head[3] = {kSocks5Version, kSocksConnect, 0};
  ByteString request;
  int rc = request.Append(head, sizeof(head));
  if (host.ByteAt(0) == '*') {
    // The firewall resolves the name after the "*".
    const int length = host.length() - 1;
    if (length > 255) {
      Fail(kTextSocks5NameTooLong);
      return false;
    }
    if (std::memchr(host.data(), '\0', static_cast<size_t>(host.length())) != nullptr) {
      Fail(kTextBadRemoteHost);
      return false;
    }
    if (rc == kOk) rc = request.AppendByte(kAddressName);
    if (rc == kOk) rc = request.AppendByte(static_cast<uint8_t>(length));
    if (rc == kOk) rc = request.Append(host.data() + 1, length);
  } else {
    // An IPv6 address (bracketed or not) goes as one; everything else is resolved here.
    ByteString bare;
    const bool bracketed = host.ByteAt(0) == '[' && host.ByteAt(host.length() - 1) == ']';
    rc = bracketed ? bare.Set(host.data() + 1, host.length() - 2) : bare.Assign(host);
    uint8_t ipv6[16];
    if (rc == kOk && bare.FindChar(':', 0) >= 0 &&
        win::inet_pton(win::AF_INET6, bare.c_str(), ipv6) == 1) {
      rc = request.AppendByte(kAddressIpv6);
      if (rc == kOk) rc = request.Append(ipv6, sizeof(ipv6));
    } else {
      uint32_t address = 0;
      if (!ResolveRemote(&address)) return false;
      if (rc == kOk) rc = request.AppendByte(kAddressIpv4);
      if (rc == kOk) rc = request.Append(&address, sizeof(address));
    }
  }
  const int32_t port = owner_->remote_port();
  if (rc == kOk) rc = request.AppendByte(static_cast<uint8_t>(port >> 8));
  if (rc == kOk) rc = request.AppendByte(static_cast<uint8_t>(port));
  if (rc != kOk) {
    Fail(DefaultErrorText(kErrOutOfMemory));
    return false;
  }
  negotiation_step_ = kStepConnectReply;
  return SendRequest(request);
}

// ---- SOCKS replies ----

int FirewallTunnel::TakeSocks4(const uint8_t* p, int n) {
  const int want = kSocks4ReplySize - reply_text_.length();
  const int take = n < want ? n : want;
  if (reply_text_.Append(p, take) != kOk) {
    Fail(DefaultErrorText(kErrOutOfMemory));
    return n;
  }
  if (reply_text_.length() < kSocks4ReplySize) return take;
  const int result = reply_text_.ByteAt(1);
  if (result == kSocks4Granted) {
    negotiating_ = false;
    return take;
  }
  char unknown[64];
  Fail(RefusalText(kSocks4Replies, result, unknown));
  return n;
}

int FirewallTunnel::TakeSocks5(const uint8_t* p, int n) {
  // Bytes of the reply of this step still missing (0: the reply is complete).
  const auto missing = [this]() -> int {
    const int have = reply_text_.length();
    if (negotiation_step_ != kStepConnectReply) return 2 - have;
    if (have < 5) return 5 - have;
    switch (reply_text_.ByteAt(3)) {
      case kAddressIpv4:
        return 10 - have;
      case kAddressIpv6:
        return 22 - have;
      case kAddressName:
        return 7 + reply_text_.ByteAt(4) - have;
      default:
        return 0;
    }
  };
  int used = 0;
  int want = missing();
  while (want > 0 && used < n) {
    const int take = n - used < want ? n - used : want;
    if (reply_text_.Append(p + used, take) != kOk) {
      Fail(DefaultErrorText(kErrOutOfMemory));
      return n;
    }
    used += take;
    // A refusal is known from its second byte; the rest of it does not matter.
    if (negotiation_step_ == kStepConnectReply && reply_text_.length() >= 2 &&
        reply_text_.ByteAt(1) != 0) {
      break;
    }
    want = missing();
  }

  if (negotiation_step_ == kStepMethodReply) {
    if (reply_text_.length() < 2) return used;
    const uint8_t method = reply_text_.ByteAt(1);
    reply_text_.Reset();
    if (method == kMethodNone) {
      SendSocks5Connect();
    } else if (method == kMethodUserPassword) {
      SecretText request;
      const uint8_t version = kUserPasswordVersion;
      int rc = request.text.Append(&version, 1);
      if (rc == kOk) rc = request.text.AppendByte(static_cast<uint8_t>(firewall_user_.length()));
      if (rc == kOk) rc = request.text.AppendString(firewall_user_);
      if (rc == kOk) {
        rc = request.text.AppendByte(static_cast<uint8_t>(firewall_password_.length()));
      }
      const int secret_from = request.text.length();
      if (rc == kOk) rc = request.text.AppendString(firewall_password_);
      if (rc != kOk) {
        Fail(DefaultErrorText(kErrOutOfMemory));
        return n;
      }
      negotiation_step_ = kStepAuthReply;
      SendRequest(request.text, secret_from, firewall_password_.length());
    } else {
      Fail(method == kMethodRefused ? kTextNoAcceptableMethods : kTextUnknownMethod);
      return n;
    }
    return used;
  }

  if (negotiation_step_ == kStepAuthReply) {
    if (reply_text_.length() < 2) return used;
    const int status = reply_text_.ByteAt(1);
    reply_text_.Reset();
    if (status != 0) {
      char text[64];
      std::snprintf(text, sizeof(text), kTextAuthenticationFailed, status);
      Fail(text);
      return n;
    }
    SendSocks5Connect();
    return used;
  }

  // The connect reply.
  if (reply_text_.length() < 2) return used;
  const int reply = reply_text_.ByteAt(1);
  if (reply != 0) {
    char unknown[64];
    Fail(RefusalText(kSocks5Replies, reply, unknown));
    return n;
  }
  if (reply_text_.length() < 4) return used;
  const int address_type = reply_text_.ByteAt(3);
  if (address_type != kAddressIpv4 && address_type != kAddressIpv6 &&
      address_type != kAddressName) {
    char text[64];
    std::snprintf(text, sizeof(text), kTextUnknownAddressType, address_type);
    Fail(text);
    return n;
  }
  if (missing() > 0) return used;
  negotiating_ = false;
  return used;
}

}  // namespace tw
