// A SoftHSM2 token of the test's own for the token store tests: made once per process with
// softhsm2-util, its objects written by pkcs11-tool.
#pragma once

#include <cstdlib>
#include <string>

#include "tests/support/test_support.h"

namespace tokentest {

using testsupport::RunCommand;

inline constexpr const char* kModule = "/usr/lib/softhsm/libsofthsm2.so";
inline constexpr const char* kPin = "4321";

// A token "t" holding an RSA certificate with its key (id 01), an EC certificate with its key
// (id 02) and a certificate without a key (id 03).
class Token {
 public:
  static Token& Get() {
    static Token t;
    return t;
  }
  bool ok() const { return ok_; }
  std::string Path(const std::string& name) const { return dir_ + "/" + name; }

 private:
  Token() : dir_(testsupport::MakeTempDir()) {
    if (!testsupport::HaveProgram("softhsm2-util") || !testsupport::HaveProgram("pkcs11-tool")) return;
    const std::string conf = dir_ + "/softhsm2.conf";
    testsupport::WriteFile(conf, "directories.tokendir = " + dir_ + "/tokens\nobjectstore.backend = file\n"
                                 "log.level = ERROR\n");
    setenv("SOFTHSM2_CONF", conf.c_str(), 1);
    const std::string tool = std::string("pkcs11-tool --module ") + kModule + " --login --pin " + kPin;
    const std::string script =
        "cd " + dir_ + " && set -e && mkdir tokens\n"
        "softhsm2-util --init-token --free --label t --pin " + kPin + " --so-pin 876543 >/dev/null\n"
        "openssl req -x509 -newkey rsa:2048 -nodes -keyout a.key -out a.pem -subj '/CN=token-a/O=Acme' 2>/dev/null\n"
        "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout b.key -out b.pem "
        "-subj '/CN=token-b' 2>/dev/null\n"
        "openssl req -x509 -newkey rsa:2048 -nodes -keyout c.key -out c.pem -subj '/CN=token-c' 2>/dev/null\n"
        "for n in a b c; do openssl x509 -in $n.pem -outform DER -out $n.der; "
        "openssl pkcs8 -topk8 -nocrypt -in $n.key -outform DER -out $n.p8; done\n"
        "openssl x509 -in a.pem -pubkey -noout > a.pub\n"
        "openssl x509 -in b.pem -pubkey -noout > b.pub\n" +
        tool + " --write-object a.der --type cert --id 01 --label certA >/dev/null\n" +
        tool + " --write-object a.p8 --type privkey --id 01 --label keyA >/dev/null\n" +
        tool + " --write-object b.der --type cert --id 02 --label certB >/dev/null\n" +
        tool + " --write-object b.p8 --type privkey --id 02 --label keyB >/dev/null\n" +
        tool + " --write-object c.der --type cert --id 03 --label certC >/dev/null\n";
    int status = -1;
    RunCommand(script, "", &status);
    ok_ = status == 0;
  }
  ~Token() { RunCommand("rm -rf " + dir_); }
  std::string dir_;
  bool ok_ = false;
};

#define REQUIRE_TOKEN()                                                           \
  do {                                                                            \
    if (!::tokentest::Token::Get().ok()) TW_REQUIRE_OR_SKIP("SoftHSM2 and OpenSC not usable"); \
  } while (0)

inline std::string Description(const std::string& fields) {
  return "-----BEGIN SECURITY KEY-----\n" + fields + "-----END SECURITY KEY-----\n";
}

}  // namespace tokentest
