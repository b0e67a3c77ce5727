#include "tests/support/test_support.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

namespace testsupport {

bool UnderCi() {
  const char* ci = std::getenv("CI");
  return ci != nullptr && std::strcmp(ci, "true") == 0;
}

std::string VectorsDir() {
  if (const char* env = std::getenv("TW_VECTORS_DIR")) return env;
  return std::string(TW_SOURCE_DIR) + "/third_party";
}

bool HaveProgram(const std::string& name) {
  std::string cmd = "command -v '" + name + "' >/dev/null 2>&1";
  return std::system(cmd.c_str()) == 0;
}

bool HavePython() { return access(kPython, X_OK) == 0; }

std::string ShellQuote(const std::string& s) {
  std::string out = "'";
  for (char c : s) {
    if (c == '\'') {
      out += "'\\''";
    } else {
      out += c;
    }
  }
  return out + "'";
}

std::string TempRoot() {
  const char* dir = std::getenv("TMPDIR");
  std::string root = dir != nullptr && dir[0] == '/' ? dir : "/tmp";
  while (root.size() > 1 && root.back() == '/') root.pop_back();
  return root;
}

std::string RunCommand(const std::string& command, const std::string& input, int* status) {
  std::string pattern = TempRoot() + "/tw_cmd_in_XXXXXX";
  char* inpath = pattern.data();
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

int ClosedPort() {
  int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (s < 0) return 0;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = 0;
  socklen_t len = sizeof a;
  if (bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
      getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
    close(s);
    return 0;
  }
  return ntohs(a.sin_port);  // the socket is kept open on purpose
}

std::string ReadFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

std::string MakeTempDir() {
  std::string tmpl = TempRoot() + "/tw_test_XXXXXX";
  const char* d = mkdtemp(tmpl.data());
  return d ? d : "";
}

void RemoveTempDir(const std::string& dir) {
  if (dir.empty()) return;
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
}

std::string RandomPassword() {
  static const char kAlphabet[] = "abcdefghijkmnpqrstuvwxyzABCDEFGHJKLMNPQRSTUVWXYZ23456789";
  std::random_device device;
  std::string out = "Pw";
  for (int i = 0; i < 20; ++i) out += kAlphabet[device() % (sizeof(kAlphabet) - 1)];
  return out;
}

std::string Hex(const void* p, size_t n) {
  static const char kDigits[] = "0123456789abcdef";
  std::string s;
  const auto* b = static_cast<const unsigned char*>(p);
  for (size_t i = 0; i < n; ++i) {
    s.push_back(kDigits[b[i] >> 4]);
    s.push_back(kDigits[b[i] & 15]);
  }
  return s;
}

std::string RandomBytes(size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(rng());
  return s;
}

void WriteFile(const std::string& path, const std::string& bytes) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) {
    ADD_FAILURE() << "cannot create " << path;
    return;
  }
  const bool written = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  if (std::fclose(f) != 0 || !written) ADD_FAILURE() << "cannot write " << path;
}

std::string Unhex(const std::string& hex) {
  std::string s;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    s.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  }
  return s;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

bool RunPython(const std::string& script, const std::string& input, std::vector<std::string>* out) {
  if (!HavePython()) return false;
  const std::string dir = MakeTempDir();
  const std::string path = dir + "/oracle.py";
  {
    std::ofstream f(path);
    f << script;
  }
  int status = -1;
  const std::string text = RunCommand(std::string(kPython) + " " + path, input, &status);
  std::filesystem::remove_all(dir);
  if (status != 0) ADD_FAILURE() << "python oracle failed (status " << status << ")";
  *out = Lines(text);
  return true;
}

ScopedTz::ScopedTz(const char* zone) {
  const char* old = std::getenv("TZ");
  had_old_ = old != nullptr;
  if (had_old_) old_ = old;
  setenv("TZ", zone, 1);
  tzset();
}

ScopedTz::~ScopedTz() {
  if (had_old_) {
    setenv("TZ", old_.c_str(), 1);
  } else {
    unsetenv("TZ");
  }
  tzset();
}

}  // namespace testsupport
