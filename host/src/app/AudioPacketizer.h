#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "audio/AudioFormatConverter.h"

namespace quorvane::host {

// Cuts the loopback capture's samples into the 10 ms frames of 48 kHz stereo that the
// Opus encoder takes. Owns the format converter and the buffer of samples not yet
// handed on (under one frame between calls). Runs on the audio capture thread only.
class AudioPacketizer {
 public:
  static constexpr uint32_t kSampleRate = 48000, kChannels = 2, kFrameSize = 480;  // 10 ms
  static constexpr size_t kPacketSamples = size_t{kFrameSize} * kChannels;         // 960
  using FrameSink = std::function<void(const int16_t* samples, uint32_t frameSize)>;

  explicit AudioPacketizer(size_t reserveSamples = kPacketSamples * 4);

  // Takes `frames` interleaved frames of `channels` channels at `sampleRate`, converts
  // them to 48 kHz stereo when needed, and hands every complete 960-sample frame to
  // `sink` in order; fewer than 960 samples stay buffered for the next call.
  void push(const int16_t* samples, uint32_t frames, uint32_t sampleRate, uint32_t channels,
            const FrameSink& sink);

  size_t bufferedSamples() const { return buffer.size(); }

 private:
  AudioFormatConverter converter;
  std::vector<int16_t> buffer;
};

}  // namespace quorvane::host
