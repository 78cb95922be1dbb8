#include "network/SignalingServerImpl.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <utility>
#include <vector>

#include <boost/asio/post.hpp>
#include <boost/beast/core/bind_handler.hpp>
#include <spdlog/spdlog.h>

#include "network/WebSocketSession.h"

namespace quorvane::host {

namespace net = boost::asio;
using net::ip::tcp;

namespace {

// How long stop() lets the I/O thread finish the operations it aborted.
constexpr auto kStopDrainLimit = std::chrono::seconds(10);
// Pause before accepting again after a failed accept: longer when the process is out
// of descriptors, short otherwise so that a lasting error cannot spin the thread.
constexpr auto kAcceptPauseOutOfDescriptors = std::chrono::milliseconds(200);
constexpr auto kAcceptPauseOtherError = std::chrono::milliseconds(10);

bool isOutOfDescriptors(const boost::beast::error_code& ec) {
  return ec == net::error::no_descriptors || ec == net::error::no_buffer_space ||
         ec == net::error::no_memory || ec == boost::system::errc::too_many_files_open_in_system;
}

}  // namespace

SignalingServerImpl::SignalingServerImpl(uint16_t port, std::chrono::milliseconds handshakeTimeout)
    : port(port),
      handshakeTimeout(handshakeTimeout),
      acceptStrand(net::make_strand(ioContext)),
      acceptor(acceptStrand),
      acceptRetryTimer(acceptStrand) {}

SignalingServerImpl::~SignalingServerImpl() { stop(); }

bool SignalingServerImpl::start() {
  if (started) {
    // The I/O context is never restarted, so one server object listens at most once.
    SPDLOG_ERROR("Failed to start signaling server: {}", "it was started before");
    return false;
  }
  started = true;
  try {
    const tcp::endpoint endpoint(net::ip::address_v4::any(), port);
    acceptor.open(endpoint.protocol());
#ifdef _WIN32
    // On Windows reuse-address would let a second listener take the same port;
    // exclusive use makes a second host fail to start instead.
    acceptor.set_option(net::detail::socket_option::boolean<SOL_SOCKET, SO_EXCLUSIVEADDRUSE>(true));
#else
    acceptor.set_option(net::socket_base::reuse_address(true));  // restart while old connections linger
#endif
    acceptor.bind(endpoint);
    acceptor.listen(net::socket_base::max_listen_connections);
    boundPort = acceptor.local_endpoint().port();
    running = true;
    doAccept();
    ioThread = std::thread([this] {
      ioContext.run();
      std::lock_guard lock(ioThreadMutex);
      ioThreadFinished = true;
      ioThreadDone.notify_all();
    });
    SPDLOG_INFO("Signaling server listening on port {}", boundPort.load());
    return true;
  } catch (const std::exception& e) {
    SPDLOG_ERROR("Failed to start signaling server: {}", e.what());
    running = false;
    boost::beast::error_code ignored;
    acceptor.close(ignored);
    // Let an accept that was already started complete, so it releases the server.
    ioContext.poll();
    return false;
  }
}

void SignalingServerImpl::stop() {
  std::vector<std::shared_ptr<WebSocketSession>> open;
  {
    std::lock_guard lock(sessionsMutex);
    if (!running.exchange(false)) {
      return;
    }
    open.assign(sessions.begin(), sessions.end());
    sessions.clear();
  }
  try {
    net::post(acceptStrand, [this] {
      boost::beast::error_code ignored;
      acceptor.close(ignored);
      acceptRetryTimer.cancel();
    });
    for (const auto& session : open) {
      session->close();
    }
    open.clear();
    // Every operation now ends with an error and starts nothing new, so the I/O thread
    // runs out of work and ends by itself; the handlers it drops release the server.
    {
      std::unique_lock lock(ioThreadMutex);
      if (!ioThreadDone.wait_for(lock, kStopDrainLimit, [this] { return ioThreadFinished; })) {
        SPDLOG_WARN("Signaling I/O did not finish in time; stopping it");
      }
    }
    ioContext.stop();
    if (ioThread.joinable()) {
      ioThread.join();
    }
  } catch (...) {
  }
  SPDLOG_INFO("Signaling server stopped");
}

void SignalingServerImpl::poll() {
  if (running) {
    ioContext.poll();
  }
}

void SignalingServerImpl::doAccept() {
  acceptor.async_accept(net::make_strand(ioContext),
                        boost::beast::bind_front_handler(&SignalingServerImpl::onAccept, shared_from_this()));
}

void SignalingServerImpl::onAccept(boost::beast::error_code ec, tcp::socket socket) {
  if (!running) {
    return;  // the socket, if any, closes here
  }
  if (ec) {
    // One failed accept (a reset connection, a full descriptor table) must not end
    // accepting; only stop() does.
    SPDLOG_ERROR("Accept failed: {}", ec.message());
    acceptAfterPause(isOutOfDescriptors(ec) ? kAcceptPauseOutOfDescriptors : kAcceptPauseOtherError);
    return;
  }
  auto session = std::make_shared<WebSocketSession>(std::move(socket), shared_from_this(), handshakeTimeout);
  if (!addSession(session)) {
    return;
  }
  session->run();
  doAccept();
}

void SignalingServerImpl::acceptAfterPause(std::chrono::milliseconds pause) {
  acceptRetryTimer.expires_after(pause);
  acceptRetryTimer.async_wait([self = shared_from_this()](boost::beast::error_code ec) {
    if (!ec && self->running && self->acceptor.is_open()) {
      self->doAccept();
    }
  });
}

bool SignalingServerImpl::addSession(std::shared_ptr<WebSocketSession> session) {
  std::lock_guard lock(sessionsMutex);
  if (!running) {
    return false;  // stop() has already closed the others
  }
  sessions.insert(std::move(session));
  return true;
}

void SignalingServerImpl::removeSession(WebSocketSession* session) {
  std::shared_ptr<WebSocketSession> removed;
  {
    std::lock_guard lock(sessionsMutex);
    const auto it = std::find_if(sessions.begin(), sessions.end(),
                                 [session](const auto& entry) { return entry.get() == session; });
    if (it != sessions.end()) {
      removed = *it;
      sessions.erase(it);
    }
  }
  // The streams the client left running stop as its stop requests would stop them, once,
  // outside the lock. After stop() the set is empty: the application ends every stream
  // itself then, so nothing is stopped from here.
  if (removed) {
    requestHandler.clientGone(session);
  }
}

void SignalingServerImpl::broadcast(const std::string& text) {
  std::lock_guard lock(sessionsMutex);
  for (const auto& session : sessions) {
    session->send(text);
  }
}

std::size_t SignalingServerImpl::getClientCount() const {
  std::lock_guard lock(sessionsMutex);
  return sessions.size();
}

void SignalingServerImpl::handleMessage(WebSocketSession* session, const std::string& text) {
  try {
    const auto reply = requestHandler.handle(
        text,
        [this, session]() -> std::optional<std::string> {
          std::lock_guard lock(sessionsMutex);
          const bool present = std::any_of(sessions.begin(), sessions.end(),
                                           [session](const auto& entry) { return entry.get() == session; });
          if (!present) {
            return std::nullopt;
          }
          return session->getRemoteAddress();
        },
        session);
    if (reply) {
      session->send(*reply);
    }
  } catch (const std::exception& e) {
    SPDLOG_ERROR("Error processing message: {}", e.what());
  }
}

}  // namespace quorvane::host
