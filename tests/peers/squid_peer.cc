#include "tests/peers/squid_peer.h"

#include <sys/stat.h>
#include <unistd.h>

#include "tests/peers/peer_process.h"
#include "tests/support/test_support.h"

namespace testsupport {
namespace {

constexpr char kNtlmHelper[] = "/usr/lib/squid/ntlm_fake_auth";
constexpr char kDigestHelper[] = "/usr/lib/squid/digest_file_auth";
constexpr char kOpenAccess[] = "http_access allow localnet\n";

}  // namespace

bool SquidAuthPeer::Installed() {
  return SquidPeer::Installed() && access(kNtlmHelper, X_OK) == 0 &&
         access(kDigestHelper, X_OK) == 0;
}

bool SquidAuthPeer::Prepare(std::string* program_name, std::vector<std::string>* argv) {
  // The base writes an open configuration; the scheme's lines go in front of its access rule.
  const std::string user = user_;
  user_.clear();
  const bool prepared = SquidPeer::Prepare(program_name, argv);
  user_ = user;
  if (!prepared) return false;
  const char* helper = scheme_ == kNtlm ? kNtlmHelper : kDigestHelper;
  if (access(helper, X_OK) != 0) {
    error_ = std::string("squid's helper is missing: ") + helper;
    return false;
  }
  std::string auth;
  if (scheme_ == kNtlm) {
    auth = std::string("auth_param ntlm program ") + helper + "\n" +
           "auth_param ntlm children 2 startup=1 idle=1\n";
  } else {
    const std::string passwd = dir_ + "/digest_passwd";
    if (!WriteTextFile(passwd, user_ + ":" + password_ + "\n")) {
      error_ = "cannot write the digest password file";
      return false;
    }
    chmod(passwd.c_str(), 0644);
    auth = std::string("auth_param digest program ") + helper + " " + passwd + "\n" +
           "auth_param digest children 2 startup=1 idle=1\n" +
           "auth_param digest realm tw-test-proxy\n";
  }
  auth += "acl authed proxy_auth REQUIRED\nhttp_access allow localnet authed\n";
  if (!hosts_.empty()) {
    std::string names = "127.0.0.1 localhost";
    for (const std::string& h : hosts_) names += " " + h;
    if (!WriteTextFile(dir_ + "/hosts", names + "\n")) {
      error_ = "cannot write the squid hosts file";
      return false;
    }
    auth += "hosts_file " + dir_ + "/hosts\n";
  }
  const std::string conf = dir_ + "/squid.conf";
  std::string text = ReadFile(conf);
  const size_t at = text.find(kOpenAccess);
  if (at == std::string::npos) {
    error_ = "unexpected squid configuration";
    return false;
  }
  text.replace(at, sizeof kOpenAccess - 1, auth);
  return WriteTextFile(conf, text);
}

}  // namespace testsupport
