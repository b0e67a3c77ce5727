#include "tests/peers/peer_process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <dirent.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

namespace testsupport {

namespace {

constexpr int kPollMillis = 20;

}  // namespace

bool ProcessGroupAlive(int pgid) {
  DIR* d = opendir("/proc");
  if (d == nullptr) return false;
  bool alive = false;
  while (dirent* e = readdir(d)) {
    if (e->d_name[0] < '0' || e->d_name[0] > '9') continue;
    std::ifstream f(std::string("/proc/") + e->d_name + "/stat");
    std::string stat;
    std::getline(f, stat);
    // Fields after the parenthesised command: state ppid pgrp ...
    size_t close_paren = stat.rfind(')');
    if (close_paren == std::string::npos) continue;
    std::istringstream rest(stat.substr(close_paren + 1));
    std::string state;
    int ppid = 0, pgrp = 0;
    rest >> state >> ppid >> pgrp;
    if (pgrp == pgid && state != "Z") {
      alive = true;
      break;
    }
  }
  closedir(d);
  return alive;
}

bool PortAnswers(int port) {
  int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (s < 0) return false;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<uint16_t>(port));
  bool ok = connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  // With nobody listening, the kernel may give the socket that very port as its own and connect
  // it to itself.
  sockaddr_in own{};
  socklen_t len = sizeof own;
  if (ok && getsockname(s, reinterpret_cast<sockaddr*>(&own), &len) == 0 && own.sin_port == a.sin_port) ok = false;
  close(s);
  return ok;
}

std::string FindProgram(const std::vector<std::string>& names) {
  for (const std::string& name : names) {
    if (name.empty()) continue;
    if (name[0] == '/') {
      if (access(name.c_str(), X_OK) == 0) return name;
      continue;
    }
    const char* path = std::getenv("PATH");
    std::string dirs = path ? path : "/usr/local/bin:/usr/bin:/bin";
    // Daemons live in sbin, which a non-login PATH may lack.
    dirs += ":/usr/local/sbin:/usr/sbin:/sbin";
    std::stringstream ss(dirs);
    for (std::string dir; std::getline(ss, dir, ':');) {
      if (dir.empty()) continue;
      std::string full = dir + "/" + name;
      struct stat st;
      if (stat(full.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(full.c_str(), X_OK) == 0) return full;
    }
  }
  return "";
}

bool WriteTextFile(const std::string& path, const std::string& text) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  if (!f) return false;
  f << text;
  return static_cast<bool>(f);
}

std::string LogTail(const std::string& path, size_t max_bytes) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  std::string s = ss.str();
  if (s.size() > max_bytes) s = s.substr(s.size() - max_bytes);
  return s;
}

PeerProcess::~PeerProcess() { Stop(); }

namespace {

// Runs in the guardian when the test process dies: takes the whole group down, guardian included.
void KillOwnGroup(int) { kill(0, SIGKILL); }

}  // namespace

bool PeerProcess::Start(const std::vector<std::string>& argv, const std::string& log_path, const std::string& cwd) {
  if (argv.empty() || pid_ > 0) return false;
  // Everything the children need is prepared before fork: the child of a threaded parent may
  // only make async-signal-safe calls.
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  const pid_t parent = getpid();
  pid_t pid = fork();
  if (pid < 0) return false;
  if (pid == 0) {
    // The guardian: leader of the server's process group. The parent-death signal would not
    // do on the server itself, as daemons that drop root privileges lose it; the guardian
    // keeps it and kills the group if the test binary dies without running destructors.
    setpgid(0, 0);
    struct sigaction sa {};
    sa.sa_handler = KillOwnGroup;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGUSR2, &sa, nullptr);
    signal(SIGTERM, SIG_IGN);  // Stop's SIGTERM is for the server; the guardian follows it out
    signal(SIGINT, SIG_IGN);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    prctl(PR_SET_PDEATHSIG, SIGUSR2);
    if (getppid() != parent) _exit(127);
    int in = open("/dev/null", O_RDONLY);
    int out = open(log_path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (in < 0 || out < 0) _exit(127);
    dup2(in, 0);
    dup2(out, 1);
    dup2(out, 2);
    if (in > 2) close(in);
    if (out > 2) close(out);
    if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(127);
    pid_t server = fork();
    if (server < 0) _exit(127);
    if (server == 0) {
      signal(SIGTERM, SIG_DFL);
      signal(SIGINT, SIG_DFL);
      signal(SIGUSR2, SIG_DFL);
      execvp(args[0], args.data());
      _exit(127);
    }
    int st = 0;
    while (waitpid(server, &st, 0) < 0 && errno == EINTR) {
    }
    _exit(WIFEXITED(st) ? WEXITSTATUS(st) : 128 + (WIFSIGNALED(st) ? WTERMSIG(st) : 0));
  }
  // Set the group from both sides so a kill right after Start cannot miss it.
  setpgid(pid, pid);
  pid_ = pid;
  exited_ = false;
  return true;
}

bool PeerProcess::Running() {
  if (pid_ <= 0 || exited_) return false;
  int st = 0;
  pid_t r = waitpid(pid_, &st, WNOHANG);
  if (r == pid_) exited_ = true;
  return !exited_;
}

bool PeerProcess::WaitForPort(int port, int timeout_ms) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (std::chrono::steady_clock::now() < deadline) {
    if (!Running()) return false;
    if (PortAnswers(port)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(kPollMillis));
  }
  return false;
}

void PeerProcess::Stop(int grace_ms) {
  if (pid_ <= 0) return;
  // The group outlives its leader when helpers were forked: signal it whatever the leader did.
  kill(-pid_, SIGTERM);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(grace_ms);
  while (!exited_ && std::chrono::steady_clock::now() < deadline) {
    int st = 0;
    pid_t r = waitpid(pid_, &st, WNOHANG);
    if (r == pid_ || (r < 0 && errno == ECHILD)) {
      exited_ = true;
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  kill(-pid_, SIGKILL);
  if (!exited_) {
    int st = 0;
    while (waitpid(pid_, &st, 0) < 0 && errno == EINTR) {
    }
    exited_ = true;
  }
  // Members that are not our children (daemon workers) die on their own schedule: wait for them,
  // so a stopped peer has really gone.
  auto gone_by = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (ProcessGroupAlive(pid_) && std::chrono::steady_clock::now() < gone_by) {
    kill(-pid_, SIGKILL);
    std::this_thread::sleep_for(std::chrono::milliseconds(kPollMillis));
  }
  pid_ = -1;
}

PeerStart StartListening(const std::vector<std::string>& argv, const std::string& log_path, const std::string& cwd,
                         int port, int timeout_ms, std::unique_ptr<PeerProcess>* kept) {
  auto proc = std::make_unique<PeerProcess>();
  if (!proc->Start(argv, log_path, cwd)) return PeerStart::kNotStarted;
  if (!proc->WaitForPort(port, timeout_ms)) {
    proc->Stop();
    return PeerStart::kNotListening;
  }
  *kept = std::move(proc);
  return PeerStart::kUp;
}

}  // namespace testsupport
