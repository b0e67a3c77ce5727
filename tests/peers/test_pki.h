// A test PKI made with the openssl CLI (tests/peers/make_test_pki.sh) once per build tree and
// shared by the test processes: a root, an intermediate and leaves of every kind the TLS tests need.
//
//   const testsupport::TestPki& pki = testsupport::TestPki::Get();
//   if (!pki.ok()) { TW_REQUIRE_OR_SKIP(pki.error()); }
//   pki.Cert("rsa");    // <dir>/rsa.pem: the leaf "localhost" signed by the intermediate
//   pki.Key("rsa");     // its PKCS #8 key; Chain("rsa") is leaf + intermediate
//
// Names: root, inter, rsa, ecdsa, ecdsa384, ed25519, expired, wronghost, storage, selfsigned,
// forged, noca, client, clientec, clientdsa (see the script for what each is).
#pragma once

#include <string>

namespace testsupport {

class TestPki {
 public:
  static const TestPki& Get();

  bool ok() const { return error_.empty(); }
  const std::string& error() const { return error_; }
  const std::string& dir() const { return dir_; }
  std::string Cert(const std::string& name) const { return dir_ + "/" + name + ".pem"; }
  std::string Key(const std::string& name) const { return dir_ + "/" + name + ".key"; }
  std::string Chain(const std::string& name) const { return dir_ + "/" + name + "-chain.pem"; }
  // A certificate-store folder whose "ROOT" store holds the test root: point the platform's
  // store location at it to trust the test PKI besides the system bundle.
  const std::string& store_dir() const { return store_dir_; }

 private:
  TestPki();
  std::string dir_;
  std::string store_dir_;
  std::string error_;
};

}  // namespace testsupport
