#include "tests/peers/apache_peer.h"

#include <sys/stat.h>

#include <filesystem>
#include <sstream>
#include <vector>

#include "tests/peers/peer_process.h"
#include "tests/support/test_support.h"

namespace testsupport {
namespace {

constexpr int kStartMillis = 10000;
constexpr const char* kModules = "/usr/lib/apache2/modules";

std::string Apache() { return FindProgram({"apache2", "/usr/sbin/apache2"}); }

std::string LoadModule(const std::string& name) {
  return "LoadModule " + name + "_module " + kModules + "/mod_" + name + ".so\n";
}

// The hex MD5 of a text, by coreutils' md5sum (the text is letters, digits and punctuation
// chosen by the test).
std::string Md5Hex(const std::string& text) {
  int status = -1;
  const std::string out = RunCommand("printf '%s' '" + text + "' | md5sum", "", &status);
  return status == 0 && out.size() >= 32 ? out.substr(0, 32) : "";
}

}  // namespace

ApachePeer::ApachePeer() = default;

ApachePeer::~ApachePeer() {
  Stop();
  RemoveTempDir(dir_);
}

std::string ApachePeer::url() const {
  return "http://127.0.0.1:" + std::to_string(port_) + "/index.html";
}

std::string ApachePeer::log() const {
  return dir_.empty() ? "" : ReadFile(dir_ + "/error.log") + ReadFile(dir_ + "/httpd.out");
}

void ApachePeer::Stop() {
  if (process_) process_->Stop();
  process_.reset();
}

bool ApachePeer::StartWith(const std::string& modules, const std::string& config,
                           const std::initializer_list<std::pair<std::string, std::string>>& files,
                           const std::string& env) {
  if (process_) return true;
  dir_ = MakeTempDir();
  if (dir_.empty()) {
    error_ = "cannot make a temp dir for apache2";
    return false;
  }
  chmod(dir_.c_str(), 0755);
  std::error_code ec;
  std::filesystem::create_directories(dir_ + "/www", ec);
  bool written = WriteTextFile(dir_ + "/www/index.html", "ok\n");
  for (const auto& [name, text] : files) {
    written = written && WriteTextFile(dir_ + "/" + name, text);
    chmod((dir_ + "/" + name).c_str(), 0644);  // the server runs as nobody
  }
  if (!written) {
    error_ = "cannot write the apache2 files";
    return false;
  }
  std::vector<std::string> argv = {"env"};
  std::string with_dir = env;
  for (size_t at; (at = with_dir.find("%DIR%")) != std::string::npos;) with_dir.replace(at, 5, dir_);
  std::istringstream words(with_dir);
  for (std::string word; words >> word;) argv.push_back(word);
  argv.insert(argv.end(), {Apache(), "-DFOREGROUND", "-f", dir_ + "/httpd.conf"});
  for (int attempt = 0; attempt < 5; ++attempt) {
    port_ = FreePort();
    std::ostringstream c;
    c << "ServerRoot " << dir_ << "\n"
      << "ServerName localhost\n"
      << "Listen 127.0.0.1:" << port_ << "\n"
      << "PidFile " << dir_ << "/httpd.pid\n"
      << "ErrorLog " << dir_ << "/error.log\n"
      << "User nobody\nGroup nogroup\n"
      << LoadModule("mpm_prefork") << LoadModule("authn_core") << LoadModule("authz_core")
      << LoadModule("authz_user") << modules
      << "StartServers 1\nMinSpareServers 1\nMaxSpareServers 2\n"
      << "KeepAlive On\n"
      << "DocumentRoot " << dir_ << "/www\n"
      << config;
    if (!WriteTextFile(dir_ + "/httpd.conf", c.str())) {
      error_ = "cannot write the apache2 config";
      return false;
    }
    const PeerStart up = StartListening(argv, dir_ + "/httpd.out", dir_, port_, kStartMillis, &process_);
    if (up == PeerStart::kNotStarted) {
      error_ = "cannot start apache2";
      return false;
    }
    if (up == PeerStart::kUp) {
      error_.clear();
      return true;
    }
    error_ = "apache2 did not start: " + log();
    if (error_.find("in use") == std::string::npos) break;
  }
  return false;
}

bool ApacheDigestPeer::Installed() {
  return !Apache().empty() && std::filesystem::exists(std::string(kModules) + "/mod_auth_digest.so");
}

void ApacheDigestPeer::SetCredentials(const std::string& user, const std::string& password) {
  user_ = user;
  password_ = password;
}

bool ApacheDigestPeer::Start() {
  if (!Installed()) {
    error_ = "apache2 with mod_auth_digest not installed";
    return false;
  }
  // The password file holds user:realm:MD5(user:realm:password), as the digest provider reads it.
  const std::string users = user_ + ":" + kRealm + ":" + Md5Hex(user_ + ":" + kRealm + ":" + password_) + "\n";
  return StartWith(LoadModule("authn_file") + LoadModule("auth_digest"),
                   std::string("<Location />\n"
                               "  AuthType Digest\n"
                               "  AuthName \"") + kRealm + "\"\n"
                       "  AuthDigestProvider file\n"
                       "  AuthUserFile " + "digest_users\n"
                       "  AuthDigestDomain /\n"
                       "  Require valid-user\n"
                       "</Location>\n",
                   {{"digest_users", users}}, "");
}

bool ApacheNtlmPeer::Installed() {
  return !Apache().empty() && std::filesystem::exists(std::string(kModules) + "/mod_auth_gssapi.so") &&
         std::filesystem::exists("/usr/lib/x86_64-linux-gnu/gssntlmssp/gssntlmssp.so");
}

void ApacheNtlmPeer::AddUser(const std::string& domain, const std::string& user, const std::string& password) {
  users_ += domain + ":" + user + ":" + password + "\n";
}

bool ApacheNtlmPeer::Start() {
  if (!Installed()) {
    error_ = "apache2 with mod_auth_gssapi and gss-ntlmssp not installed";
    return false;
  }
  const std::string auth =
      "  AuthType GSSAPI\n"
      "  AuthName \"tw\"\n"
      "  GssapiAllowedMech ntlmssp\n"
      "  GssapiBasicAuth Off\n"
      "  GssapiConnectionBound On\n"
      "  Require valid-user\n";
  const std::string config = proxy_ ? "ProxyRequests On\n<Proxy \"*\">\n" + auth + "</Proxy>\n"
                                    : "<Location />\n" + auth + "</Location>\n";
  std::string modules = LoadModule("auth_gssapi");
  if (proxy_) modules += LoadModule("proxy") + LoadModule("proxy_http");
  // The acceptor reads its users from the file NTLM_USER_FILE names.
  return StartWith(modules, config, {{"ntlm_users", users_}}, "NTLM_USER_FILE=%DIR%/ntlm_users");
}

}  // namespace testsupport
