// Squid demanding NTLM (its fake helper: any user and password pass, the exchange is real) or
// Digest (its file helper over a password file of its own), as a proxy and for CONNECT, with
// extra host names resolved to 127.0.0.1.
//   SquidAuthPeer p(SquidAuthPeer::kDigest); p.SetCredentials("u", "pw"); p.Start();
#pragma once

#include <string>
#include <vector>

#include "tests/peers/proxy_peers.h"

namespace testsupport {

class SquidAuthPeer : public SquidPeer {
 public:
  enum Scheme { kNtlm, kDigest };
  explicit SquidAuthPeer(Scheme scheme) : scheme_(scheme) {}
  static bool Installed();
  // Names that resolve to 127.0.0.1 inside the proxy. Before Start.
  void AddHost(const std::string& name) { hosts_.push_back(name); }

 protected:
  bool Prepare(std::string* program_name, std::vector<std::string>* argv) override;

 private:
  Scheme scheme_;
  std::vector<std::string> hosts_;
};

}  // namespace testsupport
