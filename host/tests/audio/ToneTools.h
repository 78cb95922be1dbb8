#pragma once

#include <cmath>
#include <cstdint>
#include <numbers>
#include <vector>

namespace quorvane::host::test {

// `frames` frames at `rate` of a 1 kHz tone in the channels marked true, silence in the others.
inline std::vector<int16_t> tone(size_t frames, uint32_t rate, const std::vector<bool>& on) {
  std::vector<int16_t> pcm(frames * on.size());
  for (size_t i = 0; i < pcm.size(); ++i) {
    const size_t frame = i / on.size();
    const double t = static_cast<double>(frame) / rate;
    pcm[i] = static_cast<int16_t>(on[i % on.size()] * 8000 * std::sin(2 * std::numbers::pi * 1000 * t));
  }
  return pcm;
}

// Frequency of the tone in one channel of 48 kHz stereo: rising zero crossings over the
// span between the first and the last, so that silence before and after does not count.
// A crossing counts only after the signal was below -1000, so that noise about zero does not.
inline double estimateFrequency(const std::vector<int16_t>& stereo, size_t channel) {
  size_t first = 0, last = 0, crossings = 0;
  bool armed = false;
  for (size_t i = 0; i < stereo.size() / 2; ++i) {
    const int16_t sample = stereo[i * 2 + channel];
    if (armed && sample >= 0) {
      first = crossings++ == 0 ? i : first;
      last = i;
    }
    armed = sample < -1000 || (armed && sample < 0);
  }
  return crossings < 2 ? 0.0
                       : 48000.0 * static_cast<double>(crossings - 1) / static_cast<double>(last - first);
}

}  // namespace quorvane::host::test
