#pragma once

#include <chrono>
#include <cstddef>
#include <deque>
#include <memory>
#include <string>

#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>

namespace quorvane::host {

class SignalingServerImpl;

// One signaling client. Every handler and posted task of a session runs on the strand
// that is the executor of its socket; the server's set and each pending operation hold
// a shared pointer to it.
class WebSocketSession : public std::enable_shared_from_this<WebSocketSession> {
 public:
  // Bytes of outgoing text a session may hold for a peer that does not read; a send
  // beyond it closes the session. One message larger than this alone is still sent.
  static constexpr std::size_t kMaxQueuedBytes = std::size_t{8} * 1024 * 1024;

  // The upgrade request and response must be done within handshakeTimeout. Afterwards the
  // connection has no time limit: the host sends no pings of its own.
  WebSocketSession(boost::asio::ip::tcp::socket&& socket, const std::shared_ptr<SignalingServerImpl>& server,
                   std::chrono::milliseconds handshakeTimeout);

  // Starts the handshake, on the session's strand.
  void run();

  // Queues one text message; callable from any thread, never blocks. Messages queued
  // before the handshake has completed are written after it.
  void send(const std::string& text);

  // Closes the connection from any thread; pending operations end without a log line.
  void close();

  const std::string& getRemoteAddress() const { return remoteAddress; }

 private:
  void startHandshake();
  void onAccept(boost::beast::error_code ec);
  void doRead();
  void onRead(boost::beast::error_code ec, std::size_t bytes);
  void enqueue(const std::shared_ptr<std::string>& text);
  void doWrite();
  void onWrite(boost::beast::error_code ec, std::size_t bytes);
  void closeSocket();
  // Closes the connection and takes the session out of the server's set.
  void drop();

  boost::beast::websocket::stream<boost::beast::tcp_stream> ws;
  std::weak_ptr<SignalingServerImpl> server;
  boost::beast::flat_buffer buffer;
  std::deque<std::shared_ptr<std::string>> writeQueue;
  std::string remoteAddress;
  std::chrono::milliseconds handshakeTimeout;

  // Strand-only state.
  std::size_t queuedBytes = 0;
  bool handshakeDone = false;
  bool closed = false;
};

}  // namespace quorvane::host
