// Full TLS handshakes served to openssl s_time -new on loopback: the own engine as a server (in
// this process, one connection at a time, a fresh engine per connection given the certificate
// store as a product server does) and openssl s_server, alternately, on the same RSA 2048
// certificate with its intermediate, for TLS 1.2 ECDHE-RSA-AES128-GCM (P-256) and TLS 1.3 X25519
// + AES-128-GCM. What is compared is the server's CPU per handshake: ours from the serving
// thread's CPU clock, theirs from the s_server process group's user + system time in /proc.
// Target: ours at most 1.2x OpenSSL's. Before that, a cold start: 200 connections at once at a
// server that has not loaded its store yet, against the same once it has (no target; figures).
//   bench_tls_server_handshake [seconds per run, default 3] [rounds, default 2]
#include <dirent.h>
#include <poll.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "bench/handshake_bench.h"
#include "tests/peers/openssl_server_peer.h"
#include "tests/support/test_support.h"
#include "tests/tls/engine_connection.h"

namespace {

using testsupport::OpenSslServerPeer;

constexpr long kMaxHandshakes = 200000;  // per run, whatever the time

struct Figures {
  long count = 0;
  double cpu_micros = 0;  // server CPU per handshake
};

struct Suite {
  const char* name;
  OpenSslServerPeer::Options server;
  uint32_t mask;  // SSLEnabledProtocols of the own server
  const char* s_time_args;
};

long ThreadCpuNanos() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<long>(t.tv_sec) * 1000000000L + t.tv_nsec;
}

// User + system seconds of every process in the group `pgid` (s_server under its guardian).
double GroupCpuSeconds(int pgid) {
  const double tick = static_cast<double>(sysconf(_SC_CLK_TCK));
  double total = 0;
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return 0;
  while (const dirent* e = readdir(proc)) {
    if (!std::isdigit(static_cast<unsigned char>(e->d_name[0]))) continue;
    const std::string stat = testsupport::ReadFile(std::string("/proc/") + e->d_name + "/stat");
    const size_t close = stat.rfind(')');
    if (close == std::string::npos) continue;
    // After the name: state ppid pgrp session tty tpgid flags minflt cminflt majflt cmajflt utime stime.
    std::vector<std::string> fields;
    size_t at = close + 2;
    while (at < stat.size() && fields.size() < 13) {
      const size_t end = stat.find(' ', at);
      fields.push_back(stat.substr(at, end == std::string::npos ? std::string::npos : end - at));
      if (end == std::string::npos) break;
      at = end + 1;
    }
    if (fields.size() < 13 || std::atoi(fields[2].c_str()) != pgid) continue;
    total += (std::atof(fields[11].c_str()) + std::atof(fields[12].c_str())) / tick;
  }
  closedir(proc);
  return total;
}

std::string STime(const Suite& suite, int port, int seconds) {
  return testsupport::RunCommand("openssl s_time -connect 127.0.0.1:" + std::to_string(port) + " -new -time " +
                                 std::to_string(seconds) + " " + suite.s_time_args + " 2>&1");
}

// The own engine serving one connection after another on a loopback listener.
class OwnServer {
 public:
  OwnServer(const tw::ByteString& store, uint32_t mask) : store_(store), mask_(mask) {
    thread_ = std::thread([this] { Run(); });
  }
  ~OwnServer() {
    stop_ = true;
    thread_.join();
  }
  int port() const { return listener_.port(); }
  void Reset() {
    count_ = failures_ = 0;
    nanos_ = 0;
  }
  long count() const { return count_; }
  long failures() const { return failures_; }
  long nanos() const { return nanos_; }
  const std::string& last_failure() const { return last_failure_; }

 private:
  void Run() {
    while (!stop_) {
      pollfd p{listener_.fd(), POLLIN, 0};
      if (::poll(&p, 1, 100) <= 0) continue;
      const long start = ThreadCpuNanos();
      tlstest::EngineConnection c(false);
      if (!c.Accept(listener_.fd())) continue;
      c.engine.SetOwnCertificate(7, store_, tw::ByteString(), tw::ByteString());
      c.engine.SetProtocolMask(mask_);
      if (c.Handshake(5000)) {
        // s_time closes as soon as its handshake is done.
        c.Pump([&] { return c.peer_closed; }, 2000);
        ++count_;
      } else {
        if (failures_++ == 0) last_failure_ = c.failure_text;
      }
      c.engine.Close();
      c.Close();
      nanos_ += ThreadCpuNanos() - start;
      if (count_ >= kMaxHandshakes) stop_ = true;
    }
  }

  tlstest::Listener listener_;
  const tw::ByteString& store_;
  uint32_t mask_;
  std::atomic<bool> stop_{false};
  std::atomic<long> count_{0};
  std::atomic<long> failures_{0};
  std::atomic<long> nanos_{0};
  std::string last_failure_;
  std::thread thread_;
};

Figures Ours(const Suite& suite, OwnServer& server, int seconds) {
  server.Reset();
  const std::string out = STime(suite, server.port(), seconds);
  Figures f;
  f.count = server.count();
  if (f.count == 0 || bench::STimeCount(out) == 0 || server.failures() > 0) {
    std::fprintf(stderr, "%s: own server: %ld handshakes, %ld failed (%s); s_time said: %s\n", suite.name, f.count,
                 server.failures(), server.last_failure().c_str(), out.c_str());
    return Figures{};
  }
  f.cpu_micros = static_cast<double>(server.nanos()) / 1e3 / static_cast<double>(f.count);
  return f;
}

Figures Theirs(const Suite& suite, const OpenSslServerPeer& server, int seconds) {
  const double cpu0 = GroupCpuSeconds(server.pid());
  const std::string out = STime(suite, server.port(), seconds);
  Figures f;
  f.count = bench::STimeCount(out);
  if (f.count == 0) {
    std::fprintf(stderr, "%s: s_time said: %s\n", suite.name, out.c_str());
    return f;
  }
  f.cpu_micros = (GroupCpuSeconds(server.pid()) - cpu0) * 1e6 / static_cast<double>(f.count);
  return f;
}

// The process's resident and peak resident memory, in KiB.
long StatusKb(const char* field) {
  const std::string status = testsupport::ReadFile("/proc/self/status");
  const size_t at = status.find(field);
  return at == std::string::npos ? 0 : std::atol(status.c_str() + at + std::strlen(field));
}

struct Burst {
  double cpu_seconds = 0;  // of the serving threads together
  long peak_growth_kb = 0;
  int failures = 0;
};

// `n` connections arriving together (own engine clients, TLS 1.3), each served on a thread of
// its own with a fresh engine given the store, as a product server starts one per connection.
Burst ServeTogether(const tw::ByteString& store, int n) {
  tlstest::Listener listener;
  std::atomic<long> nanos{0};
  std::atomic<int> failures{0};
  const long rss_before = StatusKb("VmRSS:");
  std::vector<std::thread> threads;
  for (int i = 0; i < n; ++i) {
    threads.emplace_back([&] {
      const long start = ThreadCpuNanos();
      tlstest::EngineConnection c(false);
      c.engine.SetOwnCertificate(7, store, tw::ByteString(), tw::ByteString());
      c.engine.SetProtocolMask(0x3FC0);
      if (!c.Accept(listener.fd()) || !c.Handshake(60000)) ++failures;
      c.Pump([&] { return c.peer_closed; }, 5000);
      c.Close();
      nanos += ThreadCpuNanos() - start;
    });
    threads.emplace_back([&] {
      tlstest::EngineConnection c;
      c.engine.SetServerName("localhost");
      c.engine.SetProtocolMask(0x3FC0);
      if (!c.Connect(listener.port()) || !c.Handshake(60000)) ++failures;
      c.engine.Close();
      c.Close();
    });
  }
  for (std::thread& t : threads) t.join();
  Burst b;
  b.cpu_seconds = static_cast<double>(nanos.load()) / 1e9;
  b.peak_growth_kb = StatusKb("VmHWM:") - rss_before;
  b.failures = failures;
  return b;
}

// A fresh server met by a burst, then the same burst once the store is loaded. The store gets a
// line of its own so that no earlier connection of this process loaded it.
int ColdStart(const std::string& pem) {
  constexpr int kConnections = 200;
  tw::ByteString store;
  const std::string fresh = pem + "cold start\n";
  store.Set(fresh.data(), static_cast<int>(fresh.size()));
  const Burst cold = ServeTogether(store, kConnections);
  const Burst warm = ServeTogether(store, kConnections);
  if (cold.failures + warm.failures > 0) {
    std::fprintf(stderr, "cold start: %d handshakes failed\n", cold.failures + warm.failures);
    return 1;
  }
  std::printf("%d connections at once, TLS 1.3: cold store %.2f s server CPU, peak +%ld MB   "
              "warm %.2f s, peak +%ld MB (peaks: growth of the process's high-water mark)\n",
              kConnections, cold.cpu_seconds, cold.peak_growth_kb / 1024, warm.cpu_seconds,
              warm.peak_growth_kb / 1024);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const int seconds = argc > 1 ? std::atoi(argv[1]) : 3;
  const int rounds = argc > 2 ? std::atoi(argv[2]) : 2;
  if (seconds <= 0 || seconds > 600 || rounds <= 0 || rounds > 20) {
    std::fprintf(stderr, "usage: %s [seconds per run, 1..600] [rounds, 1..20]\n", argv[0]);
    return 2;
  }
  int exit_code = 0;
  const testsupport::TestPki* pki = bench::HandshakePki(exit_code);
  if (pki == nullptr) return exit_code;
  // The leaf, its key and the intermediate, as one PEM store.
  const std::string pem = testsupport::ReadFile(pki->Cert("rsa")) + testsupport::ReadFile(pki->Key("rsa")) +
                          testsupport::ReadFile(pki->Cert("inter"));
  tw::ByteString store;
  store.Set(pem.data(), static_cast<int>(pem.size()));
  // The own server's default groups put P-256 first for TLS 1.2 and take the client's X25519 share
  // for TLS 1.3; s_server is held to the same.
  constexpr auto Server = &OpenSslServerPeer::Options::Limited;
  const std::vector<Suite> suites = {
      {"TLS 1.2 ECDHE-RSA-AES128-GCM P-256", Server("-tls1_2", "ECDHE-RSA-AES128-GCM-SHA256", "", "P-256"), 0x0FC0,
       "-tls1_2 -cipher ECDHE-RSA-AES128-GCM-SHA256"},
      {"TLS 1.3 X25519 AES-128-GCM", Server("-tls1_3", "", "TLS_AES_128_GCM_SHA256", "X25519"), 0x3FC0,
       "-tls1_3 -ciphersuites TLS_AES_128_GCM_SHA256"},
  };
  // First, while nothing is loaded yet.
  if (int rc = ColdStart(pem); rc != 0) return rc;
  std::printf("server CPU per full handshake for openssl s_time -new (RSA 2048 leaf + intermediate), "
              "%d alternating rounds of %d s; best round of each\n",
              rounds, seconds);
  for (const Suite& suite : suites) {
    OpenSslServerPeer theirs_server(suite.server);
    if (!theirs_server.Start()) {
      std::fprintf(stderr, "%s: %s\n", suite.name, theirs_server.error().c_str());
      return 1;
    }
    OwnServer own_server(store, suite.mask);
    // Once each unmeasured: both servers then run with what they keep across connections.
    STime(suite, own_server.port(), 1);
    STime(suite, theirs_server.port(), 1);
    Figures ours, theirs;
    for (int round = 0; round < rounds; ++round) {
      const Figures o = Ours(suite, own_server, seconds);
      const Figures t = Theirs(suite, theirs_server, seconds);
      if (o.count == 0 || t.count == 0) return 1;
      std::printf("  %-36s round %d: ours %6ld in %ds, %5.0f us   openssl %6ld, %5.0f us\n", suite.name, round + 1,
                  o.count, seconds, o.cpu_micros, t.count, t.cpu_micros);
      if (ours.count == 0 || o.cpu_micros < ours.cpu_micros) ours = o;
      if (theirs.count == 0 || t.cpu_micros < theirs.cpu_micros) theirs = t;
    }
    const double ratio = ours.cpu_micros / theirs.cpu_micros;
    std::printf("%-36s ours %5.0f us CPU   openssl %5.0f us CPU   ratio %.2f (target <= 1.2)%s\n", suite.name,
                ours.cpu_micros, theirs.cpu_micros, ratio, ratio <= 1.2 ? "" : "  ABOVE TARGET");
  }
  return 0;
}
