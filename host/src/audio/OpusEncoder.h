#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

struct OpusEncoder;

namespace quorvane::host {

// How the Opus encoder is set up.
struct OpusConfig {
  uint32_t sampleRate = 48000;
  uint32_t channels = 2;
  uint32_t bitrate = 128000;
  // Samples per channel per frame (10 ms at 48 kHz); the caller cuts its frames to it.
  uint32_t frameSize = 480;
  uint32_t complexity = 5;
  // Restricted low-delay application with a fixed 10 ms frame duration.
  bool lowDelay = true;
};

// One libopus encoder turning frames of interleaved 16-bit PCM into Opus packets.
// Not synchronised: initialize and shutdown run while nobody encodes.
class OpusAudioEncoder {
 public:
  OpusAudioEncoder() = default;
  ~OpusAudioEncoder();

  OpusAudioEncoder(const OpusAudioEncoder&) = delete;
  OpusAudioEncoder& operator=(const OpusAudioEncoder&) = delete;

  // Creates the encoder. A second call while one exists keeps the first configuration.
  bool initialize(const OpusConfig& config);

  // Encodes frameSize x channels interleaved samples into one packet; empty when there
  // is no encoder or libopus fails.
  std::vector<uint8_t> encode(const int16_t* pcm, int frameSize);

  void shutdown();

 private:
  static constexpr size_t kMaxPacketBytes = 4000;

  OpusEncoder* handle = nullptr;
  OpusConfig config;
  std::vector<uint8_t> packetBuffer;
};

}  // namespace quorvane::host
