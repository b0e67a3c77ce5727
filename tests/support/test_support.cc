#include "tests/support/test_support.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace testsupport {

bool UnderCi() {
  const char* ci = std::getenv("CI");
  return ci != nullptr && std::strcmp(ci, "true") == 0;
}

std::string VectorsDir() {
  if (const char* env = std::getenv("TW_VECTORS_DIR")) return env;
  std::string dir = std::string(TW_SOURCE_DIR) + "/../shared/vectors";
  if (access(dir.c_str(), R_OK) == 0) return dir;
  return "";
}

bool HaveProgram(const std::string& name) {
  std::string cmd = "command -v '" + name + "' >/dev/null 2>&1";
  return std::system(cmd.c_str()) == 0;
}

std::string RunCommand(const std::string& command, const std::string& input, int* status) {
  char inpath[] = "/tmp/tw_cmd_in_XXXXXX";
  int fd = mkstemp(inpath);
  if (fd < 0) return "";
  if (!input.empty() && write(fd, input.data(), input.size()) != static_cast<ssize_t>(input.size())) {
    close(fd);
    unlink(inpath);
    return "";
  }
  close(fd);
  std::string full = "(" + command + ") < " + inpath;
  FILE* p = popen(full.c_str(), "r");
  std::string out;
  if (p) {
    char buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    int rc = pclose(p);
    if (status) *status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
  } else if (status) {
    *status = -1;
  }
  unlink(inpath);
  return out;
}

int FreePort() {
  int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = 0;
  bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t len = sizeof a;
  getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
  int port = ntohs(a.sin_port);
  close(s);
  return port;
}

std::string ReadFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

std::string MakeTempDir() {
  char tmpl[] = "/tmp/tw_test_XXXXXX";
  const char* d = mkdtemp(tmpl);
  return d ? d : "";
}

}  // namespace testsupport
