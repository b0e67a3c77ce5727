// A server process started by a test: its own process group, output in a log file, killed with
// the whole group when the owner goes away. A small guardian process leads the group and kills
// it if the test binary dies without running destructors (start peers from the test's own
// thread: the guardian watches the thread that started it).
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace testsupport {

class PeerProcess {
 public:
  PeerProcess() = default;
  ~PeerProcess();
  PeerProcess(const PeerProcess&) = delete;
  PeerProcess& operator=(const PeerProcess&) = delete;

  // Starts argv[0] (looked up on PATH) in `cwd` (empty: unchanged) with stdout and stderr
  // appended to `log_path` and stdin from /dev/null. False when the fork or exec fails.
  bool Start(const std::vector<std::string>& argv, const std::string& log_path, const std::string& cwd = "");

  // Waits until 127.0.0.1:port accepts a connection, up to timeout_ms; false when the process
  // exits first or the time runs out.
  bool WaitForPort(int port, int timeout_ms);

  // True while the process has not exited.
  bool Running();

  // SIGTERM to the group, SIGKILL after grace_ms, then reaps the child. Safe to call twice.
  void Stop(int grace_ms = 2000);

  int pid() const { return pid_; }  // the group leader (the guardian)

 private:
  int pid_ = -1;
  bool exited_ = false;
};

enum class PeerStart { kUp, kNotStarted, kNotListening };

// Starts argv (as PeerProcess::Start) and waits up to timeout_ms for 127.0.0.1:port. kUp: the
// process is moved into `*kept`; otherwise it has been stopped.
PeerStart StartListening(const std::vector<std::string>& argv, const std::string& log_path, const std::string& cwd,
                         int port, int timeout_ms, std::unique_ptr<PeerProcess>* kept);

// True when 127.0.0.1:port accepts a TCP connection right now.
bool PortAnswers(int port);

// True while a process of the group, other than a zombie, is still there.
bool ProcessGroupAlive(int pgid);

// First of `names` found on PATH or as an absolute path that is executable; "" when none.
std::string FindProgram(const std::vector<std::string>& names);

// Writes a file, creating nothing else; false on failure.
bool WriteTextFile(const std::string& path, const std::string& text);

// The tail of a log file, for failure messages.
std::string LogTail(const std::string& path, size_t max_bytes = 2000);

}  // namespace testsupport
