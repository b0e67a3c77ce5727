// Certificates for the certificate tests: the system CA bundle and certificates made by openssl.
#pragma once

#include <string>
#include <vector>

#include "tests/support/test_support.h"

namespace certtest {

constexpr const char* kBundle = "/etc/ssl/certs/ca-certificates.crt";

// The DER of every PEM CERTIFICATE block in the text.
inline std::vector<std::string> PemToDers(const std::string& pem) {
  static const std::string kAlphabet =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::vector<std::string> out;
  const std::string begin = "-----BEGIN CERTIFICATE-----", end = "-----END CERTIFICATE-----";
  for (size_t at = pem.find(begin); at != std::string::npos; at = pem.find(begin, at)) {
    const size_t stop = pem.find(end, at);
    if (stop == std::string::npos) break;
    std::string der;
    unsigned acc = 0;
    int bits = 0;
    for (size_t i = at + begin.size(); i < stop; ++i) {
      const size_t v = kAlphabet.find(pem[i]);
      if (v == std::string::npos) continue;
      acc = (acc << 6) | static_cast<unsigned>(v);
      bits += 6;
      if (bits >= 8) {
        bits -= 8;
        der += static_cast<char>((acc >> bits) & 0xFF);
      }
    }
    out.push_back(der);
    at = stop;
  }
  return out;
}

inline std::vector<std::string> BundleDers() {
  return PemToDers(testsupport::ReadFile(kBundle));
}

// A self-signed certificate made by `openssl req -x509` with the given extra arguments; its DER.
// A non-empty config text is written to a file and passed with -config.
inline std::string OpensslSelfSigned(const std::string& args, const std::string& config = "") {
  const std::string dir = testsupport::MakeTempDir();
  int status = -1;
  std::string extra;
  if (!config.empty()) {
    testsupport::WriteFile(dir + "/req.cnf", config);
    extra = " -config " + dir + "/req.cnf";
  }
  testsupport::RunCommand("cd " + dir + " && openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256"
                          " -nodes -keyout k.pem -out c.der -outform DER -days 30 " + args + extra +
                          " 2>/dev/null", "", &status);
  std::string der = status == 0 ? testsupport::ReadFile(dir + "/c.der") : "";
  testsupport::RunCommand("rm -rf " + dir);
  return der;
}

}  // namespace certtest
