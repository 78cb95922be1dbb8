#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <numbers>
#include <vector>

namespace quorvane::host::test {

// Interleaved stereo 16-bit sine of the given frequency and peak amplitude (0..1),
// starting at sample index first.
inline std::vector<int16_t> stereoTone(double frequency, double amplitude, double sampleRate, size_t frames,
                                       size_t first = 0) {
  std::vector<int16_t> out(frames * 2);
  for (size_t i = 0; i < frames; ++i) {
    const double t = static_cast<double>(first + i) / sampleRate;
    const auto v = static_cast<int16_t>(
        std::lround(amplitude * 32767.0 * std::sin(2 * std::numbers::pi * frequency * t)));
    out[2 * i] = v;
    out[2 * i + 1] = v;
  }
  return out;
}

// Frequency of the dominant tone in one channel of interleaved samples: the median
// distance between rising zero crossings (placed between samples by linear
// interpolation), so that gaps in the sound do not move it.
inline double estimateFrequency(const std::vector<int16_t>& interleaved, size_t channels, size_t channel,
                                double sampleRate) {
  std::vector<double> periods;
  double previous = -1.0;
  const size_t frames = interleaved.size() / channels;
  for (size_t i = 1; i < frames; ++i) {
    const double a = interleaved[(i - 1) * channels + channel];
    const double b = interleaved[i * channels + channel];
    if (a < 0 && b >= 0) {
      const double at = static_cast<double>(i - 1) + (-a) / (b - a);
      if (previous >= 0) periods.push_back(at - previous);
      previous = at;
    }
  }
  if (periods.empty()) {
    return 0.0;
  }
  std::nth_element(periods.begin(), periods.begin() + static_cast<long>(periods.size() / 2), periods.end());
  return sampleRate / periods[periods.size() / 2];
}

// Root mean square of one channel, relative to full scale.
inline double rms(const std::vector<int16_t>& interleaved, size_t channels, size_t channel) {
  const size_t frames = interleaved.size() / channels;
  if (frames == 0) {
    return 0.0;
  }
  double sum = 0.0;
  for (size_t i = 0; i < frames; ++i) {
    const double v = interleaved[i * channels + channel] / 32768.0;
    sum += v * v;
  }
  return std::sqrt(sum / static_cast<double>(frames));
}

}  // namespace quorvane::host::test
