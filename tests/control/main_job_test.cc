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
#include <set>
#include <string>
#include <vector>

#include "control/cobalin.h"
#include "platform/cert_store_files.h"
#include "platform/dispatch_table.h"
#include "tests/peers/azurite_peer.h"
#include "tests/peers/proxy_peers.h"
#include "tests/peers/test_pki.h"
#include "tests/support/test_support.h"

namespace {

using testsupport::AzuritePeer;
using testsupport::Lines;
using testsupport::MakeTempDir;
using testsupport::ReadFile;
using testsupport::RemoveTempDir;
using testsupport::RunCommand;
using testsupport::ShellQuote;
using testsupport::TinyproxyPeer;

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
  HostRun bare = Run({"--values", "Timeout?", "Config(APIVersion)", "Config(CodePage=65001)"});
  EXPECT_EQ(bare.out, "60\n2019-02-02\n") << bare.err;

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
      {{"MetadataName(3)?", "Timeout?"}, "error 0x800A017D Invalid array index. (MetadataCount = 0) (at MetadataName(3))", ""},
      {{"Timeout?", "Config(NoSuchSetting=1)", "Timeout?"},
       "error 0x800A4E20 Unknown config setting. (setting NoSuchSetting) (at Config)", "Timeout = 60\n"},
      {{"Container=c", "Config(CodePage=12345)"},
       "error 0x800A4EEB Invalid CodePage value: 12345. (at Config)", ""},
      {{"SSLAcceptServerCertEncoded=junk", "ListBlobs()"},
       "error 0x800A4F39 The certificate could not be decoded (at SSLAcceptServerCertEncoded)", ""},
      {{"Container=c", "ListBlobs()"}, "error 0x800A507C Account must be set. (at ListBlobs)", ""},
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
      {"Config(x\\"}, {}, {"--list", "Timeout?"},
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

// --list shows what the type library holds: every method and property, with the names and types
// of their arguments, then the library's settings and value words.
TEST_F(SampleHostTest, ListShowsTheMembersOfTheTypeInformation) {
  size_t methods = 0;
  const size_t events = tw::kCobalinEventsInterface.members.size();
  std::set<win::DISPID> properties;  // a get and a put each
  for (const win::DispMember& m : tw::kCobalinInterface.members) {
    if (m.kind == win::DispKind::kMethod) ++methods;
    else properties.insert(m.dispid);
  }
  HostRun r = Run({"--list"});
  ASSERT_EQ(r.status, 0) << r.err;
  std::vector<std::string> lines = Lines(WithoutRegistration(r.out));
  lines.erase(std::find_if(lines.begin(), lines.end(),
                           [](const std::string& l) { return StartsWith(l, "Config settings ("); }),
              lines.end());
  EXPECT_EQ(lines.size(), 3 + methods + properties.size() + events);
  EXPECT_EQ(lines.front(), "methods (" + std::to_string(methods) + ")");
  EXPECT_NE(r.out.find("\nproperties (" + std::to_string(properties.size()) + ")\n"), std::string::npos);
  for (const std::string& known : std::vector<std::string>{"  CreateBlob(Blob: string, BlobType: int16, PageBlobSize: variant)",
                            "  Config(ConfigurationString: string): string", "  CreateContainer()",
                            "  BlobName(index: int32): string, indexed", "  Timeout: int16",
                            "  BlobContentLength(index: int32): variant, indexed, read-only",
                            "  Idle: bool, read-only", "events (" + std::to_string(events) + ")",
                            "  FragmentComplete(FragmentNumber: int32, FragmentCount: int32, Interrupt: bool)"}) {
    EXPECT_NE(std::find(lines.begin(), lines.end(), known), lines.end()) << known;
  }
  // Then the library's own tables: Config settings of every layer, and what numbered values mean.
  const size_t settings = r.out.find("\nConfig settings (");
  for (const char* known : {" Endpoint,", " KeepAlive,", " TcpNoDelay,", " SSLEnabledProtocols,", " CodePage,",
                            "\n  DeleteAction (DeleteBlob): 0 (none), 1 only, 2 include\n"}) {
    EXPECT_NE(r.out.find(known, settings), std::string::npos) << known << r.out;
  }
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

// scripts/emulator as a user starts it, in `dir`: its first lines by their first word ("pid" for
// the shell's own). *script gives its output; SIGTERM to the pid stops it.
std::map<std::string, std::string> StartEmulatorScript(const std::string& dir, const std::string& args,
                                                       FILE** script) {
  const std::string command = "cd " + ShellQuote(dir) + " && exec bash -c 'echo $$; exec bash \"$0\" --no-setup \"$@\"' " +
                              ShellQuote(std::string(TW_SOURCE_DIR) + "/scripts/emulator") + " " + args +
                              " 2>>stderr.txt";
  *script = popen(command.c_str(), "r");
  std::map<std::string, std::string> said;  // first word -> the rest of the line
  char line[512];
  while (*script && said.count("storage") == 0 && std::fgets(line, sizeof(line), *script) != nullptr) {
    std::string text(line);
    while (!text.empty() && text.back() == '\n') text.pop_back();
    const size_t blank = text.find(' ');
    said[blank == std::string::npos ? "pid" : text.substr(0, blank)] =
        blank == std::string::npos ? text : text.substr(blank + 1);
  }
  return said;
}

// The README's examples (its "sh" blocks) as written, in a folder where build/release is this
// build: those without PORT first (one makes the certificate), then the others against the
// emulators started as the README says, over HTTPS for UseSSL=true. SIGTERM stops them.
TEST(MainJob, EmulatorScriptServesTheHostsExamples) {
  if (!AzuritePeer::Installed()) {
    TW_REQUIRE_OR_SKIP("storage emulator not installed in tests/peers/node_modules");
  }
  const std::string dir = MakeTempDir();
  ASSERT_FALSE(dir.empty());
  testsupport::WriteFile(dir + "/holiday.jpg", testsupport::RandomBytes(300000, 7));
  std::filesystem::create_directories(dir + "/build");
  std::filesystem::create_directory_symlink(HostDir(), dir + "/build/release");
  const std::string readme = ReadFile(std::string(TW_SOURCE_DIR) + "/README.md");
  std::vector<std::string> blocks;
  for (size_t at = readme.find("```sh\n"); at != std::string::npos; at = readme.find("```sh\n", at + 1)) {
    blocks.push_back(readme.substr(at + 6, readme.find("\n```", at) + 1 - at - 6));
  }
  ASSERT_GE(blocks.size(), 5u);
  std::string printed;
  auto run = [&](std::string block, int port) {
    for (size_t at; (at = block.find("PORT")) != std::string::npos;) block.replace(at, 4, std::to_string(port));
    int status = -1;
    printed += RunCommand("cd " + ShellQuote(dir) + " && TW_REGISTRY_FILE=registry.txt TW_DEMO_ACCESS_KEY=" +
                              ShellQuote(AzuritePeer::key()) + " " + Bounded(120, "bash -euo pipefail") + " 2>&1",
                          block, &status);
    EXPECT_EQ(status, 0) << block << printed;
  };
  for (const std::string& b : blocks) {
    if (b.find("PORT") == std::string::npos) run(b, 0);
  }
  FILE* scripts[2] = {};
  auto said = StartEmulatorScript(dir, "", &scripts[0]);
  auto tls = StartEmulatorScript(dir, "--cert server.pem --key server.key", &scripts[1]);
  const int ports[2] = {std::atoi(said["port"].c_str()), std::atoi(tls["port"].c_str())};
  EXPECT_EQ(said["endpoint"], "\"Config(Endpoint=.localhost:" + std::to_string(ports[0]) + ")\"");
  EXPECT_EQ(said["export"], "TW_DEMO_ACCESS_KEY='" + AzuritePeer::key() + "'");
  // Each example works a second time, but for the one said to run once.
  for (int pass = 0; pass < 2; ++pass) {
    for (const std::string& b : blocks) {
      if (b.find("PORT") == std::string::npos || (pass == 1 && b.starts_with("# once"))) continue;
      run(b, ports[b.find("UseSSL=true") != std::string::npos]);
    }
  }
  for (int i = 0; i < 2; ++i) {
    const int pid = std::atoi((i == 0 ? said : tls)["pid"].c_str());
    if (pid > 0) ::kill(pid, SIGTERM);
    if (scripts[i] != nullptr) pclose(scripts[i]);
  }
  for (const char* expected : {"\n  CreateBlob(Blob: string, BlobType: int16, PageBlobSize: variant)\n",
                               "\nBlobCount = 1\nBlobName(0) = holiday.jpg\n", "\nContainerName(0) = secure\n",
                               "ContainerName(0) = photos\n", "\nMetadataValue(0) = Aeroskobing\ncopy.jpg is holiday.jpg\n",
                               "\nMetadataValue(0) = \u00c6r\u00f8sk\u00f8bing\n"}) {
    EXPECT_NE(printed.find(expected), std::string::npos) << expected << printed;
  }
  EXPECT_NE(printed.rfind("BlobCount = 1\n"), printed.find("BlobCount = 1\n")) << "the SAS run lists too";
  for (int port : ports) EXPECT_FALSE(PortAccepts(port)) << "the emulator still listens on " << port;
  EXPECT_NE(ReadFile(dir + "/stderr.txt").find("emulator stopped"), std::string::npos);
  RemoveTempDir(dir);
}

// The host with the emulator's account and key and `steps`, under a terminal of its own when
// asked; its standard output and error together.
std::string RunHostAt(const std::string& dir, const std::string& steps, bool terminal = false) {
  const std::string host = ShellQuote(TW_COBALIN_HOST) + " Account=devstoreaccount1 AccessKey=" +
                           AzuritePeer::key() + " " + steps;
  return RunCommand("cd " + ShellQuote(dir) + " && exec 2>&1 </dev/null && TW_REGISTRY_FILE=registry.txt " +
                    Bounded(120, terminal ? "script -qec " + ShellQuote(host) + " /dev/null" : host));
}

// A request that fails on its way names where it went, and an answer of the service its URL; a
// handshake with a plain-http port says so when the engine saw bytes that are no TLS, a refused
// certificate why. A proxy or firewall that fails is named instead, a local file says what is
// wrong with it, and a failed encrypted download names the file it keeps.
TEST(MainJob, HostNamesWhereAFailedRequestWent) {
  AzuritePeer azurite, wrong_name;
  TinyproxyPeer proxy;
  proxy.SetCredentials("user", "secret");
  const testsupport::TestPki& pki = testsupport::TestPki::Get();
  if (pki.ok()) wrong_name.UseTls(pki.Chain("wronghost"), pki.Key("wronghost"), pki.Cert("root"));
  if (!AzuritePeer::Installed() || !pki.ok() || !azurite.Start() || !wrong_name.Start() || !proxy.Start()) {
    TW_REQUIRE_OR_SKIP("storage emulator, test PKI or tinyproxy: " + azurite.error() + pki.error() + proxy.error());
  }
  setenv(win::kCertStoresVariable, pki.store_dir().c_str(), 1);
  // Connections to it complete in the backlog and get no answer.
  const int silent_fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
  socklen_t len = sizeof a;
  ASSERT_EQ(::bind(silent_fd, reinterpret_cast<sockaddr*>(&a), len) | ::listen(silent_fd, 8), 0);
  ::getsockname(silent_fd, reinterpret_cast<sockaddr*>(&a), &len);
  const std::string silent = std::to_string(ntohs(a.sin_port));
  const std::string closed = std::to_string(testsupport::ClosedPort());
  const std::string at = "devstoreaccount1.blob.localhost:";
  const std::string emulator = "'Config(Endpoint=" + azurite.endpoint_suffix() + ")'";
  const std::string port = std::to_string(azurite.port());
  const std::string tls = std::to_string(wrong_name.port()), via = std::to_string(proxy.port());
  const std::string upload = " LocalFile=up.bin 'CreateBlob(b,0,0)' LocalFile=down.bin";
  struct Case {
    std::string steps, place, call = "ListBlobs()";
  };
  const Case cases[] = {
      {"UseSSL=false 'Config(Endpoint=.localhost:" + closed + ")'", "talking to http://" + at + closed},
      {"UseSSL=false 'Config(LogLevel=0)' 'Config(Endpoint=.localhost:" + closed + ")'", "talking to http://" + at + closed},
      {"UseSSL=false 'Config(Endpoint=.nosuchhost.invalid)'", "talking to http://devstoreaccount1.blob.nosuchhost.invalid:80"},
      {"UseSSL=false Timeout=1 'Config(Endpoint=.localhost:" + silent + ")'", "talking to http://" + at + silent},
      {"UseSSL=true " + emulator, "talking to https://" + at + port},
      {"UseSSL=true 'Config(UseInternalSecurityAPI=true)' " + emulator,
       "talking to https://" + at + port + ", whose answer is not TLS: is UseSSL right for this port?"},
      {"UseSSL=false " + emulator, "from http://" + at + port + "/c"},
      {"UseSSL=false 'Config(LogLevel=0)' " + emulator, "from http://" + at + port},
      {"UseSSL=true 'Config(Endpoint=.localhost:" + tls + ")'",
       "talking to https://" + at + tls + ", whose certificate \"C=US, O=Tarnwick Tests, CN=wrong.example\" was refused: "
       "[0x800b010f] The certificate's CN name does not match the passed value."},
      {"UseSSL=false ProxyServer=127.0.0.1 ProxyPort=" + via + " " + emulator, "from proxy 127.0.0.1:" + via},
      {"UseSSL=true ProxyServer=127.0.0.1 ProxyPort=" + via + " " + emulator, "talking to proxy 127.0.0.1:" + via},
      {"UseSSL=false FirewallType=1 FirewallHost=127.0.0.1 FirewallPort=" + via + " " + emulator,
       "talking to firewall 127.0.0.1:" + via},
      {"LocalFile=missing.bin", "missing.bin: No such file or directory", "CreateBlob(b,0,0)"},
      {"LocalFile=.", ".: Is a directory", "CreateBlob(b,0,0)"},
      {"UseSSL=false " + emulator + " Container=readonly 'CreateContainer()'" + upload + " Overwrite=true LocalFile=readonly.bin",
       "readonly.bin: Permission denied", "GetBlob(b)"},
      {"UseSSL=false " + emulator + " Container=enc 'CreateContainer()'" + upload + " EncryptionPassword=pw 'Config(DownloadTempFile=part.tmp)'",
       "download kept in DownloadTempFile part.tmp, 4096 bytes", "GetBlob(b)"},
  };
  const std::string dir = MakeTempDir();
  testsupport::WriteFile(dir + "/up.bin", testsupport::RandomBytes(4096, 9));
  testsupport::WriteFile(dir + "/readonly.bin", "");
  ::chmod((dir + "/readonly.bin").c_str(), 0444);
  for (const Case& c : cases) {
    const std::string err = RunHostAt(dir, "Container=c " + c.steps + " '" + c.call + "' >/dev/null");
    const std::string at_call = " (at " + c.call.substr(0, c.call.find('(')) + ")\n";
    EXPECT_TRUE(err.ends_with(" (" + c.place + ")" + at_call)) << c.steps << ": " << err;
  }
  ::close(silent_fd);
  RemoveTempDir(dir);
}

// SIGTERM during an upload ends it through the control's Interrupt, and no further step runs.
TEST(MainJob, HostInterruptsTheRunningMethodOnSigterm) {
  AzuritePeer azurite;
  if (!AzuritePeer::Installed() || !azurite.Start()) TW_REQUIRE_OR_SKIP("storage emulator: " + azurite.error());
  const std::string dir = MakeTempDir();
  testsupport::WriteFile(dir + "/up.bin", testsupport::RandomBytes(64u << 20, 5));
  const std::string script = "TW_REGISTRY_FILE=registry.txt " + ShellQuote(TW_COBALIN_HOST) + " Account=devstoreaccount1 AccessKey=" +
                             AzuritePeer::key() + " --no-bar --events Progress UseSSL=false 'Config(Endpoint=" + azurite.endpoint_suffix() +
                             ")' Container=sig 'CreateContainer()' LocalFile=up.bin 'CreateBlob(up,0,0)' Timeout? >out.txt 2>err.txt & p=$!;"
                             " until grep -q 'event Progress' out.txt || ! kill -0 $p; do sleep 0.05; done; kill -TERM $p; wait $p;"
                             " echo status $?; cat err.txt";
  const std::string out = RunCommand("cd " + ShellQuote(dir) + " && " + Bounded(120, "sh -c " + ShellQuote(script)));
  EXPECT_EQ(out, "status 143\nerror 0x800A4F4E Interrupted. (talking to http://devstoreaccount1.blob.localhost:" +
                     std::to_string(azurite.port()) + ") (at CreateBlob)\n");
  RemoveTempDir(dir);
}

// By default the host prints what the steps ask for and, on a terminal, the progress bar;
// --events picks event lines and --no-bar leaves the bar out.
TEST(MainJob, HostPrintsEventsAndTheBarAsAsked) {
  AzuritePeer azurite;
  if (!AzuritePeer::Installed() || !testsupport::HaveProgram("script") || !azurite.Start()) {
    TW_REQUIRE_OR_SKIP("storage emulator or script (util-linux) not there: " + azurite.error());
  }
  const std::string dir = MakeTempDir();
  testsupport::WriteFile(dir + "/up.bin", testsupport::RandomBytes(4u << 20, 3));
  struct Case {
    const char* options;
    bool bar, progress_lines, other_events;
  };
  const Case cases[] = {{"", true, false, false},
                     {"--events none", true, false, false},
                     {"--no-bar", false, false, false},
                     {"--no-bar --events Progress", false, true, false},
                     {"--events all", true, false, true}};
  for (const Case& c : cases) {
    const std::string out = RunHostAt(dir, std::string(c.options) + " UseSSL=false 'Config(Endpoint=" +
                                               azurite.endpoint_suffix() + ")' Container=bar 'CreateContainer()'" +
                                               " LocalFile=up.bin 'CreateBlob(up,0,0)' 'DeleteContainer()' Timeout?",
                                      true);
    EXPECT_NE(out.find("Timeout = 60"), std::string::npos) << c.options << ": " << out;
    EXPECT_EQ(out.find("upload   [") != std::string::npos, c.bar) << c.options;
    EXPECT_EQ(out.find("event Progress ") != std::string::npos, c.progress_lines) << c.options;
    EXPECT_EQ(out.find("event StartTransfer ") != std::string::npos, c.other_events) << c.options;
  }
  RemoveTempDir(dir);
}

#else

TEST(MainJob, DemoRoundTripThroughTheEmulator) {
  TW_REQUIRE_OR_SKIP("cobalin_host is not built (examples/CMakeLists.txt)");
}

#endif

}  // namespace
