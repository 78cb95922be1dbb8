#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

#include "network/ClientChannel.h"

namespace quorvane::host {

// The audio channel: one packet per Opus packet to the client; nothing is read back.
// sendAudioData runs on the audio capture thread and only queues; the channel's I/O
// thread accepts and writes.
class TcpAudioServer {
 public:
  // A client that takes no audio for this long is dropped.
  static constexpr std::chrono::milliseconds kSendTimeout{2000};
  // About a second of sound at 128 kbit/s (four of the encoder's largest packets): a
  // client that keeps up loses nothing to a short hiccup, and one that falls further
  // behind gets no more delay than that.
  static constexpr size_t kBacklogBytes = 16384;

  explicit TcpAudioServer(uint16_t port, std::chrono::milliseconds sendTimeout = kSendTimeout,
                          size_t backlogBytes = kBacklogBytes);
  ~TcpAudioServer();

  TcpAudioServer(const TcpAudioServer&) = delete;
  TcpAudioServer& operator=(const TcpAudioServer&) = delete;

  bool start();
  void stop();
  bool isClientConnected() const;
  uint16_t localPort() const { return channel.localPort(); }

  // Frames one Opus packet and queues a copy for the client; never waits for the client.
  // Dropped silently when no client is connected or the backlog has no room for it. One
  // call at a time.
  void sendAudioData(uint8_t streamId, const uint8_t* data, size_t size);

 private:
  uint16_t sequence = 0;  // caller-thread state
  ClientChannel channel;
};

}  // namespace quorvane::host
