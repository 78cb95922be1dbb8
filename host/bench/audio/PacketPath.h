#pragma once

#include <chrono>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <numbers>
#include <vector>

#include "audio/OpusEncoder.h"
#include "audio/PcmConversion.h"

namespace quorvane::host::bench {

// The audio path from a capture packet to Opus packets as the application runs it:
// float samples of the mix format converted to 16 bits, buffered, cut into 10 ms
// frames of 48 kHz stereo and encoded. It remembers when each buffered sample
// arrived, so the wait of a packet's oldest sample can be measured.
class PacketPath {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr size_t kFrameSamples = 960;  // 480 frames x 2 channels

  explicit PacketPath(OpusAudioEncoder& encoder) : encoder(encoder) {}

  // Converts and forwards one float capture packet; returns the packets produced.
  size_t pushFloat(const float* samples, size_t count, Clock::time_point arrived) {
    converted.resize(count);
    PcmConversion::floatToInt16(samples, count, converted.data());
    return push(converted.data(), count, arrived);
  }

  // Forwards 16-bit samples; returns the packets produced. For each packet the time
  // from the arrival of its oldest sample to its completion is added to waits.
  size_t push(const int16_t* samples, size_t count, Clock::time_point arrived) {
    buffer.insert(buffer.end(), samples, samples + count);
    arrivals.push_back({arrived, count});
    size_t packets = 0;
    while (buffer.size() >= kFrameSamples) {
      const Clock::time_point oldest = arrivals.front().time;
      const std::vector<uint8_t> packet = encoder.encode(buffer.data(), 480);
      bytes += packet.size();
      waits.push_back(Clock::now() - oldest);
      buffer.erase(buffer.begin(), buffer.begin() + kFrameSamples);
      consume(kFrameSamples);
      ++packets;
    }
    return packets;
  }

  std::vector<Clock::duration> waits;
  size_t bytes = 0;

 private:
  struct Arrival {
    Clock::time_point time;
    size_t samples;
  };

  void consume(size_t samples) {
    while (samples > 0 && !arrivals.empty()) {
      const size_t take = samples < arrivals.front().samples ? samples : arrivals.front().samples;
      arrivals.front().samples -= take;
      samples -= take;
      if (arrivals.front().samples == 0) arrivals.pop_front();
    }
  }

  OpusAudioEncoder& encoder;
  std::vector<int16_t> converted;
  std::vector<int16_t> buffer;
  std::deque<Arrival> arrivals;
};

// One second of a 1 kHz stereo tone with a little of a second tone, as float samples.
inline std::vector<float> floatTone() {
  std::vector<float> tone(48000 * 2);
  for (size_t i = 0; i < 48000; ++i) {
    const double t = static_cast<double>(i) / 48000.0;
    const auto v = static_cast<float>(0.4 * std::sin(2 * std::numbers::pi * 1000.0 * t) +
                                      0.1 * std::sin(2 * std::numbers::pi * 3150.0 * t));
    tone[2 * i] = v;
    tone[2 * i + 1] = v;
  }
  return tone;
}

}  // namespace quorvane::host::bench
