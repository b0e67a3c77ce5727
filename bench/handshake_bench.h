// Set-up shared by the TLS handshake benchmarks (the own engine against openssl s_server/s_time).
#pragma once

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "tests/peers/openssl_server_peer.h"
#include "tests/peers/test_pki.h"

namespace bench {

// The test PKI with its store made the engine's certificate store; null when nothing can be
// measured, with `exit_code` then what main returns (0 without openssl, 1 for a broken PKI).
inline const testsupport::TestPki* HandshakePki(int& exit_code) {
  if (!testsupport::OpenSslServerPeer::Installed()) {
    std::printf("openssl not installed: nothing measured\n");
    exit_code = 0;
    return nullptr;
  }
  const testsupport::TestPki& pki = testsupport::TestPki::Get();
  if (!pki.ok()) {
    std::fprintf(stderr, "%s\n", pki.error().c_str());
    exit_code = 1;
    return nullptr;
  }
  setenv("TW_CERT_STORES", pki.store_dir().c_str(), 1);
  return &pki;
}

// The number before " connections in " in s_time's output, 0 when missing.
inline long STimeCount(const std::string& out) {
  const size_t at = out.find(" connections in ");
  if (at == std::string::npos) return 0;
  size_t digits = at;
  while (digits > 0 && std::isdigit(static_cast<unsigned char>(out[digits - 1]))) --digits;
  return std::atol(out.c_str() + digits);
}

}  // namespace bench
