// `openssl s_server` on 127.0.0.1 with a free port, serving a certificate of the test PKI, for
// the TLS client tests and benches.
//
//   OpenSslServerPeer::Options o;
//   o.cert = "ecdsa";                 // a name of TestPki; its chain (with the intermediate) is sent
//   o.version = "-tls1_2";            // or -tls1, -tls1_1 (at SECLEVEL=0), -tls1_3; "" any
//   o.mode = OpenSslServerPeer::Mode::kFiles;
//   OpenSslServerPeer server(o);
//   server.WriteFile("big.bin", bytes);  // GET /big.bin HTTP/1.0 answers with it
//   if (!server.Start()) { TW_REQUIRE_OR_SKIP(server.error()); }
//   ... connect to 127.0.0.1:server.port() ...
//   server.output();   // what s_server printed; server.key_log() with o.key_log
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace testsupport {

class PeerProcess;

class OpenSslServerPeer {
 public:
  enum class Mode {
    kStatus,  // -www: any request gets a page on the session (protocol, suite, "Reused" or "New")
    kFiles,   // -WWW: "GET /<file> HTTP/1.0" gets the file from files_dir()
    kReverse, // -rev: every line read comes back reversed
  };
  struct Options {
    std::string cert = "rsa";
    std::string version;        // "-tls1", "-tls1_1", "-tls1_2", "-tls1_3" or "" (any)
    std::string cipher;         // -cipher (TLS 1.2 and lower)
    std::string ciphersuites;   // -ciphersuites (TLS 1.3)
    std::string groups;         // -groups: a list without the client's first key share forces HRR
    int verify_depth = 0;       // > 0: -Verify n, client certificates checked against the test root
    bool key_log = false;       // -keylogfile into the peer's temp dir
    Mode mode = Mode::kStatus;
    std::vector<std::string> extra;  // more options, as they stand

    // The test certificate served under one version, cipher list, suite list and group list.
    static Options Limited(const char* version, const char* cipher, const char* suites, const char* groups) {
      Options o;
      o.version = version;
      o.cipher = cipher;
      o.ciphersuites = suites;
      o.groups = groups;
      return o;
    }
  };

  explicit OpenSslServerPeer(Options options);
  ~OpenSslServerPeer();  // stops the server and removes its temp dir
  OpenSslServerPeer(const OpenSslServerPeer&) = delete;
  OpenSslServerPeer& operator=(const OpenSslServerPeer&) = delete;

  // True when the openssl program is present.
  static bool Installed();

  // Starts the server; true once it listens. On false, error() says why.
  bool Start();
  void Stop();
  const std::string& error() const { return error_; }
  int pid() const;
  int port() const { return port_; }

  // The folder kFiles serves (made by the constructor), and a file written into it.
  const std::string& files_dir() const { return files_dir_; }
  bool WriteFile(const std::string& name, const std::string& bytes) const;

  std::string output() const;   // s_server's stdout and stderr so far
  std::string key_log() const;  // the NSS key log ("" without Options::key_log)
  // The leaf certificate served (PEM file of the test PKI).
  std::string cert_path() const;

 private:
  std::vector<std::string> CommandLine(const std::string& program) const;

  Options options_;
  int port_ = 0;
  std::string dir_;
  std::string files_dir_;
  std::string error_;
  std::unique_ptr<PeerProcess> process_;
};

}  // namespace testsupport
