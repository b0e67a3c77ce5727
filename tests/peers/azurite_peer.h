// The storage emulator from tests/peers/node_modules (blob service only, in memory) on
// 127.0.0.1 with a free port, plus a runner for node scripts that use the reference SDK.
//
//   AzuritePeer azurite;
//   if (!azurite.Start()) { TW_REQUIRE_OR_SKIP(azurite.error()); }
//   // product-style host: account() + ".blob" + endpoint_suffix() -> loopback
//   // path-style:        blob_endpoint() == "http://127.0.0.1:PORT/devstoreaccount1"
//   std::string out = azurite.RunSdkScript("make_container.js", {"c1"});
//
// With UseTls(cert, key, ca) before Start the emulator speaks HTTPS only (its --cert/--key);
// blob_endpoint() and the connection string say https, and the SDK scripts trust `ca`.
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace testsupport {

class PeerProcess;

class AzuritePeer {
 public:
  AzuritePeer();
  ~AzuritePeer();  // stops the emulator and removes its temp dir
  AzuritePeer(const AzuritePeer&) = delete;
  AzuritePeer& operator=(const AzuritePeer&) = delete;

  // tests/peers (absolute), where node_modules and the SDK scripts live.
  static std::string PeersDir();
  // True when node and the emulator package are present.
  static bool Installed();
  // True when the reference SDK package is present as well.
  static bool SdkInstalled();

  // HTTPS with this PEM certificate (chain) and key; the SDK trusts the PEM roots in ca_path.
  void UseTls(const std::string& cert_path, const std::string& key_path, const std::string& ca_path);
  bool tls() const { return !cert_path_.empty(); }

  // Starts the emulator; true once it answers. On false, error() says why.
  bool Start();
  void Stop();
  const std::string& error() const { return error_; }
  int pid() const;  // the emulator process (its group id too), -1 when stopped

  int port() const { return port_; }
  static std::string account();          // "devstoreaccount1"
  static std::string key();              // the published development account key (base64)
  std::string endpoint_suffix() const;   // ".localhost:PORT"
  std::string blob_endpoint() const;     // "http[s]://127.0.0.1:PORT/devstoreaccount1"
  std::string connection_string() const; // path-style, for the SDK
  std::string log() const;               // the emulator's own output

  // Runs `node PeersDir()/script_name args...` with `input` on stdin (script_name "-e" runs
  // the code given as the first arg) with AZURE_STORAGE_CONNECTION_STRING,
  // TW_BLOB_ENDPOINT, TW_ACCOUNT and TW_ACCOUNT_KEY set for this emulator; returns its stdout.
  // `status` gets the exit code (-1 when node could not run); stderr goes to the emulator's
  // temp dir (sdk_stderr()).
  std::string RunSdkScript(const std::string& script_name, const std::vector<std::string>& args = {},
                           int* status = nullptr, const std::string& input = "") const;
  std::string sdk_stderr() const;  // stderr of the last RunSdkScript

 private:
  int port_ = 0;
  std::string cert_path_;
  std::string key_path_;
  std::string ca_path_;
  std::string dir_;
  std::string error_;
  std::unique_ptr<PeerProcess> process_;
};

}  // namespace testsupport
