// A real nginx on 127.0.0.1 with a free port, for the HTTP client tests.
//
// Fixed locations of the generated server:
//   /               files under root(); PUT, DELETE, MKCOL, COPY, MOVE write into root()
//                   (create_full_put_path, no body size limit); gzip for text types, sent
//                   chunked; keep-alive.
//   /big-header     200 "ok\n" with response header "X-Big" of kBigHeaderBytes 'b' characters.
//   /slow/<file>    the file <file> of root(), sent at limit_rate (SetSlowRate, bytes/second).
//   redirects       `AddRedirect` paths, exact match, answered with the status and Location.
// Extra text can be put inside the server block (AddServerConfig) or the http block
// (AddHttpConfig) before Start. With EnableTls, the same server also listens with TLS (1.2 and
// 1.3) on tls_port(), sending the test PKI's "rsa" leaf with its intermediate.
//
//   NginxPeer nginx;
//   if (!nginx.Start()) { TW_REQUIRE_OR_SKIP(nginx.error()); }
//   nginx.WriteFile("a.txt", "hello");   // GET base_url() + "/a.txt"
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace testsupport {

class PeerProcess;

class NginxPeer {
 public:
  static constexpr size_t kBigHeaderBytes = 16384;

  NginxPeer();
  ~NginxPeer();  // stops the server and removes its temp dir
  NginxPeer(const NginxPeer&) = delete;
  NginxPeer& operator=(const NginxPeer&) = delete;

  // True when the nginx binary is present.
  static bool Installed();

  // Configuration, before Start. `status` is one of 301, 302, 303, 307, 308; `location` is
  // sent as it stands (relative or absolute).
  void AddRedirect(const std::string& path, int status, const std::string& location);
  void SetSlowRate(int bytes_per_second);  // default 4096
  void AddServerConfig(const std::string& text);
  void AddHttpConfig(const std::string& text);
  void EnableTls();

  // Writes the config and starts nginx; true once it answers. On false, error() says why
  // ("nginx not installed" when missing).
  bool Start();
  void Stop();
  const std::string& error() const { return error_; }
  int pid() const;  // the server process (its group id too), -1 when stopped

  int port() const { return port_; }
  const std::string& root() const { return root_; }   // document root (absolute path)
  std::string base_url() const;                        // "http://127.0.0.1:PORT"
  int tls_port() const { return tls_port_; }           // 0 without EnableTls
  std::string https_url() const;                       // "https://localhost:TLS_PORT"
  const std::string& dir() const { return dir_; }      // temp dir holding conf, logs, root
  std::string error_log() const;                       // contents of nginx's error log

  // Writes `content` to root()/relative_path, making parent folders; false on failure.
  bool WriteFile(const std::string& relative_path, const std::string& content) const;
  // Contents of root()/relative_path ("" when missing), e.g. after a PUT.
  std::string ReadRootFile(const std::string& relative_path) const;

 private:
  std::string BuildConfig() const;

  struct Redirect {
    std::string path;
    int status;
    std::string location;
  };
  std::vector<Redirect> redirects_;
  std::string server_extra_;
  std::string http_extra_;
  int slow_rate_ = 4096;
  bool tls_ = false;
  int port_ = 0;
  int tls_port_ = 0;
  std::string dir_;
  std::string root_;
  std::string error_;
  std::unique_ptr<PeerProcess> process_;
};

}  // namespace testsupport
