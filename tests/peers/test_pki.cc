#include "tests/peers/test_pki.h"

#include <cstdlib>

#include "tests/support/test_support.h"

namespace testsupport {
namespace {

std::string g_dir;

void RemovePki() {
  if (!g_dir.empty()) RunCommand("rm -rf " + ShellQuote(g_dir));
}

}  // namespace

TestPki::TestPki() {
  if (!HaveProgram("openssl")) {
    error_ = "openssl not installed";
    return;
  }
  dir_ = MakeTempDir();
  g_dir = dir_;
  std::atexit(RemovePki);
  int status = 0;
  const std::string script = std::string(TW_SOURCE_DIR) + "/tests/peers/make_test_pki.sh";
  const std::string out = RunCommand("bash " + ShellQuote(script) + " " + ShellQuote(dir_ + "/pki") + " 2>&1",
                                     "", &status);
  if (status != 0) {
    error_ = "making the test PKI failed: " + out;
    return;
  }
  dir_ += "/pki";
  store_dir_ = g_dir + "/stores";
  RunCommand("mkdir -p " + ShellQuote(store_dir_ + "/ROOT") + " && cp " + ShellQuote(Cert("root")) + " " +
             ShellQuote(store_dir_ + "/ROOT/test-root.pem"));
}

const TestPki& TestPki::Get() {
  static const TestPki pki;
  return pki;
}

}  // namespace testsupport
