#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>

#include "network/ChannelOptions.h"
#include "network/MessageFramer.h"

namespace quorvane::host {

// The common body of the video, audio and input channels: a TCP listener on all IPv4
// addresses that serves one client at a time (a newer connection replaces the older
// one), an I/O thread, an optional read chain that splits the client's bytes into
// length-prefixed messages, and a bounded blocking gathered write to the client.
//
// All asynchronous work runs on one strand, whether on the I/O thread or on a thread
// that calls poll(). Writers never close the socket themselves: they shut it down and
// release it, and a socket is closed only by the strand while no write is in progress.
class ClientChannel {
 public:
  using MessageHandler = std::function<void(const uint8_t* body, size_t size)>;

  struct WriteBuffer {
    const void* data;
    size_t size;
  };

  ClientChannel(uint16_t port, ChannelOptions options, MessageHandler onMessage);
  ~ClientChannel();

  ClientChannel(const ClientChannel&) = delete;
  ClientChannel& operator=(const ClientChannel&) = delete;

  bool start();
  void stop();
  void poll();
  bool isClientConnected() const;
  // The port the listener is bound to (the configured one, or the one the system chose
  // for port 0); 0 before a successful start.
  uint16_t localPort() const { return boundPort.load(); }

  // One gathered write of the buffers to the current client, blocking until every byte
  // has been handed to the socket. A failed write (reset, or no progress within the send
  // time-out) is logged and drops the client. Returns false when nothing was written in
  // full, including when there is no client.
  bool send(const WriteBuffer* buffers, size_t count);

 private:
  struct Connection {
    Connection(const boost::asio::strand<boost::asio::io_context::executor_type>& strand, uint32_t maxLength)
        : socket(strand), framer(maxLength) {}
    boost::asio::ip::tcp::socket socket;
    MessageFramer framer;
    std::vector<uint8_t> readBuffer;
  };
  using ConnectionPtr = std::shared_ptr<Connection>;

  void runLoop();
  void startAccept();
  void handleNewConnection(const ConnectionPtr& connection);
  void configure(boost::asio::ip::tcp::socket& socket);
  void startRead(const ConnectionPtr& connection);
  void handleRead(const ConnectionPtr& connection, const boost::system::error_code& error, size_t bytes);
  bool isCurrent(const ConnectionPtr& connection);
  void dropIfCurrent(const ConnectionPtr& connection);
  void closeConnection(const ConnectionPtr& connection);
  void closeAll();

  uint16_t port;
  ChannelOptions options;
  MessageHandler onMessage;

  boost::asio::io_context ioContext;
  boost::asio::strand<boost::asio::io_context::executor_type> strand;
  boost::asio::ip::tcp::acceptor acceptor;
  boost::asio::steady_timer acceptPause;
  std::thread ioThread;
  std::atomic<bool> running{false};
  std::atomic<uint16_t> boundPort{0};

  // Lock order: writeMutex before socketMutex.
  std::mutex writeMutex;           // held for a whole write, and to close a socket
  mutable std::mutex socketMutex;  // guards `client`
  ConnectionPtr client;
};

}  // namespace quorvane::host
