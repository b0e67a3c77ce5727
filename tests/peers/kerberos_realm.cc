#include "tests/peers/kerberos_realm.h"

#include "tests/peers/peer_process.h"
#include "tests/support/test_support.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <sstream>

namespace testsupport {

namespace {

constexpr int kStartMillis = 10000;
constexpr const char* kModules = "/usr/lib/apache2/modules";
constexpr const char* kMasterPassword = "tw-master-0";

bool UdpPortFree(int port) {
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  if (fd < 0) return false;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bool ok = bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  close(fd);
  return ok;
}

// A port free for both TCP and UDP right now.
int FreeKdcPort() {
  for (int i = 0; i < 50; ++i) {
    int p = FreePort();
    if (UdpPortFree(p)) return p;
  }
  return FreePort();
}

std::string Apache() { return FindProgram({"apache2", "/usr/sbin/apache2"}); }

}  // namespace

KerberosRealm::KerberosRealm() = default;

KerberosRealm::~KerberosRealm() {
  Stop();
  RemoveTempDir(dir_);
}

bool KerberosRealm::Installed() {
  return !FindProgram({"krb5kdc", "/usr/sbin/krb5kdc"}).empty() &&
         !FindProgram({"kdb5_util", "/usr/sbin/kdb5_util"}).empty() &&
         !FindProgram({"kadmin.local", "/usr/sbin/kadmin.local"}).empty() && HaveProgram("klist");
}

bool KerberosRealm::HttpInstalled() {
  return !Apache().empty() && std::filesystem::exists(std::string(kModules) + "/mod_auth_gssapi.so");
}

std::string KerberosRealm::Env() const {
  return "KRB5_CONFIG=" + ShellQuote(dir_ + "/krb5.conf") + " KRB5_KDC_PROFILE=" + ShellQuote(dir_ + "/kdc.conf") +
         " KRB5CCNAME=" + ShellQuote("FILE:" + dir_ + "/ccache") + " KRB5RCACHETYPE=none ";
}

std::string KerberosRealm::http_url() const {
  return "http://localhost:" + std::to_string(http_port_) + "/index.html";
}

std::string KerberosRealm::kdc_log() const { return ReadFile(dir_ + "/kdc.log") + ReadFile(dir_ + "/kdc.out"); }

std::string KerberosRealm::http_log() const { return ReadFile(dir_ + "/httpd_error.log"); }

bool KerberosRealm::WriteConfig() {
  const std::string port = std::to_string(kdc_port_);
  std::ostringstream k;
  k << "[libdefaults]\n"
       " default_realm = " << kRealm << "\n"
       " dns_lookup_kdc = false\n"
       " dns_lookup_realm = false\n"
       " rdns = false\n"
       " dns_canonicalize_hostname = false\n"
       " allow_rc4 = true\n"
       " allow_weak_crypto = true\n"
       " permitted_enctypes = aes256-cts-hmac-sha1-96 aes128-cts-hmac-sha1-96 rc4-hmac\n"
       "[realms]\n"
       " " << kRealm << " = {\n"
       "  kdc = 127.0.0.1:" << port << "\n"
       " }\n";
  std::ostringstream d;
  d << "[kdcdefaults]\n"
       " kdc_listen = 127.0.0.1:" << port << "\n"
       " kdc_tcp_listen = 127.0.0.1:" << port << "\n"
       "[realms]\n"
       " " << kRealm << " = {\n"
       "  database_name = " << dir_ << "/principal\n"
       "  key_stash_file = " << dir_ << "/stash\n"
       "  acl_file = " << dir_ << "/kadm5.acl\n"
       "  master_key_type = aes256-cts-hmac-sha1-96\n"
       "  supported_enctypes = " << kEnctypes << "\n"
       "  max_life = 10h\n"
       " }\n"
       "[logging]\n"
       " kdc = FILE:" << dir_ << "/kdc.log\n"
       " admin_server = FILE:" << dir_ << "/kadmin.log\n"
       " default = FILE:" << dir_ << "/krb5lib.log\n";
  return WriteTextFile(dir_ + "/krb5.conf", k.str()) && WriteTextFile(dir_ + "/kdc.conf", d.str()) &&
         WriteTextFile(dir_ + "/kadm5.acl", "");
}

bool KerberosRealm::StartKdcProcess() {
  const std::string program = FindProgram({"krb5kdc", "/usr/sbin/krb5kdc"});
  const PeerStart up = StartListening({"env", "KRB5_CONFIG=" + dir_ + "/krb5.conf",
                                       "KRB5_KDC_PROFILE=" + dir_ + "/kdc.conf", program, "-n", "-r", kRealm},
                                      dir_ + "/kdc.out", dir_, kdc_port_, kStartMillis, &kdc_);
  if (up == PeerStart::kNotStarted) {
    error_ = "cannot start krb5kdc";
    return false;
  }
  if (up == PeerStart::kNotListening) {
    error_ = "krb5kdc did not start: " + LogTail(dir_ + "/kdc.log") + LogTail(dir_ + "/kdc.out");
    return false;
  }
  return true;
}

bool KerberosRealm::Start() {
  if (kdc_) return true;
  if (!Installed()) {
    error_ = "Kerberos KDC tools not installed (krb5-kdc, krb5-admin-server, krb5-user)";
    return false;
  }
  if (dir_.empty()) {
    dir_ = MakeTempDir();
    if (dir_.empty()) {
      error_ = "cannot make a temp dir for the realm";
      return false;
    }
    // The HTTP server's workers run as nobody and read their keytab from here.
    chmod(dir_.c_str(), 0755);
    for (int attempt = 0; attempt < 5; ++attempt) {
      kdc_port_ = FreeKdcPort();
      if (!WriteConfig()) {
        error_ = "cannot write the realm config";
        return false;
      }
      int status = -1;
      std::string out = RunCommand(Env() + "kdb5_util -r " + std::string(kRealm) + " create -s -P " +
                                       kMasterPassword + " 2>&1",
                                   "", &status);
      if (status != 0) {
        error_ = "kdb5_util create failed: " + out;
        return false;
      }
      if (StartKdcProcess()) {
        error_.clear();
        return true;
      }
      if (error_.find("in use") == std::string::npos) return false;
      std::error_code ec;
      for (const char* f : {"/principal", "/principal.ok", "/principal.kadm5", "/principal.kadm5.lock", "/stash"}) {
        std::filesystem::remove(dir_ + f, ec);
      }
    }
    return false;
  }
  return StartKdcProcess();
}

bool KerberosRealm::Kadmin(const std::string& query, std::string* out) {
  int status = -1;
  std::string text =
      RunCommand(Env() + "kadmin.local -r " + std::string(kRealm) + " -q " + ShellQuote(query) + " 2>&1", "", &status);
  if (out != nullptr) *out = text;
  // kadmin.local exits 0 even when the query fails; its complaints carry the query's verb.
  if (status != 0 || text.find("while ") != std::string::npos || text.find("usage:") != std::string::npos) {
    error_ = "kadmin.local " + query + ": " + text;
    return false;
  }
  return true;
}

bool KerberosRealm::AddPrincipal(const std::string& name, const std::string& password) {
  std::string e = kEnctypes;
  return Kadmin("addprinc -e " + e + " -pw " + password + " " + name);
}

bool KerberosRealm::ExportKeytab(const std::string& name, const std::string& path) {
  return Kadmin("ktadd -norandkey -k " + path + " " + name);
}

bool KerberosRealm::StartHttp() {
  if (http_) return true;
  if (!kdc_ && !Start()) return false;
  if (!HttpInstalled()) {
    error_ = "apache2 with mod_auth_gssapi not installed";
    return false;
  }
  const std::string program = Apache();
  std::error_code ec;
  if (!std::filesystem::exists(http_keytab())) {
    if (!Kadmin("addprinc -e " + std::string(kEnctypes) + " -randkey " + kHttpPrincipal) ||
        !Kadmin("ktadd -k " + http_keytab() + " " + kHttpPrincipal)) {
      return false;
    }
    chmod(http_keytab().c_str(), 0644);
    std::filesystem::create_directories(dir_ + "/www", ec);
    if (!WriteTextFile(dir_ + "/www/index.html", "ok\n")) {
      error_ = "cannot write the HTTP document";
      return false;
    }
  }
  for (int attempt = 0; attempt < 5; ++attempt) {
    http_port_ = FreePort();
    const std::string m = kModules;
    std::ostringstream c;
    c << "ServerRoot " << dir_ << "\n"
         "ServerName localhost\n"
         "Listen 127.0.0.1:" << http_port_ << "\n"
         "PidFile " << dir_ << "/httpd.pid\n"
         "ErrorLog " << dir_ << "/httpd_error.log\n"
         "LogLevel info\n"
         "User nobody\n"
         "Group nogroup\n"
         "LoadModule mpm_prefork_module " << m << "/mod_mpm_prefork.so\n"
         "LoadModule authn_core_module " << m << "/mod_authn_core.so\n"
         "LoadModule authz_core_module " << m << "/mod_authz_core.so\n"
         "LoadModule authz_user_module " << m << "/mod_authz_user.so\n"
         "LoadModule auth_gssapi_module " << m << "/mod_auth_gssapi.so\n"
         "StartServers 1\nMinSpareServers 1\nMaxSpareServers 2\n"
         "DocumentRoot " << dir_ << "/www\n"
         "<Location />\n"
         "  AuthType GSSAPI\n"
         "  AuthName \"tw\"\n"
         "  GssapiCredStore keytab:" << http_keytab() << "\n"
         "  GssapiAllowedMech krb5\n"
         "  GssapiBasicAuth Off\n"
         "  Require valid-user\n"
         "</Location>\n";
    if (!WriteTextFile(dir_ + "/httpd.conf", c.str())) {
      error_ = "cannot write the HTTP server config";
      return false;
    }
    // No replay cache: it would be written outside the folder.
    const PeerStart up = StartListening({"env", "KRB5_CONFIG=" + dir_ + "/krb5.conf", "KRB5RCACHETYPE=none", program,
                                         "-DFOREGROUND", "-f", dir_ + "/httpd.conf"},
                                        dir_ + "/httpd.out", dir_, http_port_, kStartMillis, &http_);
    if (up == PeerStart::kNotStarted) {
      error_ = "cannot start apache2";
      return false;
    }
    if (up == PeerStart::kUp) {
      error_.clear();
      return true;
    }
    error_ = "apache2 did not start: " + LogTail(dir_ + "/httpd_error.log") + LogTail(dir_ + "/httpd.out");
    if (error_.find("in use") == std::string::npos) break;
  }
  return false;
}

void KerberosRealm::StopKdc() {
  if (kdc_) {
    kdc_->Stop();
    kdc_.reset();
  }
}

void KerberosRealm::Stop() {
  if (http_) {
    http_->Stop();
    http_.reset();
  }
  StopKdc();
}

}  // namespace testsupport
