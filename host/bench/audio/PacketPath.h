#pragma once

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <numbers>
#include <vector>

#include "app/AudioPacketizer.h"
#include "audio/OpusEncoder.h"
#include "audio/PcmConversion.h"

namespace quorvane::host::bench {

// The audio path from a capture callback to Opus packets as the application runs it:
// float samples of the mix format converted to 16 bits, then the packetiser (downmix,
// resampling to 48 kHz, 10 ms frames) and the encoder. It records how long each
// callback took; pushed back to back, that is the processing time alone.
class PacketPath {
 public:
  using Clock = std::chrono::steady_clock;

  explicit PacketPath(OpusAudioEncoder& encoder) : encoder(encoder) {}

  // Converts and forwards one float capture packet of frames x channels samples.
  void pushFloat(const float* samples, uint32_t frames, uint32_t rate, uint32_t channels) {
    const Clock::time_point begin = Clock::now();
    converted.resize(static_cast<size_t>(frames) * channels);
    PcmConversion::floatToInt16(samples, converted.size(), converted.data());
    forward(converted.data(), frames, rate, channels, begin);
  }

  // Forwards one 16-bit capture packet.
  void push(const int16_t* samples, uint32_t frames, uint32_t rate, uint32_t channels) {
    forward(samples, frames, rate, channels, Clock::now());
  }

  // Processing time of each callback, in microseconds.
  std::vector<double> callbackMicros;
  size_t packets = 0;
  size_t bytes = 0;

 private:
  void forward(const int16_t* samples, uint32_t frames, uint32_t rate, uint32_t channels,
               Clock::time_point begin) {
    packetizer.push(samples, frames, rate, channels, [this](const int16_t* pcm, uint32_t frameSize) {
      bytes += encoder.encode(pcm, static_cast<int>(frameSize)).size();
      ++packets;
    });
    callbackMicros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - begin).count());
  }

  OpusAudioEncoder& encoder;
  AudioPacketizer packetizer;
  std::vector<int16_t> converted;
};

// The q-quantile (0..1) of values.
inline double quantile(std::vector<double> values, double q) {
  if (values.empty()) return 0.0;
  const auto at = static_cast<size_t>(q * static_cast<double>(values.size() - 1));
  std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(at), values.end());
  return values[at];
}

// One second of a 1 kHz tone with a little of a second tone, as interleaved float
// samples of the given rate and channel count.
inline std::vector<float> floatTone(uint32_t rate = 48000, uint32_t channels = 2) {
  std::vector<float> tone(static_cast<size_t>(rate) * channels);
  for (size_t i = 0; i < rate; ++i) {
    const double t = static_cast<double>(i) / rate;
    const auto v = static_cast<float>(0.4 * std::sin(2 * std::numbers::pi * 1000.0 * t) +
                                      0.1 * std::sin(2 * std::numbers::pi * 3150.0 * t));
    std::fill_n(tone.begin() + static_cast<std::ptrdiff_t>(i * channels), channels, v);
  }
  return tone;
}

}  // namespace quorvane::host::bench
