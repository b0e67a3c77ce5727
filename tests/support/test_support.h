// Helpers shared by the test binaries: peers, oracles and shared vectors.
#pragma once

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

// The folder of third-party vectors (../shared/vectors beside the checkout), or "" when absent.
std::string VectorsDir();

// True when the named program is on PATH.
bool HaveProgram(const std::string& name);

// Runs a shell command, feeding `input` on stdin; returns its stdout. `status` gets the exit code.
std::string RunCommand(const std::string& command, const std::string& input = "", int* status = nullptr);

// A free TCP port on 127.0.0.1.
int FreePort();

// Reads a whole file; "" when it cannot be read.
std::string ReadFile(const std::string& path);

// A fresh temporary directory, removed by the caller.
std::string MakeTempDir();

}  // namespace testsupport
