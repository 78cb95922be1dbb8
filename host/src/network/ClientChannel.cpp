#include "network/ClientChannel.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <exception>
#include <optional>
#include <utility>

#include <boost/asio/buffer.hpp>
#include <boost/asio/error.hpp>
#include <boost/asio/post.hpp>
#include <spdlog/spdlog.h>

namespace quorvane::host {

namespace asio = boost::asio;
using asio::ip::tcp;

namespace {

constexpr size_t kReadChunk = 16384;
// Buffers handed to the socket in one gathered write.
constexpr size_t kMaxGather = 16;
// Bytes handed to the socket in one write. Where a write completes only once the socket
// has taken all of it (Windows), its completion is the only sign of progress, so a write
// is kept small enough for a client that reads slowly to take within the send time-out.
constexpr size_t kMaxWriteBytes = 65536;
constexpr auto kAcceptRetryPause = std::chrono::milliseconds(100);

bool isResourceShortage(const boost::system::error_code& error) {
  return error == asio::error::no_descriptors || error == asio::error::no_buffer_space ||
         error == asio::error::no_memory || error == boost::system::errc::too_many_files_open_in_system;
}

}  // namespace

ClientChannel::ClientChannel(uint16_t port, ChannelOptions options, MessageHandler onMessage)
    : port(port),
      options(options),
      onMessage(std::move(onMessage)),
      strand(asio::make_strand(ioContext)),
      acceptor(strand),
      acceptPause(strand) {}

ClientChannel::~ClientChannel() {
  // Nothing may escape a destructor; stop() logs what it can.
  try {
    stop();
  } catch (...) {
  }
}

bool ClientChannel::start() {
  if (started) {
    // The channel listens once; the running listener and its client stay as they are.
    SPDLOG_ERROR(fmt::runtime(options.startFailedText), "the channel was started before");
    return false;
  }
  try {
    const tcp::endpoint endpoint(tcp::v4(), port);
    acceptor.open(endpoint.protocol());
    acceptor.set_option(tcp::acceptor::reuse_address(true));
    acceptor.bind(endpoint);
    acceptor.listen(options.backlog);
    boundPort = acceptor.local_endpoint().port();
    running = true;
    startAccept();
    ioThread = std::thread([this] { runLoop(); });
    started = true;
    SPDLOG_INFO(fmt::runtime(options.listeningText), boundPort.load());
    return true;
  } catch (const std::exception& e) {
    SPDLOG_ERROR(fmt::runtime(options.startFailedText), e.what());
    running = false;
    boost::system::error_code ignored;
    acceptor.close(ignored);
    return false;
  }
}

void ClientChannel::runLoop() {
  for (;;) {
    try {
      ioContext.run();
      return;
    } catch (const std::exception& e) {
      SPDLOG_ERROR(fmt::runtime(options.ioErrorText), e.what());
    }
  }
}

void ClientChannel::stop() {
  if (!running.exchange(false)) return;
  try {
    if (ioThread.joinable()) {
      // Closing runs on the strand, where the sockets and the acceptor are used.
      asio::post(strand, [this] {
        closeAll();
        ioContext.stop();
      });
      ioThread.join();
    }
  } catch (const std::exception&) {
  }
  // Whatever the I/O thread did not get to is closed here, with no handler running.
  closeAll();
  ioContext.stop();
  SPDLOG_INFO(fmt::runtime(options.stoppedText));
}

void ClientChannel::closeAll() {
  boost::system::error_code ignored;
  acceptor.close(ignored);
  acceptPause.cancel();
  ConnectionPtr current;
  {
    std::lock_guard lock(socketMutex);
    current = std::move(client);
  }
  closeConnection(current);
}

void ClientChannel::poll() { ioContext.poll(); }

bool ClientChannel::isClientConnected() const {
  // A connection is closed only after it has stopped being the client.
  std::lock_guard lock(socketMutex);
  return client != nullptr;
}

void ClientChannel::startAccept() {
  auto connection = std::make_shared<Connection>(strand, options.maxMessageLength);
  acceptor.async_accept(connection->socket, [this, connection](const boost::system::error_code& error) {
    if (!error) {
      handleNewConnection(connection);
    } else if (running && isResourceShortage(error)) {
      // Out of descriptors or memory: pause briefly instead of spinning. Other failures,
      // such as a peer that reset before it was accepted, are retried at once.
      acceptPause.expires_after(kAcceptRetryPause);
      acceptPause.async_wait([this](const boost::system::error_code&) {
        if (running) startAccept();
      });
      return;
    }
    if (running) startAccept();
  });
}

bool ClientChannel::configure(tcp::socket& socket) {
  boost::system::error_code error;
  auto check = [&](const boost::system::error_code& result) {
    if (result && !error) error = result;
  };
  boost::system::error_code result;
  socket.set_option(tcp::no_delay(true), result);
  check(result);
  if (options.resetOnClose) {
    socket.set_option(asio::socket_base::linger(true, 0), result);
    check(result);
  }
  socket.set_option(asio::socket_base::reuse_address(true), result);
  check(result);
  if (options.sendBufferBytes > 0) {
    socket.set_option(asio::socket_base::send_buffer_size(options.sendBufferBytes), result);
    check(result);
  }
  if (options.receiveBufferBytes > 0) {
    socket.set_option(asio::socket_base::receive_buffer_size(options.receiveBufferBytes), result);
    check(result);
  }
  if (error) SPDLOG_ERROR(fmt::runtime(options.configureFailedText), error.message());
  return !error;
}

void ClientChannel::handleNewConnection(const ConnectionPtr& connection) {
  boost::system::error_code error;
  if (options.storeBeforeConfiguring) {
    // The newer connection is the client whatever happens next; a socket option or a peer
    // address that fails (the peer may have reset already) is only logged, and a broken
    // connection goes with its first failed write.
    becomeClient(connection);
    if (configure(connection->socket)) {
      const tcp::endpoint peer = connection->socket.remote_endpoint(error);
      if (error) {
        SPDLOG_ERROR(fmt::runtime(options.configureFailedText), error.message());
      } else {
        SPDLOG_INFO(fmt::runtime(options.connectedText), peer.address().to_string(), peer.port());
      }
    }
  } else {
    configure(connection->socket);
    // A peer that reset the connection at once has no address left: drop it and keep the
    // current client.
    const tcp::endpoint peer = connection->socket.remote_endpoint(error);
    if (error) {
      SPDLOG_ERROR(fmt::runtime(options.configureFailedText), error.message());
      closeConnection(connection);
      return;
    }
    becomeClient(connection);
    SPDLOG_INFO(fmt::runtime(options.connectedText), peer.address().to_string(), peer.port());
  }
  if (options.maxMessageLength > 0) {
    connection->readBuffer.resize(kReadChunk);
    startRead(connection);
  }
}

void ClientChannel::becomeClient(const ConnectionPtr& connection) {
  if (options.backlogBytes > 0) connection->backlog = PacketRing(options.backlogBytes);
  ConnectionPtr previous;
  {
    std::lock_guard lock(socketMutex);
    previous = std::exchange(client, connection);
  }
  if (previous && previous->socket.is_open()) {
    SPDLOG_INFO(fmt::runtime(options.closingPreviousText));
  }
  closeConnection(previous);
}

void ClientChannel::startRead(const ConnectionPtr& connection) {
  connection->socket.async_read_some(
      asio::buffer(connection->readBuffer),
      [this, connection](const boost::system::error_code& error, size_t bytes) {
        handleRead(connection, error, bytes);
      });
}

void ClientChannel::handleRead(const ConnectionPtr& connection, const boost::system::error_code& error,
                               size_t bytes) {
  if (error) {
    if (connection->framer.inBody()) {
      // Broken off inside a message: stop reading but keep the client (a failed write
      // drops it).
      SPDLOG_INFO(fmt::runtime(options.readErrorText), error.message());
      return;
    }
    SPDLOG_INFO(fmt::runtime(options.disconnectedText), error.message());
    dropIfCurrent(connection);
    closeConnection(connection);
    return;
  }
  if (connection->framer.feed(connection->readBuffer.data(), bytes, onMessage) ==
      MessageFramer::Status::TooLarge) {
    SPDLOG_ERROR(fmt::runtime(options.tooLargeText), connection->framer.rejectedLength());
    return;
  }
  // The read chain of a connection that a newer one replaced ends here.
  if (isCurrent(connection)) startRead(connection);
}

bool ClientChannel::isCurrent(const ConnectionPtr& connection) {
  std::lock_guard lock(socketMutex);
  return client == connection;
}

void ClientChannel::dropIfCurrent(const ConnectionPtr& connection) {
  std::lock_guard lock(socketMutex);
  if (client == connection) client.reset();
}

void ClientChannel::closeConnection(const ConnectionPtr& connection) {
  if (!connection) return;
  // Its backlog goes with the connection object, as a send() may still be copying into it.
  connection->closed = true;
  connection->stallTimer.cancel();
  boost::system::error_code ignored;
  connection->socket.shutdown(tcp::socket::shutdown_both, ignored);
  connection->socket.close(ignored);
}

ClientChannel::SendResult ClientChannel::send(const WriteBuffer* buffers, size_t count) {
  size_t total = 0;
  for (size_t i = 0; i < count; ++i) total += buffers[i].size;
  if (total == 0) return SendResult::Queued;
  std::lock_guard append(appendMutex);
  ConnectionPtr connection;
  std::optional<size_t> offset;
  {
    std::lock_guard lock(socketMutex);
    connection = client;
    if (!connection) return SendResult::NoClient;
    offset = connection->backlog.reserve(total);
    if (!offset) return SendResult::NoRoom;
  }
  // The copy is made outside socketMutex; the caller's buffers are valid only during the call.
  for (size_t i = 0, at = 0; i < count; at += buffers[i++].size) {
    connection->backlog.copyIn(*offset, at, buffers[i].data, buffers[i].size);
  }
  bool idle = false;
  {
    std::lock_guard lock(socketMutex);
    if (client != connection) return SendResult::NoClient;
    connection->backlog.commit(*offset, total);
    idle = !std::exchange(connection->writing, true);
  }
  if (idle) asio::post(strand, [this, connection] { startWriting(connection); });
  return SendResult::Queued;
}

void ClientChannel::startWriting(const ConnectionPtr& connection) {
  if (connection->closed) return;
  connection->chainActive = true;
  connection->lastProgress = std::chrono::steady_clock::now();
  if (!connection->stallTimerArmed) armStallTimer(connection, connection->lastProgress + options.sendTimeout);
  writeNext(connection);
}

void ClientChannel::writeNext(const ConnectionPtr& connection) {
  std::array<asio::const_buffer, kMaxGather> parts{};
  {
    std::lock_guard lock(socketMutex);
    if (connection->backlog.empty()) {
      connection->writing = false;
      connection->chainActive = false;
      return;
    }
    // Only this strand consumes packets, so their bytes stay put while the write runs.
    connection->backlog.gather(parts.data(), parts.size());
  }
  size_t budget = kMaxWriteBytes;
  for (auto& part : parts) {
    part = asio::buffer(part, budget);
    budget -= part.size();
  }
  connection->socket.async_write_some(
      parts, [this, connection](const boost::system::error_code& error, size_t bytes) {
        handleWrite(connection, error, bytes);
      });
}

void ClientChannel::handleWrite(const ConnectionPtr& connection, const boost::system::error_code& error,
                                size_t bytes) {
  if (connection->closed) return;
  if (error) {
    failWrite(connection, error);
    return;
  }
  connection->lastProgress = std::chrono::steady_clock::now();
  {
    std::lock_guard lock(socketMutex);
    connection->backlog.consume(bytes);
  }
  writeNext(connection);
}

void ClientChannel::armStallTimer(const ConnectionPtr& connection,
                                  std::chrono::steady_clock::time_point expiry) {
  connection->stallTimerArmed = true;
  connection->stallTimer.expires_at(expiry);
  connection->stallTimer.async_wait(
      [this, connection](const boost::system::error_code& error) { handleStallTimer(connection, error); });
}

void ClientChannel::handleStallTimer(const ConnectionPtr& connection,
                                     const boost::system::error_code& error) {
  connection->stallTimerArmed = false;
  if (error || connection->closed || !connection->chainActive) return;
  const auto deadline = connection->lastProgress + options.sendTimeout;
  if (std::chrono::steady_clock::now() < deadline) {
    armStallTimer(connection, deadline);
    return;
  }
  failWrite(connection, asio::error::timed_out);
}

void ClientChannel::failWrite(const ConnectionPtr& connection, const boost::system::error_code& error) {
  if (running) SPDLOG_ERROR(fmt::runtime(options.sendFailedText), error.message());
  // Part of a packet may be on the wire, so the connection cannot carry another one.
  dropIfCurrent(connection);
  closeConnection(connection);
}

}  // namespace quorvane::host
