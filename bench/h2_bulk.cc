// Bulk downloads on loopback: HttpClient over HTTP/2 (own TLS engine) against nghttpd, and over
// HTTP/1.1 against nginx, each timed against curl in the same run (curl --http2 for the first).
// Files live on /dev/shm so that no disk decides the numbers. Target: ours over h2 at least 90%
// of curl's. curl grants a 32 MiB stream window; ours is given the same through
// HTTP2LocalWindowSize (pass 65535 to measure the default window).
//   bench_h2_bulk [MiB, default 1024] [runs, default 2] [HTTP2LocalWindowSize, default 32 MiB]
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "http/http_client.h"
#include "tests/peers/nghttp_peers.h"
#include "tests/peers/nginx_peer.h"
#include "tests/peers/test_pki.h"
#include "tests/support/test_support.h"

namespace {

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

double Rate(uint64_t bytes, double seconds) { return static_cast<double>(bytes) / 1e6 / seconds; }

uint64_t FileSize(const std::string& path) {
  std::error_code ec;
  const auto n = std::filesystem::file_size(path, ec);
  return ec ? 0 : n;
}

double TimeCurl(const std::string& args) {
  const std::string command =
      "env -u http_proxy -u https_proxy -u all_proxy -u HTTP_PROXY -u HTTPS_PROXY -u ALL_PROXY "
      "curl -sS -f --cacert " + testsupport::TestPki::Get().Cert("root") + " " + args;
  const auto start = Clock::now();
  const int rc = std::system(command.c_str());
  const double s = SecondsSince(start);
  if (rc != 0) {
    std::fprintf(stderr, "curl failed (%d): %s\n", rc, command.c_str());
    return -1;
  }
  return s;
}

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

void Report(const char* name, double ours, double curl) {
  std::printf("%-28s ours %8.1f MB/s   curl %8.1f MB/s   ratio %5.2f\n", name, ours, curl,
              curl > 0 ? ours / curl : 0.0);
}

void WriteBig(const std::string& path, uint64_t total) {
  std::ofstream f(path, std::ios::binary);
  std::vector<char> block(1 << 20);
  for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>((i * 131) ^ (i >> 9));
  for (uint64_t left = total; left > 0;) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(left, block.size()));
    f.write(block.data(), static_cast<std::streamsize>(n));
    left -= n;
  }
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
      const double s = TimeCurl(leg.curl_args + "-o " + target + " " + leg.url);
      if (s > 0 && FileSize(target) == total) leg.curl = std::max(leg.curl, Rate(total, s));
      std::filesystem::remove(target);
    }
  }
  for (const Leg& leg : legs) Report(leg.name, leg.ours, leg.curl);
  return 0;
}
