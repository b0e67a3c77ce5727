// HTTP/2 servers on 127.0.0.1 with free ports, for the HTTP/2 client tests and benches.
//
//   NghttpdPeer: the HTTP/2 server serving files from root(), with TLS and ALPN (the test PKI's
//   "rsa" leaf) or without TLS (frame-level tests). Extra arguments (window bits, header table
//   size, --echo-upload) go to Start.
//   NghttpxPeer: the HTTP/2 proxy with TLS and ALPN in front of an HTTP/1.1 backend port.
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace testsupport {

class PeerProcess;

class NghttpdPeer {
 public:
  NghttpdPeer();
  ~NghttpdPeer();
  static bool Installed();
  bool Start(bool tls, const std::vector<std::string>& extra = {});
  void Stop();
  const std::string& error() const { return error_; }
  int port() const { return port_; }
  const std::string& root() const { return root_; }
  // "https://localhost:PORT" or "http://127.0.0.1:PORT".
  std::string base_url() const;
  bool WriteFile(const std::string& name, const std::string& content) const;
  std::string log() const;

 private:
  bool tls_ = true;
  int port_ = 0;
  std::string dir_;
  std::string root_;
  std::string error_;
  std::unique_ptr<PeerProcess> process_;
};

class NghttpxPeer {
 public:
  NghttpxPeer();
  ~NghttpxPeer();
  static bool Installed();
  // The proxy serves the test PKI leaf `cert` ("rsa", or "storage" for the emulator's names).
  bool Start(int backend_port, const std::string& cert = "rsa");
  void Stop();
  const std::string& error() const { return error_; }
  int port() const { return port_; }
  std::string base_url() const { return "https://localhost:" + std::to_string(port_); }
  std::string log() const;

 private:
  int port_ = 0;
  std::string dir_;
  std::string error_;
  std::unique_ptr<PeerProcess> process_;
};

}  // namespace testsupport
