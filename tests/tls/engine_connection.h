// The TLS engine driven over a blocking loopback socket, as a test owner: the handshake, then
// application data both ways. Records every status line, error and certificate decision.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "tls/tls_engine.h"

namespace tlstest {

class EngineConnection : public tw::TlsEngineOwner {
 public:
  explicit EngineConnection(bool client = true) { engine.Init(this, client); }
  ~EngineConnection() {
    if (fd_ >= 0) ::close(fd_);
  }

  tw::TlsEngine engine;
  std::string received;
  std::vector<std::string> status;
  std::vector<std::pair<int, std::string>> errors;
  int failure_code = 0;
  std::string failure_text;
  bool finished = false;     // the handshake ended, one way or the other
  bool established = false;  // ... and succeeded
  int accept_override = -1;  // 0 or 1 replaces the owner's decision
  std::string certificate_status;
  std::string certificate;
  int certificate_checks = 0;

  bool Connect(int port) {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const int one = 1;
    ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return ::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  }
  // A server side: takes the next connection of a listening socket.
  bool Accept(int listen_fd) {
    fd_ = ::accept(listen_fd, nullptr, nullptr);
    return fd_ >= 0;
  }
  void Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

  // Starts the handshake and feeds input until it ends; true when established.
  bool Handshake(int timeout_ms = 20000) {
    if (engine.Start() != 0) return false;
    Pump([&] { return finished; }, timeout_ms);
    return established;
  }

  bool Send(const std::string& data) {
    size_t off = 0;
    while (off < data.size()) {
      int sent = 0;
      const int rc = engine.SendAppData(data.data() + off, static_cast<int>(data.size() - off), &sent);
      if (rc != 0 && rc != tw::kTlsWouldBlock) return false;
      off += static_cast<size_t>(sent);
    }
    return true;
  }

  // Feeds received bytes to the engine until done() or the peer closes or the time runs out;
  // returns done().
  bool Pump(const std::function<bool()>& done, int timeout_ms = 20000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    char buffer[65536];
    while (!done()) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          end - std::chrono::steady_clock::now()).count();
      if (left <= 0 || fd_ < 0) break;
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(left)) <= 0) break;
      const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
      if (n <= 0) {
        peer_closed = true;
        engine.PeerClosed(engine.established() ? 0 : 1);
        break;
      }
      if (engine.Receive(buffer, static_cast<int>(n)) != 0 && !engine.established()) break;
    }
    return done();
  }
  bool peer_closed = false;

  bool HasStatus(const std::string& text) const {
    for (const std::string& s : status) {
      if (s.find(text) != std::string::npos) return true;
    }
    return false;
  }
  // The hex of a key-debug status line "<label>\r\n<hex dump>", or "".
  std::string DebugHex(const std::string& label) const {
    for (const std::string& s : status) {
      if (s.rfind(label + "\r\n", 0) != 0) continue;
      // Lines of "<offset>  XX XX ...  <text>": the bytes sit in columns 10 to 57.
      std::string hex;
      size_t at = label.size() + 2;
      while (at < s.size()) {
        size_t end = s.find('\n', at);
        if (end == std::string::npos) end = s.size();
        const std::string line = s.substr(at, end - at);
        for (char c : line.substr(std::min<size_t>(10, line.size()), 48)) {
          if (std::isxdigit(static_cast<unsigned char>(c))) hex += static_cast<char>(std::tolower(c));
        }
        at = end + 1;
      }
      return hex;
    }
    return "";
  }

  // ---- TlsEngineOwner ----
  int ReportTlsError(int code, const char* text) override {
    errors.emplace_back(code, text);
    return 0;
  }
  int LogTlsStatus(const char* text) override {
    status.emplace_back(text);
    return 0;
  }
  int CheckServerCertificate(const void* encoded, int length, const char*, const char*,
                             const char* status_text, int* accept) override {
    ++certificate_checks;
    certificate.assign(static_cast<const char*>(encoded), static_cast<size_t>(length));
    certificate_status = status_text;
    if (accept_override >= 0) *accept = accept_override;
    return 0;
  }
  int SendBytes(const void* bytes, int n, int* sent) override {
    const char* p = static_cast<const char*>(bytes);
    int off = 0;
    while (off < n) {
      const ssize_t k = ::send(fd_, p + off, static_cast<size_t>(n - off), MSG_NOSIGNAL);
      if (k <= 0) return 10054;
      off += static_cast<int>(k);
    }
    *sent = off;
    return 0;
  }
  int SetErrorCodeText(int code, const char* text) override {
    if (failure_code == 0) {
      failure_code = code;
      failure_text = text;
    }
    if (!engine.established()) finished = true;
    return 0;
  }
  int OnHandshakeEnded(const char* failure) override {
    finished = true;
    established = failure == nullptr || *failure == '\0';
    return 0;
  }
  int OnIncomingData(const void* bytes, int n, bool) override {
    received.append(static_cast<const char*>(bytes), static_cast<size_t>(n));
    return 0;
  }

 private:
  int fd_ = -1;
};

// A listening socket on 127.0.0.1 with a free port.
class Listener {
 public:
  Listener() {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t n = sizeof a;
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 && ::listen(fd_, 8) == 0 &&
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &n) == 0) {
      port_ = ntohs(a.sin_port);
    }
  }
  ~Listener() { ::close(fd_); }
  int fd() const { return fd_; }
  int port() const { return port_; }

 private:
  int fd_ = -1;
  int port_ = 0;
};

}  // namespace tlstest
