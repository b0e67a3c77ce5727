// The main job as a user runs it: scripts/demo with this build's sample host against the storage
// emulator it starts, checked from outside (exit status, the two copies of the file byte for
// byte, the host's lines, the emulator gone afterwards); and the sample host's own contract:
// registration when needed, the step syntax, values, errors and exit statuses.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "tests/peers/azurite_peer.h"
#include "tests/support/test_support.h"

namespace {

using testsupport::AzuritePeer;
using testsupport::Lines;
using testsupport::MakeTempDir;
using testsupport::ReadFile;
using testsupport::RemoveTempDir;
using testsupport::RunCommand;
using testsupport::ShellQuote;

constexpr size_t kDemoBytes = 64u << 20;

// A command bounded in time where coreutils' timeout is there, so a hang fails the test instead
// of stalling the run.
std::string Bounded(int seconds, const std::string& command) {
  if (!testsupport::HaveProgram("timeout")) return command;
  return "timeout " + std::to_string(seconds) + " " + command;
}

bool StartsWith(const std::string& s, const std::string& prefix) {
  return s.compare(0, prefix.size(), prefix) == 0;
}

// The values of "name = value" lines, the last one winning.
std::map<std::string, std::string> Values(const std::string& output) {
  std::map<std::string, std::string> out;
  for (const std::string& line : Lines(output)) {
    const size_t eq = line.find(" = ");
    if (eq != std::string::npos && !StartsWith(line, "event ")) out[line.substr(0, eq)] = line.substr(eq + 3);
  }
  return out;
}

// The value of `param` in an "event Name a=b ..." line (unquoted values only).
std::string EventArg(const std::string& line, const std::string& param) {
  const std::string key = " " + param + "=";
  const size_t at = line.find(key);
  if (at == std::string::npos) return "<absent>";
  const size_t start = at + key.size();
  return line.substr(start, line.find(' ', start) - start);
}

// The host's output without the line of a first registration.
std::string WithoutRegistration(const std::string& out) {
  std::string rest;
  for (const std::string& line : Lines(out)) {
    if (!line.empty() && !StartsWith(line, "registered ")) rest += line + "\n";
  }
  return rest;
}

bool PortAccepts(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return false;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  ::close(fd);
  return ok;
}

#ifdef TW_COBALIN_HOST

std::string HostDir() { return std::filesystem::path(TW_COBALIN_HOST).parent_path().string(); }

// Runs the host with a private registry; stdout and stderr apart.
struct HostRun {
  int status = -1;
  std::string out;
  std::string err;
};

class SampleHostTest : public ::testing::Test {
 protected:
  void SetUp() override { dir_ = MakeTempDir(); }
  void TearDown() override { RemoveTempDir(dir_); }

  HostRun Run(const std::vector<std::string>& args, const std::string& env = "") {
    std::string cmd = "TW_REGISTRY_FILE=" + ShellQuote(Registry()) + " " + env + " " +
                      Bounded(120, ShellQuote(TW_COBALIN_HOST));
    for (const std::string& a : args) cmd += " " + ShellQuote(a);
    cmd += " 2>" + ShellQuote(dir_ + "/stderr.txt");
    HostRun r;
    r.out = RunCommand(cmd, "", &r.status);
    r.err = ReadFile(dir_ + "/stderr.txt");
    return r;
  }

  std::string Registry() const { return dir_ + "/registry.txt"; }

  std::string dir_;
};

TEST_F(SampleHostTest, RegistersOnlyWhenTheClassIsMissingOrItsLibraryIsGone) {
  HostRun first = Run({"Config(APIVersion)"});
  ASSERT_EQ(first.status, 0) << first.out << first.err;
  const std::string server = std::filesystem::canonical(HostDir() + "/libtarnwick_cobalin.so");
  EXPECT_TRUE(StartsWith(first.out, "registered " + server + "\n")) << first.out;
  EXPECT_EQ(Values(first.out)["Config"], "2019-02-02");

  HostRun again = Run({"Config(APIVersion)"});
  ASSERT_EQ(again.status, 0) << again.err;
  EXPECT_EQ(again.out, "Config = 2019-02-02\n") << "already registered: no second registration";

  // A registration naming a library that is no longer there is mended with ours.
  std::string text = ReadFile(Registry());
  size_t at = 0;
  int replaced = 0;
  while ((at = text.find(server, at)) != std::string::npos) {
    const std::string gone = dir_ + "/gone/libtarnwick_cobalin.so";
    text.replace(at, server.size(), gone);
    at += gone.size();
    ++replaced;
  }
  ASSERT_GT(replaced, 0) << ReadFile(Registry());
  testsupport::WriteFile(Registry(), text);
  HostRun mended = Run({"Timeout?"});
  ASSERT_EQ(mended.status, 0) << mended.err;
  EXPECT_EQ(mended.out, "registered " + server + "\nTimeout = 60\n");
  EXPECT_EQ(ReadFile(Registry()).find("/gone/"), std::string::npos);
}

TEST_F(SampleHostTest, ExplicitServerThatCannotLoadFailsWithItsHresult) {
  HostRun r = Run({"--server", dir_ + "/missing.so", "Timeout?"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_TRUE(StartsWith(r.err, "error 0x8007")) << r.err;
  EXPECT_NE(r.err.find("could not be loaded"), std::string::npos) << r.err;
}

TEST_F(SampleHostTest, ArgumentsKeepQuotedBlanksEscapedCharactersAndEnvironmentValues) {
  HostRun r = Run({"AddQueryParam(\" a,b \", c\\)d\\, )", "AddQueryParam(@env:TW_HOST_SECRET,\"@env:X\")",
                   "QueryParamCount?", "QueryParamName(0)?",
                   "QueryParamValue(0)?", "QueryParamName(1)?", "QueryParamValue(1)?",
                   "Prefix= x y ", "Prefix?",
                   "Account=@env:TW_HOST_SECRET", "Account?"},
                  "TW_HOST_SECRET='k=v,(1)'");
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(WithoutRegistration(r.out),
            "QueryParamCount = 2\n"
            "QueryParamName(0) =  a,b \n"
            "QueryParamValue(0) = c)d,\n"
            "QueryParamName(1) = k=v,(1)\n"
            "QueryParamValue(1) = @env:X\n"
            "Prefix =  x y \n"
            "Account = k=v,(1)\n");
}

TEST_F(SampleHostTest, PrintsByteArraysBooleansAndNumbers) {
  HostRun r = Run({"BlobData=hello\x01", "BlobDataB?", "BlobData=", "BlobDataB?", "UseSSL=false",
                   "UseSSL?", "Overwrite=1", "Overwrite?", "Timeout=&H20", "Timeout?",
                   "StartByte=9223372036854775807", "StartByte?"});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  auto v = Values(r.out);
  EXPECT_EQ(v["BlobDataB"], "");
  EXPECT_NE(r.out.find("BlobDataB = <6 bytes> 68656c6c6f01\n"), std::string::npos) << r.out;
  EXPECT_EQ(v["UseSSL"], "False");
  EXPECT_EQ(v["Overwrite"], "True");
  EXPECT_EQ(v["Timeout"], "32");
  EXPECT_EQ(v["StartByte"], "9223372036854775807");

  // Longer arrays show their length and the first 32 bytes.
  HostRun big = Run({"BlobData=" + std::string(40, 'a'), "BlobDataB?"});
  ASSERT_EQ(big.status, 0) << big.err;
  std::string hex;
  for (int i = 0; i < 32; ++i) hex += "61";
  EXPECT_EQ(Values(big.out)["BlobDataB"], "<40 bytes> " + hex + "...");
}

TEST_F(SampleHostTest, FailureStopsTheRunWithTheHresultAndDescription) {
  struct Case {
    std::vector<std::string> steps;
    std::string error;  // the stderr line
    std::string done;   // what stdout holds (after the registration line)
  };
  const Case cases[] = {
      {{"MetadataName(3)?", "Timeout?"}, "error 0x800A017D Invalid array index. (at MetadataName(3))", ""},
      {{"Timeout?", "Config(NoSuchSetting=1)", "Timeout?"},
       "error 0x800A4E20 Unknown config setting. (at Config)", "Timeout = 60\n"},
      {{"Idle=true"}, "error 0x800A017F Property is read-only. (at Idle)", ""},
      {{"NoSuchMember?"}, "error 0x80020006 The control has no member named \"NoSuchMember\". (at NoSuchMember)", ""},
      {{"CreateBlob(x)"}, "error 0x8002000E Wrong number of arguments. (at CreateBlob)", ""},
      {{"Timeout=soon"}, "error 0x80020005 Type mismatch (argument 1). (at Timeout)", ""},
      // "( )" has no argument, "(,)" two empty ones, "(\"\")" one.
      {{"Reset( )", "Reset(,)"}, "error 0x8002000E Wrong number of arguments. (at Reset)", ""},
      {{"Reset(\"\")"}, "error 0x8002000E Wrong number of arguments. (at Reset)", ""},
  };
  for (const Case& c : cases) {
    HostRun r = Run(c.steps);
    EXPECT_EQ(r.status, 1) << c.error;
    EXPECT_EQ(r.err, c.error + "\n");
    EXPECT_EQ(WithoutRegistration(r.out), c.done) << c.error;
  }
}

TEST_F(SampleHostTest, MalformedCommandLinesExitWithStatusTwoBeforeCreatingAnything) {
  const std::vector<std::string> bad[] = {
      {"Timeout"}, {"Config(APIVersion"}, {"Config(\"x)"}, {"Config(x)y"}, {"9lives?"},
      {"Account=@env:TW_SURELY_UNSET_VARIABLE"}, {"--bogus", "Timeout?"}, {"--events", "a b"},
      {"Config(x\\"}, {},
  };
  for (const auto& args : bad) {
    HostRun r = Run(args);
    EXPECT_EQ(r.status, 2) << (args.empty() ? "(no step)" : args.front());
    EXPECT_EQ(r.out, "");
  }
  EXPECT_FALSE(std::filesystem::exists(Registry())) << "nothing was registered";
  HostRun help = Run({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("Name(i)=value"), std::string::npos);
}

TEST_F(SampleHostTest, EventNamesGivenToTheFilterMustExist) {
  HostRun r = Run({"--events", "Progress,NoSuchEvent", "Timeout?"});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err, "cobalin_host: the control has no event named \"NoSuchEvent\"\n");
}

// Against the emulator: a failing request reaches the host as the control's HRESULT with the
// service's text, and event lines show what happened before.
TEST_F(SampleHostTest, ServiceFailureAfterEvents) {
  if (!AzuritePeer::Installed()) {
    TW_REQUIRE_OR_SKIP("storage emulator not installed in tests/peers/node_modules");
  }
  AzuritePeer azurite;
  if (!azurite.Start()) {
    TW_REQUIRE_OR_SKIP(azurite.error());
  }
  const std::vector<std::string> connect = {
      "UseSSL=false", "Account=" + AzuritePeer::account(), "AccessKey=@env:TW_TEST_KEY",
      "Config(Endpoint=" + azurite.endpoint_suffix() + ")", "Container=host-errors"};
  std::vector<std::string> steps = {"--events", "StartTransfer,EndTransfer,Header"};
  steps.insert(steps.end(), connect.begin(), connect.end());
  steps.push_back("CreateContainer()");
  steps.push_back("CreateContainer()");
  HostRun r = Run(steps, "TW_TEST_KEY=" + ShellQuote(AzuritePeer::key()));
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_TRUE(StartsWith(r.err, "error 0x800A")) << r.err;
  EXPECT_NE(r.err.find("ContainerAlreadyExists"), std::string::npos) << r.err;
  EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << "one line: " << r.err;
  EXPECT_NE(r.err.find("(at CreateContainer)"), std::string::npos) << r.err;
  EXPECT_NE(r.out.find("event StartTransfer Direction=0\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("event Header Field="), std::string::npos) << r.out;

  // A wrong key: the service refuses it.
  steps[4] = "AccessKey=" + std::string(88, 'A');
  steps.back() = "ListContainers()";
  HostRun refused = Run(steps);
  EXPECT_EQ(refused.status, 1);
  EXPECT_TRUE(StartsWith(refused.err, "error 0x800A")) << refused.err;
  EXPECT_NE(refused.err.find("AuthorizationFailure"), std::string::npos) << refused.err;
}

TEST(MainJob, DemoRoundTripThroughTheEmulator) {
  if (!AzuritePeer::Installed()) {
    TW_REQUIRE_OR_SKIP("storage emulator not installed in tests/peers/node_modules");
  }
  for (const char* tool : {"bash", "sha256sum", "awk", "head"}) {
    if (!testsupport::HaveProgram(tool)) {
      TW_REQUIRE_OR_SKIP(std::string(tool) + " not installed");
    }
  }
  const std::string work = MakeTempDir();
  ASSERT_FALSE(work.empty());
  int status = -1;
  const std::string out = RunCommand(
      Bounded(900, "bash " + ShellQuote(std::string(TW_SOURCE_DIR) + "/scripts/demo") +
                       " --no-setup --build-dir " + ShellQuote(HostDir()) + " --work-dir " + ShellQuote(work)) +
          " 2>&1",
      "", &status);
  EXPECT_EQ(status, 0) << out;

  // The file came back byte for byte.
  const std::string sent = ReadFile(work + "/upload.bin");
  const std::string fetched = ReadFile(work + "/download.bin");
  EXPECT_EQ(sent.size(), kDemoBytes);
  EXPECT_TRUE(sent == fetched) << "the downloaded copy differs";

  const std::string digest = RunCommand("sha256sum " + ShellQuote(work + "/upload.bin") + " | cut -c1-64");
  ASSERT_EQ(digest.size(), 65u) << digest;
  EXPECT_NE(out.find("sha256 match " + digest), std::string::npos) << out;

  // The host's lines: events, the listing, the properties and metadata read back, the deletion.
  const std::string transfer = ReadFile(work + "/transfer.log");
  const std::string cleanup = ReadFile(work + "/cleanup.log");
  auto t = Values(transfer);
  EXPECT_EQ(t["BlobCount"], "1");
  EXPECT_EQ(t["BlobName(0)"], "sample-64mib.bin");
  EXPECT_EQ(t["BlobContentLength(0)"], std::to_string(kDemoBytes));
  auto c = Values(cleanup);
  EXPECT_EQ(c["BlobContentLength(0)"], std::to_string(kDemoBytes));
  EXPECT_EQ(c["MetadataCount"], "2");
  EXPECT_EQ(c["MetadataName(1)"], "sha256");
  EXPECT_EQ(c["MetadataValue(1)"] + "\n", digest);
  EXPECT_EQ(c["MetadataValue(0)"], "cobalin demo");
  EXPECT_EQ(c["BlobCount"], "0") << "deleted";

  // Progress lines only when the percentage changes, rising to 100 in both directions; the
  // listing's event carries the size as a 64-bit value.
  std::map<std::string, std::vector<int>> percents;
  bool listed = false;
  for (const std::string& line : Lines(transfer)) {
    if (StartsWith(line, "event Progress ")) {
      percents[EventArg(line, "Direction")].push_back(std::atoi(EventArg(line, "PercentDone").c_str()));
      EXPECT_EQ(EventArg(line, "TotalBytes"), std::to_string(kDemoBytes)) << line;
    }
    if (StartsWith(line, "event BlobList ")) {
      listed = true;
      EXPECT_EQ(EventArg(line, "Name"), "sample-64mib.bin");
      EXPECT_EQ(EventArg(line, "ContentLength"), std::to_string(kDemoBytes));
    }
  }
  EXPECT_TRUE(listed) << transfer;
  for (const char* direction : {"0", "1"}) {
    const std::vector<int>& p = percents[direction];
    ASSERT_FALSE(p.empty()) << "no Progress line for direction " << direction;
    EXPECT_EQ(p.back(), 100);
    for (size_t i = 1; i < p.size(); ++i) EXPECT_LT(p[i - 1], p[i]) << "direction " << direction;
  }
  EXPECT_NE(cleanup.find("event MetadataList "), std::string::npos) << cleanup;

  // The summary, and the emulator stopped.
  EXPECT_NE(out.find("Summary\n"), std::string::npos) << out;
  EXPECT_NE(out.find("  result     OK\n"), std::string::npos) << out;
  const size_t at = out.find("in memory on 127.0.0.1:");
  ASSERT_NE(at, std::string::npos) << out;
  const int port = std::atoi(out.c_str() + at + std::string("in memory on 127.0.0.1:").size());
  ASSERT_GT(port, 0);
  EXPECT_FALSE(PortAccepts(port)) << "the emulator still listens on " << port;

  std::error_code ec;
  std::filesystem::remove_all(work, ec);
}

// A failing host ends the demo with status 1, and the emulator is stopped all the same.
TEST(MainJob, DemoStopsTheEmulatorWhenTheHostFails) {
  if (!AzuritePeer::Installed()) {
    TW_REQUIRE_OR_SKIP("storage emulator not installed in tests/peers/node_modules");
  }
  const std::string dir = MakeTempDir();
  ASSERT_FALSE(dir.empty());
  testsupport::WriteFile(dir + "/cobalin_host",
                         "#!/bin/sh\necho 'error 0x800A4E20 refused on purpose' >&2\nexit 1\n");
  ASSERT_EQ(::chmod((dir + "/cobalin_host").c_str(), 0755), 0);
  int status = -1;
  const std::string out = RunCommand(
      Bounded(300, "bash " + ShellQuote(std::string(TW_SOURCE_DIR) + "/scripts/demo") +
                       " --no-setup --size-mib 1 --build-dir " + ShellQuote(dir) + " --work-dir " +
                       ShellQuote(dir + "/work")) +
          " 2>&1",
      "", &status);
  EXPECT_EQ(status, 1) << out;
  EXPECT_NE(out.find("refused on purpose"), std::string::npos) << out;
  EXPECT_EQ(out.find("Summary"), std::string::npos) << out;
  const size_t at = out.find("in memory on 127.0.0.1:");
  ASSERT_NE(at, std::string::npos) << out;
  const int port = std::atoi(out.c_str() + at + std::string("in memory on 127.0.0.1:").size());
  ASSERT_GT(port, 0);
  EXPECT_FALSE(PortAccepts(port)) << "the emulator still listens on " << port;
  EXPECT_NE(out.find("== emulator stopped"), std::string::npos) << out;
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
}

// The emulator script for trying the host by hand: its printed port and key work with the
// README's steps, and SIGTERM stops the emulator.
TEST(MainJob, EmulatorScriptServesTheHostsExamples) {
  if (!AzuritePeer::Installed()) {
    TW_REQUIRE_OR_SKIP("storage emulator not installed in tests/peers/node_modules");
  }
  const std::string dir = MakeTempDir();
  ASSERT_FALSE(dir.empty());
  const std::string command = "bash -c 'echo $$; exec bash " +
                              ShellQuote(std::string(TW_SOURCE_DIR) + "/scripts/emulator") +
                              " --no-setup' 2>" + ShellQuote(dir + "/stderr.txt");
  FILE* script = popen(command.c_str(), "r");
  ASSERT_NE(script, nullptr);
  std::map<std::string, std::string> said;  // first word -> the rest of the line
  char line[512];
  while (said.count("storage") == 0 && std::fgets(line, sizeof(line), script) != nullptr) {
    std::string text(line);
    while (!text.empty() && text.back() == '\n') text.pop_back();
    const size_t blank = text.find(' ');
    said[blank == std::string::npos ? "pid" : text.substr(0, blank)] =
        blank == std::string::npos ? text : text.substr(blank + 1);
  }
  const int pid = std::atoi(said["pid"].c_str());
  const int port = std::atoi(said["port"].c_str());
  EXPECT_EQ(said["endpoint"], "\"Config(Endpoint=.localhost:" + std::to_string(port) + ")\"");
  EXPECT_EQ(said["export"], "TW_DEMO_ACCESS_KEY='" + AzuritePeer::key() + "'");
  if (port > 0) {
    int status = -1;
    const std::string out = RunCommand(
        "TW_REGISTRY_FILE=" + ShellQuote(dir + "/registry.txt") + " TW_DEMO_ACCESS_KEY=" +
            ShellQuote(AzuritePeer::key()) + " " +
            Bounded(120, ShellQuote(TW_COBALIN_HOST) + " UseSSL=false Account=devstoreaccount1" +
                             " AccessKey=@env:TW_DEMO_ACCESS_KEY 'Config(Endpoint=.localhost:" +
                             std::to_string(port) + ")' Container=tried 'CreateContainer()'" +
                             " Prefix=tried 'ListContainers()' 'ContainerCount?'") +
            " 2>&1",
        "", &status);
    EXPECT_EQ(status, 0) << out;
    EXPECT_NE(out.find("ContainerCount = 1"), std::string::npos) << out;
  }
  if (pid > 0) ::kill(pid, SIGTERM);
  pclose(script);
  if (port > 0) {
    EXPECT_FALSE(PortAccepts(port)) << "the emulator still listens on " << port;
  }
  EXPECT_NE(ReadFile(dir + "/stderr.txt").find("emulator stopped"), std::string::npos);
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
}

#else

TEST(MainJob, DemoRoundTripThroughTheEmulator) {
  TW_REQUIRE_OR_SKIP("cobalin_host is not built (examples/CMakeLists.txt)");
}

#endif

}  // namespace
