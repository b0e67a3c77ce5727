// apache2 on 127.0.0.1 demanding HTTP Digest (mod_auth_digest, MD5 with qop auth) for every
// path; "/index.html" answers "ok\n". Its configuration, password file and logs live in a temp
// folder removed with the object.
//   ApacheDigestPeer p; p.SetCredentials("u", "pw"); if (!p.Start()) { ... } GET p.url()
#pragma once

#include <memory>
#include <string>

namespace testsupport {

class PeerProcess;

class ApacheDigestPeer {
 public:
  static constexpr const char* kRealm = "tw-digest";
  ApacheDigestPeer();
  ~ApacheDigestPeer();
  ApacheDigestPeer(const ApacheDigestPeer&) = delete;
  ApacheDigestPeer& operator=(const ApacheDigestPeer&) = delete;

  static bool Installed();
  void SetCredentials(const std::string& user, const std::string& password);
  bool Start();
  void Stop();
  const std::string& error() const { return error_; }
  int port() const { return port_; }
  std::string url() const;  // "http://127.0.0.1:PORT/index.html"
  std::string log() const;

 private:
  std::unique_ptr<PeerProcess> process_;
  std::string user_;
  std::string password_;
  std::string dir_;
  std::string error_;
  int port_ = 0;
};

}  // namespace testsupport
