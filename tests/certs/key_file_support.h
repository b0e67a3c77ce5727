// Helpers of the key-file tests: bytes in and out of ByteString, a temporary folder, and a
// signature made by the library's engines that openssl must verify.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "certs/der_writer.h"
#include "certs/pem_armor.h"
#include "certs/public_key_info.h"
#include "crypto/pubkey/dsa_engine.h"
#include "crypto/pubkey/public_key.h"
#include "crypto/pubkey/rsa_engine.h"
#include "crypto/symmetric/sha256.h"
#include "tests/support/test_support.h"

namespace tw::keyfile {

inline ByteString Bytes(const std::string& s) {
  ByteString b;
  b.Set(s.data(), static_cast<int>(s.size()));
  return b;
}
inline std::string Str(const ByteString& b) { return std::string(b.c_str(), static_cast<size_t>(b.length())); }

// A temporary folder removed with the object.
struct TempDir {
  std::string path = testsupport::MakeTempDir();
  ~TempDir() { testsupport::RunCommand("rm -rf " + testsupport::ShellQuote(path)); }
  std::string operator/(const std::string& name) const { return path + "/" + name; }
};

// Signs a message with the key through the library's engine of its family and has openssl
// verify it against the key's SubjectPublicKeyInfo. Empty on success, else what failed.
inline std::string SignedAndVerified(const KeyPair& key, const TempDir& dir) {
  const std::string msg = "a message to sign";
  Sha256Context sha;
  sha.Update(msg.data(), msg.size());
  ByteString hash, sig;
  hash.Set(sha.Final(), 32);
  int rc = -1;
  if (key.type == kKeyRsa) {
    RsaEngine e;
    rc = e.SetKey(key.rsa);
    if (rc == 0) rc = e.Sign(hash, "SHA256", false, 0, sig);
  } else if (key.type == kKeyDsa) {
    DsaEngine e;
    e.set_der_output(true);
    rc = e.SetKey(key.dsa);
    if (rc == 0) rc = e.Sign(hash, sig);
  } else if (key.type == kKeyEc || key.type == kKeyEdwards) {
    PublicKey pk;
    pk.set_der_signatures(true);
    rc = pk.SetKey(key.type == kKeyEc ? key.ec : key.edwards);
    if (rc == 0) rc = pk.SignData(reinterpret_cast<const uint8_t*>(msg.data()), static_cast<int>(msg.size()),
                                  key.type == kKeyEc ? kHashSha256 : 0, sig);
  }
  if (rc != 0) return "signing failed: " + std::to_string(rc);
  DerWriter w;
  ByteString pem;
  if (WriteSubjectPublicKeyInfo(key, &w) != 0 || PemEncodeBytes("PUBLIC KEY", w.output(), &pem) != 0) {
    return "no public key";
  }
  testsupport::WriteFile(dir / "pub.pem", Str(pem));
  testsupport::WriteFile(dir / "msg", msg);
  testsupport::WriteFile(dir / "sig", Str(sig));
  const std::string q = testsupport::ShellQuote(dir.path);
  const std::string how = key.type == kKeyEdwards
                              ? "openssl pkeyutl -verify -pubin -inkey " + q + "/pub.pem -rawin -in " + q +
                                    "/msg -sigfile " + q + "/sig"
                              : "openssl dgst -sha256 -verify " + q + "/pub.pem -signature " + q + "/sig " + q + "/msg";
  int status = -1;
  const std::string out = testsupport::RunCommand(how + " 2>&1", "", &status);
  return status == 0 ? "" : "openssl: " + out;
}

}  // namespace tw::keyfile
