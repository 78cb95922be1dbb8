#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numbers>
#include <vector>

namespace quorvane::host::test {

// `frames` frames of a 1 kHz stereo tone at half scale, 48 kHz.
inline std::vector<int16_t> tone(size_t frames) {
  std::vector<int16_t> pcm(frames * 2);
  for (size_t frame = 0; frame < frames; ++frame) {
    const double t = static_cast<double>(frame) / 48000.0;
    pcm[frame * 2] = pcm[frame * 2 + 1] =
        static_cast<int16_t>(std::lround(16383.5 * std::sin(2 * std::numbers::pi * 1000.0 * t)));
  }
  return pcm;
}

// Frequency of the dominant tone in one channel of 48 kHz stereo: the median distance
// between rising zero crossings (interpolated between samples), so that gaps in the sound
// do not move it.
inline double estimateFrequency(const std::vector<int16_t>& stereo, size_t channel) {
  std::vector<double> periods;
  double previous = -1.0;
  for (size_t i = 1; i < stereo.size() / 2; ++i) {
    const double a = stereo[(i - 1) * 2 + channel], b = stereo[i * 2 + channel];
    if (a < 0 && b >= 0) {
      const double at = static_cast<double>(i - 1) + (-a) / (b - a);
      if (previous >= 0) periods.push_back(at - previous);
      previous = at;
    }
  }
  if (periods.empty()) return 0.0;
  std::nth_element(periods.begin(), periods.begin() + static_cast<long>(periods.size() / 2), periods.end());
  return 48000.0 / periods[periods.size() / 2];
}

}  // namespace quorvane::host::test
