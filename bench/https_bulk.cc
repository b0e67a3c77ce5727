// HTTPS bulk transfers through nginx on loopback: HttpClient with the own TLS engine against curl
// (OpenSSL) in the same run, 1 GiB downloaded to a file and uploaded (PUT) from a file. nginx
// serves the test PKI's RSA leaf over TLS 1.3 with TLS_AES_128_GCM_SHA256 only, so both clients
// run the same suite. Files live on
// /dev/shm so that no disk decides the numbers. Target: ours at least 90% of curl's throughput.
//   bench_https_bulk [MiB, default 1024] [runs, default 2]
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "bench/bench_support.h"
#include "http/http_client.h"
#include "tests/peers/nginx_peer.h"
#include "tests/peers/test_pki.h"
#include "tests/support/test_support.h"

namespace {

using Clock = std::chrono::steady_clock;
using bench::FileSize;
using bench::Rate;
using bench::SecondsSince;
using bench::WriteBig;

int Transfer(const std::string& url, int action, const std::string& local, const std::string& attached) {
  tw::HttpClient c;
  c.SetTimeout(300, true);
  int rc = c.ConfigText("UseInternalSecurityAPI=true", nullptr);
  if (rc == 0) rc = c.SetUrl(url.c_str(), false);
  if (rc == 0 && !local.empty()) rc = c.SetLocalFile(local.c_str());
  if (rc == 0 && !attached.empty()) rc = c.SetAttachedFile(attached.c_str());
  if (rc == 0) rc = c.DoTransfer(action);
  if (rc != 0) std::fprintf(stderr, "transfer failed: %d %s\n", rc, c.error_text().c_str());
  return rc;
}

void Report(const char* name, double ours, double curl) {
  std::printf("%-20s ours %8.1f MB/s   curl %8.1f MB/s   ratio %5.2f (target >= 0.90)\n", name, ours, curl,
              curl > 0 ? ours / curl : 0.0);
}

}  // namespace

int main(int argc, char** argv) {
  const uint64_t mib = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1024;
  const int runs = argc > 2 ? std::atoi(argv[2]) : 2;
  const uint64_t total = mib * 1024 * 1024;
  if (!testsupport::NginxPeer::Installed() || !testsupport::HaveProgram("curl")) {
    std::printf("nginx or curl not installed: nothing measured\n");
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
  testsupport::NginxPeer nginx;
  nginx.EnableTls();
  nginx.AddHttpConfig("client_body_buffer_size 1m;");
  nginx.AddServerConfig("ssl_conf_command Ciphersuites TLS_AES_128_GCM_SHA256;");
  if (!nginx.Start()) {
    std::fprintf(stderr, "%s\n", nginx.error().c_str());
    return 1;
  }
  const std::string root = nginx.root();
  const std::string source = root + "/big.bin";
  WriteBig(source, total);
  const std::string base = nginx.https_url();
  const std::string resolve = "--resolve localhost:" + std::to_string(nginx.tls_port()) + ":127.0.0.1 ";
  const std::string target = nginx.dir() + "/down.bin";
  std::printf("HTTPS through nginx over loopback, %llu MiB, best of %d runs\n", static_cast<unsigned long long>(mib),
              runs);

  double down_ours = 0, down_curl = 0, up_ours = 0, up_curl = 0;
  for (int run = 0; run < runs; ++run) {
    auto start = Clock::now();
    if (Transfer(base + "/big.bin", tw::kHttpActionGet, target, "") != 0 || FileSize(target) != total) {
      return 1;
    }
    down_ours = std::max(down_ours, Rate(total, SecondsSince(start)));
    std::filesystem::remove(target);
    const double cd = bench::TimeCurl(pki.Cert("root"), resolve + "-o " + target + " " + base + "/big.bin");
    if (cd > 0 && FileSize(target) == total) down_curl = std::max(down_curl, Rate(total, cd));
    std::filesystem::remove(target);

    start = Clock::now();
    if (Transfer(base + "/up-ours.bin", tw::kHttpActionPut, "", source) != 0 ||
        FileSize(root + "/up-ours.bin") != total) {
      return 1;
    }
    up_ours = std::max(up_ours, Rate(total, SecondsSince(start)));
    std::filesystem::remove(root + "/up-ours.bin");
    const double cu =
        bench::TimeCurl(pki.Cert("root"), resolve + "-o /dev/null -T " + source + " " + base + "/up-curl.bin");
    if (cu > 0 && FileSize(root + "/up-curl.bin") == total) up_curl = std::max(up_curl, Rate(total, cu));
    std::filesystem::remove(root + "/up-curl.bin");
  }
  Report("download to file", down_ours, down_curl);
  Report("upload from file", up_ours, up_curl);
  return 0;
}
