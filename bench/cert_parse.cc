// Certificates parsed per second: every certificate of the system CA bundle through our parser
// and through OpenSSL's d2i_X509, in the same run.
//   bench_cert_parse [seconds per measurement, default 0.5]
#include <openssl/x509.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "certs/certificate.h"
#include "tests/certs/cert_test_util.h"

namespace {

// Runs `pass` (one parse of every certificate) until `seconds` have passed; certificates/s.
double Measure(double seconds, size_t per_pass, const std::function<bool()>& pass) {
  using Clock = std::chrono::steady_clock;
  if (!pass()) return -1;
  size_t done = 0;
  const auto start = Clock::now();
  double elapsed = 0;
  do {
    if (!pass()) return -1;
    done += per_pass;
    elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  } while (elapsed < seconds);
  return static_cast<double>(done) / elapsed;
}

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 0.5;
  const std::vector<std::string> ders = certtest::BundleDers();
  if (ders.empty()) {
    std::fprintf(stderr, "no certificates in %s\n", certtest::kBundle);
    return 1;
  }
  size_t bytes = 0;
  for (const std::string& d : ders) bytes += d.size();

  auto ours = [&]() {
    for (const std::string& d : ders) {
      tw::Certificate c;
      if (tw::ParseCertificateDer(d.data(), static_cast<int>(d.size()), &c) != 0) return false;
    }
    return true;
  };
  auto theirs = [&]() {
    for (const std::string& d : ders) {
      const unsigned char* p = reinterpret_cast<const unsigned char*>(d.data());
      X509* x = d2i_X509(nullptr, &p, static_cast<long>(d.size()));
      if (!x) return false;
      X509_free(x);
    }
    return true;
  };
  double best_ours = 0, best_theirs = 0;
  for (int round = 0; round < 3; ++round) {
    best_ours = std::max(best_ours, Measure(seconds, ders.size(), ours));
    best_theirs = std::max(best_theirs, Measure(seconds, ders.size(), theirs));
  }
  if (best_ours < 0 || best_theirs < 0) {
    std::fprintf(stderr, "a certificate of the bundle did not parse\n");
    return 1;
  }
  std::printf("certificates: %zu (%zu bytes)\n", ders.size(), bytes);
  std::printf("%-24s %12.0f certs/s\n", "ours ParseCertificateDer", best_ours);
  std::printf("%-24s %12.0f certs/s\n", "OpenSSL d2i_X509", best_theirs);
  std::printf("ratio ours/OpenSSL      %12.2f\n", best_ours / best_theirs);
  return 0;
}
