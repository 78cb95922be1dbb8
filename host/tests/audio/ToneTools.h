#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <numbers>
#include <vector>

#include <gtest/gtest.h>
#include <opus.h>

#include "audio/OpusEncoder.h"

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

// Frequency of the tone in one channel of 48 kHz stereo. Sound heard on a busy machine has gaps:
// silence where the player fell behind, samples the capture never got. So the periods between
// rising zero crossings (placed between samples) are measured, and the frequency is taken over
// the longest run of periods each within a quarter of their median: silence before, after or
// within, and a jump at a lost stretch, fall outside it. A tone that is really off (another
// source, a wrong rate) is off in every period and still shows.
// A crossing counts only after the signal was below -1000, so that noise about zero does not.
inline double estimateFrequency(const std::vector<int16_t>& stereo, size_t channel) {
  std::vector<double> crossings;
  bool armed = false;
  double previous = 0.0;
  for (size_t i = 0; i < stereo.size() / 2; ++i) {
    const double sample = stereo[i * 2 + channel];
    if (armed && sample >= 0) {  // armed: the previous sample was below zero
      crossings.push_back(static_cast<double>(i) - sample / (sample - previous));
    }
    armed = sample < -1000 || (armed && sample < 0);
    previous = sample;
  }
  if (crossings.size() < 2) {
    return 0.0;
  }
  std::vector<double> periods(crossings.size() - 1);
  for (size_t i = 0; i < periods.size(); ++i) {
    periods[i] = crossings[i + 1] - crossings[i];
  }
  std::vector<double> sorted = periods;
  std::nth_element(sorted.begin(), sorted.begin() + static_cast<ptrdiff_t>(sorted.size() / 2), sorted.end());
  const double median = sorted[sorted.size() / 2];
  size_t bestFirst = 0, bestCount = 0;
  for (size_t first = 0; first < periods.size();) {
    size_t end = first;
    while (end < periods.size() && std::abs(periods[end] - median) <= median / 4) {
      ++end;
    }
    if (end - first > bestCount) {
      bestFirst = first;
      bestCount = end - first;
    }
    first = end + 1;
  }
  return 48000.0 * static_cast<double>(bestCount) / (crossings[bestFirst + bestCount] - crossings[bestFirst]);
}

// Whole 10 ms frames of 48 kHz stereo through an Opus encoder of the default configuration
// and back through a decoder.
inline std::vector<int16_t> opusRoundTrip(const std::vector<int16_t>& pcm) {
  OpusAudioEncoder encoder;
  EXPECT_TRUE(encoder.initialize(OpusConfig{}));
  int error = 0;
  OpusDecoder* decoder = opus_decoder_create(48000, 2, &error);
  std::vector<int16_t> decoded(pcm.size() / 960 * 960);
  for (size_t at = 0; decoder && at < decoded.size(); at += 960) {
    const std::vector<uint8_t> packet = encoder.encode(pcm.data() + at, 480);
    EXPECT_EQ(opus_decode(decoder, packet.data(), static_cast<opus_int32>(packet.size()), decoded.data() + at,
                          480, 0),
              480);
  }
  opus_decoder_destroy(decoder);
  return decoded;
}

}  // namespace quorvane::host::test
