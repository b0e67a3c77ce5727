// Keys of every type made once per test process by the openssl CLI, as PKCS #8 PEM text; and a
// helper that runs openssl over text given on stdin.
#pragma once

#include <map>
#include <string>

#include "tests/support/test_support.h"

namespace tw::keyfix {

// openssl over stdin; "" when it fails.
inline std::string Openssl(const std::string& args, const std::string& input) {
  int status = -1;
  std::string out = testsupport::RunCommand("openssl " + args + " 2>/dev/null", input, &status);
  return status == 0 ? out : std::string();
}

// By name: rsa, dsa, p256, p384, p521, ed25519, ed448, x25519, x448. "" when openssl is missing.
inline const std::string& Pkcs8Pem(const std::string& name) {
  static const std::map<std::string, std::string> keys = [] {
    const std::map<std::string, std::string> how = {
        {"rsa", "-algorithm RSA -pkeyopt rsa_keygen_bits:1024"},
        {"dsa", ""},
        {"p256", "-algorithm EC -pkeyopt ec_paramgen_curve:P-256"},
        {"p384", "-algorithm EC -pkeyopt ec_paramgen_curve:P-384"},
        {"p521", "-algorithm EC -pkeyopt ec_paramgen_curve:P-521"},
        {"ed25519", "-algorithm ED25519"},
        {"ed448", "-algorithm ED448"},
        {"x25519", "-algorithm X25519"},
        {"x448", "-algorithm X448"}};
    std::map<std::string, std::string> made;
    for (const auto& [name, args] : how) made[name] = Openssl("genpkey " + args, "");
    made["dsa"] = Openssl("pkey", Openssl("dsaparam -genkey -noout 1024", ""));
    return made;
  }();
  static const std::string none;
  const auto it = keys.find(name);
  return it == keys.end() ? none : it->second;
}

}  // namespace tw::keyfix
