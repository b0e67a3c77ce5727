#include "tests/peers/azurite_peer.h"

#include "tests/peers/peer_process.h"
#include "tests/support/test_support.h"

#include <unistd.h>

#include <filesystem>

namespace testsupport {

namespace {

constexpr int kStartMillis = 30000;
constexpr const char* kAccount = "devstoreaccount1";
// The emulator's published development key: not a secret.
constexpr const char* kKey = "Eby8vdM02xNOcqFlqUwJPLlmEtlCDXJ1OUzFT50uSRZ6IFsuFq2UVErCz4I6tq/K1SZFPTOtr/KBHBeksoGMGw==";
constexpr const char* kEmulatorScript = "node_modules/azurite/dist/src/blob/main.js";
constexpr const char* kSdkPackage = "node_modules/@azure/storage-blob/package.json";

}  // namespace

AzuritePeer::AzuritePeer() = default;

AzuritePeer::~AzuritePeer() {
  Stop();
  RemoveTempDir(dir_);
}

std::string AzuritePeer::PeersDir() { return std::string(TW_SOURCE_DIR) + "/tests/peers"; }

bool AzuritePeer::Installed() {
  return !FindProgram({"node", "nodejs"}).empty() && access((PeersDir() + "/" + kEmulatorScript).c_str(), R_OK) == 0;
}

bool AzuritePeer::SdkInstalled() {
  return !FindProgram({"node", "nodejs"}).empty() && access((PeersDir() + "/" + kSdkPackage).c_str(), R_OK) == 0;
}

std::string AzuritePeer::account() { return kAccount; }

std::string AzuritePeer::key() { return kKey; }

std::string AzuritePeer::endpoint_suffix() const { return ".localhost:" + std::to_string(port_); }

void AzuritePeer::UseTls(const std::string& cert_path, const std::string& key_path, const std::string& ca_path) {
  cert_path_ = cert_path;
  key_path_ = key_path;
  ca_path_ = ca_path;
}

std::string AzuritePeer::blob_endpoint() const {
  return std::string(tls() ? "https" : "http") + "://127.0.0.1:" + std::to_string(port_) + "/" + kAccount;
}

std::string AzuritePeer::connection_string() const {
  return std::string("DefaultEndpointsProtocol=") + (tls() ? "https" : "http") + ";AccountName=" + kAccount + ";AccountKey=" + kKey +
         ";BlobEndpoint=" + blob_endpoint() + ";";
}

std::string AzuritePeer::log() const { return dir_.empty() ? "" : ReadFile(dir_ + "/azurite.log"); }

std::string AzuritePeer::sdk_stderr() const { return dir_.empty() ? "" : ReadFile(dir_ + "/sdk_stderr.log"); }

bool AzuritePeer::Start() {
  if (process_) return true;
  const std::string node = FindProgram({"node", "nodejs"});
  if (node.empty()) {
    error_ = "node not installed (scripts/setup.sh installs it)";
    return false;
  }
  if (!Installed()) {
    error_ = "storage emulator not installed in tests/peers/node_modules (run npm ci there)";
    return false;
  }
  if (dir_.empty()) {
    dir_ = MakeTempDir();
    if (dir_.empty()) {
      error_ = "cannot make a temp dir for the emulator";
      return false;
    }
  }
  for (int attempt = 0; attempt < 3; ++attempt) {
    port_ = FreePort();
    std::vector<std::string> argv = {node, PeersDir() + "/" + kEmulatorScript, "--blobHost", "127.0.0.1",
                                     "--blobPort", std::to_string(port_), "--inMemoryPersistence",
                                     "--disableTelemetry", "--silent", "--skipApiVersionCheck", "--loose"};
    if (tls()) argv.insert(argv.end(), {"--cert", cert_path_, "--key", key_path_});
    const PeerStart up = StartListening(argv, dir_ + "/azurite.log", dir_, port_, kStartMillis, &process_);
    if (up == PeerStart::kNotStarted) {
      error_ = "cannot start node";
      return false;
    }
    // A listener that took the port first answers as well, while the emulator itself gives up.
    if (up == PeerStart::kUp && process_->Running()) {
      error_.clear();
      return true;
    }
    Stop();
    error_ = "storage emulator did not accept connections on 127.0.0.1:" + std::to_string(port_) + " within " +
             std::to_string(kStartMillis / 1000) + " s: " + LogTail(dir_ + "/azurite.log");
    if (error_.find("EADDRINUSE") == std::string::npos) break;
  }
  return false;
}

int AzuritePeer::pid() const { return process_ ? process_->pid() : -1; }

void AzuritePeer::Stop() {
  if (process_) {
    process_->Stop();
    process_.reset();
  }
}

std::string AzuritePeer::RunSdkScript(const std::string& script_name, const std::vector<std::string>& args,
                                      int* status, const std::string& input) const {
  const std::string node = FindProgram({"node", "nodejs"});
  if (node.empty()) {
    if (status) *status = -1;
    return "";
  }
  std::string cmd = "cd " + ShellQuote(PeersDir()) + " && AZURE_STORAGE_CONNECTION_STRING=" +
                    ShellQuote(connection_string()) + " TW_BLOB_ENDPOINT=" + ShellQuote(blob_endpoint()) +
                    (ca_path_.empty() ? "" : " NODE_EXTRA_CA_CERTS=" + ShellQuote(ca_path_)) +
                    " TW_ACCOUNT=" + ShellQuote(kAccount) + " TW_ACCOUNT_KEY=" + ShellQuote(kKey) + " " +
                    ShellQuote(node) + " " + ShellQuote(script_name);
  for (const std::string& a : args) cmd += " " + ShellQuote(a);
  std::string err = dir_.empty() ? "/dev/null" : dir_ + "/sdk_stderr.log";
  cmd += " 2>" + ShellQuote(err);
  return RunCommand(cmd, input, status);
}

}  // namespace testsupport
