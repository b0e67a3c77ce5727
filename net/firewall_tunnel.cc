#include "net/firewall_tunnel.h"

#include <cstdio>
#include <cstring>
#include <iterator>

#include "foundation/text_conversion.h"
#include "net/name_resolution.h"
#include "net/tcp_client.h"
#include "platform/registry.h"
#include "platform/winsock.h"

namespace tw {
namespace {

constexpr char kTextFirewallConnectionFailed[] = "Firewall connection failed.";
constexpr char kTextFirewallConnectionComplete[] = "Firewall connection complete.";
constexpr char kTextFirewallDisconnected[] = "Firewall host disconnected.";
constexpr char kTextFirewallError[] = "Firewall error. ";
constexpr char kTextNtlmStatus[] =
    "Firewall error while attempting NTLM authentication. Expected 401 or 407 but got: ";
constexpr char kTextNtlmAfter[] =
    "Firewall error after NTLM authentication. Expected a status code beginning with 2 but got: ";
constexpr char kTextDigestStatus[] =
    "Firewall error while attempting digest authentication. Expected 401 or 407 but got: ";
constexpr char kTextDigestAfter[] =
    "Firewall error after digest authentication. Expected a status code beginning with 2 but "
    "got: ";
constexpr char kTextUnknownFirewallError[] = "unknown firewall error: %d";
constexpr char kTextNoAcceptableMethods[] = "no acceptable firewall authentication methods";
constexpr char kTextUnknownMethod[] = "unknown firewall authentication method";
constexpr char kTextAuthenticationFailed[] = "firewall authentication failed: %d";
constexpr char kTextUnknownAddressType[] = "unknown firewall address type: %d";
constexpr char kTextReplyTooLong[] = "Firewall reply is too long.";
constexpr char kTextBadChunkSize[] = "Firewall reply has an invalid chunk size.";
constexpr char kTextBadRemoteHost[] =
    "The RemoteHost text cannot be sent to the firewall (CR, LF or NUL).";
constexpr char kTextBadUserAgent[] =
    "The User-Agent text cannot be sent to the firewall (CR, LF or NUL).";
constexpr char kTextRemoteUnresolved[] =
    "Cannot resolve the RemoteHost address for the firewall request.";
constexpr char kTextSocks5NameTooLong[] = "The RemoteHost name is too long for a SOCKS 5 request.";
constexpr char kTextUnknownFirewallType[] = "Unknown firewall type: %d.";
constexpr char kTypeInfo[] = "Info";

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

constexpr int32_t kTunnelPort = 80;
constexpr int32_t kSocksPort = 1080;

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
// HTTP CONNECT: status, headers and body of a 401 or 407, the status and headers of the
// authenticated request (or of the only one), and the chunked body framing.
constexpr uint8_t kStepStatus = 1;
constexpr uint8_t kStepHeaders = 2;
constexpr uint8_t kStepBody = 3;
constexpr uint8_t kStepAuthStatus = 4;
constexpr uint8_t kStepFinalHeaders = 5;
constexpr uint8_t kStepChunkSize = 6;
constexpr uint8_t kStepChunkEnd = 8;
constexpr uint8_t kStepTrailers = 9;

constexpr char kInternetSettingsKey[] =
    "Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";

// A text that holds credentials: wiped when it goes.
struct SecretText {
  ByteString text;
  ~SecretText() { WipeBytes(text.data(), static_cast<size_t>(text.length())); }
};

int SetCut(ShortString& field, const char* text) {
  if (text == nullptr) text = "";
  int n = 0;
  while (n < kFirewallTextLimit && text[n] != '\0') ++n;
  return field.Set(text, n);
}

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; }

bool EqualsNoCase(const char* a, int a_length, const char* b) {
  const int b_length = static_cast<int>(std::strlen(b));
  if (a_length != b_length) return false;
  for (int i = 0; i < a_length; ++i) {
    if (Lower(a[i]) != Lower(b[i])) return false;
  }
  return true;
}

bool StartsWithNoCase(const char* text, int length, const char* prefix) {
  const int n = static_cast<int>(std::strlen(prefix));
  return length >= n && EqualsNoCase(text, n, prefix);
}

// A byte that would end or split a line of the request.
bool HasLineBreaker(const char* text, int length) {
  for (int i = 0; i < length; ++i) {
    if (text[i] == '\r' || text[i] == '\n' || text[i] == '\0') return true;
  }
  return false;
}

const char* CodeTextOf(const CodeText* table, size_t count, int code) {
  for (size_t i = 0; i < count; ++i) {
    if (table[i].code == code) return table[i].text;
  }
  return nullptr;
}

// The status code (second word) and the rest of a status line.
struct StatusLine {
  const char* code = "";
  int code_length = 0;
  const char* rest = "";
  int rest_length = 0;
  bool complete = false;  // a code was found
};

StatusLine ParseStatusLine(const char* line, int length) {
  StatusLine s;
  int i = 0;
  while (i < length && !IsBlank(line[i])) ++i;
  while (i < length && IsBlank(line[i])) ++i;
  const int code_start = i;
  while (i < length && !IsBlank(line[i])) ++i;
  s.code = line + code_start;
  s.code_length = i - code_start;
  s.complete = s.code_length > 0;
  while (i < length && IsBlank(line[i])) ++i;
  s.rest = line + i;
  s.rest_length = length - i;
  return s;
}

// Digits of a decimal count; anything else (or a negative value) counts as 0.
int64_t ParseCount(const char* text, int length) {
  int64_t value = 0;
  int i = 0;
  while (i < length && IsBlank(text[i])) ++i;
  if (i == length) return 0;
  for (; i < length && text[i] >= '0' && text[i] <= '9'; ++i) {
    if (value > (INT64_MAX - 9) / 10) return 0;
    value = value * 10 + (text[i] - '0');
  }
  return value;
}

int OpenInternetSettings(win::HKEY* key) {
  int rc = win::RegOpenKeyExA(win::HKEY_CURRENT_USER, kInternetSettingsKey, 0, win::KEY_READ, key);
  if (rc == win::ERROR_FILE_NOT_FOUND) {
    rc = win::RegOpenKeyExA(win::HKEY_CURRENT_USER, kInternetSettingsKey, 0,
                            win::KEY_READ | win::KEY_WOW64_64KEY, key);
  }
  return rc;
}

int FindText(const char* text, int length, const char* needle) {
  const int n = static_cast<int>(std::strlen(needle));
  for (int i = 0; i + n <= length; ++i) {
    if (std::memcmp(text + i, needle, static_cast<size_t>(n)) == 0) return i;
  }
  return -1;
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
      if (!StartsWithNoCase(e.text, e.length, kind.key)) return false;
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
    ForEachListEntry(server.c_str(), [&](ListEntry e) {
      if (std::memchr(e.text, '=', static_cast<size_t>(e.length)) != nullptr ||
          FindText(e.text, e.length, "://") >= 0) {
        return false;
      }
      found = e;
      return true;
    });
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
    case kFirewallSocks5: {
      ByteString greeting;
      const bool offer_password = !firewall_user_.empty() && !firewall_password_.empty();
      const uint8_t bytes[] = {kSocks5Version, static_cast<uint8_t>(offer_password ? 2 : 1),
                               kMethodNone, kMethodUserPassword};
      if (greeting.Set(bytes, offer_password ? 4 : 3) != kOk) return Fail(nullptr);
      negotiation_step_ = kStepMethodReply;
      SendRequest(greeting);
      return kOk;
    }
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

bool FirewallTunnel::ConnectTarget(ByteString* target) {
  const ByteString& host = owner_->remote_host();
  if (HasLineBreaker(host.data(), host.length())) {
    Fail(kTextBadRemoteHost);
    return false;
  }
  if (HasLineBreaker(user_agent_.data(), user_agent_.length())) {
    Fail(kTextBadUserAgent);
    return false;
  }
  // An IPv6 address keeps its colons apart from the port's.
  const bool bracket = host.FindChar(':', 0) >= 0 && host.ByteAt(0) != '[';
  int rc = target->SetText(bracket ? "[" : "");
  if (rc == kOk) rc = target->AppendString(host);
  if (rc == kOk && bracket) rc = target->AppendByte(']');
  if (rc == kOk) rc = target->AppendByte(':');
  if (rc == kOk) rc = target->AppendInt(owner_->remote_port());
  if (rc != kOk) {
    Fail(DefaultErrorText(kErrOutOfMemory));
    return false;
  }
  return true;
}

bool FirewallTunnel::SendConnectRequest(const char* authorization) {
  ByteString target;
  if (!ConnectTarget(&target)) return false;
  SecretText request;
  int secret_from = 0;
  int secret_length = 0;
  int rc = request.text.AppendText("CONNECT ");
  if (rc == kOk) rc = request.text.AppendString(target);
  if (rc == kOk) rc = request.text.AppendText(" HTTP/1.0");
  if (rc == kOk && (!firewall_user_.empty() || !firewall_password_.empty())) {
    SecretText pair;
    rc = pair.text.AppendString(firewall_user_);
    if (rc == kOk) rc = pair.text.AppendByte(':');
    if (rc == kOk) rc = pair.text.AppendString(firewall_password_);
    if (rc == kOk) rc = request.text.AppendText("\r\nProxy-Authorization: Basic ");
    secret_from = request.text.length();
    if (rc == kOk) {
      rc = Base64Encode(request.text, pair.text.data(), pair.text.length(), false, 0, false);
    }
    secret_length = request.text.length() - secret_from;
  }
  if (rc == kOk && !user_agent_.empty()) {
    rc = request.text.AppendText("\r\nUser-Agent: ");
    if (rc == kOk) rc = request.text.AppendString(user_agent_);
  }
  if (rc == kOk) rc = request.text.AppendText("\r\n\r\n");
  if (rc != kOk) {
    Fail(DefaultErrorText(kErrOutOfMemory));
    return false;
  }
  return SendRequest(request.text, secret_from, secret_length);
}

bool FirewallTunnel::SendTokenRequest() {
  ByteString target;
  if (!ConnectTarget(&target)) return false;
  ByteString token;
  const char* package = PackageName();
  // The firewall is the party being authenticated to: its own host names the target, and for
  // Negotiate its HTTP service principal.
  ByteString host;
  if (firewall_type_ == kFirewallTunnelNegotiate && host.SetText("HTTP/") != kOk) {
    Fail(DefaultErrorText(kErrOutOfMemory));
    return false;
  }
  const int appended = !firewall_host_.empty() ? host.AppendString(firewall_host_)
                                               : host.AppendString(owner_->remote_host());
  if (appended != kOk) {
    Fail(DefaultErrorText(kErrOutOfMemory));
    return false;
  }
  const int built = owner_->BuildAuthToken(&token, package, host.c_str(),
                                           auth_state_.challenge.c_str());
  owner_->LogAtLevel(kLogVerbose, owner_->auth_provider().StatusText(), kTypeInfo);
  if (built != kOk) {
    Fail(nullptr);
    return false;
  }
  ByteString request;
  int rc = request.AppendText("CONNECT ");
  if (rc == kOk) rc = request.AppendString(target);
  if (rc == kOk) rc = request.AppendText(" HTTP/1.0\r\nProxy-Authorization: ");
  if (rc == kOk) rc = request.AppendText(package);
  if (rc == kOk) rc = request.AppendByte(' ');
  if (rc == kOk) rc = request.AppendString(token);
  if (rc == kOk) rc = request.AppendText("\r\nProxy-Connection: Keep-Alive");
  if (rc == kOk && !user_agent_.empty()) {
    rc = request.AppendText("\r\nUser-Agent: ");
    if (rc == kOk) rc = request.AppendString(user_agent_);
  }
  if (rc == kOk) rc = request.AppendText("\r\n\r\n");
  if (rc != kOk) {
    Fail(DefaultErrorText(kErrOutOfMemory));
    return false;
  }
  reply_head_bytes_ = 0;
  return SendRequest(request);
}

bool FirewallTunnel::SendDigestRequest(const char* authorization) {
  ByteString target;
  if (!ConnectTarget(&target)) return false;
  ByteString request;
  int rc = request.AppendText("CONNECT ");
  if (rc == kOk) rc = request.AppendString(target);
  if (rc == kOk) rc = request.AppendText(" HTTP/1.0\r\nHost: ");
  if (rc == kOk) rc = request.AppendString(target);
  if (rc == kOk) {
    rc = request.AppendText(
        "\r\nContent-Length: 0\r\nProxy-Connection: Keep-Alive\r\nPragma: no-cache");
  }
  if (rc == kOk && authorization != nullptr) {
    rc = request.AppendText("\r\nProxy-Authorization: ");
    if (rc == kOk) rc = request.AppendText(authorization);
  }
  if (rc == kOk && !user_agent_.empty()) {
    rc = request.AppendText("\r\nUser-Agent: ");
    if (rc == kOk) rc = request.AppendString(user_agent_);
  }
  if (rc == kOk) rc = request.AppendText("\r\n\r\n");
  if (rc != kOk) {
    Fail(DefaultErrorText(kErrOutOfMemory));
    return false;
  }
  reply_head_bytes_ = 0;
  return SendRequest(request);
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
  const char* text = CodeTextOf(kSocks4Replies, std::size(kSocks4Replies), result);
  char unknown[64];
  if (text == nullptr) {
    std::snprintf(unknown, sizeof(unknown), kTextUnknownFirewallError, result);
    text = unknown;
  }
  Fail(text);
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
    const char* text = CodeTextOf(kSocks5Replies, std::size(kSocks5Replies), reply);
    char unknown[64];
    if (text == nullptr) {
      std::snprintf(unknown, sizeof(unknown), kTextUnknownFirewallError, reply);
      text = unknown;
    }
    Fail(text);
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

// ---- HTTP replies ----

int FirewallTunnel::TakeHttp(const uint8_t* p, int n) {
  int used = 0;
  while (used < n && negotiating_) {
    if (negotiation_step_ == kStepBody) {
      const int64_t remaining = reply_content_length_ - reply_received_;
      const int take = remaining < n - used ? static_cast<int>(remaining) : n - used;
      reply_received_ += take;
      // A chunked body counts against the reply's cap as a whole, its framing lines included.
      if (reply_chunked_) reply_head_bytes_ += take;
      used += take;
      if (reply_received_ >= reply_content_length_) {
        if (reply_chunked_) {
          negotiation_step_ = kStepChunkEnd;
        } else {
          HttpBodyDone();
        }
      }
      continue;
    }
    const uint8_t* start = p + used;
    const int available = n - used;
    const void* lf = std::memchr(start, '\n', static_cast<size_t>(available));
    const int take = lf != nullptr ? static_cast<int>(static_cast<const uint8_t*>(lf) - start) + 1
                                   : available;
    if (reply_head_bytes_ + take > kMaxFirewallReply) {
      Fail(kTextReplyTooLong);
      return n;
    }
    reply_head_bytes_ += take;
    if (reply_line_.Append(start, take) != kOk) {
      Fail(DefaultErrorText(kErrOutOfMemory));
      return n;
    }
    used += take;
    if (lf == nullptr) {
      // A plain tunnel knows its verdict once the status code has begun.
      if (firewall_type_ == kFirewallTunnel && negotiation_step_ == kStepStatus &&
          reply_line_.length() > 9) {
        const StatusLine s = ParseStatusLine(reply_line_.c_str(), reply_line_.length());
        if (s.complete && s.code[0] != '2') {
          FailHttpStatus(reply_line_.c_str(), reply_line_.length());
          return n;
        }
      }
      break;
    }
    int length = reply_line_.length() - 1;
    if (length > 0 && reply_line_.ByteAt(length - 1) == '\r') --length;
    ByteString line;
    if (line.Set(reply_line_.data(), length) != kOk) {
      Fail(DefaultErrorText(kErrOutOfMemory));
      return n;
    }
    reply_line_.Reset();
    HttpLine(line.c_str(), length);
    if (!negotiating_) return failed_ ? n : used;
  }
  return used;
}

void FirewallTunnel::HttpLine(const char* line, int length) {
  switch (negotiation_step_) {
    case kStepStatus:
    case kStepAuthStatus:
      if (length == 0) return;  // blank lines before a status line are tolerated
      HttpStatus(line, length);
      return;
    case kStepHeaders:
      if (length == 0) {
        HttpHeadEnd();
      } else {
        HttpHeader(line, length);
      }
      return;
    case kStepFinalHeaders:
      if (length == 0) negotiating_ = false;  // the path is open
      return;
    case kStepChunkSize: {
      if (length == 0) return;
      int i = 0;
      while (i < length && IsBlank(line[i])) ++i;
      int64_t size = 0;
      int digits = 0;
      for (; i < length && IsHexDigit(line[i]); ++i, ++digits) {
        // Past the cap already: the size is refused, however many digits follow.
        if (size <= kMaxFirewallReply) size = size * 16 + HexDigitValue(line[i]);
      }
      if (digits == 0) {
        Fail(kTextBadChunkSize);
        return;
      }
      if (size > kMaxFirewallReply - reply_head_bytes_) {
        Fail(kTextReplyTooLong);
        return;
      }
      reply_received_ = 0;
      reply_content_length_ = size;
      negotiation_step_ = size == 0 ? kStepTrailers : kStepBody;
      return;
    }
    case kStepChunkEnd:
      negotiation_step_ = kStepChunkSize;
      return;
    case kStepTrailers:
      if (length == 0) HttpBodyDone();
      return;
    default:
      return;
  }
}

void FirewallTunnel::HttpStatus(const char* line, int length) {
  const StatusLine s = ParseStatusLine(line, length);
  const bool success = s.complete && s.code[0] == '2';
  const bool challenge = EqualsNoCase(s.code, s.code_length, "401") ||
                         EqualsNoCase(s.code, s.code_length, "407");
  const bool digest = firewall_type_ == kFirewallTunnelDigest;
  if (firewall_type_ == kFirewallTunnel) {
    if (!success) {
      FailHttpStatus(line, length);
      return;
    }
    negotiation_step_ = kStepFinalHeaders;
    return;
  }
  if (negotiation_step_ == kStepAuthStatus) {
    if (!success) {
      FailHttpCode(digest ? kTextDigestAfter : kTextNtlmAfter, line, length);
      return;
    }
    negotiation_step_ = kStepFinalHeaders;
    return;
  }
  reply_content_length_ = 0;
  reply_received_ = 0;
  reply_chunked_ = false;
  if (EqualsNoCase(s.code, s.code_length, "200")) {
    // No authentication asked for: the rest of the head, then the path is open.
    negotiation_step_ = kStepFinalHeaders;
    return;
  }
  if (!challenge) {
    FailHttpCode(digest ? kTextDigestStatus : kTextNtlmStatus, line, length);
    return;
  }
  auth_state_.challenge.Reset();
  negotiation_step_ = kStepHeaders;
}

void FirewallTunnel::HttpHeader(const char* line, int length) {
  // The name ends at the first colon outside double quotes.
  int colon = -1;
  bool quoted = false;
  for (int i = 0; i < length; ++i) {
    if (line[i] == '"') quoted = !quoted;
    if (line[i] == ':' && !quoted) {
      colon = i;
      break;
    }
  }
  if (colon < 0) return;
  int name_length = colon;
  while (name_length > 0 && IsBlank(line[name_length - 1])) --name_length;
  int v = colon + 1;
  while (v < length && IsBlank(line[v])) ++v;
  const char* value = line + v;
  int value_length = length - v;
  while (value_length > 0 && IsBlank(value[value_length - 1])) --value_length;

  if (EqualsNoCase(line, name_length, "Content-Length")) {
    reply_content_length_ = ParseCount(value, value_length);
  } else if (EqualsNoCase(line, name_length, "Transfer-Encoding")) {
    if (EqualsNoCase(value, value_length, "chunked")) reply_chunked_ = true;
  } else if (EqualsNoCase(line, name_length, "Proxy-Authenticate")) {
    int word = 0;
    while (word < value_length && !IsBlank(value[word])) ++word;
    int after = word;
    while (after < value_length && IsBlank(value[after])) ++after;
    if (firewall_type_ == kFirewallTunnelDigest) {
      if (EqualsNoCase(value, word, "Digest")) {
        ByteString text;
        text.Set(value + after, value_length - after);
        auth_state_.digest.ParseChallenge(text.c_str());
      }
    } else if (EqualsNoCase(value, word, PackageName())) {
      auth_state_.challenge.Set(value + after, value_length - after);
    }
  }
}

void FirewallTunnel::HttpHeadEnd() {
  reply_received_ = 0;
  // A chunked body shares the head's cap: the reply as a whole stays within it.
  if (!reply_chunked_) reply_head_bytes_ = 0;
  if (reply_chunked_) {
    negotiation_step_ = kStepChunkSize;
  } else if (reply_content_length_ > 0) {
    negotiation_step_ = kStepBody;
  } else {
    // No body to wait for: the next request goes at once.
    HttpBodyDone();
  }
}

void FirewallTunnel::HttpBodyDone() {
  reply_content_length_ = 0;
  reply_received_ = 0;
  reply_chunked_ = false;
  negotiation_step_ = kStepAuthStatus;
  if (firewall_type_ != kFirewallTunnelDigest) {
    SendTokenRequest();
    return;
  }
  DigestAuth& digest = auth_state_.digest;
  ByteString uri;
  if (!request_uri_.empty()) {
    uri.Assign(request_uri_);
  } else if (!ConnectTarget(&uri)) {
    return;
  }
  ByteString authorization;
  int rc = digest.SetCredentials(firewall_user_.c_str(), firewall_password_.c_str());
  if (rc == kOk) rc = digest.SetRequest("CONNECT", uri.c_str(), "", 0);
  if (rc == kOk) rc = digest.BuildAuthorization(&authorization, false);
  if (rc != kOk) {
    Fail(digest.error_text()[0] != '\0' ? digest.error_text() : DefaultErrorText(rc));
    return;
  }
  SendDigestRequest(authorization.c_str());
}

void FirewallTunnel::FailHttpStatus(const char* line, int length) {
  ByteString text;
  int end = 0;
  while (end < length && line[end] != '\r' && line[end] != '\n') ++end;
  int rc = text.AppendText(kTextFirewallError);
  if (rc == kOk) rc = text.Append(line, end);
  if (rc == kOk && (end == 0 || line[end - 1] != '.')) rc = text.AppendByte('.');
  Fail(rc == kOk ? text.c_str() : DefaultErrorText(kErrOutOfMemory));
}

void FirewallTunnel::FailHttpCode(const char* prefix, const char* line, int length) {
  const StatusLine s = ParseStatusLine(line, length);
  ByteString text;
  int rc = text.AppendText(prefix);
  if (rc == kOk) rc = text.Append(s.code, s.code_length);
  if (rc == kOk) rc = text.AppendByte(' ');
  if (rc == kOk) rc = text.Append(s.rest, s.rest_length);
  Fail(rc == kOk ? text.c_str() : DefaultErrorText(kErrOutOfMemory));
}

// ---- Internet Settings ----

int ReadInternetSettingsText(const char* name, uint32_t size, ByteString* out) {
  out->Reset();
  win::HKEY key = nullptr;
  int rc = OpenInternetSettings(&key);
  if (rc != 0) return rc;
  ByteString buffer;
  rc = buffer.Resize(static_cast<int>(size));
  if (rc != kOk) {
    win::RegCloseKey(key);
    return rc;
  }
  win::DWORD type = 0;
  win::DWORD got = size;
  rc = win::RegQueryValueExA(key, name, nullptr, &type, buffer.bytes(), &got);
  win::RegCloseKey(key);
  if (rc != 0) return rc;
  if (type != win::REG_SZ && type != win::REG_EXPAND_SZ) return win::ERROR_FILE_NOT_FOUND;
  const void* nul = std::memchr(buffer.data(), '\0', got);
  const int length = nul != nullptr
                         ? static_cast<int>(static_cast<const char*>(nul) - buffer.data())
                         : static_cast<int>(got);
  return out->Set(buffer.data(), length);
}

int ReadInternetSettingsDword(const char* name, uint32_t* out) {
  *out = 0;
  win::HKEY key = nullptr;
  int rc = OpenInternetSettings(&key);
  if (rc != 0) return rc;
  win::DWORD type = 0;
  win::DWORD value = 0;
  win::DWORD got = sizeof(value);
  rc = win::RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<win::BYTE*>(&value),
                             &got);
  win::RegCloseKey(key);
  if (rc != 0) return rc;
  if (type != win::REG_DWORD || got != sizeof(value)) return win::ERROR_FILE_NOT_FOUND;
  *out = value;
  return kOk;
}

bool ReadEnabledProxyServer(ByteString* out) {
  out->Reset();
  uint32_t enabled = 0;
  if (ReadInternetSettingsDword("ProxyEnable", &enabled) != kOk || enabled == 0) return false;
  return ReadInternetSettingsText("ProxyServer", kProxyServerValueSize, out) == kOk;
}

bool SplitHostPort(const char* text, int length, ByteString* host, int32_t* port) {
  *port = 0;
  host->Reset();
  const int scheme = FindText(text, length, "://");
  if (scheme >= 0) {
    text += scheme + 3;
    length -= scheme + 3;
  }
  int colon = -1;
  if (length > 0 && text[0] == '[') {
    const void* close = std::memchr(text, ']', static_cast<size_t>(length));
    if (close != nullptr) {
      const int at = static_cast<int>(static_cast<const char*>(close) - text);
      if (at + 1 < length && text[at + 1] == ':') colon = at + 1;
      if (colon < 0) return false;
      if (host->Set(text + 1, at - 1) != kOk) return false;
    }
  }
  if (colon < 0) {
    const void* at = std::memchr(text, ':', static_cast<size_t>(length));
    if (at == nullptr) return false;
    colon = static_cast<int>(static_cast<const char*>(at) - text);
    if (host->Set(text, colon) != kOk) return false;
  }
  int64_t value = 0;
  int i = colon + 1;
  int digits = 0;
  for (; i < length && text[i] >= '0' && text[i] <= '9' && value <= 65535; ++i, ++digits) {
    value = value * 10 + (text[i] - '0');
  }
  const bool number = digits > 0 && value <= 65535 &&
                      (i == length || text[i] == ';' || text[i] == '/' || IsBlank(text[i]));
  *port = number ? static_cast<int32_t>(value) : 0;
  return true;
}

bool FindSchemeProxy(const char* proxy_server, const char* scheme, ByteString* host,
                     int32_t* port) {
  if (proxy_server == nullptr) return false;
  ByteString key;
  if (key.SetText(scheme != nullptr && *scheme != '\0' ? scheme : "http") != kOk) return false;
  key.ToLower();
  ByteString with_equals;
  ByteString with_slashes;
  if (with_equals.Assign(key) != kOk || with_equals.AppendByte('=') != kOk ||
      with_slashes.Assign(key) != kOk || with_slashes.AppendText("://") != kOk) {
    return false;
  }

  ListEntry found{nullptr, 0};
  int skip = 0;
  ForEachListEntry(proxy_server, [&](ListEntry e) {
    for (const ByteString* k : {&with_equals, &with_slashes}) {
      if (StartsWithNoCase(e.text, e.length, k->c_str())) {
        found = e;
        skip = k->length();
        return true;
      }
    }
    return false;
  });
  if (found.text == nullptr) {
    ForEachListEntry(proxy_server, [&](ListEntry e) {
      if (std::memchr(e.text, '=', static_cast<size_t>(e.length)) != nullptr ||
          FindText(e.text, e.length, "://") >= 0) {
        return false;
      }
      found = e;
      return true;
    });
  }
  if (found.text == nullptr) return false;

  ByteString entry_host;
  int32_t entry_port = 0;
  if (!SplitHostPort(found.text + skip, found.length - skip, &entry_host, &entry_port)) {
    return host->Set(found.text + skip, found.length - skip) == kOk;
  }
  if (host->Assign(entry_host) != kOk) return false;
  if (entry_port != 0) *port = entry_port;
  return true;
}

int MaskAuthorizationForLog(const char* value, ByteString* out) {
  if (value == nullptr) value = "";
  const int length = static_cast<int>(std::strlen(value));
  int word = 0;
  while (word < length && !IsBlank(value[word])) ++word;
  if (!EqualsNoCase(value, word, "Basic")) return out->SetText(value);
  int after = word;
  while (after < length && IsBlank(value[after])) ++after;
  int rc = out->Set(value, after);
  if (rc == kOk && length > after) rc = out->AppendRepeated(length - after, '*');
  return rc;
}

}  // namespace tw
