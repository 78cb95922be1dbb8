#pragma once

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

// Frequency of the dominant tone in one channel of interleaved samples, from the
// number of rising zero crossings over the span between the first and the last one.
inline double estimateFrequency(const std::vector<int16_t>& interleaved, size_t channels, size_t channel,
                                double sampleRate) {
  long first = -1;
  long last = -1;
  size_t crossings = 0;
  const size_t frames = interleaved.size() / channels;
  for (size_t i = 1; i < frames; ++i) {
    const int16_t prev = interleaved[(i - 1) * channels + channel];
    const int16_t cur = interleaved[i * channels + channel];
    if (prev < 0 && cur >= 0) {
      if (first < 0) {
        first = static_cast<long>(i);
      } else {
        ++crossings;
      }
      last = static_cast<long>(i);
    }
  }
  if (crossings == 0) {
    return 0.0;
  }
  return static_cast<double>(crossings) * sampleRate / static_cast<double>(last - first);
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
