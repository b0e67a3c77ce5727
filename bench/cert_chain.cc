// Chain verifications per second: the test PKI's RSA leaf with its intermediate, built to the
// ROOT store (system bundle plus the test root) by our chain engine and by the peer chain check,
// and by OpenSSL's X509_verify_cert over a store holding the same roots, in the same run.
//   bench_cert_chain [seconds per measurement, default 0.5]
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "certs/cert_chain_engine.h"
#include "platform/cert_store_files.h"
#include "tests/certs/cert_test_util.h"
#include "tests/peers/test_pki.h"
#include "tests/support/test_support.h"
#include "tls/peer_chain.h"

namespace {

tw::ByteString Bytes(const std::string& s) {
  tw::ByteString b;
  b.Set(s.data(), static_cast<int>(s.size()));
  return b;
}

X509* ReadX509(const std::string& der) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(der.data());
  return d2i_X509(nullptr, &p, static_cast<long>(der.size()));
}

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 0.5;
  const testsupport::TestPki& pki = testsupport::TestPki::Get();
  if (!pki.ok()) {
    std::fprintf(stderr, "%s\n", pki.error().c_str());
    return 1;
  }
  setenv(win::kCertStoresVariable, pki.store_dir().c_str(), 1);
  const std::string leaf = certtest::PemToDers(testsupport::ReadFile(pki.Cert("rsa")))[0];
  const std::string inter = certtest::PemToDers(testsupport::ReadFile(pki.Cert("inter")))[0];
  std::vector<std::string> roots = certtest::BundleDers();
  roots.push_back(certtest::PemToDers(testsupport::ReadFile(pki.Cert("root")))[0]);

  const tw::ByteString leaf_der = Bytes(leaf);
  const std::vector<tw::ByteString> pool{Bytes(inter)};
  const std::vector<tw::ByteString> sent{Bytes(testsupport::ReadFile(pki.Cert("rsa"))),
                                         Bytes(testsupport::ReadFile(pki.Cert("inter")))};
  bool ok = true;
  auto engine = [&]() {
    tw::CertChain chain;
    ok = ok && tw::BuildCertificateChain(leaf_der, &pool, 0, &chain) == 0 && chain.status == 0;
  };
  auto peer_check = [&]() {
    ok = ok && tw::VerifyCertificateChain(leaf_der, sent, 0, nullptr) == 0;
  };

  X509_STORE* store = X509_STORE_new();
  for (const std::string& der : roots) {
    X509* x = ReadX509(der);
    if (x) X509_STORE_add_cert(store, x);
    X509_free(x);
  }
  // Fresh parses each time, as a received chain arrives as bytes.
  auto theirs = [&]() {
    X509* l = ReadX509(leaf);
    STACK_OF(X509)* u = sk_X509_new_null();
    sk_X509_push(u, ReadX509(inter));
    X509_STORE_CTX* ctx = X509_STORE_CTX_new();
    ok = ok && X509_STORE_CTX_init(ctx, store, l, u) == 1 && X509_verify_cert(ctx) == 1;
    X509_STORE_CTX_free(ctx);
    sk_X509_pop_free(u, X509_free);
    X509_free(l);
  };

  const auto [ours_engine, openssl] = bench::BestAlternating(3, seconds, engine, theirs);
  const auto [ours_peer, openssl2] = bench::BestAlternating(3, seconds, peer_check, theirs);
  X509_STORE_free(store);
  if (!ok) {
    std::fprintf(stderr, "a verification failed\n");
    return 1;
  }
  const double theirs_best = openssl > openssl2 ? openssl : openssl2;
  std::printf("rsa leaf + intermediate to a root among %zu\n", roots.size());
  std::printf("%-34s %10.0f chains/s\n", "ours BuildCertificateChain", ours_engine);
  std::printf("%-34s %10.0f chains/s\n", "ours VerifyCertificateChain", ours_peer);
  std::printf("%-34s %10.0f chains/s\n", "OpenSSL X509_verify_cert", theirs_best);
  std::printf("ratio engine/OpenSSL %24.2f\n", ours_engine / theirs_best);
  return 0;
}
