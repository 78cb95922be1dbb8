#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "network/SignalingServerRequestHandler.h"
#include "protocol/StreamConfigMessage.h"

namespace quorvane::host {

class SignalingServerImpl;

// The application's handle on the WebSocket signaling server. Callbacks run on the
// server's I/O thread or on the thread that calls poll(); they may be set at any time.
// When a client's connection ends (a close frame, a reset, a failed read or write), the
// streams it started and did not stop go to the stream stop callback, each once, as its
// stop requests would; stop() stops none.
class SignalingServer {
 public:
  static constexpr std::chrono::milliseconds kHandshakeTimeout{10000};

  // A client that has not completed the WebSocket upgrade within handshakeTimeout of
  // connecting is dropped.
  explicit SignalingServer(uint16_t port, std::chrono::milliseconds handshakeTimeout = kHandshakeTimeout);
  ~SignalingServer();

  SignalingServer(const SignalingServer&) = delete;
  SignalingServer& operator=(const SignalingServer&) = delete;

  bool start();
  void stop();

  void setWindowListProvider(SignalingServerRequestHandler::WindowListProvider callback);
  void setStreamStartCallback(SignalingServerRequestHandler::StreamStartCallback callback);
  void setStreamStopCallback(SignalingServerRequestHandler::StreamStopCallback callback);
  void setClientConnectedCallback(SignalingServerRequestHandler::ClientConnectedCallback callback);
  void setWindowResizeCallback(SignalingServerRequestHandler::WindowResizeCallback callback);
  void setKeyframeRequestCallback(SignalingServerRequestHandler::KeyframeRequestCallback callback);

  // Sends the stream's decoder set-up to every connected client; any thread, never blocks.
  void sendStreamConfig(const protocol::StreamConfigMessage& message);

  // Accepted connections, from the TCP accept until the connection is gone.
  std::size_t getClientCount() const;
  // The port listened on (the one picked by the system when constructed with 0).
  uint16_t getPort() const;
  // Runs the server's ready handlers on the calling thread; once per main-loop frame.
  void poll();

 private:
  std::shared_ptr<SignalingServerImpl> impl;
};

}  // namespace quorvane::host
