#include "tests/peers/nghttp_peers.h"

#include <sys/stat.h>

#include "tests/peers/peer_process.h"
#include "tests/peers/test_pki.h"
#include "tests/support/test_support.h"

namespace testsupport {
namespace {
constexpr int kStartMillis = 10000;
constexpr int kTries = 3;
}  // namespace

NghttpdPeer::NghttpdPeer() = default;
NghttpdPeer::~NghttpdPeer() { Stop(); }

bool NghttpdPeer::Installed() { return !FindProgram({"nghttpd", "/usr/sbin/nghttpd"}).empty(); }

std::string NghttpdPeer::base_url() const {
  return (tls_ ? "https://localhost:" : "http://127.0.0.1:") + std::to_string(port_);
}

bool NghttpdPeer::WriteFile(const std::string& name, const std::string& content) const {
  testsupport::WriteFile(root_ + "/" + name, content);
  return true;
}

std::string NghttpdPeer::log() const { return LogTail(dir_ + "/nghttpd.log", 6000); }

bool NghttpdPeer::Start(bool tls, const std::vector<std::string>& extra) {
  tls_ = tls;
  const std::string program = FindProgram({"nghttpd", "/usr/sbin/nghttpd"});
  if (program.empty()) {
    error_ = "nghttpd not installed";
    return false;
  }
  const TestPki& pki = TestPki::Get();
  if (tls && !pki.ok()) {
    error_ = pki.error();
    return false;
  }
  dir_ = MakeTempDir();
  root_ = dir_ + "/root";
  mkdir(root_.c_str(), 0700);
  for (int attempt = 0; attempt < kTries; ++attempt) {
    port_ = FreePort();
    std::vector<std::string> argv = {program, "-a", "127.0.0.1", "-d", root_};
    argv.insert(argv.end(), extra.begin(), extra.end());
    if (!tls) argv.push_back("--no-tls");
    argv.push_back(std::to_string(port_));
    if (tls) {
      argv.push_back(pki.Key("rsa"));
      argv.push_back(pki.Chain("rsa"));
    }
    if (StartListening(argv, dir_ + "/nghttpd.log", "", port_, kStartMillis, &process_) == PeerStart::kUp) return true;
  }
  error_ = "nghttpd did not start: " + log();
  return false;
}

void NghttpdPeer::Stop() {
  if (process_) process_->Stop();
  process_.reset();
}

NghttpxPeer::NghttpxPeer() = default;
NghttpxPeer::~NghttpxPeer() { Stop(); }

bool NghttpxPeer::Installed() { return !FindProgram({"nghttpx", "/usr/sbin/nghttpx"}).empty(); }

std::string NghttpxPeer::log() const { return LogTail(dir_ + "/nghttpx.log"); }

bool NghttpxPeer::Start(int backend_port, const std::string& cert) {
  const std::string program = FindProgram({"nghttpx", "/usr/sbin/nghttpx"});
  if (program.empty()) {
    error_ = "nghttpx not installed";
    return false;
  }
  const TestPki& pki = TestPki::Get();
  if (!pki.ok()) {
    error_ = pki.error();
    return false;
  }
  dir_ = MakeTempDir();
  for (int attempt = 0; attempt < kTries; ++attempt) {
    port_ = FreePort();
    // An empty configuration file: nothing of the system's own is read.
    testsupport::WriteFile(dir_ + "/nghttpx.conf", "");
    const std::vector<std::string> argv = {
        program, "--conf=" + dir_ + "/nghttpx.conf", "-f127.0.0.1," + std::to_string(port_),
        "-b127.0.0.1," + std::to_string(backend_port), "-n1", "--no-ocsp",
        "--pid-file=" + dir_ + "/nghttpx.pid", "--errorlog-file=" + dir_ + "/error.log",
        "--accesslog-file=" + dir_ + "/access.log", pki.Key(cert), pki.Chain(cert)};
    if (StartListening(argv, dir_ + "/nghttpx.log", "", port_, kStartMillis, &process_) == PeerStart::kUp) return true;
  }
  error_ = "nghttpx did not start: " + log() + LogTail(dir_ + "/error.log");
  return false;
}

void NghttpxPeer::Stop() {
  if (process_) process_->Stop();
  process_.reset();
}

}  // namespace testsupport
