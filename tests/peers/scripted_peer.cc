#include "tests/peers/scripted_peer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <strings.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace testsupport {

namespace {

constexpr size_t kReadChunk = 16384;
constexpr int kBacklog = 64;

// Case-insensitive search for a header's value in a request head; "" when absent.
std::string HeaderValue(const std::string& head, const std::string& name) {
  size_t pos = 0;
  while ((pos = head.find("\r\n", pos)) != std::string::npos) {
    pos += 2;
    if (head.size() - pos < name.size() + 1) break;
    if (strncasecmp(head.c_str() + pos, name.c_str(), name.size()) == 0 && head[pos + name.size()] == ':') {
      size_t v = pos + name.size() + 1;
      size_t end = head.find("\r\n", v);
      if (end == std::string::npos) end = head.size();
      while (v < end && (head[v] == ' ' || head[v] == '\t')) ++v;
      while (end > v && (head[end - 1] == ' ' || head[end - 1] == '\t')) --end;
      return head.substr(v, end - v);
    }
  }
  return "";
}

}  // namespace

struct ScriptedPeer::Connection {
  int fd = -1;
  bool eof = false;     // the client closed its side (or the socket failed)
  bool done = false;    // script and drain finished
  size_t mark = 0;      // where the next wait for a delimiter starts looking
  std::string data;     // everything received; guarded by ScriptedPeer::mu_ for readers
};

ScriptedPeer::Action ScriptedPeer::Send(std::string bytes) { return {Kind::kSend, std::move(bytes), 0, {}}; }

ScriptedPeer::Action ScriptedPeer::SendFn(std::function<std::string(const std::string&)> make) {
  return {Kind::kSendFn, "", 0, std::move(make)};
}

ScriptedPeer::Action ScriptedPeer::Sleep(int ms) { return {Kind::kSleep, "", static_cast<size_t>(ms), {}}; }

ScriptedPeer::Action ScriptedPeer::Close() { return {Kind::kClose, "", 0, {}}; }

ScriptedPeer::Action ScriptedPeer::Reset() { return {Kind::kReset, "", 0, {}}; }

ScriptedPeer::Action ScriptedPeer::WaitBytes(size_t total) { return {Kind::kWaitBytes, "", total, {}}; }

ScriptedPeer::Action ScriptedPeer::WaitHead() { return {Kind::kWaitHead, "\r\n\r\n", 0, {}}; }

ScriptedPeer::Action ScriptedPeer::WaitRequest() { return {Kind::kWaitRequest, "", 0, {}}; }

ScriptedPeer::Action ScriptedPeer::Repeat(std::string bytes, size_t times) {
  return {Kind::kRepeat, std::move(bytes), times, {}};
}

ScriptedPeer::Action ScriptedPeer::WaitFor(std::string delimiter) {
  return {Kind::kWaitFor, std::move(delimiter), 0, {}};
}

std::string ScriptedPeer::HttpResponse(const std::string& body, const std::string& extra_headers, int status,
                                       const std::string& reason) {
  return "HTTP/1.1 " + std::to_string(status) + " " + reason + "\r\nContent-Length: " + std::to_string(body.size()) +
         "\r\n" + extra_headers + "\r\n" + body;
}

ScriptedPeer::ScriptedPeer(Script script) { scripts_.push_back(std::move(script)); }

ScriptedPeer::~ScriptedPeer() { Stop(); }

void ScriptedPeer::SetScripts(std::vector<Script> scripts) { scripts_ = std::move(scripts); }

std::string ScriptedPeer::base_url() const { return "http://127.0.0.1:" + std::to_string(port_); }

bool ScriptedPeer::Start() {
  if (listen_fd_ >= 0) return true;
  if (pipe2(wake_pipe_, O_CLOEXEC) != 0) return false;
  listen_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listen_fd_ < 0) {
    Stop();
    return false;
  }
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  if (bind(listen_fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(listen_fd_, kBacklog) != 0 ||
      getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
    Stop();
    return false;
  }
  port_ = ntohs(a.sin_port);
  stopping_ = false;
  acceptor_ = std::thread([this] { AcceptLoop(); });
  return true;
}

void ScriptedPeer::Stop() {
  stopping_ = true;
  if (wake_pipe_[1] >= 0) {
    char b = 1;
    [[maybe_unused]] ssize_t n = write(wake_pipe_[1], &b, 1);
  }
  if (acceptor_.joinable()) acceptor_.join();
  std::vector<std::thread> workers;
  {
    std::lock_guard<std::mutex> lock(mu_);
    workers.swap(workers_);
  }
  for (std::thread& t : workers) t.join();
  {
    std::lock_guard<std::mutex> lock(mu_);
    for (auto& c : connections_) {
      if (c->fd >= 0) {
        close(c->fd);
        c->fd = -1;
      }
    }
  }
  if (listen_fd_ >= 0) close(listen_fd_);
  listen_fd_ = -1;
  for (int& fd : wake_pipe_) {
    if (fd >= 0) close(fd);
    fd = -1;
  }
  cv_.notify_all();
}

void ScriptedPeer::AcceptLoop() {
  for (;;) {
    pollfd fds[2] = {{listen_fd_, POLLIN, 0}, {wake_pipe_[0], POLLIN, 0}};
    int r = poll(fds, 2, -1);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0 || stopping_ || (fds[1].revents & POLLIN)) return;
    if (!(fds[0].revents & POLLIN)) continue;
    int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    auto conn = std::make_shared<Connection>();
    conn->fd = fd;
    std::lock_guard<std::mutex> lock(mu_);
    size_t index = connections_.size();
    connections_.push_back(conn);
    static const Script kEmpty;
    const Script& script = scripts_.empty() ? kEmpty : scripts_[std::min(index, scripts_.size() - 1)];
    workers_.emplace_back([this, conn, &script] { Serve(conn, script); });
    cv_.notify_all();
  }
}

// Reads what is available (waiting for it); false on EOF, error or stop.
bool ScriptedPeer::ReadMore(Connection& conn) {
  if (conn.eof || conn.fd < 0) return false;
  for (;;) {
    pollfd fds[2] = {{conn.fd, POLLIN, 0}, {wake_pipe_[0], POLLIN, 0}};
    int r = poll(fds, 2, -1);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0 || stopping_ || (fds[1].revents & POLLIN)) return false;
    if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) break;
  }
  char buf[kReadChunk];
  ssize_t n = recv(conn.fd, buf, sizeof buf, 0);
  if (n < 0 && errno == EINTR) return true;
  if (n <= 0) {
    conn.eof = true;
    return false;
  }
  std::lock_guard<std::mutex> lock(mu_);
  conn.data.append(buf, static_cast<size_t>(n));
  return true;
}

void ScriptedPeer::Serve(std::shared_ptr<Connection> conn, const Script& script) {
  // Only this thread writes conn->data; it reads it without the lock.
  auto wait_for = [&](const std::string& delim) -> bool {
    for (;;) {
      size_t at = conn->data.find(delim, conn->mark);
      if (at != std::string::npos) {
        conn->mark = at + delim.size();
        return true;
      }
      if (!ReadMore(*conn)) return false;
    }
  };
  auto wait_total = [&](size_t total) -> bool {
    while (conn->data.size() < total) {
      if (!ReadMore(*conn)) return false;
    }
    return true;
  };
  // Waits for room rather than blocking in send, so Stop is not held up by a client that
  // does not read.
  // False when the bytes could not all be sent (client gone, stop).
  auto send_all = [&](const std::string& bytes) -> bool {
    size_t off = 0;
    while (off < bytes.size()) {
      pollfd fds[2] = {{conn->fd, POLLOUT, 0}, {wake_pipe_[0], POLLIN, 0}};
      int r = poll(fds, 2, -1);
      if (r < 0 && errno == EINTR) continue;
      if (r < 0 || stopping_ || (fds[1].revents & POLLIN)) return false;
      if (fds[0].revents & (POLLERR | POLLHUP | POLLNVAL)) return false;
      ssize_t n = send(conn->fd, bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
      if (n <= 0) return false;
      off += static_cast<size_t>(n);
    }
    return true;
  };
  bool closed = false;
  for (const Action& act : script) {
    if (stopping_) break;
    switch (act.kind) {
      case Kind::kSend:
        send_all(act.bytes);
        break;
      case Kind::kSendFn:
        send_all(act.make(conn->data));
        break;
      case Kind::kRepeat: {
        bool sent = true;
        for (size_t i = 0; sent && !stopping_ && (act.count == 0 || i < act.count); ++i) {
          sent = send_all(act.bytes);
        }
        break;
      }
      case Kind::kSleep: {
        // Sleep in slices so Stop is not held up.
        auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(act.count);
        while (!stopping_ && std::chrono::steady_clock::now() < until) {
          pollfd p = {wake_pipe_[0], POLLIN, 0};
          auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
          poll(&p, 1, static_cast<int>(std::max<int64_t>(left.count(), 1)));
        }
        break;
      }
      case Kind::kClose:
        shutdown(conn->fd, SHUT_WR);
        break;
      case Kind::kReset: {
        linger l{1, 0};
        setsockopt(conn->fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
        std::lock_guard<std::mutex> lock(mu_);
        close(conn->fd);
        conn->fd = -1;
        closed = true;
        break;
      }
      case Kind::kWaitBytes:
        wait_total(act.count);
        break;
      case Kind::kWaitHead:
      case Kind::kWaitFor:
        wait_for(act.bytes);
        break;
      case Kind::kWaitRequest: {
        size_t head_start = conn->mark;
        if (!wait_for("\r\n\r\n")) break;
        const std::string head = conn->data.substr(head_start, conn->mark - head_start);
        const std::string length = HeaderValue(head, "Content-Length");
        const std::string te = HeaderValue(head, "Transfer-Encoding");
        if (strcasestr(te.c_str(), "chunked") != nullptr) {
          wait_for("0\r\n\r\n");
        } else if (!length.empty()) {
          size_t n = std::strtoull(length.c_str(), nullptr, 10);
          if (wait_total(conn->mark + n)) conn->mark += n;
        }
        break;
      }
    }
    if (closed) break;
  }
  // Keep reading so the client's later bytes are recorded and it never sees an unscripted close.
  if (!closed) {
    while (ReadMore(*conn)) {
    }
  }
  std::lock_guard<std::mutex> lock(mu_);
  conn->done = true;
  cv_.notify_all();
}

std::vector<std::string> ScriptedPeer::requests() const {
  std::lock_guard<std::mutex> lock(mu_);
  std::vector<std::string> out;
  for (const auto& c : connections_) out.push_back(c->data);
  return out;
}

std::string ScriptedPeer::request(size_t index) const {
  std::lock_guard<std::mutex> lock(mu_);
  return index < connections_.size() ? connections_[index]->data : "";
}

int ScriptedPeer::connection_count() const {
  std::lock_guard<std::mutex> lock(mu_);
  return static_cast<int>(connections_.size());
}

bool ScriptedPeer::WaitForConnections(int n, int timeout_ms, bool finished) const {
  std::unique_lock<std::mutex> lock(mu_);
  return cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] {
    if (static_cast<int>(connections_.size()) < n) return false;
    if (!finished) return true;
    int done = 0;
    for (const auto& c : connections_) done += c->done ? 1 : 0;
    return done >= n;
  });
}

}  // namespace testsupport
