#include "socks_server.h"

#include <algorithm>
#include <array>
#include <map>
#include <span>

#include <asio/experimental/as_tuple.hpp>
#include <asio/experimental/awaitable_operators.hpp>

#include "socks5_protocol.h"
#include "tcp/blur.h"

namespace node {

using Tcp = asio::ip::tcp;
// Completion tokens that hand back (error, result) instead of throwing.
constexpr auto kAwait = asio::experimental::as_tuple(asio::use_awaitable);

class SocksSession;

// What the server and its sessions share. Sessions keep it alive, so a
// session finishing after the server object is gone still has its settings.
struct SocksServerState {
  SocksSettings settings;
  LogSink log;
  uint64_t nextId = 0;
  std::map<uint64_t, std::weak_ptr<SocksSession>> sessions;
};

namespace {

// Compares two secrets in time that depends on their lengths only.
bool sameSecret(const std::string& given, const std::string& expected) {
  size_t length = std::max(given.size(), expected.size());
  unsigned difference = given.size() != expected.size() ? 1u : 0u;
  for (size_t i = 0; i < length; ++i) {
    unsigned char a = i < given.size() ? static_cast<unsigned char>(given[i]) : 0;
    unsigned char b = i < expected.size() ? static_cast<unsigned char>(expected[i]) : 0;
    difference |= static_cast<unsigned>(a ^ b);
  }
  return difference == 0;
}

bool offers(const Greeting& greeting, uint8_t method) {
  return std::find(greeting.methods.begin(), greeting.methods.end(), method) != greeting.methods.end();
}

// The reply code (RFC 1928, section 6) that best describes a failed connect.
uint8_t replyForConnectError(const std::error_code& error) {
  if (error == asio::error::connection_refused) return kReplyConnectionRefused;
  if (error == asio::error::network_unreachable) return kReplyNetworkUnreachable;
  if (error == asio::error::host_unreachable || error == asio::error::timed_out) return kReplyHostUnreachable;
  return kReplyGeneralFailure;
}

std::string endpointText(const Tcp::endpoint& endpoint) {
  return endpoint.address().to_string() + ":" + std::to_string(endpoint.port());
}

// Log fields are space-separated: keep client-chosen texts (names, users)
// printable and free of spaces.
std::string printable(const std::string& text) {
  std::string out;
  for (unsigned char c : text) out += c == ' ' ? '_' : (c > 0x20 && c < 0x7F) ? static_cast<char>(c) : '?';
  return out;
}

}  // namespace

class SocksSession : public std::enable_shared_from_this<SocksSession> {
 public:
  SocksSession(std::shared_ptr<SocksServerState> state, Tcp::socket client, uint64_t id)
      : state_(std::move(state)), client_(std::move(client)), target_(client_.get_executor()),
        deadline_(client_.get_executor()), id_(id) {}

  // The session's whole life; the coroutine keeps the session alive.
  asio::awaitable<void> run() {
    std::shared_ptr<SocksSession> self = shared_from_this();
    std::error_code ignored;
    Tcp::endpoint peer = client_.remote_endpoint(ignored);
    from_ = ignored ? "?" : endpointText(peer);

    deadline_.expires_after(state_->settings.handshakeTimeout);
    deadline_.async_wait([weak = weak_from_this()](std::error_code error) {
      if (error) return;  // cancelled: the handshake finished in time
      if (auto session = weak.lock()) {
        session->timedOut_ = true;
        session->close();
      }
    });
    bool connected = co_await handshake();
    deadline_.cancel();
    if (timedOut_) {
      result_ = "handshake-timeout";
    } else if (connected) {
      result_ = "ok";
      co_await relay();
    }
    if (stoppedByNode_) result_ = "node-stopped";
    close();
    state_->log("conn=" + std::to_string(id_) + " from=" + from_ + " to=" + to_ + " mapped=" + mapped_ +
                " user=" + user_ + " result=" + result_ + " up=" + std::to_string(up_) +
                " down=" + std::to_string(down_));
  }

  // Ends the session from outside: the node is shutting down.
  void stopByNode() {
    stoppedByNode_ = true;
    close();
  }

  void close() {
    std::error_code ignored;
    client_.close(ignored);
    target_.close(ignored);
  }

 private:
  enum class ReadResult { kComplete, kMalformed, kClosed };

  // Reads until `parse` accepts or rejects the bytes received so far. Bytes
  // after the message stay in inbound_ for the next step.
  template <typename Message, typename Parser>
  asio::awaitable<ReadResult> readMessage(Parser parse, Message& message) {
    for (;;) {
      size_t consumed = 0;
      ParseStatus status = parse(std::span<const uint8_t>(inbound_.data(), inboundLength_), message, consumed);
      if (status == ParseStatus::kMalformed) co_return ReadResult::kMalformed;
      if (status == ParseStatus::kComplete) {
        std::copy(inbound_.begin() + consumed, inbound_.begin() + inboundLength_, inbound_.begin());
        inboundLength_ -= consumed;
        co_return ReadResult::kComplete;
      }
      // Every client message fits the buffer, so a full buffer that still
      // needs more cannot be a valid message.
      if (inboundLength_ == inbound_.size()) co_return ReadResult::kMalformed;
      auto [error, count] = co_await client_.async_read_some(
          asio::buffer(inbound_.data() + inboundLength_, inbound_.size() - inboundLength_), kAwait);
      if (error || count == 0) co_return ReadResult::kClosed;
      inboundLength_ += count;
    }
  }

  template <size_t N>
  asio::awaitable<bool> sendToClient(const std::array<uint8_t, N>& bytes) {
    auto [error, count] = co_await asio::async_write(client_, asio::buffer(bytes), kAwait);
    co_return !error && count == N;
  }

  asio::awaitable<bool> fail(std::string result, uint8_t reply) {
    result_ = std::move(result);
    co_await sendToClient(requestReply(reply, 0, 0));
    co_return false;
  }

  // Method selection, authentication and the request; true once the
  // destination is connected and the success reply sent.
  asio::awaitable<bool> handshake() {
    const SocksSettings& settings = state_->settings;

    Greeting greeting;
    ReadResult read = co_await readMessage(parseGreeting, greeting);
    if (read != ReadResult::kComplete) {
      result_ = read == ReadResult::kMalformed ? "bad-greeting" : "closed-in-greeting";
      co_return false;
    }
    // A node with credentials insists on them; an open node prefers "no
    // authentication" but also serves clients that only offer user/password.
    bool open = settings.user.empty();
    uint8_t method = kMethodNoAcceptable;
    if (open && offers(greeting, kMethodNoAuthentication)) {
      method = kMethodNoAuthentication;
    } else if (offers(greeting, kMethodUserPassword)) {
      method = kMethodUserPassword;
    }
    if (!co_await sendToClient(methodReply(method))) {
      result_ = "closed-in-greeting";
      co_return false;
    }
    if (method == kMethodNoAcceptable) {
      result_ = "no-acceptable-method";
      co_return false;
    }

    if (method == kMethodUserPassword) {
      AuthRequest auth;
      read = co_await readMessage(parseAuthRequest, auth);
      if (read != ReadResult::kComplete) {
        result_ = read == ReadResult::kMalformed ? "bad-auth-request" : "closed-in-auth";
        co_return false;
      }
      user_ = printable(auth.user);
      // Both comparisons always run, so the time taken does not tell which
      // field was wrong.
      bool userMatches = sameSecret(auth.user, settings.user);
      bool passwordMatches = sameSecret(auth.password, settings.password);
      bool accepted = open || (userMatches && passwordMatches);
      bool sent = co_await sendToClient(authReply(accepted));
      // RFC 1929, section 2: on failure the server closes the connection.
      if (!accepted) {
        result_ = "auth-failed";
        co_return false;
      }
      if (!sent) {
        result_ = "closed-in-auth";
        co_return false;
      }
    }

    Request request;
    read = co_await readMessage(parseRequest, request);
    if (read != ReadResult::kComplete) {
      result_ = read == ReadResult::kMalformed ? "bad-request" : "closed-in-request";
      co_return false;
    }
    if (request.addressType == kAddressIpv4) {
      to_ = formatEndpoint({request.ipv4, request.port});
    } else if (request.addressType == kAddressDomain) {
      to_ = printable(request.domain) + ":" + std::to_string(request.port);
    }
    if (request.command != kCommandConnect) co_return co_await fail("command-not-supported", kReplyCommandNotSupported);
    if (request.addressType != kAddressIpv4 && request.addressType != kAddressDomain) {
      co_return co_await fail("address-type-not-supported", kReplyAddressTypeNotSupported);
    }

    // Where to connect: a map rule first; otherwise the address asked for,
    // and for names a literal, "localhost", or (only when remote targets are
    // allowed) the system resolver.
    Ipv4Endpoint target{request.ipv4, request.port};
    if (request.addressType == kAddressDomain) {
      uint32_t literal = 0;
      if (auto named = settings.destinations.mapName(request.domain, request.port)) {
        target = *named;
      } else if (parseIpv4(request.domain, literal)) {
        target = settings.destinations.map({literal, request.port}).value_or(Ipv4Endpoint{literal, request.port});
      } else if (request.domain == "localhost") {
        target = {0x7F000001u, request.port};
      } else if (settings.allowRemote) {
        Tcp::resolver resolver(client_.get_executor());
        auto [error, results] =
            co_await resolver.async_resolve(Tcp::v4(), request.domain, std::to_string(request.port), kAwait);
        if (error || results.empty()) co_return co_await fail("resolve-failed", kReplyHostUnreachable);
        Tcp::endpoint first = *results.begin();
        target = {first.address().to_v4().to_uint(), first.port()};
      } else {
        co_return co_await fail("refused-unmapped-name", kReplyNotAllowed);
      }
    } else {
      target = settings.destinations.map(target).value_or(target);
    }
    mapped_ = formatEndpoint(target);
    if (!settings.allowRemote && !isLoopback(target.address)) {
      co_return co_await fail("refused-not-loopback", kReplyNotAllowed);
    }

    auto [connectError] =
        co_await target_.async_connect(Tcp::endpoint(asio::ip::address_v4(target.address), target.port), kAwait);
    if (connectError) {
      co_return co_await fail("connect-failed(" + printable(connectError.message()) + ")",
                              replyForConnectError(connectError));
    }
    std::error_code ignored;
    target_.set_option(Tcp::no_delay(true), ignored);
    client_.set_option(Tcp::no_delay(true), ignored);
    Tcp::endpoint bound = target_.local_endpoint(ignored);
    uint32_t boundAddress = (!ignored && bound.address().is_v4()) ? bound.address().to_v4().to_uint() : 0;
    if (!co_await sendToClient(requestReply(kReplySucceeded, boundAddress, bound.port()))) {
      result_ = "closed-in-request";
      co_return false;
    }
    co_return true;
  }

  // Copies one direction until its source ends. A clean end is passed on as
  // a half-close, so the other direction can finish; an error ends both.
  // The buffer lives in the coroutine's frame, on the heap: 64 KiB per
  // direction, as the engine's relay copies (with 16 KiB the node was the
  // slowest hop of a bulk transfer).
  asio::awaitable<void> pump(Tcp::socket& from, Tcp::socket& to, bool unblur, uint64_t& total) {
    std::array<uint8_t, 65536> buffer;
    for (;;) {
      auto [readError, count] = co_await from.async_read_some(asio::buffer(buffer), kAwait);
      if (readError) {
        if (readError != asio::error::eof) noteRelayError(readError);
        break;
      }
      if (unblur) tcp::UnblurInPlace(buffer.data(), count);
      auto [writeError, written] = co_await asio::async_write(to, asio::buffer(buffer.data(), count), kAwait);
      if (writeError) {
        noteRelayError(writeError);
        break;
      }
      total += written;
    }
    std::error_code ignored;
    to.shutdown(Tcp::socket::shutdown_send, ignored);
  }

  void noteRelayError(const std::error_code& error) {
    // The first error names the end; closing both sockets stops the other
    // direction, whose own (aborted) error is not interesting.
    if (result_ == "ok") result_ = "relay-error(" + printable(error.message()) + ")";
    close();
  }

  asio::awaitable<void> relay() {
    const bool unblur = state_->settings.unblur;
    // Bytes that the client sent right behind its request are the start of
    // the stream.
    if (inboundLength_ > 0) {
      if (unblur) tcp::UnblurInPlace(inbound_.data(), inboundLength_);
      auto [error, written] = co_await asio::async_write(target_, asio::buffer(inbound_.data(), inboundLength_), kAwait);
      if (error) {
        noteRelayError(error);
        co_return;
      }
      up_ += written;
      inboundLength_ = 0;
    }
    using namespace asio::experimental::awaitable_operators;
    co_await (pump(client_, target_, unblur, up_) && pump(target_, client_, false, down_));
  }

  std::shared_ptr<SocksServerState> state_;
  Tcp::socket client_;
  Tcp::socket target_;
  asio::steady_timer deadline_;
  uint64_t id_;
  bool timedOut_ = false;
  bool stoppedByNode_ = false;

  // Received handshake bytes not yet parsed.
  std::array<uint8_t, 1024> inbound_{};
  size_t inboundLength_ = 0;
  static_assert(sizeof(inbound_) > kLargestClientMessage);

  std::string from_ = "?";
  std::string to_ = "-";
  std::string mapped_ = "-";
  std::string user_ = "-";
  std::string result_ = "closed";
  uint64_t up_ = 0;
  uint64_t down_ = 0;
};

SocksServer::SocksServer(asio::io_context& io, const Tcp::endpoint& listen, SocksSettings settings, LogSink log)
    : io_(io), acceptor_(io), state_(std::make_shared<SocksServerState>()) {
  state_->settings = std::move(settings);
  state_->log = std::move(log);
  acceptor_.open(listen.protocol());
  acceptor_.set_option(Tcp::acceptor::reuse_address(true));
  acceptor_.bind(listen);
  acceptor_.listen();
}

SocksServer::~SocksServer() = default;

Tcp::endpoint SocksServer::localEndpoint() const { return acceptor_.local_endpoint(); }

void SocksServer::start() { asio::co_spawn(io_, acceptLoop(), asio::detached); }

void SocksServer::stop() {
  std::error_code ignored;
  acceptor_.close(ignored);
  for (auto& [id, weak] : state_->sessions) {
    if (auto session = weak.lock()) session->stopByNode();
  }
}

asio::awaitable<void> SocksServer::acceptLoop() {
  std::shared_ptr<SocksServerState> state = state_;
  asio::steady_timer pause(io_);
  for (;;) {
    auto [error, socket] = co_await acceptor_.async_accept(kAwait);
    if (!acceptor_.is_open()) co_return;
    if (error) {
      // Out of descriptors and the like: say so and give the system a moment
      // instead of spinning on the same error.
      state->log("accept failed: " + error.message());
      pause.expires_after(std::chrono::milliseconds(100));
      co_await pause.async_wait(kAwait);
      continue;
    }
    uint64_t id = ++state->nextId;
    auto session = std::make_shared<SocksSession>(state, std::move(socket), id);
    state->sessions[id] = session;
    asio::co_spawn(io_, session->run(), [state, id](std::exception_ptr failure) {
      state->sessions.erase(id);
      if (failure) {
        try {
          std::rethrow_exception(failure);
        } catch (const std::exception& e) {
          state->log("conn=" + std::to_string(id) + " ended by an internal error: " + e.what());
        } catch (...) {
          state->log("conn=" + std::to_string(id) + " ended by an internal error");
        }
      }
    });
  }
}

}  // namespace node
