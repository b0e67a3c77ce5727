// apache2 on 127.0.0.1 demanding authentication for every path; "/index.html" answers "ok\n".
// Its configuration, user files and logs live in a temp folder removed with the object.
//   ApacheDigestPeer p; p.SetCredentials("u", "pw"); if (!p.Start()) { ... } GET p.url()
//   ApacheNtlmPeer n(false); n.AddUser("DOM", "u", "pw"); n.Start(); GET n.url() with NTLM
#pragma once

#include <initializer_list>
#include <memory>
#include <string>
#include <utility>

namespace testsupport {

class PeerProcess;

class ApachePeer {
 public:
  ApachePeer(const ApachePeer&) = delete;
  ApachePeer& operator=(const ApachePeer&) = delete;
  virtual ~ApachePeer();

  void Stop();
  const std::string& error() const { return error_; }
  int port() const { return port_; }
  std::string url() const;  // "http://127.0.0.1:PORT/index.html"
  std::string log() const;

 protected:
  ApachePeer();
  // Writes `files` (name, text) into the folder and starts apache2 with the modules and the
  // configuration that follows the common part; `env` ("NAME=value ...", "%DIR%" standing for
  // the folder) goes before it.
  bool StartWith(const std::string& modules, const std::string& config,
                 const std::initializer_list<std::pair<std::string, std::string>>& files,
                 const std::string& env);
  const std::string& dir() const { return dir_; }
  std::string error_;

 private:
  std::unique_ptr<PeerProcess> process_;
  std::string dir_;
  int port_ = 0;
};

// HTTP Digest by mod_auth_digest, MD5 with qop auth.
class ApacheDigestPeer : public ApachePeer {
 public:
  static constexpr const char* kRealm = "tw-digest";
  static bool Installed();
  void SetCredentials(const std::string& user, const std::string& password);
  bool Start();

 private:
  std::string user_;
  std::string password_;
};

// Negotiate (SPNEGO wrapping NTLM) and NTLM by mod_auth_gssapi with gss-ntlmssp as the acceptor,
// its users in a user file: as the web server, or as a forward proxy (Proxy-Authenticate) that
// fetches through itself.
class ApacheNtlmPeer : public ApachePeer {
 public:
  explicit ApacheNtlmPeer(bool proxy) : proxy_(proxy) {}
  static bool Installed();
  void AddUser(const std::string& domain, const std::string& user, const std::string& password);
  bool Start();

 private:
  bool proxy_;
  std::string users_;
};

}  // namespace testsupport
