#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>

#include "network/CallbackSlot.h"
#include "network/ClientChannel.h"
#include "protocol/ClientFeedback.h"
#include "protocol/ClientInput.h"

namespace quorvane::host {

// The video channel: one packet per encoded access unit to the client, and the client's
// keyframe requests, input and feedback records back. sendVideoFrame runs on the capture
// thread and only queues; the channel's I/O thread writes, accepts and reads, and calls
// the callbacks (as does the thread that calls poll()).
class TcpTransportServer {
 public:
  static constexpr uint32_t kMaxClientMessage = 4194304;
  static constexpr std::chrono::milliseconds kSendTimeout{20000};
  // Room for a keyframe of a large window at the highest bitrate (about 1 MB) and the
  // frames after it, about a third of a second at 50 Mbps. A client that falls further
  // behind gains nothing from more: it would only see older frames later.
  static constexpr size_t kBacklogBytes = size_t{2} * 1024 * 1024;

  explicit TcpTransportServer(uint16_t port, std::chrono::milliseconds sendTimeout = kSendTimeout,
                              size_t backlogBytes = kBacklogBytes);
  ~TcpTransportServer();

  TcpTransportServer(const TcpTransportServer&) = delete;
  TcpTransportServer& operator=(const TcpTransportServer&) = delete;

  bool start();
  void stop();
  // Runs the ready handlers of the server's I/O context without waiting.
  void poll();
  bool isClientConnected() const;
  uint16_t localPort() const { return channel.localPort(); }

  // Frames one access unit and queues a copy for the client; never waits for the client.
  // Dropped silently when no client is connected. When the backlog has no room, the frame
  // and every later frame of its stream are dropped until a keyframe fits, and a keyframe
  // is asked for through onKeyframeRequest, on the calling thread before this returns (with
  // no lock of the server held). Must not be called concurrently with itself.
  void sendVideoFrame(uint8_t streamId, const uint8_t* data, size_t size, bool isKeyframe);

  void setClientFeedbackCallback(std::function<void(const ClientFeedback&)> callback);
  void setClientInputCallback(std::function<void(const ClientInput&)> callback);

  // The steady clock in 90 kHz ticks, low 32 bits.
  static uint32_t videoTimestamp90k();

  CallbackSlot<void(uint8_t streamId)> onKeyframeRequest;

 private:
  void handleMessage(const uint8_t* body, size_t size);

  // Caller-thread state of sendVideoFrame.
  uint16_t sequence = 0;
  std::array<bool, 256> waitingForKeyframe{};

  CallbackSlot<void(const ClientFeedback&)> onClientFeedback;
  CallbackSlot<void(const ClientInput&)> onClientInput;
  ClientChannel channel;  // last: stopped before the callbacks go
};

}  // namespace quorvane::host
