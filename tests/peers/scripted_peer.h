// A loopback TCP server that plays a script on each accepted connection and records what the
// client sent, for tests of broken or unusual servers (early close, reset, slow or odd replies).
//
//   ScriptedPeer peer({ScriptedPeer::WaitHead(),
//                      ScriptedPeer::Send("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok"),
//                      ScriptedPeer::Close()});
//   ASSERT_TRUE(peer.Start());
//   ... connect to 127.0.0.1:peer.port() ...
//   peer.WaitForConnections(1, 5000);
//   EXPECT_NE(peer.request(0).find("GET /"), std::string::npos);
//
// Every byte read from a connection is recorded, including bytes read while draining after the
// script ends: a script that does not close leaves the connection open, read until the client
// closes it or the peer stops. Only POSIX sockets here, nothing from platform/.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testsupport {

class ScriptedPeer {
 public:
  enum class Kind {
    kSend,          // write `bytes`
    kSendFn,        // write make(bytes received so far)
    kSleep,         // sleep `count` ms
    kClose,         // FIN (shutdown write), then drain until the client closes
    kReset,         // RST: SO_LINGER 0 and close
    kWaitBytes,     // read until `count` bytes in total were received on this connection
    kWaitHead,      // read until "\r\n\r\n" appears after the previous wait point
    kWaitRequest,   // head, then a body of Content-Length bytes (chunked: until "0\r\n\r\n")
    kWaitFor,       // read until `bytes` appears after the previous wait point
    kRepeat,        // write `bytes` `count` times (0: until the client stops taking them)
  };
  struct Action {
    Kind kind;
    std::string bytes;
    size_t count = 0;
    std::function<std::string(const std::string&)> make;
  };
  using Script = std::vector<Action>;

  static Action Send(std::string bytes);
  static Action SendFn(std::function<std::string(const std::string& received)> make);
  static Action Sleep(int ms);
  static Action Close();
  static Action Reset();
  static Action WaitBytes(size_t total);
  static Action WaitHead();
  static Action WaitRequest();
  static Action WaitFor(std::string delimiter);
  // For hostile servers: endless or huge bodies sent as the client reads them. The script goes
  // on after the repeats, or ends when the client closed or reset the connection.
  static Action Repeat(std::string bytes, size_t times = 0);

  // A 200 reply with the body and Content-Length (and the extra header lines, each ending
  // in "\r\n").
  static std::string HttpResponse(const std::string& body, const std::string& extra_headers = "",
                                  int status = 200, const std::string& reason = "OK");

  ScriptedPeer() = default;
  explicit ScriptedPeer(Script script);  // the same script for every connection
  ~ScriptedPeer();                       // stops: closes every socket, joins the threads
  ScriptedPeer(const ScriptedPeer&) = delete;
  ScriptedPeer& operator=(const ScriptedPeer&) = delete;

  // Connection i plays scripts[i]; connections past the end play the last one. Before Start.
  void SetScripts(std::vector<Script> scripts);

  // Binds 127.0.0.1 on a free port and starts accepting. False when the socket calls fail.
  bool Start();
  void Stop();

  int port() const { return port_; }
  std::string base_url() const;  // "http://127.0.0.1:PORT"

  // Bytes received on each accepted connection so far, in accept order (thread-safe copies).
  std::vector<std::string> requests() const;
  std::string request(size_t index) const;  // "" when there is no such connection
  int connection_count() const;
  // Waits until at least n connections were accepted (and, with finished, have ended their
  // script and their drain). False on timeout.
  bool WaitForConnections(int n, int timeout_ms, bool finished = false) const;

 private:
  struct Connection;
  void AcceptLoop();
  void Serve(std::shared_ptr<Connection> conn, const Script& script);
  bool ReadMore(Connection& conn);

  std::vector<Script> scripts_;
  int listen_fd_ = -1;
  int wake_pipe_[2] = {-1, -1};
  int port_ = 0;
  std::atomic<bool> stopping_{false};
  std::thread acceptor_;
  mutable std::mutex mu_;
  mutable std::condition_variable cv_;
  std::vector<std::shared_ptr<Connection>> connections_;
  std::vector<std::thread> workers_;
};

}  // namespace testsupport
