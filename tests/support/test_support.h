// Helpers shared by the test binaries: peers, oracles and shared vectors.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace testsupport {

// True when running under CI=true: a missing peer or vector folder is a failure there.
bool UnderCi();

// Skips the current test with the reason, or fails it under CI. Use as:
//   if (!ready) { TW_REQUIRE_OR_SKIP("xmllint not installed"); }
#define TW_REQUIRE_OR_SKIP(why)                          \
  do {                                                   \
    if (::testsupport::UnderCi()) {                      \
      FAIL() << "required under CI=true: " << (why);     \
    } else {                                             \
      GTEST_SKIP() << (why);                             \
    }                                                    \
  } while (0)

// The folder of third-party vectors vendored with the sources (third_party/).
std::string VectorsDir();

// True when the named program is on PATH.
bool HaveProgram(const std::string& name);

// The interpreter every Python oracle runs with: the system's, whose packages the set-up installs,
// whatever python3 comes first on PATH.
inline constexpr char kPython[] = "/usr/bin/python3";
// True when kPython can be run.
bool HavePython();

// Runs a shell command, feeding `input` on stdin; returns its stdout. `status` gets the exit code.
std::string RunCommand(const std::string& command, const std::string& input = "", int* status = nullptr);
// `s` as one word of a POSIX shell command line (single-quoted).
std::string ShellQuote(const std::string& s);

// A free TCP port on 127.0.0.1.
int FreePort();

// A port on 127.0.0.1 where connections are refused for the rest of the process: a socket stays
// bound to it without listening, so no test running in parallel can start a server there.
int ClosedPort();

// Reads a whole file; "" when it cannot be read.
std::string ReadFile(const std::string& path);

// The folder temp files go in: TMPDIR when it is an absolute path, else /tmp.
std::string TempRoot();
// A fresh temporary directory in TempRoot(), removed by the caller.
std::string MakeTempDir();
// Removes a directory with all it holds; nothing for "".
void RemoveTempDir(const std::string& dir);
// A random password of letters and digits, for a peer that must demand one.
std::string RandomPassword();

// Lower-case hex of n bytes, and back (pairs of hex digits; a trailing odd digit is ignored).
std::string Hex(const void* p, size_t n);
std::string Unhex(const std::string& hex);

// n pseudo-random bytes, the same for the same seed (mt19937, low byte of each draw).
std::string RandomBytes(size_t n, unsigned seed);

// Writes bytes as the whole file, with the C library; a file that cannot be written fails the
// running test.
void WriteFile(const std::string& path, const std::string& bytes);

// The lines of a text, empty ones included, without their newlines.
std::vector<std::string> Lines(const std::string& text);

// Runs one kPython script over many inputs (one line each) and puts its output lines in `out`.
// False when kPython is missing; a script that fails is a test failure, not a skip.
bool RunPython(const std::string& script, const std::string& input, std::vector<std::string>* out);

#define TW_PYTHON_OR_SKIP(script, input, out)               \
  do {                                                      \
    if (!::testsupport::RunPython(script, input, out)) {    \
      TW_REQUIRE_OR_SKIP("/usr/bin/python3 not installed"); \
    }                                                       \
  } while (0)

// Switches the process time zone (TZ) for one scope and puts the old one back.
class ScopedTz {
 public:
  explicit ScopedTz(const char* zone);
  ~ScopedTz();
  ScopedTz(const ScopedTz&) = delete;
  ScopedTz& operator=(const ScopedTz&) = delete;

 private:
  bool had_old_ = false;
  std::string old_;
};

}  // namespace testsupport
