#include "loopback_peers.h"

#include "platform/owned_socket.h"
#include "platform/time.h"

namespace lumotest {

namespace {

using platform::Socket;

constexpr uint32_t kPollMs = 50;
constexpr uint32_t kPatienceMs = 10000;

// A listening socket on 127.0.0.1 and a system-chosen port (host order).
Socket listenLoopback(uint16_t& port) {
  platform::OwnedSocket listener(platform::openSocket(platform::kFamilyIpv4, platform::SocketType::Stream));
  platform::SocketAddress bound;
  if (!listener.valid() || !platform::bindSocket(listener.get(), loopback(0)) ||
      !platform::listenSocket(listener.get(), 16) || !platform::localAddressOf(listener.get(), bound))
    return platform::kInvalidSocket;
  port = platform::netToHost16(bound.port());
  return listener.release();
}

bool sendAll(Socket socket, const uint8_t* data, size_t length) {
  while (length > 0) {
    int sent = platform::sendBytes(socket, data, length);
    if (sent <= 0) return false;
    data += sent;
    length -= static_cast<size_t>(sent);
  }
  return true;
}

}  // namespace

platform::SocketAddress loopback(uint16_t port) {
  return platform::makeIpv4Address(platform::ipv4(127, 0, 0, 1), platform::hostToNet16(port));
}

EchoServer::EchoServer() {
  listener_.reset(listenLoopback(port_));
  if (listener_.valid()) acceptThread_ = std::thread([this] { acceptLoop(); });
}

EchoServer::~EchoServer() {
  stopping_ = true;
  if (acceptThread_.joinable()) acceptThread_.join();
  std::vector<std::thread> threads;
  {
    std::lock_guard<std::mutex> guard(lock_);
    threads.swap(connectionThreads_);
  }
  for (std::thread& thread : threads) thread.join();
}

void EchoServer::acceptLoop() {
  while (!stopping_) {
    if (platform::waitReadable(listener_.get(), kPollMs) != 1) continue;
    Socket connection = platform::acceptSocket(listener_.get(), nullptr);
    if (connection == platform::kInvalidSocket) continue;
    ++accepted_;
    std::lock_guard<std::mutex> guard(lock_);
    connectionThreads_.emplace_back([this, connection] { serve(connection); });
  }
}

void EchoServer::serve(Socket connection) {
  uint8_t buffer[4096];
  while (!stopping_) {
    int ready = platform::waitReadable(connection, kPollMs);
    if (ready == 0) continue;
    if (ready < 0) break;
    int count = platform::receiveBytes(connection, buffer, sizeof buffer);
    if (count <= 0 || !sendAll(connection, buffer, static_cast<size_t>(count))) break;
  }
  platform::closeSocket(connection);
}

ScriptedNode::ScriptedNode(std::vector<Step> script) : script_(std::move(script)) {
  listener_.reset(listenLoopback(port_));
  if (listener_.valid()) thread_ = std::thread([this] { run(); });
}

ScriptedNode::~ScriptedNode() {
  stopping_ = true;
  if (thread_.joinable()) thread_.join();
}

void ScriptedNode::run() {
  // Wait for the one client, giving up when the test ends without it.
  while (platform::waitReadable(listener_.get(), kPollMs) != 1)
    if (stopping_) return;
  platform::OwnedSocket connection(platform::acceptSocket(listener_.get(), nullptr));
  if (!connection.valid()) return;
  connected_ = true;
  bool ok = true;
  for (const Step& step : script_) {
    if (step.kind == Step::Kind::kClose) {
      connection.reset();
      break;
    }
    if (step.kind == Step::Kind::kStall) {
      while (!stopping_) platform::sleepMs(static_cast<uint32_t>(kPollMs));
      break;
    }
    if (step.kind == Step::Kind::kSend) {
      ok = sendAll(connection.get(), step.bytes.data(), step.bytes.size());
    } else if (step.kind == Step::Kind::kShutdownSend) {
      ok = platform::shutdownSocket(connection.get(), platform::ShutdownHow::Send);
    } else if (step.kind == Step::Kind::kReadToEnd) {
      uint8_t buffer[4096];
      int count = 0;
      while ((count = platform::waitReadable(connection.get(), kPatienceMs) == 1
                          ? platform::receiveBytes(connection.get(), buffer, sizeof buffer)
                          : -1) > 0)
        received_.insert(received_.end(), buffer, buffer + count);
      ok = count == 0;
    } else {
      std::vector<uint8_t> got = receiveUpTo(connection.get(), step.readLength);
      received_.insert(received_.end(), got.begin(), got.end());
      ok = got.size() == step.readLength;
    }
    if (!ok) break;
  }
  completed_ = ok;
  if (connection.valid()) {
    // Hold the connection open until the client is done with it, so that
    // the client sees exactly the script and nothing of our closing.
    uint8_t drain[256];
    while (!stopping_) {
      int ready = platform::waitReadable(connection.get(), kPollMs);
      if (ready == 0) continue;
      if (ready < 0 || platform::receiveBytes(connection.get(), drain, sizeof drain) <= 0) break;
    }
  }
}

std::vector<ScriptedNode::Step> ScriptedNode::socks5Accepting(const std::string& user,
                                                              const std::string& password) {
  return {read(3),  // 05 01 02
          send({0x05, 0x02}),
          read(3 + user.size() + password.size()),  // 01 ULEN USER PLEN PASSWORD
          send({0x01, 0x00}),
          read(10),  // 05 01 00 01 ADDR PORT
          send({0x05, 0x00, 0x00, 0x01, 0, 0, 0, 0, 0, 0})};
}

std::vector<uint8_t> ScriptedNode::finish(bool* completed) {
  stopping_ = true;
  if (thread_.joinable()) thread_.join();
  if (completed != nullptr) *completed = completed_;
  return received_;
}

Socket connectLoopback(uint16_t port) {
  platform::OwnedSocket socket(platform::openSocket(platform::kFamilyIpv4, platform::SocketType::Stream));
  if (!socket.valid() || !platform::connectSocket(socket.get(), loopback(port)))
    return platform::kInvalidSocket;
  return socket.release();
}

bool closedByPeer(Socket socket) {
  char byte;
  return platform::waitReadable(socket, kPatienceMs) == 1 && platform::receiveBytes(socket, &byte, 1) <= 0;
}

std::vector<uint8_t> receiveUpTo(Socket socket, size_t length) {
  std::vector<uint8_t> bytes(length);
  size_t received = 0;
  while (received < length) {
    if (platform::waitReadable(socket, kPatienceMs) != 1) break;
    int count = platform::receiveBytes(socket, bytes.data() + received, length - received);
    if (count <= 0) break;
    received += static_cast<size_t>(count);
  }
  bytes.resize(received);
  return bytes;
}

uint16_t unusedLoopbackPort() {
  uint16_t port = 0;
  platform::closeSocket(listenLoopback(port));  // it took no connection: nothing lingers
  return port;
}

std::vector<uint8_t> roundTrip(platform::Socket socket, const std::vector<uint8_t>& bytes) {
  if (platform::sendBytes(socket, bytes.data(), bytes.size()) != static_cast<int>(bytes.size())) return {};
  return receiveUpTo(socket, bytes.size());
}

std::string roundTripText(platform::Socket socket, const std::string& text) {
  const std::vector<uint8_t> back = roundTrip(socket, std::vector<uint8_t>(text.begin(), text.end()));
  return std::string(back.begin(), back.end());
}

}  // namespace lumotest
