// Loopback receive throughput of TcpClient (its read handler and wait loop) against a plain POSIX
// recv loop, in the same process, each fed by a sender thread.
//   bench_tcp_bench [MiB per run, default 1024] [runs, default 3]
//
// The component headers come first: the system socket headers below define macros with the
// names of the platform layer's constants, so no platform constant is named after them.
#include "net/tcp_client.h"
#include "net/tls_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <span>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kSendChunk = 256 * 1024;
constexpr size_t kRecvChunk = 256 * 1024;

// A listener on 127.0.0.1 whose thread sends `total` bytes to the first client, then closes.
class Sender {
 public:
  explicit Sender(uint64_t total) : total_(total) {
    listener_ = ::socket(PF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = PF_INET;
    a.sin_addr.s_addr = htonl(0x7F000001);
    ::bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof(a));
    ::listen(listener_, 1);
    socklen_t len = sizeof(a);
    ::getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] { Run(); });
  }
  ~Sender() {
    thread_.join();
    ::close(listener_);
  }
  int port() const { return port_; }

 private:
  void Run() {
    const int s = ::accept(listener_, nullptr, nullptr);
    if (s < 0) return;
    std::vector<char> chunk(kSendChunk);
    for (size_t i = 0; i < chunk.size(); ++i) chunk[i] = static_cast<char>(i * 31);
    uint64_t left = total_;
    while (left > 0) {
      const size_t n = left < chunk.size() ? static_cast<size_t>(left) : chunk.size();
      const ssize_t sent = ::send(s, chunk.data(), n, MSG_NOSIGNAL);
      if (sent <= 0) break;
      left -= static_cast<uint64_t>(sent);
    }
    ::close(s);
  }

  uint64_t total_;
  int listener_ = -1;
  int port_ = 0;
  std::thread thread_;
};

double PlainRecvLoop(uint64_t total, uint64_t* got) {
  Sender sender(total);
  const auto start = Clock::now();
  const int s = ::socket(PF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = PF_INET;
  a.sin_addr.s_addr = htonl(0x7F000001);
  a.sin_port = htons(static_cast<uint16_t>(sender.port()));
  if (::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0) {
    ::close(s);
    return 0;
  }
  std::vector<char> buffer(kRecvChunk);
  *got = 0;
  for (;;) {
    const ssize_t n = ::recv(s, buffer.data(), buffer.size(), 0);
    if (n <= 0) break;
    *got += static_cast<uint64_t>(n);
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  ::close(s);
  return seconds;
}

// The TCP client with its events reduced to counting.
class CountingClient : public tw::TcpClient {
 public:
  int OnConnected(int code) override {
    connect_code = code;
    connected = true;
    return 0;
  }
  int OnDisconnected(int) override {
    done = true;
    return 0;
  }
  int OnDataIn(const void*, int n, bool) override {
    received += static_cast<uint64_t>(n);
    return 0;
  }
  int OnError(int code, const char*) override {
    error = code;
    return 0;
  }
  int OnReadyToSend() override { return 0; }
  int FireConnectionStatus(const char*, int) override { return 0; }

  bool connected = false;
  bool done = false;
  int connect_code = 0;
  int error = 0;
  uint64_t received = 0;
};

// A sink that takes DataIn blocks as the control's owner would.
class CountingSink : public tw::EventSink {
 public:
  void SetCodePage(int) override {}
  int Fire(int slot, std::span<void* const> args) override {
    if (slot == tw::kEventDataIn) received += static_cast<uint64_t>(*static_cast<int*>(args[1]));
    if (slot == tw::kEventDisconnected) done = true;
    return 0;
  }
  uint64_t received = 0;
  bool done = false;
};

template <typename Component, typename DoneFn>
double ComponentLoop(Component& c, uint64_t total, DoneFn done, bool window_messages) {
  Sender sender(total);
  c.ConfigText(window_messages ? "UseWindowsMessages=true" : "UseWindowsMessages=false", nullptr);
  const auto start = Clock::now();
  c.SetRemoteHost("127.0.0.1");
  c.SetRemotePort(sender.port());
  if (c.Connect(true) != 0) {
    std::fprintf(stderr, "connect: %s\n", c.error_text().c_str());
    return 0;
  }
  while (!done()) c.WaitOnce();
  return std::chrono::duration<double>(Clock::now() - start).count();
}

double Rate(uint64_t bytes, double seconds) {
  return seconds > 0 ? static_cast<double>(bytes) / (1024.0 * 1024.0) / seconds : 0;
}

}  // namespace

int main(int argc, char** argv) {
  const uint64_t mib = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1024;
  const int runs = argc > 2 ? std::atoi(argv[2]) : 3;
  const uint64_t total = mib * 1024 * 1024;

  double best_plain = 0, best_client = 0, best_select = 0, best_events = 0;
  for (int run = 0; run < runs; ++run) {
    uint64_t got = 0;
    double seconds = PlainRecvLoop(total, &got);
    if (got != total) std::fprintf(stderr, "plain loop received %llu bytes\n", (unsigned long long)got);
    best_plain = std::max(best_plain, Rate(got, seconds));

    {
      CountingClient c;
      seconds = ComponentLoop(c, total, [&] { return c.done || c.error != 0; }, true);
      if (c.received != total) {
        std::fprintf(stderr, "TcpClient received %llu bytes\n", (unsigned long long)c.received);
      }
      best_client = std::max(best_client, Rate(c.received, seconds));
    }
    {
      CountingClient c;
      seconds = ComponentLoop(c, total, [&] { return c.done || c.error != 0; }, false);
      best_select = std::max(best_select, Rate(c.received, seconds));
    }
    {
      tw::TlsClient c;
      CountingSink sink;
      c.set_event_sink(&sink);
      seconds = ComponentLoop(c, total, [&] { return sink.done; }, true);
      best_events = std::max(best_events, Rate(sink.received, seconds));
      c.set_event_sink(nullptr);
    }
  }

  std::printf("loopback receive of %llu MiB, best of %d runs\n", (unsigned long long)mib, runs);
  std::printf("  plain POSIX recv loop          %9.1f MB/s\n", best_plain);
  std::printf("  TcpClient (window messages)    %9.1f MB/s  %5.1f%%\n", best_client,
              100.0 * best_client / best_plain);
  std::printf("  TcpClient (select wait)        %9.1f MB/s  %5.1f%%\n", best_select,
              100.0 * best_select / best_plain);
  std::printf("  TlsClient with DataIn events   %9.1f MB/s  %5.1f%%\n", best_events,
              100.0 * best_events / best_plain);
  const bool ok = best_client >= 0.7 * best_plain;
  std::printf("target: TcpClient at least 70%% of the plain loop: %s\n", ok ? "met" : "NOT met");
  return 0;
}
