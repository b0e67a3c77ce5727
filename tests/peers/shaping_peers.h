// Peers of the platform TLS path tests: openssl s_server driven through a FIFO on its
// standard input, and a relay that reshapes the server's bytes on their way to the client.
#pragma once

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "tests/peers/peer_process.h"

namespace nettest {

// openssl s_server whose standard input is a FIFO the test writes lines and commands to.
class CommandServer {
 public:
  bool Start(const std::vector<std::string>& options);
  ~CommandServer();
  void Write(const std::string& line);
  int port() const { return port_; }
  std::string log() const;

 private:
  testsupport::PeerProcess process_;
  std::string dir_;
  int port_ = 0;
  int fd_ = -1;
};

// How the relay hands the server's bytes to the client.
enum class Shape {
  kPass,          // as they come
  kSplit,         // in pieces of 3 bytes, each its own arrival
  kWithFinished,  // after ChangeCipherSpec, held until an application record follows
  kSlowReader,    // the client's bytes taken slowly, so the client's sends would block
};

// A relay on 127.0.0.1 for one connection: the client's bytes go on unchanged, the server's as
// the shape says.
class Relay {
 public:
  Relay(int server_port, Shape shape);
  ~Relay();
  int port() const { return port_; }
  int writes() const { return writes_; }  // pieces written to the client

 private:
  void Run(int server_port);
  void Send(int fd, const char* p, size_t n);

  Shape shape_;
  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> writes_{0};
  std::thread thread_;
};

}  // namespace nettest
