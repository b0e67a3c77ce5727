// tls_script_peer.py under Debian's python3, serving the test PKI's "localhost" chain on a free
// port: ca names the client's trusted root or is "-"; read "read" or "-"; ending "notify" or
// "bare". True once it answers.
#pragma once

#include <string>
#include <vector>

#include "tests/peers/peer_process.h"
#include "tests/peers/test_pki.h"
#include "tests/support/test_support.h"

namespace testsupport {

inline bool StartTlsScriptPeer(PeerProcess* peer, int* port, const std::string& ca, const char* read, const char* ending,
                               const std::vector<std::string>& pieces) {
  const TestPki& pki = TestPki::Get();
  std::vector<std::string> argv{"/usr/bin/python3", std::string(TW_SOURCE_DIR) + "/tests/peers/tls_script_peer.py",
                                std::to_string(*port = FreePort()), pki.Chain("rsa"), pki.Key("rsa"), ca, read, ending};
  argv.insert(argv.end(), pieces.begin(), pieces.end());
  return peer->Start(argv, MakeTempDir() + "/log") && peer->WaitForPort(*port, 10000);
}

}  // namespace testsupport
