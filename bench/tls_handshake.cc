// Full TLS handshakes against openssl s_server on loopback: the own engine as a client against
// OpenSSL's client (openssl s_time -new) in the same run, for TLS 1.2 ECDHE-RSA-AES128-GCM and
// TLS 1.3 X25519 + AES-128-GCM. The server is the same one and serves one connection at a time,
// so the rate is bounded by it for both; what tells the clients apart is the client CPU per
// handshake (user + system of the client process: ours from getrusage, theirs from the reaped
// s_time). Target: ours within 2x of OpenSSL's.
//   bench_tls_handshake [seconds per run, default 3] [rounds, default 2]
#include <sys/resource.h>
#include <sys/time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench/handshake_bench.h"
#include "tests/peers/openssl_server_peer.h"
#include "tests/support/test_support.h"
#include "tests/tls/engine_connection.h"

namespace {

using Clock = std::chrono::steady_clock;
using testsupport::OpenSslServerPeer;

double Cpu(int who) {
  rusage u{};
  getrusage(who, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

struct Figures {
  double per_second = 0;    // handshakes per wall-clock second
  double cpu_micros = 0;    // client CPU per handshake
  long count = 0;
};

struct Suite {
  const char* name;
  OpenSslServerPeer::Options server;
  uint32_t mask;  // SSLEnabledProtocols of the own engine
  const char* key_shares;  // TLS13KeyShareGroups of the own engine; "" keeps the default
  const char* s_time_args;
};

Figures Ours(const Suite& suite, int port, double seconds) {
  Figures f;
  const double cpu0 = Cpu(RUSAGE_SELF);
  const auto start = Clock::now();
  double elapsed = 0;
  do {
    tlstest::EngineConnection c;
    c.engine.SetServerName("localhost");
    c.engine.SetProtocolMask(suite.mask);
    c.engine.SetReuseSession(false);
    if (*suite.key_shares != '\0') c.engine.SetKeyShareGroups(suite.key_shares);
    if (!c.Connect(port) || !c.Handshake()) {
      std::fprintf(stderr, "%s: handshake failed: %d %s\n", suite.name, c.failure_code, c.failure_text.c_str());
      return Figures{};
    }
    c.engine.Close();
    ++f.count;
    elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  } while (elapsed < seconds);
  f.per_second = static_cast<double>(f.count) / elapsed;
  f.cpu_micros = (Cpu(RUSAGE_SELF) - cpu0) * 1e6 / static_cast<double>(f.count);
  return f;
}

Figures Theirs(const Suite& suite, int port, double seconds) {
  Figures f;
  const double cpu0 = Cpu(RUSAGE_CHILDREN);
  const auto start = Clock::now();
  const std::string out = testsupport::RunCommand(
      "openssl s_time -connect 127.0.0.1:" + std::to_string(port) + " -new -time " +
      std::to_string(static_cast<int>(seconds)) + " " + suite.s_time_args + " 2>&1");
  const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  if (out.find(" connections in ") == std::string::npos) {
    std::fprintf(stderr, "%s: s_time said: %s\n", suite.name, out.c_str());
    return f;
  }
  f.count = bench::STimeCount(out);
  if (f.count <= 0) return f;
  f.per_second = static_cast<double>(f.count) / elapsed;
  // The shell around s_time costs a few milliseconds once, spread over the whole run.
  f.cpu_micros = (Cpu(RUSAGE_CHILDREN) - cpu0) * 1e6 / static_cast<double>(f.count);
  return f;
}

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 3;
  const int rounds = argc > 2 ? std::atoi(argv[2]) : 2;
  int exit_code = 0;
  if (bench::HandshakePki(exit_code) == nullptr) return exit_code;
  constexpr auto Server = &OpenSslServerPeer::Options::Limited;
  const std::vector<Suite> suites = {
      {"TLS 1.2 ECDHE-RSA-AES128-GCM P-256", Server("-tls1_2", "ECDHE-RSA-AES128-GCM-SHA256", "", "P-256"), 0x0FC0, "",
       "-tls1_2 -cipher ECDHE-RSA-AES128-GCM-SHA256"},
      // OpenSSL's client sends one X25519 share; ours is told to do the same.
      {"TLS 1.3 X25519 AES-128-GCM", Server("-tls1_3", "", "TLS_AES_128_GCM_SHA256", "X25519"), 0x3FC0,
       "ecdhe_x25519", "-tls1_3 -ciphersuites TLS_AES_128_GCM_SHA256"},
      // The default offer: shares of X25519, P-256, P-384 and two finite-field groups.
      {"TLS 1.3 default key shares", Server("-tls1_3", "", "TLS_AES_128_GCM_SHA256", "X25519"), 0x3FC0, "",
       "-tls1_3 -ciphersuites TLS_AES_128_GCM_SHA256"},
  };
  std::printf("full handshakes against s_server (RSA 2048 leaf + intermediate), best of %d rounds of %.0f s\n",
              rounds, seconds);
  for (const Suite& suite : suites) {
    OpenSslServerPeer server(suite.server);
    if (!server.Start()) {
      std::fprintf(stderr, "%s: %s\n", suite.name, server.error().c_str());
      return 1;
    }
    Figures ours, theirs;
    for (int round = 0; round < rounds; ++round) {
      const Figures o = Ours(suite, server.port(), seconds);
      const Figures t = Theirs(suite, server.port(), seconds);
      if (o.count == 0 || t.count == 0) return 1;
      if (ours.count == 0 || o.cpu_micros < ours.cpu_micros) ours = o;
      if (theirs.count == 0 || t.cpu_micros < theirs.cpu_micros) theirs = t;
    }
    std::printf("%-36s ours %7.1f/s %7.0f us CPU   openssl %7.1f/s %7.0f us CPU   CPU ratio %.2f (target <= 2)\n",
                suite.name, ours.per_second, ours.cpu_micros, theirs.per_second, theirs.cpu_micros,
                ours.cpu_micros / theirs.cpu_micros);
  }
  return 0;
}
