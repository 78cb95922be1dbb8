#pragma once

#include <atomic>
#include <chrono>
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
#include "network/PacketRing.h"

namespace quorvane::host {

// The common body of the video, audio and input channels: a TCP listener on all IPv4
// addresses that serves one client at a time (a newer connection replaces the older
// one), an I/O thread, an optional read chain that splits the client's bytes into
// length-prefixed messages, and a bounded backlog of packets that the I/O thread writes
// to the client.
//
// All asynchronous work runs on one strand, whether on the I/O thread or on a thread
// that calls poll(). send() may be called from any thread: it copies the packet into the
// backlog and returns, never waiting for the client.
class ClientChannel {
 public:
  using MessageHandler = std::function<void(const uint8_t* body, size_t size)>;

  struct WriteBuffer {
    const void* data;
    size_t size;
  };

  enum class SendResult { Queued, NoRoom, NoClient };

  ClientChannel(uint16_t port, ChannelOptions options, MessageHandler onMessage);
  ~ClientChannel();

  ClientChannel(const ClientChannel&) = delete;
  ClientChannel& operator=(const ClientChannel&) = delete;

  // Listens once: a second call fails and leaves the running channel alone.
  bool start();
  void stop();
  void poll();
  bool isClientConnected() const;
  // The port the listener is bound to (the configured one, or the one the system chose
  // for port 0); 0 before a successful start.
  uint16_t localPort() const { return boundPort.load(); }

  // Copies the buffers, in order, as one packet to the back of the current client's
  // backlog. NoRoom when the packet does not fit (see ChannelOptions::backlogBytes);
  // nothing is queued then.
  SendResult send(const WriteBuffer* buffers, size_t count);

 private:
  using Strand = boost::asio::strand<boost::asio::io_context::executor_type>;

  struct Connection {
    Connection(const Strand& strand, uint32_t maxLength)
        : socket(strand), stallTimer(strand), framer(maxLength) {}
    boost::asio::ip::tcp::socket socket;
    boost::asio::steady_timer stallTimer;
    MessageFramer framer;
    std::vector<uint8_t> readBuffer;

    // Guarded by the channel's socketMutex; made when the connection becomes the client.
    PacketRing backlog{0};
    bool writing = false;  // a write chain runs or is posted

    // Strand only.
    bool chainActive = false;  // between startWriting and the write that empties the backlog
    std::chrono::steady_clock::time_point lastProgress;
    bool stallTimerArmed = false;
    bool closed = false;
  };
  using ConnectionPtr = std::shared_ptr<Connection>;

  void runLoop();
  void startAccept();
  void handleNewConnection(const ConnectionPtr& connection);
  // Sets the channel's socket options; false (logged) when one failed.
  bool configure(boost::asio::ip::tcp::socket& socket);
  // The connection replaces the current client, which is closed.
  void becomeClient(const ConnectionPtr& connection);
  void startRead(const ConnectionPtr& connection);
  void handleRead(const ConnectionPtr& connection, const boost::system::error_code& error, size_t bytes);
  void startWriting(const ConnectionPtr& connection);
  void writeNext(const ConnectionPtr& connection);
  void handleWrite(const ConnectionPtr& connection, const boost::system::error_code& error, size_t bytes);
  void armStallTimer(const ConnectionPtr& connection, std::chrono::steady_clock::time_point expiry);
  void handleStallTimer(const ConnectionPtr& connection, const boost::system::error_code& error);
  void failWrite(const ConnectionPtr& connection, const boost::system::error_code& error);
  bool isCurrent(const ConnectionPtr& connection);
  void dropIfCurrent(const ConnectionPtr& connection);
  void closeConnection(const ConnectionPtr& connection);
  void closeAll();

  uint16_t port;
  ChannelOptions options;
  MessageHandler onMessage;

  boost::asio::io_context ioContext;
  Strand strand;
  boost::asio::ip::tcp::acceptor acceptor;
  boost::asio::steady_timer acceptPause;
  std::thread ioThread;
  bool started = false;  // start() succeeded once; touched by the owner's thread only
  std::atomic<bool> running{false};
  std::atomic<uint16_t> boundPort{0};

  // Lock order: appendMutex before socketMutex. The I/O thread never takes appendMutex, so it
  // never waits for a packet being copied.
  std::mutex appendMutex;          // one send() at a time
  mutable std::mutex socketMutex;  // guards `client` and every connection's backlog
  ConnectionPtr client;
};

}  // namespace quorvane::host
