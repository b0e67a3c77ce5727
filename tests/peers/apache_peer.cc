#include "tests/peers/apache_peer.h"

#include <sys/stat.h>

#include <filesystem>
#include <sstream>

#include "tests/peers/peer_process.h"
#include "tests/support/test_support.h"

namespace testsupport {
namespace {

constexpr int kStartMillis = 10000;
constexpr const char* kModules = "/usr/lib/apache2/modules";

std::string Apache() { return FindProgram({"apache2", "/usr/sbin/apache2"}); }

// The hex MD5 of a text, by coreutils' md5sum (the text is letters, digits and punctuation
// chosen by the test).
std::string Md5Hex(const std::string& text) {
  int status = -1;
  const std::string out = RunCommand("printf '%s' '" + text + "' | md5sum", "", &status);
  return status == 0 && out.size() >= 32 ? out.substr(0, 32) : "";
}

}  // namespace

ApacheDigestPeer::ApacheDigestPeer() = default;

ApacheDigestPeer::~ApacheDigestPeer() {
  Stop();
  RemoveTempDir(dir_);
}

bool ApacheDigestPeer::Installed() {
  return !Apache().empty() && std::filesystem::exists(std::string(kModules) + "/mod_auth_digest.so");
}

void ApacheDigestPeer::SetCredentials(const std::string& user, const std::string& password) {
  user_ = user;
  password_ = password;
}

std::string ApacheDigestPeer::url() const {
  return "http://127.0.0.1:" + std::to_string(port_) + "/index.html";
}

std::string ApacheDigestPeer::log() const {
  return dir_.empty() ? "" : ReadFile(dir_ + "/error.log") + ReadFile(dir_ + "/httpd.out");
}

void ApacheDigestPeer::Stop() {
  if (process_) process_->Stop();
  process_.reset();
}

bool ApacheDigestPeer::Start() {
  if (process_) return true;
  if (!Installed()) {
    error_ = "apache2 with mod_auth_digest not installed";
    return false;
  }
  dir_ = MakeTempDir();
  if (dir_.empty()) {
    error_ = "cannot make a temp dir for apache2";
    return false;
  }
  chmod(dir_.c_str(), 0755);
  std::error_code ec;
  std::filesystem::create_directories(dir_ + "/www", ec);
  // The password file holds user:realm:MD5(user:realm:password), as the digest provider reads it.
  if (!WriteTextFile(dir_ + "/www/index.html", "ok\n") ||
      !WriteTextFile(dir_ + "/digest_users", user_ + ":" + kRealm + ":" +
                                                 Md5Hex(user_ + ":" + kRealm + ":" + password_) + "\n")) {
    error_ = "cannot write the apache2 files";
    return false;
  }
  chmod((dir_ + "/digest_users").c_str(), 0644);
  for (int attempt = 0; attempt < 5; ++attempt) {
    port_ = FreePort();
    const std::string m = kModules;
    std::ostringstream c;
    c << "ServerRoot " << dir_ << "\n"
      << "ServerName localhost\n"
      << "Listen 127.0.0.1:" << port_ << "\n"
      << "PidFile " << dir_ << "/httpd.pid\n"
      << "ErrorLog " << dir_ << "/error.log\n"
      << "User nobody\nGroup nogroup\n"
      << "LoadModule mpm_prefork_module " << m << "/mod_mpm_prefork.so\n"
      << "LoadModule authn_core_module " << m << "/mod_authn_core.so\n"
      << "LoadModule authn_file_module " << m << "/mod_authn_file.so\n"
      << "LoadModule authz_core_module " << m << "/mod_authz_core.so\n"
      << "LoadModule authz_user_module " << m << "/mod_authz_user.so\n"
      << "LoadModule auth_digest_module " << m << "/mod_auth_digest.so\n"
      << "StartServers 1\nMinSpareServers 1\nMaxSpareServers 2\n"
      << "KeepAlive On\n"
      << "DocumentRoot " << dir_ << "/www\n"
      << "<Location />\n"
      << "  AuthType Digest\n"
      << "  AuthName \"" << kRealm << "\"\n"
      << "  AuthDigestProvider file\n"
      << "  AuthUserFile " << dir_ << "/digest_users\n"
      << "  AuthDigestDomain /\n"
      << "  Require valid-user\n"
      << "</Location>\n";
    if (!WriteTextFile(dir_ + "/httpd.conf", c.str())) {
      error_ = "cannot write the apache2 config";
      return false;
    }
    const PeerStart up = StartListening({Apache(), "-DFOREGROUND", "-f", dir_ + "/httpd.conf"},
                                        dir_ + "/httpd.out", dir_, port_, kStartMillis, &process_);
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

}  // namespace testsupport
