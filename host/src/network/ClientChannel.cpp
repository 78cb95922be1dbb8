#include "network/ClientChannel.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <utility>

#include <boost/asio/error.hpp>
#include <boost/asio/post.hpp>
#include <spdlog/spdlog.h>

#ifndef _WIN32
#include <cerrno>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#endif

namespace quorvane::host {

namespace asio = boost::asio;
using asio::ip::tcp;

namespace {

constexpr size_t kReadChunk = 16384;
constexpr size_t kMaxWriteBuffers = 8;
constexpr auto kAcceptRetryPause = std::chrono::milliseconds(100);

bool isResourceShortage(const boost::system::error_code& error) {
  return error == asio::error::no_descriptors || error == asio::error::no_buffer_space ||
         error == asio::error::no_memory || error == boost::system::errc::too_many_files_open_in_system;
}

boost::system::error_code systemError(int code) {
  return boost::system::error_code(code, asio::error::get_system_category());
}

#ifdef _WIN32

// Winsock honours SO_SNDTIMEO (set on the socket) for a blocking send, which hands
// over every byte or fails.
boost::system::error_code writeAll(tcp::socket::native_handle_type handle,
                                   const ClientChannel::WriteBuffer* buffers, size_t count,
                                   std::chrono::milliseconds) {
  WSABUF parts[kMaxWriteBuffers];
  for (size_t i = 0; i < count; ++i) {
    parts[i].buf = static_cast<CHAR*>(const_cast<void*>(buffers[i].data));
    parts[i].len = static_cast<ULONG>(buffers[i].size);
  }
  size_t first = 0;
  while (first < count) {
    DWORD sent = 0;
    if (::WSASend(handle, parts + first, static_cast<DWORD>(count - first), &sent, 0, nullptr, nullptr) !=
        0) {
      return systemError(::WSAGetLastError());
    }
    while (first < count && sent >= parts[first].len) {
      sent -= parts[first].len;
      ++first;
    }
    if (first < count) {
      parts[first].buf += sent;
      parts[first].len -= sent;
    }
  }
  return {};
}

#else

// Sends without blocking and waits for room in the socket between sends, so that a
// peer that stops reading is noticed after `timeout` without progress. The socket's
// own blocking mode, which the asynchronous reads manage, is left alone.
boost::system::error_code writeAll(tcp::socket::native_handle_type handle,
                                   const ClientChannel::WriteBuffer* buffers, size_t count,
                                   std::chrono::milliseconds timeout) {
  iovec parts[kMaxWriteBuffers];
  for (size_t i = 0; i < count; ++i) {
    parts[i].iov_base = const_cast<void*>(buffers[i].data);
    parts[i].iov_len = buffers[i].size;
  }
  size_t first = 0;
  while (first < count && parts[first].iov_len == 0) ++first;
  auto lastProgress = std::chrono::steady_clock::now();
  while (first < count) {
    msghdr message{};
    message.msg_iov = parts + first;
    message.msg_iovlen = count - first;
    const ssize_t sent = ::sendmsg(handle, &message, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (sent > 0) {
      size_t left = static_cast<size_t>(sent);
      while (first < count && left >= parts[first].iov_len) {
        left -= parts[first].iov_len;
        ++first;
      }
      if (first < count) {
        parts[first].iov_base = static_cast<char*>(parts[first].iov_base) + left;
        parts[first].iov_len -= left;
      }
      lastProgress = std::chrono::steady_clock::now();
      continue;
    }
    if (sent < 0 && errno == EINTR) continue;
    if (sent < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return systemError(errno);
    const auto waited = std::chrono::steady_clock::now() - lastProgress;
    if (waited >= timeout) return systemError(ETIMEDOUT);
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(timeout - waited);
    pollfd entry{handle, POLLOUT, 0};
    if (::poll(&entry, 1, static_cast<int>(left.count())) < 0 && errno != EINTR) return systemError(errno);
  }
  return {};
}

#endif

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
  std::lock_guard lock(socketMutex);
  return client && client->socket.is_open();
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

void ClientChannel::configure(tcp::socket& socket) {
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
  if (options.sendTimeout.count() > 0) {
#ifdef _WIN32
    // Bounds the blocking send of writeAll(); elsewhere writeAll() waits by itself.
    const DWORD timeoutMs = static_cast<DWORD>(options.sendTimeout.count());
    ::setsockopt(socket.native_handle(), SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&timeoutMs),
                 sizeof(timeoutMs));
#endif
  }
  if (error) SPDLOG_ERROR(fmt::runtime(options.configureFailedText), error.message());
}

void ClientChannel::handleNewConnection(const ConnectionPtr& connection) {
  configure(connection->socket);
  // A peer that reset the connection at once has no address left: drop it and keep the
  // current client.
  boost::system::error_code error;
  const tcp::endpoint peer = connection->socket.remote_endpoint(error);
  if (error) {
    SPDLOG_ERROR(fmt::runtime(options.configureFailedText), error.message());
    closeConnection(connection);
    return;
  }
  ConnectionPtr previous;
  {
    std::lock_guard lock(socketMutex);
    previous = std::exchange(client, connection);
  }
  if (previous && previous->socket.is_open()) {
    SPDLOG_INFO(fmt::runtime(options.closingPreviousText));
  }
  closeConnection(previous);
  SPDLOG_INFO(fmt::runtime(options.connectedText), peer.address().to_string(), peer.port());
  if (options.maxMessageLength > 0) {
    connection->readBuffer.resize(kReadChunk);
    startRead(connection);
  }
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
  boost::system::error_code ignored;
  // Shutting down wakes a writer that waits for room; it then gives up the write lock.
  connection->socket.shutdown(tcp::socket::shutdown_both, ignored);
  std::lock_guard writeLock(writeMutex);
  connection->socket.close(ignored);
}

bool ClientChannel::send(const WriteBuffer* buffers, size_t count) {
  if (count > kMaxWriteBuffers) return false;
  std::lock_guard writeLock(writeMutex);
  ConnectionPtr connection;
  {
    std::lock_guard lock(socketMutex);
    connection = client;
  }
  if (!connection || !connection->socket.is_open()) return false;
  const auto error = writeAll(connection->socket.native_handle(), buffers, count, options.sendTimeout);
  if (!error) return true;
  if (running) SPDLOG_ERROR(fmt::runtime(options.sendFailedText), error.message());
  // Part of a packet may be on the wire, so the connection cannot carry another one.
  dropIfCurrent(connection);
  boost::system::error_code ignored;
  connection->socket.shutdown(tcp::socket::shutdown_both, ignored);
  return false;
}

}  // namespace quorvane::host
