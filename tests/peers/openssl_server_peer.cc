#include "tests/peers/openssl_server_peer.h"

#include <filesystem>

#include "tests/peers/peer_process.h"
#include "tests/peers/test_pki.h"
#include "tests/support/test_support.h"

namespace testsupport {

namespace {

constexpr int kStartMillis = 10000;

std::string FindOpenSsl() { return FindProgram({"openssl"}); }

}  // namespace

OpenSslServerPeer::OpenSslServerPeer(Options options) : options_(std::move(options)) {
  dir_ = MakeTempDir();
  if (!dir_.empty()) {
    files_dir_ = dir_ + "/www";
    std::error_code ec;
    std::filesystem::create_directories(files_dir_, ec);
  }
}

OpenSslServerPeer::~OpenSslServerPeer() {
  Stop();
  RemoveTempDir(dir_);
}

bool OpenSslServerPeer::Installed() { return !FindOpenSsl().empty(); }

int OpenSslServerPeer::pid() const { return process_ ? process_->pid() : -1; }

bool OpenSslServerPeer::WriteFile(const std::string& name, const std::string& bytes) const {
  return !files_dir_.empty() && WriteTextFile(files_dir_ + "/" + name, bytes);
}

std::string OpenSslServerPeer::output() const { return dir_.empty() ? "" : ReadFile(dir_ + "/s_server.log"); }

std::string OpenSslServerPeer::key_log() const { return dir_.empty() ? "" : ReadFile(dir_ + "/keylog.txt"); }

std::string OpenSslServerPeer::cert_path() const { return TestPki::Get().Cert(options_.cert); }

std::vector<std::string> OpenSslServerPeer::CommandLine(const std::string& program) const {
  const TestPki& pki = TestPki::Get();
  std::vector<std::string> argv = {program, "s_server", "-accept", "127.0.0.1:" + std::to_string(port_),
                                   "-cert", pki.Cert(options_.cert), "-key", pki.Key(options_.cert)};
  // Leaves of the PKI are signed by the intermediate, which the server sends along.
  if (options_.cert != "selfsigned" && options_.cert != "root" && options_.cert != "inter") {
    argv.insert(argv.end(), {"-cert_chain", pki.Cert("inter")});
  }
  if (!options_.version.empty()) argv.push_back(options_.version);
  std::string cipher = options_.cipher;
  // OpenSSL 3 refuses TLS 1.0 and 1.1 above security level 0.
  if (options_.version == "-tls1" || options_.version == "-tls1_1") {
    cipher = (cipher.empty() ? "DEFAULT" : cipher) + ":@SECLEVEL=0";
  }
  if (!cipher.empty()) argv.insert(argv.end(), {"-cipher", cipher});
  if (!options_.ciphersuites.empty()) argv.insert(argv.end(), {"-ciphersuites", options_.ciphersuites});
  if (!options_.groups.empty()) argv.insert(argv.end(), {"-groups", options_.groups});
  if (options_.verify_depth > 0) {
    argv.insert(argv.end(), {"-Verify", std::to_string(options_.verify_depth), "-CAfile", pki.Cert("root")});
  }
  if (options_.key_log) argv.insert(argv.end(), {"-keylogfile", dir_ + "/keylog.txt"});
  switch (options_.mode) {
    case Mode::kStatus:
      argv.push_back("-www");
      break;
    case Mode::kFiles:
      argv.push_back("-WWW");
      break;
    case Mode::kReverse:
      argv.push_back("-rev");
      break;
  }
  argv.insert(argv.end(), options_.extra.begin(), options_.extra.end());
  return argv;
}

bool OpenSslServerPeer::Start() {
  if (process_) return true;
  const std::string program = FindOpenSsl();
  if (program.empty()) {
    error_ = "openssl not installed";
    return false;
  }
  if (dir_.empty()) {
    error_ = "cannot make a temp dir for s_server";
    return false;
  }
  const TestPki& pki = TestPki::Get();
  if (!pki.ok()) {
    error_ = pki.error();
    return false;
  }
  // A port taken between FreePort and bind makes s_server exit at once: try a few.
  for (int attempt = 0; attempt < 5; ++attempt) {
    port_ = FreePort();
    // -WWW serves files relative to the working folder.
    const PeerStart up =
        StartListening(CommandLine(program), dir_ + "/s_server.log", files_dir_, port_, kStartMillis, &process_);
    if (up == PeerStart::kNotStarted) {
      error_ = "cannot start openssl s_server";
      return false;
    }
    if (up == PeerStart::kUp) {
      error_.clear();
      return true;
    }
    error_ = "openssl s_server did not start: " + LogTail(dir_ + "/s_server.log");
    if (error_.find("in use") == std::string::npos) break;
  }
  return false;
}

void OpenSslServerPeer::Stop() {
  if (process_) {
    process_->Stop();
    process_.reset();
  }
}

}  // namespace testsupport
