// In-test TCP peers on 127.0.0.1, built on the engine's socket layer so they
// run on Linux and under wine alike.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/net.h"
#include "platform/owned_socket.h"

namespace lumotest {

// Echoes every byte back on each accepted connection until the client
// closes. Listens on 127.0.0.1 on a port the system picks.
class EchoServer {
 public:
  EchoServer();
  ~EchoServer();
  EchoServer(const EchoServer&) = delete;
  EchoServer& operator=(const EchoServer&) = delete;

  bool listening() const { return listener_.valid(); }
  uint16_t port() const { return port_; }  // host order
  // Connections accepted so far.
  int accepted() const { return accepted_.load(); }

 private:
  void acceptLoop();
  void serve(platform::Socket connection);

  platform::OwnedSocket listener_;
  uint16_t port_ = 0;
  std::atomic<bool> stopping_{false};
  std::atomic<int> accepted_{0};
  std::thread acceptThread_;
  std::mutex lock_;
  std::vector<std::thread> connectionThreads_;
};

// Plays a fixed script against the first connection it accepts: read an
// exact number of bytes, read to the client's end of stream, send bytes, shut
// its sending down, stop reading, or close. Listens on 127.0.0.1 on a port the
// system picks. What it read is available once the script has ended.
class ScriptedNode {
 public:
  struct Step {
    enum class Kind { kRead, kReadToEnd, kSend, kShutdownSend, kStall, kClose } kind;
    size_t readLength = 0;
    std::vector<uint8_t> bytes;
  };
  static Step read(size_t length) { return {Step::Kind::kRead, length, {}}; }
  static Step readToEnd() { return {Step::Kind::kReadToEnd, 0, {}}; }
  static Step send(std::vector<uint8_t> bytes) { return {Step::Kind::kSend, 0, std::move(bytes)}; }
  static Step shutdownSend() { return {Step::Kind::kShutdownSend, 0, {}}; }
  // Holds the connection open without reading another byte until finish().
  static Step stall() { return {Step::Kind::kStall, 0, {}}; }
  static Step close() { return {Step::Kind::kClose, 0, {}}; }
  // The node's side of a SOCKS5 CONNECT that succeeds for `user`/`password`.
  static std::vector<Step> socks5Accepting(const std::string& user, const std::string& password);

  explicit ScriptedNode(std::vector<Step> script);
  ~ScriptedNode();
  ScriptedNode(const ScriptedNode&) = delete;
  ScriptedNode& operator=(const ScriptedNode&) = delete;

  uint16_t port() const { return port_; }  // host order
  // Waits (up to 10 s) for the script to end and returns every byte it read,
  // in order. `completed` says whether every step ran.
  std::vector<uint8_t> finish(bool* completed = nullptr);
  // True when a client connected at all (the script started).
  bool connected() const { return connected_.load(); }

 private:
  void run();

  std::vector<Step> script_;
  platform::OwnedSocket listener_;
  uint16_t port_ = 0;
  std::atomic<bool> connected_{false};
  std::atomic<bool> stopping_{false};
  bool completed_ = false;
  std::vector<uint8_t> received_;
  std::thread thread_;
};

// 127.0.0.1:port (port in host order).
platform::SocketAddress loopback(uint16_t port);

// An IPv4 stream socket connected to 127.0.0.1:port, or kInvalidSocket.
platform::Socket connectLoopback(uint16_t port);

// True when the peer closes within 10 s: the next receive gives end of stream
// (or the reset of a close with unread data).
bool closedByPeer(platform::Socket socket);

// Reads until `length` bytes arrived, the peer closed or 10 s passed.
std::vector<uint8_t> receiveUpTo(platform::Socket socket, size_t length);

// Sends `bytes` (or `text`) and reads as many back (fewer when the peer stops).
std::vector<uint8_t> roundTrip(platform::Socket socket, const std::vector<uint8_t>& bytes);
std::string roundTripText(platform::Socket socket, const std::string& text);

// A port on 127.0.0.1 that nothing listens on at the moment of the call
// (bound, then released).
uint16_t unusedLoopbackPort();

}  // namespace lumotest
