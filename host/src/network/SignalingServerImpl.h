#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/beast/core/error.hpp>

#include "network/SignalingServer.h"
#include "network/SignalingServerRequestHandler.h"

namespace quorvane::host {

class WebSocketSession;

// The WebSocket signaling server: accepts clients, hands their requests to the request
// handler and writes the replies, and broadcasts texts to every client. Always made with
// std::make_shared: a pending accept holds the server.
class SignalingServerImpl : public std::enable_shared_from_this<SignalingServerImpl> {
 public:
  // Port 0 picks a free port; getPort() then tells which. A client that has not
  // completed the WebSocket upgrade within handshakeTimeout of connecting is dropped.
  explicit SignalingServerImpl(
      uint16_t port, std::chrono::milliseconds handshakeTimeout = SignalingServer::kHandshakeTimeout);
  ~SignalingServerImpl();

  SignalingServerImpl(const SignalingServerImpl&) = delete;
  SignalingServerImpl& operator=(const SignalingServerImpl&) = delete;

  bool start();
  // Closes the listening socket and every client connection and returns once no
  // handler of the server runs any more. Called once or more, never restarted.
  void stop();
  // Runs the handlers that are ready, on the calling thread, without waiting.
  void poll();

  void broadcast(const std::string& text);
  std::size_t getClientCount() const;
  uint16_t getPort() const { return boundPort.load(); }
  SignalingServerRequestHandler& requests() { return requestHandler; }

 private:
  friend class WebSocketSession;

  void doAccept();
  void onAccept(boost::beast::error_code ec, boost::asio::ip::tcp::socket socket);
  void acceptAfterPause(std::chrono::milliseconds pause);
  bool addSession(std::shared_ptr<WebSocketSession> session);
  void removeSession(WebSocketSession* session);
  void handleMessage(WebSocketSession* session, const std::string& text);

  SignalingServerRequestHandler requestHandler;
  uint16_t port;
  std::chrono::milliseconds handshakeTimeout;
  std::atomic<uint16_t> boundPort{0};
  bool started = false;  // start() was called; touched only by the owner's thread
  boost::asio::io_context ioContext;
  // The acceptor and its retry timer are used only on this strand, so the accept
  // handler never races stop() or poll() on another thread.
  boost::asio::strand<boost::asio::io_context::executor_type> acceptStrand;
  boost::asio::ip::tcp::acceptor acceptor;
  boost::asio::steady_timer acceptRetryTimer;
  std::thread ioThread;
  std::mutex ioThreadMutex;
  std::condition_variable ioThreadDone;
  bool ioThreadFinished = false;
  std::atomic<bool> running{false};
  std::set<std::shared_ptr<WebSocketSession>> sessions;
  mutable std::mutex sessionsMutex;
};

}  // namespace quorvane::host
