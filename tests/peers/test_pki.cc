#include "tests/peers/test_pki.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>

#include "tests/support/test_support.h"

namespace testsupport {

// Made once per build tree and script version, and shared by every test process: the test
// binaries run one process per test, and openssl needs seconds to make the whole PKI.
TestPki::TestPki() {
  if (!HaveProgram("openssl")) {
    error_ = "openssl not installed";
    return;
  }
  const std::string script = std::string(TW_SOURCE_DIR) + "/tests/peers/make_test_pki.sh";
  const std::string base = std::string(TW_BINARY_DIR) + "/test-pki-" +
                           std::to_string(std::hash<std::string>()(ReadFile(script)) % 1000000007);
  dir_ = base + "/pki";
  store_dir_ = base + "/stores";
  const std::string lock_path = base + ".lock";
  const int lock = ::open(lock_path.c_str(), O_CREAT | O_RDWR | O_CLOEXEC, 0600);
  if (lock < 0 || ::flock(lock, LOCK_EX) != 0) {
    error_ = "cannot lock " + lock_path;
    if (lock >= 0) ::close(lock);
    return;
  }
  struct stat done {};
  if (::stat((base + "/done").c_str(), &done) != 0) {
    const std::string work = base + ".tmp";
    int status = 0;
    const std::string out = RunCommand("rm -rf " + ShellQuote(work) + " " + ShellQuote(base) + " && bash " +
                                           ShellQuote(script) + " " + ShellQuote(work + "/pki") + " 2>&1",
                                       "", &status);
    if (status == 0) {
      RunCommand("mkdir -p " + ShellQuote(work + "/stores/ROOT") + " && cp " + ShellQuote(work + "/pki/root.pem") +
                     " " + ShellQuote(work + "/stores/ROOT/test-root.pem") + " && touch " + ShellQuote(work + "/done") +
                     " && mv " + ShellQuote(work) + " " + ShellQuote(base),
                 "", &status);
    }
    if (status != 0) error_ = "making the test PKI failed: " + out;
  }
  ::flock(lock, LOCK_UN);
  ::close(lock);
}

const TestPki& TestPki::Get() {
  static const TestPki pki;
  return pki;
}

}  // namespace testsupport
