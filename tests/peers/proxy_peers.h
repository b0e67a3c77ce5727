// Real proxies on 127.0.0.1 with free ports, for the proxy and firewall tests. Each one:
//   Peer p; p.SetCredentials("user", "pass");   // optional, before Start
//   if (!p.Start()) { TW_REQUIRE_OR_SKIP(p.error()); }
//   ... connect through 127.0.0.1:p.port() ...
// The destructor stops the daemon (whole process group) and removes its temp dir.
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace testsupport {

class PeerProcess;

// Shared lifecycle: temp dir, process, port.
class ProxyPeerBase {
 public:
  virtual ~ProxyPeerBase();
  ProxyPeerBase(const ProxyPeerBase&) = delete;
  ProxyPeerBase& operator=(const ProxyPeerBase&) = delete;

  // Credentials the proxy demands; empty user means no authentication. Before Start.
  void SetCredentials(const std::string& user, const std::string& password);

  // Starts the daemon; true once it answers. On false, error() says why ("... not installed"
  // when the program is missing).
  bool Start();
  void Stop();
  const std::string& error() const { return error_; }
  int pid() const;  // the daemon process (its group id too), -1 when stopped
  int port() const { return port_; }
  const std::string& dir() const { return dir_; }
  std::string log() const;  // the daemon's output and log file

 protected:
  ProxyPeerBase();
  // Writes its config into dir_ and fills the command line; false (with error_) on failure.
  virtual bool Prepare(std::string* program_name, std::vector<std::string>* argv) = 0;
  virtual std::string LogFile() const { return dir_ + "/daemon.log"; }

  std::string user_;
  std::string password_;
  std::string dir_;
  std::string error_;
  int port_ = 0;
  int stop_grace_ms_ = 2000;  // how long Stop waits after SIGTERM before SIGKILL
  std::unique_ptr<PeerProcess> process_;
};

// HTTP proxy (tinyproxy): plain requests and CONNECT to any port of 127.0.0.0/8 or localhost
// (other hosts get 403); Basic auth with credentials.
class TinyproxyPeer : public ProxyPeerBase {
 public:
  static bool Installed();
  std::string url() const;  // "http://127.0.0.1:PORT"

 protected:
  bool Prepare(std::string* program_name, std::vector<std::string>* argv) override;
};

// SOCKS 4 and 5 (dante; it does not serve 4A: a 4A client test needs a ScriptedPeer).
// Destinations are limited to 127.0.0.0/8. Without credentials, no authentication. With
// credentials, SOCKS 5 username/password checked against the account files, which (as root) the
// daemon sees with the account added, in a mount namespace of its own; where namespaces are
// not allowed, a system account of its own is made and removed with the peer. SOCKS 4 then is
// refused by the server.
class DantePeer : public ProxyPeerBase {
 public:
  ~DantePeer() override;
  static bool Installed();
  // True when Start can give dante its account (running as root).
  static bool CanAuthenticate(const std::string& user);

 protected:
  bool Prepare(std::string* program_name, std::vector<std::string>* argv) override;

 private:
  bool PrepareAccount(std::vector<std::string>* argv);
  bool made_account_ = false;
};

// SOCKS 5 only (microsocks), optional username/password. Its outgoing connections are bound
// to 127.0.0.1, so they can only reach loopback.
class MicrosocksPeer : public ProxyPeerBase {
 public:
  static bool Installed();

 protected:
  bool Prepare(std::string* program_name, std::vector<std::string>* argv) override;
};

// HTTP proxy (squid): plain requests and CONNECT to any port of 127.0.0.0/8 (other
// destinations are refused); Basic auth through its file helper when credentials are set.
class SquidPeer : public ProxyPeerBase {
 public:
  static bool Installed();
  std::string url() const;

 protected:
  bool Prepare(std::string* program_name, std::vector<std::string>* argv) override;
};

}  // namespace testsupport
