// tcpdump started by a test on one interface (optionally inside a network namespace), and the
// frames of the capture file it wrote.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "tests/peers/peer_process.h"
#include "tests/support/test_support.h"

namespace nettest {

class PacketCapture {
 public:
  // Starts the capture and waits until tcpdump listens; false when it does not.
  bool Start(const std::string& netns, const std::string& interface, const std::string& filter) {
    dir_ = testsupport::MakeTempDir();
    file_ = dir_ + "/capture.pcap";
    log_ = dir_ + "/tcpdump.log";
    std::vector<std::string> argv;
    if (!netns.empty()) argv = {"ip", "netns", "exec", netns};
    for (const char* a : {"tcpdump", "-i"}) argv.push_back(a);
    argv.push_back(interface);
    for (const char* a : {"-n", "-U", "--immediate-mode", "-s", "2048", "-w"}) argv.push_back(a);
    argv.push_back(file_);
    argv.push_back(filter);
    if (!process_.Start(argv, log_)) return false;
    for (int i = 0; i < 100; ++i) {
      if (testsupport::ReadFile(log_).find("listening on") != std::string::npos) return true;
      if (!process_.Running()) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
  }

  // Stops tcpdump (it flushes on SIGTERM) and returns the captured frames.
  std::vector<std::string> Frames() {
    // Let the last frame reach the file before the capture ends.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    process_.Stop();
    std::vector<std::string> frames;
    const std::string data = testsupport::ReadFile(file_);
    size_t at = 24;  // file header
    while (at + 16 <= data.size()) {
      uint32_t caplen;
      std::memcpy(&caplen, data.data() + at + 8, 4);
      at += 16;
      if (at + caplen > data.size()) break;
      frames.push_back(data.substr(at, caplen));
      at += caplen;
    }
    return frames;
  }

  // tcpdump's own reading of the file with checksum verification.
  std::string Verbose() const {
    return testsupport::RunCommand("tcpdump -r " + testsupport::ShellQuote(file_) +
                                   " -nn -vv 2>&1");
  }

  const std::string& dir() const { return dir_; }
  std::string log_tail() const { return testsupport::LogTail(log_); }

 private:
  testsupport::PeerProcess process_;
  std::string dir_;
  std::string file_;
  std::string log_;
};

}  // namespace nettest
