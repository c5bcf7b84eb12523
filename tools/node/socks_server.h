// The node's SOCKS5 server: accepts clients, negotiates RFC 1928/RFC 1929,
// connects to the (mapped) destination and relays bytes both ways, undoing
// Blur on the client-to-node stream when configured.
//
// Everything runs on the threads that run the given io_context (lumo-node
// runs one). Each connection is one session; when it ends the server writes
// one log line:
//   conn=N from=ADDR:PORT to=DEST mapped=ADDR:PORT user=NAME result=R up=U down=D
// where DEST is what the client asked for (address or name and port), mapped
// is where the node connected ("-" when it did not get that far), result is
// "ok" or the reason the connection ended early, and up/down count the
// stream bytes client-to-destination and destination-to-client.
#pragma once

#ifndef ASIO_STANDALONE
#define ASIO_STANDALONE
#endif
#include <asio.hpp>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "destination_map.h"
#include "log_sink.h"

namespace node {

struct SocksSettings {
  std::string user;      // empty with password empty: open node
  std::string password;
  bool unblur = false;
  bool allowRemote = false;
  DestinationMap destinations;
  std::chrono::seconds handshakeTimeout{10};
};

struct SocksServerState;

class SocksServer {
 public:
  // Opens a listening socket on `listen` (SO_REUSEADDR, backlog of the
  // system's maximum). Throws asio::system_error when the address cannot be
  // bound. Nothing is accepted before start().
  SocksServer(asio::io_context& io, const asio::ip::tcp::endpoint& listen, SocksSettings settings, LogSink log);
  ~SocksServer();
  SocksServer(const SocksServer&) = delete;
  SocksServer& operator=(const SocksServer&) = delete;

  // The bound address and port (the real port when 0 was asked for).
  asio::ip::tcp::endpoint localEndpoint() const;

  // Starts accepting on the io_context.
  void start();

  // Closes the listener and every open connection; each session then ends
  // and logs its line. Call on the io_context's thread (for example from a
  // signal_set handler) or through asio::post. The io_context's run() returns
  // once every session has ended.
  void stop();

 private:
  asio::awaitable<void> acceptLoop();

  asio::io_context& io_;
  asio::ip::tcp::acceptor acceptor_;
  std::shared_ptr<SocksServerState> state_;
};

}  // namespace node
