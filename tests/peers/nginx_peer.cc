#include "tests/peers/nginx_peer.h"

#include "tests/peers/peer_process.h"
#include "tests/peers/test_pki.h"
#include "tests/support/test_support.h"

#include <filesystem>
#include <sstream>

namespace testsupport {

namespace {

constexpr int kStartMillis = 10000;
// nginx reads a config token into a 4 KB buffer: the big header is built from a shorter piece.
constexpr size_t kBigHeaderPiece = 2048;
constexpr const char* kGzipTypes =
    "text/plain text/css text/xml application/xml application/json application/javascript";

std::string FindNginx() { return FindProgram({"nginx"}); }

}  // namespace

NginxPeer::NginxPeer() = default;

NginxPeer::~NginxPeer() {
  Stop();
  RemoveTempDir(dir_);
}

bool NginxPeer::Installed() { return !FindNginx().empty(); }

void NginxPeer::AddRedirect(const std::string& path, int status, const std::string& location) {
  redirects_.push_back({path, status, location});
}

void NginxPeer::SetSlowRate(int bytes_per_second) { slow_rate_ = bytes_per_second; }

void NginxPeer::AddServerConfig(const std::string& text) { server_extra_ += text + "\n"; }

void NginxPeer::AddHttpConfig(const std::string& text) { http_extra_ += text + "\n"; }

void NginxPeer::EnableTls() { tls_ = true; }

std::string NginxPeer::https_url() const { return "https://localhost:" + std::to_string(tls_port_); }

std::string NginxPeer::base_url() const { return "http://127.0.0.1:" + std::to_string(port_); }

std::string NginxPeer::error_log() const { return ReadFile(dir_ + "/error.log"); }

bool NginxPeer::WriteFile(const std::string& relative_path, const std::string& content) const {
  if (root_.empty()) return false;
  std::filesystem::path p = std::filesystem::path(root_) / relative_path;
  std::error_code ec;
  std::filesystem::create_directories(p.parent_path(), ec);
  return WriteTextFile(p.string(), content);
}

std::string NginxPeer::ReadRootFile(const std::string& relative_path) const {
  return ReadFile((std::filesystem::path(root_) / relative_path).string());
}

std::string NginxPeer::BuildConfig() const {
  const std::string piece(kBigHeaderPiece, 'b');
  std::string big = "$big_piece";
  std::ostringstream c;
  c << "daemon off;\n"
       "master_process off;\n"
       "worker_processes 1;\n"
       "pid " << dir_ << "/nginx.pid;\n"
       "error_log " << dir_ << "/error.log info;\n"
       "events { worker_connections 256; }\n"
       "http {\n"
       "  access_log " << dir_ << "/access.log;\n"
       "  client_body_temp_path " << dir_ << "/tmp/body;\n"
       "  proxy_temp_path " << dir_ << "/tmp/proxy;\n"
       "  fastcgi_temp_path " << dir_ << "/tmp/fastcgi;\n"
       "  uwsgi_temp_path " << dir_ << "/tmp/uwsgi;\n"
       "  scgi_temp_path " << dir_ << "/tmp/scgi;\n"
       "  types {\n"
       "    text/plain txt;\n"
       "    text/html html htm;\n"
       "    text/xml xml;\n"
       "    application/json json;\n"
       "    application/octet-stream bin;\n"
       "  }\n"
       "  default_type application/octet-stream;\n"
       "  sendfile off;\n"
       "  keepalive_timeout 30s;\n"
       "  keepalive_requests 1000;\n"
       "  server_tokens off;\n"
       "  gzip on;\n"
       "  gzip_min_length 16;\n"
       "  gzip_proxied any;\n"
       "  gzip_vary on;\n"
       "  gzip_http_version 1.0;\n"
       "  gzip_types " << kGzipTypes << ";\n"
    << http_extra_ <<
       "  server {\n"
       "    listen 127.0.0.1:" << port_ << ";\n";
  if (tls_) {
    const TestPki& pki = TestPki::Get();
    c << "    listen 127.0.0.1:" << tls_port_ << " ssl;\n"
         "    ssl_certificate " << pki.Chain("rsa") << ";\n"
         "    ssl_certificate_key " << pki.Key("rsa") << ";\n"
         "    ssl_protocols TLSv1.2 TLSv1.3;\n";
  }
  c << "    server_name localhost;\n"
       "    root " << root_ << ";\n"
       "    client_max_body_size 0;\n"
       "    large_client_header_buffers 8 64k;\n"
       "    location / {\n"
       "      dav_methods PUT DELETE MKCOL COPY MOVE;\n"
       "      create_full_put_path on;\n"
       "      dav_access user:rw group:rw all:r;\n"
       "    }\n"
       "    location = /big-header {\n"
       "      set $big_piece \"" << piece << "\";\n"
       "      set $big \"" << big;
  for (size_t i = 1; i < kBigHeaderBytes / kBigHeaderPiece; ++i) c << big;
  c << "\";\n"
       "      add_header X-Big $big always;\n"
       "      default_type text/plain;\n"
       "      return 200 \"ok\\n\";\n"
       "    }\n"
       "    location /slow/ {\n"
       "      alias " << root_ << "/;\n"
       "      gzip off;\n"
       "      limit_rate " << slow_rate_ << ";\n"
       "    }\n";
  for (const Redirect& r : redirects_) {
    c << "    location = " << r.path << " { return " << r.status << " \"" << r.location << "\"; }\n";
  }
  c << server_extra_ << "  }\n}\n";
  return c.str();
}

bool NginxPeer::Start() {
  if (process_) return true;
  const std::string program = FindNginx();
  if (program.empty()) {
    error_ = "nginx not installed";
    return false;
  }
  if (dir_.empty()) {
    dir_ = MakeTempDir();
    if (dir_.empty()) {
      error_ = "cannot make a temp dir for nginx";
      return false;
    }
    root_ = dir_ + "/root";
    std::error_code ec;
    std::filesystem::create_directories(root_, ec);
    std::filesystem::create_directories(dir_ + "/tmp", ec);
  }
  // A port taken between FreePort and bind makes nginx exit at once: try a few.
  for (int attempt = 0; attempt < 5; ++attempt) {
    port_ = FreePort();
    if (tls_) {
      if (!TestPki::Get().ok()) {
        error_ = TestPki::Get().error();
        return false;
      }
      do {
        tls_port_ = FreePort();
      } while (tls_port_ == port_);
    }
    const std::string conf = dir_ + "/nginx.conf";
    if (!WriteTextFile(conf, BuildConfig())) {
      error_ = "cannot write the nginx config";
      return false;
    }
    auto proc = std::make_unique<PeerProcess>();
    // -e sets the startup error log: the packaged default path may not be writable.
    if (!proc->Start({program, "-p", dir_, "-c", conf, "-e", dir_ + "/error.log"}, dir_ + "/stdout.log")) {
      error_ = "cannot start nginx";
      return false;
    }
    if (proc->WaitForPort(port_, kStartMillis) && (!tls_ || proc->WaitForPort(tls_port_, kStartMillis))) {
      process_ = std::move(proc);
      error_.clear();
      return true;
    }
    proc->Stop();
    error_ = "nginx did not start: " + LogTail(dir_ + "/error.log") + LogTail(dir_ + "/stdout.log");
    if (error_.find("Address already in use") == std::string::npos) break;
  }
  return false;
}

int NginxPeer::pid() const { return process_ ? process_->pid() : -1; }

void NginxPeer::Stop() {
  if (process_) {
    process_->Stop();
    process_.reset();
  }
}

}  // namespace testsupport
