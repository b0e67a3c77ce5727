// Bulk downloads on loopback: HttpClient over HTTP/2 (own TLS engine) against nghttpd, and over
// HTTP/1.1 against nginx, each timed against curl in the same run (curl --http2 for the first).
// Files live on /dev/shm so that no disk decides the numbers. Target: ours over h2 at least 90%
// of curl's. curl grants a 32 MiB stream window; ours is given the same through
// HTTP2LocalWindowSize (pass 65535 to measure the default window).
// The upload legs: 64 MiB PUT at the server's default 64 KiB windows, both TLS paths, target at most
// 1.2 times curl's time.
//   bench_h2_bulk [MiB, default 1024] [runs, default 2] [HTTP2LocalWindowSize, default 32 MiB]
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "bench/bench_support.h"
#include "http/http_client.h"
#include "tests/peers/nghttp_peers.h"
#include "tests/peers/nginx_peer.h"
#include "tests/peers/test_pki.h"
#include "tests/support/test_support.h"

namespace {

using Clock = std::chrono::steady_clock;
using bench::FileSize;
using bench::Rate;
using bench::SecondsSince;
using bench::WriteBig;

int Download(const std::string& url, const char* version, int window, const std::string& local) {
  tw::HttpClient c;
  c.SetTimeout(300, true);
  int rc = c.ConfigText("UseInternalSecurityAPI=true", nullptr);
  if (rc == 0) rc = c.ConfigText((std::string("HTTPVersion=") + version).c_str(), nullptr);
  if (rc == 0) {
    rc = c.ConfigText(("HTTP2LocalWindowSize=" + std::to_string(window)).c_str(), nullptr);
  }
  if (rc == 0) rc = c.SetUrl(url.c_str(), false);
  if (rc == 0) rc = c.SetLocalFile(local.c_str());
  if (rc == 0) rc = c.DoTransfer(tw::kHttpActionGet);
  if (rc != 0) std::fprintf(stderr, "transfer failed: %d %s\n", rc, c.error_text().c_str());
  return rc;
}

// A PUT at the server's default 64 KiB windows (nghttpd echoes it back into a file).
int Upload(const std::string& url, const std::string& body, const std::string& local, bool own_tls) {
  tw::HttpClient c;
  c.SetTimeout(300, true);
  int rc = c.ConfigText(own_tls ? "UseInternalSecurityAPI=true" : "UseInternalSecurityAPI=false", nullptr);
  if (rc == 0) rc = c.ConfigText("HTTPVersion=2.0", nullptr);
  if (rc == 0) rc = c.SetUrl(url.c_str(), false);
  if (rc == 0) rc = c.SetLocalFile(local.c_str());
  c.SetPostDataRef(body.data(), static_cast<int>(body.size()));
  if (rc == 0) rc = c.DoTransfer(tw::kHttpActionPut);
  if (rc != 0) std::fprintf(stderr, "upload failed: %d %s\n", rc, c.error_text().c_str());
  return rc;
}

void Report(const char* name, double ours, double curl) {
  std::printf("%-28s ours %8.1f MB/s   curl %8.1f MB/s   ratio %5.2f\n", name, ours, curl,
              curl > 0 ? ours / curl : 0.0);
}

}  // namespace

int main(int argc, char** argv) {
  const uint64_t mib = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1024;
  const int runs = argc > 2 ? std::atoi(argv[2]) : 2;
  const int window = argc > 3 ? std::atoi(argv[3]) : 32 << 20;
  const uint64_t total = mib * 1024 * 1024;
  if (!testsupport::NghttpdPeer::Installed() || !testsupport::NginxPeer::Installed() ||
      !testsupport::HaveProgram("curl")) {
    std::printf("nghttpd, nginx or curl not installed: nothing measured\n");
    return 0;
  }
  struct stat shm {};
  if (stat("/dev/shm", &shm) == 0 && S_ISDIR(shm.st_mode)) setenv("TMPDIR", "/dev/shm", 1);
  const testsupport::TestPki& pki = testsupport::TestPki::Get();
  if (!pki.ok()) {
    std::fprintf(stderr, "%s\n", pki.error().c_str());
    return 1;
  }
  setenv("TW_CERT_STORES", pki.store_dir().c_str(), 1);
  testsupport::NghttpdPeer h2;
  testsupport::NginxPeer nginx;
  nginx.EnableTls();
  if (!h2.Start(true) || !nginx.Start()) {
    std::fprintf(stderr, "%s %s\n", h2.error().c_str(), nginx.error().c_str());
    return 1;
  }
  WriteBig(h2.root() + "/big.bin", total);
  WriteBig(nginx.root() + "/big.bin", total);
  const std::string target = nginx.dir() + "/down.bin";
  std::printf("Downloads over loopback, %llu MiB, best of %d runs, h2 window %d\n",
              static_cast<unsigned long long>(mib), runs, window);

  struct Leg {
    const char* name;
    std::string url;
    const char* version;
    std::string curl_args;
    double ours = 0;
    double curl = 0;
  } legs[] = {
      {"h2 (nghttpd)", h2.base_url() + "/big.bin", "2.0",
       "--http2 --resolve localhost:" + std::to_string(h2.port()) + ":127.0.0.1 "},
      {"HTTP/1.1 (nginx)", nginx.https_url() + "/big.bin", "1.1",
       "--http1.1 --resolve localhost:" + std::to_string(nginx.tls_port()) + ":127.0.0.1 "},
  };
  for (int run = 0; run < runs; ++run) {
    for (Leg& leg : legs) {
      const auto start = Clock::now();
      if (Download(leg.url, leg.version, window, target) != 0 || FileSize(target) != total) return 1;
      leg.ours = std::max(leg.ours, Rate(total, SecondsSince(start)));
      std::filesystem::remove(target);
      const double s = bench::TimeCurl(pki.Cert("root"), leg.curl_args + "-o " + target + " " + leg.url);
      if (s > 0 && FileSize(target) == total) leg.curl = std::max(leg.curl, Rate(total, s));
      std::filesystem::remove(target);
    }
  }
  for (const Leg& leg : legs) Report(leg.name, leg.ours, leg.curl);

  // 64 MiB up at the server's default windows, against curl on the same server.
  testsupport::NghttpdPeer echo;
  if (!echo.Start(true, {"--echo-upload"})) {
    std::fprintf(stderr, "%s\n", echo.error().c_str());
    return 1;
  }
  const uint64_t up = 64ull << 20;
  const std::string body(up, 'u');
  const std::string source = nginx.dir() + "/up.bin";
  WriteBig(source, up);
  // Both TLS paths, each beside curl in the same runs.
  double ours[2] = {1e9, 1e9}, curl = 1e9;
  for (int run = 0; run < runs; ++run) {
    for (int own = 0; own < 2; ++own) {
      const auto start = Clock::now();
      if (Upload(echo.base_url() + "/up", body, target, own == 1) != 0) return 1;
      ours[own] = std::min(ours[own], SecondsSince(start));
      std::filesystem::remove(target);
    }
    const double s = bench::TimeCurl(pki.Cert("root"), "--http2 --resolve localhost:" + std::to_string(echo.port()) +
                                                           ":127.0.0.1 -T " + source + " -o " + target + " " +
                                                           echo.base_url() + "/up");
    if (s > 0) curl = std::min(curl, s);
    std::filesystem::remove(target);
  }
  const char* names[2] = {"h2 PUT 64 MiB, platform TLS", "h2 PUT 64 MiB, own TLS"};
  for (int own = 0; own < 2; ++own) {
    std::printf("%-28s ours %8.2f s      curl %8.2f s      ratio %5.2f\n", names[own], ours[own], curl,
                curl > 0 ? ours[own] / curl : 0.0);
  }
  return 0;
}
