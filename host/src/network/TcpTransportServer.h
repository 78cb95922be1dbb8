#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>

#include "network/ClientChannel.h"
#include "protocol/ClientFeedback.h"
#include "protocol/ClientInput.h"

namespace quorvane::host {

// The video channel: one packet per encoded access unit to the client, and the client's
// keyframe requests, input and feedback records back.
class TcpTransportServer {
 public:
  static constexpr uint32_t kMaxClientMessage = 4194304;
  static constexpr std::chrono::milliseconds kSendTimeout{20000};

  explicit TcpTransportServer(uint16_t port, std::chrono::milliseconds sendTimeout = kSendTimeout);
  ~TcpTransportServer();

  TcpTransportServer(const TcpTransportServer&) = delete;
  TcpTransportServer& operator=(const TcpTransportServer&) = delete;

  bool start();
  void stop();
  // Runs the ready handlers of the server's I/O context without waiting.
  void poll();
  bool isClientConnected() const;
  uint16_t localPort() const { return channel.localPort(); }

  // Frames one access unit and writes it to the client from the caller's buffer in one
  // gathered write; drops it silently when no client is connected. Must not be called
  // concurrently with itself.
  void sendVideoFrame(uint8_t streamId, const uint8_t* data, size_t size, bool isKeyframe);

  void setClientFeedbackCallback(std::function<void(const ClientFeedback&)> callback);
  void setClientInputCallback(std::function<void(const ClientInput&)> callback);

  // The steady clock in 90 kHz ticks, low 32 bits.
  static uint32_t videoTimestamp90k();

  std::function<void(uint8_t streamId)> onKeyframeRequest;

 private:
  void handleMessage(const uint8_t* body, size_t size);

  uint16_t sequence = 0;
  std::function<void(const ClientFeedback&)> onClientFeedback;
  std::function<void(const ClientInput&)> onClientInput;
  ClientChannel channel;  // last: stopped before the callbacks go
};

}  // namespace quorvane::host
