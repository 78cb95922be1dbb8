#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

#include "network/ClientChannel.h"

namespace quorvane::host {

// The audio channel: one packet per Opus packet to the client; nothing is read back.
class TcpAudioServer {
 public:
  // A client that takes no audio for this long is dropped, so that the audio capture
  // thread never waits longer inside a write.
  static constexpr std::chrono::milliseconds kSendTimeout{2000};

  explicit TcpAudioServer(uint16_t port, std::chrono::milliseconds sendTimeout = kSendTimeout);
  ~TcpAudioServer();

  TcpAudioServer(const TcpAudioServer&) = delete;
  TcpAudioServer& operator=(const TcpAudioServer&) = delete;

  bool start();
  void stop();
  bool isClientConnected() const;
  uint16_t localPort() const { return channel.localPort(); }

  // Frames one Opus packet and writes it to the client from the caller's buffer in one
  // gathered write; drops it silently when no client is connected. One call at a time.
  void sendAudioData(uint8_t streamId, const uint8_t* data, size_t size);

 private:
  uint16_t sequence = 0;
  ClientChannel channel;
};

}  // namespace quorvane::host
