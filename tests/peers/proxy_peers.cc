#include "tests/peers/proxy_peers.h"

#include "tests/peers/peer_process.h"
#include "tests/support/test_support.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <filesystem>
#include <sstream>

namespace testsupport {

namespace {

constexpr int kStartMillis = 15000;
constexpr int kStartAttempts = 4;
constexpr const char* kSquidNcsaHelper = "/usr/lib/squid/basic_ncsa_auth";

bool SafeToken(const std::string& s) {
  for (char c : s) {
    if (!isalnum(static_cast<unsigned char>(c)) && c != '_' && c != '-' && c != '.') return false;
  }
  return true;
}

}  // namespace

ProxyPeerBase::ProxyPeerBase() = default;

ProxyPeerBase::~ProxyPeerBase() {
  Stop();
  if (!dir_.empty()) {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
}

void ProxyPeerBase::SetCredentials(const std::string& user, const std::string& password) {
  user_ = user;
  password_ = password;
}

std::string ProxyPeerBase::log() const {
  if (dir_.empty()) return "";
  std::string out = ReadFile(dir_ + "/stdout.log");
  if (LogFile() != dir_ + "/stdout.log") out += ReadFile(LogFile());
  return out;
}

bool ProxyPeerBase::Start() {
  if (process_) return true;
  if (!SafeToken(user_) || !SafeToken(password_)) {
    error_ = "proxy credentials must be letters, digits, '_', '-' or '.'";
    return false;
  }
  if (dir_.empty()) {
    dir_ = MakeTempDir();
    if (dir_.empty()) {
      error_ = "cannot make a temp dir for the proxy";
      return false;
    }
    // Daemons that drop root privileges still write their logs here.
    chmod(dir_.c_str(), 0777);
  }
  for (int attempt = 0; attempt < kStartAttempts; ++attempt) {
    port_ = FreePort();
    std::string program;
    std::vector<std::string> argv;
    if (!Prepare(&program, &argv)) return false;
    auto proc = std::make_unique<PeerProcess>();
    if (!proc->Start(argv, dir_ + "/stdout.log", dir_)) {
      error_ = "cannot start " + program;
      return false;
    }
    if (proc->WaitForPort(port_, kStartMillis)) {
      process_ = std::move(proc);
      error_.clear();
      return true;
    }
    proc->Stop();
    error_ = program + " did not start: " + LogTail(dir_ + "/stdout.log") + LogTail(LogFile());
    if (error_.find("in use") == std::string::npos) break;
  }
  return false;
}

int ProxyPeerBase::pid() const { return process_ ? process_->pid() : -1; }

void ProxyPeerBase::Stop() {
  if (process_) {
    process_->Stop(stop_grace_ms_);
    process_.reset();
  }
}

// --- tinyproxy ---

bool TinyproxyPeer::Installed() { return !FindProgram({"tinyproxy"}).empty(); }

std::string TinyproxyPeer::url() const { return "http://127.0.0.1:" + std::to_string(port_); }

bool TinyproxyPeer::Prepare(std::string* program_name, std::vector<std::string>* argv) {
  *program_name = "tinyproxy";
  const std::string program = FindProgram({"tinyproxy"});
  if (program.empty()) {
    error_ = "tinyproxy not installed";
    return false;
  }
  std::ostringstream c;
  // No ConnectPort line: CONNECT is allowed to every port.
  c << "Port " << port_ << "\n"
    << "Listen 127.0.0.1\n"
    << "Timeout 60\n"
    << "MaxClients 64\n"
    << "Allow 127.0.0.1\n"
    << "LogLevel Info\n"
    << "LogFile \"" << LogFile() << "\"\n"
    << "PidFile \"" << dir_ << "/tinyproxy.pid\"\n";
  if (getuid() == 0) c << "User nobody\nGroup nogroup\n";
  if (!user_.empty()) c << "BasicAuth " << user_ << " " << password_ << "\n";
  // Destinations stay on loopback: the tests never reach out.
  const std::string filter = dir_ + "/allowed_hosts";
  if (!WriteTextFile(filter, "^127\\.[0-9.]+$\n^localhost$\n")) {
    error_ = "cannot write the tinyproxy filter";
    return false;
  }
  c << "Filter \"" << filter << "\"\n"
    << "FilterExtended Yes\n"
    << "FilterDefaultDeny Yes\n";
  const std::string conf = dir_ + "/tinyproxy.conf";
  if (!WriteTextFile(conf, c.str())) {
    error_ = "cannot write the tinyproxy config";
    return false;
  }
  *argv = {program, "-d", "-c", conf};
  return true;
}

// --- dante ---

bool DantePeer::Installed() { return !FindProgram({"danted", "sockd"}).empty(); }

bool DantePeer::CanAuthenticate(const std::string& user) {
  return getuid() == 0 || getpwnam(user.c_str()) != nullptr;
}

bool DantePeer::Prepare(std::string* program_name, std::vector<std::string>* argv) {
  *program_name = "danted";
  const std::string program = FindProgram({"danted", "sockd"});
  if (program.empty()) {
    error_ = "danted not installed";
    return false;
  }
  if (!user_.empty()) {
    // The username method checks the system account database: make the account and set its
    // password (only root can; a non-root run needs the account to exist with that password).
    if (getpwnam(user_.c_str()) == nullptr) {
      int st = -1;
      RunCommand("useradd --system --no-create-home --shell /usr/sbin/nologin '" + user_ + "' 2>&1", "", &st);
      if (getpwnam(user_.c_str()) == nullptr) {
        error_ = "cannot create the system account " + user_ + " for dante (needs root)";
        return false;
      }
    }
    if (getuid() == 0) {
      int st = -1;
      RunCommand("chpasswd 2>&1", user_ + ":" + password_ + "\n", &st);
      if (st != 0) {
        error_ = "cannot set the password of " + user_ + " for dante";
        return false;
      }
    }
  }
  std::ostringstream c;
  c << "logoutput: " << LogFile() << "\n"
    << "internal: 127.0.0.1 port = " << port_ << "\n"
    << "external: 127.0.0.1\n"
    << "clientmethod: none\n"
    << "socksmethod: " << (user_.empty() ? "none" : "username") << "\n"
    << "user.privileged: root\n"
    << "user.unprivileged: nobody\n"
    << "client pass {\n  from: 127.0.0.0/8 to: 0.0.0.0/0\n}\n"
    // Destinations stay on loopback: the tests never reach out.
    << "socks pass {\n  from: 127.0.0.0/8 to: 127.0.0.0/8\n  command: connect bind udpassociate bindreply udpreply\n}\n"
    << "socks block {\n  from: 0.0.0.0/0 to: 0.0.0.0/0\n  log: connect error\n}\n";
  const std::string conf = dir_ + "/danted.conf";
  if (!WriteTextFile(conf, c.str())) {
    error_ = "cannot write the danted config";
    return false;
  }
  *argv = {program, "-f", conf, "-p", dir_ + "/danted.pid", "-N", "1"};
  return true;
}

// --- microsocks ---

bool MicrosocksPeer::Installed() { return !FindProgram({"microsocks"}).empty(); }

bool MicrosocksPeer::Prepare(std::string* program_name, std::vector<std::string>* argv) {
  *program_name = "microsocks";
  const std::string program = FindProgram({"microsocks"});
  if (program.empty()) {
    error_ = "microsocks not installed";
    return false;
  }
  // Outgoing connections bound to loopback cannot reach any other host.
  *argv = {program, "-i", "127.0.0.1", "-p", std::to_string(port_), "-b", "127.0.0.1"};
  if (!user_.empty()) {
    argv->insert(argv->end(), {"-u", user_, "-P", password_});
  }
  return true;
}

// --- squid ---

bool SquidPeer::Installed() { return !FindProgram({"squid"}).empty(); }

std::string SquidPeer::url() const { return "http://127.0.0.1:" + std::to_string(port_); }

bool SquidPeer::Prepare(std::string* program_name, std::vector<std::string>* argv) {
  *program_name = "squid";
  // Squid's orderly shutdown takes seconds and keeps nothing the tests need.
  stop_grace_ms_ = 0;
  const std::string program = FindProgram({"squid"});
  if (program.empty()) {
    error_ = "squid not installed";
    return false;
  }
  std::ostringstream c;
  c << "http_port 127.0.0.1:" << port_ << "\n"
    << "pid_filename " << dir_ << "/squid.pid\n"
    << "cache_log " << LogFile() << "\n"
    << "access_log stdio:" << dir_ << "/access.log\n"
    << "cache_store_log none\n"
    << "cache deny all\n"
    << "cache_mem 8 MB\n"
    << "coredump_dir " << dir_ << "\n"
    << "pinger_enable off\n"
    << "icp_port 0\n"
    << "htcp_port 0\n"
    << "netdb_filename none\n"
    << "dns_nameservers 127.0.0.1\n"
    << "udp_incoming_address 127.0.0.1\n"
    << "visible_hostname tw-test-proxy\n"
    << "shutdown_lifetime 0 seconds\n"
    << "acl localnet src 127.0.0.0/8\n"
    // Destinations stay on loopback: the tests never reach out.
    << "acl loopback_dst dst 127.0.0.0/8\n"
    << "http_access deny !loopback_dst\n";
  if (getuid() == 0) c << "cache_effective_user proxy\n";
  if (!user_.empty()) {
    if (access(kSquidNcsaHelper, X_OK) != 0) {
      error_ = "squid's basic auth helper is missing";
      return false;
    }
    const std::string passwd = dir_ + "/passwd";
    int st = -1;
    // htpasswd's default (MD5-APR) is understood by the helper.
    const std::string out =
        RunCommand("htpasswd -c -b -m '" + passwd + "' '" + user_ + "' '" + password_ + "' 2>&1", "", &st);
    if (st != 0) {
      error_ = "htpasswd failed (apache2-utils not installed?): " + out;
      return false;
    }
    chmod(passwd.c_str(), 0644);
    c << "auth_param basic program " << kSquidNcsaHelper << " " << passwd << "\n"
      << "auth_param basic children 2 startup=1 idle=1\n"
      << "auth_param basic realm tw-test-proxy\n"
      << "acl authed proxy_auth REQUIRED\n"
      << "http_access allow localnet authed\n";
  } else {
    c << "http_access allow localnet\n";
  }
  c << "http_access deny all\n";
  const std::string conf = dir_ + "/squid.conf";
  if (!WriteTextFile(conf, c.str())) {
    error_ = "cannot write the squid config";
    return false;
  }
  *argv = {program, "-N", "-f", conf};
  return true;
}

}  // namespace testsupport
