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
  RemoveTempDir(dir_);
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
    const PeerStart up = StartListening(argv, dir_ + "/stdout.log", dir_, port_, kStartMillis, &process_);
    if (up == PeerStart::kNotStarted) {
      error_ = "cannot start " + program;
      return false;
    }
    if (up == PeerStart::kUp) {
      error_.clear();
      return true;
    }
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

bool DantePeer::CanAuthenticate(const std::string& user) { return getuid() == 0; }

namespace {

// Root may give a process a private view of files: a mount namespace of its own.
bool PrivateMountsWork() {
  static const bool works = [] {
    int st = -1;
    RunCommand("unshare --mount --propagation private true 2>&1", "", &st);
    return st == 0;
  }();
  return works;
}

// The lines of an account file without those of `user`.
std::string WithoutUser(const std::string& file, const std::string& user) {
  std::istringstream in(file);
  std::string out, line;
  while (std::getline(in, line)) {
    if (line.rfind(user + ":", 0) != 0) out += line + "\n";
  }
  return out;
}

}  // namespace

DantePeer::~DantePeer() {
  Stop();
  if (made_account_) {
    int st = -1;
    RunCommand("userdel '" + user_ + "' 2>&1", "", &st);
  }
}

bool DantePeer::PrepareAccount(std::vector<std::string>* argv) {
  // The username method checks the system's account files. The daemon gets private copies
  // with the account in them, mounted over the real ones in a mount namespace of its own: the
  // machine's accounts never change.
  if (getuid() != 0) {
    error_ = "dante's username method needs root to give dante its account";
    return false;
  }
  int st = -1;
  std::string hash = RunCommand("openssl passwd -6 -stdin", password_ + "\n", &st);
  while (!hash.empty() && std::isspace(static_cast<unsigned char>(hash.back()))) hash.pop_back();
  if (st != 0 || hash.rfind("$6$", 0) != 0) {
    error_ = "cannot hash the dante password (openssl passwd)";
    return false;
  }
  if (PrivateMountsWork()) {
    const std::string passwd = dir_ + "/passwd", shadow = dir_ + "/shadow";
    if (!WriteTextFile(passwd, WithoutUser(ReadFile("/etc/passwd"), user_) + user_ +
                                   ":x:65534:65534::/nonexistent:/usr/sbin/nologin\n") ||
        !WriteTextFile(shadow, WithoutUser(ReadFile("/etc/shadow"), user_) + user_ + ":" + hash +
                                   ":19000:0:99999:7:::\n") ||
        chmod(passwd.c_str(), 0644) != 0 || chmod(shadow.c_str(), 0600) != 0) {
      error_ = "cannot write dante's account files";
      return false;
    }
    std::vector<std::string> wrapped = {
        "unshare", "--mount", "--propagation", "private", "/bin/sh", "-c",
        "mount --bind \"$1\" /etc/passwd && mount --bind \"$2\" /etc/shadow && shift 2 && exec \"$@\"",
        "sh", passwd, shadow};
    wrapped.insert(wrapped.end(), argv->begin(), argv->end());
    *argv = std::move(wrapped);
    return true;
  }
  // Without mount namespaces (a confined container): a system account of the peer's own, with
  // no login shell, removed when the peer goes. One that exists already is not touched.
  if (!made_account_) {
    if (getpwnam(user_.c_str()) != nullptr) {
      error_ = "the account " + user_ + " exists already; dante's test account must be its own";
      return false;
    }
    RunCommand("useradd --system --no-create-home --shell /usr/sbin/nologin '" + user_ + "' 2>&1", "", &st);
    if (getpwnam(user_.c_str()) == nullptr) {
      error_ = "cannot create the system account " + user_ + " for dante";
      return false;
    }
    made_account_ = true;
  }
  RunCommand("usermod -p '" + hash + "' '" + user_ + "' 2>&1", "", &st);
  if (st != 0) {
    error_ = "cannot set the password of " + user_ + " for dante";
    return false;
  }
  return true;
}

bool DantePeer::Prepare(std::string* program_name, std::vector<std::string>* argv) {
  *program_name = "danted";
  const std::string program = FindProgram({"danted", "sockd"});
  if (program.empty()) {
    error_ = "danted not installed";
    return false;
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
  return user_.empty() || PrepareAccount(argv);
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
