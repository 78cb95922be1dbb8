#include "audio/OpusEncoder.h"

#include <opus.h>
#include <spdlog/spdlog.h>

namespace quorvane::host {

OpusAudioEncoder::~OpusAudioEncoder() { shutdown(); }

bool OpusAudioEncoder::initialize(const OpusConfig& newConfig) {
  if (handle) {
    SPDLOG_WARN("Opus encoder already initialized");
    return true;
  }
  config = newConfig;
  int error = OPUS_OK;
  const int application = config.lowDelay ? OPUS_APPLICATION_RESTRICTED_LOWDELAY : OPUS_APPLICATION_AUDIO;
  handle = opus_encoder_create(static_cast<opus_int32>(config.sampleRate), static_cast<int>(config.channels),
                               application, &error);
  if (error != OPUS_OK || !handle) {
    SPDLOG_ERROR("Failed to create Opus encoder: {}", opus_strerror(error));
    if (handle) {
      opus_encoder_destroy(handle);
      handle = nullptr;
    }
    return false;
  }
  opus_encoder_ctl(handle, OPUS_SET_BITRATE(static_cast<opus_int32>(config.bitrate)));
  opus_encoder_ctl(handle, OPUS_SET_COMPLEXITY(static_cast<opus_int32>(config.complexity)));
  opus_encoder_ctl(handle, OPUS_SET_SIGNAL(OPUS_SIGNAL_MUSIC));
  if (config.lowDelay) {
    opus_encoder_ctl(handle, OPUS_SET_EXPERT_FRAME_DURATION(OPUS_FRAMESIZE_10_MS));
  }
  packetBuffer.resize(kMaxPacketBytes);
  SPDLOG_INFO("Opus encoder initialized: {} Hz, {} ch, {} kbps", config.sampleRate, config.channels,
              config.bitrate / 1000);
  return true;
}

std::vector<uint8_t> OpusAudioEncoder::encode(const int16_t* pcm, int frameSize) {
  if (!handle) {
    return {};
  }
  const opus_int32 n =
      opus_encode(handle, pcm, frameSize, packetBuffer.data(), static_cast<opus_int32>(packetBuffer.size()));
  if (n < 0) {
    SPDLOG_ERROR("Opus encode error: {}", opus_strerror(n));
    return {};
  }
  return std::vector<uint8_t>(packetBuffer.begin(), packetBuffer.begin() + n);
}

void OpusAudioEncoder::shutdown() {
  if (handle) {
    opus_encoder_destroy(handle);
    handle = nullptr;
  }
}

}  // namespace quorvane::host
