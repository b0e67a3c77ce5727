#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <string>

namespace testsupport {

// Runs `run` in a forked child, so that its peak memory and its leftovers are its own, and hands
// back the plain record it returns; false when the child died or wrote nothing.
template <typename Record, typename Run>
bool RunInChild(Run run, Record* out) {
  int fds[2];
  if (pipe(fds) != 0) return false;
  const pid_t pid = fork();
  if (pid < 0) {
    close(fds[0]), close(fds[1]);
    return false;
  }
  if (pid == 0) {
    alarm(300);  // a child that hangs dies, and the case fails instead of the suite stalling
    const Record r = run();
    _exit(write(fds[1], &r, sizeof r) == sizeof r ? 0 : 1);
  }
  close(fds[1]);
  const bool got = read(fds[0], out, sizeof *out) == sizeof *out;
  close(fds[0]);
  int status = 1;
  waitpid(pid, &status, 0);
  return got && status == 0;
}

// A field of /proc/self/status in KiB ("VmRSS:", "VmHWM:"), or -1.
inline long StatusKib(const std::string& field) {
  std::ifstream in("/proc/self/status");
  for (std::string line; std::getline(in, line);) {
    if (line.rfind(field, 0) == 0) return std::stol(line.substr(field.size()));
  }
  return -1;
}

}  // namespace testsupport
