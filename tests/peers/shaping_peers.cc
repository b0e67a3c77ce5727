#include "tests/peers/shaping_peers.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>

#include "tests/support/test_support.h"

namespace nettest {

bool CommandServer::Start(const std::vector<std::string>& options) {
  dir_ = testsupport::MakeTempDir();
  port_ = testsupport::FreePort();
  const std::string fifo = dir_ + "/in";
  if (mkfifo(fifo.c_str(), 0600) != 0) return false;
  // Read and write, so neither side waits for the other to open and s_server never sees EOF.
  fd_ = open(fifo.c_str(), O_RDWR);
  std::string command = "exec stdbuf -o0 -e0 openssl s_server -accept " + std::to_string(port_);
  for (const std::string& o : options) command += " " + testsupport::ShellQuote(o);
  command += " < " + testsupport::ShellQuote(fifo);
  return fd_ >= 0 && process_.Start({"sh", "-c", command}, dir_ + "/log", dir_) &&
         process_.WaitForPort(port_, 10000);
}

CommandServer::~CommandServer() {
  process_.Stop();
  if (fd_ >= 0) close(fd_);
  testsupport::RunCommand("rm -rf " + testsupport::ShellQuote(dir_));
}

void CommandServer::Write(const std::string& line) {
  size_t at = 0;
  while (at < line.size()) {
    const ssize_t n = write(fd_, line.data() + at, line.size() - at);
    if (n <= 0) return;
    at += static_cast<size_t>(n);
  }
}

std::string CommandServer::log() const { return testsupport::ReadFile(dir_ + "/log"); }

Relay::Relay(int server_port, Shape shape) : shape_(shape) {
  listener_ = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t len = sizeof a;
  getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &len);
  port_ = ntohs(a.sin_port);
  listen(listener_, 1);
  thread_ = std::thread([this, server_port] { Run(server_port); });
}

Relay::~Relay() {
  stop_ = true;
  thread_.join();
  close(listener_);
}

void Relay::Run(int server_port) {
  pollfd p{listener_, POLLIN, 0};
  while (!stop_ && poll(&p, 1, 50) == 0) {}
  if (stop_) return;
  const int client = accept(listener_, nullptr, nullptr);
  const int server = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<uint16_t>(server_port));
  if (connect(server, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    close(client);
    close(server);
    return;
  }
  std::string held;  // server bytes not yet handed on
  bool seen_ccs = false;
  bool released = false;
  char buffer[65536];
  while (!stop_) {
    pollfd fds[2] = {{client, POLLIN, 0}, {server, POLLIN, 0}};
    if (poll(fds, 2, 50) <= 0) continue;
    if (fds[0].revents != 0) {
      if (shape_ == Shape::kSlowReader) std::this_thread::sleep_for(std::chrono::milliseconds(2));
      const size_t want = shape_ == Shape::kSlowReader ? 4096 : sizeof buffer;
      const ssize_t n = read(client, buffer, want);
      if (n <= 0) break;
      Send(server, buffer, static_cast<size_t>(n));
    }
    if (fds[1].revents != 0) {
      const ssize_t n = read(server, buffer, sizeof buffer);
      if (n <= 0) break;
      held.append(buffer, static_cast<size_t>(n));
      if (shape_ == Shape::kSplit) {
        // Every record arrives in pieces of 3 bytes, each its own arrival.
        for (size_t at = 0; at < held.size(); at += 3) {
          Send(client, held.data() + at, std::min<size_t>(3, held.size() - at));
          std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        held.clear();
      } else if (shape_ == Shape::kWithFinished && !released) {
        // After ChangeCipherSpec, hold on until an application record is whole behind it.
        size_t at = 0;
        while (held.size() - at >= 5) {
          const size_t length = static_cast<uint8_t>(held[at + 3]) << 8 | static_cast<uint8_t>(held[at + 4]);
          if (held.size() - at - 5 < length) break;
          if (held[at] == 20) seen_ccs = true;
          if (held[at] == 23 && seen_ccs) released = true;
          at += 5 + length;
        }
        if (!seen_ccs || released) {
          Send(client, held.data(), held.size());
          held.clear();
        }
      } else {
        Send(client, held.data(), held.size());
        held.clear();
      }
    }
  }
  close(client);
  close(server);
}
void Relay::Send(int fd, const char* p, size_t n) {
  while (n > 0) {
    const ssize_t w = write(fd, p, n);
    if (w <= 0) return;
    p += w;
    n -= static_cast<size_t>(w);
  }
  ++writes_;
}

}  // namespace nettest
